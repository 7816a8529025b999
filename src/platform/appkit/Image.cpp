#include "platform/appkit/Image.h"

#include <QColor>

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

QImage Image::tinted(const QColor &color) const
{
    if (m_image.isNull())
        return {};
    QImage image = m_image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *const line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgba(color.red(), color.green(), color.blue(), qAlpha(line[x]));
    }
    return image;
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
