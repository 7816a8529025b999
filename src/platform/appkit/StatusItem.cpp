#include "platform/appkit/StatusItem.h"

#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

namespace platform {

namespace {

// The tray places and paints a new item a moment after it is shown; its panel is judged then.
constexpr int kDockSettleMilliseconds = 400;

QColor foregroundOn(const QColor &background)
{
    return background.lightnessF() < 0.5 ? QColor(245, 245, 245) : QColor(20, 20, 20);
}

} // namespace

StatusItem::StatusItem(double length) : m_length(length), m_trayIcon(std::make_unique<QSystemTrayIcon>())
{
    connect(m_trayIcon.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (m_isEnabled && reason == QSystemTrayIcon::Trigger)
            emit clicked();
    });
}

StatusItem::~StatusItem()
{
    m_trayIcon->hide();
}

void StatusItem::setImage(const Image &image)
{
    m_image = image;
    applyImage();
    // A tray icon without an image cannot be shown; the item appears with its first image.
    if (!image.isNull() && !m_trayIcon->isVisible()) {
        m_trayIcon->show();
        if (image.isTemplate())
            QTimer::singleShot(kDockSettleMilliseconds, this, [this] { applyImage(); });
    }
}

void StatusItem::applyImage()
{
    m_trayIcon->setIcon(m_image.isTemplate() ? QIcon(QPixmap::fromImage(m_image.tinted(templateColor())))
                                             : m_image.icon());
}

QColor StatusItem::templateColor() const
{
    // The item's corner shows the panel: the glyph keeps clear of it.
    const QRect area = m_trayIcon->isVisible() ? m_trayIcon->geometry() : QRect();
    QScreen *const screen = area.isValid() ? QGuiApplication::screenAt(area.center()) : nullptr;
    const QImage corner = screen != nullptr ? screen->grabWindow(0, area.x(), area.y(), 1, 1).toImage() : QImage();
    if (!corner.isNull())
        return foregroundOn(corner.pixelColor(0, 0));
    return foregroundOn(QGuiApplication::palette().color(QPalette::Window));
}

void StatusItem::setAlternateImage(const Image &image)
{
    m_alternateImage = image;
}

void StatusItem::setEnabled(bool enabled)
{
    m_isEnabled = enabled;
    m_trayIcon->setContextMenu(enabled ? m_menu.data() : nullptr);
}

void StatusItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    m_trayIcon->setContextMenu(m_isEnabled ? menu : nullptr);
}

void StatusItem::setToolTip(const QString &toolTip)
{
    m_trayIcon->setToolTip(toolTip);
}

bool StatusItem::isShownByDesktop() const
{
    return QSystemTrayIcon::isSystemTrayAvailable() && m_trayIcon->isVisible();
}

} // namespace platform
