// A new user sets a profile up from the windows alone: the first start opens the main settings, the
// user picks the Mac apps and a phone over Wi-Fi, pairs it in the device's own sheet when the phone
// announces itself, confirms, and synchronizes; the phone's contacts land in the vCard folder.
#include "MainWindowTestSupport.h"

#include "Announcement.h"

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "support/CalendarFolderFixture.h"
#include "ManualStepScheduler.h"
#include "foundation/GlobalVariables.h"
#include "phonelink/HMWiFiSettingsWindowController.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/DispatchQueue.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "ui/accounts/HMAccountSheets.h"
#include "ui/settings/HMMainSettingsWindowController.h"
#include "ui/settings/HMSettingsWindows.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QPushButton>

using namespace std::chrono_literals;

namespace {

TEST_F(PhoneSync, NewUserSetsUpAPhoneFromTheWindowsAloneAndSyncs)
{
    ASSERT_NO_FATAL_FAILURE(startPhone());
    useDesktopStores();
    HMSettingsWindows::registerWithMainWindow();
    HMAccountSheets::registerWithMainWindow();
    ASSERT_NO_FATAL_FAILURE(launchWindow());
    // The real settings windows open, not the count the other tests keep.
    window().setMainSettingsOpener({});
    m_windowClock->advance(250ms);
    auto *const settings = qobject_cast<HMMainSettingsWindowController *>(window().modalController());
    ASSERT_NE(settings, nullptr) << "the first start opened no settings";
    QWidget &sheet = *settings->window();
    pickText(*sheet.findChild<QComboBox *>(QStringLiteral("contactManagerComboBox")), QStringLiteral("Mac Apps"));
    pickText(*sheet.findChild<QComboBox *>(QStringLiteral("deviceComboBox")), QStringLiteral("Android via WiFi"));
    button(sheet, QStringLiteral("deviceSettingsButton"))->click();
    auto *const pairing = qobject_cast<HMWiFiSettingsWindowController *>(settings->modalController());
    ASSERT_NE(pairing, nullptr) << "the device settings opened no pairing sheet";
    EXPECT_EQ(pairing->sheetParent(), &sheet);

    // The instructions, then the question about the announced phone, both confirmed.
    m_alerts->appendReturnCode(platform::NSAlertFirstButtonReturn);
    m_alerts->appendReturnCode(platform::NSAlertFirstButtonReturn);
    pairing->setListenPort(0);
    pairing->pairDeviceButton()->click();
    ASSERT_TRUE(pairing->udpSocket());
    QString problem;
    ASSERT_TRUE(phonepeer::sendAnnouncement(m_peer->deviceId(), QStringLiteral("127.0.0.1"),
                                            pairing->udpSocket()->localPort_IPv4(), problem))
        << problem.toStdString();
    const std::shared_ptr<HMProfile> profile = window().currentProfile();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        platform::DispatchQueue::runMainQueueUntilEmpty();
        return profile->hhPassword() == m_peer->deviceId();
    })) << "the phone's announcement paired nothing";
    pairing->okPushed();
    button(sheet, QStringLiteral("okButton"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        platform::DispatchQueue::runMainQueueUntilEmpty();
        return !window().hasOpenSheet() && window().isListening();
    })) << "the window did not come back after the settings";

    HMProfileManager manager(*m_defaults);
    const auto stored = manager.loadProfiles();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 1);
    const HMProfile &saved = *stored->front();
    EXPECT_EQ(saved.contactManager(), HMContactManager::Apple);
    EXPECT_EQ(saved.deviceTypeName(), QStringLiteral("android"));
    EXPECT_EQ(saved.syncMethod(), HMSyncMethod::WiFi);
    EXPECT_EQ(saved.syncMethodName(), QStringLiteral("wifi"));
    EXPECT_EQ(saved.hhPassword(), m_peer->deviceId());

    window().currentProfile()->setContactSyncEnabled(true);
    button(*window().window(), QStringLiteral("synchronizeButton"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().syncProgressController() != nullptr; }));
    const std::shared_ptr<HMSyncProgressController> progress = window().syncProgressController();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !window().didStartSync(); }, 30s))
        << "the sheet reads " << progress->overallText().toStdString();
    EXPECT_EQ(progress->overallText(), QStringLiteral("Sync Complete")) << progress->stepText().toStdString();
    const QString config = m_home->path() + QStringLiteral("/khard.conf");
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[addressbooks]\n[[desktop]]\npath = %1/Contacts\n").arg(m_home->dataFolder()).toUtf8());
    file.close();
    const QString contacts = eventkittest::runTool(QStringLiteral("khard"), {QStringLiteral("-c"), config, QStringLiteral("list"),
                                                                             QStringLiteral("--parsable")});
    EXPECT_TRUE(contacts.contains(QStringLiteral("Ada Lovelace"))) << contacts.toStdString();
    EXPECT_TRUE(contacts.contains(QStringLiteral("Charles Babbage"))) << contacts.toStdString();
}

} // namespace
