// A new user sets a profile up from the windows alone and syncs it for real: the first start opens the
// main settings, the user picks a contact manager and a device, fills in the device's own sheet,
// confirms, and synchronizes against the peers as programs; every record then exists once on each
// side, also after a second sync.
#include "MainWindowTestSupport.h"

#include "CloudDriverSupport.h"

#include "ManualStepScheduler.h"
#include "app/HMSyncProgressController.h"
#include "app/stores/HMSyncRegistration.h"
#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/restkit/RKClient.h"
#include "support/CalendarFolderFixture.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"
#include "ui/accounts/HMAccountSheets.h"
#include "ui/accounts/HMQuillnestGoogleWindowController.h"
#include "ui/settings/HMMainSettingsWindowController.h"
#include "ui/settings/HMSettingsWindows.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>

using namespace std::chrono_literals;

namespace {

void pickText(QComboBox &box, const QString &text)
{
    const int index = box.findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    box.setCurrentIndex(index);
    emit box.activated(index);
}

QPushButton *button(QWidget &window, const QString &name)
{
    return window.findChild<QPushButton *>(name);
}

class SettingsToSync : public PhoneSync
{
protected:
    void TearDown() override
    {
        PhoneSync::TearDown();
        HMSyncController::registerTransport(4, nullptr);
        platform::RKClient::setDefaultExtraCACertificatesFile(QString());
        qunsetenv("HM_QUILLNEST_HOST");
        qunsetenv("HM_TLS_CA_FILE");
    }

    // The stores and the cloud transport the application registers at launch, the real settings
    // windows, and the first start with its settings sheet up.
    HMMainSettingsWindowController *launchFirstStart()
    {
        HMSyncRegistration::registerDesktopStores();
        HMSyncRegistration::registerCloudTransport(HMQuillnestTiming{});
        HMSettingsWindows::registerWithMainWindow();
        HMAccountSheets::registerWithMainWindow();
        launchWindow();
        if (HasFatalFailure())
            return nullptr;
        window().setMainSettingsOpener({});
        m_windowClock->advance(250ms);
        return qobject_cast<HMMainSettingsWindowController *>(window().modalController());
    }

    // Clicks Synchronize and answers the sheet's overall text once the run ended.
    QString synchronize()
    {
        // Card stamps are whole seconds: a run within the second of the last one's writes would take
        // them for changes.
        QThread::msleep(1100);
        // The last run's sheet is closed first, as a person closes it.
        const std::shared_ptr<HMSyncProgressController> before = window().syncProgressController();
        if (before && before->isVisible())
            before->okButtonSelected();
        button(*window().window(), QStringLiteral("synchronizeButton"))->click();
        // Each run shows a progress sheet of its own.
        if (!testsupport::waitUntil([&] { return window().syncProgressController() != before; }))
            return QStringLiteral("no progress sheet");
        const std::shared_ptr<HMSyncProgressController> progress = window().syncProgressController();
        if (!testsupport::waitUntil([&] { return !window().didStartSync() && !GlobalVariables::getIsSynchronizing(); }, 60s))
            return QStringLiteral("still running: ") + progress->overallText();
        return progress->overallText() + u'|' + progress->stepText();
    }

