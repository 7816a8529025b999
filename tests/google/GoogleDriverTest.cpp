// The Google-direct road end to end with both sides as programs: the sync driver runs a Google
// profile against the Google peer, trusted through its test CA only.
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include "GooglePeerProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct DriverRun
{
    int exitCode = -1;
    QString output;
    qint64 milliseconds = 0;

    // The lines that begin with the prefix, in order.
    QStringList lines(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : output.split(u'\n')) {
            if (line.startsWith(prefix))
                found << line;
        }
        return found;
    }
};

QProcessEnvironment driverEnvironment(const QString &home, int port, const QString &caFile)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    environment.insert(QStringLiteral("HM_GOOGLE_API_HOST"), QStringLiteral("https://127.0.0.1:%1/").arg(port));
    environment.insert(QStringLiteral("HM_TLS_CA_FILE"), caFile);
    environment.remove(QStringLiteral("HM_SYNC_LOG_LEVEL"));
    return environment;
}

DriverRun runDriver(const QString &home, const GooglePeerProcess &peer, const QStringList &arguments,
                    bool logsEverything = false)
{
    QProcess driver;
    QProcessEnvironment environment = driverEnvironment(home, peer.port, peer.caFile);
    if (logsEverything)
        environment.insert(QStringLiteral("HM_SYNC_LOG_LEVEL"), QStringLiteral("verbose"));
    driver.setProcessEnvironment(environment);
    driver.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
    if (!driver.waitForFinished(120000))
        return {};
    return {driver.exitCode(), QString::fromUtf8(driver.readAll()), timer.elapsed()};
}

QStringList googleArguments(const QString &tokensFile)
{
    return {QStringLiteral("--create-google-profile"), QStringLiteral("--google-user"), kEmail,
            QStringLiteral("--google-tokens-file"), tokensFile, QStringLiteral("--timeout"), QStringLiteral("30")};
}

// The driver's profile, read as the application reads it.
std::shared_ptr<HMProfile> storedProfile(const QString &home)
{
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/data")).toLocal8Bit());
    HMProfileManager manager;
    const auto profiles = manager.loadProfiles();
    return profiles && !profiles->isEmpty() ? profiles->first() : nullptr;
}

} // namespace

