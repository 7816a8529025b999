#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"

#include <QHash>
#include <QString>

#include <functional>
#include <memory>

class XMPPElement;

namespace platform {
class DispatchTimer;
}

// A tracked request: called with the response (or with none when its time runs out) and itself.
class XMPPTrackingInfo
{
public:
    virtual ~XMPPTrackingInfo();
    virtual void createTimerWithDispatchQueue(const std::shared_ptr<platform::DispatchQueue> &queue) = 0;
    virtual void cancelTimer() = 0;
    virtual void invokeWithObject(const std::shared_ptr<XMPPElement> &obj) = 0;
    virtual double timeout() const = 0;
    virtual QString elementID() const = 0;
    virtual void setElementID(const QString &elementID) = 0;
};

// The plain tracked request: a target with one of its member functions, or a block, and an optional
// one-shot timer. Owned by its tracker (std::shared_ptr); used on the tracker's queue only.
class XMPPBasicTrackingInfo final : public XMPPTrackingInfo, public std::enable_shared_from_this<XMPPBasicTrackingInfo>
{
public:
    using Block = std::function<void(const std::shared_ptr<XMPPElement> &obj, XMPPTrackingInfo *info)>;

    // The target is owned by the entry; the selector is called on it with the response and the entry.
    template <typename T>
    XMPPBasicTrackingInfo(const std::shared_ptr<T> &aTarget,
                          void (T::*aSelector)(const std::shared_ptr<XMPPElement> &, XMPPTrackingInfo *),
                          double aTimeout);
    XMPPBasicTrackingInfo(Block aBlock, double aTimeout);
    ~XMPPBasicTrackingInfo() override;

    void createTimerWithDispatchQueue(const std::shared_ptr<platform::DispatchQueue> &queue) override;
    void cancelTimer() override;
    void invokeWithObject(const std::shared_ptr<XMPPElement> &obj) override;
    double timeout() const override { return m_timeout; }
    QString elementID() const override { return m_elementID; }
    void setElementID(const QString &elementID) override { m_elementID = elementID; }

private:
    std::shared_ptr<void> m_target;
    Block m_selectorCall;
    Block m_block;
    double m_timeout;
    QString m_elementID;
    std::shared_ptr<platform::DispatchTimer> m_timer;
    bool m_timerCreated = false;
};

template <typename T>
XMPPBasicTrackingInfo::XMPPBasicTrackingInfo(const std::shared_ptr<T> &aTarget,
                                             void (T::*aSelector)(const std::shared_ptr<XMPPElement> &,
                                                                  XMPPTrackingInfo *),
                                             double aTimeout)
    : m_target(aTarget), m_timeout(aTimeout)
{
    HM_ASSERT(aTarget != nullptr, QStringLiteral("Invalid parameter not satisfying: aTarget"));
    HM_ASSERT(aSelector != nullptr, QStringLiteral("Invalid parameter not satisfying: aSelector"));
    // The entry owns the target (m_target), so the call may hold it by address.
    m_selectorCall = [target = aTarget.get(), aSelector](const std::shared_ptr<XMPPElement> &obj,
                                                         XMPPTrackingInfo *info) { (target->*aSelector)(obj, info); };
}

// Pairs the ids of sent requests with their callbacks. Every operation runs on the tracker's queue,
// where the timers fire too. Owned by one owner.
class XMPPIDTracker final
{
public:
    explicit XMPPIDTracker(std::shared_ptr<platform::DispatchQueue> aQueue);
    ~XMPPIDTracker();
    XMPPIDTracker(const XMPPIDTracker &) = delete;
    XMPPIDTracker &operator=(const XMPPIDTracker &) = delete;

    template <typename T>
    void addID(const QString &elementID, const std::shared_ptr<T> &target,
               void (T::*selector)(const std::shared_ptr<XMPPElement> &, XMPPTrackingInfo *), double timeout)
    {
        addID(elementID, std::make_shared<XMPPBasicTrackingInfo>(target, selector, timeout));
    }
    void addID(const QString &elementID, XMPPBasicTrackingInfo::Block block, double timeout);
    // Replaces an entry of the same id without cancelling its timer.
    void addID(const QString &elementID, const std::shared_ptr<XMPPTrackingInfo> &trackingInfo);
    bool invokeForID(const QString &elementID, const std::shared_ptr<XMPPElement> &obj);
    void removeID(const QString &elementID);
    void removeAllIDs();

private:
    void assertOnQueue() const;

    const std::shared_ptr<platform::DispatchQueue> m_queue;
    QHash<QString, std::shared_ptr<XMPPTrackingInfo>> m_dict;
};
