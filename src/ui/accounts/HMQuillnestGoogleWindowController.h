#pragma once

#include "platform/foundation/NotificationCenter.h"
#include "ui/accounts/HMGoogleSignInSheet.h"

#include <QPointer>
#include <QVariant>

#include <memory>
#include <vector>

class HMCloudAccountOperations;
class HMProfile;
class QPushButton;
class Reachability;
namespace Ui {
class HMQuillnestGoogleWindowController;
}

// The cloud account sheet of a profile that syncs a Google account through the cloud service (sync
// method 4, device type 5). The user's cloud user name and password are verified through the main
// window's operations (the account is offered for creation when the service does not know it); the
// sheet shows whether the account has a Google connector and, when it has none, signs in to Google
// in the browser and has the main window create the connector with the refresh token and the
// account's address. Answers arrive as notifications; the sheet handles them on the main thread.
// Re-checks follow the application's activation and reachability changes; while the sheet observes,
// it runs an internet monitor so that those changes are posted at all. Main thread.
class HMQuillnestGoogleWindowController final : public HMGoogleSignInSheet
{
    Q_OBJECT

public:
    static constexpr char kErrorCreatingQuillnestUser[] = "kErrorCreatingQuillnestUser";
    static constexpr char kApplicationDidBecomeActive[] = "kApplicationDidBecomeActive";

    HMQuillnestGoogleWindowController();
    ~HMQuillnestGoogleWindowController() override;

    std::shared_ptr<HMProfile> profile() const { return m_profile; }
    void setProfile(std::shared_ptr<HMProfile> profile);
    QWidget *parentWindow() const { return m_parentWindow; }
    void setParentWindow(QWidget *window) { m_parentWindow = window; }
    // The main window's operations unless a test gives others.
    void setOperations(std::shared_ptr<HMCloudAccountOperations> operations) { m_operations = std::move(operations); }

    void showPanel();
    void didEndSheet(int returnCode) override;
    void okPushed();
    void nextPushed();
    void manageAccountButtonClicked();
    // Arms the check on the next focus, shows the checking line and opens the customer sign-in page
    // for the validated account (its user name and password digest as query values).
    void addConnector();
    void localizeXib();
    void setButtonColor();
    void showStatusCheckMessage();
    void setConnectorStatusNotAvailable();
    void checkForValidGoogleConnector();
    void checkForConnectorStatusSilent();
    void credentialsValidated(const QVariant &object);
    void credentialsValidatedSilent(const QVariant &object);
    void userCreated(const QVariant &object);
    void errorCreatingUser(const QVariant &object);
    void invalidUserName();
    void invalidPassword();
    void showConnectorStatus(const QVariant &object);
    void didReceiveCreateConnectorResponse(const QVariant &object);
    void didCreateConnector(bool created);
    void helpButtonPressed();
    void gainedFocus();
    void reachabilityChanged();

    // The connector text of a connectors reply: the Google connector's address and the first
    // "LastSync" of the whole reply, as the status line shows it; empty without a Google connector.
    static QString connectorStatusText(const QVariant &reply);
    // The shown last sync of a "LastSync" value: "Never" for zeros, else the medium date and time.
    static QString lastSyncText(const QString &value);

    bool shouldUseWebView() const { return m_shouldUseWebView; }
    const QString &hasValidGoogleConnector() const { return m_hasValidGoogleConnector; }
    const QString &qnsUsername() const { return m_qnsUsername; }
    const QString &emailString() const { return m_emailString; }
    QLabel *connectorStatusField();
    QProgressBar *indicator();
    QPushButton *helpButton() const { return m_helpButton; }
    // The internet monitor that runs while the sheet observes; null before it loads.
    std::shared_ptr<Reachability> internetReachability() const { return m_internetReachability; }

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;
    bool mayOpenBrowser() const override { return m_shouldUseWebView; }
    QString receivingText() const override;
    void handOverTokens() override;
    void browserWindowWillClose() override;
    bool closesWithSuccessText() const override { return false; }

private:
    void observeNotifications();
    void startInternetMonitor();
    void stopObserving();
    void readCredentials(const QString &text);
    void handleAccountReply(const QVariant &object);
    void removeStatusLine();
    void setStatusLine(const QString &text, const QColor &colour);
    void askToCreateUser();
    void gotUserInformation(const QString &email);
    void showManualSetUpHelp();
    HMCloudAccountOperations &operations();

    std::unique_ptr<Ui::HMQuillnestGoogleWindowController> m_ui;
    std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<HMCloudAccountOperations> m_operations;
    QPointer<QWidget> m_parentWindow;
    QPointer<QPushButton> m_helpButton;
    std::vector<platform::ObserverToken> m_observers;
    std::shared_ptr<Reachability> m_internetReachability;
    QString m_qnsUsername;
    QString m_md5Password;
    QString m_hasValidGoogleConnector;
    QString m_emailString;
    QString m_connectorRefreshToken;
    bool m_shouldUseWebView = false;
    bool m_shouldCheckForGoogleConnectorOnFocus = false;
    bool m_shouldCheckForGoogleConnectorOnReachabilityChange = false;
    bool m_hideConnectorStatusDueToError = false;
};
