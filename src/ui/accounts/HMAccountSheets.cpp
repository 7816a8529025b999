#include "ui/accounts/HMAccountSheets.h"

#include "ui/accounts/GoogleDirectWindowController.h"
#include "ui/accounts/HMQuillnestGoogleWindowController.h"

namespace HMAccountSheets {

std::unique_ptr<QObject> open(HMMainWindowController::AccountSheet sheet, QWidget *parentWindow,
                              const std::shared_ptr<HMProfile> &profile)
{
    if (sheet == HMMainWindowController::AccountSheet::CloudGoogle) {
        auto cloud = std::make_unique<HMQuillnestGoogleWindowController>();
        cloud->setParentWindow(parentWindow);
        cloud->setProfile(profile);
        cloud->showPanel();
        return cloud;
    }
    auto direct = std::make_unique<GoogleDirectWindowController>();
    direct->setParentWindow(parentWindow);
    direct->setProfile(profile);
    direct->showPanel();
    // A second start while the first runs changes nothing.
    if (sheet == HMMainWindowController::AccountSheet::GoogleDirectSignIn)
        direct->openBrowserWindow();
    return direct;
}

void registerWithMainWindow()
{
    HMMainWindowController::setAccountSheetOpener(&open);
}

} // namespace HMAccountSheets
