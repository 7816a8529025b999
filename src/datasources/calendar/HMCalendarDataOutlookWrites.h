#pragma once

// Small helpers the Outlook write sides of the calendar, task and memo data sources share.
#include "outlook/HMOutlookSQLiteHelper.h"

#include <QDateTime>
#include <QVariant>
#include <QVariantMap>

namespace calendaroutlook {

// The application name the scripts tell.
inline QString application()
{
    return HMOutlookSQLiteHelper::outlookApplicationReference();
}

// A record value that is a valid date.
inline bool isDate(const QVariant &value)
{
    return value.typeId() == QMetaType::QDateTime && value.toDateTime().isValid();
}

// The record's text under the key; a null text where it holds no text.
inline QString textOf(const QVariantMap &record, const char *key)
{
    const QVariant value = record.value(QLatin1String(key));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace calendaroutlook
