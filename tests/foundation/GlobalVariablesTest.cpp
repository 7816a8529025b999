#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Locale.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// A stand-in sheet that records what sync code told it and notes when it is destroyed.
class RecordingSheet final : public HMSyncProgressReporting
{
public:
    explicit RecordingSheet(bool *destroyed) : m_destroyed(destroyed) {}
    ~RecordingSheet() override
    {
        *m_destroyed = true;
        // A sheet going away clears what it registered; this must not deadlock the registry.
        GlobalVariables::setSyncInterruptMessage(QString());
    }

    void setUserMessageDirectly(const QString &message) override { messages.append(message); }
    void setUserMessageDirectly(const QString &message, double) override { messages.append(message); }
    void setOverallMessageDirectly(const QString &message, double) override { messages.append(message); }
    void syncCompleted(const QString &errorText) override { messages.append(QStringLiteral("done:") + errorText); }
    void displayDeletionWarningWithMessage(const QString &message) override { messages.append(message); }
    void displayReauthorizationButtons() override {}

    QStringList messages;

private:
    bool *m_destroyed;
};

} // namespace

// Each test runs in a process of its own under CTest, so this sees the values the process starts with.
TEST(GlobalVariables, StartsWithEveryValueUnset)
{
    EXPECT_FALSE(GlobalVariables::getIsSynchronizing());
    EXPECT_FALSE(GlobalVariables::getIsOutlookSync());
    EXPECT_FALSE(GlobalVariables::getQuillnestErrorStatus());
    EXPECT_FALSE(GlobalVariables::getunwritableEKCalendar());
    EXPECT_EQ(GlobalVariables::getSyncControllerSecondsDifference(), 0);
    EXPECT_EQ(GlobalVariables::getContactAddUpdatesThisSync(), 0);
    EXPECT_TRUE(GlobalVariables::getOutlookApplicationReference().isNull());
    EXPECT_TRUE(GlobalVariables::getErrorRecoverySyncConduits().isNull());
    EXPECT_FALSE(GlobalVariables::getLastSyncEndDate().isValid());
    EXPECT_TRUE(GlobalVariables::getContactIdsWithPhotos().isEmpty());
    EXPECT_TRUE(GlobalVariables::getErrorLogContactIds().isEmpty());
    EXPECT_EQ(GlobalVariables::getCurrentSyncProgressController(), nullptr);
    EXPECT_EQ(GlobalVariables::getMainWindowController(), nullptr);
}

TEST(GlobalVariables, StoredListIsNotChangedByItsFormerOwner)
{
    QStringList ids{QStringLiteral("A1"), QStringLiteral("B2")};
    GlobalVariables::setErrorLogContactIds(ids);
    ids.append(QStringLiteral("C3"));
    ids[0] = QStringLiteral("changed");

    EXPECT_EQ(GlobalVariables::getErrorLogContactIds(), (QStringList{QStringLiteral("A1"), QStringLiteral("B2")}));
    EXPECT_TRUE(GlobalVariables::getErrorLogMemoIds().isEmpty());
}

TEST(GlobalVariables, ContactPhotoPairsIgnoreMissingIds)
{
    GlobalVariables::addOutlookIdToContactIdsWithPhotos(QStringLiteral("outlook-1"), QString());
    GlobalVariables::addOutlookIdToContactIdsWithPhotos(QString(), QStringLiteral("device-1"));
    EXPECT_TRUE(GlobalVariables::getContactIdsWithPhotos().isEmpty());

    GlobalVariables::addOutlookIdToContactIdsWithPhotos(QStringLiteral("outlook-2"), QStringLiteral("device-2"));
    GlobalVariables::addOutlookIdToContactIdsWithPhotos(QStringLiteral("outlook-3"), QStringLiteral("device-2"));
    const QVariantMap pairs = GlobalVariables::getContactIdsWithPhotos();
    EXPECT_EQ(pairs.size(), 1);
    EXPECT_EQ(pairs.value(QStringLiteral("device-2")).toString(), QStringLiteral("outlook-3"));

    GlobalVariables::addContactIdToOutlookContactIdsWithPhotosToSendToGoogle(QStringLiteral("c1"));
    GlobalVariables::addContactIdToOutlookContactIdsWithPhotosToSendToGoogle(QStringLiteral("c2"));
    EXPECT_EQ(GlobalVariables::getOutlookContactIdsWithPhotosToSendToGoogle(),
              (QStringList{QStringLiteral("c1"), QStringLiteral("c2")}));
}

