#include "platform/appkit/KeyRouting.h"

#include <QEvent>
#include <QKeyEvent>
#include <QWidget>

namespace platform {

namespace {

class EscapeAndCloseFilter final : public QObject
{
public:
    EscapeAndCloseFilter(QWidget &window, std::function<void()> action)
        : QObject(&window), m_window(window), m_action(std::move(action))
    {
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != &m_window)
            return false;
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape
            && static_cast<QKeyEvent *>(event)->modifiers() == Qt::NoModifier) {
            m_action();
            return true;
        }
        if (event->type() == QEvent::Close && m_window.isVisible()) {
            event->ignore();
            m_action();
            return true;
        }
        return false;
    }

private:
    QWidget &m_window;
    std::function<void()> m_action;
};

} // namespace

void routeEscapeAndClose(QWidget &window, std::function<void()> action)
{
    window.installEventFilter(new EscapeAndCloseFilter(window, std::move(action)));
}

} // namespace platform
