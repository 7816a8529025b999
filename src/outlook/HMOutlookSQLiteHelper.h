#pragma once

#include "platform/applescript/NSAppleEventDescriptor.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

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

    // Ids of records modified after the date (nil: every record with a date). Events also list
    // unchanged events the calendar map does not know, and rebuild the exception records.
    std::optional<QStringList> getListOfIdsModifiedAfter(Kind kind, const QDateTime &date);
    std::optional<QStringList> getListOfContactIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Contacts, d); }
    std::optional<QStringList> getListOfEventIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Events, d); }
    std::optional<QStringList> getListOfTaskIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Tasks, d); }
    std::optional<QStringList> getListOfMemoIdsModifiedAfter(const QDateTime &d) { return getListOfIdsModifiedAfter(Kind::Memos, d); }

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

    static QString stringByURLDecode(const QString &text);
    static QString outlookApplicationReference();
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

    // Rows of the database modified after the date, in the profile's folder when one is chosen.
    qint64 getCountOfOutlook15ContactsModifiedAfter(const QDateTime &date) { return countRowsModifiedAfter(Kind::Contacts, date); }
    qint64 getCountOfOutlook15EventsModifiedAfter(const QDateTime &date) { return countRowsModifiedAfter(Kind::Events, date); }
    qint64 getCountOfOutlook15TasksModifiedAfter(const QDateTime &date) { return countRowsModifiedAfter(Kind::Tasks, date); }
    qint64 countRowsModifiedAfter(Kind kind, const QDateTime &date);
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

private:
    QString folderSelection(Kind kind);
    std::optional<QString> scopeFolder(Kind kind);
    std::optional<QStringList> idsOf(const QString &script);
    QString databaseFolderLocal() const;

    std::shared_ptr<HMProfile> m_profile;
    ExceptionRecords m_exceptionRecords;
    QMap<QString, QStringList> m_exceptionRecordIds;
    QString m_sqliteFilePath;
};
