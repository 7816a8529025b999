#include "app/zip/ZZArchive.h"

#include "app/zip/ZZArchiveEntryWriter.h"
#include "app/zip/ZZCentralDirectory.h"
#include "app/zip/ZZChannelOutput.h"
#include "app/zip/ZZDataChannel.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZFileChannel.h"
#include "app/zip/ZZHeaders.h"
#include "app/zip/ZZOldArchiveEntry.h"

#include <cerrno>
#include <vector>

using platform::PlatformError;

namespace {

using WriterList = std::vector<std::unique_ptr<ZZArchiveEntryWriter>>;

constexpr std::size_t kMaximumEntryCount = 0xffff;

// Removes the temporary channel (and closes its output) however the rewrite ends.
class TemporaryChannelGuard final
{
public:
    explicit TemporaryChannelGuard(ZZChannel &channel) : m_channel(channel) {}
    ~TemporaryChannelGuard() { m_channel.removeAsTemporary(); }
    TemporaryChannelGuard(const TemporaryChannelGuard &) = delete;
    TemporaryChannelGuard &operator=(const TemporaryChannelGuard &) = delete;

private:
    ZZChannel &m_channel;
};

QByteArray endOfCentralDirectory(qsizetype entryCount, quint32 directoryOffset, quint32 directorySize)
{
    QByteArray record(zz::kEndOfCentralDirectoryLength, '\0');
    zz::writeUInt32(record, 0, zz::kEndOfCentralDirectorySignature);
    zz::writeUInt16(record, 8, static_cast<quint16>(entryCount));
    zz::writeUInt16(record, 10, static_cast<quint16>(entryCount));
    zz::writeUInt32(record, 12, directorySize);
    zz::writeUInt32(record, 16, directoryOffset);
    return record;
}

bool writeLocalFiles(const WriterList &writers, qsizetype skipIndex, ZZChannelOutput &output, quint32 initialSkip,
                     PlatformError *error)
{
    for (qsizetype index = skipIndex; index < qsizetype(writers.size()); ++index) {
        PlatformError writeError;
        if (!writers[index]->writeLocalFileToChannelOutput(output, initialSkip, &writeError))
            return failWith(error, ZZErrorCode::WriteLocalFile, writeError, index);
    }
    return true;
}

bool writeCentralDirectory(const WriterList &writers, ZZChannelOutput &output, quint32 initialSkip,
                           PlatformError *error)
{
    const quint64 directoryOffset = quint64(output.offset()) + initialSkip;
    for (qsizetype index = 0; index < qsizetype(writers.size()); ++index) {
        PlatformError writeError;
        if (!writers[index]->writeCentralFileHeaderToChannelOutput(output, &writeError))
            return failWith(error, ZZErrorCode::WriteCentralFileHeader, writeError, index);
    }
    const quint64 directoryEnd = quint64(output.offset()) + initialSkip;
    PlatformError writeError;
    // The end record counts entries in 16 bits: more would read back as the count modulo 65536, the
    // rest of the entries lost to every reader.
    if (writers.size() > kMaximumEntryCount) {
        return failWith(
            error, ZZErrorCode::WriteEndOfCentralDirectory,
            PlatformError::fromErrno(EOVERFLOW, QStringLiteral("a zip archive holds at most 65535 entries")));
    }
    if (directoryEnd > 0xffffffffULL ||
        !output.writeData(endOfCentralDirectory(qsizetype(writers.size()), quint32(directoryOffset),
                                                quint32(directoryEnd - directoryOffset)),
                          &writeError)) {
        return failWith(error, ZZErrorCode::WriteEndOfCentralDirectory, writeError);
    }
    return true;
}

} // namespace

ZZArchive::ZZArchive(std::unique_ptr<ZZChannel> channel) : m_channel(std::move(channel)) {}

ZZArchive::~ZZArchive() = default;

std::unique_ptr<ZZArchive> ZZArchive::archiveWithURL(const QUrl &url, PlatformError *error)
{
    return initWithURL(url, {}, error);
}

std::unique_ptr<ZZArchive> ZZArchive::archiveWithData(const QByteArray &data, PlatformError *error)
{
    return initWithData(data, {}, error);
}

std::unique_ptr<ZZArchive> ZZArchive::initWithURL(const QUrl &url, const QVariantMap &options, PlatformError *error)
{
    return initWithChannel(std::make_unique<ZZFileChannel>(url), options, error);
}

