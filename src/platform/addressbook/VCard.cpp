#include "platform/addressbook/VCard.h"

#include <QStringDecoder>

#include <algorithm>

#include <cctype>

namespace platform {

namespace {

constexpr qsizetype kFoldOctets = 75;

Error malformed(const QString &what)
{
    return Error(ErrorCode::DataMalformed, what);
}

// The index of the first occurrence of the character outside double quotes; -1 when none.
qsizetype indexOutsideQuotes(const QString &text, QChar wanted, qsizetype from = 0)
{
    bool isQuoted = false;
    for (qsizetype index = from; index < text.size(); ++index) {
        const QChar current = text.at(index);
        if (current == QLatin1Char('"'))
            isQuoted = !isQuoted;
        else if (current == wanted && !isQuoted)
            return index;
    }
    return -1;
}

QStringList splitOutsideQuotes(const QString &text, QChar separator)
{
    QStringList parts;
    qsizetype start = 0;
    while (true) {
        const qsizetype found = indexOutsideQuotes(text, separator, start);
        parts.append(text.mid(start, found < 0 ? -1 : found - start));
        if (found < 0)
            return parts;
        start = found + 1;
    }
}

QString unquoted(QString value)
{
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        return value.mid(1, value.size() - 2);
    return value;
}

VCardParameter parseParameter(const QString &text)
{
    const qsizetype equals = indexOutsideQuotes(text, QLatin1Char('='));
    if (equals < 0)
        return VCardParameter{QStringLiteral("TYPE"), {unquoted(text.trimmed())}, true};
    VCardParameter parameter{text.left(equals).trimmed().toUpper(), {}};
    for (const QString &value : splitOutsideQuotes(text.mid(equals + 1), QLatin1Char(',')))
        parameter.values.append(unquoted(value.trimmed()));
    return parameter;
}

Result<VCardProperty> parseLine(const QString &line, qsizetype lineNumber)
{
    const qsizetype colon = indexOutsideQuotes(line, QLatin1Char(':'));
    if (colon <= 0)
        return malformed(QStringLiteral("line %1 has no name and colon").arg(lineNumber));
    VCardProperty property;
    property.value = line.mid(colon + 1);
    const QStringList head = splitOutsideQuotes(line.left(colon), QLatin1Char(';'));
    QString name = head.first().trimmed();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0) {
        property.group = name.left(dot);
        name = name.mid(dot + 1);
    }
    if (name.isEmpty())
        return malformed(QStringLiteral("line %1 has an empty name").arg(lineNumber));
    property.name = name.toUpper();
    for (qsizetype index = 1; index < head.size(); ++index) {
        if (!head.at(index).trimmed().isEmpty())
            property.parameters.append(parseParameter(head.at(index)));
    }
    return property;
}

bool isBoundary(const VCardProperty &property, const char *name)
{
    return property.name == QLatin1String(name) && property.value.trimmed().compare(QLatin1String("VCARD"), Qt::CaseInsensitive) == 0;
}

// A parameter value goes in quotes when it holds a character that would end it.
QString parameterValueText(QString value)
{
    value.remove(QLatin1Char('"'));
    value.replace(QLatin1Char('\r'), QLatin1Char(' '));
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (value.contains(QLatin1Char(',')) || value.contains(QLatin1Char(';')) || value.contains(QLatin1Char(':')))
        return QLatin1Char('"') + value + QLatin1Char('"');
    return value;
}

// Whether a parameter value goes out as it is: no character parameterValueText changes or quotes.
bool isPlainParameterValue(const QString &value)
{
    for (const QChar character : value) {
        const char16_t code = character.unicode();
        if (code == u'"' || code == u'\r' || code == u'\n' || code == u',' || code == u';' || code == u':')
            return false;
    }
    return true;
}

// The line built in one text: a card's writing makes one per line of every card.
QString lineText(const VCardProperty &property)
{
    QString text;
    text.reserve(property.group.size() + property.name.size() + property.value.size() + 48);
    if (!property.group.isEmpty())
        text.append(property.group).append(QLatin1Char('.'));
    text.append(property.name);
    for (const VCardParameter &parameter : property.parameters) {
        if (parameter.isBare) {
            // Each type a bare parameter of its own, as the line had it ("TEL;WORK;VOICE").
            for (const QString &value : parameter.values) {
                for (const QString &type : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
                    text.append(QLatin1Char(';')).append(parameterValueText(type));
            }
            continue;
        }
        text.append(QLatin1Char(';')).append(parameter.name).append(QLatin1Char('='));
        for (qsizetype index = 0; index < parameter.values.size(); ++index) {
            const QString &value = parameter.values.at(index);
            if (index > 0)
                text.append(QLatin1Char(','));
            text.append(isPlainParameterValue(value) ? value : parameterValueText(value));
        }
    }
    return text.append(QLatin1Char(':')).append(property.value);
}

// Folds one line into octet-limited pieces, never inside a UTF-8 sequence.
void appendFolded(QByteArray &out, const QByteArray &line, const QByteArray &lineEnd)
{
    qsizetype start = 0;
    qsizetype limit = kFoldOctets;
    while (line.size() - start > limit) {
        qsizetype end = start + limit;
        while (end > start && (quint8(line.at(end)) & 0xC0) == 0x80)
            --end;
        out.append(line.constData() + start, end - start);
        out += lineEnd + ' ';
        start = end;
        limit = kFoldOctets - 1;
    }
    out.append(line.constData() + start, line.size() - start);
    out += lineEnd;
}

bool isAsciiText(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar character) { return character.unicode() < 0x80; });
}

