// Draws the application's images into a folder: the status-bar glyphs, the 32 frames of the sync
// animation, the application icon and the main settings sheet's pictures. Run by the build; the images are then compiled into the
// program as resources, so nothing here is read at run time.
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kGlyphSize = 40;
constexpr int kFrameCount = 32;
// The icon theme sizes a desktop looks for; the scalable icon is drawn as SVG beside this program.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QImage blankImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// The harrow: a frame with three tines, drawn in one colour so that it reads on any status bar.
void drawHarrowGlyph(QPainter &painter, const QColor &color, double size)
{
    QPen pen(color, size * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const double margin = size * 0.14;
    painter.drawLine(QPointF(margin, size * 0.3), QPointF(size - margin, size * 0.3));
    for (int tine = 0; tine < 3; ++tine) {
        const double x = margin + (size - 2 * margin) * tine / 2.0;
        painter.drawLine(QPointF(x, size * 0.3), QPointF(x + size * 0.06, size * 0.82));
    }
    painter.drawLine(QPointF(size * 0.5, size * 0.3), QPointF(size * 0.5, size * 0.12));
}

void drawArrowHead(QPainter &painter, const QPointF &tip, double angleDegrees, double length)
{
    const double radians = angleDegrees * M_PI / 180.0;
    QPainterPath head;
    head.moveTo(tip);
    head.lineTo(tip + QPointF(std::cos(radians + 2.6) * length, -std::sin(radians + 2.6) * length));
    head.lineTo(tip + QPointF(std::cos(radians - 2.6) * length, -std::sin(radians - 2.6) * length));
    head.closeSubpath();
    painter.fillPath(head, painter.pen().color());
}

// Two arcs chasing each other around the centre, turned by the given angle.
void drawSyncArrows(QPainter &painter, const QColor &color, double size, double turnDegrees)
{
    painter.setPen(QPen(color, size * 0.1, Qt::SolidLine, Qt::FlatCap));
    const double radius = size * 0.3;
    const QRectF circle(size / 2 - radius, size / 2 - radius, 2 * radius, 2 * radius);
    for (int half = 0; half < 2; ++half) {
        const double start = turnDegrees + half * 180.0 + 20.0;
        painter.drawArc(circle, int(start * 16), int(130 * 16));
        const double end = (start + 130.0) * M_PI / 180.0;
        const QPointF tip(size / 2 + radius * std::cos(end), size / 2 - radius * std::sin(end));
        drawArrowHead(painter, tip, start + 130.0 + 90.0, size * 0.2);
    }
}

bool save(const QImage &image, const QString &folder, const QString &name)
{
    const QString path = QDir(folder).filePath(name);
    if (image.save(path, "PNG"))
        return true;
    std::fprintf(stderr, "draw_images: cannot write %s\n", qPrintable(path));
    return false;
}

QImage glyph(const QColor &color)
{
    QImage image = blankImage(kGlyphSize);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawHarrowGlyph(painter, color, kGlyphSize);
    return image;
}

QImage syncImage(double turnDegrees, bool isPaused)
{
    QImage image = blankImage(kGlyphSize);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor color = isPaused ? QColor(128, 128, 128) : QColor(40, 120, 220);
    drawSyncArrows(painter, color, kGlyphSize, turnDegrees);
    if (isPaused) {
        const double bar = kGlyphSize * 0.08;
        painter.fillRect(QRectF(kGlyphSize * 0.5 - 2.2 * bar, kGlyphSize * 0.36, bar * 1.5, kGlyphSize * 0.28), color);
        painter.fillRect(QRectF(kGlyphSize * 0.5 + 0.7 * bar, kGlyphSize * 0.36, bar * 1.5, kGlyphSize * 0.28), color);
    }
    return image;
}

QImage applicationIcon(int size)
{
    QImage image = blankImage(size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient background(0, 0, 0, size);
    background.setColorAt(0, QColor(66, 140, 96));
    background.setColorAt(1, QColor(30, 90, 60));
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(size * 0.04, size * 0.04, size * 0.92, size * 0.92), size * 0.2, size * 0.2);
    drawHarrowGlyph(painter, QColor(250, 245, 230), size);
    return image;
}

// ---- The pictures of the main settings sheet: the Mac side, the sync method and the device ----
// Each is drawn on an 80-point square at the scale (1 or 2) into "name.png" and "name@2x.png".

constexpr int kPictureSize = 80;

struct Picture
{
    QImage image;
    QPainter painter;
    double unit;

    explicit Picture(int scale) : image(blankImage(kPictureSize * scale)), painter(&image), unit(scale)
    {
        painter.setRenderHint(QPainter::Antialiasing);
    }
    QRectF rect(double x, double y, double width, double height) const
    {
        return QRectF(x * unit, y * unit, width * unit, height * unit);
    }
    QPen pen(const QColor &color, double width, Qt::PenStyle style = Qt::SolidLine) const
    {
        return QPen(color, width * unit, style, Qt::RoundCap, Qt::RoundJoin);
    }
};

const QColor kPictureGrey(150, 150, 150);
const QColor kPictureInk(60, 64, 72);
const QColor kPictureBlue(30, 110, 210);

// A desktop monitor; dashed and empty for "nothing chosen".
void drawMonitor(Picture &picture, bool isDashed, const QColor &screen)
{
    picture.painter.setPen(picture.pen(isDashed ? kPictureGrey : kPictureInk, 3, isDashed ? Qt::DashLine : Qt::SolidLine));
    picture.painter.setBrush(screen);
    picture.painter.drawRoundedRect(picture.rect(10, 14, 60, 40), 4 * picture.unit, 4 * picture.unit);
    picture.painter.drawLine(QPointF(40 * picture.unit, 54 * picture.unit), QPointF(40 * picture.unit, 64 * picture.unit));
    picture.painter.drawLine(QPointF(26 * picture.unit, 66 * picture.unit), QPointF(54 * picture.unit, 66 * picture.unit));
}

// A phone; dashed and empty for "nothing chosen".
void drawPhone(Picture &picture, bool isDashed, const QColor &body)
{
    picture.painter.setPen(picture.pen(isDashed ? kPictureGrey : kPictureInk, 3, isDashed ? Qt::DashLine : Qt::SolidLine));
    picture.painter.setBrush(body);
    picture.painter.drawRoundedRect(picture.rect(24, 8, 32, 64), 6 * picture.unit, 6 * picture.unit);
    picture.painter.drawLine(QPointF(36 * picture.unit, 64 * picture.unit), QPointF(44 * picture.unit, 64 * picture.unit));
}

void drawLetter(Picture &picture, const QRectF &area, const QString &letter, const QColor &color, double points)
{
    QFont font(QStringLiteral("Sans"));
    font.setBold(true);
    font.setPixelSize(int(points * picture.unit));
    picture.painter.setFont(font);
    picture.painter.setPen(color);
    picture.painter.drawText(area, Qt::AlignCenter, letter);
}

// A two-way arrow across the square, the method's mark in its middle.
void drawLink(Picture &picture, const QColor &color, bool isDashed)
{
    picture.painter.setPen(picture.pen(color, 3, isDashed ? Qt::DashLine : Qt::SolidLine));
    const double y = 40 * picture.unit;
    picture.painter.drawLine(QPointF(8 * picture.unit, y), QPointF(72 * picture.unit, y));
    if (isDashed)
        return;
    picture.painter.setPen(picture.pen(color, 3));
    drawArrowHead(picture.painter, QPointF(74 * picture.unit, y), 0, 10 * picture.unit);
    drawArrowHead(picture.painter, QPointF(6 * picture.unit, y), 180, 10 * picture.unit);
}

void drawMark(Picture &picture, const QString &name)
{
    QPainter &painter = picture.painter;
    const double u = picture.unit;
    painter.setBrush(Qt::white);
    if (name == QLatin1String("method-qns")) {
        painter.setPen(picture.pen(kPictureBlue, 3));
        QPainterPath cloud;
        cloud.addEllipse(picture.rect(24, 22, 20, 20));
        cloud.addEllipse(picture.rect(36, 18, 22, 24));
        cloud.addRoundedRect(picture.rect(20, 30, 42, 16), 8 * u, 8 * u);
        painter.drawPath(cloud.simplified());
    } else if (name == QLatin1String("method-wifi")) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(picture.pen(kPictureBlue, 3));
        for (int ring = 1; ring <= 3; ++ring) {
            const double radius = ring * 7.0;
            painter.drawArc(picture.rect(40 - radius, 30 - radius, 2 * radius, 2 * radius), 45 * 16, 90 * 16);
        }
        painter.setBrush(kPictureBlue);
        painter.drawEllipse(picture.rect(37.5, 27.5, 5, 5));
    } else if (name == QLatin1String("method-usb")) {
        painter.setPen(picture.pen(kPictureInk, 3));
        painter.drawRect(picture.rect(30, 26, 20, 14));
        painter.fillRect(picture.rect(34, 29, 4, 4), kPictureInk);
        painter.fillRect(picture.rect(42, 29, 4, 4), kPictureInk);
    } else if (name == QLatin1String("method-direct")) {
        painter.setPen(picture.pen(kPictureBlue, 3));
        painter.drawEllipse(picture.rect(31, 31, 18, 18));
    }
}

