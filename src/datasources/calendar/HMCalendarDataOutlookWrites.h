#pragma once

// Small helpers the Outlook write side of the calendar data source shares between its files.
#include "outlook/HMOutlookSQLiteHelper.h"

#include <QDateTime>
#include <QVariant>

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

} // namespace calendaroutlook
