// Calendar v3 events of the Google peer: listed by page with "updatedMin" and "showDeleted", written
// one event at a time. Series come back whole, with one item per changed or cancelled occurrence.
#include "GooglePeer.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace googlepeer {

namespace {

const char kEventJsonType[] = "application/json; charset=UTF-8";
constexpr int kDefaultPageSize = 250;
constexpr int kLargestPageSize = 2500;

// "p" and the offset, base64: it ends in "=" as Google's tokens may.
QString pageToken(qsizetype offset)
{
    QByteArray plain = "p" + QByteArray::number(offset);
    while (plain.size() % 3 == 0)
        plain += ' ';
    return QString::fromLatin1(plain.toBase64());
}

qsizetype offsetOfToken(const QString &token)
{
    const QByteArray plain = QByteArray::fromBase64(token.toLatin1()).trimmed();
    return plain.startsWith('p') ? std::max<qsizetype>(0, plain.mid(1).toLongLong()) : 0;
}

// Google's ids of events: base32hex (lower-case a to v and digits), 5 to 1024 characters.
bool isValidEventId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-v0-9]{5,1024}$"));
    return pattern.match(id).hasMatch();
}

// An occurrence id: the series id, "_" and the original start ("20210304T090000Z" or "20210304").
bool splitOccurrenceId(const QString &id, QString &series, QJsonObject &originalStart)
{
    static const QRegularExpression pattern(QStringLiteral("^([a-v0-9]{5,1024})_(\\d{8})(T\\d{6}Z)?$"));
    const QRegularExpressionMatch match = pattern.match(id);
    if (!match.hasMatch())
        return false;
    series = match.captured(1);
    const QString day = match.captured(2);
    const QString date = day.left(4) + u'-' + day.mid(4, 2) + u'-' + day.mid(6, 2);
    const QString time = match.captured(3);
    if (time.isEmpty())
        originalStart = QJsonObject{{QStringLiteral("date"), date}};
    else
        originalStart = QJsonObject{{QStringLiteral("dateTime"), date + u'T' + time.mid(1, 2) + u':' + time.mid(3, 2) + u':' +
                                                                     time.mid(5, 2) + u'Z'}};
    return true;
}

// What a listing shows of a cancelled event: Google keeps its id, status and place in its series.
QJsonObject cancelledItem(const QJsonObject &event, bool bare)
{
    if (!bare)
        return event;
    QJsonObject item{{QStringLiteral("kind"), QStringLiteral("calendar#event")},
                     {QStringLiteral("id"), event.value(QStringLiteral("id"))},
                     {QStringLiteral("status"), QStringLiteral("cancelled")}};
    for (const char *key : {"recurringEventId", "originalStartTime"}) {
        if (event.contains(QLatin1String(key)))
            item.insert(QLatin1String(key), event.value(QLatin1String(key)));
    }
    return item;
}

} // namespace

// Called with the lock held.
QJsonObject GooglePeer::eventsOf(const QString &email, const QString &calendarId) const
{
    return accountOf(email).value(QStringLiteral("events")).toObject().value(calendarId).toObject();
}

// Called with the lock held; the change is kept before the answer.
void GooglePeer::storeEvent(const QString &email, const QString &calendarId, const QJsonObject &event)
{
    QJsonObject account = accountOf(email);
    QJsonObject calendars = account.value(QStringLiteral("events")).toObject();
    QJsonObject events = calendars.value(calendarId).toObject();
    events.insert(event.value(QStringLiteral("id")).toString(), event);
    calendars.insert(calendarId, events);
    account.insert(QStringLiteral("events"), calendars);
    putAccount(email, account);
    noteRecordChanged({email, QStringLiteral("events"), calendarId, event.value(QStringLiteral("id")).toString()});
    saveState();
}

// Called with the lock held: the clock in milliseconds, later than every stamp handed out before.
QString GooglePeer::nextEventStamp()
{
    QDateTime stamp = (m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc()).toUTC();
    const QDateTime last = QDateTime::fromString(m_state.value(QStringLiteral("lastEventStamp")).toString(), Qt::ISODateWithMs);
    if (last.isValid() && stamp <= last)
        stamp = last.addMSecs(1);
    const QString text = stamp.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
    m_state.insert(QStringLiteral("lastEventStamp"), text);
    return text;
}

