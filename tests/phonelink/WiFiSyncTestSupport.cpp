#include "WiFiSyncTestSupport.h"

#include "RestKitTestSupport.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

void RecordingSyncDelegate::note(const QString &ending)
{
    const std::lock_guard lock(m_mutex);
    m_endings.append(ending);
}

void RecordingSyncDelegate::logonCommandReturned(bool wasSuccessful, const QVariantMap &reply)
{
    {
        const std::lock_guard lock(m_mutex);
        m_logonReply = reply;
    }
    note(QStringLiteral("logon:%1").arg(wasSuccessful));
}

void RecordingSyncDelegate::logoffCommandReturned(bool wasSuccessful)
{
    note(QStringLiteral("logoff:%1").arg(wasSuccessful));
}

void RecordingSyncDelegate::purgeCommandReturned(bool wasSuccessful)
{
    note(QStringLiteral("purge:%1").arg(wasSuccessful));
}

void RecordingSyncDelegate::setIdsForNonDeletedWiFiRecords(const QStringList &recordIds, const QString &conduitLetter)
{
    const std::lock_guard lock(m_mutex);
    m_ids = recordIds;
    m_endings.append(QStringLiteral("ids:%1").arg(conduitLetter));
}

void RecordingSyncDelegate::idListCommandReturnedWithDictionaries(const QStringList &deviceIds)
{
    const std::lock_guard lock(m_mutex);
    m_idRows = deviceIds;
}

void RecordingSyncDelegate::idListCommandFinishedSuccessful(bool wasSuccessful)
{
    note(QStringLiteral("idListFinished:%1").arg(wasSuccessful));
}

void RecordingSyncDelegate::listCommandReturnedWithDictionaries(const QList<QVariantMap> &records)
{
    const std::lock_guard lock(m_mutex);
    m_listed += records;
}

void RecordingSyncDelegate::listCommandFinishedSuccessful(bool wasSuccessful)
{
    note(QStringLiteral("listFinished:%1").arg(wasSuccessful));
}

void RecordingSyncDelegate::writeRemainOnCurrentConduit(bool remain)
{
    const std::lock_guard lock(m_mutex);
    m_remainOnList = remain;
}

void RecordingSyncDelegate::writeRemainOnUpdateConduit(bool remain)
{
    const std::lock_guard lock(m_mutex);
    m_remainOnUpdate.append(remain);
}

void RecordingSyncDelegate::updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit)
{
    Q_UNUSED(conduit);
    const std::lock_guard lock(m_mutex);
    m_updateIds.append(ids);
}

void RecordingSyncDelegate::updateCommandReturnedSuccessful(bool wasSuccessful)
{
    note(QStringLiteral("update:%1").arg(wasSuccessful));
}

void RecordingSyncDelegate::updateTempWiFiId(const QString &temporaryId, const QString &permanentId)
{
    note(QStringLiteral("tempId:%1=%2").arg(temporaryId, permanentId));
}

void RecordingSyncDelegate::commandErroredStopProcessing()
{
    note(QStringLiteral("stop"));
}

void RecordingSyncDelegate::commandWasForceCancelled()
{
    note(QStringLiteral("forceCancelled"));
}

void RecordingSyncDelegate::didErrorWithError(quint64 errorCode, const QString &errorMessage)
{
    const std::lock_guard lock(m_mutex);
    m_errors.append(Error{errorCode, errorMessage});
    m_endings.append(QStringLiteral("error:%1").arg(errorCode));
}

QStringList RecordingSyncDelegate::endings() const
{
    const std::lock_guard lock(m_mutex);
    return m_endings;
}

qsizetype RecordingSyncDelegate::count(const QString &ending) const
{
    const std::lock_guard lock(m_mutex);
    return m_endings.count(ending);
}

bool RecordingSyncDelegate::waitFor(const QString &ending) const
{
    return testsupport::waitUntil([this, &ending] { return count(ending) > 0; }, std::chrono::seconds(20));
}

QList<RecordingSyncDelegate::Error> RecordingSyncDelegate::errors() const
{
    const std::lock_guard lock(m_mutex);
    return m_errors;
}

QVariantMap RecordingSyncDelegate::logonReply() const
{
    const std::lock_guard lock(m_mutex);
    return m_logonReply;
}

QStringList RecordingSyncDelegate::ids() const
{
    const std::lock_guard lock(m_mutex);
    return m_ids;
}

