#include "PhonePeer.h"

#include "PhoneDataFile.h"
#include "StateJournal.h"

#include <httplib.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>

namespace phonepeer {

namespace {

// The most records one update may carry.
constexpr int kMaxUpdateRecords = 100;
constexpr int kDefaultPageSize = 512;
constexpr char kEndMarker[] = "&HASALARM=1";

QByteArray failure(const QString &reason)
{
    return "FAIL\n" + reason.toUtf8() + "\n";
}

// A phone answers in plain text whatever the client accepts: a reply of known length goes out as it
// is, where a body set whole would be compressed for a client that accepts gzip.
void setPlainReply(httplib::Response &response, std::string body, const char *contentType, bool isStopping)
{
    // The library starts no reply of known length once the peer has begun to stop; the reply to a
    // request in hand still goes out whole, as it always has.
    if (isStopping) {
        response.set_content(body, contentType);
        return;
    }
    auto shared = std::make_shared<const std::string>(std::move(body));
    response.set_content_provider(shared->size(), contentType,
                                  [shared](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                                      return sink.write(shared->data() + offset, length);
                                  });
}

bool parseCount(const QString &text, int fallback, int &value)
{
    if (text.isEmpty()) {
        value = fallback;
        return true;
    }
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= 0;
}

struct UpdateLine
{
    Conduit conduit = Conduit::Contacts;
    enum class Action { Add, Change, Delete } action = Action::Add;
    QString uid;
    QMap<QString, QString> fields;
};

// Reads one record line of an update: "Command=<word><Add|Change|Delete>&UID=<id>&KEY=value...".
bool parseUpdateLine(const QString &line, UpdateLine &parsed, QString &problem)
{
    const Pairs pairs = parsePlainPairs(line);
    const QString command = valueOf(pairs, QStringLiteral("Command"));
    static const std::pair<const char *, UpdateLine::Action> actions[] = {{"Add", UpdateLine::Action::Add},
                                                                          {"Change", UpdateLine::Action::Change},
                                                                          {"Delete", UpdateLine::Action::Delete}};
    bool known = false;
    for (const Conduit conduit : kAllConduits) {
        for (const auto &[word, action] : actions) {
            if (command == commandWordOf(conduit) + QLatin1String(word)) {
                parsed.conduit = conduit;
                parsed.action = action;
                known = true;
            }
        }
    }
    if (!known) {
        problem = QStringLiteral("Unknown command '%1'").arg(command.left(40));
        return false;
    }
    parsed.uid = valueOf(pairs, QStringLiteral("UID"));
    if (parsed.uid.isEmpty() && parsed.action != UpdateLine::Action::Add) {
        problem = QStringLiteral("%1 without a UID").arg(command);
        return false;
    }
    for (const auto &[key, value] : pairs) {
        if (key != QLatin1String("Command") && key != QLatin1String("UID") && !key.isEmpty())
            parsed.fields.insert(key, decodeValue(value));
    }
    return true;
}

QString rowText(const QStringList &items)
{
    return items.join(u'\t') + u'\n';
}

} // namespace

bool faultFromFields(const Pairs &fields, Fault &fault, QString &problem)
{
    static const std::pair<const char *, FaultKind> kinds[] = {{"delay", FaultKind::Delay},
                                                               {"fail", FaultKind::Fail},
                                                               {"empty", FaultKind::Empty},
                                                               {"drop", FaultKind::Drop},
                                                               {"malformed", FaultKind::MalformedRows},
                                                               {"drop_before", FaultKind::DropBefore},
                                                               {"refuse_adds", FaultKind::RefuseAdds},
                                                               {"omit_adds", FaultKind::OmitAdds},
                                                               {"cut_id_list", FaultKind::CutIdList},
                                                               {"busy", FaultKind::Busy}};
    const QString kindName = valueOf(fields, QStringLiteral("fault"));
    const auto found = std::find_if(std::begin(kinds), std::end(kinds),
                                    [&kindName](const auto &kind) { return kindName == QLatin1String(kind.first); });
    if (found == std::end(kinds)) {
        problem = QStringLiteral("unknown fault '%1'").arg(kindName);
        return false;
    }
    fault = Fault{};
    fault.kind = found->second;
    fault.path = valueOf(fields, QStringLiteral("path"));
    if (!parseCount(valueOf(fields, QStringLiteral("times")), 0, fault.times) ||
        !parseCount(valueOf(fields, QStringLiteral("delay_ms")), 0, fault.delayMs) ||
        !parseCount(valueOf(fields, QStringLiteral("every")), 1, fault.every) || fault.every == 0) {
        problem = QStringLiteral("times and delay_ms must be whole numbers of at least 0, every at least 1");
        return false;
    }
    if (hasName(fields, QStringLiteral("reason")))
        fault.reason = valueOf(fields, QStringLiteral("reason"));
    return true;
}

PhonePeer::PhonePeer(Options options) : m_options(std::move(options)), m_faults(m_options.faults)
{
    setListReadings(m_options.readings);
}

PhonePeer::~PhonePeer()
{
    stop();
}

bool PhonePeer::start(QString &problem)
{
    if (!loadData(problem))
        return false;
    m_server = std::make_unique<httplib::Server>();
    // One request per connection: every reply ends with the connection, so a client never sends on a
    // connection the peer is about to close, and stopping never waits for idle connections.
    m_server->set_keep_alive_max_count(1);
    m_server->set_payload_max_length(64 * 1024 * 1024);
    const auto hmxHandler = [this](const httplib::Request &request, httplib::Response &response) {
        route(QString::fromStdString(request.path), request, response);
    };
    m_server->Post(R"(/hmx_[a-z]+)", hmxHandler);
    m_server->Post("/peer_control", [this](const httplib::Request &request, httplib::Response &response) {
        control(request, response);
    });
    m_server->Get("/peer_records", [this](const httplib::Request &request, httplib::Response &response) {
        recordsEndpoint(request, response);
    });
    m_server->Post("/peer_records", [this](const httplib::Request &request, httplib::Response &response) {
        recordsEndpoint(request, response);
    });
    // The paths of the requests received so far, one a line, for tests that run the peer as a program.
    m_server->Get("/peer_requests", [this](const httplib::Request &, httplib::Response &response) {
        const QStringList paths = requestLog();
        response.set_content((paths.join(u'\n') + (paths.isEmpty() ? QString() : QStringLiteral("\n"))).toStdString(), "text/plain");
    });
    const std::string host = m_options.host.toStdString();
    m_port = m_options.port == 0                            ? m_server->bind_to_any_port(host)
             : m_server->bind_to_port(host, m_options.port) ? m_options.port
                                                            : -1;
    if (m_port <= 0) {
        problem = QStringLiteral("cannot listen on %1:%2").arg(m_options.host, QString::number(m_options.port));
        m_server.reset();
        return false;
    }
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // Stopping works only once the accept loop runs; requests made before then wait in the backlog.
    while (!m_server->is_running())
        std::this_thread::yield();
    return true;
}

void PhonePeer::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_isStopping = true;
    }
    m_stopping.notify_all();
    if (m_server)
        m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
    // Programs that read the data file after the peer has stopped find it whole, its journal empty.
    const std::lock_guard lock(m_mutex);
    if (m_journal && m_journal->holdsChanges())
        writeSnapshotLocked();
}

