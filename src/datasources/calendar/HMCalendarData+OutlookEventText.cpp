// An Outlook event's iCalendar text (with the listing's "CATEGORIES:" and "OUTLOOKID:" lines) turned
// into the calendar record dictionary, and the small services of the Outlook side: script dates,
// weekdays, the escapes of script strings and of Outlook's calendar text.
//
// The scanner is line based and keyed on the exact prefixes Outlook writes; it is no general
// iCalendar parser. Outlook writes local times with the event's own VTIMEZONE block, whose offsets
// turn them into instants.

#include "datasources/calendar/HMCalendarData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMTextValues.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScriptText.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/foundation/FixedDatePattern.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <QTimeZone>

namespace {

// Lines past this many are not read: no event Outlook writes comes near it.
constexpr qsizetype kMaxLines = 20000;

QString withoutCr(QString text)
{
    return text.remove(u'\r');
}

// The text after the line's first ":"; a null text when the line has none.
QString valueOf(const QString &line)
{
    const qsizetype colon = line.indexOf(u':');
    return colon < 0 ? QString() : line.mid(colon + 1);
}

// The text after the marker when text follows it; nullopt otherwise.
std::optional<QString> afterMarker(const QString &line, QStringView marker)
{
    const qsizetype at = line.indexOf(marker);
    if (at < 0 || at + marker.size() >= line.size())
        return std::nullopt;
    return line.mid(at + marker.size());
}

// The lines from the first beginning with `begin` (inclusive) to the next beginning with `end`.
QStringList block(const QStringList &lines, QStringView begin, QStringView end)
{
    QStringList found;
    bool inside = false;
    for (const QString &line : lines) {
        if (!inside && line.startsWith(begin))
            inside = true;
        else if (inside && line.startsWith(end))
            break;
        if (inside)
            found.append(line);
    }
    return found;
}

// "+0100", "-0800": seconds east of UTC; anything but four digits gives 0.
qint64 offsetSeconds(const QString &text)
{
    QString digits;
    for (const QChar c : text) {
        if (c.isDigit())
            digits.append(c);
    }
    if (digits.size() != 4)
        return 0;
    const qint64 seconds = digits.left(2).toLongLong() * 3600 + digits.mid(2).toLongLong() * 60;
    return text.startsWith(u'-') ? -seconds : seconds;
}

struct ZoneOffsets
{
    qint64 from = 0;
    qint64 to = 0;
    QStringList rules;
};

// The standard (FROM) and daylight (TO) offsets of the event's zone block, and its two rules.
ZoneOffsets zoneOffsets(const QStringList &lines)
{
    const QStringList daylight = block(lines, u"BEGIN:DAYLIGHT", u"END:DAYLIGHT");
    const QStringList standard = block(lines, u"BEGIN:STANDARD", u"END:STANDARD");
    const QStringList zone = block(lines, u"BEGIN:VTIMEZONE", u"END:VTIMEZONE");
    const QStringList &first = !daylight.isEmpty() ? daylight : (!standard.isEmpty() ? standard : zone);
    const QStringList &second = !standard.isEmpty() ? standard : (!daylight.isEmpty() ? daylight : zone);
    ZoneOffsets offsets;
    QString from;
    QString to;
    for (const QString &line : first) {
        if (line.contains(u"RRULE:"))
            offsets.rules.append(line);
        else if (line.contains(u"TZOFFSETFROM:"))
            from = line.mid(line.indexOf(u"TZOFFSETFROM:") + 13);
        else if (line.contains(u"TZOFFSETTO:"))
            to = line.mid(line.indexOf(u"TZOFFSETTO:") + 11);
    }
    for (const QString &line : second) {
        if (line.contains(u"RRULE:"))
            offsets.rules.append(line);
        if (from.isEmpty() && line.contains(u"TZOFFSETTO:"))
            from = line.mid(line.indexOf(u"TZOFFSETTO:") + 11);
        if (to.isEmpty() && line.contains(u"TZOFFSETFROM:"))
            to = line.mid(line.indexOf(u"TZOFFSETFROM:") + 13);
    }
    offsets.from = offsetSeconds(withoutCr(from));
    offsets.to = offsetSeconds(withoutCr(to));
    return offsets;
}

QDateTime parseUtc(const QString &value)
{
    if (value.size() != 15)
        return QDateTime();
    return platform::FixedDatePattern::readUtc(value, QStringLiteral("yyyyMMdd'T'HHmmss"));
}

int deviceOffsetAt(const QDateTime &date)
{
    return QTimeZone::systemTimeZone().offsetFromUtc(date.isValid() ? date : QDateTime::currentDateTimeUtc());
}

QString syncMethodSetting()
{
    return platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting"));
}

qint64 busyStatusOf(const QStringList &lines)
{
    for (const QString &line : lines) {
        if (!line.contains(u"X-MICROSOFT-CDO-BUSYSTATUS:"))
            continue;
        const std::optional<QString> value = afterMarker(line, u":");
        if (!value)
            return -1;
        static const QHash<QString, qint64> statuses{
            {QStringLiteral("FREE"), 0}, {QStringLiteral("TENTATIVE"), 1}, {QStringLiteral("BUSY"), 2}, {QStringLiteral("OOF"), 3}};
        return statuses.value(withoutCr(*value), -1);
    }
    return -1;
}

// The names and addresses of the attendee lines, each TAB-separated.
std::pair<QString, QString> attendeesOf(const QStringList &lines)
{
    QString names;
    QString addresses;
    for (const QString &line : lines) {
        if (!line.startsWith(u"ATTENDEE;"))
            continue;
        const std::optional<QString> rest = afterMarker(line, u"CN=");
        if (!rest || !rest->contains(u';'))
            continue;
        names += rest->left(rest->indexOf(u';')) + u'\t';
        if (const std::optional<QString> mail = afterMarker(*rest, u"MAILTO:"))
            addresses += *mail + u'\t';
    }
    addresses.remove(u'\r');
    if (names.endsWith(u'\t'))
        names.chop(1);
    if (addresses.endsWith(u'\t'))
        addresses.chop(1);
    names.remove(u'"');
    names.replace(QStringLiteral("  "), QStringLiteral(" "));
    return {names, addresses};
}

// Minutes before the start of the alarm blocks' trigger written as hours, minutes and seconds.
std::optional<qint64> alarmMinutesOf(const QStringList &lines)
{
    bool hasAlarm = false;
    bool inside = false;
    QString hours;
    QString minutes;
    for (const QString &line : lines) {
        if (line.startsWith(u"BEGIN:VALARM")) {
            hasAlarm = inside = true;
        } else if (inside && line.startsWith(u"END:VALARM")) {
            inside = false;
            continue;
        }
        if (!inside)
            continue;
        const std::optional<QString> found = afterMarker(line, u"START:");
        if (!found)
            continue;
        QString t = withoutCr(*found);
        if (const std::optional<QString> afterT = afterMarker(t, u"T"))
            t = *afterT;
        const qsizetype h = t.indexOf(u'H');
        if (h >= 0 && h + 1 < t.size()) {
            hours = t.left(h);
            t = t.mid(h + 1);
            const qsizetype m = t.indexOf(u'M');
            if (m >= 0 && m + 1 < t.size())
                minutes = t.left(m);
        }
    }
    if (!hasAlarm)
        return std::nullopt;
    return !hours.isEmpty() && !minutes.isEmpty() ? hours.toLongLong() * 60 + minutes.toLongLong() : 0;
}

// An UNTIL part that is followed by another part and lacks its "Z" gets it.
QString untilWithZone(QString rule)
{
    const qsizetype at = rule.indexOf(u"UNTIL=");
    if (at < 0)
        return rule;
    const qsizetype semicolon = rule.indexOf(u';', at);
    if (semicolon < 0)
        return rule;
    const QString part = rule.mid(at, semicolon - at);
    if (!part.endsWith(u'=') && !part.endsWith(u'Z'))
        rule.replace(part, part + u'Z');
    return rule;
}

// The first long enough DESCRIPTION's value: an escaped line feed alone is no note, and a last CR
// or escaped line feed goes.
QString noteOf(const QStringList &lines)
{
    QString note;
    for (const QString &line : lines) {
        if (line.startsWith(u"DESCRIPTION:") && line.size() >= 13) {
            note = valueOf(line);
            break;
        }
    }
    if (note == u"\\n")
        note.clear();
    if (note.size() >= 2 && note.endsWith(u'\r'))
        note.chop(1);
    if (note.size() >= 3 && note.endsWith(QStringLiteral("\\n")))
        note.chop(2);
    return note;
}

} // namespace

