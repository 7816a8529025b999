// The phone's contacts written to Outlook through the real controller and the Wi-Fi transport, with
// the simulated Outlook and the phone peer as programs of their own: the vCard and the properties text
// byte for byte, the fields that land in Outlook, edits both ways, merged duplicates, deletions,
// hostile values, refusals and Outlook going away mid-page.
#include "OutlookSyncSupport.h"

#include "ContactSyncSupport.h"
#include "LogCapture.h"

#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimeZone>

using phonepeer::Conduit;

namespace {

const char *const kOnlyFirstNameCard =
    "begin:vcard\nversion:3.0\nprodid:Microsoft-MacOutlook/0.0.0.151105\n"
    "n;charset=utf-8: ;Ann;;;;\n"
    "title;charset=utf-8:\norg;charset=utf-8:\nnote;charset=utf-8:\n"
    "adr;charset=utf-8;type=work:;;;;;;;\n"
    "adr;charset=utf-8;type=home;type=pref:;;;;;;;\n"
    "tel;charset=utf-8;type=home:\ntel;charset=utf-8;type=work:\ntel;charset=utf-8;type=cell:\n"
    "tel;charset=utf-8;type=pager:\ntel;charset=utf-8;type=custom:\ntel;charset=utf-8;type=home;type=fax:\n"
    "tel;charset=utf-8;type=work;type=fax:\ntel;charset=utf-8;type=work;type=main:\n"
    "email;charset=utf-8;type=internet;type=pref;type=work:\n"
    "email;charset=utf-8;type=internet;type=pref;type=home:\n"
    "email;charset=utf-8;type=internet;type=pref;type=other:\n"
    "X-ms-spouse;charset=utf-8:\n"
    "end:vcard";

// The Outlook contact whose field has the value.
std::optional<QJsonObject> outlookContact(const OutlookSyncRun &run, const QString &key, const QString &value)
{
    for (const QJsonValue &contact : run.outlookContacts()) {
        if (contact.toObject().value(key).toString() == value)
            return contact.toObject();
    }
    return std::nullopt;
}

QMap<QString, QString> fullPhoneContact()
{
    return {{"NEWFNAME", QStringLiteral("Zoë")}, {"NEWLNAME", QStringLiteral("Ångström")}, {"MIDNAME", QStringLiteral("Élise")},
            {"SALUTATION", "Dr."}, {"SUFFIX", "PhD"}, {"TITLE", "Chief; Research"}, {"COMPANY", "Acme, Inc."},
            {"DEPARTMENT", "Labs"}, {"NOTE", QStringLiteral("Line one\nLine two; a, b")}, {"EMAIL", "zoe@work.example"},
            {"EMAIL2", "zoe@home.example"}, {"EMAIL3", "zoe@other.example"}, {"WORKPHONE", "+46 8 100"},
            {"HOMEPHONE", "+46 8 200"}, {"CELLPHONE", "+46 70 300"}, {"WORKFAX", "+46 8 101"}, {"PAGER", "+46 74 500"},
            {"OTHERPHONE", "+46 8 600"}, {"COMPANYPHONE", "+46 8 400"}, {"ADDRESS1", "Storgatan 1"}, {"ADDRESS2", "Plan 3"},
            {"CITY", "Uppsala"}, {"STATE", "Uppland"}, {"ZIP", "752 20"}, {"COUNTRY", "Sweden"},
            {"HOMEADDR1", QStringLiteral("Hemvägen 2")}, {"HOMECITY", QStringLiteral("Göteborg")}, {"HOMEZIP", "411 01"},
            {"HOMECNTRY", "Sweden"}, {"BIRTHDAY", "19850317"}, {"ANNIVERS", "20100612"}, {"SPOUSE", "Erik"},
            {"CHILDREN", "Ola, Kari"}, {"NICKNAME", "Zo"}, {"CATEGORY", "Work"}};
}

QJsonObject phoneEntry(const char *kind, const char *number)
{
    return {{QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("number"), QLatin1String(number)}};
}

QJsonObject mailEntry(const char *kind, const char *address)
{
    return {{QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("address"), QLatin1String(address)}};
}

// The stores as texts that change when any record or field does.
QByteArray outlookState(const OutlookSyncRun &run)
{
    return QJsonDocument(run.outlookContacts()).toJson(QJsonDocument::Compact);
}

QStringList phoneState(const OutlookSyncRun &run)
{
    QStringList state;
    for (const phonepeer::PhoneRecord &record : run.phone().records(Conduit::Contacts)) {
        QStringList fields;
        for (auto it = record.fields.constBegin(); it != record.fields.constEnd(); ++it)
            fields.append(it.key() + u'=' + it.value());
        state.append(record.uid + u':' + fields.join(u'|'));
    }
    state.sort();
    return state;
}

} // namespace

