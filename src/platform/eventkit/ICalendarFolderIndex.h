#pragma once

#include "platform/foundation/Result.h"

#include <QHash>
#include <QString>

#include <memory>
#include <optional>

namespace platform {

struct ICalendarFile;

// The hidden file beside a calendar folder (".<folder name>.hmindex" in the folder's parent) that
// remembers, across runs, what each item file held when it had a given size, modification time,
// change time and inode: its UIDs, event titles, kinds of item, the reach in time of its events and,
// for a file holding one single event, what a listing reads of that event,
// each line with its checksum. A folder opened again then knows its items without parsing them, and
// parses a file only when its contents are asked for. A file whose status differs from its entry is
// read afresh, so a stale index (a run killed before it saved one) costs only parsing; a damaged or
// foreign one is ignored whole and written again. Free functions; the caller owns the folder and
// calls them under the stores' lock.
namespace icalindex {

QString indexPathFor(const QString &folderPath);
// The files the index describes, unparsed (calendar null); nothing when there is no index or it is
// damaged (logged).
std::optional<QHash<QString, std::shared_ptr<ICalendarFile>>> loadIndex(const QString &folderPath);
// Writes the entries of the files that parse, in the order of their names, whole, readable by the
// owner only.
Status saveIndex(const QString &folderPath, const QHash<QString, std::shared_ptr<ICalendarFile>> &files);

} // namespace icalindex
} // namespace platform
