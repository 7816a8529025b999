#include "foundation/HMStringFormatters.h"

#include <gtest/gtest.h>

TEST(HMStringFormatters, OrdinalsTakeTheirEnglishSuffixes)
{
    const std::pair<qint64, const char *> rows[] = {
        {0, ""},        {1, "1st"},     {2, "2nd"},     {3, "3rd"},   {4, "4th"},     {11, "11th"},
        {12, "12th"},   {13, "13th"},   {21, "21st"},   {22, "22nd"}, {23, "23rd"},   {31, "31st"},
        {101, "101st"}, {111, "111th"}, {112, "112th"}, {-1, "-1st"}, {-12, "-12th"},
    };
    for (const auto &[number, text] : rows)
        EXPECT_EQ(HMStringFormatters::ordinalForInteger(number), QLatin1String(text)) << number;
    EXPECT_FALSE(HMStringFormatters::ordinalForInteger(0).isNull());
}

TEST(HMStringFormatters, OrdinalWordsAndMonthNames)
{
    const std::pair<qint64, const char *> words[] = {{1, "first"}, {2, "other"}, {3, "third"}, {4, "fourth"},
                                                     {5, "fifth"}, {6, "6th"},   {0, "0th"},   {22, "22th"}};
    for (const auto &[number, text] : words)
        EXPECT_EQ(HMStringFormatters::ordinalWordForInteger(number), QLatin1String(text)) << number;

    const std::pair<qint64, const char *> months[] = {{1, "January"},   {2, "February"},      {9, "September"},
                                                      {12, "December"}, {0, "<month error>"}, {13, "<month error>"}};
    for (const auto &[number, text] : months)
        EXPECT_EQ(HMStringFormatters::monthNameForInteger(number), QLatin1String(text)) << number;
}
