// Contact pictures to JPEG without Qt's image formats: for every kind of JPEG and PNG a phone, the
// cloud or Google may send, the bytes written are those Qt's reader and JPEG writer at quality 100
// made of the same picture, byte for byte; what is no picture we read is refused with its reason.

#include "cloud/HMPhotoJpeg.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr qint64 kMaxPixels = 40'000'000;

// What the photo code made with Qt's image reader and JPEG writer.
QByteArray qtJpeg(const QByteArray &picture)
{
    QBuffer source;
    source.setData(picture);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source);
    const QImage image = reader.read();
    if (image.isNull())
        return {};
    QByteArray jpeg;
    QBuffer target(&jpeg);
    target.open(QIODevice::WriteOnly);
    QImageWriter writer(&target, "jpeg");
    writer.setQuality(100);
    return writer.write(image) ? jpeg : QByteArray();
}

QByteArray ours(const QByteArray &picture)
{
    QString problem;
    const std::optional<QByteArray> jpeg = HMPhotoJpeg::fromPicture(picture, kMaxPixels, problem);
    EXPECT_TRUE(jpeg.has_value()) << problem.toStdString();
    return jpeg.value_or(QByteArray());
}

QString problemWith(const QByteArray &picture, qint64 maxPixels = kMaxPixels)
{
    QString problem;
    EXPECT_FALSE(HMPhotoJpeg::fromPicture(picture, maxPixels, problem).has_value());
    return problem;
}

QByteArray encoded(const QImage &image, const char *format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    EXPECT_TRUE(writer.write(image));
    return bytes;
}

// A picture with detail in every channel, so that subsampling and rounding show.
QImage pattern(int width, int height, QImage::Format format)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgba((x * 37 + y * 11) % 256, (x * y * 3) % 256, (255 - x * 5) % 256, (x * 9 + y) % 256));
    }
    return image.convertToFormat(format);
}

// The JFIF header's density of a JPEG Qt wrote: unit, then horizontal and vertical, big-endian.
QByteArray withDensity(QByteArray jpeg, char unit, int x, int y)
{
    jpeg[13] = unit;
    jpeg[14] = char(x >> 8);
    jpeg[15] = char(x & 0xff);
    jpeg[16] = char(y >> 8);
    jpeg[17] = char(y & 0xff);
    return jpeg;
}

QByteArray withComment(const QByteArray &jpeg, const QByteArray &comment)
{
    const int length = int(comment.size()) + 2;
    QByteArray marker("\xff\xfe", 2);
    marker += char(length >> 8);
    marker += char(length & 0xff);
    return jpeg.left(2) + marker + comment + jpeg.mid(2);
}

// An Adobe CMYK JPEG as photo tools write them, which Qt's writer cannot make.
QByteArray cmykJpeg(int width, int height)
{
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(size_t(width) * 4);
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < width; ++x) {
            const unsigned line = info.next_scanline;
            row[size_t(x) * 4] = (unsigned char)(x * 13);
            row[size_t(x) * 4 + 1] = (unsigned char)(line * 7);
            row[size_t(x) * 4 + 2] = (unsigned char)(200 - x);
            row[size_t(x) * 4 + 3] = (unsigned char)(255 - line * 3);
        }
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    QByteArray bytes(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    jpeg_destroy_compress(&info);
    return bytes;
}

void expectAsQtMakesIt(const QByteArray &picture, const char *what)
{
    const QByteArray expected = qtJpeg(picture);
    ASSERT_FALSE(expected.isEmpty()) << what;
    EXPECT_EQ(ours(picture).toHex().toStdString(), expected.toHex().toStdString()) << what;
}

} // namespace

TEST(PhotoJpeg, JpegsComeOutAsQtWroteThem)
{
    const QByteArray colour = encoded(pattern(41, 29, QImage::Format_RGB32), "jpeg", 90);
    expectAsQtMakesIt(colour, "colour at 100 dpi");
    expectAsQtMakesIt(withDensity(colour, 0, 1, 1), "no density");
    expectAsQtMakesIt(withDensity(colour, 1, 72, 72), "72 dpi");
    expectAsQtMakesIt(withDensity(colour, 1, 300, 150), "300 x 150 dpi");
    expectAsQtMakesIt(withDensity(colour, 2, 28, 28), "28 dots a centimetre");
    expectAsQtMakesIt(encoded(pattern(16, 16, QImage::Format_Grayscale8), "jpeg", 75), "grey");
    expectAsQtMakesIt(cmykJpeg(19, 23), "CMYK");
    expectAsQtMakesIt(encoded(pattern(1, 1, QImage::Format_RGB32), "jpeg"), "one pixel");
    QByteArray progressive;
    QBuffer buffer(&progressive);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    ASSERT_TRUE(writer.write(pattern(50, 35, QImage::Format_RGB32)));
    expectAsQtMakesIt(progressive, "progressive");

    QImage titled = pattern(12, 10, QImage::Format_RGB32);
    titled.setText(QStringLiteral("Title"), QStringLiteral("Ann Ö"));
    titled.setText(QStringLiteral("Author"), QStringLiteral("Bob"));
    expectAsQtMakesIt(encoded(titled, "jpeg"), "texts");
    expectAsQtMakesIt(withComment(colour, "a plain comment"), "a comment without a key");
    expectAsQtMakesIt(withComment(withComment(colour, "first: one"), "second: two"), "two comments");

    QImage profiled = pattern(20, 20, QImage::Format_RGB32);
    profiled.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
    const QByteArray withProfile = encoded(profiled, "jpeg");
    ASSERT_TRUE(withProfile.contains("ICC_PROFILE"));
    expectAsQtMakesIt(withProfile, "Adobe RGB profile");
    EXPECT_TRUE(ours(withProfile).contains(QColorSpace(QColorSpace::AdobeRgb).iccProfile()));
}

