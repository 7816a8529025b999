// Contact pictures to JPEG at full quality with libjpeg and libpng.
//
// The pictures went through Qt's image reader and JPEG writer before; photos already stored and
// Outlook contacts already set came from there, so this keeps the same choices: a grey picture (a grey
// JPEG, an 8-bit or lower grey PNG, a palette of greys) stays one grey channel, anything else is RGB
// with its alpha dropped; CMYK JPEGs become RGB as Adobe's inverted CMYK; the density a JPEG's JFIF header or a PNG's
// pHYs chunk gives is kept, else 100 dpi; texts (JPEG comments, PNG text chunks) become comments
// "key: value" in key order; a JPEG's or PNG's RGB colour profile is carried over. A PNG's sRGB, gAMA
// or cHRM chunk alone gives no profile: its pixels are written as they are, as sRGB.
//
// libjpeg and libpng report a fatal error by longjmp. The functions that call them (readJpeg,
// readPng, writeJpeg and the helpers they call while a jump may come) hold no object with a destructor,
// so that a jump skips none; their buffers belong to the caller.
#include "cloud/HMPhotoJpeg.h"

#include <jpeglib.h>
#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

namespace {

// QImage's density when a picture names none and no screen is known: 100 dots per inch.
constexpr int kDefaultDotsPerMeter = 3937;
constexpr int kQuality = 100;
// Qt's reader takes a JPEG colour profile from APP2 markers longer than this.
constexpr unsigned kMinIccMarkerLength = 128 + 4 + 14;
constexpr unsigned kIccMarkerHeaderLength = 14;
constexpr qsizetype kMaxCommentLength = 65530;

struct Bitmap
{
    quint32 width = 0;
    quint32 height = 0;
    int components = 3; // 1: grey; 3: RGB
    std::vector<unsigned char> pixels; // rows of width * components bytes
    int dotsPerMeterX = kDefaultDotsPerMeter;
    int dotsPerMeterY = kDefaultDotsPerMeter;
    QByteArray profile; // an RGB ICC profile, or empty
    std::map<QString, QString> texts; // one value a key, written in key order
};

enum class Decoding { Done, NoPicture, TooLarge, Failed };

struct JpegErrors
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void leaveJpeg(j_common_ptr info)
{
    auto *errors = reinterpret_cast<JpegErrors *>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings (a picture cut short, a corrupt stretch) are read past, as Qt's reader does.
void ignoreJpegMessage(j_common_ptr) {}

jpeg_error_mgr *jpegErrors(JpegErrors &errors)
{
    errors.message[0] = '\0';
    jpeg_error_mgr *manager = jpeg_std_error(&errors.manager);
    manager->error_exit = leaveJpeg;
    manager->output_message = ignoreJpegMessage;
    return manager;
}

bool tooLarge(quint32 width, quint32 height, qint64 maxPixels)
{
    return qint64(width) * qint64(height) > maxPixels;
}

bool isRgbProfile(const QByteArray &profile)
{
    return profile.size() >= 132 && profile.mid(36, 4) == "acsp" && profile.mid(16, 4) == "RGB ";
}

// A comment "key: value" is that text; any other comment is the description.
void takeJpegComment(const jpeg_saved_marker_ptr marker, Bitmap &bitmap)
{
    const QString comment =
        QString::fromUtf8(reinterpret_cast<const char *>(marker->data), qsizetype(marker->data_length));
    const qsizetype colon = comment.indexOf(QLatin1String(": "));
    if (colon == -1 || comment.indexOf(u' ') < colon)
        bitmap.texts[QStringLiteral("Description")] = comment;
    else
        bitmap.texts[comment.left(colon)] = comment.mid(colon + 2);
}

void takeJpegMarkers(const jpeg_decompress_struct &info, Bitmap &bitmap)
{
    QByteArray profile;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_COM)
            takeJpegComment(marker, bitmap);
        else if (marker->marker == JPEG_APP0 + 2 && marker->data_length > kMinIccMarkerLength &&
                 std::memcmp(marker->data, "ICC_PROFILE", 12) == 0)
            profile.append(reinterpret_cast<const char *>(marker->data) + kIccMarkerHeaderLength,
                           qsizetype(marker->data_length - kIccMarkerHeaderLength));
    }
    if (isRgbProfile(profile))
        bitmap.profile = profile;
    if (info.density_unit == 1 && info.X_density > 0 && info.Y_density > 0) {
        bitmap.dotsPerMeterX = int(100.0 * info.X_density / 2.54);
        bitmap.dotsPerMeterY = int(100.0 * info.Y_density / 2.54);
    } else if (info.density_unit == 2 && info.X_density > 0 && info.Y_density > 0) {
        bitmap.dotsPerMeterX = int(100.0 * info.X_density);
        bitmap.dotsPerMeterY = int(100.0 * info.Y_density);
    }
}

