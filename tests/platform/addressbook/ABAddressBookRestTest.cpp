// A book that saves a page of persons and rests before the next, as a sync does, on a real folder:
// the folder's index file is written once when the book closes, not at every rest, and the book
// counts a state of the folder as unseen only when another program changed it.
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/foundation/FileSystem.h"

#include "AddressBookTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <sys/stat.h>

using namespace platform;

namespace {

// The folder's index file as it stands (inode and modification time): any rewrite changes it.
std::pair<ino_t, qint64> indexState()
{
    const QDir indexes(FileSystem::dataFolderPath() + QStringLiteral("/AddressBookIndexes"));
    const QStringList files = indexes.entryList({QStringLiteral("*.index")}, QDir::Files);
    if (files.size() != 1)
        return {0, 0};
    struct stat status = {};
    if (::stat(QFile::encodeName(indexes.filePath(files.first())).constData(), &status) != 0)
        return {0, 0};
    return {status.st_ino, qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

void addPerson(ABAddressBook &book, const QString &id)
{
    const std::shared_ptr<ABPerson> person = ABPerson::personWithUniqueId(id);
    ASSERT_TRUE(book.addRecord(person));
    (void)person->setValue(QStringLiteral("Ann"), kABFirstNameProperty);
    (void)person->setValue(QStringLiteral("Page ") + id, kABLastNameProperty);
}

} // namespace

TEST(ABAddressBookRest, PagesSavedWithRestsBetweenWriteTheIndexOnceAndStaySeen)
{
    const StoreFolder folder;
    folder.writeFile(QStringLiteral("first.vcf"),
                     "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:first\r\nN:First;Ann;;;\r\nFN:Ann First\r\nEND:VCARD\r\n");
    {
        std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
        ASSERT_TRUE(book);
        const auto opened = indexState();
        ASSERT_NE(opened.first, ino_t(0));
        const quint64 seen = book->unseenStateCount();
        for (int page = 0; page < 5; ++page) {
            addPerson(*book, QStringLiteral("p%1").arg(page));
            ASSERT_TRUE(book->save());
            book->rest();
            ASSERT_TRUE(book->refresh());
            EXPECT_EQ(book->unseenStateCount(), seen) << "page " << page;
            EXPECT_TRUE(book->recordForUniqueId(QStringLiteral("p%1").arg(page)));
        }
        EXPECT_EQ(indexState(), opened) << "the index was rewritten at a rest";

        // Another program's card: the book shows a state it had not seen.
        folder.writeFile(QStringLiteral("other.vcf"),
                         "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:other\r\nN:Other;Bo;;;\r\nFN:Bo Other\r\nEND:VCARD\r\n");
        book->rest();
        ASSERT_TRUE(book->refresh());
        EXPECT_EQ(book->unseenStateCount(), seen + 1);
        EXPECT_TRUE(book->recordForUniqueId(QStringLiteral("other")));
    }
    // Closed, the book's writes are in the index, which a new book reads back whole.
    const std::shared_ptr<ABAddressBook> again = ABAddressBook::addressBook();
    ASSERT_TRUE(again);
    for (const char *id : {"first", "p0", "p4", "other"})
        EXPECT_TRUE(again->recordForUniqueId(QLatin1String(id))) << id;
}
