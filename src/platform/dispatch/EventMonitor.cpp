#include "platform/dispatch/EventMonitor.h"

#include "platform/dispatch/DispatchLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

namespace {

// The tags of the monitor's outer epoll set: the timerfd, and the inner set of watched descriptors.
constexpr EventMonitor::Id kTimerTag = 0;
constexpr EventMonitor::Id kDescriptorsTag = 1;
constexpr int kEventsPerWait = 64;

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

struct EventMonitor::State
{
    struct Watch
    {
        int fd = -1;
        std::uint32_t events = 0;
        bool isArmed = false;
        std::function<void()> ready;
    };

    // epoll takes one entry per descriptor, so every watch on a descriptor shares one registration
    // whose interest is the union of its armed watches. The entry is one-shot: the kernel disables it
    // after each report, and the monitor re-enables it for the watches still armed.
    struct Registration
    {
        Id tag = 0;
        std::vector<Id> watchIds;
        // The events the kernel entry currently waits for; zero once a report disabled it.
        std::uint32_t kernelEvents = 0;
    };

    std::mutex mutex;
    // The monitor thread waits on the outer set, which holds the timerfd and the inner set; the
    // inner set holds the watched descriptors, so that an idle worker may take their reports
    // (handleReportedDescriptors) while the clock stays with the monitor thread.
    int epollFd = -1;
    int descriptorsFd = -1;
    int timerFd = -1;
    Id nextId = 1;
    std::map<std::pair<DispatchTime, Id>, std::function<void()>> timers;
    std::unordered_map<Id, DispatchTime> timerDeadlines;
    std::unordered_map<Id, Watch> watches;
    std::unordered_map<int, Registration> registrations;
    // Registration tags are never reused, so a report fetched before a descriptor was dropped and its
    // number reused cannot reach the new registration.
    std::unordered_map<Id, int> descriptorsByTag;
    DispatchTime armedDeadline = DispatchTime::max();
    // The deadline from which an idle worker keeps the clock (see keepClock); max() when none does.
    DispatchTime keptFrom = DispatchTime::max();

    // Points the descriptor's kernel entry at the union of its armed watches. With nothing armed the
    // entry is left as it is, or made a one-shot entry with no events, which reports nothing but an
    // error or hang-up, and that once. Called with the mutex held.
    void updateRegistration(int fd)
    {
        const auto registration = registrations.find(fd);
        if (registration == registrations.end())
            return;
        std::uint32_t wanted = 0;
        for (const Id watchId : registration->second.watchIds) {
            const auto watch = watches.find(watchId);
            if (watch != watches.end() && watch->second.isArmed)
                wanted |= watch->second.events;
        }
        if (wanted == registration->second.kernelEvents)
            return;
        epoll_event event{};
        event.events = wanted | EPOLLONESHOT;
        event.data.u64 = registration->second.tag;
        if (epoll_ctl(descriptorsFd, EPOLL_CTL_MOD, fd, &event) != 0)
            logDispatchProblem(
                QStringLiteral("descriptor %1 cannot be re-armed: %2").arg(fd).arg(systemErrorText(errno)));
        registration->second.kernelEvents = wanted;
    }

    void setArmed(Id id, bool isArmed)
    {
        const auto watch = watches.find(id);
        if (watch == watches.end())
            return;
        watch->second.isArmed = isArmed;
        updateRegistration(watch->second.fd);
    }

    // Takes the watches of a reported descriptor that wait for what was reported; an error or hang-up
    // wakes them all, so that their handlers meet it. Called with the mutex held.
    void collectReadyWatches(Id tag, std::uint32_t reported, std::vector<std::function<void()>> &due)
    {
        const auto descriptor = descriptorsByTag.find(tag);
        if (descriptor == descriptorsByTag.end())
            return;
        const auto registration = registrations.find(descriptor->second);
        if (registration == registrations.end())
            return;
        registration->second.kernelEvents = 0;
        for (const Id watchId : registration->second.watchIds) {
            const auto watch = watches.find(watchId);
            if (watch == watches.end() || !watch->second.isArmed ||
                (reported & (watch->second.events | EPOLLERR | EPOLLHUP)) == 0) {
                continue;
            }
            watch->second.isArmed = false;
            due.push_back(watch->second.ready);
        }
        updateRegistration(descriptor->second);
    }