void PhonePeer::addFault(const Fault &fault)
{
    const std::lock_guard lock(m_mutex);
    m_faults.append(fault);
}

void PhonePeer::clearFaults()
{
    const std::lock_guard lock(m_mutex);
    m_faults.clear();
}

void PhonePeer::setListReadings(const ListReadings &readings)
{
    const std::lock_guard lock(m_mutex);
    m_readings = readings;
    m_store.setListsOwnWrites(readings.listsOwnWrites);
}

QString PhonePeer::addPhoneRecord(Conduit conduit, const QMap<QString, QString> &fields, const QString &uid)
{
    const std::lock_guard lock(m_mutex);
    QString problem;
    const QString id = m_store.addRecord(conduit, fields, uid);
    (void)saveLocked(problem);
    return id;
}

void PhonePeer::addPhoneRecords(Conduit conduit, const QList<QMap<QString, QString>> &records)
{
    const std::lock_guard lock(m_mutex);
    for (const QMap<QString, QString> &fields : records)
        m_store.addRecord(conduit, fields);
    writeSnapshotLocked();
}

bool PhonePeer::updatePhoneRecord(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields)
{
    const std::lock_guard lock(m_mutex);
    QString problem;
    return m_store.updateRecord(conduit, uid, fields) && saveLocked(problem);
}

