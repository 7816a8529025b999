// The address book over a vCard folder: what it writes byte for byte, what it reads back, what a save
// touches, groups, removals, files it cannot read, the index, searching and access.
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/CNContactStore.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/UserDefaults.h"

#include "AddressBookTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

const QDateTime kFirstSave(QDate(2026, 12, 7), QTime(9, 30, 0), Qt::UTC);

class FixedClock final
{
public:
    explicit FixedClock(const QDateTime &moment) { set(moment); }
    ~FixedClock() { Clock::setSource({}); }
    void set(const QDateTime &moment)
    {
        Clock::setSource([moment] { return moment; });
    }
};

ABMultiValue multiValue(const QList<std::tuple<QString, QString, QVariant>> &entries)
{
    ABMutableMultiValue values;
    for (const auto &[identifier, label, value] : entries)
        values.addValue(value, label, identifier);
    return values;
}

// A person with every kind of value, with fixed identifiers.
std::shared_ptr<ABPerson> fullPerson(const std::shared_ptr<ABAddressBook> &book)
{
    const std::shared_ptr<ABPerson> person = ABPerson::personWithUniqueId(QStringLiteral("P-1"));
    EXPECT_TRUE(book->addRecord(person));
    (void)person->setValue(QStringLiteral("Zoë"), kABFirstNameProperty);
    (void)person->setValue(QStringLiteral("Doe; Smith"), kABLastNameProperty);
    (void)person->setValue(QStringLiteral("Dr."), kABTitleProperty);
    (void)person->setValue(QStringLiteral("Fish & Chips, Ltd."), kABOrganizationProperty);
    (void)person->setValue(QStringLiteral("Fry"), kABDepartmentProperty);
    (void)person->setValue(QStringLiteral("line one\nline two & more"), kABNoteProperty);
    (void)person->setValue(QDateTime(QDate(1985, 3, 17), QTime(0, 0), Qt::UTC), kABBirthdayProperty);
    (void)person->setValue(multiValue({{"T1", kABPhoneMobileLabel, QStringLiteral("+44 7700 900123")},
                                       {"T2", QStringLiteral("callback"), QStringLiteral("+44 20 7946 0000")},
                                       {"T3", kABPhoneWorkFAXLabel, QStringLiteral("+44 20 7946 0001")}})
                               .toVariant(),
                           kABPhoneProperty);
    (void)person->setValue(multiValue({{"E1", kABEmailWorkLabel, QStringLiteral("zoe@fish.example")}}).toVariant(),
                           kABEmailProperty);
    (void)person->setValue(multiValue({{"U1", QStringLiteral("Home Page"), QStringLiteral("https://zoe.example/a,b")}})
                               .toVariant(),
                           kABURLsProperty);
    const QVariantMap address{{kABAddressStreetKey, QStringLiteral("1 High St; Flat 2\nBack door")},
                              {kABAddressCityKey, QStringLiteral("London")},
                              {kABAddressZIPKey, QStringLiteral("N1 9GU")}};
    (void)person->setValue(multiValue({{"A1", kABAddressHomeLabel, address}}).toVariant(), kABAddressProperty);
    const QVariantMap message{{kABInstantMessageUsernameKey, QStringLiteral("zoe")},
                              {kABInstantMessageServiceKey, QStringLiteral("Jabber")}};
    (void)person->setValue(multiValue({{"I1", kABOtherLabel, message}}).toVariant(), kABInstantMessageProperty);
    (void)person->setValue(multiValue({{"D1", kABAnniversaryLabel, QDateTime(QDate(2010, 6, 12), QTime(0, 0), Qt::UTC)}})
                               .toVariant(),
                           kABOtherDatesProperty);
    EXPECT_TRUE(person->setImageData(QByteArray("\xff\xd8\xff\xe0 not really a JPEG")));
    return person;
}

qint64 modificationNs(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return qint64(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
}

qint64 changeNs(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return qint64(status.st_ctim.tv_sec) * 1000000000LL + status.st_ctim.tv_nsec;
}

// Touches a probe file until its change time is later than the file's; false after a second.
bool waitForLaterFileTime(const StoreFolder &folder, const QString &name)
{
    const qint64 fileTime = changeNs(folder.filePath(name));
    const QString probe = folder.path() + QStringLiteral("/../probe");
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1000) {
        QFile file(probe);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write("x");
        file.close();
        if (changeNs(probe) > fileTime)
            return true;
    }
    return false;
}

} // namespace

