// Listing the desktop's persons for the other side: what counts as changed, new and deleted, how
// multi-values keep their record slots, and the record's shape.
#include "ContactDataTestSupport.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMIdentifierGraph.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace platform;

namespace {

const QDateTime kMonday(QDate(2026, 11, 30), QTime(9, 0), Qt::UTC);

// Changes a person on the desktop at the given moment.
void editPerson(const QString &uniqueId, const std::function<void(ABPerson &)> &edit, const QDateTime &when)
{
    FixedClock clock(when);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    edit(*std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(uniqueId)));
    ASSERT_TRUE(book->save());
}

void setEntries(ABPerson &person, const QString &property, const QList<std::pair<QString, QVariant>> &entries)
{
    ABMutableMultiValue values;
    for (const auto &[label, value] : entries)
        values.addValue(value, label);
    ASSERT_TRUE(person.setValue(values.toVariant(), property));
}

const HMSyncRecord *recordOf(const QList<HMSyncRecord> &records, const QString &nativeId)
{
    for (const HMSyncRecord &record : records) {
        if (record.nativeId() == nativeId)
            return &record;
    }
    return nullptr;
}

class CloudVariant final
{
public:
    CloudVariant() { UserDefaults::standardUserDefaults().setObject(QStringLiteral("quillnest"), QStringLiteral("SyncMethodSetting")); }
    ~CloudVariant() { UserDefaults::standardUserDefaults().removeObjectForKey(QStringLiteral("SyncMethodSetting")); }
};

} // namespace

TEST(ContactReader, SendsNewChangedAndDeletedPersonsAndLeavesTheRest)
{
    ContactsFixture fixture;
    FixedClock clock(kMonday);
    const QString kept = fixture.addDesktopPerson(QStringLiteral("Kept"), QStringLiteral("Same"))->uniqueId();
    const QString edited = fixture.addDesktopPerson(QStringLiteral("Edited"), QStringLiteral("Later"))->uniqueId();
    const QString excluded = fixture.addDesktopPerson(QStringLiteral("Both"), QStringLiteral("Sides"))->uniqueId();
    const QString removed = fixture.addDesktopPerson(QStringLiteral("Gone"), QStringLiteral("Soon"))->uniqueId();
    // A first listing without a date sends everyone as new, each under a new hmUid.
    const QList<HMSyncRecord> first = fixture.listStep(QDateTime(), true);
    ASSERT_EQ(first.size(), 4);
    for (const HMSyncRecord &record : first)
        EXPECT_TRUE(record.isNew() && !record.isDelete() && !record.hmxUid().isEmpty());
    EXPECT_EQ(fixture.data().recordsAddedToDevice().size(), 4);
    fixture.confirmAdds();

    const QDateTime lastSync = kMonday; // a person saved at exactly this moment is unchanged
    editPerson(edited, [](ABPerson &person) { (void)person.setValue(QStringLiteral("n"), kABNicknameProperty); },
               kMonday.addSecs(60));
    editPerson(excluded, [](ABPerson &person) { (void)person.setValue(QStringLiteral("n"), kABNicknameProperty); },
               kMonday.addSecs(60));
    ASSERT_TRUE(ABAddressBook::addressBook()->removeRecord(nullptr) == false);
    {
        const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
        ASSERT_TRUE(book->removeRecord(book->recordForUniqueId(removed)));
        ASSERT_TRUE(book->save());
    }
    const QString fresh = fixture.addDesktopPerson(QStringLiteral("Fresh"), QStringLiteral("One"))->uniqueId();
    const QString excludedHmUid = fixture.graph().harrowmereUidForNativeId(excluded);
    const QString removedHmUid = fixture.graph().harrowmereUidForNativeId(removed);
    fixture.startNewRun();
    const QList<HMSyncRecord> second = fixture.listStep(lastSync, true, {excludedHmUid});
    ASSERT_EQ(second.size(), 3);
    EXPECT_FALSE(recordOf(second, kept));
    ASSERT_TRUE(recordOf(second, edited));
    EXPECT_FALSE(recordOf(second, edited)->isNew());
    EXPECT_EQ(recordOf(second, edited)->dictionary().value(QStringLiteral("NICKNAME")), QVariant(QStringLiteral("n")));
    ASSERT_TRUE(recordOf(second, fresh));
    EXPECT_TRUE(recordOf(second, fresh)->isNew());
    EXPECT_TRUE(second.last().isDelete());
    EXPECT_EQ(second.last().hmxUid(), removedHmUid);
    EXPECT_TRUE(fixture.graph().nativeIdForHarrowmereUid(removedHmUid).isEmpty());
}

