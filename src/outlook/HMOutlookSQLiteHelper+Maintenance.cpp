// Outlook's files: where they lie, counts of record files created before a date, queries and
// compaction of the database, and the default folders of a profile.
#include "outlook/HMOutlookSQLiteHelper.h"

#include "foundation/Lumberjack/DDLog.h"
#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMResultSet.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/FileIO.h"
#include "sync/HMProfile.h"

#include <QDir>
#include <QDirIterator>
#include <QMutex>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QUrl>

#include <sqlite3.h>

#include <deque>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

using platform::NSAppleEventDescriptor;
using Kind = HMOutlookSQLiteHelper::Kind;

namespace {

const QString kDatabaseName = QStringLiteral("Outlook.sqlite");
constexpr qint64 kMaxDataFileBytes = 16LL * 1024 * 1024;

QMutex s_saverLock;
HMOutlookSQLiteHelper::ProfileSaver s_saver;

struct FileStamp
{
    bool isFile = false;
    bool isFolder = false;
    qint64 created = 0; // the birth time where the file system keeps one, else the modification time (ms since 1970)
};

// The name in the folder, its link (if it is one) not followed.
std::optional<FileStamp> fileStamp(int folder, const char *name)
{
    struct statx info {};
    if (::statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_BTIME | STATX_MTIME, &info) != 0)
        return std::nullopt;
    const struct statx_timestamp &stamp = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
    return FileStamp{S_ISREG(info.stx_mode), S_ISDIR(info.stx_mode), qint64(stamp.tv_sec) * 1000 + stamp.tv_nsec / 1000000};
}

std::shared_ptr<FMDatabase> openExisting(const QString &path)
{
    if (path.isEmpty())
        return nullptr;
    std::shared_ptr<FMDatabase> database = FMDatabase::databaseWithPath(path);
    if (!database->openWithFlags(SQLITE_OPEN_READWRITE))
        return nullptr;
    return database;
}

struct FolderWords
{
    const char *className;
    const char *defaultName;
};

const FolderWords kFolderWords[] = {
    {"address book", "Address Book"}, {"calendar", "Calendar"}, {"task folder", "Tasks"}, {"note folder", "Notes"}};

// The folder a profile gets: the smallest id among the folders of the default name (among all
// folders when none has it); "allFolders" when there is none or it is not above 0.
QString chooseDefaultFolder(const NSAppleEventDescriptor &folders, const QString &defaultName)
{
    QMap<QString, QString> names;
    for (qint64 i = 1; i <= folders.numberOfItems(); ++i) {
        const NSAppleEventDescriptor folder = folders.descriptorAtIndex(i);
        const QString id = folder.descriptorForKeyword(platform::Keyword::ID).stringValue();
        const QString name = folder.descriptorForKeyword(platform::Keyword::Name).stringValue();
        if (!id.isNull() && !name.isNull())
            names.insert(id, name);
    }
    QStringList candidates = names.keys(defaultName);
    if (candidates.isEmpty())
        candidates = names.keys();
    std::optional<qint64> smallest;
    for (const QString &candidate : candidates)
        smallest = std::min(smallest.value_or(candidate.toLongLong()), candidate.toLongLong());
    return smallest.value_or(0) > 0 ? QString::number(*smallest) : QStringLiteral("allFolders");
}

} // namespace

QString HMOutlookSQLiteHelper::identityFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/Microsoft User Data/Office 2011 Identities/Main Identity/");
}

QString HMOutlookSQLiteHelper::groupContainersFolder()
{
    return QDir::homePath() + QStringLiteral("/Library/Group Containers/");
}

bool HMOutlookSQLiteHelper::setSqliteFile()
{
    // Folder by folder, nearest first: each folder's own files are looked at before any folder below
    // it is entered, so the database beside thousands of record files is found without walking them.
    std::deque<QString> folders{groupContainersFolder()};
    while (!folders.empty()) {
        const QDir folder(folders.front());
        folders.pop_front();
        const QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QFileInfo &entry : entries) {
            if (entry.isSymLink())
                continue;
            if (entry.isDir()) {
                folders.push_back(entry.filePath());
            } else if (entry.fileName().endsWith(kDatabaseName)) {
                m_sqliteFilePath = QUrl::fromLocalFile(entry.filePath()).toString();
                return true;
            }
        }
    }
    return false;
}

