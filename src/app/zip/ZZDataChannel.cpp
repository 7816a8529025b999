#include "app/zip/ZZDataChannel.h"

#include "app/zip/ZZDataChannelOutput.h"
#include "app/zip/ZZError.h"

using platform::PlatformError;

std::unique_ptr<ZZChannel> ZZDataChannel::temporaryChannel(PlatformError *)
{
    return std::make_unique<ZZDataChannel>(QByteArray());
}

bool ZZDataChannel::replaceWithChannel(ZZChannel &channel, PlatformError *error)
{
    std::optional<QByteArray> bytes = channel.newInput(error);
    if (!bytes)
        return false;
    *m_allData = *bytes;
    return true;
}

void ZZDataChannel::removeAsTemporary()
{
    m_allData->clear();
}

std::optional<QByteArray> ZZDataChannel::newInput(PlatformError *error)
{
    if (m_allData->isEmpty()) {
        failWith(error, PlatformError(QString::fromLatin1(platform::NSCocoaErrorDomain), kFileReadNoSuchFileError));
        return std::nullopt;
    }
    return *m_allData;
}

std::unique_ptr<ZZChannelOutput> ZZDataChannel::newOutput(PlatformError *)
{
    return std::make_unique<ZZDataChannelOutput>(m_allData);
}
