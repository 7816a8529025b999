#pragma once

#include "foundation/HMSyncProgressReporting.h"
#include "platform/appkit/FormWindowController.h"

#include <QPointer>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace Ui {
class HMSyncProgressController;
}
namespace platform {
class Alert;
}
class HMSyncController;

// Told by the progress sheet that the sync it shows has completed (the main window).
class HMSyncProgressControllerDelegate
{
public:
    virtual ~HMSyncProgressControllerDelegate() = default;

    virtual void syncCompleted() = 0;
};

// The sheet that hangs over the main window while a sync runs: an overall line and a step line, each
// with a bar, the OK, Cancel and Force Cancel buttons, the Reauthorize pair for an account whose
// sign-in expired, and the Yes/No mass-deletion question asked for a data source.
//
// The main window makes it (std::shared_ptr: sync code holds it through GlobalVariables), sets its
// delegate and parent window and shows it; when its window loads it registers itself as the current
// progress sheet. The reporting operations may be called from any thread: they move their screen
// work to the main queue and never wait. Everything else runs on the main thread.
class HMSyncProgressController final : public platform::FormWindowController<Ui::HMSyncProgressController>,
                                       public HMSyncProgressReporting,
                                       public std::enable_shared_from_this<HMSyncProgressController>
{
    Q_OBJECT

public:
    // Runs the step once the delay has passed, on any thread.
    using StepScheduler = std::function<void(std::chrono::milliseconds delay, std::function<void()> step)>;
    // The sync run the Cancel buttons act on, or none.
    using RunningControllerSource = std::function<std::shared_ptr<HMSyncController>()>;

    static constexpr std::chrono::milliseconds kForceCancelDelay{5000};

    HMSyncProgressController();
    ~HMSyncProgressController() override;

    // HMSyncProgressReporting: any thread.
    void setUserMessageDirectly(const QString &message) override;
    void setUserMessageDirectly(const QString &message, double progress) override;
    void setOverallMessageDirectly(const QString &message, double progress) override;
    void syncCompleted(const QString &errorText) override;
    void setDeletionsWarningDelegate(HMDeletionsWarningDelegate *delegate) override;
    // Main thread.
    void displayDeletionWarningWithMessage(const QString &message) override;
    bool asksDeletionQuestions() const override { return true; }
    void displayReauthorizationButtons() override;
    void displayNormalButtons();
    // At once, on the main queue when called elsewhere.
    void setUserMessageDirectlyNoQueue(const QString &message);
    float getSyncProgressPercentage() const;
    void setOneHundredPercentProgress();
    void updateViewSyncIsRunning(bool isRunning);

    // Shows the window as a sheet on the parent window.
    void showProgressControllerAsSheet();
    bool isVisible();

    // Buttons.
    void okButtonSelected();
    void cancelButtonSelected();
    void forceCancelButtonSelected();
    void reauthorizeClicked();
    void customCancelClicked();

    HMSyncProgressControllerDelegate *delegate() const { return m_delegate; }
    void setDelegate(HMSyncProgressControllerDelegate *delegate) { m_delegate = delegate; }
    HMDeletionsWarningDelegate *deletionsWarningDelegate() const { return m_deletionsWarningDelegate; }
    QWidget *parentWindow() const { return m_parentWindow; }
    void setParentWindow(QWidget *window) { m_parentWindow = window; }
    bool deletionsWarningIsDisplaying() const { return m_deletionsWarningIsDisplaying; }
    // The mass-deletion question while it is up, for tests and screenshots.
    platform::Alert *deletionsWarningAlert() const { return m_deletionAlert.get(); }

    // Where the Cancel timer waits and where the running sync is found; the real clock and the
    // application's background sync manager unless a test sets others.
    void setStepScheduler(StepScheduler scheduler) { m_scheduler = std::move(scheduler); }
    void setRunningControllerSource(RunningControllerSource source) { m_runningController = std::move(source); }

    QString overallText() const;
    QString stepText() const;
    int overallProgressPermille() const;

protected:
    void windowDidLoad() override;

private:
    // The parts of the sheet a report writes; each keeps the ticket of the newest report shown on it.
    static constexpr unsigned kOverallLine = 1u;
    static constexpr unsigned kStepLine = 2u;
    static constexpr unsigned kOverallBar = 4u;
    static constexpr unsigned kAllParts = kOverallLine | kStepLine | kOverallBar;

    // Runs the work on the main queue by way of the high-priority global queue, while the sheet lives.
    // The global queue is concurrent, so two reports may reach the main queue out of order; each
    // carries a ticket taken when it was posted, and the work is told which of its parts no later
    // report has written yet: only those it writes. A step message posted before the end never
    // covers the completion, and an overall line that overtook a step message does not drop it.
    void runTwoHops(unsigned parts, std::function<void(HMSyncProgressController &, unsigned fresh)> work);
    std::uint64_t takeTicket();
    // The parts the report of that ticket may write, marked as written by it. Main thread.
    unsigned freshParts(unsigned parts, std::uint64_t ticket);
    void showStepMessage(const QString &message);
    void cancelGoogleSync();
    void showCompletion(const QString &errorText, unsigned fresh);
    void alertDidEnd(int returnCode);
    std::shared_ptr<HMSyncController> runningController() const;

    HMSyncProgressControllerDelegate *m_delegate = nullptr;
    HMDeletionsWarningDelegate *m_deletionsWarningDelegate = nullptr;
    QPointer<QWidget> m_parentWindow;
    bool m_deletionsWarningIsDisplaying = false;
    // The pending Force Cancel look: a counter, so that a cancelled timer's step does nothing.
    quint64 m_cancelTimerGeneration = 0;
    bool m_hasCancelTimer = false;
    std::unique_ptr<platform::Alert> m_deletionAlert;
    StepScheduler m_scheduler;
    RunningControllerSource m_runningController;
    std::atomic<std::uint64_t> m_nextTicket{0};
    std::array<std::uint64_t, 3> m_lastShownTickets{}; // by part; main thread only
};
