#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariantMap>

// The Atom texts of the Google Contacts data format (version 3.0) that a Google run sends: a contact's
// entry, a new group's entry, and the value escaping both use. Pure functions of their arguments.
namespace googlecontactentry {

inline constexpr char kAtomNamespaceText[] = "http://www.w3.org/2005/Atom";
inline constexpr char kGdNamespaceText[] = "http://schemas.google.com/g/2005";
inline constexpr char kContactNamespaceText[] = "http://schemas.google.com/contact/2008";
inline const QString kAtomNamespace = QLatin1String(kAtomNamespaceText);
inline const QString kGdNamespace = QLatin1String(kGdNamespaceText);
inline const QString kContactNamespace = QLatin1String(kContactNamespaceText);

// "&" first, then the double quote, "<" and ">" as entity references.
QString xmlEscapedString(const QString &text);

// The number of the record's phone whose label code belongs to the key ("HOMEPHONE" 1, "CELLPHONE" 2,
// "WORKPHONE" 3, "WORKFAX" 4, "HOMEFAX" 5, "PAGER" 6, "OTHERPHONE" 7, "MAINPHONE" 10); labels past 10
// count. A null text when none matches or the key has no code.
QString phoneNumberForLabel(const QString &phoneKey, const QVariantMap &record);

// The entry of a contact record, in UTF-8. groups: group id to title; userEmail: the account.
QByteArray contactEntry(const QVariantMap &record, const QMap<QString, QString> &groups, const QString &userEmail);

// The five-line entry of a new contact group.
QString groupEntry(const QString &name);

// A generic writer of a dictionary as XML elements (nothing sends its output).
QString convertDictionaryToXML(const QVariantMap &dictionary, const QString &elementName, bool isFirstElement = true);

} // namespace googlecontactentry
