#include "datasources/calendar/HMCalendarStoreChecksum.h"

#include "datasources/calendar/HMChecksumArchive.h"

#include <QDateTime>

namespace {

QVariant checksumEntry(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDateTime)
        return value;
    return value.toString();
}

} // namespace

QString calendarStoreChecksumOfRecord(const QVariantMap &record)
{
    QVariantList entries;
    for (auto field = record.cbegin(); field != record.cend(); ++field) {
        if (field.key() == QLatin1String("EVENTTZ") || field.key() == QLatin1String("TZ_DATA"))
            continue;
        entries.append(field.key());
        if (field.value().typeId() != QMetaType::QVariantList) {
            entries.append(checksumEntry(field.value()));
            continue;
        }
        // A list is told by its length, so that its entries cannot pass for the next key.
        const QVariantList list = field.value().toList();
        entries.append(QStringLiteral("[%1]").arg(list.size()));
        for (const QVariant &entry : list)
            entries.append(checksumEntry(entry));
    }
    return QString::number(crc32OfBytes(checksumArchiveOfList("HMCS", entries)));
}
