#include "platform/foundation/KeyedArchiver.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

#include <gtest/gtest.h>

using namespace platform;

namespace {

// A settings object with one property of each kind an archive carries, and a nested object.
class SampleSettings final : public KeyedArchivable
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMSampleSettings"); }

    void encodeWithCoder(KeyedArchiver &coder) const override
    {
        coder.encodeBool(enabled, QStringLiteral("contactSyncEnabled"));
        coder.encodeInt32(packetNumber, QStringLiteral("lastUploadPacketNumber"));
        coder.encodeInt64(counter, QStringLiteral("lastPacketNumberA"));
        coder.encodeDouble(ratio, QStringLiteral("ratio"));
        coder.encodeObject(name, QStringLiteral("name"));
        coder.encodeObject(lastSync, QStringLiteral("lastSyncDateWorkaround"));
        coder.encodeObject(records, QStringLiteral("identifierDictionaries"));
        coder.encodeObject(options, QStringLiteral("options"));
        coder.encodeObject(inner.get(), QStringLiteral("inner"));
    }

    void initWithCoder(KeyedUnarchiver &coder) override
    {
        enabled = coder.decodeBool(QStringLiteral("contactSyncEnabled"));
        packetNumber = coder.decodeInt32(QStringLiteral("lastUploadPacketNumber"));
        counter = coder.decodeInt64(QStringLiteral("lastPacketNumberA"));
        ratio = coder.decodeDouble(QStringLiteral("ratio"));
        name = coder.decodeObject(QStringLiteral("name")).toString();
        lastSync = coder.decodeObject(QStringLiteral("lastSyncDateWorkaround")).toDateTime();
        records = coder.decodeObject(QStringLiteral("identifierDictionaries"));
        options = coder.decodeObject(QStringLiteral("options"));
        inner = coder.decodeObjectOfClass<SampleSettings>(QStringLiteral("inner"));
    }

    bool enabled = false;
    qint32 packetNumber = 0;
    qint64 counter = 0;
    double ratio = 0.0;
    QString name;
    QDateTime lastSync;
    QVariant records;
    QVariant options;
    std::unique_ptr<SampleSettings> inner;
};

// Refers to another object it does not own, so that a test can close a loop.
class Link final : public KeyedArchivable
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMLink"); }
    void encodeWithCoder(KeyedArchiver &coder) const override { coder.encodeObject(next, QStringLiteral("next")); }
    void initWithCoder(KeyedUnarchiver &coder) override { owned = coder.decodeObjectOfClass<Link>(QStringLiteral("next")); }

    const Link *next = nullptr;
    std::unique_ptr<Link> owned;
};

QVariantList sampleRecords()
{
    return QVariantList{
        QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("A-1")},
                    {QStringLiteral("nativeId"), QStringLiteral("ab:12")},
                    {QStringLiteral("crcValue"), qint64(-1234567890123LL)},
                    {QStringLiteral("isNewRecord"), true}},
        QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("A-2")},
                    {QStringLiteral("nativeId"), QStringLiteral("ab:13")},
                    {QStringLiteral("small"), qint32(7)},
                    {QStringLiteral("nothing"), QVariant()}},
    };
}

SampleSettings sampleSettings()
{
    SampleSettings settings;
    settings.enabled = true;
    settings.packetNumber = -2147483647 - 1;
    settings.counter = 1LL << 40;
    settings.ratio = 2.5;
    settings.name = QStringLiteral("Profile 3 — Grüße");
    settings.lastSync = QDateTime::fromMSecsSinceEpoch(1709251199123LL, Qt::UTC);
    settings.records = sampleRecords();
    settings.options = QVariantMap{
        {QStringLiteral("$strange"), QStringLiteral("dollar key")},
        {QStringLiteral("level1"), QVariantMap{{QStringLiteral("level2"), QVariantMap{{QStringLiteral("leaf"), 0.25}}},
                                               {QStringLiteral("bytes"), QByteArray("\x00\xFF", 2)},
                                               {QStringLiteral("old"), QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC)}}}};
    settings.inner = std::make_unique<SampleSettings>();
    settings.inner->name = QStringLiteral("inner");
    settings.inner->counter = 5;
    return settings;
}

