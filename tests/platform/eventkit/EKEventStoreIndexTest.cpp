// What the store keeps of the files it read: changes of other programs between and after our own
// writes are seen at once, a listing that asks for each series' first occurrence gets the first
// one the whole walk gives, a query by title reads only the files holding that title, and the index
// kept beside a folder for the next run is exact, survives damage and a killed writer, and never
// hides a change another program made.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarFolderIndex.h"
#include "platform/foundation/ConsoleLog.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimeZone>

#include <gtest/gtest.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HM_HAS_ASAN 1
#endif
#endif
#if !defined(HM_HAS_ASAN) && defined(__SANITIZE_ADDRESS__)
#define HM_HAS_ASAN 1
#endif
#if HM_HAS_ASAN
// The address sanitizer's count of the bytes the program holds (its allocator stands in for malloc's).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using namespace eventkittest;

namespace {

QByteArray eventText(const QByteArray &uid, const QByteArray &title, const QByteArray &start,
                     const QByteArray &more = QByteArray())
{
    return "BEGIN:VEVENT\r\nUID:" + uid + "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:" + start +
           "\r\nDURATION:PT1H\r\nSUMMARY:" + title + "\r\n" + more + "END:VEVENT\r\n";
}

struct FileStatus
{
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 inode = 0;
    qint64 changedNs = 0;
    mode_t mode = 0;
};

FileStatus statusOf(const QString &path)
{
    struct stat info = {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return {qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec, qint64(info.st_ino),
            qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec, info.st_mode & 07777};
}

// The entry of a file in an index, its line end included.
QByteArray entryOf(const QByteArray &index, const QString &fileName)
{
    const qsizetype start = index.indexOf('\n' + fileName.toUtf8() + '\t') + 1;
    return start > 0 ? index.mid(start, index.indexOf('\n', start) + 1 - start) : QByteArray();
}

// The index as the format before this one wrote it: the same fields, each line signed with its own
// 64-bit hash of its other fields (each eight bytes little-endian, the last padded with zeros, after
// the length: value = (value ^ word) times 0x9e3779b97f4a7c15, then value ^= value >> 29).
QByteArray previousFormatOf(const QByteArray &index)
{
    QByteArrayList lines = index.split('\n');
    lines[0] = "HMCALINDEX 5";
    for (QByteArray &line : lines) {
        const QByteArrayList fields = line.split('\t');
        if (fields.size() != 12)
            continue;
        const QByteArray signedPart = line.left(line.lastIndexOf('\t'));
        quint64 hash = 0xcbf29ce484222325ull ^ quint64(signedPart.size());
        for (qsizetype at = 0; at < signedPart.size(); at += 8) {
            quint64 word = 0;
            for (qsizetype byte = 0; byte < 8 && at + byte < signedPart.size(); ++byte)
                word |= quint64(quint8(signedPart[at + byte])) << (8 * byte);
            hash = (hash ^ word) * 0x9e3779b97f4a7c15ull;
            hash ^= hash >> 29;
        }
        line = signedPart + '\t' + QByteArray::number(hash, 16);
    }
    return lines.join('\n');
}

} // namespace

class EKEventStoreIndexTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        m_store = eventStore();
    }

    QStringList titlesInStore() const
    {
        return titlesOf(m_store->eventsMatchingPredicate(
            m_store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {})));
    }

    void saveOurEvent(const QString &title, const char *start) const
    {
        auto event = EKEvent::eventWithEventStore(m_store);
        event->setCalendar(m_store->calendarWithIdentifier(QStringLiteral("work")));
        event->setTitle(title);
        event->setStartDate(at(start));
        event->setEndDate(at(start).addSecs(3600));
        ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, true).ok());
    }

    // Events named <stem>0.ics... written by another program and read by a store that then lets go:
    // the index it leaves.
    QByteArray indexOfNumberedEvents(const QByteArray &stem, int count)
    {
        for (int number = 0; number < count; ++number) {
            const QByteArray uid = stem + QByteArray::number(number);
            writeAsOtherProgram(m_folder + u'/' + QString::fromLatin1(uid) + QStringLiteral(".ics"),
                                calendarText(eventText(uid, "Event " + uid, "20260303T090000Z")));
        }
        m_store = eventStore();
        EXPECT_EQ(titlesInStore().size(), count);
        m_store.reset();
        return readAll(root() + QStringLiteral("/.work.hmindex"));
    }

    // Our event and another program's, read by a store that then lets go: the index it leaves.
    QByteArray indexOfOursAndTheirs()
    {
        saveOurEvent(QStringLiteral("Ours"), "2026-03-02 09:00");
        writeAsOtherProgram(m_folder + QStringLiteral("/theirs.ics"),
                            calendarText(eventText("theirs", "Theirs", "20260303T090000Z")));
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), (QStringList{"Ours", "Theirs"}));
        m_store.reset();
        return readAll(root() + QStringLiteral("/.work.hmindex"));
    }

    // The folder and its index under a new name, its files untouched: as in a new run, a new folder
    // object reads the index. Answers the index's path.
    QString moveFolderForNewRun()
    {
        const QString next = m_folder + QLatin1Char('x');
        const QString index = root() + QStringLiteral("/.%1.hmindex").arg(QFileInfo(next).fileName());
        EXPECT_TRUE(QFile::rename(m_folder, next));
        EXPECT_TRUE(QFile::rename(root() + QStringLiteral("/.%1.hmindex").arg(QFileInfo(m_folder).fileName()), index));
        m_folder = next;
        return index;
    }

    QString m_folder;
    std::shared_ptr<EKEventStore> m_store;
};

// Our own writes spare the store a new look at the folder; they must not hide what another program
// did just before or just after them.
TEST_F(EKEventStoreIndexTest, OtherProgramsChangesAreSeenAtOnceAroundOurOwnWrites)
{
    saveOurEvent(QStringLiteral("Ours 1"), "2026-03-02 09:00");
    ASSERT_EQ(titlesInStore(), QStringList{"Ours 1"});

    const QString theirs = m_folder + QStringLiteral("/theirs.ics");
    writeAsOtherProgram(theirs, calendarText(eventText("theirs", "Theirs", "20260303T090000Z")));
    saveOurEvent(QStringLiteral("Ours 2"), "2026-03-04 09:00");
    EXPECT_EQ(titlesInStore(), (QStringList{"Ours 1", "Ours 2", "Theirs"})) << "added before our write";

    writeAsOtherProgram(theirs, calendarText(eventText("theirs", "Theirs renamed", "20260303T090000Z")));
    EXPECT_EQ(titlesInStore(), (QStringList{"Ours 1", "Ours 2", "Theirs renamed"})) << "replaced after our write";

    saveOurEvent(QStringLiteral("Ours 3"), "2026-03-05 09:00");
    ASSERT_TRUE(QFile::remove(theirs));
    EXPECT_EQ(titlesInStore(), (QStringList{"Ours 1", "Ours 2", "Ours 3"})) << "removed after our write";

    writeAsOtherProgram(m_folder + QStringLiteral("/broken.ics"), "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n");
    saveOurEvent(QStringLiteral("Ours 4"), "2026-03-06 09:00");
    EXPECT_EQ(titlesInStore(), (QStringList{"Ours 1", "Ours 2", "Ours 3", "Ours 4"})) << "a broken file is skipped";
    EXPECT_TRUE(QFile::exists(m_folder + QStringLiteral("/broken.ics"))) << "and left alone";

    // A second store, a view of the same folder, sees the same.
    const auto other = eventStore();
    EXPECT_EQ(titlesOf(other->eventsMatchingPredicate(
                  other->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {}))),
              (QStringList{"Ours 1", "Ours 2", "Ours 3", "Ours 4"}));
}

