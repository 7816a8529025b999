#include "outlook/sqlite/CpsObjectMap.h"

void CpsObjectMap::SetObjectMap(qint32 index, const QString &appleValue)
{
    mArrayIndex = index;
    mAppleStr = appleValue;
}
