// The Google run in process: the account services against the Google peer, the start's reading of the
// profile, the end's alert, and how the list callbacks apply Google's records to Outlook and move the
// list date.
#include "GooglePeerFixture.h"
#include "RawHttpServer.h"

#include "foundation/GlobalVariables.h"
#include "google/GoogleHosts.h"
#include "google/HMGoogleSync.h"
#include "google/HMGoogleSyncDriver.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/VirtualClock.h"
#include "foundation/HMSyncProgressReporting.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"

#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>


namespace {

// The sign-in sheet's side: what the account services hand it.
class RecordingSheet final : public GoogleSyncControllerDelegate
{
public:
    void googleSyncControllerReturnedWithCalendarList(const QVariantList &list) override { calendars = list; }
    void googleSyncControllerReturnedWithUserName(const QString &name) override { userNames << name; }
    void googleSyncControllerReturnedWithUserImage(const QByteArray &image) override { images << image; }

    QVariantList calendars;
    QStringList userNames;
    QList<QByteArray> images;
};

// An Outlook data source that keeps what it is given; records whose "SUBJECT" is "refuse" are refused.
class FakeOutlookData final : public HMData, public HMGoogleCalendarExceptions
{
public:
    void prepareForUseOnThread() override {}
    void stopUsingOnThread() override {}
    void clearIdTable() override {}
    QSet<QString> setOfHmUids() override { return {}; }
    void saveChanges() override {}
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &, bool, const QSet<QString> &) override
    {
        return std::nullopt;
    }
    qint64 commandAction(qint32, quint64, quint64, const QVariantMap &, qint64) override { return -1; }
    qint64 outlookCommandAction(qint32 action, quint64 method, quint64 conflict, const QVariantMap &record,
                                qint64 difference) override
    {
        calls << QStringLiteral("%1 %2 %3 %4 %5").arg(action).arg(method).arg(conflict).arg(difference).arg(
                     record.value("UID").toString());
        return record.value("SUBJECT") == QLatin1String("refuse") ? -1 : 2;
    }
    void updateUidToDeviceIds(const QVariantMap &) override {}
    void deleteUidRecords(const QStringList &) override {}
    void deleteOutlookUidRecords(const QStringList &ids) override { deleted << ids; }
    bool handleGoogleDeletedExceptionRecords(const QList<QVariantMap> &records) override
    {
        for (const QVariantMap &record : records)
            deletedOccurrences << record.value("UID").toString();
        return true;
    }
    QString handleGoogleUpdateException(const QVariantMap &record) override
    {
        changedOccurrences << record.value("UID").toString();
        return QStringLiteral("900");
    }

    QStringList calls;
    QStringList deleted;
    QStringList deletedOccurrences;
    QStringList changedOccurrences;
};

// A run of the profile, its data sources the fake, its end observed; its data folder a temporary one.
class GoogleRun : public testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toLocal8Bit());
        m_profile = std::make_shared<HMProfile>();
        m_profile->setGoogleDirectUsername(QStringLiteral("me@example.com"));
        m_profile->setContactSyncEnabled(false);
        m_profile->setCalendarSyncEnabled(false);
        m_profile->setTaskSyncEnabled(false);
        m_run = HMGoogleSync::create();
        m_run->setProfile(m_profile);
        m_run->setDataSourceFactory([data = m_data](int) { return data; });
        m_run->setErrorPresenter([this](const QString &text) {
            const std::lock_guard lock(m_mutex);
            m_alerts << text;
        });
    }
    void TearDown() override
    {
        GlobalVariables::setGoogleDirectSyncControllerController(nullptr);
        GlobalVariables::resetContactAddUpdateCountsThisSync();
        qunsetenv("XDG_DATA_HOME");
    }
    QStringList alerts()
    {
        const std::lock_guard lock(m_mutex);
        return m_alerts;
    }
    // Runs the work on the run's queue and waits for it.
    void onQueue(const std::function<void()> &work) { m_run->queue()->sync(work); }

    QTemporaryDir m_home;
    std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<HMGoogleSync> m_run;
    std::shared_ptr<FakeOutlookData> m_data = std::make_shared<FakeOutlookData>();
    std::mutex m_mutex;
    QStringList m_alerts;
};

