#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphJournal.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include "foundation/LogCapture.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include <gtest/gtest.h>

// The graph answers lookups from hash indexes. These tests drive it through long seeded sequences of
// changes, made through its own operations and straight on its list, and check every answer against
// a plain walk over the list.
namespace {

const QString kHmUid = QStringLiteral("hmUid");
const QString kNativeId = QStringLiteral("nativeId");
const QString kPicking = QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications.");
const QString kDeletingAll = QStringLiteral("Multiple identifier dictionaries found, deleting all and adding new one.");

// Identifiers that collide exactly, by case only, by diacritics only, or in composed and decomposed
// form; and one pair that only case-folds alike outside ASCII (the Kelvin sign and "k").
const QStringList kHmUids = {QStringLiteral("rec-1"),   QStringLiteral("REC-1"),       QStringLiteral("Rec-1"),
                             QStringLiteral("rec-2"),   QStringLiteral("caf\u00e9"),   QStringLiteral("CAF\u00c9"),
                             QStringLiteral("cafe"),    QStringLiteral("cafe\u0301"),  QStringLiteral("\u212a-7"),
                             QStringLiteral("k-7"),     QStringLiteral(""),            QStringLiteral("z")};
const QStringList kNativeIds = {QStringLiteral("n1"), QStringLiteral("N1"), QStringLiteral("n2"),
                                QStringLiteral("n3"), QStringLiteral("n\u00e9"), QStringLiteral("")};

// Equality ignoring case and diacritics, written out the long way.
QString foldedSlowly(const QString &text)
{
    QString bare;
    for (const QChar character : text.normalized(QString::NormalizationForm_D)) {
        if (character.category() != QChar::Mark_NonSpacing)
            bare.append(character);
    }
    return bare.toCaseFolded();
}

bool looseMatch(const QVariantMap &dictionary, const QString &hmUid)
{
    const QVariant value = dictionary.value(kHmUid);
    return value.typeId() == QMetaType::QString && foldedSlowly(value.toString()) == foldedSlowly(hmUid);
}

// The positions whose key holds exactly the text.
QList<qsizetype> exactMatches(const QList<QVariantMap> &list, const QString &key, const QString &identifier)
{
    QList<qsizetype> matches;
    for (qsizetype index = 0; index < list.size(); ++index) {
        const QVariant value = list.at(index).value(key);
        if (value.typeId() == QMetaType::QString && value.toString() == identifier)
            matches.append(index);
    }
    return matches;
}

class RandomChanges
{
public:
    explicit RandomChanges(unsigned seed) : m_random(seed) {}

    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }

    QVariantMap entry()
    {
        QVariantMap dictionary;
        const int shape = below(10);
        if (shape == 0)
            dictionary.insert(kHmUid, below(3)); // not a text: never matched
        else if (shape != 1)
            dictionary.insert(kHmUid, kHmUids.at(below(int(kHmUids.size()))));
        if (below(6) != 0)
            dictionary.insert(kNativeId, kNativeIds.at(below(int(kNativeIds.size()))));
        dictionary.insert(QStringLiteral("crcValue"), below(1000));
        if (below(4) == 0)
            dictionary.insert(QStringLiteral("isUnconfirmedAdd"), true);
        return dictionary;
    }
    QString hmUid() { return kHmUids.at(below(int(kHmUids.size()))); }

private:
    std::mt19937 m_random;
};

std::unique_ptr<HMIdentifierGraph> reloaded(const HMIdentifierGraph &graph)
{
    platform::KeyedArchiver archiver;
    archiver.encodeObject(graph, QStringLiteral("HMIdentifierGraph"));
    const platform::Result<QByteArray> data = archiver.finishEncoding();
    if (!data)
        return nullptr;
    platform::Result<std::unique_ptr<HMIdentifierGraph>> loaded =
        platform::KeyedUnarchiver::unarchiveObject<HMIdentifierGraph>(*data, QStringLiteral("HMIdentifierGraph"));
    return loaded ? std::move(*loaded) : nullptr;
}

