#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "sync/HMSyncTypes.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

class HMIdentifierGraph;

// The other side of a profile; a name outside the table gives None.
enum class HMDeviceType : quint64 {
    None = 0,
    Ios = 1,
    Android = 2,
    Quillnest = 3,
    Parcelvane = 4,
    Google = 5,
};

// How the other side is reached; a name outside the table gives None. Hmsh and Parcelvane have no
// transport.
enum class HMSyncMethod : quint64 {
    None = 0,
    WiFi = 1,
    Adb = 2,
    Hmsh = 3,
    Quillnest = 4,
    Parcelvane = 5,
    GoogleDirect = 6,
};

// Which Mac store a profile uses.
enum class HMContactManager : quint64 {
    None = 0,
    Apple = 1,
    Outlook14 = 2,
    Outlook15 = 3,
};

// "none", "ios", "android", "quillnest_devicetype", "parcelvane_devicetype", "google_devicetype".
HMDeviceType deviceTypeForName(const QString &name);
// "none", "wifi", "adb", "hmsh_sync_method", "quill_nest_sync_method", "parcelvane_sync_method",
// "direct_sync_method".
HMSyncMethod syncMethodForName(const QString &name);
// "ContactManagerApple", "ContactManagerOutlook14", "ContactManagerOutlook15"; None for any other.
HMContactManager contactManagerForName(const QString &name);

// The conduits a profile configures, in the order their settings are stored.
enum class HMProfileConduit : std::size_t {
    Contacts,
    Calendar,
    Tasks,
    Memos,
};
inline constexpr std::size_t kProfileConduitCount = 4;

// One conduit's settings in a profile; names and numbers are held as for the profile-wide ones.
struct HMProfileConduitSettings
{
    bool syncEnabled = false;
    QDateTime lastSyncDate;
    QString syncDirectionName;
    HMSyncDirection syncDirection = HMSyncDirection::TwoWay;
    QString syncDeletionsName;
    HMSyncDeletions syncDeletions = HMSyncDeletions::TwoWay;
    QString conflictSettingName;
    HMConflictSetting conflictSetting = HMConflictSetting::LastModifiedWins;
    bool purgeOnNextSync = false;
    qint64 count = 0;
};

// The settings of one sync partnership: the other side, how it is reached, the Mac store, and per
// conduit whether it takes part, the direction, deletion and conflict rules; beside these the account
// fields, the schedule of automatic syncs, Outlook choices and the dates of the last syncs.
// Enumerated settings are held twice: the name, which files and windows use, and the number derived
// from it, which sync code reads. Setting a name through its setter derives the number; the number
// setters store the number only.
// HMProfileManager creates, stores and loads profiles; they are shared (std::shared_ptr) between the
// windows and a running sync. No lock: the main thread edits a profile, a running sync reads and
// writes it on its queue, never both at once.
class HMProfile final : public platform::KeyedArchivable
{
public:
    using enum HMProfileConduit;

    // A new profile with the defaults of a new partnership: "android" over "adb", every conduit
    // enabled, "two_way" directions and deletions, "last_modified_wins" everywhere.
    HMProfile();
    // A profile as decoding starts it: every property nil, 0 or NO, not the defaults of a new one.
    static HMProfile blankProfile();

    // Identity.
    QString name() const { return m_name; }
    void setName(const QString &value) { m_name = value; }
    QString filename() const { return m_filename; }
    void setFilename(const QString &value) { m_filename = value; }
    qint64 identifier() const { return m_identifier; }
    void setIdentifier(qint64 value) { m_identifier = value; }
    QString hmProfileVersion() const { return m_hmProfileVersion; }
    void setHmProfileVersion(const QString &value) { m_hmProfileVersion = value; }

