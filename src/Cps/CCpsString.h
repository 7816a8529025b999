#pragma once

#include <cstddef>
#include <cstdint>

// A zero-terminated single-byte text on the heap with its length and capacity: searching, comparing,
// case conversion, trimming, substring extraction, in-place replacement and a few helpers for time
// texts. Case rules are ASCII. A string that never held text has a null text pointer; null and ""
// both count as empty. Failed allocations leave the string as it was; nothing throws. One thread at a
// time per object; no locks.
class CCpsString
{
public:
    // The position a search answers when it finds nothing.
    static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

    // Tag for the constructor that formats the current local time.
    struct CurrentTime
    {
    };

    CCpsString() = default;
    CCpsString(const CCpsString &other);
    CCpsString(CCpsString &&other) noexcept;
    CCpsString(const char *text);
    explicit CCpsString(int number);
    explicit CCpsString(unsigned int number);
    explicit CCpsString(std::uint64_t number);
    // "YYYY-MM-DD HH:MM:SS" of the local time secondsOffset seconds from now.
    CCpsString(CurrentTime, int secondsOffset);
    virtual ~CCpsString();

    CCpsString &operator=(const char *text);
    CCpsString &operator=(const CCpsString &other);
    CCpsString &operator=(CCpsString &&other) noexcept;

    // Searches; positions are byte offsets, kNotFound when absent or when the own text is null.
    virtual std::uint32_t Find(const char *text) const;
    virtual std::uint32_t Find(char character) const;
    virtual std::uint32_t Find(const char *text, std::uint32_t start) const;
    virtual std::uint32_t Find(char character, std::uint32_t start) const;
    virtual std::uint32_t FindNoCase(const char *text) const;
    virtual std::uint32_t ReverseFind(const char *text) const;
    virtual std::uint32_t ReverseFind(char character) const;

    virtual std::uint32_t GetLength() const;
    virtual bool IsEmpty() const;
    virtual CCpsString Right(int count) const;
    virtual CCpsString Left(int count) const;
    virtual CCpsString Mid(int start) const;
    virtual CCpsString Mid(int start, int count) const;

    // Bytes allocated for the text: a multiple of 16 that only grows, 0 before the first text.
    std::size_t GetCapacity() const { return m_capacity; }
    // The text pointer as stored (null for a string that never held text).
    const char *GetData() const { return m_text; }
    // The text, or "" when null.
    const char *GetString() const { return m_text ? m_text : ""; }
    // The text of the given string, or "" when the pointer or its text is null.
    static const char *GetSafeString(const CCpsString *string);
    // The byte at the position, or -1 when the position is negative or not below the length.
    int GetAt(std::uint64_t position) const;
    int GetAt(int position) const;
    int GetAt(unsigned int position) const;

    CCpsString &operator+=(const char *text);
    CCpsString &operator+=(const CCpsString &other);
    CCpsString &operator+=(char character);
    friend CCpsString operator+(const CCpsString &left, const char *right);
    friend CCpsString operator+(const CCpsString &left, const CCpsString &right);
    friend CCpsString operator+(const char *left, const CCpsString &right);

    // Byte comparisons against a C text; a null argument is neither equal nor different.
    bool operator==(const char *text) const;
    bool operator!=(const char *text) const;
    bool operator<(const char *text) const;
    bool operator<=(const char *text) const;
    bool operator>(const char *text) const;
    bool operator>=(const char *text) const;
    bool EqualsNoCase(const CCpsString &other) const;
    bool EqualsNoCase(const char *text) const;
    bool DiffersNoCase(const CCpsString &other) const;
    bool DiffersNoCase(const char *text) const;
    // Negative, zero or positive like strcasecmp; a null text sorts as "".
    static int CompareNoCase(const char *first, const char *second);

    void MakeLower();
    void MakeUpper();
    // Change the case in place and answer a copy of the result.
    CCpsString LowerCase();
    CCpsString UpperCase();
    static void MakeLower(char *buffer);
    static void MakeUpper(char *buffer);

    // Whether the other text occurs in this one without regard to case (a null other text is "").
    bool ContainsNoCase(const CCpsString &other) const;
    // Position of the last (first) byte outside the set; -1 when there is none or the text is empty.
    int FindLastNotOf(const char *set) const;
    int FindFirstNotOf(const char *set) const;
    int Count(char character) const;

    // Removes count bytes at start; a count of -1, or a span reaching the end, cuts the text at start.
    void Delete(int start, int count);
    // Remove "\r\n \t" at the ends in place and answer a copy of the result.
    CCpsString TrimLeft();
    CCpsString TrimRight();
    CCpsString Trim();
    // Replaces every occurrence of oldText, left to right; inserted text is not searched again.
    void Replace(const char *oldText, const char *newText);
    // Answers the part before the separator (found without regard to case) and keeps what follows
    // it; without a separator answers everything and becomes empty.
    CCpsString SplitAtNoCase(const char *separator);
    // Complements every byte up to the first zero byte.
    void Complement();
    // Treats the text as "HH:MM:SS", adds the seconds (hour clamped to 0-23), answers a copy.
    CCpsString AddSecondsToTime(int seconds);

    // Seconds from the second date-time text to the first (each parsed as CCpsDateTime does).
    static std::int64_t SecondsBetween(const char *first, const char *second);
    static bool IsWithinSeconds(const char *first, const char *second, std::int64_t seconds);

    // Whether the buffer starts with the bytes FF FE.
    static bool StartsWithUnicodeMark(const char *buffer, std::size_t length);
    // Whether the first count bytes of text (or all of it when shorter) equal other without case.
    static bool EqualsFirstNoCase(const char *text, std::size_t count, const char *other);

private:
    // Makes room for length bytes and the terminator; -1 (nothing changed) when allocation fails.
    int reserve(std::size_t length);
    void assign(const char *text, std::size_t length);
    void append(const char *text, std::size_t length);
    std::size_t length() const { return m_text ? m_length : 0; }

    char *m_text = nullptr;
    std::size_t m_capacity = 0;
    std::size_t m_length = 0;
};
