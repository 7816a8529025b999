#include "sync/HMProfileManager.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMConfiguration.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/NSData+Encrypt.h"

#include "ProfileTestSupport.h"
#include "platform/foundation/FileTestSupport.h"
#include "foundation/LogCapture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>

namespace {

// The settings files' fixed key mask, initialisation vector and passphrase: part of the file format.
const QByteArray kKeyMask = QByteArray::fromHex("c2e7b9e41b430934cf537c8ba2132369b4b21e9d703c430b42b96cf88265148b");
const QByteArray kInitialisationVector = QByteArray::fromHex("768d80b1e24edddb01e0f4b91c45b492");
const QByteArray kPassphrase("qH7vR2mKx9Te");

std::shared_ptr<HMConfiguration> standardConfiguration()
{
    return std::make_shared<HMConfiguration>();
}

// Gives every stored setting a value that differs from what a new or an empty profile holds.
void fillEveryStoredSetting(HMProfile &profile)
{
    profile.setName(QStringLiteral("name value \u00e9"));
    profile.setIdentifier(3LL * 1000000007LL);
    profile.setHmProfileVersion(QStringLiteral("hmProfileVersion value \u00e9"));
    profile.setDeviceTypeName(QStringLiteral("quillnest_devicetype"));
    profile.setSyncMethodName(QStringLiteral("quill_nest_sync_method"));
    profile.setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
    profile.setHhUserId(QStringLiteral("hhUserId value \u00e9"));
    profile.setHhPassword(QStringLiteral("hhPassword value \u00e9"));
    profile.setHhIpAddress(QStringLiteral("hhIpAddress value \u00e9"));
    profile.setQuillnestPassword(QStringLiteral("quillnestPassword value \u00e9"));
    profile.setCompany(QStringLiteral("company value \u00e9"));
    profile.setGoogleDirectUsername(QStringLiteral("googleDirectUsername value \u00e9"));
    profile.setGoogleDirectPassword(QStringLiteral("googleDirectPassword value \u00e9"));
    profile.setGoogleDirectUserImage(QByteArray("\x89PNG\r\n\x1a\n\0\xff", 10) + QByteArray(96 * 1024, '\x5a'));
    profile.setGoogleAccessToken(QStringLiteral("googleAccessToken value \u00e9"));
    profile.setGoogleRefreshToken(QStringLiteral("googleRefreshToken value \u00e9"));
    profile.setAllGoogleCalendars(QVariantList{QVariantMap{{QStringLiteral("id"), QStringLiteral("primary")},
                                                           {QStringLiteral("name"), QStringLiteral("Work")}},
                                               QVariantMap{{QStringLiteral("id"), QStringLiteral("c2")}}});
    profile.setGoogleCalendarIdentifiersToSync(QStringList{QStringLiteral("googleCalendarIdentifiersToSync-1"),
                                                           QStringLiteral("googleCalendarIdentifiersToSync-2")});
    profile.setGoogleCalendarIdentifierToWriteTo(QStringLiteral("googleCalendarIdentifierToWriteTo value \u00e9"));
    profile.setPppDataPath(QStringLiteral("pppDataPath value \u00e9"));
    profile.setPppLastFileUpdateTime(QStringLiteral("pppLastFileUpdateTime value \u00e9"));
    profile.setLastUploadPacketNumber(-23007);
    profile.setLastDownloadPacketNumber(-24007);
    profile.setLastPacketNumberA(25LL * 1000000007LL);
    profile.setLastPacketNumberD(26LL * 1000000007LL);
    profile.setLastPacketNumberT(27LL * 1000000007LL);
    profile.setLastPacketNumberM(28LL * 1000000007LL);
    profile.setSyncDeletionsName(QStringLiteral("device_to_mac"));
    profile.setConflictSettingName(QStringLiteral("duplicate"));
    profile.setRereadAppleOnNextSync(true);
    profile.setRereadDeviceOnNextSync(true);
    profile.setLastSyncDateWorkaround(QDateTime(QDate(2024, 10, 6), QTime(9, 33, 51, 429), Qt::UTC));
    profile.setContactSyncEnabled(false);
    profile.setContactLastSyncDate(QDateTime(QDate(2024, 12, 8), QTime(11, 35, 5, 455), Qt::UTC));
    profile.setContactSyncDirectionName(QStringLiteral("mac_to_device"));
    profile.setContactSyncDeletionsName(QStringLiteral("device_to_mac"));
    profile.setContactConflictSettingName(QStringLiteral("apple_wins"));
    profile.setPurgeContactsOnNextSync(true);
    profile.setContactCount(40LL * 1000000007LL);
    profile.setCalendarSyncEnabled(false);
    profile.setCalendarLastSyncDate(QDateTime(QDate(2024, 7, 15), QTime(18, 42, 54, 546), Qt::UTC));
    profile.setCalendarSyncDirectionName(QStringLiteral("mac_to_device"));
    profile.setCalendarSyncDeletionsName(QStringLiteral("device_to_mac"));
    profile.setCalendarConflictSettingName(QStringLiteral("apple_wins"));
    profile.setPurgeCalendarOnNextSync(true);
    profile.setEventCount(47LL * 1000000007LL);
    profile.setTaskSyncEnabled(false);
    profile.setTaskLastSyncDate(QDateTime(QDate(2024, 2, 22), QTime(1, 49, 43, 637), Qt::UTC));
    profile.setTaskSyncDirectionName(QStringLiteral("mac_to_device"));
    profile.setTaskSyncDeletionsName(QStringLiteral("device_to_mac"));
    profile.setTaskConflictSettingName(QStringLiteral("apple_wins"));
    profile.setPurgeTasksOnNextSync(true);
    profile.setTaskCount(54LL * 1000000007LL);
    profile.setMemoSyncEnabled(false);
    profile.setMemoLastSyncDate(QDateTime(QDate(2024, 9, 1), QTime(8, 56, 32, 728), Qt::UTC));
    profile.setMemoSyncDirectionName(QStringLiteral("mac_to_device"));
    profile.setMemoSyncDeletionsName(QStringLiteral("device_to_mac"));
    profile.setMemoConflictSettingName(QStringLiteral("apple_wins"));
    profile.setPurgeMemosOnNextSync(true);
    profile.setMemoCount(61LL * 1000000007LL);
    profile.setEventCalendarIdentifiersToSync(QStringList{QStringLiteral("eventCalendarIdentifiersToSync-1"),
                                                          QStringLiteral("eventCalendarIdentifiersToSync-2")});
    profile.setEventCalendarIdentifierToWriteTo(QStringLiteral("eventCalendarIdentifierToWriteTo value \u00e9"));
    profile.setTaskCalendarIdentifiersToSync(QStringList{QStringLiteral("taskCalendarIdentifiersToSync-1"),
                                                         QStringLiteral("taskCalendarIdentifiersToSync-2")});
    profile.setTaskCalendarIdentifierToWriteTo(QStringLiteral("taskCalendarIdentifierToWriteTo value \u00e9"));
    profile.setBackgroundSyncEnabled(false);
    profile.setBackgroundSyncInterval(QVariant(qint64(201)));
    profile.setPushNotificationsEnabled(true);
    profile.setIgnoreOutlookAutosyncCaching(true);
    profile.setUseBlackoutPeriod(true);
    profile.setSyncBetweenTheseTimesStartMinutes(QVariant(qint64(213)));
    profile.setSyncBetweenTheseTimesEndMinutes(QVariant(qint64(216)));
    profile.setLastOutlookAutosyncDate(QDateTime(QDate(2024, 2, 18), QTime(1, 13, 31, 949), Qt::UTC));
    profile.setLastQuillnestAutosyncCheck(QDateTime(QDate(2024, 3, 19), QTime(2, 14, 38, 962), Qt::UTC));
    profile.setLastGoogleConnectorStatusCheck(QDateTime(QDate(2024, 4, 20), QTime(3, 15, 45, 975), Qt::UTC));
    profile.setOutlookContactFolderSelection(QStringLiteral("outlookContactFolderSelection value \u00e9"));
    profile.setOutlookCalendarFolderSelection(QStringLiteral("outlookCalendarFolderSelection value \u00e9"));
    profile.setOutlookTaskFolderSelection(QStringLiteral("outlookTaskFolderSelection value \u00e9"));
    profile.setOutlookMemoFolderSelection(QStringLiteral("outlookMemoFolderSelection value \u00e9"));
    profile.setUseCustomOutlookApplicationPath(true);
    profile.setOutlookApplicationPathSetting(QStringLiteral("outlookApplicationPathSetting value \u00e9"));
    profile.setDateRangeCalendarDaysBack(QVariant(qint64(246)));
    profile.setShouldSyncAttendees(QStringLiteral("shouldSyncAttendees value \u00e9"));
    profile.setShouldSyncCompletedTasks(QStringLiteral("shouldSyncCompletedTasks value \u00e9"));
    profile.setShouldSyncOrganizerMeetings(QStringLiteral("shouldSyncOrganizerMeetings value \u00e9"));
    profile.setShouldSyncPhotos(QStringLiteral("shouldSyncPhotos value \u00e9"));
}

void expectSameStoredSettings(const HMProfile &loaded, const HMProfile &expected)
{
    EXPECT_EQ(loaded.name(), expected.name());
    EXPECT_EQ(loaded.filename(), expected.filename());
    EXPECT_EQ(loaded.identifier(), expected.identifier());
    EXPECT_EQ(loaded.hmProfileVersion(), expected.hmProfileVersion());
    EXPECT_EQ(loaded.deviceTypeName(), expected.deviceTypeName());
    EXPECT_EQ(loaded.syncMethodName(), expected.syncMethodName());
    EXPECT_EQ(loaded.contactManagerName(), expected.contactManagerName());
    EXPECT_EQ(loaded.hhUserId(), expected.hhUserId());
    EXPECT_EQ(loaded.hhPassword(), expected.hhPassword());
    EXPECT_EQ(loaded.hhIpAddress(), expected.hhIpAddress());
    EXPECT_EQ(loaded.quillnestPassword(), expected.quillnestPassword());
    EXPECT_EQ(loaded.company(), expected.company());
    EXPECT_EQ(loaded.googleDirectUsername(), expected.googleDirectUsername());
    EXPECT_EQ(loaded.googleDirectPassword(), expected.googleDirectPassword());
    EXPECT_EQ(loaded.googleDirectUserImage(), expected.googleDirectUserImage());
    EXPECT_EQ(loaded.googleAccessToken(), expected.googleAccessToken());
    EXPECT_EQ(loaded.googleRefreshToken(), expected.googleRefreshToken());
    EXPECT_EQ(loaded.allGoogleCalendars(), expected.allGoogleCalendars());
    EXPECT_EQ(loaded.googleCalendarIdentifiersToSync(), expected.googleCalendarIdentifiersToSync());
    EXPECT_EQ(loaded.googleCalendarIdentifierToWriteTo(), expected.googleCalendarIdentifierToWriteTo());
    EXPECT_EQ(loaded.pppDataPath(), expected.pppDataPath());
    EXPECT_EQ(loaded.pppLastFileUpdateTime(), expected.pppLastFileUpdateTime());
    EXPECT_EQ(loaded.lastUploadPacketNumber(), expected.lastUploadPacketNumber());
    EXPECT_EQ(loaded.lastDownloadPacketNumber(), expected.lastDownloadPacketNumber());
    EXPECT_EQ(loaded.lastPacketNumberA(), expected.lastPacketNumberA());
    EXPECT_EQ(loaded.lastPacketNumberD(), expected.lastPacketNumberD());
    EXPECT_EQ(loaded.lastPacketNumberT(), expected.lastPacketNumberT());
    EXPECT_EQ(loaded.lastPacketNumberM(), expected.lastPacketNumberM());
    EXPECT_EQ(loaded.syncDeletionsName(), expected.syncDeletionsName());
    EXPECT_EQ(loaded.conflictSettingName(), expected.conflictSettingName());
    EXPECT_EQ(loaded.rereadAppleOnNextSync(), expected.rereadAppleOnNextSync());
    EXPECT_EQ(loaded.rereadDeviceOnNextSync(), expected.rereadDeviceOnNextSync());
    EXPECT_EQ(loaded.lastSyncDateWorkaround(), expected.lastSyncDateWorkaround());
    EXPECT_EQ(loaded.contactSyncEnabled(), expected.contactSyncEnabled());
    EXPECT_EQ(loaded.contactLastSyncDate(), expected.contactLastSyncDate());
    EXPECT_EQ(loaded.contactSyncDirectionName(), expected.contactSyncDirectionName());
    EXPECT_EQ(loaded.contactSyncDeletionsName(), expected.contactSyncDeletionsName());
    EXPECT_EQ(loaded.contactConflictSettingName(), expected.contactConflictSettingName());
    EXPECT_EQ(loaded.purgeContactsOnNextSync(), expected.purgeContactsOnNextSync());
    EXPECT_EQ(loaded.contactCount(), expected.contactCount());
    EXPECT_EQ(loaded.calendarSyncEnabled(), expected.calendarSyncEnabled());
    EXPECT_EQ(loaded.calendarLastSyncDate(), expected.calendarLastSyncDate());
    EXPECT_EQ(loaded.calendarSyncDirectionName(), expected.calendarSyncDirectionName());
    EXPECT_EQ(loaded.calendarSyncDeletionsName(), expected.calendarSyncDeletionsName());
    EXPECT_EQ(loaded.calendarConflictSettingName(), expected.calendarConflictSettingName());
    EXPECT_EQ(loaded.purgeCalendarOnNextSync(), expected.purgeCalendarOnNextSync());
    EXPECT_EQ(loaded.eventCount(), expected.eventCount());
    EXPECT_EQ(loaded.taskSyncEnabled(), expected.taskSyncEnabled());
    EXPECT_EQ(loaded.taskLastSyncDate(), expected.taskLastSyncDate());
    EXPECT_EQ(loaded.taskSyncDirectionName(), expected.taskSyncDirectionName());
    EXPECT_EQ(loaded.taskSyncDeletionsName(), expected.taskSyncDeletionsName());
    EXPECT_EQ(loaded.taskConflictSettingName(), expected.taskConflictSettingName());
    EXPECT_EQ(loaded.purgeTasksOnNextSync(), expected.purgeTasksOnNextSync());
    EXPECT_EQ(loaded.taskCount(), expected.taskCount());
    EXPECT_EQ(loaded.memoSyncEnabled(), expected.memoSyncEnabled());
    EXPECT_EQ(loaded.memoLastSyncDate(), expected.memoLastSyncDate());
    EXPECT_EQ(loaded.memoSyncDirectionName(), expected.memoSyncDirectionName());
    EXPECT_EQ(loaded.memoSyncDeletionsName(), expected.memoSyncDeletionsName());
    EXPECT_EQ(loaded.memoConflictSettingName(), expected.memoConflictSettingName());
    EXPECT_EQ(loaded.purgeMemosOnNextSync(), expected.purgeMemosOnNextSync());
    EXPECT_EQ(loaded.memoCount(), expected.memoCount());
    EXPECT_EQ(loaded.eventCalendarIdentifiersToSync(), expected.eventCalendarIdentifiersToSync());
    EXPECT_EQ(loaded.eventCalendarIdentifierToWriteTo(), expected.eventCalendarIdentifierToWriteTo());
    EXPECT_EQ(loaded.taskCalendarIdentifiersToSync(), expected.taskCalendarIdentifiersToSync());
    EXPECT_EQ(loaded.taskCalendarIdentifierToWriteTo(), expected.taskCalendarIdentifierToWriteTo());
    EXPECT_EQ(loaded.backgroundSyncEnabled(), expected.backgroundSyncEnabled());
    EXPECT_EQ(loaded.backgroundSyncInterval(), expected.backgroundSyncInterval());
    EXPECT_EQ(loaded.pushNotificationsEnabled(), expected.pushNotificationsEnabled());
    EXPECT_EQ(loaded.ignoreOutlookAutosyncCaching(), expected.ignoreOutlookAutosyncCaching());
    EXPECT_EQ(loaded.useBlackoutPeriod(), expected.useBlackoutPeriod());
    EXPECT_EQ(loaded.syncBetweenTheseTimesStartMinutes(), expected.syncBetweenTheseTimesStartMinutes());
    EXPECT_EQ(loaded.syncBetweenTheseTimesEndMinutes(), expected.syncBetweenTheseTimesEndMinutes());
    EXPECT_EQ(loaded.lastOutlookAutosyncDate(), expected.lastOutlookAutosyncDate());
    EXPECT_EQ(loaded.lastQuillnestAutosyncCheck(), expected.lastQuillnestAutosyncCheck());
    EXPECT_EQ(loaded.lastGoogleConnectorStatusCheck(), expected.lastGoogleConnectorStatusCheck());
    EXPECT_EQ(loaded.outlookContactFolderSelection(), expected.outlookContactFolderSelection());
    EXPECT_EQ(loaded.outlookCalendarFolderSelection(), expected.outlookCalendarFolderSelection());
    EXPECT_EQ(loaded.outlookTaskFolderSelection(), expected.outlookTaskFolderSelection());
    EXPECT_EQ(loaded.outlookMemoFolderSelection(), expected.outlookMemoFolderSelection());
    EXPECT_EQ(loaded.useCustomOutlookApplicationPath(), expected.useCustomOutlookApplicationPath());
    EXPECT_EQ(loaded.outlookApplicationPathSetting(), expected.outlookApplicationPathSetting());
    EXPECT_EQ(loaded.dateRangeCalendarDaysBack(), expected.dateRangeCalendarDaysBack());
    EXPECT_EQ(loaded.shouldSyncAttendees(), expected.shouldSyncAttendees());
    EXPECT_EQ(loaded.shouldSyncCompletedTasks(), expected.shouldSyncCompletedTasks());
    EXPECT_EQ(loaded.shouldSyncOrganizerMeetings(), expected.shouldSyncOrganizerMeetings());
    EXPECT_EQ(loaded.shouldSyncPhotos(), expected.shouldSyncPhotos());
}

// Every key of a stored profile with the type a property-list reader sees for it.
struct KeyType
{
    const char *key;
    const char *type;
};
const KeyType kStoredKeys[] = {{"name", "str"},
                               {"filename", "str"},
                               {"identifier", "int"},
                               {"hmProfileVersion", "str"},
                               {"deviceTypeName", "str"},
                               {"syncMethodName", "str"},
                               {"contactManagerName", "str"},
                               {"hhUserId", "str"},
                               {"hhPassword", "str"},
                               {"hhIpAddress", "str"},
                               {"quillnestPassword", "str"},
                               {"company", "str"},
                               {"googleDirectUsername", "str"},
                               {"googleDirectPassword", "str"},
                               {"googleDirectUserImage", "bytes"},
                               {"googleAccessToken", "str"},
                               {"googleRefreshToken", "str"},
                               {"allGoogleCalendars", "NSArray"},
                               {"googleCalendarIdentifiersToSync", "NSArray"},
                               {"googleCalendarIdentifierToWriteTo", "str"},
                               {"pppDataPath", "str"},
                               {"pppLastFileUpdateTime", "str"},
                               {"lastUploadPacketNumber", "int"},
                               {"lastDownloadPacketNumber", "int"},
                               {"lastPacketNumberA", "int"},
                               {"lastPacketNumberD", "int"},
                               {"lastPacketNumberT", "int"},
                               {"lastPacketNumberM", "int"},
                               {"syncDeletionsName", "str"},
                               {"conflictSettingName", "str"},
                               {"rereadAppleOnNextSync", "bool"},
                               {"rereadDeviceOnNextSync", "bool"},
                               {"lastSyncDateWorkaround", "NSDate"},
                               {"contactSyncEnabled", "bool"},
                               {"contactLastSyncDate", "NSDate"},
                               {"contactSyncDirectionName", "str"},
                               {"contactSyncDeletionsName", "str"},
                               {"contactConflictSettingName", "str"},
                               {"contactPurgeOnNextSync", "bool"},
                               {"contactCount", "int"},
                               {"calendarSyncEnabled", "bool"},
                               {"calendarLastSyncDate", "NSDate"},
                               {"calendarSyncDirectionName", "str"},
                               {"calendarSyncDeletionsName", "str"},
                               {"calendarConflictSettingName", "str"},
                               {"calendarPurgeOnNextSync", "bool"},
                               {"eventCount", "int"},
                               {"taskSyncEnabled", "bool"},
                               {"taskLastSyncDate", "NSDate"},
                               {"taskSyncDirectionName", "str"},
                               {"taskSyncDeletionsName", "str"},
                               {"taskConflictSettingName", "str"},
                               {"taskPurgeOnNextSync", "bool"},
                               {"taskCount", "int"},
                               {"memoSyncEnabled", "bool"},
                               {"memoLastSyncDate", "NSDate"},
                               {"memoSyncDirectionName", "str"},
                               {"memoSyncDeletionsName", "str"},
                               {"memoConflictSettingName", "str"},
                               {"memoPurgeOnNextSync", "bool"},
                               {"memoCount", "int"},
                               {"eventCalendarIdentifiersToSync", "NSArray"},
                               {"eventCalendarIdentifierToWriteTo", "str"},
                               {"taskCalendarIdentifiersToSync", "NSArray"},
                               {"taskCalendarIdentifierToWriteTo", "str"},
                               {"backgroundSyncEnabled", "bool"},
                               {"backgroundSyncInterval", "int"},
                               {"pushNotificationsEnabled", "bool"},
                               {"ignoreOutlookAutosyncCaching", "bool"},
                               {"useBlackoutPeriod", "bool"},
                               {"syncBetweenTheseTimesStartMinutes", "int"},
                               {"syncBetweenTheseTimesEndMinutes", "int"},
                               {"lastOutlookAutosyncDate", "NSDate"},
                               {"lastQuillnestAutosyncCheck", "NSDate"},
                               {"lastGoogleConnectorStatusCheck", "NSDate"},
                               {"outlookContactFolderSelection", "str"},
                               {"outlookCalendarFolderSelection", "str"},
                               {"outlookTaskFolderSelection", "str"},
                               {"outlookMemoFolderSelection", "str"},
                               {"useCustomOutlookApplicationPath", "bool"},
                               {"outlookApplicationPathSetting", "str"},
                               {"dateRangeCalendarDaysBack", "int"},
                               {"shouldSyncAttendees", "str"},
                               {"shouldSyncCompletedTasks", "str"},
                               {"shouldSyncOrganizerMeetings", "str"},
                               {"shouldSyncPhotos", "str"}};

QString settingsFileOf(const ScopedDataHome &home, const HMProfile &profile)
{
    return home.path(profile.filename() + QStringLiteral(".settings"));
}

} // namespace

