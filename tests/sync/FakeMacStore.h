#pragma once

#include "sync/HMData.h"

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <mutex>

// A Mac store in memory behind the data-source base class, for whole sync runs against the fake
// transport. It keeps records by native id, joins them to the device's ids through the conduit's real
// identifier graph, applies device records under the conflict settings as the real data sources do,
// hands its changes to the update stage (new records under temporary ids, which the update replies
// replace) and remembers what the run asked of it.
//
// Conflict rules for a device update of a record the Mac also changed since the last sync:
// 0 the newer change wins (the record's "LASTMODIFIED" against the Mac's change time), 1 the Mac wins,
// 3 both are kept (the device's version becomes a new Mac record, the Mac's own one is sent as new),
// and every other number lets the device win. A record without "UID" is refused.
//
// Used on the run queue (and on the transport's thread while the run queue waits); the call log and
// the open count are thread-safe.
class FakeMacStore final : public HMData
{
public:
    struct MacRecord
    {
        QString nativeId;
        QVariantMap fields;
        QDateTime modified;
        bool isDeleted = false;
    };

    // The class name the store answers to ("HMContactData", ...); Outlook stores use the Outlook
    // operations and record each sent record's native id as its Outlook id.
    explicit FakeMacStore(QString className);

    // Setting up the Mac side before a run. A record with a device id counts as synchronised.
    void putMacRecord(const QString &nativeId, const QVariantMap &fields, const QDateTime &modified,
                      const QString &deviceId = QString());
    // Deletes a record on the Mac at the given time; a synchronised one is then sent as a deletion.
    void deleteMacRecord(const QString &nativeId, const QDateTime &when);
    void setAddressBookInaccessible(bool inaccessible) { m_addressBookInaccessible = inaccessible; }
    void setOutlookLastModifiedDate(const QDateTime &date) { m_outlookLastModified = date; }
    // The time the store stamps on records written from the device.
    void setWriteTime(const QDateTime &when) { m_writeTime = when; }

    // What the Mac side holds after a run.
    QList<MacRecord> records() const;
    std::optional<MacRecord> recordForDeviceId(const QString &deviceId) const;
    // Every device id the identifier graph knows, sorted.
    QStringList deviceIds() const;
    // "prepare", "stop", "save", "apply 2 d1 -> 2", "delete d4", "commit 1", ... in order.
    QStringList calls() const;
    // Opened minus closed; 0 when every opening was matched.
    int openCount() const;

    void prepareForUseOnThread() override;
    void clearIdTable() override;
    void stopUsingOnThread() override;
    void saveChanges() override;
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                     const QSet<QString> &excludedHmUids) override;
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                            const QSet<QString> &excludedHmUids) override;
    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    void deleteUidRecords(const QStringList &hmUids) override;
    void deleteOutlookUidRecords(const QStringList &hmUids) override;
    QStringList findDeletes(const QStringList &onDeviceIds) override;
    bool addressBookIsInaccessible() override { return m_addressBookInaccessible; }
    QDateTime getOutlookLastModifiedDate() override { return m_outlookLastModified; }
    void clearOutlookDatFile(const QString &conduitName) override;
    void saveOutlookChanges() override;
    void writeConduitListReturned() override;
    void commitUniqueIds(bool wasSuccessful) override;
    void savePicturesFromQuillnestSync(const QVariantMap &pictures) override;

protected:
    QString className() const override { return m_className; }

private:
    qint64 apply(qint32 action, quint64 conflictSetting, const QVariantMap &record);
    std::optional<QList<HMSyncRecord>> changesAfter(const QDateTime &date, bool includeDeletes,
                                                    const QSet<QString> &excludedHmUids, bool outlookIds);
    std::shared_ptr<HMIdentifierGraph> idGraph() const;
    QString nativeIdForDeviceId(const QString &deviceId) const;
    void bind(const QString &deviceId, const QString &nativeId);
    void unbind(const QString &deviceId);
    void rebuildIndex();
    void note(const QString &call);

    QString m_className;
    std::shared_ptr<HMIdentifierGraph> m_ownGraph;
    QMap<QString, MacRecord> m_records;
    QDateTime m_writeTime;
    QDateTime m_outlookLastModified;
    bool m_addressBookInaccessible = false;
    qint64 m_nextNativeId = 1;
    QHash<QString, QString> m_nativeIdOfDeviceId;
    bool m_indexIsValid = false;
    mutable std::mutex m_logMutex;
    QStringList m_calls;
    int m_openCount = 0;
};
