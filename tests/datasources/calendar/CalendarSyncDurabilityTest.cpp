// The events and reminders a sync writes into the iCalendar folders reach the disk a page at a time,
// before the identifier graph's journal names them: every journal line of a run is appended while
// the folders hold exactly what their last sync to disk held. A sync to disk that fails fails the
// run before the graph names anything, the phone keeps its changes, and the next run brings every
// record across once.
#include "CalendarSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "platform/eventkit/EKEventStore.h"
#include "sync/HMIdentifierGraphJournal.h"

#include <QDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <vector>

using phonepeer::Conduit;

namespace {

constexpr int kEventCount = 24;
constexpr int kTaskCount = 6;

QMap<QString, QString> phoneEvent(int index)
{
    const QDateTime start(QDate(2027, 1, 4).addDays(index), QTime(9, 0), QTimeZone::utc());
    return phoneFields({{"SUBJECT", QStringLiteral("Event %1").arg(index)},
                        {"NOTE", QStringLiteral("note %1").arg(index)},
                        {"TYPE", QStringLiteral("0")},
                        {"GMTSTARTDATE", start.toString(QStringLiteral("yyyyMMdd"))},
                        {"GMTSTARTTIME", start.toString(QStringLiteral("HH:mm:ss"))},
                        {"GMTENDDATE", start.toString(QStringLiteral("yyyyMMdd"))},
                        {"GMTENDTIME", start.addSecs(3600).toString(QStringLiteral("HH:mm:ss"))}});
}

QMap<QString, QString> phoneTask(int index)
{
    return phoneFields({{"SUBJECT", QStringLiteral("Task %1").arg(index)},
                        {"NOTE", QString()},
                        {"DUEDATE", QStringLiteral("202702%1").arg(index + 1, 2, 10, QLatin1Char('0'))},
                        {"HASDUEDATE", QStringLiteral("1")},
                        {"COMPLETE", QStringLiteral("0")}});
}

// The item files of both folders with their sizes and change times: what a sync to disk covers.
QStringList folderState(const CalendarSyncRun &run)
{
    QStringList state;
    for (const QString &identifier : {QStringLiteral("work"), QStringLiteral("todo")}) {
        const QFileInfoList files =
            QDir(run.calendarFolder(identifier)).entryInfoList({QStringLiteral("*.ics")}, QDir::Files, QDir::Name);
        for (const QFileInfo &file : files)
            state.append(QStringLiteral("%1/%2 %3 %4")
                             .arg(identifier, file.fileName())
                             .arg(file.size())
                             .arg(file.metadataChangeTime().toMSecsSinceEpoch()));
    }
    return state;
}

// Records the folders at each sync to disk and checks each journal line against the last of them.
class DurabilityOrder final
{
public:
    explicit DurabilityOrder(const CalendarSyncRun &run) : m_run(run), m_synced(folderState(run))
    {
        platform::EKEventStore::setDiskSyncHook([this](const QStringList &) {
            m_synced = folderState(m_run);
            ++m_syncs;
            return platform::success();
        });
        HMIdentifierGraphJournal::setStepHook([this](HMIdentifierGraphJournal::Step step) {
            if (step != HMIdentifierGraphJournal::Step::JournalAppended)
                return;
            ++m_lines;
            const QStringList now = folderState(m_run);
            if (now != m_synced)
                m_unsyncedAtLine.append(QStringLiteral("line %1: %2 files, %3 at the last sync")
                                            .arg(m_lines)
                                            .arg(now.size())
                                            .arg(m_synced.size()));
        });
    }
    ~DurabilityOrder()
    {
        platform::EKEventStore::setDiskSyncHook(nullptr);
        HMIdentifierGraphJournal::setStepHook(nullptr);
    }
    DurabilityOrder(const DurabilityOrder &) = delete;
    DurabilityOrder &operator=(const DurabilityOrder &) = delete;

