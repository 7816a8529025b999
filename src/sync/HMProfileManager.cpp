#include "sync/HMProfileManager.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMFileManager.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMConfiguration.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphArchive.h"
#include "sync/HMIdentifierGraphJournal.h"
#include "sync/HMProfile.h"
#include "sync/NSData+Encrypt.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>
#include <limits>

using platform::Error;
using platform::ErrorCode;
using platform::Result;

namespace {

const QString kProfileRootKey = QStringLiteral("HMProfile");
const QString kGraphRootKey = QStringLiteral("HMIdentifierGraph");
const QString kSettingsExtension = QStringLiteral("settings");
const QString kLastProfileIdentifierKey = QStringLiteral("LastProfileIdentifier");
const QString kTraceFileName = QStringLiteral("profileManagerLog.plist");
constexpr qint64 kFirstTraceEntry = 100;
// Profiles are a few kilobytes, a large account picture included; anything far larger is not one of
// ours and is not read into memory.
constexpr qint64 kMaxProfileFileBytes = 32LL * 1024 * 1024;
// Graphs grow with the records of a conduit: tens of thousands of entries stay well below this.
constexpr qint64 kMaxGraphFileBytes = 512LL * 1024 * 1024;
// At the end of a conduit a journal holding entries is folded into the graph file once it would be
// longer than this share of the file, so a run that changed a few entries of a large graph writes a
// few lines, not the whole graph, and replaying the journal at each load stays a small part of
// reading the file.
constexpr qint64 kFoldJournalShare = 8;
// Any journal, one of dates only too, is folded once it would hold more than this many change
// lines: a run that changes nothing still adds a line with its date, and each line is read on its
// own at every load.
constexpr qsizetype kFoldJournalLines = 256;
// A stored file name that is not ours is shown only this far in the log.
constexpr qsizetype kMaxLoggedNameLength = 80;

// The data folder, created when missing; empty when the system names none. A folder that cannot be
// created is reported on the console, and the file operations then fail in their own way.
QString dataFolder()
{
    return HMFileManager::dataStorageURL().toLocalFile();
}

Error noDataFolder()
{
    return Error(ErrorCode::IoNotFound, QStringLiteral("there is no data folder"));
}

// The passphrase of the settings files, put together at run time so that it does not sit in the
// binary as one string. Changing it makes every stored profile unreadable.
QString settingsPassphrase()
{
    QString passphrase;
    for (const char piece : {'q', 'H', '7', 'v', 'R', '2', 'm', 'K', 'x', '9', 'T', 'e'})
        passphrase.append(QLatin1Char(piece));
    return passphrase;
}

// A profile's file name becomes part of paths; one that could leave the data folder or hide the file
// from the listing is refused.
bool isPlainFileStem(const QString &stem)
{
    return !stem.isEmpty() && !stem.startsWith(QLatin1Char('.')) && !stem.contains(QLatin1Char('/')) &&
           !stem.contains(QChar(0));
}

bool isConduitLetter(const QString &conduit)
{
    return conduit == QLatin1String("A") || conduit == QLatin1String("D") || conduit == QLatin1String("T") ||
           conduit == QLatin1String("M");
}

Result<QString> settingsPath(const HMProfile &profile)
{
    const QString folder = dataFolder();
    if (folder.isEmpty())
        return noDataFolder();
    if (!isPlainFileStem(profile.filename()))
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("the profile's file name \"%1\" is not a plain file name").arg(profile.filename()));
    return folder + QLatin1Char('/') + profile.filename() + QStringLiteral(".settings");
}

Result<QString> graphPath(const HMProfile &profile, const QString &conduit)
{
    const QString folder = dataFolder();
    if (folder.isEmpty())
        return noDataFolder();
    if (!isConduitLetter(conduit))
        return Error(ErrorCode::DataMalformed, QStringLiteral("\"%1\" is not a conduit letter").arg(conduit));
    if (!isPlainFileStem(profile.filename()))
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("the profile's file name \"%1\" is not a plain file name").arg(profile.filename()));
    return folder + QLatin1Char('/') + QStringLiteral("%1_%2.idgraph").arg(profile.filename(), conduit);
}

