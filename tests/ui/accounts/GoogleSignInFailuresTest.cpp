// The sign-in's refusals and failures on the direct sheet: Deny, Close, a redirect of another run, an
// oversized code, token replies without both tokens, and a failed second run after a good one.
#include "SignInTestSupport.h"

#include "platform/appkit/Screenshot.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "ui/accounts/GoogleDirectWindowController.h"
#include "ui/accounts/HMAccountSheets.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

struct Sheet
{
    Sheet()
    {
        parent.resize(700, 560);
        parent.show();
        profile = manager.newProfile();
        sheet = std::make_unique<GoogleDirectWindowController>();
        sheet->setParentWindow(&parent);
        sheet->setProfile(profile);
        sheet->setProfileManager(std::shared_ptr<HMProfileManager>(std::shared_ptr<HMProfileManager>(), &manager));
    }
    bool waitForPanelClosed()
    {
        return testsupport::waitUntil([&] { return !sheet->isBrowserPanelShown() && !sheet->isHandingOver(); });
    }
    bool waitForFailure()
    {
        return testsupport::waitUntil([&] { return sheet->statusField()->text().startsWith("Unable to sign in to Google."); });
    }
    QString state() const { return QUrlQuery(sheet->signIn().authorizationUrl()).queryItemValue("state"); }

    QWidget parent;
    platform::UserDefaults defaults;
    HMProfileManager manager{defaults};
    std::shared_ptr<HMProfile> profile;
    std::unique_ptr<GoogleDirectWindowController> sheet;
};

void addSwitch(SignInFixture &fixture, googlepeer::SwitchKind kind, int times = 1)
{
    fixture.peer().addSwitch(googlepeer::Switch{kind, QStringLiteral("/o/oauth2/token"), times});
}

void screenshot(Sheet &sheet, const QString &name)
{
    EXPECT_TRUE(platform::saveScreenshot(*sheet.sheet->window(),
                                         accountScreenshotFolder(), name)
                    .ok());
}

} // namespace

TEST(GoogleSignIn, DenyCloseAndForeignRedirectsStoreNothing)
{
    SignInFixture fixture;
    Sheet direct;
    direct.sheet->showPanel();

    // A redirect with another state gets 400 and the run goes on waiting.
    const quint16 port = direct.sheet->signIn().port();
    const auto foreign = getLoopback(port, QStringLiteral("/?state=another&code=4/abc"));
    ASSERT_TRUE(foreign.has_value());
    EXPECT_EQ(foreign->first, 400);
    EXPECT_TRUE(direct.sheet->signIn().isWaitingForBrowser());
    // Other paths, and requests larger than the cap, are not the redirect.
    EXPECT_EQ(getLoopback(port, QStringLiteral("/favicon.ico"))->first, 404);
    EXPECT_EQ(getLoopback(port, QStringLiteral("/?state=") + QString(9000, u'a'))->first, 431);
    EXPECT_TRUE(direct.sheet->signIn().isWaitingForBrowser());

    // Deny: the browser is sent back to Harrowmere, the panel closes, nothing is asked or stored.
    const BrowserVisit denied = browse(fixture.openedUrl(), fixture.caFile(), false);
    ASSERT_TRUE(denied.reachedListener) << denied.redirectTarget.toStdString();
    EXPECT_TRUE(denied.listenerPage.contains("return to Harrowmere"));
    ASSERT_TRUE(direct.waitForPanelClosed());
    EXPECT_TRUE(fixture.requestsTo("/o/oauth2/token").isEmpty());
    EXPECT_TRUE(direct.profile->googleRefreshToken().isEmpty());
    EXPECT_TRUE(direct.sheet->outlet<QPushButton>("okButton")->isEnabled());

    // Close while waiting: the port refuses from then on.
    direct.sheet->nextPushed();
    ASSERT_TRUE(direct.sheet->isBrowserPanelShown());
    const quint16 secondPort = direct.sheet->signIn().port();
    EXPECT_NE(direct.state(), QString());
    QTest::mouseClick(direct.sheet->closeWebViewButton(), Qt::LeftButton);
    EXPECT_FALSE(getLoopback(secondPort, QStringLiteral("/?state=") + direct.state()).has_value());
    ASSERT_TRUE(direct.waitForPanelClosed());

    // A code over 2 KiB with the right state is refused, and the run ends without tokens.
    direct.sheet->nextPushed();
    const QString longCode = QStringLiteral("4/") + QString(2100, u'x');
    const auto refused = getLoopback(direct.sheet->signIn().port(),
                                     QStringLiteral("/?state=%1&code=%2").arg(direct.state(), longCode));
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->first, 400);
    ASSERT_TRUE(direct.waitForFailure());
    screenshot(direct, QStringLiteral("direct-failed"));
    EXPECT_TRUE(fixture.requestsTo("/o/oauth2/token").isEmpty());
    EXPECT_TRUE(direct.profile->googleAccessToken().isEmpty());
}

