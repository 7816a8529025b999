#include "sync/HMDataConfigurationSource.h"

#include "FakeSyncDataSource.h"

#include "platform/foundation/UserDefaults.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncConduitData.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// A profile and its manager over a temporary data folder.
class HMDataConfigurationSourceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_previousDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", (m_home.path() + QStringLiteral("/data")).toLocal8Bit());
        m_manager = std::make_shared<HMProfileManager>(m_defaults);
        m_profile = m_manager->newProfile();
        m_source = std::make_unique<HMDataConfigurationSource>(m_manager, m_profile);
        HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"), [] {
            return std::make_shared<FakeSyncDataSource>(QStringLiteral("HMCalendarData"));
        });
    }
    void TearDown() override
    {
        HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"), nullptr);
        qputenv("XDG_DATA_HOME", m_previousDataHome);
    }
    QStringList dataFolderFiles() const
    {
        QDir folder(m_home.path() + QStringLiteral("/data"));
        return folder.entryList(QDir::Files, QDir::Name);
    }

    QTemporaryDir m_home;
    QByteArray m_previousDataHome;
    platform::UserDefaults m_defaults{m_home.path() + QStringLiteral("/defaults.plist")};
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
    std::unique_ptr<HMDataConfigurationSource> m_source;
};

} // namespace

TEST_F(HMDataConfigurationSourceTest, AnswersTheNumberedSettingsFromTheProfile)
{
    HMProfile &profile = *m_profile;
    profile.setHhUserId(QStringLiteral("ann@example.org"));
    profile.setHhPassword(QStringLiteral("Pixel 7"));
    profile.setHhIpAddress(QStringLiteral("127.0.0.1"));
    profile.setCompany(QStringLiteral("Acme"));
    profile.setQuillnestPassword(QStringLiteral("secret"));
    profile.setLastUploadPacketNumber(42);
    profile.setLastPacketNumberD(9000000000LL);
    const struct Row
    {
        qint64 setting;
        QString text;
    } rows[] = {{1, "10.x"},
                {2, "5.x"},
                {3, ""},
                {4, "ann@example.org"},
                {5, "Pixel 7"},
                {6, "Acme"},
                {9, "42"},
                {12, "9000000000"},
                {15, "ann@example.org"},
                {16, "secret"},
                {17, profile.filename()},
                {18, ""},
                {19, "Pixel 7"},
                {20, "Pixel 7"},
                {21, "127.0.0.1"},
                {36, "ann#example.org@localhost"},
                {38, profile.filename()},
                {99, ""}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.setting);
        EXPECT_EQ(m_source->stringValueForSetting(row.setting), row.text);
    }
    EXPECT_FALSE(m_source->settingValueForSetting(18).isValid());
    EXPECT_EQ(m_source->settingValueForSetting(9), QVariant(qint64(42)));
    EXPECT_FALSE(m_source->stringValueForSetting(35).isEmpty());
    // The push password is the lower-case MD5 of the phone's name.
    const QString pushPassword = m_source->stringValueForSetting(37);
    EXPECT_EQ(pushPassword.size(), 32);
    EXPECT_EQ(pushPassword, pushPassword.toLower());
}

TEST_F(HMDataConfigurationSourceTest, StoresOnlyTheWritableSettings)
{
    m_source->setSetting(8, QStringLiteral("20260301 10:00:00"));
    m_source->setSetting(10, 17);
    m_source->setSetting(14, QStringLiteral("123"));
    m_source->setSetting(4, QStringLiteral("someone else"));
    EXPECT_EQ(m_profile->pppLastFileUpdateTime(), QStringLiteral("20260301 10:00:00"));
    EXPECT_EQ(m_profile->lastDownloadPacketNumber(), 17);
    EXPECT_EQ(m_profile->lastPacketNumberM(), 123);
    EXPECT_NE(m_profile->hhUserId(), QStringLiteral("someone else"));
}

