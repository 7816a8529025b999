#pragma once

// Small helpers the Outlook write sides of the calendar, task and memo data sources share.
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleEventDescriptor.h"

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

// The "UID:" of the iCalendar text in a record's properties; null when there is none.
inline QString icalUidOfProperties(const platform::NSAppleEventDescriptor &properties)
{
    const QString text = properties.descriptorForKeyword(platform::fourCharCode("iCal")).stringValue();
    for (const QString &line : text.split(u'\n')) {
        if (line.startsWith(QLatin1String("UID:")))
            return line.mid(4);
    }
    return QString();
}

} // namespace calendaroutlook