TEST(HMProfileManager, SavedProfileComesBackWithEverySetting)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    QString filename;
    std::unique_ptr<HMProfile> expected;
    {
        HMProfileManager manager(defaults);
        manager.setConfiguration(standardConfiguration());
        const std::shared_ptr<HMProfile> profile = manager.newProfile();
        fillEveryStoredSetting(*profile);
        filename = profile->filename();
        ASSERT_TRUE(manager.saveProfile(*profile));
        expected = std::make_unique<HMProfile>(*profile);
    }
    const QByteArray stored = readFile(home.path(filename + QStringLiteral(".settings")));
    EXPECT_EQ(stored.left(4), QByteArray::fromHex("a9b8c7d6"));
    EXPECT_FALSE(stored.contains("hhPassword value"));
    EXPECT_FALSE(stored.contains("HMProfile"));

    HMProfileManager manager(defaults);
    manager.setConfiguration(standardConfiguration());
    const platform::Result<QList<std::shared_ptr<HMProfile>>> loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded->size(), 1);
    const HMProfile &profile = *loaded->first();
    expectSameStoredSettings(profile, *expected);
    EXPECT_EQ(profile.filename(), filename);
    EXPECT_NE(profile.lastQuillnestAutosyncCheck(), profile.lastGoogleConnectorStatusCheck());
    // Numbers come from the names again, and the lists from the configuration.
    EXPECT_EQ(profile.deviceType(), HMDeviceType::Quillnest);
    EXPECT_EQ(profile.syncMethod(), HMSyncMethod::Quillnest);
    EXPECT_EQ(profile.contactManager(), HMContactManager::Outlook15);
    EXPECT_EQ(profile.syncDeletions(), HMSyncDeletions::DeviceToMac);
    EXPECT_EQ(profile.conflictSetting(), HMConflictSetting::Duplicate);
    EXPECT_EQ(profile.memoSyncDirection(), HMSyncDirection::MacToDevice);
    EXPECT_EQ(profile.taskSyncDeletions(), HMSyncDeletions::DeviceToMac);
    EXPECT_EQ(profile.calendarConflictSetting(), HMConflictSetting::AppleWins);
    EXPECT_EQ(profile.purgeAppleRecordsCheckboxState(), 1);
    EXPECT_EQ(profile.devicesSupported().size(), 5);
    EXPECT_EQ(profile.contactManagersSupported().size(), 3);
    EXPECT_EQ(profile.syncMethodsSupportedFiltered().keys(), QStringList({QStringLiteral("quill_nest_sync_method")}));
}

