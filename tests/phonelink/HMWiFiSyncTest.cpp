// The Wi-Fi transport against the phone peer on loopback: each command end to end, and every way the
// peer misbehaves ending its command once with the right error.

#include "WiFiSyncTestSupport.h"

#include "RestKitTestSupport.h"
#include "foundation/GlobalVariables.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTimeZone>

#include <QDateTime>

#include <atomic>
#include <mutex>
#include <random>
#include <functional>
#include <thread>

using phonepeer::Conduit;
using phonepeer::Fault;
using phonepeer::FaultKind;

namespace {

HMSyncRecord newRecord(const QString &temporaryId, const QVariantMap &dictionary)
{
    HMSyncRecord record;
    record.setIsNew(true);
    record.setHmxUid(temporaryId);
    record.setDictionary(dictionary);
    return record;
}

HMSyncRecord changedRecord(const QString &uid, const QVariantMap &dictionary)
{
    HMSyncRecord record;
    record.setHmxUid(uid);
    record.setDictionary(dictionary);
    return record;
}

HMSyncRecord deletedRecord(const QString &uid)
{
    HMSyncRecord record;
    record.setIsDelete(true);
    record.setHmxUid(uid);
    return record;
}

Fault fault(FaultKind kind, const QString &path, int times = 0)
{
    Fault result;
    result.kind = kind;
    result.path = path;
    result.times = times;
    return result;
}

const QString kTrickyNote = QStringLiteral("Fish & chips\tfor two\nsecond line");

} // namespace

TEST(HMWiFiSyncCommands, LogsOnListsUpdatesAndLogsOffAgainstThePeer)
{
    PeerHarness harness;
    const QString phoneUid = harness.peer().addPhoneRecord(
        Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Ada")},
                            {QStringLiteral("NEWLNAME"), QStringLiteral("Lovelace")},
                            {QStringLiteral("NOTE"), kTrickyNote},
                            {QStringLiteral("BIRTHDAY"), QStringLiteral("19801210")}});
    const QString doomedUid = harness.peer().addPhoneRecord(
        Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Gone")}, {QStringLiteral("BIRTHDAY"), {}}});

    ASSERT_TRUE(harness.logOn()) << harness.delegate().endings().join(u',').toStdString();
    EXPECT_EQ(harness.delegate().logonReply().value(QStringLiteral("DeviceID")).toString(), harness.peer().deviceId());
    EXPECT_TRUE(harness.delegate().logonReply().contains(QStringLiteral("DeviceTime")));

    ASSERT_EQ(harness.sync().idListForConduit(1), std::optional<bool>(true));
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("listFinished:1")));
    EXPECT_EQ(harness.delegate().ids(), QStringList({phoneUid, doomedUid}));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("ids:A")), 1);
    EXPECT_EQ(harness.delegate().idRows(), QStringList({phoneUid, doomedUid}));

    ASSERT_TRUE(harness.sync().listRecordsForConduit(1, QDateTime()));
    const QList<QVariantMap> listed = harness.delegate().listedRecords();
    ASSERT_EQ(listed.size(), 2);
    const QVariantMap &ada = listed.at(0);
    EXPECT_EQ(ada.value(QStringLiteral("UID")).toString(), phoneUid);
    EXPECT_EQ(ada.value(QStringLiteral("ACTION")), QVariant(qint64(1)));
    EXPECT_EQ(ada.value(QStringLiteral("FIRSTNAME")).toString(), QStringLiteral("Ada"));
    EXPECT_EQ(ada.value(QStringLiteral("NOTE")).toString(), kTrickyNote);
    EXPECT_EQ(ada.value(QStringLiteral("NSDATEBIRTHDAY")).toDateTime(),
              QDateTime(QDate(1980, 12, 10), QTime(0, 0), Qt::UTC));
    // An empty birthday or anniversary is no date at all.
    EXPECT_FALSE(listed.at(1).contains(QStringLiteral("NSDATEBIRTHDAY")));
    EXPECT_FALSE(listed.at(1).contains(QStringLiteral("NSDATEANNIVERSARY")));
    EXPECT_FALSE(harness.delegate().remainOnList());

    QList<HMSyncRecord> records = {
        newRecord(QStringLiteral("temp-1"), {{QStringLiteral("FIRSTNAME"), QStringLiteral("Grace")},
                                              {QStringLiteral("NOTE"), kTrickyNote},
                                              {QStringLiteral("PHONE11"), QStringLiteral("not sent")}}),
        changedRecord(phoneUid, {{QStringLiteral("FIRSTNAME"), QStringLiteral("Augusta")}}),
        deletedRecord(doomedUid)};
    ASSERT_TRUE(harness.sync().updateConduit(1, records));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("update:1")), 1);
    ASSERT_EQ(harness.delegate().updateIds().size(), 1);
    const QString graceUid = harness.delegate().updateIds().at(0).value(QStringLiteral("temp-1")).toString();
    EXPECT_FALSE(graceUid.isEmpty());

    const QList<phonepeer::PhoneRecord> onPhone = harness.peer().records(Conduit::Contacts);
    ASSERT_EQ(onPhone.size(), 2);
    for (const phonepeer::PhoneRecord &record : onPhone) {
        if (record.uid == phoneUid) {
            EXPECT_EQ(record.fields.value(QStringLiteral("NEWFNAME")), QStringLiteral("Augusta"));
        } else {
            EXPECT_EQ(record.uid, graceUid);
            EXPECT_EQ(record.fields.value(QStringLiteral("NEWFNAME")), QStringLiteral("Grace"));
            EXPECT_EQ(record.fields.value(QStringLiteral("NOTE")), kTrickyNote);
            EXPECT_FALSE(record.fields.contains(QStringLiteral("PHONE11")));
        }
    }

    ASSERT_TRUE(harness.sync().logoff());
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("logoff:1")));
    EXPECT_TRUE(harness.delegate().errors().isEmpty());
    const QStringList log = harness.peer().requestLog();
    ASSERT_GE(log.size(), 2);
    // Every logon is preceded by the cancel logoff.
    EXPECT_EQ(log.at(0), QStringLiteral("/hmx_logoff"));
    EXPECT_EQ(log.at(1), QStringLiteral("/hmx_logon"));
}

