#pragma once

#include "platform/foundation/PlatformError.h"

#include <QString>
#include <QVariant>

#include <map>
#include <memory>

namespace platform {

// A parser of one MIME type: text to values and back. Values are those of a record: texts, numbers
// (bool, qint64 or double), lists (QVariantList), dictionaries (QVariantMap) and nil (an invalid
// QVariant). Thread-safe: parsers keep no state.
class RKParser
{
public:
    virtual ~RKParser() = default;

    // The value the text holds; on malformed text an invalid QVariant and, when asked, the error.
    virtual QVariant objectFromString(const QString &text, PlatformError *error = nullptr) const = 0;
    // The text of a value; on a value the format cannot hold the empty text and, when asked, the error.
    virtual QString stringFromObject(const QVariant &object, PlatformError *error = nullptr) const = 0;
};

// The JSON parser. Any JSON value is accepted at the top, not only objects and arrays; whole numbers
// that fit come back as qint64, others as double.
class RKJSONParser final : public RKParser
{
public:
    QVariant objectFromString(const QString &text, PlatformError *error = nullptr) const override;
    QString stringFromObject(const QVariant &object, PlatformError *error = nullptr) const override;
};

// The process-wide table of parsers by MIME type; it holds the JSON parser ("application/json").
// Thread-safe: the table is filled when first used and only read after.
class RKParserRegistry final
{
public:
    static RKParserRegistry &sharedRegistry();

    // The parser for the MIME type (parameters such as "; charset=utf-8" are ignored), or nullptr.
    // The parser lives as long as the registry.
    const RKParser *parserForMIMEType(const QString &mimeType) const;

private:
    RKParserRegistry();

    std::map<QString, std::unique_ptr<const RKParser>> m_parsers; // filled once, then only read
};

} // namespace platform
