#include "platform/eventkit/ICalendarFolderIndex.h"

#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarListedSeries.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/Crc32.h"
#include "platform/foundation/FileBytes.h"
#include "platform/foundation/FileHandle.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/SharedBytes.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringEncoder>
#include <QUrl>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace platform::icalindex {

namespace {

// The format: 8 keeps a series file's listing with its walk and the fields telling it unchanged
// first; 7 kept them after its master's other fields; 6 signed each line with its CRC-32 too, but
// kept no series listing. An index of another format reads as foreign and is written again, so that
// every series file gets its listing as this format keeps it.
const QByteArray kHeader = "HMCALINDEX 8";
constexpr std::string_view kTrailerWord = "END ";
const QByteArray kTrailer(kTrailerWord.data(), qsizetype(kTrailerWord.size()));
constexpr int kFieldCount = 12;
// An entry per item file; a folder of the largest size the store reads stays well within this.
constexpr qint64 kMaxIndexBytes = 256 * 1024 * 1024;
constexpr qsizetype kMaxEntries = 200000;

// What a field holds, told in one look at its bytes: a name, a list of UIDs, a file's one UID.
struct FieldBytes
{
    bool hasEscape = false; // a '%'
    bool hasComma = false;
    bool hasSlashOrNul = false;
    bool isAscii = true;
};

// One plain loop without an early exit, which the compiler turns into vector code by itself: a
// search that stops at the first byte found goes a byte a step, and every line asks this of its
// name and its UIDs. The findings are gathered as bytes: the compiler leaves a loop gathering
// bools a byte a step.
FieldBytes fieldBytesOf(QByteArrayView field)
{
    uchar escapes = 0;
    uchar commas = 0;
    uchar slashesOrNuls = 0;
    uchar highBits = 0;
    for (const char character : field) {
        const uchar byte = uchar(character);
        escapes |= uchar(byte == '%');
        commas |= uchar(byte == ',');
        slashesOrNuls |= uchar(byte == '/') | uchar(byte == 0);
        highBits |= byte;
    }
    return {escapes != 0, commas != 0, slashesOrNuls != 0, highBits < 0x80};
}

// Whether the UIDs field, found to hold these bytes, is one UID written as its UTF-8 stands: some
// ASCII bytes with no escape and no comma (a second UID).
bool isPlainUid(QByteArrayView field, const FieldBytes &found)
{
    return !field.isEmpty() && found.isAscii && !found.hasEscape && !found.hasComma;
}

QByteArray encodeList(const QStringList &texts)
{
    QByteArrayList parts;
    for (const QString &text : texts)
        parts.append(QUrl::toPercentEncoding(text));
    return parts.join(',');
}

// Percent-decoded UTF-8; only a text that holds an escape is copied to be decoded.
QString decodeText(QByteArrayView field)
{
    if (!field.contains('%'))
        return QString::fromUtf8(field);
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field.toByteArray()));
}

QStringList decodeList(QByteArrayView field)
{
    QStringList texts;
    for (qsizetype start = 0; !field.isEmpty() && start <= field.size();) {
        const qsizetype comma = field.indexOf(',', start);
        const qsizetype end = comma < 0 ? field.size() : comma;
        texts.append(decodeText(field.sliced(start, end - start)));
        start = end + 1;
    }
    return texts;
}

// The value of a hexadecimal digit; -1 for any other character.
int hexValue(char character)
{
    if (character >= '0' && character <= '9')
        return character - '0';
    if (character >= 'a' && character <= 'f')
        return character - 'a' + 10;
    if (character >= 'A' && character <= 'F')
        return character - 'A' + 10;
    return -1;
}

// Whether every '%' of the field begins an escape of two hexadecimal digits standing for an ASCII
// byte; each is found with memchr.
bool areAsciiEscapes(QByteArrayView field)
{
    const char *const end = field.data() + field.size();
    for (const char *at = field.data(); at < end; at += 3) {
        at = static_cast<const char *>(std::memchr(at, '%', std::size_t(end - at)));
        if (!at)
            return true;
        if (end - at < 3 || hexValue(at[1]) < 0 || hexValue(at[1]) > 7 || hexValue(at[2]) < 0)
            return false;
    }
    return true;
}