    // Points the timerfd at the earliest deadline, unless a worker keeps the clock from there on.
    // Called with the mutex held.
    void rearmTimerFd()
    {
        DispatchTime earliest = timers.empty() ? DispatchTime::max() : timers.begin()->first.first;
        if (earliest >= keptFrom)
            earliest = DispatchTime::max();
        if (earliest == armedDeadline)
            return;
        armedDeadline = earliest;
        itimerspec setting{};
        if (earliest != DispatchTime::max()) {
            const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch());
            // A zero it_value would disarm the timer; a deadline at the clock's origin is long past anyway.
            const auto nanoseconds = std::max<std::int64_t>(sinceEpoch.count(), 1);
            setting.it_value.tv_sec = time_t(nanoseconds / 1000000000);
            setting.it_value.tv_nsec = long(nanoseconds % 1000000000);
        }
        timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &setting, nullptr);
    }

    void collectDueTimers(std::vector<std::function<void()>> &due)
    {
        const DispatchTime now = DispatchClock::now();
        while (!timers.empty() && timers.begin()->first.first <= now) {
            auto node = timers.extract(timers.begin());
            timerDeadlines.erase(node.key().second);
            due.push_back(std::move(node.mapped()));
        }
    }

    // Takes the descriptor reports the kernel holds, without waiting, into due. Called with the
    // mutex held; answers whether there was any.
    bool collectReportedDescriptors(std::vector<std::function<void()>> &due)
    {
        epoll_event events[kEventsPerWait];
        const int count = epoll_wait(descriptorsFd, events, kEventsPerWait, 0);
        for (int index = 0; index < count; ++index)
            collectReadyWatches(events[index].data.u64, events[index].events, due);
        return count > 0;
    }

    void run()
    {
        epoll_event events[2];
        for (;;) {
            const int count = epoll_wait(epollFd, events, 2, -1);
            if (count < 0) {
                if (errno != EINTR)
                    logDispatchProblem(QStringLiteral("event wait failed: %1").arg(systemErrorText(errno)));
                continue;
            }
            std::vector<std::function<void()>> due;
            {
                std::lock_guard lock(mutex);
                for (int index = 0; index < count; ++index) {
                    if (events[index].data.u64 != kTimerTag)
                        continue;
                    std::uint64_t expirations = 0;
                    [[maybe_unused]] const ssize_t bytes = read(timerFd, &expirations, sizeof expirations);
                    armedDeadline = DispatchTime::min();
                }
                collectReportedDescriptors(due);
                collectDueTimers(due);
                rearmTimerFd();
            }
            for (const std::function<void()> &callback : due)
                callback();
        }
    }
};

namespace {

// The state of the running monitor, for handleReportedDescriptors. The monitor thread holds it for
// the life of the process, so the bare pointer stays good through static destruction.
std::atomic<EventMonitor::State *> s_runningState{nullptr};

void *monitorEntry(void *argument)
{
    // The thread keeps its own reference: the state must outlive the static instance.
    std::unique_ptr<std::shared_ptr<EventMonitor::State>> handOver(
        static_cast<std::shared_ptr<EventMonitor::State> *>(argument));
    const std::shared_ptr<EventMonitor::State> state = std::move(*handOver);
    handOver.reset();
    pthread_setname_np(pthread_self(), "hm-dispatch-ev");
    state->run();
    return nullptr;
}

} // namespace

EventMonitor::EventMonitor() : m_state(std::make_shared<State>())
{
    m_state->epollFd = epoll_create1(EPOLL_CLOEXEC);
    m_state->descriptorsFd = epoll_create1(EPOLL_CLOEXEC);
    m_state->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_state->epollFd < 0 || m_state->descriptorsFd < 0 || m_state->timerFd < 0) {
        logDispatchProblem(QStringLiteral("cannot create the event monitor: %1").arg(systemErrorText(errno)));
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kTimerTag;
    epoll_ctl(m_state->epollFd, EPOLL_CTL_ADD, m_state->timerFd, &event);
    event.data.u64 = kDescriptorsTag;
    epoll_ctl(m_state->epollFd, EPOLL_CTL_ADD, m_state->descriptorsFd, &event);

    auto argument = std::make_unique<std::shared_ptr<State>>(m_state);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, monitorEntry, argument.get()) == 0) {
        argument.release();
        s_runningState.store(m_state.get(), std::memory_order_release);
    } else
        logDispatchProblem(QStringLiteral("cannot start the event monitor thread"));
    pthread_attr_destroy(&attributes);
}

EventMonitor &EventMonitor::shared()
{
    static EventMonitor monitor;
    return monitor;
}

bool EventMonitor::handleReportedDescriptors()
{
    State *const state = s_runningState.load(std::memory_order_acquire);
    if (state == nullptr)
        return false;
    std::vector<std::function<void()>> due;
    {
        std::lock_guard lock(state->mutex);
        if (!state->collectReportedDescriptors(due))
            return false;
    }
    for (const std::function<void()> &callback : due)
        callback();
    return true;
}

