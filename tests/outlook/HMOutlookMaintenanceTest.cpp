// Counts of Outlook record files created before a date, and the default folders of a profile,
// against the simulated Outlook as its own process.
#include "outlook/HMOutlookSQLiteHelper.h"

#include "OutlookPeerProcess.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

namespace {

using Kind = HMOutlookSQLiteHelper::Kind;

QJsonObject folder(int id, const char *kind, const char *name)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("name"), QLatin1String(name)}};
}

void add(const OutlookPeerProcess &peer, const char *kind)
{
    peer.control({{QStringLiteral("op"), QStringLiteral("add")}, {QStringLiteral("kind"), QLatin1String(kind)},
                  {QStringLiteral("record"), QJsonObject{{QStringLiteral("folder"), 1}}}});
}

// Adds two records, takes the moment, adds a third; answers the moment.
QDateTime addAroundAMoment(const OutlookPeerProcess &peer, const char *kind)
{
    add(peer, kind);
    add(peer, kind);
    QThread::msleep(30);
    const QDateTime between = QDateTime::currentDateTimeUtc();
    QThread::msleep(30);
    add(peer, kind);
    return between;
}

QJsonObject emptyState()
{
    return {{QStringLiteral("folders"), QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar")}},
            {QStringLiteral("contacts"), QJsonArray()}, {QStringLiteral("events"), QJsonArray()}};
}

TEST(OutlookCounts, Outlook2016RecordFilesCreatedBeforeADate)
{
    // A home whose path holds a "+" and a blank: the database is found all the same.
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    OutlookPeerProcess::Options options;
    options.folder = root.path() + QStringLiteral("/o+k dir");
    ASSERT_TRUE(QDir().mkpath(options.folder));
    OutlookPeerProcess peer(options);
    ASSERT_TRUE(peer.isReady());
    testsupport::pointHomeAt(peer.home());
    peer.seed(emptyState());
    const QDateTime contacts = addAroundAMoment(peer, "contact");
    const QDateTime events = addAroundAMoment(peer, "event");
    HMOutlookSQLiteHelper helper;
    EXPECT_EQ(helper.getCountOfOutlook15ContactsCreatedPriorTo(contacts), 2);
    EXPECT_TRUE(helper.sqliteFilePath().startsWith(QStringLiteral("file://")));
    EXPECT_TRUE(helper.sqliteLocalPath().startsWith(options.folder + u'/')) << helper.sqliteLocalPath().toStdString();
    EXPECT_EQ(helper.getCountOfOutlook15ContactsCreatedPriorTo(QDateTime::currentDateTimeUtc().addSecs(1)), 3);
    EXPECT_EQ(helper.getCountOfOutlook15ContactsCreatedPriorTo(contacts.addSecs(-60)), 0);
    EXPECT_EQ(helper.getCountOfOutlook15CalendarEventsCreatedPriorTo(events), 2);
    EXPECT_EQ(helper.getCountOfOutlook15ContactsModifiedAfter(contacts.addSecs(-5)), 3);
    EXPECT_EQ(helper.getCountOfOutlook15ContactsModifiedAfter(contacts.addSecs(5)), 0);
    EXPECT_EQ(helper.getCountOfOutlook15ContactsModifiedAfter(QDateTime()), 3);
    // Record files in folders below count; links, other endings and folders with the ending do not.
    const QString records = helper.sqliteLocalPath().chopped(QStringLiteral("Outlook.sqlite").size()) + QStringLiteral("Contacts");
    ASSERT_TRUE(QDir().mkpath(records + QStringLiteral("/deeper/still")));
    ASSERT_TRUE(QDir().mkpath(records + QStringLiteral("/folder.olk15Contact")));
    for (const char *name : {"/deeper/still/x.olk15Contact", "/deeper/notes.txt", "/y.olk15Contact.bak"}) {
        QFile file(records + QLatin1String(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(records + QStringLiteral("/deeper/still/x.olk15Contact"), records + QStringLiteral("/link.olk15Contact")));
    EXPECT_EQ(helper.getCountOfOutlook15ContactsCreatedPriorTo(QDateTime::currentDateTimeUtc().addSecs(1)), 4);
    EXPECT_EQ(helper.getCountOfOutlook15ContactsCreatedPriorTo(contacts), 2);
    HMOutlookSQLiteHelper nowhere;
    testsupport::pointHomeAt(peer.home() + QStringLiteral("/elsewhere"));
    EXPECT_EQ(nowhere.getCountOfOutlook15ContactsCreatedPriorTo(contacts), 0);
    EXPECT_FALSE(nowhere.vacuumDatabase());
}

// A sync skips its listings on a count of 0, so every way the count can fail answers "unknown".
TEST(OutlookCounts, RowsModifiedAfterADateAreUnknownWhenTheDatabaseCannotBeRead)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    testsupport::pointHomeAt(peer.home());
    QJsonObject state = emptyState();
    QJsonArray folders = state.value(QStringLiteral("folders")).toArray();
    folders.append(folder(5, "address book", "Work"));
    state.insert(QStringLiteral("folders"), folders);
    peer.seed(state);
    // Whole seconds in the database: a moment well before every change.
    const QDateTime moment = addAroundAMoment(peer, "contact").addSecs(-5);
    peer.control({{QStringLiteral("op"), QStringLiteral("add")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                  {QStringLiteral("record"), QJsonObject{{QStringLiteral("folder"), 5}}}});
    HMOutlookSQLiteHelper helper;
    auto profile = std::make_shared<HMProfile>();
    helper.setProfile(profile);
    // Not located yet: unknown, not 0.
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), std::nullopt);
    ASSERT_TRUE(helper.setSqliteFile());
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), 4);
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, QDateTime::currentDateTimeUtc().addSecs(5)), 0);
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Events, moment), 0);
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Memos, moment), std::nullopt);
    // The chosen address book only; a folder choice that is no id cannot be asked.
    profile->setOutlookContactFolderSelection(QStringLiteral("5"));
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), 1);
    profile->setOutlookContactFolderSelection(QStringLiteral("1 OR 1=1"));
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), std::nullopt);
    profile->setOutlookContactFolderSelection(QStringLiteral("allFolders"));
    // Another program holding the database locked.
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("lockDatabase"), true}});
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), std::nullopt);
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("lockDatabase"), false}});
    EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), 4);
    // A database without the table (just made), a file that is no database, a path that is gone.
    QTemporaryDir other;
    const QString empty = other.filePath(QStringLiteral("Empty Outlook.sqlite"));
    const QString garbage = other.filePath(QStringLiteral("Garbage Outlook.sqlite"));
    ASSERT_TRUE(QFile(empty).open(QIODevice::WriteOnly));
    QFile noDatabase(garbage);
    ASSERT_TRUE(noDatabase.open(QIODevice::WriteOnly));
    noDatabase.write(QByteArray(8192, 'x'));
    noDatabase.close();
    for (const QString &path : {empty, garbage, other.filePath(QStringLiteral("Gone Outlook.sqlite"))}) {
        helper.setSqliteFilePath(QUrl::fromLocalFile(path).toString());
        EXPECT_EQ(helper.countRowsModifiedAfter(Kind::Contacts, moment), std::nullopt) << path.toStdString();
    }
    EXPECT_FALSE(QFile::exists(other.filePath(QStringLiteral("Gone Outlook.sqlite"))));
}

