// The duplicate test of applying the phone's records, on an address book whose names repeat as real
// ones do: it finds exactly the persons the address book's own search finds (same first and last name
// and company regardless of case, the record's e-mail address inside one of the person's), through a
// run's steps, the persons the run writes and the changes another program makes between steps.
#include "ContactDataTestSupport.h"

#include "datasources/contacts/ContactDuplicateIndex.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/ABSearchElement.h"

#include <gtest/gtest.h>

#include <random>

using namespace platform;

namespace {

// Few names, in several letter cases and with letters outside ASCII, so that many persons share each;
// "\u212Aim" (with the Kelvin sign) folds to the ASCII "kim" of "Kim".
const QStringList kFirstNames{"Anna", "ANNA", "anna", "José", "JOSÉ", "Li", "Émile", "Straße", "Kim", "\u212Aim"};
const QStringList kLastNames{"Smith", "smith", "Müller", "MÜLLER", "Ng", "Ørsted"};
const QStringList kCompanies{"Acme", "ACME", "Ümlaut GmbH", "Ng & Co"};
// Some addresses lie inside others: "anna@acme.org" is part of "joanna@acme.org" and "ANNA@acme.org.uk".
const QStringList kEmails{"anna@acme.org", "joanna@acme.org", "ANNA@acme.org.uk", "li@ng.example", "x@y.example"};

class Pick
{
public:
    const QString &from(const QStringList &values) { return values.at(int(m_random() % quint32(values.size()))); }

private:
    std::mt19937 m_random{20261208};
};

QVariantMap phoneRecord(Pick &pick, const QString &uid)
{
    return {{QStringLiteral("UID"), uid},
            {QStringLiteral("NEWFNAME"), pick.from(kFirstNames)},
            {QStringLiteral("NEWLNAME"), pick.from(kLastNames)},
            {QStringLiteral("COMPANY"), pick.from(kCompanies)},
            {QStringLiteral("EMAIL"), pick.from(kEmails)}};
}

QList<QVariantMap> queryRecords(Pick &pick, int count)
{
    QList<QVariantMap> records;
    for (int index = 0; index < count; ++index)
        records.append(phoneRecord(pick, QStringLiteral("Q%1").arg(index)));
    return records;
}

// A vCard as another program writes it, with one or two e-mail addresses.
QByteArray otherProgramsCard(Pick &pick, int index)
{
    QByteArray card = QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:other-%1\r\nN:%2;%3;;;\r\nFN:%3 %2\r\n"
                                     "ORG:%4\r\nEMAIL;TYPE=INTERNET:%5\r\n")
                          .arg(index)
                          .arg(pick.from(kLastNames), pick.from(kFirstNames), pick.from(kCompanies), pick.from(kEmails))
                          .toUtf8();
    if (index % 3 == 0)
        card += QStringLiteral("EMAIL;TYPE=HOME:%1\r\n").arg(pick.from(kEmails)).toUtf8();
    return card + "END:VCARD\r\n";
}

void addPerson(ABAddressBook &book, Pick &pick)
{
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book.shared_from_this());
    (void)person->setValue(pick.from(kFirstNames), kABFirstNameProperty);
    (void)person->setValue(pick.from(kLastNames), kABLastNameProperty);
    (void)person->setValue(pick.from(kCompanies), kABOrganizationProperty);
    ABMutableMultiValue emails;
    emails.addValue(pick.from(kEmails), kABWorkLabel);
    (void)person->setValue(emails.toVariant(), kABEmailProperty);
}

