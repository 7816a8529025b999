// Writes Google did not take, on the whole road (contacts, events and tasks between the simulated
// Outlook and the Google peer, both programs of their own): the connection dropped before or after
// Google did the work at each write of a batch, writes refused, and the run SIGKILLed after such a
// batch was committed. The run ends as not finished and keeps what was done; the next sync sends only
// what Google did not take; afterwards every record is exactly once on each side and a quiet sync
// writes nothing.
#include "GoogleWholeRoad.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

namespace {

// The Outlook id of the record of a kind ("contacts", "events", "tasks") whose field holds the text.
qint64 outlookIdOf(TaskSync &sync, const char *kind, const char *field, const QString &text)
{
    for (const QJsonValue &record : sync.outlook().dump()[QLatin1String(kind)].toArray()) {
        if (record.toObject()[QLatin1String(field)].toString() == text)
            return record.toObject()["id"].toInteger();
    }
    ADD_FAILURE() << "no " << kind << " " << text.toStdString() << " in Outlook";
    return 0;
}

// The requests Google received since the last clear, and those that write (every method but GET, the
// token grant left out).
struct Requests
{
    int all = 0;
    int writes = 0;
};

Requests requestsSinceClear(TaskSync &sync)
{
    Requests counted;
    for (const QJsonValue &request : sync.google().requests()) {
        ++counted.all;
        const bool isToken = request.toObject()["path"].toString().startsWith(QLatin1String("/oauth2/"));
        if (request.toObject()["method"].toString() != QLatin1String("GET") && !isToken) {
            ++counted.writes;
            if (qEnvironmentVariableIsSet("HM_TEST_SHOW_WRITES"))
                std::printf("write: %s %s %s\n", qPrintable(request.toObject()["method"].toString()),
                            qPrintable(request.toObject()["path"].toString()),
                            qPrintable(request.toObject()["body"].toString().left(300)));
        }
    }
    return counted;
}

int spoiledReplies(TaskSync &sync)
{
    return QJsonDocument::fromJson(sync.google().control("/peer/stats")).object()["spoiled"].toInt();
}

// Three records of each kind on each side, synced whole; then on each kind an Outlook record edited,
// one deleted and `added` added, and as many Google ones added (the next run applies them to Outlook).
// The next batch: the contacts' writes first, then the events', then the tasks' (inserts, updates,
// deletions each). Answers the names each side must hold after the next syncs.
QStringList syncedThenChanged(TaskSync &sync, int added)
{
    QStringList expected;
    for (int serial = 0; serial < 3; ++serial)
        expected << addRecordsOnEachSide(sync, serial);
    makeWholeRoadProfile(sync);
    const DriverRun first = sync.sync();
    EXPECT_EQ(first.exitCode, 0) << first.output.right(4000).toStdString();
    sync.outlook().control({{"op", "edit"},
                            {"kind", "contact"},
                            {"id", outlookIdOf(sync, "contacts", "lastName", "Outlook0")},
                            {"fields", QJsonObject{{"jobTitle", "Chief"}}}});
    sync.outlook().control({{"op", "edit"},
                            {"kind", "event"},
                            {"id", outlookIdOf(sync, "events", "subject", "Outlook event 0")},
                            {"fields", QJsonObject{{"location", "Room 4"}}}});
    sync.outlook().control({{"op", "edit"},
                            {"kind", "task"},
                            {"id", outlookIdOf(sync, "tasks", "name", "Outlook task 0")},
                            {"fields", QJsonObject{{"note", "Call first"}}}});
    sync.outlook().control({{"op", "delete"}, {"kind", "contact"}, {"id", outlookIdOf(sync, "contacts", "lastName", "Outlook1")}});
    sync.outlook().control({{"op", "delete"}, {"kind", "event"}, {"id", outlookIdOf(sync, "events", "subject", "Outlook event 1")}});
    sync.outlook().control({{"op", "delete"}, {"kind", "task"}, {"id", outlookIdOf(sync, "tasks", "name", "Outlook task 1")}});
    for (const char *gone : {"contact Outlook1", "event Outlook event 1", "task Outlook task 1"})
        expected.removeOne(QLatin1String(gone));
    for (int serial = 3; serial < 3 + added; ++serial)
        expected << addRecordsOnEachSide(sync, serial);
    return expected;
}

// After the faulty run: the next sync ends whole and writes at most `resent` times; afterwards every
// record is once on each side and a quiet sync reads and writes nothing. Answers the requests of the
// sync after the faulty one.
Requests expectOnlyWhatWasNotTakenGoesAgain(TaskSync &sync, const QStringList &expected, int resent)
{
    sync.google().control("/peer/clear-requests");
    const DriverRun next = sync.sync();
    EXPECT_EQ(next.exitCode, 0) << next.output.right(4000).toStdString();
    const Requests after = requestsSinceClear(sync);
    EXPECT_LE(after.writes, resent) << "the sync after the faulty one wrote more than Google had not taken";
    EXPECT_TRUE(expectEveryNameOnceOnEachSide(sync, expected));
    sync.google().control("/peer/clear-requests");
    const DriverRun quiet = sync.sync();
    EXPECT_EQ(quiet.exitCode, 0) << quiet.output.right(4000).toStdString();
    EXPECT_EQ(requestsSinceClear(sync).writes, 0) << "a quiet sync wrote to Google";
    EXPECT_TRUE(expectEveryNameOnceOnEachSide(sync, expected));
    return after;
}

// The stage a run enters right after the batch of the conduit of a write step has been committed.
const char *stageAfterCommitOfStep(int step)
{
    static const char *const stages[] = {"readGoogleCalendar", "readGoogleTasks", "endSync"};
    return stages[std::min(step / 3, 2)];
}

using DropCase = std::tuple<const char *, int>;

class GoogleDroppedWrite : public ::testing::TestWithParam<DropCase>
{
};

class GoogleDroppedWriteThenKilled : public ::testing::TestWithParam<int>
{
};

} // namespace

