#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <random>

namespace ziptest {

namespace {

// Fails a write when the shared countdown reaches it.
class FailingOutput final : public ZZChannelOutput
{
public:
    FailingOutput(std::unique_ptr<ZZChannelOutput> inner, std::shared_ptr<int> writesLeft)
        : m_inner(std::move(inner)), m_writesLeft(std::move(writesLeft))
    {
    }

    quint32 offset() const override { return m_inner->offset(); }
    bool seekToOffset(quint32 offset, platform::PlatformError *error) override
    {
        return m_inner->seekToOffset(offset, error);
    }
    bool writeData(QByteArrayView data, platform::PlatformError *error) override
    {
        if (*m_writesLeft > 0 && --*m_writesLeft == 0) {
            if (error)
                *error = platform::PlatformError::fromErrno(EIO);
            return false;
        }
        return m_inner->writeData(data, error);
    }
    bool truncateAtOffset(quint32 offset, platform::PlatformError *error) override
    {
        return m_inner->truncateAtOffset(offset, error);
    }
    void close() override { m_inner->close(); }

private:
    std::unique_ptr<ZZChannelOutput> m_inner;
    std::shared_ptr<int> m_writesLeft;
};

} // namespace

ProgramResult runProgram(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.start(program, arguments);
    if (!process.waitForStarted(10'000))
        return {-1, "could not start " + program.toUtf8()};
    process.closeWriteChannel();
    if (!process.waitForFinished(60'000)) {
        process.kill();
        process.waitForFinished();
        return {-1, "timed out: " + program.toUtf8()};
    }
    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {exitCode, process.readAll()};
}

ProgramResult runPython(const QString &code, const QStringList &arguments, const QString &folder)
{
    return runProgram(QStringLiteral("python3"), QStringList{QStringLiteral("-c"), code} + arguments, folder);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

QByteArray sampleBytes(qsizetype length, quint32 seed)
{
    static const char *const words[] = {"sync ", "contact ", "calendar\n", "memo ", "task\t", "2026 ", "phone "};
    std::mt19937 generator(seed);
    QByteArray bytes;
    bytes.reserve(length + 16);
    while (bytes.size() < length) {
        const std::uint32_t pick = generator();
        if (pick % 5 == 0)
            bytes.append(static_cast<char>(pick >> 8));
        else
            bytes.append(words[(pick >> 8) % std::size(words)]);
    }
    bytes.truncate(length);
    return bytes;
}

std::string hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toStdString();
}

void put16(QByteArray &bytes, qsizetype offset, quint16 value)
{
    bytes[offset] = char(value & 0xff);
    bytes[offset + 1] = char(value >> 8);
}

void put32(QByteArray &bytes, qsizetype offset, quint32 value)
{
    put16(bytes, offset, quint16(value & 0xffff));
    put16(bytes, offset + 2, quint16(value >> 16));
}

quint16 get16(const QByteArray &bytes, qsizetype offset)
{
    return quint16(quint8(bytes[offset]) | (quint8(bytes[offset + 1]) << 8));
}

quint32 get32(const QByteArray &bytes, qsizetype offset)
{
    return get16(bytes, offset) | (quint32(get16(bytes, offset + 2)) << 16);
}

QVariantMap createOptions()
{
    return {{QString::fromLatin1(ZZOpenOptionsCreateIfMissingKey), true}};
}

QDateTime fixedMoment()
{
    return QDateTime(QDate(2024, 3, 15), QTime(10, 20, 58), Qt::UTC);
}

std::shared_ptr<ZZArchiveEntry> dataEntry(const QString &name, const QByteArray &bytes, int compressionLevel)
{
    return ZZArchiveEntry::archiveEntryWithFileName(
        name, ZZArchiveEntry::kDefaultFileMode, fixedMoment(), compressionLevel,
        [bytes](platform::PlatformError *) -> std::optional<QByteArray> { return bytes; }, {}, {});
}

FailingChannel::FailingChannel(const QByteArray &data, std::shared_ptr<int> writesLeft)
    : m_inner(data), m_writesLeft(std::move(writesLeft))
{
}

std::unique_ptr<ZZChannel> FailingChannel::temporaryChannel(platform::PlatformError *)
{
    return std::make_unique<FailingChannel>(QByteArray(), m_writesLeft);
}

bool FailingChannel::replaceWithChannel(ZZChannel &channel, platform::PlatformError *error)
{
    return m_inner.replaceWithChannel(channel, error);
}

std::unique_ptr<ZZChannelOutput> FailingChannel::newOutput(platform::PlatformError *error)
{
    return std::make_unique<FailingOutput>(m_inner.newOutput(error), m_writesLeft);
}

} // namespace ziptest
