#include "platform/addressbook/VCard.h"

#include <QStringDecoder>

namespace platform {

namespace {

constexpr qsizetype kFoldOctets = 75;

Error malformed(const QString &what)
{
    return Error(ErrorCode::DataMalformed, what);
}

// Joins folded lines: a line break followed by a space or a tab continues the line before it. Bare
// LF line ends (common in hand-written files) are taken as well as CRLF.
QStringList unfoldLines(const QString &text)
{
    QStringList lines;
    const QStringList physical = text.split(QLatin1Char('\n'));
    for (QString line : physical) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!lines.isEmpty() && (line.startsWith(QLatin1Char(' ')) || line.startsWith(QLatin1Char('\t'))))
            lines.last().append(QStringView(line).mid(1));
        else
            lines.append(line);
    }
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
        lines.removeLast();
    return lines;
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
        return VCardParameter{QStringLiteral("TYPE"), {unquoted(text.trimmed())}};
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
void appendFolded(QByteArray &out, const QByteArray &line)
{
    qsizetype start = 0;
    qsizetype limit = kFoldOctets;
    while (line.size() - start > limit) {
        qsizetype end = start + limit;
        while (end > start && (quint8(line.at(end)) & 0xC0) == 0x80)
            --end;
        out.append(line.constData() + start, end - start);
        out += "\r\n ";
        start = end;
        limit = kFoldOctets - 1;
    }
    out.append(line.constData() + start, line.size() - start);
    out += "\r\n";
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

// The card's unfolded lines, after the checks on the whole text.
Result<QStringList> cardLines(const QByteArray &bytes)
{
    if (bytes.trimmed().isEmpty())
        return malformed(QStringLiteral("the file is empty"));
    if (bytes.size() > VCard::kMaxCardBytes)
        return malformed(QStringLiteral("the card has %1 bytes, more than %2").arg(bytes.size()).arg(VCard::kMaxCardBytes));
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return malformed(QStringLiteral("the text is not UTF-8"));
    QStringList lines = unfoldLines(text);
    if (lines.size() > VCard::kMaxLines)
        return malformed(QStringLiteral("the card has %1 lines, more than %2").arg(lines.size()).arg(VCard::kMaxLines));
    return lines;
}

} // namespace

Result<VCard> VCard::parse(const QByteArray &bytes)
{
    const Result<QStringList> unfolded = cardLines(bytes);
    if (!unfolded)
        return unfolded.error();
    const QStringList &lines = *unfolded;
    VCard card;
    int depth = 0;
    bool isDone = false;
    for (qsizetype index = 0; index < lines.size(); ++index) {
        if (lines.at(index).trimmed().isEmpty())
            continue;
        if (isDone)
            return malformed(QStringLiteral("line %1 follows the end of the card (several cards in one file)").arg(index + 1));
        Result<VCardProperty> property = parseLine(lines.at(index), index + 1);
        if (!property)
            return property.error();
        if (isBoundary(*property, "BEGIN")) {
            if (++depth > 1)
                return malformed(QStringLiteral("line %1 begins a card inside a card").arg(index + 1));
            continue;
        }
        if (depth == 0)
            return malformed(QStringLiteral("line %1 comes before BEGIN:VCARD").arg(index + 1));
        if (isBoundary(*property, "END")) {
            isDone = true;
            continue;
        }
        if (property->name == QLatin1String("VERSION"))
            card.m_version = property->value.trimmed();
        else
            card.m_properties.append(std::move(*property));
    }
    if (!isDone)
        return malformed(QStringLiteral("the card has no END:VCARD"));
    return card;
}

QByteArray VCard::serialize() const
{
    QByteArray out;
    out.reserve(256 + m_properties.size() * 48);
    out += "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    for (const VCardProperty &property : m_properties) {
        if (property.name == QLatin1String("VERSION") || property.name == QLatin1String("BEGIN")
            || property.name == QLatin1String("END"))
            continue;
        appendFolded(out, lineText(property).toUtf8());
    }
    out += "END:VCARD\r\n";
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
