#include "MainWindowTestSupport.h"

#include "Announcement.h"
#include "ManualStepScheduler.h"
#include "MemoryDataSource.h"
#include "PhonePeer.h"
#include "app/stores/HMSyncRegistration.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "phonelink/HMWiFiSync.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMDataConfigurationSource.h"
#include "foundation/GlobalVariables.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sync/HMSyncController.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

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

std::optional<QStringList> FakeOutlook::runScript(const QString &source)
{
    scripts.append(source);
    for (auto entry = folders.cbegin(); entry != folders.cend(); ++entry) {
        if (source.contains(QStringLiteral("every %1\n").arg(entry.key())))
            return entry.value();
    }
    return std::nullopt;
}

void MainWindowTest::SetUp()
{
    LaunchedShell::SetUp();
    m_windowClock = std::make_shared<ManualStepScheduler>();
    m_sheetClock = std::make_shared<ManualStepScheduler>();
    m_outlook = std::make_shared<FakeOutlook>();
    // The calendar store's folder exists, as after the first sync: access is decided, and
    // Synchronize starts at once without asking.
    ASSERT_TRUE(QDir().mkpath(m_home->dataFolder() + QStringLiteral("/Calendars")));
}

void MainWindowTest::TearDown()
{
    // A run a test started ends before the next test may start one.
    // The manager marks a manual start as running before the run itself begins.
    EXPECT_TRUE(platform::DispatchQueue::runMainQueueUntil(
        [] { return !GlobalVariables::getIsSynchronizing() && !HMSyncController::getIsSynchronizing(); }, 30s))
        << "a sync was still running";
    GlobalVariables::setCurrentSyncProgressController(nullptr);
    GlobalVariables::setLastSyncEndDate(QDateTime());
    GlobalVariables::setIsGoogleDirect(false);
    LaunchedShell::TearDown();
}

void MainWindowTest::launchWindow()
{
    // The delegate is made by launch(); the preparer must be in place before it shows the window.
    const auto windowClock = m_windowClock;
    const auto sheetClock = m_sheetClock;
    const auto outlook = m_outlook;
    int *const openings = &m_settingsOpenings;
    const auto preparer = [windowClock, sheetClock, outlook, openings](HMMainWindowController &controller) {
        controller.setStepScheduler(windowClock->function());
        controller.setListenerPort(0);
        controller.setOutlookAccess(outlook);
        controller.setMainSettingsOpener([openings] { ++*openings; });
        controller.setProgressSheetPreparer(
            [sheetClock](HMSyncProgressController &sheet) { sheet.setStepScheduler(sheetClock->function()); });
    };
    m_beforeLaunch = [preparer](HMAppDelegate &delegate) { delegate.setMainWindowPreparer(preparer); };
    launch();
    ASSERT_TRUE(window().isListening()) << "the main window's listener did not open";
}

