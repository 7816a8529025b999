#include "platform/foundation/KeyedUnarchiver.h"

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyListBinary.h"

#include <QDateTime>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Holds a value, a chain of children and two references to a sibling, which is everything a hostile
// archive can aim at.
class Node final : public KeyedArchivable
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMNode"); }

    void encodeWithCoder(KeyedArchiver &coder) const override
    {
        coder.encodeObject(payload, QStringLiteral("payload"));
        coder.encodeInt32(number, QStringLiteral("number"));
        coder.encodeBool(flag, QStringLiteral("flag"));
        coder.encodeObject(left.get(), QStringLiteral("left"));
        coder.encodeObject(right.get(), QStringLiteral("right"));
    }

    void initWithCoder(KeyedUnarchiver &coder) override
    {
        payload = coder.decodeObject(QStringLiteral("payload"));
        number = coder.decodeInt32(QStringLiteral("number"));
        flag = coder.decodeBool(QStringLiteral("flag"));
        left = coder.decodeObjectOfClass<Node>(QStringLiteral("left"));
        right = coder.decodeObjectOfClass<Node>(QStringLiteral("right"));
    }

    QVariant payload;
    qint32 number = 0;
    bool flag = false;
    std::unique_ptr<Node> left;
    std::unique_ptr<Node> right;
};

QVariant uid(quint64 index)
{
    return QVariant::fromValue(PropertyListUid{index});
}

QVariantMap classEntry(const QString &name)
{
    return QVariantMap{{QStringLiteral("$classname"), name}, {QStringLiteral("$classes"), QStringList{name, QStringLiteral("NSObject")}}};
}

// An archive put together entry by entry, for shapes the archiver never writes.
QByteArray handMadeArchive(const QVariantList &objects, const QVariantMap &top)
{
    const QVariantMap archive{{QStringLiteral("$archiver"), QStringLiteral("NSKeyedArchiver")},
                              {QStringLiteral("$version"), qint64(100000)},
                              {QStringLiteral("$top"), top},
                              {QStringLiteral("$objects"), objects}};
    return *serializePropertyList(archive, PropertyListFormat::Binary);
}

QByteArray sampleArchive(PropertyListFormat format)
{
    Node root;
    root.payload = QVariantMap{{QStringLiteral("records"),
                                QVariantList{QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("x1")},
                                                         {QStringLiteral("when"), QDateTime::fromMSecsSinceEpoch(5000, Qt::UTC)}},
                                             QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("x2")},
                                                         {QStringLiteral("crc"), qint64(99)}}}},
                               {QStringLiteral("small"), qint32(3)},
                               {QStringLiteral("data"), QByteArray("abc")}};
    root.number = 17;
    root.flag = true;
    root.left = std::make_unique<Node>();
    root.left->payload = QStringLiteral("left child");
    root.right = std::make_unique<Node>();
    root.right->payload = 2.5;
    KeyedArchiver archiver;
    archiver.setOutputFormat(format);
    archiver.encodeObject(root, QStringLiteral("HMNode"));
    return *archiver.finishEncoding();
}

// Reads everything the archive offers; a failure is fine, a crash or an out-of-bounds read is not
// (the sanitizer build checks the latter).
bool readsWhole(const QByteArray &bytes)
{
    Result<std::unique_ptr<Node>> node = KeyedUnarchiver::unarchiveObject<Node>(bytes, QStringLiteral("HMNode"));
    return node.ok();
}

} // namespace

