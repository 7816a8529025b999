#include "platform/restkit/RKObjectManager.h"

#include <mutex>

namespace platform {

namespace {

std::mutex s_sharedMutex;
std::shared_ptr<RKObjectManager> s_sharedManager;
bool s_hasMadeManager = false;

} // namespace

std::shared_ptr<RKObjectManager> RKObjectManager::objectManagerWithBaseURL(const QString &baseUrl)
{
    std::shared_ptr<RKObjectManager> manager(new RKObjectManager(RKClient::clientWithBaseURL(baseUrl)));
    const std::lock_guard lock(s_sharedMutex);
    if (!s_hasMadeManager) {
        s_hasMadeManager = true;
        s_sharedManager = manager;
    }
    return manager;
}

std::shared_ptr<RKObjectManager> RKObjectManager::sharedManager()
{
    const std::lock_guard lock(s_sharedMutex);
    return s_sharedManager;
}

void RKObjectManager::setSharedManager(const std::shared_ptr<RKObjectManager> &manager)
{
    const std::lock_guard lock(s_sharedMutex);
    s_hasMadeManager = true;
    s_sharedManager = manager;
}

} // namespace platform
