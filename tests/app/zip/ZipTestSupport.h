#pragma once

#include "app/zip/ZZArchiveEntry.h"
#include "app/zip/ZZChannel.h"
#include "app/zip/ZZChannelOutput.h"
#include "app/zip/ZZDataChannel.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <string>

namespace ziptest {

// What an external program printed and how it ended.
struct ProgramResult
{
    int exitCode = -1;
    QByteArray output;
};

// Runs a program (no shell) in a folder under a 60 s limit, standard error merged into the output.
ProgramResult runProgram(const QString &program, const QStringList &arguments, const QString &folder = {});
// Runs Python code with the arguments as sys.argv[1:].
ProgramResult runPython(const QString &code, const QStringList &arguments, const QString &folder = {});

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);
// Deterministic bytes of the given length: text-like, so that deflate has work to do.
QByteArray sampleBytes(qsizetype length, quint32 seed);
// Hex of bytes, for failure messages.
std::string hex(const QByteArray &bytes);

// Little-endian fields of hand-made archives.
void put16(QByteArray &bytes, qsizetype offset, quint16 value);
void put32(QByteArray &bytes, qsizetype offset, quint32 value);
quint16 get16(const QByteArray &bytes, qsizetype offset);
quint32 get32(const QByteArray &bytes, qsizetype offset);

// Open options that let a missing archive be created.
QVariantMap createOptions();

// A moment whose DOS form is exact (even seconds), in UTC as the tests' time zone.
QDateTime fixedMoment();

// An entry with a fixed date whose data callback answers the bytes.
std::shared_ptr<ZZArchiveEntry> dataEntry(const QString &name, const QByteArray &bytes, int compressionLevel);

// A memory channel whose outputs fail (EIO) at the n-th write from the channel's creation on, counting
// the writes of all its outputs and of its temporary channels; n = 0 never fails.
class FailingChannel final : public ZZChannel
{
public:
    FailingChannel(const QByteArray &data, std::shared_ptr<int> writesLeft);

    std::unique_ptr<ZZChannel> temporaryChannel(platform::PlatformError *error) override;
    bool replaceWithChannel(ZZChannel &channel, platform::PlatformError *error) override;
    void removeAsTemporary() override { m_inner.removeAsTemporary(); }
    std::optional<QByteArray> newInput(platform::PlatformError *error) override { return m_inner.newInput(error); }
    std::unique_ptr<ZZChannelOutput> newOutput(platform::PlatformError *error) override;
    QUrl URL() const override { return {}; }

    QByteArray allData() const { return m_inner.allData(); }

private:
    ZZDataChannel m_inner;
    std::shared_ptr<int> m_writesLeft;
};

} // namespace ziptest
