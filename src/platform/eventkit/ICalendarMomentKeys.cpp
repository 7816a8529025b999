#include "platform/eventkit/ICalendarMomentKeys.h"

#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarItemIndex.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarListedSeries.h"

#include <QHashFunctions>

#include <algorithm>

namespace platform::icalmoments {

namespace {

constexpr qint64 kDaySeconds = 24 * 60 * 60;
// A series starting at more times of day than this (a rule of many hours, say) is a candidate at
// every moment: its keys would cost more than the parse they save.
constexpr qsizetype kMaxTimesOfDay = 48;

enum class Kind : quint32 { AnyMoment = 0, Start = 1, TimeOfDay = 2 };

quint32 keyOf(quint32 titleKey, Kind kind, qint64 value, qint64 length = 0)
{
    const size_t hash = qHashMulti(0, titleKey, quint32(kind), value, length);
    return quint32(quint64(hash) ^ (quint64(hash) >> 32));
}

qint64 secondsOf(qint64 milliseconds)
{
    return milliseconds / 1000 - (milliseconds % 1000 < 0 ? 1 : 0);
}

qint64 timeOfDayOf(qint64 seconds)
{
    return ((seconds % kDaySeconds) + kDaySeconds) % kDaySeconds;
}

// When the file's events start: exact starts, times of day with lengths, or at any moment when that is
// not told.
struct Moments
{
    QList<qint64> starts; // seconds since 1970
    // Seconds after midnight UTC at which events of the length in milliseconds start.
    QList<std::pair<qint64, qint64>> timesOfDay;
    bool isAnyMoment = false;
    qint64 horizon = std::numeric_limits<qint64>::max();

    void addTimeOfDayOf(qint64 start, qint64 length)
    {
        const std::pair<qint64, qint64> time{timeOfDayOf(secondsOf(start)), length};
        if (!timesOfDay.contains(time))
            timesOfDay.append(time);
        isAnyMoment = isAnyMoment || timesOfDay.size() > kMaxTimesOfDay;
    }
    // An occurrence of the series that starts where the event does: it lasts as long as the event.
    void addTimeOfDayOf(const QDateTime &start, const QDateTime &end)
    {
        if (start.isValid() && end.isValid())
            addTimeOfDayOf(start.toMSecsSinceEpoch(), end.toMSecsSinceEpoch() - start.toMSecsSinceEpoch());
        else
            isAnyMoment = true;
    }
};

Moments anyMoment()
{
    Moments moments;
    moments.isAnyMoment = true;
    return moments;
}

Moments momentsOfSingle(const ICalendarFile &file, QByteArrayView listed, const QByteArray &zoneField)
{
    const std::optional<QByteArrayView> plain = file.plainSingleUid();
    const QByteArray uid = plain ? plain->toByteArray() : file.uids().value(0).toUtf8();
    const std::optional<icallisted::ListedReading> reading = icallisted::readListedUtf8(listed, uid, zoneField);
    if (!reading)
        return anyMoment();
    Moments moments;
    moments.starts.append(secondsOf(reading->start));
    return moments;
}

// Each series' walk to the horizon and its moved occurrences, by the times of day they start at and
// their lengths: an occurrence of the walk lasts as many whole seconds as its series' event.
Moments momentsOfSeries(QByteArrayView listed, const QByteArray &zoneField)
{
    const std::optional<icallisted::ListedSeries> series = icallisted::readListedSeries(listed, zoneField);
    if (!series)
        return anyMoment();
    Moments moments;
    moments.horizon = series->horizon;
    for (const icallisted::ListedSeriesItem &item : series->items) {
        if (item.master) {
            const QDateTime start = item.master->startDate();
            const qint64 length = start.secsTo(item.master->endDate()) * 1000;
            moments.addTimeOfDayOf(start, start.addMSecs(length));
            item.starts.visitFrom(std::numeric_limits<qint64>::min(), [&moments, length](qint64 at) {
                moments.addTimeOfDayOf(at, length);
                return !moments.isAnyMoment;
            });
        }
        for (const icallisted::ListedDetached &detached : item.detached)
            moments.addTimeOfDayOf(detached.event->startDate(), detached.event->endDate());
    }
    return moments;
}

Moments momentsOf(const ICalendarFile &file, const QByteArray &zoneField)
{
    const QByteArrayView listed = file.listedEvent();
    if (listed.isEmpty())
        return anyMoment();
    return icallisted::isListedSeries(listed) ? momentsOfSeries(listed, zoneField)
                                              : momentsOfSingle(file, listed, zoneField);
}

} // namespace

FileKeys keysOf(const ICalendarFile &file, const QByteArray &zoneField)
{
    const Moments moments = momentsOf(file, zoneField);
    FileKeys keys;
    keys.horizon = moments.horizon;
    for (const QString &title : file.titles()) {
        const quint32 titleKey = ICalendarItemIndex::keyOf(title);
        if (moments.isAnyMoment) {
            keys.keys.append(keyOf(titleKey, Kind::AnyMoment, 0));
            continue;
        }
        for (const qint64 start : moments.starts)
            keys.keys.append(keyOf(titleKey, Kind::Start, start));
        for (const auto &[time, length] : moments.timesOfDay)
            keys.keys.append(keyOf(titleKey, Kind::TimeOfDay, time, length));
    }
    std::sort(keys.keys.begin(), keys.keys.end());
    keys.keys.erase(std::unique(keys.keys.begin(), keys.keys.end()), keys.keys.end());
    return keys;
}

QList<quint32> keysAt(const QString &title, qint64 start, qint64 end)
{
    const quint32 titleKey = ICalendarItemIndex::keyOf(title);
    const qint64 seconds = secondsOf(start);
    QList<quint32> keys{keyOf(titleKey, Kind::AnyMoment, 0), keyOf(titleKey, Kind::Start, seconds),
                        keyOf(titleKey, Kind::TimeOfDay, timeOfDayOf(seconds), end - start)};
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

} // namespace platform::icalmoments
