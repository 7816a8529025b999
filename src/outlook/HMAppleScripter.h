#pragma once

#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/applescript/NSUserAppleScriptTask.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace platform {
class DateFormatter;
class NSUserAppleScriptTask;
} // namespace platform

// Hears of a script's result. Adopted by the windows that create a scripter; the scripter itself
// never calls it.
class HMAppleScripterDelegate
{
public:
    virtual ~HMAppleScripterDelegate() = default;
    virtual void scriptReturned(const platform::NSAppleEventDescriptor &result, const QString &identifier) = 0;
};

// The bridge to the user's automation script, "automation.scpt" in the application's Application
// Scripts folder. Every call is one handler-call Apple event (class 'ascr', ID 'psbr', addressed to
// this process, the handler's name under 'snam', its arguments as a list under '----'), run by a
// user-script task made afresh for every run, so that a script installed or replaced meanwhile is
// used by the next call. The builders only build; nothing is sent until an execution runs the event.
//
// On top of the single calls it pages long texts (32,000 UTF-16 units a page) and reads long lists in
// batches (2,000 items), and scans modification dates. Messages go to the console, never to the
// application's log files; logged values are cut to a bounded length.
//
// Owned by its creator; one thread at a time (every field is a plain value). A synchronous execution
// blocks the calling thread for at most kSynchronousTimeout on platform::Clock (the Apple-event
// timeout of the bridge, which ends the exchange on that thread).
class HMAppleScripter final
{
public:
    using Event = platform::NSAppleEventDescriptor;
    // The kinds of record the script reads and writes, and what a listing of them answers.
    enum class Conduit { Contacts, CalendarEvents, Tasks };
    enum class Listing { ModifiedDates, Ids, Properties };
    enum class BatchItems { ModificationDates, Identifiers };
    // The six ways an event recurs, each with its own handler and fields.
    enum class Recurrence { Daily, Weekly, MonthlyByDate, MonthlyByDay, YearlyByDate, YearlyByDay };

    static constexpr std::chrono::seconds kSynchronousTimeout{120};
    static constexpr qint64 kTextPageCharacters = 32000;
    static constexpr qint64 kListBatchItems = 2000;
    // A script that keeps sending full pages or batches is cut off here: what was read so far stands.
    static constexpr qint64 kMaxPagedCharacters = qint64(64) * 1024 * 1024;
    static constexpr qint64 kMaxBatchedItems = 4000000;

    // The earliest date (1 January of year 1, UTC): stands for no date in arguments and results.
    static QDateTime distantPast();

    // Makes the script task and takes the application reference; never fails (a missing script
    // only leaves the task absent, with a console line).
    HMAppleScripter();
    ~HMAppleScripter();
    HMAppleScripter(const HMAppleScripter &) = delete;
    HMAppleScripter &operator=(const HMAppleScripter &) = delete;

    // A new task for the installed script, or nothing (with a console line). Does not store it.
    std::unique_ptr<platform::NSUserAppleScriptTask> initializeNewScript();
    // Runs the event with a new task and waits for the handler's result: nil after any failure,
    // after "ERROR: ..." on the console, and after kSynchronousTimeout at most. `eventAhead` may name,
    // from the reply's first bytes, the event that will surely be run next: it is sent ahead.
    Event executeScriptSynchronously(const Event &event, const platform::NSUserAppleScriptTask::EventAhead &eventAhead = {});
    // Starts the event with a new task and returns at once; the result is logged only when it fails.
    void executeScriptTaskFromEvent(const Event &event);

    platform::NSUserAppleScriptTask *scriptTask() const { return m_scriptTask.get(); }
    void setScriptTask(std::unique_ptr<platform::NSUserAppleScriptTask> task);
    const QString &appReferenceString() const { return m_appReferenceString; }
    void setAppReferenceString(const QString &reference) { m_appReferenceString = reference; }
    HMAppleScripterDelegate *delegate() const { return m_delegate; }
    void setDelegate(HMAppleScripterDelegate *delegate) { m_delegate = delegate; }
    platform::DateFormatter *appleScriptDateFormatter() const { return m_appleScriptDateFormatter.get(); }
    void setAppleScriptDateFormatter(std::unique_ptr<platform::DateFormatter> formatter);

    // A handler-call event of the handler with text arguments, as every call below is built.
    static Event handlerCallEvent(const QString &handler, const QStringList &arguments);

