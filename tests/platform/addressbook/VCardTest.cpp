// The vCard text layer: escaping, folding, what it refuses, and that no damaged input crashes it.
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCard.h"

#include "AddressBookTestSupport.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <random>

using namespace platform;

TEST(VCardText, EscapesWhatWouldShiftFields)
{
    struct Row { const char *name; const char *text; const char *escaped; };
    const Row rows[] = {
        {"semicolon in a street", "Main St; Apt 4", "Main St\\; Apt 4"},
        {"comma in a name", "Smith, Jr.", "Smith\\, Jr."},
        {"backslash", "C:\\dir", "C:\\\\dir"},
        {"line feed", "one\ntwo", "one\\ntwo"},
        {"carriage return and line feed", "one\r\ntwo", "one\\ntwo"},
        {"ampersand and accents stay", "Fish & chips, Zoë", "Fish & chips\\, Zoë"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString text = QString::fromUtf8(row.text);
        EXPECT_EQ(VCard::escapeText(text), QString::fromUtf8(row.escaped));
        const QString back = VCard::unescapeText(VCard::escapeText(text));
        EXPECT_EQ(back, QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    }
}

TEST(VCardText, StructuredValuesSplitOnlyAtUnescapedSeparators)
{
    const QStringList parts = VCard::splitStructured(QStringLiteral("Doe\\;Smith;Jane;;Dr.;"), QLatin1Char(';'));
    ASSERT_EQ(parts.size(), 5);
    EXPECT_EQ(VCard::unescapeText(parts.at(0)), QStringLiteral("Doe;Smith"));
    EXPECT_EQ(parts.at(1), QStringLiteral("Jane"));
    EXPECT_EQ(parts.at(3), QStringLiteral("Dr."));
}

TEST(VCardText, FoldsLongLinesAtSeventyFiveOctetsWithoutSplittingCharacters)
{
    VCard card;
    const QString note = QString::fromUtf8("北京的笔记、").repeated(40) + QStringLiteral(" end");
    card.appendText(QStringLiteral("NOTE"), note);
    const QByteArray text = card.serialize();
    for (const QByteArray &line : text.split('\n')) {
        EXPECT_LE(line.size(), 76) << line.constData(); // 75 octets and the CR
        EXPECT_FALSE(QString::fromUtf8(line).contains(QChar::ReplacementCharacter)) << line.constData();
    }
    const Result<VCard> parsed = VCard::parse(text);
    ASSERT_TRUE(parsed) << parsed.error().message().toStdString();
    EXPECT_EQ(VCard::unescapeText(parsed->property(QStringLiteral("NOTE"))->value), note);
}

TEST(VCardText, WritesGroupsAndParametersByteForByte)
{
    struct Row { const char *name; VCardProperty line; QByteArray written; };
    const Row rows[] = {
        {"plain values", {QString(), QStringLiteral("TEL"), {{QStringLiteral("TYPE"), {QStringLiteral("WORK"), QStringLiteral("FAX")}}}, QStringLiteral("1")},
         "TEL;TYPE=WORK,FAX:1\r\n"},
        {"a group", {QStringLiteral("item1"), QStringLiteral("EMAIL"), {}, QStringLiteral("a@b")}, "item1.EMAIL:a@b\r\n"},
        {"separators are quoted", {QString(), QStringLiteral("URL"), {{QStringLiteral("TYPE"), {QStringLiteral("a,b"), QStringLiteral("c;d"), QStringLiteral("e:f")}}}, QStringLiteral("x")},
         "URL;TYPE=\"a,b\",\"c;d\",\"e:f\":x\r\n"},
        {"quotes go, line breaks turn to spaces", {QString(), QStringLiteral("X-A"), {{QStringLiteral("L"), {QStringLiteral("say \"hi\"\r\nnow")}}}, QStringLiteral("v")},
         "X-A;L=say hi  now:v\r\n"},
        {"an empty parameter and two parameters", {QString(), QStringLiteral("X-B"), {{QStringLiteral("P"), {}}, {QStringLiteral("Q"), {QString()}}}, QString()},
         "X-B;P=;Q=:\r\n"},
        {"a long line folds", {QStringLiteral("g"), QStringLiteral("NOTE"), {{QStringLiteral("TYPE"), {QStringLiteral("x")}}}, QString(80, QLatin1Char('n'))},
         "g.NOTE;TYPE=x:" + QByteArray(61, 'n') + "\r\n " + QByteArray(19, 'n') + "\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        VCard card;
        card.properties().append(row.line);
        EXPECT_EQ(card.serialize(), "BEGIN:VCARD\r\nVERSION:3.0\r\n" + row.written + "END:VCARD\r\n");
    }
}

TEST(VCardText, RefusesWhatIsNotOneCard)
{
    struct Row { const char *name; QByteArray bytes; const char *problem; };
    const Row rows[] = {
        {"empty", QByteArray(), "empty"},
        {"only blanks", "\r\n  \r\n", "empty"},
        {"no begin", "FN:Someone\r\nEND:VCARD\r\n", "before BEGIN"},
        {"no end", "BEGIN:VCARD\r\nFN:Someone\r\n", "no END"},
        {"two cards", "BEGIN:VCARD\r\nFN:A\r\nEND:VCARD\r\nBEGIN:VCARD\r\nFN:B\r\nEND:VCARD\r\n", "several cards"},
        {"nested", "BEGIN:VCARD\r\nBEGIN:VCARD\r\nEND:VCARD\r\nEND:VCARD\r\n", "inside a card"},
        {"no colon", "BEGIN:VCARD\r\nFN Someone\r\nEND:VCARD\r\n", "no name and colon"},
        {"too large", QByteArray(VCard::kMaxCardBytes + 1, 'x'), "more than"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<VCard> parsed = VCard::parse(row.bytes);
        ASSERT_FALSE(parsed);
        EXPECT_TRUE(parsed.error().message().contains(QLatin1String(row.problem))) << parsed.error().message().toStdString();
    }
}

TEST(VCardText, DamagedSamplesEndInACleanErrorOrACard)
{
    std::mt19937 random(20261207);
    for (const char *name : {"vcard40.vcf", "apple-export.vcf", "google-export.vcf"}) {
        const QByteArray sample = sampleBytes(QLatin1String(name));
        ASSERT_FALSE(sample.isEmpty()) << name;
        QList<QByteArray> inputs;
        for (qsizetype length = 0; length <= sample.size(); ++length)
            inputs.append(sample.left(length));
        for (int flip = 0; flip < 300; ++flip) {
            QByteArray damaged = sample;
            damaged[qsizetype(random() % quint32(damaged.size()))] = char(random() % 256);
            inputs.append(damaged);
        }
        for (const QByteArray &input : inputs) {
            const Result<VCard> card = VCard::parse(input);
            if (!card)
                continue;
            const std::shared_ptr<ABPerson> person = ABPerson::personWithUniqueId(QStringLiteral("fuzz"));
            ABVCardMapping::readCard(*card, *person);
            (void)ABVCardMapping::cardForRecord(*person, {}, {}).serialize();
        }
    }
}

TEST(VCardText, RevisionDatesInEveryFormOtherProgramsWrite)
{
    const QDateTime expected(QDate(2026, 12, 1), QTime(10, 15), Qt::UTC);
    for (const char *text : {"2026-12-01T10:15:00Z", "20261201T101500Z", "2026-12-01T11:15:00+01:00",
                             "2026-12-01T10:15:00.000Z"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ABVCardMapping::dateFromRevision(QLatin1String(text)), expected);
    }
    EXPECT_EQ(ABVCardMapping::dateFromRevision(QStringLiteral("2026-12-01")), QDateTime(QDate(2026, 12, 1), QTime(0, 0), Qt::UTC));
    EXPECT_FALSE(ABVCardMapping::dateFromRevision(QStringLiteral("yesterday")).isValid());
    EXPECT_EQ(ABVCardMapping::revisionText(expected), QStringLiteral("2026-12-01T10:15:00Z"));
}

TEST(VCardText, RevisionTextIsUtcToTheSecondForEveryYear)
{
    // Another zone is written in UTC, milliseconds are dropped, and a year is always four digits.
    const QDateTime zoned(QDate(2027, 1, 1), QTime(0, 30, 5, 999), QTimeZone(3600));
    EXPECT_EQ(ABVCardMapping::revisionText(zoned), QStringLiteral("2026-12-31T23:30:05Z"));
    EXPECT_EQ(ABVCardMapping::revisionText(QDateTime(QDate(987, 3, 4), QTime(5, 6, 7), Qt::UTC)),
              QStringLiteral("0987-03-04T05:06:07Z"));
    // Years a four-digit text cannot hold are written as the date formatter writes them.
    for (const QDateTime &date : {QDateTime(QDate(12345, 6, 7), QTime(8, 9, 10), Qt::UTC),
                                  QDateTime(QDate(-44, 3, 15), QTime(12, 0), Qt::UTC), QDateTime()}) {
        SCOPED_TRACE(date.toString(Qt::ISODate).toStdString());
        EXPECT_EQ(ABVCardMapping::revisionText(date), date.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'")));
    }
}
