// The progress sheet on its own: what the run's end shows, the mass-deletion question, the
// reauthorize buttons, the messages sync code sends from other threads and the Google cancel.
#include "ShellTestSupport.h"

#include "ManualStepScheduler.h"
#include "app/HMSyncProgressController.h"
#include "foundation/GlobalVariables.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Screenshot.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/TestSupport.h"

#include <QMessageBox>
#include <QPushButton>

#include <thread>

using namespace std::chrono_literals;

namespace {

class RecordingDelegate final : public HMSyncProgressControllerDelegate, public HMDeletionsWarningDelegate
{
public:
    void syncCompleted() override { ++completions; }
    void deletionsWarningReceivedResponse(bool shouldDelete) override { answers.append(shouldDelete); }

    int completions = 0;
    QList<bool> answers;
};

class SyncProgress : public testing::Test
{
protected:
    void SetUp() override
    {
        m_sheet = std::make_shared<HMSyncProgressController>();
        m_sheet->setDelegate(&m_delegate);
        m_sheet->setParentWindow(&m_parent);
        m_sheet->setStepScheduler(m_clock.function());
        m_sheet->setRunningControllerSource([] { return nullptr; });
        m_parent.resize(480, 380);
        m_parent.show();
        m_sheet->showProgressControllerAsSheet();
    }
    void TearDown() override
    {
        platform::DispatchQueue::runMainQueueUntilEmpty();
        GlobalVariables::setCurrentSyncProgressController(nullptr);
        GlobalVariables::setIsGoogleDirect(false);
        GlobalVariables::setDeletionsWarningIsShowing(false);
    }
    QPushButton *button(const char *name) const
    {
        return m_sheet->window()->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    static QString folder() { return testsupport::binaryDir() + QStringLiteral("/screenshots/app"); }

    QDialog m_parent;
    ManualStepScheduler m_clock;
    RecordingDelegate m_delegate;
    std::shared_ptr<HMSyncProgressController> m_sheet;
};

TEST_F(SyncProgress, RegistersItselfAndShowsTheEndOfTheRun)
{
    EXPECT_EQ(GlobalVariables::getCurrentSyncProgressController(), m_sheet);
    EXPECT_TRUE(m_sheet->isSheetOpen());
    struct Row { const char *name; QString errorText; const char *overall; };
    const Row rows[] = {{"no text", QString(), "Sync Complete"},
                        {"an empty text", QStringLiteral(""), "Sync Complete"},
                        {"an error text", QStringLiteral("The device did not answer in time."), "Sync did not finish"}};
    int completions = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        m_sheet->updateViewSyncIsRunning(true);
        EXPECT_EQ(m_sheet->window()->windowTitle(), QStringLiteral("Synchronizing"));
        // Sync code reports from its own thread.
        std::thread([sheet = m_sheet, text = row.errorText] { sheet->syncCompleted(text); }).join();
        ASSERT_TRUE(testsupport::waitUntil([&] { return m_delegate.completions == completions + 1; }))
            << "awaited the delegate's syncCompleted";
        ++completions;
        EXPECT_EQ(m_sheet->overallText(), QString::fromLatin1(row.overall));
        // The title follows: a sheet that still said "Synchronizing" would tell of a run long over.
        EXPECT_EQ(m_sheet->window()->windowTitle(), QString::fromLatin1(row.overall));
        EXPECT_EQ(m_sheet->stepText(), row.errorText.isNull() ? QString() : row.errorText);
        EXPECT_EQ(m_sheet->overallProgressPermille(), 1000);
        EXPECT_TRUE(button("okButton")->isEnabled());
        EXPECT_FALSE(button("cancelButton")->isEnabled());
    }
    EXPECT_TRUE(platform::saveScreenshot(*m_sheet->window(), folder(), QStringLiteral("progress-sheet-failed")));
    m_sheet->okButtonSelected();
    EXPECT_FALSE(m_sheet->isSheetOpen());
    EXPECT_FALSE(m_sheet->isVisible());
}

TEST_F(SyncProgress, MessagesFromOtherThreadsReachTheLinesAndTheBar)
{
    std::thread([sheet = m_sheet] {
        sheet->setUserMessageDirectly(QStringLiteral("Sending contacts"), 0.5);
        sheet->setOverallMessageDirectly(QStringLiteral("Contacts"), 0.9);
    }).join();
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_sheet->overallText() == QLatin1String("Contacts"); }));
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_sheet->stepText() == QLatin1String("Sending contacts"); }));
    EXPECT_EQ(m_sheet->overallProgressPermille(), 500) << "the overall message's number never moves the bar";
    EXPECT_FLOAT_EQ(m_sheet->getSyncProgressPercentage(), 0.5f);
    m_sheet->setUserMessageDirectlyNoQueue(QStringLiteral("Validating configuration..."));
    EXPECT_EQ(m_sheet->stepText(), QStringLiteral("Validating configuration..."));
}

