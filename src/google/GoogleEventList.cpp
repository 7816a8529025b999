#include "google/GoogleEventList.h"

#include "foundation/NSString+stripHtml.h"
#include "google/HMGoogleSyncDriver.h"
#include "platform/foundation/FixedDatePattern.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>

namespace googleeventlist {

namespace {

constexpr qint64 kRecentListDateSeconds = 1209600; // 14 days
constexpr qint64 kOwnInvitationSeconds = 3600;
constexpr int kDefaultAlarmMinutes = 10;

QString text(const QVariantMap &map, const QString &key)
{
    return map.value(key).toString();
}

bool isText(const QVariant &value)
{
    return value.typeId() == QMetaType::QString;
}

// The "dateTime" of a start or end object, else its "date"; every "Z" written "-00:00".
QString timeTextOf(const QVariant &object)
{
    const QVariantMap times = object.toMap();
    QVariant value = times.contains(QStringLiteral("dateTime")) ? times.value(QStringLiteral("dateTime"))
                                                                 : times.value(QStringLiteral("date"));
    if (!isText(value))
        return {};
    return value.toString().replace(u'Z', QStringLiteral("-00:00"));
}

QDateTime localMidnight(const QString &dateText)
{
    const QDate date = QDate::fromString(dateText.left(10), QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid() || dateText.size() != 10)
        return {};
    return QDateTime(date, QTime(0, 0), QTimeZone::systemTimeZone());
}

// Default alarm of the page: the first default reminder with "minutes", else 10.
int defaultAlarm(const QVariantMap &response)
{
    for (const QVariant &entry : response.value(QStringLiteral("defaultReminders")).toList()) {
        const QVariantMap reminder = entry.toMap();
        if (reminder.contains(QStringLiteral("minutes")))
            return reminder.value(QStringLiteral("minutes")).toInt();
    }
    return kDefaultAlarmMinutes;
}

QStringList categoriesOf(const QVariantMap &response)
{
    if (response.contains(QStringLiteral("calendarCategoryIdentifier")))
        return {text(response, QStringLiteral("calendarCategoryIdentifier"))};
    if (response.contains(QStringLiteral("summary")))
        return {text(response, QStringLiteral("summary"))};
    return {};
}

// An attendee is one of the user's Outlook accounts.
bool isOwnInvitation(const QVariantMap &event, const QStringList &accounts)
{
    const QVariant attendees = event.value(QStringLiteral("attendees"));
    if (attendees.typeId() != QMetaType::QVariantList)
        return false;
    for (const QVariant &entry : attendees.toList()) {
        if (entry.typeId() != QMetaType::QVariantMap)
            continue;
        const QString email = entry.toMap().value(QStringLiteral("email")).toString();
        for (const QString &account : accounts) {
            if (!email.isEmpty() && email.compare(account, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

// An event not later than the list date was read by the listing that stored that date: it is no
// change. Nor is a cancelled occurrence: its series in Outlook has listed its day as removed since
// then, and taken again on every full listing it would be imported into Outlook and deleted there
// each time. A cancelled event or series still goes, so a deletion Outlook missed is tried again.
bool isCoveredByListDate(const QDateTime &updated, bool cancelled, bool isOccurrence, const PageContext &context)
{
    const bool seenBefore = updated.isValid() && context.listDate.isValid() && updated <= context.listDate;
    return seenBefore && (!cancelled || isOccurrence);
}

bool isIgnored(const QVariantMap &event, const QDateTime &updated, bool cancelled, const PageContext &context)
{
    if (isOwnInvitation(event, context.outlookEmailAccounts) &&
        (!updated.isValid() || updated >= context.now.addSecs(-kOwnInvitationSeconds)))
        return true;
    return isCoveredByListDate(updated, cancelled, event.contains(QStringLiteral("recurringEventId")), context);
}

void addAlarm(const QVariantMap &event, int pageDefault, QVariantMap &record)
{
    if (!event.contains(QStringLiteral("reminders")))
        return;
    const QVariantMap reminders = event.value(QStringLiteral("reminders")).toMap();
    if (reminders.value(QStringLiteral("useDefault")).toBool()) {
        record.insert(QStringLiteral("NSNUMBERALARMTIME"), pageDefault);
        return;
    }
    for (const QVariant &entry : reminders.value(QStringLiteral("overrides")).toList()) {
        const QVariantMap override = entry.toMap();
        if (override.contains(QStringLiteral("minutes"))) {
            record.insert(QStringLiteral("NSNUMBERALARMTIME"), override.value(QStringLiteral("minutes")).toInt());
            return;
        }
    }
}

void addRecurrence(const QVariantMap &event, QVariantMap &record)
{
    for (const QVariant &entry : event.value(QStringLiteral("recurrence")).toList()) {
        if (!isText(entry) || !entry.toString().startsWith(QLatin1String("RRULE:")))
            continue;
        const QString rule = entry.toString();
        record.insert(QStringLiteral("RRULE"), rule);
        int repeat = 0;
        if (rule.contains(QLatin1String("FREQ=DAILY")))
            repeat = 1;
        else if (rule.contains(QLatin1String("FREQ=WEEKLY")))
            repeat = 2;
        else if (rule.contains(QLatin1String("FREQ=MONTHLY")))
            repeat = rule.contains(QLatin1String("BYDAY=")) ? 3 : 4;
        else if (rule.contains(QLatin1String("FREQ=YEARLY")))
            repeat = 5;
        if (repeat > 0)
            record.insert(QStringLiteral("REPEAT"), repeat);
    }
}

// A timed series recurs at the wall time of the zone Google names for it: Outlook is given that zone,
// or after a daylight-saving change made by only one of that zone and the local one the two would
// hold its occurrences an hour apart. A start naming no zone recurs in its calendar's, as Google
// shows it.
void addSeriesZone(const QVariantMap &event, const QVariantMap &response, QVariantMap &record)
{
    if (record.value(QStringLiteral("REPEAT")).toInt() < 1 || record.value(QStringLiteral("TYPENUMBER")).toBool())
        return;
    QString zone = text(event.value(QStringLiteral("start")).toMap(), QStringLiteral("timeZone"));
    // A calendar in UTC is what a calendar without a zone of its own answers: the series stays in the
    // device's zone, as before its calendar was read.
    static const QStringList utcNames{QStringLiteral("UTC"), QStringLiteral("Etc/UTC"), QStringLiteral("GMT"),
                                      QStringLiteral("Etc/GMT")};
    if (const QString calendarZone = text(response, QStringLiteral("timeZone")); zone.isEmpty() && !utcNames.contains(calendarZone))
        zone = calendarZone;
    if (!zone.isEmpty() && QTimeZone(zone.toUtf8()).isValid())
        record.insert(QStringLiteral("EVENTTZ"), zone);
}

// Start and end: an all-day event runs from its start date to the day before Google's exclusive end
// (never before the start); a timed one is read with its own offset.
void addTimes(const QVariantMap &event, bool cancelled, QVariantMap &record, QDateTime &start, QDateTime &end)
{
    const QVariant startObject = event.contains(QStringLiteral("start")) ? event.value(QStringLiteral("start"))
                                                                         : event.value(QStringLiteral("originalStartTime"));
    const QString startText = timeTextOf(startObject);
    const QString endText = timeTextOf(event.value(QStringLiteral("end")));
    const bool allDay = !cancelled && !event.value(QStringLiteral("end")).toMap().contains(QStringLiteral("dateTime"));
    record.insert(QStringLiteral("TYPENUMBER"), allDay);
    if (allDay) {
        start = localMidnight(startText);
        end = localMidnight(endText);
        if (end.isValid())
            end = end.addDays(-1);
        if (end.isValid() && start.isValid() && end < start)
            end = start;
        return;
    }
    start = dateOfDateTime(startText);
    end = dateOfDateTime(endText);
}

// "SUBJECT", "LOCATION", "NOTE" (markup removed), "PRIVATE" and "originalStart".
void addTexts(const QVariantMap &event, QVariantMap &record)
{
    if (event.contains(QStringLiteral("summary")))
        record.insert(QStringLiteral("SUBJECT"), HMGoogleSyncDriver::correctedString(event.value(QStringLiteral("summary"))));
    if (event.contains(QStringLiteral("location")))
        record.insert(QStringLiteral("LOCATION"), HMGoogleSyncDriver::correctedString(event.value(QStringLiteral("location"))));
    if (event.contains(QStringLiteral("description"))) {
        const QString note = stripHtml(HMGoogleSyncDriver::correctedString(event.value(QStringLiteral("description"))));
        if (!note.isEmpty())
            record.insert(QStringLiteral("NOTE"), note);
    }
    if (text(event, QStringLiteral("visibility")) == QLatin1String("private"))
        record.insert(QStringLiteral("PRIVATE"), true);
    if (event.value(QStringLiteral("originalStartTime")).typeId() == QMetaType::QVariantMap) {
        const QVariantMap original = event.value(QStringLiteral("originalStartTime")).toMap();
        record.insert(QStringLiteral("originalStart"), original.contains(QStringLiteral("dateTime"))
                                                           ? original.value(QStringLiteral("dateTime"))
                                                           : original.value(QStringLiteral("date")));
    }
}

void file(const QVariantMap &record, Listing &listing)
{
    if (record.value(QStringLiteral("REPEAT")).toInt() >= 1)
        listing.recurringEvents << record;
    else if (record.value(QStringLiteral("isRecurringException")).toBool())
        listing.recurringExceptions << record;
    else
        listing.nonRecurringEvents << record;
}

} // namespace

QDateTime dateOfUpdated(const QString &updated)
{
    QDateTime date = QDateTime::fromString(updated, Qt::ISODateWithMs);
    if (!date.isValid() || date.timeSpec() == Qt::LocalTime)
        return {};
    return date.toUTC();
}

QString updatedText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QDateTime dateOfDateTime(const QString &dateTime)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)(?:\\.\\d{1,9})?(Z|[+-]\\d\\d:\\d\\d)?$"));
    const QRegularExpressionMatch match = pattern.match(dateTime);
    if (!match.hasMatch())
        return {};
    const QDateTime wall =
        platform::FixedDatePattern::readUtc(match.captured(1), QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    if (!wall.isValid())
        return {};
    const QString zone = match.captured(2);
    if (zone.isEmpty())
        return QDateTime(wall.date(), wall.time(), QTimeZone::systemTimeZone());
    qint64 offset = 0;
    if (zone != QLatin1String("Z")) {
        offset = zone.mid(1, 2).toInt() * 3600 + zone.mid(4, 2).toInt() * 60;
        if (zone.startsWith(u'-'))
            offset = -offset;
    }
    return QDateTime(wall.date(), wall.time(), Qt::UTC).addSecs(-offset).toLocalTime();
}

namespace {

// What every event read counts for, kept or not: the latest "updated", the events not cancelled.
void countListed(const QDateTime &updated, bool cancelled, Listing &listing)
{
    if (updated.isValid() && (!listing.mostRecent.isValid() || updated > listing.mostRecent))
        listing.mostRecent = updated;
    listing.returnedAtLeastOneEvent = true;
    if (!cancelled)
        ++listing.recordCounter;
}

// Our own write coming back: Google still holds the "updated" its answer gave us.
bool isOwnWriteBack(const QString &uid, const QString &updatedString, const PageContext &context)
{
    if (updatedString.isEmpty())
        return false;
    const auto written = context.ownWrites.constFind(uid);
    return written != context.ownWrites.constEnd() && (*written == updatedString || *written == kWriteUnanswered);
}

} // namespace

std::optional<QVariantMap> recordOfEvent(const QVariantMap &event, const QVariantMap &response,
                                         const PageContext &context, Listing &listing)
{
    QVariantMap record;
    const QString updatedString = text(event, QStringLiteral("updated"));
    const QDateTime updated = dateOfUpdated(updatedString);
    const bool cancelled = text(event, QStringLiteral("status")) == QLatin1String("cancelled");
    countListed(updated, cancelled, listing);
    if (updated.isValid())
        record.insert(QStringLiteral("NSDATELASTMODIFIEDGOOGLE"), updated);
    const bool hasId = event.contains(QStringLiteral("id"));
    const QString uid = text(event, QStringLiteral("id")) + u'@' + text(response, QStringLiteral("googleCalendarId"));
    if (hasId) {
        record.insert(QStringLiteral("unalteredGoogleId"), event.value(QStringLiteral("id")));
        record.insert(QStringLiteral("UID"), uid);
    }
    record.insert(QStringLiteral("BUSYSTATUS"), text(event, QStringLiteral("transparency")) == QLatin1String("transparent") ? 0 : 2);
    record.insert(QStringLiteral("DELETED"), cancelled);
    if (isIgnored(event, updated, cancelled, context))
        return std::nullopt;
    if (hasId && isOwnWriteBack(uid, updatedString, context))
        return std::nullopt;
    addTexts(event, record);
    QDateTime start;
    QDateTime end;
    addTimes(event, cancelled, record, start, end);
    addAlarm(event, defaultAlarm(response), record);
    addRecurrence(event, record);
    addSeriesZone(event, response, record);
    if (const QStringList categories = categoriesOf(response); !categories.isEmpty())
        record.insert(QStringLiteral("NSARRAYCATEGORIES"), categories);
    if (start.isValid())
        record.insert(QStringLiteral("NSDATESTARTDATE"), start);
    if (end.isValid())
        record.insert(QStringLiteral("NSDATEENDDATE"), end);
    const bool isException = event.contains(QStringLiteral("recurringEventId"));
    if (isException)
        record.insert(QStringLiteral("parentEventId"), event.value(QStringLiteral("recurringEventId")));
    record.insert(QStringLiteral("isRecurringException"), isException);
    return record;
}

namespace {

void fileEvent(const QVariantMap &event, const QVariantMap &response, const PageContext &context, Listing &listing)
{
    const std::optional<QVariantMap> record = recordOfEvent(event, response, context, listing);
    if (!record)
        return;
    if (record->contains(QStringLiteral("UID")))
        listing.changedUids << record->value(QStringLiteral("UID")).toString();
    file(*record, listing);
}

// An event recordOfEvent would leave out for what it is known to be, read no further than that and
// counted as recordOfEvent counts it: one the list date covers (not cancelled, or a cancelled
// occurrence), or our own write coming back with the "updated" its answer gave.
bool isKnownUnchanged(const QJsonObject &event, const QString &calendarId, const PageContext &context, Listing &listing)
{
    const QString updatedString = event.value(QLatin1String("updated")).toString();
    const QDateTime updated = dateOfUpdated(updatedString);
    const bool cancelled = event.value(QLatin1String("status")).toString() == QLatin1String("cancelled");
    const bool covered = isCoveredByListDate(updated, cancelled, event.contains(QLatin1String("recurringEventId")), context);
    const QJsonValue id = event.value(QLatin1String("id"));
    if (!covered && !(id.isString() && isOwnWriteBack(id.toString() + u'@' + calendarId, updatedString, context)))
        return false;
    countListed(updated, cancelled, listing);
    return true;
}

} // namespace

void readPage(const QVariantMap &response, const PageContext &context, Listing &listing)
{
    for (const QVariant &item : response.value(QStringLiteral("items")).toList()) {
        if (item.typeId() == QMetaType::QVariantMap)
            fileEvent(item.toMap(), response, context, listing);
    }
}

void readItems(const QJsonArray &items, const QVariantMap &response, const PageContext &context, Listing &listing)
{
    const QString calendarId = text(response, QStringLiteral("googleCalendarId"));
    for (const QJsonValue &item : items) {
        if (!item.isObject())
            continue;
        const QJsonObject event = item.toObject();
        if (!isKnownUnchanged(event, calendarId, context, listing))
            fileEvent(event.toVariantMap(), response, context, listing);
    }
}

namespace {

// The occurrence's original start as the series lists it: a moved occurrence leaves the series at
// that start. Empty when no start can be read.
QString exceptionStartText(const QVariantMap &exception)
{
    const QString original = text(exception, QStringLiteral("originalStart"));
    QDateTime start = original.contains(u'T') ? dateOfDateTime(original) : localMidnight(original);
    if (!start.isValid())
        start = exception.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    return start.isValid() ? start.toLocalTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) : QString();
}

} // namespace

// The exceptions are grouped by series first: each start is read once, whatever the number of series.
QList<QVariantMap> finishListing(Listing &listing)
{
    QHash<QString, QStringList> startsBySeries;
    for (const QVariantMap &exception : std::as_const(listing.recurringExceptions)) {
        if (const QString start = exceptionStartText(exception); !start.isEmpty())
            startsBySeries[text(exception, QStringLiteral("parentEventId"))] << start;
    }
    for (QVariantMap &series : listing.recurringEvents) {
        const auto starts = startsBySeries.constFind(text(series, QStringLiteral("unalteredGoogleId")));
        if (starts != startsBySeries.constEnd())
            series.insert(QStringLiteral("NSARRAYEXCEPTIONS"), *starts);
    }
    return listing.nonRecurringEvents + listing.recurringEvents + listing.recurringExceptions;
}

QString escapedPageToken(const QString &token)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(token)).replace(u'=', QStringLiteral("%3D"));
}

QString calendarIdForPath(const QString &calendarId)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(calendarId, "@"));
}

