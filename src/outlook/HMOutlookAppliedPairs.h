#pragma once

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>

// The pairs of an Outlook conduit's map held in memory during an apply (device id -> Outlook id), with
// the lookups the apply of Google's occurrences makes once per occurrence, each answered as the map
// file answers it but without reading the file again or going through every pair:
// - the first device id (in key order) starting with a text, such as a Google event id followed by
//   "@" in any calendar;
// - the first device id (in key order) paired with an Outlook id.
class HMOutlookAppliedPairs final
{
public:
    void insert(const QString &deviceId, const QString &outlookId);
    void remove(const QString &deviceId);
    QString value(const QString &deviceId) const { return m_pairs.value(deviceId); }
    const QMap<QString, QString> &pairs() const { return m_pairs; }

    QString firstDeviceIdStartingWith(const QString &prefix) const;
    QString deviceIdForOutlookId(const QString &outlookId) const;

private:
    void forgetReverse(const QString &deviceId, const QString &outlookId);

    QMap<QString, QString> m_pairs;
    // Outlook id -> its device ids in key order (almost always one).
    QHash<QString, QStringList> m_deviceIdsByOutlookId;
};
