#include "sync/HMProfile.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfileManager.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QIODevice>
#include <QLatin1StringView>

#include <array>
#include <initializer_list>
#include <utility>

using platform::Error;
using platform::ErrorCode;
using platform::localized;

namespace {

template <typename Enum> struct NamedValue
{
    QLatin1StringView name;
    Enum value;
};

constexpr std::array<NamedValue<HMDeviceType>, 6> kDeviceTypeNames{{
    {QLatin1StringView("none"), HMDeviceType::None},
    {QLatin1StringView("ios"), HMDeviceType::Ios},
    {QLatin1StringView("android"), HMDeviceType::Android},
    {QLatin1StringView("quillnest_devicetype"), HMDeviceType::Quillnest},
    {QLatin1StringView("parcelvane_devicetype"), HMDeviceType::Parcelvane},
    {QLatin1StringView("google_devicetype"), HMDeviceType::Google},
}};

constexpr std::array<NamedValue<HMSyncMethod>, 7> kSyncMethodNames{{
    {QLatin1StringView("none"), HMSyncMethod::None},
    {QLatin1StringView("wifi"), HMSyncMethod::WiFi},
    {QLatin1StringView("adb"), HMSyncMethod::Adb},
    {QLatin1StringView("hmsh_sync_method"), HMSyncMethod::Hmsh},
    {QLatin1StringView("quill_nest_sync_method"), HMSyncMethod::Quillnest},
    {QLatin1StringView("parcelvane_sync_method"), HMSyncMethod::Parcelvane},
    {QLatin1StringView("direct_sync_method"), HMSyncMethod::GoogleDirect},
}};

constexpr std::array<NamedValue<HMContactManager>, 3> kContactManagerNames{{
    {QLatin1StringView("ContactManagerApple"), HMContactManager::Apple},
    {QLatin1StringView("ContactManagerOutlook14"), HMContactManager::Outlook14},
    {QLatin1StringView("ContactManagerOutlook15"), HMContactManager::Outlook15},
}};

template <typename Enum, std::size_t Count>
Enum valueForName(const std::array<NamedValue<Enum>, Count> &table, const QString &name, Enum fallback)
{
    for (const NamedValue<Enum> &entry : table) {
        if (name == entry.name)
            return entry.value;
    }
    return fallback;
}

const QString kTwoWay = QStringLiteral("two_way");
const QString kLastModifiedWins = QStringLiteral("last_modified_wins");
const QString kReferenceKey = QStringLiteral("reference");
const QString kReferenceText = QStringLiteral("/! Reference: 1 = WiFi, 2 = HMSH */");
constexpr qint64 kAutomaticIntervalCode = 15;

// The stored name is replaced unless the new one equals it; a name outside the table then leaves the
// number as it was. A null name never counts as equal.
template <typename Enum>
void storeNameAndNumber(QString &storedName, Enum &number, const QString &newName,
                        std::optional<Enum> (*lookup)(const QString &))
{
    if (!newName.isNull() && newName == storedName)
        return;
    storedName = newName;
    if (const std::optional<Enum> value = lookup(newName))
        number = *value;
}

QVariantMap entriesAllowed(const QVariantMap &all, std::initializer_list<const char *> allowed)
{
    QVariantMap filtered;
    for (const char *name : allowed) {
        const QString key = QString::fromLatin1(name);
        const auto entry = all.constFind(key);
        if (entry != all.constEnd())
            filtered.insert(key, entry.value());
    }
    return filtered;
}

// "name = text, ..." for the log: the choice lists hold names and display texts only.
QString describeChoices(const QVariantMap &choices)
{
    QStringList entries;
    for (auto entry = choices.constBegin(); entry != choices.constEnd(); ++entry)
        entries.append(entry.key() + QStringLiteral(" = ") + entry.value().toString());
    return QStringLiteral("{") + entries.join(QStringLiteral(", ")) + QStringLiteral("}");
}

// Fills the "%@" of a localised format.
QString localizedFormat(const QString &key, const QString &argument)
{
    return localized(key).replace(QStringLiteral("%@"), argument);
}

Error wrongType(const QString &key, const char *expected)
{
    return Error(ErrorCode::DataMalformed,
                 QStringLiteral("\"%1\" does not hold %2").arg(key, QLatin1StringView(expected)));
}

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
        return true;
    default:
        return false;
    }
}

} // namespace

HMDeviceType deviceTypeForName(const QString &name)
{
    return valueForName(kDeviceTypeNames, name, HMDeviceType::None);
}