TEST(ContactReader, WithoutDeletionsTheDeletedPersonsIdentifiersStay)
{
    ContactsFixture fixture;
    const QString removed = fixture.addDesktopPerson(QStringLiteral("Gone"), QStringLiteral("Soon"))->uniqueId();
    fixture.listStep(QDateTime(), true);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book->removeRecord(book->recordForUniqueId(removed)));
    ASSERT_TRUE(book->save());
    fixture.startNewRun();
    EXPECT_TRUE(fixture.listStep(QDateTime::currentDateTimeUtc(), false).isEmpty());
    EXPECT_EQ(fixture.graph().identifierDictionaries().size(), 1);
}

TEST(ContactReader, AFileThatStopsParsingIsNeverSentAsADeletion)
{
    ContactsFixture fixture;
    const QString damaged = fixture.addDesktopPerson(QStringLiteral("Dana"), QStringLiteral("Damaged"))->uniqueId();
    fixture.listStep(QDateTime(), true);
    fixture.confirmAdds();
    const QString hmUid = fixture.graph().harrowmereUidForNativeId(damaged);
    const QByteArray garbage = "BEGIN:VCARD\r\nthis line has no colon\r\n";
    fixture.folder().writeFile(damaged + QStringLiteral(".vcf"), garbage);
    fixture.startNewRun();
    EXPECT_TRUE(fixture.listStep(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC), true).isEmpty());
    EXPECT_EQ(fixture.graph().nativeIdForHarrowmereUid(hmUid), damaged);
    EXPECT_EQ(fixture.folder().readFile(damaged + QStringLiteral(".vcf")), garbage);
}

TEST(ContactReader, APhoneInsertedBeforeTheOthersLeavesTheirSlotsAlone)
{
    ContactsFixture fixture;
    const QString id = fixture.addDesktopPerson(QStringLiteral("Pat"), QStringLiteral("Phones"))->uniqueId();
    editPerson(id, [](ABPerson &person) {
        setEntries(person, kABPhoneProperty, {{kABPhoneHomeLabel, QStringLiteral("111")}, {kABPhoneMobileLabel, QStringLiteral("222")}});
    }, kMonday);
    const QVariantMap first = fixture.listStep(QDateTime(), true).first().dictionary();
    EXPECT_EQ(first.value(QStringLiteral("PHONE1")), QVariant(QStringLiteral("111")));
    EXPECT_EQ(first.value(QStringLiteral("PHONE2")), QVariant(QStringLiteral("222")));
    EXPECT_EQ(first.value(QStringLiteral("PHONELABEL1")), QVariant(QStringLiteral("1")));
    EXPECT_EQ(first.value(QStringLiteral("PHONELABEL2")), QVariant(QStringLiteral("2")));
    editPerson(id, [](ABPerson &person) {
        ABMutableMultiValue phones = person.valueForProperty(kABPhoneProperty).value<ABMultiValue>().mutableCopy();
        ABMutableMultiValue reordered;
        reordered.addValue(QStringLiteral("000"), kABPhoneWorkLabel);
        for (qsizetype index = 0; index < phones.count(); ++index)
            reordered.addValue(phones.valueAtIndex(index), phones.labelAtIndex(index), phones.identifierAtIndex(index));
        (void)person.setValue(reordered.toVariant(), kABPhoneProperty);
    }, kMonday.addSecs(3600));
    fixture.startNewRun();
    const QVariantMap second = fixture.listStep(kMonday, true).first().dictionary();
    EXPECT_EQ(second.value(QStringLiteral("PHONE1")), QVariant(QStringLiteral("111")));
    EXPECT_EQ(second.value(QStringLiteral("PHONE2")), QVariant(QStringLiteral("222")));
    EXPECT_EQ(second.value(QStringLiteral("PHONE3")), QVariant(QStringLiteral("000")));
    EXPECT_EQ(second.value(QStringLiteral("PHONELABEL3")), QVariant(QStringLiteral("3")));
    EXPECT_EQ(second.value(QStringLiteral("PHONE4")), QVariant(QString()));
    EXPECT_EQ(second.value(QStringLiteral("PHONELABEL4")), QVariant(QStringLiteral("0")));
    EXPECT_EQ(second.value(QStringLiteral("WORKPHONE")), QVariant(QStringLiteral("000")));
    EXPECT_EQ(second.value(QStringLiteral("CELLPHONE")), QVariant(QStringLiteral("222")));
    EXPECT_FALSE(second.contains(QStringLiteral("WORKFAX")));
}

