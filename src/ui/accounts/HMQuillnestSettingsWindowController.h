#pragma once

#include "ui/settings/HMAccountSheet.h"

namespace Ui {
class HMQuillnestSettingsWindowController;
}
// Made once, where the form is complete.
extern template class HMAccountSheet<Ui::HMQuillnestSettingsWindowController>;

// The cloud account sheet of a profile that syncs a phone through the cloud service (sync method 4,
// any device but Google): the account's user name and password (the profile's quillnestPassword), and
// links to create and manage the account. It checks nothing and sends nothing. While it is open the
// advanced settings count as open. Main thread only.
class HMQuillnestSettingsWindowController final : public HMAccountSheet<Ui::HMQuillnestSettingsWindowController>
{
    Q_OBJECT

public:
    HMQuillnestSettingsWindowController();

    void showPanel();
    void localizeXib();
    void didEndSheet(int returnCode) override;

protected:
    void windowDidLoad() override;
};
