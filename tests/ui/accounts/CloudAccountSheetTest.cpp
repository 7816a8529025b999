// The cloud account sheet against the cloud peer (and the Google peer for the connector's sign-in):
// the operations are the main window's, made here the way the main window makes them.
#include "CloudTestSupport.h"
#include "SignInTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/network/NetworkReachability.h"
#include "platform/restkit/RKClient.h"
#include "platform/appkit/Screenshot.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/NotificationCenter.h"
#include "push/Utilities/Reachability.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "ui/accounts/HMCloudAccountOperations.h"
#include "ui/accounts/HMQuillnestGoogleWindowController.h"

#include <QCryptographicHash>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <map>

namespace {

using platform::NSAlertFirstButtonReturn;
using platform::NSAlertSecondButtonReturn;
using platform::ScriptedAlertResponder;

// The main window's cloud operations for one profile: a fresh cloud client per operation, kept
// until the next of its kind.
class PeerOperations final : public HMCloudAccountOperations
{
public:
    explicit PeerOperations(std::shared_ptr<HMProfile> profile) : m_profile(std::move(profile)) {}

    QString validateQuillnestCredentials() override { return client("verify").validateConfiguration(); }
    QString hasQuillnestUsernameAndPassword() override
    {
        ++silentChecks;
        return client("silent").validateConfigurationWithSilentNotification();
    }
    QString createNewQuillnestUser() override { return client("create").createNewUser(); }
    void checkForGoogleConnector() override { client("connectors").checkConnectorStatus(); }
    void makeNewGoogleConnector(const QString &refreshToken, const QString &email) override
    {
        GlobalVariables::setEnabledConduitsForQuillnestConnector(QStringLiteral("AD"));
        client("connector").makeNewQuillnestConnector(refreshToken, email);
    }
    bool isNetworkReachable() override { return reachable; }

    bool reachable = true;
    int silentChecks = 0;

private:
    HMQuillnestSync &client(const char *operation)
    {
        std::unique_ptr<HMQuillnestSync> &slot = m_clients[operation];
        slot = HMQuillnestSync::initWithConfiguration(std::make_shared<FakeCloudConfiguration>(
            5, m_profile->hhUserId(), m_profile->quillnestPassword(), QStringLiteral("profile-1")));
        return *slot;
    }

    std::shared_ptr<HMProfile> m_profile;
    std::map<std::string, std::unique_ptr<HMQuillnestSync>> m_clients;
};

// Both peers over one test CA, the sheet on a parent window for a profile of user and password.
struct CloudSheet
{
    explicit CloudSheet(const QString &user = kUser, const QString &password = kPassword)
        : google(&cloud.certificates)
    {
        qputenv("HM_QUILLNEST_HOST", cloud.httpsHost().toUtf8());
        platform::RKClient::setDefaultExtraCACertificatesFile(cloud.certificates.caFile);
        parent.resize(760, 520);
        parent.show();
        profile = std::make_shared<HMProfile>();
        profile->setHhUserId(user);
        profile->setQuillnestPassword(password);
        operations = std::make_shared<PeerOperations>(profile);
        sheet = std::make_unique<HMQuillnestGoogleWindowController>();
        sheet->setParentWindow(&parent);
        sheet->setProfile(profile);
        sheet->setOperations(operations);
        sheet->showPanel();
    }
    ~CloudSheet()
    {
        // Answered alerts hand their end to the event loop; it runs before the sheet and alerts go.
        testsupport::waitUntil([] { return false; }, std::chrono::milliseconds(200));
        qunsetenv("HM_QUILLNEST_HOST");
    }

    QString statusLine() { return sheet->connectorStatusField()->isVisible() ? sheet->connectorStatusField()->text() : QString(); }
    bool waitForStatus(const QString &start)
    {
        return testsupport::waitUntil([&] { return statusLine().startsWith(start); }, std::chrono::seconds(20));
    }
    QStringList accountActions() const
    {
        QStringList actions;
        for (const cloudpeer::ReceivedRequest &request : cloud.peer->requests()) {
            const qsizetype at = request.body.indexOf("\"Action\":\"");
            if (at >= 0)
                actions << QString::fromUtf8(request.body.mid(at + 10)).section(u'"', 0, 0);
        }
        return actions;
    }
    void screenshot(const QString &name)
    {
        EXPECT_TRUE(platform::saveScreenshot(*sheet->window(), accountScreenshotFolder(), name).ok());
    }

