// Calendar v3 pages written by hand, read into event records; the listing's request texts; the
// event bodies and zone texts written for Google. The expectations are moments (or local days for
// all-day events), so the cases hold in any zone; ctest also runs them in three named zones.
#include "google/GoogleEventList.h"
#include "google/HMGoogleSyncDriver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

QVariantMap json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object().toVariantMap();
}

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC();
}

QDateTime localDay(int year, int month, int day)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), QTimeZone::systemTimeZone());
}

const char *kPage = R"({
 "summary": "Family", "nextPageToken": "ab=c",
 "defaultReminders": [{"method": "popup"}, {"method": "popup", "minutes": 30}],
 "items": [
  {"id": "t1", "updated": "2021-03-04T12:34:56.789Z", "summary": "Lunch \\, with Ann", "location": "Caf\u00e9",
   "description": "<b>Bring</b> cake", "transparency": "transparent", "visibility": "private",
   "start": {"dateTime": "2021-03-04T10:00:00-08:00"}, "end": {"dateTime": "2021-03-04T11:00:00-08:00"},
   "reminders": {"useDefault": true}},
  {"id": "t2", "updated": "2021-03-04T12:00:00.000Z", "summary": "Berlin",
   "start": {"dateTime": "2021-03-04T10:00:00+02:00"}, "end": {"dateTime": "2021-03-04T10:30:00+05:30"},
   "reminders": {"useDefault": false, "overrides": [{"method": "email"}, {"method": "popup", "minutes": 15}]}},
  {"id": "t3", "updated": "2021-03-04T12:00:00.000Z", "start": {"dateTime": "2021-03-04T10:00:00Z"},
   "end": {"dateTime": "2021-03-04T11:00:00Z"}},
  {"id": "a1", "updated": "2021-03-04T12:00:00.000Z", "summary": "Holiday",
   "start": {"date": "2021-03-04"}, "end": {"date": "2021-03-05"}},
  {"id": "a2", "updated": "2021-03-04T12:00:00.000Z", "start": {"date": "2021-03-04"}, "end": {"date": "2021-03-04"}},
  {"id": "s1", "updated": "2021-03-04T12:00:00.000Z", "summary": "Board",
   "start": {"dateTime": "2021-03-09T09:00:00Z"}, "end": {"dateTime": "2021-03-09T10:00:00Z"},
   "recurrence": ["EXDATE:20210316T090000Z", "RRULE:FREQ=MONTHLY;BYDAY=2TU"]},
  {"id": "s2", "updated": "2021-03-04T12:00:00.000Z", "start": {"dateTime": "2021-03-04T09:00:00Z"},
   "end": {"dateTime": "2021-03-04T10:00:00Z"}, "recurrence": ["RRULE:FREQ=MONTHLY;BYMONTHDAY=4"]},
  {"id": "s3", "updated": "2021-03-04T12:00:00.000Z", "start": {"date": "2021-03-04"}, "end": {"date": "2021-03-05"},
   "recurrence": ["RRULE:FREQ=YEARLY"]},
  {"id": "h1", "updated": "2021-03-04T12:00:00.000Z", "start": {"dateTime": "2021-03-04T09:00:00Z"},
   "end": {"dateTime": "2021-03-04T10:00:00Z"}, "recurrence": ["RRULE:FREQ=HOURLY"]},
  {"id": "s1_20210413T090000Z", "updated": "2021-03-04T12:00:00.000Z", "status": "cancelled",
   "recurringEventId": "s1", "originalStartTime": {"dateTime": "2021-04-13T09:00:00Z"}},
  {"id": "s1_20210511T090000Z", "updated": "2021-03-04T12:00:00.000Z", "recurringEventId": "s1",
   "originalStartTime": {"dateTime": "2021-05-11T09:00:00Z"},
   "start": {"dateTime": "2021-05-12T14:00:00Z"}, "end": {"dateTime": "2021-05-12T15:00:00Z"}},
  {"id": "old", "updated": "2021-03-01T00:00:00.000Z", "start": {"dateTime": "2021-03-04T09:00:00Z"},
   "end": {"dateTime": "2021-03-04T10:00:00Z"}},
  {"id": "gone", "updated": "2021-03-01T00:00:00.000Z", "status": "cancelled"},
  {"id": "s1_20210209T090000Z", "updated": "2021-03-01T00:00:00.000Z", "status": "cancelled",
   "recurringEventId": "s1", "originalStartTime": {"dateTime": "2021-02-09T09:00:00Z"}},
  {"id": "inv", "updated": "2021-03-04T12:30:00.000Z", "attendees": [{"email": "ME@Example.org"}],
   "start": {"dateTime": "2021-03-04T09:00:00Z"}, "end": {"dateTime": "2021-03-04T10:00:00Z"}},
  {"id": "inv2", "updated": "2021-03-04T10:00:00.000Z", "attendees": [3, {"name": "x"}, {"email": "me@example.org"}],
   "start": {"dateTime": "2021-03-04T09:00:00Z"}, "end": {"dateTime": "2021-03-04T10:00:00Z"}},
  {"id": "mine", "updated": "2021-03-04T12:00:00.000Z", "start": {"dateTime": "2021-03-04T09:00:00Z"},
   "end": {"dateTime": "2021-03-04T10:00:00Z"}}
 ]})";

