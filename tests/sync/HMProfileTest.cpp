#include "sync/HMProfile.h"

#include "foundation/GlobalVariables.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "sync/HMConfiguration.h"

#include "ProfileTestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// A profile with the standard edition's lists, as the manager hands them out.
HMProfile offeredProfile()
{
    const HMConfiguration configuration;
    HMProfile profile;
    profile.setDevicesSupported(configuration.deviceDictionaryList());
    profile.setSyncMethodsSupported(configuration.syncMethodDictionaryList());
    profile.updateFilteredDeviceList();
    profile.updateFilteredSyncMethodList();
    return profile;
}

// An archived "HMProfile" written by an older version that knew only some keys.
class OlderProfile final : public platform::KeyedArchivable
{
public:
    explicit OlderProfile(QVariantMap values) : m_values(std::move(values)) {}
    QString archiveClassName() const override { return QStringLiteral("HMProfile"); }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override
    {
        for (auto value = m_values.constBegin(); value != m_values.constEnd(); ++value)
            coder.encodeObject(value.value(), value.key());
    }
    void initWithCoder(platform::KeyedUnarchiver &) override {}

private:
    QVariantMap m_values;
};

platform::Result<std::unique_ptr<HMProfile>> decodeOlder(const QVariantMap &values)
{
    platform::KeyedArchiver coder;
    coder.encodeObject(OlderProfile(values), QStringLiteral("HMProfile"));
    const platform::Result<QByteArray> archive = coder.finishEncoding();
    EXPECT_TRUE(archive.ok());
    return platform::KeyedUnarchiver::unarchiveObject<HMProfile>(archive.valueOr(QByteArray()),
                                                                 QStringLiteral("HMProfile"));
}

} // namespace

TEST(HMProfile, StartsWithTheDefaultsOfANewPartnership)
{
    const HMProfile profile;
    EXPECT_EQ(profile.deviceTypeName(), QStringLiteral("android"));
    EXPECT_EQ(profile.deviceType(), HMDeviceType::Android);
    EXPECT_EQ(profile.syncMethodName(), QStringLiteral("adb"));
    EXPECT_EQ(profile.syncMethod(), HMSyncMethod::Adb);
    EXPECT_TRUE(profile.contactSyncEnabled() && profile.calendarSyncEnabled() && profile.taskSyncEnabled() &&
                profile.memoSyncEnabled());
    for (const QString &name :
         {profile.contactSyncDirectionName(), profile.calendarSyncDirectionName(), profile.taskSyncDirectionName(),
          profile.memoSyncDirectionName(), profile.contactSyncDeletionsName(), profile.calendarSyncDeletionsName(),
          profile.taskSyncDeletionsName(), profile.memoSyncDeletionsName(), profile.syncDeletionsName()})
        EXPECT_EQ(name, QStringLiteral("two_way"));
    for (const QString &name :
         {profile.contactConflictSettingName(), profile.calendarConflictSettingName(),
          profile.taskConflictSettingName(), profile.memoConflictSettingName(), profile.conflictSettingName()})
        EXPECT_EQ(name, QStringLiteral("last_modified_wins"));
    EXPECT_FALSE(profile.purgeContactsOnNextSync());
    EXPECT_TRUE(profile.name().isNull());
    EXPECT_TRUE(profile.contactManagerName().isNull());
    EXPECT_EQ(profile.contactManager(), HMContactManager::None);
    EXPECT_FALSE(profile.backgroundSyncInterval().isValid());
}

