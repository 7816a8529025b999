// The other side's events written to Outlook: a record the calendar map pairs with an Outlook event
// (or one equal to an unpaired Outlook event) updates that event; any other becomes a new event, made
// by one create script followed by its zone and attendee scripts, or, for a series with exceptions,
// imported from an iCalendar file (+OutlookIcs). The incoming record always wins.
//
// The map is read once per data source. Each new pair is appended to the confirmed-pairs file beside
// the map the moment Outlook answers, and joins the map with one write when the page is saved, or at
// the next run after a kill. An event Outlook made whose pair was lost is found again by the duplicate
// test at the next sync and merged, never added twice.

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "foundation/NSString+stripHtml.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <QTimeZone>

#include <algorithm>
#include <tuple>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

using calendaroutlook::application;
using calendaroutlook::isDate;

namespace {

bool isPhoneMethod()
{
    const QString method = platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting"));
    return method == u"wifi" || method == u"adb";
}

void showProgress(const QString &text)
{
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text);
}

QString errorText(const std::optional<NSAppleScriptError> &error)
{
    return error ? QStringLiteral("%1 %2").arg(error->number).arg(error->message) : QStringLiteral("(null)");
}

// The last second of the series' last day in the event's zone, in UTC. The record's end date is that
// day at local midnight, which as UNTIL would leave the last day's occurrence out; the whole day
// counts, as it does for the folder store, and a reader that keeps the start's offset across a
// daylight-saving change still reaches the last occurrence.
QDateTime endOfLastDay(const QVariantMap &record)
{
    const QDateTime repeatEnd = record.value(QStringLiteral("NSDATEREPEATEND")).toDateTime();
    if (!repeatEnd.isValid() || !isDate(record.value(QStringLiteral("NSDATESTARTDATE"))))
        return QDateTime();
    QTimeZone zone(record.value(QStringLiteral("EVENTTZ")).toString().toUtf8());
    if (!zone.isValid())
        zone = QTimeZone::systemTimeZone();
    const QDate lastDay = repeatEnd.toTimeZone(QTimeZone::systemTimeZone()).date();
    return QDateTime(lastDay.addDays(1), QTime(0, 0), zone).addSecs(-1).toUTC();
}

