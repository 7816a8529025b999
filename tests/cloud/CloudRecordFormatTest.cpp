// The cloud's record format: the key maps, and records converted to the cloud's JSON and back, byte for
// byte against texts written by hand, in UTC, Europe/Berlin and America/Los_Angeles.

#include "CloudTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "platform/foundation/TimeZone.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const char *const kZones[] = {"UTC", "Europe/Berlin", "America/Los_Angeles"};

// A transport set up in the zone, without a peer: only its conversions are used.
class ZoneScope final
{
public:
    explicit ZoneScope(const char *zone)
    {
        platform::TimeZone::setDefaultTimeZone(platform::TimeZone::named(QString::fromLatin1(zone)).value());
        sync = makeCloudSync(QStringLiteral("127.0.0.1:9"), QString(), delegate);
    }
    ~ZoneScope() { platform::TimeZone::setDefaultTimeZone(std::nullopt); }

    // The record's JSON as it goes to the cloud.
    QString outgoing(QVariantMap record, quint64 conduit)
    {
        sync->prepareForQuillnestDictionary(record, conduit);
        return HMQuillnestSync::jsonStringFromDictionary(HMQuillnestSync::dictionaryWithKeysRenamed(
            record, sync->conduitHMSyncFieldToQuillnestKeyMappingDictionaries().at(conduit)));
    }
    // The record a cloud JSON object gives.
    QVariantMap incoming(const QString &json, quint64 conduit)
    {
        QVariantMap record = HMQuillnestSync::dictionaryWithKeysRenamed(
            HMQuillnestSync::dictionaryForJsonString(json).value_or(QVariantMap()),
            sync->conduitQuillnestToHMSyncFieldKeyMappingDictionaries().at(conduit));
        sync->prepareForEngineDictionary(record, conduit);
        return record;
    }

    QTemporaryDir home;
    TransportEnvironment environment{home.path()};
    RecordingClientDelegate delegate;
    std::unique_ptr<HMQuillnestSync> sync;
};

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone::utc());
}

QDateTime local(const char *zone, int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone(zone));
}

} // namespace

TEST(CloudRecordFormat, MapsAsManyKeysAsEachConduitHasAndSendsNoOther)
{
    ensureApplication();
    ZoneScope scope("UTC");
    const QList<QVariantMap> &maps = scope.sync->conduitHMSyncFieldToQuillnestKeyMappingDictionaries();
    ASSERT_EQ(maps.size(), 5);
    EXPECT_EQ(maps.at(0).size(), 4);
    EXPECT_EQ(maps.at(1).size(), 88);
    EXPECT_EQ(maps.at(2).size(), 27);
    EXPECT_EQ(maps.at(3).size(), 20);
    EXPECT_EQ(maps.at(4).size(), 8);
    // The calendar's two "Contacts" keys: linked contacts both ways.
    EXPECT_EQ(scope.sync->conduitQuillnestToHMSyncFieldKeyMappingDictionaries().at(2).value(QStringLiteral("Contacts")),
              QStringLiteral("NSARRAYLINKEDCONTACTS"));
    const QVariantMap memo{{QStringLiteral("UID"), QStringLiteral("m-1")},
                           {QStringLiteral("SUBJECT"), QStringLiteral("Note")},
                           {QStringLiteral("FULLNAME"), QStringLiteral("not sent")},
                           {QStringLiteral("CATEGORY"), QStringLiteral("not sent")}};
    EXPECT_EQ(scope.outgoing(memo, 4).toStdString(), "{\"CategoryColors\":\"\",\"Id\":\"m-1\",\"Subject\":\"Note\"}");
    const QVariantMap event{{QStringLiteral("UID"), QStringLiteral("e-9")},
                            {QStringLiteral("ATTENDEES"), QStringLiteral("ann@x.com")},
                            {QStringLiteral("NSARRAYLINKEDCONTACTS"), QStringList{QStringLiteral("c-1"), QStringLiteral("c-2")}}};
    const QVariantMap back = scope.incoming(scope.outgoing(event, 2), 2);
    EXPECT_EQ(back.value(QStringLiteral("NSARRAYLINKEDCONTACTS")).toStringList(),
              QStringList({QStringLiteral("c-1"), QStringLiteral("c-2")}));
    EXPECT_FALSE(back.contains(QStringLiteral("ATTENDEES")));
}

