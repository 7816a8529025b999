#include "ManualStepScheduler.h"

#include <algorithm>

std::function<void(std::chrono::milliseconds, ManualStepScheduler::Step)> ManualStepScheduler::function()
{
    const std::weak_ptr<ManualStepScheduler *> self = m_self;
    return [self](std::chrono::milliseconds delay, Step step) {
        if (const auto scheduler = self.lock())
            (*scheduler)->add(delay, std::move(step));
    };
}

void ManualStepScheduler::add(std::chrono::milliseconds delay, Step step)
{
    std::lock_guard lock(m_mutex);
    m_pending.push_back(Pending{m_now + std::max(delay, std::chrono::milliseconds(0)), delay, m_nextOrder++,
                                std::move(step)});
}

void ManualStepScheduler::advance(std::chrono::milliseconds by)
{
    std::unique_lock lock(m_mutex);
    const std::chrono::milliseconds target = m_now + by;
    for (;;) {
        const auto next = std::min_element(m_pending.begin(), m_pending.end(), [](const Pending &a, const Pending &b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next == m_pending.end() || next->due > target)
            break;
        m_now = std::max(m_now, next->due);
        Step step = std::move(next->step);
        m_pending.erase(next);
        lock.unlock();
        step();
        lock.lock();
    }
    m_now = target;
}

std::chrono::milliseconds ManualStepScheduler::now() const
{
    std::lock_guard lock(m_mutex);
    return m_now;
}

std::vector<std::chrono::milliseconds> ManualStepScheduler::pendingDelays() const
{
    std::lock_guard lock(m_mutex);
    std::vector<Pending> sorted = m_pending;
    std::sort(sorted.begin(), sorted.end(), [](const Pending &a, const Pending &b) { return a.due < b.due; });
    std::vector<std::chrono::milliseconds> delays;
    for (const Pending &pending : sorted)
        delays.push_back(pending.delay);
    return delays;
}

std::vector<std::chrono::milliseconds> ManualStepScheduler::pendingDueTimes() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::chrono::milliseconds> due;
    for (const Pending &pending : m_pending)
        due.push_back(pending.due);
    std::sort(due.begin(), due.end());
    return due;
}