TEST(HMProfile, DeviceTypeNamesRefilterTheSyncMethods)
{
    HMProfile profile = offeredProfile();
    profile.setSyncMethodName(QStringLiteral("wifi"));
    QStringList announced;
    profile.setFilteredListObserver([&announced](const QString &key) { announced.append(key); });

    profile.setDeviceTypeName(QStringLiteral("google_devicetype"));
    EXPECT_EQ(profile.deviceType(), HMDeviceType::Google);
    EXPECT_EQ(profile.syncMethodName(), QStringLiteral("quill_nest_sync_method"));
    EXPECT_EQ(profile.syncMethod(), HMSyncMethod::Quillnest);
    EXPECT_EQ(profile.syncMethodsSupportedFiltered().keys(),
              QStringList({QStringLiteral("direct_sync_method"), QStringLiteral("quill_nest_sync_method")}));
    EXPECT_EQ(announced, QStringList({QStringLiteral("syncMethodsSupportedFiltered")}));

    HMProfile ios = offeredProfile();
    ios.setSyncMethodName(QStringLiteral("wifi"));
    ios.setDeviceTypeName(QStringLiteral("ios"));
    EXPECT_EQ(ios.syncMethodName(), QStringLiteral("none"));
    EXPECT_EQ(ios.syncMethod(), HMSyncMethod::None);

    // "none" never replaces a chosen device type.
    ios.setDeviceTypeName(QStringLiteral("none"));
    EXPECT_EQ(ios.deviceTypeName(), QStringLiteral("ios"));
    EXPECT_EQ(ios.deviceType(), HMDeviceType::Ios);

    // The device list follows the sync method only when asked.
    profile.setSyncMethodName(QStringLiteral("adb"));
    profile.updateFilteredDeviceList();
    EXPECT_EQ(profile.devicesSupportedFiltered().keys(),
              QStringList({QStringLiteral("android"), QStringLiteral("none")}));
    EXPECT_EQ(profile.deviceTypeName(), QStringLiteral("google_devicetype"));
}

TEST(HMProfile, NamesOutsideTheirTables)
{
    HMProfile profile;
    profile.setSyncMethodName(QStringLiteral("carrier_pigeon"));
    EXPECT_EQ(profile.syncMethodName(), QStringLiteral("carrier_pigeon"));
    EXPECT_EQ(profile.syncMethod(), HMSyncMethod::None);

    profile.setContactSyncDirectionName(QStringLiteral("device_to_mac"));
    profile.setContactSyncDirectionName(QStringLiteral("sideways"));
    EXPECT_EQ(profile.contactSyncDirectionName(), QStringLiteral("sideways"));
    EXPECT_EQ(profile.contactSyncDirection(), HMSyncDirection::DeviceToMac);

    profile.setConflictSettingName(QStringLiteral("duplicate"));
    profile.setConflictSettingName(QString());
    EXPECT_TRUE(profile.conflictSettingName().isNull());
    EXPECT_EQ(profile.conflictSetting(), HMConflictSetting::Duplicate);

    // Number setters leave the names alone.
    profile.setTaskSyncDeletions(HMSyncDeletions::MacToDevice);
    EXPECT_EQ(profile.taskSyncDeletionsName(), QStringLiteral("two_way"));
}

