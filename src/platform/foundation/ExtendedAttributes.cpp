#include "platform/foundation/ExtendedAttributes.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cerrno>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace platform {

namespace {

Q_LOGGING_CATEGORY(lcXattr, "hm.platform.xattr")

// An attribute value larger than this is not one of ours; reading stops rather than allocating.
constexpr qsizetype kMaxValueBytes = 64 * 1024;
// The size can change between asking for it and reading; a few retries cover any honest race.
constexpr int kMaxReadAttempts = 4;

bool isUnsupported(int error)
{
    return error == ENOTSUP || error == EOPNOTSUPP;
}

QByteArray attributeKey(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    return utf8.startsWith("user.") ? utf8 : QByteArray("user.") + utf8;
}

Error errnoError(int error, const QString &path, const QString &action)
{
    const ErrorCode code = error == ENOENT                       ? ErrorCode::IoNotFound
                           : (error == EACCES || error == EPERM) ? ErrorCode::IoPermission
                                                                 : ErrorCode::IoOther;
    return Error(code, QStringLiteral("%1: %2: %3").arg(path, action, qt_error_string(error)));
}

// The identity of a file: the sidecar belongs to the file with this device and inode only.
struct FileIdentity
{
    qint64 device = 0;
    qint64 inode = 0;
};

Result<FileIdentity> identityOf(const QString &path)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return errnoError(errno, path, QStringLiteral("cannot read the file's identity"));
    return FileIdentity{qint64(status.st_dev), qint64(status.st_ino)};
}

// The marks the sidecar holds for the file as it is now; a missing, damaged or stale sidecar holds none.
Result<QJsonObject> readSidecar(const QString &path, const FileIdentity &identity)
{
    const QString sidecar = ExtendedAttributes::sidecarPath(path);
    const Result<QByteArray> bytes = readWholeFile(sidecar);
    if (!bytes) {
        if (bytes.error().code() == ErrorCode::IoNotFound)
            return QJsonObject();
        return bytes.error();
    }
    QJsonParseError parseError{};
    const QJsonObject document = QJsonDocument::fromJson(*bytes, &parseError).object();
    if (parseError.error != QJsonParseError::NoError) {
        qCWarning(lcXattr).noquote() << sidecar << ": damaged, its marks are ignored:" << parseError.errorString();
        return QJsonObject();
    }
    if (document.value(QStringLiteral("device")).toInteger() != identity.device ||
        document.value(QStringLiteral("inode")).toInteger() != identity.inode)
        return QJsonObject();
    return document.value(QStringLiteral("attributes")).toObject();
}

struct SidecarState
{
    FileIdentity identity;
    QJsonObject attributes;
};

Result<SidecarState> loadSidecar(const QString &path)
{
    const Result<FileIdentity> identity = identityOf(path);
    if (!identity)
        return identity.error();
    Result<QJsonObject> attributes = readSidecar(path, *identity);
    if (!attributes)
        return attributes.error();
    return SidecarState{*identity, std::move(*attributes)};
}

Status writeSidecar(const QString &path, const FileIdentity &identity, const QJsonObject &attributes)
{
    const QString sidecar = ExtendedAttributes::sidecarPath(path);
    if (attributes.isEmpty()) {
        const Status removed = FileSystem::removeItem(sidecar);
        if (!removed && removed.error().code() != ErrorCode::IoNotFound)
            return removed;
        return success();
    }
    const QJsonObject document{{QStringLiteral("device"), identity.device},
                               {QStringLiteral("inode"), identity.inode},
                               {QStringLiteral("attributes"), attributes}};
    return writeFileAtomically(sidecar, QJsonDocument(document).toJson(QJsonDocument::Compact));
}

} // namespace

QString ExtendedAttributes::sidecarPath(const QString &path)
{
    const QFileInfo file(path);
    return file.absolutePath() + QStringLiteral("/.") + file.fileName() + QStringLiteral(".xattrs");
}

