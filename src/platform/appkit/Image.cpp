#include "platform/appkit/Image.h"

#include <QBuffer>
#include <QIcon>
#include <QPixmap>

namespace platform {

namespace {

// Encoded images from outside are decoded only up to this size: a small file may claim a huge image.
constexpr qsizetype kMaxEncodedImageBytes = 32 * 1024 * 1024;

} // namespace

Image Image::imageNamed(const QString &name)
{
    Image image;
    image.m_name = name;
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return image;
    image.m_image = QImage(resourcePrefix() + name);
    return image;
}

Image Image::fromData(const QByteArray &data)
{
    Image image;
    if (data.isEmpty() || data.size() > kMaxEncodedImageBytes)
        return image;
    image.m_image = QImage::fromData(data);
    return image;
}

QIcon Image::icon() const
{
    if (m_image.isNull())
        return {};
    return QIcon(QPixmap::fromImage(m_image));
}

QByteArray Image::pngRepresentation() const
{
    if (m_image.isNull())
        return {};
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!m_image.save(&buffer, "PNG"))
        return {};
    return png;
}

QString Image::resourcePrefix()
{
    return QStringLiteral(":/images/");
}

} // namespace platform
