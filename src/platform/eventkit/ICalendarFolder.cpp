#include "platform/eventkit/ICalendarFolder.h"

#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolderIndex.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarListedSeries.h"
#include "platform/eventkit/ICalendarMomentKeys.h"
#include "platform/eventkit/ICalendarPatch.h"
#include "platform/eventkit/ICalendarSeries.h"
#include "platform/eventkit/ICalendarText.h"
#include "platform/eventkit/ICalendarZones.h"

#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/SharedBytes.h"

#include <QFile>
#include <QScopeGuard>
#include <QSet>
#include <QUuid>

#include <libical/ical.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

struct FolderNames final
{
    qsizetype count = 0;
    qsizetype itemFileCount = 0; // of names ending in ".ics"
    bool hasVCards = false;      // whether a name ends in ".vcf"
    bool isAscii = true;         // whether every name is ASCII, whose case the counts tell alike
    QStringList names;           // when kept
};

// A file's status as a look at it finds it.
struct FileStat
{
    bool exists = false; // whether the name is there, whatever it names
    bool isRegular = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 inode = 0;
    qint64 changedNs = 0;
};

namespace {

// Calendar items are small; a file beyond this is not an item of ours and is skipped unread.
constexpr qint64 kMaxItemFileBytes = 4 * 1024 * 1024;
constexpr qint64 kMaxDisplayNameBytes = 4096;
// A folder with more files than this is read up to the bound; the rest are logged and skipped.
constexpr int kMaxFilesPerFolder = 200000;
// The files the watch cannot tell of are all looked at again this often. A whole look stats every
// file; a sync that applies many records (each saved and flushed) runs for seconds, and a look per
// second would make its cost grow with the folder rather than with what it changes.
constexpr std::chrono::seconds kRescanInterval{5};
// A write is read back at once, and a series is read by several queries in a row: the last few parsed
// files are kept, and no more, so memory does not grow with the folder.
constexpr qsizetype kRecentlyParsedKept = 8;
constexpr qint64 kReachMarginSeconds = ICalendarFile::kReachMarginSeconds;

FileStat fileStatOf(const struct stat &info)
{
    FileStat result;
    result.exists = true;
    result.isRegular = S_ISREG(info.st_mode);
    result.size = qint64(info.st_size);
    result.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
    result.inode = qint64(info.st_ino);
    result.changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + qint64(info.st_ctim.tv_nsec);
    return result;
}

// Writes the name's characters as bytes to out when each is ASCII and no NUL, as nearly every name's
// is, and a NUL after them; false for any other name. Out has room for the name's characters and the
// NUL. The loop has no early exit, so that the compiler makes vector code of it.
bool narrowAsciiName(QStringView name, char *out)
{
    char16_t outside = 0;
    for (qsizetype at = 0; at < name.size(); ++at) {
        const char16_t character = name[at].unicode();
        outside |= character >= 0x80 || character == 0 ? 1 : 0;
        out[at] = char(character);
    }
    out[name.size()] = '\0';
    return outside == 0;
}

// The status of a file of an open folder, never following a link into another folder; the open
// folder spares the kernel walking the folder's path per file.
FileStat statPathInFolder(int folderDescriptor, const char *path)
{
    struct stat info = {};
    if (::fstatat(folderDescriptor, path, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileStat();
    return fileStatOf(info);
}

// The same by the file's name. The usual name, short and ASCII, is passed from the stack: a look at
// every file of a folder then allocates nothing per file.
FileStat statInFolder(int folderDescriptor, const QString &name)
{
    std::array<char, 256> bytes;
    const bool isShortAscii = name.size() < qsizetype(bytes.size()) && narrowAsciiName(name, bytes.data());
    const QByteArray encoded = isShortAscii ? QByteArray() : QFile::encodeName(name);
    return statPathInFolder(folderDescriptor, isShortAscii ? bytes.data() : encoded.constData());
}

// The same by the name's UTF-8 bytes, which are the bytes QFile::encodeName gives for it: a known
// file is looked at without its name made as a text.
FileStat statUtf8InFolder(int folderDescriptor, QByteArrayView name)
{
    std::array<char, 256> bytes;
    if (name.size() >= qsizetype(bytes.size()))
        return statPathInFolder(folderDescriptor, name.toByteArray().constData());
    std::memcpy(bytes.data(), name.data(), size_t(name.size()));
    bytes[size_t(name.size())] = '\0';
    return statPathInFolder(folderDescriptor, bytes.data());
}

// Whether the name ends in ".ics" in any case, told by its last four characters alone when they are
// ASCII, as they nearly always are (no other character folds to one of theirs).
bool hasItemSuffix(const QString &name)
{
    const QStringView suffix = QStringView(name).right(4);
    const auto isAscii = [](QChar character) { return character.unicode() < 0x80; };
    if (suffix.size() < 4 || !std::all_of(suffix.begin(), suffix.end(), isAscii))
        return name.endsWith(QLatin1String(".ics"), Qt::CaseInsensitive);
    return suffix[0] == QLatin1Char('.') && (suffix[1].unicode() | 0x20) == 'i' &&
           (suffix[2].unicode() | 0x20) == 'c' && (suffix[3].unicode() | 0x20) == 's';
}

// The same by the name's UTF-8 bytes: when its last four bytes are ASCII, so are its last four
// characters, and they tell alone.
bool hasItemSuffixUtf8(QByteArrayView name)
{
    const QByteArrayView suffix = name.last(std::min<qsizetype>(name.size(), 4));
    if (suffix.size() < 4 || !std::all_of(suffix.begin(), suffix.end(), [](char byte) { return uchar(byte) < 0x80; }))
        return hasItemSuffix(QString::fromUtf8(name));
    return suffix[0] == '.' && (suffix[1] | 0x20) == 'i' && (suffix[2] | 0x20) == 'c' && (suffix[3] | 0x20) == 's';
}

// A file that other programs rewrite gets a new inode (a rename) or a new change time (in place).
bool hasStatus(const ICalendarFile &file, const FileStat &info)
{
    return file.size == info.size && file.modifiedNs == info.modifiedNs && file.inode == info.inode &&
           file.changedNs == info.changedNs;
}

bool hasSameDescription(const ICalendarFile &left, const ICalendarFile &right)
{
    return left.parses == right.parses && left.isDamaged == right.isDamaged && left.isDescribedAs(right) &&
           left.hasEvents == right.hasEvents && left.hasTodos == right.hasTodos &&
           left.reachStart == right.reachStart && left.reachEnd == right.reachEnd;
}

// Where the walks of the file's series are kept, made on first need; none for a file without series.
std::shared_ptr<ICalendarSeriesWalks> walksOf(ICalendarFile &file)
{
    if (!file.occurrences() && file.reachEnd == ICalendarFile::kOpenEnd)
        file.setOccurrences(std::make_shared<ICalendarSeriesWalks>());
    return file.occurrences();
}

// The description alone, for the folder to keep.
std::shared_ptr<ICalendarFile> descriptionOf(const ICalendarFile &file)
{
    auto description = std::make_shared<ICalendarFile>(file);
    description->clearParse();
    return description;
}

std::shared_ptr<ICalendarFile> newEntry(const QString &fileName, const FileStat &info)
{
    auto file = std::make_shared<ICalendarFile>();
    file->setFileName(fileName);
    file->size = info.size;
    file->modifiedNs = info.modifiedNs;
    file->inode = info.inode;
    file->changedNs = info.changedNs;
    return file;
}

// An entry of the file's name and status, described by nothing yet.
std::shared_ptr<ICalendarFile> entryWithStatusOf(const ICalendarFile &file)
{
    auto entry = std::make_shared<ICalendarFile>();
    entry->setFileNameUtf8(file.fileNameUtf8());
    entry->size = file.size;
    entry->modifiedNs = file.modifiedNs;
    entry->inode = file.inode;
    entry->changedNs = file.changedNs;
    return entry;
}

// A file that no longer reads or parses keeps the items it held when it last parsed: those of the
// description before (itself a damaged one, maybe). Answers whether it keeps any.
bool keepItemsOfDamaged(ICalendarFile &file, const ICalendarFile *before)
{
    if (file.parses || !before || (!before->parses && !before->isDamaged))
        return false;
    file.isDamaged = true;
    file.hasEvents = before->hasEvents;
    file.hasTodos = before->hasTodos;
    file.setDescribedText(before->items(), {});
    if (!before->isDamaged) {
        consoleLog(
            QStringLiteral("Calendar file %1 no longer reads as a calendar; its items %2 are kept, not taken for "
                           "deleted, until it is mended or removed")
                .arg(file.fileName(), file.uids().join(QStringLiteral(", "))));
    }
    return true;
}

qint64 folderModifiedNs(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
}

void closeIfOpen(int descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
}

// Whether the name ends in the suffix, in any case of its ASCII letters.
bool hasSuffix(QByteArrayView name, const char *suffix)
{
    const qsizetype length = qsizetype(std::strlen(suffix));
    return name.size() >= length && qstrnicmp(name.constData() + name.size() - length, suffix, size_t(length)) == 0;
}

// The names in the open folder, those beginning with a dot (ours and others' temporary files, the
// index) left out: counted, and kept only when asked for. Read straight from the folder: a folder of
// many files costs a name each.
Result<FolderNames> namesInFolder(int folderDescriptor, const QString &path, bool keepsNames)
{
    const int listed = folderDescriptor < 0 ? -1 : ::dup(folderDescriptor);
    DIR *folder = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!folder) {
        if (listed >= 0)
            ::close(listed);
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: the folder cannot be read").arg(path));
    }
    FolderNames names;
    ::rewinddir(folder);
    // Beyond the bound the caller logs and skips the rest; a little more is read so that it can tell.
    while (const struct dirent *entry = names.count <= kMaxFilesPerFolder * 2 ? ::readdir(folder) : nullptr) {
        const QByteArrayView name(entry->d_name);
        if (name.startsWith('.'))
            continue;
        ++names.count;
        names.itemFileCount += hasSuffix(name, ".ics") ? 1 : 0;
        names.hasVCards = names.hasVCards || hasSuffix(name, ".vcf");
        names.isAscii =
            names.isAscii && std::all_of(name.begin(), name.end(), [](char byte) { return uchar(byte) < 0x80; });
        if (keepsNames)
            names.names.append(QFile::decodeName(entry->d_name));
    }
    ::closedir(folder);
    return names;
}

bool isItemKind(icalcomponent_kind kind)
{
    return kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT;
}

// Whether the calendar holds more than one event or to-do (a series' moved occurrences count).
bool holdsSeveralItems(icalcomponent *calendar)
{
    int items = 0;
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); item && items < 2;
         item = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT))
        items += isItemKind(icalcomponent_isa(item)) ? 1 : 0;
    return items > 1;
}