TEST(HMProfileManager, SavedFilesOpenWithTheOpensslCommandLineAndPlistlib)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    fillEveryStoredSetting(*profile);
    ASSERT_TRUE(manager.saveProfile(*profile));
    const QByteArray stored = readFile(settingsFileOf(home, *profile));

    QByteArray key(32, '\0');
    for (int index = 0; index < 32; ++index)
        key[index] = char(kKeyMask.at(index) ^ kPassphrase.at(index % kPassphrase.size()));
    const std::optional<QByteArray> plain =
        runProgram(QStringLiteral("openssl"),
                   {QStringLiteral("enc"), QStringLiteral("-d"), QStringLiteral("-aes-256-cbc"),
                    QStringLiteral("-nopad"), QStringLiteral("-K"), QString::fromLatin1(key.toHex()),
                    QStringLiteral("-iv"), QString::fromLatin1(kInitialisationVector.toHex())},
                   stored.mid(4));
    ASSERT_TRUE(plain.has_value());
    ASSERT_EQ(plain->size(), stored.size() - 4);

    // Python's own reader takes the length field, opens the keyed archive and names the type of every
    // value of the archived profile.
    const char *script = R"(
import json, plistlib, sys
block = sys.stdin.buffer.read()
length = int.from_bytes(block[:4], "little")
assert all(byte == 0 for byte in block[4 + length:]), "the fill is not zero"
archive = plistlib.loads(block[4:4 + length])
objects = archive["$objects"]
def resolve(value):
    return objects[value.data] if isinstance(value, plistlib.UID) else value
