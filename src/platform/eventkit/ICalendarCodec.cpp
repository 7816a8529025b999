#include "platform/eventkit/ICalendarCodec.h"

#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/EKReminder.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarZones.h"
#include "platform/foundation/ConsoleLog.h"

#include <QHash>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <set>

namespace platform::icalcodec {

namespace {

// A rule that starts long before the window walks this many steps at most before it gives up; a
// daily rule from a century ago still reaches today.
constexpr int kMaxExpansionSteps = 200000;
constexpr int kMaxAlarmsRead = 64;
constexpr int kMaxRulesRead = 16;

QDateTime localMidnight(int year, int month, int day)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), QTimeZone::systemTimeZone()).toUTC();
}

void removeProperties(icalcomponent *item, icalproperty_kind kind)
{
    while (icalproperty *property = icalcomponent_get_first_property(item, kind)) {
        icalcomponent_remove_property(item, property);
        icalproperty_free(property);
    }
}

void setTextProperty(icalcomponent *item, icalproperty_kind kind, const QString &text,
                     icalproperty *(*make)(const char *))
{
    // The same text in the one property of its kind is left as it stands, its parameters kept.
    icalproperty *existing = icalcomponent_get_first_property(item, kind);
    if (existing && !icalcomponent_get_next_property(item, kind) && !text.isEmpty() &&
        icalproperty_get_value(existing) && icalvalue_isa(icalproperty_get_value(existing)) == ICAL_TEXT_VALUE &&
        QString::fromUtf8(icalvalue_get_text(icalproperty_get_value(existing))) == text)
        return;
    removeProperties(item, kind);
    // An empty text property is malformed: libical reads "LOCATION:" as an error and writes that
    // error (X-LIC-ERROR) into the file when it is saved again. Empty text is left out instead.
    if (!text.isEmpty())
        icalcomponent_add_property(item, make(text.toUtf8().constData()));
}