TEST(ABAddressBook, WritesAPersonAsVCardThreeByteForByte)
{
    StoreFolder folder;
    FixedClock clock(kFirstSave);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book);
    fullPerson(book);
    ASSERT_TRUE(book->save());
    EXPECT_EQ(folder.cardFiles(), QStringList{QStringLiteral("P-1.vcf")});
    const QByteArray expected =
        "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Harrowmere//Address Book//EN\r\nUID:P-1\r\n"
        "N:Doe\\; Smith;Zoë;;Dr.;\r\nFN:Dr. Zoë Doe\\; Smith\r\nORG:Fish & Chips\\, Ltd.;Fry\r\nBDAY:1985-03-17\r\n"
        "TEL;TYPE=CELL;X-HM-ID=T1:+44 7700 900123\r\nTEL;TYPE=callback;X-HM-ID=T2:+44 20 7946 0000\r\n"
        "TEL;TYPE=WORK,FAX;X-HM-ID=T3:+44 20 7946 0001\r\nEMAIL;TYPE=WORK;X-HM-ID=E1:zoe@fish.example\r\n"
        "URL;TYPE=Home Page;X-HM-ID=U1:https://zoe.example/a\\,b\r\n"
        "IMPP;X-SERVICE-TYPE=Jabber;TYPE=OTHER;X-HM-ID=I1:xmpp:zoe\r\n"
        "ADR;TYPE=HOME;X-HM-ID=A1:;;1 High St\\; Flat 2\\nBack door;London;;N1 9GU;\r\n"
        "X-ANNIVERSARY;X-HM-ID=D1:2010-06-12\r\nNOTE:line one\\nline two & more\r\n"
        "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4CBub3QgcmVhbGx5IGEgSlBFRw==\r\nREV:2026-12-07T09:30:00Z\r\nEND:VCARD\r\n";
    EXPECT_EQ(folder.readFile(QStringLiteral("P-1.vcf")), expected);
    struct stat status = {};
    ASSERT_EQ(::stat(QFile::encodeName(folder.filePath(QStringLiteral("P-1.vcf"))).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(ABAddressBook, AReopenedBookReadsTheSameValuesAndIdentifiers)
{
    StoreFolder folder;
    FixedClock clock(kFirstSave);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const QString written = dumpRecord(*fullPerson(book));
    ASSERT_TRUE(book->save());
    const std::shared_ptr<ABAddressBook> reopened = ABAddressBook::addressBook();
    ASSERT_EQ(reopened->people().size(), 1);
    const std::shared_ptr<ABPerson> person = reopened->people().first();
    EXPECT_EQ(dumpRecord(*person), written);
    EXPECT_EQ(person->valueForProperty(kABModificationDateProperty).toDateTime(), kFirstSave);
    const ABMultiValue phones = person->valueForProperty(kABPhoneProperty).value<ABMultiValue>();
    EXPECT_EQ(phones.identifierAtIndex(0), QStringLiteral("T1"));
    EXPECT_EQ(phones.indexForIdentifier(QStringLiteral("T3")), 2);
}

TEST(ABAddressBook, SaveWritesOnlyChangedRecordsAndStampsTheirDate)
{
    StoreFolder folder;
    FixedClock clock(kFirstSave);
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    for (const char *name : {"Ann", "Bob"}) {
        const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
        (void)person->setValue(QLatin1String(name), kABFirstNameProperty);
    }
    ASSERT_TRUE(book->save());
    EXPECT_FALSE(book->hasUnsavedChanges());
    const QStringList files = folder.cardFiles();
    ASSERT_EQ(files.size(), 2);
    const qint64 untouchedBefore = modificationNs(folder.filePath(files.at(1)));

    const QDateTime later = kFirstSave.addSecs(3600);
    clock.set(later);
    book = ABAddressBook::addressBook();
    std::shared_ptr<ABPerson> changed = book->people().at(0);
    EXPECT_FALSE(book->hasUnsavedChanges());
    (void)changed->setValue(QStringLiteral("Annie"), kABFirstNameProperty);
    EXPECT_TRUE(book->hasUnsavedChanges());
    ASSERT_TRUE(book->save());
    EXPECT_EQ(modificationNs(folder.filePath(files.at(1))), untouchedBefore);
    EXPECT_TRUE(folder.readFile(files.at(0)).contains("REV:2026-12-07T10:30:00Z\r\n"));
    EXPECT_EQ(ABAddressBook::addressBook()->recordForUniqueId(changed->uniqueId())->valueForProperty(
                  kABModificationDateProperty).toDateTime(),
              later);
}

TEST(ABAddressBook, GroupsAreGroupCardsAndTheirMembersCarryTheirNames)
{
    StoreFolder folder;
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
    (void)person->setValue(QStringLiteral("Gina"), kABFirstNameProperty);
    QStringList groupIds;
    for (const char *name : {"Work", "Family, close"}) {
        const std::shared_ptr<ABGroup> group = ABGroup::initWithAddressBook(book);
        (void)group->setValue(QLatin1String(name), kABGroupNameProperty);
        ASSERT_TRUE(book->addRecord(group));
        ASSERT_TRUE(group->addMember(person));
        groupIds.append(group->uniqueId());
    }
    ASSERT_TRUE(book->save());
    const QByteArray groupCard = folder.readFile(groupIds.at(0) + QStringLiteral(".vcf"));
    EXPECT_TRUE(groupCard.contains("KIND:group\r\n"));
    EXPECT_TRUE(groupCard.contains("MEMBER:urn:uuid:" + person->uniqueId().toUtf8() + "\r\n"));
    EXPECT_TRUE(folder.readFile(person->uniqueId() + QStringLiteral(".vcf")).contains("CATEGORIES:Work,Family\\, close\r\n"));

    book = ABAddressBook::addressBook();
    const auto reread = std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(person->uniqueId()));
    ASSERT_TRUE(reread);
    QStringList names;
    for (const std::shared_ptr<ABGroup> &group : reread->parentGroups())
        names.append(group->valueForProperty(kABGroupNameProperty).toString());
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("Family, close"), QStringLiteral("Work")}));
    const auto work = std::dynamic_pointer_cast<ABGroup>(book->recordForUniqueId(groupIds.at(0)));
    ASSERT_TRUE(work->removeMember(reread));
    ASSERT_TRUE(book->save());
    EXPECT_TRUE(folder.readFile(person->uniqueId() + QStringLiteral(".vcf")).contains("CATEGORIES:Family\\, close\r\n"));
}

TEST(ABAddressBook, RemovingAPersonRemovesItsFileAndMembership)
{
    StoreFolder folder;
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
    const std::shared_ptr<ABGroup> group = ABGroup::initWithAddressBook(book);
    (void)group->setValue(QStringLiteral("Club"), kABGroupNameProperty);
    book->addRecord(group);
    group->addMember(person);
    ASSERT_TRUE(book->save());
    ASSERT_EQ(folder.cardFiles().size(), 2);
    book = ABAddressBook::addressBook();
    ASSERT_TRUE(book->removeRecord(book->recordForUniqueId(person->uniqueId())));
    EXPECT_FALSE(book->removeRecord(ABPerson::personWithUniqueId(QStringLiteral("elsewhere"))));
    ASSERT_TRUE(book->save());
    EXPECT_EQ(folder.cardFiles(), QStringList{group->uniqueId() + QStringLiteral(".vcf")});
    EXPECT_FALSE(folder.readFile(group->uniqueId() + QStringLiteral(".vcf")).contains("MEMBER"));
}

