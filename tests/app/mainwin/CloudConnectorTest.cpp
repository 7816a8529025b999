// The main window's cloud account side against the cloud peer as a program: the "Check Google
// Connector Status" link, the connector check and its messages (with screenshots), the give-up when
// the service stalls, the application's change poll through the window, and no secret in the logs or
// the support archive afterwards.
#include "MainWindowTestSupport.h"

#include "ManualStepScheduler.h"
#include "app/HMAppDelegate.h"
#include "app/zip/HMFileRevealer.h"
#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Alert.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/restkit/RKClient.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <httplib.h>

#include <QDirIterator>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGraphicsOpacityEffect>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

const QString kUser = QStringLiteral("u@x.com");
const QString kPassword = QStringLiteral("secret");
const QString kLowerDigest = QStringLiteral("5ebe2294ecd0e0f08eab7690d2a6ee69");
const QString kToken = QStringLiteral("1//connector-refresh-token");

// The cloud peer as a program on loopback; controlled over its plain HTTP port.
class CloudPeerProcess final
{
public:
    explicit CloudPeerProcess(const QString &folder)
    {
        m_process.start(QStringLiteral(HM_CLOUD_PEER_PATH),
                        {QStringLiteral("--certificates"), QDir(folder).filePath(QStringLiteral("certificates"))});
        if (!m_process.waitForReadyRead(20000))
            return;
        for (const QString &part : QString::fromUtf8(m_process.readLine()).trimmed().split(u' ')) {
            if (part.startsWith(QLatin1String("https-port=")))
                httpsPort = part.section(u'=', 1).toInt();
            else if (part.startsWith(QLatin1String("http-port=")))
                httpPort = part.section(u'=', 1).toInt();
            else if (part.startsWith(QLatin1String("ca=")))
                caFile = part.section(u'=', 1);
        }
    }
    ~CloudPeerProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    QJsonObject control(const char *path, const QJsonObject &body = {}) const
    {
        httplib::Client client("127.0.0.1", httpPort);
        const auto reply = client.Post(path, QJsonDocument(body).toJson().toStdString(), "application/json");
        return reply ? QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object() : QJsonObject();
    }
    // The "Action" of every account request received.
    QStringList accountActions() const
    {
        QStringList actions;
        for (const QJsonValue &request : control("/peer/requests").value(QStringLiteral("requests")).toArray()) {
            const QJsonObject received = request.toObject();
            if (received.value(QStringLiteral("path")).toString() == QLatin1String("/v1/account.php"))
                actions << QJsonDocument::fromJson(received.value(QStringLiteral("body")).toString().toUtf8())
                               .object()
                               .value(QStringLiteral("Action"))
                               .toString();
        }
        return actions;
    }
    void setGoogleConnector(const QString &lastSync) const
    {
        QJsonArray list;
        if (!lastSync.isEmpty())
            list.append(QJsonObject{{QStringLiteral("Id"), QStringLiteral("7")}, {QStringLiteral("Type"), QStringLiteral("Google")},
                                    {QStringLiteral("Email"), QStringLiteral("a@b.com")}, {QStringLiteral("LastSync"), lastSync}});
        control("/peer/connectors", {{QStringLiteral("Username"), kUser}, {QStringLiteral("Connectors"), list}});
    }

    int httpsPort = 0;
    int httpPort = 0;
    QString caFile;

private:
    QProcess m_process;
};

// Turns the event loop for the time given.
void spinMainLoop(std::chrono::milliseconds duration)
{
    testsupport::waitUntil([] { return false; }, duration);
}

class RecordingRevealer final : public HMFileRevealer
{
public:
    void revealFile(const QString &path) override { revealed.append(path); }
    QStringList revealed;
};

void makeCloudGoogleProfile(HMProfile &profile)
{
    profile.setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
    profile.setContactManager(HMContactManager::Outlook15);
    profile.setDeviceTypeName(QStringLiteral("google_devicetype"));
    profile.setDeviceType(HMDeviceType::Google);
    profile.setSyncMethodName(QStringLiteral("quillnest_sync_method"));
    profile.setSyncMethod(HMSyncMethod::Quillnest);
    profile.setHhUserId(kUser);
    profile.setQuillnestPassword(kPassword);
    profile.setContactSyncEnabled(false);
    profile.setCalendarSyncEnabled(true);
    profile.setTaskSyncEnabled(true);
}