// Widens the file's reach by the event's: from its start (or the original start of a detached
// occurrence, when earlier) to its end, or on without end for a series.
void widenReach(ICalendarFile &file, icalcomponent *event)
{
    const QDateTime start = icalcodec::dateFromIcalTime(icalcomponent_get_dtstart(event));
    if (!start.isValid()) {
        file.reachStart = ICalendarFile::kOpenStart;
        file.reachEnd = ICalendarFile::kOpenEnd;
        return;
    }
    qint64 first = start.toSecsSinceEpoch();
    const QDateTime recurrenceId = icalcodec::recurrenceIdOf(event);
    if (recurrenceId.isValid())
        first = std::min(first, recurrenceId.toSecsSinceEpoch());
    file.reachStart = std::min(file.reachStart, first - kReachMarginSeconds);
    if (icalseries::isRecurring(event)) {
        file.reachEnd = ICalendarFile::kOpenEnd;
        return;
    }
    const qint64 last = start.toSecsSinceEpoch() + std::max<qint64>(icalcodec::lengthSeconds(event), 0);
    if (file.reachEnd != ICalendarFile::kOpenEnd)
        file.reachEnd = std::max(file.reachEnd, last + kReachMarginSeconds);
}

} // namespace

struct ICalendarStagedItems final
{
    struct Kinds
    {
        qsizetype events = 0;
        qsizetype todos = 0;
    };
    QHash<QString, Kinds> byUid;
    qsizetype events = 0;
    qsizetype todos = 0;

    void add(const QString &uid, Kinds kinds)
    {
        if (kinds.events + kinds.todos == 0)
            return;
        Kinds &known = byUid[uid];
        known.events += kinds.events;
        known.todos += kinds.todos;
        events += kinds.events;
        todos += kinds.todos;
    }
    void take(const QString &uid)
    {
        const Kinds kinds = byUid.take(uid);
        events -= kinds.events;
        todos -= kinds.todos;
    }
};

namespace {

// The items of a calendar by UID, in one walk.
std::shared_ptr<ICalendarStagedItems> stagedItemsOf(icalcomponent *root)
{
    auto items = std::make_shared<ICalendarStagedItems>();
    for (icalcomponent *item = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        const char *uid = icalcomponent_get_uid(item);
        if (isItemKind(kind) && uid)
            items->add(QString::fromUtf8(uid), {kind == ICAL_VEVENT_COMPONENT ? 1 : 0, kind == ICAL_VTODO_COMPONENT ? 1 : 0});
    }
    return items;
}

// The kinds of the items of that UID (its UTF-8), the file's reach widened by its events. The walk
// compares each item's UID as the bytes it holds.
ICalendarStagedItems::Kinds kindsOfUid(ICalendarFile &file, icalcomponent *root, const QByteArray &uid)
{
    ICalendarStagedItems::Kinds kinds;
    for (icalcomponent *item = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        const char *text = icalcomponent_get_uid(item);
        if (!isItemKind(kind) || !text || uid != text)
            continue;
        if (kind == ICAL_VTODO_COMPONENT) {
            ++kinds.todos;
            continue;
        }
        ++kinds.events;
        widenReach(file, item);
    }
    return kinds;
}

} // namespace

void freeIcalComponent(icalcomponent_impl *component)
{
    if (!component)
        return;
    icalzones::forgetZonesOf(component);
    icalcomponent_free(component);
}

ICalendarFolder::ICalendarFolder(const QString &path) : m_path(path) {}

ICalendarFolder::~ICalendarFolder()
{
    saveIndexIfStale();
}

void ICalendarFolder::saveIndexIfStale()
{
    if (m_isIndexStale && m_hasLookedBefore)
        saveIndex();
}

// A folder is as its index tells when the index was written after the folder's names last changed:
// programs that share these folders replace a file whole (a rename), which changes the folder's
// time. Any call that asks for the files looks at them then (lookIfOnlyListed), and finds the kinds
// anew.
Status ICalendarFolder::refreshForList(bool isNewView)
{
    if (!m_hasLookedBefore && takeKindsFromIndex())
        return success();
    return isNewView ? refreshForNewView() : refresh();
}

// The index is read again only when it changed since the last list; its entries are not kept.
bool ICalendarFolder::takeKindsFromIndex()
{
    const icalindex::IndexFileStatus index = icalindex::indexStatusOf(m_path);
    const qint64 folderTime = folderModifiedNs(m_path);
    if (folderTime == 0 || index.modifiedNs <= folderTime) {
        m_listedKinds.reset();
        return false;
    }
    if (!m_listedKinds || index != m_listedIndexStatus)
        m_listedKinds = icalindex::kindsOfIndex(m_path);
    m_listedIndexStatus = index;
    if (m_listedKinds && !m_listedKinds->hasFiles)
        m_listedKinds.reset();
    return m_listedKinds.has_value();
}

void ICalendarFolder::lookIfOnlyListed()
{
    if (!m_listedKinds)
        return;
    if (const Status looked = refresh(Rescan::Now); !looked)
        consoleLog(QStringLiteral("Calendar folder not read: %1").arg(looked.error().message()));
}

Status ICalendarFolder::refreshForNewView()
{
    if (m_hasLookedBefore && icalindex::indexStatusOf(m_path) != m_indexStatus)
        m_hasLookedBefore = false;
    return refresh(Rescan::Now);
}

std::shared_ptr<icalcomponent_impl> ICalendarFolder::parseCalendarText(const QByteArray &text,
                                                                       const QString &uidForItemsWithout)
{
    // Blank text is no calendar; asked without copying the text, as every file of a folder is.
    if (std::all_of(text.cbegin(), text.cend(), [](char byte) { return QChar::isSpace(uchar(byte)); }))
        return nullptr;
    icalcomponent *root = icalparser_parse_string(text.constData());
    std::shared_ptr<icalcomponent_impl> calendar(root, freeIcalComponent);
    if (!root || icalcomponent_isa(root) != ICAL_VCALENDAR_COMPONENT)
        return nullptr;
    icalzones::shareZonesOf(root);
    bool hasItem = false;
    int withoutUid = 0;
    for (icalcomponent *item = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        if (!isItemKind(icalcomponent_isa(item)))
            continue;
        if (!icalcomponent_get_uid(item) && !uidForItemsWithout.isEmpty()) {
            const QString uid = ++withoutUid == 1 ? uidForItemsWithout
                                                  : QStringLiteral("%1-%2").arg(uidForItemsWithout).arg(withoutUid);
            icalcomponent_set_uid(item, uid.toUtf8().constData());
        }
        hasItem = hasItem || icalcomponent_get_uid(item);
    }
    return hasItem ? calendar : nullptr;
}

QString ICalendarFolder::uidForFileWithoutUid(const QString &fileName) const
{
    static const QUuid kNamespace(QStringLiteral("6b1c2f0e-3d4a-4f57-9a51-2c8e0f6d7a13"));
    const QString folderName = m_path.section(QLatin1Char('/'), -1);
    return QUuid::createUuidV5(kNamespace, folderName + QLatin1Char('/') + fileName).toString(QUuid::WithoutBraces);
}

QString ICalendarFolder::reasonNotParsed(const QByteArray &text)
{
    if (!text.contains("BEGIN:VCALENDAR") && !text.contains("begin:vcalendar"))
        return QStringLiteral("it is not iCalendar text (no VCALENDAR)");
    icalcomponent *root = icalparser_parse_string(text.constData());
    const bool isOneCalendar = root && icalcomponent_isa(root) == ICAL_VCALENDAR_COMPONENT;
    if (root)
        icalcomponent_free(root);
    return isOneCalendar ? QStringLiteral("it holds no event or to-do")
                         : QStringLiteral("it does not read as one calendar (cut short, or several in one file)");
}

ICalendarFile::ICalendarFile(const ICalendarFile &other)
    : size(other.size), modifiedNs(other.modifiedNs), inode(other.inode),
      changedNs(other.changedNs), reachStart(other.reachStart), reachEnd(other.reachEnd),
      parses(other.parses), isDamaged(other.isDamaged),
      needsParsing(other.needsParsing), hasEvents(other.hasEvents), hasTodos(other.hasTodos),
      isDescribedByParse(other.isDescribedByParse), m_bytes(other.m_bytes), m_nameSize(other.m_nameSize),
      m_itemsSize(other.m_itemsSize), m_plainUidSize(other.m_plainUidSize), m_rare(other.m_rare ? std::make_unique<Rare>(*other.m_rare) : nullptr)
{
}