Result<std::shared_ptr<HMProfile>> readProfileFile(const QString &path, const QString &passphrase)
{
    const Result<QByteArray> stored = platform::readWholeFile(path, kMaxProfileFileBytes);
    if (!stored)
        return stored.error();
    // Files without the framing are plain archives and come back unchanged.
    const Result<QByteArray> archive = decryptAESKey(*stored, passphrase);
    if (!archive)
        return archive.error();
    Result<std::unique_ptr<HMProfile>> profile =
        platform::KeyedUnarchiver::unarchiveObject<HMProfile>(*archive, kProfileRootKey);
    if (!profile)
        return profile.error();
    // A profile is the file it was read from. A copy of a profile's file under another name still
    // holds the original's file name; left so, saving the copy would overwrite the original and both
    // would share one set of identifier graphs.
    const QString stem = QFileInfo(path).completeBaseName();
    if ((*profile)->filename() != stem) {
        DDLogWarn(QStringLiteral("Profile file %1 names the file \"%2\"; it keeps its own name")
                      .arg(QFileInfo(path).fileName(), (*profile)->filename().left(kMaxLoggedNameLength)));
        (*profile)->setFilename(stem);
    }
    return std::shared_ptr<HMProfile>(std::move(profile.value()));
}

// The names at the top of the data folder whose extension is exactly "settings", in name order.
Result<QStringList> settingsFileNames(const QString &folder)
{
    if (folder.isEmpty())
        return noDataFolder();
    Result<QStringList> names = platform::FileSystem::listFolder(folder);
    if (!names)
        return names.error();
    QStringList settings;
    for (const QString &name : *names) {
        if (QFileInfo(name).suffix() == kSettingsExtension)
            settings.append(name);
    }
    std::sort(settings.begin(), settings.end());
    return settings;
}

// Says why files at the top of the data folder that look like profiles are not read: a hidden one,
// one whose extension differs in case, and sub-folders, whose contents are never read.
void logNearMisses(const QString &folder)
{
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const bool looksLikeProfile = name.endsWith(QStringLiteral(".settings"), Qt::CaseInsensitive);
        if (entry.isDir() && !looksLikeProfile)
            DDLogInfo(
                QStringLiteral("Skipping folder %1: profiles are read from the top of the data folder").arg(name));
        else if (looksLikeProfile && name.startsWith(QLatin1Char('.')))
            DDLogWarn(QStringLiteral("Skipping profile file %1: it is hidden").arg(name));
        else if (looksLikeProfile && entry.suffix() != kSettingsExtension)
            DDLogWarn(QStringLiteral("Skipping profile file %1: its extension is not \"settings\"").arg(name));
    }
}

// Failures go to the console from the file manager itself.
void removeFile(const QString &path)
{
    HMFileManager::deleteFileAtURL(QUrl::fromLocalFile(path));
}

} // namespace

HMProfileManager::HMProfileManager() : m_userDefaults(&platform::UserDefaults::standardUserDefaults()) {}

HMProfileManager::HMProfileManager(platform::UserDefaults &userDefaults) : m_userDefaults(&userDefaults) {}

std::shared_ptr<HMProfile> HMProfileManager::newProfile()
{
    m_startupLogCounter = kFirstTraceEntry;
    writeStringToFile(QStringLiteral("newProfile"));

    // The numbering starts again at 1 rather than running past the largest number.
    const qint64 last = m_userDefaults->integerForKey(kLastProfileIdentifierKey);
    const qint64 number = last < std::numeric_limits<qint64>::max() ? last + 1 : 1;
    m_userDefaults->setInteger(number, kLastProfileIdentifierKey);
    if (const platform::Status synchronized = m_userDefaults->synchronize(); !synchronized)
        DDLogError(QStringLiteral("Could not store the profile number: %1").arg(synchronized.error().message()));

    writeStringToFile(QStringLiteral("Creating new profile"));
    auto profile = std::make_shared<HMProfile>();
    profile->setName(QStringLiteral("Profile %1").arg(number));
    profile->setFilename(HMFileManager::uidString());
    writeStringToFile(profile->filename().isNull() ? QStringLiteral("Unable to create") : profile->filename());

    writeStringToFile(QStringLiteral("Adding devicesSupported"));
    if (m_configuration) {
        profile->setDevicesSupported(m_configuration->deviceDictionaryList());
        profile->setSyncMethodsSupported(m_configuration->syncMethodDictionaryList());
        profile->updateFilteredDeviceList();
        profile->updateFilteredSyncMethodList();
    }

    writeStringToFile(QStringLiteral("Adding contactManagersSupported"));
    if (m_configuration)
        profile->setContactManagersSupported(m_configuration->contactManagerDictionaryList());

    writeStringToFile(QStringLiteral("Setting versionString"));
    const QVariant buildVersion = platform::Bundle::objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion"));
    if (buildVersion.isValid())
        profile->setHmProfileVersion(buildVersion.toString());

    writeStringToFile(QStringLiteral("Done creating profile"));
    return profile;
}

