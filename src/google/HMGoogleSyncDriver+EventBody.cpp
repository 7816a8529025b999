// The JSON body of an event or task write and the two readers of an event's zone data ("TZ_DATA":
// standard minutes east of UTC with their sign, a tab, daylight minutes).
#include "google/HMGoogleSyncDriver.h"

#include "google/GoogleEventList.h"
#include "google/GoogleTaskList.h"

#include <QTimeZone>

namespace {

struct TzAmounts
{
    bool negative = false;
    qint64 standard = 0;
    qint64 daylight = 0;
};

// Leading decimal digits; 0 when there are none.
qint64 leadingInteger(const QString &field)
{
    qsizetype end = 0;
    while (end < field.size() && end < 9 && field.at(end).isDigit())
        ++end;
    return field.left(end).toLongLong();
}

TzAmounts readTzData(QString text)
{
    TzAmounts amounts;
    if (text.startsWith(u'-') && text.size() >= 2) {
        amounts.negative = true;
        text.remove(0, 1);
    }
    text.remove(u'-');
    const QStringList fields = text.split(u'\t');
    amounts.standard = leadingInteger(QString(fields.value(0)).remove(u'\\'));
    amounts.daylight = leadingInteger(fields.value(1));
    return amounts;
}

// "start" or "end": the event's own wall clock with its offset, or the day of an all-day event.
QVariantMap eventTime(const QDateTime &date, const QVariantMap &record)
{
    const bool hasTz = record.contains(QStringLiteral("TZ_DATA"));
    const QString tzData = record.value(QStringLiteral("TZ_DATA")).toString();
    const QString offsetText = HMGoogleSyncDriver::timeZoneOffsetStringFromTzData(hasTz ? tzData : QStringLiteral("0\t0"));
    const qint64 offset = hasTz ? HMGoogleSyncDriver::offsetSecondsFromTzData(tzData) : 0;
    // The wall clock of the event's zone: the moment in UTC moved by the zone's offset.
    const QDateTime wall = date.toUTC().addSecs(offset);
    // ISO texts of the day and the time ("yyyy-MM-dd", "HH:mm:ss"): Qt's pattern formatter costs
    // several times more for the same characters.
    const QString text =
        wall.isValid() ? wall.date().toString(Qt::ISODate) + u'T' + wall.time().toString(Qt::ISODate) + offsetText : offsetText;
    QVariantMap time;
    if (record.value(QStringLiteral("TYPENUMBER")).toBool()) {
        // An all-day event is the local day whose midnight lies nearest its start (Outlook may give
        // the day's start an offset away from local midnight).
        time.insert(QStringLiteral("date"), date.toLocalTime().addSecs(12 * 3600).date().toString(Qt::ISODate));
    } else {
        time.insert(QStringLiteral("dateTime"), text);
    }
    if (record.contains(QStringLiteral("EVENTTZ")))
        time.insert(QStringLiteral("timeZone"), record.value(QStringLiteral("EVENTTZ")));
    return time;
}

void addEventFields(const QVariantMap &record, QVariantMap &body)
{
    if (record.contains(QStringLiteral("NSDATESTARTDATE")))
        body.insert(QStringLiteral("start"), eventTime(record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(), record));
    if (record.contains(QStringLiteral("NSDATEENDDATE")))
        body.insert(QStringLiteral("end"), eventTime(record.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), record));
    if (record.contains(QStringLiteral("SUBJECT")))
        body.insert(QStringLiteral("summary"), HMGoogleSyncDriver::correctedString(record.value(QStringLiteral("SUBJECT"))));
    if (record.contains(QStringLiteral("NOTE")))
        body.insert(QStringLiteral("description"), HMGoogleSyncDriver::correctedString(record.value(QStringLiteral("NOTE"))));
    if (record.contains(QStringLiteral("LOCATION")))
        body.insert(QStringLiteral("location"), HMGoogleSyncDriver::correctedString(record.value(QStringLiteral("LOCATION"))));
    const QVariant transparency = record.value(QStringLiteral("transparency"));
    body.insert(QStringLiteral("transparency"), !record.contains(QStringLiteral("transparency")) ? QStringLiteral("opaque")
                                                : transparency.typeId() == QMetaType::QString ? transparency.toString()
                                                                                              : QStringLiteral("transparent"));
    const QVariant isPrivate = record.value(QStringLiteral("PRIVATE"));
    const bool privateNumber = isPrivate.typeId() == QMetaType::Bool || isPrivate.typeId() == QMetaType::Int ||
                               isPrivate.typeId() == QMetaType::LongLong;
    body.insert(QStringLiteral("visibility"), privateNumber && isPrivate.toBool() ? QStringLiteral("private") : QStringLiteral("default"));
    if (record.contains(QStringLiteral("NSNUMBERALARMTIME")))
        body.insert(QStringLiteral("reminders"),
                    QVariantMap{{QStringLiteral("useDefault"), false},
                                {QStringLiteral("overrides"),
                                 QVariantList{QVariantMap{{QStringLiteral("method"), QStringLiteral("popup")},
                                                          {QStringLiteral("minutes"), record.value(QStringLiteral("NSNUMBERALARMTIME"))}}}}});
    if (record.contains(QStringLiteral("RRULE")))
        body.insert(QStringLiteral("recurrence"), QVariantList{record.value(QStringLiteral("RRULE"))});
    if (record.contains(QStringLiteral("PARENTID")))
        body.insert(QStringLiteral("recurringEventId"), record.value(QStringLiteral("PARENTID")));
    if (record.contains(QStringLiteral("STATUS")))
        body.insert(QStringLiteral("status"), record.value(QStringLiteral("STATUS")));
}

