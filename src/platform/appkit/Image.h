#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

class QColor;
class QIcon;

namespace platform {

// An image of the application's resources, found by its file name ("sync-pause.png"), or made from
// encoded bytes. A value; an image that could not be found or decoded is null. Images by name may be
// made on any thread; icons only on the main thread.
class Image final
{
public:
    Image() = default;

    // The resource image of that name, or a null image (its name kept) when there is none.
    static Image imageNamed(const QString &name);
    // An image decoded from PNG, TIFF, JPEG or any format Qt reads; null when the bytes are no image.
    static Image fromData(const QByteArray &data);

    const QString &name() const { return m_name; }
    bool isNull() const { return m_image.isNull(); }
    const QImage &image() const { return m_image; }
    QIcon icon() const;
    // The image encoded as PNG, a lossless format every reader knows; empty for a null image.
    QByteArray pngRepresentation() const;

    // A template image is a glyph whose shape alone counts: a status item draws it in the colour that
    // reads on the panel behind it, whatever colours the file holds.
    bool isTemplate() const { return m_isTemplate; }
    void setTemplate(bool isTemplate) { m_isTemplate = isTemplate; }
    // The image with every pixel in the colour, each keeping its own opacity.
    QImage tinted(const QColor &color) const;

    // The folder of the resource images inside the program.
    static QString resourcePrefix();

private:
    QString m_name;
    QImage m_image;
    bool m_isTemplate = false;
};

} // namespace platform
