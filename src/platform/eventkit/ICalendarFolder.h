#pragma once

#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

struct icalcomponent_impl;

namespace platform {

// The original starts of a series' occurrences up to a horizon, ascending, removed ones left out.
struct ICalendarOccurrences final
{
    QDateTime horizon;
    QList<QDateTime> starts;
    qint64 lengthSeconds = 0;
};

// A parsed iCalendar file of a folder. The component tree is shared and never changed: writers clone
// it, change the clone and write the clone. Its expansions are worked out once and kept with it; they
// are reached only under the lock of the store that owns the folder.
struct ICalendarFile final
{
    QString fileName;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 inode = 0;
    qint64 changedNs = 0;
    // Known from the folder's index, not parsed yet: its UIDs, titles and kinds hold, its calendar
    // is null until the folder parses it.
    bool needsParsing = false;
    std::shared_ptr<icalcomponent_impl> calendar; // the VCALENDAR; null when the file does not parse
    QStringList uids;                             // of its VEVENT and VTODO components, once each
    QStringList titles;                           // the SUMMARY of each of its VEVENTs, once each
    bool hasEvents = false;
    bool hasTodos = false;
    mutable QHash<QString, std::shared_ptr<const ICalendarOccurrences>> occurrences; // by UID
};

// One folder of iCalendar files in the layout khal, todoman and vdirsyncer share: one "<uid>.ics" per
// item, an optional "displayname" file. Keeps an index of what it read (name, status, UIDs, titles),
// so that reading the folder again parses only the files that changed, and saves it beside the
// folder, so that a new run parses a file only when its contents are asked for. Files that do not
// parse are logged once per change and left alone. Owned by one store; used on that store's queue.
class ICalendarFolder final
{
public:
    explicit ICalendarFolder(const QString &path);
    ~ICalendarFolder();
    ICalendarFolder(const ICalendarFolder &) = delete;
    ICalendarFolder &operator=(const ICalendarFolder &) = delete;

    QString path() const { return m_path; }

    // Brings the index up to date with what is on disk now.
    void refresh();
    // The files of the last refresh that parse (parsed now when only the index knew them).
    QList<std::shared_ptr<const ICalendarFile>> parsedFiles();
    // The parsed file holding a component with this UID, or null.
    std::shared_ptr<const ICalendarFile> fileForUid(const QString &uid);
    // The parsed files holding an event with this title.
    QList<std::shared_ptr<const ICalendarFile>> filesWithTitle(const QString &title);
    // Whether some parsed file holds an event, or a to-do.
    bool hasEvents() const { return m_eventFileCount > 0; }
    bool hasTodos() const { return m_todoFileCount > 0; }
    // Whether the folder holds vCard files and no iCalendar file: an address book that a calendar
    // program shows as birthdays.
    bool isAddressBookFolder() const { return m_hasVCards && m_files.isEmpty(); }

    // Writes the calendar as the file, whole (temporary file, then rename), readable by the owner only.
    Status writeFile(const QString &fileName, icalcomponent_impl *calendar);
    Status removeFile(const QString &fileName);
    // Makes the folder's renames and removals durable; once per save of the store.
    Status syncToDisk();

    // The file name for an item's UID: the UID itself when it is a safe file name, else a name made
    // from its characters that is.
    static QString fileNameForUid(const QString &uid);
    // The folder's title: its "displayname" file, else its name.
    static QString displayNameOfFolder(const QString &path);
    // Parses iCalendar text; null when it holds no VCALENDAR with an event or a to-do.
    static std::shared_ptr<icalcomponent_impl> parseCalendarText(const QByteArray &text);

private:
    // Reads and parses the file of the entry into it.
    void parseInto(ICalendarFile &file) const;
    // The entry, parsed when the index only described it.
    std::shared_ptr<ICalendarFile> ensureParsed(const std::shared_ptr<ICalendarFile> &file);
    void parseAll();
    std::shared_ptr<ICalendarFile> indexedFileForUid(const QString &uid) const;
    QSet<QString> refreshFiles(const QStringList &names, bool &isIndexWrong);
    void saveIndex();
    // Puts a file in place of the one of its name (null: none), keeping the indexes in step.
    void replaceFile(const QString &fileName, std::shared_ptr<ICalendarFile> file);
    // Fills in the UIDs, titles and kinds of a file's parsed calendar.
    static void describeItems(ICalendarFile &file);
    void indexFile(const std::shared_ptr<ICalendarFile> &file);
    void unindexFile(const std::shared_ptr<ICalendarFile> &file);
    // The folder's time before one of our writes, and after it: a folder that nobody else changed
    // since our last look needs no new look for our own write.
    void noteOwnChange(qint64 folderTimeBefore);

    QString m_path;
    QHash<QString, std::shared_ptr<ICalendarFile>> m_files;
    QHash<QString, QList<std::shared_ptr<ICalendarFile>>> m_filesByUid;
    QHash<QString, QList<std::shared_ptr<ICalendarFile>>> m_filesByTitle;
    // The index's entries during the first look at the folder.
    QHash<QString, std::shared_ptr<ICalendarFile>> m_described;
    bool m_hasLookedBefore = false;
    bool m_isIndexStale = false;
    bool m_hasUnparsedFiles = false;
    int m_eventFileCount = 0;
    int m_todoFileCount = 0;
    bool m_hasVCards = false;
    qint64 m_folderModifiedNs = 0;
    std::chrono::steady_clock::time_point m_lastScan;
};

// The deleter of shared component trees.
void freeIcalComponent(icalcomponent_impl *component);

} // namespace platform
