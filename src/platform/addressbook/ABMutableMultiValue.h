#pragma once

#include "platform/addressbook/ABMultiValue.h"

namespace platform {

// A multi-value that can be changed: entries added (each with a new identifier), replaced and
// removed. Set it back on the person to change the person. A value type.
class ABMutableMultiValue final : public ABMultiValue
{
public:
    ABMutableMultiValue() = default;

    // Appends an entry and answers its new identifier.
    QString addValue(const QVariant &value, const QString &label);
    // Appends an entry that keeps a known identifier (a new one when it is empty or already used).
    QString addValue(const QVariant &value, const QString &label, const QString &identifier);
    bool replaceValueAtIndex(const QVariant &value, qsizetype index);
    bool replaceLabelAtIndex(const QString &label, qsizetype index);
    bool removeValueAndLabelAtIndex(qsizetype index);
};

} // namespace platform