// The unique ids the address book's search finds for the record, sorted.
QStringList searchedIds(ABAddressBook &book, const QVariantMap &record)
{
    const auto equal = ABSearchComparison::kABEqualCaseInsensitive;
    const auto field = [&record](const char *key) { return record.value(QString::fromLatin1(key)).toString(); };
    const ABSearchElement search = ABSearchElement::searchElementForConjunction(
        ABSearchConjunction::kABSearchAnd,
        {ABPerson::searchElementForProperty(kABLastNameProperty, QString(), QString(), field("NEWLNAME"), equal),
         ABPerson::searchElementForProperty(kABFirstNameProperty, QString(), QString(), field("NEWFNAME"), equal),
         ABPerson::searchElementForProperty(kABOrganizationProperty, QString(), QString(), field("COMPANY"), equal),
         ABPerson::searchElementForProperty(kABEmailProperty, QString(), QString(), field("EMAIL"),
                                            ABSearchComparison::kABContainsSubStringCaseInsensitive)});
    QStringList ids;
    for (const std::shared_ptr<ABRecord> &found : book.recordsMatchingSearchElement(search))
        ids.append(found->uniqueId());
    ids.sort();
    return ids;
}

QStringList duplicateIds(HMContactData &data, const QVariantMap &record)
{
    QStringList ids;
    for (const std::shared_ptr<ABPerson> &person : data.isDuplicate(record))
        ids.append(person->uniqueId());
    ids.sort();
    return ids;
}

// Checks the records against the search in one open step; answers how many persons they matched.
int expectSameDuplicates(ContactsFixture &fixture, const QList<QVariantMap> &records)
{
    fixture.data().prepareForUseOnThread();
    const std::shared_ptr<ABAddressBook> book = fixture.data().addressBook();
    int matched = 0;
    for (const QVariantMap &record : records) {
        const QStringList expected = searchedIds(*book, record);
        EXPECT_EQ(duplicateIds(fixture.data(), record), expected) << record.value(QStringLiteral("NEWFNAME")).toString().toStdString();
        matched += int(expected.size());
    }
    fixture.data().stopUsingOnThread();
    return matched;
}

// Half the persons in files of another program, half saved through the address book.
void fillBook(ContactsFixture &fixture, Pick &pick)
{
    for (int index = 0; index < 150; ++index)
        fixture.folder().writeFile(QStringLiteral("other-%1.vcf").arg(index), otherProgramsCard(pick, index));
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    for (int index = 0; index < 150; ++index)
        addPerson(*book, pick);
    EXPECT_TRUE(book->save());
}

// Another program renames a person to Li Ng of Acme and adds another.
void renameAndAddAsAnotherProgram(ContactsFixture &fixture)
{
    fixture.folder().writeFile(QStringLiteral("other-0.vcf"),
                               "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:other-0\r\nN:ng;li;;;\r\nFN:li ng\r\nORG:acme\r\n"
                               "EMAIL:LI@NG.EXAMPLE\r\nEND:VCARD\r\n");
    fixture.folder().writeFile(QStringLiteral("late.vcf"),
                               "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:late\r\nN:Ng;Li;;;\r\nFN:Li Ng\r\nORG:ACME\r\n"
                               "EMAIL:li@ng.example\r\nEND:VCARD\r\n");
}

// The candidates of the index that the book still has, in the index's order: callers skip the others.
QStringList presentCandidates(ContactDuplicateIndex &index, const std::shared_ptr<ABAddressBook> &book,
                              const QVariantMap &record)
{
    const auto field = [&record](const char *key) { return record.value(QString::fromLatin1(key)).toString(); };
    QStringList present;
    for (const QString &uniqueId : index.candidates(book, field("NEWFNAME"), field("NEWLNAME"), field("COMPANY"))) {
        if (book->recordForUniqueId(uniqueId))
            present.append(uniqueId);
    }
    return present;
}

// Renames a person of the book as a page of the run does, and files it.
void renameAndNote(ContactDuplicateIndex &index, ABPerson &person, Pick &pick)
{
    (void)person.setValue(pick.from(kFirstNames), kABFirstNameProperty);
    (void)person.setValue(pick.from(kLastNames), kABLastNameProperty);
    index.note(person);
}