// The days of the series' EXDATE lines, each value of a list. A TZID'd one holds Outlook's local
// time and a date-only one its day: their day is the day written; one in UTC ("Z") is moved to the
// device's zone.
QStringList HMCalendarData::outlookExdateDays(const QStringList &eventLines)
{
    QStringList days;
    for (const QString &line : eventLines) {
        if (!line.startsWith(u"EXDATE;") && !line.startsWith(u"EXDATE:"))
            continue;
        const std::optional<QString> value = afterMarker(line, u":");
        if (!value)
            continue;
        for (QString text : withoutCr(*value).split(u',')) {
            if (text.size() == 8 && QDate::fromString(text, QStringLiteral("yyyyMMdd")).isValid()) {
                days.append(text);
                continue;
            }
            const bool isUtc = text.endsWith(u'Z');
            if (isUtc)
                text.chop(1);
            const QDateTime date = parseUtc(text);
            if (!date.isValid())
                continue;
            days.append(isUtc ? date.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyyMMdd")) : text.left(8));
            DDLogVerbose(QStringLiteral("exceptionStr %1").arg(days.last()));
        }
    }
    return days;
}

namespace {

QString firstValueOf(const QStringList &lines, QStringView prefix, qsizetype minimumLength)
{
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            return line.size() >= minimumLength ? valueOf(line) : QString();
    }
    return QString();
}

} // namespace