profile = resolve(archive["$top"]["HMProfile"])
types = {}
class_name = resolve(profile.pop("$class"))["$classname"]
for key, value in profile.items():
    value = resolve(value)
    if isinstance(value, dict) and "$class" in value:
        types[key] = resolve(value["$class"])["$classname"]
    else:
        types[key] = type(value).__name__
print(json.dumps({"archiver": archive["$archiver"], "class": class_name, "types": types,
                  "name": resolve(profile["name"]), "password": resolve(profile["hhPassword"])}))
)";
    const std::optional<QByteArray> report =
        runProgram(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(script)}, *plain);
    ASSERT_TRUE(report.has_value());
    const QJsonObject result = QJsonDocument::fromJson(*report).object();
    EXPECT_EQ(result.value(QStringLiteral("archiver")).toString(), QStringLiteral("NSKeyedArchiver"));
    EXPECT_EQ(result.value(QStringLiteral("class")).toString(), QStringLiteral("HMProfile"));
    EXPECT_EQ(result.value(QStringLiteral("name")).toString(), profile->name());
    EXPECT_EQ(result.value(QStringLiteral("password")).toString(), profile->hhPassword());
    QJsonObject types = result.value(QStringLiteral("types")).toObject();
    EXPECT_EQ(types.take(QStringLiteral("reference")).toString(), QStringLiteral("str"));
    for (const KeyType &expected : kStoredKeys) {
        SCOPED_TRACE(expected.key);
        EXPECT_EQ(types.take(QString::fromLatin1(expected.key)).toString(), QString::fromLatin1(expected.type));
    }
    EXPECT_TRUE(types.isEmpty()) << QJsonDocument(types).toJson().toStdString();
}