QString ICalendarFile::fileName() const
{
    return QString::fromUtf8(fileNameUtf8());
}

QByteArray ICalendarFile::sharedFileNameUtf8() const
{
    return m_nameSize == m_bytes.size() ? m_bytes : sharedSliceOf(m_bytes, 0, m_nameSize);
}

void ICalendarFile::setFileName(const QString &name)
{
    setFileNameUtf8(name.toUtf8());
}

void ICalendarFile::setFileNameUtf8(QByteArrayView name)
{
    const QByteArrayView text = described();
    const bool isDescribed = m_bytes.size() > m_nameSize;
    setText(name, text.first(std::clamp<qsizetype>(m_itemsSize, 0, text.size())),
            isDescribed ? std::optional(listedEvent()) : std::nullopt);
}

// Made at its exact size, in one allocation: the folder keeps one per file for the run, and a text
// grown by appending would keep the room its growth left (about half as much again) with each. The
// parts may lie in the text replaced: they are copied before it goes.
void ICalendarFile::setText(QByteArrayView name, QByteArrayView items, std::optional<QByteArrayView> listedEvent)
{
    const qsizetype described = listedEvent ? items.size() + 1 + listedEvent->size() : 0;
    QByteArray text(name.size() + (listedEvent ? 1 + described : 0), Qt::Uninitialized);
    char *at = std::copy(name.cbegin(), name.cend(), text.data());
    if (listedEvent) {
        *at++ = '\0';
        at = std::copy(items.cbegin(), items.cend(), at);
        *at++ = '\t';
        std::copy(listedEvent->cbegin(), listedEvent->cend(), at);
    }
    m_bytes = std::move(text);
    m_nameSize = qint32(name.size());
    m_itemsSize = listedEvent ? qint32(items.size()) : 0;
    notePlainUid();
}

void ICalendarFile::notePlainUid()
{
    const std::optional<QByteArrayView> plain = icalindex::plainSingleUid(items());
    m_plainUidSize = plain ? qint32(plain->size()) : -1;
}

// UTF-8 orders characters as UTF-16 does but for those beyond U+FFFF, whose surrogates come before
// U+E000 to U+FFFF; those begin with the bytes F0 to F4 and EE or EF. Bytes after the first that
// differs do not count, and a name comes after the names it begins with.
bool ICalendarFile::isNamedBefore(const ICalendarFile &left, const ICalendarFile &right)
{
    return isUtf8NameBefore(left.fileNameUtf8(), right.fileNameUtf8());
}

bool ICalendarFile::isUtf8NameBefore(QByteArrayView first, QByteArrayView second)
{
    const auto [at, atSecond] = std::mismatch(first.begin(), first.end(), second.begin(), second.end());
    if (at == first.end() || atSecond == second.end())
        return atSecond != second.end();
    const uchar byte = uchar(*at);
    const uchar secondByte = uchar(*atSecond);
    const auto isHigh = [](uchar lead) { return lead >= 0xf0; };
    const auto isTop = [](uchar lead) { return lead == 0xee || lead == 0xef; };
    if ((isHigh(byte) && isTop(secondByte)) || (isTop(byte) && isHigh(secondByte)))
        return isHigh(byte);
    return byte < secondByte;
}

ICalendarFile &ICalendarFile::operator=(const ICalendarFile &other)
{
    if (this != &other) {
        ICalendarFile copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ICalendarFile::~ICalendarFile() = default;

const std::shared_ptr<icalcomponent_impl> &ICalendarFile::calendar() const
{
    static const std::shared_ptr<icalcomponent_impl> none;
    return m_rare ? m_rare->calendar : none;
}

const QByteArray &ICalendarFile::text() const
{
    static const QByteArray none;
    return m_rare ? m_rare->text : none;
}

void ICalendarFile::setParse(std::shared_ptr<icalcomponent_impl> calendar, QByteArray text)
{
    rare().calendar = std::move(calendar);
    m_rare->text = std::move(text);
    dropRareIfEmpty();
}

void ICalendarFile::setCalendar(std::shared_ptr<icalcomponent_impl> calendar)
{
    rare().calendar = std::move(calendar);
    dropRareIfEmpty();
}

void ICalendarFile::clearParse()
{
    if (!m_rare)
        return;
    m_rare->calendar.reset();
    m_rare->text = QByteArray();
    dropRareIfEmpty();
}

const std::shared_ptr<ICalendarSeriesWalks> &ICalendarFile::occurrences() const
{
    static const std::shared_ptr<ICalendarSeriesWalks> none;
    return m_rare ? m_rare->occurrences : none;
}

void ICalendarFile::setOccurrences(std::shared_ptr<ICalendarSeriesWalks> walks)
{
    rare().occurrences = std::move(walks);
    dropRareIfEmpty();
}

ICalendarFile::Rare &ICalendarFile::rare()
{
    if (!m_rare)
        m_rare = std::make_unique<Rare>();
    return *m_rare;
}

void ICalendarFile::dropRareIfEmpty()
{
    if (m_rare && !m_rare->calendar && m_rare->text.isEmpty() && !m_rare->occurrences)
        m_rare.reset();
}

QStringList ICalendarFile::uids() const
{
    return icalindex::decodeItems(items(), icalindex::ItemList::Uids);
}

// Each event gives its title, an empty one too: a file of events whose titles' list is empty holds
// one event without a title.
QStringList ICalendarFile::titles() const
{
    QStringList texts = icalindex::decodeItems(items(), icalindex::ItemList::Titles);
    if (texts.isEmpty() && hasEvents)
        texts.append(QString());
    return texts;
}

QByteArrayView ICalendarFile::described() const
{
    return m_bytes.size() > m_nameSize ? QByteArrayView(m_bytes).sliced(m_nameSize + 1) : QByteArrayView();
}

// The items lie first in the text, the listed event after them and a tab; their length is kept, as
// a listing asks for them several times per file.
QByteArrayView ICalendarFile::items() const
{
    const QByteArrayView text = described();
    return text.first(std::clamp<qsizetype>(m_itemsSize, 0, text.size()));
}

std::optional<QByteArrayView> ICalendarFile::plainSingleUid() const
{
    if (m_plainUidSize < 0)
        return std::nullopt;
    return described().first(m_plainUidSize);
}

QByteArrayView ICalendarFile::listedEvent() const
{
    const QByteArrayView text = described();
    return m_itemsSize < text.size() ? text.sliced(m_itemsSize + 1) : QByteArrayView();
}

void ICalendarFile::setDescribed(const QStringList &uids, const QStringList &titles, const QByteArray &listedEvent)
{
    setDescribedText(icalindex::encodeItems(uids, titles), listedEvent);
}

void ICalendarFile::setDescribedText(QByteArrayView items, QByteArrayView listedEvent)
{
    setText(fileNameUtf8(), items, listedEvent);
}

void ICalendarFile::setWithin(const QByteArray &block, qsizetype at, qint32 nameBytes, qint32 describedBytes,
                              qint32 itemsBytes, qint32 plainUidBytes)
{
    m_bytes = sharedSliceOf(block, at, nameBytes + 1 + describedBytes);
    m_nameSize = nameBytes;
    m_itemsSize = itemsBytes;
    m_plainUidSize = plainUidBytes;
}

bool ICalendarFile::isDescribedAs(const ICalendarFile &other) const
{
    return described() == other.described() && m_itemsSize == other.m_itemsSize;
}

bool ICalendarFile::mayOverlap(const QDateTime &start, const QDateTime &end) const
{
    return (!end.isValid() || reachStart < end.toSecsSinceEpoch()) &&
           (!start.isValid() || reachEnd > start.toSecsSinceEpoch());
}

namespace {

// The files in the order their descriptions lie in memory: those a loaded index gave lie side by
// side in its order, and come first as the table gives them; those described since, wherever they
// were made, are sorted after them. A walk in that order reads memory in a sweep or two, where the
// table's order would wait on it at almost every file; only the files described since are sorted.
void sortByPlace(QList<std::shared_ptr<const ICalendarFile>> &files)
{
    const auto isBefore = [](const auto &left, const auto &right) { return std::less<>()(left.get(), right.get()); };
    std::sort(std::is_sorted_until(files.begin(), files.end(), isBefore), files.end(), isBefore);
}

} // namespace

// As mayOverlap tells of each file, with the window's bounds read once; in the order the descriptions
// lie in memory, so that a caller reading each one's text reads memory in one sweep too.
QList<std::shared_ptr<const ICalendarFile>> ICalendarFolder::describedEventFiles(const QDateTime &start,
                                                                                const QDateTime &end)
{
    lookIfOnlyListed();
    describeStagedFiles();
    const bool hasStart = start.isValid();
    const bool hasEnd = end.isValid();
    const qint64 from = hasStart ? start.toSecsSinceEpoch() : 0;
    const qint64 to = hasEnd ? end.toSecsSinceEpoch() : 0;
    QList<std::shared_ptr<const ICalendarFile>> result;
    result.reserve(m_files.size());
    const auto isInWindow = [&](const ICalendarFile &file) {
        return file.parses && file.hasEvents && (!hasEnd || file.reachStart < to) && (!hasStart || file.reachEnd > from);
    };
    m_files.forEachWhere(isInWindow, [&result](std::shared_ptr<ICalendarFile> file) { result.append(std::move(file)); });
    sortByPlace(result);
    return result;
}

namespace {

// Texts in the order they were first seen, each once. A file nearly always holds one item or a few:
// their texts are compared in the list, and a set is made only for a file of many items.
class FirstSeenTexts
{
public:
    void add(const QString &text)
    {
        if (m_seen.isEmpty() ? m_texts.contains(text) : m_seen.contains(text))
            return;
        m_texts.append(text);
        if (!m_seen.isEmpty())
            m_seen.insert(text);
        else if (m_texts.size() > kListedOnly)
            m_seen = QSet<QString>(m_texts.cbegin(), m_texts.cend());
    }
    const QStringList &texts() const { return m_texts; }

private:
    static constexpr qsizetype kListedOnly = 16;
    QStringList m_texts;
    QSet<QString> m_seen;
};

// Whether a rule of the calendar names a calendar scale: libical rewrites such a rule as it walks it,
// and with it the series' revision, so such a calendar's description is made from each parse, whose
// tree a listing walks again.
bool hasScaledRule(icalcomponent *calendar)
{
    for (icalcomponent *item = calendar ? icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT) : nullptr;
         item; item = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
        for (icalproperty *rule = icalcomponent_get_first_property(item, ICAL_RRULE_PROPERTY); rule;
             rule = icalcomponent_get_next_property(item, ICAL_RRULE_PROPERTY)) {
            if (icalproperty_get_rrule(rule).rscale)
                return true;
        }
    }
    return false;
}

} // namespace

// A file this process described by parsing it, parsed again with the status it had then, keeps its
// listed text: working it out again would walk its series and encode them only to find the same.
bool ICalendarFolder::parseInto(ICalendarFile &file) const
{
    const std::optional<QByteArray> listed = file.isDescribedByParse && !file.needsParsing
                                                 ? std::optional<QByteArray>(file.listedEvent().toByteArray())
                                                 : std::nullopt;
    file.needsParsing = false;
    file.parses = false;
    file.isDamaged = false;
    file.clearParse();
    const QString path = m_path + QLatin1Char('/') + file.fileName();
    struct stat opened = {};
    const Result<QByteArray> bytes = readWholeFileWithoutFollowing(path, kMaxItemFileBytes, &opened);
    const bool isUnchanged = hasStatus(file, fileStatOf(opened));
    std::shared_ptr<icalcomponent_impl> calendar =
        bytes ? parseCalendarText(*bytes, uidForFileWithoutUid(file.fileName())) : nullptr;
    describeItems(file, calendar.get(), isUnchanged && !hasScaledRule(calendar.get()) ? listed : std::nullopt);
    if (calendar)
        file.setParse(std::move(calendar), *bytes);
    file.isDescribedByParse = true;
    if (!bytes)
        consoleLog(QStringLiteral("Skipping calendar file: %1").arg(bytes.error().message()));
    else if (!file.calendar())
        consoleLog(QStringLiteral("Skipping calendar file %1: %2").arg(path, reasonNotParsed(*bytes)));
    return isUnchanged;
}

std::shared_ptr<const ICalendarFile> ICalendarFolder::parsedFile(const std::shared_ptr<const ICalendarFile> &described)
{
    describeStagedFiles();
    return parsedFileAsIs(described);
}

// A description the index gave is confirmed, or mended, by the first parse. A file found changed
// since its description gets no kept walks; the next look at the folder describes it afresh.
std::shared_ptr<const ICalendarFile> ICalendarFolder::parsedFileAsIs(const std::shared_ptr<const ICalendarFile> &described)
{
    if (const auto staged = m_staged.find(described->fileName()); staged != m_staged.end())
        return staged->second.staged->parses ? staged->second.staged : nullptr;
    for (const std::shared_ptr<const ICalendarFile> &recent : std::as_const(m_recentlyParsed)) {
        if (recent->fileNameUtf8() == described->fileNameUtf8())
            return recent;
    }
    auto parsed = std::make_shared<ICalendarFile>(*described);
    const bool isUnchanged = parseInto(*parsed);
    keepItemsOfDamaged(*parsed, described.get());
    const bool isSame = hasSameDescription(*parsed, *described);
    parsed->setOccurrences(nullptr);
    const std::shared_ptr<ICalendarFile> known = m_files.value(described->fileName());
    const bool isCurrent = known == described;
    if (isCurrent && !isSame) {
        noteUnsaved(described->fileName());
        replaceFile(described->fileName(), descriptionOf(*parsed));
    } else if (isCurrent) {
        known->needsParsing = false;
        known->isDescribedByParse = known->isDescribedByParse || isUnchanged;
        parsed->setOccurrences(isUnchanged ? walksOf(*known) : nullptr);
    }
    if (!parsed->parses)
        return nullptr;
    keepParsed(parsed);
    return parsed;
}

void ICalendarFolder::keepParsed(std::shared_ptr<const ICalendarFile> parsed)
{
    m_recentlyParsed.prepend(std::move(parsed));
    if (m_recentlyParsed.size() > kRecentlyParsedKept)
        m_recentlyParsed.removeLast();
}

// Each UID and title once, in the order of the file: a file of many events is told in one walk.
void ICalendarFolder::describeItems(ICalendarFile &file, icalcomponent *root,
                                    const std::optional<QByteArray> &knownListed)
{
    file.isDescribedByParse = false; // parseInto tells when it was
    FirstSeenTexts uids;
    FirstSeenTexts titles;
    file.hasEvents = file.hasTodos = false;
    file.reachStart = ICalendarFile::kOpenEnd;
    file.reachEnd = ICalendarFile::kOpenStart;
    for (icalcomponent *item = root ? icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT) : nullptr; item;
         item = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        const char *uid = icalcomponent_get_uid(item);
        if (!isItemKind(kind) || !uid)
            continue;
        file.hasTodos = file.hasTodos || kind == ICAL_VTODO_COMPONENT;
        uids.add(QString::fromUtf8(uid));
        if (kind != ICAL_VEVENT_COMPONENT)
            continue;
        file.hasEvents = true;
        widenReach(file, item);
        titles.add(QString::fromUtf8(icalcomponent_get_summary(item)));
    }
    file.parses = !uids.texts().isEmpty();
    QByteArray listed = knownListed ? *knownListed : icallisted::listedEventOf(root);
    if (!knownListed && listed.isEmpty() && file.hasEvents && !file.hasTodos && file.parses)
        listed = icallisted::listedSeriesOf(root, icallisted::listedSeriesHorizon());
    file.setDescribed(uids.texts(), titles.texts(), listed);
}

