// Google direct sync's changed and deleted occurrences written to Outlook: a changed occurrence is
// imported as an event of its own from an iCalendar file made of its series' calendar header, and the
// series is imported again with that day among its EXDATEs; a deleted occurrence is imported that way
// and the imported event deleted at once, which leaves the series without that day (unless the series
// lists that day as removed already).

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"

#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookTempFile.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <QTimeZone>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScriptError;

using calendaroutlook::application;

namespace {

QString localText(const QDateTime &date, const char *pattern)
{
    return date.isValid() ? date.toTimeZone(QTimeZone::systemTimeZone()).toString(QLatin1String(pattern)) : QString();
}

// The occurrence's scheduled start as written: "originalStart" when it is text, else the start.
QString scheduledStartText(const QVariantMap &record)
{
    const QVariant original = record.value(QStringLiteral("originalStart"));
    if (original.typeId() == QMetaType::QString)
        return original.toString();
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QString text = localText(start, "yyyy-MM-dd'T'HH:mm:ss");
    return text.isEmpty() ? localText(start, "yyyy-MM-dd") : text;
}

// Where the series' own VEVENT ends in an Outlook event's iCalendar text: at the first VEVENT without a
// RECURRENCE-ID (the others are its changed occurrences); -1 when there is none.
qsizetype seriesEventEnd(const QString &text, qsizetype &begin)
{
    qsizetype from = 0;
    for (;;) {
        begin = text.indexOf(QLatin1String("BEGIN:VEVENT"), from);
        const qsizetype end = begin < 0 ? -1 : text.indexOf(QLatin1String("END:VEVENT"), begin);
        if (end < 0)
            return -1;
        if (!QStringView(text).mid(begin, end - begin).contains(QLatin1String("RECURRENCE-ID")))
            return end;
        from = end;
    }
}

// The scheduled start's day as "yyyyMMdd": a date as it stands, a date-time in `zone`.
QString scheduledDay(const QString &scheduledStart, const QTimeZone &zone)
{
    if (!scheduledStart.contains(u'T'))
        return QDate::fromString(scheduledStart, Qt::ISODate).toString(QStringLiteral("yyyyMMdd"));
    QDateTime start = QDateTime::fromString(scheduledStart, Qt::ISODate);
    if (start.isValid() && start.timeSpec() == Qt::LocalTime)
        start = QDateTime(start.date(), start.time(), QTimeZone::systemTimeZone());
    return start.isValid() ? start.toTimeZone(zone).toString(QStringLiteral("yyyyMMdd")) : QString();
}

// The series' own VEVENT in an Outlook event's text: its lines, where it ends, its DTSTART line's
// parameters and value, and the scheduled start's day as that DTSTART counts days (in UTC for a
// value in UTC, else in the device's zone). Not valid when there is no series, DTSTART or day.
struct SeriesDay
{
    QStringList lines;
    qsizetype end = -1;
    QString parameters;
    QString value;
    QString day;
    bool isValid() const { return end >= 0 && !day.isEmpty(); }
};

SeriesDay seriesDay(const QString &text, const QString &scheduledStart)
{
    SeriesDay series;
    qsizetype begin = -1;
    const qsizetype end = seriesEventEnd(text, begin);
    if (end < 0)
        return series;
    series.lines = text.mid(begin, end - begin).remove(u'\r').split(u'\n');
    const auto dtstart = std::find_if(series.lines.cbegin(), series.lines.cend(), [](const QString &line) {
        return line.startsWith(u"DTSTART;") || line.startsWith(u"DTSTART:");
    });
    if (dtstart == series.lines.cend() || !dtstart->contains(u':'))
        return series;
    series.parameters = dtstart->section(u':', 0, 0).mid(7);
    series.value = dtstart->section(u':', 1);
    series.day = scheduledDay(scheduledStart, series.value.endsWith(u'Z') ? QTimeZone::utc() : QTimeZone::systemTimeZone());
    series.end = end;
    return series;
}

// The series' text lists the scheduled start's day among its removed days.
bool listsRemovedDay(const QString &text, const QString &scheduledStart)
{
    const SeriesDay series = seriesDay(text, scheduledStart);
    return series.isValid() && HMCalendarData::outlookExdateDays(series.lines).contains(series.day);
}

// The series' text with an EXDATE line for the scheduled start's day, written like its DTSTART line;
// false when the text has no series or DTSTART, or the day is removed already.
bool withRemovedDay(QString &text, const QString &scheduledStart)
{
    const SeriesDay series = seriesDay(text, scheduledStart);
    if (!series.isValid() || HMCalendarData::outlookExdateDays(series.lines).contains(series.day))
        return false;
    const qsizetype time = series.value.indexOf(u'T');
    const QString eol = text.contains(QLatin1String("\r\n")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
    text.insert(series.end, QStringLiteral("EXDATE%1:%2%3")
                                .arg(series.parameters, series.day, time < 0 ? QString() : series.value.mid(time)) + eol);
    return true;
}

} // namespace

// SUMMARY and DESCRIPTION are iCalendar TEXT, as in event.ics: a note line could otherwise end the event.
QString HMCalendarData::googleOccurrenceIcsText(const QString &seriesText, const QVariantMap &record)
{
    const QString zone = record.contains(QStringLiteral("EVENTTZ")) ? record.value(QStringLiteral("EVENTTZ")).toString()
                                                                     : QString::fromUtf8(QTimeZone::systemTimeZoneId());
    QString zoneId = outlookTimezoneNameFromTimeZoneString(zone);
    if (zoneId.isEmpty())
        zoneId = QStringLiteral("(null)");
    QString head = seriesText;
    if (const qsizetype end = head.indexOf(QLatin1String("END:VCALENDAR")); end >= 0)
        head.truncate(end);
    if (const qsizetype event = head.indexOf(QLatin1String("BEGIN:VEVENT")); event >= 0)
        head.truncate(event);
    const bool allDay = record.value(QStringLiteral("TYPENUMBER")).toBool();
    const QString scheduled = scheduledStartText(record);
    QString recurrenceId = scheduled.contains(u'T') ? scheduled.left(scheduled.lastIndexOf(u'T')) : scheduled;
    if (allDay)
        recurrenceId += QStringLiteral("T000000");
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QString startText = localText(start, "yyyy-MM-dd'T'HH:mm:ss");
    QString text = head + QStringLiteral("BEGIN:VEVENT\n");
    text += QStringLiteral("RECURRENCE-ID;TZID=\"%1\":%2\n").arg(zoneId, recurrenceId);
    text += QStringLiteral("DTSTART;TZID=\"%1\":%2\n").arg(zoneId, startText.isEmpty() ? localText(start, "yyyy-MM-dd") : startText);
    text += QStringLiteral("DTEND;TZID=\"%1\":%2\n").arg(zoneId, localText(record.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), "yyyy-MM-dd'T'HH:mm:ss"));
    text += QStringLiteral("SUMMARY:%1\n").arg(icalTextValue(correctedString(record.value(QStringLiteral("SUBJECT")))));
    text += QStringLiteral("DESCRIPTION:%1\n").arg(icalTextValue(correctedString(record.value(QStringLiteral("NOTE")))));
    text += QStringLiteral("X-MICROSOFT-CDO-BUSYSTATUS:BUSY\n");
    text += allDay ? QStringLiteral("X-MICROSOFT-CDO-ALLDAYEVENT:TRUE\n") : QStringLiteral("X-MICROSOFT-CDO-ALLDAYEVENT:0\n");
    text += icsAlarmText(record, start);
    return text + QStringLiteral("X-MICROSOFT-DISALLOW-COUNTER:FALSE\nX-MICROSOFT-CDO-INSTTYPE:3\nEND:VEVENT\nEND:VCALENDAR");
}