googleeventlist::PageContext context()
{
    googleeventlist::PageContext page;
    page.listDate = utc("2021-03-02T00:00:00Z");
    page.outlookEmailAccounts = {QStringLiteral("me@example.org")};
    page.now = utc("2021-03-04T13:00:00Z");
    page.ownWrites.insert(QStringLiteral("mine@cal1"), QStringLiteral("2021-03-04T12:00:00.000Z"));
    return page;
}

QVariantMap byId(const QList<QVariantMap> &records, const QString &id)
{
    for (const QVariantMap &record : records) {
        if (record.value(QStringLiteral("unalteredGoogleId")).toString() == id)
            return record;
    }
    return {};
}

} // namespace

TEST(GoogleEventList, AHandWrittenPageIsReadIntoItsRecordsAndFiled)
{
    QVariantMap response = json(kPage);
    response.insert(QStringLiteral("googleCalendarId"), QStringLiteral("cal1"));
    googleeventlist::Listing listing;
    googleeventlist::readPage(response, context(), listing);
    EXPECT_TRUE(listing.returnedAtLeastOneEvent);
    EXPECT_EQ(listing.mostRecent, utc("2021-03-04T12:34:56.789Z"));

    const QList<QVariantMap> all = googleeventlist::finishListing(listing);
    QStringList order;
    for (const QVariantMap &record : all)
        order << record.value(QStringLiteral("unalteredGoogleId")).toString();
    // Plain events, then series, then exceptions; the old event, the old cancelled occurrence, our own
    // write and the fresh own invitation are left out; the old cancelled event goes on.
    EXPECT_EQ(order.join(u' '), QStringLiteral("t1 t2 t3 a1 a2 h1 gone inv2 s1 s2 s3 s1_20210413T090000Z s1_20210511T090000Z"));

    const QVariantMap t1 = byId(all, QStringLiteral("t1"));
    EXPECT_EQ(t1.value(QStringLiteral("UID")).toString(), QStringLiteral("t1@cal1"));
    EXPECT_EQ(t1.value(QStringLiteral("NSDATELASTMODIFIEDGOOGLE")).toDateTime(), utc("2021-03-04T12:34:56.789Z"));
    EXPECT_EQ(t1.value(QStringLiteral("BUSYSTATUS")).toInt(), 0);
    EXPECT_FALSE(t1.value(QStringLiteral("DELETED")).toBool());
    EXPECT_EQ(t1.value(QStringLiteral("SUBJECT")).toString(), QStringLiteral("Lunch , with Ann"));
    EXPECT_EQ(t1.value(QStringLiteral("LOCATION")).toString(), QString::fromUtf8("Caf\u00e9"));
    EXPECT_EQ(t1.value(QStringLiteral("NOTE")).toString(), QStringLiteral("Bring cake"));
    EXPECT_TRUE(t1.value(QStringLiteral("PRIVATE")).toBool());
    EXPECT_FALSE(t1.value(QStringLiteral("TYPENUMBER")).toBool());
    EXPECT_EQ(t1.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(), utc("2021-03-04T18:00:00Z"));
    EXPECT_EQ(t1.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), utc("2021-03-04T19:00:00Z"));
    EXPECT_EQ(t1.value(QStringLiteral("NSNUMBERALARMTIME")).toInt(), 30);
    EXPECT_EQ(t1.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList(), QStringList{QStringLiteral("Family")});
    EXPECT_FALSE(t1.value(QStringLiteral("isRecurringException")).toBool());

    const QVariantMap t2 = byId(all, QStringLiteral("t2"));
    EXPECT_EQ(t2.value(QStringLiteral("BUSYSTATUS")).toInt(), 2);
    EXPECT_FALSE(t2.contains(QStringLiteral("PRIVATE")));
    EXPECT_EQ(t2.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(), utc("2021-03-04T08:00:00Z"));
    EXPECT_EQ(t2.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), utc("2021-03-04T05:00:00Z"));
    EXPECT_EQ(t2.value(QStringLiteral("NSNUMBERALARMTIME")).toInt(), 15);
    EXPECT_EQ(byId(all, QStringLiteral("t3")).value(QStringLiteral("NSDATESTARTDATE")).toDateTime(),
              utc("2021-03-04T10:00:00Z"));
    EXPECT_FALSE(byId(all, QStringLiteral("t3")).contains(QStringLiteral("NSNUMBERALARMTIME")));

    const QVariantMap a1 = byId(all, QStringLiteral("a1"));
    EXPECT_TRUE(a1.value(QStringLiteral("TYPENUMBER")).toBool());
    EXPECT_EQ(a1.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(), localDay(2021, 3, 4));
    EXPECT_EQ(a1.value(QStringLiteral("NSDATEENDDATE")).toDateTime(), localDay(2021, 3, 4));
    EXPECT_EQ(byId(all, QStringLiteral("a2")).value(QStringLiteral("NSDATEENDDATE")).toDateTime(), localDay(2021, 3, 4));

    const QVariantMap s1 = byId(all, QStringLiteral("s1"));
    EXPECT_EQ(s1.value(QStringLiteral("RRULE")).toString(), QStringLiteral("RRULE:FREQ=MONTHLY;BYDAY=2TU"));
    EXPECT_EQ(s1.value(QStringLiteral("REPEAT")).toInt(), 3);
    EXPECT_EQ(byId(all, QStringLiteral("s2")).value(QStringLiteral("REPEAT")).toInt(), 4);
    EXPECT_EQ(byId(all, QStringLiteral("s3")).value(QStringLiteral("REPEAT")).toInt(), 5);
    EXPECT_EQ(byId(all, QStringLiteral("h1")).value(QStringLiteral("RRULE")).toString(), QStringLiteral("RRULE:FREQ=HOURLY"));
    EXPECT_FALSE(byId(all, QStringLiteral("h1")).contains(QStringLiteral("REPEAT")));
    // Both occurrences leave the series at their original starts.
    const auto local = [](const char *moment) {
        return utc(moment).toLocalTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    };
    EXPECT_EQ(s1.value(QStringLiteral("NSARRAYEXCEPTIONS")).toStringList(),
              (QStringList{local("2021-04-13T09:00:00Z"), local("2021-05-11T09:00:00Z")}));
    EXPECT_FALSE(byId(all, QStringLiteral("s2")).contains(QStringLiteral("NSARRAYEXCEPTIONS")));

    const QVariantMap cancelled = byId(all, QStringLiteral("s1_20210413T090000Z"));
    EXPECT_TRUE(cancelled.value(QStringLiteral("DELETED")).toBool());
    EXPECT_TRUE(cancelled.value(QStringLiteral("isRecurringException")).toBool());
    EXPECT_EQ(cancelled.value(QStringLiteral("parentEventId")).toString(), QStringLiteral("s1"));
    EXPECT_EQ(cancelled.value(QStringLiteral("originalStart")).toString(), QStringLiteral("2021-04-13T09:00:00Z"));
    EXPECT_FALSE(cancelled.value(QStringLiteral("TYPENUMBER")).toBool());
    const QVariantMap gone = byId(all, QStringLiteral("gone"));
    EXPECT_TRUE(gone.value(QStringLiteral("DELETED")).toBool());
    EXPECT_FALSE(gone.contains(QStringLiteral("NSDATESTARTDATE")));
    // Only the records filed are left out of the Outlook upload.
    EXPECT_TRUE(listing.changedUids.contains(QStringLiteral("t1@cal1")));
    EXPECT_FALSE(listing.changedUids.contains(QStringLiteral("old@cal1")));
    EXPECT_FALSE(listing.changedUids.contains(QStringLiteral("mine@cal1")));
}

