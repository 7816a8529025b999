#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

namespace phonepeer {

// The conduits the phone keeps, by the letter the desktop names them with.
enum class Conduit { Contacts, Calendar, Tasks, Memos };
inline constexpr Conduit kAllConduits[] = {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks, Conduit::Memos};

QChar letterOf(Conduit conduit);
// The conduit of a letter "A", "D", "T" or "M"; false for anything else.
bool conduitFromLetter(const QString &letter, Conduit &conduit);
// The word of update commands: "Contact", "Calendar", "Todo", "Memo".
QString commandWordOf(Conduit conduit);
// The name of list replies: "Contacts", "Calendar", "Tasks", "Memos".
QString listNameOf(Conduit conduit);

// Field values travel with "&" as BEL, TAB as ACK (U+0006) and line breaks as CR.
QString encodeValue(const QString &text);
QString decodeValue(const QString &text);

using Pairs = QList<std::pair<QString, QString>>;

// The pairs of a text body "name=value&name=value&" built without escaping: split at "&", then at
// the first "="; empty pieces are skipped.
Pairs parsePlainPairs(const QString &text);
// The pairs of an application/x-www-form-urlencoded body ("+" is a space, %XX a byte of UTF-8).
Pairs parseFormPairs(const QByteArray &body);
// The value of the first pair of that name, or the empty text.
QString valueOf(const Pairs &pairs, const QString &name);
bool hasName(const Pairs &pairs, const QString &name);

} // namespace phonepeer
