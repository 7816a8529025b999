// Outlook's modified occurrences and zones: the ids of occurrences as Google names them, the series
// of an occurrence and its start, the zone names Outlook takes and gives, the daylight-saving test of
// a VTIMEZONE's rules, and counted rules rewritten with an end date.

#include "datasources/calendar/HMCalendarData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMOutlookRRuleHelper.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"

#include <QTimeZone>

using platform::NSAppleEventDescriptor;

namespace {

const QString kGoogleInstanceFormat = QStringLiteral("yyyyMMdd'T'HHmmss'Z'");

// Runs one query about an event; nullopt when the id is no Outlook id or the script failed.
std::optional<NSAppleEventDescriptor> askAboutEvent(const QString &form, const QString &outlookId)
{
    if (!HMOutlookSQLiteHelper::isDecimalId(outlookId))
        return std::nullopt;
    const QString script = QStringLiteral("tell application \"%1\"\n%2 calendar event id %3\nend tell")
                               .arg(HMOutlookSQLiteHelper::outlookApplicationReference(), form, outlookId);
    std::optional<platform::NSAppleScriptError> error;
    NSAppleEventDescriptor result = platform::NSAppleScript(script).executeAndReturnError(&error);
    if (error) {
        DDLogInfo(QStringLiteral("Outlook could not answer \"%1\" for event %2: %3").arg(form, outlookId, error->message));
        return std::nullopt;
    }
    return result;
}

std::optional<QDateTime> dateOf(const std::optional<NSAppleEventDescriptor> &descriptor)
{
    return descriptor ? HMCalendarData::dateFromEventDescriptor(*descriptor) : std::nullopt;
}

// Cut right behind the first "00Z" when more follows it.
QString cutBehindZoneMark(const QString &id)
{
    const qsizetype at = id.indexOf(QStringLiteral("00Z"));
    return at >= 0 && at + 3 < id.size() ? id.left(at + 3) : id;
}

QString gmtInstance(const QDateTime &date)
{
    return date.toUTC().toString(kGoogleInstanceFormat);
}

// The day part and month of one VTIMEZONE rule; nullopt when it has no day part.
struct TransitionRule
{
    QString dayPart;
    int month = 0;
};

std::optional<TransitionRule> transitionRuleOf(QString rule, bool isDaylight)
{
    rule.remove(u' ');
    const qsizetype at = rule.indexOf(QStringLiteral("BYDAY="));
    if (at < 0)
        return std::nullopt;
    const QString kept = rule.mid(at + 6);
    const qsizetype semicolon = kept.indexOf(u';');
    if (semicolon < 0 || (isDaylight && semicolon + 1 >= kept.size()))
        return std::nullopt;
    TransitionRule found;
    found.dayPart = kept.left(semicolon);
    const qsizetype month = kept.indexOf(QStringLiteral("BYMONTH="));
    if (month >= 0) {
        QString digits;
        for (qsizetype i = month + 8; i < kept.size() && kept.at(i).isDigit(); ++i)
            digits.append(kept.at(i));
        found.month = digits.toInt();
    }
    return found;
}

// Local midnight of the rule's weekday in its month of the year.
QDateTime transitionDate(const TransitionRule &rule, int year)
{
    int ordinal = 1;
    if (rule.dayPart.contains(QStringLiteral("-1")))
        ordinal = -1;
    else if (!rule.dayPart.isEmpty() && rule.dayPart.at(0).isDigit())
        ordinal = std::max(1, rule.dayPart.at(0).digitValue());
    static const char *const codes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    int weekday = 1;
    for (int i = 0; i < 7; ++i) {
        if (rule.dayPart.contains(QLatin1String(codes[i]), Qt::CaseInsensitive)) {
            weekday = i + 1;
            break;
        }
    }
    const QDate firstOfMonth = QDate(year, 1, 1).addMonths(rule.month - 1);
    const int qtWeekday = weekday == 1 ? 7 : weekday - 1;
    QDate day;
    if (ordinal < 0) {
        day = firstOfMonth.addMonths(1).addDays(-1);
        day = day.addDays(-((day.dayOfWeek() - qtWeekday + 7) % 7));
    } else {
        day = firstOfMonth.addDays((qtWeekday - firstOfMonth.dayOfWeek() + 7) % 7).addDays(7 * (ordinal - 1));
    }
    return QDateTime(day, QTime(0, 0), QTimeZone::systemTimeZone());
}

const QHash<QString, QString> &outlookZoneNames()
{
    static const QHash<QString, QString> names = [] {
        QHash<QString, QString> table;
        for (const char *same : {"Europe/London", "Europe/Amsterdam", "Europe/Moscow", "Europe/Istanbul", "Asia/Tokyo",
                                 "Asia/Singapore", "Asia/Seoul", "America/Sao_Paulo", "America/Santiago",
                                 "Australia/Canberra", "Australia/Brisbane", "Australia/Darwin", "Australia/Perth",
                                 "Australia/Hobart", "Pacific/Auckland", "Pacific/Honolulu", "America/Anchorage",
                                 "US/Pacific", "America/Phoenix", "America/Mexico_City"})
            table.insert(QLatin1String(same), QLatin1String(same));
        const std::pair<const char *, const char *> others[] = {
            {"Europe/Paris", "Europe/Brussels"}, {"Europe/Berlin", "Europe/Amsterdam"}, {"Europe/Warsaw", "Europe/Sarajevo"},
            {"Asia/Kolkata", "Asia/Calcutta"}, {"America/Argentina/Buenos_Aires", "America/Buenos_Aires"},
            {"Australia/Sydney", "Australia/Canberra"}, {"Australia/Melbourne", "Australia/Canberra"},
            {"America/Los_Angeles", "US/Pacific"}, {"Canada/Pacific", "US/Pacific"}, {"America/Vancouver", "US/Pacific"},
            {"America/Denver", "US/Mountain"}, {"America/Edmonton", "US/Mountain"}, {"America/Regina", "US/Mountain"},
            {"America/Chicago", "US/Central"}, {"America/Detroit", "US/Central"}, {"America/Winnipeg", "US/Central"},
            {"America/Indiana/Indianapolis", "America/Indianapolis"}, {"America/New_York", "US/Eastern"},
            {"America/Thunder_Bay", "US/Eastern"}, {"America/Toronto", "US/Eastern"}, {"America/Montreal", "US/Eastern"},
            {"America/Halifax", "Canada/Atlantic"}};
        for (const auto &[identifier, name] : others)
            table.insert(QLatin1String(identifier), QLatin1String(name));
        return table;
    }();
    return names;
}

} // namespace

