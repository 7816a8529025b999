// Syncs of Outlook's contacts killed (SIGKILL) at the steps of the Outlook path: the driver right after
// the read, after the phone's answer is kept, after the map is written; the simulated Outlook in the
// middle of the property reads. Two later syncs leave every contact exactly once on the phone and in
// the contact map, and nothing deleted. The phone peer and the simulated Outlook run as programs of
// their own.
#include "OutlookDriverRun.h"
#include "OutlookPeerProcess.h"
#include "PhonePeerProcess.h"
#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>

using phonepeer::Conduit;

namespace {

constexpr int kContactCount = 20;

QStringList driverArguments(const PhonePeerProcess &phone)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), phone.deviceId(), QStringLiteral("--port"),
            QString::number(phone.port()), QStringLiteral("--contacts-store"), QStringLiteral("outlook"),
            QStringLiteral("--calendar-store"), QStringLiteral("memory"), QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"), QStringLiteral("--timeout"), QStringLiteral("60")};
}

QJsonObject seedWithContacts()
{
    QJsonArray contacts;
    for (int index = 0; index < kContactCount; ++index)
        contacts.append(QJsonObject{{"id", 100 + index}, {"folder", 1}, {"created", "2026-01-01T00:00:00Z"},
                                    {"modified", "2026-01-02T00:00:00Z"}, {"firstName", QStringLiteral("Given%1").arg(index)},
                                    {"lastName", QStringLiteral("Family%1").arg(index)}});
    return {{"folders", outlookDefaultFolders()},
            {"contacts", contacts}};
}

bool syncToTheEnd(const QString &home, const QStringList &arguments, const QMap<QString, QString> &environment)
{
    return syncOutlookToTheEnd(home, arguments, environment);
}

// Every Outlook contact once on the phone, and the map naming each phone contact once.
void expectEveryContactOnce(const PhonePeerProcess &phone, const QString &mapPath)
{
    QHash<QString, int> names;
    for (const phonepeer::PhoneRecord &record : phone.records(Conduit::Contacts))
        ++names[record.fields.value(QStringLiteral("NEWLNAME"))];
    expectEachNameOnce(names, kContactCount, "phone");
    expectMapNamesEachOnce(phone.records(Conduit::Contacts), mapPath);
    EXPECT_FALSE(QFile::exists(mapPath + QStringLiteral(".confirmed")));
}

struct KillRun
{
    KillRun()
    {
        preparePhoneLinkTests();
        OutlookPeerProcess::Options options;
        options.folder = root.path();
        outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(outlook->isReady());
        outlook->seed(seedWithContacts());
        phone = std::make_unique<PhonePeerProcess>();
        EXPECT_TRUE(phone->isReady());
        environment = {{QStringLiteral("XDG_RUNTIME_DIR"), outlook->runtimeDir()}, {QStringLiteral("TZ"), QStringLiteral("UTC")}};
    }
    QString home() const { return outlook->home(); }
    // The contact map in the driver's data folder.
    QString mapPath() const
    {
        QDirIterator found(home() + QStringLiteral("/data"), {QStringLiteral("contacts-outlook.plist")}, QDir::Files,
                           QDirIterator::Subdirectories);
        return found.hasNext() ? found.next() : QString();
    }

    QTemporaryDir root;
    std::unique_ptr<OutlookPeerProcess> outlook;
    std::unique_ptr<PhonePeerProcess> phone;
    QMap<QString, QString> environment;
};

} // namespace

TEST(OutlookContactKill, AKilledDriverLeavesEveryContactOnceAfterTwoSyncs)
{
    for (const char *point : {"outlook-read:1", "outlook-confirmed:20", "outlook-committed:1"}) {
        SCOPED_TRACE(point);
        KillRun run;
        QMap<QString, QString> killing = run.environment;
        killing.insert(QStringLiteral("HM_SYNC_KILL_AT"), QLatin1String(point));
        QProcess killed;
        killed.setProcessEnvironment(driverEnvironment(run.home(), killing));
        killed.start(QStringLiteral(HM_SYNC_ONCE_PATH), driverArguments(*run.phone));
        ASSERT_TRUE(killed.waitForFinished(90000));
        EXPECT_EQ(killed.exitStatus(), QProcess::CrashExit) << killed.readAll().toStdString();
        ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
        ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
        expectEveryContactOnce(*run.phone, run.mapPath());
        EXPECT_EQ(run.outlook->dump().value("contacts").toArray().size(), kContactCount);
        run.phone->stop();
    }
}

