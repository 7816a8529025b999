// The duplicate test of applying the phone's records, on an address book whose names repeat as real
// ones do: it finds exactly the persons the address book's own search finds (same first and last name
// and company regardless of case, the record's e-mail address inside one of the person's), through a
// run's steps, the persons the run writes and the changes another program makes between steps.
#include "ContactDataTestSupport.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/ABSearchElement.h"

#include <gtest/gtest.h>

#include <random>

using namespace platform;

namespace {

// Few names, in several letter cases and with letters outside ASCII, so that many persons share each.
const QStringList kFirstNames{"Anna", "ANNA", "anna", "José", "JOSÉ", "Li", "Émile", "Straße"};
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

} // namespace

TEST(ContactDuplicates, SameDuplicatesAsTheSearchOnRepeatedNames)
{
    ContactsFixture fixture;
    Pick pick;
    fillBook(fixture, pick);
    QList<QVariantMap> queries;
    for (int index = 0; index < 200; ++index)
        queries.append(phoneRecord(pick, QStringLiteral("Q%1").arg(index)));
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
