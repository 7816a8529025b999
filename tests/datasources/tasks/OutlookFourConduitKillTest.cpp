// A first two-way sync of all four Outlook conduits (contacts, events, tasks, memos), interrupted at
// a random moment: the driver killed (SIGKILL), the simulated Outlook killed, or the phone's
// connection dropped. Both sides hold records shaped like a user's: titles and names that repeat,
// all-day events and series, tasks with due days, priorities, reminders, completion and Outlook's
// recurring ones, memos with alike first lines, and on the phone a few tasks and memos entered twice
// word for word. Two later syncs leave every record exactly as often on each side as it was made.
// HM_KILL_TRIAL_RECORDS sets the records per conduit on each side (8 by default), HM_KILL_TRIALS the
// trials of each interruption (1 by default).
#include "OutlookDriverRun.h"
#include "OutlookPeerProcess.h"
#include "PhonePeerProcess.h"
#include "PhoneStore.h"
#include "WiFiSyncTestSupport.h"

#include "foundation/GlobalVariables.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>

#include <algorithm>
#include <cstdio>

using phonepeer::Conduit;

namespace {

int recordsPerConduit()
{
    const int fromEnvironment = qEnvironmentVariableIntValue("HM_KILL_TRIAL_RECORDS");
    return fromEnvironment > 0 ? fromEnvironment : 8;
}

int randomTrials()
{
    const int fromEnvironment = qEnvironmentVariableIntValue("HM_KILL_TRIALS");
    return fromEnvironment > 0 ? fromEnvironment : 1;
}

// A whole sync's time limit: 90 s, more for the larger trials. The driver's own limit is the same: a
// sync it cancels for time is no trial.
int syncLimitMs()
{
    return std::max(90000, recordsPerConduit() * 600);
}

QStringList driverArguments(const PhonePeerProcess &phone)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), phone.deviceId(), QStringLiteral("--port"),
            QString::number(phone.port()), QStringLiteral("--contacts-store"), QStringLiteral("outlook"),
            QStringLiteral("--calendar-store"), QStringLiteral("outlook"), QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"), QStringLiteral("--timeout"), QString::number(syncLimitMs() / 1000)};
}

const QStringList kGivenNames{"Anna", "Ben", "Clara", "David", "Eva", "Felix", "Greta", "Hans"};
const QStringList kFamilyNames{"Meyer", "Schmidt", "Smith", "Jones", "Novak", "Rossi", "Weber"};
const QStringList kEventTitles{"Team meeting", "Dentist", "Lunch with Anna", "Review", "Gym", "Piano lesson"};
const QStringList kTaskTitles{"Buy milk", "Call mum", "Pay rent", "Water plants", "Book flights", "Renew passport"};
const QStringList kMemoTitles{"Groceries", "Ideas", "Packing list", "Books to read", "Meeting notes"};

// Every record carries a mark of its own ("#o17" made in Outlook, "#p17" on the phone) in a field both
// sides keep; the rest of its fields repeat as a user's do.
QString mark(char side, int index)
{
    return QStringLiteral("#%1%2").arg(QLatin1Char(side)).arg(index);
}

QString markIn(const QString &text)
{
    static const QRegularExpression marks(QStringLiteral("#[op]\\d+"));
    return marks.match(text).captured();
}

QString contactKey(const QString &family, const QString &given)
{
    return QStringLiteral("contact|") + family + u'|' + markIn(given);
}

QString eventKey(const QString &subject, const QString &place)
{
    return QStringLiteral("event|") + subject + u'|' + markIn(place);
}

QString taskKey(const QString &name, const QString &note)
{
    return QStringLiteral("task|") + name + u'|' + markIn(note);
}

QString memoKey(const QString &text)
{
    return QStringLiteral("memo|") + markIn(text);
}

bool twinOnThePhone(int index)
{
    return index % 25 == 3;
}

QDateTime utc(QDate day, QTime time)
{
    return QDateTime(day, time, QTimeZone::utc());
}

QJsonObject outlookRecord(int id, QJsonObject fields)
{
    fields.insert("id", id);
    fields.insert("created", "2026-01-01T00:00:00Z");
    fields.insert("modified", "2026-01-02T00:00:00Z");
    return fields;
}