    PeerFixture cloud;
    SignInFixture google;
    QWidget parent;
    std::shared_ptr<HMProfile> profile;
    std::shared_ptr<PeerOperations> operations;
    std::unique_ptr<HMQuillnestGoogleWindowController> sheet;
};

const QString kGreenActive = QStringLiteral("Connector is active for Google account: ");

// Counts the reachability notifications one monitor posts.
struct MonitorNotifications
{
    explicit MonitorNotifications(const std::shared_ptr<Reachability> &monitor)
        : token(platform::NotificationCenter::defaultCenter().addObserver(
              QString::fromLatin1(kReachabilityChangedNotification), monitor.get(), [this](const platform::Notification &) { ++count; }))
    {
    }
    // The monitor reports the link up; answers once the notification and whatever observers queued
    // in answer to it have run on the main queue.
    bool deliverChange(Reachability &monitor)
    {
        const int before = count;
        monitor.reachabilityChanged(platform::net::kReachabilityFlagsReachable);
        if (!testsupport::waitUntil([&] { return count > before; }))
            return false;
        bool flushed = false;
        platform::DispatchQueue::main()->async([&flushed] { flushed = true; });
        return testsupport::waitUntil([&] { return flushed; });
    }

    int count = 0;
    platform::ObserverToken token;
};

} // namespace

TEST(CloudAccountSheet, LocalErrorsWrongPasswordAndTheCreationQuestion)
{
    {
        CloudSheet sheet{QString(), QString()};
        ScriptedAlertResponder responder({NSAlertFirstButtonReturn});
        sheet.screenshot(QStringLiteral("cloud-empty"));
        QTest::mouseClick(sheet.sheet->window()->findChild<QPushButton *>("connectButton"), Qt::LeftButton);
        ASSERT_TRUE(testsupport::waitUntil([&] { return !responder.recordedAlerts().isEmpty(); }));
        EXPECT_EQ(responder.recordedAlerts().first().messageText, "Enter a password.");
        EXPECT_EQ(sheet.statusLine(), "Checking connector status ...") << "the checking line stays";
        for (const auto &[user, expected] : {std::pair{QString(), QStringLiteral("Enter a username.")},
                                             std::pair{QStringLiteral("@x.com"), QStringLiteral("Invalid user name. User name must be formatted as an email address.")}}) {
            sheet.profile->setHhUserId(user);
            sheet.profile->setQuillnestPassword(QStringLiteral("secret"));
            responder.appendReturnCode(NSAlertFirstButtonReturn);
            sheet.sheet->nextPushed();
            ASSERT_TRUE(testsupport::waitUntil([&, expected = expected] { return responder.recordedAlerts().last().messageText == expected; }));
        }
        EXPECT_TRUE(sheet.accountActions().isEmpty()) << "local errors ask nothing";
    }
    {
        // The peer answers a wrong password as an unknown user (1); a service answering 2 gets this.
        CloudSheet sheet;
        ScriptedAlertResponder responder({NSAlertFirstButtonReturn});
        sheet.sheet->credentialsValidated(QVariantMap{{"Result", 2}});
        ASSERT_TRUE(testsupport::waitUntil([&] { return !responder.recordedAlerts().isEmpty(); }));
        EXPECT_EQ(responder.recordedAlerts().first().messageText, "Invalid password.");
        sheet.sheet->credentialsValidated(QStringLiteral("not a reply"));
        sheet.sheet->credentialsValidated(QVariantMap{{"Result", 7}});
        EXPECT_TRUE(sheet.accountActions().isEmpty());
    }
    {
        // An unknown user: "No" removes the checking line; "Yes" creates the account, whose
        // connector status then starts the Google sign-in.
        CloudSheet sheet(QStringLiteral("new@x.com"), QStringLiteral("secret1"));
        ScriptedAlertResponder responder({NSAlertSecondButtonReturn, NSAlertFirstButtonReturn});
        sheet.sheet->nextPushed();
        ASSERT_TRUE(testsupport::waitUntil([&] { return !responder.recordedAlerts().isEmpty(); }, std::chrono::seconds(20)));
        EXPECT_EQ(responder.recordedAlerts().first().messageText,
                  "Quillnest user new@x.com does not exist. Would you like to create this user account?");
        EXPECT_EQ(responder.recordedAlerts().first().buttonTitles, QStringList({"Yes", "No"}));
        ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.statusLine().isEmpty(); }));
        sheet.sheet->nextPushed();
        ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.google.openCount() == 1; }, std::chrono::seconds(20)));
        EXPECT_EQ(sheet.accountActions(), QStringList({"verify", "verify", "create", "connectors"}));
        EXPECT_EQ(sheet.sheet->hasValidGoogleConnector(), "no");
        EXPECT_TRUE(sheet.sheet->isBrowserPanelShown());
    }
}