class CloudConnector : public MainWindowTest
{
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        m_peer = std::make_unique<CloudPeerProcess>(m_peerFolder.path());
        ASSERT_GT(m_peer->httpsPort, 0);
        qputenv("HM_QUILLNEST_HOST", QStringLiteral("127.0.0.1:%1").arg(m_peer->httpsPort).toLatin1());
        platform::RKClient::setDefaultExtraCACertificatesFile(m_peer->caFile);
        m_peer->control("/peer/account", {{QStringLiteral("Username"), kUser}, {QStringLiteral("Password"), kPassword}});
        // The alerts show, as a person sees them; the tests read and close them.
        m_alerts.reset();
        platform::Clock::setSource([this] { return m_now; });
    }
    void TearDown() override
    {
        if (m_delegate && window().connectorAlert() != nullptr)
            closeAlert();
        MainWindowTest::TearDown();
        platform::RKClient::setDefaultExtraCACertificatesFile(QString());
        qunsetenv("HM_QUILLNEST_HOST");
        m_peer.reset();
    }

    QPushButton &link() const { return *window().outlet<QPushButton>(QStringLiteral("connectorStatusButton")); }
    bool isSpinning() const { return window().window()->findChild<QProgressBar *>(QStringLiteral("indicator"))->isVisible(); }

    // Waits for the connector check's alert; answers its text.
    QString awaitAlert()
    {
        EXPECT_TRUE(testsupport::waitUntil([&] { return window().connectorAlert() != nullptr; }, 20s))
            << "awaited the connector alert";
        return window().connectorAlert() != nullptr ? window().connectorAlert()->messageText() : QString();
    }
    // Saves the window with the alert over it, then closes the alert and lets the check end.
    void screenshotAndClose(const QString &name)
    {
        ASSERT_NE(window().connectorAlert(), nullptr);
        QImage picture = window().window()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage alert = window().connectorAlert()->messageBox().grab().toImage();
        QPainter painter(&picture);
        painter.fillRect(picture.rect(), QColor(0, 0, 0, 40));
        painter.drawImage((picture.width() - alert.width()) / 2, 0, alert);
        painter.end();
        const QString folder = testsupport::binaryDir() + QStringLiteral("/screenshots/app");
        QDir().mkpath(folder);
        EXPECT_TRUE(picture.save(folder + u'/' + name + QStringLiteral(".png")));
        closeAlert();
    }
    void closeAlert()
    {
        window().connectorAlert()->messageBox().done(0);
        EXPECT_TRUE(testsupport::waitUntil([&] { return window().connectorAlert() == nullptr; }, 5s));
        m_windowClock->advance(HMMainWindowController::kTurnOffCheckingDelay);
    }
    // A click on the link 11 s after the last check; answers the alert's text.
    QString checkAfterSpacing()
    {
        m_now = m_now.addSecs(11);
        link().click();
        return awaitAlert();
    }

    QTemporaryDir m_peerFolder;
    std::unique_ptr<CloudPeerProcess> m_peer;
    QDateTime m_now = QDateTime(QDate(2024, 3, 5), QTime(9, 0), QTimeZone::utc());
};

} // namespace

