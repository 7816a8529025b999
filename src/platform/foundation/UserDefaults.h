#pragma once

#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace platform {

// The user's preferences: property-list values by key, kept in memory and written as a whole XML
// property list by synchronize() (and by the destructor when changes are pending).
// The standard instance lives in "<config folder>/<bundle identifier>.plist" (the config folder
// is $XDG_CONFIG_HOME or ~/.config); tests use an in-memory instance or one on a file of their own.
// A file that cannot be read is set aside as "<name>.damaged" and the defaults start empty.
// Thread-safe: every member may be called from any thread.
class UserDefaults final
{
public:
    // An instance that never touches a file.
    UserDefaults();
    // An instance backed by the property-list file at path, read now.
    explicit UserDefaults(const QString &path);
    ~UserDefaults();
    UserDefaults(const UserDefaults &) = delete;
    UserDefaults &operator=(const UserDefaults &) = delete;

    // The process-wide instance on the standard file, created on first use.
    static UserDefaults &standardUserDefaults();
    static QString standardDefaultsPath();

    // The stored value, or an invalid QVariant.
    QVariant objectForKey(const QString &key) const;
    // A text, or a number given as its text; a null text otherwise.
    QString stringForKey(const QString &key) const;
    // A number (truncated), true as 1, or the leading integer of a text ("30" gives 30); else 0.
    qint64 integerForKey(const QString &key) const;
    // A number other than 0, or a text starting with Y, T or a digit 1 to 9 ("YES", "true");
    // else false.
    bool boolForKey(const QString &key) const;
    // A stored date; an invalid QDateTime otherwise.
    QDateTime dateForKey(const QString &key) const;
    QVariantMap dictionaryRepresentation() const;

    // Stores a property-list value (text, boolean, number, date, data, list, dictionary). An invalid
    // QVariant removes the key. A value of any other type is refused: false, and nothing changes.
    bool setObject(const QVariant &value, const QString &key);
    void setInteger(qint64 value, const QString &key);
    void setBool(bool value, const QString &key);
    void removeObjectForKey(const QString &key);

    // Writes pending changes to the file atomically. Nothing to do for the in-memory instance.
    Status synchronize();
    // Why the file could not be read when the instance was made, if it could not.
    std::optional<Error> loadError() const;

private:
    void load();
    bool holds(const QString &key, const QVariant &value) const;

    const QString m_path;
    // Held across a whole synchronize, so two writers never put an older snapshot last.
    QMutex m_writeMutex;
    mutable QMutex m_mutex;
    QVariantMap m_values;
    bool m_hasUnsavedChanges = false;
    std::optional<Error> m_loadError;
};

} // namespace platform