QString textOf(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QDateTime propertyDate(icalcomponent *item, icalproperty_kind kind)
{
    icalproperty *property = icalcomponent_get_first_property(item, kind);
    return property ? dateFromIcalTime(icalproperty_get_datetime_with_component(property, item)) : QDateTime();
}

// UID, texts and dates that events and to-dos share.
void readSharedFields(icalcomponent *item, EKCalendarItem &target)
{
    target.setCalendarItemIdentifier(textOf(icalcomponent_get_uid(item)));
    target.setTitle(textOf(icalcomponent_get_summary(item)));
    target.setNotes(textOf(icalcomponent_get_description(item)));
    target.setLocation(textOf(icalcomponent_get_location(item)));
    target.setCreationDate(propertyDate(item, ICAL_CREATED_PROPERTY));
    target.setLastModifiedDate(propertyDate(item, ICAL_LASTMODIFIED_PROPERTY));
}

QList<icalcomponent *> subcomponents(icalcomponent *item, icalcomponent_kind kind)
{
    QList<icalcomponent *> result;
    for (icalcomponent *child = icalcomponent_get_first_component(item, kind); child;
         child = icalcomponent_get_next_component(item, kind))
        result.append(child);
    return result;
}

// The zone's name as a TZID. Built-in zones carry a prefix ("/freeassociation.sourceforge.net/
// Europe/Berlin"), which is dropped so that other programs find the zone by its plain name.
QString zoneName(const icaltimezone *zone)
{
    QString name = textOf(icaltimezone_get_tzid(const_cast<icaltimezone *>(zone))); // libical takes no const
    while (name.startsWith(QLatin1Char('/')) && !QTimeZone::isTimeZoneIdAvailable(name.toUtf8())) {
        const qsizetype next = name.indexOf(QLatin1Char('/'), 1);
        if (next < 0)
            break;
        name = name.mid(next + 1);
        if (QTimeZone::isTimeZoneIdAvailable(name.toUtf8()))
            break;
        name.prepend(QLatin1Char('/'));
    }
    return name.startsWith(QLatin1Char('/')) ? name.mid(1) : name;
}

EKRecurrenceFrequency frequencyOf(icalrecurrencetype_frequency frequency, bool &known)
{
    known = true;
    switch (frequency) {
    case ICAL_DAILY_RECURRENCE:
        return EKRecurrenceFrequency::Daily;
    case ICAL_WEEKLY_RECURRENCE:
        return EKRecurrenceFrequency::Weekly;
    case ICAL_MONTHLY_RECURRENCE:
        return EKRecurrenceFrequency::Monthly;
    case ICAL_YEARLY_RECURRENCE:
        return EKRecurrenceFrequency::Yearly;
    default:
        known = false;
        return EKRecurrenceFrequency::Daily;
    }
}

QList<int> numbersOf(const short *values, int size)
{
    QList<int> result;
    for (int index = 0; index < size && values[index] != ICAL_RECURRENCE_ARRAY_MAX; ++index)
        result.append(values[index]);
    return result;
}

std::optional<EKRecurrenceRule> ruleFromRecurrence(const icalrecurrencetype &recurrence)
{
    bool known = false;
    const EKRecurrenceFrequency frequency = frequencyOf(recurrence.freq, known);
    if (!known)
        return std::nullopt;
    QList<EKRecurrenceDayOfWeek> days;
    for (int index = 0; index < ICAL_BY_DAY_SIZE && recurrence.by_day[index] != ICAL_RECURRENCE_ARRAY_MAX; ++index) {
        const short value = recurrence.by_day[index];
        days.append(EKRecurrenceDayOfWeek::dayOfWeek(int(icalrecurrencetype_day_day_of_week(value)),
                                                     icalrecurrencetype_day_position(value)));
    }
    std::optional<EKRecurrenceEnd> end;
    if (!icaltime_is_null_time(recurrence.until))
        end = EKRecurrenceEnd::recurrenceEndWithEndDate(dateFromIcalTime(recurrence.until));
    else if (recurrence.count > 0)
        end = EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(recurrence.count);
    return EKRecurrenceRule(
        frequency, recurrence.interval, days, numbersOf(recurrence.by_month_day, ICAL_BY_MONTHDAY_SIZE),
        numbersOf(recurrence.by_month, ICAL_BY_MONTH_SIZE), numbersOf(recurrence.by_week_no, ICAL_BY_WEEKNO_SIZE),
        numbersOf(recurrence.by_year_day, ICAL_BY_YEARDAY_SIZE), numbersOf(recurrence.by_set_pos, ICAL_BY_SETPOS_SIZE),
        end);
}

icaltriggertype triggerFor(const EKAlarm &alarm)
{
    icaltriggertype trigger = {};
    trigger.time = icaltime_null_time();
    trigger.duration = icaldurationtype_null_duration();
    if (alarm.absoluteDate().isValid())
        trigger.time = icalTimeFromDate(alarm.absoluteDate(), icaltimezone_get_utc_timezone(), false);
    else
        trigger.duration = icaldurationtype_from_int(int(std::lround(alarm.relativeOffset())));
    return trigger;
}

// The step from one occurrence to the next of a rule that only repeats its start: FREQ=DAILY, WEEKLY,
// MONTHLY or YEARLY, an INTERVAL, a COUNT or no end, no UNTIL or calendar scale, and no BY part but
// those that name the start's own day (its weekday for a weekly rule, its day of the month for a
// monthly one, its month, and day, for a yearly one), as programs write them. Its occurrences are the
// start moved on by whole days, or whole months on the start's day of the month (a month without that
// day has none), of its own clock, as libical gives them, so they are stepped here: libical's iterator
// does calendar arithmetic through ICU at every step, which took most of a first sync of series files
// and most of the walks of a later one. Nothing for any other rule, which libical walks.
struct PlainStep
{
    int days = 0;
    int months = 0;
};

// Whether the BY part is empty, or (where the rule may name it) holds nothing but the value.
bool isEmptyOr(const short *part, bool mayName, int value)
{
    if (part[0] == ICAL_RECURRENCE_ARRAY_MAX)
        return true;
    return mayName && part[0] == value && part[1] == ICAL_RECURRENCE_ARRAY_MAX;
}

// Whether the rule's BY parts name only the start's own day, as its frequency repeats it anyway.
bool namesOnlyTheStart(const icalrecurrencetype &rule, const icaltimetype &start)
{
    const std::array<const short *, 6> others = {rule.by_second,   rule.by_minute,  rule.by_hour,
                                                 rule.by_year_day, rule.by_week_no, rule.by_set_pos};
    if (std::any_of(others.cbegin(), others.cend(),
                    [](const short *part) { return part[0] != ICAL_RECURRENCE_ARRAY_MAX; }))
        return false;
    const bool isYearly = rule.freq == ICAL_YEARLY_RECURRENCE;
    // A yearly rule's day of the month without its month would name that day of every month.
    const bool namesMonth = rule.by_month[0] != ICAL_RECURRENCE_ARRAY_MAX;
    return isEmptyOr(rule.by_day, rule.freq == ICAL_WEEKLY_RECURRENCE, icaltime_day_of_week(start)) &&
           isEmptyOr(rule.by_month_day, rule.freq == ICAL_MONTHLY_RECURRENCE || (isYearly && namesMonth), start.day) &&
           isEmptyOr(rule.by_month, isYearly, start.month);
}

std::optional<PlainStep> plainStepOf(const icalrecurrencetype &rule, const icaltimetype &start)
{
    if (rule.freq < ICAL_DAILY_RECURRENCE || rule.freq > ICAL_YEARLY_RECURRENCE || rule.interval < 1 ||
        rule.count < 0 || !icaltime_is_null_time(rule.until) || rule.rscale || !namesOnlyTheStart(rule, start))
        return std::nullopt;
    switch (rule.freq) {
    case ICAL_DAILY_RECURRENCE:
        return PlainStep{int(rule.interval), 0};
    case ICAL_WEEKLY_RECURRENCE:
        return PlainStep{7 * int(rule.interval), 0};
    case ICAL_MONTHLY_RECURRENCE:
        return PlainStep{0, int(rule.interval)};
    default:
        return PlainStep{0, 12 * int(rule.interval)};
    }
}

const icaltimezone *usableZone(const icaltimezone *zone);

// Whether the wall time is one its zone's clocks skip (moved on past it). libical's iterator reads
// such a time through ICU, which gives it (and some steps after it) otherwise than a zone reads it.
bool isSkippedTime(const icaltimetype &time)
{
    if (time.is_date || !time.zone || icaltime_is_utc(time))
        return false;
    auto *zone = const_cast<icaltimezone *>(usableZone(icalzones::sharedZoneFor(time.zone))); // libical takes no const
    const icaltimetype back = icaltime_from_timet_with_zone(icaltime_as_timet_with_zone(time, zone), 0, zone);
    return back.year != time.year || back.month != time.month || back.day != time.day || back.hour != time.hour ||
           back.minute != time.minute || back.second != time.second;
}

// Whether the time of day is one at which the zone's clocks move on past some hour: a time in the span
// that an observance's onset skips (from its onset's time of day, as long as its offset grows), on
// whichever day it falls. A time whose zone has no definition to tell may be.
bool mayFallInGap(const icaltimetype &time)
{
    if (time.is_date || !time.zone || icaltime_is_utc(time))
        return false;
    auto *zone = const_cast<icaltimezone *>(usableZone(icalzones::sharedZoneFor(time.zone))); // libical takes no const
    icalcomponent *definition = zone ? icaltimezone_get_component(zone) : nullptr;
    if (!definition)
        return true;
    constexpr int kSecondsPerDay = 86400;
    const int timeOfDay = time.hour * 3600 + time.minute * 60 + time.second;
    const auto inGap = [timeOfDay](const icaltimetype &onset, int skipped) {
        const int from = onset.hour * 3600 + onset.minute * 60 + onset.second;
        return (timeOfDay - from + kSecondsPerDay) % kSecondsPerDay < skipped;
    };
    for (icalcomponent *observance = icalcomponent_get_first_component(definition, ICAL_ANY_COMPONENT); observance;
         observance = icalcomponent_get_next_component(definition, ICAL_ANY_COMPONENT)) {
        icalproperty *from = icalcomponent_get_first_property(observance, ICAL_TZOFFSETFROM_PROPERTY);
        icalproperty *to = icalcomponent_get_first_property(observance, ICAL_TZOFFSETTO_PROPERTY);
        const int skipped = from && to ? icalproperty_get_tzoffsetto(to) - icalproperty_get_tzoffsetfrom(from) : 1;
        if (skipped <= 0)
            continue;
        if (skipped >= kSecondsPerDay || inGap(icalcomponent_get_dtstart(observance), skipped))
            return true;
        for (icalproperty *date = icalcomponent_get_first_property(observance, ICAL_RDATE_PROPERTY); date;
             date = icalcomponent_get_next_property(observance, ICAL_RDATE_PROPERTY)) {
            if (inGap(icalproperty_get_rdate(date).time, skipped))
                return true;
        }
    }
    return false;
}

// Whether every start of the rule is at the start's time of day: a rule of days or longer periods
// that sets no hour, minute or second.
bool keepsTimeOfDay(const icalrecurrencetype &rule)
{
    return rule.freq >= ICAL_DAILY_RECURRENCE && rule.freq <= ICAL_YEARLY_RECURRENCE &&
           rule.by_hour[0] == ICAL_RECURRENCE_ARRAY_MAX && rule.by_minute[0] == ICAL_RECURRENCE_ARRAY_MAX &&
           rule.by_second[0] == ICAL_RECURRENCE_ARRAY_MAX;
}

// The starts of a rule in the start's own clock, one at a time; a null time after the last. A plain
// rule is stepped here until a step meets skipped time; libical walks the rest, from its own start
// past the steps already given, which are the ones it gives too.
class RuleSteps final
{
public:
    RuleSteps(const icalrecurrencetype &rule, const icaltimetype &start)
        : m_rule(rule), m_start(start), m_step(plainStepOf(rule, start)), m_next(start)
    {
        if (!m_step)
            m_iterator = icalrecur_iterator_new(m_rule, m_start);
    }
    ~RuleSteps()
    {
        if (m_iterator)
            icalrecur_iterator_free(m_iterator);
    }
    RuleSteps(const RuleSteps &) = delete;
    RuleSteps &operator=(const RuleSteps &) = delete;

    // Goes on, before the first step is taken, to a step a day or more before the moment (UTC
    // milliseconds), past steps that all start before it, where that needs no walk over them: a plain
    // rule is moved on by whole steps, counted towards its COUNT; libical starts a rule without COUNT
    // or calendar scale at the day. A rule whose starts may meet skipped time is walked whole, as
    // libical's reading of such a time changes the steps after it.
    void skipTowards(qint64 fromMs)
    {
        constexpr qint64 kMsPerDay = 86400000;
        constexpr qint64 kMaxDaysSkipped = 400 * 366;
        if (m_taken > 0 || !keepsTimeOfDay(m_rule) || (!m_step && (!m_iterator || m_rule.count > 0 || m_rule.rscale)))
            return;
        const QDateTime start = dateFromIcalTime(m_start);
        if (!start.isValid() || fromMs <= start.toMSecsSinceEpoch())
            return;
        const qint64 days = (fromMs - start.toMSecsSinceEpoch()) / kMsPerDay - 2;
        if (days <= 0 || days > kMaxDaysSkipped || mayFallInGap(m_start))
            return;
        if (m_step) {
            skipPlainSteps(int(days));
            return;
        }
        icaltimetype day = m_start;
        icaltime_adjust(&day, int(days), 0, 0, 0);
        if (!icalrecur_iterator_set_start(m_iterator, day)) {
            icalrecur_iterator_free(m_iterator);
            m_iterator = icalrecur_iterator_new(m_rule, m_start);
        }
    }

    icaltimetype next()
    {
        if (!m_step)
            return m_iterator ? icalrecur_iterator_next(m_iterator) : icaltime_null_time();
        if ((m_rule.count > 0 && m_taken >= m_rule.count) || m_next.year > kLastYear)
            return icaltime_null_time();
        if (isSkippedTime(m_next)) {
            handOverToLibical();
            return next();
        }
        const icaltimetype current = m_next;
        ++m_taken;
        moveOn();
        return current;
    }

private:
    // libical gives nothing past this year either.
    static constexpr int kLastYear = 2582;

    // Steps of whole months are skipped as many as the days surely hold (a month lasts at most 31 days);
    // they are counted towards a COUNT only where each holds the start's day (the 28th or before).
    void skipPlainSteps(int days)
    {
        if (m_step->days > 0) {
            const int steps = days / m_step->days;
            m_taken = m_rule.count > 0 ? std::min(steps, m_rule.count) : steps;
            icaltime_adjust(&m_next, m_taken * m_step->days, 0, 0, 0);
            return;
        }
        if (m_rule.count > 0 && m_start.day > 28)
            return;
        const int steps = days / 31 / m_step->months;
        m_taken = m_rule.count > 0 ? std::min(steps, m_rule.count) : steps;
        m_monthSteps = m_taken - 1;
        moveOn();
    }

    // The next step's start, past months without the start's day of the month.
    void moveOn()
    {
        if (m_step->days > 0) {
            icaltime_adjust(&m_next, m_step->days, 0, 0, 0);
            return;
        }
        do {
            ++m_monthSteps;
            const qint64 month = qint64(m_start.year) * 12 + (m_start.month - 1) + m_monthSteps * m_step->months;
            m_next.year = int(std::min<qint64>(month / 12, kLastYear + 1));
            m_next.month = int(month % 12) + 1;
        } while (m_next.year <= kLastYear && m_start.day > icaltime_days_in_month(m_next.month, m_next.year));
    }

    void handOverToLibical()
    {
        m_step.reset();
        m_iterator = icalrecur_iterator_new(m_rule, m_start);
        for (int step = 0; m_iterator && step < m_taken; ++step)
            icalrecur_iterator_next(m_iterator);
    }

    const icalrecurrencetype m_rule;
    const icaltimetype m_start;
    std::optional<PlainStep> m_step;
    int m_taken = 0;
    qint64 m_monthSteps = 0; // the month steps from the start to m_next, those without its day included
    icaltimetype m_next;
    icalrecur_iterator *m_iterator = nullptr;
};

// Walks the rule's starts before `until`, handing each to `visit` until it answers false. Every start
// from `fromMs` (UTC milliseconds) on is handed over; of those before it, any number may be left out.
void walkRule(const icalrecurrencetype &rule, const icaltimetype &start, const QDateTime &until,
              const std::function<bool(const QDateTime &)> &visit, qint64 fromMs = std::numeric_limits<qint64>::min())
{
    RuleSteps steps(rule, start);
    steps.skipTowards(fromMs);
    int taken = 0;
    for (icaltimetype next = steps.next(); !icaltime_is_null_time(next); next = steps.next()) {
        next.zone = start.zone;
        const QDateTime date = dateFromIcalTime(next);
        if (date >= until)
            break;
        if (++taken > kMaxExpansionSteps) {
            consoleLog(QStringLiteral("Recurrence expansion stopped after %1 occurrences").arg(kMaxExpansionSteps));
            break;
        }
        if (!visit(date))
            break;
    }
}

void addOccurrencesOfRule(const icalrecurrencetype &rule, const icaltimetype &start, const QDateTime &windowEnd,
                          std::set<qint64> &starts)
{
    walkRule(rule, start, windowEnd, [&starts](const QDateTime &date) {
        starts.insert(date.toMSecsSinceEpoch());
        return true;
    });
}

std::set<qint64> excludedStarts(icalcomponent *master)
{
    std::set<qint64> excluded;
    for (icalproperty *property = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY); property;
         property = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY)) {
        const QDateTime date = dateFromIcalTime(icalproperty_get_datetime_with_component(property, master));
        if (date.isValid())
            excluded.insert(date.toMSecsSinceEpoch());
    }
    return excluded;
}

