#pragma once

#include "platform/eventkit/EKEventStore.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace eventkittest {

// Sets an environment variable (TZ included, re-read at once) for the scope of a test.
class ScopedEnvironment final
{
public:
    ScopedEnvironment(const char *name, const QByteArray &value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    const char *m_name;
    QByteArray m_saved;
    bool m_wasSet;
};

// A test whose calendar store root is a fresh temporary folder (the user default names it).
class CalendarFolderTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    QString root() const { return m_root.path() + QStringLiteral("/Calendars"); }
    // Makes a calendar folder with a "displayname"; a read-only one has no write bits.
    QString makeCalendarFolder(const QString &name, const QString &title, bool readOnly = false) const;
    // "work" titled Work (local), "holidays" titled Holidays (read-only) and "contacts" titled
    // Birthdays (an address book folder).
    void makeWorkHolidaysAndBirthdays() const;
    // "work" titled Work holding one event khal made, "errands" titled Errands holding one to-do
    // todoman made.
    void makeKhalAndTodomanFolders() const;
    std::shared_ptr<platform::EKEventStore> eventStore() const;
    // What todoman lists of every folder under the root, as its JSON output.
    QByteArray todomanList() const;
    // Writes todoman's configuration naming every folder under the root; gives its path.
    QString todomanConfig() const;
    // The names of the ".ics" files of a folder, sorted.
    static QStringList itemFiles(const QString &folder);

private:
    QTemporaryDir m_root;
};

// Runs a program to its end (at most 60 s) and gives its standard output; the test fails when the
// program cannot run or exits with an error.
QString runTool(const QString &program, const QStringList &arguments, const QString &workingFolder = QString());

// A UTC date from "yyyy-MM-dd HH:mm" in the given zone.
QDateTime at(const char *text, const char *zone = "UTC");

// A VEVENT of another program with its UID, a stamp and the properties (each line ending in CRLF).
QByteArray eventItem(const QByteArray &uid, const QByteArray &properties);
// A VCALENDAR of another program holding the items.
QByteArray calendarText(const QByteArray &items);
// Writes a file the way other calendar programs do: a temporary file renamed over the target.
void writeAsOtherProgram(const QString &path, const QByteArray &bytes);
// The events' titles, sorted.
QStringList titlesOf(const QList<std::shared_ptr<platform::EKEvent>> &events);
// The file's bytes; empty when it cannot be read.
QByteArray readAll(const QString &path);
// The calendar index's first line, naming its format.
inline const QByteArray kIndexHeader = "HMCALINDEX 8\n";
// The calendar index's line checksum of the line's other fields, in lowercase hexadecimal without
// leading zeros: zlib's CRC-32, to check the index's bytes.
QByteArray indexChecksum(const QByteArray &text);
// An index line with its own checksum, as the index writes it.
QByteArray indexSigned(const QByteArray &fields);
// Two different titles, each the prefix and a number, that the folder's item index keeps under one
// key: found by trying numbers until two share it.
std::pair<QString, QString> titlesSharingAnItemKey(const QString &prefix);

} // namespace eventkittest
