#include "platform/eventkit/ICalendarFolder.h"

#include "platform/eventkit/ICalendarFolderIndex.h"

#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <QFile>
#include <QSet>

#include <libical/ical.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Calendar items are small; a file beyond this is not an item of ours and is skipped unread.
constexpr qint64 kMaxItemFileBytes = 4 * 1024 * 1024;
constexpr qint64 kMaxDisplayNameBytes = 4096;
// A folder with more files than this is read up to the bound; the rest are logged and skipped.
constexpr int kMaxFilesPerFolder = 200000;
constexpr std::chrono::seconds kRescanInterval{1};

struct FileStat
{
    bool isRegular = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 inode = 0;
    qint64 changedNs = 0;
};

// lstat, so that a link is never followed into another folder.
FileStat statWithoutFollowing(const QString &path)
{
    struct stat info = {};
    FileStat result;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return result;
    result.isRegular = S_ISREG(info.st_mode);
    result.size = qint64(info.st_size);
    result.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
    result.inode = qint64(info.st_ino);
    result.changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + qint64(info.st_ctim.tv_nsec);
    return result;
}

// A file that other programs rewrite gets a new inode (a rename) or a new change time (in place).
bool hasStatus(const ICalendarFile &file, const FileStat &info)
{
    return file.size == info.size && file.modifiedNs == info.modifiedNs && file.inode == info.inode &&
           file.changedNs == info.changedNs;
}

// A file that parsed, or one the index describes and that parses when it is read.
bool isIndexed(const ICalendarFile &file)
{
    return file.calendar || file.needsParsing;
}

std::shared_ptr<ICalendarFile> newEntry(const QString &fileName, const FileStat &info)
{
    auto file = std::make_shared<ICalendarFile>();
    file->fileName = fileName;
    file->size = info.size;
    file->modifiedNs = info.modifiedNs;
    file->inode = info.inode;
    file->changedNs = info.changedNs;
    return file;
}

qint64 folderModifiedNs(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
}

Result<QByteArray> readRegularFile(const QString &path, qint64 maxBytes)
{
    const FileStat info = statWithoutFollowing(path);
    if (!info.isRegular)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: not a regular file").arg(path));
    if (info.size > maxBytes)
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("%1: %2 bytes exceed the limit").arg(path).arg(info.size));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: cannot open: %2").arg(path, file.errorString()));
    return file.read(maxBytes + 1).left(maxBytes);
}

bool isItemKind(icalcomponent_kind kind)
{
    return kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT;
}

} // namespace

void freeIcalComponent(icalcomponent_impl *component)
{
    if (component)
        icalcomponent_free(component);
}

ICalendarFolder::ICalendarFolder(const QString &path) : m_path(path) {}

// What our own writes changed since the last look is kept for the next run.
ICalendarFolder::~ICalendarFolder()
{
    if (m_isIndexStale && m_hasLookedBefore)
        saveIndex();
}

std::shared_ptr<icalcomponent_impl> ICalendarFolder::parseCalendarText(const QByteArray &text)
{
    if (text.trimmed().isEmpty())
        return nullptr;
    icalcomponent *root = icalparser_parse_string(text.constData());
    std::shared_ptr<icalcomponent_impl> calendar(root, freeIcalComponent);
    if (!root || icalcomponent_isa(root) != ICAL_VCALENDAR_COMPONENT)
        return nullptr;
    for (icalcomponent *item = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        if (isItemKind(icalcomponent_isa(item)) && icalcomponent_get_uid(item))
            return calendar;
    }
    return nullptr;
}

void ICalendarFolder::parseInto(ICalendarFile &file) const
{
    file.needsParsing = false;
    file.calendar.reset();
    file.uids.clear();
    file.titles.clear();
    file.hasEvents = file.hasTodos = false;
    const QString path = m_path + QLatin1Char('/') + file.fileName;
    const Result<QByteArray> bytes = readRegularFile(path, kMaxItemFileBytes);
    if (!bytes) {
        consoleLog(QStringLiteral("Skipping calendar file: %1").arg(bytes.error().message()));
        return;
    }
    file.calendar = parseCalendarText(*bytes);
    if (!file.calendar) {
        consoleLog(QStringLiteral("Skipping calendar file %1: it holds no event or to-do that parses").arg(path));
        return;
    }
    describeItems(file);
}