QJsonObject outlookEvent(int index)
{
    const QDateTime start = utc(QDate(2027, 5, 1), QTime(9, 0)).addDays(index % 300).addSecs(900 * (index / 300));
    QJsonObject event{{"folder", 2}, {"subject", kEventTitles.at(index % kEventTitles.size())}, {"location", "Hall " + mark('o', index)},
                      {"start", start.toString(Qt::ISODate)}, {"end", start.addSecs(3600).toString(Qt::ISODate)},
                      {"zone", "Europe/Berlin"}};
    if (index % 10 == 4)
        event.insert("rrule", "FREQ=WEEKLY;COUNT=6;INTERVAL=1");
    return event;
}

QJsonObject outlookTask(int index)
{
    const QDateTime due = utc(QDate(2030, 6, 1), QTime(0, 0)).addDays(index % 30);
    const char *const priorities[] = {"high", "normal", "low"};
    QJsonObject task{{"folder", 3}, {"name", kTaskTitles.at(index % kTaskTitles.size())},
                     {"content", QStringLiteral("Step %1\nthen the rest").arg(mark('o', index))},
                     {"dueDate", due.toString(Qt::ISODate)}, {"priority", priorities[index % 3]}};
    if (index % 9 == 2)
        task.insert("reminder", due.addSecs(-15 * 3600).toString(Qt::ISODate));
    if (index % 11 == 5) {
        task.insert("startDate", due.toString(Qt::ISODate));
        task.insert("rrule", "FREQ=WEEKLY;COUNT=4;INTERVAL=1");
    }
    return task;
}

// Outlook's records of every conduit for the trials.
QJsonObject outlookSeed(int count, QHash<QString, int> &expected)
{
    QJsonArray contacts, events, tasks, notes;
    for (int index = 0; index < count; ++index) {
        const QJsonObject contact{{"folder", 1}, {"firstName", kGivenNames.at(index % kGivenNames.size()) + u' ' + mark('o', index)},
                                  {"lastName", kFamilyNames.at(index % kFamilyNames.size())}};
        contacts.append(outlookRecord(100000 + index, contact));
        ++expected[contactKey(contact.value("lastName").toString(), contact.value("firstName").toString())];
        const QJsonObject event = outlookEvent(index);
        events.append(outlookRecord(200000 + index, event));
        ++expected[eventKey(event.value("subject").toString(), event.value("location").toString())];
        const QJsonObject task = outlookTask(index);
        tasks.append(outlookRecord(300000 + index, task));
        ++expected[taskKey(task.value("name").toString(), task.value("content").toString())];
        const QJsonObject note{{"folder", 4}, {"name", kMemoTitles.at(index % kMemoTitles.size())},
                               {"content", QStringLiteral("item %1\nbutter, bread").arg(mark('o', index))}};
        notes.append(outlookRecord(400000 + index, note));
        ++expected[memoKey(note.value("content").toString())];
    }
    return {{"folders", outlookDefaultFolders()}, {"contacts", contacts}, {"events", events}, {"tasks", tasks}, {"notes", notes}};
}

QString phoneDay(const QDateTime &moment)
{
    return moment.toString(QStringLiteral("yyyyMMdd"));
}

// The phone's event `index`: every eighth all-day, every eighth a daily series with an end day.
QMap<QString, QString> phoneEvent(int index)
{
    const QDateTime start = utc(QDate(2027, 8, 2), QTime(7, 0)).addDays(index % 300).addSecs(900 * (index / 300));
    QDateTime end = start.addSecs(3600);
    QMap<QString, QString> fields{{"SUBJECT", kEventTitles.at(index % kEventTitles.size())}, {"LOCATION", "Room " + mark('p', index)},
                                  {"TYPE", "0"}, {"ALARMTIME", "15"}};
    if (index % 8 == 0) {
        fields.insert({{"TYPE", "1"}, {"ALARMTIME", "-1"}});
        end = start;
    } else if (index % 8 == 2) {
        fields.insert({{"REPEAT", "1"}, {"INTERVAL", "1"}, {"REPEATEND", phoneDay(start.addDays(4))}});
    }
    fields.insert({{"GMTSTARTDATE", phoneDay(start)}, {"GMTSTARTTIME", start.toString(QStringLiteral("HH:mm:ss"))},
                   {"GMTENDDATE", phoneDay(end)}, {"GMTENDTIME", end.toString(QStringLiteral("HH:mm:ss"))}});
    return fields;
}

