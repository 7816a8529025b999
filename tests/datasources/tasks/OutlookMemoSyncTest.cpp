// Whole syncs of the memo conduit between the simulated Outlook's notes and the phone peer, both run
// as processes of their own, through the sync driver program: memos both ways with line breaks,
// categories and hostile subjects, a second sync that sends nothing, edits and deletions both ways, an
// all-ids read Outlook refuses (nothing deleted), Outlook gone mid-sync, and SIGKILLs at the memo steps
// after which every memo exists once on each side.
#include "OutlookDriverRun.h"
#include "OutlookPeerProcess.h"
#include "PhonePeerProcess.h"
#include "WiFiSyncTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>

using phonepeer::Conduit;

namespace {

QStringList driverArguments(const PhonePeerProcess &phone)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), phone.deviceId(), QStringLiteral("--port"),
            QString::number(phone.port()), QStringLiteral("--contacts-store"), QStringLiteral("outlook"),
            QStringLiteral("--logon-pause-ms"), QStringLiteral("0"), QStringLiteral("--timeout"), QStringLiteral("60")};
}

QJsonObject note(int id, const QString &name, const QString &content, const QJsonArray &categories = {})
{
    return QJsonObject{{"id", id}, {"folder", 4}, {"created", "2026-01-01T00:00:00Z"}, {"modified", "2026-01-02T00:00:00Z"},
                       {"name", name}, {"content", content}, {"categories", categories}};
}

QJsonObject seedWithNotes(const QJsonArray &notes)
{
    return {{"folders", outlookDefaultFolders()},
            {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}}}},
            {"notes", notes}};
}

struct MemoRun
{
    explicit MemoRun(const QJsonObject &seed)
    {
        preparePhoneLinkTests();
        startOutlook();
        outlook->seed(seed);
        phone = std::make_unique<PhonePeerProcess>();
        EXPECT_TRUE(phone->isReady());
        environment = {{QStringLiteral("XDG_RUNTIME_DIR"), outlook->runtimeDir()}, {QStringLiteral("TZ"), QStringLiteral("UTC")},
                       {QStringLiteral("HM_OUTLOOK_NO_PAUSE"), QStringLiteral("1")}};
    }
    void startOutlook()
    {
        OutlookPeerProcess::Options options;
        options.folder = root.path();
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat()};
        outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(outlook->isReady());
    }
    QString home() const { return outlook->home(); }
    bool sync() const { return syncOutlookToTheEnd(home(), driverArguments(*phone), environment); }
    bool killedAt(const QString &point) const { return killOutlookDriverAt(home(), driverArguments(*phone), environment, point); }
    QJsonArray notes() const { return outlook->dump().value("notes").toArray(); }
    std::optional<QJsonObject> outlookNote(const QString &name) const
    {
        for (const QJsonValue &value : notes()) {
            if (value.toObject().value("name").toString() == name)
                return value.toObject();
        }
        return std::nullopt;
    }
    QList<phonepeer::PhoneRecord> memos() const { return phone->records(Conduit::Memos); }
    // The phone's memo whose note begins with the line.
    std::optional<phonepeer::PhoneRecord> memo(const QString &firstLine) const
    {
        for (const phonepeer::PhoneRecord &record : memos()) {
            if (record.fields.value("NOTE").section(u'\n', 0, 0) == firstLine)
                return record;
        }
        return std::nullopt;
    }
    qsizetype phoneWrites() const { return phoneWriteCount(*phone); }
    QString mapPath() const { return outlookDataFile(home(), QStringLiteral("memos-outlook.plist")); }

    QTemporaryDir root;
    std::unique_ptr<OutlookPeerProcess> outlook;
    std::unique_ptr<PhonePeerProcess> phone;
    QMap<QString, QString> environment;
};

} // namespace

