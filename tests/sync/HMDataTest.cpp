#include "sync/HMData.h"

#include "FakeProgressSheet.h"
#include "FakeSyncDataSource.h"

#include "foundation/GlobalVariables.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMSyncRecord.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <ctime>

namespace {

QVariantMap entry(const QString &hmUid, const QString &nativeId)
{
    return {{QStringLiteral("hmUid"), hmUid}, {QStringLiteral("nativeId"), nativeId}};
}

QStringList hmUidsOf(const HMIdentifierGraph &graph)
{
    QStringList hmUids;
    for (const QVariantMap &dictionary : graph.identifierDictionaries())
        hmUids.append(dictionary.value(QStringLiteral("hmUid")).toString());
    hmUids.sort();
    return hmUids;
}

// A data source whose graph holds the given temporary ids, all sent to the device as new.
std::shared_ptr<HMData> sourceWithNewRecords(const QStringList &temporaryIds)
{
    auto source = std::make_shared<HMData>();
    auto graph = std::make_shared<HMIdentifierGraph>();
    for (const QString &temporaryId : temporaryIds)
        graph->appendDictionary(entry(temporaryId, QStringLiteral("mac-") + temporaryId));
    source->setIdentifierGraph(graph);
    source->setRecordsAddedToDevice(temporaryIds);
    return source;
}

class HMDataIds : public testing::Test
{
protected:
    void SetUp() override
    {
        GlobalVariables::setIsOutlookSync(false);
        GlobalVariables::setCurrentWifiBatchStartingPosition(0);
        GlobalVariables::setCurrentSyncProgressController(m_sheet);
    }
    void TearDown() override { GlobalVariables::setCurrentSyncProgressController(nullptr); }

    std::shared_ptr<FakeProgressSheet> m_sheet = std::make_shared<FakeProgressSheet>();
};

} // namespace

TEST_F(HMDataIds, ReplacesTemporaryIdsAndDropsRecordsTheDeviceDidNotTake)
{
    const std::shared_ptr<HMData> source = sourceWithNewRecords({"t1", "t2", "t3"});
    source->updateUidToDeviceIds({{QStringLiteral("t1"), QStringLiteral("d1")}, {QStringLiteral("t2"), QStringLiteral("FAIL")}});

    // t2 failed to insert and t3 got no id: both leave the graph, so the next sync sends them as new.
    const HMIdentifierGraph &graph = *source->identifierGraph();
    EXPECT_EQ(hmUidsOf(graph), QStringList({"d1"}));
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("d1")), QStringLiteral("mac-t1"));
    EXPECT_EQ(source->recordsAddedToDevice(), QStringList({"t1", "t2", "t3"}));
    EXPECT_EQ(m_sheet->userMessages(), QStringList({"1 of 3 id records updated.", "2 of 3 id records updated.",
                                                    "3 of 3 id records updated."}));
}

TEST_F(HMDataIds, AnOutlookSyncLeavesTheGraphAlone)
{
    GlobalVariables::setIsOutlookSync(true);
    const std::shared_ptr<HMData> source = sourceWithNewRecords({"t1"});
    source->updateUidToDeviceIds({{QStringLiteral("t1"), QStringLiteral("d1")}});
    source->updateUidToDeviceIdsUsingNewMethod({{QStringLiteral("t1"), QStringLiteral("d1")}});
    GlobalVariables::setIsOutlookSync(false);
    EXPECT_EQ(hmUidsOf(*source->identifierGraph()), QStringList({"t1"}));
}

