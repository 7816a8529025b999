#pragma once

#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

struct icalcomponent_impl;

namespace platform {

// A parsed iCalendar file of a folder. The component tree is shared and never changed: writers clone
// it, change the clone and write the clone.
struct ICalendarFile final
{
    QString fileName;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    std::shared_ptr<icalcomponent_impl> calendar; // the VCALENDAR; null when the file does not parse
    QStringList uids;                             // of its VEVENT and VTODO components, once each
    bool hasEvents = false;
    bool hasTodos = false;
};

// One folder of iCalendar files in the layout khal, todoman and vdirsyncer share: one "<uid>.ics" per
// item, an optional "displayname" file. Keeps an index of what it read (name, size, modification
// time), so that reading the folder again parses only the files that changed. Files that do not
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
    // The files of the last refresh that parsed.
    QList<std::shared_ptr<const ICalendarFile>> parsedFiles() const;
    // The parsed file holding a component with this UID, or null.
    std::shared_ptr<const ICalendarFile> fileForUid(const QString &uid) const;
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
    std::shared_ptr<ICalendarFile> readFile(const QString &fileName, qint64 size, qint64 modifiedNs);
    void rebuildUidIndex();

    QString m_path;
    QHash<QString, std::shared_ptr<ICalendarFile>> m_files;
    QHash<QString, std::shared_ptr<ICalendarFile>> m_filesByUid;
    bool m_hasVCards = false;
    qint64 m_folderModifiedNs = 0;
    std::chrono::steady_clock::time_point m_lastScan;
};

// The deleter of shared component trees.
void freeIcalComponent(icalcomponent_impl *component);

} // namespace platform