TEST(PhotoJpeg, PngsComeOutAsQtWroteThem)
{
    expectAsQtMakesIt(encoded(pattern(33, 17, QImage::Format_RGB32), "png"), "RGB");
    expectAsQtMakesIt(encoded(pattern(33, 17, QImage::Format_ARGB32), "png"), "RGB with alpha");
    expectAsQtMakesIt(encoded(pattern(9, 13, QImage::Format_Grayscale8), "png"), "grey");
    expectAsQtMakesIt(encoded(pattern(9, 13, QImage::Format_Grayscale16), "png"), "16-bit grey");
    expectAsQtMakesIt(encoded(pattern(21, 8, QImage::Format_RGBX64), "png"), "16-bit RGB");
    expectAsQtMakesIt(encoded(pattern(21, 8, QImage::Format_Mono), "png"), "one bit");
    QImage profiled = pattern(15, 15, QImage::Format_ARGB32);
    profiled.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
    expectAsQtMakesIt(encoded(profiled, "png"), "Adobe RGB profile");

    QImage palette(10, 10, QImage::Format_Indexed8);
    palette.setColorTable({qRgb(255, 0, 0), qRgb(0, 128, 0), qRgba(0, 0, 255, 100)});
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 10; ++x)
            palette.setPixel(x, y, uint((x + y) % 3));
    }
    expectAsQtMakesIt(encoded(palette, "png"), "palette");
    palette.setColorTable({qRgb(0, 0, 0), qRgb(128, 128, 128), qRgb(250, 250, 250)});
    expectAsQtMakesIt(encoded(palette, "png"), "palette of greys");

    QImage noted = pattern(12, 10, QImage::Format_RGB32);
    noted.setText(QStringLiteral("Comment"), QStringLiteral("from the phone"));
    noted.setDotsPerMeterX(11811);
    noted.setDotsPerMeterY(11811);
    expectAsQtMakesIt(encoded(noted, "png"), "text and 300 dpi");
}

TEST(PhotoJpeg, RefusesWhatIsNoPictureItReadsWithItsReason)
{
    EXPECT_EQ(problemWith("this is no picture"), QStringLiteral("it is no picture"));
    EXPECT_EQ(problemWith(QByteArray()), QStringLiteral("it is no picture"));
    EXPECT_EQ(problemWith(QByteArray("\xff\xd8\xff\xe0", 4)), QStringLiteral("it is no picture"));
    EXPECT_EQ(problemWith(QByteArray("\x89PNG\r\n\x1a\n", 8)), QStringLiteral("it is no picture"));
    // GIF, BMP and the other formats Qt also read are not taken: phones and Google send JPEG.
    EXPECT_EQ(problemWith(encoded(pattern(4, 4, QImage::Format_RGB32), "bmp")), QStringLiteral("it is no picture"));

    const QByteArray jpeg = encoded(pattern(40, 30, QImage::Format_RGB32), "jpeg");
    EXPECT_EQ(problemWith(jpeg, 1199), QStringLiteral("the picture is 40 x 30 pixels, too large"));
    EXPECT_EQ(problemWith(encoded(pattern(40, 30, QImage::Format_RGB32), "png"), 1199),
              QStringLiteral("the picture is 40 x 30 pixels, too large"));
    // A header that claims 60000 x 60000 pixels is refused before anything is allocated.
    QByteArray huge = jpeg;
    const qsizetype frame = huge.indexOf("\xff\xc0");
    ASSERT_GT(frame, 0);
    huge[frame + 5] = char(0xea);
    huge[frame + 6] = char(0x60);
    huge[frame + 7] = char(0xea);
    huge[frame + 8] = char(0x60);
    EXPECT_EQ(problemWith(huge), QStringLiteral("the picture is 60000 x 60000 pixels, too large"));

    // A PNG whose pixel data is cut away is unreadable; a JPEG cut short is read as far as it goes, as Qt did.
    const QByteArray png = encoded(pattern(40, 30, QImage::Format_RGB32), "png");
    EXPECT_TRUE(problemWith(png.left(png.indexOf("IDAT") + 20)).startsWith(QStringLiteral("it is no readable picture (")));
    expectAsQtMakesIt(jpeg.left(jpeg.size() / 2), "cut short");
}
