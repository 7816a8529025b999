#include "platform/foundation/JsonWriter.h"

#include "platform/foundation/Values.h"

#include <cmath>

namespace platform {

namespace {

// The escape a UTF-16 unit needs inside a JSON string, or nothing for a unit written as it is. A lone
// surrogate has no UTF-8 form, so it is escaped too rather than breaking the encoding of the body.
QByteArray escapeFor(char16_t unit)
{
    switch (unit) {
    case u'"':
        return "\\\"";
    case u'\\':
        return "\\\\";
    case u'\b':
        return "\\b";
    case u'\f':
        return "\\f";
    case u'\n':
        return "\\n";
    case u'\r':
        return "\\r";
    case u'\t':
        return "\\t";
    default:
        break;
    }
    if (unit < 0x20 || QChar::isSurrogate(unit))
        return "\\u" + QByteArray::number(unit, 16).rightJustified(4, '0');
    return {};
}

Result<QByteArray> encodedValue(const QVariant &value)
{
    if (isNil(value))
        return QByteArray("null");
    if (isText(value))
        return JsonWriter::quoted(value.toString());
    if (isBoolean(value))
        return QByteArray(value.toBool() ? "true" : "false");
    if (!isNumber(value))
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("a %1 has no JSON form").arg(QString::fromLatin1(value.typeName())));
    if (!std::isfinite(value.toDouble()))
        return Error(ErrorCode::DataMalformed, QStringLiteral("the number %1 has no JSON form").arg(value.toDouble()));
    return description(value).toLatin1();
}

} // namespace

Status JsonWriter::add(const QString &key, const QVariant &value)
{
    Result<QByteArray> encoded = encodedValue(value);
    if (!encoded)
        return encoded.error().withContext(QStringLiteral("JSON member \"%1\"").arg(key));
    for (auto &member : m_members) {
        if (member.first == key) {
            member.second = std::move(encoded).value();
            return success();
        }
    }
    m_members.append({key, std::move(encoded).value()});
    return success();
}

QByteArray JsonWriter::toJson() const
{
    QByteArray json = "{";
    for (qsizetype index = 0; index < m_members.size(); ++index) {
        if (index > 0)
            json += ',';
        json += quoted(m_members.at(index).first);
        json += ':';
        json += m_members.at(index).second;
    }
    return json + '}';
}

Result<QByteArray> JsonWriter::objectFromDictionary(const QVariantMap &dictionary)
{
    JsonWriter writer;
    for (auto entry = dictionary.cbegin(); entry != dictionary.cend(); ++entry) {
        const Status added = writer.add(entry.key(), entry.value());
        if (!added)
            return added.error();
    }
    return writer.toJson();
}

QByteArray JsonWriter::quoted(const QString &text)
{
    QByteArray out = "\"";
    qsizetype runStart = 0; // plain characters are copied a run at a time
    const auto flushRun = [&](qsizetype runEnd) { out += QStringView(text).mid(runStart, runEnd - runStart).toUtf8(); };
    for (qsizetype index = 0; index < text.size(); ++index) {
        const char16_t unit = text.at(index).unicode();
        if (QChar::isHighSurrogate(unit) && index + 1 < text.size() && text.at(index + 1).isLowSurrogate()) {
            ++index;
            continue;
        }
        const QByteArray escape = escapeFor(unit);
        if (escape.isEmpty())
            continue;
        flushRun(index);
        out += escape;
        runStart = index + 1;
    }
    flushRun(text.size());
    return out + '"';
}

} // namespace platform