QVariantMap record(const QString &uid, const QVariantMap &more = {})
{
    QVariantMap fields = more;
    fields.insert(QStringLiteral("UID"), uid);
    return fields;
}

} // namespace

TEST(GoogleAccount, HandsTheSheetTheCalendarsTheAddressAndThePicture)
{
    PeerFixture fixture;
    RecordingSheet sheet;
    const std::shared_ptr<HMGoogleSync> run = HMGoogleSync::create();
    run->setProfile(std::make_shared<HMProfile>());
    run->setGoogleSyncControllerDelegate(&sheet);
    run->setAccessToken(QStringLiteral("ya29.a/b"));
    run->setRefreshToken(QStringLiteral("1//rt"));
    run->setTokens();
    EXPECT_EQ(run->profile()->googleRefreshToken(), "1//rt");
    run->doStuff();

    ASSERT_EQ(sheet.calendars.size(), 4);
    const QVariantMap me = sheet.calendars.at(0).toMap();
    EXPECT_EQ(me, QVariantMap({{"name", "Me"}, {"id", "me@example.com"}, {"primary", true},
                               {"timeZone", "Europe/Berlin"}, {"color", "#000000"}}));
    EXPECT_EQ(sheet.calendars.at(1).toMap().value("name").toString(), "Team (Read-only)");
    EXPECT_FALSE(sheet.calendars.at(2).toMap().contains("name"));
    EXPECT_EQ(sheet.calendars.at(3).toMap().value("name").toString(), "Holidays (Read-only)");
    EXPECT_EQ(sheet.userNames, QStringList({"me@example.com", "me@example.com"}));
    ASSERT_EQ(sheet.images.size(), 2);
    EXPECT_TRUE(sheet.images.first().startsWith("\x89PNG"));

    const QList<googlepeer::ReceivedRequest> requests = fixture.peer->requests();
    QStringList seen;
    for (const googlepeer::ReceivedRequest &request : requests)
        seen << request.path + QLatin1Char(' ') + QString::fromLatin1(request.authorization);
    EXPECT_EQ(seen.join(" | ").toStdString(), QStringList({"/calendar/v3/users/me/calendarList Bearer ya29.a/b",
                                 "/oauth2/v1/userinfo Bearer ya29.a/b", "/picture.png ",
                                 "/oauth2/v1/userinfo Bearer ya29.a/b", "/picture.png "}).join(" | ").toStdString());

    // A picture somewhere else than http(s) is not fetched; a token that could break the header is
    // not sent; a failed request hands on nothing.
    fixture.peer->clearRequests();
    sheet.images.clear();
    run->getUserImage(QStringLiteral("file:///etc/passwd"));
    run->setAccessToken(QStringLiteral("ya29.a\r\nX-Evil: 1"));
    run->getCalendarList();
    EXPECT_TRUE(sheet.images.isEmpty());
    EXPECT_TRUE(sheet.calendars.isEmpty());
    EXPECT_EQ(sheet.userNames.last(), QString());
    EXPECT_TRUE(fixture.peer->requests().isEmpty());
}

TEST(GoogleAccount, TokensAndTheRefreshFormByteForByte)
{
    EXPECT_EQ(HMGoogleSync::refreshBody(QStringLiteral("1//rt")),
              "client_id=884120357716-hmsyncdesktop.apps.googleusercontent.com&client_secret=Qw7TzRkLm2VbXa9PfHsN4cJe"
              "&refresh_token=1//rt&grant_type=refresh_token");
    EXPECT_EQ(googlehosts::bearerHeaderValue(QStringLiteral("ya29.a/b")), "Bearer ya29.a%2Fb");
    EXPECT_EQ(HMGoogleSync::accessTokenOfReply("{\n  \"access_token\": \"ya29.x\",\n \"expires_in\": 3599}"), "ya29.x");
    EXPECT_EQ(HMGoogleSync::accessTokenOfReply("{\"access_token\": \"ya29.cut"), "ya29.cut");
    EXPECT_FALSE(HMGoogleSync::accessTokenOfReply("{\"access_token\":\"ya29.x\"}").has_value());
    EXPECT_FALSE(HMGoogleSync::accessTokenOfReply(QByteArray()).has_value());
    for (const char *bad : {"", "a b", "a\"b", "a\r\nb", "=ab", "ab=c"})
        EXPECT_FALSE(googlehosts::isTokenText(QString::fromLatin1(bad))) << bad;
    EXPECT_TRUE(googlehosts::isTokenText(QStringLiteral("1//0gA-b_c.d~e+f==")));

    const auto profile = std::make_shared<HMProfile>();
    const std::shared_ptr<HMGoogleSync> run = HMGoogleSync::create();
    run->setProfile(profile);
    profile->setGoogleAccessToken(QStringLiteral("ya29.a"));
    EXPECT_FALSE(run->hasTokens());
    EXPECT_EQ(run->accessToken(), "ya29.a");
    profile->setGoogleRefreshToken(QStringLiteral("1//rt"));
    EXPECT_TRUE(run->hasTokens());
    EXPECT_EQ(run->refreshToken(), "1//rt");
}