// Files are re-read only when their status changed, and only their entries in the indexes change.
// Between two whole looks (kRescanInterval apart at most) the folder's watch names the files to look
// at again, with no look at the folder itself; when it cannot tell, the folder's own time does:
// programs that share these folders replace files whole (a rename), which changes it, and while it
// stays the same a burst of store calls does not stat every file each time. A folder changed, or a
// new store's look, within that interval is then looked at whole. The files are all looked at again
// once per interval at most, which sees edits that no watch tells (through a link from another
// folder, say).
Status ICalendarFolder::refresh(Rescan rescan, ReadNotices read)
{
    if (rescan == Rescan::AfterOwnWrites && m_hasLookedBefore && !m_listedKinds && !m_watch.isArmed() &&
        m_folderModifiedNs != 0)
        return success();
    const bool isWithinInterval = m_hasLookedBefore && std::chrono::steady_clock::now() - m_lastScan < kRescanInterval;
    const std::optional<QSet<QString>> changed = isWithinInterval ? m_watch.takeChanges(read) : std::nullopt;
    if (changed && (changed->isEmpty() || refreshNamedFiles(*changed)))
        return success();
    const qint64 folderTime = folderModifiedNs(m_path);
    const bool isRecent = isWithinInterval && !changed && folderTime != 0;
    if (isRecent && rescan == Rescan::WhenDue && folderTime == m_folderModifiedNs)
        return success();
    m_folderModifiedNs = folderTime;
    return refreshAllFiles();
}

// A name of a vCard decides whether the folder is an address book: that takes a whole look.
// Other names (a file being written unnamed shows as "#" and its number) need no look at the folder.
bool ICalendarFolder::refreshNamedFiles(const QSet<QString> &names)
{
    QStringList itemNames;
    for (const QString &name : names) {
        if (name.endsWith(QLatin1String(".vcf"), Qt::CaseInsensitive))
            return false;
        if (hasItemSuffix(name))
            itemNames.append(name);
    }
    if (itemNames.isEmpty())
        return true;
    const int folder = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto closeFolder = qScopeGuard([folder] { closeIfOpen(folder); });
    if (folder < 0)
        return false;
    bool isIndexWrong = false;
    for (const QString &name : std::as_const(itemNames))
        isIndexWrong = refreshOrDropFile(folder, name) || isIndexWrong;
    if (isIndexWrong)
        saveIndex();
    return true;
}

// The watch starts before the folder is listed, so that it tells every change the listing misses.
Status ICalendarFolder::refreshAllFiles()
{
    m_listedKinds.reset();
    m_lastScan = std::chrono::steady_clock::now();
    m_watch.arm(m_path);
    const int folder = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int openError = folder < 0 ? errno : 0;
    const auto closeFolder = qScopeGuard([folder] { closeIfOpen(folder); });
    if (folder < 0)
        return folderNotListed(openError);
    const Look look = m_hasLookedBefore ? lookAtKnownFiles(folder) : lookFirstFromIndex(folder);
    if (look.isWhole) {
        finishWholeLook(look.isIndexWrong);
        return success();
    }
    const Result<FolderNames> names = namesInFolder(folder, m_path, true);
    if (!names)
        return folderNotListed(0);
    m_hasLookedBefore = true;
    const Look named = refreshFiles(folder, names->names);
    const bool isRemoved = !named.isWhole && removeFilesNotIn(folder, names->names) && !look.isIndexTakenWhole;
    finishWholeLook(look.isIndexWrong || named.isIndexWrong || isRemoved);
    return success();
}

