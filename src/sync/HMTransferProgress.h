#pragma once

#include "sync/HMSyncClientDelegate.h"

#include <QString>

#include <mutex>
#include <optional>
#include <utility>

// How a transport tells its controller the progress of a request body going out and of a reply coming
// in: the first piece starts the sending or receiving, a whole body finishes it, and the pieces
// between post a step text with the fraction done. Thread-safe; one per transport.
class HMTransferProgress final
{
public:
    void bodySent(HMSyncClientDelegate &target, qint64 totalWritten, qint64 totalExpected)
    {
        if (begin(m_isSending))
            target.didStartSending();
        if (totalWritten >= totalExpected) {
            target.didFinishSending();
            end(m_isSending);
            return;
        }
        target.postStepNotificationWithMessage(QStringLiteral("Receiving from Device..."),
                                               double(totalWritten) / double(totalExpected));
    }

    // stepText: the text posted for a reply not yet whole; none posts nothing.
    void dataReceived(HMSyncClientDelegate &target, qint64 totalReceived, qint64 totalExpected,
                      const std::optional<QString> &stepText)
    {
        if (begin(m_isReceiving))
            target.didStartReceiving();
        if (totalReceived >= totalExpected) {
            target.didFinishReceiving();
            end(m_isReceiving);
            return;
        }
        if (stepText)
            target.postStepNotificationWithMessage(*stepText, double(totalReceived) / double(totalExpected));
    }

private:
    // Answers whether this piece is the first.
    bool begin(bool &flag)
    {
        const std::lock_guard lock(m_mutex);
        return !std::exchange(flag, true);
    }
    void end(bool &flag)
    {
        const std::lock_guard lock(m_mutex);
        flag = false;
    }

    std::mutex m_mutex;
    bool m_isSending = false;
    bool m_isReceiving = false;
};
