#include "platform/restkit/RKParserRegistry.h"

#include "platform/restkit/RKRequestSerialization.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

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
