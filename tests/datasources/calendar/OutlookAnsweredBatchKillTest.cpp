// Syncs of an Outlook profile killed (SIGKILL) while the phone answers an update batch of new Outlook
// contacts and events: after the phone stored the batch and before every pair of its answer was kept
// (the first pair kept, half the batch's), right after the whole answer, and at random moments of a
// sync that sends new records both ways. The phone lists only what changed since the last sync and
// never the desktop's own writes, so only the identities kept before the batch went tell its copies.
// Two later syncs leave every contact and every event exactly once on the phone and in Outlook, the
// maps naming each phone record once. HM_KILL_TRIALS sets the number of random trials.
#include "OutlookDriverRun.h"
#include "OutlookPeerProcess.h"
#include "PhonePeerProcess.h"
#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

using phonepeer::Conduit;

namespace {

constexpr int kSeeded = 6;
constexpr int kAdded = 16;

QStringList driverArguments(const PhonePeerProcess &phone)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), phone.deviceId(), QStringLiteral("--port"),
            QString::number(phone.port()), QStringLiteral("--contacts-store"), QStringLiteral("outlook"),
            QStringLiteral("--calendar-store"), QStringLiteral("outlook"), QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"), QStringLiteral("--timeout"), QStringLiteral("60")};
}

QJsonObject contact(int index)
{
    return {{"folder", 1}, {"firstName", QStringLiteral("Given%1").arg(index)}, {"lastName", QStringLiteral("Family%1").arg(index)}};
}

QJsonObject event(int index)
{
    const QString day = QStringLiteral("2027-05-%1").arg(index + 1, 2, 10, QLatin1Char('0'));
    return {{"folder", 2}, {"start", day + QStringLiteral("T09:00:00+02:00")}, {"end", day + QStringLiteral("T10:00:00+02:00")},
            {"subject", QStringLiteral("Meeting %1").arg(index)}, {"zone", "Europe/Berlin"}};
}

QJsonObject task(int index)
{
    return {{"folder", 3}, {"name", QStringLiteral("Errand %1").arg(index)}, {"content", QStringLiteral("task note %1").arg(index)},
            {"dueDate", "2030-06-01T00:00:00Z"}};
}

QJsonObject note(int index)
{
    return {{"folder", 4}, {"name", QStringLiteral("Memo %1").arg(index)}, {"content", QStringLiteral("body of memo %1").arg(index)}};
}

// The records of each kind the run syncs: contacts and events, and tasks and notes when asked for.
QList<QJsonObject (*)(int)> kindsOf(bool tasksAndMemos)
{
    QList<QJsonObject (*)(int)> kinds{contact, event};
    if (tasksAndMemos)
        kinds += {task, note};
    return kinds;
}

const char *const kKindNames[] = {"contact", "event", "task", "note"};
const char *const kDumpNames[] = {"contacts", "events", "tasks", "notes"};

QJsonObject seed(bool tasksAndMemos)
{
    const QList<QJsonObject (*)(int)> kinds = kindsOf(tasksAndMemos);
    QJsonObject seeded{{"folders", outlookDefaultFolders()}};
    for (qsizetype kind = 0; kind < kinds.size(); ++kind) {
        QJsonArray records;
        for (int index = 0; index < kSeeded; ++index) {
            QJsonObject record = kinds.at(kind)(index);
            record.insert("id", 100 + index);
            record.insert("created", "2026-01-01T00:00:00Z");
            record.insert("modified", "2026-01-02T00:00:00Z");
            records.append(record);
        }
        seeded.insert(QLatin1String(kDumpNames[kind]), records);
    }
    return seeded;
}

// How many times each value of a field the records hold.
QHash<QString, int> countsOf(const QList<phonepeer::PhoneRecord> &records, const QString &field)
{
    QHash<QString, int> counts;
    for (const phonepeer::PhoneRecord &record : records)
        ++counts[record.fields.value(field)];
    return counts;
}

QHash<QString, int> countsOf(const QJsonArray &records, const char *field)
{
    QHash<QString, int> counts;
    for (const QJsonValue &record : records)
        ++counts[record.toObject().value(QLatin1String(field)).toString()];
    return counts;
}

struct AnsweredBatchRun
{
    explicit AnsweredBatchRun(bool withTasksAndMemos = false) : tasksAndMemos(withTasksAndMemos)
    {
        preparePhoneLinkTests();
        OutlookPeerProcess::Options options;
        options.folder = root.path();
        options.timeZone = QStringLiteral("Europe/Berlin");
        outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(outlook->isReady());
        outlook->seed(seed(tasksAndMemos));
        phone = std::make_unique<PhonePeerProcess>();
        EXPECT_TRUE(phone->isReady());
        environment = {{QStringLiteral("XDG_RUNTIME_DIR"), outlook->runtimeDir()},
                       {QStringLiteral("TZ"), QStringLiteral("Europe/Berlin")},
                       {QStringLiteral("HM_OUTLOOK_NO_PAUSE"), QStringLiteral("1")}};
    }
    ~AnsweredBatchRun() { phone->stop(); }

