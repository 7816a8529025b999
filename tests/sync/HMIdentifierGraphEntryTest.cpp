#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphEntry.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/ProfileTestSupport.h"

#include "foundation/LogCapture.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QTimeZone>

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

// Graph entries are kept packed; what goes in as a dictionary must come back equal, value types and
// null texts included, and damaged bytes must never be read past their end.
namespace {

using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;

struct TypedValue
{
    const char *name;
    QVariant value;
};

QString loneSurrogate()
{
    return QStringLiteral("id-") + QChar(char16_t(0xd800)) + QStringLiteral("-end");
}

// Lists inside lists, deeper than entries pack them.
QVariant deepList()
{
    QVariant value = QStringLiteral("bottom");
    for (int level = 0; level < 24; ++level)
        value = QVariantList{value, level};
    return value;
}

// One of every value type the keyed archiver writes, with the edges of each, and a few it does not.
QList<TypedValue> everyValueType()
{
    const QDateTime utc = QDateTime::fromMSecsSinceEpoch(1'780'000'000'123, Qt::UTC);
    return {
        {"invalid", QVariant()},
        {"text", QStringLiteral("ABPerson:0001")},
        {"unicode text", QStringLiteral("Caf\u00e9 \U0001F600 \u212a")},
        {"empty text", QString(QLatin1String(""))},
        {"null text", QString()},
        {"lone surrogate", loneSurrogate()},
        {"true", true},
        {"false", false},
        {"int", qint32(-42)},
        {"int min", std::numeric_limits<qint32>::min()},
        {"int max", std::numeric_limits<qint32>::max()},
        {"int64", qint64(1) << 40},
        {"int64 min", std::numeric_limits<qint64>::min()},
        {"uint", std::numeric_limits<quint32>::max()},
        {"uint64 max", std::numeric_limits<quint64>::max()},
        {"double", 3.25},
        {"negative zero", -0.0},
        {"infinity", std::numeric_limits<double>::infinity()},
        {"float", 1.5f},
        {"data", QByteArray("\x00\x01\xff zero", 8)},
        {"empty data", QByteArray("")},
        {"null data", QByteArray()},
        {"date utc", utc},
        {"date far past", QDateTime::fromMSecsSinceEpoch(-62'000'000'000'000, Qt::UTC)},
        {"date local", utc.toLocalTime()},
        {"date utc zone", utc.toTimeZone(QTimeZone::utc())},
        {"date local far past", QDateTime(QDate(1601, 1, 1), QTime(0, 0), Qt::LocalTime)},
        {"date offset", utc.toOffsetFromUtc(5400)},
        {"date zone", utc.toTimeZone(QTimeZone("Europe/Paris"))},
        {"invalid date", QDateTime()},
        {"list", QVariantList{1, QStringLiteral("two"), QVariantList{3.0}, QVariantMap{{QStringLiteral("k"), true}}}},
        {"text list", QStringList{QStringLiteral("a"), QStringLiteral("b")}},
        {"map", QVariantMap{{QStringLiteral("inner"), QVariantMap{{QStringLiteral("x"), qint64(7)}}}}},
        {"hash", QVariantHash{{QStringLiteral("h"), QStringLiteral("v")}}},
        {"empty list", QVariantList()},
        {"empty map", QVariantMap()},
        {"deep list", deepList()},
        {"map with a lone surrogate key", QVariantMap{{loneSurrogate(), 1}, {QStringLiteral("a"), QVariantList{}}}},
    };
}

QVariantMap dictionaryOfEveryType()
{
    QVariantMap dictionary;
    for (const TypedValue &row : everyValueType())
        dictionary.insert(QString::fromLatin1(row.name), row.value);
    dictionary.insert(QStringLiteral("hmUid"), QStringLiteral("device-1"));
    dictionary.insert(QStringLiteral("nativeId"), QStringLiteral("mac-1"));
    return dictionary;
}

// Equal as QVariant compares, and of the same type, with texts and data null alike.
void expectSameValue(const QVariant &actual, const QVariant &expected, const char *name)
{
    SCOPED_TRACE(name);
    EXPECT_EQ(actual.typeId(), expected.typeId());
    EXPECT_EQ(actual.isValid(), expected.isValid());
    if (expected.typeId() == QMetaType::QString) {
        EXPECT_EQ(actual.toString().isNull(), expected.toString().isNull());
    }
    if (expected.typeId() == QMetaType::QByteArray) {
        EXPECT_EQ(actual.toByteArray().isNull(), expected.toByteArray().isNull());
    }
    const bool bothNaN = expected.typeId() == QMetaType::Double && std::isnan(expected.toDouble());
    if (!bothNaN) {
        EXPECT_EQ(actual, expected);
    }
    if (expected.typeId() == QMetaType::Double) {
        EXPECT_EQ(std::signbit(actual.toDouble()), std::signbit(expected.toDouble()));
    }
    if (expected.typeId() == QMetaType::QDateTime) {
        EXPECT_EQ(actual.toDateTime().timeSpec(), expected.toDateTime().timeSpec());
        EXPECT_EQ(actual.toDateTime().timeZone().id(), expected.toDateTime().timeZone().id());
    }
}

} // namespace