TEST(ContactReader, SlotsTakePreferredLabelsAndStreetsTheirLines)
{
    ContactsFixture fixture;
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
    setEntries(*person, kABEmailProperty, {{kABWorkLabel, QStringLiteral("w1@x")}, {kABWorkLabel, QStringLiteral("w2@x")},
                                           {kABHomeLabel, QStringLiteral("h@x")}, {QStringLiteral("private"), QStringLiteral("p@x")}});
    const QVariantMap street{{kABAddressStreetKey, QStringLiteral("Line 1\nLine 2\nLine 3\nLine 4")},
                             {kABAddressCityKey, QStringLiteral("Ghent")}};
    setEntries(*person, kABAddressProperty, {{kABWorkLabel, street}});
    for (const char *name : {"Work", "Friends"}) {
        const std::shared_ptr<ABGroup> group = ABGroup::initWithAddressBook(book);
        (void)group->setValue(QLatin1String(name), kABGroupNameProperty);
        book->addRecord(group);
        group->addMember(person);
    }
    ASSERT_TRUE(book->save());
    QVariantMap record = fixture.listStep(QDateTime(), true).first().dictionary();
    EXPECT_EQ(record.value(QStringLiteral("EMAIL")), QVariant(QStringLiteral("w1@x")));
    EXPECT_EQ(record.value(QStringLiteral("EMAIL2")), QVariant(QStringLiteral("h@x")));
    EXPECT_EQ(record.value(QStringLiteral("EMAIL3")), QVariant(QString()));
    EXPECT_EQ(record.value(QStringLiteral("ADDRESS1")), QVariant(QStringLiteral("Line 1")));
    EXPECT_EQ(record.value(QStringLiteral("ADDRESS3")), QVariant(QStringLiteral("Line 3")));
    EXPECT_EQ(record.value(QStringLiteral("CITY")), QVariant(QStringLiteral("Ghent")));
    QStringList categories = record.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList();
    categories.sort();
    EXPECT_EQ(categories, (QStringList{QStringLiteral("Friends"), QStringLiteral("Work")}));
    EXPECT_TRUE(record.value(QStringLiteral("CATEGORY")).toString().endsWith(QLatin1Char(',')));
    EXPECT_EQ(record.value(QStringLiteral("CATEGORY")).toString().size(), QStringLiteral("Work,Friends,").size());
    EXPECT_FALSE(record.contains(QStringLiteral("UID")));

    CloudVariant cloud;
    fixture.startNewRun();
    record = fixture.listStep(QDateTime(), true).first().dictionary();
    EXPECT_EQ(record.value(QStringLiteral("ADDRESS1")), QVariant(QStringLiteral("Line 1\nLine 2\nLine 3\nLine 4")));
    EXPECT_EQ(record.value(QStringLiteral("ADDRESS2")), QVariant(QStringLiteral("Line 2")));
    EXPECT_TRUE(record.value(QStringLiteral("CATEGORY")).toString().endsWith(QLatin1Char('\t')));
}