// The confirmed "hmUid" texts not among the present identifiers, each once, in list order, the long way.
QStringList missingSlowly(const QList<QVariantMap> &model, const QStringList &present)
{
    QStringList missing;
    for (const QVariantMap &entry : model) {
        const QVariant hmUid = entry.value(kHmUid);
        if (!hmUid.isValid() || entry.value(QStringLiteral("isUnconfirmedAdd")).toBool())
            continue;
        if (!present.contains(hmUid.toString()) && !missing.contains(hmUid.toString()))
            missing.append(hmUid.toString());
    }
    return missing;
}

struct Expected
{
    int picking = 0;
    int deletingAll = 0;
    int notFound = 0;
};

// The lookups a step makes: the graph builds each index on the first lookup that needs it, so a
// sequence that looks up only some of them changes the list under indexes not built yet.
enum Lookup { Unconfirmed = 1, Missing = 2, ByHmUid = 4, ByNativeId = 8, AllLookups = 15 };

void checkHmUidLookups(HMIdentifierGraph &graph, const QList<QVariantMap> &model, Expected &expected, int step);
void checkNativeIdLookups(HMIdentifierGraph &graph, const QList<QVariantMap> &model, Expected &expected, int step);

// Checks the lookups the graph offers, for every identifier in play, against a walk over the list.
void checkLookups(HMIdentifierGraph &graph, const QList<QVariantMap> &model, Expected &expected, int step, int lookups)
{
    ASSERT_EQ(graph.identifierDictionaries(), model) << "step " << step;
    if (lookups & ByHmUid)
        checkHmUidLookups(graph, model, expected, step);
    if (lookups & ByNativeId)
        checkNativeIdLookups(graph, model, expected, step);
    if ((lookups & Unconfirmed) == 0)
        return;
    const bool anyUnconfirmed = std::any_of(model.begin(), model.end(), [](const QVariantMap &entry) {
        return entry.value(QStringLiteral("isUnconfirmedAdd")).toBool();
    });
    EXPECT_EQ(graph.hasUnconfirmedEntries(), anyUnconfirmed) << "step " << step;
    if ((lookups & Missing) == 0)
        return;
    // The other side's id list: every other identifier in play, a number's text ("1" matches an
    // "hmUid" stored as the number 1) and one the graph never held.
    QStringList present = {QStringLiteral("1"), QStringLiteral("gone")};
    for (qsizetype index = step % 2; index < kHmUids.size(); index += 2)
        present.append(kHmUids.at(index));
    EXPECT_EQ(graph.confirmedHmUidsMissingFrom(present), missingSlowly(model, present)) << "step " << step;
}

void checkHmUidLookups(HMIdentifierGraph &graph, const QList<QVariantMap> &model, Expected &expected, int step)
{
    for (const QString &hmUid : kHmUids) {
        const QList<qsizetype> matches = exactMatches(model, kHmUid, hmUid);
        const std::optional<QVariantMap> found = graph.dictionaryForHarrowmereUid(hmUid);
        const QString nativeId = graph.nativeIdForHarrowmereUid(hmUid);
        if (matches.isEmpty()) {
            EXPECT_FALSE(found.has_value()) << "step " << step << " hmUid " << hmUid.toStdString();
            EXPECT_TRUE(nativeId.isNull()) << "step " << step;
            continue;
        }
        if (matches.size() > 1)
            expected.picking += 2;
        const QVariantMap &first = model.at(matches.first());
        ASSERT_TRUE(found.has_value()) << "step " << step << " hmUid " << hmUid.toStdString();
        EXPECT_EQ(*found, first) << "step " << step;
        EXPECT_EQ(nativeId, first.value(kNativeId).typeId() == QMetaType::QString ? first.value(kNativeId).toString()
                                                                                  : QString())
            << "step " << step;
    }
}