TEST(HMIdentifierGraphEntry, EveryValueTypeComesBackAsItWent)
{
    for (const TypedValue &row : everyValueType()) {
        const QVariantMap dictionary{{QStringLiteral("value"), row.value}, {QStringLiteral("hmUid"), QStringLiteral("u")}};
        const HMIdentifierGraphEntry entry(dictionary);
        const QVariantMap back = entry.toMap();
        ASSERT_EQ(back.keys(), dictionary.keys()) << row.name;
        expectSameValue(back.value(QStringLiteral("value")), row.value, row.name);
        expectSameValue(entry.value(QStringLiteral("value")), row.value, row.name);
        EXPECT_TRUE(entry.contains(QStringLiteral("value"))) << row.name;
        EXPECT_FALSE(entry.contains(QStringLiteral("missing"))) << row.name;
        // A look-up steps over a value of each type to the keys after it, well known or not.
        const QVariantMap before{{QStringLiteral("aValue"), row.value},
                                 {QStringLiteral("nativeId"), QStringLiteral("n")},
                                 {QStringLiteral("zz after \u00e9"), QStringLiteral("z")}};
        const HMIdentifierGraphEntry stepped(before);
        ASSERT_TRUE(stepped.utf8TextOf(WellKnownKey::NativeId)) << row.name;
        EXPECT_EQ(stepped.utf8TextOf(WellKnownKey::NativeId)->toByteArray(), QByteArray("n")) << row.name;
        EXPECT_EQ(stepped.value(QStringLiteral("zz after \u00e9")), QStringLiteral("z")) << row.name;
        EXPECT_FALSE(stepped.isUnconfirmedAdd()) << row.name;
    }
    EXPECT_TRUE(HMIdentifierGraphEntry().toMap().isEmpty());
    EXPECT_TRUE(HMIdentifierGraphEntry(QVariantMap()).toMap().isEmpty());
}

// An entry given one more value, or another in place of one, is the entry the dictionary with that
// value packs to, byte for byte, wherever its key falls among the others', whatever the value's type.
TEST(HMIdentifierGraphEntry, AValueSetInPlacePacksAsTheWholeDictionaryWould)
{
    const QVariantMap base{{QStringLiteral("b key"), QStringLiteral("two")},
                           {QStringLiteral("hmUid"), QStringLiteral("u")},
                           {QStringLiteral("nativeId"), QStringLiteral("n")},
                           {QStringLiteral("zz \u00e9 after"), QVariantList{1, QStringLiteral("x")}}};
    const QStringList keys{QStringLiteral("a first"), QStringLiteral("b key"),  QStringLiteral("c middle"),
                           QStringLiteral("hmUid"),   QStringLiteral("nativeId"), QStringLiteral("zzz last"),
                           QStringLiteral("zz \u00e9 after")};
    for (const TypedValue &row : everyValueType()) {
        for (const QString &key : keys) {
            QVariantMap expected = base;
            expected.insert(key, row.value);
            const HMIdentifierGraphEntry set = HMIdentifierGraphEntry(base).withValue(key, row.value);
            EXPECT_EQ(set.packed(), HMIdentifierGraphEntry(expected).packed()) << row.name << " under " << key.toStdString();
            expectSameValue(set.value(key), row.value, row.name);
        }
    }
    const HMIdentifierGraphEntry alone = HMIdentifierGraphEntry().withValue(QStringLiteral("k"), 1);
    EXPECT_EQ(alone.toMap(), (QVariantMap{{QStringLiteral("k"), 1}}));
}

// Values kept in stream form (dates of a zone other than UTC or local time, lists of texts) that many entries
// share are read once and kept a while: read again in any order, among more distinct ones than are
// kept, each entry gives back its own, and a date the moment it stands for.
TEST(HMIdentifierGraphEntry, StreamedValuesReadAgainInAnyOrderComeBackAsTheyWent)
{
    std::vector<QVariantMap> dictionaries;
    for (int number = 0; number < 9; ++number) {
        const QDate day(2026, 3 + number, 1 + number);
        const QDateTime when = number % 3 == 0 ? QDateTime(day, QTime(number, 30), Qt::LocalTime)
                                               : QDateTime(day, QTime(number, 30), QTimeZone(3600 * (number - 4)));
        QStringList texts{QStringLiteral("group %1").arg(number % 5)};
        if (number % 2 == 0)
            texts.append(QStringLiteral("\u00e9 %1").arg(number));
        dictionaries.push_back({{QStringLiteral("when"), when}, {QStringLiteral("texts"), texts},
                                {QStringLiteral("hmUid"), QStringLiteral("u%1").arg(number)}});
    }
    std::vector<HMIdentifierGraphEntry> entries(dictionaries.begin(), dictionaries.end());
    for (const size_t index : {0, 1, 0, 2, 3, 4, 5, 6, 7, 8, 8, 0, 4, 1, 1, 7, 3, 3, 5, 2, 6, 0}) {
        const QVariantMap &dictionary = dictionaries[index];
        const HMIdentifierGraphEntry &entry = entries[index];
        const QDateTime when = dictionary.value(QStringLiteral("when")).toDateTime();
        EXPECT_EQ(entry.value(QStringLiteral("when")).toDateTime(), when) << index;
        EXPECT_EQ(entry.value(QStringLiteral("when")).toDateTime().timeSpec(), when.timeSpec()) << index;
        EXPECT_EQ(entry.toMap().value(QStringLiteral("texts")), dictionary.value(QStringLiteral("texts"))) << index;
        qint64 moment = 0;
        entry.visitFlatPairs([&](const HMIdentifierGraphEntry::FlatPair &pair) {
            if (pair.kind == HMIdentifierGraphEntry::FlatPair::Kind::UtcDate)
                moment = pair.number;
        });
        EXPECT_EQ(moment, when.toMSecsSinceEpoch()) << index;
    }
}

