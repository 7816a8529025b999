#include "ui/accounts/HMCloudAccountOperations.h"

#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "platform/restkit/RKClient.h"

namespace {

class MainWindowOperations final : public HMCloudAccountOperations
{
public:
    QString validateQuillnestCredentials() override
    {
        const auto window = GlobalVariables::getMainWindowController();
        return window ? window->validateQuillnestCredentials() : QString();
    }
    QString hasQuillnestUsernameAndPassword() override
    {
        const auto window = GlobalVariables::getMainWindowController();
        return window ? window->hasQuillnestUsernameAndPassword() : QString();
    }
    QString createNewQuillnestUser() override
    {
        const auto window = GlobalVariables::getMainWindowController();
        return window ? window->createNewQuillnestUser() : QString();
    }
    void checkForGoogleConnector() override
    {
        if (const auto window = GlobalVariables::getMainWindowController())
            window->checkForGoogleConnector();
    }
    void makeNewGoogleConnector(const QString &refreshToken, const QString &email) override
    {
        if (const auto window = GlobalVariables::getMainWindowController())
            window->makeNewGoogleConnector(refreshToken, email);
    }
    bool isNetworkReachable() override
    {
        const std::shared_ptr<platform::RKClient> client = platform::RKClient::sharedClient();
        return !client || !client->isReachabilityDetermined() || client->isNetworkReachable();
    }
};

} // namespace

std::shared_ptr<HMCloudAccountOperations> HMCloudAccountOperations::mainWindowOperations()
{
    return std::make_shared<MainWindowOperations>();
}