QVariantMap liNgAtAcme(const QString &uid, const QString &email)
{
    return {{QStringLiteral("UID"), uid},
            {QStringLiteral("NEWFNAME"), QStringLiteral("Li")},
            {QStringLiteral("NEWLNAME"), QStringLiteral("Ng")},
            {QStringLiteral("COMPANY"), QStringLiteral("Acme")},
            {QStringLiteral("EMAIL"), email}};
}

// Another program's card of Li Ng of Acme, in other letter cases.
void addLateLiNg(ContactsFixture &fixture)
{
    fixture.folder().writeFile(QStringLiteral("late.vcf"),
                               "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:late\r\nN:NG;LI;;;\r\nFN:LI NG\r\nORG:ACME\r\n"
                               "EMAIL:li@ng.example\r\nEND:VCARD\r\n");
}

} // namespace

// An index kept across the pages of a run, whose persons join its listing as each page saves them,
// gives the candidates a new listing of the saved book gives, in the same order, where many persons
// share each name: a page's duplicate tests come out as if the book had been listed again.
TEST(ContactDuplicates, KeptAcrossSavesListsAsTheSavedBook)
{
    ContactsFixture fixture;
    Pick pick;
    fillBook(fixture, pick);
    const QList<QVariantMap> queries = queryRecords(pick, 120);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ContactDuplicateIndex kept;
    (void)presentCandidates(kept, book, queries.first());
    const QList<std::shared_ptr<ABPerson>> people = book->people();
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        for (int index = 0; index < 25; ++index) {
            const auto added = ABPerson::initWithAddressBook(book);
            renameAndNote(kept, *added, pick);
            renameAndNote(kept, *people.at((page * 25 + index) * 3 % int(people.size())), pick);
        }
        // A page may also remove a person the index listed or filed.
        ASSERT_TRUE(book->removeRecord(people.at(page * 7 + 1)));
        ASSERT_TRUE(book->save());
        kept.foldNoted(*book);
        int compared = 0;
        for (const QVariantMap &record : std::as_const(queries)) {
            ContactDuplicateIndex listedAnew;
            const QStringList expected = presentCandidates(listedAnew, book, record);
            EXPECT_EQ(presentCandidates(kept, book, record), expected)
                << record.value(QStringLiteral("UID")).toString().toStdString();
            compared += expected.size() > 1 ? 1 : 0;
        }
        // Most records have several candidates, so the order is put to the test.
        EXPECT_GT(compared, 60);
    }
}

// Another program adds a person between two pages of one run: the next page finds it as the duplicate
// of the phone's record and writes the record onto it, rather than add the person a second time.
TEST(ContactDuplicates, FindsWhatAnotherProgramAddsBetweenPages)
{
    ContactsFixture fixture;
    fixture.applyStep({liNgAtAcme(QStringLiteral("P1"), QStringLiteral("first@ng.example"))}, 0);
    addLateLiNg(fixture);
    fixture.applyStep({liNgAtAcme(QStringLiteral("P2"), QStringLiteral("li@ng.example"))}, 0);
    const std::shared_ptr<ABPerson> written = fixture.personOf(QStringLiteral("P2"));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->uniqueId(), QStringLiteral("late"));
    EXPECT_EQ(ABAddressBook::addressBook()->personStampCount(), 2);
}

// A save that takes in what another program added since the book was opened (another book of this
// process saw it first): the same step's later tests find the person it added.
TEST(ContactDuplicates, FindsWhatASaveTookInFromAnotherProgram)
{
    ContactsFixture fixture;
    fixture.data().prepareForUseOnThread();
    const QVariantMap first = liNgAtAcme(QStringLiteral("P1"), QStringLiteral("first@ng.example"));
    (void)fixture.data().commandAction(0, 1, 0, first, 0);
    addLateLiNg(fixture);
    ASSERT_TRUE(ABAddressBook::addressBook());
    fixture.data().saveChanges();
    const QStringList found =
        duplicateIds(fixture.data(), liNgAtAcme(QStringLiteral("P2"), QStringLiteral("li@ng.example")));
    fixture.data().stopUsingOnThread();
    EXPECT_EQ(found, QStringList{QStringLiteral("late")});
}

