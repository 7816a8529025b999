// A calendar list takes a folder's kinds of item from its index while the folder is as the index
// tells, and the files are read when a call first asks for them; a folder changed since its index is
// looked at whole. The kinds an index tells follow its later blocks, and an index cut short tells none.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarFolderIndex.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>

using namespace platform;
using namespace eventkittest;

namespace {

QByteArray eventText(const QByteArray &uid, const QByteArray &title)
{
    return eventItem(uid, "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\nSUMMARY:" + title + "\r\n");
}

QByteArray todoText(const QByteArray &uid, const QByteArray &title)
{
    return "BEGIN:VTODO\r\nUID:" + uid + "\r\nSUMMARY:" + title + "\r\nEND:VTODO\r\n";
}

// Sets the folder's time a minute before its index's: nothing came into the folder since.
void ageFolderBeforeIndex(const QString &folder)
{
    struct stat index = {};
    ASSERT_EQ(::stat(QFile::encodeName(icalindex::indexPathFor(folder)).constData(), &index), 0);
    struct timespec times[2] = {{0, UTIME_OMIT}, index.st_mtim};
    times[1].tv_sec -= 60;
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(folder).constData(), times, 0), 0);
}

// An index line of the name with these kinds of item ("E-", "T-", "ED-", ...).
QByteArray entry(const QByteArray &name, const QByteArray &kinds)
{
    return indexSigned(name + "\t10\t20\t30\t40\t" + kinds + "\t" + name.chopped(4) + "\tTitle\t0\t100\t") + '\n';
}

} // namespace

class ICalendarFolderListTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        writeAsOtherProgram(m_folder + QStringLiteral("/a.ics"), calendarText(eventText("a", "A")));
        writeAsOtherProgram(m_folder + QStringLiteral("/b.ics"), calendarText(eventText("b", "B")));
        // A first run's look, which leaves the index for the next run.
        ICalendarFolder first(m_folder);
        ASSERT_TRUE(first.refresh(ICalendarFolder::Rescan::Now).ok());
        ASSERT_TRUE(QFile::exists(icalindex::indexPathFor(m_folder)));
    }

    std::optional<icalindex::IndexedKinds> kindsOfIndexText(const QByteArray &text) const
    {
        writeAsOtherProgram(icalindex::indexPathFor(m_folder), text);
        return icalindex::kindsOfIndex(m_folder);
    }

    QString m_folder;
};