TEST(HMWiFiSyncCommands, PingsThePhoneWhileLoggedOn)
{
    HMWiFiSync::Timing timing = fastTiming();
    timing.keepAliveIntervalSeconds = 0.02;
    PeerHarness harness(timing);
    ASSERT_TRUE(harness.logOn());
    const auto pings = [&harness] { return harness.peer().requestLog().count(QStringLiteral("/hmx_getdeviceinfo")); };
    ASSERT_TRUE(testsupport::waitUntil([&pings] { return pings() >= 2; }));
    ASSERT_TRUE(harness.sync().logoff());
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("logoff:1")));
    const qsizetype afterLogoff = pings();
    // A few more turns of the main queue would have fired the timer again had it still run.
    testsupport::waitUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(pings(), afterLogoff);
}

TEST(HMWiFiSyncCommands, PurgeEmptiesTheConduitOnThePhone)
{
    PeerHarness harness;
    harness.peer().addPhoneRecord(Conduit::Memos, {{QStringLiteral("SUBJECT"), QStringLiteral("memo")}});
    harness.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("task")}});
    ASSERT_TRUE(harness.logOn());
    ASSERT_TRUE(harness.sync().purge(4));
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("purge:1")));
    EXPECT_TRUE(harness.peer().records(Conduit::Memos).isEmpty());
    EXPECT_EQ(harness.peer().records(Conduit::Tasks).size(), 1);
}

TEST(HMWiFiSyncCommands, SendsUpdatesInBatchesOfAHundred)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    QList<HMSyncRecord> records;
    for (int index = 0; index < 250; ++index) {
        // Long enough that a batch is far larger than servers allow form bodies to be.
        records.append(newRecord(QStringLiteral("t%1").arg(index),
                                 {{QStringLiteral("SUBJECT"), QStringLiteral("memo %1").arg(index)},
                                  {QStringLiteral("NOTE"), QString(200, u'n') + QStringLiteral("\n@ & 100%")}}));
    }
    for (int call = 0; call < 3; ++call)
        ASSERT_TRUE(harness.sync().updateConduit(4, records));
    // writeRemainOnUpdateConduit(false) opens every call; each batch then says whether more follow.
    EXPECT_EQ(harness.delegate().remainOnUpdate(), QList<bool>({false, true, false, true, false, false}));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("update:1")), 1);
    ASSERT_EQ(harness.delegate().updateIds().size(), 3);
    EXPECT_EQ(harness.delegate().updateIds().at(0).size(), 100);
    EXPECT_EQ(harness.delegate().updateIds().at(2).size(), 50);
    EXPECT_EQ(harness.peer().records(Conduit::Memos).size(), 250);
    EXPECT_EQ(harness.peer().requestLog().count(QStringLiteral("/hmx_update")), 3);
}

TEST(HMWiFiSyncCommands, ADeletionOnlyCalendarBatchKeepsItsDeletions)
{
    PeerHarness harness;
    const QString eventUid = harness.peer().addPhoneRecord(
        Conduit::Calendar, {{QStringLiteral("SUBJECT"), QStringLiteral("Dentist")},
                            {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20260310")},
                            {QStringLiteral("GMTENDDATE"), QStringLiteral("20260310")}});
    ASSERT_TRUE(harness.logOn());
    QList<HMSyncRecord> records = {deletedRecord(eventUid)};
    ASSERT_TRUE(harness.sync().updateConduit(2, records));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("update:1")), 1);
    EXPECT_TRUE(harness.peer().records(Conduit::Calendar).isEmpty());
}

TEST(HMWiFiSyncCommands, CalendarRecordsTravelBothWaysWithTheirDates)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    const QDateTime start(QDate(2026, 3, 10), QTime(9, 30), Qt::UTC);
    QList<HMSyncRecord> records = {
        newRecord(QStringLiteral("e1"), {{QStringLiteral("SUBJECT"), QStringLiteral("Standup")},
                                         {QStringLiteral("NSDATESTARTDATE"), start},
                                         {QStringLiteral("NSDATEENDDATE"), start.addSecs(900)},
                                         {QStringLiteral("TYPENUMBER"), false}}),
        newRecord(QStringLiteral("e2"), {{QStringLiteral("SUBJECT"), QStringLiteral("No start")}})};
    ASSERT_TRUE(harness.sync().updateConduit(2, records));
    const QList<phonepeer::PhoneRecord> onPhone = harness.peer().records(Conduit::Calendar);
    ASSERT_EQ(onPhone.size(), 1) << "an event without a start date is not sent";
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("GMTSTARTDATE")), QStringLiteral("20260310"));
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("GMTSTARTTIME")), QStringLiteral("09:30:00"));
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("ALARMTIME")), QStringLiteral("-1"));
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("TYPE")), QStringLiteral("0"));

    harness.peer().addPhoneRecord(Conduit::Calendar, {{QStringLiteral("SUBJECT"), QStringLiteral("Holiday")},
                                                      {QStringLiteral("TYPE"), QStringLiteral("1")},
                                                      {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20260310")},
                                                      {QStringLiteral("GMTSTARTTIME"), QStringLiteral("03:00:00")},
                                                      {QStringLiteral("GMTENDDATE"), QStringLiteral("20260310")},
                                                      {QStringLiteral("GMTENDTIME"), QStringLiteral("04:00:00")}});
    ASSERT_TRUE(harness.sync().listRecordsForConduit(2, QDateTime()));
    QVariantMap holiday;
    for (const QVariantMap &record : harness.delegate().listedRecords()) {
        if (record.value(QStringLiteral("SUBJECT")) == QStringLiteral("Holiday"))
            holiday = record;
    }
    ASSERT_FALSE(holiday.isEmpty());
    // An all-day event runs from noon GMT of its day to noon GMT of the next.
    EXPECT_EQ(holiday.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(),
              QDateTime(QDate(2026, 3, 10), QTime(12, 0), Qt::UTC));
    EXPECT_EQ(holiday.value(QStringLiteral("NSDATEENDDATE")).toDateTime(),
              QDateTime(QDate(2026, 3, 11), QTime(12, 0), Qt::UTC));
    EXPECT_EQ(holiday.value(QStringLiteral("TYPENUMBER")), QVariant(true));
    EXPECT_EQ(holiday.value(QStringLiteral("NSNUMBERALARMTIME")), QVariant(qint64(0)));
}