TEST(ABAddressBook, FilesItCannotReadAreReportedAndNeverChanged)
{
    StoreFolder folder;
    const QByteArray good = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:good\r\nN:Good;Gail;;;\r\nFN:Gail Good\r\nEND:VCARD\r\n";
    folder.writeFile(QStringLiteral("good.vcf"), good);
    const QList<std::pair<QString, QByteArray>> bad = {
        {QStringLiteral("garbage.vcf"), QByteArray("\x00\x01 this is no card", 18)},
        {QStringLiteral("empty.vcf"), QByteArray()},
        {QStringLiteral("huge.vcf"), "BEGIN:VCARD\r\nNOTE:" + QByteArray(9 * 1024 * 1024, 'x') + "\r\nEND:VCARD\r\n"},
        {QStringLiteral("two.vcf"), good + good}};
    for (const auto &[name, bytes] : bad)
        folder.writeFile(name, bytes);
    ASSERT_EQ(::symlink(QFile::encodeName(folder.filePath(QStringLiteral("good.vcf"))).constData(),
                        QFile::encodeName(folder.filePath(QStringLiteral("link.vcf"))).constData()),
              0);
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book);
    ASSERT_EQ(book->people().size(), 1);
    EXPECT_EQ(book->people().first()->uniqueId(), QStringLiteral("good"));
    QStringList unreadable = book->unreadableRecords().keys();
    unreadable.sort();
    EXPECT_EQ(unreadable, (QStringList{QStringLiteral("empty"), QStringLiteral("garbage"), QStringLiteral("huge"),
                                       QStringLiteral("two")}));
    (void)book->people().first()->setValue(QStringLiteral("Gale"), kABFirstNameProperty);
    ASSERT_TRUE(book->save());
    for (const auto &[name, bytes] : bad)
        EXPECT_EQ(folder.readFile(name), bytes) << name.toStdString();
}

TEST(ABAddressBook, OneUniqueIdInSeveralFilesIsReportedWithBothNamesAndOneFileStands)
{
    StoreFolder folder;
    const QByteArray card = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:dup\r\nN:Twin;Tess;;;\r\nFN:Tess Twin\r\nEND:VCARD\r\n";
    for (const char *name : {"zeta.vcf", "alpha.vcf", "beta.vcf"})
        folder.writeFile(QLatin1String(name), card);
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book);
    ASSERT_EQ(book->people().size(), 1);
    EXPECT_EQ(book->unreadableRecords().value(QStringLiteral("dup")),
              QStringLiteral("beta.vcf has the unique id of alpha.vcf, which stands for the contact; "
                             "zeta.vcf has the unique id of alpha.vcf, which stands for the contact"));
    (void)book->people().first()->setValue(QStringLiteral("Tessa"), kABFirstNameProperty);
    ASSERT_TRUE(book->save());
    EXPECT_TRUE(folder.readFile(QStringLiteral("alpha.vcf")).contains("\r\nN:Twin;Tessa;;;\r\n"));
    EXPECT_EQ(folder.readFile(QStringLiteral("zeta.vcf")), card);
    EXPECT_EQ(folder.readFile(QStringLiteral("beta.vcf")), card);
}

TEST(ABAddressBook, ARewriteIsSeenEvenWhenItsWriterSetTheTimeBack)
{
    StoreFolder folder;
    const QByteArray first = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:same\r\nN:Alpha;Ann;;;\r\nEND:VCARD\r\n";
    folder.writeFile(QStringLiteral("same.vcf"), first);
    const QString path = folder.filePath(QStringLiteral("same.vcf"));
    struct stat before = {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    ASSERT_EQ(ABAddressBook::addressBook()->people().first()->valueForProperty(kABLastNameProperty),
              QVariant(QStringLiteral("Alpha")));
    // The same size, inode and modification time, other content, as a copy that keeps times makes it:
    // only the change time tells, and the index must not hide the new name.
    QByteArray second = first;
    second.replace("Alpha", "Omega");
    folder.writeFile(QStringLiteral("same.vcf"), second);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    EXPECT_EQ(ABAddressBook::addressBook()->people().first()->valueForProperty(kABLastNameProperty),
              QVariant(QStringLiteral("Omega")));
}

// Searches find persons added and not yet saved as well as those read from the folder, by last names
// in any script and case; a person renamed in memory is found by its new name only.
TEST(ABAddressBook, SearchesCompareIgnoringCaseAndCombineConditions)
{
    StoreFolder folder;
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const struct { const char *first; const char *last; const char *email; } persons[] = {
        {"Ann", "Lee", "ann@work.example"}, {"ann", "LEE", "private@home.example"}, {"Bob", "Lee", "bob@work.example"},
        {"Zoë", "Ångström", "zoe@work.example"}};
    for (const auto &entry : persons) {
        const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
        (void)person->setValue(QString::fromUtf8(entry.first), kABFirstNameProperty);
        (void)person->setValue(QString::fromUtf8(entry.last), kABLastNameProperty);
        (void)person->setValue(multiValue({{"", kABWorkLabel, QString::fromUtf8(entry.email)}}).toVariant(), kABEmailProperty);
    }
    const auto equal = ABSearchComparison::kABEqualCaseInsensitive;
    const auto contains = ABSearchComparison::kABContainsSubStringCaseInsensitive;
    const auto element = [](const QString &property, const char *value, ABSearchComparison comparison) {
        return ABPerson::searchElementForProperty(property, QString(), QString(), QString::fromUtf8(value), comparison);
    };
    struct Row { const char *name; ABSearchElement search; qsizetype count; };
    const Row rows[] = {
        {"last name ignoring case", element(kABLastNameProperty, "lee", equal), 3},
        {"a last name beyond ASCII", element(kABLastNameProperty, "ÅNGSTRÖM", equal), 1},
        {"first and last name", ABSearchElement::searchElementForConjunction(
                                    ABSearchConjunction::kABSearchAnd,
                                    {element(kABLastNameProperty, "Lee", equal), element(kABFirstNameProperty, "ANN", equal)}), 2},
        {"and an e-mail part", ABSearchElement::searchElementForConjunction(
                                   ABSearchConjunction::kABSearchAnd,
                                   {element(kABLastNameProperty, "lee", equal), element(kABFirstNameProperty, "ann", equal),
                                    element(kABEmailProperty, "WORK.example", contains)}), 1},
        {"no such name", element(kABLastNameProperty, "Le", equal), 0},
        {"either name", ABSearchElement::searchElementForConjunction(
                            ABSearchConjunction::kABSearchOr,
                            {element(kABFirstNameProperty, "bob", equal), element(kABEmailProperty, "home", contains)}), 2},
    };
    for (const bool isSaved : {false, true}) {
        SCOPED_TRACE(isSaved ? "saved and read again" : "not saved");
        if (isSaved) {
            ASSERT_TRUE(book->save());
            book = ABAddressBook::addressBook();
        }
        for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(book->recordsMatchingSearchElement(row.search).size(), row.count);
        }
    }
    const QList<std::shared_ptr<ABRecord>> bobs = book->recordsMatchingSearchElement(element(kABFirstNameProperty, "Bob", equal));
    ASSERT_EQ(bobs.size(), 1);
    (void)bobs.first()->setValue(QStringLiteral("Ng"), kABLastNameProperty);
    EXPECT_EQ(book->recordsMatchingSearchElement(element(kABLastNameProperty, "lee", equal)).size(), 2);
    EXPECT_EQ(book->recordsMatchingSearchElement(element(kABLastNameProperty, "NG", equal)).size(), 1);
}

