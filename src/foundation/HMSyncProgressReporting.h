#pragma once

#include <QString>

// A data source that asks the user the mass-deletion question: it receives the answer (true: carry
// out the deletions) on the main thread and releases its own sync thread, which waits for it.
class HMDeletionsWarningDelegate
{
public:
    virtual ~HMDeletionsWarningDelegate() = default;

    virtual void deletionsWarningReceivedResponse(bool shouldDelete) = 0;
};

// What sync code of every subsystem may ask of the progress sheet of the running sync. The sheet
// itself (a window of the application shell) implements it and registers itself with
// GlobalVariables::setCurrentSyncProgressController. Every operation may be called from any thread:
// the sheet moves its work to the main queue and the caller never waits for it.
class HMSyncProgressReporting
{
public:
    virtual ~HMSyncProgressReporting() = default;

    // Shows the text as the sheet's step message.
    virtual void setUserMessageDirectly(const QString &message) = 0;
    // Shows the text as the step message and moves the progress bar (0 to 1).
    virtual void setUserMessageDirectly(const QString &message, double progress) = 0;
    // Sets the overall text and the progress (0 to 1) when the text differs from the shown one.
    virtual void setOverallMessageDirectly(const QString &message, double progress) = 0;
    // Ends the sheet's run: "Sync Complete" for a null or empty error text, otherwise
    // "Sync did not finish" with the text.
    virtual void syncCompleted(const QString &errorText) = 0;
    // Asks the user the Yes/No mass-deletion question with the text.
    virtual void displayDeletionWarningWithMessage(const QString &message) = 0;
    // Offers the buttons that let the user sign in to the account again.
    virtual void displayReauthorizationButtons() = 0;
    // The object that gets the answer to the next mass-deletion question; not owned, and cleared by
    // its owner before it goes.
    virtual void setDeletionsWarningDelegate(HMDeletionsWarningDelegate *delegate) { static_cast<void>(delegate); }
    // Whether the sheet puts the mass-deletion question to a person, who answers through the
    // delegate; a sheet that answers false leaves the run to its answer without a sheet.
    virtual bool asksDeletionQuestions() const { return false; }
};
