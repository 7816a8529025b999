#pragma once

#include "platform/applescript/AppleEventSocket.h"
#include "platform/applescript/NSAppleEventDescriptor.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class HMAppleScripter;
class HMProfile;

// What Outlook holds and where its files lie: the ids of changed and of all records, the exception
// occurrences of recurring events, the id of a record just made, removals, counts of record files
// created before a date, queries and compaction of Outlook's database, and default folders.
//
// Outlook is asked through short script texts run in process (NSAppleScript). Listings tell a
// failed script (nullopt) from an empty answer, since every deletion search relies on that.
// Folder and record ids go into scripts and SQL only when they are decimal numbers; anything
// else is logged and not sent. One thread at a time; every Outlook call blocks until it answers.
class HMOutlookSQLiteHelper final
{
public:
    enum class Kind { Contacts = 0, Events = 1, Tasks = 2, Memos = 3 };
    using ExceptionRecords = QMap<QString, QList<QDateTime>>;
    // Saves a profile whose folder selection was set; the application wires its profile manager.
    using ProfileSaver = std::function<bool(const HMProfile &)>;

    HMOutlookSQLiteHelper() = default;

    // The profile whose folder choices the scripts honour; unset: the one selected in the main
    // window, taken at first use.
    std::shared_ptr<HMProfile> profile();
    void setProfile(std::shared_ptr<HMProfile> profile) { m_profile = std::move(profile); }