HMSyncMethod syncMethodForName(const QString &name)
{
    return valueForName(kSyncMethodNames, name, HMSyncMethod::None);
}

HMContactManager contactManagerForName(const QString &name)
{
    return valueForName(kContactManagerNames, name, HMContactManager::None);
}

HMProfile::HMProfile(Blank) {}

HMProfile::HMProfile()
    : m_deviceTypeName(QStringLiteral("android")), m_deviceType(HMDeviceType::Android),
      m_syncMethodName(QStringLiteral("adb")), m_syncMethod(HMSyncMethod::Adb), m_syncDeletionsName(kTwoWay),
      m_conflictSettingName(kLastModifiedWins)
{
    m_contactSyncEnabled = m_calendarSyncEnabled = m_taskSyncEnabled = m_memoSyncEnabled = true;
    m_contactSyncDirectionName = m_calendarSyncDirectionName = m_taskSyncDirectionName = m_memoSyncDirectionName =
        kTwoWay;
    m_contactSyncDeletionsName = m_calendarSyncDeletionsName = m_taskSyncDeletionsName = m_memoSyncDeletionsName =
        kTwoWay;
    m_contactConflictSettingName = m_calendarConflictSettingName = m_taskConflictSettingName =
        m_memoConflictSettingName = m_conflictSettingName;
}

HMProfile HMProfile::blankProfile()
{
    return HMProfile(Blank{});
}

void HMProfile::setDeviceTypeName(const QString &value)
{
    DDLogInfo(QStringLiteral("newDeviceTypeName %1").arg(value));
    // "none" is offered in the choice list but never replaces a chosen device type.
    if (!value.isNull() && value == QLatin1StringView("none"))
        return;
    if (!value.isNull() && value == m_deviceTypeName)
        return;
    m_deviceTypeName = value;
    DDLogInfo(QStringLiteral("Setting Device Type: '%1'").arg(value));
    m_deviceType = deviceTypeForName(value);
    updateFilteredSyncMethodList();
}

void HMProfile::setSyncMethodName(const QString &value)
{
    if (!value.isNull() && value == m_syncMethodName)
        return;
    m_syncMethodName = value;
    DDLogInfo(QStringLiteral("Setting Sync Method: '%1'").arg(value));
    m_syncMethod = syncMethodForName(value);
}

void HMProfile::setDevicesSupported(const QVariantMap &value)
{
    m_devicesSupported = value;
    m_devicesSupportedFiltered = value;
}

void HMProfile::setSyncMethodsSupported(const QVariantMap &value)
{
    m_syncMethodsSupported = value;
    m_syncMethodsSupportedFiltered = value;
}

void HMProfile::setSyncDeletionsName(const QString &value)
{
    DDLogInfo(QStringLiteral("newSyncDeletionsName %1").arg(value));
    storeNameAndNumber(m_syncDeletionsName, m_syncDeletions, value, syncDirectionForName);
}

void HMProfile::setConflictSettingName(const QString &value)
{
    storeNameAndNumber(m_conflictSettingName, m_conflictSetting, value, conflictSettingForName);
}

void HMProfile::setContactSyncDirectionName(const QString &value)
{
    storeNameAndNumber(m_contactSyncDirectionName, m_contactSyncDirection, value, syncDirectionForName);
}

void HMProfile::setContactSyncDeletionsName(const QString &value)
{
    storeNameAndNumber(m_contactSyncDeletionsName, m_contactSyncDeletions, value, syncDirectionForName);
}

void HMProfile::setContactConflictSettingName(const QString &value)
{
    storeNameAndNumber(m_contactConflictSettingName, m_contactConflictSetting, value, conflictSettingForName);
}

void HMProfile::setPurgeContactsOnNextSync(bool value)
{
    m_purgeContactsOnNextSync = value;
    updatePurgeProfileCheckboxState();
}

void HMProfile::setCalendarSyncDirectionName(const QString &value)
{
    storeNameAndNumber(m_calendarSyncDirectionName, m_calendarSyncDirection, value, syncDirectionForName);
}

void HMProfile::setCalendarSyncDeletionsName(const QString &value)
{
    storeNameAndNumber(m_calendarSyncDeletionsName, m_calendarSyncDeletions, value, syncDirectionForName);
}

void HMProfile::setCalendarConflictSettingName(const QString &value)
{
    storeNameAndNumber(m_calendarConflictSettingName, m_calendarConflictSetting, value, conflictSettingForName);
}