// The record with its rule's UNTIL moved to the end of the series' last day when it lies before it.
// Google's rules carry their own exact end and are left as they are.
QVariantMap withLastDayKept(const QVariantMap &record)
{
    const QString rule = record.value(QStringLiteral("RRULE")).toString();
    const qsizetype at = rule.indexOf(QLatin1String("UNTIL="));
    const QDateTime last = endOfLastDay(record);
    if (at < 0 || !last.isValid() || GlobalVariables::getIsGoogleDirect())
        return record;
    const qsizetype semicolon = rule.indexOf(u';', at);
    const qsizetype length = (semicolon < 0 ? rule.size() : semicolon) - at;
    const QString value = rule.mid(at + 6, length - 6);
    QDateTime until = QDateTime::fromString(value, QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    until.setTimeZone(QTimeZone::utc());
    if (until.isValid() && until >= last)
        return record;
    QVariantMap kept = record;
    kept.insert(QStringLiteral("RRULE"),
                QString(rule).replace(at, length, QStringLiteral("UNTIL=") + last.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"))));
    return kept;
}

// An all-day event's start at the midnight of its day, and its end whole days later (a day more
// outside the phone methods, whose end names the last day itself).
std::pair<QDateTime, QDateTime> allDayBounds(HMDateUtilities &utilities, const QVariantMap &record)
{
    const QDateTime start = utilities.dateAtMidnightForDate(record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime());
    const qint64 days = qint32(start.secsTo(record.value(QStringLiteral("NSDATEENDDATE")).toDateTime())) / 86400;
    return {start, start.addSecs(days * 86400 + (isPhoneMethod() ? 0 : 86400))};
}

// The starts and ends an event Outlook made from the record can have: the record's own; an all-day
// event's whole days; and a zoned event's times as the create script alone leaves them, its wall-clock
// times in the event's zone read in the device's, when the sync ended before the zone script ran.
QList<std::pair<QDateTime, QDateTime>> outlookMadeBounds(HMDateUtilities &utilities, const QVariantMap &record)
{
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QDateTime end = record.value(QStringLiteral("NSDATEENDDATE")).toDateTime();
    QList<std::pair<QDateTime, QDateTime>> bounds{{start, end}};
    if (boolForKey(record, QStringLiteral("TYPENUMBER"))) {
        bounds.append(allDayBounds(utilities, record));
        return bounds;
    }
    const QTimeZone zone(HMCalendarData::outlookTimezoneNameFromTimeZoneString(record.value(QStringLiteral("EVENTTZ"))).toUtf8());
    if (!zone.isValid())
        return bounds;
    const auto asWritten = [&zone](const QDateTime &moment) {
        const QDateTime wallClock = moment.toTimeZone(zone);
        return QDateTime(wallClock.date(), wallClock.time(), QTimeZone::systemTimeZone());
    };
    bounds.append({asWritten(start), asWritten(end)});
    return bounds;
}

} // namespace

// ---- Applying one record ---------------------------------------------------------------------------

qint64 HMCalendarData::outlookCommandAction(qint32, quint64, quint64, const QVariantMap &given, qint64)
{
    const QVariantMap record = withLastDayKept(given);
    // Outlook went away earlier in this page: the rest waits for the other side to send it again.
    if (m_outlookGoneDuringApply)
        return 0;
    ensureOutlookHelpers();
    if (!isDate(record.value(QStringLiteral("NSDATESTARTDATE"))) || !isDate(record.value(QStringLiteral("NSDATEENDDATE"))))
        return 1;
    if (m_profile && m_profile->outlookCalendarFolderSelection().isEmpty())
        m_outlookEvents->outlook().setDefaultOutlookCalendarFolder();
    ++m_recordCounter;
    showProgress((GlobalVariables::getIsGoogleDirect() ? QStringLiteral("Reading Google Events %1")
                                                       : QStringLiteral("Reading Quillpad Events %1"))
                     .arg(m_recordCounter));
    const QString uid = record.value(QStringLiteral("UID")).toString();
    if (uid.isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Unique ID field not found. Aborting AddUpdateContact"));
        return 1;
    }
    const QString outlookId = m_outlookEvents->outlookIdToApply(uid, QLatin1StringView("event"),
        [&] { return isOutlookDuplicate(record); });
    if (!outlookId.isEmpty())
        updateOutlookEventWithUniqueId(outlookId, record);
    else
        addNewOutlookEventWithDictionary(record);
    return m_outlookGoneDuringApply ? 0 : 2;
}

QString HMCalendarData::outlookIdForDeviceId(const QString &deviceId)
{
    ensureOutlookHelpers();
    return m_outlookEvents->outlookIdForDeviceId(deviceId);
}

QString HMCalendarData::deviceIdForGoogleEventId(const QString &googleEventId)
{
    ensureOutlookHelpers();
    return m_outlookEvents->deviceIdForGoogleEventId(googleEventId);
}

// The pair is on disk (the confirmed-pairs file) before the next record is applied.
void HMCalendarData::keepOutlookEventPair(const QString &outlookId, const QString &deviceId)
{
    ensureOutlookHelpers();
    m_outlookEvents->keepAppliedPair(outlookId, deviceId);
}

void HMCalendarData::failOutlookApply(const QString &reason)
{
    ensureOutlookHelpers();
    m_outlookEvents->fail(reason);
}

// An error that says Outlook is gone ends the page; a refusal is the script's own.
bool HMCalendarData::noteOutlookGone(const std::optional<NSAppleScriptError> &error)
{
    if (!error || !error->isApplicationGone())
        return false;
    if (!m_outlookGoneDuringApply)
        failOutlookApply(QStringLiteral("Outlook did not answer while events were written (%1); the other side sends them again.")
                             .arg(error->number));
    m_outlookGoneDuringApply = true;
    return true;
}

NSAppleEventDescriptor HMCalendarData::runOutlookScript(const QString &script, std::optional<NSAppleScriptError> &error,
                                                        bool writes)
{
    error.reset();
    if (m_outlookGoneDuringApply) {
        error = NSAppleScriptError{-609, QStringLiteral("Outlook is gone."), QString(), QString()};
        return NSAppleEventDescriptor();
    }
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    if (writes) {
        ensureOutlookHelpers();
        m_outlookEvents->noteWrite(!error);
    }
    noteOutlookGone(error);
    return result;
}

platform::Status HMCalendarData::syncAppliedChangesToDisk()
{
    if (!GlobalVariables::getIsOutlookSync())
        return HMBaseCalendarData::syncAppliedChangesToDisk();
    ensureOutlookHelpers();
    return m_outlookEvents->commitAppliedPairs();
}

QString HMCalendarData::chosenOutlookCalendar() const
{
    const QString selection = m_profile ? m_profile->outlookCalendarFolderSelection() : QString();
    if (selection.isEmpty() || selection == u"allFolders" || !HMOutlookSQLiteHelper::isDecimalId(selection))
        return QString();
    return selection;
}

QString HMCalendarData::outlookDateText(const QDateTime &date)
{
    return date.isValid() ? appleScriptDateFormatter().format(date) : QStringLiteral("(null)");
}

void HMCalendarData::reportOutlookWriteError(const QVariantMap &record)
{
    ensureOutlookHelpers();
    m_outlookEvents->reportWriteError(record);
}

// ---- The duplicate test ----------------------------------------------------------------------------

void HMCalendarData::buildOutlookDupeCache()
{
    ensureOutlookHelpers();
    m_outlookDupeCacheBuilt = true;
    showProgress(QStringLiteral("Building list of Outlook records (this may take a minute)"));
    const QString script =
        HMOutlookSQLiteHelper::propertiesListingScript(HMOutlookSQLiteHelper::Kind::Events, chosenOutlookCalendar());
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = runOutlookScript(script, error, false);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_outlookEvents->forEachUnpairedItem(result, [this, &now](const QString &id, const NSAppleEventDescriptor &item) {
        const QDateTime start =
            dateFromEventDescriptor(item.descriptorForKeyword(platform::fourCharCode("offs"))).value_or(now);
        const QDateTime end = dateFromEventDescriptor(item.descriptorForKeyword(platform::fourCharCode("endT"))).value_or(now);
        const QString subject = item.descriptorForKeyword(platform::fourCharCode("subj")).stringValue();
        m_outlookDupeCheckDictionary.insert(id, QVariantList{subject, start, end});
        m_outlookDupeIndex.insert({start.toMSecsSinceEpoch(), end.toMSecsSinceEpoch()}, id);
    });
}

// The cache is indexed by start and end, so each test costs the same whatever Outlook holds; the
// first match in listing order is the answer. Ids the deletions removed are no longer matches, nor is
// an event once it matched: two records alike in title and dates (repeated titles differing in place)
// would otherwise both be merged into one event, and one of them lost.
QString HMCalendarData::isOutlookDuplicate(const QVariantMap &record)
{
    if (!m_outlookDupeCacheBuilt)
        buildOutlookDupeCache();
    const QVariant start = record.value(QStringLiteral("NSDATESTARTDATE"));
    const QVariant end = record.value(QStringLiteral("NSDATEENDDATE"));
    if (!isDate(start) || !isDate(end))
        return QString();
    const QString subject = stringForKey(QStringLiteral("SUBJECT"), record);
    for (const auto &[from, to] : outlookMadeBounds(dateUtilities(), record)) {
        QList<QString> ids = m_outlookDupeIndex.values({from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch()});
        std::reverse(ids.begin(), ids.end());
        for (const QString &id : std::as_const(ids)) {
            const QVariantList entry = m_outlookDupeCheckDictionary.value(id).toList();
            if (entry.size() == 3 && entry.at(0).toString().compare(subject, Qt::CaseInsensitive) == 0) {
                m_outlookDupeCheckDictionary.remove(id);
                return id;
            }
        }
    }
    return QString();
}

// ---- Adding an event -------------------------------------------------------------------------------

HMCalendarData::OutlookNewEvent HMCalendarData::planNewOutlookEvent(const QVariantMap &record)
{
    OutlookNewEvent plan;
    DDLogInfo(QStringLiteral("allCategories %1").arg(record.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList().join(u',')));
    const QStringList fragments = outlookCategoryFragments(record, true);
    const QString zoneName = outlookTimezoneNameFromTimeZoneString(record.value(QStringLiteral("EVENTTZ")));
    const auto zone = platform::TimeZone::named(zoneName);
    appleScriptDateFormatter().setTimeZone(record.contains(QStringLiteral("EVENTTZ")) && zone ? *zone
                                                                                               : platform::TimeZone::systemTimeZone());
    if (!isDate(record.value(QStringLiteral("NSDATESTARTDATE"))))
        return plan;
    plan.start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    plan.end = record.value(QStringLiteral("NSDATEENDDATE")).toDateTime();
    plan.allDay = boolForKey(record, QStringLiteral("TYPENUMBER"));
    if (plan.allDay)
        std::tie(plan.start, plan.end) = allDayBounds(dateUtilities(), record);
    const bool repeats = record.value(QStringLiteral("REPEAT")).toLongLong() != 0;
    const QString recurrence = repeats && record.contains(QStringLiteral("RRULE"))
        ? outlookRecurrencePropertiesStringFromRRule(record.value(QStringLiteral("RRULE")).toString(), plan.start)
        : QString();
    const bool outside = repeats ? isRuleEndBeforeWindow(record.value(QStringLiteral("RRULE")).toString())
                                 : (plan.end.isValid() && plan.end < dateRangeStartingDate());
    const QString subject = stringForKey(QStringLiteral("SUBJECT"), record);
    const QString line = QStringLiteral("%1 (%2 - %3) %4")
                             .arg(subject, dateUtilities().localDateTimeStringFromDate(plan.start),
                                  dateUtilities().localDateTimeStringFromDate(plan.end),
                                  repeats ? QStringLiteral("(RECURRING)") : QStringLiteral("(NOT RECURRING)"));
    if (outside) {
        DDLogInfo(QStringLiteral("Device event is outside date range: ") + line);
        plan.road = OutlookNewEvent::Road::Outside;
        return plan;
    }
    DDLogInfo(QStringLiteral("Updating Outlook Event: ") + line);
    if (repeats && record.contains(QStringLiteral("NSARRAYEXCEPTIONS"))) {
        DDLogInfo(QStringLiteral("Event has exceptions"));
        plan.road = OutlookNewEvent::Road::Import;
        return plan;
    }
    plan.script = outlookCreateScript(plan, record, repeats ? recurrence : QString(), fragments);
    plan.road = OutlookNewEvent::Road::Script;
    return plan;
}

// The create script: the date lines, the properties record (in the chosen calendar when there is one).
QString HMCalendarData::outlookCreateScript(const OutlookNewEvent &plan, const QVariantMap &record, const QString &recurrence,
                                            const QStringList &fragments)
{
    const auto [hasReminder, reminderTime] = outlookReminderTexts(record, plan.start);
    const QString folder = chosenOutlookCalendar();
    QString script =
        QStringLiteral("set startTime to (date\"%1\")\nset endTime to (date \"%2\")\ntell application \"%3\"\nset newEvent to "
                       "make new calendar event%4 with properties {subject:\"%5\", start time:startTime, end time:endTime, "
                       "has reminder:\"%6\", reminder time:\"%7\", all day flag:%8, plain text content:\"%9\", location:\"%10\", "
                       "free busy status:%11, is private:%12")
            .arg(outlookDateText(plan.start), outlookDateText(plan.end), application(),
                 folder.isEmpty() ? QString() : QStringLiteral(" in calendar id ") + folder,
                 escapedString(stringForKey(QStringLiteral("SUBJECT"), record)), hasReminder, reminderTime,
                 plan.allDay ? QStringLiteral("true") : QStringLiteral("false"), escapedString(stringForKey(QStringLiteral("NOTE"), record)),
                 escapedString(stringForKey(QStringLiteral("LOCATION"), record)), outlookBusyWord(record, plan.allDay),
                 outlookPrivateText(record));
    if (!recurrence.isNull())
        script += QStringLiteral(", ") + recurrence;
    script += categoryPropertyText(script, fragments);
    return script + QStringLiteral("}\nend tell");
}

// The category property of the create script, closing the record but for its last brace.
QString HMCalendarData::categoryPropertyText(const QString &script, const QStringList &fragments)
{
    const bool endsWithComma = script.endsWith(QLatin1String(", "));
    QString text = endsWithComma ? QStringLiteral("category:{") : QStringLiteral(", category:{");
    for (const QString &fragment : fragments) {
        if (!fragment.isEmpty() && fragment != u" ")
            text += fragment;
    }
    if (text.endsWith(QLatin1String(", ")))
        text.chop(2);
    text += QStringLiteral("}");
    return text;
}

// An UNTIL with a ";" after it ending before the window start puts a series outside the window.
bool HMCalendarData::isRuleEndBeforeWindow(const QString &rule)
{
    const qsizetype at = rule.indexOf(QLatin1String("UNTIL="));
    if (at < 0 || at + 6 >= rule.size())
        return false;
    const QString rest = rule.mid(at + 6);
    const qsizetype semicolon = rest.indexOf(u';');
    if (semicolon < 0)
        return false;
    const platform::DateFormatter formatter(QStringLiteral("yyyyMMdd'T'HHmmss"), platform::Locale(QStringLiteral("en_US_POSIX")),
                                            platform::TimeZone::systemTimeZone());
    const auto until = formatter.parse(rest.left(semicolon).remove(u'Z'));
    return until && until->isValid() && *until < dateRangeStartingDate();
}

void HMCalendarData::addNewOutlookEventWithDictionary(const QVariantMap &record)
{
    const OutlookNewEvent plan = planNewOutlookEvent(record);
    if (plan.road == OutlookNewEvent::Road::Import) {
        makeIcsFileFromDictionary(record);
        return;
    }
    if (plan.road != OutlookNewEvent::Road::Script)
        return;
    DDLogInfo(QStringLiteral("startDate %1").arg(plan.start.toString(Qt::ISODate)));
    DDLogInfo(QStringLiteral("endDate %1").arg(plan.end.toString(Qt::ISODate)));
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = runOutlookScript(plan.script, error, true);
    const QString newId = m_outlookEvents->outlook().getUniqueIdOfMostRecentlyAddedEvent(result);
    DDLogInfo(QStringLiteral("errorInfo %1").arg(errorText(error)));
    if (error)
        DDLogInfo(QStringLiteral("Update event command: %1").arg(plan.script));
    DDLogInfo(QStringLiteral("success??? %1").arg(error ? 0 : 1));
    if (error) {
        DDLogInfo(QStringLiteral("createEventString %1").arg(plan.script));
        reportOutlookWriteError(record);
        if (HMOutlookSQLiteHelper::isDecimalId(newId)) {
            std::optional<NSAppleScriptError> removal;
            const NSAppleEventDescriptor removed = runOutlookScript(
                QStringLiteral("tell application \"%1\"\ndelete calendar event id \"%2\"\nend tell").arg(application(), newId), removal, true);
            if (!removal)
                DDLogInfo(QStringLiteral("Removing bogus event!"));
        }
        return;
    }
    DDLogInfo(QStringLiteral("uid: %1 qnsId: %2").arg(newId, record.value(QStringLiteral("UID")).toString()));
    if (newId.isEmpty())
        return;
    keepOutlookEventPair(newId, record.value(QStringLiteral("UID")).toString());
    ++m_eventsAddedToOutlookOnThisSync;
    // Only a decimal id goes into a script: the reply is Outlook's, not ours.
    if (HMOutlookSQLiteHelper::isDecimalId(newId))
        runCreatedEventScripts(newId, plan, record);
}

void HMCalendarData::runCreatedEventScripts(const QString &newId, const OutlookNewEvent &plan, const QVariantMap &record)
{
    setNewEventTimeZone(newId, plan, record);
    if (m_profile && m_profile->shouldSyncAttendees() == u"no")
        return;
    DDLogInfo(QStringLiteral("handle attendees"));
    addOutlookAttendees(newId, record);
}

void HMCalendarData::setNewEventTimeZone(const QString &newId, const OutlookNewEvent &plan, const QVariantMap &record)
{
    std::optional<NSAppleScriptError> error;
    const platform::TimeZone system = platform::TimeZone::systemTimeZone();
    if (plan.allDay) {
        const QString name = outlookTimezoneNameFromSysemTimezoneName();
        if (name.isEmpty())
            return;
        const QString zone = QStringLiteral("timezone:{name:\"%1\", offset:%2}").arg(escapedString(name)).arg(system.secondsFromGmt());
        const QString first = QStringLiteral("set startTime to (date\"%1\")\nset endTime to (date \"%2\")\ntell application \"%3\"\nset "
                                             "the properties of calendar event id \"%4\" to {%5, start time:startTime, end time:endTime}\nend tell")
                                  .arg(outlookDateText(plan.start), outlookDateText(plan.end), application(), newId, zone);
        DDLogInfo(QStringLiteral("modifyEventString[1] %1").arg(first));
        runOutlookScript(first, error, true);
        DDLogInfo(QStringLiteral("errorInfo %1").arg(errorText(error)));
        appleScriptDateFormatter().setTimeZone(system);
        const QString second = QStringLiteral("set startTime to (date \"%1\")\nset endTime to (date \"%2\")\ntell application \"%3\"\nset "
                                              "the properties of calendar event id \"%4\" to {start time:startTime, end time:endTime}\nend tell")
                                   .arg(outlookDateText(plan.start), outlookDateText(plan.end), application(), newId);
        DDLogInfo(QStringLiteral("modifyEventString[2] %1").arg(second));
        runOutlookScript(second, error, true);
        DDLogInfo(QStringLiteral("errorInfo %1").arg(errorText(error)));
        return;
    }
    if (!record.contains(QStringLiteral("EVENTTZ")))
        return;
    const QString name = outlookTimezoneNameFromTimeZoneString(record.value(QStringLiteral("EVENTTZ")));
    const auto zone = platform::TimeZone::named(name);
    if (!zone)
        return;
    const QString zoneText = QStringLiteral("timezone:{name:\"%1\", offset:%2}").arg(escapedString(name)).arg(zone->secondsFromGmt());
    DDLogInfo(QStringLiteral("timeZoneString: %1").arg(zoneText));
    if (zone->secondsFromGmt() == system.secondsFromGmt())
        return;
    const QString script = QStringLiteral("tell application \"%1\"\nset the properties of calendar event id %2 to {%3}\nend tell")
                               .arg(application(), newId, zoneText);
    DDLogInfo(QStringLiteral("modifyTimeZoneString %1").arg(script));
    runOutlookScript(script, error, true);
    DDLogInfo(QStringLiteral("errorInfo %1").arg(errorText(error)));
}

// Names and addresses are escaped: a quote in a name broke the script, and a crafted name ran as code.
QString HMCalendarData::makeAttendeeString(const QString &name, const QString &email, const QString &outlookId)
{
    return QStringLiteral("tell application \"%1\"\nmake new required attendee at calendar event id %2 with properties "
                          "{type:required attendee type, address type:contact attendee, class:resource attendee, email "
                          "address:{type:unresolved address, name:\"%3\", address:\"%4\"}}\nend tell")
        .arg(application(), outlookId, escapedString(name), escapedString(email));
}

void HMCalendarData::addOutlookAttendees(const QString &outlookId, const QVariantMap &record)
{
    const QVariant attendees = record.value(QStringLiteral("ATTENDEES"));
    const bool hasAttendees = attendees.typeId() == QMetaType::QString && !QString(attendees.toString()).remove(u'\t').isEmpty();
    DDLogInfo(QStringLiteral("hasAttendees %1").arg(hasAttendees ? 1 : 0));
    if (!hasAttendees)
        return;
    const QStringList names = attendees.toString().split(u'\t');
    const QVariant emails = record.value(QStringLiteral("EMAILS"));
    const QStringList addresses = emails.typeId() == QMetaType::QString ? emails.toString().split(u'\t') : QStringList();
    for (qsizetype index = 0; index < names.size() && !m_outlookGoneDuringApply; ++index) {
        const QString script = makeAttendeeString(names.at(index), addresses.value(index), outlookId);
        DDLogInfo(QStringLiteral("modifyEventString[4] %1").arg(script));
        std::optional<NSAppleScriptError> error;
        runOutlookScript(script, error, true);
        DDLogInfo(QStringLiteral("errorInfo %1").arg(errorText(error)));
    }
}

// ---- Updating an event -----------------------------------------------------------------------------

// A series whose UNTIL lies before the window, or a single event that ended before it, is left alone;
// a series with exceptions goes to the iCalendar import (true, with nothing more to do here).
bool HMCalendarData::isOutlookUpdateSkipped(const QVariantMap &record, bool &recurring)
{
    QString rule = record.value(QStringLiteral("RRULE")).toString();
    const QVariant start = record.value(QStringLiteral("NSDATESTARTDATE"));
    const QVariant end = record.value(QStringLiteral("NSDATEENDDATE"));
    if (!rule.isEmpty()) {
        if (GlobalVariables::getIsGoogleDirect() && rule.contains(QLatin1String("COUNT=")))
            rule = fixOutlookRRule(rule + QStringLiteral(";;"), start.toDateTime());
        if (isRuleEndBeforeWindow(rule))
            return true;
        if (record.contains(QStringLiteral("NSARRAYEXCEPTIONS"))) {
            DDLogInfo(QStringLiteral("New event update has exceptions"));
            makeIcsFileFromDictionary(record);
            return true;
        }
        recurring = true;
        return false;
    }
    return (start.isValid() || end.isValid()) && isDate(end) && end.toDateTime() < dateRangeStartingDate();
}

bool HMCalendarData::outlookNoteChanged(const QString &outlookNote, const QVariantMap &record)
{
    if (outlookNote.isNull() || !record.contains(QStringLiteral("NOTE")))
        return true;
    const auto cleaned = [](QString text, bool dropBreaks) {
        text.remove(u'\r');
        if (dropBreaks)
            text.remove(QStringLiteral("<br>"));
        while (text.startsWith(u'\n'))
            text.remove(0, 1);
        while (text.endsWith(u'\n'))
            text.chop(1);
        return stripHtml(text);
    };
    return cleaned(record.value(QStringLiteral("NOTE")).toString(), false) != cleaned(outlookNote, true);
}

QString HMCalendarData::outlookUpdateScript(const QString &outlookId, const QVariantMap &record, bool updateNote)
{
    QString properties = propertiesStringFromEventDictionary(record, updateNote);
    const bool hasDates = record.contains(QStringLiteral("NSDATESTARTDATE")) || record.contains(QStringLiteral("NSDATEENDDATE"));
    if (properties.endsWith(u'}')) {
        properties.chop(1);
        properties += hasDates ? QStringLiteral(", start time:startTime, end time:endTime}") : QStringLiteral("}");
    }
    if (!hasDates)
        return QStringLiteral("tell application \"%1\"\nset the properties of calendar event id \"%2\" to %3\nend tell")
            .arg(application(), outlookId, properties);
    return QStringLiteral("set startTime to (date\"%1\")\nset endTime to (date \"%2\")\ntell application \"%3\"\nset the "
                          "properties of calendar event id \"%4\" to %5\nend tell")
        .arg(outlookDateText(record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime()),
             outlookDateText(record.value(QStringLiteral("NSDATEENDDATE")).toDateTime()), application(), outlookId, properties);
}

void HMCalendarData::updateOutlookEventWithUniqueId(const QString &outlookId, const QVariantMap &given)
{
    if (!HMOutlookSQLiteHelper::isDecimalId(outlookId)) {
        DDLogInfo(QStringLiteral("Not an Outlook event id, nothing sent: %1").arg(outlookId));
        return;
    }
    bool recurring = false;
    if (isOutlookUpdateSkipped(given, recurring))
        return;
    QVariantMap record = given;
    const bool allDay = boolForKey(record, QStringLiteral("TYPENUMBER"));
    const bool hasDates = record.contains(QStringLiteral("NSDATESTARTDATE")) || record.contains(QStringLiteral("NSDATEENDDATE"));
    if (allDay && hasDates) {
        const auto [start, end] = allDayBounds(dateUtilities(), record);
        record.insert(QStringLiteral("NSDATESTARTDATE"), start);
        record.insert(QStringLiteral("NSDATEENDDATE"), end);
    }
    appleScriptDateFormatter().setTimeZone(platform::TimeZone::systemTimeZone());
    const OutlookEventNow now = readOutlookEventNow(outlookId);
    const bool noteChanged = outlookNoteChanged(now.note, record);
    if (const QString folder = chosenOutlookCalendar(); isDeviceReread() && !folder.isEmpty()) {
        std::optional<NSAppleScriptError> moveError;
        runOutlookScript(QStringLiteral("tell application \"%1\"\nmove calendar event id %2 to calendar id %3\nend tell")
                             .arg(application(), outlookId, folder),
                         moveError, true);
    }
    const QString script = outlookUpdateScript(outlookId, record, noteChanged);
    DDLogInfo(QStringLiteral("modifyEventString %1").arg(script));
    std::optional<NSAppleScriptError> error;
    runOutlookScript(script, error, true);
    if (error && !m_outlookGoneDuringApply)
        reportOutlookWriteError(record);
    if (allDay)
        updateAllDayZone(outlookId, record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(),
                         record.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), record);
    if (!(m_profile && m_profile->shouldSyncAttendees() == u"no"))
        updateOutlookAttendees(outlookId, record);
    updateOutlookRecurrence(outlookId, record, now, recurring);
}

void HMCalendarData::updateAllDayZone(const QString &outlookId, const QDateTime &start, const QDateTime &end,
                                      const QVariantMap &record)
{
    const QString name = outlookTimezoneNameFromSysemTimezoneName();
    const auto zone = platform::TimeZone::named(name);
    if (name.isEmpty() || !zone)
        return;
    const QString zoneText = QStringLiteral("timezone:{name:\"%1\", offset:%2}").arg(escapedString(name)).arg(zone->secondsFromGmt());
    DDLogInfo(QStringLiteral("timeZoneString %1").arg(zoneText));
    appleScriptDateFormatter().setTimeZone(platform::TimeZone::systemTimeZone());
    std::optional<NSAppleScriptError> error;
    runOutlookScript(QStringLiteral("tell application \"%1\"\nset the properties of calendar event id \"%2\" to {%3}\nend tell")
                         .arg(application(), outlookId, zoneText),
                     error, true);
    const QString times = QStringLiteral("set startTime to (date \"%1\")\nset endTime to (date \"%2\")\ntell application \"%3\"\nset the "
                                         "properties of calendar event id \"%4\" to {start time:startTime, end time:endTime}\nend tell")
                              .arg(outlookDateText(start), outlookDateText(end), application(), outlookId);
    DDLogInfo(QStringLiteral("modifyEventString[3] %1").arg(times));
    runOutlookScript(times, error, true);
    if (error && !m_outlookGoneDuringApply)
        reportOutlookWriteError(record);
}

void HMCalendarData::updateOutlookAttendees(const QString &outlookId, const QVariantMap &record)
{
    const QVariant attendees = record.value(QStringLiteral("ATTENDEES"));
    if (attendees.typeId() != QMetaType::QString || QString(attendees.toString()).remove(u'\t').isEmpty())
        return;
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor answer = runOutlookScript(
        QStringLiteral("tell application \"%1\"\nset theAttendees to the properties of every attendee of calendar event id %2\nreturn "
                       "theAttendees\nend tell")
            .arg(application(), outlookId),
        error, false);
    if (error)
        return; // what Outlook holds is unknown: nothing is deleted or doubled
    QStringList present;
    for (qsizetype i = 1; i <= answer.numberOfItems(); ++i) {
        const NSAppleEventDescriptor attendee = answer.descriptorAtIndex(i);
        for (qsizetype j = 1; j <= attendee.numberOfItems(); ++j) {
            const QString address = attendee.descriptorAtIndex(j).descriptorForKeyword(platform::fourCharCode("radd")).stringValue();
            if (!address.isEmpty())
                present.append(address);
        }
    }
    const QStringList names = attendees.toString().split(u'\t');
    const QVariant emailValue = record.value(QStringLiteral("EMAILS"));
    const QStringList emails = emailValue.typeId() == QMetaType::QString ? emailValue.toString().split(u'\t') : QStringList();
    QString deletions;
    for (qsizetype position = present.size(); position >= 1; --position) {
        if (!emails.contains(present.at(position - 1)))
            deletions += QStringLiteral("delete required attendee %1 of calendar event id %2\n").arg(position).arg(outlookId);
    }
    if (!deletions.isEmpty())
        runOutlookScript(QStringLiteral("tell application \"%1\"\n").arg(application()) + deletions + QStringLiteral("end tell"), error, true);
    for (qsizetype index = 0; index < emails.size() && !m_outlookGoneDuringApply; ++index) {
        if (present.contains(emails.at(index)))
            continue;
        DDLogInfo(QStringLiteral("Adding attendees"));
        const QString script = makeAttendeeString(names.value(index), emails.at(index), outlookId);
        runOutlookScript(script, error, true);
        if (error)
            DDLogInfo(QStringLiteral("modifyEventString[5] %1").arg(script));
    }
}
