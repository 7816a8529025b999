#pragma once

#include "app/zip/ZZChannelOutput.h"

// Writes an archive file through its descriptor, which it owns and closes. A write that would carry
// the file past 4 GiB fails (EFBIG): the format's 32-bit offsets could not address what follows.
// One thread at a time.
class ZZFileChannelOutput final : public ZZChannelOutput
{
public:
    explicit ZZFileChannelOutput(int fileDescriptor) : m_fileDescriptor(fileDescriptor) {}
    ~ZZFileChannelOutput() override;
    ZZFileChannelOutput(const ZZFileChannelOutput &) = delete;
    ZZFileChannelOutput &operator=(const ZZFileChannelOutput &) = delete;

    quint32 offset() const override;
    bool seekToOffset(quint32 offset, platform::PlatformError *error) override;
    bool writeData(QByteArrayView data, platform::PlatformError *error) override;
    bool truncateAtOffset(quint32 offset, platform::PlatformError *error) override;
    void close() override;

private:
    int m_fileDescriptor = -1;
};
