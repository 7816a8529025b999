#include "platform/eventkit/ICalendarSeries.h"

#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarText.h"

#include <QCryptographicHash>

namespace platform::icalseries {

namespace {

bool isItemKind(icalcomponent_kind kind)
{
    return kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT;
}

bool hasUid(icalcomponent *item, const QString &uid)
{
    const char *text = icalcomponent_get_uid(item);
    return text && QString::fromUtf8(text) == uid;
}

void removeProperties(icalcomponent *item, icalproperty_kind kind)
{
    while (icalproperty *property = icalcomponent_get_first_property(item, kind)) {
        icalcomponent_remove_property(item, property);
        icalproperty_free(property);
    }
}

void removeComponent(icalcomponent *calendar, icalcomponent *item)
{
    icalcomponent_remove_component(calendar, item);
    icalcomponent_free(item);
}

// The occurrence as a time written the way the series' start is: same zone, date or date-time.
icaltimetype timeLikeStart(icalcomponent *master, const QDateTime &occurrence)
{
    const icaltimetype start = icalcomponent_get_dtstart(master);
    return icalcodec::icalTimeFromDate(occurrence, start.zone, start.is_date != 0);
}

void dropOverrides(icalcomponent *calendar, const QString &uid, const QDateTime &from, bool onlyThatOne)
{
    for (icalcomponent *item : overridesOf(calendar, uid)) {
        const QDateTime recurrenceId = icalcodec::recurrenceIdOf(item);
        if (onlyThatOne ? recurrenceId == from : recurrenceId >= from)
            removeComponent(calendar, item);
    }
}

} // namespace

icalcomponent *newCalendar()
{
    icalcomponent *calendar = icalcomponent_new(ICAL_VCALENDAR_COMPONENT);
    icalcomponent_add_property(calendar, icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar, icalproperty_new_prodid("-//Harrowmere//Calendar Store//EN"));
    return calendar;
}

icalcomponent *masterOf(icalcomponent *calendar, const QString &uid, icalcomponent_kind kind)
{
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, kind); item;
         item = icalcomponent_get_next_component(calendar, kind)) {
        if (hasUid(item, uid) && !icalcomponent_get_first_property(item, ICAL_RECURRENCEID_PROPERTY))
            return item;
    }
    return nullptr;
}

QList<icalcomponent *> overridesOf(icalcomponent *calendar, const QString &uid)
{
    QList<icalcomponent *> result;
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); item;
         item = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
        if (hasUid(item, uid) && icalcomponent_get_first_property(item, ICAL_RECURRENCEID_PROPERTY))
            result.append(item);
    }
    return result;
}

QHash<QString, ItemsOfUid> itemsByUid(icalcomponent *calendar)
{
    QHash<QString, ItemsOfUid> items;
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        const char *uid = icalcomponent_get_uid(item);
        if (!isItemKind(kind) || !uid)
            continue;
        ItemsOfUid &found = items[QString::fromUtf8(uid)];
        const bool isDetached = icalcomponent_get_first_property(item, ICAL_RECURRENCEID_PROPERTY) != nullptr;
        icalcomponent *&master = kind == ICAL_VEVENT_COMPONENT ? found.event : found.todo;
        if (isDetached && kind == ICAL_VEVENT_COMPONENT)
            found.overrides.append(item);
        else if (!isDetached && !master)
            master = item;
    }
    return items;
}

icalcomponent *overrideAt(icalcomponent *calendar, const QString &uid, const QDateTime &occurrence)
{
    for (icalcomponent *item : overridesOf(calendar, uid)) {
        if (icalcodec::recurrenceIdOf(item) == occurrence)
            return item;
    }
    return nullptr;
}

bool isRecurring(icalcomponent *master)
{
    // A moved occurrence is one occurrence, whatever RDATEs it carries.
    return master && !icalcomponent_get_first_property(master, ICAL_RECURRENCEID_PROPERTY) &&
           (icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY) ||
            icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY));
}

void detachOccurrence(icalcomponent *calendar, icalcomponent *master, const EKEvent &event)
{
    const QString uid = event.eventIdentifier();
    dropOverrides(calendar, uid, event.occurrenceDate(), true);
    icalcomponent *detached = icalcomponent_new_clone(master);
    for (icalproperty_kind kind : {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY, ICAL_EXRULE_PROPERTY,
                                   ICAL_RECURRENCEID_PROPERTY})
        removeProperties(detached, kind);
    icalcodec::writeEvent(calendar, detached, event, false);
    const icaltimetype recurrenceId = timeLikeStart(master, event.occurrenceDate());
    icalcodec::addTimeProperty(calendar, detached, icalproperty_new_recurrenceid(recurrenceId), recurrenceId);
    icalcomponent_add_component(calendar, detached);
    icalcodec::stampModification(master);
}

void excludeOccurrence(icalcomponent *calendar, icalcomponent *master, const QDateTime &occurrence)
{
    const QString uid = QString::fromUtf8(icalcomponent_get_uid(master));
    dropOverrides(calendar, uid, occurrence, true);
    const icaltimetype excluded = timeLikeStart(master, occurrence);
    icalcodec::addTimeProperty(calendar, master, icalproperty_new_exdate(excluded), excluded);
    icalcodec::stampModification(master);
}

void endSeriesBefore(icalcomponent *calendar, icalcomponent *master, const QDateTime &occurrence)
{
    const QString uid = QString::fromUtf8(icalcomponent_get_uid(master));
    dropOverrides(calendar, uid, occurrence, false);
    const bool allDay = icalcomponent_get_dtstart(master).is_date != 0;
    const QDateTime lastMoment = allDay ? occurrence.addDays(-1) : occurrence.addSecs(-1);
    const icaltimetype until = icalcodec::icalTimeFromDate(lastMoment, icaltimezone_get_utc_timezone(), allDay);
    for (icalproperty *rule = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY); rule;
         rule = icalcomponent_get_next_property(master, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype recurrence = icalproperty_get_rrule(rule);
        recurrence.count = 0;
        recurrence.until = until;
        icalproperty_set_rrule(rule, recurrence);
    }
    icalcodec::stampModification(master);
}

int occurrencesBefore(icalcomponent *master, const QDateTime &occurrence)
{
    icalcomponent *withoutExclusions = icalcomponent_new_clone(master);
    removeProperties(withoutExclusions, ICAL_EXDATE_PROPERTY);
    const QDateTime start = icalcodec::dateFromIcalTime(icalcomponent_get_dtstart(master));
    const qsizetype count = icalcodec::occurrenceStarts(withoutExclusions, start, occurrence).size();
    icalcomponent_free(withoutExclusions);
    return int(count);
}

bool removeItems(icalcomponent *calendar, const QString &uid)
{
    QList<icalcomponent *> doomed;
    bool othersRemain = false;
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
        if (!isItemKind(icalcomponent_isa(item)))
            continue;
        if (hasUid(item, uid))
            doomed.append(item);
        else
            othersRemain = true;
    }
    for (icalcomponent *item : doomed)
        removeComponent(calendar, item);
    return othersRemain;
}

QString revisionOf(icalcomponent *master)
{
    const QByteArray bytes = icaltext::componentText(master);
    if (bytes.isEmpty())
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

std::shared_ptr<EKEvent> eventFromComponent(icalcomponent *item)
{
    auto event = std::make_shared<EKEvent>();
    icalcodec::readEvent(item, *event);
    if (isRecurring(item))
        event->setSeriesRevision(revisionOf(item));
    event->setOccurrence(event->startDate(), false);
    return event;
}

} // namespace platform::icalseries
