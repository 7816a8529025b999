// The vCard folder's index: a refresh parses only the files whose size, times or inode changed since
// the index was written, in this process or an earlier one; an index that is missing, damaged or of
// another folder is rebuilt by reading every file, and never makes a file look deleted.
#include "AddressBookTestSupport.h"

#include "platform/addressbook/VCardFolder.h"
#include "platform/foundation/Clock.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

using platform::VCardFolder;

namespace {

QByteArray cardText(const char *uid, const char *lastName)
{
    return QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:") + uid + "\r\nN:" + lastName + ";Ann;;;\r\nFN:Ann " +
           lastName + "\r\nREV:2026-12-01T10:00:00Z\r\nEND:VCARD\r\n";
}

// A folder with two cards and the path of its index, outside the folder as the address book keeps it.
struct IndexedFolder
{
    StoreFolder store;
    QString indexPath = store.path() + QStringLiteral("/../index/book.index");

    IndexedFolder()
    {
        store.writeFile(QStringLiteral("a.vcf"), cardText("a", "Alpha"));
        store.writeFile(QStringLiteral("b.vcf"), cardText("b", "Beta"));
    }
    // A folder object as a new process would make it: it knows only what the index file says.
    VCardFolder::Refreshed refreshAsNewProcess() const
    {
        VCardFolder folder(store.path(), indexPath);
        platform::Result<VCardFolder::Refreshed> refreshed = folder.refresh();
        EXPECT_TRUE(refreshed);
        return refreshed ? *refreshed : VCardFolder::Refreshed{std::make_shared<VCardFolder::Snapshot>(), {}, false};
    }
};

QStringList parsedNames(const VCardFolder::Refreshed &refreshed)
{
    return refreshed.parsedFiles();
}

QStringList lastNames(const VCardFolder::Refreshed &refreshed)
{
    QStringList names;
    for (const platform::VCardFileEntry &entry : refreshed.snapshot->entries)
        names.append(entry.summary().lastName);
    return names;
}

void setModificationTime(const QString &path, const struct timespec &time)
{
    const struct timespec times[2] = {time, time};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

struct timespec modificationTime(const QString &path)
{
    struct stat status = {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    return status.st_mtim;
}

// Another program's save: a new file of the same size renamed over the card, its time set back.
void replaceKeepingSizeAndTime(const IndexedFolder &folder, const QString &name, const QByteArray &bytes)
{
    const QString path = folder.store.filePath(name);
    const struct timespec time = modificationTime(path);
    folder.store.writeFile(QStringLiteral(".replacement"), bytes);
    setModificationTime(folder.store.filePath(QStringLiteral(".replacement")), time);
    ASSERT_EQ(::rename(QFile::encodeName(folder.store.filePath(QStringLiteral(".replacement"))).constData(),
                       QFile::encodeName(path).constData()),
              0);
}

void overwriteIndex(const IndexedFolder &folder, const QByteArray &bytes)
{
    QFile file(folder.indexPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << folder.indexPath.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray indexBytes(const IndexedFolder &folder)
{
    QFile file(folder.indexPath);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

// The clock a minute ahead, for as long as it lives: the folder's last change lies far enough back
// for a listing to trust the folder's state next time.
class SettledClock final
{
public:
    SettledClock()
    {
        const QDateTime ahead = QDateTime::currentDateTimeUtc().addSecs(60);
        platform::Clock::setSource([ahead] { return ahead; });
    }
    ~SettledClock() { platform::Clock::setSource({}); }
    SettledClock(const SettledClock &) = delete;
    SettledClock &operator=(const SettledClock &) = delete;
};

qint64 nanosecondsOf(const struct timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

struct stat statusOf(const QString &path)
{
    struct stat status = {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    return status;
}

// The digest of the file's size, modification and change times and inode, worked out here on its
// own: the index holds exactly this for each file, whichever build wrote it.
quint64 stampDigestOf(const QString &path)
{
    const struct stat status = statusOf(path);
    quint64 hash = 0x9E3779B97F4A7C15ULL;
    for (const quint64 number : {quint64(status.st_size), quint64(nanosecondsOf(status.st_mtim)),
                                 quint64(nanosecondsOf(status.st_ctim)), quint64(status.st_ino)}) {
        hash = (hash ^ number) * 0xBF58476D1CE4E5B9ULL;
        hash = (hash ^ (hash >> 31)) * 0x94D049BB133111EBULL;
        hash ^= hash >> 29;
    }
    return hash;
}

// Another program's edit in place: the same number of bytes written over the card, its time set back.
void overwriteInPlaceKeepingSizeAndTime(const IndexedFolder &folder, const QString &name, const QByteArray &bytes)
{
    const QString path = folder.store.filePath(name);
    const struct timespec time = modificationTime(path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_EQ(file.size(), bytes.size());
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    setModificationTime(path, time);
}

// The fields of an index's header, in the order the file holds them.
struct IndexHeader
{
    quint32 magic = 0, version = 0, checksum = 0;
    QString folderPath;
    quint32 count = 0;
    quint8 hasFolderStamp = 0;
    qint64 folderSize = 0, folderModificationNs = 0, folderChangeNs = 0;
    quint64 folderInode = 0;
};

IndexHeader readHeader(QDataStream &in)
{
    IndexHeader header;
    in >> header.magic >> header.version >> header.checksum >> header.folderPath >> header.count >>
        header.hasFolderStamp >> header.folderSize >> header.folderModificationNs >> header.folderChangeNs >>
        header.folderInode;
    return header;
}

enum class IndexAtEnd { Saved, NotSaved };

// A process that lists the folder, writes one card named after its unique id, removes the files named,
// and ends with its index saved or not.
void writeAsOneProcess(const IndexedFolder &folder, const char *uid, const char *lastName, const QStringList &removals,
                       IndexAtEnd index)
{
    VCardFolder process(folder.store.path(), folder.indexPath);
    ASSERT_TRUE(process.refresh());
    platform::VCardSummary summary;
    summary.uniqueId = QString::fromLatin1(uid);
    summary.lastName = QString::fromUtf8(lastName);
    const QString fileName = summary.uniqueId + QStringLiteral(".vcf");
    ASSERT_TRUE(process.writeFiles({{fileName, cardText(uid, lastName), summary}}, removals).failures.isEmpty());
    if (index == IndexAtEnd::Saved)
        process.flushIndex();
}

// A change made to the folder by another program, and what the next refresh parses and shows.
struct ChangeRow
{
    const char *name;
    void (*change)(const IndexedFolder &);
    QStringList parsed;
    QStringList lastNames;
};

} // namespace

TEST(VCardFolderIndex, ARefreshParsesOnlyWhatChangedSinceTheIndexWasWritten)
{
    const QStringList both = {QStringLiteral("a.vcf"), QStringLiteral("b.vcf")};
    const QStringList alphaBeta = {QStringLiteral("Alpha"), QStringLiteral("Beta")};
    const ChangeRow rows[] = {
        {"nothing changed", [](const IndexedFolder &) {}, {}, alphaBeta},
        {"rewritten, time moved",
         [](const IndexedFolder &folder) {
             folder.store.writeFile(QStringLiteral("a.vcf"), cardText("a", "Gamma"));
             setModificationTime(folder.store.filePath(QStringLiteral("a.vcf")), {2000000000, 0});
         },
         {QStringLiteral("a.vcf")},
         {QStringLiteral("Gamma"), QStringLiteral("Beta")}},
        {"replaced by another file of the same size and time",
         [](const IndexedFolder &folder) {
             replaceKeepingSizeAndTime(folder, QStringLiteral("b.vcf"), cardText("b", "Delta"));
         },
         {QStringLiteral("b.vcf")},
         {QStringLiteral("Alpha"), QStringLiteral("Delta")}},
        {"grown in place, time set back",
         [](const IndexedFolder &folder) {
             const QString path = folder.store.filePath(QStringLiteral("a.vcf"));
             const struct timespec time = modificationTime(path);
             folder.store.writeFile(QStringLiteral("a.vcf"), cardText("a", "Epsilonic"));
             setModificationTime(path, time);
         },
         {QStringLiteral("a.vcf")},
         {QStringLiteral("Epsilonic"), QStringLiteral("Beta")}},
        {"a new file",
         [](const IndexedFolder &folder) { folder.store.writeFile(QStringLiteral("c.vcf"), cardText("c", "Zeta")); },
         {QStringLiteral("c.vcf")},
         {QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Zeta")}},
        {"a file removed",
         [](const IndexedFolder &folder) {
             ASSERT_TRUE(QFile::remove(folder.store.filePath(QStringLiteral("a.vcf"))));
         },
         {},
         {QStringLiteral("Beta")}},
        {"index missing", [](const IndexedFolder &folder) { ASSERT_TRUE(QFile::remove(folder.indexPath)); }, both,
         alphaBeta},
        {"index empty", [](const IndexedFolder &folder) { overwriteIndex(folder, QByteArray()); }, both, alphaBeta},
        {"index of another folder",
         [](const IndexedFolder &folder) {
             IndexedFolder other;
             other.store.writeFile(QStringLiteral("a.vcf"), cardText("a", "Foreign"));
             (void)other.refreshAsNewProcess();
             overwriteIndex(folder, indexBytes(other));
         },
         both, alphaBeta},
    };
    for (const ChangeRow &row : rows) {
        SCOPED_TRACE(row.name);
        const IndexedFolder folder;
        ASSERT_EQ(parsedNames(folder.refreshAsNewProcess()), both);
        row.change(folder);
        const VCardFolder::Refreshed snapshot = folder.refreshAsNewProcess();
        EXPECT_EQ(parsedNames(snapshot), row.parsed);
        EXPECT_EQ(lastNames(snapshot), row.lastNames);
        // What the refresh learnt is kept: the next process parses nothing.
        EXPECT_EQ(parsedNames(folder.refreshAsNewProcess()), QStringList());
    }
}

TEST(VCardFolderIndex, ADamagedIndexIsRebuiltAndNeverLosesAFile)
{
    const IndexedFolder folder;
    (void)folder.refreshAsNewProcess();
    const QByteArray intact = indexBytes(folder);
    ASSERT_GT(intact.size(), 64);
    QRandomGenerator random(18);
    QList<QByteArray> damaged;
    for (qsizetype length = 0; length < intact.size(); length += 7)
        damaged.append(intact.left(length));
    for (int flip = 0; flip < 64; ++flip) {
        QByteArray bytes = intact;
        bytes[random.bounded(int(bytes.size()))] ^= char(1 << random.bounded(8));
        damaged.append(bytes);
    }
    for (const QByteArray &bytes : std::as_const(damaged)) {
        overwriteIndex(folder, bytes);
        const VCardFolder::Refreshed snapshot = folder.refreshAsNewProcess();
        SCOPED_TRACE(bytes.toHex().toStdString());
        EXPECT_EQ(lastNames(snapshot), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
        // A damaged index is thrown away whole, so both files are read again.
        EXPECT_EQ(parsedNames(snapshot), (QStringList{QStringLiteral("a.vcf"), QStringLiteral("b.vcf")}));
    }
}

// What the folder wrote reaches the index file on flushIndex, not with every batch; a process killed
// before that leaves an index that only makes the next process read those files again.
TEST(VCardFolderIndex, WhatItWroteItselfIsNotReadAgain)
{
    for (const bool isFlushed : {true, false}) {
        SCOPED_TRACE(isFlushed ? "flushed" : "killed before the flush");
        const IndexedFolder folder;
        (void)folder.refreshAsNewProcess();
        VCardFolder writer(folder.store.path(), folder.indexPath);
        platform::VCardSummary summary;
        summary.uniqueId = QStringLiteral("c");
        summary.lastName = QStringLiteral("Gamma");
        const QHash<QString, QString> failures =
            writer.writeFiles({{QStringLiteral("c.vcf"), cardText("c", "Gamma"), summary}}, {QStringLiteral("a.vcf")})
                .failures;
        EXPECT_TRUE(failures.isEmpty()) << failures.values().join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(writer.indexedStamp(QStringLiteral("c.vcf")).has_value());
        EXPECT_FALSE(writer.indexedStamp(QStringLiteral("a.vcf")).has_value());
        if (isFlushed)
            writer.flushIndex();
        // The rename that puts a card in place moves its change time: the index must hold the time after it.
        const VCardFolder::Refreshed snapshot = folder.refreshAsNewProcess();
        EXPECT_EQ(parsedNames(snapshot), isFlushed ? QStringList() : QStringList{QStringLiteral("c.vcf")});
        EXPECT_EQ(lastNames(snapshot), (QStringList{QStringLiteral("Beta"), QStringLiteral("Gamma")}));
    }
}

// A replacement killed midway leaves its temporary file beside the card: a listing removes it once it
// is old enough to be no running writer's, and leaves young ones and other hidden files alone.
TEST(VCardFolderIndex, AListingClearsOldTemporaryFilesOfKilledReplacements)
{
    const IndexedFolder folder;
    const QString old = folder.store.filePath(QStringLiteral(".a.vcf.Xy12Zq.hmtmp"));
    const QString young = folder.store.filePath(QStringLiteral(".b.vcf.Ab34Cd.hmtmp"));
    const QString other = folder.store.filePath(QStringLiteral(".hidden.hmtmp"));
    for (const QString &path : {old, young, other}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(cardText("a", "Alpha"));
    }
    const struct timeval times[2] = {{time(nullptr) - 11 * 60, 0}, {time(nullptr) - 11 * 60, 0}};
    for (const QString &path : {old, other})
        ASSERT_EQ(::utimes(QFile::encodeName(path).constData(), times), 0);
    const VCardFolder::Refreshed snapshot = folder.refreshAsNewProcess();
    EXPECT_EQ(lastNames(snapshot), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
    EXPECT_FALSE(QFile::exists(old));
    EXPECT_TRUE(QFile::exists(young));
    EXPECT_TRUE(QFile::exists(other));
}

// Once a folder object has listed the folder, a refresh after nothing but its own writes lists it
// no more, yet every change another program makes between two refreshes is seen: in place with
// size and times kept, files moved in and out, added and removed.
TEST(VCardFolderIndex, ARefreshAfterItsOwnWritesStillSeesEveryOtherChange)
{
    const ChangeRow rows[] = {
        {"nothing", [](const IndexedFolder &) {}, {}, {QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gamma")}},
        {"rewritten in place, size and time kept",
         [](const IndexedFolder &folder) {
             const QString path = folder.store.filePath(QStringLiteral("a.vcf"));
             const struct timespec time = modificationTime(path);
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             const QByteArray bytes = file.readAll();
             ASSERT_TRUE(file.seek(0));
             ASSERT_EQ(file.write(QByteArray(bytes).replace("Alpha", "Omega")), bytes.size());
             file.close();
             setModificationTime(path, time);
         },
         {QStringLiteral("a.vcf")},
         {QStringLiteral("Omega"), QStringLiteral("Beta"), QStringLiteral("Gamma")}},
        {"a file moved in",
         [](const IndexedFolder &folder) {
             const QString outside = folder.store.path() + QStringLiteral("/../d.vcf");
             QFile file(outside);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(cardText("d", "Delta"));
             file.close();
             ASSERT_TRUE(QFile::rename(outside, folder.store.filePath(QStringLiteral("d.vcf"))));
         },
         {QStringLiteral("d.vcf")},
         {QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gamma"), QStringLiteral("Delta")}},
        {"a file moved out",
         [](const IndexedFolder &folder) {
             ASSERT_TRUE(QFile::rename(folder.store.filePath(QStringLiteral("b.vcf")), folder.store.path() + QStringLiteral("/../b.vcf")));
         },
         {},
         {QStringLiteral("Alpha"), QStringLiteral("Gamma")}},
        {"a file added", [](const IndexedFolder &folder) { folder.store.writeFile(QStringLiteral("e.vcf"), cardText("e", "Eta")); },
         {QStringLiteral("e.vcf")},
         {QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gamma"), QStringLiteral("Eta")}},
        {"its own file removed",
         [](const IndexedFolder &folder) { ASSERT_TRUE(QFile::remove(folder.store.filePath(QStringLiteral("c.vcf")))); },
         {},
         {QStringLiteral("Alpha"), QStringLiteral("Beta")}},
    };
    for (const ChangeRow &row : rows) {
        SCOPED_TRACE(row.name);
        const IndexedFolder folder;
        VCardFolder same(folder.store.path(), folder.indexPath);
        same.holdWatch();
        ASSERT_TRUE(same.refresh());
        platform::VCardSummary summary;
        summary.uniqueId = QStringLiteral("c");
        summary.lastName = QStringLiteral("Gamma");
        const VCardFolder::Written written = same.writeFiles({{QStringLiteral("c.vcf"), cardText("c", "Gamma"), summary}}, {});
        ASSERT_TRUE(written.failures.isEmpty());
        row.change(folder);
        const platform::Result<VCardFolder::Refreshed> refreshed = same.refresh();
        ASSERT_TRUE(refreshed);
        EXPECT_EQ(refreshed->parsedFiles(), row.parsed);
        EXPECT_EQ(lastNames(*refreshed), row.lastNames);
        // Nothing new: the very snapshot the write made, shared rather than built again, and the folder
        // not even listed.
        const bool isUnchanged = row.lastNames.size() == 3 && row.parsed.isEmpty();
        EXPECT_EQ(refreshed->snapshot == written.snapshot, isUnchanged);
        EXPECT_EQ(refreshed->isListed, !isUnchanged);
        same.releaseWatch();
        // Unwatched, it lists the folder again.
        EXPECT_TRUE(same.refresh()->isListed);
    }
}

// A snapshot let go to rest comes back from the index file when nothing else touched the folder,
// and from a listing when another program changed a card or the index no longer reads as written:
// resting never hides a card nor shows one that is gone. A snapshot someone else holds is kept.
TEST(VCardFolderIndex, ASnapshotAtRestComesBackWholeFromTheIndexOrFromAListing)
{
    struct RestRow
    {
        const char *name;
        std::function<void(const IndexedFolder &)> change;
        bool isListed;
        QStringList lastNames;
    };
    const RestRow rows[] = {
        {"nothing", [](const IndexedFolder &) {}, false, {QStringLiteral("Alpha"), QStringLiteral("Beta")}},
        {"a card added by another program",
         [](const IndexedFolder &folder) { folder.store.writeFile(QStringLiteral("c.vcf"), cardText("c", "Gamma")); },
         true,
         {QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gamma")}},
        {"a card removed by another program",
         [](const IndexedFolder &folder) { ASSERT_TRUE(QFile::remove(folder.store.filePath(QStringLiteral("b.vcf")))); },
         true,
         {QStringLiteral("Alpha")}},
        {"the index file removed",
         [](const IndexedFolder &folder) { ASSERT_TRUE(QFile::remove(folder.indexPath)); },
         true,
         {QStringLiteral("Alpha"), QStringLiteral("Beta")}},
        {"the index file cut short",
         [](const IndexedFolder &folder) { ASSERT_TRUE(QFile::resize(folder.indexPath, QFileInfo(folder.indexPath).size() / 2)); },
         true,
         {QStringLiteral("Alpha"), QStringLiteral("Beta")}},
    };
    for (const RestRow &row : rows) {
        SCOPED_TRACE(row.name);
        const IndexedFolder folder;
        VCardFolder same(folder.store.path(), folder.indexPath);
        same.holdWatch();
        ASSERT_TRUE(same.refresh());
        same.restSnapshot();
        row.change(folder);
        const platform::Result<VCardFolder::Refreshed> refreshed = same.refresh();
        ASSERT_TRUE(refreshed);
        EXPECT_EQ(refreshed->isListed, row.isListed);
        EXPECT_EQ(lastNames(*refreshed), row.lastNames);
        EXPECT_EQ(*same.lastPersonCount(), row.lastNames.size());
        same.releaseWatch();
    }
    const IndexedFolder folder;
    VCardFolder same(folder.store.path(), folder.indexPath);
    same.holdWatch();
    const platform::Result<VCardFolder::Refreshed> held = same.refresh();
    ASSERT_TRUE(held);
    same.restSnapshot();
    EXPECT_EQ(same.refresh()->snapshot, held->snapshot);
    same.releaseWatch();
}

// The index file, field by field: a header with its magic number, version and the CRC-32 of the
// rest, the folder's path and the entries in name order, each with its name, status, the card's
// date, flags and its texts packed as length-prefixed UTF-8 (the unique id left empty when it is the
// file's name).
TEST(VCardFolderIndex, TheIndexFileHoldsItsEntriesInAFixedLayout)
{
    const IndexedFolder folder;
    folder.store.writeFile(QStringLiteral("odd.vcf"),
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:other-id\r\nN:Ødegård;Åse;;;\r\nORG:Fjord AS\r\n"
                           "EMAIL:ase@example.no\r\nEMAIL:a2@example.no\r\nREV:20261201T100000Z\r\nEND:VCARD\r\n");
    folder.store.writeFile(QStringLiteral("zz.vcf"), "not a card");
    (void)folder.refreshAsNewProcess();
    const QByteArray bytes = indexBytes(folder);
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    const IndexHeader header = readHeader(in);
    EXPECT_EQ(header.magic, 0x48414249u);
    EXPECT_EQ(header.version, 6u);
    // The folder changed a moment ago: its state is not trusted yet, and the header holds none.
    EXPECT_EQ(header.hasFolderStamp, 0u);
    EXPECT_EQ(header.folderSize, 0);
    EXPECT_EQ(header.folderModificationNs, 0);
    EXPECT_EQ(header.folderChangeNs, 0);
    EXPECT_EQ(header.folderInode, 0u);
    const QByteArray payload = bytes.mid(12);
    EXPECT_EQ(header.checksum, quint32(::crc32(0, reinterpret_cast<const Bytef *>(payload.constData()), uInt(payload.size()))));
    EXPECT_EQ(header.folderPath, QDir::cleanPath(folder.store.path()));
    ASSERT_EQ(header.count, 4u);
    struct Expected
    {
        const char *fileName;
        qint64 modificationMs;
        quint8 flags;
        QByteArray details;
    };
    const qint64 revision = QDateTime(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC).toMSecsSinceEpoch();
    const Expected expected[] = {
        {"a.vcf", revision, 1, QByteArray("\x00\x03" "Ann\x05" "Alpha\x00\x00\x00", 14)},
        {"b.vcf", revision, 1, QByteArray("\x00\x03" "Ann\x04" "Beta\x00\x00\x00", 13)},
        {"odd.vcf", revision, 1,
         QByteArray("\x08other-id\x04\xc3\x85se\x09\xc3\x98" "deg\xc3\xa5rd\x08" "Fjord AS\x00\x00\x0e" "ase@example.no\x0d"
                    "a2@example.no", 64)},
        {"zz.vcf", -1, 0, QByteArray("\x00\x00\x00\x00\x00\x24", 6) + "zz.vcf: line 1 has no name and colon"},
    };
    for (const Expected &entry : expected) {
        SCOPED_TRACE(entry.fileName);
        QByteArray fileName, details;
        quint64 digest = 0;
        qint64 modificationMs = 0;
        quint8 flags = 0;
        in >> fileName >> digest >> modificationMs >> flags >> details;
        EXPECT_EQ(fileName, QByteArray(entry.fileName));
        EXPECT_EQ(digest, stampDigestOf(folder.store.filePath(QString::fromLatin1(entry.fileName))));
        EXPECT_EQ(modificationMs, entry.modificationMs);
        EXPECT_EQ(flags, entry.flags);
        EXPECT_EQ(details.toHex(' '), entry.details.toHex(' '));
    }
    EXPECT_EQ(in.status(), QDataStream::Ok);
    EXPECT_TRUE(in.atEnd());
}

namespace {

platform::VCardFileWrite cardWrite(const QString &uid, const QString &lastName)
{
    platform::VCardSummary summary;
    summary.uniqueId = uid;
    summary.lastName = lastName;
    return {uid + QStringLiteral(".vcf"), cardText(uid.toUtf8().constData(), lastName.toUtf8().constData()), summary};
}

QStringList lastNamesOf(const VCardFolder::Snapshot &snapshot)
{
    QStringList names;
    for (const platform::VCardFileEntry &entry : snapshot.entries)
        names.append(entry.summary().lastName);
    return names;
}

qsizetype textBytesOf(const VCardFolder::Snapshot &snapshot)
{
    qsizetype bytes = 0;
    for (const platform::VCardFileEntry &entry : snapshot.entries)
        bytes += entry.texts().size();
    return bytes;
}

} // namespace

// Every snapshot keeps showing what it showed while later batches replace and add files: the entries'
// texts lie in blocks the snapshots share, and those blocks stay bounded by what the entries use
// however often a card is rewritten.
TEST(VCardFolderIndex, SnapshotsStayWholeWhileLaterBatchesReplaceAndAddFiles)
{
    struct Row
    {
        const char *name;
        int batches;
        int lastNameLength;
        bool addsFiles;
    };
    const Row rows[] = {{"many batches adding files", 80, 6, true}, {"one long card rewritten", 120, 4000, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const IndexedFolder folder;
        VCardFolder writer(folder.store.path(), folder.indexPath);
        ASSERT_TRUE(writer.refresh());
        std::vector<std::pair<VCardFolder::SnapshotPointer, QStringList>> seen;
        QStringList added;
        for (int batch = 0; batch < row.batches; ++batch) {
            const QString lastName = QStringLiteral("%1").arg(batch, row.lastNameLength, 10, QLatin1Char('0'));
            QList<platform::VCardFileWrite> writes{cardWrite(QStringLiteral("c"), lastName)};
            if (row.addsFiles) {
                const QString uid = QStringLiteral("n%1").arg(batch, 3, 10, QLatin1Char('0'));
                writes.append(cardWrite(uid, QStringLiteral("New")));
                added.append(QStringLiteral("New"));
            }
            const VCardFolder::Written written = writer.writeFiles(writes, {});
            ASSERT_TRUE(written.failures.isEmpty());
            seen.emplace_back(written.snapshot,
                              QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta"), lastName} + added);
        }
        for (const auto &[snapshot, expected] : seen)
            EXPECT_EQ(lastNamesOf(*snapshot), expected);
        const VCardFolder::Snapshot &last = *seen.back().first;
        EXPECT_LE(last.blocks.size(), size_t(64));
        EXPECT_LE(last.blockBytes, 2 * textBytesOf(last) + 64 * 1024);
        writer.flushIndex();
        const VCardFolder::Refreshed reopened = folder.refreshAsNewProcess();
        EXPECT_EQ(parsedNames(reopened), QStringList());
        EXPECT_EQ(lastNames(reopened), seen.back().second);
    }
}

namespace {

platform::VCardFileWrite namedCardWrite(const char *fileName, const char *uid)
{
    platform::VCardSummary summary;
    summary.uniqueId = QString::fromLatin1(uid);
    summary.lastName = QStringLiteral("Same");
    return {QString::fromLatin1(fileName), cardText(uid, "Same"), summary};
}

// The files shown (readable, each unique id once), in name order.
QStringList shownNamesOf(const VCardFolder::Snapshot &snapshot)
{
    QStringList names;
    for (const platform::VCardFileEntry &entry : snapshot.entries) {
        if (entry.isReadable && !entry.isDuplicate)
            names.append(entry.name());
    }
    return names;
}

// "uid=file" for each unique id, the file standing for it empty when none does.
QStringList standingFilesOf(const VCardFolder::Snapshot &snapshot, const QStringList &uids)
{
    QStringList standing;
    for (const QString &uid : uids) {
        const qsizetype found = snapshot.findUniqueId(uid);
        standing.append(uid + QLatin1Char('=') + (found < 0 ? QString() : snapshot.entries[size_t(found)].name()));
    }
    return standing;
}

} // namespace

// Files holding one unique id arrive and go in separate batches: after each, the first of them in
// name order (a file named after the id among them) is the only one shown and the one the id finds,
// and a name written again stays one file. A new process reads the same from the index and from the
// files themselves.
TEST(VCardFolderIndex, OneUniqueIdInFilesOfSeveralBatchesStandsOnceForTheFirstFile)
{
    struct Step
    {
        const char *name;
        QList<platform::VCardFileWrite> writes;
        QStringList removals;
        QStringList shown;
        QStringList standing;
    };
    const QStringList uids{QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("w"), QStringLiteral("q")};
    const QList<Step> steps{
        {"a file named after its id and one named otherwise",
         {namedCardWrite("x.vcf", "x"), namedCardWrite("m.vcf", "y")},
         {},
         {"a.vcf", "b.vcf", "m.vcf", "x.vcf"},
         {"x=x.vcf", "y=m.vcf", "w=", "q="}},
        {"earlier files with those ids, and a later one",
         {namedCardWrite("k.vcf", "x"), namedCardWrite("l.vcf", "x"), namedCardWrite("z.vcf", "y")},
         {},
         {"a.vcf", "b.vcf", "k.vcf", "m.vcf"},
         {"x=k.vcf", "y=m.vcf", "w=", "q="}},
        {"the standing file removed, another given an id of its own",
         {namedCardWrite("m.vcf", "w")},
         {"k.vcf"},
         {"a.vcf", "b.vcf", "l.vcf", "m.vcf", "z.vcf"},
         {"x=l.vcf", "y=z.vcf", "w=m.vcf", "q="}},
        {"the last file named otherwise gone, an earlier one takes an id over",
         {namedCardWrite("c.vcf", "y")},
         {"l.vcf"},
         {"a.vcf", "b.vcf", "c.vcf", "m.vcf", "x.vcf"},
         {"x=x.vcf", "y=c.vcf", "w=m.vcf", "q="}},
        {"the file named after an id given another",
         {namedCardWrite("x.vcf", "q"), namedCardWrite("c.vcf", "y")},
         {},
         {"a.vcf", "b.vcf", "c.vcf", "m.vcf", "x.vcf"},
         {"x=", "y=c.vcf", "w=m.vcf", "q=x.vcf"}},
    };
    const IndexedFolder folder;
    VCardFolder writer(folder.store.path(), folder.indexPath);
    ASSERT_TRUE(writer.refresh());
    VCardFolder::SnapshotPointer last;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        const VCardFolder::Written written = writer.writeFiles(step.writes, step.removals);
        ASSERT_TRUE(written.failures.isEmpty());
        EXPECT_EQ(shownNamesOf(*written.snapshot), step.shown);
        EXPECT_EQ(standingFilesOf(*written.snapshot, uids), step.standing);
        last = written.snapshot;
    }
    const QStringList files{"a.vcf", "b.vcf", "c.vcf", "m.vcf", "x.vcf", "z.vcf"};
    EXPECT_EQ(folder.store.cardFiles(), files);
    QStringList indexed;
    for (const platform::VCardFileEntry &entry : last->entries)
        indexed.append(entry.name());
    EXPECT_EQ(indexed, files);
    writer.flushIndex();
    for (const bool hasIndex : {true, false}) {
        SCOPED_TRACE(hasIndex ? "from the index" : "from the files");
        if (!hasIndex) {
            ASSERT_TRUE(QFile::remove(folder.indexPath));
        }
        const VCardFolder::Refreshed reopened = folder.refreshAsNewProcess();
        EXPECT_EQ(parsedNames(reopened), hasIndex ? QStringList() : files);
        EXPECT_EQ(shownNamesOf(*reopened.snapshot), steps.back().shown);
        EXPECT_EQ(standingFilesOf(*reopened.snapshot, uids), steps.back().standing);
    }
}

// Seeded batches write and remove files, some named after the ids they hold and some not, over a few
// ids: after each, what the batches' snapshot shows and which file each id finds are what a new
// process shows, reading the same folder whole from the index written then.
TEST(VCardFolderIndex, BatchesOfFilesSharingIdsShowWhatTheFolderReadWholeShows)
{
    const QStringList uids{QStringLiteral("u0"), QStringLiteral("u1"), QStringLiteral("u2"), QStringLiteral("u3")};
    const IndexedFolder folder;
    VCardFolder writer(folder.store.path(), folder.indexPath);
    ASSERT_TRUE(writer.refresh());
    QRandomGenerator random(20261211);
    for (int batch = 0; batch < 40; ++batch) {
        SCOPED_TRACE(batch);
        QList<platform::VCardFileWrite> writes;
        QSet<QString> names;
        for (int count = 1 + int(random.bounded(3)); count > 0; --count) {
            const QByteArray uid = uids.at(random.bounded(uids.size())).toLatin1();
            // Half the files are named after an id, the others have names of their own.
            const QByteArray name = random.bounded(2) == 0 ? uids.at(random.bounded(uids.size())).toLatin1()
                                                           : "n" + QByteArray::number(random.bounded(8));
            if (!names.contains(QString::fromLatin1(name + ".vcf")))
                writes.append(namedCardWrite((name + ".vcf").constData(), uid.constData()));
            names.insert(QString::fromLatin1(name + ".vcf"));
        }
        const quint32 removed = random.bounded(12);
        const QString removal = removed < 8 ? QStringLiteral("n%1.vcf").arg(removed) : uids.at(removed - 8) + ".vcf";
        const QStringList removals = names.contains(removal) ? QStringList() : QStringList{removal};
        const VCardFolder::Written written = writer.writeFiles(writes, removals);
        ASSERT_TRUE(written.failures.isEmpty());
        writer.flushIndex();
        const VCardFolder::Refreshed reopened = folder.refreshAsNewProcess();
        EXPECT_EQ(shownNamesOf(*written.snapshot), shownNamesOf(*reopened.snapshot));
        EXPECT_EQ(standingFilesOf(*written.snapshot, uids), standingFilesOf(*reopened.snapshot, uids));
    }
}

// An index whose checksum holds but whose entry claims more bytes than the file has, or a name
// longer than any file name (written by something other than this folder), is dropped like a
// damaged one: every file is read again.
TEST(VCardFolderIndex, AnEntryLongerThanTheIndexDropsTheIndex)
{
    const IndexedFolder folder;
    (void)folder.refreshAsNewProcess();
    const struct
    {
        quint32 claimed;
        qsizetype present;
    } rows[] = {{0x7FFFFFFF, 64}, {4096, 64}, {0xFFFFFFFE, 64}, {0x10000, 0x10000 + 64}};
    for (const auto &[claimed, present] : rows) {
        SCOPED_TRACE(claimed);
        QByteArray payload;
        QDataStream body(&payload, QIODevice::WriteOnly);
        body.setVersion(QDataStream::Qt_6_0);
        body << folder.store.path() << quint32(1) << claimed;
        payload += QByteArray(present, '\0');
        QByteArray bytes;
        QDataStream header(&bytes, QIODevice::WriteOnly);
        header.setVersion(QDataStream::Qt_6_0);
        header << quint32(0x48414249) << quint32(4)
               << quint32(::crc32(0L, reinterpret_cast<const Bytef *>(payload.constData()), uInt(payload.size())));
        overwriteIndex(folder, bytes + payload);
        const VCardFolder::Refreshed snapshot = folder.refreshAsNewProcess();
        EXPECT_EQ(lastNames(snapshot), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
        EXPECT_EQ(parsedNames(snapshot), (QStringList{QStringLiteral("a.vcf"), QStringLiteral("b.vcf")}));
    }
}

// A write puts exactly its bytes under the name, readable by the owner alone, and leaves no other
// name in the folder, whether the name is new, known to the index, taken by a file another program
// put there since the last refresh, or taken by a link (which is replaced, never followed).
TEST(VCardFolderIndex, AWriteLeavesExactlyItsFileWhateverHeldTheName)
{
    struct Row
    {
        const char *name;
        const char *uid;
        void (*before)(const IndexedFolder &);
    };
    const Row rows[] = {
        {"a new name", "c", [](const IndexedFolder &) {}},
        {"a file the index knows", "a", [](const IndexedFolder &) {}},
        {"a file put there since the refresh", "z",
         [](const IndexedFolder &folder) { folder.store.writeFile(QStringLiteral("z.vcf"), cardText("z", "Other")); }},
        {"a link to a file outside", "z",
         [](const IndexedFolder &folder) {
             ASSERT_EQ(::symlink(QFile::encodeName(folder.store.filePath(QStringLiteral("../outside.vcf"))).constData(),
                                 QFile::encodeName(folder.store.filePath(QStringLiteral("z.vcf"))).constData()),
                       0);
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const IndexedFolder folder;
        folder.store.writeFile(QStringLiteral("../outside.vcf"), cardText("outside", "Outside"));
        VCardFolder writer(folder.store.path(), folder.indexPath);
        ASSERT_TRUE(writer.refresh());
        row.before(folder);
        const QString uid = QString::fromLatin1(row.uid);
        const platform::VCardFileWrite write = cardWrite(uid, QStringLiteral("Written"));
        const VCardFolder::Written written = writer.writeFiles({write}, {});
        ASSERT_TRUE(written.failures.isEmpty()) << written.failures.values().join(QLatin1Char(' ')).toStdString();
        const QString path = folder.store.filePath(write.fileName);
        struct stat status = {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, mode_t(0600));
        EXPECT_EQ(folder.store.readFile(write.fileName), write.bytes);
        EXPECT_EQ(folder.store.readFile(QStringLiteral("../outside.vcf")), cardText("outside", "Outside"));
        QStringList expected{QStringLiteral("a.vcf"), QStringLiteral("b.vcf"), write.fileName};
        expected.removeDuplicates();
        expected.sort();
        EXPECT_EQ(QDir(folder.store.path()).entryList(QDir::Files | QDir::System | QDir::Hidden, QDir::Name), expected);
        writer.flushIndex();
        EXPECT_EQ(parsedNames(folder.refreshAsNewProcess()), QStringList());
    }
}

// A folder of more files than a listing looks up at once: every change of every kind is still seen,
// wherever it falls among the batches, and nothing but card files that are regular files is taken.
TEST(VCardFolderIndex, ALargeFolderNoticesEachChangeWhereverItLies)
{
    const IndexedFolder folder;
    QStringList expected{QStringLiteral("a.vcf"), QStringLiteral("b.vcf")};
    const auto nameOf = [](int number) { return QStringLiteral("card-%1.vcf").arg(number, 4, 10, QLatin1Char('0')); };
    for (int number = 0; number < 700; ++number) {
        const QByteArray uid = QByteArrayLiteral("card-") + QByteArray::number(number).rightJustified(4, '0');
        folder.store.writeFile(nameOf(number), cardText(uid.constData(), "Alpha"));
        expected.append(nameOf(number));
    }
    ASSERT_EQ(qsizetype(folder.refreshAsNewProcess().parsed.size()), expected.size());
    QStringList changed;
    for (int number = 5; number < 700; number += 97) {
        const QByteArray uid = QByteArrayLiteral("card-") + QByteArray::number(number).rightJustified(4, '0');
        replaceKeepingSizeAndTime(folder, nameOf(number), cardText(uid.constData(), "Omega"));
        changed.append(nameOf(number));
    }
    for (int number = 11; number < 700; number += 89) {
        ASSERT_TRUE(QFile::remove(folder.store.filePath(nameOf(number))));
        expected.removeOne(nameOf(number));
    }
    for (const QString &name : {QStringLiteral("new-1.vcf"), QStringLiteral("zz-new.VCF")}) {
        folder.store.writeFile(name, cardText(name.toUtf8().constData(), "Fresh"));
        changed.append(name);
        expected.append(name);
    }
    folder.store.writeFile(QStringLiteral("notes.txt"), cardText("notes", "Not"));
    ASSERT_TRUE(QDir().mkdir(folder.store.filePath(QStringLiteral("folder.vcf"))));
    ASSERT_EQ(::symlink("a.vcf", QFile::encodeName(folder.store.filePath(QStringLiteral("link.vcf"))).constData()), 0);
    std::sort(changed.begin(), changed.end());
    std::sort(expected.begin(), expected.end());

    const VCardFolder::Refreshed refreshed = folder.refreshAsNewProcess();
    EXPECT_EQ(refreshed.parsedFiles(), changed);
    QStringList shown;
    int omegas = 0;
    for (const platform::VCardFileEntry &entry : refreshed.snapshot->entries) {
        shown.append(entry.name());
        omegas += entry.summary().lastName == QStringLiteral("Omega") ? 1 : 0;
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(omegas, 8);
    EXPECT_EQ(folder.refreshAsNewProcess().parsedFiles(), QStringList());
    // The index is read in pieces: damage well past the first piece still drops it whole.
    QByteArray damaged = indexBytes(folder);
    ASSERT_GT(damaged.size(), 2 * 16 * 1024);
    damaged[damaged.size() - 100] = char(damaged.at(damaged.size() - 100) ^ 0x20);
    overwriteIndex(folder, damaged);
    EXPECT_EQ(qsizetype(folder.refreshAsNewProcess().parsed.size()), expected.size());
}

// A folder read anew (its index gone) keeps the texts of its thousands of files in a few blocks barely
// larger than the texts, each entry whole across the blocks' seams; the index it writes reads back as
// the same entries, and a file that stays unreadable is parsed again and named each time.
TEST(VCardFolderIndex, AFolderReadAnewPacksItsTextsIntoAFewBlocksAndRereadsWhatItCannotRead)
{
    const IndexedFolder folder;
    QStringList expected{QStringLiteral("a.vcf"), QStringLiteral("b.vcf")};
    QStringList lastNames{QStringLiteral("Alpha"), QStringLiteral("Beta")};
    for (int number = 0; number < 3000; ++number) {
        const QByteArray uid = QByteArrayLiteral("card-") + QByteArray::number(number).rightJustified(5, '0');
        const QByteArray lastName = QByteArrayLiteral("Name") + QByteArray(number % 37, 'x');
        folder.store.writeFile(QString::fromLatin1(uid + ".vcf"), cardText(uid.constData(), lastName.constData()));
        expected.append(QString::fromLatin1(uid + ".vcf"));
        lastNames.append(QString::fromLatin1(lastName));
    }
    folder.store.writeFile(QStringLiteral("zz-broken.vcf"), "not a card");
    expected.append(QStringLiteral("zz-broken.vcf"));
    lastNames.append(QString());

    const VCardFolder::Refreshed first = folder.refreshAsNewProcess();
    EXPECT_EQ(first.parsedFiles(), expected);
    const VCardFolder::Snapshot &snapshot = *first.snapshot;
    EXPECT_EQ(lastNamesOf(snapshot), lastNames);
    EXPECT_LE(snapshot.blocks.size(), size_t(32));
    EXPECT_LE(snapshot.blockBytes, textBytesOf(snapshot) + textBytesOf(snapshot) / 8 + 16 * 1024);
    EXPECT_EQ(snapshot.entries.back().problem(), QStringLiteral("zz-broken.vcf: line 1 has no name and colon"));

    // From the index: every file as it was, only the unreadable one parsed again, by name.
    const VCardFolder::Refreshed again = folder.refreshAsNewProcess();
    EXPECT_EQ(again.parsedFiles(), QStringList{QStringLiteral("zz-broken.vcf")});
    EXPECT_EQ(lastNamesOf(*again.snapshot), lastNames);
    for (size_t index = 0; index < snapshot.entries.size(); ++index) {
        ASSERT_EQ(again.snapshot->entries[index].texts(), snapshot.entries[index].texts()) << index;
        EXPECT_EQ(again.snapshot->entries[index].stampDigest, snapshot.entries[index].stampDigest);
    }
}

// Once a listing has seen the folder settled, the next one stats the files it knows by name without
// reading the folder's names, and still sees an edit made in place with its time set back; a file
// another program adds, removes or renames changes the folder, whose names are read again then. What
// the process writes itself leaves the index with no state of the folder to trust.
TEST(VCardFolderIndex, ASettledFolderIsStatedByNameAndStillShowsEveryChange)
{
    const SettledClock clock;
    const IndexedFolder folder;
    EXPECT_TRUE(folder.refreshAsNewProcess().hasReadNames);
    VCardFolder::Refreshed refreshed = folder.refreshAsNewProcess();
    EXPECT_FALSE(refreshed.hasReadNames);
    EXPECT_EQ(parsedNames(refreshed), QStringList());
    EXPECT_EQ(lastNames(refreshed), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));

    overwriteInPlaceKeepingSizeAndTime(folder, QStringLiteral("a.vcf"), cardText("a", "Omega"));
    refreshed = folder.refreshAsNewProcess();
    EXPECT_FALSE(refreshed.hasReadNames);
    EXPECT_EQ(parsedNames(refreshed), QStringList{QStringLiteral("a.vcf")});
    EXPECT_EQ(lastNames(refreshed), (QStringList{QStringLiteral("Omega"), QStringLiteral("Beta")}));

    const struct ChangeRow rows[] = {
        {"a file added",
         [](const IndexedFolder &changed) { changed.store.writeFile(QStringLiteral("c.vcf"), cardText("c", "Gamma")); },
         {QStringLiteral("c.vcf")},
         {QStringLiteral("Omega"), QStringLiteral("Beta"), QStringLiteral("Gamma")}},
        {"a file removed",
         [](const IndexedFolder &changed) { ASSERT_TRUE(QFile::remove(changed.store.filePath(QStringLiteral("b.vcf")))); },
         {},
         {QStringLiteral("Omega"), QStringLiteral("Gamma")}},
        {"a file renamed",
         [](const IndexedFolder &changed) {
             ASSERT_TRUE(QFile::rename(changed.store.filePath(QStringLiteral("c.vcf")),
                                       changed.store.filePath(QStringLiteral("d.vcf"))));
         },
         {QStringLiteral("d.vcf")},
         {QStringLiteral("Omega"), QStringLiteral("Gamma")}},
    };
    for (const ChangeRow &row : rows) {
        SCOPED_TRACE(row.name);
        row.change(folder);
        refreshed = folder.refreshAsNewProcess();
        EXPECT_TRUE(refreshed.hasReadNames);
        EXPECT_EQ(parsedNames(refreshed), row.parsed);
        EXPECT_EQ(lastNames(refreshed), row.lastNames);
        EXPECT_FALSE(folder.refreshAsNewProcess().hasReadNames);
    }

    writeAsOneProcess(folder, "e", "Eta", {}, IndexAtEnd::Saved);
    refreshed = folder.refreshAsNewProcess();
    EXPECT_TRUE(refreshed.hasReadNames);
    EXPECT_EQ(parsedNames(refreshed), QStringList());
    EXPECT_EQ(lastNames(refreshed), (QStringList{QStringLiteral("Omega"), QStringLiteral("Gamma"), QStringLiteral("Eta")}));
}

// A folder whose last change lies within two seconds of the listing may still change unseen in the
// same tick of its clock: its state is not kept, and the next listing reads its names.
TEST(VCardFolderIndex, AFolderChangedJustBeforeTheListingIsNotTrusted)
{
    const IndexedFolder folder;
    const struct stat status = statusOf(folder.store.path());
    const qint64 changedMs = std::max(nanosecondsOf(status.st_mtim), nanosecondsOf(status.st_ctim)) / 1000000;
    for (const qint64 afterMs : {qint64(0), qint64(1999)}) {
        SCOPED_TRACE(afterMs);
        const QDateTime listedAt = QDateTime::fromMSecsSinceEpoch(changedMs + afterMs, Qt::UTC);
        platform::Clock::setSource([listedAt] { return listedAt; });
        EXPECT_FALSE(folder.refreshAsNewProcess().snapshot->folderStamp.has_value());
        EXPECT_TRUE(folder.refreshAsNewProcess().hasReadNames);
    }
    const QDateTime settledAt = QDateTime::fromMSecsSinceEpoch(changedMs + 2001, Qt::UTC);
    platform::Clock::setSource([settledAt] { return settledAt; });
    const VCardFolder::Refreshed refreshed = folder.refreshAsNewProcess();
    platform::Clock::setSource({});
    ASSERT_TRUE(refreshed.snapshot->folderStamp.has_value());
    EXPECT_EQ(refreshed.snapshot->folderStamp->modificationNs, nanosecondsOf(status.st_mtim));
    EXPECT_EQ(refreshed.snapshot->folderStamp->changeNs, nanosecondsOf(status.st_ctim));
    EXPECT_EQ(refreshed.snapshot->folderStamp->inode, quint64(status.st_ino));
    EXPECT_EQ(refreshed.snapshot->folderStamp->size, qint64(status.st_size));
}

namespace {

// The index of version 6 as an earlier version holds it: each file's size, modification and change
// times and inode where version 6 has their digest, and for version 4 no state of the folder.
QByteArray indexOfVersion(const IndexedFolder &folder, const QByteArray &current, quint32 version)
{
    QDataStream in(current);
    in.setVersion(QDataStream::Qt_6_0);
    const IndexHeader header = readHeader(in);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << header.magic << version << quint32(0) << header.folderPath << header.count;
    if (version == 5)
        out << header.hasFolderStamp << header.folderSize << header.folderModificationNs << header.folderChangeNs
            << header.folderInode;
    for (quint32 index = 0; index < header.count; ++index) {
        QByteArray fileName, details;
        quint64 digest = 0;
        qint64 modificationMs = 0;
        quint8 flags = 0;
        in >> fileName >> digest >> modificationMs >> flags >> details;
        const struct stat status = statusOf(folder.store.filePath(QFile::decodeName(fileName)));
        out << fileName << qint64(status.st_size) << nanosecondsOf(status.st_mtim) << nanosecondsOf(status.st_ctim)
            << quint64(status.st_ino) << modificationMs << flags << details;
    }
    EXPECT_EQ(in.status(), QDataStream::Ok);
    const QByteArray payload = bytes.mid(12);
    qToBigEndian(quint32(::crc32(0, reinterpret_cast<const Bytef *>(payload.constData()), uInt(payload.size()))),
                 bytes.data() + 8);
    return bytes;
}

} // namespace

// The header of a settled folder's index holds its state after the entry count, and each entry its
// file's stamp digested; an index of an earlier version is read whole (no card is parsed again).
TEST(VCardFolderIndex, IndexesOfEarlierVersionsAreReadWithoutParsingAgain)
{
    const SettledClock clock;
    const IndexedFolder folder;
    (void)folder.refreshAsNewProcess();
    const QByteArray current = indexBytes(folder);
    QDataStream in(current);
    in.setVersion(QDataStream::Qt_6_0);
    const IndexHeader header = readHeader(in);
    const struct stat status = statusOf(folder.store.path());
    EXPECT_EQ(header.version, 6u);
    EXPECT_EQ(header.hasFolderStamp, 1u);
    EXPECT_EQ(header.folderSize, qint64(status.st_size));
    EXPECT_EQ(header.folderModificationNs, nanosecondsOf(status.st_mtim));
    EXPECT_EQ(header.folderChangeNs, nanosecondsOf(status.st_ctim));
    EXPECT_EQ(header.folderInode, quint64(status.st_ino));

    // Version 5 holds each file's size, times and inode where version 6 holds their digest: read as it
    // is, trusting its folder's state, and left as it is while nothing changes.
    const QByteArray version5 = indexOfVersion(folder, current, 5);
    overwriteIndex(folder, version5);
    const VCardFolder::Refreshed fromVersion5 = folder.refreshAsNewProcess();
    EXPECT_FALSE(fromVersion5.hasReadNames);
    EXPECT_EQ(parsedNames(fromVersion5), QStringList());
    EXPECT_EQ(lastNames(fromVersion5), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
    EXPECT_EQ(indexBytes(folder), version5);

    // Version 4 also lacks the folder's state: its names are read, and the index written anew.
    overwriteIndex(folder, indexOfVersion(folder, current, 4));
    const VCardFolder::Refreshed fromVersion4 = folder.refreshAsNewProcess();
    EXPECT_TRUE(fromVersion4.hasReadNames);
    EXPECT_EQ(parsedNames(fromVersion4), QStringList());
    EXPECT_EQ(lastNames(fromVersion4), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
    EXPECT_EQ(indexBytes(folder), current);
    EXPECT_FALSE(folder.refreshAsNewProcess().hasReadNames);
}

// A process killed after its writes and before its index reached the disk leaves the index of the
// settled folder before them: the writes changed the folder's state, so the next listing reads the
// names and shows the new file and not the removed one.
TEST(VCardFolderIndex, WritesOfAKilledProcessAreSeenThoughItsIndexStillTrustsTheFolder)
{
    const SettledClock clock;
    const IndexedFolder folder;
    (void)folder.refreshAsNewProcess();
    ASSERT_FALSE(folder.refreshAsNewProcess().hasReadNames);
    // Gone without saving its index, as a killed process goes.
    writeAsOneProcess(folder, "c", "Gamma", {QStringLiteral("b.vcf")}, IndexAtEnd::NotSaved);
    const VCardFolder::Refreshed refreshed = folder.refreshAsNewProcess();
    EXPECT_TRUE(refreshed.hasReadNames);
    EXPECT_EQ(parsedNames(refreshed), QStringList{QStringLiteral("c.vcf")});
    EXPECT_EQ(lastNames(refreshed), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Gamma")}));
}

// An entry's unique id is the card's UID: kept in the index only where the file's stem does not
// already spell it. Read back from the index by a new process, every entry answers it alike through
// its summary and its own accessors, for ASCII, accented and capitalised names and a UID of its own.
TEST(VCardFolderIndex, EntriesTellTheirUniqueIdsAlikeFromTheIndex)
{
    IndexedFolder folder;
    folder.store.writeFile(QStringLiteral("Zo\u00EB-\u00C5sa.vcf"), cardText("Zo\xC3\xAB-\xC3\x85sa", "Umlaut"));
    folder.store.writeFile(QStringLiteral("Upper.VCF"), cardText("Upper", "Capital"));
    folder.store.writeFile(QStringLiteral("renamed.vcf"), cardText("someone-else@example.org", "Own"));
    (void)folder.refreshAsNewProcess();
    const VCardFolder::Refreshed refreshed = folder.refreshAsNewProcess();
    EXPECT_EQ(parsedNames(refreshed), QStringList());
    QStringList ids;
    for (const platform::VCardFileEntry &entry : refreshed.snapshot->entries) {
        const QString uniqueId = entry.summary().uniqueId;
        EXPECT_EQ(entry.uniqueId(), uniqueId) << entry.name().toStdString();
        EXPECT_EQ(entry.uniqueIdUtf8(), uniqueId.toUtf8()) << entry.name().toStdString();
        ids.append(uniqueId);
    }
    ids.sort();
    EXPECT_EQ(ids, (QStringList{QStringLiteral("Upper"), QStringLiteral("Zo\u00EB-\u00C5sa"), QStringLiteral("a"),
                                QStringLiteral("b"), QStringLiteral("someone-else@example.org")}));
}
