#include "platform/restkit/RKParserRegistry.h"

#include "platform/restkit/RKRequestSerialization.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace platform {

namespace {

inline constexpr char kJSONErrorDomain[] = "NSCocoaErrorDomain";
inline constexpr qint64 kJSONReadErrorCode = 3840;
inline constexpr qint64 kJSONWriteErrorCode = 3851;

void report(PlatformError *error, qint64 code, const QString &text)
{
    if (error != nullptr)
        *error = PlatformError::withDescription(QString::fromLatin1(kJSONErrorDomain), code, text);
}

QVariant valueFromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        const double number = value.toDouble();
        // Whole numbers inside the exactly representable range stay integers.
        if (std::floor(number) == number && std::fabs(number) <= 9007199254740992.0)
            return static_cast<qint64>(number);
        return number;
    }
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QVariantList list;
        const QJsonArray array = value.toArray();
        list.reserve(array.size());
        for (const QJsonValue &item : array)
            list.append(valueFromJson(item));
        return list;
    }
    case QJsonValue::Object: {
        QVariantMap map;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), valueFromJson(it.value()));
        return map;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return {};
}

// Converts a value to JSON; answers false, naming the offending value, for what JSON cannot hold.
bool jsonFromValue(const QVariant &value, QJsonValue &out, QString &problem)
{
    if (!value.isValid() || value.isNull()) {
        out = QJsonValue::Null;
        return true;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
        out = value.toBool();
        return true;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        out = value.toLongLong();
        return true;
    case QMetaType::Double:
    case QMetaType::Float:
        if (!std::isfinite(value.toDouble())) {
            problem = QStringLiteral("a number that is not finite");
            return false;
        }
        out = value.toDouble();
        return true;
    case QMetaType::QString:
        out = value.toString();
        return true;
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &item : value.toList()) {
            QJsonValue converted;
            if (!jsonFromValue(item, converted, problem))
                return false;
            array.append(converted);
        }
        out = array;
        return true;
    }
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            QJsonValue converted;
            if (!jsonFromValue(it.value(), converted, problem)) {
                problem = QStringLiteral("member \"%1\": %2").arg(it.key(), problem);
                return false;
            }
            object.insert(it.key(), converted);
        }
        out = object;
        return true;
    }
    default:
        problem = QStringLiteral("a value of type %1").arg(QString::fromLatin1(value.typeName()));
        return false;
    }
}

// Writes a value as compact JSON text straight from the variant, byte for byte as the document
// writer writes the document jsonFromValue builds (members in key order, the same escapes and number
// forms), without building that document: the cloud writes a body per batch of five records, and the
// document's sorted inserts and copies were most of that cost. Dictionaries with a key outside ASCII,
// whose order the document may tell apart from the dictionary's, are left to the document path.
class JsonTextWriter final
{
public:
    // False when the value is not written here: JSON cannot hold it, or the document path must.
    bool write(const QVariant &value)
    {
        if (!value.isValid() || value.isNull()) {
            m_text += "null";
            return true;
        }
        switch (value.typeId()) {
        case QMetaType::Bool:
            m_text += value.toBool() ? "true" : "false";
            return true;
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            m_text += QByteArray::number(value.toLongLong());
            return true;
        case QMetaType::Double:
        case QMetaType::Float:
            return writeNumber(value.toDouble());
        case QMetaType::QString:
            writeString(value.toString());
            return true;
        case QMetaType::QVariantList:
            return writeList(value.toList());
        case QMetaType::QVariantMap:
            return writeMap(value.toMap());
        default:
            return false;
        }
    }

    const QByteArray &text() const { return m_text; }

private:
    bool writeNumber(double number)
    {
        if (!std::isfinite(number))
            return false;
        m_text += QByteArray::number(number, 'g', QLocale::FloatingPointShortest);
        return true;
    }

    bool writeList(const QVariantList &list)
    {
        m_text += '[';
        for (qsizetype index = 0; index < list.size(); ++index) {
            if (index > 0)
                m_text += ',';
            if (!write(list.at(index)))
                return false;
        }
        m_text += ']';
        return true;
    }

