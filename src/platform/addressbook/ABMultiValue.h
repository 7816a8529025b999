#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>

namespace platform {

class ABMutableMultiValue;

// An ordered list of labelled values of one property of a person (phones, e-mail addresses, ...).
// Every entry has an identifier that stays the same while the entry exists, across saves and
// reopening of the store, whatever the order of the entries. A value type; an unchangeable one
// here, ABMutableMultiValue adds the changes.
class ABMultiValue
{
public:
    ABMultiValue() = default;

    qsizetype count() const { return m_entries.size(); }
    QString identifierAtIndex(qsizetype index) const;
    QString labelAtIndex(qsizetype index) const;
    QVariant valueAtIndex(qsizetype index) const;
    // The index of the entry with the identifier; -1 when there is none.
    qsizetype indexForIdentifier(const QString &identifier) const;
    ABMutableMultiValue mutableCopy() const;
    // The multi-value as a property value (a mutable one is stored as its unchangeable base).
    QVariant toVariant() const;

    bool operator==(const ABMultiValue &other) const;

protected:
    struct Entry
    {
        QString identifier;
        QString label;
        QVariant value;
        bool operator==(const Entry &other) const = default;
    };
    QList<Entry> m_entries;
};

// Whether a property value holds a multi-value.
bool isMultiValue(const QVariant &value);

} // namespace platform

Q_DECLARE_METATYPE(platform::ABMultiValue)
