#pragma once

#include <QDateTime>
#include <QByteArrayView>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Pages of a Calendar v3 event list (the reply's JSON object) read into event records, and the
// texts of the listing's requests. Pure functions of their arguments and the local time zone.
namespace googleeventlist {

// What one listing keeps across its pages and calendars.
struct Listing
{
    QList<QVariantMap> nonRecurringEvents;
    QList<QVariantMap> recurringEvents;
    QList<QVariantMap> recurringExceptions;
    QStringList changedUids;  // the "UID" of every record filed (left out of the Outlook upload)
    QDateTime mostRecent;     // the latest "updated" read
    QDateTime storedListDate; // the list date kept by the last listing; invalid when there is none
    bool returnedAtLeastOneEvent = false;
    qint64 recordCounter = 0; // events read that are not cancelled
};

inline constexpr QLatin1StringView kWriteUnanswered{"*"};

struct PageContext
{
    // Events not cancelled and not later than this are not changes; invalid: every event is one.
    QDateTime listDate;
    QStringList outlookEmailAccounts;
    QDateTime now;
    // "UID" to Google's "updated" text of events this program wrote: an event still carrying that
    // text is our own write coming back. kWriteUnanswered stands for any text: the write went and its
    // answer never came, so Google's copy may be ours; it goes again from Outlook.
    QHash<QString, QString> ownWrites;
};

// Google's "updated" (RFC 3339, in UTC or with an offset, with or without milliseconds) as its
// moment; invalid when unreadable.
QDateTime dateOfUpdated(const QString &text);
// A moment as Google writes "updated" and "updatedMin": "yyyy-MM-ddTHH:mm:ss.zzzZ" in UTC.
QString updatedText(const QDateTime &date);

// A "dateTime" text ("2021-03-04T10:00:00-08:00", "...Z", "...+05:30") as its moment in local time;
// invalid for a text without a time.
QDateTime dateOfDateTime(const QString &text);

// The record of one event and the page's values; nothing when the filters leave it out.
std::optional<QVariantMap> recordOfEvent(const QVariantMap &event, const QVariantMap &response,
                                         const PageContext &context, Listing &listing);
// Every item of the page, filed into the listing.
void readPage(const QVariantMap &response, const PageContext &context, Listing &listing);
// The same for a page's items as they were parsed, the page's other values in the response: an item
// the list date covers is counted without being turned into a map.
void readItems(const QJsonArray &items, const QVariantMap &response, const PageContext &context, Listing &listing);
// The exception starts joined into their series, then the three lists in their order.
QList<QVariantMap> finishListing(Listing &listing);

// The page token as it goes into the query: percent-encoded, "=" as "%3D".
QString escapedPageToken(const QString &token);
// A calendar id for a path: unchanged when safe, else percent-encoded ("@" kept).
QString calendarIdForPath(const QString &calendarId);
// The page's resource path; an empty token or an invalid date leaves that part out.
QString eventListPath(const QString &calendarId, const QString &escapedToken, const QDateTime &updatedMin);
// The stored list date still counts (not more than 14 days before now).
bool listDateIsRecent(const QDateTime &listDate, const QDateTime &now);

// A string member of a JSON object's top level (an event write's answer's "updated"), read by one pass
// over the bytes instead of building the whole object. Nothing when the text is no object whose
// brackets close at its end, or the member is missing, no string, or holds an escape.
std::optional<QString> topLevelText(QByteArrayView json, QByteArrayView key);

} // namespace googleeventlist
