#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListBinary.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QDateTime>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace platform;

namespace {

QByteArray bigEndian(quint64 value, int width)
{
    QByteArray bytes;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        bytes.append(char((value >> shift) & 0xFF));
    return bytes;
}

// A binary property list built by hand from raw object bytes, to feed the reader shapes that no
// writer produces.
QByteArray binaryPlist(const std::vector<QByteArray> &objects, quint64 topObject, int referenceWidth,
                       int offsetWidth = 4)
{
    QByteArray file("bplist00");
    std::vector<quint64> offsets;
    for (const QByteArray &object : objects) {
        offsets.push_back(quint64(file.size()));
        file += object;
    }
    const quint64 tableOffset = quint64(file.size());
    for (quint64 offset : offsets)
        file += bigEndian(offset, offsetWidth);
    file += QByteArray(6, '\0');
    file += char(offsetWidth);
    file += char(referenceWidth);
    file += bigEndian(objects.size(), 8) + bigEndian(topObject, 8) + bigEndian(tableOffset, 8);
    return file;
}

QByteArray arrayObject(const std::vector<quint64> &references, int referenceWidth)
{
    QByteArray object;
    object.append(char(0xA0 | references.size()));
    for (quint64 reference : references)
        object += bigEndian(reference, referenceWidth);
    return object;
}

const QByteArray kSmallInteger("\x10\x07", 2);

QVariantMap sampleDictionary()
{
    QVariantMap inner{{QStringLiteral("LastModified"), QDateTime::fromString(QStringLiteral("2024-02-29T23:59:58Z"), Qt::ISODate)},
                      {QStringLiteral("ids"), QVariantList{QStringLiteral("a1"), QStringLiteral("b2")}}};
    return QVariantMap{{QStringLiteral("text"), QStringLiteral("Grüße <&> \"quoted\"")},
                       {QStringLiteral("empty text"), QString(QLatin1String(""))},
                       {QStringLiteral("yes"), true},
                       {QStringLiteral("no"), false},
                       {QStringLiteral("negative"), qint64(-42)},
                       {QStringLiteral("large"), qint64(9007199254740993LL)},
                       {QStringLiteral("real"), 0.1},
                       {QStringLiteral("data"), QByteArray("\x00\x01\xFE\xFF", 4)},
                       {QStringLiteral("date"), QDateTime::fromString(QStringLiteral("1999-12-31T23:59:59Z"), Qt::ISODate)},
                       {QStringLiteral("nested"), inner},
                       {QStringLiteral("list"), QVariantList{inner, qint64(1), QVariantList{}}}};
}

} // namespace

TEST(PropertyList, RoundTripsEveryValueTypeInBothEncodings)
{
    const QVariantMap original = sampleDictionary();
    for (const PropertyListFormat format : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
        SCOPED_TRACE(format == PropertyListFormat::Xml ? "XML" : "binary");
        const Result<QByteArray> bytes = serializePropertyList(original, format);
        ASSERT_TRUE(bytes.ok()) << bytes.error().message().toStdString();
        EXPECT_EQ(bytes->startsWith("bplist00"), format == PropertyListFormat::Binary);
        const Result<QVariant> back = parsePropertyList(*bytes);
        ASSERT_TRUE(back.ok()) << back.error().message().toStdString();
        EXPECT_EQ(back->toMap(), original);
        EXPECT_EQ(back->toMap().value(QStringLiteral("large")).typeId(), QMetaType::LongLong);
        EXPECT_EQ(back->toMap().value(QStringLiteral("yes")).typeId(), QMetaType::Bool);
    }
    // The binary form keeps milliseconds; XML dates hold whole seconds.
    // Every millisecond of a second comes back as written (the library holds floating seconds).
    QVariantList precise;
    for (qint64 millisecond = 0; millisecond < 1000; ++millisecond)
        precise.append(QDateTime::fromMSecsSinceEpoch(1700000000000 + millisecond, Qt::UTC));
    const Result<QVariant> binary = parsePropertyList(*serializePropertyList(precise, PropertyListFormat::Binary));
    EXPECT_EQ(binary->toList(), precise);
}

