#include "StoreLines.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <array>
#include <cstdio>

namespace hmsync::storelines {

namespace {

int digitsAt(const QString &text, qsizetype start, qsizetype count)
{
    int value = 0;
    for (qsizetype index = start; index < start + count; ++index) {
        const char16_t unit = text.at(index).unicode();
        if (unit < u'0' || unit > u'9')
            return -1;
        value = value * 10 + int(unit - u'0');
    }
    return value;
}

// A date as "2026-01-31T08:00:00.250Z", formatted by hand for the years of four digits (the general
// formatter costs more than the rest of a record's line); other years as ISO 8601 gives them.
QByteArray dateText(const QDateTime &date)
{
    const QDateTime utc = date.toUTC();
    const QDate day = utc.date();
    const QTime time = utc.time();
    if (day.year() < 1 || day.year() > 9999)
        return utc.toString(Qt::ISODateWithMs).toLatin1();
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", day.year(), day.month(),
                                     day.day(), time.hour(), time.minute(), time.second(), time.msec());
    return QByteArray(text, length);
}

// Appends a text as a JSON string, escaped as QJsonDocument escapes it.
void appendQuoted(QByteArray &json, const QString &text)
{
    json += '"';
    for (const char byte : text.toUtf8()) {
        switch (byte) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\b':
            json += "\\b";
            break;
        case '\f':
            json += "\\f";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(byte) < 0x20)
                json += "\\u00" + QByteArray::number(static_cast<unsigned char>(byte), 16).rightJustified(2, '0');
            else
                json += byte;
        }
    }
    json += '"';
}

QByteArray quoted(const QString &text)
{
    QByteArray json;
    appendQuoted(json, text);
    return json;
}

void appendJsonObject(QByteArray &json, const QVariantMap &entries);

// Record values in JSON, written straight from the values (going through QJsonObject costs more than
// the rest of a sync's writes): texts, flags, whole numbers, lists and dictionaries as themselves,
// dates (of any year) as {"date": ISO 8601 text}, other values as QJsonValue makes them. Values
// without a value are left out of dictionaries.
void appendJson(QByteArray &json, const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        appendQuoted(json, value.toString());
        return;
    case QMetaType::Bool:
        json += value.toBool() ? "true" : "false";
        return;
    case QMetaType::Int:
    case QMetaType::LongLong:
        json += QByteArray::number(value.toLongLong());
        return;
    case QMetaType::QDateTime:
        json += "{\"date\":\"" + dateText(value.toDateTime()) + "\"}";
        return;
    case QMetaType::QVariantList: {
        json += '[';
        const QVariantList entries = value.toList();
        for (qsizetype index = 0; index < entries.size(); ++index) {
            if (index > 0)
                json += ',';
            appendJson(json, entries.at(index));
        }
        json += ']';
        return;
    }
    case QMetaType::QVariantMap:
        appendJsonObject(json, value.toMap());
        return;
    default:
        json += QJsonDocument(QJsonArray{QJsonValue::fromVariant(value)}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
    }
}

void appendJsonObject(QByteArray &json, const QVariantMap &entries)
{
    json += '{';
    bool isFirst = true;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (!it.value().isValid() || it.value().isNull())
            continue;
        if (!isFirst)
            json += ',';
        isFirst = false;
        appendQuoted(json, it.key());
        json += ':';
        appendJson(json, it.value());
    }
    json += '}';
}

QByteArray compactJson(const QVariant &value)
{
    QByteArray json;
    appendJson(json, value);
    return json;
}


// Reads the first bytes of a record line as recordLine writes them. Texts holding an escape, and any
// other shape, are left to the JSON parser.
class QuickHead final
{
public:
    explicit QuickHead(QByteArrayView line) : m_line(line) {}

    bool take(QByteArrayView literal)
    {
        if (!m_line.sliced(m_position).startsWith(literal))
            return false;
        m_position += literal.size();
        return true;
    }

