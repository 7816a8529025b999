#include "platform/foundation/Scanner.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <random>

using platform::CharacterSet;
using platform::Scanner;

namespace {

std::string show(const std::optional<QString> &text)
{
    return (text ? u'"' + *text + u'"' : QStringLiteral("nothing")).toStdString();
}

} // namespace

TEST(Scanner, ScansUpToATargetKeepingWhatTrailsThePiece)
{
    struct Row
    {
        const char *name;
        QString text;
        QString target;
        std::optional<QString> scanned;
        qsizetype locationAfter;
    };
    const Row rows[] = {
        {"stops before the target and keeps the CR", QStringLiteral("OK\r\nrest"), QStringLiteral("\n"),
         QStringLiteral("OK\r"), 3},
        {"skips leading white space and line ends", QStringLiteral(" \t\r\n key=value"), QStringLiteral("="),
         QStringLiteral("key"), 8},
        {"nothing at the target", QStringLiteral("=value"), QStringLiteral("="), std::nullopt, 0},
        {"nothing at the target after skipping", QStringLiteral("  \n=value"), QStringLiteral("="), std::nullopt, 0},
        {"to the end when the target is missing", QStringLiteral("last line"), QStringLiteral("\n"),
         QStringLiteral("last line"), 9},
        {"nothing from white space only", QStringLiteral(" \r\n\t "), QStringLiteral("\n"), std::nullopt, 0},
        {"nothing from the empty text", QString(), QStringLiteral("\n"), std::nullopt, 0},
        {"an empty target scans to the end", QStringLiteral("abc"), QString(), QStringLiteral("abc"), 3},
        {"the target is found whatever its case", QStringLiteral("header list=3"), QStringLiteral("LIST="),
         QStringLiteral("header "), 7},
        {"a tab ends an item", QStringLiteral("UID\tNAME\n"), QStringLiteral("\t"), QStringLiteral("UID"), 3},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Scanner scanner(row.text);
        const std::optional<QString> scanned = scanner.scanUpToString(row.target);
        EXPECT_EQ(show(scanned), show(row.scanned));
        EXPECT_EQ(scanner.scanLocation(), row.locationAfter);
    }
}

TEST(Scanner, ReadsALogonReplyPairByPair)
{
    Scanner scanner(QStringLiteral("OK\r\nDeviceID=abc-12\r\nWifiVersion=3\nOS=droid\n\n"));
    ASSERT_TRUE(scanner.scanString(QStringLiteral("OK")));
    QStringList pairs;
    for (int guard = 0; guard < 10 && !scanner.isAtEnd(); ++guard) {
        const std::optional<QString> key = scanner.scanUpToString(QStringLiteral("="));
        ASSERT_TRUE(key);
        ASSERT_TRUE(scanner.scanString(QStringLiteral("=")));
        pairs.append(*key + u'|' + scanner.scanUpToString(QStringLiteral("\n")).value_or(QString()));
    }
    EXPECT_EQ(pairs.join(u','), QStringLiteral("DeviceID|abc-12\r,WifiVersion|3,OS|droid"));
    EXPECT_TRUE(scanner.isAtEnd());
}

TEST(Scanner, ScansStringsAndSignedIntegers)
{
    Scanner scanner(QStringLiteral("  list=  -42 +7 x 99999999999999999999 -99999999999999999999 12"));
    EXPECT_EQ(show(scanner.scanString(QStringLiteral("LIST="))), "\"list=\"") << "answers the text as it stands";
    EXPECT_EQ(scanner.scanInt(), -42);
    EXPECT_EQ(scanner.scanInt(), 7);
    const qsizetype beforeWord = scanner.scanLocation();
    EXPECT_EQ(scanner.scanInt(), std::nullopt);
    EXPECT_EQ(scanner.scanLocation(), beforeWord) << "a failed scan does not move";
    EXPECT_FALSE(scanner.scanString(QStringLiteral("y")));
    ASSERT_TRUE(scanner.scanString(QStringLiteral("x")));
    EXPECT_EQ(scanner.scanInteger(), std::numeric_limits<qint64>::max());
    EXPECT_EQ(scanner.scanInt(), std::numeric_limits<int>::min());
    EXPECT_EQ(scanner.scanInteger(), 12);
    EXPECT_TRUE(scanner.isAtEnd());
    EXPECT_EQ(scanner.scanInt(), std::nullopt);

    Scanner signOnly(QStringLiteral("- 5"));
    EXPECT_EQ(signOnly.scanInt(), std::nullopt) << "a sign must be followed by a digit";
    EXPECT_EQ(signOnly.scanLocation(), 0);

    Scanner mostNegative(QStringLiteral("-9223372036854775808"));
    EXPECT_EQ(mostNegative.scanInteger(), std::numeric_limits<qint64>::min());
}

