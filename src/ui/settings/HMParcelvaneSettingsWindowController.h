#pragma once

#include "ui/settings/HMAccountSheet.h"

namespace Ui {
class HMParcelvaneSettingsWindowController;
}
// Made once, where the form is complete.
extern template class HMAccountSheet<Ui::HMParcelvaneSettingsWindowController>;

// The sheet of a profile's account on the Parcelvane partner system: user name, password (the
// profile's hhPassword) and the system's address. The profile has no field for an address, so the
// address is shown and kept by the sheet alone. Each opening shows the profile's values afresh.
// Nothing in the application opens the sheet. Main thread only.
class HMParcelvaneSettingsWindowController final : public HMAccountSheet<Ui::HMParcelvaneSettingsWindowController>
{
    Q_OBJECT

public:
    HMParcelvaneSettingsWindowController();

    void showPanel();
    void localizeXib();

protected:
    void windowDidLoad() override;
};
