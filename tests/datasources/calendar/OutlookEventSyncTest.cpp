// Outlook's events sent to the phone through the real controller and the Wi-Fi transport, with the
// simulated Outlook and the phone peer as processes of their own, in three device zones: the times the
// phone holds, recurrences with a moved and a removed occurrence, alarms, attendees, busy states and
// categories; syncs with nothing or one thing changed; deletions; a refused or vanished Outlook.
#include "LogCapture.h"
#include "OutlookPeerProcess.h"
#include "OutlookStoreChoice.h"
#include "PhonePeerProcess.h"
#include "SyncRunner.h"
#include "WiFiSyncTestSupport.h"

#include "datasources/calendar/HMCalendarData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"
#include "platform/applescript/NSAppleScript.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <ctime>
#include <functional>

namespace {

QJsonObject outlookSeed()
{
    auto folder = [](int id, const char *kind, const char *name) {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    };
    return QJsonObject{
        {"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                               folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")}},
        {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}},
                                  QJsonObject{{"id", 6}, {"name", "Family"}, {"color", QJsonArray{0, 65535, 0}}}}}};
}

// A calendar-only Outlook 2016 (or 2011: version "14") Wi-Fi profile, direction Outlook to device (or
// the one given), in one device zone.
class OutlookCalendarRun
{
public:
    explicit OutlookCalendarRun(const QByteArray &zone, const QString &direction = QStringLiteral("mac_to_device"),
                                const QString &outlookVersion = QStringLiteral("15"))
        : m_oldZone(qgetenv("TZ")), m_version(outlookVersion)
    {
        qputenv("TZ", zone);
        ::tzset();
        preparePhoneLinkTests();
        startOutlook();
        m_outlook->seed(outlookSeed());
        switches({{"listsOccurrences", true}});
        m_oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(m_outlook->home()));
        m_phone = std::make_unique<PhonePeerProcess>(m_phoneFolder.filePath(QStringLiteral("phone.json")));
        EXPECT_TRUE(m_phone->isReady());
        registerLoopbackTransport(m_phone->port(), 5.0);
        m_manager = std::make_shared<HMProfileManager>();
        m_profile = newLoopbackProfile(*m_manager, m_phone->deviceId());
        m_profile->setContactSyncEnabled(false);
        m_profile->setTaskSyncEnabled(false);
        m_profile->setCalendarSyncEnabled(true);
        m_profile->setCalendarSyncDirectionName(direction);
        m_profile->setCalendarSyncDeletionsName(QStringLiteral("two_way"));
        hmsync::useOutlookContacts(m_profile, m_version);
        // The maps live in the data folder the tests of this process share (the version names the map).
        const QString map = HMOutlookDatFileHelper().calendarFilePath();
        QFile::remove(map);
        QFile::remove(map + QStringLiteral(".confirmed"));
        HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"),
                                                           [] { return std::make_shared<HMCalendarData>(); });
        EXPECT_TRUE(m_manager->saveProfile(*m_profile));
    }
    ~OutlookCalendarRun()
    {
        m_phone->stop();
        HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"), {});
        HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMContactData"), {});
        HMSyncController::registerTransport(1, {});
        GlobalVariables::setCurrentProfileController(nullptr);
        GlobalVariables::setIsOutlookSync(false);
        GlobalVariables::setOutlookRecurringEventsAndExceptions({});
        qputenv("HOME", m_oldHome);
        qputenv("TZ", m_oldZone);
        ::tzset();
    }

    hmsync::SyncOutcome sync()
    {
        // Outlook's dates are whole seconds and the map's date a second before the read began.
        QThread::msleep(1100);
        return hmsync::runManualSync(m_manager, m_profile, std::chrono::seconds(60));
    }
    qint64 addEvent(QJsonObject record) const
    {
        record.insert("folder", 2);
        return m_outlook->control({{"op", "add"}, {"kind", "event"}, {"record", record}}).value("id").toInteger();
    }
    void editEvent(qint64 id, const QJsonObject &fields) const
    {
        m_outlook->control({{"op", "edit"}, {"kind", "event"}, {"id", id}, {"fields", fields}});
    }
    void deleteEvent(qint64 id) const { m_outlook->control({{"op", "delete"}, {"kind", "event"}, {"id", id}}); }
    void switches(QJsonObject command) const
    {
        command.insert("op", "switches");
        m_outlook->control(command);
    }
    QList<phonepeer::PhoneRecord> phoneEvents() const { return m_phone->records(phonepeer::Conduit::Calendar); }
    std::optional<phonepeer::PhoneRecord> phoneEvent(const QString &subject) const
    {
        for (const phonepeer::PhoneRecord &record : phoneEvents()) {
            if (record.fields.value("SUBJECT") == subject)
                return record;
        }
        return std::nullopt;
    }
    qsizetype updateRequests() const
    {
        qsizetype count = 0;
        for (const QString &path : m_phone->requestLog())
            count += path.contains(QLatin1String("pdate")) ? 1 : 0;
        return count;
    }
    OutlookPeerProcess &outlook() { return *m_outlook; }
    // A new Outlook process on the same store, after the last one died.
    void restartOutlook()
    {
        m_outlook->process().waitForFinished(5000);
        startOutlook();
        switches({{"listsOccurrences", true}});
    }
    const PhonePeerProcess &phone() const { return *m_phone; }
    QString root() const { return m_root.path(); }
    // Outlook's events as the peer keeps them.
    QJsonArray outlookEvents() const { return m_outlook->dump().value("events").toArray(); }
    std::optional<QJsonObject> outlookEvent(const QString &subject) const
    {
        for (const QJsonValue &event : outlookEvents()) {
            if (event.toObject().value("subject").toString() == subject)
                return event.toObject();
        }
        return std::nullopt;
    }

private:
    void startOutlook()
    {
        OutlookPeerProcess::Options options;
        options.folder = m_root.path();
        options.timeZone = QString::fromLatin1(qgetenv("TZ"));
        // Outlook reads the script dates in the user's date format, as the application writes them.
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat(),
                             QStringLiteral("--outlook-version"), m_version};
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(m_outlook->isReady());
    }

    QByteArray m_oldZone;
    QString m_version;
    QTemporaryDir m_root;
    QTemporaryDir m_phoneFolder;
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    std::unique_ptr<PhonePeerProcess> m_phone;
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
    QByteArray m_oldHome;
};

// A local time of the device zone as the peer's records take it.
QString local(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone::systemTimeZone()).toString(Qt::ISODate);
}

QJsonObject timed(const char *subject, const QString &start, const QString &end)
{
    return QJsonObject{{"subject", subject}, {"start", start}, {"end", end},
                       {"zone", QString::fromUtf8(QTimeZone::systemTimeZoneId())}};
}

void dumpPhone(const OutlookCalendarRun &run)
{
    for (const phonepeer::PhoneRecord &record : run.phoneEvents()) {
        QStringList fields;
        for (auto it = record.fields.constBegin(); it != record.fields.constEnd(); ++it)
            fields.append(it.key() + u'=' + it.value());
        std::fprintf(stderr, "phone %s: %s\n", qPrintable(record.uid), qPrintable(fields.join(u'|')));
    }
}

// The test name of a zone parameter: "Europe/Berlin" gives "Europe_Berlin".
std::string zoneTestName(const ::testing::TestParamInfo<const char *> &info)
{
    return QString::fromLatin1(info.param).replace(u'/', u'_').toStdString();
}

class OutlookEventSync : public ::testing::TestWithParam<const char *>
{
};

} // namespace

