#include "platform/foundation/Scanner.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace platform {

Scanner::Scanner(QString text) : m_text(std::move(text)) {}

void Scanner::setScanLocation(qsizetype location)
{
    m_location = std::clamp<qsizetype>(location, 0, m_text.size());
}

qsizetype Scanner::locationAfterSkipping(qsizetype from) const
{
    return indexAfterCharacters(m_text, from, m_skipped);
}

std::optional<QString> Scanner::scanUpToString(const QString &target)
{
    const qsizetype start = locationAfterSkipping(m_location);
    if (start >= m_text.size())
        return std::nullopt;
    qsizetype end = target.isEmpty() ? -1 : m_text.indexOf(target, start, m_caseSensitivity);
    if (end < 0)
        end = m_text.size();
    if (end == start)
        return std::nullopt;
    m_location = end;
    return m_text.mid(start, end - start);
}

std::optional<QString> Scanner::scanString(const QString &target)
{
    const qsizetype start = locationAfterSkipping(m_location);
    if (target.isEmpty() || !QStringView(m_text).mid(start).startsWith(target, m_caseSensitivity))
        return std::nullopt;
    m_location = start + target.size();
    return m_text.mid(start, target.size());
}

std::optional<qint64> Scanner::scanInteger()
{
    qsizetype position = locationAfterSkipping(m_location);
    bool isNegative = false;
    if (position < m_text.size() && (m_text.at(position) == u'-' || m_text.at(position) == u'+')) {
        isNegative = m_text.at(position) == u'-';
        ++position;
    }
    const qsizetype firstDigit = position;
    // Accumulate towards the sign's side so the most negative value is reachable, and saturate there.
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    constexpr qint64 kMin = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    while (position < m_text.size() && m_text.at(position) >= u'0' && m_text.at(position) <= u'9') {
        const int digit = m_text.at(position).unicode() - u'0';
        if (isNegative)
            value = (value < (kMin + digit) / 10) ? kMin : value * 10 - digit;
        else
            value = (value > (kMax - digit) / 10) ? kMax : value * 10 + digit;
        ++position;
    }
    if (position == firstDigit)
        return std::nullopt;
    m_location = position;
    return value;
}

std::optional<int> Scanner::scanInt()
{
    const std::optional<qint64> value = scanInteger();
    if (!value)
        return std::nullopt;
    return static_cast<int>(
        std::clamp<qint64>(*value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

bool Scanner::isAtEnd() const
{
    return locationAfterSkipping(m_location) >= m_text.size();
}

} // namespace platform
