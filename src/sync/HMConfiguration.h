#pragma once

#include "sync/HMProfile.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class HMProfileManager;

// Orders the entries of a choice list: dictionaries whose "key" holds a setting name. The comparator
// answers -1, 0 or 1 for two names.
struct HMChoiceSortDescriptor
{
    QString key;
    bool ascending = true;
    std::function<int(const QString &left, const QString &right)> comparator;

    // -1 when left goes first, 1 when right does, 0 when they rank alike.
    int compare(const QVariantMap &left, const QVariantMap &right) const;
};

// What the application offers as a whole: the device types, sync methods and contact managers a
// profile may choose, with their display texts and their order in the choice lists, the device type
// and sync method of a new profile, and the run option runInBackground. The edition (hmVersion) decides
// the lists: 0 standard, 1 Parcelvane (only the Parcelvane device type and sync method), any other
// value empty device and sync-method lists.
// One configuration lives for the whole process, created at start-up before the profile manager.
// Main thread only (the sort orders are built on first use).
class HMConfiguration final
{
public:
    HMConfiguration() = default;

    quint64 hmVersion() const { return m_hmVersion; }
    void setHmVersion(quint64 version) { m_hmVersion = version; }
    bool runInBackground() const { return m_runInBackground; }
    void setRunInBackground(bool value) { m_runInBackground = value; }
    // User options of the preferences window; not part of the stored configuration file.
    bool allowsProfileSelection() const { return m_allowsProfileSelection; }
    void setAllowsProfileSelection(bool value) { m_allowsProfileSelection = value; }
    qint64 maxProfiles() const { return m_maxProfiles; }
    void setMaxProfiles(qint64 value) { m_maxProfiles = value; }
    // When the application last started.
    QDateTime lastRunDate() const { return m_lastRunDate; }
    void setLastRunDate(const QDateTime &date) { m_lastRunDate = date; }

    // Name to place in the choice lists ("none" 1, "android" 2, ...); a missing name ranks 0.
    // Built on the first call and then kept.
    QVariantMap deviceTypeNameSortOrder() const;
    void setDeviceTypeNameSortOrder(const QVariantMap &order) { m_deviceTypeNameSortOrder = order; }
    QVariantMap syncMethodNameSortOrder() const;
    void setSyncMethodNameSortOrder(const QVariantMap &order) { m_syncMethodNameSortOrder = order; }

    // Name to localised display text, built afresh on every call.
    QVariantMap deviceDictionaryList() const;
    QVariantMap syncMethodDictionaryList() const;
    QVariantMap contactManagerDictionaryList() const;
    // The entries of deviceDictionaryList that fit a sync method number.
    QVariantMap deviceDictionaryListForSyncMethod(quint64 syncMethod) const;

    HMChoiceSortDescriptor deviceDictionarySortDescriptor() const;
    HMChoiceSortDescriptor syncMethodDictionarySortDescriptor() const;

    // A new, unsaved profile from the manager with the edition's device type and sync method.
    std::shared_ptr<HMProfile> defaultProfile(HMProfileManager &profileManager) const;

private:
    quint64 m_hmVersion = 0;
    bool m_runInBackground = false;
    bool m_allowsProfileSelection = true;
    qint64 m_maxProfiles = 10;
    QDateTime m_lastRunDate;
    mutable std::optional<QVariantMap> m_deviceTypeNameSortOrder;
    mutable std::optional<QVariantMap> m_syncMethodNameSortOrder;
};
