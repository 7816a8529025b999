#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>

// The Atom texts of the Google Contacts data format (version 3.0) that a Google run sends: a contact's
// entry, a new group's entry, and the value escaping both use. Pure functions of their arguments.
namespace googlecontactentry {

inline const QString kAtomNamespace = QStringLiteral("http://www.w3.org/2005/Atom");
inline const QString kGdNamespace = QStringLiteral("http://schemas.google.com/g/2005");
inline const QString kContactNamespace = QStringLiteral("http://schemas.google.com/contact/2008");

// "&" first, then the double quote, "<" and ">" as entity references.
QString xmlEscapedString(const QString &text);

// The number of the record's phone whose label code belongs to the key ("HOMEPHONE" 1, "CELLPHONE" 2,
// "WORKPHONE" 3, "WORKFAX" 4, "HOMEFAX" 5, "PAGER" 6, "OTHERPHONE" 7, "MAINPHONE" 10); labels past 10
// count. A null text when none matches or the key has no code.
QString phoneNumberForLabel(const QString &phoneKey, const QVariantMap &record);

// The entry of a contact record. groups: group id to title; userEmail: the account.
QString contactEntry(const QVariantMap &record, const QMap<QString, QString> &groups, const QString &userEmail);

// The five-line entry of a new contact group.
QString groupEntry(const QString &name);

// A generic writer of a dictionary as XML elements (nothing sends its output).
QString convertDictionaryToXML(const QVariantMap &dictionary, const QString &elementName, bool isFirstElement = true);

} // namespace googlecontactentry
