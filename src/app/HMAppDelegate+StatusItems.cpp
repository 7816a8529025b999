// The application delegate's status items and menus: the main item with its Synchronize, Show/Hide
// Settings and Quit menu, the square pause/resume item and its animation, and the main menu.
#include "app/HMAppDelegate.h"
#include "app/HMSettingsSheets.h"

#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Appearance.h"
#include "platform/appkit/Image.h"
#include "platform/appkit/StatusItem.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/ConsoleLog.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QUrl>
#include <QWidget>

namespace {

const QString kToolbarImage = QStringLiteral("hmm-toolbar-20.png");
const QString kToolbarInvertedImage = QStringLiteral("hmm-toolbar-20-inverted.png");
const QString kPausedImage = QStringLiteral("sync-pause.png");
const QString kActiveImage = QStringLiteral("sync-active.png");
constexpr qint64 kAnimationFrameCount = 32;
constexpr double kAnimationFrameSeconds = 1.0 / 33.0;
const QString kSupportPage = QStringLiteral("https://www.harrowmere.com/support");

QAction *actionWithTag(QMenu &menu, int tag)
{
    for (QAction *action : menu.actions()) {
        if (action->property("tag").toInt() == tag)
            return action;
    }
    return nullptr;
}

// Calls the slot of the widget that has the keyboard focus, when it has one (the edit menu's items).
void sendToFocusWidget(const char *slot)
{
    if (QWidget *const widget = QApplication::focusWidget())
        QMetaObject::invokeMethod(widget, slot);
}

} // namespace

void HMAppDelegate::addMenuItem(QMenu &menu, const QString &title, std::function<void(HMAppDelegate &)> action)
{
    QAction *const item = menu.addAction(title);
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    QObject::connect(item, &QAction::triggered, item, [lifetime, action = std::move(action)] {
        if (const auto delegate = lifetime.lock())
            action(**delegate);
    });
}

bool HMAppDelegate::isDarkMode() const
{
    return platform::Appearance::shared().isDark();
}

void HMAppDelegate::setMainStatus()
{
    // The glyph is a template: the item draws it in the colour that reads on the panel.
    platform::Image image = platform::Image::imageNamed(kToolbarImage);
    platform::Image invertedImage = platform::Image::imageNamed(kToolbarInvertedImage);
    image.setTemplate(true);
    invertedImage.setTemplate(true);
    auto item = std::make_unique<platform::StatusItem>(platform::NSVariableStatusItemLength);
    item->setImage(isDarkMode() ? invertedImage : image);
    item->setHighlightMode(true);
    item->setAlternateImage(invertedImage);
    item->setEnabled(true);
    item->setToolTip(QStringLiteral("Harrowmere"));
    QObject::connect(item.get(), &platform::StatusItem::clicked, item.get(), [] {
        if (platform::Application *const application = platform::Application::shared())
            application->reopen();
    });
    m_theItem = std::move(item);
    platform::Application *const application = platform::Application::shared();
    updateStatusMenu(application == nullptr || !application->isHidden());
}

void HMAppDelegate::updateStatusMenu(bool isMainWindowShown)
{
    auto menu = std::make_unique<QMenu>();
    addMenuItem(*menu, QStringLiteral("Synchronize"), [](HMAppDelegate &delegate) {
        delegate.synchronizeMenuOptionSelected();
    });
    menu->addSeparator();
    if (isMainWindowShown)
        addMenuItem(*menu, QStringLiteral("Hide Settings"), [](HMAppDelegate &delegate) { delegate.hideInterface(); });
    else
        addMenuItem(*menu, QStringLiteral("Show Settings"), [](HMAppDelegate &delegate) { delegate.showInterface(); });
    menu->addSeparator();
    addMenuItem(*menu, QStringLiteral("Quit Harrowmere Sync for Outlook"), [](HMAppDelegate &) {
        if (platform::Application *const application = platform::Application::shared())
            application->terminate();
    });
    // The window may have been shown or hidden in a way no item saw (the window manager, a second
    // start): the texts are checked once more as the menu opens.
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    QObject::connect(menu.get(), &QMenu::aboutToShow, menu.get(), [lifetime, isMainWindowShown] {
        const auto delegate = lifetime.lock();
        if (delegate && (*delegate)->isMainWindowOnScreen() != isMainWindowShown)
            (*delegate)->mainWindowVisibilityChanged();
    });
    if (m_theItem)
        m_theItem->setMenu(menu.get());
    // The menu being replaced may be the one whose item is being handled right now.
    if (m_mainStatusMenu)
        m_mainStatusMenu.release()->deleteLater();
    m_mainStatusMenu = std::move(menu);
}

