// The iCalendar road into Outlook: a recurring event with exceptions is written as "event.ics" in the
// data folder's "temp", imported with "import ics", paired with the event the import made, and then
// given its other properties and categories by script. Also the VTIMEZONE block of a zone, built from
// the zone's next two daylight-saving transitions.

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"

#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "platform/foundation/Clock.h"

#include <QFile>
#include <QTimeZone>

#include <cmath>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScriptError;

using calendaroutlook::application;

namespace {

std::function<void(const QString &)> &icsKeeper()
{
    static std::function<void(const QString &)> keeper;
    return keeper;
}

// "+0100", "-0500", "+0530": hours and minutes of a number of seconds. An offset needs its sign (a
// bare "0530" is no UTC offset, and readers refuse the file).
QString offsetText(qint64 seconds)
{
    const float hours = float(seconds) / 3600.0f;
    const qint64 whole = qint64(std::fabs(hours));
    const QString hourText = QStringLiteral("%1%2%3").arg(hours < 0 ? QStringLiteral("-") : QStringLiteral("+"),
                                                         whole < 10 ? QStringLiteral("0") : QString()).arg(whole);
    const qint64 minutes = (std::abs(seconds) - whole * 3600) / 60;
    return hourText + (minutes < 10 ? QStringLiteral("0") : QString()) + QString::number(minutes);
}

// "FREQ=YEARLY;BYDAY=<ordinal><weekday>;BYMONTH=<month>" of a transition, in UTC. The last such
// weekday of the month is "-1" ("Last" is no ordinal a reader takes).
QString transitionRule(const QDateTime &transition)
{
    static const char *const codes[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    const QDate day = transition.toUTC().date();
    const QString ordinal = day.day() >= 29 ? QStringLiteral("-1") : QString::number((day.day() - 1) / 7 + 1);
    return QStringLiteral("FREQ=YEARLY;BYDAY=%1%2;BYMONTH=%3").arg(ordinal, QLatin1String(codes[day.dayOfWeek() - 1])).arg(day.month());
}

// The transition's month, weekday, weekday ordinal and time of day in the year 1601, in UTC.
QDateTime onsetIn1601(const QDateTime &transition)
{
    const QDateTime utc = transition.toUTC();
    const QDate first(1601, utc.date().month(), 1);
    const int shift = (utc.date().dayOfWeek() - first.dayOfWeek() + 7) % 7;
    const QDate day = first.addDays(shift + 7 * ((utc.date().day() - 1) / 7));
    return QDateTime(day, utc.time(), QTimeZone::utc());
}

QString utcText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
}

// The day of an exception as "yyyyMMdd": the text of a date is its UTC form ("2020-01-15 10:00:00 +0000").
QString exceptionDays(const QVariant &exceptions)
{
    QStringList texts;
    if (exceptions.typeId() == QMetaType::QVariantList || exceptions.typeId() == QMetaType::QStringList) {
        for (const QVariant &item : exceptions.toList())
            texts.append(item.typeId() == QMetaType::QDateTime
                             ? item.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"))
                             : item.toString());
    } else if (exceptions.typeId() == QMetaType::QString) {
        texts = exceptions.toString().split(u',');
    }
    if (texts.join(QString()).isEmpty())
        return QString();
    for (QString &text : texts)
        text = text.section(u' ', 0, 0).section(u'T', 0, 0).remove(u'-');
    return texts.join(u',');
}

} // namespace

void HMCalendarData::setOutlookIcsKeeper(std::function<void(const QString &)> keeper)
{
    icsKeeper() = std::move(keeper);
}

QString HMCalendarData::icalTextValue(const QString &text)
{
    QString value = text;
    value.remove(u'\r');
    value.replace(u'\\', QStringLiteral("\\\\")).replace(u';', QStringLiteral("\\;")).replace(u',', QStringLiteral("\\,"));
    return value.replace(u'\n', QStringLiteral("\\n"));
}