TEST(CloudRecordFormat, ConvertsEventsBothWaysInEveryZone)
{
    ensureApplication();
    GlobalVariables::setIsOutlookSync(false);
    struct Times
    {
        const char *zone;
        const char *start;
        const char *end;
    };
    const Times times[] = {{"UTC", "2024-03-05 10:00:00", "2024-03-05 11:30:00"},
                           {"Europe/Berlin", "2024-03-05 11:00:00", "2024-03-05 12:30:00"},
                           {"America/Los_Angeles", "2024-03-05 02:00:00", "2024-03-05 03:30:00"}};
    for (const Times &row : times) {
        SCOPED_TRACE(row.zone);
        ZoneScope scope(row.zone);
        const QVariantMap allDay{{QStringLiteral("UID"), QStringLiteral("ev-1")},
                                 {QStringLiteral("SUBJECT"), QStringLiteral("Fair")},
                                 {QStringLiteral("TYPENUMBER"), true},
                                 {QStringLiteral("NSDATESTARTDATE"), utc(2024, 3, 5)},
                                 {QStringLiteral("NSDATEENDDATE"), utc(2024, 3, 6)},
                                 {QStringLiteral("NSARRAYCATEGORIES"), QStringList{QStringLiteral("Work")}}};
        const QString allDayJson = scope.outgoing(allDay, 2);
        EXPECT_EQ(allDayJson.toStdString(),
                  "{\"AlarmMins\":-1,\"Allday\":true,\"Category\":\"Work\",\"CategoryColors\":\"\",\"EndTime\":"
                  "\"2024-03-06 00:00:00\",\"EndTimeUTC\":\"2024-03-06 12:00:00\",\"Id\":\"ev-1\",\"RecurrenceEnd\":\"\","
                  "\"StartTime\":\"2024-03-05 00:00:00\",\"StartTimeUTC\":\"2024-03-05 12:00:00\",\"Subject\":\"Fair\","
                  "\"TimeZone\":\"\",\"TimeZoneInfo\":\"\"}");
        const QVariantMap allDayBack = scope.incoming(allDayJson, 2);
        EXPECT_EQ(allDayBack.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(), utc(2024, 3, 5, 12));
        EXPECT_EQ(allDayBack.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), utc(2024, 3, 6, 12));
        EXPECT_EQ(allDayBack.value(QStringLiteral("TYPENUMBER")), QVariant(true));
        EXPECT_FALSE(allDayBack.contains(QStringLiteral("NSNUMBERALARMTIME")));
        EXPECT_FALSE(allDayBack.contains(QStringLiteral("NSDATEREPEATEND")));

        const QVariantMap timed{{QStringLiteral("UID"), QStringLiteral("ev-2")},
                                {QStringLiteral("SUBJECT"), QStringLiteral("Call")},
                                {QStringLiteral("TYPENUMBER"), false},
                                {QStringLiteral("NSDATESTARTDATE"), utc(2024, 3, 5, 10)},
                                {QStringLiteral("NSDATEENDDATE"), utc(2024, 3, 5, 11, 30)},
                                {QStringLiteral("NSNUMBERALARMTIME"), 15},
                                {QStringLiteral("NSARRAYEXCEPTIONS"),
                                 QVariantList{utc(2024, 3, 12, 10), QStringLiteral("20240319"), 7}}};
        const QString timedJson = scope.outgoing(timed, 2);
        EXPECT_EQ(timedJson.toStdString(),
                  QStringLiteral("{\"AlarmMins\":15,\"Allday\":false,\"CategoryColors\":\"\",\"EndTime\":\"%1\","
                                 "\"EndTimeUTC\":\"2024-03-05 11:30:00\",\"Exdate\":\"20240312,20240319\",\"Id\":\"ev-2\","
                                 "\"RecurrenceEnd\":\"\",\"StartTime\":\"%2\",\"StartTimeUTC\":\"2024-03-05 10:00:00\","
                                 "\"Subject\":\"Call\"}")
                      .arg(QString::fromLatin1(row.end), QString::fromLatin1(row.start))
                      .toStdString());
        const QVariantMap timedBack = scope.incoming(timedJson, 2);
        EXPECT_EQ(timedBack.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(), utc(2024, 3, 5, 10));
        EXPECT_EQ(timedBack.value(QStringLiteral("NSNUMBERALARMTIME")).toLongLong(), 15);
        EXPECT_EQ(timedBack.value(QStringLiteral("NSARRAYEXCEPTIONS")).toList(),
                  QVariantList({local(row.zone, 2024, 3, 12), local(row.zone, 2024, 3, 19)}));
    }
}