void HMProfile::setPurgeCalendarOnNextSync(bool value)
{
    m_purgeCalendarOnNextSync = value;
    updatePurgeProfileCheckboxState();
}

void HMProfile::setTaskSyncDirectionName(const QString &value)
{
    storeNameAndNumber(m_taskSyncDirectionName, m_taskSyncDirection, value, syncDirectionForName);
}

void HMProfile::setTaskSyncDeletionsName(const QString &value)
{
    storeNameAndNumber(m_taskSyncDeletionsName, m_taskSyncDeletions, value, syncDirectionForName);
}

void HMProfile::setTaskConflictSettingName(const QString &value)
{
    storeNameAndNumber(m_taskConflictSettingName, m_taskConflictSetting, value, conflictSettingForName);
}

void HMProfile::setPurgeTasksOnNextSync(bool value)
{
    m_purgeTasksOnNextSync = value;
    updatePurgeProfileCheckboxState();
}

void HMProfile::setMemoSyncDirectionName(const QString &value)
{
    storeNameAndNumber(m_memoSyncDirectionName, m_memoSyncDirection, value, syncDirectionForName);
}

void HMProfile::setMemoSyncDeletionsName(const QString &value)
{
    storeNameAndNumber(m_memoSyncDeletionsName, m_memoSyncDeletions, value, syncDirectionForName);
}

void HMProfile::setMemoConflictSettingName(const QString &value)
{
    storeNameAndNumber(m_memoConflictSettingName, m_memoConflictSetting, value, conflictSettingForName);
}

void HMProfile::setPurgeMemosOnNextSync(bool value)
{
    m_purgeMemosOnNextSync = value;
    updatePurgeProfileCheckboxState();
}

void HMProfile::setBackgroundSyncEnabled(bool value)
{
    if (value)
        m_backgroundSyncInterval = QVariant(kAutomaticIntervalCode);
    m_backgroundSyncEnabled = value;
}

void HMProfile::announceFilteredListChange(const QString &key)
{
    if (m_filteredListObserver)
        m_filteredListObserver(key);
}

void HMProfile::updateFilteredDeviceList()
{
    switch (m_syncMethod) {
    case HMSyncMethod::WiFi:
    case HMSyncMethod::Adb:
        m_devicesSupportedFiltered = entriesAllowed(m_devicesSupported, {"none", "android"});
        break;
    case HMSyncMethod::Hmsh:
        m_devicesSupportedFiltered = entriesAllowed(m_devicesSupported, {"none", "android", "ios"});
        break;
    case HMSyncMethod::Quillnest:
        m_devicesSupportedFiltered =
            entriesAllowed(m_devicesSupported, {"none", "android", "ios", "quillnest_devicetype", "google_devicetype"});
        break;
    case HMSyncMethod::Parcelvane:
        m_devicesSupportedFiltered = entriesAllowed(m_devicesSupported, {"none", "parcelvane_devicetype"});
        break;
    case HMSyncMethod::GoogleDirect:
        m_devicesSupportedFiltered = entriesAllowed(m_devicesSupported, {"google_devicetype"});
        break;
    default:
        m_devicesSupportedFiltered.clear();
        break;
    }
    announceFilteredListChange(QStringLiteral("devicesSupportedFiltered"));
}

void HMProfile::updateFilteredSyncMethodList()
{
    switch (m_deviceType) {
    case HMDeviceType::Ios:
        m_syncMethodsSupportedFiltered =
            entriesAllowed(m_syncMethodsSupported, {"none", "quill_nest_sync_method", "hmsh_sync_method"});
        break;
    case HMDeviceType::Android:
        m_syncMethodsSupportedFiltered = entriesAllowed(
            m_syncMethodsSupported, {"none", "adb", "wifi", "quill_nest_sync_method", "hmsh_sync_method"});
        break;
    case HMDeviceType::Quillnest:
        m_syncMethodsSupportedFiltered = entriesAllowed(m_syncMethodsSupported, {"quill_nest_sync_method"});
        break;
    case HMDeviceType::Parcelvane:
        m_syncMethodsSupportedFiltered = entriesAllowed(m_syncMethodsSupported, {"parcelvane_sync_method"});
        break;
    case HMDeviceType::Google:
        m_syncMethodsSupportedFiltered =
            entriesAllowed(m_syncMethodsSupported, {"quill_nest_sync_method", "direct_sync_method"});
        break;
    default:
        m_syncMethodsSupportedFiltered.clear();
        break;
    }
    announceFilteredListChange(QStringLiteral("syncMethodsSupportedFiltered"));
    if (!m_syncMethodsSupportedFiltered.contains(m_syncMethodName)) {
        setSyncMethodName(m_deviceType == HMDeviceType::Google ? QStringLiteral("quill_nest_sync_method")
                                                               : QStringLiteral("none"));
    }
    DDLogInfo(QStringLiteral("syncMethodsSupported %1").arg(describeChoices(m_syncMethodsSupported)));
    DDLogInfo(QStringLiteral("filteredSyncMethodList %1").arg(describeChoices(m_syncMethodsSupportedFiltered)));
}