    // Device type, sync method and Mac store. The supported dictionaries map names to display texts
    // and are never stored.
    QString deviceTypeName() const { return m_deviceTypeName; }
    void setDeviceTypeName(const QString &value);
    HMDeviceType deviceType() const { return m_deviceType; }
    void setDeviceType(HMDeviceType value) { m_deviceType = value; }
    QString syncMethodName() const { return m_syncMethodName; }
    void setSyncMethodName(const QString &value);
    HMSyncMethod syncMethod() const { return m_syncMethod; }
    void setSyncMethod(HMSyncMethod value) { m_syncMethod = value; }
    QString contactManagerName() const { return m_contactManagerName; }
    void setContactManagerName(const QString &value) { m_contactManagerName = value; }
    HMContactManager contactManager() const { return m_contactManager; }
    void setContactManager(HMContactManager value) { m_contactManager = value; }
    QVariantMap devicesSupported() const { return m_devicesSupported; }
    void setDevicesSupported(const QVariantMap &value);
    QVariantMap devicesSupportedFiltered() const { return m_devicesSupportedFiltered; }
    QVariantMap syncMethodsSupported() const { return m_syncMethodsSupported; }
    void setSyncMethodsSupported(const QVariantMap &value);
    QVariantMap syncMethodsSupportedFiltered() const { return m_syncMethodsSupportedFiltered; }
    QVariantMap contactManagersSupported() const { return m_contactManagersSupported; }
    void setContactManagersSupported(const QVariantMap &value) { m_contactManagersSupported = value; }

    // Accounts. Credentials: never log them. The account picture is held as its encoded image bytes.
    QString hhUserId() const { return m_hhUserId; }
    void setHhUserId(const QString &value) { m_hhUserId = value; }
    QString hhPassword() const { return m_hhPassword; }
    void setHhPassword(const QString &value) { m_hhPassword = value; }
    QString hhIpAddress() const { return m_hhIpAddress; }
    void setHhIpAddress(const QString &value) { m_hhIpAddress = value; }
    QString quillnestPassword() const { return m_quillnestPassword; }
    void setQuillnestPassword(const QString &value) { m_quillnestPassword = value; }
    QString company() const { return m_company; }
    void setCompany(const QString &value) { m_company = value; }
    QString googleDirectUsername() const { return m_googleDirectUsername; }
    void setGoogleDirectUsername(const QString &value) { m_googleDirectUsername = value; }
    QString googleDirectPassword() const { return m_googleDirectPassword; }
    void setGoogleDirectPassword(const QString &value) { m_googleDirectPassword = value; }
    QByteArray googleDirectUserImage() const { return m_googleDirectUserImage; }
    void setGoogleDirectUserImage(const QByteArray &value) { m_googleDirectUserImage = value; }
    QString googleAccessToken() const { return m_googleAccessToken; }
    void setGoogleAccessToken(const QString &value) { m_googleAccessToken = value; }
    QString googleRefreshToken() const { return m_googleRefreshToken; }
    void setGoogleRefreshToken(const QString &value) { m_googleRefreshToken = value; }
    QVariantList allGoogleCalendars() const { return m_allGoogleCalendars; }
    void setAllGoogleCalendars(const QVariantList &value) { m_allGoogleCalendars = value; }
    QStringList googleCalendarIdentifiersToSync() const { return m_googleCalendarIdentifiersToSync; }
    void setGoogleCalendarIdentifiersToSync(const QStringList &value) { m_googleCalendarIdentifiersToSync = value; }
    QString googleCalendarIdentifierToWriteTo() const { return m_googleCalendarIdentifierToWriteTo; }
    void setGoogleCalendarIdentifierToWriteTo(const QString &value) { m_googleCalendarIdentifierToWriteTo = value; }

