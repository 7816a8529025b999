#include "platform/addressbook/VCardFolder.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/Crc32.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSet>
#include <QTimeZone>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr quint32 kIndexMagic = 0x48414249;
constexpr quint32 kIndexVersion = 6;
// Versions 4 and 5 hold each file's size, times and inode where version 6 holds their digest; they
// are read, their numbers digested. Version 4 also lacks the folder's own state after the entry
// count, and trusts no listing.
constexpr quint32 kIndexVersionWithoutFolderStamp = 4;
// The folder's state in the header: whether there is one, then its size, times and inode.
constexpr qint64 kFolderStampBytes = 1 + 4 * 8;
// The magic, the version and the checksum of what follows them, each 32 bits.
constexpr qsizetype kIndexHeaderBytes = 12;
constexpr qsizetype kIndexChecksumAt = 8;
constexpr qint64 kMaxIndexBytes = 512LL * 1024 * 1024;
constexpr quint32 kMaxIndexEntries = 5000000;
// Two arrays' lengths, the stamp's digest, the card's date and the flags; versions 4 and 5 hold four
// numbers of the stamp.
constexpr qint64 kMinEntryBytes = 2 * 4 + 2 * 8 + 1;
constexpr qint64 kMinEntryBytesWithFileStamps = kMinEntryBytes + 3 * 8;
// The packed texts of an entry, in this order; the e-mail texts follow, each in its own field.
enum class Detail { UniqueId, FirstName, LastName, Organization, GroupName, Problem, Emails };
constexpr int kMaxLengthBytes = 5;
// A snapshot's blocks are packed into one again when they hold this much more than twice what its
// entries use, or when there are more of them than this.
constexpr qsizetype kBlockSlackBytes = 64 * 1024;
constexpr size_t kMaxBlocks = 64;
// A temporary file this old belongs to no running write: one killed midway left it.
constexpr std::chrono::seconds kStaleTemporaryAge = std::chrono::minutes(10);
// A byte array the index holds as null (QDataStream writes its length as all ones).
constexpr quint32 kNullArrayLength = 0xFFFFFFFF;
// The most bytes a folder's path takes in an index (UTF-16): twice the longest path the system opens.
constexpr quint32 kMaxFolderPathBytes = 2 * 4096;
// FNV-1a over UTF-16 code units, for last-name keys.
constexpr quint64 kFnvOffset = 14695981039346656037ULL;
constexpr quint64 kFnvPrime = 1099511628211ULL;
// Events read per refresh before the watch gives up and the folder is listed.
constexpr int kMaxWatchReads = 1024;
// Names a listing reads before looking them up in the index together.
constexpr size_t kListBatch = 256;
// Watches the process keeps at once: inotify instances are few per user, and a process works on one
// address book folder at a time; folders past this many are listed on every refresh.
constexpr int kMaxWatches = 8;
std::atomic<int> s_watchCount = 0;
constexpr uint32_t kWatchedEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// File systems whose every change passes through this machine's kernel, so inotify sees it.
constexpr long kLocalFileSystems[] = {0xEF53 /* ext2, ext3, ext4 */, 0x58465342 /* xfs */,  0x9123683E /* btrfs */,
                                      0x01021994 /* tmpfs */,        0xF2F52010 /* f2fs */, 0x794C7630 /* overlay */};
// A folder's times come from a clock that advances in ticks: a change within the tick of an earlier
// one may leave them as they were. Only a state this much older than the listing that saw it is
// trusted to tell that nothing changed since.
constexpr qint64 kSettledFolderNs = 2LL * 1000 * 1000 * 1000;

bool isLocalFileSystem(const struct statfs &fileSystem)
{
    return std::find(std::cbegin(kLocalFileSystems), std::cend(kLocalFileSystems), long(fileSystem.f_type)) !=
           std::cend(kLocalFileSystems);
}