bool PhonePeer::deletePhoneRecord(Conduit conduit, const QString &uid)
{
    const std::lock_guard lock(m_mutex);
    QString problem;
    return m_store.deleteRecord(conduit, uid) && saveLocked(problem);
}

QList<PhoneRecord> PhonePeer::records(Conduit conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_store.records(conduit);
}

bool PhonePeer::hasChanges() const
{
    const std::lock_guard lock(m_mutex);
    return m_store.hasChanges();
}

bool PhonePeer::isLoggedOn() const
{
    const std::lock_guard lock(m_mutex);
    return m_isLoggedOn;
}

QStringList PhonePeer::requestLog() const
{
    const std::lock_guard lock(m_mutex);
    return m_requestLog;
}

QList<QByteArray> PhonePeer::photos() const
{
    const std::lock_guard lock(m_mutex);
    return m_photos;
}

QList<Fault> PhonePeer::takeFaults(const QString &path, quint64 &delaysEnded)
{
    const std::lock_guard lock(m_mutex);
    delaysEnded = m_delaysEnded;
    QList<Fault> taken;
    for (Fault &fault : m_faults) {
        if (!fault.path.isEmpty() && fault.path != path)
            continue;
        taken.append(fault);
        if (fault.times > 0 && --fault.times == 0)
            fault.times = -1; // spent
    }
    m_faults.removeIf([](const Fault &fault) { return fault.times < 0; });
    return taken;
}

void PhonePeer::waitFor(int delayMs, quint64 endedBefore)
{
    std::unique_lock lock(m_mutex);
    m_stopping.wait_for(lock, std::chrono::milliseconds(delayMs),
                        [this, endedBefore] { return m_isStopping || m_delaysEnded != endedBefore; });
}

void PhonePeer::endDelays()
{
    {
        const std::lock_guard lock(m_mutex);
        m_faults.removeIf([](const Fault &fault) { return fault.kind == FaultKind::Delay; });
        ++m_delaysEnded;
    }
    m_stopping.notify_all();
}

