// A sync that removes thousands of entries from a graph (a calendar that lists empty deletes all its
// records) goes through the graph's removal calls one record at a time, between lookups, replacements
// and appends. The graph written and loaded back afterwards holds what a plain list changed the same
// way holds, byte for byte, and the removals cost the same each however many there are.
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include "ProfileTestSupport.h"

#include <algorithm>
#include <numeric>
#include <random>
#include <time.h>
#include <utility>

#include <gtest/gtest.h>

namespace {

const QString kConduit = QStringLiteral("D");
const QString kHmUid = QStringLiteral("hmUid");
const QString kNativeId = QStringLiteral("nativeId");
const QDateTime kSyncDate(QDate(2026, 12, 1), QTime(8, 30), Qt::UTC);

QVariantMap entry(int number)
{
    return {{kHmUid, QStringLiteral("rec-%1").arg(number, 6, 10, QLatin1Char('0'))},
            {kNativeId, QStringLiteral("native-%1").arg(number)},
            {QStringLiteral("crcValue"), QStringLiteral("%1").arg(qint64(number) * 7919, 8, 16, QLatin1Char('0'))},
            {QStringLiteral("isNewRecord"), QStringLiteral("0")}};
}

HMProfile profileNamed(const QString &name)
{
    HMProfile profile;
    profile.setFilename(name);
    return profile;
}

double threadSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The list changed the plain way: each entry in a place of its own, emptied when removed.
struct Reference
{
    std::vector<std::optional<QVariantMap>> places;

    void append(const QVariantMap &dictionary) { places.emplace_back(dictionary); }
    QList<QVariantMap> dictionaries() const
    {
        QList<QVariantMap> kept;
        for (const std::optional<QVariantMap> &slot : places) {
            if (slot)
                kept.append(*slot);
        }
        return kept;
    }
};

// Removes one entry through one of the graph's four removal calls, as the data sources do.
void removeThroughGraph(HMIdentifierGraph &graph, const QVariantMap &dictionary, int way)
{
    const QString hmUid = dictionary.value(kHmUid).toString();
    switch (way % 4) {
    case 0:
        graph.removeDictionaryForHarrowmereUid(hmUid);
        break;
    case 1:
        EXPECT_TRUE(graph.removeDictionary(dictionary)) << hmUid.toStdString();
        break;
    case 2:
        EXPECT_TRUE(graph.replaceDictionaryForHarrowmereUid(hmUid, std::nullopt)) << hmUid.toStdString();
        break;
    default:
        graph.removeDictionariesForNativeId(dictionary.value(kNativeId).toString());
    }
}

// Every tenth removal looks a removed and a kept entry up; every fiftieth replaces a kept entry where
// it stands and appends a new one; half way the list is read by position once.
void changeBesides(HMIdentifierGraph &graph, Reference &reference, const QString &removed, int step,
                   std::mt19937 &random)
{
    if (step % 10 == 0) {
        EXPECT_FALSE(graph.dictionaryForHarrowmereUid(removed)) << removed.toStdString();
        const size_t probe = random() % reference.places.size();
        const std::optional<QVariantMap> &expected = reference.places[probe];
        if (expected) {
            EXPECT_EQ(graph.dictionaryForNativeId(expected->value(kNativeId).toString()), expected);
        }
    }
    if (step % 50 == 25) {
        const size_t slot = random() % reference.places.size();
        if (std::optional<QVariantMap> &kept = reference.places[slot]) {
            kept->insert(QStringLiteral("crcValue"), QStringLiteral("changed-%1").arg(step));
            EXPECT_TRUE(graph.replaceDictionaryForHarrowmereUid(kept->value(kHmUid).toString(), *kept));
        }
        const QVariantMap added = entry(1000000 + step);
        reference.append(added);
        graph.appendDictionary(added);
    }
    if (step == 5000) {
        EXPECT_EQ(graph.entries().size(), graph.count());
    }
}

struct Outcome
{
    double removalSeconds = 0;
    std::shared_ptr<HMIdentifierGraph> graph;
    Reference reference;
};

// Writes a graph of count entries, loads it as a sync does, and removes half of them in a seeded
// order, mirrored on the reference; the graph is then journaled and loaded back.
Outcome removeHalf(int count, const QString &name)
{
    Outcome outcome;
    HMIdentifierGraph written;
    for (int number = 0; number < count; ++number) {
        outcome.reference.append(entry(number));
        written.appendDictionary(entry(number));
    }
    written.setLastSyncDate(kSyncDate);
    EXPECT_TRUE(HMProfileManager::saveIdentifier(written, profileNamed(name), kConduit));
    std::shared_ptr<HMIdentifierGraph> graph =
        HMProfileManager::identifierGraphForProfile(profileNamed(name), kConduit);
    EXPECT_TRUE(graph);
    if (!graph)
        return outcome;

    std::vector<int> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 random{static_cast<unsigned>(count)};
    std::shuffle(order.begin(), order.end(), random);
    const double start = threadSeconds();
    for (int step = 0; step < count / 2; ++step) {
        const QVariantMap removed = *std::exchange(outcome.reference.places[size_t(order[size_t(step)])], std::nullopt);
        removeThroughGraph(*graph, removed, step);
        changeBesides(*graph, outcome.reference, removed.value(kHmUid).toString(), step, random);
    }
    outcome.removalSeconds = threadSeconds() - start;
    EXPECT_EQ(graph->count(), outcome.reference.dictionaries().size());
    graph->setLastSyncDate(kSyncDate.addDays(1));
    EXPECT_TRUE(HMProfileManager::journalIdentifier(*graph, profileNamed(name), kConduit));
    outcome.graph = HMProfileManager::identifierGraphForProfile(profileNamed(name), kConduit);
    return outcome;
}

} // namespace