QImage settingsPicture(const QString &name, int scale)
{
    Picture picture(scale);
    if (name == QLatin1String("none-pc") || name == QLatin1String("generic-pc") || name == QLatin1String("outlook")) {
        const bool isNone = name == QLatin1String("none-pc");
        drawMonitor(picture, isNone, isNone ? QColor(Qt::transparent) : QColor(225, 236, 248));
        if (name == QLatin1String("outlook"))
            drawLetter(picture, picture.rect(10, 14, 60, 40), QStringLiteral("O"), kPictureBlue, 28);
        else if (isNone)
            drawLetter(picture, picture.rect(10, 14, 60, 40), QStringLiteral("?"), kPictureGrey, 24);
    } else if (name.startsWith(QLatin1String("method-"))) {
        const bool isNone = name == QLatin1String("method-none");
        drawLink(picture, isNone ? kPictureGrey : kPictureInk, isNone);
        drawMark(picture, name);
    } else if (name == QLatin1String("none-device") || name == QLatin1String("android")) {
        const bool isNone = name == QLatin1String("none-device");
        drawPhone(picture, isNone, isNone ? QColor(Qt::transparent) : QColor(164, 198, 57));
        drawLetter(picture, picture.rect(24, 8, 32, 56), isNone ? QStringLiteral("?") : QStringLiteral("A"),
                   isNone ? kPictureGrey : QColor(Qt::white), 22);
    } else {
        // The services: a round badge with the service's initial.
        const bool isGoogle = name == QLatin1String("google");
        picture.painter.setPen(picture.pen(isGoogle ? QColor(66, 133, 244) : QColor(120, 84, 40), 4));
        picture.painter.setBrush(Qt::white);
        picture.painter.drawEllipse(picture.rect(10, 10, 60, 60));
        drawLetter(picture, picture.rect(10, 10, 60, 60), isGoogle ? QStringLiteral("G") : QStringLiteral("Q"),
                   isGoogle ? QColor(219, 68, 55) : QColor(120, 84, 40), 34);
    }
    picture.painter.end();
    return picture.image;
}