// Whether the field is a list of texts as we write them: every '%' begins an escape of two
// hexadecimal digits and the texts are UTF-8. A field told whole here decodes as written when it is
// first asked for; it is read without keeping a copy. A field of ASCII bytes without escapes, as
// nearly every one is, or whose escapes all stand for ASCII bytes (a title's spaces), is told
// without decoding it.
bool isWholeList(QByteArrayView field, const FieldBytes &found)
{
    if (!found.hasEscape)
        return found.isAscii || field.isValidUtf8();
    if (found.isAscii && areAsciiEscapes(field))
        return true;
    QVarLengthArray<char, 512> bytes(field.size());
    bool isWhole = false;
    const qsizetype length = percentDecode(field, bytes.data(), &isWhole);
    return isWhole && QByteArrayView(bytes.constData(), length).isValidUtf8();
}

bool isWholeList(QByteArrayView field)
{
    return isWholeList(field, fieldBytesOf(field));
}

// The line's checksum, the CRC-32 of its text before the last tab in lowercase hexadecimal without
// leading zeros: a byte changed by a damaged disk or by hand makes the line, and with it the whole
// index, read as damaged.
QByteArray checksumOf(QByteArrayView text)
{
    return QByteArray::number(crc32Continued(0, text), 16);
}

// Whether the field is the checksum of the text as checksumOf writes it, told without making the
// checksum's text.
bool isChecksumOf(QByteArrayView text, QByteArrayView field)
{
    quint32 crc = crc32Continued(0, text);
    std::array<char, 8> digits;
    qsizetype count = 0;
    do {
        digits[std::size_t(count++)] = "0123456789abcdef"[crc & 0xf];
        crc >>= 4;
    } while (crc != 0);
    if (field.size() != count)
        return false;
    for (qsizetype at = 0; at < count; ++at) {
        if (field[at] != digits[std::size_t(count - 1 - at)])
            return false;
    }
    return true;
}

QByteArray lineFor(const ICalendarFile &file)
{
    const QByteArray kinds =
        QByteArray(file.hasEvents ? "E" : "") + (file.hasTodos ? "T" : "") + (file.isDamaged ? "D" : "") + "-";
    QByteArray fields = QUrl::toPercentEncoding(file.fileName()) + '\t' + QByteArray::number(file.size) + '\t' +
                        QByteArray::number(file.modifiedNs) + '\t' + QByteArray::number(file.inode) + '\t' +
                        QByteArray::number(file.changedNs) + '\t' + kinds + '\t';
    fields.append(file.items()).append('\t');
    fields += QByteArray::number(file.reachStart) + '\t' + QByteArray::number(file.reachEnd) + '\t';
    fields.append(file.listedEvent());
    return fields + '\t' + checksumOf(fields);
}

bool readNumber(QByteArrayView field, qint64 &value)
{
    return readDecimal(field, value) && value >= 0;
}

// A file written whole and left alone since, as nearly every file is, changed when it was modified:
// the line writes the same nineteen digits twice, which are read once.
bool readChangeTime(QByteArrayView changedField, QByteArrayView modifiedField, ICalendarFile &file)
{
    if (changedField.size() == modifiedField.size() &&
        std::memcmp(changedField.data(), modifiedField.data(), std::size_t(changedField.size())) == 0) {
        file.changedNs = file.modifiedNs;
        return true;
    }
    return readNumber(changedField, file.changedNs);
}

bool readReach(QByteArrayView startField, QByteArrayView endField, ICalendarFile &file)
{
    const bool isStartRead = readDecimal(startField, file.reachStart);
    return readDecimal(endField, file.reachEnd) && isStartRead;
}

// The tab-separated fields of a line, read where they stand. Their room is the reader's, for every
// line of an index: made anew and wrapped for each, it was cleared and copied on every line.
using LineFields = std::array<QByteArrayView, kFieldCount>;

// Where a part of the index's text lies in it. The text is never longer than 32 bits count: the
// table of an index's parts, filled for every line and read once, stays small.
static_assert(kMaxIndexBytes <= std::numeric_limits<qint32>::max());

struct TextPart
{
    qint32 at = 0;
    qint32 size = 0;

    static TextPart of(QByteArrayView part, const char *text) { return {qint32(part.data() - text), qint32(part.size())}; }
    QByteArrayView in(const char *text) const { return QByteArrayView(text + at, size); }
};

// Where an entry's file name and described text lie in the index's text: its UIDs and titles, then
// its listed event.
struct DescribedBytes
{
    TextPart name;
    TextPart items;
    TextPart listed;
    bool isNameEscaped = false; // whether the name holds a '%'
    qint32 plainUidSize = -1;   // of the items' one UID, when they hold it as it stands (plainSingleUid)
};