void checkNativeIdLookups(HMIdentifierGraph &graph, const QList<QVariantMap> &model, Expected &expected, int step)
{
    for (const QString &native : kNativeIds) {
        const QList<qsizetype> matches = exactMatches(model, kNativeId, native);
        const std::optional<QVariantMap> found = graph.dictionaryForNativeId(native);
        const QString hmUid = graph.harrowmereUidForNativeId(native);
        if (matches.isEmpty()) {
            EXPECT_FALSE(found.has_value()) << "step " << step << " nativeId " << native.toStdString();
            EXPECT_TRUE(hmUid.isNull()) << "step " << step;
            continue;
        }
        if (matches.size() > 1)
            expected.picking += 2;
        const QVariantMap &first = model.at(matches.first());
        ASSERT_TRUE(found.has_value()) << "step " << step << " nativeId " << native.toStdString();
        EXPECT_EQ(*found, first) << "step " << step;
        EXPECT_EQ(hmUid,
                  first.value(kHmUid).typeId() == QMetaType::QString ? first.value(kHmUid).toString() : QString())
            << "step " << step;
    }
}

qsizetype removeLoose(QList<QVariantMap> &model, const QString &hmUid)
{
    return model.removeIf([&hmUid](const QVariantMap &dictionary) { return looseMatch(dictionary, hmUid); });
}

// The graph's own in-place replacement and removal by native id, mirrored on the model.
void changeThroughGraph(HMIdentifierGraph &graph, QList<QVariantMap> &model, RandomChanges &random, int change,
                        Expected &expected)
{
    if (change < 105) {
        const QString hmUid = random.hmUid();
        const std::optional<QVariantMap> replacement =
            random.below(3) == 0 ? std::nullopt : std::optional<QVariantMap>(random.entry());
        const QList<qsizetype> matches = exactMatches(model, kHmUid, hmUid);
        expected.picking += matches.size() > 1 ? 1 : 0;
        if (!matches.isEmpty()) {
            if (replacement)
                model[matches.first()] = *replacement;
            else
                model.removeAt(matches.first());
        }
        EXPECT_EQ(graph.replaceDictionaryForHarrowmereUid(hmUid, replacement), !matches.isEmpty());
        return;
    }
    const QString nativeId = kNativeIds.at(random.below(int(kNativeIds.size())));
    model.removeIf([&nativeId](const QVariantMap &dictionary) {
        const QVariant value = dictionary.value(kNativeId);
        return value.typeId() == QMetaType::QString && value.toString() == nativeId;
    });
    graph.removeDictionariesForNativeId(nativeId);
}

// The changes from the list before a step to the list after it, applied to the list before, give
// the list after; so do they once written as a journal line and replayed.
void checkChanges(const HMIdentifierGraph::Entries &before, const HMIdentifierGraph::Entries &after, int step)
{
    const HMIdentifierGraph::Changes changes = HMIdentifierGraph::changesBetween(before, after);
    HMIdentifierGraph::Entries applied = before;
    ASSERT_TRUE(changes.applyTo(applied)) << "step " << step;
    ASSERT_EQ(HMIdentifierGraph::dictionariesOf(applied), HMIdentifierGraph::dictionariesOf(after)) << "step " << step;
    const platform::Result<QByteArray> line = HMIdentifierGraphJournal::changeLine(changes, std::nullopt);
    ASSERT_TRUE(line) << "step " << step;
    HMIdentifierGraph::Entries replayed = before;
    QDateTime date;
    const HMIdentifierGraphJournal::Replay replay = HMIdentifierGraphJournal::replay(
        HMIdentifierGraphJournal::headerLine("none") + *line, "none", replayed, date);
    EXPECT_TRUE(replay.isIntact) << "step " << step;
    ASSERT_EQ(HMIdentifierGraph::dictionariesOf(replayed), HMIdentifierGraph::dictionariesOf(after)) << "step " << step;
}

// Marks the graph's list as what its files hold; answers that list, as a copy kept aside.
HMIdentifierGraph::Entries markDurable(const HMIdentifierGraph &graph)
{
    graph.setDurableState({QStringLiteral("graph"), graph.lastSyncDate(), "none"});
    return graph.entries();
}