// The phone's task `index`: due days that repeat, every tenth completed, every seventh with a start day
// and a reminder.
QMap<QString, QString> phoneTask(int index)
{
    const QDateTime due = utc(QDate(2030, 7, 1), QTime(0, 0)).addDays(index % 30);
    QMap<QString, QString> fields{{"SUBJECT", kTaskTitles.at(index % kTaskTitles.size())},
                                  {"NOTE", QStringLiteral("Step %1\nsecond line").arg(mark('p', index))},
                                  {"DUEDATE", phoneDay(due)}, {"PRIORITY", QString::number(1 + index % 3)}};
    if (index % 10 == 6)
        fields.insert("PERCENTCOMPLETE", "100");
    if (index % 7 == 1) {
        fields.insert("STARTDATE", phoneDay(due.addDays(-3)));
        fields.insert("ALARMTIME", due.addDays(-1).toString(QStringLiteral("yyyy-MM-dd 08:30:00")));
    }
    return fields;
}

// The phone's data file with its records of every conduit, a few tasks and memos entered twice.
QString writePhoneData(const QString &folder, int count, QHash<QString, int> &expected)
{
    phonepeer::PhoneStore store;
    for (int index = 0; index < count; ++index) {
        const QMap<QString, QString> contact{{"NEWFNAME", kGivenNames.at(index % kGivenNames.size()) + u' ' + mark('p', index)},
                                             {"NEWLNAME", kFamilyNames.at(index % kFamilyNames.size())}};
        store.addRecord(Conduit::Contacts, contact);
        ++expected[contactKey(contact.value("NEWLNAME"), contact.value("NEWFNAME"))];
        const QMap<QString, QString> event = phoneEvent(index);
        store.addRecord(Conduit::Calendar, event);
        ++expected[eventKey(event.value("SUBJECT"), event.value("LOCATION"))];
        const QMap<QString, QString> memo{
            {"NOTE", QStringLiteral("%1\nitem %2\nmilk, eggs").arg(kMemoTitles.at(index % kMemoTitles.size()), mark('p', index))}};
        const QMap<QString, QString> task = phoneTask(index);
        for (int copy = 0; copy < (twinOnThePhone(index) ? 2 : 1); ++copy) {
            store.addRecord(Conduit::Tasks, task);
            ++expected[taskKey(task.value("SUBJECT"), task.value("NOTE"))];
            store.addRecord(Conduit::Memos, memo);
            ++expected[memoKey(memo.value("NOTE"))];
        }
    }
    const QString path = folder + QStringLiteral("/phone.json");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(store.toJson()) > 0);
    return path;
}

// The differences between what each key should count and what it does, at most a few.
std::string differences(const QHash<QString, int> &expected, const QHash<QString, int> &found)
{
    std::string text;
    int shown = 0;
    QSet<QString> keys(expected.keyBegin(), expected.keyEnd());
    keys.unite(QSet<QString>(found.keyBegin(), found.keyEnd()));
    for (const QString &key : std::as_const(keys)) {
        if (expected.value(key) != found.value(key) && shown++ < 12)
            text += key.toStdString() + " made " + std::to_string(expected.value(key)) + ", found " + std::to_string(found.value(key)) + "\n";
    }
    return text;
}

enum class Interruption { DriverKilled, OutlookKilled, PhoneDropped };