void HMProfile::updatePurgeProfileCheckboxState()
{
    const std::array<std::pair<bool, bool>, 4> conduits{{
        {m_contactSyncEnabled, m_purgeContactsOnNextSync},
        {m_calendarSyncEnabled, m_purgeCalendarOnNextSync},
        {m_taskSyncEnabled, m_purgeTasksOnNextSync},
        {m_memoSyncEnabled, m_purgeMemosOnNextSync},
    }};
    bool anyEnabledKeeps = false;
    bool anyEnabledPurges = false;
    for (const auto &[enabled, purges] : conduits) {
        if (!enabled)
            continue;
        anyEnabledKeeps = anyEnabledKeeps || !purges;
        anyEnabledPurges = anyEnabledPurges || purges;
    }
    if (!anyEnabledKeeps)
        m_purgeAppleRecordsCheckboxState = 1;
    else
        m_purgeAppleRecordsCheckboxState = anyEnabledPurges ? -1 : 0;
}

void HMProfile::updatePurgeFlags()
{
    const qint64 state = m_purgeAppleRecordsCheckboxState;
    if (state != 0 && state != 1)
        return;
    const bool purges = state == 1;
    if (m_contactSyncEnabled)
        setPurgeContactsOnNextSync(purges);
    if (m_calendarSyncEnabled)
        setPurgeCalendarOnNextSync(purges);
    if (m_taskSyncEnabled)
        setPurgeTasksOnNextSync(purges);
    if (m_memoSyncEnabled)
        setPurgeMemosOnNextSync(purges);
}

void HMProfile::updateDeleteSettingForConduits()
{
    DDLogInfo(QStringLiteral("theSyncDeletionsName %1").arg(m_syncDeletionsName));
    const QString name = m_syncDeletionsName;
    setContactSyncDeletionsName(name);
    setCalendarSyncDeletionsName(name);
    setTaskSyncDeletionsName(name);
    setMemoSyncDeletionsName(name);
}

void HMProfile::updateConflictSettingForConduits()
{
    const QString name = m_conflictSettingName;
    setContactConflictSettingName(name);
    setCalendarConflictSettingName(name);
    setTaskConflictSettingName(name);
    setMemoConflictSettingName(name);
}

void HMProfile::updateProfileDeleteSetting()
{
    const bool allAgree = m_contactSyncDeletions == m_calendarSyncDeletions &&
                          m_contactSyncDeletions == m_taskSyncDeletions &&
                          m_contactSyncDeletions == m_memoSyncDeletions;
    setSyncDeletionsName(allAgree ? m_contactSyncDeletionsName : QString());
}

QVariantMap HMProfile::syncDirectionDictionaryList() const
{
    QVariantMap choices;
    choices.insert(QStringLiteral("two_way"), localized(QStringLiteral("two_way_sync")));
    const bool isOutlook =
        m_contactManager == HMContactManager::Outlook14 || m_contactManager == HMContactManager::Outlook15;
    if (!isOutlook) {
        choices.insert(QStringLiteral("mac_to_device"), localized(QStringLiteral("mac_to_device_sync")));
        choices.insert(QStringLiteral("device_to_mac"), localized(QStringLiteral("device_to_mac_sync")));
    } else if (m_deviceTypeName.contains(QLatin1StringView("google"))) {
        choices.insert(QStringLiteral("mac_to_device"), localized(QStringLiteral("Outlook to Google")));
        choices.insert(QStringLiteral("device_to_mac"), localized(QStringLiteral("Google to Outlook")));
    } else {
        choices.insert(QStringLiteral("mac_to_device"), localized(QStringLiteral("Outlook to device")));
        choices.insert(QStringLiteral("device_to_mac"), localized(QStringLiteral("Device to Outlook")));
    }
    return choices;
}

