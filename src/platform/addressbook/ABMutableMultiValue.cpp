#include "platform/addressbook/ABMutableMultiValue.h"

#include <QRandomGenerator>

namespace platform {

QString ABMutableMultiValue::addValue(const QVariant &value, const QString &label)
{
    return addValue(value, label, QString());
}

QString ABMutableMultiValue::addValue(const QVariant &value, const QString &label, const QString &identifier)
{
    // Identifiers need only be unique within the multi-value: short ones keep cards and slot maps small.
    QString kept = identifier;
    while (kept.isEmpty() || indexForIdentifier(kept) >= 0)
        kept = QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, QLatin1Char('0')).toUpper();
    m_entries.append(Entry{kept, label, value});
    return kept;
}

bool ABMutableMultiValue::replaceValueAtIndex(const QVariant &value, qsizetype index)
{
    if (index < 0 || index >= m_entries.size())
        return false;
    m_entries[index].value = value;
    return true;
}

bool ABMutableMultiValue::replaceLabelAtIndex(const QString &label, qsizetype index)
{
    if (index < 0 || index >= m_entries.size())
        return false;
    m_entries[index].label = label;
    return true;
}

bool ABMutableMultiValue::removeValueAndLabelAtIndex(qsizetype index)
{
    if (index < 0 || index >= m_entries.size())
        return false;
    m_entries.removeAt(index);
    return true;
}

} // namespace platform
