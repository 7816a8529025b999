#include "platform/foundation/TimeZone.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/Locale.h"

#include <QTimeZone>

#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// The span of history and future kept for a zone. Past its end a zone keeps its last offset; a zone
// file's rule for the future would otherwise give transitions without end.
constexpr int kFirstRuleYear = 1800;
constexpr int kLastRuleYear = 2200;
// Far more than any zone has in that span (about 800 for a zone with daylight saving throughout).
constexpr int kMaxTransitions = 4000;

// Zones are built once per name and shared; the system zone files do not change under a running
// process often enough to matter.
std::mutex s_zonesMutex;
std::map<QString, std::shared_ptr<const TimeZone::Rules>> s_zones;

std::mutex s_defaultMutex;
std::optional<TimeZone> s_defaultOverride;

struct Offsets
{
    int32_t rawMs = 0;
    int32_t daylightMs = 0;
};

// Qt marks an offset it does not know with the lowest int.
constexpr int kUnknownOffset = std::numeric_limits<int>::min();
// No zone is a day or more away from GMT; anything else is damaged data.
constexpr int kMaxOffsetSeconds = 24 * 3600;

bool isPlausibleOffset(int seconds)
{
    return seconds != kUnknownOffset && std::abs(seconds) < kMaxOffsetSeconds;
}

// ICU wants a standard offset and a non-negative daylight saving amount. Zones whose files give a
// negative saving (Europe/Dublin's winter) are given the total offset as standard time.
std::optional<Offsets> icuOffsets(const QTimeZone::OffsetData &data)
{
    if (!isPlausibleOffset(data.offsetFromUtc))
        return std::nullopt;
    if (!isPlausibleOffset(data.standardTimeOffset) || !isPlausibleOffset(data.daylightTimeOffset) ||
        data.daylightTimeOffset < 0)
        return Offsets{data.offsetFromUtc * 1000, 0};
    return Offsets{data.standardTimeOffset * 1000, data.daylightTimeOffset * 1000};
}

std::vector<QTimeZone::OffsetData> transitionsOf(const QTimeZone &zone)
{
    const QDateTime end(QDate(kLastRuleYear, 1, 1), QTime(0, 0), Qt::UTC);
    QDateTime cursor(QDate(kFirstRuleYear, 1, 1), QTime(0, 0), Qt::UTC);
    std::vector<QTimeZone::OffsetData> transitions;
    // nextTransition() continues past the zone file's table with the file's rule for the future,
    // which transitions() does not.
    while (transitions.size() < size_t(kMaxTransitions)) {
        QTimeZone::OffsetData next = zone.nextTransition(cursor);
        // Asked from the very moment of the table's last transition, Qt answers "none" although the
        // rule goes on; a second later it answers.
        if (!next.atUtc.isValid() || next.atUtc <= cursor)
            next = zone.nextTransition(cursor.addSecs(1));
        if (!next.atUtc.isValid() || next.atUtc >= end || next.atUtc <= cursor)
            break;
        transitions.push_back(next);
        cursor = next.atUtc;
    }
    return transitions;
}

// The offsets of a zone from the system's zone files, ready for lookups: the moments (UTC) at which
// an offset comes into force, with the offset that holds from each.
struct TransitionTable
{
    Offsets initial;
    std::vector<UDate> startsUtc;
    // The first local wall-clock time that is read with the new offset: where a change skips or
    // repeats local times, those times are read with the offset in force before the change.
    std::vector<UDate> startsLocal;
    std::vector<Offsets> offsets;
    bool usesDaylightTime = false;
};

// The offsets in force at a moment, or for a local wall-clock time when local is set.
Offsets offsetsOf(const TransitionTable &table, UDate date, bool local)
{
    const std::vector<UDate> &starts = local ? table.startsLocal : table.startsUtc;
    const auto after = std::upper_bound(starts.begin(), starts.end(), date);
    return after == starts.begin() ? table.initial : table.offsets[size_t(after - starts.begin()) - 1];
}