TEST_F(CloudConnector, TheLinkAppearsOnlyWhenProfilesHoldAContactManagerACloudPasswordAndAGoogleDevice)
{
    saveWindowProfile(QStringLiteral("Cloud"), makeCloudGoogleProfile);
    launchWindow();
    EXPECT_FALSE(link().isVisible());
    m_windowClock->advance(HMMainWindowController::kConnectorButtonDelay);
    EXPECT_TRUE(link().isVisible());
    EXPECT_TRUE(link().isEnabled());
    auto *const effect = static_cast<QGraphicsOpacityEffect *>(link().graphicsEffect());
    ASSERT_TRUE(testsupport::waitUntil([&] { return effect->opacity() >= 1.0; }, 5s)) << "the link did not fade in";
    saveWindowWithSheet(QStringLiteral("connector-link"));

    // The three conditions may be met by different profiles; each missing one hides the link.
    HMProfile &profile = *window().profiles().first();
    struct Row
    {
        const char *name;
        QString contactManagerName;
        QString password;
        QString deviceTypeName;
        bool isShown;
    };
    const Row rows[] = {
        {"all three", QStringLiteral("ContactManagerOutlook15"), kPassword, QStringLiteral("google_devicetype"), true},
        {"no contact manager", QString(), kPassword, QStringLiteral("google_devicetype"), false},
        {"no cloud password", QStringLiteral("ContactManagerOutlook15"), QString(), QStringLiteral("google_devicetype"), false},
        {"no Google device", QStringLiteral("ContactManagerOutlook15"), kPassword, QStringLiteral("quillnest_devicetype"), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        profile.setContactManagerName(row.contactManagerName);
        profile.setQuillnestPassword(row.password);
        profile.setDeviceTypeName(row.deviceTypeName);
        window().addConnectorStatusButtonIfNecessary();
        EXPECT_EQ(link().isVisible(), row.isShown);
        EXPECT_EQ(link().isEnabled(), row.isShown);
    }
}

TEST_F(CloudConnector, AClickShowsTheConnectorsStateAndCredentialErrorsAskNothing)
{
    saveWindowProfile(QStringLiteral("Cloud"), makeCloudGoogleProfile);
    launchWindow();
    m_delegate->turnOnVerboseLog();
    m_windowClock->advance(HMMainWindowController::kConnectorButtonDelay);
    m_peer->setGoogleConnector(QStringLiteral("0000-00-00 00:00:00"));

    link().click();
    EXPECT_TRUE(isSpinning());
    link().click(); // a second click while the first check runs starts nothing
    EXPECT_EQ(awaitAlert().toStdString(), "Connector is active for Google account: a@b.com\nLast Connector Sync: Never");
    EXPECT_FALSE(isSpinning());
    EXPECT_TRUE(window().isCheckingConnectorStatus());
    // The silent credentials check and the connector list go on clients of their own, in either order.
    QStringList actions = m_peer->accountActions();
    actions.sort();
    EXPECT_EQ(actions, QStringList({QStringLiteral("connectors"), QStringLiteral("verify")}));
    EXPECT_EQ(window().profiles().first()->lastGoogleConnectorStatusCheck(), m_now);
    screenshotAndClose(QStringLiteral("connector-never-synced"));
    EXPECT_FALSE(window().isCheckingConnectorStatus());

    m_peer->setGoogleConnector(QStringLiteral("2024-03-04 17:45:09"));
    const QString medium = platform::DateFormatter(platform::DateStyle::Medium, platform::DateStyle::None)
                               .format(QDateTime(QDate(2024, 3, 4), QTime(17, 45, 9), QTimeZone::utc()));
    EXPECT_EQ(checkAfterSpacing().toStdString(), "Connector is active for Google account: a@b.com\nLast Connector Sync: "
                                                     + medium.toStdString() + " 17:45:09");
    screenshotAndClose(QStringLiteral("connector-last-sync"));

    m_peer->setGoogleConnector(QString());
    EXPECT_EQ(checkAfterSpacing().toStdString(), "Google connector is not set up for this Quillnest account.");
    screenshotAndClose(QStringLiteral("connector-not-set-up"));

    // The connector made from the profile: calendar and tasks on, contacts off.
    window().makeNewGoogleConnector(kToken, QStringLiteral("a@b.com"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_peer->accountActions().contains(QStringLiteral("updateConnector")); }, 20s));
    const QJsonArray made = m_peer->control("/peer/connectors", {{QStringLiteral("Username"), kUser}})
                                .value(QStringLiteral("connectors")).toArray();
    ASSERT_EQ(made.size(), 1);
    EXPECT_EQ(made.first().toObject().value(QStringLiteral("Conduits")).toString(), QStringLiteral("DT"));

    // Credential errors: presented without a request.
    HMProfile &profile = *window().profiles().first();
    struct Row
    {
        const char *name;
        QString user;
        QString password;
        const char *message;
    };
    const Row rows[] = {
        {"no password", kUser, QString(), "No Quillnest password."},
        {"no user name", QString(), kPassword, "No Quillnest username."},
        {"no e-mail form", QStringLiteral("@x.com"), kPassword,
         "Invalid Quillnest user name. User name must be formatted as an email address."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        profile.setHhUserId(row.user);
        profile.setQuillnestPassword(row.password);
        const qsizetype asked = m_peer->accountActions().size();
        EXPECT_EQ(checkAfterSpacing().toStdString(), row.message);
        EXPECT_FALSE(isSpinning());
        screenshotAndClose(QStringLiteral("connector-%1").arg(QString::fromLatin1(row.name).replace(u' ', u'-')));
        EXPECT_EQ(m_peer->accountActions().size(), asked);
    }

    // Nothing secret reached the log files or the support archive.
    DDLog::flushLog();
    const auto revealer = std::make_shared<RecordingRevealer>();
    m_delegate->setFileRevealer(revealer);
    m_delegate->makeLogArchive();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !revealer->revealed.isEmpty(); }, 20s)) << "awaited the archive";
    QByteArray everything;
    QDirIterator files(m_home->logFolder(), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly))
            everything += file.readAll();
    }
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), m_home->logFolder() + QStringLiteral("/SupportLogs.zip")});
    ASSERT_TRUE(unzip.waitForFinished(20000));
    everything += unzip.readAllStandardOutput();
    EXPECT_TRUE(everything.contains("checkForGoogleConnector")) << "the log holds no trace of the checks";
    for (const QString &secret : {kPassword, kLowerDigest, kLowerDigest.toUpper(), kToken})
        EXPECT_FALSE(everything.contains(secret.toUtf8())) << secret.toStdString() << " in the logs";
}

