#pragma once

#include "platform/appkit/Image.h"

#include <QColor>
#include <QMenu>
#include <QObject>
#include <QPointer>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace platform {

// The lengths a status item may ask for: as wide as its image, or square.
inline constexpr double NSVariableStatusItemLength = -1.0;
inline constexpr double NSSquareStatusItemLength = -2.0;

// An item of the system status bar: on Linux a tray icon (the desktop's status notifier or system
// tray) with its image and its menu. The item is shown from its first image until it goes; it does not own
// its menu, which the owner keeps alive while it is set. Where the desktop has no tray the item still
// keeps its state and menu, so the application works on. Main thread only; owned by one holder.
class StatusItem final : public QObject
{
    Q_OBJECT

public:
    explicit StatusItem(double length);
    ~StatusItem() override;
    StatusItem(const StatusItem &) = delete;
    StatusItem &operator=(const StatusItem &) = delete;

    double length() const { return m_length; }
    const Image &image() const { return m_image; }
    void setImage(const Image &image);
    // Shown while the item is pressed.
    const Image &alternateImage() const { return m_alternateImage; }
    void setAlternateImage(const Image &image);
    bool highlightMode() const { return m_highlightMode; }
    void setHighlightMode(bool highlightMode) { m_highlightMode = highlightMode; }
    bool isEnabled() const { return m_isEnabled; }
    void setEnabled(bool enabled);
    QMenu *menu() const { return m_menu; }
    void setMenu(QMenu *menu);
    void setToolTip(const QString &toolTip);

    // The colour a template image is drawn in: dark on a light panel, light on a dark one, judged from
    // the panel behind the item where it can be seen, else from the desktop's palette.
    QColor templateColor() const;

    // Whether the desktop shows the item (a tray or status notifier host exists).
    bool isShownByDesktop() const;
    QSystemTrayIcon &trayIcon() { return *m_trayIcon; }

signals:
    // The user clicked the item itself rather than opening its menu.
    void clicked();

private:
    void applyImage();

    const double m_length;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    Image m_image;
    Image m_alternateImage;
    bool m_highlightMode = false;
    bool m_isEnabled = true;
    QPointer<QMenu> m_menu;
};

} // namespace platform