// The content hash of a listed record, and of one about to be sent, is the stored check that tells a
// record we wrote when the phone lists it back: its bytes are fixed (they are kept in the identifier
// graphs) for fields in any script, empty fields, encoded tabs and ampersands, and the fields it
// leaves out (id, action, stamp). A record sent and listed back unchanged hashes alike.
TEST(HMWiFiSyncCommands, ContentHashesOfListedAndSentRecordsKeepTheirBytes)
{
    PeerHarness harness;
    const QString zoeUid = harness.peer().addPhoneRecord(
        Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Zo\u00eb")},
                            {QStringLiteral("NEWLNAME"), QStringLiteral("\u03a9mega \U0001F600")},
                            {QStringLiteral("NOTE"), kTrickyNote},
                            {QStringLiteral("COMPANY"), QString()},
                            {QStringLiteral("BIRTHDAY"), QStringLiteral("19801210")}});
    const QString eventUid = harness.peer().addPhoneRecord(
        Conduit::Calendar, {{QStringLiteral("SUBJECT"), QStringLiteral("Caf\u00e9 & cake")},
                            {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20260310")},
                            {QStringLiteral("GMTSTARTTIME"), QStringLiteral("09:30:00")},
                            {QStringLiteral("GMTENDDATE"), QStringLiteral("20260310")},
                            {QStringLiteral("GMTENDTIME"), QStringLiteral("10:00:00")}});
    ASSERT_TRUE(harness.logOn());
    ASSERT_TRUE(harness.sync().listRecordsForConduit(1, QDateTime()));
    ASSERT_TRUE(harness.sync().listRecordsForConduit(2, QDateTime()));
    QMap<QString, QString> listed;
    for (const QVariantMap &record : harness.delegate().listedRecords())
        listed.insert(record.value(QStringLiteral("UID")).toString(), record.value(kHMListedContentKey).toString());
    EXPECT_EQ(listed.value(zoeUid), QStringLiteral("78fc55e3b50ab3b0f54b79f5ee8abdf07a7137fc")) << listed.value(zoeUid).toStdString();
    EXPECT_EQ(listed.value(eventUid), QStringLiteral("1ee80578acfdc3b52affc69db4031367fc858f12")) << listed.value(eventUid).toStdString();

    harness.delegate().clear();
    QList<HMSyncRecord> records = {newRecord(QStringLiteral("temp-1"), {{QStringLiteral("FIRSTNAME"), QStringLiteral("Gr\u00e2ce")},
                                                                         {QStringLiteral("LASTNAME"), QStringLiteral("\U0001F600")},
                                                                         {QStringLiteral("NOTE"), kTrickyNote},
                                                                         {QStringLiteral("COMPANY"), QString()}})};
    ASSERT_TRUE(harness.sync().updateConduit(1, records));
    const QString sent = harness.delegate().sentContents().value(QStringLiteral("temp-1"));
    EXPECT_EQ(sent, QStringLiteral("d6caf032677ae20988292cd9ac7bf4e4dc0da262")) << sent.toStdString();
    ASSERT_EQ(harness.delegate().updateIds().size(), 1);
    const QString graceUid = harness.delegate().updateIds().at(0).value(QStringLiteral("temp-1")).toString();
    harness.delegate().clear();
    ASSERT_TRUE(harness.sync().listRecordsForConduit(1, QDateTime()));
    for (const QVariantMap &record : harness.delegate().listedRecords()) {
        if (record.value(QStringLiteral("UID")).toString() == graceUid) {
            EXPECT_EQ(record.value(kHMListedContentKey).toString(), sent);
        }
    }
}

