#include "platform/appkit/StatusItem.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace platform {

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
    m_trayIcon->setIcon(image.icon());
    // A tray icon without an image cannot be shown; the item appears with its first image.
    if (!image.isNull() && !m_trayIcon->isVisible())
        m_trayIcon->show();
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
