#pragma once

#include "sync/HMIdentifierDictionaryKeys.h"

#include <QLatin1StringView>
#include <QString>

// Keys of the calendar and tasks data sources' identifier dictionaries, shared by their source files.
namespace hmcalendar {

// The keys every data source shares (kHmUidKey, kNativeIdKey, kWrittenModificationDateKey).
using namespace hmidentifier;

inline const QString kCrcKey = QStringLiteral("crcValue");
inline const QString kIsNewRecordKey = QStringLiteral("isNewRecord");
inline const QString kInstancesKey = QStringLiteral("RecurringInstancesKey");

// A sync field constant as the record key it names. Every record of a listing holds some forty
// keys: each name is made into text once per thread and shared by the records, not made per record.
QString key(QLatin1StringView name);

} // namespace hmcalendar