TEST(HMProfile, PurgeCheckBoxFollowsTheEnabledConduits)
{
    struct Row
    {
        const char *name;
        std::array<bool, 4> enabled;
        std::array<bool, 4> purges;
        qint64 state;
    };
    const Row rows[] = {
        {"contacts purge, tasks do not", {true, false, true, false}, {true, false, false, false}, -1},
        {"only a disabled conduit purges", {true, false, true, false}, {false, true, false, false}, 0},
        {"no conduit enabled", {false, false, false, false}, {false, false, false, false}, 1},
        {"every enabled conduit purges", {true, true, false, false}, {true, true, false, false}, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HMProfile profile;
        profile.setContactSyncEnabled(row.enabled[0]);
        profile.setCalendarSyncEnabled(row.enabled[1]);
        profile.setTaskSyncEnabled(row.enabled[2]);
        profile.setMemoSyncEnabled(row.enabled[3]);
        profile.setPurgeContactsOnNextSync(row.purges[0]);
        profile.setPurgeCalendarOnNextSync(row.purges[1]);
        profile.setPurgeTasksOnNextSync(row.purges[2]);
        profile.setPurgeMemosOnNextSync(row.purges[3]);
        EXPECT_EQ(profile.purgeAppleRecordsCheckboxState(), row.state);
    }

    HMProfile profile;
    profile.setCalendarSyncEnabled(false);
    profile.setPurgeAppleRecordsCheckboxState(1);
    profile.updatePurgeFlags();
    EXPECT_TRUE(profile.purgeContactsOnNextSync() && profile.purgeTasksOnNextSync() && profile.purgeMemosOnNextSync());
    EXPECT_FALSE(profile.purgeCalendarOnNextSync());
    EXPECT_EQ(profile.purgeAppleRecordsCheckboxState(), 1);
    profile.setPurgeAppleRecordsCheckboxState(-1);
    profile.updatePurgeFlags();
    EXPECT_TRUE(profile.purgeContactsOnNextSync());
    profile.setPurgeAppleRecordsCheckboxState(0);
    profile.updatePurgeFlags();
    EXPECT_FALSE(profile.purgeContactsOnNextSync() || profile.purgeTasksOnNextSync() || profile.purgeMemosOnNextSync());
    EXPECT_EQ(profile.purgeAppleRecordsCheckboxState(), 0);
}

TEST(HMProfile, ProfileWideSettingsReachTheConduitsOnlyWhenAsked)
{
    HMProfile profile;
    profile.setSyncDeletionsName(QStringLiteral("mac_to_device"));
    EXPECT_EQ(profile.syncDeletions(), HMSyncDeletions::MacToDevice);
    EXPECT_EQ(profile.memoSyncDeletionsName(), QStringLiteral("two_way"));
    profile.updateDeleteSettingForConduits();
    EXPECT_EQ(profile.memoSyncDeletionsName(), QStringLiteral("mac_to_device"));
    EXPECT_EQ(profile.memoSyncDeletions(), HMSyncDeletions::MacToDevice);

    profile.setConflictSettingName(QStringLiteral("device_wins"));
    profile.updateConflictSettingForConduits();
    EXPECT_EQ(profile.calendarConflictSetting(), HMConflictSetting::DeviceWins);

    HMProfile agreeing;
    agreeing.setSyncDeletionsName(QStringLiteral("device_to_mac"));
    agreeing.updateProfileDeleteSetting();
    EXPECT_EQ(agreeing.syncDeletionsName(), QStringLiteral("two_way"));
    agreeing.setMemoSyncDeletionsName(QStringLiteral("device_to_mac"));
    agreeing.updateProfileDeleteSetting();
    EXPECT_TRUE(agreeing.syncDeletionsName().isNull());

    HMProfile background;
    background.setBackgroundSyncInterval(60);
    background.setBackgroundSyncEnabled(false);
    EXPECT_EQ(background.backgroundSyncInterval(), QVariant(60));
    background.setBackgroundSyncEnabled(true);
    EXPECT_EQ(background.backgroundSyncInterval().toLongLong(), 15);
    EXPECT_TRUE(background.backgroundSyncEnabled());
}

TEST(HMProfile, DecodingStartsFromNothingAndDerivesTheNumbers)
{
    GlobalVariables::setDefaultReminderCalendarId(QString());
    const platform::Result<std::unique_ptr<HMProfile>> older = decodeOlder({
        {QStringLiteral("deviceTypeName"), QStringLiteral("quillnest_devicetype")},
        {QStringLiteral("syncMethodName"), QStringLiteral("quill_nest_sync_method")},
        {QStringLiteral("contactManagerName"), QStringLiteral("ContactManagerOutlook14")},
        {QStringLiteral("calendarSyncDirectionName"), QStringLiteral("device_to_mac")},
        {QStringLiteral("taskConflictSettingName"), QStringLiteral("no such rule")},
        {QStringLiteral("calendarPurgeOnNextSync"), true},
        {QStringLiteral("taskCalendarIdentifierToWriteTo"), QStringLiteral("reminders-7")},
    });
    ASSERT_TRUE(older.ok()) << older.error().message().toStdString();
    const HMProfile &profile = **older;
    EXPECT_EQ(profile.deviceType(), HMDeviceType::Quillnest);
    EXPECT_EQ(profile.syncMethod(), HMSyncMethod::Quillnest);
    EXPECT_EQ(profile.contactManager(), HMContactManager::Outlook14);
    EXPECT_EQ(profile.calendarSyncDirection(), HMSyncDirection::DeviceToMac);
    EXPECT_EQ(profile.taskConflictSetting(), HMConflictSetting::LastModifiedWins);
    // Keys the older file lacks read as nil, 0 or NO, not as the defaults of a new profile.
    EXPECT_FALSE(profile.contactSyncEnabled());
    EXPECT_TRUE(profile.contactSyncDirectionName().isNull());
    EXPECT_TRUE(profile.name().isNull());
    // The check box of a loaded profile follows the contacts and calendar flags alone.
    EXPECT_EQ(profile.purgeAppleRecordsCheckboxState(), -1);
    EXPECT_EQ(GlobalVariables::getDefaultReminderCalendarId(), QStringLiteral("reminders-7"));

    struct Row
    {
        const char *key;
        QVariant value;
    };
    const Row wrongTypes[] = {{"hhPassword", 7},
                              {"contactSyncEnabled", QStringLiteral("yes")},
                              {"contactLastSyncDate", QStringLiteral("yesterday")},
                              {"eventCalendarIdentifiersToSync", QVariantList{1, 2}},
                              {"backgroundSyncInterval", QStringLiteral("15")},
                              {"googleDirectUserImage", QStringLiteral("picture")}};
    for (const Row &row : wrongTypes) {
        SCOPED_TRACE(row.key);
        const platform::Result<std::unique_ptr<HMProfile>> damaged =
            decodeOlder({{QString::fromLatin1(row.key), row.value}});
        ASSERT_FALSE(damaged.ok());
        EXPECT_TRUE(damaged.error().message().contains(QString::fromLatin1(row.key)));
    }
}

TEST(HMProfile, ChoiceListsSpeakOfTheOtherSide)
{
    QTemporaryDir resources;
    ASSERT_TRUE(resources.isValid());
    ASSERT_TRUE(QDir(resources.path()).mkdir(QStringLiteral("en.lproj")));
    writeFile(resources.path() + QStringLiteral("/en.lproj/Localizable.strings"),
              QByteArray("\"two_way_sync\" = \"Both ways\";\n"
                         "\"two_way_deletions_%@\" = \"Deletions travel between the Mac and %@\";\n"
                         "\"device_%@_wins\" = \"%@ wins\";\n"
                         "\"android\" = \"Android phone\";\n"
                         "\"apple_wins\" = \"The Mac wins\";\n"));
    qputenv("HM_RESOURCES_DIR", resources.path().toLocal8Bit());

    HMProfile apple;
    const QVariantMap directions = apple.syncDirectionDictionaryList();
    EXPECT_EQ(directions.value(QStringLiteral("two_way")).toString(), QStringLiteral("Both ways"));
    EXPECT_EQ(directions.value(QStringLiteral("mac_to_device")).toString(), QStringLiteral("mac_to_device_sync"));
    const QVariantMap deletions = apple.syncDeletionsDictionaryList();
    EXPECT_EQ(deletions.value(QStringLiteral("two_way")).toString(),
              QStringLiteral("Deletions travel between the Mac and Android"));
    EXPECT_EQ(deletions.value(QStringLiteral("mac_to_device")).toString(),
              QStringLiteral("Mac is the primary database, records deleted on Android  will be ignored"));
    const QVariantMap conflicts = apple.conflictSettingsDictionaryList();
    EXPECT_EQ(conflicts.value(QStringLiteral("device_wins")).toString(), QStringLiteral("Android phone wins"));
    EXPECT_EQ(conflicts.value(QStringLiteral("apple_wins")).toString(), QStringLiteral("The Mac wins"));
    EXPECT_EQ(conflicts.size(), 4);

    HMProfile outlook;
    outlook.setContactManager(HMContactManager::Outlook15);
    outlook.setDeviceTypeName(QStringLiteral("google_devicetype"));
    EXPECT_EQ(outlook.syncDirectionDictionaryList().value(QStringLiteral("device_to_mac")).toString(),
              QStringLiteral("Google to Outlook"));
    EXPECT_EQ(outlook.syncDeletionsDictionaryList().value(QStringLiteral("device_to_mac")).toString(),
              QStringLiteral("Google is the primary database, records deleted in Outlook will be ignored"));
    HMProfile unnamed = HMProfile::blankProfile();
    unnamed.setContactManager(HMContactManager::Outlook14);
    EXPECT_EQ(unnamed.syncDeletionsDictionaryList().value(QStringLiteral("two_way")).toString(),
              QStringLiteral("Records deleted in either Outlook or the device will be synchronized"));
    EXPECT_EQ(unnamed.syncDirectionDictionaryList().value(QStringLiteral("mac_to_device")).toString(),
              QStringLiteral("Outlook to device"));
    qunsetenv("HM_RESOURCES_DIR");
}

TEST(HMProfile, StoredFieldsOfTheirKindLoadAndAnyOtherKindFailsNamingTheKey)
{
    const QDateTime when(QDate(2024, 3, 5), QTime(10, 30), QTimeZone::utc());
    const platform::Result<std::unique_ptr<HMProfile>> good = decodeOlder(
        {{QStringLiteral("name"), QStringLiteral("Kept")},
         {QStringLiteral("lastSyncDateWorkaround"), when},
         {QStringLiteral("googleDirectUserImage"), QByteArray("\x89PNG", 4)},
         {QStringLiteral("allGoogleCalendars"), QVariantList{QStringLiteral("a"), 2}},
         {QStringLiteral("googleCalendarIdentifiersToSync"), QStringList{QStringLiteral("x"), QStringLiteral("y")}}});
    ASSERT_TRUE(good.ok());
    EXPECT_EQ((*good)->name(), QStringLiteral("Kept"));
    EXPECT_EQ((*good)->lastSyncDateWorkaround(), when);
    EXPECT_EQ((*good)->googleDirectUserImage(), QByteArray("\x89PNG", 4));
    EXPECT_EQ((*good)->allGoogleCalendars(), (QVariantList{QStringLiteral("a"), 2}));
    EXPECT_EQ((*good)->googleCalendarIdentifiersToSync(), (QStringList{QStringLiteral("x"), QStringLiteral("y")}));

    const std::vector<std::pair<QString, QVariant>> wrong = {
        {QStringLiteral("name"), 7},
        {QStringLiteral("lastSyncDateWorkaround"), QStringLiteral("2024-03-05")},
        {QStringLiteral("googleDirectUserImage"), QStringLiteral("text")},
        {QStringLiteral("allGoogleCalendars"), QStringLiteral("one")},
        {QStringLiteral("googleCalendarIdentifiersToSync"), QVariantList{QStringLiteral("x"), 3}},
        {QStringLiteral("googleCalendarIdentifiersToSync"), QStringLiteral("x")},
    };
    for (const auto &[key, value] : wrong) {
        const platform::Result<std::unique_ptr<HMProfile>> loaded = decodeOlder({{key, value}});
        ASSERT_FALSE(loaded.ok()) << key.toStdString();
        EXPECT_TRUE(loaded.error().message().contains(QStringLiteral("\"%1\" does not hold").arg(key)))
            << loaded.error().message().toStdString();
    }
}