    // A text without escapes, as its bytes in the line.
    std::optional<QByteArrayView> plainText()
    {
        if (!take("\""))
            return std::nullopt;
        for (qsizetype end = m_position; end < m_line.size(); ++end) {
            const auto byte = static_cast<unsigned char>(m_line.at(end));
            if (byte == '\\' || byte < 0x20)
                return std::nullopt;
            if (byte == '"') {
                const QByteArrayView text = m_line.sliced(m_position, end - m_position);
                m_position = end + 1;
                return text;
            }
        }
        return std::nullopt;
    }

    std::optional<LineHead> read()
    {
        LineHead head{LineKind::Record};
        const char digit = m_line.size() > 12 ? m_line.at(11) : '\0';
        if (!take(R"({"conduit":)") || digit < '1' || digit > '4' || !take(QByteArrayView(&digit, 1)))
            return std::nullopt;
        head.conduit = quint64(digit - '0');
        const std::optional<QByteArrayView> id = take(R"(,"id":)") ? plainText() : std::nullopt;
        if (!id || id->isEmpty())
            return std::nullopt;
        head.id = *id;
        if (take(R"(,"phoneId":)")) {
            const std::optional<QByteArrayView> phoneId = plainText();
            if (!phoneId)
                return std::nullopt;
            head.phoneId = *phoneId;
        }
        if (take(R"(,"changed":)")) {
            const std::optional<QByteArrayView> changed = plainText();
            head.changed = changed ? dateFromText(QString::fromUtf8(*changed)) : QDateTime();
            if (!head.changed.isValid())
                return std::nullopt;
        }
        if (!take(R"(,"fields":{)") || !m_line.endsWith("}}"))
            return std::nullopt;
        // Bytes that are not UTF-8 are read as the replacement character, as texts are everywhere.
        if (!head.id.isValidUtf8() || !head.phoneId.isValidUtf8())
            head.keepTexts(QString::fromUtf8(head.id).toUtf8(), QString::fromUtf8(head.phoneId).toUtf8());
        return head;
    }

private:
    QByteArrayView m_line;
    qsizetype m_position = 0;
};

// The line as a JSON object: any line quickHead does not read.
LineHead parsedHead(QByteArrayView line)
{
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray());
    const QJsonObject object = document.object();
    LineHead head;
    if (!document.isObject())
        return head;
    if (object.contains(QLatin1String("commit")))
        return LineHead{LineKind::Commit, 0, {}, {}, {}, object.value(QLatin1String("commit")).toInteger(-1)};
    if (object.value(QLatin1String("format")).toInteger() == 2)
        return LineHead{LineKind::FileHeader, 0, {}, {}, {}, object.value(QLatin1String("generation")).toInteger(-1)};
    if (object.contains(QLatin1String("logOf")))
        return LineHead{LineKind::LogHeader, 0, {}, {}, {}, object.value(QLatin1String("logOf")).toInteger(-1)};
    head.conduit = quint64(std::clamp<qint64>(object.value(QLatin1String("conduit")).toInteger(), 0, 5));
    if (head.conduit < 1 || head.conduit > 4)
        return head;
    if (object.value(QLatin1String("fields")).isObject()) {
        head.kind = LineKind::Record;
        head.keepTexts(object.value(QLatin1String("id")).toString().toUtf8(),
                       object.value(QLatin1String("phoneId")).toString().toUtf8());
        head.changed = dateFromText(object.value(QLatin1String("changed")).toString());
    } else if (object.contains(QLatin1String("removed"))) {
        head.kind = LineKind::Removal;
        head.keepTexts(object.value(QLatin1String("removed")).toString().toUtf8(), {});
    } else {
        head.kind = LineKind::Conduit;
        head.object = object;
    }
    return head.kind != LineKind::Conduit && head.id.isEmpty() ? LineHead{} : head;
}

} // namespace

void LineHead::keepTexts(QByteArrayView idText, QByteArrayView phoneIdText)
{
    text = idText.toByteArray() + phoneIdText.toByteArray();
    id = QByteArrayView(text).first(idText.size());
    phoneId = QByteArrayView(text).sliced(idText.size());
}

