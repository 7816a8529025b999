// Outlook's contacts sent to the phone through the real controller and the Wi-Fi transport, with the
// simulated Outlook as its own process: the fields the phone holds, syncs with nothing or one thing
// changed, deletions, the folder choice, a refused or vanished Outlook, and pictures both ways.
#include "OutlookSyncSupport.h"

#include "ContactSyncSupport.h"
#include "LogCapture.h"

#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

void dumpPhone(OutlookSyncRun &run)
{
    for (const phonepeer::PhoneRecord &record : run.phone().records(phonepeer::Conduit::Contacts)) {
        QStringList fields;
        for (auto it = record.fields.constBegin(); it != record.fields.constEnd(); ++it)
            fields.append(it.key() + u'=' + it.value());
        std::fprintf(stderr, "phone %s: %s\n", qPrintable(record.uid), qPrintable(fields.join(u'|')));
    }
}

} // namespace

TEST(OutlookContactSync, OutlooksContactsReachThePhoneWithTheirFields)
{
    OutlookSyncRun run;
    run.addContact(fullContact());
    run.addContact({{"firstName", QStringLiteral("伟")}, {"lastName", QStringLiteral("李")}, {"company", QStringLiteral("北京公司")},
                    {"phones", QJsonArray{QJsonObject{{"kind", "cell"}, {"number", "+86 138 0013 8000"}}}},
                    {"note", QStringLiteral("笔记 & more")}});
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    if (qEnvironmentVariableIsSet("HM_DUMP_PHONE"))
        dumpPhone(run);
    ASSERT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 2);
    const std::optional<phonepeer::PhoneRecord> zoe = run.phoneContact(QStringLiteral("MIDNAME"), QStringLiteral("Élise"));
    ASSERT_TRUE(zoe);
    // The engine's normalisation puts the prefix before the given name and the suffix after the family
    // name; a literal backslash-n in a note reads as a line break (the export's escape of it); the
    // phone keeps line feeds only.
    const QMap<QString, QString> expected{
        {"NEWFNAME", QStringLiteral("Dr. Zoë")}, {"NEWLNAME", QStringLiteral("Ångström PhD")}, {"SALUTATION", "Dr."}, {"SUFFIX", "PhD"},
        {"FULLNAME", QStringLiteral("Dr. Zoë Élise Ångström PhD")},
        {"BIRTHDAY", "19850317"}, {"ANNIVERS", "20100612"}, {"CATEGORY", "Work,Friends"}, {"CATEGORYCOLOR", "FF0000,00FF00"},
        {"COLORINDEX", "-1,-1"}, {"PHONELABEL1", "3"}, {"PHONELABEL5", "4"}, {"PHONELABEL6", "5"}, {"PHONELABEL7", "6"},
        {"PHONELABEL8", "19"}, {"PHONE8", "+46 8 102"}, {"PHONELABEL9", "7"}, {"HOMECNTRY", "Sweden"},
        {"NOTE", QStringLiteral("Line one\nLine two & three, a literal \n too")},
        {"ADDRESS1", QStringLiteral("Storgatan 1\nPlan 3")},
        {"PROFESSION", "Chief, Research"}, {"COMPANY", "Acme, Inc."},
        {"WORKPHONE", "+46 8 100"}, {"HOMEPHONE", "+46 8 200"}, {"CELLPHONE", "+46 70 300"}, {"COMPANYPHONE", "+46 8 400"},
        {"WORKFAX", "+46 8 101"}, {"OTHERPHONE", "+46 8 600"},
        {"EMAIL", "zoe@work.example"}, {"EMAIL2", "zoe@home.example"}, {"EMAIL3", "zoe@other.example"},
        {"CITY", "Uppsala"}, {"STATE", "Uppland"}, {"ZIP", "752 20"}, {"COUNTRY", "Sweden"},
        {"HOMEADDR1", QStringLiteral("Hemvägen 2")}, {"HOMECITY", QStringLiteral("Göteborg")}, {"HOMEZIP", "411 01"},
        {"SPOUSE", "Erik"}, {"CHILDREN", "Ola, Kari"},
    };
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        EXPECT_EQ(zoe->fields.value(it.key()), it.value()) << it.key().toStdString();
    const std::optional<phonepeer::PhoneRecord> wei = run.phoneContact(QStringLiteral("NEWFNAME"), QStringLiteral("伟"));
    ASSERT_TRUE(wei);
    EXPECT_EQ(wei->fields.value("NEWLNAME"), QStringLiteral("李"));
    EXPECT_EQ(wei->fields.value("COMPANY"), QStringLiteral("北京公司"));
    EXPECT_EQ(wei->fields.value("CELLPHONE"), QStringLiteral("+86 138 0013 8000"));
    EXPECT_EQ(wei->fields.value("NOTE"), QStringLiteral("笔记 & more"));
}

