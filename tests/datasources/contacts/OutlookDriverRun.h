#pragma once

// The sync driver run as its own process for the Outlook kill tests, in a home of the test's, with the
// environment the test gives it (the simulated Outlook's runtime folder, the zone, kill points).

#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// Starts the driver; the caller waits for it.
inline void startOutlookDriver(QProcess &driver, const QString &home, const QStringList &arguments,
                               const QMap<QString, QString> &environment)
{
    driver.setProcessEnvironment(driverEnvironment(home, environment));
    driver.start(QStringLiteral(HM_SYNC_ONCE_PATH), arguments);
}

// Runs the driver to its end; false (with a test failure telling what it wrote) when it fails.
inline bool syncOutlookToTheEnd(const QString &home, const QStringList &arguments,
                                const QMap<QString, QString> &environment, int limitMs = 90000)
{
    QProcess driver;
    startOutlookDriver(driver, home, arguments, environment);
    if (!driver.waitForFinished(limitMs) || driver.exitCode() != 0) {
        ADD_FAILURE() << driver.readAllStandardOutput().toStdString() << driver.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

// Runs the driver with a kill point (HM_SYNC_KILL_AT, e.g. "outlook-memos-written:3"); true when it was
// killed there.
inline bool killOutlookDriverAt(const QString &home, const QStringList &arguments, QMap<QString, QString> environment,
                                const QString &point)
{
    environment.insert(QStringLiteral("HM_SYNC_KILL_AT"), point);
    QProcess killed;
    startOutlookDriver(killed, home, arguments, environment);
    EXPECT_TRUE(killed.waitForFinished(180000));
    EXPECT_EQ(killed.exitStatus(), QProcess::CrashExit) << killed.readAll().toStdString();
    return killed.exitStatus() == QProcess::CrashExit;
}

// The path of a file the driver keeps under the home's data folder (an id map), empty when none.
inline QString outlookDataFile(const QString &home, const QString &name)
{
    QDirIterator found(home + QStringLiteral("/data"), {name}, QDir::Files, QDirIterator::Subdirectories);
    return found.hasNext() ? found.next() : QString();
}