// An event khal adds lands beside ours and is read at once, and the file we rewrite stays the only
// one changed.
TEST_F(EKEventStoreIndexTest, AnEventKhalAddsIsSeenAndOurSavesWriteOnlyTheirOwnFile)
{
    saveOurEvent(QStringLiteral("Ours"), "2026-03-02 09:00");
    const QString config = m_folder + QStringLiteral("/../khal.conf");
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[calendars]\n[[work]]\npath = %1\ntype = calendar\n[locale]\ntimeformat = %H:%M\n"
                              "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                              "longdatetimeformat = %Y-%m-%d %H:%M\nlocal_timezone = UTC\ndefault_timezone = UTC\n"
                              "[default]\ndefault_calendar = work\n[sqlite]\npath = %1/../khal.db\n")
                   .arg(m_folder)
                   .toUtf8());
    file.close();
    runTool(QStringLiteral("khal"), {QStringLiteral("-c"), config, QStringLiteral("new"), QStringLiteral("2026-03-03"),
                                     QStringLiteral("10:00"), QStringLiteral("11:00"), QStringLiteral("From khal")});
    EXPECT_EQ(titlesInStore(), (QStringList{"From khal", "Ours"}));

    const QStringList files = itemFiles(m_folder);
    ASSERT_EQ(files.size(), 2);
    QHash<QString, QDateTime> times;
    for (const QString &name : files)
        times.insert(name, QFileInfo(m_folder + QLatin1Char('/') + name).lastModified());
    auto ours = m_store->eventsMatchingPredicate(
        m_store->predicateForEventsWithStartDate(at("2026-03-02 00:00"), at("2026-03-03 00:00"), {}));
    ASSERT_EQ(ours.size(), 1);
    ours.first()->setTitle(QStringLiteral("Ours changed"));
    ASSERT_TRUE(m_store->saveEvent(ours.first(), EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(titlesInStore(), (QStringList{"From khal", "Ours changed"}));
    for (const QString &name : files) {
        const bool isOurs = name == ours.first()->eventIdentifier() + QStringLiteral(".ics");
        EXPECT_EQ(QFileInfo(m_folder + QLatin1Char('/') + name).lastModified() == times.value(name), !isOurs)
            << name.toStdString();
    }
}

// For each series and window: the first regular occurrence the walk stops at is the first of the
// whole walk, with removed (EXDATE) and detached occurrences left out.
TEST_F(EKEventStoreIndexTest, TheFirstOccurrenceIsTheFirstOfTheWholeWalk)
{
    struct Row
    {
        const char *name;
        QByteArray items;
        const char *from;
        const char *to;
    };
    const Row rows[] = {
        {"endless weekly on three days",
         eventText("s", "S", "20260302T090000Z", "RRULE:FREQ=WEEKLY;BYDAY=MO,WE,FR\r\n"), "2031-06-01 00:00",
         "2032-01-01 00:00"},
        {"first ones removed",
         eventText("s", "S", "20260302T090000Z",
                   "RRULE:FREQ=DAILY;COUNT=10\r\nEXDATE:20260302T090000Z,20260303T090000Z\r\n"),
         "2026-01-01 00:00", "2027-01-01 00:00"},
        {"first one detached",
         eventText("s", "S", "20260302T090000Z", "RRULE:FREQ=DAILY;COUNT=5\r\n") +
             eventText("s", "Moved", "20260302T150000Z", "RECURRENCE-ID:20260302T090000Z\r\n"),
         "2026-01-01 00:00", "2027-01-01 00:00"},
        {"reaching in from before the window", eventText("s", "S", "20260302T233000Z", "RRULE:FREQ=DAILY\r\n"),
         "2026-03-10 00:00", "2026-03-11 00:00"},
        {"two rules, the second first",
         eventText("s", "S", "20260302T090000Z", "RRULE:FREQ=MONTHLY;BYDAY=-1FR\r\nRRULE:FREQ=WEEKLY;BYDAY=TU\r\n"),
         "2026-04-01 00:00", "2026-05-01 00:00"},
        {"extra dates only", eventText("s", "S", "20260302T090000Z", "RDATE:20260410T090000Z,20260405T090000Z\r\n"),
         "2026-04-01 00:00", "2026-05-01 00:00"},
        {"counted series ended", eventText("s", "S", "20260302T090000Z", "RRULE:FREQ=DAILY;COUNT=3\r\n"),
         "2026-04-01 00:00", "2026-05-01 00:00"},
        {"single event", eventText("s", "S", "20260302T090000Z"), "2026-03-01 00:00", "2026-03-03 00:00"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        writeAsOtherProgram(m_folder + QStringLiteral("/s.ics"), calendarText(row.items));
        const auto store = eventStore();
        EKPredicate predicate = store->predicateForEventsWithStartDate(at(row.from), at(row.to), {});
        QList<QDateTime> wholeWalk;
        for (const auto &event : store->eventsMatchingPredicate(predicate)) {
            if (!event->isDetached())
                wholeWalk.append(event->startDate());
        }
        predicate.firstOccurrenceOnly = true;
        QList<QDateTime> first;
        for (const auto &event : store->eventsMatchingPredicate(predicate)) {
            if (!event->isDetached())
                first.append(event->startDate());
        }
        EXPECT_EQ(first, wholeWalk.mid(0, 1));
        predicate.seriesToLeaveOut = {QStringLiteral("s")};
        const qsizetype detachedCount = row.items.contains("RECURRENCE-ID") ? 1 : 0;
        EXPECT_EQ(store->eventsMatchingPredicate(predicate).size(), detachedCount)
            << "a series left out gives only its detached occurrences";
    }
}

TEST_F(EKEventStoreIndexTest, AQueryByTitleReadsTheFilesHoldingThatTitle)
{
    writeAsOtherProgram(
        m_folder + QStringLiteral("/a.ics"),
        calendarText(eventText("a", "Standup", "20260302T090000Z", "RRULE:FREQ=DAILY;COUNT=3\r\n") +
                     eventText("a", "Standup late", "20260303T110000Z", "RECURRENCE-ID:20260303T090000Z\r\n")));
    writeAsOtherProgram(m_folder + QStringLiteral("/b.ics"),
                        calendarText(eventText("b", "Review", "20260302T090000Z")));
    EKPredicate predicate =
        m_store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {});
    predicate.title = QStringLiteral("Standup late");
    EXPECT_EQ(titlesOf(m_store->eventsMatchingPredicate(predicate)),
              (QStringList{"Standup", "Standup", "Standup late"}));
    predicate.title = QStringLiteral("Review");
    EXPECT_EQ(titlesOf(m_store->eventsMatchingPredicate(predicate)), QStringList{"Review"});
    predicate.title = QStringLiteral("Nothing");
    EXPECT_EQ(titlesOf(m_store->eventsMatchingPredicate(predicate)), QStringList{});

    // A title changed by another program is found under its new name only.
    writeAsOtherProgram(m_folder + QStringLiteral("/b.ics"),
                        calendarText(eventText("b", "Review moved", "20260302T090000Z")));
    predicate.title = QStringLiteral("Review");
    EXPECT_EQ(titlesOf(m_store->eventsMatchingPredicate(predicate)), QStringList{});
    predicate.title = QStringLiteral("Review moved");
    EXPECT_EQ(titlesOf(m_store->eventsMatchingPredicate(predicate)), QStringList{"Review moved"});
}

// A query by title around one moment gives the events of a series' file that overlap it, the first
// time (the file parsed) as every later time (the file passed by when none of its events can), and
// again once another program changed the file.
TEST_F(EKEventStoreIndexTest, AQueryByTitleAroundAMomentFindsTheSameEventsEveryTime)
{
    const QString path = m_folder + QStringLiteral("/s.ics");
    const auto seriesText = [](const QByteArray &count) {
        return calendarText(eventText("s", "Standup", "20260302T090000Z",
                                      "RRULE:FREQ=DAILY;COUNT=" + count + "\r\nEXDATE:20260305T090000Z\r\n") +
                            eventText("s", "Standup late", "20260303T110000Z", "RECURRENCE-ID:20260303T090000Z\r\n"));
    };
    const auto titlesAround = [this](const char *moment) {
        EKPredicate predicate = m_store->predicateForEventsWithStartDate(at(moment), at(moment).addSecs(1), {});
        predicate.title = QStringLiteral("Standup");
        return titlesOf(m_store->eventsMatchingPredicate(predicate));
    };
    const QStringList none;
    const QStringList standup{"Standup"};
    const QList<std::pair<const char *, QStringList>> rows = {
        {"2026-03-02 09:00", standup},          {"2026-03-03 09:00", none},    {"2026-03-03 11:00", {"Standup late"}},
        {"2026-03-03 11:59", {"Standup late"}}, {"2026-03-04 09:00", standup}, {"2026-03-05 09:00", none},
        {"2026-03-06 09:59", standup},          {"2026-03-07 09:00", none},    {"2026-02-01 09:00", none}};
    writeAsOtherProgram(path, seriesText("5"));
    for (int round = 0; round < 2; ++round) {
        for (const auto &[moment, titles] : rows)
            EXPECT_EQ(titlesAround(moment), titles) << moment << " in round " << round;
    }
    writeAsOtherProgram(path, seriesText("8"));
    EXPECT_EQ(titlesAround("2026-03-07 09:00"), standup) << "the changed file's own walk";
    EXPECT_EQ(titlesAround("2026-03-05 09:00"), none);
    EXPECT_EQ(titlesAround("2026-03-09 09:00"), standup);
}

// A listing that reads each series once finds, in its later windows, only the moved occurrences
// that lie there: the same each time, whether it parsed the series' files again or passed them by.
TEST_F(EKEventStoreIndexTest, ALaterWindowOfAListingFindsTheMovedOccurrencesInIt)
{
    writeAsOtherProgram(
        m_folder + QStringLiteral("/s.ics"),
        calendarText(eventText("s", "Standup", "20260302T090000Z", "RRULE:FREQ=DAILY;COUNT=1000\r\n") +
                     eventText("s", "Standup far", "20270302T150000Z", "RECURRENCE-ID:20270302T090000Z\r\n")));
    writeAsOtherProgram(m_folder + QStringLiteral("/t.ics"),
                        calendarText(eventText("t", "Review", "20260303T090000Z", "RRULE:FREQ=WEEKLY\r\n")));
    const auto listWindow = [this](const char *from, const char *to, const QSet<QString> &read) {
        EKPredicate predicate = m_store->predicateForEventsWithStartDate(at(from), at(to), {});
        predicate.firstOccurrenceOnly = true;
        predicate.seriesToLeaveOut = read;
        return titlesOf(m_store->eventsMatchingPredicate(predicate));
    };
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(listWindow("2026-03-01 00:00", "2026-04-01 00:00", {}), (QStringList{"Review", "Standup"}));
        EXPECT_EQ(listWindow("2026-04-01 00:00", "2028-01-01 00:00", {"s", "t"}), QStringList{"Standup far"})
            << "in round " << round;
        EXPECT_EQ(listWindow("2028-01-01 00:00", "2030-01-01 00:00", {"s", "t"}), QStringList{});
        EXPECT_EQ(listWindow("2028-01-01 00:00", "2030-01-01 00:00", {"s"}), QStringList{"Review"});
    }
}

// Titles the index keeps under one key are told apart by the files' own titles: by files the index
// described, by files changed by another program and by our own writes.
TEST_F(EKEventStoreIndexTest, TitlesSharingAKeyAreToldApart)
{
    const auto [first, second] = titlesSharingAnItemKey(QStringLiteral("Meeting "));
    ASSERT_FALSE(first.isEmpty());
    writeAsOtherProgram(m_folder + QStringLiteral("/a.ics"),
                        calendarText(eventText("a", first.toUtf8(), "20260302T090000Z")));
    writeAsOtherProgram(m_folder + QStringLiteral("/b.ics"),
                        calendarText(eventText("b", second.toUtf8(), "20260302T090000Z")));
    m_store = eventStore();
    QStringList both{first, second};
    both.sort();
    ASSERT_EQ(titlesInStore(), both);
    m_store.reset();
    m_store = eventStore();
    EKPredicate predicate =
        m_store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {});
    const auto withTitle = [&](const QString &title) {
        predicate.title = title;
        return titlesOf(m_store->eventsMatchingPredicate(predicate));
    };
    EXPECT_EQ(withTitle(first), QStringList{first}) << "described by the index";
    EXPECT_EQ(withTitle(second), QStringList{second}) << "described by the index";
    writeAsOtherProgram(m_folder + QStringLiteral("/b.ics"),
                        calendarText(eventText("b", first.toUtf8(), "20260302T090000Z")));
    EXPECT_EQ(withTitle(first), (QStringList{first, first})) << "changed by another program";
    EXPECT_EQ(withTitle(second), QStringList{}) << "changed by another program";
    saveOurEvent(second, "2026-03-02 09:00");
    EXPECT_EQ(withTitle(second), QStringList{second}) << "our own write";
    EXPECT_EQ(withTitle(first), (QStringList{first, first})) << "our own write";
}

// A store made for one question while another writes to the folder leaves the index to the writer:
// letting it go writes nothing, and the writer's leaving writes the index of everything it saved.
TEST_F(EKEventStoreIndexTest, TheLastStoreToLetAFolderGoWritesItsIndex)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    saveOurEvent(QStringLiteral("First"), "2026-03-02 09:00");
    m_store.reset();
    const FileStatus before = statusOf(index);
    m_store = eventStore();
    saveOurEvent(QStringLiteral("Second"), "2026-03-03 09:00");
    {
        const auto probe = eventStore();
        ASSERT_NE(probe->calendarWithIdentifier(QStringLiteral("work")), nullptr);
        ASSERT_EQ(probe->eventsMatchingPredicate(probe->predicateForEventsWithStartDate(
                                                     at("2026-01-01 00:00"), at("2027-01-01 00:00"), {}))
                      .size(),
                  2);
    }
    const FileStatus afterProbe = statusOf(index);
    EXPECT_EQ(afterProbe.inode, before.inode);
    EXPECT_EQ(afterProbe.changedNs, before.changedNs);
    saveOurEvent(QStringLiteral("Third"), "2026-03-04 09:00");
    m_store.reset();
    const QByteArray written = readAll(index);
    for (const QString &file : itemFiles(m_folder))
        EXPECT_FALSE(entryOf(written, file).isEmpty()) << file.toStdString();
    EXPECT_EQ(itemFiles(m_folder).size(), 3);
}

// The index names each file with its status, kinds, UIDs and titles, percent-encoded, one a line;
// only the owner reads it; a link put where it goes is replaced, not followed.
TEST_F(EKEventStoreIndexTest, TheIndexHoldsEachFileExactly)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    const QString elsewhere = root() + QStringLiteral("/../elsewhere");
    QFile(elsewhere).open(QIODevice::WriteOnly);
    ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(), QFile::encodeName(index).constData()), 0);
    writeAsOtherProgram(m_folder + QStringLiteral("/a b.ics"),
                        calendarText(eventText("a,1", "Tea, then\\nmore", "20260302T090000Z") +
                                     "BEGIN:VTODO\r\nUID:todo 2\r\nSUMMARY:Task\r\nEND:VTODO\r\n"));
    writeAsOtherProgram(m_folder + QStringLiteral("/broken.ics"), "BEGIN:VCALENDAR\r\n");
    { // A store that looked at the folder leaves its index behind.
        const auto store = eventStore();
        ASSERT_EQ(titlesInStore(), QStringList{"Tea, then\nmore"});
        ASSERT_EQ(store->calendarsForEntityType(EKEntityType::Event).size(), 1);
    }
    m_store.reset();
    const FileStatus file = statusOf(m_folder + QStringLiteral("/a b.ics"));
    // The event's reach: from two days before its start to two days after its end, in seconds.
    const qint64 start = at("2026-03-02 09:00").toSecsSinceEpoch();
    const QByteArray fields = QByteArray("a%20b.ics\t") + QByteArray::number(file.size) + '\t' +
                              QByteArray::number(file.modifiedNs) + '\t' + QByteArray::number(file.inode) + '\t' +
                              QByteArray::number(file.changedNs) + "\tET-\ta%2C1,todo%202\tTea%2C%20then%0Amore\t" +
                              QByteArray::number(start - 172800) + '\t' + QByteArray::number(start + 3600 + 172800) +
                              '\t';
    const QByteArray expected = kIndexHeader + fields + '\t' + indexChecksum(fields) + "\nEND 1\n";
    EXPECT_EQ(readAll(index), expected);
    EXPECT_EQ(statusOf(index).mode, mode_t(0600));
    EXPECT_EQ(readAll(elsewhere), QByteArray()) << "the link was followed";
}

// The line checksum of the index, pinned: a change to how it is taken makes every index written so
// far unreadable, which takes a new format number.
TEST_F(EKEventStoreIndexTest, TheLineChecksumIsPinned)
{
    EXPECT_EQ(indexChecksum(""), "0");
    EXPECT_EQ(indexChecksum("a"), "e8b7be43");
    EXPECT_EQ(indexChecksum("theirs.ics\t1\t2\t3\t4\tE-\ttheirs\tTheirs\t0\t1\t"), "1737c84");
}

