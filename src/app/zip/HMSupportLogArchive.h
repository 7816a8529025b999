#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class HMFileRevealer;

// The support archive: packs the application's crash reports and log files into "SupportLogs.zip" in
// the log folder, for the user to send to support, and reveals it in the file manager.
//
// Crash reports are apport's reports of this program (files in its crash folder whose names hold the
// process name and end with "crash") and, where systemd-coredump keeps the program's crashes, the
// report `coredumpctl info` gives for each. The archive holds "textFile.txt" (one blank), the newest 20
// crash reports oldest first, then the oldest 20 log files (names holding "log" and ending with "txt")
// oldest first, each under its bare file name, deflated. Files with the same date all count, ordered by
// path. Only regular files are read (links are passed over), at most kMaximumFileBytes of each, and
// nothing is written outside the log folder.
//
// A value object: copy it freely. writeArchive() blocks (file reads, coredumpctl) and must not run on
// the main thread; makeLogArchive() moves the work off the main thread.
class HMSupportLogArchive final
{
public:
    static constexpr int kMaximumCrashReports = 20;
    static constexpr int kMaximumLogFiles = 20;
    static constexpr qint64 kMaximumFileBytes = 32 * 1024 * 1024;
    static constexpr char kArchiveName[] = "SupportLogs.zip";

    // Where the reports and logs are found.
    struct Sources
    {
        QStringList crashReportFolders;
        QString logFolder;
        // The coredumpctl program, or empty where systemd-coredump is not there.
        QString coredumpctlPath;
        // The name crash reports must hold.
        QString processName;
    };

    // One report or log file, as it goes into the archive.
    struct Item
    {
        QString entryName;
        QDateTime date;
        // The file to read, or empty for a coredumpctl report.
        QString path;
        // The process id coredumpctl knows the crash by.
        qint64 coredumpPid = 0;
    };

    // apport's /var/crash, the application's log folder and coredumpctl from $PATH.
    static Sources defaultSources();

    explicit HMSupportLogArchive(Sources sources = defaultSources()) : m_sources(std::move(sources)) {}

    // Writes the archive on a queue of its own (requests run one after the other) and then, on the main
    // queue, reveals it through the revealer when that still exists. Returns at once; main thread.
    static void makeLogArchive(const Sources &sources, const std::weak_ptr<HMFileRevealer> &revealer);

    QString archivePath() const;
    // The reports and log files the archive takes, in archive order.
    QList<Item> crashReports() const;
    QList<Item> logFiles() const;
    // Writes the archive anew and answers its path; entries that fail are left out. Not on the main thread.
    platform::Result<QString> writeArchive() const;

private:
    QList<Item> coredumpReports() const;
    // The item's bytes, or nothing when they cannot be read.
    std::optional<QByteArray> contentOf(const Item &item) const;

    Sources m_sources;
};
