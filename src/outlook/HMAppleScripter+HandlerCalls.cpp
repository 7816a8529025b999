// The handler calls of the automation script: one builder per handler, each packing its texts into
// the argument list in the handler's order. Nothing is sent here.
#include "outlook/HMAppleScripter.h"

#include "outlook/HMAppleScripterConsole.h"

using platform::NSAppleEventDescriptor;
using Event = HMAppleScripter::Event;
namespace Console = HMAppleScripterConsole;

namespace {

// What a format's "%@" shows for a missing object.
const QString kMissingObjectText = QStringLiteral("(null)");
const QString kNoEndType = QStringLiteral("no end type");

QString shown(const QString &text)
{
    return text.isNull() ? kMissingObjectText : Console::bounded(text);
}

Event logged(const Event &event)
{
    Console::log(QStringLiteral("event %1").arg(Console::describe(event)));
    return event;
}

QString withoutTrailingTab(QString text)
{
    if (text.endsWith(u'\t'))
        text.chop(1);
    return text;
}

// "<address>\twork\t<address>\thome\t<address>\tother", only the non-empty ones, in that order.
QString emailListText(const QVariantMap &emails)
{
    QString text;
    for (const char *word : {"work", "home", "other"}) {
        const QVariant value = emails.value(QLatin1String(word));
        if (value.typeId() != QMetaType::QString || value.toString().isEmpty())
            continue;
        text += value.toString() + u'\t' + QLatin1String(word) + u'\t';
    }
    return withoutTrailingTab(text);
}

struct RecurrenceForm
{
    const char *handler;
    QStringList fields;
    bool startEndsWhenEndless; // "no end type" puts the start date in the end-date field
    const char *eventIdLine;
};

QString recurrenceField(const QVariantMap &recurrence, const QString &key)
{
    static const QVariantMap defaults{
        {QStringLiteral("interval"), QStringLiteral("1")},       {QStringLiteral("ordinal"), QStringLiteral("1")},
        {QStringLiteral("endDateType"), QStringLiteral("end date type")}, {QStringLiteral("monday"), QStringLiteral("false")},
        {QStringLiteral("tuesday"), QStringLiteral("false")},    {QStringLiteral("wednesday"), QStringLiteral("false")},
        {QStringLiteral("thursday"), QStringLiteral("false")},   {QStringLiteral("friday"), QStringLiteral("false")},
        {QStringLiteral("saturday"), QStringLiteral("false")},   {QStringLiteral("sunday"), QStringLiteral("false")},
    };
    const QVariant value = recurrence.value(key);
    if (value.isValid())
        return value.toString();
    return defaults.value(key, kMissingObjectText).toString();
}

// The fields joined by TABs, after the defaults and the end rule.
QString recurrenceText(const QVariantMap &recurrence, const RecurrenceForm &form)
{
    QStringList values;
    for (const QString &key : form.fields)
        values.append(recurrenceField(recurrence, key));
    const bool isEndless = recurrenceField(recurrence, QStringLiteral("endDateType")) == kNoEndType;
    if (form.startEndsWhenEndless && isEndless)
        values[form.fields.indexOf(QStringLiteral("endDate"))] = recurrenceField(recurrence, QStringLiteral("startDate"));
    return values.join(u'\t');
}

const QStringList kWeekdays{QStringLiteral("monday"),   QStringLiteral("tuesday"), QStringLiteral("wednesday"),
                            QStringLiteral("thursday"), QStringLiteral("friday"),  QStringLiteral("saturday"),
                            QStringLiteral("sunday")};
const QStringList kStart{QStringLiteral("interval"), QStringLiteral("startDate")};
const QStringList kEnd{QStringLiteral("endDate"), QStringLiteral("endDateType")};
const QStringList kDay{QStringLiteral("dayOfTheMonth")};
const QStringList kMonth{QStringLiteral("monthNumber")};
const QStringList kOrdinal{QStringLiteral("ordinal")};

// In the order of HMAppleScripter::Recurrence.
const RecurrenceForm kRecurrenceForms[] = {
    {"setDailyRecurrence", kStart + kEnd, false, "eventId %1"},
    {"setWeeklyRecurrence", kStart + kWeekdays + kEnd, true, "eventId!!! %1"},
    {"setMonthlyByDateRecurrence", kStart + kDay + kEnd, true, "eventId!!! %1"},
    {"setMonthlyByDayRecurrence", kStart + kWeekdays + kOrdinal + kEnd, true, "eventId %1"},
    {"setYearlyByDateRecurrence", kStart + kMonth + kDay + kEnd, false, "eventId %1"},
    {"setYearlyByDayRecurrence", kStart + kWeekdays + kMonth + kOrdinal + kEnd, true, "eventId %1"},
};

QString listingHandler(HMAppleScripter::Conduit conduit, HMAppleScripter::Listing listing)
{
    static const char *const kRecords[] = {"Contact", "Event", "Task"};
    static const char *const kListings[] = {"ModifiedDates", "Ids", "Properties"};
    return QStringLiteral("getAll") + QLatin1String(kRecords[int(conduit)]) + QLatin1String(kListings[int(listing)]);
}

} // namespace

