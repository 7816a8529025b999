#include "platform/addressbook/VCardFolder.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTimeZone>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr quint32 kIndexMagic = 0x48414249;
constexpr quint32 kIndexVersion = 3;
constexpr qint64 kMaxIndexBytes = 512LL * 1024 * 1024;
constexpr quint32 kMaxIndexEntries = 5000000;

QString systemMessage(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

qint64 nanosecondsOf(const struct timespec &time)
{
    return qint64(time.tv_sec) * 1000000000LL + qint64(time.tv_nsec);
}

void takeStatus(VCardFileEntry &entry, const struct stat &status)
{
    entry.size = qint64(status.st_size);
    entry.modificationNs = nanosecondsOf(status.st_mtim);
    entry.changeNs = nanosecondsOf(status.st_ctim);
    entry.inode = quint64(status.st_ino);
}

bool isCardFileName(const QString &name)
{
    return !name.startsWith(QLatin1Char('.')) && name.endsWith(QLatin1String(".vcf"), Qt::CaseInsensitive);
}

QString stemOf(const QString &fileName)
{
    return fileName.left(fileName.size() - 4);
}

QDataStream &operator<<(QDataStream &out, const VCardFileEntry &entry)
{
    const VCardSummary &summary = entry.summary;
    out << entry.fileName << entry.size << entry.modificationNs << entry.changeNs << entry.inode << entry.isReadable
        << entry.problem << summary.uniqueId << summary.isGroup
        << qint64(summary.modificationDate.isValid() ? summary.modificationDate.toMSecsSinceEpoch() : -1)
        << summary.firstName << summary.lastName << summary.organization << summary.groupName << summary.emails;
    return out;
}

QDataStream &operator>>(QDataStream &in, VCardFileEntry &entry)
{
    VCardSummary &summary = entry.summary;
    qint64 modifiedMs = -1;
    in >> entry.fileName >> entry.size >> entry.modificationNs >> entry.changeNs >> entry.inode >> entry.isReadable >>
        entry.problem >> summary.uniqueId >> summary.isGroup >> modifiedMs >> summary.firstName >> summary.lastName >>
        summary.organization >> summary.groupName >> summary.emails;
    summary.modificationDate = modifiedMs >= 0 ? QDateTime::fromMSecsSinceEpoch(modifiedMs, Qt::UTC) : QDateTime();
    return in;
}

// Reads a regular file without following a link, up to one byte past the limit.
Result<QByteArray> readRegularFile(const QString &path)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return Error(ErrorCode::IoOther, QStringLiteral("cannot open: %1").arg(systemMessage(errno)));
    struct stat status = {};
    QByteArray bytes;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return Error(ErrorCode::IoOther, QStringLiteral("not a regular file"));
    }
    if (status.st_size > VCard::kMaxCardBytes) {
        ::close(descriptor);
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("the file has %1 bytes, more than %2").arg(status.st_size).arg(VCard::kMaxCardBytes));
    }
    bytes.resize(qsizetype(status.st_size) + 1);
    qsizetype total = 0;
    while (total < bytes.size()) {
        const ssize_t chunk = ::read(descriptor, bytes.data() + total, size_t(bytes.size() - total));
        if (chunk < 0 && errno == EINTR)
            continue;
        if (chunk <= 0)
            break;
        total += chunk;
    }
    ::close(descriptor);
    if (total > VCard::kMaxCardBytes)
        return Error(ErrorCode::DataMalformed, QStringLiteral("the file grew past %1 bytes").arg(VCard::kMaxCardBytes));
    bytes.truncate(total);
    return bytes;
}

} // namespace

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
    : m_folderPath(std::move(folderPath)), m_indexPath(std::move(indexPath))
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

