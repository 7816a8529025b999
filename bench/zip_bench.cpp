// Deflates a 200 MB file into an archive with the zip library and reads it back, and does the same
// with zip and unzip on the same file; prints MB/s of each. Run from a Release build:
//   ./build-release/bench/zip_bench [megabytes]
#include "app/zip/ZZArchive.h"
#include "app/zip/ZZArchiveEntry.h"
#include "app/zip/ZZOutputStream.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

namespace {

constexpr qint64 kPieceBytes = 1 << 20;

// Log-like text with some noise: compresses about as a log file does.
bool writeSample(const QString &path, qint64 totalBytes)
{
    static const char *const words[] = {"2026/12/07 13:27:52:120  ",
                                        "sync ",
                                        "contact ",
                                        "calendar event ",
                                        "uid=",
                                        "memo\r\n",
                                        "task ",
                                        "phone link ",
                                        "record ",
                                        "updated\r\n"};
    std::mt19937 generator(24);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray piece;
    for (qint64 written = 0; written < totalBytes; written += piece.size()) {
        piece.clear();
        while (piece.size() < std::min(kPieceBytes, totalBytes - written)) {
            const std::uint32_t pick = generator();
            piece.append(pick % 7 == 0 ? QByteArray::number(pick, 16) : QByteArray(words[pick % std::size(words)]));
        }
        piece.truncate(std::min(kPieceBytes, totalBytes - written));
        if (file.write(piece) != piece.size())
            return false;
    }
    return true;
}

double megabytesPerSecond(qint64 bytes, qint64 elapsedMs)
{
    return elapsedMs > 0 ? (double(bytes) / 1e6) / (double(elapsedMs) / 1000.0) : 0.0;
}

qint64 timeProgram(const QString &program, const QStringList &arguments, const QString &outputPath = {})
{
    QProcess process;
    if (!outputPath.isEmpty())
        process.setStandardOutputFile(outputPath);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(-1);
    return process.exitCode() == 0 ? timer.elapsed() : -1;
}

qint64 writeWithLibrary(const QString &samplePath, const QString &archivePath)
{
    platform::PlatformError error;
    auto archive = ZZArchive::initWithURL(QUrl::fromLocalFile(archivePath),
                                          {{QString::fromLatin1(ZZOpenOptionsCreateIfMissingKey), true}}, &error);
    const auto entry = ZZArchiveEntry::archiveEntryWithFileName(
        QStringLiteral("sample.txt"), true,
        ZZArchiveEntry::StreamBlock([samplePath](ZZOutputStream &stream, platform::PlatformError *) {
            QFile file(samplePath);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            while (!file.atEnd()) {
                const QByteArray piece = file.read(kPieceBytes);
                if (stream.write(reinterpret_cast<const uchar *>(piece.constData()), piece.size()) != piece.size())
                    return false;
            }
            return true;
        }));
    QElapsedTimer timer;
    timer.start();
    return archive && archive->updateEntries({entry}, &error) ? timer.elapsed() : -1;
}

qint64 readWithLibrary(const QString &archivePath, qint64 expectedBytes)
{
    QElapsedTimer timer;
    timer.start();
    platform::PlatformError error;
    auto archive = ZZArchive::archiveWithURL(QUrl::fromLocalFile(archivePath), &error);
    if (!archive || archive->entries().size() != 1)
        return -1;
    std::unique_ptr<ZZInputStream> stream = archive->entries()[0]->newStreamWithError(&error);
    QByteArray buffer(kPieceBytes, Qt::Uninitialized);
    qint64 total = 0;
    stream->open();
    qint64 count = 0;
    while ((count = stream->read(reinterpret_cast<uchar *>(buffer.data()), buffer.size())) > 0)
        total += count;
    stream->close();
    return total == expectedBytes && count == 0 ? timer.elapsed() : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 200;
    const qint64 totalBytes = megabytes * 1000 * 1000;
    QTemporaryDir folder;
    const QString sample = folder.filePath(QStringLiteral("sample.txt"));
    if (!writeSample(sample, totalBytes)) {
        std::fprintf(stderr, "could not write the sample file\n");
        return 1;
    }
    const QString ours = folder.filePath(QStringLiteral("ours.zip"));
    const QString theirs = folder.filePath(QStringLiteral("theirs.zip"));
    const qint64 ourWrite = writeWithLibrary(sample, ours);
    const qint64 ourRead = readWithLibrary(ours, totalBytes);
    const qint64 zipWrite =
        timeProgram(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-j"), theirs, sample});
    const qint64 unzipRead =
        timeProgram(QStringLiteral("unzip"), {QStringLiteral("-p"), theirs}, QStringLiteral("/dev/null"));
    std::printf("zip_bench: %lld MB of log-like text, deflate at the default level\n", megabytes);
    std::printf("  ZZArchive write  %8.1f MB/s  (%lld ms, archive %lld bytes)\n",
                megabytesPerSecond(totalBytes, ourWrite), ourWrite, QFileInfo(ours).size());
    std::printf("  zip              %8.1f MB/s  (%lld ms, archive %lld bytes)\n",
                megabytesPerSecond(totalBytes, zipWrite), zipWrite, QFileInfo(theirs).size());
    std::printf("  ZZArchive read   %8.1f MB/s  (%lld ms)\n", megabytesPerSecond(totalBytes, ourRead), ourRead);
    std::printf("  unzip -p         %8.1f MB/s  (%lld ms)\n", megabytesPerSecond(totalBytes, unzipRead), unzipRead);
    return ourWrite < 0 || ourRead < 0 ? 1 : 0;
}