TEST(GoogleDriver, EveryConduitOffRefreshesTheTokenPassesThePurgeAndEndsComplete)
{
    QTemporaryDir folder;
    GooglePeerProcess peer(folder.path(), QStringLiteral(HM_GOOGLE_PEER_PATH));
    ASSERT_GT(peer.port, 0);
    QTemporaryDir home;
    const QStringList arguments = googleArguments(writeTokens(home.path(), "1//rt"));
    ASSERT_EQ(runDriver(home.path(), peer, arguments + QStringList{QStringLiteral("--no-sync")}).exitCode, 0);
    editStoredProfile(home.path(), [](HMProfile &profile) {
        profile.setRereadAppleOnNextSync(true);
        profile.setRereadDeviceOnNextSync(true);
        profile.setSyncDeletionsName(QStringLiteral("Records deleted from Google will be deleted from Outlook"));
    });
    peer.control("/peer/access-token", QJsonObject{{"token", "ya29.a/b"}});

    const DriverRun run = runDriver(home.path(), peer, arguments, true);
    EXPECT_EQ(run.exitCode, 0) << run.output.toStdString();
    EXPECT_EQ(run.lines("stage "), QStringList({"stage retrieveTokens", "stage purge", "stage endSync"}));
    // The token request's progress callbacks leave their names in the verbose log, once each, in order.
    const qsizetype started = run.output.indexOf(QStringLiteral("requestDidStartLoad:"));
    const qsizetype head = run.output.indexOf(QStringLiteral("request:didReceiveResponse:"));
    const qsizetype loaded = run.output.indexOf(QStringLiteral("request:didLoadResponse:"));
    EXPECT_TRUE(started >= 0 && started < head && head < loaded) << run.output.toStdString();
    EXPECT_EQ(run.output.count(QStringLiteral("requestDidStartLoad:")), 1);
    EXPECT_EQ(run.output.count(QStringLiteral("request:didLoadResponse:")), 1);
    EXPECT_EQ(run.lines("notification ") + run.lines("distributed "),
              QStringList({"notification kSynchronizationDidFinish", "notification HMSyncDidFinishNotification",
                           "distributed HMSyncDidFinishNotification"}));
    QString tail = run.output.section(QStringLiteral("stage endSync\n"), 1);
    // Log lines (time-stamped) interleave with the printed events; the events alone, in order.
    tail = QStringList(tail.split(u'\n').filter(QRegularExpression(QStringLiteral("^(notification|distributed|sheet) ")))).join(u'\n') + u'\n';
    EXPECT_EQ(tail, QStringLiteral("notification kSynchronizationDidFinish\nnotification HMSyncDidFinishNotification\n"
                                   "distributed HMSyncDidFinishNotification\nsheet completed: Sync Complete\n"
                                   "sheet completed: Sync Complete\n"));
    // The second "Sync Complete" comes a second after the end.
    EXPECT_GE(run.milliseconds, 1000);
    EXPECT_EQ(run.lines("alert"), QStringList());

    // The refresh form byte for byte, and nothing else sent: no conduit asked for more.
    const QJsonArray requests = peer.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests.at(0).toObject().value("body").toString(),
              "client_id=884120357716-hmsyncdesktop.apps.googleusercontent.com&client_secret=Qw7TzRkLm2VbXa9PfHsN4cJe"
              "&refresh_token=1//rt&grant_type=refresh_token");
    EXPECT_EQ(requests.at(0).toObject().value("authorization").toString(), "");
    // Neither the token nor the form reached the driver's output, every log line included.
    EXPECT_TRUE(run.output.contains("Google sync stage endSync")) << run.output.toStdString();
    EXPECT_FALSE(run.output.contains("1//rt"));
    EXPECT_FALSE(run.output.contains("ya29"));

    const std::shared_ptr<HMProfile> profile = storedProfile(home.path());
    ASSERT_TRUE(profile);
    EXPECT_FALSE(profile->rereadAppleOnNextSync());
    EXPECT_FALSE(profile->rereadDeviceOnNextSync());
    EXPECT_FALSE(profile->contactLastSyncDate().isValid());
    EXPECT_FALSE(profile->calendarLastSyncDate().isValid());
    EXPECT_FALSE(profile->taskLastSyncDate().isValid());
}

TEST(GoogleDriver, KilledRightAfterTheEndLeavesTheProfileWithoutItsRereadFlags)
{
    QTemporaryDir folder;
    GooglePeerProcess peer(folder.path(), QStringLiteral(HM_GOOGLE_PEER_PATH));
    ASSERT_GT(peer.port, 0);
    QTemporaryDir home;
    const QStringList arguments = googleArguments(writeTokens(home.path(), "1//rt"));
    ASSERT_EQ(runDriver(home.path(), peer, arguments + QStringList{QStringLiteral("--no-sync")}).exitCode, 0);
    editStoredProfile(home.path(), [](HMProfile &profile) {
        profile.setRereadAppleOnNextSync(true);
        profile.setRereadDeviceOnNextSync(true);
    });
    QProcess driver;
    driver.setProcessEnvironment(driverEnvironment(home.path(), peer.port, peer.caFile));
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
    QByteArray output;
    while (!output.contains("sheet completed: Sync Complete") && driver.waitForReadyRead(30000))
        output += driver.readAll();
    ::kill(pid_t(driver.processId()), SIGKILL);
    driver.waitForFinished(10000);
    ASSERT_TRUE(output.contains("sheet completed: Sync Complete")) << output.toStdString();
    const std::shared_ptr<HMProfile> profile = storedProfile(home.path());
    ASSERT_TRUE(profile);
    EXPECT_FALSE(profile->rereadAppleOnNextSync());
    EXPECT_FALSE(profile->rereadDeviceOnNextSync());
}