// The page's items as parsed, with the events known unchanged passed over without being made maps,
// give the very records, order, counts and dates the page read as one map gives.
TEST(GoogleEventList, ParsedItemsAreReadAsTheWholePageIs)
{
    const QJsonObject page = QJsonDocument::fromJson(QByteArray(kPage)).object();
    for (const bool withListDate : {true, false}) {
        SCOPED_TRACE(withListDate);
        googleeventlist::PageContext pageContext = context();
        if (!withListDate)
            pageContext.listDate = QDateTime();
        QVariantMap whole = page.toVariantMap();
        whole.insert(QStringLiteral("googleCalendarId"), QStringLiteral("cal1"));
        googleeventlist::Listing fromMap;
        googleeventlist::readPage(whole, pageContext, fromMap);
        QVariantMap rest = whole;
        rest.remove(QStringLiteral("items"));
        googleeventlist::Listing fromItems;
        googleeventlist::readItems(page.value(QLatin1String("items")).toArray(), rest, pageContext, fromItems);
        EXPECT_EQ(fromItems.changedUids, fromMap.changedUids);
        EXPECT_EQ(fromItems.mostRecent, fromMap.mostRecent);
        EXPECT_EQ(fromItems.recordCounter, fromMap.recordCounter);
        EXPECT_EQ(fromItems.returnedAtLeastOneEvent, fromMap.returnedAtLeastOneEvent);
        EXPECT_EQ(googleeventlist::finishListing(fromItems), googleeventlist::finishListing(fromMap));
    }
}

