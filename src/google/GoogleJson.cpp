#include "GoogleJson.h"

#include <QJsonDocument>
#include <QLocale>
#include <QVariantList>

#include <cmath>
#include <limits>

namespace googlejson {
namespace {

char hexDigit(unsigned value)
{
    return "0123456789abcdef"[value & 0xf];
}

void appendEscape(QByteArray &out, char16_t unit)
{
    const char escape[] = {'\\', 'u', hexDigit(unit >> 12), hexDigit(unit >> 8), hexDigit(unit >> 4), hexDigit(unit)};
    out.append(escape, sizeof escape);
}

void appendAscii(QByteArray &out, char16_t unit)
{
    if (unit >= 0x20 && unit != u'"' && unit != u'\\') {
        out.append(char(unit));
        return;
    }
    switch (unit) {
    case u'"': out.append("\\\"", 2); break;
    case u'\\': out.append("\\\\", 2); break;
    case u'\b': out.append("\\b", 2); break;
    case u'\f': out.append("\\f", 2); break;
    case u'\n': out.append("\\n", 2); break;
    case u'\r': out.append("\\r", 2); break;
    case u'\t': out.append("\\t", 2); break;
    default: appendEscape(out, unit);
    }
}

// The UTF-8 of one character from text[i]; answers the index after it. A surrogate without its
// partner is written as its escape, as Qt's writer does.
qsizetype appendNonAscii(QByteArray &out, const char16_t *text, qsizetype i, qsizetype size)
{
    const char32_t unit = text[i];
    if (unit < 0x800) {
        out.append(char(0xc0 | (unit >> 6))).append(char(0x80 | (unit & 0x3f)));
        return i + 1;
    }
    if (unit < 0xd800 || unit > 0xdfff) {
        out.append(char(0xe0 | (unit >> 12))).append(char(0x80 | ((unit >> 6) & 0x3f))).append(char(0x80 | (unit & 0x3f)));
        return i + 1;
    }
    if (unit > 0xdbff || i + 1 == size || text[i + 1] < 0xdc00 || text[i + 1] > 0xdfff) {
        appendEscape(out, char16_t(unit));
        return i + 1;
    }
    const char32_t point = 0x10000 + ((unit - 0xd800) << 10) + (text[i + 1] - 0xdc00);
    out.append(char(0xf0 | (point >> 18))).append(char(0x80 | ((point >> 12) & 0x3f)));
    out.append(char(0x80 | ((point >> 6) & 0x3f))).append(char(0x80 | (point & 0x3f)));
    return i + 2;
}

bool isPlain(char16_t unit)
{
    return unit >= 0x20 && unit < 0x80 && unit != u'"' && unit != u'\\';
}

// Copies the run of characters written as they are from text[i] in one step (most of a body's
// text); answers the index after it.
qsizetype appendPlainRun(QByteArray &out, const char16_t *text, qsizetype i, qsizetype size)
{
    qsizetype end = i;
    while (end < size && isPlain(text[end]))
        ++end;
    if (end == i)
        return i;
    const qsizetype at = out.size();
    out.resize(at + (end - i));
    char *to = out.data() + at;
    for (qsizetype k = i; k < end; ++k)
        *to++ = char(text[k]);
    return end;
}

void appendString(QByteArray &out, const QString &text)
{
    const char16_t *units = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype size = text.size();
    out.append('"');
    for (qsizetype i = appendPlainRun(out, units, 0, size); i < size; i = appendPlainRun(out, units, i, size)) {
        if (units[i] < 0x80)
            appendAscii(out, units[i++]);
        else
            i = appendNonAscii(out, units, i, size);
    }
    out.append('"');
}

void appendDouble(QByteArray &out, double value)
{
    if (std::isfinite(value))
        out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
    else
        out.append("null", 4);
}

bool appendValue(QByteArray &out, const QVariant &value);

bool appendList(QByteArray &out, const QVariantList &list)
{
    out.append('[');
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i > 0)
            out.append(',');
        if (!appendValue(out, list.at(i)))
            return false;
    }
    out.append(']');
    return true;
}

bool appendMap(QByteArray &out, const QVariantMap &map)
{
    out.append('{');
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (it != map.constBegin())
            out.append(',');
        appendString(out, it.key());
        out.append(':');
        if (!appendValue(out, it.value()))
            return false;
    }
    out.append('}');
    return true;
}

bool appendValue(QByteArray &out, const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr: out.append("null", 4); return true;
    case QMetaType::Bool: value.toBool() ? out.append("true", 4) : out.append("false", 5); return true;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong: out.append(QByteArray::number(value.toLongLong())); return true;
    case QMetaType::ULongLong: {
        const qulonglong number = value.toULongLong();
        if (number <= qulonglong(std::numeric_limits<qint64>::max()))
            out.append(QByteArray::number(qint64(number)));
        else
            appendDouble(out, double(number));
        return true;
    }
    case QMetaType::Double: appendDouble(out, value.toDouble()); return true;
    case QMetaType::QString: appendString(out, *static_cast<const QString *>(value.constData())); return true;
    case QMetaType::QVariantList: return appendList(out, *static_cast<const QVariantList *>(value.constData()));
    case QMetaType::QVariantMap: return appendMap(out, *static_cast<const QVariantMap *>(value.constData()));
    default: return false;
    }
}

} // namespace

bool writeCompact(const QVariantMap &map, QByteArray &out)
{
    out.clear();
    out.reserve(256);
    return appendMap(out, map);
}

QByteArray compactJson(const QVariantMap &map)
{
    QByteArray out;
    if (writeCompact(map, out))
        return out;
    const QJsonDocument document = QJsonDocument::fromVariant(map);
    return document.isNull() ? QByteArray() : document.toJson(QJsonDocument::Compact);
}

} // namespace googlejson