Event HMAppleScripter::getOutlookVersionEvent() { return applicationCall(QStringLiteral("getOutlookVersion")); }
Event HMAppleScripter::getExchangeAddressBookFolderIds(const QString &argument)
{
    return logged(applicationCall(QStringLiteral("getExchangeAccountAddressBookIds"), {argument}));
}
Event HMAppleScripter::getOutlookAddressBookFoldersEvent()
{
    return logged(applicationCall(QStringLiteral("getAddressBookFolders")));
}
Event HMAppleScripter::getExchangeCalendarFolderIds(const QString &argument)
{
    return logged(applicationCall(QStringLiteral("getExchangeAccountCalendarFolderIds"), {argument}));
}
Event HMAppleScripter::getOutlookCalendarFoldersEvent() { return logged(applicationCall(QStringLiteral("getCalendarFolders"))); }
Event HMAppleScripter::getExchangeTaskFolderIds(const QString &argument)
{
    return logged(applicationCall(QStringLiteral("getExchangeAccountTaskFolderIds"), {argument}));
}
Event HMAppleScripter::getOutlookTaskFoldersEvent() { return logged(applicationCall(QStringLiteral("getTaskFolders"))); }

Event HMAppleScripter::listingEvent(Conduit conduit, Listing listing)
{
    return applicationCall(listingHandler(conduit, listing));
}
Event HMAppleScripter::listingInFolderEvent(Conduit conduit, Listing listing, const QString &folderId)
{
    return applicationCall(listingHandler(conduit, listing) + QStringLiteral("InFolder"), {folderId});
}

Event HMAppleScripter::deleteContactEvent(const QString &contactId)
{
    return applicationCall(QStringLiteral("deleteContact"), {contactId});
}
Event HMAppleScripter::deleteCalendarEvent(const QString &eventId)
{
    return applicationCall(QStringLiteral("deleteEvent"), {eventId});
}
Event HMAppleScripter::deleteTaskEvent(const QString &taskId) { return applicationCall(QStringLiteral("deleteTask"), {taskId}); }
Event HMAppleScripter::getAllCategoryPropertiesEvent() { return applicationCall(QStringLiteral("getAllCategoryProperties")); }
Event HMAppleScripter::makeNewCategoryWithNameEvent(const QString &name)
{
    return applicationCall(QStringLiteral("makeNewCategoryWithName"), {name});
}
Event HMAppleScripter::makeNewCategoryWithName(const QString &name, const QString &color)
{
    return applicationCall(QStringLiteral("makeNewCategoryWithNameAndColor"), {name, color});
}
Event HMAppleScripter::getPropertiesForContactEvent(const QString &contactId)
{
    return applicationCall(QStringLiteral("getPropertiesForContact"), {contactId});
}
Event HMAppleScripter::getVcardForContactEvent(const QString &contactId)
{
    return applicationCall(QStringLiteral("getVcardForContact"), {contactId});
}
Event HMAppleScripter::getPropertiesForContactsModifiedAfterDateEvent(const QString &dateText)
{
    return applicationCall(QStringLiteral("getPropertiesForContactsModifiedAfterDate"), {dateText});
}
Event HMAppleScripter::getPropertiesForContactsInFolder(const QString &folderId, const QString &dateText)
{
    return applicationCall(QStringLiteral("getPropertiesForContactsInFolderModifiedAfterDate"), {folderId, dateText});
}

