// Between two whole looks at a folder (five seconds apart at most) the store learns from the folder's
// watch which files other programs changed: each kind of change is seen at once by the store that
// looked and by a new store, many changes at once and a folder made anew are seen whole, and an
// edit no watch tells is seen by the next whole look. The root's watch tells the calendars made,
// renamed or removed, and follows the root the setting names.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarFolderWatch.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using namespace eventkittest;

namespace {

QByteArray eventNamed(const QByteArray &uid, const QByteArray &title, int day = 3)
{
    return calendarText(eventItem(uid, "DTSTART:202603" + QByteArray::number(10 + day) + "T090000Z\r\nDURATION:PT1H\r\n"
                                       "SUMMARY:" + title + "\r\n"));
}

// Writes into the file itself, keeping its size: only the file's own times tell.
void rewriteInPlace(const QString &path, const QByteArray &from, const QByteArray &to)
{
    ASSERT_EQ(from.size(), to.size());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    ASSERT_GE(bytes.indexOf(from), 0);
    bytes.replace(from, to);
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// Writes the file's new bytes into the file itself: the folder's time stays the same.
void writeInPlace(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// How many watches of this process's notice queues follow the folder, from the kernel's own account
// of them (/proc/self/fdinfo).
int watchesOf(const QString &folder)
{
    struct stat info = {};
    EXPECT_EQ(::stat(QFile::encodeName(folder).constData(), &info), 0);
    const QByteArray inode = " ino:" + QByteArray::number(qulonglong(info.st_ino), 16) + ' ';
    int count = 0;
    const QDir fdinfo(QStringLiteral("/proc/self/fdinfo"));
    for (const QString &descriptor : fdinfo.entryList(QDir::Files)) {
        QFile file(fdinfo.filePath(descriptor));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n'))
            count += line.startsWith("inotify wd:") && line.contains(inode) ? 1 : 0;
    }
    return count;
}

} // namespace

class EKEventStoreFolderWatchTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        writeAsOtherProgram(path("a.ics"), eventNamed("a", "Alpha"));
        writeAsOtherProgram(path("b.ics"), eventNamed("b", "Bravo", 4));
        m_store = eventStore();
        ASSERT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo"}));
    }

    void TearDown() override
    {
        ICalendarFolderWatch::setKernelWatches(true);
        CalendarFolderTest::TearDown();
    }

    QString path(const char *name) const { return m_folder + QLatin1Char('/') + QLatin1String(name); }

    // A store of a process that turns the kernel's watches off (TearDown turns them on again).
    void reopenWithoutKernelWatches()
    {
        m_store.reset();
        ICalendarFolderWatch::setKernelWatches(false);
        m_store = eventStore();
    }

    // A change another program makes to the folder and the whole look it takes: from then on the
    // folder is watched.
    void lookWholeAgain()
    {
        writeAsOtherProgram(path("z.ics"), eventNamed("z", "Zulu"));
        ASSERT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo", "Zulu"}));
        ASSERT_TRUE(QFile::remove(path("z.ics")));
        ASSERT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo"}));
        ASSERT_EQ(watchesOf(m_folder), 1);
    }

    // Another program adds an item to b.ics, writing into the file itself (the folder's time stays),
    // and then the store renames Bravo, which it read before that edit.
    void renameBravoOverAnEditInPlace(bool commit)
    {
        const std::shared_ptr<EKEvent> event = m_store->eventWithIdentifier(QStringLiteral("b"));
        ASSERT_NE(event, nullptr);
        const QByteArray other = eventItem("b-other", "DTSTART:20260320T090000Z\r\nDURATION:PT1H\r\nSUMMARY:Other\r\n");
        writeInPlace(path("b.ics"), calendarText(eventItem("b", "DTSTART:20260314T090000Z\r\nDURATION:PT1H\r\n"
                                                                "SUMMARY:Bravo\r\n") + other));
        event->setTitle(QStringLiteral("Bravo renamed"));
        ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, commit));
    }

    // The rename was laid over the edit, not written over it.
    void expectBravoRenamedOverTheEdit() const
    {
        const QByteArray written = readAll(path("b.ics"));
        EXPECT_TRUE(written.contains("SUMMARY:Bravo renamed\r\n")) << written.constData();
        EXPECT_TRUE(written.contains("UID:b-other\r\n")) << written.constData();
    }

    static QStringList titlesIn(EKEventStore &store)
    {
        return titlesOf(store.eventsMatchingPredicate(
            store.predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {})));
    }

    QString m_folder;
    std::shared_ptr<EKEventStore> m_store;
};

