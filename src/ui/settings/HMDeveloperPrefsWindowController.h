#pragma once

#include "platform/appkit/FormWindowController.h"

#include <memory>

class HMProfile;
class HMProfilesController;
namespace Ui {
class HMDeveloperPrefsWindowController;
}

// The developer options window: points a profile at an Outlook application in a non-standard place.
// The check box enables the path field and the chooser of files and folders; OK stores the path and
// the flag in the profile object (the file follows with the profile's next save), Cancel, Escape and
// the window manager's close change nothing. Without a profile given, the window edits the current
// profile of the main window. Main thread only.
class HMDeveloperPrefsWindowController final
    : public platform::FormWindowController<Ui::HMDeveloperPrefsWindowController>
{
    Q_OBJECT

public:
    HMDeveloperPrefsWindowController();

    std::shared_ptr<HMProfile> profile;
    std::shared_ptr<HMProfilesController> profileController;

    void pressedOK();
    void pressedCancel();
    void buttonPushed();
    void useCustomPathBoxSelected();

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
};