// A graph written to its file and read back holds what the keyed archiver itself gives back for each
// value: the file is the same whether its entries were maps or packed.
TEST(HMIdentifierGraphEntry, EveryArchivableTypeSurvivesTheGraphFile)
{
    ScopedDataHome home;
    LogCapture log(LOG_LEVEL_WARN);
    HMProfile profile;
    profile.setFilename(QStringLiteral("0b9c6a52-3f1e-4f7a-9d7e-2c1b5a4e8f01"));
    QVariantMap archivable = dictionaryOfEveryType();
    for (const char *notArchivable : {"lone surrogate", "uint64 max", "map with a lone surrogate key"})
        archivable.remove(QString::fromLatin1(notArchivable));
    const platform::Result<QByteArray> archived = platform::KeyedArchiver::archivedDataWithRootObject(archivable);
    ASSERT_TRUE(archived) << archived.error().message().toStdString();
    const platform::Result<QVariant> expected = platform::KeyedUnarchiver::unarchiveObjectWithData(*archived);
    ASSERT_TRUE(expected) << expected.error().message().toStdString();
    HMIdentifierGraph graph;
    graph.appendDictionary(archivable);
    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("M")))
        << log.lines().join(QLatin1Char('\n')).toStdString();
    const std::shared_ptr<HMIdentifierGraph> loaded = HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("M"));
    ASSERT_TRUE(loaded) << log.lines().join(QLatin1Char('\n')).toStdString();
    ASSERT_EQ(loaded->count(), 1);
    const QVariantMap expectedMap = expected->toMap();
    const QVariantMap actual = loaded->dictionaryAt(0);
    ASSERT_EQ(actual.keys(), expectedMap.keys());
    for (auto pair = expectedMap.constBegin(); pair != expectedMap.constEnd(); ++pair)
        expectSameValue(actual.value(pair.key()), pair.value(), qPrintable(pair.key()));
    // Packed as it was read, texts taken as the file holds them, the entry is the very bytes the
    // dictionary packs to.
    EXPECT_EQ(loaded->entries().at(0).packed().toHex().toStdString(),
              HMIdentifierGraphEntry(expectedMap).packed().toHex().toStdString());
}