// Each change right after a look (well within the second before the next whole look) is seen by the
// store that looked and by a new store.
TEST_F(EKEventStoreFolderWatchTest, EachKindOfChangeIsSeenAtOnce)
{
    struct Case
    {
        const char *what;
        std::function<void()> change;
        QStringList expected;
    };
    const QList<Case> cases{
        {"added", [&] { writeAsOtherProgram(path("c.ics"), eventNamed("c", "Charlie", 5)); },
         {"Alpha", "Bravo", "Charlie"}},
        {"rewritten in place, same size", [&] { rewriteInPlace(path("a.ics"), "Alpha", "Alphx"); },
         {"Alphx", "Bravo", "Charlie"}},
        {"replaced", [&] { writeAsOtherProgram(path("b.ics"), eventNamed("b", "Bravo again", 4)); },
         {"Alphx", "Bravo again", "Charlie"}},
        {"status changed", [&] { ASSERT_EQ(::chmod(QFile::encodeName(path("b.ics")).constData(), 0644), 0); },
         {"Alphx", "Bravo again", "Charlie"}},
        {"renamed", [&] { ASSERT_EQ(::rename(QFile::encodeName(path("c.ics")), QFile::encodeName(path("d.ics"))), 0); },
         {"Alphx", "Bravo again", "Charlie"}},
        {"cut to nothing in place", [&] { ASSERT_TRUE(QFile::resize(path("d.ics"), 0)); },
         {"Alphx", "Bravo again"}},
        {"removed", [&] { ASSERT_TRUE(QFile::remove(path("a.ics"))); }, {"Bravo again"}},
        {"made a link", [&] {
             ASSERT_TRUE(QFile::remove(path("b.ics")));
             ASSERT_TRUE(QFile::link(path("d.ics"), path("b.ics")));
         }, {}},
    };
    for (const Case &step : cases) {
        step.change();
        EXPECT_EQ(titlesIn(*m_store), step.expected) << step.what << ", the store that looked";
        m_store.reset();
        m_store = eventStore();
        EXPECT_EQ(titlesIn(*m_store), step.expected) << step.what << ", a new store";
    }
}

// Asking which calendars there are looks at no calendar's files: a change made just before is still
// seen by the next question for items, and a calendar another program makes is listed at once.
TEST_F(EKEventStoreFolderWatchTest, AskingForTheCalendarsHidesNoChangeFromTheItems)
{
    const auto askForTheCalendars = [&] {
        EXPECT_EQ(m_store->calendarsForEntityType(EKEntityType::Event).size(), 1);
        EXPECT_NE(m_store->calendarWithIdentifier(QStringLiteral("work")), nullptr);
        EXPECT_NE(m_store->defaultCalendarForNewEvents(), nullptr);
    };
    writeAsOtherProgram(path("c.ics"), eventNamed("c", "Charlie", 5));
    askForTheCalendars();
    EXPECT_NE(m_store->eventWithIdentifier(QStringLiteral("c")), nullptr);
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo", "Charlie"}));
    ASSERT_TRUE(QFile::remove(path("a.ics")));
    askForTheCalendars();
    EXPECT_EQ(m_store->eventWithIdentifier(QStringLiteral("a")), nullptr);
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Bravo", "Charlie"}));

    const QString home = makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    writeAsOtherProgram(home + QStringLiteral("/h.ics"), eventNamed("h", "Hotel"));
    EXPECT_EQ(m_store->calendarsForEntityType(EKEntityType::Event).size(), 2);
    EXPECT_NE(m_store->eventWithIdentifier(QStringLiteral("h")), nullptr);
}

