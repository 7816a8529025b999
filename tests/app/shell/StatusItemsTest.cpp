// The status items and menus of a launched application: the main item's menu and images, the square
// item's pause and resume through the background sync manager, its animation, dark mode, the main
// menu and hiding and showing the main window.
#include "ShellTestSupport.h"

#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/appkit/Appearance.h"
#include "platform/appkit/Screenshot.h"
#include "platform/appkit/StatusItem.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "support/TestSupport.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMSyncController.h"

#include <QAction>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>

namespace {

const QStringList kMenuWithWindowShown = {"Synchronize", "-", "Hide Settings", "-", "Quit Harrowmere Sync for Outlook"};
const QStringList kMenuWithWindowHidden = {"Synchronize", "-", "Show Settings", "-", "Quit Harrowmere Sync for Outlook"};

QAction *pauseResumeItem(HMAppDelegate &delegate)
{
    for (QAction *action : delegate.statusMenu()->actions()) {
        if (action->property("tag").toInt() == HMAppDelegate::kPauseResumeItemTag)
            return action;
    }
    return nullptr;
}

class StatusItems : public LaunchedShell
{
protected:
    void launchInBackground()
    {
        saveProfile(*m_defaults, QStringLiteral("Phone"), QStringLiteral("ContactManagerApple"), 30);
        launch();
        ASSERT_NE(m_delegate->statusItem(), nullptr);
    }
};

TEST_F(StatusItems, MainItemShowsTheGlyphAndItsMenu)
{
    launch();
    platform::StatusItem *const item = m_delegate->theItem();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->length(), platform::NSVariableStatusItemLength);
    EXPECT_EQ(item->image().name(), QStringLiteral("hmm-toolbar-20.png"));
    EXPECT_FALSE(item->image().isNull());
    EXPECT_EQ(item->alternateImage().name(), QStringLiteral("hmm-toolbar-20-inverted.png"));
    EXPECT_TRUE(item->highlightMode());
    EXPECT_TRUE(item->isEnabled());
    ASSERT_NE(item->menu(), nullptr);
    EXPECT_EQ(menuTitles(*item->menu()), kMenuWithWindowShown);
    for (const QAction *action : item->menu()->actions())
        EXPECT_TRUE(action->shortcut().isEmpty()) << action->text().toStdString();
    // Without background profiles there is no square item, and the animation changes nothing.
    EXPECT_EQ(m_delegate->statusItem(), nullptr);
    m_delegate->startAnimatingStatusIcon();
    m_delegate->updateAnimationForStatusIcon();
    m_delegate->stopAnimatingStatusIcon();
}

TEST_F(StatusItems, DarkAppearanceReplacesTheMainItemWithTheInvertedGlyph)
{
    launch();
    const platform::StatusItem *const lightItem = m_delegate->theItem();
    platform::Appearance::shared().setOverride(true);
    ASSERT_NE(m_delegate->theItem(), nullptr);
    EXPECT_NE(m_delegate->theItem(), lightItem);
    EXPECT_EQ(m_delegate->theItem()->image().name(), QStringLiteral("hmm-toolbar-20-inverted.png"));
    EXPECT_TRUE(m_delegate->isDarkMode());
    platform::Appearance::shared().setOverride(false);
    EXPECT_EQ(m_delegate->theItem()->image().name(), QStringLiteral("hmm-toolbar-20.png"));
}

