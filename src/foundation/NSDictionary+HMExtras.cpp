#include "foundation/NSDictionary+HMExtras.h"

#include "foundation/Lumberjack/DDLog.h"

namespace {

bool isText(const QVariant &value)
{
    return value.typeId() == QMetaType::QString;
}

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool isNonZero(const QVariant &number)
{
    switch (number.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return number.toDouble() != 0.0;
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return number.toULongLong() != 0;
    default:
        return number.toLongLong() != 0;
    }
}

} // namespace

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
        return isNonZero(value);
    if (isText(value))
        return value.toString() == QLatin1String("1");
    return false;
}

QVariantMap dictionaryWithKeyValuesSwapped(const QVariantMap &dictionary)
{
    QVariantMap swapped;
    for (auto entry = dictionary.constBegin(); entry != dictionary.constEnd(); ++entry) {
        if (!isText(entry.value()) && !isNumber(entry.value()))
            continue;
        swapped.insert(entry.value().toString(), entry.key());
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