void PhonePeer::route(const QString &path, const httplib::Request &request, httplib::Response &response)
{
    quint64 delaysEnded = 0;
    const QList<Fault> faults = takeFaults(path, delaysEnded);
    const auto has = [&faults](FaultKind kind) {
        return std::any_of(faults.begin(), faults.end(), [kind](const Fault &fault) { return fault.kind == kind; });
    };
    {
        const std::lock_guard lock(m_mutex);
        m_requestLog.append(path);
    }
    for (const Fault &fault : faults) {
        if (fault.kind == FaultKind::Delay)
            waitFor(fault.delayMs, delaysEnded);
    }
    const auto isStopping = [this] {
        const std::lock_guard lock(m_mutex);
        return m_isStopping;
    };
    if (has(FaultKind::Empty)) {
        response.set_content("", "text/plain");
        return;
    }
    if (has(FaultKind::Fail)) {
        const auto fail = std::find_if(faults.begin(), faults.end(),
                                       [](const Fault &fault) { return fault.kind == FaultKind::Fail; });
        setPlainReply(response, failure(fail->reason).toStdString(), "text/plain", isStopping());
        return;
    }
    if (has(FaultKind::DropBefore)) {
        // Nothing is done, and the connection closes without a reply.
        response.set_content_provider(1, "text/plain", [](std::size_t, std::size_t, httplib::DataSink &) { return false; });
        return;
    }
    const Spoilers spoilers = spoilersOf(faults);
    Reply reply;
    {
        const std::lock_guard lock(m_mutex);
        reply = answer(path, QByteArray::fromStdString(request.body), spoilers);
        QString problem;
        if (reply.shouldSave && !saveLocked(problem))
            reply.body = failure(problem);
    }
    if (!has(FaultKind::Drop)) {
        setPlainReply(response, reply.body.toStdString(), "text/plain; charset=utf-8", isStopping());
        return;
    }
    // The work is done, but the reply stops halfway and the connection closes.
    const std::string whole = reply.body.toStdString();
    const std::size_t sentBytes = std::max<std::size_t>(1, whole.size() / 2);
    response.set_content_provider(whole.size() + 1, "text/plain; charset=utf-8",
                                  [whole, sentBytes](std::size_t, std::size_t, httplib::DataSink &sink) {
                                      sink.write(whole.data(), std::min(sentBytes, whole.size()));
                                      return false;
                                  });
}

PhonePeer::Spoilers PhonePeer::spoilersOf(const QList<Fault> &faults)
{
    Spoilers spoilers;
    for (const Fault &fault : faults) {
        spoilers.malformedRows = spoilers.malformedRows || fault.kind == FaultKind::MalformedRows;
        spoilers.cutIdList = spoilers.cutIdList || fault.kind == FaultKind::CutIdList;
        spoilers.busy = spoilers.busy || fault.kind == FaultKind::Busy;
        if (fault.kind == FaultKind::RefuseAdds)
            spoilers.refuseEvery = fault.every;
        if (fault.kind == FaultKind::OmitAdds)
            spoilers.omitEvery = fault.every;
    }
    return spoilers;
}

PhonePeer::Reply PhonePeer::answer(const QString &path, const QByteArray &body, const Spoilers &spoilers)
{
    if (path == QLatin1String("/hmx_logon"))
        return logon(body, spoilers.busy);
    if (path == QLatin1String("/hmx_logoff"))
        return logoff(body);
    if (path == QLatin1String("/hmx_getdeviceinfo"))
        return deviceInfo();
    if (!m_isLoggedOn)
        return {failure(QStringLiteral("Not logged on")), false};
    if (path == QLatin1String("/hmx_purge"))
        return purge(parsePlainPairs(QString::fromUtf8(body)));
    if (path == QLatin1String("/hmx_list"))
        return list(parsePlainPairs(QString::fromUtf8(body)), spoilers);
    if (path == QLatin1String("/hmx_update"))
        return update(body, spoilers);
    if (path == QLatin1String("/hmx_updatepicture"))
        return updatePicture(body);
    return {failure(QStringLiteral("Unknown command")), false};
}

PhonePeer::Reply PhonePeer::logon(const QByteArray &body, bool busy)
{
    if (busy)
        return {"BUSY\n", false};
    const Pairs fields = parseFormPairs(body);
    if (valueOf(fields, QStringLiteral("hmproductcode")).isEmpty())
        return {failure(QStringLiteral("No product code")), false};
    m_isLoggedOn = true;
    // Edits the desktop made in a sync that ended without a logoff are listed from now on.
    m_store.listOwnWrites();
    const QString deviceTime = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString text = QStringLiteral("OK\nWifiVersion=2.1\nDeviceID=%1\nQPDVersion=7.0\nOSVersion=13\nOS=Android\n"
                                        "DeviceTime=%2\n")
                             .arg(m_options.deviceId, deviceTime);
    return {text.toUtf8(), false};
}