QString HMProfile::otherSideName() const
{
    DDLogInfo(QStringLiteral("self.deviceTypeName %1").arg(m_deviceTypeName));
    if (m_deviceTypeName.isNull())
        return QStringLiteral("the device");
    if (m_deviceTypeName.contains(QLatin1StringView("google")))
        return QStringLiteral("Google");
    if (m_deviceTypeName == QLatin1StringView("quillnest_devicetype"))
        return QStringLiteral("Quillnest");
    if (m_deviceTypeName == QLatin1StringView("android"))
        return QStringLiteral("Android");
    return m_deviceTypeName;
}

QVariantMap HMProfile::syncDeletionsDictionaryList() const
{
    const QString otherSide = otherSideName();
    const bool isOutlook =
        m_contactManager == HMContactManager::Outlook14 || m_contactManager == HMContactManager::Outlook15;
    // The two formats with "%@  will" carry two blanks in the localisation tables' keys.
    const std::array<QString, 3> formats =
        isOutlook
            ? std::array<QString, 3>{QStringLiteral("Records deleted in either Outlook or %@ will be synchronized"),
                                     QStringLiteral(
                                         "Outlook is the primary database, records deleted on %@  will be ignored"),
                                     QStringLiteral(
                                         "%@ is the primary database, records deleted in Outlook will be ignored")}
            : std::array<QString, 3>{
                  QStringLiteral("two_way_deletions_%@"),
                  QStringLiteral("Mac is the primary database, records deleted on %@  will be ignored"),
                  QStringLiteral("%@ is the primary database, records deleted on Mac will be ignored")};
    QVariantMap choices;
    choices.insert(QStringLiteral("two_way"), localizedFormat(formats[0], otherSide));
    choices.insert(QStringLiteral("mac_to_device"), localizedFormat(formats[1], otherSide));
    choices.insert(QStringLiteral("device_to_mac"), localizedFormat(formats[2], otherSide));
    return choices;
}

QVariantMap HMProfile::conflictSettingsDictionaryList() const
{
    QVariantMap choices;
    for (const char *key : {"last_modified_wins", "apple_wins", "duplicate"})
        choices.insert(QString::fromLatin1(key), localized(QString::fromLatin1(key)));
    choices.insert(QStringLiteral("device_wins"),
                   localizedFormat(QStringLiteral("device_%@_wins"), localized(m_deviceTypeName)));
    return choices;
}

std::shared_ptr<HMIdentifierGraph> HMProfile::identifierGraphForConduit(const QString &conduit) const
{
    return HMProfileManager::identifierGraphForProfile(*this, conduit);
}

bool HMProfile::saveIdentifierGraph(const HMIdentifierGraph &graph, const QString &conduit) const
{
    DDLogInfo(QStringLiteral("[400]"));
    return HMProfileManager::saveIdentifier(graph, *this, conduit);
}

QString HMProfile::archiveClassName() const
{
    return QStringLiteral("HMProfile");
}

