#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <utility>

namespace platform {

// Builds the UTF-8 JSON text of one flat object: members whose values are texts, numbers, booleans or
// null, written compactly in the order they were added. Texts are escaped so that any text, control
// characters and lone surrogates included, gives valid JSON. A plain value used by one thread at a time.
class JsonWriter final
{
public:
    // Adds a member, or replaces the value of a member of the same key where it stands. Text, a number
    // (a boolean gives true or false) and nil (null) are accepted; any other value, and a number that is
    // not finite, is refused and leaves the object as it was.
    Status add(const QString &key, const QVariant &value);

    bool isEmpty() const { return m_members.isEmpty(); }
    QByteArray toJson() const;

    // The object of a whole dictionary, its members in key order; fails, naming the key, when a value
    // cannot be written.
    static Result<QByteArray> objectFromDictionary(const QVariantMap &dictionary);

    // The JSON string literal of a text, quotes included.
    static QByteArray quoted(const QString &text);

private:
    QList<std::pair<QString, QByteArray>> m_members; // key, encoded value
};

} // namespace platform