TEST(PropertyList, ReadsBinaryListsLargerThanSixtyFourKilobytes)
{
    // Offsets past 65535 bytes take three bytes each in the offset table.
    QVariantList entries;
    for (int index = 0; index < 3000; ++index)
        entries.append(QVariantMap{{QStringLiteral("text"), QStringLiteral("entry number %1 of the list").arg(index)}});
    const Result<QByteArray> bytes = serializePropertyList(entries, PropertyListFormat::Binary);
    ASSERT_TRUE(bytes.ok());
    ASSERT_GT(bytes->size(), 65535);
    const Result<QVariant> back = parsePropertyList(*bytes);
    ASSERT_TRUE(back.ok()) << back.error().message().toStdString();
    EXPECT_EQ(back->toList(), entries);
}

TEST(PropertyList, ObjectsOfEverySizeAreFoundWhereTheyWereWritten)
{
    // An object's size decides how its offset is kept while the list is written: sizes on each side
    // of 128, 16384 and 2097152 bytes, each between small objects, must come back where they stand.
    QVariantList items;
    for (const qsizetype length : {1, 125, 126, 127, 128, 16381, 16382, 16383, 16384, 2097150, 2097151, 2097152}) {
        items.append(QString(length, QLatin1Char('a' + char(length % 26))));
        items.append(qint64(length));
        items.append(QByteArray(length, 'b'));
    }
    const Result<QByteArray> bytes = serializePropertyList(items, PropertyListFormat::Binary);
    ASSERT_TRUE(bytes.ok());
    const Result<QVariant> back = parsePropertyList(*bytes);
    ASSERT_TRUE(back.ok()) << back.error().message().toStdString();
    EXPECT_TRUE(back->toList() == items);
}