    // Transport bookkeeping.
    QString pppDataPath() const { return m_pppDataPath; }
    void setPppDataPath(const QString &value) { m_pppDataPath = value; }
    QString pppLastFileUpdateTime() const { return m_pppLastFileUpdateTime; }
    void setPppLastFileUpdateTime(const QString &value) { m_pppLastFileUpdateTime = value; }
    qint32 lastUploadPacketNumber() const { return m_lastUploadPacketNumber; }
    void setLastUploadPacketNumber(qint32 value) { m_lastUploadPacketNumber = value; }
    qint32 lastDownloadPacketNumber() const { return m_lastDownloadPacketNumber; }
    void setLastDownloadPacketNumber(qint32 value) { m_lastDownloadPacketNumber = value; }
    qint64 lastPacketNumberA() const { return m_lastPacketNumberA; }
    void setLastPacketNumberA(qint64 value) { m_lastPacketNumberA = value; }
    qint64 lastPacketNumberD() const { return m_lastPacketNumberD; }
    void setLastPacketNumberD(qint64 value) { m_lastPacketNumberD = value; }
    qint64 lastPacketNumberT() const { return m_lastPacketNumberT; }
    void setLastPacketNumberT(qint64 value) { m_lastPacketNumberT = value; }
    qint64 lastPacketNumberM() const { return m_lastPacketNumberM; }
    void setLastPacketNumberM(qint64 value) { m_lastPacketNumberM = value; }

    // Profile-wide sync policy.
    QString syncDeletionsName() const { return m_syncDeletionsName; }
    void setSyncDeletionsName(const QString &value);
    HMSyncDeletions syncDeletions() const { return m_syncDeletions; }
    void setSyncDeletions(HMSyncDeletions value) { m_syncDeletions = value; }
    QString conflictSettingName() const { return m_conflictSettingName; }
    void setConflictSettingName(const QString &value);
    HMConflictSetting conflictSetting() const { return m_conflictSetting; }
    void setConflictSetting(HMConflictSetting value) { m_conflictSetting = value; }
    bool rereadAppleOnNextSync() const { return m_rereadAppleOnNextSync; }
    void setRereadAppleOnNextSync(bool value) { m_rereadAppleOnNextSync = value; }
    bool rereadDeviceOnNextSync() const { return m_rereadDeviceOnNextSync; }
    void setRereadDeviceOnNextSync(bool value) { m_rereadDeviceOnNextSync = value; }
    QDateTime lastSyncDateWorkaround() const { return m_lastSyncDateWorkaround; }
    void setLastSyncDateWorkaround(const QDateTime &value) { m_lastSyncDateWorkaround = value; }
    qint64 purgeAppleRecordsCheckboxState() const { return m_purgeAppleRecordsCheckboxState; }
    void setPurgeAppleRecordsCheckboxState(qint64 value) { m_purgeAppleRecordsCheckboxState = value; }

    // Per conduit: one entry of the conduit table each. The names, setters that derive numbers and
    // purge flags behave as the profile-wide ones.
    const HMProfileConduitSettings &conduitSettings(HMProfileConduit conduit) const;
    void setSyncEnabled(HMProfileConduit conduit, bool value);
    void setLastSyncDate(HMProfileConduit conduit, const QDateTime &value);
    void setSyncDirectionName(HMProfileConduit conduit, const QString &value);
    void setSyncDirection(HMProfileConduit conduit, HMSyncDirection value);
    void setSyncDeletionsName(HMProfileConduit conduit, const QString &value);
    void setSyncDeletions(HMProfileConduit conduit, HMSyncDeletions value);
    void setConflictSettingName(HMProfileConduit conduit, const QString &value);
    void setConflictSetting(HMProfileConduit conduit, HMConflictSetting value);
    void setPurgeOnNextSync(HMProfileConduit conduit, bool value);
    void setCount(HMProfileConduit conduit, qint64 value);