TEST_F(GoogleRun, TheStartReadsTheDeletionRuleTheCalendarsAndThePurgeFlags)
{
    struct Row
    {
        const char *text;
        bool fromGoogle;
        bool fromOutlook;
    };
    const Row rows[] = {
        {"Records deleted from Outlook will be deleted from Google; from Google will be deleted too", false, true},
        {"Records deleted from Google will be deleted from Outlook", true, false},
        {"two_way", true, true}};
    m_profile->setGoogleCalendarIdentifiersToSync({"me@example.com", "team@x"});
    m_profile->setAllGoogleCalendars({QVariantMap{{"id", "me@example.com"}, {"name", "Me"}, {"primary", true}},
                                      QVariantMap{{"id", "team@x"}, {"name", "Team (Read-only)"}},
                                      QVariantMap{{"id", "other@x"}, {"name", "Other"}}});
    m_profile->setPurgeTasksOnNextSync(true);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        m_profile->setSyncDeletionsName(QString::fromLatin1(row.text));
        onQueue([&] { m_run->initialize(); });
        EXPECT_EQ(m_run->allowDeletesFromGoogle(), row.fromGoogle);
        EXPECT_EQ(m_run->allowDeletesFromOutlook(), row.fromOutlook);
        EXPECT_EQ(m_run->syncDriver()->allowDeletesFromGoogle(), row.fromGoogle);
    }
    EXPECT_EQ(m_run->calendarIdsToRead(), QStringList({"me@example.com", "team@x"}));
    EXPECT_EQ(m_run->syncDriver()->calendarNamesAndIds(), (QMap<QString, QString>{{"team@x", "Team (Read-only)"}}));
    EXPECT_EQ(m_run->syncDriver()->userEmail(), "me@example.com");
    EXPECT_TRUE(m_run->syncDriver()->purgeTasks());
    EXPECT_EQ(GlobalVariables::getDefaultGoogleCalendatIdentifier(), "primary");
    EXPECT_EQ(GlobalVariables::getGoogleDirectSyncController(), m_run);
}

TEST_F(GoogleRun, TheUnwritableAlertNeedsSixWritesAndMoreThanHalfFailed)
{
    struct Row
    {
        qint64 tried;
        qint64 failed;
        bool alerts;
    };
    GlobalVariables::setIsOutlookSync(true);
    for (const Row &row : {Row{5, 5, false}, Row{6, 3, false}, Row{6, 4, true}}) {
        SCOPED_TRACE(row.tried * 10 + row.failed);
        const std::shared_ptr<HMGoogleSync> run = HMGoogleSync::create();
        run->setProfile(m_profile);
        run->setErrorPresenter([this](const QString &text) {
            const std::lock_guard lock(m_mutex);
            m_alerts << text;
        });
        const qsizetype before = alerts().size();
        run->queue()->sync([&] {
            run->initialize();
            GlobalVariables::setContactAddUpdatesThisSync(row.tried);
            GlobalVariables::setContactAddUpdateFailuresThisSync(row.failed);
            run->endSync();
        });
        EXPECT_EQ(alerts().size() - before, row.alerts ? 1 : 0);
    }
    EXPECT_EQ(alerts().last(), "Some records were not synchronized.\n\nOutlook appears to be in an unwritable state. "
                               "Please quit and restart Outlook, then try the sync again.");
}

