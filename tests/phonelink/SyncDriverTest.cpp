// The sync driver program end to end: it creates a profile, syncs its sample records with the phone
// peer and says so; a second run finds nothing to do.

#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

struct DriverRun
{
    int exitCode = -1;
    QString output;
};

DriverRun runDriver(const QString &home, const QStringList &arguments)
{
    QProcess driver;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/state"));
    driver.setProcessEnvironment(environment);
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
    if (!driver.waitForFinished(120000))
        return {};
    return {driver.exitCode(), QString::fromUtf8(driver.readAll())};
}

} // namespace

TEST(SyncDriver, SyncsASampleProfileWithThePhoneAndThenFindsNothingToDo)
{
    preparePhoneLinkTests();
    phonepeer::PhonePeer::Options options;
    options.port = 0;
    phonepeer::PhonePeer peer(options);
    QString problem;
    ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
    peer.addPhoneRecord(phonepeer::Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Ada")}});
    QTemporaryDir home;
    const QString port = QString::number(peer.port());

    const DriverRun first = runDriver(home.path(), {QStringLiteral("--create-profile"), QStringLiteral("--port"), port,
                                                    QStringLiteral("--phone-id"), peer.deviceId(),
                                                    QStringLiteral("--sample-records"), QStringLiteral("2"), QStringLiteral("--logon-pause-ms"), QStringLiteral("0")});
    EXPECT_EQ(first.exitCode, 0) << first.output.toStdString();
    EXPECT_TRUE(first.output.contains(QStringLiteral("Sync Complete"))) << first.output.toStdString();
    EXPECT_EQ(peer.records(phonepeer::Conduit::Contacts).size(), 3);
    EXPECT_EQ(peer.records(phonepeer::Conduit::Calendar).size(), 2);
    EXPECT_EQ(peer.records(phonepeer::Conduit::Tasks).size(), 2);
    // The sample events and tasks live in the calendar store's iCalendar folders.
    QStringList itemFiles;
    QDirIterator files(home.path(), {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext())
        itemFiles.append(files.next());
    EXPECT_EQ(itemFiles.size(), 4) << itemFiles.join(QLatin1Char('\n')).toStdString();

    const qsizetype requestsBefore = peer.requestLog().size();
    const DriverRun second = runDriver(home.path(), {QStringLiteral("--port"), port, QStringLiteral("--logon-pause-ms"), QStringLiteral("0")});
    EXPECT_EQ(second.exitCode, 0) << second.output.toStdString();
    EXPECT_FALSE(peer.requestLog().mid(requestsBefore).contains(QStringLiteral("/hmx_update")));
    EXPECT_TRUE(second.output.contains(QStringLiteral("Contacts: 3 records"))) << second.output.toStdString();

    peer.stop();
    const DriverRun unreachable = runDriver(home.path(), {QStringLiteral("--port"), port, QStringLiteral("--logon-pause-ms"), QStringLiteral("0")});
    EXPECT_EQ(unreachable.exitCode, 1) << unreachable.output.toStdString();
    EXPECT_TRUE(unreachable.output.contains(QStringLiteral("Sync did not finish"))) << unreachable.output.toStdString();
}