// Outlook and the phone with the trials' records, and the driver's environment.
struct FourConduitRun
{
    FourConduitRun()
    {
        preparePhoneLinkTests();
        startOutlook();
        outlook->seed(outlookSeed(recordsPerConduit(), expected));
        phone = std::make_unique<PhonePeerProcess>(writePhoneData(root.path(), recordsPerConduit(), expected));
        EXPECT_TRUE(phone->isReady());
        environment = {{QStringLiteral("XDG_RUNTIME_DIR"), outlook->runtimeDir()}, {QStringLiteral("TZ"), QStringLiteral("Europe/Berlin")},
                       {QStringLiteral("HM_OUTLOOK_NO_PAUSE"), QStringLiteral("1")}};
    }
    ~FourConduitRun() { phone->stop(); }
    // Outlook (again) on the same folder: its store survives.
    void startOutlook()
    {
        OutlookPeerProcess::Options options;
        options.folder = root.path();
        options.timeZone = QStringLiteral("Europe/Berlin");
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat()};
        outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(outlook->isReady());
    }
    QString home() const { return outlook->home(); }
    bool sync() const { return syncOutlookToTheEnd(home(), driverArguments(*phone), environment, syncLimitMs()); }
    // Runs the sync, interrupted after delayMs unless it ended before.
    void interruptedAfter(qint64 delayMs, Interruption interruption)
    {
        QProcess driver;
        startOutlookDriver(driver, home(), driverArguments(*phone), environment);
        ASSERT_TRUE(driver.waitForStarted());
        bool outlookKilled = false;
        if (!driver.waitForFinished(int(delayMs))) {
            if (interruption == Interruption::DriverKilled) {
                driver.kill();
            } else if (interruption == Interruption::OutlookKilled) {
                outlook->process().kill();
                outlookKilled = outlook->process().waitForFinished(5000);
            } else {
                phone->fault({{"fault", delayMs % 2 == 0 ? "drop" : "drop_before"}, {"times", "1"}});
            }
            ASSERT_TRUE(driver.waitForFinished(2 * syncLimitMs()));
        }
        if (outlookKilled)
            startOutlook();
        phone->fault({{"fault", "reset"}});
    }
    // Runs the sync with a kill point; true when the driver was killed there, false when it never got
    // there and ended as usual.
    bool killedAt(const QString &point) const
    {
        QMap<QString, QString> killing = environment;
        killing.insert(QStringLiteral("HM_SYNC_KILL_AT"), point);
        QProcess driver;
        startOutlookDriver(driver, home(), driverArguments(*phone), killing);
        EXPECT_TRUE(driver.waitForFinished(2 * syncLimitMs()));
        if (driver.exitStatus() == QProcess::NormalExit) {
            EXPECT_EQ(driver.exitCode(), 0) << driver.readAll().toStdString();
        }
        return driver.exitStatus() == QProcess::CrashExit;
    }
    // After two more syncs: every record of either side as often on each as it was made.
    void expectEveryRecordOnceAfterTwoSyncs() const
    {
        ASSERT_TRUE(sync());
        ASSERT_TRUE(sync());
        QHash<QString, int> inOutlook;
        const QJsonObject state = outlook->dump();
        for (const QJsonValue &value : state.value("contacts").toArray())
            ++inOutlook[contactKey(value["lastName"].toString(), value["firstName"].toString())];
        for (const QJsonValue &value : state.value("events").toArray())
            ++inOutlook[eventKey(value["subject"].toString(), value["location"].toString())];
        for (const QJsonValue &value : state.value("tasks").toArray())
            ++inOutlook[taskKey(value["name"].toString(), value["content"].toString())];
        for (const QJsonValue &value : state.value("notes").toArray())
            ++inOutlook[memoKey(value["name"].toString() + u'\n' + value["content"].toString())];
        QHash<QString, int> onPhone;
        for (const phonepeer::PhoneRecord &record : phone->records(Conduit::Contacts))
            ++onPhone[contactKey(record.fields.value("NEWLNAME"), record.fields.value("NEWFNAME"))];
        for (const phonepeer::PhoneRecord &record : phone->records(Conduit::Calendar))
            ++onPhone[eventKey(record.fields.value("SUBJECT"), record.fields.value("LOCATION"))];
        for (const phonepeer::PhoneRecord &record : phone->records(Conduit::Tasks))
            ++onPhone[taskKey(record.fields.value("SUBJECT"), record.fields.value("NOTE"))];
        for (const phonepeer::PhoneRecord &record : phone->records(Conduit::Memos))
            ++onPhone[memoKey(record.fields.value("NOTE"))];
        EXPECT_EQ(inOutlook, expected) << "Outlook:\n" << differences(expected, inOutlook);
        EXPECT_EQ(onPhone, expected) << "phone:\n" << differences(expected, onPhone);
        expectMapsNameEachPhoneRecordOnce();
    }
    void expectMapsNameEachPhoneRecordOnce() const
    {
        const std::pair<Conduit, const char *> maps[] = {{Conduit::Contacts, "contacts-outlook.plist"},
                                                         {Conduit::Calendar, "calendar-outlook.plist"},
                                                         {Conduit::Tasks, "tasks-outlook.plist"},
                                                         {Conduit::Memos, "memos-outlook.plist"}};
        for (const auto &[conduit, name] : maps) {
            SCOPED_TRACE(name);
            const QString path = outlookDataFile(home(), QLatin1String(name));
            expectMapNamesEachOnce(phone->records(conduit), path);
            EXPECT_FALSE(QFile::exists(path + QStringLiteral(".confirmed")));
            EXPECT_FALSE(QFile::exists(path + QStringLiteral(".sent")));
        }
    }

    QHash<QString, int> expected;
    QTemporaryDir root;
    std::unique_ptr<OutlookPeerProcess> outlook;
    std::unique_ptr<PhonePeerProcess> phone;
    QMap<QString, QString> environment;
};

