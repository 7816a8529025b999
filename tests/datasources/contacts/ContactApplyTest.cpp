// Applying the other side's records: fields, phones and the other slotMap, groups, repeated ids,
// deletions, the phone-label index and an address book that cannot be opened.
#include "ContactDataTestSupport.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMIdentifierGraph.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace platform;

namespace {

QVariantMap record(const QString &uid, const QVariantMap &fields)
{
    QVariantMap result = fields;
    result.insert(QStringLiteral("UID"), uid);
    return result;
}

QStringList entries(ABPerson &person, const QString &property)
{
    const ABMultiValue values = person.valueForProperty(property).value<ABMultiValue>();
    QStringList texts;
    for (qsizetype index = 0; index < values.count(); ++index)
        texts.append(values.labelAtIndex(index) + QLatin1Char('=') + values.valueAtIndex(index).toString());
    return texts;
}

QStringList groupNames(ABPerson &person)
{
    QStringList names;
    for (const std::shared_ptr<ABGroup> &group : person.parentGroups())
        names.append(group->valueForProperty(kABGroupNameProperty).toString());
    names.sort();
    return names;
}

} // namespace

TEST(ContactApply, AFullRecordReadsBackTheSame)
{
    ContactsFixture fixture;
    const QVariantMap fields{
        {QStringLiteral("NEWFNAME"), QStringLiteral("Zoë")}, {QStringLiteral("NEWLNAME"), QStringLiteral("O'Brien; Jr")},
        {QStringLiteral("MIDNAME"), QStringLiteral("M")}, {QStringLiteral("SUFFIX"), QStringLiteral("III")},
        {QStringLiteral("NICKNAME"), QStringLiteral("Zo")}, {QStringLiteral("TITLE"), QStringLiteral("Chef")},
        {QStringLiteral("COMPANY"), QStringLiteral("Fish, Chips & Co")}, {QStringLiteral("DEPARTMENT"), QStringLiteral("Fry")},
        {QStringLiteral("NOTE"), QStringLiteral("line one\nline two & three")},
        {QStringLiteral("WORKPHONE"), QStringLiteral("+1 555 0100")}, {QStringLiteral("CELLPHONE"), QStringLiteral("+1 555 0101")},
        {QStringLiteral("EMAIL"), QStringLiteral("zoe@fish.example")}, {QStringLiteral("EMAIL2"), QStringLiteral("zo@home.example")},
        {QStringLiteral("WEBURL"), QStringLiteral("https://fish.example")},
        {QStringLiteral("IMLABEL1"), QStringLiteral("Jabber")}, {QStringLiteral("IMADDRESS1"), QStringLiteral("zoe@jabber.example")},
        {QStringLiteral("ADDRESS1"), QStringLiteral("1 Quay; Unit 2")}, {QStringLiteral("ADDRESS3"), QStringLiteral("Dock 9")},
        {QStringLiteral("CITY"), QStringLiteral("Cork")}, {QStringLiteral("COUNTRY"), QStringLiteral("Ireland")},
        {QStringLiteral("NSDATEBIRTHDAY"), QDateTime(QDate(1990, 4, 1), QTime(0, 0), Qt::UTC)},
        {QStringLiteral("CATEGORY"), QStringLiteral("Work,Friends,")}};
    EXPECT_EQ(fixture.applyStep({record(QStringLiteral("D1"), fields)}, 0), QList<qint64>{3});
    ASSERT_EQ(fixture.folder().cardFiles().size(), 3); // the person and two groups
    fixture.startNewRun();
    const QList<HMSyncRecord> listed = fixture.listStep(QDateTime(), true, {QStringLiteral("none")});
    ASSERT_EQ(listed.size(), 1);
    const QVariantMap back = listed.first().dictionary();
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        if (it.key() != QLatin1String("CATEGORY") && it.key() != QLatin1String("ADDRESS3")) {
            EXPECT_EQ(back.value(it.key()), it.value()) << it.key().toStdString();
        }
    }
    EXPECT_EQ(back.value(QStringLiteral("ADDRESS2")), QVariant(QString()));
    EXPECT_EQ(back.value(QStringLiteral("ADDRESS3")), QVariant(QStringLiteral("Dock 9")));
    EXPECT_EQ(back.value(QStringLiteral("PHONELABEL1")), QVariant(QStringLiteral("3")));
    EXPECT_EQ(back.value(QStringLiteral("PHONELABEL2")), QVariant(QStringLiteral("2")));
    QStringList categories = back.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList();
    categories.sort();
    EXPECT_EQ(categories, (QStringList{QStringLiteral("Friends"), QStringLiteral("Work")}));
}