TEST(KeyedUnarchiver, RefusesEveryTruncationAndSurvivesThousandsOfByteFlips)
{
    for (const PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
        SCOPED_TRACE(format == PropertyListFormat::Xml ? "XML" : "binary");
        const QByteArray valid = sampleArchive(format);
        ASSERT_TRUE(readsWhole(valid));
        int acceptedTruncations = 0;
        const qsizetype step = format == PropertyListFormat::Xml ? 7 : 1;
        for (qsizetype length = 0; length < valid.size(); length += step) {
            if (readsWhole(valid.left(length)))
                ++acceptedTruncations;
        }
        // XML can lose its closing lines and still parse; a binary file loses its trailer first.
        if (format == PropertyListFormat::Binary) {
            EXPECT_EQ(acceptedTruncations, 0);
        }

        QRandomGenerator random(20240229);
        int accepted = 0;
        for (int round = 0; round < 3000; ++round) {
            QByteArray mutated = valid;
            const int flips = 1 + int(random.bounded(4));
            for (int flip = 0; flip < flips; ++flip)
                mutated[random.bounded(int(mutated.size()))] = char(random.bounded(256));
            if (readsWhole(mutated))
                ++accepted;
        }
        std::printf("%s: %d of 3000 mutated archives still read\n", format == PropertyListFormat::Xml ? "XML" : "binary", accepted);
    }
    QRandomGenerator random(7);
    for (int round = 0; round < 500; ++round) {
        QByteArray noise(qsizetype(random.bounded(1, 400)), '\0');
        for (char &byte : noise)
            byte = char(random.bounded(256));
        if (round % 2 == 0)
            noise.replace(0, 8, "bplist00");
        EXPECT_FALSE(readsWhole(noise));
    }
}

TEST(KeyedUnarchiver, RefusesHostileArchivesWithAReason)
{
    const QVariantMap arrayClass = classEntry(QStringLiteral("NSArray"));
    const QVariantMap nodeClass = classEntry(QStringLiteral("HMNode"));
    const QVariantMap top{{QStringLiteral("HMNode"), uid(1)}};

    // Forty nodes whose left and right both name the next one: 2^40 objects to build.
    QVariantList doubling{QStringLiteral("$null")};
    for (int level = 1; level <= 40; ++level)
        doubling.append(QVariantMap{{QStringLiteral("$class"), uid(41)}, {QStringLiteral("left"), uid(level + 1)}, {QStringLiteral("right"), uid(level + 1)}});
    doubling[40] = QVariantMap{{QStringLiteral("$class"), uid(41)}};
    doubling.append(nodeClass);

    // Lists whose two items are both the next list: shared while decoding, 2^40 when walked.
    QVariantList doublingLists{QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(43)}, {QStringLiteral("payload"), uid(2)}}};
    for (int level = 2; level <= 41; ++level)
        doublingLists.append(QVariantMap{{QStringLiteral("$class"), uid(44)}, {QStringLiteral("NS.objects"), QVariantList{uid(level + 1), uid(level + 1)}}});
    doublingLists.append(QStringLiteral("leaf"));
    doublingLists.append(nodeClass);
    doublingLists.append(arrayClass);

    // Three hundred lists, each inside the one before.
    QVariantList deepLists{QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(302)}, {QStringLiteral("payload"), uid(2)}}};
    for (int level = 2; level <= 301; ++level)
        deepLists.append(QVariantMap{{QStringLiteral("$class"), uid(303)}, {QStringLiteral("NS.objects"), QVariantList{uid(level == 301 ? 0 : level + 1)}}});
    deepLists.append(nodeClass);
    deepLists.append(arrayClass);

    struct Row
    {
        const char *name;
        QByteArray bytes;
        const char *reason;
    };
    const Row rows[] = {
        {"not an archive", *serializePropertyList(QVariantMap{{QStringLiteral("a"), 1}}, PropertyListFormat::Binary), "not a keyed archive"},
        {"object table without $null",
         handMadeArchive({QStringLiteral("x"), QVariantMap{{QStringLiteral("$class"), uid(2)}}, nodeClass}, top), "$null"},
        {"unknown version",
         *serializePropertyList(QVariantMap{{QStringLiteral("$archiver"), QStringLiteral("NSKeyedArchiver")},
                                            {QStringLiteral("$version"), qint64(7)},
                                            {QStringLiteral("$top"), top},
                                            {QStringLiteral("$objects"), QVariantList{QStringLiteral("$null")}}},
                                PropertyListFormat::Binary),
         "unknown version"},
        {"root reference past the table", handMadeArchive({QStringLiteral("$null")}, top), "reference 1 lies outside"},
        {"class reference past the table", handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(9)}}}, top),
         "reference 9"},
        {"class entry that is a text", handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(2)}}, QStringLiteral("HMNode")}, top),
         "not a class description"},
        {"node that is its own child",
         handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(2)}, {QStringLiteral("left"), uid(1)}}, nodeClass}, top),
         "contains itself"},
        {"list that holds itself",
         handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(3)}, {QStringLiteral("payload"), uid(2)}}, QVariantMap{{QStringLiteral("$class"), uid(4)}, {QStringLiteral("NS.objects"), QVariantList{uid(2)}}}, nodeClass, arrayClass}, top),
         "contains itself"},
        {"list item in place of a reference",
         handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(3)}, {QStringLiteral("payload"), uid(2)}}, QVariantMap{{QStringLiteral("$class"), uid(4)}, {QStringLiteral("NS.objects"), QVariantList{qint64(5)}}}, nodeClass, arrayClass}, top),
         "in place of a reference"},
        {"number that is a text",
         handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(2)}, {QStringLiteral("number"), QStringLiteral("12")}}, nodeClass}, top),
         "not an integer"},
        {"nodes doubling at every level", handMadeArchive(doubling, top), "refer to each other"},
        {"lists doubling at every level", handMadeArchive(doublingLists, top), "expand past"},
        {"lists nested 300 deep", handMadeArchive(deepLists, top), "deeper than 200"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<std::unique_ptr<Node>> node = KeyedUnarchiver::unarchiveObject<Node>(row.bytes, QStringLiteral("HMNode"));
        ASSERT_FALSE(node.ok());
        EXPECT_TRUE(node.error().message().contains(QLatin1String(row.reason))) << node.error().message().toStdString();
    }

    // A root key that holds nothing is reported as missing, not as damage.
    const Result<std::unique_ptr<Node>> missing = KeyedUnarchiver::unarchiveObject<Node>(sampleArchive(PropertyListFormat::Binary), QStringLiteral("HMProfile"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ErrorCode::DataMissing);
}

