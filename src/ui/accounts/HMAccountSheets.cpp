#include "ui/accounts/HMAccountSheets.h"

#include "ui/accounts/GoogleDirectWindowController.h"
#include "ui/accounts/HMQuillnestGoogleWindowController.h"
#include "ui/accounts/HMQuillnestSettingsWindowController.h"

namespace HMAccountSheets {

namespace {
template <typename Controller>
std::unique_ptr<Controller> shown(QWidget *parentWindow, const std::shared_ptr<HMProfile> &profile)
{
    auto controller = std::make_unique<Controller>();
    controller->setParentWindow(parentWindow);
    controller->setProfile(profile);
    controller->showPanel();
    return controller;
}
} // namespace

std::unique_ptr<QObject> open(HMMainWindowController::AccountSheet sheet, QWidget *parentWindow,
                              const std::shared_ptr<HMProfile> &profile)
{
    using Sheet = HMSettingsSheets::Sheet;
    switch (sheet) {
    case Sheet::CloudGoogle:
        return shown<HMQuillnestGoogleWindowController>(parentWindow, profile);
    case Sheet::CloudSettings:
        return shown<HMQuillnestSettingsWindowController>(parentWindow, profile);
    case Sheet::GoogleDirect:
    case Sheet::GoogleDirectSignIn: {
        auto direct = shown<GoogleDirectWindowController>(parentWindow, profile);
        // A second start while the first runs changes nothing.
        if (sheet == Sheet::GoogleDirectSignIn)
            direct->openBrowserWindow();
        return direct;
    }
    default:
        return nullptr;
    }
}

void registerWithMainWindow()
{
    using Sheet = HMSettingsSheets::Sheet;
    for (const Sheet sheet : {Sheet::CloudGoogle, Sheet::CloudSettings, Sheet::GoogleDirect, Sheet::GoogleDirectSignIn}) {
        HMSettingsSheets::registerMaker(sheet, [sheet](const HMSettingsSheets::Request &request) {
            return open(sheet, request.parentWindow, request.profile);
        });
    }
}

} // namespace HMAccountSheets
