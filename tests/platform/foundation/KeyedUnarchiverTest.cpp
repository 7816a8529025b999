#include "platform/foundation/KeyedUnarchiver.h"

#include "platform/foundation/KeyedArchiver.h"

#include <QDateTime>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <functional>
#include <memory>

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