Result<QList<std::shared_ptr<HMProfile>>> HMProfileManager::loadProfiles()
{
    const QString folder = dataFolder();
    const Result<QStringList> names = settingsFileNames(folder);
    if (!names) {
        DDLogError(QStringLiteral("Could not list the profiles: %1").arg(names.error().message()));
        return names.error();
    }
    logNearMisses(folder);
    // A save cut short by a crash leaves its temporary file behind; nothing else removes it.
    static_cast<void>(platform::removeStaleTemporaryFiles(folder));
    const QString passphrase = settingsPassphrase();
    QList<std::shared_ptr<HMProfile>> profiles;
    for (const QString &name : *names) {
        Result<std::shared_ptr<HMProfile>> profile = readProfileFile(folder + QLatin1Char('/') + name, passphrase);
        if (!profile) {
            DDLogWarn(QStringLiteral("Skipping profile file %1: %2").arg(name, profile.error().message()));
            continue;
        }
        // Without a configuration the lists stay empty; filtering against them would take every
        // profile's sync method away.
        if (m_configuration) {
            (*profile)->setDevicesSupported(m_configuration->deviceDictionaryList());
            (*profile)->setSyncMethodsSupported(m_configuration->syncMethodDictionaryList());
            (*profile)->setContactManagersSupported(m_configuration->contactManagerDictionaryList());
            (*profile)->updateFilteredDeviceList();
            (*profile)->updateFilteredSyncMethodList();
        }
        profiles.append(*profile);
    }
    return profiles;
}

bool HMProfileManager::saveProfile(const HMProfile &profile) const
{
    DDLogInfo(QStringLiteral("saveProfile:"));
    const Result<QString> path = settingsPath(profile);
    if (!path) {
        DDLogError(QStringLiteral("Could not save the profile: %1").arg(path.error().message()));
        return false;
    }
    // Windows save on every close and selection change; a profile the file holds already costs a
    // digest rather than an encoding, an encryption and a synced replace.
    const QByteArray digest = profile.storedFieldsDigest();
    if (holdsAlready(*path, digest)) {
        profile.publishDefaultReminderCalendar();
        DDLogInfo(QStringLiteral("saveProfile: unchanged."));
        return true;
    }
    platform::KeyedArchiver coder;
    coder.encodeObject(profile, kProfileRootKey);
    const Result<QByteArray> archive = coder.finishEncoding();
    if (!archive) {
        DDLogError(
            QStringLiteral("Could not archive profile %1: %2").arg(profile.filename(), archive.error().message()));
        return false;
    }
    const Result<QByteArray> encrypted = encryptAESKey(*archive, settingsPassphrase());
    if (!encrypted) {
        DDLogError(
            QStringLiteral("Could not encrypt profile %1: %2").arg(profile.filename(), encrypted.error().message()));
        return false;
    }
    DDLogInfo(QStringLiteral("writeToURL %1").arg(*path));
    if (const platform::Status written =
            platform::writeFileAtomically(*path, *encrypted, platform::FilePermissions::OwnerOnly);
        !written) {
        DDLogInfo(QStringLiteral("writeToURL failed"));
        DDLogError(QStringLiteral("Could not write %1: %2").arg(*path, written.error().message()));
        return false;
    }
    rememberWritten(*path, digest);
    DDLogInfo(QStringLiteral("saveProfile completed."));
    return true;
}