    int syncs() const { return m_syncs; }
    int lines() const { return m_lines; }
    QStringList unsyncedAtLine() const { return m_unsyncedAtLine; }

private:
    const CalendarSyncRun &m_run;
    QStringList m_synced;
    int m_syncs = 0;
    int m_lines = 0;
    QStringList m_unsyncedAtLine;
};

void fillPhone(phonepeer::PhonePeer &peer, QStringList &eventUids)
{
    for (int index = 0; index < kEventCount; ++index)
        eventUids.append(peer.addPhoneRecord(Conduit::Calendar, phoneEvent(index)));
    for (int index = 0; index < kTaskCount; ++index)
        peer.addPhoneRecord(Conduit::Tasks, phoneTask(index));
}

int fileCount(const CalendarSyncRun &run, const QString &identifier)
{
    return int(run.itemTexts(identifier).size());
}

} // namespace

// New events and tasks, then changed and deleted ones: every journal line finds the folders as they
// were synced, and the syncs come a page at a time, not an item at a time.
TEST(CalendarSyncDurability, TheGraphNamesOnlyWhatTheFoldersSyncedToDisk)
{
    CalendarSyncRun run("Europe/Berlin");
    QStringList eventUids;
    fillPhone(run.peer(), eventUids);
    for (const int round : {1, 2}) {
        SCOPED_TRACE(round);
        if (round == 2) {
            for (int index = 0; index < 4; ++index)
                ASSERT_TRUE(
                    run.peer().updatePhoneRecord(Conduit::Calendar, eventUids[index],
                                                 phoneFields({{"SUBJECT", QStringLiteral("Moved %1").arg(index)}})));
            for (int index = 4; index < 8; ++index)
                ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Calendar, eventUids[index]));
        }
        const DurabilityOrder order(run);
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        EXPECT_TRUE(order.unsyncedAtLine().isEmpty()) << order.unsyncedAtLine().join(u'\n').toStdString();
        EXPECT_GE(order.syncs(), 1);
        EXPECT_GE(order.lines(), order.syncs());
        EXPECT_LT(order.syncs(), 8) << "the folders were synced per item";
    }
    EXPECT_EQ(fileCount(run, QStringLiteral("work")), kEventCount - 4);
    EXPECT_EQ(fileCount(run, QStringLiteral("todo")), kTaskCount);
    EXPECT_EQ(run.calendarGraphChecksums().size(), kEventCount - 4);
}

// The disk refuses the sync: the run fails before the graph names a record, the phone keeps its
// changes, and the next run adopts the files already written instead of doubling them.
TEST(CalendarSyncDurability, AFailedSyncToDiskFailsThePageAndTheNextRunBringsEachRecordOnce)
{
    CalendarSyncRun run("UTC");
    QStringList eventUids;
    fillPhone(run.peer(), eventUids);
    int refusals = 0;
    platform::EKEventStore::setDiskSyncHook([&refusals](const QStringList &) {
        ++refusals;
        return platform::Status(platform::Error(platform::ErrorCode::IoWriteFailed, QStringLiteral("disk on fire")));
    });
    const hmsync::SyncOutcome failed = run.sync();
    platform::EKEventStore::setDiskSyncHook(nullptr);
    EXPECT_TRUE(failed.hasEnded && !failed.isSuccess) << describe(failed).toStdString();
    EXPECT_GE(refusals, 1);
    EXPECT_TRUE(run.peer().hasChanges()) << "the phone was told its changes arrived";
    EXPECT_TRUE(run.calendarGraphChecksums().isEmpty()) << run.calendarGraphChecksums().join(u'\n').toStdString();
    EXPECT_GT(fileCount(run, QStringLiteral("work")), 0) << "the failed page wrote no event to adopt";

    const hmsync::SyncOutcome mended = run.sync();
    ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
    EXPECT_FALSE(run.peer().hasChanges());
    QStringList subjects;
    for (const QString &text : run.itemTexts(QStringLiteral("work")) + run.itemTexts(QStringLiteral("todo")))
        subjects.append(text.section(QStringLiteral("SUMMARY:"), 1).section(u'\n', 0, 0));
    subjects.sort();
    const QStringList distinct(QSet<QString>(subjects.cbegin(), subjects.cend()).values());
    EXPECT_EQ(subjects.size(), kEventCount + kTaskCount) << subjects.join(u',').toStdString();
    EXPECT_EQ(distinct.size(), subjects.size()) << subjects.join(u',').toStdString();
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), kEventCount);
    EXPECT_EQ(run.peer().records(Conduit::Tasks).size(), kTaskCount);
    EXPECT_EQ(run.calendarGraphChecksums().size(), kEventCount);
}
