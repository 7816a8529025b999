#pragma once

#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QString>

#include <unicode/timezone.h>

#include <memory>
#include <optional>

namespace platform {

// A time zone of the system's time-zone database ("GMT", "US/Pacific", "Europe/Berlin", the local
// zone). Offsets and their changes are read from the system's zone files, so they are as current as
// the installed data, and answered from a table of our own; ICU gets them as rules for its formatters
// and calendars, built only when one of those first asks. A zone the system files lack but ICU knows
// is taken from ICU's own data. A plain value sharing immutable state; thread-safe.
class TimeZone final
{
public:
    // The zone of that name, or an error naming it when neither the system nor ICU knows it.
    static Result<TimeZone> named(const QString &name);

    static TimeZone gmt();

    // The zone the system is set to (TZ, else /etc/localtime), read afresh each call.
    static TimeZone systemTimeZone();

    // The process's default zone: the one set by setDefaultTimeZone(), otherwise the system's. Formatters
    // and calendars start in it. Thread-safe.
    static TimeZone defaultTimeZone();
    // Replaces the default zone for the whole process; std::nullopt restores the system's. Thread-safe.
    static void setDefaultTimeZone(const std::optional<TimeZone> &zone);

    const QString &name() const { return m_name; }

    // Seconds east of GMT in effect at the given moment (daylight saving included).
    int secondsFromGmt(const QDateTime &at) const;
    // Seconds east of GMT in effect now (by the process clock).
    int secondsFromGmt() const;

    // The short name in effect at the given moment, such as "PST" or "PDT"; "GMT+3" style where the
    // zone has no letters of its own.
    QString abbreviation(const QDateTime &at) const;

    // Milliseconds east of GMT in effect at a moment (milliseconds since 1970 UTC), from the system's
    // zone data without ICU; std::nullopt for a zone taken from ICU's data.
    std::optional<int32_t> offsetMsAt(double utcMs) const;
    // The offset by which a local wall-clock time (milliseconds since 1970 on the local clock) is read:
    // a time that a change skips or repeats is read with the offset in force before the change, as
    // ICU's calendars read it. std::nullopt for a zone taken from ICU's data.
    std::optional<int32_t> offsetMsForWallTime(double wallMs) const;

    // The rules for ICU, built at the first call; callers that change ICU objects give them a clone.
    const icu::TimeZone &icuTimeZone() const;

    bool operator==(const TimeZone &other) const { return m_name == other.m_name; }

    struct Rules;

private:
    TimeZone(QString name, std::shared_ptr<const Rules> rules);

    QString m_name;
    std::shared_ptr<const Rules> m_rules;
};

// Dates cross between Qt and ICU as milliseconds since 1970-01-01 00:00 GMT. An invalid QDateTime has
// no ICU counterpart (std::nullopt); an ICU date comes back as a UTC QDateTime.
std::optional<UDate> toIcuDate(const QDateTime &date);
QDateTime fromIcuDate(UDate date);

} // namespace platform