TEST(HMIdentifierGraphEntry, FieldsReadWithoutBuildingTheDictionary)
{
    struct Row
    {
        const char *name;
        QVariant hmUid;
        std::optional<QByteArray> utf8;
        std::optional<QString> text;
    };
    const Row rows[] = {
        {"ascii", QStringLiteral("rec-1"), QByteArray("rec-1"), QStringLiteral("rec-1")},
        {"unicode", QStringLiteral("caf\u00e9"), QByteArray("caf\xc3\xa9"), QStringLiteral("caf\u00e9")},
        {"null text", QString(), QByteArray(), QString()},
        {"lone surrogate", loneSurrogate(), std::nullopt, loneSurrogate()},
        {"integer", 12, std::nullopt, std::nullopt},
        {"missing", QVariant(), std::nullopt, std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QVariantMap dictionary{{QStringLiteral("nativeId"), QStringLiteral("n")}};
        if (row.hmUid.isValid()) {
            dictionary.insert(QStringLiteral("hmUid"), row.hmUid);
            dictionary.insert(QStringLiteral("crcValue"), row.hmUid);
        }
        const HMIdentifierGraphEntry entry(dictionary);
        const bool isNullText = row.hmUid.typeId() == QMetaType::QString && row.hmUid.toString().isNull();
        // A null text has no bytes to show: it reads as nothing, and textOf tells it apart. A key
        // of no fast accessor reads alike.
        for (const std::optional<QByteArrayView> &utf8 :
             {entry.utf8TextOf(WellKnownKey::HmUid), entry.utf8TextOf(QStringLiteral("crcValue"))}) {
            EXPECT_EQ(utf8.has_value(), row.utf8.has_value() && !isNullText);
            if (utf8 && row.utf8) {
                EXPECT_EQ(utf8->toByteArray(), *row.utf8);
            }
        }
        EXPECT_EQ(entry.textOf(WellKnownKey::HmUid), row.text);
        expectSameValue(entry.valueOf(WellKnownKey::HmUid), row.hmUid, row.name);
        EXPECT_EQ(entry.textOf(WellKnownKey::NativeId), QStringLiteral("n"));
    }
}

TEST(HMIdentifierGraphEntry, UnconfirmedMarkReadsAsTheDictionaryHoldsIt)
{
    const struct
    {
        QVariant mark;
        bool expected;
    } rows[] = {{QVariant(), false}, {true, true}, {false, false}, {1, true}, {0, false}, {QStringLiteral("true"), true}};
    for (const auto &row : rows) {
        QVariantMap dictionary{{QStringLiteral("hmUid"), QStringLiteral("u")}};
        if (row.mark.isValid())
            dictionary.insert(QStringLiteral("isUnconfirmedAdd"), row.mark);
        EXPECT_EQ(HMIdentifierGraphEntry(dictionary).isUnconfirmedAdd(), row.expected) << row.mark.toString().toStdString();
        EXPECT_EQ(HMIdentifierGraph::isUnconfirmedAdd(dictionary), row.expected);
    }
}

TEST(HMIdentifierGraphEntry, EqualityComparesKeysValuesAndTypes)
{
    const QVariantMap dictionary = dictionaryOfEveryType();
    const HMIdentifierGraphEntry entry(dictionary);
    const HMIdentifierGraphEntry copy = entry;
    EXPECT_TRUE(copy.isSharedWith(entry));
    const HMIdentifierGraphEntry repacked(dictionary);
    EXPECT_FALSE(repacked.isSharedWith(entry));
    EXPECT_EQ(repacked, entry);
    EXPECT_EQ(repacked.packed(), entry.packed());

    const QVariantMap asInt{{QStringLiteral("n"), 1}};
    const QVariantMap asInt64{{QStringLiteral("n"), qint64(1)}};
    EXPECT_NE(HMIdentifierGraphEntry(asInt), HMIdentifierGraphEntry(asInt64));

    // Equal dictionaries always pack alike, however their hashes were filled: a listing that looks
    // for an entry by its packed bytes must find it.
    QVariantHash forwards;
    QVariantHash backwards;
    for (int index = 0; index < 200; ++index) {
        forwards.insert(QStringLiteral("k%1").arg(index), index);
        backwards.insert(QStringLiteral("k%1").arg(199 - index), 199 - index);
    }
    backwards.reserve(4096);
    const HMIdentifierGraphEntry forwardsEntry(QVariantMap{{QStringLiteral("h"), forwards}});
    EXPECT_EQ(forwardsEntry, HMIdentifierGraphEntry(QVariantMap{{QStringLiteral("h"), backwards}}));
    EXPECT_EQ(HMIdentifierGraphEntry(forwardsEntry.toMap()), forwardsEntry);
    EXPECT_EQ(forwardsEntry.value(QStringLiteral("h")).typeId(), QMetaType::QVariantHash);
    EXPECT_NE(HMIdentifierGraphEntry(asInt), HMIdentifierGraphEntry(QVariantMap{{QStringLiteral("n"), 2}}));
    EXPECT_NE(HMIdentifierGraphEntry(asInt), HMIdentifierGraphEntry(QVariantMap{{QStringLiteral("m"), 1}}));
}

// Bytes that are cut short or changed anywhere are read as nothing or as some dictionary, never past
// their end; an entry is only made from bytes that read whole.
TEST(HMIdentifierGraphEntry, DamagedBytesAreRefusedWithoutCrashing)
{
    const QByteArray packed = HMIdentifierGraphEntry(dictionaryOfEveryType()).packed();
    ASSERT_TRUE(HMIdentifierGraphEntry::fromPacked(packed));
    EXPECT_EQ(HMIdentifierGraphEntry::fromPacked(packed)->toMap(), HMIdentifierGraphEntry(dictionaryOfEveryType()).toMap());
    EXPECT_FALSE(HMIdentifierGraphEntry::fromPacked(QByteArray()));
    EXPECT_FALSE(HMIdentifierGraphEntry::fromPacked(QByteArray("\x03", 1)));
    EXPECT_FALSE(HMIdentifierGraphEntry::fromPacked(QByteArray("\x02\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 11)));
    int refused = 0;
    for (qsizetype length = 0; length < packed.size(); ++length)
        refused += HMIdentifierGraphEntry::fromPacked(packed.left(length)) ? 0 : 1;
    EXPECT_GT(refused, packed.size() / 2);
    for (qsizetype position = 0; position < packed.size(); ++position) {
        for (const char flip : {char(0x01), char(0x80), char(0xff)}) {
            QByteArray damaged = packed;
            damaged[position] = char(damaged.at(position) ^ flip);
            if (const std::optional<HMIdentifierGraphEntry> entry = HMIdentifierGraphEntry::fromPacked(damaged)) {
                (void)entry->textOf(WellKnownKey::HmUid);
                (void)entry->isUnconfirmedAdd();
                (void)entry->value(QStringLiteral("data"));
            }
        }
    }
}

// Past the shared table's size, further keys are written out in each entry and still come back.
TEST(HMIdentifierGraphEntry, KeysBeyondTheTableAreKeptInTheEntry)
{
    QVariantMap dictionary;
    for (int index = 0; index < 1100; ++index)
        dictionary.insert(QStringLiteral("key-%1").arg(index, 4, 10, QLatin1Char('0')), index);
    const HMIdentifierGraphEntry entry(dictionary);
    EXPECT_EQ(entry.toMap(), dictionary);
    EXPECT_EQ(entry.value(QStringLiteral("key-1099")), QVariant(1099));
    const QVariantMap another{{QStringLiteral("key-late"), QStringLiteral("v")}, {QStringLiteral("hmUid"), QStringLiteral("u")}};
    const HMIdentifierGraphEntry late(another);
    EXPECT_EQ(late.toMap(), another);
    ASSERT_TRUE(late.utf8TextOf(QStringLiteral("key-late")));
    EXPECT_EQ(late.utf8TextOf(QStringLiteral("key-late"))->toByteArray(), QByteArray("v"));
    EXPECT_FALSE(late.utf8TextOf(QStringLiteral("key-0001")));
    EXPECT_TRUE(HMIdentifierGraphEntry::fromPacked(entry.packed()));
}

// The indexes hash identifiers: texts that differ only where UTF-8 cannot carry them hash alike and
// must still be told apart by the check against each entry.
TEST(HMIdentifierGraphEntry, IdentifiersWithOneHashAreToldApart)
{
    const QString high = QStringLiteral("x") + QChar(char16_t(0xd800));
    const QString low = QStringLiteral("x") + QChar(char16_t(0xdc00));
    const QString replacement = QStringLiteral("x\ufffd");
    ASSERT_EQ(high.toUtf8(), low.toUtf8());
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({{{QStringLiteral("hmUid"), high}, {QStringLiteral("nativeId"), QStringLiteral("n-high")}},
                                     {{QStringLiteral("hmUid"), low}, {QStringLiteral("nativeId"), QStringLiteral("n-low")}},
                                     {{QStringLiteral("hmUid"), replacement}, {QStringLiteral("nativeId"), high}}});
    LogCapture log(LOG_LEVEL_WARN);
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(high), QStringLiteral("n-high"));
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(low), QStringLiteral("n-low"));
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(replacement), high);
    EXPECT_EQ(graph.harrowmereUidForNativeId(high), replacement);
    EXPECT_TRUE(graph.harrowmereUidForNativeId(low).isNull());
    EXPECT_EQ(graph.confirmedHmUidsMissingFrom({low}), QStringList({high, replacement}));
    graph.removeDictionariesForNativeId(QStringLiteral("n-low"));
    EXPECT_EQ(graph.count(), 2);
    EXPECT_TRUE(graph.nativeIdForHarrowmereUid(low).isNull());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST(HMIdentifierGraphEntry, RemovingADictionaryTakesTheFirstEqualOne)
{
    const QVariantMap shared{{QStringLiteral("hmUid"), QStringLiteral("u")}, {QStringLiteral("crcValue"), 1}};
    const QVariantMap other{{QStringLiteral("hmUid"), QStringLiteral("u")}, {QStringLiteral("crcValue"), 2}};
    const QVariantMap bare{{QStringLiteral("crcValue"), 3}};
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({other, shared, bare, shared});
    // Equal as QVariantMap compares: a 64-bit 1 finds the int 1.
    EXPECT_TRUE(graph.removeDictionary({{QStringLiteral("hmUid"), QStringLiteral("u")}, {QStringLiteral("crcValue"), qint64(1)}}));
    EXPECT_EQ(graph.identifierDictionaries(), QList<QVariantMap>({other, bare, shared}));
    EXPECT_TRUE(graph.removeDictionary(bare));
    EXPECT_FALSE(graph.removeDictionary(bare));
    EXPECT_FALSE(graph.removeDictionary({{QStringLiteral("hmUid"), QStringLiteral("U")}, {QStringLiteral("crcValue"), 2}}));
    EXPECT_EQ(graph.identifierDictionaries(), QList<QVariantMap>({other, shared}));
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("u")), QString());
    graph.clear();
    EXPECT_EQ(graph.count(), 0);
    EXPECT_FALSE(graph.dictionaryForHarrowmereUid(QStringLiteral("u")));
}

