#include "ui/accounts/HMQuillnestSettingsWindowController.h"

#include "ui_HMQuillnestSettingsWindowController.h"

#include "foundation/GlobalVariables.h"
#include "platform/appkit/KeyRouting.h"
#include "sync/HMProfile.h"
#include "ui/accounts/QuillnestPages.h"

HMQuillnestSettingsWindowController::HMQuillnestSettingsWindowController()
    : FormWindowController(QStringLiteral("HMQuillnestSettingsWindow"))
{
}

void HMQuillnestSettingsWindowController::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_profile = std::move(profile);
    if (isWindowLoaded())
        showProfileInFields();
}

void HMQuillnestSettingsWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okPushed(); });
    platform::routeEscapeAndClose(window, [this] { okPushed(); });
}

void HMQuillnestSettingsWindowController::windowDidLoad()
{
    m_ui->createQuillnestAccountButton->setHyperlinkTitle(QStringLiteral("Create an Account"));
    m_ui->createQuillnestAccountButton->setHyperlinkUrl(QuillnestPages::createAccount());
    // Here the account is managed after signing in as a customer.
    m_ui->manageQuillnestAccountButton->setHyperlinkTitle(QStringLiteral("Manage Account"));
    m_ui->manageQuillnestAccountButton->setHyperlinkUrl(QuillnestPages::customerSignIn());
    localizeXib();
    showProfileInFields();
}

void HMQuillnestSettingsWindowController::localizeXib()
{
    localizeLabels({{1001, "password"}, {1002, "user_name"}, {1003, "quill_nest_instructions"}});
}

void HMQuillnestSettingsWindowController::showProfileInFields()
{
    m_ui->userNameField->setText(m_profile ? m_profile->hhUserId() : QString());
    m_ui->passwordField->setText(m_profile ? m_profile->quillnestPassword() : QString());
}

void HMQuillnestSettingsWindowController::showPanel()
{
    GlobalVariables::setAdvancedSettingsIsOpen(true);
    window();
    beginSheet(m_parentWindow);
    m_ui->userNameField->setFocus();
}

// Commits the pending edits as typed (no format rule) and ends the sheet.
void HMQuillnestSettingsWindowController::okPushed()
{
    if (m_profile) {
        m_profile->setHhUserId(m_ui->userNameField->text());
        m_profile->setQuillnestPassword(m_ui->passwordField->text());
    }
    endSheet(platform::NSModalResponseOK);
}

void HMQuillnestSettingsWindowController::didEndSheet(int)
{
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    window()->hide();
}
