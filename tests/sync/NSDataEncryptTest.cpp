#include "sync/NSData+Encrypt.h"

#include "ProfileTestSupport.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

const QString kPassphrase = QStringLiteral("qH7vR2mKx9Te");

QByteArray encrypted(const QByteArray &payload, const QString &passphrase = kPassphrase)
{
    const platform::Result<QByteArray> framed = encryptAESKey(payload, passphrase);
    EXPECT_TRUE(framed.ok()) << (framed.ok() ? "" : framed.error().message().toStdString());
    return framed.valueOr(QByteArray());
}

QByteArray payloadOf(qsizetype size)
{
    QByteArray payload(size, '\0');
    for (qsizetype index = 0; index < size; ++index)
        payload[index] = char((index * 37 + 11) & 0xff);
    return payload;
}

} // namespace

TEST(NSDataEncrypt, FramesPayloadsIntoWholeBlocksBehindTheMagic)
{
    struct Row
    {
        const char *name;
        qsizetype payloadBytes;
        qsizetype framedBytes;
    };
    const Row rows[] = {{"empty", 0, 20},        {"one byte", 1, 20},    {"fills one block", 12, 20},
                        {"spills over", 13, 36}, {"two blocks", 28, 36}, {"large", 100000, 100020}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray payload = payloadOf(row.payloadBytes);
        const QByteArray framed = encrypted(payload);
        EXPECT_EQ(framed.size(), row.framedBytes);
        EXPECT_EQ(framed.left(4), QByteArray::fromHex("a9b8c7d6"));
        const platform::Result<QByteArray> decrypted = decryptAESKey(framed, kPassphrase);
        ASSERT_TRUE(decrypted.ok());
        EXPECT_EQ(*decrypted, payload);
        EXPECT_EQ(decrypted->isEmpty(), payload.isEmpty());
    }
}

TEST(NSDataEncrypt, GivesTheSameBytesForTheSamePayloadAndPassphrase)
{
    const QByteArray payload("bplist00 settings of one profile");
    EXPECT_EQ(encrypted(payload), encrypted(payload));
    EXPECT_NE(encrypted(payload), encrypted(payload, QStringLiteral("another one")));
    // The payload is enciphered, not copied.
    EXPECT_FALSE(encrypted(payload).contains("settings"));
}

TEST(NSDataEncrypt, UsesThePassphraseRepeatedOrCutToThirtyTwoBytes)
{
    const QByteArray payload = payloadOf(45);
    // A short passphrase repeats from its start, so "ab" and "abab" make the same key.
    EXPECT_EQ(encrypted(payload, QStringLiteral("ab")), encrypted(payload, QStringLiteral("abababab")));
    const QString thirtyTwo = QStringLiteral("0123456789abcdefghijklmnopqrstuv");
    EXPECT_EQ(encrypted(payload, thirtyTwo), encrypted(payload, thirtyTwo + QStringLiteral("ignored tail")));
    EXPECT_NE(encrypted(payload, thirtyTwo), encrypted(payload, QStringLiteral("0123456789abcdefghijklmnopqrstuV")));
    // The passphrase ends at its first zero byte.
    EXPECT_EQ(encrypted(payload, QStringLiteral("ab") + QChar(0) + QStringLiteral("cd")),
              encrypted(payload, QStringLiteral("ab")));
    // The empty passphrase leaves the key mask as it is and still round trips.
    const QByteArray withEmpty = encrypted(payload, QString());
    EXPECT_NE(withEmpty, encrypted(payload, QStringLiteral("a")));
    EXPECT_EQ(decryptAESKey(withEmpty, QString()).valueOr(QByteArray()), payload);
}

TEST(NSDataEncrypt, ReturnsDataWithoutTheMagicUnchanged)
{
    for (const QByteArray &plain : {QByteArray(), QByteArray("a9"), QByteArray("bplist00\x01\x02", 10),
                                    QByteArray::fromHex("a9b8c7d7000000000000000000000000000000")}) {
        const platform::Result<QByteArray> result = decryptAESKey(plain, kPassphrase);
        ASSERT_TRUE(result.ok());
        EXPECT_EQ(*result, plain);
    }
}

TEST(NSDataEncrypt, RefusesFramedDataThatCannotHoldAPayload)
{
    const QByteArray framed = encrypted(payloadOf(40));
    ASSERT_EQ(framed.size(), 52);
    struct Row
    {
        const char *name;
        QByteArray data;
    };
    const Row rows[] = {{"magic alone", framed.left(4)},
                        {"part of a block", framed.left(20 + 5)},
                        {"one block short", framed.left(36)},
                        {"a byte too many", framed + QByteArray(1, 'x')}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(decryptAESKey(row.data, kPassphrase).ok());
    }
    // A length field larger than what follows it: a payload of 40 bytes cut to its first two blocks.
    EXPECT_FALSE(decryptAESKey(framed.left(4 + 32), kPassphrase).ok());
}

TEST(NSDataEncrypt, SurvivesEveryTruncationAndRandomDamage)
{
    const QByteArray payload = payloadOf(300);
    const QByteArray framed = encrypted(payload);
    for (qsizetype size = 0; size <= framed.size(); ++size) {
        const platform::Result<QByteArray> result = decryptAESKey(framed.left(size), kPassphrase);
        if (result.ok()) {
            EXPECT_LE(result->size(), size);
        }
    }
    QRandomGenerator random(20261207);
    for (int round = 0; round < 500; ++round) {
        QByteArray damaged = framed;
        const int flips = 1 + int(random.bounded(8));
        for (int flip = 0; flip < flips; ++flip) {
            // Keep the magic, so that the cipher part is what gets read.
            const qsizetype at = 4 + qsizetype(random.bounded(int(damaged.size() - 4)));
            damaged[at] = char(damaged.at(at) ^ char(1 + random.bounded(255)));
        }
        const platform::Result<QByteArray> result = decryptAESKey(damaged, kPassphrase);
        if (result.ok()) {
            EXPECT_LE(result->size(), damaged.size() - 8);
        }
    }
}

TEST(NSDataEncrypt, AnotherPassphraseDoesNotGiveThePayloadBack)
{
    const QByteArray payload = payloadOf(200);
    const platform::Result<QByteArray> result = decryptAESKey(encrypted(payload), QStringLiteral("not the key"));
    EXPECT_TRUE(!result.ok() || *result != payload);
}