void addRecurrenceDates(icalcomponent *master, const icaltimetype &start, std::set<qint64> &starts)
{
    for (icalproperty *property = icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY); property;
         property = icalcomponent_get_next_property(master, ICAL_RDATE_PROPERTY)) {
        const icaldatetimeperiodtype value = icalproperty_get_rdate(property);
        // A period's occurrence starts at the period's start (the phone holds it at the series' length).
        icaltimetype time = icaltime_is_null_time(value.time) ? value.period.start : value.time;
        // A date among date-times (or the other way round) names no time the series can start at.
        if (icaltime_is_null_time(time) || time.is_date != start.is_date)
            continue;
        if (!icaltime_is_utc(time) && !time.is_date)
            time.zone = start.zone;
        starts.insert(dateFromIcalTime(time).toMSecsSinceEpoch());
    }
}

// Whether a zone's definition holds a rule for its changes: one without (only the transitions near
// the dates its file uses, as some programs write, or none at all) is short of the years after.
bool hasRuledObservance(icalcomponent *definition)
{
    for (icalcomponent *observance = icalcomponent_get_first_component(definition, ICAL_ANY_COMPONENT); observance;
         observance = icalcomponent_get_next_component(definition, ICAL_ANY_COMPONENT)) {
        if (icalcomponent_get_first_property(observance, ICAL_RRULE_PROPERTY))
            return true;
    }
    return false;
}

