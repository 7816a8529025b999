#include "datasources/calendar/HMKVCodingEKEvent.h"

#include "datasources/calendar/HMChecksumArchive.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QVariantList>
#include <QVariantMap>

namespace {

const QString kRelativeOffsetKey = QStringLiteral("relativeOffset");
const QString kAbsoluteDateKey = QStringLiteral("absoluteDate");

QVariantList alarmValues(const QList<platform::EKAlarm> &alarms)
{
    QVariantList values;
    for (const platform::EKAlarm &alarm : alarms) {
        QVariantMap value{{kRelativeOffsetKey, alarm.relativeOffset()}};
        if (alarm.absoluteDate().isValid())
            value.insert(kAbsoluteDateKey, alarm.absoluteDate());
        values.append(value);
    }
    return values;
}

QList<platform::EKAlarm> alarmsFrom(const QVariant &values)
{
    QList<platform::EKAlarm> alarms;
    for (const QVariant &value : values.toList()) {
        const QVariantMap map = value.toMap();
        const QDateTime absolute = map.value(kAbsoluteDateKey).toDateTime();
        alarms.append(absolute.isValid()
                          ? platform::EKAlarm::alarmWithAbsoluteDate(absolute)
                          : platform::EKAlarm::alarmWithRelativeOffset(map.value(kRelativeOffsetKey).toDouble()));
    }
    return alarms;
}

// A date as the checksum holds it: nothing for an invalid one, which ends the list there.
std::optional<qint64> millisecondsOf(const QDateTime &value)
{
    return value.isValid() ? std::optional<qint64>(value.toMSecsSinceEpoch()) : std::nullopt;
}

// A text as the checksum holds it: nothing for a null one, which ends the list there.
std::optional<QByteArray> utf8Of(const QString &value)
{
    return value.isNull() ? std::nullopt : std::optional<QByteArray>(value.toUtf8());
}

} // namespace

QByteArray HMKVCodingEKEvent::checksumArchiveOf(const platform::EKEvent &event)
{
    return eventChecksumArchive(millisecondsOf(event.startDate()), millisecondsOf(event.endDate()),
                                utf8Of(event.title()), utf8Of(event.notes()));
}

quint32 HMKVCodingEKEvent::checksumCrcOf(const platform::EKEvent &event)
{
    const auto textOf = [](const QString &text) {
        return text.isNull() ? std::nullopt : std::optional<QStringView>(text);
    };
    const QString title = event.title();
    const QString notes = event.notes();
    return eventChecksumCrcOfTexts(millisecondsOf(event.startDate()), millisecondsOf(event.endDate()), textOf(title),
                                   textOf(notes));
}

void HMKVCodingEKEvent::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    coder.encodeObject(title().isNull() ? QVariant() : QVariant(title()), QStringLiteral("title"));
    coder.encodeObject(startDate().isValid() ? QVariant(startDate()) : QVariant(), QStringLiteral("startDate"));
    coder.encodeObject(endDate().isValid() ? QVariant(endDate()) : QVariant(), QStringLiteral("endDate"));
    coder.encodeObject(notes().isNull() ? QVariant() : QVariant(notes()), QStringLiteral("notes"));
    coder.encodeObject(alarmValues(alarms()), QStringLiteral("alarms"));
}

void HMKVCodingEKEvent::initWithCoder(platform::KeyedUnarchiver &coder)
{
    if (coder.containsValueForKey(QStringLiteral("startDate")))
        setStartDate(coder.decodeObject(QStringLiteral("startDate")).toDateTime());
    if (coder.containsValueForKey(QStringLiteral("endDate")))
        setEndDate(coder.decodeObject(QStringLiteral("endDate")).toDateTime());
    if (coder.containsValueForKey(QStringLiteral("title")))
        setTitle(coder.decodeObject(QStringLiteral("title")).toString());
    if (coder.containsValueForKey(QStringLiteral("notes")))
        setNotes(coder.decodeObject(QStringLiteral("notes")).toString());
    if (coder.containsValueForKey(QStringLiteral("alarms")))
        setAlarms(alarmsFrom(coder.decodeObject(QStringLiteral("alarms"))));
}
