#include "foundation/Lumberjack/DDLogFileManagerDefault.h"

#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileInfo.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Identifiers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// New names are random; a folder would need millions of log files before this many draws collide.
constexpr int kMaximumNameAttempts = 100;

// Newest first. Files made within one tick of the clock are told apart by their last write, so the
// file being written always sorts before the file it replaced.
bool isNewer(const std::shared_ptr<DDLogFileInfo> &first, const std::shared_ptr<DDLogFileInfo> &second)
{
    const int byCreation = first->reverseCompareByCreationDate(*second);
    if (byCreation != 0)
        return byCreation < 0;
    return first->reverseCompareByModificationDate(*second) < 0;
}

} // namespace

DDLogFileManagerDefault::DDLogFileManagerDefault(const QString &logsDirectory)
    : m_logsDirectory(logsDirectory.isNull() ? defaultLogsDirectory() : logsDirectory)
{
}

QString DDLogFileManagerDefault::defaultLogsDirectory()
{
    return platform::FileSystem::logFolderPath();
}

bool DDLogFileManagerDefault::isLogFile(const QString &fileName)
{
    if (fileName.size() < 10 || !fileName.startsWith(QStringLiteral("log-")))
        return false;
    const QString hexDigits = QStringLiteral("0123456789ABCDEF");
    for (qsizetype index = 4; index < 10; ++index) {
        if (!hexDigits.contains(fileName.at(index)))
            return false;
    }
    return true;
}

QString DDLogFileManagerDefault::generateShortUUID()
{
    return platform::newUuidText().left(6);
}

QString DDLogFileManagerDefault::logsDirectory()
{
    // Log lines may quote records: the folder is its owner's only.
    const platform::Status created = platform::FileSystem::createPrivateFolder(m_logsDirectory);
    if (!created) {
        platform::consoleLog(
            QStringLiteral("DDFileLogManagerDefault: Error creating logsDirectory: %1").arg(created.error().message()));
    }
    return m_logsDirectory;
}

QStringList DDLogFileManagerDefault::unsortedLogFilePaths()
{
    const QString directory = logsDirectory();
    const platform::Result<QStringList> names = platform::FileSystem::listFolder(directory);
    if (!names)
        return {};
    QStringList paths;
    for (const QString &name : *names) {
        // Only regular files are logs: a link or a folder under a log file's name is never written to.
        const QFileInfo entry(QDir(directory).filePath(name));
        if (isLogFile(name) && entry.isFile() && !entry.isSymLink())
            paths.append(entry.filePath());
    }
    return paths;
}

QStringList DDLogFileManagerDefault::unsortedLogFileNames()
{
    QStringList names;
    for (const QString &path : unsortedLogFilePaths())
        names.append(QFileInfo(path).fileName());
    return names;
}

std::vector<std::shared_ptr<DDLogFileInfo>> DDLogFileManagerDefault::unsortedLogFileInfos()
{
    std::vector<std::shared_ptr<DDLogFileInfo>> infos;
    for (const QString &path : unsortedLogFilePaths())
        infos.push_back(DDLogFileInfo::logFileWithPath(path));
    return infos;
}

QStringList DDLogFileManagerDefault::sortedLogFilePaths()
{
    QStringList paths;
    for (const auto &info : sortedLogFileInfos())
        paths.append(info->filePath());
    return paths;
}

QStringList DDLogFileManagerDefault::sortedLogFileNames()
{
    QStringList names;
    for (const auto &info : sortedLogFileInfos())
        names.append(info->fileName());
    return names;
}

std::vector<std::shared_ptr<DDLogFileInfo>> DDLogFileManagerDefault::sortedLogFileInfos()
{
    std::vector<std::shared_ptr<DDLogFileInfo>> infos = unsortedLogFileInfos();
    std::stable_sort(infos.begin(), infos.end(), isNewer);
    return infos;
}

platform::Result<QString> DDLogFileManagerDefault::createNewLogFile()
{
    const QString directory = logsDirectory();
    const QByteArray header = DDFileLogger::logFileHeader().toUtf8();
    for (int attempt = 0; attempt < kMaximumNameAttempts; ++attempt) {
        const QString path = QDir(directory).filePath(QStringLiteral("log-%1.txt").arg(generateShortUUID()));
        QFile file(path);
        if (file.exists())
            continue;
        // NewOnly fails when the name was taken since the test above (also by a link), so no file is
        // ever shared and none is written through a link.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            if (file.exists())
                continue;
            return platform::Error(platform::ErrorCode::IoWriteFailed,
                                   QStringLiteral("%1: cannot create the log file: %2").arg(path, file.errorString()));
        }
        if (!header.isEmpty() && file.write(header) != header.size()) {
            platform::consoleLog(
                QStringLiteral("%1: cannot write the log file's header: %2").arg(path, file.errorString()));
        }
        file.close();
        deleteOldLogFiles();
        return path;
    }
    return platform::Error(platform::ErrorCode::IoOther,
                           QStringLiteral("%1: no free log file name after %2 attempts").arg(directory, QString::number(kMaximumNameAttempts)));
}

quint64 DDLogFileManagerDefault::maximumNumberOfLogFiles() const
{
    return m_maximumNumberOfLogFiles.load();
}

void DDLogFileManagerDefault::setMaximumNumberOfLogFiles(quint64 maximumNumberOfLogFiles)
{
    const quint64 previous = m_maximumNumberOfLogFiles.exchange(maximumNumberOfLogFiles);
    if (previous == maximumNumberOfLogFiles)
        return;
    DDLog::loggingQueue()->async([weakSelf = weak_from_this()] {
        if (const auto self = weakSelf.lock())
            self->deleteOldLogFiles();
    });
}

void DDLogFileManagerDefault::deleteOldLogFiles()
{
    std::vector<std::shared_ptr<DDLogFileInfo>> infos = sortedLogFileInfos();
    if (infos.empty())
        return;
    if (!infos.front()->isArchived())
        infos.erase(infos.begin());
    const quint64 keptCount = m_maximumNumberOfLogFiles.load();
    for (std::size_t index = 0; index < infos.size(); ++index) {
        if (index >= keptCount)
            static_cast<void>(platform::FileSystem::removeItem(infos[index]->filePath()));
    }
}