TEST(HMIdentifierGraphRemoval, HalfOfALargeGraphRemovedInOneSyncStoresWhatAPlainListHolds)
{
    ScopedDataHome home;
    const Outcome outcome = removeHalf(20000, QStringLiteral("large"));
    ASSERT_TRUE(outcome.graph);
    const QList<QVariantMap> expected = outcome.reference.dictionaries();
    ASSERT_EQ(expected.size(), 10000 + 200);
    EXPECT_EQ(outcome.graph->identifierDictionaries(), expected);
    EXPECT_EQ(outcome.graph->lastSyncDate(), kSyncDate.addDays(1));
    for (const int number : {0, 1, 9999, 19999}) {
        const QString hmUid = entry(number).value(kHmUid).toString();
        const auto found = std::find_if(expected.cbegin(), expected.cend(),
                                        [&hmUid](const QVariantMap &kept) { return kept.value(kHmUid) == hmUid; });
        EXPECT_EQ(outcome.graph->dictionaryForHarrowmereUid(hmUid),
                  found == expected.cend() ? std::nullopt : std::optional(*found));
    }

    // Written whole, the graph's file holds the bytes a graph set to the plain list holds.
    HMIdentifierGraph plain;
    plain.setIdentifierDictionaries(expected);
    plain.setLastSyncDate(kSyncDate.addDays(1));
    ASSERT_TRUE(HMProfileManager::saveIdentifier(plain, profileNamed(QStringLiteral("plain")), kConduit));
    ASSERT_TRUE(HMProfileManager::saveIdentifier(*outcome.graph, profileNamed(QStringLiteral("large")), kConduit));
    const QByteArray plainBytes = readFile(home.path(QStringLiteral("plain_D.idgraph")));
    ASSERT_FALSE(plainBytes.isEmpty());
    EXPECT_EQ(readFile(home.path(QStringLiteral("large_D.idgraph"))), plainBytes);
}

// Each removal costs the same however many entries the graph holds: ten times the entries and the
// removals take about ten times the processor time, where moving the list's tail down once per
// removal took a hundred times as much.
TEST(HMIdentifierGraphRemoval, RemovalsCostTheSameEachInAGraphTenTimesLarger)
{
    ScopedDataHome home;
    double small = 1e9;
    for (int round = 0; round < 3; ++round)
        small = std::min(small, removeHalf(2000, QStringLiteral("small-%1").arg(round)).removalSeconds);
    const double large = removeHalf(20000, QStringLiteral("large")).removalSeconds;
    EXPECT_LT(large, 30 * small) << "removing 1,000 of 2,000 entries took " << small << " s, 10,000 of 20,000 took "
                                 << large << " s";
}