// A folder that is gone holds nothing. One that is there but cannot be listed (no permission, say)
// is no empty folder: it keeps what the last look found, so that its items are not taken for
// deleted.
Status ICalendarFolder::folderNotListed(int error)
{
    const QString reason = error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("unreadable");
    if (error == ENOENT || error == ENOTDIR) {
        m_staged.clear();
        for (const QString &name : m_files.keys())
            replaceFile(name, nullptr);
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: the folder is gone: %2").arg(m_path, reason));
    }
    return Error(
        ErrorCode::IoPermission,
        QStringLiteral("%1: the folder cannot be listed (%2); what was last read of it is kept").arg(m_path, reason));
}

// A run's first look takes the index's entries. When they become the folder's own, the files they
// tell of are looked at (refreshKnownFiles), and the folder's names are counted but not kept.
ICalendarFolder::Look ICalendarFolder::lookFirstFromIndex(int folder)
{
    const Result<FolderNames> counted = namesInFolder(folder, m_path, false);
    if (!counted)
        return {};
    const IndexTaken taken = takeIndexedFiles(counted->count);
    m_hasLookedBefore = true;
    Look look = taken.isWhole ? refreshKnownFiles(folder, *counted) : Look();
    look.isIndexWrong = look.isIndexWrong || !taken.isRead;
    look.isIndexTakenWhole = taken.isWhole;
    return look;
}

// A later whole look (a new store's, say) while the folder holds the files it knows: their names
// are counted, not kept, and each known file is looked at by its name.
ICalendarFolder::Look ICalendarFolder::lookAtKnownFiles(int folder)
{
    const Result<FolderNames> counted = namesInFolder(folder, m_path, false);
    return counted ? refreshKnownFiles(folder, *counted) : Look();
}

// The index is saved when the look found what it did not tell; our own writes wait for the folder
// to be let go, so a burst of saves does not write it each time. Entries it tells of files no
// longer there are no reason to save it.
void ICalendarFolder::finishWholeLook(bool isIndexWrong)
{
    m_described.clear();
    if (isIndexWrong)
        saveIndex();
}

// The index's entries for the first look. When the folder knows no file yet they become its own at
// once (each is then checked against its file's status like any known one: taken whole); else
// they are looked up by name.
ICalendarFolder::IndexTaken ICalendarFolder::takeIndexedFiles(qsizetype nameCount)
{
    m_indexStatus = icalindex::indexStatusOf(m_path);
    std::optional<icalindex::LoadedIndex> described = icalindex::loadIndex(m_path);
    m_isIndexWhole = described.has_value();
    m_indexEntryLines = described ? described->entryLines : 0;
    const IndexTaken taken{described.has_value(), described && m_files.isEmpty() && nameCount <= kMaxFilesPerFolder};
    if (!taken.isWhole) {
        m_described = described ? std::move(described->files) : icalindex::ICalendarFileTable();
        // The first look describes every file: the indexes are sized for them at once.
        m_files.reserve(nameCount);
        return taken;
    }
    m_files = std::move(described->files);
    m_files.forEach([this](const std::shared_ptr<ICalendarFile> &file) { indexFile(file); });
    return taken;
}

// Brings the entry of the file up to date: kept while its status holds, else taken from the index
// when that knew it in this status, else read (and not kept parsed). A name that no longer gives a
// regular file that parses keeps the items its entry held (keepItemsOfDamaged); one that gives no
// regular file and held none gets no entry.
ICalendarFolder::FileLook ICalendarFolder::refreshFile(int folder, const QString &name)
{
    // What the process staged for the file stands until it is written (writeStagedFiles looks at
    // what others did to the file meanwhile).
    if (m_staged.count(name) != 0 && m_files.contains(name))
        return {true, true, false};
    const FileStat info = statInFolder(folder, name);
    const std::shared_ptr<ICalendarFile> known = m_files.value(name);
    FileLook look{info.exists, known != nullptr, false};
    if (!info.exists || (known && hasStatus(*known, info)))
        return look;
    std::shared_ptr<ICalendarFile> described = m_described.value(name);
    std::shared_ptr<ICalendarFile> file = described && hasStatus(*described, info) ? described : nullptr;
    look.isRead = !file;
    if (look.isRead) {
        file = newEntry(name, info);
        if (info.isRegular)
            parseInto(*file);
        file->clearParse();
        keepItemsOfDamaged(*file, known ? known.get() : described.get());
    }
    look.isKept = info.isRegular || file->isDamaged;
    look.isRead = look.isRead && look.isKept;
    if (!look.isKept)
        return look;
    // A file the folder did not know yet (each one at the first look) only needs adding.
    if (look.wasKnown)
        replaceFile(name, std::move(file));
    else
        addFile(name, std::move(file));
    if (look.isRead)
        noteUnsaved(name);
    return look;
}

bool ICalendarFolder::refreshOrDropFile(int folder, const QString &name)
{
    const FileLook look = refreshFile(folder, name);
    if (look.isKept)
        return look.isRead;
    if (!m_files.contains(name))
        return false;
    replaceFile(name, nullptr);
    return true;
}

// Brings the entry of each item file up to date; whole when every file known before is still there.
ICalendarFolder::Look ICalendarFolder::refreshFiles(int folder, const QStringList &names)
{
    const qsizetype knownBefore = m_files.size();
    qsizetype knownFound = 0;
    qsizetype itemFileCount = 0;
    Look look;
    m_hasVCards = false;
    for (const QString &name : names) {
        m_hasVCards = m_hasVCards || name.endsWith(QLatin1String(".vcf"), Qt::CaseInsensitive);
        if (!hasItemSuffix(name))
            continue;
        if (++itemFileCount > kMaxFilesPerFolder) {
            consoleLog(
                QStringLiteral("%1: more than %2 files; the rest are skipped").arg(m_path).arg(kMaxFilesPerFolder));
            return look;
        }
        const FileLook file = refreshFile(folder, name);
        knownFound += file.isKept && file.wasKnown ? 1 : 0;
        look.isIndexWrong = look.isIndexWrong || file.isRead;
    }
    look.isWhole = knownFound == knownBefore;
    return look;
}

namespace {

// The names of the files whose status changed since they were described; nothing when one is gone,
// or its name is not one a listing reads. The files are looked at in the order they lie in memory,
// each by its name's bytes: only a changed file's name is made as a text.
std::optional<QStringList> changedAmong(int folder, const icalindex::ICalendarFileTable &files)
{
    QStringList changed;
    bool isAnyGone = false;
    files.forEach([&](const std::shared_ptr<ICalendarFile> &file) {
        const QByteArrayView name = isAnyGone ? QByteArrayView() : file->fileNameUtf8();
        if (isAnyGone || name.startsWith('.') || !hasItemSuffixUtf8(name)) {
            isAnyGone = true;
            return;
        }
        const FileStat info = statUtf8InFolder(folder, name);
        isAnyGone = !info.exists;
        if (info.exists && !hasStatus(*file, info))
            changed.append(file->fileName());
    });
    return isAnyGone ? std::nullopt : std::optional<QStringList>(changed);
}

} // namespace

// Each known file is looked at by its name: at the first look, in the order of the index, in which
// the descriptions lie in memory. When each is still there by a name the folder lists (no dot
// first) and the folder holds as many item files, those are the folder's item files (names in a
// folder are unique) and the look is whole; else the folder's names are looked at one by one. A
// file added or removed meanwhile changes the folder's time, which the next refresh sees.
ICalendarFolder::Look ICalendarFolder::refreshKnownFiles(int folder, const FolderNames &names)
{
    if (!names.isAscii || names.itemFileCount != m_files.size())
        return {};
    const std::optional<QStringList> changed = changedAmong(folder, m_files);
    if (!changed)
        return {};
    Look look{true, false, false};
    for (const QString &name : *changed)
        look.isIndexWrong = refreshOrDropFile(folder, name) || look.isIndexWrong;
    m_hasVCards = names.hasVCards;
    return look;
}

// Drops the entries of files no longer in the folder, or no longer regular files (unless damaged
// ones keep their items), and any an index told of a file that holds no item by its name; answers
// whether there were any.
bool ICalendarFolder::removeFilesNotIn(int folder, const QStringList &names)
{
    const QSet<QString> present(names.cbegin(), names.cend());
    bool removedAny = false;
    for (const QString &name : m_files.keys()) {
        if (m_staged.count(name) != 0)
            continue;
        const FileStat info = present.contains(name) ? statInFolder(folder, name) : FileStat();
        if (!hasItemSuffix(name) || !info.exists || (!info.isRegular && !m_files.value(name)->isDamaged)) {
            replaceFile(name, nullptr);
            removedAny = true;
        }
    }
    return removedAny;
}

void ICalendarFolder::saveIndex()
{
    m_isIndexStale = false;
    // A folder removed meanwhile (a calendar deleted) leaves no index behind.
    if (folderModifiedNs(m_path) == 0)
        return;
    if (!appendUnsavedToIndex()) {
        icalindex::ICalendarFileTable files = m_files;
        for (const auto &[name, staged] : m_staged) {
            if (files.contains(name))
                files.insert(name, indexedEntryOf(name));
        }
        const Result<qsizetype> saved = icalindex::saveIndex(m_path, files);
        if (!saved)
            consoleLog(QStringLiteral("The calendar index was not saved: %1").arg(saved.error().message()));
        m_isIndexWhole = saved.ok();
        m_indexEntryLines = saved.ok() ? *saved : 0;
        m_indexStatus = icalindex::indexStatusOf(m_path);
    }
    m_unsavedNames.clear();
    m_hasManyUnsaved = false;
}