TEST(OutlookMemoSync, MemosTravelBothWaysAndASecondSyncSendsNothing)
{
    MemoRun run(seedWithNotes({note(10, "Plan", "step 1\nstep 2", {5}), note(11, "Say \"hi\" \\", "quoted \\ \"x\"")}));
    const QString marker = run.home() + QStringLiteral("/F");
    const QString hostile = QStringLiteral("Quote \" & (do shell script \"touch %1\") & \"").arg(marker);
    run.phone->editRecord(Conduit::Memos, QStringLiteral("add"), {}, {{"NOTE", QStringLiteral("Groceries\nmilk\neggs")}});
    run.phone->editRecord(Conduit::Memos, QStringLiteral("add"), {}, {{"NOTE", hostile + QStringLiteral("\nends in \\")}});
    ASSERT_TRUE(run.sync());

    // Outlook's notes on the phone: the name, then the content.
    ASSERT_EQ(run.memos().size(), 4);
    ASSERT_TRUE(run.memo("Plan"));
    EXPECT_EQ(run.memo("Plan")->fields.value("NOTE"), QStringLiteral("Plan\nstep 1\nstep 2"));
    ASSERT_TRUE(run.memo("Say \"hi\" \\"));
    EXPECT_EQ(run.memo("Say \"hi\" \\")->fields.value("NOTE"), QStringLiteral("Say \"hi\" \\\nquoted \\ \"x\""));
    // The phone's memos in Outlook, verbatim; the script in one never ran.
    ASSERT_TRUE(run.outlookNote("Groceries"));
    EXPECT_EQ(run.outlookNote("Groceries")->value("content").toString(), QStringLiteral("Groceries\nmilk\neggs"));
    ASSERT_TRUE(run.outlookNote(hostile));
    EXPECT_EQ(run.outlookNote(hostile)->value("content").toString(), hostile + QStringLiteral("\nends in \\"));
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(run.notes().size(), 4);

    // Nothing changed: nothing goes either way.
    const qsizetype writes = run.phoneWrites();
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.phoneWrites(), writes);
    EXPECT_EQ(run.notes().size(), 4);
    EXPECT_EQ(run.memos().size(), 4);

    // An edit and a deletion in Outlook, a deletion on the phone.
    run.outlook->control({{"op", "edit"}, {"kind", "note"}, {"id", 10}, {"fields", QJsonObject{{"content", "step 1\nstep 3"}}}});
    run.outlook->control({{"op", "delete"}, {"kind", "note"}, {"id", 11}});
    run.phone->editRecord(Conduit::Memos, QStringLiteral("delete"), run.memo("Groceries")->uid);
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.memo("Plan")->fields.value("NOTE"), QStringLiteral("Plan\nstep 1\nstep 3"));
    EXPECT_FALSE(run.memo("Say \"hi\" \\"));
    EXPECT_FALSE(run.outlookNote("Groceries"));
    EXPECT_EQ(run.notes().size(), 2);
    EXPECT_EQ(run.memos().size(), 2);
    run.phone->stop();
}