TEST_F(GoogleRun, AListDateMovesOnlyOnceEveryRecordItCoversIsInOutlook)
{
    const QDateTime first(QDate(2026, 12, 1), QTime(8, 0), Qt::UTC);
    const QDateTime second(QDate(2026, 12, 2), QTime(8, 0), Qt::UTC);
    onQueue([&] {
        m_run->initialize();
        // The run goes no further than the callback: the next stage sees the cancel.
        m_run->cancelSynchronization();
        m_run->syncDriverContactListCommandReturnedWithDictionaries(
            {record("c1"), record("c2", {{"DELETED", true}})}, {"c9"}, false, first);
    });
    EXPECT_EQ(m_data->calls, QStringList({"1 1 0 0 c1"}));
    EXPECT_EQ(m_data->deleted, QStringList({"c9"}));
    EXPECT_EQ(HMOutlookDatFileHelper().getLastListCommandContacts(), first);
    EXPECT_EQ(m_run->lastErrorMessageString(), "Synchronization Canceled");

    // A refused record keeps the old date: the next run reads the page again.
    const std::shared_ptr<HMGoogleSync> again = HMGoogleSync::create();
    again->setProfile(m_profile);
    again->setDataSourceFactory([data = m_data](int) { return data; });
    again->queue()->sync([&] {
        again->initialize();
        again->cancelSynchronization();
        again->syncDriverTaskListCommandReturnedWithDictionaries({record("t1", {{"SUBJECT", "refuse"}}), record("t2")},
                                                                 {}, second);
        again->syncDriverContactListCommandReturnedWithDictionaries({record("c3", {{"SUBJECT", "refuse"}})}, {}, false,
                                                                    second);
    });
    EXPECT_FALSE(HMOutlookDatFileHelper().getLastListCommandTasks().isValid());
    EXPECT_EQ(HMOutlookDatFileHelper().getLastListCommandContacts(), first);
}

TEST_F(GoogleRun, EventListsSortDeletionsAndOccurrences)
{
    const QDateTime date(QDate(2026, 12, 3), QTime(9, 0), Qt::UTC);
    ASSERT_TRUE(HMOutlookDatFileHelper().writeOutlookEventIdForDeviceEventId("501", "series1@primary"));
    ASSERT_TRUE(HMOutlookDatFileHelper().writeOutlookEventIdForDeviceEventId("502", "own_occurrence@primary"));
    const QList<QVariantMap> records{
        record("e1@primary"),
        record("gone@primary", {{"DELETED", true}}),
        record("gone_occurrence@primary", {{"DELETED", true}, {"isRecurringException", true}}),
        record("occurrence@primary", {{"isRecurringException", true}, {"parentEventId", "series1"}}),
        record("own_occurrence@primary", {{"isRecurringException", true}, {"parentEventId", "series1"}}),
        {{"DELETED", true}}};
    onQueue([&] {
        m_run->initialize();
        m_run->cancelSynchronization();
        m_run->syncDriverEventListCommandReturnedWithDictionaries(records, date);
    });
    EXPECT_EQ(m_data->calls, QStringList({"1 1 0 0 e1@primary", "1 1 0 0 own_occurrence@primary"}));
    EXPECT_EQ(m_data->deleted, QStringList({"gone@primary"}));
    EXPECT_EQ(m_data->deletedOccurrences, QStringList({"gone_occurrence@primary"}));
    EXPECT_EQ(m_data->changedOccurrences, QStringList({"occurrence@primary"}));
    EXPECT_EQ(m_run->syncDriver()->idsToExclude(), QSet<QString>({"series1@primary"}));
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookEventIdForDeviceEventId("occurrence@primary"), "900");
    // The calendar's map keeps its list date a second past Google's.
    EXPECT_EQ(HMOutlookDatFileHelper().getLastListCommandEvents(), date.addSecs(1));

    // Google's deletions are not applied when the rule keeps Outlook's records.
    m_data->deleted.clear();
    m_profile->setSyncDeletionsName(QStringLiteral("Records deleted from Outlook will be deleted from Google"));
    const std::shared_ptr<HMGoogleSync> again = HMGoogleSync::create();
    again->setProfile(m_profile);
    again->setDataSourceFactory([data = m_data](int) { return data; });
    again->queue()->sync([&] {
        again->initialize();
        again->cancelSynchronization();
        again->syncDriverEventListCommandReturnedWithDictionaries({record("gone2@primary", {{"DELETED", true}})}, date);
    });
    EXPECT_TRUE(m_data->deleted.isEmpty());
}