std::shared_ptr<HMProfile> MainWindowTest::saveWindowProfile(const QString &name,
                                                             const std::function<void(HMProfile &)> &edit)
{
    HMProfileManager manager(*m_defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setName(name);
    edit(*profile);
    EXPECT_TRUE(manager.saveProfile(*profile));
    return profile;
}

void MainWindowTest::sendDatagram(const QByteArray &payload, const char *sender) const
{
    const int socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socketFd, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ASSERT_EQ(inet_pton(AF_INET, sender, &from.sin_addr), 1) << sender;
    ASSERT_EQ(bind(socketFd, reinterpret_cast<const sockaddr *>(&from), sizeof from), 0) << sender;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(window().listenerLocalPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const ssize_t sent = sendto(socketFd, payload.constData(), size_t(payload.size()), 0,
                                reinterpret_cast<const sockaddr *>(&address), sizeof address);
    close(socketFd);
    ASSERT_EQ(sent, payload.size());
}

QString MainWindowTest::labelText(const QString &objectName) const
{
    const QLabel *const label = window().outlet<QLabel>(objectName);
    return label != nullptr ? label->text() : QStringLiteral("<no label %1>").arg(objectName);
}

QString MainWindowTest::saveWindowWithSheet(const QString &name) const
{
    QImage picture = window().window()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    if (const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController()) {
        const QImage sheetPicture = sheet->window()->grab().toImage();
        QPainter painter(&picture);
        painter.fillRect(picture.rect(), QColor(0, 0, 0, 40));
        const int left = (picture.width() - sheetPicture.width()) / 2;
        painter.drawImage(left, 0, sheetPicture);
        painter.setPen(Qt::darkGray);
        painter.drawRect(left, 0, sheetPicture.width() - 1, sheetPicture.height() - 1);
    }
    const QString folder = testsupport::binaryDir() + QStringLiteral("/screenshots/app");
    QDir().mkpath(folder);
    const QString path = folder + u'/' + name + QStringLiteral(".png");
    EXPECT_TRUE(picture.save(path)) << path.toStdString();
    return path;
}

namespace {

const QStringList kDataSourceClasses = {QStringLiteral("HMContactData"), QStringLiteral("HMCalendarData"),
                                        QStringLiteral("HMTaskData"), QStringLiteral("HMMemoData")};

} // namespace

void PhoneSync::TearDown()
{
    if (m_peer)
        m_peer->stop();
    HMSyncController::registerTransport(1, nullptr);
    HMSyncController::registerTransport(2, nullptr);
    for (const QString &name : kDataSourceClasses)
        HMDataConfigurationSource::registerDataSourceClass(name, nullptr);
    HMTaskEventKitHelper::setEventCalendarIdentifiersToSync({});
    HMTaskEventKitHelper::setTaskCalendarIdentifiersToSync({});
    platform::UserDefaults::standardUserDefaults().removeObjectForKey(platform::EKEventStore::kCalendarsFolderKey);
    MainWindowTest::TearDown();
}

void PhoneSync::startPhone(const QList<phonepeer::Fault> &faults)
{
    const QString data = m_home->path() + QStringLiteral("/phone.json");
    ASSERT_TRUE(QFile::copy(testsupport::sourceDir() + QStringLiteral("/tools/hm-sync/sample-phone.json"), data));
    phonepeer::PhonePeer::Options options;
    options.port = 0;
    options.dataFile = data;
    options.deviceId = QStringLiteral("QP-PHONE-7");
    options.faults = faults;
    m_peer = std::make_unique<phonepeer::PhonePeer>(options);
    QString problem;
    ASSERT_TRUE(m_peer->start(problem)) << problem.toStdString();
    HMWiFiSync::Timing timing;
    timing.logonPause = 0ms;
    timing.connectionTryWindow = 400ms;
    HMWiFiSync::registerTransport(m_peer->port(), timing);
    m_store = std::make_shared<hmsync::MemoryStore>();
    hmsync::MemoryDataSource::registerForAllConduits(m_store);
}

void PhoneSync::useDesktopStores()
{
    HMSyncRegistration::registerPhoneTransports();
    HMSyncRegistration::registerDesktopStores();
    // The launch registration aims Wi-Fi at the phone's own port; here the peer listens elsewhere.
    HMWiFiSync::Timing timing;
    timing.logonPause = 0ms;
    HMWiFiSync::registerTransport(m_peer->port(), timing);
}

void PhoneSync::pairedProfile(HMProfile &profile) const
{
    profile.setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile.setContactManager(HMContactManager::Apple);
    profile.setDeviceTypeName(QStringLiteral("android"));
    profile.setSyncMethodName(QStringLiteral("wifi"));
    profile.setHhPassword(m_peer ? m_peer->deviceId() : QStringLiteral("12345"));
    profile.setHhIpAddress(QStringLiteral("127.0.0.1"));
    profile.setContactSyncEnabled(true);
    profile.setCalendarSyncEnabled(true);
    profile.setTaskSyncEnabled(true);
    profile.setEventCalendarIdentifiersToSync({QStringLiteral("work-calendar")});
    profile.setTaskCalendarIdentifiersToSync({QStringLiteral("errands")});
}

void PhoneSync::announce()
{
    QString problem;
    ASSERT_TRUE(phonepeer::sendAnnouncement(m_peer->deviceId(), QStringLiteral("127.0.0.1"),
                                            window().listenerLocalPort(), problem))
        << problem.toStdString();
}

void PhoneSync::launchPairedAndAnnounce()
{
    saveWindowProfile(QStringLiteral("Phone"), [this](HMProfile &profile) { pairedProfile(profile); });
    launchWindow();
    announce();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().syncProgressController() != nullptr; }))
        << "awaited the progress sheet";
}

qsizetype PhoneSync::logonCount() const
{
    return m_peer->requestLog().filter(QStringLiteral("/hmx_logon")).size();
}