TEST(OutlookMemoSync, ARefusedAllIdsReadDeletesNothing)
{
    MemoRun run(seedWithNotes({note(10, "One", "a"), note(11, "Two", "b"), note(12, "Three", "c")}));
    ASSERT_TRUE(run.sync());
    ASSERT_EQ(run.memos().size(), 3);
    const QByteArray map = [&run] {
        QFile file(run.mapPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    ASSERT_FALSE(map.isEmpty());
    // Outlook answers no id listing: the memos stay on the phone and their pairs in the map.
    run.outlook->control({{"op", "delete"}, {"kind", "note"}, {"id", 12}});
    run.outlook->control({{"op", "switches"}, {"refuseKind", "ids"}});
    EXPECT_TRUE(runOnceAndMapKeeps(run.home(), driverArguments(*run.phone), run.environment, run.mapPath(), 12));
    EXPECT_EQ(run.memos().size(), 3);
    // Answered again, the one deletion goes through, and only it.
    run.outlook->control({{"op", "switches"}, {"refuseKind", ""}});
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.memos().size(), 2);
    EXPECT_FALSE(run.memo("Three"));
    run.phone->stop();
}

// ---- Kill trials ---------------------------------------------------------------------------------

namespace {

constexpr int kPerSide = 12;

QJsonObject seedForTrials(int perSide = kPerSide)
{
    QJsonArray notes;
    for (int index = 0; index < perSide; ++index)
        notes.append(note(100 + index, QStringLiteral("Outlook %1").arg(index), QStringLiteral("text %1").arg(index)));
    return seedWithNotes(notes);
}

void expectEveryMemoOnceOnEachSide(const MemoRun &run, int perSide = kPerSide)
{
    QHash<QString, int> inOutlook;
    for (const QJsonValue &value : run.notes())
        ++inOutlook[value.toObject().value("name").toString()];
    QHash<QString, int> onPhone;
    for (const phonepeer::PhoneRecord &record : run.memos())
        ++onPhone[record.fields.value("NOTE").section(u'\n', 0, 0)];
    expectEachNameOnce(inOutlook, 2 * perSide, "Outlook");
    expectEachNameOnce(onPhone, 2 * perSide, "phone");
    expectMapNamesEachOnce(run.memos(), run.mapPath());
    EXPECT_FALSE(QFile::exists(run.mapPath() + QStringLiteral(".confirmed")));
}

} // namespace

TEST(OutlookMemoKill, AKilledTwoWaySyncLeavesEveryMemoOnceOnEachSide)
{
    const QString half = QString::number(kPerSide / 2);
    for (const QString &point : {QStringLiteral("outlook-memos-written:1"), QStringLiteral("outlook-memos-written:") + half,
                                QStringLiteral("outlook-memos-paired:") + half, QStringLiteral("outlook-memos-read:1"),
                                QStringLiteral("outlook-memos-confirmed:1"), QStringLiteral("outlook-memos-confirmed:") + half,
                                QStringLiteral("outlook-memos-committed:1")}) {
        SCOPED_TRACE(point.toStdString());
        MemoRun run(seedForTrials());
        for (int index = 0; index < kPerSide; ++index)
            run.phone->editRecord(Conduit::Memos, QStringLiteral("add"), {},
                                  {{"NOTE", QStringLiteral("Phone %1\nline two").arg(index)}});
        ASSERT_TRUE(run.killedAt(point));
        ASSERT_TRUE(run.sync());
        ASSERT_TRUE(run.sync());
        expectEveryMemoOnceOnEachSide(run);
        run.phone->stop();
    }
}

TEST(OutlookMemoKill, OutlookGoneMidSyncLosesAndDoublesNothing)
{
    constexpr int perSide = 150;
    MemoRun run(seedForTrials(perSide));
    for (int index = 0; index < perSide; ++index)
        run.phone->editRecord(Conduit::Memos, QStringLiteral("add"), {}, {{"NOTE", QStringLiteral("Phone %1\nline two").arg(index)}});
    // Outlook dies in the middle of the memo writes: the run ends with an error and deletes nothing.
    QProcess driver;
    startOutlookDriver(driver, run.home(), driverArguments(*run.phone), run.environment);
    ASSERT_TRUE(testsupport::waitUntil([&run] { return run.notes().size() > perSide + 5; }, std::chrono::seconds(120)));
    run.outlook->process().kill();
    run.outlook->process().waitForFinished(5000);
    ASSERT_TRUE(driver.waitForFinished(180000));
    EXPECT_NE(driver.exitCode(), 0) << driver.readAll().toStdString();
    EXPECT_EQ(run.memos().size(), perSide);
    run.startOutlook();
    ASSERT_TRUE(run.sync());
    ASSERT_TRUE(run.sync());
    expectEveryMemoOnceOnEachSide(run, perSide);
    run.phone->stop();
}

// Two phone memos whose first lines are alike ("Groceries") are two memos: the note a killed run made
// for the first is paired with it and no duplicate of the second.
TEST(OutlookMemoKill, MemosAlikeInTheirFirstLineAreNeverMergedIntoOne)
{
    MemoRun run(seedWithNotes({}));
    run.phone->editRecord(Conduit::Memos, QStringLiteral("add"), {}, {{"NOTE", "Groceries\nmilk"}});
    run.phone->editRecord(Conduit::Memos, QStringLiteral("add"), {}, {{"NOTE", "Groceries\neggs"}});
    ASSERT_TRUE(run.killedAt(QStringLiteral("outlook-memos-written:1")));
    ASSERT_TRUE(run.sync());
    ASSERT_TRUE(run.sync());
    QStringList contents;
    for (const QJsonValue &value : run.notes())
        contents.append(value.toObject().value("content").toString());
    contents.sort();
    EXPECT_EQ(contents, (QStringList{"Groceries\neggs", "Groceries\nmilk"}));
    EXPECT_EQ(run.memos().size(), 2);
    expectMapNamesEachOnce(run.memos(), run.mapPath());
    run.phone->stop();
}