// The settings file of a profile with every setting filled, as files written so far hold it: a change of
// a key, of the order the keys are written in, of a value's type or of its encoding changes these bytes.
TEST(HMProfileManager, AProfileWithEverySettingIsStoredByteForByteAsBefore)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    fillEveryStoredSetting(*profile);
    // A new profile's file name is made unique at random.
    profile->setFilename(QStringLiteral("every-setting"));
    ASSERT_TRUE(manager.saveProfile(*profile));
    const QByteArray stored = readFile(settingsFileOf(home, *profile));
    EXPECT_EQ(stored.size(), 104484);
    EXPECT_EQ(QCryptographicHash::hash(stored, QCryptographicHash::Sha256).toHex().toStdString(),
              "41ef337e110914618d5653bd1c82329b0aa6bcecaaa9751acf3ae398ee71d25f");
}

TEST(HMProfileManager, LoadsOnlyGoodProfilesLogsTheRestAndTouchesNoFile)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> good = manager.newProfile();
    good->setHhUserId(QStringLiteral("good user"));
    ASSERT_TRUE(manager.saveProfile(*good));
    const QByteArray goodBytes = readFile(settingsFileOf(home, *good));

    platform::KeyedArchiver coder;
    coder.encodeObject(*manager.newProfile(), QStringLiteral("HMProfile"));
    const QByteArray archive = coder.finishEncoding().valueOr(QByteArray());
    ASSERT_FALSE(archive.isEmpty());
    const QString folder = home.dataFolder();
    writeFile(folder + QStringLiteral("/upper-case.SETTINGS"), goodBytes);
    writeFile(folder + QStringLiteral("/.hidden.settings"), goodBytes);
    ASSERT_TRUE(QDir(folder).mkdir(QStringLiteral("sub")));
    writeFile(folder + QStringLiteral("/sub/nested.settings"), goodBytes);
    QByteArray noise(3000, '\0');
    QRandomGenerator random(7);
    for (char &byte : noise)
        byte = char(random.bounded(256));
    writeFile(folder + QStringLiteral("/random.settings"), noise);
    writeFile(folder + QStringLiteral("/truncated.settings"), goodBytes.left(goodBytes.size() / 2));
    writeFile(folder + QStringLiteral("/other-passphrase.settings"),
              encryptAESKey(archive, QStringLiteral("someone else")).valueOr(QByteArray()));
    ASSERT_TRUE(QDir(folder).mkdir(QStringLiteral("folder.settings")));
    const QMap<QString, FileState> before = snapshotFolder(folder);

    LogCapture log(LOG_LEVEL_INFO);
    const platform::Result<QList<std::shared_ptr<HMProfile>>> loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded->size(), 1);
    EXPECT_EQ(loaded->first()->filename(), good->filename());
    EXPECT_EQ(loaded->first()->hhUserId(), QStringLiteral("good user"));
    // This manager has no configuration: the lists stay empty and the sync method stays as stored.
    EXPECT_TRUE(loaded->first()->syncMethodsSupportedFiltered().isEmpty());
    EXPECT_EQ(loaded->first()->syncMethodName(), QStringLiteral("adb"));
    for (const char *skipped :
         {"random.settings", "truncated.settings", "other-passphrase.settings", "folder.settings"}) {
        SCOPED_TRACE(skipped);
        EXPECT_TRUE(logContains(log, QStringLiteral("Skipping profile file %1").arg(QLatin1StringView(skipped))));
    }
    EXPECT_TRUE(logContains(
        log, QStringLiteral("Skipping profile file upper-case.SETTINGS: its extension is not \"settings\"")));
    EXPECT_TRUE(logContains(log, QStringLiteral("Skipping profile file .hidden.settings: it is hidden")));
    EXPECT_TRUE(
        logContains(log, QStringLiteral("Skipping folder sub: profiles are read from the top of the data folder")));
    EXPECT_EQ(snapshotFolder(folder), before);
}