// Outside daylight saving the DAYLIGHT block takes the offset in force after the next transition (the
// present offset there moved summer occurrences by an hour), and each block's DTSTART is written in the
// offset it starts from, as its TZOFFSETFROM says.
QString HMCalendarData::icalTimeZoneStringFromEventTimeZone(const QString &zoneName)
{
    QTimeZone zone(zoneName.toUtf8());
    if (!zone.isValid())
        zone = QTimeZone::systemTimeZone();
    const QString name = outlookTimezoneNameFromTimeZoneString(zoneName);
    QString text = QStringLiteral("BEGIN:VTIMEZONE\nTZID:%1\nBEGIN:STANDARD\n").arg(name);
    const QDateTime now = platform::Clock::now();
    const qint64 present = zone.offsetFromUtc(now);
    const QTimeZone::OffsetData first = zone.hasTransitions() ? zone.nextTransition(now) : QTimeZone::OffsetData();
    if (!first.atUtc.isValid()) {
        text += QStringLiteral("DTSTART:16010101T000000\nTZOFFSETFROM:%1\nTZOFFSETTO:%1\nEND:STANDARD\nEND:VTIMEZONE").arg(offsetText(present));
        m_icalTimeZoneDictionary.insert(zoneName, text);
        return text;
    }
    const QTimeZone::OffsetData second = zone.nextTransition(first.atUtc);
    const bool inDaylight = zone.isDaylightTime(now);
    const qint64 next = first.offsetFromUtc;
    const QString presentText = offsetText(present);
    const QString nextText = offsetText(next);
    const auto block = [](const char *kind, const QDateTime &transition, qint64 from, const QString &fromText,
                          const QString &toText) {
        return QStringLiteral("%1DTSTART:%2\nRRULE:%3\nTZOFFSETFROM:%4\nTZOFFSETTO:%5\nEND:%6\n")
            .arg(qstrcmp(kind, "DAYLIGHT") == 0 ? QStringLiteral("BEGIN:DAYLIGHT\n") : QString(),
                 utcText(onsetIn1601(transition).addSecs(from)), transitionRule(transition), fromText, toText, QLatin1String(kind));
    };
    if (inDaylight)
        text += block("STANDARD", first.atUtc, present, presentText, nextText) + block("DAYLIGHT", second.atUtc, next, nextText, presentText);
    else
        text += block("STANDARD", second.atUtc, next, nextText, presentText) + block("DAYLIGHT", first.atUtc, present, presentText, nextText);
    text += QStringLiteral("END:VTIMEZONE");
    m_icalTimeZoneDictionary.insert(zoneName, text);
    return text;
}

