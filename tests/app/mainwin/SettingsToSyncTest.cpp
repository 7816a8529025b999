// A new user sets a profile up from the windows alone and syncs it for real: the first start opens the
// main settings, the user picks a contact manager and a device, fills in the device's own sheet,
// confirms, and synchronizes against the peers as programs; every record then exists once on each
// side, also after a second sync.
#include "MainWindowTestSupport.h"

#include "CloudDriverSupport.h"
#include "GooglePeerProcess.h"
#include "OutlookPeerProcess.h"
#include "SignInTestSupport.h"

#include "ManualStepScheduler.h"
#include "app/HMSyncProgressController.h"
#include "app/stores/HMSyncRegistration.h"
#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/restkit/RKClient.h"
#include "support/CalendarFolderFixture.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"
#include "ui/accounts/GoogleDirectWindowController.h"
#include "ui/accounts/HMAccountSheets.h"
#include "ui/accounts/HMQuillnestGoogleWindowController.h"
#include "ui/settings/HMMainSettingsWindowController.h"
#include "ui/settings/HMSettingsWindows.h"

#include <QComboBox>
#include <QHash>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QUrl>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>

using namespace std::chrono_literals;

namespace {

// The Google account's contacts that are not deleted, by family name.
QHash<QString, int> googleFamilyNames(const GooglePeerProcess &google)
{
    QHash<QString, int> names;
    const QJsonObject all = QJsonDocument::fromJson(google.control("/peer/dump"))
                                .object()["accounts"].toObject()[kEmail].toObject()["contacts"].toObject();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it.value().toObject()["deleted"].toBool())
            continue;
        const QString body = it.value().toObject()["body"].toString();
        const qsizetype start = body.indexOf("<gd:familyName>") + 15;
        ++names[body.mid(start, body.indexOf("</gd:familyName>") - start)];
    }
    return names;
}

// Outlook's contacts by last name.
QHash<QString, int> outlookLastNames(const OutlookPeerProcess &outlook)
{
    QHash<QString, int> names;
    for (const QJsonValue &contact : outlook.dump().value("contacts").toArray())
        ++names[contact.toObject()["lastName"].toString()];
    return names;
}

class SettingsToSync : public PhoneSync
{
protected:
    void TearDown() override
    {
        PhoneSync::TearDown();
        HMSyncController::registerTransport(4, nullptr);
        platform::RKClient::setDefaultExtraCACertificatesFile(QString());
        platform::Workspace::sharedWorkspace().setOpener({});
        for (const char *name : {"HM_QUILLNEST_HOST", "HM_TLS_CA_FILE", "HM_GOOGLE_API_HOST", "HM_GOOGLE_CONTACTS_HOST",
                                 "HM_GOOGLE_ACCOUNTS_HOST"})
            qunsetenv(name);
        if (!m_oldHome.isNull())
            qputenv("HOME", m_oldHome);
        if (!m_oldRoot.isNull())
            qputenv("HM_SYSTEM_ROOT", m_oldRoot);
        GlobalVariables::setOutlookApplicationReference(QString());
        GlobalVariables::setIsOutlookSync(false);
    }

    // OK on the settings sheet; once the window is back, the one profile as stored.
    void closeSettings(QWidget &sheet, std::shared_ptr<HMProfile> &stored)
    {
        button(sheet, QStringLiteral("okButton"))->click();
        ASSERT_TRUE(testsupport::waitUntil([&] {
            platform::DispatchQueue::runMainQueueUntilEmpty();
            return !window().hasOpenSheet();
        })) << "the window did not come back after the settings";
        HMProfileManager manager(*m_defaults);
        const auto profiles = manager.loadProfiles();
        ASSERT_TRUE(profiles);
        ASSERT_EQ(profiles->size(), 1);
        stored = profiles->front();
    }

    // The simulated Outlook 2016 with its folders and the contacts, its home as ours for its files.
    void startOutlook(const QJsonArray &contacts)
    {
        m_oldRoot = qgetenv("HM_SYSTEM_ROOT");
        qputenv("HM_SYSTEM_ROOT", m_systemRoot.path().toUtf8());
        OutlookPeerProcess::Options options;
        options.arguments = {QStringLiteral("--version-text"), QStringLiteral("16.20")};
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        ASSERT_TRUE(m_outlook->isReady());
        const auto folder = [](int id, const char *kind, const char *name) {
            return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
        };
        m_outlook->seed({{"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                                folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")}},
                         {"contacts", contacts}});
        m_oldHome = qgetenv("HOME");
        qputenv("HOME", m_outlook->home().toUtf8());
    }

    // The Google peer as a program, its primary calendar, and the workspace's opener recording the
    // address instead of starting a browser.
    void startGoogle()
    {
        m_google = std::make_unique<GooglePeerProcess>(m_googleFolder.path(), QStringLiteral(HM_GOOGLE_PEER_PATH));
        ASSERT_GT(m_google->port, 0);
        m_google->control("/peer/calendar", {{"email", kEmail},
                                             {"calendar", QJsonObject{{"id", kEmail}, {"summary", "Me"}, {"accessRole", "owner"},
                                                                      {"primary", true}, {"timeZone", "UTC"}}}});
        const QByteArray host = QStringLiteral("https://127.0.0.1:%1/").arg(m_google->port).toLatin1();
        for (const char *name : {"HM_GOOGLE_API_HOST", "HM_GOOGLE_CONTACTS_HOST", "HM_GOOGLE_ACCOUNTS_HOST"})
            qputenv(name, host);
        platform::RKClient::setDefaultExtraCACertificatesFile(m_google->caFile);
        platform::Workspace::sharedWorkspace().setOpener([this](platform::Workspace::RequestKind, const QUrl &url) {
            m_openedUrls.append(url);
            return true;
        });
    }

    // A contact added on Google as a person's client adds it.
    void addGoogleContact(const QString &given, const QString &family) const
    {
        const QByteArray entry = googleContactEntry(given, family);
        httplib::SSLClient client("127.0.0.1", m_google->port);
        client.set_ca_cert_path(m_google->caFile.toLocal8Bit().constData());
        const std::string path = QStringLiteral("/peer/contact?email=%1&action=add")
                                     .arg(QString::fromLatin1(QUrl::toPercentEncoding(kEmail)))
                                     .toStdString();
        const auto reply = client.Post(path, entry.toStdString(), "application/atom+xml");
        ASSERT_TRUE(reply && reply->status == 200);
    }

    QTemporaryDir m_systemRoot;
    QTemporaryDir m_googleFolder;
    QByteArray m_oldHome;
    QByteArray m_oldRoot;
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    std::unique_ptr<GooglePeerProcess> m_google;
    QList<QUrl> m_openedUrls;

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
        // Outlook as the application finds it, when a test started the simulated one.
        if (m_outlook)
            window().setOutlookAccess(window().makeOutlookDetection());
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
        const auto ended = [&] {
            const QString overall = progress->overallText();
            return (overall == QLatin1String("Sync Complete") || overall.startsWith(QLatin1String("Sync did not finish")))
                   && !window().didStartSync() && !GlobalVariables::getIsSynchronizing();
        };
        if (!testsupport::waitUntil(ended, 60s))
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
    std::shared_ptr<HMProfile> stored;
    ASSERT_NO_FATAL_FAILURE(closeSettings(sheet, stored));
    const HMProfile &saved = *stored;
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