TEST(OutlookContactSync, NothingChangedSendsNothingAndOneEditSendsThatContact)
{
    OutlookSyncRun run;
    const qint64 zoe = run.addContact(fullContact());
    const qint64 tom = run.addContact({{"firstName", "Tom"}, {"lastName", "Neil"}});
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 2);
    ASSERT_TRUE(run.phoneContact("NEWFNAME", "Tom"));
    const QString tomUid = run.phoneContact("NEWFNAME", "Tom")->uid;

    const qsizetype updatesBefore = run.updateRequests();
    const hmsync::SyncOutcome quiet = run.sync();
    ASSERT_TRUE(quiet.isSuccess) << describe(quiet).toStdString();
    EXPECT_EQ(run.updateRequests(), updatesBefore) << "a sync with nothing changed sent records";

    run.editContact(tom, {{"lastName", "O'Neil"}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 2);
    ASSERT_TRUE(run.phoneContact("NEWLNAME", "O'Neil"));
    EXPECT_EQ(run.phoneContact("NEWLNAME", "O'Neil")->uid, tomUid);

    run.deleteContact(zoe);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 1);
    EXPECT_TRUE(run.phoneContact("NEWFNAME", "Tom"));
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceContactIdsInDatFile(), QStringList{tomUid});
}

// With Outlook's listings of every contact's date refused, a sync that asks for them fails: the quiet
// syncs below succeed because they leave both listings out, and still find what changed in Outlook.
TEST(OutlookContactSync, AQuietSyncListsNoContactAndOutlookChangesAreStillFound)
{
    OutlookSyncRun run;
    run.addContact({{"firstName", "Ann"}, {"lastName", "Ash"}});
    const qint64 bo = run.addContact({{"firstName", "Bo"}, {"lastName", "Birch"}});
    const qint64 cy = run.addContact({{"firstName", "Cy"}, {"lastName", "Cedar"}});
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 3);
    const QJsonObject refused{{"refuseKind", "modification dates"}};
    const QJsonObject answered{{"refuseKind", ""}};

    run.switches(refused);
    const qsizetype updatesBefore = run.updateRequests();
    const hmsync::SyncOutcome quiet = run.sync();
    ASSERT_TRUE(quiet.isSuccess) << describe(quiet).toStdString();
    EXPECT_EQ(run.updateRequests(), updatesBefore) << "a sync with nothing changed sent records";

    // An edit made after the last sync is listed.
    run.switches(answered);
    run.editContact(bo, {{"lastName", "Beech"}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_TRUE(run.phoneContact("NEWLNAME", "Beech"));
    EXPECT_FALSE(run.phoneContact("NEWLNAME", "Birch"));

    // A deletion leaves no row to count: the listings stay out and the record-file count finds it.
    run.switches(refused);
    run.deleteContact(cy);
    const hmsync::SyncOutcome deleted = run.sync();
    ASSERT_TRUE(deleted.isSuccess) << describe(deleted).toStdString();
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 2);
    EXPECT_FALSE(run.phoneContact("NEWLNAME", "Cedar"));

    // An add is listed.
    run.switches(answered);
    run.addContact({{"firstName", "Di"}, {"lastName", "Dogwood"}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_TRUE(run.phoneContact("NEWLNAME", "Dogwood"));
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 3);

    // In doubt the contacts are listed as always, and the refusal fails the sync: Outlook 2011 answering
    // a profile set up for 2016, and a database that cannot be read (an empty one found first).
    run.switches(refused);
    GlobalVariables::setOutlookVersionNumber(QStringLiteral("14.7.7"));
    EXPECT_FALSE(run.sync().isSuccess);
    GlobalVariables::setOutlookVersionNumber(QStringLiteral("16.78"));
    const QString stray = run.outlook().home() + QStringLiteral("/Library/Group Containers/Outlook.sqlite");
    ASSERT_TRUE(QFile(stray).open(QIODevice::WriteOnly));
    EXPECT_FALSE(run.sync().isSuccess);
    ASSERT_TRUE(QFile::remove(stray));
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 3);
}