QString HMCalendarData::correctedString(const QVariant &value)
{
    QString text = unescapedTextValue(value);
    text.replace(QStringLiteral("\\n\\n"), QStringLiteral("\r\n"));
    return text;
}

std::optional<QDateTime> HMCalendarData::dateFromEventDescriptor(const platform::NSAppleEventDescriptor &descriptor)
{
    if (descriptor.descriptorType() != platform::DescriptorType::LongDateTime)
        return std::nullopt;
    return descriptor.dateValue();
}

QString HMCalendarData::escapedString(const QString &text)
{
    return ::escapedString(text);
}

QString HMCalendarData::escapeDoubleQuotesAndNewLines(const QString &text)
{
    return ::escapedString(text);
}

QString HMCalendarData::escapeDoubleQuotesAndBackslashes(const QString &text)
{
    QString escaped = text;
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    escaped.replace(QStringLiteral("\""), QStringLiteral("\\\""));
    while (escaped.contains(QStringLiteral("\\\"")))
        escaped.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    escaped.replace(QStringLiteral("\n"), QStringLiteral("\\n"));
    return escaped;
}

QString HMCalendarData::escapeDoubleQuotes(const QString &text)
{
    QString escaped = text;
    escaped.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    escaped.replace(QStringLiteral("\""), QStringLiteral("\\\""));
    return escaped;
}

qint64 HMCalendarData::dayOfTheWeekFromYear(qint64 year, qint64 month, qint64 day)
{
    static const qint64 table[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 1 || month > 12)
        return 0;
    const qint64 y = month < 3 ? year - 1 : year;
    const qint64 result = (y + y / 4 - y / 100 + y / 400 + table[month - 1] + day) % 7;
    return result < 0 ? result + 7 : result;
}

// The event's start (or end) read from its DTSTART; (DTEND;) line: Outlook's local time made an
// instant with the zone block's offsets; the fallback when the value does not parse.
QDateTime HMCalendarData::outlookEventDate(const QStringList &lines, QStringView prefix, const QDateTime &fallback)
{
    for (const QString &line : lines) {
        if (!line.startsWith(prefix) || !line.contains(u':'))
            continue;
        const QString value = withoutCr(line.mid(line.lastIndexOf(u':') + 1));
        if (value.startsWith(u"16010101"))
            return QDateTime::currentDateTimeUtc();
        const QDateTime parsed = parseUtc(value);
        return parsed.isValid() ? parsed : fallback;
    }
    return QDateTime::currentDateTimeUtc();
}

void HMCalendarData::storeOutlookEventDates(QVariantMap &record, const QStringList &lines, const OutlookEventTimes &times)
{
    const bool allDay = record.value(QStringLiteral("TYPENUMBER")).toBool();
    const bool googleDirect = syncMethodSetting() == u"direct";
    QDateTime start = outlookEventDate(lines, u"DTSTART;", times.start);
    QDateTime end = outlookEventDate(lines, u"DTEND;", times.end);
    const ZoneOffsets offsets = zoneOffsets(lines);
    const bool isDst = start.isValid() && isDstFromStartDate(start, offsets.rules);
    const qint64 shift = isDst ? offsets.to : offsets.from;
    if (!allDay) {
        start = start.isValid() ? start.addSecs(-shift) : start;
        end = end.isValid() ? end.addSecs(-shift) : end;
    } else if (googleDirect) {
        start = start.isValid() ? start.addSecs(-deviceOffsetAt(start)) : start;
        end = end.isValid() ? end.addSecs(-deviceOffsetAt(end)) : end;
    } else if (end.isValid()) {
        end = end.addSecs(-86400);
    }
    if (start.isValid())
        record.insert(QStringLiteral("NSDATESTARTDATE"), start);
    if (end.isValid())
        record.insert(QStringLiteral("NSDATEENDDATE"), end);
    const qint64 delta = std::abs(offsets.to - offsets.from);
    record.insert(QStringLiteral("TZ_DATA"), QStringLiteral("%1\t%2").arg(offsets.from / 60).arg(isDst ? delta / 60 : 0));
    m_outlookEventStart = start;
}

