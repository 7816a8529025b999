#include "foundation/HMOutlookRRuleHelper.h"

#include "foundation/HMRRuleHelper.h"

QVariantMap HMOutlookRRuleHelper::getDictionaryFromRRule(const QString &rRule, const QDateTime &startDate)
{
    return HMRRuleHelper::getDictionaryFromRRule(rRule, startDate);
}
