// Outlook's change times and the autosync decision: the latest change of Outlook's record files (or,
// through Apple events, of its records), compared with the dates the id maps recorded at the last
// sync, with the cloud's own change times for cloud profiles.
#include "outlook/HMOutlookSQLiteHelper.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScripter.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/TimeZone.h"
#include "sync/HMProfile.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QUrl>

#include <array>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::NSAppleEventDescriptor;
using Kind = HMOutlookSQLiteHelper::Kind;

namespace {

// Seconds after which a profile with an error log is synchronised again, whatever changed.
constexpr qint64 kErrorRetrySeconds = 1860;
// A Google direct profile whose last sync lies further back counts as never synchronised.
constexpr qint64 kGoogleDirectStaleSeconds = 3600;

QMutex s_writerLock;
std::function<void()> s_syncMethodWriter;

// One conduit's letter, its record folder under Outlook 2011's identity and beside Outlook 2016's
// database, and the endings of its record files.
struct ConduitFiles
{
    char letter;
    const char *folder2011;
    const char *suffix2011;
    const char *folder2016;
    const char *suffix2016;
};

constexpr std::array<ConduitFiles, 3> kConduitFiles = {{
    {'A', "Data Records/Contacts", "olk14Contact", "Contacts/", "olk15Contact"},
    {'D', "Data Records/Events", "olk14Event", "Events/", "olk15Event"},
    {'T', "Data Records/Tasks", "olk14Task", "Tasks/", "olk15Task"},
}};

bool hasLetter(const QString &conduits, char letter)
{
    return conduits.contains(QLatin1Char(letter));
}

qint64 localOffsetSeconds()
{
    return platform::TimeZone::systemTimeZone().secondsFromGmt();
}

QDateTime later(const QDateTime &first, const QDateTime &second)
{
    return second.isValid() && (!first.isValid() || second > first) ? second : first;
}

// Whether Outlook's data changed after the last sync. Outlook dates its records, and a sync dates
// its map, in whole seconds, while the record files' own times carry fractions. A sync writes to
// Outlook only before its read, whose map date is the second before the read began; so its own
// writes fall within that second and, compared at whole seconds, are not a change.
bool changedAfterLastSync(const QDateTime &dataLastModified, const QDateTime &lastSyncDate, bool mapDateFound)
{
    if (!mapDateFound)
        return true;
    if (!dataLastModified.isValid())
        return false;
    return dataLastModified.addMSecs(-dataLastModified.time().msec()) > lastSyncDate;
}

// Each script lists the modification dates of every record of the class in the scope.
struct DateScript
{
    const char *className;
    const char *folderForm;
};

constexpr std::array<DateScript, 3> kDateScripts = {{
    {"contact", "address book id"}, {"calendar event", "calendar id"}, {"task", "task folder id"}}};

} // namespace

QDateTime HMOutlookSQLiteHelper::distantPast()
{
    return HMAppleScripter::distantPast();
}

QDateTime HMOutlookSQLiteHelper::distantFuture()
{
    return QDateTime(QDate(4001, 1, 1), QTime(0, 0), Qt::UTC);
}

void HMOutlookSQLiteHelper::setSyncMethodWriter(std::function<void()> writer)
{
    const QMutexLocker lock(&s_writerLock);
    s_syncMethodWriter = std::move(writer);
}

namespace {

// Folders nested deeper than this are not entered (Outlook's own are three levels deep).
constexpr int kMaxWalkDepth = 32;

// The latest modification (ns since 1970) of the regular files below the open folder whose names
// end in the suffix. Each entry is looked at once, relative to its folder's descriptor: a sync with
// nothing new costs one stat per record file. False once an item cannot be read: the walk stops.
bool walkLatest(int folderFd, const QByteArray &suffix, int depth, std::optional<qint64> &latest)
{
    DIR *const folder = ::fdopendir(folderFd);
    if (folder == nullptr) {
        ::close(folderFd);
        return false;
    }
    bool readable = true;
    while (readable) {
        const dirent *const entry = ::readdir(folder);
        if (entry == nullptr)
            break;
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const bool mayBeFolder = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
        const bool isRecord = name.size() >= size_t(suffix.size()) && name.ends_with(std::string_view(suffix.constData(), size_t(suffix.size())));
        if (!mayBeFolder && !isRecord)
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(folder), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            readable = false;
        } else if (S_ISDIR(info.st_mode) && depth < kMaxWalkDepth) {
            const int child = ::openat(::dirfd(folder), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            readable = child >= 0 && walkLatest(child, suffix, depth + 1, latest);
        } else if (S_ISREG(info.st_mode) && isRecord) {
            const qint64 modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
            latest = std::max(latest.value_or(modified), modified);
        }
    }
    ::closedir(folder);
    return readable;
}

} // namespace