// A damaged, foreign or hostile index is ignored whole: the folder is read as it is and the index
// is written again.
TEST_F(EKEventStoreIndexTest, ADamagedIndexIsMadeAgain)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    const QByteArray good = indexOfOursAndTheirs();
    ASSERT_FALSE(good.isEmpty());
    ASSERT_TRUE(good.startsWith(kIndexHeader));
    const QByteArray theirsLine = good.mid(good.indexOf("theirs.ics"));
    const QByteArray theirsEntry = theirsLine.left(theirsLine.indexOf('\n') + 1);
    const QByteArray theirsFields = theirsLine.left(theirsLine.lastIndexOf('\t'));
    const qsizetype reachAt = theirsFields.lastIndexOf('\t', theirsFields.lastIndexOf('\t') - 1);
    // Another program's event moved a year on, behind a checksum that no longer holds.
    QByteArray movedReach = theirsLine;
    movedReach[reachAt + 4] = movedReach[reachAt + 4] == '9' ? '8' : '9';
    // The same checksum written otherwise: with a leading zero, in capitals.
    const qsizetype checksumAt = good.indexOf("theirs.ics") + theirsFields.size() + 1;
    const QByteArray zeroLed = good.left(checksumAt) + '0' + good.mid(checksumAt);
    const QByteArray capitals = good.left(checksumAt) + theirsLine.mid(theirsFields.size() + 1).toUpper();
    // Their entry with one field written otherwise, signed anew.
    const auto withTheirField = [&](int at, const QByteArray &value) {
        QByteArrayList fields = theirsFields.split('\t');
        fields[at] = value;
        QByteArray bytes = good;
        return bytes.replace(theirsEntry, indexSigned(fields.join('\t')) + '\n');
    };
    struct Row
    {
        const char *name;
        QByteArray bytes;
    };
    const Row rows[] = {
        {"empty", ""},
        {"a title with an escape cut short", withTheirField(7, "Theirs%2")},
        {"a title with an escape that is no number", withTheirField(7, "Their%zz")},
        {"a title with an escape cut short after a whole one", withTheirField(7, "Their%20s%4")},
        {"a title with an escape of one digit after a whole one", withTheirField(7, "Their%20s%4z")},
        {"a title whose escapes are not UTF-8", withTheirField(7, "Theirs%FF%FE")},
        {"a title that is not UTF-8", withTheirField(7, "Theirs\xc3")},
        {"a UID whose escapes are not UTF-8", withTheirField(6, "theirs%C3,%A9")},
        {"a name whose escape is cut short", withTheirField(0, "theirs.ics%")},
        {"a name holding a NUL", withTheirField(0, "theirs%00.ics")},
        {"a size with a plus sign", withTheirField(1, '+' + theirsFields.split('\t').value(1))},
        {"a size after a space", withTheirField(1, ' ' + theirsFields.split('\t').value(1))},
        {"a reach beyond 64 bits", withTheirField(9, "9223372036854775808")},
        {"a reach of no digits", withTheirField(8, "-")},
        {"another format", "HMCALINDEX 1\n" + good.mid(13)},
        {"the format before this one, signed as it signed", previousFormatOf(good)},
        {"the format before blocks", "HMCALINDEX 3\n" + good.mid(13)},
        {"a block added after it cut short", good + theirsEntry.left(20)},
        {"a block added after it unended", good + theirsEntry},
        {"a block added after it with a count that does not hold", good + theirsEntry + "END 2\n"},
        {"an empty block counted as one", good + "END 1\n"},
        {"cut in the middle of a line", good.left(good.size() - 7)},
        {"the last line cut off", good.left(good.lastIndexOf("END "))},
        {"a count that does not hold", good.left(good.lastIndexOf("END ")) + "END 1\n"},
        {"a count written otherwise", good.left(good.lastIndexOf("END ")) + "END 02\n"},
        {"a count far beyond the lines", good.left(good.lastIndexOf("END ")) + "END 9223372036854775807\n"},
        {"a count below zero", good.left(good.lastIndexOf("END ")) + "END -5\n"},
        {"the last line unended", good.left(good.size() - 1)},
        {"a header alone", kIndexHeader},
        {"an empty line among the entries", good.left(13) + "\n" + good.mid(13)},
        {"a line with a field missing",
         kIndexHeader + indexSigned("theirs.ics\t1\t2\t3\tE-\ttheirs\tTheirs\t0\t1\t") + "\nEND 1\n"},
        {"a negative size",
         kIndexHeader + indexSigned("theirs.ics\t-1\t2\t3\t4\tE-\ttheirs\tTheirs\t0\t1\t") + "\nEND 1\n"},
        {"a name reaching out of the folder",
         kIndexHeader + indexSigned("..%2Fx.ics" + theirsFields.mid(10)) + "\nEND 1\n"},
        {"a name holding a NUL", kIndexHeader + indexSigned("x%00.ics" + theirsFields.mid(10)) + "\nEND 1\n"},
        {"an empty name", kIndexHeader + indexSigned(theirsFields.mid(10)) + "\nEND 1\n"},
        {"a reach changed behind its checksum", good.left(good.indexOf("theirs.ics")) + movedReach},
        {"a checksum with a leading zero", zeroLed},
        {"a checksum in capitals", capitals},
        {"binary garbage", QByteArray(4096, '\xff')},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QFile file(index);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(row.bytes);
        file.close();
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), (QStringList{"Ours", "Theirs"}));
        m_store.reset();
        EXPECT_EQ(readAll(index), good);
    }
}

// An index of thousands of entries, a later block giving some names again: each name is given once,
// by its latest entry, and the folder's table of names keeps it so through lookups, replacements and
// removals among the entries it marks gone, letting the index's entries go with the last of them.
TEST_F(EKEventStoreIndexTest, AnIndexOfRepeatedNamesGivesEachOnceByItsLatestEntry)
{
    const QByteArray good = indexOfOursAndTheirs();
    const QByteArray theirsLine = good.mid(good.indexOf("theirs.ics"));
    QByteArrayList fields = theirsLine.left(theirsLine.lastIndexOf('\t')).split('\t');
    const auto line = [&fields](int number, int size) {
        fields[0] = "n" + QByteArray::number(number) + ".ics";
        fields[1] = QByteArray::number(size);
        return indexSigned(fields.join('\t')) + '\n';
    };
    const auto nameOf = [](int number) { return QStringLiteral("n%1.ics").arg(number); };
    constexpr int kNames = 3000;
    constexpr int kEvery = 7;
    QByteArray text = kIndexHeader;
    for (int number = 0; number < kNames; ++number)
        text += line(number, 1);
    text += "END " + QByteArray::number(kNames) + '\n';
    int again = 0;
    for (int number = 0; number < kNames; number += kEvery, ++again)
        text += line(number, 2);
    text += "END " + QByteArray::number(again) + '\n';
    QFile file(root() + QStringLiteral("/.work.hmindex"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();

    std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->entryLines, kNames + again);
    qsizetype visited = 0;
    const ICalendarFile *previous = nullptr;
    loaded->files.forEach([&](const std::shared_ptr<ICalendarFile> &entry) {
        EXPECT_LT(previous, entry.get());
        previous = entry.get();
        ++visited;
    });
    EXPECT_EQ(visited, kNames);
    icalindex::ICalendarFileTable &files = loaded->files;
    EXPECT_EQ(files.size(), kNames);
    QStringList expected;
    for (int number = 0; number < kNames; ++number) {
        expected.append(nameOf(number));
        const std::shared_ptr<ICalendarFile> entry = files.value(nameOf(number));
        ASSERT_TRUE(entry) << number;
        EXPECT_EQ(entry->fileName(), nameOf(number));
        EXPECT_EQ(entry->size, number % kEvery == 0 ? 2 : 1);
    }
    QStringList keys = files.keys();
    keys.sort();
    expected.sort();
    EXPECT_EQ(keys, expected);
    EXPECT_FALSE(files.contains(nameOf(kNames)));
    EXPECT_FALSE(files.value(QStringLiteral("n.ics")));

    const std::weak_ptr<ICalendarFile> first = files.value(nameOf(0));
    const auto replacement = std::make_shared<ICalendarFile>();
    replacement->setFileName(nameOf(5));
    files.insert(nameOf(5), replacement);
    EXPECT_EQ(files.value(nameOf(5)), replacement);
    EXPECT_EQ(files.size(), kNames);
    for (int number = kNames - 1; number >= 0; --number) {
        if (number == 5)
            continue;
        EXPECT_EQ(files.take(nameOf(number))->fileName(), nameOf(number));
        EXPECT_FALSE(files.contains(nameOf(number)));
        EXPECT_FALSE(files.take(nameOf(number)));
        if (number % 97 == 0) {
            EXPECT_TRUE(files.contains(nameOf(number == 0 ? 5 : number - 1)));
        }
    }
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(files.keys(), QStringList{nameOf(5)});
    EXPECT_EQ(files.take(nameOf(5)), replacement);
    EXPECT_TRUE(files.isEmpty());
}

// A file's one plain UID (which a listing's windows ask of every file) is told from its text however
// that text is set: described, renamed, copied, or read back from a saved index.
TEST_F(EKEventStoreIndexTest, AFilesOnePlainUidIsToldHoweverItsTextIsSet)
{
    const auto plainOf = [](const ICalendarFile &file) {
        const std::optional<QByteArrayView> plain = file.plainSingleUid();
        return plain ? std::optional<QByteArray>(plain->toByteArray()) : std::nullopt;
    };
    const QList<std::pair<QStringList, std::optional<QByteArray>>> cases = {
        {{QStringLiteral("event-0")}, QByteArray("event-0")},
        {{QStringLiteral("a"), QStringLiteral("b")}, std::nullopt},
        {{QString::fromUtf8("\xc3\xa9t\xc3\xa9")}, std::nullopt},
        {{QStringLiteral("50%")}, std::nullopt},
        {{QStringLiteral("a,b")}, std::nullopt}};
    icalindex::ICalendarFileTable files;
    for (qsizetype at = 0; at < cases.size(); ++at) {
        SCOPED_TRACE(at);
        auto file = std::make_shared<ICalendarFile>();
        file->setFileName(QStringLiteral("f%1.ics").arg(at));
        file->setDescribed(cases[at].first, {QStringLiteral("Title")}, "listed");
        file->parses = true;
        file->hasEvents = true;
        EXPECT_EQ(plainOf(*file), cases[at].second);
        EXPECT_EQ(plainOf(ICalendarFile(*file)), cases[at].second);
        files.insert(file->fileName(), file);
    }
    ASSERT_TRUE(icalindex::saveIndex(m_folder, files));
    const std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
    ASSERT_TRUE(loaded);
    for (qsizetype at = 0; at < cases.size(); ++at) {
        SCOPED_TRACE(at);
        const std::shared_ptr<ICalendarFile> file = loaded->files.value(QStringLiteral("f%1.ics").arg(at));
        ASSERT_TRUE(file);
        EXPECT_EQ(plainOf(*file), cases[at].second);
        file->setFileName(QStringLiteral("renamed.ics"));
        EXPECT_EQ(plainOf(*file), cases[at].second);
        file->setDescribed({QStringLiteral("other")}, {}, "listed");
        EXPECT_EQ(plainOf(*file), std::optional<QByteArray>("other"));
    }
}

// Every number of an entry and its name come back as they were saved, whether the file is named after
// its one UID (its name then told from the UIDs) or not, and whether its change time is its
// modification time (the line writing the same digits twice) or not.
TEST_F(EKEventStoreIndexTest, AnEntrysNumbersAndNameComeBackAsSaved)
{
    struct Row
    {
        QString name;
        QStringList uids;
        qint64 modifiedNs;
        qint64 changedNs;
    };
    const qint64 late = 1797007447174206652;
    const Row rows[] = {
        {QStringLiteral("event-0.ics"), {QStringLiteral("event-0")}, late, late},
        {QStringLiteral("event-1.ics"), {QStringLiteral("event-1")}, late, late + 1},
        {QStringLiteral("event-2.ics"), {QStringLiteral("event-2")}, 5, 50},
        {QStringLiteral("other.ics"), {QStringLiteral("event-3")}, late, late},
        {QString::fromUtf8("\xc3\xa9t\xc3\xa9.ics"), {QString::fromUtf8("\xc3\xa9t\xc3\xa9")}, late, 0},
        {QStringLiteral("a%2Cb.ics"), {QStringLiteral("a"), QStringLiteral("b")}, 0, late},
    };
    icalindex::ICalendarFileTable files;
    qint64 number = 0;
    for (const Row &row : rows) {
        auto file = std::make_shared<ICalendarFile>();
        file->setFileName(row.name);
        file->setDescribed(row.uids, {QStringLiteral("Title")}, "listed");
        file->parses = file->hasEvents = true;
        file->size = ++number * 1000;
        file->inode = number;
        file->modifiedNs = row.modifiedNs;
        file->changedNs = row.changedNs;
        file->reachStart = -number * 86400;
        file->reachEnd = number * 86400;
        files.insert(row.name, file);
    }
    ASSERT_TRUE(icalindex::saveIndex(m_folder, files));
    const std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
    ASSERT_TRUE(loaded);
    number = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        const std::shared_ptr<ICalendarFile> file = loaded->files.value(row.name);
        ++number;
        ASSERT_TRUE(file);
        EXPECT_EQ(file->fileName(), row.name);
        EXPECT_EQ(file->uids(), row.uids);
        EXPECT_EQ(file->size, number * 1000);
        EXPECT_EQ(file->inode, number);
        EXPECT_EQ(file->modifiedNs, row.modifiedNs);
        EXPECT_EQ(file->changedNs, row.changedNs);
        EXPECT_EQ(file->reachStart, -number * 86400);
        EXPECT_EQ(file->reachEnd, number * 86400);
    }
}

