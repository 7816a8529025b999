#include "outlook/HMOutlookDatFileHelper.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMFileManager.h"
#include "foundation/HMProfilesController.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookMapCache.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

namespace {

using Conduit = HMOutlookDatFileHelper::Conduit;

const QString kLastModified = QStringLiteral("LastModified");
const QString kListCommandDate = QStringLiteral("ListCommandDate");
constexpr qint64 kMaxMapBytes = 256LL * 1024 * 1024;
// A line longer than this holds no pair (the appender refuses ids over 1024 characters).
constexpr qsizetype kMaxPairLineBytes = 8 * 1024;
constexpr qsizetype kPendingPairsPiece = 64 * 1024;

const char *const kBaseNames[] = {"contacts", "calendar", "tasks", "memos"};

qint64 dateOffset(Conduit conduit)
{
    return HMOutlookDatFileHelper::storedDateOffset(conduit);
}

std::optional<QVariantMap> readMap(const QString &path)
{
    return outlookmaps::read(path, kMaxMapBytes);
}

bool writeMap(const QString &path, const QVariantMap &map)
{
    return outlookmaps::write(path, map, kMaxMapBytes);
}

// The pairs of a pending-pairs file fed a piece at a time: each whole line "device id TAB Outlook id"
// is one pair; other lines, and lines too long to hold one, are passed over.
class PairLines final
{
public:
    explicit PairLines(QVariantMap *pairs) : m_pairs(pairs) {}

    void feed(const char *bytes, qsizetype size)
    {
        m_carry.append(bytes, size);
        qsizetype start = 0;
        for (qsizetype end = m_carry.indexOf('\n'); end >= 0; end = m_carry.indexOf('\n', start)) {
            if (!m_skipping)
                add(QByteArrayView(m_carry).sliced(start, end - start));
            m_skipping = false;
            start = end + 1;
        }
        m_carry.remove(0, start);
        if (m_carry.size() > kMaxPairLineBytes) {
            m_carry.clear();
            m_skipping = true;
        }
    }

private:
    void add(QByteArrayView line)
    {
        const qsizetype tab = line.indexOf('\t');
        if (tab <= 0 || tab + 1 == line.size() || line.sliced(tab + 1).contains('\t'))
            return;
        m_pairs->insert(QString::fromUtf8(line.first(tab)), QString::fromUtf8(line.sliced(tab + 1)));
    }

    QVariantMap *m_pairs;
    QByteArray m_carry;
    bool m_skipping = false;
};

QString currentAccountName()
{
    QString account = GlobalVariables::getQuillnestUserName();
    if (account.isEmpty()) {
        if (const auto controller = GlobalVariables::getCurrentProfileController()) {
            const auto profiles = controller->arrangedObjects();
            const qsizetype index = controller->selectionIndex();
            if (index >= 0 && index < qsizetype(profiles.size()) && profiles[size_t(index)])
                account = profiles[size_t(index)]->hhUserId();
        }
    }
    return account.replace(u'@', u'-').replace(u'.', u'-');
}

// Moves a file to a new name, never over an existing file.
void moveWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::link(source.constData(), target.constData()) == 0)
        ::unlink(source.constData());
}

} // namespace

HMOutlookDatFileHelper::HMOutlookDatFileHelper() : HMOutlookDatFileHelper(kMaxMapBytes)
{
}

HMOutlookDatFileHelper::HMOutlookDatFileHelper(qint64 pendingPairsCap) : m_pendingPairsCap(pendingPairsCap)
{
    settlePaths();
}

QString HMOutlookDatFileHelper::dataFolderPath()
{
    // The URL's path decoded as UTF-8: a "+" in a folder name stays a "+".
    return HMFileManager::dataStorageURL().toLocalFile();
}

QString HMOutlookDatFileHelper::getAppDataFolder()
{
    if (m_appDataPath.isEmpty())
        m_appDataPath = dataFolderPath();
    return m_appDataPath;
}

