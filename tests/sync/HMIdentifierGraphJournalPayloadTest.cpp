// A change line's payload written straight from the packed entries is byte for byte the one the
// generic property-list writer makes of the dictionary it stands for, or fails where that writer
// fails: checked over edge cases and many random changes (texts UTF-8 cannot carry, values kept in
// stream form, nesting past what entries pack, values no list holds), whose lines then replay.

#include "sync/HMIdentifierGraphJournal.h"

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraph.h"

#include <QCryptographicHash>
#include <QStringList>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <random>

namespace {

using Changes = HMIdentifierGraph::Changes;
using Entry = HMIdentifierGraphEntry;

const QDateTime kSyncDate(QDate(2026, 12, 8), QTime(11, 40, 2, 125), Qt::UTC);

// What the line is checked against: the generic writer's bytes of the payload's dictionary.
platform::Result<QByteArray> genericPayload(const Changes &changes, const std::optional<QDateTime> &date)
{
    return platform::serializePropertyList(HMIdentifierGraphJournal::payloadOf(changes, date),
                                           platform::PropertyListFormat::Binary);
}

// Whether the payload could be written; fails the test where its bytes or the line's differ from
// the generic writer's, or where one of them fails and the other does not.
bool checkPayload(const Changes &changes, const std::optional<QDateTime> &date, const std::string &what)
{
    const platform::Result<QByteArray> expected = genericPayload(changes, date);
    const platform::Result<QByteArray> streamed = HMIdentifierGraphJournal::streamedPayload(changes, date);
    const platform::Result<QByteArray> line = HMIdentifierGraphJournal::changeLine(changes, date);
    EXPECT_EQ(bool(line), bool(expected)) << what;
    EXPECT_EQ(bool(streamed), bool(expected)) << what;
    if (streamed) {
        EXPECT_TRUE(expected && *streamed == *expected) << what;
    }
    if (expected && line) {
        const QByteArray check = QCryptographicHash::hash(*expected, QCryptographicHash::Sha1).toHex().left(16);
        EXPECT_EQ(line->toStdString(), (check + ' ' + expected->toBase64() + '\n').toStdString()) << what;
    }
    return streamed.ok();
}

Entry plainEntry(int number, const QString &revision = QStringLiteral("r1"))
{
    return Entry(QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("HM-%1").arg(number)},
                             {QStringLiteral("nativeId"), QStringLiteral("native-%1-%2").arg(number).arg(revision)},
                             {QStringLiteral("isUnconfirmedAdd"), number % 3 == 0}});
}