// The calendar a path names: "primary", the account's address or one of its calendars; empty when
// none. Called with the lock held.
QString GooglePeer::calendarOfPath(const QString &email, const QString &segment) const
{
    const QString id = QUrl::fromPercentEncoding(segment.toUtf8());
    if (id == QLatin1String("primary") || id == email)
        return QStringLiteral("primary");
    const QJsonArray calendars = accountOf(email).value(QStringLiteral("calendars")).toArray();
    for (const QJsonValue &calendar : calendars) {
        if (calendar.toObject().value(QStringLiteral("id")).toString() == id)
            return id;
    }
    return {};
}

bool GooglePeer::eventsService(const QString &email, const httplib::Request &request, httplib::Response &response,
                               const std::optional<Switch> &change)
{
    // The raw path: an encoded "/" or "#" inside an id stays inside its segment.
    const QString raw = QString::fromStdString(request.target).section(u'?', 0, 0);
    const QStringList parts = raw.split(u'/', Qt::SkipEmptyParts);
    if (parts.size() < 5 || parts.size() > 6 || parts[0] != QLatin1String("calendar") || parts[1] != QLatin1String("v3") ||
        parts[2] != QLatin1String("calendars") || parts[4] != QLatin1String("events"))
        return false;
    QString calendarId;
    {
        const std::lock_guard lock(m_mutex);
        calendarId = calendarOfPath(email, parts[3]);
    }
    if (calendarId.isEmpty()) {
        sendError(response, 404, QStringLiteral("Not Found"));
        return true;
    }
    const QString eventId = parts.size() == 6 ? QUrl::fromPercentEncoding(parts[5].toUtf8()) : QString();
    if (parts.size() == 5 && request.method == "GET")
        listEvents(email, calendarId, request, response, change);
    else if (parts.size() == 5 && request.method == "POST")
        writeEvent(email, calendarId, QString(), request, response);
    else if (parts.size() == 6 && request.method == "PUT")
        writeEvent(email, calendarId, eventId, request, response);
    else if (parts.size() == 6 && request.method == "DELETE")
        deleteEvent(email, calendarId, eventId, response);
    else
        sendError(response, 405, QStringLiteral("Method Not Allowed"));
    return true;
}

// The events a listing shows, in no order, and the calendar's entry.
QList<QJsonObject> GooglePeer::listedEvents(const QString &email, const QString &calendarId, const QDateTime &updatedMin,
                                            bool showDeleted, QJsonObject &calendar) const
{
    QList<QJsonObject> listed;
    const std::lock_guard lock(m_mutex);
    const QJsonObject events = eventsOf(email, calendarId);
    for (auto it = events.begin(); it != events.end(); ++it) {
        const QJsonObject event = it.value().toObject();
        const bool cancelled = event.value(QStringLiteral("status")).toString() == QLatin1String("cancelled");
        const QDateTime updated = QDateTime::fromString(event.value(QStringLiteral("updated")).toString(), Qt::ISODateWithMs);
        // Cancelled occurrences of a series still there are listed without showDeleted too.
        const QString series = event.value(QStringLiteral("recurringEventId")).toString();
        const bool seriesAlive = !series.isEmpty() && events.contains(series) &&
                                 events.value(series).toObject().value(QStringLiteral("status")).toString() !=
                                     QLatin1String("cancelled");
        if ((cancelled && !showDeleted && !seriesAlive) || (updatedMin.isValid() && updated < updatedMin))
            continue;
        listed.append(event);
    }
    for (const QJsonValue &entry : accountOf(email).value(QStringLiteral("calendars")).toArray()) {
        if (entry.toObject().value(QStringLiteral("id")).toString() == calendarId)
            calendar = entry.toObject();
    }
    return listed;
}

// The calendar's own "timeZone", else the account's (the primary calendar's), else "UTC".
QString GooglePeer::calendarTimeZone(const QString &email, const QJsonObject &calendar) const
{
    if (const QString zone = calendar.value(QStringLiteral("timeZone")).toString(); !zone.isEmpty())
        return zone;
    const std::lock_guard lock(m_mutex);
    const QString zone = accountOf(email).value(QStringLiteral("timeZone")).toString();
    return zone.isEmpty() ? QStringLiteral("UTC") : zone;
}

