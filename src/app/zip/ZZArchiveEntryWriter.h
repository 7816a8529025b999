#pragma once

#include "platform/foundation/PlatformError.h"

class ZZChannelOutput;

// Writes one entry of an archive being rewritten: its local file (header, data, descriptor) and later
// its central file header. Made by the entry for one rewrite and dropped after it.
class ZZArchiveEntryWriter
{
public:
    virtual ~ZZArchiveEntryWriter() = default;

    // Where the entry's local file ends in the archive as it stands, when the rewrite keeps it there;
    // 0 when the writer writes its local file itself.
    virtual quint32 offsetToLocalFileEnd() const = 0;
    // Writes the local file at the output's offset, which lies initialSkip bytes into the final archive.
    // A failure answers false with the failing write's or callback's error (it may leave none).
    virtual bool writeLocalFileToChannelOutput(ZZChannelOutput &channelOutput, quint32 initialSkip,
                                               platform::PlatformError *error) = 0;
    virtual bool writeCentralFileHeaderToChannelOutput(ZZChannelOutput &channelOutput,
                                                       platform::PlatformError *error) = 0;
};