PhonePeer::Reply PhonePeer::logoff(const QByteArray &body)
{
    const Pairs fields = parseFormPairs(body);
    // "canceled"=1 abandons the sync: the phone's changes stay for the next one. A normal logoff
    // ("cancelled"=0) ends a finished sync.
    const bool isCancel = valueOf(fields, QStringLiteral("canceled")) == QLatin1String("1");
    const bool wasLoggedOn = m_isLoggedOn;
    m_isLoggedOn = false;
    if (!isCancel && wasLoggedOn)
        m_store.markSynced();
    return {"OK\n", !isCancel && wasLoggedOn};
}

bool PhonePeer::hasValidCredentials(const Pairs &fields) const
{
    return valueOf(fields, QStringLiteral("password")) == m_options.deviceId ||
           valueOf(fields, QStringLiteral("Username")) == m_options.deviceId;
}

PhonePeer::Reply PhonePeer::purge(const Pairs &fields)
{
    if (!hasValidCredentials(fields))
        return {failure(QStringLiteral("Invalid Device ID")), false};
    Conduit conduit{};
    if (!conduitFromLetter(valueOf(fields, QStringLiteral("conduit")), conduit))
        return {failure(QStringLiteral("Unknown conduit")), false};
    m_store.purge(conduit);
    return {"OK\n", true};
}

PhonePeer::Reply PhonePeer::idList(Conduit conduit, bool cutShort) const
{
    const QList<PhoneRecord> records = m_store.records(conduit);
    QString text = listHead(conduit, records.size(), records.size());
    text += rowText({QStringLiteral("ACTION"), QStringLiteral("UID")});
    // A cut-short list ends halfway through its rows, as a reply whose connection broke and whose
    // length nobody announced.
    const qsizetype rows = cutShort ? records.size() / 2 : records.size();
    for (qsizetype index = 0; index < rows; ++index)
        text += rowText({QStringLiteral("add"), records.at(index).uid});
    return {text.toUtf8(), false};
}

PhonePeer::Reply PhonePeer::list(const Pairs &fields, const Spoilers &spoilers)
{
    const bool malformedRows = spoilers.malformedRows;
    if (!hasValidCredentials(fields))
        return {failure(QStringLiteral("Invalid Device ID")), false};
    Conduit conduit{};
    if (!conduitFromLetter(valueOf(fields, QStringLiteral("conduit")), conduit))
        return {failure(QStringLiteral("Unknown conduit")), false};
    const QString mode = valueOf(fields, QStringLiteral("mode"));
    if (mode == QLatin1String("idlist"))
        return idList(conduit, spoilers.cutIdList);
    int limit = 0;
    int offset = 0;
    if (!parseCount(valueOf(fields, QStringLiteral("Limit")), kDefaultPageSize, limit) || limit == 0 ||
        !parseCount(valueOf(fields, QStringLiteral("Offset")), 0, offset))
        return {failure(QStringLiteral("Invalid Limit or Offset")), false};
    // With a date the phone lists its changes since the last sync; without one, every record.
    const bool changedOnly = hasName(fields, QStringLiteral("modified"));
    const QList<ListedRow> listing = m_store.listRows(conduit, changedOnly);
    const QList<ListedRow> rows = listing.mid(offset, limit);
    QString text = listHead(conduit, rows.size(), listing.size());
    if (rows.isEmpty()) {
        text.truncate(text.indexOf(QLatin1String("List=")));
        return {text.toUtf8(), false};
    }
    QStringList keys;
    for (const ListedRow &row : rows) {
        for (auto it = row.record.fields.begin(); it != row.record.fields.end(); ++it) {
            if (it.key() != QLatin1String("ACTION") && it.key() != QLatin1String("UID") && !keys.contains(it.key()))
                keys.append(it.key());
        }
    }
    keys.sort();
    text += rowText(QStringList{QStringLiteral("ACTION"), QStringLiteral("UID")} + keys);
    for (qsizetype index = 0; index < rows.size(); ++index) {
        const ListedRow &row = rows.at(index);
        QStringList items{row.action, row.record.uid};
        for (const QString &key : keys)
            items.append(encodeValue(row.record.fields.value(key)));
        text += rowText(items);
        if (malformedRows && index == 0)
            text += rowText(QStringList{QStringLiteral("update"), QStringLiteral("BROKEN")} + keys + keys);
    }
    return {text.toUtf8(), false};
}