QString eventListPath(const QString &calendarId, const QString &escapedToken, const QDateTime &updatedMin)
{
    const QString id = calendarIdForPath(calendarId.isEmpty() ? QStringLiteral("primary") : calendarId);
    const QString base = QStringLiteral("/calendar/v3/calendars/%1/events?maxResults=1000").arg(id);
    const bool dated = updatedMin.isValid();
    if (!escapedToken.isEmpty() && dated)
        return base + QStringLiteral("&updatedMin=%1&showDeleted=true&pageToken=%2").arg(updatedText(updatedMin), escapedToken);
    if (!escapedToken.isEmpty())
        return base + QStringLiteral("&showDeleted=false&pageToken=%1").arg(escapedToken);
    if (dated)
        return base + QStringLiteral("&showDeleted=true&updatedMin=%1").arg(updatedText(updatedMin));
    return base + QStringLiteral("&showDeleted=false");
}

bool listDateIsRecent(const QDateTime &listDate, const QDateTime &now)
{
    return listDate.isValid() && listDate.secsTo(now) <= kRecentListDateSeconds;
}

namespace {

qsizetype skipSpace(QByteArrayView json, qsizetype i)
{
    while (i < json.size() && (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r'))
        ++i;
    return i;
}

// The index past the string whose opening quote is at i; -1 when it does not close. Notes an escape.
qsizetype endOfString(QByteArrayView json, qsizetype i, bool &escaped)
{
    for (++i; i < json.size(); ++i) {
        if (json[i] == '\\') {
            escaped = true;
            ++i;
        } else if (json[i] == '"') {
            return i + 1;
        }
    }
    return -1;
}

// The member's string value when the string at i..end is the key sought at the top level; the scan
// goes on past the value. -1 in next when the value's string does not close.
std::optional<QString> memberValue(QByteArrayView json, qsizetype end, qsizetype &next)
{
    const qsizetype colon = skipSpace(json, end);
    const qsizetype value = colon < json.size() && json[colon] == ':' ? skipSpace(json, colon + 1) : json.size();
    if (value >= json.size() || json[value] != '"')
        return std::nullopt;
    bool escaped = false;
    next = endOfString(json, value, escaped);
    if (next < 0 || escaped)
        return std::nullopt;
    return QString::fromUtf8(json.sliced(value + 1, next - value - 2));
}

} // namespace

std::optional<QString> topLevelText(QByteArrayView json, QByteArrayView key)
{
    qsizetype i = skipSpace(json, 0);
    if (i >= json.size() || json[i] != '{')
        return std::nullopt;
    int depth = 0;
    std::optional<QString> found;
    while (i >= 0 && i < json.size()) {
        const char c = json[i];
        if (c == '"') {
            bool escaped = false;
            const qsizetype end = endOfString(json, i, escaped);
            const bool sought = end > 0 && depth == 1 && !escaped && json.sliced(i + 1, end - i - 2) == key;
            i = end;
            if (sought) {
                if (std::optional<QString> value = memberValue(json, end, i))
                    found = std::move(value);
            }
            continue;
        }
        if (c == '{' || c == '[')
            ++depth;
        else if ((c == '}' || c == ']') && --depth == 0)
            return skipSpace(json, i + 1) == json.size() ? found : std::nullopt;
        ++i;
    }
    return std::nullopt;
}

} // namespace googleeventlist