    // Ids of records modified after the date (nil: every record with a date) and of those set to be
    // listed always. Events also list unchanged events the calendar map does not know, and rebuild the
    // exception records.
    std::optional<QStringList> getListOfIdsModifiedAfter(Kind kind, const QDateTime &date);
    std::optional<QStringList> getListOfContactIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Contacts, d); }
    std::optional<QStringList> getListOfEventIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Events, d); }
    std::optional<QStringList> getListOfTaskIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Tasks, d); }
    std::optional<QStringList> getListOfMemoIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Memos, d); }

    // Records listed as changed whatever their dates (those still in Outlook).
    void setIdsListedAlways(QSet<QString> ids) { m_idsListedAlways = std::move(ids); }

    std::optional<QStringList> getListOfAllIds(Kind kind);
    std::optional<QStringList> getListOfAllOutlookContactIds() { return getListOfAllIds(Kind::Contacts); }
    std::optional<QStringList> getListOfAllOutlookEventIds() { return getListOfAllIds(Kind::Events); }
    std::optional<QStringList> getListOfAllOutlookTaskIds() { return getListOfAllIds(Kind::Tasks); }
    std::optional<QStringList> getListOfAllOutlookMemoIds() { return getListOfAllIds(Kind::Memos); }

    // Refills the exception records from scratch; false when the script failed (the records are
    // then empty).
    bool buildDictionaryOfExceptionRecords();
    const ExceptionRecords &dictionaryOfExceptionRecords() const { return m_exceptionRecords; }
    // The ids of those occurrences, in the same order as their start dates.
    const QMap<QString, QStringList> &exceptionRecordIds() const { return m_exceptionRecordIds; }

    // The id in the object specifier Outlook answers for "make new ..."; null when absent.
    static QString getUniqueIdOfMostRecentlyAdded(const platform::NSAppleEventDescriptor &descriptor);
    static QString getUniqueIdOfMostRecentlyAddedEvent(const platform::NSAppleEventDescriptor &d) { return getUniqueIdOfMostRecentlyAdded(d); }
    static QString getUniqueIdOfMostRecentlyAddedTask(const platform::NSAppleEventDescriptor &d) { return getUniqueIdOfMostRecentlyAdded(d); }
    static QString getUniqueIdOfMostRecentlyAddedMemo(const platform::NSAppleEventDescriptor &d) { return getUniqueIdOfMostRecentlyAdded(d); }
    static QString getUniqueIdOfMostRecentlyAddedContact(const platform::NSAppleEventDescriptor &d) { return getUniqueIdOfMostRecentlyAdded(d); }
    static std::optional<QDateTime> dateFromEventDescriptor(const platform::NSAppleEventDescriptor &descriptor);

    // "Contacts", "Calendar", "Tasks", "Memos"; true when deleted or nothing to delete.
    bool removeRecordFromConduit(const QString &conduitName, const QString &outlookRecordId);

    // Looks for Outlook's database under ~/Library/Group Containers; answers whether it was found.
    bool setSqliteFile();
    QString sqliteFilePath() const { return m_sqliteFilePath; }
    void setSqliteFilePath(const QString &urlText) { m_sqliteFilePath = urlText; }
    // The database as a plain path; empty while none is located.
    QString sqliteLocalPath() const;

    // Runs an Outlook script, waiting for its answer at most the timeout; nothing when it failed
    // (logged).
    static std::optional<platform::NSAppleEventDescriptor> runScript(
        const QString &source, std::chrono::seconds timeout = platform::kAppleEventTimeout);
    static QString stringByURLDecode(const QString &text);
    static QString outlookApplicationReference();
    // The script that returns the properties of every record of the kind: in the folder with the
    // given id, or in the whole application when the id is empty.
    static QString propertiesListingScript(Kind kind, const QString &folderId);
    // The script that returns the properties of the record of the kind with the Outlook id.
    static QString propertiesOfRecordScript(Kind kind, const QString &outlookId);
    // The script that makes a new record of the kind with the properties, saved under the variable's
    // name: in the folder with the given id, or in Outlook's default one when the id is empty.
    static QString makeNewScript(Kind kind, const QString &variable, const QString &folderId,
                                 const QString &properties);
    static QString identityFolder();      // Outlook 2011
    static QString groupContainersFolder(); // Outlook 2016's search root
    static bool isDecimalId(const QString &id);

    // Counts of record files created before the date (birth time where the file system keeps
    // one, else the modification time).
    qint64 getCountOfOutlookContactsCreatedPriorTo(const QDateTime &date);
    qint64 getCountOfOutlook15ContactsCreatedPriorTo(const QDateTime &date);
    qint64 getCountOfOutlookCalendarEventsCreatedPriorTo(const QDateTime &date);
    qint64 getCountOfOutlook15CalendarEventsCreatedPriorTo(const QDateTime &date);
    static qint64 countFilesCreatedBefore(const QString &folder, const QString &suffix, const QDateTime &date);

    // Rows of the database modified after the date (an invalid date: every row), in the profile's
    // folder when one is chosen. Nothing when the count is not known: no database located, one that
    // cannot be opened or read (locked, damaged, without the table), no folder that can be asked,
    // or notes (the database has no table of them). A sync may skip a listing on a count of 0, so
    // an unknown count must never read as 0.
    std::optional<qint64> getCountOfOutlook15ContactsModifiedAfter(const QDateTime &date) { return countRowsModifiedAfter(Kind::Contacts, date); }
    std::optional<qint64> getCountOfOutlook15EventsModifiedAfter(const QDateTime &date) { return countRowsModifiedAfter(Kind::Events, date); }
    std::optional<qint64> getCountOfOutlook15TasksModifiedAfter(const QDateTime &date) { return countRowsModifiedAfter(Kind::Tasks, date); }
    std::optional<qint64> countRowsModifiedAfter(Kind kind, const QDateTime &date);
    QString getTextFileAsStringForOutlookContactId(const QString &outlookId);

    // Compacts the database ("VACUUM"); false when none is located or the compaction failed.
    bool vacuumDatabase();
    void backupSqliteFiles();

    // Sets an unset folder selection of a profile from version 854 on and saves the profile; a
    // failed folders script leaves it unset and saves nothing.
    void setDefaultOutlookContactFolder() { setDefaultFolder(Kind::Contacts); }
    void setDefaultOutlookCalendarFolder() { setDefaultFolder(Kind::Events); }
    void setDefaultOutlookTasksFolder() { setDefaultFolder(Kind::Tasks); }
    void setDefaultOutlookNotesFolder() { setDefaultFolder(Kind::Memos); }
    void setDefaultFolder(Kind kind);
    static void setProfileSaver(ProfileSaver saver);

    // ---- Outlook's change times and the autosync decision (HMOutlookSQLiteHelper+Autosync.cpp) ----
    // The conduits are letters: "A" contacts, "D" calendar, "T" tasks, anywhere in the text.

    // Whether Outlook's data (or the cloud's, for cloud profiles) changed since the last sync of the
    // conduits, so that the autosync timer should start a sync now. Asked on a new instance, on the
    // main thread; reads the id maps' dates and Outlook's record files, never Outlook itself.
    bool shouldAutosync(const QString &conduits);
    // The same decision for a profile that syncs directly with Google: no error retry, no cloud
    // times, and a last sync more than an hour back counts as none.
    bool shouldAutosyncGoogleDirect(const QString &conduits);
    // The latest modification of the Outlook 2011 record files of the conduits; the distant past
    // when there is none.
    QDateTime getLastModifiedTimeOutlook2011(const QString &conduits);
    // The latest modification of the Outlook 2016 record files of the conduits, moved to local
    // clock time; the distant past when the database is not found.
    QDateTime getLastModifiedTimeOutlook15NoSqlite(const QString &conduits);
    // The database file's own modification time (locating it); invalid when it is not found.
    QDateTime getLastModifiedTimeOutlook15();
    // The latest modification Outlook reports for the conduits' records in the profile's folders,
    // moved to local clock time.
    QDateTime getLastModifiedDateOutlookAppStore(const QString &conduits);
    // The latest modification date Outlook reports in the folder (null or empty: every record); the
    // distant past when there is none or the script fails.
    QDateTime getLastModifiedDateForOutlookContacts(const QString &folderId) { return latestModification(Kind::Contacts, folderId); }
    QDateTime getLastModifiedDateForOutlookCalendarEvents(const QString &folderId) { return latestModification(Kind::Events, folderId); }
    QDateTime getLastModifiedDateForOutlookTasks(const QString &folderId) { return latestModification(Kind::Tasks, folderId); }
    // The automation-script bridge, made by the first Apple-event change check.
    std::shared_ptr<HMAppleScripter> scripter() const { return m_scripter; }
    // Writes the selected profile's sync method as the main window does before every sync; the
    // decision asks for it each time. The application wires it to its main window.
    static void setSyncMethodWriter(std::function<void()> writer);

    static QDateTime distantPast();
    static QDateTime distantFuture();
    // The latest modification time of the files under the folder (at any depth) whose names end in
    // the suffix; the distant past when there is none. The walk stops at the first unreadable item.
    static QDateTime latestFileModification(const QString &folder, const QString &suffix);

private:
    QDateTime latestModification(Kind kind, const QString &folderId);
    QString autosyncVersion();
    QDateTime earliestIdMapDate(const QString &conduits, bool &found) const;
    QString folderSelection(Kind kind);
    std::optional<QString> scopeFolder(Kind kind);
    std::optional<QStringList> idsOf(const QString &script);
    QString databaseFolderLocal() const;

    std::shared_ptr<HMProfile> m_profile;
    ExceptionRecords m_exceptionRecords;
    QMap<QString, QStringList> m_exceptionRecordIds;
    QSet<QString> m_idsListedAlways;
    QString m_sqliteFilePath;
    std::shared_ptr<HMAppleScripter> m_scripter;
};