// A zone on the system's zone data as ICU's formatters and calendars see it. ICU's own rule-based zone
// rebuilds its whole transition list on every copy, and ICU copies a zone for each parse and each
// calendar, so this one shares one immutable table among its copies and looks offsets up by binary
// search.
class SystemZoneRules final : public icu::TimeZone
{
public:
    SystemZoneRules(const icu::UnicodeString &id, std::shared_ptr<const TransitionTable> table)
        : icu::TimeZone(id), m_table(std::move(table))
    {
    }

    icu::TimeZone *clone() const override { return new SystemZoneRules(*this); }

    void getOffset(UDate date, UBool local, int32_t &rawOffset, int32_t &dstOffset, UErrorCode &status) const override
    {
        if (U_FAILURE(status))
            return;
        const Offsets offsets = offsetsOf(*m_table, date, local);
        rawOffset = offsets.rawMs;
        dstOffset = offsets.daylightMs;
    }

    // ICU's oldest interface: a local standard date by fields.
    int32_t getOffset(uint8_t era, int32_t year, int32_t month, int32_t day, uint8_t, int32_t millis,
                      UErrorCode &status) const override
    {
        if (U_FAILURE(status))
            return 0;
        const QDate date(era == 0 ? 1 - year : year, month + 1, day);
        if (!date.isValid()) {
            status = U_ILLEGAL_ARGUMENT_ERROR;
            return 0;
        }
        const UDate localMs = UDate(date.toJulianDay() - kJulianDayOf1970) * kMsPerDay + millis;
        int32_t rawOffset = 0;
        int32_t dstOffset = 0;
        getOffset(localMs, true, rawOffset, dstOffset, status);
        return rawOffset + dstOffset;
    }

    int32_t getOffset(uint8_t era, int32_t year, int32_t month, int32_t day, uint8_t dayOfWeek, int32_t millis, int32_t,
                      UErrorCode &status) const override
    {
        return getOffset(era, year, month, day, dayOfWeek, millis, status);
    }

    // The zone's rules are read-only.
    void setRawOffset(int32_t) override {}

    int32_t getRawOffset() const override
    {
        int32_t rawOffset = 0;
        int32_t dstOffset = 0;
        UErrorCode status = U_ZERO_ERROR;
        getOffset(UDate(QDateTime::currentMSecsSinceEpoch()), false, rawOffset, dstOffset, status);
        return rawOffset;
    }

    UBool useDaylightTime() const override { return m_table->usesDaylightTime; }

    UBool inDaylightTime(UDate date, UErrorCode &status) const override
    {
        int32_t rawOffset = 0;
        int32_t dstOffset = 0;
        getOffset(date, false, rawOffset, dstOffset, status);
        return dstOffset != 0;
    }

    UBool hasSameRules(const icu::TimeZone &other) const override
    {
        const auto *rules = dynamic_cast<const SystemZoneRules *>(&other);
        return rules && rules->m_table == m_table;
    }

    UClassID getDynamicClassID() const override
    {
        static char s_classId = 0;
        return &s_classId;
    }

private:
    static constexpr qint64 kJulianDayOf1970 = 2440588;
    static constexpr double kMsPerDay = 86400000.0;

    std::shared_ptr<const TransitionTable> m_table;
};

