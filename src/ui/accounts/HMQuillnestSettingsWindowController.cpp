#include "ui/accounts/HMQuillnestSettingsWindowController.h"

#include "ui_HMQuillnestSettingsWindowController.h"

#include "foundation/GlobalVariables.h"
#include "ui/accounts/QuillnestPages.h"

template class HMAccountSheet<Ui::HMQuillnestSettingsWindowController>;

HMQuillnestSettingsWindowController::HMQuillnestSettingsWindowController()
    : HMAccountSheet(QStringLiteral("HMQuillnestSettingsWindow"),
                     {&HMProfile::quillnestPassword, &HMProfile::setQuillnestPassword})
{
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

void HMQuillnestSettingsWindowController::showPanel()
{
    GlobalVariables::setAdvancedSettingsIsOpen(true);
    beginSheetOnParent();
}

void HMQuillnestSettingsWindowController::didEndSheet(int returnCode)
{
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    HMAccountSheet::didEndSheet(returnCode);
}
