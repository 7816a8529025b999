#pragma once

// The cloud road with both sides as programs: the cloud peer as a process (killed and started again on
// its ports and state), the sync driver run against it, and the desktop folders and the peer's tables
// read back as lists of record names.

#include <httplib.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <optional>

// The cloud peer as a program, with the account u@x.com / secret.
class PeerProcess final
{
public:
    explicit PeerProcess(const QString &folder);
    ~PeerProcess();
    // SIGKILL, then (restart) the same program on the same ports and state file.
    void kill();
    bool restart();

    QJsonObject control(const char *path, const QJsonObject &body = {}) const;
    QStringList requestPaths() const;
    QList<QJsonObject> requests() const;
    // The listed form of every record of the table, deleted ones included.
    QList<QJsonObject> records(const QString &table) const;
    // Names of the table's records that are not deleted: contacts "First Last", others "Subject".
    QStringList liveNames(const QString &table) const;
    void putRecords(const QString &table, const QList<QJsonObject> &records) const;
    void addSwitch(const QString &kind, const QString &path = {}, int times = 0, int every = 1, int stallMs = 0) const;

    int httpsPort = 0;
    int httpPort = 0;
    QString caFile;

private:
    bool start(const QStringList &ports);
    QString m_folder;
    std::unique_ptr<QProcess> m_process;
};

struct DriverRun
{
    int exitCode = -1;
    QString output;
};

// One desktop: a home (the driver's data folder), the vCard folder and the calendars folder, and the
// arguments of a cloud profile for u@x.com syncing contacts and calendar (and tasks when asked).
class Desktop final
{
public:
    explicit Desktop(bool withTasks = false);
    QString home() const { return m_home.path(); }
    QString contactsFolder() const { return m_home.filePath(QStringLiteral("contacts")); }
    QString calendarsFolder() const { return m_home.filePath(QStringLiteral("calendars")); }
    QStringList arguments(const QStringList &extra = {}) const;
    // "FN" of every vCard file; "SUMMARY" of every event or task file.
    QStringList contactNames() const;
    QStringList eventNames() const;
    QStringList taskNames() const;
    // The vCard file whose FN is the name; empty when none.
    QString contactFile(const QString &name) const;
    QString eventFile(const QString &name) const;

private:
    QStringList summaries(const QByteArray &component) const;
    QTemporaryDir m_home;
    bool m_withTasks;
};

// Starts hm_sync_once for the desktop against the peer and returns at once.
std::unique_ptr<QProcess> startDriver(const Desktop &desktop, const PeerProcess &peer, const QStringList &extra = {},
                                      const QStringList &environment = {});
// Waits for a started driver (SIGKILL after the time given); exit code -9 when it was killed.
DriverRun finishDriver(QProcess &driver, std::chrono::milliseconds limit);
// Runs hm_sync_once for the desktop against the peer; killAfter: SIGKILL after that long.
DriverRun runDriver(const Desktop &desktop, const PeerProcess &peer, const QStringList &extra = {},
                    std::optional<std::chrono::milliseconds> killAfter = std::nullopt,
                    const QStringList &environment = {});
// The names in a list that occur more than once, and the names of one list missing from another.
QStringList duplicatesIn(const QStringList &names);
// Rewrites the line of a file that starts with the prefix; the file's time moves on.
bool replaceLine(const QString &path, const QByteArray &prefix, const QByteArray &line);
