#pragma once

#include "platform/appkit/Alert.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <mutex>

namespace platform {

// Answers alerts from a script instead of showing them, for tests. While one exists, every Alert's
// runModal and beginSheetModalForWindow take the next code of the script and record the alert's
// texts; a sheet's handler then runs from the event loop, as it would after a click. An alert with
// no answer left gets its first button's code, and the shortfall is logged. One responder at a time
// (a second one replaces the first until it goes). Install and answer on the main thread.
class ScriptedAlertResponder final
{
public:
    struct RecordedAlert
    {
        QString messageText;
        QString informativeText;
        QStringList buttonTitles;
        AlertStyle alertStyle = AlertStyle::Warning;
        int returnCode = 0;
    };

    explicit ScriptedAlertResponder(QList<int> returnCodes = {});
    ~ScriptedAlertResponder();
    ScriptedAlertResponder(const ScriptedAlertResponder &) = delete;
    ScriptedAlertResponder &operator=(const ScriptedAlertResponder &) = delete;

    void appendReturnCode(int returnCode);
    qsizetype remainingReturnCodes() const;
    QList<RecordedAlert> recordedAlerts() const;

    // The installed responder, or null when alerts are shown.
    static ScriptedAlertResponder *current();
    // Records the alert and answers it.
    int answer(const Alert &alert);

private:
    mutable std::mutex m_mutex;
    std::deque<int> m_returnCodes;
    QList<RecordedAlert> m_recordedAlerts;
    ScriptedAlertResponder *m_previous = nullptr;
};

} // namespace platform