// Grey stays grey; RGB and YCbCr become RGB; CMYK and YCCK come as CMYK and are turned into RGB row by
// row. Answers false for any other number of channels.
bool chooseJpegOutput(jpeg_decompress_struct &info, Bitmap &bitmap)
{
    switch (info.num_components) {
    case 1:
        info.out_color_space = JCS_GRAYSCALE;
        bitmap.components = 1;
        return true;
    case 3:
        info.out_color_space = JCS_RGB;
        bitmap.components = 3;
        return true;
    case 4:
        info.out_color_space = JCS_CMYK;
        bitmap.components = 3;
        return true;
    default:
        return false;
    }
}

void cmykRowToRgb(const unsigned char *cmyk, quint32 width, unsigned char *rgb)
{
    for (quint32 x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const int black = cmyk[3];
        rgb[0] = static_cast<unsigned char>(black * cmyk[0] / 255);
        rgb[1] = static_cast<unsigned char>(black * cmyk[1] / 255);
        rgb[2] = static_cast<unsigned char>(black * cmyk[2] / 255);
    }
}

void readJpegRows(jpeg_decompress_struct &info, Bitmap &bitmap, std::vector<unsigned char> &cmykRow)
{
    const size_t stride = size_t(bitmap.width) * size_t(bitmap.components);
    while (info.output_scanline < info.output_height) {
        unsigned char *target = bitmap.pixels.data() + size_t(info.output_scanline) * stride;
        JSAMPROW row = info.out_color_space == JCS_CMYK ? cmykRow.data() : target;
        if (jpeg_read_scanlines(&info, &row, 1) != 1)
            break;
        if (info.out_color_space == JCS_CMYK)
            cmykRowToRgb(cmykRow.data(), bitmap.width, target);
    }
}

Decoding readJpeg(jpeg_decompress_struct &info, JpegErrors &errors, const QByteArray &bytes, qint64 maxPixels,
                  Bitmap &bitmap, std::vector<unsigned char> &cmykRow)
{
    // The jump is set before the structure is made, which may fail too; the caller zeroed it, so
    // destroying one never made is safe.
    info.err = jpegErrors(errors);
    volatile bool headerRead = false;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return headerRead ? Decoding::Failed : Decoding::NoPicture;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(bytes.constData()), static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&info, JPEG_COM, 0xFFFF);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    headerRead = true;
    bitmap.width = info.image_width;
    bitmap.height = info.image_height;
    if (tooLarge(info.image_width, info.image_height, maxPixels) || !chooseJpegOutput(info, bitmap)) {
        const bool large = tooLarge(info.image_width, info.image_height, maxPixels);
        jpeg_destroy_decompress(&info);
        return large ? Decoding::TooLarge : Decoding::Failed;
    }
    takeJpegMarkers(info, bitmap);
    jpeg_start_decompress(&info);
    bitmap.pixels.assign(size_t(bitmap.width) * bitmap.height * size_t(bitmap.components), 0);
    if (info.out_color_space == JCS_CMYK)
        cmykRow.resize(size_t(bitmap.width) * 4);
    readJpegRows(info, bitmap, cmykRow);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return Decoding::Done;
}

// PNG ---------------------------------------------------------------------------------------------------

struct PngSource
{
    const QByteArray *bytes = nullptr;
    qsizetype offset = 0;
};

void readPngBytes(png_structp png, png_bytep target, size_t length)
{
    auto *source = static_cast<PngSource *>(png_get_io_ptr(png));
    if (length > size_t(source->bytes->size() - source->offset))
        png_error(png, "the picture is cut short");
    std::memcpy(target, source->bytes->constData() + source->offset, length);
    source->offset += qsizetype(length);
}

void failPng(png_structp png, png_const_charp message)
{
    auto *text = static_cast<char *>(png_get_error_ptr(png));
    std::strncpy(text, message, JMSG_LENGTH_MAX - 1);
    text[JMSG_LENGTH_MAX - 1] = '\0';
    png_longjmp(png, 1);
}

void ignorePngWarning(png_structp, png_const_charp) {}

void takePngTexts(png_structp png, png_infop info, Bitmap &bitmap)
{
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, info, &texts, &count);
    for (int index = 0; index < count; ++index) {
        const png_text &text = texts[index];
        bitmap.texts[QString::fromLatin1(text.key)] =
            text.itxt_length > 0 ? QString::fromUtf8(text.text, qsizetype(text.itxt_length))
                                 : QString::fromLatin1(text.text, qsizetype(text.text_length));
    }
}