QString systemMessage(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

qint64 nanosecondsOf(const struct timespec &time)
{
    return qint64(time.tv_sec) * 1000000000LL + qint64(time.tv_nsec);
}

VCardFileStamp stampOf(const struct stat &status)
{
    return VCardFileStamp{qint64(status.st_size), nanosecondsOf(status.st_mtim), nanosecondsOf(status.st_ctim),
                          quint64(status.st_ino)};
}

std::string_view viewOf(QByteArrayView bytes)
{
    return std::string_view(bytes.constData(), size_t(bytes.size()));
}

bool isAscii(std::string_view bytes)
{
    return std::all_of(bytes.cbegin(), bytes.cend(), [](char byte) { return (byte & 0x80) == 0; });
}

bool isCardFileName(std::string_view name)
{
    if (name.size() < 4 || name.front() == '.')
        return false;
    const std::string_view suffix = name.substr(name.size() - 4);
    return suffix[0] == '.' && (suffix[1] | 0x20) == 'v' && (suffix[2] | 0x20) == 'c' && (suffix[3] | 0x20) == 'f';
}

// The file's name without its ".vcf".
QStringView stemViewOf(const QString &fileName)
{
    return fileName.size() >= 4 ? QStringView(fileName).chopped(4) : QStringView(fileName);
}

// Taken by value: a name made for it is cut in place, with no copy.
QString stemOf(QString fileName)
{
    fileName.truncate(stemViewOf(fileName).size());
    return fileName;
}

void appendField(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    quint32 length = quint32(utf8.size());
    do {
        out.append(char((length & 0x7f) | (length > 0x7f ? 0x80 : 0)));
        length >>= 7;
    } while (length > 0);
    out.append(utf8);
}

// Reads packed fields one after the other; a field past the end, or too long for what is left,
// reads as empty and stops the reader.
class FieldReader final
{
public:
    explicit FieldReader(QByteArrayView bytes) : m_bytes(bytes) {}

    std::string_view next()
    {
        quint32 length = 0;
        for (int shift = 0; shift < 7 * kMaxLengthBytes; shift += 7) {
            if (m_position >= m_bytes.size())
                return stop();
            const auto byte = quint8(m_bytes.at(m_position++));
            length |= quint32(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0)
                break;
        }
        if (length > quint32(m_bytes.size() - m_position))
            return stop();
        const std::string_view field(m_bytes.constData() + m_position, length);
        m_position += length;
        return field;
    }
    QString nextText()
    {
        const std::string_view field = next();
        return QString::fromUtf8(field.data(), qsizetype(field.size()));
    }
    void skip(int count)
    {
        for (int index = 0; index < count; ++index)
            (void)next();
    }
    bool atEnd() const { return m_position >= m_bytes.size(); }

private:
    std::string_view stop()
    {
        m_position = m_bytes.size();
        return {};
    }

    QByteArrayView m_bytes;
    qsizetype m_position = 0;
};

QString detailOf(const VCardFileEntry &entry, Detail detail)
{
    FieldReader reader(entry.details());
    reader.skip(int(detail));
    return reader.nextText();
}

QByteArray packDetails(const VCardSummary &summary, const QString &fileName, const QString &problem)
{
    QByteArray packed;
    appendField(packed, summary.uniqueId == stemViewOf(fileName) ? QString() : summary.uniqueId);
    for (const QString *text :
         {&summary.firstName, &summary.lastName, &summary.organization, &summary.groupName, &problem})
        appendField(packed, *text);
    for (const QString &email : summary.emails)
        appendField(packed, email);
    return packed;
}

// An entry named "<unique id>.vcf", found by its unique id without unpacking anything.
bool isNamedAfterUniqueId(const VCardFileEntry &entry)
{
    const QByteArrayView details = entry.details();
    return !details.isEmpty() && details.front() == 0 && entry.fileName().endsWith(".vcf");
}

bool isShown(const VCardFileEntry &entry)
{
    return entry.isReadable && !entry.isDuplicate;
}

bool isBefore(const VCardFileEntry &entry, std::string_view name)
{
    return viewOf(entry.fileName()) < name;
}

bool isInNameOrder(const VCardFileEntry &first, const VCardFileEntry &second)
{
    return first.fileName() < second.fileName();
}

// The readable file named "<unique id>.vcf" after the id it holds, or null.
VCardFileEntry *namedEntryOf(VCardFolder::Snapshot &snapshot, const QString &uniqueId)
{
    const qsizetype named = snapshot.find(QFile::encodeName(uniqueId + QStringLiteral(".vcf")));
    VCardFileEntry *entry = named >= 0 ? &snapshot.entries[size_t(named)] : nullptr;
    return entry && entry->isReadable && isNamedAfterUniqueId(*entry) ? entry : nullptr;
}

// Of the readable files holding a unique id (the one named after it, and those named otherwise), the
// first in name order stands for it; the others are marked as not shown.
void settleUniqueId(VCardFolder::Snapshot &snapshot, const QString &uniqueId)
{
    const QList<QByteArray> others = snapshot.otherIds.value(uniqueId);
    VCardFileEntry *const named = namedEntryOf(snapshot, uniqueId);
    const bool isNamedFirst = named && (others.isEmpty() || named->fileName() < QByteArrayView(others.front()));
    if (named)
        named->isDuplicate = !isNamedFirst;
    for (qsizetype index = 0; index < others.size(); ++index) {
        if (const qsizetype other = snapshot.find(others.at(index)); other >= 0)
            snapshot.entries[size_t(other)].isDuplicate = isNamedFirst || index > 0;
    }
}

// Notes the unique ids of a snapshot read whole, and marks the files whose unique id an earlier file
// (in name order) already has.
void settleAllUniqueIds(VCardFolder::Snapshot &snapshot)
{
    snapshot.otherIds.clear();
    snapshot.unreadableCount = 0;
    for (VCardFileEntry &entry : snapshot.entries) {
        entry.isDuplicate = false;
        snapshot.unreadableCount += entry.isReadable ? 0 : 1;
        // In name order: each list of names is sorted as it grows.
        if (entry.isReadable && !isNamedAfterUniqueId(entry))
            snapshot.otherIds[entry.uniqueId()].append(entry.fileName().toByteArray());
    }
    for (auto other = snapshot.otherIds.cbegin(); other != snapshot.otherIds.cend(); ++other)
        settleUniqueId(snapshot, other.key());
}

enum class Change { Dropped, Added };

// Notes what an entry a merge dropped or added changes in the unique ids, and the ids whose files
// must be settled again: those of files named otherwise, and those of files named after their ids
// that others hold too. The entries of other ids keep what they showed.
void noteChangedEntry(VCardFolder::Snapshot &next, const VCardFileEntry &entry, Change change, QSet<QString> &unsettled)
{
    if (!entry.isReadable)
        return;
    const bool isNamed = isNamedAfterUniqueId(entry);
    // A folder whose every file is named after its id, as ours are, spends no text on them.
    if (isNamed && next.otherIds.isEmpty())
        return;
    QString uniqueId = entry.uniqueId();
    if (isNamed) {
        if (next.otherIds.contains(uniqueId))
            unsettled.insert(std::move(uniqueId));
        return;
    }
    QList<QByteArray> &names = next.otherIds[uniqueId];
    const QByteArrayView name = entry.fileName();
    const auto isListedBefore = [](const QByteArray &listed, QByteArrayView wanted) {
        return QByteArrayView(listed) < wanted;
    };
    const auto at = std::lower_bound(names.begin(), names.end(), name, isListedBefore);
    if (change == Change::Added)
        names.insert(at, name.toByteArray());
    else if (at != names.end() && QByteArrayView(*at) == name)
        names.erase(at);
    if (names.isEmpty())
        next.otherIds.remove(uniqueId);
    unsettled.insert(std::move(uniqueId));
}

// Settles the unique ids that the entries of known dropped and those added to next (by position)
// change: work for what the merge changed, not for every file of the folder.
void settleChangedUniqueIds(VCardFolder::Snapshot &next, const VCardFolder::Snapshot &known,
                            const std::vector<qint32> &dropped, const std::vector<qint32> &addedAt)
{
    QSet<QString> unsettled;
    for (const qint32 position : dropped)
        noteChangedEntry(next, known.entries[size_t(position)], Change::Dropped, unsettled);
    for (const qint32 position : addedAt)
        noteChangedEntry(next, next.entries[size_t(position)], Change::Added, unsettled);
    for (const QString &uniqueId : std::as_const(unsettled))
        settleUniqueId(next, uniqueId);
}

template <typename Number> char *putNumber(char *out, Number value)
{
    qToBigEndian(value, out);
    return out + sizeof(Number);
}

char *putArray(char *out, QByteArrayView bytes)
{
    out = putNumber(out, quint32(bytes.size()));
    std::memcpy(out, bytes.data(), size_t(bytes.size()));
    return out + bytes.size();
}

// An entry as QDataStream's Qt 6.0 format would write its fields, appended without a stream in one
// step: its name, its stamp's digest, the card's date and its flags, then its packed texts; numbers
// are big-endian, and each byte array follows its 32-bit length.
void appendEntry(QByteArray &out, const VCardFileEntry &entry)
{
    const qsizetype at = out.size();
    out.resize(at + kMinEntryBytes + entry.fileName().size() + entry.details().size());
    char *cursor = putArray(out.data() + at, entry.fileName());
    cursor = putNumber(cursor, entry.stampDigest);
    cursor = putNumber(cursor, quint64(entry.modificationMs));
    *cursor++ = char((entry.isReadable ? 1 : 0) | (entry.isGroup ? 2 : 0));
    putArray(cursor, entry.details());
}

// An index file read from the front through a small buffer, the checksum of what follows its header
// taken as the bytes pass: the whole file never lies in memory beside the entries read from it.
// Numbers are as QDataStream's Qt 6.0 format writes them: big-endian.
class IndexStream final
{
public:
    explicit IndexStream(FileStream file) : m_file(std::move(file)), m_buffer(kBufferBytes, Qt::Uninitialized)
    {
        m_data = m_buffer.data();
    }

    qint64 fileSize() const { return m_file.openedSize(); }
    // Numbers and texts mostly lie whole in the buffer: those are taken in place, without the loop
    // that gathers what straddles two reads of the file.
    template <typename Number> bool number(Number &value)
    {
        if (m_filled - m_position >= qsizetype(sizeof(Number))) {
            value = qFromBigEndian<Number>(m_data + m_position);
            m_position += qsizetype(sizeof(Number));
            return true;
        }
        char raw[sizeof(Number)];
        if (!bytesAcross(raw, qsizetype(sizeof raw)))
            return false;
        value = qFromBigEndian<Number>(raw);
        return true;
    }
    // Copies the next `length` bytes to out.
    bool bytes(char *out, qsizetype length)
    {
        if (length <= m_filled - m_position) {
            std::memcpy(out, m_data + m_position, size_t(length));
            m_position += length;
            return true;
        }
        return bytesAcross(out, length);
    }
    // The bytes from here to the end of the file are checksummed.
    void startChecksum()
    {
        m_isChecking = true;
        m_checkedFrom = m_position;
    }
    // Reads to the end of the file: whether it read and what it read since startChecksum has the checksum.
    bool endsWithChecksum(quint32 checksum)
    {
        do
            m_position = m_filled;
        while (refill());
        return !m_hasFailed && m_checksum == checksum;
    }

private:
    static constexpr qsizetype kBufferBytes = 64 * 1024;

    bool bytesAcross(char *out, qsizetype length)
    {
        while (length > 0) {
            if (m_position == m_filled && !refill())
                return false;
            const qsizetype part = std::min(length, m_filled - m_position);
            std::memcpy(out, m_data + m_position, size_t(part));
            m_position += part;
            out += part;
            length -= part;
        }
        return true;
    }
    bool refill()
    {
        if (m_isChecking)
            m_checksum = crc32Continued(m_checksum, QByteArrayView(m_data + m_checkedFrom, m_filled - m_checkedFrom));
        const qsizetype got = m_file.read(m_data, m_buffer.size());
        m_hasFailed = m_hasFailed || got < 0;
        m_position = 0;
        m_checkedFrom = 0;
        m_filled = std::max<qsizetype>(got, 0);
        return got > 0;
    }

    FileStream m_file;
    QByteArray m_buffer;
    char *m_data = nullptr; // the buffer's bytes, never shared
    qsizetype m_position = 0;
    qsizetype m_filled = 0;
    qsizetype m_checkedFrom = 0;
    quint32 m_checksum = 0;
    bool m_isChecking = false;
    bool m_hasFailed = false;
};

// Reads an index's header: its checksum, or nothing for a damaged index or one of another folder, and
// how many entries it holds and how many bytes their texts take.
struct IndexStart
{
    quint32 version = 0;
    quint32 checksum = 0;
    quint32 count = 0;
    qint64 textBytes = 0;
    std::optional<VCardFileStamp> folderStamp;
};

// The folder's state as the header holds it; nullopt in `stamp` for none. False when it cannot be read.
bool readFolderStamp(IndexStream &in, std::optional<VCardFileStamp> &stamp)
{
    quint8 isKnown = 0;
    quint64 numbers[4] = {};
    bool isRead = in.number(isKnown);
    for (quint64 &value : numbers)
        isRead = isRead && in.number(value);
    if (!isRead || isKnown > 1)
        return false;
    if (isKnown == 1)
        stamp = VCardFileStamp{qint64(numbers[0]), qint64(numbers[1]), qint64(numbers[2]), numbers[3]};
    return true;
}

std::optional<IndexStart> indexStartOf(IndexStream &in, const QString &folderPath)
{
    quint32 magic = 0, version = 0, checksum = 0, pathBytes = 0, count = 0;
    if (!in.number(magic) || !in.number(version) || !in.number(checksum) || magic != kIndexMagic ||
        version < kIndexVersionWithoutFolderStamp || version > kIndexVersion)
        return std::nullopt;
    in.startChecksum();
    // The folder's path as QDataStream writes a text: its length in bytes, then UTF-16.
    if (!in.number(pathBytes) || pathBytes == kNullArrayLength || pathBytes % 2 != 0 ||
        pathBytes > kMaxFolderPathBytes)
        return std::nullopt;
    std::vector<char16_t> path(pathBytes / 2);
    if (!in.bytes(reinterpret_cast<char *>(path.data()), qsizetype(pathBytes)) || !in.number(count))
        return std::nullopt;
    for (char16_t &unit : path)
        unit = qFromBigEndian(unit);
    std::optional<VCardFileStamp> folderStamp;
    const bool hasFolderStamp = version != kIndexVersionWithoutFolderStamp;
    if (hasFolderStamp && !readFolderStamp(in, folderStamp))
        return std::nullopt;
    // Each entry takes its fixed fields, and the rest of the file is their texts.
    const qint64 fixedBytes = kIndexHeaderBytes + 8 + pathBytes + (hasFolderStamp ? kFolderStampBytes : 0);
    const qint64 entryBytes = version == kIndexVersion ? kMinEntryBytes : kMinEntryBytesWithFileStamps;
    const qint64 textBytes = in.fileSize() - fixedBytes - qint64(count) * entryBytes;
    if (QStringView(path.data(), qsizetype(path.size())) != folderPath || count > kMaxIndexEntries || textBytes < 0)
        return std::nullopt;
    return IndexStart{version, checksum, count, textBytes, folderStamp};
}

// Reads the entries as operator<< wrote them, their names and packed texts one after the other into a
// block of the snapshot, which the entries point into as they are read: the block is written through
// a pointer taken before any entry shares it, only where no entry points yet.
class IndexEntryReader final
{
public:
    IndexEntryReader(IndexStream &in, const IndexStart &start)
        : m_in(in), m_block(qsizetype(start.textBytes), Qt::Uninitialized),
          m_hasFileStamps(start.version != kIndexVersion)
    {
        m_data = m_block.data();
    }

    bool read(VCardFileEntry &entry)
    {
        // The stamp's digest (or its size, modification and change times and inode) and the card's date.
        quint64 numbers[5] = {};
        const int count = m_hasFileStamps ? 5 : 2;
        quint8 flags = 0;
        const qsizetype start = m_used;
        bool isRead = text(VCardFileEntry::kMaxNameBytes);
        const qsizetype nameLength = m_used - start;
        for (int index = 0; index < count; ++index)
            isRead = isRead && m_in.number(numbers[index]);
        if (!isRead || !m_in.number(flags) || !text(m_block.size()))
            return false;
        entry.stampDigest = m_hasFileStamps ? VCardFileStamp{qint64(numbers[0]), qint64(numbers[1]),
                                                             qint64(numbers[2]), numbers[3]}.digest()
                                            : numbers[0];
        entry.modificationMs = qint64(numbers[count - 1]);
        entry.isReadable = (flags & 1) != 0;
        entry.isGroup = (flags & 2) != 0;
        entry.setTexts(QByteArrayView(m_data + start, m_used - start), quint16(nameLength));
        return true;
    }
    qsizetype used() const { return m_used; }
    QByteArray block() const { return m_block; }

private:
    // A byte array of at most maxLength bytes, appended to the block.
    bool text(qsizetype maxLength)
    {
        quint32 length = 0;
        if (!m_in.number(length))
            return false;
        if (length == kNullArrayLength)
            length = 0;
        if (length > quint64(maxLength) || length > quint64(m_block.size() - m_used) ||
            !m_in.bytes(m_data + m_used, qsizetype(length)))
            return false;
        m_used += qsizetype(length);
        return true;
    }

    IndexStream &m_in;
    QByteArray m_block;
    const bool m_hasFileStamps;
    char *m_data = nullptr;
    qsizetype m_used = 0;
};

qsizetype bytesOf(const VCardFileEntry &entry)
{
    return entry.texts().size();
}

// Copies the texts of the entries into blocks of their own, which they then point into: one block
// of exactly their size.
VCardTextBlocks packedTexts(std::vector<VCardFileEntry> &entries)
{
    qsizetype total = 0;
    for (const VCardFileEntry &entry : entries)
        total += bytesOf(entry);
    VCardTextBlocks packed;
    packed.reserve(total);
    for (VCardFileEntry &entry : entries)
        packed.setTexts(entry, entry.fileName(), entry.details());
    return packed;
}

// Packs the snapshot's texts into one block, and lets the blocks they lay in go.
void packEntries(VCardFolder::Snapshot &snapshot)
{
    VCardTextBlocks packed = packedTexts(snapshot.entries);
    // Only now: the old blocks held the texts copied.
    snapshot.blocks = packed.takeBlocks();
    snapshot.blockBytes = 0;
    for (const QByteArray &block : snapshot.blocks)
        snapshot.blockBytes += block.size();
}

// What an index file of the snapshot takes: its header, the folder's path (as QDataStream writes a
// text: its length, then UTF-16), the count and each entry as operator<< writes it.
// The index written a few hundred entries at a time, its checksum (of everything after the header)
// put into the header last: the whole index never lies in memory beside the entries it is made from,
// as it would at the end of a sync, when every other store is still held.
FileContentWriter streamedIndex(const VCardFolder::Snapshot &snapshot, const QString &folderPath)
{
    return [&snapshot, &folderPath](int descriptor) {
        constexpr std::size_t kEntriesPerPiece = 512;
        QByteArray piece;
        {
            QDataStream out(&piece, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_6_0);
            out << kIndexMagic << kIndexVersion << quint32(0);
            out << folderPath << quint32(snapshot.entries.size());
            const VCardFileStamp folder = snapshot.folderStamp.value_or(VCardFileStamp{});
            out << quint8(snapshot.folderStamp ? 1 : 0) << folder.size << folder.modificationNs << folder.changeNs
                << folder.inode;
        }
        // Room for a piece of typical entries: appending then never moves the bytes.
        piece.reserve(qsizetype(kEntriesPerPiece) * 256);
        quint32 checksum = 0;
        qsizetype checkedFrom = kIndexHeaderBytes;
        const auto writePiece = [&] {
            const QByteArrayView checked = QByteArrayView(piece).sliced(checkedFrom);
            checksum = crc32Continued(checksum, checked);
            const bool isWritten = writeToDescriptor(descriptor, piece) == piece.size();
            piece.truncate(0);
            checkedFrom = 0;
            return isWritten;
        };
        for (std::size_t index = 0; index < snapshot.entries.size(); ++index) {
            appendEntry(piece, snapshot.entries[index]);
            if ((index + 1) % kEntriesPerPiece == 0 && !writePiece())
                return false;
        }
        if (!writePiece())
            return false;
        uchar stored[4];
        qToBigEndian(quint32(checksum), stored);
        return ::pwrite(descriptor, stored, sizeof stored, kIndexChecksumAt) == qsizetype(sizeof stored);
    };
}

// Packs every entry into one block again when the blocks hold mostly what replaced or removed
// entries used, or are too many.
void compactBlocks(VCardFolder::Snapshot &snapshot)
{
    if (snapshot.blockBytes <= 2 * snapshot.textBytes + kBlockSlackBytes && snapshot.blocks.size() <= kMaxBlocks)
        return;
    packEntries(snapshot);
}

// The positions of a snapshot's entries by name, for a listing: directories list their files in an
// order of their own, and looking each up by halving the sorted entries would compare names a dozen
// times apiece. The names are views into the entries, which outlive the table.
using NameTable = QHash<QByteArrayView, qint32>;

NameTable nameTableOf(const std::vector<VCardFileEntry> &entries)
{
    NameTable table;
    table.reserve(qsizetype(entries.size()));
    for (size_t index = 0; index < entries.size(); ++index)
        table.insert(entries[index].fileName(), qint32(index));
    return table;
}

// Up to kListBatch card file names as the folder lists them, each ended by a NUL, with the entry the
// index holds under each (-1 for none).
struct NameBatch
{
    std::string names;
    std::vector<std::pair<size_t, qint32>> items; // where a name starts, and its entry
    bool isAtEnd = false;                         // the folder has no more names to give
    // Temporary files of replacements, seen on the way: kept over the batches of a listing.
    std::vector<std::string> temporaries;
};

// A replacement killed midway leaves its temporary file behind.
bool isTemporaryName(std::string_view name)
{
    return name.size() > 7 && name.front() == '.' && name.substr(name.size() - 6) == ".hmtmp" &&
           isTemporaryFileName(QString::fromUtf8(name.data(), qsizetype(name.size())));
}

// Removes the temporary files old enough to be no running writer's.
void removeStaleTemporaries(int descriptor, const std::vector<std::string> &names)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const std::string &name : names) {
        struct stat status = {};
        if (::fstatat(descriptor, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
            now - qint64(status.st_mtim.tv_sec) >= kStaleTemporaryAge.count())
            static_cast<void>(::unlinkat(descriptor, name.c_str(), 0));
    }
}

