#pragma once

// The sync driver run as its own process for the Outlook kill tests, in a home of the test's, with the
// environment the test gives it (the simulated Outlook's runtime folder, the zone, kill points).

#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

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
