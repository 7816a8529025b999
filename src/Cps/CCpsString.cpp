#include "Cps/CCpsString.h"

#include "Cps/CCpsDateTime.h"
#include "Cps/CpsNumbers.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <utility>

namespace {

constexpr std::size_t kCapacityStep = 16;
constexpr const char *kTrimSet = "\r\n \t";

char lowerAscii(char character)
{
    return (character >= 'A' && character <= 'Z') ? static_cast<char>(character - 'A' + 'a') : character;
}

char upperAscii(char character)
{
    return (character >= 'a' && character <= 'z') ? static_cast<char>(character - 'a' + 'A') : character;
}

bool equalBytesNoCase(const char *first, const char *second, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        if (lowerAscii(first[index]) != lowerAscii(second[index]))
            return false;
    }
    return true;
}

// Position of needle in the first haystackLength bytes of haystack, starting at start.
std::uint32_t findBytes(const char *haystack, std::size_t haystackLength, const char *needle, std::size_t start,
                        bool ignoreCase)
{
    const std::size_t needleLength = std::strlen(needle);
    if (start > haystackLength || needleLength > haystackLength - start)
        return CCpsString::kNotFound;
    for (std::size_t position = start; position + needleLength <= haystackLength; ++position) {
        const bool matches = ignoreCase ? equalBytesNoCase(haystack + position, needle, needleLength)
                                        : std::memcmp(haystack + position, needle, needleLength) == 0;
        if (matches)
            return static_cast<std::uint32_t>(position);
    }
    return CCpsString::kNotFound;
}

} // namespace

CCpsString::CCpsString(const CCpsString &other)
{
    if (other.m_text)
        assign(other.m_text, other.m_length);
}

CCpsString::CCpsString(CCpsString &&other) noexcept
    : m_text(std::exchange(other.m_text, nullptr)), m_capacity(std::exchange(other.m_capacity, 0)),
      m_length(std::exchange(other.m_length, 0))
{
}

CCpsString::CCpsString(const char *text)
{
    if (text)
        assign(text, std::strlen(text));
}

CCpsString::CCpsString(int number)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", number);
    assign(digits, std::strlen(digits));
}

CCpsString::CCpsString(unsigned int number)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%u", number);
    assign(digits, std::strlen(digits));
}

CCpsString::CCpsString(std::uint64_t number)
{
    char digits[24];
    std::snprintf(digits, sizeof digits, "%" PRIu64, number);
    assign(digits, std::strlen(digits));
}

// The offset is added to the clock before the calendar breakdown, so every carry (minute, hour, day,
// month, year, daylight saving) is the C library's and the text is always a real local time.
CCpsString::CCpsString(CurrentTime, int secondsOffset)
{
    const std::time_t when = std::time(nullptr) + secondsOffset;
    std::tm parts{};
    if (!localtime_r(&when, &parts))
        return;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    assign(text, std::strlen(text));
}

CCpsString::~CCpsString()
{
    std::free(m_text);
    m_text = nullptr;
}

CCpsString &CCpsString::operator=(const char *text)
{
    if (text && text != m_text)
        assign(text, std::strlen(text));
    return *this;
}

CCpsString &CCpsString::operator=(const CCpsString &other)
{
    if (&other == this)
        return *this;
    if (other.IsEmpty()) {
        if (m_text) {
            m_text[0] = '\0';
            m_length = 0;
        }
        return *this;
    }
    assign(other.m_text, other.m_length);
    return *this;
}

CCpsString &CCpsString::operator=(CCpsString &&other) noexcept
{
    if (&other != this) {
        std::free(m_text);
        m_text = std::exchange(other.m_text, nullptr);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_length = std::exchange(other.m_length, 0);
    }
    return *this;
}

int CCpsString::reserve(std::size_t length)
{
    if (length >= SIZE_MAX - kCapacityStep)
        return -1;
    const std::size_t needed = length + 1;
    if (needed <= m_capacity)
        return 0;
    const std::size_t capacity = (needed + kCapacityStep - 1) / kCapacityStep * kCapacityStep;
    char *block = static_cast<char *>(std::malloc(capacity));
    if (!block)
        return -1;
    block[0] = '\0';
    if (m_text)
        std::memcpy(block, m_text, m_length + 1);
    std::free(m_text);
    m_text = block;
    m_capacity = capacity;
    return 0;
}

void CCpsString::assign(const char *text, std::size_t length)
{
    if (reserve(length) != 0)
        return;
    std::memmove(m_text, text, length);
    m_text[length] = '\0';
    m_length = length;
}