TEST(ContactApply, PlainFieldsAreSetClearedOrRemoved)
{
    ContactsFixture fixture;
    fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("NEWFNAME"), QStringLiteral("Al")},
                                                     {QStringLiteral("NICKNAME"), QStringLiteral("Ally")}})}, 0);
    fixture.startNewRun();
    fixture.data().prepareForUseOnThread();
    EXPECT_EQ(fixture.data().commandAction(0, 1, 0, record(QStringLiteral("D1"), {{QStringLiteral("NEWFNAME"), QString()}}), 0), 2);
    const std::shared_ptr<ABPerson> person = std::dynamic_pointer_cast<ABPerson>(
        fixture.data().addressBook()->recordForUniqueId(fixture.graph().nativeIdForHarrowmereUid(QStringLiteral("D1"))));
    EXPECT_EQ(person->valueForProperty(kABFirstNameProperty), QVariant(QString()));
    EXPECT_FALSE(person->valueForProperty(kABNicknameProperty).isValid());
    fixture.data().stopUsingOnThread();
}

TEST(ContactApply, PhonesOnlyEverReplaceOrAddTheirSlots)
{
    ContactsFixture fixture;
    // A person with no phone gets the fixed keys in the order work, mobile, home, work fax, company, other.
    fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("OTHERPHONE"), QStringLiteral("6")},
                                                     {QStringLiteral("WORKPHONE"), QStringLiteral("1")},
                                                     {QStringLiteral("COMPANYPHONE"), QStringLiteral("5")},
                                                     {QStringLiteral("HOMEPHONE"), QStringLiteral("3")}})}, 0);
    EXPECT_EQ(entries(*fixture.personOf(QStringLiteral("D1")), kABPhoneProperty),
              (QStringList{QStringLiteral("work=1"), QStringLiteral("home=3"), QStringLiteral("company=5"),
                           QStringLiteral("other=6")}));
    // Slot 0 takes the new work number; empty or missing slotMap leave their phones alone.
    fixture.startNewRun();
    fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("WORKPHONE"), QStringLiteral("10")},
                                                     {QStringLiteral("HOMEPHONE"), QString()}})}, 0);
    EXPECT_EQ(entries(*fixture.personOf(QStringLiteral("D1")), kABPhoneProperty),
              (QStringList{QStringLiteral("work=10"), QStringLiteral("home=3"), QStringLiteral("company=5"),
                           QStringLiteral("other=6")}));
}

TEST(ContactApply, SlotWritingReplacesKeepsAndAppends)
{
    ContactsFixture fixture;
    fixture.data().prepareForUseOnThread();
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(fixture.data().addressBook());
    ABMutableMultiValue phones;
    const QString first = phones.addValue(QStringLiteral("100"), kABPhoneHomeLabel);
    const QString second = phones.addValue(QStringLiteral("200"), kABPhoneMobileLabel);
    const QString gone = QStringLiteral("deleted-on-the-desktop");
    (void)person->setValue(phones.toVariant(), kABPhoneProperty);
    QVariantMap dictionary{{QStringLiteral("PhoneFieldKeys"),
                            QVariantMap{{first, QStringLiteral("0")}, {second, QStringLiteral("1")}, {gone, QStringLiteral("3")}}}};
    fixture.data().updateNativePerson(person, {QStringLiteral("101"), QString(), QStringLiteral("300"), QStringLiteral("400")},
                                      {kABPhoneWorkLabel, kABPhoneWorkLabel, QVariant(), kABPhoneMainLabel},
                                      kABPhoneProperty, 10, QStringLiteral("PhoneFieldKeys"), dictionary);
    EXPECT_EQ(entries(*person, kABPhoneProperty),
              (QStringList{QStringLiteral("work=101"), QStringLiteral("mobile=200"), QStringLiteral("2=300")}));
    const QVariantMap slotMap = dictionary.value(QStringLiteral("PhoneFieldKeys")).toMap();
    const ABMultiValue after = person->valueForProperty(kABPhoneProperty).value<ABMultiValue>();
    EXPECT_EQ(slotMap.value(after.identifierAtIndex(2)), QVariant(QStringLiteral("2")));
    EXPECT_EQ(slotMap.value(gone), QVariant(QStringLiteral("3")));
    // An address keeps its label when its slot is rewritten.
    ABMutableMultiValue addresses;
    const QString home = addresses.addValue(QVariantMap{{kABAddressCityKey, QStringLiteral("Old")}}, kABHomeLabel);
    (void)person->setValue(addresses.toVariant(), kABAddressProperty);
    QVariantMap addressSlots{{QStringLiteral("AddressesKeys"), QVariantMap{{home, QStringLiteral("0")}}}};
    fixture.data().updateNativePerson(person, {QVariantMap{{kABAddressCityKey, QStringLiteral("New")}}}, {kABWorkLabel},
                                      kABAddressProperty, 3, QStringLiteral("AddressesKeys"), addressSlots);
    EXPECT_EQ(entries(*person, kABAddressProperty).size(), 1);
    EXPECT_EQ(person->valueForProperty(kABAddressProperty).value<ABMultiValue>().labelAtIndex(0), kABHomeLabel);
    fixture.data().stopUsingOnThread();
}