// Reads the next names of card files from the folder into the batch; false when none are left.
bool readBatch(DIR *directory, NameBatch &batch)
{
    batch.names.clear();
    batch.items.clear();
    while (!batch.isAtEnd && batch.items.size() < kListBatch) {
        const dirent *item = ::readdir(directory);
        batch.isAtEnd = item == nullptr;
        if (!item)
            break;
        const std::string_view name(item->d_name);
        if (isTemporaryName(name))
            batch.temporaries.emplace_back(name);
        if (!isCardFileName(name))
            continue;
        batch.items.emplace_back(batch.names.size(), -1);
        batch.names.append(name).push_back('\0');
    }
    return !batch.items.empty();
}

// Finds the batch's names in the index, before any of them is stat'ed: the lookups run together
// rather than each between two calls into the kernel.
void findBatch(const NameTable &table, NameBatch &batch)
{
    for (auto &[start, found] : batch.items)
        found = table.value(QByteArrayView(batch.names.c_str() + start), -1);
}

// Stats the batch's files: each one present is marked so, each new or changed one listed.
void takeBatch(int descriptor, const NameBatch &batch, const std::vector<VCardFileEntry> &known,
               std::vector<bool> &isPresent, std::vector<VCardFileEntry> &changed, VCardTextBlocks &names)
{
    for (const auto &[start, found] : batch.items) {
        const char *const name = batch.names.c_str() + start;
        struct stat status = {};
        if (::fstatat(descriptor, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // A known card's name now held by something else (a link, a FIFO, a folder) is a card that
        // cannot be read, not a deleted one; such a thing new in the folder is no card at all.
        if (!S_ISREG(status.st_mode) && found < 0)
            continue;
        if (found >= 0)
            isPresent[size_t(found)] = true;
        // A file that could not be read is tried again: a permission or a shortage of descriptors may
        // have passed without touching the file.
        const VCardFileStamp stamp = stampOf(status);
        if (found >= 0 && known[size_t(found)].stampDigest == stamp.digest() && known[size_t(found)].isReadable)
            continue;
        VCardFileEntry entry;
        names.setTexts(entry, QByteArrayView(name));
        entry.stampDigest = stamp.digest();
        // The file's time, which a card without a date of its own takes once parsed.
        entry.modificationMs = stamp.modificationNs / 1000000;
        changed.push_back(std::move(entry));
    }
}

// Stats the files of the entries by name, for a folder whose names are known to be the entries'.
void takeKnownNames(int descriptor, const std::vector<VCardFileEntry> &known, std::vector<bool> &isPresent,
                    std::vector<VCardFileEntry> &changed, VCardTextBlocks &names)
{
    NameBatch batch;
    for (size_t index = 0; index < known.size(); ++index) {
        batch.items.emplace_back(batch.names.size(), qint32(index));
        batch.names.append(known[index].fileName().data(), size_t(known[index].fileName().size())).push_back('\0');
        if (batch.items.size() == kListBatch || index + 1 == known.size()) {
            takeBatch(descriptor, batch, known, isPresent, changed, names);
            batch.names.clear();
            batch.items.clear();
        }
    }
}

// The folder's state, when it may be trusted next time: local (another machine's changes reach a
// network folder's times late), unchanged through the listing, settled before it began, and the
// listing found no temporary file that a later one may have to clear.
std::optional<VCardFileStamp> trustedFolderStamp(int descriptor, const struct stat &before, qint64 listedAtNs,
                                                 bool hasTemporaries)
{
    struct stat after = {};
    struct statfs fileSystem = {};
    if (hasTemporaries || ::fstat(descriptor, &after) != 0 || stampOf(after) != stampOf(before) ||
        ::fstatfs(descriptor, &fileSystem) != 0 || !isLocalFileSystem(fileSystem))
        return std::nullopt;
    const VCardFileStamp stamp = stampOf(before);
    const bool isSettled = listedAtNs - std::max(stamp.modificationNs, stamp.changeNs) >= kSettledFolderNs;
    return isSettled ? std::optional(stamp) : std::nullopt;
}

// Appends the entries of known from `from` up to `to` to next, but for the dropped ones: runs at a
// time, copied whole. drop walks the dropped positions (rising, none twice) along.
void appendKept(const std::vector<VCardFileEntry> &known, size_t from, size_t to, const std::vector<qint32> &dropped,
                size_t &drop, std::vector<VCardFileEntry> &next)
{
    for (; drop < dropped.size() && size_t(dropped[drop]) < to; ++drop) {
        next.insert(next.end(), known.cbegin() + qsizetype(from), known.cbegin() + dropped[drop]);
        from = size_t(dropped[drop]) + 1;
    }
    next.insert(next.end(), known.cbegin() + qsizetype(from), known.cbegin() + qsizetype(to));
}

// Merges the entries of known but the dropped ones (positions, rising) and the added ones (in name
// order, none of them kept) into the snapshot's entries, noting where the added ones land. Each added
// entry is placed by halving, and the kept ones between are copied in runs: a batch costs a copy of
// the entries' fixed part, not a look at each entry.
void mergeEntries(const VCardFolder::Snapshot &known, const std::vector<qint32> &dropped,
                  std::vector<VCardFileEntry> &added, VCardFolder::Snapshot &next, std::vector<qint32> &addedAt)
{
    // Exactly what it keeps: most of a batch may replace files the snapshot holds.
    next.entries.reserve(known.entries.size() - dropped.size() + added.size());
    addedAt.reserve(added.size());
    size_t from = 0;
    size_t drop = 0;
    for (VCardFileEntry &entry : added) {
        const auto at = std::lower_bound(known.entries.cbegin() + qsizetype(from), known.entries.cend(),
                                         viewOf(entry.fileName()), isBefore);
        const auto to = size_t(at - known.entries.cbegin());
        appendKept(known.entries, from, to, dropped, drop, next.entries);
        from = to;
        addedAt.push_back(qint32(next.entries.size()));
        next.entries.push_back(std::move(entry));
    }
    appendKept(known.entries, from, known.entries.size(), dropped, drop, next.entries);
}

// Counts an entry dropped (-1) or added (+1) in what the snapshot tallies of its entries.
void tallyEntry(VCardFolder::Snapshot &snapshot, const VCardFileEntry &entry, int sign)
{
    snapshot.textBytes += sign * bytesOf(entry);
    snapshot.unreadableCount += entry.isReadable ? 0 : sign;
}

// A snapshot to follow known: its blocks and the blocks given, its tallies less the dropped entries.
std::shared_ptr<VCardFolder::Snapshot> followingSnapshot(const VCardFolder::Snapshot &known,
                                                         const std::vector<qint32> &dropped, VCardTextBlocks &texts)
{
    auto next = std::make_shared<VCardFolder::Snapshot>();
    next->blocks = known.blocks;
    next->blockBytes = known.blockBytes;
    for (QByteArray &block : texts.takeBlocks()) {
        next->blockBytes += block.size();
        next->blocks.push_back(std::move(block));
    }
    next->otherIds = known.otherIds;
    next->unreadableCount = known.unreadableCount;
    next->textBytes = known.textBytes;
    for (const qint32 position : dropped)
        tallyEntry(*next, known.entries[size_t(position)], -1);
    return next;
}

// The snapshot of the entries of known but the dropped ones (positions, rising, none twice), with
// the added ones (in name order, none of them kept, their texts in the blocks given) merged in; it
// takes the blocks over. addedAt, when given, receives where the added entries are.
std::shared_ptr<VCardFolder::Snapshot> mergedSnapshot(const VCardFolder::Snapshot &known,
                                                      const std::vector<qint32> &dropped,
                                                      std::vector<VCardFileEntry> added, VCardTextBlocks &texts,
                                                      std::vector<qint32> *addedAt = nullptr)
{
    auto next = followingSnapshot(known, dropped, texts);
    std::vector<qint32> positions;
    mergeEntries(known, dropped, added, *next, positions);
    // The added list goes before the blocks may be packed again, which needs room of its own.
    std::vector<VCardFileEntry>().swap(added);
    for (const qint32 position : positions)
        tallyEntry(*next, next->entries[size_t(position)], 1);
    compactBlocks(*next);
    settleChangedUniqueIds(*next, known, dropped, positions);
    if (addedAt)
        *addedAt = std::move(positions);
    return next;
}

// Whether a name is among entries sorted by name.
bool containsName(const std::vector<VCardFileEntry> &entries, QByteArrayView fileName)
{
    const auto found = std::lower_bound(entries.cbegin(), entries.cend(), viewOf(fileName), isBefore);
    return found != entries.cend() && found->fileName() == fileName;
}

// The positions in known of the entries a batch wrote or removed, rising. Each name of the batch is
// looked up in known, so that a batch costs look-ups for its own files rather than for every file the
// folder holds.
std::vector<qint32> droppedPositions(const VCardFolder::Snapshot &known, const std::vector<VCardFileEntry> &written,
                                     const std::vector<VCardFileEntry> &removed)
{
    std::vector<qint32> dropped;
    for (const std::vector<VCardFileEntry> *changed : {&written, &removed}) {
        for (const VCardFileEntry &entry : *changed) {
            if (const qsizetype found = known.find(entry.fileName()); found >= 0)
                dropped.push_back(qint32(found));
        }
    }
    std::sort(dropped.begin(), dropped.end());
    dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
    return dropped;
}

// The positions of the entries not kept, rising.
std::vector<qint32> positionsNotKept(const std::vector<bool> &isKept)
{
    std::vector<qint32> dropped;
    for (size_t index = 0; index < isKept.size(); ++index) {
        if (!isKept[index])
            dropped.push_back(qint32(index));
    }
    return dropped;
}

// The shown persons of a snapshot: readable, no groups, each unique id once.
qsizetype personCountOf(const VCardFolder::Snapshot &snapshot)
{
    return qsizetype(std::count_if(snapshot.entries.cbegin(), snapshot.entries.cend(),
                                   [](const VCardFileEntry &entry) { return isShown(entry) && !entry.isGroup; }));
}

} // namespace

VCardFolderWatch::~VCardFolderWatch()
{
    stop();
}

void VCardFolderWatch::stop()
{
    if (m_descriptor < 0)
        return;
    ::close(m_descriptor);
    m_descriptor = -1;
    --s_watchCount;
}

bool VCardFolderWatch::isWatchingFolderAt(const QString &folderPath)
{
    const QByteArray path = QFile::encodeName(folderPath);
    struct stat status = {};
    if (::stat(path.constData(), &status) != 0) {
        stop();
        return false;
    }
    if (m_descriptor >= 0 && status.st_dev == m_device && status.st_ino == m_inode)
        return true;
    stop();
    struct statfs fileSystem = {};
    const bool isLocal = ::statfs(path.constData(), &fileSystem) == 0 && isLocalFileSystem(fileSystem);
    if (!isLocal)
        return false;
    if (++s_watchCount > kMaxWatches) {
        --s_watchCount;
        return false;
    }
    m_descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_descriptor < 0)
        --s_watchCount;
    else if (::inotify_add_watch(m_descriptor, path.constData(), kWatchedEvents) < 0)
        stop();
    m_device = status.st_dev;
    m_inode = status.st_ino;
    // Watching starts now: what happened before is not known.
    return false;
}