// A value as vCard 2.1 writes it: line breaks as they are (CRLF); the escapes of backslash, comma and
// semicolon stay, which 2.1 readers (and those that read every card as 3.0) take as meant.
QString versionTwoOneText(const QString &escaped)
{
    QString text;
    text.reserve(escaped.size());
    for (qsizetype index = 0; index < escaped.size(); ++index) {
        const QChar current = escaped.at(index);
        const QChar next = index + 1 < escaped.size() ? escaped.at(index + 1) : QChar();
        if (current == QLatin1Char('\\') && (next == QLatin1Char('n') || next == QLatin1Char('N'))) {
            text += QLatin1String("\r\n");
            ++index;
        } else {
            text += current;
            if (current == QLatin1Char('\\') && !next.isNull())
                text += escaped.at(++index);
        }
    }
    return text;
}

bool isQuotedPrintableWord(const QString &value)
{
    return value.compare(QLatin1String("QUOTED-PRINTABLE"), Qt::CaseInsensitive) == 0;
}

// Whether the line has parameters of an old text encoding (quoted-printable, a charset).
bool hasTextEncoding(const VCardProperty &line)
{
    return std::any_of(line.parameters.cbegin(), line.parameters.cend(), [](const VCardParameter &parameter) {
        return parameter.name == QLatin1String("CHARSET") ||
               ((parameter.name == QLatin1String("TYPE") || parameter.name == QLatin1String("ENCODING")) &&
                std::any_of(parameter.values.cbegin(), parameter.values.cend(), isQuotedPrintableWord));
    });
}

// The parameters a line's old text encoding left, which its value written here from its parts does
// not have.
void dropTextEncoding(VCardProperty &line)
{
    for (VCardParameter &parameter : line.parameters) {
        if (parameter.name == QLatin1String("TYPE") || parameter.name == QLatin1String("ENCODING"))
            parameter.values.removeIf(isQuotedPrintableWord);
    }
    line.parameters.removeIf([](const VCardParameter &parameter) {
        return parameter.name == QLatin1String("CHARSET") ||
               ((parameter.name == QLatin1String("TYPE") || parameter.name == QLatin1String("ENCODING")) &&
                parameter.values.isEmpty());
    });
}

// A value quoted-printable: octets beyond printable ASCII, "=" and a last space escaped. The value stays
// on one line: readers that do not join soft breaks ("=" at a line's end) read it whole all the same.
QByteArray quotedPrintable(const QByteArray &value)
{
    QByteArray encoded;
    encoded.reserve(value.size() * 2);
    for (qsizetype index = 0; index < value.size(); ++index) {
        const quint8 octet = quint8(value.at(index));
        if ((octet >= 33 && octet <= 126 && octet != '=') || (octet == ' ' && index + 1 < value.size()))
            encoded += char(octet);
        else
            encoded += '=' + QByteArray::number(octet, 16).rightJustified(2, '0').toUpper();
    }
    return encoded;
}