// Contacts are counted from the sync queue while the main thread reads: no increment may be lost,
// and a new run starts counting from 0 rather than from the totals of earlier runs.
TEST(GlobalVariables, ContactCountsAreExactAcrossThreadsAndResetPerRun)
{
    constexpr int kThreads = 8;
    constexpr int kPerThread = 5000;
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread) {
        writers.emplace_back([] {
            for (int i = 0; i < kPerThread; ++i) {
                GlobalVariables::incrementContactAddUpdatesThisSync();
                if (i % 2 == 0)
                    GlobalVariables::incrementContactAddUpdateFailuresThisSync();
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(GlobalVariables::getContactAddUpdatesThisSync(), kThreads * kPerThread);
    EXPECT_EQ(GlobalVariables::getContactAddUpdateFailuresThisSync(), kThreads * kPerThread / 2);

    GlobalVariables::resetContactAddUpdateCountsThisSync();
    GlobalVariables::incrementContactAddUpdatesThisSync();
    EXPECT_EQ(GlobalVariables::getContactAddUpdatesThisSync(), 1);
    EXPECT_EQ(GlobalVariables::getContactAddUpdateFailuresThisSync(), 0);
}

TEST(GlobalVariables, HoldsTheProgressSheetUntilReplaced)
{
    bool destroyed = false;
    auto sheet = std::make_shared<RecordingSheet>(&destroyed);
    GlobalVariables::setCurrentSyncProgressController(sheet);
    sheet.reset();
    ASSERT_FALSE(destroyed);

    const std::shared_ptr<HMSyncProgressReporting> current = GlobalVariables::getCurrentSyncProgressController();
    ASSERT_NE(current, nullptr);
    current->setUserMessageDirectly(QStringLiteral("Opening Contacts..."));
    EXPECT_EQ(static_cast<RecordingSheet &>(*current).messages, QStringList{QStringLiteral("Opening Contacts...")});

    GlobalVariables::setCurrentSyncProgressController(nullptr);
    EXPECT_FALSE(destroyed) << "the caller still holds a reference";
}

TEST(GlobalVariables, ReleasingTheLastReferenceMayUseTheRegistry)
{
    bool destroyed = false;
    GlobalVariables::setCurrentSyncProgressController(std::make_shared<RecordingSheet>(&destroyed));
    GlobalVariables::setCurrentSyncProgressController(nullptr);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(GlobalVariables::getCurrentSyncProgressController(), nullptr);
}

TEST(GlobalVariables, ConcurrentReplacementOfTextsNeverTearsAValue)
{
    const QString first = QStringLiteral("Microsoft Outlook");
    const QString second = QStringLiteral("/Applications/Microsoft Outlook.app");
    GlobalVariables::setOutlookApplicationReference(first);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            GlobalVariables::setOutlookApplicationReference(i % 2 == 0 ? first : second);
        stop = true;
    });
    // Read at least once: under load the writer can finish before this thread first looks.
    int reads = 0;
    do {
        const QString seen = GlobalVariables::getOutlookApplicationReference();
        if (!seen.isNull()) {
            ASSERT_TRUE(seen == first || seen == second) << seen.toStdString();
        }
        ++reads;
    } while (!stop);
    writer.join();
    EXPECT_GT(reads, 0);
}

// The pattern follows where the locale puts day, month and year in its short date and whether its
// short time shows a day half.
TEST(GlobalVariables, SystemDateFormatFollowsTheLocale)
{
    struct Row
    {
        const char *locale;
        const char *shortDateOfTestDate;
        const char *pattern;
    };
    const Row rows[] = {
        {"en_US", "2/24/70", "MM/dd/yyyy hh:mm a"},
        {"de_DE", "24.02.70", "dd/MM/yyyy HH:mm"},
        {"en_GB", "24/02/1970", "dd/MM/yyyy HH:mm"},
        {"ko_KR", "70. 2. 24.", "yyyy/MM/dd hh:mm a"},
        {"hu_HU", "1970. 02. 24.", "yyyy. M. d. HH:mm"},
        {"sv_SE", "1970-02-24", "yyyy-MM-dd HH:mm"},
        {"ja_JP", "1970/02/24", "MM/dd/yyyy HH:mm"},
    };
    const QDateTime evening = QDateTime::fromString(QStringLiteral("2026-03-05T19:30:00Z"), Qt::ISODate);
    platform::Clock::setSource([evening] { return evening; });
    for (const Row &row : rows) {
        SCOPED_TRACE(row.locale);
        SCOPED_TRACE(row.shortDateOfTestDate);
        platform::Locale::setCurrent(platform::Locale(QString::fromLatin1(row.locale)));
        EXPECT_EQ(GlobalVariables::getSystemDateFormat().toStdString(), std::string(row.pattern));
    }
    platform::Locale::setCurrent(std::nullopt);
    platform::Clock::setSource({});
}

TEST(GlobalVariables, LongDateFormatIsUsedUnlessTheDayEndsTheDate)
{
    platform::Locale::setCurrent(platform::Locale(QStringLiteral("en_US")));
    EXPECT_FALSE(GlobalVariables::useLongDateFormat()) << "February 24, 1970";
    platform::Locale::setCurrent(platform::Locale(QStringLiteral("de_DE")));
    EXPECT_TRUE(GlobalVariables::useLongDateFormat()) << "24. Februar 1970";
    platform::Locale::setCurrent(std::nullopt);
}