bool saveSettingsPictures(const QString &folder)
{
    const char *const names[] = {"none-pc", "generic-pc", "outlook", "method-none", "method-qns", "method-direct",
                                 "method-wifi", "method-usb", "none-device", "quillnest", "google", "android"};
    for (const char *const name : names) {
        const QString base = QString::fromLatin1(name);
        if (!save(settingsPicture(base, 1), folder, base + QStringLiteral(".png"))
            || !save(settingsPicture(base, 2), folder, base + QStringLiteral("@2x.png")))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_images <folder>\n");
        return 2;
    }
    // The pictures' letters need the font database, which needs an application; it needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int applicationArgc = 1;
    QGuiApplication application(applicationArgc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "draw_images: cannot make %s\n", argv[1]);
        return 1;
    }
    bool isComplete = save(glyph(QColor(20, 20, 20)), folder, QStringLiteral("hmm-toolbar-20.png"))
                      && save(glyph(QColor(245, 245, 245)), folder, QStringLiteral("hmm-toolbar-20-inverted.png"))
                      && save(syncImage(0, true), folder, QStringLiteral("sync-pause.png"))
                      && save(syncImage(0, false), folder, QStringLiteral("sync-active.png"));
    for (int frame = 1; isComplete && frame <= kFrameCount; ++frame) {
        const double turn = -360.0 * (frame - 1) / kFrameCount;
        isComplete = save(syncImage(turn, false), folder, QStringLiteral("sync-%1.png").arg(frame));
    }
    for (const int size : kIconSizes) {
        if (isComplete)
            isComplete = save(applicationIcon(size), folder, QStringLiteral("harrowmere-%1.png").arg(size));
    }
    return isComplete && saveSettingsPictures(folder) ? 0 : 1;
}
