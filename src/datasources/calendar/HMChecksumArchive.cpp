#include "datasources/calendar/HMChecksumArchive.h"

#include <QDataStream>
#include <QDateTime>
#include <QIODevice>

#include <zlib.h>

QByteArray checksumArchiveOfList(const QByteArray &magic, const QVariantList &entries)
{
    QVariantList kept;
    for (const QVariant &entry : entries) {
        if (entry.typeId() == QMetaType::QDateTime || entry.typeId() == QMetaType::QString)
            kept.append(entry);
    }
    QByteArray bytes = magic;
    QDataStream out(&bytes, QIODevice::Append);
    out.setByteOrder(QDataStream::BigEndian);
    out << quint32(kept.size());
    for (const QVariant &entry : std::as_const(kept)) {
        if (entry.typeId() == QMetaType::QDateTime) {
            out << quint8('D') << qint64(entry.toDateTime().toMSecsSinceEpoch());
            continue;
        }
        const QByteArray text = entry.toString().toUtf8();
        out << quint8('S') << quint32(text.size());
        out.writeRawData(text.constData(), int(text.size()));
    }
    return bytes;
}

quint32 crc32OfBytes(const QByteArray &bytes)
{
    return quint32(crc32(0L, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}