void GooglePeer::listEvents(const QString &email, const QString &calendarId, const httplib::Request &request,
                            httplib::Response &response, const std::optional<Switch> &change)
{
    const QDateTime updatedMin =
        QDateTime::fromString(QString::fromStdString(request.get_param_value("updatedMin")), Qt::ISODateWithMs);
    if (request.has_param("updatedMin") && !updatedMin.isValid()) {
        sendError(response, 400, QStringLiteral("Bad Request"));
        return;
    }
    // Google lists deletions since updatedMin whatever showDeleted says.
    const bool showDeleted = request.get_param_value("showDeleted") == "true" || updatedMin.isValid();
    const QString maxText = QString::fromStdString(request.get_param_value("maxResults"));
    int perPage = std::clamp(maxText.isEmpty() ? kDefaultPageSize : maxText.toInt(), 1, kLargestPageSize);
    const bool smallPages = change && (change->kind == SwitchKind::SmallPages || change->kind == SwitchKind::RepeatedPageToken);
    if (smallPages)
        perPage = 2;
    {
        const std::lock_guard lock(m_mutex);
        if (const int bound = m_state.value(QStringLiteral("eventPageSize")).toInt(); bound > 0)
            perPage = std::min(perPage, bound);
    }
    const bool repeats = change && change->kind == SwitchKind::RepeatedPageToken;
    const qsizetype start = repeats ? 0 : offsetOfToken(QString::fromStdString(request.get_param_value("pageToken")));
    QJsonObject calendar;
    QList<QJsonObject> listed = listedEvents(email, calendarId, updatedMin, showDeleted, calendar);
    std::sort(listed.begin(), listed.end(), [](const QJsonObject &a, const QJsonObject &b) {
        const QString left = a.value(QStringLiteral("updated")).toString();
        const QString right = b.value(QStringLiteral("updated")).toString();
        return left != right ? left < right : a.value(QStringLiteral("id")).toString() < b.value(QStringLiteral("id")).toString();
    });
    const bool bare = change && change->kind == SwitchKind::BareCancelled;
    QJsonArray items;
    for (qsizetype at = start; at < listed.size() && at < start + perPage; ++at) {
        const QJsonObject &event = listed.at(at);
        const bool cancelled = event.value(QStringLiteral("status")).toString() == QLatin1String("cancelled");
        items.append(cancelled ? cancelledItem(event, bare) : event);
    }
    QJsonObject reply{{QStringLiteral("kind"), QStringLiteral("calendar#events")},
                      {QStringLiteral("summary"), calendarId == QLatin1String("primary")
                                                      ? email
                                                      : calendar.value(QStringLiteral("summary")).toString()},
                      {QStringLiteral("timeZone"), calendarTimeZone(email, calendar)},
                      {QStringLiteral("accessRole"), QStringLiteral("owner")},
                      {QStringLiteral("defaultReminders"),
                       calendar.contains(QStringLiteral("defaultReminders"))
                           ? calendar.value(QStringLiteral("defaultReminders"))
                           : QJsonArray{QJsonObject{{QStringLiteral("method"), QStringLiteral("popup")},
                                                    {QStringLiteral("minutes"), 30}}}},
                      {QStringLiteral("items"), items}};
    if (start + perPage < listed.size())
        reply.insert(QStringLiteral("nextPageToken"), pageToken(repeats ? perPage : start + perPage));
    response.set_content(QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString(), kEventJsonType);
}