// Appending a piece of the own text (s += s) must survive the reservation moving the text.
void CCpsString::append(const char *text, std::size_t count)
{
    const std::size_t oldLength = length();
    const std::less<const char *> before;
    const bool isOwnText = m_text && !before(text, m_text) && before(text, m_text + m_capacity);
    const std::size_t ownOffset = isOwnText ? static_cast<std::size_t>(text - m_text) : 0;
    if (count > SIZE_MAX / 2 || reserve(oldLength + count) != 0)
        return;
    std::memmove(m_text + oldLength, isOwnText ? m_text + ownOffset : text, count);
    m_length = oldLength + count;
    m_text[m_length] = '\0';
}

std::uint32_t CCpsString::Find(const char *text) const
{
    return Find(text, 0u);
}

std::uint32_t CCpsString::Find(char character) const
{
    return Find(character, 0u);
}

std::uint32_t CCpsString::Find(const char *text, std::uint32_t start) const
{
    if (!m_text || !text)
        return kNotFound;
    return findBytes(m_text, m_length, text, start, false);
}

std::uint32_t CCpsString::Find(char character, std::uint32_t start) const
{
    if (!m_text || start > m_length)
        return kNotFound;
    if (character == '\0')
        return static_cast<std::uint32_t>(m_length);
    const void *found = std::memchr(m_text + start, character, m_length - start);
    return found ? static_cast<std::uint32_t>(static_cast<const char *>(found) - m_text) : kNotFound;
}

std::uint32_t CCpsString::FindNoCase(const char *text) const
{
    if (!m_text || !text)
        return kNotFound;
    return findBytes(m_text, m_length, text, 0, true);
}

std::uint32_t CCpsString::ReverseFind(const char *text) const
{
    if (!m_text || !text || !*text)
        return kNotFound;
    const std::size_t needleLength = std::strlen(text);
    if (needleLength > m_length)
        return kNotFound;
    for (std::size_t position = m_length - needleLength + 1; position-- > 0;) {
        if (std::memcmp(m_text + position, text, needleLength) == 0)
            return static_cast<std::uint32_t>(position);
    }
    return kNotFound;
}

std::uint32_t CCpsString::ReverseFind(char character) const
{
    if (!m_text)
        return kNotFound;
    if (character == '\0')
        return static_cast<std::uint32_t>(m_length);
    for (std::size_t position = m_length; position-- > 0;) {
        if (m_text[position] == character)
            return static_cast<std::uint32_t>(position);
    }
    return kNotFound;
}

std::uint32_t CCpsString::GetLength() const
{
    return static_cast<std::uint32_t>(length());
}

bool CCpsString::IsEmpty() const
{
    return length() == 0;
}

CCpsString CCpsString::Right(int count) const
{
    return Mid(static_cast<int>(static_cast<std::int64_t>(length()) - count));
}

CCpsString CCpsString::Left(int count) const
{
    return Mid(0, count);
}

CCpsString CCpsString::Mid(int start) const
{
    const std::int64_t count = static_cast<std::int64_t>(length()) - start;
    return Mid(start, count > INT_MAX ? INT_MAX : static_cast<int>(count));
}

CCpsString CCpsString::Mid(int start, int count) const
{
    CCpsString result;
    const std::int64_t total = static_cast<std::int64_t>(length());
    if (total <= start || count == 0)
        return result;
    const std::int64_t from = start < 0 ? 0 : start;
    const std::int64_t remaining = total - from;
    const std::int64_t copied = (count < 0 || count > remaining) ? remaining : count;
    result.assign(m_text + from, static_cast<std::size_t>(copied));
    return result;
}

const char *CCpsString::GetSafeString(const CCpsString *string)
{
    return string ? string->GetString() : "";
}

int CCpsString::GetAt(std::uint64_t position) const
{
    if (position >= length())
        return -1;
    return static_cast<signed char>(m_text[position]);
}

int CCpsString::GetAt(int position) const
{
    return position < 0 ? -1 : GetAt(static_cast<std::uint64_t>(position));
}

int CCpsString::GetAt(unsigned int position) const
{
    return GetAt(static_cast<std::uint64_t>(position));
}

CCpsString &CCpsString::operator+=(const char *text)
{
    if (text)
        append(text, std::strlen(text));
    return *this;
}

CCpsString &CCpsString::operator+=(const CCpsString &other)
{
    if (!other.IsEmpty())
        append(other.m_text, other.m_length);
    return *this;
}

CCpsString &CCpsString::operator+=(char character)
{
    append(&character, 1);
    return *this;
}