// Names kept as UTF-8 are put in the order QString gives them, characters beyond U+FFFF (whose
// surrogates come first) beside those up to it included.
TEST(ICalendarFileNameTest, NamesAreOrderedAsTheirTextsAre)
{
    const QStringList names = {QString(), QStringLiteral("a"), QStringLiteral("ab"), QStringLiteral("b"),
                               QStringLiteral("A"), QStringLiteral("a%"), QString::fromUtf8("\xc3\xa9"),
                               QString(QChar(0xe000)), QString(QChar(0xfffd)), QStringLiteral("a") + QChar(0xffee),
                               QString::fromUcs4(U"\U0001F600"), QString::fromUcs4(U"a\U00010000"),
                               QString::fromUcs4(U"a\U00010001b"), QString::fromUcs4(U"\u07ff\u0800")};
    for (const QString &left : names) {
        for (const QString &right : names) {
            ICalendarFile first;
            ICalendarFile second;
            first.setFileName(left);
            second.setFileName(right);
            EXPECT_EQ(first.fileName(), left);
            EXPECT_EQ(ICalendarFile::isNamedBefore(first, second), left < right) << left.toStdString() << " "
                                                                                 << right.toStdString();
        }
    }
}

// An index of many entries of many lengths in two blocks, each entry in turn damaged: its checksum
// no longer holding, alone or before or after a line that is not one of ours at all. The index is
// refused whole and the log names the first damaged line, whichever lines are checked with it.
TEST_F(EKEventStoreIndexTest, EveryDamagedLineOfALongIndexIsTheOneLogged)
{
    const QByteArray good = indexOfOursAndTheirs();
    const QByteArray theirsLine = good.mid(good.indexOf("theirs.ics"));
    const QByteArray rest = theirsLine.left(theirsLine.lastIndexOf('\t')).mid(10);
    constexpr int kEntries = 13;
    constexpr int kFirstBlock = 6;
    QByteArrayList lines;
    for (int entry = 0; entry < kEntries; ++entry) {
        if (entry == kFirstBlock)
            lines.append("END " + QByteArray::number(kFirstBlock));
        lines.append(indexSigned("e" + QByteArray(entry * 3, char('a' + entry)) + ".ics" + rest));
    }
    lines.append("END " + QByteArray::number(kEntries - kFirstBlock));
    const auto indexOf = [](const QByteArrayList &indexLines) { return kIndexHeader + indexLines.join('\n') + '\n'; };
    const QString path = root() + QStringLiteral("/.work.hmindex");
    // What loading the index gives, and what it logs.
    const auto load = [&](const QByteArray &bytes) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        QTemporaryFile logFile;
        EXPECT_TRUE(logFile.open());
        const int previous = platform::setConsoleLogDescriptor(logFile.handle());
        const std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
        platform::setConsoleLogDescriptor(previous);
        QFile log(logFile.fileName());
        EXPECT_TRUE(log.open(QIODevice::ReadOnly));
        return std::pair(loaded ? loaded->files.size() : -1, QString::fromUtf8(log.readAll()));
    };
    ASSERT_EQ(load(indexOf(lines)).first, kEntries);
    for (qsizetype damaged = 0; damaged < lines.size(); ++damaged) {
        if (lines[damaged].startsWith("END "))
            continue;
        SCOPED_TRACE(damaged);
        QByteArrayList withWrongChecksum = lines;
        withWrongChecksum[damaged].replace(".ics", ".icz");
        const QString expected = damaged == 0 ? QStringLiteral("not a whole index of ours")
                                              : QStringLiteral("line %1 is damaged").arg(damaged + 1);
        const auto [count, log] = load(indexOf(withWrongChecksum));
        EXPECT_EQ(count, -1);
        EXPECT_TRUE(log.contains(expected)) << log.toStdString();
        for (qsizetype later = damaged + 1; later < lines.size(); ++later) {
            QByteArrayList twice = withWrongChecksum;
            twice[later] = twice[later].startsWith("END ") ? "END 99" : indexSigned("x\ty");
            const auto [laterCount, laterLog] = load(indexOf(twice));
            EXPECT_EQ(laterCount, -1);
            EXPECT_TRUE(laterLog.contains(expected)) << later << ": " << laterLog.toStdString();
            QByteArrayList unreadable = lines;
            unreadable[damaged] = indexSigned("x\ty");
            unreadable[later].replace(".ics", ".icz");
            EXPECT_TRUE(load(indexOf(unreadable)).second.contains(expected)) << "unreadable, then " << later;
        }
    }
}

// An entry's name is read as it stands or unescaped, and refused for a slash, a NUL, bytes that are
// not UTF-8 or an escape cut short wherever the byte lies: in the first sixteen bytes, at their end,
// at the start of the next sixteen, or in the bytes after the last whole sixteen.
TEST_F(EKEventStoreIndexTest, AnEntrysNameIsCheckedWhereverItsBytesLie)
{
    const QByteArray good = indexOfOursAndTheirs();
    const QByteArray theirsLine = good.mid(good.indexOf("theirs.ics"));
    const QByteArray rest = theirsLine.left(theirsLine.lastIndexOf('\t')).mid(10);
    const struct
    {
        QByteArray field;
        std::optional<QString> name;
    } rows[] = {
        {"theirs.ics", QStringLiteral("theirs.ics")},
        {"a-name-longer-than-thirty-two-bytes.ics", QStringLiteral("a-name-longer-than-thirty-two-bytes.ics")},
        {"Gr\xc3\xbc\xc3\x9f"
         "e-as-it-stands-beyond-sixteen.ics",
         QStringLiteral("Grüße-as-it-stands-beyond-sixteen.ics")},
        {"Gr%C3%BC%C3%9Fe-escaped-beyond-sixteen.ics", QStringLiteral("Grüße-escaped-beyond-sixteen.ics")},
        {"a-name-fifteen-%2Fx.ics", std::nullopt},
        {"/a-name.ics", std::nullopt},
        {"a-name-fifteen/x.ics", std::nullopt},
        {"a-name-fifteen-/x.ics", std::nullopt},
        {"a/name-before-the-next-sixteen-and-its-tail.ics", std::nullopt},
        {QByteArray("a\0name-before-the-next-sixteen-and-its-tail.ics", 48), std::nullopt},
        {"a\xffname-before-the-next-sixteen-and-its-tail.ics", std::nullopt},
        {"a%2Fname-before-the-next-sixteen-and-its-tail.ics", std::nullopt},
        {"a%zname-before-the-next-sixteen-and-its-tail.ics", std::nullopt},
        {"a-name-longer-than-thirty-two/x", std::nullopt},
        {QByteArray("a-name-fifteen-\0x.ics", 22), std::nullopt},
        {QByteArray("a-name-longer-than-thirty-two-by\0", 34), std::nullopt},
        {"a-name-fifteen-\xffx.ics", std::nullopt},
        {"a-name-longer-than-thirty-two-by\xc3", std::nullopt},
        {"a-name-fifteen-%4", std::nullopt},
        {"a-name-longer-than-thirty-two-by%", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.field.toStdString());
        QFile file(root() + QStringLiteral("/.work.hmindex"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(kIndexHeader + indexSigned(row.field + rest) + "\nEND 1\n");
        file.close();
        const std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
        ASSERT_EQ(loaded.has_value(), row.name.has_value());
        if (loaded) {
            EXPECT_EQ(loaded->files.keys(), QStringList{*row.name});
        }
    }
}

// An index, whole and signed, that tells of a file whose name holds no item (here a copy of an
// event's file) or of a file no longer there, lists neither.
TEST_F(EKEventStoreIndexTest, AnIndexEntryForNoItemFileListsNothing)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    const QString theirs = m_folder + QStringLiteral("/theirs.ics");
    writeAsOtherProgram(theirs, calendarText(eventText("theirs", "Theirs", "20260303T090000Z")));
    ASSERT_EQ(titlesInStore(), QStringList{"Theirs"});
    m_store.reset();
    const QByteArrayList good = readAll(index).split('\n').value(1).split('\t');
    ASSERT_EQ(good.size(), 12);
    const QString notes = m_folder + QStringLiteral("/notes.txt");
    ASSERT_TRUE(QFile::copy(theirs, notes));
    ASSERT_TRUE(QFile::remove(theirs));
    m_store = eventStore();
    ASSERT_EQ(titlesInStore(), QStringList());
    m_store.reset();

    // The entries as the index writes them, for the copy and for the removed file.
    const auto entryFor = [&](const QString &path, const FileStatus &status) {
        QByteArrayList fields = good.mid(0, 11);
        fields[0] = QFileInfo(path).fileName().toUtf8();
        fields[1] = QByteArray::number(status.size);
        fields[2] = QByteArray::number(status.modifiedNs);
        fields[3] = QByteArray::number(status.inode);
        fields[4] = QByteArray::number(status.changedNs);
        return indexSigned(fields.join('\t')) + '\n';
    };
    const FileStatus removed{good[1].toLongLong(), good[2].toLongLong(), good[3].toLongLong(), good[4].toLongLong(), 0};
    writeAsOtherProgram(index, kIndexHeader + entryFor(notes, statusOf(notes)) + entryFor(theirs, removed) + "END 2\n");
    m_store = eventStore();
    EXPECT_EQ(titlesInStore(), QStringList());
    EXPECT_TRUE(QFile::exists(notes)) << "left alone";
}

// Between runs another program adds, replaces, rewrites in place and removes files; the next run's
// store sees each change, however the index described the folder.
TEST_F(EKEventStoreIndexTest, ChangesBetweenRunsAreSeenDespiteTheIndex)
{
    for (int index = 0; index < 5; ++index)
        saveOurEvent(QStringLiteral("Ours %1").arg(index), "2026-03-02 09:00");
    m_store.reset();
    const QStringList ours = itemFiles(m_folder);
    ASSERT_EQ(ours.size(), 5);
    QStringList titles;
    for (const QString &name : ours) {
        const QByteArray bytes = readAll(m_folder + QLatin1Char('/') + name);
        const qsizetype at = bytes.indexOf("SUMMARY:") + 8;
        titles.append(QString::fromUtf8(bytes.mid(at, bytes.indexOf('\r', at) - at)));
    }

    writeAsOtherProgram(m_folder + QStringLiteral("/added.ics"),
                        calendarText(eventText("added", "Added", "20260303T090000Z")));
    const QByteArray replaced =
        readAll(m_folder + QLatin1Char('/') + ours[0]).replace(titles[0].toUtf8(), titles[0].toUtf8() + " replaced");
    writeAsOtherProgram(m_folder + QLatin1Char('/') + ours[0], replaced);
    {
        // The same length, written into the same file: only its times tell.
        QFile inPlace(m_folder + QLatin1Char('/') + ours[1]);
        ASSERT_TRUE(inPlace.open(QIODevice::ReadWrite));
        QByteArray bytes = inPlace.readAll();
        const qsizetype at = bytes.indexOf("SUMMARY:Ours ");
        ASSERT_GE(at, 0);
        bytes[at + 8] = 'X';
        inPlace.seek(0);
        inPlace.write(bytes);
    }
    ASSERT_TRUE(QFile::remove(m_folder + QLatin1Char('/') + ours[2]));

    m_store = eventStore();
    QStringList expected{"Added", titles[0] + " replaced", QLatin1Char('X') + titles[1].mid(1), titles[3], titles[4]};
    expected.sort();
    EXPECT_EQ(titlesInStore(), expected);
}

// A writer killed at any point leaves a folder whose next reader lists every event exactly once,
// with or without an index, a stale one included.
// Letting the store go after every save adds a block to the index each time; after every 17th it
// writes the index whole.
class EKEventStoreKilledWriterTest : public EKEventStoreIndexTest, public testing::WithParamInterface<int>
{
};

TEST_P(EKEventStoreKilledWriterTest, AWriterKilledMidwayLeavesEveryEventOnceForTheNextRun)
{
    const int resetEvery = GetParam();
    for (int index = 0; index < 3; ++index)
        saveOurEvent(QStringLiteral("Event %1").arg(index), "2026-03-02 09:00");
    m_store.reset(); // leaves an index of three files
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto store = eventStore();
        for (int index = 3; index < 100000; ++index) {
            auto event = EKEvent::eventWithEventStore(store);
            event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
            event->setTitle(QStringLiteral("Event %1").arg(index));
            event->setStartDate(at("2026-03-16 10:00").addSecs(qint64(index) * 60));
            if (!store->saveEvent(event, EKSpan::ThisEvent, index % 5 == 0).ok())
                ::_exit(1);
            if (index % resetEvery == 0)
                store->reset(); // its folder objects save their index on the way out
        }
        ::_exit(0);
    }
    // A writer that lets its folder go after many files has saved them in an index written whole.
    const qsizetype enough = resetEvery > 60 ? resetEvery + 50 : 60;
    const bool wroteEnough = testsupport::waitUntil([&] { return itemFiles(m_folder).size() >= enough; },
                                                       std::chrono::seconds(120));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(wroteEnough);

    const QStringList files = itemFiles(m_folder);
    m_store = eventStore();
    const QStringList titles = titlesOf(m_store->eventsMatchingPredicate(
        m_store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2030-01-01 00:00"), {})));
    EXPECT_EQ(titles.size(), files.size());
    EXPECT_EQ(QSet<QString>(titles.begin(), titles.end()).size(), titles.size());
    for (int index = 0; index < titles.size(); ++index)
        EXPECT_TRUE(titles.contains(QStringLiteral("Event %1").arg(index))) << index;
}

INSTANTIATE_TEST_SUITE_P(SavingTheIndex, EKEventStoreKilledWriterTest, testing::Values(1, 17, 1100));

// Every truncation of a good index and seeded byte flips in it: each question gets the answer the
// files give, asked first in a store of its own (by UID, by title, the whole listing).
TEST_F(EKEventStoreIndexTest, NoCutOrFlippedIndexChangesWhatIsRead)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    const QByteArray good = indexOfOursAndTheirs();
    ASSERT_FALSE(good.isEmpty());
    QList<QByteArray> variants;
    for (qsizetype length = 0; length < good.size(); ++length)
        variants.append(good.left(length));
    quint32 seed = 20261207;
    for (int flip = 0; flip < 150; ++flip) {
        seed = seed * 1664525u + 1013904223u;
        QByteArray bytes = good;
        bytes[qsizetype(seed % quint32(bytes.size()))] = char(seed >> 24);
        variants.append(bytes);
    }
    for (const QByteArray &bytes : std::as_const(variants)) {
        QFile file(index);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        ASSERT_NE(eventStore()->eventWithIdentifier(QStringLiteral("theirs")), nullptr) << bytes.toStdString();
        const auto store = eventStore();
        EKPredicate byTitle =
            store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {});
        byTitle.title = QStringLiteral("Theirs");
        ASSERT_EQ(titlesOf(store->eventsMatchingPredicate(byTitle)), QStringList{"Theirs"}) << bytes.toStdString();
        m_store = eventStore();
        ASSERT_EQ(titlesInStore(), (QStringList{"Ours", "Theirs"})) << bytes.toStdString();
        m_store.reset();
    }
}