TEST_F(StatusItems, HideAndShowSettingsSwitchTheWindowTheTaskBarAndTheMenu)
{
    launch();
    QDialog *const window = m_delegate->mainWindowController()->window();
    EXPECT_TRUE(window->isVisible());
    triggerMenuItem(*m_delegate->theItem()->menu(), QStringLiteral("Hide Settings"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(m_application->isHidden());
    EXPECT_EQ(m_application->activationPolicy(), platform::ActivationPolicy::Accessory);
    EXPECT_EQ(menuTitles(*m_delegate->theItem()->menu()), kMenuWithWindowHidden);

    triggerMenuItem(*m_delegate->theItem()->menu(), QStringLiteral("Show Settings"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(m_application->isHidden());
    EXPECT_EQ(m_application->activationPolicy(), platform::ActivationPolicy::Regular);
    EXPECT_EQ(menuTitles(*m_delegate->theItem()->menu()), kMenuWithWindowShown);
}

TEST_F(StatusItems, ClickingTheItemOfAHiddenApplicationBringsTheMainWindowBack)
{
    launch();
    m_delegate->hideInterface();
    EXPECT_FALSE(m_application->hasVisibleWindows());
    emit m_delegate->theItem()->clicked();
    EXPECT_TRUE(m_delegate->mainWindowController()->window()->isVisible());
    EXPECT_FALSE(m_application->isHidden());
    // With a window on screen a click changes nothing.
    EXPECT_FALSE(m_delegate->applicationShouldHandleReopen(true));
}

TEST_F(StatusItems, LoginLaunchOffersShowSettings)
{
    launch({QStringLiteral("--launched-at-login")});
    EXPECT_EQ(menuTitles(*m_delegate->theItem()->menu()), kMenuWithWindowHidden);
    triggerMenuItem(*m_delegate->theItem()->menu(), QStringLiteral("Show Settings"));
    EXPECT_TRUE(m_delegate->mainWindowController()->window()->isVisible());
    EXPECT_EQ(m_application->activationPolicy(), platform::ActivationPolicy::Regular);
    EXPECT_EQ(menuTitles(*m_delegate->theItem()->menu()), kMenuWithWindowShown);
}

TEST_F(StatusItems, PauseAndResumeRoundTripThroughTheBackgroundSyncManager)
{
    launchInBackground();
    const std::shared_ptr<HMBackgroundSyncManager> manager = m_delegate->backgroundSyncManager();
    EXPECT_EQ(m_delegate->statusItem()->length(), platform::NSSquareStatusItemLength);
    EXPECT_EQ(m_delegate->statusItem()->menu(), m_delegate->statusMenu());
    EXPECT_EQ(manager->syncConfigurations().size(), 1u);
    struct Step { const char *name; bool isPaused; const char *title; const char *image; };
    const Step steps[] = {{"running", false, "Pause Auto Synchronization", "sync-active.png"},
                          {"paused", true, "Resume Auto Synchronization", "sync-pause.png"},
                          {"resumed", false, "Pause Auto Synchronization", "sync-active.png"},
                          {"paused again", true, "Resume Auto Synchronization", "sync-pause.png"}};
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(manager->isPaused(), step.isPaused);
        ASSERT_NE(pauseResumeItem(*m_delegate), nullptr);
        EXPECT_EQ(pauseResumeItem(*m_delegate)->text(), QString::fromLatin1(step.title));
        EXPECT_EQ(m_delegate->statusItem()->image().name(), QString::fromLatin1(step.image));
        EXPECT_FALSE(m_delegate->statusItem()->image().isNull());
        pauseResumeItem(*m_delegate)->trigger();
    }
}

TEST_F(StatusItems, AnimationRunsThroughFramesOneToThirtyTwoAndStopsOnTheStateImage)
{
    launchInBackground();
    m_delegate->syncConfigurationStartedBackgroundSyncWithController(nullptr);
    ASSERT_TRUE(m_delegate->syncStatusAnimationTimer());
    EXPECT_DOUBLE_EQ(m_delegate->syncStatusAnimationTimer()->timeInterval(), 1.0 / 33.0);
    EXPECT_TRUE(m_delegate->syncStatusAnimationTimer()->repeats());
    // The timer itself moves the frames on.
    EXPECT_TRUE(testsupport::waitUntil([&] { return m_delegate->statusItem()->image().name() == QLatin1String("sync-1.png"); }))
        << "awaited the first animation frame";

    m_delegate->startAnimatingStatusIcon();
    m_delegate->syncStatusAnimationTimer()->invalidate();
    QStringList shown;
    for (int frame = 0; frame < 34; ++frame) {
        m_delegate->updateAnimationForStatusIcon();
        shown.append(m_delegate->statusItem()->image().name());
        EXPECT_FALSE(m_delegate->statusItem()->image().isNull()) << shown.constLast().toStdString();
    }
    QStringList expected;
    for (int frame = 1; frame <= 32; ++frame)
        expected.append(QStringLiteral("sync-%1.png").arg(frame));
    expected << QStringLiteral("sync-1.png") << QStringLiteral("sync-2.png");
    EXPECT_EQ(shown, expected);

    m_delegate->syncConfigurationFinishedBackgroundSyncWithController(nullptr);
    EXPECT_EQ(m_delegate->syncStatusAnimationTimer(), nullptr);
    EXPECT_EQ(m_delegate->statusItem()->image().name(), QStringLiteral("sync-active.png"));
    m_delegate->pauseAutoSynchronizationSelected();
    m_delegate->startAnimatingStatusIcon();
    const std::shared_ptr<platform::RunLoopTimer> first = m_delegate->syncStatusAnimationTimer();
    m_delegate->startAnimatingStatusIcon();
    EXPECT_FALSE(first->isValid());
    m_delegate->stopAnimatingStatusIcon();
    EXPECT_EQ(m_delegate->statusItem()->image().name(), QStringLiteral("sync-pause.png"));
}

TEST_F(StatusItems, MainMenuHidesTheWindowItemWhileTheWindowIsShown)
{
    launch();
    QMenuBar *const menuBar = m_application->mainMenu();
    ASSERT_NE(menuBar, nullptr);
    QStringList titles;
    for (const QAction *action : menuBar->actions())
        titles.append(action->text());
    // Each title with its mnemonic, every letter a different one.
    EXPECT_EQ(titles, (QStringList{"H&arrowmere", "&File", "&Edit", "&View", "&Synchronize", "&Window", "&Help"}));
    QMenu *const windowMenu = menuBar->actions().at(5)->menu();
    ASSERT_NE(windowMenu, nullptr);
    QAction *const windowItem = windowMenu->actions().constLast();
    EXPECT_EQ(windowItem->text(), QStringLiteral("&Harrowmere"));
    EXPECT_EQ(windowItem->property("tag").toInt(), HMAppDelegate::kMainWindowMenuItemTag);
    EXPECT_FALSE(windowItem->isVisible());

    m_delegate->hideInterface();
    EXPECT_TRUE(windowItem->isVisible());
    windowItem->trigger();
    EXPECT_TRUE(m_delegate->mainWindowController()->window()->isVisible());
    m_delegate->applicationDidChangeOcclusionState();
    EXPECT_FALSE(windowItem->isVisible());

    triggerMenuItem(*menuBar->actions().at(6)->menu(), QStringLiteral("Harrowmere Help"));
    ASSERT_EQ(m_workspaceRequests.size(), 1);
    EXPECT_EQ(m_workspaceRequests.front().first, platform::Workspace::RequestKind::OpenUrl);
    EXPECT_EQ(m_workspaceRequests.front().second.scheme(), QStringLiteral("https"));
}

TEST_F(StatusItems, SynchronizeIsIgnoredWhileASyncRunsAndStopsTheAutosyncTimerOtherwise)
{
    saveProfile(*m_defaults, QStringLiteral("Outlook"), QStringLiteral("ContactManagerOutlook14"), 30);
    launch();
    ASSERT_TRUE(m_delegate->outlookAutosyncTimer());
    GlobalVariables::setIsSynchronizing(true);
    triggerMenuItem(*m_delegate->theItem()->menu(), QStringLiteral("Synchronize"));
    EXPECT_TRUE(m_delegate->outlookAutosyncTimer()) << "a running sync leaves the timer alone";
    GlobalVariables::setIsSynchronizing(false);
    triggerMenuItem(*m_delegate->theItem()->menu(), QStringLiteral("Synchronize"));
    EXPECT_FALSE(m_delegate->outlookAutosyncTimer());
    // The sync this started runs on its own queues and ends on the main queue: it must be over
    // before the delegate and the process go, or its last steps run against objects already gone.
    EXPECT_TRUE(platform::DispatchQueue::runMainQueueUntil(
        [] { return !GlobalVariables::getIsSynchronizing() && !HMSyncController::getIsSynchronizing(); },
        std::chrono::seconds(10)));
}

TEST_F(StatusItems, ScreenshotsOfTheMainWindowAndTheStatusImages)
{
    saveProfile(*m_defaults, QStringLiteral("Work phone"), QStringLiteral("ContactManagerApple"), 30);
    launch();
    QDialog *const window = m_delegate->mainWindowController()->window();
    EXPECT_EQ(m_delegate->mainWindowController()->outlet<QLabel>(QStringLiteral("profileNameLabel"))->text(),
              QStringLiteral("Work phone"));
    const QString folder = testsupport::binaryDir() + QStringLiteral("/screenshots/app");
    const platform::Result<QString> saved = platform::saveScreenshot(*window, folder, QStringLiteral("main-window"));
    ASSERT_TRUE(saved) << saved.error().message().toStdString();
    EXPECT_FALSE(QImage(*saved).isNull());
    // The status images side by side: the glyphs, the two states and the 32 frames.
    QImage strip(40 * 36, 40, QImage::Format_ARGB32_Premultiplied);
    strip.fill(Qt::white);
    QStringList names = {"hmm-toolbar-20.png", "hmm-toolbar-20-inverted.png", "sync-pause.png", "sync-active.png"};
    for (int frame = 1; frame <= 32; ++frame)
        names.append(QStringLiteral("sync-%1.png").arg(frame));
    QPainter painter(&strip);
    for (qsizetype index = 0; index < names.size(); ++index) {
        const platform::Image image = platform::Image::imageNamed(names.at(index));
        ASSERT_FALSE(image.isNull()) << names.at(index).toStdString();
        painter.fillRect(int(index) * 40, 0, 40, 40, index == 1 ? QColor(60, 60, 60) : QColor(Qt::white));
        painter.drawImage(int(index) * 40, 0, image.image());
    }
    painter.end();
    EXPECT_TRUE(strip.save(folder + QStringLiteral("/status-images.png")));
}

} // namespace