// The system's zone of the name (or of the Windows name it gives); null when it knows none. Asked for
// each time read in such a zone, so the answers for the first names asked are kept (built-in zones
// live as long as the process).
const icaltimezone *systemZoneNamed(const QByteArray &tzid)
{
    constexpr qsizetype kMaxNamesKept = 256;
    static std::mutex mutex;
    static QHash<QByteArray, const icaltimezone *> known;
    {
        const std::lock_guard lock(mutex);
        if (const auto found = known.constFind(tzid); found != known.constEnd())
            return *found;
    }
    const QByteArray iana =
        QTimeZone::isTimeZoneIdAvailable(tzid) ? tzid : QTimeZone::windowsIdToDefaultIanaId(tzid);
    const icaltimezone *system = iana.isEmpty() ? nullptr : icaltimezone_get_builtin_timezone(iana.constData());
    const std::lock_guard lock(mutex);
    if (known.size() < kMaxNamesKept)
        known.insert(tzid, system);
    return system;
}

// The zone a time is read and written in: a file's zone, unless its definition is short and the
// system's zone database knows a zone of its name, which then stands in for it through every year.
const icaltimezone *usableZone(const icaltimezone *zone)
{
    // Most times are in UTC, which has no definition to stand in for.
    if (zone == icaltimezone_get_utc_timezone())
        return zone;
    auto *mutableZone = const_cast<icaltimezone *>(zone); // libical takes no const
    icalcomponent *definition = icaltimezone_get_component(mutableZone);
    const char *tzid = icaltimezone_get_tzid(mutableZone);
    if (!definition || !tzid || hasRuledObservance(definition))
        return zone;
    const icaltimezone *system = systemZoneNamed(QByteArray(tzid));
    return system ? system : zone;
}

} // namespace

bool overlapsWindow(const QDateTime &occurrence, qint64 length, const QDateTime &windowStart,
                    const QDateTime &windowEnd)
{
    return occurrence < windowEnd &&
           (occurrence.addSecs(length) > windowStart || (length == 0 && occurrence >= windowStart));
}

// An invalid date goes before every valid one, as QDateTime compares them; the seconds between two
// dates are their milliseconds apart divided by a thousand, rounded towards zero.
bool overlapsWindow(qint64 start, qint64 end, const QDateTime &windowStart, const QDateTime &windowEnd)
{
    if (!windowEnd.isValid() || start >= windowEnd.toMSecsSinceEpoch())
        return false;
    if (!windowStart.isValid())
        return true;
    const qint64 length = (end - start) / 1000 * 1000;
    const qint64 from = windowStart.toMSecsSinceEpoch();
    return start + length > from || (length == 0 && start >= from);
}

const QTimeZone &utcZone()
{
    static const QTimeZone utc = QTimeZone::utc();
    return utc;
}

namespace {

bool isDatedTime(const icaltimetype &time)
{
    return !icaltime_is_null_time(time) && icaltime_is_valid_time(time);
}

// A date-only value or a floating time of day: read in the system's zone.
bool isLocalTime(const icaltimetype &time)
{
    return time.is_date || (!time.zone && !icaltime_is_utc(time));
}

// A local time of isLocalTime as a UTC date.
QDateTime localDateOf(const icaltimetype &time)
{
    if (time.is_date)
        return localMidnight(time.year, time.month, time.day);
    return QDateTime(QDate(time.year, time.month, time.day), QTime(time.hour, time.minute, time.second),
                     QTimeZone::systemTimeZone())
        .toUTC();
}

// A time in UTC or in a zone as seconds since 1970. A zone a file defines is read as the process's
// shared zone of that definition, or as the system's zone of its name when the definition is short.
qint64 zonedSecondsOf(const icaltimetype &time)
{
    const icaltimezone *zone =
        time.zone ? usableZone(icalzones::sharedZoneFor(time.zone)) : icaltimezone_get_utc_timezone();
    return qint64(icaltime_as_timet_with_zone(time, zone));
}

} // namespace