// Whether the name field is whole (as isWholeList tells) and names a file of the folder: some name,
// no slash, no NUL. A field of ASCII bytes without escapes, as nearly every name is, is told by its
// bytes alone.
bool isFileNameField(QByteArrayView field, const FieldBytes &found)
{
    if (!found.hasEscape && found.isAscii)
        return !field.isEmpty() && !found.hasSlashOrNul;
    if (!isWholeList(field, found))
        return false;
    QVarLengthArray<char, 256> bytes(field.size());
    const qsizetype length = found.hasEscape ? percentDecode(field, bytes.data()) : 0;
    const QByteArrayView name = found.hasEscape ? QByteArrayView(bytes.constData(), length) : field;
    return !name.isEmpty() && !name.contains('/') && !name.contains('\0');
}

// The bytes of the name field. A file named after its one UID, as the store names the files it
// writes, holds the bytes of the UIDs field and ".ics", which adds none that counts: its name is
// not looked at again.
FieldBytes nameBytesOf(QByteArrayView name, QByteArrayView uids, const FieldBytes &uidBytes)
{
    constexpr std::string_view kExtension = ".ics";
    const bool isNamedAfterUids = name.size() == uids.size() + qsizetype(kExtension.size()) &&
                                  std::memcmp(name.data(), uids.data(), std::size_t(uids.size())) == 0 &&
                                  std::memcmp(name.data() + uids.size(), kExtension.data(), kExtension.size()) == 0;
    return isNamedAfterUids ? uidBytes : fieldBytesOf(name);
}

// Reads a line's entry into the file, and where its described text lies in the index's text (which
// begins at base) into text; false when the line is not one of ours (but for its checksum, which
// the caller checks). Its UIDs and titles are kept as the line holds them, checked to decode, and
// decoded only when asked for; its name is checked, and decoded with the others'.
bool readEntry(QByteArrayView line, const char *base, LineFields &field, ICalendarFile &file, DescribedBytes &text)
{
    if (!splitFields(line, '\t', field))
        return false;
    const bool numbersRead = readNumber(field[1], file.size) && readNumber(field[2], file.modifiedNs) &&
                             readNumber(field[3], file.inode) && readChangeTime(field[4], field[2], file) &&
                             readReach(field[8], field[9], file);
    // A listed text is checked whole when a listing reads it; one too long is no text of ours.
    const qsizetype listedLimit =
        icallisted::isListedSeries(field[10]) ? icallisted::kMaxListedSeriesBytes : icallisted::kMaxListedBytes;
    const FieldBytes uids = fieldBytesOf(field[6]);
    const FieldBytes name = nameBytesOf(field[0], field[6], uids);
    if (!numbersRead || !field[5].endsWith('-') || field[6].isEmpty() || !isFileNameField(field[0], name) ||
        !isWholeList(field[6], uids) || !isWholeList(field[7]) || field[10].size() > listedLimit)
        return false;
    file.hasEvents = holdsByte(field[5], 'E');
    file.hasTodos = holdsByte(field[5], 'T');
    // The two fields and the tab between them.
    text = {TextPart::of(field[0], base), TextPart::of(QByteArrayView(field[6].begin(), field[7].end()), base),
            TextPart::of(field[10], base), name.hasEscape, isPlainUid(field[6], uids) ? qint32(field[6].size()) : -1};
    file.isDamaged = holdsByte(field[5], 'D');
    file.parses = !file.isDamaged;
    file.needsParsing = file.parses;
    return true;
}

// Where the line that begins at start ends, in a text that ends with a line feed: found with memchr,
// without the library's search around it.
qsizetype lineEndFrom(QByteArrayView text, qsizetype start)
{
    const void *const end = std::memchr(text.data() + start, '\n', std::size_t(text.size() - start));
    return static_cast<const char *>(end) - text.data();
}

// Whether the line closes a block. A file name is percent-encoded: no entry begins with the
// trailer's word and its space. Compared in place, as the library's comparison is a call.
bool isTrailer(QByteArrayView line)
{
    return line.size() >= qsizetype(kTrailerWord.size()) &&
           std::memcmp(line.data(), kTrailerWord.data(), kTrailerWord.size()) == 0;
}

// How many entries to make room for: every line but the header may be one (the few that close a
// block are not). The last block's count would tell only that block in an index of added blocks, and
// the entries, made one by one, would then grow their room by doubling: twice the memory at once,
// and up to twice the room kept for as long as the entries live.
qsizetype expectedEntries(QByteArrayView text)
{
    // Line by line, as the entries are read: a line is hundreds of bytes, each found by one memchr.
    qsizetype lines = 0;
    for (const char *at = text.data(), *end = text.data() + text.size(); at < end; ++lines) {
        const void *lineEnd = std::memchr(at, '\n', std::size_t(end - at));
        at = lineEnd ? static_cast<const char *>(lineEnd) + 1 : end;
    }
    return std::clamp<qsizetype>(lines - 1, 0, kMaxEntries);
}