TEST(OutlookContactWrite, TheTextsAreWrittenByteForByte)
{
    HMContactData data;
    platform::UserDefaults::standardUserDefaults().setObject(QStringLiteral("wifi"), QStringLiteral("SyncMethodSetting"));
    EXPECT_EQ(data.vCardTextFromContactDictionary({{"UID", "P1"}, {"NEWFNAME", "Ann"}}), QLatin1String(kOnlyFirstNameCard));
    EXPECT_EQ(data.propertiesStringFromContactDictionary({}), QStringLiteral("{category:{}}"));
    EXPECT_EQ(data.propertiesStringFromContactDictionary({{"TITLE", "Boss"}}), QStringLiteral("{job title:\"Boss\", category:{}}"));
    EXPECT_EQ(data.propertiesStringFromContactDictionary({{"EMAIL2", "a@b.example"}}),
              QStringLiteral("{email addresses:{{address:\"a@b.example\", type:home}}, category:{}}"));
    // Streets: the parts on lines of their own, trailing breaks dropped, a leading empty part kept.
    EXPECT_EQ(data.propertiesStringFromContactDictionary({{"ADDRESS2", "Plan 3"}, {"CHILDREN", "Ola, Kari"}}),
              QStringLiteral("{children:{\"Ola\", \"Kari\"}, business street address:\"\nPlan 3\", category:{}}"));
    // The vCard: a street joined with blanks, vCard escapes, a line break as "\n", children split at ",".
    const QString card = data.vCardTextFromContactDictionary(
        {{"NEWLNAME", "Doe; Jr"}, {"ADDRESS2", "Main St, 4"}, {"NOTE", "one\ntwo\\"}, {"CHILDREN", "Ola, Kari"}});
    EXPECT_TRUE(card.contains(QStringLiteral("\nn;charset=utf-8: Doe\\; Jr;;;;;\n"))) << card.toStdString();
    EXPECT_TRUE(card.contains(QStringLiteral("\nadr;charset=utf-8;type=work:;; Main St\\, 4;;;;;\n"))) << card.toStdString();
    EXPECT_TRUE(card.contains(QStringLiteral("\nnote;charset=utf-8:one\\ntwo\\\\\n"))) << card.toStdString();
    EXPECT_TRUE(card.contains(QStringLiteral("\nX-child;charset=utf-8:Ola\nX-child;charset=utf-8: Kari\n"))) << card.toStdString();
    EXPECT_EQ(HMContactData::removeNewLines(QStringLiteral("a\nb")), QStringLiteral("a\\nb"));
    EXPECT_EQ(HMContactData::removeNewLines(QString()), QStringLiteral(""));
}