void HMCalendarData::storeOutlookEventTexts(QVariantMap &record, const QStringList &lines)
{
    const bool googleDirect = syncMethodSetting() == u"direct";
    QString zoneName;
    for (const QString &line : lines) {
        if (line.contains(u"CFTIMEZONE:")) {
            zoneName = afterMarker(line, u":").value_or(QString());
            break;
        }
    }
    record.insert(QStringLiteral("PRIVATE"), std::any_of(lines.cbegin(), lines.cend(), [](const QString &line) {
                      return line.contains(u"CLASS:PRIVATE");
                  }));
    const qint64 busy = busyStatusOf(lines);
    record.insert(QStringLiteral("BUSYSTATUS"), busy);
    if (googleDirect && busy == 0)
        record.insert(QStringLiteral("transparency"), QStringLiteral("transparent"));
    if (!googleDirect && outlookSyncsAttendees()) {
        const auto [names, addresses] = attendeesOf(lines);
        if (!names.isEmpty())
            record.insert(QStringLiteral("ATTENDEES"), correctedString(names));
        if (!addresses.isEmpty())
            record.insert(QStringLiteral("EMAILS"), correctedString(addresses));
    }
    record.insert(QStringLiteral("LOCATION"), correctedString(withoutCr(firstValueOf(lines, u"LOCATION:", 10))));
    record.insert(QStringLiteral("EVENTTZ"), correctedString(hmTimeZoneFromOutlookTimeZone(withoutCr(zoneName))));
    record.insert(QStringLiteral("SUBJECT"), correctedString(withoutCr(firstValueOf(lines, u"SUMMARY:", 9))));
    record.insert(QStringLiteral("NOTE"), correctedString(noteOf(lines)));
    if (const std::optional<qint64> minutes = alarmMinutesOf(lines)) {
        const QString method = syncMethodSetting();
        if (method == u"wifi" || method == u"adb")
            record.insert(QStringLiteral("HASALARM"), true);
        record.insert(QStringLiteral("NSNUMBERALARMTIME"), *minutes);
    }
}

bool HMCalendarData::outlookSyncsAttendees()
{
    if (!m_profile) {
        if (const auto controller = GlobalVariables::getCurrentProfileController()) {
            const auto profiles = controller->arrangedObjects();
            const qsizetype index = controller->selectionIndex();
            if (index >= 0 && index < qsizetype(profiles.size()))
                m_profile = profiles[size_t(index)];
        }
    }
    return !m_profile || m_profile->shouldSyncAttendees() != u"no";
}

// The rule, the modified occurrence's series and the exception dates, from the event's own lines.
void HMCalendarData::storeOutlookEventRecurrence(QVariantMap &record, const QStringList &eventLines,
                                                 const QString &outlookId)
{
    bool recurring = false;
    for (const QString &line : eventLines) {
        if (!line.startsWith(u"RRULE:") || line.size() <= 6)
            continue;
        QString rule = withoutCr(line.mid(6));
        rule.remove(u' ');
        record.insert(QStringLiteral("RRULE"), untilWithZone(QStringLiteral("RRULE:") + fixOutlookRRule(rule, m_outlookEventStart)));
        recurring = true;
        break;
    }
    const bool isException = std::any_of(eventLines.cbegin(), eventLines.cend(),
                                         [](const QString &line) { return line.startsWith(u"RECURRENCE-ID;"); });
    if (isException)
        noteModifiedOccurrence(record, outlookId);
    record.insert(QStringLiteral("ISANEXCEPTION"), isException);
    if (recurring)
        record.insert(QStringLiteral("NSARRAYEXCEPTIONS"), outlookExceptionDays(eventLines, outlookId));
}