// "Microsoft Outlook 2016" and "Google": the Google direct sheet signs in through the test's browser,
// and a Google direct sync runs between the simulated Outlook and the Google peer.
TEST_F(SettingsToSync, Outlook2016WithGoogleDirectFromTheWindowsSyncsEveryContactOnce)
{
    const auto outlookContact = [](int id, const char *first, const char *last) {
        return QJsonObject{{"id", id}, {"folder", 1}, {"firstName", QLatin1String(first)}, {"lastName", QLatin1String(last)},
                           {"created", "2026-01-01T00:00:00Z"}, {"modified", "2026-01-02T00:00:00Z"}};
    };
    ASSERT_NO_FATAL_FAILURE(startOutlook({outlookContact(11, "Grace", "Hopper"), outlookContact(12, "Alan", "Turing")}));
    ASSERT_NO_FATAL_FAILURE(startGoogle());
    ASSERT_NO_FATAL_FAILURE(addGoogleContact(QStringLiteral("Ada"), QStringLiteral("Lovelace")));

    HMMainSettingsWindowController *const settings = launchFirstStart();
    ASSERT_NE(settings, nullptr) << "the first start opened no settings";
    QWidget &sheet = *settings->window();
    pickText(*sheet.findChild<QComboBox *>(QStringLiteral("contactManagerComboBox")), QStringLiteral("Microsoft Outlook 2016"));
    pickText(*sheet.findChild<QComboBox *>(QStringLiteral("deviceComboBox")), QStringLiteral("Google"));
    button(sheet, QStringLiteral("deviceSettingsButton"))->click();
    auto *const direct = qobject_cast<GoogleDirectWindowController *>(settings->modalController());
    ASSERT_NE(direct, nullptr) << "the device settings opened no Google sheet";
    ASSERT_TRUE(testsupport::waitUntil([&] { return !m_openedUrls.isEmpty(); }, 20s)) << "no browser was asked";
    ASSERT_EQ(m_openedUrls.size(), 1);
    const BrowserVisit visit = browse(m_openedUrls.first(), m_google->caFile, true);
    ASSERT_TRUE(visit.reachedListener) << visit.redirectTarget.toStdString();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !direct->isBrowserPanelShown() && !direct->isHandingOver(); }, 20s));
    button(*direct->window(), QStringLiteral("okButton"))->click();
    std::shared_ptr<HMProfile> stored;
    ASSERT_NO_FATAL_FAILURE(closeSettings(sheet, stored));
    const HMProfile &saved = *stored;
    EXPECT_EQ(saved.contactManager(), HMContactManager::Outlook15);
    EXPECT_EQ(saved.contactManagerName(), QStringLiteral("ContactManagerOutlook15"));
    EXPECT_EQ(saved.deviceTypeName(), QStringLiteral("google_devicetype"));
    EXPECT_EQ(saved.syncMethod(), HMSyncMethod::GoogleDirect);
    EXPECT_EQ(saved.googleDirectUsername(), kEmail);
    EXPECT_EQ(saved.googleRefreshToken(), QStringLiteral("1//rt"));
    EXPECT_TRUE(saved.contactSyncEnabled());
    EXPECT_TRUE(saved.taskSyncEnabled());

    const QString first = synchronize();
    EXPECT_TRUE(first.startsWith(QStringLiteral("Sync Complete"))) << first.toStdString();
    const QHash<QString, int> everyone{{"Hopper", 1}, {"Turing", 1}, {"Lovelace", 1}};
    EXPECT_EQ(outlookLastNames(*m_outlook), everyone);
    EXPECT_EQ(googleFamilyNames(*m_google), everyone);

    // A second sync with nothing new doubles nothing on either side.
    const QString second = synchronize();
    EXPECT_TRUE(second.startsWith(QStringLiteral("Sync Complete"))) << second.toStdString();
    EXPECT_EQ(outlookLastNames(*m_outlook), everyone);
    EXPECT_EQ(googleFamilyNames(*m_google), everyone);
}

} // namespace
