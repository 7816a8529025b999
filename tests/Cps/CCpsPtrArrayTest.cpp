#include "Cps/CCpsPtrArray.h"

#include "CpsTestSupport.h"

#include <vector>

namespace {

int g_values[4096];

TEST(CCpsPtrArray, GrowsByFourWhileSmall)
{
    CCpsPtrArray array;
    std::vector<std::int64_t> capacities;
    for (int index = 0; index < 20; ++index) {
        ASSERT_EQ(array.Add(&g_values[index]), index);
        if (capacities.empty() || capacities.back() != array.GetCapacity())
            capacities.push_back(array.GetCapacity());
    }
    EXPECT_EQ(capacities, (std::vector<std::int64_t>{1, 5, 9, 13, 17, 21}));
    EXPECT_EQ(array.GetSize(), 20);
    EXPECT_EQ(array.GetCount(), 20);
    for (int index = 0; index < 20; ++index)
        ASSERT_EQ(array.GetAt(index), &g_values[index]) << index;
}

TEST(CCpsPtrArray, GrowsByAQuarterUpTo1024)
{
    CCpsPtrArray array;
    std::vector<std::int64_t> steps;
    std::int64_t capacity = 0;
    for (int index = 0; index < 12000; ++index) {
        array.Add(&g_values[index % 4096]);
        if (array.GetCapacity() != capacity) {
            steps.push_back(array.GetCapacity() - capacity);
            capacity = array.GetCapacity();
        }
    }
    // From size 16 on the step is size / 4; at size 4096 and beyond it stays 1024.
    EXPECT_EQ(steps[6], 5);
    EXPECT_EQ(steps.back(), 1024);
    CCpsPtrArray sized;
    sized.SetSize(4096);
    sized.SetSize(4097);
    EXPECT_EQ(sized.GetCapacity(), 4096 + 1024);
    sized.SetSize(sized.GetCapacity() + 1);
    EXPECT_EQ(sized.GetCapacity(), 4096 + 2048);
}

TEST(CCpsPtrArray, KeepsAGrowStepUntilItIsNeeded)
{
    CCpsPtrArray array;
    array.SetSize(10);
    EXPECT_EQ(array.GetCapacity(), 10);
    array.SetSize(10, 3);
    EXPECT_EQ(array.GetCapacity(), 10);
    array.Add(nullptr);
    EXPECT_EQ(array.GetCapacity(), 13);
    array.SetSize(20);
    EXPECT_EQ(array.GetCapacity(), 20);
    array.SetSize(-5, 100);
    EXPECT_EQ(array.GetSize(), 20);
    array.Add(nullptr);
    EXPECT_EQ(array.GetCapacity(), 23);
}

TEST(CCpsPtrArray, RefusesIndexesOutsideTheArray)
{
    CCpsPtrArray array;
    array.Add(&g_values[0]);
    array.Add(&g_values[1]);
    EXPECT_EQ(array.GetAt(-1), nullptr);
    EXPECT_EQ(array.GetAt(2), nullptr);
    EXPECT_EQ(array[1], &g_values[1]);
    EXPECT_FALSE(array.SetAt(2, &g_values[2]));
    EXPECT_FALSE(array.SetAt(-1, &g_values[2]));
    EXPECT_EQ(array.GetSize(), 2);
    EXPECT_TRUE(array.SetAt(0, &g_values[3]));
    EXPECT_EQ(array.GetAt(0), &g_values[3]);
    array.RemoveAt(5);
    array.RemoveAt(-1);
    EXPECT_EQ(array.GetSize(), 2);
}

TEST(CCpsPtrArray, RemovesByMovingDown)
{
    CCpsPtrArray array;
    for (int index = 0; index < 5; ++index)
        array.Add(&g_values[index]);
    array.RemoveAt(1);
    EXPECT_EQ(array.GetSize(), 4);
    EXPECT_EQ(array.GetAt(1), &g_values[2]);
    EXPECT_EQ(array.GetAt(3), &g_values[4]);
    const std::int64_t capacity = array.GetCapacity();
    array.RemoveAt(3);
    EXPECT_EQ(array.GetSize(), 3);
    EXPECT_EQ(array.GetAt(2), &g_values[3]);
    EXPECT_EQ(array.GetCapacity(), capacity);
    // Slots that come back into use read as null, never as the pointers they once held.
    array.SetSize(5);
    EXPECT_EQ(array.GetAt(3), nullptr);
    EXPECT_EQ(array.GetAt(4), nullptr);
    EXPECT_EQ(array.RemoveAll(), 0);
    EXPECT_EQ(array.GetSize(), 0);
    EXPECT_EQ(array.GetCapacity(), 0);
    array.Add(&g_values[7]);
    EXPECT_EQ(array.GetCapacity(), 1);
    array.SetSize(0);
    EXPECT_EQ(array.GetCapacity(), 0);
}

} // namespace
