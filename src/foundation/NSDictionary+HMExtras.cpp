#include "foundation/NSDictionary+HMExtras.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Values.h"

using platform::isNumber;
using platform::isText;

QString stringForKey(const QVariantMap &dictionary, const QString &key)
{
    const auto found = dictionary.constFind(key);
    if (found == dictionary.constEnd() || !found->isValid())
        return QString();
    if (isText(*found))
        return found->toString();
    DDLogWarn(QStringLiteral("WARNING: value for dictionary key '%1' retrieval is not a string, returning ''").arg(key));
    return QString();
}

bool boolForKey(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    if (isNumber(value))
        return platform::boolValue(value);
    if (isText(value))
        return value.toString() == QLatin1String("1");
    return false;
}

QVariantMap dictionaryWithKeyValuesSwapped(const QVariantMap &dictionary)
{
    QVariantMap swapped;
    for (auto entry = dictionary.constBegin(); entry != dictionary.constEnd(); ++entry) {
        if (isText(entry.value()))
            swapped.insert(entry.value().toString(), entry.key());
        else if (isNumber(entry.value()))
            swapped.insert(platform::description(entry.value()), entry.key());
    }
    return swapped;
}

QVariantMap mutableDictionaryWithKeysRenamedUsingDictionary(const QVariantMap &dictionary,
                                                             const QVariantMap &renamingMap)
{
    QVariantMap renamed;
    for (auto entry = dictionary.constBegin(); entry != dictionary.constEnd(); ++entry) {
        const QVariant newName = renamingMap.value(entry.key());
        if (!isText(newName))
            continue;
        renamed.insert(newName.toString(), entry.value());
    }
    return renamed;
}
