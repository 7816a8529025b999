#pragma once

#include <QString>
#include <QVariant>
#include <QtGlobal>

class HMSyncConduitData;

// The configuration a sync run reads and writes: one profile behind a set of questions, a table of
// numbered settings for the transports, and the operations that fill each conduit's state, make its
// data source and write the run's results back. HMDataConfigurationSource is the implementation.
// Called on the thread of its caller (the run's queue during a sync).
class HMSyncControllerConfigurationProtocol
{
public:
    virtual ~HMSyncControllerConfigurationProtocol() = default;

    virtual QString configurationId() const = 0;
    // Seconds between background syncs; an invalid value when background syncs are off.
    virtual QVariant backgroundSyncInterval() const = 0;
    virtual bool usePushNotifications() const = 0;
    virtual quint64 deviceType() const = 0;
    virtual quint64 syncMethod() const = 0;
    virtual quint64 contactManager() const = 0;
    virtual bool rereadDeviceOnNextSync() const = 0;
    virtual bool rereadAppleOnNextSync() const = 0;
    virtual void setRereadDeviceOnNextSync(bool reread) = 0;
    virtual void setRereadAppleOnNextSync(bool reread) = 0;
    // Saves the profile; false when it was not written.
    virtual bool saveConfigurationChanges() = 0;
    virtual bool isConduitPurging(quint64 conduit) const = 0;
    virtual void setConduitPurging(quint64 conduit, bool isPurging) = 0;
    // A numbered setting; an invalid value for numbers without one.
    virtual QVariant settingValueForSetting(qint64 setting) const = 0;
    // The setting as text: text as it is, a number in decimal, anything else the empty string.
    virtual QString stringValueForSetting(qint64 setting) const = 0;
    virtual void setSetting(qint64 setting, const QVariant &value) = 0;
    // Fills a conduit state from the profile when the run starts.
    virtual void startProcessingSyncForConduitData(HMSyncConduitData &conduitData) = 0;
    // Makes the conduit's data source and gives it the conduit's identifier graph.
    virtual void prepareConduitDataForProcessing(HMSyncConduitData &conduitData) = 0;
    // Saves the conduit's identifier graph; false when it could not be written (a conduit without a
    // graph has nothing to save and succeeds).
    virtual bool saveProgressForConduitData(HMSyncConduitData &conduitData) = 0;
    // Closes the conduit's bookkeeping at its clean-up and releases its data source.
    virtual void cleanupConduitDataAfterProcessing(HMSyncConduitData &conduitData) = 0;
    // Writes the conduit's dates, count and purge flag into the profile (not saved).
    virtual void finishedProcessingSyncForConduitData(HMSyncConduitData &conduitData) = 0;
};
