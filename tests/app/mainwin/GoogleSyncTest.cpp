// The main window's Google road: Synchronize on a Google-direct profile runs the Google sync against
// the Google peer as a program, with the progress sheet over the window.
#include "GooglePeerProcess.h"
#include "MainWindowTestSupport.h"

#include "app/HMSyncProgressController.h"
#include "foundation/GlobalVariables.h"
#include "platform/restkit/RKClient.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QPushButton>
#include <QTemporaryDir>

using namespace std::chrono_literals;

namespace {

void makeGoogleProfile(HMProfile &profile, const QString &refreshToken)
{
    profile.setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
    profile.setContactManager(HMContactManager::Outlook15);
    profile.setDeviceTypeName(QStringLiteral("google_devicetype"));
    profile.setSyncMethodName(QStringLiteral("direct_sync_method"));
    profile.setSyncMethod(HMSyncMethod::GoogleDirect);
    profile.setGoogleDirectUsername(kEmail);
    profile.setGoogleAccessToken(QStringLiteral("ya29.old"));
    profile.setGoogleRefreshToken(refreshToken);
    profile.setContactSyncEnabled(false);
    profile.setCalendarSyncEnabled(false);
    profile.setTaskSyncEnabled(false);
    profile.setRereadAppleOnNextSync(true);
}

class GoogleMainWindow : public MainWindowTest
{
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        m_peer = std::make_unique<GooglePeerProcess>(m_peerFolder.path(), QStringLiteral(HM_GOOGLE_PEER_PATH));
        ASSERT_GT(m_peer->port, 0);
        qputenv("HM_GOOGLE_API_HOST", QStringLiteral("https://127.0.0.1:%1/").arg(m_peer->port).toLatin1());
        platform::RKClient::setDefaultExtraCACertificatesFile(m_peer->caFile);
        m_outlook->version = QStringLiteral("16.43");
    }
    void TearDown() override
    {
        MainWindowTest::TearDown();
        platform::RKClient::setDefaultExtraCACertificatesFile(QString());
        qunsetenv("HM_GOOGLE_API_HOST");
        m_peer.reset();
    }

    // Clicks Synchronize and waits until the sheet reads the overall text.
    std::shared_ptr<HMSyncProgressController> synchronizeUntil(const QString &overall)
    {
        window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
        const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
        EXPECT_NE(sheet, nullptr);
        if (!sheet)
            return nullptr;
        EXPECT_TRUE(testsupport::waitUntil([&] { return sheet->overallText() == overall; }, 20s))
            << "the sheet reads " << sheet->overallText().toStdString() << " / " << sheet->stepText().toStdString();
        return sheet;
    }

    QTemporaryDir m_peerFolder;
    std::unique_ptr<GooglePeerProcess> m_peer;
};

} // namespace

TEST_F(GoogleMainWindow, SynchronizeRunsTheGoogleSyncAndSavesTheProfile)
{
    saveWindowProfile(QStringLiteral("Google"), [](HMProfile &profile) { makeGoogleProfile(profile, "1//rt"); });
    launchWindow();
    const std::shared_ptr<HMSyncProgressController> sheet = synchronizeUntil(QStringLiteral("Sync Complete"));
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(GlobalVariables::getIsGoogleDirect());
    EXPECT_EQ(m_peer->requestPaths(), QStringList({"/oauth2/v4/token"}));
    EXPECT_EQ(m_defaults->stringForKey(QStringLiteral("SyncMethodSetting")), QStringLiteral("direct"));
    EXPECT_TRUE(alertTexts().isEmpty());
    // The run wrote the profile: its reread flag is gone from the file.
    HMProfileManager manager;
    const auto profiles = manager.loadProfiles();
    ASSERT_TRUE(profiles && profiles->size() == 1);
    EXPECT_FALSE(profiles->first()->rereadAppleOnNextSync());
}

TEST_F(GoogleMainWindow, ARevokedGrantOffersTheReauthorizeButtons)
{
    saveWindowProfile(QStringLiteral("Google"), [](HMProfile &profile) { makeGoogleProfile(profile, "1//revoked"); });
    launchWindow();
    const std::shared_ptr<HMSyncProgressController> sheet = synchronizeUntil(QStringLiteral("Sync did not finish"));
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->stepText(), QStringLiteral("Your Google account is inaccessible.\nClick below to reauthorize "
                                                "access to your Google account."));
    EXPECT_TRUE(testsupport::waitUntil([&] {
        const QPushButton *button = sheet->outlet<QPushButton>(QStringLiteral("reauthorizeButton"));
        return button != nullptr && button->isVisible();
    }, 10s));
}
