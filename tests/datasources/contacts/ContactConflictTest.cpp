// The conflict rule of applying the other side's records: every conflict setting against a desktop
// change, the device's date (shifted by the clock difference), duplicates and missing ids, as one
// table.
#include "ContactDataTestSupport.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "sync/HMIdentifierGraph.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

const QDateTime kCreated(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC);
const QDateTime kLastSync(QDate(2026, 12, 2), QTime(10, 0), Qt::UTC);
const QDateTime kAt(QTime time)
{
    return QDateTime(QDate(2026, 12, 2), time, Qt::UTC);
}

enum class Lands { Nowhere, Linked, NewPerson, Duplicate };

struct Row
{
    const char *name;
    quint64 setting;
    QDateTime desktopChange; // invalid: the desktop did not change the person after the last sync
    QDateTime deviceDate;    // invalid: the record carries no date
    qint64 timeDifference;
    bool hasDuplicate;
    qint64 result;
    Lands lands;
};

QVariantMap incoming(const QDateTime &deviceDate)
{
    QVariantMap record{{QStringLiteral("UID"), QStringLiteral("U1")},
                       {QStringLiteral("NEWFNAME"), QStringLiteral("Orla")},
                       {QStringLiteral("NEWLNAME"), QStringLiteral("Quinn")},
                       {QStringLiteral("COMPANY"), QStringLiteral("Quinn & Co")},
                       {QStringLiteral("EMAIL"), QStringLiteral("dup@quinn.example")},
                       {QStringLiteral("NOTE"), QStringLiteral("from the phone")}};
    if (deviceDate.isValid())
        record.insert(QStringLiteral("LASTMODIFIED"), localDateTimeText(deviceDate));
    return record;
}

QString noteOf(const QString &uniqueId)
{
    const std::shared_ptr<ABRecord> person = ABAddressBook::addressBook()->recordForUniqueId(uniqueId);
    return person ? person->valueForProperty(kABNoteProperty).toString() : QStringLiteral("(gone)");
}

// The linked person, made by a first sync; its e-mail address keeps it from matching the record.
QString createLinkedPerson(ContactsFixture &fixture)
{
    FixedClock clock(kCreated);
    QVariantMap first = incoming(QDateTime());
    first.insert(QStringLiteral("EMAIL"), QStringLiteral("linked@quinn.example"));
    first.insert(QStringLiteral("NOTE"), QStringLiteral("as first synced"));
    EXPECT_EQ(fixture.applyStep({first}, 0), QList<qint64>{3});
    fixture.graph().setLastSyncDate(kLastSync);
    fixture.startNewRun();
    return fixture.graph().nativeIdForHarrowmereUid(QStringLiteral("U1"));
}

QString createDuplicate()
{
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
    (void)person->setValue(QStringLiteral("orla"), kABFirstNameProperty);
    (void)person->setValue(QStringLiteral("QUINN"), kABLastNameProperty);
    (void)person->setValue(QStringLiteral("Quinn & Co"), kABOrganizationProperty);
    ABMutableMultiValue emails;
    emails.addValue(QStringLiteral("DUP@quinn.example"), kABWorkLabel);
    (void)person->setValue(emails.toVariant(), kABEmailProperty);
    (void)person->setValue(QStringLiteral("duplicate"), kABNoteProperty);
    EXPECT_TRUE(book->save());
    return person->uniqueId();
}

void changeOnDesktop(const QString &uniqueId, const QDateTime &when)
{
    FixedClock clock(when);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    (void)book->recordForUniqueId(uniqueId)->setValue(QStringLiteral("edited on the desktop"), kABNicknameProperty);
    EXPECT_TRUE(book->save());
}

} // namespace