std::unique_ptr<ZZArchive> ZZArchive::initWithData(const QByteArray &data, const QVariantMap &options,
                                                   PlatformError *error)
{
    return initWithChannel(std::make_unique<ZZDataChannel>(data), options, error);
}

std::unique_ptr<ZZArchive> ZZArchive::initWithChannel(std::unique_ptr<ZZChannel> channel, const QVariantMap &options,
                                                      PlatformError *error)
{
    std::unique_ptr<ZZArchive> archive(new ZZArchive(std::move(channel)));
    const bool canMiss = options.value(QString::fromLatin1(ZZOpenOptionsCreateIfMissingKey)).toBool();
    if (!archive->loadCanMiss(canMiss, error))
        return nullptr;
    return archive;
}

QUrl ZZArchive::URL() const
{
    return m_channel->URL();
}

bool ZZArchive::loadCanMiss(bool canMiss, PlatformError *error)
{
    PlatformError readError;
    const std::optional<QByteArray> bytes = m_channel->newInput(&readError);
    if (!bytes) {
        const bool isMissing = readError.domain() == QLatin1String(platform::NSCocoaErrorDomain) &&
                               readError.code() == kFileReadNoSuchFileError;
        if (!canMiss || !isMissing)
            return failWith(error, ZZErrorCode::ReadArchive, readError);
        m_contents.clear();
        m_entries.clear();
        return true;
    }
    std::optional<QList<std::shared_ptr<ZZArchiveEntry>>> entries = readCentralDirectory(*bytes, error);
    if (!entries)
        return false;
    m_contents = *bytes;
    m_entries = std::move(*entries);
    return true;
}

bool ZZArchive::updateEntries(const QList<std::shared_ptr<ZZArchiveEntry>> &entries, PlatformError *error)
{
    qsizetype skipIndex = 0;
    while (skipIndex < std::min(entries.size(), m_entries.size()) && entries[skipIndex] == m_entries[skipIndex])
        ++skipIndex;
    PlatformError temporaryError;
    std::unique_ptr<ZZChannel> temporaryChannel = m_channel->temporaryChannel(&temporaryError);
    if (!temporaryChannel)
        return failWith(error, ZZErrorCode::OpenWrite, temporaryError);
    const TemporaryChannelGuard guard(*temporaryChannel);
    quint32 initialSkip = 0;
    if (!writeArchive(entries, skipIndex, *temporaryChannel, initialSkip, error))
        return false;
    if (!putInPlace(*temporaryChannel, initialSkip, error))
        return false;
    return loadCanMiss(false, error);
}

bool ZZArchive::writeArchive(const QList<std::shared_ptr<ZZArchiveEntry>> &entries, qsizetype skipIndex,
                             ZZChannel &temporaryChannel, quint32 &initialSkip, PlatformError *error)
{
    WriterList writers;
    for (qsizetype index = 0; index < entries.size(); ++index) {
        writers.push_back(entries[index] ? entries[index]->newWriterCanSkipLocalFile(index < skipIndex) : nullptr);
        if (!writers.back())
            return failWith(error, ZZErrorCode::WriteLocalFile, {}, index);
    }
    initialSkip = skipIndex > 0 ? writers[skipIndex - 1]->offsetToLocalFileEnd() : 0;
    PlatformError outputError;
    std::unique_ptr<ZZChannelOutput> output = temporaryChannel.newOutput(&outputError);
    if (!output)
        return failWith(error, ZZErrorCode::OpenWrite, outputError);
    if (!writeLocalFiles(writers, skipIndex, *output, initialSkip, error) ||
        !writeCentralDirectory(writers, *output, initialSkip, error)) {
        return false;
    }
    output->close();
    return true;
}

bool ZZArchive::putInPlace(ZZChannel &temporaryChannel, quint32 initialSkip, PlatformError *error)
{
    PlatformError replaceError;
    if (initialSkip == 0) {
        if (!m_channel->replaceWithChannel(temporaryChannel, &replaceError))
            return failWith(error, ZZErrorCode::ReplaceWrite, replaceError);
        return true;
    }
    const std::optional<QByteArray> tail = temporaryChannel.newInput(&replaceError);
    std::unique_ptr<ZZChannelOutput> output = tail ? m_channel->newOutput(&replaceError) : nullptr;
    if (!output || !output->seekToOffset(initialSkip, &replaceError) || !output->writeData(*tail, &replaceError) ||
        !output->truncateAtOffset(output->offset(), &replaceError)) {
        return failWith(error, ZZErrorCode::ReplaceWrite, replaceError);
    }
    output->close();
    return true;
}