TEST(GoogleSignIn, RepliesReadAsJsonAndOnlyWithBothTokens)
{
    SignInFixture fixture;
    Sheet direct;

    // Google's own spacing and the compact form both sign in.
    for (const googlepeer::SwitchKind style : {googlepeer::SwitchKind::GoogleSpacedToken, googlepeer::SwitchKind::CompactToken}) {
        addSwitch(fixture, style);
        direct.sheet->openBrowserWindow();
        ASSERT_TRUE(browse(fixture.openedUrl(), fixture.caFile(), true).reachedListener);
        ASSERT_TRUE(direct.waitForPanelClosed());
        EXPECT_EQ(direct.profile->googleRefreshToken(), "1//rt");
    }
    const QString firstAccess = direct.profile->googleAccessToken();
    ASSERT_FALSE(firstAccess.isEmpty());

    // A second run that fails sends nothing of the first, and the profile keeps the first tokens.
    for (const googlepeer::SwitchKind failure : {googlepeer::SwitchKind::NoRefreshToken, googlepeer::SwitchKind::InvalidGrant,
                                                 googlepeer::SwitchKind::CutBefore, googlepeer::SwitchKind::Garbage}) {
        fixture.peer().clearRequests();
        addSwitch(fixture, failure);
        direct.sheet->openBrowserWindow();
        ASSERT_TRUE(browse(fixture.openedUrl(), fixture.caFile(), true).reachedListener);
        ASSERT_TRUE(direct.waitForFailure()) << int(failure);
        EXPECT_TRUE(direct.sheet->refreshToken().isEmpty());
        EXPECT_TRUE(direct.sheet->accessToken().isEmpty());
        EXPECT_EQ(fixture.peer().requestPaths(), QStringList({"/o/oauth2/auth", "/o/oauth2/approval", "/o/oauth2/token"}));
        EXPECT_EQ(direct.profile->googleAccessToken(), firstAccess);
        QTest::mouseClick(direct.sheet->closeWebViewButton(), Qt::LeftButton);
        ASSERT_TRUE(direct.waitForPanelClosed());
    }

    // A 100 MB reply is cut at the cap and counts as a failure.
    addSwitch(fixture, googlepeer::SwitchKind::Oversize);
    direct.sheet->openBrowserWindow();
    ASSERT_TRUE(browse(fixture.openedUrl(), fixture.caFile(), true).reachedListener);
    ASSERT_TRUE(direct.waitForFailure());
}