QDateTime dateFromIcalTime(const icaltimetype &time)
{
    if (!isDatedTime(time))
        return QDateTime();
    if (isLocalTime(time))
        return localDateOf(time);
    return QDateTime::fromSecsSinceEpoch(zonedSecondsOf(time), utcZone());
}

std::optional<qint64> secondsFromIcalTime(const icaltimetype &time)
{
    if (!isDatedTime(time))
        return std::nullopt;
    if (!isLocalTime(time))
        return zonedSecondsOf(time);
    const QDateTime local = localDateOf(time);
    return local.isValid() ? std::optional<qint64>(local.toSecsSinceEpoch()) : std::nullopt;
}

icaltimetype icalTimeFromDate(const QDateTime &date, const icaltimezone *zone, bool dateOnly)
{
    if (!date.isValid())
        return icaltime_null_time();
    if (dateOnly) {
        const QDate day = date.toTimeZone(QTimeZone::systemTimeZone()).date();
        icaltimetype time = icaltime_null_time();
        time.year = day.year();
        time.month = day.month();
        time.day = day.day();
        time.is_date = 1;
        return time;
    }
    const icaltimezone *target = zone ? zone : icaltimezone_get_utc_timezone();
    // libical converts to the zone's wall time but leaves the result marked as UTC. The wall time is
    // that of the zone times are read in; the time keeps the zone it was asked in, and its name.
    icaltimetype time = icaltime_from_timet_with_zone(time_t(date.toSecsSinceEpoch()), 0, usableZone(target));
    time.zone = target;
    return time;
}

icaltimezone *icalZoneFor(const QTimeZone &zone)
{
    const QByteArray id = zone.isValid() ? zone.id() : QByteArray("UTC");
    if (id == "UTC" || id == "Etc/UTC" || id == "GMT" || zone == QTimeZone::utc())
        return icaltimezone_get_utc_timezone();
    icaltimezone *builtin = icaltimezone_get_builtin_timezone(id.constData());
    return builtin ? builtin : icaltimezone_get_utc_timezone();
}

namespace {

// The zone of a name, made once per name and thread and shared by the events read in it: each event
// of a listing made a zone of its own. Nothing when no zone has the name.
std::optional<QTimeZone> namedZone(const QByteArray &name)
{
    // Files may name any number of zones: past this many, those kept are let go.
    constexpr qsizetype kMaxKeptZones = 64;
    thread_local QHash<QByteArray, QTimeZone> kept;
    if (const auto found = kept.constFind(name); found != kept.constEnd())
        return *found;
    // Exports of other programs name their zones as Windows does ("W. Europe Standard Time").
    const QByteArray iana =
        QTimeZone::isTimeZoneIdAvailable(name) ? name : QTimeZone::windowsIdToDefaultIanaId(name);
    if (iana.isEmpty())
        return std::nullopt;
    if (kept.size() >= kMaxKeptZones)
        kept.clear();
    return *kept.insert(name, QTimeZone(iana));
}

} // namespace

QTimeZone timeZoneOf(const icaltimetype &time)
{
    if (time.is_date || (!time.zone && !icaltime_is_utc(time)))
        return QTimeZone::systemTimeZone();
    if (icaltime_is_utc(time)) {
        thread_local const QTimeZone utc = QTimeZone::utc();
        return utc;
    }
    return namedZone(zoneName(time.zone).toUtf8()).value_or(QTimeZone::systemTimeZone());
}

void addTimeProperty(icalcomponent *calendar, icalcomponent *item, icalproperty *property, const icaltimetype &time)
{
    icalcomponent_add_property(item, property);
    if (time.is_date || !time.zone || icaltime_is_utc(time))
        return;
    const QByteArray tzid = zoneName(time.zone).toUtf8();
    icalproperty_add_parameter(property, icalparameter_new_tzid(tzid.constData()));
    if (!calendar || icalcomponent_get_timezone(calendar, tzid.constData()))
        return;
    icalcomponent *source = icaltimezone_get_component(const_cast<icaltimezone *>(time.zone));
    if (!source)
        return;
    icalcomponent *definition = icalcomponent_new_clone(source);
    if (icalproperty *idProperty = icalcomponent_get_first_property(definition, ICAL_TZID_PROPERTY))
        icalproperty_set_tzid(idProperty, tzid.constData());
    icalcomponent_add_component(calendar, definition);
}

QList<EKAlarm> readAlarms(icalcomponent *item, qint64 lengthSeconds)
{
    QList<EKAlarm> alarms;
    for (icalcomponent *alarm : subcomponents(item, ICAL_VALARM_COMPONENT)) {
        icalproperty *property = icalcomponent_get_first_property(alarm, ICAL_TRIGGER_PROPERTY);
        if (!property || alarms.size() >= kMaxAlarmsRead)
            continue;
        const icaltriggertype trigger = icalproperty_get_trigger(property);
        if (!icaltime_is_null_time(trigger.time)) {
            alarms.append(EKAlarm::alarmWithAbsoluteDate(dateFromIcalTime(trigger.time)));
            continue;
        }
        double offset = icaldurationtype_as_int(trigger.duration);
        icalparameter *related = icalproperty_get_first_parameter(property, ICAL_RELATED_PARAMETER);
        if (related && icalparameter_get_related(related) == ICAL_RELATED_END)
            offset += double(lengthSeconds);
        alarms.append(EKAlarm::alarmWithRelativeOffset(offset));
    }
    return alarms;
}

void writeAlarms(icalcomponent *item, const QList<EKAlarm> &alarms, const QString &description)
{
    if (readAlarms(item, lengthSeconds(item)) == alarms)
        return;
    for (icalcomponent *alarm : subcomponents(item, ICAL_VALARM_COMPONENT)) {
        icalcomponent_remove_component(item, alarm);
        icalcomponent_free(alarm);
    }
    const QByteArray text = (description.isEmpty() ? QStringLiteral("Reminder") : description).toUtf8();
    for (const EKAlarm &alarm : alarms) {
        icalcomponent *component = icalcomponent_new(ICAL_VALARM_COMPONENT);
        icalcomponent_add_property(component, icalproperty_new_action(ICAL_ACTION_DISPLAY));
        icalcomponent_add_property(component, icalproperty_new_description(text.constData()));
        icalproperty *trigger = icalproperty_new_trigger(triggerFor(alarm));
        if (alarm.absoluteDate().isValid())
            icalproperty_add_parameter(trigger, icalparameter_new_value(ICAL_VALUE_DATETIME));
        icalcomponent_add_property(component, trigger);
        icalcomponent_add_component(item, component);
    }
}