// A block is added while it is small beside the folder and the entries it and earlier blocks
// replaced stay under a quarter of the folder's files; past that the index is written whole, so
// that reading it costs about what the folder holds.
bool ICalendarFolder::appendUnsavedToIndex()
{
    if (m_hasManyUnsaved || !m_isIndexWhole || icalindex::indexStatusOf(m_path) != m_indexStatus)
        return false;
    QList<QByteArray> names(m_unsavedNames.cbegin(), m_unsavedNames.cend());
    std::sort(names.begin(), names.end(), ICalendarFile::isUtf8NameBefore);
    QList<std::shared_ptr<const ICalendarFile>> changed;
    for (const QByteArray &name : std::as_const(names)) {
        const std::shared_ptr<ICalendarFile> file = indexedEntryOf(QString::fromUtf8(name));
        if (file && (file->parses || file->isDamaged))
            changed.append(file);
    }
    const qsizetype live = m_files.size();
    const qsizetype entryLines = m_indexEntryLines + changed.size();
    if (changed.size() * 8 > live || (entryLines - live) * 4 > live)
        return false;
    if (changed.isEmpty())
        return true;
    const Result<icalindex::IndexFileStatus> appended = icalindex::appendToIndex(m_path, changed, m_indexStatus);
    if (!appended) {
        consoleLog(QStringLiteral("The calendar index is written whole: %1").arg(appended.error().message()));
        return false;
    }
    m_indexStatus = *appended;
    m_indexEntryLines = entryLines;
    return true;
}

std::shared_ptr<ICalendarFile> ICalendarFolder::indexedEntryOf(const QString &fileName) const
{
    const auto staged = m_staged.find(fileName);
    if (staged == m_staged.end() || !m_files.contains(fileName))
        return m_files.value(fileName);
    return descriptionOf(*staged->second.onDisk);
}

// Once the names pass what a block added to the index may hold, the index is to be written whole
// and they are let go: a run that writes every file (a first sync) keeps no set of their names.
void ICalendarFolder::noteUnsaved(const QString &fileName)
{
    m_isIndexStale = true;
    if (m_hasManyUnsaved)
        return;
    // Kept as the file's own name, shared, when the folder holds the file.
    const std::shared_ptr<ICalendarFile> file = m_files.value(fileName);
    m_unsavedNames.insert(file && file->fileName() == fileName ? file->sharedFileNameUtf8() : fileName.toUtf8());
    constexpr qsizetype kUnsavedNamesKept = 1024;
    if (m_unsavedNames.size() > kUnsavedNamesKept && m_unsavedNames.size() * 8 > m_files.size()) {
        m_hasManyUnsaved = true;
        m_unsavedNames = {};
    }
}

void ICalendarFolder::replaceFile(const QString &fileName, std::shared_ptr<ICalendarFile> file)
{
    m_recentlyParsed.removeIf([&fileName](const auto &parsed) { return parsed->fileName() == fileName; });
    if (const std::shared_ptr<ICalendarFile> old = m_files.take(fileName))
        unindexFile(old);
    if (file)
        addFile(fileName, std::move(file));
}

void ICalendarFolder::addFile(const QString &fileName, std::shared_ptr<ICalendarFile> file)
{
    indexFile(file);
    m_files.insert(fileName, std::move(file));
}

void ICalendarFolder::indexFile(const std::shared_ptr<ICalendarFile> &file)
{
    changeFileIndexing(*file, true);
}

void ICalendarFolder::unindexFile(const std::shared_ptr<ICalendarFile> &file)
{
    changeFileIndexing(*file, false);
}

// A file comes into the counts and the indexes made so far, or leaves them, by the same steps. Only
// a file coming in lowers the horizon of the starts the index by moment tells.
void ICalendarFolder::changeFileIndexing(ICalendarFile &file, bool adding)
{
    const int change = adding ? 1 : -1;
    m_damagedFileCount += file.isDamaged ? change : 0;
    if (!file.parses)
        return;
    changeItemIndexes(file, adding);
    m_eventFileCount += file.hasEvents ? change : 0;
    m_todoFileCount += file.hasTodos ? change : 0;
}

// The keys of a file's entries in that index: of its UIDs, of its titles, or of its titles with when
// its events start. Those by moment also lower the horizon of the starts the index tells (noteHorizon).
QList<quint32> ICalendarFolder::itemKeysOf(const ICalendarFile &file, ItemIndex index, bool noteHorizon)
{
    if (index == ByMoment) {
        icalmoments::FileKeys keys = icalmoments::keysOf(file, m_momentZoneField);
        if (noteHorizon)
            m_momentHorizon = std::min(m_momentHorizon, keys.horizon);
        return std::move(keys.keys);
    }
    QList<quint32> keys;
    for (const QString &text : index == ByUid ? file.uids() : file.titles())
        keys.append(ICalendarItemIndex::keyOf(text));
    return keys;
}

ICalendarItemIndex &ICalendarFolder::itemIndex(ItemIndex index)
{
    return index == ByUid ? m_filesByUid : index == ByTitle ? m_filesByTitle : m_filesByMoment;
}

// The keys are walked as a const list: a range-for over a list that may be changed asks it for a
// copy of its own first, and asking even an empty one costs a call for every file and index.
void ICalendarFolder::changeItemIndexes(ICalendarFile &file, bool adding)
{
    for (const ItemIndex index : kItemIndexes) {
        if (!(m_itemIndexes & index))
            continue;
        const QList<quint32> keys = itemKeysOf(file, index, adding);
        ICalendarItemIndex &changed = itemIndex(index);
        for (const quint32 key : keys) {
            if (adding)
                changed.add(key, &file);
            else
                changed.remove(key, &file);
        }
    }
}

// Each index is made when first asked (a listing needs neither, a run looking for a few items by
// their own file names no index by UID) and kept in step from then on; files come into them in the
// order of their names, and are sorted into it once.
void ICalendarFolder::ensureItemIndex(ItemIndex index)
{
    if (m_itemIndexes & index)
        return;
    m_itemIndexes |= index;
    QList<std::shared_ptr<ICalendarFile>> files;
    files.reserve(m_files.size());
    m_files.forEach([&files](std::shared_ptr<ICalendarFile> file) { files.append(std::move(file)); });
    std::sort(files.begin(), files.end(),
              [](const auto &left, const auto &right) { return ICalendarFile::isNamedBefore(*left, *right); });
    ICalendarItemIndex &built = itemIndex(index);
    built.reserve(files.size());
    for (const std::shared_ptr<ICalendarFile> &file : std::as_const(files)) {
        const QList<quint32> keys = file->parses ? itemKeysOf(*file, index, true) : QList<quint32>();
        for (const quint32 key : keys)
            built.addBeforeMerge(key, file.get());
    }
    built.merge();
}

QList<std::shared_ptr<const ICalendarFile>> ICalendarFolder::describedFiles()
{
    lookIfOnlyListed();
    describeStagedFiles();
    QList<std::shared_ptr<const ICalendarFile>> result;
    result.reserve(m_files.size());
    m_files.forEach([&result](std::shared_ptr<ICalendarFile> file) {
        if (file->parses)
            result.append(std::move(file));
    });
    sortByPlace(result);
    return result;
}

QStringList ICalendarFolder::damagedItemUids() const
{
    QStringList uids;
    if (m_damagedFileCount == 0)
        return uids;
    m_files.forEach([&uids](const std::shared_ptr<ICalendarFile> &file) {
        if (file->isDamaged)
            uids += file->uids();
    });
    return uids;
}

// The folder's own pointer to a file its item indexes give, which they hold only while the folder
// holds the file.
std::shared_ptr<ICalendarFile> ICalendarFolder::sharedFile(ICalendarFile &file) const
{
    std::shared_ptr<ICalendarFile> known = m_files.value(file.fileName());
    Q_ASSERT(known.get() == &file);
    return known.get() == &file ? known : nullptr;
}

// Two files with one UID: the one whose name is the UID's own file name wins. The index's entries
// carry checksums and the files' status, so a UID it does not know is in none of the files; a file
// that turns out not to hold the UID (changed since the last look) is described afresh by its
// parse, and the next candidate is tried.
std::shared_ptr<const ICalendarFile> ICalendarFolder::fileForUid(const QString &uid)
{
    lookIfOnlyListed();
    for (qsizetype attempt = 0; attempt < 3; ++attempt) {
        const std::shared_ptr<ICalendarFile> described = indexedFileForUid(uid);
        if (!described)
            return nullptr;
        std::shared_ptr<const ICalendarFile> file = parsedFileAsIs(described);
        if (file && holdsUid(*file, uid))
            return file;
    }
    return nullptr;
}

std::shared_ptr<const ICalendarFile> ICalendarFolder::describedFileForUid(const QString &uid)
{
    lookIfOnlyListed();
    const std::shared_ptr<ICalendarFile> described = indexedFileForUid(uid);
    if (!described || described->needsParsing || !described->parses || m_staged.count(described->fileName()) > 0)
        return nullptr;
    return described;
}