// The changes the graph's own log tells since its files, against those a walk over the two lists finds.
void checkChangeLog(const HMIdentifierGraph &graph, const HMIdentifierGraph::Entries &durable, int step)
{
    const HMIdentifierGraph::Changes logged = graph.changesSinceDurable();
    const HMIdentifierGraph::Changes walked = HMIdentifierGraph::changesBetween(durable, graph.entries());
    const auto shared = [](const auto &left, const auto &right) { return left.isSharedWith(right); };
    EXPECT_EQ(logged.removed, walked.removed) << "step " << step;
    ASSERT_EQ(logged.replaced.size(), walked.replaced.size()) << "step " << step;
    for (size_t index = 0; index < logged.replaced.size(); ++index) {
        EXPECT_EQ(logged.replaced[index].first, walked.replaced[index].first) << "step " << step;
        EXPECT_TRUE(shared(logged.replaced[index].second, walked.replaced[index].second)) << "step " << step;
    }
    EXPECT_TRUE(std::equal(logged.appended.cbegin(), logged.appended.cend(), walked.appended.cbegin(),
                           walked.appended.cend(), shared))
        << "step " << step;
    const HMIdentifierGraph::Entries held = graph.durableEntries();
    EXPECT_TRUE(std::equal(durable.cbegin(), durable.cend(), held.cbegin(), held.cend(), shared))
        << "step " << step;
}

void runSequence(unsigned seed, int steps, bool looksUpSome)
{
    RandomChanges random(seed);
    auto graph = std::make_unique<HMIdentifierGraph>();
    QList<QVariantMap> model;
    Expected expected;
    LogCapture log(LOG_LEVEL_WARN);
    HMIdentifierGraph::Entries durable = markDurable(*graph);

    for (int step = 0; step < steps; ++step) {
        const int change = random.below(110);
        // The files are written now and then, as a run journals its pages.
        if (random.below(8) == 0)
            durable = markDurable(*graph);
        // Changes the graph has no call for are made on a shallow copy of its entries, set back whole.
        HMIdentifierGraph::Entries list = graph->entries();
        const HMIdentifierGraph::Entries before = list;
        if (change >= 100) {
            changeThroughGraph(*graph, model, random, change, expected);
        } else if (change < 30) {
            // Replacement, often by an identifier that differs in case or diacritics only.
            const QString hmUid = random.hmUid();
            const std::optional<QVariantMap> dictionary =
                random.below(5) == 0 ? std::nullopt : std::optional<QVariantMap>(random.entry());
            const qsizetype removed = removeLoose(model, hmUid);
            expected.deletingAll += removed >= 2 ? 1 : 0;
            expected.notFound += removed == 0 ? 1 : 0;
            if (dictionary)
                model.append(*dictionary);
            graph->setDictionary(dictionary, hmUid);
        } else if (change < 45) {
            const QString hmUid = random.hmUid();
            expected.notFound += removeLoose(model, hmUid) == 0 ? 1 : 0;
            graph->removeDictionaryForHarrowmereUid(hmUid);
        } else if (change < 65) {
            const QVariantMap dictionary = random.entry();
            model.append(dictionary);
            if (random.below(2) == 0) {
                list.append(HMIdentifierGraphEntry(dictionary));
                graph->setEntries(list);
            } else {
                graph->appendDictionary(dictionary);
            }
        } else if (change < 75 && !model.isEmpty()) {
            const qsizetype position = random.below(int(model.size()));
            if (random.below(2) == 0) {
                EXPECT_TRUE(graph->removeDictionary(model.at(position))) << "step " << step;
                model.removeOne(model.at(position));
            } else {
                model.removeAt(position);
                list.removeAt(position);
                graph->setEntries(list);
            }
        } else if (change < 85 && !model.isEmpty()) {
            // An entry changed in place, through the list.
            const qsizetype position = random.below(int(model.size()));
            const QString key = random.below(2) == 0 ? kHmUid : kNativeId;
            const QString value = key == kHmUid ? random.hmUid() : kNativeIds.at(random.below(int(kNativeIds.size())));
            model[position].insert(key, value);
            list[position] = HMIdentifierGraphEntry(model.at(position));
            graph->setEntries(list);
        } else if (change < 92) {
            const qsizetype position = random.below(int(model.size()) + 1);
            const QVariantMap dictionary = random.entry();
            model.insert(position, dictionary);
            list.insert(position, HMIdentifierGraphEntry(dictionary));
            graph->setEntries(list);
        } else if (change < 94) {
            model.clear();
            graph->clear();
        } else if (change < 96) {
            QList<QVariantMap> reordered = model;
            std::shuffle(reordered.begin(), reordered.end(), std::mt19937(seed + unsigned(step)));
            model = reordered;
            graph->setIdentifierDictionaries(reordered);
        } else if (change < 98) {
            std::unique_ptr<HMIdentifierGraph> loaded = reloaded(*graph);
            ASSERT_TRUE(loaded) << "step " << step;
            graph = std::move(loaded);
            durable = markDurable(*graph);
        } else if (change < 104) {
            auto copy = std::make_unique<HMIdentifierGraph>(*graph);
            graph = std::move(copy);
        } else {
            // The indexes let go, after removals that numbered the entries apart from their places.
            graph->releaseLookups();
        }
        checkLookups(*graph, model, expected, step, looksUpSome ? random.below(AllLookups + 1) : AllLookups);
        if (change < 96)
            checkChanges(before, graph->entries(), step);
        checkChangeLog(*graph, durable, step);
        if (testing::Test::HasFatalFailure())
            return;
    }

    const QStringList lines = log.lines();
    EXPECT_EQ(lines.count(kPicking), expected.picking);
    EXPECT_EQ(lines.count(kDeletingAll), expected.deletingAll);
    int notFound = 0;
    for (const QString &line : lines)
        notFound += line.startsWith(QStringLiteral("No identifier found for Uid '")) ? 1 : 0;
    EXPECT_EQ(notFound, expected.notFound);
}

} // namespace

