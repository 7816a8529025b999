// The rule of a series the other side changed, written to the Outlook event it is paired with. The
// update's properties record holds no recurrence, so a changed end day, interval, set of days or kind,
// or a series made single, would leave Outlook's rule as it was. The rule Outlook holds is read with
// the note the update reads anyway (no script more), and a recurrence script goes only when the two
// rules differ in what Outlook keeps: an unchanged rule is never rewritten, and the series keeps its
// removed and moved occurrences. Google direct keeps its own rewrite of the rule.

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMProfile.h"
#include "platform/applescript/NSAppleScript.h"

#include <QTimeZone>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScriptError;

using calendaroutlook::application;

namespace {

QString withoutRulePrefix(QString rule)
{
    rule.remove(u' ');
    rule.remove(u'\r');
    if (rule.startsWith(QLatin1String("RRULE:")))
        rule.remove(0, 6);
    return rule;
}

QStringList ruleParts(const QString &rule)
{
    return withoutRulePrefix(rule).split(u';', Qt::SkipEmptyParts);
}

QString partOf(const QStringList &parts, QLatin1String prefix)
{
    for (const QString &part : parts) {
        if (part.startsWith(prefix))
            return part.mid(prefix.size());
    }
    return QString();
}

// How a series ends: never, after a number of occurrences, or on a day of the event's zone.
struct RuleEnd
{
    enum class Kind { None, Count, Day } kind = Kind::None;
    qint64 count = 0;
    QDate day;
};

// An UNTIL with "Z" is an instant, read in the event's zone; one without is a floating local time
// and a date alone is its day. Outlook may give the last occurrence's start, the end of the last
// day or the day itself: all name the same last day.
QDate untilDay(QString value, const QTimeZone &zone)
{
    if (value.size() == 8)
        return QDate::fromString(value, QStringLiteral("yyyyMMdd"));
    const bool isUtc = value.endsWith(u'Z');
    if (isUtc)
        value.chop(1);
    QDateTime moment = QDateTime::fromString(value.left(15), QStringLiteral("yyyyMMdd'T'HHmmss"));
    if (!moment.isValid())
        return QDate();
    if (!isUtc)
        return moment.date();
    moment.setTimeZone(QTimeZone::utc());
    return moment.toTimeZone(zone).date();
}

RuleEnd ruleEnd(const QStringList &parts, const QTimeZone &zone)
{
    RuleEnd end;
    if (const QString until = partOf(parts, QLatin1String("UNTIL=")); !until.isEmpty()) {
        end.kind = RuleEnd::Kind::Day;
        end.day = untilDay(until, zone);
    } else if (const QString count = partOf(parts, QLatin1String("COUNT=")); !count.isEmpty()) {
        end.kind = RuleEnd::Kind::Count;
        end.count = count.toLongLong();
    }
    return end;
}

qint64 frequencyType(const QStringList &parts)
{
    static const QStringList kinds{QStringLiteral("DAILY"), QStringLiteral("WEEKLY"), QStringLiteral("MONTHLY"),
                                   QStringLiteral("YEARLY")};
    return kinds.indexOf(partOf(parts, QLatin1String("FREQ=")).toUpper()) + 1;
}

// The rule without its end, for the shape comparison.
QString withoutEnd(const QStringList &parts)
{
    QStringList kept;
    for (const QString &part : parts) {
        if (!part.startsWith(QLatin1String("UNTIL=")) && !part.startsWith(QLatin1String("COUNT=")))
            kept.append(part);
    }
    return kept.join(u';');
}

// The Outlook rule of an event's iCalendar text: the RRULE of its VEVENT ("" for a single event);
// nullopt for a text without a VEVENT or for a modified occurrence, whose rule is its series'.
std::optional<QString> ruleOfEventText(QString text)
{
    text.replace(QStringLiteral("\r\n "), QString());
    text.replace(QStringLiteral("\n "), QString());
    bool inEvent = false;
    QString rule;
    for (const QString &line : text.split(u'\n')) {
        if (line.startsWith(QLatin1String("BEGIN:VEVENT"))) {
            inEvent = true;
        } else if (!inEvent) {
            continue;
        } else if (line.startsWith(QLatin1String("END:VEVENT"))) {
            return rule;
        } else if (line.startsWith(QLatin1String("RECURRENCE-ID"))) {
            return std::nullopt;
        } else if (line.startsWith(QLatin1String("RRULE:")) && rule.isEmpty()) {
            rule = withoutRulePrefix(line);
        }
    }
    return inEvent ? std::optional<QString>(rule) : std::nullopt;
}

} // namespace

