#include "app/HMSyncProgressController.h"

#include "ui_HMSyncProgressController.h"

#include "app/HMAppDelegate.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "google/HMGoogleSync.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMSyncController.h"

#include <QPushButton>

#include <cmath>

namespace {

constexpr int kBarSteps = 1000;

int barValue(double fraction)
{
    if (!std::isfinite(fraction))
        return 0;
    return int(std::lround(std::clamp(fraction, 0.0, 1.0) * kBarSteps));
}

std::shared_ptr<HMSyncController> controllerOfTheApplication()
{
    HMAppDelegate *const appDelegate = HMAppDelegate::sharedDelegate();
    const std::shared_ptr<HMBackgroundSyncManager> manager = appDelegate ? appDelegate->backgroundSyncManager() : nullptr;
    return manager ? manager->syncControllerForCurrentProcess() : nullptr;
}

void scheduleOnGlobalQueue(std::chrono::milliseconds delay, std::function<void()> step)
{
    platform::DispatchQueue::global()->after(std::chrono::duration_cast<platform::DispatchDuration>(delay),
                                             std::move(step));
}

} // namespace

HMSyncProgressController::HMSyncProgressController()
    : FormWindowController(QStringLiteral("HMSyncProgressController")), m_scheduler(scheduleOnGlobalQueue),
      m_runningController(controllerOfTheApplication)
{
}

HMSyncProgressController::~HMSyncProgressController() = default;

void HMSyncProgressController::windowDidLoad()
{
    platform::consoleLog(QStringLiteral("[5]"));
    m_ui->reauthorizeButton->setVisible(false);
    m_ui->customCancelButton->setVisible(false);
    m_ui->forceCancelButton->setVisible(false);
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okButtonSelected(); });
    connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { cancelButtonSelected(); });
    connect(m_ui->forceCancelButton, &QPushButton::clicked, this, [this] { forceCancelButtonSelected(); });
    connect(m_ui->reauthorizeButton, &QPushButton::clicked, this, [this] { reauthorizeClicked(); });
    connect(m_ui->customCancelButton, &QPushButton::clicked, this, [this] { customCancelClicked(); });
    GlobalVariables::setCurrentSyncProgressController(shared_from_this());
}

void HMSyncProgressController::runTwoHops(unsigned parts, std::function<void(HMSyncProgressController &, unsigned)> work)
{
    const std::weak_ptr<HMSyncProgressController> sheet = weak_from_this();
    const std::uint64_t ticket = takeTicket();
    platform::DispatchQueue::global(platform::QueuePriority::High)->async([sheet, parts, ticket, work = std::move(work)]() mutable {
        platform::DispatchQueue::main()->async([sheet, parts, ticket, work = std::move(work)] {
            if (const std::shared_ptr<HMSyncProgressController> shown = sheet.lock())
                work(*shown, shown->freshParts(parts, ticket));
        });
    });
}

std::uint64_t HMSyncProgressController::takeTicket()
{
    return m_nextTicket.fetch_add(1, std::memory_order_relaxed) + 1;
}

unsigned HMSyncProgressController::freshParts(unsigned parts, std::uint64_t ticket)
{
    unsigned fresh = 0;
    for (std::size_t index = 0; index < m_lastShownTickets.size(); ++index) {
        const unsigned part = 1u << index;
        if ((parts & part) != 0 && ticket > m_lastShownTickets[index]) {
            m_lastShownTickets[index] = ticket;
            fresh |= part;
        }
    }
    return fresh;
}

void HMSyncProgressController::showStepMessage(const QString &message)
{
    window();
    m_ui->stepNotificationLabel->setText(message);
    m_ui->stepNotificationProgress->setRange(0, 0);
}

void HMSyncProgressController::setUserMessageDirectly(const QString &message)
{
    runTwoHops(kStepLine, [message](HMSyncProgressController &sheet, unsigned fresh) {
        if ((fresh & kStepLine) != 0)
            sheet.showStepMessage(message);
    });
}

void HMSyncProgressController::setUserMessageDirectlyNoQueue(const QString &message)
{
    const std::uint64_t ticket = takeTicket();
    if (platform::DispatchQueue::isMainThread()) {
        if (freshParts(kStepLine, ticket) != 0)
            showStepMessage(message);
        return;
    }
    const std::weak_ptr<HMSyncProgressController> sheet = weak_from_this();
    platform::DispatchQueue::main()->async([sheet, message, ticket] {
        const std::shared_ptr<HMSyncProgressController> shown = sheet.lock();
        if (shown && shown->freshParts(kStepLine, ticket) != 0)
            shown->showStepMessage(message);
    });
}

void HMSyncProgressController::setUserMessageDirectly(const QString &message, double progress)
{
    runTwoHops(kStepLine | kOverallBar, [message, progress](HMSyncProgressController &sheet, unsigned fresh) {
        sheet.window();
        if ((fresh & kStepLine) != 0)
            sheet.m_ui->stepNotificationLabel->setText(message);
        if ((fresh & kOverallBar) != 0)
            sheet.m_ui->overallNotificationProgress->setValue(barValue(progress));
    });
}

