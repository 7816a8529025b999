#include "push/XMPP/Core/XMPPIDTracker.h"

#include "platform/dispatch/DispatchTimer.h"
#include "push/XMPP/Core/XMPPElement.h"

using platform::DispatchQueue;

XMPPTrackingInfo::~XMPPTrackingInfo() = default;

XMPPBasicTrackingInfo::XMPPBasicTrackingInfo(Block aBlock, double aTimeout)
    : m_block(std::move(aBlock)), m_timeout(aTimeout)
{
    HM_ASSERT(m_block != nullptr, QStringLiteral("Invalid parameter not satisfying: aBlock"));
}

XMPPBasicTrackingInfo::~XMPPBasicTrackingInfo()
{
    cancelTimer();
}

void XMPPBasicTrackingInfo::createTimerWithDispatchQueue(const std::shared_ptr<DispatchQueue> &queue)
{
    HM_ASSERT(queue != nullptr, QStringLiteral("Method invoked with NULL queue"));
    HM_ASSERT(!m_timerCreated, QStringLiteral("Method invoked multiple times"));
    m_timerCreated = true;
    if (m_timeout <= 0)
        return;
    m_timer = platform::DispatchTimer::create(queue);
    // The timer belongs to the entry: its handler must not keep the entry alive.
    m_timer->setEventHandler([weak = weak_from_this()] {
        if (const auto info = weak.lock())
            info->invokeWithObject(nullptr);
    });
    m_timer->schedule(m_timeout, 0, 0);
    m_timer->resume();
}

void XMPPBasicTrackingInfo::cancelTimer()
{
    if (!m_timer)
        return;
    m_timer->cancel();
    m_timer.reset();
}

void XMPPBasicTrackingInfo::invokeWithObject(const std::shared_ptr<XMPPElement> &obj)
{
    if (m_block)
        m_block(obj, this);
    else if (m_selectorCall)
        m_selectorCall(obj, this);
}

XMPPIDTracker::XMPPIDTracker(std::shared_ptr<DispatchQueue> aQueue) : m_queue(std::move(aQueue))
{
    HM_ASSERT(m_queue != nullptr, QStringLiteral("Invalid parameter not satisfying: aQueue != NULL"));
}

XMPPIDTracker::~XMPPIDTracker()
{
    for (const auto &info : std::as_const(m_dict))
        info->cancelTimer();
    m_dict.clear();
}

void XMPPIDTracker::assertOnQueue() const
{
    HM_ASSERT(m_queue->isCurrent(), QStringLiteral("Invoked on incorrect queue"));
}

void XMPPIDTracker::addID(const QString &elementID, XMPPBasicTrackingInfo::Block block, double timeout)
{
    addID(elementID, std::make_shared<XMPPBasicTrackingInfo>(std::move(block), timeout));
}

void XMPPIDTracker::addID(const QString &elementID, const std::shared_ptr<XMPPTrackingInfo> &trackingInfo)
{
    assertOnQueue();
    m_dict.insert(elementID, trackingInfo);
    trackingInfo->setElementID(elementID);
    trackingInfo->createTimerWithDispatchQueue(m_queue);
}

bool XMPPIDTracker::invokeForID(const QString &elementID, const std::shared_ptr<XMPPElement> &obj)
{
    assertOnQueue();
    const auto info = m_dict.value(elementID);
    if (!info)
        return false;
    info->invokeWithObject(obj);
    info->cancelTimer();
    m_dict.remove(elementID);
    return true;
}

void XMPPIDTracker::removeID(const QString &elementID)
{
    assertOnQueue();
    if (const auto info = m_dict.take(elementID))
        info->cancelTimer();
}

void XMPPIDTracker::removeAllIDs()
{
    assertOnQueue();
    for (const auto &info : std::as_const(m_dict))
        info->cancelTimer();
    m_dict.clear();
}
