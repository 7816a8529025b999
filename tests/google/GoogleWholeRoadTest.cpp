// The whole Google road, all three conduits (contacts, events, tasks) between the simulated Outlook and
// the Google peer, both programs of their own: first syncs killed as they enter each stage, and runs
// killed, cut, refused and left by a dying Google at random. After later clean syncs every record is
// exactly once on each side, and the log folder holds no token.
#include "GoogleWholeRoad.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

class GoogleWholeRoadKilledAtStage : public ::testing::TestWithParam<const char *>
{
};

// The whole road, all three conduits: the run SIGKILLed as it enters a stage of its first sync; after
// two normal syncs every contact, event and task is exactly once on each side.
TEST_P(GoogleWholeRoadKilledAtStage, LeavesEveryRecordOnceOnEachSide)
{
    TaskSync sync;
    QStringList expected;
    for (int index = 0; index < 3; ++index)
        expected << addRecordsOnEachSide(sync, index);
    makeWholeRoadProfile(sync);
    QThread::msleep(1100);
    const DriverRun killed = sync.run({}, {{"HM_GOOGLE_KILL_AT_STAGE", QString::fromLatin1(GetParam())}});
    EXPECT_EQ(killed.exitCode, -9) << killed.output.toStdString();
    const DriverRun second = sync.sync();
    ASSERT_EQ(second.exitCode, 0) << second.output.toStdString();
    const DriverRun third = sync.sync();
    ASSERT_EQ(third.exitCode, 0) << third.output.toStdString();
    expectEveryNameOnceOnEachSide(sync, expected);
}

