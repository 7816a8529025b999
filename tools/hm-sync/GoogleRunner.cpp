#include "GoogleRunner.h"

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "google/HMGoogleSync.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <csignal>
#include <cstdio>
#include <mutex>

#include <unistd.h>

namespace hmsync {

namespace {

// One line per event, whole, whatever thread prints it.
void printLine(const QString &line)
{
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// The progress sheet of a run without a window: it prints what the sheet would show. With
// HM_SYNC_PROGRESS_LINES=0 it leaves out the step and overall lines (several a record), as the phone
// road prints none: benchmarks compare the two roads' work, not their terminal output.
class ConsoleSheet final : public HMSyncProgressReporting
{
public:
    void setUserMessageDirectly(const QString &message) override
    {
        if (m_printsProgress)
            printLine(QStringLiteral("sheet step: ") + message);
    }
    void setUserMessageDirectly(const QString &message, double) override { setUserMessageDirectly(message); }
    void setOverallMessageDirectly(const QString &message, double) override
    {
        if (m_printsProgress)
            printLine(QStringLiteral("sheet overall: ") + message);
    }
    void syncCompleted(const QString &errorText) override
    {
        printLine(QStringLiteral("sheet completed: ") + (errorText.isEmpty() ? QStringLiteral("Sync Complete") : errorText));
    }
    void displayDeletionWarningWithMessage(const QString &message) override
    {
        printLine(QStringLiteral("sheet deletion warning: ") + message);
    }
    void displayReauthorizationButtons() override { printLine(QStringLiteral("sheet reauthorize")); }

private:
    const bool m_printsProgress = qEnvironmentVariable("HM_SYNC_PROGRESS_LINES") != QLatin1String("0");
};

} // namespace

int runGoogleSync(const std::shared_ptr<HMProfileManager> &profileManager, const std::shared_ptr<HMProfile> &profile,
                  const QString &cancelStage, std::chrono::milliseconds timeLimit)
{
    GlobalVariables::setIsGoogleDirect(true);
    GlobalVariables::setIsOutlookSync(true);
    GlobalVariables::setCurrentSyncProgressController(std::make_shared<ConsoleSheet>());
    platform::NotificationCenter &center = platform::NotificationCenter::defaultCenter();
    std::vector<platform::ObserverToken> observers;
    for (const QString &name : {QStringLiteral("kSynchronizationDidFinish"), QStringLiteral("HMSyncDidFinishNotification")})
        observers.push_back(center.addObserver(name, nullptr, [name](const platform::Notification &) {
            printLine(QStringLiteral("notification ") + name);
        }));
    const QString finished = QStringLiteral("HMSyncDidFinishNotification");
    observers.push_back(platform::DistributedNotificationCenter::defaultCenter().addObserver(
        finished, QString(), [finished](const platform::DistributedNotification &) { printLine(QStringLiteral("distributed ") + finished); }));

    const std::shared_ptr<HMGoogleSync> run = HMGoogleSync::create();
    run->setProfile(profile);
    run->setProfileManager(profileManager);
    // The contacts are Outlook's (the simulated one); the profile was made an Outlook one before.
    run->setDataSourceFactory([profile](int conduit) -> std::shared_ptr<HMData> {
        if (conduit == 2)
            return std::make_shared<HMCalendarData>(3);
        if (conduit == 3) {
            const auto tasks = std::make_shared<HMTaskData>();
            tasks->setOutlookProfile(profile);
            return tasks;
        }
        if (conduit != 1)
            return nullptr;
        const auto contacts = std::make_shared<HMContactData>();
        contacts->setOutlookProfile(profile);
        return contacts;
    });
    run->setErrorPresenter([](const QString &text) { printLine(QStringLiteral("alert: ") + text); });
    const std::weak_ptr<HMGoogleSync> weak = run;
    // HM_GOOGLE_KILL_AT_STAGE ends the process with SIGKILL as the run enters that stage, so the crash
    // tests can stop a run at each stage boundary.
    const QString killStage = qEnvironmentVariable("HM_GOOGLE_KILL_AT_STAGE");
    run->setStageObserver([weak, cancelStage, killStage](const QString &stage) {
        printLine(QStringLiteral("stage ") + stage);
        if (stage == killStage)
            ::kill(::getpid(), SIGKILL);
        if (stage != cancelStage)
            return;
        platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMGoogleDirectSyncCancelSync"));
        if (const std::shared_ptr<HMGoogleSync> current = weak.lock())
            current->cancelSynchronization();
    });
    if (!run->hasTokens())
        printLine(QStringLiteral("The profile holds no Google tokens."));
    // The run ends on its own queue; the empty block it then queues wakes the wait below, which sleeps
    // until a block comes.
    run->setEndObserver([] { platform::DispatchQueue::main()->async([] {}); });
    run->synchronize();
    const bool ended = platform::DispatchQueue::runMainQueueUntil(
        [&run] { return run->isFinished(); }, timeLimit, platform::DispatchQueue::ConditionChange::ThroughMainQueue);
    // The distributed notification comes back through the main queue.
    platform::DispatchQueue::runMainQueueUntilEmpty();
    if (!ended) {
        printLine(QStringLiteral("The sync did not end within its time limit."));
        return 1;
    }
    return run->syncStage() == QLatin1String("endSync") && run->lastErrorMessageString().isEmpty() ? 0 : 1;
}

} // namespace hmsync