TEST_F(CloudConnector, ChecksStayTenSecondsApartAndAStalledServiceEndsInTheGiveUp)
{
    saveWindowProfile(QStringLiteral("Cloud"), makeCloudGoogleProfile);
    launchWindow();
    m_windowClock->advance(HMMainWindowController::kConnectorButtonDelay);
    m_peer->setGoogleConnector(QStringLiteral("0000-00-00 00:00:00"));
    link().click();
    awaitAlert();
    closeAlert();

    // 3 s after the last check a click waits the other 7 s.
    m_now = m_now.addSecs(3);
    link().click();
    EXPECT_TRUE(isSpinning());
    const std::vector<std::chrono::milliseconds> pending = m_windowClock->pendingDelays();
    EXPECT_NE(std::find(pending.begin(), pending.end(), 7000ms), pending.end());
    m_windowClock->advance(6999ms);
    spinMainLoop(200ms);
    EXPECT_EQ(m_peer->accountActions().count(QStringLiteral("connectors")), 1);
    m_windowClock->advance(1ms);
    awaitAlert();
    EXPECT_EQ(m_peer->accountActions().count(QStringLiteral("connectors")), 2);
    closeAlert();

    // The service holds every account request: the window stays responsive, and gives up after 30 s.
    m_peer->control("/peer/switch", {{QStringLiteral("kind"), QStringLiteral("stall")},
                                     {QStringLiteral("path"), QStringLiteral("/v1/account.php")}});
    const auto latencies = [] {
        QList<qint64> samples;
        QElapsedTimer clock;
        for (int i = 0; i < 200; ++i) {
            clock.start();
            bool hasRun = false;
            QTimer::singleShot(0, [&hasRun] { hasRun = true; });
            while (!hasRun)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            samples << clock.nsecsElapsed();
        }
        std::sort(samples.begin(), samples.end());
        return samples.at(197);
    };
    const qint64 idleP99 = latencies();
    m_now = m_now.addSecs(11);
    link().click();
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_peer->accountActions().count(QStringLiteral("connectors")) == 3; }, 20s));
    const qint64 stalledP99 = latencies();
    saveWindowWithSheet(QStringLiteral("connector-checking"));
    std::printf("event-loop latency p99: idle %lld ns, while the service stalls %lld ns\n", idleP99, stalledP99);
    // A window waiting on the stalled service would block for seconds; the bound leaves room for a
    // loaded machine's scheduling.
    EXPECT_LE(stalledP99, std::max<qint64>(3 * idleP99, 50'000'000));
    EXPECT_TRUE(isSpinning());
    m_windowClock->advance(HMMainWindowController::kConnectorAnswerTimeout);
    EXPECT_EQ(awaitAlert().toStdString(), HMMainWindowController::kConnectorNoAnswerMessage);
    EXPECT_FALSE(isSpinning());
    EXPECT_FALSE(window().isCheckingConnectorStatus());
    screenshotAndClose(QStringLiteral("connector-no-answer"));
    m_peer->control("/peer/clear-switches");
    spinMainLoop(300ms);
    EXPECT_EQ(window().connectorAlert(), nullptr) << "a late answer reached the window";
}