    void writeCard(const QString &uid, const QString &first, const QString &last) const
    {
        const QString folder = m_home->dataFolder() + QStringLiteral("/Contacts");
        ASSERT_TRUE(QDir().mkpath(folder));
        QFile file(folder + u'/' + uid + QStringLiteral(".vcf"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%1\r\nN:%3;%2;;;\r\nFN:%2 %3\r\nEND:VCARD\r\n")
                       .arg(uid, first, last)
                       .toUtf8());
    }

    QString khardList() const
    {
        const QString config = m_home->path() + QStringLiteral("/khard.conf");
        QFile file(config);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[addressbooks]\n[[desktop]]\npath = %1/Contacts\n").arg(m_home->dataFolder()).toUtf8());
        file.close();
        return eventkittest::runTool(QStringLiteral("khard"), {QStringLiteral("-c"), config, QStringLiteral("list"),
                                                               QStringLiteral("--parsable")});
    }
};

// "Mac Apps" and "Google via Quillnest": the cloud account sheet takes the cloud user name and
// password, and the sync goes through the cloud peer.
TEST_F(SettingsToSync, GoogleViaQuillnestFromTheWindowsSyncsThroughTheCloudOnce)
{
    QTemporaryDir peerFolder;
    PeerProcess cloud(peerFolder.path());
    ASSERT_GT(cloud.httpsPort, 0);
    qputenv("HM_QUILLNEST_HOST", QStringLiteral("127.0.0.1:%1").arg(cloud.httpsPort).toLatin1());
    qputenv("HM_TLS_CA_FILE", cloud.caFile.toLocal8Bit());
    cloud.putRecords(QStringLiteral("Contacts"),
                     {QJsonObject{{"Id", "web-1"}, {"First", "Web"}, {"Last", "Ada"}, {"Email1", "ada@example.org"}},
                      QJsonObject{{"Id", "web-2"}, {"First", "Web"}, {"Last", "Grace"}, {"Email1", "grace@example.org"}}});
    writeCard(QStringLiteral("desk-1"), QStringLiteral("Desk"), QStringLiteral("Alan"));
    writeCard(QStringLiteral("desk-2"), QStringLiteral("Desk"), QStringLiteral("Edsger"));

    HMMainSettingsWindowController *const settings = launchFirstStart();
    ASSERT_NE(settings, nullptr) << "the first start opened no settings";
    QWidget &sheet = *settings->window();
    pickText(*sheet.findChild<QComboBox *>(QStringLiteral("contactManagerComboBox")), QStringLiteral("Mac Apps"));
    pickText(*sheet.findChild<QComboBox *>(QStringLiteral("deviceComboBox")), QStringLiteral("Google via Quillnest"));
    button(sheet, QStringLiteral("deviceSettingsButton"))->click();
    auto *const account = qobject_cast<HMQuillnestGoogleWindowController *>(settings->modalController());
    ASSERT_NE(account, nullptr) << "the device settings opened no cloud account sheet";
    QTest::keyClicks(account->window()->findChild<QLineEdit *>(QStringLiteral("userNameField")), QStringLiteral("u@x.com"));
    QTest::keyClicks(account->window()->findChild<QLineEdit *>(QStringLiteral("passwordField")), QStringLiteral("secret"));
    button(*account->window(), QStringLiteral("okButton"))->click();
    button(sheet, QStringLiteral("okButton"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        platform::DispatchQueue::runMainQueueUntilEmpty();
        return !window().hasOpenSheet();
    })) << "the window did not come back after the settings";

    HMProfileManager manager(*m_defaults);
    const auto stored = manager.loadProfiles();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 1);
    const HMProfile &saved = *stored->front();
    EXPECT_EQ(saved.contactManager(), HMContactManager::Apple);
    EXPECT_EQ(saved.deviceTypeName(), QStringLiteral("google_devicetype"));
    EXPECT_EQ(saved.syncMethod(), HMSyncMethod::Quillnest);
    EXPECT_EQ(saved.syncMethodName(), QStringLiteral("quill_nest_sync_method"));
    EXPECT_EQ(saved.hhUserId(), QStringLiteral("u@x.com"));
    EXPECT_EQ(saved.quillnestPassword(), QStringLiteral("secret"));

    const QString first = synchronize();
    EXPECT_TRUE(first.startsWith(QStringLiteral("Sync Complete"))) << first.toStdString();
    const QStringList everyone{"Desk Alan", "Desk Edsger", "Web Ada", "Web Grace"};
    EXPECT_EQ(cloud.liveNames(QStringLiteral("Contacts")), everyone);
    const QString listed = khardList();
    for (const char *name : {"Web Ada", "Web Grace", "Desk Alan", "Desk Edsger"})
        EXPECT_EQ(listed.count(QLatin1String(name)), 1) << name << "\n" << listed.toStdString();

    // A second sync with nothing new sends no record and doubles nothing.
    cloud.control("/peer/clear-requests");
    const QString second = synchronize();
    EXPECT_TRUE(second.startsWith(QStringLiteral("Sync Complete"))) << second.toStdString();
    EXPECT_EQ(cloud.liveNames(QStringLiteral("Contacts")), everyone);
    EXPECT_EQ(khardList().count(QStringLiteral("Web Ada")), 1);
    EXPECT_TRUE(cloud.requestPaths().contains(QStringLiteral("/v1/login.php"))) << "the second sync never reached the cloud";
    for (const QJsonObject &request : cloud.requests()) {
        if (request.value("path").toString() == QLatin1String("/v1/update.php"))
            ADD_FAILURE() << "the quiet sync sent " << request.value("body").toString().toStdString();
    }
}

} // namespace
