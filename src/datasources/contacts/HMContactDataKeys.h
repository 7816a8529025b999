#pragma once

#include "platform/foundation/UserDefaults.h"
#include "sync/HMIdentifierDictionaryKeys.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

// Keys of the contacts data source's identifier dictionaries, shared by its source files.
namespace hmcontacts {

// The keys every data source shares (kHmUidKey, kNativeIdKey, kWrittenModificationDateKey).
using namespace hmidentifier;

inline const QString kGroupIdsKey = QStringLiteral("AddressBookGroupIdsKey");
inline const QString kTempNewPersonKey = QStringLiteral("TempNewPersonObject");
inline const QString kPhoneFieldKeys = QStringLiteral("PhoneFieldKeys");
inline const QString kEmailKeys = QStringLiteral("EmailKeys");
inline const QString kUrlKeys = QStringLiteral("UrlKeys");
inline const QString kInstantMessageKeys = QStringLiteral("InstantMessageKeys");
inline const QString kAddressesKeys = QStringLiteral("AddressesKeys");
inline const QString kOtherDatesKeys = QStringLiteral("OtherDatesKeys");
// The modification date a person had when the sync last sent it to the other side: an edit the other
// side makes to a person still carrying it meets no change of the desktop's that it has not seen.
inline const QString kSentModificationDateKey = QStringLiteral("SentModificationDate");
// The text of each phone field of the person's record (typed and numbered, field key -> text) as the
// phone last had it: as the desktop sent it, then as the phone's record last applied carried it. A
// field whose text differs from it is one the phone changed; one that still holds it is no change,
// even where the phone changed another copy of the same number.
// Kept as one text of "KEY<TAB>text" lines, one string in the graph rather than a dictionary a person.
inline const QString kPhoneFieldTextsKey = QStringLiteral("PhoneFieldTexts");

inline void storePhoneFieldTexts(QVariantMap &identifierDictionary, const QVariantMap &texts)
{
    QStringList lines;
    for (auto it = texts.constBegin(); it != texts.constEnd(); ++it) {
        QString text = it.value().toString();
        text.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        lines.append(it.key() + QLatin1Char('\t') + text);
    }
    if (lines.isEmpty())
        identifierDictionary.remove(kPhoneFieldTextsKey);
    else
        identifierDictionary.insert(kPhoneFieldTextsKey, lines.join(QLatin1Char('\n')));
}

inline QVariantMap phoneFieldTextsOf(const QVariantMap &identifierDictionary)
{
    QVariantMap texts;
    const QString stored = identifierDictionary.value(kPhoneFieldTextsKey).toString();
    for (const QString &line : stored.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        texts.insert(line.section(QLatin1Char('\t'), 0, 0), line.section(QLatin1Char('\t'), 1));
    return texts;
}

// The cloud service's record shape, chosen by the main window's sync-method setting.
inline bool isCloudVariant()
{
    return platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting"))
           == QLatin1String("quillnest");
}

// Stores a slot map in the identifier dictionary; an empty one is left out, which reads the same and
// keeps the identifier graph small.
inline void storeSlotMap(QVariantMap &identifierDictionary, const QString &key, const QVariantMap &slotMap)
{
    if (slotMap.isEmpty())
        identifierDictionary.remove(key);
    else
        identifierDictionary.insert(key, slotMap);
}

} // namespace hmcontacts
