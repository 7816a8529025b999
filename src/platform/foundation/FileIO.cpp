#include "platform/foundation/FileIO.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace platform {

Result<QByteArray> readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such file").arg(path));
    if (!file.open(QIODevice::ReadOnly))
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: cannot open: %2").arg(path, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot read: %2").arg(path, file.errorString()));
    return bytes;
}

Status writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: cannot open for writing: %2").arg(path, file.errorString()));
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: write failed: %2").arg(path, reason));
    }
    if (!file.commit())
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: cannot replace the file: %2").arg(path, file.errorString()));
    return success();
}

} // namespace platform
