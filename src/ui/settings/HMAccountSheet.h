#pragma once

#include "platform/appkit/FormWindowController.h"
#include "platform/appkit/KeyRouting.h"
#include "sync/HMProfile.h"

#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

// A sheet on a parent window that edits the account of one profile: a user name field (the profile's
// hhUserId), a password field and OK, the sheet's only way out (Escape and a close request run it too).
// The fields hold pending edits; OK writes them into the profile object as typed (no format rule) and
// ends the sheet. The profile file is its owner's to save. The form names its controls userNameField,
// passwordField and okButton. Main thread only.
template <typename Form>
class HMAccountSheet : public platform::FormWindowController<Form>
{
public:
    // The profile field that holds this account's password.
    struct PasswordField
    {
        QString (HMProfile::*read)() const;
        void (HMProfile::*write)(const QString &);
    };

    std::shared_ptr<HMProfile> profile() const { return m_profile; }
    // A window already loaded shows the new profile's values at once.
    void setProfile(std::shared_ptr<HMProfile> profile);
    QWidget *parentWindow() const { return m_parentWindow; }
    void setParentWindow(QWidget *window) { m_parentWindow = window; }

    // Commits the pending edits and ends the sheet.
    void okPushed();
    // Hides the window.
    void didEndSheet(int returnCode) override;

protected:
    HMAccountSheet(QString windowNibName, PasswordField password)
        : platform::FormWindowController<Form>(std::move(windowNibName)), m_password(password)
    {
    }

    void loadInterface(QDialog &window) override;
    // The profile's values shown in the fields (the pending edits start from them).
    void showProfileInFields();
    // Opens the window as a sheet on the parent window, the user name field focused.
    void beginSheetOnParent();

private:
    const PasswordField m_password;
    std::shared_ptr<HMProfile> m_profile;
    QPointer<QWidget> m_parentWindow;
};

template <typename Form>
void HMAccountSheet<Form>::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_profile = std::move(profile);
    if (this->isWindowLoaded())
        showProfileInFields();
}

template <typename Form>
void HMAccountSheet<Form>::okPushed()
{
    if (m_profile) {
        m_profile->setHhUserId(this->m_ui->userNameField->text());
        std::invoke(m_password.write, *m_profile, this->m_ui->passwordField->text());
    }
    this->endSheet(platform::NSModalResponseOK);
}

template <typename Form>
void HMAccountSheet<Form>::didEndSheet(int)
{
    this->window()->hide();
}

template <typename Form>
void HMAccountSheet<Form>::loadInterface(QDialog &window)
{
    platform::FormWindowController<Form>::loadInterface(window);
    QObject::connect(this->m_ui->okButton, &QPushButton::clicked, this, [this] { okPushed(); });
    platform::routeEscapeAndClose(window, [this] { okPushed(); });
}

template <typename Form>
void HMAccountSheet<Form>::showProfileInFields()
{
    this->m_ui->userNameField->setText(m_profile ? m_profile->hhUserId() : QString());
    this->m_ui->passwordField->setText(m_profile ? std::invoke(m_password.read, *m_profile) : QString());
}

template <typename Form>
void HMAccountSheet<Form>::beginSheetOnParent()
{
    this->window();
    this->beginSheet(m_parentWindow);
    this->m_ui->userNameField->setFocus();
}
