#pragma once

#include "sync/HMData.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <mutex>

// A Mac-side data source that keeps its records in memory: the records changed on the Mac (handed to
// the update stage) and the log of what the sync asked of it. Used on the run queue; the log is
// thread-safe.
class FakeSyncDataSource final : public HMData
{
public:
    explicit FakeSyncDataSource(QString name) : m_name(std::move(name)) {}

    // The Mac's records; those changed after the asked date (all for no date) go to the update stage.
    void setMacRecords(const QList<HMSyncRecord> &records) { m_macRecords = records; }
    // Called from cleanUpAfterSync, on the thread that posted "kHMCleanUpAfterSync".
    void setCleanUpHook(std::function<void()> hook) { m_cleanUpHook = std::move(hook); }
    QStringList calls() const;

    void prepareForUseOnThread() override { note(QStringLiteral("prepare")); }
    void stopUsingOnThread() override { note(QStringLiteral("stop")); }
    void saveChanges() override { note(QStringLiteral("save")); }
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                     const QSet<QString> &excludedHmUids) override;
    void deleteUidRecords(const QStringList &hmUids) override;
    void cleanUpAfterSync() override;

protected:
    QString className() const override { return m_name; }

private:
    void note(const QString &call);

    QString m_name;
    QList<HMSyncRecord> m_macRecords;
    std::function<void()> m_cleanUpHook;
    mutable std::mutex m_mutex;
    QStringList m_calls;
};
