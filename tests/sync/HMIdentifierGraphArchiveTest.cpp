#include "sync/HMIdentifierGraphArchive.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/PropertyList.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphJournal.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include <sys/stat.h>

// The graph file is written straight from the packed entries; its bytes must be the keyed
// archiver's own, whatever the graph holds, and stay readable by any property-list reader.
namespace {

const QString kRootKey = QStringLiteral("HMIdentifierGraph");
const QDateTime kSyncDate = QDateTime::fromMSecsSinceEpoch(1'796'000'000'250, Qt::UTC);

QByteArray archiverBytes(const HMIdentifierGraph &graph)
{
    platform::KeyedArchiver coder;
    coder.encodeObject(graph, kRootKey);
    const platform::Result<QByteArray> bytes = coder.finishEncoding();
    return bytes ? *bytes : QByteArray("archiver failed: ") + bytes.error().message().toUtf8();
}

QVariantMap record(int number, const QVariantMap &more = {})
{
    QVariantMap dictionary = more;
    dictionary.insert(QStringLiteral("hmUid"), QStringLiteral("D%1").arg(number, 6, 10, QLatin1Char('0')));
    dictionary.insert(QStringLiteral("nativeId"), QStringLiteral("%1-4C05-B4F3-94D14200BC39").arg(number, 8, 16, QLatin1Char('0')));
    return dictionary;
}

// Records as the contacts conduit keeps them: a date, a checksum, both identifiers.
HMIdentifierGraph conduitGraph(int count)
{
    HMIdentifierGraph graph;
    for (int number = 0; number < count; ++number) {
        graph.appendDictionary(record(number, {{QStringLiteral("WrittenModificationDate"), kSyncDate.addSecs(number % 7)},
                                               {QStringLiteral("crcValue"), QString::number(qint64(number) * 2654435761 % 4294967291)}}));
    }
    graph.setLastSyncDate(kSyncDate);
    return graph;
}

// Values a record may hold that need no nested archive object: every kind of flat value.
QVariantMap everyFlatValue()
{
    return {
        {QStringLiteral("text"), QStringLiteral("ABPerson:0001")},
        {QStringLiteral("unicode"), QStringLiteral("Caf\u00e9 \U0001F600 \u212a")},
        {QStringLiteral("empty text"), QString(QLatin1String(""))},
        {QStringLiteral("null text"), QString()},
        {QStringLiteral("invalid"), QVariant()},
        {QStringLiteral("true"), true},
        {QStringLiteral("false"), false},
        {QStringLiteral("int"), qint32(-42)},
        {QStringLiteral("int min"), std::numeric_limits<qint32>::min()},
        {QStringLiteral("int max"), std::numeric_limits<qint32>::max()},
        {QStringLiteral("int64"), qint64(1) << 40},
        {QStringLiteral("int64 min"), std::numeric_limits<qint64>::min()},
        {QStringLiteral("uint"), std::numeric_limits<quint32>::max()},
        {QStringLiteral("uint64"), quint64(1) << 62},
        {QStringLiteral("double"), 3.25},
        {QStringLiteral("negative zero"), -0.0},
        {QStringLiteral("infinity"), std::numeric_limits<double>::infinity()},
        {QStringLiteral("nan"), std::nan("")},
        {QStringLiteral("data"), QByteArray("\x00\x01\xff zero", 8)},
        {QStringLiteral("empty data"), QByteArray("")},
        {QStringLiteral("null data"), QByteArray()},
        {QStringLiteral("date"), kSyncDate},
        {QStringLiteral("date before 2001"), QDateTime::fromMSecsSinceEpoch(-62'000'000'000'123, Qt::UTC)},
        {QStringLiteral("Kl\u00e9 \u00e0 accent"), QStringLiteral("value under a key that is not ASCII")},
        {QStringLiteral("$dollar key"), QStringLiteral("keys of records are not escaped")},
        {QStringLiteral("list"), QVariantList{1, QStringLiteral("two"), QVariantList{3.0, QVariant()}, QVariantMap{{QStringLiteral("k"), true}}}},
        {QStringLiteral("map"), QVariantMap{{QStringLiteral("inner"), QVariantMap{{QStringLiteral("hmUid"), qint64(7)}}}}},
        {QStringLiteral("hash"), QVariantHash{{QStringLiteral("h"), QStringLiteral("v")}, {QStringLiteral("a"), kSyncDate}}},
        {QStringLiteral("empty list"), QVariantList()},
        {QStringLiteral("empty map"), QVariantMap()},
        {QStringLiteral("text list"), QStringList{QStringLiteral("a"), QString(), QStringLiteral("ABPerson:0001"), QStringLiteral("a")}},
        {QStringLiteral("empty text list"), QStringList()},
        {QStringLiteral("date with an offset"), kSyncDate.toOffsetFromUtc(3600)},
        {QStringLiteral("local date"), kSyncDate.toLocalTime()},
        {QStringLiteral("invalid date"), QDateTime()},
    };
}

// Records as the address book conduit keeps them: group ids and mail keys held as a list and a
// dictionary, first met inside the first entry.
HMIdentifierGraph contactsGraph(int count)
{
    HMIdentifierGraph graph;
    for (int number = 0; number < count; ++number) {
        QStringList groups;
        if (number % 5 == 0)
            groups.append(QStringLiteral("group-%1").arg(number % 3));
        if (number % 50 == 0)
            groups.append(QStringLiteral("Caf\u00e9 group"));
        graph.appendDictionary(record(number, {{QStringLiteral("AddressBookGroupIdsKey"), groups},
                                               {QStringLiteral("EmailKeys"), QVariantMap{{QStringLiteral("home"), QStringLiteral("p%1@example.org").arg(number)}}},
                                               {QStringLiteral("WrittenModificationDate"), kSyncDate}}));
    }
    graph.setLastSyncDate(kSyncDate);
    return graph;
}

// Texts the archive itself writes outside its table of objects, held as values of records: both
// places must name one object, as the archiver's bytes do.
QVariantMap archiveNamesAsValues()
{
    QVariantMap dictionary;
    int number = 0;
    for (const char *name : {"$null", "$class", "$classname", "$classes", "NSObject", "NS.objects", "NS.keys", "NS.time",
                             "NS.intval", "$archiver", "NSKeyedArchiver", "$objects", "$top", "$version", "NSArray",
                             "NSDictionary", "NSDate", "HMInt32", "HMIdentifierGraph", "identifierDictionaries",
                             "lastSyncDate", "hmUid", "crcValue"})
        dictionary.insert(QStringLiteral("name%1").arg(number++, 2, 10, QLatin1Char('0')), QString::fromLatin1(name));
    return dictionary;
}

// Lists inside lists, deeper than entries pack them.
QVariant deepList()
{
    QVariant value = QStringLiteral("bottom");
    for (int level = 0; level < 24; ++level)
        value = QVariantList{value, level};
    return value;
}

HMIdentifierGraph graphOf(const QList<QVariantMap> &dictionaries, const QDateTime &lastSyncDate = QDateTime())
{
    HMIdentifierGraph graph;
    for (const QVariantMap &dictionary : dictionaries)
        graph.appendDictionary(dictionary);
    graph.setLastSyncDate(lastSyncDate);
    return graph;
}

// Entries of one to three pairs, so that the archive's count of objects takes many values around
// the point where references grow from one byte to two.
HMIdentifierGraph smallGraph(int count)
{
    QList<QVariantMap> dictionaries;
    for (int number = 0; number < count; ++number) {
        QVariantMap dictionary{{QStringLiteral("hmUid"), QStringLiteral("u%1").arg(number)}};
        if (number % 3 > 0)
            dictionary.insert(QStringLiteral("isNewRecord"), number % 2 == 0);
        if (number % 3 > 1)
            dictionary.insert(QStringLiteral("sequence"), qint32(number));
        dictionaries.append(dictionary);
    }
    return graphOf(dictionaries, count % 2 == 0 ? kSyncDate : QDateTime());
}

struct GraphShape
{
    const char *name;
    std::function<HMIdentifierGraph()> make;
};

QList<GraphShape> flatShapes()
{
    return {
        {"empty", [] { return HMIdentifierGraph(); }},
        {"empty with a date", [] { return graphOf({}, kSyncDate); }},
        {"one entry", [] { return graphOf({record(1)}); }},
        {"one empty entry", [] { return graphOf({QVariantMap()}, kSyncDate); }},
        {"every flat value", [] { return graphOf({record(1, everyFlatValue()), record(2, everyFlatValue())}, kSyncDate); }},
        {"archive names as values", [] { return graphOf({archiveNamesAsValues(), record(3, archiveNamesAsValues())}); }},
        {"repeated values", [] {
             const QVariantMap same{{QStringLiteral("crcValue"), QStringLiteral("-1")}, {QStringLiteral("nativeId"), QStringLiteral("hmUid")}};
             return graphOf({same, same, record(4, same), {{QStringLiteral("hmUid"), QStringLiteral("-1")}}});
         }},
        {"first date after the entries", [] { return graphOf({record(5), record(6)}, kSyncDate); }},
        {"first int32 in a later entry", [] {
             return graphOf({record(7), record(8, {{QStringLiteral("sequence"), qint32(3)}}), record(9, {{QStringLiteral("sequence"), qint32(3)}})});
         }},
        {"first list and dictionary inside an entry", [] {
             return graphOf({{{QStringLiteral("a"), QVariantList{QVariantMap{{QStringLiteral("b"), qint32(1)}}}}}}, kSyncDate);
         }},
        {"ten thousand conduit records", [] { return conduitGraph(10'000); }},
        {"ten thousand address book records", [] { return contactsGraph(10'000); }},
    };
}

// The graph written as a file a piece at a time; the pieces passed on are the file, and their digest
// is the file's.
QByteArray streamedFileBytes(const HMIdentifierGraph &graph)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("graph.idgraph"));
    QByteArray passed;
    HMIdentifierGraphJournal::RunningDigest digest;
    const platform::Status written =
        HMIdentifierGraphArchive::writeStreamedFile(graph, kRootKey, path, [&](QByteArrayView bytes) {
            passed += bytes;
            digest.add(bytes);
        });
    EXPECT_TRUE(written.ok());
    const QByteArray file = platform::readWholeFile(path).valueOr(QByteArray());
    EXPECT_EQ(passed, file);
    EXPECT_EQ(digest.text(), HMIdentifierGraphJournal::digestOf(file));
    struct stat status = {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    return file;
}

} // namespace

TEST(HMIdentifierGraphArchive, StreamedBytesAreTheArchiversBytes)
{
    for (const GraphShape &shape : flatShapes()) {
        SCOPED_TRACE(shape.name);
        const HMIdentifierGraph graph = shape.make();
        const platform::Result<QByteArray> streamed = HMIdentifierGraphArchive::archivedData(graph, kRootKey);
        ASSERT_TRUE(streamed.ok());
        const QByteArray expected = archiverBytes(graph);
        ASSERT_EQ(streamed->size(), expected.size());
        EXPECT_TRUE(*streamed == expected);
        EXPECT_EQ(streamedFileBytes(graph), expected) << "the file written piece by piece holds the same bytes";
    }
}

TEST(HMIdentifierGraphArchive, ReferenceWidthsFollowTheArchiversCount)
{
    for (int count = 0; count <= 60; ++count) {
        SCOPED_TRACE(count);
        const HMIdentifierGraph graph = smallGraph(count);
        const platform::Result<QByteArray> streamed = HMIdentifierGraphArchive::archivedData(graph, kRootKey);
        ASSERT_TRUE(streamed.ok());
        EXPECT_TRUE(*streamed == archiverBytes(graph));
    }
}

namespace {

// A list nested so many levels deep, a text at its bottom.
QVariant listNested(int levels)
{
    QVariant value = QStringLiteral("bottom");
    for (int level = 0; level < levels; ++level)
        value = QVariantList{value};
    return value;
}

QString withLoneSurrogate(const QString &text, char16_t unit = 0xd800)
{
    return text + QChar(unit);
}

// The days from 1970 of a date, as milliseconds.
qint64 daysMs(qint64 days)
{
    return days * 86'400'000;
}

// Values no flat pair of an entry holds, each in a graph that also holds plain records and texts
// that equal texts inside them.
QList<std::pair<const char *, QVariantMap>> valuesNoFlatPairHolds()
{
    const QString lone = withLoneSurrogate(QStringLiteral("lone "));
    const QDateTime far = QDateTime::fromMSecsSinceEpoch(daysMs(150'000'000), Qt::UTC);
    return {
        {"a text with a lone surrogate", {{QStringLiteral("text"), lone}, {QStringLiteral("again"), lone},
                                          {QStringLiteral("other"), withLoneSurrogate(QStringLiteral("lone "), 0xdc00)}}},
        {"lone surrogates in a list and a map",
         {{QStringLiteral("list"), QVariantList{lone, QStringLiteral("lone "), lone}},
          {QStringLiteral("map"), QVariantMap{{QStringLiteral("k"), lone}, {QStringLiteral("hmUid"), QString()}}}}},
        {"a text list with a lone surrogate",
         {{QStringLiteral("texts"), QStringList{QStringLiteral("a"), lone, QString(), QStringLiteral("D000000")}}}},
        {"a null text", {{QStringLiteral("null"), QString()}, {QStringLiteral("list"), QVariantList{QString()}}}},
        {"a float", {{QStringLiteral("float"), 1.5f}, {QStringLiteral("list"), QVariantList{QStringLiteral("a"), 0.25f}}}},
        {"short, char and long integers",
         {{QStringLiteral("short"), QVariant::fromValue(qint16(-300))},
          {QStringLiteral("ushort"), QVariant::fromValue(quint16(65000))},
          {QStringLiteral("schar"), QVariant::fromValue<signed char>(-5)},
          {QStringLiteral("uchar"), QVariant::fromValue<uchar>(200)},
          {QStringLiteral("char"), QVariant::fromValue<char>('x')},
          {QStringLiteral("long"), QVariant::fromValue<long>(-1234567890123L)},
          {QStringLiteral("ulong"), QVariant::fromValue<unsigned long>(1234567890123UL)}}},
        {"lists nested deeper than entries pack them",
         {{QStringLiteral("deep list"), deepList()}, {QStringLiteral("deeper"), listNested(150)}}},
        {"a map nested deeper than entries pack it",
         {{QStringLiteral("deep map"), QVariantMap{{QStringLiteral("in"), listNested(20)},
                                                     {QStringLiteral("data"), QVariantList{QByteArray("\x00\x01", 2)}}}},
          {QStringLiteral("deep data"), QVariantList{listNested(18), QByteArray("bytes"), QVariantHash{{lone, 1}}}}}},
        {"a map with a key UTF-8 cannot carry",
         {{QStringLiteral("map"), QVariantMap{{lone, QStringLiteral("v")}, {QStringLiteral("a"), qint32(1)}}},
          {QStringLiteral("hash"), QVariantHash{{withLoneSurrogate(QStringLiteral("h")), QDateTime()}}}}},
        {"dates past a hundred million days",
         {{QStringLiteral("far"), far}, {QStringLiteral("far before"), QDateTime::fromMSecsSinceEpoch(-daysMs(150'000'000), Qt::UTC)},
          {QStringLiteral("furthest"), QDateTime::fromMSecsSinceEpoch(daysMs(100'000'000'000), Qt::UTC)},
          {QStringLiteral("far in a list"), QVariantList{far}}, {QStringLiteral("far with an offset"), far.toOffsetFromUtc(7200)}}},
        {"a key UTF-8 cannot carry", {{withLoneSurrogate(QStringLiteral("key ")), 1}, {lone, lone}}},
        {"an unsigned integer within 63 bits in stream form",
         {{QStringLiteral("list"), QVariant::fromValue(QVariantList{QVariant::fromValue(quint64(7))})}}},
    };
}

// Values no archive holds: the archiver fails on each, and so does the graph file.
QList<std::pair<const char *, QVariantMap>> valuesNoArchiveHolds()
{
    return {
        {"a text with a NUL", {{QStringLiteral("nul"), QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b")}}},
        {"a key with a NUL", {{QStringLiteral("k") + QChar(u'\0'), 1}}},
        {"a NUL key inside a map", {{QStringLiteral("map"), QVariantMap{{QStringLiteral("a") + QChar(u'\0'), 1}}}}},
        {"a NUL text in a deep list", {{QStringLiteral("deep"), QVariantList{listNested(20), QStringLiteral("\u00e9") + QChar(u'\0')}}}},
        {"an unsigned integer past 63 bits", {{QStringLiteral("uint64 max"), std::numeric_limits<quint64>::max()}}},
        {"a list of another type", {{QStringLiteral("ints"), QVariant::fromValue(QList<int>{1, 2})}}},
        {"lists nested past the archive's depth", {{QStringLiteral("too deep"), listNested(300)}}},
    };
}

QByteArray graphFileBytes(const HMIdentifierGraph &graph, platform::Status &written)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("graph.idgraph"));
    written = HMIdentifierGraphArchive::writeStreamedFile(graph, kRootKey, path, [](QByteArrayView) {});
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), written ? 1 : 0);
    return platform::readWholeFile(path).valueOr(QByteArray());
}

} // namespace

// Whatever an entry holds, the graph file has the keyed archiver's bytes, or its failure with
// nothing written.
TEST(HMIdentifierGraphArchive, ValuesNoFlatPairHoldsAreWrittenAsTheArchiverWritesThem)
{
    for (const auto &[what, values] : valuesNoFlatPairHolds()) {
        SCOPED_TRACE(what);
        const QVariantMap plain{{QStringLiteral("hmUid"), QStringLiteral("lone ")}, {QStringLiteral("a"), QStringLiteral("a")}};
        const HMIdentifierGraph graph = graphOf({record(0), record(1, values), plain, record(2, values)}, kSyncDate);
        const QByteArray expected = archiverBytes(graph);
        const platform::Result<QByteArray> archived = HMIdentifierGraphArchive::archivedData(graph, kRootKey);
        ASSERT_TRUE(archived) << archived.error().message().toStdString() << " / " << expected.left(200).toStdString();
        ASSERT_EQ(archived->size(), expected.size());
        EXPECT_TRUE(*archived == expected);
        platform::Status written = platform::success();
        EXPECT_TRUE(graphFileBytes(graph, written) == expected);
        EXPECT_TRUE(written);
        // Property-list readers refuse dates past some three thousand years from now, so a file
        // holding one is written as the archiver writes it but does not read back.
        if (std::string(what) == "dates past a hundred million days")
            continue;
        const platform::Result<std::unique_ptr<HMIdentifierGraph>> read =
            HMIdentifierGraphArchive::unarchivedGraph(*archived, kRootKey);
        ASSERT_TRUE(read);
        EXPECT_EQ(HMIdentifierGraph::dictionariesOf((*read)->entries()).size(), 4);
    }
    for (const auto &[what, values] : valuesNoArchiveHolds()) {
        SCOPED_TRACE(what);
        const HMIdentifierGraph graph = graphOf({record(0), record(1, values)}, kSyncDate);
        platform::KeyedArchiver coder;
        coder.encodeObject(graph, kRootKey);
        EXPECT_FALSE(coder.finishEncoding().ok()) << "the archiver fails";
        EXPECT_FALSE(HMIdentifierGraphArchive::archivedData(graph, kRootKey).ok());
        platform::Status written = platform::success();
        EXPECT_TRUE(graphFileBytes(graph, written).isEmpty());
        EXPECT_FALSE(written) << "nothing is left written";
    }
}

// Packed bytes made elsewhere that a dictionary reads otherwise than they stand (texts of bytes that
// are not UTF-8, each read as a replacement character; a nested dictionary whose keys stand out of
// order or twice) are written as the archiver writes the dictionaries they read as.
TEST(HMIdentifierGraphArchive, PackedBytesAreWrittenAsTheDictionariesTheyReadAs)
{
    HMIdentifierGraph graph;
    // A lone surrogate whose key (0xFF and its units) is bytes an entry may also hold as a text.
    const QString lone(QChar(char16_t(0xd841)));
    HMIdentifierGraph::Entries entries{HMIdentifierGraphEntry(
        record(0, {{QStringLiteral("text"), QStringLiteral("\uFFFD")}, {QStringLiteral("lone"), lone}}))};
    for (const QByteArray &packed : {QByteArray("\x02\x01\x01\x01\xff", 5), QByteArray("\x02\x01\x01\x01\xfe", 5),
                                     QByteArray("\x02\x01\x01\x03\xff\x41\xd8", 7),
                                     QByteArray("\x02\x01\x10\x07\x02\x01" "b\x05\x01" "a\x04", 11),
                                     QByteArray("\x02\x01\x10\x07\x02\x01" "a\x05\x01" "a\x04", 11),
                                     QByteArray("\x02\x01\x10\x07\x02\x01\xff\x05\x01\xfe\x04", 11)}) {
        const std::optional<HMIdentifierGraphEntry> entry = HMIdentifierGraphEntry::fromPacked(packed);
        ASSERT_TRUE(entry) << packed.toHex().constData();
        entries.append(*entry);
        entries.append(*entry);
        graph.setEntries(entries);
        const platform::Result<QByteArray> archived = HMIdentifierGraphArchive::archivedData(graph, kRootKey);
        ASSERT_TRUE(archived) << archived.error().message().toStdString();
        EXPECT_TRUE(*archived == archiverBytes(graph)) << packed.toHex().constData();
    }
}

// Root keys are written as the archiver writes them, one starting with "$" escaped.
TEST(HMIdentifierGraphArchive, RootKeysAreWrittenAsTheArchiverWritesThem)
{
    const HMIdentifierGraph graph = graphOf({record(0), {{QStringLiteral("text"), QStringLiteral("$root")}}}, kSyncDate);
    for (const QString &rootKey : {QStringLiteral("$root"), QStringLiteral("root \u00e9"), withLoneSurrogate(QStringLiteral("r")),
                                   QStringLiteral("hmUid"), QStringLiteral("NS.objects")}) {
        SCOPED_TRACE(rootKey.toStdString());
        platform::KeyedArchiver coder;
        coder.encodeObject(graph, rootKey);
        const platform::Result<QByteArray> expected = coder.finishEncoding();
        ASSERT_TRUE(expected);
        const platform::Result<QByteArray> archived = HMIdentifierGraphArchive::archivedData(graph, rootKey);
        ASSERT_TRUE(archived);
        EXPECT_TRUE(*archived == *expected);
    }
    EXPECT_FALSE(HMIdentifierGraphArchive::archivedData(graph, QStringLiteral("a") + QChar(u'\0')).ok());
}

TEST(HMIdentifierGraphArchive, PythonsPlistReaderOpensTheStreamedFile)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        GTEST_SKIP() << "python3 is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const HMIdentifierGraph graph = graphOf({record(1, archiveNamesAsValues()), record(2, everyFlatValue())}, kSyncDate);
    const QString path = dir.filePath(QStringLiteral("graph.idgraph"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(HMIdentifierGraphArchive::archivedData(graph, kRootKey).valueOr(QByteArray()));
    file.close();
    const QString script = QStringLiteral(R"(
import json, plistlib, sys
with open(sys.argv[1], 'rb') as f:
    archive = plistlib.load(f)
objects = archive['$objects']
graph = objects[archive['$top']['HMIdentifierGraph'].data]
entries = objects[graph['identifierDictionaries'].data]['NS.objects']
out = []
for entry in entries:
    d = objects[entry.data]
    keys = [objects[k.data] for k in d['NS.keys']]
    values = [objects[v.data] for v in d['NS.objects']]
    out.append([keys[keys.index('hmUid')], values[keys.index('hmUid')], values[keys.index('name00')] if 'name00' in keys else None])
print(json.dumps(out))
)");
    QProcess process;
    process.start(python, {QStringLiteral("-c"), script, path});
    ASSERT_TRUE(process.waitForFinished(20'000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const QJsonArray read = QJsonDocument::fromJson(process.readAllStandardOutput()).array();
    ASSERT_EQ(read.size(), 2);
    EXPECT_EQ(read.at(0).toArray().at(1).toString(), QStringLiteral("D000001"));
    EXPECT_EQ(read.at(0).toArray().at(2).toString(), QStringLiteral("$null"));
    EXPECT_EQ(read.at(1).toArray().at(1).toString(), QStringLiteral("D000002"));
}

namespace {

using Keeping = platform::KeyedUnarchiver::Keeping;

// What a load gives, in a form two loads compare by: the failure's message, or every entry's packed
// bytes and the last sync date.
struct Loaded
{
    bool ok = false;
    QString error;
    QList<QByteArray> packed;
    QDateTime lastSyncDate;
};

Loaded loadedFrom(const platform::Result<std::unique_ptr<HMIdentifierGraph>> &graph)
{
    Loaded loaded;
    loaded.ok = graph.ok();
    if (!graph.ok()) {
        loaded.error = graph.error().message();
        return loaded;
    }
    for (const HMIdentifierGraphEntry &entry : (*graph)->entries())
        loaded.packed.append(entry.packed());
    loaded.lastSyncDate = (*graph)->lastSyncDate();
    return loaded;
}

void expectEqualLoads(const Loaded &expected, const Loaded &actual)
{
    ASSERT_EQ(actual.ok, expected.ok) << expected.error.toStdString() << " / " << actual.error.toStdString();
    EXPECT_EQ(actual.error, expected.error);
    EXPECT_EQ(actual.lastSyncDate, expected.lastSyncDate);
    EXPECT_EQ(actual.lastSyncDate.timeSpec(), expected.lastSyncDate.timeSpec());
    ASSERT_EQ(actual.packed.size(), expected.packed.size());
    for (qsizetype position = 0; position < expected.packed.size(); ++position)
        ASSERT_TRUE(actual.packed.at(position) == expected.packed.at(position)) << "entry " << position;
}

Loaded load(const QByteArray &bytes, Keeping keeping)
{
    return loadedFrom(platform::KeyedUnarchiver::unarchiveObject<HMIdentifierGraph>(bytes, kRootKey, keeping));
}

// Both ways of keeping decoded values give the same graph, or the same failure.
void expectSameLoads(const QByteArray &bytes)
{
    expectEqualLoads(load(bytes, Keeping::KeepAll), load(bytes, Keeping::ReleaseHandedValues));
}

} // namespace

TEST(HMIdentifierGraphArchive, ReleasingHandedValuesLoadsWhatKeepingThemLoads)
{
    QList<QByteArray> files;
    for (const GraphShape &shape : flatShapes())
        files.append(archiverBytes(shape.make()));
    for (int count : {0, 1, 2, 17, 40})
        files.append(archiverBytes(smallGraph(count)));
    // Values only the archiver writes, nested objects among them.
    files.append(archiverBytes(graphOf({record(1, {{QStringLiteral("deep"), deepList()}}),
                                        record(2, {{QStringLiteral("nested"), QVariantMap{{QStringLiteral("m"), QVariantList{1, QStringLiteral("x")}}}}})},
                                       kSyncDate)));
    for (const QByteArray &bytes : files) {
        SCOPED_TRACE(bytes.size());
        const Loaded loaded = load(bytes, Keeping::ReleaseHandedValues);
        EXPECT_TRUE(loaded.ok) << loaded.error.toStdString();
        expectSameLoads(bytes);
    }
}

// Damaged files: every truncation and flipped bytes all through a real graph, lists and dictionaries
// inside its entries.
TEST(HMIdentifierGraphArchive, DamagedGraphsFailAlikeEitherWay)
{
    const QByteArray bytes = archiverBytes(contactsGraph(6));
    ASSERT_GT(bytes.size(), 200);
    for (qsizetype length = 0; length < bytes.size(); length += 7) {
        SCOPED_TRACE(length);
        expectSameLoads(bytes.left(length));
    }
    for (qsizetype position = 0; position < bytes.size(); ++position) {
        for (const char mask : {char(0x01), char(0x12), char(0x80), char(0xff)}) {
            SCOPED_TRACE(QStringLiteral("byte %1 ^ %2").arg(position).arg(int(uchar(mask))).toStdString());
            QByteArray damaged = bytes;
            damaged[position] = char(damaged.at(position) ^ mask);
            expectSameLoads(damaged);
        }
    }
}

// An archive may name one dictionary from two entries; the value let go after the first is needed
// again, and the graph is read once more keeping every value.
TEST(HMIdentifierGraphArchive, AValueNamedByTwoEntriesIsReadAgainKeepingAll)
{
    const platform::Result<QVariant> parsed = platform::parsePropertyList(archiverBytes(contactsGraph(3)));
    ASSERT_TRUE(parsed.ok());
    QVariantMap archive = parsed->toMap();
    QVariantList objects = archive.value(QStringLiteral("$objects")).toList();
    const QVariantMap graphObject = objects.at(1).toMap();
    const quint64 list = graphObject.value(QStringLiteral("identifierDictionaries")).value<platform::PropertyListUid>().value;
    const QVariantList entries = objects.at(qsizetype(list)).toMap().value(QStringLiteral("NS.objects")).toList();
    ASSERT_EQ(entries.size(), 3);
    auto valuesOf = [&](int entry) {
        return objects.at(qsizetype(entries.at(entry).value<platform::PropertyListUid>().value)).toMap().value(QStringLiteral("NS.objects")).toList();
    };
    // The third entry's mail keys become the first entry's ("EmailKeys" is the second key).
    QVariantMap third = objects.at(qsizetype(entries.at(2).value<platform::PropertyListUid>().value)).toMap();
    QVariantList thirdValues = valuesOf(2);
    thirdValues[1] = valuesOf(0).at(1);
    third.insert(QStringLiteral("NS.objects"), thirdValues);
    objects[qsizetype(entries.at(2).value<platform::PropertyListUid>().value)] = third;
    archive.insert(QStringLiteral("$objects"), objects);
    const platform::Result<QByteArray> shared = platform::serializePropertyList(archive, platform::PropertyListFormat::Binary);
    ASSERT_TRUE(shared.ok());

    platform::Result<platform::KeyedUnarchiver> unarchiver = platform::KeyedUnarchiver::create(*shared, Keeping::ReleaseHandedValues);
    ASSERT_TRUE(unarchiver.ok());
    EXPECT_EQ(unarchiver->decodeObjectOfClass<HMIdentifierGraph>(kRootKey), nullptr);
    EXPECT_TRUE(unarchiver->neededReleasedValue());

    const Loaded loaded = load(*shared, Keeping::ReleaseHandedValues);
    ASSERT_TRUE(loaded.ok) << loaded.error.toStdString();
    ASSERT_EQ(loaded.packed.size(), 3);
    const QVariantMap first = HMIdentifierGraphEntry::fromPacked(loaded.packed.at(0))->toMap();
    const QVariantMap last = HMIdentifierGraphEntry::fromPacked(loaded.packed.at(2))->toMap();
    EXPECT_EQ(last.value(QStringLiteral("EmailKeys")), first.value(QStringLiteral("EmailKeys")));
    EXPECT_EQ(last.value(QStringLiteral("hmUid")).toString(), QStringLiteral("D000002"));
    expectSameLoads(*shared);
}

namespace {

// The graph file reader gives what the unarchiver gives, entry for entry and byte for byte, or the
// unarchiver's own failure; answers whether the streamed reader read the file itself.
bool expectReadAsTheUnarchiverReads(const QByteArray &bytes)
{
    const Loaded expected = load(bytes, Keeping::ReleaseHandedValues);
    std::optional<std::unique_ptr<HMIdentifierGraph>> streamed = HMIdentifierGraphArchive::streamedGraph(bytes, kRootKey);
    if (streamed) {
        EXPECT_TRUE(expected.ok) << "the streamed reader accepts what the unarchiver refuses: " << expected.error.toStdString();
        expectEqualLoads(expected, loadedFrom(std::move(*streamed)));
    }
    expectEqualLoads(expected, loadedFrom(HMIdentifierGraphArchive::unarchivedGraph(bytes, kRootKey)));
    return streamed.has_value();
}

// The archive as a property list, changed by edit and written again.
QByteArray editedArchive(const QByteArray &bytes, const std::function<void(QVariantList &objects)> &edit)
{
    const platform::Result<QVariant> parsed = platform::parsePropertyList(bytes);
    EXPECT_TRUE(parsed.ok());
    QVariantMap archive = parsed.valueOr(QVariant()).toMap();
    QVariantList objects = archive.value(QStringLiteral("$objects")).toList();
    edit(objects);
    archive.insert(QStringLiteral("$objects"), objects);
    return platform::serializePropertyList(archive, platform::PropertyListFormat::Binary).valueOr(QByteArray());
}

quint64 uidIn(const QVariant &value)
{
    return value.value<platform::PropertyListUid>().value;
}

// The positions in the table of objects of the graph's entries' dictionaries.
QList<quint64> entryDictionaries(const QVariantList &objects)
{
    const quint64 list = uidIn(objects.at(1).toMap().value(QStringLiteral("identifierDictionaries")));
    QList<quint64> entries;
    for (const QVariant &entry : objects.at(qsizetype(list)).toMap().value(QStringLiteral("NS.objects")).toList())
        entries.append(uidIn(entry));
    return entries;
}

} // namespace

// Every graph the application writes is read straight into packed entries, and reads as the
// unarchiver reads it: flat values, nested lists and dictionaries, dates of every kind, both widths
// of references.
TEST(HMIdentifierGraphArchive, StreamedReaderReadsWhatTheUnarchiverReads)
{
    for (const GraphShape &shape : flatShapes()) {
        SCOPED_TRACE(shape.name);
        EXPECT_TRUE(expectReadAsTheUnarchiverReads(archiverBytes(shape.make())));
    }
    for (int count = 0; count <= 60; ++count) {
        SCOPED_TRACE(count);
        EXPECT_TRUE(expectReadAsTheUnarchiverReads(archiverBytes(smallGraph(count))));
    }
    const QList<QVariantMap> nested{
        {{QStringLiteral("list of lists"), QVariantList{QVariantList{QString(QLatin1String("")), QVariantList()}, QVariantMap()}}},
        {{QStringLiteral("items of every kind"), QVariantList{kSyncDate, qint32(-7), QByteArray("d"), QStringLiteral("Caf\u00e9"), QVariant(), 2.5, false}}},
        {{QStringLiteral("dictionary"), QVariantMap{{QStringLiteral("a"), QVariantMap{{QStringLiteral("b"), kSyncDate}}}, {QStringLiteral("b"), qint64(-1)}}}},
        {{QStringLiteral("fifteen levels"), [] {
              QVariant value = QStringLiteral("bottom");
              for (int level = 0; level < 15; ++level)
                  value = QVariantList{value};
              return value;
          }()}},
    };
    for (const QVariantMap &row : nested) {
        SCOPED_TRACE(row.firstKey().toStdString());
        EXPECT_TRUE(expectReadAsTheUnarchiverReads(archiverBytes(graphOf({record(1), record(2, row)}, kSyncDate))));
    }
}

// A graph read by the file reader knows whether any entry was sent as new and never answered, as
// one the unarchiver reads does, and keeps knowing it as entries come and go.
TEST(HMIdentifierGraphArchive, StreamedGraphsTellUnconfirmedEntries)
{
    const QString key = QStringLiteral("isUnconfirmedAdd");
    struct Row
    {
        const char *name;
        QList<QVariantMap> records;
        bool hasUnconfirmed;
    };
    const Row rows[] = {
        {"none marked", {record(1), record(2)}, false},
        {"one marked", {record(1), record(2, {{key, true}}), record(3)}, true},
        {"marked false", {record(1, {{key, false}}), record(2)}, false},
        {"marked by a number", {record(1), record(2, {{key, qint32(1)}})}, true},
        {"no entries", {}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray bytes = archiverBytes(graphOf(row.records, kSyncDate));
        std::optional<std::unique_ptr<HMIdentifierGraph>> streamed = HMIdentifierGraphArchive::streamedGraph(bytes, kRootKey);
        ASSERT_TRUE(streamed.has_value());
        HMIdentifierGraph &graph = **streamed;
        EXPECT_EQ(graph.hasUnconfirmedEntries(), row.hasUnconfirmed);
        const platform::Result<std::unique_ptr<HMIdentifierGraph>> unarchived =
            platform::KeyedUnarchiver::unarchiveObject<HMIdentifierGraph>(bytes, kRootKey, Keeping::KeepAll);
        ASSERT_TRUE(unarchived.ok()) << unarchived.error().message().toStdString();
        EXPECT_EQ((*unarchived)->hasUnconfirmedEntries(), row.hasUnconfirmed);
        const QVariantMap added = record(9, {{key, true}});
        graph.appendDictionary(added);
        EXPECT_TRUE(graph.hasUnconfirmedEntries());
        EXPECT_TRUE(graph.removeDictionary(added));
        EXPECT_EQ(graph.hasUnconfirmedEntries(), row.hasUnconfirmed);
    }
}

// Archives only the unarchiver reads, which the archiver writes or another writer may: the graph
// file reader hands them over and the graph is the unarchiver's.
TEST(HMIdentifierGraphArchive, OddArchivesAreLeftToTheUnarchiver)
{
    const QByteArray contacts = archiverBytes(contactsGraph(3));
    const QList<std::pair<const char *, QByteArray>> odd{
        {"lists nested past what an entry packs", archiverBytes(graphOf({record(1, {{QStringLiteral("deep"), deepList()}})}))},
        {"a dictionary whose key is not ASCII",
         archiverBytes(graphOf({record(1, {{QStringLiteral("m"), QVariantMap{{QStringLiteral("\u00e9"), 1}}}})}))},
        {"an entry's keys out of order", editedArchive(contacts, [](QVariantList &objects) {
             QVariantMap entry = objects.at(qsizetype(entryDictionaries(objects).at(1))).toMap();
             for (const QString &key : {QStringLiteral("NS.keys"), QStringLiteral("NS.objects")}) {
                 QVariantList references = entry.value(key).toList();
                 std::reverse(references.begin(), references.end());
                 entry.insert(key, references);
             }
             objects[qsizetype(entryDictionaries(objects).at(1))] = entry;
         })},
        {"one dictionary named by two entries", editedArchive(contacts, [](QVariantList &objects) {
             const QList<quint64> entries = entryDictionaries(objects);
             QVariantMap third = objects.at(qsizetype(entries.at(2))).toMap();
             QVariantList values = third.value(QStringLiteral("NS.objects")).toList();
             values[1] = objects.at(qsizetype(entries.at(0))).toMap().value(QStringLiteral("NS.objects")).toList().at(1);
             third.insert(QStringLiteral("NS.objects"), values);
             objects[qsizetype(entries.at(2))] = third;
         })},
    };
    for (const auto &[name, bytes] : odd) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(bytes.isEmpty());
        EXPECT_FALSE(expectReadAsTheUnarchiverReads(bytes));
        EXPECT_TRUE(load(bytes, Keeping::ReleaseHandedValues).ok);
    }
}

// Damaged files are refused as the unarchiver refuses them, with its message: every truncation of a
// small graph, and flipped bytes all through a real one.
TEST(HMIdentifierGraphArchive, StreamedReaderRefusesWhatTheUnarchiverRefuses)
{
    const QByteArray small = archiverBytes(smallGraph(5));
    for (qsizetype length = 0; length <= small.size(); ++length) {
        SCOPED_TRACE(length);
        expectReadAsTheUnarchiverReads(small.left(length));
    }
    const QByteArray bytes = archiverBytes(graphOf({record(1, {{QStringLiteral("WrittenModificationDate"), kSyncDate},
                                                               {QStringLiteral("n"), QVariantList{qint32(2), QVariantMap{{QStringLiteral("k"), kSyncDate}}}}}),
                                                    record(2)},
                                                   kSyncDate));
    int streamed = 0;
    for (qsizetype position = 0; position < bytes.size(); ++position) {
        for (const char mask : {char(0x01), char(0x12), char(0x80), char(0xff)}) {
            SCOPED_TRACE(QStringLiteral("byte %1 ^ %2").arg(position).arg(int(uchar(mask))).toStdString());
            QByteArray damaged = bytes;
            damaged[position] = char(damaged.at(position) ^ mask);
            streamed += expectReadAsTheUnarchiverReads(damaged) ? 1 : 0;
        }
    }
    // Flips inside texts and numbers leave readable archives, which the reader reads itself.
    EXPECT_GT(streamed, 0);
}

// The damaged positions are shared among this many cases, every fourth to each, so that ctest runs
// them side by side: the whole trial takes about a minute of CPU with the sanitizers.
constexpr int kWideTableShares = 4;

class WideTables : public testing::TestWithParam<int>
{
};

// A graph large enough for references and offsets two bytes wide, damaged through its table of
// offsets, its trailer and its first objects (the graph, its list, the first entries with a
// list, a dictionary and a date each): refused as the unarchiver refuses it, or read as it reads it.
TEST_P(WideTables, StreamedReaderReadsWideTablesAsTheUnarchiverReadsThem)
{
    QList<QVariantMap> records;
    for (int number = 0; number < 120; ++number) {
        records.append(record(number, {{QStringLiteral("AddressBookGroupIdsKey"), QVariantList()},
                                       {QStringLiteral("EmailKeys"), QVariantMap{{QStringLiteral("%1").arg(number, 8, 16, QLatin1Char('0')), QStringLiteral("0")}}},
                                       {QStringLiteral("WrittenModificationDate"), kSyncDate.addSecs(number)}}));
    }
    const QByteArray bytes = archiverBytes(graphOf(records, kSyncDate));
    const auto *trailer = reinterpret_cast<const uchar *>(bytes.constData()) + bytes.size() - 32;
    ASSERT_EQ(trailer[6], 2) << "offsets two bytes wide";
    ASSERT_EQ(trailer[7], 2) << "references two bytes wide";
    ASSERT_TRUE(expectReadAsTheUnarchiverReads(bytes));
    const auto offsetTable = qsizetype(qFromBigEndian<quint64>(trailer + 24));
    QList<qsizetype> positions;
    for (qsizetype position = 8; position < 400; ++position)
        positions.append(position);
    // Every offset's high byte and, in turn, some low bytes; the whole trailer.
    for (qsizetype position = offsetTable; position < bytes.size() - 32; position += 2)
        positions.append(position + ((position - offsetTable) % 10 == 0 ? 1 : 0));
    for (qsizetype position = bytes.size() - 32; position < bytes.size(); ++position)
        positions.append(position);
    int streamed = 0;
    for (qsizetype index = GetParam(); index < positions.size(); index += kWideTableShares) {
        const qsizetype position = positions.at(index);
        for (const char mask : {char(0x01), char(0xff)}) {
            SCOPED_TRACE(QStringLiteral("byte %1 ^ %2").arg(position).arg(int(uchar(mask))).toStdString());
            QByteArray damaged = bytes;
            damaged[position] = char(damaged.at(position) ^ mask);
            streamed += expectReadAsTheUnarchiverReads(damaged) ? 1 : 0;
        }
    }
    EXPECT_GT(streamed, 0);
}

INSTANTIATE_TEST_SUITE_P(HMIdentifierGraphArchive, WideTables, testing::Range(0, kWideTableShares));