TEST_P(OutlookEventSync, OutlooksEventsReachThePhoneAtTheirLocalTimes)
{
    OutlookCalendarRun run(GetParam());
    QJsonObject single = timed("Dentist", local(2027, 7, 15, 9), local(2027, 7, 15, 10));
    single.insert("location", "Main St. 4, Suite 2");
    single.insert("note", "Bring the card, please");
    single.insert("alarm", 15);
    single.insert("private", true);
    single.insert("busy", "tentative");
    single.insert("categories", QJsonArray{5});
    single.insert("attendees", QJsonArray{QJsonObject{{"name", "Ann Lee"}, {"address", "ann@example.com"}},
                                          QJsonObject{{"name", "Bo"}, {"address", "bo@example.com"}}});
    run.addEvent(single);
    QJsonObject allDay{{"subject", "Holiday"}, {"start", local(2027, 1, 20)}, {"end", local(2027, 1, 21)}, {"allDay", true},
                       {"busy", "oof"}, {"zone", QString::fromUtf8(QTimeZone::systemTimeZoneId())}};
    run.addEvent(allDay);
    QJsonObject multiDay = timed("Conference", local(2027, 2, 10, 14), local(2027, 2, 12, 11));
    multiDay.insert("busy", "free");
    run.addEvent(multiDay);
    QJsonObject weekly = timed("Standup", local(2027, 3, 2, 8, 30), local(2027, 3, 2, 9));
    weekly.insert("rrule", "FREQ=WEEKLY;COUNT=10;BYDAY=TU;INTERVAL=1");
    weekly.insert("exdates", QJsonArray{local(2027, 3, 16, 8, 30)});
    const qint64 weeklyId = run.addEvent(weekly);
    QJsonObject moved = timed("Standup moved", local(2027, 3, 24, 10), local(2027, 3, 24, 10, 30));
    moved.insert("master", weeklyId);
    moved.insert("recurrenceId", local(2027, 3, 23, 8, 30));
    run.addEvent(moved);
    QJsonObject monthly = timed("Review", local(2027, 1, 29, 12), local(2027, 1, 29, 13));
    monthly.insert("rrule", "FREQ=MONTHLY;BYDAY=-1FR;INTERVAL=1");
    run.addEvent(monthly);
    QJsonObject yearly = timed("Anniversary dinner", local(2027, 4, 5, 0, 30), local(2027, 4, 5, 2));
    yearly.insert("rrule", "FREQ=YEARLY;COUNT=3;INTERVAL=1");
    run.addEvent(yearly);

    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << hmsync::describeOutcome(outcome).toStdString();
    if (qEnvironmentVariableIsSet("HM_DUMP_PHONE"))
        dumpPhone(run);
    const std::optional<phonepeer::PhoneRecord> dentist = run.phoneEvent("Dentist");
    ASSERT_TRUE(dentist);
    EXPECT_EQ(dentist->fields.value("STARTDATE"), "20270715");
    EXPECT_EQ(dentist->fields.value("STARTTIME"), "09:00:00");
    EXPECT_EQ(dentist->fields.value("ENDTIME"), "10:00:00");
    EXPECT_EQ(dentist->fields.value("LOCATION"), "Main St. 4, Suite 2");
    EXPECT_EQ(dentist->fields.value("NOTE"), "Bring the card, please");
    EXPECT_EQ(dentist->fields.value("ALARMTIME"), "15");
    EXPECT_EQ(dentist->fields.value("PRIVATE"), "1");
    EXPECT_EQ(dentist->fields.value("BUSYSTATUS"), "1");
    EXPECT_EQ(dentist->fields.value("CATEGORY"), "Work");
    EXPECT_EQ(dentist->fields.value("CONTACTS"), "Ann Lee\tBo");
    EXPECT_EQ(dentist->fields.value("EMAILS"), "ann@example.com\tbo@example.com");
    const std::optional<phonepeer::PhoneRecord> holiday = run.phoneEvent("Holiday");
    ASSERT_TRUE(holiday);
    EXPECT_EQ(holiday->fields.value("TYPE"), "1");
    EXPECT_EQ(holiday->fields.value("STARTDATE"), "20270120");
    EXPECT_EQ(holiday->fields.value("ENDDATE"), "20270120");
    EXPECT_EQ(holiday->fields.value("BUSYSTATUS"), "3");
    const std::optional<phonepeer::PhoneRecord> conference = run.phoneEvent("Conference");
    ASSERT_TRUE(conference);
    EXPECT_EQ(conference->fields.value("ENDDATE"), "20270212");
    EXPECT_EQ(conference->fields.value("ENDTIME"), "11:00:00");
    EXPECT_EQ(conference->fields.value("BUSYSTATUS"), "0");
    const std::optional<phonepeer::PhoneRecord> standup = run.phoneEvent("Standup");
    ASSERT_TRUE(standup);
    EXPECT_EQ(standup->fields.value("REPEAT"), "2");
    EXPECT_EQ(standup->fields.value("STARTTIME"), "08:30:00");
    EXPECT_TRUE(standup->fields.value("REPEATEXCEPTIONS").contains("20270316")) << standup->fields.value("REPEATEXCEPTIONS").toStdString();
    // The moved occurrence waits for its series' id on the phone, which the phone gives with its answer.
    EXPECT_FALSE(run.phoneEvent("Standup moved"));
    const std::optional<phonepeer::PhoneRecord> review = run.phoneEvent("Review");
    ASSERT_TRUE(review);
    EXPECT_EQ(review->fields.value("REPEAT"), "3");
    const std::optional<phonepeer::PhoneRecord> dinner = run.phoneEvent("Anniversary dinner");
    ASSERT_TRUE(dinner);
    EXPECT_EQ(dinner->fields.value("REPEAT"), "4");
    EXPECT_EQ(dinner->fields.value("STARTTIME"), "00:30:00");
    // Three years: the count became the end date of the third, that day also east of GMT.
    EXPECT_EQ(dinner->fields.value("REPEATEND"), "20290405");

    // The next sync sends the moved occurrence under its series, and the series again with the day the
    // occurrence was scheduled for among its exceptions.
    ASSERT_TRUE(run.sync().isSuccess);
    if (qEnvironmentVariableIsSet("HM_DUMP_PHONE"))
        dumpPhone(run);
    const std::optional<phonepeer::PhoneRecord> movedOnPhone = run.phoneEvent("Standup moved");
    ASSERT_TRUE(movedOnPhone);
    EXPECT_EQ(movedOnPhone->fields.value("STARTDATE"), "20270324");
    EXPECT_EQ(movedOnPhone->fields.value("STARTTIME"), "10:00:00");
    EXPECT_EQ(movedOnPhone->fields.value("PARENTID"), run.phoneEvent("Standup")->uid);
    EXPECT_EQ(run.phoneEvent("Standup")->fields.value("REPEATEXCEPTIONS"), "20270316\t20270323");
    for (const phonepeer::PhoneRecord &record : run.phoneEvents())
        EXPECT_FALSE(record.fields.value("SUBJECT").isEmpty()) << record.uid.toStdString();
    EXPECT_EQ(run.phoneEvents().size(), 7);

    // Nothing changed: nothing goes.
    const qsizetype updates = run.updateRequests();
    const qsizetype count = run.phoneEvents().size();
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.updateRequests(), updates);
    EXPECT_EQ(run.phoneEvents().size(), count);
}

INSTANTIATE_TEST_SUITE_P(Zones, OutlookEventSync, ::testing::Values("UTC", "Europe/Berlin", "America/Los_Angeles"),
                         zoneTestName);

