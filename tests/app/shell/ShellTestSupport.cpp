#include "ShellTestSupport.h"

#include "ManualStepScheduler.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Appearance.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "support/TestSupport.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMenu>
#include <QWindow>

namespace {

const char *const kHomeVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
                                     "XDG_RUNTIME_DIR"};

// Widgets need one application object for the whole test program; it renders offscreen.
class WidgetsEnvironment final : public testing::Environment
{
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        m_application = std::make_unique<QApplication>(m_argc, m_argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { m_application.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "test_app_shell";
    char *m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_application;
};

[[maybe_unused]] testing::Environment *const s_environment =
    testing::AddGlobalTestEnvironment(new WidgetsEnvironment);

// Counts the key presses that reach the object it filters.
class KeyPressCounter final : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress)
            ++count;
        return false;
    }
    int count = 0;
};

} // namespace

TemporaryHome::TemporaryHome()
{
    for (const char *name : kHomeVariables)
        m_savedVariables.append({QByteArray(name), qgetenv(name)});
    testsupport::pointHomeAt(m_folder.path());
    qputenv("XDG_CACHE_HOME", (m_folder.path() + QStringLiteral("/cache")).toUtf8());
    // Its own session too: the program's one-instance lock and socket live in the runtime folder.
    const QString runtime = m_folder.path() + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
}

TemporaryHome::~TemporaryHome()
{
    for (const auto &[name, value] : std::as_const(m_savedVariables)) {
        if (value.isNull())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value);
    }
}

QString TemporaryHome::dataFolder() const
{
    return path() + QStringLiteral("/data/com.harrowmere.Harrowmere");
}

QString TemporaryHome::logFolder() const
{
    return path() + QStringLiteral("/state/Harrowmere/Logs");
}

QString TemporaryHome::autostartFolder() const
{
    return path() + QStringLiteral("/config/autostart");
}

QStringList TemporaryHome::environment() const
{
    QStringList environment;
    for (const char *name : kHomeVariables)
        environment.append(QStringLiteral("%1=%2").arg(QLatin1String(name), qEnvironmentVariable(name)));
    environment << QStringLiteral("QT_QPA_PLATFORM=offscreen") << QStringLiteral("TZ=UTC")
                << QStringLiteral("LANG=C.UTF-8") << QStringLiteral("PATH=") + qEnvironmentVariable("PATH")
                << QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS");
    return environment;
}

std::shared_ptr<HMProfile> saveProfile(platform::UserDefaults &userDefaults, const QString &name,
                                       const QString &contactManager, qint64 intervalCode)
{
    HMProfileManager manager(userDefaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setName(name);
    profile->setContactManagerName(contactManager);
    profile->setBackgroundSyncEnabled(intervalCode > 0);
    profile->setBackgroundSyncInterval(intervalCode);
    EXPECT_TRUE(manager.saveProfile(*profile));
    return profile;
}

QStringList menuTitles(const QMenu &menu)
{
    QStringList titles;
    for (const QAction *action : menu.actions())
        titles.append(action->isSeparator() ? QStringLiteral("-") : QString(action->text()).remove(u'&'));
    return titles;
}

void triggerMenuItem(QMenu &menu, const QString &title)
{
    for (QAction *action : menu.actions()) {
        if (QString(action->text()).remove(u'&') == title) {
            action->trigger();
            return;
        }
    }
    ADD_FAILURE() << "no menu item " << title.toStdString() << " in " << menuTitles(menu).join(QLatin1Char('|')).toStdString();
}

void LaunchedShell::SetUp()
{
    m_home = std::make_unique<TemporaryHome>();
    m_defaults = std::make_unique<platform::UserDefaults>(m_home->path() + QStringLiteral("/defaults.plist"));
    m_scheduler = std::make_shared<ManualStepScheduler>();
    m_alerts = std::make_unique<platform::ScriptedAlertResponder>();
    platform::Workspace::sharedWorkspace().setOpener([this](platform::Workspace::RequestKind kind, const QUrl &url) {
        m_workspaceRequests.append({kind, url});
        return true;
    });
    platform::Appearance::shared().setOverride(false);
    GlobalVariables::setIsSynchronizing(false);
}

void LaunchedShell::TearDown()
{
    m_delegate.reset();
    m_application.reset();
    platform::DispatchQueue::runMainQueueUntilEmpty();
    DDLog::flushLog();
    ddLogLevel.store(LOG_LEVEL_OFF);
    platform::Workspace::sharedWorkspace().setOpener({});
    platform::Appearance::shared().setOverride(std::nullopt);
    platform::Clock::setSource({});
    GlobalVariables::setIsSynchronizing(false);
    m_alerts.reset();
    m_home.reset();
}

void LaunchedShell::launch(const QStringList &extraArguments)
{
    m_application = std::make_unique<platform::Application>(QStringList{QStringLiteral("harrowmere")} + extraArguments);
    m_delegate = std::make_unique<HMAppDelegate>();
    m_delegate->setUserDefaults(*m_defaults);
    platform::UserDefaults *const defaults = m_defaults.get();
    const std::shared_ptr<ManualStepScheduler> scheduler = m_scheduler;
    m_delegate->setBackgroundSyncManagerFactory([defaults, scheduler] {
        return std::make_shared<HMBackgroundSyncManager>(*defaults, scheduler->function(), [] { return false; });
    });
    if (m_beforeLaunch)
        m_beforeLaunch(*m_delegate);
    m_application->setDelegate(m_delegate.get());
    m_application->finishLaunching();
}

QStringList LaunchedShell::alertTexts() const
{
    QStringList texts;
    for (const auto &alert : m_alerts->recordedAlerts())
        texts.append(alert.messageText);
    return texts;
}

bool LaunchedShell::pressKey(int key, Qt::KeyboardModifiers modifiers)
{
    QDialog *const window = m_delegate->mainWindowController()->window();
    window->show();
    QWindow *const handle = window->windowHandle();
    if (handle == nullptr) {
        ADD_FAILURE() << "the main window has no native window";
        return false;
    }
    // A consumed key press never reaches the window's widgets.
    KeyPressCounter counter;
    window->installEventFilter(&counter);
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(handle, &press);
    window->removeEventFilter(&counter);
    return counter.count == 0;
}
