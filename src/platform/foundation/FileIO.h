#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>

namespace platform {

// Reads a whole file. Fails with IoNotFound when it does not exist.
Result<QByteArray> readWholeFile(const QString &path);

// Writes a whole file atomically: the bytes go to a temporary file in the same folder, which is
// flushed and then renamed over the target, so a reader sees the old file or the new one, never a
// half-written one, and a failed write leaves the old file as it was. Thread-safe.
Status writeFileAtomically(const QString &path, const QByteArray &bytes);

// Writes all the bytes to an open descriptor, going on after a signal or a partial write. Answers how
// many bytes went out: fewer than all when the descriptor failed, with errno saying why (EIO when it
// took nothing without an error).
qsizetype writeToDescriptor(int descriptor, const QByteArray &bytes);

} // namespace platform