TEST_F(HMDataConfigurationSourceTest, BackgroundIntervalIsTheCodeInMinutes)
{
    m_profile->setBackgroundSyncEnabled(false);
    m_profile->setBackgroundSyncInterval(30);
    EXPECT_FALSE(m_source->backgroundSyncInterval().isValid());
    m_profile->setBackgroundSyncEnabled(true);
    m_profile->setBackgroundSyncInterval(30);
    EXPECT_EQ(m_source->backgroundSyncInterval().toLongLong(), 1800);
}

TEST_F(HMDataConfigurationSourceTest, MemosTakePartOnlyWithOutlook)
{
    m_profile->setMemoSyncEnabled(true);
    for (const char *manager : {"ContactManagerApple", "ContactManagerOutlook15"}) {
        SCOPED_TRACE(manager);
        m_profile->setContactManagerName(QLatin1String(manager));
        HMSyncConduitData memos(4);
        m_source->startProcessingSyncForConduitData(memos);
        EXPECT_EQ(memos.syncEnabled(), QLatin1String(manager).contains(QLatin1String("Outlook")));
        EXPECT_EQ(memos.conduitDataClass(), QStringLiteral("HMMemoData"));
    }
}

TEST_F(HMDataConfigurationSourceTest, ConduitsAreFilledFromTheProfile)
{
    m_profile->setCalendarSyncDirectionName(QStringLiteral("device_to_mac"));
    m_profile->setCalendarSyncDeletionsName(QStringLiteral("mac_to_device"));
    m_profile->setCalendarConflictSettingName(QStringLiteral("duplicate"));
    m_profile->setPurgeCalendarOnNextSync(true);
    m_profile->setEventCalendarIdentifiersToSync({QStringLiteral("home"), QStringLiteral("work")});
    m_profile->setEventCalendarIdentifierToWriteTo(QStringLiteral("home"));
    HMSyncConduitData calendar(2);
    m_source->startProcessingSyncForConduitData(calendar);
    EXPECT_TRUE(calendar.syncEnabled());
    EXPECT_EQ(calendar.syncDirection(), 2u);
    EXPECT_EQ(calendar.syncDeletions(), 1u);
    EXPECT_EQ(calendar.conflictSetting(), 3u);
    EXPECT_EQ(calendar.conflictSettingName(), QStringLiteral("duplicate"));
    EXPECT_TRUE(calendar.purgeOnNextSync());
    EXPECT_TRUE(m_source->isConduitPurging(2));
    EXPECT_EQ(calendar.categoryIdentifiersToSync(), QStringList({"home", "work"}));
    EXPECT_EQ(calendar.categoryIdentifierToWriteTo(), QStringLiteral("home"));

    HMSyncConduitData none(0);
    m_source->startProcessingSyncForConduitData(none);
    EXPECT_FALSE(none.syncEnabled());
    EXPECT_FALSE(m_source->isConduitPurging(0));
}

TEST_F(HMDataConfigurationSourceTest, TheRunsStartBecomesTheProfilesLastSyncDate)
{
    const QDateTime previous(QDate(2026, 2, 1), QTime(9, 0), Qt::UTC);
    const QDateTime start(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC);
    HMIdentifierGraph stored;
    stored.setLastSyncDate(previous);
    stored.appendDictionary({{QStringLiteral("hmUid"), QStringLiteral("d1")}});
    ASSERT_TRUE(m_profile->saveIdentifierGraph(stored, QStringLiteral("D")));
    m_profile->setPurgeCalendarOnNextSync(true);

    HMSyncConduitData calendar(2);
    m_source->startProcessingSyncForConduitData(calendar);
    m_source->prepareConduitDataForProcessing(calendar);
    ASSERT_TRUE(calendar.conduitData());
    EXPECT_EQ(calendar.lastSyncDate(), previous);
    EXPECT_EQ(calendar.conduitData()->identifierGraph()->identifierDictionaries().size(), 1);

    calendar.setSyncStartDate(start);
    m_source->cleanupConduitDataAfterProcessing(calendar);
    EXPECT_FALSE(calendar.conduitData());
    EXPECT_EQ(calendar.lastSyncDate(), start);
    EXPECT_EQ(calendar.appleRecordCount(), 1);
    m_source->finishedProcessingSyncForConduitData(calendar);
    EXPECT_EQ(m_profile->calendarLastSyncDate(), start);
    EXPECT_EQ(m_profile->eventCount(), 1);
    EXPECT_FALSE(m_profile->purgeCalendarOnNextSync());
    EXPECT_EQ(HMProfileManager::identifierGraphForProfile(*m_profile, QStringLiteral("D"))->lastSyncDate(), start);
}

