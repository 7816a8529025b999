#pragma once

#include <QList>
#include <QString>

#include <chrono>
#include <memory>

class HMProfile;
class HMProfileManager;
class HMSyncController;

namespace hmsync {

// What one conduit did in a run, from the controller's counters (the phone-side ones are kept only
// by some transports).
struct ConduitOutcome
{
    quint64 conduit = 0;
    QString name;
    qint64 appleAdds = 0;
    qint64 appleUpdates = 0;
    qint64 appleDeletes = 0;
    qint64 deviceAdds = 0;
    qint64 deviceUpdates = 0;
    qint64 deviceDeletes = 0;
};

// How a run ended.
struct SyncOutcome
{
    bool hasEnded = false;         // false: the run did not end within the time limit
    bool isSuccess = false;        // the run reached the finished stage
    quint64 errorCode = 0;
    QString errorText;             // what the progress sheet would show
    int finishCount = 0;           // how many times the controller reported its end
    QList<ConduitOutcome> conduits; // the enabled conduits
};

// Runs one manual sync of the profile as the main window does: publishes the profile's switches,
// builds a configuration source and a controller for it, starts the run and pumps the main queue
// until the controller reports its end (or the time limit passes). The transport and data sources
// are those registered with the controller and the configuration source. Main thread only.
SyncOutcome runManualSync(const std::shared_ptr<HMProfileManager> &profileManager,
                          const std::shared_ptr<HMProfile> &profile, std::chrono::milliseconds timeLimit);

// The outcome as lines for a person.
QString describeOutcome(const SyncOutcome &outcome);

} // namespace hmsync