TEST_F(ICalendarFolderListTest, ACurrentIndexGivesTheKindsAndTheFilesAreReadWhenAskedFor)
{
    ageFolderBeforeIndex(m_folder);
    const QByteArray index = readAll(icalindex::indexPathFor(m_folder));
    ICalendarFolder listed(m_folder);
    ASSERT_TRUE(listed.refreshForList(true).ok());
    EXPECT_TRUE(listed.isOnlyListed());
    EXPECT_TRUE(listed.hasEvents());
    EXPECT_FALSE(listed.hasTodos());
    EXPECT_FALSE(listed.isAddressBookFolder());
    // A second list while the index holds keeps the folder listed only.
    ASSERT_TRUE(listed.refreshForList(false).ok());
    EXPECT_TRUE(listed.isOnlyListed());

    // The first question about the files looks at them, as a run's first look does.
    const auto found = listed.fileForUid(QStringLiteral("b"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->fileName(), QStringLiteral("b.ics"));
    EXPECT_FALSE(listed.isOnlyListed());
    EXPECT_EQ(listed.describedFiles().size(), 2);
    EXPECT_TRUE(listed.hasEvents());
    EXPECT_FALSE(listed.hasTodos());
    EXPECT_EQ(readAll(icalindex::indexPathFor(m_folder)), index);
}

// Another program's new file changes the folder's time: the list looks at every file and sees it.
// So does a write of ours to a folder only listed.
TEST_F(ICalendarFolderListTest, AFolderChangedSinceItsIndexIsLookedAtWhole)
{
    writeAsOtherProgram(m_folder + QStringLiteral("/t.ics"), calendarText(todoText("t", "T")));
    ICalendarFolder changed(m_folder);
    ASSERT_TRUE(changed.refreshForList(true).ok());
    EXPECT_FALSE(changed.isOnlyListed());
    EXPECT_TRUE(changed.hasEvents());
    EXPECT_TRUE(changed.hasTodos());
    EXPECT_EQ(changed.describedFiles().size(), 3);

    ageFolderBeforeIndex(m_folder);
    ICalendarFolder written(m_folder);
    ASSERT_TRUE(written.refreshForList(true).ok());
    ASSERT_TRUE(written.isOnlyListed());
    ASSERT_TRUE(written.removeFile(QStringLiteral("a.ics")).ok());
    EXPECT_FALSE(written.isOnlyListed());
    EXPECT_FALSE(written.fileForUid(QStringLiteral("a")));
    EXPECT_TRUE(written.fileForUid(QStringLiteral("b")));
    EXPECT_TRUE(written.fileForUid(QStringLiteral("t")));
}

TEST_F(ICalendarFolderListTest, TheKindsOfAnIndexFollowItsLaterBlocks)
{
    const QByteArray whole = kIndexHeader + entry("a.ics", "E-") + entry("b.ics", "E-") + "END 2\n";
    struct Row
    {
        const char *name;
        QByteArray text;
        bool hasEvents;
        bool hasTodos;
    };
    const Row rows[] = {
        {"whole", whole, true, false},
        {"one event made a to-do", whole + entry("a.ics", "T-") + "END 1\n", true, true},
        {"both made to-dos", whole + entry("a.ics", "T-") + entry("b.ics", "T-") + "END 2\n", false, true},
        {"both made to-dos over two blocks", whole + entry("a.ics", "T-") + "END 1\n" + entry("b.ics", "T-") + "END 1\n",
         false, true},
        {"an event again", whole + entry("a.ics", "T-") + entry("b.ics", "T-") + "END 2\n" + entry("a.ics", "ET-") +
             "END 1\n", true, true},
        {"a damaged file holds no kind", kIndexHeader + entry("a.ics", "ED-") + "END 1\n", false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<icalindex::IndexedKinds> kinds = kindsOfIndexText(row.text);
        ASSERT_TRUE(kinds);
        EXPECT_TRUE(kinds->hasFiles);
        EXPECT_EQ(kinds->hasEvents, row.hasEvents);
        EXPECT_EQ(kinds->hasTodos, row.hasTodos);
    }
    const QByteArray cut = whole.chopped(6);
    for (const QByteArray &damaged : {cut, whole + entry("a.ics", "T-") + "END 2\n", kIndexHeader + "a.ics\tE-\nEND 1\n",
                                      QByteArray("HMCALINDEX 6\n") + whole.mid(kIndexHeader.size())}) {
        SCOPED_TRACE(damaged.toStdString());
        EXPECT_FALSE(kindsOfIndexText(damaged));
    }
    // A list of a folder whose index is damaged looks at its files.
    kindsOfIndexText(cut);
    ageFolderBeforeIndex(m_folder);
    ICalendarFolder listed(m_folder);
    ASSERT_TRUE(listed.refreshForList(true).ok());
    EXPECT_FALSE(listed.isOnlyListed());
    EXPECT_EQ(listed.describedFiles().size(), 2);
}

// A UID names its file: unsafe and non-ASCII characters become '_', a leading dot or an empty UID
// gets a '_' first, and the name before ".ics" is at most 200 characters.
TEST(ICalendarFolderNames, FileNamesOfUids)
{
    EXPECT_EQ(ICalendarFolder::fileNameForUid(QStringLiteral("Ab-9_x@host.org")), QStringLiteral("Ab-9_x@host.org.ics"));
    EXPECT_EQ(ICalendarFolder::fileNameForUid(QStringLiteral("a/b c:\u00e9\u4e2d")), QStringLiteral("a_b_c___.ics"));
    EXPECT_EQ(ICalendarFolder::fileNameForUid(QStringLiteral(".hidden")), QStringLiteral("_.hidden.ics"));
    EXPECT_EQ(ICalendarFolder::fileNameForUid(QString()), QStringLiteral("_.ics"));
    const QString longUid(250, QLatin1Char('u'));
    EXPECT_EQ(ICalendarFolder::fileNameForUid(longUid), QString(200, QLatin1Char('u')) + QStringLiteral(".ics"));
    EXPECT_EQ(ICalendarFolder::fileNameForUid(QLatin1Char('.') + longUid),
              QStringLiteral("_.") + QString(198, QLatin1Char('u')) + QStringLiteral(".ics"));
}

// A file of many items is described with each title once, in the order they first come.
TEST_F(ICalendarFolderListTest, AFileOfManyItemsNamesEachUidAndTitleOnce)
{
    QByteArray items;
    QStringList uids;
    QStringList titles;
    for (int index = 0; index < 40; ++index) {
        const QByteArray uid = "many-" + QByteArray::number(index);
        // Twenty titles, each twice: more than a few, so the later ones are found again in a set.
        const QByteArray title = "Title " + QByteArray::number(index % 20);
        items += eventText(uid, title);
        if (!uids.contains(QString::fromLatin1(uid)))
            uids.append(QString::fromLatin1(uid));
        if (!titles.contains(QString::fromLatin1(title)))
            titles.append(QString::fromLatin1(title));
    }
    writeAsOtherProgram(m_folder + QStringLiteral("/many.ics"), calendarText(items));
    ICalendarFolder folder(m_folder);
    ASSERT_TRUE(folder.refresh(ICalendarFolder::Rescan::Now).ok());
    const auto files = folder.describedFiles();
    const auto many = std::find_if(files.cbegin(), files.cend(),
                                   [](const auto &file) { return file->fileName() == QStringLiteral("many.ics"); });
    ASSERT_NE(many, files.cend());
    EXPECT_EQ((*many)->uids(), uids);
    EXPECT_EQ((*many)->titles(), titles);
}