// The connection dropped at one write of the batch, before Google did the work or after (its answer
// lost): the run says so and fails, the next sync sends that one record again (or pairs Google's copy),
// and nothing else. HM_DROPPED_WRITE_ADDED scales the records added on each side before the faulty run
// (the batch then holds that many inserts of each kind, plus an update and a deletion).
TEST_P(GoogleDroppedWrite, SendsOnlyWhatGoogleDidNotTakeAgain)
{
    const auto [cut, param] = GetParam();
    // HM_DROPPED_WRITE_AT names another write, for figures with more records added.
    const int step = qEnvironmentVariableIsSet("HM_DROPPED_WRITE_AT") ? qEnvironmentVariableIntValue("HM_DROPPED_WRITE_AT")
                                                                      : param;
    TaskSync sync;
    const int added = std::max(1, qEnvironmentVariableIntValue("HM_DROPPED_WRITE_ADDED"));
    const QStringList expected = syncedThenChanged(sync, added);
    sync.google().control("/peer/switch", {{"kind", QLatin1String(cut)}, {"path", ""}, {"method", "write"},
                                           {"skip", step}, {"times", 1}});
    const int spoiledBefore = spoiledReplies(sync);
    sync.google().control("/peer/clear-requests");
    const DriverRun faulty = sync.sync();
    ASSERT_EQ(spoiledReplies(sync) - spoiledBefore, 1) << "the batch had no write " << step;
    const Requests faultyRequests = requestsSinceClear(sync);
    EXPECT_EQ(faulty.exitCode, 1) << faulty.output.right(4000).toStdString();
    EXPECT_TRUE(faulty.output.contains(QLatin1String("sheet completed: Google did not take 1 ")))
        << faulty.output.right(4000).toStdString();
    const Requests after = expectOnlyWhatWasNotTakenGoesAgain(sync, expected, 1);
    std::printf("%s at write %d: the faulty run made %d requests (%d writes); the next one %d (%d writes)\n", cut, step,
                faultyRequests.all, faultyRequests.writes, after.all, after.writes);
}

INSTANTIATE_TEST_SUITE_P(EveryWrite, GoogleDroppedWrite,
                         ::testing::Combine(::testing::Values("cut-after", "cut-before"), ::testing::Range(0, 9)),
                         [](const ::testing::TestParamInfo<DropCase> &info) {
                             return std::string(std::get<0>(info.param)).replace(3, 1, "") + "_write" +
                                    std::to_string(std::get<1>(info.param));
                         });

// The connection dropped at one write, then the run SIGKILLed as it leaves that conduit (its batch
// committed with the list of what Google did not take): the next sync sends only that record again
// and the later conduits' writes, and every record ends once on each side.
TEST_P(GoogleDroppedWriteThenKilled, LeavesEveryRecordOnceAndSendsOnlyWhatWasNotTaken)
{
    const int step = GetParam();
    TaskSync sync;
    const QStringList expected = syncedThenChanged(sync, 1);
    sync.google().control("/peer/switch",
                          {{"kind", "cut-after"}, {"path", ""}, {"method", "write"}, {"skip", step}, {"times", 1}});
    QThread::msleep(1100);
    const DriverRun killed = sync.run({}, {{"HM_GOOGLE_KILL_AT_STAGE", QLatin1String(stageAfterCommitOfStep(step))}});
    EXPECT_EQ(killed.exitCode, -9) << killed.output.right(4000).toStdString();
    // The conduits after the killed one had not sent their three writes yet.
    expectOnlyWhatWasNotTakenGoesAgain(sync, expected, 1 + 3 * (2 - step / 3));
}

// A contact, an event and a task write, each the second of its conduit's batch.
INSTANTIATE_TEST_SUITE_P(EachConduit, GoogleDroppedWriteThenKilled, ::testing::Values(1, 4, 7),
                         [](const ::testing::TestParamInfo<int> &info) { return "write" + std::to_string(info.param); });

// Google refuses every event write: the contacts and tasks are synced, the run ends as not finished
// with the count of events on the sheet and a non-zero exit, and the next sync sends the three events
// again and nothing else.
TEST(GoogleRefusedWrites, EndTheRunAsNotFinishedAndKeepWhatWasTaken)
{
    TaskSync sync;
    const QStringList expected = syncedThenChanged(sync, 1);
    sync.google().control("/peer/switch", {{"kind", "500"}, {"path", "/calendar/v3/calendars/*"}, {"method", "write"}});
    const DriverRun refused = sync.sync();
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.output.contains(
        QLatin1String("sheet completed: Google did not take 3 event changes; the rest was synced, and these are "
                      "sent again at the next sync.\n")))
        << refused.output.right(4000).toStdString();
    EXPECT_FALSE(refused.output.contains(QLatin1String("sheet completed: Sync Complete")));
    // What Google took stays taken: the contact and task changes are there already.
    const QHash<QString, int> google = googleNames(sync);
    for (const char *name : {"contact Outlook3", "task Outlook task 3"})
        EXPECT_EQ(google.value(QLatin1String(name)), 1) << name;
    EXPECT_EQ(google.value("contact Outlook1"), 0);
    EXPECT_EQ(google.value("event Outlook event 3"), 0);
    EXPECT_EQ(outlookNames(sync).value("event Google event 3"), 1) << "Google's own change was applied";
    sync.google().control("/peer/clear-switches");
    const Requests after = expectOnlyWhatWasNotTakenGoesAgain(sync, expected, 3);
    EXPECT_EQ(after.writes, 3);
}