TEST(OutlookContactWrite, EscapingAndPhoneNames)
{
    EXPECT_EQ(HMContactData::escapedString(QStringLiteral("say \"hi\"")), QStringLiteral("say \\\"hi\\\""));
    EXPECT_EQ(HMContactData::escapedString(QStringLiteral("a\\b")), QStringLiteral("a\\\\b"));
    // A run of backslashes before a quotation mark becomes one; before a line feed none.
    EXPECT_EQ(HMContactData::escapedString(QStringLiteral("a\\\\\"b")), QStringLiteral("a\\\"b"));
    EXPECT_EQ(HMContactData::escapedString(QStringLiteral("line\\\\\nnext")), QStringLiteral("line\nnext"));
    EXPECT_EQ(HMContactData::escapedString(QStringLiteral("\" & (do shell script \"touch F\") & \"")),
              QStringLiteral("\\\" & (do shell script \\\"touch F\\\") & \\\""));
    const QVariantMap phones = HMContactData::getPhoneDictionaryFromContactDictionary(
        {{"PHONELABEL1", "10"}, {"PHONE1", "111"}, {"PHONELABEL2", "12"}, {"PHONE2", "222"}, {"PHONELABEL4", "0"},
         {"PHONE4", "444"}, {"PHONE3", "333"}, {"PHONELABEL5", "2"}, {"PHONE5", "555"}, {"PHONELABEL6", "2"}, {"PHONE6", "666"},
         {"PHONELABEL7", "21"}, {"PHONE7", "777"}});
    EXPECT_EQ(phones, (QVariantMap{{"phone", "111"}, {"other phone number", "222"}, {"", "777"}, {"mobile number", "666"}}));
    EXPECT_EQ(HMContactData::outlookPhoneLabelFromQuillnestPhoneLabel(QStringLiteral("7")), QStringLiteral("other phone number"));
    EXPECT_EQ(HMContactData::outlookPhoneLabelFromQuillnestPhoneLabel(QStringLiteral("20")), QStringLiteral("other phone number"));
    EXPECT_EQ(HMContactData::outlookPhoneLabelFromQuillnestPhoneLabel(QStringLiteral("6")), QStringLiteral("pager number"));
    EXPECT_EQ(HMContactData::outlookPhoneLabelFromQuillnestPhoneLabel(QStringLiteral("x")), QStringLiteral(""));
    // Under the cloud method the numbered phones give the named properties.
    platform::UserDefaults::standardUserDefaults().setObject(QStringLiteral("quillnest"), QStringLiteral("SyncMethodSetting"));
    HMContactData data;
    EXPECT_EQ(data.propertiesStringFromContactDictionary({{"PHONELABEL1", "10"}, {"PHONE1", "111"}, {"COMPANYPHONE", "999"}}),
              QStringLiteral("{phone:\"111\", category:{}}"));
    EXPECT_TRUE(data.vCardTextFromContactDictionary({{"PHONELABEL1", "10"}, {"PHONE1", "111"}})
                    .contains(QStringLiteral("\ntel;charset=utf-8;type=work;type=main:111\n")));
    platform::UserDefaults::standardUserDefaults().setObject(QStringLiteral("wifi"), QStringLiteral("SyncMethodSetting"));
}

TEST(OutlookContactWrite, TheUpdateScriptCarriesTheLiteral)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    const qint64 id = run.addContact({{"firstName", "Ann"}});
    GlobalVariables::setIsOutlookSync(true);
    LogCapture log(LOG_LEVEL_VERBOSE);
    HMContactData data;
    data.updateOutlookContactWithUniqueId(QString::number(id), {{"UID", "P1"}, {"TITLE", "Boss"}});
    const QString expected = QStringLiteral("modifyContactString tell application \"Microsoft Outlook\"\nset the properties of "
                                            "contact id \"%1\" to {job title:\"Boss\", category:{}}\nend tell")
                                 .arg(id);
    EXPECT_TRUE(log.lines().join(u'\n').contains(expected)) << log.lines().join(u'\n').toStdString();
    const std::optional<QJsonObject> ann = outlookContact(run, QStringLiteral("firstName"), QStringLiteral("Ann"));
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->value("jobTitle").toString(), QStringLiteral("Boss"));
    GlobalVariables::setIsOutlookSync(false);
}