Result<QList<VCardFileEntry>> VCardFolder::listFolder() const
{
    DIR *directory = ::opendir(QFile::encodeName(m_folderPath).constData());
    if (!directory)
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: cannot list: %2").arg(m_folderPath, systemMessage(errno)));
    const int descriptor = ::dirfd(directory);
    QList<VCardFileEntry> listed;
    while (const dirent *item = ::readdir(directory)) {
        const QString name = QFile::decodeName(item->d_name);
        struct stat status = {};
        if (!isCardFileName(name) || ::fstatat(descriptor, item->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(status.st_mode))
            continue;
        VCardFileEntry entry;
        entry.fileName = name;
        takeStatus(entry, status);
        listed.append(std::move(entry));
    }
    ::closedir(directory);
    std::sort(listed.begin(), listed.end(),
              [](const VCardFileEntry &first, const VCardFileEntry &second) { return first.fileName < second.fileName; });
    return listed;
}

VCardFileEntry VCardFolder::readEntry(VCardFileEntry entry, QHash<QString, VCard> &parsedCards) const
{
    const QString previousId = m_index.value(entry.fileName).summary.uniqueId;
    entry.summary = VCardSummary();
    entry.summary.uniqueId = previousId.isEmpty() ? stemOf(entry.fileName) : previousId;
    Result<VCard> card = readCard(entry.fileName);
    if (!card) {
        entry.isReadable = false;
        entry.problem = card.error().message();
        return entry;
    }
    const QDateTime fileTime = QDateTime::fromMSecsSinceEpoch(entry.modificationNs / 1000000, Qt::UTC);
    entry.summary = ABVCardMapping::summarize(*card, stemOf(entry.fileName), fileTime);
    entry.isReadable = true;
    entry.problem.clear();
    parsedCards.insert(entry.fileName, std::move(*card));
    return entry;
}

Result<VCardFolder::Snapshot> VCardFolder::refresh()
{
    const std::lock_guard lock(m_mutex);
    loadIndexLocked();
    Result<QList<VCardFileEntry>> listed = listFolder();
    if (!listed)
        return listed.error();
    Snapshot snapshot;
    snapshot.entries.reserve(listed->size());
    bool hasChanged = false;
    for (VCardFileEntry &found : *listed) {
        const auto known = m_index.constFind(found.fileName);
        const bool isKnown = known != m_index.constEnd() && known->stamp() == found.stamp();
        if (isKnown && known->isReadable) {
            snapshot.entries.append(*known);
            continue;
        }
        // A file that could not be read is tried again: a permission or a shortage of descriptors may
        // have passed without touching the file.
        VCardFileEntry entry = readEntry(std::move(found), snapshot.parsedCards);
        hasChanged = hasChanged || !isKnown || entry.isReadable || entry.problem != known->problem;
        m_index.insert(entry.fileName, entry);
        snapshot.entries.append(std::move(entry));
    }
    // Every listed file is in the index now; more entries there are files that went away.
    if (m_index.size() != snapshot.entries.size()) {
        hasChanged = true;
        const auto isListed = [&snapshot](const QString &name) {
            const auto found = std::lower_bound(
                snapshot.entries.cbegin(), snapshot.entries.cend(), name,
                [](const VCardFileEntry &entry, const QString &wanted) { return entry.fileName < wanted; });
            return found != snapshot.entries.cend() && found->fileName == name;
        };
        m_index.removeIf([&isListed](const auto &indexed) { return !isListed(indexed.key()); });
    }
    if (hasChanged)
        saveIndexLocked();
    return snapshot;
}

Result<VCard> VCardFolder::readCard(const QString &fileName) const
{
    const Result<QByteArray> bytes = readRegularFile(m_folderPath + QLatin1Char('/') + fileName);
    if (!bytes)
        return bytes.error().withContext(fileName);
    Result<VCard> card = VCard::parse(*bytes);
    if (!card)
        return card.error().withContext(fileName);
    return card;
}

Status VCardFolder::writeOneFile(const VCardFileWrite &write, VCardFileEntry &entry) const
{
    const QByteArray target = QFile::encodeName(m_folderPath + QLatin1Char('/') + write.fileName);
    QByteArray pattern = target + ".XXXXXX";
    // mkstemp makes the file readable and writable by its owner alone.
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0)
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("cannot create a temporary file: %1").arg(systemMessage(errno)));
    struct stat status = {};
    const bool isWritten = writeToDescriptor(descriptor, write.bytes) == write.bytes.size() && ::fstat(descriptor, &status) == 0;
    const int writeError = errno;
    const bool isClosed = ::close(descriptor) == 0;
    if (!isWritten || !isClosed || ::rename(pattern.constData(), target.constData()) != 0) {
        const int failure = isWritten && isClosed ? errno : writeError;
        ::unlink(pattern.constData());
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("cannot write: %1").arg(systemMessage(failure)));
    }
    // The rename moves the file's change time; the index keeps the status the next refresh will see.
    struct stat placed = {};
    if (::lstat(target.constData(), &placed) == 0 && placed.st_ino == status.st_ino)
        status = placed;
    entry.fileName = write.fileName;
    takeStatus(entry, status);
    entry.isReadable = true;
    entry.problem.clear();
    entry.summary = write.summary;
    return success();
}