TEST(HMIdentifierGraphIndex, SeededChangeSequencesAnswerLikeAWalkOverTheList)
{
    for (unsigned seed : {1u, 7u, 2024u})
        runSequence(seed, 1500, false);
}

// Each index is built on the first lookup that needs it, whatever was removed, appended or
// replaced before: steps that look up only some of the identifiers leave the others unbuilt.
TEST(HMIdentifierGraphIndex, IndexesBuiltLateAnswerLikeAWalkOverTheList)
{
    for (unsigned seed : {3u, 11u, 4096u})
        runSequence(seed, 1500, true);
}

// Every entry is looked up in the other side's id list, first at the place after the last match,
// then by hash: lists in the graph's order, lists that repeat ids many times, ids with lone
// surrogates (which UTF-8 cannot carry, so several hash alike), ids that differ by case only and
// numbers stored as "hmUid" must leave out what the walk over the list leaves out.
TEST(HMIdentifierGraphIndex, MissingIdsOfVariedListsAnswerLikeAWalkOverTheList)
{
    QStringList pool = kHmUids;
    pool << (QStringLiteral("s") + QChar(char16_t(0xd800))) << (QStringLiteral("s") + QChar(char16_t(0xdc00)))
         << QStringLiteral("s\ufffd") << QStringLiteral("s?") << QStringLiteral("1") << QStringLiteral("2");
    RandomChanges random(23);
    for (int round = 0; round < 200; ++round) {
        QList<QVariantMap> model;
        for (int count = random.below(60); count > 0; --count) {
            QVariantMap dictionary = random.entry();
            if (random.below(3) == 0)
                dictionary.insert(kHmUid, pool.at(random.below(int(pool.size()))));
            model.append(dictionary);
        }
        HMIdentifierGraph graph;
        graph.setIdentifierDictionaries(model);
        // Half the rounds look an entry up first, so the graph's own index is built beside the list's.
        if (round % 2 == 0)
            graph.dictionaryForHarrowmereUid(pool.first());
        // A third of the lists follow the graph's order, with ids left out and others put in between.
        QStringList present;
        for (const QVariantMap &dictionary : std::as_const(model)) {
            if (round % 3 == 1 && dictionary.value(kHmUid).typeId() == QMetaType::QString && random.below(5) != 0)
                present.append(dictionary.value(kHmUid).toString());
            if (round % 3 == 1 && random.below(8) == 0)
                present.append(pool.at(random.below(int(pool.size()))));
        }
        for (int count = round % 3 == 1 ? 0 : random.below(40); count > 0; --count)
            present.append(pool.at(random.below(int(pool.size()))));
        for (int repeat = random.below(3) == 0 ? 500 : 0; repeat > 0; --repeat)
            present.append(pool.at(round % pool.size()));
        EXPECT_EQ(graph.confirmedHmUidsMissingFrom(present), missingSlowly(model, present)) << "round " << round;
    }
    // A graph made from the list, with each changed record moved to its end, and a list that gained
    // and lost a few records since.
    QList<QVariantMap> model;
    QList<QVariantMap> moved;
    QStringList present;
    for (int number = 0; number < 2000; ++number) {
        const QString id = QStringLiteral("A%1").arg(number, 6, 10, QLatin1Char('0'));
        (number % 37 == 0 ? moved : model).append({{kHmUid, id}, {kNativeId, QStringLiteral("n%1").arg(number)}});
        if (number % 101 != 0)
            present.append(id);
        if (number % 53 == 0)
            present.append(QStringLiteral("new-%1").arg(number));
    }
    model.append(moved);
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries(model);
    EXPECT_EQ(graph.confirmedHmUidsMissingFrom(present), missingSlowly(model, present));
}