bool HMAppDelegate::isMainWindowOnScreen() const
{
    const platform::Application *const application = platform::Application::shared();
    const bool isHidden = application != nullptr && application->isHidden();
    return !isHidden && m_mainWindowController && m_mainWindowController->isWindowLoaded()
           && m_mainWindowController->window()->isVisible();
}

void HMAppDelegate::mainWindowVisibilityChanged()
{
    const bool isShown = isMainWindowOnScreen();
    platform::Application *const application = platform::Application::shared();
    if (isShown && application != nullptr)
        application->setActivationPolicy(platform::ActivationPolicy::Regular);
    // Until the status item exists its menu is made with it, from the same state.
    if (m_theItem)
        updateStatusMenu(isShown);
    updateMainMenuWindowItems(isShown);
}

void HMAppDelegate::showInterface()
{
    platform::Application *const application = platform::Application::shared();
    if (application != nullptr && application->isHidden())
        application->unhide();
    const std::shared_ptr<HMMainWindowController> controller = GlobalVariables::getMainWindowController();
    if (controller && !controller->window()->isVisible())
        controller->showWindow();
    if (application != nullptr) {
        application->setActivationPolicy(platform::ActivationPolicy::Regular);
        application->activateIgnoringOtherApps();
    }
    updateStatusMenu(true);
}

void HMAppDelegate::hideInterface()
{
    if (platform::Application *const application = platform::Application::shared()) {
        application->hide();
        application->setActivationPolicy(platform::ActivationPolicy::Accessory);
    }
    updateStatusMenu(false);
}

void HMAppDelegate::synchronizeMenuOptionSelected()
{
    if (GlobalVariables::getIsSynchronizing())
        return;
    stopOutlookAutosyncTimer();
    std::shared_ptr<HMMainWindowController> controller = GlobalVariables::getMainWindowController();
    if (!controller)
        controller = std::make_shared<HMMainWindowController>(*this);
    controller->synchronizeProfile(this);
}

void HMAppDelegate::showStatusBarMenu()
{
    if (!m_statusMenu) {
        m_statusMenu = std::make_unique<QMenu>();
        QAction *const pauseResume = m_statusMenu->addAction(QStringLiteral("Pause Auto Synchronization"));
        pauseResume->setProperty("tag", kPauseResumeItemTag);
    }
    m_statusItem = std::make_unique<platform::StatusItem>(platform::NSSquareStatusItemLength);
    m_statusItem->setMenu(m_statusMenu.get());
    m_statusItem->setImage(platform::Image::imageNamed(kPausedImage));
    m_statusItem->setToolTip(QStringLiteral("Harrowmere Auto Synchronization"));
    updateStatusBarMenu();
}

void HMAppDelegate::updateStatusBarMenu()
{
    const bool isPaused = m_backgroundSyncManager && m_backgroundSyncManager->isPaused();
    QAction *const item = m_statusMenu ? actionWithTag(*m_statusMenu, kPauseResumeItemTag) : nullptr;
    if (item != nullptr) {
        QObject::disconnect(item, &QAction::triggered, nullptr, nullptr);
        item->setText(isPaused ? QStringLiteral("Resume Auto Synchronization")
                               : QStringLiteral("Pause Auto Synchronization"));
        const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
        QObject::connect(item, &QAction::triggered, item, [lifetime, isPaused] {
            const auto delegate = lifetime.lock();
            if (delegate && isPaused)
                (*delegate)->startAutoSynchronizationSelected();
            else if (delegate)
                (*delegate)->pauseAutoSynchronizationSelected();
        });
    }
    if (m_statusItem)
        m_statusItem->setImage(platform::Image::imageNamed(isPaused ? kPausedImage : kActiveImage));
}