// DESCRIPTION and SUMMARY are iCalendar TEXT: a raw line break in a note let a line such as
// "END:VEVENT" or "RRULE:..." change the event.
QString HMCalendarData::icsTextFromDictionary(const QVariantMap &record, const QString &icalUid)
{
    const QString zoneName = record.contains(QStringLiteral("EVENTTZ")) ? record.value(QStringLiteral("EVENTTZ")).toString()
                                                                        : QString::fromUtf8(QTimeZone::systemTimeZoneId());
    const QString vtimezone = m_icalTimeZoneDictionary.contains(zoneName) ? m_icalTimeZoneDictionary.value(zoneName).toString()
                                                                          : icalTimeZoneStringFromEventTimeZone(zoneName);
    QTimeZone zone(zoneName.toUtf8());
    if (!zone.isValid())
        zone = QTimeZone::systemTimeZone();
    const QString outlookName = outlookTimezoneNameFromTimeZoneString(zoneName);
    const auto local = [&zone](const QVariant &date) {
        return date.toDateTime().toTimeZone(zone).toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
    };
    QString text = QStringLiteral("BEGIN:VCALENDAR\nVERSION:2.0\nMETHOD:PUBLISH\nX-MS-OLK-FORCEINSPECTOROPEN:TRUE\n") + vtimezone
        + QStringLiteral("\nBEGIN:VEVENT\nCLASS:PUBLIC\n");
    text += QStringLiteral("DESCRIPTION:%1\n").arg(record.contains(QStringLiteral("NOTE"))
                                                        ? icalTextValue(stringForKey(QStringLiteral("NOTE"), record))
                                                        : QStringLiteral("\\n"));
    text += QStringLiteral("DTEND;TZID=\"%1\":%2\n").arg(outlookName, local(record.value(QStringLiteral("NSDATEENDDATE"))));
    text += QStringLiteral("DTSTART;TZID=\"%1\":%2\n").arg(outlookName, local(record.value(QStringLiteral("NSDATESTARTDATE"))));
    text += QStringLiteral("SUMMARY;LANGUAGE=en-us:%1\n").arg(icalTextValue(stringForKey(QStringLiteral("SUBJECT"), record)));
    if (record.contains(QStringLiteral("RRULE")))
        text += QString(QStringLiteral("RRULE:") + record.value(QStringLiteral("RRULE")).toString()).replace(QStringLiteral("RRULE:RRULE:"), QStringLiteral("RRULE:"))
            + u'\n';
    // Each removed day at the series' local time in its zone: a bare date is no DATE-TIME, the type an
    // EXDATE without VALUE=DATE has, and readers refuse it or keep the occurrence.
    if (const QString days = exceptionDays(record.value(QStringLiteral("NSARRAYEXCEPTIONS"))); !days.isEmpty()) {
        const QString time = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime().toTimeZone(zone).toString(QStringLiteral("'T'HHmmss"));
        text += QStringLiteral("EXDATE;TZID=\"%1\":%2\n").arg(outlookName, days.split(u',').join(time + u',') + time);
    }
    if (!icalUid.isEmpty())
        text += QStringLiteral("UID:%1\n").arg(icalUid);
    // The alarm travels in the file: the properties set after the import carry no dates, and without
    // them no reminder is set.
    return text + QStringLiteral("TRANSP:OPAQUE\nX-MICROSOFT-CDO-BUSYSTATUS:BUSY\nX-MICROSOFT-CDO-IMPORTANCE:1\nX-MICROSOFT-DISALLOW-COUNTER:"
                                 "FALSE\nX-MS-OLK-AUTOFILLLOCATION:TRUE\nX-MS-OLK-AUTOSTARTCHECK:FALSE\nX-MS-OLK-CONFTYPE:0\n")
        + icsAlarmText(record, record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime()) + QStringLiteral("END:VEVENT\nEND:VCALENDAR");
}

// The event's VALARM block: minutes before the start from an alarm date or a number of minutes, up to
// Outlook's longest reminder of two weeks; nothing without an alarm.
QString HMCalendarData::icsAlarmText(const QVariantMap &record, const QDateTime &start)
{
    const auto [hasReminder, reminderTime] = outlookReminderTexts(record, start);
    bool isNumber = false;
    const qint64 minutes = qRound64(reminderTime.toDouble(&isNumber));
    if (hasReminder != u"true" || !isNumber || minutes >= 20161)
        return QString();
    return QStringLiteral("BEGIN:VALARM\nACTION:DISPLAY\nDESCRIPTION:REMINDER\nTRIGGER;RELATED=START:-PT00H%1M00S\nEND:VALARM\n").arg(minutes);
}

QString HMCalendarData::outlookIcsPath()
{
    return hmoutlook::tempFilePath(m_outlookEvents->map().getAppDataFolder(), QStringLiteral("event.ics"));
}