namespace {

// Reads what another writer's archive holds under keys of every sort: not ASCII, beginning with "$".
class Visitor final : public KeyedArchivable
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMVisitor"); }
    void encodeWithCoder(KeyedArchiver &) const override {}

    void initWithCoder(KeyedUnarchiver &coder) override
    {
        size = coder.decodeInt64(QStringLiteral("größe"));
        dollar = coder.decodeObject(QStringLiteral("$weird"));
        list = coder.decodeObject(QStringLiteral("list"));
        map = coder.decodeObject(QStringLiteral("map"));
        hasMissing = coder.containsValueForKey(QStringLiteral("gross"));
    }

    qint64 size = 0;
    QVariant dollar;
    QVariant list;
    QVariant map;
    bool hasMissing = true;
};

} // namespace

// Python's plistlib lays archives out its own way: keys in the order given, objects numbered
// otherwise, references two bytes wide, non-ASCII texts in UTF-16. Everything still reads.
TEST(KeyedUnarchiver, ReadsArchivesAnotherWriterLaidOutItsOwnWay)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        GTEST_SKIP() << "python3 is not installed";
    // Writes the archive to its standard output.
    const QString script = QStringLiteral(R"(
import plistlib, sys
U = plistlib.UID
objects = ['$null',
    {'$class': U(2), '$$weird': U(3), 'map': U(4), 'größe': 70000, 'list': U(10)},
    {'$classname': 'HMVisitor', '$classes': ['HMVisitor', 'NSObject']},
    'Zürich ✓',
    {'NS.objects': [U(7), U(3), U(8)], 'NS.keys': [U(5), U(6), U(9)], '$class': U(11)},
    'z', 'ä', 'last', {'$class': U(12), 'NS.time': 1.5}, 'a',
    {'$class': U(13), 'NS.objects': [U(14 + i) for i in range(300)] + [U(3)]},
    {'$classname': 'NSMutableDictionary', '$classes': ['NSMutableDictionary', 'NSDictionary', 'NSObject']},
    {'$classname': 'NSDate', '$classes': ['NSDate', 'NSObject']},
    {'$classname': 'NSMutableArray', '$classes': ['NSMutableArray', 'NSArray', 'NSObject']},
] + ['item %d' % i for i in range(300)]
archive = {'$version': 100000, '$objects': objects, '$archiver': 'NSKeyedArchiver', '$top': {'root': U(1)}}
sys.stdout.buffer.write(plistlib.dumps(archive, fmt=plistlib.FMT_BINARY, sort_keys=False))
)");
    QProcess process;
    process.start(python, {QStringLiteral("-c"), script});
    ASSERT_TRUE(process.waitForFinished(30000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const QByteArray bytes = process.readAllStandardOutput();

    const Result<std::unique_ptr<Visitor>> visitor = KeyedUnarchiver::unarchiveObject<Visitor>(bytes, QStringLiteral("root"));
    ASSERT_TRUE(visitor.ok()) << visitor.error().message().toStdString();
    const Visitor &read = **visitor;
    EXPECT_EQ(read.size, 70000);
    EXPECT_EQ(read.dollar, QVariant(QStringLiteral("Zürich ✓")));
    EXPECT_FALSE(read.hasMissing);
    QVariantList items;
    for (int index = 0; index < 300; ++index)
        items.append(QStringLiteral("item %1").arg(index));
    items.append(QStringLiteral("Zürich ✓"));
    EXPECT_EQ(read.list, QVariant(items));
    const QVariantMap expected{{QStringLiteral("z"), QStringLiteral("last")},
                               {QStringLiteral("ä"), QStringLiteral("Zürich ✓")},
                               {QStringLiteral("a"), QDateTime::fromMSecsSinceEpoch(978307201500, Qt::UTC)}};
    EXPECT_EQ(read.map, QVariant(expected));
}

namespace {

// Writes its dictionaries one at a time, or as one list value, and reads them back both ways: one
// dictionary at a time, then as decodeObject gives the whole list.
class DictionaryLists final : public KeyedArchivable, public KeyedUnarchiver::DictionaryListVisitor
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMLists"); }

    void encodeWithCoder(KeyedArchiver &coder) const override
    {
        if (asOneValue) {
            coder.encodeObject(QVariant(QVariantList(dictionaries.cbegin(), dictionaries.cend())), QStringLiteral("records"));
            return;
        }
        coder.encodeDictionaryList(
            dictionaries.size(), [this](qsizetype position) { return dictionaries.at(position); }, QStringLiteral("records"));
    }

    void initWithCoder(KeyedUnarchiver &coder) override
    {
        wasRead = coder.decodeDictionaryList(QStringLiteral("records"), *this);
        if (wasRead)
            whole = coder.decodeObject(QStringLiteral("records"));
    }

    void beginList(qsizetype count) override { announced = count; }
    void addPair(const QString &key, const QVariant &value) override { current.insert(key, value); }
    void endDictionary() override
    {
        dictionaries.append(current);
        current.clear();
    }

    bool asOneValue = false;
    QList<QVariantMap> dictionaries;
    QVariantMap current;
    qsizetype announced = -1;
    bool wasRead = false;
    QVariant whole;
};

QByteArray archived(const DictionaryLists &lists)
{
    KeyedArchiver archiver;
    archiver.encodeObject(lists, QStringLiteral("HMLists"));
    return *archiver.finishEncoding();
}

} // namespace