    // Handler calls of folders, ids, dates and properties; "app" is the first item of each.
    Event getOutlookVersionEvent();
    Event getExchangeAddressBookFolderIds(const QString &argument);
    Event getOutlookAddressBookFoldersEvent();
    Event getExchangeCalendarFolderIds(const QString &argument);
    Event getOutlookCalendarFoldersEvent();
    Event getExchangeTaskFolderIds(const QString &argument);
    Event getOutlookTaskFoldersEvent();
    // getAll<Contact|Event|Task><ModifiedDates|Ids|Properties> of every folder, and "...InFolder" of one.
    Event listingEvent(Conduit conduit, Listing listing);
    Event listingInFolderEvent(Conduit conduit, Listing listing, const QString &folderId);

    // Deletions, categories, contacts' properties and vCards.
    Event deleteContactEvent(const QString &contactId);
    Event deleteCalendarEvent(const QString &eventId);
    Event deleteTaskEvent(const QString &taskId);
    Event getAllCategoryPropertiesEvent();
    Event makeNewCategoryWithNameEvent(const QString &name);
    Event makeNewCategoryWithName(const QString &name, const QString &color);
    Event getPropertiesForContactEvent(const QString &contactId);
    Event getVcardForContactEvent(const QString &contactId);
    Event getPropertiesForContactsModifiedAfterDateEvent(const QString &dateText);
    Event getPropertiesForContactsInFolder(const QString &folderId, const QString &dateText);

    // Creation and change of records. The calls without "app" carry only their texts.
    Event createContactWithPropertiesEvent(const QString &properties);
    Event createContactInFolder(const QString &folderId, const QString &properties);
    Event modifyContact(const QString &contactId, const QString &properties);
    Event createContactWithPropertiesEvent(const QString &properties, const QString &note);
    Event createContactWithPropertiesEvent(const QString &properties, const QString &note, const QString &folderId);
    Event modifyContactEvent(const QString &contactId, const QString &properties, const QString &note);
    Event createEventWithPropertiesEvent(const QString &properties, const QString &note, const QString &isAllDay,
                                         const QString &isBusy);
    Event createEventWithPropertiesEvent(const QString &properties, const QString &note, const QString &isAllDay,
                                         const QString &isBusy, const QString &folderId);
    Event modifyCalendarEventEvent(const QString &eventId, const QString &properties, const QString &note);
    Event createTaskWithPropertiesEvent(const QString &properties, const QString &note);
    Event createTaskWithPropertiesEvent(const QString &properties, const QString &note, const QString &folderId);
    Event modifyTaskEvent(const QString &taskId, const QString &properties, const QString &note);

    // E-mail addresses ("work", "home", "other" of the dictionary) and categories (a TAB-separated
    // text) of a record; nil without the record's id.
    Event setContactEmailsEvent(const QVariantMap &emails, const QString &contactId);
    Event setContactCategoriesEvent(const QString &categories, const QString &contactId);
    Event setCalendarEventCategoriesEvent(const QString &categories, const QString &eventId);
    Event setTaskCategoriesEvent(const QString &categories, const QString &taskId);

    // A recurrence of an event, packed from the dictionary's fields; nil without the event id.
    Event setRecurrenceEvent(Recurrence rule, const QVariantMap &recurrence, const QString &eventId);

    // Developer samples of fixed texts.
    Event createContactWithPropertiesListEvent(const QVariant &ignored);
    Event test();

    // Range calls: characters or items start to end (1-based, inclusive; the low 32 bits travel).
    // getAll<Two|Five><Contact|CalendarEvent|Task>PropertiesWithRange of one id, two ids (contacts
    // only) or five: the number word names how many.
    Event propertiesRangeEvent(Conduit conduit, const QStringList &ids, qint64 start, qint64 end);
    Event getPropertiesForContactEvent(const QString &contactId, qint64 start, qint64 end);
    Event getMiscellaneousFieldsForContactEvent(const QString &contactId);
    Event getLengthOfContactPropertiesEvent(const QString &contactId);
    // nil, "" and "-1" mean every folder.
    Event getContactIds(qint64 start, qint64 end, const QDateTime &modifiedSince, const QString &folderId);
    // Only "-1" means every folder.
    Event getContactPropertiesForDupeCheckWithStartRange(qint64 start, qint64 end, const QString &folderId);
    Event getAllContactModifiedDatesEventWithStartRange(qint64 start, qint64 end);
    Event getAllContactModifiedIdsEventWithStartRange(qint64 start, qint64 end);
    Event getAllContactEventWithStartRange(qint64 start, qint64 end);

