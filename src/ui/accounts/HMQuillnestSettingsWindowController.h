#pragma once

#include "platform/appkit/FormWindowController.h"

#include <QPointer>
#include <QString>

#include <memory>

class HMProfile;
namespace Ui {
class HMQuillnestSettingsWindowController;
}

// The cloud account sheet of a profile that syncs a phone through the cloud service (sync method 4,
// any device but Google): the account's user name and password, and links to create and manage the
// account. It checks nothing and sends nothing. The fields hold pending edits; OK (and Escape or a
// close request, the sheet having no cancel) commits them into the profile object and ends the sheet.
// The profile file is its owner's to save. Main thread only.
class HMQuillnestSettingsWindowController final
    : public platform::FormWindowController<Ui::HMQuillnestSettingsWindowController>
{
    Q_OBJECT

public:
    HMQuillnestSettingsWindowController();

    std::shared_ptr<HMProfile> profile() const { return m_profile; }
    void setProfile(std::shared_ptr<HMProfile> profile);
    QWidget *parentWindow() const { return m_parentWindow; }
    void setParentWindow(QWidget *window) { m_parentWindow = window; }

    void showPanel();
    void localizeXib();
    void okPushed();
    void didEndSheet(int returnCode) override;

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
    // The profile's values shown in the fields (the pending edits start from them).
    void showProfileInFields();

    std::shared_ptr<HMProfile> m_profile;
    QPointer<QWidget> m_parentWindow;
};
