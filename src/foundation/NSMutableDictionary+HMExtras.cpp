#include "foundation/NSMutableDictionary+HMExtras.h"

#include <QLocale>

namespace {

// The decimal text of a number as the record format writes it: booleans as "0" and "1", integers as
// they are, fractions in their shortest exact form.
QString decimalText(const QVariant &number)
{
    switch (number.typeId()) {
    case QMetaType::Bool:
        return number.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::Int:
    case QMetaType::LongLong:
        return QString::number(number.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return QString::number(number.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(number.toDouble(), 'g', QLocale::FloatingPointShortest);
    default:
        return QString();
    }
}

} // namespace

void setBool(QVariantMap &dictionary, bool value, const QString &key)
{
    dictionary.insert(key, QVariant(value));
}

void setHMValueAsString(QVariantMap &dictionary, const QVariant &value, const QString &key)
{
    if (!value.isValid()) {
        dictionary.insert(key, QString(QLatin1String("")));
        return;
    }
    if (value.typeId() == QMetaType::QString) {
        dictionary.insert(key, value.toString().trimmed());
        return;
    }
    const QString number = decimalText(value);
    dictionary.insert(key, number.isNull() ? value : QVariant(number));
}

void setHMValue(QVariantMap &dictionary, const QVariant &value, const QString &key)
{
    if (!value.isValid()) {
        dictionary.remove(key);
        return;
    }
    dictionary.insert(key, value);
}