// Saving an event reads the file as another program left it a moment before, keeping what it added.
TEST_F(EKEventStoreFolderWatchTest, SavingAnEventKeepsWhatAnotherProgramJustWrote)
{
    const std::shared_ptr<EKEvent> event = m_store->eventWithIdentifier(QStringLiteral("b"));
    ASSERT_NE(event, nullptr);
    writeAsOtherProgram(path("b.ics"),
                        calendarText(eventItem("b", "DTSTART:20260314T090000Z\r\nDURATION:PT1H\r\n"
                                                    "SUMMARY:Bravo\r\nX-OTHER-PROGRAM:kept\r\n")));
    event->setTitle(QStringLiteral("Bravo renamed"));
    ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, true));
    const QByteArray written = readAll(path("b.ics"));
    EXPECT_TRUE(written.contains("SUMMARY:Bravo renamed\r\n")) << written.constData();
    EXPECT_TRUE(written.contains("X-OTHER-PROGRAM:kept\r\n")) << written.constData();
    EXPECT_EQ(titlesIn(*eventStore()), (QStringList{"Alpha", "Bravo renamed"}));
}

// The store does not look again at a file it has just made itself; anything another program does
// to that file right after is still seen by the next question, and the event as the store saved it
// stays what the save wrote.
TEST_F(EKEventStoreFolderWatchTest, AChangeRightAfterTheStoreMadeAFileIsSeen)
{
    struct Case
    {
        const char *what;
        std::function<void(const QString &)> change;
        QStringList expected;
    };
    const QList<Case> cases{
        {"rewritten in place, same size", [](const QString &file) { rewriteInPlace(file, "Saved", "Savxd"); },
         {"Alpha", "Bravo", "Savxd"}},
        {"replaced", [](const QString &file) { writeAsOtherProgram(file, eventNamed("n", "Replaced", 6)); },
         {"Alpha", "Bravo", "Replaced"}},
        {"status changed", [](const QString &file) { ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0644), 0); },
         {"Alpha", "Bravo", "Saved"}},
        {"removed", [](const QString &file) { ASSERT_TRUE(QFile::remove(file)); }, {"Alpha", "Bravo"}},
        {"removed and made again", [](const QString &file) {
             ASSERT_TRUE(QFile::remove(file));
             writeAsOtherProgram(file, eventNamed("n", "Made again", 6));
         }, {"Alpha", "Bravo", "Made again"}},
    };
    for (const Case &step : cases) {
        lookWholeAgain();
        auto event = EKEvent::eventWithEventStore(m_store);
        event->setCalendar(m_store->calendarWithIdentifier(QStringLiteral("work")));
        event->setTitle(QStringLiteral("Saved"));
        event->setStartDate(at("2026-03-16 10:00"));
        event->setEndDate(at("2026-03-16 11:00"));
        ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, true)) << step.what;
        const QString identifier = event->calendarItemIdentifier();
        const QString file = m_folder + QLatin1Char('/') + ICalendarFolder::fileNameForUid(identifier);
        ASSERT_TRUE(QFile::exists(file)) << step.what;
        step.change(file);
        const std::shared_ptr<EKEvent> saved = m_store->knownEventWithIdentifier(identifier);
        ASSERT_NE(saved, nullptr) << step.what;
        EXPECT_EQ(saved->title(), QStringLiteral("Saved")) << step.what;
        EXPECT_EQ(titlesIn(*m_store), step.expected) << step.what << ", the store that saved";
        EXPECT_EQ(titlesIn(*eventStore()), step.expected) << step.what << ", a new store";
        QFile::remove(file);
    }
}