QString PhonePeer::listHead(Conduit conduit, qsizetype rows, qsizetype total) const
{
    // The client reads a list only after some text between the status line and "List=".
    QString head = QStringLiteral("OK\n");
    switch (m_readings.count) {
    case ListReadings::Count::PageRows:
        head += QStringLiteral("Count=%1\n").arg(rows);
        break;
    case ListReadings::Count::ListingTotal:
        head += QStringLiteral("Count=%1\n").arg(total);
        break;
    case ListReadings::Count::Absent:
        head += QStringLiteral("Conduit=%1\n").arg(letterOf(conduit));
        break;
    }
    return head + QStringLiteral("List=%1\n").arg(m_readings.listNumber ? QString::number(rows) : listNameOf(conduit));
}

PhonePeer::Reply PhonePeer::update(const QByteArray &body, const Spoilers &spoilers)
{
    QStringList lines = QString::fromUtf8(body).split(u'\n');
    const Pairs header = parsePlainPairs(lines.isEmpty() ? QString() : lines.takeFirst());
    if (valueOf(header, QStringLiteral("Command")) != QLatin1String("login") || !hasValidCredentials(header))
        return {failure(QStringLiteral("Invalid Device ID")), false};
    lines.removeIf([](const QString &line) { return line.isEmpty(); });
    // The last line ends with a marker that belongs to no record.
    if (!lines.isEmpty() && lines.last().endsWith(QLatin1String(kEndMarker))) {
        lines.last().chop(qsizetype(sizeof kEndMarker - 1));
        if (lines.last().isEmpty())
            lines.removeLast();
    }
    if (lines.size() > kMaxUpdateRecords)
        return {failure(QStringLiteral("Too many records in one update (%1)").arg(lines.size())), false};
    // Every line is read before any is applied: a bad batch changes nothing.
    QList<UpdateLine> parsed;
    for (const QString &line : lines) {
        UpdateLine entry;
        QString problem;
        if (!parseUpdateLine(line, entry, problem))
            return {failure(problem), false};
        parsed.append(entry);
    }
    QString text;
    int adds = 0;
    for (const UpdateLine &entry : parsed) {
        switch (entry.action) {
        case UpdateLine::Action::Add: {
            ++adds;
            if (spoilers.refuseEvery > 0 && adds % spoilers.refuseEvery == 0) {
                text += entry.uid + QStringLiteral("\tFAIL\n");
                break;
            }
            const QString permanent = m_store.applyAdd(entry.conduit, entry.fields);
            const bool isOmitted = spoilers.omitEvery > 0 && adds % spoilers.omitEvery == 0;
            if (!entry.uid.isEmpty() && !isOmitted)
                text += entry.uid + u'\t' + permanent + u'\n';
            break;
        }
        case UpdateLine::Action::Change:
            m_store.applyChange(entry.conduit, entry.uid, entry.fields);
            break;
        case UpdateLine::Action::Delete:
            m_store.applyDelete(entry.conduit, entry.uid);
            break;
        }
    }
    return {(text + QStringLiteral("OK")).toUtf8(), !parsed.isEmpty()};
}

PhonePeer::Reply PhonePeer::updatePicture(const QByteArray &body)
{
    const QByteArray headerEnd = "Percent=100";
    const qsizetype at = body.indexOf(headerEnd);
    if (at < 0)
        return {failure(QStringLiteral("No picture header")), false};
    const Pairs header = parsePlainPairs(QString::fromUtf8(body.left(at)));
    if (!hasValidCredentials(header))
        return {failure(QStringLiteral("Invalid Device ID")), false};
    m_photos.append(body.mid(at + headerEnd.size()));
    return {"OK\n", false};
}

