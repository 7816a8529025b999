#include "push/XMPP/Core/XMPPElementReceipt.h"

namespace {

constexpr std::uint32_t kFailureSignalled = 1U << 0;
constexpr std::uint32_t kSuccessSignalled = 1U << 1;

} // namespace

XMPPElementReceipt::XMPPElementReceipt() : m_semaphore(platform::DispatchSemaphore::create(0)) {}

void XMPPElementReceipt::signalSuccess()
{
    m_atomicFlags.fetch_or(kSuccessSignalled, std::memory_order_seq_cst);
    m_semaphore->signal();
}

void XMPPElementReceipt::signalFailure()
{
    m_atomicFlags.fetch_or(kFailureSignalled, std::memory_order_seq_cst);
    m_semaphore->signal();
}

bool XMPPElementReceipt::wait(double timeout_seconds)
{
    if (m_atomicFlags.load() != 0)
        return m_atomicFlags.load() == kSuccessSignalled;
    if (timeout_seconds < 0)
        m_semaphore->wait();
    else if (!m_semaphore->wait(platform::durationFromSeconds(timeout_seconds)))
        return false;
    return m_atomicFlags.load() == kSuccessSignalled;
}