QString HMOutlookDatFileHelper::fileNameFor(Conduit conduit, const QString &version, const QString &syncMethod,
                                            const QString &account)
{
    QString base = QLatin1String(kBaseNames[int(conduit)]) + QStringLiteral("-outlook");
    if (version.startsWith(QStringLiteral("14")))
        base += QStringLiteral("14");
    if (syncMethod == u"quillnest" && !account.isEmpty())
        return base + u'-' + account + QStringLiteral(".plist");
    if (syncMethod == u"direct")
        return base + QStringLiteral("-google.plist");
    return base + QStringLiteral(".plist");
}

void HMOutlookDatFileHelper::settlePaths()
{
    const QString version = GlobalVariables::getOutlookVersionNumberInConfiguration();
    const QString folder = getAppDataFolder();
    for (int i = 0; i < 4; ++i)
        m_slots[size_t(i)].path = folder + u'/' + fileNameFor(Conduit(i), version, QString(), QString());
    addDeviceInfoToDatFileIfNecessary(version);
}

void HMOutlookDatFileHelper::addDeviceInfoToDatFileIfNecessary(const QString &version)
{
    const QString method =
        platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting"));
    if (method != u"quillnest" && method != u"direct")
        return;
    // Without a known account the plain names stay: a name part made up here would strand the maps.
    const QString account = method == u"quillnest" ? currentAccountName() : QString();
    if (method == u"quillnest" && account.isEmpty())
        return;
    for (int i = 0; i < 4; ++i) {
        Slot &entry = m_slots[size_t(i)];
        const QString newPath = QFileInfo(entry.path).path() + u'/' + fileNameFor(Conduit(i), version, method, account);
        if (method == u"quillnest")
            moveWithoutReplacing(entry.path, newPath);
        entry.path = newPath;
    }
}

bool HMOutlookDatFileHelper::isDateKey(const QString &key)
{
    return key == kLastModified || key == kListCommandDate;
}

bool HMOutlookDatFileHelper::readPendingPairs(Conduit conduit, QVariantMap *pairs) const
{
    platform::Result<platform::FileStream> file =
        platform::FileStream::openWithoutFollowing(pendingPairsPath(conduit), m_pendingPairsCap);
    if (!file)
        return file.error().code() == platform::ErrorCode::IoNotFound;
    // Read a piece at a time: the file may be far larger than what its pairs take in the map.
    PairLines lines(pairs);
    QByteArray piece(kPendingPairsPiece, Qt::Uninitialized);
    for (;;) {
        const qsizetype read = file->read(piece.data(), piece.size());
        if (read <= 0)
            return read == 0;
        lines.feed(piece.constData(), read);
    }
}

void HMOutlookDatFileHelper::logUnreadablePendingPairs(Conduit conduit) const
{
    DDLogError(QStringLiteral("The pairs waiting in %1 cannot be read: the map and that file are left as they are")
                   .arg(pendingPairsPath(conduit)));
}

bool HMOutlookDatFileHelper::pendingPairsOutgrowMap(Conduit conduit) const
{
    const QFileInfo pending(pendingPairsPath(conduit));
    return pending.exists() && pending.size() > QFileInfo(filePath(conduit)).size();
}

// The map file with the pairs waiting beside it; `pending` says whether any were, or whether they
// could not be read.
std::optional<QVariantMap> HMOutlookDatFileHelper::readWithPendingPairs(Conduit conduit, Pending *pending) const
{
    std::optional<QVariantMap> map = readMap(slot(conduit).path);
    QVariantMap pairs;
    *pending = readPendingPairs(conduit, &pairs) ? Pending::None : Pending::Unreadable;
    if (*pending == Pending::Unreadable)
        return map;
    for (auto it = pairs.constBegin(); it != pairs.constEnd(); ++it) {
        if (isDateKey(it.key()))
            continue;
        if (!map)
            map = QVariantMap();
        map->insert(it.key(), it.value());
        *pending = Pending::Merged;
    }
    return map;
}

