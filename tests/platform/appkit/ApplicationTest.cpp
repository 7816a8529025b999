// The application object: launch events, hiding and showing windows, key-down monitors, and the
// workspace's requests.
#include "platform/appkit/Application.h"
#include "platform/appkit/ApplicationDelegate.h"
#include "platform/appkit/Workspace.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>

using namespace platform;

namespace {

class RecordingDelegate final : public ApplicationDelegate
{
public:
    void applicationWillFinishLaunching() override { events << QStringLiteral("willFinish"); }
    void applicationDidFinishLaunching() override { events << QStringLiteral("didFinish"); }
    void applicationDidHide() override { events << QStringLiteral("hide"); }
    void applicationDidUnhide() override { events << QStringLiteral("unhide"); }
    void applicationDidChangeOcclusionState() override { events << QStringLiteral("occlusion"); }
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override
    {
        events << QStringLiteral("reopen %1").arg(int(hasVisibleWindows));
        return true;
    }

    QStringList events;
};

TEST(ApplicationTest, LaunchesOnceAndHidesAndShowsItsWindows)
{
    Application application({QStringLiteral("harrowmere"), QStringLiteral("--launched-at-login")});
    EXPECT_EQ(Application::shared(), &application);
    EXPECT_TRUE(application.isLaunchedAsLoginItem());
    RecordingDelegate delegate;
    application.setDelegate(&delegate);
    application.finishLaunching();
    application.finishLaunching();
    EXPECT_EQ(delegate.events, (QStringList{"willFinish", "didFinish"}));

    QWidget shown;
    shown.show();
    QWidget neverShown;
    delegate.events.clear();
    application.hide();
    application.hide();
    EXPECT_FALSE(shown.isVisible());
    EXPECT_FALSE(application.hasVisibleWindows());
    application.reopen();
    EXPECT_TRUE(shown.isVisible());
    EXPECT_FALSE(neverShown.isVisible());
    EXPECT_FALSE(application.isHidden());
    // A click shows the hidden windows first; the delegate then sees them on screen.
    EXPECT_EQ(delegate.events, (QStringList{"hide", "occlusion", "unhide", "occlusion", "reopen 1"}));
    application.setDelegate(nullptr);
}

TEST(ApplicationTest, KeyMonitorsSeeEachPressOnceAndMayConsumeIt)
{
    struct Row { const char *name; int key; Qt::KeyboardModifiers modifiers; QString text; QString characters; };
    const Row rows[] = {{"a letter is lower case", Qt::Key_L, Qt::ControlModifier, QString(QChar(12)), "l"},
                        {"shift keeps the letter lower case", Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier, "E", "e"},
                        {"other keys keep their text", Qt::Key_1, Qt::NoModifier, "1", "1"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const KeyEvent event = Application::keyEventFromQt(row.key, row.modifiers, row.text);
        EXPECT_EQ(event.characters, row.characters);
        EXPECT_EQ(event.modifierFlags, row.modifiers);
    }

    Application application({QStringLiteral("harrowmere")});
    EXPECT_FALSE(application.isLaunchedAsLoginItem());
    QWidget window;
    window.show();
    QList<KeyEvent> seen;
    Application::MonitorId monitor = 0;
    monitor = application.addLocalMonitorForKeyDownEvents([&](const KeyEvent &event) {
        seen.append(event);
        application.removeMonitor(monitor);
        return event.characters == QLatin1String("x");
    });
    QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::ControlModifier);
    QCoreApplication::sendEvent(window.windowHandle(), &press);
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen.front().characters, QStringLiteral("x"));
    QCoreApplication::sendEvent(window.windowHandle(), &press);
    EXPECT_EQ(seen.size(), 1) << "the monitor removed itself";
}

TEST(WorkspaceTest, HandsRequestsToItsOpenerAndRefusesEmptyOnes)
{
    Workspace &workspace = Workspace::sharedWorkspace();
    QList<QPair<Workspace::RequestKind, QUrl>> requests;
    workspace.setOpener([&](Workspace::RequestKind kind, const QUrl &url) {
        requests.append({kind, url});
        return true;
    });
    EXPECT_TRUE(workspace.selectFile(QStringLiteral("/tmp/a file"), QString()));
    EXPECT_TRUE(workspace.openURL(QUrl(QStringLiteral("https://example.org/"))));
    EXPECT_FALSE(workspace.selectFile(QString(), QString()));
    EXPECT_FALSE(workspace.openURL(QUrl()));
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests.at(0).first, Workspace::RequestKind::SelectFile);
    EXPECT_EQ(requests.at(0).second, QUrl::fromLocalFile(QStringLiteral("/tmp/a file")));
    EXPECT_EQ(requests.at(1).first, Workspace::RequestKind::OpenUrl);
    workspace.setOpener({});
}

} // namespace
