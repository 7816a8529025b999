#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>

// One record that a data source hands to a transport, with its identifiers on both sides. A plain value:
// the data source fills it on the sync queue, and the transport may convert the record in place
// (dictionary()) or take its dictionary as it sends it. Not thread-safe; it lives on the queue of the run that made it.
class HMSyncRecord final
{
public:
    HMSyncRecord() = default;

    // A deletion of the record with this identifier towards the phone or the cloud: not new, no dictionary.
    static HMSyncRecord deletionOf(const QString &hmxUid)
    {
        HMSyncRecord record;
        record.setIsDelete(true);
        record.setHmxUid(hmxUid);
        return record;
    }

    // The record is not yet on the other side (an add).
    bool isNew() const { return m_isNew; }
    void setIsNew(bool isNew) { m_isNew = isNew; }

    // The record is a deletion; it may then carry no dictionary.
    bool isDelete() const { return m_isDelete; }
    void setIsDelete(bool isDelete) { m_isDelete = isDelete; }

    // The record's identifier towards the phone or the cloud.
    const QString &hmxUid() const { return m_hmxUid; }
    void setHmxUid(const QString &hmxUid) { m_hmxUid = hmxUid; }

    // The Outlook record identifier (Outlook contact managers).
    const QString &outlookUid() const { return m_outlookUid; }
    void setOutlookUid(const QString &outlookUid) { m_outlookUid = outlookUid; }

    // The Mac store's identifier.
    const QString &nativeId() const { return m_nativeId; }
    void setNativeId(const QString &nativeId) { m_nativeId = nativeId; }

    // The Mac record's last change time; invalid when unknown.
    const QDateTime &lastModifiedDate() const { return m_lastModifiedDate; }
    void setLastModifiedDate(const QDateTime &lastModifiedDate) { m_lastModifiedDate = lastModifiedDate; }

    // The record itself. The non-const form lets a transport convert the record in place.
    const QVariantMap &dictionary() const { return m_dictionary; }
    QVariantMap &dictionary() { return m_dictionary; }
    void setDictionary(const QVariantMap &dictionary) { m_dictionary = dictionary; }

    // The series identifier of an exception record.
    const QString &theParentId() const { return m_theParentId; }
    void setTheParentId(const QString &theParentId) { m_theParentId = theParentId; }

private:
    bool m_isNew = false;
    bool m_isDelete = false;
    QString m_hmxUid;
    QString m_outlookUid;
    QString m_nativeId;
    QDateTime m_lastModifiedDate;
    QVariantMap m_dictionary;
    QString m_theParentId;
};