    // The same by name, as the settings sheets and sync code read them.
    bool contactSyncEnabled() const { return conduitSettings(Contacts).syncEnabled; }
    void setContactSyncEnabled(bool value) { setSyncEnabled(Contacts, value); }
    QDateTime contactLastSyncDate() const { return conduitSettings(Contacts).lastSyncDate; }
    void setContactLastSyncDate(const QDateTime &value) { setLastSyncDate(Contacts, value); }
    QString contactSyncDirectionName() const { return conduitSettings(Contacts).syncDirectionName; }
    void setContactSyncDirectionName(const QString &value) { setSyncDirectionName(Contacts, value); }
    HMSyncDirection contactSyncDirection() const { return conduitSettings(Contacts).syncDirection; }
    void setContactSyncDirection(HMSyncDirection value) { setSyncDirection(Contacts, value); }
    QString contactSyncDeletionsName() const { return conduitSettings(Contacts).syncDeletionsName; }
    void setContactSyncDeletionsName(const QString &value) { setSyncDeletionsName(Contacts, value); }
    HMSyncDeletions contactSyncDeletions() const { return conduitSettings(Contacts).syncDeletions; }
    void setContactSyncDeletions(HMSyncDeletions value) { setSyncDeletions(Contacts, value); }
    QString contactConflictSettingName() const { return conduitSettings(Contacts).conflictSettingName; }
    void setContactConflictSettingName(const QString &value) { setConflictSettingName(Contacts, value); }
    HMConflictSetting contactConflictSetting() const { return conduitSettings(Contacts).conflictSetting; }
    void setContactConflictSetting(HMConflictSetting value) { setConflictSetting(Contacts, value); }
    bool purgeContactsOnNextSync() const { return conduitSettings(Contacts).purgeOnNextSync; }
    void setPurgeContactsOnNextSync(bool value) { setPurgeOnNextSync(Contacts, value); }
    qint64 contactCount() const { return conduitSettings(Contacts).count; }
    void setContactCount(qint64 value) { setCount(Contacts, value); }
    bool calendarSyncEnabled() const { return conduitSettings(Calendar).syncEnabled; }
    void setCalendarSyncEnabled(bool value) { setSyncEnabled(Calendar, value); }
    QDateTime calendarLastSyncDate() const { return conduitSettings(Calendar).lastSyncDate; }
    void setCalendarLastSyncDate(const QDateTime &value) { setLastSyncDate(Calendar, value); }
    QString calendarSyncDirectionName() const { return conduitSettings(Calendar).syncDirectionName; }
    void setCalendarSyncDirectionName(const QString &value) { setSyncDirectionName(Calendar, value); }
    HMSyncDirection calendarSyncDirection() const { return conduitSettings(Calendar).syncDirection; }
    void setCalendarSyncDirection(HMSyncDirection value) { setSyncDirection(Calendar, value); }
    QString calendarSyncDeletionsName() const { return conduitSettings(Calendar).syncDeletionsName; }
    void setCalendarSyncDeletionsName(const QString &value) { setSyncDeletionsName(Calendar, value); }
    HMSyncDeletions calendarSyncDeletions() const { return conduitSettings(Calendar).syncDeletions; }
    void setCalendarSyncDeletions(HMSyncDeletions value) { setSyncDeletions(Calendar, value); }
    QString calendarConflictSettingName() const { return conduitSettings(Calendar).conflictSettingName; }
    void setCalendarConflictSettingName(const QString &value) { setConflictSettingName(Calendar, value); }
    HMConflictSetting calendarConflictSetting() const { return conduitSettings(Calendar).conflictSetting; }
    void setCalendarConflictSetting(HMConflictSetting value) { setConflictSetting(Calendar, value); }
    bool purgeCalendarOnNextSync() const { return conduitSettings(Calendar).purgeOnNextSync; }
    void setPurgeCalendarOnNextSync(bool value) { setPurgeOnNextSync(Calendar, value); }
    qint64 eventCount() const { return conduitSettings(Calendar).count; }
    void setEventCount(qint64 value) { setCount(Calendar, value); }
    bool taskSyncEnabled() const { return conduitSettings(Tasks).syncEnabled; }
    void setTaskSyncEnabled(bool value) { setSyncEnabled(Tasks, value); }
    QDateTime taskLastSyncDate() const { return conduitSettings(Tasks).lastSyncDate; }
    void setTaskLastSyncDate(const QDateTime &value) { setLastSyncDate(Tasks, value); }
    QString taskSyncDirectionName() const { return conduitSettings(Tasks).syncDirectionName; }
    void setTaskSyncDirectionName(const QString &value) { setSyncDirectionName(Tasks, value); }
    HMSyncDirection taskSyncDirection() const { return conduitSettings(Tasks).syncDirection; }
    void setTaskSyncDirection(HMSyncDirection value) { setSyncDirection(Tasks, value); }
    QString taskSyncDeletionsName() const { return conduitSettings(Tasks).syncDeletionsName; }
    void setTaskSyncDeletionsName(const QString &value) { setSyncDeletionsName(Tasks, value); }
    HMSyncDeletions taskSyncDeletions() const { return conduitSettings(Tasks).syncDeletions; }
    void setTaskSyncDeletions(HMSyncDeletions value) { setSyncDeletions(Tasks, value); }
    QString taskConflictSettingName() const { return conduitSettings(Tasks).conflictSettingName; }
    void setTaskConflictSettingName(const QString &value) { setConflictSettingName(Tasks, value); }
    HMConflictSetting taskConflictSetting() const { return conduitSettings(Tasks).conflictSetting; }
    void setTaskConflictSetting(HMConflictSetting value) { setConflictSetting(Tasks, value); }
    bool purgeTasksOnNextSync() const { return conduitSettings(Tasks).purgeOnNextSync; }
    void setPurgeTasksOnNextSync(bool value) { setPurgeOnNextSync(Tasks, value); }
    qint64 taskCount() const { return conduitSettings(Tasks).count; }
    void setTaskCount(qint64 value) { setCount(Tasks, value); }
    bool memoSyncEnabled() const { return conduitSettings(Memos).syncEnabled; }
    void setMemoSyncEnabled(bool value) { setSyncEnabled(Memos, value); }
    QDateTime memoLastSyncDate() const { return conduitSettings(Memos).lastSyncDate; }
    void setMemoLastSyncDate(const QDateTime &value) { setLastSyncDate(Memos, value); }
    QString memoSyncDirectionName() const { return conduitSettings(Memos).syncDirectionName; }
    void setMemoSyncDirectionName(const QString &value) { setSyncDirectionName(Memos, value); }
    HMSyncDirection memoSyncDirection() const { return conduitSettings(Memos).syncDirection; }
    void setMemoSyncDirection(HMSyncDirection value) { setSyncDirection(Memos, value); }
    QString memoSyncDeletionsName() const { return conduitSettings(Memos).syncDeletionsName; }
    void setMemoSyncDeletionsName(const QString &value) { setSyncDeletionsName(Memos, value); }
    HMSyncDeletions memoSyncDeletions() const { return conduitSettings(Memos).syncDeletions; }
    void setMemoSyncDeletions(HMSyncDeletions value) { setSyncDeletions(Memos, value); }
    QString memoConflictSettingName() const { return conduitSettings(Memos).conflictSettingName; }
    void setMemoConflictSettingName(const QString &value) { setConflictSettingName(Memos, value); }
    HMConflictSetting memoConflictSetting() const { return conduitSettings(Memos).conflictSetting; }
    void setMemoConflictSetting(HMConflictSetting value) { setConflictSetting(Memos, value); }
    bool purgeMemosOnNextSync() const { return conduitSettings(Memos).purgeOnNextSync; }
    void setPurgeMemosOnNextSync(bool value) { setPurgeOnNextSync(Memos, value); }
    qint64 memoCount() const { return conduitSettings(Memos).count; }
    void setMemoCount(qint64 value) { setCount(Memos, value); }

