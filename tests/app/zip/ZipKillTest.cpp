// A process killed (SIGKILL) while it rewrites an archive by replacing it leaves the old archive or the
// new one, whole: never a mix, never nothing.
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using platform::PlatformError;
using namespace ziptest;

namespace {

// Version n of the archive: entries whose content all names n, the first one new each time, so
// every rewrite replaces the file.
QList<std::shared_ptr<ZZArchiveEntry>> versionEntries(int version)
{
    QList<std::shared_ptr<ZZArchiveEntry>> entries;
    for (int index = 0; index < 4; ++index) {
        const QByteArray content =
            "version " + QByteArray::number(version) + "\n" + sampleBytes(100'000, quint32(index));
        entries.append(dataEntry(QStringLiteral("part%1.txt").arg(index), content, 6));
    }
    return entries;
}

// Rewrites the archive again and again, writing one byte to the pipe after each rewrite; never returns.
[[noreturn]] void rewriteForever(const QString &path, int pipeOut)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithURL(QUrl::fromLocalFile(path), createOptions(), &error);
    for (int version = 1;; ++version) {
        if (!archive || !archive->updateEntries(versionEntries(version), &error))
            _exit(3);
        const char tick = 't';
        if (::write(pipeOut, &tick, 1) != 1)
            _exit(4);
    }
}

// The version every entry of the archive names, or -1 when they do not agree or do not read.
int versionOf(const QString &path)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::archiveWithURL(QUrl::fromLocalFile(path), &error);
    if (!archive || archive->entries().size() != 4)
        return -1;
    int version = -2;
    for (const std::shared_ptr<ZZArchiveEntry> &entry : archive->entries()) {
        const std::optional<QByteArray> data = entry->newDataWithError(&error);
        if (!data || !entry->check(&error))
            return -1;
        const int entryVersion = data->mid(8, data->indexOf('\n') - 8).toInt();
        if (version != -2 && entryVersion != version)
            return -1;
        version = entryVersion;
    }
    return version;
}

} // namespace

TEST(ZipKill, AKilledRewriteLeavesTheOldOrTheNewArchive)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("killed.zip"));
    for (int round = 1; round <= 8; ++round) {
        SCOPED_TRACE(round);
        int pipeEnds[2];
        ASSERT_EQ(::pipe(pipeEnds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeEnds[0]);
            rewriteForever(path, pipeEnds[1]);
        }
        ::close(pipeEnds[1]);
        // Let the child finish a few rewrites (more each round), then kill it in the middle of the next.
        int finished = 0;
        char tick = 0;
        while (finished < round && ::read(pipeEnds[0], &tick, 1) == 1)
            ++finished;
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(pipeEnds[0]);
        ASSERT_EQ(finished, round) << "the writer stopped early";
        const int version = versionOf(path);
        EXPECT_GE(version, round) << "the archive is whole and at least as new as the last finished rewrite";
        EXPECT_LE(version, round + 1);
    }
}