Status ExtendedAttributes::set(const QString &path, const QString &name, const QByteArray &value)
{
    const QByteArray key = attributeKey(name);
    if (::setxattr(QFile::encodeName(path).constData(), key.constData(), value.constData(), size_t(value.size()), 0) ==
        0)
        return success();
    const int error = errno;
    if (isUnsupported(error))
        return setInSidecar(path, name, value);
    return errnoError(error, path, QStringLiteral("cannot set the attribute %1").arg(QString::fromUtf8(key)));
}

Result<QByteArray> ExtendedAttributes::value(const QString &path, const QString &name)
{
    const QByteArray nativePath = QFile::encodeName(path);
    const QByteArray key = attributeKey(name);
    for (int attempt = 0; attempt < kMaxReadAttempts; ++attempt) {
        const ssize_t size = ::getxattr(nativePath.constData(), key.constData(), nullptr, 0);
        if (size < 0) {
            const int error = errno;
            if (isUnsupported(error))
                return valueInSidecar(path, name);
            if (error == ENODATA)
                return Error(ErrorCode::DataMissing,
                             QStringLiteral("%1: no attribute %2").arg(path, QString::fromUtf8(key)));
            return errnoError(error, path, QStringLiteral("cannot read the attribute %1").arg(QString::fromUtf8(key)));
        }
        if (size > kMaxValueBytes)
            return Error(ErrorCode::DataMalformed, QStringLiteral("%1: the attribute %2 holds %3 bytes, more than %4")
                                                       .arg(path, QString::fromUtf8(key), QString::number(size),
                                                            QString::number(kMaxValueBytes)));
        QByteArray buffer(qsizetype(size), Qt::Uninitialized);
        const ssize_t read = ::getxattr(nativePath.constData(), key.constData(), buffer.data(), size_t(buffer.size()));
        if (read >= 0) {
            buffer.truncate(qsizetype(read));
            return buffer;
        }
        if (errno != ERANGE) // grown since the size was asked: ask again
            return errnoError(errno, path, QStringLiteral("cannot read the attribute %1").arg(QString::fromUtf8(key)));
    }
    return Error(ErrorCode::IoOther,
                 QStringLiteral("%1: the attribute %2 keeps changing size").arg(path, QString::fromUtf8(key)));
}

bool ExtendedAttributes::has(const QString &path, const QString &name)
{
    return value(path, name).ok();
}

Status ExtendedAttributes::remove(const QString &path, const QString &name)
{
    const QByteArray key = attributeKey(name);
    if (::removexattr(QFile::encodeName(path).constData(), key.constData()) == 0)
        return success();
    const int error = errno;
    if (error == ENODATA)
        return success();
    if (isUnsupported(error))
        return removeFromSidecar(path, name);
    return errnoError(error, path, QStringLiteral("cannot remove the attribute %1").arg(QString::fromUtf8(key)));
}

Status ExtendedAttributes::setInSidecar(const QString &path, const QString &name, const QByteArray &value)
{
    Result<SidecarState> state = loadSidecar(path);
    if (!state)
        return state.error();
    state->attributes.insert(QString::fromUtf8(attributeKey(name)), QString::fromLatin1(value.toBase64()));
    return writeSidecar(path, state->identity, state->attributes);
}

Result<QByteArray> ExtendedAttributes::valueInSidecar(const QString &path, const QString &name)
{
    const Result<SidecarState> state = loadSidecar(path);
    if (!state)
        return state.error();
    const QString key = QString::fromUtf8(attributeKey(name));
    const auto found = state->attributes.constFind(key);
    if (found == state->attributes.constEnd())
        return Error(ErrorCode::DataMissing, QStringLiteral("%1: no attribute %2").arg(path, key));
    return QByteArray::fromBase64(found->toString().toLatin1());
}

Status ExtendedAttributes::removeFromSidecar(const QString &path, const QString &name)
{
    Result<SidecarState> state = loadSidecar(path);
    if (!state)
        return state.error();
    const QString key = QString::fromUtf8(attributeKey(name));
    if (!state->attributes.contains(key))
        return success();
    state->attributes.remove(key);
    return writeSidecar(path, state->identity, state->attributes);
}

} // namespace platform