std::shared_ptr<ICalendarFile> ICalendarFolder::ensureParsed(const std::shared_ptr<ICalendarFile> &file)
{
    if (!file->needsParsing)
        return file;
    auto parsed = std::make_shared<ICalendarFile>(*file);
    parseInto(*parsed);
    replaceFile(parsed->fileName, parsed);
    return parsed;
}

void ICalendarFolder::describeItems(ICalendarFile &file)
{
    icalcomponent *root = file.calendar.get();
    for (icalcomponent *item = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        const char *uid = icalcomponent_get_uid(item);
        if (!isItemKind(kind) || !uid)
            continue;
        file.hasEvents = file.hasEvents || kind == ICAL_VEVENT_COMPONENT;
        file.hasTodos = file.hasTodos || kind == ICAL_VTODO_COMPONENT;
        const QString text = QString::fromUtf8(uid);
        if (!file.uids.contains(text))
            file.uids.append(text);
        const QString title = QString::fromUtf8(icalcomponent_get_summary(item));
        if (kind == ICAL_VEVENT_COMPONENT && !file.titles.contains(title))
            file.titles.append(title);
    }
}

// Files are re-read only when their size or modification time changed, and only their entries in
// the indexes change. Programs that share these folders replace files whole
// (a rename), which changes the folder's own time: while that stays the same, the files are looked
// at again once a second at most, so a burst of store calls does not stat every file each time.
void ICalendarFolder::refresh()
{
    const qint64 folderTime = folderModifiedNs(m_path);
    const auto now = std::chrono::steady_clock::now();
    if (folderTime != 0 && folderTime == m_folderModifiedNs && now - m_lastScan < kRescanInterval)
        return;
    m_folderModifiedNs = folderTime;
    m_lastScan = now;
    const Result<QStringList> names = FileSystem::listFolder(m_path);
    if (!names) {
        for (const QString &name : m_files.keys())
            replaceFile(name, nullptr);
        return;
    }
    bool isIndexWrong = false;
    if (!m_hasLookedBefore) {
        auto described = icalindex::loadIndex(m_path);
        isIndexWrong = !described;
        m_described = described.value_or(QHash<QString, std::shared_ptr<ICalendarFile>>());
    }
    // The index is saved when this look found what it did not tell; our own writes wait for the
    // folder to be let go, so a burst of saves does not write it each time.
    m_hasLookedBefore = true;
    const QSet<QString> seen = refreshFiles(*names, isIndexWrong);
    m_described.clear();
    for (const QString &name : m_files.keys()) {
        if (!seen.contains(name)) {
            replaceFile(name, nullptr);
            isIndexWrong = true;
        }
    }
    if (isIndexWrong)
        saveIndex();
}

// Brings the entry of each item file up to date: kept while its status holds, else taken from the
// index when that knew it in this status, else read.
QSet<QString> ICalendarFolder::refreshFiles(const QStringList &names, bool &isIndexWrong)
{
    QSet<QString> seen;
    m_hasVCards = false;
    for (const QString &name : names) {
        m_hasVCards = m_hasVCards || name.endsWith(QLatin1String(".vcf"), Qt::CaseInsensitive);
        if (!name.endsWith(QLatin1String(".ics"), Qt::CaseInsensitive))
            continue;
        if (seen.size() >= kMaxFilesPerFolder) {
            consoleLog(
                QStringLiteral("%1: more than %2 files; the rest are skipped").arg(m_path).arg(kMaxFilesPerFolder));
            break;
        }
        const FileStat info = statWithoutFollowing(m_path + QLatin1Char('/') + name);
        if (!info.isRegular)
            continue;
        seen.insert(name);
        const auto known = m_files.constFind(name);
        if (known != m_files.constEnd() && hasStatus(**known, info))
            continue;
        const std::shared_ptr<ICalendarFile> described = m_described.value(name);
        if (described && hasStatus(*described, info)) {
            replaceFile(name, described);
            m_hasUnparsedFiles = true;
            continue;
        }
        std::shared_ptr<ICalendarFile> file = newEntry(name, info);
        parseInto(*file);
        replaceFile(name, std::move(file));
        isIndexWrong = true;
    }
    return seen;
}

