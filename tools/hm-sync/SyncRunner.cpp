#include "SyncRunner.h"

#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncConduitData.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncControllerDelegate.h"
#include "sync/HMSyncTypes.h"

#include <atomic>
#include <mutex>

namespace hmsync {

namespace {

// Hears the end of the run on the main queue and keeps what the controller says about it.
class OutcomeDelegate final : public HMSyncControllerDelegate
{
public:
    void syncDidFinishForController(HMSyncController &controller) override
    {
        const std::lock_guard lock(m_mutex);
        ++m_outcome.finishCount;
        m_outcome.hasEnded = true;
        // A run that logged off after a refusal (a busy phone, say) still ends through the finished
        // stage, carrying its error: only a run without one succeeded.
        m_outcome.isSuccess =
            controller.syncStage() == HMSyncStage::Finished && controller.syncError() == HMSyncError::None;
        m_outcome.errorCode = quint64(controller.syncError());
        m_outcome.errorText = controller.syncErrorDescription();
        m_outcome.conduits.clear();
        for (quint64 conduit = 1; conduit <= 4; ++conduit) {
            const std::shared_ptr<HMSyncConduitData> &data = controller.conduitSyncDataObjects().at(conduit);
            if (!data || !data->syncEnabled())
                continue;
            m_outcome.conduits.append(ConduitOutcome{conduit, conduitName(HMSyncConduit(conduit)),
                                                     data->appleAdds(), data->appleUpdates(), data->appleDeletes(),
                                                     data->deviceAdds(), data->deviceUpdates(), data->deviceDeletes()});
        }
    }

    SyncOutcome outcome() const
    {
        const std::lock_guard lock(m_mutex);
        return m_outcome;
    }

    bool hasEnded() const
    {
        const std::lock_guard lock(m_mutex);
        return m_outcome.hasEnded;
    }

private:
    mutable std::mutex m_mutex;
    SyncOutcome m_outcome;
};

bool isOutlookProfile(const HMProfile &profile)
{
    return profile.contactManager() == HMContactManager::Outlook14 ||
           profile.contactManager() == HMContactManager::Outlook15;
}

} // namespace

SyncOutcome runManualSync(const std::shared_ptr<HMProfileManager> &profileManager,
                          const std::shared_ptr<HMProfile> &profile, std::chrono::milliseconds timeLimit)
{
    // The main window takes in the error log of the writes Outlook refused and publishes the profile's
    // switches before every sync.
    if (HMOutlookDatFileHelper::hasErrorLog())
        HMOutlookDatFileHelper::loadErrorLogIntoMemory();
    GlobalVariables::setIsOutlookSync(isOutlookProfile(*profile));
    GlobalVariables::setContactManagerSetting(qint64(profile->contactManager()));
    GlobalVariables::setIsCalendarSyncEnabled(profile->calendarSyncEnabled());
    GlobalVariables::setIsTaskSyncEnabled(profile->taskSyncEnabled());
    GlobalVariables::setShouldSyncContactPhotos(profile->shouldSyncPhotos() != QLatin1String("no"));

    const auto configuration = std::make_shared<HMDataConfigurationSource>(profileManager, profile);
    const std::shared_ptr<HMSyncController> controller = HMSyncController::initWithConfiguration(configuration);
    if (!controller)
        return SyncOutcome{true, false, quint64(HMSyncError::InvalidProfile), QStringLiteral("No sync controller"), 0, {}};
    const auto delegate = std::make_shared<OutcomeDelegate>();
    controller->setDelegate(delegate);
    // The controller tells its end before it clears the process-wide running flag, and refuses to
    // start while that flag is set: a run that follows at once waits for it.
    platform::DispatchQueue::runMainQueueUntil([] { return !HMSyncController::getIsSynchronizing(); }, timeLimit);
    controller->startProcessing();
    platform::DispatchQueue::runMainQueueUntil([&delegate] { return delegate->hasEnded(); }, timeLimit);
    // A second end report would arrive on the main queue right after the first.
    platform::DispatchQueue::runMainQueueUntilEmpty();
    if (!delegate->hasEnded()) {
        controller->forceCancelSync();
        platform::DispatchQueue::runMainQueueUntil([&delegate] { return delegate->hasEnded(); },
                                                   std::chrono::seconds(30));
    }
    platform::DispatchQueue::runMainQueueUntil([] { return !HMSyncController::getIsSynchronizing(); },
                                               std::chrono::seconds(30));
    SyncOutcome outcome = delegate->outcome();
    outcome.hasEnded = outcome.hasEnded && outcome.finishCount > 0;
    return outcome;
}

QString describeOutcome(const SyncOutcome &outcome)
{
    if (!outcome.hasEnded)
        return QStringLiteral("The sync did not end within its time limit.\n");
    QString text = outcome.isSuccess ? QStringLiteral("Sync Complete\n")
                                     : QStringLiteral("Sync did not finish: %1 (error %2)\n")
                                           .arg(outcome.errorText, QString::number(outcome.errorCode));
    for (const ConduitOutcome &conduit : outcome.conduits) {
        text += QStringLiteral("  %1: %2 added, %3 changed, %4 deleted on the desktop\n")
                    .arg(conduit.name)
                    .arg(conduit.appleAdds)
                    .arg(conduit.appleUpdates)
                    .arg(conduit.appleDeletes);
    }
    return text;
}

} // namespace hmsync