TEST(CloudAccountSheet, ConnectsTheGoogleAccountAndShowsTheActiveConnector)
{
    CloudSheet sheet;
    sheet.sheet->nextPushed();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.google.openCount() == 1; }, std::chrono::seconds(20)));
    sheet.screenshot(QStringLiteral("cloud-waiting-for-browser"));
    ASSERT_TRUE(browse(sheet.google.openedUrl(), sheet.google.caFile(), true).reachedListener);
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.sheet->statusField()->text() == "Success!"; }, std::chrono::seconds(20)));
    sheet.screenshot(QStringLiteral("cloud-connector-made"));
    ASSERT_TRUE(sheet.waitForStatus(kGreenActive));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !sheet.sheet->isBrowserPanelShown(); }));
    EXPECT_EQ(sheet.statusLine(), kGreenActive + "me@example.com\nLast Connector Sync: Never");
    sheet.screenshot(QStringLiteral("cloud-connector-active"));

    const QList<cloudpeer::Connector> connectors = sheet.cloud.peer->connectors(kUser);
    ASSERT_EQ(connectors.size(), 1);
    EXPECT_EQ(connectors.first().type, "Google");
    EXPECT_EQ(connectors.first().email, "me@example.com");
    EXPECT_EQ(connectors.first().token, "1//rt");
    EXPECT_EQ(connectors.first().conduits, "AD");
    EXPECT_TRUE(connectors.first().source.startsWith("HMM "));
    EXPECT_EQ(sheet.accountActions(), QStringList({"verify", "connectors", "updateConnector", "verify", "connectors"}));

    // Connecting again: the notice, then the green line; no browser.
    ScriptedAlertResponder responder({NSAlertFirstButtonReturn});
    sheet.sheet->nextPushed();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !responder.recordedAlerts().isEmpty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(responder.recordedAlerts().first().messageText, "Your account is already connected with Google. Nothing to do here.");
    EXPECT_EQ(sheet.google.openCount(), 1);
    EXPECT_EQ(sheet.sheet->hasValidGoogleConnector(), "yes");

    // The interface file's add action: the customer sign-in page for the validated account, with the
    // checking line shown and the check armed for the next focus.
    sheet.sheet->addConnector();
    const QUrl page = sheet.google.openedUrl();
    EXPECT_EQ(page.toString(QUrl::RemoveQuery), "https://www.quillnest.com/customer/signin");
    const QUrlQuery query(page);
    EXPECT_EQ(query.queryItemValue("email", QUrl::FullyDecoded), kUser);
    EXPECT_EQ(query.queryItemValue("token", QUrl::FullyDecoded),
              QString::fromLatin1(QCryptographicHash::hash(kPassword.toUtf8(), QCryptographicHash::Md5).toHex()));
    EXPECT_TRUE(page.toEncoded().contains("email=u%40x.com&token=")) << page.toEncoded().toStdString();
    EXPECT_EQ(sheet.statusLine(), "Checking connector status ...");
}

