#pragma once

#include <QList>
#include <QString>
#include <QVariant>

namespace platform {

class ABRecord;

enum class ABSearchComparison {
    kABEqual,
    kABEqualCaseInsensitive,
    kABContainsSubStringCaseInsensitive,
};

enum class ABSearchConjunction {
    kABSearchAnd,
    kABSearchOr,
};

// A condition on records: one property compared with a value, or a conjunction of conditions.
// A value type.
class ABSearchElement final
{
public:
    static ABSearchElement searchElementForConjunction(ABSearchConjunction conjunction,
                                                       const QList<ABSearchElement> &children);
    static ABSearchElement forProperty(const QString &property, const QString &key, const QVariant &value,
                                       ABSearchComparison comparison);

    bool matchesRecord(ABRecord &record) const;

    // The text an equality condition on the property asks for, at this element or (for an "and")
    // one of its children; empty when there is none. Lets a store narrow the records it tests.
    QString caseInsensitiveEqualityValue(const QString &property) const;

private:
    bool m_isConjunction = false;
    ABSearchConjunction m_conjunction = ABSearchConjunction::kABSearchAnd;
    QList<ABSearchElement> m_children;
    QString m_property;
    QString m_key;
    QString m_value;
    ABSearchComparison m_comparison = ABSearchComparison::kABEqual;
};

} // namespace platform
