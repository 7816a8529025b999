// The cloud road end to end with both sides as programs: the sync driver runs a cloud profile through
// the sync controller against the cloud peer, trusted through its test CA only.

#include "CloudDriverSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

DriverRun runDriver(const QString &home, const PeerProcess &peer, const QStringList &arguments, bool trustsPeer = true)
{
    QProcess driver;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    environment.insert(QStringLiteral("HM_QUILLNEST_HOST"), QStringLiteral("127.0.0.1:%1").arg(peer.httpsPort));
    if (trustsPeer)
        environment.insert(QStringLiteral("HM_TLS_CA_FILE"), peer.caFile);
    else
        environment.remove(QStringLiteral("HM_TLS_CA_FILE"));
    driver.setProcessEnvironment(environment);
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
    if (!driver.waitForFinished(120000))
        return {};
    return {driver.exitCode(), QString::fromUtf8(driver.readAll())};
}

// A cloud profile for u@x.com, its password in a 0600 file; answers the driver's arguments.
QStringList createCloudProfileArguments(const QTemporaryDir &home)
{
    QFile file(home.filePath(QStringLiteral("password")));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write("secret\n");
    file.close();
    return {QStringLiteral("--create-cloud-profile"), QStringLiteral("--cloud-user"), QStringLiteral("u@x.com"),
            QStringLiteral("--cloud-password-file"), file.fileName(), QStringLiteral("--timeout"), QStringLiteral("30")};
}

} // namespace

TEST(CloudDriver, LogsOnAndOffWithEveryConduitOffAndEndsEachRefusalWithItsError)
{
    QTemporaryDir folder;
    PeerProcess peer(folder.path());
    ASSERT_GT(peer.httpsPort, 0);
    QTemporaryDir home;
    const QStringList arguments = createCloudProfileArguments(home);

    const DriverRun first = runDriver(home.path(), peer, arguments);
    EXPECT_EQ(first.exitCode, 0) << first.output.toStdString();
    EXPECT_TRUE(first.output.contains(QStringLiteral("Sync Complete"))) << first.output.toStdString();
    EXPECT_EQ(peer.requestPaths(), QStringList({QStringLiteral("/v1/login.php"), QStringLiteral("/v1/logout.php")}));
    // The password never went on the command line, and the driver printed neither it nor its digest.
    EXPECT_FALSE(first.output.contains(QStringLiteral("5EBE2294ECD0E0F08EAB7690D2A6EE69")));

    struct Row
    {
        const char *kind;
        const char *expected;
    };
    const Row rows[] = {{"result-1", "no_username_or_password"}, {"result-2", "(error 6)"}, {"garbage", "(error 6)"},
                        {"html-500", "HTTP 500 (error 6)"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.kind);
        peer.control("/peer/switch", QJsonObject{{"kind", row.kind}, {"path", "/v1/login.php"}, {"times", 1}});
        const DriverRun run = runDriver(home.path(), peer, arguments);
        EXPECT_EQ(run.exitCode, 1) << run.output.toStdString();
        EXPECT_TRUE(run.output.contains(QString::fromLatin1(row.expected))) << run.output.toStdString();
    }
}

TEST(CloudDriver, RefusesThePeerWithoutItsCertificateAuthority)
{
    QTemporaryDir folder;
    PeerProcess peer(folder.path());
    ASSERT_GT(peer.httpsPort, 0);
    QTemporaryDir home;
    const DriverRun run = runDriver(home.path(), peer, createCloudProfileArguments(home), false);
    EXPECT_EQ(run.exitCode, 1) << run.output.toStdString();
    EXPECT_TRUE(run.output.contains(QStringLiteral("The certificate for this server is invalid."))) << run.output.toStdString();
    EXPECT_TRUE(peer.requestPaths().isEmpty());
}

TEST(CloudDriver, ForceCancelReportsCodeTwoAndLogsOut)
{
    QTemporaryDir folder;
    PeerProcess peer(folder.path());
    ASSERT_GT(peer.httpsPort, 0);
    QTemporaryDir home;
    QStringList arguments = createCloudProfileArguments(home);
    arguments.replace(arguments.indexOf(QStringLiteral("30")), QStringLiteral("5"));
    // The logon stalls past the driver's time limit, which force-cancels the run.
    peer.control("/peer/switch", QJsonObject{{"kind", "stall"}, {"path", "/v1/login.php"}, {"stallMs", 20000}});
    const DriverRun run = runDriver(home.path(), peer, arguments);
    EXPECT_EQ(run.exitCode, 1) << run.output.toStdString();
    EXPECT_TRUE(run.output.contains(QStringLiteral("(error 2)"))) << run.output.toStdString();
    EXPECT_TRUE(peer.requestPaths().contains(QStringLiteral("/v1/logout.php"))) << peer.requestPaths().join(u' ').toStdString();
    peer.control("/peer/clear-switches");
}
