#pragma once

#include "sync/HMSyncClientDelegate.h"

#include <QString>

#include <mutex>

// Turns a transport's byte counts into the sync client delegate's calls: a start at the first chunk
// of a body, an end once every byte went, a step notification for the chunks between. The sending and
// receiving halves are tracked apart, and the counts may come from the HTTP client's own thread.
class HMTransferProgress final
{
public:
    // A chunk of a request body went; the step message (empty for none) names the stage the user sees.
    void bodySent(HMSyncClientDelegate &target, qint64 sent, qint64 expected, const QString &stepMessage)
    {
        report(m_sending, target, sent, expected, stepMessage, &HMSyncClientDelegate::didStartSending,
               &HMSyncClientDelegate::didFinishSending);
    }
    // A chunk of a reply arrived.
    void replyReceived(HMSyncClientDelegate &target, qint64 received, qint64 expected, const QString &stepMessage)
    {
        report(m_receiving, target, received, expected, stepMessage, &HMSyncClientDelegate::didStartReceiving,
               &HMSyncClientDelegate::didFinishReceiving);
    }

private:
    using Call = void (HMSyncClientDelegate::*)();

    void report(bool &isUnderway, HMSyncClientDelegate &target, qint64 done, qint64 expected,
                const QString &stepMessage, Call start, Call finish)
    {
        bool isFirst = false;
        {
            const std::lock_guard lock(m_mutex);
            isFirst = !isUnderway;
            isUnderway = true;
        }
        if (isFirst)
            (target.*start)();
        if (done >= expected) {
            (target.*finish)();
            const std::lock_guard lock(m_mutex);
            isUnderway = false;
            return;
        }
        if (!stepMessage.isEmpty())
            target.postStepNotificationWithMessage(stepMessage, double(done) / double(expected));
    }

    std::mutex m_mutex;
    bool m_sending = false;
    bool m_receiving = false;
};