TEST(OutlookContactWrite, PhoneContactsLandInOutlookAndEditsTravelBothWays)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    const QString keptCards = run.root() + QStringLiteral("/cards");
    QDir().mkpath(keptCards);
    int kept = 0;
    HMContactData::setOutlookVCardKeeper([&](const QString &path) {
        QFile::copy(path, keptCards + QStringLiteral("/card-%1.vcf").arg(++kept));
    });
    const QString zoe = run.phone().editContact(QStringLiteral("add"), {}, fullPhoneContact());
    const QString wei = run.phone().editContact(QStringLiteral("add"), {}, {{"NEWFNAME", QStringLiteral("伟")}, {"NEWLNAME", QStringLiteral("李")}});
    ASSERT_TRUE(run.sync().isSuccess);
    HMContactData::setOutlookVCardKeeper({});
    ASSERT_EQ(run.outlookContacts().size(), 2);
    const std::optional<QJsonObject> added = outlookContact(run, QStringLiteral("middleName"), QStringLiteral("Élise"));
    ASSERT_TRUE(added);
    const QJsonObject expected{
        {"firstName", QStringLiteral("Zoë")}, {"lastName", QStringLiteral("Ångström")}, {"middleName", QStringLiteral("Élise")},
        {"prefix", "Dr."}, {"suffix", "PhD"}, {"jobTitle", "Chief; Research"}, {"company", "Acme, Inc."}, {"department", "Labs"},
        {"note", QStringLiteral("Line one\nLine two; a, b")}, {"nickname", "Zo"}, {"spouse", "Erik"},
        {"children", QJsonArray{"Ola", " Kari"}}, {"birthday", "1985-03-17"}, {"anniversary", "2010-06-12"},
        {"workAddress", QJsonObject{{"street", "Storgatan 1 Plan 3"}, {"city", "Uppsala"}, {"state", "Uppland"}, {"zip", "752 20"}, {"country", "Sweden"}}},
        {"homeAddress", QJsonObject{{"street", QStringLiteral("Hemvägen 2")}, {"city", QStringLiteral("Göteborg")}, {"zip", "411 01"}, {"country", "Sweden"}}},
        {"phones", QJsonArray{phoneEntry("home", "+46 8 200"), phoneEntry("work", "+46 8 100"), phoneEntry("cell", "+46 70 300"),
                              phoneEntry("pager", "+46 74 500"), phoneEntry("custom", "+46 8 600"), phoneEntry("workFax", "+46 8 101"),
                              phoneEntry("main", "+46 8 400")}},
        {"emails", QJsonArray{mailEntry("work", "zoe@work.example"), mailEntry("home", "zoe@home.example"), mailEntry("other", "zoe@other.example")}},
        {"categories", QJsonArray{5}}};
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        EXPECT_EQ(added->value(it.key()), it.value()) << it.key().toStdString() << " "
                                                     << QJsonDocument(*added).toJson(QJsonDocument::Compact).toStdString();
    // Every vCard written reads with vobject.
    const char *script = "import sys, glob, vobject\n"
                         "for name in sorted(glob.glob(sys.argv[1] + '/card-*.vcf')):\n"
                         "    card = vobject.readOne(open(name, encoding='utf-8').read())\n"
                         "    print('%s|%s|%s' % (card.n.value.family.strip(), card.org.value[0] if card.org.value else '',"
                         " card.note.value.replace('\\n', '<LF>')))\n";
    QStringList read = runProgram(pythonProgram(), {QStringLiteral("-c"), QLatin1String(script), keptCards}).split(u'\n', Qt::SkipEmptyParts);
    read.sort();
    EXPECT_EQ(read, (QStringList{QStringLiteral("Ångström|Acme, Inc.|Line one<LF>Line two; a, b"), QStringLiteral("李||")}));
    // A second sync changes neither store.
    const QByteArray outlookBefore = outlookState(run);
    const QStringList phoneBefore = phoneState(run);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(outlookState(run), outlookBefore);
    EXPECT_EQ(phoneState(run), phoneBefore);
    // An edit on the phone sets the Outlook contact's properties; one in Outlook reaches the phone.
    run.phone().editContact(QStringLiteral("update"), wei, {{"NEWFNAME", QStringLiteral("伟")}, {"NEWLNAME", QStringLiteral("李")}, {"COMPANY", "Beijing Co"}});
    ASSERT_TRUE(run.sync().isSuccess);
    const std::optional<QJsonObject> edited = outlookContact(run, QStringLiteral("lastName"), QStringLiteral("李"));
    ASSERT_TRUE(edited);
    EXPECT_EQ(edited->value("company").toString(), QStringLiteral("Beijing Co"));
    run.editContact(added->value("id").toInteger(), {{"jobTitle", "Director"}});
    ASSERT_TRUE(run.sync().isSuccess);
    const std::optional<phonepeer::PhoneRecord> onPhone = run.phoneContact(QStringLiteral("MIDNAME"), QStringLiteral("Élise"));
    ASSERT_TRUE(onPhone);
    EXPECT_EQ(onPhone->uid, zoe);
    EXPECT_EQ(onPhone->fields.value("PROFESSION"), QStringLiteral("Director"));
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 2);
    EXPECT_EQ(run.outlookContacts().size(), 2);
    // A deletion on the phone deletes the Outlook contact and its pair.
    run.phone().editContact(QStringLiteral("delete"), wei);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.outlookContacts().size(), 1);
    EXPECT_FALSE(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("李")));
    EXPECT_TRUE(HMOutlookDatFileHelper().getOutlookContactIdForDeviceContactId(wei).isEmpty());
    EXPECT_FALSE(QFile::exists(HMOutlookDatFileHelper().getAppDataFolder() + QStringLiteral("/temp/temp.vcf")));
}

