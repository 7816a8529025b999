#include "push/Client/HMXMPPClient.h"

#include <mutex>

namespace {

// Never destroyed: a status set from a background queue may still run while the program ends.
struct StatusSlot
{
    std::mutex mutex;
    QString text;
};

StatusSlot &slot()
{
    static StatusSlot *const shared = new StatusSlot;
    return *shared;
}

} // namespace

// Writers run on background queues and readers anywhere: the text is guarded, so a reader sees a whole
// old or a whole new text.
void HMXMPPClient::setStatus(const QString &status)
{
    StatusSlot &shared = slot();
    const std::lock_guard lock(shared.mutex);
    shared.text = status;
}

QString HMXMPPClient::currentStatus()
{
    StatusSlot &shared = slot();
    const std::lock_guard lock(shared.mutex);
    return shared.text;
}
