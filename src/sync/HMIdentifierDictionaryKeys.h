#pragma once

#include <QString>

// Keys that the sync core and every data source use alike in the identifier graph's dictionaries.
namespace hmidentifier {

// The record's id on the other side ("UID" of its records).
inline const QString kHmUidKey = QStringLiteral("hmUid");
// The record's id in the Mac store.
inline const QString kNativeIdKey = QStringLiteral("nativeId");
// The modification date a record got when the sync last saved it from the other side's record: a
// record still carrying it has not been changed on the desktop since.
inline const QString kWrittenModificationDateKey = QStringLiteral("WrittenModificationDate");

} // namespace hmidentifier