TEST(PropertyList, RefusesValuesItCannotHoldAndSaysWhich)
{
    struct Row
    {
        const char *name;
        QVariant value;
        const char *mentioned;
    };
    const Row rows[] = {
        {"nil", QVariant(), "empty value"},
        {"a point", QVariant(QPoint(1, 2)), "QPoint"},
        {"a NUL inside text", QVariant(QString(QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b"))), "NUL"},
        {"a date past 2069", QVariant(QDateTime(QDate(2100, 1, 1), QTime(0, 0), Qt::UTC)), "outside"},
        {"an unsigned beyond 63 bits", QVariant(quint64(1) << 63), "does not fit"},
        {"nil deep inside", QVariant(QVariantMap{{QStringLiteral("outer"), QVariantList{QVariant()}}}), "key \"outer\""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<QByteArray> bytes = serializePropertyList(row.value, PropertyListFormat::Binary);
        ASSERT_FALSE(bytes.ok());
        EXPECT_TRUE(bytes.error().message().contains(QLatin1String(row.mentioned))) << bytes.error().message().toStdString();
    }
}

TEST(PropertyList, RefusesDamagedAndHostileInputWithoutCrashing)
{
    QByteArray deepXml("<?xml version=\"1.0\"?><plist version=\"1.0\">");
    for (int level = 0; level < 200000; ++level)
        deepXml += "<array>";
    for (int level = 0; level < 200000; ++level)
        deepXml += "</array>";
    deepXml += "</plist>";

    std::vector<QByteArray> chain;
    for (quint64 index = 0; index < 200000; ++index)
        chain.push_back(arrayObject({index + 1}, 4));
    chain.push_back(kSmallInteger);

    // Sixty arrays each holding the next one twice: 2^60 nodes once every reference is copied.
    std::vector<QByteArray> doubling;
    for (quint64 index = 0; index < 60; ++index)
        doubling.push_back(arrayObject({index + 1, index + 1}, 1));
    doubling.push_back(kSmallInteger);

    const QByteArray valid = *serializePropertyList(sampleDictionary(), PropertyListFormat::Binary);
    struct Row
    {
        const char *name;
        QByteArray bytes;
        const char *reason;
    };
    const Row rows[] = {
        {"empty", QByteArray(), "empty"},
        {"plain text", QByteArray("hello"), "not a readable"},
        {"binary header only", QByteArray("bplist00"), "too short"},
        {"truncated binary", valid.left(valid.size() - 7), "binary property list"},
        {"XML cut short", serializePropertyList(sampleDictionary(), PropertyListFormat::Xml)->left(300), "XML"},
        {"XML nested 200000 deep", deepXml, "deeper than 512"},
        {"binary nested 200000 deep", binaryPlist(chain, 0, 4), "deeper than 512"},
        {"binary doubling references", binaryPlist(doubling, 0, 1), "expands past"},
        {"binary array holding itself", binaryPlist({arrayObject({0}, 1)}, 0, 1), "contains itself"},
        {"binary reference past the table", binaryPlist({arrayObject({5}, 1), kSmallInteger}, 0, 1), "refers to object 5"},
        {"binary top object past the table", binaryPlist({kSmallInteger}, 3, 1), "declares 1 objects"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<QVariant> parsed = parsePropertyList(row.bytes);
        ASSERT_FALSE(parsed.ok());
        EXPECT_TRUE(parsed.error().message().contains(QLatin1String(row.reason))) << parsed.error().message().toStdString();
    }
    // A shallow chain and a few shared references are ordinary and read fine.
    std::vector<QByteArray> shortChain{arrayObject({1, 1}, 1), arrayObject({2}, 1), kSmallInteger};
    const Result<QVariant> shared = parsePropertyList(binaryPlist(shortChain, 0, 1));
    ASSERT_TRUE(shared.ok()) << shared.error().message().toStdString();
    EXPECT_EQ(shared->toList().size(), 2);
    EXPECT_EQ(shared->toList().value(1).toList().value(0).toLongLong(), 7);
}

TEST(PropertyList, ReadsArchiveReferencesInBothEncodings)
{
    const QVariantMap withReference{{QStringLiteral("root"), QVariant::fromValue(PropertyListUid{3})}};
    for (const PropertyListFormat format : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
        const Result<QVariant> back = parsePropertyList(*serializePropertyList(withReference, format));
        ASSERT_TRUE(back.ok());
        const QVariant reference = back->toMap().value(QStringLiteral("root"));
        ASSERT_EQ(reference.typeId(), qMetaTypeId<PropertyListUid>());
        EXPECT_EQ(reference.value<PropertyListUid>().value, 3u);
    }
}

TEST(PropertyList, FilesAreWrittenWholeAndReadersNeverSeeHalfAFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("errorlog.plist"));

    const Result<QVariantMap> missing = readPropertyListDictionary(path);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ErrorCode::IoNotFound);

    ASSERT_TRUE(writePropertyList(path, QVariantList{QStringLiteral("not a dictionary")}).ok());
    EXPECT_FALSE(readPropertyListDictionary(path).ok());

    // Two versions big enough that a torn write would show: every read must give one of them.
    QVariantMap first;
    QVariantMap second;
    for (int entry = 0; entry < 2000; ++entry) {
        first.insert(QStringLiteral("record-%1").arg(entry), QStringLiteral("D"));
        second.insert(QStringLiteral("record-%1").arg(entry), QStringLiteral("T"));
    }
    ASSERT_TRUE(writePropertyList(path, first).ok());
    ASSERT_TRUE(readWholeFile(path)->startsWith("<?xml"));

    std::atomic<bool> writing{true};
    std::atomic<int> badReads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (writing.load() || reads.load() < 10) {
            const Result<QVariantMap> read = readPropertyListDictionary(path);
            if (!read.ok() || (*read != first && *read != second))
                ++badReads;
            ++reads;
        }
    });
    for (int round = 0; round < 150; ++round)
        ASSERT_TRUE(writePropertyList(path, round % 2 == 0 ? second : first).ok());
    writing = false;
    reader.join();
    EXPECT_EQ(badReads.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_EQ(*readPropertyListDictionary(path), first);
}

// Text lists and hashes are written as the plain lists and dictionaries they hold.
TEST(PropertyList, TextListsAndHashesAreWrittenAsPlainValues)
{
    QVariantHash hash;
    hash.insert(QStringLiteral("b"), QStringList{QStringLiteral("x"), QStringLiteral("y")});
    hash.insert(QStringLiteral("a"), 2);
    const Result<QByteArray> bytes = serializePropertyList(hash, PropertyListFormat::Xml);
    ASSERT_TRUE(bytes.ok()) << bytes.error().message().toStdString();
    const Result<QVariant> read = parsePropertyList(*bytes);
    ASSERT_TRUE(read.ok()) << read.error().message().toStdString();

    QVariantMap expected;
    expected.insert(QStringLiteral("a"), 2);
    expected.insert(QStringLiteral("b"), QVariantList{QStringLiteral("x"), QStringLiteral("y")});
    EXPECT_EQ(read->toMap(), expected);
}

TEST(PropertyList, BinaryBytesAreExactlyTheStandardEncoding)
{
    // Children come before their container; equal texts are written once; the narrowest widths.
    const QVariantMap value{{QStringLiteral("a"), qint64(1)},
                            {QStringLiteral("b"), QVariantList{true, QStringLiteral("é")}}};
    const QByteArray expected = QByteArray("bplist00") +
                                QByteArray::fromHex("5161" "1001" "5162" "09" "6100e9" "a20304" "d20002" "0105"
                                                    "080a0c0e0f1215"
                                                    "000000000000" "0101" "0000000000000007" "0000000000000006"
                                                    "000000000000001a");
    const Result<QByteArray> bytes = serializePropertyList(value, PropertyListFormat::Binary);
    ASSERT_TRUE(bytes.ok()) << bytes.error().message().toStdString();
    EXPECT_EQ(bytes->toHex(), expected.toHex());
    EXPECT_EQ(parsePropertyList(expected)->toMap(), value);
}

TEST(PropertyList, ManyEqualTextsAreWrittenOnceEach)
{
    // Thousands of texts, each twice and as a key too, as record identifiers stand in an archive:
    // the writer's table of texts grows many times over and must still find every one.
    QVariantList texts;
    QVariantMap keyed;
    for (int index = 0; index < 5000; ++index) {
        const QString text = QStringLiteral("rec-%1").arg(index);
        texts << text << QString(text);
        keyed.insert(text, text);
    }
    const QVariantList value{texts, keyed};
    const Result<QByteArray> bytes = serializePropertyList(value, PropertyListFormat::Binary);
    ASSERT_TRUE(bytes.ok()) << bytes.error().message().toStdString();
    // The trailer's object count: the outer list, the inner list, the dictionary and 5000 texts.
    EXPECT_EQ(bytes->mid(bytes->size() - 24, 8).toHex(), QByteArray("000000000000138b"));
    EXPECT_EQ(parsePropertyList(*bytes)->toList(), value);
}

TEST(PropertyList, AStreamedListIsTheWholeListsBytesInBoundedPieces)
{
    // 200 lists of 1,000 texts: no object is large, but the offset table is 600 KB, which goes to the
    // sink in pieces like the rest.
    constexpr int kLists = 200;
    constexpr int kTextsPerList = 1000;
    constexpr quint64 kObjects = kLists * (kTextsPerList + 1) + 1;
    const auto encode = [](binaryplist::Encoder &encoder) {
        std::vector<quint64> lists;
        for (int list = 0; list < kLists; ++list) {
            std::vector<quint64> texts;
            for (int index = 0; index < kTextsPerList; ++index)
                texts.push_back(*encoder.writeDistinctUtf8("t" + QByteArray::number(list * kTextsPerList + index)));
            lists.push_back(encoder.writeArray(texts));
        }
        return encoder.finish(encoder.writeArray(lists));
    };
    binaryplist::Encoder whole(kObjects);
    const QByteArray expected = encode(whole);
    binaryplist::Encoder streamed(kObjects);
    QByteArray received;
    qsizetype largestPiece = 0;
    streamed.streamTo([&](const char *bytes, qsizetype count) {
        received.append(bytes, count);
        largestPiece = std::max(largestPiece, count);
        return true;
    });
    EXPECT_TRUE(encode(streamed).isEmpty());
    EXPECT_FALSE(streamed.hasSinkFailed());
    EXPECT_EQ(received, expected);
    EXPECT_LE(largestPiece, 512 * 1024);
    const Result<QVariant> parsed = parsePropertyList(received);
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed->toList().size(), kLists);
    EXPECT_EQ(parsed->toList().last().toList().last().toString(),
              QStringLiteral("t%1").arg(kLists * kTextsPerList - 1));
}

TEST(PropertyList, PythonsPlistlibReadsOurBinaryAndWeReadItsBinary)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        GTEST_SKIP() << "python3 is not installed";
    QVariantMap sample = sampleDictionary();
    // Long containers and texts spill their length into an integer after the marker; a reference
    // and a date with milliseconds are what keyed archives hold.
    QVariantList many;
    for (int index = 0; index < 300; ++index)
        many.append(QStringLiteral("entry %1 ☃").arg(index));
    sample.insert(QStringLiteral("many"), many);
    sample.insert(QStringLiteral("uid"), QVariant::fromValue(PropertyListUid{70000}));
    sample.insert(QStringLiteral("precise"), QDateTime::fromMSecsSinceEpoch(1764524712251LL, Qt::UTC));
    const QString script = QStringLiteral(R"(
import plistlib, sys
value = plistlib.loads(sys.stdin.buffer.read())
assert value['uid'] == plistlib.UID(70000), value['uid']
value['uid'] = plistlib.UID(value['uid'].data + 1)
sys.stdout.buffer.write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=True))
)");
    QProcess process;
    process.start(python, {QStringLiteral("-c"), script});
    ASSERT_TRUE(process.waitForStarted(30000));
    process.write(*serializePropertyList(sample, PropertyListFormat::Binary));
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(30000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const Result<QVariant> back = parsePropertyList(process.readAllStandardOutput());
    ASSERT_TRUE(back.ok()) << back.error().message().toStdString();
    QVariantMap expected = sample;
    expected.insert(QStringLiteral("uid"), QVariant::fromValue(PropertyListUid{70001}));
    for (auto entry = expected.cbegin(); entry != expected.cend(); ++entry) {
        SCOPED_TRACE(entry.key().toStdString());
        if (entry.key() == QStringLiteral("uid"))
            EXPECT_EQ(back->toMap().value(entry.key()).value<PropertyListUid>().value, 70001u);
        else
            EXPECT_EQ(back->toMap().value(entry.key()), entry.value());
    }
    EXPECT_EQ(back->toMap().size(), expected.size());
}

