#include "sync/HMProfile.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Values.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfileManager.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QIODevice>
#include <QLatin1StringView>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>
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

constexpr std::array<HMProfileConduit, kProfileConduitCount> kConduits{
    HMProfileConduit::Contacts, HMProfileConduit::Calendar, HMProfileConduit::Tasks, HMProfileConduit::Memos};

// The stored keys of a conduit's settings: the key's first word and the key of its record count.
struct ConduitKeys
{
    const char *prefix;
    const char *countKey;
};
constexpr std::array<ConduitKeys, kProfileConduitCount> kConduitKeys{{
    {"contact", "contactCount"},
    {"calendar", "eventCount"},
    {"task", "taskCount"},
    {"memo", "memoCount"},
}};

template <typename Member> struct MemberOwner;
template <typename Value, typename Owner> struct MemberOwner<Value Owner::*>
{
    using Type = Owner;
};

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

// The object stored under the key when it is absent or of the type; otherwise the coder fails,
// naming what the key should hold, and nothing comes back.
std::optional<QVariant> decodedOfType(platform::KeyedUnarchiver &coder, const QString &key, int typeId,
                                      const char *expected)
{
    QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && decoded.typeId() != typeId) {
        coder.failWithError(wrongType(key, expected));
        return std::nullopt;
    }
    return decoded;
}