// The system's offsets of a zone; a zone without changes gets a table of its one offset.
std::shared_ptr<const TransitionTable> tableFromSystemData(const QTimeZone &zone)
{
    const std::vector<QTimeZone::OffsetData> transitions = transitionsOf(zone);
    auto table = std::make_shared<TransitionTable>();
    if (transitions.empty()) {
        // Qt's own "UTC" zone answers offsetData() with unknown offsets, but offsetFromUtc() rightly.
        const int offset = zone.offsetFromUtc(QDateTime::currentDateTimeUtc());
        if (!isPlausibleOffset(offset))
            return nullptr;
        table->initial = Offsets{offset * 1000, 0};
        return table;
    }
    const std::optional<Offsets> initial = icuOffsets(zone.offsetData(transitions.front().atUtc.addMSecs(-1)));
    if (!initial)
        return nullptr;
    table->initial = *initial;
    const UDate nowMs = UDate(QDateTime::currentMSecsSinceEpoch());
    Offsets previous = *initial;
    for (const QTimeZone::OffsetData &transition : transitions) {
        const std::optional<Offsets> offsets = icuOffsets(transition);
        if (!offsets)
            return nullptr;
        const UDate startMs = UDate(transition.atUtc.toMSecsSinceEpoch());
        const int32_t laterOffsetMs =
            std::max(previous.rawMs + previous.daylightMs, offsets->rawMs + offsets->daylightMs);
        table->startsUtc.push_back(startMs);
        table->startsLocal.push_back(startMs + laterOffsetMs);
        table->offsets.push_back(*offsets);
        if (offsets->daylightMs != 0 && startMs > nowMs)
            table->usesDaylightTime = true;
        previous = *offsets;
    }
    // Local starts follow the UTC starts unless two changes come within hours of each other; keep the
    // lookup sound even then.
    if (!std::is_sorted(table->startsLocal.begin(), table->startsLocal.end()))
        return nullptr;
    return table;
}

// The zone for ICU of the system's offsets: a fixed offset, or rules over the table.
std::shared_ptr<const icu::TimeZone> icuZoneOfTable(const QString &name, std::shared_ptr<const TransitionTable> table)
{
    const icu::UnicodeString id = toUnicodeString(name);
    if (table->startsUtc.empty())
        return std::make_shared<icu::SimpleTimeZone>(table->initial.rawMs + table->initial.daylightMs, id);
    return std::make_shared<SystemZoneRules>(id, std::move(table));
}

std::shared_ptr<const icu::TimeZone> zoneFromIcuData(const QString &name)
{
    std::shared_ptr<const icu::TimeZone> zone(icu::TimeZone::createTimeZone(toUnicodeString(name)));
    if (!zone || *zone == icu::TimeZone::getUnknown())
        return nullptr;
    return zone;
}

} // namespace

// A zone's offsets: the system's table, with ICU's rules over it made on demand, or ICU's own zone.
struct TimeZone::Rules
{
    QString name;
    // Null for a zone taken from ICU's data.
    std::shared_ptr<const TransitionTable> table;
    mutable std::once_flag icuOnce;
    mutable std::shared_ptr<const icu::TimeZone> icuZone;
};

namespace {

std::shared_ptr<const TimeZone::Rules> makeRules(const QString &name, std::shared_ptr<const TransitionTable> table,
                                                 std::shared_ptr<const icu::TimeZone> icuZone)
{
    auto rules = std::make_shared<TimeZone::Rules>();
    rules->name = name;
    rules->table = std::move(table);
    rules->icuZone = std::move(icuZone);
    return rules;
}

std::shared_ptr<const TimeZone::Rules> findZone(const QString &name)
{
    const std::lock_guard lock(s_zonesMutex);
    if (const auto cached = s_zones.find(name); cached != s_zones.end())
        return cached->second;
    std::shared_ptr<const TimeZone::Rules> rules;
    const QTimeZone systemZone(name.toUtf8());
    if (systemZone.isValid()) {
        if (std::shared_ptr<const TransitionTable> table = tableFromSystemData(systemZone))
            rules = makeRules(name, std::move(table), nullptr);
    }
    if (!rules) {
        if (std::shared_ptr<const icu::TimeZone> zone = zoneFromIcuData(name))
            rules = makeRules(name, nullptr, std::move(zone));
    }
    if (rules)
        s_zones.emplace(name, rules);
    return rules;
}

} // namespace

TimeZone::TimeZone(QString name, std::shared_ptr<const Rules> rules)
    : m_name(std::move(name)), m_rules(std::move(rules))
{
}

