#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QUrl>

#include <memory>
#include <optional>

class ZZChannelOutput;

// Where an archive lives: a file or a block of memory. The archive reads all of it at once, and a
// rewrite goes to a temporary channel that then takes the archive's place. One thread at a time.
class ZZChannel
{
public:
    virtual ~ZZChannel() = default;

    // A channel for a rewrite, beside this one (same file system for a file).
    virtual std::unique_ptr<ZZChannel> temporaryChannel(platform::PlatformError *error) = 0;
    // Puts the temporary channel's content in this channel's place.
    virtual bool replaceWithChannel(ZZChannel &channel, platform::PlatformError *error) = 0;
    // Removes a temporary channel and whatever holds it; errors are ignored.
    virtual void removeAsTemporary() = 0;
    // The whole archive's bytes; a missing archive fails with the Cocoa domain's code 260.
    virtual std::optional<QByteArray> newInput(platform::PlatformError *error) = 0;
    virtual std::unique_ptr<ZZChannelOutput> newOutput(platform::PlatformError *error) = 0;
    // The file's URL, or an empty URL for memory.
    virtual QUrl URL() const = 0;
};

// The platform's code for a read of a file that does not exist.
inline constexpr qint64 kFileReadNoSuchFileError = 260;
