// Kill trials of cloud profiles: a first sync of contacts and events each way (the desktop's go up, the
// cloud's come down) is disrupted - the client SIGKILLed at random and at its graph writes, the peer
// killed while a page or a batch waits, connections cut before and after the peer stored a batch,
// records refused - and then two normal syncs must leave every record exactly once on each side.
// HM_CLOUD_KILL_RECORDS sets how many records each side starts with (default 120).

#include "CloudDriverSupport.h"

#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

int recordCount()
{
    const int count = qEnvironmentVariableIntValue("HM_CLOUD_KILL_RECORDS");
    return count > 0 ? count : 120;
}

QStringList numbered(const QString &pattern, int count)
{
    QStringList names;
    for (int index = 1; index <= count; ++index)
        names << pattern.arg(index);
    return names;
}

QStringList sorted(QStringList names)
{
    names.sort();
    return names;
}

QString datesOf(const QString &output)
{
    QStringList lines;
    for (const QString &line : output.split(u'\n')) {
        if (line.trimmed().startsWith(QLatin1String("last sync,")))
            lines << line.trimmed().section(QStringLiteral(": "), 1);
    }
    return lines.join(u'\n');
}

class CloudKill : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_peer = std::make_unique<PeerProcess>(m_folder.path());
        ASSERT_GT(m_peer->httpsPort, 0);
        const int count = recordCount();
        const DriverRun samples = runDriver(m_desktop, *m_peer,
                                            {QStringLiteral("--sample-records"), QString::number(count), QStringLiteral("--no-sync")});
        ASSERT_EQ(samples.exitCode, 0) << samples.output.toStdString();
        QList<QJsonObject> contacts;
        QList<QJsonObject> events;
        for (int index = 1; index <= count; ++index) {
            contacts << QJsonObject{{"Id", QStringLiteral("web-c%1").arg(index)}, {"First", "Web"},
                                    {"Last", QStringLiteral("Person %1").arg(index)}};
            const QString day = QStringLiteral("2027-01-%1").arg(1 + index % 28, 2, 10, QChar(u'0'));
            events << QJsonObject{{"Id", QStringLiteral("web-e%1").arg(index)}, {"Subject", QStringLiteral("Web meeting %1").arg(index)},
                                  {"StartTimeUTC", day + " 08:00:00"}, {"EndTimeUTC", day + " 08:30:00"},
                                  {"StartTime", day + " 08:00:00"},    {"EndTime", day + " 08:30:00"},
                                  {"Allday", false},                   {"TimeZone", "UTC"}, {"AlarmMins", -1}};
        }
        m_peer->putRecords(QStringLiteral("Contacts"), contacts);
        m_peer->putRecords(QStringLiteral("Calendar"), events);
        m_expectedContacts = sorted(numbered(QStringLiteral("Desk Contact %1"), count) + numbered(QStringLiteral("Web Person %1"), count));
        m_expectedEvents = sorted(numbered(QStringLiteral("Desktop meeting %1"), count) + numbered(QStringLiteral("Web meeting %1"), count));
    }

    // Two normal syncs, then every record exactly once on each side.
    void expectSettled()
    {
        m_peer->control("/peer/clear-switches");
        for (int round = 0; round < 2; ++round) {
            const DriverRun run = runDriver(m_desktop, *m_peer);
            ASSERT_EQ(run.exitCode, 0) << "round " << round << ": " << run.output.toStdString();
        }
        const QStringList contacts = m_desktop.contactNames();
        const QStringList events = m_desktop.eventNames();
        EXPECT_EQ(duplicatesIn(contacts), QStringList());
        EXPECT_EQ(duplicatesIn(events), QStringList());
        EXPECT_EQ(contacts, m_expectedContacts);
        EXPECT_EQ(events, m_expectedEvents);
        EXPECT_EQ(m_peer->liveNames(QStringLiteral("Contacts")), m_expectedContacts);
        EXPECT_EQ(m_peer->liveNames(QStringLiteral("Calendar")), m_expectedEvents);
        // No record went up twice under another id, even one deleted since.
        EXPECT_EQ(m_peer->records(QStringLiteral("Contacts")).size(), m_expectedContacts.size());
        EXPECT_EQ(m_peer->records(QStringLiteral("Calendar")).size(), m_expectedEvents.size());
    }

    // A run that a switch spoils ends in error and leaves the last-sync dates where they were.
    void expectFailedRunKeepsDates(const QString &datesBefore)
    {
        const DriverRun run = runDriver(m_desktop, *m_peer);
        EXPECT_NE(run.exitCode, 0) << run.output.toStdString();
        EXPECT_EQ(datesOf(run.output), datesBefore) << run.output.toStdString();
        m_peer->control("/peer/clear-switches");
    }

    QTemporaryDir m_folder;
    std::unique_ptr<PeerProcess> m_peer;
    Desktop m_desktop;
    QStringList m_expectedContacts;
    QStringList m_expectedEvents;
};

} // namespace

