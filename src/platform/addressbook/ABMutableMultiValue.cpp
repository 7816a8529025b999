#include "platform/addressbook/ABMutableMultiValue.h"

#include "platform/foundation/Identifiers.h"

namespace platform {

QString ABMutableMultiValue::addValue(const QVariant &value, const QString &label)
{
    return addValue(value, label, QString());
}

QString ABMutableMultiValue::addValue(const QVariant &value, const QString &label, const QString &identifier)
{
    QString kept = identifier;
    if (kept.isEmpty() || indexForIdentifier(kept) >= 0)
        kept = newUuidText();
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
