#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Outlook's tasks or notes that no pair names yet, filed by the values a duplicate must share (texts
// compared without case, dates as instants): each of a run's duplicate tests is one look-up, however
// many items the folder holds. An item found once leaves the index, so two records alike are given two
// items, never the same one.
class OutlookDuplicateIndex final
{
public:
    // The key of the values: each text case-folded, with its length before it so that no two lists of
    // values share a key.
    static QString keyOf(const QStringList &values);
    // A date as a key value: its instant, or nothing for an invalid one.
    static QString dateValue(const QDateTime &date);

    // Files the item under each of its keys (a note is looked up by its name and first line, or by its
    // first line alone).
    void insert(const QString &outlookId, const QStringList &keys);
    // The item filed under the key first in id order, which then leaves the index; empty when none.
    QString take(const QString &key);
    // The item leaves the index.
    void remove(const QString &outlookId);
    // The items' ids, as the shared deletion loop takes them; those it removed leave the index.
    QVariantMap idMap() const;
    void keepOnly(const QVariantMap &ids);

private:
    // Ids by key, each list in id order, and the keys each id is filed under.
    QHash<QString, QStringList> m_itemsOfKey;
    QHash<QString, QStringList> m_keysOfItem;
};
