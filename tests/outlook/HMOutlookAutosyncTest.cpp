// The autosync decision against the simulated Outlook's record files (its 2011 and 2016 layouts),
// run in a zone east of GMT so that every shift of the decision shows.
#include "outlook/HMOutlookSQLiteHelper.h"

#include "OutlookPeerProcess.h"
#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QJsonArray>
#include <QJsonObject>

namespace {

using Conduit = HMOutlookDatFileHelper::Conduit;

const QDateTime kFilesModified = QDateTime::fromString(QStringLiteral("2026-03-01T10:00:00Z"), Qt::ISODate);
const QString kZone = QStringLiteral("Europe/Berlin"); // +1 h in March: Pacific is 9 h behind

QJsonObject contact(int id, const QDateTime &modified)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("folder"), 1}, {QStringLiteral("firstName"), QStringLiteral("Ada")},
            {QStringLiteral("created"), QStringLiteral("2026-01-01T00:00:00Z")},
            {QStringLiteral("modified"), modified.toString(Qt::ISODate)}};
}

// One simulated Outlook of a version, its home as ours, an Outlook profile of that version and no
// id maps, error log or cloud times.
class AutosyncTest : public ::testing::TestWithParam<int>
{
protected:
    AutosyncTest() : m_peer(options()) {}

    static OutlookPeerProcess::Options options()
    {
        OutlookPeerProcess::Options options;
        options.arguments = {QStringLiteral("--outlook-version"), QString::number(GetParam())};
        options.timeZone = kZone;
        return options;
    }
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.isReady());
        m_oldZone = qgetenv("TZ");
        qputenv("TZ", kZone.toUtf8());
        testsupport::pointHomeAt(m_peer.home());
        const QJsonObject addressBook{{QStringLiteral("id"), 1}, {QStringLiteral("kind"), QStringLiteral("address book")},
                                      {QStringLiteral("name"), QStringLiteral("Address Book")}};
        m_peer.seed({{QStringLiteral("folders"), QJsonArray{addressBook}},
                     {QStringLiteral("contacts"), QJsonArray{contact(10, kFilesModified), contact(11, kFilesModified.addSecs(-60))}}});
        // The maps' names follow the Outlook version, which the decision sets from the profile.
        GlobalVariables::setOutlookVersionNumberInConfiguration(QString::number(GetParam()));
        m_profile->setContactManager(GetParam() == 14 ? HMContactManager::Outlook14 : HMContactManager::Outlook15);
        m_profile->setSyncMethod(HMSyncMethod::WiFi);
        for (const Conduit conduit : {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks})
            QFile::remove(HMOutlookDatFileHelper().filePath(conduit));
        HMOutlookDatFileHelper::deleteErrorLog();
        GlobalVariables::setQuillnestLastModifiedDictionary({});
        GlobalVariables::setOutlookApplicationReference(QString());
    }
    void TearDown() override
    {
        HMOutlookDatFileHelper::deleteErrorLog();
        qputenv("TZ", m_oldZone);
    }
    bool shouldAutosync(const QString &conduits) const
    {
        HMOutlookSQLiteHelper helper;
        helper.setProfile(m_profile);
        return helper.shouldAutosync(conduits);
    }
    static void recordLastSync(Conduit conduit, const QDateTime &date)
    {
        HMOutlookDatFileHelper::Commit commit;
        commit.lastModified = date;
        ASSERT_TRUE(HMOutlookDatFileHelper().commitChanges(conduit, commit));
    }
    void editContactAt(const QDateTime &when) const
    {
        m_peer.control({{QStringLiteral("op"), QStringLiteral("clock")}, {QStringLiteral("now"), when.toString(Qt::ISODateWithMs)}});
        m_peer.control({{QStringLiteral("op"), QStringLiteral("edit")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                        {QStringLiteral("id"), 10}, {QStringLiteral("fields"), QJsonObject{{QStringLiteral("firstName"), QStringLiteral("Bea")}}}});
    }

    OutlookPeerProcess m_peer;
    std::shared_ptr<HMProfile> m_profile = std::make_shared<HMProfile>();
    QByteArray m_oldZone;
};

