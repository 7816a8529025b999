#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <memory>

namespace platform {

// The threads behind every serial and concurrent queue. A task submitted while no thread is idle gets
// a new thread at once, so tasks that block (waiting on a semaphore, polling a flag) never keep later
// tasks from running; a thread idle for a few seconds exits. High-priority tasks are taken first.
// One process-wide instance; thread-safe. Its state outlives static destruction, since worker threads
// may still be running blocks when the process exits.
class WorkerPool final
{
public:
    static WorkerPool &shared();

    // A task submitted by a task running on the pool is left to that worker, which takes it when its
    // task finishes; another thread is woken for it only if the running task waits (beforeBlocking)
    // or runs past about a millisecond. Other callers wake an idle thread or start one.
    void submit(DispatchBlock task, QueuePriority priority);

    // Called by the dispatch layer's waits (semaphores, groups, sync) before they block the calling
    // thread: tasks this worker's running task queued get threads of their own now.
    static void beforeBlocking();

    // How long a thread may stay idle before it exits (5 s unless changed); tests shorten it.
    void setIdleRetirement(DispatchDuration idleTime);

    // Waits until no task runs or waits for a thread, at most the time limit; whether that came.
    // Called before a program returns from main: detached workers still tearing something down
    // (a socket's TLS session, a parser) would otherwise run under the exit-time cleanup of the
    // libraries they use (OpenSSL and libxml2 free their locks then). Not from a worker thread.
    bool waitUntilIdle(DispatchDuration timeLimit);

    // Threads alive and idle right now; for tests and benchmarks.
    int threadCount() const;
    int idleThreadCount() const;

    struct State;

private:
    WorkerPool();

    std::shared_ptr<State> m_state;
};

} // namespace platform
