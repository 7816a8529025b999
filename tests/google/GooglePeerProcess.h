#pragma once

#include "app/zip/HMSupportLogArchive.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QUrl>

#include <cstdio>
#include <functional>

inline const QString kEmail = QStringLiteral("me@example.com");

// A contact entry as a person's client would send it to Google, in the account's "My Contacts" group;
// `inner` (an e-mail element, say) goes after the name.
inline QByteArray googleContactEntry(const QString &given, const QString &family, const QString &inner = {})
{
    return QStringLiteral("<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' "
                          "xmlns:gContact='http://schemas.google.com/contact/2008'><gd:name><gd:givenName>%1</gd:givenName>"
                          "<gd:familyName>%2</gd:familyName><gd:fullName>%1 %2</gd:fullName></gd:name>%3"
                          "<gContact:groupMembershipInfo deleted='false' "
                          "href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/></entry>")
        .arg(given, family, inner)
        .toUtf8();
}

// The Google peer as a program, with the account me@example.com and its refresh token "1//rt".
class GooglePeerProcess final
{
public:
    explicit GooglePeerProcess(const QString &folder, QString program) : m_folder(folder), m_program(std::move(program))
    {
        start();
    }
    ~GooglePeerProcess() { stop(); }

    void start()
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList arguments{QStringLiteral("--certificates"), QDir(m_folder).filePath(QStringLiteral("certificates")),
                              QStringLiteral("--state"), QDir(m_folder).filePath(QStringLiteral("peer-state.json")),
                              QStringLiteral("--account"), kEmail + QStringLiteral(":1//rt")};
        if (port > 0)
            arguments << QStringLiteral("--port") << QString::number(port);
        // Google keeps connections open for further requests; the kill trials can run that way too.
        if (qEnvironmentVariableIsSet("HM_GOOGLE_PEER_KEEPS_CONNECTIONS"))
            arguments << QStringLiteral("--keep-connections");
        m_process.start(m_program, arguments);
        if (!m_process.waitForReadyRead(20000))
            return;
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        for (const QString &part : line.split(u' ')) {
            if (part.startsWith(QLatin1String("https-port=")))
                port = part.section(u'=', 1).toInt();
            else if (part.startsWith(QLatin1String("ca=")))
                caFile = part.section(u'=', 1);
        }
    }
    // As a crash would: SIGKILL, no clean-up.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    void stop()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }

    QByteArray control(const char *path, const QJsonObject &body = {}) const
    {
        httplib::SSLClient client("127.0.0.1", port);
        client.set_ca_cert_path(caFile.toLocal8Bit().constData());
        const auto reply = client.Post(path, QJsonDocument(body).toJson().toStdString(), "application/json");
        return reply ? QByteArray::fromStdString(reply->body) : QByteArray();
    }
    QJsonArray requests() const { return QJsonDocument::fromJson(control("/peer/requests")).array(); }
    // The requests that were not reads, as "METHOD path", token requests left out.
    QStringList writeRequests() const
    {
        QStringList writes;
        for (const QJsonValue &request : requests()) {
            const QString path = request.toObject().value("path").toString();
            const QString method = request.toObject().value("method").toString();
            if (method != QLatin1String("GET") && !path.startsWith(QLatin1String("/oauth2/")) &&
                !path.startsWith(QLatin1String("/o/oauth2/")))
                writes << method + u' ' + path;
        }
        return writes;
    }
    QStringList requestPaths() const
    {
        QStringList paths;
        for (const QJsonValue &request : requests())
            paths << request.toObject().value("path").toString();
        return paths;
    }

    // A user's edit of a contact on Google: "add" (answers the new short id), "edit", "delete", "photo".
    QString userContact(const char *action, const QString &id, const QByteArray &body) const
    {
        httplib::SSLClient client("127.0.0.1", port);
        client.set_ca_cert_path(caFile.toLocal8Bit().constData());
        const std::string path = QStringLiteral("/peer/contact?email=%1&action=%2&id=%3")
                                     .arg(QString::fromLatin1(QUrl::toPercentEncoding(kEmail)), QLatin1String(action), id)
                                     .toStdString();
        const auto reply = client.Post(path, body.toStdString(), "application/atom+xml");
        EXPECT_TRUE(reply && reply->status == 200);
        return reply ? QString::fromStdString(reply->body) : QString();
    }
    QJsonObject dump() const { return QJsonDocument::fromJson(control("/peer/dump")).object(); }
    // The account's tasks not deleted, of every list, with "list" set to the list's title.
    QList<QJsonObject> aliveTasks() const
    {
        const QJsonObject account = dump()["accounts"].toObject()[kEmail].toObject();
        QHash<QString, QString> titles;
        for (const QJsonValue &list : account["taskLists"].toArray())
            titles.insert(list.toObject()["id"].toString(), list.toObject()["title"].toString());
        QList<QJsonObject> alive;
        const QJsonObject lists = account["tasks"].toObject();
        for (auto list = lists.begin(); list != lists.end(); ++list) {
            const QJsonObject tasks = list.value().toObject();
            for (auto it = tasks.begin(); it != tasks.end(); ++it) {
                QJsonObject task = it.value().toObject();
                if (task["deleted"].toBool())
                    continue;
                task.insert("list", titles.value(list.key()));
                alive.append(task);
            }
        }
        return alive;
    }

    int port = 0;
    QString caFile;