TEST(GoogleDriverRequests, CarryTheAccessTokenWithEverySlashWrittenPercentTwoF)
{
    RawHttpServer server({RawHttpServer::reply(200, "{}")});
    const auto driver = std::make_shared<HMGoogleSyncDriver>();
    driver->setAccessToken(QStringLiteral("ya29.a/b/c"));
    driver->makeClient(QStringLiteral("http://127.0.0.1:%1/").arg(server.port));
    std::atomic<int> status = 0;
    const auto request = driver->makeRequest(
        QStringLiteral("calendar/v3/users/me/calendarList"), 0, [&](int code, const QByteArray &) { status = code; },
        [&](const QString &) { status = -1; });
    request->send();
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return status.load() != 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(status.load(), 200);
    EXPECT_TRUE(server.heads().value(0).startsWith("GET /calendar/v3/users/me/calendarList HTTP/1.1\r\n")) << server.heads().value(0).toStdString();
    EXPECT_TRUE(server.heads().value(0).contains("\r\nAuthorization: Bearer ya29.a%2Fb%2Fc\r\n")) << server.heads().value(0).toStdString();
}

namespace {

// The progress sheet's side of a run: each completion text, in order.
class RecordingProgress final : public HMSyncProgressReporting
{
public:
    void setUserMessageDirectly(const QString &) override {}
    void setUserMessageDirectly(const QString &, double) override {}
    void setOverallMessageDirectly(const QString &, double) override {}
    void syncCompleted(const QString &errorText) override
    {
        const std::lock_guard lock(m_mutex);
        m_completions << (errorText.isEmpty() ? QStringLiteral("Sync Complete") : errorText);
    }
    void displayDeletionWarningWithMessage(const QString &) override {}
    void displayReauthorizationButtons() override {}
    QStringList completions() const
    {
        const std::lock_guard lock(m_mutex);
        return m_completions;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_completions;
};

} // namespace

TEST_F(GoogleRun, TheSecondCompletionComesOneSecondLaterOnTheRunsOwnTimer)
{
    PeerFixture fixture;
    const auto sheet = std::make_shared<RecordingProgress>();
    GlobalVariables::setCurrentSyncProgressController(sheet);
    m_profile->setGoogleAccessToken(QStringLiteral("ya29.old"));
    m_profile->setGoogleRefreshToken(QStringLiteral("1//rt"));
    ASSERT_TRUE(m_run->hasTokens());
    platform::VirtualClock::install();
    m_run->synchronize();
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return !sheet->completions().isEmpty(); },
                                                           std::chrono::seconds(20)));
    EXPECT_EQ(m_run->syncStage(), "endSync");
    platform::DispatchQueue::runMainQueueUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(sheet->completions(), QStringList({"Sync Complete"}));
    platform::VirtualClock::advance(0.99);
    m_run->queue()->sync([] {});
    EXPECT_FALSE(m_run->isFinished());
    platform::VirtualClock::advance(0.02);
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return m_run->isFinished(); }, std::chrono::seconds(5)));
    EXPECT_EQ(sheet->completions(), QStringList({"Sync Complete", "Sync Complete"}));
    platform::VirtualClock::uninstall();
    GlobalVariables::setCurrentSyncProgressController(nullptr);
}

namespace {

struct ContactGroupsRun
{
    explicit ContactGroupsRun(PeerFixture &fixture)
    {
        qputenv("HM_GOOGLE_CONTACTS_HOST", fixture.peer->baseUrl().toLatin1());
        driver->setAccessToken(QStringLiteral("ya29.a/b"));
        driver->setUserEmail(QStringLiteral("me@example.com"));
        driver->setGoogleSyncDelegate(&run);
    }
    ~ContactGroupsRun() { qunsetenv("HM_GOOGLE_CONTACTS_HOST"); }
    bool waitFor(const std::function<bool()> &done)
    {
        return platform::DispatchQueue::runMainQueueUntil(
            [&] {
                const std::lock_guard lock(run.mutex);
                return done();
            },
            std::chrono::seconds(20));
    }
    RecordingRun run;
    const std::shared_ptr<HMGoogleSyncDriver> driver = std::make_shared<HMGoogleSyncDriver>();
};

} // namespace