TEST(GoogleEventList, CategoriesComeFromTheCalendarNameElseTheSummaryAndTheDefaultAlarmIsTen)
{
    QVariantMap response = json(R"({"summary": "me@example.org", "items": [{"id": "x", "reminders": {"useDefault": true},
        "start": {"dateTime": "2021-03-04T09:00:00Z"}, "end": {"dateTime": "2021-03-04T10:00:00Z"}}]})");
    response.insert(QStringLiteral("googleCalendarId"), QStringLiteral("primary"));
    googleeventlist::Listing listing;
    googleeventlist::readPage(response, {}, listing);
    ASSERT_EQ(listing.nonRecurringEvents.size(), 1);
    EXPECT_EQ(listing.nonRecurringEvents[0].value(QStringLiteral("UID")).toString(), QStringLiteral("x@primary"));
    EXPECT_EQ(listing.nonRecurringEvents[0].value(QStringLiteral("NSNUMBERALARMTIME")).toInt(), 10);
    EXPECT_EQ(listing.nonRecurringEvents[0].value(QStringLiteral("NSARRAYCATEGORIES")).toStringList(),
              QStringList{QStringLiteral("me@example.org")});
    response.insert(QStringLiteral("calendarCategoryIdentifier"), QStringLiteral("Work"));
    googleeventlist::readPage(response, {}, listing);
    EXPECT_EQ(listing.nonRecurringEvents[1].value(QStringLiteral("NSARRAYCATEGORIES")).toStringList(),
              QStringList{QStringLiteral("Work")});
}