TEST_F(CloudKill, ClientKilledAtRandomAndAtItsGraphWrites)
{
    const quint32 seed = QRandomGenerator::global()->generate();
    SCOPED_TRACE(seed);
    QRandomGenerator random(seed);
    // The kills at the graph writes come first, while most records still wait to go: a run killed at
    // random late enough may finish the sync and leave too few writes to reach the later steps.
    for (const int step : {1, 4, 9, 20}) {
        const DriverRun run = runDriver(m_desktop, *m_peer, {}, std::nullopt,
                                        {QStringLiteral("HM_SYNC_KILL_AT=journal-append:%1").arg(step)});
        EXPECT_NE(run.exitCode, 0) << run.output.toStdString();
    }
    for (int trial = 0; trial < 4; ++trial) {
        const auto delay = std::chrono::milliseconds(random.bounded(100, 2500));
        runDriver(m_desktop, *m_peer, {}, delay);
    }
    expectSettled();
}

TEST_F(CloudKill, PeerKilledWhileAPageAndABatchWait)
{
    for (const char *path : {"/v1/getdata.php", "/v1/update.php"}) {
        SCOPED_TRACE(path);
        m_peer->addSwitch(QStringLiteral("stall"), QString::fromLatin1(path));
        const std::unique_ptr<QProcess> driver = startDriver(m_desktop, *m_peer);
        // Wait until the stalled request is in.
        for (int wait = 0; wait < 200 && !m_peer->requestPaths().contains(QString::fromLatin1(path)); ++wait)
            QThread::msleep(50);
        m_peer->kill();
        const DriverRun run = finishDriver(*driver, 120s);
        EXPECT_NE(run.exitCode, 0) << run.output.toStdString();
        ASSERT_TRUE(m_peer->restart());
    }
    expectSettled();
}

TEST_F(CloudKill, ConnectionsCutBeforeAndAfterThePeerStoredABatch)
{
    const std::pair<const char *, const char *> cuts[] = {{"cut-after", "/v1/update.php"},
                                                          {"cut-before", "/v1/update.php"},
                                                          {"cut-after", "/v1/getdata.php"},
                                                          {"cut-before", "/v1/getdata.php"}};
    for (const auto &[kind, path] : cuts) {
        SCOPED_TRACE(kind);
        SCOPED_TRACE(path);
        m_peer->addSwitch(QString::fromLatin1(kind), QString::fromLatin1(path), 1);
        const DriverRun run = runDriver(m_desktop, *m_peer);
        EXPECT_NE(run.exitCode, 0) << run.output.toStdString();
        EXPECT_EQ(datesOf(run.output), QStringLiteral("\n\n")) << run.output.toStdString();
        m_peer->control("/peer/clear-switches");
    }
    expectSettled();
}

TEST_F(CloudKill, RefusedAndUnansweredRecordsGoAgainAndHoldTheDates)
{
    // A first sync that is cut leaves no date; refusals keep it so.
    const DriverRun cut = runDriver(m_desktop, *m_peer, {}, std::nullopt,
                                    {QStringLiteral("HM_SYNC_KILL_AT=journal-append:2")});
    EXPECT_NE(cut.exitCode, 0);
    m_peer->addSwitch(QStringLiteral("refuse-insert"), {}, 0, 3);
    m_peer->addSwitch(QStringLiteral("bad-update"), {}, 0, 4);
    m_peer->addSwitch(QStringLiteral("omit-records"), {}, 0, 7);
    const DriverRun refused = runDriver(m_desktop, *m_peer);
    EXPECT_NE(refused.exitCode, 0) << refused.output.toStdString();
    EXPECT_TRUE(refused.output.contains(QStringLiteral("they go again at the next sync"))) << refused.output.toStdString();
    EXPECT_EQ(datesOf(refused.output), QStringLiteral("\n\n")) << refused.output.toStdString();
    m_peer->control("/peer/clear-switches");
    expectSettled();

    // After a settled sync a refused run keeps the dates of the last good one.
    const DriverRun good = runDriver(m_desktop, *m_peer);
    ASSERT_EQ(good.exitCode, 0) << good.output.toStdString();
    QThread::msleep(1100);
    const QString edited = m_desktop.contactFile(QStringLiteral("Desk Contact 1"));
    ASSERT_TRUE(replaceLine(edited, "FN:", "FN:Desk Contact 1"));
    ASSERT_TRUE(replaceLine(edited, "REV:", "REV:" + QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1()));
    m_peer->addSwitch(QStringLiteral("bad-update"), {}, 0, 1);
    expectFailedRunKeepsDates(datesOf(good.output));
    expectSettled();
}