// The table of stored keys: the data of the profile's file, kept as one table.
const std::vector<HMProfile::StoredField> HMProfile::kStoredFields{
    {QStringLiteral("name"), &HMProfile::m_name},
    {QStringLiteral("filename"), &HMProfile::m_filename},
    {QStringLiteral("identifier"), &HMProfile::m_identifier},
    {QStringLiteral("hmProfileVersion"), &HMProfile::m_hmProfileVersion},
    {QStringLiteral("deviceTypeName"), &HMProfile::m_deviceTypeName},
    {QStringLiteral("syncMethodName"), &HMProfile::m_syncMethodName},
    {QStringLiteral("contactManagerName"), &HMProfile::m_contactManagerName},
    {QStringLiteral("hhUserId"), &HMProfile::m_hhUserId},
    {QStringLiteral("hhPassword"), &HMProfile::m_hhPassword},
    {QStringLiteral("hhIpAddress"), &HMProfile::m_hhIpAddress},
    {QStringLiteral("quillnestPassword"), &HMProfile::m_quillnestPassword},
    {QStringLiteral("company"), &HMProfile::m_company},
    {QStringLiteral("googleDirectUsername"), &HMProfile::m_googleDirectUsername},
    {QStringLiteral("googleDirectPassword"), &HMProfile::m_googleDirectPassword},
    {QStringLiteral("googleDirectUserImage"), &HMProfile::m_googleDirectUserImage},
    {QStringLiteral("googleAccessToken"), &HMProfile::m_googleAccessToken},
    {QStringLiteral("googleRefreshToken"), &HMProfile::m_googleRefreshToken},
    {QStringLiteral("allGoogleCalendars"), &HMProfile::m_allGoogleCalendars},
    {QStringLiteral("googleCalendarIdentifiersToSync"), &HMProfile::m_googleCalendarIdentifiersToSync},
    {QStringLiteral("googleCalendarIdentifierToWriteTo"), &HMProfile::m_googleCalendarIdentifierToWriteTo},
    {QStringLiteral("pppDataPath"), &HMProfile::m_pppDataPath},
    {QStringLiteral("pppLastFileUpdateTime"), &HMProfile::m_pppLastFileUpdateTime},
    {QStringLiteral("lastUploadPacketNumber"), &HMProfile::m_lastUploadPacketNumber},
    {QStringLiteral("lastDownloadPacketNumber"), &HMProfile::m_lastDownloadPacketNumber},
    {QStringLiteral("lastPacketNumberA"), &HMProfile::m_lastPacketNumberA},
    {QStringLiteral("lastPacketNumberD"), &HMProfile::m_lastPacketNumberD},
    {QStringLiteral("lastPacketNumberT"), &HMProfile::m_lastPacketNumberT},
    {QStringLiteral("lastPacketNumberM"), &HMProfile::m_lastPacketNumberM},
    {QStringLiteral("syncDeletionsName"), &HMProfile::m_syncDeletionsName},
    {QStringLiteral("conflictSettingName"), &HMProfile::m_conflictSettingName},
    {QStringLiteral("rereadAppleOnNextSync"), &HMProfile::m_rereadAppleOnNextSync},
    {QStringLiteral("rereadDeviceOnNextSync"), &HMProfile::m_rereadDeviceOnNextSync},
    {QStringLiteral("lastSyncDateWorkaround"), &HMProfile::m_lastSyncDateWorkaround},
    {QStringLiteral("contactSyncEnabled"), &HMProfile::m_contactSyncEnabled},
    {QStringLiteral("contactLastSyncDate"), &HMProfile::m_contactLastSyncDate},
    {QStringLiteral("contactSyncDirectionName"), &HMProfile::m_contactSyncDirectionName},
    {QStringLiteral("contactSyncDeletionsName"), &HMProfile::m_contactSyncDeletionsName},
    {QStringLiteral("contactConflictSettingName"), &HMProfile::m_contactConflictSettingName},
    {QStringLiteral("contactPurgeOnNextSync"), &HMProfile::m_purgeContactsOnNextSync},
    {QStringLiteral("contactCount"), &HMProfile::m_contactCount},
    {QStringLiteral("calendarSyncEnabled"), &HMProfile::m_calendarSyncEnabled},
    {QStringLiteral("calendarLastSyncDate"), &HMProfile::m_calendarLastSyncDate},
    {QStringLiteral("calendarSyncDirectionName"), &HMProfile::m_calendarSyncDirectionName},
    {QStringLiteral("calendarSyncDeletionsName"), &HMProfile::m_calendarSyncDeletionsName},
    {QStringLiteral("calendarConflictSettingName"), &HMProfile::m_calendarConflictSettingName},
    {QStringLiteral("calendarPurgeOnNextSync"), &HMProfile::m_purgeCalendarOnNextSync},
    {QStringLiteral("eventCount"), &HMProfile::m_eventCount},
    {QStringLiteral("taskSyncEnabled"), &HMProfile::m_taskSyncEnabled},
    {QStringLiteral("taskLastSyncDate"), &HMProfile::m_taskLastSyncDate},
    {QStringLiteral("taskSyncDirectionName"), &HMProfile::m_taskSyncDirectionName},
    {QStringLiteral("taskSyncDeletionsName"), &HMProfile::m_taskSyncDeletionsName},
    {QStringLiteral("taskConflictSettingName"), &HMProfile::m_taskConflictSettingName},
    {QStringLiteral("taskPurgeOnNextSync"), &HMProfile::m_purgeTasksOnNextSync},
    {QStringLiteral("taskCount"), &HMProfile::m_taskCount},
    {QStringLiteral("memoSyncEnabled"), &HMProfile::m_memoSyncEnabled},
    {QStringLiteral("memoLastSyncDate"), &HMProfile::m_memoLastSyncDate},
    {QStringLiteral("memoSyncDirectionName"), &HMProfile::m_memoSyncDirectionName},
    {QStringLiteral("memoSyncDeletionsName"), &HMProfile::m_memoSyncDeletionsName},
    {QStringLiteral("memoConflictSettingName"), &HMProfile::m_memoConflictSettingName},
    {QStringLiteral("memoPurgeOnNextSync"), &HMProfile::m_purgeMemosOnNextSync},
    {QStringLiteral("memoCount"), &HMProfile::m_memoCount},
    {QStringLiteral("eventCalendarIdentifiersToSync"), &HMProfile::m_eventCalendarIdentifiersToSync},
    {QStringLiteral("eventCalendarIdentifierToWriteTo"), &HMProfile::m_eventCalendarIdentifierToWriteTo},
    {QStringLiteral("taskCalendarIdentifiersToSync"), &HMProfile::m_taskCalendarIdentifiersToSync},
    {QStringLiteral("taskCalendarIdentifierToWriteTo"), &HMProfile::m_taskCalendarIdentifierToWriteTo},
    {QStringLiteral("backgroundSyncEnabled"), &HMProfile::m_backgroundSyncEnabled},
    {QStringLiteral("backgroundSyncInterval"), &HMProfile::m_backgroundSyncInterval},
    {QStringLiteral("pushNotificationsEnabled"), &HMProfile::m_pushNotificationsEnabled},
    {QStringLiteral("ignoreOutlookAutosyncCaching"), &HMProfile::m_ignoreOutlookAutosyncCaching},
    {QStringLiteral("useBlackoutPeriod"), &HMProfile::m_useBlackoutPeriod},
    {QStringLiteral("syncBetweenTheseTimesStartMinutes"), &HMProfile::m_syncBetweenTheseTimesStartMinutes},
    {QStringLiteral("syncBetweenTheseTimesEndMinutes"), &HMProfile::m_syncBetweenTheseTimesEndMinutes},
    {QStringLiteral("lastOutlookAutosyncDate"), &HMProfile::m_lastOutlookAutosyncDate},
    {QStringLiteral("lastQuillnestAutosyncCheck"), &HMProfile::m_lastQuillnestAutosyncCheck},
    {QStringLiteral("lastGoogleConnectorStatusCheck"), &HMProfile::m_lastGoogleConnectorStatusCheck},
    {QStringLiteral("outlookContactFolderSelection"), &HMProfile::m_outlookContactFolderSelection},
    {QStringLiteral("outlookCalendarFolderSelection"), &HMProfile::m_outlookCalendarFolderSelection},
    {QStringLiteral("outlookTaskFolderSelection"), &HMProfile::m_outlookTaskFolderSelection},
    {QStringLiteral("outlookMemoFolderSelection"), &HMProfile::m_outlookMemoFolderSelection},
    {QStringLiteral("useCustomOutlookApplicationPath"), &HMProfile::m_useCustomOutlookApplicationPath},
    {QStringLiteral("outlookApplicationPathSetting"), &HMProfile::m_outlookApplicationPathSetting},
    {QStringLiteral("dateRangeCalendarDaysBack"), &HMProfile::m_dateRangeCalendarDaysBack},
    {QStringLiteral("shouldSyncAttendees"), &HMProfile::m_shouldSyncAttendees},
    {QStringLiteral("shouldSyncCompletedTasks"), &HMProfile::m_shouldSyncCompletedTasks},
    {QStringLiteral("shouldSyncOrganizerMeetings"), &HMProfile::m_shouldSyncOrganizerMeetings},
    {QStringLiteral("shouldSyncPhotos"), &HMProfile::m_shouldSyncPhotos},
};