// A list of dictionaries written one at a time is the very archive a list value makes, and read one
// dictionary at a time it gives what decodeObject gives.
TEST(KeyedUnarchiver, DictionaryListsReadOneAtATimeAsTheyReadWhole)
{
    DictionaryLists written;
    for (int index = 0; index < 40; ++index) {
        written.dictionaries.append({{QStringLiteral("hmUid"), QStringLiteral("D%1").arg(index % 30)},
                                     {QStringLiteral("when"), QDateTime::fromSecsSinceEpoch(1700000000 + index, Qt::UTC)},
                                     {QStringLiteral("small"), qint32(index)},
                                     {QStringLiteral("big"), qint64(1) << 40},
                                     {QStringLiteral("flag"), index % 2 == 0},
                                     {QStringLiteral("ratio"), 0.5},
                                     {QStringLiteral("data"), QByteArray("\x01\x02", 2)},
                                     {QStringLiteral("keys"), QVariantList{QStringLiteral("NOTE"), QVariantMap{{QStringLiteral("x"), 1}}}},
                                     {QStringLiteral("nothing"), QString()}});
    }
    written.dictionaries.append(QVariantMap());
    DictionaryLists asValue;
    asValue.asOneValue = true;
    asValue.dictionaries = written.dictionaries;
    const QByteArray bytes = archived(written);
    EXPECT_EQ(bytes, archived(asValue));

    const Result<std::unique_ptr<DictionaryLists>> read = KeyedUnarchiver::unarchiveObject<DictionaryLists>(bytes, QStringLiteral("HMLists"));
    ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
    EXPECT_TRUE((*read)->wasRead);
    EXPECT_EQ((*read)->announced, written.dictionaries.size());
    QList<QVariantMap> whole;
    for (const QVariant &item : (*read)->whole.toList())
        whole.append(item.toMap());
    ASSERT_EQ(whole.size(), written.dictionaries.size());
    EXPECT_EQ((*read)->dictionaries, whole);
}