    // Paged texts: the pages joined. A failed first page gives the empty text.
    QString propertiesText(Conduit conduit, const QStringList &ids);
    QString getContactPropertiesForDupeCheck();
    QString getContactPropertiesInFolderForDupeCheck(const QString &folderId);
    // The ids of the joined text split at every ",", empty pieces included; an invalid date is the
    // distant past.
    QStringList getAllContactIdsModifiedSince(const QDateTime &date, const QString &folderId);
    // The contact's vCard text, then CR LF and the extra fields when there are any, then CR LF and
    // "CATEGORIES:" with the category names TAB-separated.
    QString getPropertiesStringForContactId(const QString &contactId);

    // getAll<Contact|CalendarEvent|Task><Dates|Identifiers> over a batch's items, with "InFolder" and
    // the folder id last where the folder id is not nil or empty.
    Event batchEvent(Conduit conduit, BatchItems items, qint64 start, qint64 end, const QString &folderId);

    // Ids of the records modified after the date (an invalid date is the distant past), in the order
    // of the date list; equal dates do not count.
    QStringList idsModifiedAfter(Conduit conduit, const QDateTime &date, const QString &folderId);
    // The latest modification date of a folder, or the distant past.
    QDateTime getLastModifiedDateForOutlookCalendar(const QString &folderId);
    QDateTime getLastModifiedDateForOutlookTasks(const QString &folderId);
    // Runs a script text of its own rather than a handler; a folder id that is not a decimal number
    // is logged and not sent (the distant past is the answer).
    QDateTime getLastModifiedDateForOutlookContacts(const QString &folderId);

    // The date of a long date-time ('ldt ') descriptor; nothing for any other.
    static std::optional<QDateTime> dateFromEventDescriptor(const Event &descriptor);

private:
    using RangeEventMaker = std::function<Event(qint64 start, qint64 end)>;
    // Makes each range's event once: an event made early, to be sent ahead, is the one the request
    // for that range then uses, so its bytes are the same and the console sees it made once.
    class RangeEvents final
    {
    public:
        explicit RangeEvents(const RangeEventMaker &makeEvent) : m_makeEvent(makeEvent) {}
        Event ahead(qint64 start, qint64 end);
        Event take(qint64 start, qint64 end);

    private:
        const RangeEventMaker &m_makeEvent;
        std::optional<std::pair<qint64, Event>> m_ahead; // the start of the range made early, and its event
    };

    const QString &ensureAppReferenceString();
    // [app, arguments...] and [arguments...] as text descriptors.
    Event applicationCall(const QString &handler, const QStringList &arguments = {});
    Event plainCall(const QString &handler, const QStringList &arguments);
    // [app, leading..., start, end, trailing...]: the positions as 32-bit integers.
    Event rangeCall(const QString &handler, const QStringList &leading, qint64 start, qint64 end,
                    const QStringList &trailing = {});
    Event categoriesCall(const QString &handler, const QString &categories, const QString &recordId);

    QString pagedText(const RangeEventMaker &makeEvent);
    platform::DateFormatter &ensureAppleScriptDateFormatter();

    // Read a folder's dates or ids in batches, each item handed to `visit` as it comes; answer the count.
    qint64 scanDates(Conduit conduit, const QString &folderId,
                     const std::function<void(const std::optional<QDateTime> &date)> &visit);
    qint64 scanIds(Conduit conduit, const QString &folderId, const QString &countLine,
                   const std::function<void(qint64 position, const QString &id)> &visit);
    QDateTime latestModificationDate(Conduit conduit, const QString &folderId);
    // `everyItemCounts`: each item of a batch adds one to `count`, so a full batch is known from its head.
    qint64 readBatches(const RangeEventMaker &makeEvent, const QString &countLine,
                       const std::function<void(const Event &item)> &addItem, const std::function<qint64()> &count,
                       bool everyItemCounts = false);

    std::unique_ptr<platform::NSUserAppleScriptTask> m_scriptTask;
    QString m_appReferenceString;
    HMAppleScripterDelegate *m_delegate = nullptr;
    std::unique_ptr<platform::DateFormatter> m_appleScriptDateFormatter;
};
