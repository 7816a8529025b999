#pragma once

#include <QString>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>
#include <optional>

namespace platform {

// A locale: the conventions (month names, date styles, AM/PM symbols, first weekday) that formatters
// follow, named by an identifier such as "en_US", "de_DE" or "en_US_POSIX". The identifier is kept as
// given ("en_us" stays "en_us"); the conventions are ICU's data for it, looked up only when first
// asked for, since most formatters of the program never need them. A plain value; thread-safe.
class Locale final
{
public:
    // The locale of the given identifier. An identifier ICU does not know falls back to its language,
    // then to the neutral conventions, as the platform does.
    explicit Locale(const QString &identifier);

    // The user's current locale: the one set by setCurrent(), otherwise the one the environment names
    // (LC_ALL, then LC_TIME, then LANG; "C" and "POSIX" read as "en_US_POSIX"). Read afresh each call.
    static Locale current();

    // Replaces the current locale for the whole process; std::nullopt restores the environment's.
    // Tests use it to run under a chosen locale. Thread-safe.
    static void setCurrent(const std::optional<Locale> &locale);

    // The neutral locale without user settings (identifier ""), for texts meant for programs.
    static Locale system();

    const QString &identifier() const { return m_identifier; }
    // ICU's locale of the identifier, made at the first call.
    const icu::Locale &icuLocale() const;

    bool operator==(const Locale &other) const { return m_identifier == other.m_identifier; }

private:
    struct IcuLocale;

    QString m_identifier;
    std::shared_ptr<IcuLocale> m_icuLocale;
};

// Texts cross between Qt and ICU unchanged: both hold UTF-16.
icu::UnicodeString toUnicodeString(const QString &text);
QString fromUnicodeString(const icu::UnicodeString &text);

} // namespace platform