// A line made or changed in a vCard 2.1 card: plain when its value is ASCII on one line, else
// quoted-printable UTF-8 with both named (ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8), as 2.1 readers
// expect, on one line.
void appendVersionTwoOneLine(QByteArray &out, const VCardProperty &property, const QByteArray &lineEnd)
{
    VCardProperty line = property;
    dropTextEncoding(line);
    const QString text = versionTwoOneText(property.value);
    if (isAsciiText(text) && !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'))) {
        line.value = text;
        appendFolded(out, lineText(line).toUtf8(), lineEnd);
        return;
    }
    line.parameters.append(VCardParameter{QStringLiteral("ENCODING"), {QStringLiteral("QUOTED-PRINTABLE")}});
    line.parameters.append(VCardParameter{QStringLiteral("CHARSET"), {QStringLiteral("UTF-8")}});
    line.value.clear();
    out += lineText(line).toUtf8() + quotedPrintable(text.toUtf8()) + lineEnd;
}

// A line written from its parts, in the card's version; parameters of an old text encoding dropped.
void appendWrittenLine(QByteArray &out, const VCardProperty &property, const QString &version,
                       const QByteArray &lineEnd)
{
    if (version == QLatin1String("2.1")) {
        appendVersionTwoOneLine(out, property, lineEnd);
    } else if (!hasTextEncoding(property)) {
        appendFolded(out, lineText(property).toUtf8(), lineEnd);
    } else {
        VCardProperty line = property;
        dropTextEncoding(line);
        appendFolded(out, lineText(line).toUtf8(), lineEnd);
    }
}

} // namespace

QStringList VCardProperty::parameterValues(const QString &parameterName) const
{
    QStringList values;
    for (const VCardParameter &parameter : parameters) {
        if (parameter.name.compare(parameterName, Qt::CaseInsensitive) != 0)
            continue;
        for (const QString &value : parameter.values)
            values += value.split(QLatin1Char(','), Qt::SkipEmptyParts);
    }
    return values;
}

QString VCardProperty::parameterValue(const QString &parameterName) const
{
    const QStringList values = parameterValues(parameterName);
    return values.isEmpty() ? QString() : values.first();
}

namespace {

// One line of a card: its unfolded bytes, its bytes as the file holds them (with the blank lines after
// it) and the number of its first line in the file.
struct RawLine
{
    QByteArray text;
    QByteArray raw;
    qsizetype number = 0;
};

// The part of a line before its first colon, upper case: its group, name and parameters.
QByteArray headOf(QByteArrayView text)
{
    const qsizetype colon = text.indexOf(':');
    return (colon < 0 ? text : text.first(colon)).toByteArray().toUpper();
}

bool isQuotedPrintable(QByteArrayView text)
{
    return headOf(text).contains("QUOTED-PRINTABLE");
}

// Whether the physical line continues the line before it: a fold (a space or a tab at its start), or
// the next piece of a quoted-printable value whose line ended in a soft break ("=").
bool continuesLine(RawLine &line, QByteArrayView content)
{
    if (line.text.endsWith('=') && isQuotedPrintable(line.text)) {
        line.text.chop(1);
        line.text.append(content);
        return true;
    }
    if (content.startsWith(' ') || content.startsWith('\t')) {
        line.text.append(content.sliced(1));
        return true;
    }
    return false;
}

// The card's lines; text before the first one (blank lines) goes to leading.
Result<QList<RawLine>> rawLines(const QByteArray &bytes, QByteArray &leading)
{
    QList<RawLine> lines;
    bool isAfterBlank = false;
    qsizetype number = 0;
    for (qsizetype start = 0; start < bytes.size();) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype next = newline < 0 ? bytes.size() : newline + 1;
        const QByteArrayView physical(bytes.constData() + start, next - start);
        QByteArrayView content = physical;
        while (content.endsWith('\n') || content.endsWith('\r'))
            content.chop(1);
        start = next;
        ++number;
        if (content.trimmed().isEmpty()) {
            (lines.isEmpty() ? leading : lines.last().raw).append(physical);
            isAfterBlank = true;
            continue;
        }
        if (lines.isEmpty() || isAfterBlank || !continuesLine(lines.last(), content)) {
            if (lines.size() == VCard::kMaxLines)
                return malformed(QStringLiteral("the card has more than %1 lines").arg(VCard::kMaxLines));
            lines.append(RawLine{content.toByteArray(), QByteArray(), number});
        }
        lines.last().raw.append(physical);
        isAfterBlank = false;
    }
    return lines;
}