// Calls made under one look read the notices once; what another program changes during the look,
// to a file the look saw or one it did not, is seen by the first call after it, by this store and
// by a new one.
TEST_F(EKEventStoreFolderWatchTest, WhatChangesDuringOneLookIsSeenAfterIt)
{
    lookWholeAgain();
    {
        const EKEventStore::OneLook look(*m_store);
        EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo"}));
        writeAsOtherProgram(path("c.ics"), eventNamed("c", "Charlie", 5));
        rewriteInPlace(path("a.ics"), "Alpha", "Alphx");
        const EKEventStore::OneLook nested(*m_store);
        EXPECT_NE(m_store->calendarWithIdentifier(QStringLiteral("work")), nullptr);
    }
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alphx", "Bravo", "Charlie"}));
    EXPECT_EQ(titlesIn(*eventStore()), (QStringList{"Alphx", "Bravo", "Charlie"}));
}

// More changes than the watch notes by name: the store looks at the whole folder instead.
TEST_F(EKEventStoreFolderWatchTest, ManyChangesAtOnceAreAllSeen)
{
    lookWholeAgain();
    QStringList expected{"Alpha", "Bravo"};
    for (int index = 0; index < 1100; ++index) {
        const QByteArray title = "Many " + QByteArray::number(index);
        writeAsOtherProgram(m_folder + QStringLiteral("/many-%1.ics").arg(index), eventNamed("many" + title, title));
        expected.append(QString::fromLatin1(title));
    }
    rewriteInPlace(path("a.ics"), "Alpha", "Alphx");
    expected[0] = QStringLiteral("Alphx");
    expected.sort();
    EXPECT_EQ(titlesIn(*m_store), expected);
    EXPECT_EQ(titlesIn(*eventStore()), expected);
}

// A folder removed and made again under its name is a new folder: its watch ended with the old one.
TEST_F(EKEventStoreFolderWatchTest, AFolderMadeAgainIsReadWhole)
{
    ASSERT_TRUE(QDir(m_folder).removeRecursively());
    EXPECT_EQ(titlesIn(*m_store), QStringList());
    m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    writeAsOtherProgram(path("e.ics"), eventNamed("e", "Echo"));
    EXPECT_EQ(titlesIn(*m_store), QStringList{"Echo"});
    writeAsOtherProgram(path("f.ics"), eventNamed("f", "Foxtrot", 4));
    EXPECT_EQ(titlesIn(*eventStore()), (QStringList{"Echo", "Foxtrot"}));
}

// A file written through a link in another folder changes without a notice in ours: the whole look
// five seconds after the last one sees it.
TEST_F(EKEventStoreFolderWatchTest, AnEditNoWatchTellsIsSeenByTheNextWholeLook)
{
    const QString elsewhere = root() + QStringLiteral("/../elsewhere.ics");
    ASSERT_EQ(::link(QFile::encodeName(path("a.ics")).constData(), QFile::encodeName(elsewhere).constData()), 0);
    rewriteInPlace(elsewhere, "Alpha", "Alphx");
    EXPECT_TRUE(testsupport::waitUntil([&] { return titlesIn(*m_store) == QStringList{"Alphx", "Bravo"}; },
                          std::chrono::seconds(9)));
}

// The first whole look adds the watch, and it then tells each change by name, our own writes too.
TEST_F(EKEventStoreFolderWatchTest, AFolderIsWatchedFromItsFirstWholeLookOn)
{
    EXPECT_EQ(watchesOf(m_folder), 1);
    writeAsOtherProgram(path("c.ics"), eventNamed("c", "Charlie", 5));
    rewriteInPlace(path("a.ics"), "Alpha", "Alphx");
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alphx", "Bravo", "Charlie"}));
    auto event = m_store->eventWithIdentifier(QStringLiteral("b"));
    ASSERT_NE(event, nullptr);
    event->setTitle(QStringLiteral("Bravo ours"));
    ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, true));
    rewriteInPlace(path("c.ics"), "Charlie", "Charlix");
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alphx", "Bravo ours", "Charlix"}));
    EXPECT_EQ(titlesIn(*eventStore()), (QStringList{"Alphx", "Bravo ours", "Charlix"}));
    EXPECT_EQ(watchesOf(m_folder), 1);
}

