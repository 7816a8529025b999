#include "platform/foundation/TextClasses.h"

#include <unicode/uchar.h>

#include <gtest/gtest.h>

using namespace platform;

TEST(TextClasses, SortsCharactersIntoThePlatformsClasses)
{
    struct Row
    {
        const char *name;
        char32_t codePoint;
        const char *classes; // a alphanumeric, l letter, d digit, p punctuation, s symbol, w white space, n newline
    };
    const Row rows[] = {
        {"latin letter", U'a', "al"},
        {"accented letter", U'\u00e9', "al"},
        {"combining acute", U'\u0301', "al"},
        {"greek letter", U'\u03a9', "al"},
        {"CJK ideograph", U'\u4e2d', "al"},
        {"digit", U'7', "ad"},
        {"arabic-indic digit", U'\u0663', "ad"},
        {"roman numeral", U'\u2163', "a"},
        {"emoji beyond the BMP", U'\U0001F600', "s"},
        {"mathematical letter beyond the BMP", U'\U0001D400', "al"},
        {"full stop", U'.', "p"},
        {"ampersand", U'&', "p"},
        {"hyphen", U'-', "p"},
        {"em dash", U'\u2014', "p"},
        {"plus", U'+', "s"},
        {"dollar", U'$', "s"},
        {"euro", U'\u20ac', "s"},
        {"caret", U'^', "s"},
        {"space", U' ', "w"},
        {"tab", U'\t', "w"},
        {"no-break space", U'\u00a0', "w"},
        {"ideographic space", U'\u3000', "w"},
        {"line feed", U'\n', "n"},
        {"carriage return", U'\r', "n"},
        {"next line", U'\u0085', "n"},
        {"line separator", U'\u2028', "n"},
        {"paragraph separator", U'\u2029', "n"},
        {"bell", U'\u0007', ""},
        {"lone surrogate", char32_t(0xD800), ""},
        {"private use", U'\ue000', ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string classes;
        classes += CharacterSet::alphanumerics().contains(row.codePoint) ? "a" : "";
        classes += CharacterSet::letters().contains(row.codePoint) ? "l" : "";
        classes += CharacterSet::decimalDigits().contains(row.codePoint) ? "d" : "";
        classes += CharacterSet::punctuation().contains(row.codePoint) ? "p" : "";
        classes += CharacterSet::symbols().contains(row.codePoint) ? "s" : "";
        classes += CharacterSet::whitespaces().contains(row.codePoint) ? "w" : "";
        classes += CharacterSet::newlines().contains(row.codePoint) ? "n" : "";
        EXPECT_EQ(classes, row.classes);
        EXPECT_EQ(CharacterSet::whitespacesAndNewlines().contains(row.codePoint), classes == "w" || classes == "n");
    }
}

TEST(TextClasses, BuildsSetsOfCharactersAndSkipsThem)
{
    const CharacterSet separators = CharacterSet::fromCharacters(QStringLiteral(",;,\U0001F600"));
    EXPECT_TRUE(separators.contains(U','));
    EXPECT_TRUE(separators.contains(U'\U0001F600'));
    EXPECT_FALSE(separators.contains(U'.'));
    const CharacterSet both = separators.united(CharacterSet::decimalDigits());
    EXPECT_TRUE(both.contains(U';'));
    EXPECT_TRUE(both.contains(U'5'));
    EXPECT_TRUE(CharacterSet().isEmpty());
    EXPECT_FALSE(CharacterSet().contains(U' '));

    const QString text = QStringLiteral(" \t\U0001F600x") + QChar(0xDC00);
    EXPECT_EQ(indexAfterCharacters(text, 0, CharacterSet::whitespaces()), 2);
    EXPECT_EQ(indexAfterCharacters(text, 2, separators), 4) << "a surrogate pair is skipped whole";
    EXPECT_EQ(indexAfterCharacters(text, 5, CharacterSet::whitespaces()), 5) << "a lone surrogate is not white space";
    EXPECT_EQ(indexAfterCharacters(text, 99, CharacterSet::whitespaces()), text.size());
    EXPECT_EQ(indexAfterCharacters(text, -3, CharacterSet()), 0);
}

TEST(TextClasses, ComparesTextsIgnoringCaseAndDiacriticsWhenAsked)
{
    struct Row
    {
        const char *name;
        QString left;
        QString right;
        Qt::CaseSensitivity caseSensitivity;
        Diacritics diacritics;
        int order; // -1 left first, 0 equal, 1 right first
    };
    const auto cs = Qt::CaseSensitive;
    const auto ci = Qt::CaseInsensitive;
    const Row rows[] = {
        {"identifiers differing in case", QStringLiteral("4F0B-abc"), QStringLiteral("4f0b-ABC"), ci,
         Diacritics::Ignore, 0},
        {"case counts when asked", QStringLiteral("abc"), QStringLiteral("ABC"), cs, Diacritics::Respect, 1},
        {"bundle name ignoring case", QStringLiteral("com.microsoft.outlook"), QStringLiteral("com.microsoft.Outlook"),
         ci, Diacritics::Respect, 0},
        {"accents ignored", QStringLiteral("Caf\u00e9 cr\u00e8me"), QStringLiteral("cafe CREME"), ci,
         Diacritics::Ignore, 0},
        {"accents respected", QStringLiteral("caf\u00e9"), QStringLiteral("cafe"), ci, Diacritics::Respect, 1},
        {"precomposed equals decomposed", QStringLiteral("caf\u00e9"), QStringLiteral("cafe\u0301"), cs,
         Diacritics::Respect, 0},
        {"sharp s folds to ss", QStringLiteral("Stra\u00dfe"), QStringLiteral("STRASSE"), ci, Diacritics::Respect, 0},
        {"greek final sigma", QStringLiteral("\u039f\u03a3"), QStringLiteral("\u03bf\u03c2"), ci, Diacritics::Respect,
         0},
        {"ordering ignoring case", QStringLiteral("apple"), QStringLiteral("Banana"), ci, Diacritics::Respect, -1},
        {"ordering by code unit with case", QStringLiteral("apple"), QStringLiteral("Banana"), cs, Diacritics::Respect,
         1},
        {"a prefix first", QStringLiteral("ab"), QStringLiteral("ABC"), ci, Diacritics::Respect, -1},
        {"empty texts", QString(), QString(""), cs, Diacritics::Respect, 0},
        {"different letters stay different", QStringLiteral("\u00f8"), QStringLiteral("o"), ci, Diacritics::Ignore, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::weak_ordering order = compareText(row.left, row.right, row.caseSensitivity, row.diacritics);
        EXPECT_EQ(order < 0 ? -1 : (order > 0 ? 1 : 0), row.order);
        const std::weak_ordering reversed = compareText(row.right, row.left, row.caseSensitivity, row.diacritics);
        EXPECT_EQ(reversed < 0 ? -1 : (reversed > 0 ? 1 : 0), -row.order);
        EXPECT_EQ(textEquals(row.left, row.right, row.caseSensitivity, row.diacritics), row.order == 0);
    }
}

TEST(TextClasses, SortsAsciiAsIcusCategoriesDo)
{
    // ASCII is classed without ICU's tables; every character must land where its category puts it.
    struct Row
    {
        CharacterSet set;
        uint32_t categories;
        bool withTab;
    };
    const Row rows[] = {{CharacterSet::whitespaces(), U_GC_ZS_MASK, true},
                        {CharacterSet::alphanumerics(), U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK, false},
                        {CharacterSet::letters(), U_GC_L_MASK | U_GC_M_MASK, false},
                        {CharacterSet::decimalDigits(), U_GC_ND_MASK, false},
                        {CharacterSet::punctuation(), U_GC_P_MASK, false},
                        {CharacterSet::symbols(), U_GC_S_MASK, false}};
    for (const Row &row : rows) {
        for (char32_t codePoint = 0; codePoint < 0x80; ++codePoint) {
            const bool expected =
                (U_GET_GC_MASK(UChar32(codePoint)) & row.categories) != 0 || (row.withTab && codePoint == 0x09);
            EXPECT_EQ(row.set.contains(codePoint), expected) << "U+" << std::hex << unsigned(codePoint);
        }
    }
    const CharacterSet newlines = CharacterSet::newlines();
    for (char32_t codePoint = 0; codePoint < 0x80; ++codePoint)
        EXPECT_EQ(newlines.contains(codePoint), codePoint >= 0x0A && codePoint <= 0x0D) << unsigned(codePoint);
}