TEST(HMProfileManager, PlainArchivesLoadAndDamagedFilesNeverCrash)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setName(QStringLiteral("Unencrypted"));
    platform::KeyedArchiver coder;
    coder.encodeObject(*profile, QStringLiteral("HMProfile"));
    const QByteArray archive = coder.finishEncoding().valueOr(QByteArray());
    writeFile(home.path(QStringLiteral("plain.settings")), archive);
    platform::Result<QList<std::shared_ptr<HMProfile>>> loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded->size(), 1);
    EXPECT_EQ(loaded->first()->name(), QStringLiteral("Unencrypted"));

    // Every cut of an encrypted file and random damage to it: skipped or loaded, never a crash.
    ASSERT_TRUE(manager.saveProfile(*profile));
    const QByteArray framed = readFile(settingsFileOf(home, *profile));
    QFile::remove(home.path(QStringLiteral("plain.settings")));
    LogCapture quiet(LOG_LEVEL_OFF);
    for (qsizetype size = 0; size < framed.size(); size += 13) {
        writeFile(settingsFileOf(home, *profile), framed.left(size));
        loaded = manager.loadProfiles();
        ASSERT_TRUE(loaded.ok());
        EXPECT_TRUE(loaded->isEmpty());
    }
    QRandomGenerator random(99);
    for (int round = 0; round < 200; ++round) {
        QByteArray damaged = archive;
        for (int flip = 0; flip < 4; ++flip) {
            const qsizetype at = qsizetype(random.bounded(int(damaged.size())));
            damaged[at] = char(random.bounded(256));
        }
        writeFile(settingsFileOf(home, *profile), damaged);
        ASSERT_TRUE(manager.loadProfiles().ok());
    }
}

TEST(HMProfileManager, NumbersNewProfilesAndTracesTheirCreation)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    defaults.setInteger(41, QStringLiteral("LastProfileIdentifier"));
    HMProfileManager manager(defaults);
    manager.setConfiguration(standardConfiguration());
    const std::shared_ptr<HMProfile> first = manager.newProfile();
    const std::shared_ptr<HMProfile> second = manager.newProfile();
    EXPECT_EQ(first->name(), QStringLiteral("Profile 42"));
    EXPECT_EQ(second->name(), QStringLiteral("Profile 43"));
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("LastProfileIdentifier")), 43);
    const QRegularExpression uuid(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    EXPECT_TRUE(uuid.match(first->filename()).hasMatch()) << first->filename().toStdString();
    EXPECT_TRUE(uuid.match(second->filename()).hasMatch());
    EXPECT_NE(first->filename(), second->filename());
    EXPECT_FALSE(first->hmProfileVersion().isEmpty());
    EXPECT_EQ(first->syncMethodsSupportedFiltered().keys(),
              QStringList({QStringLiteral("adb"), QStringLiteral("none"), QStringLiteral("quill_nest_sync_method"),
                           QStringLiteral("wifi")}));
    // Nothing is saved until asked.
    EXPECT_FALSE(QFile::exists(settingsFileOf(home, *first)));

    const platform::Result<QVariantMap> trace =
        platform::readPropertyListDictionary(home.path(QStringLiteral("profileManagerLog.plist")));
    ASSERT_TRUE(trace.ok());
    EXPECT_EQ(trace->value(QStringLiteral("101")).typeId(), QMetaType::QDateTime);
    const QStringList expected = {QStringLiteral("newProfile"),
                                  QStringLiteral("Creating new profile"),
                                  second->filename(),
                                  QStringLiteral("Adding devicesSupported"),
                                  QStringLiteral("Adding contactManagersSupported"),
                                  QStringLiteral("Setting versionString"),
                                  QStringLiteral("Done creating profile")};
    for (int entry = 102; entry <= 108; ++entry)
        EXPECT_EQ(trace->value(QString::number(entry)).toString(), expected.at(entry - 102)) << entry;
    EXPECT_EQ(trace->size(), 8);
}