void takePngInfo(png_structp png, png_infop info, Bitmap &bitmap)
{
    png_uint_32 perMeterX = 0;
    png_uint_32 perMeterY = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &perMeterX, &perMeterY, &unit) != 0 && unit == PNG_RESOLUTION_METER) {
        if (perMeterX > 0 && perMeterX <= png_uint_32(INT_MAX))
            bitmap.dotsPerMeterX = int(perMeterX);
        if (perMeterY > 0 && perMeterY <= png_uint_32(INT_MAX))
            bitmap.dotsPerMeterY = int(perMeterY);
    }
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) != 0) {
        const QByteArray bytes(reinterpret_cast<const char *>(profile), qsizetype(length));
        if (isRgbProfile(bytes))
            bitmap.profile = bytes;
    }
    takePngTexts(png, info, bitmap);
}

bool hasGreyPalette(png_structp png, png_infop info)
{
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count) == 0)
        return false;
    for (int index = 0; index < count; ++index) {
        if (palette[index].red != palette[index].green || palette[index].green != palette[index].blue)
            return false;
    }
    return true;
}

// Every kind becomes 8-bit grey or RGB without alpha: palettes and low depths expanded, 16 bits rounded
// to 8, grey with alpha spread to RGB. Answers whether the RGB rows are a grey palette's, to be taken
// as one channel.
bool choosePngOutput(png_structp png, png_infop info, Bitmap &bitmap)
{
    const int type = png_get_color_type(png, info);
    const bool greyPalette = type == PNG_COLOR_TYPE_PALETTE && hasGreyPalette(png, info);
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_strip_alpha(png);
    // Grey with alpha and 16-bit grey were RGB to Qt's JPEG writer.
    if (type == PNG_COLOR_TYPE_GRAY_ALPHA || (type == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) == 16))
        png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    bitmap.components = greyPalette || png_get_channels(png, info) == 1 ? 1 : 3;
    return greyPalette;
}

void keepFirstChannel(Bitmap &bitmap)
{
    const size_t count = size_t(bitmap.width) * bitmap.height;
    for (size_t index = 0; index < count; ++index)
        bitmap.pixels[index] = bitmap.pixels[index * 3];
    bitmap.pixels.resize(count);
}

Decoding readPngRows(png_structp png, png_infop info, Bitmap &bitmap, std::vector<png_bytep> &rows, bool greyPalette)
{
    const size_t stride = png_get_rowbytes(png, info);
    if (stride != size_t(bitmap.width) * size_t(greyPalette ? 3 : bitmap.components))
        return Decoding::Failed;
    bitmap.pixels.assign(stride * bitmap.height, 0);
    rows.resize(bitmap.height);
    for (quint32 y = 0; y < bitmap.height; ++y)
        rows[y] = bitmap.pixels.data() + size_t(y) * stride;
    png_read_image(png, rows.data());
    png_read_end(png, info);
    if (greyPalette)
        keepFirstChannel(bitmap);
    return Decoding::Done;
}

Decoding readPng(png_structp png, png_infop info, PngSource &source, qint64 maxPixels, Bitmap &bitmap,
                 std::vector<png_bytep> &rows)
{
    volatile bool headerRead = false;
    if (setjmp(png_jmpbuf(png)))
        return headerRead ? Decoding::Failed : Decoding::NoPicture;
    png_set_read_fn(png, &source, readPngBytes);
    png_read_info(png, info);
    headerRead = true;
    bitmap.width = png_get_image_width(png, info);
    bitmap.height = png_get_image_height(png, info);
    if (tooLarge(bitmap.width, bitmap.height, maxPixels))
        return Decoding::TooLarge;
    takePngInfo(png, info, bitmap);
    const bool greyPalette = choosePngOutput(png, info, bitmap);
    const Decoding rowsRead = readPngRows(png, info, bitmap, rows, greyPalette);
    // Texts after the pixels count too.
    if (rowsRead == Decoding::Done)
        takePngTexts(png, info, bitmap);
    return rowsRead;
}

Decoding decodePng(const QByteArray &bytes, qint64 maxPixels, Bitmap &bitmap, char *message)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, message, failPng, ignorePngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return Decoding::Failed;
    }
    PngSource source{&bytes, 0};
    std::vector<png_bytep> rows;
    const Decoding decoded = readPng(png, info, source, maxPixels, bitmap, rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return decoded;
}

Decoding decode(const QByteArray &bytes, qint64 maxPixels, Bitmap &bitmap, char *message)
{
    static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.startsWith("\xff\xd8")) {
        jpeg_decompress_struct info{};
        JpegErrors errors{};
        std::vector<unsigned char> cmykRow;
        const Decoding decoded = readJpeg(info, errors, bytes, maxPixels, bitmap, cmykRow);
        std::strncpy(message, errors.message, JMSG_LENGTH_MAX);
        return decoded;
    }
    if (bytes.startsWith(pngSignature))
        return decodePng(bytes, maxPixels, bitmap, message);
    return Decoding::NoPicture;
}

