// The guard against mass deletions, through the sync driver program against the phone peer with the
// desktop's records in the folder stores: a phone that lists none or few of a conduit's ids, and a
// desktop folder emptied of most of its items, stop the run with nothing deleted on either side, and
// the driver goes on only when told to.

#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using phonepeer::Conduit;

namespace {

constexpr int kRecords = 30;

// The item files under the folder holding the text ("BEGIN:VCARD", "BEGIN:VEVENT", "BEGIN:VTODO").
QStringList itemFiles(const QString &folder, const QByteArray &component)
{
    QStringList found;
    QDirIterator files(folder, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.fileName().endsWith(QLatin1String(".hmtmp")) || !file.open(QIODevice::ReadOnly))
            continue;
        if (file.read(1 << 20).contains(component))
            found.append(file.fileName());
    }
    return found;
}

class MassDeletion : public testing::Test
{
protected:
    void SetUp() override
    {
        preparePhoneLinkTests();
        m_peer = startPhonePeer(0);
        const auto [exitCode, output] = run({QStringLiteral("--create-profile"), QStringLiteral("--phone-id"),
                                             m_peer->deviceId(), QStringLiteral("--sample-records"),
                                             QString::number(kRecords)});
        ASSERT_EQ(exitCode, 0) << output.toStdString();
        for (const Conduit conduit : {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks})
            ASSERT_EQ(m_peer->records(conduit).size(), kRecords);
    }

    std::pair<int, QString> run(QStringList arguments = {})
    {
        arguments << QStringLiteral("--port") << QString::number(m_peer->port()) << QStringLiteral("--logon-pause-ms")
                  << QStringLiteral("0") << QStringLiteral("--contacts-folder") << folder("contacts")
                  << QStringLiteral("--calendars-folder") << folder("calendars");
        const std::unique_ptr<QProcess> driver = startSyncDriver(m_home.path(), arguments);
        if (!driver->waitForFinished(120000))
            return {-1, QStringLiteral("the driver did not end")};
        return {driver->exitCode(), QString::fromUtf8(driver->readAll())};
    }

    void deleteOnPhone(Conduit conduit, int count)
    {
        const QList<phonepeer::PhoneRecord> records = m_peer->records(conduit);
        for (int index = 0; index < count; ++index)
            ASSERT_TRUE(m_peer->deletePhoneRecord(conduit, records.at(index).uid));
    }

    QString folder(const char *name) const { return m_home.filePath(QLatin1String(name)); }

    QTemporaryDir m_home;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
};

} // namespace

TEST_F(MassDeletion, AnEmptyIdListDeletesNoDesktopRecordUnlessTheDriverIsToldToGoOn)
{
    deleteOnPhone(Conduit::Contacts, kRecords);
    const auto [refused, refusal] = run();
    EXPECT_EQ(refused, 1) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(QStringLiteral("Nothing was deleted: deleting 30 of the 30 contacts on the Mac was declined.")))
        << refusal.toStdString();
    EXPECT_EQ(itemFiles(folder("contacts"), "BEGIN:VCARD").size(), kRecords);
    // Asked again at the next run, which the flag lets go on.
    EXPECT_EQ(run().first, 1);
    EXPECT_EQ(itemFiles(folder("contacts"), "BEGIN:VCARD").size(), kRecords);
    const auto [allowed, output] = run({QStringLiteral("--allow-mass-deletions")});
    EXPECT_EQ(allowed, 0) << output.toStdString();
    EXPECT_EQ(itemFiles(folder("contacts"), "BEGIN:VCARD").size(), 0);
    EXPECT_EQ(itemFiles(folder("calendars"), "BEGIN:VEVENT").size(), kRecords);
}

TEST_F(MassDeletion, AListMissingMostIdsIsAskedAboutAndAFewDeletionsAreNot)
{
    deleteOnPhone(Conduit::Calendar, 25);
    const auto [refused, refusal] = run();
    EXPECT_EQ(refused, 1) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(QStringLiteral("deleting 25 of the 30 events on the Mac was declined"))) << refusal.toStdString();
    EXPECT_EQ(itemFiles(folder("calendars"), "BEGIN:VEVENT").size(), kRecords);
    EXPECT_EQ(itemFiles(folder("contacts"), "BEGIN:VCARD").size(), kRecords);

    // Half of the records, or ten, go without a question.
    const auto [allowed, output] = run({QStringLiteral("--allow-mass-deletions")});
    ASSERT_EQ(allowed, 0) << output.toStdString();
    EXPECT_EQ(itemFiles(folder("calendars"), "BEGIN:VEVENT").size(), 5);
    deleteOnPhone(Conduit::Tasks, 10);
    const auto [quiet, quietOutput] = run();
    EXPECT_EQ(quiet, 0) << quietOutput.toStdString();
    EXPECT_EQ(itemFiles(folder("calendars"), "BEGIN:VTODO").size(), kRecords - 10);
}

TEST_F(MassDeletion, ADesktopFolderEmptiedOfMostItemsDeletesNothingOnThePhone)
{
    const QStringList tasks = itemFiles(folder("calendars"), "BEGIN:VTODO");
    ASSERT_EQ(tasks.size(), kRecords);
    for (int index = 0; index < 20; ++index)
        ASSERT_TRUE(QFile::remove(tasks.at(index)));
    const auto [refused, refusal] = run();
    EXPECT_EQ(refused, 1) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(QStringLiteral("deleting 20 of the 30 tasks on the device was declined")))
        << refusal.toStdString();
    EXPECT_EQ(m_peer->records(Conduit::Tasks).size(), kRecords);
    const auto [allowed, output] = run({QStringLiteral("--allow-mass-deletions")});
    EXPECT_EQ(allowed, 0) << output.toStdString();
    EXPECT_EQ(m_peer->records(Conduit::Tasks).size(), kRecords - 20);
    EXPECT_EQ(m_peer->records(Conduit::Contacts).size(), kRecords);
}