private:
    QString m_folder;
    QString m_program;
    QProcess m_process;
};


// The environment of a driver run between the simulated Outlook (its home and runtime folders) and
// this peer, in the zone given; the sync log stays off.
// The tokens file (0600) in the folder: the refresh token on its first line. Answers its path.
// A driver run's end: its exit code (-9 when it crashed or was killed; -1 when it did not end) and
// everything it printed.
struct GoogleDriverRun
{
    int exitCode = -1;
    QString output;

    bool crashed() const { return exitCode == -9; }
};

// hm_sync_once started, not waited for, on the Google-direct profile of `email` with the tokens in
// home/tokens and a time limit of its own; the test's HM_TEST_SYNC_LOG_LEVEL, then `extra`, go into
// the environment.
inline void startGoogleDriver(QProcess &driver, QProcessEnvironment environment, const QString &home, const QString &email,
                              int timeLimitSeconds, const QStringList &more = {}, const QMap<QString, QString> &extra = {})
{
    if (qEnvironmentVariableIsSet("HM_TEST_SYNC_LOG_LEVEL"))
        environment.insert("HM_SYNC_LOG_LEVEL", qEnvironmentVariable("HM_TEST_SYNC_LOG_LEVEL"));
    for (auto it = extra.begin(); it != extra.end(); ++it)
        environment.insert(it.key(), it.value());
    driver.setProcessEnvironment(environment);
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH),
                 QStringList{"--create-google-profile", "--google-user", email, "--google-tokens-file", home + "/tokens",
                             "--timeout", QString::number(timeLimitSeconds)} +
                     more);
    driver.waitForStarted();
}

// Waits for a started driver up to a minute past its own time limit. A driver that crashed leaves
// what it printed in the test's log, so that a crash no kill trial asked for can be told.
inline GoogleDriverRun finishGoogleDriver(QProcess &driver, int timeLimitSeconds)
{
    if (driver.state() != QProcess::NotRunning && !driver.waitForFinished((timeLimitSeconds + 60) * 1000))
        return {};
    GoogleDriverRun run{driver.exitStatus() == QProcess::CrashExit ? -9 : driver.exitCode(),
                        QString::fromUtf8(driver.readAll())};
    if (run.crashed())
        std::printf("The driver crashed; its last lines:\n%s\n", qPrintable(run.output.right(8000)));
    return run;
}

// Sleeps until a random moment of a kill trial (leastMs plus up to spreadMs) and says which, so a failing
// trial can be told.
inline void sleepUntilARandomMoment(const char *what = "random kill", int leastMs = 300, int spreadMs = 2500)
{
    const int delay = leastMs + int(QRandomGenerator::global()->bounded(spreadMs));
    std::printf("%s after %d ms\n", what, delay);
    QThread::msleep(delay);
}

// The name of a case of a fault kind given as a text ("cut-after", "500"): without dashes, and a
// status code read as "status500".
inline std::string faultKindName(const ::testing::TestParamInfo<const char *> &info)
{
    const QString name = QString::fromLatin1(info.param).remove(u'-');
    return (name.front().isDigit() ? QStringLiteral("status") + name : name).toStdString();
}

// Outlook's dates are whole seconds: a run that starts within the second of the last one's stamp would
// take that run's own writes to Outlook for changes. Waits that second out, runs, and shows what the
// run printed when the test's sync log level asks for it.
inline GoogleDriverRun runAfterOutlooksSecond(const std::function<GoogleDriverRun()> &run)
{
    QThread::msleep(1100);
    GoogleDriverRun done = run();
    if (qEnvironmentVariableIsSet("HM_TEST_SYNC_LOG_LEVEL"))
        std::printf("%s\n", qPrintable(done.output));
    return done;
}

// Whether the run ended cleanly, with what it printed as the failure's text when it did not.
inline bool endedCleanly(const GoogleDriverRun &done)
{
    EXPECT_EQ(done.exitCode, 0) << done.output.toStdString();
    return done.exitCode == 0;
}