TEST_F(CloudConnector, TheApplicationsCloudPollGoesThroughTheWindow)
{
    // A cloud profile whose last automatic sync is a day old: the delegate's check polls the cloud
    // through the main window.
    const QDateTime dayAgo = m_now.addDays(-1);
    saveWindowProfile(QStringLiteral("Cloud"), [dayAgo](HMProfile &profile) {
        makeCloudGoogleProfile(profile);
        profile.setLastOutlookAutosyncDate(dayAgo);
    });
    launchWindow();
    // Outlook has nothing new here, so the check goes on to the cloud's poll.
    m_delegate->setOutlookChangeTest([](const QString &) { return false; });
    GlobalVariables::setQuillnestLastModifiedDictionary({});
    m_delegate->checkForOutlookAutosync();
    EXPECT_EQ(window().profiles().first()->lastQuillnestAutosyncCheck(), m_now);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return !GlobalVariables::getQuillnestLastModifiedDictionary().isEmpty(); }, 20s))
        << "the delegate stored no change dates";
    EXPECT_TRUE(GlobalVariables::getQuillnestLastModifiedDictionary().contains(QStringLiteral("CalendarLastModified")));
    ASSERT_TRUE(testsupport::waitUntil([&] {
        const QJsonArray requests = m_peer->control("/peer/requests").value(QStringLiteral("requests")).toArray();
        return requests.size() == 2 && requests.at(1).toObject().value(QStringLiteral("path")).toString()
                                           == QLatin1String("/v1/logout.php");
    }, 20s)) << "no logout followed the poll";

    // A failed poll posts nothing and starts nothing.
    GlobalVariables::setQuillnestLastModifiedDictionary({});
    m_peer->control("/peer/switch", {{QStringLiteral("kind"), QStringLiteral("html-500")},
                                     {QStringLiteral("path"), QStringLiteral("/v1/login.php")}, {QStringLiteral("times"), 1}});
    window().shouldAutosyncQuillnest();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return m_peer->control("/peer/requests").value(QStringLiteral("requests")).toArray().size() == 3;
    }, 20s));
    spinMainLoop(500ms);
    EXPECT_TRUE(GlobalVariables::getQuillnestLastModifiedDictionary().isEmpty());
    EXPECT_EQ(m_peer->control("/peer/requests").value(QStringLiteral("requests")).toArray().size(), 3);
    EXPECT_FALSE(GlobalVariables::getIsSynchronizing());
}

TEST(ConnectorStatusMessage, ReadsTheGoogleConnectorsOwnEmailAndLastSync)
{
    const std::string never = "Connector is active for Google account: a@b.com\nLast Connector Sync: Never";
    struct Row
    {
        const char *name;
        const char *list;
        std::string message;
    };
    const Row rows[] = {
        {"compact", R"({"Result":0,"Connectors":[{"Id":"1","Type":"Google","Email":"a@b.com","LastSync":"0000-00-00 00:00:00"}]})",
         never},
        {"blanks around the colons", R"({"Connectors": [{"Id": "1", "Type" : "Google", "Email": "a@b.com", "LastSync": "0000"}]})",
         never},
        {"no last sync", R"({"Connectors":[{"Type":"Google","Email":"a@b.com"}]})", never},
        // Another connector's date before the Google one is not the Google connector's.
        {"another connector first", R"({"Connectors":[{"Type":"Outlook","Email":"o@b.com","LastSync":"2020-01-01 00:00:00"},)"
                                    R"({"Type":"Google","Email":"a@b.com","LastSync":"0000-00-00 00:00:00"}]})",
         never},
        {"no Google connector", R"({"Result":0,"Connectors":[{"Type":"Outlook","Email":"a@b.com"}]})",
         "Google connector is not set up for this Quillnest account."},
        {"no JSON at all", "<html>", "Google connector is not set up for this Quillnest account."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HMMainWindowController::connectorStatusMessage(QString::fromUtf8(row.list)).toStdString(), row.message);
    }
}