void HMProfile::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    coder.encodeObject(QVariant(kReferenceText), kReferenceKey);
    for (const StoredField &field : kStoredFields) {
        std::visit(
            [&](auto member) {
                using Value = std::remove_cvref_t<decltype(this->*member)>;
                const Value &value = this->*member;
                if constexpr (std::is_same_v<Value, bool>)
                    coder.encodeBool(value, field.key);
                else if constexpr (std::is_same_v<Value, qint64>)
                    coder.encodeInt64(value, field.key);
                else if constexpr (std::is_same_v<Value, qint32>)
                    coder.encodeInt32(value, field.key);
                else if constexpr (std::is_same_v<Value, QVariant>)
                    coder.encodeObject(value, field.key);
                else
                    coder.encodeObject(QVariant(value), field.key);
            },
            field.member);
    }
    publishDefaultReminderCalendar();
}

void HMProfile::publishDefaultReminderCalendar() const
{
    GlobalVariables::setDefaultReminderCalendarId(m_taskCalendarIdentifierToWriteTo);
}

QByteArray HMProfile::storedFieldsDigest() const
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_6_0);
    for (const StoredField &field : kStoredFields)
        std::visit([&](auto member) { stream << this->*member; }, field.member);
    // A value the stream cannot hold gives no digest, so the profile is always written.
    if (stream.status() != QDataStream::Ok)
        return {};
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