// Persons dated no later than the last sync are passed over from their hmUid alone; one unanswered
// add in the graph makes every person take the full look, so the unanswered one goes as new again,
// and the others still stay home and are never taken for deletions.
TEST(ContactReader, UnchangedPersonsStayHomeWhileAnAddAwaitsItsAnswer)
{
    ContactsFixture fixture;
    FixedClock clock(kMonday);
    const QString ann = fixture.addDesktopPerson(QStringLiteral("Ann"), QStringLiteral("Old"))->uniqueId();
    const QString bob = fixture.addDesktopPerson(QStringLiteral("Bob"), QStringLiteral("Old"))->uniqueId();
    ASSERT_EQ(fixture.listStep(QDateTime(), true).size(), 2);
    fixture.confirmAdds();
    const QString annHmUid = fixture.graph().harrowmereUidForNativeId(ann);
    clock.set(kMonday.addSecs(60));
    const QString cid = fixture.addDesktopPerson(QStringLiteral("Cid"), QStringLiteral("New"))->uniqueId();
    fixture.startNewRun();
    const QList<HMSyncRecord> added = fixture.listStep(kMonday, true);
    ASSERT_EQ(added.size(), 1);
    EXPECT_TRUE(added.first().isNew());
    const QString temporaryId = added.first().hmxUid();

    const struct
    {
        QDateTime after;
        QStringList sent; // native ids, in listing order
    } steps[] = {
        // Cid's answer never came: it goes again, the others do not, and nothing is deleted.
        {kMonday.addSecs(120), {cid}},
        {kMonday, {cid}},
        // Answered: nobody goes, whether or not the date lies after the persons'.
        {kMonday.addSecs(120), {}},
        {kMonday.addSecs(60), {}},
        {kMonday.addSecs(59), {cid}},
    };
    for (const auto &step : steps) {
        if (&step == &steps[2])
            fixture.confirmAdds();
        fixture.startNewRun();
        QStringList sent;
        for (const HMSyncRecord &record : fixture.listStep(step.after, true)) {
            EXPECT_FALSE(record.isDelete());
            sent.append(record.nativeId());
        }
        EXPECT_EQ(sent, step.sent) << step.after.toString(Qt::ISODate).toStdString();
        EXPECT_EQ(fixture.graph().count(), 3);
        EXPECT_EQ(fixture.graph().harrowmereUidForNativeId(ann), annHmUid);
        EXPECT_FALSE(fixture.graph().harrowmereUidForNativeId(bob).isEmpty());
    }
    EXPECT_EQ(fixture.graph().nativeIdForHarrowmereUid(QStringLiteral("phone-") + temporaryId), cid);
}

// Unchanged persons are only counted unless a dictionary may be left over: whatever mix of unchanged
// (some under ids that are not ASCII), new and removed persons a listing meets, exactly the removed
// ones go as deletions and every other dictionary stays; among hundreds, whose ids fill most of the
// table that finds them, too.
TEST(ContactReader, ExactlyTheRemovedPersonsGoAsDeletionsAmongUnchangedOnes)
{
    struct Case
    {
        const char *name;
        int removedCount;
        bool addsFresh;
        int plainCount = 0; // more unchanged persons
    };
    const Case cases[] = {{"nothing removed", 0, false},
                          {"one removed", 1, false},
                          {"one removed, one added", 1, true},
                          {"two removed, one added", 2, true},
                          {"two removed, one added among hundreds", 2, true, 400}};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        ContactsFixture fixture;
        FixedClock clock(kMonday);
        QStringList ids{QStringLiteral("Zoë-1"), QStringLiteral("名前-2"), QStringLiteral("plain-3"),
                        QStringLiteral("Øre-4")};
        for (int number = 0; number < test.plainCount; ++number)
            ids.append(QStringLiteral("many-%1").arg(number));
        for (const QString &id : ids) {
            fixture.folder().writeFile(id + QStringLiteral(".vcf"),
                                       "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + id.toUtf8() + "\r\nN:Last;" +
                                           id.toUtf8() + ";;;\r\nFN:x\r\nREV:2026-11-30T08:00:00Z\r\nEND:VCARD\r\n");
        }
        ASSERT_EQ(fixture.listStep(QDateTime(), true).size(), ids.size());
        fixture.confirmAdds();
        QStringList removedHmUids;
        for (int index = 0; index < test.removedCount; ++index) {
            removedHmUids.append(fixture.graph().harrowmereUidForNativeId(ids[index]));
            ASSERT_TRUE(QFile::remove(fixture.folder().filePath(ids[index] + QStringLiteral(".vcf"))));
        }
        if (test.addsFresh)
            fixture.addDesktopPerson(QStringLiteral("Fresh"), QStringLiteral("One"));
        fixture.startNewRun();
        const QList<HMSyncRecord> listed = fixture.listStep(kMonday, true);
        QStringList deleted;
        for (const HMSyncRecord &record : listed) {
            if (record.isDelete())
                deleted.append(record.hmxUid());
        }
        EXPECT_EQ(deleted, removedHmUids);
        EXPECT_EQ(listed.size(), deleted.size() + (test.addsFresh ? 1 : 0));
        for (qsizetype index = test.removedCount; index < ids.size(); ++index)
            EXPECT_FALSE(fixture.graph().harrowmereUidForNativeId(ids[index]).isEmpty()) << ids[index].toStdString();
        EXPECT_EQ(fixture.graph().identifierDictionaries().size(),
                  ids.size() - test.removedCount + (test.addsFresh ? 1 : 0));
    }
}

