// The vCard folder's index: a refresh parses only the files whose size, times or inode changed since
// the index was written, in this process or an earlier one; an index that is missing, damaged or of
// another folder is rebuilt by reading every file, and never makes a file look deleted.
#include "AddressBookTestSupport.h"

#include "platform/addressbook/VCardFolder.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

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
        return refreshed ? *refreshed : VCardFolder::Refreshed{std::make_shared<VCardFolder::Snapshot>(), {}};
    }
};

QStringList parsedNames(const VCardFolder::Refreshed &refreshed)
{
    return refreshed.parsedFiles;
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

} // namespace

TEST(VCardFolderIndex, ARefreshParsesOnlyWhatChangedSinceTheIndexWasWritten)
{
    struct Row
    {
        const char *name;
        void (*change)(const IndexedFolder &);
        QStringList parsed;
        QStringList lastNames;
    };
    const QStringList both = {QStringLiteral("a.vcf"), QStringLiteral("b.vcf")};
    const QStringList alphaBeta = {QStringLiteral("Alpha"), QStringLiteral("Beta")};
    const Row rows[] = {
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
    for (const Row &row : rows) {
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