TEST_P(AutosyncTest, OutlooksRecordFilesGiveTheLatestChange)
{
    HMOutlookSQLiteHelper helper;
    const QDateTime latest = GetParam() == 14 ? helper.getLastModifiedTimeOutlook2011(QStringLiteral("AD"))
                                              : helper.getLastModifiedTimeOutlook15NoSqlite(QStringLiteral("AD"));
    // Outlook 2016's time is moved to the local clock (+1 h); Outlook 2011's is not.
    EXPECT_EQ(latest, GetParam() == 14 ? kFilesModified : kFilesModified.addSecs(3600));
    // Memos take no part: "M" alone finds nothing anywhere.
    EXPECT_LT(helper.getLastModifiedTimeOutlook2011(QStringLiteral("M")).date().year(), 2);
    EXPECT_LT(helper.getLastModifiedTimeOutlook15NoSqlite(QStringLiteral("M")).date().year(), 2);
    EXPECT_TRUE(shouldAutosync(QStringLiteral("M"))) << "no id map recorded a date";
    EXPECT_FALSE(shouldAutosync(QString()));
    EXPECT_EQ(GlobalVariables::getOutlookVersionNumberInConfiguration(), GetParam() == 14 ? QStringLiteral("14") : QStringLiteral("15"));
}

TEST_P(AutosyncTest, ARecordFileNewerThanTheEarliestMapDateStartsASync)
{
    EXPECT_TRUE(shouldAutosync(QStringLiteral("A"))) << "no map date: always";
    recordLastSync(Conduit::Contacts, kFilesModified.addSecs(600));
    recordLastSync(Conduit::Tasks, kFilesModified.addSecs(7200));
    EXPECT_FALSE(shouldAutosync(QStringLiteral("AT"))) << "every file is older than the earliest map date";
    editContactAt(kFilesModified.addSecs(1200));
    EXPECT_TRUE(shouldAutosync(QStringLiteral("AT"))) << "the edited contact is newer than the contacts' map date";
    EXPECT_FALSE(shouldAutosync(QStringLiteral("T"))) << "the tasks' map date is later still, and tasks alone are asked";
    // A sync dates its map in whole seconds, the second before its read began, and its own writes
    // fall in that second: only a change from the next second on counts.
    recordLastSync(Conduit::Contacts, kFilesModified.addSecs(1800));
    editContactAt(kFilesModified.addSecs(1800).addMSecs(900));
    EXPECT_FALSE(shouldAutosync(QStringLiteral("A"))) << "a file written within the map's second";
    editContactAt(kFilesModified.addSecs(1801));
    EXPECT_TRUE(shouldAutosync(QStringLiteral("A"))) << "a file written in the second after the map's";
}

TEST_P(AutosyncTest, AnErrorLogRetriesAfter1860Seconds)
{
    recordLastSync(Conduit::Contacts, kFilesModified.addSecs(600));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("A"), QStringLiteral("10")));
    m_profile->setLastQuillnestAutosyncCheck(QDateTime::currentDateTimeUtc().addSecs(-1861));
    EXPECT_TRUE(shouldAutosync(QStringLiteral("A")));
    m_profile->setLastQuillnestAutosyncCheck(QDateTime::currentDateTimeUtc().addSecs(-1800));
    EXPECT_FALSE(shouldAutosync(QStringLiteral("A")));
}

TEST_P(AutosyncTest, GoogleDirectTakesALastSyncOverAnHourBackAsNone)
{
    m_profile->setSyncMethod(HMSyncMethod::GoogleDirect);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    recordLastSync(Conduit::Contacts, now.addSecs(-600));
    EXPECT_FALSE(shouldAutosync(QStringLiteral("A"))) << "the files are older than a recent sync";
    recordLastSync(Conduit::Contacts, now.addSecs(-3700));
    EXPECT_TRUE(shouldAutosync(QStringLiteral("A")));
    // No error retry for Google direct.
    recordLastSync(Conduit::Contacts, now.addSecs(-600));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("A"), QStringLiteral("10")));
    m_profile->setLastQuillnestAutosyncCheck(now.addSecs(-4000));
    EXPECT_FALSE(shouldAutosync(QStringLiteral("A")));
}

