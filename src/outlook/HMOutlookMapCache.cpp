#include "outlook/HMOutlookMapCache.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"

#include <QHash>
#include <QMutex>

#include <sys/stat.h>
#include <time.h>

namespace outlookmaps {
namespace {

// A file changed this recently is not kept: a second change within the file system's clock tick
// could leave the same stamp.
constexpr qint64 kSettledNanoseconds = 50'000'000;
// The maps of one profile are four; a few more leave room for a change of profile or names.
constexpr qsizetype kMaxKept = 8;

struct Kept
{
    platform::FileStamp stamp;
    QVariantMap map;
};

QMutex g_lock;
QHash<QString, Kept> g_kept;

bool isSettled(const platform::FileStamp &stamp)
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 nowNs = qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return nowNs - stamp.changed >= kSettledNanoseconds && nowNs - stamp.modified >= kSettledNanoseconds;
}

void keep(const QString &path, const platform::FileStamp &stamp, const QVariantMap &map)
{
    const QMutexLocker locker(&g_lock);
    if (!g_kept.contains(path) && g_kept.size() >= kMaxKept)
        g_kept.clear();
    g_kept.insert(path, Kept{stamp, map});
}

void forget(const QString &path)
{
    const QMutexLocker locker(&g_lock);
    g_kept.remove(path);
}

std::optional<QVariantMap> keptFor(const QString &path, const platform::FileStamp &stamp)
{
    const QMutexLocker locker(&g_lock);
    const auto found = g_kept.constFind(path);
    if (found == g_kept.constEnd() || !(found->stamp == stamp))
        return std::nullopt;
    return found->map;
}

std::optional<QVariantMap> readUnkept(const QString &path, qint64 maxBytes)
{
    platform::Result<QVariantMap> read = platform::readPropertyListDictionary(path, maxBytes);
    if (!read)
        return std::nullopt;
    return std::move(read).value();
}

} // namespace

std::optional<QVariantMap> read(const QString &path, qint64 maxBytes)
{
    const std::optional<platform::FileStamp> stamp = platform::fileStampOf(path);
    if (!stamp) {
        forget(path);
        return readUnkept(path, maxBytes);
    }
    if (std::optional<QVariantMap> kept = keptFor(path, *stamp))
        return kept;
    // The stamp kept is the one of the file actually opened and read, whatever replaced it since.
    struct stat opened = {};
    const platform::Result<QByteArray> bytes = platform::readWholeFileWithoutFollowing(path, maxBytes, &opened);
    if (!bytes)
        return readUnkept(path, maxBytes);
    const platform::Result<QVariant> parsed = platform::parsePropertyList(*bytes);
    if (!parsed || parsed->typeId() != QMetaType::QVariantMap) {
        forget(path);
        return std::nullopt;
    }
    QVariantMap map = parsed->toMap();
    const platform::FileStamp openedStamp = platform::fileStampOf(opened);
    if (isSettled(openedStamp))
        keep(path, openedStamp, map);
    else
        forget(path);
    return map;
}

bool write(const QString &path, const QVariantMap &map, qint64 maxBytes)
{
    platform::Result<QByteArray> bytes = platform::serializePropertyList(map, platform::PropertyListFormat::Xml);
    if (bytes && bytes->size() > maxBytes)
        bytes = platform::Error(platform::ErrorCode::DataMalformed,
                                QStringLiteral("%1 bytes exceed the limit of %2").arg(bytes->size()).arg(maxBytes));
    struct stat placed = {};
    const platform::Status written =
        bytes ? platform::writeFileAtomically(path, *bytes, platform::FilePermissions::OwnerOnly,
                                              platform::FileFlush::Always, &placed)
              : platform::Status(bytes.error().withContext(path));
    if (!written) {
        DDLogError(QStringLiteral("Could not write %1: %2").arg(path, written.error().message()));
        return false;
    }
    keep(path, platform::fileStampOf(placed), map);
    return true;
}

void forgetAll()
{
    const QMutexLocker locker(&g_lock);
    g_kept.clear();
}

} // namespace outlookmaps