std::optional<QVariantMap> HMOutlookDatFileHelper::dictionaryForDatFile(Conduit conduit)
{
    if (slot(conduit).kept)
        return loadedOrFresh(conduit);
    Pending pending = Pending::None;
    return readWithPendingPairs(conduit, &pending);
}

QVariantMap &HMOutlookDatFileHelper::reload(Conduit conduit)
{
    Slot &entry = slot(conduit);
    if (entry.kept)
        return loadedOrFresh(conduit);
    entry.map = readWithPendingPairs(conduit, &entry.pending);
    if (!entry.map)
        entry.map = QVariantMap();
    return *entry.map;
}

QVariantMap &HMOutlookDatFileHelper::loadedOrFresh(Conduit conduit)
{
    Slot &entry = slot(conduit);
    if (!entry.map && entry.kept)
        entry.map = readMap(entry.path).value_or(QVariantMap());
    else if (!entry.map)
        entry.map = readWithPendingPairs(conduit, &entry.pending).value_or(QVariantMap());
    return *entry.map;
}

bool HMOutlookDatFileHelper::store(Conduit conduit, const QVariantMap &map)
{
    Slot &entry = slot(conduit);
    if (!writeMap(entry.path, map))
        return false;
    entry.map = map;
    entry.pending = Pending::None;
    return true;
}

bool HMOutlookDatFileHelper::writeOutlookId(Conduit conduit, const QString &outlookId, const QString &deviceId)
{
    if (outlookId.isEmpty() || deviceId.isEmpty())
        return false;
    QVariantMap map = conduit == Conduit::Calendar ? reload(conduit) : loadedOrFresh(conduit);
    map.insert(deviceId, outlookId);
    return store(conduit, map);
}

bool HMOutlookDatFileHelper::commitChanges(Conduit conduit, const Commit &commit)
{
    const QVariantMap stored = reload(conduit);
    if (slot(conduit).pending == Pending::Unreadable) {
        logUnreadablePendingPairs(conduit);
        return false;
    }
    QVariantMap map = stored;
    for (auto it = commit.pairs.constBegin(); it != commit.pairs.constEnd(); ++it) {
        if (!it.key().isEmpty() && !it.value().toString().isEmpty() && !isDateKey(it.key()))
            map.insert(it.key(), it.value().toString());
    }
    for (const QString &deviceId : commit.removals)
        map.remove(deviceId);
    if (commit.lastModified.isValid())
        map.insert(kLastModified, commit.lastModified.toUTC().addSecs(dateOffset(conduit)));
    if (commit.listCommandDate.isValid())
        map.insert(kListCommandDate, commit.listCommandDate.toUTC().addSecs(dateOffset(conduit)));
    // A commit that changes nothing in a map read whole leaves its file alone: no rewrite of every pair.
    // Pending pairs read with the map are not in its file yet: those are written.
    if (slot(conduit).pending == Pending::None && !stored.isEmpty() && map == stored && QFileInfo::exists(slot(conduit).path))
        return true;
    return store(conduit, map);
}

QString HMOutlookDatFileHelper::getOutlookIdForDeviceId(Conduit conduit, const QString &deviceId)
{
    const QVariant value = reload(conduit).value(deviceId);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

QString HMOutlookDatFileHelper::firstKeyMatching(Conduit conduit, const std::function<bool(const QString &)> &test)
{
    const QVariantMap &map = reload(conduit);
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (!isDateKey(it.key()) && test(it.key()))
            return it.key();
    }
    return QString();
}

QString HMOutlookDatFileHelper::getDeviceIdForOutlookId(Conduit conduit, const QString &outlookId)
{
    if (outlookId.isEmpty())
        return QString();
    const QVariantMap &map = reload(conduit);
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (it.value().typeId() == QMetaType::QString && it.value().toString() == outlookId)
            return it.key();
    }
    return QString();
}

bool HMOutlookDatFileHelper::removeId(Conduit conduit, const QString &deviceId)
{
    if (deviceId.isEmpty())
        return true;
    QVariantMap map = loadedOrFresh(conduit);
    if (conduit == Conduit::Calendar && !map.contains(deviceId) && deviceId.contains(u'@'))
        map.remove(deviceId.section(u'@', 0, 0));
    else
        map.remove(deviceId);
    return store(conduit, map);
}

