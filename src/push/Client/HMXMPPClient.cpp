#include "push/Client/HMXMPPClient.h"

#include <mutex>

namespace {

std::mutex s_statusMutex;
QString s_status;

} // namespace

// Writers run on background queues and readers anywhere: the text is guarded, so a reader sees a whole
// old or a whole new text.
void HMXMPPClient::setStatus(const QString &status)
{
    const std::lock_guard lock(s_statusMutex);
    s_status = status;
}

QString HMXMPPClient::currentStatus()
{
    const std::lock_guard lock(s_statusMutex);
    return s_status;
}