// The file named after the UID wins over any other holding it: found so, it needs no index of
// every UID, which a run that asks for a few items then never builds. One the index described and
// this process has not read yet is read to tell, whatever its entry says.
std::shared_ptr<ICalendarFile> ICalendarFolder::indexedFileForUid(const QString &uid)
{
    std::shared_ptr<ICalendarFile> own = m_files.value(fileNameForUid(uid));
    if (own && own->parses && (own->needsParsing || holdsUid(*own, uid)))
        return own;
    ensureItemIndex(ByUid);
    QList<std::shared_ptr<ICalendarFile>> holders;
    for (ICalendarFile *file : m_filesByUid.filesWithKey(ICalendarItemIndex::keyOf(uid))) {
        if (holdsUid(*file, uid))
            holders.append(sharedFile(*file));
    }
    holders.removeAll(nullptr);
    if (holders.size() < 2)
        return holders.value(0);
    // Several files hold the UID: the file named after it, else the first name in byte order, is the
    // item's, whatever order the index keeps; the others are left alone.
    const QString ownName = fileNameForUid(uid);
    const auto chosen = std::min_element(holders.cbegin(), holders.cend(), [&ownName](const auto &left, const auto &right) {
        return std::pair(left->fileName() != ownName, left->fileName()) < std::pair(right->fileName() != ownName, right->fileName());
    });
    reportSharedUid(uid, holders, **chosen);
    return *chosen;
}

std::shared_ptr<ICalendarSeriesWalks> ICalendarFolder::walksOfFile(const ICalendarFile &file)
{
    // Looked up by the name's bytes: a listing asks this of every series file it reads.
    const std::shared_ptr<ICalendarFile> known = m_files.valueOfUtf8(file.fileNameUtf8());
    return known.get() == &file ? walksOf(*known) : nullptr;
}

bool ICalendarFolder::isLeftAlone(const ICalendarFile &file)
{
    // Compared in place: the library's comparisons are calls, and every file is looked at so.
    if (const std::optional<QByteArrayView> plain = file.plainSingleUid()) {
        const QByteArrayView name = file.fileNameUtf8();
        const std::size_t uidSize = std::size_t(plain->size());
        if (name.size() == plain->size() + 4 && std::memcmp(name.data() + uidSize, ".ics", 4) == 0 &&
            std::memcmp(name.data(), plain->data(), uidSize) == 0)
            return false;
    }
    const QStringList uids = file.uids();
    const QString name = file.fileName();
    for (const QString &uid : uids) {
        if (fileNameForUid(uid) == name)
            return false;
        const std::shared_ptr<ICalendarFile> chosen = indexedFileForUid(uid);
        if (!chosen || chosen->fileNameUtf8() == file.fileNameUtf8())
            return false;
    }
    return !uids.isEmpty();
}

void ICalendarFolder::reportSharedUid(const QString &uid, const QList<std::shared_ptr<ICalendarFile>> &holders,
                                      const ICalendarFile &chosen)
{
    if (m_reportedSharedUids.contains(uid))
        return;
    m_reportedSharedUids.insert(uid);
    QStringList others;
    for (const std::shared_ptr<ICalendarFile> &file : holders) {
        if (file->fileName() != chosen.fileName())
            others.append(file->fileName());
    }
    consoleLog(QStringLiteral("Calendar folder %1: UID %2 is in %3 and in %4; %3 is used, the others are left alone")
                   .arg(m_path, uid, chosen.fileName(), others.join(QStringLiteral(", "))));
}

QList<std::shared_ptr<const ICalendarFile>> ICalendarFolder::describedFilesWithTitle(const QString &title)
{
    lookIfOnlyListed();
    describeStagedFiles();
    ensureItemIndex(ByTitle);
    return filesHoldingTitle(m_filesByTitle.filesWithKey(ICalendarItemIndex::keyOf(title)), title);
}

QList<std::shared_ptr<const ICalendarFile>> ICalendarFolder::filesHoldingTitle(const QList<ICalendarFile *> &found,
                                                                              const QString &title) const
{
    QList<std::shared_ptr<const ICalendarFile>> result;
    for (ICalendarFile *described : found) {
        if (described->titles().contains(title))
            result.append(sharedFile(*described));
    }
    result.removeAll(nullptr);
    return result;
}

// The files under the keys of the title with the start and end: the exact start, the time of day with
// the length, and any moment. The index takes the starts in the zone it was made in, and is made on
// first need: a sync that tests no record for a duplicate has none.
std::optional<QList<std::shared_ptr<const ICalendarFile>>>
ICalendarFolder::describedFilesWithTitleAt(const QString &title, const std::pair<QDateTime, QDateTime> &span)
{
    const auto &[start, end] = span;
    lookIfOnlyListed();
    describeStagedFiles();
    if (!(m_itemIndexes & ByMoment))
        m_momentZoneField = icallisted::systemZoneField();
    ensureItemIndex(ByMoment);
    if (!start.isValid() || !end.isValid() || start.toMSecsSinceEpoch() >= m_momentHorizon ||
        m_momentZoneField != icallisted::systemZoneField())
        return std::nullopt;
    QList<ICalendarFile *> found;
    for (const quint32 key : icalmoments::keysAt(title, start.toMSecsSinceEpoch(), end.toMSecsSinceEpoch())) {
        for (ICalendarFile *file : m_filesByMoment.filesWithKey(key)) {
            if (!found.contains(file))
                found.append(file);
        }
    }
    return filesHoldingTitle(found, title);
}

// Without a watch the folder learns of an edit made in place (the folder's time unchanged) only
// at its next whole look: a file replaced is looked at first, and one another program changed since
// it was read gets the changes laid over its new version, as a staged file's are, not written over.
// One that is gone is written anew, as before: the save's change is not dropped.
Status ICalendarFolder::writeFile(const QString &fileName, std::shared_ptr<icalcomponent_impl> calendar,
                                  FileFlush flush, const ICalendarFile *replaced)
{
    lookIfOnlyListed();
    const bool mayHaveChanged = replaced && replaced->calendar() && !m_watch.isArmed() &&
                                m_staged.count(fileName) == 0 && m_files.contains(fileName);
    if (mayHaveChanged) {
        const FileStat info = statInFolder(AT_FDCWD, m_path + QLatin1Char('/') + fileName);
        if (info.exists && !hasStatus(*replaced, info)) {
            auto wanted = std::make_shared<ICalendarFile>(*replaced);
            wanted->setCalendar(std::move(calendar));
            const StagedFile changed{std::make_shared<const ICalendarFile>(*replaced), std::move(wanted), nullptr};
            return writeOverChangedFile(fileName, changed, info, flush);
        }
    }
    return writeFileAsIs(fileName, std::move(calendar), flush, replaced);
}

Status ICalendarFolder::writeFileAsIs(const QString &fileName, std::shared_ptr<icalcomponent_impl> calendar,
                                      FileFlush flush, const ICalendarFile *replaced)
{
    // A write over a staged file writes over the version on disk, what was staged included; a
    // file written anew drops what was staged.
    const auto staged = m_staged.find(fileName);
    const std::shared_ptr<const ICalendarFile> onDisk = staged != m_staged.end() ? staged->second.onDisk : nullptr;
    if (staged != m_staged.end())
        m_staged.erase(staged);
    if (onDisk && replaced)
        replaced = onDisk.get();
    const Result<QByteArray> text = textToWrite(fileName, calendar, replaced);
    if (!text)
        return text.error();
    const QByteArray &bytes = *text;
    const QString path = m_path + QLatin1Char('/') + fileName;
    const qint64 folderTimeBefore = folderTimeBeforeOwnChange();
    const bool isNew = !m_files.contains(fileName);
    if (isNew && isNameTakenMeanwhile(path, folderTimeBefore)) {
        m_folderModifiedNs = 0;
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: another program made this file meanwhile; it is not written over").arg(path));
    }
    // A new file is the owner's only; one we replace keeps what its owner chose. The writer tells the
    // file's status as it stands under its name: no second look at it by its path.
    struct stat placed = {};
    const auto write = isNew ? writeNewFileAtomically : writeFileAtomically;
    if (const Status written = write(path, bytes, FilePermissions::KeepExisting, flush, &placed); !written)
        return written;
    if (isNew)
        m_watch.expectOwnCreation(fileName);
    takeWrittenFile(fileName, fileStatOf(placed), std::move(calendar), bytes);
    noteOwnChange(folderTimeBefore);
    noteUnsaved(fileName);
    return success();
}

// What we wrote is what the file now holds: it is described from the tree, not parsed again.
void ICalendarFolder::takeWrittenFile(const QString &fileName, const FileStat &info,
                                      std::shared_ptr<icalcomponent_impl> calendar, const QByteArray &bytes)
{
    std::shared_ptr<ICalendarFile> file = newEntry(fileName, info);
    describeItems(*file, calendar.get());
    walksOf(*file);
    auto parsed = std::make_shared<ICalendarFile>(*file);
    parsed->setParse(std::move(calendar), bytes);
    replaceFile(fileName, info.isRegular ? std::move(file) : nullptr);
    if (info.isRegular && parsed->parses)
        keepParsed(std::move(parsed));
}

// Only a folder whose time moved since we last looked at it or wrote it can hold a name we do not
// know: within a batch of our own writes we do not look at it per call, so a new item's name is then
// looked at before it is written, and a file another program made there is left alone.
bool ICalendarFolder::isNameTakenMeanwhile(const QString &path, qint64 folderTimeBefore) const
{
    return folderTimeBefore != 0 && m_folderModifiedNs != 0 && folderTimeBefore != m_folderModifiedNs &&
           statInFolder(AT_FDCWD, path).exists;
}

// The replaced file's text patched with what the calendar changed, the calendar then made the parse of
// that text; else the calendar written whole.
Result<QByteArray> ICalendarFolder::textToWrite(const QString &fileName, std::shared_ptr<icalcomponent_impl> &calendar,
                                               const ICalendarFile *replaced) const
{
    const std::optional<QByteArray> patched =
        replaced ? icalpatch::patchedText(replaced->text(), replaced->calendar().get(), calendar.get()) : std::nullopt;
    if (patched) {
        if (std::shared_ptr<icalcomponent_impl> reparsed = parseCalendarText(*patched, uidForFileWithoutUid(fileName)))
            calendar = std::move(reparsed);
        return *patched;
    }
    QByteArray bytes = icaltext::componentText(calendar.get());
    if (bytes.isEmpty())
        return Error(ErrorCode::DataOther, QStringLiteral("%1: the calendar could not be written as text").arg(fileName));
    return bytes;
}

