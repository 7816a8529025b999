#pragma once

// The sync driver run as its own process for the Outlook kill tests, in a home of the test's, with the
// environment the test gives it (the simulated Outlook's runtime folder, the zone, kill points).

#include "PhonePeerProcess.h"
#include "WiFiSyncTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
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

// The simulated Outlook's default folders as the seeds give them: address book 1, calendar 2, task
// folder 3, note folder 4.
inline QJsonArray outlookDefaultFolders()
{
    auto folder = [](int id, const char *kind, const char *name) {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    };
    return QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                      folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")};
}

// As many distinct names as expected, each counted once; the side names where they were counted.
inline void expectEachNameOnce(const QHash<QString, int> &names, qsizetype expected, const char *side)
{
    EXPECT_EQ(names.size(), expected) << side;
    for (auto it = names.constBegin(); it != names.constEnd(); ++it)
        EXPECT_EQ(it.value(), 1) << side << ": " << it.key().toStdString();
}

// The id map names each of the phone's records once.
inline void expectMapNamesEachOnce(const QList<phonepeer::PhoneRecord> &records, const QString &mapPath)
{
    QFile map(mapPath);
    ASSERT_TRUE(map.open(QIODevice::ReadOnly)) << mapPath.toStdString();
    const QByteArray text = map.readAll();
    for (const phonepeer::PhoneRecord &record : records)
        EXPECT_EQ(text.count("<key>" + record.uid.toUtf8() + "</key>"), 1) << record.uid.toStdString();
}

// The phone's writes so far: the update and deletion requests it was sent.
inline qsizetype phoneWriteCount(const PhonePeerProcess &phone)
{
    qsizetype count = 0;
    for (const QString &path : phone.requestLog())
        count += path.contains(QLatin1String("pdate")) || path.contains(QLatin1String("elete")) ? 1 : 0;
    return count;
}

// One driver run to its end, whatever it answers; then whether the id map still names the Outlook id.
inline bool runOnceAndMapKeeps(const QString &home, const QStringList &arguments, const QMap<QString, QString> &environment,
                               const QString &mapPath, qint64 outlookId)
{
    QProcess driver;
    startOutlookDriver(driver, home, arguments, environment);
    if (!driver.waitForFinished(90000))
        return false;
    QFile map(mapPath);
    return map.open(QIODevice::ReadOnly) && map.readAll().indexOf("<string>" + QByteArray::number(outlookId) + "</string>") != -1;
}
