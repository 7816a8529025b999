#include "platform/eventkit/ICalendarZones.h"

#include "platform/eventkit/ICalendarText.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <atomic>
#include <memory>
#include <mutex>

namespace platform::icalzones {

namespace {

// Definitions kept for the life of the process: a few per program that writes files; past this
// many, further ones are read with their own zones.
constexpr qsizetype kMaxSharedDefinitions = 256;

struct ZoneDeleter
{
    void operator()(icaltimezone *zone) const { icaltimezone_free(zone, 1); }
};

struct Registry
{
    std::mutex mutex;
    QHash<QByteArray, std::shared_ptr<icaltimezone>> byDefinition;
    QHash<const icaltimezone *, icaltimezone *> shared;                   // a parse's zone -> its shared zone
    QHash<const icalcomponent *, QList<const icaltimezone *>> byCalendar; // the zones each parse registered
    std::atomic<qsizetype> registered = 0;
};

Registry &registry()
{
    static Registry *const instance = new Registry; // outlives every parse freed at exit
    return *instance;
}

QByteArray definitionOf(icalcomponent *zoneComponent)
{
    return icaltext::componentText(zoneComponent);
}

// The shared zone of the definition, made on first need; null when no more are kept.
icaltimezone *sharedZoneOf(Registry &zones, icalcomponent *zoneComponent)
{
    const QByteArray definition = definitionOf(zoneComponent);
    if (const auto found = zones.byDefinition.constFind(definition); found != zones.byDefinition.constEnd())
        return found->get();
    if (zones.byDefinition.size() >= kMaxSharedDefinitions)
        return nullptr;
    std::shared_ptr<icaltimezone> zone(icaltimezone_new(), ZoneDeleter());
    if (!zone || !icaltimezone_set_component(zone.get(), icalcomponent_new_clone(zoneComponent)))
        return nullptr;
    zones.byDefinition.insert(definition, zone);
    return zone.get();
}

} // namespace

void shareZonesOf(icalcomponent *calendar)
{
    if (!calendar)
        return;
    Registry &zones = registry();
    const std::lock_guard lock(zones.mutex);
    QList<const icaltimezone *> own;
    for (icalcomponent *definition = icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT); definition;
         definition = icalcomponent_get_next_component(calendar, ICAL_VTIMEZONE_COMPONENT)) {
        icalproperty *id = icalcomponent_get_first_property(definition, ICAL_TZID_PROPERTY);
        const char *tzid = id ? icalproperty_get_tzid(id) : nullptr;
        icaltimezone *zone = tzid ? icalcomponent_get_timezone(calendar, tzid) : nullptr;
        if (!zone || icaltimezone_get_component(zone) != definition || zones.shared.contains(zone))
            continue;
        if (icaltimezone *sharedZone = sharedZoneOf(zones, definition)) {
            zones.shared.insert(zone, sharedZone);
            own.append(zone);
        }
    }
    if (own.isEmpty())
        return;
    zones.byCalendar.insert(calendar, own);
    zones.registered = zones.shared.size();
}

void forgetZonesOf(icalcomponent *calendar)
{
    Registry &zones = registry();
    if (zones.registered.load(std::memory_order_relaxed) == 0 || !calendar)
        return;
    const std::lock_guard lock(zones.mutex);
    for (const icaltimezone *zone : zones.byCalendar.take(calendar))
        zones.shared.remove(zone);
    zones.registered = zones.shared.size();
}

const icaltimezone *sharedZoneFor(const icaltimezone *zone)
{
    Registry &zones = registry();
    if (!zone || zones.registered.load(std::memory_order_relaxed) == 0)
        return zone;
    const std::lock_guard lock(zones.mutex);
    return zones.shared.value(zone, const_cast<icaltimezone *>(zone));
}

} // namespace platform::icalzones