// Every entry of an index whose blocks are whole: the header, then blocks of entries each closed by
// a line counting them, every line ended. A block cut short by a crash or a full disk never passes
// for whole. Nothing when a line is damaged (its number in lineNumber).
std::optional<std::vector<ICalendarFile>> entriesOf(QByteArrayView text, qsizetype &lineNumber,
                                                    std::vector<DescribedBytes> &texts)
{
    lineNumber = 1;
    if (!text.startsWith(kHeader + '\n') || !text.endsWith('\n'))
        return std::nullopt;
    const qsizetype expected = expectedEntries(text);
    std::vector<ICalendarFile> entries;
    entries.reserve(std::size_t(expected));
    texts.reserve(std::size_t(expected));
    qsizetype blockLines = 0;
    bool isClosed = false;
    LineFields fields;
    for (qsizetype lineStart = kHeader.size() + 1; lineStart < text.size(); ++lineNumber) {
        const qsizetype lineEnd = lineEndFrom(text, lineStart);
        const QByteArrayView line = text.sliced(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        isClosed = isTrailer(line);
        const bool isRead = isClosed ? line == kTrailer + QByteArray::number(blockLines)
                                     : qsizetype(entries.size()) < kMaxEntries &&
                                           readEntry(line, text.data(), fields, entries.emplace_back(), texts.emplace_back());
        if (!isRead)
            return std::nullopt;
        blockLines = isClosed ? 0 : blockLines + 1;
        const QByteArrayView checksum = fields.back();
        if (!isClosed && !isChecksumOf(line.first(checksum.data() - 1 - line.data()), checksum))
            return std::nullopt;
    }
    if (!isClosed)
        return std::nullopt;
    return entries;
}

// The entries' names and described texts, moved side by side to the start of the index's own text,
// which the entries then share: each name (decoded) and a NUL, then its UIDs and titles, a tab, its
// listed event and a NUL. No allocation per file, and the rest of the text is let go. The entries'
// lines lie in their order after the header, each name first in its line, and what an entry keeps is
// shorter than its line: each part only moves towards the start and overwrites nothing not yet moved
// (a name is decoded in place, its bytes written no further on than they are read). Where each
// entry's part now lies is noted in its name's place in texts.
void placeEntryTexts(std::vector<ICalendarFile> &entries, std::vector<DescribedBytes> &texts, QByteArray &&text)
{
    QByteArray block = std::move(text);
    char *const base = block.data();
    char *at = base;
    const auto moveHere = [&at, base](const TextPart &part, char end) {
        std::memmove(at, base + part.at, std::size_t(part.size));
        at += part.size;
        *at++ = end;
    };
    for (DescribedBytes &described : texts) {
        const TextPart name = described.name;
        const qsizetype decoded = described.isNameEscaped ? percentDecode(name.in(base), at) : name.size;
        described.name = {qint32(at - base), qint32(decoded)};
        if (described.isNameEscaped) {
            at += decoded;
            *at++ = '\0';
        } else {
            moveHere(name, '\0');
        }
        moveHere(described.items, '\t');
        moveHere(described.listed, '\0');
    }
    block.truncate(at - base);
    block.squeeze();
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const DescribedBytes &described = texts[index];
        entries[index].setWithin(block, described.name.at, described.name.size,
                                 described.items.size + 1 + described.listed.size, described.items.size,
                                 described.plainUidSize);
    }
}

// The entries live in one block, in the order of the index: one allocation for all of them, which a
// look at every file walks in the order they lie in memory. The block lives while any of them does.
LoadedIndex indexOf(std::vector<ICalendarFile> &&entries)
{
    const auto block = std::make_shared<std::vector<ICalendarFile>>(std::move(entries));
    LoadedIndex index;
    index.entryLines = qsizetype(block->size());
    index.files.adoptBlock(block);
    return index;
}

// Room for a file's line: its fields as kept, its name escaped whole (enough for any name of ASCII
// characters), and the numbers, kinds, tabs and checksum.
qsizetype lineRoomFor(const ICalendarFile &file)
{
    constexpr qsizetype kNumbersAndSeparators = 6 * 20 + 3 + 11 + 16 + 1;
    return file.fileNameUtf8().size() * 3 + file.described().size() + kNumbersAndSeparators;
}

// Appends the files' lines and the trailer counting them to the text, sized for them at once: the
// index's text is made in its one buffer, with no copy of it made on the way.
using IndexEntries = QList<std::shared_ptr<const ICalendarFile>>;