TEST(OutlookCounts, Outlook2011RecordFilesCreatedBeforeADate)
{
    OutlookPeerProcess::Options options;
    options.arguments = {QStringLiteral("--outlook-version"), QStringLiteral("14")};
    OutlookPeerProcess peer(options);
    ASSERT_TRUE(peer.isReady());
    testsupport::pointHomeAt(peer.home());
    peer.seed(emptyState());
    const QDateTime contacts = addAroundAMoment(peer, "contact");
    HMOutlookSQLiteHelper helper;
    EXPECT_EQ(helper.getCountOfOutlookContactsCreatedPriorTo(contacts), 2);
    EXPECT_EQ(helper.getCountOfOutlookCalendarEventsCreatedPriorTo(contacts), 0);
}

class DefaultFolders : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.isReady());
        testsupport::pointHomeAt(m_peer.home());
        m_peer.seed({{QStringLiteral("folders"), QJsonArray{folder(12, "address book", "Address Book"), folder(7, "address book", "Address Book"),
                                                              folder(3, "address book", "Friends"), folder(5, "calendar", "Work"),
                                                              folder(4, "calendar", "Home")}}});
        HMOutlookSQLiteHelper::setProfileSaver([this](const HMProfile &profile) {
            m_saved.append(profile.outlookContactFolderSelection() + u'/' + profile.outlookCalendarFolderSelection());
            return true;
        });
        m_profile = std::make_shared<HMProfile>();
        m_profile->setHmProfileVersion(QStringLiteral("854"));
        m_helper.setProfile(m_profile);
    }
    void TearDown() override { HMOutlookSQLiteHelper::setProfileSaver({}); }

    OutlookPeerProcess m_peer;
    std::shared_ptr<HMProfile> m_profile;
    HMOutlookSQLiteHelper m_helper;
    QStringList m_saved;
};

TEST_F(DefaultFolders, SmallestDefaultNamedFolderIsChosenAndSaved)
{
    m_helper.setDefaultOutlookContactFolder();
    EXPECT_EQ(m_profile->outlookContactFolderSelection(), QStringLiteral("7"));
    m_helper.setDefaultOutlookCalendarFolder();
    EXPECT_EQ(m_profile->outlookCalendarFolderSelection(), QStringLiteral("4"));
    m_helper.setDefaultOutlookTasksFolder();
    EXPECT_EQ(m_profile->outlookTaskFolderSelection(), QStringLiteral("allFolders"));
    EXPECT_EQ(m_saved, (QStringList{"7/", "7/4", "7/4"}));
}

TEST_F(DefaultFolders, OldProfilesAndRefusedScriptsChangeNothing)
{
    m_profile->setHmProfileVersion(QStringLiteral("853"));
    m_helper.setDefaultOutlookContactFolder();
    EXPECT_TRUE(m_profile->outlookContactFolderSelection().isNull());
    m_profile->setHmProfileVersion(QStringLiteral("900"));
    m_peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("refuseKind"), QStringLiteral("folders")}});
    m_helper.setDefaultOutlookContactFolder();
    EXPECT_TRUE(m_profile->outlookContactFolderSelection().isNull());
    EXPECT_TRUE(m_saved.isEmpty());
}

} // namespace