bool HMProfileManager::holdsAlready(const QString &path, const QByteArray &digest) const
{
    if (digest.isEmpty())
        return false;
    std::optional<platform::FileStamp> file;
    {
        const std::lock_guard lock(m_writtenMutex);
        const auto found = m_writtenProfiles.constFind(path);
        if (found == m_writtenProfiles.cend() || found->digest != digest)
            return false;
        file = found->file;
    }
    return platform::fileStampOf(path) == file;
}

void HMProfileManager::rememberWritten(const QString &path, const QByteArray &digest) const
{
    const std::optional<platform::FileStamp> file = platform::fileStampOf(path);
    const std::lock_guard lock(m_writtenMutex);
    if (digest.isEmpty() || !file)
        m_writtenProfiles.remove(path);
    else
        m_writtenProfiles.insert(path, WrittenProfile{digest, *file});
}

bool HMProfileManager::deleteProfile(const HMProfile &profile)
{
    const Result<QString> path = settingsPath(profile);
    if (!path) {
        platform::consoleLog(QStringLiteral("Error: %1").arg(path.error().message()));
        return true;
    }
    removeFile(*path);
    const std::lock_guard lock(m_writtenMutex);
    m_writtenProfiles.remove(*path);
    return true;
}

void HMProfileManager::deleteProfiles()
{
    const QString folder = dataFolder();
    const Result<QStringList> names = settingsFileNames(folder);
    if (!names) {
        platform::consoleLog(QStringLiteral("Error: %1").arg(names.error().message()));
        return;
    }
    for (const QString &name : *names)
        removeFile(folder + QLatin1Char('/') + name);
    const std::lock_guard lock(m_writtenMutex);
    m_writtenProfiles.clear();
}

void HMProfileManager::writeStringToFile(const QString &text)
{
    ++m_startupLogCounter;
    // Each new profile starts the trace again at entry 101, the time it began.
    if (m_startupLogCounter == kFirstTraceEntry + 1) {
        m_startupLogDictionary.insert(QString::number(m_startupLogCounter), QDateTime::currentDateTimeUtc());
        writeTrace();
        ++m_startupLogCounter;
    }
    m_startupLogDictionary.insert(QString::number(m_startupLogCounter), text);
    writeTrace();
}

void HMProfileManager::writeTrace() const
{
    const QString folder = dataFolder();
    if (folder.isEmpty())
        return;
    const platform::Status written =
        platform::writePropertyList(folder + QLatin1Char('/') + kTraceFileName, m_startupLogDictionary,
                                    platform::PropertyListFormat::Xml, platform::FilePermissions::OwnerOnly);
    if (!written)
        platform::consoleLog(QStringLiteral("Error: %1").arg(written.error().message()));
}

namespace {

std::shared_ptr<HMIdentifierGraph> setAsideDamagedGraph(const QString &path, const QString &problem)
{
    // The damaged file is kept for a person to look at, and the conduit starts over as a first sync,
    // whose records are matched with those already on both sides instead of added again. A graph
    // that cannot even be set aside gives none, and the conduit does not run.
    const QString stem = path + QStringLiteral(".damaged-") +
                         platform::Clock::now().toUTC().toString(QStringLiteral("yyyyMMddTHHmmsszzz"));
    QString kept = stem;
    // Earlier damaged copies of the same moment are kept too; the search for a free name is bounded.
    for (int copy = 1; QFileInfo::exists(kept) && copy < 1000; ++copy)
        kept = stem + QLatin1Char('-') + QString::number(copy);
    if (QFileInfo::exists(kept) || !QFile::rename(path, kept)) {
        DDLogError(QStringLiteral("%1 is damaged (%2) and could not be set aside").arg(path, problem));
        return nullptr;
    }
    DDLogError(QStringLiteral("%1 is damaged (%2); kept as %3, the conduit syncs as a first sync")
                   .arg(path, problem, kept));
    return std::make_shared<HMIdentifierGraph>();
}

} // namespace

