#include "platform/foundation/Locale.h"

#include <QByteArray>

#include <limits>
#include <mutex>

namespace platform {

namespace {

std::mutex s_currentMutex;
std::optional<Locale> s_currentOverride;

// The identifier the environment names, in the order the C library consults its variables for dates.
QString environmentLocaleIdentifier()
{
    for (const char *variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        const QByteArray value = qgetenv(variable);
        if (value.isEmpty())
            continue;
        // "de_DE.UTF-8@euro" names the locale "de_DE"; the encoding and modifier say nothing of dates.
        const QString identifier =
            QString::fromLatin1(value).section(QLatin1Char('@'), 0, 0).section(QLatin1Char('.'), 0, 0);
        if (identifier == QLatin1String("C") || identifier == QLatin1String("POSIX"))
            return QStringLiteral("en_US_POSIX");
        return identifier;
    }
    return QStringLiteral("en_US_POSIX");
}

} // namespace

struct Locale::IcuLocale
{
    std::once_flag once;
    std::optional<icu::Locale> locale;
};

Locale::Locale(const QString &identifier) : m_identifier(identifier), m_icuLocale(std::make_shared<IcuLocale>()) {}

const icu::Locale &Locale::icuLocale() const
{
    IcuLocale &lazy = *m_icuLocale;
    std::call_once(lazy.once, [this, &lazy] {
        lazy.locale.emplace(icu::Locale::createCanonical(m_identifier.toLatin1().constData()));
    });
    return *lazy.locale;
}

Locale Locale::current()
{
    {
        const std::lock_guard lock(s_currentMutex);
        if (s_currentOverride)
            return *s_currentOverride;
    }
    return Locale(environmentLocaleIdentifier());
}

void Locale::setCurrent(const std::optional<Locale> &locale)
{
    const std::lock_guard lock(s_currentMutex);
    s_currentOverride = locale;
}

Locale Locale::system()
{
    return Locale(QString());
}

icu::UnicodeString toUnicodeString(const QString &text)
{
    if (text.size() > std::numeric_limits<int32_t>::max())
        return icu::UnicodeString();
    return icu::UnicodeString(reinterpret_cast<const char16_t *>(text.utf16()), int32_t(text.size()));
}

QString fromUnicodeString(const icu::UnicodeString &text)
{
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

} // namespace platform
