#pragma once

#include "ui/accounts/HMGoogleSignInSheet.h"

#include <QByteArray>
#include <QPointer>
#include <QVariantList>

#include <memory>

class HMProfile;
class HMProfileManager;
namespace Ui {
class GoogleDirectWindowController;
}

// The sheet of a Google direct profile: signs the profile in to a Google account in the browser,
// hands the tokens to the Google sync, shows the account's address and picture, and lets the user
// tick the calendars to synchronise and pick the one new events go to. OK stores the choices and
// saves the profile; a successful sign-in saves the tokens, account and calendars once the hand-over
// has ended. The hand-over's requests run on a worker; its answers reach the sheet on the main
// thread, in the order the sync object gave them. Main thread.
class GoogleDirectWindowController final : public HMGoogleSignInSheet
{
    Q_OBJECT

public:
    GoogleDirectWindowController();
    ~GoogleDirectWindowController() override;

    std::shared_ptr<HMProfile> profile() const { return m_profile; }
    void setProfile(std::shared_ptr<HMProfile> profile) { m_profile = std::move(profile); }
    QWidget *parentWindow() const { return m_parentWindow; }
    void setParentWindow(QWidget *window) { m_parentWindow = window; }
    // Where the profile is saved; without one, the application delegate's.
    void setProfileManager(std::shared_ptr<HMProfileManager> manager) { m_profileManager = std::move(manager); }
    // Whether the platform is 10.9 or older (AppKit 1265 and below); the sign-in is the same.
    bool isOldOSXVersion() const { return m_isOldOSXVersion; }

    void showPanel();
    void didEndSheet(int returnCode) override;
    void okPushed();
    void cancelPushed();
    void nextPushed();
    void googleCalendarSelected(QObject *sender);
    void defaultCalendarPopupButtonClicked();
    void loadUICalendars(QVariantList calendars);

    void googleSyncControllerReturnedWithUserName(const QString &userName);
    void googleSyncControllerReturnedWithUserImage(const QByteArray &image);
    void googleSyncControllerReturnedWithCalendarList(const QVariantList &calendars);

    // The calendar entries as the table holds them, ticks included.
    QVariantList calendarEntries() const { return m_calendars; }
    Ui::GoogleDirectWindowController &ui();
    // Whether a hand-over is under way (from the tokens until its last answer was shown).
    bool isHandingOver() const { return m_isHandingOver; }

protected:
    void loadInterface(QDialog &window) override;
    QString receivingText() const override;
    void handOverTokens() override;

private:
    void fillCalendarTable();
    void handOverEnded();
    void saveProfile();
    std::shared_ptr<HMProfileManager> profileManager() const;

    std::unique_ptr<Ui::GoogleDirectWindowController> m_ui;
    std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<HMProfileManager> m_profileManager;
    QPointer<QWidget> m_parentWindow;
    QVariantList m_calendars;
    bool m_isOldOSXVersion = false;
    bool m_isHandingOver = false;
    bool m_isFillingTable = false;
    bool m_saveQueued = false;
};