// A reader that asks many dictionaries for one key is told the object that held the key's text
// last time, and must still find the first slot whose text matches: another object may hold the
// same text, and a dictionary may hold the key twice.
TEST(PropertyList, ALookUpByAKnownKeyObjectFindsWhatALookUpByTextFinds)
{
    const std::vector<QByteArray> objects{
        QByteArray("\x51k", 2), QByteArray("\x61\x00k", 3), QByteArray("\x51j", 2),         // "k", "k" in UTF-16, "j"
        QByteArray("\x10\x01", 2), QByteArray("\x10\x02", 2), QByteArray("\x10\x03", 2), // 1, 2, 3
        QByteArray("\xD1\x00\x03", 3), QByteArray("\xD1\x01\x04", 3),                    // {k: 1}, {k': 2}
        QByteArray("\xD2\x02\x00\x03\x05", 5), QByteArray("\xD2\x01\x00\x04\x05", 5), // {j: 1, k: 3}, {k': 2, k: 3}
        QByteArray("\xD1\x02\x03", 3), arrayObject({6, 7, 8, 9, 10, 3}, 1)};              // {j: 1}, the top list
    const Result<binaryplist::Document> document = binaryplist::Document::open(binaryPlist(objects, 11, 1));
    ASSERT_TRUE(document.ok()) << document.error().message().toStdString();
    struct Row
    {
        quint64 dictionary;
        std::optional<qint64> value;
        quint64 knownKeyAfter;
    };
    quint64 knownKey = std::numeric_limits<quint64>::max();
    for (const Row &row : {Row{6, 1, 0}, Row{7, 2, 1}, Row{8, 3, 0}, Row{9, 2, 1}, Row{10, std::nullopt, 1},
                           Row{3, std::nullopt, 1}, Row{6, 1, 0}, Row{6, 1, 0}, Row{8, 3, 0}, Row{9, 2, 1}}) {
        SCOPED_TRACE(row.dictionary);
        const std::optional<quint64> byText = document->valueForKey(row.dictionary, QStringLiteral("k"));
        const std::optional<quint64> byKnownKey = document->valueForKey(row.dictionary, QStringLiteral("k"), knownKey);
        EXPECT_EQ(byKnownKey, byText);
        EXPECT_EQ(knownKey, row.knownKeyAfter);
        ASSERT_EQ(byKnownKey.has_value(), row.value.has_value());
        if (row.value) {
            EXPECT_EQ(document->leafAt(*byKnownKey)->toLongLong(), *row.value);
        }
    }
}

