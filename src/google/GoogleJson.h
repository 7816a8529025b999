#pragma once

#include <QByteArray>
#include <QVariantMap>

// Compact JSON of the bodies sent to Google, written straight from the map into UTF-8. The bytes are
// those of QJsonDocument::fromVariant(map).toJson(QJsonDocument::Compact): keys in the map's order,
// integers in decimal, doubles in their shortest form ("null" when not finite), control characters,
// quotes and backslashes escaped, other text in UTF-8 and a lone surrogate as \uXXXX.
namespace googlejson {

// Writes the map's JSON to out. Answers false, out then undefined, when a value anywhere in it is of
// a kind written here not at all (neither null, bool, integer, double, string, list nor map): the
// caller then takes Qt's own conversion, which knows every kind.
bool writeCompact(const QVariantMap &map, QByteArray &out);

// The map's compact JSON: the direct writer's, or Qt's where a value is of another kind. Empty when
// Qt cannot represent the map.
QByteArray compactJson(const QVariantMap &map);

} // namespace googlejson