TEST(OutlookContactKill, OutlookKilledDuringThePropertyReadsLosesAndDeletesNothing)
{
    KillRun run;
    // Outlook dies in the middle of its 8th answer from now, well inside the property reads: a kill
    // timed by watching the script count from here came too late on a loaded machine.
    run.outlook->control({{"op", "switches"}, {"killMidReplyNth", 8}});
    QProcess driver;
    driver.setProcessEnvironment(driverEnvironment(run.home(), run.environment));
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH), driverArguments(*run.phone));
    ASSERT_TRUE(run.outlook->process().waitForFinished(60000));
    ASSERT_TRUE(driver.waitForFinished(90000));
    EXPECT_EQ(driver.exitCode(), 1) << driver.readAll().toStdString();
    EXPECT_TRUE(run.phone->records(Conduit::Contacts).isEmpty());
    // Outlook comes back with its contacts as they were.
    OutlookPeerProcess::Options options;
    options.folder = run.root.path();
    run.outlook = std::make_unique<OutlookPeerProcess>(options);
    ASSERT_TRUE(run.outlook->isReady());
    ASSERT_EQ(run.outlook->dump().value("contacts").toArray().size(), kContactCount);
    ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
    ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
    expectEveryContactOnce(*run.phone, run.mapPath());
    run.phone->stop();
}

namespace {

// A user's edit, deletion and add in Outlook: the first contact renamed, the second deleted, one new.
void changeOutlook(const OutlookPeerProcess &outlook)
{
    outlook.control({{"op", "edit"}, {"kind", "contact"}, {"id", 100}, {"fields", QJsonObject{{"lastName", "Changed"}}}});
    outlook.control({{"op", "delete"}, {"kind", "contact"}, {"id", 101}});
    outlook.control({{"op", "add"}, {"kind", "contact"},
                     {"record", QJsonObject{{"folder", 1}, {"firstName", "New"}, {"lastName", "Added"}}}});
}

// After changeOutlook: the phone holds the edit and the add, not the deleted contact, each name once.
void expectOutlookChangesOnThePhone(const PhonePeerProcess &phone, const QString &mapPath)
{
    QHash<QString, int> names;
    for (const phonepeer::PhoneRecord &record : phone.records(Conduit::Contacts))
        ++names[record.fields.value(QStringLiteral("NEWLNAME"))];
    expectEachNameOnce(names, kContactCount, "phone");
    EXPECT_TRUE(names.contains(QStringLiteral("Changed")));
    EXPECT_TRUE(names.contains(QStringLiteral("Added")));
    EXPECT_FALSE(names.contains(QStringLiteral("Family0")));
    EXPECT_FALSE(names.contains(QStringLiteral("Family1")));
    expectMapNamesEachOnce(phone.records(Conduit::Contacts), mapPath);
    EXPECT_FALSE(QFile::exists(mapPath + QStringLiteral(".confirmed")));
}

} // namespace

// A sync with nothing changed in Outlook lists no contact. Killed at each step of such a sync, or of
// the sync that follows an Outlook edit, deletion and add, it lets the next syncs find all three.
TEST(OutlookContactKill, AKilledQuietSyncLosesNoLaterOutlookChange)
{
    for (const bool changesFirst : {false, true}) {
        for (const char *point : {"outlook-read:1", "outlook-committed:1"}) {
            SCOPED_TRACE(std::string(point) + (changesFirst ? " after the changes" : " before the changes"));
            KillRun run;
            ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
            if (changesFirst)
                changeOutlook(*run.outlook);
            ASSERT_TRUE(killOutlookDriverAt(run.home(), driverArguments(*run.phone), run.environment, QLatin1String(point)));
            if (!changesFirst)
                changeOutlook(*run.outlook);
            ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
            ASSERT_TRUE(syncToTheEnd(run.home(), driverArguments(*run.phone), run.environment));
            expectOutlookChangesOnThePhone(*run.phone, run.mapPath());
            EXPECT_EQ(run.outlook->dump().value("contacts").toArray().size(), kContactCount);
            run.phone->stop();
        }
    }
}
