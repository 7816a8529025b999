#include "ui/settings/HMParcelvaneSettingsWindowController.h"

#include "ui_HMParcelvaneSettingsWindowController.h"

template class HMAccountSheet<Ui::HMParcelvaneSettingsWindowController>;

HMParcelvaneSettingsWindowController::HMParcelvaneSettingsWindowController()
    : HMAccountSheet(QStringLiteral("HMParcelvaneSettingsWindowController"),
                     {&HMProfile::hhPassword, &HMProfile::setHhPassword})
{
}

void HMParcelvaneSettingsWindowController::windowDidLoad()
{
    localizeXib();
}

void HMParcelvaneSettingsWindowController::localizeXib()
{
    localizeLabels({{1001, "user_name"}, {1002, "password"}, {1004, "url"}, {1003, "parcelvane_instructions"}});
}

void HMParcelvaneSettingsWindowController::showPanel()
{
    window();
    showProfileInFields();
    beginSheetOnParent();
}