QHash<QString, QString> VCardFolder::writeFiles(const QList<VCardFileWrite> &writes, const QStringList &removals)
{
    const std::lock_guard lock(m_mutex);
    loadIndexLocked();
    QHash<QString, QString> failures;
    for (const VCardFileWrite &write : writes) {
        VCardFileEntry entry;
        const Status written = writeOneFile(write, entry);
        if (written)
            m_index.insert(write.fileName, entry);
        else
            failures.insert(write.fileName, written.error().message());
    }
    for (const QString &name : removals) {
        const QByteArray path = QFile::encodeName(m_folderPath + QLatin1Char('/') + name);
        struct stat status = {};
        if (::lstat(path.constData(), &status) == 0 && S_ISREG(status.st_mode) && ::unlink(path.constData()) != 0)
            failures.insert(name, QStringLiteral("cannot remove: %1").arg(systemMessage(errno)));
        else
            m_index.remove(name);
    }
    // One sync of the file system for the whole batch, rather than one per file.
    const int folder = ::open(QFile::encodeName(m_folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::syncfs(folder);
        ::close(folder);
    }
    // Rewriting the whole index after every batch would cost as much as the store per batch; it
    // follows on flushIndex.
    m_isIndexDirty = true;
    return failures;
}

std::optional<VCardFileStamp> VCardFolder::indexedStamp(const QString &fileName) const
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_index.constFind(fileName);
    if (found == m_index.constEnd())
        return std::nullopt;
    return found->stamp();
}

void VCardFolder::flushIndex()
{
    const std::lock_guard lock(m_mutex);
    if (m_isIndexDirty)
        saveIndexLocked();
}

void VCardFolder::loadIndexLocked()
{
    if (m_isIndexLoaded)
        return;
    m_isIndexLoaded = true;
    if (m_indexPath.isEmpty())
        return;
    const Result<QByteArray> bytes = readWholeFile(m_indexPath, kMaxIndexBytes);
    if (!bytes)
        return;
    // A damaged or foreign index is dropped whole: every file is then read again. The digest catches
    // damage that would still parse, such as a changed letter in a name.
    QDataStream in(*bytes);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0, version = 0, count = 0;
    QByteArray digest;
    QString folderPath;
    in >> magic >> version >> digest;
    const QByteArray payload = bytes->mid(in.device()->pos());
    if (in.status() != QDataStream::Ok || magic != kIndexMagic || version != kIndexVersion ||
        digest != QCryptographicHash::hash(payload, QCryptographicHash::Sha256)) {
        return;
    }
    in >> folderPath >> count;
    if (folderPath != m_folderPath || count > kMaxIndexEntries)
        return;
    QHash<QString, VCardFileEntry> entries;
    entries.reserve(qsizetype(count));
    for (quint32 index = 0; index < count && in.status() == QDataStream::Ok; ++index) {
        VCardFileEntry entry;
        in >> entry;
        entries.insert(entry.fileName, entry);
    }
    if (in.status() == QDataStream::Ok)
        m_index = entries;
}

void VCardFolder::saveIndexLocked()
{
    m_isIndexDirty = false;
    if (m_indexPath.isEmpty())
        return;
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << m_folderPath << quint32(m_index.size());
    for (const VCardFileEntry &entry : m_index)
        out << entry;
    QByteArray bytes;
    QDataStream header(&bytes, QIODevice::WriteOnly);
    header.setVersion(QDataStream::Qt_6_0);
    header << kIndexMagic << kIndexVersion << QCryptographicHash::hash(payload, QCryptographicHash::Sha256);
    bytes += payload;
    // The index holds names and addresses: a private file in a private folder.
    const QString indexFolder = QFileInfo(m_indexPath).absolutePath();
    QDir().mkpath(QFileInfo(indexFolder).absolutePath());
    ::mkdir(QFile::encodeName(indexFolder).constData(), 0700);
    // The index only spares reading; a failed write means the next refresh reads more.
    (void)writeFileAtomically(m_indexPath, bytes, FilePermissions::OwnerOnly);
}

} // namespace platform
