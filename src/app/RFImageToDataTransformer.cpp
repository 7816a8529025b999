#include "app/RFImageToDataTransformer.h"

QByteArray RFImageToDataTransformer::transformedValue(const platform::Image &image) const
{
    return image.pngRepresentation();
}

platform::Image RFImageToDataTransformer::reverseTransformedValue(const QByteArray &data) const
{
    return platform::Image::fromData(data);
}
