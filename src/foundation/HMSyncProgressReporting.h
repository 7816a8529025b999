#pragma once

#include <QString>

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
};