TEST(OutlookEventChanges, AnEditSendsThatEventAloneAndRemovalsReachThePhone)
{
    OutlookCalendarRun run("Europe/Berlin");
    const qint64 lunch = run.addEvent(timed("Lunch", local(2027, 5, 3, 12), local(2027, 5, 3, 13)));
    const qint64 call = run.addEvent(timed("Call", local(2027, 5, 4, 16), local(2027, 5, 4, 16, 30)));
    QJsonObject weekly = timed("Yoga", local(2027, 5, 6, 19), local(2027, 5, 6, 20));
    weekly.insert("rrule", "FREQ=WEEKLY;COUNT=6;BYDAY=TH;INTERVAL=1");
    const qint64 yoga = run.addEvent(weekly);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phoneEvents().size(), 3);
    const QString lunchUid = run.phoneEvent("Lunch")->uid;

    run.editEvent(lunch, {{"subject", "Lunch with Bo"}});
    {
        LogCapture log(LOG_LEVEL_INFO);
        ASSERT_TRUE(run.sync().isSuccess);
        EXPECT_TRUE(log.lines().contains(QStringLiteral("DONE WITH ARRAY! (1 records)"))) << log.lines().join(u'\n').toStdString();
    }
    ASSERT_TRUE(run.phoneEvent("Lunch with Bo"));
    EXPECT_EQ(run.phoneEvent("Lunch with Bo")->uid, lunchUid);
    EXPECT_EQ(run.phoneEvents().size(), 3);

    // An occurrence removed from the series: the phone's series leaves that day out.
    run.editEvent(yoga, {{"exdates", QJsonArray{local(2027, 5, 20, 19)}}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phoneEvent("Yoga")->fields.value("REPEATEXCEPTIONS"), "20270520");
    EXPECT_EQ(run.phoneEvents().size(), 3);

    run.deleteEvent(call);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phoneEvents().size(), 2);
    EXPECT_FALSE(run.phoneEvent("Call"));
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceEventIdsInDatFile().size(), 2);
}

TEST(OutlookEventChanges, ARefusedIdListDeletesNothingAndSaysWhy)
{
    OutlookCalendarRun run("UTC");
    run.addEvent(timed("Ann", local(2027, 6, 1, 9), local(2027, 6, 1, 10)));
    const qint64 bo = run.addEvent(timed("Bo", local(2027, 6, 2, 9), local(2027, 6, 2, 10)));
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phoneEvents().size(), 2);
    run.deleteEvent(bo);
    run.addEvent(timed("Cy", local(2027, 6, 3, 9), local(2027, 6, 3, 10)));
    // The sync's scripts: the changed dates and ids, the modified occurrences, Cy's properties, then
    // the listing of every id.
    run.switches({{"refuseNth", 5}});
    LogCapture log(LOG_LEVEL_ERROR);
    const hmsync::SyncOutcome outcome = run.sync();
    EXPECT_TRUE(log.lines().join(u'\n').contains(
        QStringLiteral("Outlook's Calendar ids could not be read; deletions are not looked for in this sync")))
        << log.lines().join(u'\n').toStdString();
    EXPECT_TRUE(outcome.isSuccess) << hmsync::describeOutcome(outcome).toStdString();
    EXPECT_EQ(run.phoneEvents().size(), 3);
    run.switches({{"refuseNth", 0}});
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.phoneEvents().size(), 2);
    EXPECT_FALSE(run.phoneEvent("Bo"));
}

TEST(OutlookEventChanges, OutlookGoneMidListingEndsTheConduitInErrorWithNothingSent)
{
    OutlookCalendarRun run("UTC");
    run.addEvent(timed("Ann", local(2027, 6, 1, 9), local(2027, 6, 1, 10)));
    ASSERT_TRUE(run.sync().isSuccess);
    const QStringList mapped = HMOutlookDatFileHelper().getAllDeviceEventIdsInDatFile();
    const QDateTime stamp = HMOutlookDatFileHelper().getLastModifiedDateEvents();
    run.addEvent(timed("Bo", local(2027, 6, 2, 9), local(2027, 6, 2, 10)));
    // Outlook dies halfway through the reply of the properties of Bo, the fourth script.
    run.switches({{"refuseNth", 0}});
    run.switches({{"killMidReplyNth", 4}});
    const hmsync::SyncOutcome outcome = run.sync();
    EXPECT_FALSE(outcome.isSuccess);
    EXPECT_TRUE(outcome.hasEnded);
    EXPECT_EQ(run.phoneEvents().size(), 1);
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceEventIdsInDatFile(), mapped);
    EXPECT_EQ(HMOutlookDatFileHelper().getLastModifiedDateEvents(), stamp);
}

TEST(OutlookEventExport, EveryExportParsesInVobjectWithTheOccurrencesOutlookHolds)
{
    OutlookCalendarRun run("America/Los_Angeles");
    QJsonObject single = timed("Single, with; escapes", local(2027, 7, 15, 9), local(2027, 7, 15, 10));
    single.insert("note", QStringLiteral("Line one\nLine two, ä; \\ end"));
    single.insert("alarm", 75);
    single.insert("attendees", QJsonArray{QJsonObject{{"name", "Ann Lee"}, {"address", "ann@example.com"}}});
    QJsonObject allDay{{"subject", "All day"}, {"start", local(2027, 1, 20)}, {"end", local(2027, 1, 21)}, {"allDay", true},
                       {"zone", "America/Los_Angeles"}};
    QJsonObject weekly = timed("Weekly", local(2027, 3, 2, 8, 30), local(2027, 3, 2, 9));
    weekly.insert("rrule", "FREQ=WEEKLY;COUNT=10;BYDAY=TU;INTERVAL=1");
    weekly.insert("exdates", QJsonArray{local(2027, 3, 16, 8, 30), local(2027, 4, 6, 8, 30)});
    QJsonObject monthly = timed("Monthly", local(2027, 1, 29, 12), local(2027, 1, 29, 13));
    monthly.insert("rrule", "FREQ=MONTHLY;COUNT=4;BYDAY=-1FR;INTERVAL=1");
    QJsonObject longSubject = timed("A subject long enough that its line is folded more than once by the export, "
                                    "which cuts lines at seventy-five octets: ünïcödé included",
                                    local(2027, 11, 3, 9), local(2027, 11, 3, 10));
    QList<qint64> ids{run.addEvent(single), run.addEvent(allDay), run.addEvent(weekly), run.addEvent(monthly),
                      run.addEvent(longSubject)};
    QJsonObject moved = timed("Moved", local(2027, 3, 24, 10), local(2027, 3, 24, 10, 30));
    moved.insert("master", ids.at(2));
    moved.insert("recurrenceId", local(2027, 3, 23, 8, 30));
    ids.append(run.addEvent(moved));
    QTemporaryDir folder;
    for (const qint64 id : ids) {
        const QString script = QStringLiteral("tell application \"Microsoft Outlook\"\nset theEvents to the properties of "
                                              "calendar event id \"%1\" of application \"Microsoft Outlook\"\nreturn theEvents\nend tell")
                                   .arg(id);
        const QString text = platform::NSAppleScript(script).executeAndReturnError().descriptorForKeyword(
                                                                                      platform::fourCharCode("iCal")).stringValue();
        ASSERT_FALSE(text.isEmpty());
        for (const QString &line : text.split(QStringLiteral("\r\n")))
            EXPECT_LE(line.toUtf8().size(), 75) << line.toStdString();
        QFile file(folder.filePath(QStringLiteral("export-%1.ics").arg(id, 3, 10, QLatin1Char('0'))));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
    }
    // Each event's summary, its occurrences' local starts, its note and its recurrence id.
    const char *script =
        "import sys, glob, vobject\n"
        "for name in sorted(glob.glob(sys.argv[1] + '/export-*.ics')):\n"
        "    ev = vobject.readOne(open(name, encoding='utf-8').read()).vevent\n"
        "    starts = [d.strftime('%Y%m%dT%H%M%z') if hasattr(d, 'hour') else d.strftime('%Y%m%d') for d in ev.getrruleset(addRDate=True)] if ev.rruleset else [ev.dtstart.value.strftime('%Y%m%dT%H%M%z') if hasattr(ev.dtstart.value, 'hour') else ev.dtstart.value.strftime('%Y%m%d')]\n"
        "    rid = ev.recurrence_id.value.strftime('%Y%m%dT%H%M%z') if hasattr(ev, 'recurrence_id') else ''\n"
        "    print('%s|%s|%s|%s' % (ev.summary.value, ','.join(starts), ev.description.value.replace('\\n', '<LF>'), rid))\n";
    const auto python = [] {
        return QFileInfo::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3");
    };
    QProcess process;
    process.start(python(), {QStringLiteral("-c"), QLatin1String(script), folder.path()});
    ASSERT_TRUE(process.waitForFinished(30000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines, (QStringList{
                         "Single, with; escapes|20270715T0900-0700|Line one<LF><LF>Line two, ä; \\ end|",
                         "All day|20270120|<LF>|",
                         "Weekly|20270302T0830-0800,20270309T0830-0800,20270323T0830-0700,20270330T0830-0700,"
                         "20270413T0830-0700,20270420T0830-0700,20270427T0830-0700,20270504T0830-0700|<LF>|",
                         "Monthly|20270129T1200-0800,20270226T1200-0800,20270326T1200-0700,20270430T1200-0700|<LF>|",
                         QStringLiteral("A subject long enough that its line is folded more than once by the export, which cuts "
                                        "lines at seventy-five octets: ünïcödé included|20271103T0900-0700|<LF>|"),
                         "Moved|20270324T1000-0700|<LF>|20270323T0830-0700",
                     }))
        << lines.join(u'\n').toStdString();
}

// ---- The phone's events written to Outlook ---------------------------------------------------------

namespace {

const QString kHostile = QStringLiteral("\" & (do shell script \"touch %1\") & \"");

// A phone event as the phone's rows carry it: GMT dates and times.
QMap<QString, QString> phoneTimed(const QString &subject, const QDateTime &start, const QDateTime &end)
{
    return {{"SUBJECT", subject},
            {"TYPE", "0"},
            {"GMTSTARTDATE", start.toUTC().toString(QStringLiteral("yyyyMMdd"))},
            {"GMTSTARTTIME", start.toUTC().toString(QStringLiteral("HH:mm:ss"))},
            {"GMTENDDATE", end.toUTC().toString(QStringLiteral("yyyyMMdd"))},
            {"GMTENDTIME", end.toUTC().toString(QStringLiteral("HH:mm:ss"))}};
}

QDateTime localTime(int year, int month, int day, int hour, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone::systemTimeZone());
}

class OutlookEventWriteSync : public ::testing::TestWithParam<const char *>
{
};

} // namespace

