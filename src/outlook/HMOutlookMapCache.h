#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// The Outlook id maps as parsed dictionaries shared by every reader in the process, so that the many
// short-lived readers of one sync parse a map once rather than once each.
//
// A map is answered from memory only while the file at its name is the very file it was parsed from
// or written as: same device, inode, size, modification and change time (nanoseconds). Any write by
// another process, a restored or replaced file, or a removed one changes that stamp, and the next
// read parses the file again. A file changed less than a moment before it is read is not kept (a
// coarse file clock could let a second change in the same tick keep the stamp). A link at the name,
// or anything else than a regular file, is read as before and never kept.
//
// Writes go through the same atomic write as before (a temporary file renamed over the map, 0600),
// and the written map is kept under the stamp of the file as it was named. A failed write keeps
// nothing new. Thread-safe.
namespace outlookmaps {

// The dictionary at path, nullopt when there is none or it does not read as a dictionary.
std::optional<QVariantMap> read(const QString &path, qint64 maxBytes);
// Writes the map whole and atomically (XML, owner-only); false, logged, when it did not reach the disk
// or its text would take more than maxBytes (a read with that cap could not read it back).
bool write(const QString &path, const QVariantMap &map, qint64 maxBytes);
// Forgets every kept map (for tests and measurements).
void forgetAll();

} // namespace outlookmaps