    // Calendars and reminder lists of the Apple stores.
    QStringList eventCalendarIdentifiersToSync() const { return m_eventCalendarIdentifiersToSync; }
    void setEventCalendarIdentifiersToSync(const QStringList &value) { m_eventCalendarIdentifiersToSync = value; }
    QString eventCalendarIdentifierToWriteTo() const { return m_eventCalendarIdentifierToWriteTo; }
    void setEventCalendarIdentifierToWriteTo(const QString &value) { m_eventCalendarIdentifierToWriteTo = value; }
    QStringList taskCalendarIdentifiersToSync() const { return m_taskCalendarIdentifiersToSync; }
    void setTaskCalendarIdentifiersToSync(const QStringList &value) { m_taskCalendarIdentifiersToSync = value; }
    QString taskCalendarIdentifierToWriteTo() const { return m_taskCalendarIdentifierToWriteTo; }
    void setTaskCalendarIdentifierToWriteTo(const QString &value) { m_taskCalendarIdentifierToWriteTo = value; }

    // Automatic syncs. The interval and the window are numbers, invalid when never set.
    bool backgroundSyncEnabled() const { return m_backgroundSyncEnabled; }
    void setBackgroundSyncEnabled(bool value);
    QVariant backgroundSyncInterval() const { return m_backgroundSyncInterval; }
    void setBackgroundSyncInterval(const QVariant &value) { m_backgroundSyncInterval = value; }
    bool pushNotificationsEnabled() const { return m_pushNotificationsEnabled; }
    void setPushNotificationsEnabled(bool value) { m_pushNotificationsEnabled = value; }
    bool ignoreOutlookAutosyncCaching() const { return m_ignoreOutlookAutosyncCaching; }
    void setIgnoreOutlookAutosyncCaching(bool value) { m_ignoreOutlookAutosyncCaching = value; }
    bool useBlackoutPeriod() const { return m_useBlackoutPeriod; }
    void setUseBlackoutPeriod(bool value) { m_useBlackoutPeriod = value; }
    QVariant syncBetweenTheseTimesStartMinutes() const { return m_syncBetweenTheseTimesStartMinutes; }
    void setSyncBetweenTheseTimesStartMinutes(const QVariant &value) { m_syncBetweenTheseTimesStartMinutes = value; }
    QVariant syncBetweenTheseTimesEndMinutes() const { return m_syncBetweenTheseTimesEndMinutes; }
    void setSyncBetweenTheseTimesEndMinutes(const QVariant &value) { m_syncBetweenTheseTimesEndMinutes = value; }
    QDateTime lastOutlookAutosyncDate() const { return m_lastOutlookAutosyncDate; }
    void setLastOutlookAutosyncDate(const QDateTime &value) { m_lastOutlookAutosyncDate = value; }
    QDateTime lastQuillnestAutosyncCheck() const { return m_lastQuillnestAutosyncCheck; }
    void setLastQuillnestAutosyncCheck(const QDateTime &value) { m_lastQuillnestAutosyncCheck = value; }
    QDateTime lastGoogleConnectorStatusCheck() const { return m_lastGoogleConnectorStatusCheck; }
    void setLastGoogleConnectorStatusCheck(const QDateTime &value) { m_lastGoogleConnectorStatusCheck = value; }