void HMAppDelegate::pauseAutoSynchronizationSelected()
{
    if (m_backgroundSyncManager)
        m_backgroundSyncManager->pauseBackgroundSynchronization();
    updateStatusBarMenu();
}

void HMAppDelegate::startAutoSynchronizationSelected()
{
    if (m_backgroundSyncManager)
        m_backgroundSyncManager->restartBackgroundSynchronization();
    updateStatusBarMenu();
}

void HMAppDelegate::startAnimatingStatusIcon()
{
    // Two syncs that start back to back must not leave a first timer animating for ever.
    if (m_syncStatusAnimationTimer)
        m_syncStatusAnimationTimer->invalidate();
    m_syncStatusAnimationFrame = 1;
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    m_syncStatusAnimationTimer = platform::RunLoopTimer::scheduled(
        kAnimationFrameSeconds, platform::RunLoopTimer::Repeats::Yes, [lifetime](platform::RunLoopTimer &) {
            if (const auto delegate = lifetime.lock())
                (*delegate)->updateAnimationForStatusIcon();
        });
}

void HMAppDelegate::updateAnimationForStatusIcon()
{
    if (m_statusItem)
        m_statusItem->setImage(platform::Image::imageNamed(QStringLiteral("sync-%1.png").arg(m_syncStatusAnimationFrame)));
    m_syncStatusAnimationFrame = m_syncStatusAnimationFrame >= kAnimationFrameCount ? 1 : m_syncStatusAnimationFrame + 1;
}

void HMAppDelegate::stopAnimatingStatusIcon()
{
    if (m_syncStatusAnimationTimer)
        m_syncStatusAnimationTimer->invalidate();
    m_syncStatusAnimationTimer.reset();
    updateStatusBarMenu();
}

void HMAppDelegate::syncConfigurationStartedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &)
{
    startAnimatingStatusIcon();
}

void HMAppDelegate::syncConfigurationFinishedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &)
{
    if (const std::shared_ptr<HMMainWindowController> controller = m_mainWindowController) {
        const std::weak_ptr<HMMainWindowController> window = controller;
        platform::DispatchQueue::main()->async([window] {
            if (const auto shown = window.lock())
                shown->updateLastSyncDateLabel();
        });
    }
    stopAnimatingStatusIcon();
}

void HMAppDelegate::showMainWindowSelected()
{
    showMainWindow();
}

void HMAppDelegate::showHelp()
{
    platform::Workspace::sharedWorkspace().openURL(QUrl(kSupportPage));
}

void HMAppDelegate::showPreferences()
{
    m_preferencesWindowController = HMSettingsSheets::open(HMSettingsSheets::Sheet::Preferences, {});
}

void HMAppDelegate::developerPreferencesSelected()
{
    m_developerPrefsWindowController = HMSettingsSheets::open(HMSettingsSheets::Sheet::DeveloperOptions, {});
}

void HMAppDelegate::forceSynchronizationSelected()
{
    if (!m_backgroundSyncManager)
        return;
    for (const auto &profile : std::as_const(m_profiles)) {
        m_backgroundSyncManager->runManualBackgroundSyncWithConfiguration(
            std::make_shared<HMDataConfigurationSource>(m_profileManager, profile));
    }
}