    bool writeMap(const QVariantMap &map)
    {
        m_text += '{';
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QString &key = it.key();
            if (std::any_of(key.cbegin(), key.cend(), [](QChar c) { return c.unicode() >= 0x80; }))
                return false;
            if (it != map.cbegin())
                m_text += ',';
            writeString(key);
            m_text += ':';
            if (!write(it.value()))
                return false;
        }
        m_text += '}';
        return true;
    }

    // Quotes and escapes as the document writer does: the quote, the backslash and control characters
    // escaped, the rest as UTF-8, and a lone surrogate as its \u escape.
    void writeString(const QString &string)
    {
        static constexpr char kHex[] = "0123456789abcdef";
        m_text += '"';
        const auto *cursor = reinterpret_cast<const char16_t *>(string.constData());
        const char16_t *const end = cursor + string.size();
        while (cursor != end) {
            const char16_t unit = *cursor++;
            if (unit >= 0x20 && unit < 0x80 && unit != u'"' && unit != u'\\') {
                m_text += char(unit);
                continue;
            }
            if (unit >= 0x80) {
                const bool pairs = QChar::isHighSurrogate(unit) && cursor != end && QChar::isLowSurrogate(*cursor);
                if (pairs || !QChar::isSurrogate(unit)) {
                    m_text += QStringView(cursor - 1, pairs ? 2 : 1).toUtf8();
                    cursor += pairs ? 1 : 0;
                    continue;
                }
            }
            static constexpr std::pair<char16_t, char> kShort[] = {
                {u'"', '"'}, {u'\\', '\\'}, {u'\b', 'b'}, {u'\f', 'f'}, {u'\n', 'n'}, {u'\r', 'r'}, {u'\t', 't'}};
            const auto found = std::find_if(std::begin(kShort), std::end(kShort),
                                            [unit](const auto &entry) { return entry.first == unit; });
            m_text += '\\';
            if (found != std::end(kShort)) {
                m_text += found->second;
                continue;
            }
            m_text += 'u';
            for (int shift = 12; shift >= 0; shift -= 4)
                m_text += kHex[(unit >> shift) & 0xf];
        }
        m_text += '"';
    }

    QByteArray m_text;
};

QString bareMimeType(const QString &mimeType)
{
    return mimeType.section(u';', 0, 0).trimmed().toLower();
}

} // namespace

QVariant RKJSONParser::objectFromString(const QString &text, PlatformError *error) const
{
    // The document reader takes only objects and arrays at the top; wrapping the text in an array lets
    // any JSON value through, and an offset past the bracket is moved back into the caller's text.
    const QByteArray wrapped = "[" + text.toUtf8() + "\n]";
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        report(error, kJSONReadErrorCode,
               QStringLiteral("The data is not valid JSON: %1 around byte %2.")
                   .arg(parseError.errorString(), QString::number(qMax(0, parseError.offset - 1))));
        return {};
    }
    const QJsonArray array = document.array();
    if (array.size() != 1) {
        report(error, kJSONReadErrorCode,
               array.isEmpty() ? QStringLiteral("The data is empty, not JSON.")
                               : QStringLiteral("The data holds more than one JSON value."));
        return {};
    }
    return valueFromJson(array.first());
}

QString RKJSONParser::stringFromObject(const QVariant &object, PlatformError *error) const
{
    JsonTextWriter writer;
    if (writer.write(object))
        return QString::fromUtf8(writer.text());
    QJsonValue converted;
    QString problem;
    if (!jsonFromValue(object, converted, problem)) {
        report(error, kJSONWriteErrorCode, QStringLiteral("JSON cannot hold %1.").arg(problem));
        return {};
    }
    // The document writer takes only objects and arrays; a bare value is written inside an array and
    // the brackets are taken off again.
    const QByteArray inArray = QJsonDocument(QJsonArray{converted}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(inArray.mid(1, inArray.size() - 2));
}

RKParserRegistry &RKParserRegistry::sharedRegistry()
{
    // Never destroyed: a reply may still be parsed on the network thread while the process exits.
    static auto *registry = new RKParserRegistry;
    return *registry;
}

RKParserRegistry::RKParserRegistry()
{
    m_parsers.emplace(QString::fromLatin1(RKMIMETypeJSON), std::make_unique<RKJSONParser>());
}

const RKParser *RKParserRegistry::parserForMIMEType(const QString &mimeType) const
{
    const auto found = m_parsers.find(bareMimeType(mimeType));
    return found == m_parsers.end() ? nullptr : found->second.get();
}

} // namespace platform
