#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Contact pictures that come from the cloud or from Google are kept as JPEG files at full quality for
// Outlook. This turns the bytes received (JPEG or PNG) into those JPEG bytes with libjpeg and libpng
// alone, so that a headless sync maps no part of the windowing toolkit. The result matches what Qt's
// image reader and JPEG writer at quality 100 make of the same bytes: the same pixels, chroma
// subsampling, quantisation and density (100 dpi when the picture names none), the picture's texts as
// JPEG comments and a JPEG's RGB colour profile carried over.
namespace HMPhotoJpeg {

// The JPEG bytes, or none with the reason in `problem`. The picture's size is read from its header
// before any pixel is decoded and refused when it holds more than `maxPixels`, so that a crafted header
// cannot make the decoder allocate without bound.
std::optional<QByteArray> fromPicture(const QByteArray &picture, qint64 maxPixels, QString &problem);

} // namespace HMPhotoJpeg