namespace {

using Pair = HMIdentifierGraphEntry::Pair;

// The pairs of an arena test's entry: every third out of key order, every fifth with a key given
// twice (the last counts), every hundredth larger than a block takes, which has bytes of its own.
QString arenaTestNote(qsizetype index)
{
    return index % 100 == 7 ? QString(5000, QLatin1Char('n')) : QStringLiteral("note %1").arg(index);
}

std::vector<Pair> arenaTestPairs(int index, const QByteArray &ascii)
{
    const QString note = arenaTestNote(index);
    std::vector<Pair> pairs{{QStringLiteral("date"), QVariant(), std::nullopt, qint64(index) * 1000},
                            {QStringLiteral("hmUid"), QVariant(), QByteArrayView(ascii), std::nullopt},
                            {QStringLiteral("note"), note, std::nullopt, std::nullopt}};
    if (index % 3 == 1)
        std::swap(pairs[0], pairs[2]);
    if (index % 5 == 2)
        pairs.insert(pairs.begin(), Pair{QStringLiteral("note"), QStringLiteral("first"), std::nullopt, std::nullopt});
    return pairs;
}

HMIdentifierGraphEntry packedInArena(HMIdentifierGraphEntry::Arena &arena, const std::vector<Pair> &pairs)
{
    arena.begin();
    for (const Pair &pair : pairs) {
        if (pair.utf8Text)
            arena.addText(pair.key, *pair.utf8Text);
        else if (pair.utcDateMsecs)
            arena.addUtcDate(pair.key, *pair.utcDateMsecs);
        else
            arena.addValue(pair.key, pair.value);
    }
    return arena.end();
}

} // namespace

