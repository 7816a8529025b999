#include "Cps/CCpsString.h"

#include "CpsTestSupport.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string text(const CCpsString &string)
{
    return string.GetData() ? string.GetData() : "<null>";
}

TEST(CCpsString, GrowsItsCapacityInStepsOf16)
{
    EXPECT_EQ(CCpsString().GetCapacity(), 0u);
    EXPECT_EQ(CCpsString("").GetCapacity(), 16u);
    EXPECT_EQ(CCpsString("0123456789abcde").GetCapacity(), 16u);
    EXPECT_EQ(CCpsString("0123456789abcdef").GetCapacity(), 32u);
    CCpsString fifteen("0123456789abcde");
    fifteen += 'f';
    EXPECT_EQ(fifteen.GetCapacity(), 32u);
    fifteen = "x";
    EXPECT_EQ(fifteen.GetCapacity(), 32u) << "storage never shrinks";
    // A text that grows byte by byte past several steps stays whole.
    CCpsString string;
    std::string expected;
    for (int index = 0; index < 40; ++index) {
        string += static_cast<char>('a' + index % 26);
        expected += static_cast<char>('a' + index % 26);
        ASSERT_EQ(text(string), expected);
        ASSERT_EQ(string.GetLength(), expected.size());
    }
    string += "0123456789ABCDEF";
    EXPECT_EQ(text(string), expected + "0123456789ABCDEF");
}

TEST(CCpsString, ExtractsSubstrings)
{
    const CCpsString abcdef("abcdef");
    const CCpsString abc("abc");
    struct Row
    {
        const char *name;
        CCpsString result;
        const char *expected;
    };
    const Row rows[] = {
        {"mid past the end keeps what remains", abcdef.Mid(2, 100), "cdef"},
        {"mid at the length is empty", abcdef.Mid(6, 1), ""},
        {"mid from a negative start begins at 0", abcdef.Mid(-3, 2), "ab"},
        {"mid with a negative count copies to the end", abcdef.Mid(1, -1), "bcdef"},
        {"mid with count 0 is empty", abcdef.Mid(1, 0), ""},
        {"mid without count", abcdef.Mid(4), "ef"},
        {"right longer than the text", abc.Right(10), "abc"},
        {"right", abcdef.Right(2), "ef"},
        {"left of -1 is the whole text", abc.Left(-1), "abc"},
        {"left of 0 is empty", abc.Left(0), ""},
        {"left", abcdef.Left(3), "abc"},
        {"mid of a null text", CCpsString().Mid(0, 3), ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(std::string(row.result.GetString()), row.expected);
        EXPECT_EQ(row.result.GetLength(), std::strlen(row.expected));
    }
}

TEST(CCpsString, SearchesForwardBackwardAndWithoutCase)
{
    constexpr std::uint32_t none = CCpsString::kNotFound;
    const CCpsString abcab("abcab");
    const CCpsString mixed("Hello World");
    struct Row
    {
        const char *name;
        std::uint32_t found;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {"reverse find of the last occurrence", abcab.ReverseFind("ab"), 3},
        {"reverse find of the only occurrence", CCpsString("abcac").ReverseFind("ab"), 0},
        {"reverse find of a missing text", abcab.ReverseFind("x"), none},
        {"reverse find of an empty text", abcab.ReverseFind(""), none},
        {"reverse find of a character", abcab.ReverseFind('b'), 4},
        {"find of a text", abcab.Find("ca"), 2},
        {"find from a start", abcab.Find("ab", 1u), 3},
        {"find from past the length", abcab.Find("ab", 6u), none},
        {"find of a character from a start", abcab.Find('a', 1u), 3},
        {"find of the zero character is the terminator", abcab.Find('\0'), 5},
        {"find of a null text", abcab.Find(static_cast<const char *>(nullptr)), none},
        {"find in a null text", CCpsString().Find("a"), none},
        {"find without case", mixed.FindNoCase("WORLD"), 6},
        {"find without case of an empty text", mixed.FindNoCase(""), 0},
        {"find without case of a longer text", CCpsString("ab").FindNoCase("abc"), none},
        {"find without case at the end", mixed.FindNoCase("LD"), 9},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.found, row.expected);
    }
}

TEST(CCpsString, AnswersCharactersOnlyInsideTheText)
{
    const CCpsString string("xyz");
    EXPECT_EQ(string.GetAt(std::uint64_t{2}), 'z');
    EXPECT_EQ(string.GetAt(2), 'z');
    EXPECT_EQ(string.GetAt(2u), 'z');
    EXPECT_EQ(string.GetAt(std::uint64_t{3}), -1);
    EXPECT_EQ(string.GetAt(3), -1);
    EXPECT_EQ(string.GetAt(3u), -1);
    EXPECT_EQ(string.GetAt(-1), -1);
    EXPECT_EQ(CCpsString("\xE9").GetAt(0), static_cast<signed char>('\xE9'));
    EXPECT_EQ(CCpsString().GetAt(0), -1);
}