bool HMOutlookDatFileHelper::writeLastModifiedDate(Conduit conduit)
{
    if (conduit == Conduit::Calendar)
        DDLogInfo(QStringLiteral("dfh:[521]"));
    QVariantMap map = reload(conduit);
    map.insert(kLastModified, QDateTime::currentDateTimeUtc().addSecs(dateOffset(conduit)));
    const bool written = store(conduit, map);
    if (conduit == Conduit::Calendar)
        DDLogInfo(QStringLiteral("dfh:[534]"));
    return written;
}

bool HMOutlookDatFileHelper::writeLastListCommand(Conduit conduit, const QDateTime &date)
{
    if (conduit == Conduit::Calendar)
        DDLogInfo(QStringLiteral("dfh:[540]"));
    else if (conduit == Conduit::Contacts)
        DDLogInfo(QStringLiteral("[;]"));
    QVariantMap map = reload(conduit);
    const QDateTime moment = date.isValid() ? date.toUTC() : QDateTime::currentDateTimeUtc();
    map.insert(kListCommandDate, moment.addSecs(dateOffset(conduit)));
    return store(conduit, map);
}

QDateTime HMOutlookDatFileHelper::getLastModifiedDate(Conduit conduit)
{
    return reload(conduit).value(kLastModified).toDateTime();
}

QDateTime HMOutlookDatFileHelper::getLastListCommand(Conduit conduit)
{
    const QVariantMap &map = reload(conduit);
    const QDateTime listed = map.value(kListCommandDate).toDateTime();
    return listed.isValid() ? listed : map.value(kLastModified).toDateTime();
}

QStringList HMOutlookDatFileHelper::getAllOutlookIds(Conduit conduit)
{
    QStringList ids;
    for (const QVariant &value : reload(conduit)) {
        if (value.typeId() == QMetaType::QString)
            ids.append(value.toString());
    }
    return ids;
}

QStringList HMOutlookDatFileHelper::getAllDeviceIds(Conduit conduit)
{
    QStringList ids = reload(conduit).keys();
    ids.removeIf(isDateKey);
    return ids;
}

bool HMOutlookDatFileHelper::incrementOutlookContactId(const QString &outlookContactId)
{
    bool isNumber = false;
    const qint64 id = outlookContactId.toLongLong(&isNumber);
    if (!isNumber) {
        DDLogInfo(QStringLiteral("Not a decimal Outlook id: %1").arg(outlookContactId));
        return false;
    }
    const QString deviceId = getDeviceContactIdForOutlookContactId(outlookContactId);
    if (deviceId.isEmpty())
        return true;
    return writeOutlookIdForDeviceId(QString::number(id + 1), deviceId);
}

QString HMOutlookDatFileHelper::getOutlookContactIdForGoogleContactIdEndingWith(const QString &shortId)
{
    const QString key = firstKeyMatching(Conduit::Contacts, [&](const QString &k) { return k.endsWith(shortId); });
    return key.isEmpty() ? QString() : slot(Conduit::Contacts).map->value(key).toString();
}

QString HMOutlookDatFileHelper::getFullGoogleEventIdForGoogleEventIdBeginningWith(const QString &googleEventId)
{
    // The keys starting with the prefix follow each other in key order, from the first not before it.
    const QString prefix = googleEventId + u'@';
    const QVariantMap &map = reload(Conduit::Calendar);
    for (auto it = map.lowerBound(prefix); it != map.constEnd() && it.key().startsWith(prefix); ++it) {
        if (!isDateKey(it.key()))
            return it.key();
    }
    return QString();
}

QString HMOutlookDatFileHelper::getOutlookEventIdForGoogleEventIdBeginningWith(const QString &googleEventId)
{
    const QString key = getFullGoogleEventIdForGoogleEventIdBeginningWith(googleEventId);
    return key.isEmpty() ? QString() : slot(Conduit::Calendar).map->value(key).toString();
}

