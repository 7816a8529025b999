// One calendar file holding many events (an exported calendar) that the phone changes: the sync
// stages its changes to the file and writes it once per page, before the identifier graph names
// them. The sync driver killed (SIGKILL) right before that write and right after it: after two more
// syncs every event exists exactly once on each side with its last content, and the events the
// phone deleted are gone from both.

#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using phonepeer::Conduit;

namespace {

constexpr int kRunLimitMs = 120000;
constexpr int kEvents = 30;

// The SUMMARY of each event in the calendar files under the folder.
QStringList summariesUnder(const QString &folder)
{
    QStringList titles;
    QDirIterator found(folder, {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (found.hasNext()) {
        QFile file(found.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = file.readAll().replace("\r\n ", "").replace("\r\n", "\n");
        for (const QByteArray &line : text.split('\n')) {
            if (line.startsWith("SUMMARY:"))
                titles.append(QString::fromUtf8(line.mid(8)));
        }
    }
    titles.sort();
    return titles;
}

class OneFileRig final
{
public:
    OneFileRig()
    {
        preparePhoneLinkTests();
        m_peer = startPhonePeer(0);
        EXPECT_TRUE(QDir().mkpath(m_home.filePath(QStringLiteral("contacts"))));
        EXPECT_TRUE(QDir().mkpath(m_home.filePath(QStringLiteral("calendars/home"))));
        // Events of the coming weeks, within every sync's range.
        QByteArray text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Another program//EN\r\n";
        const QDateTime first = QDateTime::currentDateTimeUtc().addDays(1);
        for (int index = 0; index < kEvents; ++index) {
            const QDateTime start = first.addDays(index % 20).addSecs(3600 * (index % 8));
            const QByteArray stamp = start.toString(QStringLiteral("yyyyMMdd'T'HH0000'Z'")).toLatin1();
            text += "BEGIN:VEVENT\r\nUID:one-file-" + QByteArray::number(index) +
                    "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:" + stamp + "\r\nDURATION:PT1H\r\nSUMMARY:Meeting " +
                    QByteArray::number(index) + "\r\nEND:VEVENT\r\n";
        }
        QFile file(calendarFile());
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text + "END:VCALENDAR\r\n") > 0);
    }

    ~OneFileRig() { m_peer->stop(); }

    phonepeer::PhonePeer &peer() { return *m_peer; }
    QString calendarFile() const { return m_home.filePath(QStringLiteral("calendars/home/calendar.ics")); }
    QStringList desktopTitles() const { return summariesUnder(m_home.filePath(QStringLiteral("calendars"))); }
    QStringList phoneTitles() const
    {
        QStringList titles;
        for (const phonepeer::PhoneRecord &record : m_peer->records(Conduit::Calendar))
            titles.append(record.fields.value(QStringLiteral("SUBJECT")));
        titles.sort();
        return titles;
    }

    ::testing::AssertionResult run() const
    {
        return runSyncDriverToEnd(m_home.path(), arguments(), kRunLimitMs);
    }

    // Runs the driver until it kills itself at the step (HM_SYNC_KILL_AT); answers whether it did.
    bool runToKillPoint(const QString &killPoint) const
    {
        const std::unique_ptr<QProcess> driver =
            startSyncDriver(m_home.path(), arguments(), QStringLiteral("HM_SYNC_KILL_AT=") + killPoint);
        return driver->waitForFinished(kRunLimitMs) && driver->exitStatus() == QProcess::CrashExit;
    }

private:
    QStringList arguments() const
    {
        return folderStoreDriverArguments(*m_peer, m_home.filePath(QStringLiteral("contacts")),
                                          m_home.filePath(QStringLiteral("calendars")));
    }

    QTemporaryDir m_home;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
};

class OneFileCalendarCrash : public ::testing::TestWithParam<const char *>
{
};

} // namespace

INSTANTIATE_TEST_SUITE_P(KillPoints, OneFileCalendarCrash,
                         ::testing::Values("calendar-staged:1", "calendar-written:1", "calendar-staged:2",
                                           "calendar-written:2"),
                         [](const auto &info) {
                             QString name = QString::fromLatin1(info.param);
                             return name.replace(QLatin1Char('-'), QLatin1Char('_'))
                                 .replace(QLatin1Char(':'), QLatin1Char('_'))
                                 .toStdString();
                         });

// The phone changes six events of the file and deletes two; the sync that applies them is killed at
// the step (the deletions of the id list are its first page, the changes its second).
TEST_P(OneFileCalendarCrash, EveryEventStaysOnceOnEachSideWithItsLastContent)
{
    OneFileRig rig;
    ASSERT_TRUE(rig.run());
    QStringList expected;
    for (int index = 0; index < kEvents; ++index)
        expected.append(QStringLiteral("Meeting %1").arg(index));
    expected.sort();
    ASSERT_EQ(rig.phoneTitles(), expected);
    int changed = 0;
    int deleted = 0;
    for (const phonepeer::PhoneRecord &record : rig.peer().records(Conduit::Calendar)) {
        const QString title = record.fields.value(QStringLiteral("SUBJECT"));
        const int number = title.section(QLatin1Char(' '), 1).toInt();
        if (number % 5 == 1) {
            QMap<QString, QString> fields = record.fields;
            fields.insert(QStringLiteral("SUBJECT"), title + QStringLiteral(" changed on the phone"));
            ASSERT_TRUE(rig.peer().updatePhoneRecord(Conduit::Calendar, record.uid, fields));
            expected.replace(expected.indexOf(title), title + QStringLiteral(" changed on the phone"));
            ++changed;
        } else if (number % 13 == 3) {
            ASSERT_TRUE(rig.peer().deletePhoneRecord(Conduit::Calendar, record.uid));
            expected.removeOne(title);
            ++deleted;
        }
    }
    ASSERT_EQ(changed, 6);
    ASSERT_EQ(deleted, 2);
    expected.sort();
    const QByteArray before = [&] {
        QFile file(rig.calendarFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();

    EXPECT_TRUE(rig.runToKillPoint(QString::fromLatin1(GetParam()))) << "the driver was not killed there";
    for (int sync = 0; sync < 2; ++sync)
        ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.desktopTitles(), expected);
    EXPECT_EQ(rig.phoneTitles(), expected);
    // The events stay in their one file, which changed only where the phone changed them.
    QFile file(rig.calendarFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray after = file.readAll();
    EXPECT_EQ(after.count("BEGIN:VEVENT"), kEvents - deleted);
    EXPECT_TRUE(after.contains(before.mid(before.indexOf("BEGIN:VEVENT\r\nUID:one-file-0\r\n"),
                                          before.indexOf("END:VEVENT\r\n", before.indexOf("UID:one-file-0\r\n")) + 12 -
                                              before.indexOf("BEGIN:VEVENT\r\nUID:one-file-0\r\n"))));
}
