#include "foundation/NSMutableDictionary+HMExtras.h"

#include "platform/foundation/Values.h"

void setBool(QVariantMap &dictionary, bool value, const QString &key)
{
    dictionary.insert(key, QVariant(value));
}

void setHMValueAsString(QVariantMap &dictionary, const QVariant &value, const QString &key)
{
    if (platform::isNil(value)) {
        dictionary.insert(key, QString(QLatin1String("")));
        return;
    }
    if (platform::isText(value)) {
        dictionary.insert(key, value.toString().trimmed());
        return;
    }
    dictionary.insert(key, platform::isNumber(value) ? QVariant(platform::description(value)) : value);
}

void setHMValue(QVariantMap &dictionary, const QVariant &value, const QString &key)
{
    if (platform::isNil(value)) {
        dictionary.remove(key);
        return;
    }
    dictionary.insert(key, value);
}
