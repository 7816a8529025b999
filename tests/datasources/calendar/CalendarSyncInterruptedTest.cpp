// A sync killed (SIGKILL) while it writes the phone's events and tasks into the iCalendar folders, or
// while it sends the desktop's events to the phone, then run again to the end, leaves every event and
// task exactly once on both sides, on each road.
#include "CalendarSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

using phonepeer::Conduit;

namespace {

constexpr int kEventCount = 30;
constexpr int kTaskCount = 12;
// Events another program wrote into the desktop's calendar before the first run: they go to the phone.
constexpr int kDesktopEventCount = 10;

// How many item files of every calendar under the root hold each SUMMARY.
QHash<QString, int> summaries(const QString &root)
{
    QHash<QString, int> counts;
    QDirIterator files(root, {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().replace("\r\n ", "").split('\n')) {
            if (line.startsWith("SUMMARY:"))
                ++counts[QString::fromUtf8(line.mid(8).trimmed())];
        }
    }
    return counts;
}

int itemCount(const QString &root)
{
    int count = 0;
    for (const int files : summaries(root))
        count += files;
    return count;
}

// The days of the occurrences the phone deleted of its series starting then.
QStringList excludedDays(const QDateTime &start)
{
    return {start.addDays(7).toString(QStringLiteral("yyyyMMdd")),
            start.addDays(14).toString(QStringLiteral("yyyyMMdd"))};
}

// The texts of the EXDATE lines of every file of a series (with RRULE) under the root, by SUMMARY.
QHash<QString, QByteArrayList> exclusionsOfSeries(const QString &root)
{
    QHash<QString, QByteArrayList> exclusions;
    QDirIterator files(root, {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArrayList lines = file.readAll().replace("\r\n ", "").split('\n');
        QString summary;
        QByteArrayList excluded;
        bool isSeries = false;
        bool inEvent = false; // a VTIMEZONE has rules of its own
        for (const QByteArray &line : lines) {
            inEvent = line.startsWith("BEGIN:VEVENT") || (inEvent && !line.startsWith("END:VEVENT"));
            summary = line.startsWith("SUMMARY:") ? QString::fromUtf8(line.mid(8).trimmed()) : summary;
            isSeries = isSeries || (inEvent && line.startsWith("RRULE"));
            if (line.startsWith("EXDATE"))
                excluded.append(line.mid(line.indexOf(':') + 1).trimmed());
        }
        if (isSeries)
            exclusions.insert(summary, excluded);
    }
    return exclusions;
}

void fillPhone(phonepeer::PhonePeer &peer)
{
    for (int index = 0; index < kEventCount; ++index) {
        const QDateTime start =
            QDateTime(QDate(2027, 1, 4).addDays(index % 90), QTime(8 + index % 9, 0), QTimeZone::utc());
        QMap<QString, QString> fields =
            phoneFields({{"SUBJECT", QStringLiteral("Event %1").arg(index)},
                         {"NOTE", QStringLiteral("line one\nline two & more")},
                         {"TYPE", QStringLiteral("0")},
                         {"GMTSTARTDATE", start.toString(QStringLiteral("yyyyMMdd"))},
                         {"GMTSTARTTIME", start.toString(QStringLiteral("HH:mm:ss"))},
                         {"GMTENDDATE", start.toString(QStringLiteral("yyyyMMdd"))},
                         {"GMTENDTIME", start.addSecs(1800).toString(QStringLiteral("HH:mm:ss"))}});
        // Every tenth event is a weekly series of four, its second and third occurrences deleted.
        if (index % 10 == 0)
            fields.insert(phoneFields({{"REPEAT", QStringLiteral("2")},
                                       {"INTERVAL", QStringLiteral("1")},
                                       {"OCCURS", QStringLiteral("4")},
                                       {"REPEATEND", start.addDays(21).toString(QStringLiteral("yyyyMMdd"))},
                                       {"REPEATEXCEPTIONS", excludedDays(start).join(QLatin1Char('\t'))}}));
        peer.addPhoneRecord(Conduit::Calendar, fields);
    }
    for (int index = 0; index < kTaskCount; ++index)
        peer.addPhoneRecord(
            Conduit::Tasks,
            phoneFields({{"SUBJECT", QStringLiteral("Task %1").arg(index)},
                         {"NOTE", QString()},
                         {"DUEDATE", QStringLiteral("202702%1").arg(index % 28 + 1, 2, 10, QLatin1Char('0'))},
                         {"HASDUEDATE", QStringLiteral("1")},
                         {"COMPLETE", QStringLiteral("0")}}));
}

void fillDesktop(const QString &root)
{
    const QString folder = root + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile title(folder + QStringLiteral("/displayname"));
    ASSERT_TRUE(title.open(QIODevice::WriteOnly));
    title.write("Work");
    for (int index = 0; index < kDesktopEventCount; ++index) {
        const QDateTime start(QDate(2027, 2, 1).addDays(index), QTime(10, 0), QTimeZone::utc());
        const QByteArray stamp = start.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
        const QByteArray end = start.addSecs(3600).toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
        QFile file(folder + QStringLiteral("/desk-%1.ics").arg(index));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Another program//EN\r\nBEGIN:VEVENT\r\nUID:desk-" +
                   QByteArray::number(index) +
                   "\r\nDTSTAMP:20261201T100000Z\r\nLAST-MODIFIED:20261201T100000Z\r\n"
                   "DTSTART:" +
                   stamp + "\r\nDTEND:" + end + "\r\nSUMMARY:Desk " + QByteArray::number(index) +
                   "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    }
}

// How many of the phone's records of the conduit carry each SUBJECT.
QHash<QString, int> phoneSubjects(const phonepeer::PhonePeer &peer, Conduit conduit)
{
    QHash<QString, int> counts;
    for (const phonepeer::PhoneRecord &record : peer.records(conduit))
        ++counts[record.fields.value(QStringLiteral("SUBJECT"))];
    return counts;
}

} // namespace

// The platform version picks the road: the EventKit one, or ("10.7") the CalendarStore one.
class CalendarSyncInterrupted : public ::testing::TestWithParam<const char *>
{
};

// Killed while it applies the phone's records (by the items in the folders), or while it sends the
// desktop's events (by the phone's records), after the listing saved the graph.
TEST_P(CalendarSyncInterrupted, AKilledRunLeavesEveryEventAndTaskOnceAfterTheNextRun)
{
    constexpr int kAllItems = kEventCount + kTaskCount + kDesktopEventCount;
    struct KillPoint
    {
        int desktopItems;
        int phoneEvents;
    };
    for (const KillPoint kill : {KillPoint{kDesktopEventCount + 1, 0}, KillPoint{kAllItems - 6, 0},
                                 KillPoint{0, kEventCount + kDesktopEventCount / 2}}) {
        SCOPED_TRACE(testing::Message() << kill.desktopItems << " items, " << kill.phoneEvents << " phone events");
        QTemporaryDir home;
        const QString root = home.filePath(QStringLiteral("Calendars"));
        fillDesktop(root);
        phonepeer::PhonePeer::Options options;
        options.port = 0;
        phonepeer::PhonePeer peer(options);
        QString problem;
        ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
        fillPhone(peer);
        const auto killWhen = [&] {
            return kill.desktopItems > 0 ? itemCount(root) >= kill.desktopItems
                                         : peer.records(Conduit::Calendar).size() >= kill.phoneEvents;
        };
        killDriverAndResume(home.path(), driverArguments(peer, root), killWhen,
                            {{QStringLiteral("TZ"), QStringLiteral("Europe/Berlin")},
                             {QStringLiteral("HM_PLATFORM_VERSION"), QString::fromLatin1(GetParam())}});
        if (HasFatalFailure())
            return;
        const QHash<QString, int> counts = summaries(root);
        ASSERT_EQ(counts.size(), kAllItems) << QStringList(counts.keys()).join(u',').toStdString();
        for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        // Each series lacks the two occurrences the phone deleted, each once.
        const QHash<QString, QByteArrayList> exclusions = exclusionsOfSeries(root);
        EXPECT_EQ(exclusions.size(), kEventCount / 10);
        for (auto it = exclusions.constBegin(); it != exclusions.constEnd(); ++it) {
            const QByteArray excluded = it.value().join(',');
            EXPECT_EQ(excluded.count(',') + 1, 2) << it.key().toStdString() << ": " << excluded.constData();
        }
        for (const Conduit conduit : {Conduit::Calendar, Conduit::Tasks}) {
            const QHash<QString, int> onPhone = phoneSubjects(peer, conduit);
            EXPECT_EQ(onPhone.size(), conduit == Conduit::Calendar ? kEventCount + kDesktopEventCount : kTaskCount);
            for (auto it = onPhone.constBegin(); it != onPhone.constEnd(); ++it)
                EXPECT_EQ(it.value(), 1) << "on the phone: " << it.key().toStdString();
        }
        peer.stop();
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, CalendarSyncInterrupted, ::testing::Values("", "10.7"),
                         [](const auto &info) { return std::string(*info.param ? "CalendarStore" : "EventKit"); });