TEST(HMIdentifierGraphIndex, CaseDifferingReplacementsKeepTheFirstMatchOrder)
{
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({{{kHmUid, QStringLiteral("T-1")}, {kNativeId, QStringLiteral("m1")}},
                                      {{kHmUid, QStringLiteral("t-2")}, {kNativeId, QStringLiteral("m1")}},
                                      {{kHmUid, QStringLiteral("t-3")}, {kNativeId, QStringLiteral("m3")}}});
    LogCapture log(LOG_LEVEL_WARN);
    EXPECT_EQ(graph.harrowmereUidForNativeId(QStringLiteral("m1")), QStringLiteral("T-1"));

    // "t-1" replaces "T-1": the earlier holder of "m1" goes, so the later one is now the first.
    graph.setDictionary(QVariantMap{{kHmUid, QStringLiteral("t-1")}, {kNativeId, QStringLiteral("m1")}},
                        QStringLiteral("t-1"));
    EXPECT_EQ(graph.harrowmereUidForNativeId(QStringLiteral("m1")), QStringLiteral("t-2"));
    EXPECT_FALSE(graph.dictionaryForHarrowmereUid(QStringLiteral("T-1")).has_value());
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("t-1")), QStringLiteral("m1"));

    // Removing the first entry shifts the positions after it.
    ASSERT_TRUE(graph.removeDictionary(graph.dictionaryAt(0)));
    EXPECT_EQ(graph.harrowmereUidForNativeId(QStringLiteral("m1")), QStringLiteral("t-1"));
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("t-3")), QStringLiteral("m3"));
    graph.removeDictionaryForHarrowmereUid(QStringLiteral("T-3"));
    EXPECT_FALSE(graph.dictionaryForNativeId(QStringLiteral("m3")).has_value());
    ASSERT_EQ(graph.identifierDictionaries().size(), 1);

    const QStringList lines = log.lines();
    EXPECT_EQ(lines.count(kPicking), 2);
}

