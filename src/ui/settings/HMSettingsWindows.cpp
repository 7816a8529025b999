#include "ui/settings/HMSettingsWindows.h"

#include "phonelink/HMWiFiSettingsWindowController.h"
#include "sync/HMProfile.h"
#include "ui/settings/HMAdvancedSettingsWindowController.h"
#include "ui/settings/HMDeveloperPrefsWindowController.h"
#include "ui/settings/HMMainSettingsWindowController.h"
#include "ui/settings/HMPreferencesWindowController.h"

namespace HMSettingsWindows {

namespace {

void showMainSettings(HMMainSettingsWindowController &sheet, const HMSettingsSheets::Request &request)
{
    sheet.mainSettingsDelegate = request.mainSettingsDidClose;
    sheet.parentWindow = request.parentWindow;
    sheet.profile = request.profile;
    sheet.showPanel();
    sheet.autoSelectContactManagerOnOpen();
    sheet.updateBackgroundImages();
}

std::unique_ptr<QObject> openMainSettings(const HMSettingsSheets::Request &request)
{
    auto sheet = std::make_unique<HMMainSettingsWindowController>();
    showMainSettings(*sheet, request);
    return sheet;
}

// The settings round trip is the sheet's most frequent use: its window stays built between openings,
// and showing it again fills every box and picture anew from the request's profile.
bool reopenMainSettings(QObject &controller, const HMSettingsSheets::Request &request)
{
    auto *const sheet = qobject_cast<HMMainSettingsWindowController *>(&controller);
    if (sheet == nullptr || sheet->isSheetOpen() || !request.profile)
        return false;
    showMainSettings(*sheet, request);
    return true;
}

std::unique_ptr<QObject> openAdvancedSettings(const HMSettingsSheets::Request &request)
{
    auto sheet = std::make_unique<HMAdvancedSettingsWindowController>();
    const HMProfile &profile = *request.profile;
    sheet->isSimplified = request.isSimplified;
    sheet->isConfiguredForOutlook = request.isConfiguredForOutlook;
    sheet->isConfiguredForQuillnest = profile.syncMethod() == HMSyncMethod::Quillnest;
    sheet->isConfiguredForGoogle = profile.deviceTypeName().contains(QStringLiteral("google"));
    sheet->isGoogleDirect = profile.syncMethod() == HMSyncMethod::GoogleDirect;
    sheet->parentWindow = request.parentWindow;
    sheet->profile = request.profile;
    sheet->configuredOutlookVersion = request.configuredOutlookVersion;
    sheet->showPanel();
    sheet->setSyncChoiceContents(profile.syncDeletionsDictionaryList(), profile.syncDirectionDictionaryList());
    return sheet;
}

std::unique_ptr<QObject> openPairing(const HMSettingsSheets::Request &request)
{
    auto sheet = std::make_unique<HMWiFiSettingsWindowController>();
    sheet->setParentWindow(request.parentWindow);
    sheet->setProfile(request.profile);
    sheet->showPanel();
    return sheet;
}

template <typename Controller>
std::unique_ptr<QObject> shownWindow()
{
    auto controller = std::make_unique<Controller>();
    controller->showWindow();
    return controller;
}

} // namespace

std::unique_ptr<QObject> open(HMSettingsSheets::Sheet sheet, const HMSettingsSheets::Request &request)
{
    if (sheet == HMSettingsSheets::Sheet::Preferences)
        return shownWindow<HMPreferencesWindowController>();
    if (sheet == HMSettingsSheets::Sheet::DeveloperOptions)
        return shownWindow<HMDeveloperPrefsWindowController>();
    if (!request.profile)
        return nullptr;
    switch (sheet) {
    case HMSettingsSheets::Sheet::MainSettings:
        return openMainSettings(request);
    case HMSettingsSheets::Sheet::AdvancedSettings:
        return openAdvancedSettings(request);
    case HMSettingsSheets::Sheet::WiFiPairing:
        return openPairing(request);
    default:
        return nullptr;
    }
}

void registerWithMainWindow()
{
    using Sheet = HMSettingsSheets::Sheet;
    for (const Sheet sheet : {Sheet::MainSettings, Sheet::AdvancedSettings, Sheet::WiFiPairing, Sheet::Preferences,
                              Sheet::DeveloperOptions}) {
        HMSettingsSheets::registerMaker(sheet, [sheet](const HMSettingsSheets::Request &request) { return HMSettingsWindows::open(sheet, request); });
    }
    HMSettingsSheets::registerReopener(Sheet::MainSettings, reopenMainSettings);
}

} // namespace HMSettingsWindows