// Writing --------------------------------------------------------------------------------------------

struct Density
{
    UINT8 unit = 1;
    UINT16 x = 0;
    UINT16 y = 0;
};

// Dots per inch when the density is nearer a whole number of them than of dots per centimetre (the
// distance to a whole number of centimetres weighed in inches).
Density densityOf(const Bitmap &bitmap)
{
    const double inchX = bitmap.dotsPerMeterX * 2.54 / 100.0;
    const double inchY = bitmap.dotsPerMeterY * 2.54 / 100.0;
    const double centimetreX = bitmap.dotsPerMeterX / 100.0;
    const double centimetreY = bitmap.dotsPerMeterY / 100.0;
    const double offInches = std::abs(inchX - std::round(inchX)) + std::abs(inchY - std::round(inchY));
    const double offCentimetres =
        (std::abs(centimetreX - std::round(centimetreX)) + std::abs(centimetreY - std::round(centimetreY))) * 2.54;
    if (offInches < offCentimetres)
        return {1, UINT16(std::lround(inchX)), UINT16(std::lround(inchY))};
    return {2, UINT16((bitmap.dotsPerMeterX + 50) / 100), UINT16((bitmap.dotsPerMeterY + 50) / 100)};
}

std::vector<QByteArray> commentsOf(const Bitmap &bitmap)
{
    std::vector<QByteArray> comments;
    for (const auto &[key, value] : bitmap.texts) {
        QByteArray comment = key.toUtf8();
        if (!comment.isEmpty())
            comment += ": ";
        comment += value.toUtf8();
        comments.push_back(comment.left(kMaxCommentLength));
    }
    return comments;
}

struct JpegOutput
{
    jpeg_compress_struct info;
    JpegErrors errors;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
};

void startJpeg(jpeg_compress_struct &info, const Bitmap &bitmap, const Density &density)
{
    info.image_width = bitmap.width;
    info.image_height = bitmap.height;
    info.input_components = bitmap.components;
    info.in_color_space = bitmap.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    info.density_unit = density.unit;
    info.X_density = density.x;
    info.Y_density = density.y;
    jpeg_set_quality(&info, kQuality, TRUE);
    jpeg_start_compress(&info, TRUE);
}

bool writeJpeg(JpegOutput &output, const Bitmap &bitmap, const Density &density, const std::vector<QByteArray> &comments)
{
    jpeg_compress_struct &info = output.info;
    info.err = jpegErrors(output.errors);
    if (setjmp(output.errors.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &output.buffer, &output.size);
    startJpeg(info, bitmap, density);
    for (const QByteArray &comment : comments)
        jpeg_write_marker(&info, JPEG_COM, reinterpret_cast<const JOCTET *>(comment.constData()), unsigned(comment.size()));
    if (bitmap.components == 3 && !bitmap.profile.isEmpty())
        jpeg_write_icc_profile(&info, reinterpret_cast<const JOCTET *>(bitmap.profile.constData()),
                               unsigned(bitmap.profile.size()));
    const size_t stride = size_t(bitmap.width) * size_t(bitmap.components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<unsigned char *>(bitmap.pixels.data()) + size_t(info.next_scanline) * stride;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

std::optional<QByteArray> encode(const Bitmap &bitmap, QString &problem)
{
    JpegOutput output{};
    const bool written = writeJpeg(output, bitmap, densityOf(bitmap), commentsOf(bitmap));
    std::optional<QByteArray> jpeg;
    if (written)
        jpeg = QByteArray(reinterpret_cast<const char *>(output.buffer), qsizetype(output.size));
    else
        problem = QStringLiteral("it cannot be written as JPEG (%1)").arg(QString::fromLocal8Bit(output.errors.message));
    std::free(output.buffer);
    return jpeg;
}

} // namespace

std::optional<QByteArray> HMPhotoJpeg::fromPicture(const QByteArray &picture, qint64 maxPixels, QString &problem)
{
    Bitmap bitmap;
    char message[JMSG_LENGTH_MAX] = {};
    switch (decode(picture, maxPixels, bitmap, message)) {
    case Decoding::NoPicture:
        problem = QStringLiteral("it is no picture");
        return std::nullopt;
    case Decoding::TooLarge:
        problem = QStringLiteral("the picture is %1 x %2 pixels, too large").arg(bitmap.width).arg(bitmap.height);
        return std::nullopt;
    case Decoding::Failed:
        problem = QStringLiteral("it is no readable picture (%1)").arg(QString::fromLocal8Bit(message));
        return std::nullopt;
    case Decoding::Done:
        break;
    }
    return encode(bitmap, problem);
}
