#include "platform/appkit/Application.h"

#include "platform/appkit/ApplicationDelegate.h"
#include "platform/foundation/Assert.h"
#include "platform/foundation/NotificationCenter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QWidget>
#include <QWindow>

namespace platform {

namespace {

// Whether the widget is one of the application's own windows, as hide, unhide and activation treat
// them: a status item's tray window (placed by the desktop's tray, not by the window manager), menus
// and tool tips are not.
bool isApplicationWindow(const QWidget &widget, const QWidget *mainMenu)
{
    if (!widget.isWindow() || &widget == mainMenu)
        return false;
    const Qt::WindowType type = widget.windowType();
    if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::Desktop || type == Qt::SplashScreen)
        return false;
    return !widget.windowFlags().testFlag(Qt::BypassWindowManagerHint) && !widget.inherits("QSystemTrayIconSys");
}

} // namespace

Application *Application::s_shared = nullptr;

Application::Application(QStringList arguments) : m_arguments(std::move(arguments))
{
    HM_ASSERT(qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr,
              "the application object needs a QApplication");
    s_shared = this;
    qApp->installEventFilter(this);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, &Application::applicationStateChanged);
}

Application::~Application()
{
    if (QCoreApplication::instance() != nullptr)
        qApp->removeEventFilter(this);
    if (s_shared == this)
        s_shared = nullptr;
}

Application *Application::shared()
{
    return s_shared;
}

void Application::finishLaunching()
{
    if (m_hasFinishedLaunching)
        return;
    m_hasFinishedLaunching = true;
    if (m_delegate == nullptr)
        return;
    m_delegate->applicationWillFinishLaunching();
    m_delegate->applicationDidFinishLaunching();
}

int Application::run()
{
    finishLaunching();
    const int status = QApplication::exec();
    // The observers (the log among them) finish their work before the process ends.
    NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("NSApplicationWillTerminateNotification"));
    return status;
}

void Application::terminate()
{
    QCoreApplication::quit();
}

bool Application::isLaunchedAsLoginItem() const
{
    return m_arguments.contains(QLatin1String(kLaunchedAtLoginArgument));
}

bool Application::isActive() const
{
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void Application::hide()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && isApplicationWindow(*window, m_mainMenu.get())) {
            m_hiddenWindows.append(window);
            window->hide();
        }
    }
    const bool wasHidden = m_isHidden;
    m_isHidden = true;
    if (!wasHidden && m_delegate != nullptr) {
        m_delegate->applicationDidHide();
        m_delegate->applicationDidChangeOcclusionState();
    }
}

void Application::unhide()
{
    const QList<QPointer<QWidget>> windows = std::exchange(m_hiddenWindows, {});
    for (const QPointer<QWidget> &window : windows) {
        if (window)
            window->show();
    }
    const bool wasHidden = m_isHidden;
    m_isHidden = false;
    if (wasHidden && m_delegate != nullptr) {
        m_delegate->applicationDidUnhide();
        m_delegate->applicationDidChangeOcclusionState();
    }
}

void Application::setActivationPolicy(ActivationPolicy policy)
{
    m_activationPolicy = policy;
}

void Application::activateIgnoringOtherApps()
{
    if (m_isHidden && m_activationPolicy == ActivationPolicy::Regular)
        unhide();
    // A window-modal sheet comes forward with the window it blocks.
    QWidget *front = QApplication::activeModalWidget();
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (front == nullptr && window->isVisible() && isApplicationWindow(*window, m_mainMenu.get()))
            front = window;
    }
    if (front != nullptr) {
        front->raise();
        front->activateWindow();
    }
}

bool Application::hasVisibleWindows() const
{
    for (const QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && isApplicationWindow(*window, m_mainMenu.get()))
            return true;
    }
    return false;
}

void Application::reopen()
{
    // As a click on a running program: a hidden application shows its windows again, the delegate
    // may show its main window when none is on screen, and the windows come to the front.
    if (m_isHidden)
        unhide();
    if (m_delegate != nullptr)
        m_delegate->applicationShouldHandleReopen(hasVisibleWindows());
    activateIgnoringOtherApps();
}

void Application::setMainMenu(std::unique_ptr<QMenuBar> menu)
{
    m_mainMenu = std::move(menu);
}

Application::MonitorId Application::addLocalMonitorForKeyDownEvents(KeyDownHandler handler)
{
    const MonitorId id = m_nextMonitorId++;
    m_keyDownMonitors.emplace(id, std::move(handler));
    return id;
}

void Application::removeMonitor(MonitorId id)
{
    m_keyDownMonitors.erase(id);
}

void Application::requestCriticalUserAttention()
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (window->isVisible())
                    QApplication::alert(window, 0);
            }
        },
        Qt::QueuedConnection);
}

KeyEvent Application::keyEventFromQt(int key, Qt::KeyboardModifiers modifiers, const QString &text)
{
    const Qt::KeyboardModifiers flags = modifiers & ~Qt::KeypadModifier;
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return {flags, QString(QChar(u'a' + (key - Qt::Key_A)))};
    return {flags, text};
}

bool Application::eventFilter(QObject *watched, QEvent *event)
{
    // A key press reaches the window first and is then handed to its widgets, each of which passes
    // through this filter again; the monitors see it once, at the window.
    if (event->type() != QEvent::KeyPress || !watched->isWindowType() || m_keyDownMonitors.empty())
        return false;
    const auto *const keyEvent = static_cast<const QKeyEvent *>(event);
    return dispatchKeyDown(keyEventFromQt(keyEvent->key(), keyEvent->modifiers(), keyEvent->text()));
}

bool Application::dispatchKeyDown(const KeyEvent &event)
{
    // A handler may remove monitors (its own included) while it runs.
    std::vector<KeyDownHandler> handlers;
    for (const auto &entry : m_keyDownMonitors)
        handlers.push_back(entry.second);
    for (const KeyDownHandler &handler : handlers) {
        if (handler && handler(event))
            return true;
    }
    return false;
}

void Application::applicationStateChanged(Qt::ApplicationState state)
{
    const bool isActiveNow = state == Qt::ApplicationActive;
    if (isActiveNow == m_wasActive || m_delegate == nullptr) {
        m_wasActive = isActiveNow;
        return;
    }
    m_wasActive = isActiveNow;
    if (isActiveNow)
        m_delegate->applicationDidBecomeActive();
    else
        m_delegate->applicationWillResignActive();
    m_delegate->applicationDidChangeOcclusionState();
}

} // namespace platform
