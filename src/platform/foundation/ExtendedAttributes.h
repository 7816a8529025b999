#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>

namespace platform {

// Named marks on files that travel with the file (rename, restart), such as the log files' "archived"
// mark. They live in the file system's extended attributes, in the "user." namespace: the name
// "lumberjack.log.archived" is stored as "user.lumberjack.log.archived".
//
// Where the file system keeps no extended attributes (ENOTSUP), the marks go to a hidden sidecar file
// beside the file, ".<file name>.xattrs", a small JSON document holding the marks and the device and
// inode of the file they belong to, so a stale sidecar left by a deleted file never marks a new file
// of the same name. Folder listings skip hidden entries, so the sidecar never looks like a file of the
// folder. Callers see the same results either way.
//
// Thread-safe for distinct files; two threads changing the marks of one file on a file system without
// extended attributes may lose one of the two changes.
class ExtendedAttributes final
{
public:
    ExtendedAttributes() = delete;

    // Sets the attribute (empty value by default). The file must exist.
    static Status set(const QString &path, const QString &name, const QByteArray &value = {});
    // The attribute's value; a missing attribute fails with DataMissing, a missing file with IoNotFound.
    static Result<QByteArray> value(const QString &path, const QString &name);
    static bool has(const QString &path, const QString &name);
    // Removes the attribute; one that is not there is success.
    static Status remove(const QString &path, const QString &name);

    // The sidecar store on its own, as used where the file system has no extended attributes.
    static QString sidecarPath(const QString &path);
    static Status setInSidecar(const QString &path, const QString &name, const QByteArray &value);
    static Result<QByteArray> valueInSidecar(const QString &path, const QString &name);
    static Status removeFromSidecar(const QString &path, const QString &name);
};

} // namespace platform
