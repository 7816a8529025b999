#include "platform/addressbook/ABSearchElement.h"

#include "platform/addressbook/ABRecord.h"

namespace platform {

ABSearchElement ABSearchElement::searchElementForConjunction(ABSearchConjunction conjunction,
                                                             const QList<ABSearchElement> &children)
{
    ABSearchElement element;
    element.m_isConjunction = true;
    element.m_conjunction = conjunction;
    element.m_children = children;
    return element;
}

ABSearchElement ABSearchElement::forProperty(const QString &property, const QString &key, const QVariant &value,
                                             ABSearchComparison comparison)
{
    ABSearchElement element;
    element.m_property = property;
    element.m_key = key;
    element.m_value = value.toString();
    element.m_comparison = comparison;
    return element;
}

bool ABSearchElement::matchesRecord(ABRecord &record) const
{
    if (m_isConjunction) {
        const bool wantsAll = m_conjunction == ABSearchConjunction::kABSearchAnd;
        for (const ABSearchElement &child : m_children) {
            if (child.matchesRecord(record) != wantsAll)
                return !wantsAll;
        }
        return wantsAll;
    }
    for (const QString &text : record.searchTexts(m_property, m_key)) {
        switch (m_comparison) {
        case ABSearchComparison::kABEqual:
            if (text == m_value)
                return true;
            break;
        case ABSearchComparison::kABEqualCaseInsensitive:
            if (text.compare(m_value, Qt::CaseInsensitive) == 0)
                return true;
            break;
        case ABSearchComparison::kABContainsSubStringCaseInsensitive:
            if (text.contains(m_value, Qt::CaseInsensitive))
                return true;
            break;
        }
    }
    return false;
}

QString ABSearchElement::caseInsensitiveEqualityValue(const QString &property) const
{
    if (!m_isConjunction) {
        const bool isEquality = m_comparison == ABSearchComparison::kABEqualCaseInsensitive
                                || m_comparison == ABSearchComparison::kABEqual;
        return isEquality && m_property == property ? m_value : QString();
    }
    if (m_conjunction != ABSearchConjunction::kABSearchAnd)
        return QString();
    for (const ABSearchElement &child : m_children) {
        const QString value = child.caseInsensitiveEqualityValue(property);
        if (!value.isNull())
            return value;
    }
    return QString();
}

} // namespace platform
