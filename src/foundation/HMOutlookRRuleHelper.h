#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>

// The recurrence reader the Outlook side of the data sources calls. Class operations only, no state:
// safe on any thread.
class HMOutlookRRuleHelper final
{
public:
    HMOutlookRRuleHelper() = delete;

    // The recurrence dictionary of the rule text, exactly as HMRRuleHelper::getDictionaryFromRRule gives
    // it; the caller may change it.
    static QVariantMap getDictionaryFromRRule(const QString &rRule, const QDateTime &startDate);
};