// Each conduit's end writes its own date and count, and the calendar and reminder conduits their
// lists, into the profile; a run without a date keeps the previous one; a conduit that did not take
// part, or a number that names none, writes nothing.
TEST_F(HMDataConfigurationSourceTest, EachConduitsEndWritesItsOwnProfileFields)
{
    const QDateTime previous(QDate(2026, 2, 1), QTime(9, 0), Qt::UTC);
    const QDateTime start(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC);
    for (const HMProfileConduit entry : {HMProfileConduit::Contacts, HMProfileConduit::Calendar,
                                         HMProfileConduit::Tasks, HMProfileConduit::Memos}) {
        m_profile->setLastSyncDate(entry, previous);
        m_profile->setCount(entry, 0);
    }
    const auto finish = [&](quint64 conduit, const QDateTime &date, qint64 count, bool enabled = true) {
        HMSyncConduitData data(conduit);
        data.setSyncEnabled(enabled);
        data.setLastSyncDate(date);
        data.setAppleRecordCount(count);
        data.setCategoryIdentifiersToSync({QStringLiteral("list%1").arg(conduit)});
        m_source->finishedProcessingSyncForConduitData(data);
    };
    finish(1, start, 11);
    finish(2, start.addSecs(2), 22);
    finish(3, QDateTime(), 33);
    finish(4, start.addSecs(4), 44, false);
    finish(5, start.addSecs(5), 55);
    finish(0, start.addSecs(6), 66);

    EXPECT_EQ(m_profile->contactLastSyncDate(), start);
    EXPECT_EQ(m_profile->contactCount(), 11);
    EXPECT_EQ(m_profile->calendarLastSyncDate(), start.addSecs(2));
    EXPECT_EQ(m_profile->eventCount(), 22);
    EXPECT_EQ(m_profile->eventCalendarIdentifiersToSync(), QStringList({"list2"}));
    EXPECT_EQ(m_profile->taskLastSyncDate(), previous);
    EXPECT_EQ(m_profile->taskCount(), 33);
    EXPECT_EQ(m_profile->taskCalendarIdentifiersToSync(), QStringList({"list3"}));
    EXPECT_EQ(m_profile->memoLastSyncDate(), previous);
    EXPECT_EQ(m_profile->memoCount(), 0);
}

TEST_F(HMDataConfigurationSourceTest, MissingDataSourcesAndPlaceholderConduitsWriteNothing)
{
    const QStringList before = dataFolderFiles();
    HMSyncConduitData contacts(1);
    m_source->startProcessingSyncForConduitData(contacts);
    m_source->prepareConduitDataForProcessing(contacts);
    EXPECT_FALSE(contacts.conduitData());

    HMSyncConduitData placeholder(0);
    placeholder.setConduitData(std::make_shared<FakeSyncDataSource>(QStringLiteral("HMContactData")));
    placeholder.conduitData()->setIdentifierGraph(std::make_shared<HMIdentifierGraph>());
    m_source->saveProgressForConduitData(placeholder);
    EXPECT_EQ(dataFolderFiles(), before);
}
