#pragma once

// Helpers the calendar and task data source tests share: records as short lines, the dates of a
// data set that stays inside every run's date range, and the stored items of two runs side by side.
#include "sync/HMSyncRecord.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

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

// A device's event record: its identity and times, then the further fields given.
inline QVariantMap deviceEvent(const char *uid, const char *title, const QDateTime &start, const QDateTime &end,
                               const QVariantMap &further = {})
{
    QVariantMap record{{QStringLiteral("UID"), uid},
                       {QStringLiteral("SUBJECT"), title},
                       {QStringLiteral("NSDATESTARTDATE"), start},
                       {QStringLiteral("NSDATEENDDATE"), end},
                       {QStringLiteral("LASTMODIFIED"), QStringLiteral("2026-01-01 10:00:00")}};
    record.insert(further);
    return record;
}

// The lines of every item file under a root, unfolded, without the lines that differ on every write
// (identifiers and stamps), one block per item sorted by its summary.
inline QStringList storedItems(const QString &root)
{
    static const QRegularExpression volatileLine(
        QStringLiteral("^(UID|DTSTAMP|CREATED|LAST-MODIFIED|PRODID|X-HM-[A-Z-]*)[;:]"));
    QStringList items;
    for (const QString &folder : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir dir(root + QLatin1Char('/') + folder);
        for (const QString &name : dir.entryList({QStringLiteral("*.ics")}, QDir::Files)) {
            QFile file(dir.filePath(name));
            EXPECT_TRUE(file.open(QIODevice::ReadOnly));
            QString content = QString::fromUtf8(file.readAll()).replace(QStringLiteral("\r\n "), QString());
            QStringList kept{folder};
            for (const QString &line : content.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
                // A task completed by the phone is stamped with the moment it was applied, which
                // the two runs may place in different seconds: keep that the stamp is there.
                if (line.startsWith(QStringLiteral("COMPLETED:")))
                    kept.append(QStringLiteral("COMPLETED:<applied>"));
                else if (!volatileLine.match(line).hasMatch())
                    kept.append(line);
            }
            items.append(kept.join(QLatin1Char('\n')));
        }
    }
    std::sort(items.begin(), items.end(), [](const QString &left, const QString &right) {
        const QString leftSummary = left.section(QStringLiteral("SUMMARY:"), 1).section(QLatin1Char('\n'), 0, 0);
        const QString rightSummary = right.section(QStringLiteral("SUMMARY:"), 1).section(QLatin1Char('\n'), 0, 0);
        return leftSummary < rightSummary;
    });
    return items;
}

inline QStringList lineDifferences(const QStringList &eventKit, const QStringList &calendarStore)
{
    QStringList lines;
    for (qsizetype index = 0; index < std::max(eventKit.size(), calendarStore.size()); ++index) {
        const QStringList mine = eventKit.value(index).split(QLatin1Char('\n'));
        const QStringList theirs = calendarStore.value(index).split(QLatin1Char('\n'));
        for (const QString &line : mine) {
            if (!theirs.contains(line))
                lines.append(QStringLiteral("EventKit only: ") + line);
        }
        for (const QString &line : theirs) {
            if (!mine.contains(line))
                lines.append(QStringLiteral("CalendarStore only: ") + line);
        }
    }
    return lines;
}

// The device's zone (TZ) for one scope.
class DeviceZone
{
public:
    explicit DeviceZone(const char *zone) : m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~DeviceZone()
    {
        qputenv("TZ", m_old);
        ::tzset();
    }
    DeviceZone(const DeviceZone &) = delete;
    DeviceZone &operator=(const DeviceZone &) = delete;

private:
    QByteArray m_old;
};

} // namespace calendartest
