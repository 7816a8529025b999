#pragma once

#include "CalendarStoreChoice.h"
#include "PhonePeer.h"
#include "SyncRunner.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class HMProfile;
class HMProfileManager;

// Whole syncs of the calendar and tasks conduits of an Apple Wi-Fi profile through the sync
// controller and the Wi-Fi transport against the phone peer on loopback, with the desktop's events
// and reminders in iCalendar folders under a fresh root: "work" (Work) for events and "todo" (Tasks)
// for reminders, and "holidays" (Holidays), which cannot be written. The time zone is set for the
// run's life, and so is the platform version when one is given ("10.7" takes the CalendarStore road,
// the empty text the EventKit one); the driver program started by the run inherits both.
class CalendarSyncRun final
{
public:
    // Events are written to the calendar of that identifier.
    explicit CalendarSyncRun(const char *timeZone, const QString &eventCalendarToWriteTo = QStringLiteral("work"),
                             const char *platformVersion = "");
    ~CalendarSyncRun();
    CalendarSyncRun(const CalendarSyncRun &) = delete;
    CalendarSyncRun &operator=(const CalendarSyncRun &) = delete;

    phonepeer::PhonePeer &peer() { return *m_peer; }
    QString root() const { return m_root.path() + QStringLiteral("/Calendars"); }
    QString calendarFolder(const QString &identifier) const { return root() + QLatin1Char('/') + identifier; }
    hmsync::SyncOutcome sync();
    // A sync by the driver program in a process of its own, on the profile and folders of this run:
    // the application restarted. Answers the program's output; the test fails when it fails.
    QString syncInNewProcess();

    // The calendar conduit's identifier graph as the last sync saved it: each stored record's native id
    // and checksum, "<native id> <checksum>", sorted.
    QStringList calendarGraphChecksums() const;
    // The phone's record of a conduit whose field has the value.
    std::optional<phonepeer::PhoneRecord> phoneRecord(phonepeer::Conduit conduit, const QString &key,
                                                      const QString &value) const;
    // The requests the phone received since the mark.
    QStringList requestsSince(qsizetype mark) const { return m_peer->requestLog().mid(mark); }
    // The texts of every ".ics" file of a calendar folder, their folded lines joined.
    QStringList itemTexts(const QString &identifier) const;
    // The name of the ".ics" file of the folder whose text holds the text; empty when none does.
    QString fileHolding(const QString &identifier, const QByteArray &text) const;

    // What khal lists of the "work" calendar for the days, and what todoman lists of "todo", both in
    // this run's time zone.
    QString khalList(const QString &fromDay, const QString &days) const;
    QByteArray todomanList() const;
    // khal and todoman run with those arguments on the same folders; their output.
    QString khal(const QStringList &arguments) const;
    QString todoman(const QStringList &arguments) const;

private:
    QString khalConfig() const;

    eventkittest::ScopedEnvironment m_zone;
    eventkittest::ScopedEnvironment m_platformVersion;
    QTemporaryDir m_root;
    QTemporaryDir m_phoneFolder;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
};

QString describe(const hmsync::SyncOutcome &outcome);

// The driver's arguments for a first run of a fresh profile against the peer, with the calendars under
// root and no pause before the logon.
QStringList driverArguments(const phonepeer::PhonePeer &peer, const QString &root);