void HMProfile::initWithCoder(platform::KeyedUnarchiver &coder)
{
    *this = blankProfile();
    for (const StoredField &field : kStoredFields) {
        std::visit([&](auto member) { decodeField(coder, field.key, this->*member); }, field.member);
        if (coder.hasFailed())
            return;
    }
    deriveNumbersFromNames();
    // A loaded profile takes its check-box state from the contacts and calendar flags alone; every
    // later change of a purge flag applies the full rule.
    if (m_purgeContactsOnNextSync && m_purgeCalendarOnNextSync)
        m_purgeAppleRecordsCheckboxState = 1;
    else if (m_purgeContactsOnNextSync || m_purgeCalendarOnNextSync)
        m_purgeAppleRecordsCheckboxState = -1;
    else
        m_purgeAppleRecordsCheckboxState = 0;
    publishDefaultReminderCalendar();
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, bool &value)
{
    value = coder.decodeBool(key);
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, qint64 &value)
{
    value = coder.decodeInt64(key);
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, qint32 &value)
{
    value = coder.decodeInt32(key);
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QString &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && decoded.typeId() != QMetaType::QString)
        return coder.failWithError(wrongType(key, "a text"));
    value = decoded.toString();
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QDateTime &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && decoded.typeId() != QMetaType::QDateTime)
        return coder.failWithError(wrongType(key, "a date"));
    value = decoded.toDateTime();
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QVariant &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && !isNumber(decoded))
        return coder.failWithError(wrongType(key, "a number"));
    value = decoded;
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QStringList &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && decoded.typeId() != QMetaType::QVariantList)
        return coder.failWithError(wrongType(key, "a list of texts"));
    QStringList texts;
    for (const QVariant &item : decoded.toList()) {
        if (item.typeId() != QMetaType::QString)
            return coder.failWithError(wrongType(key, "a list of texts"));
        texts.append(item.toString());
    }
    value = texts;
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QVariantList &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && decoded.typeId() != QMetaType::QVariantList)
        return coder.failWithError(wrongType(key, "a list"));
    value = decoded.toList();
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QByteArray &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && decoded.typeId() != QMetaType::QByteArray)
        return coder.failWithError(wrongType(key, "data"));
    value = decoded.toByteArray();
}

void HMProfile::deriveNumbersFromNames()
{
    const auto direction = [](const QString &name) {
        return syncDirectionForName(name).value_or(HMSyncDirection::TwoWay);
    };
    const auto conflict = [](const QString &name) {
        return conflictSettingForName(name).value_or(HMConflictSetting::LastModifiedWins);
    };
    m_syncDeletions = direction(m_syncDeletionsName);
    m_conflictSetting = conflict(m_conflictSettingName);
    m_contactSyncDirection = direction(m_contactSyncDirectionName);
    m_contactSyncDeletions = direction(m_contactSyncDeletionsName);
    m_contactConflictSetting = conflict(m_contactConflictSettingName);
    m_calendarSyncDirection = direction(m_calendarSyncDirectionName);
    m_calendarSyncDeletions = direction(m_calendarSyncDeletionsName);
    m_calendarConflictSetting = conflict(m_calendarConflictSettingName);
    m_taskSyncDirection = direction(m_taskSyncDirectionName);
    m_taskSyncDeletions = direction(m_taskSyncDeletionsName);
    m_taskConflictSetting = conflict(m_taskConflictSettingName);
    m_memoSyncDirection = direction(m_memoSyncDirectionName);
    m_memoSyncDeletions = direction(m_memoSyncDeletionsName);
    m_memoConflictSetting = conflict(m_memoConflictSettingName);
    m_syncMethod = syncMethodForName(m_syncMethodName);
    m_contactManager = contactManagerForName(m_contactManagerName);
    m_deviceType = deviceTypeForName(m_deviceTypeName);
}