QByteArray archive(const KeyedArchivable &object, const QString &rootKey, PropertyListFormat format)
{
    KeyedArchiver archiver;
    archiver.setOutputFormat(format);
    archiver.encodeObject(object, rootKey);
    const Result<QByteArray> bytes = archiver.finishEncoding();
    EXPECT_TRUE(bytes.ok()) << bytes.error().message().toStdString();
    return bytes.valueOr(QByteArray());
}

} // namespace

TEST(KeyedArchiver, RoundTripKeepsEveryKindOfValueApartAndIntact)
{
    const SampleSettings original = sampleSettings();
    for (const PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
        SCOPED_TRACE(format == PropertyListFormat::Xml ? "XML" : "binary");
        const QByteArray bytes = archive(original, QStringLiteral("HMProfile"), format);
        EXPECT_EQ(bytes.startsWith("bplist00"), format == PropertyListFormat::Binary);

        Result<std::unique_ptr<SampleSettings>> back = KeyedUnarchiver::unarchiveObject<SampleSettings>(bytes, QStringLiteral("HMProfile"));
        ASSERT_TRUE(back.ok()) << back.error().message().toStdString();
        const SampleSettings &copy = **back;
        EXPECT_TRUE(copy.enabled);
        EXPECT_EQ(copy.packetNumber, original.packetNumber);
        EXPECT_EQ(copy.counter, original.counter);
        EXPECT_EQ(copy.ratio, 2.5);
        EXPECT_EQ(copy.name, original.name);
        EXPECT_EQ(copy.lastSync, original.lastSync) << "dates keep their milliseconds";
        EXPECT_EQ(copy.records, original.records);
        EXPECT_EQ(copy.options, original.options);
        ASSERT_NE(copy.inner, nullptr);
        EXPECT_EQ(copy.inner->name, QStringLiteral("inner"));
        EXPECT_EQ(copy.inner->counter, 5);
        EXPECT_EQ(copy.inner->inner, nullptr);

        // Each value comes back as the type it went in as, not merely an equal number.
        const QVariantList records = copy.records.toList();
        EXPECT_EQ(records.value(0).toMap().value(QStringLiteral("crcValue")).typeId(), QMetaType::LongLong);
        EXPECT_EQ(records.value(0).toMap().value(QStringLiteral("isNewRecord")).typeId(), QMetaType::Bool);
        EXPECT_EQ(records.value(1).toMap().value(QStringLiteral("small")).typeId(), QMetaType::Int);
        EXPECT_TRUE(records.value(1).toMap().contains(QStringLiteral("nothing")));
        EXPECT_FALSE(records.value(1).toMap().value(QStringLiteral("nothing")).isValid());

        Result<KeyedUnarchiver> unarchiver = KeyedUnarchiver::create(bytes);
        ASSERT_TRUE(unarchiver.ok());
        EXPECT_EQ(unarchiver->classNameForKey(QStringLiteral("HMProfile")), QStringLiteral("HMSampleSettings"));
        EXPECT_EQ(unarchiver->classNameForKey(QStringLiteral("absent")), QString());
    }
    // The same graph always gives the same bytes, which checksums over archives rely on.
    EXPECT_EQ(archive(original, QStringLiteral("HMProfile"), PropertyListFormat::Binary),
              archive(sampleSettings(), QStringLiteral("HMProfile"), PropertyListFormat::Binary));
}