// A run that finds the folders as the index tells them writes no index, an empty folder's included.
TEST_F(EKEventStoreIndexTest, ARunWithNothingNewWritesNoIndex)
{
    makeCalendarFolder(QStringLiteral("empty"), QStringLiteral("Empty"));
    ASSERT_FALSE(indexOfOursAndTheirs().isEmpty());
    const QStringList indexes{root() + QStringLiteral("/.work.hmindex"), root() + QStringLiteral("/.empty.hmindex")};
    QList<FileStatus> before;
    for (const QString &index : indexes)
        before.append(statusOf(index));
    for (int run = 0; run < 2; ++run) {
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), (QStringList{"Ours", "Theirs"}));
        EXPECT_EQ(m_store->calendarsForEntityType(EKEntityType::Reminder).size(), 1);
        m_store.reset();
    }
    for (qsizetype index = 0; index < indexes.size(); ++index) {
        const FileStatus after = statusOf(indexes[index]);
        EXPECT_EQ(after.inode, before[index].inode) << indexes[index].toStdString();
        EXPECT_EQ(after.modifiedNs, before[index].modifiedNs) << indexes[index].toStdString();
    }
}

// An index is written a few hundred entries at a time: one saved again from what was read of it holds
// the same bytes, however many pieces it took, and the save answers how many entries it wrote.
TEST_F(EKEventStoreIndexTest, AnIndexSavedInPiecesIsTheSameBytes)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    for (const int count : {0, 1, 511, 512, 513, 1300}) {
        SCOPED_TRACE(count);
        const QByteArray written = indexOfNumberedEvents("p", count);
        const std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
        ASSERT_TRUE(loaded);
        ASSERT_TRUE(QFile::remove(index));
        const Result<qsizetype> saved = icalindex::saveIndex(m_folder, loaded->files);
        ASSERT_TRUE(saved.ok());
        EXPECT_EQ(*saved, count);
        EXPECT_EQ(readAll(index), written);
        struct stat status = {};
        ASSERT_EQ(::stat(QFile::encodeName(index).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        ASSERT_TRUE(QDir(m_folder).removeRecursively() && QDir().mkpath(m_folder));
    }
}

// What a loaded index holds on the heap, in bytes: its entries and texts, as the allocator counts them.
qint64 heapHeldBy(const std::function<std::optional<icalindex::LoadedIndex>()> &load)
{
    const auto allocated = [] {
#if HM_HAS_ASAN
        return qint64(__sanitizer_get_current_allocated_bytes());
#else
        const struct mallinfo2 info = mallinfo2();
        return qint64(info.uordblks + info.hblkhd);
#endif
    };
    const qint64 before = allocated();
    const std::optional<icalindex::LoadedIndex> loaded = load();
    const qint64 held = allocated() - before;
    EXPECT_TRUE(loaded);
    return held;
}

// An index that a run added a block to holds about what the same index written whole holds: its
// entries are given room for every line at once, not grown one by one (which doubles their room
// past what they need, and holds both rooms while it copies).
TEST_F(EKEventStoreIndexTest, AnIndexWithAnAddedBlockLoadsIntoNoMoreRoomThanWhole)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    constexpr int kCount = 1100; // past a power of two: grown one by one, the room would be 2048
    const QByteArray whole = indexOfNumberedEvents("r", kCount);
    ASSERT_TRUE(whole.endsWith("\nEND " + QByteArray::number(kCount) + "\n"));
    const qint64 wholeHeld = heapHeldBy([&] { return icalindex::loadIndex(m_folder); });

    // The same entries, the last one given again in a block of its own.
    writeAsOtherProgram(index, whole + entryOf(whole, QStringLiteral("r999.ics")) + "END 1\n");
    const std::optional<icalindex::LoadedIndex> added = icalindex::loadIndex(m_folder);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->files.size(), kCount);
    EXPECT_EQ(added->entryLines, kCount + 1);
    const qint64 addedHeld = heapHeldBy([&] { return icalindex::loadIndex(m_folder); });
    EXPECT_LT(addedHeld, wholeHeld + wholeHeld / 20) << wholeHeld;
}

// Each entry's name is decoded where its line lay, beside its texts: names and titles with escapes,
// of every length, read back as written and saved again as the same bytes.
TEST_F(EKEventStoreIndexTest, EscapedNamesAndTextsReadBackWhereTheirLinesLay)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    QStringList names{QStringLiteral("100%.ics"), QStringLiteral("Grüße und Café.ics"), QStringLiteral("a.ics"),
                      QStringLiteral("%41%.ics"), QStringLiteral("tab\tin name.ics")};
    for (int length = 1; length <= 40; length += 13)
        names.append(QString(length, QChar(0x00e9)) + QStringLiteral(".ics"));
    const auto uidOf = [&names](const QString &name) { return QStringLiteral("u%1%").arg(names.indexOf(name)); };
    const auto titleOf = [](const QString &name) { return name.chopped(4) + QStringLiteral(" - 50% off"); };
    for (const QString &name : std::as_const(names)) {
        writeAsOtherProgram(m_folder + QLatin1Char('/') + name,
                            calendarText(eventText(uidOf(name).toUtf8(), titleOf(name).toUtf8(), "20260303T090000Z")));
    }
    m_store = eventStore();
    EXPECT_EQ(titlesInStore().size(), names.size());
    m_store.reset();
    const QByteArray written = readAll(index);
    const std::optional<icalindex::LoadedIndex> loaded = icalindex::loadIndex(m_folder);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->files.size(), names.size());
    for (const QString &name : std::as_const(names)) {
        const std::shared_ptr<ICalendarFile> entry = loaded->files.value(name);
        ASSERT_TRUE(entry) << name.toStdString();
        EXPECT_EQ(entry->fileName(), name);
        EXPECT_EQ(entry->fileNameUtf8(), name.toUtf8());
        EXPECT_EQ(entry->uids(), QStringList{uidOf(name)});
        EXPECT_EQ(entry->titles(), QStringList{titleOf(name)});
        EXPECT_FALSE(entry->listedEvent().isEmpty());
    }
    ASSERT_TRUE(QFile::remove(index));
    ASSERT_TRUE(icalindex::saveIndex(m_folder, loaded->files).ok());
    EXPECT_EQ(readAll(index), written);
}

// A run that changes one of many files adds a block of its entry to the index, leaving what was
// there as it was; once the entries replaced so pass a quarter of the files, the index is written
// whole again, as a run without an index writes it. An index another program replaced meanwhile is
// written whole too, not added to.
TEST_F(EKEventStoreIndexTest, AFewChangesAreAddedToTheIndexUntilItIsWrittenWhole)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    const auto fileName = [](int number) { return QStringLiteral("f%1.ics").arg(number, 2, 10, QLatin1Char('0')); };
    const auto writeEvent = [&](int number, const QByteArray &title) {
        writeAsOtherProgram(m_folder + QLatin1Char('/') + fileName(number),
                            calendarText(eventText("f" + QByteArray::number(number), title, "20260303T090000Z")));
    };
    // A run lists the folder and lets it go; the index it leaves.
    const auto run = [&](qsizetype eventCount) {
        m_store = eventStore();
        EXPECT_EQ(titlesInStore().size(), eventCount);
        m_store.reset();
        return readAll(index);
    };
    // The index a run with no index writes, whole; then the index as it was.
    const auto wholeIndex = [&](const QByteArray &current, qsizetype eventCount) {
        EXPECT_TRUE(QFile::remove(index));
        const QByteArray whole = run(eventCount);
        writeAsOtherProgram(index, current);
        return whole;
    };
    for (int number = 0; number < 16; ++number)
        writeEvent(number, "Event");
    QByteArray before = run(16);
    ASSERT_TRUE(before.startsWith(kIndexHeader) && before.endsWith("\nEND 16\n")) << before.toStdString();
    for (int change = 0; change < 5; ++change) {
        SCOPED_TRACE(change);
        writeEvent(change, "Changed " + QByteArray::number(change));
        const FileStatus statusBefore = statusOf(index);
        const QByteArray after = run(16);
        const FileStatus statusAfter = statusOf(index);
        const QByteArray whole = wholeIndex(after, 16);
        if (change < 4) {
            EXPECT_EQ(after, before + entryOf(whole, fileName(change)) + "END 1\n");
            EXPECT_EQ(statusAfter.inode, statusBefore.inode) << "added to in place";
        } else {
            EXPECT_EQ(after, whole) << "five of sixteen replaced";
        }
        before = after;
    }
    m_store = eventStore();
    saveOurEvent(QStringLiteral("Ours"), "2026-03-02 09:00");
    writeAsOtherProgram(index, before);
    m_store.reset();
    const QByteArray after = readAll(index);
    EXPECT_EQ(after, wholeIndex(after, 17));
}

// A run that writes more files than a block may add (a first sync) leaves the index whole, telling
// each of them once; the next run's few changes are added to it again.
TEST_F(EKEventStoreIndexTest, ARunWritingManyFilesLeavesTheIndexWholeAndTheNextAddsToIt)
{
    const QString index = root() + QStringLiteral("/.work.hmindex");
    constexpr int kBefore = 3;
    constexpr int kEvents = 1100 + kBefore;
    for (int number = 0; number < kEvents; ++number) {
        saveOurEvent(QStringLiteral("Many %1").arg(number), "2026-03-02 09:00");
        if (number + 1 == kBefore) {
            m_store.reset(); // an index of the first few, whole, for the many to be added to
            ASSERT_TRUE(readAll(index).endsWith("\nEND " + QByteArray::number(kBefore) + '\n'));
            m_store = eventStore();
        }
    }
    m_store.reset();
    const QByteArray whole = readAll(index);
    ASSERT_TRUE(whole.startsWith(kIndexHeader)) << whole.left(64).toStdString();
    EXPECT_TRUE(whole.endsWith("\nEND " + QByteArray::number(kEvents) + '\n'));
    EXPECT_EQ(whole.count("\nEND "), 1);
    EXPECT_EQ(whole.count('\n'), kEvents + 2);

    m_store = eventStore();
    saveOurEvent(QStringLiteral("One more"), "2026-03-03 09:00");
    m_store.reset();
    const QByteArray after = readAll(index);
    EXPECT_TRUE(after.startsWith(whole));
    EXPECT_TRUE(after.endsWith("\nEND 1\n"));
    m_store = eventStore();
    const QStringList titles = titlesInStore();
    EXPECT_EQ(titles.size(), kEvents + 1);
    EXPECT_EQ(QSet<QString>(titles.cbegin(), titles.cend()).size(), kEvents + 1);
}

