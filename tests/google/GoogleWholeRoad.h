#pragma once

// The records of the whole Google road (contacts, events and tasks on each side) and the check that
// each is exactly once on each side, shared by the whole-road trials and the unanswered-write trials.
#include "GoogleTaskSync.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <gtest/gtest.h>

// One contact, one event and one task on each side, named by the serial; answers their names as
// outlookNames and googleNames count them. Odd serials' Google tasks are in "Work", every third
// Outlook task in that category.
inline QStringList addRecordsOnEachSide(TaskSync &sync, int serial)
{
    const QString tag = QString::number(serial);
    sync.outlook().control(
        {{"op", "add"},
         {"kind", "contact"},
         {"record", QJsonObject{{"folder", 1}, {"firstName", "Ann"}, {"lastName", "Outlook" + tag}}}});
    sync.google().userContact("add", {}, googleContactEntry("Bob", "Google" + tag));
    const QDateTime start = QDateTime::fromString(localDay(2027, 5, 3), Qt::ISODate).addDays(serial % 700);
    sync.outlook().control({{"op", "add"},
                            {"kind", "event"},
                            {"record", QJsonObject{{"folder", 2},
                                                   {"subject", "Outlook event " + tag},
                                                   {"start", start.toString(Qt::ISODate)},
                                                   {"end", start.addSecs(3600).toString(Qt::ISODate)},
                                                   {"zone", QString::fromUtf8(QTimeZone::systemTimeZoneId())}}}});
    const QString day = QDate(2027, 6, 1).addDays(serial % 700).toString(Qt::ISODate);
    // Event ids Google keeps are base32hex: lower-case letters to "v" and digits.
    sync.google().control("/peer/event",
                          {{"email", kEmail},
                           {"calendarId", "primary"},
                           {"event", QJsonObject{{"id", "road" + tag.rightJustified(6, u'0')},
                                                 {"summary", "Google event " + tag},
                                                 {"start", QJsonObject{{"dateTime", day + "T09:00:00Z"}}},
                                                 {"end", QJsonObject{{"dateTime", day + "T10:00:00Z"}}}}}});
    QJsonObject task{{"name", "Outlook task " + tag}};
    if (serial % 3 == 0)
        task.insert("categories", QJsonArray{5});
    sync.addOutlookTask(task);
    sync.putGoogleTask({{"title", "Google task " + tag}}, serial % 2 ? kWorkList : QStringLiteral("@default"));
    return {"contact Outlook" + tag,     "contact Google" + tag,     "event Outlook event " + tag,
            "event Google event " + tag, "task Outlook task " + tag, "task Google task " + tag};
}

// Names of the records each side holds, by kind: Outlook's contacts (last names), events (subjects) and
// tasks; Google's contacts (family names), events (summaries) and tasks, deleted ones left out.
inline QHash<QString, int> outlookNames(TaskSync &sync)
{
    QHash<QString, int> names;
    const QJsonObject state = sync.outlook().dump();
    for (const QJsonValue &contact : state["contacts"].toArray())
        ++names["contact " + contact.toObject()["lastName"].toString()];
    for (const QJsonValue &event : state["events"].toArray())
        ++names["event " + event.toObject()["subject"].toString()];
    for (const QJsonValue &task : state["tasks"].toArray())
        ++names["task " + task.toObject()["name"].toString()];
    return names;
}

inline QHash<QString, int> googleNames(TaskSync &sync)
{
    QHash<QString, int> names;
    const QJsonObject account =
        QJsonDocument::fromJson(sync.google().control("/peer/dump")).object()["accounts"].toObject()[kEmail].toObject();
    const QJsonObject contacts = account["contacts"].toObject();
    for (auto it = contacts.begin(); it != contacts.end(); ++it) {
        if (it.value().toObject()["deleted"].toBool())
            continue;
        const QString body = it.value().toObject()["body"].toString();
        const qsizetype start = body.indexOf("<gd:familyName>") + 15;
        ++names["contact " + body.mid(start, body.indexOf("</gd:familyName>") - start)];
    }
    const QJsonObject events = account["events"].toObject()["primary"].toObject();
    for (auto it = events.begin(); it != events.end(); ++it) {
        if (it.value().toObject()["status"].toString() != QLatin1String("cancelled"))
            ++names["event " + it.value().toObject()["summary"].toString()];
    }
    for (const QJsonObject &task : sync.googleTasks())
        ++names["task " + task["title"].toString()];
    return names;
}

// Each name exactly once on each side, and nothing else there. Answers whether all held.
inline bool expectEveryNameOnceOnEachSide(TaskSync &sync, const QStringList &expected)
{
    const QHash<QString, int> outlook = outlookNames(sync);
    const QHash<QString, int> google = googleNames(sync);
    int wrong = 0;
    for (const QString &name : expected) {
        // Counted rather than asserted one by one: a fault at 1,000 records would print thousands of lines.
        if (outlook.value(name) != 1 || google.value(name) != 1) {
            if (++wrong <= 20)
                ADD_FAILURE() << name.toStdString() << ": " << outlook.value(name) << " in Outlook, "
                              << google.value(name) << " on Google";
        }
    }
    EXPECT_EQ(wrong, 0) << "records not once on each side";
    EXPECT_EQ(outlook.size(), expected.size());
    EXPECT_EQ(google.size(), expected.size());
    return wrong == 0 && outlook.size() == expected.size() && google.size() == expected.size();
}

inline void makeWholeRoadProfile(TaskSync &sync)
{
    sync.makeProfile([](HMProfile &profile) {
        profile.setContactSyncEnabled(true);
        profile.setCalendarSyncEnabled(true);
    });
}