TEST(GoogleSignIn, TokenRepliesAndTheFormAsWritten)
{
    using Tokens = std::optional<GoogleBrowserSignIn::Tokens>;
    const auto read = [](const char *text) { return GoogleBrowserSignIn::tokensOfReply(QByteArray(text)); };
    for (const char *both : {"{\"access_token\" : \"ya29.a\", \"refresh_token\" : \"1//r\"}",
                             "{\n  \"access_token\": \"ya29.a\",\n  \"refresh_token\": \"1//r\"\n}",
                             "{\"access_token\":\"ya29.a\",\"refresh_token\":\"1//r\"}"}) {
        const Tokens tokens = read(both);
        ASSERT_TRUE(tokens.has_value()) << both;
        EXPECT_EQ(tokens->accessToken, "ya29.a");
        EXPECT_EQ(tokens->refreshToken, "1//r");
    }
    for (const char *lacking : {"{\"access_token\": \"ya29.a\"}", "{\"refresh_token\": \"1//r\"}", "[]", "<html>",
                                "{\"access_token\": \"ya\\r\\n29\", \"refresh_token\": \"1//r\"}",
                                "{\"access_token\": 5, \"refresh_token\": \"1//r\"}"})
        EXPECT_FALSE(read(lacking).has_value()) << lacking;

    // A code of Google's alphabet goes as it is; anything else is form-encoded.
    EXPECT_EQ(GoogleBrowserSignIn::tokenRequestBody("4/0Ab_c-d.e", "http://127.0.0.1:5/", "v").toStdString(),
              "code=4/0Ab_c-d.e&client_id=884120357716-hmsyncdesktop.apps.googleusercontent.com"
              "&client_secret=Qw7TzRkLm2VbXa9PfHsN4cJe&redirect_uri=http://127.0.0.1:5/"
              "&grant_type=authorization_code&code_verifier=v");
    EXPECT_TRUE(GoogleBrowserSignIn::tokenRequestBody("4/a&grant_type=x+y z", "r", "v")
                    .startsWith("code=4/a%26grant_type%3Dx%2By%20z&client_id="));
    EXPECT_EQ(GoogleBrowserSignIn::challengeOf("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(GoogleSignIn, NoBrowserShowsTheAddressToCopy)
{
    SignInFixture fixture;
    fixture.setBrowserAvailable(false);
    Sheet direct;
    direct.sheet->showPanel();
    ASSERT_TRUE(direct.sheet->isBrowserPanelShown());
    EXPECT_TRUE(direct.sheet->addressField()->isVisible());
    EXPECT_EQ(direct.sheet->addressField()->text(), fixture.openedUrl().toString(QUrl::FullyEncoded));
    screenshot(direct, QStringLiteral("direct-no-browser"));
    // The address works when pasted into a browser by hand.
    ASSERT_TRUE(browse(QUrl(direct.sheet->addressField()->text()), fixture.caFile(), true).reachedListener);
    ASSERT_TRUE(direct.waitForPanelClosed());
    EXPECT_EQ(direct.profile->googleDirectUsername(), "me@example.com");
}

TEST(GoogleSignIn, OldPlatformVersionsTakeTheSameFlowWithoutAPasswordField)
{
    qputenv("HM_PLATFORM_VERSION", "10.9");
    SignInFixture fixture;
    Sheet direct;
    qunsetenv("HM_PLATFORM_VERSION");
    EXPECT_TRUE(direct.sheet->isOldOSXVersion());
    direct.sheet->showPanel();
    for (const QLineEdit *field : direct.sheet->window()->findChildren<QLineEdit *>())
        EXPECT_NE(field->echoMode(), QLineEdit::Password);
    ASSERT_TRUE(browse(fixture.openedUrl(), fixture.caFile(), true).reachedListener);
    ASSERT_TRUE(direct.waitForPanelClosed());
    EXPECT_EQ(direct.profile->googleRefreshToken(), "1//rt");
    for (const QLineEdit *field : direct.sheet->window()->findChildren<QLineEdit *>())
        EXPECT_NE(field->echoMode(), QLineEdit::Password);
}

TEST(GoogleDirectSheet, StoredAccountShowsWithoutTheBrowserAndKeysReachEveryControl)
{
    SignInFixture fixture;
    Sheet direct;
    direct.profile->setAllGoogleCalendars({QVariantMap{{"id", "a"}, {"name", "A"}},
                                           QVariantMap{{"id", "b"}, {"name", "B"}, {"primary", true}}});
    direct.profile->setGoogleCalendarIdentifiersToSync({"a"});
    direct.profile->setGoogleCalendarIdentifierToWriteTo("gone");
    direct.profile->setGoogleDirectUsername("me@example.com");
    direct.sheet->showPanel();
    EXPECT_FALSE(direct.sheet->isBrowserPanelShown());
    EXPECT_EQ(fixture.openCount(), 0);
    auto *popup = direct.sheet->outlet<QComboBox>("defaultCalendarPopupButton");
    EXPECT_EQ(popup->currentIndex(), 0) << "a default no longer listed shows the first entry";
    EXPECT_EQ(direct.profile->googleCalendarIdentifierToWriteTo(), "gone");
    EXPECT_EQ(direct.sheet->outlet<QTableWidget>("googleCalendarsTable")->item(0, 0)->checkState(), Qt::Checked);

    // Tab walks through every control in order; Escape cancels and stores nothing.
    QWidget *window = direct.sheet->window();
    window->activateWindow();
    direct.sheet->outlet<QPushButton>("nextButton")->setFocus();
    QStringList visited;
    for (int step = 0; step < 5; ++step) {
        QWidget *focused = window->focusWidget();
        ASSERT_NE(focused, nullptr);
        visited << focused->objectName();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    EXPECT_EQ(visited, QStringList({"nextButton", "googleCalendarsTable", "defaultCalendarPopupButton", "cancelButton", "okButton"}));
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_FALSE(direct.sheet->isSheetOpen());
    EXPECT_EQ(direct.profile->googleCalendarIdentifierToWriteTo(), "gone");

    // Return is OK: the choices are stored.
    direct.sheet->showPanel();
    direct.sheet->outlet<QTableWidget>("googleCalendarsTable")->setFocus();
    QTest::keyClick(direct.sheet->window(), Qt::Key_Return);
    EXPECT_FALSE(direct.sheet->isSheetOpen());
    EXPECT_EQ(direct.profile->googleCalendarIdentifierToWriteTo(), "a");
    EXPECT_EQ(direct.profile->googleCalendarIdentifiersToSync(), QStringList({"a"}));
}

TEST(GoogleDirectSheet, TheMainWindowsAutomaticLaunchStartsOneSignIn)
{
    SignInFixture fixture;
    QWidget parent;
    parent.resize(700, 560);
    parent.show();
    // Without a stored list the sheet starts the sign-in itself; the launch's second start is ignored.
    auto fresh = std::make_shared<HMProfile>();
    std::unique_ptr<QObject> first =
        HMAccountSheets::open(HMMainWindowController::AccountSheet::GoogleDirectSignIn, &parent, fresh);
    EXPECT_EQ(fixture.openCount(), 1);
    first.reset();
    // With a stored list: the list shows and the browser opens at once.
    auto stored = std::make_shared<HMProfile>();
    stored->setAllGoogleCalendars({QVariantMap{{"id", "a"}, {"name", "A"}, {"primary", true}}});
    std::unique_ptr<QObject> second =
        HMAccountSheets::open(HMMainWindowController::AccountSheet::GoogleDirectSignIn, &parent, stored);
    EXPECT_EQ(fixture.openCount(), 2);
    auto *sheet = qobject_cast<GoogleDirectWindowController *>(second.get());
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->outlet<QTableWidget>("googleCalendarsTable")->rowCount(), 1);
    EXPECT_TRUE(sheet->isBrowserPanelShown());
    // The plain sheet of a stored list opens no browser; the cloud sheet waits for its button.
    second.reset();
    std::unique_ptr<QObject> plain = HMAccountSheets::open(HMMainWindowController::AccountSheet::GoogleDirect, &parent, stored);
    std::unique_ptr<QObject> cloud = HMAccountSheets::open(HMMainWindowController::AccountSheet::CloudGoogle, &parent, stored);
    EXPECT_EQ(fixture.openCount(), 2);
}
