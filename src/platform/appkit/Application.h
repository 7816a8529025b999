#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

class QMenuBar;
class QWidget;

namespace platform {

class ApplicationDelegate;

// Whether the application shows itself as a normal program (windows in the task bar) or only as
// status items. On Linux an accessory application keeps its windows hidden: the status items are
// its only face.
enum class ActivationPolicy { Regular, Accessory };

// The argument that the login entry puts on the command line, so that a start at login is told apart
// from a start by the user.
inline constexpr char kLaunchedAtLoginArgument[] = "--launched-at-login";

// A key press as the key-down monitors see it: the modifiers held and the character of the key, a
// letter in lower case whatever the modifiers ("l" for Control-Shift-L), so that a command reads the
// same on every keyboard layout's Latin letters.
struct KeyEvent
{
    Qt::KeyboardModifiers modifierFlags;
    QString characters;
};

// The application object: one per process, made after the QApplication. It delivers the delegate's
// launch, activation, hide and occlusion events, keeps the activation policy and the main menu, and
// runs the local key-down monitors. Main thread only.
class Application final : public QObject
{
    Q_OBJECT

public:
    // Answers true when it consumed the event, so that no window sees it.
    using KeyDownHandler = std::function<bool(const KeyEvent &event)>;
    using MonitorId = quint64;

    // The arguments are the process's; a QApplication must exist.
    explicit Application(QStringList arguments);
    ~Application() override;
    Application(const Application &) = delete;
    Application &operator=(const Application &) = delete;

    // The application object of the process, or null before one is made.
    static Application *shared();

    ApplicationDelegate *delegate() const { return m_delegate; }
    void setDelegate(ApplicationDelegate *delegate) { m_delegate = delegate; }

    // Tells the delegate that launching will finish and did finish, once per process.
    void finishLaunching();
    // Finishes launching, then runs the event loop until terminate; answers the loop's exit code.
    int run();
    void terminate();

    // Whether the process was started by the user's login entry.
    bool isLaunchedAsLoginItem() const;
    bool isActive() const;
    bool isHidden() const { return m_isHidden; }
    // Hides every shown window (remembering them) and tells the delegate; unhide shows them again.
    void hide();
    void unhide();
    ActivationPolicy activationPolicy() const { return m_activationPolicy; }
    void setActivationPolicy(ActivationPolicy policy);
    // Brings the application's windows forward.
    void activateIgnoringOtherApps();
    bool hasVisibleWindows() const;
    // The user asked the running application to come forward (a click on its status item).
    void reopen();
    // Marks every visible window's taskbar entry until the application is activated. Any thread: the
    // marking is queued to the main thread.
    static void requestCriticalUserAttention();

    // The menu bar of the application's menus; windows that show a menu bar show this one.
    QMenuBar *mainMenu() const { return m_mainMenu.get(); }
    void setMainMenu(std::unique_ptr<QMenuBar> menu);

    // Calls the handler for every key press while it is installed; answers an id for removeMonitor.
    MonitorId addLocalMonitorForKeyDownEvents(KeyDownHandler handler);
    void removeMonitor(MonitorId id);

    // The key event of a Qt key press: the letter of a letter key in lower case, otherwise the text.
    static KeyEvent keyEventFromQt(int key, Qt::KeyboardModifiers modifiers, const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applicationStateChanged(Qt::ApplicationState state);
    bool dispatchKeyDown(const KeyEvent &event);

    static Application *s_shared;
    const QStringList m_arguments;
    ApplicationDelegate *m_delegate = nullptr;
    bool m_hasFinishedLaunching = false;
    bool m_isHidden = false;
    bool m_wasActive = false;
    ActivationPolicy m_activationPolicy = ActivationPolicy::Regular;
    QList<QPointer<QWidget>> m_hiddenWindows;
    std::unique_ptr<QMenuBar> m_mainMenu;
    std::map<MonitorId, KeyDownHandler> m_keyDownMonitors;
    MonitorId m_nextMonitorId = 1;
};

} // namespace platform
