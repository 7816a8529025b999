#include "sync/HMSyncController+Normalization.h"

#include "sync/HMSyncFields.h"

#include <QDateTime>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

// A record of text values.
QVariantMap recordOf(std::initializer_list<std::pair<const char *, const char *>> entries)
{
    QVariantMap record;
    for (const auto &[key, value] : entries)
        record.insert(QString::fromUtf8(key), QString::fromUtf8(value));
    return record;
}

// The record as "KEY=value" lines in key order, so that a failure shows the whole record.
QString describe(const QVariantMap &record)
{
    QStringList lines;
    for (auto it = record.cbegin(); it != record.cend(); ++it)
        lines.append(it.key() + QLatin1Char('=') + it.value().toString());
    return lines.join(QLatin1Char('\n'));
}

} // namespace

TEST(NameParts, SplitLastWordSalutationAndSuffix)
{
    struct Row
    {
        const char *name;
        const char *salutation; // nullptr: none
        const char *withoutSalutation;
        const char *suffix; // nullptr: none
        const char *withoutSuffix;
        const char *lastName;
        const char *withoutLastName;
    };
    const Row rows[] = {
        {"John Smith", nullptr, "John Smith", nullptr, "John Smith", "Smith", "John"},
        {"Smith", nullptr, "Smith", nullptr, "Smith", "Smith", ""},
        {"", nullptr, "", nullptr, "", "", ""},
        {"  Dr. John Smith  ", "Dr.", "John Smith", nullptr, "Dr. John Smith", "Smith", "Dr. John"},
        {"dr john smith", "dr", "john smith", nullptr, "dr john smith", "smith", "dr john"},
        {"Dr.Who", "Dr.", "Who", nullptr, "Dr.Who", "Dr.Who", ""},
        {"Mrs Jones", "Mrs", "Jones", nullptr, "Mrs Jones", "Jones", "Mrs"},
        {"MISS Marple", "MISS", "Marple", nullptr, "MISS Marple", "Marple", "MISS"},
        {"Prof. Rev. Green", "Prof. Rev.", "Green", nullptr, "Prof. Rev. Green", "Green", "Prof. Rev."},
        {"Mr. & Mrs. Smith", "Mr. & Mrs.", "Smith", nullptr, "Mr. & Mrs. Smith", "Smith", "Mr. & Mrs."},
        {"Mr and Mrs John Smith", "Mr and Mrs", "John Smith", nullptr, "Mr and Mrs John Smith", "Smith",
         "Mr and Mrs John"},
        // Joiners never start a salutation, and one that no salutation follows stays in the name.
        {"and Smith", nullptr, "and Smith", nullptr, "and Smith", "Smith", "and"},
        {"Mr and", "Mr", "and", nullptr, "Mr and", "and", "Mr"},
        // A word that merely starts like a salutation is none.
        {"Drew Barry", nullptr, "Drew Barry", nullptr, "Drew Barry", "Barry", "Drew"},
        {"Missy Elliott", nullptr, "Missy Elliott", nullptr, "Missy Elliott", "Elliott", "Missy"},
        // Without a space or a dot there is no salutation, even for a salutation word.
        {"Dr", nullptr, "Dr", nullptr, "Dr", "Dr", ""},
        {"John Smith Jr.", nullptr, "John Smith Jr.", "Jr.", "John Smith", "Jr.", "John Smith"},
        {"John Smith, Jr.", nullptr, "John Smith, Jr.", "Jr.", "John Smith", "Jr.", "John Smith,"},
        {"Henry Ford II", nullptr, "Henry Ford II", "II", "Henry Ford", "II", "Henry Ford"},
        {"Jane Doe M.D.", nullptr, "Jane Doe M.D.", "M.D.", "Jane Doe", "M.D.", "Jane Doe"},
        {"Jane Doe esq", nullptr, "Jane Doe esq", "esq", "Jane Doe", "esq", "Jane Doe"},
        {"Ann Lee DDS", nullptr, "Ann Lee DDS", "DDS", "Ann Lee", "DDS", "Ann Lee"},
        {"Sam Vimes RN", nullptr, "Sam Vimes RN", "RN", "Sam Vimes", "RN", "Sam Vimes"},
        // A suffix needs a space before it and must be a whole suffix word.
        {"Jr.", nullptr, "Jr.", nullptr, "Jr.", "Jr.", ""},
        {"John Smithjr", nullptr, "John Smithjr", nullptr, "John Smithjr", "Smithjr", "John"},
        {"Louis XIV", nullptr, "Louis XIV", nullptr, "Louis XIV", "XIV", "Louis"},
        {"Dr. Jane Doe Sr.", "Dr.", "Jane Doe Sr.", "Sr.", "Dr. Jane Doe", "Sr.", "Dr. Jane Doe"},
    };
    for (const Row &row : rows) {
        const QString name = QString::fromUtf8(row.name);
        SCOPED_TRACE(row.name);
        const QString salutation = getSalutation(name);
        if (row.salutation)
            EXPECT_EQ(salutation.toStdString(), row.salutation);
        else
            EXPECT_TRUE(salutation.isNull()) << salutation.toStdString();
        EXPECT_EQ(removeSalutation(name).toStdString(), row.withoutSalutation);
        const QString suffix = getSuffix(name);
        if (row.suffix)
            EXPECT_EQ(suffix.toStdString(), row.suffix);
        else
            EXPECT_TRUE(suffix.isNull()) << suffix.toStdString();
        EXPECT_EQ(removeSuffix(name).toStdString(), row.withoutSuffix);
        EXPECT_EQ(getLastName(name).toStdString(), row.lastName);
        EXPECT_EQ(removeLastName(name).toStdString(), row.withoutLastName);
    }
}