QList<EKRecurrenceRule> readRules(icalcomponent *item)
{
    QList<EKRecurrenceRule> rules;
    for (icalproperty *property = icalcomponent_get_first_property(item, ICAL_RRULE_PROPERTY);
         property && rules.size() < kMaxRulesRead;
         property = icalcomponent_get_next_property(item, ICAL_RRULE_PROPERTY)) {
        if (const std::optional<EKRecurrenceRule> rule = ruleFromRecurrence(icalproperty_get_rrule(property)))
            rules.append(*rule);
    }
    return rules;
}

namespace {

// A daily rule from the start of a series of RDATEs alone to its last occurrence, when every
// occurrence starts at the local time of day of the first: the days between are the rule's
// exceptions. Nothing for an item with a rule, a moved occurrence, one without RDATEs, or one whose
// times of day differ.
std::optional<EKRecurrenceRule> ruleOfRecurrenceDates(icalcomponent *item)
{
    if (icalcomponent_get_first_property(item, ICAL_RRULE_PROPERTY) ||
        icalcomponent_get_first_property(item, ICAL_RECURRENCEID_PROPERTY) ||
        !icalcomponent_get_first_property(item, ICAL_RDATE_PROPERTY))
        return std::nullopt;
    const QList<qint64> starts = expandOccurrences(item, QDateTime()).starts;
    if (starts.size() < 2)
        return std::nullopt;
    const QTimeZone local = QTimeZone::systemTimeZone();
    const auto timeOfDay = [&local](qint64 startMs) { return QDateTime::fromMSecsSinceEpoch(startMs, local).time(); };
    const QTime first = timeOfDay(starts.first());
    for (const qint64 startMs : starts) {
        if (timeOfDay(startMs) != first)
            return std::nullopt;
    }
    return EKRecurrenceRule(
        EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
        EKRecurrenceEnd::recurrenceEndWithEndDate(QDateTime::fromMSecsSinceEpoch(starts.last(), QTimeZone::utc())));
}

} // namespace

QList<EKRecurrenceRule> seriesRules(icalcomponent *item)
{
    if (const std::optional<EKRecurrenceRule> rule = ruleOfRecurrenceDates(item))
        return {*rule};
    return readRules(item);
}

void writeRules(icalcomponent *item, const QList<EKRecurrenceRule> &rules, bool allDay)
{
    if (seriesRules(item) == rules)
        return;
    removeProperties(item, ICAL_RRULE_PROPERTY);
    const QString prefix = QStringLiteral("EKRecurrenceRule RRULE ");
    for (const EKRecurrenceRule &rule : rules) {
        const QByteArray text = rule.description().mid(prefix.size()).toUtf8();
        icalrecurrencetype recurrence = icalrecurrencetype_from_string(text.constData());
        if (recurrence.freq == ICAL_NO_RECURRENCE)
            continue;
        if (allDay && rule.recurrenceEnd() && rule.recurrenceEnd()->endDate().isValid())
            recurrence.until = icalTimeFromDate(rule.recurrenceEnd()->endDate(), nullptr, true);
        icalcomponent_add_property(item, icalproperty_new_rrule(recurrence));
    }
}

void readEvent(icalcomponent *item, EKEvent &event)
{
    readSharedFields(item, event);
    const icaltimetype start = icalcomponent_get_dtstart(item);
    const QDateTime startDate = dateFromIcalTime(start);
    event.setAllDay(start.is_date != 0);
    event.setTimeZone(timeZoneOf(start));
    const qint64 length = lengthSeconds(item);
    event.setStartDate(startDate);
    event.setEndDate(startDate.addSecs(length));
    event.setAlarms(readAlarms(item, length));
    event.setRecurrenceRules(seriesRules(item));
}

namespace {

// Whether the item already says the event's start, end and all-day state, as readEvent reads them.
bool hasDatesOf(icalcomponent *item, const EKEvent &event)
{
    const icaltimetype start = icalcomponent_get_dtstart(item);
    if (icaltime_is_null_time(start) || (start.is_date != 0) != event.isAllDay())
        return false;
    const QDateTime startDate = dateFromIcalTime(start);
    return startDate == event.startDate() && startDate.addSecs(lengthSeconds(item)) == event.endDate();
}

// Dates the item already says are left as it says them: its zone, a floating time, DURATION or no end.
void writeEventDates(icalcomponent *calendar, icalcomponent *item, const EKEvent &event)
{
    if (hasDatesOf(item, event))
        return;
    const bool allDay = event.isAllDay();
    icaltimezone *zone = allDay ? nullptr : icalZoneFor(event.timeZone());
    QDateTime endDate = event.endDate().isValid() ? event.endDate() : event.startDate();
    if (allDay && endDate.date() <= event.startDate().date())
        endDate = event.startDate().addDays(1);
    const icaltimetype start = icalTimeFromDate(event.startDate(), zone, allDay);
    const icaltimetype end = icalTimeFromDate(endDate, zone, allDay);
    removeProperties(item, ICAL_DTSTART_PROPERTY);
    removeProperties(item, ICAL_DTEND_PROPERTY);
    removeProperties(item, ICAL_DURATION_PROPERTY);
    addTimeProperty(calendar, item, icalproperty_new_dtstart(start), start);
    addTimeProperty(calendar, item, icalproperty_new_dtend(end), end);
}

} // namespace

void writeEvent(icalcomponent *calendar, icalcomponent *item, const EKEvent &event, bool writeRecurrence)
{
    setTextProperty(item, ICAL_SUMMARY_PROPERTY, event.title(), icalproperty_new_summary);
    setTextProperty(item, ICAL_DESCRIPTION_PROPERTY, event.notes(), icalproperty_new_description);
    setTextProperty(item, ICAL_LOCATION_PROPERTY, event.location(), icalproperty_new_location);
    writeEventDates(calendar, item, event);
    writeAlarms(item, event.alarms(), event.title());
    if (writeRecurrence)
        writeRules(item, event.recurrenceRules(), event.isAllDay());
    stampModification(item);
}

