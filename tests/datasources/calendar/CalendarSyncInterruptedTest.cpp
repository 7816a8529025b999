// A sync killed (SIGKILL) while it writes the phone's events and tasks into the iCalendar folders,
// then run again to the end, leaves every event and task exactly once on both sides.
#include "CalendarSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using phonepeer::Conduit;

namespace {

constexpr int kEventCount = 90;
constexpr int kTaskCount = 30;

QStringList driverArguments(const phonepeer::PhonePeer &peer, const QString &root)
{
    return {QStringLiteral("--create-profile"),
            QStringLiteral("--phone-id"),
            peer.deviceId(),
            QStringLiteral("--port"),
            QString::number(peer.port()),
            QStringLiteral("--calendars-folder"),
            root,
            QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"),
            QStringLiteral("--timeout"),
            QStringLiteral("60")};
}

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
        // Every tenth event is a weekly series of four.
        if (index % 10 == 0)
            fields.insert(phoneFields({{"REPEAT", QStringLiteral("2")},
                                       {"INTERVAL", QStringLiteral("1")},
                                       {"OCCURS", QStringLiteral("4")},
                                       {"REPEATEND", start.addDays(21).toString(QStringLiteral("yyyyMMdd"))}}));
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

} // namespace

// The platform version picks the road: the EventKit one, or ("10.7") the CalendarStore one.
class CalendarSyncInterrupted : public ::testing::TestWithParam<const char *>
{
};

TEST_P(CalendarSyncInterrupted, AKilledRunLeavesEveryEventAndTaskOnceAfterTheNextRun)
{
    for (const int killAtItems : {1, (kEventCount + kTaskCount) / 2, kEventCount + kTaskCount - 8}) {
        SCOPED_TRACE(killAtItems);
        QTemporaryDir home;
        const QString root = home.filePath(QStringLiteral("Calendars"));
        phonepeer::PhonePeer::Options options;
        options.port = 0;
        phonepeer::PhonePeer peer(options);
        QString problem;
        ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
        fillPhone(peer);
        killDriverAndResume(home.path(), driverArguments(peer, root), [&] { return itemCount(root) >= killAtItems; },
                            {{QStringLiteral("TZ"), QStringLiteral("Europe/Berlin")},
                             {QStringLiteral("HM_PLATFORM_VERSION"), QString::fromLatin1(GetParam())}});
        if (HasFatalFailure())
            return;
        const QHash<QString, int> counts = summaries(root);
        ASSERT_EQ(counts.size(), kEventCount + kTaskCount) << QStringList(counts.keys()).join(u',').toStdString();
        for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        EXPECT_EQ(peer.records(Conduit::Calendar).size(), kEventCount);
        EXPECT_EQ(peer.records(Conduit::Tasks).size(), kTaskCount);
        peer.stop();
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, CalendarSyncInterrupted, ::testing::Values("", "10.7"),
                         [](const auto &info) {
                             return std::string(*info.param ? "CalendarStore" : "EventKit");
                         });