// Calendars another program makes, removes or renames between two store calls (well within the
// second before the next whole look at the root) are seen by the next call.
TEST_F(EKEventStoreFolderWatchTest, CalendarsOtherProgramsChangeAreSeenAtOnce)
{
    const auto identifiers = [this] {
        QStringList found;
        for (const auto &calendar : m_store->calendarsForEntityType(EKEntityType::Event))
            found.append(calendar->calendarIdentifier());
        found.sort();
        return found;
    };
    ASSERT_EQ(identifiers(), QStringList{"work"});
    const QString home = makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    writeAsOtherProgram(home + QStringLiteral("/h.ics"), eventNamed("h", "Hotel"));
    EXPECT_EQ(identifiers(), (QStringList{"home", "work"})) << "made";
    EXPECT_NE(m_store->eventWithIdentifier(QStringLiteral("h")), nullptr);
    ASSERT_EQ(::rename(QFile::encodeName(home).constData(), QFile::encodeName(root() + "/house").constData()), 0);
    EXPECT_EQ(identifiers(), (QStringList{"house", "work"})) << "renamed";
    EXPECT_NE(m_store->eventWithIdentifier(QStringLiteral("h")), nullptr);
    ASSERT_TRUE(QDir(root() + QStringLiteral("/house")).removeRecursively());
    EXPECT_EQ(identifiers(), QStringList{"work"}) << "removed";
    EXPECT_EQ(m_store->eventWithIdentifier(QStringLiteral("h")), nullptr);

    // The root named anew by the setting is watched in place of the old one.
    const QString elsewhere = root() + QStringLiteral("-elsewhere");
    ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/away")));
    UserDefaults::standardUserDefaults().setObject(elsewhere, EKEventStore::kCalendarsFolderKey);
    EXPECT_EQ(identifiers(), QStringList{"away"}) << "another root";
    ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/abroad")));
    EXPECT_EQ(identifiers(), (QStringList{"abroad", "away"})) << "made in the new root";
    makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    EXPECT_EQ(identifiers(), (QStringList{"abroad", "away"})) << "made in the old root";
    UserDefaults::standardUserDefaults().setObject(root(), EKEventStore::kCalendarsFolderKey);
    EXPECT_EQ(identifiers(), (QStringList{"home", "work"})) << "the first root again";
    ASSERT_TRUE(QDir(elsewhere).removeRecursively());
}

// A process that turns the kernel's watches off (one that runs a single sync and ends) sets up none
// over the root or a folder, and still sees what other programs do: files added, replaced or removed
// at once by the folder's time, an edit in place by the next whole look. A save over a file edited in
// place meanwhile lays its change over that edit instead of writing over it. Turned on again, the
// next whole look watches the folder, and an edit in place is seen at once as before.
TEST_F(EKEventStoreFolderWatchTest, WithoutKernelWatchesOtherProgramsChangesAreStillSeen)
{
    reopenWithoutKernelWatches();
    writeAsOtherProgram(path("c.ics"), eventNamed("c", "Charlie", 5));
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo", "Charlie"}));
    EXPECT_EQ(watchesOf(m_folder), 0);
    EXPECT_EQ(watchesOf(root()), 0);
    writeAsOtherProgram(path("c.ics"), eventNamed("c", "Charlie again", 5));
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo", "Charlie again"}));
    ASSERT_TRUE(QFile::remove(path("c.ics")));
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo"}));

    renameBravoOverAnEditInPlace(true);
    expectBravoRenamedOverTheEdit();
    EXPECT_EQ(titlesIn(*eventStore()), (QStringList{"Alpha", "Bravo renamed", "Other"}));

    rewriteInPlace(path("a.ics"), "Alpha", "Alphx");
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return titlesIn(*m_store) == QStringList{"Alphx", "Bravo renamed", "Other"}; }, std::chrono::seconds(9)));
    EXPECT_EQ(watchesOf(m_folder), 0);

    ICalendarFolderWatch::setKernelWatches(true);
    writeAsOtherProgram(path("z.ics"), eventNamed("z", "Zulu"));
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alphx", "Bravo renamed", "Other", "Zulu"}));
    EXPECT_EQ(watchesOf(m_folder), 1);
    rewriteInPlace(path("a.ics"), "Alphx", "Alphy");
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alphy", "Bravo renamed", "Other", "Zulu"}));
}