TEST_P(OutlookEventWriteSync, PhoneEventsReachOutlookAndComeBackUnchanged)
{
    OutlookCalendarRun run(GetParam(), QStringLiteral("two_way"));
    const QString marker = run.root() + QStringLiteral("/F");
    const QString subject = QStringLiteral("Say \"hi\" \\ to ") + kHostile.arg(marker);
    const QString note = QStringLiteral("Line one\nEND:VEVENT\nRRULE:FREQ=DAILY\n") + kHostile.arg(marker);
    QMap<QString, QString> single = phoneTimed(subject, localTime(2027, 7, 15, 9), localTime(2027, 7, 15, 10, 30));
    single.insert("NOTE", note);
    single.insert("LOCATION", QStringLiteral("Room \"7\", west"));
    single.insert("ALARMTIME", "30");
    single.insert("CONTACTS", QStringLiteral("Ann \"A\" Lee\t") + kHostile.arg(marker));
    single.insert("EMAILS", QStringLiteral("ann@example.com\tx@example.com"));
    const QString singleUid = run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, single);
    QMap<QString, QString> holiday{{"SUBJECT", "Holiday"}, {"TYPE", "1"}, {"GMTSTARTDATE", "20270120"}, {"GMTENDDATE", "20270120"}};
    const QString holidayUid = run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, holiday);
    QMap<QString, QString> weekly = phoneTimed(QStringLiteral("Standup"), localTime(2027, 3, 2, 8, 30), localTime(2027, 3, 2, 9));
    weekly.insert("REPEAT", "2");
    weekly.insert("INTERVAL", "1");
    weekly.insert("DAYMASK", "4");
    weekly.insert("REPEATEXCEPTIONS", "20270316");
    weekly.insert("REPEATEND", "20270427");
    run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, weekly);

    std::optional<LogCapture> log;
    if (qEnvironmentVariableIsSet("HM_DUMP_PHONE"))
        log.emplace(LOG_LEVEL_INFO);
    hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << hmsync::describeOutcome(outcome).toStdString();
    if (qEnvironmentVariableIsSet("HM_DUMP_PHONE")) {
        dumpPhone(run);
        for (const QString &line : log->lines())
            std::fprintf(stderr, "log %s\n", qPrintable(line));
        log.reset();
    }
    EXPECT_EQ(run.outlookEvents().size(), 3) << QJsonDocument(run.outlookEvents()).toJson().toStdString();
    const std::optional<QJsonObject> written = run.outlookEvent(subject);
    ASSERT_TRUE(written) << QJsonDocument(run.outlookEvents()).toJson().toStdString();
    EXPECT_EQ(written->value("note").toString(), note);
    EXPECT_EQ(written->value("location").toString(), QStringLiteral("Room \"7\", west"));
    EXPECT_EQ(written->value("alarm").toInteger(), 30);
    EXPECT_EQ(QDateTime::fromString(written->value("start").toString(), Qt::ISODate), localTime(2027, 7, 15, 9));
    EXPECT_EQ(QDateTime::fromString(written->value("end").toString(), Qt::ISODate), localTime(2027, 7, 15, 10, 30));
    const QJsonArray attendees = written->value("attendees").toArray();
    ASSERT_EQ(attendees.size(), 2);
    EXPECT_EQ(attendees.at(0).toObject().value("name").toString(), QStringLiteral("Ann \"A\" Lee"));
    EXPECT_EQ(attendees.at(1).toObject().value("name").toString(), kHostile.arg(marker));
    const std::optional<QJsonObject> day = run.outlookEvent(QStringLiteral("Holiday"));
    ASSERT_TRUE(day);
    EXPECT_TRUE(day->value("allDay").toBool());
    EXPECT_EQ(QDateTime::fromString(day->value("start").toString(), Qt::ISODate), localTime(2027, 1, 20, 0));
    // The series with an exception came through the import: one event, its rule and the removed day.
    const std::optional<QJsonObject> series = run.outlookEvent(QStringLiteral("Standup"));
    ASSERT_TRUE(series);
    EXPECT_TRUE(series->value("rrule").toString().startsWith(QLatin1String("FREQ=WEEKLY"))) << series->value("rrule").toString().toStdString();
    ASSERT_EQ(series->value("exdates").toArray().size(), 1);
    EXPECT_EQ(QDateTime::fromString(series->value("exdates").toArray().at(0).toString(), Qt::ISODate), localTime(2027, 3, 16, 8, 30));
    EXPECT_FALSE(QFileInfo::exists(marker));

    // Nothing changed: both sides stay as they are, and the phone's events come back unchanged.
    const QJsonArray before = run.outlookEvents();
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.outlookEvents().size(), 3);
    EXPECT_EQ(run.phoneEvents().size(), 3);
    if (qEnvironmentVariableIsSet("HM_DUMP_PHONE"))
        dumpPhone(run);
    const std::optional<phonepeer::PhoneRecord> back = run.phoneEvent(subject);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->uid, singleUid);
    EXPECT_EQ(back->fields.value("GMTSTARTTIME"), single.value("GMTSTARTTIME"));
    EXPECT_EQ(back->fields.value("LOCATION"), single.value("LOCATION"));

    // An edit on the phone reaches the same Outlook event; a deletion deletes it.
    QMap<QString, QString> edited = single;
    edited.insert("SUBJECT", QStringLiteral("Renamed"));
    run.phone().editRecord(phonepeer::Conduit::Calendar, "update", singleUid, edited);
    run.phone().editRecord(phonepeer::Conduit::Calendar, "delete", holidayUid);
    ASSERT_TRUE(run.sync().isSuccess);
    const std::optional<QJsonObject> renamed = run.outlookEvent(QStringLiteral("Renamed"));
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->value("id"), written->value("id"));
    EXPECT_FALSE(run.outlookEvent(QStringLiteral("Holiday")));
    EXPECT_EQ(run.outlookEvents().size(), 2);
    EXPECT_EQ(run.phoneEvents().size(), 2);
    EXPECT_FALSE(QFileInfo::exists(marker));
}