TEST(OutlookContactWrite, APhoneContactEqualToAnUnmappedOutlookContactIsMerged)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    run.addContact({{"firstName", "Ann"}, {"lastName", "Lee"}, {"company", "Acme"}, {"emails", QJsonArray{mailEntry("work", "ANN@acme.example")}},
                    {"note", "First line\nsecond"}});
    run.phone().editContact(QStringLiteral("add"), {}, {{"NEWFNAME", "ann"}, {"NEWLNAME", "LEE"}, {"COMPANY", "acme"}, {"EMAIL", "ann@acme.example"},
                                                        {"NOTE", "first line\nother"}, {"TITLE", "Engineer"}});
    LogCapture log(LOG_LEVEL_VERBOSE);
    ASSERT_TRUE(run.sync().isSuccess);
    if (qEnvironmentVariableIsSet("HM_DUMP_LOG"))
        std::fprintf(stderr, "%s\n", qPrintable(log.lines().join(u'\n')));
    ASSERT_EQ(run.outlookContacts().size(), 1);
    EXPECT_EQ(run.outlookContacts().first().toObject().value("jobTitle").toString(), QStringLiteral("Engineer"));
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 1);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.outlookContacts().size(), 1);
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 1);
}

TEST(OutlookContactWrite, HostileValuesArriveVerbatimAndRunNothing)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    const QString marker = run.root() + QStringLiteral("/F");
    const QString attack = QStringLiteral("\" & (do shell script \"touch %1\") & \"").arg(marker);
    const QMap<QString, QString> fields{{"NEWFNAME", attack}, {"NEWLNAME", QStringLiteral("Quote \"q\" back\\slash")},
                                        {"COMPANY", QStringLiteral("semi;colon, comma")}, {"NOTE", QStringLiteral("two\nlines \\ \"x\"")},
                                        {"MIDNAME", attack}, {"DEPARTMENT", attack}, {"SALUTATION", QStringLiteral("\"}\nend tell")},
                                        {"SUFFIX", QStringLiteral("a\\\"b")}};
    const QString uid = run.phone().editContact(QStringLiteral("add"), {}, fields);
    ASSERT_TRUE(run.sync().isSuccess);
    const auto check = [&](const char *step) {
        SCOPED_TRACE(step);
        const std::optional<QJsonObject> contact = outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Quote \"q\" back\\slash"));
        ASSERT_TRUE(contact) << outlookState(run).toStdString();
        EXPECT_EQ(contact->value("firstName").toString(), attack);
        EXPECT_EQ(contact->value("middleName").toString(), attack);
        EXPECT_EQ(contact->value("department").toString(), attack);
        EXPECT_EQ(contact->value("company").toString(), QStringLiteral("semi;colon, comma"));
        EXPECT_EQ(contact->value("note").toString(), QStringLiteral("two\nlines \\ \"x\""));
        EXPECT_EQ(contact->value("prefix").toString(), QStringLiteral("\"}\nend tell"));
        EXPECT_FALSE(QFile::exists(marker));
    };
    check("added");
    // The same values through the update path.
    QMap<QString, QString> edited = fields;
    edited.insert(QStringLiteral("TITLE"), attack);
    run.phone().editContact(QStringLiteral("update"), uid, edited);
    ASSERT_TRUE(run.sync().isSuccess);
    check("updated");
    EXPECT_EQ(outlookContact(run, QStringLiteral("jobTitle"), attack).has_value(), true);
}