    // Outlook and options.
    QString outlookContactFolderSelection() const { return m_outlookContactFolderSelection; }
    void setOutlookContactFolderSelection(const QString &value) { m_outlookContactFolderSelection = value; }
    QString outlookCalendarFolderSelection() const { return m_outlookCalendarFolderSelection; }
    void setOutlookCalendarFolderSelection(const QString &value) { m_outlookCalendarFolderSelection = value; }
    QString outlookTaskFolderSelection() const { return m_outlookTaskFolderSelection; }
    void setOutlookTaskFolderSelection(const QString &value) { m_outlookTaskFolderSelection = value; }
    QString outlookMemoFolderSelection() const { return m_outlookMemoFolderSelection; }
    void setOutlookMemoFolderSelection(const QString &value) { m_outlookMemoFolderSelection = value; }
    bool useCustomOutlookApplicationPath() const { return m_useCustomOutlookApplicationPath; }
    void setUseCustomOutlookApplicationPath(bool value) { m_useCustomOutlookApplicationPath = value; }
    QString outlookApplicationPathSetting() const { return m_outlookApplicationPathSetting; }
    void setOutlookApplicationPathSetting(const QString &value) { m_outlookApplicationPathSetting = value; }
    QVariant dateRangeCalendarDaysBack() const { return m_dateRangeCalendarDaysBack; }
    void setDateRangeCalendarDaysBack(const QVariant &value) { m_dateRangeCalendarDaysBack = value; }
    QString shouldSyncAttendees() const { return m_shouldSyncAttendees; }
    void setShouldSyncAttendees(const QString &value) { m_shouldSyncAttendees = value; }
    QString shouldSyncCompletedTasks() const { return m_shouldSyncCompletedTasks; }
    void setShouldSyncCompletedTasks(const QString &value) { m_shouldSyncCompletedTasks = value; }
    QString shouldSyncOrganizerMeetings() const { return m_shouldSyncOrganizerMeetings; }
    void setShouldSyncOrganizerMeetings(const QString &value) { m_shouldSyncOrganizerMeetings = value; }
    QString shouldSyncPhotos() const { return m_shouldSyncPhotos; }
    void setShouldSyncPhotos(const QString &value) { m_shouldSyncPhotos = value; }

