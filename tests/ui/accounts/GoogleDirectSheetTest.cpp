// The Google direct sheet's sign-in, end to end: the browser played by a plain HTTP client on the
// address the workspace was given, the Google peer answering over verified HTTPS.
#include "LogCapture.h"
#include "SignInTestSupport.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Fade.h"
#include "platform/appkit/Screenshot.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "ui/accounts/GoogleDirectWindowController.h"

#include <QComboBox>
#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

QString screenshotFolder()
{
    return accountScreenshotFolder();
}

void screenshot(platform::WindowController &sheet, const QString &name)
{
    const platform::Result<QString> saved = platform::saveScreenshot(*sheet.window(), screenshotFolder(), name);
    EXPECT_TRUE(saved.ok());
}

// The sheet on a parent window, with a new profile of its own manager (a temporary home).
struct DirectSheet
{
    DirectSheet()
    {
        parent.resize(700, 560);
        parent.show();
        profile = manager.newProfile();
        profile->setSyncMethodName(QStringLiteral("google_direct_sync_method"));
        sheet = std::make_unique<GoogleDirectWindowController>();
        sheet->setParentWindow(&parent);
        sheet->setProfile(profile);
        sheet->setProfileManager(managerHandle);
    }
    // Waits for the panel to fade out after the run.
    bool waitForPanelClosed()
    {
        return testsupport::waitUntil([&] { return !sheet->isBrowserPanelShown() && !sheet->isHandingOver(); });
    }

    QWidget parent;
    platform::UserDefaults defaults;
    HMProfileManager manager{defaults};
    std::shared_ptr<HMProfileManager> managerHandle{std::shared_ptr<HMProfileManager>(), &manager};
    std::shared_ptr<HMProfile> profile;
    std::unique_ptr<GoogleDirectWindowController> sheet;
};

// The sheet's controls by object name.
struct DirectControls
{
    explicit DirectControls(GoogleDirectWindowController &sheet)
        : googleUsernameField(sheet.outlet<QLabel>("googleUsernameField")),
          googleCalendarsTable(sheet.outlet<QTableWidget>("googleCalendarsTable")),
          defaultCalendarPopupButton(sheet.outlet<QComboBox>("defaultCalendarPopupButton")),
          okButton(sheet.outlet<QPushButton>("okButton")), cancelButton(sheet.outlet<QPushButton>("cancelButton")),
          nextButton(sheet.outlet<QPushButton>("nextButton"))
    {
    }
    QLabel *googleUsernameField;
    QTableWidget *googleCalendarsTable;
    QComboBox *defaultCalendarPopupButton;
    QPushButton *okButton;
    QPushButton *cancelButton;
    QPushButton *nextButton;
};

QString queryValue(const QUrl &url, const QString &key)
{
    return QUrlQuery(url).queryItemValue(key, QUrl::FullyDecoded);
}

QString settingsFileIn(const QString &folder)
{
    QDirIterator files(folder, {QStringLiteral("*.settings")}, QDir::Files, QDirIterator::Subdirectories);
    return files.hasNext() ? files.next() : QString();
}

} // namespace