bool VCardFolderWatch::hasOtherChanges(const QSet<QByteArray> &ownNames)
{
    if (m_descriptor < 0)
        return true;
    alignas(struct inotify_event) char buffer[16384];
    bool hasChanges = false;
    for (int reads = 0; reads < kMaxWatchReads; ++reads) {
        const ssize_t length = ::read(m_descriptor, buffer, sizeof(buffer));
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno == EAGAIN)
            return hasChanges;
        if (length <= 0)
            return true;
        for (ssize_t offset = 0; offset + ssize_t(sizeof(struct inotify_event)) <= length;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + offset);
            offset += ssize_t(sizeof(struct inotify_event)) + ssize_t(event->len);
            const std::string_view name = event->len > 0 ? std::string_view(event->name) : std::string_view();
            // The folder itself gone or moved: the watch watches nothing at the path any more.
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                stop();
                return true;
            }
            hasChanges = hasChanges || (event->mask & IN_Q_OVERFLOW) != 0 ||
                         (isCardFileName(name) && !ownNames.contains(QByteArray(name.data(), qsizetype(name.size()))));
        }
    }
    return true;
}

static_assert(sizeof(VCardFileEntry) == 32, "an entry holds no padding but at its end");

// Each number mixed in by a bijective finalizer (splitmix64's), so that every bit of each one moves
// about half the digest's bits.
quint64 VCardFileStamp::digest() const
{
    quint64 hash = 0x9E3779B97F4A7C15ULL;
    for (const quint64 number : {quint64(size), quint64(modificationNs), quint64(changeNs), inode}) {
        hash = (hash ^ number) * 0xBF58476D1CE4E5B9ULL;
        hash = (hash ^ (hash >> 31)) * 0x94D049BB133111EBULL;
        hash ^= hash >> 29;
    }
    return hash;
}