TEST(ContactConflicts, EverySettingAgainstEveryKindOfChange)
{
    const QDateTime noDate;
    const Row rows[] = {
        {"0: the desktop's newer change wins", 0, kAt(QTime(12, 0)), kAt(QTime(11, 0)), 0, false, 1, Lands::Nowhere},
        {"0: equal dates let the device's change through", 0, kAt(QTime(12, 0)), kAt(QTime(12, 0)), 0, false, 2, Lands::Linked},
        {"0: a newer device change wins", 0, kAt(QTime(12, 0)), kAt(QTime(13, 0)), 0, false, 2, Lands::Linked},
        {"0: a record without a date goes through", 0, kAt(QTime(12, 0)), noDate, 0, false, 2, Lands::Linked},
        {"0: 12:00 an hour ahead is 11:00 here", 0, kAt(QTime(11, 30)), kAt(QTime(12, 0)), 3600, false, 1, Lands::Nowhere},
        {"0: 12:00 with clocks in step is newer", 0, kAt(QTime(11, 30)), kAt(QTime(12, 0)), 0, false, 2, Lands::Linked},
        {"0: no conflict without a desktop change", 0, noDate, kAt(QTime(9, 0)), 0, false, 2, Lands::Linked},
        {"1: the desktop wins every conflict", 1, kAt(QTime(12, 0)), kAt(QTime(13, 0)), 0, false, 1, Lands::Nowhere},
        {"1: no conflict without a desktop change", 1, noDate, kAt(QTime(13, 0)), 0, false, 2, Lands::Linked},
        {"3: a conflict makes a new person", 3, kAt(QTime(12, 0)), kAt(QTime(13, 0)), 0, false, 3, Lands::NewPerson},
        {"3: a conflict updates a matching other person", 3, kAt(QTime(12, 0)), kAt(QTime(13, 0)), 0, true, 2, Lands::Duplicate},
        {"2: the device wins every conflict", 2, kAt(QTime(12, 0)), kAt(QTime(11, 0)), 0, false, 2, Lands::Linked},
        {"0: a matching other person is updated", 0, noDate, kAt(QTime(13, 0)), 0, true, 2, Lands::Duplicate},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ContactsFixture fixture;
        const QString linked = createLinkedPerson(fixture);
        const QString duplicate = row.hasDuplicate ? createDuplicate() : QString();
        if (row.desktopChange.isValid())
            changeOnDesktop(linked, row.desktopChange);
        FixedClock clock(kAt(QTime(14, 0)));
        EXPECT_EQ(fixture.applyStep({incoming(row.deviceDate)}, row.setting, row.timeDifference), QList<qint64>{row.result});
        const QString nowLinked = fixture.graph().nativeIdForHarrowmereUid(QStringLiteral("U1"));
        EXPECT_EQ(noteOf(linked), row.lands == Lands::Linked ? QStringLiteral("from the phone") : QStringLiteral("as first synced"));
        if (row.hasDuplicate) {
            EXPECT_EQ(noteOf(duplicate), row.lands == Lands::Duplicate ? QStringLiteral("from the phone") : QStringLiteral("duplicate"));
        }
        if (row.lands == Lands::NewPerson) {
            EXPECT_NE(nowLinked, linked);
            EXPECT_EQ(noteOf(nowLinked), QStringLiteral("from the phone"));
            EXPECT_EQ(ABAddressBook::addressBook()->people().size(), 2);
        } else {
            EXPECT_EQ(nowLinked, linked); // a duplicate match keeps the linked person's id
        }
    }
}

TEST(ContactConflicts, RecordsWithoutAnIdOrAnOpenBookAreNotApplied)
{
    ContactsFixture fixture;
    QVariantMap record = incoming(QDateTime());
    record.remove(QStringLiteral("UID"));
    EXPECT_EQ(fixture.applyStep({record}, 0), QList<qint64>{0});
    EXPECT_TRUE(fixture.folder().cardFiles().isEmpty());
    // A person the sync itself saved last is no desktop change, whatever the setting.
    const QString linked = createLinkedPerson(fixture);
    FixedClock clock(kAt(QTime(14, 0)));
    fixture.graph().setLastSyncDate(kCreated.addSecs(-60));
    EXPECT_EQ(fixture.applyStep({incoming(kAt(QTime(9, 0)))}, 1), QList<qint64>{2});
    EXPECT_EQ(noteOf(linked), QStringLiteral("from the phone"));
}
