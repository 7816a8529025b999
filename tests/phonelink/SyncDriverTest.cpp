// The sync driver program end to end: it creates a profile, syncs its sample records with the phone
// peer and says so; a second run finds nothing to do.

#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace {

struct DriverRun
{
    int exitCode = -1;
    QString output;
};

DriverRun runDriver(const QString &home, const QStringList &arguments)
{
    const std::unique_ptr<QProcess> driver = startSyncDriver(home, arguments);
    if (!driver->waitForFinished(120000))
        return {};
    return {driver->exitCode(), QString::fromUtf8(driver->readAll())};
}

} // namespace

TEST(SyncDriver, SyncsASampleProfileWithThePhoneAndThenFindsNothingToDo)
{
    preparePhoneLinkTests();
    const std::unique_ptr<phonepeer::PhonePeer> started = startPhonePeer(0);
    phonepeer::PhonePeer &peer = *started;
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

    // The sample cards were written in the second the first sync began: their whole-second stamps
    // cannot tell whether they changed after it read them, so the second sync, begun in a later
    // second, may send them again. After that nothing is left to do.
    QThread::msleep(1100);
    const DriverRun second = runDriver(home.path(), {QStringLiteral("--port"), port, QStringLiteral("--logon-pause-ms"), QStringLiteral("0")});
    EXPECT_EQ(second.exitCode, 0) << second.output.toStdString();
    const qsizetype requestsBefore = peer.requestLog().size();
    const DriverRun third = runDriver(home.path(), {QStringLiteral("--port"), port, QStringLiteral("--logon-pause-ms"), QStringLiteral("0")});
    EXPECT_EQ(third.exitCode, 0) << third.output.toStdString();
    EXPECT_FALSE(peer.requestLog().mid(requestsBefore).contains(QStringLiteral("/hmx_update")));
    EXPECT_TRUE(third.output.contains(QStringLiteral("Contacts: 3 records"))) << third.output.toStdString();
    EXPECT_EQ(peer.records(phonepeer::Conduit::Contacts).size(), 3);

    peer.stop();
    const DriverRun unreachable = runDriver(home.path(), {QStringLiteral("--port"), port, QStringLiteral("--logon-pause-ms"), QStringLiteral("0")});
    EXPECT_EQ(unreachable.exitCode, 1) << unreachable.output.toStdString();
    EXPECT_TRUE(unreachable.output.contains(QStringLiteral("Sync did not finish"))) << unreachable.output.toStdString();
}

// Syncs that go well, the first and a quiet second, leave standard error empty: it holds only warnings
// and errors, and the program's trace goes to the system log.
TEST(SyncDriver, SuccessfulSyncsWriteNothingToStandardError)
{
    preparePhoneLinkTests();
    const std::unique_ptr<phonepeer::PhonePeer> peer = startPhonePeer(0);
    peer->addPhoneRecord(phonepeer::Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Ada")}});
    QTemporaryDir home;
    const QString errors = home.filePath(QStringLiteral("errors.txt"));
    QStringList arguments{QStringLiteral("--create-profile"),
                          QStringLiteral("--port"),
                          QString::number(peer->port()),
                          QStringLiteral("--phone-id"),
                          peer->deviceId(),
                          QStringLiteral("--sample-records"),
                          QStringLiteral("2"),
                          QStringLiteral("--logon-pause-ms"),
                          QStringLiteral("0")};
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        const std::unique_ptr<QProcess> driver =
            startSyncDriver(home.path(), arguments, QStringLiteral("exec 2>'%1';").arg(errors));
        ASSERT_TRUE(driver->waitForFinished(120000));
        const QString output = QString::fromUtf8(driver->readAll());
        EXPECT_EQ(driver->exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains(QStringLiteral("Sync Complete"))) << output.toStdString();
        QFile written(errors);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_EQ(written.readAll().toStdString(), "");
        arguments = {QStringLiteral("--port"), QString::number(peer->port()), QStringLiteral("--logon-pause-ms"),
                     QStringLiteral("0")};
    }
}

// A disk that fills up (a file size limit the kernel enforces on the driver, whoever runs the test) ends
// the run with an error before the logoff: the phone keeps its changes, the desktop file stays whole,
// and the next run with room brings every record across once.
TEST(SyncDriver, AFullDiskEndsTheRunInErrorAndLosesNothing)
{
    preparePhoneLinkTests();
    const std::unique_ptr<phonepeer::PhonePeer> started = startPhonePeer(0);
    phonepeer::PhonePeer &peer = *started;
    QTemporaryDir home;
    const QString port = QString::number(peer.port());
    const QStringList again{QStringLiteral("--port"), port, QStringLiteral("--logon-pause-ms"), QStringLiteral("0")};
    const DriverRun first = runDriver(home.path(), again + QStringList{QStringLiteral("--create-profile"),
                                                                      QStringLiteral("--phone-id"), peer.deviceId()});
    ASSERT_EQ(first.exitCode, 0) << first.output.toStdString();
    QDirIterator found(home.path(), {QStringLiteral("desktop-records.json")}, QDir::Files, QDirIterator::Subdirectories);
    ASSERT_TRUE(found.hasNext());
    const QString storeFile = found.next();
    QFile storeBefore(storeFile);
    ASSERT_TRUE(storeBefore.open(QIODevice::ReadOnly));
    const QByteArray storedBefore = storeBefore.readAll();
    storeBefore.close();

    for (int index = 0; index < 300; ++index) {
        peer.addPhoneRecord(phonepeer::Conduit::Contacts, {{QStringLiteral("NEWLNAME"), QStringLiteral("Late %1").arg(index)},
                                                           {QStringLiteral("NOTE"), QString(200, u'n')}});
    }
    // Room for what is there and a little more, in the 512-byte blocks of ulimit.
    const qint64 blocks = (storedBefore.size() + 8192) / 512;
    const std::unique_ptr<QProcess> full =
        startSyncDriver(home.path(), again, QStringLiteral("trap '' XFSZ; ulimit -f %1;").arg(blocks));
    ASSERT_TRUE(full->waitForFinished(120000));
    const QString fullOutput = QString::fromUtf8(full->readAll());
    EXPECT_EQ(full->exitCode(), 1) << fullOutput.toStdString();
    EXPECT_TRUE(fullOutput.contains(QStringLiteral("could not be saved"))) << fullOutput.toStdString();
    EXPECT_TRUE(peer.hasChanges()) << "the phone was told its changes arrived";
    QFile storeAfter(storeFile);
    ASSERT_TRUE(storeAfter.open(QIODevice::ReadOnly));
    EXPECT_EQ(storeAfter.readAll(), storedBefore) << "the desktop file was not kept whole";

    const DriverRun mended = runDriver(home.path(), again);
    EXPECT_EQ(mended.exitCode, 0) << mended.output.toStdString();
    EXPECT_TRUE(mended.output.contains(QStringLiteral("Contacts: 300 records"))) << mended.output.toStdString();
    EXPECT_EQ(peer.records(phonepeer::Conduit::Contacts).size(), 300);
    EXPECT_FALSE(peer.hasChanges());
}