void HMSyncProgressController::setOverallMessageDirectly(const QString &message, double progress)
{
    // The overall bar follows the step reports only; the number is not used here.
    static_cast<void>(progress);
    runTwoHops(kOverallLine, [message](HMSyncProgressController &sheet, unsigned fresh) {
        sheet.window();
        if ((fresh & kOverallLine) != 0 && sheet.m_ui->overallNotificationLabel->text() != message)
            sheet.m_ui->overallNotificationLabel->setText(message);
    });
}

void HMSyncProgressController::syncCompleted(const QString &errorText)
{
    runTwoHops(kAllParts,
               [errorText](HMSyncProgressController &sheet, unsigned fresh) { sheet.showCompletion(errorText, fresh); });
}

// The buttons, the console line and the delegate always hear of the end; a line or the bar only
// when no report posted after the end has written it.
void HMSyncProgressController::showCompletion(const QString &errorText, unsigned fresh)
{
    window();
    m_ui->okButton->setEnabled(true);
    m_ui->cancelButton->setEnabled(false);
    const QString outcome = errorText.isEmpty() ? QStringLiteral("Sync Complete") : QStringLiteral("Sync did not finish");
    if ((fresh & kOverallLine) != 0) {
        m_ui->overallNotificationLabel->setText(outcome);
        // The title says what the sheet shows: the sync is over.
        window()->setWindowTitle(outcome);
    }
    if ((fresh & kOverallBar) != 0)
        m_ui->overallNotificationProgress->setValue(kBarSteps);
    if ((fresh & kStepLine) != 0) {
        m_ui->stepNotificationLabel->setText(errorText);
        m_ui->stepNotificationProgress->setRange(0, 1);
        m_ui->stepNotificationProgress->setValue(1);
    }
    // The end on the console too, for whoever runs the application from a terminal or a script.
    platform::consoleLog(errorText.isEmpty() ? QStringLiteral("Sync Complete")
                                             : QStringLiteral("Sync did not finish: %1").arg(errorText));
    if (m_delegate != nullptr)
        m_delegate->syncCompleted();
}

void HMSyncProgressController::setDeletionsWarningDelegate(HMDeletionsWarningDelegate *delegate)
{
    m_deletionsWarningDelegate = delegate;
}

float HMSyncProgressController::getSyncProgressPercentage() const
{
    return float(overallProgressPermille()) / float(kBarSteps);
}

void HMSyncProgressController::setOneHundredPercentProgress()
{
    window();
    m_ui->overallNotificationProgress->setValue(kBarSteps);
}

void HMSyncProgressController::updateViewSyncIsRunning(bool isRunning)
{
    platform::consoleLog(QStringLiteral("[3]"));
    window();
    m_ui->okButton->setEnabled(!isRunning);
    m_ui->cancelButton->setEnabled(isRunning);
    if (isRunning)
        window()->setWindowTitle(QStringLiteral("Synchronizing"));
}

void HMSyncProgressController::showProgressControllerAsSheet()
{
    const std::weak_ptr<HMSyncProgressController> sheet = weak_from_this();
    window();
    // A sheet shown again for a run that goes on says so, whatever an earlier run left there.
    if (!m_ui->okButton->isEnabled())
        window()->setWindowTitle(QStringLiteral("Synchronizing"));
    beginSheet(m_parentWindow, [sheet](int) {
        const std::shared_ptr<HMSyncProgressController> ended = sheet.lock();
        if (ended && ended->isWindowLoaded())
            ended->window()->hide();
    });
}

bool HMSyncProgressController::isVisible()
{
    return isWindowLoaded() && window()->isVisible();
}

void HMSyncProgressController::okButtonSelected()
{
    endSheet(platform::NSModalResponseOK);
    if (isWindowLoaded())
        window()->hide();
}

void HMSyncProgressController::cancelButtonSelected()
{
    if (GlobalVariables::getIsGoogleDirect()) {
        cancelGoogleSync();
        return;
    }
    const quint64 generation = ++m_cancelTimerGeneration;
    m_hasCancelTimer = true;
    if (const std::shared_ptr<HMSyncController> controller = runningController())
        controller->safelyCancelSync();
    window();
    m_ui->cancelButton->setEnabled(false);
    const std::weak_ptr<HMSyncProgressController> sheet = weak_from_this();
    // The timer reads the run's state on the scheduler's thread and shows the button on the main queue.
    m_scheduler(kForceCancelDelay, [sheet, generation, source = m_runningController] {
        const std::shared_ptr<HMSyncController> controller = source ? source() : nullptr;
        const bool isBusy = controller && controller->syncState() != HMSyncState::Idle;
        platform::DispatchQueue::main()->async([sheet, generation, isBusy] {
            const std::shared_ptr<HMSyncProgressController> shown = sheet.lock();
            if (!shown || !shown->m_hasCancelTimer || shown->m_cancelTimerGeneration != generation)
                return;
            shown->m_hasCancelTimer = false;
            if (isBusy)
                shown->m_ui->forceCancelButton->setVisible(true);
        });
    });
}