void VCardTextBlocks::setTexts(VCardFileEntry &entry, QByteArrayView fileName, QByteArrayView details)
{
    const QByteArrayView name = fileName.first(std::min(fileName.size(), VCardFileEntry::kMaxNameBytes));
    const qsizetype size = name.size() + details.size();
    if (m_blocks.empty() || size > m_blocks.back().size() - m_used)
        startBlock(size);
    // Copied before the entry points here: either view may lie in the texts it points at now.
    char *const at = m_data + m_used;
    if (!name.isEmpty())
        std::memcpy(at, name.data(), size_t(name.size()));
    if (!details.isEmpty())
        std::memcpy(at + name.size(), details.data(), size_t(details.size()));
    m_used += size;
    entry.setTexts(QByteArrayView(at, size), quint16(name.size()));
}

// Blocks grow with what was packed, so that a large folder takes few of them, by an eighth at a
// time: the unused end of the last one is all that is lost.
void VCardTextBlocks::startBlock(qsizetype needed)
{
    const qsizetype size = m_reserved > 0 ? std::max(needed, m_reserved) : std::max({needed, kMinBlockBytes, m_total / 8});
    m_reserved = 0;
    m_blocks.emplace_back(size, Qt::Uninitialized);
    // Taken before anyone shares the block, which would make data() copy it.
    m_data = m_blocks.back().data();
    m_used = 0;
    m_total += size;
}