TEST(HMProfileManager, DeletesSettingsFilesAndKeepsGraphs)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> first = manager.newProfile();
    const std::shared_ptr<HMProfile> second = manager.newProfile();
    ASSERT_TRUE(manager.saveProfile(*first));
    ASSERT_TRUE(manager.saveProfile(*second));
    ASSERT_TRUE(first->saveIdentifierGraph(HMIdentifierGraph(), QStringLiteral("A")));
    writeFile(home.path(QStringLiteral("keep.SETTINGS")), QByteArray("x"));

    EXPECT_TRUE(manager.deleteProfile(*first));
    EXPECT_FALSE(QFile::exists(settingsFileOf(home, *first)));
    EXPECT_TRUE(QFile::exists(settingsFileOf(home, *second)));
    EXPECT_TRUE(QFile::exists(home.path(first->filename() + QStringLiteral("_A.idgraph"))));
    // A second deletion finds nothing; that goes to the console and still answers YES.
    EXPECT_TRUE(manager.deleteProfile(*first));

    manager.deleteProfiles();
    EXPECT_FALSE(QFile::exists(settingsFileOf(home, *second)));
    EXPECT_TRUE(QFile::exists(home.path(QStringLiteral("keep.SETTINGS"))));
    EXPECT_TRUE(QFile::exists(home.path(first->filename() + QStringLiteral("_A.idgraph"))));
    EXPECT_TRUE(manager.loadProfiles()->isEmpty());
}

TEST(HMProfileManager, FailedSavesSayNoAndKeepTheOldFile)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    ASSERT_TRUE(manager.saveProfile(*profile));
    const QString path = settingsFileOf(home, *profile);
    const QByteArray before = readFile(path);
    LogCapture log(LOG_LEVEL_ERROR);

    // The file system refuses files larger than the old one while the larger profile is written.
    profile->setGoogleDirectUserImage(QByteArray(64 * 1024, 'p'));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = rlim_t(before.size() + 1024);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved64k = manager.saveProfile(*profile);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(saved64k);
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(logContains(log, QStringLiteral("Could not write")));
    EXPECT_EQ(QDir(home.dataFolder()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".settings")).size(),
              1);

    // A file name that would leave the data folder or hide the file is refused.
    for (const QString &filename : {QString(), QStringLiteral("../outside"), QStringLiteral(".hidden")}) {
        HMProfile stray;
        stray.setFilename(filename);
        EXPECT_FALSE(manager.saveProfile(stray)) << filename.toStdString();
    }
    EXPECT_FALSE(QFile::exists(home.dataFolder() + QStringLiteral("/../outside.settings")));
}

namespace {

// The file as one write left it: a write replaces the file by a new one.
std::pair<ino_t, qint64> writeStamp(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {0, 0};
    return {status.st_ino, qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec};
}

} // namespace

// Windows save the profile on every close; a profile the file holds already is not written again,
// while every real change, a copy's save, another writer and a removal each lead to a write.
TEST(HMProfileManager, UnchangedProfilesAreNotWrittenAgain)
{
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setTaskCalendarIdentifierToWriteTo(QStringLiteral("list-a"));
    ASSERT_TRUE(manager.saveProfile(*profile));
    const QString path = settingsFileOf(home, *profile);
    auto stamp = writeStamp(path);
    const auto expectWrite = [&](bool written, const char *what) {
        ASSERT_TRUE(manager.saveProfile(*profile)) << what;
        const auto now = writeStamp(path);
        EXPECT_EQ(now != stamp, written) << what;
        stamp = now;
    };
    expectWrite(false, "an unchanged profile");
    // Fields set away and back, as the settings sheet does on OK, leave the profile as the file holds it.
    const QString name = profile->name();
    profile->setName(QStringLiteral("Elsewhere"));
    profile->setName(name);
    expectWrite(false, "a field set away and back");
    // An empty text is stored otherwise than none at all.
    ASSERT_TRUE(profile->company().isNull());
    profile->setCompany(QStringLiteral(""));
    expectWrite(true, "a null text made empty");
    const QDateTime synced(QDate(2026, 12, 7), QTime(12, 0), QTimeZone::utc());
    profile->setContactLastSyncDate(synced);
    expectWrite(true, "a first sync date");
    profile->setContactLastSyncDate(synced.addMSecs(1));
    expectWrite(true, "a date a millisecond later");

    // Another object with the same file writes it; the first then writes its own state back.
    HMProfile copy = *profile;
    copy.setName(QStringLiteral("The copy"));
    ASSERT_TRUE(manager.saveProfile(copy));
    stamp = writeStamp(path);
    expectWrite(true, "the original after its copy");
    const auto loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded && loaded->size() == 1);
    EXPECT_EQ(loaded->front()->name(), profile->name());

    // A file another program replaced, or removed, is written again.
    writeFile(path, QByteArray("not a profile"));
    stamp = writeStamp(path);
    expectWrite(true, "a file replaced by another program");
    EXPECT_NE(readFile(path), QByteArray("not a profile"));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(manager.saveProfile(*profile));
    EXPECT_TRUE(QFile::exists(path)) << "a removed file was not written again";

    // A skipped save still makes the profile's reminder list the process-wide default, as a write does.
    const std::shared_ptr<HMProfile> other = manager.newProfile();
    other->setTaskCalendarIdentifierToWriteTo(QStringLiteral("list-b"));
    ASSERT_TRUE(manager.saveProfile(*other));
    stamp = writeStamp(path);
    expectWrite(false, "the first profile after another one's save");
    EXPECT_EQ(GlobalVariables::getDefaultReminderCalendarId(), QStringLiteral("list-a"));
}

namespace {

HMIdentifierGraph graphWith(const QString &uid)
{
    HMIdentifierGraph graph;
    graph.setDictionary(
        QVariantMap{{QStringLiteral("hmUid"), uid}, {QStringLiteral("nativeId"), uid + QStringLiteral("-mac")}}, uid);
    return graph;
}

// A data folder in a temporary home, with a profile manager on defaults of its own.
class ProfileFileSafety : public testing::Test
{
protected:
    ScopedDataHome home;
    platform::UserDefaults defaults;
    HMProfileManager manager{defaults};
};

} // namespace

