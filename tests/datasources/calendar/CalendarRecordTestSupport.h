#pragma once

// Helpers the calendar and task data source tests share: records as short lines, and the dates of a
// data set that stays inside every run's date range.
#include "sync/HMSyncRecord.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

namespace calendartest {

// "send new <SUBJECT>", "send <SUBJECT>" or "delete " per record, in order.
inline QStringList describe(const QList<HMSyncRecord> &records)
{
    QStringList lines;
    for (const HMSyncRecord &record : records) {
        lines.append(
            QStringLiteral("%1%2 %3").arg(record.isDelete() ? QStringLiteral("delete") : QStringLiteral("send"),
                                          record.isNew() ? QStringLiteral(" new") : QString(),
                                          record.dictionary().value(QStringLiteral("SUBJECT")).toString()));
    }
    return lines;
}

// The first 1 March more than a week after today: inside the date range of every run.
inline QDate nextFirstOfMarch()
{
    QDate march(QDate::currentDate().year(), 3, 1);
    return march <= QDate::currentDate().addDays(7) ? march.addYears(1) : march;
}

// A moment of a day in the local time zone, as UTC.
inline QDateTime localAt(const QDate &day, int hour, int minute = 0, int second = 0)
{
    return QDateTime(day, QTime(hour, minute, second), QTimeZone::systemTimeZone()).toUTC();
}

} // namespace calendartest