std::vector<QByteArray> VCardTextBlocks::takeBlocks()
{
    std::vector<QByteArray> blocks = std::move(m_blocks);
    m_blocks.clear();
    m_data = nullptr;
    m_used = 0;
    return blocks;
}

QString VCardFileEntry::name() const
{
    return QFile::decodeName(QByteArray::fromRawData(fileName().data(), m_nameLength));
}

namespace {

// The file's name without its ".vcf", cut in bytes; null for a name whose last four bytes are not
// ASCII, which must be cut as a text.
QByteArrayView asciiEndedStem(QByteArrayView name)
{
    const bool endsInAscii =
        name.size() >= 4 && isAscii(viewOf(name.last(4)));
    return endsInAscii ? name.first(name.size() - 4) : QByteArrayView();
}

} // namespace

QString VCardFileEntry::uniqueId() const
{
    const std::string_view packed = FieldReader(details()).next();
    if (!packed.empty())
        return QString::fromUtf8(packed.data(), qsizetype(packed.size()));
    // Cut in bytes, the stem is decoded without a copy of the name.
    const QByteArrayView stem = asciiEndedStem(fileName());
    if (stem.isNull())
        return stemOf(name());
    // ASCII reads alike in every encoding a file name may have, and costs a fraction of a decoding.
    if (isAscii(viewOf(stem)))
        return QString::fromLatin1(stem);
    return QFile::decodeName(QByteArray::fromRawData(stem.data(), stem.size()));
}

QByteArrayView VCardFileEntry::uniqueIdUtf8() const
{
    const std::string_view packed = FieldReader(details()).next();
    const QByteArrayView bytes =
        packed.empty() ? asciiEndedStem(fileName()) : QByteArrayView(packed.data(), qsizetype(packed.size()));
    // Decoding drops what is not UTF-8, and a byte order mark in front: the text has other bytes then.
    const bool isKept = bytes.isValidUtf8() && !bytes.startsWith("\xEF\xBB\xBF");
    return isKept ? bytes : QByteArrayView();
}

QDateTime VCardFileEntry::modificationDate() const
{
    return modificationMs >= 0 ? QDateTime::fromMSecsSinceEpoch(modificationMs, Qt::UTC) : QDateTime();
}

QString VCardFileEntry::problem() const
{
    return detailOf(*this, Detail::Problem);
}

QString VCardFileEntry::lastName() const
{
    return detailOf(*this, Detail::LastName);
}

quint64 VCardFileEntry::lastNameKey() const
{
    FieldReader reader(details());
    reader.skip(int(Detail::LastName));
    const std::string_view name = reader.next();
    if (!isAscii(name))
        return platform::lastNameKey(QString::fromUtf8(name.data(), qsizetype(name.size())));
    // Folding ASCII is lowering its capitals.
    quint64 hash = kFnvOffset;
    for (const char byte : name)
        hash = (hash ^ quint64(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte)) * kFnvPrime;
    return hash;
}

quint64 lastNameKey(const QString &lastName)
{
    quint64 hash = kFnvOffset;
    for (const QChar character : lastName.toCaseFolded())
        hash = (hash ^ quint64(character.unicode())) * kFnvPrime;
    return hash;
}

VCardSummary VCardFileEntry::summary() const
{
    VCardSummary summary;
    // An id the file's stem already gives is not packed: uniqueId() cuts it from the name's bytes
    // where it can, which costs far less than decoding the whole name first.
    summary.uniqueId = uniqueId();
    FieldReader reader(details());
    reader.skip(1);
    summary.isGroup = isGroup;
    summary.modificationDate = modificationDate();
    for (QString *text : {&summary.firstName, &summary.lastName, &summary.organization, &summary.groupName})
        *text = reader.nextText();
    reader.skip(1);
    while (!reader.atEnd())
        summary.emails.append(reader.nextText());
    return summary;
}

qsizetype VCardFolder::Snapshot::find(QByteArrayView fileName) const
{
    const std::string_view wanted = viewOf(fileName);
    const auto found = std::lower_bound(entries.cbegin(), entries.cend(), wanted, isBefore);
    return found != entries.cend() && viewOf(found->fileName()) == wanted ? qsizetype(found - entries.cbegin()) : -1;
}

qsizetype VCardFolder::Snapshot::findUniqueId(const QString &uniqueId) const
{
    const qsizetype named = find(QFile::encodeName(uniqueId + QStringLiteral(".vcf")));
    if (named >= 0 && isShown(entries[size_t(named)]) && isNamedAfterUniqueId(entries[size_t(named)]))
        return named;
    // The first file named otherwise stands for the id unless the file named after it does.
    const auto others = otherIds.constFind(uniqueId);
    if (others == otherIds.cend() || others->isEmpty())
        return -1;
    const qsizetype first = find(others->front());
    return first >= 0 && isShown(entries[size_t(first)]) ? first : -1;
}

std::shared_ptr<VCardFolder> VCardFolder::forLocation(const QString &folderPath, const QString &indexPath)
{
    // Never destroyed: an access request on a worker may look a folder up while the process exits.
    static auto &registryMutex = *new std::mutex;
    static auto &folders = *new std::map<std::pair<QString, QString>, std::shared_ptr<VCardFolder>>;
    const QString folder = QDir::cleanPath(QDir(folderPath).absolutePath());
    const std::lock_guard lock(registryMutex);
    std::shared_ptr<VCardFolder> &found = folders[{folder, indexPath}];
    if (!found)
        found = std::make_shared<VCardFolder>(folder, indexPath);
    return found;
}

VCardFolder::VCardFolder(QString folderPath, QString indexPath)
    : m_folderPath(std::move(folderPath)), m_indexPath(std::move(indexPath)), m_current(std::make_shared<Snapshot>())
{
}

Status VCardFolder::ensureFolder() const
{
    const QByteArray path = QFile::encodeName(m_folderPath);
    struct stat status = {};
    // The access request and the sync's own opening may both make the folder at once: creating it
    // must not fail because the other thread made it first.
    if (::stat(path.constData(), &status) != 0)
        return FileSystem::createPrivateFolder(m_folderPath);
    if (!S_ISDIR(status.st_mode))
        return Error(ErrorCode::IoOther, QStringLiteral("%1 is not a folder").arg(m_folderPath));
    if (::access(path.constData(), R_OK | X_OK) != 0)
        return Error(ErrorCode::IoPermission, QStringLiteral("%1 cannot be read").arg(m_folderPath));
    return success();
}

// Stats every card file through the folder's descriptor. A file the index knows in the same state
// costs no allocation: it is only marked present. The folder's names are read unless the folder is in
// the state in which a listing last read them: names come and go only by changing it. Temporary
// files left by killed replacements go once old enough.
Result<VCardFolder::Listed> VCardFolder::listFolder(const Snapshot &known) const
{
    const qint64 listedAtNs = Clock::now().toMSecsSinceEpoch() * 1000000;
    DIR *directory = ::opendir(QFile::encodeName(m_folderPath).constData());
    struct stat before = {};
    if (!directory || ::fstat(::dirfd(directory), &before) != 0) {
        const int error = errno;
        if (directory)
            ::closedir(directory);
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: cannot list: %2").arg(m_folderPath, systemMessage(error)));
    }
    const int descriptor = ::dirfd(directory);
    Listed listed;
    listed.isPresent.assign(known.entries.size(), false);
    NameBatch batch;
    listed.hasReadNames = known.folderStamp != stampOf(before);
    if (!listed.hasReadNames)
        takeKnownNames(descriptor, known.entries, listed.isPresent, listed.changed, listed.names);
    const NameTable names = listed.hasReadNames ? nameTableOf(known.entries) : NameTable();
    while (listed.hasReadNames && readBatch(directory, batch)) {
        findBatch(names, batch);
        takeBatch(descriptor, batch, known.entries, listed.isPresent, listed.changed, listed.names);
    }
    removeStaleTemporaries(descriptor, batch.temporaries);
    // The list lives through the parsing of its files: none of its room left over from growing.
    if (listed.changed.capacity() > listed.changed.size() + listed.changed.size() / 8)
        listed.changed.shrink_to_fit();
    listed.folderStamp = trustedFolderStamp(descriptor, before, listedAtNs, !batch.temporaries.empty());
    ::closedir(directory);
    return listed;
}