INSTANTIATE_TEST_SUITE_P(Zones, OutlookEventWriteSync, ::testing::Values("UTC", "Europe/Berlin", "America/Los_Angeles"),
                         zoneTestName);

TEST(OutlookEventWrites, APhoneEventEqualToAnUnpairedOutlookEventIsMerged)
{
    OutlookCalendarRun run("Europe/Berlin", QStringLiteral("two_way"));
    const qint64 lunch = run.addEvent(timed("Lunch", local(2027, 5, 3, 12), local(2027, 5, 3, 13)));
    run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {},
                           phoneTimed(QStringLiteral("LUNCH"), localTime(2027, 5, 3, 12), localTime(2027, 5, 3, 13)));
    // Half a minute off is another event.
    run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {},
                           phoneTimed(QStringLiteral("Lunch"), localTime(2027, 5, 4, 12), localTime(2027, 5, 4, 13)));
    run.addEvent(timed("Lunch", local(2027, 5, 4, 12, 1), local(2027, 5, 4, 13)));
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.outlookEvents().size(), 3);
    EXPECT_EQ(run.phoneEvents().size(), 3);
    const std::optional<QJsonObject> merged = run.outlookEvent(QStringLiteral("LUNCH"));
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->value("id").toInteger(), lunch);
}

// Outlook refuses one new event: the run logs it and pairs nothing for it; the next run reads the
// phone whole, writes what Outlook lacks once, passes the paired events over, and the one after
// sends nothing.
TEST(OutlookEventWrites, ARefusedCreateIsLoggedAndWrittenOnceByTheNextSync)
{
    OutlookCalendarRun run("UTC", QStringLiteral("two_way"));
    run.switches({{"refuseEventWrite", "Refused"}});
    const QString refused = run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {},
                                                   phoneTimed(QStringLiteral("Refused"), localTime(2027, 6, 1, 9), localTime(2027, 6, 1, 10)));
    run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {},
                           phoneTimed(QStringLiteral("Taken"), localTime(2027, 6, 2, 9), localTime(2027, 6, 2, 10)));
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_FALSE(run.outlookEvent(QStringLiteral("Refused")));
    EXPECT_TRUE(run.outlookEvent(QStringLiteral("Taken")));
    EXPECT_TRUE(HMOutlookDatFileHelper().getOutlookEventIdForDeviceEventId(refused).isEmpty());
    QFile log(HMOutlookDatFileHelper().getAppDataFolder() + QStringLiteral("/errorlog.plist"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("<key>" + refused.toUtf8() + "</key>")) << text.toStdString();
    EXPECT_TRUE(text.contains("<string>D</string>")) << text.toStdString();
    EXPECT_TRUE(GlobalVariables::getHasOutlookCalendarWriteError());
    GlobalVariables::setHasOutlookCalendarWriteError(false);

    run.switches({{"refuseEventWrite", ""}});
    const qint64 taken = run.outlookEvent(QStringLiteral("Taken"))->value("id").toInteger();
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_FALSE(HMOutlookDatFileHelper::hasErrorLog());
    ASSERT_TRUE(run.outlookEvent(QStringLiteral("Refused")));
    EXPECT_FALSE(HMOutlookDatFileHelper().getOutlookEventIdForDeviceEventId(refused).isEmpty());
    EXPECT_EQ(run.outlookEvent(QStringLiteral("Taken"))->value("id").toInteger(), taken);
    EXPECT_EQ(run.outlookEvents().size(), 2);
    EXPECT_EQ(run.phoneEvents().size(), 2);
    const qsizetype updates = run.updateRequests();
    const hmsync::SyncOutcome quiet = run.sync();
    ASSERT_TRUE(quiet.isSuccess);
    EXPECT_EQ(run.outlookEvents().size(), 2);
    EXPECT_EQ(run.phoneEvents().size(), 2);
    EXPECT_EQ(run.updateRequests(), updates) << "the run after sends nothing to the phone";
    for (const hmsync::ConduitOutcome &conduit : quiet.conduits)
        EXPECT_EQ(conduit.appleAdds + conduit.appleUpdates + conduit.appleDeletes, 0) << "nor to Outlook";
}

TEST(OutlookEventWrites, OutlookGoneDuringTheApplyEndsTheConduitAndTheNextSyncWritesEveryEventOnce)
{
    OutlookCalendarRun run("UTC", QStringLiteral("two_way"));
    for (int index = 0; index < 6; ++index)
        run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {},
                               phoneTimed(QStringLiteral("Event %1").arg(index), localTime(2027, 6, 1 + index, 9),
                                          localTime(2027, 6, 1 + index, 10)));
    // The duplicate listing, then creates: Outlook dies in the reply of the fourth script.
    run.switches({{"killMidReplyNth", 4}});
    const hmsync::SyncOutcome outcome = run.sync();
    EXPECT_FALSE(outcome.isSuccess);
    EXPECT_TRUE(outcome.hasEnded);
    run.restartOutlook();
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.sync().isSuccess);
    QHash<QString, int> subjects;
    for (const QJsonValue &event : run.outlookEvents())
        ++subjects[event.toObject().value("subject").toString()];
    EXPECT_EQ(subjects.size(), 6);
    for (auto it = subjects.constBegin(); it != subjects.constEnd(); ++it)
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
    EXPECT_EQ(run.phoneEvents().size(), 6);
}

class OutlookEventFiles : public ::testing::TestWithParam<const char *>
{
};

