#pragma once

class HMSyncController;

// How a sync controller reports its run to its owner (the background sync manager). Every operation
// has an empty default.
class HMSyncControllerDelegate
{
public:
    virtual ~HMSyncControllerDelegate() = default;

    // Never called by the controller.
    virtual void syncWillStart() {}
    // On the thread that called startProcessing.
    virtual void syncDidStartForController(HMSyncController &controller) { (void)controller; }
    // On the main queue, once, at the end of the run, success or error; the controller's syncStage()
    // is then 12 (finished) or 13 (errored) and syncErrorDescription() the text for the user.
    virtual void syncDidFinishForController(HMSyncController &controller) { (void)controller; }
};