TEST(GoogleContactGroups, BeginListsTheGroupsByIdThenAsksForTheContacts)
{
    PeerFixture fixture;
    QString error;
    QJsonObject account = fixture.peer->dump().value("accounts").toObject().value("me@example.com").toObject();
    account.insert("groups", QJsonArray{QJsonObject{{"id", "1a2b"}, {"title", "Family & Friends"}},
                                        QJsonObject{{"id", "77"}, {"title", "Work"}}});
    ASSERT_TRUE(fixture.peer->seed(QJsonObject{{"accounts", QJsonObject{{"me@example.com", account}}}}, error))
        << error.toStdString();
    ContactGroupsRun groups(fixture);
    groups.driver->begin();
    ASSERT_TRUE(groups.waitFor([&] { return !groups.run.pages.isEmpty(); }));
    const QString base = QStringLiteral("http://www.google.com/m8/feeds/groups/me@example.com/base/");
    const QMap<QString, QString> expected{{base + "6", "System Group: My Contacts"},
                                          {base + "1a2b", "Family & Friends"},
                                          {base + "77", "Work"}};
    EXPECT_EQ(groups.driver->groupNamesAndIds(), expected);
    const QList<googlepeer::ReceivedRequest> requests = fixture.peer->requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/m8/feeds/groups/me@example.com/full");
    // Then the first page of contacts: none, so the last page, with the date it read up to.
    EXPECT_EQ(requests[1].path, "/m8/feeds/contacts/me@example.com/full");
    EXPECT_EQ(groups.run.pages, QStringList{"0 0 0 1"});
    EXPECT_TRUE(groups.run.errors.isEmpty());

    // Contacts emptied on Google in this run: one empty last page, no date, no request.
    fixture.peer->clearRequests();
    ContactGroupsRun purged(fixture);
    purged.driver->setPurgeContacts(true);
    purged.driver->begin();
    ASSERT_TRUE(purged.waitFor([&] { return !purged.run.pages.isEmpty(); }));
    EXPECT_EQ(purged.run.pages, QStringList{"0 0 0 0"});
    EXPECT_TRUE(purged.run.errors.isEmpty());
    EXPECT_FALSE(purged.driver->purgeContacts());
    EXPECT_EQ(fixture.peer->requestPaths(), QStringList{"/m8/feeds/groups/me@example.com/full"});
}

TEST(GoogleContactGroups, ARefusedOrFailedListingEndsTheRunWithItsTextAndAsksNothingMore)
{
    PeerFixture fixture;
    const std::pair<googlepeer::SwitchKind, QString> cases[] = {
        {googlepeer::SwitchKind::Expired401, "HTTP 401: Unauthorized.\nGoogle has not authorized access to this account."},
        {googlepeer::SwitchKind::Error500,
         "HTTP 500: Server error.\nSomething is wrong on the server. Try again in a few minutes."},
        {googlepeer::SwitchKind::CutBefore, "ERROR: "}};
    for (const auto &[kind, text] : cases) {
        fixture.peer->clearSwitches();
        fixture.peer->clearRequests();
        googlepeer::Switch change;
        change.kind = kind;
        fixture.peer->addSwitch(change);
        ContactGroupsRun groups(fixture);
        groups.driver->begin();
        ASSERT_TRUE(groups.waitFor([&] { return !groups.run.errors.isEmpty(); })) << text.toStdString();
        EXPECT_TRUE(groups.run.errors.first().startsWith(text)) << groups.run.errors.first().toStdString();
        EXPECT_EQ(groups.run.errors.size(), 1);
        EXPECT_TRUE(groups.run.pages.isEmpty());
        EXPECT_EQ(fixture.peer->requestPaths(), QStringList{"/m8/feeds/groups/me@example.com/full"});
    }

    // A cancel before the listing sends nothing and ends with "Synchronization Canceled".
    fixture.peer->clearSwitches();
    fixture.peer->clearRequests();
    ContactGroupsRun canceled(fixture);
    canceled.driver->setCancel();
    canceled.driver->begin();
    EXPECT_EQ(canceled.run.errors, QStringList{"Synchronization Canceled"});
    EXPECT_TRUE(fixture.peer->requestPaths().isEmpty());
}