TEST(KeyedUnarchiver, AnEmptyOrMissingDictionaryListReadsAsNoDictionaries)
{
    const Result<std::unique_ptr<DictionaryLists>> empty =
        KeyedUnarchiver::unarchiveObject<DictionaryLists>(archived(DictionaryLists()), QStringLiteral("HMLists"));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE((*empty)->wasRead);
    EXPECT_EQ((*empty)->announced, 0);
    const QByteArray nothing = handMadeArchive({QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(2)}},
                                                classEntry(QStringLiteral("HMLists"))},
                                               {{QStringLiteral("HMLists"), uid(1)}});
    const Result<std::unique_ptr<DictionaryLists>> missing = KeyedUnarchiver::unarchiveObject<DictionaryLists>(nothing, QStringLiteral("HMLists"));
    ASSERT_TRUE(missing.ok());
    EXPECT_TRUE((*missing)->wasRead);
    EXPECT_TRUE((*missing)->dictionaries.isEmpty());
}

TEST(KeyedUnarchiver, DictionaryListsRefuseWhatIsNoListOfDictionaries)
{
    // 0 $null, 1 the object, 2 its class, 3 the list, 4 and 5 the list's and dictionaries' classes,
    // 6 and on what the row puts there.
    const auto archiveWith = [](const QVariant &records, const QVariantList &items, const QVariantList &more) {
        QVariantList objects{QStringLiteral("$null"), QVariantMap{{QStringLiteral("$class"), uid(2)}, {QStringLiteral("records"), records}},
                             classEntry(QStringLiteral("HMLists")),
                             QVariantMap{{QStringLiteral("$class"), uid(4)}, {QStringLiteral("NS.objects"), items}},
                             classEntry(QStringLiteral("NSArray")), classEntry(QStringLiteral("NSDictionary"))};
        objects.append(more);
        return handMadeArchive(objects, {{QStringLiteral("HMLists"), uid(1)}});
    };
    const auto dictionary = [](const QVariantList &keys, const QVariantList &values) {
        return QVariantMap{{QStringLiteral("$class"), uid(5)}, {QStringLiteral("NS.keys"), keys}, {QStringLiteral("NS.objects"), values}};
    };
    struct Row
    {
        const char *name;
        QByteArray bytes;
        const char *reason;
    };
    const Row rows[] = {
        {"a text in place of the list", archiveWith(uid(6), {}, {QStringLiteral("x")}), "no list"},
        {"a plain value in place of the reference", archiveWith(QStringLiteral("x"), {}, {}), "not a list"},
        {"a text in the list", archiveWith(uid(3), {uid(6)}, {QStringLiteral("x")}), "not a dictionary"},
        {"the list in itself", archiveWith(uid(3), {uid(3)}, {}), "not a dictionary"},
        {"a number in place of a reference", archiveWith(uid(3), {qint64(6)}, {}), "in place of a reference"},
        {"a key that is a number", archiveWith(uid(3), {uid(6)}, {dictionary({uid(7)}, {uid(7)}), qint64(3)}), "not a text"},
        {"keys and values unmatched", archiveWith(uid(3), {uid(6)}, {dictionary({uid(7)}, {}), QStringLiteral("k")}), "not a dictionary"},
        {"a dictionary holding the list", archiveWith(uid(3), {uid(6)}, {dictionary({uid(7)}, {uid(3)}), QStringLiteral("k")}), "contains itself"},
        {"a dictionary holding itself", archiveWith(uid(3), {uid(6)}, {dictionary({uid(7)}, {uid(6)}), QStringLiteral("k")}), "contains itself"},
        {"a reference past the table", archiveWith(uid(3), {uid(60)}, {}), "lies outside"},
        {"a date whose time is a text",
         archiveWith(uid(3), {uid(6)},
                     {dictionary({uid(7)}, {uid(8)}), QStringLiteral("k"),
                      QVariantMap{{QStringLiteral("$class"), uid(9)}, {QStringLiteral("NS.time"), QStringLiteral("noon")}},
                      classEntry(QStringLiteral("NSDate"))}),
         "entry 8 is not a readable date"},
        {"a date whose class is no class", archiveWith(uid(3), {uid(6)}, {dictionary({uid(7)}, {uid(8)}), QStringLiteral("k"),
                                                                           QVariantMap{{QStringLiteral("$class"), uid(7)}}}),
         "entry 7 is not a class description"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<std::unique_ptr<DictionaryLists>> read = KeyedUnarchiver::unarchiveObject<DictionaryLists>(row.bytes, QStringLiteral("HMLists"));
        ASSERT_FALSE(read.ok());
        EXPECT_TRUE(read.error().message().contains(QLatin1String(row.reason))) << read.error().message().toStdString();
    }
}

namespace {

// An archive written object by object, with dictionaries keyed as no archiver of ours keys them: the
// first list entry names its keys by texts of their own, in another order; the second names "$class"
// twice, a dictionary's class first, a list's after it.
QByteArray archiveWithOddlyKeyedEntries()
{
    binaryplist::Encoder encoder(256);
    const auto text = [&encoder](const char *value) { return *encoder.writeText(QString::fromUtf8(value)); };
    const auto distinct = [&encoder](const char *value) {
        return *encoder.writeDistinctText(QString::fromUtf8(value));
    };
    const auto reference = [&encoder](quint64 index) { return encoder.writeUid(index); };
    const auto dictionary = [&encoder](const std::vector<std::pair<quint64, quint64>> &pairs) {
        std::vector<quint64> keysThenValues;
        for (const auto &pair : pairs)
            keysThenValues.push_back(pair.first);
        for (const auto &pair : pairs)
            keysThenValues.push_back(pair.second);
        return encoder.writeDictionary(keysThenValues);
    };
    const auto classEntry = [&](const char *name) {
        return dictionary({{text("$classname"), text(name)},
                           {text("$classes"), encoder.writeArray({text(name), text("NSObject")})}});
    };
    const std::vector<quint64> objects{
        text("$null"),
        dictionary({{text("$class"), reference(2)}, {text("records"), reference(3)}}),
        classEntry("HMLists"),
        dictionary({{text("$class"), reference(4)},
                    {text("NS.objects"), encoder.writeArray({reference(5), reference(6)})}}),
        classEntry("NSArray"),
        dictionary({{distinct("NS.objects"), encoder.writeArray({reference(9)})},
                    {distinct("$class"), reference(7)},
                    {distinct("NS.keys"), encoder.writeArray({reference(8)})}}),
        dictionary({{text("$class"), reference(7)},
                    {distinct("$class"), reference(4)},
                    {text("NS.keys"), encoder.writeArray({reference(8)})},
                    {text("NS.objects"), encoder.writeArray({reference(10)})}}),
        classEntry("NSDictionary"),
        text("hmUid"),
        text("A1"),
        text("B1")};
    const quint64 top = dictionary({{text("HMLists"), reference(1)}});
    const quint64 root = dictionary({{text("$archiver"), text("NSKeyedArchiver")},
                                     {text("$version"), *encoder.writeValue(qint64(100000))},
                                     {text("$top"), top},
                                     {text("$objects"), encoder.writeArray(objects)}});
    return encoder.finish(root);
}

} // namespace

// An entry's own keys are found by their texts, whichever objects hold them and in whatever order;
// where a key stands twice, the first counts, read one dictionary at a time or whole.
TEST(KeyedUnarchiver, DictionaryListsFindOwnKeysByTheirTextsAndTakeTheFirstOfTwo)
{
    const Result<std::unique_ptr<DictionaryLists>> read =
        KeyedUnarchiver::unarchiveObject<DictionaryLists>(archiveWithOddlyKeyedEntries(), QStringLiteral("HMLists"));
    ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
    const QList<QVariantMap> expected{{{QStringLiteral("hmUid"), QStringLiteral("A1")}},
                                      {{QStringLiteral("hmUid"), QStringLiteral("B1")}}};
    EXPECT_EQ((*read)->dictionaries, expected);
    EXPECT_EQ((*read)->whole, QVariant(QVariantList{expected.at(0), expected.at(1)}));
}

// A list whose length runs past the object area is damaged: reading it as an empty list would load
// a graph of nothing as though it were whole.
TEST(KeyedUnarchiver, AListThatRunsPastTheObjectAreaIsRefused)
{
    DictionaryLists written;
    for (const char *hmUid : {"a", "b", "c"})
        written.dictionaries.append({{QStringLiteral("hmUid"), QString::fromLatin1(hmUid)}});
    QByteArray bytes = archived(written);
    // The trailer names where the offset table starts and how wide its offsets are; the list of the
    // three records is the one list of three.
    const auto trailer = reinterpret_cast<const uchar *>(bytes.constData()) + bytes.size() - 32;
    const int offsetWidth = trailer[6];
    const quint64 objects = qFromBigEndian<quint64>(trailer + 8);
    const quint64 table = qFromBigEndian<quint64>(trailer + 24);
    QList<quint64> listsOfThree;
    for (quint64 object = 0; object < objects; ++object) {
        const uchar *start = reinterpret_cast<const uchar *>(bytes.constData());
        const quint64 offset = binaryplist::readBigEndian(start + table + object * quint64(offsetWidth), offsetWidth);
        if (uchar(bytes.at(qsizetype(offset))) == 0xA3)
            listsOfThree.append(offset);
    }
    ASSERT_EQ(listsOfThree.size(), 1);
    ASSERT_EQ(trailer[7], 1) << "references one byte wide";
    // Its length now stands in an integer after the marker: 255 references where three were.
    const qsizetype list = qsizetype(listsOfThree.first());
    bytes[list] = char(0xAF);
    bytes[list + 1] = char(0x10);
    bytes[list + 2] = char(0xFF);

    const Result<std::unique_ptr<DictionaryLists>> read =
        KeyedUnarchiver::unarchiveObject<DictionaryLists>(bytes, QStringLiteral("HMLists"));
    ASSERT_FALSE(read.ok()) << "read " << (*read)->dictionaries.size() << " dictionaries";
    EXPECT_TRUE(read.error().message().contains(QLatin1String("no list of references"))) << read.error().message().toStdString();
}
