#include "platform/restkit/RKParserRegistry.h"
#include "platform/restkit/RKRequestSerialization.h"

#include <gtest/gtest.h>

#include <QDateTime>

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