TEST(OutlookContactWrite, ARefusedImportOrUpdateLeavesTheOthersWrittenAndDeletesNothing)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    // The first import form refused for every contact: the second form adds them.
    run.switches({{"refuseKind", "import vcf text"}});
    for (const char *name : {"Alpha", "Beta", "Gamma"})
        run.phone().editContact(QStringLiteral("add"), {}, {{"NEWLNAME", QLatin1String(name)}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.outlookContacts().size(), 3);
    run.switches({{"refuseKind", ""}});
    // One contact's import and another's update refused: the others are written, nothing deleted.
    run.switches({{"refuseContactWrite", "Refused"}});
    const QString beta = run.phoneContact(QStringLiteral("NEWLNAME"), QStringLiteral("Beta"))->uid;
    run.phone().editContact(QStringLiteral("update"), beta, {{"NEWLNAME", "Beta"}, {"COMPANY", "Refused Co"}});
    run.phone().editContact(QStringLiteral("add"), {}, {{"NEWLNAME", "Refused"}});
    run.phone().editContact(QStringLiteral("add"), {}, {{"NEWLNAME", "Delta"}});
    LogCapture log(LOG_LEVEL_VERBOSE);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_TRUE(log.lines().join(u'\n').contains(QStringLiteral("Failed to add record. Outlook not accepting scripts.")));
    EXPECT_TRUE(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Delta")));
    EXPECT_FALSE(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Refused")));
    EXPECT_EQ(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Beta"))->value("company").toString(), QString());
    EXPECT_EQ(run.outlookContacts().size(), 4);
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 5);
    // Once Outlook takes scripts again, a later sync writes nothing twice.
    run.switches({{"refuseContactWrite", ""}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 5);
    EXPECT_LE(run.outlookContacts().size(), 5);
}

TEST(OutlookContactWrite, OutlookGoneDuringTheApplyEndsTheConduitAndTheNextSyncWritesEveryContactOnce)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    for (int i = 0; i < 6; ++i)
        run.phone().editContact(QStringLiteral("add"), {}, {{"NEWLNAME", QStringLiteral("Person%1").arg(i)}});
    run.switches({{"refuseContactWrite", "Person3"}, {"refuseNumber", -609}});
    const hmsync::SyncOutcome failed = run.sync();
    EXPECT_FALSE(failed.isSuccess);
    EXPECT_LT(run.outlookContacts().size(), 6);
    run.switches({{"refuseContactWrite", ""}, {"refuseNumber", -10000}});
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.sync().isSuccess);
    QMap<QString, int> names;
    for (const QJsonValue &contact : run.outlookContacts())
        ++names[contact.toObject().value("lastName").toString()];
    EXPECT_EQ(names.size(), 6);
    for (auto it = names.constBegin(); it != names.constEnd(); ++it)
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 6);
}

TEST(OutlookContactWrite, LargeCloudDeletionsAskForAttentionAndAnswerNoStopsLaterDeletions)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    GlobalVariables::setIsOutlookSync(true);
    int requests = 0;
    HMContactData::setAttentionRequester([&requests] { ++requests; });
    QStringList twenty;
    for (int i = 0; i < 20; ++i)
        twenty.append(QStringLiteral("gone-%1").arg(i));
    auto &defaults = platform::UserDefaults::standardUserDefaults();
    const auto deleteUnder = [&](const char *method, const QStringList &ids) {
        defaults.setObject(QLatin1String(method), QStringLiteral("SyncMethodSetting"));
        HMContactData data;
        data.deleteOutlookUidRecords(ids);
    };
    deleteUnder("quillnest", twenty.mid(0, 19));
    EXPECT_EQ(requests, 0);
    deleteUnder("quillnest", twenty);
    EXPECT_EQ(requests, 1);
    deleteUnder("wifi", twenty);
    EXPECT_EQ(requests, 1);
    // Unknown ids count as deleted and touch no contact; after a "No" nothing more is deleted.
    const qint64 kept = run.addContact({{"lastName", "Kept"}});
    HMContactData data;
    data.outlookCommandAction(0, 1, 0, {{"UID", "P-kept"}, {"NEWLNAME", "Kept"}}, 0);
    ASSERT_EQ(run.outlookContacts().size(), 1) << "the phone's record merges into the equal Outlook contact";
    data.deletionsWarningReceivedResponse(qint64(0));
    EXPECT_TRUE(data.ignoreDeletes());
    data.deleteOutlookUidRecords({QStringLiteral("P-kept")});
    EXPECT_EQ(run.outlookContacts().size(), 1);
    data.setIgnoreDeletes(false);
    data.deleteOutlookUidRecords({QStringLiteral("P-kept")});
    EXPECT_TRUE(run.outlookContacts().isEmpty()) << kept;
    HMContactData::setAttentionRequester({});
    GlobalVariables::setIsOutlookSync(false);
}

