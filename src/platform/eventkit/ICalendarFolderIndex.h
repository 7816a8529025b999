#pragma once

#include "platform/foundation/Result.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <span>

namespace platform {

struct ICalendarFile;

// The hidden file beside a calendar folder (".<folder name>.hmindex" in the folder's parent) that
// remembers, across runs, what each item file held when it had a given size, modification time,
// change time and inode: its UIDs, event titles, kinds of item, the reach in time of its events and,
// for a file holding one single event, what a listing reads of that event, each line with its
// checksum (CRC-32). A folder opened again then knows its items without parsing them, and parses a
// file only when its contents are asked for. A file whose status differs from its entry is
// read afresh, so a stale index (a run killed before it saved one) costs only parsing; a damaged or
// foreign one is ignored whole and written again. The entries come in blocks, each closed by a line
// counting them: the index is written whole as one block, and a run that changed a few files adds a
// block of their entries (a later entry of a file replaces an earlier one), so that saving costs what
// changed. Free functions; the caller owns the folder and calls them under the stores' lock.
namespace icalindex {

// What tells whether the index file is still the one last read or written.
struct IndexFileStatus
{
    qint64 modifiedNs = 0;
    qint64 inode = 0;
    qint64 size = 0;
    bool operator==(const IndexFileStatus &) const = default;
};

struct LoadedIndex
{
    QHash<QString, std::shared_ptr<ICalendarFile>> files;
    // The same entries in the order of the index, which is the order they lie in memory.
    QList<std::shared_ptr<ICalendarFile>> inOrder;
    // The entries in the file, those a later one replaced included.
    qsizetype entryLines = 0;
};

// The UIDs and titles of a file as its entry writes them: two comma-separated lists of
// percent-encoded UTF-8 texts, split by a tab.
QByteArray encodeItems(const QStringList &uids, const QStringList &titles);
enum class ItemList { Uids, Titles };
// One list of such a text; empty when the text is not one.
QStringList decodeItems(QByteArrayView items, ItemList list);
// The UID of an items text holding exactly one, as the bytes it is written with, when those are the
// UID's UTF-8 as they stand (ASCII, no escape); nothing otherwise, whose UIDs are decoded.
std::optional<QByteArrayView> plainSingleUid(QByteArrayView items);

// Writes the field with its percent escapes decoded to out, which has room for field.size() bytes;
// a '%' that begins no escape of two hexadecimal digits is written as it is. Answers the bytes
// written, and in isWhole (when given) whether every '%' began an escape.
qsizetype percentDecode(QByteArrayView field, char *out, bool *isWhole = nullptr);

// Reads a decimal number as the index writes it into value: 1 to 19 digits, after a minus where
// negative, and nothing else, within 64 bits. False, with value 0, for any other field. The answer is
// a flag apart from the number: a number wrapped with its flag, asked for six times a line, is
// stored piece by piece and read back whole, which stalls.
bool readDecimal(QByteArrayView field, qint64 &value);

// Splits the text at each separator into exactly as many fields as there is room for, each a view
// into the text; false when it holds another number of them.
bool splitFields(QByteArrayView text, char separator, std::span<QByteArrayView> fields);

QString indexPathFor(const QString &folderPath);
// The index file's status; zeros when there is none.
IndexFileStatus indexStatusOf(const QString &folderPath);
// The files the index describes, unparsed (calendar null); nothing when there is no index or it is
// damaged (logged).
std::optional<LoadedIndex> loadIndex(const QString &folderPath);
// Writes the entries of the files that parse, and of the damaged ones (the items they last held,
// marked "D" among the kinds), in the order of their names, whole, readable by the owner only;
// answers how many entries it wrote.
Result<qsizetype> saveIndex(const QString &folderPath, const QHash<QString, std::shared_ptr<ICalendarFile>> &files);
// Adds a block of the entries of the files (each of which parses or is damaged) to the index, when it is still the
// file of that status; answers its status afterwards. Fails, writing nothing, when it is not.
Result<IndexFileStatus> appendToIndex(const QString &folderPath,
                                      const QList<std::shared_ptr<const ICalendarFile>> &files,
                                      const IndexFileStatus &expected);

} // namespace icalindex
} // namespace platform
