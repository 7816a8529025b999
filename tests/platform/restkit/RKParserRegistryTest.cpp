#include "platform/restkit/RKParserRegistry.h"
#include "platform/restkit/RKRequestSerialization.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <random>

using namespace platform;

TEST(RKParserRegistry, ParsesAndWritesJsonValues)
{
    const RKParser *parser =
        RKParserRegistry::sharedRegistry().parserForMIMEType(QStringLiteral("Application/JSON; charset=utf-8"));
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(RKParserRegistry::sharedRegistry().parserForMIMEType(QStringLiteral("text/xml")), nullptr);

    PlatformError error;
    const QVariant value = parser->objectFromString(
        QStringLiteral("{\"Result\":\"OK\",\"Count\":3,\"Ratio\":0.5,\"Big\":12345678901,\"On\":true,"
                       "\"None\":null,\"List\":[\"a\",{\"b\":\"T\\u00e9\\t\"}]}"),
        &error);
    ASSERT_TRUE(error.isNull()) << error.description().toStdString();
    const QVariantMap map = value.toMap();
    EXPECT_EQ(map.value("Result"), QVariant(QStringLiteral("OK")));
    EXPECT_EQ(map.value("Count").typeId(), QMetaType::LongLong);
    EXPECT_EQ(map.value("Count").toLongLong(), 3);
    EXPECT_EQ(map.value("Big").toLongLong(), 12345678901);
    EXPECT_EQ(map.value("Ratio").typeId(), QMetaType::Double);
    EXPECT_EQ(map.value("On").typeId(), QMetaType::Bool);
    EXPECT_FALSE(map.value("None").isValid());
    EXPECT_EQ(map.value("List").toList().at(1).toMap().value("b").toString(), QStringLiteral("T\u00e9\t"));

    // Bare values are JSON too.
    EXPECT_EQ(parser->objectFromString(QStringLiteral(" \"text\" ")).toString(), QStringLiteral("text"));
    EXPECT_EQ(parser->objectFromString(QStringLiteral("7")).toLongLong(), 7);

    // Written back, compactly, members in key order.
    EXPECT_EQ(parser->stringFromObject(QVariantMap{{"password", "p&w"}, {"Username", "dev\"1"}}),
              QStringLiteral("{\"Username\":\"dev\\\"1\",\"password\":\"p&w\"}"));
    EXPECT_EQ(parser->stringFromObject(QVariantList{1, true, QVariant(), 2.5}), QStringLiteral("[1,true,null,2.5]"));
    EXPECT_EQ(parser->stringFromObject(QStringLiteral("x")), QStringLiteral("\"x\""));
}

TEST(RKParserRegistry, RefusesMalformedJsonAndUnwritableValues)
{
    const RKParser *parser = RKParserRegistry::sharedRegistry().parserForMIMEType(QString::fromLatin1(RKMIMETypeJSON));
    ASSERT_NE(parser, nullptr);
    const QString samples[] = {QString(),
                               QStringLiteral("{\"a\":"),
                               QStringLiteral("{\"a\" 1}"),
                               QStringLiteral("1 2"),
                               QStringLiteral("OK\nDeviceID=abc"),
                               QStringLiteral("]["),
                               QStringLiteral("[1,]")};
    for (const QString &sample : samples) {
        SCOPED_TRACE(sample.toStdString());
        PlatformError error;
        EXPECT_FALSE(parser->objectFromString(sample, &error).isValid());
        EXPECT_EQ(error.code(), 3840);
        EXPECT_FALSE(error.localizedDescription().isEmpty());
    }
    // Every truncation of a valid document is refused or parsed, never crashes.
    const QString document = QStringLiteral("{\"a\":[1,2,{\"b\":\"c\\\"d\"}],\"e\":null}");
    for (qsizetype length = 0; length < document.size(); ++length)
        (void)parser->objectFromString(document.left(length));

    PlatformError error;
    EXPECT_TRUE(
        parser
            ->stringFromObject(QVariantMap{{QStringLiteral("when"), QVariant(QDateTime::currentDateTimeUtc())}}, &error)
            .isEmpty());
    EXPECT_TRUE(error.localizedDescription().contains("when")) << error.localizedDescription().toStdString();
}

namespace {

QString randomText(std::mt19937 &random, bool asciiOnly)
{
    static const char16_t kUnits[] = {u'a', u'Z', u'0', u' ', u'"', u'\\', u'/', 0x00, 0x08, 0x09, 0x0a, 0x0c,
                                      0x0d, 0x1f, 0x7f, 0xe9, 0x20ac, 0xe000, 0xfffd, 0xffff, 0xd83d, 0xde00};
    const int length = int(random() % 12);
    QString text;
    for (int index = 0; index < length; ++index) {
        const char16_t unit = kUnits[random() % (asciiOnly ? 15 : std::size(kUnits))];
        if (unit == 0xd83d && random() % 2 == 0)
            text += QChar(0xd83d), text += QChar(0xde00); // a pair; alone otherwise
        else
            text += QChar(unit);
    }
    return text;
}

QVariant randomValue(std::mt19937 &random, int depth)
{
    static const double kNumbers[] = {0.5, -0.0, 3.0, 1e16, 1e300, 5e-324, 123456.789, -2.5e-7, 9007199254740993.0};
    switch (random() % (depth < 3 ? 8 : 6)) {
    case 0:
        return QVariant();
    case 1:
        return random() % 2 == 0;
    case 2:
        return random() % 2 == 0 ? qint64(random() % 1000) - 500 : std::uniform_int_distribution<qint64>()(random);
    case 3:
        return kNumbers[random() % std::size(kNumbers)];
    case 4:
    case 5:
        return randomText(random, false);
    case 6: {
        QVariantList list;
        for (int count = int(random() % 5); count > 0; --count)
            list.append(randomValue(random, depth + 1));
        return list;
    }
    default: {
        QVariantMap map;
        for (int count = int(random() % 6); count > 0; --count)
            map.insert(randomText(random, random() % 8 != 0), randomValue(random, depth + 1));
        return map;
    }
    }
}

} // namespace

// Values are written as the JSON document writer writes them, byte for byte: seeded random values
// with every kind of member, texts with quotes, backslashes, control characters, non-ASCII, pairs and
// lone surrogates, whole and fractional numbers, keys outside ASCII.
TEST(RKParserRegistry, WritesValuesByteForByteAsTheDocumentWriterDoes)
{
    const RKParser *parser = RKParserRegistry::sharedRegistry().parserForMIMEType(QString::fromLatin1(RKMIMETypeJSON));
    ASSERT_NE(parser, nullptr);
    std::mt19937 random(55);
    for (int round = 0; round < 3000; ++round) {
        const QVariant value = randomValue(random, 0);
        const QByteArray inArray =
            QJsonDocument(QJsonArray{QJsonValue::fromVariant(value)}).toJson(QJsonDocument::Compact);
        const QString expected = QString::fromUtf8(inArray.mid(1, inArray.size() - 2));
        ASSERT_EQ(parser->stringFromObject(value).toStdString(), expected.toStdString()) << "round " << round;
    }
}
