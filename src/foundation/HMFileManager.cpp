#include "foundation/HMFileManager.h"

#include "foundation/NSString+stripHtml.h"

#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileSystem.h"

using platform::ErrorCode;
using platform::FileSystem;

namespace {

void reportError(const platform::Error &error)
{
    platform::consoleLog(QStringLiteral("Error: %1").arg(error.message()));
}

} // namespace

QUrl HMFileManager::dataStorageURL()
{
    const QString folder = FileSystem::dataFolderPath();
    if (folder.isEmpty())
        return QUrl();
    // The folder holds profiles with account secrets: nobody but its owner may look inside.
    const platform::Status created = FileSystem::createPrivateFolder(folder);
    if (!created)
        reportError(created.error());
    return QUrl::fromLocalFile(folder);
}

bool HMFileManager::fileExistsAtURL(const QUrl &url)
{
    return FileSystem::fileExists(url.toLocalFile());
}

bool HMFileManager::deleteFileAtURL(const QUrl &url)
{
    const platform::Status removed = FileSystem::removeItem(url.toLocalFile());
    if (removed)
        return true;
    reportError(removed.error());
    return removed.error().code() == ErrorCode::IoNotFound;
}

QString HMFileManager::uidString()
{
    return ::uidString();
}