// An item is looked for by its UID: the file named after the UID wins over another holding it too,
// and a file of that name holding another UID is passed over.
TEST_F(EKEventStoreIndexTest, AnItemIsFoundByUidInTheFileNamedAfterItFirst)
{
    struct Row
    {
        const char *name;
        QList<std::pair<QString, QByteArray>> files; // name, UID and title
        QString title;                                // of the event found for "u1"; empty: none
    };
    const Row rows[] = {
        {"its own file", {{"u1.ics", "u1"}}, "u1"},
        {"its own file and another", {{"a.ics", "u1"}, {"u1.ics", "u1"}, {"z.ics", "u1"}}, "u1"},
        {"another file only", {{"a.ics", "u1"}}, "a"},
        {"its file name holding another UID", {{"u1.ics", "u2"}, {"b.ics", "u1"}}, "b"},
        {"nowhere", {{"u1.ics", "u2"}}, QString()},
    };
    m_store.reset();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        for (const QString &name : itemFiles(m_folder))
            ASSERT_TRUE(QFile::remove(m_folder + QLatin1Char('/') + name));
        for (const auto &[name, uid] : row.files) {
            const QByteArray title = QFileInfo(name).baseName().toUtf8();
            writeAsOtherProgram(m_folder + QLatin1Char('/') + name,
                                calendarText(eventText(uid, title, "20260303T090000Z")));
        }
        const auto event = eventStore()->eventWithIdentifier(QStringLiteral("u1"));
        EXPECT_EQ(event ? event->title() : QString(), row.title);
    }
}

// A signed entry whose file status holds but whose UIDs, titles or listed event are not what the
// file holds (written by hand, or by a program that lies): no event is lost, doubled or made up,
// whether the listing reads the file or an item is asked for by its UID.
TEST_F(EKEventStoreIndexTest, AnEntryNotTellingItsFileIsMendedByReadingTheFile)
{
    const QByteArray good = indexOfOursAndTheirs();
    const QByteArray theirsEntry = entryOf(good, QStringLiteral("theirs.ics"));
    ASSERT_FALSE(theirsEntry.isEmpty());
    const QByteArrayList fields = theirsEntry.left(theirsEntry.lastIndexOf('\t')).split('\t');
    ASSERT_EQ(fields.size(), 11);
    struct Row
    {
        const char *name;
        QByteArray uids;
        QByteArray titles;
        bool keepsListed;
    };
    const Row rows[] = {
        {"another UID", "other", "Theirs", true},
        {"another UID, nothing listed", "other", "Theirs", false},
        {"two UIDs", "theirs,other", "Theirs", false},
        {"another title, nothing listed", "theirs", "Other", false},
        {"an escaped UID of its own", "%74heirs", "Theirs", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QByteArrayList lying = fields;
        lying[6] = row.uids;
        lying[7] = row.titles;
        lying[10] = row.keepsListed ? fields[10] : QByteArray();
        QByteArray bytes = good;
        writeAsOtherProgram(moveFolderForNewRun(), bytes.replace(theirsEntry, indexSigned(lying.join('\t')) + '\n'));
        const auto byUid = eventStore()->eventWithIdentifier(QStringLiteral("theirs"));
        EXPECT_EQ(byUid ? byUid->title() : QString(), QStringLiteral("Theirs"));
        EXPECT_EQ(eventStore()->eventWithIdentifier(QStringLiteral("other")), nullptr);
        m_store = eventStore();
        QStringList identifiers;
        for (const auto &event : m_store->eventsMatchingPredicate(
                 m_store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {})))
            identifiers.append(event->title() + QLatin1Char('=') + event->calendarItemIdentifier());
        identifiers.sort();
        ASSERT_EQ(identifiers.size(), 2);
        EXPECT_TRUE(identifiers[0].startsWith(QStringLiteral("Ours=")));
        EXPECT_EQ(identifiers[1], QStringLiteral("Theirs=theirs"));
        m_store.reset();
    }
}

// A new run's first look takes the index whole and looks at the files it tells of: changes made
// between runs that keep the number of item files, or that hide one behind a name no listing reads,
// are seen all the same.
TEST_F(EKEventStoreIndexTest, ANewRunSeesWhatChangedSinceTheIndex)
{
    const auto signedEntry = [](const QByteArray &entry, const QString &path) {
        QByteArrayList fields = entry.left(entry.lastIndexOf('\t')).split('\t');
        const FileStatus status = statusOf(path);
        fields[0] = QFile::encodeName(QFileInfo(path).fileName());
        fields[1] = QByteArray::number(status.size);
        fields[2] = QByteArray::number(status.modifiedNs);
        fields[3] = QByteArray::number(status.inode);
        fields[4] = QByteArray::number(status.changedNs);
        return indexSigned(fields.join('\t')) + '\n';
    };
    struct Row
    {
        const char *name;
        std::function<void(const QString &index)> change;
        QStringList titles;
    };
    const auto file = [this](const char *name) { return m_folder + QLatin1Char('/') + QLatin1String(name); };
    const auto write = [&](const char *name, const QByteArray &title) {
        writeAsOtherProgram(file(name),
                            calendarText(eventText(QByteArray(name).chopped(4), title, "20260303T090000Z")));
    };
    const Row rows[] = {
        {"nothing", [](const QString &) {}, {"A", "B"}},
        {"one added", [&](const QString &) { write("c.ics", "C"); }, {"A", "B", "C"}},
        {"one removed, one added",
         [&](const QString &) {
             ASSERT_TRUE(QFile::remove(file("b.ics")));
             write("c.ics", "C");
         },
         {"A", "C"}},
        {"one replaced", [&](const QString &) { write("b.ics", "B2"); }, {"A", "B2"}},
        {"one made a link",
         [&](const QString &) {
             ASSERT_TRUE(QFile::remove(file("b.ics")));
             ASSERT_TRUE(QFile::link(file("a.ics"), file("b.ics")));
         },
         {"A"}},
        {"one hidden behind a dot, one added",
         [&](const QString &index) {
             ASSERT_TRUE(QFile::rename(file("b.ics"), file(".b.ics")));
             write("c.ics", "C");
             QByteArray bytes = readAll(index);
             const QByteArray entry = entryOf(bytes, QStringLiteral("b.ics"));
             writeAsOtherProgram(index, bytes.replace(entry, signedEntry(entry, file(".b.ics"))));
         },
         {"A", "C"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QStringList earlier = itemFiles(m_folder) + QStringList{QStringLiteral(".b.ics")};
        for (const QString &name : earlier)
            QFile::remove(m_folder + QLatin1Char('/') + name);
        write("a.ics", "A");
        write("b.ics", "B");
        m_store = eventStore();
        ASSERT_EQ(titlesInStore(), (QStringList{"A", "B"}));
        m_store.reset();
        const QString index = moveFolderForNewRun();
        row.change(index);
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), row.titles);
        m_store.reset();
    }
}

// Files whose names go beyond ASCII are looked at by their names' bytes on disk, in the run that
// reads them and in the next one that knows them from the index; a change is seen in both. So are
// files named in ASCII of every length, and those whose names end in ".ics" in capitals. Each name is
// tried where its first character beyond ASCII lies among the eight looked at together, or after.
TEST_F(EKEventStoreIndexTest, FilesNamedBeyondAsciiAreLookedAtByTheirOwnNames)
{
    const QStringList beyondAscii{QStringLiteral("Grüße.ics"),
                                  QStringLiteral("日本 語.ics"),
                                  QStringLiteral("Ünter-eight.ics"),
                                  QStringLiteral("eight-ch-Ü.ics"),
                                  QStringLiteral("sixteen-charsXYZ-é.ics"),
                                  QStringLiteral("議事録-meeting-notes.ics")};
    QStringList ascii{QStringLiteral("UPPER.ICS"), QStringLiteral("Mixed.Ics")};
    for (int length = 1; length <= 20; ++length)
        ascii.append(QString(length, QLatin1Char('a' + length)) + QStringLiteral(".ics"));
    const auto write = [this](const QString &name, const QString &title) {
        writeAsOtherProgram(
            m_folder + QLatin1Char('/') + name,
            calendarText(eventText(QFileInfo(name).baseName().toUtf8(), title.toUtf8(), "20260303T090000Z")));
    };
    const auto titlesOfNames = [](const QStringList &names, const QString &suffix) {
        QStringList titles;
        for (const QString &name : names)
            titles.append(QFileInfo(name).baseName() + suffix);
        titles.sort();
        return titles;
    };
    for (const QStringList &names : {beyondAscii, ascii}) {
        SCOPED_TRACE(names.first().toStdString());
        for (const QString &name : itemFiles(m_folder))
            ASSERT_TRUE(QFile::remove(m_folder + QLatin1Char('/') + name));
        for (const QString &name : names)
            write(name, QFileInfo(name).baseName());
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), titlesOfNames(names, QString()));
        m_store.reset();
        moveFolderForNewRun();
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), titlesOfNames(names, QString()));
        for (const QString &name : names)
            write(name, QFileInfo(name).baseName() + QStringLiteral(" again"));
        EXPECT_EQ(titlesInStore(), titlesOfNames(names, QStringLiteral(" again")));
        QStringList sorted = names;
        sorted.sort();
        EXPECT_EQ(itemFiles(m_folder), sorted);
        m_store.reset();
        moveFolderForNewRun();
        m_store = eventStore();
        EXPECT_EQ(titlesInStore(), titlesOfNames(names, QStringLiteral(" again")));
    }
}

// A later whole look in the same run (a new store's) looks at the files the folder knows by their
// names: each change another program made since, the number of item files kept or not, is seen, and
// every event is listed once. Each row takes a folder of its own, looked at once before the change.
TEST_F(EKEventStoreIndexTest, ALaterWholeLookSeesEachChangeAmongTheKnownFiles)
{
    struct Row
    {
        const char *name;
        std::function<void(const QString &folder)> change;
        QStringList titles;
    };
    const auto write = [](const QString &folder, const char *name, const QByteArray &title) {
        writeAsOtherProgram(folder + QLatin1Char('/') + QLatin1String(name),
                            calendarText(eventText(QByteArray(name).chopped(4), title, "20260303T090000Z")));
    };
    const auto file = [](const QString &folder, const char *name) {
        return folder + QLatin1Char('/') + QLatin1String(name);
    };
    const Row rows[] = {
        {"nothing", [](const QString &) {}, {"A", "B"}},
        {"one rewritten in place, its size and modification time kept",
         [&](const QString &folder) {
             const QString path = file(folder, "b.ics");
             struct stat before = {};
             ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
             // File times come from a clock that moves in ticks: a change within the tick of the
             // look is told by no status. The rewrite waits for the next tick.
             const QString probe = file(folder, "probe");
             ASSERT_TRUE(testsupport::waitUntil([&] {
                 QFile(probe).open(QIODevice::WriteOnly | QIODevice::Truncate);
                 return statusOf(probe).changedNs > statusOf(path).changedNs;
             }));
             ASSERT_TRUE(QFile::remove(probe));
             QFile rewritten(path);
             ASSERT_TRUE(rewritten.open(QIODevice::ReadWrite));
             const QByteArray bytes = rewritten.readAll();
             ASSERT_TRUE(rewritten.seek(0));
             ASSERT_EQ(rewritten.write(QByteArray(bytes).replace("SUMMARY:B", "SUMMARY:X")), bytes.size());
             rewritten.close();
             const struct timespec times[2] = {before.st_atim, before.st_mtim};
             ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
         },
         {"A", "X"}},
        {"one replaced", [&](const QString &folder) { write(folder, "b.ics", "B2"); }, {"A", "B2"}},
        {"one removed, one added",
         [&](const QString &folder) {
             ASSERT_TRUE(QFile::remove(file(folder, "b.ics")));
             write(folder, "c.ics", "C");
         },
         {"A", "C"}},
        {"one added", [&](const QString &folder) { write(folder, "c.ics", "C"); }, {"A", "B", "C"}},
        {"one made a folder of its name",
         [&](const QString &folder) {
             ASSERT_TRUE(QFile::remove(file(folder, "b.ics")));
             ASSERT_TRUE(QDir(folder).mkdir(QStringLiteral("b.ics")));
         },
         {"A"}},
        {"one made a link to the other",
         [&](const QString &folder) {
             ASSERT_TRUE(QFile::remove(file(folder, "b.ics")));
             ASSERT_TRUE(QFile::link(file(folder, "a.ics"), file(folder, "b.ics")));
         },
         {"A"}},
        {"one hidden behind a dot, one added",
         [&](const QString &folder) {
             ASSERT_TRUE(QFile::rename(file(folder, "b.ics"), file(folder, ".b.ics")));
             write(folder, "c.ics", "C");
         },
         {"A", "C"}},
    };
    m_store.reset();
    ASSERT_TRUE(QDir(m_folder).removeRecursively());
    int number = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = makeCalendarFolder(QStringLiteral("later%1").arg(number++), QStringLiteral("Later"));
        write(folder, "a.ics", "A");
        write(folder, "b.ics", "B");
        m_store = eventStore();
        ASSERT_EQ(titlesInStore(), (QStringList{"A", "B"}));
        row.change(folder);
        const auto later = eventStore();
        EXPECT_EQ(titlesOf(later->eventsMatchingPredicate(
                      later->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {}))),
                  row.titles);
        EXPECT_EQ(titlesInStore(), row.titles) << "the store that looked first";
        m_store.reset();
        ASSERT_TRUE(QDir(folder).removeRecursively());
    }
}