DispatchTime EventMonitor::keepClock()
{
    State *const state = s_runningState.load(std::memory_order_acquire);
    if (state == nullptr)
        return DispatchTime::max();
    std::lock_guard lock(state->mutex);
    if (state->timers.empty() || state->keptFrom != DispatchTime::max())
        return DispatchTime::max();
    state->keptFrom = state->timers.begin()->first.first;
    state->rearmTimerFd();
    return state->keptFrom;
}

void EventMonitor::releaseClock()
{
    State *const state = s_runningState.load(std::memory_order_acquire);
    if (state == nullptr)
        return;
    std::vector<std::function<void()>> due;
    {
        std::lock_guard lock(state->mutex);
        state->keptFrom = DispatchTime::max();
        state->collectDueTimers(due);
        state->rearmTimerFd();
    }
    for (const std::function<void()> &callback : due)
        callback();
}

EventMonitor::Id EventMonitor::addTimer(DispatchTime deadline, std::function<void()> fire)
{
    std::lock_guard lock(m_state->mutex);
    const Id id = m_state->nextId++;
    m_state->timers.emplace(std::make_pair(deadline, id), std::move(fire));
    m_state->timerDeadlines.emplace(id, deadline);
    m_state->rearmTimerFd();
    return id;
}

void EventMonitor::cancelTimer(Id id)
{
    std::function<void()> dropped;
    std::lock_guard lock(m_state->mutex);
    const auto deadline = m_state->timerDeadlines.find(id);
    if (deadline == m_state->timerDeadlines.end())
        return;
    const auto timer = m_state->timers.find(std::make_pair(deadline->second, id));
    // The callback may hold the last reference to a source; destroy it after the lock is released.
    dropped = std::move(timer->second);
    m_state->timers.erase(timer);
    m_state->timerDeadlines.erase(deadline);
    m_state->rearmTimerFd();
}

Result<EventMonitor::Id> EventMonitor::addWatch(int fd, Readiness readiness, std::function<void()> ready)
{
    std::lock_guard lock(m_state->mutex);
    auto registration = m_state->registrations.find(fd);
    if (registration == m_state->registrations.end()) {
        // Added disarmed: a one-shot entry with no events reports nothing until armed.
        const Id tag = m_state->nextId++;
        epoll_event event{};
        event.events = EPOLLONESHOT;
        event.data.u64 = tag;
        if (epoll_ctl(m_state->descriptorsFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            return Error(ErrorCode::IoOther,
                         QStringLiteral("descriptor %1 cannot be watched: %2").arg(fd).arg(systemErrorText(errno)));
        }
        State::Registration added;
        added.tag = tag;
        registration = m_state->registrations.emplace(fd, std::move(added)).first;
        m_state->descriptorsByTag.emplace(tag, fd);
    }
    const Id id = m_state->nextId++;
    State::Watch watch;
    watch.fd = fd;
    watch.events = readiness == Readiness::Read ? EPOLLIN : EPOLLOUT;
    watch.ready = std::move(ready);
    m_state->watches.emplace(id, std::move(watch));
    registration->second.watchIds.push_back(id);
    return id;
}

void EventMonitor::armWatch(Id id)
{
    std::lock_guard lock(m_state->mutex);
    m_state->setArmed(id, true);
}

void EventMonitor::disarmWatch(Id id)
{
    std::lock_guard lock(m_state->mutex);
    m_state->setArmed(id, false);
}

void EventMonitor::removeWatch(Id id)
{
    std::function<void()> dropped;
    std::lock_guard lock(m_state->mutex);
    const auto watch = m_state->watches.find(id);
    if (watch == m_state->watches.end())
        return;
    const int fd = watch->second.fd;
    dropped = std::move(watch->second.ready);
    m_state->watches.erase(watch);
    const auto registration = m_state->registrations.find(fd);
    std::vector<Id> &watchIds = registration->second.watchIds;
    watchIds.erase(std::find(watchIds.begin(), watchIds.end(), id));
    if (!watchIds.empty()) {
        // The other watches of the descriptor keep their interest.
        m_state->updateRegistration(fd);
        return;
    }
    // The last watch gone, the entry goes at once, so that the descriptor may be closed.
    epoll_ctl(m_state->descriptorsFd, EPOLL_CTL_DEL, fd, nullptr);
    m_state->descriptorsByTag.erase(registration->second.tag);
    m_state->registrations.erase(registration);
}

} // namespace platform