// An insert keeps the "id" it was sent (409 when the calendar holds it, deleted or not); an update
// replaces the event, or makes the changed occurrence of a series its id names.
void GooglePeer::writeEvent(const QString &email, const QString &calendarId, const QString &eventId,
                            const httplib::Request &request, httplib::Response &response)
{
    QJsonParseError error;
    QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &error).object();
    if (error.error != QJsonParseError::NoError) {
        sendError(response, 400, QStringLiteral("Parse Error"));
        return;
    }
    const std::lock_guard lock(m_mutex);
    const QJsonObject events = eventsOf(email, calendarId);
    QString id = eventId;
    if (id.isEmpty()) {
        id = event.value(QStringLiteral("id")).toString();
        if (id.isEmpty()) {
            const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
            m_state.insert(QStringLiteral("counter"), counter);
            id = QStringLiteral("e%1").arg(QString::number(counter, 32).rightJustified(8, u'0'));
        } else if (!isValidEventId(id)) {
            sendError(response, 400, QStringLiteral("Invalid resource id value."));
            return;
        } else if (events.contains(id)) {
            sendError(response, 409, QStringLiteral("The requested identifier already exists."));
            return;
        }
        event.insert(QStringLiteral("created"), QString());
    } else if (!events.contains(id)) {
        QString series;
        QJsonObject originalStart;
        if (!splitOccurrenceId(id, series, originalStart) || !events.contains(series)) {
            sendError(response, 404, QStringLiteral("Not Found"));
            return;
        }
        event.insert(QStringLiteral("recurringEventId"), series);
        event.insert(QStringLiteral("originalStartTime"), originalStart);
    } else if (events.value(id).toObject().value(QStringLiteral("status")).toString() == QLatin1String("cancelled") &&
               event.value(QStringLiteral("status")).toString() != QLatin1String("confirmed")) {
        sendError(response, 410, QStringLiteral("Resource has been deleted"));
        return;
    } else {
        for (const char *key : {"recurringEventId", "originalStartTime", "created"}) {
            const QJsonObject old = events.value(id).toObject();
            if (old.contains(QLatin1String(key)) && !event.contains(QLatin1String(key)))
                event.insert(QLatin1String(key), old.value(QLatin1String(key)));
        }
    }
    const QString stamp = nextEventStamp();
    event.insert(QStringLiteral("kind"), QStringLiteral("calendar#event"));
    event.insert(QStringLiteral("id"), id);
    event.insert(QStringLiteral("updated"), stamp);
    if (event.value(QStringLiteral("created")).toString().isEmpty())
        event.insert(QStringLiteral("created"), stamp);
    if (!event.contains(QStringLiteral("status")))
        event.insert(QStringLiteral("status"), QStringLiteral("confirmed"));
    event.insert(QStringLiteral("organizer"), QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("self"), true}});
    storeEvent(email, calendarId, event);
    response.status = 200;
    response.set_content(QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString(), kEventJsonType);
}

// A deletion marks the event cancelled (its "updated" moves); a series takes its occurrences with it.
// An event deleted before answers 410, an unknown one 404.
void GooglePeer::deleteEvent(const QString &email, const QString &calendarId, const QString &eventId,
                             httplib::Response &response)
{
    const std::lock_guard lock(m_mutex);
    const QJsonObject events = eventsOf(email, calendarId);
    QJsonObject event = events.value(eventId).toObject();
    QString series;
    QJsonObject originalStart;
    if (event.isEmpty() && splitOccurrenceId(eventId, series, originalStart) && events.contains(series)) {
        event = QJsonObject{{QStringLiteral("id"), eventId}, {QStringLiteral("recurringEventId"), series},
                            {QStringLiteral("originalStartTime"), originalStart}};
    } else if (event.isEmpty()) {
        sendError(response, 404, QStringLiteral("Not Found"));
        return;
    } else if (event.value(QStringLiteral("status")).toString() == QLatin1String("cancelled")) {
        sendError(response, 410, QStringLiteral("Resource has been deleted"));
        return;
    }
    event.insert(QStringLiteral("status"), QStringLiteral("cancelled"));
    event.insert(QStringLiteral("updated"), nextEventStamp());
    storeEvent(email, calendarId, event);
    for (auto it = events.begin(); it != events.end(); ++it) {
        QJsonObject occurrence = it.value().toObject();
        if (occurrence.value(QStringLiteral("recurringEventId")).toString() != eventId ||
            occurrence.value(QStringLiteral("status")).toString() == QLatin1String("cancelled"))
            continue;
        occurrence.insert(QStringLiteral("status"), QStringLiteral("cancelled"));
        occurrence.insert(QStringLiteral("updated"), nextEventStamp());
        storeEvent(email, calendarId, occurrence);
    }
    response.status = 204;
}

// A user's edit on Google: the event (with its "id") put into the calendar as it stands, stamped.
bool GooglePeer::userPutEvent(const QString &email, const QString &calendarId, QJsonObject event)
{
    const std::lock_guard lock(m_mutex);
    const QString calendar = calendarOfPath(email, calendarId);
    if (calendar.isEmpty() || event.value(QStringLiteral("id")).toString().isEmpty())
        return false;
    event.insert(QStringLiteral("kind"), QStringLiteral("calendar#event"));
    event.insert(QStringLiteral("updated"), nextEventStamp());
    if (!event.contains(QStringLiteral("status")))
        event.insert(QStringLiteral("status"), QStringLiteral("confirmed"));
    storeEvent(email, calendar, event);
    return true;
}

} // namespace googlepeer