TEST(CCpsString, ComparesWithNullAndCase)
{
    const CCpsString value("abc");
    const CCpsString never;
    EXPECT_FALSE(value == nullptr);
    EXPECT_FALSE(value != nullptr);
    EXPECT_TRUE(never == "");
    EXPECT_FALSE(never != "");
    EXPECT_TRUE(never != "a");
    EXPECT_TRUE(value < "abd");
    EXPECT_TRUE(value <= "abc");
    EXPECT_TRUE(value > "abb");
    EXPECT_TRUE(value >= "abc");
    EXPECT_FALSE(never < "a");
    EXPECT_FALSE(never >= "");
    EXPECT_TRUE(value.EqualsNoCase("ABC"));
    EXPECT_FALSE(value.EqualsNoCase(never));
    EXPECT_TRUE(value.DiffersNoCase(never));
    EXPECT_FALSE(value.DiffersNoCase(CCpsString("AbC")));
    EXPECT_EQ(CCpsString::CompareNoCase("ABC", "abc"), 0);
    EXPECT_LT(CCpsString::CompareNoCase(nullptr, "a"), 0);
}

TEST(CCpsString, EditsInPlace)
{
    struct Row
    {
        const char *name;
        const char *input;
        CCpsString (*edit)(CCpsString &);
        const char *expected;
    };
    const Row rows[] = {
        {"trim both ends", " \t a b \r\n", [](CCpsString &s) { return s.Trim(); }, "a b"},
        {"trim right of blanks only", "   ", [](CCpsString &s) { return s.TrimRight(); }, ""},
        {"trim left of blanks only", "\r\n", [](CCpsString &s) { return s.TrimLeft(); }, ""},
        {"trim left", "\t x ", [](CCpsString &s) { return s.TrimLeft(); }, "x "},
        {"replace does not search inserted text", "aXa",
         [](CCpsString &s) {
             s.Replace("a", "aa");
             return s;
         },
         "aaXaa"},
        {"replace by a shorter text", "one, two, three",
         [](CCpsString &s) {
             s.Replace(", ", ",");
             return s;
         },
         "one,two,three"},
        {"replace of an empty text", "abc",
         [](CCpsString &s) {
             s.Replace("", "x");
             return s;
         },
         "abc"},
        {"delete inside", "abcdef",
         [](CCpsString &s) {
             s.Delete(1, 2);
             return s;
         },
         "adef"},
        {"delete to the end", "abcdef",
         [](CCpsString &s) {
             s.Delete(2, -1);
             return s;
         },
         "ab"},
        {"delete past the end cuts", "abcdef",
         [](CCpsString &s) {
             s.Delete(4, 10);
             return s;
         },
         "abcd"},
        {"delete from past the length does nothing", "abc",
         [](CCpsString &s) {
             s.Delete(9, 1);
             return s;
         },
         "abc"},
        {"lower case copy", "MiXeD", [](CCpsString &s) { return s.LowerCase(); }, "mixed"},
        {"upper case copy", "MiXeD", [](CCpsString &s) { return s.UpperCase(); }, "MIXED"},
        {"time plus an hour clamps at 23", "23:30:00", [](CCpsString &s) { return s.AddSecondsToTime(3600); },
         "23:30:00"},
        {"time minus 61 seconds clamps at 0", "00:00:30", [](CCpsString &s) { return s.AddSecondsToTime(-61); },
         "00:59:29"},
        {"time carries seconds into minutes and hours", "10:59:30",
         [](CCpsString &s) { return s.AddSecondsToTime(45); }, "11:00:15"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        CCpsString string(row.input);
        const CCpsString answered = row.edit(string);
        EXPECT_EQ(text(string), row.expected);
        EXPECT_EQ(text(answered), row.expected);
        EXPECT_EQ(string.GetLength(), std::strlen(row.expected));
    }
}

TEST(CCpsString, SplitsAtASeparatorWithoutCase)
{
    struct Row
    {
        const char *input;
        const char *separator;
        const char *head;
        const char *rest;
    };
    const Row rows[] = {
        {"One, Two", ", ", "One", "Two"},
        {"One", ", ", "One", ""},
        {"keyANDvalue", "and", "key", "value"},
        {"a::b::c", "::", "a", "b::c"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.input);
        CCpsString string(row.input);
        EXPECT_EQ(text(string.SplitAtNoCase(row.separator)), row.head);
        EXPECT_EQ(text(string), row.rest);
    }
}

TEST(CCpsString, FindsBytesOutsideASet)
{
    const CCpsString string("  ab  ");
    EXPECT_EQ(string.FindFirstNotOf(" "), 2);
    EXPECT_EQ(string.FindLastNotOf(" "), 3);
    EXPECT_EQ(string.FindFirstNotOf(""), 0);
    EXPECT_EQ(string.FindLastNotOf(""), 6);
    EXPECT_EQ(string.FindFirstNotOf(" ab"), -1);
    EXPECT_EQ(string.FindLastNotOf(nullptr), -1);
    EXPECT_EQ(CCpsString().FindFirstNotOf(" "), -1);
    EXPECT_EQ(string.Count(' '), 4);
}

TEST(CCpsString, KeepsItsTextThroughAssignmentsAndConcatenation)
{
    CCpsString string("abc");
    string = nullptr;
    EXPECT_EQ(text(string), "abc");
    string = CCpsString("");
    EXPECT_EQ(text(string), "");
    string += nullptr;
    string += CCpsString();
    string += "x";
    EXPECT_EQ(text(string + "y"), "xy");
    EXPECT_EQ(text("w" + string), "wx");
    EXPECT_EQ(text(string + CCpsString("z")), "xz");
    CCpsString doubled("0123456789abcd");
    doubled += doubled;
    doubled += doubled.GetData() + 20;
    EXPECT_EQ(text(doubled), "0123456789abcd0123456789abcd6789abcd");
    EXPECT_EQ(text(CCpsString(-42)), "-42");
    EXPECT_EQ(text(CCpsString(4294967295u)), "4294967295");
    EXPECT_EQ(text(CCpsString(std::uint64_t{18446744073709551615u})), "18446744073709551615");
    EXPECT_STREQ(CCpsString::GetSafeString(nullptr), "");
    EXPECT_STREQ(CCpsString().GetString(), "");
}

TEST(CCpsString, ContainsWithoutCaseAndLeavesTheArgument)
{
    const CCpsString haystack("Quarterly REPORT");
    const CCpsString needle("Report");
    EXPECT_TRUE(haystack.ContainsNoCase(needle));
    EXPECT_EQ(text(needle), "Report");
    EXPECT_TRUE(haystack.ContainsNoCase(CCpsString()));
    EXPECT_FALSE(CCpsString().ContainsNoCase(needle));
    EXPECT_FALSE(haystack.ContainsNoCase(CCpsString("memo")));
}

TEST(CCpsString, ComplementsBytesReversibly)
{
    CCpsString string("secret\x01");
    string.Complement();
    EXPECT_EQ(text(string), "\x8C\x9A\x9C\x8D\x9A\x8B\xFE");
    string.Complement();
    EXPECT_EQ(text(string), "secret\x01");
}

TEST(CCpsString, RecognisesMarksAndPrefixes)
{
    EXPECT_TRUE(CCpsString::StartsWithUnicodeMark("\xFF\xFEx", 3));
    EXPECT_FALSE(CCpsString::StartsWithUnicodeMark("\xFE\xFF", 2));
    EXPECT_FALSE(CCpsString::StartsWithUnicodeMark("\xFF", 1));
    EXPECT_TRUE(CCpsString::EqualsFirstNoCase("CONTENT-Type: text", 12, "content-type"));
    EXPECT_FALSE(CCpsString::EqualsFirstNoCase("Content-Type", 7, "content-type"));
    EXPECT_TRUE(CCpsString::EqualsFirstNoCase("ab", 10, "AB"));
}

// The current-time text must be a real local time also where the offset crosses midnight, which a
// carry of minutes alone turns into "24:00:05" or keeps on the wrong day.
TEST(CCpsString, CurrentTimeTextCarriesAcrossMidnight)
{
    struct Row
    {
        const char *name;
        int localSecondOfDay;
        int offset;
    };
    const Row rows[] = {{"forward past midnight", 86395, 10},
                        {"back before midnight", 3, -10},
                        {"forward by a day and a bit", 43200, 86400 + 90}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::time_t before = std::time(nullptr);
        const int zoneOffset = ((row.localSecondOfDay - static_cast<int>(before % 86400)) % 86400 + 86400) % 86400;
        char zone[32];
        std::snprintf(zone, sizeof zone, "CPS-%02d:%02d:%02d", zoneOffset / 3600, zoneOffset / 60 % 60,
                      zoneOffset % 60);
        const cpstest::ScopedTimeZone timeZone(zone);
        const CCpsString now(CCpsString::CurrentTime{}, row.offset);
        const std::time_t after = std::time(nullptr);
        bool matched = false;
        for (std::time_t moment = before; moment <= after; ++moment) {
            const std::time_t shifted = moment + row.offset;
            std::tm parts{};
            localtime_r(&shifted, &parts);
            char expected[32];
            std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &parts);
            matched = matched || text(now) == expected;
        }
        EXPECT_TRUE(matched) << text(now) << " in zone " << zone;
    }
}

} // namespace