HMCalendarData::OutlookEventNow HMCalendarData::readOutlookEventNow(const QString &outlookId)
{
    OutlookEventNow now;
    if (outlookId.isEmpty())
        return now;
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = runOutlookScript(
        QStringLiteral("tell application \"%1\"\nset theEvent to the properties of calendar event id \"%2\"\nreturn theEvent\nend tell")
            .arg(application(), outlookId),
        error, false);
    if (error)
        return now;
    const NSAppleEventDescriptor note = result.descriptorForKeyword(platform::fourCharCode("PlTC"));
    if (!note.isNil())
        now.note = note.stringValue();
    const NSAppleEventDescriptor text = result.descriptorForKeyword(platform::fourCharCode("iCal"));
    if (!text.isNil())
        now.rule = ruleOfEventText(text.stringValue());
    return now;
}

// Two rules of one series differ when the recurrence scripts they give differ without their ends, or
// when their ends do: a count against a day compares the count's last occurrence with the day.
bool HMCalendarData::outlookRulesDiffer(const QString &outlookRule, const QString &recordRule, const QVariantMap &record)
{
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QStringList held = ruleParts(outlookRule);
    const QStringList wanted = ruleParts(recordRule);
    if (outlookRecurrencePropertiesStringFromRRule(withoutEnd(held), start)
        != outlookRecurrencePropertiesStringFromRRule(withoutEnd(wanted), start))
        return true;
    QTimeZone zone(record.value(QStringLiteral("EVENTTZ")).toString().toUtf8());
    if (!zone.isValid())
        zone = QTimeZone::systemTimeZone();
    RuleEnd heldEnd = ruleEnd(held, zone);
    RuleEnd wantedEnd = ruleEnd(wanted, zone);
    const auto countAsDay = [&](RuleEnd &end, const QStringList &parts) {
        const std::optional<QDateTime> last = nthDateOfOutlookRule(parts.join(u';'), start, frequencyType(parts), end.count);
        end.kind = RuleEnd::Kind::Day;
        end.day = last ? last->toTimeZone(zone).date() : QDate();
    };
    if (heldEnd.kind == RuleEnd::Kind::Count && wantedEnd.kind == RuleEnd::Kind::Day)
        countAsDay(heldEnd, held);
    else if (heldEnd.kind == RuleEnd::Kind::Day && wantedEnd.kind == RuleEnd::Kind::Count)
        countAsDay(wantedEnd, wanted);
    if (heldEnd.kind != wantedEnd.kind)
        return true;
    if (heldEnd.kind == RuleEnd::Kind::Count)
        return heldEnd.count != wantedEnd.count;
    return heldEnd.kind == RuleEnd::Kind::Day && (!heldEnd.day.isValid() || heldEnd.day != wantedEnd.day);
}

// The recurrence an update writes. Google direct rewrites a series' rule when the device is read
// again. Otherwise a series whose rule Outlook holds differently gets the record's rule, and a record
// of a single event ends Outlook's series; nothing is sent when Outlook's rule is unknown (not read,
// or an occurrence) or already the record's.
void HMCalendarData::updateOutlookRecurrence(const QString &outlookId, const QVariantMap &record, const OutlookEventNow &now,
                                             bool recurring)
{
    const QString recordRule = record.value(QStringLiteral("RRULE")).toString();
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    if (GlobalVariables::getIsGoogleDirect()) {
        if (m_profile && m_profile->rereadDeviceOnNextSync() && recurring)
            sendOutlookRecurrence(outlookId, outlookRecurrencePropertiesStringFromRRule(recordRule, start), QString(), QStringLiteral("2"));
        return;
    }
    if (!now.rule)
        return;
    if (recurring) {
        if (outlookRulesDiffer(*now.rule, recordRule, record))
            sendOutlookRecurrence(outlookId, outlookRecurrencePropertiesStringFromRRule(recordRule, start),
                                  record.value(QStringLiteral("UID")).toString(), QStringLiteral("6"));
        return;
    }
    const bool single = (record.contains(QStringLiteral("RRULE")) || record.contains(QStringLiteral("REPEAT"))) && recordRule.isEmpty()
        && record.value(QStringLiteral("REPEAT")).toLongLong() == 0;
    if (single && !now.rule->isEmpty())
        sendOutlookRecurrence(outlookId, QStringLiteral("is recurring:false"), record.value(QStringLiteral("UID")).toString(),
                              QStringLiteral("6"));
}

// One recurrence script; a refusal of one the other side's record asked for is logged as its write error.
void HMCalendarData::sendOutlookRecurrence(const QString &outlookId, const QString &properties, const QString &refusedUid,
                                           const QString &logTag)
{
    const QString script = QStringLiteral("tell application \"%1\"\nset the properties of calendar event id \"%2\" to {%3}\nend tell")
                               .arg(application(), outlookId, properties);
    DDLogInfo(QStringLiteral("modifyEventString[%1] %2").arg(logTag, script));
    std::optional<NSAppleScriptError> error;
    runOutlookScript(script, error, true);
    if (error && !m_outlookGoneDuringApply && !refusedUid.isEmpty())
        reportOutlookWriteError({{QStringLiteral("UID"), refusedUid}});
}