// A task's start day and reminder go to the phone as "yyyyMMdd" and "yyyy-MM-dd HH:mm:ss" and come
// back as the same dates; a day written "yyyy-MM-dd" is read too, at midnight.
TEST(HMWiFiSyncCommands, TaskStartsAndRemindersComeBackInTheFormsTheyWereSent)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    const QDateTime start(QDate(2026, 3, 9), QTime(0, 0), QTimeZone::systemTimeZone());
    const QDateTime reminder(QDate(2026, 3, 10), QTime(8, 45), QTimeZone::systemTimeZone());
    const QDateTime due(QDate(2026, 3, 11), QTime(0, 0), QTimeZone::systemTimeZone());
    QList<HMSyncRecord> records = {newRecord(QStringLiteral("t1"), {{QStringLiteral("SUBJECT"), QStringLiteral("Taxes")},
                                                                   {QStringLiteral("NSDATESTARTDATE"), start},
                                                                   {QStringLiteral("DUEDATE"), due},
                                                                   {QStringLiteral("NSDATEALARMDATE"), reminder}})};
    ASSERT_TRUE(harness.sync().updateConduit(3, records));
    const QList<phonepeer::PhoneRecord> onPhone = harness.peer().records(Conduit::Tasks);
    ASSERT_EQ(onPhone.size(), 1);
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("STARTDATE")), QStringLiteral("20260309"));
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("DUEDATE")), QStringLiteral("20260311"));
    EXPECT_EQ(onPhone.at(0).fields.value(QStringLiteral("ALARMTIME")), QStringLiteral("2026-03-10 08:45:00"));

    harness.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Dashed")},
                                                   {QStringLiteral("STARTDATE"), QStringLiteral("2026-03-12")},
                                                   {QStringLiteral("ALARMTIME"), QStringLiteral("2026-03-13")}});
    harness.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Broken")},
                                                   {QStringLiteral("STARTDATE"), QStringLiteral("soon")},
                                                   {QStringLiteral("ALARMTIME"), QStringLiteral("later")}});
    harness.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Blank")},
                                                   {QStringLiteral("STARTDATE"), {}},
                                                   {QStringLiteral("DUEDATE"), {}},
                                                   {QStringLiteral("ALARMTIME"), {}}});
    ASSERT_TRUE(harness.sync().listRecordsForConduit(3, QDateTime()));
    QHash<QString, QVariantMap> listed;
    for (const QVariantMap &record : harness.delegate().listedRecords())
        listed.insert(record.value(QStringLiteral("SUBJECT")).toString(), record);
    ASSERT_EQ(listed.size(), 4);
    EXPECT_EQ(listed.value(QStringLiteral("Taxes")).value(QStringLiteral("NSDATESTARTDATE")), QVariant(start));
    EXPECT_EQ(listed.value(QStringLiteral("Taxes")).value(QStringLiteral("NSDATEALARMDATE")), QVariant(reminder));
    EXPECT_EQ(listed.value(QStringLiteral("Taxes")).value(QStringLiteral("DUEDATE")), QVariant(due));
    EXPECT_EQ(listed.value(QStringLiteral("Dashed")).value(QStringLiteral("NSDATESTARTDATE")),
              QVariant(QDateTime(QDate(2026, 3, 12), QTime(0, 0), QTimeZone::systemTimeZone())));
    EXPECT_EQ(listed.value(QStringLiteral("Dashed")).value(QStringLiteral("NSDATEALARMDATE")),
              QVariant(QDateTime(QDate(2026, 3, 13), QTime(0, 0), QTimeZone::systemTimeZone())));
    // Text that is no date: the start stays as it came, the reminder goes.
    EXPECT_EQ(listed.value(QStringLiteral("Broken")).value(QStringLiteral("NSDATESTARTDATE")), QVariant(QStringLiteral("soon")));
    EXPECT_FALSE(listed.value(QStringLiteral("Broken")).contains(QStringLiteral("NSDATEALARMDATE")));
    // Empty texts: the start stays empty, the reminder and the due day go.
    EXPECT_EQ(listed.value(QStringLiteral("Blank")).value(QStringLiteral("NSDATESTARTDATE")), QVariant(QString()));
    EXPECT_FALSE(listed.value(QStringLiteral("Blank")).contains(QStringLiteral("NSDATEALARMDATE")));
    EXPECT_FALSE(listed.value(QStringLiteral("Blank")).contains(QStringLiteral("DUEDATE")));
}

TEST(HMWiFiSyncCommands, PagesOfFiveHundredTwelveFollowTheIdListCount)
{
    PeerHarness harness;
    for (int index = 0; index < 600; ++index)
        harness.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("t%1").arg(index)}});
    ASSERT_TRUE(harness.logOn());
    ASSERT_EQ(harness.sync().idListForConduit(3), std::optional<bool>(true));
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("listFinished:1")));
    ASSERT_TRUE(harness.sync().listRecordsForConduit(3, QDateTime()));
    EXPECT_EQ(harness.delegate().listedRecords().size(), 512);
    EXPECT_TRUE(harness.delegate().remainOnList());
    ASSERT_TRUE(harness.sync().listRecordsForConduit(3, QDateTime()));
    EXPECT_EQ(harness.delegate().listedRecords().size(), 600);
    EXPECT_FALSE(harness.delegate().remainOnList());
}