// A timed series recurs in the zone its start names, else in its calendar's (the page's "timeZone");
// a calendar in UTC, an all-day series and a single event get no zone.
TEST(GoogleEventList, ASeriesWithoutAZoneOfItsOwnRecursInItsCalendarsZone)
{
    const auto zoneOf = [](const char *calendarZone, const char *startZone, const char *day, bool repeats) {
        QVariantMap start{{QStringLiteral("dateTime"), QStringLiteral("2027-03-02T09:00:00Z")}};
        QVariantMap end{{QStringLiteral("dateTime"), QStringLiteral("2027-03-02T10:00:00Z")}};
        if (day != nullptr) {
            start = {{QStringLiteral("date"), QLatin1String(day)}};
            end = {{QStringLiteral("date"), QStringLiteral("2027-03-03")}};
        }
        if (startZone != nullptr)
            start.insert(QStringLiteral("timeZone"), QLatin1String(startZone));
        QVariantMap event{{QStringLiteral("id"), QStringLiteral("s")}, {QStringLiteral("start"), start}, {QStringLiteral("end"), end}};
        if (repeats)
            event.insert(QStringLiteral("recurrence"), QVariantList{QStringLiteral("RRULE:FREQ=WEEKLY")});
        QVariantMap response{{QStringLiteral("googleCalendarId"), QStringLiteral("primary")}, {QStringLiteral("items"), QVariantList{event}}};
        if (calendarZone != nullptr)
            response.insert(QStringLiteral("timeZone"), QLatin1String(calendarZone));
        googleeventlist::Listing listing;
        googleeventlist::readPage(response, {}, listing);
        const QList<QVariantMap> records = googleeventlist::finishListing(listing);
        return records.size() == 1 ? records[0].value(QStringLiteral("EVENTTZ"), QStringLiteral("none")).toString() : QStringLiteral("?");
    };
    EXPECT_EQ(zoneOf("America/New_York", nullptr, nullptr, true), "America/New_York");
    EXPECT_EQ(zoneOf("America/New_York", "Europe/London", nullptr, true), "Europe/London");
    EXPECT_EQ(zoneOf("UTC", nullptr, nullptr, true), "none");
    EXPECT_EQ(zoneOf("Etc/UTC", nullptr, nullptr, true), "none");
    EXPECT_EQ(zoneOf(nullptr, nullptr, nullptr, true), "none");
    EXPECT_EQ(zoneOf("Not/AZone", nullptr, nullptr, true), "none");
    EXPECT_EQ(zoneOf("America/New_York", nullptr, "2027-03-02", true), "none");
    EXPECT_EQ(zoneOf("America/New_York", nullptr, nullptr, false), "none");
}

TEST(GoogleEventList, TheRequestTextsAreWrittenAsGoogleReadsThem)
{
    const QDateTime date = utc("2021-03-04T12:34:57.789Z");
    const QString token = googleeventlist::escapedPageToken(QStringLiteral("ab=c"));
    EXPECT_EQ(token, QStringLiteral("ab%3Dc"));
    EXPECT_EQ(googleeventlist::eventListPath(QStringLiteral("primary"), token, date),
              QStringLiteral("/calendar/v3/calendars/primary/events?maxResults=1000&updatedMin=2021-03-04T12:34:57.789Z"
                             "&showDeleted=true&pageToken=ab%3Dc"));
    EXPECT_EQ(googleeventlist::eventListPath(QStringLiteral("primary"), token, {}),
              QStringLiteral("/calendar/v3/calendars/primary/events?maxResults=1000&showDeleted=false&pageToken=ab%3Dc"));
    EXPECT_EQ(googleeventlist::eventListPath(QString(), QString(), date),
              QStringLiteral("/calendar/v3/calendars/primary/events?maxResults=1000&showDeleted=true"
                             "&updatedMin=2021-03-04T12:34:57.789Z"));
    EXPECT_EQ(googleeventlist::eventListPath(QStringLiteral("a.b_c-d@group.calendar.google.com"), QString(), {}),
              QStringLiteral("/calendar/v3/calendars/a.b_c-d@group.calendar.google.com/events?maxResults=1000&showDeleted=false"));
    // A shared calendar's "#" would cut the path at a fragment.
    EXPECT_EQ(googleeventlist::calendarIdForPath(QStringLiteral("en.usa#holiday@group.v.calendar.google.com")),
              QStringLiteral("en.usa%23holiday@group.v.calendar.google.com"));
    const QDateTime now = utc("2021-03-18T12:00:00Z");
    EXPECT_TRUE(googleeventlist::listDateIsRecent(now.addSecs(-1209600), now));
    EXPECT_FALSE(googleeventlist::listDateIsRecent(now.addSecs(-1209601), now));
    EXPECT_FALSE(googleeventlist::listDateIsRecent({}, now));
}