// A save replaces the book's snapshot: the table its searches by last name were made from must not
// keep the replaced snapshot's entries alive, and searches after the save go by what the files hold.
TEST(ABAddressBook, ASaveLetsGoOfTheSnapshotItsSearchesWereMadeFrom)
{
    StoreFolder folder;
    for (const char *id : {"ann", "bob"}) {
        folder.writeFile(QString::fromLatin1(id) + QStringLiteral(".vcf"),
                         QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:") + id + "\r\nN:Lee;" + id + ";;;\r\nEND:VCARD\r\n");
    }
    const std::shared_ptr<VCardFolder> cards = VCardFolder::forLocation(folder.path(), QString());
    const auto book = std::make_shared<ABAddressBook>(cards);
    ASSERT_TRUE(book->refresh());
    const auto countNamed = [&book](const char *lastName) {
        return book->recordsMatchingSearchElement(ABPerson::searchElementForProperty(
                   kABLastNameProperty, QString(), QString(), QString::fromLatin1(lastName),
                   ABSearchComparison::kABEqualCaseInsensitive)).size();
    };
    std::weak_ptr<const VCardFolder::Snapshot> searched;
    {
        const Result<VCardFolder::SnapshotPointer> snapshot = cards->lastSnapshot();
        ASSERT_TRUE(snapshot);
        searched = *snapshot;
    }
    EXPECT_EQ(countNamed("lee"), 2);
    const std::shared_ptr<ABRecord> bob = book->recordForUniqueId(QStringLiteral("bob"));
    ASSERT_TRUE(bob);
    (void)bob->setValue(QStringLiteral("Ng"), kABLastNameProperty);
    ASSERT_TRUE(book->save());
    EXPECT_TRUE(searched.expired());
    EXPECT_EQ(countNamed("lee"), 1);
    EXPECT_EQ(countNamed("NG"), 1);
    EXPECT_TRUE(folder.readFile(QStringLiteral("bob.vcf")).contains("N:Ng;bob;;;\r\n"));
}

TEST(ABAddressBook, EveryInstanceSeesWhatAnotherSaved)
{
    StoreFolder folder;
    const std::shared_ptr<ABAddressBook> writer = ABAddressBook::addressBook();
    const std::shared_ptr<ABAddressBook> shared = ABAddressBook::sharedAddressBook();
    ASSERT_TRUE(shared);
    EXPECT_TRUE(shared->people().isEmpty());
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(writer);
    (void)person->setValue(QStringLiteral("Shared"), kABFirstNameProperty);
    ASSERT_TRUE(writer->save());
    EXPECT_EQ(ABAddressBook::sharedAddressBook()->people().size(), 1);
    EXPECT_EQ(ABAddressBook::addressBook()->people().size(), 1);
}

// A book kept between steps is brought up to date by refresh: its own saves leave its records as they
// are; a file another program or instance added, rewrote (even keeping its times) or removed makes it
// show the folder anew; a book with unsaved changes refuses and keeps them.
TEST(ABAddressBook, RefreshKeepsWhatItSavedAndSeesWhatOthersChanged)
{
    const QByteArray other = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:other\r\nN:Other;Ann;;;\r\nEND:VCARD\r\n";
    struct Row
    {
        const char *name;
        std::function<void(const StoreFolder &)> change;
        QStringList lastNames; // after the refresh, sorted
        bool isShownAnew;
    };
    const auto rewrite = [](const StoreFolder &folder) {
        const QString path = folder.filePath(QStringLiteral("own.vcf"));
        struct stat before = {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
        QByteArray bytes = folder.readFile(QStringLiteral("own.vcf"));
        bytes.replace("Own", "Mod");
        folder.writeFile(QStringLiteral("own.vcf"), bytes);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    };
    const Row rows[] = {
        {"nothing", [](const StoreFolder &) {}, {QStringLiteral("Own")}, false},
        {"a file added", [&other](const StoreFolder &folder) { folder.writeFile(QStringLiteral("other.vcf"), other); },
         {QStringLiteral("Other"), QStringLiteral("Own")}, true},
        {"its file rewritten, times kept", rewrite, {QStringLiteral("Mod")}, true},
        {"its file removed", [](const StoreFolder &folder) { ASSERT_TRUE(QFile::remove(folder.filePath(QStringLiteral("own.vcf")))); },
         {}, true},
        {"another instance saved", [](const StoreFolder &) {
             const std::shared_ptr<ABAddressBook> writer = ABAddressBook::addressBook();
             const std::shared_ptr<ABPerson> person = ABPerson::personWithUniqueId(QStringLiteral("other"));
             ASSERT_TRUE(writer->addRecord(person));
             (void)person->setValue(QStringLiteral("Other"), kABLastNameProperty);
             ASSERT_TRUE(writer->save());
         }, {QStringLiteral("Other"), QStringLiteral("Own")}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StoreFolder folder;
        const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
        const std::shared_ptr<ABPerson> own = ABPerson::personWithUniqueId(QStringLiteral("own"));
        ASSERT_TRUE(book->addRecord(own));
        (void)own->setValue(QStringLiteral("Own"), kABLastNameProperty);
        ASSERT_TRUE(book->save());
        // File times advance in clock ticks of a few milliseconds: the change must fall in a later tick
        // than the save, as any change another program makes after a step does.
        ASSERT_TRUE(waitForLaterFileTime(folder, QStringLiteral("own.vcf")));
        row.change(folder);
        ASSERT_TRUE(book->refresh());
        QStringList lastNames;
        for (const std::shared_ptr<ABPerson> &person : book->people())
            lastNames.append(person->valueForProperty(kABLastNameProperty).toString());
        lastNames.sort();
        EXPECT_EQ(lastNames, row.lastNames);
        EXPECT_EQ(book->recordForUniqueId(QStringLiteral("own")) != own, row.isShownAnew);
        // A record of the book as it was no longer changes the book.
        (void)own->setValue(QStringLiteral("Late"), kABFirstNameProperty);
        EXPECT_EQ(book->hasUnsavedChanges(), !row.isShownAnew);
        EXPECT_EQ(bool(book->refresh()), row.isShownAnew);
    }
}

// A book kept between steps is not brought up to date once the user chose another folder.
TEST(ABAddressBook, AnInstanceKnowsWhetherItsFolderIsStillTheChosenOne)
{
    const StoreFolder chosen;
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book);
    EXPECT_TRUE(book->isOnCurrentFolder());
    const StoreFolder other;
    EXPECT_FALSE(book->isOnCurrentFolder());
    EXPECT_TRUE(ABAddressBook::addressBook()->isOnCurrentFolder());
}

TEST(ABAddressBook, ValuesOfTheWrongKindAreRefused)
{
    StoreFolder folder;
    const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(ABAddressBook::addressBook());
    EXPECT_FALSE(person->setValue(42, kABFirstNameProperty));
    EXPECT_FALSE(person->setValue(QStringLiteral("+1 555"), kABPhoneProperty));
    EXPECT_FALSE(person->setValue(QStringLiteral("tomorrow"), kABBirthdayProperty));
    EXPECT_FALSE(person->setValue(QDateTime::currentDateTimeUtc(), kABModificationDateProperty));
    EXPECT_FALSE(person->setValue(QStringLiteral("x"), QStringLiteral("NoSuchProperty")));
    EXPECT_TRUE(person->setValue(QString(), kABFirstNameProperty));
}

TEST(ABAddressBook, AFolderThatCannotBeUsedRefusesAccess)
{
    StoreFolder folder;
    const QString notAFolder = folder.path() + QStringLiteral("/plain-file");
    folder.writeFile(QStringLiteral("plain-file"), "not a folder");
    UserDefaults::standardUserDefaults().setObject(notAFolder, ABAddressBook::kFolderDefaultsKey);
    EXPECT_FALSE(ABAddressBook::addressBook());
    EXPECT_FALSE(ABAddressBook::checkAccess());
    std::atomic<int> answer{-1};
    CNContactStore().requestAccessForEntityType(CNEntityType::CNEntityTypeContacts,
                                                [&answer](bool granted, const QString &) { answer = granted ? 1 : 0; });
    EXPECT_TRUE(testsupport::waitUntil([&answer] { return answer.load() >= 0; }));
    EXPECT_EQ(answer.load(), 0);
}

TEST(ABAddressBook, ForeignSamplesReadAsExpectedAndKeepTheirOtherLines)
{
    for (const char *name : {"vcard40", "apple-export", "google-export"}) {
        SCOPED_TRACE(name);
        StoreFolder folder;
        folder.writeFile(QLatin1String(name) + QStringLiteral(".vcf"), sampleBytes(QLatin1String(name) + QStringLiteral(".vcf")));
        const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
        ASSERT_EQ(book->people().size(), 1);
        const std::shared_ptr<ABPerson> person = book->people().first();
        EXPECT_EQ(dumpRecord(*person), QString::fromUtf8(sampleBytes(QLatin1String(name) + QStringLiteral(".expected"))));
        (void)person->setValue(QStringLiteral("Edited"), kABNicknameProperty);
        ASSERT_TRUE(book->save());
        const std::shared_ptr<ABPerson> reread = ABAddressBook::addressBook()->people().first();
        EXPECT_EQ(reread->uniqueId(), person->uniqueId());
        EXPECT_EQ(dumpRecord(*reread), dumpRecord(*person));
    }
    StoreFolder folder;
    folder.writeFile(QStringLiteral("v4.vcf"), sampleBytes(QStringLiteral("vcard40.vcf")));
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    (void)book->people().first()->setValue(QStringLiteral("Zo"), kABNicknameProperty);
    ASSERT_TRUE(book->save());
    EXPECT_TRUE(folder.readFile(QStringLiteral("v4.vcf")).contains("GENDER:F\r\n"));
}

// A second save of the book patches the card its first save wrote: only the line edited since changes.
TEST(ABAddressBook, ASecondSaveChangesOnlyWhatChangedSinceTheFirst)
{
    StoreFolder folder;
    FixedClock clock(kFirstSave);
    folder.writeFile(QStringLiteral("v4.vcf"), sampleBytes(QStringLiteral("vcard40.vcf")));
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const std::shared_ptr<ABPerson> person = book->people().first();
    (void)person->setValue(QStringLiteral("Zo"), kABNicknameProperty);
    ASSERT_TRUE(book->save());
    const QByteArray first = folder.readFile(QStringLiteral("v4.vcf"));
    const qsizetype line = first.indexOf("NICKNAME:Zo");
    ASSERT_GE(line, 0) << first.toStdString();
    (void)person->setValue(QStringLiteral("Zoe"), kABNicknameProperty);
    ASSERT_TRUE(book->save());
    QByteArray expected = first;
    expected.insert(line + qsizetype(qstrlen("NICKNAME:Zo")), 'e');
    EXPECT_EQ(folder.readFile(QStringLiteral("v4.vcf")), expected);
}

TEST(ABAddressBook, ItsFilesArePrivate)
{
    StoreFolder folder;
    std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    (void)ABPerson::initWithAddressBook(book)->setValue(QStringLiteral("Private"), kABFirstNameProperty);
    ASSERT_TRUE(book->save());
    // The index file follows when the book goes.
    book.reset();
    const QString indexFolder = FileSystem::dataFolderPath() + QStringLiteral("/AddressBookIndexes");
    const QStringList indexes = QDir(indexFolder).entryList(QDir::Files);
    ASSERT_FALSE(indexes.isEmpty());
    struct stat status = {};
    ASSERT_EQ(::stat(QFile::encodeName(indexFolder).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    for (const QString &name : indexes) {
        ASSERT_EQ(::stat(QFile::encodeName(indexFolder + QLatin1Char('/') + name).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << name.toStdString();
    }
}

TEST(ABAddressBook, WritesAGroupCardByteForByte)
{
    StoreFolder folder;
    FixedClock clock(kFirstSave);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const std::shared_ptr<ABPerson> person = ABPerson::personWithUniqueId(QStringLiteral("P-1"));
    const std::shared_ptr<ABGroup> group = ABGroup::groupWithUniqueId(QStringLiteral("G-1"));
    ASSERT_TRUE(book->addRecord(person));
    ASSERT_TRUE(book->addRecord(group));
    (void)group->setValue(QStringLiteral("Family; close"), kABGroupNameProperty);
    ASSERT_TRUE(group->addMember(person));
    ASSERT_TRUE(book->save());
    EXPECT_EQ(folder.readFile(QStringLiteral("G-1.vcf")),
              QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Harrowmere//Address Book//EN\r\nUID:G-1\r\n"
                         "KIND:group\r\nX-ADDRESSBOOKSERVER-KIND:group\r\nN:Family\\; close;;;;\r\nFN:Family\\; close\r\n"
                         "MEMBER:urn:uuid:P-1\r\nREV:2026-12-07T09:30:00Z\r\nEND:VCARD\r\n"));
    EXPECT_EQ(folder.readFile(QStringLiteral("P-1.vcf")),
              QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Harrowmere//Address Book//EN\r\nUID:P-1\r\nN:;;;;\r\n"
                         "FN:\r\nCATEGORIES:Family\\; close\r\nREV:2026-12-07T09:30:00Z\r\nEND:VCARD\r\n"));
}

TEST(ABAddressBook, APersonWithoutANameIsListedByWhatItHas)
{
    struct Row { const char *name; QString property; QVariant value; const char *formattedName; };
    const Row rows[] = {
        {"company", kABOrganizationProperty, QStringLiteral("Acme"), "FN:Acme\r\n"},
        {"nickname", kABNicknameProperty, QStringLiteral("Ace"), "FN:Ace\r\n"},
        {"phone", kABPhoneProperty, multiValue({{"T", kABPhoneMobileLabel, QStringLiteral("+1 555")}}).toVariant(), "FN:+1 555\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StoreFolder folder;
        const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
        const std::shared_ptr<ABPerson> person = ABPerson::initWithAddressBook(book);
        ASSERT_TRUE(person->setValue(row.value, row.property));
        ASSERT_TRUE(book->save());
        EXPECT_TRUE(folder.readFile(folder.cardFiles().first()).contains(row.formattedName));
    }
}

// A book makes a person when asked and keeps it only while someone holds it or it has unsaved
// changes: the same object while held, let go after a save.
TEST(ABAddressBook, PersonsAreMadeWhenAskedAndLetGoWhenNobodyHoldsThem)
{
    StoreFolder folder;
    for (const char *id : {"ann", "bob", "cy"}) {
        folder.writeFile(QString::fromLatin1(id) + QStringLiteral(".vcf"),
                         QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:") + id + "\r\nN:" + id +
                             ";;;;\r\nREV:2026-12-01T10:00:00Z\r\nEND:VCARD\r\n");
    }
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book);
    QStringList listed;
    for (const ABAddressBook::PersonStamp &stamp : book->personStamps()) {
        listed.append(stamp.uniqueId);
        EXPECT_EQ(stamp.modificationDate, QDateTime(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC));
    }
    EXPECT_EQ(listed, (QStringList{QStringLiteral("ann"), QStringLiteral("bob"), QStringLiteral("cy")}));
    std::shared_ptr<ABRecord> held = book->recordForUniqueId(QStringLiteral("ann"));
    ASSERT_TRUE(held);
    EXPECT_EQ(book->recordForUniqueId(QStringLiteral("ann")), held);
    std::weak_ptr<ABRecord> released = held;
    held.reset();
    EXPECT_TRUE(released.expired());
    // Changed and dropped by its caller: the book keeps it until it is saved.
    std::weak_ptr<ABRecord> changed;
    {
        const std::shared_ptr<ABRecord> bob = book->recordForUniqueId(QStringLiteral("bob"));
        ASSERT_TRUE(bob);
        (void)bob->setValue(QStringLiteral("Bobby"), kABFirstNameProperty);
        changed = bob;
    }
    ASSERT_FALSE(changed.expired());
    ASSERT_TRUE(book->save());
    EXPECT_TRUE(changed.expired());
    EXPECT_EQ(book->recordForUniqueId(QStringLiteral("bob"))->valueForProperty(kABFirstNameProperty), QStringLiteral("Bobby"));
    EXPECT_TRUE(folder.readFile(QStringLiteral("bob.vcf")).contains("N:bob;Bobby;;;\r\n"));
}

// The count the driver prints comes from the folder's index as the process last saw or saved it:
// persons only, each unique id once, unreadable files left out.
TEST(ABAddressBook, TheStoredPersonCountIsReadFromTheIndex)
{
    StoreFolder folder;
    folder.writeFile(QStringLiteral("a.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:a\r\nN:A;;;;\r\nEND:VCARD\r\n");
    folder.writeFile(QStringLiteral("copy.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:a\r\nN:Copy;;;;\r\nEND:VCARD\r\n");
    folder.writeFile(QStringLiteral("g.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:g\r\nKIND:group\r\nFN:G\r\nEND:VCARD\r\n");
    folder.writeFile(QStringLiteral("broken.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\n");
    EXPECT_EQ(ABAddressBook::storedPersonCount(), 1);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_EQ(book->people().size(), 1);
    ASSERT_TRUE(book->addRecord(ABPerson::personWithUniqueId(QStringLiteral("b"))));
    EXPECT_EQ(ABAddressBook::storedPersonCount(), 1);
    ASSERT_TRUE(book->save());
    EXPECT_EQ(ABAddressBook::storedPersonCount(), 2);
}

// The count a listing announces is the number of persons it visits, whatever the book holds,
// removed or added meanwhile.
TEST(ABAddressBook, TheListingCountsThePersonsItVisits)
{
    StoreFolder folder;
    // Two persons, a second file with the first one's id, and a file that does not parse.
    const std::pair<const char *, QByteArray> files[] = {
        {"a.vcf", "UID:a\r\nN:A;;;;\r\nEND:VCARD\r\n"},
        {"copy.vcf", "UID:a\r\nN:Copy;;;;\r\nEND:VCARD\r\n"},
        {"c.vcf", "UID:c\r\nN:C;;;;\r\nEND:VCARD\r\n"},
        {"broken.vcf", QByteArray()}};
    for (const auto &[name, lines] : files)
        folder.writeFile(QLatin1String(name), "BEGIN:VCARD\r\nVERSION:3.0\r\n" + lines);
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    const auto expectCount = [&book](qsizetype expected) {
        EXPECT_EQ(book->personStampCount(), expected);
        EXPECT_EQ(book->personStamps().size(), expected);
    };
    expectCount(2);
    ASSERT_TRUE(book->addRecord(ABPerson::personWithUniqueId(QStringLiteral("b"))));
    expectCount(3);
    ASSERT_TRUE(book->removeRecord(book->recordForUniqueId(QStringLiteral("c"))));
    expectCount(2);
    ASSERT_TRUE(book->save());
    expectCount(2);
    const std::shared_ptr<ABGroup> group = ABGroup::initWithAddressBook(book);
    ASSERT_TRUE(group->setValue(QStringLiteral("G"), kABGroupNameProperty));
    ASSERT_TRUE(book->addRecord(group));
    expectCount(2);
    ASSERT_TRUE(book->save());
    expectCount(2);
    EXPECT_EQ(ABAddressBook::addressBook()->personStampCount(), 2);
}

// A listing reads each person in place: the UTF-8 bytes it gives are exactly those of the id the
// person's stamp has (none when the index does not hold them so), and its date is the stamp's.
TEST(ABAddressBook, AListedPersonGivesInPlaceWhatItsStampHas)
{
    StoreFolder folder;
    const QByteArray rev = "REV:2026-12-01T10:00:00Z\r\n";
    const std::pair<const char *, QByteArray> files[] = {
        {"plain.vcf", "UID:plain\r\n" + rev},
        {"other-name.vcf", "UID:Zo\xc3\xab\r\n" + rev},
        {"no-uid.vcf", rev},
        {"removed.vcf", "UID:removed\r\n" + rev},
        {"early.vcf", "UID:early\r\nREV:1960-01-01T00:00:00Z\r\n"},
        // An id whose text loses the byte order mark in front of it.
        {"marked.vcf", "UID:\xef\xbb\xbfmarked\r\n" + rev}};
    for (const auto &[name, lines] : files)
        folder.writeFile(QLatin1String(name), "BEGIN:VCARD\r\nVERSION:3.0\r\nN:x;;;;\r\n" + lines + "END:VCARD\r\n");
    const std::shared_ptr<ABAddressBook> book = ABAddressBook::addressBook();
    ASSERT_TRUE(book->removeRecord(book->recordForUniqueId(QStringLiteral("removed"))));
    ASSERT_TRUE(book->addRecord(ABPerson::personWithUniqueId(QStringLiteral("unsaved"))));
    const qint64 revMs = QDateTime(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC).toMSecsSinceEpoch();
    const struct
    {
        QString uniqueId;
        QByteArray utf8; // null: none given
        bool hasRevDate;
    } expected[] = {{QStringLiteral("early"), "early", false},
                    {QStringLiteral("marked"), QByteArray(), true},
                    {QStringLiteral("no-uid"), "no-uid", true},
                    {QString::fromUtf8("Zo\xc3\xab"), "Zo\xc3\xab", true},
                    {QStringLiteral("plain"), "plain", true},
                    {QStringLiteral("unsaved"), QByteArray(), false}};
    QList<ABAddressBook::PersonStamp> stamps;
    book->visitListedPersons([&](const ABAddressBook::ListedPerson &person) {
        const qsizetype index = stamps.size();
        stamps.append(person.stamp());
        ASSERT_LT(index, std::size(expected));
        const auto &wanted = expected[index];
        EXPECT_EQ(stamps.last().uniqueId, wanted.uniqueId);
        EXPECT_EQ(person.uniqueIdUtf8().toByteArray(), wanted.utf8) << wanted.uniqueId.toStdString();
        EXPECT_EQ(person.uniqueIdUtf8().isEmpty(), wanted.utf8.isNull()) << wanted.uniqueId.toStdString();
        if (!person.uniqueIdUtf8().isEmpty()) {
            EXPECT_EQ(person.uniqueIdUtf8().toByteArray(), stamps.last().uniqueId.toUtf8());
        }
        const QDateTime &date = stamps.last().modificationDate;
        EXPECT_EQ(person.modificationMs(), date.isValid() && date.toMSecsSinceEpoch() >= 0 ? date.toMSecsSinceEpoch() : -1);
        if (wanted.hasRevDate)
            EXPECT_EQ(person.modificationMs(), revMs) << wanted.uniqueId.toStdString();
        else
            EXPECT_EQ(person.modificationMs(), -1) << wanted.uniqueId.toStdString();
    });
    EXPECT_EQ(stamps.size(), std::size(expected));
    EXPECT_TRUE(book->unreadableRecords().isEmpty()) << book->unreadableRecords().values().join(',').toStdString();
    const QList<ABAddressBook::PersonStamp> listed = book->personStamps();
    ASSERT_EQ(listed.size(), stamps.size());
    for (qsizetype index = 0; index < listed.size(); ++index) {
        EXPECT_EQ(listed[index].uniqueId, stamps[index].uniqueId);
        EXPECT_EQ(listed[index].modificationDate, stamps[index].modificationDate);
    }
}

// Once no book holds the folder, the process holds none of its snapshot: the count is what it
// last saw, and the next book reads the folder as it is then, a same-size rewrite included.
TEST(ABAddressBook, TheLastBookGoneTheFolderLetsItsSnapshotGo)
{
    StoreFolder folder;
    const auto card = [](const char *id, const char *rev) {
        return QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:") + id + "\r\nN:" + id + ";;;;\r\nREV:" + rev +
               "\r\nEND:VCARD\r\n";
    };
    for (const char *id : {"ann", "bob"})
        folder.writeFile(QString::fromLatin1(id) + QStringLiteral(".vcf"), card(id, "2026-12-01T10:00:00Z"));
    const std::shared_ptr<VCardFolder> cards =
        VCardFolder::forLocation(folder.path(), folder.path() + QStringLiteral("-index/book.index"));
    std::weak_ptr<const VCardFolder::Snapshot> shown;
    {
        const auto book = std::make_shared<ABAddressBook>(cards);
        ASSERT_TRUE(book->refresh());
        ASSERT_EQ(book->personStampCount(), 2);
        const Result<VCardFolder::SnapshotPointer> snapshot = cards->lastSnapshot();
        ASSERT_TRUE(snapshot);
        shown = *snapshot;
    }
    EXPECT_TRUE(shown.expired());
    // The same size, a new date: only the file's times tell.
    folder.writeFile(QStringLiteral("ann.vcf"), card("ann", "2026-12-02T10:00:00Z"));
    folder.writeFile(QStringLiteral("cy.vcf"), card("cy", "2026-12-01T10:00:00Z"));
    // What this process last saw, not a new listing.
    const Result<qsizetype> count = cards->lastPersonCount();
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, 2);
    const auto book = std::make_shared<ABAddressBook>(cards);
    ASSERT_TRUE(book->refresh());
    QStringList listed;
    book->visitPersonStamps([&listed](const ABAddressBook::PersonStamp &stamp) {
        listed.append(stamp.uniqueId + QLatin1Char(' ') + stamp.modificationDate.toString(Qt::ISODate));
    });
    EXPECT_EQ(listed, (QStringList{QStringLiteral("ann 2026-12-02T10:00:00Z"), QStringLiteral("bob 2026-12-01T10:00:00Z"),
                                   QStringLiteral("cy 2026-12-01T10:00:00Z")}));
    EXPECT_EQ(*cards->lastPersonCount(), 3);
}

// A book that saves after another book of the process saved shows the folder anew on its next
// refresh: a person it held from before carries none of the other book's change.
TEST(ABAddressBook, ASaveOnTopOfAnotherBooksSaveIsShownAnew)
{
    StoreFolder folder;
    for (const char *id : {"pat", "quinn"}) {
        folder.writeFile(QString::fromLatin1(id) + QStringLiteral(".vcf"),
                         QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:") + id + "\r\nN:" + id + ";;;;\r\nEND:VCARD\r\n");
    }
    const std::shared_ptr<ABAddressBook> first = ABAddressBook::addressBook();
    const std::shared_ptr<ABAddressBook> second = ABAddressBook::addressBook();
    const std::shared_ptr<ABRecord> heldPat = first->recordForUniqueId(QStringLiteral("pat"));
    ASSERT_TRUE(heldPat);
    (void)second->recordForUniqueId(QStringLiteral("pat"))->setValue(QStringLiteral("Renamed"), kABLastNameProperty);
    ASSERT_TRUE(second->save());
    (void)first->recordForUniqueId(QStringLiteral("quinn"))->setValue(QStringLiteral("Q"), kABFirstNameProperty);
    ASSERT_TRUE(first->save());
    EXPECT_EQ(first->recordForUniqueId(QStringLiteral("pat")), heldPat);
    ASSERT_TRUE(first->refresh());
    const std::shared_ptr<ABRecord> pat = first->recordForUniqueId(QStringLiteral("pat"));
    ASSERT_TRUE(pat);
    EXPECT_NE(pat, heldPat);
    EXPECT_EQ(pat->valueForProperty(kABLastNameProperty), QStringLiteral("Renamed"));
    EXPECT_EQ(first->recordForUniqueId(QStringLiteral("quinn"))->valueForProperty(kABFirstNameProperty), QStringLiteral("Q"));
}