void HMSyncProgressController::forceCancelButtonSelected()
{
    if (GlobalVariables::getIsGoogleDirect()) {
        cancelGoogleSync();
        return;
    }
    const std::shared_ptr<HMSyncController> controller = runningController();
    if (controller && controller->syncState() != HMSyncState::Idle)
        controller->forceCancelSync();
}

// A Google run hears the notification in its driver and the direct call in its stage machine.
void HMSyncProgressController::cancelGoogleSync()
{
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMGoogleDirectSyncCancelSync"));
    if (const std::shared_ptr<HMGoogleSync> run = GlobalVariables::getGoogleDirectSyncController())
        run->cancelSynchronization();
}

std::shared_ptr<HMSyncController> HMSyncProgressController::runningController() const
{
    return m_runningController ? m_runningController() : nullptr;
}

void HMSyncProgressController::displayDeletionWarningWithMessage(const QString &message)
{
    setUserMessageDirectly(QStringLiteral("Please respond to deletions warning."));
    window();
    m_ui->okButton->setEnabled(false);
    m_ui->cancelButton->setEnabled(false);
    m_deletionsWarningIsDisplaying = true;
    platform::Application *const application = platform::Application::shared();
    if (application != nullptr)
        application->activateIgnoringOtherApps();
    m_deletionAlert = std::make_unique<platform::Alert>();
    m_deletionAlert->addButtonWithTitle(QStringLiteral("Yes"));
    m_deletionAlert->addButtonWithTitle(QStringLiteral("No"));
    m_deletionAlert->setMessageText(message);
    m_deletionAlert->setInformativeText(QString());
    m_deletionAlert->setAlertStyle(platform::AlertStyle::Warning);
    const std::weak_ptr<HMSyncProgressController> sheet = weak_from_this();
    m_deletionAlert->beginSheetModalForWindow(window(), [sheet](int returnCode) {
        if (const std::shared_ptr<HMSyncProgressController> shown = sheet.lock())
            shown->alertDidEnd(returnCode);
    });
    GlobalVariables::setDeletionsWarningIsShowing(true);
}

void HMSyncProgressController::alertDidEnd(int returnCode)
{
    platform::consoleLog(QStringLiteral("[4]"));
    platform::consoleLog(QStringLiteral("returnCode %1").arg(returnCode));
    GlobalVariables::setSyncInterruptMessage(QString());
    m_ui->okButton->setEnabled(false);
    m_ui->cancelButton->setEnabled(true);
    const bool shouldDelete = returnCode == platform::NSAlertFirstButtonReturn;
    platform::consoleLog(shouldDelete ? QStringLiteral("OK!") : QStringLiteral("Cancel!"));
    if (m_deletionsWarningDelegate != nullptr)
        m_deletionsWarningDelegate->deletionsWarningReceivedResponse(shouldDelete);
    // The question's sheet has ended: the next sheet end is the cancel timer's again.
    if (m_deletionsWarningIsDisplaying) {
        m_deletionsWarningIsDisplaying = false;
    } else {
        m_hasCancelTimer = false;
    }
    // The alert may not be destroyed inside its own completion; it goes on the next pass.
    platform::DispatchQueue::main()->async([alert = std::shared_ptr<platform::Alert>(std::move(m_deletionAlert))] {});
}

void HMSyncProgressController::displayReauthorizationButtons()
{
    window();
    // The button row holds the pair beside the OK and Cancel they stand in for.
    m_ui->okButton->setVisible(false);
    m_ui->cancelButton->setVisible(false);
    m_ui->reauthorizeButton->setVisible(true);
    m_ui->customCancelButton->setText(QStringLiteral("Cancel"));
    m_ui->customCancelButton->setVisible(true);
}

void HMSyncProgressController::displayNormalButtons()
{
    window();
    m_ui->okButton->setVisible(true);
    m_ui->cancelButton->setVisible(true);
    m_ui->reauthorizeButton->setVisible(false);
    m_ui->customCancelButton->setVisible(false);
}

void HMSyncProgressController::reauthorizeClicked()
{
    platform::consoleLog(QStringLiteral("reauthorizeClicked"));
    displayNormalButtons();
    okButtonSelected();
    // The Google sign-in sheet opens over the main window with its browser sign-in started.
    const std::shared_ptr<HMMainWindowController> mainWindow = GlobalVariables::getMainWindowController();
    platform::consoleLog(QStringLiteral("mainWindow %1").arg(mainWindow ? QStringLiteral("HMMainWindowController") : QStringLiteral("(null)")));
    if (mainWindow)
        mainWindow->autoLaunchGoogleDirectSettings();
}

void HMSyncProgressController::customCancelClicked()
{
    platform::consoleLog(QStringLiteral("customCancelClicked"));
    okButtonSelected();
}

QString HMSyncProgressController::overallText() const
{
    return isWindowLoaded() ? m_ui->overallNotificationLabel->text() : QString();
}

QString HMSyncProgressController::stepText() const
{
    return isWindowLoaded() ? m_ui->stepNotificationLabel->text() : QString();
}

int HMSyncProgressController::overallProgressPermille() const
{
    return isWindowLoaded() ? m_ui->overallNotificationProgress->value() : 0;
}