namespace {

using Step = HMIdentifierGraphJournal::Step;

// The graph file's bytes; nullopt when there is none. Graph files are only ever replaced whole, by a
// rename, in the private data folder: they are mapped rather than copied where that is safe.
Result<std::optional<platform::FileBytes>> readGraphFile(const QString &path)
{
    if (!HMFileManager::fileExistsAtURL(QUrl::fromLocalFile(path)))
        return std::optional<platform::FileBytes>();
    Result<platform::FileBytes> stored = platform::readOwnFileBytes(path, kMaxGraphFileBytes);
    if (!stored)
        return stored.error();
    return std::optional<platform::FileBytes>(std::move(stored).value());
}

// Applies the lines read to the graph. An intact journal changes the graph's own list, which its
// files then hold, with no copy made of it; past a torn line the files still hold the list the graph
// file holds, and the lines are applied to a copy.
// Answers the list the files hold when it is not the graph's.
std::optional<HMIdentifierGraph::Entries> applyReading(HMIdentifierGraph &graph,
                                                       const HMIdentifierGraphJournal::Reading &reading)
{
    HMIdentifierGraph::Entries entries = graph.entries();
    std::optional<HMIdentifierGraph::Entries> filesEntries;
    if (reading.replay.isIntact)
        graph.setEntries({});
    else
        filesEntries = entries;
    QDateTime date = graph.lastSyncDate();
    HMIdentifierGraphJournal::apply(reading, entries, date);
    graph.setEntries(entries);
    graph.setLastSyncDate(date);
    return filesEntries;
}

// Replays the journal beside the graph file onto the graph, and notes what the files hold. A torn or
// damaged journal counts as not written: the next write of the graph replaces it with one holding
// all the changes since the graph file.
void replayJournal(HMIdentifierGraph &graph, const QString &path, const QByteArray &baseDigest, qint64 graphFileBytes)
{
    HMIdentifierGraph::DurableState durable{path, graph.lastSyncDate(), baseDigest, graphFileBytes};
    std::optional<HMIdentifierGraph::Entries> filesEntries;
    const QString journalPath = HMIdentifierGraphJournal::journalPath(path);
    if (QFileInfo::exists(journalPath)) {
        const Result<QByteArray> journal = platform::readWholeFile(journalPath, kMaxGraphFileBytes);
        const HMIdentifierGraphJournal::Reading reading =
            journal ? HMIdentifierGraphJournal::read(*journal, baseDigest, graph.count())
                    : HMIdentifierGraphJournal::Reading{};
        const HMIdentifierGraphJournal::Replay &replay = reading.replay;
        if (!replay.belongsToGraph)
            DDLogInfo(QStringLiteral("%1 belongs to an earlier graph file and is ignored").arg(journalPath));
        else if (!replay.isIntact)
            DDLogWarn(QStringLiteral("%1 ends in a torn or damaged line; the %2 whole lines before it are kept")
                          .arg(journalPath).arg(replay.appliedLines));
        filesEntries = applyReading(graph, reading);
        if (replay.isIntact) {
            durable.doesJournalHoldEntries = replay.holdsEntries;
            durable.lastSyncDate = graph.lastSyncDate();
            durable.journalBytes = journal->size();
            durable.journalLines = replay.appliedLines;
        }
    }
    graph.setDurableState(std::move(durable), std::move(filesEntries));
}

// The graph the file's bytes hold; the bytes are let go once read. The graph copies what it keeps,
// so nothing of it refers to the file's bytes. A file in XML, as earlier versions wrote it, is read
// from a copy: the XML reader is given bytes that end in a NUL, which a mapping's bytes do not.
// The digest the journal names its graph file by (HMIdentifierGraphJournal::digestOf), read a
// megabyte at a time, each let go of once read: the file is not held whole for its check.
QByteArray digestOfFile(const std::optional<platform::FileBytes> &stored)
{
    if (!stored)
        return HMIdentifierGraphJournal::digestOf(std::nullopt);
    constexpr qsizetype kPieceBytes = qsizetype(1) << 20;
    const QByteArrayView bytes((*stored).bytes());
    HMIdentifierGraphJournal::RunningDigest digest;
    for (qsizetype at = 0; at < bytes.size(); at += kPieceBytes) {
        digest.add(bytes.sliced(at, std::min(kPieceBytes, bytes.size() - at)));
        stored->releaseResidentPages();
    }
    return digest.text();
}

Result<std::unique_ptr<HMIdentifierGraph>> graphFrom(std::optional<platform::FileBytes> &&stored)
{
    if (!stored)
        return std::make_unique<HMIdentifierGraph>();
    const platform::FileBytes file = std::move(*stored);
    stored.reset();
    const QByteArray &bytes = file.bytes();
    const std::function<void()> releasePages = [&file] { file.releaseResidentPages(); };
    Result<std::unique_ptr<HMIdentifierGraph>> graph = HMIdentifierGraphArchive::unarchivedGraph(
        !file.isMapped() || bytes.startsWith("bplist") ? bytes : QByteArray(bytes.constData(), bytes.size()),
        kGraphRootKey, releasePages);
    if (graph && !graph.value())
        return Error(ErrorCode::DataMalformed, QStringLiteral("it holds no graph"));
    return graph;
}

} // namespace

