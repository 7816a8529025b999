#include "ScriptGrammar.h"

#include <QLocale>

#include <algorithm>

namespace outlookpeer {

namespace {

constexpr int kMaxDepth = 32;

bool isWordStart(QChar character)
{
    return character.isLetter() || character == u'_';
}

bool isWordPart(QChar character)
{
    return character.isLetterOrNumber() || character == u'_';
}

} // namespace

ValueReader::ValueReader(const QString &text, qsizetype position, const QString &datePattern)
    : m_text(text), m_position(position), m_datePattern(datePattern)
{
}

std::optional<ScriptValue> ValueReader::readValue()
{
    return readValue(0);
}

void ValueReader::skipBlanks()
{
    while (m_position < m_text.size() && m_text.at(m_position) == u' ')
        ++m_position;
}

bool ValueReader::skipLiteral(QStringView literal)
{
    if (!QStringView(m_text).mid(m_position).startsWith(literal))
        return false;
    m_position += literal.size();
    return true;
}

std::optional<QString> ValueReader::readString()
{
    if (m_position >= m_text.size() || m_text.at(m_position) != u'"')
        return std::nullopt;
    QString value;
    for (qsizetype i = m_position + 1; i < m_text.size(); ++i) {
        const QChar character = m_text.at(i);
        if (character == u'"') {
            m_position = i + 1;
            return value;
        }
        if (character != u'\\') {
            value += character;
            continue;
        }
        if (++i >= m_text.size())
            return std::nullopt;
        switch (m_text.at(i).unicode()) {
        case u'"': value += u'"'; break;
        case u'\\': value += u'\\'; break;
        case u'n': value += u'\n'; break;
        case u't': value += u'\t'; break;
        case u'r': value += u'\r'; break;
        default: return std::nullopt; // an escape the language does not know
        }
    }
    return std::nullopt;
}

std::optional<qint64> ValueReader::readInteger()
{
    qsizetype end = m_position;
    if (end < m_text.size() && m_text.at(end) == u'-')
        ++end;
    const qsizetype digits = end;
    while (end < m_text.size() && m_text.at(end).isDigit() && end - digits < 18)
        ++end;
    if (end == digits || (end < m_text.size() && isWordPart(m_text.at(end))))
        return std::nullopt;
    bool isNumber = false;
    const qint64 value = QStringView(m_text).mid(m_position, end - m_position).toLongLong(&isNumber);
    if (!isNumber)
        return std::nullopt;
    m_position = end;
    return value;
}

std::optional<ScriptValue> ValueReader::readNumber()
{
    const qsizetype start = m_position;
    const auto integer = readInteger();
    const bool goesOn = m_position < m_text.size() && (m_text.at(m_position) == u'.' || m_text.at(m_position) == u'E');
    if (integer && !goesOn) {
        ScriptValue value;
        value.kind = ScriptValue::Kind::Integer;
        value.integer = *integer;
        return value;
    }
    m_position = start;
    qsizetype end = start;
    while (end < m_text.size() && end - start < 40
           && (m_text.at(end).isDigit() || QStringLiteral("-+.E").contains(m_text.at(end))))
        ++end;
    bool isNumber = false;
    const double real = QStringView(m_text).mid(start, end - start).toDouble(&isNumber);
    if (!isNumber || end == start)
        return std::nullopt;
    m_position = end;
    ScriptValue value;
    value.kind = ScriptValue::Kind::Real;
    value.real = real;
    return value;
}

std::optional<QString> ValueReader::readLabel()
{
    const qsizetype start = m_position;
    while (m_position < m_text.size() && (isWordPart(m_text.at(m_position)) || m_text.at(m_position) == u' '))
        ++m_position;
    const QString label = m_text.mid(start, m_position - start).trimmed();
    if (label.isEmpty() || !isWordStart(label.front()) || !skipLiteral(u":")) {
        m_position = start;
        return std::nullopt;
    }
    return label;
}

std::optional<ScriptValue> ValueReader::readBraced(int depth)
{
    ++m_position; // the opening brace
    ScriptValue value;
    value.kind = ScriptValue::Kind::List;
    skipBlanks();
    if (skipLiteral(u"}"))
        return value;
    for (int index = 0;; ++index) {
        skipBlanks();
        const std::optional<QString> label = readLabel();
        if (index == 0 && label)
            value.kind = ScriptValue::Kind::Record;
        if (bool(label) != (value.kind == ScriptValue::Kind::Record))
            return std::nullopt;
        skipBlanks();
        std::optional<ScriptValue> item = readValue(depth + 1);
        if (!item)
            return std::nullopt;
        if (label)
            value.fields.append({*label, *item});
        else
            value.items.append(*item);
        skipBlanks();
        if (skipLiteral(u"}"))
            return value;
        if (!skipLiteral(u","))
            return std::nullopt;
    }
}

std::optional<ScriptValue> ValueReader::readWord(int depth)
{
    const qsizetype start = m_position;
    while (m_position < m_text.size() && isWordPart(m_text.at(m_position)))
        ++m_position;
    const QString word = m_text.mid(start, m_position - start);
    ScriptValue value;
    if (word == u"true" || word == u"false") {
        value.kind = ScriptValue::Kind::Boolean;
        value.boolean = word == u"true";
        return value;
    }
    if (word == u"date") {
        skipBlanks();
        const std::optional<QString> text = readString();
        const QDateTime date = text ? scriptDate(*text, m_datePattern) : QDateTime();
        if (!date.isValid())
            return std::nullopt;
        value.kind = ScriptValue::Kind::Date;
        value.date = date;
        return value;
    }
    if (word == u"category") {
        value.kind = ScriptValue::Kind::CategoryReference;
        if (!skipLiteral(u" id "))
            return std::nullopt;
        const auto id = readInteger();
        if (!id)
            return std::nullopt;
        value.integer = *id;
        if (skipLiteral(u" of application ")) {
            const auto application = readString();
            if (!application)
                return std::nullopt;
            value.text = *application;
        }
        return value;
    }
    value.kind = ScriptValue::Kind::Enumeration;
    value.text = word;
    // Inside braces an enumeration may be several words ("out of office", "end numbered type").
    while (depth > 0 && m_position + 1 < m_text.size() && m_text.at(m_position) == u' ' && isWordStart(m_text.at(m_position + 1))) {
        qsizetype end = m_position + 1;
        while (end < m_text.size() && isWordPart(m_text.at(end)))
            ++end;
        value.text += m_text.mid(m_position, end - m_position);
        m_position = end;
    }
    return value;
}

std::optional<ScriptValue> ValueReader::readValue(int depth)
{
    if (depth > kMaxDepth || m_position >= m_text.size())
        return std::nullopt;
    const QChar first = m_text.at(m_position);
    if (first == u'"') {
        const auto text = readString();
        if (!text)
            return std::nullopt;
        ScriptValue value;
        value.text = *text;
        return value;
    }
    if (first == u'{')
        return readBraced(depth);
    // A value in parentheses, "(date \"…\")" as the task properties write their dates.
    if (first == u'(') {
        ++m_position;
        skipBlanks();
        std::optional<ScriptValue> inner = readValue(depth + 1);
        skipBlanks();
        if (!inner || !skipLiteral(u")"))
            return std::nullopt;
        return inner;
    }
    if (first.isDigit() || first == u'-')
        return readNumber();
    if (isWordStart(first))
        return readWord(depth);
    return std::nullopt;
}

QString qtDatePattern(const QString &pattern)
{
    QString converted = pattern;
    converted.replace(u'a', QStringLiteral("AP"));
    return converted;
}

// The system's date order with its own clock style first; the other clock style too, since the
// writer's locale may show the day's half where this process's does not (or the other way round).
QDateTime scriptDate(const QString &text, const QString &pattern)
{
    QDateTime date = QLocale::c().toDateTime(text, qtDatePattern(pattern));
    if (date.isValid())
        return date;
    QString other = pattern;
    if (other.endsWith(QLatin1String(" hh:mm a")))
        other.replace(QStringLiteral(" hh:mm a"), QStringLiteral(" HH:mm"));
    else
        other.replace(QStringLiteral(" HH:mm"), QStringLiteral(" hh:mm a"));
    return QLocale::c().toDateTime(text, qtDatePattern(other));
}

QString systemDatePattern()
{
    const QLocale locale = QLocale::system();
    // Without a language of its own (LANG=C or C.UTF-8) the desktop's formatter writes POSIX English
    // dates, month first with a day half; Qt's C locale would read them day first.
    if (locale.language() == QLocale::C)
        return QStringLiteral("MM/dd/yyyy hh:mm a");
    const QString shortDate = locale.toString(QDate(1970, 2, 24), QLocale::ShortFormat);
    QString pattern = QStringLiteral("MM/dd/yyyy");
    if (shortDate.startsWith(u"24") || shortDate.startsWith(u"23") || shortDate.startsWith(u"25"))
        pattern = QStringLiteral("dd/MM/yyyy");
    else if (shortDate.startsWith(u"70"))
        pattern = QStringLiteral("yyyy/MM/dd");
    else if (shortDate.startsWith(u"1970."))
        pattern = QStringLiteral("yyyy. M. d.");
    else if (shortDate.startsWith(u"1970-02"))
        pattern = QStringLiteral("yyyy-MM-dd");
    const bool usesDayPeriod = locale.timeFormat(QLocale::ShortFormat).contains(u'a', Qt::CaseInsensitive);
    return pattern + (usesDayPeriod ? QStringLiteral(" hh:mm a") : QStringLiteral(" HH:mm"));
}

bool matchScript(const QString &form, const QString &script, const QString &datePattern, ScriptMatch &match)
{
    qsizetype at = 0;
    for (qsizetype i = 0; i < form.size(); ++i) {
        if (form.at(i) != u'\u00AB' || i + 2 >= form.size()) {
            if (at >= script.size() || script.at(at) != form.at(i)) {
                match.failedAt = at;
                return false;
            }
            ++at;
            continue;
        }
        const QChar hole = form.at(i + 1);
        i += 2; // the hole's letter and closing mark
        ValueReader reader(script, at, datePattern);
        std::optional<ScriptValue> value;
        if (hole == u'F') {
            if (const auto id = reader.readInteger())
                value = ScriptValue{ScriptValue::Kind::Integer, {}, *id};
        } else if (hole == u'I') {
            value = reader.readValue();
            const bool isDigits = value && value->kind == ScriptValue::Kind::Text && !value->text.isEmpty()
                && value->text.size() <= 18 && std::all_of(value->text.begin(), value->text.end(), [](QChar c) { return c.isDigit(); });
            if (isDigits)
                value = ScriptValue{ScriptValue::Kind::Integer, {}, value->text.toLongLong()};
            else if (!value || value->kind != ScriptValue::Kind::Integer)
                value.reset();
        } else if (hole == u'V') {
            value = reader.readValue();
        } else if (const auto text = reader.readString()) {
            value = ScriptValue{ScriptValue::Kind::Text, *text};
        }
        if (!value) {
            match.failedAt = at;
            return false;
        }
        match.captures.append(*value);
        at = reader.position();
    }
    match.failedAt = at;
    return at == script.size();
}

} // namespace outlookpeer