QStringList RecordingSyncDelegate::idRows() const
{
    const std::lock_guard lock(m_mutex);
    return m_idRows;
}

bool RecordingSyncDelegate::contentsAboutToBeSentForConduit(const QMap<QString, QString> &contentById, quint64 conduit)
{
    Q_UNUSED(conduit);
    const std::lock_guard lock(m_mutex);
    m_sentContents.insert(contentById);
    return true;
}

QMap<QString, QString> RecordingSyncDelegate::sentContents() const
{
    const std::lock_guard lock(m_mutex);
    return m_sentContents;
}

QList<QVariantMap> RecordingSyncDelegate::listedRecords() const
{
    const std::lock_guard lock(m_mutex);
    return m_listed;
}

QList<QVariantMap> RecordingSyncDelegate::updateIds() const
{
    const std::lock_guard lock(m_mutex);
    return m_updateIds;
}

QList<bool> RecordingSyncDelegate::remainOnUpdate() const
{
    const std::lock_guard lock(m_mutex);
    return m_remainOnUpdate;
}

bool RecordingSyncDelegate::remainOnList() const
{
    const std::lock_guard lock(m_mutex);
    return m_remainOnList;
}

void RecordingSyncDelegate::clear()
{
    const std::lock_guard lock(m_mutex);
    m_endings.clear();
    m_errors.clear();
    m_ids.clear();
    m_idRows.clear();
    m_listed.clear();
    m_sentContents.clear();
    m_updateIds.clear();
    m_remainOnUpdate.clear();
}

HMWiFiSync::Timing fastTiming()
{
    HMWiFiSync::Timing timing;
    timing.logonPause = std::chrono::milliseconds(0);
    timing.connectionTryWindow = std::chrono::milliseconds(400);
    timing.passiveRetryDelay = std::chrono::milliseconds(20);
    timing.waitRetryDelay = std::chrono::milliseconds(20);
    timing.idListRetryPause = std::chrono::milliseconds(20);
    timing.logonTimeoutSeconds = 2.0;
    timing.commandTimeoutSeconds = 5.0;
    return timing;
}

PeerHarness::PeerHarness(HMWiFiSync::Timing timing)
{
    preparePhoneLinkTests();
    phonepeer::PhonePeer::Options options;
    options.port = 0;
    m_peer = std::make_unique<phonepeer::PhonePeer>(options);
    QString problem;
    if (!m_peer->start(problem))
        ADD_FAILURE() << "the phone peer did not start: " << problem.toStdString();
    HMWiFiSync::ConnectionSettings settings;
    settings.deviceType = 2;
    settings.ipAddress = QStringLiteral("127.0.0.1");
    settings.deviceName = m_peer->deviceId();
    settings.password = m_peer->deviceId();
    m_sync = std::make_unique<HMWiFiSync>(settings, timing);
    m_sync->setServerPort(m_peer->port());
    m_sync->setDelegate(&m_delegate);
    QString error;
    (void)m_sync->setup(error);
}

PeerHarness::~PeerHarness()
{
    m_sync.reset();
    m_peer->stop();
}

bool PeerHarness::logOn()
{
    if (!m_sync->logon())
        return false;
    const bool replied = testsupport::waitUntil(
        [this] { return m_delegate.count(QStringLiteral("logon:1")) + m_delegate.count(QStringLiteral("logon:0")) > 0; });
    return replied && m_delegate.count(QStringLiteral("logon:1")) == 1;
}

void preparePhoneLinkTests()
{
    // One folder for the whole test executable, set before anything reads the folders.
    static QTemporaryDir s_home;
    static const bool s_isPrepared = [] {
        testsupport::pointHomeAt(s_home.path());
        return true;
    }();
    Q_UNUSED(s_isPrepared);
    ensureApplication();
}

std::unique_ptr<QProcess> startSyncDriver(const QString &home, const QStringList &arguments, const QString &shellPrefix)
{
    auto driver = std::make_unique<QProcess>();
    driver->setProcessEnvironment(driverEnvironment(home, {{QStringLiteral("TZ"), QStringLiteral("UTC")}}));
    driver->setProcessChannelMode(QProcess::MergedChannels);
    if (shellPrefix.isEmpty()) {
        driver->start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
        return driver;
    }
    QString command = shellPrefix + QStringLiteral(" exec '") + QStringLiteral(HM_SYNC_ONCE_PATH) + u'\'';
    for (const QString &argument : arguments)
        command += QStringLiteral(" '") + argument + u'\'';
    driver->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    return driver;
}