void ICalendarFolder::saveIndex()
{
    m_isIndexStale = false;
    // A folder removed meanwhile (a calendar deleted) leaves no index behind.
    if (folderModifiedNs(m_path) == 0)
        return;
    if (const Status saved = icalindex::saveIndex(m_path, m_files); !saved)
        consoleLog(QStringLiteral("The calendar index was not saved: %1").arg(saved.error().message()));
}

void ICalendarFolder::replaceFile(const QString &fileName, std::shared_ptr<ICalendarFile> file)
{
    if (const std::shared_ptr<ICalendarFile> old = m_files.take(fileName))
        unindexFile(old);
    if (!file)
        return;
    indexFile(file);
    m_files.insert(fileName, std::move(file));
}

void ICalendarFolder::indexFile(const std::shared_ptr<ICalendarFile> &file)
{
    if (!isIndexed(*file))
        return;
    for (const QString &uid : std::as_const(file->uids))
        m_filesByUid[uid].append(file);
    for (const QString &title : std::as_const(file->titles))
        m_filesByTitle[title].append(file);
    m_eventFileCount += file->hasEvents ? 1 : 0;
    m_todoFileCount += file->hasTodos ? 1 : 0;
}

void ICalendarFolder::unindexFile(const std::shared_ptr<ICalendarFile> &file)
{
    if (!isIndexed(*file))
        return;
    const auto drop = [&file](QHash<QString, QList<std::shared_ptr<ICalendarFile>>> &index, const QString &key) {
        const auto found = index.find(key);
        if (found == index.end())
            return;
        found->removeOne(file);
        if (found->isEmpty())
            index.erase(found);
    };
    for (const QString &uid : std::as_const(file->uids))
        drop(m_filesByUid, uid);
    for (const QString &title : std::as_const(file->titles))
        drop(m_filesByTitle, title);
    m_eventFileCount -= file->hasEvents ? 1 : 0;
    m_todoFileCount -= file->hasTodos ? 1 : 0;
}

QList<std::shared_ptr<const ICalendarFile>> ICalendarFolder::parsedFiles()
{
    parseAll();
    QList<std::shared_ptr<const ICalendarFile>> result;
    for (const std::shared_ptr<ICalendarFile> &file : std::as_const(m_files)) {
        if (file->calendar)
            result.append(file);
    }
    return result;
}

void ICalendarFolder::parseAll()
{
    if (!m_hasUnparsedFiles)
        return;
    for (const std::shared_ptr<ICalendarFile> &file : m_files.values())
        ensureParsed(file);
    m_hasUnparsedFiles = false;
}

// Two files with one UID: the one whose name is the UID's own file name wins. An index that does
// not hold the UID, or holds it for a file that turns out not to, may be wrong: the whole folder is
// parsed before the answer is no.
std::shared_ptr<const ICalendarFile> ICalendarFolder::fileForUid(const QString &uid)
{
    std::shared_ptr<ICalendarFile> file = indexedFileForUid(uid);
    if (file && file->needsParsing)
        file = ensureParsed(file);
    if ((!file || !file->uids.contains(uid)) && m_hasUnparsedFiles) {
        parseAll();
        file = indexedFileForUid(uid);
    }
    return file && file->calendar && file->uids.contains(uid) ? file : nullptr;
}

