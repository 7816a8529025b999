#include "ui/settings/HMParcelvaneSettingsWindowController.h"

#include "ui_HMParcelvaneSettingsWindowController.h"

#include "platform/appkit/KeyRouting.h"
#include "sync/HMProfile.h"

HMParcelvaneSettingsWindowController::HMParcelvaneSettingsWindowController()
    : FormWindowController(QStringLiteral("HMParcelvaneSettingsWindowController"))
{
}

void HMParcelvaneSettingsWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okPushed(); });
    platform::routeEscapeAndClose(window, [this] { okPushed(); });
}

void HMParcelvaneSettingsWindowController::windowDidLoad()
{
    localizeXib();
}

void HMParcelvaneSettingsWindowController::localizeXib()
{
    localizeLabels({ {1001, "user_name"}, {1002, "password"}, {1004, "url"}, {1003, "parcelvane_instructions"}});
}

void HMParcelvaneSettingsWindowController::showPanel()
{
    window();
    m_ui->userNameField->setText(profile ? profile->hhUserId() : QString());
    m_ui->passwordField->setText(profile ? profile->hhPassword() : QString());
    beginSheet(parentWindow);
    m_ui->userNameField->setFocus();
}

void HMParcelvaneSettingsWindowController::okPushed()
{
    if (profile) {
        profile->setHhUserId(m_ui->userNameField->text());
        profile->setHhPassword(m_ui->passwordField->text());
    }
    endSheet(platform::NSModalResponseOK);
}

void HMParcelvaneSettingsWindowController::didEndSheet(int)
{
    window()->hide();
}