Result<TimeZone> TimeZone::named(const QString &name)
{
    if (name.trimmed().isEmpty())
        return Error(ErrorCode::DataMissing, QStringLiteral("a time zone needs a name"));
    std::shared_ptr<const Rules> rules = findZone(name);
    if (!rules)
        return Error(ErrorCode::DataMalformed, QStringLiteral("unknown time zone \"%1\"").arg(name));
    return TimeZone(name, std::move(rules));
}

TimeZone TimeZone::gmt()
{
    Result<TimeZone> zone = named(QStringLiteral("GMT"));
    if (zone)
        return std::move(zone).value();
    // Without zone data GMT is still GMT.
    return TimeZone(QStringLiteral("GMT"),
                    makeRules(QStringLiteral("GMT"), std::make_shared<const TransitionTable>(), nullptr));
}

TimeZone TimeZone::systemTimeZone()
{
    const QString name = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    if (name.isEmpty())
        return gmt();
    return named(name).valueOr(gmt());
}

TimeZone TimeZone::defaultTimeZone()
{
    {
        const std::lock_guard lock(s_defaultMutex);
        if (s_defaultOverride)
            return *s_defaultOverride;
    }
    return systemTimeZone();
}

void TimeZone::setDefaultTimeZone(const std::optional<TimeZone> &zone)
{
    const std::lock_guard lock(s_defaultMutex);
    s_defaultOverride = zone;
}

int TimeZone::secondsFromGmt(const QDateTime &at) const
{
    const std::optional<UDate> moment = toIcuDate(at);
    if (!moment)
        return 0;
    if (const std::optional<int32_t> offsetMs = offsetMsAt(*moment))
        return *offsetMs / 1000;
    int32_t rawMs = 0;
    int32_t daylightMs = 0;
    UErrorCode status = U_ZERO_ERROR;
    icuTimeZone().getOffset(*moment, false, rawMs, daylightMs, status);
    if (U_FAILURE(status))
        return icuTimeZone().getRawOffset() / 1000;
    return (rawMs + daylightMs) / 1000;
}

std::optional<int32_t> TimeZone::offsetMsAt(double utcMs) const
{
    if (!m_rules->table)
        return std::nullopt;
    const Offsets offsets = offsetsOf(*m_rules->table, utcMs, false);
    return offsets.rawMs + offsets.daylightMs;
}

std::optional<int32_t> TimeZone::offsetMsForWallTime(double wallMs) const
{
    if (!m_rules->table)
        return std::nullopt;
    const Offsets offsets = offsetsOf(*m_rules->table, wallMs, true);
    return offsets.rawMs + offsets.daylightMs;
}

const icu::TimeZone &TimeZone::icuTimeZone() const
{
    const Rules &rules = *m_rules;
    std::call_once(rules.icuOnce, [&rules] {
        if (!rules.icuZone)
            rules.icuZone = icuZoneOfTable(rules.name, rules.table);
    });
    return *rules.icuZone;
}

int TimeZone::secondsFromGmt() const
{
    return secondsFromGmt(Clock::now());
}

QString TimeZone::abbreviation(const QDateTime &at) const
{
    if (!at.isValid())
        return QString();
    const QTimeZone systemZone(m_name.toUtf8());
    if (systemZone.isValid())
        return systemZone.abbreviation(at);
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString(u"z"), icu::Locale("en_US"), status);
    if (U_FAILURE(status))
        return QString();
    format.setTimeZone(icuTimeZone());
    icu::UnicodeString text;
    format.format(*toIcuDate(at), text);
    return fromUnicodeString(text);
}

std::optional<UDate> toIcuDate(const QDateTime &date)
{
    if (!date.isValid())
        return std::nullopt;
    return UDate(date.toMSecsSinceEpoch());
}

QDateTime fromIcuDate(UDate date)
{
    // Far outside any calendar's range, and beyond what a 64-bit count of milliseconds holds.
    if (!(std::fabs(date) < 9.0e18))
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(qint64(std::floor(date)), Qt::UTC);
}

} // namespace platform