TEST(ContactApply, GroupsFollowTheRecordsCategories)
{
    ContactsFixture fixture;
    fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("CATEGORY"), QStringLiteral("Work,Family,")}})}, 0);
    EXPECT_EQ(groupNames(*fixture.personOf(QStringLiteral("D1"))), (QStringList{QStringLiteral("Family"), QStringLiteral("Work")}));
    EXPECT_EQ(fixture.graph().dictionaryForHarrowmereUid(QStringLiteral("D1"))->value(QStringLiteral("AddressBookGroupIdsKey"))
                  .toStringList().size(), 2);
    fixture.startNewRun();
    fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("CATEGORY"), QStringLiteral("Work")}})}, 0);
    EXPECT_EQ(groupNames(*fixture.personOf(QStringLiteral("D1"))), QStringList{QStringLiteral("Work")});
    EXPECT_EQ(ABAddressBook::addressBook()->groups().size(), 2); // groups are never deleted
}

TEST(ContactApply, GroupsAreMadeOnceAndJoinedWhenTheNewPersonIsSaved)
{
    ContactsFixture fixture;
    HMContactData &data = fixture.data();
    data.prepareForUseOnThread();
    const std::shared_ptr<ABGroup> made = data.groupForName(QStringLiteral("Club"));
    EXPECT_EQ(data.groupForName(QStringLiteral("Club")), made);
    EXPECT_EQ(data.commandAction(0, 1, 0, record(QStringLiteral("N1"), {{QStringLiteral("CATEGORY"), QStringLiteral("Club,Team")}}), 0), 3);
    EXPECT_TRUE(made->memberIds().isEmpty());
    data.saveChanges();
    EXPECT_EQ(made->memberIds().size(), 1);
    const std::optional<QVariantMap> dictionary = fixture.graph().dictionaryForHarrowmereUid(QStringLiteral("N1"));
    ASSERT_TRUE(dictionary);
    EXPECT_FALSE(dictionary->contains(QStringLiteral("TempNewPersonObject")));
    EXPECT_EQ(dictionary->value(QStringLiteral("nativeId")).toString(), made->memberIds().first());
    EXPECT_EQ(dictionary->value(QStringLiteral("AddressBookGroupIdsKey")).toStringList().size(), 2);
    data.stopUsingOnThread();
    EXPECT_EQ(ABAddressBook::addressBook()->groups().size(), 2);
}

TEST(ContactApply, TheSameIdTwiceInOneStepMakesOnePerson)
{
    ContactsFixture fixture;
    EXPECT_EQ(fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("NEWFNAME"), QStringLiteral("One")}}),
                                 record(QStringLiteral("D1"), {{QStringLiteral("NEWFNAME"), QStringLiteral("Two")}})}, 0),
              (QList<qint64>{3, 2}));
    const QList<std::shared_ptr<ABPerson>> people = ABAddressBook::addressBook()->people();
    ASSERT_EQ(people.size(), 1);
    EXPECT_EQ(people.first()->valueForProperty(kABFirstNameProperty), QVariant(QStringLiteral("Two")));
    EXPECT_EQ(fixture.graph().identifierDictionaries().size(), 1);
}