std::shared_ptr<HMIdentifierGraph> HMProfileManager::identifierGraphForProfile(const HMProfile &profile,
                                                                               const QString &conduit)
{
    // Outlook keeps its identifier maps in its own files.
    if (GlobalVariables::getIsOutlookSync())
        return nullptr;
    const Result<QString> path = graphPath(profile, conduit);
    if (!path) {
        DDLogError(QStringLiteral("Could not load an identifier graph: %1").arg(path.error().message()));
        return nullptr;
    }
    Result<std::optional<platform::FileBytes>> stored = readGraphFile(*path);
    if (!stored) {
        DDLogError(QStringLiteral("Could not read %1: %2").arg(*path, stored.error().message()));
        return nullptr;
    }
    const QByteArray digest = digestOfFile(*stored);
    const qint64 graphFileBytes = *stored ? (*stored)->bytes().size() : 0;
    // The file's bytes go to the reader, which lets them go before the journal is replayed.
    Result<std::unique_ptr<HMIdentifierGraph>> graph = graphFrom(std::move(*stored));
    if (!graph) {
        std::shared_ptr<HMIdentifierGraph> fresh = setAsideDamagedGraph(*path, graph.error().message());
        // The journal built on the damaged file is left as it is: it names that file's digest.
        if (fresh)
            fresh->setDurableState({*path, {}, HMIdentifierGraphJournal::digestOf(std::nullopt)});
        return fresh;
    }
    replayJournal(*graph.value(), *path, digest, graphFileBytes);
    return std::shared_ptr<HMIdentifierGraph>(std::move(graph.value()));
}

namespace {

// The graph file, streamed to disk as it is made. Answers the digest of what it wrote.
std::optional<HMIdentifierGraphJournal::RunningDigest> writeGraphFile(const HMIdentifierGraph &graph, const QString &path)
{
    HMIdentifierGraphJournal::RunningDigest digest;
    const auto passed = [&digest](QByteArrayView bytes) { digest.add(bytes); };
    const platform::Status written = HMIdentifierGraphArchive::writeStreamedFile(graph, kGraphRootKey, path, passed);
    if (!written) {
        DDLogError(QStringLiteral("Could not write %1: %2").arg(path, written.error().message()));
        return std::nullopt;
    }
    return digest;
}

} // namespace

bool HMProfileManager::saveIdentifier(const HMIdentifierGraph &graph, const HMProfile &profile, const QString &conduit)
{
    if (GlobalVariables::getIsOutlookSync())
        return false;
    const Result<QString> path = graphPath(profile, conduit);
    if (!path) {
        DDLogError(QStringLiteral("Could not save an identifier graph: %1").arg(path.error().message()));
        return false;
    }
    // Binary, which any property-list reader opens and which reads several times faster than XML;
    // graphs written as XML by earlier versions are still read, and become binary here.
    const std::optional<HMIdentifierGraphJournal::RunningDigest> written = writeGraphFile(graph, *path);
    if (!written)
        return false;
    HMIdentifierGraphJournal::reportStep(Step::GraphFileWritten);
    // The file now holds everything the journal did; a journal left by a failure here names the
    // previous file's digest and is ignored.
    QFile::remove(HMIdentifierGraphJournal::journalPath(*path));
    HMIdentifierGraphJournal::reportStep(Step::JournalRemoved);
    graph.setDurableState({*path, graph.lastSyncDate(), written->text(), written->size()});
    return true;
}

