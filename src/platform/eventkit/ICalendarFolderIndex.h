#pragma once

#include "platform/foundation/Result.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

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

// A folder's files by name. Those a loaded index gave stay in its block of entries and are found
// through a table of their entry numbers, four bytes a slot, hashed over their names: a folder of
// many files keeps no hash node, key and pointer per file. Files added or replaced since lie in a
// table of their own (a name is in one of the two at most); both are keyed by the names' UTF-8; the index's entries are never added to
// afterwards, only marked gone, so their table needs no growing.
class ICalendarFileTable final
{
public:
    using FilePointer = std::shared_ptr<ICalendarFile>;
    using Block = std::shared_ptr<std::vector<ICalendarFile>>;

    // Takes the entries of the block, which the table must not hold yet: a later entry of a name in
    // place of an earlier one.
    void adoptBlock(Block block);
    FilePointer value(const QString &name) const;
    // The same of a name given as its UTF-8, as a file keeps it: no text is made of it.
    FilePointer valueOfUtf8(QByteArrayView name) const;
    bool contains(const QString &name) const;
    // Puts the file in place of any of its name.
    void insert(const QString &name, FilePointer file);
    // Takes the file of the name out; null when there is none.
    FilePointer take(const QString &name);
    qsizetype size() const { return m_blockCount + m_others.size(); }
    bool isEmpty() const { return size() == 0; }
    QStringList keys() const;
    void reserve(qsizetype count) { m_others.reserve(count); }
    void clear() { *this = ICalendarFileTable(); }
    // Calls visit with each file: the block's in the order they lie in it, then the others.
    template <typename Visit> void forEach(Visit &&visit) const
    {
        forEachWhere([](const ICalendarFile &) { return true; }, visit);
    }
    // The same with each file that isTaken takes, asked of the file itself: a file passed by is
    // not made a pointer of, whose shared count each pointer made and let go changes.
    template <typename Take, typename Visit> void forEachWhere(Take &&isTaken, Visit &&visit) const
    {
        for (std::size_t at = 0; m_block && at < m_isLive.size(); ++at) {
            if (m_isLive[at] && isTaken(std::as_const((*m_block)[at])))
                visit(FilePointer(m_block, &(*m_block)[at]));
        }
        for (const FilePointer &file : m_others) {
            if (isTaken(std::as_const(*file)))
                visit(file);
        }
    }

private:
    // The slot holding the name's entry number; -1 when none does.
    qsizetype slotOf(QByteArrayView name) const;
    FilePointer entryInSlot(qsizetype slot) const;
    void dropFromBlock(qsizetype slot);

    static constexpr quint32 kEmpty = 0;
    static constexpr quint32 kGone = 0xffffffffU;
    Block m_block;
    std::vector<quint32> m_slots;   // entry number + 1, kEmpty or kGone; a power of two of them
    std::vector<bool> m_isLive;     // by entry number: whether the table still gives the entry
    qsizetype m_blockCount = 0;     // the live entries
    size_t m_seed = 0;
    // By the UTF-8 of the name, which the file's own name shares.
    QHash<QByteArray, FilePointer> m_others;
};

struct LoadedIndex
{
    // Its forEach gives the entries in the order of the index, which is the order they lie in memory.
    ICalendarFileTable files;
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

// Whether the short field holds the byte: a loop in place, where the library's search is a call of
// more instructions than the fields of an index line or a listed event have bytes.
inline bool holdsByte(QByteArrayView field, char byte)
{
    return std::find(field.begin(), field.end(), byte) != field.end();
}

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
Result<qsizetype> saveIndex(const QString &folderPath, const ICalendarFileTable &files);
// Adds a block of the entries of the files (each of which parses or is damaged) to the index, when it is still the
// file of that status; answers its status afterwards. Fails, writing nothing, when it is not.
Result<IndexFileStatus> appendToIndex(const QString &folderPath,
                                      const QList<std::shared_ptr<const ICalendarFile>> &files,
                                      const IndexFileStatus &expected);

// What the files an index tells of hold, taken together: whether it tells of any file (one that
// parses, or a damaged one), and whether a file that parses holds an event, or a to-do.
struct IndexedKinds
{
    bool hasFiles = false;
    bool hasEvents = false;
    bool hasTodos = false;
};
// Read from the kinds of item of each entry, none of which is kept; a later entry of a name stands in
// place of an earlier one. Nothing when there is no index, or it does not read whole: its blocks are
// checked as loadIndex checks them, its lines only for the fields read (not against their checksums).
std::optional<IndexedKinds> kindsOfIndex(const QString &folderPath);

} // namespace icalindex
} // namespace platform
