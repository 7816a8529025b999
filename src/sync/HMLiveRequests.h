#pragma once

#include <memory>
#include <vector>

namespace platform {
class RKRequest;
} // namespace platform

// The requests a transport has sent and not yet seen end, held weakly, so that the transport can
// silence and cancel those still alive when it goes.
//
// Not locked: the transport guards it with the lock that also guards its "going" flag, so that no
// request is remembered after the transport has collected the live ones.
class HMLiveRequests final
{
public:
    // Remembers the request and forgets those that have ended.
    void remember(const std::shared_ptr<platform::RKRequest> &request);
    // The requests still alive. Silence them outside the transport's lock: clearing a request's
    // callbacks waits for a callback under way, which may take that lock.
    std::vector<std::shared_ptr<platform::RKRequest>> alive() const;

private:
    std::vector<std::weak_ptr<platform::RKRequest>> m_requests;
};