TEST(ContactDuplicates, SameDuplicatesAsTheSearchOnRepeatedNames)
{
    ContactsFixture fixture;
    Pick pick;
    fillBook(fixture, pick);
    const QList<QVariantMap> queries = queryRecords(pick, 200);
    // Every record matched some persons: the names repeat enough for the test to mean something.
    EXPECT_GT(expectSameDuplicates(fixture, queries), 200);

    // The run's own steps add persons and write records onto the duplicates they find; each step's
    // tests see them, saved or not.
    for (int step = 0; step < 3; ++step) {
        QList<QVariantMap> records;
        for (int index = 0; index < 40; ++index)
            records.append(phoneRecord(pick, QStringLiteral("S%1-%2").arg(step).arg(index)));
        fixture.applyStep(records, 0);
        expectSameDuplicates(fixture, queries);
    }
    fixture.data().prepareForUseOnThread();
    for (int index = 0; index < 20; ++index)
        fixture.data().commandAction(0, 1, 0, phoneRecord(pick, QStringLiteral("U%1").arg(index)), 0);
    const std::shared_ptr<ABAddressBook> book = fixture.data().addressBook();
    for (const QVariantMap &record : std::as_const(queries))
        EXPECT_EQ(duplicateIds(fixture.data(), record), searchedIds(*book, record));
    fixture.data().saveChanges();
    // A step that saves and goes on: its later tests see the saved persons and those it writes after.
    for (const QVariantMap &record : std::as_const(queries))
        EXPECT_EQ(duplicateIds(fixture.data(), record), searchedIds(*book, record));
    for (int index = 0; index < 20; ++index)
        fixture.data().commandAction(0, 1, 0, phoneRecord(pick, QStringLiteral("V%1").arg(index)), 0);
    for (const QVariantMap &record : std::as_const(queries))
        EXPECT_EQ(duplicateIds(fixture.data(), record), searchedIds(*book, record));
    fixture.data().saveChanges();
    fixture.data().stopUsingOnThread();

    // Between two steps of the run.
    renameAndAddAsAnotherProgram(fixture);
    const QVariantMap liNg{{QStringLiteral("UID"), QStringLiteral("L1")}, {QStringLiteral("NEWFNAME"), QStringLiteral("Li")},
                           {QStringLiteral("NEWLNAME"), QStringLiteral("Ng")}, {QStringLiteral("COMPANY"), QStringLiteral("Acme")},
                           {QStringLiteral("EMAIL"), QStringLiteral("li@ng.example")}};
    fixture.data().prepareForUseOnThread();
    const QStringList found = duplicateIds(fixture.data(), liNg);
    fixture.data().stopUsingOnThread();
    EXPECT_TRUE(found.contains(QStringLiteral("other-0")) && found.contains(QStringLiteral("late"))) << found.join(u',').toStdString();
    expectSameDuplicates(fixture, queries);
}

// A record without one of the four values matches nobody, as an empty e-mail address would match every
// person of the name.
TEST(ContactDuplicates, NeedsAllFourValues)
{
    ContactsFixture fixture;
    Pick pick;
    {
        const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
        for (int index = 0; index < 30; ++index)
            addPerson(*book, pick);
        ASSERT_TRUE(book->save());
    }
    fixture.data().prepareForUseOnThread();
    for (const char *missing : {"NEWFNAME", "NEWLNAME", "COMPANY", "EMAIL"}) {
        QVariantMap record{{QStringLiteral("NEWFNAME"), QStringLiteral("Anna")}, {QStringLiteral("NEWLNAME"), QStringLiteral("Smith")},
                           {QStringLiteral("COMPANY"), QStringLiteral("Acme")}, {QStringLiteral("EMAIL"), QStringLiteral("a")}};
        record.remove(QString::fromLatin1(missing));
        EXPECT_TRUE(fixture.data().isDuplicate(record).isEmpty()) << missing;
    }
    fixture.data().stopUsingOnThread();
}
