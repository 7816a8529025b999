// Descriptors as the Parts read them, and the framed wire between the script runners and applications.
#include "platform/applescript/AppleEventWire.h"
#include "platform/applescript/LongDateTime.h"
#include "platform/applescript/NSAppleEventDescriptor.h"

#include <gtest/gtest.h>

#include <QtEndian>

using namespace platform;

namespace {

NSAppleEventDescriptor sampleTree()
{
    NSAppleEventDescriptor folder = NSAppleEventDescriptor::recordDescriptor();
    folder.setDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("Address Book \u00E9")), Keyword::Name);
    folder.setDescriptor(NSAppleEventDescriptor::descriptorWithInt32(12), Keyword::ID);
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    list.insertDescriptor(folder);
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithDouble(2.5));
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithBoolean(true));
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithEnumCode(fourCharCode("yes ")));
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithLongDateTime(3'000'000'000));
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithDescriptorType(DescriptorType::Data, QByteArray("\0\1\2", 3)));
    list.insertDescriptor(NSAppleEventDescriptor::objectSpecifier(fourCharCode("ctgy"), fourCharCode("ID  "),
                                                                  NSAppleEventDescriptor::descriptorWithInt32(7), {}));
    list.insertDescriptor(NSAppleEventDescriptor::nullDescriptor());
    return list;
}

} // namespace

TEST(NSAppleEventDescriptor, ValuesReadAsThePartsReadThem)
{
    struct Row { const char *name; NSAppleEventDescriptor descriptor; QString text; };
    const Row rows[] = {
        {"text", NSAppleEventDescriptor::descriptorWithString(QStringLiteral("Anna \u00C5")), QStringLiteral("Anna \u00C5")},
        {"utf8 text", NSAppleEventDescriptor::descriptorWithDescriptorType(DescriptorType::UTF8Text, "caf\xC3\xA9"), QStringLiteral("caf\u00E9")},
        {"integer id", NSAppleEventDescriptor::descriptorWithInt32(-42), QStringLiteral("-42")},
        {"real", NSAppleEventDescriptor::descriptorWithDouble(0.5), QStringLiteral("0.5")},
        {"boolean", NSAppleEventDescriptor::descriptorWithBoolean(false), QStringLiteral("false")},
        {"enumeration", NSAppleEventDescriptor::descriptorWithEnumCode(fourCharCode("ID  ")), QStringLiteral("ID  ")},
        {"text after a byte-order mark", NSAppleEventDescriptor::descriptorWithString(QStringLiteral("\uFEFFAnna")), QStringLiteral("Anna")},
        {"empty text", NSAppleEventDescriptor::descriptorWithString(QStringLiteral("")), QStringLiteral("")},
        {"list has no text", NSAppleEventDescriptor::listDescriptor(), QString()},
        {"nil", NSAppleEventDescriptor(), QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.descriptor.stringValue(), row.text);
        EXPECT_EQ(row.descriptor.stringValue().isNull(), row.text.isNull());
        // Appended to a text already there, the same value, or nothing at all.
        QString joined = QStringLiteral("page one|");
        const std::optional<qsizetype> appended = row.descriptor.appendStringValue(joined);
        EXPECT_EQ(appended.has_value(), !row.text.isNull());
        EXPECT_EQ(joined, QStringLiteral("page one|") + row.text);
        EXPECT_EQ(appended.value_or(0), row.text.size());
    }
}

TEST(NSAppleEventDescriptor, ListsAndRecordsCountFromOneAndAnswerNilWhenAbsent)
{
    const NSAppleEventDescriptor list = sampleTree();
    EXPECT_EQ(list.numberOfItems(), 8);
    EXPECT_TRUE(list.descriptorAtIndex(0).isNil());
    EXPECT_TRUE(list.descriptorAtIndex(9).isNil());
    const NSAppleEventDescriptor folder = list.descriptorAtIndex(1);
    EXPECT_EQ(folder.descriptorForKeyword(Keyword::ID).stringValue(), QStringLiteral("12"));
    EXPECT_EQ(folder.descriptorForKeyword(Keyword::Name).stringValue(), QStringLiteral("Address Book \u00E9"));
    EXPECT_TRUE(folder.descriptorForKeyword(fourCharCode("colr")).isNil());
    EXPECT_EQ(list.descriptorAtIndex(7).descriptorForKeyword(Keyword::KeyData).stringValue(), QStringLiteral("7"));
}

