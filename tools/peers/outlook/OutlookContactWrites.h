#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the scripts that write contacts: "import vcf" of a file named by a string ("import vcf text")
// or by a POSIX file reference ("import vcf file"), "set the properties of contact id" with a quoted or
// bare id ("set contact properties"), "move contact id … to address book id" ("move contact"), the
// duplicate listing "properties of every contact" ("contact listing") and "make new address book".
void addContactWriteForms(QList<ScriptForm> &forms);

// The kind of the contact-writing script the text is, or an empty text: such a script that is refused
// is refused before it changes anything.
QString contactWriteKind(const QString &script, const QString &datePattern);
bool isContactWriteKind(const QString &kind);
// Whether the contact write holds the text in its script or, for an import, in the file it names.
bool contactWriteHolds(const QString &script, const QString &datePattern, const QString &text);

// The fields of a contact read from a vCard 3.0 text as the application writes it (lower-case names,
// "charset=utf-8", a blank after "n;…:", escapes undone); nullopt when it holds no card.
std::optional<QJsonObject> contactFromVCard(const QString &text);

// The text of a file handed to an import: a regular file (never through a link) of at most 4 MiB.
std::optional<QString> readImportedFile(const QString &path);

} // namespace outlookpeer