void appendTrailer(QByteArray &text, qsizetype lineCount)
{
    text += kTrailer;
    text += QByteArray::number(lineCount);
    text += '\n';
}

void appendEntryLines(QByteArray &text, IndexEntries::const_iterator first, IndexEntries::const_iterator last)
{
    qsizetype room = text.size() + kTrailer.size() + 21;
    for (auto entry = first; entry != last; ++entry)
        room += lineRoomFor(**entry);
    text.reserve(room);
    for (auto entry = first; entry != last; ++entry) {
        text += lineFor(**entry);
        text += '\n';
    }
}

void appendLines(QByteArray &text, const IndexEntries &files)
{
    appendEntryLines(text, files.cbegin(), files.cend());
    appendTrailer(text, files.size());
}

IndexFileStatus statusFrom(const struct stat &info)
{
    return {qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec), qint64(info.st_ino),
            qint64(info.st_size)};
}

} // namespace

QByteArray encodeItems(const QStringList &uids, const QStringList &titles)
{
    return encodeList(uids) + '\t' + encodeList(titles);
}

QStringList decodeItems(QByteArrayView items, ItemList list)
{
    const qsizetype tab = items.indexOf('\t');
    if (tab < 0)
        return {};
    return decodeList(list == ItemList::Uids ? items.first(tab) : items.sliced(tab + 1));
}

// The UID runs to the first tab; it is plain when none of its bytes is an escape, a comma (a second
// UID) or beyond ASCII.
std::optional<QByteArrayView> plainSingleUid(QByteArrayView items)
{
    const void *const tab = items.isEmpty() ? nullptr : std::memchr(items.data(), '\t', std::size_t(items.size()));
    if (!tab)
        return std::nullopt;
    const QByteArrayView uid = items.first(static_cast<const char *>(tab) - items.data());
    return isPlainUid(uid, fieldBytesOf(uid)) ? std::optional<QByteArrayView>(uid) : std::nullopt;
}

qsizetype percentDecode(QByteArrayView field, char *out, bool *isWhole)
{
    bool whole = true;
    const char *const start = out;
    for (qsizetype at = 0; at < field.size(); ++at) {
        const int high = field[at] == '%' && at + 2 < field.size() ? hexValue(field[at + 1]) : -1;
        const int low = high < 0 ? -1 : hexValue(field[at + 2]);
        whole = whole && (field[at] != '%' || low >= 0);
        *out++ = low < 0 ? field[at] : char(high << 4 | low);
        at += low < 0 ? 0 : 2;
    }
    if (isWhole)
        *isWhole = whole;
    return out - start;
}

// An optional minus, then 1 to 19 digits (what the index writes); std::from_chars alone would also
// take more leading zeros.
bool readDecimal(QByteArrayView field, qint64 &value)
{
    value = 0;
    const qsizetype digits = field.size() - (field.startsWith('-') ? 1 : 0);
    if (digits < 1 || digits > 19)
        return false;
    qint64 read = 0;
    const char *const end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, read);
    if (error != std::errc() || stop != end)
        return false;
    value = read;
    return true;
}

// Each separator is found with memchr.
bool splitFields(QByteArrayView text, char separator, std::span<QByteArrayView> fields)
{
    const char *const data = text.data();
    const char *const end = data + text.size();
    std::size_t count = 0;
    const char *start = data;
    while (start != end) {
        const void *const found = std::memchr(start, separator, std::size_t(end - start));
        if (!found)
            break;
        const char *const at = static_cast<const char *>(found);
        if (count + 1 >= fields.size())
            return false;
        fields[count++] = QByteArrayView(start, at - start);
        start = at + 1;
    }
    if (fields.empty() || count + 1 != fields.size())
        return false;
    fields[count] = QByteArrayView(start, end - start);
    return true;
}

// A slot for every entry and a third more, so that a lookup meets an empty slot soon after its own.
void ICalendarFileTable::adoptBlock(Block block)
{
    Q_ASSERT(isEmpty());
    const std::size_t count = block->size();
    std::size_t capacity = 8;
    while (capacity < count + count / 3 + 1)
        capacity *= 2;
    m_block = std::move(block);
    m_slots.assign(capacity, kEmpty);
    m_isLive.assign(count, false);
    m_blockCount = 0;
    m_seed = QHashSeed::globalSeed();
    const std::size_t mask = capacity - 1;
    for (std::size_t at = 0; at < count; ++at) {
        const QByteArrayView name = (*m_block)[at].fileNameUtf8();
        std::size_t slot = qHash(QByteArrayView(name), m_seed) & mask;
        while (m_slots[slot] != kEmpty && (*m_block)[m_slots[slot] - 1].fileNameUtf8() != name)
            slot = (slot + 1) & mask;
        if (m_slots[slot] != kEmpty)
            m_isLive[m_slots[slot] - 1] = false;
        else
            ++m_blockCount;
        m_slots[slot] = quint32(at + 1);
        m_isLive[at] = true;
    }
}

