#pragma once

#include "platform/appkit/WindowController.h"

#include <memory>

namespace Ui {
class HMMainWindowController;
}
class HMAppDelegate;
class HMProfile;

// The main window: the application's menu bar, the name of the profile it shows and a Synchronize
// button, which runs that profile's sync through the background sync manager. Made by the
// application delegate's showMainWindow and stored process-wide in GlobalVariables. Main thread only.
class HMMainWindowController final : public platform::WindowController
{
    Q_OBJECT

public:
    explicit HMMainWindowController(HMAppDelegate &appDelegate);
    ~HMMainWindowController() override;

    // The profile shown: the first loaded one, or none.
    std::shared_ptr<HMProfile> currentProfile() const;
    // Starts a sync of the shown profile; nothing when no profile is loaded or a sync runs.
    void synchronizeProfile(const void *sender);
    // Rereads the profile shown.
    void updateProfileDisplay();

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
    HMAppDelegate &m_appDelegate;
    std::unique_ptr<Ui::HMMainWindowController> m_ui;
};