// Every stage boundary, from the tokens to the end of the sync.
INSTANTIATE_TEST_SUITE_P(Stages, GoogleWholeRoadKilledAtStage,
                         ::testing::Values("retrieveTokens", "purge", "readGoogleContacts", "readGoogleContactPhotos",
                                           "readOutlookContacts", "readGoogleCalendar", "readOutlookCalendar",
                                           "readGoogleTasks", "readOutlookTasks", "endSync"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

namespace {

// How the runs of a random trial go wrong.
enum class Fault { KillDriver, Refusals, KillGoogle };

std::string faultName(const ::testing::TestParamInfo<Fault> &info)
{
    switch (info.param) {
    case Fault::KillDriver:
        return "DriverKilled";
    case Fault::Refusals:
        return "CutOrRefused";
    case Fault::KillGoogle:
        return "GoogleKilled";
    }
    return {};
}

// Fault names in test listings, rather than their bytes.
void PrintTo(Fault fault, std::ostream *out)
{
    *out << faultName({fault, 0});
}

int environmentNumber(const char *name, int otherwise)
{
    return qEnvironmentVariableIntValue(name) > 0 ? qEnvironmentVariableIntValue(name) : otherwise;
}

// A random whole-road trial: its seed (HM_WHOLE_ROAD_SEED replays one), the records of each kind each way
// of the first sync (HM_WHOLE_ROAD_RECORDS, a handful in the suite) and the faulty runs
// (HM_WHOLE_ROAD_ROUNDS, each after a tenth as many new records); what it did.
class RandomRoad
{
public:
    explicit RandomRoad(Fault fault)
        : fault(fault), records(environmentNumber("HM_WHOLE_ROAD_RECORDS", 6)),
          rounds(environmentNumber("HM_WHOLE_ROAD_ROUNDS", 2)),
          seed(qEnvironmentVariableIsSet("HM_WHOLE_ROAD_SEED") ? qEnvironmentVariable("HM_WHOLE_ROAD_SEED").toUInt()
                                                               : QRandomGenerator::global()->generate()),
          random(seed)
    {
        std::printf(
            "whole road: seed %u (HM_WHOLE_ROAD_SEED replays it), %d records of each kind each way, %d rounds\n", seed,
            records, rounds);
        // The driver's own limit grows with the records; a first sync of 1,000 each way takes about a minute.
        sync.timeLimitSeconds = 200 + records;
    }

    // Adds `count` records of each kind on each side.
    void addRecords(int count)
    {
        for (int index = 0; index < count; ++index)
            expected << addRecordsOnEachSide(sync, serial++);
        addedSinceRun += count;
    }

    // One run that goes wrong; answers what happened, for the trial's log.
    QString runWithFault()
    {
        QThread::msleep(1100); // Outlook's dates are whole seconds
        // A run's Google requests: about one for each record sent, and a dozen listings.
        expectedRequests = 3 * addedSinceRun + 12;
        addedSinceRun = 0;
        requestsBefore = statsValue("requests");
        if (fault == Fault::Refusals)
            addRefusals();
        QProcess driver;
        QElapsedTimer took;
        took.start();
        sync.start(driver, {}, {{"HM_SYNC_LOG_FILES", "1"}});
        const QString done = fault == Fault::Refusals ? finishRefused(driver) : stopAtRandom(driver);
        return done + QStringLiteral(", %1 ms").arg(took.elapsed());
    }

    const Fault fault;
    const int records;
    const int rounds;
    const quint32 seed;
    QRandomGenerator random;
    TaskSync sync;
    QStringList expected;
    int kills = 0; // driver runs, or Google under them, SIGKILLed
    int cuts = 0;  // replies cut or refused

private:
    int statsValue(const char *name)
    {
        return QJsonDocument::fromJson(sync.google().control("/peer/stats")).object()[name].toInt();
    }
    // Cut connections (before or after the work) and refusals on every Google path, a few a run.
    void addRefusals()
    {
        // Refused writes are sent again by later runs and retried replies ask again: a run makes more
        // requests than the estimate, so the chance stays small.
        const double chance = std::min(0.1, 4.0 / expectedRequests);
        const QStringList kinds{"cut-before", "cut-after", "500", "403", "429", "401"};
        spoiledBefore = statsValue("spoiled");
        bool first = true;
        for (const QString &kind : kinds) {
            QJsonObject change{{"kind", kind}, {"path", ""}, {"chance", chance / double(kinds.size())}};
            if (std::exchange(first, false))
                change.insert("seed", qint64(random.generate()));
            sync.google().control("/peer/switch", change);
        }
    }
    QString finishRefused(QProcess &driver)
    {
        const GoogleDriverRun run = finishGoogleDriver(driver, sync.timeLimitSeconds);
        EXPECT_FALSE(run.crashed()) << run.output.right(4000).toStdString();
        EXPECT_NE(run.exitCode, -1) << "the run did not end";
        const int spoiled = statsValue("spoiled") - spoiledBefore;
        cuts += spoiled;
        sync.google().control("/peer/clear-switches");
        return QStringLiteral("%1 of %2 replies cut or refused, exit %3")
            .arg(spoiled)
            .arg(statsValue("requests") - requestsBefore)
            .arg(run.exitCode);
    }
    // The driver, or Google under it, SIGKILLed once Google saw a random number of the run's requests or
    // at a random moment of a run's length (Outlook's steps make no Google requests). Google comes back
    // on its port at once, with the state it last wrote.
    QString stopAtRandom(QProcess &driver)
    {
        const bool byRequests = msPerRequest <= 0 || random.bounded(2) == 0;
        const int target = 1 + int(random.bounded(expectedRequests));
        const qint64 delay = byRequests ? 0 : qint64(random.bounded(std::max(1.0, msPerRequest * expectedRequests)));
        QElapsedTimer waited;
        waited.start();
        while (driver.state() != QProcess::NotRunning &&
               (byRequests ? statsValue("requests") - requestsBefore < target : waited.elapsed() < delay))
            driver.waitForFinished(5);
        const bool running = driver.state() != QProcess::NotRunning;
        if (running && fault == Fault::KillDriver) {
            driver.kill();
        } else if (running) {
            sync.google().kill();
            sync.google().start();
            EXPECT_GT(sync.google().port, 0);
        }
        kills += running ? 1 : 0;
        const GoogleDriverRun run = finishGoogleDriver(driver, sync.timeLimitSeconds);
        EXPECT_NE(run.exitCode, -1) << "the run did not end";
        // Only a killed driver may have crashed.
        if (fault == Fault::KillGoogle || !running) {
            EXPECT_FALSE(run.crashed()) << run.output.right(4000).toStdString();
        }
        // The time a run takes for each request it is expected to make, for the random moments of later
        // runs: from a run that ended, or from a driver killed at a request.
        const bool killedAtRequest = running && fault == Fault::KillDriver && byRequests;
        if (!running || fault == Fault::KillGoogle || killedAtRequest)
            msPerRequest =
                std::max(msPerRequest, double(waited.elapsed()) / (killedAtRequest ? target : expectedRequests));
        const QString when = byRequests ? QStringLiteral("at request %1 of about %2").arg(target).arg(expectedRequests)
                                        : QStringLiteral("after %1 ms").arg(delay);
        return (running ? QStringLiteral("killed ") : QStringLiteral("ended before it, ")) + when +
               QStringLiteral(", exit %1").arg(run.exitCode);
    }

    int serial = 0;
    int addedSinceRun = 0;
    int expectedRequests = 0;
    int spoiledBefore = 0;
    int requestsBefore = 0;
    double msPerRequest = 0;
};

class GoogleWholeRoadAtRandom : public ::testing::TestWithParam<Fault>
{
};

} // namespace

// The whole road at random, contacts, events and tasks all three: a first sync and later ones (each after
// new records on both sides) whose driver is SIGKILLed at a random request or moment, whose replies are
// cut or refused at random on every Google path, or under which Google dies and comes back. After two
// clean syncs every record is exactly once on each side. Every run kept its log files: none holds a
// token or an authorization code. HM_WHOLE_ROAD_RECORDS=1000 makes it the trial of 1,000 records each
// way (a Release build).
TEST_P(GoogleWholeRoadAtRandom, LeavesEveryRecordOnceOnEachSide)
{
    RandomRoad road(GetParam());
    QElapsedTimer took;
    took.start();
    road.addRecords(road.records);
    makeWholeRoadProfile(road.sync);
    std::printf("seeded in %lld ms\n", took.restart());
    for (int round = 0; round < road.rounds; ++round) {
        if (round > 0)
            road.addRecords(std::max(1, road.records / 10));
        const QString what = road.runWithFault();
        std::printf("run %d: %s\n", round + 1, qPrintable(what));
        std::fflush(stdout); // a trial of 1,000 records runs for minutes: its progress shows as it goes
    }
    std::printf("faulty runs took %lld ms: %d kills, %d replies cut or refused\n", took.restart(), road.kills,
                road.cuts);
    for (int clean = 0; clean < 2; ++clean) {
        const DriverRun run = road.sync.sync({{"HM_SYNC_LOG_FILES", "1"}});
        ASSERT_EQ(run.exitCode, 0) << run.output.right(4000).toStdString();
    }
    std::printf("two clean syncs took %lld ms\n", took.restart());
    EXPECT_TRUE(expectEveryNameOnceOnEachSide(road.sync, road.expected)) << "seed " << road.seed;

    QStringList accessTokens;
    for (const QJsonValue &token :
         road.sync.google().dump()["accounts"].toObject()[kEmail].toObject()["accessTokens"].toArray())
        accessTokens << token.toString();
    EXPECT_FALSE(accessTokens.isEmpty());
    expectNoSecretInLogFolder(road.sync.home(), accessTokens);
}

INSTANTIATE_TEST_SUITE_P(Faults, GoogleWholeRoadAtRandom,
                         ::testing::Values(Fault::KillDriver, Fault::Refusals, Fault::KillGoogle), faultName);