// The text of bytes in the charset named (UTF-8 when none); bytes that are not valid there are read
// as Latin-1, which takes every byte.
QString textInCharset(QByteArrayView bytes, const QByteArray &charset)
{
    const bool isUtf8 = charset.isEmpty() || charset == "UTF-8" || charset == "UTF8";
    // Stateless: a sequence cut off at the end of the line is an error, not text held for later.
    const auto flags = QStringDecoder::Flag::Stateless;
    QStringDecoder decoder =
        isUtf8 ? QStringDecoder(QStringDecoder::Utf8, flags) : QStringDecoder(charset.constData(), flags);
    if (decoder.isValid()) {
        QString text = decoder.decode(bytes);
        if (!decoder.hasError())
            return text;
    }
    if (!isUtf8) {
        QStringDecoder utf8(QStringDecoder::Utf8, flags);
        QString text = utf8.decode(bytes);
        if (!utf8.hasError())
            return text;
    }
    return QString::fromLatin1(bytes);
}

// The CHARSET parameter's value in a line's head, upper case; empty when it has none.
QByteArray charsetOf(QByteArrayView text)
{
    const QByteArray head = headOf(text);
    const qsizetype at = head.indexOf("CHARSET=");
    if (at < 0)
        return QByteArray();
    QByteArray charset = head.mid(at + 8);
    const qsizetype end = charset.indexOf(';');
    return (end < 0 ? charset : charset.left(end)).replace('"', "").trimmed();
}

QByteArray quotedPrintableDecoded(QByteArrayView text)
{
    QByteArray decoded;
    decoded.reserve(text.size());
    for (qsizetype index = 0; index < text.size(); ++index) {
        const char current = text.at(index);
        if (current != '=') {
            decoded.append(current);
        } else if (index + 2 < text.size() && std::isxdigit(quint8(text.at(index + 1))) &&
                   std::isxdigit(quint8(text.at(index + 2)))) {
            decoded.append(char(QByteArray(text.sliced(index + 1, 2).data(), 2).toInt(nullptr, 16)));
            index += 2;
        }
    }
    return decoded;
}

QString escapedLoneBackslashes(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (qsizetype index = 0; index < text.size(); ++index) {
        const QChar current = text.at(index);
        escaped += current;
        if (current != QLatin1Char('\\'))
            continue;
        const QChar next = index + 1 < text.size() ? text.at(index + 1) : QChar();
        if (next == QLatin1Char('\\') || next == QLatin1Char(',') || next == QLatin1Char(';'))
            escaped += text.at(++index);
        else
            escaped += QLatin1Char('\\');
    }
    return escaped;
}

// A quoted-printable value as vCard 3.0 value text: decoded, in its charset, lone backslashes and line
// breaks escaped. Separators of structured values stay as they are.
QString valueOfQuotedPrintable(const QString &value, const QByteArray &charset)
{
    QString text = textInCharset(quotedPrintableDecoded(value.toUtf8()), charset);
    // A backslash before a backslash, comma or semicolon escapes it, as 2.1 readers take it (a
    // semicolon so escaped stays inside its part of a structured value); any other is itself.
    text = escapedLoneBackslashes(text);
    text.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return text.replace(QLatin1Char('\r'), QLatin1String("\\n"));
}

Result<VCardProperty> propertyOfLine(const RawLine &line)
{
    const QByteArray charset = charsetOf(line.text);
    const bool isEncoded = isQuotedPrintable(line.text);
    Result<VCardProperty> property =
        parseLine(textInCharset(line.text, isEncoded ? QByteArray() : charset), line.number);
    if (!property)
        return property;
    if (isEncoded)
        property->value = valueOfQuotedPrintable(property->value, charset);
    property->raw = line.raw;
    return property;
}

} // namespace