    // Called with "devicesSupportedFiltered" or "syncMethodsSupportedFiltered" after that list was
    // rebuilt, so that bound controls refresh. Called on the thread that changed the profile.
    void setFilteredListObserver(std::function<void(const QString &key)> observer)
    {
        m_filteredListObserver = std::move(observer);
    }

    // Rebuilds the device types that fit the sync method.
    void updateFilteredDeviceList();
    // Rebuilds the sync methods that fit the device type; when the current method is not among them,
    // switches to "quill_nest_sync_method" (device type Google) or "none".
    void updateFilteredSyncMethodList();
    // 1 when no enabled conduit has its purge flag clear, -1 when some enabled conduit purges,
    // otherwise 0.
    void updatePurgeProfileCheckboxState();
    // At state 1 marks every enabled conduit for a purge, at 0 clears them; disabled conduits keep
    // their flags.
    void updatePurgeFlags();
    // Copies the profile-wide deletion name into the four conduits.
    void updateDeleteSettingForConduits();
    // Copies the profile-wide conflict name into the four conduits.
    void updateConflictSettingForConduits();
    // The contacts deletion name when all four conduits agree, otherwise a null name.
    void updateProfileDeleteSetting();

    // Setting name to localised display text, for the settings sheets.
    QVariantMap syncDirectionDictionaryList() const;
    QVariantMap syncDeletionsDictionaryList() const;
    QVariantMap conflictSettingsDictionaryList() const;

    // The stored identifier graph of a conduit ("A", "D", "T", "M"), a new empty one, or nullptr
    // (HMProfileManager::identifierGraphForProfile).
    std::shared_ptr<HMIdentifierGraph> identifierGraphForConduit(const QString &conduit) const;
    // Saves the graph of a conduit; false when it was not written.
    bool saveIdentifierGraph(const HMIdentifierGraph &graph, const QString &conduit) const;

    // A digest of every stored field with its exact value (types, null against empty texts): two
    // states with the same digest encode to the same file. HMProfileManager skips the write of a
    // profile its file already holds.
    QByteArray storedFieldsDigest() const;
    // Makes this profile's reminder list for new reminders the process-wide default, as every save
    // does.
    void publishDefaultReminderCalendar() const;

    QString archiveClassName() const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder) override;