TEST(OutlookContactWrite, ARereadIntoAChosenAddressBookMovesContactsAndKeepsEveryPairing)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    run.addContact({{"firstName", "Olle"}, {"lastName", "Outlook"}});
    QStringList uids;
    for (const char *name : {"Ada", "Bo", "Cy"})
        uids.append(run.phone().editContact(QStringLiteral("add"), {}, {{"NEWFNAME", QLatin1String(name)}, {"NEWLNAME", "Phone"}}));
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.outlookContacts().size(), 4);
    run.profile().setOutlookContactFolderSelection(QStringLiteral("42"));
    run.profile().setRereadDeviceOnNextSync(true);
    run.saveProfile();
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.outlookContacts().size(), 4);
    for (const QJsonValue &contact : run.outlookContacts())
        EXPECT_EQ(contact.toObject().value("folder").toInteger(), 42) << contact.toObject().value("firstName").toString().toStdString();
    // Each pair names its own person: an edit of each phone contact lands on that contact alone.
    const QStringList names{"Ada", "Bo", "Cy"};
    for (qsizetype i = 0; i < uids.size(); ++i)
        run.phone().editContact(QStringLiteral("update"), uids[i], {{"NEWFNAME", names[i]}, {"NEWLNAME", "Phone"}, {"TITLE", names[i] + QStringLiteral(" edited")}});
    ASSERT_TRUE(run.sync().isSuccess);
    for (const QString &name : names) {
        const std::optional<QJsonObject> contact = outlookContact(run, QStringLiteral("firstName"), name);
        ASSERT_TRUE(contact) << name.toStdString();
        EXPECT_EQ(contact->value("jobTitle").toString(), name + QStringLiteral(" edited"));
    }
    EXPECT_EQ(outlookContact(run, QStringLiteral("firstName"), QStringLiteral("Olle"))->value("jobTitle").toString(), QString());
    EXPECT_EQ(run.outlookContacts().size(), 4);
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 4);
}

TEST(OutlookContactWrite, ARoundTripThroughOutlookKeepsEveryFieldButTheDefinedLosses)
{
    OutlookSyncRun run(QStringLiteral("two_way"));
    QMap<QString, QString> sent = fullPhoneContact();
    sent.insert(QStringLiteral("CATEGORY"), QStringLiteral("Work"));
    const QString uid = run.phone().editContact(QStringLiteral("add"), {}, sent);
    ASSERT_TRUE(run.sync().isSuccess);
    const std::optional<QJsonObject> added = outlookContact(run, QStringLiteral("middleName"), QStringLiteral("Élise"));
    ASSERT_TRUE(added);
    // A change in Outlook sends the contact back as Outlook holds it.
    run.editContact(added->value("id").toInteger(), {{"spouse", "Erik"}});
    ASSERT_TRUE(run.sync().isSuccess);
    const std::optional<phonepeer::PhoneRecord> back = run.phoneContact(QStringLiteral("MIDNAME"), QStringLiteral("Élise"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->uid, uid);
    // The losses the record mapping defines: prefix and suffix folded into the names, the street parts
    // joined with a blank, the department and nickname not read back, a blank kept at the start of a
    // child after a comma.
    QMap<QString, QString> expected = sent;
    expected.insert(QStringLiteral("NEWFNAME"), QStringLiteral("Dr. Zoë"));
    expected.insert(QStringLiteral("NEWLNAME"), QStringLiteral("Ångström PhD"));
    expected.insert(QStringLiteral("ADDRESS1"), QStringLiteral("Storgatan 1 Plan 3"));
    expected.remove(QStringLiteral("ADDRESS2"));
    expected.insert(QStringLiteral("DEPARTMENT"), QString());
    expected.remove(QStringLiteral("NICKNAME"));
    expected.insert(QStringLiteral("CHILDREN"), QStringLiteral("Ola,  Kari"));
    // The job title comes back as the profession; the pager only in a numbered phone slot.
    expected.remove(QStringLiteral("TITLE"));
    expected.insert(QStringLiteral("PROFESSION"), QStringLiteral("Chief; Research"));
    expected.remove(QStringLiteral("PAGER"));
    EXPECT_TRUE(std::any_of(back->fields.keyValueBegin(), back->fields.keyValueEnd(), [](const auto &field) {
        return field.first.startsWith(QLatin1String("PHONE")) && field.second == u"+46 74 500";
    }));
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        EXPECT_EQ(back->fields.value(it.key()), it.value()) << it.key().toStdString();
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 1);
    EXPECT_EQ(run.outlookContacts().size(), 1);
}

