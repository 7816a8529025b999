#include "sync/HMOutlookSentAdds.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/FileIO.h"

#include <QFile>

namespace {

// Whether an id can stand in a field of a line.
bool isStorableId(const QString &id)
{
    return !id.isEmpty() && id.size() <= 1024 && !id.contains(u'\t') && !id.contains(u'\n') && !id.contains(u'\r');
}

} // namespace

std::optional<QList<HMOutlookSentAdds::Entry>> HMOutlookSentAdds::read() const
{
    if (!QFile::exists(m_path))
        return QList<Entry>();
    const platform::Result<QByteArray> bytes = platform::readWholeFileWithoutFollowing(m_path, kMaxBytes);
    if (!bytes) {
        DDLogError(QStringLiteral("Could not read %1: %2").arg(m_path, bytes.error().message()));
        return std::nullopt;
    }
    QList<Entry> entries;
    for (const QByteArray &line : bytes.value().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3 || fields[0].isEmpty() || fields[1].isEmpty())
            continue;
        const auto identity = QByteArray::fromBase64Encoding(fields[2], QByteArray::AbortOnBase64DecodingErrors);
        if (!identity)
            continue;
        entries.append({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[1]), QString::fromUtf8(*identity)});
    }
    return entries;
}

bool HMOutlookSentAdds::write(const QList<Entry> &entries) const
{
    QByteArray text;
    for (const Entry &entry : entries) {
        if (!isStorableId(entry.temporaryId) || !isStorableId(entry.outlookId))
            continue;
        text += entry.temporaryId.toUtf8() + '\t' + entry.outlookId.toUtf8() + '\t' + entry.identity.toUtf8().toBase64() +
                '\n';
    }
    if (text.isEmpty())
        return !QFile::exists(m_path) || QFile::remove(m_path);
    const platform::Status written = platform::writeFileAtomically(m_path, text, platform::FilePermissions::OwnerOnly);
    if (!written)
        DDLogError(QStringLiteral("Could not write %1: %2").arg(m_path, written.error().message()));
    return bool(written);
}