LineHead LineHead::owned() const
{
    LineHead copy = *this;
    copy.keepTexts(id, phoneId);
    return copy;
}

LineHead readHead(QByteArrayView line)
{
    if (line.size() > kMaxLineBytes)
        return LineHead{};
    std::optional<LineHead> head = QuickHead(line).read();
    return head ? std::move(*head) : parsedHead(line);
}

QByteArray recordLine(quint64 conduit, const QString &id, const QString &phoneId, const QDateTime &changed,
                      const QVariantMap &fields)
{
    QByteArray line = "{\"conduit\":" + QByteArray::number(conduit) + ",\"id\":" + quoted(id);
    if (!phoneId.isEmpty())
        line += ",\"phoneId\":" + quoted(phoneId);
    if (changed.isValid())
        line += ",\"changed\":\"" + dateText(changed) + '"';
    return line + ",\"fields\":" + compactJson(fields) + "}\n";
}

QByteArray removalLine(quint64 conduit, const QString &id)
{
    return "{\"conduit\":" + QByteArray::number(conduit) + ",\"removed\":" + quoted(id) + "}\n";
}

QByteArray conduitLine(quint64 conduit, const QString &key, const QVariant &value)
{
    return "{\"conduit\":" + QByteArray::number(conduit) + ',' + quoted(key) + ':' + compactJson(value) + "}\n";
}

QByteArray commitLine(qint64 lineCount)
{
    return "{\"commit\":" + QByteArray::number(lineCount) + "}\n";
}

QByteArray fileHeader(qint64 generation)
{
    return "{\"format\":2,\"generation\":" + QByteArray::number(generation) + "}\n";
}

QByteArray logHeader(qint64 generation)
{
    return "{\"logOf\":" + QByteArray::number(generation) + "}\n";
}

std::optional<QVariantMap> fieldsOfRecordLine(QByteArrayView line)
{
    const QJsonValue fields = QJsonDocument::fromJson(line.toByteArray()).object().value(QLatin1String("fields"));
    if (!fields.isObject())
        return std::nullopt;
    return valueFromJson(fields).toMap();
}

// Dates of the form appendJson writes ("2026-01-31T08:00:00.250Z") are read without the general
// ISO 8601 parser, which costs more than all the rest of a record; any other form goes to that parser.
QDateTime dateFromText(const QString &text)
{
    static constexpr std::array<std::pair<qsizetype, char16_t>, 7> kSeparators{
        {{4, u'-'}, {7, u'-'}, {10, u'T'}, {13, u':'}, {16, u':'}, {19, u'.'}, {23, u'Z'}}};
    const bool isPlain =
        text.size() == 24 && std::all_of(kSeparators.begin(), kSeparators.end(), [&text](const auto &separator) {
            return text.at(separator.first).unicode() == separator.second;
        });
    if (isPlain) {
        const QDate day(digitsAt(text, 0, 4), digitsAt(text, 5, 2), digitsAt(text, 8, 2));
        const int hour = digitsAt(text, 11, 2);
        const int minute = digitsAt(text, 14, 2);
        const int second = digitsAt(text, 17, 2);
        const int millisecond = digitsAt(text, 20, 3);
        if (day.isValid() && QTime::isValid(hour, minute, second, millisecond) && digitsAt(text, 0, 4) > 0)
            return QDateTime(day, QTime(hour, minute, second, millisecond), Qt::UTC);
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

QVariant valueFromJson(const QJsonValue &json)
{
    if (json.isArray()) {
        QVariantList list;
        for (const QJsonValue &entry : json.toArray())
            list.append(valueFromJson(entry));
        return list;
    }
    if (!json.isObject())
        return json.toVariant();
    const QJsonObject object = json.toObject();
    if (object.size() == 1 && object.begin().key() == QLatin1String("date") && object.begin().value().isString())
        return dateFromText(object.begin().value().toString());
    QVariantMap map;
    // JSON objects keep their keys sorted, so each key goes at the end.
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(map.cend(), it.key(), valueFromJson(it.value()));
    return map;
}

} // namespace hmsync::storelines