TEST(OutlookContactSync, OnlyTheChosenAddressBookTravels)
{
    OutlookSyncRun run;
    run.addContact({{"firstName", "Home"}, {"lastName", "Book"}});
    run.addContact({{"firstName", "Work"}, {"lastName", "Book"}, {"folder", 42}});
    run.profile().setOutlookContactFolderSelection(QStringLiteral("42"));
    run.saveProfile();
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 1);
    EXPECT_TRUE(run.phoneContact("NEWFNAME", "Work"));
}

TEST(OutlookContactSync, ARefusedIdListDeletesNothingAndSaysWhy)
{
    OutlookSyncRun run;
    run.addContact({{"firstName", "Ann"}});
    const qint64 bo = run.addContact({{"firstName", "Bo"}});
    run.profile().setOutlookContactFolderSelection(QStringLiteral("allFolders"));
    run.saveProfile();
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 2);
    // Bo goes; the listing of all ids is refused: nothing may be taken for a deletion.
    run.deleteContact(bo);
    run.addContact({{"firstName", "Cy"}});
    // The sync's scripts: the changed dates and ids, Cy's properties, then the listing of every id.
    run.switches({{"refuseNth", 4}});
    LogCapture log(LOG_LEVEL_ERROR);
    const hmsync::SyncOutcome outcome = run.sync();
    EXPECT_TRUE(log.lines().join(u'\n').contains(
        QStringLiteral("Outlook's contact ids could not be read; deletions are not looked for in this sync")))
        << log.lines().join(u'\n').toStdString();
    EXPECT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 3);
    run.switches({{"refuseNth", 0}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 2);
    EXPECT_FALSE(run.phoneContact("NEWFNAME", "Bo"));
}

TEST(OutlookContactSync, OutlookGoneEndsTheConduitInErrorWithNothingSent)
{
    OutlookSyncRun run;
    run.addContact({{"firstName", "Ann"}});
    ASSERT_TRUE(run.sync().isSuccess);
    const QStringList mapped = HMOutlookDatFileHelper().getAllDeviceContactIdsInDatFile();
    run.addContact({{"firstName", "Bo"}});
    run.outlook().process().kill();
    run.outlook().process().waitForFinished(5000);
    const hmsync::SyncOutcome outcome = run.sync();
    EXPECT_FALSE(outcome.isSuccess);
    EXPECT_TRUE(outcome.hasEnded);
    EXPECT_EQ(run.phone().records(phonepeer::Conduit::Contacts).size(), 1);
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceContactIdsInDatFile(), mapped);
}

TEST(OutlookContactSync, PicturesGoToThePhoneAndReceivedOnesReachOutlook)
{
    OutlookSyncRun run;
    const QByteArray jpeg = QByteArray::fromHex("ffd8ffe000104a46494600") + QByteArray(300, 'p') + QByteArray::fromHex("ffd9");
    QJsonObject withPicture{{"firstName", "Pic"}, {"picture", QString::fromLatin1(jpeg.toBase64())}};
    const qint64 pic = run.addContact(withPicture);
    const qint64 plain = run.addContact({{"firstName", "Plain"}});
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.phoneContact("NEWFNAME", "Pic"));
    const QString deviceId = run.phoneContact("NEWFNAME", "Pic")->uid;

    HMContactData data;
    EXPECT_EQ(data.wifiFormattedPhotoForOutlookContact(QString::number(pic)).toHex().toStdString(),
              (deviceId.toUtf8() + QByteArray("\0    ", 5) + jpeg).toHex().toStdString());
    EXPECT_EQ(data.wifiFormattedPhotoForOutlookContact(QStringLiteral("999999")), QByteArray());
    EXPECT_EQ(HMContactData::photoForOutlookContact(QString::number(plain)), QByteArray());
    EXPECT_EQ(HMContactData::photoForOutlookContact(QStringLiteral("1 of application \"X\"")), QByteArray());

    // A received picture lands on its contact, also one first sent in this sync (not yet in the map),
    // and its file goes; when Outlook is gone, the file stays, for the picture to be asked for again.
    ASSERT_TRUE(run.phoneContact("NEWFNAME", "Plain"));
    const QString plainId = run.phoneContact("NEWFNAME", "Plain")->uid;
    const QString received = run.root() + QStringLiteral("/received \"one\".jpg");
    QFile file(received);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(jpeg);
    file.close();
    const qint64 fresh = run.addContact({{"firstName", "Fresh"}});
    data.uniqueIdsDictionary().insert(QStringLiteral("temp-fresh"), QString::number(fresh));
    const QString second = run.root() + QStringLiteral("/second.jpg");
    QFile::copy(received, second);
    data.savePicturesFromQuillnestSync({{plainId, received}, {QStringLiteral("temp-fresh"), second}});
    EXPECT_FALSE(QFile::exists(received));
    EXPECT_FALSE(QFile::exists(second));
    EXPECT_EQ(HMContactData::photoForOutlookContact(QString::number(plain)), jpeg);
    EXPECT_EQ(HMContactData::photoForOutlookContact(QString::number(fresh)), jpeg);

    run.outlook().process().kill();
    run.outlook().process().waitForFinished(5000);
    QFile again(received);
    ASSERT_TRUE(again.open(QIODevice::WriteOnly));
    again.write(jpeg);
    again.close();
    data.savePicturesFromQuillnestSync({{plainId, received}});
    EXPECT_TRUE(QFile::exists(received));
}

