#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

// Lets callbacks that may run after their owner is gone (queued work, network replies, notification
// observers) reach the owner safely. The owner keeps a guard and hands out guard.wrap(callback); the
// wrapped callback holds only a weak reference to the guard's state. Until close() it calls the
// callback; close() waits for the calls under way and makes every later call do nothing. The owner
// calls close() first thing in its destructor, before anything the callbacks use goes away. When the
// owner is destroyed by code one of its own callbacks calls, close() does not wait for that call (it
// would wait for itself); that callback must return without touching the owner. Thread-safe.
class CallbackGuard final
{
    struct State
    {
        std::mutex mutex;
        std::condition_variable idle;
        int running = 0;     // guarded by mutex
        bool closed = false; // guarded by mutex
    };

    // One call of a wrapped callback: admitted while the guard is open, counted until it ends.
    class Call final
    {
    public:
        explicit Call(const std::weak_ptr<State> &weak);
        ~Call();
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;
        bool isAdmitted() const { return m_state != nullptr; }

    private:
        std::shared_ptr<State> m_state;
    };

public:
    CallbackGuard() = default;
    ~CallbackGuard() { close(); }
    CallbackGuard(const CallbackGuard &) = delete;
    CallbackGuard &operator=(const CallbackGuard &) = delete;

    // Waits until no wrapped callback runs; from then on they all return at once.
    void close();

    // The callback, run only while the guard is open. It returns nothing: a skipped call has no result.
    template<typename Callback>
    auto wrap(Callback callback) const
    {
        return [weak = std::weak_ptr<State>(m_state), callback = std::move(callback)](auto &&...arguments) {
            const Call call(weak);
            if (call.isAdmitted())
                callback(std::forward<decltype(arguments)>(arguments)...);
        };
    }

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace platform