QString HMCalendarData::hmTimeZoneFromOutlookTimeZone(const QString &outlookZoneName)
{
    static const QHash<QString, QString> zones = [] {
        QHash<QString, QString> table;
        const std::pair<const char *, const char *> pairs[] = {
            {"Europe/Brussels", "Europe/Paris"}, {"Europe/Amsterdam", "Europe/Paris"}, {"Europe/Berlin", "Europe/Paris"},
            {"Europe/Sarajevo", "Europe/Athens"}, {"Asia/Singapore", "Asia/Kuching"}, {"Asia/Santiago", "America/Santiago"},
            {"Asia/Buenos_Aires", "America/Argentina/Buenos_Aires"}, {"Australia/Canberra", "Australia/Sydney"},
            {"Australia/Hobart", "Australia/Canberra"}, {"US/Pacific", "America/Los_Angeles"},
            {"US/Mountain", "America/Denver"}, {"US/Central", "America/Chicago"}, {"US/Eastern", "America/New_York"}};
        for (const auto &[name, identifier] : pairs)
            table.insert(QLatin1String(name), QLatin1String(identifier));
        return table;
    }();
    return zones.value(outlookZoneName, outlookZoneName);
}

QString HMCalendarData::outlookTimezoneNameFromSysemTimezoneName()
{
    return outlookZoneNames().value(QString::fromUtf8(QTimeZone::systemTimeZoneId()));
}

QString HMCalendarData::outlookTimezoneNameFromTimeZoneString(const QVariant &identifier)
{
    if (identifier.typeId() != QMetaType::QString)
        return QString();
    const QString name = identifier.toString();
    static const QHash<QString, QString> extra{{QStringLiteral("Europe/Athens"), QStringLiteral("Europe/Sarajevo")},
                                               {QStringLiteral("Asia/Istanbul"), QStringLiteral("Europe/Istanbul")},
                                               {QStringLiteral("Asia/Calcutta"), QStringLiteral("Asia/Calcutta")},
                                               {QStringLiteral("Asia/Kuching"), QStringLiteral("Asia/Singapore")}};
    return outlookZoneNames().value(name, extra.value(name));
}