std::shared_ptr<ICalendarFile> ICalendarFolder::indexedFileForUid(const QString &uid) const
{
    const auto found = m_filesByUid.constFind(uid);
    if (found == m_filesByUid.constEnd())
        return nullptr;
    const QString ownName = found->size() > 1 ? fileNameForUid(uid) : QString();
    for (const std::shared_ptr<ICalendarFile> &file : *found) {
        if (file->fileName == ownName)
            return file;
    }
    return found->first();
}

// Titles decide which events are compared as duplicates: they are taken from the files themselves.
QList<std::shared_ptr<const ICalendarFile>> ICalendarFolder::filesWithTitle(const QString &title)
{
    parseAll();
    QList<std::shared_ptr<const ICalendarFile>> result;
    for (const std::shared_ptr<ICalendarFile> &file : m_filesByTitle.value(title))
        result.append(file);
    return result;
}

Status ICalendarFolder::writeFile(const QString &fileName, icalcomponent_impl *calendar)
{
    char *text = icalcomponent_as_ical_string_r(calendar);
    if (!text)
        return Error(ErrorCode::DataOther,
                     QStringLiteral("%1: the calendar could not be written as text").arg(fileName));
    const QByteArray bytes(text);
    std::free(text);
    const QString path = m_path + QLatin1Char('/') + fileName;
    const bool isNew = !statWithoutFollowing(path).isRegular;
    const qint64 folderTimeBefore = folderModifiedNs(m_path);
    if (const Status written = writeFileAtomically(path, bytes); !written)
        return written;
    if (isNew)
        ::chmod(QFile::encodeName(path).constData(), 0600);
    // What we wrote is what the file now holds: it is taken as read, not parsed again.
    const FileStat info = statWithoutFollowing(path);
    std::shared_ptr<ICalendarFile> file = newEntry(fileName, info);
    file->calendar = std::shared_ptr<icalcomponent_impl>(icalcomponent_new_clone(calendar), freeIcalComponent);
    describeItems(*file);
    if (file->uids.isEmpty())
        file->calendar.reset();
    replaceFile(fileName, info.isRegular ? std::move(file) : nullptr);
    noteOwnChange(folderTimeBefore);
    m_isIndexStale = true;
    return success();
}

void ICalendarFolder::noteOwnChange(qint64 folderTimeBefore)
{
    m_folderModifiedNs = folderTimeBefore != 0 && folderTimeBefore == m_folderModifiedNs ? folderModifiedNs(m_path) : 0;
}

Status ICalendarFolder::removeFile(const QString &fileName)
{
    const QString path = m_path + QLatin1Char('/') + fileName;
    const qint64 folderTimeBefore = folderModifiedNs(m_path);
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: cannot remove: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    replaceFile(fileName, nullptr);
    noteOwnChange(folderTimeBefore);
    m_isIndexStale = true;
    return success();
}

Status ICalendarFolder::syncToDisk()
{
    const int descriptor = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot open the folder").arg(m_path));
    const int result = ::fsync(descriptor);
    ::close(descriptor);
    if (result != 0)
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: cannot sync the folder").arg(m_path));
    return success();
}

QString ICalendarFolder::fileNameForUid(const QString &uid)
{
    QString name;
    for (const QChar character : uid) {
        const bool safe = character.isLetterOrNumber() || character == QLatin1Char('-') ||
                          character == QLatin1Char('_') || character == QLatin1Char('@') ||
                          character == QLatin1Char('.');
        name.append(safe && character.unicode() < 128 ? character : QLatin1Char('_'));
    }
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QLatin1Char('_'));
    return name.left(200) + QStringLiteral(".ics");
}

QString ICalendarFolder::displayNameOfFolder(const QString &path)
{
    const Result<QByteArray> bytes = readRegularFile(path + QStringLiteral("/displayname"), kMaxDisplayNameBytes);
    const QString title = bytes ? QString::fromUtf8(*bytes).trimmed() : QString();
    if (!title.isEmpty())
        return title;
    return path.section(QLatin1Char('/'), -1);
}

} // namespace platform
