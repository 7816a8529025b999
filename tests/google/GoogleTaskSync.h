#pragma once

// Both peers as programs and the Google-direct driver between them, for the task syncs and the whole
// road of all three conduits.
#include "GooglePeerProcess.h"
#include "OutlookPeerProcess.h"

#include "foundation/GlobalVariables.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>

inline const QString kWorkList = QStringLiteral("TLwork0001");
inline const QString kTasksPath = QStringLiteral("/tasks/v1/lists/");

inline QJsonObject outlookTaskSeed()
{
    auto folder = [](int id, const char *kind, const char *name) {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    };
    return {{"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                   folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")}},
            {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}}}}};
}

using DriverRun = GoogleDriverRun;

// Both peers, a tasks-only two-way Google profile and the driver. Google holds "My Tasks" (the
// default) and "Work".
class TaskSync
{
public:
    explicit TaskSync(const QString &zone = QStringLiteral("Europe/Berlin")) : m_zone(zone), m_oldZone(qgetenv("TZ"))
    {
        qputenv("TZ", zone.toLatin1());
        ::tzset();
        OutlookPeerProcess::Options options;
        options.folder = m_root.path();
        options.timeZone = zone;
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat()};
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(m_outlook->isReady());
        m_outlook->seed(outlookTaskSeed());
        m_google = std::make_unique<GooglePeerProcess>(m_root.filePath("google"), QStringLiteral(HM_GOOGLE_PEER_PATH));
        EXPECT_GT(m_google->port, 0);
        writeTokens(home(), "1//rt");
        m_google->control("/peer/tasklist", {{"email", kEmail}, {"title", "Work"}, {"id", kWorkList}});
    }
    ~TaskSync()
    {
        qputenv("TZ", m_oldZone);
        ::tzset();
    }
    QString home() const { return m_outlook->home(); }
    GooglePeerProcess &google() { return *m_google; }
    OutlookPeerProcess &outlook() { return *m_outlook; }

    void makeProfile(const std::function<void(HMProfile &)> &edit = {})
    {
        ASSERT_EQ(run({"--no-sync"}).exitCode, 0);
        editProfile([&edit](HMProfile &profile) {
            profile.setContactSyncEnabled(false);
            profile.setCalendarSyncEnabled(false);
            profile.setTaskSyncEnabled(true);
            if (edit)
                edit(profile);
        });
    }
    void editProfile(const std::function<void(HMProfile &)> &edit) { editStoredProfile(home(), edit); }
    DriverRun run(const QStringList &more = {}, const QMap<QString, QString> &extra = {})
    {
        QProcess driver;
        start(driver, more, extra);
        return finishGoogleDriver(driver, timeLimitSeconds);
    }
    void start(QProcess &driver, const QStringList &more = {}, const QMap<QString, QString> &extra = {})
    {
        startGoogleDriver(driver, googleRunEnvironment(home(), m_outlook->runtimeDir(), *m_google, m_zone), home(),
                          kEmail, timeLimitSeconds, more, extra);
    }
    // The driver's own time limit for each run.
    int timeLimitSeconds = 200;
    DriverRun sync(const QMap<QString, QString> &extra = {})
    {
        return runAfterOutlooksSecond([&] { return run({}, extra); });
    }
    qint64 addOutlookTask(QJsonObject record) const
    {
        record.insert("folder", 3);
        return m_outlook->control({{"op", "add"}, {"kind", "task"}, {"record", record}}).value("id").toInteger();
    }
    QJsonArray outlookTasks() const { return m_outlook->dump().value("tasks").toArray(); }
    std::optional<QJsonObject> outlookTask(const QString &name) const
    {
        for (const QJsonValue &task : outlookTasks()) {
            if (task.toObject()["name"].toString() == name)
                return task.toObject();
        }
        return std::nullopt;
    }
    QString putGoogleTask(const QJsonObject &task, const QString &list = QStringLiteral("@default")) const
    {
        return QJsonDocument::fromJson(
                   m_google->control("/peer/task", {{"email", kEmail}, {"listId", list}, {"task", task}}))
            .object()["id"]
            .toString();
    }
    // Google's tasks not deleted, of every list, with "list" set to the list's title.
    QList<QJsonObject> googleTasks() const { return m_google->aliveTasks(); }
    std::optional<QJsonObject> googleTask(const QString &title) const
    {
        for (const QJsonObject &task : googleTasks()) {
            if (task["title"].toString() == title)
                return task;
        }
        return std::nullopt;
    }
    // The task requests Google received since the last clear: method, target.
    QStringList googleTaskRequests(bool writesOnly) const
    {
        QStringList found;
        for (const QJsonValue &value : m_google->requests()) {
            const QJsonObject request = value.toObject();
            if (!request["path"].toString().startsWith("/tasks/") || (writesOnly && request["method"] == "GET"))
                continue;
            found << request["method"].toString() + u' ' + request["target"].toString();
        }
        return found;
    }
    // Every title once on each side.
    void expectEveryTitleOnceOnEachSide(const QStringList &titles) const
    {
        QHash<QString, int> inOutlook;
        for (const QJsonValue &task : outlookTasks())
            ++inOutlook[task.toObject()["name"].toString()];
        QHash<QString, int> onGoogle;
        for (const QJsonObject &task : googleTasks())
            ++onGoogle[task["title"].toString()];
        for (const QString &title : titles) {
            EXPECT_EQ(inOutlook.value(title), 1) << "Outlook " << title.toStdString();
            EXPECT_EQ(onGoogle.value(title), 1) << "Google " << title.toStdString();
        }
        EXPECT_EQ(inOutlook.size(), titles.size());
        EXPECT_EQ(onGoogle.size(), titles.size());
    }

private:
    QString m_zone;
    QByteArray m_oldZone;
    QTemporaryDir m_root;
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    std::unique_ptr<GooglePeerProcess> m_google;
};

// Local midnight of the day, as Outlook keeps a due day.
inline QString localDay(int year, int month, int day)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), QTimeZone::systemTimeZone()).toString(Qt::ISODate);
}
