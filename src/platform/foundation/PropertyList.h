#pragma once

#include "platform/foundation/FileIO.h"
#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace platform {

// The two encodings of a property list. Files that the application writes for people and tools to
// read are XML; keyed archives are binary unless asked otherwise.
// 2001-01-01T00:00:00Z, the origin of property-list and archive dates, in milliseconds since 1970.
inline constexpr qint64 kPropertyListReferenceDateMs = 978307200000LL;

// The milliseconds since 1970 of a date stored as seconds since the reference date; nothing for
// seconds that are not finite or lie beyond 1e11 either way, past what QDateTime and a double hold
// exactly to the millisecond.
std::optional<qint64> msecsOfReferenceSeconds(double seconds);

enum class PropertyListFormat {
    Xml,
    Binary,
};

// A reference to an entry of a keyed archive's object table. Plain property lists never hold one;
// in XML it is written as a dictionary with the single key "CF$UID".
struct PropertyListUid final
{
    quint64 value = 0;

    friend bool operator==(const PropertyListUid &left, const PropertyListUid &right) { return left.value == right.value; }
};

// Converting between property lists and Qt values. A property list maps onto QVariant as:
// string QString, boolean bool, integer qint64, real double, date QDateTime (UTC), data QByteArray,
// array QVariantList, dictionary QVariantMap, archive reference PropertyListUid.
// Writing also takes the other integer types, float, QStringList and QVariantHash; an invalid
// QVariant or any other type is refused with an error that names it.
// All functions are thread-safe.

// Reads a property list in either encoding. Damaged or hostile input (truncation, nesting deeper
// than a few hundred levels, shared subtrees that would expand without end) fails cleanly.
Result<QVariant> parsePropertyList(const QByteArray &bytes);

// Encodes a value as a whole property list. Dates must lie within 1933 to 2069, the range the
// plain date element holds here.
Result<QByteArray> serializePropertyList(const QVariant &root, PropertyListFormat format);

// Reads a whole property-list file: a regular file of at most maxBytes (readWholeFile).
Result<QVariant> readPropertyList(const QString &path, qint64 maxBytes = kDefaultMaxFileBytes);

// Reads a property-list file whose root is a dictionary; any other root fails.
Result<QVariantMap> readPropertyListDictionary(const QString &path, qint64 maxBytes = kDefaultMaxFileBytes);

// Writes a whole property-list file atomically: a reader sees the old file or the new one.
Status writePropertyList(const QString &path, const QVariant &root, PropertyListFormat format = PropertyListFormat::Xml,
                         FilePermissions permissions = FilePermissions::KeepExisting);

} // namespace platform

Q_DECLARE_METATYPE(platform::PropertyListUid)
