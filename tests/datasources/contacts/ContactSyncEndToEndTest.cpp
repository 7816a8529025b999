// Whole syncs of contacts between the phone peer and a vCard folder through the sync controller and
// the Wi-Fi transport: what lands in the folder is what khard and Python's vobject read, a sync
// without changes changes no file, edits and deletions cross over, and phoneSlots stay put.
#include "ContactSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/foundation/FileSystem.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>

#include <sys/inotify.h>

using phonepeer::Conduit;

namespace {

const QString kZoeNote = QStringLiteral("Line one\nLine two & three");

void fillPhone(phonepeer::PhonePeer &peer)
{
    peer.addPhoneRecord(Conduit::Contacts,
                        phoneFields({{"NEWFNAME", QStringLiteral("Zoë")}, {"NEWLNAME", QStringLiteral("Ångström")},
                                     {"WORKPHONE", QStringLiteral("+46 8 555 0100")},
                                     {"CELLPHONE", QStringLiteral("+46 70 123 4567")},
                                     {"HOMEPHONE", QStringLiteral("+46 8 555 0199")},
                                     {"EMAIL", QStringLiteral("zoe@work.example")}, {"EMAIL2", QStringLiteral("zoe@home.example")},
                                     {"ADDRESS1", QStringLiteral("Storgatan 1; 3 tr")}, {"CITY", QStringLiteral("Uppsala")},
                                     {"ZIP", QStringLiteral("752 20")}, {"COUNTRY", QStringLiteral("Sweden")},
                                     {"IMLABEL1", QStringLiteral("Jabber")}, {"IMADDRESS1", QStringLiteral("zoe@jabber.example")},
                                     {"WEBURL", QStringLiteral("https://zoe.example")}, {"BIRTHDAY", QStringLiteral("19850317")},
                                     {"NOTE", kZoeNote}, {"CATEGORY", QStringLiteral("Work,Friends")}}));
    peer.addPhoneRecord(Conduit::Contacts,
                        phoneFields({{"NEWFNAME", QStringLiteral("伟")}, {"NEWLNAME", QStringLiteral("李")},
                                     {"CELLPHONE", QStringLiteral("+86 138 0013 8000")},
                                     {"EMAIL", QStringLiteral("li.wei@example.cn")}, {"COMPANY", QStringLiteral("北京公司")},
                                     {"NOTE", QStringLiteral("笔记 & more")}, {"CATEGORY", QStringLiteral("Work")}}));
    peer.addPhoneRecord(Conduit::Contacts,
                        phoneFields({{"NEWFNAME", QStringLiteral("Tom")}, {"NEWLNAME", QStringLiteral("O'Neil; Smith")},
                                     {"WORKPHONE", QStringLiteral("555-0100")}, {"EMAIL", QStringLiteral("tom@example.com")}}));
}

// Every card file parses with vobject; answers "FN|TEL count|EMAIL count" per file.
QStringList vobjectSummary(ContactSyncRun &run)
{
    const char *script = "import sys, glob, vobject\n"
                         "for name in sorted(glob.glob(sys.argv[1] + '/*.vcf')):\n"
                         "    card = vobject.readOne(open(name, encoding='utf-8').read())\n"
                         "    print('%s|%d|%d' % (card.fn.value, len(card.contents.get('tel', [])),"
                         " len(card.contents.get('email', []))))\n";
    QStringList lines = runProgram(pythonProgram(), {QStringLiteral("-c"), QLatin1String(script), run.folder().path()})
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

} // namespace

TEST(ContactSyncEndToEnd, TheFirstSyncFillsAFolderThatOtherProgramsRead)
{
    ContactSyncRun run;
    fillPhone(run.peer());
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    ASSERT_EQ(run.folder().cardFiles().size(), 5); // three persons, the groups Work and Friends
    const QSet<QString> names = khardRows(run, QStringLiteral("list"));
    QSet<QString> persons;
    for (const QString &row : names)
        persons.insert(row.section(QLatin1Char('\t'), 1));
    EXPECT_EQ(persons, (QSet<QString>{QStringLiteral("Zoë Ångström"), QStringLiteral("伟 李"), QStringLiteral("Tom O'Neil; Smith"),
                                       QStringLiteral("Work"), QStringLiteral("Friends")}));
    EXPECT_EQ(khardRows(run, QStringLiteral("phone")),
              (QSet<QString>{QStringLiteral("+46 8 555 0100\tZoë Ångström"), QStringLiteral("+46 70 123 4567\tZoë Ångström"),
                             QStringLiteral("+46 8 555 0199\tZoë Ångström"), QStringLiteral("+86 138 0013 8000\t伟 李"),
                             QStringLiteral("555-0100\tTom O'Neil; Smith")}));
    EXPECT_EQ(khardRows(run, QStringLiteral("email")),
              (QSet<QString>{QStringLiteral("zoe@work.example\tZoë Ångström"), QStringLiteral("zoe@home.example\tZoë Ångström"),
                             QStringLiteral("li.wei@example.cn\t伟 李"), QStringLiteral("tom@example.com\tTom O'Neil; Smith")}));
    EXPECT_EQ(vobjectSummary(run), (QStringList{QStringLiteral("Friends|0|0"), QStringLiteral("Tom O'Neil; Smith|1|1"),
                                                QStringLiteral("Work|0|0"), QStringLiteral("Zoë Ångström|3|2"),
                                                QStringLiteral("伟 李|1|1")}));
    const QByteArray zoe = unfolded(run.folder().readFile(run.fileHolding("Ångström")));
    for (const QByteArray &line : {QByteArray("NOTE:Line one\\nLine two & three\r\n"), QByteArray("BDAY:1985-03-17\r\n"),
                                   QByteArray("ADR;TYPE=WORK;"), QByteArray(":;;Storgatan 1\\; 3 tr;Uppsala;;752 20;Sweden\r\n"),
                                   QByteArray(";X-HM-ID="), QByteArray("IMPP;X-SERVICE-TYPE=Jabber;"),
                                   QByteArray("URL;TYPE=Home Page;")}) {
        EXPECT_TRUE(zoe.contains(line)) << line.constData();
    }
    EXPECT_TRUE(zoe.contains("CATEGORIES:Work,Friends\r\n") || zoe.contains("CATEGORIES:Friends,Work\r\n"));
}

TEST(ContactSyncEndToEnd, ASecondSyncChangesNoFileAndSendsNothing)
{
    ContactSyncRun run;
    fillPhone(run.peer());
    ASSERT_TRUE(run.sync().isSuccess);
    const QMap<QString, FileStamp> before = run.stamps();
    const qsizetype requestsBefore = run.peer().requestLog().size();
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    EXPECT_TRUE(run.stamps() == before);
    EXPECT_FALSE(run.peer().requestLog().mid(requestsBefore).contains(QStringLiteral("/hmx_update")));
}

TEST(ContactSyncEndToEnd, EditsMadeByOtherProgramsReachThePhoneAndSlotsStay)
{
    ContactSyncRun run;
    fillPhone(run.peer());
    ASSERT_TRUE(run.sync().isSuccess);
    const QString zoeFile = run.fileHolding("Ångström");
    run.rewriteAsAnotherProgram(zoeFile, "NOTE:Line one", "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQ==\r\nNOTE:Edited elsewhere");
    ASSERT_TRUE(run.sync().isSuccess);
    // The phone's contact rows have no picture field, and pictures are uploaded only for Outlook
    // contacts: the picture stays in the card.
    EXPECT_FALSE(run.peer().requestLog().contains(QStringLiteral("/hmx_updatepicture")));
    EXPECT_TRUE(run.peer().photos().isEmpty());
    std::optional<phonepeer::PhoneRecord> zoe = run.phoneContact(QStringLiteral("NEWLNAME"), QStringLiteral("Ångström"));
    ASSERT_TRUE(zoe);
    EXPECT_EQ(zoe->fields.value(QStringLiteral("NOTE")), QStringLiteral("Edited elsewhere\nLine two & three"));
    const QStringList phoneSlots = {zoe->fields.value(QStringLiteral("PHONE1")), zoe->fields.value(QStringLiteral("PHONE2")),
                               zoe->fields.value(QStringLiteral("PHONE3"))};
    EXPECT_EQ(phoneSlots, (QStringList{QStringLiteral("+46 8 555 0100"), QStringLiteral("+46 70 123 4567"),
                                  QStringLiteral("+46 8 555 0199")}));

    // A phone put before the others by another program takes the next free slot.
    run.rewriteAsAnotherProgram(zoeFile, "TEL;TYPE=WORK;", "TEL;TYPE=CAR:+46 70 999 0000\r\nTEL;TYPE=WORK;");
    ASSERT_TRUE(run.sync().isSuccess);
    zoe = run.phoneContact(QStringLiteral("NEWLNAME"), QStringLiteral("Ångström"));
    ASSERT_TRUE(zoe);
    EXPECT_EQ((QStringList{zoe->fields.value(QStringLiteral("PHONE1")), zoe->fields.value(QStringLiteral("PHONE2")),
                           zoe->fields.value(QStringLiteral("PHONE3")), zoe->fields.value(QStringLiteral("PHONE4"))}),
              phoneSlots + QStringList{QStringLiteral("+46 70 999 0000")});

    // A change made on the phone keeps what the phone does not carry, such as the picture.
    QMap<QString, QString> edited = zoe->fields;
    edited.insert(QStringLiteral("NOTE"), QStringLiteral("From the phone"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, zoe->uid, edited));
    ASSERT_TRUE(run.sync().isSuccess);
    const QByteArray card = unfolded(run.folder().readFile(zoeFile));
    EXPECT_TRUE(card.contains("NOTE:From the phone\r\n"));
    EXPECT_TRUE(card.contains("PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQ==\r\n"));
    EXPECT_EQ(vobjectSummary(run).size(), 5);
}

TEST(ContactSyncEndToEnd, DeletionsTravelAsTheSettingSays)
{
    struct Row { const char *name; HMSyncDeletions deletions; bool reachesPhone; bool reachesDesktop; };
    // With the desktop as the primary database, a deletion the phone lists among its changes is
    // ignored, as the setting promises; the phone's copy stays gone and the desktop keeps its own.
    const Row rows[] = {{"both ways", HMSyncDeletions::TwoWay, true, true},
                        {"desktop to phone", HMSyncDeletions::MacToDevice, true, false},
                        {"phone to desktop", HMSyncDeletions::DeviceToMac, false, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ContactSyncRun run(row.deletions);
        fillPhone(run.peer());
        ASSERT_TRUE(run.sync().isSuccess);
        const std::optional<phonepeer::PhoneRecord> tom = run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("Tom"));
        ASSERT_TRUE(tom);
        const QString tomFile = run.fileHolding("O'Neil");
        const QString liFile = run.fileHolding("li.wei@example.cn");
        ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Contacts, tom->uid));
        ASSERT_TRUE(QFile::remove(run.folder().filePath(liFile)));
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        EXPECT_EQ(QFile::exists(run.folder().filePath(tomFile)), !row.reachesDesktop);
        ASSERT_EQ(outcome.conduits.size(), 1);
        // The run's summary counts desktop deletions only where they happened.
        EXPECT_EQ(outcome.conduits.first().appleDeletes > 0, row.reachesDesktop);
        EXPECT_EQ(run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("伟")).has_value(), !row.reachesPhone);
        EXPECT_TRUE(run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("Zoë")));
        // Another sync changes nothing: the side that ignored a deletion does not hand the record back.
        ASSERT_TRUE(run.sync().isSuccess);
        EXPECT_EQ(QFile::exists(run.folder().filePath(tomFile)), !row.reachesDesktop);
        EXPECT_FALSE(run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("Tom")));
        EXPECT_EQ(QFile::exists(run.folder().filePath(liFile)), false);
    }
}