QDateTime HMOutlookSQLiteHelper::latestFileModification(const QString &folder, const QString &suffix)
{
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::optional<qint64> latest;
    if (folderFd >= 0 && !walkLatest(folderFd, suffix.toUtf8(), 0, latest))
        DDLogInfo(QStringLiteral("An Outlook record folder could not be read; the walk stopped: %1").arg(folder));
    return latest ? QDateTime::fromMSecsSinceEpoch(*latest / 1000000, Qt::UTC) : distantPast();
}

QDateTime HMOutlookSQLiteHelper::getLastModifiedTimeOutlook2011(const QString &conduits)
{
    QDateTime latest = distantPast();
    for (const ConduitFiles &files : kConduitFiles) {
        if (hasLetter(conduits, files.letter))
            latest = later(latest, latestFileModification(identityFolder() + QLatin1String(files.folder2011),
                                                          QLatin1String(files.suffix2011)));
    }
    return latest;
}

QDateTime HMOutlookSQLiteHelper::getLastModifiedTimeOutlook15NoSqlite(const QString &conduits)
{
    if (!setSqliteFile()) {
        DDLogInfo(QStringLiteral("Unable to locate databse. Autosync returning early"));
        return distantPast();
    }
    const QString folder = databaseFolderLocal();
    QDateTime latest = distantPast();
    for (const ConduitFiles &files : kConduitFiles) {
        if (hasLetter(conduits, files.letter))
            latest = later(latest, latestFileModification(folder + QLatin1String(files.folder2016),
                                                          QLatin1String(files.suffix2016)));
    }
    latest = latest.addSecs(localOffsetSeconds());
    DDLogInfo(QStringLiteral("Outlook 2016 last modified %1").arg(latest.toString(Qt::ISODate)));
    return latest;
}

QDateTime HMOutlookSQLiteHelper::getLastModifiedTimeOutlook15()
{
    if (!setSqliteFile()) {
        DDLogInfo(QStringLiteral("Unable to locate Outlook data file."));
        return {};
    }
    DDLogInfo(QStringLiteral("Autosync check: found path to db file %1").arg(m_sqliteFilePath));
    DDLogInfo(QStringLiteral("Outlook data file path: %1").arg(m_sqliteFilePath));
    const QFileInfo database(sqliteLocalPath());
    return database.exists() ? database.lastModified().toUTC() : QDateTime();
}

QDateTime HMOutlookSQLiteHelper::latestModification(Kind kind, const QString &folderId)
{
    const DateScript &words = kDateScripts[size_t(kind)];
    if (!folderId.isEmpty() && !isDecimalId(folderId)) {
        DDLogInfo(QStringLiteral("Not an Outlook folder id, nothing sent: %1").arg(folderId));
        return distantPast();
    }
    const QString scope = folderId.isEmpty()
                              ? QString()
                              : QStringLiteral(" in %1 %2").arg(QLatin1String(words.folderForm), folderId);
    const std::optional<NSAppleEventDescriptor> dates = runScript(
        QStringLiteral("tell application \"%1\"\nset theDates to the modification date of every %2%3\nreturn theDates\nend tell")
            .arg(outlookApplicationReference(), QLatin1String(words.className), scope));
    QDateTime latest = distantPast();
    for (qint64 index = 1; dates && index <= dates->numberOfItems(); ++index) {
        if (const std::optional<QDateTime> date = dateFromEventDescriptor(dates->descriptorAtIndex(index)))
            latest = later(latest, *date);
    }
    return latest;
}

QDateTime HMOutlookSQLiteHelper::getLastModifiedDateOutlookAppStore(const QString &conduits)
{
    if (!m_scripter)
        m_scripter = std::make_shared<HMAppleScripter>();
    profile();
    QDateTime latest = distantPast();
    for (const Kind kind : {Kind::Contacts, Kind::Events, Kind::Tasks}) {
        if (!hasLetter(conduits, kConduitFiles[size_t(kind)].letter))
            continue;
        QString folder = folderSelection(kind);
        if (folder == u"allFolders")
            folder.clear();
        latest = later(latest, latestModification(kind, folder));
    }
    return latest.addSecs(localOffsetSeconds());
}

// "15" or "14" by the contact manager the main window shows for the selected profile; the version
// goes into the configuration, and the sync method is written as before a sync.
QString HMOutlookSQLiteHelper::autosyncVersion()
{
    const std::shared_ptr<HMProfile> chosen = profile();
    QString version;
    if (chosen && chosen->contactManager() == HMContactManager::Outlook15)
        version = QStringLiteral("15");
    else if (chosen && chosen->contactManager() == HMContactManager::Outlook14)
        version = QStringLiteral("14");
    if (!version.isEmpty())
        GlobalVariables::setOutlookVersionNumberInConfiguration(version);
    std::function<void()> writer;
    {
        const QMutexLocker lock(&s_writerLock);
        writer = s_syncMethodWriter;
    }
    if (writer)
        writer();
    return version;
}