namespace {

// A name's UTF-8, made on the stack: a name is looked up without an allocation.
class Utf8Name
{
public:
    explicit Utf8Name(QStringView name)
    {
        QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
        m_bytes.resize(encoder.requiredSpace(name.size()));
        m_bytes.resize(encoder.appendToBuffer(m_bytes.data(), name) - m_bytes.constData());
    }
    QByteArrayView view() const { return QByteArrayView(m_bytes.constData(), m_bytes.size()); }
    // A key over the bytes, for as long as they live.
    QByteArray key() const { return QByteArray::fromRawData(m_bytes.constData(), m_bytes.size()); }

private:
    QVarLengthArray<char, 256> m_bytes;
};

} // namespace

qsizetype ICalendarFileTable::slotOf(QByteArrayView name) const
{
    if (m_blockCount == 0)
        return -1;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = qHash(name, m_seed) & mask;; slot = (slot + 1) & mask) {
        const quint32 entry = m_slots[slot];
        if (entry == kEmpty)
            return -1;
        if (entry != kGone && (*m_block)[entry - 1].fileNameUtf8() == name)
            return qsizetype(slot);
    }
}

bool ICalendarFileTable::contains(const QString &name) const
{
    const Utf8Name utf8(name);
    return m_others.contains(utf8.key()) || slotOf(utf8.view()) >= 0;
}

ICalendarFileTable::FilePointer ICalendarFileTable::value(const QString &name) const
{
    return valueOfUtf8(Utf8Name(name).view());
}

ICalendarFileTable::FilePointer ICalendarFileTable::valueOfUtf8(QByteArrayView name) const
{
    const QByteArray key = QByteArray::fromRawData(name.data(), name.size());
    if (const auto other = m_others.constFind(key); other != m_others.constEnd())
        return *other;
    const qsizetype slot = slotOf(name);
    return slot < 0 ? nullptr : entryInSlot(slot);
}

// The entry shares the block's count: it keeps the block, not the table, alive.
ICalendarFileTable::FilePointer ICalendarFileTable::entryInSlot(qsizetype slot) const
{
    return FilePointer(m_block, &(*m_block)[m_slots[std::size_t(slot)] - 1]);
}

// An entry let go is marked gone, not emptied, so that lookups go on past it; the block and its table
// are let go with the last of its entries.
void ICalendarFileTable::dropFromBlock(qsizetype slot)
{
    quint32 &entry = m_slots[std::size_t(slot)];
    m_isLive[entry - 1] = false;
    entry = kGone;
    if (--m_blockCount > 0)
        return;
    m_block.reset();
    m_slots = {};
    m_isLive = {};
}

// The key shares the file's own name when that is the name it is put under.
void ICalendarFileTable::insert(const QString &name, FilePointer file)
{
    const Utf8Name utf8(name);
    if (const qsizetype slot = slotOf(utf8.view()); slot >= 0)
        dropFromBlock(slot);
    const bool isOwnName = file && file->fileNameUtf8() == utf8.view();
    m_others.insert(isOwnName ? file->sharedFileNameUtf8() : utf8.view().toByteArray(), std::move(file));
}

ICalendarFileTable::FilePointer ICalendarFileTable::take(const QString &name)
{
    const Utf8Name utf8(name);
    if (FilePointer other = m_others.take(utf8.key()))
        return other;
    const qsizetype slot = slotOf(utf8.view());
    if (slot < 0)
        return nullptr;
    FilePointer file = entryInSlot(slot);
    dropFromBlock(slot);
    return file;
}

QStringList ICalendarFileTable::keys() const
{
    QStringList names;
    names.reserve(size());
    for (std::size_t at = 0; m_block && at < m_isLive.size(); ++at) {
        if (m_isLive[at])
            names.append((*m_block)[at].fileName());
    }
    for (auto other = m_others.keyBegin(); other != m_others.keyEnd(); ++other)
        names.append(QString::fromUtf8(*other));
    return names;
}

QString indexPathFor(const QString &folderPath)
{
    const QFileInfo folder(folderPath);
    return folder.path() + QStringLiteral("/.") + folder.fileName() + QStringLiteral(".hmindex");
}