// How long an uninterrupted first sync of the trials takes, measured once.
qint64 firstSyncMs()
{
    static const qint64 measured = [] {
        FourConduitRun timing;
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(timing.sync());
        return clock.elapsed();
    }();
    return measured;
}

// The trials of one interruption at random moments of a first sync; the seed is in the trace.
void interruptAtRandomMoments(Interruption interruption)
{
    const quint32 seedValue = QRandomGenerator::global()->generate();
    SCOPED_TRACE("seed " + std::to_string(seedValue));
    QRandomGenerator random(seedValue);
    const qint64 syncMs = firstSyncMs();
    for (int trial = 0; trial < randomTrials(); ++trial) {
        const qint64 delayMs = qint64(random.bounded(quint32(syncMs + 1)));
        SCOPED_TRACE("interrupted after " + std::to_string(delayMs) + " ms of " + std::to_string(syncMs));
        FourConduitRun run;
        run.interruptedAfter(delayMs, interruption);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        run.expectEveryRecordOnceAfterTwoSyncs();
    }
    std::printf("%d trials, %d records of each conduit on each side, an uninterrupted first sync %lld ms\n", randomTrials(),
                recordsPerConduit(), static_cast<long long>(syncMs));
}

// A kill point of the driver drawn at random: a step of one conduit's Outlook path (tasks and memos
// twice as often as contacts and events) at one of its occurrences, or the phone's answer to an update
// batch read before anything of it is kept. A point the run never reaches lets it end as usual.
QString randomKillPoint(QRandomGenerator &random)
{
    static const char *const conduits[] = {"outlook-tasks-", "outlook-memos-", "outlook-tasks-", "outlook-memos-", "outlook-",
                                           "outlook-events-"};
    static const char *const steps[] = {"read", "confirmed", "committed", "written", "paired"};
    if (random.bounded(12) == 0)
        return QStringLiteral("update-answered:%1").arg(1 + random.bounded(4));
    const QString step = QLatin1String(steps[random.bounded(5)]);
    const bool once = step == u"read" || step == u"committed";
    const int occurrence = once ? 1 : 1 + int(random.bounded(quint32(recordsPerConduit() + recordsPerConduit() / 4 + 1)));
    return QLatin1String(conduits[random.bounded(6)]) + step + u':' + QString::number(occurrence);
}

} // namespace

// The driver killed at steps drawn at random: right after Outlook answered a write whose pair is not
// kept yet, after a pair is kept, after a confirmed pair, around the read and the map's commit.
TEST(OutlookFourConduitKill, ADriverKilledAtRandomStepsLosesAndDoublesNoRecord)
{
    const quint32 seedValue = QRandomGenerator::global()->generate();
    SCOPED_TRACE("seed " + std::to_string(seedValue));
    QRandomGenerator random(seedValue);
    int killed = 0;
    for (int trial = 0; trial < randomTrials(); ++trial) {
        const QString point = randomKillPoint(random);
        SCOPED_TRACE(point.toStdString());
        FourConduitRun run;
        const bool wasKilled = run.killedAt(point);
        std::printf("%s: %s\n", qPrintable(point), wasKilled ? "killed" : "not reached");
        killed += wasKilled ? 1 : 0;
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        run.expectEveryRecordOnceAfterTwoSyncs();
    }
    std::printf("%d trials, %d killed at their point, %d records of each conduit on each side\n", randomTrials(), killed,
                recordsPerConduit());
}

TEST(OutlookFourConduitKill, ADriverKilledAtRandomMomentsLosesAndDoublesNoRecord)
{
    interruptAtRandomMoments(Interruption::DriverKilled);
}

TEST(OutlookFourConduitKill, OutlookKilledAtRandomMomentsLosesAndDoublesNoRecord)
{
    interruptAtRandomMoments(Interruption::OutlookKilled);
}

TEST(OutlookFourConduitKill, APhoneConnectionDroppedAtRandomMomentsLosesAndDoublesNoRecord)
{
    interruptAtRandomMoments(Interruption::PhoneDropped);
}