TEST(ContactNormalization, DerivesEveryNameFormThatIsMissing)
{
    using Entries = std::initializer_list<std::pair<const char *, const char *>>;
    struct Row
    {
        const char *name;
        Entries input;
        Entries expected;
    };
    const Row rows[] = {
        {"a two-word whole name splits into first and last, with no salutation key",
         {{"FULLNAME", "John Smith"}},
         {{"FULLNAME", "John Smith"},
          {"NEWFNAME", "John"},
          {"NEWLNAME", "Smith"},
          {"FIRSTNAME", "John"},
          {"LASTNAME", "Smith"},
          {"FILEAS", "Smith, John"}}},
        {"a three-word whole name keeps its middle word",
         {{"FULLNAME", "John Paul Smith"}},
         {{"FULLNAME", "John Paul Smith"},
          {"NEWFNAME", "John"},
          {"MIDNAME", "Paul"},
          {"NEWLNAME", "Smith"},
          {"FIRSTNAME", "John"},
          {"LASTNAME", "Smith"},
          {"FILEAS", "Smith, John"}}},
        {"a whole name with salutation and suffix",
         {{"FULLNAME", "Dr. Jane Q. Public Jr."}},
         {{"FULLNAME", "Dr. Jane Q. Public Jr."},
          {"SALUTATION", "Dr."},
          {"NEWFNAME", "Jane"},
          {"MIDNAME", "Q."},
          {"NEWLNAME", "Public"},
          {"SUFFIX", "Jr."},
          {"FIRSTNAME", "Dr. Jane"},
          {"LASTNAME", "Public Jr."},
          {"FILEAS", "Public, Dr. Jane"}}},
        {"a five-part name with a suffix gives the whole and the two-part names",
         {{"NEWFNAME", "John"}, {"NEWLNAME", "Smith"}, {"SUFFIX", "III"}},
         {{"NEWFNAME", "John"},
          {"NEWLNAME", "Smith"},
          {"SUFFIX", "III"},
          {"FULLNAME", "John Smith III"},
          {"FIRSTNAME", "John"},
          {"LASTNAME", "Smith III"},
          {"FILEAS", "Smith, John"}}},
        {"a two-part name with salutation and suffix splits into five parts",
         {{"FIRSTNAME", "Mrs. Ada"}, {"LASTNAME", "Lovelace Sr."}},
         {{"FIRSTNAME", "Mrs. Ada"},
          {"LASTNAME", "Lovelace Sr."},
          {"FULLNAME", "Mrs. Ada Lovelace Sr."},
          {"SALUTATION", "Mrs."},
          {"NEWFNAME", "Ada"},
          {"NEWLNAME", "Lovelace"},
          {"SUFFIX", "Sr."},
          {"FILEAS", "Lovelace, Mrs. Ada"}}},
        {"the split keeps the salutation the record had when the name holds none",
         {{"FIRSTNAME", "Ada"}, {"LASTNAME", "Lovelace"}, {"SALUTATION", "Countess"}},
         {{"FIRSTNAME", "Ada"},
          {"LASTNAME", "Lovelace"},
          {"FULLNAME", "Ada Lovelace"},
          {"NEWFNAME", "Ada"},
          {"NEWLNAME", "Lovelace"},
          {"SALUTATION", "Countess"},
          {"FILEAS", "Lovelace, Ada"}}},
        {"only a company files under the company and empties the names",
         {{"COMPANY", "Acme Ltd"}},
         {{"COMPANY", "Acme Ltd"},
          {"FULLNAME", ""},
          {"NEWFNAME", ""},
          {"NEWLNAME", ""},
          {"SALUTATION", ""},
          {"FIRSTNAME", ""},
          {"LASTNAME", ""},
          {"FILEAS", "Acme Ltd"}}},
        {"a nickname comes before the company",
         {{"NICKNAME", "Ace"}, {"COMPANY", "Acme Ltd"}},
         {{"NICKNAME", "Ace"},
          {"COMPANY", "Acme Ltd"},
          {"FULLNAME", ""},
          {"NEWFNAME", ""},
          {"NEWLNAME", ""},
          {"SALUTATION", ""},
          {"FIRSTNAME", ""},
          {"LASTNAME", ""},
          {"FILEAS", "Ace"}}},
        {"only a last name files under it",
         {{"LASTNAME", "Smith"}},
         {{"LASTNAME", "Smith"}, {"FULLNAME", "Smith"}, {"NEWFNAME", ""}, {"NEWLNAME", "Smith"}, {"FILEAS", "Smith"}}},
        {"only a first name files under it",
         {{"NEWFNAME", "Cher"}},
         {{"NEWFNAME", "Cher"}, {"FULLNAME", "Cher"}, {"FIRSTNAME", "Cher"}, {"LASTNAME", ""}, {"FILEAS", "Cher"}}},
        {"filled whole name and file-as are never replaced",
         {{"FULLNAME", "Johnny"}, {"FILEAS", "Keep Me"}, {"NEWFNAME", "John"}, {"NEWLNAME", "Smith"}},
         {{"FULLNAME", "Johnny"},
          {"FILEAS", "Keep Me"},
          {"NEWFNAME", "John"},
          {"NEWLNAME", "Smith"},
          {"FIRSTNAME", "John"},
          {"LASTNAME", "Smith"}}},
        {"a filled last name keeps the two-part step from running",
         {{"FULLNAME", "John Smith"}, {"LASTNAME", "Smythe"}},
         {{"FULLNAME", "John Smith"},
          {"LASTNAME", "Smythe"},
          {"NEWFNAME", ""},
          {"NEWLNAME", "Smythe"},
          {"FILEAS", "Smythe"}}},
        {"a whole name of one word becomes the last name",
         {{"FULLNAME", "Madonna"}},
         {{"FULLNAME", "Madonna"},
          {"NEWFNAME", ""},
          {"NEWLNAME", "Madonna"},
          {"FIRSTNAME", ""},
          {"LASTNAME", "Madonna"},
          {"FILEAS", "Madonna"}}},
        {"empty texts count as missing",
         {{"FULLNAME", ""}, {"FIRSTNAME", ""}, {"NEWFNAME", "Ann"}, {"NEWLNAME", "Lee"}},
         {{"FULLNAME", "Ann Lee"}, {"FIRSTNAME", "Ann"}, {"LASTNAME", "Lee"}, {"NEWFNAME", "Ann"},
          {"NEWLNAME", "Lee"}, {"FILEAS", "Lee, Ann"}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QVariantMap record = recordOf(row.input);
        normalizeContactDictionary(record);
        EXPECT_EQ(describe(record).toStdString(), describe(recordOf(row.expected)).toStdString());
    }
}

TEST(ContactNormalization, KeepsEveryOtherKeyAndValueType)
{
    QVariantMap record = recordOf({{"FULLNAME", "John Smith"}, {"UID", "42"}});
    record.insert(QStringLiteral("ACTION"), 2);
    normalizeContactDictionary(record);
    EXPECT_EQ(record.value(QStringLiteral("ACTION")), QVariant(2));
    EXPECT_EQ(record.value(QStringLiteral("UID")).toString(), QStringLiteral("42"));
    // A record normalised twice does not change any more.
    const QVariantMap once = record;
    normalizeContactDictionary(record);
    EXPECT_EQ(describe(record).toStdString(), describe(once).toStdString());
}

TEST(EventNormalization, RuleTextAndRecurrenceFieldsFillEachOther)
{
    const QDateTime monday(QDate(2024, 1, 8), QTime(9, 0), Qt::UTC);
    // A rule text adds its recurrence fields, replacing stale ones.
    QVariantMap withRule{{QStringLiteral("RRULE"), QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=MO")},
                         {QStringLiteral("NSDATESTARTDATE"), monday},
                         {QStringLiteral("INTERVAL"), 7}};
    normalizeDictionary(withRule, 2);
    EXPECT_EQ(withRule.value(QStringLiteral("REPEAT")).toLongLong(), 2);
    EXPECT_EQ(withRule.value(QStringLiteral("INTERVAL")).toLongLong(), 2);
    EXPECT_EQ(withRule.value(QStringLiteral("RRULE")).toString(), QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=MO"));

    // Recurrence fields without a rule text give the rule text.
    QVariantMap withFields = withRule;
    withFields.remove(QStringLiteral("RRULE"));
    normalizeDictionary(withFields, 2);
    const QString written = withFields.value(QStringLiteral("RRULE")).toString();
    EXPECT_TRUE(written.contains(QLatin1String("FREQ=WEEKLY"))) << written.toStdString();
    EXPECT_TRUE(written.contains(QLatin1String("INTERVAL=2"))) << written.toStdString();

    // Neither: the rule text is empty, and nothing else is added.
    QVariantMap plain{{QStringLiteral("SUBJECT"), QStringLiteral("Lunch")}, {QStringLiteral("NSDATESTARTDATE"), monday}};
    normalizeDictionary(plain, 2);
    EXPECT_EQ(plain.value(QStringLiteral("RRULE")), QVariant(QString(QLatin1String(""))));
    EXPECT_EQ(plain.size(), 3);
}

TEST(EventNormalization, OtherConduitsPassUnchanged)
{
    const QVariantMap task{{QStringLiteral("SUBJECT"), QStringLiteral("Call Ann")}, {QStringLiteral("FULLNAME"), QString()}};
    for (const quint64 conduit : {quint64(0), quint64(3), quint64(4), quint64(9)}) {
        SCOPED_TRACE(conduit);
        QVariantMap record = task;
        normalizeDictionary(record, conduit);
        EXPECT_EQ(record, task);
    }
    // Contacts go through the name steps.
    QVariantMap contact{{QStringLiteral("FULLNAME"), QStringLiteral("John Smith")}};
    normalizeDictionary(contact, 1);
    EXPECT_EQ(contact.value(QStringLiteral("FILEAS")).toString(), QStringLiteral("Smith, John"));
}