CCpsString operator+(const CCpsString &left, const char *right)
{
    CCpsString result(left);
    result += right;
    return result;
}

CCpsString operator+(const CCpsString &left, const CCpsString &right)
{
    CCpsString result(left);
    result += right;
    return result;
}

CCpsString operator+(const char *left, const CCpsString &right)
{
    CCpsString result(left);
    result += right;
    return result;
}

bool CCpsString::operator==(const char *text) const
{
    return text && std::strcmp(GetString(), text) == 0;
}

bool CCpsString::operator!=(const char *text) const
{
    return text && std::strcmp(GetString(), text) != 0;
}

bool CCpsString::operator<(const char *text) const
{
    return m_text && text && std::strcmp(m_text, text) < 0;
}

bool CCpsString::operator<=(const char *text) const
{
    return m_text && text && std::strcmp(m_text, text) <= 0;
}

bool CCpsString::operator>(const char *text) const
{
    return m_text && text && std::strcmp(m_text, text) > 0;
}

bool CCpsString::operator>=(const char *text) const
{
    return m_text && text && std::strcmp(m_text, text) >= 0;
}

bool CCpsString::EqualsNoCase(const CCpsString &other) const
{
    return EqualsNoCase(other.m_text);
}

bool CCpsString::EqualsNoCase(const char *text) const
{
    return m_text && text && CompareNoCase(m_text, text) == 0;
}

bool CCpsString::DiffersNoCase(const CCpsString &other) const
{
    return DiffersNoCase(other.m_text);
}

bool CCpsString::DiffersNoCase(const char *text) const
{
    return !m_text || !text || CompareNoCase(m_text, text) != 0;
}

int CCpsString::CompareNoCase(const char *first, const char *second)
{
    const unsigned char *left = reinterpret_cast<const unsigned char *>(first ? first : "");
    const unsigned char *right = reinterpret_cast<const unsigned char *>(second ? second : "");
    for (;; ++left, ++right) {
        const int difference = static_cast<unsigned char>(lowerAscii(static_cast<char>(*left))) -
                               static_cast<unsigned char>(lowerAscii(static_cast<char>(*right)));
        if (difference != 0 || *left == 0)
            return difference;
    }
}

void CCpsString::MakeLower()
{
    MakeLower(m_text);
}

void CCpsString::MakeUpper()
{
    MakeUpper(m_text);
}

CCpsString CCpsString::LowerCase()
{
    MakeLower();
    return *this;
}

CCpsString CCpsString::UpperCase()
{
    MakeUpper();
    return *this;
}

void CCpsString::MakeLower(char *buffer)
{
    for (char *cursor = buffer; cursor && *cursor; ++cursor)
        *cursor = lowerAscii(*cursor);
}

void CCpsString::MakeUpper(char *buffer)
{
    for (char *cursor = buffer; cursor && *cursor; ++cursor)
        *cursor = upperAscii(*cursor);
}

bool CCpsString::ContainsNoCase(const CCpsString &other) const
{
    if (!m_text)
        return false;
    return findBytes(m_text, m_length, other.GetString(), 0, true) != kNotFound;
}

int CCpsString::FindLastNotOf(const char *set) const
{
    if (!set || IsEmpty())
        return -1;
    if (!*set)
        return static_cast<int>(m_length);
    for (std::size_t position = m_length; position-- > 0;) {
        if (!std::strchr(set, m_text[position]))
            return static_cast<int>(position);
    }
    return -1;
}

int CCpsString::FindFirstNotOf(const char *set) const
{
    if (!set || IsEmpty())
        return -1;
    if (!*set)
        return 0;
    for (std::size_t position = 0; position < m_length; ++position) {
        if (!std::strchr(set, m_text[position]))
            return static_cast<int>(position);
    }
    return -1;
}

int CCpsString::Count(char character) const
{
    int count = 0;
    for (std::size_t position = 0; position < length(); ++position)
        count += m_text[position] == character ? 1 : 0;
    return count;
}

// A start beyond the text deletes nothing, where writing a terminator there would run past the text.
void CCpsString::Delete(int start, int count)
{
    if (!m_text || start < 0 || static_cast<std::size_t>(start) > m_length)
        return;
    const std::size_t from = static_cast<std::size_t>(start);
    if (count >= 0 && static_cast<std::size_t>(count) < m_length - from) {
        std::memmove(m_text + from, m_text + from + count, m_length - from - count + 1);
        m_length -= static_cast<std::size_t>(count);
        return;
    }
    if (count < -1)
        return;
    m_text[from] = '\0';
    m_length = from;
}