IndexFileStatus indexStatusOf(const QString &folderPath)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(indexPathFor(folderPath)).constData(), &info) != 0)
        return IndexFileStatus();
    return statusFrom(info);
}

// Read in place: the entries are made from the file's text as it stands, with no copy of its lines.
std::optional<LoadedIndex> loadIndex(const QString &folderPath)
{
    Result<QByteArray> bytes = readWholeFile(indexPathFor(folderPath), kMaxIndexBytes);
    if (!bytes)
        return std::nullopt;
    qsizetype lineNumber = 0;
    std::vector<DescribedBytes> texts;
    std::optional<std::vector<ICalendarFile>> entries = entriesOf(QByteArrayView(*bytes), lineNumber, texts);
    if (entries)
        placeEntryTexts(*entries, texts, std::move(*bytes));
    std::optional<LoadedIndex> index = entries ? std::optional(indexOf(std::move(*entries))) : std::nullopt;
    if (!index && lineNumber <= 1)
        consoleLog(QStringLiteral("%1: not a whole index of ours; it is made again").arg(indexPathFor(folderPath)));
    else if (!index)
        consoleLog(QStringLiteral("%1: line %2 is damaged or cut short; the index is made again")
                       .arg(indexPathFor(folderPath))
                       .arg(lineNumber));
    return index;
}

// The text is made in one buffer, line by line: no list of every line beside it, and no copy of it.
namespace {

// The index is written a few hundred lines at a time: a folder's whole index never lies in memory
// beside the descriptions it is made from.
FileContentWriter streamedIndex(const IndexEntries &entries)
{
    return [&entries](int descriptor) {
        constexpr qsizetype kLinesPerPiece = 512;
        QByteArray piece = kHeader + '\n';
        for (qsizetype start = 0; start < entries.size(); start += kLinesPerPiece) {
            const auto first = entries.cbegin() + start;
            appendEntryLines(piece, first, first + std::min(kLinesPerPiece, entries.size() - start));
            if (writeToDescriptor(descriptor, piece) != piece.size())
                return false;
            piece.resize(0);
        }
        appendTrailer(piece, entries.size());
        return writeToDescriptor(descriptor, piece) == piece.size();
    };
}

} // namespace

Result<qsizetype> saveIndex(const QString &folderPath, const ICalendarFileTable &files)
{
    QList<std::shared_ptr<const ICalendarFile>> entries;
    entries.reserve(files.size());
    files.forEach([&entries](std::shared_ptr<const ICalendarFile> file) {
        if (file->parses || file->isDamaged)
            entries.append(std::move(file));
    });
    // Sorted by the names as they are kept: no text of every name is made for it.
    std::sort(entries.begin(), entries.end(),
              [](const auto &left, const auto &right) { return ICalendarFile::isNamedBefore(*left, *right); });
    const qsizetype lineCount = entries.size();
    if (const Status written = writeFileAtomicallyFrom(indexPathFor(folderPath), streamedIndex(entries),
                                                       FilePermissions::OwnerOnly);
        !written)
        return written.error();
    return lineCount;
}

// Appended in one write to the end of the file: a reader sees the block whole or not at all, and a
// block a crash cut short makes the next run write the index whole again. The file is opened without
// following a link and checked to be the one the caller knows.
Result<IndexFileStatus> appendToIndex(const QString &folderPath,
                                      const QList<std::shared_ptr<const ICalendarFile>> &files,
                                      const IndexFileStatus &expected)
{
    const QString path = indexPathFor(folderPath);
    const Result<std::unique_ptr<FileHandle>> opened = FileHandle::openForAppending(path);
    if (!opened)
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: cannot be opened to add to").arg(path));
    FileHandle &file = **opened;
    if (const Result<struct stat> before = file.status(); !before || statusFrom(*before) != expected)
        return Error(ErrorCode::DataOther, QStringLiteral("%1: changed since it was read").arg(path));
    QByteArray block;
    appendLines(block, files);
    if (const Status appended = file.write(block); !appended)
        return appended.error();
    const Result<struct stat> after = file.status();
    if (!after)
        return after.error();
    return statusFrom(*after);
}

} // namespace platform::icalindex