void readReminder(icalcomponent *item, EKReminder &reminder)
{
    readSharedFields(item, reminder);
    const icaltimetype due = icalcomponent_get_due(item);
    reminder.setDueDate(dateFromIcalTime(due), due.is_date != 0);
    if (icalproperty *priority = icalcomponent_get_first_property(item, ICAL_PRIORITY_PROPERTY))
        reminder.setPriority(icalproperty_get_priority(priority));
    const QDateTime completed = propertyDate(item, ICAL_COMPLETED_PROPERTY);
    if (completed.isValid())
        reminder.setCompletionDate(completed);
    else
        reminder.setCompleted(icalcomponent_get_status(item) == ICAL_STATUS_COMPLETED);
    reminder.setAlarms(readAlarms(item, 0));
}

namespace {

// The due date, unless the item already says it as readReminder reads it (a DUE of its own form, or
// one libical gives from DTSTART and DURATION).
void writeDue(icalcomponent *calendar, icalcomponent *item, const EKReminder &reminder)
{
    const icaltimetype current = icalcomponent_get_due(item);
    if (dateFromIcalTime(current) == reminder.dueDate() && (current.is_date != 0) == reminder.isDueDateAllDay())
        return;
    removeProperties(item, ICAL_DUE_PROPERTY);
    if (!reminder.dueDate().isValid())
        return;
    const bool dateOnly = reminder.isDueDateAllDay();
    const icaltimetype due = icalTimeFromDate(reminder.dueDate(),
                                              dateOnly ? nullptr : icalZoneFor(QTimeZone::systemTimeZone()), dateOnly);
    addTimeProperty(calendar, item, icalproperty_new_due(due), due);
}

// STATUS and COMPLETED, when the reminder's completion is not what the item says already (a new item
// always gets them).
void writeCompletion(icalcomponent *item, const EKReminder &reminder)
{
    const bool wasCompleted = propertyDate(item, ICAL_COMPLETED_PROPERTY).isValid() ||
                              icalcomponent_get_status(item) == ICAL_STATUS_COMPLETED;
    // An item we have just made has CREATED and no DTSTAMP yet.
    const bool isNew = !icalcomponent_get_first_property(item, ICAL_DTSTAMP_PROPERTY) &&
                       icalcomponent_get_first_property(item, ICAL_CREATED_PROPERTY);
    if (wasCompleted == reminder.isCompleted() && !isNew)
        return;
    removeProperties(item, ICAL_STATUS_PROPERTY);
    removeProperties(item, ICAL_COMPLETED_PROPERTY);
    icalcomponent_add_property(
        item, icalproperty_new_status(reminder.isCompleted() ? ICAL_STATUS_COMPLETED : ICAL_STATUS_NEEDSACTION));
    if (reminder.isCompleted() && reminder.completionDate().isValid()) {
        icalcomponent_add_property(item, icalproperty_new_completed(icalTimeFromDate(
                                             reminder.completionDate(), icaltimezone_get_utc_timezone(), false)));
    }
}

} // namespace

void writeReminder(icalcomponent *calendar, icalcomponent *item, const EKReminder &reminder)
{
    setTextProperty(item, ICAL_SUMMARY_PROPERTY, reminder.title(), icalproperty_new_summary);
    setTextProperty(item, ICAL_DESCRIPTION_PROPERTY, reminder.notes(), icalproperty_new_description);
    setTextProperty(item, ICAL_LOCATION_PROPERTY, reminder.location(), icalproperty_new_location);
    writeDue(calendar, item, reminder);
    removeProperties(item, ICAL_PRIORITY_PROPERTY);
    if (reminder.priority() > 0)
        icalcomponent_add_property(item, icalproperty_new_priority(reminder.priority()));
    writeCompletion(item, reminder);
    writeAlarms(item, reminder.alarms(), reminder.title());
    stampModification(item);
}

void stampModification(icalcomponent *item)
{
    const icaltimetype now = icalTimeFromDate(QDateTime::currentDateTimeUtc(), icaltimezone_get_utc_timezone(), false);
    removeProperties(item, ICAL_DTSTAMP_PROPERTY);
    removeProperties(item, ICAL_LASTMODIFIED_PROPERTY);
    icalcomponent_add_property(item, icalproperty_new_dtstamp(now));
    icalcomponent_add_property(item, icalproperty_new_lastmodified(now));
}

void stampCreation(icalcomponent *item)
{
    if (icalcomponent_get_first_property(item, ICAL_CREATED_PROPERTY))
        return;
    icalcomponent_add_property(
        item, icalproperty_new_created(
                  icalTimeFromDate(QDateTime::currentDateTimeUtc(), icaltimezone_get_utc_timezone(), false)));
}

QList<QDateTime> occurrenceStarts(icalcomponent *master, const QDateTime &windowStart, const QDateTime &windowEnd)
{
    return occurrencesOverlapping(expandOccurrences(master, windowEnd), windowStart, windowEnd);
}

ICalendarOccurrences expandOccurrences(icalcomponent *master, const QDateTime &horizon)
{
    ICalendarOccurrences result;
    result.horizon = horizon;
    const icaltimetype start = icalcomponent_get_dtstart(master);
    if (icaltime_is_null_time(start))
        return result;
    result.lengthSeconds = lengthSeconds(master);
    std::set<qint64> starts;
    icalproperty *firstRule = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY);
    // The start is the first occurrence of a series of RDATEs alone; a rule gives it itself.
    if (!firstRule)
        starts.insert(dateFromIcalTime(start).toMSecsSinceEpoch());
    for (icalproperty *rule = firstRule; rule; rule = icalcomponent_get_next_property(master, ICAL_RRULE_PROPERTY))
        addOccurrencesOfRule(icalproperty_get_rrule(rule), start, horizon, starts);
    addRecurrenceDates(master, start, starts);
    const std::set<qint64> excluded = excludedStarts(master);
    result.starts.reserve(qsizetype(starts.size()));
    for (const qint64 startMs : starts) {
        if (!excluded.count(startMs))
            result.starts.append(startMs);
    }
    return result;
}

