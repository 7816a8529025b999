#include "platform/foundation/FileSystem.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// The XDG base directory rules ignore relative values of their variables; so do we.
QString xdgFolder(const char *variable, const QString &fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + fallbackUnderHome);
}

} // namespace

QString FileSystem::dataFolderPath()
{
    // QStandardPaths reads $XDG_DATA_HOME and $HOME afresh on every call.
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString base = dataHome.isEmpty() ? xdgFolder("XDG_DATA_HOME", QStringLiteral(".local/share")) : dataHome;
    return base + QLatin1Char('/') + Bundle::bundleIdentifier();
}

QString FileSystem::logFolderPath()
{
    // Qt 6.4 has no state location yet, so $XDG_STATE_HOME is read here as the XDG base directory rules say.
    return xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state")) + QLatin1Char('/') + ProcessInfo::processName() +
           QStringLiteral("/Logs");
}

QString FileSystem::temporaryFolderPath()
{
    // Qt answers nothing when $TMPDIR names a folder that does not exist; /tmp always does.
    const QString path = QDir::tempPath();
    return path.isEmpty() ? QStringLiteral("/tmp") : path;
}

QString FileSystem::systemRootPath()
{
    const QString value = qEnvironmentVariable("HM_SYSTEM_ROOT");
    if (value.isEmpty() || !QDir::isAbsolutePath(value))
        return QStringLiteral("/");
    return QDir::cleanPath(value);
}

QString FileSystem::systemPath(const QString &absolutePath)
{
    const QString root = systemRootPath();
    // The user's own folders are where $HOME says, root or not.
    const QString home = QDir::homePath() + QLatin1Char('/');
    if (root == u"/" || absolutePath.startsWith(home))
        return absolutePath;
    return QDir::cleanPath(root + QLatin1Char('/') + absolutePath);
}

Status FileSystem::createFolder(const QString &path)
{
    if (QFileInfo(path).isDir())
        return success();
    if (!QDir().mkpath(path)) {
        if (QFileInfo(path).isDir()) // made meanwhile by another thread or process
            return success();
        const QFileInfo blocking(path);
        if (blocking.exists())
            return Error(ErrorCode::IoOther,
                         QStringLiteral("%1: cannot create the folder: a file is in the way").arg(path));
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: cannot create the folder").arg(path));
    }
    return success();
}

Status FileSystem::createPrivateFolder(const QString &path)
{
    const QByteArray nativePath = QFile::encodeName(path);
    if (::mkdir(nativePath.constData(), 0700) != 0 && errno == ENOENT) {
        // Parents the user had not made yet hold nothing but our folders, so they are private too.
        if (const Status parent = createPrivateFolder(QFileInfo(path).absolutePath()); !parent)
            return parent;
        ::mkdir(nativePath.constData(), 0700);
    }
    struct stat status = {};
    if (::lstat(nativePath.constData(), &status) != 0)
        return Error(ErrorCode::IoPermission,
                     QStringLiteral("%1: cannot create the folder: %2").arg(path, qt_error_string(errno)));
    // A person may have put the folder elsewhere and linked it here; its permissions are theirs.
    if (S_ISLNK(status.st_mode) && QFileInfo(path).isDir())
        return success();
    if (!S_ISDIR(status.st_mode))
        return Error(ErrorCode::IoOther,
                     QStringLiteral("%1: cannot create the folder: a file is in the way").arg(path));
    if (status.st_uid == ::geteuid() && (status.st_mode & 077) != 0 && ::chmod(nativePath.constData(), 0700) != 0)
        return Error(ErrorCode::IoPermission,
                     QStringLiteral("%1: cannot make the folder private: %2").arg(path, qt_error_string(errno)));
    return success();
}

Result<QStringList> FileSystem::listFolder(const QString &path)
{
    const QFileInfo folder(path);
    if (!folder.exists())
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such folder").arg(path));
    if (!folder.isDir())
        return Error(ErrorCode::IoOther, QStringLiteral("%1: not a folder").arg(path));
    if (!folder.isReadable())
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: the folder cannot be read").arg(path));
    // QDir::Hidden is left out, so entries whose names begin with a dot are skipped.
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Unsorted);
}

bool FileSystem::fileExists(const QString &path)
{
    return QFileInfo::exists(path);
}

Result<FileAttributes> FileSystem::attributesOfItem(const QString &path)
{
    QFileInfo info(path);
    info.setCaching(false);
    if (!info.exists())
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such file").arg(path));
    FileAttributes attributes;
    attributes.size = info.size();
    attributes.isDirectory = info.isDir();
    attributes.modificationDate = info.lastModified().toUTC();
    const QDateTime birth = info.birthTime();
    attributes.creationDate = (birth.isValid() ? birth : info.metadataChangeTime()).toUTC();
    return attributes;
}

Status FileSystem::removeItem(const QString &path)
{
    const QByteArray nativePath = QFile::encodeName(path);
    if (::unlink(nativePath.constData()) == 0)
        return success();
    int error = errno;
    if (error == EISDIR || error == EPERM) {
        if (::rmdir(nativePath.constData()) == 0)
            return success();
        if (errno != ENOTDIR)
            error = errno;
    }
    if (error == ENOENT)
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such file").arg(path));
    const ErrorCode code = (error == EACCES || error == EPERM) ? ErrorCode::IoPermission : ErrorCode::IoOther;
    return Error(code, QStringLiteral("%1: cannot remove: %2").arg(path, qt_error_string(error)));
}

} // namespace platform
