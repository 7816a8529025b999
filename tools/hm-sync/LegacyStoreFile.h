#pragma once

#include <QString>

namespace hmsync {

// Rewrites a memory store kept in the earlier layout (one JSON document holding every conduit, and
// beside it a log of JSON lines each holding what one save changed) in the current layout of lines
// (StoreLines.h), atomically, and removes the old log. The new file's generation follows the old
// one's, so an old log the removal misses is ignored. False, with the problem, when the file is not
// a store of either layout.
bool convertLegacyStoreFile(const QString &path, QString &problem);

} // namespace hmsync
