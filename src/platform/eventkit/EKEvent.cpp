#include "platform/eventkit/EKEvent.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/Identifiers.h"

namespace platform {

std::shared_ptr<EKEvent> EKEvent::eventWithEventStore(const std::shared_ptr<EKEventStore> &store)
{
    auto event = std::make_shared<EKEvent>();
    event->setCalendarItemIdentifier(newUuidText());
    event->setIsNew(true);
    if (store)
        event->setCalendar(store->defaultCalendarForNewEvents());
    return event;
}

void EKEvent::setOccurrence(const QDateTime &occurrenceDate, bool isDetached)
{
    m_occurrenceDate = occurrenceDate.toUTC();
    m_isDetached = isDetached;
}

} // namespace platform