// Each misbehaviour of the peer ends its command exactly once, with the outcome a sync controller
// needs to end the run, and the error the user is shown.
TEST(HMWiFiSyncMisbehavingPeer, EveryFaultEndsItsCommandOnce)
{
    enum class Command { Logon, Purge, IdList, List, Update, Logoff };
    struct Row
    {
        const char *name;
        FaultKind kind;
        const char *path;
        Command command;
        const char *ending;
        quint64 errorCode;
        const char *message; // nullptr: no text, the controller supplies its own
    };
    const Row rows[] = {
        {"logon FAIL", FaultKind::Fail, "/hmx_logon", Command::Logon, "stop", 6, "Quillpad Error: Peer told to fail"},
        {"empty logon", FaultKind::Empty, "/hmx_logon", Command::Logon, "logon:0", 6, "The phone gave no logon reply."},
        {"purge FAIL", FaultKind::Fail, "/hmx_purge", Command::Purge, "stop", 6, "Peer told to fail"},
        {"purge always empty", FaultKind::Empty, "/hmx_purge", Command::Purge, "purge:0", 6, nullptr},
        {"id list FAIL", FaultKind::Fail, "/hmx_list", Command::IdList, "listFinished:0", 6, "Peer told to fail"},
        {"id list always empty", FaultKind::Empty, "/hmx_list", Command::IdList, "idListFinished:0", 6, nullptr},
        {"page FAIL", FaultKind::Fail, "/hmx_list", Command::List, "listFinished:0", 6, "Peer told to fail"},
        {"page always empty", FaultKind::Empty, "/hmx_list", Command::List, "listFinished:0", 6, nullptr},
        {"page always dropped", FaultKind::Drop, "/hmx_list", Command::List, "listFinished:0", 3,
         "The network connection was lost."},
        {"update FAIL", FaultKind::Fail, "/hmx_update", Command::Update, "update:0", 0, nullptr},
        {"update dropped", FaultKind::Drop, "/hmx_update", Command::Update, "update:0", 6,
         "The network connection was lost."},
        {"update empty", FaultKind::Empty, "/hmx_update", Command::Update, "update:0", 0, nullptr},
        {"logoff FAIL", FaultKind::Fail, "/hmx_logoff", Command::Logoff, "logoff:0", 6,
         "Quillpad Error: FAIL\nPeer told to fail"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PeerHarness harness;
        harness.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Ada")}});
        if (row.command != Command::Logon) {
            ASSERT_TRUE(harness.logOn());
        }
        harness.delegate().clear();
        harness.peer().addFault(fault(row.kind, QString::fromLatin1(row.path)));
        QList<HMSyncRecord> records = {newRecord(QStringLiteral("t1"), {{QStringLiteral("FIRSTNAME"), QStringLiteral("Bo")}}),
                                       newRecord(QStringLiteral("t2"), {{QStringLiteral("FIRSTNAME"), QStringLiteral("Cy")}})};
        switch (row.command) {
        case Command::Logon:
            harness.sync().logon();
            break;
        case Command::Purge:
            harness.sync().purge(1);
            break;
        case Command::IdList:
            harness.sync().idListForConduit(1);
            break;
        case Command::List:
            harness.sync().listRecordsForConduit(1, QDateTime());
            break;
        case Command::Update:
            harness.sync().updateConduit(1, records);
            break;
        case Command::Logoff:
            harness.sync().logoff();
            break;
        }
        const QString ending = QString::fromLatin1(row.ending);
        ASSERT_TRUE(harness.delegate().waitFor(ending)) << harness.delegate().endings().join(u',').toStdString();
        // Nothing else ends the command later.
        testsupport::waitUntil([] { return false; }, std::chrono::milliseconds(100));
        const QStringList endings = harness.delegate().endings();
        EXPECT_EQ(harness.delegate().count(ending), 1) << endings.join(u',').toStdString();
        EXPECT_FALSE(endings.contains(QStringLiteral("update:1")) || endings.contains(QStringLiteral("listFinished:1")) ||
                     endings.contains(QStringLiteral("logoff:1")) || endings.contains(QStringLiteral("purge:1")))
            << endings.join(u',').toStdString();
        const QList<RecordingSyncDelegate::Error> errors = harness.delegate().errors();
        if (row.errorCode == 0) {
            EXPECT_TRUE(errors.isEmpty()) << endings.join(u',').toStdString();
            continue;
        }
        ASSERT_EQ(errors.size(), 1) << endings.join(u',').toStdString();
        EXPECT_EQ(errors.at(0).code, row.errorCode);
        if (row.message == nullptr) {
            EXPECT_TRUE(errors.at(0).message.isEmpty()) << errors.at(0).message.toStdString();
        } else {
            EXPECT_TRUE(errors.at(0).message.startsWith(QString::fromLatin1(row.message)))
                << errors.at(0).message.toStdString();
        }
    }
}

TEST(HMWiFiSyncMisbehavingPeer, AnUpdateThatWasCutOffIsNotSentTwice)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    harness.peer().addFault(fault(FaultKind::Drop, QStringLiteral("/hmx_update"), 1));
    QList<HMSyncRecord> records;
    for (int index = 0; index < 150; ++index)
        records.append(newRecord(QStringLiteral("t%1").arg(index), {{QStringLiteral("SUBJECT"), QStringLiteral("m")}}));
    ASSERT_TRUE(harness.sync().updateConduit(4, records));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("update:0")), 1);
    // The phone applied the batch before the connection broke; a resend would have added it twice,
    // and the failed batch stops the conduit's later batches.
    EXPECT_EQ(harness.peer().records(Conduit::Memos).size(), 100);
    EXPECT_EQ(harness.peer().requestLog().count(QStringLiteral("/hmx_update")), 1);
    EXPECT_EQ(harness.delegate().remainOnUpdate().last(), false);
}

TEST(HMWiFiSyncMisbehavingPeer, OneEmptyReplyOrLostConnectionIsResentAndRecovers)
{
    for (const FaultKind kind : {FaultKind::Empty, FaultKind::Drop}) {
        SCOPED_TRACE(kind == FaultKind::Empty ? "empty" : "dropped");
        PeerHarness harness;
        harness.peer().addPhoneRecord(Conduit::Memos, {{QStringLiteral("SUBJECT"), QStringLiteral("kept")}});
        ASSERT_TRUE(harness.logOn());
        harness.peer().addFault(fault(kind, QStringLiteral("/hmx_list"), 1));
        ASSERT_TRUE(harness.sync().listRecordsForConduit(4, QDateTime()));
        EXPECT_EQ(harness.delegate().count(QStringLiteral("listFinished:1")), 1);
        EXPECT_EQ(harness.delegate().listedRecords().size(), 1);
        EXPECT_TRUE(harness.delegate().errors().isEmpty());
    }
}

// A page with a malformed row is not a shorter page: it applies nothing and fails the list, so the
// phone's changes after the row are not lost when the sync ends.
TEST(HMWiFiSyncMisbehavingPeer, AMalformedRowFailsThePageWhole)
{
    PeerHarness harness;
    for (int index = 0; index < 3; ++index)
        harness.peer().addPhoneRecord(Conduit::Memos, {{QStringLiteral("SUBJECT"), QStringLiteral("m%1").arg(index)}});
    ASSERT_TRUE(harness.logOn());
    harness.peer().addFault(fault(FaultKind::MalformedRows, QStringLiteral("/hmx_list")));
    ASSERT_TRUE(harness.sync().listRecordsForConduit(4, QDateTime()));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("listFinished:0")), 1);
    EXPECT_TRUE(harness.delegate().listedRecords().isEmpty());
    ASSERT_EQ(harness.delegate().errors().size(), 1);
    EXPECT_TRUE(harness.delegate().errors().at(0).message.contains(QStringLiteral("row 2 has")))
        << harness.delegate().errors().at(0).message.toStdString();
}

TEST(HMWiFiSyncMisbehavingPeer, ASlowPhoneTimesOutTheLogon)
{
    HMWiFiSync::Timing timing = fastTiming();
    timing.logonTimeoutSeconds = 0.3;
    PeerHarness harness(timing);
    Fault slow = fault(FaultKind::Delay, QStringLiteral("/hmx_logon"));
    slow.delayMs = 3000;
    harness.peer().addFault(slow);
    harness.sync().logon();
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("logon:0")));
    ASSERT_EQ(harness.delegate().errors().size(), 1);
    EXPECT_EQ(harness.delegate().errors().at(0).code, 3u);
    EXPECT_TRUE(GlobalVariables::getQuillnestErrorStatus());
}

