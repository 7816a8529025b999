#pragma once

#include "foundation/HMSyncProgressReporting.h"

#include <QStringList>

#include <mutex>

// A progress sheet that remembers what sync code asked it to show. Thread-safe.
class FakeProgressSheet final : public HMSyncProgressReporting
{
public:
    void setUserMessageDirectly(const QString &message) override
    {
        const std::lock_guard lock(m_mutex);
        m_userMessages.append(message);
    }
    void setUserMessageDirectly(const QString &message, double) override { setUserMessageDirectly(message); }
    void setOverallMessageDirectly(const QString &message, double) override
    {
        const std::lock_guard lock(m_mutex);
        m_overallMessages.append(message);
    }
    void syncCompleted(const QString &errorText) override
    {
        const std::lock_guard lock(m_mutex);
        m_completions.append(errorText);
    }
    void displayDeletionWarningWithMessage(const QString &) override {}
    void displayReauthorizationButtons() override {}

    QStringList userMessages() const
    {
        const std::lock_guard lock(m_mutex);
        return m_userMessages;
    }
    QStringList overallMessages() const
    {
        const std::lock_guard lock(m_mutex);
        return m_overallMessages;
    }
    QStringList completions() const
    {
        const std::lock_guard lock(m_mutex);
        return m_completions;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_userMessages;
    QStringList m_overallMessages;
    QStringList m_completions;
};