// The phone's end day (REPEATEND, a day of the device's zone) is the series' last day: its occurrence
// is in the file whether the device lies east or west of UTC.
TEST_P(OutlookEventFiles, EveryEventFileParsesInVobjectAndIcalendarWithTheOccurrencesOutlookTook)
{
    OutlookCalendarRun run(GetParam(), QStringLiteral("two_way"));
    QTemporaryDir kept;
    int count = 0;
    HMCalendarData::setOutlookIcsKeeper([&kept, &count](const QString &path) {
        QFile::copy(path, kept.filePath(QStringLiteral("event-%1.ics").arg(++count)));
    });
    // Weekly series across their zones' daylight-saving changes, each with two removed occurrences.
    const struct
    {
        const char *subject;
        const char *zone;
        const char *exceptions;
    } series[] = {{"Pacific", "America/Los_Angeles", "20270309\t20270316"}, {"Kolkata", "Asia/Kolkata", "20270302\t20270323"},
                  {"Berlin", "Europe/Berlin", "20270316\t20270323"}};
    for (const auto &one : series) {
        const QTimeZone zone(one.zone);
        QMap<QString, QString> fields = phoneTimed(QLatin1String(one.subject), QDateTime(QDate(2027, 2, 23), QTime(8, 30), zone),
                                                   QDateTime(QDate(2027, 2, 23), QTime(9, 0), zone));
        fields.insert("REPEAT", "2");
        fields.insert("INTERVAL", "1");
        fields.insert("DAYMASK", "4");
        fields.insert("REPEATEND", "20270406");
        fields.insert("REPEATEXCEPTIONS", QLatin1String(one.exceptions));
        fields.insert("TimeZone", QLatin1String(one.zone));
        run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, fields);
    }
    ASSERT_TRUE(run.sync().isSuccess);
    HMCalendarData::setOutlookIcsKeeper({});
    ASSERT_EQ(count, 3);
    // Each file's occurrences as local times of its zone, read by both libraries.
    const char *script =
        "import sys, glob, vobject, icalendar, dateutil.rrule\n"
        "for name in sorted(glob.glob(sys.argv[1] + '/event-*.ics')):\n"
        "    text = open(name, encoding='utf-8').read()\n"
        "    ev = vobject.readOne(text).vevent\n"
        "    a = [d.strftime('%Y%m%dT%H%M%z') for d in ev.getrruleset(addRDate=True)]\n"
        "    cal = icalendar.Calendar.from_ical(text)\n"
        "    e = [c for c in cal.walk('VEVENT')][0]\n"
        "    start = e.decoded('DTSTART')\n"
        "    rule = dateutil.rrule.rrulestr(e['RRULE'].to_ical().decode(), dtstart=start)\n"
        "    ex = e.get('EXDATE'); ex = ex if isinstance(ex, list) else [ex]\n"
        "    days = set(d.dt.strftime('%Y%m%d') for x in ex for d in x.dts)\n"
        "    zone = start.tzinfo\n"
        "    local = (lambda d: zone.localize(d.replace(tzinfo=None))) if hasattr(zone, 'localize') else (lambda d: d)\n"
        "    b = [local(d).strftime('%Y%m%dT%H%M%z') for d in rule if d.strftime('%Y%m%d') not in days]\n"
        "    print('%s|%s|%s' % (ev.summary.value, ','.join(a), 'same' if a == b else ','.join(b)))\n";
    QProcess process;
    process.start(QFileInfo::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3"),
                  {QStringLiteral("-c"), QLatin1String(script), kept.path()});
    ASSERT_TRUE(process.waitForFinished(30000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    lines.sort();
    EXPECT_EQ(lines, (QStringList{
                         "Berlin|20270223T0830+0100,20270302T0830+0100,20270309T0830+0100,20270330T0830+0200,20270406T0830+0200|same",
                         "Kolkata|20270223T0830+0530,20270309T0830+0530,20270316T0830+0530,20270330T0830+0530,20270406T0830+0530|same",
                         "Pacific|20270223T0830-0800,20270302T0830-0800,20270323T0830-0700,20270330T0830-0700,20270406T0830-0700|same",
                     }))
        << lines.join(u'\n').toStdString();
    // Outlook took each series with its first start and the two removed days at the series' time.
    for (const auto &one : series) {
        const std::optional<QJsonObject> event = run.outlookEvent(QLatin1String(one.subject));
        ASSERT_TRUE(event) << one.subject;
        const QTimeZone zone(one.zone);
        EXPECT_EQ(QDateTime::fromString(event->value("start").toString(), Qt::ISODate), QDateTime(QDate(2027, 2, 23), QTime(8, 30), zone));
        QStringList removed;
        for (const QJsonValue &day : event->value("exdates").toArray())
            removed.append(QDateTime::fromString(day.toString(), Qt::ISODate).toTimeZone(zone).toString(QStringLiteral("yyyyMMdd HH:mm")));
        EXPECT_EQ(removed.join(u'\t'), QString::fromLatin1(one.exceptions).replace(u'\t', QStringLiteral(" 08:30\t")) + QStringLiteral(" 08:30"));
    }
    EXPECT_EQ(run.outlookEvents().size(), 3);
}

namespace {

QDateTime utcStamp(const QString &text)
{
    QDateTime moment = QDateTime::fromString(text, QStringLiteral("yyyyMMdd'T'HHmmss"));
    moment.setTimeZone(QTimeZone::utc());
    return moment;
}

} // namespace

// Series without exceptions go by the create script: the end Outlook takes counts the
// occurrence of the last day and none of the day after, for a daily series late in the day, an early
// one, and an all-day one.
TEST_P(OutlookEventFiles, ScriptedSeriesKeepTheirLastDayAndNoMore)
{
    OutlookCalendarRun run(GetParam(), QStringLiteral("two_way"));
    const struct
    {
        const char *subject;
        int hour;
        int minute;
    } timedSeries[] = {{"Late", 23, 30}, {"Early", 0, 30}};
    QHash<QString, QString> uids;
    for (const auto &one : timedSeries) {
        QMap<QString, QString> fields = phoneTimed(QLatin1String(one.subject), localTime(2027, 4, 1, one.hour, one.minute),
                                                   localTime(2027, 4, 1, one.hour, one.minute + 20));
        fields.insert("REPEAT", "1");
        fields.insert("INTERVAL", "1");
        fields.insert("REPEATEND", "20270410");
        uids.insert(QLatin1String(one.subject), run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, fields));
    }
    QMap<QString, QString> allDay{{"SUBJECT", "Trip"},         {"TYPE", "1"},       {"GMTSTARTDATE", "20270401"},
                                  {"GMTENDDATE", "20270401"},  {"REPEAT", "1"},     {"INTERVAL", "1"},
                                  {"REPEATEND", "20270410"}};
    uids.insert(QStringLiteral("Trip"), run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, allDay));
    ASSERT_TRUE(run.sync().isSuccess);

    // The last occurrence starts at or before UNTIL, the one a day later after it.
    const auto expectEnd = [&run](const char *subject, const QDateTime &last) {
        const std::optional<QJsonObject> event = run.outlookEvent(QLatin1String(subject));
        ASSERT_TRUE(event) << subject;
        EXPECT_TRUE(event->value("exdates").toArray().isEmpty()) << subject;
        const QString rule = event->value("rrule").toString();
        const qsizetype at = rule.indexOf(QLatin1String("UNTIL="));
        ASSERT_GE(at, 0) << subject << " " << rule.toStdString();
        const QDateTime until = utcStamp(rule.mid(at + 6, 15));
        ASSERT_TRUE(until.isValid()) << rule.toStdString();
        EXPECT_GE(until, last) << subject << " " << rule.toStdString();
        EXPECT_LT(until, last.addDays(1)) << subject << " " << rule.toStdString();
    };
    expectEnd("Late", localTime(2027, 4, 10, 23, 30));
    expectEnd("Early", localTime(2027, 4, 10, 0, 30));
    expectEnd("Trip", localTime(2027, 4, 10, 0));

    // The next sync changes nothing on either side: the phone keeps the end day it gave.
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.outlookEvents().size(), 3);
    EXPECT_EQ(run.phoneEvents().size(), 3);
    for (const auto &[subject, uid] : uids.asKeyValueRange()) {
        const std::optional<phonepeer::PhoneRecord> back = run.phoneEvent(subject);
        ASSERT_TRUE(back) << subject.toStdString();
        EXPECT_EQ(back->uid, uid);
        EXPECT_EQ(back->fields.value("REPEATEND"), "20270410") << subject.toStdString();
    }
}

namespace {

qint64 recurrenceScriptsOf(OutlookCalendarRun &run)
{
    return run.outlook().control({{"op", "dump"}}).value("recurrenceScripts").toInteger();
}

// The day of a rule's UNTIL in the device's zone; null without one.
QDate untilDayOf(const QString &rule)
{
    const qsizetype at = rule.indexOf(QLatin1String("UNTIL="));
    return at < 0 ? QDate() : utcStamp(rule.mid(at + 6, 15)).toTimeZone(QTimeZone::systemTimeZone()).date();
}

} // namespace

