#include "ZipReaderExercise.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZArchiveEntry.h"
#include "app/zip/ZZError.h"

namespace ziptest {

namespace {

// Reads a stream to its end or failure; at most a little past the declared size, so a lying stream
// cannot run on.
QByteArray drain(ZZInputStream &stream, qint64 limit, bool *hasFailed)
{
    QByteArray bytes;
    uchar buffer[4096];
    stream.open();
    qint64 count = 0;
    while (bytes.size() <= limit && (count = stream.read(buffer, sizeof buffer)) > 0)
        bytes.append(reinterpret_cast<const char *>(buffer), count);
    *hasFailed = count < 0;
    stream.close();
    return bytes;
}

void exerciseEntry(const ZZArchiveEntry &entry, const QString &password, ExerciseOutcome &outcome)
{
    platform::PlatformError error;
    (void)entry.fileName();
    (void)entry.lastModified();
    (void)entry.fileMode();
    (void)entry.check(&error);
    const std::optional<QByteArray> data = entry.newDataWithPassword(password, &error);
    if (!data && zipErrorCode(error) < 0)
        ++outcome.foreignFailures;
    if (std::unique_ptr<ZZInputStream> stream = entry.newStreamWithPassword(password, &error)) {
        bool hasFailed = false;
        const qint64 limit = std::min<qint64>(qint64(entry.uncompressedSize()) + 1, 64 << 20);
        const QByteArray streamed = drain(*stream, limit, &hasFailed);
        if (data && !hasFailed && streamed == *data)
            ++outcome.readCount;
    }
    if (std::unique_ptr<ZZDataProvider> provider = entry.newDataProviderWithPassword(password, &error)) {
        char buffer[512];
        provider->getBytes(buffer, sizeof buffer);
        provider->skipForward(2000);
        provider->rewind();
        provider->getBytes(buffer, sizeof buffer);
    }
}

} // namespace

ExerciseOutcome exerciseArchive(const QByteArray &bytes, const QString &password)
{
    ExerciseOutcome outcome;
    platform::PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::archiveWithData(bytes, &error);
    if (!archive) {
        outcome.loadCode = zipErrorCode(error);
        outcome.foreignFailures += outcome.loadCode < 0 ? 1 : 0;
        return outcome;
    }
    const auto entries = archive->entries();
    outcome.entryCount = int(entries.size());
    for (const std::shared_ptr<ZZArchiveEntry> &entry : entries)
        exerciseEntry(*entry, password, outcome);
    return outcome;
}

} // namespace ziptest
