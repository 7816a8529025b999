// Draws the application's images into a folder: the status-bar glyphs, the 32 frames of the sync
// animation and the application icon. Run by the build; the images are then compiled into the
// program as resources, so nothing here is read at run time.
#include <QColor>
#include <QDir>
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_images <folder>\n");
        return 2;
    }
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
    return isComplete ? 0 : 1;
}