TEST(CloudRecordFormat, ConvertsContactsWithCategoriesAndColoursBothWays)
{
    ensureApplication();
    for (const char *zone : kZones) {
        SCOPED_TRACE(zone);
        ZoneScope scope(zone);
        const QVariantMap contact{{QStringLiteral("UID"), QStringLiteral("c-1")},
                                  {QStringLiteral("NEWFNAME"), QStringLiteral("Ada")},
                                  {QStringLiteral("NEWLNAME"), QStringLiteral("Lovelace")},
                                  {QStringLiteral("FULLNAME"), QStringLiteral("Ada Lovelace")},
                                  {QStringLiteral("CATEGORY"), QStringLiteral("Work\tHome\t")},
                                  {QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"), QStringList{"3", "5"}},
                                  {QStringLiteral("NSARRAYCATEGORYCOLORS"), QStringList{"red", "blue"}},
                                  {QStringLiteral("NSDATEBIRTHDAY"), local(zone, 1985, 12, 10)},
                                  {QStringLiteral("PHONE1"), QStringLiteral("+44 20 7946 0000")},
                                  {QStringLiteral("PHONELABEL1"), QStringLiteral("2")}};
        const QString json = scope.outgoing(contact, 1);
        EXPECT_EQ(json.toStdString(),
                  "{\"Anniversary\":\"\",\"Birthday\":\"1985-12-10 00:00:00\",\"Category\":\"Work\\tHome\\t\","
                  "\"CategoryColors\":\"3:red\\t5:blue\",\"First\":\"Ada\",\"Id\":\"c-1\",\"Last\":\"Lovelace\","
                  "\"Phone1\":\"+44 20 7946 0000\",\"PhoneLabel1\":\"2\"}");
        QString received = json;
        received.replace(QStringLiteral("}"), QStringLiteral(",\"Phone2\":\"555\",\"PhoneLabel2\":\"0\"}"));
        const QVariantMap back = scope.incoming(received, 1);
        EXPECT_EQ(back.value(QStringLiteral("CATEGORY")).toString(), QStringLiteral("Work\tHome\t"));
        EXPECT_EQ(back.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES")).toStringList(), QStringList({"3", "5"}));
        EXPECT_EQ(back.value(QStringLiteral("NSARRAYCATEGORYCOLORS")).toStringList(), QStringList({"red", "blue"}));
        EXPECT_EQ(back.value(QStringLiteral("NSDATEBIRTHDAY")).toDateTime(), local(zone, 1985, 12, 10));
        EXPECT_FALSE(back.contains(QStringLiteral("NSDATEANNIVERSARY")));
        EXPECT_EQ(back.value(QStringLiteral("PHONE1")).toString(), QStringLiteral("+44 20 7946 0000"));
        EXPECT_FALSE(back.contains(QStringLiteral("PHONE2")));
        EXPECT_FALSE(back.contains(QStringLiteral("PHONELABEL2")));
        EXPECT_FALSE(back.contains(QStringLiteral("FULLNAME")));
    }
}

TEST(CloudRecordFormat, ConvertsTasksWithDatesBothWays)
{
    ensureApplication();
    for (const char *zone : kZones) {
        SCOPED_TRACE(zone);
        ZoneScope scope(zone);
        const QVariantMap task{{QStringLiteral("UID"), QStringLiteral("t-1")},
                               {QStringLiteral("SUBJECT"), QStringLiteral("File taxes")},
                               {QStringLiteral("NSDATESTARTDATE"), local(zone, 2024, 3, 5)},
                               {QStringLiteral("DUEDATE"), local(zone, 2024, 3, 8)},
                               {QStringLiteral("NSDATEALARMDATE"), local(zone, 2024, 3, 7, 9, 30)},
                               {QStringLiteral("PRIORITY"), qint64(2)},
                               {QStringLiteral("PERCENTCOMPLETE"), qint64(50)},
                               {QStringLiteral("NSARRAYCATEGORIES"), QStringList{"Work", "Home"}},
                               {QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"), QStringList{"3", "5"}},
                               {QStringLiteral("NSARRAYCATEGORYCOLORS"), QStringList{"red", "blue"}}};
        const QString json = scope.outgoing(task, 3);
        EXPECT_EQ(json.toStdString(),
                  "{\"AlarmTime\":\"2024-03-07 09:30:00\",\"Category\":\"Work\\tHome\",\"CategoryColors\":"
                  "\"3:red\\t5:blue\",\"DueDate\":\"2024-03-08 00:00:00\",\"Id\":\"t-1\",\"PercentComplete\":50,"
                  "\"Priority\":2,\"StartDate\":\"2024-03-05 00:00:00\",\"Subject\":\"File taxes\"}");
        const QVariantMap back = scope.incoming(json, 3);
        for (const char *key : {"NSDATESTARTDATE", "DUEDATE", "NSDATEALARMDATE", "PRIORITY", "PERCENTCOMPLETE",
                                "NSARRAYCATEGORIES", "NSARRAYCATEGORYCOLORINDEXES", "NSARRAYCATEGORYCOLORS", "SUBJECT"}) {
            EXPECT_EQ(back.value(QString::fromLatin1(key)), task.value(QString::fromLatin1(key))) << key;
        }
        // The cloud's own form of a day, and an alarm it cannot read.
        const QVariantMap written = scope.incoming(
            QStringLiteral("{\"Id\":\"t-2\",\"DueDate\":\"2024-03-08\",\"AlarmTime\":\"soon\",\"Priority\":\"1\"}"), 3);
        EXPECT_EQ(written.value(QStringLiteral("DUEDATE")).toDateTime(), local(zone, 2024, 3, 8));
        EXPECT_FALSE(written.contains(QStringLiteral("NSDATEALARMDATE")));
        EXPECT_EQ(written.value(QStringLiteral("PRIORITY")), QVariant(qint64(1)));
    }
}