TEST(OutlookContactSync, EveryExportedVCardParsesInVobject)
{
    OutlookSyncRun run;
    QJsonObject pictured = fullContact();
    pictured["picture"] = QString::fromLatin1(QByteArray::fromHex("ffd8ffe0ffd9").toBase64());
    const QList<qint64> ids{run.addContact(pictured),
                            run.addContact({{"firstName", QStringLiteral("伟")}, {"lastName", QStringLiteral("李")},
                                            {"note", QStringLiteral("a;b,c\\d")}}),
                            run.addContact({{"lastName", "Only"}})};
    for (const qint64 id : ids) {
        const QString script = QStringLiteral("tell application \"Microsoft Outlook\"\nset theContacts to the properties of "
                                              "contact id \"%1\" of application \"Microsoft Outlook\"\nreturn theContacts\nend tell")
                                   .arg(id);
        const QString card = platform::NSAppleScript(script).executeAndReturnError().descriptorForKeyword(
                                                                                      platform::fourCharCode("vCrd")).stringValue();
        QFile file(run.root() + QStringLiteral("/export-%1.vcf").arg(id));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(card.toUtf8());
    }
    const char *script = "import sys, glob, vobject\n"
                         "for name in sorted(glob.glob(sys.argv[1] + '/export-*.vcf')):\n"
                         "    card = vobject.readOne(open(name, encoding='utf-8').read())\n"
                         "    note = card.contents.get('note', [None])[0]\n"
                         "    print('%s|%d|%d|%s|%d' % (card.fn.value, len(card.contents.get('tel', [])),"
                         " len(card.contents.get('email', [])), note.value.replace('\\n', '<LF>') if note else '', len(card.contents.get('photo', []))))\n";
    const QStringList lines = runProgram(pythonProgram(), {QStringLiteral("-c"), QLatin1String(script), run.root()})
                                  .split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines, (QStringList{QStringLiteral("Zoë Ångström|9|3|Line one<LF>Line two & three, a literal \\n too|1"),
                                  QStringLiteral("伟 李|0|0|a;b,c\\d|0"), QStringLiteral("Only|0|0||0")}));
}

TEST(OutlookContactSync, AMapThatCannotBeWrittenFailsTheCommit)
{
    OutlookSyncRun run;
    GlobalVariables::setIsOutlookSync(true);
    HMContactData data;
    data.uniqueIdsDictionary().insert(QStringLiteral("A1"), QStringLiteral("7"));
    // A folder where the map should be: no file can be put in its place.
    const QString map = HMOutlookDatFileHelper().contactFilePath();
    ASSERT_TRUE(QDir().mkpath(map));
    data.commitUniqueIds(true);
    EXPECT_FALSE(data.saveFailure().isEmpty());
    ASSERT_TRUE(QDir(map).removeRecursively());
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookContactIdForDeviceContactId(QStringLiteral("A1")), QString());
    GlobalVariables::setIsOutlookSync(false);
}