// An Outlook 2011 profile keeps a map of its own and finds Outlook's record files where 2011 keeps
// them (the deletion search's count): contacts travel both ways, a second sync sends nothing, and
// edits and deletions on either side reach the other.
TEST(OutlookContactWrite, AnOutlook2011ProfileSyncsBothWaysThroughItsOwnMap)
{
    OutlookSyncRun run(QStringLiteral("two_way"), QStringLiteral("14"));
    const qint64 zoe = run.addContact(fullContact());
    const qint64 tom = run.addContact({{"firstName", "Tom"}, {"lastName", "Neil"}});
    const QString pia = run.phone().editContact(QStringLiteral("add"), {}, {{"NEWFNAME", "Pia"}, {"NEWLNAME", "Phone"}, {"COMPANY", "Acme"}});
    // The data folder is shared with the other tests of this process: no 2016 map before the run.
    const QString map2016 = QFileInfo(HMOutlookDatFileHelper().contactFilePath()).dir().filePath(QStringLiteral("contacts-outlook.plist"));
    QFile::remove(map2016);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(Conduit::Contacts).size(), 3);
    ASSERT_EQ(run.outlookContacts().size(), 3);
    const std::optional<phonepeer::PhoneRecord> sent = run.phoneContact(QStringLiteral("MIDNAME"), QStringLiteral("Élise"));
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->fields.value("NEWLNAME"), QStringLiteral("Ångström PhD"));
    EXPECT_EQ(sent->fields.value("CATEGORY"), QStringLiteral("Work,Friends"));
    EXPECT_EQ(sent->fields.value("NOTE"), QStringLiteral("Line one\nLine two & three, a literal \n too"));
    EXPECT_EQ(sent->fields.value("EMAIL3"), QStringLiteral("zoe@other.example"));
    ASSERT_TRUE(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Phone")));
    EXPECT_EQ(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Phone"))->value("company").toString(), QStringLiteral("Acme"));

    // The 2011 map names each phone contact once; no 2016 map was made.
    HMOutlookDatFileHelper map;
    EXPECT_EQ(QFileInfo(map.contactFilePath()).fileName(), QStringLiteral("contacts-outlook14.plist"));
    EXPECT_FALSE(QFile::exists(map2016));
    QStringList mapped = map.getAllDeviceContactIdsInDatFile();
    QStringList onPhone;
    for (const phonepeer::PhoneRecord &record : run.phone().records(Conduit::Contacts))
        onPhone.append(record.uid);
    mapped.sort();
    onPhone.sort();
    EXPECT_EQ(mapped, onPhone);
    // Outlook's record files lie where the deletion search counts them.
    EXPECT_EQ(HMOutlookSQLiteHelper().getCountOfOutlookContactsCreatedPriorTo(QDateTime::currentDateTimeUtc().addSecs(60)), 3);

    const QByteArray outlookBefore = outlookState(run);
    const QStringList phoneBefore = phoneState(run);
    const qsizetype updates = run.updateRequests();
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.updateRequests(), updates) << "a sync with nothing changed sent records";
    EXPECT_EQ(outlookState(run), outlookBefore);
    EXPECT_EQ(phoneState(run), phoneBefore);

    run.editContact(tom, {{"lastName", "O'Neil"}});
    run.phone().editContact(QStringLiteral("update"), pia, {{"NEWFNAME", "Pia"}, {"NEWLNAME", "Phone"}, {"COMPANY", "Beta"}});
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.phoneContact("NEWLNAME", "O'Neil"));
    EXPECT_FALSE(run.phoneContact("NEWLNAME", "Neil"));
    ASSERT_TRUE(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Phone")));
    EXPECT_EQ(outlookContact(run, QStringLiteral("lastName"), QStringLiteral("Phone"))->value("company").toString(), QStringLiteral("Beta"));
    EXPECT_EQ(run.phone().records(Conduit::Contacts).size(), 3);
    EXPECT_EQ(run.outlookContacts().size(), 3);

    run.deleteContact(zoe);
    run.phone().editContact(QStringLiteral("delete"), pia);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phone().records(Conduit::Contacts).size(), 1);
    const QString tomUid = run.phone().records(Conduit::Contacts).first().uid;
    EXPECT_TRUE(run.phoneContact("NEWLNAME", "O'Neil"));
    ASSERT_EQ(run.outlookContacts().size(), 1);
    EXPECT_EQ(run.outlookContacts().first().toObject().value("id").toInteger(), tom);
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceContactIdsInDatFile(), QStringList{tomUid});
}