TEST(NSAppleEventDescriptor, HandlerCallEventHasTheLayoutScriptsExpect)
{
    NSAppleEventDescriptor arguments = NSAppleEventDescriptor::listDescriptor();
    arguments.insertDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("Microsoft Outlook")), 1);
    NSAppleEventDescriptor event = NSAppleEventDescriptor::appleEventWithEventClass(
        kASAppleScriptSuite, kASSubroutineEvent, NSAppleEventDescriptor::currentProcessDescriptor(), kAutoGenerateReturnID,
        kAnyTransactionID);
    event.setParamDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("getAddressBookFolders")),
                             Keyword::SubroutineName);
    event.setParamDescriptor(arguments, Keyword::DirectObject);

    const QByteArray psn = event.target().data();
    ASSERT_EQ(psn.size(), 8);
    EXPECT_EQ(event.target().descriptorType(), DescriptorType::ProcessSerialNumber);
    EXPECT_EQ(qFromLittleEndian<quint32>(psn.constData()), 0u);
    EXPECT_EQ(qFromLittleEndian<quint32>(psn.constData() + 4), 2u);

    const Result<NSAppleEventDescriptor> back = AppleEventWire::decodeDescriptor(AppleEventWire::encodeDescriptor(event));
    ASSERT_TRUE(back.ok()) << back.error().message().toStdString();
    EXPECT_EQ(*back, event);
    EXPECT_EQ(back->eventClass(), fourCharCode("ascr"));
    EXPECT_EQ(back->eventID(), fourCharCode("psbr"));
    EXPECT_EQ(back->returnID(), -1);
    EXPECT_EQ(back->paramDescriptorForKeyword(Keyword::SubroutineName).stringValue(), QStringLiteral("getAddressBookFolders"));
}

TEST(AppleEventWire, EncodesEveryFieldByteForByte)
{
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithInt32(5));
    const QByteArray expected = QByteArray("D", 1) + QByteArray("L" "list" "\0\0\0\1", 9)
        + QByteArray("A" "long" "\0\0\0\4" "\5\0\0\0", 13);
    EXPECT_EQ(AppleEventWire::descriptorReply(list), expected);
    EXPECT_EQ(AppleEventWire::frame("abc"), QByteArray("\0\0\0\3abc", 7));
    const QByteArray error = AppleEventWire::errorReply({-2741, QStringLiteral("bad"), QStringLiteral("b"), {}});
    EXPECT_EQ(error, QByteArray("R\xFF\xFF\xF5\x4B\0\0\0\3bad\0\0\0\1b", 17));
}

TEST(AppleEventWire, RoundTripsEveryKindAndRefusesDamage)
{
    const NSAppleEventDescriptor tree = sampleTree();
    const QByteArray reply = AppleEventWire::descriptorReply(tree);
    const Result<AppleEventWire::Reply> back = AppleEventWire::decodeReply(reply);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(std::get<NSAppleEventDescriptor>(*back), tree);
    // Every cut is an error, never a crash or a partial tree.
    for (qsizetype length = 0; length < reply.size(); ++length)
        EXPECT_FALSE(AppleEventWire::decodeReply(reply.left(length)).ok()) << "cut at " << length;
    EXPECT_FALSE(AppleEventWire::decodeReply(reply + 'x').ok());
}

TEST(AppleEventWire, CapsSizeCountsAndDepth)
{
    EXPECT_FALSE(AppleEventWire::payloadLength(QByteArray("\x80\0\0\0", 4)).ok()); // 2 GB
    EXPECT_TRUE(AppleEventWire::payloadLength(QByteArray("\0\1\0\0", 4)).ok());
    // A list claiming four billion items in a few bytes is refused before anything is reserved.
    EXPECT_FALSE(AppleEventWire::decodeDescriptor(QByteArray("Llist\xFF\xFF\xFF\xFF", 9)).ok());
    QByteArray nested;
    for (int i = 0; i < 200; ++i)
        nested += QByteArray("Llist\0\0\0\1", 9);
    EXPECT_FALSE(AppleEventWire::decodeDescriptor(nested + QByteArray("N\0\0\0\0", 5)).ok());
    // A number as the deepest item is held to the same depth as any other descriptor.
    EXPECT_FALSE(AppleEventWire::decodeDescriptor(nested + QByteArray("Along\0\0\0\4\5\0\0\0", 13)).ok());
    QByteArray deepest;
    for (int i = 0; i < AppleEventWire::kMaxDepth; ++i)
        deepest += QByteArray("Llist\0\0\0\1", 9);
    const Result<NSAppleEventDescriptor> atTheLimit = AppleEventWire::decodeDescriptor(deepest + QByteArray("Along\0\0\0\4\5\0\0\0", 13));
    ASSERT_TRUE(atTheLimit.ok()) << qPrintable(atTheLimit.error().message());
    EXPECT_FALSE(AppleEventWire::decodeDescriptor(QByteArray("Llist\0\0\0\1", 9) + deepest + QByteArray("Along\0\0\0\4\5\0\0\0", 13)).ok());
}

TEST(LongDateTime, CountsSecondsSince1904InUtc)
{
    const QDateTime epoch(QDate(1904, 1, 1), QTime(0, 0), Qt::UTC);
    EXPECT_EQ(longDateTimeFromDate(epoch), 0);
    EXPECT_EQ(longDateTimeFromDate(QDateTime::fromSecsSinceEpoch(0, Qt::UTC)), kLongDateTimeEpochOffset);
    EXPECT_EQ(dateFromLongDateTime(kLongDateTimeEpochOffset + 86400), QDateTime(QDate(1970, 1, 2), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(longDateTimeFromDate(QDateTime::fromMSecsSinceEpoch(-1500, Qt::UTC)), kLongDateTimeEpochOffset - 2);
    EXPECT_FALSE(dateFromLongDateTime(std::numeric_limits<qint64>::max()).has_value());
    // The descriptor form of a date of the wrong size reads as no date.
    EXPECT_FALSE(NSAppleEventDescriptor::descriptorWithDescriptorType(DescriptorType::LongDateTime, "1234").dateValue());
}