QString HMCalendarData::handleGoogleUpdateException(const QVariantMap &record)
{
    ensureOutlookHelpers();
    const QVariant uid = record.value(QStringLiteral("UID"));
    const QString occurrenceId = uid.typeId() == QMetaType::QString ? outlookIdForDeviceId(uid.toString()) : QString();
    const QString parent = record.value(QStringLiteral("parentEventId")).toString();
    const QString seriesId = m_outlookEvents->outlookIdForGoogleEventId(parent);
    QString seriesText;
    if (HMOutlookSQLiteHelper::isDecimalId(seriesId)) {
        std::optional<NSAppleScriptError> error;
        const NSAppleEventDescriptor answer = runOutlookScript(
            HMOutlookSQLiteHelper::propertiesOfRecordScript(HMOutlookSQLiteHelper::Kind::Events, seriesId), error,
            false);
        seriesText = answer.descriptorForKeyword(platform::fourCharCode("iCal")).stringValue();
        QStringList categoryIds;
        const NSAppleEventDescriptor list = answer.descriptorForKeyword(platform::fourCharCode("cCtg"));
        for (qint64 i = 1; i <= list.numberOfItems(); ++i)
            categoryIds.append(list.descriptorAtIndex(i).descriptorForKeyword(platform::Keyword::KeyData).stringValue());
        if (!categoryIds.isEmpty()) {
            if (!categoryHelper())
                setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
            if (const QString names = categoryHelper()->categoryNameStringFromIdArray(categoryIds); !names.isEmpty())
                seriesText = QStringLiteral("%1\nCATEGORIES:%2").arg(seriesText, names);
        }
    }
    return makeGoogleIcsFileFromVCal(seriesText, record, occurrenceId, parent);
}