namespace {

// What the journal must grow by to hold the graph's changes since its files were written (its header
// too when there is no journal to append to; empty when nothing changed), and whether entries changed.
struct PendingJournal
{
    QByteArray bytes;
    bool holdsEntries = false;
};

Result<PendingJournal> pendingJournal(const HMIdentifierGraph &graph, const HMIdentifierGraph::DurableState &durable)
{
    const HMIdentifierGraph::Changes changes = graph.changesSinceDurable();
    const bool dateChanged = durable.lastSyncDate != graph.lastSyncDate();
    if (changes.isEmpty() && !dateChanged)
        return PendingJournal();
    const Result<QByteArray> line =
        HMIdentifierGraphJournal::changeLine(changes, dateChanged ? std::optional(graph.lastSyncDate()) : std::nullopt);
    if (!line)
        return line.error();
    const QByteArray header = durable.journalBytes == 0 ? HMIdentifierGraphJournal::headerLine(durable.baseDigest) : QByteArray();
    return PendingJournal{header + *line, !changes.isEmpty()};
}

// Writes the pending bytes to the journal: a new journal replaces any other whole, a journal the
// graph's files already hold is appended to. False, logged, when they are not durably written.
bool appendToJournal(const HMIdentifierGraph &graph, const QString &path, const HMIdentifierGraph::DurableState &durable,
                     const PendingJournal &pending)
{
    const QString journalPath = HMIdentifierGraphJournal::journalPath(path);
    const platform::Status written =
        durable.journalBytes == 0
            ? platform::writeFileAtomically(journalPath, pending.bytes, platform::FilePermissions::OwnerOnly)
            : HMIdentifierGraphJournal::appendDurably(journalPath, pending.bytes);
    if (!written) {
        DDLogError(QStringLiteral("Could not journal %1: %2").arg(path, written.error().message()));
        return false;
    }
    HMIdentifierGraphJournal::reportStep(Step::JournalAppended);
    graph.setDurableState({path, graph.lastSyncDate(), durable.baseDigest, durable.graphFileBytes,
                           durable.journalBytes + pending.bytes.size(), durable.journalLines + 1,
                           durable.doesJournalHoldEntries || pending.holdsEntries});
    return true;
}

// Whether the journal, grown by the pending bytes, is better folded into the graph file.
bool shouldFold(const HMIdentifierGraph::DurableState &durable, const PendingJournal &pending)
{
    const qint64 journalBytes = durable.journalBytes + pending.bytes.size();
    const qsizetype journalLines = durable.journalLines + (pending.bytes.isEmpty() ? 0 : 1);
    const bool holdsEntries = durable.doesJournalHoldEntries || pending.holdsEntries;
    return (holdsEntries && journalBytes > durable.graphFileBytes / kFoldJournalShare) ||
           journalLines > kFoldJournalLines;
}

// Writes the graph's changes since its files to the journal; with mayFold, writes the whole graph
// file instead when the journal would grow long. A failed journal write, which may have left a torn
// line, is mended by writing the whole graph file.
bool journalOrFold(const HMIdentifierGraph &graph, const HMProfile &profile, const QString &conduit, bool mayFold)
{
    if (GlobalVariables::getIsOutlookSync())
        return false;
    const Result<QString> path = graphPath(profile, conduit);
    const std::optional<HMIdentifierGraph::DurableState> &durable = graph.durableState();
    if (!path || !durable || durable->path != *path)
        return HMProfileManager::saveIdentifier(graph, profile, conduit);
    const Result<PendingJournal> pending = pendingJournal(graph, *durable);
    if (!pending || (mayFold && shouldFold(*durable, *pending)))
        return HMProfileManager::saveIdentifier(graph, profile, conduit);
    return pending->bytes.isEmpty() || appendToJournal(graph, *path, *durable, *pending) ||
           HMProfileManager::saveIdentifier(graph, profile, conduit);
}

} // namespace

bool HMProfileManager::journalIdentifier(const HMIdentifierGraph &graph, const HMProfile &profile,
                                         const QString &conduit)
{
    return journalOrFold(graph, profile, conduit, false);
}

bool HMProfileManager::finishIdentifier(const HMIdentifierGraph &graph, const HMProfile &profile, const QString &conduit)
{
    return journalOrFold(graph, profile, conduit, true);
}