// Entries packed into an arena share its blocks: each must still be its own entry, packed as
// fromPairs packs the same pairs, and outlive the arena and every other entry of its block.
TEST(HMIdentifierGraphEntry, ArenaEntriesAreWholeEntriesThatOutliveTheirArena)
{
    std::vector<HMIdentifierGraphEntry> alone;
    QList<HMIdentifierGraphEntry> packed;
    {
        HMIdentifierGraphEntry::Arena arena;
        for (int index = 0; index < 3000; ++index) {
            const QByteArray ascii = QByteArray("E").append(QByteArray::number(index));
            std::vector<Pair> pairs = arenaTestPairs(index, ascii);
            packed.append(packedInArena(arena, pairs));
            alone.push_back(HMIdentifierGraphEntry::fromPairs(pairs));
        }
    }
    // Entries let go in every other order keep the rest whole.
    for (qsizetype index = packed.size() - 2; index >= 0; index -= 2)
        packed[index] = HMIdentifierGraphEntry();
    for (qsizetype index = 1; index < packed.size(); index += 2) {
        const HMIdentifierGraphEntry &entry = packed.at(index);
        ASSERT_EQ(entry.packed().toHex(), alone[size_t(index)].packed().toHex()) << index;
        ASSERT_EQ(entry.textOf(WellKnownKey::HmUid), QStringLiteral("E%1").arg(index));
        ASSERT_EQ(entry.value(QStringLiteral("note")), arenaTestNote(index));
        ASSERT_EQ(entry.value(QStringLiteral("date")), QDateTime::fromMSecsSinceEpoch(index * 1000, Qt::UTC));
        ASSERT_TRUE(HMIdentifierGraphEntry::fromPacked(entry.packed()));
        // A slice ends where an entry's bytes end, as every byte string's bytes do.
        ASSERT_EQ(entry.packed().constData()[entry.packed().size()], '\0');
        ASSERT_FALSE(index > 1 && entry.isSharedWith(packed.at(index - 2)));
        const HMIdentifierGraphEntry copy = entry;
        ASSERT_TRUE(copy.isSharedWith(entry));
    }
}