namespace platform::icalindex {

namespace {

// The name and kinds of item of one entry, as its line writes them.
struct LineKinds
{
    QByteArrayView name;
    bool hasEvents = false; // of a file that parses
    bool hasTodos = false;
};

// The entry's name and kinds, its first and sixth tab-separated fields; nothing when the line holds
// no such fields. Only they are looked at: a list reads the kinds of every entry before each sync, and
// the checksums of all its lines would cost it more than the rest of its look. The first look at
// the files checks every line, and a damaged one makes it read every file, whose kinds then stand.
std::optional<LineKinds> kindsOfLine(QByteArrayView line)
{
    constexpr int kKindsField = 5;
    std::array<qsizetype, kKindsField + 1> tabs = {};
    qsizetype at = -1;
    for (qsizetype &tab : tabs) {
        at = line.indexOf('\t', at + 1);
        if (at < 0)
            return std::nullopt;
        tab = at;
    }
    const QByteArrayView kinds = line.sliced(tabs[kKindsField - 1] + 1, tabs[kKindsField] - tabs[kKindsField - 1] - 1);
    if (tabs[0] == 0 || !kinds.endsWith('-'))
        return std::nullopt;
    const bool parses = !holdsByte(kinds, 'D');
    return LineKinds{line.first(tabs[0]), parses && holdsByte(kinds, 'E'), parses && holdsByte(kinds, 'T')};
}

// Calls visit with each entry of a whole index (the header, then blocks each closed by a line
// counting them) and whether it lies in the first block; false when a line or a block is not whole.
template <typename Visit> bool visitLineKinds(QByteArrayView text, Visit &&visit)
{
    if (!text.startsWith(kHeader + '\n') || !text.endsWith('\n'))
        return false;
    qsizetype entries = 0;
    qsizetype blockLines = 0;
    bool isClosed = false;
    bool isFirstBlock = true;
    for (qsizetype lineStart = kHeader.size() + 1; lineStart < text.size();) {
        const qsizetype lineEnd = lineEndFrom(text, lineStart);
        const QByteArrayView line = text.sliced(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        isClosed = isTrailer(line);
        if (isClosed && line != kTrailer + QByteArray::number(blockLines))
            return false;
        const std::optional<LineKinds> entry =
            isClosed || ++entries > kMaxEntries ? std::nullopt : kindsOfLine(line);
        if (!isClosed && !entry)
            return false;
        if (entry)
            visit(*entry, isFirstBlock);
        isFirstBlock = isFirstBlock && !isClosed;
        blockLines = isClosed ? 0 : blockLines + 1;
    }
    return isClosed;
}

void addKinds(IndexedKinds &kinds, const LineKinds &entry)
{
    kinds.hasFiles = true;
    kinds.hasEvents = kinds.hasEvents || entry.hasEvents;
    kinds.hasTodos = kinds.hasTodos || entry.hasTodos;
}

} // namespace

// Read in place from a mapping of the file, with nothing of the size of the index made: the kinds
// of the first block's entries are counted, and the blocks added after it (a few changed files
// each) kept. A name of a later block replaces its earlier entries: the first block is looked at
// again by name only when the kinds of the entries it may have lost can tell.
std::optional<IndexedKinds> kindsOfIndex(const QString &folderPath)
{
    const Result<FileBytes> bytes = readOwnFileBytes(indexPathFor(folderPath), kMaxIndexBytes);
    if (!bytes)
        return std::nullopt;
    const QByteArrayView text(bytes->bytes());
    IndexedKinds kinds;
    qsizetype firstEvents = 0;
    qsizetype firstTodos = 0;
    std::vector<LineKinds> later;
    const bool isWhole = visitLineKinds(text, [&](const LineKinds &entry, bool isFirstBlock) {
        kinds.hasFiles = true;
        firstEvents += isFirstBlock && entry.hasEvents ? 1 : 0;
        firstTodos += isFirstBlock && entry.hasTodos ? 1 : 0;
        if (!isFirstBlock)
            later.push_back(entry);
    });
    if (!isWhole)
        return std::nullopt;
    QSet<QByteArrayView> replacing;
    for (auto entry = later.crbegin(); entry != later.crend(); ++entry) {
        if (!replacing.contains(entry->name))
            addKinds(kinds, *entry);
        replacing.insert(entry->name);
    }
    const auto isLeft = [&replacing](qsizetype count) { return count > replacing.size(); };
    kinds.hasEvents = kinds.hasEvents || isLeft(firstEvents);
    kinds.hasTodos = kinds.hasTodos || isLeft(firstTodos);
    if ((!kinds.hasEvents && firstEvents > 0) || (!kinds.hasTodos && firstTodos > 0))
        visitLineKinds(text, [&](const LineKinds &entry, bool isFirstBlock) {
            if (isFirstBlock && !replacing.contains(entry.name))
                addKinds(kinds, entry);
        });
    return kinds;
}

} // namespace platform::icalindex
