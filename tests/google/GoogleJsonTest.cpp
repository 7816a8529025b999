// The bodies' JSON written straight from the map: the same bytes as Qt's compact writer.
#include "google/GoogleJson.h"
#include "google/HMGoogleSync.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStringList>

#include <gtest/gtest.h>

#include <limits>

namespace {

QByteArray qtJson(const QVariantMap &map)
{
    return QJsonDocument::fromVariant(map).toJson(QJsonDocument::Compact);
}

QString units(std::initializer_list<char16_t> list)
{
    QString text;
    for (const char16_t unit : list)
        text.append(QChar(unit));
    return text;
}

QVariantList tableValues()
{
    const double inf = std::numeric_limits<double>::infinity();
    QVariantList values{QVariant(), QVariant::fromValue(nullptr), true, false, 0, -1, 2147483647, int(-2147483648LL),
                        4294967295U, qint64(9007199254740993LL), std::numeric_limits<qint64>::max(),
                        std::numeric_limits<qint64>::min(), qulonglong(9223372036854775807ULL),
                        qulonglong(9223372036854775808ULL), std::numeric_limits<qulonglong>::max(), 0.0, -0.0, 1.0,
                        0.1, 1.0 / 3, 1e21, 1e-7, 123456789012345678.0, 3e18, 1.5e300, 4.9e-324, -2.5, inf, -inf,
                        std::numeric_limits<double>::quiet_NaN(), QString(), QStringLiteral(""),
                        QStringLiteral("plain text / slash"), QStringLiteral("quote \" backslash \\ end")};
    QString controls;
    for (char16_t unit = 0; unit < 0x20; ++unit)
        controls.append(QChar(unit));
    values << controls << QStringLiteral("\x7f del") << QStringLiteral("é ü ß € 日本 ✓")
           << units({0xd83d, 0xde00}) << units({u'a', 0xd83d}) << units({0xde00, u'b'}) << units({0xd83d, 0xd83d, 0xde00})
           << units({0xdbff, 0xdfff}) << units({0xffff, 0xfffe, 0x80, 0x7ff, 0x800});
    values << QVariantList{} << QVariantMap{} << QVariantList{1, QStringLiteral("x"), QVariantList{QVariant()}};
    return values;
}

QString randomText(QRandomGenerator &random)
{
    static const char16_t pool[] = {u'a', u'Z', u'0', u' ', u'"', u'\\', u'/', u'\n', u'\t', 0x01, 0x1f, 0x7f,
                                    0xe9, 0x20ac, 0x65e5, 0xd83d, 0xde00, 0xdbff, 0xdc00, 0xfffd};
    QString text;
    const int length = random.bounded(8);
    for (int i = 0; i < length; ++i)
        text.append(QChar(pool[random.bounded(int(std::size(pool)))]));
    return text;
}

double randomDouble(QRandomGenerator &random)
{
    switch (random.bounded(4)) {
    case 0: return double(random.bounded(-1000, 1000));
    case 1: return random.generateDouble() * 1000 - 500;
    case 2: return std::ldexp(random.generateDouble(), random.bounded(-1070, 1020));
    default: return -double(random.generate64());
    }
}

QVariant randomValue(QRandomGenerator &random, int depth);

QVariantMap randomMap(QRandomGenerator &random, int depth)
{
    QVariantMap map;
    const int size = random.bounded(6);
    for (int i = 0; i < size; ++i)
        map.insert(randomText(random), randomValue(random, depth + 1));
    return map;
}

QVariant randomValue(QRandomGenerator &random, int depth)
{
    switch (random.bounded(depth < 3 ? 11 : 9)) {
    case 0: return QVariant();
    case 1: return random.bounded(2) == 1;
    case 2: return int(random.generate());
    case 3: return qint64(random.generate64());
    case 4: return qulonglong(random.generate64());
    case 5: return randomDouble(random);
    case 6: return uint(random.generate());
    case 7:
    case 8: return randomText(random);
    case 9: return QVariantList{randomValue(random, depth + 1), randomValue(random, depth + 1)};
    default: return randomMap(random, depth);
    }
}

} // namespace

TEST(GoogleJson, WritesEveryValueKindAsQtsCompactWriter)
{
    const QVariantList values = tableValues();
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariantMap map{{QStringLiteral("v"), values.at(i)}, {units({0xd83d, u'k'}), QVariantList{values.at(i)}}};
        QByteArray direct;
        ASSERT_TRUE(googlejson::writeCompact(map, direct)) << i;
        EXPECT_EQ(direct, qtJson(map)) << "value " << i;
    }
    QByteArray empty;
    ASSERT_TRUE(googlejson::writeCompact(QVariantMap(), empty));
    EXPECT_EQ(empty, QByteArray("{}"));
}

TEST(GoogleJson, SeededRandomMapsMatchQtsCompactWriter)
{
    QRandomGenerator random(20261210);
    for (int round = 0; round < 5000; ++round) {
        const QVariantMap map = randomMap(random, 0);
        QByteArray direct;
        ASSERT_TRUE(googlejson::writeCompact(map, direct)) << round;
        ASSERT_EQ(direct, qtJson(map)) << "round " << round;
    }
}

TEST(GoogleJson, OtherKindsTakeQtsConversion)
{
    // Kinds the direct writer leaves to Qt, nested anywhere, still give Qt's bytes.
    const QVariantMap map{{QStringLiteral("a"), QStringLiteral("x")},
                          {QStringLiteral("list"), QStringList{QStringLiteral("p"), QStringLiteral("q")}},
                          {QStringLiteral("nested"), QVariantMap{{QStringLiteral("when"), QDateTime::fromSecsSinceEpoch(0, Qt::UTC)},
                                                                 {QStringLiteral("f"), 1.5f}}}};
    QByteArray direct;
    EXPECT_FALSE(googlejson::writeCompact(map, direct));
    EXPECT_EQ(googlejson::compactJson(map), qtJson(map));
    EXPECT_EQ(HMGoogleSync::jsonStringFromDictionary(map), QString::fromUtf8(qtJson(map)));
}
