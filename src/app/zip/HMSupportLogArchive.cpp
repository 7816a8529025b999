#include "app/zip/HMSupportLogArchive.h"

#include "app/zip/HMFileRevealer.h"
#include "app/zip/ZZArchive.h"
#include "app/zip/ZZArchiveEntry.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ChildProcess.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>

using platform::Error;
using platform::ErrorCode;
using platform::PlatformError;
using platform::Result;

namespace {

using Item = HMSupportLogArchive::Item;

constexpr std::chrono::milliseconds kCoredumpctlTimeLimit{10'000};
// A report of coredumpctl is a few KiB; more is cut.
constexpr qsizetype kMaximumCoredumpReportBytes = 1024 * 1024;

// Every regular file under the folder (links passed over, also linked folders) whose name passes.
QList<Item> filesUnder(const QString &folder, const std::function<bool(const QString &name)> &isWanted)
{
    QList<Item> items;
    QDirIterator iterator(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        iterator.next();
        const QFileInfo info = iterator.fileInfo();
        if (info.isFile() && !info.isSymLink() && isWanted(info.fileName()))
            items.append(Item{info.fileName(), info.lastModified().toUTC(), info.filePath(), 0});
    }
    return items;
}

void sortByDateThenPath(QList<Item> &items)
{
    std::sort(items.begin(), items.end(), [](const Item &left, const Item &right) {
        if (left.date != right.date)
            return left.date < right.date;
        return left.path + left.entryName < right.path + right.entryName;
    });
}

std::optional<QByteArray> readCapped(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(HMSupportLogArchive::kMaximumFileBytes);
}

// A rewrite of the archive writes into a hidden folder beside it (".SupportLogs.zip.XXXXXX"); only a
// run that was killed leaves one behind, since writes of the archive never overlap.
void removeLeftoverTemporaryFolders(const QString &logFolder)
{
    const QString prefix = u'.' + QString::fromLatin1(HMSupportLogArchive::kArchiveName) + u'.';
    const QDir folder(logFolder);
    for (const QString &name : folder.entryList({prefix + u'*'}, QDir::Dirs | QDir::Hidden | QDir::NoSymLinks))
        QDir(folder.filePath(name)).removeRecursively();
}

// Adds one deflated entry at the archive's end; a failure leaves the archive as it was.
bool appendEntry(ZZArchive &archive, const QString &name, const std::optional<QByteArray> &content,
                 PlatformError *error)
{
    const auto entry = ZZArchiveEntry::archiveEntryWithFileName(
        name, true, [content](PlatformError *dataError) -> std::optional<QByteArray> {
            if (!content && dataError)
                *dataError = PlatformError::fromErrno(EACCES);
            return content;
        });
    return archive.updateEntries(archive.entries() + QList<std::shared_ptr<ZZArchiveEntry>>{entry}, error);
}

} // namespace

HMSupportLogArchive::Sources HMSupportLogArchive::defaultSources()
{
    return Sources{{QStringLiteral("/var/crash")},
                   platform::FileSystem::logFolderPath(),
                   QStandardPaths::findExecutable(QStringLiteral("coredumpctl")),
                   platform::ProcessInfo::processName()};
}

QString HMSupportLogArchive::archivePath() const
{
    return m_sources.logFolder + u'/' + QString::fromLatin1(kArchiveName);
}

QList<Item> HMSupportLogArchive::crashReports() const
{
    QList<Item> reports = coredumpReports();
    const QString processName = m_sources.processName;
    for (const QString &folder : m_sources.crashReportFolders) {
        reports += filesUnder(folder, [&processName](const QString &name) {
            return name.contains(processName) && name.endsWith(QLatin1String("crash"));
        });
    }
    sortByDateThenPath(reports);
    // The newest reports tell most.
    if (reports.size() > kMaximumCrashReports)
        reports = reports.mid(reports.size() - kMaximumCrashReports);
    return reports;
}

QList<Item> HMSupportLogArchive::logFiles() const
{
    QList<Item> logs = filesUnder(m_sources.logFolder, [](const QString &name) {
        return name.contains(QLatin1String("log")) && name.endsWith(QLatin1String("txt"));
    });
    sortByDateThenPath(logs);
    logs = logs.mid(0, kMaximumLogFiles);
    return logs;
}

// coredumpctl lists the program's crashes as JSON: one object per crash with its time in
// microseconds and the process id.
QList<Item> HMSupportLogArchive::coredumpReports() const
{
    if (m_sources.coredumpctlPath.isEmpty())
        return {};
    const auto listing = platform::ChildProcess::run(
        m_sources.coredumpctlPath,
        {QStringLiteral("--no-pager"), QStringLiteral("--json=short"), QStringLiteral("list"), m_sources.processName},
        kCoredumpctlTimeLimit);
    if (!listing || !listing->exitedNormally || listing->exitCode != 0)
        return {};
    QList<Item> reports;
    const QJsonArray crashes = QJsonDocument::fromJson(listing->standardOutput).array();
    for (const QJsonValue &crash : crashes) {
        const qint64 pid = crash.toObject().value(QLatin1String("pid")).toInteger();
        const qint64 microseconds = crash.toObject().value(QLatin1String("time")).toInteger();
        if (pid <= 0)
            continue;
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(microseconds / 1000, Qt::UTC);
        const QString name = QStringLiteral("%1_%2_%3.crash")
                                 .arg(m_sources.processName, date.toString(QStringLiteral("yyyy-MM-dd-HHmmss")))
                                 .arg(pid);
        reports.append(Item{name, date, QString(), pid});
    }
    return reports;
}

std::optional<QByteArray> HMSupportLogArchive::contentOf(const Item &item) const
{
    if (!item.path.isEmpty())
        return readCapped(item.path);
    const auto report = platform::ChildProcess::run(
        m_sources.coredumpctlPath,
        {QStringLiteral("--no-pager"), QStringLiteral("info"), QString::number(item.coredumpPid)},
        kCoredumpctlTimeLimit);
    if (!report || !report->exitedNormally || report->exitCode != 0)
        return std::nullopt;
    return report->standardOutput.first(std::min(report->standardOutput.size(), kMaximumCoredumpReportBytes));
}

Result<QString> HMSupportLogArchive::writeArchive() const
{
    const QList<Item> items = crashReports() + logFiles();
    // The logs are the user's data: their folder is the user's alone.
    if (const platform::Status folder = platform::FileSystem::createPrivateFolder(m_sources.logFolder); !folder)
        return folder.error();
    const QString path = archivePath();
    // An earlier archive is replaced, never added to; what a killed earlier run left goes too.
    QFile::remove(path);
    removeLeftoverTemporaryFolders(m_sources.logFolder);
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithURL(
        QUrl::fromLocalFile(path), {{QString::fromLatin1(ZZOpenOptionsCreateIfMissingKey), true}}, &error);
    if (!archive)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: %2").arg(path, error.description()));
    appendEntry(*archive, QStringLiteral("textFile.txt"), QByteArray(" "), &error);
    // Like the archive's other errors, a file that cannot be added is logged and left out.
    for (const Item &item : items) {
        const std::optional<QByteArray> content = contentOf(item);
        error = {};
        appendEntry(*archive, item.entryName, content, &error);
        platform::consoleLog(QStringLiteral("fileName %1").arg(item.entryName));
        platform::consoleLog(
            QStringLiteral("fileText.length %1").arg(QString::fromUtf8(content.value_or(QByteArray())).size()));
        platform::consoleLog(
            QStringLiteral("err %1").arg(error.isNull() ? QStringLiteral("(null)") : error.description()));
    }
    return path;
}

void HMSupportLogArchive::makeLogArchive(const Sources &sources, const std::weak_ptr<HMFileRevealer> &revealer)
{
    // One queue for every request, so that two writes of the archive never overlap.
    static const std::shared_ptr<platform::DispatchQueue> s_archiveQueue =
        platform::DispatchQueue::createSerial(QStringLiteral("SupportLogs.zip"));
    s_archiveQueue->async([sources, revealer] {
        const Result<QString> written = HMSupportLogArchive(sources).writeArchive();
        if (!written) {
            platform::consoleLog(QStringLiteral("SupportLogs.zip: %1").arg(written.error().message()));
            return;
        }
        platform::DispatchQueue::main()->async([revealer, path = *written] {
            if (const std::shared_ptr<HMFileRevealer> strong = revealer.lock())
                strong->revealFile(path);
        });
    });
}