namespace {

QByteArray asciiObject(const char *text)
{
    return char(0x50 | qstrlen(text)) + QByteArray(text);
}

// A keyed archive whose one object's class description names as its class a list that holds
// itself: a shape only a property list's own references can take.
QByteArray archiveWithAClassNameHoldingItself()
{
    const std::vector<QByteArray> objects{
        QByteArray("\xD4\x01\x02\x03\x04\x05\x06\x07\x08", 9),                      // 0: the archive
        asciiObject("$archiver"), asciiObject("$version"), asciiObject("$top"), asciiObject("$objects"),
        QByteArray("\x5F\x10\x0F", 3) + "NSKeyedArchiver", QByteArray("\x12\x00\x01\x86\xA0", 5), // 5, 6
        QByteArray("\xD1\x09\x0A", 3), QByteArray("\xA3\x0B\x0C\x0D", 4),                  // 7: $top, 8: $objects
        asciiObject("HMNode"), QByteArray("\x80\x01", 2), asciiObject("$null"),               // 9, 10, 11
        QByteArray("\xD1\x0E\x0F", 3), QByteArray("\xD1\x10\x11", 3),                      // 12: node, 13: class
        asciiObject("$class"), QByteArray("\x80\x02", 2), asciiObject("$classname"),          // 14, 15, 16
        QByteArray("\xA1\x11", 2)};                                                         // 17: [17]
    return binaryPlist(objects, 0, 1);
}

class HMNode final : public KeyedArchivable
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMNode"); }
    void encodeWithCoder(KeyedArchiver &) const override {}
    void initWithCoder(KeyedUnarchiver &) override {}
};

} // namespace

