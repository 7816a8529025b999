#include "sync/HMIdentifierGraphHashIndex.h"

#include <QList>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include <gtest/gtest.h>

namespace {

// Every hash of the model finds its entries, ascending, in the index.
void expectSameEntries(const HMIdentifierGraphHashIndex &index, const std::multimap<quint32, quint64> &model, int step)
{
    for (auto first = model.begin(); first != model.end(); first = model.upper_bound(first->first)) {
        QList<quint64> expected;
        for (auto match = model.lower_bound(first->first); match != model.upper_bound(first->first); ++match)
            expected.append(match->second);
        std::sort(expected.begin(), expected.end());
        const HMIdentifierGraphHashIndex::Entries found = index.entriesFor(first->first);
        ASSERT_EQ(QList<quint64>(found.begin(), found.end()), expected) << "step " << step;
    }
}

} // namespace

// The graph's indexes are open-addressing tables: runs of taken slots wrap around the end of the
// table and close up when a slot is freed. Seeded sequences of inserts and removals, over hashes
// chosen to collide and to crowd the table's last slots, are checked against a plain multimap.
TEST(HMIdentifierGraphHashIndex, AnswersLikeAMultimapWhateverTheHashesCollide)
{
    struct Row
    {
        const char *name;
        std::function<size_t(std::mt19937 &)> hash;
    };
    const Row rows[] = {
        {"one hash for all", [](std::mt19937 &) { return size_t(42); }},
        {"few hashes", [](std::mt19937 &random) { return size_t(random() % 8); }},
        {"hashes crowding the end", [](std::mt19937 &random) { return size_t(0xfffffff0U + random() % 16); }},
        {"high bits differ, low bits alike", [](std::mt19937 &random) { return (size_t(random()) << 32) | 7; }},
        {"spread hashes", [](std::mt19937 &random) { return size_t(random()); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::mt19937 random(20261207);
        HMIdentifierGraphHashIndex index;
        std::multimap<quint32, quint64> model;
        quint64 nextEntry = 0;
        for (int step = 0; step < 3000; ++step) {
            const unsigned choice = random() % 10;
            if (choice < 6 || model.empty()) {
                const size_t hash = row.hash(random);
                index.insert(hash, nextEntry);
                model.emplace(quint32(hash), nextEntry++);
            } else if (choice < 9) {
                auto doomed = model.begin();
                std::advance(doomed, random() % model.size());
                index.remove(doomed->first, doomed->second);
                model.erase(doomed);
            } else {
                // Removing what is not there changes nothing.
                index.remove(row.hash(random), nextEntry + 5);
            }
            ASSERT_EQ(index.count(), qsizetype(model.size())) << "step " << step;
            if (step % 50 == 0 || step == 2999)
                expectSameEntries(index, model, step);
            if (testing::Test::HasFatalFailure())
                return;
        }
    }
}

TEST(HMIdentifierGraphHashIndex, EmptyAndClearedIndexesFindNothing)
{
    HMIdentifierGraphHashIndex index;
    EXPECT_TRUE(index.entriesFor(1).isEmpty());
    index.remove(1, 1);
    index.reserve(1000);
    EXPECT_TRUE(index.entriesFor(1).isEmpty());
    index.insert(1, HMIdentifierGraphHashIndex::kLargestEntry);
    index.insert(1, 0);
    EXPECT_EQ(index.entriesFor(1), HMIdentifierGraphHashIndex::Entries({0, HMIdentifierGraphHashIndex::kLargestEntry}));
    index.clear();
    EXPECT_EQ(index.count(), 0);
    EXPECT_TRUE(index.entriesFor(1).isEmpty());
    index.insert(1, 3);
    EXPECT_EQ(index.entriesFor(1), HMIdentifierGraphHashIndex::Entries({3}));
}