namespace {

// A folder's time moves by the file system's clock tick (a few milliseconds): another program's
// write right after ours waits for the next one, as any write a moment later would.
constexpr std::chrono::milliseconds kTick{20};

void writeAfterTick(const QString &path, const QByteArray &bytes)
{
    std::this_thread::sleep_for(kTick);
    writeAsOtherProgram(path, bytes);
}

std::shared_ptr<EKEvent> newEventIn(const std::shared_ptr<EKEventStore> &store, const QString &title, int day)
{
    auto event = EKEvent::eventWithEventStore(store);
    event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
    event->setTitle(title);
    event->setStartDate(at("2026-03-20 10:00").addDays(day));
    event->setEndDate(at("2026-03-20 11:00").addDays(day));
    return event;
}

} // namespace

// Without the kernel's watches, a batch of our own writes (saved, not yet committed) takes the
// calendars and each folder as last seen or written by us, with no look at them per call; each of our
// writes still compares its folder's time with the one noted. A file another program adds mid-batch
// is seen after our next write; one it edits in place keeps its edit under our save; a calendar made
// mid-batch is listed once the batch is committed.
TEST_F(EKEventStoreFolderWatchTest, WithoutKernelWatchesABatchOfOwnWritesStillSeesOtherPrograms)
{
    reopenWithoutKernelWatches();
    ASSERT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo"}));
    ASSERT_TRUE(m_store->saveEvent(newEventIn(m_store, QStringLiteral("Mine 1"), 0), EKSpan::ThisEvent, false));
    writeAfterTick(path("c.ics"), eventNamed("c", "Charlie", 5));
    ASSERT_TRUE(m_store->saveEvent(newEventIn(m_store, QStringLiteral("Mine 2"), 1), EKSpan::ThisEvent, false));
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo", "Charlie", "Mine 1", "Mine 2"}));

    renameBravoOverAnEditInPlace(false);
    std::this_thread::sleep_for(kTick);
    makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    ASSERT_TRUE(m_store->commit());

    EXPECT_NE(m_store->calendarWithIdentifier(QStringLiteral("home")), nullptr);
    expectBravoRenamedOverTheEdit();
    const QStringList all{"Alpha", "Bravo renamed", "Charlie", "Mine 1", "Mine 2", "Other"};
    EXPECT_EQ(titlesIn(*m_store), all);
    EXPECT_EQ(titlesIn(*eventStore()), all);
}

// Mid-batch, a new item of ours whose file another program made meanwhile is refused, that file left
// byte for byte; once the batch is committed the store gives that program's item.
TEST_F(EKEventStoreFolderWatchTest, WithoutKernelWatchesANewItemIsNotWrittenOverAFileMadeMidBatch)
{
    reopenWithoutKernelWatches();
    ASSERT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo"}));
    ASSERT_TRUE(m_store->saveEvent(newEventIn(m_store, QStringLiteral("Mine"), 0), EKSpan::ThisEvent, false));
    const QByteArray theirs = eventNamed("n", "Theirs", 6);
    writeAfterTick(path("n.ics"), theirs);
    const std::shared_ptr<EKEvent> mine = newEventIn(m_store, QStringLiteral("Mine too"), 6);
    mine->setCalendarItemIdentifier(QStringLiteral("n"));
    EXPECT_FALSE(m_store->saveEvent(mine, EKSpan::ThisEvent, false));
    EXPECT_EQ(readAll(path("n.ics")), theirs);
    ASSERT_TRUE(m_store->commit());
    EXPECT_EQ(titlesIn(*m_store), (QStringList{"Alpha", "Bravo", "Mine", "Theirs"}));
    const std::shared_ptr<EKEvent> found = m_store->eventWithIdentifier(QStringLiteral("n"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->title(), QStringLiteral("Theirs"));
}
