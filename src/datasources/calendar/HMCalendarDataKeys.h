#pragma once

#include <QLatin1StringView>
#include <QString>

// Keys of the calendar and tasks data sources' identifier dictionaries, shared by their source files.
namespace hmcalendar {

inline const QString kHmUidKey = QStringLiteral("hmUid");
inline const QString kNativeIdKey = QStringLiteral("nativeId");
inline const QString kCrcKey = QStringLiteral("crcValue");
inline const QString kIsNewRecordKey = QStringLiteral("isNewRecord");
inline const QString kInstancesKey = QStringLiteral("RecurringInstancesKey");
inline const QString kWrittenDateKey = QStringLiteral("WrittenModificationDate");

// A sync field constant as the record key it names.
inline QString key(QLatin1StringView name)
{
    return QString(name);
}

} // namespace hmcalendar