TEST(HMWiFiSyncMisbehavingPeer, AVanishedPhoneEndsEachCommandWithinTheConnectionWindow)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    harness.stopPeer();
    harness.delegate().clear();
    harness.sync().idListForConduit(1);
    ASSERT_TRUE(harness.delegate().waitFor(QStringLiteral("idListFinished:0")));
    ASSERT_TRUE(harness.sync().listRecordsForConduit(1, QDateTime()));
    QList<HMSyncRecord> records = {newRecord(QStringLiteral("t1"), {{QStringLiteral("FIRSTNAME"), QStringLiteral("Bo")}})};
    ASSERT_TRUE(harness.sync().updateConduit(1, records));
    EXPECT_EQ(harness.delegate().endings(),
              QStringList({QStringLiteral("error:3"), QStringLiteral("idListFinished:0"), QStringLiteral("error:3"),
                           QStringLiteral("listFinished:0"), QStringLiteral("error:3"), QStringLiteral("update:0")}));
}

TEST(HMWiFiSyncMisbehavingPeer, ForceCancelEndsAWaitingPage)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    Fault slow = fault(FaultKind::Delay, QStringLiteral("/hmx_list"));
    slow.delayMs = 5000;
    harness.peer().addFault(slow);
    std::thread canceller([&harness] {
        testsupport::waitUntil([&harness] { return harness.peer().requestLog().contains(QStringLiteral("/hmx_list")); });
        harness.sync().forceCancel();
    });
    EXPECT_TRUE(harness.sync().listRecordsForConduit(1, QDateTime()));
    canceller.join();
    EXPECT_EQ(harness.delegate().count(QStringLiteral("forceCancelled")), 1);
    ASSERT_EQ(harness.delegate().errors().size(), 1);
    EXPECT_EQ(harness.delegate().errors().at(0).code, 2u);
    EXPECT_EQ(harness.delegate().count(QStringLiteral("listFinished:1")), 0);
}

TEST(HMWiFiSyncProfile, NeedsAnAddressAndADeviceName)
{
    preparePhoneLinkTests();
    QString message;
    EXPECT_FALSE(HMWiFiSync(HMWiFiSync::ConnectionSettings{2, QString(), QStringLiteral("phone"), {}})
                     .verifyProfileIsValid(message));
    EXPECT_FALSE(message.isEmpty());
    EXPECT_TRUE(HMWiFiSync(HMWiFiSync::ConnectionSettings{1, QStringLiteral("10.0.0.2"), QStringLiteral("phone"), {}})
                    .verifyProfileIsValid(message));
    const HMWiFiSync cloud(HMWiFiSync::ConnectionSettings{3, QStringLiteral("10.0.0.2"), QStringLiteral("phone"), {}});
    EXPECT_EQ(cloud.serverPort(), 0);
    EXPECT_TRUE(cloud.serverIp().isEmpty());
}

TEST(HMWiFiSyncProfile, ReadsThePairedPhoneFromTheProfile)
{
    preparePhoneLinkTests();
    auto profile = std::make_shared<HMProfile>();
    profile->setDeviceType(HMDeviceType::Android);
    profile->setHhPassword(QStringLiteral("QP-1234"));
    profile->setHhIpAddress(QStringLiteral("192.168.1.20"));
    const std::unique_ptr<HMWiFiSync> sync =
        HMWiFiSync::initWithConfiguration(std::make_shared<HMDataConfigurationSource>(nullptr, profile));
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->serverUrl(), QStringLiteral("http://192.168.1.20:8090"));
    // The phone's id goes in both credential fields.
    EXPECT_EQ(sync->postParameterDictionary(),
              QVariantMap({{QStringLiteral("password"), QStringLiteral("QP-1234")},
                           {QStringLiteral("Username"), QStringLiteral("QP-1234")}}));
}

// Replies no well-behaved phone sends, from a scripted server.
TEST(HMWiFiSyncReplies, LogonAndUpdateRepliesAreReadAsThePhoneMeansThem)
{
    preparePhoneLinkTests();
    struct Row
    {
        const char *name;
        const char *path;
        const char *reply;
        const char *ending;
        const char *expectation; // logon: the reply's keys; update: the ids read
    };
    const Row rows[] = {
        {"logon with CR LF", "/hmx_logon", "OK\r\nDeviceID=abc\r\n", "logon:0", ""},
        {"busy logon", "/hmx_logon", "BUSY\n", "logon:0", ""},
        {"unknown logon keys", "/hmx_logon", "OK\nDeviceID=abc\nColor=red\n", "logon:1", "DeviceID=abc"},
        {"blank lines before OK", "/hmx_logon", "\n\nOK\nOS=Android\n", "logon:1", "OS=Android"},
        {"two ids then OK", "/hmx_update", "t1\tp1\nt2\tp2\nOK", "update:1", "t1=p1,t2=p2"},
        // A new record the reply leaves out gets no answer: the next sync looks for it on the phone.
        {"OK with a line end", "/hmx_update", "t1\tp1\nOK\n", "update:1", "t1=p1"},
        // An id for a record that was not in the batch settles nothing.
        {"an id not asked for", "/hmx_update", "t1\tp1\nt2\tp2\nt9\tp9\nOK", "update:1", "t1=p1,t2=p2"},
        {"FAIL after ids", "/hmx_update", "t1\tp1\nFAIL", "update:0", ""},
        {"no status word", "/hmx_update", "t1\tp1\n", "update:0", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackServer server;
        const std::string reply = row.reply;
        server.server().Post(row.path, [reply](const httplib::Request &, httplib::Response &response) {
            response.set_content(reply, "text/plain");
        });
        server.server().Post("/hmx_logoff", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("OK\n", "text/plain");
        });
        server.start();
        RecordingSyncDelegate delegate;
        HMWiFiSync sync(HMWiFiSync::ConnectionSettings{2, QStringLiteral("127.0.0.1"), QStringLiteral("p"), {}},
                        fastTiming());
        sync.setServerPort(server.port());
        sync.setDelegate(&delegate);
        QString error;
        sync.setup(error);
        const QString ending = QString::fromLatin1(row.ending);
        QStringList seen;
        if (QByteArray(row.path) == "/hmx_logon") {
            sync.logon();
            ASSERT_TRUE(delegate.waitFor(ending)) << delegate.endings().join(u',').toStdString();
            // A refused logon is an error the user is shown, not a quiet end.
            EXPECT_EQ(delegate.errors().isEmpty(), ending == QLatin1String("logon:1"));
            const QVariantMap replyKeys = delegate.logonReply();
            for (auto it = replyKeys.begin(); it != replyKeys.end(); ++it)
                seen.append(it.key() + u'=' + it.value().toString());
        } else {
            QList<HMSyncRecord> records = {newRecord(QStringLiteral("t1"), {}), newRecord(QStringLiteral("t2"), {})};
            sync.updateConduit(4, records);
            EXPECT_EQ(delegate.count(ending), 1) << delegate.endings().join(u',').toStdString();
            for (const QVariantMap &ids : delegate.updateIds()) {
                for (auto it = ids.begin(); it != ids.end(); ++it)
                    seen.append(it.key() + u'=' + it.value().toString());
            }
        }
        EXPECT_EQ(seen.join(u','), QString::fromLatin1(row.expectation));
    }
}