// Reads the lines between BEGIN and END; the BEGIN line's text joins the head, END's the tail.
Result<VCard> VCard::parse(const QByteArray &bytes)
{
    if (bytes.trimmed().isEmpty())
        return malformed(QStringLiteral("the file is empty"));
    if (bytes.size() > kMaxCardBytes)
        return malformed(QStringLiteral("the card has %1 bytes, more than %2").arg(bytes.size()).arg(kMaxCardBytes));
    VCard card;
    const Result<QList<RawLine>> lines = rawLines(bytes, card.m_head);
    if (!lines)
        return lines.error();
    card.m_lineEnd = bytes.indexOf("\r\n") >= 0 ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    int depth = 0;
    for (const RawLine &line : *lines) {
        if (!card.m_tail.isEmpty())
            return malformed(
                QStringLiteral("line %1 follows the end of the card (several cards in one file)").arg(line.number));
        Result<VCardProperty> property = propertyOfLine(line);
        if (!property)
            return property.error();
        if (isBoundary(*property, "BEGIN")) {
            if (++depth > 1)
                return malformed(QStringLiteral("line %1 begins a card inside a card").arg(line.number));
            card.m_head.append(line.raw);
        } else if (depth == 0) {
            return malformed(QStringLiteral("line %1 comes before BEGIN:VCARD").arg(line.number));
        } else if (isBoundary(*property, "END")) {
            card.m_tail = line.raw;
        } else {
            if (property->name == QLatin1String("VERSION"))
                card.m_version = property->value.trimmed();
            card.m_properties.append(std::move(*property));
        }
    }
    if (card.m_tail.isEmpty())
        return malformed(QStringLiteral("the card has no END:VCARD"));
    return card;
}

QByteArray VCard::serialize() const
{
    QByteArray out;
    out.reserve(256 + m_properties.size() * 48);
    if (isRead())
        out += m_head;
    else
        out += "BEGIN:VCARD\r\nVERSION:" + m_version.toUtf8() + "\r\n";
    for (const VCardProperty &property : m_properties) {
        if (isRead() && !property.raw.isEmpty()) {
            out += property.raw;
            continue;
        }
        if (!isRead() && (property.name == QLatin1String("VERSION") || property.name == QLatin1String("BEGIN") ||
                          property.name == QLatin1String("END")))
            continue;
        appendWrittenLine(out, property, m_version, m_lineEnd);
    }
    out += isRead() ? m_tail : QByteArrayLiteral("END:VCARD\r\n");
    return out;
}

const VCardProperty *VCard::property(const QString &name) const
{
    for (const VCardProperty &property : m_properties) {
        if (property.name == name)
            return &property;
    }
    return nullptr;
}

void VCard::appendText(const QString &name, const QString &text, const QList<VCardParameter> &parameters)
{
    appendRaw(name, escapeText(text), parameters);
}

void VCard::appendRaw(const QString &name, const QString &value, const QList<VCardParameter> &parameters)
{
    m_properties.append(VCardProperty{QString(), name, parameters, value});
}

QString VCard::escapeText(const QString &text)
{
    // Most texts hold nothing to escape: they are given back shared, not copied.
    const auto isSpecial = [](QChar character) {
        return character == QLatin1Char('\\') || character == QLatin1Char(',') || character == QLatin1Char(';') ||
               character == QLatin1Char('\r') || character == QLatin1Char('\n');
    };
    if (!text.isNull() && std::none_of(text.cbegin(), text.cend(), isSpecial))
        return text;
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (qsizetype index = 0; index < text.size(); ++index) {
        const QChar current = text.at(index);
        if (current == QLatin1Char('\\') || current == QLatin1Char(',') || current == QLatin1Char(';')) {
            escaped += QLatin1Char('\\');
            escaped += current;
        } else if (current == QLatin1Char('\r')) {
            escaped += QLatin1String("\\n");
            if (index + 1 < text.size() && text.at(index + 1) == QLatin1Char('\n'))
                ++index;
        } else if (current == QLatin1Char('\n')) {
            escaped += QLatin1String("\\n");
        } else {
            escaped += current;
        }
    }
    return escaped;
}

QString VCard::unescapeText(const QString &escaped)
{
    QString text;
    text.reserve(escaped.size());
    for (qsizetype index = 0; index < escaped.size(); ++index) {
        const QChar current = escaped.at(index);
        if (current != QLatin1Char('\\') || index + 1 == escaped.size()) {
            text += current;
            continue;
        }
        const QChar next = escaped.at(++index);
        text += (next == QLatin1Char('n') || next == QLatin1Char('N')) ? QChar(QLatin1Char('\n')) : next;
    }
    return text;
}

QStringList VCard::splitStructured(const QString &value, QChar separator)
{
    QStringList parts;
    qsizetype start = 0;
    for (qsizetype index = 0; index < value.size(); ++index) {
        if (value.at(index) == QLatin1Char('\\')) {
            ++index;
        } else if (value.at(index) == separator) {
            parts.append(value.mid(start, index - start));
            start = index + 1;
        }
    }
    parts.append(value.mid(start));
    return parts;
}

} // namespace platform