TEST(ContactSyncEndToEnd, AFolderOfForeignAndBrokenFilesSyncsTheGoodOnesAndChangesNone)
{
    ContactSyncRun run;
    const QList<std::pair<QString, QByteArray>> files = {
        {QStringLiteral("unparseable.vcf"), QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nno colon on this line\r\nEND:VCARD\r\n")},
        {QStringLiteral("empty.vcf"), QByteArray()},
        {QStringLiteral("huge.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Huge\r\nNOTE:" + QByteArray(9 * 1024 * 1024, 'x') +
                                         "\r\nEND:VCARD\r\n"},
        {QStringLiteral("binary.vcf"), QByteArray("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", 16)},
        {QStringLiteral("version4.vcf"), sampleBytes(QStringLiteral("vcard40.vcf"))},
        {QStringLiteral("apple.vcf"), sampleBytes(QStringLiteral("apple-export.vcf"))},
        {QStringLiteral("google.vcf"), sampleBytes(QStringLiteral("google-export.vcf"))}};
    for (const auto &[name, bytes] : files)
        run.folder().writeFile(name, bytes);
    const QMap<QString, FileStamp> before = run.stamps();
    for (int pass = 1; pass <= 2; ++pass) {
        SCOPED_TRACE(pass);
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        EXPECT_TRUE(run.stamps() == before);
    }
    for (const auto &[name, bytes] : files)
        EXPECT_EQ(run.folder().readFile(name), bytes) << name.toStdString();
    QStringList names;
    for (const phonepeer::PhoneRecord &record : run.peer().records(Conduit::Contacts))
        names.append(record.fields.value(QStringLiteral("NEWFNAME")) + QLatin1Char(' ') + record.fields.value(QStringLiteral("NEWLNAME")));
    names.sort();
    // The phone takes the salutation as part of the first name.
    EXPECT_EQ(names, (QStringList{QStringLiteral("Dr. Zoë Ångström"), QStringLiteral("Johnny Appleseed"), QStringLiteral("Wei Li")}));
    const std::optional<phonepeer::PhoneRecord> johnny = run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("Johnny"));
    ASSERT_TRUE(johnny);
    EXPECT_EQ(johnny->fields.value(QStringLiteral("COMPANY")), QStringLiteral("Orchard Co."));
    EXPECT_EQ(johnny->fields.value(QStringLiteral("CELLPHONE")), QStringLiteral("+1 (555) 010-2030"));
    EXPECT_EQ(johnny->fields.value(QStringLiteral("EMAIL3")), QStringLiteral("johnny@orchard.example"));
}

// A sync that takes the phone's contacts in several pages writes the folder's index once when the
// stage moves on, not once per page (each write is the whole index), and what it leaves is the
// folder: a new book finds every contact, and the next sync writes nothing.
TEST(ContactSyncEndToEnd, ThePagesOfAStageWriteTheFolderIndexOnce)
{
    ContactSyncRun run;
    run.peer().addPhoneRecord(Conduit::Contacts, phoneFields({{"NEWFNAME", QStringLiteral("First")}}));
    ASSERT_TRUE(run.sync().isSuccess);
    // Three pages of the phone's list replies.
    constexpr int kAdded = 1100;
    QList<QMap<QString, QString>> added;
    for (int index = 0; index < kAdded; ++index)
        added.append({{QStringLiteral("NEWFNAME"), QStringLiteral("Given")},
                      {QStringLiteral("NEWLNAME"), QStringLiteral("Family%1").arg(index)}});
    run.peer().addPhoneRecords(Conduit::Contacts, added);
    // Every write of an index links a new file into the folder of indexes or renames one over the old.
    const QString indexes = platform::FileSystem::dataFolderPath() + QStringLiteral("/AddressBookIndexes");
    QDir().mkpath(indexes);
    testsupport::FolderNotices placements(indexes, IN_CREATE | IN_MOVED_TO, ".index");
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    EXPECT_EQ(placements.count(), 1);
    EXPECT_EQ(run.folder().cardFiles().size(), kAdded + 1);
    {
        const std::shared_ptr<platform::ABAddressBook> book = platform::ABAddressBook::addressBook();
        ASSERT_TRUE(book);
        EXPECT_EQ(book->personStampCount(), kAdded + 1);
    }

    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(placements.count(), 1);
}