namespace {

using StartRange = std::pair<QList<qint64>::const_iterator, QList<qint64>::const_iterator>;

// The kept starts that may reach into the window: nothing that starts before the window's start less
// the length can, nor anything from the window's end on. An invalid end goes before every start, as
// QDateTime compares them.
StartRange startsReaching(const ICalendarOccurrences &occurrences, const QDateTime &windowStart,
                          const QDateTime &windowEnd)
{
    const auto end = occurrences.starts.cend();
    if (!windowEnd.isValid())
        return {end, end};
    auto first = occurrences.starts.cbegin();
    if (windowStart.isValid())
        first = std::lower_bound(first, end, windowStart.addSecs(-occurrences.lengthSeconds).toMSecsSinceEpoch());
    return {first, std::lower_bound(first, end, windowEnd.toMSecsSinceEpoch())};
}

} // namespace

QList<QDateTime> occurrencesOverlapping(const ICalendarOccurrences &occurrences, const QDateTime &windowStart,
                                        const QDateTime &windowEnd)
{
    QList<QDateTime> result;
    const auto [first, last] = startsReaching(occurrences, windowStart, windowEnd);
    // Told by their milliseconds, as their dates would tell it: a series' walk holds thousands.
    const qint64 lengthMs = occurrences.lengthSeconds * 1000;
    for (auto it = first; it != last; ++it) {
        if (overlapsWindow(*it, *it + lengthMs, windowStart, windowEnd))
            result.append(QDateTime::fromMSecsSinceEpoch(*it, utcZone()));
    }
    return result;
}

std::optional<QDateTime>
firstOccurrenceIn(const std::function<void(qint64 from, const StartVisitor &)> &visitStartsFrom, qint64 lengthSeconds,
                  const QDateTime &windowStart, const QDateTime &windowEnd, const QList<QDateTime> &skipped)
{
    // Nothing that starts before the window's start less the length reaches into it, nor anything
    // from the window's end on; an invalid end goes before every start, as QDateTime compares them.
    if (!windowEnd.isValid())
        return std::nullopt;
    std::set<qint64> excluded;
    for (const QDateTime &date : skipped)
        excluded.insert(date.toMSecsSinceEpoch());
    const qint64 from = windowStart.isValid() ? windowStart.addSecs(-lengthSeconds).toMSecsSinceEpoch()
                                              : std::numeric_limits<qint64>::min();
    const qint64 end = windowEnd.toMSecsSinceEpoch();
    // A start in UTC moves by exactly a thousand milliseconds a second: the window is told in
    // milliseconds, and a date made only of the start found. A length past any calendar's is told
    // by the dates, whose sums saturate where the milliseconds would overflow.
    constexpr qint64 kMaxMillisecondLength = qint64(1) << 40;
    const bool isShort = lengthSeconds > -kMaxMillisecondLength && lengthSeconds < kMaxMillisecondLength;
    std::optional<qint64> found;
    const auto consider = [&](qint64 startMs) {
        if (startMs >= end)
            return false;
        const bool overlaps =
            isShort ? overlapsWindow(startMs, startMs + lengthSeconds * 1000, windowStart, windowEnd)
                    : overlapsWindow(QDateTime::fromMSecsSinceEpoch(startMs, utcZone()), lengthSeconds, windowStart,
                                     windowEnd);
        if (!excluded.count(startMs) && overlaps)
            found = startMs;
        return !found;
    };
    // Handed over as one reference, which the visitor keeps in place: the test itself, holding its
    // many references, would be copied to the heap for each series.
    visitStartsFrom(from, [&consider](qint64 startMs) { return consider(startMs); });
    // Plain UTC, the same moment firstOccurrence gives in the UTC zone: a date in a zone is made on
    // the heap and looks its offset up, for each of the thousands of series a listing reads, whose
    // occurrences take their dates in plain UTC all the same.
    return found ? std::optional<QDateTime>(QDateTime::fromMSecsSinceEpoch(*found, Qt::UTC)) : std::nullopt;
}

// Each rule is walked only up to its first start that counts, or up to the best one found so far.
std::optional<QDateTime> firstOccurrence(icalcomponent *master, const QDateTime &windowStart,
                                         const QDateTime &windowEnd, const QList<QDateTime> &skipped)
{
    const icaltimetype start = icalcomponent_get_dtstart(master);
    if (icaltime_is_null_time(start))
        return std::nullopt;
    const qint64 length = lengthSeconds(master);
    std::set<qint64> excluded = excludedStarts(master);
    for (const QDateTime &date : skipped)
        excluded.insert(date.toMSecsSinceEpoch());
    std::optional<QDateTime> best;
    const auto counts = [&](const QDateTime &date) {
        return overlapsWindow(date, length, windowStart, windowEnd) && !excluded.count(date.toMSecsSinceEpoch());
    };
    const auto consider = [&](const QDateTime &date) {
        if (counts(date) && (!best || date < *best))
            best = date;
    };
    icalproperty *firstRule = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY);
    if (!firstRule)
        consider(dateFromIcalTime(start));
    // Nothing that starts before the window's start less the length reaches into it.
    const qint64 from = windowStart.isValid() ? windowStart.addSecs(-length).toMSecsSinceEpoch()
                                              : std::numeric_limits<qint64>::min();
    for (icalproperty *rule = firstRule; rule; rule = icalcomponent_get_next_property(master, ICAL_RRULE_PROPERTY)) {
        const auto visit = [&](const QDateTime &date) {
            consider(date);
            return !counts(date);
        };
        walkRule(icalproperty_get_rrule(rule), start, best.value_or(windowEnd), visit, from);
    }
    std::set<qint64> dates;
    addRecurrenceDates(master, start, dates);
    for (const qint64 dateMs : dates)
        consider(QDateTime::fromMSecsSinceEpoch(dateMs, utcZone()));
    return best;
}

qint64 lengthSeconds(icalcomponent *item)
{
    const icaltimetype start = icalcomponent_get_dtstart(item);
    if (icaltime_is_null_time(start))
        return 0;
    const bool hasEnd = icalcomponent_get_first_property(item, ICAL_DTEND_PROPERTY) ||
                        icalcomponent_get_first_property(item, ICAL_DURATION_PROPERTY);
    if (!hasEnd)
        return start.is_date ? 86400 : 0;
    const std::optional<qint64> end = secondsFromIcalTime(icalcomponent_get_dtend(item));
    const std::optional<qint64> begin = secondsFromIcalTime(start);
    return end && begin && *end > *begin ? *end - *begin : 0;
}

QDateTime recurrenceIdOf(icalcomponent *item)
{
    return propertyDate(item, ICAL_RECURRENCEID_PROPERTY);
}

} // namespace platform::icalcodec