// The arena learns which key follows which from the entries before; entries whose keys come in
// orders that keep changing (some out of key order, some twice, some only now and then) must still
// pack as fromPairs packs them. Whether any was "isUnconfirmedAdd" is known exactly while entries
// come in key order; an entry gathered out of order counts as one that may be.
TEST(HMIdentifierGraphEntry, ArenaPacksKeysInWhateverOrderEntriesBeforeNamedThem)
{
    const QStringList keys{QStringLiteral("crcValue"), QStringLiteral("hmUid"), QStringLiteral("isUnconfirmedAdd"),
                           QStringLiteral("nativeId"), QStringLiteral("zz-seldom")};
    struct Row { const char *name; bool isAnyOrder; bool marksSome; };
    const Row rows[] = {{"in key order, none marked", false, false},
                        {"in key order, some marked", false, true},
                        {"in any order, some twice", true, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HMIdentifierGraphEntry::Arena arena;
        quint32 seed = 12345;
        const auto nextRandom = [&seed](quint32 bound) {
            seed = seed * 1103515245U + 12345U;
            return (seed >> 16) % bound;
        };
        for (int index = 0; index < 2000; ++index) {
            const QByteArray text = QByteArray("T").append(QByteArray::number(index));
            std::vector<Pair> pairs;
            for (quint32 place = 0; place < quint32(keys.size()); ++place) {
                const quint32 taken = row.isAnyOrder && nextRandom(4) == 0 ? nextRandom(5) : place;
                if (nextRandom(3) == 0 || (taken == 2 && !row.marksSome))
                    continue;
                pairs.push_back(Pair{keys.at(taken), QVariant(), QByteArrayView(text), std::nullopt});
            }
            const HMIdentifierGraphEntry packed = packedInArena(arena, pairs);
            ASSERT_EQ(packed.packed().toHex(), HMIdentifierGraphEntry::fromPairs(pairs).packed().toHex()) << index;
        }
        EXPECT_EQ(arena.mayHoldUnconfirmedAdd(), row.marksSome);
    }
}

// The arena packs into a buffer it keeps from entry to entry: an entry far larger than any before,
// the entries after it, keys written out in the entry (past the shared table's size) and values
// packed elsewhere must all come out as fromPairs packs the same pairs.
TEST(HMIdentifierGraphEntry, ArenaPacksLargeEntriesAndWrittenOutKeysAsWholeEntries)
{
    QVariantMap filler;
    for (int index = 0; index < 1100; ++index)
        filler.insert(QStringLiteral("arena-key-%1").arg(index, 4, 10, QLatin1Char('0')), index);
    const HMIdentifierGraphEntry fillsTheTable(filler);
    ASSERT_EQ(fillsTheTable.toMap(), filler);
    HMIdentifierGraphEntry::Arena arena;
    const QByteArray large(200 * 1024, 'x');
    const QString writtenOut = QStringLiteral("zz-written-out-key");
    for (int index = 0; index < 40; ++index) {
        const QByteArray ascii = QByteArray("U").append(QByteArray::number(index));
        const QByteArrayView text = index % 7 == 3 ? QByteArrayView(large) : QByteArrayView(ascii);
        std::vector<Pair> pairs{{QStringLiteral("date"), QVariant(), std::nullopt, qint64(index)},
                                {QStringLiteral("hmUid"), QVariant(), text, std::nullopt},
                                {writtenOut, QVariant(), QByteArrayView(ascii), std::nullopt}};
        arena.begin();
        arena.addUtcDate(pairs[0].key, *pairs[0].utcDateMsecs);
        arena.addText(pairs[1].key, *pairs[1].utf8Text);
        QByteArray packedValue;
        HMIdentifierGraphEntry::PackedValue::appendText(packedValue, ascii);
        ASSERT_TRUE(arena.addPacked(writtenOut, packedValue));
        const HMIdentifierGraphEntry entry = arena.end();
        ASSERT_EQ(entry.packed(), HMIdentifierGraphEntry::fromPairs(pairs).packed()) << index;
        ASSERT_EQ(entry.value(writtenOut), QString::fromLatin1(ascii));
        ASSERT_EQ(entry.utf8TextOf(WellKnownKey::HmUid)->size(), text.size());
    }
}

namespace {

// A list of texts that packs to count items of the given length: long enough, it takes a length of
// two or three bytes.
QVariantList textList(int count, int length)
{
    QVariantList list;
    for (int index = 0; index < count; ++index)
        list.append(QString(length, QLatin1Char('a' + char(index % 26))));
    return list;
}

// The same list as PackedValue writes it, the way the file readers pack what they read.
void appendTextListByParts(QByteArray &out, const QVariantList &list)
{
    using PackedValue = HMIdentifierGraphEntry::PackedValue;
    const qsizetype mark = PackedValue::appendListStart(out, quint64(list.size()));
    for (const QVariant &item : list)
        PackedValue::appendText(out, item.toString().toUtf8());
    PackedValue::appendContainerEnd(out, mark);
}

} // namespace

// Lists and dictionaries carry their length in bytes, so that looking a key up steps over them at
// once; their bytes stand as written here, and a length that does not match the items is refused.
TEST(HMIdentifierGraphEntry, NestedValuesCarryTheirLengthInBytes)
{
    const QVariantMap small{{QStringLiteral("hmUid"), QVariantList{true, QStringLiteral("ab")}},
                            {QStringLiteral("isUnconfirmedAdd"), QVariantMap{{QStringLiteral("k"), qint32(1)}}},
                            {QStringLiteral("nativeId"), QStringLiteral("n")}};
    const QByteArray expected = QByteArray::fromHex("02"
                                                    "010f06" "02" "05" "01026162"
                                                    "031005" "01" "016b" "0602"
                                                    "0201016e");
    const HMIdentifierGraphEntry entry(small);
    EXPECT_EQ(entry.packed().toHex().toStdString(), expected.toHex().toStdString());
    EXPECT_EQ(entry.utf8TextOf(WellKnownKey::NativeId)->toByteArray(), QByteArray("n"));
    EXPECT_FALSE(entry.isUnconfirmedAdd());
    EXPECT_EQ(entry.toMap(), small);
    ASSERT_TRUE(HMIdentifierGraphEntry::fromPacked(expected));
    for (const char length : {char(0x05), char(0x07), char(0x7f)}) {
        QByteArray damaged = expected;
        damaged[3] = length;
        EXPECT_FALSE(HMIdentifierGraphEntry::fromPacked(damaged)) << int(length);
    }
    // The earlier form, items without a length, is not taken for this one.
    EXPECT_FALSE(HMIdentifierGraphEntry::fromPacked(QByteArray::fromHex("01010f020501026162")));
}

// Lengths of one, two and three bytes, nested in one another, pack alike whether a dictionary is
// packed whole, by its pairs, or by parts in an arena; every look-up past them finds its key.
TEST(HMIdentifierGraphEntry, LongNestedValuesPackAlikeEveryWay)
{
    using PackedValue = HMIdentifierGraphEntry::PackedValue;
    for (const auto &[count, length] : {std::pair{3, 4}, std::pair{20, 10}, std::pair{900, 30}}) {
        const QVariantList inner = textList(count, length);
        const QVariantList outer{QVariantMap{{QStringLiteral("a"), inner}, {QStringLiteral("b"), inner}}, inner};
        const QVariantMap dictionary{{QStringLiteral("hmUid"), outer}, {QStringLiteral("nativeId"), QStringLiteral("N1")}};

        QByteArray byParts;
        const qsizetype outerMark = PackedValue::appendListStart(byParts, 2);
        const qsizetype mapMark = PackedValue::appendDictionaryStart(byParts, 2);
        for (const char *key : {"a", "b"}) {
            PackedValue::appendItemKey(byParts, key);
            appendTextListByParts(byParts, inner);
        }
        PackedValue::appendContainerEnd(byParts, mapMark);
        appendTextListByParts(byParts, inner);
        PackedValue::appendContainerEnd(byParts, outerMark);
        QByteArray whole;
        PackedValue::appendValue(whole, outer, 0);
        ASSERT_EQ(byParts.toHex(), whole.toHex()) << count;

        HMIdentifierGraphEntry::Arena arena;
        arena.begin();
        ASSERT_TRUE(arena.addPacked(QStringLiteral("hmUid"), byParts));
        arena.addText(QStringLiteral("nativeId"), "N1");
        const HMIdentifierGraphEntry packed = arena.end();
        std::vector<Pair> pairs{{QStringLiteral("nativeId"), QVariant(), QByteArrayView("N1"), std::nullopt},
                                {QStringLiteral("hmUid"), outer, std::nullopt, std::nullopt}};
        ASSERT_EQ(packed.packed().toHex(), HMIdentifierGraphEntry::fromPairs(pairs).packed().toHex()) << count;
        ASSERT_EQ(packed.packed().toHex(), HMIdentifierGraphEntry(dictionary).packed().toHex()) << count;
        EXPECT_EQ(packed.utf8TextOf(WellKnownKey::NativeId)->toByteArray(), QByteArray("N1"));
        EXPECT_EQ(packed.value(QStringLiteral("nativeId")), QStringLiteral("N1"));
        EXPECT_FALSE(packed.utf8TextOf(WellKnownKey::HmUid));
        EXPECT_EQ(packed.valueOf(WellKnownKey::HmUid), QVariant(outer));
        EXPECT_EQ(packed.toMap(), dictionary);
        ASSERT_TRUE(HMIdentifierGraphEntry::fromPacked(packed.packed()));
    }
}

// Texts, and keys inside values, are packed as their length and their bytes, on either side of the
// size below which they are copied in one piece and of the lengths that take a second byte; the
// bytes stand as written here.
TEST(HMIdentifierGraphEntry, TextsAndKeysOfAnyLengthPackAsLengthAndBytes)
{
    const auto varint = [](quint64 value) {
        QByteArray bytes;
        for (; value >= 0x80; value >>= 7)
            bytes.append(char(quint8(value) | 0x80));
        return bytes.append(char(value));
    };
    for (const qsizetype length : {1, 63, 64, 65, 127, 128, 300}) {
        SCOPED_TRACE(length);
        const QByteArray text(length, 'x');
        const QVariantMap dictionary{{QStringLiteral("hmUid"), QString::fromLatin1(text)},
                                     {QStringLiteral("nativeId"), QVariantMap{{QString::fromLatin1(text), true}}}};
        const QByteArray item = varint(quint64(length)) + text + QByteArray::fromHex("05");
        const QByteArray expected = QByteArray::fromHex("020101") + varint(quint64(length)) + text +
                                    QByteArray::fromHex("0210") + varint(quint64(item.size() + 1)) +
                                    QByteArray::fromHex("01") + item;
        const HMIdentifierGraphEntry entry(dictionary);
        EXPECT_EQ(entry.packed().toHex().toStdString(), expected.toHex().toStdString());
        ASSERT_TRUE(entry.utf8TextOf(WellKnownKey::HmUid));
        EXPECT_EQ(entry.utf8TextOf(WellKnownKey::HmUid)->toByteArray(), text);
        EXPECT_FALSE(entry.utf8TextOf(WellKnownKey::NativeId));
        EXPECT_EQ(entry.toMap(), dictionary);

        QByteArray itemKey;
        HMIdentifierGraphEntry::PackedValue::appendItemKey(itemKey, text);
        EXPECT_EQ(itemKey.toHex().toStdString(), (varint(quint64(length)) + text).toHex().toStdString());
    }
}