// A document is checked as it is read: the whole file is not walked when it is opened, but every
// object read is checked, and a value built whole has every reference below it checked first.
// Offsets and references of every width from one to eight bytes are read whole, up to the last
// offset before the trailer; a reference past the table is refused at every width.
TEST(PropertyList, ReadsOffsetsAndReferencesOfEveryWidth)
{
    const QByteArray text("\x52" "ab", 3);
    const QByteArray uid("\x80\x05", 2);
    for (int offsetWidth = 1; offsetWidth <= 8; ++offsetWidth) {
        for (int referenceWidth = 1; referenceWidth <= 8; ++referenceWidth) {
            SCOPED_TRACE(
                QStringLiteral("offsets %1, references %2").arg(offsetWidth).arg(referenceWidth).toStdString());
            const QByteArray file = binaryPlist({arrayObject({1, 2, 3}, referenceWidth), kSmallInteger, text, uid}, 0,
                                                referenceWidth, offsetWidth);
            const Result<QVariant> parsed = parsePropertyList(file);
            ASSERT_TRUE(parsed.ok()) << parsed.error().message().toStdString();
            const QVariantList items = parsed->toList();
            ASSERT_EQ(items.size(), 3);
            EXPECT_EQ(items.at(0), QVariant(qint64(7)));
            EXPECT_EQ(items.at(1), QVariant(QStringLiteral("ab")));
            EXPECT_EQ(items.at(2).value<PropertyListUid>().value, 5U);
            const Result<binaryplist::Document> document = binaryplist::Document::open(file);
            ASSERT_TRUE(document.ok());
            const std::optional<binaryplist::Document::Elements> elements = document->arrayElementsOf(0);
            ASSERT_TRUE(elements.has_value());
            ASSERT_EQ(elements->size(), 3U);
            EXPECT_EQ(elements->at(2), 3U);
            EXPECT_EQ(document->uidAt(elements->at(2)), std::optional<quint64>(5));
            EXPECT_EQ(document->asciiTextAt(elements->at(1)), std::optional<QByteArrayView>("ab"));
            const QByteArray past =
                binaryPlist({arrayObject({1, 4}, referenceWidth), kSmallInteger}, 0, referenceWidth, offsetWidth);
            const Result<QVariant> refused = parsePropertyList(past);
            ASSERT_FALSE(refused.ok());
            EXPECT_TRUE(refused.error().message().contains(QStringLiteral("refers to object 4")))
                << refused.error().message().toStdString();
        }
    }
}

