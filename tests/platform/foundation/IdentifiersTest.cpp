#include "platform/foundation/Identifiers.h"

#include <QRegularExpression>
#include <QUuid>
#include <QSet>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

using namespace platform;

TEST(Identifiers, DigestsBytesWithMd5)
{
    struct Row
    {
        const char *name;
        QByteArray bytes;
        const char *text;
    };
    const Row rows[] = {
        {"a password", "password", "5F4DCC3B5AA765D61D8327DEB882CF99"},
        {"nothing", QByteArray(), "D41D8CD98F00B204E9800998ECF8427E"},
        {"abc", "abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"the alphabet", "abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"embedded zero byte", QByteArray("a\0b", 3), "70350F6027BCE3713F6B76473084309B"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<QString> text = md5Text(row.bytes);
        ASSERT_TRUE(text.ok()) << text.error().message().toStdString();
        EXPECT_EQ(text->toStdString(), row.text);
    }

    // A large body crossing many blocks, with its digest as Python's hashlib gives it.
    QByteArray large(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype index = 0; index < large.size(); ++index)
        large[index] = static_cast<char>((index * 31) ^ (index >> 7));
    const Result<QByteArray> digest = md5Digest(large);
    ASSERT_TRUE(digest.ok());
    EXPECT_EQ(digest->toHex(), QByteArray("e81a68ede5aa6d6ec298e98dacc23a63"));
}

TEST(Identifiers, PrintsAGivenUuidInCapitalsWithoutBraces)
{
    const QUuid uuid(QStringLiteral("{6f1c2a54-5b7e-4c1d-9a43-8f0e3d2b7c61}"));
    EXPECT_EQ(uuidText(uuid), QStringLiteral("6F1C2A54-5B7E-4C1D-9A43-8F0E3D2B7C61"));
    EXPECT_EQ(uuidText(QUuid()), QStringLiteral("00000000-0000-0000-0000-000000000000"));
}

TEST(Identifiers, MakesUpperCaseUuidsThatNeverRepeat)
{
    const QRegularExpression form(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"));
    std::mutex mutex;
    QSet<QString> seen;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&] {
            for (int count = 0; count < 2500; ++count) {
                const QString uuid = newUuidText();
                const std::lock_guard lock(mutex);
                seen.insert(uuid);
                if (!form.match(uuid).hasMatch())
                    ADD_FAILURE() << uuid.toStdString();
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(seen.size(), 10000);
}