TEST(CloudAccountSheet, FailedConnectorAndMissingAddressShowTheirTexts)
{
    CloudSheet sheet;
    // The user information answers without the address: the manual set-up help.
    sheet.google.peer().addSwitch(googlepeer::Switch{googlepeer::SwitchKind::Expired401, QStringLiteral("/oauth2/v1/userinfo"), 1});
    sheet.sheet->nextPushed();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.google.openCount() == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(browse(sheet.google.openedUrl(), sheet.google.caFile(), true).reachedListener);
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.sheet->helpButton() && sheet.sheet->helpButton()->isVisible(); },
                                       std::chrono::seconds(20)));
    EXPECT_TRUE(sheet.sheet->statusField()->text().startsWith("Sorry, for some reason"));
    sheet.screenshot(QStringLiteral("cloud-manual-help"));
    QTest::mouseClick(sheet.sheet->helpButton(), Qt::LeftButton);
    EXPECT_EQ(sheet.google.openedUrl().host(), "www.quillnest.com");
    ASSERT_TRUE(testsupport::waitUntil([&] { return !sheet.sheet->isBrowserPanelShown(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(sheet.cloud.peer->connectors(kUser).isEmpty()) << "nothing was sent";
    // The re-check after the help only empties the line.
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.accountActions().endsWith("connectors") && sheet.statusLine().isEmpty(); },
                                       std::chrono::seconds(20)));

    // A connector answer with a blank before the 0 is a failure.
    sheet.sheet->didReceiveCreateConnectorResponse(QStringLiteral("{\"Result\": 0}"));
    EXPECT_EQ(sheet.sheet->statusField()->text(), "Unable to create Google connector.");
}

TEST(CloudAccountSheet, UnreachableNetworkAndTheRecheckOnActivation)
{
    CloudSheet sheet;
    sheet.operations->reachable = false;
    sheet.sheet->nextPushed();
    EXPECT_EQ(sheet.statusLine(), "Google connector status unavailable (network connection not available).");
    EXPECT_TRUE(sheet.accountActions().isEmpty());
    sheet.screenshot(QStringLiteral("cloud-unavailable"));
    // The network is back; activation asks for the connector status only.
    sheet.operations->reachable = true;
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kApplicationDidBecomeActive"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.accountActions() == QStringList({"connectors"}); }, std::chrono::seconds(20)));
    // A reachability change runs the silent re-check once armed.
    sheet.operations->reachable = false;
    sheet.sheet->checkForConnectorStatusSilent();
    EXPECT_EQ(sheet.statusLine(), "Google connector status unavailable (network connection not available).");
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.accountActions().size() == 3; }, std::chrono::seconds(20)));
    sheet.operations->reachable = true;
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kReachabilityChangedNotification"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.accountActions().size() >= 5; }, std::chrono::seconds(20)))
        << sheet.accountActions().join(u' ').toStdString();
    EXPECT_EQ(sheet.accountActions(), QStringList({"connectors", "verify", "connectors", "verify", "connectors"}));
}