VCardFileEntry VCardFolder::readEntry(VCardFileEntry entry, const Snapshot &known, VCardTextBlocks &texts) const
{
    const QString fileName = entry.name();
    const qsizetype previous = known.find(entry.fileName());
    Result<VCard> card = readCard(fileName);
    if (!card) {
        VCardSummary summary;
        summary.uniqueId = previous >= 0 ? known.entries[size_t(previous)].uniqueId() : stemOf(fileName);
        entry.isReadable = false;
        entry.modificationMs = -1;
        texts.setTexts(entry, entry.fileName(), packDetails(summary, fileName, card.error().message()));
        return entry;
    }
    const QDateTime fileTime = QDateTime::fromMSecsSinceEpoch(entry.modificationMs, Qt::UTC);
    const VCardSummary summary = ABVCardMapping::summarize(*card, stemOf(fileName), fileTime);
    entry.isReadable = true;
    entry.isGroup = summary.isGroup;
    entry.modificationMs = summary.modificationDate.isValid() ? summary.modificationDate.toMSecsSinceEpoch() : -1;
    texts.setTexts(entry, entry.fileName(), packDetails(summary, fileName, QString()));
    return entry;
}

namespace {

// Parses the listed files (in name order) with readEntry, which packs their texts, and marks
// the entries of known they replace as not kept. previousAt gets each file's entry in known (-1 for
// none). Whether the parsed files change the snapshot: a file still unreadable for the same reason
// changes nothing.
template <typename ReadEntry>
bool parseChanged(std::vector<VCardFileEntry> &changed, const VCardFolder::Snapshot &known, std::vector<bool> &isKept,
                  std::vector<qint32> &previousAt, const ReadEntry &readEntry)
{
    bool hasChanged = false;
    previousAt.reserve(changed.size());
    for (VCardFileEntry &entry : changed) {
        const qsizetype previous = known.find(entry.fileName());
        entry = readEntry(std::move(entry));
        previousAt.push_back(qint32(previous));
        const VCardFileEntry *before = previous >= 0 ? &known.entries[size_t(previous)] : nullptr;
        hasChanged = hasChanged || !before || entry.isReadable || entry.stampDigest != before->stampDigest ||
                     entry.details() != before->details();
        if (before)
            isKept[size_t(previous)] = false;
    }
    return hasChanged;
}

} // namespace

Result<VCardFolder::Refreshed> VCardFolder::refresh()
{
    const std::lock_guard lock(m_mutex);
    loadIndexLocked();
    // Events up to now are read before listing: whatever happens after shows in the listing or in
    // the next refresh.
    const bool hasOtherChanges =
        m_watchHolders == 0 || !m_watch.isWatchingFolderAt(m_folderPath) || m_watch.hasOtherChanges();
    if (!m_mustList && !hasOtherChanges && m_current->unreadableCount == 0) {
        m_hasListed = true;
        return Refreshed{m_current, {}, false};
    }
    const Snapshot &known = *m_current;
    Result<Listed> listed = listFolder(known);
    if (!listed) {
        // What was counted before no longer stands for the folder.
        m_lastPersonCount = -1;
        return listed.error();
    }
    m_hasListed = true;
    m_mustList = false;
    Refreshed refreshed;
    refreshed.isListed = true;
    refreshed.hasReadNames = listed->hasReadNames;
    std::vector<bool> &isKept = listed->isPresent;
    bool hasChanged = std::find(isKept.cbegin(), isKept.cend(), false) != isKept.cend();
    std::sort(listed->changed.begin(), listed->changed.end(), isInNameOrder);
    VCardTextBlocks texts;
    std::vector<qint32> previousAt;
    const auto read = [this, &known, &texts](VCardFileEntry entry) { return readEntry(std::move(entry), known, texts); };
    hasChanged = parseChanged(listed->changed, known, isKept, previousAt, read) || hasChanged;
    if (!hasChanged && listed->folderStamp == known.folderStamp) {
        // Every file parsed stands where it stood.
        refreshed.parsed = std::move(previousAt);
        refreshed.snapshot = m_current;
        return refreshed;
    }
    auto next = mergedSnapshot(known, positionsNotKept(isKept), std::move(listed->changed), texts, &refreshed.parsed);
    next->folderStamp = listed->folderStamp;
    m_current = std::move(next);
    saveIndexLocked();
    refreshed.snapshot = m_current;
    return refreshed;
}

QStringList VCardFolder::Refreshed::parsedFiles() const
{
    QStringList names;
    names.reserve(qsizetype(parsed.size()));
    for (const qint32 position : parsed)
        names.append(snapshot->entries[size_t(position)].name());
    return names;
}

Result<VCardFolder::SnapshotPointer> VCardFolder::lastSnapshot()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_hasListed)
            return m_current;
    }
    Result<Refreshed> refreshed = refresh();
    if (!refreshed)
        return refreshed.error();
    return refreshed->snapshot;
}

Result<qsizetype> VCardFolder::lastPersonCount()
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_hasListed && m_lastPersonCount >= 0)
            return m_lastPersonCount;
    }
    const Result<SnapshotPointer> snapshot = lastSnapshot();
    if (!snapshot)
        return snapshot.error();
    return personCountOf(**snapshot);
}

Result<VCard> VCardFolder::readCard(const QString &fileName, QByteArray *text) const
{
    const Result<QByteArray> bytes =
        readWholeFileWithoutFollowing(m_folderPath + QLatin1Char('/') + fileName, VCard::kMaxCardBytes);
    if (!bytes)
        return bytes.error().withContext(fileName);
    Result<VCard> card = VCard::parse(*bytes);
    if (!card)
        return card.error().withContext(fileName);
    if (text)
        *text = *bytes;
    return card;
}

// One write per file, and one link or rename; what was written is never read back. A new card is
// linked into the folder once whole, a known one replaced through a temporary file; neither is
// flushed alone: the batch ends in one sync of the file system (syncFileSystem).
Status VCardFolder::writeOneFile(const VCardFileWrite &write, VCardFileEntry &entry, VCardTextBlocks &texts) const
{
    struct stat placed = {};
    const QByteArray encodedName = QFile::encodeName(write.fileName);
    const bool isKnown = !m_current || containsName(m_current->entries, encodedName);
    const auto writeFile = isKnown ? writeFileAtomically : writeNewFileAtomically;
    if (const Status status = writeFile(m_folderPath + QLatin1Char('/') + write.fileName, write.bytes,
                                        FilePermissions::OwnerOnly, FileFlush::Never, &placed);
        !status)
        return status;
    entry.stampDigest = stampOf(placed).digest();
    entry.isReadable = true;
    entry.isGroup = write.summary.isGroup;
    const QDateTime &modified = write.summary.modificationDate;
    entry.modificationMs = modified.isValid() ? modified.toMSecsSinceEpoch() : -1;
    texts.setTexts(entry, encodedName, packDetails(write.summary, write.fileName, QString()));
    return success();
}

std::vector<VCardFileEntry> VCardFolder::writeAll(const QList<VCardFileWrite> &writes,
                                                  QHash<QString, QString> &failures, VCardTextBlocks &texts) const
{
    std::vector<VCardFileEntry> written;
    written.reserve(size_t(writes.size()));
    for (const VCardFileWrite &write : writes) {
        VCardFileEntry entry;
        if (const Status status = writeOneFile(write, entry, texts); status)
            written.push_back(std::move(entry));
        else
            failures.insert(write.fileName, status.error().message());
    }
    std::sort(written.begin(), written.end(), isInNameOrder);
    return written;
}