// Sets the profile stored in the home's data folder before the next run.
inline void editStoredProfile(const QString &home, const std::function<void(HMProfile &)> &edit)
{
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/data")).toLocal8Bit());
    HMProfileManager manager;
    const auto profiles = manager.loadProfiles();
    ASSERT_TRUE(profiles && !profiles->isEmpty());
    edit(*profiles->first());
    ASSERT_TRUE(manager.saveProfile(*profiles->first()));
    qputenv("XDG_DATA_HOME", oldData);
}

// A driver started by `start` and killed at a random moment while the peer answers the writes to
// `path` slowly, which stretches them over the moments a kill may fall on.
inline void killDuringSlowWrites(GooglePeerProcess &google, const QString &path,
                                 const std::function<void(QProcess &)> &start)
{
    google.control("/peer/switch", {{"kind", "slow"}, {"path", path}, {"slowMs", 150}});
    QProcess driver;
    start(driver);
    sleepUntilARandomMoment();
    driver.kill();
    ASSERT_TRUE(driver.waitForFinished(120000));
    google.control("/peer/clear-switches");
}

inline QString writeTokens(const QString &folder, const QByteArray &refreshToken)
{
    QFile file(QDir(folder).filePath(QStringLiteral("tokens")));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(refreshToken + "\n");
    file.close();
    return file.fileName();
}

inline QProcessEnvironment googleRunEnvironment(const QString &home, const QString &runtimeDir, const GooglePeerProcess &peer,
                                                const QString &zone)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString host = QStringLiteral("https://127.0.0.1:%1/").arg(peer.port);
    const QList<std::pair<QString, QString>> values{{"HOME", home},
                                                    {"XDG_DATA_HOME", home + "/data"},
                                                    {"XDG_CONFIG_HOME", home + "/config"},
                                                    {"XDG_STATE_HOME", home + "/state"},
                                                    {"XDG_RUNTIME_DIR", runtimeDir},
                                                    {"TZ", zone},
                                                    {"HM_GOOGLE_API_HOST", host},
                                                    {"HM_GOOGLE_CONTACTS_HOST", host},
                                                    {"HM_GOOGLE_ACCOUNTS_HOST", host},
                                                    {"HM_TLS_CA_FILE", peer.caFile},
                                                    {"HM_OUTLOOK_NO_PAUSE", "1"}};
    environment.remove("HM_SYNC_LOG_LEVEL");
    for (const auto &[name, value] : values)
        environment.insert(name, value);
    return environment;
}

// Every regular file under the folder, with its bytes.
inline QHash<QString, QByteArray> filesUnder(const QString &folder)
{
    QHash<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            files.insert(file.fileName(), file.readAll());
    }
    return files;
}

// No file holds the refresh token, an access token the peer gave out, a bearer header or an
// authorization code.
inline void expectNoSecretIn(const QHash<QString, QByteArray> &files, const QStringList &accessTokens)
{
    const QRegularExpression code(QStringLiteral("(^|[^0-9A-Za-z])4/[0-9A-Za-z_-]{10,}"));
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString text = QString::fromUtf8(it.value());
        EXPECT_FALSE(text.contains(QLatin1String("1//rt"))) << it.key().toStdString();
        EXPECT_FALSE(text.contains(QLatin1String("ya29."))) << it.key().toStdString();
        EXPECT_FALSE(text.contains(QLatin1String("Bearer "), Qt::CaseInsensitive)) << it.key().toStdString();
        EXPECT_FALSE(text.contains(code)) << it.key().toStdString();
        for (const QString &token : accessTokens)
            EXPECT_FALSE(text.contains(token)) << it.key().toStdString() << " holds " << token.toStdString();
    }
}

// The program's log folder ("Logs" in its folder of the state home) and the support archive the
// application makes of it: no file in either holds a token or an authorization code. Answers the
// log files, by path.
inline QHash<QString, QByteArray> expectNoSecretInLogFolder(const QString &home, const QStringList &accessTokens)
{
    QDirIterator folders(home + "/state", {"Logs"}, QDir::Dirs, QDirIterator::Subdirectories);
    EXPECT_TRUE(folders.hasNext());
    if (!folders.hasNext())
        return {};
    const QString logFolder = folders.next();
    const QHash<QString, QByteArray> logs = filesUnder(logFolder);
    EXPECT_FALSE(logs.isEmpty()) << logFolder.toStdString();
    expectNoSecretIn(logs, accessTokens);
    const auto archive = HMSupportLogArchive({{}, logFolder, {}, {}}).writeArchive();
    EXPECT_TRUE(archive) << archive.error().message().toStdString();
    if (!archive)
        return logs;
    QTemporaryDir unpacked;
    EXPECT_EQ(QProcess::execute("unzip", {"-q", "-o", *archive, "-d", unpacked.path()}), 0);
    const QHash<QString, QByteArray> packed = filesUnder(unpacked.path());
    EXPECT_GT(packed.size(), 1);
    expectNoSecretIn(packed, accessTokens);
    return logs;
}
