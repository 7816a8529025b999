#include "foundation/NSString+stripHtml.h"

#include "LogCapture.h"
#include "QtPrinters.h"
#include "foundation/Lumberjack/DDLog.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

TEST(PhoneText, EncodesSeparatorsAndLineBreaksAndDecodesThemBack)
{
    const QString original = QStringLiteral("a&b\tc\r\nd\ne");
    const QString encoded = hmWiFiEncodedString(original);
    EXPECT_EQ(encoded, QStringLiteral("a\u0007b\u0006c\rd\re"));
    EXPECT_EQ(hmWiFiDecodedString(encoded), QStringLiteral("a&b\tc\nd\ne")) << "CR LF comes back as LF";

    const QString withLfOnly = QStringLiteral("first line\nsecond & third\tcolumn");
    EXPECT_EQ(hmWiFiDecodedString(hmWiFiEncodedString(withLfOnly)), withLfOnly);
    EXPECT_EQ(hmWiFiEncodedString(QStringLiteral("lone\rcr")), QStringLiteral("lone\rcr"));
    EXPECT_FALSE(hmWiFiEncodedString(withLfOnly).contains(QLatin1Char('&')));
}

TEST(ListParser, GivesOneDictionaryPerRow)
{
    const QString reply = QStringLiteral("UID\tNOTE\n1\tfirst\n2\tsecond\n");
    const QList<QVariantMap> expected{
        {{QStringLiteral("UID"), QStringLiteral("1")}, {QStringLiteral("NOTE"), QStringLiteral("first")}},
        {{QStringLiteral("UID"), QStringLiteral("2")}, {QStringLiteral("NOTE"), QStringLiteral("second")}}};
    EXPECT_EQ(dictionaryListFromDelimittedList(reply), expected);
    EXPECT_EQ(dictionaryListFromDelimittedList(QStringLiteral("OK\nList=2\n") + reply), expected)
        << "the whole reply with its List= line";
    EXPECT_EQ(dictionaryListFromDelimittedList(QStringLiteral("list=2 more\n\n\n") + reply), expected)
        << "the marker in any case, blank lines skipped";
}

TEST(ListParser, StopsAtAShortOrMisshapenLineAndKeepsEarlierRows)
{
    struct Row
    {
        const char *name;
        const char *text;
        int rows;
        QString lastNote;
    };
    const Row rows[] = {
        {"empty text", "", 0, QString()},
        {"header only", "UID\tNOTE\n", 0, QString()},
        {"a line of one item ends the list", "UID\tNOTE\n1\tx\nlonely\n2\ty\n", 1, QStringLiteral("x")},
        {"a line starting with TAB loses it", "UID\tNOTE\n1\tx\n\ty\n", 1, QStringLiteral("x")},
        {"a CR stays in the last item", "UID\tNOTE\r\n1\tx\r\n", 1, QString()},
        {"no List= content after the marker line", "List=0\n", 0, QString()},
        {"white space only", " \n\t\r\n ", 0, QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QList<QVariantMap> parsed = dictionaryListFromDelimittedList(QString::fromUtf8(row.text));
        ASSERT_EQ(parsed.size(), row.rows);
        if (!row.lastNote.isNull()) {
            EXPECT_EQ(parsed.last().value(QStringLiteral("NOTE")).toString(), row.lastNote);
        }
    }
    const QList<QVariantMap> withCr = dictionaryListFromDelimittedList(QStringLiteral("UID\tNOTE\r\n1\tx\r\n"));
    EXPECT_EQ(withCr.first().value(QStringLiteral("NOTE\r")).toString(), QStringLiteral("x\r"));
}

TEST(ListParser, LogsTheCountMismatchWithBothLines)
{
    LogCapture log(LOG_LEVEL_VERBOSE);
    const QList<QVariantMap> parsed =
        dictionaryListFromDelimittedList(QStringLiteral("UID\tNOTE\n1\tx\n2\ty\tz\n3\tw\n"));
    ASSERT_EQ(parsed.size(), 1);
    EXPECT_EQ(parsed.first().value(QStringLiteral("UID")).toString(), QStringLiteral("1"));
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("scanner at 'U'"),
                                        QStringLiteral("ERROR: Headers item count (2) differs from value item count (3)."),
                                        QStringLiteral("Header: 'UID\tNOTE'"), QStringLiteral("Values: '2\ty\tz'")}));
}

// The parser takes untrusted replies: random texts and damaged real replies must parse to rows that keep
// the header's shape, without crashing or reading outside the text (the sanitizer build checks that).
TEST(ListParser, SurvivesRandomAndMutatedReplies)
{
    QRandomGenerator random(20240115);
    const QString alphabet = QStringLiteral("ab1\t\t\n\n\r =LiStl\u00e9\u0007\u2028\u3000");
    const QString sample = QStringLiteral("OK\nList=3\nUID\tNOTE\tSUBJECT\nu1\tn1\ts1\nu2\tn\u00e92\ts2\r\nu3\t\tempty\n");
    auto checkShape = [](const QString &input) {
        const QList<QVariantMap> parsed = dictionaryListFromDelimittedList(input);
        ASSERT_LE(parsed.size(), input.count(QLatin1Char('\n')) + 1) << qPrintable(input);
        for (const QVariantMap &row : parsed) {
            ASSERT_FALSE(row.isEmpty()) << qPrintable(input);
            for (const QVariant &value : row)
                ASSERT_FALSE(value.toString().contains(QLatin1Char('\n'))) << qPrintable(input);
        }
    };
    ddLogLevel.store(LOG_LEVEL_OFF);
    for (qsizetype length = 0; length <= sample.size(); ++length)
        checkShape(sample.left(length));
    for (int round = 0; round < 3000; ++round) {
        QString input;
        if (round % 2 == 0) {
            const int length = random.bounded(80);
            for (int i = 0; i < length; ++i)
                input.append(alphabet.at(random.bounded(alphabet.size())));
        } else {
            input = sample;
            const int flips = 1 + random.bounded(6);
            for (int i = 0; i < flips; ++i) {
                const int at = random.bounded(input.size());
                if (random.bounded(3) == 0)
                    input.remove(at, 1);
                else
                    input[at] = alphabet.at(random.bounded(alphabet.size()));
            }
        }
        checkShape(input);
        if (HasFatalFailure())
            return;
    }
}

TEST(Identifiers, Md5TextsHashTheUtf8BytesUpToTheFirstZero)
{
    EXPECT_EQ(md5(QStringLiteral("password")), QStringLiteral("5F4DCC3B5AA765D61D8327DEB882CF99"));
    EXPECT_EQ(md5(QStringLiteral("")), QStringLiteral("D41D8CD98F00B204E9800998ECF8427E"));
    EXPECT_TRUE(md5(QString()).isNull());
    EXPECT_EQ(md5(QString::fromUtf8("password\0ignored", 16)), md5(QStringLiteral("password")));
    EXPECT_EQ(md5(QString::fromUtf8("caf\xc3\xa9")), QStringLiteral("07117FE4A1EBD544965DC19573183DA2"));

    const QString uid = uidString();
    EXPECT_EQ(uid.size(), 36);
    EXPECT_EQ(uid, uid.toLower());
    EXPECT_NE(uid, uidString());
}
