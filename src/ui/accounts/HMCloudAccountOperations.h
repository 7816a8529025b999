#pragma once

#include <QString>

#include <memory>

// What the cloud account sheet asks of the main window: each operation starts a request of the cloud
// client for the main window's profile and returns at once; the answers come as notifications on the
// default centre. The sheet never talks to the network itself.
class HMCloudAccountOperations
{
public:
    virtual ~HMCloudAccountOperations() = default;

    virtual QString validateQuillnestCredentials() = 0;
    virtual QString hasQuillnestUsernameAndPassword() = 0;
    virtual QString createNewQuillnestUser() = 0;
    virtual void checkForGoogleConnector() = 0;
    virtual void makeNewGoogleConnector(const QString &refreshToken, const QString &email) = 0;
    // Whether the network counts as reachable: while reachability is not yet determined, it does.
    virtual bool isNetworkReachable() = 0;

    // The main window's operations (GlobalVariables::getMainWindowController), reachability from the
    // REST framework's shared client.
    static std::shared_ptr<HMCloudAccountOperations> mainWindowOperations();
};