// Random values of every kind an entry may hold, plain ones most often.
class RandomValues final
{
public:
    explicit RandomValues(unsigned seed) : m_random(seed) {}

    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }

    QString text()
    {
        static const QStringList kTexts{
            QStringLiteral("alpha"), QStringLiteral("beta"), QString(), QStringLiteral(""),
            QStringLiteral("caf\u00e9"), QStringLiteral("\u65e5\u672c\u8a9e"), QStringLiteral("smile \U0001F600"),
            QStringLiteral("\uFFFD end"), QStringLiteral("hmUid"), QStringLiteral("removed")};
        switch (below(14)) {
        case 0:
            return QStringLiteral("nul") + QChar(u'\0') + QStringLiteral("inside");
        case 1:
            return QStringLiteral("lone ") + QChar(char16_t(0xD800));
        case 2:
        case 3:
        case 4:
            return QStringLiteral("unique-%1-\u00e4").arg(m_random());
        default:
            return kTexts.at(below(int(kTexts.size())));
        }
    }

    QString key()
    {
        static const QStringList kKeys{
            QStringLiteral("hmUid"), QStringLiteral("nativeId"), QStringLiteral("isUnconfirmedAdd"),
            QStringLiteral("extra"), QStringLiteral("\u00e9t\u00e9"), QStringLiteral("\U0001F600key"),
            QStringLiteral("\uFFFDkey"), QStringLiteral("zeta"), QStringLiteral(""), QStringLiteral("Zeta")};
        return kKeys.at(below(int(kKeys.size())));
    }

    QDateTime date()
    {
        switch (below(8)) {
        case 0:
            return QDateTime();
        case 1:
            return QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC);
        case 2:
            return QDateTime(QDate(2099, 5, 1), QTime(0, 0), Qt::UTC);
        case 3:
            return QDateTime(QDate(2025, 3, 30), QTime(2, 30), QTimeZone(5 * 3600 + 1800));
        default:
            return QDateTime::fromMSecsSinceEpoch(qint64(m_random() % 4'000'000'000ULL) * 1000 + below(1000), Qt::UTC);
        }
    }

    QVariant scalar()
    {
        switch (below(16)) {
        case 0:
            return QVariant(qint32(below(2'000'000)) - 1'000'000);
        case 1:
            return QVariant(qint64(quint64(m_random()) << 31));
        case 2:
            return QVariant(qint64(m_random() * 1000003ULL));
        case 3:
            return QVariant(quint32(m_random()));
        case 4:
            return QVariant(below(2) ? quint64(1) << 63 : quint64(m_random()) << 20);
        case 5:
            return QVariant(double(m_random()) / 7.0);
        case 6:
            return QVariant(float(1.5));
        case 7:
            return QVariant(below(2) == 0);
        case 8:
            return below(2) ? QVariant(QByteArray()) : QVariant(QByteArray::number(quint64(m_random()), 16) + '\0');
        case 9:
            return QVariant(date());
        case 10:
            return below(4) == 0 ? QVariant() : QVariant(qint64(below(300)));
        default:
            return QVariant(text());
        }
    }

    QVariant value(int depth)
    {
        if (depth > 17 || below(depth == 0 ? 8 : 4) != 0)
            return scalar();
        switch (below(depth > 2 ? 5 : 4)) {
        case 0: {
            QStringList texts;
            for (int count = below(4); count > 0; --count)
                texts.append(text());
            return QVariant(texts);
        }
        case 1: {
            QVariantHash hash;
            for (int count = below(4); count > 0; --count)
                hash.insert(key(), value(depth + 1));
            return QVariant(hash);
        }
        case 2: {
            QVariantMap map;
            for (int count = below(4); count > 0; --count)
                map.insert(key() + text().left(3), value(depth + 1));
            return QVariant(map);
        }
        case 3: {
            QVariantList list;
            for (int count = below(4); count > 0; --count)
                list.append(value(depth + 1));
            return QVariant(list);
        }
        default:
            // Past the depth entries keep packed, whatever holds it is streamed.
            return value(depth + 8);
        }
    }

    Entry entry()
    {
        if (below(3) == 0)
            return plainEntry(below(100'000));
        QVariantMap dictionary;
        for (int count = below(6); count > 0; --count)
            dictionary.insert(key(), value(0));
        return Entry(dictionary);
    }

    Changes changes()
    {
        Changes changes;
        qsizetype position = below(3) == 0 ? (qsizetype(1) << 40) : 0;
        for (int count = below(3) == 0 ? 0 : below(6); count > 0; --count)
            changes.removed.push_back(position += 1 + below(70'000));
        for (int count = below(3) == 0 ? 0 : below(5); count > 0; --count)
            changes.replaced.emplace_back(position += 1 + below(300), entry());
        for (int count = below(3) == 0 ? 0 : below(5); count > 0; --count)
            changes.appended.append(entry());
        return changes;
    }

    std::optional<QDateTime> syncDate()
    {
        if (below(3) == 0)
            return std::nullopt;
        return below(4) == 0 ? date() : kSyncDate;
    }

private:
    std::mt19937_64 m_random;
};

TEST(HMIdentifierGraphJournalPayload, EdgeCasesAreWrittenAsTheGenericWriterWritesThem)
{
    const Entry unicode(QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("\U0001F600 \u00e9")},
                                    {QStringLiteral("\U0001F600"), QStringLiteral("\uFFFD")},
                                    {QStringLiteral("\uFFFD"), QStringLiteral("\U0001F600 \u00e9")}});
    const Entry numbers(QVariantMap{{QStringLiteral("big"), std::numeric_limits<qint64>::max()},
                                    {QStringLiteral("small"), std::numeric_limits<qint64>::min()},
                                    {QStringLiteral("unsigned"), quint64(std::numeric_limits<qint64>::max())},
                                    {QStringLiteral("widths"), QVariantList{255, 256, 65535, 65536, qint64(1) << 32}}});
    struct Case
    {
        const char *what;
        Changes changes;
        std::optional<QDateTime> date;
    };
    std::vector<Case> cases{
        {"nothing", {}, std::nullopt},
        {"the date only", {}, kSyncDate},
        {"an invalid date", {}, QDateTime()},
        {"removals only", {{0, 7, qsizetype(1) << 40}, {}, {}}, std::nullopt},
        {"replacements", {{}, {{3, plainEntry(3, QStringLiteral("r2"))}, {9, unicode}}, {}}, kSyncDate},
        {"appends", {{}, {}, {plainEntry(1), plainEntry(1), numbers, Entry()}}, std::nullopt},
        {"everything", {{1, 2}, {{4, numbers}}, {unicode, plainEntry(5)}}, kSyncDate},
    };
    for (const Case &edge : cases)
        EXPECT_TRUE(checkPayload(edge.changes, edge.date, edge.what)) << edge.what;

    // Packed bytes made elsewhere that a dictionary reads otherwise than they stand: texts of bytes
    // that are not UTF-8 (both read as one replacement character), a nested dictionary whose keys
    // stand out of order or twice.
    Changes unusual;
    for (const QByteArray &packed : {QByteArray("\x02\x01\x01\x01\xff", 5), QByteArray("\x02\x01\x01\x01\xfe", 5),
                                     QByteArray("\x02\x01\x10\x07\x02\x01" "b\x05\x01" "a\x04", 11),
                                     QByteArray("\x02\x01\x10\x07\x02\x01" "a\x05\x01" "a\x04", 11)}) {
        const std::optional<Entry> entry = Entry::fromPacked(packed);
        ASSERT_TRUE(entry) << packed.toHex().constData();
        unusual.appended = {plainEntry(1), *entry};
        checkPayload(unusual, kSyncDate, "packed " + packed.toHex().toStdString());
        unusual.appended.append(*entry);
    }
    unusual.appended = {*Entry::fromPacked(QByteArray("\x02\x01\x01\x01\xff", 5)),
                        *Entry::fromPacked(QByteArray("\x02\x01\x01\x01\xfe", 5))};
    checkPayload(unusual, kSyncDate, "texts not UTF-8");

    // A key that UTF-8 cannot carry; a null text, nothing, a float and a date the list cannot hold:
    // written as the generic writer writes them, or failing as it fails.
    Changes oddKey;
    oddKey.appended.append(Entry(QVariantMap{{QStringLiteral("odd key ") + QChar(char16_t(0xdc00)), 1}}));
    checkPayload(oddKey, kSyncDate, "an odd key");
    for (const QVariant &odd : {QVariant(QString()), QVariant(), QVariant(float(0.5)),
                                QVariant(QDateTime(QDate(1901, 1, 1), QTime(0, 0), Qt::UTC))}) {
        Changes changes;
        changes.appended.append(Entry(QVariantMap{{QStringLiteral("odd"), odd}}));
        checkPayload(changes, kSyncDate, "an odd value");
    }
}

TEST(HMIdentifierGraphJournalPayload, RandomChangesAreWrittenAsTheGenericWriterWritesThem)
{
    RandomValues random(20261208);
    int streamed = 0;
    constexpr int kRounds = 3000;
    for (int round = 0; round < kRounds; ++round) {
        const Changes changes = random.changes();
        if (checkPayload(changes, random.syncDate(), "round " + std::to_string(round)))
            ++streamed;
        if (::testing::Test::HasFailure())
            return;
    }
    // Odd values are common here: still, most lines are written from the entries.
    EXPECT_GT(streamed, kRounds / 4);
}

// Many entries: references and offsets of one, two and three bytes, and texts repeated across
// entries written once.
TEST(HMIdentifierGraphJournalPayload, LargeChangesTakeWiderReferencesAsTheGenericWriterDoes)
{
    for (const int count : {10, 40, 200, 3000, 16000}) {
        Changes changes;
        for (int number = 0; number < count; ++number) {
            changes.appended.append(plainEntry(number));
            if (number % 2 == 0)
                changes.replaced.emplace_back(number, plainEntry(number, QStringLiteral("r2")));
            changes.removed.push_back(number * 3);
        }
        const std::string what = std::to_string(count) + " entries";
        EXPECT_TRUE(checkPayload(changes, kSyncDate, what)) << what;
    }
}

// References widen at 256 and 65,536 objects: counts of objects on either side of each, made of
// positions alone and of entries, take the generic writer's widths.
TEST(HMIdentifierGraphJournalPayload, ReferencesWidenAtTheSameCountAsTheGenericWritersOwn)
{
    for (const qsizetype removed : {250, 251, 252, 253, 254, 255, 256, 65529, 65530, 65531, 65532, 65533, 65534}) {
        Changes changes;
        for (qsizetype position = 0; position < removed; ++position)
            changes.removed.push_back(position);
        for (const auto &date : {std::optional<QDateTime>(), std::optional<QDateTime>(kSyncDate)}) {
            const std::string what = std::to_string(removed) + " removals";
            EXPECT_TRUE(checkPayload(changes, date, what)) << what;
        }
    }
    Changes changes;
    for (int number = 0; number < 40; ++number) {
        changes.appended.append(plainEntry(number));
        const std::string what = std::to_string(number) + " appended";
        EXPECT_TRUE(checkPayload(changes, std::nullopt, what)) << what;
    }
    // Entries of a few long values, whose bytes are many more than their objects.
    for (const qsizetype textLength : {100, 3000, 700000}) {
        Changes longTexts;
        for (int number = 0; number < 3; ++number) {
            longTexts.appended.append(Entry(QVariantMap{{QStringLiteral("hmUid"), QString(textLength, QLatin1Char('u'))},
                                                        {QStringLiteral("nativeId"), QStringLiteral("n%1").arg(number)}}));
        }
        const std::string what = "texts of " + std::to_string(textLength) + " characters";
        EXPECT_TRUE(checkPayload(longTexts, kSyncDate, what)) << what;
    }
}

// The entries a whole reading of a payload gives: its dictionaries, each packed.
std::optional<HMIdentifierGraph::Entries> wholeEntriesUnder(const QVariantMap &payload, const QString &key)
{
    HMIdentifierGraph::Entries entries;
    for (const QVariant &item : payload.value(key).toList()) {
        if (item.typeId() != QMetaType::QVariantMap)
            return std::nullopt;
        entries.append(Entry(item.toMap()));
    }
    return entries;
}

// Reads a line holding the payload as a journal read reads it, and checks it against the payload's
// dictionary read whole: the same changes with the same bytes, and the same date.
void checkReadAsWhole(const QByteArray &payload, const std::string &what)
{
    const QByteArray check = QCryptographicHash::hash(payload, QCryptographicHash::Sha1).toHex().left(16);
    const QByteArray journal = HMIdentifierGraphJournal::headerLine("none") + check + ' ' + payload.toBase64() + '\n';
    const HMIdentifierGraphJournal::Reading reading =
        HMIdentifierGraphJournal::read(journal, "none", qsizetype(1) << 50);
    const platform::Result<QVariant> whole = platform::parsePropertyList(payload);
    const QVariantMap map = whole ? whole->toMap() : QVariantMap();
    const auto replacements = wholeEntriesUnder(map, HMIdentifierGraphJournal::kReplacementsKey);
    const auto appended = wholeEntriesUnder(map, HMIdentifierGraphJournal::kAppendedKey);
    ASSERT_EQ(reading.replay.isIntact, whole && whole->typeId() == QMetaType::QVariantMap && replacements && appended)
        << what;
    if (!reading.replay.isIntact)
        return;
    const QVariant date = map.value(HMIdentifierGraphJournal::kLastSyncDateKey);
    EXPECT_EQ(reading.lastSyncDate.value_or(QDateTime()), date.toDateTime()) << what;
    ASSERT_EQ(reading.changes.size(), replacements->isEmpty() && appended->isEmpty() &&
                                              map.value(HMIdentifierGraphJournal::kRemovedKey).toList().isEmpty()
                                          ? 0U
                                          : 1U)
        << what;
    if (reading.changes.empty())
        return;
    const Changes &changes = reading.changes.front();
    ASSERT_EQ(qsizetype(changes.replaced.size()), replacements->size()) << what;
    for (qsizetype index = 0; index < replacements->size(); ++index)
        EXPECT_EQ(changes.replaced[size_t(index)].second.packed(), replacements->at(index).packed()) << what;
    ASSERT_EQ(changes.appended.size(), appended->size()) << what;
    for (qsizetype index = 0; index < appended->size(); ++index)
        EXPECT_EQ(changes.appended.at(index).packed(), appended->at(index).packed()) << what;
}

// Lines are read in place where they hold what the writers write, and read whole otherwise: either
// way to the entries, bytes and all, that the payload's dictionary read whole gives.
TEST(HMIdentifierGraphJournalPayload, ALineReadsToTheEntriesItsDictionaryReadWholeGives)
{
    RandomValues random(20261209);
    for (int round = 0; round < 1500 && !::testing::Test::HasFailure(); ++round) {
        const Changes changes = random.changes();
        const std::optional<QDateTime> date = random.syncDate();
        const std::string what = "round " + std::to_string(round);
        if (const platform::Result<QByteArray> generic = genericPayload(changes, date))
            checkReadAsWhole(*generic, what + " generic");
        if (const platform::Result<QByteArray> streamed = HMIdentifierGraphJournal::streamedPayload(changes, date))
            checkReadAsWhole(*streamed, what + " streamed");
    }
}

// Forms no writer of ours makes read as a whole reading reads them: keys out of order or twice, a
// key the reader does not know, a nested dictionary's keys out of order, an entry that is no
// dictionary, a set for a list.
TEST(HMIdentifierGraphJournalPayload, OddFormsOfALineReadAsTheirDictionariesReadWhole)
{
    using platform::binaryplist::Encoder;
    const auto text = [](Encoder &encoder, const char *value) { return *encoder.writeText(QString::fromUtf8(value)); };
    const auto payloadOf = [&](const std::vector<std::pair<const char *, const char *>> &entryPairs, bool nestedInOrder,
                               const char *topExtra, bool itemIsText) {
        Encoder encoder(64);
        std::vector<quint64> keys;
        std::vector<quint64> values;
        for (const auto &[key, value] : entryPairs) {
            keys.push_back(text(encoder, key));
            values.push_back(text(encoder, value));
        }
        const quint64 nested =
            encoder.writeDictionary({text(encoder, nestedInOrder ? "a" : "b"), text(encoder, nestedInOrder ? "b" : "a"),
                                     text(encoder, "x"), text(encoder, "")});
        keys.push_back(text(encoder, "nested"));
        values.push_back(nested);
        keys.insert(keys.end(), values.begin(), values.end());
        const quint64 item = itemIsText ? text(encoder, "no entry") : encoder.writeDictionary(keys);
        std::vector<quint64> top{text(encoder, "appended"), text(encoder, topExtra)};
        top.push_back(encoder.writeArray({item}));
        top.push_back(encoder.writeArray({}));
        return encoder.finish(encoder.writeDictionary(top));
    };
    const std::vector<std::pair<const char *, const char *>> ordered{{"hmUid", "a1"}, {"nativeId", "n1"}};
    const std::vector<std::pair<const char *, const char *>> unordered{{"nativeId", "n1"}, {"hmUid", "a1"}};
    const std::vector<std::pair<const char *, const char *>> twice{{"hmUid", "a1"}, {"hmUid", "a2"}, {"x", ""}};
    checkReadAsWhole(payloadOf(ordered, true, "removed", false), "ordered");
    checkReadAsWhole(payloadOf(unordered, true, "removed", false), "keys out of order");
    checkReadAsWhole(payloadOf(twice, true, "removed", false), "a key twice");
    checkReadAsWhole(payloadOf(ordered, false, "removed", false), "nested keys out of order");
    checkReadAsWhole(payloadOf(ordered, true, "unknown", false), "an unknown key");
    checkReadAsWhole(payloadOf(ordered, true, "appended", false), "the key of the entries twice");
    checkReadAsWhole(payloadOf(ordered, true, "removed", true), "an entry that is a text");
}

// A line written from the entries replays to the list the changes make.
TEST(HMIdentifierGraphJournalPayload, AStreamedLineReplaysToTheChangedList)
{
    HMIdentifierGraph::Entries before;
    for (int number = 0; number < 50; ++number)
        before.append(plainEntry(number));
    HMIdentifierGraph::Entries after = before;
    after[7] = plainEntry(7, QStringLiteral("r2"));
    after.remove(20, 5);
    after.append(plainEntry(900, QStringLiteral("\u00e9\U0001F600")));
    const Changes changes = HMIdentifierGraph::changesBetween(before, after);
    ASSERT_TRUE(HMIdentifierGraphJournal::streamedPayload(changes, kSyncDate));
    const platform::Result<QByteArray> line = HMIdentifierGraphJournal::changeLine(changes, kSyncDate);
    ASSERT_TRUE(line);
    QDateTime date;
    const HMIdentifierGraphJournal::Replay replay =
        HMIdentifierGraphJournal::replay(HMIdentifierGraphJournal::headerLine("none") + *line, "none", before, date);
    EXPECT_TRUE(replay.isIntact);
    EXPECT_EQ(HMIdentifierGraph::dictionariesOf(before), HMIdentifierGraph::dictionariesOf(after));
    EXPECT_EQ(date, kSyncDate);
}

} // namespace