namespace {

// An item that acts on the window in front.
void addActiveWindowItem(QMenu &menu, const QString &title, const QKeySequence &shortcut,
                         std::function<void(QWidget &window)> act)
{
    QAction *const item = menu.addAction(title);
    item->setShortcut(shortcut);
    QObject::connect(item, &QAction::triggered, item, [act = std::move(act)] {
        if (QWidget *const window = QApplication::activeWindow())
            act(*window);
    });
}

void addEditMenu(QMenuBar &menuBar)
{
    QMenu *const editMenu = menuBar.addMenu(QStringLiteral("&Edit"));
    struct Item { const char *title; QKeySequence::StandardKey shortcut; const char *slot; };
    for (const Item &entry : {Item{"Cu&t", QKeySequence::Cut, "cut"}, Item{"&Copy", QKeySequence::Copy, "copy"},
                              Item{"&Paste", QKeySequence::Paste, "paste"},
                              Item{"Select &All", QKeySequence::SelectAll, "selectAll"}}) {
        QAction *const item = editMenu->addAction(QString::fromLatin1(entry.title));
        item->setShortcut(entry.shortcut);
        QObject::connect(item, &QAction::triggered, item, [slot = entry.slot] { sendToFocusWidget(slot); });
    }
}

void setLastItemShortcut(QMenu &menu, const QKeySequence &shortcut)
{
    menu.actions().constLast()->setShortcut(shortcut);
}

} // namespace

// Every title and item has a mnemonic (Alt and the underlined letter opens it) and the standard
// items show the desktop's standard shortcuts.
std::unique_ptr<QMenuBar> HMAppDelegate::makeMainMenu()
{
    auto menuBar = std::make_unique<QMenuBar>();
    QMenu *const applicationMenu = menuBar->addMenu(QStringLiteral("H&arrowmere"));
    addMenuItem(*applicationMenu, QStringLiteral("&Reset Settings to Default…"),
                [](HMAppDelegate &delegate) { delegate.resetSettingsToDefault(); });
    addMenuItem(*applicationMenu, QStringLiteral("&Preferences…"), [](HMAppDelegate &delegate) { delegate.showPreferences(); });
    setLastItemShortcut(*applicationMenu, QKeySequence::Preferences);
    addMenuItem(*applicationMenu, QStringLiteral("&Developer Options…"),
                [](HMAppDelegate &delegate) { delegate.developerPreferencesSelected(); });
    applicationMenu->addSeparator();
    addMenuItem(*applicationMenu, QStringLiteral("&Hide Harrowmere"), [](HMAppDelegate &delegate) { delegate.hideInterface(); });
    addMenuItem(*applicationMenu, QStringLiteral("&Quit Harrowmere"), [](HMAppDelegate &) { QApplication::quit(); });
    setLastItemShortcut(*applicationMenu, QKeySequence::Quit);
    addActiveWindowItem(*menuBar->addMenu(QStringLiteral("&File")), QStringLiteral("&Close Window"), QKeySequence::Close,
                        [](QWidget &window) { window.close(); });
    addEditMenu(*menuBar);
    addMenuItem(*menuBar->addMenu(QStringLiteral("&View")), QStringLiteral("Show &Main Window"),
                [](HMAppDelegate &delegate) { delegate.showMainWindowSelected(); });
    addMenuItem(*menuBar->addMenu(QStringLiteral("&Synchronize")), QStringLiteral("Synchronize &All Profiles"),
                [](HMAppDelegate &delegate) { delegate.forceSynchronizationSelected(); });
    QMenu *const windowMenu = menuBar->addMenu(QStringLiteral("&Window"));
    addActiveWindowItem(*windowMenu, QStringLiteral("&Minimize"), QKeySequence(Qt::CTRL | Qt::Key_M),
                        [](QWidget &window) { window.showMinimized(); });
    windowMenu->addSeparator();
    addMenuItem(*windowMenu, QStringLiteral("&Harrowmere"), [](HMAppDelegate &delegate) { delegate.showInterface(); });
    windowMenu->actions().constLast()->setProperty("tag", kMainWindowMenuItemTag);
    QMenu *const helpMenu = menuBar->addMenu(QStringLiteral("&Help"));
    addMenuItem(*helpMenu, QStringLiteral("Harrowmere &Help"), [](HMAppDelegate &delegate) { delegate.showHelp(); });
    setLastItemShortcut(*helpMenu, QKeySequence::HelpContents);
    return menuBar;
}