void addTaskFields(const QVariantMap &record, QVariantMap &body)
{
    body.insert(QStringLiteral("kind"), QStringLiteral("tasks#task"));
    body.insert(QStringLiteral("status"), record.value(QStringLiteral("COMPLETED")).toBool() ? QStringLiteral("completed")
                                                                                             : QStringLiteral("needsAction"));
    if (record.contains(QStringLiteral("SUBJECT")))
        body.insert(QStringLiteral("title"), HMGoogleSyncDriver::correctedString(record.value(QStringLiteral("SUBJECT"))));
    if (record.contains(QStringLiteral("NOTE")))
        body.insert(QStringLiteral("notes"), HMGoogleSyncDriver::correctedString(record.value(QStringLiteral("NOTE"))));
    if (record.contains(QStringLiteral("DUEDATE")))
        body.insert(QStringLiteral("due"), googletasklist::dueText(record.value(QStringLiteral("DUEDATE")).toDateTime()));
}

} // namespace

qint64 HMGoogleSyncDriver::offsetSecondsFromTzData(const QString &tzData)
{
    if (tzData.isEmpty())
        return 0;
    const TzAmounts amounts = readTzData(tzData);
    return ((amounts.negative ? -amounts.standard : amounts.standard) + amounts.daylight) * 60;
}

QString HMGoogleSyncDriver::timeZoneOffsetStringFromTzData(const QString &tzData)
{
    const TzAmounts amounts = readTzData(tzData);
    const qint64 minutes = amounts.negative ? amounts.standard - amounts.daylight : amounts.standard + amounts.daylight;
    const qint64 hours = minutes / 60;
    const qint64 rest = minutes - hours * 60;
    const QString text = (minutes < 600 ? QStringLiteral("0%1:").arg(hours) : QStringLiteral("%1:").arg(hours)) +
                         QStringLiteral("%1").arg(rest, 2, 10, QLatin1Char('0'));
    return (amounts.negative ? QStringLiteral("-") : QStringLiteral("+")) + text;
}

QVariantMap HMGoogleSyncDriver::makeParameterDictionary(const QVariantMap &record, const QString &updateType,
                                                        const QString &conduit)
{
    QVariantMap body;
    if (updateType == QLatin1String("insert") && record.contains(QStringLiteral("Id")))
        body.insert(QStringLiteral("id"), record.value(QStringLiteral("Id")));
    if (conduit == QLatin1String("Calendar"))
        addEventFields(record, body);
    else if (conduit == QLatin1String("Tasks"))
        addTaskFields(record, body);
    return body;
}
