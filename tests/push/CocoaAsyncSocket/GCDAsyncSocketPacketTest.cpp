// The read packet's length rules and terminator searches, and the pre-buffer they work with.
#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocketPreBuffer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void fillPreBuffer(GCDAsyncSocketPreBuffer &preBuffer, const QByteArray &bytes)
{
    preBuffer.ensureCapacityForWrite(std::size_t(bytes.size()));
    std::memcpy(preBuffer.writeBuffer(), bytes.constData(), std::size_t(bytes.size()));
    preBuffer.didWrite(std::size_t(bytes.size()));
}

// A terminator read that already holds the given bytes.
GCDAsyncReadPacket termPacket(const QByteArray &term, const QByteArray &alreadyRead, std::size_t maxLength = 0)
{
    GCDAsyncReadPacket packet(nullptr, 0, maxLength, -1, 0, term, 1);
    packet.ensureCapacityForAdditionalDataOfLength(std::size_t(alreadyRead.size()));
    std::memcpy(packet.writePosition(), alreadyRead.constData(), std::size_t(alreadyRead.size()));
    packet.bytesDone = std::size_t(alreadyRead.size());
    return packet;
}

} // namespace

TEST(GCDAsyncReadPacket, TerminatorSearchOverTheTailAndThePreBuffer)
{
    struct Row
    {
        const char *name;
        QByteArray term;
        QByteArray alreadyRead;
        QByteArray preBuffered;
        std::size_t maxLength;
        std::size_t expectedLength;
        bool expectedFound;
    };
    const Row rows[] = {
        {"too short to hold the terminator", "\r\n", "", "\r", 0, 1, false},
        {"terminator inside the pre-buffer", "\r\n", "", "ab\r\ncd", 0, 4, true},
        {"terminator begun in the packet", "\r\n", "abc\r", "\ndef", 0, 1, true},
        {"long terminator straddling", "<END>", "one<E", "ND>two", 0, 3, true},
        {"no terminator", "\r\n", "ab", "cdef", 0, 4, false},
        {"limited by the maximum", "\n", "abc", "defghij", 5, 2, false},
        {"terminator past the maximum not seen", "\n", "", "abcdef\n", 4, 4, false},
        {"first of two terminators", "\n", "", "a\nb\n", 0, 2, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        GCDAsyncReadPacket packet = termPacket(row.term, row.alreadyRead, row.maxLength);
        GCDAsyncSocketPreBuffer preBuffer(4);
        fillPreBuffer(preBuffer, row.preBuffered);
        bool found = !row.expectedFound;
        EXPECT_EQ(packet.readLengthForTermWithPreBuffer(preBuffer, &found), row.expectedLength);
        EXPECT_EQ(found, row.expectedFound);
    }
}

TEST(GCDAsyncReadPacket, SearchAfterReadingStraightIntoTheBuffer)
{
    struct Row
    {
        const char *name;
        QByteArray alreadyRead;
        QByteArray justRead;
        std::ptrdiff_t expected;
    };
    const Row rows[] = {
        {"ends exactly at the terminator", "ab", "c\r\n", 0},
        {"bytes after the terminator", "", "a\r\nbcd", 3},
        {"terminator across the two", "abc\r", "\nxy", 2},
        {"none", "abc", "def", -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        GCDAsyncReadPacket packet = termPacket("\r\n", row.alreadyRead);
        packet.ensureCapacityForAdditionalDataOfLength(std::size_t(row.justRead.size()));
        std::memcpy(packet.writePosition(), row.justRead.constData(), std::size_t(row.justRead.size()));
        EXPECT_EQ(packet.searchForTermAfterPreBuffering(std::size_t(row.justRead.size())), row.expected);
    }
}

TEST(GCDAsyncReadPacket, LengthRulesOfTheThreeKinds)
{
    GCDAsyncReadPacket exact(nullptr, 0, 0, -1, 10, QByteArray(), 1);
    exact.bytesDone = 7;
    EXPECT_EQ(exact.readLengthForNonTermWithHint(100), 3U);
    EXPECT_EQ(exact.readLengthForNonTermWithHint(2), 2U);
    GCDAsyncReadPacket limited(nullptr, 0, 8, -1, 0, QByteArray(), 1);
    limited.bytesDone = 5;
    EXPECT_EQ(limited.readLengthForNonTermWithHint(100), 3U);
    GCDAsyncReadPacket unlimited(nullptr, 0, 0, -1, 0, QByteArray(), 1);
    EXPECT_EQ(unlimited.readLengthForNonTermWithHint(4096), 4096U);
    // A terminator read whose buffer has no room reads into the pre-buffer.
    GCDAsyncReadPacket term(nullptr, 0, 6, -1, 0, QByteArrayLiteral("\n"), 1);
    bool shouldPreBuffer = false;
    EXPECT_EQ(term.readLengthForTermWithHint(100, &shouldPreBuffer), 6U);
    EXPECT_TRUE(shouldPreBuffer);
    term.ensureCapacityForAdditionalDataOfLength(10);
    EXPECT_EQ(term.readLengthForTermWithHint(4, &shouldPreBuffer), 4U);
    EXPECT_FALSE(shouldPreBuffer);
}

TEST(GCDAsyncSocketPreBuffer, GrowsByTheShortfallAndGivesLargeBlocksBack)
{
    GCDAsyncSocketPreBuffer preBuffer(4096);
    fillPreBuffer(preBuffer, QByteArray(100, 'a'));
    preBuffer.didRead(40);
    EXPECT_EQ(preBuffer.availableBytes(), 60U);
    fillPreBuffer(preBuffer, QByteArray(200 * 1024, 'b'));
    EXPECT_EQ(preBuffer.availableBytes(), 60U + 200 * 1024);
    EXPECT_EQ(QByteArray(preBuffer.readBuffer(), 61), QByteArray(60, 'a') + 'b');
    EXPECT_GT(preBuffer.preBufferSize(), GCDAsyncSocketPreBuffer::kShrinkThreshold);
    preBuffer.didRead(preBuffer.availableBytes());
    EXPECT_EQ(preBuffer.availableBytes(), 0U);
    EXPECT_EQ(preBuffer.preBufferSize(), 4096U);
    EXPECT_EQ(preBuffer.availableSpace(), 4096U);
}
