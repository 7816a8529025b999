#pragma once

#include "platform/foundation/FileBytes.h"
#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

#include <sys/stat.h>

namespace platform {

// The most a file is read into memory when its reader names no smaller cap.
constexpr qint64 kDefaultMaxFileBytes = 64LL * 1024 * 1024;

// Who may read a file that writeFileAtomically writes.
enum class FilePermissions {
    // Read and written by its owner only (0600), whatever the umask and whatever the replaced file
    // allowed: profiles, graphs, maps, defaults.
    OwnerOnly,
    // A file being replaced keeps its permissions (it may be shared with other programs on purpose);
    // a new file is the owner's only.
    KeepExisting,
};

// Reads a whole regular file of at most maxBytes. Fails with IoNotFound when it does not exist, and
// with DataMalformed when it is not a regular file (a folder, a FIFO, a device, also when reached
// through a link) or holds more than maxBytes. A FIFO never blocks the reader. Thread-safe.
Result<QByteArray> readWholeFile(const QString &path, qint64 maxBytes = kDefaultMaxFileBytes);

// The same for files in folders other programs write: a link at the name fails the read instead of
// being followed. `opened`, when given, receives the status of the file as opened (also when it is
// then refused), so that the reader can tell later whether the file changed since what it read.
Result<QByteArray> readWholeFileWithoutFollowing(const QString &path, qint64 maxBytes,
                                                 struct stat *opened = nullptr);

// The first maxBytes bytes of a regular file (all of a shorter one), for readers that need only its
// head: a longer file is not an error. Fails as readWholeFileWithoutFollowing does otherwise (a link
// at the name is not followed; a FIFO never blocks the reader). Thread-safe.
Result<QByteArray> readFileHeadWithoutFollowing(const QString &path, qint64 maxBytes);

// A regular file as it stands at a name (the name itself: no link is followed); any later write,
// replacement or removal changes it. Times in nanoseconds.
struct FileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;
    bool operator==(const FileStamp &) const = default;
};
// Nothing when no regular file stands at the name. One status call, no open.
std::optional<FileStamp> fileStampOf(const QString &path);
// The stamp of a file's status as a status call or an open file gave it.
FileStamp fileStampOf(const struct stat &status);

// A regular file read from the front a piece at a time, for readers that parse as they go and so
// never hold the whole file: opened as readWholeFile opens it, with the same refusals, and never read
// past maxBytes. Not thread-safe; one reader at a time.
class FileStream final
{
public:
    static Result<FileStream> open(const QString &path, qint64 maxBytes);
    // The same for a file in a folder other programs write: a link at the name fails the open.
    static Result<FileStream> openWithoutFollowing(const QString &path, qint64 maxBytes);
    FileStream(FileStream &&other) noexcept;
    FileStream &operator=(FileStream &&) = delete;
    FileStream(const FileStream &) = delete;
    ~FileStream();

    // The size the file had when it was opened.
    qint64 openedSize() const { return m_openedSize; }
    // Reads up to `wanted` bytes into `out`: how many it read, 0 at the end of the file, -1 on a failed
    // read or once the file has grown past maxBytes.
    qsizetype read(char *out, qsizetype wanted);

private:
    static Result<FileStream> openWithFlags(const QString &path, qint64 maxBytes, int extraFlags);
    FileStream(int descriptor, qint64 openedSize, qint64 maxBytes);

    int m_descriptor = -1;
    qint64 m_openedSize = 0;
    qint64 m_maxBytes = 0;
    qint64 m_read = 0;
};

// readWholeFile for a file the program itself writes, only ever by replacing it whole (a rename), in
// a folder that only it writes, for a reader that needs the bytes only while it reads them: nothing
// truncates such a file while it is read, so a regular file at the name itself, owned by the
// process's user and named nowhere else, is mapped read-only instead of being copied into fresh
// memory. Anything else (a link at the name, a file of another user or with other names, a failed
// mapping) is read as readWholeFile reads it, and every failure is readWholeFile's. Thread-safe.
Result<FileBytes> readOwnFileBytes(const QString &path, qint64 maxBytes);

// When writeFileAtomically flushes the temporary file to disk before the rename.
enum class FileFlush {
    Always,
    // Only when the rename replaces a file: a power cut then leaves the old file or the new one,
    // whole. A new file is made durable later by its writer (a sync of its file system, see
    // syncFileSystemsOf); a power cut before that leaves no file or an empty one, never a torn one.
    // A crash of the process alone loses nothing either way: the renamed file is in the kernel's hands.
    WhenReplacing,
    // Never: the writer syncs the file system (syncFileSystemsOf) before anything names the file, for
    // a whole batch at once; a power cut before that may leave a replaced file empty.
    Never,
};

// Writes a whole file atomically: the bytes go to a temporary file in the same folder, which is
// flushed and then renamed over the target, so a reader sees the old file or the new one, never a
// half-written one, and a failed write leaves the old file as it was. A link at the target is
// replaced, never followed. `placed`, when given, receives the status of the file as it stands
// under its name once written (its change time moves when it is named). Thread-safe.
Status writeFileAtomically(const QString &path, const QByteArray &bytes,
                           FilePermissions permissions = FilePermissions::KeepExisting,
                           FileFlush flush = FileFlush::Always, struct stat *placed = nullptr);

// writeFileAtomically for a file its writer has just named and expects to be new: the file is named
// without first looking whether the name is taken. When it is taken after all, the file replaces
// what is there just as writeFileAtomically would, and only the first try's work is lost. Thread-safe.
Status writeNewFileAtomically(const QString &path, const QByteArray &bytes, FilePermissions permissions,
                              FileFlush flush, struct stat *placed = nullptr);

// What a streamed file holds: writes it, in as many pieces as it likes, to the descriptor it is given
// (writeToDescriptor does the writing); answers false, with errno saying why, when a write failed.
using FileContentWriter = std::function<bool(int descriptor)>;

// writeFileAtomically for a file made piece by piece, so that a large file never lies whole in
// memory. The same guarantees hold: a failed write, or content that answers false, leaves the old
// file as it was and no temporary file behind. Thread-safe.
Status writeFileAtomicallyFrom(const QString &path, const FileContentWriter &content,
                               FilePermissions permissions = FilePermissions::KeepExisting,
                               FileFlush flush = FileFlush::Always, struct stat *placed = nullptr);

// Makes what was written and renamed in the folders durable: one sync (syncfs) of each file system
// that holds one of them, however many files changed. Folders that no longer exist are passed over.
// Fails when a folder cannot be opened or its file system reports a write error. Thread-safe.
Status syncFileSystemsOf(const QStringList &folderPaths);

// Whether a file name is one of the temporary files writeFileAtomically makes.
bool isTemporaryFileName(const QString &fileName);

// Removes the temporary files that writes interrupted by a crash or a power cut left in the folder,
// those last changed at least minimumAge ago (younger ones may belong to a write under way in another
// process). Answers how many went.
int removeStaleTemporaryFiles(const QString &folderPath, std::chrono::seconds minimumAge = std::chrono::minutes(10));

// Writes all the bytes to an open descriptor, going on after a signal or a partial write. Answers how
// many bytes went out: fewer than all when the descriptor failed, with errno saying why (EIO when it
// took nothing without an error).
qsizetype writeToDescriptor(int descriptor, const QByteArray &bytes);

} // namespace platform