bool HMCalendarData::isDstFromStartDate(const QDateTime &date, const QStringList &rules)
{
    if (rules.size() < 2 || !date.isValid())
        return false;
    const std::optional<TransitionRule> daylight = transitionRuleOf(rules.at(0), true);
    const std::optional<TransitionRule> standard = transitionRuleOf(rules.at(1), false);
    const int year = date.toTimeZone(QTimeZone::systemTimeZone()).date().year();
    const QDateTime start = transitionDate(daylight.value_or(TransitionRule{}), year);
    const QDateTime end = transitionDate(standard.value_or(TransitionRule{}), year);
    if (end < start)
        return date < end || date > start;
    return date > start && date < end;
}

QString HMCalendarData::fixOutlookRRule(const QString &rule, const QDateTime &start)
{
    qint64 type = 0;
    const char *const frequencies[] = {"FREQ=DAILY", "FREQ=WEEKLY", "FREQ=MONTHLY", "FREQ=YEARLY"};
    for (qint64 i = 0; i < 4 && type == 0; ++i) {
        if (rule.contains(QLatin1String(frequencies[i])))
            type = i + 1;
    }
    const qsizetype countAt = rule.indexOf(QStringLiteral("COUNT="));
    if (countAt < 0) {
        m_numberOfInstancesForOutlookRecurringEvent = 0;
        return rule;
    }
    const qsizetype semicolon = rule.indexOf(u';', countAt);
    if (semicolon < 0 || semicolon + 1 >= rule.size())
        return rule;
    const QString countPart = rule.mid(countAt, semicolon - countAt);
    const qint64 count = countPart.mid(6).toLongLong();
    m_numberOfInstancesForOutlookRecurringEvent = count;
    const std::optional<QDateTime> last = nthDateOfOutlookRule(rule, start, type, count);
    if (!last) {
        // No n-th date (a limit of the expansion cut it): the count stays as it is.
        return rule;
    }
    const QString until = m_isWritingToGoogleDirect
        ? QStringLiteral("UNTIL=%1").arg(last->toUTC().toString(kGoogleInstanceFormat))
        : QStringLiteral("UNTIL=%1T235959").arg(last->toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyyMMdd")));
    QString fixed = rule;
    return fixed.replace(countPart, until);
}

std::optional<QDateTime> HMCalendarData::getStartDateForExceptionRecordWithOutlookId(const QString &outlookId)
{
    return dateOf(askAboutEvent(QStringLiteral("return the recurrence id of"), outlookId));
}

QString HMCalendarData::getGoogleIdForMasterRecordFromExceptonRecordId(const QString &outlookId)
{
    const QString seriesOutlookId = seriesOutlookIdOfOccurrence(outlookId);
    if (seriesOutlookId.isEmpty())
        return QString();
    QString deviceId = m_mappedDeviceIds ? m_mappedDeviceIds->value(seriesOutlookId)
                                         : outlookDatFileHelper().getDeviceEventIdForOutlookEventId(seriesOutlookId);
    if (deviceId.isEmpty())
        deviceId = (m_insertIdMapping ? *m_insertIdMapping : GlobalVariables::getIdMappingForInsertRecords())
                       .value(seriesOutlookId)
                       .toString();
    if (deviceId.isEmpty())
        return QString();
    deviceId = deviceId.left(deviceId.indexOf(u'@') < 0 ? deviceId.size() : deviceId.indexOf(u'@'));
    return deviceId.remove(u'-');
}

QString HMCalendarData::seriesOutlookIdOfOccurrence(const QString &outlookId)
{
    if (const auto known = m_seriesOfOccurrence.constFind(outlookId); known != m_seriesOfOccurrence.constEnd())
        return known.value();
    const std::optional<NSAppleEventDescriptor> answer = askAboutEvent(QStringLiteral("return the id of the master of"), outlookId);
    const QString seriesId = answer ? answer->stringValue() : QString();
    if (!seriesId.isEmpty())
        m_seriesOfOccurrence.insert(outlookId, seriesId);
    return seriesId;
}

double HMCalendarData::timezoneOffsetFromEventDescriptor(const NSAppleEventDescriptor &descriptor)
{
    const NSAppleEventDescriptor offset = descriptor.descriptorForKeyword(platform::fourCharCode("pOff"));
    return offset.isNil() ? 0.0 : offset.stringValue().toDouble();
}

std::optional<QDateTime> HMCalendarData::getStartDateForMasterRecordFromExceptonRecordId(const QString &outlookId)
{
    const std::optional<NSAppleEventDescriptor> properties =
        askAboutEvent(QStringLiteral("return the properties of the master of"), outlookId);
    const std::optional<QDateTime> start =
        properties ? dateFromEventDescriptor(properties->descriptorForKeyword(platform::fourCharCode("offs"))) : std::nullopt;
    if (!start)
        return std::nullopt;
    const std::optional<NSAppleEventDescriptor> seriesZone =
        askAboutEvent(QStringLiteral("return the timezone of the master of"), outlookId);
    const std::optional<NSAppleEventDescriptor> occurrenceZone = askAboutEvent(QStringLiteral("return the timezone of"), outlookId);
    const double difference = (seriesZone ? timezoneOffsetFromEventDescriptor(*seriesZone) : 0.0)
        - (occurrenceZone ? timezoneOffsetFromEventDescriptor(*occurrenceZone) : 0.0);
    return start->addSecs(qint64(difference));
}

std::optional<QDateTime> HMCalendarData::getStartDateForMasterRecordFromMasterRecordId(const QString &outlookId)
{
    return dateOf(askAboutEvent(QStringLiteral("return the start time of"), outlookId));
}

// The id Google gives the occurrence; null when a part cannot be had (the record is then dropped).
QString HMCalendarData::exceptionIdFromDictionary(const QVariantMap &record, const QString &outlookId)
{
    const QString seriesId = record.value(QStringLiteral("PARENTID")).toString();
    const std::optional<QDateTime> seriesStart = getStartDateForMasterRecordFromExceptonRecordId(outlookId);
    const std::optional<QDateTime> scheduled = getStartDateForExceptionRecordWithOutlookId(outlookId);
    if (seriesId.isEmpty() || !seriesStart || !scheduled)
        return QString();
    const QString timePart = gmtInstance(*seriesStart).mid(gmtInstance(*seriesStart).indexOf(u'T'));
    const QString datePart = gmtInstance(*scheduled).left(8);
    return cutBehindZoneMark(QStringLiteral("%1_%2").arg(seriesId, datePart + timePart));
}

QString HMCalendarData::deleteExceptionIdFromDictionary(const QVariantMap &record, const QString &outlookId)
{
    QString seriesId = record.value(QStringLiteral("PARENTID")).toString();
    QString suffix;
    if (const qsizetype at = seriesId.indexOf(u'@'); at >= 0) {
        suffix = seriesId.mid(at);
        seriesId = seriesId.left(at);
    }
    const std::optional<QDateTime> seriesStart = getStartDateForMasterRecordFromMasterRecordId(outlookId);
    if (!seriesStart)
        return QString();
    const QString instant = gmtInstance(*seriesStart);
    const QString timePart = instant.mid(instant.indexOf(u'T'));
    QString day = record.value(QStringLiteral("DATESTRING")).toString();
    if (const qsizetype t = day.indexOf(u'T'); t >= 0)
        day = day.left(t);
    // Google names an occurrence by its scheduled start in GMT: the series' local time of day on the
    // removed day, which after a daylight-saving change (or across GMT's midnight) is not the series'
    // first start in GMT on that day; an all-day occurrence by its day alone.
    const QDate removedDay = QDate::fromString(QString(day).remove(u'_').remove(u'-').left(8), QStringLiteral("yyyyMMdd"));
    if (removedDay.isValid()) {
        const QTimeZone local = QTimeZone::systemTimeZone();
        day = record.value(QStringLiteral("TYPENUMBER")).toBool()
            ? removedDay.toString(QStringLiteral("yyyyMMdd"))
            : gmtInstance(QDateTime(removedDay, seriesStart->toTimeZone(local).time(), local));
        return cutBehindZoneMark(QStringLiteral("%1_%2%3").arg(seriesId, day, suffix));
    }
    QString id = QStringLiteral("%1_%2%3").arg(seriesId, day + timePart, suffix);
    id.replace(QStringLiteral("__"), QStringLiteral("_"));
    return cutBehindZoneMark(id);
}
