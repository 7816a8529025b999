#include "platform/foundation/SharedBytes.h"

#include <QByteArray>

#include <gtest/gtest.h>

using platform::SharedBytes;

// Pieces of a block share it without copying a byte, keep it alive after everyone else let it go,
// and a byte string made from one behaves as any other: it copies itself before it is written.
TEST(SharedBytes, PiecesShareTheirBlockAndOutliveItsOwner)
{
    QByteArray block("first\0second\0", 13);
    const char *const start = block.constData();
    SharedBytes first(block, 0, 5);
    SharedBytes second(block, 6, 6);
    const SharedBytes empty(block, 13, 0);
    EXPECT_EQ(first.view().data(), start);
    EXPECT_EQ(second.view().data(), start + 6);
    block = QByteArray();

    EXPECT_EQ(first.view(), "first");
    EXPECT_EQ(second.view(), "second");
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(second.size(), 6);
    // The block holds a NUL after each piece, so the byte string's bytes end as a C string's.
    EXPECT_STREQ(second.bytes().constData(), "second");

    const SharedBytes copy = second;
    EXPECT_EQ(copy.view().data(), second.view().data());
    QByteArray written = std::move(first).bytes();
    written[0] = 'F';
    EXPECT_EQ(written, "First");
    EXPECT_EQ(copy.view(), "second");
    EXPECT_EQ(QByteArrayView(start + 6, 6), "second");
}

TEST(SharedBytes, WholeBytesAndRawDataAreHeldAsGiven)
{
    const SharedBytes whole(QByteArray("card"));
    EXPECT_EQ(whole.view(), "card");
    EXPECT_EQ(SharedBytes().size(), 0);
    // A block that does not own its bytes gives pieces that do not either.
    static const char kRaw[] = "static text";
    const SharedBytes raw(QByteArray::fromRawData(kRaw, 11), 7, 4);
    EXPECT_EQ(raw.view().data(), kRaw + 7);
    EXPECT_EQ(raw.view(), "text");
}