// What a page or a batch changed is all the journal holds: a run of entries replaced in place, a run
// removed, or entries appended come out as just those, however long the list.
TEST(HMIdentifierGraphIndex, ChangesNameOnlyTheEntriesThatChanged)
{
    struct Row
    {
        const char *name;
        std::function<void(QList<QVariantMap> &)> change;
        size_t replaced;
        size_t removed;
        qsizetype appended;
    };
    const auto entryAt = [](int index) {
        return QVariantMap{{kHmUid, QStringLiteral("u%1").arg(index)}, {kNativeId, QStringLiteral("n%1").arg(index)}};
    };
    const Row rows[] = {
        {"a batch of ids replaced in place", [](QList<QVariantMap> &list) {
             for (qsizetype index = 300; index < 400; ++index)
                 list[index].insert(kHmUid, QStringLiteral("device-%1").arg(index));
         }, 100, 0, 0},
        {"a run removed", [](QList<QVariantMap> &list) { list.remove(500, 100); }, 0, 100, 0},
        {"the last entry replaced", [](QList<QVariantMap> &list) { list.last().insert(kNativeId, QStringLiteral("x")); },
         1, 0, 0},
        {"a page appended", [&entryAt](QList<QVariantMap> &list) {
             for (int index = 0; index < 512; ++index)
                 list.append(entryAt(20000 + index));
         }, 0, 0, 512},
        {"one removed, one replaced, some appended", [&entryAt](QList<QVariantMap> &list) {
             list.removeAt(10);
             list[20].insert(kNativeId, QStringLiteral("y"));
             list.append(entryAt(30000));
         }, 1, 1, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QList<QVariantMap> dictionaries;
        for (int index = 0; index < 5000; ++index)
            dictionaries.append(entryAt(index));
        HMIdentifierGraph graph;
        graph.setIdentifierDictionaries(dictionaries);
        HMIdentifierGraph::Entries earlier = graph.entries();
        // The entries whose dictionaries the change left equal stay the very same entries.
        QList<QVariantMap> changed = dictionaries;
        row.change(changed);
        QHash<QString, qsizetype> positions;
        for (qsizetype index = 0; index < dictionaries.size(); ++index)
            positions.insert(dictionaries.at(index).value(kHmUid).toString(), index);
        HMIdentifierGraph::Entries now;
        for (const QVariantMap &dictionary : std::as_const(changed)) {
            const qsizetype same = positions.value(dictionary.value(kHmUid).toString(), -1);
            const bool isSame = same >= 0 && dictionaries.at(same) == dictionary;
            now.append(isSame ? earlier.at(same) : HMIdentifierGraphEntry(dictionary));
        }
        const HMIdentifierGraph::Changes changes = HMIdentifierGraph::changesBetween(earlier, now);
        EXPECT_EQ(changes.replaced.size(), row.replaced);
        EXPECT_EQ(changes.removed.size(), row.removed);
        EXPECT_EQ(changes.appended.size(), row.appended);
        ASSERT_TRUE(changes.applyTo(earlier));
        EXPECT_EQ(HMIdentifierGraph::dictionariesOf(earlier), changed);
    }
}

// A run of replacements longer than a comparison of the lists tells as replacements (it tells it as
// removals and appends): the change log gives the same changes, so the journal line stays the same.
TEST(HMIdentifierGraphIndex, TheChangeLogTellsLongRunsOfReplacementsAsAComparisonDoes)
{
    HMIdentifierGraph graph;
    for (int index = 0; index < 5000; ++index)
        graph.appendDictionary({{kHmUid, QStringLiteral("u%1").arg(index)}, {kNativeId, QStringLiteral("n%1").arg(index)}});
    for (const int run : {10, 4096, 4097, 4500}) {
        SCOPED_TRACE(run);
        const HMIdentifierGraph::Entries durable = markDurable(graph);
        for (int index = 100; index < 100 + run; ++index) {
            const QString hmUid = QStringLiteral("u%1").arg(index);
            ASSERT_TRUE(graph.replaceDictionaryForHarrowmereUid(hmUid, QVariantMap{{kHmUid, hmUid}, {kNativeId, QStringLiteral("m%1").arg(run)}}));
        }
        graph.appendDictionary({{kHmUid, QStringLiteral("new-%1").arg(run)}});
        checkChangeLog(graph, durable, run);
        EXPECT_EQ(!graph.changesSinceDurable().removed.empty(), run > 4096);
    }
}