namespace {

// A transport for a hand-written phone on a loopback server: the rows of a page it answers, or a
// status and body for every path.
struct HostilePhone
{
    LoopbackServer server;
    RecordingSyncDelegate delegate;
    std::unique_ptr<HMWiFiSync> sync;

    explicit HostilePhone(const std::function<void(const httplib::Request &, httplib::Response &)> &answer)
    {
        server.server().Post(R"(/hmx_[a-z]+)", answer);
        server.start();
        sync = std::make_unique<HMWiFiSync>(
            HMWiFiSync::ConnectionSettings{2, QStringLiteral("127.0.0.1"), QStringLiteral("p"), {}}, fastTiming());
        sync->setServerPort(server.port());
        sync->setDelegate(&delegate);
        QString error;
        (void)sync->setup(error);
    }
};

// A page reply of memo rows: "ACTION", "UID", "SUBJECT" and the given extra columns.
std::string memoPage(int rows, int unknownColumns, qsizetype subjectLength)
{
    QString text = QStringLiteral("OK\nCount=%1\nList=Memos\nACTION\tUID\tSUBJECT").arg(rows);
    for (int column = 0; column < unknownColumns; ++column)
        text += QStringLiteral("\tX%1").arg(column);
    text += u'\n';
    for (int row = 0; row < rows; ++row) {
        text += QStringLiteral("add\tM%1\t").arg(row) + QString(subjectLength, u's');
        for (int column = 0; column < unknownColumns; ++column)
            text += QStringLiteral("\tv");
        text += u'\n';
    }
    return text.toStdString();
}

} // namespace

// A redirect or an error status is no answer from the phone, whatever its body says: the command fails
// and the body goes nowhere else.
TEST(HMWiFiSyncHostilePhone, RedirectsAndErrorStatusesAreErrors)
{
    struct Row
    {
        const char *name;
        int status;
    };
    const Row rows[] = {{"307 to another host", 307}, {"301", 301}, {"OK under 500", 500}, {"OK under 404", 404}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackServer elsewhere;
        std::atomic<int> redirected = 0;
        elsewhere.server().Post(R"(/.*)", [&redirected](const httplib::Request &, httplib::Response &response) {
            ++redirected;
            response.set_content("OK\nDeviceID=x\n", "text/plain");
        });
        elsewhere.start();
        const std::string location = elsewhere.baseUrl().toStdString() + "/hmx_logon";
        const int status = row.status;
        HostilePhone phone([status, location](const httplib::Request &, httplib::Response &response) {
            response.status = status;
            if (status / 100 == 3)
                response.set_header("Location", location);
            response.set_content("OK\nDeviceID=abc\n", "text/plain");
        });
        phone.sync->logon();
        ASSERT_TRUE(phone.delegate.waitFor(QStringLiteral("logon:0"))) << phone.delegate.endings().join(u',').toStdString();
        ASSERT_FALSE(phone.delegate.errors().isEmpty());
        EXPECT_TRUE(phone.delegate.errors().last().message.contains(QStringLiteral("HTTP status %1").arg(row.status)))
            << phone.delegate.errors().last().message.toStdString();
        EXPECT_EQ(redirected.load(), 0);
    }
}

// A page is bounded: rows past the 512 asked for are ignored, unknown fields are dropped, and values
// are cut at 64 Ki characters; a reply past the size limit fails the page.
TEST(HMWiFiSyncHostilePhone, PagesAreBoundedInRowsFieldsAndSize)
{
    struct Row
    {
        const char *name;
        int rows;
        int unknownColumns;
        qsizetype subjectLength;
        bool isListed;
    };
    const Row rows[] = {{"rows past the limit", 700, 0, 8, true},
                        {"thousands of unknown fields", 20, 5000, 8, true},
                        {"an overlong value", 2, 0, 100000, true},
                        {"a reply past the size limit", 600, 0, 20000, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string page = memoPage(row.rows, row.unknownColumns, row.subjectLength);
        HostilePhone phone([&page](const httplib::Request &, httplib::Response &response) {
            response.set_content(page, "text/plain");
        });
        ASSERT_TRUE(phone.sync->listRecordsForConduit(4, QDateTime()));
        const QList<QVariantMap> listed = phone.delegate.listedRecords();
        if (!row.isListed) {
            EXPECT_TRUE(listed.isEmpty());
            EXPECT_EQ(phone.delegate.count(QStringLiteral("listFinished:0")), 1);
            continue;
        }
        EXPECT_EQ(listed.size(), std::min(row.rows, 512));
        for (const QVariantMap &record : listed) {
            EXPECT_FALSE(record.contains(QStringLiteral("X0")));
            // Values are kept whole: only the reply as a whole is bounded.
            EXPECT_EQ(record.value(QStringLiteral("SUBJECT")).toString().size(), row.subjectLength);
        }
    }
}

// Each add of a batch goes out once even when the phone hangs up without any reply: the phone may have
// stored it, and only the next sync's matching may send it again.
TEST(HMWiFiSyncMisbehavingPeer, AnUpdateWithoutAnyReplyIsNotSentAgain)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    harness.peer().addFault(fault(FaultKind::DropBefore, QStringLiteral("/hmx_update"), 1));
    QList<HMSyncRecord> records = {newRecord(QStringLiteral("t1"), {{QStringLiteral("SUBJECT"), QStringLiteral("m")}})};
    ASSERT_TRUE(harness.sync().updateConduit(4, records));
    EXPECT_EQ(harness.delegate().count(QStringLiteral("update:0")), 1);
    EXPECT_EQ(harness.peer().requestLog().count(QStringLiteral("/hmx_update")), 1);
}