// The sheet runs its own internet monitor while open: a change it reports runs the armed re-check;
// once the sheet closes or goes, the monitor is stopped and its reports reach nothing.
TEST(CloudAccountSheet, InternetMonitorRunsWhileTheSheetIsOpen)
{
    std::weak_ptr<Reachability> gone;
    {
        CloudSheet sheet;
        const std::shared_ptr<Reachability> monitor = sheet.sheet->internetReachability();
        ASSERT_TRUE(monitor);
        EXPECT_EQ(monitor->reachabilityObject(), monitor) << "the notifier runs";
        MonitorNotifications notifications(monitor);
        sheet.operations->reachable = false;
        sheet.sheet->nextPushed();
        EXPECT_EQ(sheet.statusLine(), "Google connector status unavailable (network connection not available).");
        sheet.operations->reachable = true;
        ASSERT_TRUE(notifications.deliverChange(*monitor));
        EXPECT_EQ(sheet.operations->silentChecks, 1);
        ASSERT_TRUE(testsupport::waitUntil([&] { return sheet.accountActions() == QStringList({"verify", "connectors"}); },
                                           std::chrono::seconds(20)))
            << sheet.accountActions().join(u' ').toStdString();

        // Closed: the notifier stops, and a change armed and reported afterwards is not handled.
        sheet.sheet->okPushed();
        EXPECT_FALSE(monitor->reachabilityObject());
        EXPECT_FALSE(monitor->reachabilitySerialQueue());
        sheet.operations->reachable = false;
        sheet.sheet->nextPushed();
        sheet.operations->reachable = true;
        ASSERT_TRUE(notifications.deliverChange(*monitor));
        EXPECT_EQ(sheet.operations->silentChecks, 1);
    }
    {
        // Destroyed while open, its answer to a change already queued: nothing runs on the gone
        // sheet, later changes reach nothing, and the monitor, stopped, is freed with its last owner.
        CloudSheet sheet;
        std::shared_ptr<Reachability> monitor = sheet.sheet->internetReachability();
        ASSERT_TRUE(monitor);
        gone = monitor;
        MonitorNotifications notifications(monitor);
        sheet.operations->reachable = false;
        sheet.sheet->nextPushed();
        sheet.operations->reachable = true;
        platform::NotificationCenter::defaultCenter().postNotificationName(QString::fromLatin1(kReachabilityChangedNotification),
                                                                           monitor.get());
        ASSERT_EQ(notifications.count, 1);
        sheet.sheet.reset();
        EXPECT_FALSE(monitor->reachabilityObject());
        ASSERT_TRUE(notifications.deliverChange(*monitor));
        EXPECT_EQ(notifications.count, 2);
        EXPECT_EQ(sheet.operations->silentChecks, 0);
        monitor.reset();
        platform::DispatchQueue::runMainQueueUntilEmpty();
    }
    EXPECT_TRUE(gone.expired());
}

TEST(CloudAccountSheet, ConnectorTextsOfTheReply)
{
    platform::Locale::setCurrent(platform::Locale(QStringLiteral("en_US")));
    EXPECT_EQ(HMQuillnestGoogleWindowController::connectorStatusText(QStringLiteral("[{\"Type\":\"Exchange\"}]")), QString());
    EXPECT_EQ(HMQuillnestGoogleWindowController::connectorStatusText(QVariant()), QString());
    EXPECT_EQ(HMQuillnestGoogleWindowController::connectorStatusText(QStringLiteral("[{\"Type\":\"Google\",\"LastSync\":\"0000-00-00 00:00:00\"}]")),
              kGreenActive + "\nLast Connector Sync: Never");
    EXPECT_EQ(HMQuillnestGoogleWindowController::connectorStatusText(
                  QStringLiteral("[{\"Type\":\"Other\",\"LastSync\":\"2024-01-02 03:04:05\"},"
                                 "{\"Type\":\"Google\",\"Email\":\"me@example.com\",\"LastSync\":\"0000\"}]")),
              kGreenActive + "me@example.com\nLast Connector Sync: Jan 2, 2024 03:04:05");
    platform::Locale::setCurrent(std::nullopt);
}

TEST(CloudAccountSheet, TabReachesEveryControlAndReturnIsOk)
{
    CloudSheet sheet;
    QWidget *window = sheet.sheet->window();
    window->findChild<QLineEdit *>("userNameField")->setFocus();
    QStringList visited;
    for (int step = 0; step < 6; ++step) {
        QWidget *focused = window->focusWidget();
        ASSERT_NE(focused, nullptr);
        visited << focused->objectName();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    EXPECT_EQ(visited, QStringList({"userNameField", "passwordField", "createQuillnestAccountButton",
                                    "manageQuillnestAccountButton", "connectButton", "okButton"}));
    // Typing edits the profile; Return is OK.
    QLineEdit *name = window->findChild<QLineEdit *>("userNameField");
    name->setFocus();
    name->selectAll();
    QTest::keyClicks(name, "me@x.com");
    EXPECT_EQ(sheet.profile->hhUserId(), "me@x.com");
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_FALSE(sheet.sheet->isSheetOpen());
    EXPECT_TRUE(sheet.accountActions().isEmpty());
}
