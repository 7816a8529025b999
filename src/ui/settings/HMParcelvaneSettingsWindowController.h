#pragma once

#include "platform/appkit/FormWindowController.h"

#include <QPointer>
#include <QString>

#include <memory>

class HMProfile;
namespace Ui {
class HMParcelvaneSettingsWindowController;
}

// The sheet of a profile's account on the Parcelvane partner system: user name, password and the
// system's address. The user name and password edit the profile's account fields (hhUserId and
// hhPassword) on OK, the sheet's only way out (Escape and a close request run it too); the profile
// has no field for an address, so the address is shown and kept by the sheet alone. Nothing is
// written to the file. Nothing in the application opens the sheet. Main thread only.
class HMParcelvaneSettingsWindowController final
    : public platform::FormWindowController<Ui::HMParcelvaneSettingsWindowController>
{
    Q_OBJECT

public:
    HMParcelvaneSettingsWindowController();

    std::shared_ptr<HMProfile> profile;
    QPointer<QWidget> parentWindow;

    void showPanel();
    void localizeXib();
    void okPushed();
    void didEndSheet(int returnCode) override;

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;
};
