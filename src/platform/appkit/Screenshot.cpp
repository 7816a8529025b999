#include "platform/appkit/Screenshot.h"

#include "platform/foundation/FileIO.h"

#include <QBuffer>
#include <QDir>
#include <QPixmap>
#include <QWidget>

namespace platform {

Result<QString> saveScreenshot(QWidget &widget, const QString &folder, const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return Error(ErrorCode::IoOther, QStringLiteral("screenshot name \"%1\" is not a file name").arg(name));
    if (!QDir().mkpath(folder))
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: cannot make the screenshot folder").arg(folder));
    widget.ensurePolished();
    const QPixmap pixmap = widget.grab();
    if (pixmap.isNull())
        return Error(ErrorCode::IoOther, QStringLiteral("%1: the widget rendered nothing").arg(name));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!pixmap.save(&buffer, "PNG"))
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot encode the screenshot as PNG").arg(name));
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    const Status written = writeFileAtomically(path, png);
    if (!written)
        return written.error();
    return path;
}

} // namespace platform