PhonePeer::Reply PhonePeer::deviceInfo() const
{
    return {QStringLiteral("OK\nDeviceID=%1\n").arg(m_options.deviceId).toUtf8(), false};
}

void PhonePeer::control(const httplib::Request &request, httplib::Response &response)
{
    const Pairs fields = parseFormPairs(QByteArray::fromStdString(request.body));
    if (valueOf(fields, QStringLiteral("fault")) == QLatin1String("reset")) {
        clearFaults();
        response.set_content("OK\n", "text/plain");
        return;
    }
    Fault fault;
    QString problem;
    if (!faultFromFields(fields, fault, problem)) {
        response.status = 400;
        response.set_content(failure(problem).toStdString(), "text/plain");
        return;
    }
    addFault(fault);
    response.set_content("OK\n", "text/plain");
}

void PhonePeer::recordsEndpoint(const httplib::Request &request, httplib::Response &response)
{
    const std::lock_guard lock(m_mutex);
    if (request.method == "GET") {
        response.set_content(m_store.toJson().toStdString(), "application/json");
        return;
    }
    const QJsonObject edit = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    Conduit conduit{};
    const QString action = edit.value(QStringLiteral("action")).toString();
    const QString uid = edit.value(QStringLiteral("uid")).toString();
    QMap<QString, QString> fields;
    const QJsonObject given = edit.value(QStringLiteral("fields")).toObject();
    for (auto it = given.begin(); it != given.end(); ++it)
        fields.insert(it.key(), it.value().toVariant().toString());
    bool done = false;
    QString resultUid = uid;
    if (conduitFromLetter(edit.value(QStringLiteral("conduit")).toString(), conduit)) {
        if (action == QLatin1String("add")) {
            resultUid = m_store.addRecord(conduit, fields, uid);
            done = true;
        } else if (action == QLatin1String("update")) {
            done = m_store.updateRecord(conduit, uid, fields);
        } else if (action == QLatin1String("delete")) {
            done = m_store.deleteRecord(conduit, uid);
        }
    }
    QString problem;
    if (!done || !saveLocked(problem)) {
        response.status = 400;
        response.set_content(
            failure(problem.isEmpty() ? QStringLiteral("Unknown conduit, action or uid") : problem).toStdString(),
            "text/plain");
        return;
    }
    response.set_content(("OK\n" + resultUid.toUtf8() + "\n").toStdString(), "text/plain");
}

// The snapshot and the journal's changes; the result is written as a new snapshot at once when the
// journal held anything, so that a line a kill cut short is gone before anything is appended after it.
bool PhonePeer::loadData(QString &problem)
{
    if (m_options.dataFile.isEmpty())
        return true;
    const std::lock_guard lock(m_mutex);
    if (!loadPhoneData(m_options.dataFile, m_store, problem))
        return false;
    m_journal = std::make_unique<peerjournal::StateJournal>(m_options.dataFile);
    m_store.setNotesChanges(true);
    if (m_journal->holdsChanges())
        writeSnapshotLocked();
    return true;
}

bool PhonePeer::saveLocked(QString &problem)
{
    const QJsonObject changes = m_store.takeChanges();
    if (!m_journal || changes.isEmpty())
        return true;
    if (!m_journal->append(changes)) {
        problem = QStringLiteral("%1.journal: cannot be written").arg(m_options.dataFile);
        return false;
    }
    if (m_journal->wantsSnapshot())
        writeSnapshotLocked();
    return true;
}

// A snapshot that cannot be written leaves the journal and the changes not yet in it as they are, for
// the next line to keep.
void PhonePeer::writeSnapshotLocked()
{
    if (m_journal && m_journal->writeSnapshot(m_store.toJson()))
        (void)m_store.takeChanges();
}

} // namespace phonepeer