// A series edited on the phone reaches Outlook's rule: a later end day, another interval, made single.
// A series whose rule did not change gets no recurrence script, and the next sync sends nothing.
TEST_P(OutlookEventFiles, APhoneSeriesEditedOnThePhoneChangesOutlooksRuleOnlyWhenItsRuleChanged)
{
    OutlookCalendarRun run(GetParam(), QStringLiteral("two_way"));
    for (const char *subject : {"Longer", "Single", "Every two", "Renamed"}) {
        QMap<QString, QString> fields = phoneTimed(QLatin1String(subject), localTime(2027, 4, 1, 23, 30), localTime(2027, 4, 1, 23, 50));
        fields.insert("REPEAT", "1");
        fields.insert("INTERVAL", "1");
        fields.insert("REPEATEND", "20270410");
        run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {}, fields);
    }
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.outlookEvents().size(), 4);
    const QString renamedRule = run.outlookEvent("Renamed")->value("rrule").toString();
    EXPECT_EQ(untilDayOf(renamedRule), QDate(2027, 4, 10)) << renamedRule.toStdString();
    const qint64 recurrenceScripts = recurrenceScriptsOf(run);

    const auto edit = [&run](const char *subject, const std::function<void(QMap<QString, QString> &)> &change) {
        const std::optional<phonepeer::PhoneRecord> record = run.phoneEvent(QLatin1String(subject));
        ASSERT_TRUE(record) << subject;
        QMap<QString, QString> fields = record->fields;
        change(fields);
        run.phone().editRecord(phonepeer::Conduit::Calendar, "update", record->uid, fields);
    };
    edit("Longer", [](QMap<QString, QString> &fields) { fields.insert("REPEATEND", "20270420"); });
    edit("Every two", [](QMap<QString, QString> &fields) { fields.insert("INTERVAL", "2"); });
    edit("Single", [](QMap<QString, QString> &fields) {
        fields.insert("REPEAT", "0");
        fields.remove("INTERVAL");
        fields.remove("REPEATEND");
    });
    edit("Renamed", [](QMap<QString, QString> &fields) { fields.insert("SUBJECT", "Renamed again"); });
    ASSERT_TRUE(run.sync().isSuccess);

    const QString longer = run.outlookEvent("Longer")->value("rrule").toString();
    EXPECT_EQ(untilDayOf(longer), QDate(2027, 4, 20)) << longer.toStdString();
    const QString everyTwo = run.outlookEvent("Every two")->value("rrule").toString();
    EXPECT_TRUE(everyTwo.contains(QLatin1String("INTERVAL=2"))) << everyTwo.toStdString();
    EXPECT_EQ(untilDayOf(everyTwo), QDate(2027, 4, 10)) << everyTwo.toStdString();
    EXPECT_TRUE(run.outlookEvent("Single")->value("rrule").toString().isEmpty());
    ASSERT_TRUE(run.outlookEvent("Renamed again"));
    EXPECT_EQ(run.outlookEvent("Renamed again")->value("rrule").toString(), renamedRule);
    // Three rules changed: three recurrence scripts, none for the renamed series.
    EXPECT_EQ(recurrenceScriptsOf(run) - recurrenceScripts, 3);

    // Outlook's rules come back to the phone as the phone gave them; nothing more is written.
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(recurrenceScriptsOf(run) - recurrenceScripts, 3);
    EXPECT_EQ(run.phoneEvent("Longer")->fields.value("REPEATEND"), "20270420");
    EXPECT_EQ(run.phoneEvent("Every two")->fields.value("INTERVAL"), "2");
    EXPECT_EQ(run.phoneEvent("Every two")->fields.value("REPEATEND"), "20270410");
    EXPECT_EQ(run.phoneEvent("Single")->fields.value("REPEAT", "0"), "0");
    EXPECT_EQ(run.outlookEvents().size(), 4);
    EXPECT_EQ(run.phoneEvents().size(), 4);
}

INSTANTIATE_TEST_SUITE_P(Zones, OutlookEventFiles, ::testing::Values("Europe/Berlin", "America/Los_Angeles"),
                         zoneTestName);

TEST(OutlookEventWrites, GoogleOccurrencesBecomeEventsOfTheirOwnAndLeaveTheirSeries)
{
    OutlookCalendarRun run("Europe/Berlin");
    QJsonObject daily = timed("Daily", local(2027, 5, 1, 10), local(2027, 5, 1, 11));
    daily.insert("rrule", "FREQ=DAILY;COUNT=10;INTERVAL=1");
    const qint64 seriesId = run.addEvent(daily);
    HMOutlookDatFileHelper map;
    ASSERT_TRUE(map.writeOutlookEventIdForDeviceEventId(QString::number(seriesId), QStringLiteral("g1@google.com")));
    HMCalendarData data;
    // A moved occurrence: an event of its own, and the series without its day.
    const QVariantMap moved{{"UID", "g1_20270503T080000Z"}, {"parentEventId", "g1"}, {"originalStart", "2027-05-03T10:00:00+02:00"},
                            {"SUBJECT", "Daily, moved"}, {"NSNUMBERALARMTIME", 15}, {"EVENTTZ", "Europe/Berlin"}, {"TYPENUMBER", false},
                            {"NSDATESTARTDATE", QDateTime::fromString(local(2027, 5, 3, 15), Qt::ISODate)},
                            {"NSDATEENDDATE", QDateTime::fromString(local(2027, 5, 3, 16), Qt::ISODate)}};
    const QString movedId = data.handleGoogleUpdateException(moved);
    ASSERT_FALSE(movedId.isEmpty());
    const std::optional<QJsonObject> own = run.outlookEvent(QStringLiteral("Daily, moved"));
    ASSERT_TRUE(own);
    EXPECT_EQ(QString::number(own->value("id").toInteger()), movedId);
    EXPECT_FALSE(own->contains("master"));
    EXPECT_EQ(own->value("alarm").toInteger(), 15);
    EXPECT_EQ(QDateTime::fromString(own->value("start").toString(), Qt::ISODate), QDateTime::fromString(local(2027, 5, 3, 15), Qt::ISODate));
    // A deleted occurrence leaves only the EXDATE: the event imported for it is deleted again.
    const QVariantMap deleted{{"UID", "g1_20270506T080000Z"}, {"parentEventId", "g1"}, {"originalStart", "2027-05-06T10:00:00+02:00"},
                              {"SUBJECT", "Daily"}, {"EVENTTZ", "Europe/Berlin"}, {"TYPENUMBER", false},
                              {"NSDATESTARTDATE", QDateTime::fromString(local(2027, 5, 6, 10), Qt::ISODate)},
                              {"NSDATEENDDATE", QDateTime::fromString(local(2027, 5, 6, 11), Qt::ISODate)}};
    data.handleGoogleDeletedExceptionRecords({deleted});
    const std::optional<QJsonObject> series = run.outlookEvent(QStringLiteral("Daily"));
    ASSERT_TRUE(series);
    EXPECT_EQ(series->value("id").toInteger(), seriesId);
    QStringList removed;
    for (const QJsonValue &day : series->value("exdates").toArray())
        removed.append(QDateTime::fromString(day.toString(), Qt::ISODate).toLocalTime().toString(QStringLiteral("yyyyMMdd HH:mm")));
    EXPECT_EQ(removed, (QStringList{"20270503 10:00", "20270506 10:00"}));
    EXPECT_EQ(run.outlookEvents().size(), 2);
    EXPECT_TRUE(map.getOutlookEventIdForDeviceEventId(QStringLiteral("g1_20270506T080000Z")).isEmpty());
}