TEST(KeyedArchiver, MissingKeysReadAsNothingAndIntegersCrossWidthsOnlyWhenTheyFit)
{
    KeyedArchiver archiver;
    archiver.encodeInt32(-5, QStringLiteral("narrow"));
    archiver.encodeInt64(qint64(1) << 33, QStringLiteral("wide"));
    archiver.encodeObject(QVariant(qint32(12)), QStringLiteral("narrow object"));
    archiver.encodeObject(QStringLiteral("text"), QStringLiteral("text"));
    archiver.encodeObject(sampleSettings(), QStringLiteral("object"));
    const QByteArray bytes = *archiver.finishEncoding();

    const auto reader = [&] { return std::move(KeyedUnarchiver::create(bytes)).value(); };
    {
        KeyedUnarchiver unarchiver = reader();
        EXPECT_FALSE(unarchiver.containsValueForKey(QStringLiteral("absent")));
        EXPECT_FALSE(unarchiver.decodeBool(QStringLiteral("absent")));
        EXPECT_EQ(unarchiver.decodeInt32(QStringLiteral("absent")), 0);
        EXPECT_EQ(unarchiver.decodeInt64(QStringLiteral("absent")), 0);
        EXPECT_EQ(unarchiver.decodeDouble(QStringLiteral("absent")), 0.0);
        EXPECT_FALSE(unarchiver.decodeObject(QStringLiteral("absent")).isValid());
        EXPECT_EQ(unarchiver.decodeObjectOfClass<SampleSettings>(QStringLiteral("absent")), nullptr);
        EXPECT_EQ(unarchiver.decodeInt64(QStringLiteral("narrow")), -5);
        EXPECT_EQ(unarchiver.decodeInt32(QStringLiteral("narrow object")), 12);
        EXPECT_EQ(unarchiver.decodeInt64(QStringLiteral("narrow object")), 12);
        EXPECT_EQ(unarchiver.decodeInt64(QStringLiteral("wide")), qint64(1) << 33);
        EXPECT_TRUE(unarchiver.finishDecoding().ok());
    }
    struct Row
    {
        const char *name;
        std::function<void(KeyedUnarchiver &)> decode;
        const char *mentioned;
    };
    const Row rows[] = {
        {"64-bit value read as 32 bits", [](KeyedUnarchiver &u) { (void)u.decodeInt32(QStringLiteral("wide")); }, "does not fit 32 bits"},
        {"text read as an integer", [](KeyedUnarchiver &u) { (void)u.decodeInt64(QStringLiteral("text")); }, "a text, not an integer"},
        {"text read as a boolean", [](KeyedUnarchiver &u) { (void)u.decodeBool(QStringLiteral("text")); }, "not a boolean"},
        {"object read as a value", [](KeyedUnarchiver &u) { (void)u.decodeObject(QStringLiteral("object")); }, "class HMSampleSettings"},
        {"object of another class", [](KeyedUnarchiver &u) { (void)u.decodeObjectOfClass<Link>(QStringLiteral("object")); }, "not HMLink"},
        {"text read as an object", [](KeyedUnarchiver &u) { (void)u.decodeObjectOfClass<Link>(QStringLiteral("text")); }, "HMLink"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        KeyedUnarchiver unarchiver = reader();
        row.decode(unarchiver);
        const Status status = unarchiver.finishDecoding();
        ASSERT_FALSE(status.ok());
        EXPECT_TRUE(status.error().message().contains(QLatin1String(row.mentioned))) << status.error().message().toStdString();
        EXPECT_EQ(unarchiver.decodeInt64(QStringLiteral("wide")), 0) << "after a failure every read gives nothing";
    }
}

TEST(KeyedArchiver, EqualTextsAreStoredOnceWhereverTheyLie)
{
    // Copies sharing one storage and equal texts stored apart are one entry; different texts,
    // even of one length, are not.
    const QString shared = QStringLiteral("shared ") + QString::number(7);
    KeyedArchiver archiver;
    archiver.encodeObject(QVariantList{shared, QString(shared), QStringLiteral("shared 7"), QStringLiteral("shared 8")},
                          QStringLiteral("list"));
    archiver.encodeObject(QString(shared), QStringLiteral("alone"));
    const QByteArray bytes = *archiver.finishEncoding();

    KeyedUnarchiver unarchiver = std::move(KeyedUnarchiver::create(bytes)).value();
    EXPECT_EQ(unarchiver.decodeObject(QStringLiteral("list")).toList(),
              (QVariantList{shared, shared, shared, QStringLiteral("shared 8")}));
    EXPECT_EQ(unarchiver.decodeObject(QStringLiteral("alone")).toString(), shared);
    // "$null", the list and its class, and the two texts.
    EXPECT_EQ(std::move(parsePropertyList(bytes)).value().toMap().value(QStringLiteral("$objects")).toList().size(), 5);
}

// The binary archive is written straight from the archiver's entries; it must be byte for byte what
// encoding the archive's whole tree gives, the tree read back from the XML form of the same archive.
TEST(KeyedArchiver, BinaryBytesEqualTheEncodedTreeOfTheArchive)
{
    // Texts equal to the archive's own keys and class names, shared lists, and enough records for
    // references two bytes wide.
    QVariantList records = sampleRecords();
    const QVariantList sharedList{QStringLiteral("NS.keys"), QStringLiteral("$class"), QStringLiteral("NSArray"),
                                  QStringLiteral("$null"), QStringLiteral("NSObject"), QStringLiteral("HMSampleSettings"),
                                  QStringLiteral("contactSyncEnabled"), QStringLiteral("HMIdentifierGraph"),
                                  QStringLiteral("$version"), QStringLiteral("NS.time"), QStringLiteral("$classes")};
    for (int index = 0; index < 400; ++index) {
        records.append(QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("D%1").arg(index)},
                                   {QStringLiteral("NS.objects"), QStringLiteral("$top")},
                                   {QStringLiteral("when"), QDateTime::fromSecsSinceEpoch(1700000000 + index, Qt::UTC)},
                                   {QStringLiteral("list"), index % 2 == 0 ? QVariant(sharedList) : QVariant(QVariantList())},
                                   {QStringLiteral("crcValue"), QStringLiteral("NSKeyedArchiver")}});
    }
    SampleSettings large = sampleSettings();
    large.records = records;
    struct Row
    {
        const char *name;
        const SampleSettings *settings;
    };
    const SampleSettings empty;
    const SampleSettings sample = sampleSettings();
    for (const Row &row : {Row{"empty", &empty}, Row{"sample", &sample}, Row{"400 records", &large}}) {
        SCOPED_TRACE(row.name);
        const QByteArray binary = archive(*row.settings, QStringLiteral("HMIdentifierGraph"), PropertyListFormat::Binary);
        const Result<QVariant> tree =
            parsePropertyList(archive(*row.settings, QStringLiteral("HMIdentifierGraph"), PropertyListFormat::Xml));
        ASSERT_TRUE(tree.ok());
        const Result<QByteArray> encoded = serializePropertyList(*tree, PropertyListFormat::Binary);
        ASSERT_TRUE(encoded.ok());
        EXPECT_EQ(binary, *encoded);
        EXPECT_EQ(parsePropertyList(binary).value(), *tree);
    }
}