void HMCalendarData::noteModifiedOccurrence(QVariantMap &record, const QString &outlookId)
{
    const QString parent = outlookId.isEmpty() ? QString() : getGoogleIdForMasterRecordFromExceptonRecordId(outlookId);
    if (parent.isEmpty()) {
        // Without its series the occurrence would reach the other side as an event of its own.
        m_outlookOccurrenceUnknown = true;
        return;
    }
    record.insert(QStringLiteral("PARENTID"), parent);
    QVariantMap seriesMap = GlobalVariables::getOutlookRecurringEventsAndExceptions();
    QStringList starts = seriesMap.value(parent).toStringList();
    starts.append(m_outlookEventStart.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
    seriesMap.insert(parent, starts);
    GlobalVariables::setOutlookRecurringEventsAndExceptions(seriesMap);
}

// The days of the series' removed occurrences (EXDATE lines) and of its modified ones (Outlook's
// exception records).
QStringList HMCalendarData::outlookExceptionDays(const QStringList &eventLines, const QString &outlookId)
{
    QStringList days = outlookExdateDays(eventLines);
    m_dictionaryOfModifiedExceptions.clear();
    if (m_outlookEvents) {
        for (auto it = m_outlookEvents->outlook().dictionaryOfExceptionRecords().constBegin();
             it != m_outlookEvents->outlook().dictionaryOfExceptionRecords().constEnd(); ++it) {
            QVariantList dates;
            for (const QDateTime &date : it.value())
                dates.append(date);
            m_dictionaryOfModifiedExceptions.insert(it.key(), dates);
        }
    }
    const QVariantList modified = m_dictionaryOfModifiedExceptions.value(outlookId).toList();
    const QStringList modifiedIds =
        m_outlookEvents ? m_outlookEvents->outlook().exceptionRecordIds().value(outlookId) : QStringList();
    for (qsizetype i = 0; i < modified.size(); ++i) {
        // A moved occurrence leaves the series on the day it was scheduled for, not on the day it
        // moved to: that one the occurrence's own record holds.
        QDateTime date = modified.at(i).toDateTime();
        if (i < modifiedIds.size()) {
            if (const std::optional<QDateTime> scheduled = getStartDateForExceptionRecordWithOutlookId(modifiedIds.at(i)))
                date = *scheduled;
        }
        days.append(date.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyyMMdd")));
        m_changedOccurrenceDays[outlookId].insert(days.last());
        DDLogInfo(QStringLiteral("exDate %1").arg(days.last()));
    }
    if (m_numberOfInstancesForOutlookRecurringEvent > 0 && days.size() >= m_numberOfInstancesForOutlookRecurringEvent)
        DDLogInfo(QStringLiteral("Every instance is an exception!"));
    return days;
}

void HMCalendarData::storeOutlookEventCategories(QVariantMap &record, const QStringList &lines)
{
    QStringList names;
    for (const QString &line : lines) {
        if (line.startsWith(u"CATEGORIES:") && line.size() > 11) {
            names = line.mid(11).split(u'\t');
            break;
        }
    }
    record.insert(QStringLiteral("NSARRAYCATEGORIES"), names);
    HMOutlookCategoryHelper::insertColorsOfCategories(record, names, categoryHelper().get());
}

QVariantMap HMCalendarData::pppDictionaryForOutlookCalendarEvent(const QString &text, const QDateTime &start,
                                                                 const QDateTime &end, const QString &)
{
    m_outlookOccurrenceUnknown = false;
    QString unfolded = text;
    unfolded.replace(QStringLiteral("\r\n "), QStringLiteral(" "));
    QStringList lines = unfolded.split(u'\n');
    if (lines.size() > kMaxLines)
        lines.resize(kMaxLines);
    QVariantMap record;
    record.insert(QStringLiteral("TYPENUMBER"),
                  std::any_of(lines.cbegin(), lines.cend(), [](const QString &line) { return line.contains(u"ALLDAYEVENT:TRUE"); }));
    storeOutlookEventDates(record, lines, {start, end});
    storeOutlookEventTexts(record, lines);
    qsizetype eventStart = 0;
    while (eventStart < lines.size() && !lines.at(eventStart).startsWith(u"BEGIN:VEVENT"))
        ++eventStart;
    const QStringList eventLines = lines.mid(eventStart);
    QString outlookId;
    for (const QString &line : lines) {
        if (line.startsWith(u"OUTLOOKID:") && line.size() >= 11) {
            outlookId = withoutCr(valueOf(line));
            break;
        }
    }
    storeOutlookEventRecurrence(record, eventLines, outlookId);
    storeOutlookEventCategories(record, lines);
    return record;
}
