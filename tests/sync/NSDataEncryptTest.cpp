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

TEST(NSDataEncrypt, WritesTheSameBytesAsEver)
{
    // Enciphered once by the openssl command line with the key mask XORed with the passphrase.
    const QByteArray payload("bplist00 settings of one profile \xc3\xa9");
    const QByteArray stored = QByteArray::fromHex("a9b8c7d6441196f8f4190950bf3dbf9b4bf69206b8298ad09504be642357cf20"
                                                  "bf5bc17f1e025426243a0cb0a05c17eed65778be");
    EXPECT_EQ(encrypted(payload), stored);
    EXPECT_EQ(decryptAESKey(stored, kPassphrase).valueOr(QByteArray()), payload);
}

TEST(NSDataEncrypt, MeetsThePublishedAes256Vectors)
{
    struct Row
    {
        const char *name;
        QByteArray key;
        QByteArray vector;
        QByteArray plain;
        QByteArray cipher;
    };
    const QByteArray zeroVector(16, '\0');
    const Row rows[] = {
        {"FIPS-197 C.3, one block", QByteArray::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"),
         zeroVector, QByteArray::fromHex("00112233445566778899aabbccddeeff"),
         QByteArray::fromHex("8ea2b7ca516745bfeafc49904b496089")},
        {"SP 800-38A F.2.5/F.2.6 CBC-AES256",
         QByteArray::fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"),
         QByteArray::fromHex("000102030405060708090a0b0c0d0e0f"),
         QByteArray::fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                             "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710"),
         QByteArray::fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                             "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(cipherAes256Cbc(row.key, row.vector, row.plain, true).valueOr(QByteArray()), row.cipher);
        EXPECT_EQ(cipherAes256Cbc(row.key, row.vector, row.cipher, false).valueOr(QByteArray()), row.plain);
    }
    const QByteArray key(32, 'k');
    EXPECT_FALSE(cipherAes256Cbc(key.left(16), zeroVector, QByteArray(16, 'p'), true).ok());
    EXPECT_FALSE(cipherAes256Cbc(key, zeroVector.left(8), QByteArray(16, 'p'), true).ok());
    EXPECT_FALSE(cipherAes256Cbc(key, zeroVector, QByteArray(17, 'p'), false).ok());
}
