#include "platform/foundation/JsonWriter.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>

using namespace platform;

TEST(JsonWriter, WritesFlatObjectsInTheOrderGiven)
{
    JsonWriter writer;
    EXPECT_TRUE(writer.isEmpty());
    EXPECT_EQ(writer.toJson(), QByteArray("{}"));
    ASSERT_TRUE(writer.add(QStringLiteral("Username"), QStringLiteral("anna")).ok());
    ASSERT_TRUE(writer.add(QStringLiteral("password"), QStringLiteral("s3cr\"t")).ok());
    ASSERT_TRUE(writer.add(QStringLiteral("Limit"), qint64(200)).ok());
    ASSERT_TRUE(writer.add(QStringLiteral("ratio"), 0.1).ok());
    ASSERT_TRUE(writer.add(QStringLiteral("isNew"), true).ok());
    ASSERT_TRUE(writer.add(QStringLiteral("parent"), QVariant()).ok());
    ASSERT_TRUE(writer.add(QStringLiteral("Limit"), 50).ok()) << "a second value replaces the first in place";
    EXPECT_EQ(writer.toJson().toStdString(),
              R"({"Username":"anna","password":"s3cr\"t","Limit":50,"ratio":0.1,"isNew":true,"parent":null})");
}

TEST(JsonWriter, EscapesEveryTextIntoValidJson)
{
    struct Row
    {
        const char *name;
        QString text;
        const char *json;
        bool isValidUtf16 = true;
    };
    const Row rows[] = {
        {"plain", QStringLiteral("abc"), R"("abc")"},
        {"quote and backslash", QStringLiteral("a\"b\\c"), R"("a\"b\\c")"},
        {"line ends and tab", QStringLiteral("a\r\nb\tc"), R"("a\r\nb\tc")"},
        {"backspace and form feed", QStringLiteral("\b\f"), R"("\b\f")"},
        {"other control characters", QString(QChar(0x07)) + QChar(0x1f) + QChar(0), R"("\u0007\u001f\u0000")"},
        {"slash stays", QStringLiteral("a/b"), R"("a/b")"},
        {"non-ASCII as UTF-8", QStringLiteral("caf\u00e9 \u20ac \U0001F600"),
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"lone surrogates escaped", QString(QChar(0xD83D)) + u'x' + QChar(0xDE00), R"("\ud83dx\ude00")", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(JsonWriter::quoted(row.text).toStdString(), row.json);
        // An independent parser accepts the object and reads back the same text where that is valid UTF-16.
        JsonWriter writer;
        ASSERT_TRUE(writer.add(QStringLiteral("k\n"), row.text).ok());
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(writer.toJson(), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << writer.toJson().toStdString();
        if (row.isValidUtf16) {
            EXPECT_EQ(document.object().value(QStringLiteral("k\n")).toString(), row.text);
        }
    }
}

TEST(JsonWriter, RefusesValuesWithoutAJsonFormAndKeepsTheObject)
{
    JsonWriter writer;
    ASSERT_TRUE(writer.add(QStringLiteral("a"), 1).ok());
    const QVariant refused[] = {
        QVariant(std::nan("")),    QVariant(INFINITY),      QVariant(QDateTime::currentDateTimeUtc()),
        QVariant(QVariantList{1}), QVariant(QVariantMap{}), QVariant(QByteArray("x"))};
    for (const QVariant &value : refused) {
        const Status added = writer.add(QStringLiteral("bad"), value);
        ASSERT_FALSE(added.ok());
        EXPECT_TRUE(added.error().message().startsWith(QStringLiteral("JSON member \"bad\": ")))
            << added.error().message().toStdString();
    }
    EXPECT_EQ(writer.toJson(), QByteArray(R"({"a":1})"));

    const Result<QByteArray> record = JsonWriter::objectFromDictionary(
        {{QStringLiteral("b"), QStringLiteral("x")}, {QStringLiteral("a"), false}, {QStringLiteral("c"), -2.5}});
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(*record, QByteArray(R"({"a":false,"b":"x","c":-2.5})"));
    const Result<QByteArray> nested =
        JsonWriter::objectFromDictionary({{QStringLiteral("list"), QVariantList{QStringLiteral("x")}}});
    ASSERT_FALSE(nested.ok());
    EXPECT_EQ(nested.error().code(), ErrorCode::DataMalformed);
    EXPECT_TRUE(nested.error().message().contains(QStringLiteral("\"list\"")));
}
