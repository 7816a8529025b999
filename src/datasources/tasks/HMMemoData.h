#pragma once

#include "datasources/tasks/OutlookDuplicateIndex.h"
#include "outlook/HMOutlookConduitForwards.h"
#include "sync/HMData.h"

#include "platform/applescript/NSAppleScript.h"

#include <QDateTime>
#include <QHash>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class HMProfile;

// The memo conduit (4): the notes of Outlook, and nothing else. One object serves one sync run on that
// run's queue. The listing reads one note at a time; the apply adds or updates notes with no conflict
// test; the memo map (device id to Outlook note id) is kept by the shared id bookkeeping, which commits
// a run's pairs with one write and never reads an unreadable id listing as an empty folder (the shared
// Outlook conduit bookkeeping, HMOutlookConduit).
class HMMemoData final : public HMOutlookConduitForwards<HMData>
{
public:
    HMMemoData();
    ~HMMemoData() override;

    QString className() const override { return QStringLiteral("HMMemoData"); }
    // Registers the class as the memo conduit's data source; the conduit runs for Outlook profiles only.
    static void registerDataSourceClass();

    // The listing (HMMemoData.cpp): the notes changed after the date as memo records, then Outlook's
    // deletions when asked. nullopt, with saveFailure() set, when Outlook could not be read.
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids) override;
    void deleteOutlookUidRecords(const QStringList &hmUids) override;
    QString saveFailure() const override { return m_outlookMemos->failure(); }
    platform::Status syncAppliedChangesToDisk() override;

    // The memo text of a note (its iCalendar text, "CATEGORIES:" line, "PLAINTEXTNOTE:" and
    // "OUTLOOKID:") as the memo record of the profile's sync method.
    QVariantMap pppDictionaryForOutlookMemo(const QString &text);

    // The write side (HMMemoData+OutlookWrite.cpp).
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    QString isOutlookDuplicate(const QVariantMap &record);
    void addNewOutlookMemoWithDictionary(const QVariantMap &record);
    void updateOutlookMemoWithUniqueId(const QString &outlookId, const QVariantMap &record);
    QString propertiesStringFromMemoDictionary(const QVariantMap &record);

    // The moments of the memo path the crash tests stop a run at.
    using MemoStep = HMOutlookConduit::Step;
    static void setMemoStepHook(std::function<void(MemoStep)> hook);

    void setProfile(std::shared_ptr<HMProfile> profile);
    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignore) { m_ignoreDeletes = ignore; }

private:
    HMOutlookConduit &outlookMemos();
    HMOutlookConduit &outlookConduit() override { return outlookMemos(); }
    void ensureMemoFolder();
    quint64 profileSyncMethod() const;
    QString memoFolder() const;
    QStringList categoryNamesOf(const QVariantMap &record) const;
    QString indexTextOf(const QVariantMap &record, qsizetype nameCount) const;
    QString categoryReferences(const QVariantMap &record);
    void buildDupeCheckDictionary();
    void keepMemoPair(const QString &outlookId, const QString &deviceId);
    platform::NSAppleEventDescriptor runWriteScript(const QString &script);

    bool m_ignoreDeletes = false;
    bool m_folderChecked = false;
    const std::unique_ptr<HMOutlookConduit> m_outlookMemos;
    qint64 m_recordCounter = 0;
    // Outlook's unpaired notes by what a duplicate shares, listed on the run's first duplicate test.
    std::optional<OutlookDuplicateIndex> m_outlookDuplicates;
    bool m_outlookGone = false;
};