TEST(KeyedArchiver, RefusesGraphsItCannotWrite)
{
    Link first;
    Link second;
    first.next = &second;
    second.next = &first;
    KeyedArchiver looped;
    looped.encodeObject(first, QStringLiteral("root"));
    const Result<QByteArray> loopedBytes = looped.finishEncoding();
    ASSERT_FALSE(loopedBytes.ok());
    EXPECT_TRUE(loopedBytes.error().message().contains(QLatin1String("contains itself")));

    std::vector<std::unique_ptr<Link>> chain(300);
    for (size_t index = 0; index < chain.size(); ++index)
        chain[index] = std::make_unique<Link>();
    for (size_t index = 0; index + 1 < chain.size(); ++index)
        chain[index]->next = chain[index + 1].get();
    KeyedArchiver deep;
    deep.encodeObject(*chain.front(), QStringLiteral("root"));
    EXPECT_FALSE(deep.finishEncoding().ok());

    const Result<QByteArray> unsupported =
        KeyedArchiver::archivedDataWithRootObject(QVariantMap{{QStringLiteral("where"), QVariantList{QPoint(1, 1)}}});
    ASSERT_FALSE(unsupported.ok());
    EXPECT_TRUE(unsupported.error().message().contains(QLatin1String("QPoint")));
    EXPECT_TRUE(unsupported.error().message().contains(QLatin1String("where")));

    // A value graph archives with the default root key and reads back whole.
    const QVariantList checksumInput{QDateTime::fromMSecsSinceEpoch(0, Qt::UTC), QStringLiteral("Title")};
    const Result<QVariant> back = KeyedUnarchiver::unarchiveObjectWithData(*KeyedArchiver::archivedDataWithRootObject(checksumInput));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->toList(), checksumInput);
}