TEST(GoogleDirectSheet, SignsInThroughTheBrowserAndSavesTokensAccountAndCalendars)
{
    SignInFixture fixture;
    DirectSheet direct;
    LogCapture log(LOG_LEVEL_VERBOSE);
    direct.sheet->showPanel();
    ASSERT_TRUE(direct.sheet->isBrowserPanelShown());
    ASSERT_EQ(fixture.openCount(), 1);
    screenshot(*direct.sheet, QStringLiteral("direct-waiting"));

    // The authorization address: the query in its order, a loopback redirect, S256 and a fresh state.
    const QUrl address = fixture.openedUrl();
    const quint16 port = direct.sheet->signIn().port();
    EXPECT_EQ(address.path(), "/o/oauth2/auth");
    const QString expectedQuery =
        QStringLiteral("response_type=code&client_id=884120357716-hmsyncdesktop.apps.googleusercontent.com"
                       "&redirect_uri=http%3A%2F%2F127.0.0.1%3A") + QString::number(port) +
        QStringLiteral("%2F&scope=https%3A%2F%2Fwww.google.com%2Fm8%2Ffeeds%2F"
                       "%20https%3A%2F%2Fwww.google.com%2Fcalendar%2Ffeeds%2F%20https%3A%2F%2Fwww.googleapis.com%2Fauth"
                       "%2Ftasks%20https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fcalendar%20https%3A%2F%2Fwww.googleapis.com"
                       "%2Fauth%2Fuserinfo.email%20https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fuserinfo.profile&state=") +
        queryValue(address, "state") + QStringLiteral("&access_type=offline&code_challenge=") +
        queryValue(address, "code_challenge") +
        QStringLiteral("&code_challenge_method=S256&prompt=select_account%20consent");
    EXPECT_EQ(address.query(QUrl::FullyEncoded).toStdString(), expectedQuery.toStdString());
    EXPECT_EQ(queryValue(address, "state").size(), 22);
    EXPECT_EQ(queryValue(address, "code_challenge").size(), 43);

    const BrowserVisit visit = browse(address, fixture.caFile(), true);
    ASSERT_TRUE(visit.reachedListener) << visit.redirectTarget.toStdString();
    EXPECT_EQ(visit.listenerStatus, 200);
    EXPECT_TRUE(visit.listenerPage.contains("return to Harrowmere"));
    ASSERT_TRUE(direct.waitForPanelClosed());

    // The token request: the form in its order, the code the browser carried, the verifier whose
    // S256 is the challenge the address named.
    const QList<googlepeer::ReceivedRequest> tokenRequests = fixture.requestsTo(QStringLiteral("/o/oauth2/token"));
    ASSERT_EQ(tokenRequests.size(), 1);
    const QString code = QUrlQuery(QUrl(visit.redirectTarget)).queryItemValue("code", QUrl::FullyDecoded);
    const QByteArray body = tokenRequests.first().body;
    const QByteArray verifier = body.mid(body.indexOf("&code_verifier=") + 15);
    EXPECT_EQ(GoogleBrowserSignIn::challengeOf(QString::fromLatin1(verifier)), queryValue(address, "code_challenge"));
    EXPECT_EQ(body.toStdString(), ("code=" + code.toUtf8() +
                                   "&client_id=884120357716-hmsyncdesktop.apps.googleusercontent.com"
                                   "&client_secret=Qw7TzRkLm2VbXa9PfHsN4cJe&redirect_uri=http://127.0.0.1:" +
                                   QByteArray::number(port) + "/&grant_type=authorization_code&code_verifier=" + verifier)
                                      .toStdString());
    // The port closed with the run.
    EXPECT_FALSE(getLoopback(port, QStringLiteral("/?state=x&code=y")).has_value());

    // The hand-over: primary calendar ticked and default, account shown.
    const DirectControls ui(*direct.sheet);
    EXPECT_EQ(ui.googleUsernameField->text(), "me@example.com");
    ASSERT_EQ(ui.googleCalendarsTable->rowCount(), 4); // the peer adds Google's holidays
    EXPECT_EQ(ui.googleCalendarsTable->item(0, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(ui.googleCalendarsTable->item(1, 0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(ui.defaultCalendarPopupButton->currentText(), "Me");
    EXPECT_TRUE(ui.okButton->isEnabled());
    screenshot(*direct.sheet, QStringLiteral("direct-signed-in"));

    // The save queued by the name already holds the tokens; OK adds the choices.
    ui.googleCalendarsTable->item(2, 0)->setCheckState(Qt::Checked);
    ui.defaultCalendarPopupButton->setCurrentIndex(1);
    emit ui.defaultCalendarPopupButton->activated(1);
    EXPECT_EQ(ui.defaultCalendarPopupButton->currentIndex(), 0) << "a read-only calendar is no default";
    ui.defaultCalendarPopupButton->setCurrentIndex(2);
    QTest::mouseClick(ui.okButton, Qt::LeftButton);
    EXPECT_FALSE(direct.sheet->isSheetOpen());

    const QString file = settingsFileIn(fixture.folder());
    ASSERT_FALSE(file.isEmpty());
    EXPECT_EQ(QFileInfo(file).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    HMProfileManager reader(direct.defaults);
    const auto loaded = reader.loadProfiles();
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded->size(), 1);
    const HMProfile &stored = *loaded->first();
    const QStringList accessTokens = fixture.peer()
                                         .dump()
                                         .value("accounts").toObject()
                                         .value("me@example.com").toObject()
                                         .value("accessTokens").toVariant().toStringList();
    ASSERT_FALSE(accessTokens.isEmpty());
    EXPECT_EQ(stored.googleAccessToken(), accessTokens.first());
    EXPECT_EQ(stored.googleRefreshToken(), "1//rt");
    EXPECT_EQ(stored.googleDirectUsername(), "me@example.com");
    EXPECT_EQ(stored.googleCalendarIdentifiersToSync(),
              QStringList({"me@example.com", "work@group.calendar.google.com"}));
    EXPECT_EQ(stored.googleCalendarIdentifierToWriteTo(), "work@group.calendar.google.com");
    EXPECT_EQ(stored.allGoogleCalendars().size(), 4);
    EXPECT_TRUE(stored.googleDirectUserImage().startsWith("\x89PNG"));

    // Nothing secret reached the log.
    const QString logged = log.lines().join(u'\n');
    for (const QString &secret : {code, QString::fromLatin1(verifier), accessTokens.first(), QStringLiteral("1//rt")})
        EXPECT_FALSE(logged.contains(secret)) << secret.toStdString();
}