// A late series (00:30 in Berlin, the evening before in UTC): Google's start text carries its own
// offset, and its day is not the series' day. A day the series lists already stays listed once.
TEST(OutlookEventWrites, ARemovedGoogleOccurrenceLeavesItsSeriesOnceOnItsOwnDay)
{
    OutlookCalendarRun run("Europe/Berlin");
    QJsonObject late = timed("Late", local(2027, 5, 1, 0, 30), local(2027, 5, 1, 1));
    late.insert("rrule", "FREQ=DAILY;COUNT=10;INTERVAL=1");
    late.insert("exdates", QJsonArray{QDateTime::fromString(local(2027, 5, 4, 0, 30), Qt::ISODate).toUTC().toString(Qt::ISODate)});
    run.addEvent(late);
    HMOutlookDatFileHelper map;
    ASSERT_TRUE(map.writeOutlookEventIdForDeviceEventId(QString::number(run.outlookEvent(QStringLiteral("Late"))->value("id").toInteger()),
                                                        QStringLiteral("g2@google.com")));
    HMCalendarData data;
    const auto cancelled = [](const char *uid, const char *originalStart, const QString &start) {
        return QVariantMap{{"UID", uid}, {"parentEventId", "g2"}, {"originalStart", originalStart}, {"SUBJECT", "Late"},
                           {"EVENTTZ", "Europe/Berlin"}, {"TYPENUMBER", false},
                           {"NSDATESTARTDATE", QDateTime::fromString(start, Qt::ISODate)},
                           {"NSDATEENDDATE", QDateTime::fromString(start, Qt::ISODate).addSecs(1800)}};
    };
    data.handleGoogleDeletedExceptionRecords({cancelled("g2_20270503T223000Z", "2027-05-03T22:30:00Z", local(2027, 5, 4, 0, 30)),
                                              cancelled("g2_20270507T223000Z", "2027-05-07T22:30:00Z", local(2027, 5, 8, 0, 30))});
    const std::optional<QJsonObject> series = run.outlookEvent(QStringLiteral("Late"));
    ASSERT_TRUE(series);
    QStringList removed;
    for (const QJsonValue &day : series->value("exdates").toArray())
        removed.append(QDateTime::fromString(day.toString(), Qt::ISODate).toLocalTime().toString(QStringLiteral("yyyyMMdd HH:mm")));
    removed.sort();
    EXPECT_EQ(removed, (QStringList{"20270504 00:30", "20270508 00:30"}));
    EXPECT_EQ(run.outlookEvents().size(), 1);
}

// An Outlook 2011 profile keeps a calendar map of its own and finds Outlook's event files where 2011
// keeps them (the deletion search's count): events travel both ways, a sync with nothing new sends
// nothing, and edits and deletions on either side reach the other.
TEST(OutlookEventWrites, AnOutlook2011ProfileSyncsBothWaysThroughItsOwnMap)
{
    OutlookCalendarRun run("Europe/Berlin", QStringLiteral("two_way"), QStringLiteral("14"));
    QJsonObject dentist = timed("Dentist", local(2027, 7, 15, 9), local(2027, 7, 15, 10));
    dentist.insert("location", "Main St. 4");
    dentist.insert("alarm", 15);
    const qint64 dentistId = run.addEvent(dentist);
    QJsonObject weekly = timed("Yoga", local(2027, 5, 6, 19), local(2027, 5, 6, 20));
    weekly.insert("rrule", "FREQ=WEEKLY;COUNT=6;BYDAY=TH;INTERVAL=1");
    weekly.insert("exdates", QJsonArray{local(2027, 5, 20, 19)});
    const qint64 yoga = run.addEvent(weekly);
    const QString lunch = run.phone().editRecord(phonepeer::Conduit::Calendar, "add", {},
                                                 phoneTimed(QStringLiteral("Lunch"), localTime(2027, 5, 3, 12), localTime(2027, 5, 3, 13)));
    // The data folder is shared with the other tests of this process: no 2016 map before the run.
    const QString map2016 = QFileInfo(HMOutlookDatFileHelper().calendarFilePath()).dir().filePath(QStringLiteral("calendar-outlook.plist"));
    QFile::remove(map2016);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phoneEvents().size(), 3);
    ASSERT_EQ(run.outlookEvents().size(), 3);
    const std::optional<phonepeer::PhoneRecord> sent = run.phoneEvent("Dentist");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->fields.value("STARTDATE"), "20270715");
    EXPECT_EQ(sent->fields.value("STARTTIME"), "09:00:00");
    EXPECT_EQ(sent->fields.value("LOCATION"), "Main St. 4");
    EXPECT_EQ(sent->fields.value("ALARMTIME"), "15");
    ASSERT_TRUE(run.phoneEvent("Yoga"));
    EXPECT_EQ(run.phoneEvent("Yoga")->fields.value("REPEAT"), "2");
    EXPECT_EQ(run.phoneEvent("Yoga")->fields.value("REPEATEXCEPTIONS"), "20270520");
    ASSERT_TRUE(run.outlookEvent(QStringLiteral("Lunch")));
    EXPECT_EQ(QDateTime::fromString(run.outlookEvent(QStringLiteral("Lunch"))->value("start").toString(), Qt::ISODate),
              localTime(2027, 5, 3, 12));

    // The 2011 map names each phone event once; no 2016 map was made.
    HMOutlookDatFileHelper map;
    EXPECT_EQ(QFileInfo(map.calendarFilePath()).fileName(), QStringLiteral("calendar-outlook14.plist"));
    EXPECT_FALSE(QFile::exists(map2016));
    QStringList mapped = map.getAllDeviceEventIdsInDatFile();
    QStringList onPhone;
    for (const phonepeer::PhoneRecord &record : run.phoneEvents())
        onPhone.append(record.uid);
    mapped.sort();
    onPhone.sort();
    EXPECT_EQ(mapped, onPhone);
    // Outlook's event files lie where the deletion search counts them.
    EXPECT_EQ(HMOutlookSQLiteHelper().getCountOfOutlookCalendarEventsCreatedPriorTo(QDateTime::currentDateTimeUtc().addSecs(60)), 3);

    // The phone's event comes back once; after that a sync sends nothing either way.
    ASSERT_TRUE(run.sync().isSuccess);
    const QJsonArray outlookBefore = run.outlookEvents();
    const qsizetype updates = run.updateRequests();
    ASSERT_TRUE(run.sync().isSuccess);
    EXPECT_EQ(run.updateRequests(), updates) << "a sync with nothing changed sent records";
    EXPECT_EQ(run.outlookEvents(), outlookBefore);
    EXPECT_EQ(run.phoneEvents().size(), 3);

    run.editEvent(yoga, {{"subject", "Yoga class"}});
    QMap<QString, QString> renamed = phoneTimed(QStringLiteral("Lunch with Bo"), localTime(2027, 5, 3, 12), localTime(2027, 5, 3, 13));
    run.phone().editRecord(phonepeer::Conduit::Calendar, "update", lunch, renamed);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_TRUE(run.phoneEvent("Yoga class"));
    EXPECT_FALSE(run.phoneEvent("Yoga"));
    EXPECT_TRUE(run.outlookEvent(QStringLiteral("Lunch with Bo")));
    EXPECT_FALSE(run.outlookEvent(QStringLiteral("Lunch")));
    EXPECT_EQ(run.phoneEvents().size(), 3);
    EXPECT_EQ(run.outlookEvents().size(), 3);

    run.deleteEvent(dentistId);
    run.phone().editRecord(phonepeer::Conduit::Calendar, "delete", lunch);
    ASSERT_TRUE(run.sync().isSuccess);
    ASSERT_EQ(run.phoneEvents().size(), 1);
    EXPECT_TRUE(run.phoneEvent("Yoga class"));
    ASSERT_EQ(run.outlookEvents().size(), 1);
    EXPECT_EQ(run.outlookEvents().first().toObject().value("id").toInteger(), yoga);
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceEventIdsInDatFile(), QStringList{run.phoneEvent("Yoga class")->uid});
}
