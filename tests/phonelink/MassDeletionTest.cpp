// The sync driver program against the phone peer with the desktop's records in the folder stores,
// after a first sync of 30 records per conduit. The guard against mass deletions: a phone that lists
// none or few of a conduit's ids, and a desktop folder emptied of most of its items, stop the run with
// nothing deleted on either side, and the driver goes on only when told to. A desktop item whose UID
// cannot be kept is skipped with its reason while the others sync.

#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
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

class FolderStoresDriver : public testing::Test
{
protected:
    void SetUp() override
    {
        preparePhoneLinkTests();
        m_peer = startPhonePeer(0);
        const auto [exitCode, output] =
            run({QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), m_peer->deviceId(),
                 QStringLiteral("--sample-records"), QString::number(kRecords)});
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

class MassDeletion : public FolderStoresDriver
{
};

class UnstorableIds : public FolderStoresDriver
{
};

} // namespace

// Written as another program might: a vCard and a task whose UID holds a NUL, and a vCard and a task
// whose UID is 3,000 characters long, beside a good one of each.
void writeItemsWithUnstorableUids(const QString &contacts, const QString &tasks)
{
    const QByteArray nul(1, '\0');
    const QByteArray longUid(3000, 'x');
    const auto card = [](const QByteArray &uid, const QByteArray &name) {
        return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nFN:" + name + " Person\r\nN:Person;" + name +
               ";;;\r\nEND:VCARD\r\n";
    };
    const auto task = [](const QByteArray &uid, const QByteArray &name) {
        return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Another program//EN\r\nBEGIN:VTODO\r\nUID:" + uid +
               "\r\nDTSTAMP:20261201T100000Z\r\nSUMMARY:" + name + " task\r\nEND:VTODO\r\nEND:VCALENDAR\r\n";
    };
    const std::pair<QString, QByteArray> files[] = {
        {contacts + QStringLiteral("/nul.vcf"), card("bad" + nul + "uid", "Nul")},
        {contacts + QStringLiteral("/long.vcf"), card(longUid, "Long")},
        {contacts + QStringLiteral("/good.vcf"), card("good-1", "Good")},
        {tasks + QStringLiteral("/nul.ics"), task("bad" + nul + "uid", "Nul")},
        {tasks + QStringLiteral("/long.ics"), task(longUid, "Long")},
        {tasks + QStringLiteral("/good.ics"), task("good-2", "Good")}};
    for (const auto &[path, bytes] : files) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
}

QStringList phoneTexts(const phonepeer::PhonePeer &peer, Conduit conduit, const QString &key)
{
    QStringList texts;
    for (const phonepeer::PhoneRecord &record : peer.records(conduit))
        texts.append(record.fields.value(key));
    return texts;
}

TEST_F(UnstorableIds, DesktopItemsWhoseUidsCannotBeKeptAreSkippedAndTheOthersSync)
{
    const QString tasks = QFileInfo(itemFiles(folder("calendars"), "BEGIN:VTODO").value(0)).path();
    ASSERT_NO_FATAL_FAILURE(writeItemsWithUnstorableUids(folder("contacts"), tasks));
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        const auto [exitCode, output] = run();
        EXPECT_EQ(exitCode, 0) << output.toStdString();
        const QStringList names = phoneTexts(*m_peer, Conduit::Contacts, QStringLiteral("NEWFNAME"));
        EXPECT_EQ(names.size(), kRecords + 1) << names.join(u',').toStdString();
        EXPECT_TRUE(names.contains(QStringLiteral("Good")));
        const QStringList subjects = phoneTexts(*m_peer, Conduit::Tasks, QStringLiteral("SUBJECT"));
        EXPECT_EQ(subjects.size(), kRecords + 1) << subjects.join(u',').toStdString();
        EXPECT_TRUE(subjects.contains(QStringLiteral("Good task")));
    }
}

TEST_F(MassDeletion, AnEmptyIdListDeletesNoDesktopRecordUnlessTheDriverIsToldToGoOn)
{
    deleteOnPhone(Conduit::Contacts, kRecords);
    const auto [refused, refusal] = run();
    EXPECT_EQ(refused, 1) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(
        QStringLiteral("Deletion declined: the 30 of 30 contacts on the Mac were kept.")))
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
    EXPECT_TRUE(refusal.contains(QStringLiteral("Deletion declined: the 25 of 30 events on the Mac were kept.")))
        << refusal.toStdString();
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
    EXPECT_TRUE(refusal.contains(QStringLiteral("Deletion declined: the 20 of 30 tasks on the device were kept.")))
        << refusal.toStdString();
    EXPECT_EQ(m_peer->records(Conduit::Tasks).size(), kRecords);
    const auto [allowed, output] = run({QStringLiteral("--allow-mass-deletions")});
    EXPECT_EQ(allowed, 0) << output.toStdString();
    EXPECT_EQ(m_peer->records(Conduit::Tasks).size(), kRecords - 20);
    EXPECT_EQ(m_peer->records(Conduit::Contacts).size(), kRecords);
}
