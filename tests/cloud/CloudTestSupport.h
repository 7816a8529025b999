#pragma once

#include "CloudPeer.h"
#include "RestKitTestSupport.h"
#include "TestCertificates.h"
#include "support/TestSupport.h"
#include "cloud/HMQuillnestSync.h"
#include "foundation/Lumberjack/DDAbstractLogger.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"

#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

// A profile's configuration as the transport reads it: device type and the settings 15 to 18.
class FakeCloudConfiguration final : public HMSyncControllerConfigurationProtocol
{
public:
    FakeCloudConfiguration(quint64 deviceType, QString user, QString password, QString deviceId)
        : m_deviceType(deviceType), m_user(std::move(user)), m_password(std::move(password)),
          m_deviceId(std::move(deviceId))
    {
    }
    QString configurationId() const override { return m_deviceId; }
    QVariant backgroundSyncInterval() const override { return {}; }
    bool usePushNotifications() const override { return false; }
    quint64 deviceType() const override { return m_deviceType; }
    quint64 syncMethod() const override { return 4; }
    quint64 contactManager() const override { return 1; }
    bool rereadDeviceOnNextSync() const override { return false; }
    bool rereadAppleOnNextSync() const override { return false; }
    void setRereadDeviceOnNextSync(bool) override {}
    void setRereadAppleOnNextSync(bool) override {}
    bool saveConfigurationChanges() override { return true; }
    bool isConduitPurging(quint64) const override { return false; }
    void setConduitPurging(quint64, bool) override {}
    QVariant settingValueForSetting(qint64 setting) const override;
    QString stringValueForSetting(qint64 setting) const override { return settingValueForSetting(setting).toString(); }
    void setSetting(qint64, const QVariant &) override {}
    void startProcessingSyncForConduitData(HMSyncConduitData &) override {}
    void prepareConduitDataForProcessing(HMSyncConduitData &) override {}
    bool saveProgressForConduitData(HMSyncConduitData &) override { return true; }
    void cleanupConduitDataAfterProcessing(HMSyncConduitData &) override {}
    void finishedProcessingSyncForConduitData(HMSyncConduitData &) override {}

private:
    quint64 m_deviceType;
    QString m_user;
    QString m_password;
    QString m_deviceId;
};

// The controller's side of a run: every callback written down as a line ("error 6 Invalid Server",
// "logon 1", "stop"), waited for from the test's thread while the main loop turns.
class RecordingClientDelegate final : public HMSyncClientDelegate
{
public:
    void logonCommandReturned(bool wasSuccessful, const QVariantMap &reply) override;
    void logoffCommandReturned(bool wasSuccessful) override;
    void purgeCommandReturned(bool wasSuccessful) override;
    void commandErroredStopProcessing() override { note(QStringLiteral("stop")); }
    void commandWasForceCancelled() override { note(QStringLiteral("force-cancelled")); }
    void didErrorWithError(quint64 errorCode, const QString &errorMessage) override;
    // Records: "page <n>", "listed <0|1>", "more <0|1>", "detailed <n>", "confirmed <n>",
    // "remain-update <0|1>", "photos-stage <0|1>", "update <0|1>", "pictures".
    void listCommandReturnedWithDictionaries(const QList<QVariantMap> &records) override;
    void listCommandFinishedSuccessful(bool wasSuccessful) override;
    void writeRemainOnCurrentConduit(bool remain) override;
    void updateCommandReturnedWithDetailedDictionaries(const QList<QVariantMap> &results) override;
    void updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit) override;
    void writeRemainOnUpdateConduit(bool remain) override;
    void writeUpdatePhotosStage(bool photosStage) override;
    void updateCommandReturnedSuccessful(bool wasSuccessful) override;
    void picturesDictionaryUpdated() override { note(QStringLiteral("pictures")); }

    QStringList events() const;
    void clearEvents();
    QList<QList<QVariantMap>> pages() const;
    QList<QVariantMap> detailedResults() const;
    QVariantMap confirmedIds() const;
    QVariantMap logonReply() const;
    // Waits (turning the main loop) until a line starting with the prefix is there; false on time-out.
    bool waitFor(const QString &prefix, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        return waitForCount(prefix, 1, timeout);
    }
    // The same for the count-th such line.
    bool waitForCount(const QString &prefix, int count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    void note(const QString &event);

    mutable std::mutex m_mutex;
    QStringList m_events;
    QVariantMap m_logonReply;
    QList<QList<QVariantMap>> m_pages;
    QList<QVariantMap> m_detailed;
    QVariantMap m_confirmed;
};

// The log lines written while it lives, at the verbose level.
class LogCapture final : public DDAbstractLogger
{
public:
    void logMessage(const DDLogMessage &message) override
    {
        const std::lock_guard lock(m_mutex);
        m_lines.append(message.logMsg());
    }
    QStringList lines() const
    {
        const std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

// Turns the main loop for the time given.
void spinMainLoop(std::chrono::milliseconds duration);

// A cloud peer in-process over a test CA of its own, with the account "u@x.com" / "secret".
// The transports' user defaults and data folder in a folder, and the host variable they aim with, for
// as long as it lives; afterwards both are as they were, so that later tests and the programs they
// start share nothing with this one.
struct TransportEnvironment
{
    explicit TransportEnvironment(const QString &folder) : home(folder) {}
    testsupport::ScopedHome home;
    testsupport::SavedEnvironment host{{"HM_QUILLNEST_HOST"}};
};

struct PeerFixture
{
    PeerFixture();
    ~PeerFixture();
    QTemporaryDir folder;
    TransportEnvironment environment{folder.path()};
    peertls::CertificateFiles certificates;
    std::unique_ptr<cloudpeer::CloudPeer> peer;
    QString httpsHost() const;
    QString httpHost() const;
};

inline const QString kUser = QStringLiteral("u@x.com");
inline const QString kPassword = QStringLiteral("secret");
inline const QString kDigest = QStringLiteral("5EBE2294ECD0E0F08EAB7690D2A6EE69");

// A transport for u@x.com / secret talking to the host ("127.0.0.1:port"), trusting the CA file
// (empty: the system's certificates only), set up, with the delegate.
std::unique_ptr<HMQuillnestSync> makeCloudSync(const QString &host, const QString &caFile,
                                               RecordingClientDelegate &delegate, HMQuillnestTiming timing = {},
                                               const QString &password = kPassword);