void HMCalendarData::makeIcsFileFromDictionary(const QVariantMap &record)
{
    DDLogInfo(QStringLiteral("makeIcsFileFromDictionary"));
    ensureOutlookHelpers();
    const QString uid = record.value(QStringLiteral("UID")).toString();
    const QVariant given = record.value(QStringLiteral("outlookId"));
    const QString oldId = record.contains(QStringLiteral("outlookId")) ? given.toString() : (uid.isEmpty() ? QString() : outlookIdForDeviceId(uid));
    const bool isNew = oldId.isEmpty() || (record.contains(QStringLiteral("outlookId")) && given.typeId() != QMetaType::QString);
    const QString icalUid = isNew ? QString() : getOutlookGuidForOutlookEventId(oldId);
    const QString path = outlookIcsPath();
    if (!hmoutlook::writeTempFile(path, icsTextFromDictionary(record, icalUid).toUtf8())) {
        DDLogInfo(QStringLiteral("ics import failed"));
        return;
    }
    if (icsKeeper())
        icsKeeper()(path);
    const QString newId = importIcsFileIntoOutlook(path, isNew);
    DDLogInfo(QStringLiteral("idString[1] %1").arg(newId));
    QFile::remove(path);
    DDLogInfo(QStringLiteral("isNewEvent? %1").arg(isNew ? 1 : 0));
    if (!newId.isEmpty() && HMOutlookSQLiteHelper::isDecimalId(newId)) {
        if (!isNew && oldId != newId)
            deleteDuplicateOutlookEventAndUpdateDateFile(oldId);
        keepOutlookEventPair(newId, uid);
        ++m_eventsAddedToOutlookOnThisSync;
        QVariantMap rest = record;
        for (const char *key : {"NSARRAYEXCEPTIONS", "RRULE", "NSDATESTARTDATE", "NSDATEENDDATE"})
            rest.remove(QLatin1String(key));
        updateOutlookEventWithUniqueId(newId, rest);
        if (record.contains(QStringLiteral("NSARRAYCATEGORIES")))
            addCategoriesForEventId(newId, record);
    }
    DDLogInfo(QStringLiteral("done with makeIcsFileFromDictionary"));
}

QString HMCalendarData::getOutlookGuidForOutlookEventId(const QString &outlookId)
{
    std::optional<NSAppleScriptError> error;
    return calendaroutlook::icalUidOfProperties(runOutlookScript(
        HMOutlookSQLiteHelper::propertiesOfRecordScript(HMOutlookSQLiteHelper::Kind::Events, outlookId), error, false));
}

// The path goes through escapedString: a quote in the data folder's path would end the string.
QString HMCalendarData::importIcsFileIntoOutlook(const QString &path, bool)
{
    const QString folder = chosenOutlookCalendar();
    const QString script = QStringLiteral("set theFile to a reference to POSIX file \"%1\"\ntell application \"%2\"\nimport ics theFile%3\nend tell")
                               .arg(escapedString(path), application(), folder.isEmpty() ? QString() : QStringLiteral(" to calendar id ") + folder);
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = runOutlookScript(script, error, true);
    QString id;
    if (result.numberOfItems() >= 1) {
        const NSAppleEventDescriptor last = result.descriptorAtIndex(result.numberOfItems());
        id = last.descriptorForKeyword(platform::Keyword::KeyData).stringValue();
        DDLogInfo(QStringLiteral("innerListDescriptor: %1").arg(id));
    }
    DDLogInfo(QStringLiteral("Done executing import script"));
    return id;
}

void HMCalendarData::deleteDuplicateOutlookEventAndUpdateDateFile(const QString &outlookId)
{
    if (!HMOutlookSQLiteHelper::isDecimalId(outlookId))
        return;
    std::optional<NSAppleScriptError> error;
    runOutlookScript(QStringLiteral("tell application \"%1\"\ndelete calendar event id %2\nend tell").arg(application(), outlookId), error, true);
}

void HMCalendarData::addCategoriesForEventId(const QString &outlookId, const QVariantMap &record)
{
    const QStringList fragments = outlookCategoryFragments(record, false);
    QString list = QStringLiteral("{") + fragments.join(QString());
    if (list.endsWith(QLatin1String(", ")))
        list.chop(2);
    list += u'}';
    const QString script = QStringLiteral("tell application \"%1\"\nset the categories of calendar event id \"%2\" to %3\nend tell")
                               .arg(application(), outlookId, list);
    std::optional<NSAppleScriptError> error;
    runOutlookScript(script, error, true);
    DDLogInfo(QStringLiteral("errorInfo %1").arg(error ? error->message : QStringLiteral("(null)")));
    if (error)
        DDLogInfo(QStringLiteral("modifyEventString %1").arg(script));
}
