#pragma once

#include "sync/HMSyncControllerConfigurationProtocol.h"

#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class HMData;
class HMIdentifierGraph;
class HMProfile;
class HMProfileManager;

// The configuration of a sync run over one profile and the profile manager that stores it. It answers
// the run's questions from the profile, fills each conduit's state, makes each conduit's data source
// and writes the run's results back into the profile. Made for each sync or check by the windows and
// the schedulers; it holds no state of its own beyond its two references. Runs on its caller's thread;
// nothing is locked but the two references.
//
// Data sources are made by class name ("HMContactData", "HMCalendarData", "HMTaskData",
// "HMMemoData") through factories that the data-source libraries register at start-up.
class HMDataConfigurationSource final : public HMSyncControllerConfigurationProtocol
{
public:
    using DataSourceFactory = std::function<std::shared_ptr<HMData>()>;
    // The number of records in an Outlook conduit's identifier map ("Contacts", "Calendar", ...).
    using OutlookRecordCounter = std::function<qint64(const QString &conduitName)>;

    HMDataConfigurationSource() = default;
    HMDataConfigurationSource(std::shared_ptr<HMProfileManager> profileManager, std::shared_ptr<HMProfile> profile);

    std::shared_ptr<HMProfileManager> profileManager() const;
    void setProfileManager(std::shared_ptr<HMProfileManager> profileManager);
    std::shared_ptr<HMProfile> profile() const;
    void setProfile(std::shared_ptr<HMProfile> profile);

    QString configurationId() const override;
    QVariant backgroundSyncInterval() const override;
    bool usePushNotifications() const override;
    quint64 deviceType() const override;
    quint64 syncMethod() const override;
    quint64 contactManager() const override;
    bool rereadDeviceOnNextSync() const override;
    bool rereadAppleOnNextSync() const override;
    void setRereadDeviceOnNextSync(bool reread) override;
    void setRereadAppleOnNextSync(bool reread) override;
    bool saveConfigurationChanges() override;
    bool isConduitPurging(quint64 conduit) const override;
    void setConduitPurging(quint64 conduit, bool isPurging) override;
    QVariant settingValueForSetting(qint64 setting) const override;
    QString stringValueForSetting(qint64 setting) const override;
    void setSetting(qint64 setting, const QVariant &value) override;
    void startProcessingSyncForConduitData(HMSyncConduitData &conduitData) override;
    void prepareConduitDataForProcessing(HMSyncConduitData &conduitData) override;
    bool saveProgressForConduitData(HMSyncConduitData &conduitData) override;
    void cleanupConduitDataAfterProcessing(HMSyncConduitData &conduitData) override;
    void finishedProcessingSyncForConduitData(HMSyncConduitData &conduitData) override;

    // Registers (or, with an empty factory, removes) the maker of a data-source class. Thread-safe.
    static void registerDataSourceClass(const QString &className, DataSourceFactory factory);
    // A new data source of the class; null when no maker is registered for it. Thread-safe.
    static std::shared_ptr<HMData> makeDataSourceOfClass(const QString &className);
    // Sets (or, when empty, removes) the Outlook record counter. Thread-safe.
    static void setOutlookRecordCounter(OutlookRecordCounter counter);

private:
    // Writes the conduit's graph at its end: its journal folded into the graph file.
    void finishIdentifierGraph(const HMSyncConduitData &conduitData, const HMIdentifierGraph &graph);

    mutable std::mutex m_referencesMutex;
    std::shared_ptr<HMProfileManager> m_profileManager;
    std::shared_ptr<HMProfile> m_profile;
};
