// Where the Outlook autosync check of the application delegate asks: Outlook's change test and the
// main window that synchronises.
#include "app/HMAppDelegate.h"

#include "app/HMAutosyncMainWindow.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookSQLiteHelper.h"

void HMAppDelegate::configureOutlookAutosyncCheck()
{
    if (!m_outlookChangeTest)
        m_outlookChangeTest = [](const QString &conduits) { return HMOutlookSQLiteHelper().shouldAutosync(conduits); };
    if (!m_mainWindowSource) {
        m_mainWindowSource = []() -> std::shared_ptr<HMAutosyncMainWindow> {
            // The main window itself synchronises and polls the cloud.
            return GlobalVariables::getMainWindowController();
        };
    }
    // The decision writes the selected profile's sync method as the main window does before a sync.
    HMOutlookSQLiteHelper::setSyncMethodWriter([] {
        if (const std::shared_ptr<HMMainWindowController> window = GlobalVariables::getMainWindowController())
            window->setCurrentSyncMethod();
    });
}
