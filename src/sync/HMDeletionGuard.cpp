#include "sync/HMDeletionGuard.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>

namespace {

constexpr qsizetype kLeastQuestionedDeletions = 11;
constexpr auto kCancelLookInterval = std::chrono::milliseconds(200);

std::atomic<bool> s_answerWithoutSheet{false};

// Receives the sheet's answer on the main thread and hands it to the waiting sync thread.
class AnswerWaiter final : public HMDeletionsWarningDelegate
{
public:
    void deletionsWarningReceivedResponse(bool shouldDelete) override
    {
        const std::lock_guard lock(m_mutex);
        m_answer = shouldDelete;
        m_answered.notify_all();
    }

    std::optional<bool> waitFor(std::chrono::milliseconds interval)
    {
        std::unique_lock lock(m_mutex);
        m_answered.wait_for(lock, interval, [this] { return m_answer.has_value(); });
        return m_answer;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::optional<bool> m_answer;
};

} // namespace

namespace deletionguard {

bool needsQuestion(qsizetype deletions, qsizetype records)
{
    return deletions >= kLeastQuestionedDeletions && deletions * 2 > records;
}

QString recordsNoun(quint64 conduit)
{
    static const char *const nouns[] = {"records", "contacts", "events", "tasks", "memos"};
    return QLatin1String(nouns[conduit < std::size(nouns) ? conduit : 0]);
}

QString questionText(qsizetype deletions, qsizetype records, quint64 conduit, const QString &sideName)
{
    return QStringLiteral("Delete %1 of the %2 %3 on the %4?")
        .arg(deletions)
        .arg(records)
        .arg(recordsNoun(conduit), sideName);
}

bool askToDelete(const QString &question, const std::function<bool()> &isCancelled)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet || !sheet->asksDeletionQuestions()) {
        const bool deletes = answerWithoutSheet();
        DDLogWarn(QStringLiteral("%1 No one to ask: %2")
                      .arg(question, deletes ? QStringLiteral("deleting") : QStringLiteral("deleting nothing")));
        return deletes;
    }
    const auto waiter = std::make_shared<AnswerWaiter>();
    platform::DispatchQueue::main()->async([sheet, waiter, question] {
        sheet->setDeletionsWarningDelegate(waiter.get());
        sheet->displayDeletionWarningWithMessage(question);
    });
    std::optional<bool> answer;
    while (!(answer = waiter->waitFor(kCancelLookInterval)) && !(isCancelled && isCancelled())) {
    }
    // The sheet lets go of the waiter on the main thread, which the block keeps alive until then.
    platform::DispatchQueue::main()->async([sheet, waiter] { sheet->setDeletionsWarningDelegate(nullptr); });
    DDLogInfo(QStringLiteral("%1 Answer: %2")
                  .arg(question, answer.value_or(false) ? QStringLiteral("Yes") : QStringLiteral("No")));
    return answer.value_or(false);
}

void setAnswerWithoutSheet(bool deletes)
{
    s_answerWithoutSheet.store(deletes);
}

bool answerWithoutSheet()
{
    return s_answerWithoutSheet.load();
}

} // namespace deletionguard