Event HMAppleScripter::createContactWithPropertiesEvent(const QString &properties)
{
    return applicationCall(QStringLiteral("createContactWithProperties"), {properties});
}
Event HMAppleScripter::createContactInFolder(const QString &folderId, const QString &properties)
{
    return applicationCall(QStringLiteral("createContactInFolderWithProperties"), {folderId, properties});
}
Event HMAppleScripter::modifyContact(const QString &contactId, const QString &properties)
{
    return applicationCall(QStringLiteral("modifyContact"), {contactId, properties});
}
Event HMAppleScripter::createContactWithPropertiesEvent(const QString &properties, const QString &note)
{
    return plainCall(QStringLiteral("makeNewContactFromStringList"), {properties, note});
}
Event HMAppleScripter::createContactWithPropertiesEvent(const QString &properties, const QString &note,
                                                        const QString &folderId)
{
    return plainCall(QStringLiteral("makeNewContactInFolderFromStringList"), {properties, note, folderId});
}
Event HMAppleScripter::modifyContactEvent(const QString &contactId, const QString &properties, const QString &note)
{
    return plainCall(QStringLiteral("updateContactFromStringList"), {contactId, properties, note});
}
Event HMAppleScripter::createEventWithPropertiesEvent(const QString &properties, const QString &note,
                                                      const QString &isAllDay, const QString &isBusy)
{
    Console::log(QStringLiteral("propertiesString! %1").arg(shown(properties)));
    return plainCall(QStringLiteral("createNewEventFromStringList"), {properties, note, isAllDay, isBusy});
}
Event HMAppleScripter::createEventWithPropertiesEvent(const QString &properties, const QString &note,
                                                      const QString &isAllDay, const QString &isBusy,
                                                      const QString &folderId)
{
    Console::log(QStringLiteral("propertiesString!! %1").arg(shown(properties)));
    return plainCall(QStringLiteral("createNewEventInFolderFromStringList"), {properties, note, isAllDay, isBusy, folderId});
}
Event HMAppleScripter::modifyCalendarEventEvent(const QString &eventId, const QString &properties, const QString &note)
{
    Console::log(QStringLiteral("uid %1").arg(shown(eventId)));
    Console::log(QStringLiteral("propertiesString %1").arg(shown(properties)));
    return plainCall(QStringLiteral("updateCalendarEventFromStringList"), {eventId, properties, note});
}
Event HMAppleScripter::createTaskWithPropertiesEvent(const QString &properties, const QString &note)
{
    Console::log(QStringLiteral("createTaskWithPropertiesEvent %1").arg(shown(properties)));
    return plainCall(QStringLiteral("createNewTaskFromStringList"), {properties, note});
}
Event HMAppleScripter::createTaskWithPropertiesEvent(const QString &properties, const QString &note,
                                                     const QString &folderId)
{
    return plainCall(QStringLiteral("createNewTaskInFolderIdFromStringList"), {properties, note, folderId});
}
Event HMAppleScripter::modifyTaskEvent(const QString &taskId, const QString &properties, const QString &note)
{
    Console::log(QStringLiteral("uid %1").arg(shown(taskId)));
    Console::log(QStringLiteral("propertiesString %1").arg(shown(properties)));
    return plainCall(QStringLiteral("updateTaskFromStringList"), {taskId, properties, note});
}

Event HMAppleScripter::setContactEmailsEvent(const QVariantMap &emails, const QString &contactId)
{
    if (contactId.isNull())
        return {};
    return plainCall(QStringLiteral("setContactEmailAddresses"), {contactId, emailListText(emails)});
}

Event HMAppleScripter::categoriesCall(const QString &handler, const QString &categories, const QString &recordId)
{
    if (recordId.isNull())
        return {};
    return plainCall(handler, {recordId, withoutTrailingTab(categories.isNull() ? QStringLiteral("") : categories)});
}

Event HMAppleScripter::setContactCategoriesEvent(const QString &categories, const QString &contactId)
{
    return categoriesCall(QStringLiteral("setContactCategories"), categories, contactId);
}
Event HMAppleScripter::setCalendarEventCategoriesEvent(const QString &categories, const QString &eventId)
{
    Console::log(QStringLiteral("categoryString %1").arg(shown(categories)));
    Console::log(QStringLiteral("eventId %1").arg(shown(eventId)));
    return categoriesCall(QStringLiteral("setEventCategories"), categories, eventId);
}
Event HMAppleScripter::setTaskCategoriesEvent(const QString &categories, const QString &taskId)
{
    Console::log(QStringLiteral("categoryString %1").arg(shown(categories)));
    Console::log(QStringLiteral("eventId %1").arg(shown(taskId)));
    return categoriesCall(QStringLiteral("setTaskCategories"), categories, taskId);
}

Event HMAppleScripter::setRecurrenceEvent(Recurrence rule, const QVariantMap &recurrence, const QString &eventId)
{
    const RecurrenceForm &form = kRecurrenceForms[int(rule)];
    const QString text = recurrenceText(recurrence, form);
    Console::log(QStringLiteral("propertiesString %1").arg(shown(text)));
    Console::log(QLatin1String(form.eventIdLine).arg(shown(eventId)));
    if (eventId.isNull())
        return {};
    return plainCall(QLatin1String(form.handler), {text, eventId});
}

Event HMAppleScripter::createContactWithPropertiesListEvent(const QVariant &)
{
    return plainCall(QStringLiteral("makeNewContactFromStringList"),
                     {QStringLiteral("Sample\tContact\tSample Company"), QStringLiteral("sample@example.com\twork"),
                      QStringLiteral("A sample note.")});
}

Event HMAppleScripter::test()
{
    return applicationCall(QStringLiteral("getOutlookVersion"));
}
