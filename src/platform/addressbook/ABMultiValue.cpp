#include "platform/addressbook/ABMultiValue.h"

#include "platform/addressbook/ABMutableMultiValue.h"

namespace platform {

QString ABMultiValue::identifierAtIndex(qsizetype index) const
{
    return index >= 0 && index < m_entries.size() ? m_entries.at(index).identifier : QString();
}

QString ABMultiValue::labelAtIndex(qsizetype index) const
{
    return index >= 0 && index < m_entries.size() ? m_entries.at(index).label : QString();
}

QVariant ABMultiValue::valueAtIndex(qsizetype index) const
{
    return index >= 0 && index < m_entries.size() ? m_entries.at(index).value : QVariant();
}

qsizetype ABMultiValue::indexForIdentifier(const QString &identifier) const
{
    for (qsizetype index = 0; index < m_entries.size(); ++index) {
        if (m_entries.at(index).identifier == identifier)
            return index;
    }
    return -1;
}

ABMutableMultiValue ABMultiValue::mutableCopy() const
{
    ABMutableMultiValue copy;
    for (const Entry &entry : m_entries)
        copy.addValue(entry.value, entry.label, entry.identifier);
    return copy;
}

QVariant ABMultiValue::toVariant() const
{
    return QVariant::fromValue(*this);
}

bool isMultiValue(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<ABMultiValue>();
}

bool ABMultiValue::operator==(const ABMultiValue &other) const
{
    return m_entries == other.m_entries;
}

} // namespace platform