TEST(Scanner, HonoursCaseSensitivityAndTheSkippedCharacters)
{
    Scanner caseSensitive(QStringLiteral("Value=1"));
    caseSensitive.setCaseSensitivity(Qt::CaseSensitive);
    EXPECT_FALSE(caseSensitive.scanString(QStringLiteral("VALUE")));
    EXPECT_EQ(show(caseSensitive.scanUpToString(QStringLiteral("value"))), "\"Value=1\"");

    // With nothing to skip, a leading tab is part of the piece: the empty first item of a list line.
    Scanner noSkipping(QStringLiteral("\tsecond"));
    noSkipping.setCharactersToBeSkipped(CharacterSet());
    EXPECT_EQ(noSkipping.scanUpToString(QStringLiteral("\t")), std::nullopt);
    EXPECT_FALSE(noSkipping.isAtEnd());

    Scanner custom(QStringLiteral("--,,value"));
    custom.setCharactersToBeSkipped(CharacterSet::fromCharacters(QStringLiteral("-,")));
    EXPECT_EQ(show(custom.scanUpToString(QStringLiteral("u"))), "\"val\"");

    // Unicode white space (no-break space, ideographic space, line separator) is skipped too.
    Scanner unicodeSpace(QStringLiteral("\u00a0\u3000\u2028word"));
    EXPECT_EQ(show(unicodeSpace.scanUpToString(QStringLiteral("\n"))), "\"word\"");
}

TEST(Scanner, KnowsItsEndAndItsLocation)
{
    EXPECT_TRUE(Scanner(QStringLiteral(" \t\r\n\u00a0 ")).isAtEnd()) << "white space only is at its end";
    EXPECT_TRUE(Scanner(QString()).isAtEnd());
    EXPECT_FALSE(Scanner(QStringLiteral(" x ")).isAtEnd());

    Scanner scanner(QStringLiteral("abc def"));
    scanner.setScanLocation(4);
    EXPECT_EQ(show(scanner.scanUpToString(QStringLiteral("z"))), "\"def\"");
    scanner.setScanLocation(-5);
    EXPECT_EQ(scanner.scanLocation(), 0);
    scanner.setScanLocation(1000);
    EXPECT_EQ(scanner.scanLocation(), 7);
    EXPECT_TRUE(scanner.isAtEnd());
    EXPECT_EQ(scanner.scanUpToString(QStringLiteral("a")), std::nullopt);
    EXPECT_EQ(scanner.scanString(QStringLiteral("a")), std::nullopt);
}

// Random texts built from the characters the scanner treats specially (line ends, signs, digits,
// surrogates, lone halves included), scanned by random operations: no crash, no read outside the text,
// every piece is the text between two locations, and every loop ends.
TEST(Scanner, SurvivesRandomAndMutatedText)
{
    const QString alphabet = QStringLiteral("ab=\t\r\n -+09OK\u00a0\u3000\u00e9") + QChar(0xD83D) + QChar(0xDE00);
    const QStringList targets = {QStringLiteral("\n"),  QStringLiteral("="), QStringLiteral("\t"),
                                 QStringLiteral("OK"),  QString(),           QStringLiteral("\r\n"),
                                 QString(QChar(0xDE00))};
    std::mt19937 random(20261207);
    const auto pick = [&random](qsizetype count) {
        return static_cast<qsizetype>(std::uniform_int_distribution<qsizetype>(0, count - 1)(random));
    };
    QString seed = QStringLiteral("OK\r\nDeviceID=1\r\nList=2\nUID\tNAME\n1\tx\n");
    for (int round = 0; round < 2000; ++round) {
        QString text = seed;
        if (round % 2 == 0) {
            text.clear();
            for (qsizetype length = pick(40); length > 0; --length)
                text += alphabet.at(pick(alphabet.size()));
        } else {
            for (int flips = 0; flips < 3 && !text.isEmpty(); ++flips)
                text[pick(text.size())] = alphabet.at(pick(alphabet.size()));
            text.truncate(pick(text.size() + 1));
        }
        SCOPED_TRACE(text.toStdString());
        Scanner scanner(text);
        scanner.setCaseSensitivity(round % 3 == 0 ? Qt::CaseSensitive : Qt::CaseInsensitive);
        for (int step = 0; step < 60; ++step) {
            const qsizetype operation = pick(5);
            const qsizetype before = scanner.scanLocation();
            std::optional<QString> piece;
            if (operation == 0)
                piece = scanner.scanUpToString(targets.at(pick(targets.size())));
            else if (operation == 1)
                piece = scanner.scanString(targets.at(pick(targets.size())));
            else if (operation == 2 && scanner.scanInteger())
                EXPECT_GT(scanner.scanLocation(), before);
            else if (operation == 3)
                scanner.setScanLocation(pick(text.size() + 20) - 10);
            else
                EXPECT_EQ(scanner.isAtEnd(), text.mid(scanner.scanLocation()).trimmed().isEmpty());
            ASSERT_GE(scanner.scanLocation(), 0);
            ASSERT_LE(scanner.scanLocation(), text.size());
            if (piece) {
                ASSERT_FALSE(piece->isEmpty());
                EXPECT_EQ(text.mid(scanner.scanLocation() - piece->size(), piece->size()), *piece);
                EXPECT_GT(scanner.scanLocation(), before);
            } else if (operation < 2) {
                EXPECT_EQ(scanner.scanLocation(), before) << "a failed scan does not move";
            }
        }
    }
}