// A listing made from the descriptions a new run took from the index reads them, whole, after the
// folder replaced them all with what another program wrote since: the texts they share live as long
// as the listing holds any of them.
TEST_F(EKEventStoreIndexTest, AListingKeepsTheDescriptionsItWasMadeFrom)
{
    const auto write = [this](const char *uid, const QByteArray &title) {
        writeAsOtherProgram(m_folder + QLatin1Char('/') + QLatin1String(uid) + QStringLiteral(".ics"),
                            calendarText(eventText(uid, title, "20260303T090000Z")));
    };
    write("a", "A");
    write("b", "B");
    ASSERT_EQ(titlesInStore(), (QStringList{"A", "B"}));
    m_store.reset();
    moveFolderForNewRun();
    m_store = eventStore();
    const EKEventSequence sequence = m_store->eventSequenceMatchingPredicate(
        m_store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {}));
    ASSERT_EQ(sequence.size(), 2);
    write("a", "A2");
    write("b", "B2");
    ASSERT_EQ(titlesInStore(), (QStringList{"A2", "B2"}));
    QStringList listed;
    QByteArray scratch;
    for (qsizetype index = 0; index < sequence.size(); ++index) {
        const std::optional<icallisted::ListedLook> look = sequence.lookAt(index, scratch);
        ASSERT_TRUE(look && look->title);
        listed.append(sequence.identifierAt(index) + QLatin1Char('=') + QString::fromUtf8(*look->title));
    }
    EXPECT_EQ(listed, (QStringList{"a=A", "b=B"}));
}

// One file holding many events, as a whole calendar exported: each is listed once, a series with its
// moved occurrence where it now lies, and a change to one event rewrites its lines only, every other
// byte of the file kept.
TEST_F(EKEventStoreIndexTest, AFileOfManyEventsListsEachOnceAndAChangeRewritesOnlyItsEvent)
{
    constexpr int kEvents = 400;
    QByteArray items;
    for (int index = 0; index < kEvents; ++index) {
        const QByteArray number = QByteArray::number(index);
        const QByteArray day = QByteArray::number(10 + index % 18);
        items += eventText("many-" + number, "Event " + number, "202603" + day + "T090000Z");
    }
    items += eventText("weekly", "Weekly", "20260302T120000Z", "RRULE:FREQ=WEEKLY;COUNT=3\r\n");
    items += eventText("weekly", "Weekly moved", "20260310T150000Z", "RECURRENCE-ID:20260309T120000Z\r\n");
    const QString path = m_folder + QStringLiteral("/all.ics");
    writeAsOtherProgram(path, calendarText(items));
    const QByteArray before = readAll(path);
    QStringList titles = titlesInStore();
    ASSERT_EQ(titles.size(), kEvents + 3);
    EXPECT_EQ(titles.count(QStringLiteral("Weekly")), 2);
    EXPECT_EQ(titles.count(QStringLiteral("Weekly moved")), 1);
    titles.removeDuplicates();
    EXPECT_EQ(titles.size(), kEvents + 2);
    const std::shared_ptr<EKEvent> event = m_store->eventWithIdentifier(QStringLiteral("many-123"));
    ASSERT_TRUE(event);
    event->setTitle(QStringLiteral("Changed"));
    ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, true).ok());
    // The file's text split at each event, the changed event's piece left out.
    const auto othersOf = [](const QByteArray &text) {
        QByteArrayList pieces = text.split('\n');
        QByteArrayList others;
        QByteArray piece;
        for (const QByteArray &line : pieces) {
            piece += line + '\n';
            if (line.startsWith("END:VEVENT") || line.startsWith("END:VCALENDAR")) {
                if (!piece.contains("UID:many-123\r"))
                    others.append(piece);
                piece.clear();
            }
        }
        return others;
    };
    const QByteArray after = readAll(path);
    EXPECT_EQ(othersOf(after), othersOf(before));
    EXPECT_EQ(othersOf(after).size(), kEvents + 2);
    EXPECT_TRUE(after.contains("SUMMARY:Changed\r\n"));
    EXPECT_TRUE(titlesInStore().contains(QStringLiteral("Changed")));
}

// A file whose name is still there but that no longer reads as a calendar (cut short, no regular
// file) keeps the UIDs it held, in this run and from the index in the next, so that its items are
// never taken for deleted; mended, it is read again, and only once its name is gone are they gone.
TEST_F(EKEventStoreIndexTest, ADamagedFileKeepsItsItemsUntilItIsMendedOrRemoved)
{
    const auto path = [this](const char *name) { return m_folder + QLatin1Char('/') + QLatin1String(name); };
    const auto write = [&](const char *uid, const QByteArray &title) {
        writeAsOtherProgram(path(uid) + QStringLiteral(".ics"),
                            calendarText(eventText(uid, title, "20260303T090000Z")));
    };
    const auto damaged = [this] {
        const QSet<QString> identifiers = m_store->damagedItemIdentifiers();
        QStringList sorted(identifiers.cbegin(), identifiers.cend());
        sorted.sort();
        return sorted;
    };
    write("a", "A");
    write("b", "B");
    write("c", "C");
    ASSERT_EQ(titlesInStore(), (QStringList{"A", "B", "C"}));
    const QByteArray text = readAll(path("b.ics"));
    writeAsOtherProgram(path("b.ics"), text.left(text.size() / 2));
    ASSERT_TRUE(QFile::remove(path("c.ics")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("c.ics")).constData(), 0600), 0);
    EXPECT_EQ(titlesInStore(), (QStringList{"A"}));
    EXPECT_EQ(damaged(), (QStringList{"b", "c"}));
    m_store.reset();
    moveFolderForNewRun();
    m_store = eventStore();
    EXPECT_EQ(titlesInStore(), (QStringList{"A"}));
    EXPECT_EQ(damaged(), (QStringList{"b", "c"}));
    write("b", "B2");
    ASSERT_TRUE(QFile::remove(path("c.ics")));
    EXPECT_EQ(titlesInStore(), (QStringList{"A", "B2"}));
    EXPECT_EQ(damaged(), QStringList());
    m_store.reset();
    moveFolderForNewRun();
    m_store = eventStore();
    EXPECT_EQ(titlesInStore(), (QStringList{"A", "B2"}));
    EXPECT_EQ(damaged(), QStringList());
}

// Index lines and listed events are split at their separators sixteen bytes at a time: every
// separator counts wherever it lies (in a block, across blocks, in the bytes after the last whole
// block), fields may be empty, and one separator more or less than the fields make is no text of ours.
TEST(ICalendarIndexFieldsTest, EverySeparatorSplitsWhereverItLies)
{
    const struct
    {
        const char *name;
        QByteArray text;
        std::optional<QList<QByteArray>> fields;
    } rows[] = {
        {"short", "a,b,c", QList<QByteArray>{"a", "b", "c"}},
        {"empty fields", ",,", QList<QByteArray>{"", "", ""}},
        {"at the block's last byte", QByteArray(15, 'x') + ",y,z", QList<QByteArray>{QByteArray(15, 'x'), "y", "z"}},
        {"at the next block's first byte", QByteArray(16, 'x') + ",y,z", QList<QByteArray>{QByteArray(16, 'x'), "y", "z"}},
        {"two in one block", "0123,56789,bcdef" + QByteArray(20, 'q'), QList<QByteArray>{"0123", "56789", "bcdef" + QByteArray(20, 'q')}},
        {"in the tail", QByteArray(32, 'x') + "abc,d,e", QList<QByteArray>{QByteArray(32, 'x') + "abc", "d", "e"}},
        {"last byte", QByteArray(31, 'x') + "," + ",", QList<QByteArray>{QByteArray(31, 'x'), "", ""}},
        {"one too few", QByteArray(40, 'x') + ",y", std::nullopt},
        {"one too many in a block", "a,b,c," + QByteArray(20, 'x'), std::nullopt},
        {"one too many in the tail", QByteArray(16, 'x') + "a,b,c,", std::nullopt},
        {"none", QByteArray(), std::nullopt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::array<QByteArrayView, 3> fields;
        const bool split = icalindex::splitFields(row.text, ',', fields);
        ASSERT_EQ(split, row.fields.has_value());
        for (std::size_t at = 0; split && at < fields.size(); ++at)
            EXPECT_EQ(fields[at].toByteArray(), row.fields->at(qsizetype(at))) << at;
    }
}

// The index's numbers are read as written and nothing else: every length of digits up to 19 and
// past it, signed or not, at the 64-bit bounds, and with a byte that is no digit at every position
// (bytes just beside the digits, a sign, a space, a NUL, a digit with its high bit set). A reading
// of each text by the standard library, of digits alone, says what it holds.
// A file's one UID is taken as its bytes only when they need no decoding: plain ASCII before the
// tab, with no escape and no comma (a second UID); any other items field gives none.
TEST(ICalendarIndexFieldsTest, APlainSingleUidIsOnlyOneThatNeedsNoDecoding)
{
    using icalindex::plainSingleUid;
    EXPECT_EQ(plainSingleUid("event-1\tReview 1"), std::optional<QByteArrayView>("event-1"));
    EXPECT_EQ(plainSingleUid("a\t"), std::optional<QByteArrayView>("a"));
    EXPECT_EQ(plainSingleUid("a,b\tT"), std::nullopt) << "two UIDs";
    EXPECT_EQ(plainSingleUid("a%2Cb\tT"), std::nullopt) << "an escape";
    EXPECT_EQ(plainSingleUid("caf\xc3\xa9\tT"), std::nullopt) << "beyond ASCII";
    EXPECT_EQ(plainSingleUid("\tT"), std::nullopt) << "no UID";
    EXPECT_EQ(plainSingleUid("event-1"), std::nullopt) << "no tab";
    EXPECT_EQ(plainSingleUid(""), std::nullopt);
    // Only the bytes before the tab count: the titles may hold anything.
    EXPECT_EQ(plainSingleUid("u\ta,b%\xff"), std::optional<QByteArrayView>("u"));
}

TEST(ICalendarIndexFieldsTest, DecimalsAreReadAsWrittenAndNothingElse)
{
    const auto expected = [](const QByteArray &text) -> std::optional<qint64> {
        const QByteArray digits = text.startsWith('-') ? text.mid(1) : text;
        const bool onlyDigits =
            std::all_of(digits.begin(), digits.end(), [](char byte) { return byte >= '0' && byte <= '9'; });
        qint64 value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (digits.isEmpty() || digits.size() > 19 || !onlyDigits || error != std::errc() ||
            end != text.data() + text.size())
            return std::nullopt;
        return value;
    };
    QList<QByteArray> texts{"",
                            "-",
                            "0",
                            "-0",
                            "9223372036854775807",
                            "9223372036854775808",
                            "-9223372036854775808",
                            "-9223372036854775809",
                            "9999999999999999999",
                            "18446744073709551615",
                            "00000000000000000001",
                            "000000000000000000001"};
    quint32 seed = 20261208;
    const char others[] = {'/', ':', ' ', '-', '+', '\0', char(0xb0), char(0x80), '?', 'a'};
    for (int length = 1; length <= 21; ++length) {
        for (int sample = 0; sample < 40; ++sample) {
            QByteArray digits(length, '0');
            for (char &digit : digits) {
                seed = seed * 1664525u + 1013904223u;
                digit = char('0' + (seed >> 24) % 10);
            }
            texts << digits << '-' + digits;
            for (int at = 0; at < length; ++at) {
                for (const char other : others) {
                    QByteArray changed = digits;
                    changed[at] = other;
                    texts << changed;
                }
            }
        }
    }
    for (const QByteArray &text : std::as_const(texts)) {
        qint64 value = -1;
        const bool isRead = icalindex::readDecimal(text, value);
        ASSERT_EQ(isRead ? std::optional(value) : std::nullopt, expected(text)) << text.toHex().toStdString();
        ASSERT_EQ(value, expected(text).value_or(0)) << text.toHex().toStdString();
    }
}

// Saves without commit into one file of many events (a phone's changes applied to an exported
// calendar) leave the file as it is until the commit, while every store of the process sees them;
// the commit writes the file once, with each change, every other event byte for byte.
TEST_F(EKEventStoreIndexTest, SavesWithoutCommitWriteAFileOfManyEventsOnceAtTheCommit)
{
    constexpr int kEvents = 200;
    QByteArray items;
    for (int index = 0; index < kEvents; ++index) {
        const QByteArray number = QByteArray::number(index);
        items += eventText("many-" + number, "Event " + number, "202603" + QByteArray::number(10 + index % 18) + "T090000Z");
    }
    const QString path = m_folder + QStringLiteral("/all.ics");
    writeAsOtherProgram(path, calendarText(items));
    const QByteArray before = readAll(path);
    const FileStatus status = statusOf(path);
    ASSERT_EQ(titlesInStore().size(), kEvents);
    for (int index = 0; index < 10; ++index) {
        const std::shared_ptr<EKEvent> event = m_store->eventWithIdentifier(QStringLiteral("many-%1").arg(index * 20));
        ASSERT_TRUE(event);
        event->setTitle(QStringLiteral("Changed %1").arg(index));
        ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, false).ok());
        // What a save gave back is what the next one changes again.
        ASSERT_EQ(m_store->knownEventWithIdentifier(event->eventIdentifier())->title(), event->title());
    }
    ASSERT_TRUE(m_store->removeEvent(m_store->eventWithIdentifier(QStringLiteral("many-199")), EKSpan::ThisEvent, false));
    EXPECT_EQ(readAll(path), before) << "the file was written before the commit";
    EXPECT_EQ(statusOf(path).inode, status.inode);
    const QStringList staged = titlesOf(eventStore()->eventsMatchingPredicate(
        m_store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {})));
    EXPECT_EQ(staged.size(), kEvents - 1);
    EXPECT_EQ(staged.filter(QStringLiteral("Changed")).size(), 10);
    EXPECT_FALSE(staged.contains(QStringLiteral("Event 199")));

    ASSERT_TRUE(eventStore()->commit().ok());
    const QByteArray after = readAll(path);
    EXPECT_EQ(after.count("BEGIN:VEVENT"), kEvents - 1);
    EXPECT_EQ(after.count("SUMMARY:Changed "), 10);
    EXPECT_FALSE(after.contains("UID:many-199\r\n"));
    // Every event the saves left alone keeps its bytes.
    for (const int index : {1, 57, 198}) {
        const QByteArray text = eventText("many-" + QByteArray::number(index), "Event " + QByteArray::number(index),
                                          "202603" + QByteArray::number(10 + index % 18) + "T090000Z");
        EXPECT_TRUE(after.contains(text)) << index;
    }
    EXPECT_EQ(titlesInStore(), staged);
    m_store.reset();
    EXPECT_EQ(titlesOf(eventStore()->eventsMatchingPredicate(eventStore()->predicateForEventsWithStartDate(
                  at("2026-01-01 00:00"), at("2027-01-01 00:00"), {}))),
              staged);
}