private:
    struct Blank
    {
    };
    explicit HMProfile(Blank);

    using FieldMember =
        std::variant<QString HMProfile::*, bool HMProfile::*, qint64 HMProfile::*, qint32 HMProfile::*,
                     QDateTime HMProfile::*, QVariant HMProfile::*, QStringList HMProfile::*, QVariantList HMProfile::*,
                     QByteArray HMProfile::*, QString HMProfileConduitSettings::*, bool HMProfileConduitSettings::*,
                     qint64 HMProfileConduitSettings::*, QDateTime HMProfileConduitSettings::*>;
    // A property of the profile, or of the conduit named when the member is a conduit setting's.
    struct StoredField
    {
        QString key;
        FieldMember member;
        HMProfileConduit conduit = HMProfileConduit::Contacts;
    };
    // Every stored key with its property, in the order they are written.
    static const std::vector<StoredField> kStoredFields;
    static std::vector<StoredField> makeStoredFields();
    static std::vector<StoredField> fieldsBeforeConduits();
    static std::vector<StoredField> conduitFields(HMProfileConduit conduit);
    static std::vector<StoredField> fieldsAfterConduits();
    // Calls visit with the stored value the field names, in a profile or a const profile.
    template <typename Profile, typename Visit>
    static void visitStoredField(Profile &profile, const StoredField &field, Visit &&visit);
    HMProfileConduitSettings &conduitSettingsToChange(HMProfileConduit conduit);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, bool &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, qint64 &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, qint32 &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, QString &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, QDateTime &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, QVariant &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, QStringList &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, QVariantList &value);
    static void decodeField(platform::KeyedUnarchiver &coder, const QString &key, QByteArray &value);
    void deriveNumbersFromNames();
    void announceFilteredListChange(const QString &key);
    QString otherSideName() const;

    QString m_name;
    QString m_filename;
    qint64 m_identifier = 0;
    QString m_hmProfileVersion;
    QString m_deviceTypeName;
    HMDeviceType m_deviceType = HMDeviceType::None;
    QString m_syncMethodName;
    HMSyncMethod m_syncMethod = HMSyncMethod::None;
    QString m_contactManagerName;
    HMContactManager m_contactManager = HMContactManager::None;
    QVariantMap m_devicesSupported;
    QVariantMap m_devicesSupportedFiltered;
    QVariantMap m_syncMethodsSupported;
    QVariantMap m_syncMethodsSupportedFiltered;
    QVariantMap m_contactManagersSupported;
    QString m_hhUserId;
    QString m_hhPassword;
    QString m_hhIpAddress;
    QString m_quillnestPassword;
    QString m_company;
    QString m_googleDirectUsername;
    QString m_googleDirectPassword;
    QByteArray m_googleDirectUserImage;
    QString m_googleAccessToken;
    QString m_googleRefreshToken;
    QVariantList m_allGoogleCalendars;
    QStringList m_googleCalendarIdentifiersToSync;
    QString m_googleCalendarIdentifierToWriteTo;
    QString m_pppDataPath;
    QString m_pppLastFileUpdateTime;
    qint32 m_lastUploadPacketNumber = 0;
    qint32 m_lastDownloadPacketNumber = 0;
    qint64 m_lastPacketNumberA = 0;
    qint64 m_lastPacketNumberD = 0;
    qint64 m_lastPacketNumberT = 0;
    qint64 m_lastPacketNumberM = 0;
    QString m_syncDeletionsName;
    HMSyncDeletions m_syncDeletions = HMSyncDeletions::TwoWay;
    QString m_conflictSettingName;
    HMConflictSetting m_conflictSetting = HMConflictSetting::LastModifiedWins;
    bool m_rereadAppleOnNextSync = false;
    bool m_rereadDeviceOnNextSync = false;
    QDateTime m_lastSyncDateWorkaround;
    qint64 m_purgeAppleRecordsCheckboxState = 0;
    std::array<HMProfileConduitSettings, kProfileConduitCount> m_conduits;
    QStringList m_eventCalendarIdentifiersToSync;
    QString m_eventCalendarIdentifierToWriteTo;
    QStringList m_taskCalendarIdentifiersToSync;
    QString m_taskCalendarIdentifierToWriteTo;
    bool m_backgroundSyncEnabled = false;
    QVariant m_backgroundSyncInterval;
    bool m_pushNotificationsEnabled = false;
    bool m_ignoreOutlookAutosyncCaching = false;
    bool m_useBlackoutPeriod = false;
    QVariant m_syncBetweenTheseTimesStartMinutes;
    QVariant m_syncBetweenTheseTimesEndMinutes;
    QDateTime m_lastOutlookAutosyncDate;
    QDateTime m_lastQuillnestAutosyncCheck;
    QDateTime m_lastGoogleConnectorStatusCheck;
    QString m_outlookContactFolderSelection;
    QString m_outlookCalendarFolderSelection;
    QString m_outlookTaskFolderSelection;
    QString m_outlookMemoFolderSelection;
    bool m_useCustomOutlookApplicationPath = false;
    QString m_outlookApplicationPathSetting;
    QVariant m_dateRangeCalendarDaysBack;
    QString m_shouldSyncAttendees;
    QString m_shouldSyncCompletedTasks;
    QString m_shouldSyncOrganizerMeetings;
    QString m_shouldSyncPhotos;
    std::function<void(const QString &key)> m_filteredListObserver;
};
