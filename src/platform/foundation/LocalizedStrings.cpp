#include "platform/foundation/LocalizedStrings.h"

#include "platform/foundation/FileIO.h"

#include <QLoggingCategory>
#include <QStringDecoder>

#include <optional>
#include <utility>

namespace platform {

namespace {

Q_LOGGING_CATEGORY(lcStrings, "hm.platform.strings")

// A strings table is a few kilobytes; anything this large is not one.
constexpr qsizetype kMaxTableBytes = 16 * 1024 * 1024;

bool isBareWordCharacter(QChar character)
{
    return character.isLetterOrNumber() || character == QLatin1Char('_') || character == QLatin1Char('.') ||
           character == QLatin1Char('-') || character == QLatin1Char('$') || character == QLatin1Char(':') ||
           character == QLatin1Char('/');
}

int hexValue(QChar character)
{
    const char16_t code = character.unicode();
    if (code >= u'0' && code <= u'9')
        return code - u'0';
    if (code >= u'a' && code <= u'f')
        return code - u'a' + 10;
    if (code >= u'A' && code <= u'F')
        return code - u'A' + 10;
    return -1;
}

// The one-letter escapes and what they stand for.
std::optional<char16_t> simpleEscape(char16_t letter)
{
    constexpr std::pair<char16_t, char16_t> kEscapes[] = {{u'n', u'\n'}, {u't', u'\t'}, {u'r', u'\r'}, {u'0', 0},
                                                          {u'a', 7},     {u'b', 8},     {u'f', 12},    {u'v', 11}};
    for (const auto &[escape, meaning] : kEscapes) {
        if (escape == letter)
            return meaning;
    }
    return std::nullopt;
}

// Reads one table. Every step consumes at least one character or ends the loop, so the parse is
// bounded by the text's length.
class StringsParser final
{
public:
    StringsParser(const QString &text, const QString &sourceName) : m_text(text), m_sourceName(sourceName) {}

    void parseInto(QHash<QString, QString> &values, QStringList &errors)
    {
        while (skipSpaceAndComments()) {
            if (atEnd())
                return;
            const int entryLine = m_line;
            const std::optional<QString> failure = parseEntry(values);
            if (failure) {
                errors.append(QStringLiteral("%1:%2: %3").arg(m_sourceName, QString::number(entryLine), *failure));
                // A failure met on a later line than the entry began (a forgotten ';') already stands
                // at the next entry; otherwise the rest of the entry's line is dropped.
                if (m_line == entryLine)
                    skipRestOfLine();
            }
        }
        errors.append(QStringLiteral("%1:%2: a comment is not closed").arg(m_sourceName, QString::number(m_line)));
    }

private:
    bool atEnd() const { return m_position >= m_text.size(); }
    QChar current() const { return m_text.at(m_position); }

    void advance()
    {
        if (current() == QLatin1Char('\n'))
            ++m_line;
        ++m_position;
    }

    void skipRestOfLine()
    {
        while (!atEnd() && current() != QLatin1Char('\n'))
            advance();
    }

    // Skips blanks and comments; answers false when a block comment runs to the end of the text.
    bool skipSpaceAndComments()
    {
        while (!atEnd()) {
            if (current().isSpace()) {
                advance();
            } else if (m_text.mid(m_position, 2) == QLatin1String("//")) {
                skipRestOfLine();
            } else if (m_text.mid(m_position, 2) == QLatin1String("/*")) {
                const qsizetype close = m_text.indexOf(QLatin1String("*/"), m_position + 2);
                if (close < 0)
                    return false;
                while (m_position < close + 2)
                    advance();
            } else {
                return true;
            }
        }
        return true;
    }

    std::optional<QString> parseEntry(QHash<QString, QString> &values)
    {
        QString key;
        if (const std::optional<QString> failure = parseToken(key, QStringLiteral("key")))
            return failure;
        if (!skipSpaceAndComments() || atEnd())
            return QStringLiteral("the entry \"%1\" has no ';'").arg(key);
        if (current() == QLatin1Char(';')) {
            advance();
            values.insert(key, key);
            return std::nullopt;
        }
        if (current() != QLatin1Char('='))
            return QStringLiteral("expected '=' after the key \"%1\", found '%2'").arg(key, current());
        advance();
        if (!skipSpaceAndComments() || atEnd())
            return QStringLiteral("the key \"%1\" has no value").arg(key);
        QString value;
        if (const std::optional<QString> failure = parseToken(value, QStringLiteral("value")))
            return failure;
        if (!skipSpaceAndComments() || atEnd() || current() != QLatin1Char(';'))
            return QStringLiteral("expected ';' after the value of \"%1\"").arg(key);
        advance();
        values.insert(key, value);
        return std::nullopt;
    }