// The changes after the first to a staged file are made in its tree itself: each lookup between
// them (by UID, by title, a listing, another store, the reminders) sees the file as the changes left
// it; a series' occurrence detached and another removed, an event removed and one moved to another
// calendar (written there at once, alone: the file's other items stay where they are) come out once
// each at the commit, the rest byte for byte.
TEST_F(EKEventStoreIndexTest, ChangesInAStagedFileAreSeenByEveryLookupAndWrittenOnce)
{
    QByteArray items = eventText("series", "Weekly", "20260302T090000Z", "RRULE:FREQ=WEEKLY;COUNT=6\r\n") +
                       "BEGIN:VTODO\r\nUID:todo\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:Call back\r\nEND:VTODO\r\n";
    for (int index = 0; index < 30; ++index) {
        const QByteArray number = QByteArray::number(index);
        items += eventText("e" + number, "Event " + number, "202604" + QByteArray::number(10 + index % 18) + "T090000Z");
    }
    const QString path = m_folder + QStringLiteral("/all.ics");
    writeAsOtherProgram(path, calendarText(items));
    const QByteArray before = readAll(path);
    const QString home = makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    ASSERT_EQ(titlesInStore().size(), 36);
    const auto retitle = [this](const char *uid, const QString &title) {
        const std::shared_ptr<EKEvent> event = m_store->eventWithIdentifier(QLatin1String(uid));
        ASSERT_TRUE(event) << uid;
        event->setTitle(title);
        ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, false).ok()) << uid;
    };
    retitle("e0", QStringLiteral("First change"));
    retitle("e1", QStringLiteral("Renamed"));
    EKPredicate byTitle = m_store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {});
    byTitle.title = QStringLiteral("Renamed");
    EXPECT_TRUE(titlesOf(m_store->eventsMatchingPredicate(byTitle)).contains(QStringLiteral("Renamed")));
    retitle("e1", QStringLiteral("Renamed twice"));
    EXPECT_EQ(m_store->knownEventWithIdentifier(QStringLiteral("e1"))->title(), QStringLiteral("Renamed twice"));

    // The third occurrence of the series moves an hour, the fourth goes.
    const EKPredicate march = m_store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {});
    QList<std::shared_ptr<EKEvent>> weekly = m_store->eventsMatchingPredicate(march);
    ASSERT_EQ(weekly.size(), 5);
    weekly[2]->setTitle(QStringLiteral("Weekly moved"));
    weekly[2]->setStartDate(weekly[2]->startDate().addSecs(3600));
    weekly[2]->setEndDate(weekly[2]->endDate().addSecs(3600));
    ASSERT_TRUE(m_store->saveEvent(weekly[2], EKSpan::ThisEvent, false).ok());
    ASSERT_TRUE(m_store->removeEvent(weekly[3], EKSpan::ThisEvent, false).ok());
    ASSERT_TRUE(m_store->removeEvent(m_store->eventWithIdentifier(QStringLiteral("e2")), EKSpan::ThisEvent, false));
    EXPECT_FALSE(m_store->knownEventWithIdentifier(QStringLiteral("e2")));
    const std::shared_ptr<EKEvent> moving = m_store->eventWithIdentifier(QStringLiteral("e3"));
    moving->setCalendar(m_store->calendarWithIdentifier(QStringLiteral("home")));
    ASSERT_TRUE(m_store->saveEvent(moving, EKSpan::ThisEvent, false).ok());
    QList<std::shared_ptr<EKReminder>> reminders =
        m_store->remindersMatchingPredicate(m_store->predicateForRemindersInCalendars({}));
    ASSERT_EQ(reminders.size(), 1);
    reminders[0]->setTitle(QStringLiteral("Called back"));
    ASSERT_TRUE(m_store->saveReminder(reminders[0], false).ok());
    EXPECT_EQ(readAll(path), before) << "the file was written before the commit";

    const auto seen = [&](const std::shared_ptr<EKEventStore> &store) {
        SCOPED_TRACE("seen");
        QStringList series = titlesOf(store->eventsMatchingPredicate(march));
        series.sort();
        EXPECT_EQ(series, (QStringList{"Weekly", "Weekly", "Weekly", "Weekly moved"}));
        const QStringList titles = titlesOf(store->eventsMatchingPredicate(
            store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {})));
        EXPECT_EQ(titles.size(), 34);
        EXPECT_EQ(titles.count(QStringLiteral("Renamed twice")), 1);
        EXPECT_EQ(titles.count(QStringLiteral("Event 3")), 1);
        EXPECT_FALSE(titles.contains(QStringLiteral("Event 2")));
        EXPECT_EQ(titlesOf(store->eventsMatchingPredicate(byTitle)), QStringList{});
        const QList<std::shared_ptr<EKReminder>> todos =
            store->remindersMatchingPredicate(store->predicateForRemindersInCalendars({}));
        ASSERT_EQ(todos.size(), 1);
        EXPECT_EQ(todos[0]->title(), QStringLiteral("Called back"));
    };
    seen(m_store);
    seen(eventStore());

    ASSERT_TRUE(m_store->commit().ok());
    const QByteArray after = readAll(path);
    EXPECT_EQ(after.count("BEGIN:VEVENT"), 30) << after.constData();
    EXPECT_EQ(after.count("RECURRENCE-ID"), 1);
    EXPECT_EQ(after.count("EXDATE"), 1);
    EXPECT_EQ(after.count("SUMMARY:Renamed twice\r\n"), 1);
    EXPECT_EQ(after.count("SUMMARY:Called back\r\n"), 1);
    EXPECT_FALSE(after.contains("UID:e2\r\n"));
    EXPECT_FALSE(after.contains("UID:e3\r\n"));
    for (const int index : {4, 17, 29})
        EXPECT_TRUE(before.contains(eventText("e" + QByteArray::number(index), "Event " + QByteArray::number(index),
                                              "202604" + QByteArray::number(10 + index % 18) + "T090000Z")));
    for (const int index : {4, 17, 29})
        EXPECT_TRUE(after.contains(eventText("e" + QByteArray::number(index), "Event " + QByteArray::number(index),
                                             "202604" + QByteArray::number(10 + index % 18) + "T090000Z")))
            << index;
    // The moved event takes its own items along, and nothing else of the file.
    const QByteArray moved = readAll(home + QStringLiteral("/e3.ics"));
    EXPECT_TRUE(moved.contains("SUMMARY:Event 3\r\n"));
    EXPECT_EQ(moved.count("BEGIN:VEVENT"), 1) << moved.constData();
    EXPECT_FALSE(moved.contains("BEGIN:VTODO"));
    m_store.reset();
    m_store = eventStore();
    seen(m_store);
}

// A file another program rewrites between the saves and the commit is not written over blindly:
// the commit lays the saved changes over its new version, event by event, so both keep theirs. One
// that no longer reads as a calendar is not written at all: the commit fails and its items are kept.
TEST_F(EKEventStoreIndexTest, TheCommitKeepsWhatAnotherProgramChangedInAStagedFile)
{
    QByteArray items;
    for (int index = 0; index < 8; ++index)
        items += eventText("e" + QByteArray::number(index), "Event " + QByteArray::number(index), "20260310T090000Z");
    const QString path = m_folder + QStringLiteral("/all.ics");
    writeAsOtherProgram(path, calendarText(items));
    ASSERT_EQ(titlesInStore().size(), 8);
    const auto changeTitle = [this](const char *uid, const QString &title) {
        const std::shared_ptr<EKEvent> event = m_store->eventWithIdentifier(QLatin1String(uid));
        ASSERT_TRUE(event);
        event->setTitle(title);
        ASSERT_TRUE(m_store->saveEvent(event, EKSpan::ThisEvent, false).ok());
    };
    changeTitle("e1", QStringLiteral("Ours"));
    ASSERT_TRUE(m_store->removeEvent(m_store->eventWithIdentifier(QStringLiteral("e2")), EKSpan::ThisEvent, false));
    // Another program changes another event, removes one and adds one.
    QByteArray theirs = QByteArray(items).replace("SUMMARY:Event 5\r\n", "SUMMARY:Theirs\r\n");
    theirs.remove(theirs.indexOf("BEGIN:VEVENT\r\nUID:e6\r\n"), eventText("e6", "Event 6", "20260310T090000Z").size());
    theirs += eventText("added", "Added", "20260311T090000Z");
    writeAsOtherProgram(path, calendarText(theirs));
    ASSERT_TRUE(m_store->commit().ok());
    const QByteArray merged = readAll(path);
    QStringList titles = titlesInStore();
    EXPECT_EQ(titles, (QStringList{"Added", "Event 0", "Event 3", "Event 4", "Event 7", "Ours", "Theirs"}))
        << merged.constData();
    EXPECT_TRUE(merged.contains(eventText("added", "Added", "20260311T090000Z")));
    EXPECT_TRUE(merged.contains(eventText("e5", "Theirs", "20260310T090000Z")));

    // Staged again; then someone else writes what is no calendar over the file.
    changeTitle("e3", QStringLiteral("Ours again"));
    const QByteArray garbage = "This is no calendar\r\n";
    writeAsOtherProgram(path, garbage);
    EXPECT_FALSE(m_store->commit().ok());
    EXPECT_EQ(readAll(path), garbage) << "a damaged file was written over";
    EXPECT_TRUE(m_store->damagedItemIdentifiers().contains(QStringLiteral("e3")));
    EXPECT_TRUE(m_store->commit().ok()) << "the failed changes are not tried again";
}