// Unchanged persons found by their ids alone go nowhere; whatever makes that look unsure (two
// dictionaries under one id, one without a hmUid, a graph changed by an earlier person of the
// listing) gives the person the full look, which decides as it always did.
TEST(ContactReader, PersonsTheQuickLookCannotSettleGetTheFullOne)
{
    struct Case
    {
        const char *name;
        std::function<void(ContactsFixture &)> change;
        QStringList sent; // native ids sent, and "delete:<hmUid>" for deletions, in listing order
        qsizetype dictionariesAfter;
    };
    const QByteArray rev = "REV:2026-11-30T08:00:00Z\r\n";
    const Case cases[] = {
        {"nothing changed", [](ContactsFixture &) {}, {}, 3},
        {"a second dictionary under one id",
         [](ContactsFixture &fixture) {
             fixture.graph().appendDictionary({{QStringLiteral("nativeId"), QStringLiteral("b-2")},
                                               {QStringLiteral("hmUid"), QStringLiteral("extra")}});
         },
         {QStringLiteral("delete:extra")},
         3},
        {"a dictionary without a hmUid",
         [](ContactsFixture &fixture) {
             fixture.graph().removeDictionariesForNativeId(QStringLiteral("c-3"));
             fixture.graph().appendDictionary({{QStringLiteral("nativeId"), QStringLiteral("c-3")}});
         },
         // The dictionary without a hmUid is never sent as a deletion: it stays.
         {QStringLiteral("c-3")},
         4},
        {"an earlier person changed",
         [&rev](ContactsFixture &fixture) {
             fixture.folder().writeFile(QStringLiteral("a-1.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:a-1\r\nN:New;;;;\r\n"
                                                                   "REV:2026-11-30T10:00:00Z\r\nEND:VCARD\r\n");
         },
         {QStringLiteral("a-1")},
         3},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        ContactsFixture fixture;
        FixedClock clock(kMonday);
        // The second person's file is not named after its id.
        const std::pair<QString, QByteArray> files[] = {{QStringLiteral("a-1.vcf"), "a-1"},
                                                        {QStringLiteral("card-b.vcf"), "b-2"},
                                                        {QStringLiteral("c-3.vcf"), "c-3"}};
        for (const auto &[name, id] : files)
            fixture.folder().writeFile(name, "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + id + "\r\nN:" + id + ";;;;\r\n" +
                                                 rev + "END:VCARD\r\n");
        ASSERT_EQ(fixture.listStep(QDateTime(), true).size(), 3);
        fixture.confirmAdds();
        test.change(fixture);
        fixture.startNewRun();
        QStringList sent;
        for (const HMSyncRecord &record : fixture.listStep(kMonday, true))
            sent.append(record.isDelete() ? QStringLiteral("delete:") + record.hmxUid() : record.nativeId());
        EXPECT_EQ(sent, test.sent);
        for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("b-2")})
            EXPECT_FALSE(fixture.graph().harrowmereUidForNativeId(id).isEmpty()) << id.toStdString();
        EXPECT_EQ(fixture.graph().count(), test.dictionariesAfter);
    }
}
