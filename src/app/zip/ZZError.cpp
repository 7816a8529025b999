#include "app/zip/ZZError.h"

using platform::PlatformError;

PlatformError makeZipError(ZZErrorCode code, const PlatformError &underlying, qint64 entryIndex)
{
    QVariantMap userInfo;
    if (!underlying.isNull())
        userInfo.insert(QString::fromLatin1(platform::NSUnderlyingErrorKey), QVariant::fromValue(underlying));
    if (entryIndex >= 0)
        userInfo.insert(QString::fromLatin1(ZZEntryIndexKey), entryIndex);
    return PlatformError(QString::fromLatin1(ZZErrorDomain), static_cast<qint64>(code), std::move(userInfo));
}

bool failWith(PlatformError *slot, const PlatformError &error)
{
    if (slot)
        *slot = error;
    return false;
}

bool failWith(PlatformError *slot, ZZErrorCode code, const PlatformError &underlying, qint64 entryIndex)
{
    return failWith(slot, makeZipError(code, underlying, entryIndex));
}

qint64 zipErrorCode(const PlatformError &error)
{
    return error.domain() == QLatin1String(ZZErrorDomain) ? error.code() : -1;
}

PlatformError underlyingError(const PlatformError &error)
{
    return error.userInfo().value(QString::fromLatin1(platform::NSUnderlyingErrorKey)).value<PlatformError>();
}
