#pragma once

// The layout shared by KeyedArchiver and KeyedUnarchiver. An archive is a property list:
//   { "$archiver": "NSKeyedArchiver", "$version": 100000,
//     "$top": { <root key>: UID, ... },
//     "$objects": [ "$null", ... ] }
// Every value and object lives once in "$objects" and is referred to by its index (a UID); index 0
// is nil. Texts, booleans, 64-bit integers, reals and data sit there as plain entries. Arrays,
// dictionaries, dates, 32-bit integers and archived objects are dictionaries whose "$class" refers
// to a class entry { "$classname": name, "$classes": [name, "NSObject"] }:
//   array       "NS.objects": [UID, ...]
//   dictionary  "NS.keys": [UID of a text, ...], "NS.objects": [UID, ...]
//   date        "NS.time": seconds since 2001-01-01T00:00:00Z (real)
//   int32       "NS.intval": the value, so that a 32-bit integer reads back as one
//   object      the keys its class wrote
// Keys that begin with "$" are written with one more "$" in front, so they cannot collide with
// the archive's own keys.

#include "platform/foundation/PropertyList.h"

#include <QLatin1StringView>
#include <QString>

namespace platform::keyedarchive {

inline constexpr QLatin1StringView kArchiverKey("$archiver");
inline constexpr QLatin1StringView kArchiverName("NSKeyedArchiver");
inline constexpr QLatin1StringView kVersionKey("$version");
inline constexpr qint64 kVersion = 100000;
inline constexpr QLatin1StringView kTopKey("$top");
inline constexpr QLatin1StringView kObjectsKey("$objects");
inline constexpr QLatin1StringView kNull("$null");
inline constexpr QLatin1StringView kClassKey("$class");
inline constexpr QLatin1StringView kClassNameKey("$classname");
inline constexpr QLatin1StringView kClassesKey("$classes");
inline constexpr QLatin1StringView kRootObjectClass("NSObject");

inline constexpr QLatin1StringView kArrayClass("NSArray");
inline constexpr QLatin1StringView kMutableArrayClass("NSMutableArray");
inline constexpr QLatin1StringView kDictionaryClass("NSDictionary");
inline constexpr QLatin1StringView kMutableDictionaryClass("NSMutableDictionary");
inline constexpr QLatin1StringView kDateClass("NSDate");
inline constexpr QLatin1StringView kInt32Class("HMInt32");

inline constexpr QLatin1StringView kObjectsEntryKey("NS.objects");
inline constexpr QLatin1StringView kKeysEntryKey("NS.keys");
inline constexpr QLatin1StringView kTimeKey("NS.time");
inline constexpr QLatin1StringView kIntValueKey("NS.intval");

// The archive's own keys and class names as texts, made once: every entry of a large archive holds or
// looks them up, and one shared text per name costs no allocation per entry.
inline const QString kClassKeyText{kClassKey};
inline const QString kClassNameKeyText{kClassNameKey};
inline const QString kObjectsEntryKeyText{kObjectsEntryKey};
inline const QString kKeysEntryKeyText{kKeysEntryKey};
inline const QString kTimeKeyText{kTimeKey};
inline const QString kIntValueKeyText{kIntValueKey};
inline const QString kArrayClassText{kArrayClass};
inline const QString kDictionaryClassText{kDictionaryClass};
inline const QString kDateClassText{kDateClass};
inline const QString kInt32ClassText{kInt32Class};

// The root key of archivedDataWithRootObject.
inline constexpr QLatin1StringView kDefaultRootKey("root");

// Objects and values nested deeper than this are refused, on writing and on reading.
inline constexpr int kMaxDepth = 200;

inline constexpr qint64 kReferenceDateMs = kPropertyListReferenceDateMs;

} // namespace platform::keyedarchive
