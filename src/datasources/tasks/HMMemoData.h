#pragma once

#include "sync/HMData.h"

#include "platform/applescript/NSAppleScript.h"

#include <QDateTime>
#include <QHash>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class HMOutlookDatFileHelper;
class HMOutlookIdBookkeeping;
class HMOutlookSQLiteHelper;
class HMProfile;

// The memo conduit (4): the notes of Outlook, and nothing else. One object serves one sync run on that
// run's queue. The listing reads one note at a time; the apply adds or updates notes with no conflict
// test; the memo map (device id to Outlook note id) is kept by the shared id bookkeeping, which commits
// a run's pairs with one write and never reads an unreadable id listing as an empty folder.
class HMMemoData final : public HMData
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
    QDateTime getOutlookLastModifiedDate() override;
    void clearOutlookDatFile(const QString &conduitName) override;
    void saveOutlookChanges() override;
    void writeConduitListReturned() override;
    QStringList findDeletes(const QStringList &deviceIds) override;
    void deleteOutlookUidRecords(const QStringList &hmUids) override;
    void replaceTempId(const QString &temporaryId, const QString &permanentId) override;
    void commitUniqueIds(bool wasSuccessful) override;
    QString outlookSentAddsPath() override;
    QHash<QString, QString> outlookPairs() override;
    bool keepOutlookPairs(const QVariantMap &pairs) override;
    QString saveFailure() const override { return m_outlookFailure; }
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
    enum class MemoStep { ReadDone, PairConfirmed, MapCommitted, MemoWritten, AppliedPairKept };
    static void setMemoStepHook(std::function<void(MemoStep)> hook);

    void setProfile(std::shared_ptr<HMProfile> profile) { m_profile = std::move(profile); }
    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignore) { m_ignoreDeletes = ignore; }

private:
    static void reachStep(MemoStep step);
    void ensureOutlookHelpers();
    quint64 profileSyncMethod() const;
    QString memoFolder() const;
    void fail(const QString &reason);
    QStringList memoCandidates(const QStringList &changed, const QSet<QString> &excludedHmUids);
    std::optional<QHash<QString, QString>> readMemoTexts(QStringList &candidates);
    std::optional<std::pair<QString, QString>> memoText(const platform::NSAppleEventDescriptor &result);
    QList<HMSyncRecord> memoRecords(const QStringList &candidates, const QHash<QString, QString> &texts);
    QList<HMSyncRecord> memoDeletions();
    QStringList categoryNamesOf(const QVariantMap &record) const;
    QString indexTextOf(const QVariantMap &record, qsizetype nameCount) const;
    QString categoryReferences(const QVariantMap &record);
    void buildDupeCheckDictionary();
    void keepMemoPair(const QString &outlookId, const QString &deviceId);
    platform::NSAppleEventDescriptor runWriteScript(const QString &script);

    bool m_ignoreDeletes = false;
    std::shared_ptr<HMOutlookSQLiteHelper> m_sqliteHelper;
    std::shared_ptr<HMOutlookDatFileHelper> m_datFileHelper;
    std::shared_ptr<HMOutlookIdBookkeeping> m_outlookIds;
    qint64 m_recordCounter = 0;
    QDateTime m_conduitLastListCommandReturned;
    std::shared_ptr<HMProfile> m_profile;
    std::optional<QVariantMap> m_outlookDupeCheckDictionary;
    // The pairs of this run's adds and merges, device id to Outlook id, read once from the map.
    std::optional<QHash<QString, QString>> m_applyMap;
    QString m_outlookFailure;
    bool m_readFailed = false;
    bool m_hasDatesToCommit = false;
    bool m_hasAppliedPairs = false;
    bool m_outlookGone = false;
    QDateTime m_readStamp;
    QDateTime m_lastOutlookWrite;
};