TEST(PropertyList, ADocumentChecksWhatItReadsAndRefusesToBuildAValueThatHoldsItself)
{
    std::vector<QByteArray> holdingItself{arrayObject({1, 2}, 1), kSmallInteger, arrayObject({0, 7}, 1)};
    const Result<binaryplist::Document> document = binaryplist::Document::open(binaryPlist(holdingItself, 0, 1));
    ASSERT_TRUE(document.ok()) << document.error().message().toStdString();
    EXPECT_EQ(document->leafAt(1)->toLongLong(), 7);
    EXPECT_EQ(document->valueAt(1)->toLongLong(), 7);
    const binaryplist::Document::Elements inner = document->elementsOf(2);
    ASSERT_EQ(inner.size(), 2u);
    EXPECT_EQ(inner.at(1), 7u);
    // Object 7 is not in the file: every call on it fails or answers nothing.
    EXPECT_FALSE(document->leafAt(7).ok());
    EXPECT_FALSE(document->uidAt(7).has_value());
    EXPECT_EQ(document->elementsOf(7).size(), 0u);
    for (const quint64 object : {quint64(0), quint64(2)}) {
        SCOPED_TRACE(object);
        const Result<QVariant> value = document->valueAt(object);
        ASSERT_FALSE(value.ok());
        EXPECT_TRUE(value.error().message().contains(QLatin1String("refers to object 7")) ||
                    value.error().message().contains(QLatin1String("contains itself")))
            << value.error().message().toStdString();
    }

    // An archive takes no list as a value in place: it is refused without being followed.
    const Result<std::unique_ptr<HMNode>> node =
        KeyedUnarchiver::unarchiveObject<HMNode>(archiveWithAClassNameHoldingItself(), QStringLiteral("HMNode"));
    ASSERT_FALSE(node.ok());
    EXPECT_TRUE(node.error().message().contains(QLatin1String("entry 2 is not a class description")))
        << node.error().message().toStdString();
}