CCpsString CCpsString::TrimLeft()
{
    if (!m_text)
        return *this;
    const int first = FindFirstNotOf(kTrimSet);
    if (first < 0) {
        m_text[0] = '\0';
        m_length = 0;
    } else if (first > 0) {
        Delete(0, first);
    }
    return *this;
}

CCpsString CCpsString::TrimRight()
{
    if (!m_text)
        return *this;
    const int last = FindLastNotOf(kTrimSet);
    const std::size_t kept = last < 0 ? 0 : static_cast<std::size_t>(last) + 1;
    m_text[kept] = '\0';
    m_length = kept;
    return *this;
}

CCpsString CCpsString::Trim()
{
    TrimRight();
    return TrimLeft();
}

// Built in a new text from the untouched original, so text that was just inserted is never searched
// again; a failed allocation on the way leaves this string as it was.
void CCpsString::Replace(const char *oldText, const char *newText)
{
    if (!m_text || !oldText || !newText || !*oldText)
        return;
    const std::size_t oldLength = std::strlen(oldText);
    const std::size_t newLength = std::strlen(newText);
    CCpsString result("");
    std::size_t expected = 0;
    std::size_t position = 0;
    while (position <= m_length) {
        const std::uint32_t found = findBytes(m_text, m_length, oldText, position, false);
        const std::size_t end = found == kNotFound ? m_length : found;
        result.append(m_text + position, end - position);
        expected += end - position;
        if (found == kNotFound)
            break;
        result.append(newText, newLength);
        expected += newLength;
        position = end + oldLength;
    }
    if (result.length() == expected)
        *this = std::move(result);
}

CCpsString CCpsString::SplitAtNoCase(const char *separator)
{
    CCpsString head;
    const std::uint32_t found = (m_text && separator) ? findBytes(m_text, m_length, separator, 0, true) : kNotFound;
    if (found == kNotFound) {
        head = *this;
        if (m_text) {
            m_text[0] = '\0';
            m_length = 0;
        }
        return head;
    }
    head = Left(static_cast<int>(found));
    Delete(0, static_cast<int>(found + std::strlen(separator)));
    return head;
}

void CCpsString::Complement()
{
    for (char *cursor = m_text; cursor && *cursor; ++cursor)
        *cursor = static_cast<char>(~static_cast<unsigned char>(*cursor));
}

CCpsString CCpsString::AddSecondsToTime(int seconds)
{
    const char *text = GetString();
    const std::size_t textLength = length();
    std::int64_t hours = textLength > 0 ? cps::leadingDecimal(text, 2) : 0;
    std::int64_t minutes = textLength > 3 ? cps::leadingDecimal(text + 3, 2) : 0;
    std::int64_t totalSeconds =
        (textLength > 6 ? cps::leadingDecimal(text + 6, 2) : 0) + static_cast<std::int64_t>(seconds);
    minutes += totalSeconds / 60;
    totalSeconds %= 60;
    if (totalSeconds < 0) {
        totalSeconds += 60;
        minutes -= 1;
    }
    hours += minutes / 60;
    minutes %= 60;
    if (minutes < 0) {
        minutes += 60;
        hours -= 1;
    }
    hours = hours < 0 ? 0 : (hours > 23 ? 23 : hours);
    char result[16];
    std::snprintf(result, sizeof result, "%02d:%02d:%02d", static_cast<int>(hours), static_cast<int>(minutes),
                  static_cast<int>(totalSeconds));
    assign(result, std::strlen(result));
    return *this;
}

std::int64_t CCpsString::SecondsBetween(const char *first, const char *second)
{
    const CCpsDateTime firstTime(first ? first : "");
    const CCpsDateTime secondTime(second ? second : "");
    return static_cast<std::int64_t>(firstTime.GetTime()) - static_cast<std::int64_t>(secondTime.GetTime());
}

bool CCpsString::IsWithinSeconds(const char *first, const char *second, std::int64_t seconds)
{
    const std::int64_t difference = SecondsBetween(first, second);
    return (difference < 0 ? -difference : difference) <= seconds;
}

bool CCpsString::StartsWithUnicodeMark(const char *buffer, std::size_t length)
{
    return buffer && length >= 2 && static_cast<unsigned char>(buffer[0]) == 0xFF &&
           static_cast<unsigned char>(buffer[1]) == 0xFE;
}

bool CCpsString::EqualsFirstNoCase(const char *text, std::size_t count, const char *other)
{
    if (!text || !other)
        return false;
    const std::size_t compared = strnlen(text, count);
    return std::strlen(other) == compared && equalBytesNoCase(text, other, compared);
}
