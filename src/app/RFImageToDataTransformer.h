#pragma once

#include "platform/appkit/Image.h"

#include <QByteArray>
#include <QMetaType>

// Turns an image into data and back, for settings that store a picture. The data is the image's PNG
// encoding, lossless like the picture it stands for. Stateless; any thread.
class RFImageToDataTransformer final
{
public:
    static QMetaType transformedValueClass() { return QMetaType::fromType<QByteArray>(); }
    static bool allowsReverseTransformation() { return true; }

    // The encoded image; empty for a null image.
    QByteArray transformedValue(const platform::Image &image) const;
    // A new image from the data; a null image when the data is no image.
    platform::Image reverseTransformedValue(const QByteArray &data) const;
};