QString HMOutlookSQLiteHelper::sqliteLocalPath() const
{
    return m_sqliteFilePath.isEmpty() ? QString() : QUrl(m_sqliteFilePath).toLocalFile();
}

QString HMOutlookSQLiteHelper::databaseFolderLocal() const
{
    const QString path = sqliteLocalPath();
    return path.endsWith(kDatabaseName) ? path.chopped(kDatabaseName.size()) : QString();
}

// Every sync counts the record files, thousands of them: the folders are read through their own
// descriptors and each name is looked at relative to its folder, one statx per file, instead of a
// whole path walked from the root twice per file. Links are not followed (nor counted).
qint64 HMOutlookSQLiteHelper::countFilesCreatedBefore(const QString &folder, const QString &suffix, const QDateTime &date)
{
    if (!date.isValid())
        return 0;
    const qint64 limit = date.toMSecsSinceEpoch();
    const QByteArray suffixBytes = QFile::encodeName(suffix);
    const std::string_view ending(suffixBytes.constData(), size_t(suffixBytes.size()));
    qint64 count = 0;
    std::vector<int> folders;
    if (const int top = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        top >= 0)
        folders.push_back(top);
    while (!folders.empty()) {
        const int descriptor = folders.back();
        folders.pop_back();
        DIR *const listing = ::fdopendir(descriptor);
        if (!listing) {
            ::close(descriptor);
            continue;
        }
        while (const struct dirent *entry = ::readdir(listing)) {
            const std::string_view name(entry->d_name);
            // Only folders and files with the ending need their times.
            if (name == "." || name == ".." || entry->d_type == DT_LNK || (entry->d_type == DT_REG && !name.ends_with(ending)))
                continue;
            const std::optional<FileStamp> stamp = fileStamp(::dirfd(listing), entry->d_name);
            if (!stamp)
                continue;
            if (stamp->isFolder) {
                const int below = ::openat(::dirfd(listing), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (below >= 0)
                    folders.push_back(below);
            } else if (stamp->isFile && name.ends_with(ending) && stamp->created < limit) {
                ++count;
            }
        }
        ::closedir(listing);
    }
    return count;
}

qint64 HMOutlookSQLiteHelper::getCountOfOutlookContactsCreatedPriorTo(const QDateTime &date)
{
    return countFilesCreatedBefore(identityFolder() + QStringLiteral("Data Records/Contacts"), QStringLiteral("olk14Contact"), date);
}

qint64 HMOutlookSQLiteHelper::getCountOfOutlookCalendarEventsCreatedPriorTo(const QDateTime &date)
{
    return countFilesCreatedBefore(identityFolder() + QStringLiteral("Data Records/Events"), QStringLiteral("olk14Event"), date);
}

qint64 HMOutlookSQLiteHelper::getCountOfOutlook15ContactsCreatedPriorTo(const QDateTime &date)
{
    if (m_sqliteFilePath.isEmpty())
        setSqliteFile();
    const QString folder = databaseFolderLocal();
    return folder.isEmpty() ? 0 : countFilesCreatedBefore(folder + QStringLiteral("Contacts"), QStringLiteral("olk15Contact"), date);
}

qint64 HMOutlookSQLiteHelper::getCountOfOutlook15CalendarEventsCreatedPriorTo(const QDateTime &date)
{
    if (m_sqliteFilePath.isEmpty())
        setSqliteFile();
    const QString folder = databaseFolderLocal();
    return folder.isEmpty() ? 0 : countFilesCreatedBefore(folder + QStringLiteral("Events"), QStringLiteral("olk15Event"), date);
}

std::optional<qint64> HMOutlookSQLiteHelper::countRowsModifiedAfter(Kind kind, const QDateTime &date)
{
    static const char *const tables[] = {"Contacts", "CalendarEvents", "Tasks"};
    if (kind == Kind::Memos)
        return std::nullopt;
    const std::optional<QString> folder = scopeFolder(kind);
    const std::shared_ptr<FMDatabase> database = folder ? openExisting(sqliteLocalPath()) : nullptr;
    if (!database)
        return std::nullopt;
    QString sql = QStringLiteral("SELECT * FROM %1 WHERE Record_ModDate > %2")
                      .arg(QLatin1String(tables[int(kind)]))
                      .arg(date.isValid() ? date.toSecsSinceEpoch() : 0);
    if (!folder->isEmpty())
        sql += QStringLiteral(" AND Record_FolderID = %1").arg(*folder);
    std::optional<qint64> rows;
    // A query that cannot be prepared (no such table, not a database) or a step that fails (busy,
    // damaged) leaves the count unknown.
    if (const std::shared_ptr<FMResultSet> result = database->executeQuery(sql)) {
        rows = 0;
        platform::PlatformError error;
        while (result->nextWithError(&error))
            ++*rows;
        if (!error.isNull())
            rows.reset();
    }
    database->close();
    return rows;
}

QString HMOutlookSQLiteHelper::getTextFileAsStringForOutlookContactId(const QString &outlookId)
{
    if (!isDecimalId(outlookId)) {
        DDLogInfo(QStringLiteral("Not an Outlook record id, nothing sent: %1").arg(outlookId));
        return QString();
    }
    const std::shared_ptr<FMDatabase> database = openExisting(sqliteLocalPath());
    if (!database)
        return QString();
    QString relative;
    if (const auto result = database->executeQuery(QStringLiteral("SELECT * FROM Contacts WHERE Record_RecordID == %1").arg(outlookId))) {
        while (result->next())
            relative = result->stringForColumn(QStringLiteral("PathToDataFile"));
    }
    database->close();
    if (relative.isEmpty())
        return QString();
    const platform::Result<QByteArray> bytes = platform::readWholeFile(databaseFolderLocal() + relative, kMaxDataFileBytes);
    return bytes ? QStringDecoder(QStringDecoder::Utf32)(bytes.value()) : QString();
}

bool HMOutlookSQLiteHelper::vacuumDatabase()
{
    DDLogInfo(QStringLiteral("Backup sqlite files"));
    backupSqliteFiles();
    DDLogInfo(QStringLiteral("Compact databse"));
    // With no database located there is nothing to compact: that is no success.
    const std::shared_ptr<FMDatabase> database = openExisting(sqliteLocalPath());
    if (!database)
        return false;
    const bool isDone = database->executeStatements(QStringLiteral("VACUUM"));
    DDLogInfo(QStringLiteral("success? %1").arg(int(isDone)));
    database->close();
    return isDone;
}

void HMOutlookSQLiteHelper::backupSqliteFiles()
{
    const QString folder = databaseFolderLocal();
    if (folder.isEmpty())
        return;
    QStringList paths;
    QDirIterator walk(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString path = walk.next();
        if (walk.fileName().contains(QStringLiteral("sqlite")))
            paths.append(path);
    }
    DDLogInfo(QStringLiteral("%1\n%2OutlookBackup.zip").arg(paths.join(u'\n'), folder));
}

void HMOutlookSQLiteHelper::setProfileSaver(ProfileSaver saver)
{
    const QMutexLocker lock(&s_saverLock);
    s_saver = std::move(saver);
}

void HMOutlookSQLiteHelper::setDefaultFolder(Kind kind)
{
    const std::shared_ptr<HMProfile> chosen = profile();
    if (!chosen || chosen->hmProfileVersion().isNull())
        return;
    bool isNumber = false;
    const qint64 version = chosen->hmProfileVersion().toLongLong(&isNumber);
    if (isNumber && version < 854)
        return;
    const FolderWords &words = kFolderWords[int(kind)];
    std::optional<platform::NSAppleScriptError> error;
    const NSAppleEventDescriptor result =
        platform::NSAppleScript(QStringLiteral("tell application \"%1\"\nset theFolders to the properties of every %2 of "
                                               "application \"%1\"\nreturn theFolders\nend tell")
                                    .arg(outlookApplicationReference(), QLatin1String(words.className)))
            .executeAndReturnError(&error);
    if (error) {
        // Outlook away for a moment must not widen the profile to every folder for good.
        DDLogInfo(QStringLiteral("Outlook folders not read; the selection stays unset"));
        return;
    }
    const QString selection = chooseDefaultFolder(result, QLatin1String(words.defaultName));
    switch (kind) {
    case Kind::Contacts: chosen->setOutlookContactFolderSelection(selection); break;
    case Kind::Events: chosen->setOutlookCalendarFolderSelection(selection); break;
    case Kind::Tasks: chosen->setOutlookTaskFolderSelection(selection); break;
    case Kind::Memos: chosen->setOutlookMemoFolderSelection(selection); break;
    }
    const QMutexLocker lock(&s_saverLock);
    if (s_saver && !s_saver(*chosen))
        DDLogError(QStringLiteral("The profile with its default Outlook folder was not saved"));
}
