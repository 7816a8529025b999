// Cloud profiles end to end: the sync driver against the cloud peer, both as programs, over the vCard
// and iCalendar folder stores that khard, khal and todoman read.

#include "CloudDriverSupport.h"

#include "platform/eventkit/support/CalendarFolderFixture.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

namespace {

QStringList numbered(const QString &pattern, int count)
{
    QStringList names;
    for (int index = 1; index <= count; ++index)
        names << pattern.arg(index);
    names.sort();
    return names;
}

QString writeConfig(const Desktop &desktop, const QString &name, const QString &text)
{
    const QString path = QDir(desktop.home()).filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    return path;
}

QString khardList(const Desktop &desktop)
{
    const QString config = writeConfig(desktop, QStringLiteral("khard.conf"),
                                       QStringLiteral("[addressbooks]\n[[desktop]]\npath = %1\n").arg(desktop.contactsFolder()));
    return eventkittest::runTool(QStringLiteral("khard"),
                                 {QStringLiteral("-c"), config, QStringLiteral("list"), QStringLiteral("--parsable")});
}

QString khalList(const Desktop &desktop)
{
    const QString config = writeConfig(
        desktop, QStringLiteral("khal.conf"),
        QStringLiteral("[calendars]\n[[desktop]]\npath = %1/*\ntype = discover\n[locale]\ntimeformat = %H:%M\n"
                       "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                       "longdatetimeformat = %Y-%m-%d %H:%M\n[sqlite]\npath = %2\n")
            .arg(desktop.calendarsFolder(), desktop.home() + QStringLiteral("/khal.db")));
    return eventkittest::runTool(QStringLiteral("khal"),
                                 {QStringLiteral("-c"), config, QStringLiteral("list"), QStringLiteral("--format"),
                                  QStringLiteral("{title}"), QStringLiteral("--once"), QStringLiteral("--day-format"),
                                  QString(), QStringLiteral("2026-12-01"), QStringLiteral("90d")});
}

QString todomanList(const Desktop &desktop)
{
    const QString config = writeConfig(
        desktop, QStringLiteral("todoman.py"),
        QStringLiteral("path = \"%1/*\"\ndate_format = \"%Y-%m-%d\"\ntime_format = \"%H:%M\"\ncache_path = \"%2\"\n")
            .arg(desktop.calendarsFolder(), desktop.home() + QStringLiteral("/todoman.db")));
    return eventkittest::runTool(QStringLiteral("todoman"), {QStringLiteral("--config"), config, QStringLiteral("--porcelain"),
                                                          QStringLiteral("list"), QStringLiteral("--status"),
                                                          QStringLiteral("ANY")});
}

QJsonObject webContact(const QString &id, const QString &last)
{
    return QJsonObject{{"Id", id}, {"First", "Web"}, {"Last", last}, {"Email1", id + "@example.org"}};
}

QJsonObject webEvent(const QString &id, const QString &subject, int day)
{
    const QString start = QStringLiteral("2026-12-%1 09:00:00").arg(day, 2, 10, QChar(u'0'));
    const QString end = QStringLiteral("2026-12-%1 09:45:00").arg(day, 2, 10, QChar(u'0'));
    return QJsonObject{{"Id", id},        {"Subject", subject}, {"StartTimeUTC", start}, {"EndTimeUTC", end},
                       {"StartTime", start}, {"EndTime", end},  {"Allday", false},       {"TimeZone", "UTC"},
                       {"AlarmMins", -1}};
}

} // namespace

TEST(CloudSyncEndToEnd, SyncsBothWaysEditsAndDeletesAndSendsNothingTwice)
{
    QTemporaryDir folder;
    PeerProcess peer(folder.path());
    ASSERT_GT(peer.httpsPort, 0);

    // Desktop A fills an empty cloud.
    Desktop first(true);
    const DriverRun samples = runDriver(first, peer, {QStringLiteral("--sample-records"), QStringLiteral("6"), QStringLiteral("--no-sync")});
    ASSERT_EQ(samples.exitCode, 0) << samples.output.toStdString();
    // Card stamps are whole seconds: a card stamped in the second a sync begins counts as changed
    // at the next sync as well (it may have changed after the read). The samples are older.
    QThread::msleep(1100);
    const DriverRun seeded = runDriver(first, peer);
    ASSERT_EQ(seeded.exitCode, 0) << seeded.output.toStdString();
    EXPECT_EQ(peer.liveNames(QStringLiteral("Contacts")), numbered(QStringLiteral("Desk Contact %1"), 6));
    EXPECT_EQ(peer.liveNames(QStringLiteral("Calendar")), numbered(QStringLiteral("Desktop meeting %1"), 6));
    EXPECT_EQ(peer.liveNames(QStringLiteral("Tasks")), numbered(QStringLiteral("Desktop task %1"), 6));

    // Desktop B fills empty folders from the cloud; khard, khal and todoman read them.
    Desktop second(true);
    const DriverRun pulled = runDriver(second, peer);
    ASSERT_EQ(pulled.exitCode, 0) << pulled.output.toStdString();
    // The summary counts the records the cloud brought as added.
    for (const char *conduit : {"Contacts", "Calendar", "Tasks"})
        EXPECT_TRUE(pulled.output.contains(QStringLiteral("%1: 6 added, 0 changed, 0 deleted on the desktop").arg(QLatin1String(conduit))))
            << pulled.output.toStdString();
    EXPECT_EQ(second.contactNames(), numbered(QStringLiteral("Desk Contact %1"), 6));
    EXPECT_EQ(second.eventNames(), numbered(QStringLiteral("Desktop meeting %1"), 6));
    EXPECT_EQ(second.taskNames(), numbered(QStringLiteral("Desktop task %1"), 6));
    const QString contacts = khardList(second);
    for (int index = 1; index <= 6; ++index)
        EXPECT_TRUE(contacts.contains(QStringLiteral("Desk Contact %1").arg(index))) << contacts.toStdString();
    EXPECT_EQ(khalList(second).count(QStringLiteral("Desktop meeting")), 6) << khalList(second).toStdString();
    EXPECT_EQ(todomanList(second).count(QStringLiteral("Desktop task")), 6) << todomanList(second).toStdString();

    // A second sync with nothing changed sends and changes nothing.
    const QStringList paths = peer.requestPaths();
    const DriverRun quiet = runDriver(first, peer);
    ASSERT_EQ(quiet.exitCode, 0) << quiet.output.toStdString();
    EXPECT_FALSE(peer.requestPaths().mid(paths.size()).contains(QStringLiteral("/v1/update.php")))
        << peer.requestPaths().mid(paths.size()).join(u' ').toStdString();

    // Edits and deletions on both sides.
    QThread::msleep(1100);
    ASSERT_TRUE(replaceLine(first.contactFile(QStringLiteral("Desk Contact 2")), "FN:", "FN:Desk Contact 2 edited"));
    ASSERT_TRUE(replaceLine(first.contactFile(QStringLiteral("Desk Contact 2 edited")), "N:", "N:Contact 2 edited;Desk;;;"));
    // As address book programs do, the edit moves the card's revision.
    ASSERT_TRUE(replaceLine(first.contactFile(QStringLiteral("Desk Contact 2 edited")), "REV:",
                            "REV:" + QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1()));
    ASSERT_TRUE(QFile::remove(first.contactFile(QStringLiteral("Desk Contact 3"))));
    ASSERT_TRUE(QFile::remove(first.eventFile(QStringLiteral("Desktop meeting 4"))));
    QString cloudContact;
    QString cloudEvent;
    for (const QJsonObject &record : peer.records(QStringLiteral("Contacts"))) {
        if (record.value("Last").toString() == QLatin1String("Contact 5"))
            cloudContact = record.value("Id").toString();
    }
    for (const QJsonObject &record : peer.records(QStringLiteral("Calendar"))) {
        if (record.value("Subject").toString() == QLatin1String("Desktop meeting 6"))
            cloudEvent = record.value("Id").toString();
    }
    QJsonObject edited = webContact(cloudContact, QStringLiteral("Contact 5 from the web"));
    edited.insert("First", "Desk");
    peer.putRecords(QStringLiteral("Contacts"), {edited, webContact(QStringLiteral("web-1"), QStringLiteral("Person 1"))});
    peer.putRecords(QStringLiteral("Calendar"), {webEvent(QStringLiteral("web-e1"), QStringLiteral("Web meeting 1"), 20)});
    peer.control("/peer/delete-record", QJsonObject{{"Username", "u@x.com"}, {"Table", "Calendar"}, {"Id", cloudEvent}});

    QList<DriverRun> runs;
    for (Desktop *desktop : {&first, &second, &first}) {
        runs << runDriver(*desktop, peer);
        ASSERT_EQ(runs.last().exitCode, 0) << runs.last().output.toStdString();
    }
    // Desktop A took the cloud's edit, its new contact and event, and its deletion.
    EXPECT_TRUE(runs[0].output.contains(QStringLiteral("Contacts: 1 added, 1 changed, 0 deleted on the desktop")))
        << runs[0].output.toStdString();
    EXPECT_TRUE(runs[0].output.contains(QStringLiteral("Calendar: 1 added, 0 changed, 1 deleted on the desktop")))
        << runs[0].output.toStdString();
    const QStringList contactsNow{QStringLiteral("Desk Contact 1"), QStringLiteral("Desk Contact 2 edited"),
                                  QStringLiteral("Desk Contact 4"), QStringLiteral("Desk Contact 5 from the web"),
                                  QStringLiteral("Desk Contact 6"), QStringLiteral("Web Person 1")};
    const QStringList eventsNow{QStringLiteral("Desktop meeting 1"), QStringLiteral("Desktop meeting 2"),
                                QStringLiteral("Desktop meeting 3"), QStringLiteral("Desktop meeting 5"),
                                QStringLiteral("Web meeting 1")};
    EXPECT_EQ(peer.liveNames(QStringLiteral("Contacts")), contactsNow);
    EXPECT_EQ(peer.liveNames(QStringLiteral("Calendar")), eventsNow);
    for (const Desktop *desktop : {&first, &second}) {
        EXPECT_EQ(desktop->contactNames(), contactsNow);
        EXPECT_EQ(desktop->eventNames(), eventsNow);
    }

    // A purge empties the cloud's contacts first; the desktop's contacts then go again, once each.
    const DriverRun purged = runDriver(first, peer, {QStringLiteral("--purge"), QStringLiteral("contacts")});
    ASSERT_EQ(purged.exitCode, 0) << purged.output.toStdString();
    EXPECT_EQ(peer.liveNames(QStringLiteral("Contacts")), contactsNow);
    EXPECT_EQ(peer.records(QStringLiteral("Contacts")).size(), contactsNow.size());
    EXPECT_EQ(first.contactNames(), contactsNow);
}