TEST(KeyedArchiver, PythonsStandardPlistReaderOpensTheArchive)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        GTEST_SKIP() << "python3 is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Follows the references by hand, as any reader of such archives must. plistlib gives a
    // reference as a UID from a binary file and as the dictionary {"CF$UID": n} from an XML one.
    const QString script = QStringLiteral(R"(
import json, plistlib, sys
with open(sys.argv[1], 'rb') as f:
    archive = plistlib.load(f)
objects = archive['$objects']
def reference(entry):
    if isinstance(entry, plistlib.UID):
        return entry.data
    if isinstance(entry, dict) and list(entry) == ['CF$UID']:
        return entry['CF$UID']
    return None
def at(uid):
    return objects[reference(uid)]
root = at(archive['$top']['HMIdentifierGraph'])
def value(entry):
    if reference(entry) is not None:
        return None if reference(entry) == 0 else value(at(entry))
    if isinstance(entry, dict) and '$class' in entry:
        name = at(entry['$class'])['$classname']
        if name == 'NSArray':
            return [value(item) for item in entry['NS.objects']]
        if name == 'NSDictionary':
            return {value(k): value(v) for k, v in zip(entry['NS.keys'], entry['NS.objects'])}
        if name == 'NSDate':
            return entry['NS.time']
        if name == 'HMInt32':
            return entry['NS.intval']
    return entry
print(json.dumps({
    'archiver': archive['$archiver'], 'version': archive['$version'], 'null': objects[0],
    'class': at(root['$class'])['$classname'], 'classes': at(root['$class'])['$classes'],
    'name': value(root['name']), 'enabled': root['contactSyncEnabled'],
    'packet': root['lastUploadPacketNumber'], 'records': value(root['identifierDictionaries']),
    'time': value(root['lastSyncDateWorkaround'])}))
)");
    ASSERT_TRUE(writeFileAtomically(dir.filePath(QStringLiteral("read.py")), script.toUtf8()).ok());
    for (const PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
        SCOPED_TRACE(format == PropertyListFormat::Xml ? "XML" : "binary");
        const QString path = dir.filePath(QStringLiteral("graph_A.idgraph"));
        ASSERT_TRUE(writeFileAtomically(path, archive(sampleSettings(), QStringLiteral("HMIdentifierGraph"), format)).ok());
        QProcess process;
        process.start(python, {dir.filePath(QStringLiteral("read.py")), path});
        ASSERT_TRUE(process.waitForFinished(30000));
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        const QJsonObject read = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        EXPECT_EQ(read.value(QStringLiteral("archiver")).toString(), QStringLiteral("NSKeyedArchiver"));
        EXPECT_EQ(read.value(QStringLiteral("version")).toInt(), 100000);
        EXPECT_EQ(read.value(QStringLiteral("null")).toString(), QStringLiteral("$null"));
        EXPECT_EQ(read.value(QStringLiteral("class")).toString(), QStringLiteral("HMSampleSettings"));
        EXPECT_EQ(read.value(QStringLiteral("classes")).toVariant().toStringList(),
                  (QStringList{QStringLiteral("HMSampleSettings"), QStringLiteral("NSObject")}));
        EXPECT_EQ(read.value(QStringLiteral("name")).toString(), QStringLiteral("Profile 3 — Grüße"));
        EXPECT_TRUE(read.value(QStringLiteral("enabled")).toBool());
        EXPECT_EQ(read.value(QStringLiteral("packet")).toDouble(), -2147483648.0);
        EXPECT_DOUBLE_EQ(read.value(QStringLiteral("time")).toDouble(), (1709251199123LL - 978307200000LL) / 1000.0);
        QVariantList expectedRecords = sampleRecords();
        QVariantList readRecords = read.value(QStringLiteral("records")).toVariant().toList();
        ASSERT_EQ(readRecords.size(), 2);
        EXPECT_EQ(readRecords[0].toMap().value(QStringLiteral("hmUid")).toString(), QStringLiteral("A-1"));
        EXPECT_EQ(readRecords[0].toMap().value(QStringLiteral("crcValue")).toLongLong(), -1234567890123LL);
        EXPECT_EQ(readRecords[1].toMap().value(QStringLiteral("small")).toInt(), 7);
    }
}
// Graph files written earlier and now must be the same bytes, so that a file's digest (which its
// journal names) does not change with the program that wrote it. The digest is that of the bytes
// earlier versions wrote for this graph.
TEST(KeyedArchiver, AKnownGraphIsWrittenAsTheSameBytesAsEver)
{
    SampleSettings settings = sampleSettings();
    QVariantList records = sampleRecords();
    for (int index = 0; index < 300; ++index) {
        records.append(QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("D%1").arg(index)},
                                   {QStringLiteral("NS.keys"), QStringLiteral("$class")},
                                   {QStringLiteral("when"), QDateTime::fromSecsSinceEpoch(1700000000 + index, Qt::UTC)}});
    }
    settings.records = records;
    const QByteArray bytes = archive(settings, QStringLiteral("HMIdentifierGraph"), PropertyListFormat::Binary);
    EXPECT_EQ(bytes.size(), 33851);
    EXPECT_EQ(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex(),
              QByteArray("5c056e4889220f8d485b141f9ba989da042b8e7f7a69ee96ff33c97558186eca"));
}