TEST_F(SyncProgress, DeletionQuestionSendsTheAnswerAndKeepsOkDisabled)
{
    platform::ScriptedAlertResponder alerts({platform::NSAlertFirstButtonReturn, platform::NSAlertSecondButtonReturn});
    m_sheet->setDeletionsWarningDelegate(&m_delegate);
    for (const bool answer : {true, false}) {
        SCOPED_TRACE(answer ? "Yes" : "No");
        const qsizetype before = m_delegate.answers.size();
        m_sheet->displayDeletionWarningWithMessage(QStringLiteral("Harrowmere is about to delete 120 contacts."));
        EXPECT_TRUE(m_sheet->deletionsWarningIsDisplaying());
        EXPECT_TRUE(GlobalVariables::getDeletionsWarningIsShowing());
        ASSERT_TRUE(testsupport::waitUntil([&] { return m_delegate.answers.size() == before + 1; }))
            << "awaited the answer";
        EXPECT_EQ(m_delegate.answers.back(), answer);
        EXPECT_FALSE(m_sheet->deletionsWarningIsDisplaying());
        EXPECT_FALSE(button("okButton")->isEnabled());
        EXPECT_TRUE(button("cancelButton")->isEnabled());
    }
    ASSERT_EQ(alerts.recordedAlerts().size(), 2);
    const auto asked = alerts.recordedAlerts().front();
    EXPECT_EQ(asked.messageText, QStringLiteral("Harrowmere is about to delete 120 contacts."));
    EXPECT_EQ(asked.buttonTitles, (QStringList{"Yes", "No"}));
    EXPECT_EQ(asked.alertStyle, platform::AlertStyle::Warning);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_sheet->stepText() == QLatin1String("Please respond to deletions warning."); }));

    // The question as a person sees it, over the sheet.
    platform::Alert question;
    question.addButtonWithTitle(QStringLiteral("Yes"));
    question.addButtonWithTitle(QStringLiteral("No"));
    question.setMessageText(asked.messageText);
    EXPECT_TRUE(platform::saveScreenshot(question.messageBox(), folder(), QStringLiteral("deletion-question")));
}

TEST_F(SyncProgress, ReauthorizeButtonsTakeTheOkAndCancelPlaces)
{
    QPushButton *const ok = button("okButton");
    m_sheet->window()->adjustSize();
    const QRect okPlace = ok->geometry();
    const QRect cancelPlace = button("cancelButton")->geometry();
    m_sheet->displayReauthorizationButtons();
    m_sheet->window()->adjustSize();
    // The pair takes the places of OK and Cancel at the right of the row, in the same order.
    const QRect reauthorize = button("reauthorizeButton")->geometry();
    const QRect customCancel = button("customCancelButton")->geometry();
    EXPECT_EQ(reauthorize.right(), okPlace.right());
    EXPECT_EQ(reauthorize.y(), okPlace.y());
    EXPECT_LT(customCancel.right(), reauthorize.left());
    EXPECT_GE(customCancel.left(), cancelPlace.left() - (reauthorize.width() - okPlace.width()));
    EXPECT_EQ(button("customCancelButton")->text(), QStringLiteral("Cancel"));
    EXPECT_FALSE(ok->isVisibleTo(m_sheet->window()));
    EXPECT_FALSE(button("cancelButton")->isVisibleTo(m_sheet->window()));
    EXPECT_TRUE(button("reauthorizeButton")->isVisibleTo(m_sheet->window()));
    EXPECT_TRUE(platform::saveScreenshot(*m_sheet->window(), folder(), QStringLiteral("progress-sheet-reauthorize")));

    button("customCancelButton")->click();
    EXPECT_FALSE(m_sheet->isSheetOpen());
    m_sheet->displayNormalButtons();
    EXPECT_TRUE(ok->isVisibleTo(m_sheet->window()));
    EXPECT_FALSE(button("reauthorizeButton")->isVisibleTo(m_sheet->window()));
}

TEST_F(SyncProgress, GoogleCancelPostsTheCancelOnceAndStartsNoTimer)
{
    GlobalVariables::setIsGoogleDirect(true);
    int posted = 0;
    const platform::ObserverToken observer = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMGoogleDirectSyncCancelSync"), nullptr, [&](const platform::Notification &) { ++posted; });
    button("cancelButton")->click();
    EXPECT_EQ(posted, 1);
    EXPECT_TRUE(m_clock.pendingDelays().empty());
    EXPECT_FALSE(button("forceCancelButton")->isVisibleTo(m_sheet->window()));
}

TEST_F(SyncProgress, CancelWithNothingRunningNeverShowsForceCancel)
{
    button("cancelButton")->click();
    EXPECT_FALSE(button("cancelButton")->isEnabled());
    ASSERT_EQ(m_clock.pendingDelays().size(), 1u);
    EXPECT_EQ(m_clock.pendingDelays().front(), 5000ms);
    m_clock.advance(5000ms);
    platform::DispatchQueue::runMainQueueUntilEmpty();
    EXPECT_FALSE(button("forceCancelButton")->isVisibleTo(m_sheet->window()));
}

} // namespace