TEST_P(AutosyncTest, CloudTimesCountOnceAndOnlyForOutlook2011)
{
    recordLastSync(Conduit::Contacts, kFilesModified.addSecs(600));
    // The cloud's time moves by the 9 h from Pacific to Berlin clocks, the map's date by Berlin's
    // 1 h: a cloud change 7 h 59 min before the map date is later than the last sync.
    const QDateTime cloudChange = kFilesModified.addSecs(600 - 7 * 3600 - 59 * 60);
    GlobalVariables::setQuillnestLastModifiedDictionary({{QStringLiteral("TasksLastModified"), cloudChange}});
    EXPECT_EQ(shouldAutosync(QStringLiteral("A")), GetParam() == 14) << "all three cloud times count, whatever the letters";
    EXPECT_TRUE(GlobalVariables::getQuillnestLastModifiedDictionary().isEmpty()) << "used by one decision only";
    EXPECT_FALSE(shouldAutosync(QStringLiteral("A")));
    GlobalVariables::setQuillnestLastModifiedDictionary({{QStringLiteral("ContactsLastModified"), kFilesModified.addSecs(600 - 8 * 3600 - 60)}});
    EXPECT_FALSE(shouldAutosync(QStringLiteral("A"))) << "a minute short of the last sync";
}

TEST_P(AutosyncTest, OutlookReportsTheLatestDateThroughScripts)
{
    HMOutlookSQLiteHelper helper;
    helper.setProfile(m_profile);
    EXPECT_EQ(helper.getLastModifiedDateForOutlookContacts(QString()), kFilesModified);
    EXPECT_EQ(helper.getLastModifiedDateForOutlookContacts(QStringLiteral("1")), kFilesModified);
    EXPECT_LT(helper.getLastModifiedDateForOutlookTasks(QString()).date().year(), 2);
    m_profile->setOutlookContactFolderSelection(QStringLiteral("allFolders"));
    EXPECT_EQ(helper.getLastModifiedDateOutlookAppStore(QStringLiteral("AT")), kFilesModified.addSecs(3600));
    EXPECT_NE(helper.scripter(), nullptr);
}

TEST(OutlookRecordFiles, TheLatestChangeCountsRecordFilesAtAnyDepthAndNothingElse)
{
    QTemporaryDir folder;
    const auto make = [&](const QString &relative, const QDateTime &modified) {
        const QString path = folder.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.setFileTime(modified, QFileDevice::FileModificationTime));
    };
    const QDateTime base = QDateTime::fromString(QStringLiteral("2026-05-01T08:00:00.250Z"), Qt::ISODate);
    make(QStringLiteral("1T/2B/a.olk15Contact"), base);
    make(QStringLiteral("3T/b.olk15Contact"), base.addSecs(-3600));
    make(QStringLiteral("3T/c.olk15MsgSource"), base.addSecs(3600)); // not a record file
    make(QStringLiteral("elsewhere/d.olk15Contact"), base.addSecs(7200));
    // A link is not followed, whatever it points at.
    ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("elsewhere/d.olk15Contact")), folder.filePath(QStringLiteral("3T/e.olk15Contact"))));
    ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("elsewhere")), folder.filePath(QStringLiteral("1T/linked"))));
    EXPECT_EQ(HMOutlookSQLiteHelper::latestFileModification(folder.filePath(QStringLiteral("1T")), QStringLiteral("olk15Contact")), base);
    EXPECT_EQ(HMOutlookSQLiteHelper::latestFileModification(folder.filePath(QStringLiteral("3T")), QStringLiteral("olk15Contact")),
              base.addSecs(-3600));
    EXPECT_EQ(HMOutlookSQLiteHelper::latestFileModification(folder.path(), QStringLiteral("olk15Contact")), base.addSecs(7200));
    EXPECT_EQ(HMOutlookSQLiteHelper::latestFileModification(folder.filePath(QStringLiteral("missing")), QStringLiteral("olk15Contact")),
              HMOutlookSQLiteHelper::distantPast());
}

INSTANTIATE_TEST_SUITE_P(Outlook2011And2016, AutosyncTest, ::testing::Values(14, 15),
                         [](const ::testing::TestParamInfo<int> &info) { return info.param == 14 ? "Outlook2011" : "Outlook2016"; });

} // namespace
