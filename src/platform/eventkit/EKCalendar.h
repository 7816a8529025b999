#pragma once

#include "platform/eventkit/EKTypes.h"

#include <QString>

#include <memory>

namespace platform {

// One calendar or reminders list: a folder of iCalendar files under the store's root. Its identifier
// is the folder's name, its title the folder's "displayname" file (else the folder's name). Made by the
// store when it reads the root, or by calendarForEntityType for a calendar not yet saved. Used on the
// queue of the store that gave it out.
class EKCalendar final
{
public:
    // A new calendar that saveCalendar will create as a folder.
    static std::shared_ptr<EKCalendar> calendarForEntityType(EKEntityType entityType);

    // The folder's name; empty until the calendar is saved.
    QString calendarIdentifier() const { return m_calendarIdentifier; }
    QString title() const { return m_title; }
    void setTitle(const QString &title) { m_title = title; }
    EKCalendarType type() const { return m_type; }
    bool allowsContentModifications() const { return m_allowsContentModifications; }
    // A mask of EKEntityMask values.
    unsigned allowedEntityTypes() const { return m_allowedEntityTypes; }
    bool isImmutable() const { return !m_allowsContentModifications; }

    // The store's side: where the calendar lives and what it is.
    QString folderPath() const { return m_folderPath; }
    void setFolder(const QString &identifier, const QString &folderPath);
    void setType(EKCalendarType type) { m_type = type; }
    void setAllowsContentModifications(bool allows) { m_allowsContentModifications = allows; }
    void setAllowedEntityTypes(unsigned mask) { m_allowedEntityTypes = mask; }

private:
    QString m_calendarIdentifier;
    QString m_title;
    QString m_folderPath;
    EKCalendarType m_type = EKCalendarType::Local;
    bool m_allowsContentModifications = true;
    unsigned m_allowedEntityTypes = EKEntityMaskEvent | EKEntityMaskReminder;
};

} // namespace platform