QString HMCalendarData::makeGoogleIcsFileFromVCal(const QString &seriesText, const QVariantMap &record, const QString &occurrenceId,
                                                  const QString &parentId)
{
    if (seriesText.isNull()) {
        DDLogInfo(QStringLiteral("vCalString is nil"));
        return QString();
    }
    const QString path = outlookIcsPath();
    if (!hmoutlook::writeTempFile(path, googleOccurrenceIcsText(seriesText, record).toUtf8())) {
        DDLogInfo(QStringLiteral("FAIL!"));
        DDLogInfo(QStringLiteral("ics import failed"));
        return QString();
    }
    const QString imported = importIcsFileIntoOutlook(path, false);
    QFile::remove(path);
    if (occurrenceId.isEmpty())
        updateOutlookRecurringEvent(parentId, scheduledStartText(record));
    return imported;
}

// The day is the occurrence's scheduled start in the device's zone, the zone the series' Outlook text
// and its listed removed days are in; the text of Google's start carries its own offset, whose day
// may be another. The EXDATE is written like the series' DTSTART (its TZID and time of day, or a
// date), so the removed occurrence is the one at that day's scheduled start. A series that already
// lists the day (the series' import writes its removed days) is left as it is: a second line would
// list the day twice.
void HMCalendarData::updateOutlookRecurringEvent(const QString &parentId, const QString &scheduledStart)
{
    const QString seriesId = m_outlookEvents->outlookIdForGoogleEventId(parentId);
    if (!HMOutlookSQLiteHelper::isDecimalId(seriesId))
        return;
    QString text = outlookSeriesText(seriesId);
    if (!withRemovedDay(text, scheduledStart))
        return;
    const QString path = outlookIcsPath();
    if (!hmoutlook::writeTempFile(path, text.toUtf8())) {
        DDLogInfo(QStringLiteral("FAIL!"));
        DDLogInfo(QStringLiteral("ics import failed"));
        return;
    }
    const QString newId = importIcsFileIntoOutlook(path, true);
    QFile::remove(path);
    if (newId.isEmpty() || newId == seriesId || !HMOutlookSQLiteHelper::isDecimalId(newId))
        return;
    const QString deviceId = m_outlookEvents->deviceIdForOutlookId(seriesId);
    std::optional<NSAppleScriptError> error;
    runOutlookScript(QStringLiteral("tell application \"%1\"\ndelete calendar event id %2\nend tell").arg(application(), seriesId), error, true);
    if (error)
        DDLogInfo(QStringLiteral("The old series %1 could not be deleted: %2").arg(seriesId, error->message));
    keepOutlookEventPair(newId, deviceId);
}

// The iCalendar text Outlook holds for the event; empty when it cannot be read.
QString HMCalendarData::outlookSeriesText(const QString &seriesId)
{
    std::optional<NSAppleScriptError> error;
    return runOutlookScript(QStringLiteral("tell application \"%1\"\nreturn the icalendar data of calendar event id %2\nend tell")
                                .arg(application(), seriesId),
                            error, false)
        .stringValue();
}

// The occurrences paired already, and those removed from their series here, leave Outlook and the
// map together after the last one: one map write. A run killed before finds the removed ones paired
// (their pairs are kept aside as they are made) and deletes them then. An occurrence without a pair
// whose day its series already lists as removed (a series imported with its removed days, as a first
// sync brings it) is done: importing it only to delete it again would change nothing. Each series'
// text is read once, whatever the number of its occurrences.
void HMCalendarData::handleGoogleDeletedExceptionRecords(const QVariantList &records)
{
    ensureOutlookHelpers();
    QHash<QString, QString> seriesTexts;
    const auto isRemovedAlready = [this, &seriesTexts](const QVariantMap &record) {
        const QString seriesId = m_outlookEvents->outlookIdForGoogleEventId(record.value(QStringLiteral("parentEventId")).toString());
        if (!HMOutlookSQLiteHelper::isDecimalId(seriesId))
            return false;
        auto text = seriesTexts.find(seriesId);
        if (text == seriesTexts.end())
            text = seriesTexts.insert(seriesId, outlookSeriesText(seriesId));
        return listsRemovedDay(*text, scheduledStartText(record));
    };
    QStringList toDelete;
    for (const QVariant &value : records) {
        const QVariantMap record = value.toMap();
        const QString uid = record.value(QStringLiteral("UID")).toString();
        if (!uid.isEmpty() && !outlookIdForDeviceId(uid).isEmpty())
            toDelete.append(uid);
        else if (!isRemovedAlready(record) && removeExceptionFromSeries(record))
            toDelete.append(uid);
    }
    if (!toDelete.isEmpty())
        continueDeleting(toDelete);
}

bool HMCalendarData::removeExceptionFromSeries(const QVariantMap &record)
{
    const QString id = handleGoogleUpdateException(record);
    const QString uid = record.value(QStringLiteral("UID")).toString();
    if (id.isEmpty() || uid.isEmpty())
        return false;
    // The deletion finds the pair as the apply does.
    keepOutlookEventPair(id, uid);
    return true;
}