// A watched folder tells our own change by its name like any other: its time is not needed.
qint64 ICalendarFolder::folderTimeBeforeOwnChange() const
{
    return m_watch.isArmed() ? 0 : folderModifiedNs(m_path);
}

void ICalendarFolder::noteOwnChange(qint64 folderTimeBefore)
{
    m_folderModifiedNs = folderTimeBefore != 0 && folderTimeBefore == m_folderModifiedNs ? folderModifiedNs(m_path) : 0;
}

Status ICalendarFolder::removeFile(const QString &fileName)
{
    lookIfOnlyListed();
    const QString path = m_path + QLatin1Char('/') + fileName;
    const qint64 folderTimeBefore = folderTimeBeforeOwnChange();
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: cannot remove: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    m_staged.erase(fileName);
    replaceFile(fileName, nullptr);
    noteOwnChange(folderTimeBefore);
    m_isIndexStale = true;
    return success();
}

Status ICalendarFolder::stageFile(const QString &fileName, std::shared_ptr<icalcomponent_impl> calendar,
                                  const std::shared_ptr<const ICalendarFile> &replaced, FileFlush flush)
{
    lookIfOnlyListed();
    const auto already = m_staged.find(fileName);
    const bool isKnown = m_files.contains(fileName) && replaced && replaced->calendar() && replaced->fileName() == fileName;
    if (!isKnown || (already == m_staged.end() && !holdsSeveralItems(replaced->calendar().get())))
        return writeFile(fileName, std::move(calendar), flush, replaced.get());
    std::shared_ptr<const ICalendarFile> onDisk = already != m_staged.end() ? already->second.onDisk : replaced;
    StagedFile file{std::move(onDisk), std::make_shared<ICalendarFile>(), stagedItemsOf(calendar.get()), false};
    file.staged->setCalendar(std::move(calendar));
    describeStaged(fileName, file);
    m_staged.insert_or_assign(fileName, std::move(file));
    return success();
}

bool ICalendarFolder::isStagedTree(const QString &fileName, const icalcomponent_impl *calendar) const
{
    const auto staged = m_staged.find(fileName);
    return calendar && staged != m_staged.end() && staged->second.staged->calendar().get() == calendar;
}

// The change is told by its UID's items alone: no copy of the tree, no walk over the other items'
// texts. What it may have changed of the file's reach only widens it here (a listing may parse the
// file for nothing, never miss it); the series walks of the UID are dropped, as they may have moved.
void ICalendarFolder::restageItem(const QString &fileName, const QString &uid)
{
    const auto staged = m_staged.find(fileName);
    const std::shared_ptr<ICalendarFile> description = m_files.value(fileName);
    if (staged == m_staged.end() || !description)
        return;
    StagedFile &file = staged->second;
    ICalendarStagedItems &items = *file.items;
    items.take(uid);
    items.add(uid, kindsOfUid(*description, file.staged->calendar().get(), uid.toUtf8()));
    file.isDescribed = false;
    m_eventFileCount += int(items.events > 0) - int(description->hasEvents);
    m_todoFileCount += int(items.todos > 0) - int(description->hasTodos);
    description->hasEvents = items.events > 0;
    description->hasTodos = items.todos > 0;
    if (const std::shared_ptr<ICalendarSeriesWalks> &walks = description->occurrences()) {
        walks->byUid.remove(uid);
        walks->detachedReaches.reset();
        walks->walks.reset();
    }
    walksOf(*description);
    ICalendarFile &parsed = *file.staged;
    parsed.hasEvents = description->hasEvents;
    parsed.hasTodos = description->hasTodos;
    parsed.reachStart = description->reachStart;
    parsed.reachEnd = description->reachEnd;
    parsed.setOccurrences(description->occurrences());
    // A description that lists the file's one event tells that event's fields: it is made again.
    if (!description->listedEvent().isEmpty())
        describeStaged(fileName, file);
}

bool ICalendarFolder::holdsUid(const ICalendarFile &file, const QString &uid) const
{
    const auto staged = m_staged.find(file.fileName());
    if (staged != m_staged.end() && m_files.contains(file.fileName()))
        return staged->second.items->byUid.contains(uid);
    return file.uids().contains(uid);
}

void ICalendarFolder::describeStagedFiles()
{
    for (auto &[fileName, file] : m_staged) {
        if (!file.isDescribed && m_files.contains(fileName))
            describeStaged(fileName, file);
    }
}

// The staged tree described whole, the walks of its series kept (those a change moved were dropped).
void ICalendarFolder::describeStaged(const QString &fileName, StagedFile &file)
{
    std::shared_ptr<ICalendarFile> description = entryWithStatusOf(*file.onDisk);
    describeItems(*description, file.staged->calendar().get());
    description->setOccurrences(file.staged->occurrences());
    walksOf(*description);
    auto parsed = std::make_shared<ICalendarFile>(*description);
    parsed->setCalendar(file.staged->calendar());
    replaceFile(fileName, std::move(description));
    file.staged = std::move(parsed);
    file.isDescribed = true;
}

Status ICalendarFolder::writeStagedFiles(FileFlush flush)
{
    std::map<QString, StagedFile> staged;
    staged.swap(m_staged);
    Status status = success();
    for (auto &[fileName, file] : staged) {
        if (const Status written = writeStagedFile(fileName, std::move(file), flush); !written && status)
            status = written;
    }
    return status;
}

// The file is written over the version it was read in while that is what the disk still holds.
Status ICalendarFolder::writeStagedFile(const QString &fileName, StagedFile staged, FileFlush flush)
{
    if (!m_files.contains(fileName))
        return success();
    const FileStat info = statInFolder(AT_FDCWD, m_path + QLatin1Char('/') + fileName);
    const Status written = hasStatus(*staged.onDisk, info)
                               ? writeFileAsIs(fileName, staged.staged->calendar(), flush, staged.onDisk.get())
                               : writeOverChangedFile(fileName, staged, info, flush);
    // A write that failed leaves the disk as it was: the staged changes wait for the next call.
    if (!written && m_files.contains(fileName) && !m_files.value(fileName)->isDamaged)
        m_staged.insert_or_assign(fileName, std::move(staged));
    return written;
}

Status ICalendarFolder::writeOverChangedFile(const QString &fileName, const StagedFile &staged, const FileStat &info,
                                             FileFlush flush)
{
    if (!info.exists) {
        consoleLog(QStringLiteral("Calendar file %1/%2 was removed while changes to it waited to be written; it "
                                  "stays removed")
                       .arg(m_path, fileName));
        replaceFile(fileName, nullptr);
        m_isIndexStale = true;
        return success();
    }
    auto current = std::make_shared<ICalendarFile>(*newEntry(fileName, info));
    if (info.isRegular)
        parseInto(*current);
    if (!current->calendar()) {
        keepItemsOfDamaged(*current, staged.onDisk.get());
        replaceFile(fileName, descriptionOf(*current));
        noteUnsaved(fileName);
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("%1/%2: changed by another program and no longer a calendar; the changes made "
                                    "to it are not written over it")
                         .arg(m_path, fileName));
    }
    consoleLog(QStringLiteral("Calendar file %1/%2 changed while changes to it waited to be written; they are "
                              "written over its new version")
                   .arg(m_path, fileName));
    std::shared_ptr<icalcomponent_impl> merged(
        icalpatch::rebasedCalendar(staged.onDisk->calendar().get(), staged.staged->calendar().get(), current->calendar().get()),
        freeIcalComponent);
    return writeFileAsIs(fileName, std::move(merged), flush, current.get());
}

Status ICalendarFolder::syncFolderToDisk(const QString &path)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot open the folder").arg(path));
    const int result = ::fsync(descriptor);
    ::close(descriptor);
    if (result != 0)
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: cannot sync the folder").arg(path));
    return success();
}

QString ICalendarFolder::fileNameForUid(const QString &uid)
{
    constexpr qsizetype kMaxStemLength = 200;
    const auto safeCharacter = [](QChar character) {
        const bool safe = character.isLetterOrNumber() || character == QLatin1Char('-') ||
                          character == QLatin1Char('_') || character == QLatin1Char('@') ||
                          character == QLatin1Char('.');
        return safe && character.unicode() < 128 ? character : QChar(QLatin1Char('_'));
    };
    // The name is filled in place, in one allocation.
    const bool needsPrefix = uid.isEmpty() || uid.startsWith(QLatin1Char('.'));
    const qsizetype taken = std::min(uid.size(), kMaxStemLength - (needsPrefix ? 1 : 0));
    QString name(taken + (needsPrefix ? 1 : 0) + 4, Qt::Uninitialized);
    QChar *out = name.data();
    if (needsPrefix)
        *out++ = QLatin1Char('_');
    out = std::transform(uid.cbegin(), uid.cbegin() + taken, out, safeCharacter);
    for (const char character : {'.', 'i', 'c', 's'})
        *out++ = QLatin1Char(character);
    return name;
}

QString ICalendarFolder::displayNameOfFolder(const QString &path)
{
    const Result<QByteArray> bytes = readWholeFileWithoutFollowing(path + QStringLiteral("/displayname"), kMaxDisplayNameBytes);
    const QString title = bytes ? QString::fromUtf8(*bytes).trimmed() : QString();
    if (!title.isEmpty())
        return title;
    return path.section(QLatin1Char('/'), -1);
}

} // namespace platform