TEST(ContactApply, DeletionsRemoveKnownPersonsOnly)
{
    ContactsFixture fixture;
    fixture.applyStep({record(QStringLiteral("D1"), {{QStringLiteral("NEWFNAME"), QStringLiteral("Del")}}),
                       record(QStringLiteral("D2"), {{QStringLiteral("NEWFNAME"), QStringLiteral("Stay")}})}, 0);
    fixture.startNewRun();
    fixture.data().prepareForUseOnThread();
    fixture.data().deleteUidRecords({QStringLiteral("D1"), QStringLiteral("unknown")});
    fixture.data().saveChanges();
    fixture.data().stopUsingOnThread();
    EXPECT_EQ(fixture.folder().cardFiles().size(), 1);
    EXPECT_FALSE(fixture.graph().dictionaryForHarrowmereUid(QStringLiteral("D1")));
    EXPECT_TRUE(fixture.graph().dictionaryForHarrowmereUid(QStringLiteral("D2")));
}

TEST(ContactApply, PhoneLabelsAndTheirIndex)
{
    ContactsFixture fixture;
    struct Row { const char *label; qint32 index; };
    const Row rows[] = {{"home", 1}, {"mobile", 2}, {"work", 3}, {"work fax", 4}, {"home fax", 5}, {"pager", 6},
                        {"other", 7}, {"Other", 7}, {"callback", 8}, {"car", 9}, {"main", 10}, {"ISDN", 11},
                        {"company", 12}, {"other fax", 13}, {"radio", 14}, {"telex", 15}, {"TTY/TDD", 16},
                        {"work mobile", 17}, {"work pager", 18}, {"assistant", 19}, {"MMS", 20}, {"Home", 0}, {"", 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(HMContactData::phoneLabelIndexForLabel(QString::fromUtf8(row.label)), row.index);
        if (row.index > 0 && QLatin1String(row.label) != QLatin1String("Other")) {
            EXPECT_EQ(HMContactData::phoneLabelForQuillnestIndex(row.index), QString::fromUtf8(row.label));
        }
    }
    EXPECT_EQ(HMContactData::phoneLabelIndexForLabel(QString()), 0);
    EXPECT_TRUE(HMContactData::phoneLabelForQuillnestIndex(0).isNull());
    EXPECT_TRUE(HMContactData::phoneLabelForQuillnestIndex(21).isNull());
}

TEST(ContactApply, CloudRecordsCarryNumberedPhonesWithLabels)
{
    ContactsFixture fixture;
    UserDefaults::standardUserDefaults().setObject(QStringLiteral("quillnest"), QStringLiteral("SyncMethodSetting"));
    fixture.applyStep({record(QStringLiteral("C1"), {{QStringLiteral("PHONE1"), QStringLiteral("1")}, {QStringLiteral("PHONELABEL1"), QStringLiteral("8")},
                                                     {QStringLiteral("PHONE2"), QStringLiteral("2")}, {QStringLiteral("PHONELABEL2"), QStringLiteral("99")},
                                                     {QStringLiteral("PHONE3"), QStringLiteral("3")},
                                                     {QStringLiteral("CATEGORY"), QStringLiteral("A,B\tC\t")}})}, 0);
    UserDefaults::standardUserDefaults().removeObjectForKey(QStringLiteral("SyncMethodSetting"));
    const std::shared_ptr<ABPerson> person = fixture.personOf(QStringLiteral("C1"));
    EXPECT_EQ(entries(*person, kABPhoneProperty),
              (QStringList{QStringLiteral("callback=1"), QStringLiteral("other=2"), QStringLiteral("2=3")}));
    EXPECT_EQ(groupNames(*person), (QStringList{QStringLiteral("A,B"), QStringLiteral("C")}));
}

TEST(ContactApply, AnAddressBookThatCannotBeOpenedIsReportedAndTouchesNothing)
{
    ContactsFixture fixture;
    fixture.folder().writeFile(QStringLiteral("plain"), "no folder");
    UserDefaults::standardUserDefaults().setObject(fixture.folder().filePath(QStringLiteral("plain")),
                                                   ABAddressBook::kFolderDefaultsKey);
    std::atomic<int> posted{0};
    const ObserverToken observer = DistributedNotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMAddressBookInaccessible"), QString(), [&posted](const DistributedNotification &) { ++posted; });
    HMContactData &data = fixture.data();
    data.prepareForUseOnThread();
    EXPECT_TRUE(data.addressBookIsInaccessible());
    EXPECT_EQ(posted.load(), 1);
    EXPECT_FALSE(data.syncRecordObjectsModifiedAfter(QDateTime(), true, {}));
    EXPECT_EQ(data.commandAction(0, 1, 0, record(QStringLiteral("X"), {}), 0), 0);
    data.deleteUidRecords({QStringLiteral("X")});
    data.saveChanges();
    data.stopUsingOnThread();
    EXPECT_TRUE(fixture.graph().identifierDictionaries().isEmpty());
}

TEST(ContactApply, AnAddWhoseAnswerWasLostIsSentAgainOrMatchedNeverDoubled)
{
    ContactsFixture fixture;
    const QString ada = fixture.addDesktopPerson(QStringLiteral("Ada"), QStringLiteral("Lovelace"))->uniqueId();
    const QList<HMSyncRecord> sent = fixture.listStep(QDateTime(), true);
    ASSERT_EQ(sent.size(), 1);
    const QString temporaryId = sent.first().hmxUid();
    // The run ended before the phone answered: the next listing sends the person again, as new,
    // under the same id, and never as a deletion.
    fixture.startNewRun();
    const QList<HMSyncRecord> again = fixture.listStep(QDateTime::currentDateTimeUtc().addDays(1), true);
    ASSERT_EQ(again.size(), 1);
    EXPECT_TRUE(again.first().isNew() && !again.first().isDelete());
    EXPECT_EQ(again.first().hmxUid(), temporaryId);
    ASSERT_TRUE(fixture.data().hasUnconfirmedRecords());

    // The phone had it after all: its record is the same person, which takes the phone's id.
    fixture.startNewRun();
    const QList<qint64> results = fixture.applyStep({{{QStringLiteral("UID"), QStringLiteral("P1")},
                                                      {QStringLiteral("NEWFNAME"), QStringLiteral("Ada")},
                                                      {QStringLiteral("NEWLNAME"), QStringLiteral("Lovelace")},
                                                      {QStringLiteral("NOTE"), QStringLiteral("phone")}}},
                                                    2);
    EXPECT_EQ(results, (QList<qint64>{2}));
    EXPECT_EQ(ABAddressBook::addressBook()->people().size(), 1);
    ASSERT_EQ(fixture.graph().identifierDictionaries().size(), 1);
    EXPECT_EQ(fixture.graph().nativeIdForHarrowmereUid(QStringLiteral("P1")), ada);
    EXPECT_FALSE(fixture.data().hasUnconfirmedRecords());
    EXPECT_EQ(fixture.personOf(QStringLiteral("P1"))->valueForProperty(kABNoteProperty),
              QVariant(QStringLiteral("phone")));
}

// A step that ends with nothing unsaved leaves its book to the next step of the run, which still sees
// what other programs changed in between; a step has something to save only once it changed something.
TEST(ContactApply, TheNextStepKeepsTheBookAndSeesOtherProgramsChanges)
{
    ContactsFixture fixture;
    HMContactData &data = fixture.data();
    data.prepareForUseOnThread();
    EXPECT_FALSE(data.hasUnsavedChanges());
    EXPECT_EQ(data.commandAction(0, 1, 0, record(QStringLiteral("D1"), {{QStringLiteral("NEWFNAME"), QStringLiteral("One")}}), 0), 3);
    EXPECT_TRUE(data.hasUnsavedChanges());
    data.saveChanges();
    EXPECT_FALSE(data.hasUnsavedChanges());
    const std::shared_ptr<ABAddressBook> first = data.addressBook();
    data.stopUsingOnThread();

    data.prepareForUseOnThread();
    EXPECT_EQ(data.addressBook(), first);
    EXPECT_FALSE(data.hasUnsavedChanges());
    data.stopUsingOnThread();

    (void)fixture.addDesktopPerson(QStringLiteral("Desk"), QStringLiteral("Top"));
    data.prepareForUseOnThread();
    ASSERT_TRUE(data.addressBook());
    EXPECT_EQ(data.addressBook()->people().size(), 2);
    data.stopUsingOnThread();

    // The end of the run lets the book go.
    data.cleanUpAfterSync();
    data.prepareForUseOnThread();
    EXPECT_NE(data.addressBook(), first);
    EXPECT_EQ(data.addressBook()->people().size(), 2);
    data.stopUsingOnThread();
}