    QString home() const { return outlook->home(); }
    void start(QProcess &driver, const QMap<QString, QString> &extra = {}) const
    {
        QMap<QString, QString> all = environment;
        all.insert(extra);
        startOutlookDriver(driver, home(), driverArguments(*phone), all);
    }
    bool syncToTheEnd() const { return syncOutlookToTheEnd(home(), driverArguments(*phone), environment, 120000); }
    // New contacts and events in Outlook, and (both ways) one new contact on the phone.
    void addRecords(bool onPhoneToo)
    {
        const QList<QJsonObject (*)(int)> kinds = kindsOf(tasksAndMemos);
        for (int index = kSeeded; index < kSeeded + kAdded; ++index) {
            for (qsizetype kind = 0; kind < kinds.size(); ++kind)
                outlook->control({{"op", "add"}, {"kind", kKindNames[kind]}, {"record", kinds.at(kind)(index)}});
        }
        if (onPhoneToo)
            phone->editContact(QStringLiteral("add"), {}, {{"NEWFNAME", "Pho"}, {"NEWLNAME", "PhoneOnly"}});
    }
    // A clean first sync, new records in Outlook, then a sync killed at the point.
    void killAfterNewRecords(const QString &point)
    {
        ASSERT_TRUE(syncToTheEnd());
        addRecords(false);
        QProcess killed;
        start(killed, {{QStringLiteral("HM_SYNC_KILL_AT"), point}});
        ASSERT_TRUE(killed.waitForFinished(120000));
        ASSERT_EQ(killed.exitStatus(), QProcess::CrashExit) << killed.readAll().toStdString();
    }
    QString mapPath(const QString &name) const { return outlookDataFile(home(), name); }
    // Each phone record of the conduit named once by its map, and no pairs left aside.
    void expectMapNamesEachOnce(Conduit conduit, const QString &name) const
    {
        const QString path = mapPath(name);
        ::expectMapNamesEachOnce(phone->records(conduit), path);
        EXPECT_FALSE(QFile::exists(path + QStringLiteral(".confirmed")));
        EXPECT_FALSE(QFile::exists(path + QStringLiteral(".sent")));
    }
    // After two normal syncs: every record once on each side.
    void expectEveryRecordOnceAfterTwoSyncs(bool phoneContact) const
    {
        ASSERT_TRUE(syncToTheEnd());
        ASSERT_TRUE(syncToTheEnd());
        const QJsonObject state = outlook->dump();
        const QHash<QString, int> phoneContacts = countsOf(phone->records(Conduit::Contacts), QStringLiteral("NEWLNAME"));
        const QHash<QString, int> outlookContacts = countsOf(state.value("contacts").toArray(), "lastName");
        const QHash<QString, int> phoneEvents = countsOf(phone->records(Conduit::Calendar), QStringLiteral("SUBJECT"));
        const QHash<QString, int> outlookEvents = countsOf(state.value("events").toArray(), "subject");
        const int contacts = kSeeded + kAdded + (phoneContact ? 1 : 0);
        expectEachNameOnce(phoneContacts, contacts, "phone contacts");
        expectEachNameOnce(outlookContacts, contacts, "Outlook contacts");
        expectEachNameOnce(phoneEvents, kSeeded + kAdded, "phone events");
        expectEachNameOnce(outlookEvents, kSeeded + kAdded, "Outlook events");
        expectMapNamesEachOnce(Conduit::Contacts, QStringLiteral("contacts-outlook.plist"));
        expectMapNamesEachOnce(Conduit::Calendar, QStringLiteral("calendar-outlook.plist"));
        if (tasksAndMemos)
            expectTasksAndMemosOnce(state);
    }
    void expectTasksAndMemosOnce(const QJsonObject &state) const
    {
        QHash<QString, int> phoneMemos;
        for (const phonepeer::PhoneRecord &record : phone->records(Conduit::Memos))
            ++phoneMemos[record.fields.value(QStringLiteral("NOTE")).section(u'\n', 0, 0)];
        expectEachNameOnce(countsOf(phone->records(Conduit::Tasks), QStringLiteral("SUBJECT")), kSeeded + kAdded, "phone tasks");
        expectEachNameOnce(countsOf(state.value("tasks").toArray(), "name"), kSeeded + kAdded, "Outlook tasks");
        expectEachNameOnce(phoneMemos, kSeeded + kAdded, "phone memos");
        expectEachNameOnce(countsOf(state.value("notes").toArray(), "name"), kSeeded + kAdded, "Outlook notes");
        expectMapNamesEachOnce(Conduit::Tasks, QStringLiteral("tasks-outlook.plist"));
        expectMapNamesEachOnce(Conduit::Memos, QStringLiteral("memos-outlook.plist"));
    }