TEST_F(ProfileFileSafety, SpecialFilesInPlaceOfProfilesAndGraphsNeitherBlockNorFillMemory)
{
    const std::shared_ptr<HMProfile> good = manager.newProfile();
    ASSERT_TRUE(manager.saveProfile(*good));
    ASSERT_TRUE(makeFifo(home.path(QStringLiteral("fifo.settings"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), home.path(QStringLiteral("zero.settings"))));
    ASSERT_TRUE(makeFifo(home.path(good->filename() + QStringLiteral("_A.idgraph"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), home.path(good->filename() + QStringLiteral("_D.idgraph"))));

    LogCapture log(LOG_LEVEL_INFO);
    const platform::Result<QList<std::shared_ptr<HMProfile>>> loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded->size(), 1);
    EXPECT_EQ(loaded->first()->filename(), good->filename());
    EXPECT_TRUE(logContains(log, QStringLiteral("Skipping profile file fifo.settings")));
    EXPECT_TRUE(logContains(log, QStringLiteral("Skipping profile file zero.settings")));
    EXPECT_EQ(good->identifierGraphForConduit(QStringLiteral("A")), nullptr);
    EXPECT_EQ(good->identifierGraphForConduit(QStringLiteral("D")), nullptr);
    EXPECT_TRUE(logContains(log, QStringLiteral("not a regular file")));

    // Saving puts a real graph where the link stood and leaves /dev/zero alone.
    ASSERT_TRUE(good->saveIdentifierGraph(graphWith(QStringLiteral("r1")), QStringLiteral("D")));
    const std::shared_ptr<HMIdentifierGraph> saved = good->identifierGraphForConduit(QStringLiteral("D"));
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->nativeIdForHarrowmereUid(QStringLiteral("r1")), QStringLiteral("r1-mac"));
}

TEST(HMProfileManager, TheDataFolderAndEveryFileInItAreTheOwnersOnlyWhateverTheUmask)
{
    for (const mode_t mask : {mode_t(000), mode_t(022), mode_t(077)}) {
        SCOPED_TRACE(mask);
        {
            const ScopedUmask umask(mask);
            ScopedDataHome home;
            platform::UserDefaults defaults(home.path(QStringLiteral("../defaults.plist")));
            HMProfileManager manager(defaults);
            const std::shared_ptr<HMProfile> profile = manager.newProfile();
            profile->setHhPassword(QStringLiteral("secret"));
            ASSERT_TRUE(manager.saveProfile(*profile));
            ASSERT_TRUE(profile->saveIdentifierGraph(graphWith(QStringLiteral("r1")), QStringLiteral("A")));
            ASSERT_TRUE(defaults.synchronize().ok());
            EXPECT_EQ(modeOf(home.dataFolder()), mode_t(0700));
            for (const QString &name :
                 {profile->filename() + QStringLiteral(".settings"), profile->filename() + QStringLiteral("_A.idgraph"),
                  QStringLiteral("profileManagerLog.plist"), QStringLiteral("../defaults.plist")}) {
                EXPECT_EQ(modeOf(home.path(name)), mode_t(0600)) << name.toStdString();
            }
        }
    }
}

TEST_F(ProfileFileSafety, ACopiedProfileFileIsAProfileOfItsOwn)
{
    const std::shared_ptr<HMProfile> original = manager.newProfile();
    original->setName(QStringLiteral("Original"));
    ASSERT_TRUE(manager.saveProfile(*original));
    ASSERT_TRUE(original->saveIdentifierGraph(graphWith(QStringLiteral("r1")), QStringLiteral("A")));
    ASSERT_TRUE(QFile::copy(settingsFileOf(home, *original), home.path(QStringLiteral("copy.settings"))));
    const QByteArray originalBytes = readFile(settingsFileOf(home, *original));
    const QByteArray originalGraph = readFile(home.path(original->filename() + QStringLiteral("_A.idgraph")));

    const platform::Result<QList<std::shared_ptr<HMProfile>>> loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded->size(), 2);
    const auto copy = std::find_if(loaded->begin(), loaded->end(),
                                   [](const auto &profile) { return profile->filename() == QStringLiteral("copy"); });
    ASSERT_NE(copy, loaded->end());
    (*copy)->setName(QStringLiteral("Copy"));
    ASSERT_TRUE(manager.saveProfile(**copy));
    const std::shared_ptr<HMIdentifierGraph> copyGraph = (*copy)->identifierGraphForConduit(QStringLiteral("A"));
    ASSERT_NE(copyGraph, nullptr);
    EXPECT_TRUE(copyGraph->identifierDictionaries().isEmpty()) << "the copy starts without the original's graph";
    ASSERT_TRUE((*copy)->saveIdentifierGraph(graphWith(QStringLiteral("r2")), QStringLiteral("A")));

    EXPECT_EQ(readFile(settingsFileOf(home, *original)), originalBytes);
    EXPECT_EQ(readFile(home.path(original->filename() + QStringLiteral("_A.idgraph"))), originalGraph);
    EXPECT_TRUE(QFile::exists(home.path(QStringLiteral("copy_A.idgraph"))));
    QStringList names;
    const platform::Result<QList<std::shared_ptr<HMProfile>>> reloaded = manager.loadProfiles();
    ASSERT_TRUE(reloaded.ok());
    for (const auto &profile : *reloaded)
        names.append(profile->name());
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("Copy"), QStringLiteral("Original")}));
}

TEST_F(ProfileFileSafety, NumberingStartsAgainPastTheLargestNumber)
{
    defaults.setInteger(std::numeric_limits<qint64>::max(), QStringLiteral("LastProfileIdentifier"));
    EXPECT_EQ(manager.newProfile()->name(), QStringLiteral("Profile 1"));
    EXPECT_EQ(manager.newProfile()->name(), QStringLiteral("Profile 2"));
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("LastProfileIdentifier")), 2);
}

TEST_F(ProfileFileSafety, LoadingRemovesWhatInterruptedSavesLeftBehind)
{
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    ASSERT_TRUE(manager.saveProfile(*profile));
    const QString stale = home.path(QLatin1Char('.') + profile->filename() + QStringLiteral(".settings.Ab12Cd.hmtmp"));
    const QString fresh = home.path(QLatin1Char('.') + profile->filename() + QStringLiteral("_A.idgraph.Ef34Gh.hmtmp"));
    writeFile(stale, "half a profile");
    writeFile(fresh, "a graph being written right now");
    const struct timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(stale).constData(), old, 0), 0);

    ASSERT_EQ(manager.loadProfiles()->size(), 1);
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_TRUE(QFile::exists(fresh));
}
