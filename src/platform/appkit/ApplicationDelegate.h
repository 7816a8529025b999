#pragma once

namespace platform {

// What the application object tells its delegate: the two launch steps, activation, reopen (the user
// asked a running application to come forward), hiding and the visibility of its windows. Every
// answer is optional. Called on the main thread.
class ApplicationDelegate
{
public:
    virtual ~ApplicationDelegate() = default;

    virtual void applicationWillFinishLaunching() {}
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationDidBecomeActive() {}
    virtual void applicationWillResignActive() {}
    // Answers whether the application should do its usual reopen work.
    virtual bool applicationShouldHandleReopen(bool hasVisibleWindows)
    {
        static_cast<void>(hasVisibleWindows);
        return true;
    }
    virtual void applicationDidHide() {}
    virtual void applicationDidUnhide() {}
    virtual void applicationDidChangeOcclusionState() {}
};

} // namespace platform
