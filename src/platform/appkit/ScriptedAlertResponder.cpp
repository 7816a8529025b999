#include "platform/appkit/ScriptedAlertResponder.h"

#include "platform/foundation/ConsoleLog.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<ScriptedAlertResponder *> s_current{nullptr};

} // namespace

ScriptedAlertResponder::ScriptedAlertResponder(QList<int> returnCodes)
    : m_returnCodes(returnCodes.begin(), returnCodes.end()), m_previous(s_current.exchange(this))
{
}

ScriptedAlertResponder::~ScriptedAlertResponder()
{
    ScriptedAlertResponder *expected = this;
    s_current.compare_exchange_strong(expected, m_previous);
}

void ScriptedAlertResponder::appendReturnCode(int returnCode)
{
    const std::lock_guard lock(m_mutex);
    m_returnCodes.push_back(returnCode);
}

qsizetype ScriptedAlertResponder::remainingReturnCodes() const
{
    const std::lock_guard lock(m_mutex);
    return qsizetype(m_returnCodes.size());
}

QList<ScriptedAlertResponder::RecordedAlert> ScriptedAlertResponder::recordedAlerts() const
{
    const std::lock_guard lock(m_mutex);
    return m_recordedAlerts;
}

ScriptedAlertResponder *ScriptedAlertResponder::current()
{
    return s_current.load();
}

int ScriptedAlertResponder::answer(const Alert &alert)
{
    RecordedAlert record{alert.messageText(), alert.informativeText(), alert.buttonTitles(), alert.alertStyle(),
                         NSAlertFirstButtonReturn};
    bool isScripted = false;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_returnCodes.empty()) {
            record.returnCode = m_returnCodes.front();
            m_returnCodes.pop_front();
            isScripted = true;
        }
        m_recordedAlerts.append(record);
    }
    if (!isScripted) {
        consoleLog(QStringLiteral("No scripted answer left for the alert \"%1\"; answering with its first button")
                       .arg(alert.messageText()));
    }
    return record.returnCode;
}

} // namespace platform