// Every command's body, byte for byte: the field names, their order, the escaping of record values and
// the product code ("HMMAC" and the version's first digit, then "0").
TEST(HMWiFiSyncWire, EveryCommandBodyIsExactlyWhatThePhoneReads)
{
    std::mutex mutex;
    QList<std::pair<QString, QByteArray>> received;
    HostilePhone phone([&](const httplib::Request &request, httplib::Response &response) {
        {
            const std::lock_guard lock(mutex);
            received.append({QString::fromStdString(request.path), QByteArray::fromStdString(request.body)});
        }
        if (request.path == "/hmx_logon")
            response.set_content("OK\nDeviceID=x\n", "text/plain");
        else if (request.path == "/hmx_list")
            response.set_content("OK\nCount=0\nList=Contacts\nACTION\tUID\n", "text/plain");
        else if (request.path == "/hmx_update")
            response.set_content("t1\tP1\nOK", "text/plain");
        else
            response.set_content("OK\n", "text/plain");
    });
    phone.sync->logon();
    ASSERT_TRUE(phone.delegate.waitFor(QStringLiteral("logon:1")));
    phone.sync->purge(1);
    ASSERT_TRUE(phone.delegate.waitFor(QStringLiteral("purge:1")));
    phone.sync->idListForConduit(1);
    ASSERT_TRUE(phone.delegate.waitFor(QStringLiteral("listFinished:1")));
    ASSERT_TRUE(phone.sync->listRecordsForConduit(1, QDateTime(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC)));
    QList<HMSyncRecord> records = {newRecord(QStringLiteral("t1"), {{QStringLiteral("FIRSTNAME"), QStringLiteral("Ann")},
                                                                    {QStringLiteral("NOTE"), QStringLiteral("a&b\tc")}})};
    ASSERT_TRUE(phone.sync->updateConduit(1, records));
    phone.sync->logoff();
    ASSERT_TRUE(phone.delegate.waitFor(QStringLiteral("logoff:1")));

    const QList<std::pair<QString, QByteArray>> expected = {
        {QStringLiteral("/hmx_logoff"), "canceled=1"},
        {QStringLiteral("/hmx_logon"), "build=0001&hmproductcode=HMMAC10&logging=1&source=apple"},
        {QStringLiteral("/hmx_purge"), "Username=&conduit=A&password=p&"},
        {QStringLiteral("/hmx_list"), "Username=&conduit=A&mode=idlist&password=p&"},
        {QStringLiteral("/hmx_list"), "Limit=512&Offset=0&Username=&conduit=A&modified=2026-12-01 10:00:00&password=p&"},
        {QStringLiteral("/hmx_update"), "Command=login&Username=&password=p&Percent=100\n"
                                        "Command=ContactAdd&UID=t1&NEWFNAME=Ann&NOTE=a\x07" "b\x06" "c&HASALARM=1\n"},
        {QStringLiteral("/hmx_logoff"), "cancelled=0"},
    };
    const std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), expected.size());
    for (qsizetype index = 0; index < expected.size(); ++index) {
        SCOPED_TRACE(expected.at(index).first.toStdString());
        EXPECT_EQ(received.at(index).first, expected.at(index).first);
        EXPECT_EQ(received.at(index).second.toStdString(), expected.at(index).second.toStdString());
    }
}

// The count of a list reply's rows is what a case-blind search for each row word and its tab finds,
// over lists whose words sit anywhere, in any case, glued to other words or cut short at the end.
TEST(HMWiFiSyncReplies, ListRowsAreCountedAsEachRowWordWithItsTab)
{
    const auto searched = [](const QString &list) {
        qint64 count = 0;
        for (const QString &word : {QStringLiteral("update\t"), QStringLiteral("add\t"), QStringLiteral("delete\t")})
            count += list.count(word, Qt::CaseInsensitive);
        return count;
    };
    const QStringList fixed = {
        QString(),
        QStringLiteral("\t"),
        QStringLiteral("add"),
        QStringLiteral("add\t"),
        QStringLiteral("\tadd\t"),
        QStringLiteral("Count=3\nList=A\nACTION\tUID\nADD\tA1\nUpdate\tA2\ndElEtE\tA3\n"),
        QStringLiteral("readd\tupdated\tundelete\tad\tdd\t"),
        QStringLiteral("add\tadd\tadd\tupdate\tupdate"),
        QStringLiteral("\u00e4dd\tadd\u0301\tupdate\u00a0\t"),
    };
    for (const QString &list : fixed) {
        SCOPED_TRACE(list.toStdString());
        EXPECT_EQ(HMWiFiSync::countRecordsInList(list), searched(list));
    }
    // Random lists made of the words' pieces, tabs and line ends.
    const QStringList pieces = {QStringLiteral("add"), QStringLiteral("ADD"), QStringLiteral("Update"),
                                QStringLiteral("delete"), QStringLiteral("de"), QStringLiteral("lete"),
                                QStringLiteral("a"), QStringLiteral("\t"), QStringLiteral("\n"), QStringLiteral("x"),
                                QStringLiteral("\u00c9"), QStringLiteral("\u0110"), QStringLiteral("\u212a"),
                                QStringLiteral("D"), QStringLiteral("\r")};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        QString list;
        for (int piece = int(random() % 24); piece > 0; --piece)
            list += pieces.at(qsizetype(random() % pieces.size()));
        ASSERT_EQ(HMWiFiSync::countRecordsInList(list), searched(list)) << list.toStdString();
    }
}