// Each answer of a batch settles the record it names: a reply that leaves a record out, or answers
// in another order, never moves an id onto a neighbour.
TEST_F(HMDataIds, BatchRepliesSettleTheRecordsTheyName)
{
    struct Row
    {
        const char *name;
        QVariantMap reply;
        QStringList expected; // the graph's hmUids afterwards, in order
    };
    const Row rows[] = {
        {"all answered", {{"t1", "d1"}, {"t2", "d2"}, {"t3", "d3"}}, {"d1", "d2", "d3"}},
        {"middle one left out", {{"t1", "d1"}, {"t3", "d3"}}, {"d1", "d3", "t2"}},
        {"middle one refused", {{"t1", "d1"}, {"t2", "FAIL"}, {"t3", "d3"}}, {"d1", "d3"}},
        {"an unknown id", {{"t9", "d9"}, {"t2", "d2"}}, {"d2", "t1", "t3"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::shared_ptr<HMData> source = sourceWithNewRecords({"t1", "t2", "t3"});
        GlobalVariables::setCurrentWifiBatchStartingPosition(2);
        source->updateUidToDeviceIdsUsingNewMethod(row.reply);
        EXPECT_EQ(hmUidsOf(*source->identifierGraph()), row.expected);
        for (const QString &hmUid : row.expected) {
            if (hmUid.startsWith(u'd')) {
                EXPECT_EQ(source->identifierGraph()->nativeIdForHarrowmereUid(hmUid), QStringLiteral("mac-t") + hmUid.mid(1));
            }
        }
    }
}

// Temporary ids of adds whose answer never came are not the device's: they are left out of the ids
// compared with the device's id list, and make the next list read everything.
TEST(HMData, UnconfirmedAddsAreNotDeviceIds)
{
    HMData source;
    auto graph = std::make_shared<HMIdentifierGraph>();
    QVariantMap pending = entry(QStringLiteral("tmp-1"), QStringLiteral("mac-1"));
    HMData::markUnconfirmed(pending);
    graph->setIdentifierDictionaries({entry(QStringLiteral("d1"), QStringLiteral("mac-0")), pending});
    source.setIdentifierGraph(graph);
    EXPECT_EQ(source.deviceConfirmedHmUidsMissingFrom({}), QStringList({QStringLiteral("d1")}));
    EXPECT_EQ(source.setOfHmUids().size(), 2);
    EXPECT_TRUE(source.hasUnconfirmedRecords());
    source.setRecordsAddedToDevice({QStringLiteral("tmp-1")});
    source.updateUidToDeviceIdsUsingNewMethod({{QStringLiteral("tmp-1"), QStringLiteral("d2")}});
    EXPECT_FALSE(source.hasUnconfirmedRecords());
    EXPECT_EQ(source.deviceConfirmedHmUidsMissingFrom({}), QStringList({QStringLiteral("d1"), QStringLiteral("d2")}));
    EXPECT_EQ(source.deviceConfirmedHmUidsMissingFrom({QStringLiteral("d2"), QStringLiteral("x")}),
              QStringList({QStringLiteral("d1")}));
}

// A data source's own mark of a record it created from the device ("isNewRecord" "1" on reminders) is
// no unconfirmed add: such an entry is the device's, so its vanishing from the id list is a deletion,
// and it makes no later list read everything again.
TEST(HMData, DataSourceNewRecordMarksAreNotUnconfirmedAdds)
{
    HMData source;
    auto graph = std::make_shared<HMIdentifierGraph>();
    QVariantMap created = entry(QStringLiteral("d1"), QStringLiteral("mac-1"));
    created.insert(QStringLiteral("isNewRecord"), QStringLiteral("1"));
    graph->setIdentifierDictionaries({created});
    source.setIdentifierGraph(graph);
    EXPECT_FALSE(HMData::isUnconfirmed(created));
    EXPECT_FALSE(source.hasUnconfirmedRecords());
    EXPECT_EQ(source.deviceConfirmedHmUidsMissingFrom({}), QStringList({QStringLiteral("d1")}));
    QVariantMap pending = created;
    HMData::markUnconfirmed(pending);
    HMData::markConfirmed(pending);
    EXPECT_EQ(pending, created) << "confirming an add took the data source's own key";
}

TEST(HMData, KnowsTheDeviceIdsOfItsGraph)
{
    HMData source;
    EXPECT_TRUE(source.setOfHmUids().isEmpty());
    auto graph = std::make_shared<HMIdentifierGraph>();
    graph->appendDictionary(entry(QStringLiteral("d1"), QStringLiteral("m1")));
    graph->appendDictionary({{QStringLiteral("nativeId"), QStringLiteral("m2")}});
    graph->appendDictionary(entry(QStringLiteral("d3"), QStringLiteral("m3")));
    source.setIdentifierGraph(graph);
    EXPECT_EQ(source.setOfHmUids(), QSet<QString>({QStringLiteral("d1"), QStringLiteral("d3")}));
    source.clearIdTable();
    EXPECT_TRUE(graph->identifierDictionaries().isEmpty());
}

TEST(HMData, DetailedUpdateResultsDeleteTheRecordsTheDeviceRemoved)
{
    FakeSyncDataSource source(QStringLiteral("HMContactData"));
    source.processDetailedUpdateCommandDictionaries(
        {{{"IdKey", "a"}, {"ResultKey", 0}, {"ActionKey", 2}},
         {{"IdKey", "b"}, {"ResultKey", 1}, {"ActionKey", 2}},
         {{"IdKey", "c"}, {"ResultKey", "0"}, {"ActionKey", "2"}},
         {{"IdKey", "d"}, {"ResultKey", 0}, {"ActionKey", 1}}});
    source.processDetailedUpdateCommandDictionaries({});
    EXPECT_EQ(source.calls(), QStringList({"delete a,c", "delete "}));
}

TEST(HMData, HearsTheCleanUpNoticeWhileItLives)
{
    auto source = std::make_unique<FakeSyncDataSource>(QStringLiteral("HMTaskData"));
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
    EXPECT_EQ(source->calls(), QStringList({"cleanUpAfterSync"}));
    source.reset();
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
}

TEST(HMData, RecordTextHelpers)
{
    EXPECT_EQ(HMData::formattedStringForSync(QStringLiteral("Caf\u00e9 lunch\nat 12:30 \u2013 room #4\t\u0007")),
              QStringLiteral("Caf\u00e9 lunchat 12:30 \u2013 room #4\t"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                    .match(HMData::newUid())
                    .hasMatch());

    QVariantMap record;
    HMData::setValue(QVariant(), QStringLiteral("NOTE"), record);
    HMData::setValue(QStringLiteral("  padded \n"), QStringLiteral("TITLE"), record);
    HMData::setValue(qint64(42), QStringLiteral("INTERVAL"), record);
    HMData::setValue(QStringList({"x"}), QStringLiteral("NSARRAYEXCEPTIONS"), record);
    EXPECT_EQ(record.value(QStringLiteral("NOTE")), QVariant(QString()));
    EXPECT_EQ(record.value(QStringLiteral("TITLE")), QVariant(QStringLiteral("padded")));
    EXPECT_EQ(record.value(QStringLiteral("INTERVAL")), QVariant(QStringLiteral("42")));
    EXPECT_EQ(record.value(QStringLiteral("NSARRAYEXCEPTIONS")), QVariant(QStringList({"x"})));

    EXPECT_EQ(HMData::stringForKey(QStringLiteral("TITLE"), record), QStringLiteral("padded"));
    EXPECT_EQ(HMData::stringForKey(QStringLiteral("MISSING"), record), QString());
    EXPECT_EQ(HMData::stringForKey(QStringLiteral("NUMBER"), {{QStringLiteral("NUMBER"), 7}}), QString());

    EXPECT_EQ(HMData::listFromMultiItemString(QStringLiteral(";a;B;c"), QStringLiteral(";")), QStringList({"a", "B", "c"}));
    EXPECT_EQ(HMData::listFromMultiItemString(QStringLiteral("oneXtwoxthree"), QStringLiteral("x")),
              QStringList({"one", "two", "three"}));
    EXPECT_EQ(HMData::firstItemFromMultiItemString(QStringLiteral("home, work"), QStringLiteral(", ")), QStringLiteral("home"));
    EXPECT_EQ(HMData::firstItemFromMultiItemString(QStringLiteral("a"), QStringLiteral(",")), QString());
}

// A large first sync sends every record as new, one at a time, and settles their answers in batches:
// each add and each answer costs the same however many came before, so the whole run stays linear
// (copying the list per add made 100,000 adds take minutes).
TEST_F(HMDataIds, ManyAddsOneAtATimeStayLinear)
{
    constexpr int kCount = 100000;
    constexpr int kBatch = 500;
    HMData source;
    auto graph = std::make_shared<HMIdentifierGraph>();
    source.setIdentifierGraph(graph);
    timespec start{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (int index = 0; index < kCount; ++index) {
        const QString temporaryId = QStringLiteral("tmp-%1").arg(index);
        graph->appendDictionary(entry(temporaryId, QStringLiteral("mac-%1").arg(index)));
        if (index % 2 == 0)
            source.addRecordAddedToDevice(temporaryId);
        else
            source.addRecordsAddedToDevice({temporaryId});
    }
    for (int first = 0; first < kCount; first += kBatch) {
        QVariantMap answers;
        for (int index = first; index < first + kBatch; ++index)
            answers.insert(QStringLiteral("tmp-%1").arg(index), QStringLiteral("dev-%1").arg(index));
        source.updateUidToDeviceIdsUsingNewMethod(answers);
    }
    timespec end{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    const double seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_LT(seconds, 20.0) << "adding and settling " << kCount << " records took " << seconds << " s of CPU";

    const QStringList added = source.recordsAddedToDevice();
    ASSERT_EQ(added.size(), kCount);
    EXPECT_EQ(added.first(), QStringLiteral("tmp-0"));
    EXPECT_EQ(added.last(), QStringLiteral("tmp-%1").arg(kCount - 1));
    EXPECT_EQ(graph->identifierDictionaries().size(), kCount);
    for (const int index : {0, 1, kBatch, kCount / 2 + 7, kCount - 1}) {
        EXPECT_EQ(graph->nativeIdForHarrowmereUid(QStringLiteral("dev-%1").arg(index)), QStringLiteral("mac-%1").arg(index));
        EXPECT_FALSE(graph->dictionaryForHarrowmereUid(QStringLiteral("tmp-%1").arg(index)));
    }
    EXPECT_FALSE(source.hasUnconfirmedRecords());
}

namespace {

HMSyncRecord newRecord(const QString &temporaryId, const QVariantMap &fields)
{
    HMSyncRecord record;
    record.setHmxUid(temporaryId);
    record.setIsNew(true);
    record.setDictionary(fields);
    return record;
}

// A data source in a whole listing whose graph holds unconfirmed contact adds, each sent with the
// given first and last name.
std::shared_ptr<HMData> sourceWithUnconfirmedContacts(const QList<std::pair<QString, QString>> &names)
{
    auto source = std::make_shared<HMData>();
    auto graph = std::make_shared<HMIdentifierGraph>();
    graph->appendDictionary(entry(QStringLiteral("known"), QStringLiteral("mac-known")));
    source->setIdentifierGraph(graph);
    QList<HMSyncRecord> records;
    for (qsizetype index = 0; index < names.size(); ++index) {
        const QString temporaryId = QStringLiteral("tmp-%1").arg(index);
        graph->appendDictionary(entry(temporaryId, QStringLiteral("mac-%1").arg(index)));
        records.append(newRecord(temporaryId, {{QStringLiteral("NEWFNAME"), names.at(index).first},
                                               {QStringLiteral("NEWLNAME"), names.at(index).second}}));
    }
    source->markAddsUnconfirmed(records, 1);
    source->setIsDeviceReread(true);
    return source;
}

QVariantMap phoneContact(const QString &uid, const QString &first, const QString &last)
{
    return {{QStringLiteral("UID"), uid}, {QStringLiteral("NEWFNAME"), first}, {QStringLiteral("NEWLNAME"), last}};
}

} // namespace

// A device record alike an unconfirmed add in all but one field of its identity waits for the end
// of the listing; there it takes the add's entry only when each is the other's one candidate. An
// exact match read later takes its entry first; records alike in no other field are applied at once.
TEST(HMData, EditedCopiesOfUnconfirmedAddsAreSettledOnceEveryPageIsRead)
{
    const std::shared_ptr<HMData> source =
        sourceWithUnconfirmedContacts({{QStringLiteral("Ann"), QStringLiteral("Lee")},
                                       {QStringLiteral("Bob"), QStringLiteral("Ray")},
                                       {QStringLiteral("Cy"), QStringLiteral("Fox")},
                                       {QStringLiteral("Cy"), QStringLiteral("Dunn")}});
    const std::shared_ptr<HMIdentifierGraph> graph = source->identifierGraph();
    // Ann's copy renamed; a new Bob listed before Bob's unchanged copy; a renamed Cy, who could be
    // either of two adds; a stranger; a record the graph knows.
    EXPECT_TRUE(source->defersLooseMatch(
        phoneContact(QStringLiteral("p1"), QStringLiteral("Ann"), QStringLiteral("Lee-Wu")), 1, 1));
    EXPECT_TRUE(source->defersLooseMatch(
        phoneContact(QStringLiteral("p2"), QStringLiteral("Bob"), QStringLiteral("Zed")), 1, 1));
    EXPECT_TRUE(source->defersLooseMatch(
        phoneContact(QStringLiteral("p3"), QStringLiteral("Cy"), QStringLiteral("Moss")), 1, 1));
    EXPECT_FALSE(source->defersLooseMatch(
        phoneContact(QStringLiteral("p4"), QStringLiteral("Dee"), QStringLiteral("Ng")), 1, 1));
    EXPECT_FALSE(source->defersLooseMatch(
        phoneContact(QStringLiteral("known"), QStringLiteral("Ann"), QStringLiteral("X")), 2, 1));
    EXPECT_TRUE(source->adoptUnconfirmedAdd(
        phoneContact(QStringLiteral("p5"), QStringLiteral("Bob"), QStringLiteral("Ray")), 1));

    const QList<HMData::DeferredDeviceRecord> settled = source->settleDeferredDeviceRecords(1, 2);
    ASSERT_EQ(settled.size(), 3);
    EXPECT_EQ(settled.at(0).action, 2) << "Ann's copy is applied as a change of her entry";
    EXPECT_EQ(settled.at(1).action, 1) << "the new Bob stays new";
    EXPECT_EQ(settled.at(2).action, 1) << "a copy that could be either of two adds takes neither";
    EXPECT_EQ(graph->nativeIdForHarrowmereUid(QStringLiteral("p1")), QStringLiteral("mac-0"));
    EXPECT_EQ(graph->nativeIdForHarrowmereUid(QStringLiteral("p5")), QStringLiteral("mac-1"));
    EXPECT_TRUE(graph->nativeIdForHarrowmereUid(QStringLiteral("p2")).isNull());
    EXPECT_TRUE(HMIdentifierGraph::isUnconfirmedAdd(*graph->dictionaryForHarrowmereUid(QStringLiteral("tmp-2"))));
    EXPECT_TRUE(source->settleDeferredDeviceRecords(1, 2).isEmpty()) << "settled once";
}

// A task sent with a title alone leaves nothing to tell its renamed copy by: never kept aside.
TEST(HMData, ARecordWithNothingElseInItsIdentityIsNeverMatchedLoosely)
{
    auto source = std::make_shared<HMData>();
    auto graph = std::make_shared<HMIdentifierGraph>();
    graph->appendDictionary(entry(QStringLiteral("tmp-t"), QStringLiteral("mac-t")));
    source->setIdentifierGraph(graph);
    source->markAddsUnconfirmed(
        {newRecord(QStringLiteral("tmp-t"), {{QStringLiteral("SUBJECT"), QStringLiteral("Buy milk")}})}, 3);
    source->setIsDeviceReread(true);
    EXPECT_FALSE(source->defersLooseMatch(
        {{QStringLiteral("UID"), QStringLiteral("p1")}, {QStringLiteral("SUBJECT"), QStringLiteral("Buy oat milk")}}, 1,
        3));
}