    bool tasksAndMemos = false;
    QTemporaryDir root;
    std::unique_ptr<OutlookPeerProcess> outlook;
    std::unique_ptr<PhonePeerProcess> phone;
    QMap<QString, QString> environment;
};

int randomTrials()
{
    const int fromEnvironment = qEnvironmentVariableIntValue("HM_KILL_TRIALS");
    return fromEnvironment > 0 ? fromEnvironment : 4;
}

} // namespace

// Killed while the phone's answer to the batch of new contacts, then of new events, is being kept:
// after its first pair, after half of them, and once the whole answer was read.
TEST(OutlookAnsweredBatchKill, TheRecordsOfABatchThePhoneStoredAreNotSentAgain)
{
    const QString half = QString::number(kAdded / 2);
    for (const QString &point : {QStringLiteral("outlook-confirmed:1"), QStringLiteral("outlook-confirmed:") + half,
                                 QStringLiteral("update-answered:1"), QStringLiteral("outlook-events-confirmed:1"),
                                 QStringLiteral("outlook-events-confirmed:") + half, QStringLiteral("update-answered:2")}) {
        SCOPED_TRACE(point.toStdString());
        AnsweredBatchRun run;
        run.killAfterNewRecords(point);
        ASSERT_FALSE(HasFatalFailure());
        run.expectEveryRecordOnceAfterTwoSyncs(false);
    }
}

// Killed at random moments of a sync that sends new Outlook contacts and events to the phone and a new
// phone contact to Outlook; the moments spread over the length of such a sync run to its end.
TEST(OutlookAnsweredBatchKill, KilledAtRandomMomentsEveryRecordStaysOnceOnEachSide)
{
    const quint32 seedValue = QRandomGenerator::global()->generate();
    SCOPED_TRACE("seed " + std::to_string(seedValue));
    QRandomGenerator random(seedValue);
    qint64 syncMs = 0;
    {
        AnsweredBatchRun timing;
        ASSERT_TRUE(timing.syncToTheEnd());
        timing.addRecords(true);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(timing.syncToTheEnd());
        syncMs = clock.elapsed();
    }
    for (int trial = 0; trial < randomTrials(); ++trial) {
        const qint64 delayMs = qint64(random.bounded(quint32(syncMs + 1)));
        SCOPED_TRACE("killed after " + std::to_string(delayMs) + " ms of " + std::to_string(syncMs));
        AnsweredBatchRun run;
        ASSERT_TRUE(run.syncToTheEnd());
        run.addRecords(true);
        QProcess killed;
        run.start(killed);
        ASSERT_TRUE(killed.waitForStarted());
        if (!killed.waitForFinished(int(delayMs))) {
            killed.kill();
            ASSERT_TRUE(killed.waitForFinished(120000));
        }
        run.expectEveryRecordOnceAfterTwoSyncs(true);
    }
}

namespace {

// The Outlook record of the dump whose field has the value; empty when none.
QJsonObject outlookRecord(const QJsonArray &records, const char *field, const QString &value)
{
    for (const QJsonValue &record : records) {
        if (record.toObject().value(QLatin1String(field)).toString() == value)
            return record.toObject();
    }
    return {};
}

} // namespace