// Sets the value from the object stored under the key (an absent one gives the empty value) when it
// is of the value's type; otherwise the coder fails and the value stays.
template <typename T>
void decodeTyped(platform::KeyedUnarchiver &coder, const QString &key, T &value, const char *expected)
{
    if (const std::optional<QVariant> decoded = decodedOfType(coder, key, qMetaTypeId<T>(), expected))
        value = decoded->value<T>();
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
    for (HMProfileConduitSettings &conduit : m_conduits) {
        conduit.syncEnabled = true;
        conduit.syncDirectionName = kTwoWay;
        conduit.syncDeletionsName = kTwoWay;
        conduit.conflictSettingName = m_conflictSettingName;
    }
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

const HMProfileConduitSettings &HMProfile::conduitSettings(HMProfileConduit conduit) const
{
    return m_conduits.at(static_cast<std::size_t>(conduit));
}

HMProfileConduitSettings &HMProfile::conduitSettingsToChange(HMProfileConduit conduit)
{
    return m_conduits.at(static_cast<std::size_t>(conduit));
}

void HMProfile::setSyncEnabled(HMProfileConduit conduit, bool value)
{
    conduitSettingsToChange(conduit).syncEnabled = value;
}

void HMProfile::setLastSyncDate(HMProfileConduit conduit, const QDateTime &value)
{
    conduitSettingsToChange(conduit).lastSyncDate = value;
}

void HMProfile::setSyncDirectionName(HMProfileConduit conduit, const QString &value)
{
    HMProfileConduitSettings &settings = conduitSettingsToChange(conduit);
    storeNameAndNumber(settings.syncDirectionName, settings.syncDirection, value, syncDirectionForName);
}

void HMProfile::setSyncDirection(HMProfileConduit conduit, HMSyncDirection value)
{
    conduitSettingsToChange(conduit).syncDirection = value;
}

void HMProfile::setSyncDeletionsName(HMProfileConduit conduit, const QString &value)
{
    HMProfileConduitSettings &settings = conduitSettingsToChange(conduit);
    storeNameAndNumber(settings.syncDeletionsName, settings.syncDeletions, value, syncDirectionForName);
}

void HMProfile::setSyncDeletions(HMProfileConduit conduit, HMSyncDeletions value)
{
    conduitSettingsToChange(conduit).syncDeletions = value;
}

void HMProfile::setConflictSettingName(HMProfileConduit conduit, const QString &value)
{
    HMProfileConduitSettings &settings = conduitSettingsToChange(conduit);
    storeNameAndNumber(settings.conflictSettingName, settings.conflictSetting, value, conflictSettingForName);
}

void HMProfile::setConflictSetting(HMProfileConduit conduit, HMConflictSetting value)
{
    conduitSettingsToChange(conduit).conflictSetting = value;
}

void HMProfile::setPurgeOnNextSync(HMProfileConduit conduit, bool value)
{
    conduitSettingsToChange(conduit).purgeOnNextSync = value;
    updatePurgeProfileCheckboxState();
}

void HMProfile::setCount(HMProfileConduit conduit, qint64 value)
{
    conduitSettingsToChange(conduit).count = value;
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
    bool anyEnabledKeeps = false;
    bool anyEnabledPurges = false;
    for (const HMProfileConduitSettings &conduit : m_conduits) {
        if (!conduit.syncEnabled)
            continue;
        anyEnabledKeeps = anyEnabledKeeps || !conduit.purgeOnNextSync;
        anyEnabledPurges = anyEnabledPurges || conduit.purgeOnNextSync;
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
    for (const HMProfileConduit conduit : kConduits) {
        if (conduitSettings(conduit).syncEnabled)
            setPurgeOnNextSync(conduit, purges);
    }
}

void HMProfile::updateDeleteSettingForConduits()
{
    DDLogInfo(QStringLiteral("theSyncDeletionsName %1").arg(m_syncDeletionsName));
    const QString name = m_syncDeletionsName;
    for (const HMProfileConduit conduit : kConduits)
        setSyncDeletionsName(conduit, name);
}

void HMProfile::updateConflictSettingForConduits()
{
    const QString name = m_conflictSettingName;
    for (const HMProfileConduit conduit : kConduits)
        setConflictSettingName(conduit, name);
}

void HMProfile::updateProfileDeleteSetting()
{
    const HMProfileConduitSettings &contacts = conduitSettings(Contacts);
    const bool allAgree =
        std::all_of(m_conduits.begin(), m_conduits.end(), [&](const HMProfileConduitSettings &conduit) {
            return conduit.syncDeletions == contacts.syncDeletions;
        });
    setSyncDeletionsName(allAgree ? contacts.syncDeletionsName : QString());
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

// The table of stored keys: the data of the profile's file, in the order it is written. The conduits'
// settings stand between the profile-wide policy and the Apple stores' calendars.
const std::vector<HMProfile::StoredField> HMProfile::kStoredFields = HMProfile::makeStoredFields();

std::vector<HMProfile::StoredField> HMProfile::makeStoredFields()
{
    std::vector<StoredField> fields = fieldsBeforeConduits();
    for (const HMProfileConduit conduit : kConduits) {
        const std::vector<StoredField> ofConduit = conduitFields(conduit);
        fields.insert(fields.end(), ofConduit.begin(), ofConduit.end());
    }
    const std::vector<StoredField> after = fieldsAfterConduits();
    fields.insert(fields.end(), after.begin(), after.end());
    return fields;
}

// Identity, device, accounts, transport bookkeeping and the profile-wide policy.
std::vector<HMProfile::StoredField> HMProfile::fieldsBeforeConduits()
{
    return {
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
    };
}

// A conduit's keys start with its word ("contact", ...); its record count has a key of its own.
std::vector<HMProfile::StoredField> HMProfile::conduitFields(HMProfileConduit conduit)
{
    const ConduitKeys &keys = kConduitKeys.at(static_cast<std::size_t>(conduit));
    const auto key = [&](const char *suffix) { return QLatin1StringView(keys.prefix) + QLatin1StringView(suffix); };
    return {
        {key("SyncEnabled"), &HMProfileConduitSettings::syncEnabled, conduit},
        {key("LastSyncDate"), &HMProfileConduitSettings::lastSyncDate, conduit},
        {key("SyncDirectionName"), &HMProfileConduitSettings::syncDirectionName, conduit},
        {key("SyncDeletionsName"), &HMProfileConduitSettings::syncDeletionsName, conduit},
        {key("ConflictSettingName"), &HMProfileConduitSettings::conflictSettingName, conduit},
        {key("PurgeOnNextSync"), &HMProfileConduitSettings::purgeOnNextSync, conduit},
        {QString::fromLatin1(keys.countKey), &HMProfileConduitSettings::count, conduit},
    };
}

// The Apple stores' calendars, automatic syncs and Outlook choices.
std::vector<HMProfile::StoredField> HMProfile::fieldsAfterConduits()
{
    return {
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
}

template <typename Profile, typename Visit>
void HMProfile::visitStoredField(Profile &profile, const StoredField &field, Visit &&visit)
{
    std::visit(
        [&](auto member) {
            if constexpr (std::is_same_v<typename MemberOwner<decltype(member)>::Type, HMProfileConduitSettings>)
                visit(profile.m_conduits.at(static_cast<std::size_t>(field.conduit)).*member);
            else
                visit(profile.*member);
        },
        field.member);
}

void HMProfile::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    coder.encodeObject(QVariant(kReferenceText), kReferenceKey);
    for (const StoredField &field : kStoredFields) {
        visitStoredField(*this, field, [&](const auto &value) {
            using Value = std::remove_cvref_t<decltype(value)>;
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
        });
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
        visitStoredField(*this, field, [&](const auto &value) { stream << value; });
    // A value the stream cannot hold gives no digest, so the profile is always written.
    if (stream.status() != QDataStream::Ok)
        return {};
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

void HMProfile::initWithCoder(platform::KeyedUnarchiver &coder)
{
    *this = blankProfile();
    for (const StoredField &field : kStoredFields) {
        visitStoredField(*this, field, [&](auto &value) { decodeField(coder, field.key, value); });
        if (coder.hasFailed())
            return;
    }
    deriveNumbersFromNames();
    // A loaded profile takes its check-box state from the contacts and calendar flags alone; every
    // later change of a purge flag applies the full rule.
    const bool purgesContacts = conduitSettings(Contacts).purgeOnNextSync;
    const bool purgesCalendar = conduitSettings(Calendar).purgeOnNextSync;
    if (purgesContacts && purgesCalendar)
        m_purgeAppleRecordsCheckboxState = 1;
    else if (purgesContacts || purgesCalendar)
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
    decodeTyped(coder, key, value, "a text");
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QDateTime &value)
{
    decodeTyped(coder, key, value, "a date");
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QVariant &value)
{
    const QVariant decoded = coder.decodeObject(key);
    if (decoded.isValid() && !platform::isNumber(decoded))
        return coder.failWithError(wrongType(key, "a number"));
    value = decoded;
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QStringList &value)
{
    const std::optional<QVariant> decoded = decodedOfType(coder, key, QMetaType::QVariantList, "a list of texts");
    if (!decoded)
        return;
    QStringList texts;
    for (const QVariant &item : decoded->toList()) {
        if (item.typeId() != QMetaType::QString)
            return coder.failWithError(wrongType(key, "a list of texts"));
        texts.append(item.toString());
    }
    value = texts;
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QVariantList &value)
{
    decodeTyped(coder, key, value, "a list");
}

void HMProfile::decodeField(platform::KeyedUnarchiver &coder, const QString &key, QByteArray &value)
{
    decodeTyped(coder, key, value, "data");
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
    for (HMProfileConduitSettings &conduit : m_conduits) {
        conduit.syncDirection = direction(conduit.syncDirectionName);
        conduit.syncDeletions = direction(conduit.syncDeletionsName);
        conduit.conflictSetting = conflict(conduit.conflictSettingName);
    }
    m_syncMethod = syncMethodForName(m_syncMethodName);
    m_contactManager = contactManagerForName(m_contactManagerName);
    m_deviceType = deviceTypeForName(m_deviceTypeName);
}