::testing::AssertionResult runSyncDriverToEnd(const QString &home, const QStringList &arguments, int limitMs)
{
    const std::unique_ptr<QProcess> driver = startSyncDriver(home, arguments);
    if (!driver->waitForFinished(limitMs))
        return ::testing::AssertionFailure() << "the driver did not end";
    if (driver->exitStatus() == QProcess::NormalExit && driver->exitCode() == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit " << driver->exitCode() << ": " << driver->readAll().toStdString();
}

QStringList folderStoreDriverArguments(const phonepeer::PhonePeer &peer, const QString &contactsFolder,
                                       const QString &calendarsFolder)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), peer.deviceId(),
            QStringLiteral("--port"), QString::number(peer.port()), QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"), QStringLiteral("--contacts-folder"), contactsFolder,
            QStringLiteral("--calendars-folder"), calendarsFolder};
}

std::unique_ptr<phonepeer::PhonePeer> startPhonePeer(int port, const QString &dataFile)
{
    phonepeer::PhonePeer::Options options;
    options.port = port;
    options.dataFile = dataFile;
    auto peer = std::make_unique<phonepeer::PhonePeer>(options);
    QString problem;
    if (!peer->start(problem))
        ADD_FAILURE() << "the phone peer did not start: " << problem.toStdString();
    return peer;
}

void registerLoopbackTransport(int port, double commandTimeoutSeconds)
{
    HMSyncController::registerTransport(
        1, [port, commandTimeoutSeconds](const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)
               -> std::unique_ptr<HMSyncClient> {
            HMWiFiSync::Timing timing = fastTiming();
            timing.commandTimeoutSeconds = commandTimeoutSeconds;
            std::unique_ptr<HMWiFiSync> sync = HMWiFiSync::initWithConfiguration(configuration, timing);
            sync->setServerPort(port);
            return sync;
        });
}

std::shared_ptr<HMProfile> newLoopbackProfile(HMProfileManager &manager, const QString &deviceId)
{
    std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setDeviceTypeName(QStringLiteral("android"));
    profile->setSyncMethodName(QStringLiteral("wifi"));
    profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile->setContactManager(HMContactManager::Apple);
    profile->setHhIpAddress(QStringLiteral("127.0.0.1"));
    profile->setHhPassword(deviceId);
    profile->setContactSyncEnabled(false);
    profile->setCalendarSyncEnabled(false);
    profile->setTaskSyncEnabled(false);
    profile->setMemoSyncEnabled(false);
    return profile;
}

QMap<QString, QString> phoneFields(std::initializer_list<std::pair<const char *, QString>> fields)
{
    QMap<QString, QString> result;
    for (const auto &[key, value] : fields)
        result.insert(QLatin1String(key), value);
    return result;
}

QProcessEnvironment driverEnvironment(const QString &home, const QMap<QString, QString> &extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/state"));
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        environment.insert(it.key(), it.value());
    return environment;
}

void killDriverAndResume(const QString &home, const QStringList &arguments, const std::function<bool()> &killWhen,
                         const QMap<QString, QString> &extraEnvironment)
{
    QProcess killed;
    killed.setProcessEnvironment(driverEnvironment(home, extraEnvironment));
    killed.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
    ASSERT_TRUE(killed.waitForStarted());
    EXPECT_TRUE(testsupport::waitUntil([&] { return killWhen() || killed.state() == QProcess::NotRunning; },
                                       std::chrono::seconds(30)))
        << "the first run wrote nothing";
    killed.kill();
    // A run that ended on its own before the kill is fine too: the next run checks the same.
    ASSERT_TRUE(killed.state() == QProcess::NotRunning || killed.waitForFinished(10000));
    ASSERT_NE(killed.exitCode(), 2) << killed.readAllStandardError().toStdString();

    QProcess resumed;
    resumed.setProcessEnvironment(driverEnvironment(home, extraEnvironment));
    resumed.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
    ASSERT_TRUE(resumed.waitForFinished(60000));
    ASSERT_EQ(resumed.exitCode(), 0) << resumed.readAllStandardOutput().toStdString()
                                     << resumed.readAllStandardError().toStdString();
}