// The earliest last-modified date the listed conduits' id maps record; found tells whether any did.
QDateTime HMOutlookSQLiteHelper::earliestIdMapDate(const QString &conduits, bool &found) const
{
    HMOutlookDatFileHelper maps;
    using Conduit = HMOutlookDatFileHelper::Conduit;
    const std::array<std::pair<char, Conduit>, 3> letters = {
        {{'A', Conduit::Contacts}, {'D', Conduit::Calendar}, {'T', Conduit::Tasks}}};
    QDateTime earliest = distantFuture();
    found = false;
    for (const auto &[letter, conduit] : letters) {
        if (!hasLetter(conduits, letter))
            continue;
        const QDateTime recorded = maps.getLastModifiedDate(conduit);
        if (!recorded.isValid())
            continue;
        found = true;
        if (recorded < earliest)
            earliest = recorded;
    }
    return earliest;
}

bool HMOutlookSQLiteHelper::shouldAutosync(const QString &conduits)
{
    if (conduits.isEmpty())
        return false;
    const std::shared_ptr<HMProfile> chosen = profile();
    if (chosen && chosen->syncMethod() == HMSyncMethod::GoogleDirect)
        return shouldAutosyncGoogleDirect(conduits);
    const QDateTime now = platform::Clock::now();
    const QDateTime lastCheck = chosen ? chosen->lastQuillnestAutosyncCheck() : QDateTime();
    if (HMOutlookDatFileHelper::hasErrorLog() && lastCheck.isValid() && lastCheck.secsTo(now) > kErrorRetrySeconds) {
        DDLogInfo(QStringLiteral("Autosync: retrying after the errors of the last sync"));
        return true;
    }
    const QString version = autosyncVersion();
    const qint64 localOffset = localOffsetSeconds();
    const platform::Result<platform::TimeZone> pacific = platform::TimeZone::named(QStringLiteral("US/Pacific"));
    const float pacificShift = float(localOffset - (pacific ? pacific.value().secondsFromGmt() : 0));
    QDateTime dataLastModified = distantPast();
    if (version == u"14")
        dataLastModified = getLastModifiedTimeOutlook2011(conduits).addSecs(localOffset);
    const QVariantMap cloudTimes = GlobalVariables::getQuillnestLastModifiedDictionary();
    for (const char *key : {"ContactsLastModified", "CalendarLastModified", "TasksLastModified"}) {
        const QVariant value = cloudTimes.value(QLatin1String(key));
        if (value.typeId() == QMetaType::QDateTime)
            dataLastModified = later(dataLastModified, value.toDateTime().addSecs(qint64(pacificShift)));
    }
    bool found = false;
    QDateTime lastSyncDate = earliestIdMapDate(conduits, found);
    if (version == u"15")
        dataLastModified = getLastModifiedTimeOutlook15NoSqlite(conduits);
    lastSyncDate = lastSyncDate.addSecs(localOffset);
    GlobalVariables::setQuillnestLastModifiedDictionary({});
    DDLogInfo(QStringLiteral("Autosync: data modified %1, last sync %2 (ignore caching %3)")
                  .arg(dataLastModified.toString(Qt::ISODate), lastSyncDate.toString(Qt::ISODate))
                  .arg(int(chosen && chosen->ignoreOutlookAutosyncCaching())));
    return changedAfterLastSync(dataLastModified, lastSyncDate, found);
}

bool HMOutlookSQLiteHelper::shouldAutosyncGoogleDirect(const QString &conduits)
{
    const QString version = autosyncVersion();
    const qint64 localOffset = localOffsetSeconds();
    QDateTime dataLastModified = distantPast();
    if (version == u"14")
        dataLastModified = getLastModifiedTimeOutlook2011(conduits).addSecs(localOffset);
    bool found = false;
    QDateTime lastSyncDate = earliestIdMapDate(conduits, found);
    if (found && lastSyncDate.secsTo(platform::Clock::now()) > kGoogleDirectStaleSeconds)
        lastSyncDate = distantPast();
    if (version == u"15")
        dataLastModified = getLastModifiedTimeOutlook15NoSqlite(conduits);
    lastSyncDate = lastSyncDate.addSecs(localOffset);
    DDLogInfo(QStringLiteral("Google direct autosync: data modified %1, last sync %2")
                  .arg(dataLastModified.toString(Qt::ISODate), lastSyncDate.toString(Qt::ISODate)));
    return changedAfterLastSync(dataLastModified, lastSyncDate, found);
}