TEST(GoogleEventList, EventBodiesAndZoneTextsAreWrittenByteForByte)
{
    EXPECT_EQ(HMGoogleSyncDriver::offsetSecondsFromTzData(QStringLiteral("-480\t60")), -25200);
    EXPECT_EQ(HMGoogleSyncDriver::timeZoneOffsetStringFromTzData(QStringLiteral("-480\t60")), QStringLiteral("-07:00"));
    EXPECT_EQ(HMGoogleSyncDriver::offsetSecondsFromTzData(QStringLiteral("60\t60")), 7200);
    EXPECT_EQ(HMGoogleSyncDriver::timeZoneOffsetStringFromTzData(QStringLiteral("60\t60")), QStringLiteral("+02:00"));
    EXPECT_EQ(HMGoogleSyncDriver::offsetSecondsFromTzData(QStringLiteral("330\t0")), 19800);
    EXPECT_EQ(HMGoogleSyncDriver::timeZoneOffsetStringFromTzData(QStringLiteral("330\t0")), QStringLiteral("+05:30"));
    EXPECT_EQ(HMGoogleSyncDriver::offsetSecondsFromTzData(QStringLiteral("0\t0")), 0);
    EXPECT_EQ(HMGoogleSyncDriver::timeZoneOffsetStringFromTzData(QStringLiteral("0\t0")), QStringLiteral("+00:00"));
    EXPECT_EQ(HMGoogleSyncDriver::offsetSecondsFromTzData(QString()), 0);

    QVariantMap record{{QStringLiteral("Id"), QStringLiteral("8C9D1E2F0A1B4C5D9E8F7A6B5C4D3E2F")},
                       {QStringLiteral("TZ_DATA"), QStringLiteral("-480\t60")},
                       {QStringLiteral("NSDATESTARTDATE"), utc("2021-03-04T16:00:00Z")},
                       {QStringLiteral("NSDATEENDDATE"), utc("2021-03-04T17:30:00Z")},
                       {QStringLiteral("SUBJECT"), QStringLiteral("Plan \\, \"review\"")},
                       {QStringLiteral("NSNUMBERALARMTIME"), 15},
                       {QStringLiteral("RRULE"), QStringLiteral("RRULE:FREQ=WEEKLY;BYDAY=TH")},
                       {QStringLiteral("PRIVATE"), true}};
    const auto body = [](const QVariantMap &fields, const char *type) {
        return HMGoogleSyncDriver::jsonStringFromDictionary(
            HMGoogleSyncDriver::makeParameterDictionary(fields, QString::fromLatin1(type), QStringLiteral("Calendar")));
    };
    EXPECT_EQ(body(record, "insert"),
              QStringLiteral(R"({"end":{"dateTime":"2021-03-04T10:30:00-07:00"},"id":"8C9D1E2F0A1B4C5D9E8F7A6B5C4D3E2F",)"
                             R"("recurrence":["RRULE:FREQ=WEEKLY;BYDAY=TH"],"reminders":{"overrides":[{"method":"popup",)"
                             R"("minutes":15}],"useDefault":false},"start":{"dateTime":"2021-03-04T09:00:00-07:00"},)"
                             R"("summary":"Plan , \"review\"","transparency":"opaque","visibility":"private"})"));
    // An update carries no id; without zone data the time is UTC's.
    record.remove(QStringLiteral("TZ_DATA"));
    record.insert(QStringLiteral("transparency"), 1);
    EXPECT_TRUE(body(record, "update").startsWith(
        QStringLiteral(R"({"end":{"dateTime":"2021-03-04T17:30:00+00:00"},"recurrence":["RRULE:FREQ=WEEKLY;BYDAY=TH"],"r)")))
        << body(record, "update").toStdString();
    EXPECT_TRUE(body(record, "update").contains(QStringLiteral(R"("transparency":"transparent")")));
    const QVariantMap allDay{{QStringLiteral("TYPENUMBER"), true},
                             {QStringLiteral("NSDATESTARTDATE"), localDay(2021, 3, 4)},
                             {QStringLiteral("NSDATEENDDATE"), localDay(2021, 3, 5)},
                             {QStringLiteral("EVENTTZ"), QStringLiteral("Europe/Berlin")}};
    EXPECT_EQ(body(allDay, "insert"),
              QStringLiteral(R"({"end":{"date":"2021-03-05","timeZone":"Europe/Berlin"},"start":{"date":"2021-03-04",)"
                             R"("timeZone":"Europe/Berlin"},"transparency":"opaque","visibility":"default"})"));
    const QVariantMap task{{QStringLiteral("Id"), QStringLiteral("t")}, {QStringLiteral("SUBJECT"), QStringLiteral("Buy")},
                           {QStringLiteral("COMPLETED"), true}, {QStringLiteral("DUEDATE"), localDay(2021, 3, 4)}};
    EXPECT_EQ(HMGoogleSyncDriver::jsonStringFromDictionary(
                  HMGoogleSyncDriver::makeParameterDictionary(task, QStringLiteral("insert"), QStringLiteral("Tasks"))),
              QStringLiteral(R"({"due":"2021-03-04T00:00:00.000Z","id":"t","kind":"tasks#task","status":"completed","title":"Buy"})"));
}

// A write's answer is read for its top-level "updated" alone: members of nested objects, keys with
// escapes and strings holding brackets do not mislead the scan, and a text it cannot read plainly
// (cut, no object, an escaped value) gives nothing, so the caller parses it whole.
// Google's times name their moments: with Z, with an offset and fraction, without a zone (the
// system's); dates before 1600 too; a day or hour no calendar has is no date.
TEST(GoogleEventList, GoogleTimesReadAsTheMomentsTheyName)
{
    using googleeventlist::dateOfDateTime;
    const auto utc = [](int y, int mo, int d, int h, int mi, int s) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone::utc()); };
    EXPECT_EQ(dateOfDateTime(QStringLiteral("2026-06-01T10:20:30Z")), utc(2026, 6, 1, 10, 20, 30));
    EXPECT_EQ(dateOfDateTime(QStringLiteral("2026-06-01T10:20:30.123+02:00")), utc(2026, 6, 1, 8, 20, 30));
    EXPECT_EQ(dateOfDateTime(QStringLiteral("2024-02-29T23:59:59-05:30")), utc(2024, 3, 1, 5, 29, 59));
    EXPECT_EQ(dateOfDateTime(QStringLiteral("2026-06-01T10:20:30")),
              QDateTime(QDate(2026, 6, 1), QTime(10, 20, 30), QTimeZone::systemTimeZone()));
    EXPECT_EQ(dateOfDateTime(QStringLiteral("1500-03-01T00:00:00Z")), utc(1500, 3, 1, 0, 0, 0));
    for (const char *text : {"2026-02-30T10:00:00Z", "2026-06-01T24:00:00Z", "2026-13-01T10:00:00Z", "2026-06-01T10:60:00Z"})
        EXPECT_FALSE(dateOfDateTime(QString::fromLatin1(text)).isValid()) << text;
}

TEST(GoogleEventList, readsTheTopLevelMemberOfAnAnswerOnly)
{
    using googleeventlist::topLevelText;
    const QByteArray answer = R"( {"kind": "calendar#event", "extendedProperties": {"private": {"updated": "mine"}},
        "description": "a \"updated\": \"no\" {[", "attendees": [{"updated": "x"}],
        "updated" : "2027-05-11T09:00:00.123Z", "start": {"dateTime": "2027-05-11T09:00:00Z"}}
)";
    EXPECT_EQ(topLevelText(answer, "updated"), QStringLiteral("2027-05-11T09:00:00.123Z"));
    EXPECT_EQ(topLevelText(R"({"a\"updated": "x", "updated": "y"})", "updated"), QStringLiteral("y"));
    EXPECT_EQ(topLevelText(R"({"updated": "caf\u00e9"})", "updated"), std::nullopt);
    EXPECT_EQ(topLevelText(R"({"updated": 5})", "updated"), std::nullopt);
    EXPECT_EQ(topLevelText(R"({"summary": "x"})", "updated"), std::nullopt);
    EXPECT_EQ(topLevelText(answer.left(answer.size() - 4), "updated"), std::nullopt);
    EXPECT_EQ(topLevelText(R"({"updated": "y"} tail)", "updated"), std::nullopt);
    EXPECT_EQ(topLevelText(R"(["updated", "y"])", "updated"), std::nullopt);
    EXPECT_EQ(topLevelText(R"({"updated": "y)", "updated"), std::nullopt);
    EXPECT_EQ(topLevelText("", "updated"), std::nullopt);
}