// Killed while the phone's answer to a batch of new records is being kept, then the user edits some of
// the phone's copies (a contact's given name, an event's note) before the next sync: each edited copy
// is taken as the record it was sent from, not written to Outlook as new nor sent again; the edits
// reach Outlook.
TEST(OutlookAnsweredBatchKill, APhoneCopyEditedBeforeTheNextSyncIsTakenAsItsRecord)
{
    const QList<int> edited{kSeeded + kAdded - 3, kSeeded + kAdded - 2, kSeeded + kAdded - 1};
    for (const QString &point : {QStringLiteral("outlook-confirmed:1"), QStringLiteral("outlook-events-confirmed:1")}) {
        SCOPED_TRACE(point.toStdString());
        AnsweredBatchRun run;
        run.killAfterNewRecords(point);
        ASSERT_FALSE(HasFatalFailure());
        const bool eventsSent = point.contains(QLatin1String("events"));
        for (const int index : edited) {
            // The phone's edit gives the whole record, with the one field changed.
            for (phonepeer::PhoneRecord record : run.phone->records(Conduit::Contacts)) {
                if (record.fields.value(QStringLiteral("NEWLNAME")) != QStringLiteral("Family%1").arg(index))
                    continue;
                record.fields.insert(QStringLiteral("NEWFNAME"), QStringLiteral("Edited%1").arg(index));
                run.phone->editContact(QStringLiteral("update"), record.uid, record.fields);
            }
            for (phonepeer::PhoneRecord record : run.phone->records(Conduit::Calendar)) {
                if (record.fields.value(QStringLiteral("SUBJECT")) != QStringLiteral("Meeting %1").arg(index))
                    continue;
                record.fields.insert(QStringLiteral("NOTE"), QStringLiteral("Bring slides %1").arg(index));
                run.phone->editRecord(Conduit::Calendar, QStringLiteral("update"), record.uid, record.fields);
            }
        }
        run.expectEveryRecordOnceAfterTwoSyncs(false);
        const QJsonObject state = run.outlook->dump();
        for (const int index : edited) {
            const QString family = QStringLiteral("Family%1").arg(index);
            EXPECT_EQ(outlookRecord(state.value("contacts").toArray(), "lastName", family).value("firstName").toString(),
                      QStringLiteral("Edited%1").arg(index)) << family.toStdString();
            if (!eventsSent)
                continue;
            // The phone keeps its edit, and it reaches Outlook's copy.
            bool kept = false;
            for (const phonepeer::PhoneRecord &record : run.phone->records(Conduit::Calendar))
                kept = kept || record.fields.value(QStringLiteral("NOTE")) == QStringLiteral("Bring slides %1").arg(index);
            EXPECT_TRUE(kept) << index;
            const QString subject = QStringLiteral("Meeting %1").arg(index);
            EXPECT_EQ(outlookRecord(state.value("events").toArray(), "subject", subject).value("note").toString(),
                      QStringLiteral("Bring slides %1").arg(index)) << subject.toStdString();
        }
    }
}

// The same for tasks and memos: the phone's copy of a task gets another note or another title, a memo
// another body or another name (the phone gives a memo as its name on the first line, then the body).
// Each edited copy is taken as the Outlook record it was sent from, and the edit reaches Outlook.
TEST(OutlookAnsweredBatchKill, APhoneTaskOrMemoEditedBeforeTheNextSyncIsTakenAsItsRecord)
{
    const QList<int> edited{kSeeded + kAdded - 3, kSeeded + kAdded - 2, kSeeded + kAdded - 1};
    const int renamed = kSeeded + kAdded - 2;
    const auto taskName = [renamed](int index) {
        return (index == renamed ? QStringLiteral("Renamed errand %1") : QStringLiteral("Errand %1")).arg(index);
    };
    const auto taskNote = [renamed](int index) {
        return (index == renamed ? QStringLiteral("task note %1") : QStringLiteral("edited task note %1")).arg(index);
    };
    const auto memoText = [renamed](int index) {
        return (index == renamed ? QStringLiteral("Renamed memo %1\nbody of memo %1") : QStringLiteral("Memo %1\nedited body %1"))
            .arg(index);
    };
    for (const QString &point : {QStringLiteral("outlook-tasks-confirmed:1"), QStringLiteral("outlook-memos-confirmed:1")}) {
        SCOPED_TRACE(point.toStdString());
        AnsweredBatchRun run(true);
        run.killAfterNewRecords(point);
        ASSERT_FALSE(HasFatalFailure());
        const bool memosSent = point.contains(QLatin1String("memos"));
        for (const int index : edited) {
            for (phonepeer::PhoneRecord record : run.phone->records(Conduit::Tasks)) {
                if (record.fields.value(QStringLiteral("SUBJECT")) != QStringLiteral("Errand %1").arg(index))
                    continue;
                record.fields.insert(QStringLiteral("SUBJECT"), taskName(index));
                record.fields.insert(QStringLiteral("NOTE"), taskNote(index));
                run.phone->editRecord(Conduit::Tasks, QStringLiteral("update"), record.uid, record.fields);
            }
            for (phonepeer::PhoneRecord record : run.phone->records(Conduit::Memos)) {
                if (record.fields.value(QStringLiteral("NOTE")).section(u'\n', 0, 0) != QStringLiteral("Memo %1").arg(index))
                    continue;
                record.fields.insert(QStringLiteral("NOTE"), memoText(index));
                run.phone->editRecord(Conduit::Memos, QStringLiteral("update"), record.uid, record.fields);
            }
        }
        run.expectEveryRecordOnceAfterTwoSyncs(false);
        const QJsonObject state = run.outlook->dump();
        for (const int index : edited) {
            const QJsonObject task = outlookRecord(state.value("tasks").toArray(), "name", taskName(index));
            EXPECT_EQ(task.value("content").toString(), taskNote(index)) << index;
            if (!memosSent)
                continue;
            // A phone memo's update leaves the Outlook note's name; its content is the phone's text.
            bool arrived = false;
            for (const QJsonValue &note : state.value("notes").toArray())
                arrived = arrived || note.toObject().value("content").toString() == memoText(index);
            EXPECT_TRUE(arrived) << memoText(index).toStdString();
        }
    }
}
