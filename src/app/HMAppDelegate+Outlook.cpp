// Where the Outlook autosync check of the application delegate asks: Outlook's change test and the
// main window that synchronises.
#include "app/HMAppDelegate.h"

#include "app/HMAutosyncMainWindow.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookSQLiteHelper.h"

namespace {

// The main window as the autosync check sees it.
class AutosyncMainWindow final : public HMAutosyncMainWindow
{
public:
    explicit AutosyncMainWindow(std::shared_ptr<HMMainWindowController> window) : m_window(std::move(window)) {}

    void synchronizeProfile(const void *sender) override { m_window->synchronizeProfile(sender); }
    void shouldAutosyncQuillnest() override
    {
        DDLogInfo(QStringLiteral("The main window has no cloud change poll; the next check asks again"));
    }

private:
    std::shared_ptr<HMMainWindowController> m_window;
};

} // namespace

void HMAppDelegate::configureOutlookAutosyncCheck()
{
    if (!m_outlookChangeTest)
        m_outlookChangeTest = [](const QString &conduits) { return HMOutlookSQLiteHelper().shouldAutosync(conduits); };
    if (!m_mainWindowSource) {
        m_mainWindowSource = []() -> std::shared_ptr<HMAutosyncMainWindow> {
            std::shared_ptr<HMMainWindowController> window = GlobalVariables::getMainWindowController();
            return window ? std::make_shared<AutosyncMainWindow>(std::move(window)) : nullptr;
        };
    }
    // The decision writes the selected profile's sync method as the main window does before a sync.
    HMOutlookSQLiteHelper::setSyncMethodWriter([] {
        if (const std::shared_ptr<HMMainWindowController> window = GlobalVariables::getMainWindowController())
            window->setCurrentSyncMethod();
    });
}