    std::optional<QString> parseToken(QString &token, const QString &what)
    {
        if (current() == QLatin1Char('"'))
            return parseQuoted(token);
        while (!atEnd() && isBareWordCharacter(current())) {
            token.append(current());
            advance();
        }
        if (token.isEmpty())
            return QStringLiteral("expected a %1, found '%2'").arg(what, current());
        return std::nullopt;
    }

    std::optional<QString> parseQuoted(QString &token)
    {
        advance(); // the opening quote
        while (!atEnd()) {
            const QChar character = current();
            advance();
            if (character == QLatin1Char('"'))
                return std::nullopt;
            if (character != QLatin1Char('\\')) {
                token.append(character);
                continue;
            }
            if (atEnd())
                break;
            if (const std::optional<QString> failure = parseEscape(token))
                return failure;
        }
        return QStringLiteral("a quoted text is not closed");
    }

    std::optional<QString> parseEscape(QString &token)
    {
        const QChar escaped = current();
        advance();
        if (const std::optional<char16_t> simple = simpleEscape(escaped.unicode())) {
            token.append(QChar(*simple));
            return std::nullopt;
        }
        if (escaped != QLatin1Char('u') && escaped != QLatin1Char('U')) {
            // \" and \\ and any other escaped character stand for themselves.
            token.append(escaped);
            return std::nullopt;
        }
        char16_t code = 0;
        for (int digit = 0; digit < 4; ++digit) {
            const int nibble = atEnd() ? -1 : hexValue(current());
            if (nibble < 0)
                return QStringLiteral("\\%1 needs four hexadecimal digits").arg(escaped);
            code = char16_t(code * 16 + nibble);
            advance();
        }
        token.append(QChar(code));
        return std::nullopt;
    }

    const QString &m_text;
    const QString &m_sourceName;
    qsizetype m_position = 0;
    int m_line = 1;
};

std::optional<QString> decodeTable(const QByteArray &bytes, QString &text)
{
    const bool isUtf16 = bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
    auto decoder = QStringDecoder(isUtf16 ? QStringConverter::Utf16 : QStringConverter::Utf8);
    text = decoder(bytes);
    if (decoder.hasError())
        return isUtf16 ? QStringLiteral("not valid UTF-16") : QStringLiteral("not valid UTF-8");
    return std::nullopt;
}

} // namespace

LocalizedStrings LocalizedStrings::parse(const QByteArray &bytes, const QString &sourceName)
{
    LocalizedStrings table;
    QString text;
    if (bytes.size() > kMaxTableBytes) {
        table.m_errors.append(
            QStringLiteral("%1: %2 bytes is too large for a strings table").arg(sourceName, QString::number(bytes.size())));
    } else if (const std::optional<QString> failure = decodeTable(bytes, text)) {
        table.m_errors.append(QStringLiteral("%1: %2").arg(sourceName, *failure));
    } else {
        StringsParser(text, sourceName).parseInto(table.m_values, table.m_errors);
    }
    for (const QString &error : std::as_const(table.m_errors))
        qCWarning(lcStrings).noquote() << error;
    return table;
}

LocalizedStrings LocalizedStrings::load(const QString &path)
{
    const Result<QByteArray> bytes = readWholeFile(path);
    if (!bytes) {
        LocalizedStrings table;
        table.m_errors.append(bytes.error().message());
        qCWarning(lcStrings).noquote() << bytes.error().message();
        return table;
    }
    return parse(*bytes, path);
}

QString LocalizedStrings::value(const QString &key) const
{
    return m_values.value(key, key);
}

QString LocalizedStrings::value(const QString &key, const QString &defaultValue) const
{
    const auto found = m_values.constFind(key);
    if (found != m_values.cend())
        return *found;
    return defaultValue.isEmpty() ? key : defaultValue;
}

} // namespace platform
