#pragma once

#include <QString>

#include <memory>

namespace platform {

class EKCalendar;

// A CalendarStore calendar: a view of one calendar folder of the event store. Its type is one of the
// store's type texts ("Local", "Subscription", "Birthday", ...). Used on the queue of its store.
class CalCalendar final
{
public:
    static inline const QString CalCalendarTypeLocal = QStringLiteral("Local");
    static inline const QString CalCalendarTypeCalDAV = QStringLiteral("CalDAV");
    static inline const QString CalCalendarTypeExchange = QStringLiteral("Exchange");
    static inline const QString CalCalendarTypeSubscription = QStringLiteral("Subscription");
    static inline const QString CalCalendarTypeBirthday = QStringLiteral("Birthday");

    // A new calendar, made as a folder when the store saves it.
    static std::shared_ptr<CalCalendar> calendar();
    explicit CalCalendar(std::shared_ptr<EKCalendar> calendar);

    QString uid() const;
    QString title() const;
    void setTitle(const QString &title);
    QString type() const;
    bool isEditable() const;

    std::shared_ptr<EKCalendar> ekCalendar() const { return m_calendar; }

private:
    std::shared_ptr<EKCalendar> m_calendar;
};

} // namespace platform