bool HMOutlookDatFileHelper::writeLastModifiedDateEventsForGoogleDirectSync(const QDateTime &date)
{
    if (!date.isValid())
        return true;
    QVariantMap map = reload(Conduit::Calendar);
    map.insert(kLastModified, date.toUTC().addSecs(1));
    return store(Conduit::Calendar, map);
}

std::optional<Conduit> HMOutlookDatFileHelper::conduitForName(const QString &conduitName)
{
    for (int i = 0; i < 4; ++i) {
        static const char *const names[] = {"Contacts", "Calendar", "Tasks", "Memos"};
        if (conduitName == QLatin1String(names[i]))
            return Conduit(i);
    }
    return std::nullopt;
}

bool HMOutlookDatFileHelper::clearDatFile(const QString &conduitName)
{
    const std::optional<Conduit> conduit = conduitForName(conduitName);
    return conduit && store(*conduit, QVariantMap());
}

qint64 HMOutlookDatFileHelper::countRecordsForConduit(const QString &conduitName)
{
    const std::optional<Conduit> conduit = conduitForName(conduitName);
    if (!conduit)
        return 0;
    const QVariantMap &map = reload(*conduit);
    return map.size() - qint64(map.contains(kLastModified)) - qint64(map.contains(kListCommandDate));
}

bool HMOutlookDatFileHelper::updateTempId(const QString &tempId, const QString &permanentId, const QString &conduitName)
{
    const std::optional<Conduit> conduit = conduitForName(conduitName);
    if (!conduit || tempId.isEmpty() || permanentId.isEmpty())
        return false;
    QVariantMap map = reload(*conduit);
    if (!map.contains(tempId) || isDateKey(tempId))
        return false;
    map.insert(permanentId, map.take(tempId));
    return store(*conduit, map);
}

QString HMOutlookDatFileHelper::errorLogPath()
{
    return dataFolderPath() + QStringLiteral("/errorlog.plist");
}

bool HMOutlookDatFileHelper::writeErrorLogWithConduitName(const QString &letter, const QString &recordId)
{
    if (letter.isEmpty() || recordId.isEmpty())
        return false;
    QVariantMap log = readMap(errorLogPath()).value_or(QVariantMap());
    log.insert(recordId, letter);
    return writeMap(errorLogPath(), log);
}

bool HMOutlookDatFileHelper::hasErrorLog()
{
    const std::optional<QVariantMap> log = readMap(errorLogPath());
    return log && !log->isEmpty();
}

void HMOutlookDatFileHelper::loadErrorLogIntoMemory()
{
    static const char *const letters[] = {"A", "D", "T", "M"};
    QStringList ids[4];
    const QVariantMap log = readMap(errorLogPath()).value_or(QVariantMap());
    for (auto it = log.constBegin(); it != log.constEnd(); ++it) {
        for (int i = 0; i < 4; ++i) {
            if (it.value().typeId() == QMetaType::QString && it.value().toString() == QLatin1String(letters[i]))
                ids[i].append(it.key());
        }
    }
    QString conduits;
    for (int i = 0; i < 4; ++i) {
        if (!ids[i].isEmpty())
            conduits += QLatin1String(letters[i]);
    }
    GlobalVariables::setErrorRecoverySyncConduits(conduits);
    GlobalVariables::setErrorLogContactIds(ids[0]);
    GlobalVariables::setErrorLogCalendarIds(ids[1]);
    GlobalVariables::setErrorLogTaskIds(ids[2]);
    GlobalVariables::setErrorLogMemoIds(ids[3]);
    deleteErrorLog();
}

bool HMOutlookDatFileHelper::deleteErrorLog()
{
    const platform::Status removed = platform::FileSystem::removeItem(errorLogPath());
    if (removed)
        platform::consoleLog(QStringLiteral("Deleted errorlog.plist file"));
    else
        platform::consoleLog(QStringLiteral("Error: %1").arg(removed.error().message()));
    return bool(removed);
}
