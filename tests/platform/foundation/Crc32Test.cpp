#include "platform/foundation/Crc32.h"

#include <QByteArray>

#include <zlib.h>

#include <random>

#include <gtest/gtest.h>

// Stored files keep CRC-32s of their bytes (the folder indexes, the graph's digest, the calendar
// checksums): ours must give zlib's bits for every length (below, at and past each step the tables
// take and where zlib takes over), every start in memory and every earlier CRC.
namespace {

quint32 zlibCrc32(quint32 crc, QByteArrayView bytes)
{
    return quint32(::crc32(crc, reinterpret_cast<const Bytef *>(bytes.data()), uInt(bytes.size())));
}

} // namespace

TEST(Crc32, GivesZlibsCrcForEveryLengthStartAndEarlierCrc)
{
    std::mt19937 random(5);
    QByteArray bytes(1 << 20, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random());
    EXPECT_EQ(platform::crc32Continued(0, {}), 0u);
    EXPECT_EQ(platform::crc32Continued(0, "123456789"), 0xcbf43926u);
    for (qsizetype length = 0; length <= 600; ++length) {
        SCOPED_TRACE(length);
        for (qsizetype start : {0, 1, 7, 15, 16, 33}) {
            const QByteArrayView piece = QByteArrayView(bytes).sliced(start, length);
            for (quint32 earlier : {0u, 0xffffffffu, quint32(random())})
                ASSERT_EQ(platform::crc32Continued(earlier, piece), zlibCrc32(earlier, piece)) << start << " " << earlier;
        }
    }
    // Long runs, of all zeros and all ones too, and a whole megabyte taken in uneven pieces.
    for (const char filler : {'\0', '\xff'}) {
        const QByteArray same(70000, filler);
        EXPECT_EQ(platform::crc32Continued(0, same), zlibCrc32(0, same));
    }
    quint32 pieced = 0;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype length = std::min<qsizetype>(bytes.size() - at, qsizetype(random() % 5000));
        pieced = platform::crc32Continued(pieced, QByteArrayView(bytes).sliced(at, length));
        at += length;
    }
    EXPECT_EQ(pieced, zlibCrc32(0, bytes));
}