TEST(GoogleDriver, EachTokenFailureEndsWithItsText)
{
    QTemporaryDir folder;
    GooglePeerProcess peer(folder.path(), QStringLiteral(HM_GOOGLE_PEER_PATH));
    ASSERT_GT(peer.port, 0);
    QTemporaryDir home;
    const QString reauthorize = QStringLiteral(
        "sheet completed: Your Google account is inaccessible.\nClick below to reauthorize access to your Google account.");
    struct Row
    {
        const char *kind;
        QByteArray refreshToken;
        QString expected;
        bool showsButtons;
    };
    const Row rows[] = {
        {"compact-token", "1//rt", reauthorize, true},
        {"invalid-grant", "1//rt", reauthorize, true},
        {"", "1//revoked", reauthorize, true},
        {"garbage", "1//rt", reauthorize, true},
        {"cut-before", "1//rt", QStringLiteral("sheet completed: The connection timed out."), false},
        {"", "", QStringLiteral("sheet completed: Unable to access Google.\nClick the gear icon in Harrowmere to allow "
                                "access to your Google account."),
         false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " " + row.refreshToken.toStdString());
        if (*row.kind != '\0')
            peer.control("/peer/switch", QJsonObject{{"kind", row.kind}, {"path", "/oauth2/v4/token"}, {"times", 1}});
        peer.control("/peer/clear-requests");
        const DriverRun run = runDriver(home.path(), peer, googleArguments(writeTokens(home.path(), row.refreshToken)));
        EXPECT_EQ(run.exitCode, 1) << run.output.toStdString();
        EXPECT_TRUE(run.output.contains(row.expected)) << run.output.toStdString();
        EXPECT_EQ(run.output.contains("sheet reauthorize"), row.showsButtons) << run.output.toStdString();
        EXPECT_EQ(run.lines("stage "), QStringList({"stage retrieveTokens"}));
        EXPECT_EQ(run.lines("notification ").size(), 2);
    }

    // A stored token with a line break is never sent: the form could carry a second field.
    editStoredProfile(home.path(), [](HMProfile &profile) { profile.setGoogleRefreshToken("1//rt\r\nX-Evil: 1"); });
    peer.control("/peer/clear-requests");
    const DriverRun run = runDriver(home.path(), peer, {QStringLiteral("--timeout"), QStringLiteral("30")});
    EXPECT_TRUE(run.output.contains(reauthorize)) << run.output.toStdString();
    EXPECT_EQ(peer.requestPaths(), QStringList());
}

TEST(GoogleDriver, APeerThatIsDownTimesOutAndACancelInThePurgeSendsNothingMore)
{
    QTemporaryDir folder;
    GooglePeerProcess peer(folder.path(), QStringLiteral(HM_GOOGLE_PEER_PATH));
    ASSERT_GT(peer.port, 0);
    QTemporaryDir home;
    const QStringList arguments = googleArguments(writeTokens(home.path(), "1//rt"));

    const DriverRun canceled = runDriver(home.path(), peer, arguments + QStringList{"--cancel-at-stage", "purge"});
    EXPECT_EQ(canceled.exitCode, 1);
    EXPECT_TRUE(canceled.output.contains("sheet completed: Synchronization Canceled")) << canceled.output.toStdString();
    EXPECT_EQ(canceled.lines("stage "), QStringList({"stage retrieveTokens", "stage purge"}));
    EXPECT_EQ(peer.requestPaths(), QStringList({"/oauth2/v4/token"}));

    peer.stop();
    const DriverRun down = runDriver(home.path(), peer, arguments);
    EXPECT_EQ(down.exitCode, 1);
    EXPECT_TRUE(down.output.contains("sheet completed: The connection timed out.")) << down.output.toStdString();
}
