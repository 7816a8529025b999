#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace platform {

// A strings table: the localised texts of the application by key, read from a file in the platform's
// strings format:
//
//     /* A comment. */
//     "adb_device_not_found" = "No device found.\nConnect it by USB.";
//     // A line comment.
//     bare_key = "value";
//     "key alone";                      (the key is its own value)
//
// Texts are UTF-8 (or UTF-16 with a byte-order mark); escapes are \" \\ \n \t \r \0 \a \b \f \v and
// \uXXXX / \UXXXX. A malformed entry is skipped up to the next line, named in errors() and logged;
// the entries around it are kept. A value type: copy freely; a const table may be read from any thread.
class LocalizedStrings final
{
public:
    LocalizedStrings() = default;

    // Parses a table; sourceName names it in errors ("en.lproj/Localizable.strings:12: ...").
    static LocalizedStrings parse(const QByteArray &bytes, const QString &sourceName);
    // Reads and parses a file; a missing or unreadable file gives an empty table with the error noted.
    static LocalizedStrings load(const QString &path);

    // The text of the key; a missing key gives the key itself.
    QString value(const QString &key) const;
    // The text of the key; a missing key gives defaultValue, or the key when defaultValue is empty.
    QString value(const QString &key, const QString &defaultValue) const;

    bool contains(const QString &key) const { return m_values.contains(key); }
    qsizetype count() const { return m_values.size(); }
    const QStringList &errors() const { return m_errors; }

private:
    QHash<QString, QString> m_values;
    QStringList m_errors;
};

} // namespace platform