std::vector<VCardFileEntry> VCardFolder::removeAll(const QStringList &removals, QHash<QString, QString> &failures,
                                                   VCardTextBlocks &names) const
{
    std::vector<VCardFileEntry> removed;
    for (const QString &name : removals) {
        const QByteArray path = QFile::encodeName(m_folderPath + QLatin1Char('/') + name);
        struct stat status = {};
        if (::lstat(path.constData(), &status) == 0 && S_ISREG(status.st_mode) && ::unlink(path.constData()) != 0)
            failures.insert(name, QStringLiteral("cannot remove: %1").arg(systemMessage(errno)));
        else
            names.setTexts(removed.emplace_back(), QFile::encodeName(name));
    }
    std::sort(removed.begin(), removed.end(), isInNameOrder);
    return removed;
}

// The batch's files and names reach the disk before the caller goes on to note them as saved: one
// sync of the file system for the whole batch costs far less than one per file and per folder. A
// failing sync (a disk error) fails the batch, whose records then stay changed.
Status VCardFolder::syncFileSystem() const
{
    const int folder = ::open(QFile::encodeName(m_folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("cannot open the folder: %1").arg(systemMessage(errno)));
    const bool isSynced = ::syncfs(folder) == 0;
    const int syncError = errno;
    ::close(folder);
    if (!isSynced)
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("cannot sync to disk: %1").arg(systemMessage(syncError)));
    return success();
}

VCardFolder::Written VCardFolder::writeFiles(const QList<VCardFileWrite> &writes, const QStringList &removals,
                                             const SnapshotPointer &writersSnapshot)
{
    const std::lock_guard lock(m_mutex);
    loadIndexLocked();
    Written outcome;
    VCardTextBlocks texts;
    VCardTextBlocks removedNames;
    std::vector<VCardFileEntry> written = writeAll(writes, outcome.failures, texts);
    const std::vector<VCardFileEntry> removed = removeAll(removals, outcome.failures, removedNames);
    outcome.isOnWritersSnapshot = writersSnapshot == m_current;
    outcome.snapshot = m_current;
    if (written.empty() && removed.empty())
        return outcome;
    if (const Status synced = syncFileSystem(); !synced) {
        for (const std::vector<VCardFileEntry> *entries : {&std::as_const(written), &removed}) {
            for (const VCardFileEntry &entry : *entries)
                outcome.failures.insert(entry.name(), synced.error().message());
        }
    }
    noteOwnChanges(written, removed);
    const Snapshot &known = *m_current;
    const std::vector<qint32> dropped = droppedPositions(known, written, removed);
    // The batch's texts in a block of their size, which the snapshot keeps.
    VCardTextBlocks packed = packedTexts(written);
    m_current = mergedSnapshot(known, dropped, std::move(written), packed);
    outcome.snapshot = m_current;
    // Rewriting the whole index after every batch would cost as much as the store per batch; it
    // follows on flushIndex.
    m_isIndexDirty = true;
    return outcome;
}

// What the batch did itself is in the snapshot already; anything else the watch saw meanwhile makes
// the next refresh list the folder.
void VCardFolder::noteOwnChanges(const std::vector<VCardFileEntry> &written, const std::vector<VCardFileEntry> &removed)
{
    QSet<QByteArray> ownNames;
    ownNames.reserve(qsizetype(written.size() + removed.size()));
    for (const std::vector<VCardFileEntry> *entries : {&written, &removed}) {
        for (const VCardFileEntry &entry : *entries)
            ownNames.insert(entry.fileName().toByteArray());
    }
    if (m_watch.hasOtherChanges(ownNames))
        m_mustList = true;
}

void VCardFolder::holdWatch()
{
    const std::lock_guard lock(m_mutex);
    ++m_watchHolders;
}

void VCardFolder::releaseWatch()
{
    const std::lock_guard lock(m_mutex);
    if (m_watchHolders == 0 || --m_watchHolders > 0)
        return;
    // Unwatched, the folder may change unseen: the next refresh lists it.
    m_watch.stop();
    m_mustList = true;
    letSnapshotGoLocked();
}

void VCardFolder::restSnapshot()
{
    const std::lock_guard lock(m_mutex);
    if (!m_hasListed || m_mustList || m_watchHolders == 0 || m_indexPath.isEmpty() || m_current->unreadableCount > 0 ||
        m_current.use_count() > 1)
        return;
    if (m_isIndexDirty)
        saveIndexLocked();
    if (m_isIndexDirty)
        return;
    m_restingEntries = qsizetype(m_current->entries.size());
    m_lastPersonCount = personCountOf(*m_current);
    m_current = std::make_shared<Snapshot>();
    m_isIndexLoaded = false;
    m_hasListed = false;
}

// The next refresh lists the folder anyway: all a kept snapshot would spare it is reading the
// index file again, a small price next to holding every file's texts for the rest of the process.
void VCardFolder::letSnapshotGoLocked()
{
    if (m_isIndexDirty)
        saveIndexLocked();
    if (m_hasListed)
        m_lastPersonCount = personCountOf(*m_current);
    m_current = std::make_shared<Snapshot>();
    m_isIndexLoaded = false;
    m_hasListed = false;
}

std::optional<quint64> VCardFolder::indexedStamp(const QString &fileName) const
{
    const std::lock_guard lock(m_mutex);
    const qsizetype found = m_current->find(QFile::encodeName(fileName));
    if (found < 0)
        return std::nullopt;
    return m_current->entries[size_t(found)].stampDigest;
}

void VCardFolder::flushIndex()
{
    const std::lock_guard lock(m_mutex);
    if (m_isIndexDirty)
        saveIndexLocked();
}

bool VCardFolder::isIndexBehind() const
{
    const std::lock_guard lock(m_mutex);
    return m_isIndexDirty;
}

// A damaged or foreign index is dropped whole: every file is then read again. The checksum catches
// damage that would still parse, such as a changed letter in a name; the index is our own file in a
// private folder, so damage is all it has to catch, and a CRC does that for a fraction of a digest's cost.
void VCardFolder::loadIndexLocked()
{
    if (m_isIndexLoaded)
        return;
    m_isIndexLoaded = true;
    const bool isRead = readIndexLocked();
    // A snapshot that rested is taken back from the index only as it was written; else the folder
    // is listed.
    if (m_restingEntries >= 0 && (!isRead || qsizetype(m_current->entries.size()) != m_restingEntries))
        m_mustList = true;
    m_restingEntries = -1;
}

bool VCardFolder::readIndexLocked()
{
    if (m_indexPath.isEmpty())
        return false;
    Result<FileStream> opened = FileStream::open(m_indexPath, kMaxIndexBytes);
    if (!opened)
        return false;
    IndexStream in(std::move(opened).value());
    const std::optional<IndexStart> start = indexStartOf(in, m_folderPath);
    if (!start)
        return false;
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->entries.resize(start->count);
    IndexEntryReader reader(in, *start);
    for (size_t index = 0; index < snapshot->entries.size(); ++index) {
        // Names lie in strictly rising order.
        if (!reader.read(snapshot->entries[index]) ||
            (index > 0 && !(snapshot->entries[index - 1].fileName() < snapshot->entries[index].fileName())))
            return false;
    }
    if (!in.endsWithChecksum(start->checksum))
        return false;
    snapshot->blocks.push_back(reader.block());
    snapshot->blockBytes += reader.used();
    snapshot->textBytes = reader.used();
    snapshot->folderStamp = start->folderStamp;
    settleAllUniqueIds(*snapshot);
    m_current = std::move(snapshot);
    return true;
}

void VCardFolder::saveIndexLocked()
{
    m_isIndexDirty = false;
    if (m_indexPath.isEmpty())
        return;
    // The index holds names and addresses: a private file in a private folder.
    const QString indexFolder = QFileInfo(m_indexPath).absolutePath();
    QDir().mkpath(QFileInfo(indexFolder).absolutePath());
    ::mkdir(QFile::encodeName(indexFolder).constData(), 0700);
    // The index only spares reading; a failed write means the next refresh reads more, and the index
    // stays to be written.
    m_isIndexDirty =
        !writeFileAtomicallyFrom(m_indexPath, streamedIndex(*m_current, m_folderPath), FilePermissions::OwnerOnly);
}

} // namespace platform
