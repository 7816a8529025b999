#include "outlook/sqlite/CpsObjectMap.h"

#include <gtest/gtest.h>

TEST(CpsObjectMap, StartsEmptyAndSetsEachFieldAlone)
{
    CpsObjectMap map;
    EXPECT_EQ(map.GetIndex(), 0);
    EXPECT_TRUE(map.GetAppleField().isNull());

    map.SetObjectMap(7, QStringLiteral("kABPhoneProperty"));
    map.SetIndex(-3);
    EXPECT_EQ(map.GetIndex(), -3);
    EXPECT_EQ(map.GetAppleField(), QStringLiteral("kABPhoneProperty"));
}
