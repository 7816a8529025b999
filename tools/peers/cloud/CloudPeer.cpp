#include "CloudPeer.h"

#include "StateJournal.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QVariant>
#include <QTimeZone>

#include <chrono>
#include <thread>

namespace cloudpeer {

namespace {

const char kJsonType[] = "application/json";

// A server stops only once its accept loop runs: a stop before then would leave its thread listening.
void waitUntilListening(const httplib::Server &server)
{
    while (!server.is_running())
        std::this_thread::yield();
}

QString randomSession()
{
    QByteArray bytes(16, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(bytes.toHex());
}

QString digestOf(const QString &password)
{
    return QString::fromLatin1(QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Md5).toHex().toUpper());
}

std::string jsonText(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

QString tableOfConduit(QChar letter)
{
    switch (letter.unicode()) {
    case 'A':
        return QStringLiteral("Contacts");
    case 'D':
        return QStringLiteral("Calendar");
    case 'T':
        return QStringLiteral("Tasks");
    default:
        return QStringLiteral("Notes");
    }
}

QJsonObject recordToJson(const StoredRecord &record)
{
    return QJsonObject{{QStringLiteral("fields"), record.fields},
                       {QStringLiteral("modified"), record.modified},
                       {QStringLiteral("writer"), record.writer},
                       {QStringLiteral("sequence"), record.sequence},
                       {QStringLiteral("deleted"), record.deleted},
                       {QStringLiteral("photo"), QString::fromLatin1(record.photo.toBase64())}};
}

StoredRecord recordFromJson(const QJsonObject &stored)
{
    return StoredRecord{stored.value(QStringLiteral("fields")).toObject(),
                        stored.value(QStringLiteral("modified")).toString(),
                        stored.value(QStringLiteral("writer")).toString(),
                        stored.value(QStringLiteral("sequence")).toInteger(),
                        stored.value(QStringLiteral("deleted")).toBool(),
                        QByteArray::fromBase64(stored.value(QStringLiteral("photo")).toString().toLatin1())};
}

QJsonObject recordsToJson(const QMap<QString, StoredRecord> &records)
{
    QJsonObject list;
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        list.insert(it.key(), recordToJson(*it));
    return list;
}

QMap<QString, StoredRecord> recordsFromJson(const QJsonObject &list)
{
    QMap<QString, StoredRecord> records;
    for (auto it = list.constBegin(); it != list.constEnd(); ++it)
        records.insert(it.key(), recordFromJson(it.value().toObject()));
    return records;
}

} // namespace

QString gmtText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString pacificText(const QDateTime &date)
{
    return date.toTimeZone(QTimeZone("America/Los_Angeles")).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

std::optional<SwitchKind> switchKindFromName(const QString &name)
{
    static const QMap<QString, SwitchKind> kinds{
        {QStringLiteral("cut-before"), SwitchKind::CutBefore},   {QStringLiteral("cut-after"), SwitchKind::CutAfter},
        {QStringLiteral("stall"), SwitchKind::Stall},            {QStringLiteral("garbage"), SwitchKind::Garbage},
        {QStringLiteral("html-500"), SwitchKind::Html500},       {QStringLiteral("oversize"), SwitchKind::Oversize},
        {QStringLiteral("endless"), SwitchKind::Endless},        {QStringLiteral("result-1"), SwitchKind::Result1},
        {QStringLiteral("result-2"), SwitchKind::Result2},       {QStringLiteral("logout-refused"), SwitchKind::LogoutRefused},
        {QStringLiteral("session-expired"), SwitchKind::SessionExpired},
        {QStringLiteral("refuse-insert"), SwitchKind::RefuseInsert},   {QStringLiteral("bad-update"), SwitchKind::BadUpdate},
        {QStringLiteral("omit-records"), SwitchKind::OmitRecords},     {QStringLiteral("no-list"), SwitchKind::NoList},
        {QStringLiteral("extra-rows"), SwitchKind::ExtraRows}};
    const auto found = kinds.constFind(name);
    return found == kinds.constEnd() ? std::nullopt : std::optional<SwitchKind>(*found);
}

CloudPeer::CloudPeer(Options options) : m_options(std::move(options))
{
    if (!m_options.stateFile.isEmpty())
        m_journal = std::make_unique<StateJournal>(m_options.stateFile);
}

CloudPeer::~CloudPeer()
{
    stop();
}

bool CloudPeer::start(QString &error)
{
    if (!loadState(error))
        return false;
    m_http = std::make_unique<httplib::Server>();
    route(*m_http, false);
    m_httpPort = m_options.httpPort > 0 && m_http->bind_to_port("127.0.0.1", m_options.httpPort)
                     ? m_options.httpPort
                     : (m_options.httpPort > 0 ? -1 : m_http->bind_to_any_port("127.0.0.1"));
    if (m_httpPort <= 0) {
        error = QStringLiteral("cannot bind the HTTP port");
        return false;
    }
    m_httpThread = std::thread([this] { m_http->listen_after_bind(); });
    waitUntilListening(*m_http);
    return listenHttps(error);
}

bool CloudPeer::listenHttps(QString &error)
{
    auto server = std::make_unique<httplib::SSLServer>(m_options.certFile.toLocal8Bit().constData(),
                                                       m_options.keyFile.toLocal8Bit().constData());
    if (!server->is_valid()) {
        error = QStringLiteral("cannot use the certificate %1").arg(m_options.certFile);
        return false;
    }
    route(*server, true);
    const int wanted = m_httpsPort > 0 ? m_httpsPort : m_options.httpsPort;
    const int port = wanted > 0 ? (server->bind_to_port("127.0.0.1", wanted) ? wanted : -1)
                                : server->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        error = QStringLiteral("cannot bind the HTTPS port");
        return false;
    }
    m_httpsPort = port;
    m_https = std::move(server);
    m_httpsThread = std::thread([server = m_https.get()] { server->listen_after_bind(); });
    waitUntilListening(*m_https);
    return true;
}

bool CloudPeer::setRefusing(bool refusing)
{
    if (refusing == !m_https)
        return true;
    if (refusing) {
        m_https->stop();
        m_httpsThread.join();
        m_https.reset();
        return true;
    }
    QString error;
    return listenHttps(error);
}

void CloudPeer::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_isStopping = true;
    }
    m_wake.notify_all();
    for (auto *server : {m_https.get(), m_http.get()}) {
        if (server != nullptr)
            server->stop();
    }
    if (m_httpsThread.joinable())
        m_httpsThread.join();
    if (m_httpThread.joinable())
        m_httpThread.join();
}

void CloudPeer::route(httplib::Server &server, bool isSecure)
{
    const auto handler = [this, isSecure](const httplib::Request &request, httplib::Response &response) {
        handle(request, response, isSecure);
    };
    // The photo upload's parts are taken as they come: the parser ends in error on a form with nothing
    // after its closing delimiter, which is how the client ends it, after every part has come.
    server.Post(R"(/v1/update_photo\.php)", [this, isSecure](const httplib::Request &request, httplib::Response &response,
                                                            const httplib::ContentReader &reader) {
        QMap<QString, QByteArray> parts;
        QString current;
        qint64 total = 0;
        reader(
            [&parts, &current](const httplib::MultipartFormData &file) {
                current = QString::fromStdString(file.name);
                parts.insert(current, QByteArray());
                return true;
            },
            [&parts, &current, &total](const char *data, size_t length) {
                total += qint64(length);
                parts[current].append(data, qsizetype(length));
                return total <= 8 * 1024 * 1024;
            });
        updatePhoto(request, parts, response, isSecure);
    });
    server.Post(R"(/.*)", handler);
    server.Get(R"(/peer/.*)", handler);
    server.set_payload_max_length(8 * 1024 * 1024);
    server.set_keep_alive_max_count(m_options.keepsConnections ? 1000 : 1);
    server.set_keep_alive_timeout(5);
    // A reply's head and body go in separate writes: on a kept connection Nagle's algorithm would
    // hold the body until the client's delayed acknowledgement.
    server.set_tcp_nodelay(true);
}

void CloudPeer::handle(const httplib::Request &request, httplib::Response &response, bool isSecure)
{
    if (handleControl(request, response))
        return;
    const QString path = QString::fromStdString(request.path);
    const QByteArray bodyBytes = QByteArray::fromStdString(request.body);
    {
        const std::lock_guard lock(m_mutex);
        m_requests.append({path, bodyBytes, isSecure});
    }
    const QJsonObject body = QJsonDocument::fromJson(bodyBytes).object();
    const std::optional<Switch> change = takeSwitch(path);
    if (change && answerThroughSwitch(*change, path, body, response))
        return;
    if (path == QLatin1String("/v1/get_photo.php")) {
        getPhoto(request, response);
        return;
    }

    if (path == QLatin1String("/v1/account.php")) {
        response.set_content(account(body).toStdString(), kJsonType);
        return;
    }
    response.set_content(jsonText(work(path, body, change)), kJsonType);
}

std::optional<Switch> CloudPeer::takeSwitch(const QString &path)
{
    const std::lock_guard lock(m_mutex);
    for (qsizetype at = 0; at < m_switches.size(); ++at) {
        Switch &change = m_switches[at];
        if ((!change.path.isEmpty() && change.path != path) || change.kind >= SwitchKind::RefuseInsert)
            continue;
        const Switch taken = change;
        if (change.times > 0 && --change.times == 0)
            m_switches.removeAt(at);
        return taken;
    }
    return std::nullopt;
}

bool CloudPeer::answerThroughSwitch(const Switch &change, const QString &path, const QJsonObject &body,
                                    httplib::Response &response)
{
    const auto hangUp = [&response] {
        response.set_content_provider(
            64, "application/json", [](size_t, size_t, httplib::DataSink &) { return false; });
    };
    switch (change.kind) {
    case SwitchKind::CutBefore:
        hangUp();
        return true;
    case SwitchKind::CutAfter:
        (void)work(path, body, std::nullopt);
        hangUp();
        return true;
    case SwitchKind::Stall:
        stall(change);
        return false;
    case SwitchKind::Garbage:
        response.set_content("<<<not json>>> {\"Result\":", "text/plain");
        return true;
    case SwitchKind::Html500:
        response.status = 500;
        response.set_content("<html><body><h1>500 Internal Server Error</h1></body></html>", "text/html");
        return true;
    case SwitchKind::Oversize:
    case SwitchKind::Endless:
        stream(change, response);
        return true;
    default:
        return false; // the rest change what the work answers
    }
}

// Holds the answer for stallMs, or (0) until the switch is cleared; the peer's stop ends either.
void CloudPeer::stall(const Switch &change)
{
    std::unique_lock lock(m_mutex);
    if (change.stallMs > 0) {
        m_wake.wait_for(lock, std::chrono::milliseconds(change.stallMs), [this] { return m_isStopping.load(); });
        return;
    }
    m_wake.wait(lock, [this] {
        return m_isStopping.load() || std::none_of(m_switches.begin(), m_switches.end(),
                                            [](const Switch &s) { return s.kind == SwitchKind::Stall; });
    });
}

// A body of blanks: oversizeBytes announced and sent, or chunks without end; either ends when the
// client hangs up or the peer stops.
void CloudPeer::stream(const Switch &change, httplib::Response &response)
{
    static const std::string block(64 * 1024, ' ');
    if (change.kind == SwitchKind::Oversize) {
        response.set_content_provider(size_t(change.oversizeBytes), "application/json",
                                      [this](size_t, size_t length, httplib::DataSink &sink) {
                                          return !m_isStopping && sink.write(block.data(), std::min(length, block.size()));
                                      });
        return;
    }
    response.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink &sink) {
        return !m_isStopping && sink.write(block.data(), block.size());
    });
}

QJsonObject CloudPeer::work(const QString &path, const QJsonObject &body, const std::optional<Switch> &change)
{
    if (path == QLatin1String("/v1/login.php"))
        return login(body, change);
    if (path == QLatin1String("/v1/account.php"))
        return QJsonDocument::fromJson(account(body)).object();
    const QString session = body.value(QStringLiteral("Session")).toString();
    if (change && change->kind == SwitchKind::SessionExpired) {
        const std::lock_guard lock(m_mutex);
        for (Account &account : m_accounts)
            account.sessions.removeAll(session);
        saveState();
        return QJsonObject{{QStringLiteral("Result"), 3}, {QStringLiteral("Message"), QStringLiteral("Session expired")}};
    }
    if (path == QLatin1String("/v1/logout.php"))
        return logout(body, change);
    if (path == QLatin1String("/v1/purge.php"))
        return purge(body);
    if (path == QLatin1String("/v1/getdata.php"))
        return getData(body);
    if (path == QLatin1String("/v1/update.php"))
        return update(body);
    return QJsonObject{{QStringLiteral("Result"), 9}, {QStringLiteral("Message"), QStringLiteral("Unknown page")}};
}

QJsonObject CloudPeer::login(const QJsonObject &body, const std::optional<Switch> &change)
{
    if (change && (change->kind == SwitchKind::Result1 || change->kind == SwitchKind::Result2))
        return QJsonObject{{QStringLiteral("Result"), change->kind == SwitchKind::Result1 ? 1 : 2}};
    const std::lock_guard lock(m_mutex);
    const auto found = m_accounts.find(body.value(QStringLiteral("Username")).toString());
    if (found == m_accounts.end() ||
        found->passwordDigest.compare(body.value(QStringLiteral("Password")).toString(), Qt::CaseInsensitive) != 0)
        return QJsonObject{{QStringLiteral("Result"), 1}};
    const QString session = randomSession();
    found->sessions.append(session);
    found->sessionDevices.insert(session, body.value(QStringLiteral("DeviceId")).toString());
    saveState();
    const QDateTime now = m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc();
    QJsonObject reply{{QStringLiteral("Result"), 0},
                      {QStringLiteral("Session"), session},
                      {QStringLiteral("Servertime"), now.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) + QStringLiteral("+0000")}};
    for (const QChar letter : {u'A', u'D', u'T', u'M'}) {
        const QJsonValue date = found->changeDates.value(QString(letter));
        if (!date.isUndefined())
            reply.insert(QStringLiteral("Modified") + letter, date);
    }
    return reply;
}

QJsonObject CloudPeer::logout(const QJsonObject &body, const std::optional<Switch> &change)
{
    if (change && change->kind == SwitchKind::LogoutRefused)
        return QJsonObject{{QStringLiteral("Result"), 1}, {QStringLiteral("Message"), QStringLiteral("Logout refused")}};
    const QString session = body.value(QStringLiteral("Session")).toString();
    const std::lock_guard lock(m_mutex);
    // Logging out a session that is gone (or "0") changes nothing and succeeds; the session-expired
    // switch answers the other reading.
    const QString username = accountOfSession(session);
    if (username.isEmpty())
        return QJsonObject{{QStringLiteral("Result"), 0}};
    m_accounts[username].sessions.removeAll(session);
    saveState();
    return QJsonObject{{QStringLiteral("Result"), 0}};
}

QJsonObject CloudPeer::purge(const QJsonObject &body)
{
    const std::lock_guard lock(m_mutex);
    const QString username = accountOfSession(body.value(QStringLiteral("Session")).toString());
    if (username.isEmpty())
        return QJsonObject{{QStringLiteral("Result"), 3}, {QStringLiteral("Message"), QStringLiteral("No such session")}};
    for (const QJsonValue &table : body.value(QStringLiteral("Tables")).toArray()) {
        const QString name = table.toObject().value(QStringLiteral("Table")).toString();
        m_accounts[username].purged.append(name);
        m_accounts[username].tables.remove(name);
        m_accounts[username].droppedTables.append(name);
        noteTableChanged(m_accounts[username], name);
    }
    saveState();
    return QJsonObject{{QStringLiteral("Result"), 0}};
}

// A page over the table's stable order (the order records were first stored). With "Modified" it
// holds the records changed at or after that time (the service's wall clock) by anyone but the
// listing login's device; without it, every record, deleted ones included.
QJsonObject CloudPeer::getData(const QJsonObject &body)
{
    const std::lock_guard lock(m_mutex);
    const QString session = body.value(QStringLiteral("Session")).toString();
    const QString username = accountOfSession(session);
    if (username.isEmpty())
        return QJsonObject{{QStringLiteral("Result"), 3}, {QStringLiteral("Message"), QStringLiteral("No such session")}};
    const QString table = body.value(QStringLiteral("Table")).toString(tableOfConduit(u'A'));
    const Account &account = m_accounts[username];
    const QString device = account.sessionDevices.value(session);
    const QString since = body.value(QStringLiteral("Modified")).toString();
    QList<std::pair<qint64, QString>> order;
    const QMap<QString, StoredRecord> &stored = account.tables.value(table);
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
        if (!since.isEmpty() && (it->modified < since || it->writer == device))
            continue;
        order.append({it->sequence, it.key()});
    }
    std::sort(order.begin(), order.end());
    const qint64 offset = std::max<qint64>(0, body.value(QStringLiteral("Offset")).toString().toLongLong());
    qint64 limit = std::max<qint64>(0, body.value(QStringLiteral("Limit")).toString().toLongLong());
    if (everyOf(SwitchKind::ExtraRows) > 0)
        limit = order.size();
    QJsonArray page;
    for (qint64 at = offset; at < order.size() && at < offset + limit; ++at) {
        const QString &id = order.at(at).second;
        page.append(listedForm(id, stored.value(id), table == QLatin1String("Contacts")));
    }
    if (everyOf(SwitchKind::NoList) > 0)
        return QJsonObject{{QStringLiteral("Result"), 0}};
    return QJsonObject{{QStringLiteral("Result"), 0}, {table, page}};
}

QJsonObject CloudPeer::listedForm(const QString &id, const StoredRecord &record, bool isContact)
{
    QJsonObject listed = record.fields;
    listed.insert(QStringLiteral("Id"), id);
    listed.insert(QStringLiteral("Modified"), record.modified);
    listed.insert(QStringLiteral("Deleted"), record.deleted ? QStringLiteral("1") : QStringLiteral("0"));
    if (isContact)
        listed.insert(QStringLiteral("Photo"), record.photo.isEmpty() ? 0 : 1);
    return listed;
}

// Inserts, updates and deletes, each answered per record. An insert of an id the table knows is the
// same record (a client that never heard the answer sends it again); an update of an unknown id
// stores it; a delete of an unknown id succeeds.
QJsonObject CloudPeer::update(const QJsonObject &body)
{
    const std::lock_guard lock(m_mutex);
    const QString session = body.value(QStringLiteral("Session")).toString();
    const QString username = accountOfSession(session);
    if (username.isEmpty())
        return QJsonObject{{QStringLiteral("Result"), 3}, {QStringLiteral("Message"), QStringLiteral("No such session")}};
    Account &account = m_accounts[username];
    const QString table = body.value(QStringLiteral("Table")).toString(tableOfConduit(u'A'));
    const QString device = account.sessionDevices.value(session);
    QJsonArray inserts;
    QJsonObject updates;
    QJsonArray deletes;
    applyInserts(account, table, body.value(QStringLiteral("Inserts")).toArray(), device, inserts);
    applyUpdates(account, table, body.value(QStringLiteral("Updates")).toArray(), device, updates);
    applyDeletes(account, table, body.value(QStringLiteral("Deletes")).toArray(), device, deletes);
    saveState();
    return QJsonObject{{QStringLiteral("Inserts"), inserts}, {QStringLiteral("Updates"), updates},
                       {QStringLiteral("Deletes"), deletes}};
}

void CloudPeer::applyInserts(Account &account, const QString &table, const QJsonArray &inserts,
                                    const QString &device, QJsonArray &answers)
{
    for (const QJsonValue &value : inserts) {
        const QJsonObject record = value.toObject();
        const QString id = record.value(QStringLiteral("Id")).toString();
        const bool refused = id.isEmpty() || hits(SwitchKind::RefuseInsert);
        if (!refused)
            store(account, table, id, record, device);
        if (!hits(SwitchKind::OmitRecords))
            answers.append(QJsonObject{{QStringLiteral("Id"), id}, {QStringLiteral("Result"), refused ? 0 : 1}});
    }
}

void CloudPeer::applyUpdates(Account &account, const QString &table, const QJsonArray &updates, const QString &device,
                             QJsonObject &answers)
{
    for (const QJsonValue &value : updates) {
        const QJsonObject record = value.toObject();
        const QString id = record.value(QStringLiteral("Id")).toString();
        const bool refused = id.isEmpty() || hits(SwitchKind::BadUpdate);
        if (!refused)
            store(account, table, id, record, device);
        if (!hits(SwitchKind::OmitRecords))
            answers.insert(id, refused ? QStringLiteral("bad") : QStringLiteral("OK"));
    }
}

void CloudPeer::applyDeletes(Account &account, const QString &table, const QJsonArray &deletes, const QString &device,
                             QJsonArray &answers)
{
    const QString now = pacificText(m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc());
    for (const QJsonValue &value : deletes) {
        const QString id = value.toObject().value(QStringLiteral("Id")).toString();
        auto found = account.tables[table].find(id);
        if (found != account.tables[table].end() && !found->deleted) {
            found->deleted = true;
            noteRecordChanged(account, table, id);
            found->modified = now;
            found->writer = device;
            noteTableChanged(account, table);
        }
        if (!hits(SwitchKind::OmitRecords))
            answers.append(QJsonObject{{QStringLiteral("Id"), id}, {QStringLiteral("Result"), id.isEmpty() ? 0 : 1}});
    }
}

// Called with m_mutex held.
void CloudPeer::store(Account &account, const QString &table, const QString &id, const QJsonObject &fields,
                      const QString &device)
{
    StoredRecord &record = account.tables[table][id];
    noteRecordChanged(account, table, id);
    if (record.sequence == 0)
        record.sequence = account.nextSequence++;
    record.fields = fields;
    for (const char *key : {"Id", "Modified", "Deleted"})
        record.fields.remove(QLatin1String(key));
    record.deleted = false;
    record.writer = device;
    record.modified = pacificText(m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc());
    noteTableChanged(account, table);
}

// The login's change date of the table's conduit moves with every change.
void CloudPeer::noteTableChanged(Account &account, const QString &table)
{
    for (const QChar letter : {u'A', u'D', u'T', u'M'}) {
        if (tableOfConduit(letter) == table)
            account.changeDates.insert(QString(letter), gmtText(m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc()));
    }
}

// Called with m_mutex held.
int CloudPeer::everyOf(SwitchKind kind) const
{
    for (const Switch &change : m_switches) {
        if (change.kind == kind)
            return std::max(1, change.every);
    }
    return 0;
}

bool CloudPeer::hits(SwitchKind kind)
{
    const int every = everyOf(kind);
    if (every == 0)
        return false;
    return ++m_switchCounts[int(kind)] % every == 0;
}

void CloudPeer::getPhoto(const httplib::Request &request, httplib::Response &response)
{
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    const std::lock_guard lock(m_mutex);
    const QString username = accountOfSession(body.value(QStringLiteral("Session")).toString());
    const StoredRecord record =
        m_accounts.value(username).tables.value(QStringLiteral("Contacts")).value(body.value(QStringLiteral("Id")).toString());
    if (username.isEmpty() || record.photo.isEmpty()) {
        response.status = 404;
        return;
    }
    response.set_content(record.photo.toStdString(), "image/jpeg");
}

// The multipart form of a photo: the "json" part names the session and the contact, the "photo" part
// holds the picture.
void CloudPeer::updatePhoto(const httplib::Request &request, const QMap<QString, QByteArray> &parts,
                            httplib::Response &response, bool isSecure)
{
    const QString path = QString::fromStdString(request.path);
    const QByteArray photo = parts.value(QStringLiteral("photo"));
    {
        // Kept as the "json" part: the raw form is not at hand.
        const std::lock_guard lock(m_mutex);
        m_requests.append({path, parts.value(QStringLiteral("json")), isSecure});
    }
    if (const std::optional<Switch> change = takeSwitch(path); change && answerThroughSwitch(*change, path, {}, response))
        return;
    const QJsonObject json = QJsonDocument::fromJson(parts.value(QStringLiteral("json"))).object();
    const bool lengthAgrees = request.has_header("Content-Length") &&
                              request.get_header_value("Content-Type").find("boundary=---------------------------7d81b516112482") !=
                                  std::string::npos;
    const std::lock_guard lock(m_mutex);
    const QString username = accountOfSession(json.value(QStringLiteral("Session")).toString());
    const QString id = json.value(QStringLiteral("Id")).toString();
    auto &contacts = m_accounts[username].tables[QStringLiteral("Contacts")];
    if (username.isEmpty() || photo.isEmpty() || !contacts.contains(id) || !lengthAgrees) {
        response.status = 400;
        response.set_content(jsonText(QJsonObject{{QStringLiteral("Result"), 1}}), kJsonType);
        return;
    }
    contacts[id].photo = photo;
    noteRecordChanged(m_accounts[username], QStringLiteral("Contacts"), id);
    contacts[id].modified = pacificText(m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc());
    noteTableChanged(m_accounts[username], QStringLiteral("Contacts"));
    saveState();
    // The form parser marked the reply 400 on the form's bare closing delimiter: the upload was taken.
    response.status = 200;
    response.set_content(jsonText(QJsonObject{{QStringLiteral("Result"), 0}}), kJsonType);
}

QString CloudPeer::accountOfSession(const QString &session) const
{
    for (auto it = m_accounts.constBegin(); it != m_accounts.constEnd(); ++it) {
        if (!session.isEmpty() && it->sessions.contains(session))
            return it.key();
    }
    return QString();
}

// Control and state ------------------------------------------------------------------------------------

bool CloudPeer::handleControl(const httplib::Request &request, httplib::Response &response)
{
    const QString path = QString::fromStdString(request.path);
    if (!path.startsWith(QLatin1String("/peer/")))
        return false;
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    QJsonObject reply{{QStringLiteral("ok"), true}};
    if (path == QLatin1String("/peer/account")) {
        addAccount(body.value(QStringLiteral("Username")).toString(), body.value(QStringLiteral("Password")).toString());
    } else if (path == QLatin1String("/peer/switch")) {
        const std::optional<SwitchKind> kind = switchKindFromName(body.value(QStringLiteral("kind")).toString());
        if (!kind) {
            response.status = 400;
            reply.insert(QStringLiteral("ok"), false);
        } else {
            addSwitch(Switch{*kind, body.value(QStringLiteral("path")).toString(), body.value(QStringLiteral("times")).toInt(),
                             body.value(QStringLiteral("stallMs")).toInt(), 100LL * 1024 * 1024,
                             body.value(QStringLiteral("every")).toInt(1)});
        }
    } else if (path == QLatin1String("/peer/clear-switches")) {
        clearSwitches();
    } else if (path == QLatin1String("/peer/clear-requests")) {
        clearRequests();
    } else if (path == QLatin1String("/peer/refuse")) {
        reply.insert(QStringLiteral("ok"), setRefusing(body.value(QStringLiteral("refuse")).toBool()));
    } else if (path == QLatin1String("/peer/clock")) {
        setClock(QDateTime::fromString(body.value(QStringLiteral("now")).toString(), Qt::ISODate));
    } else if (path == QLatin1String("/peer/records")) {
        reply.insert(QStringLiteral("records"), recordsReply(body));
    } else if (path == QLatin1String("/peer/put-record")) {
        putRecord(body.value(QStringLiteral("Username")).toString(), body.value(QStringLiteral("Table")).toString(),
                  body.value(QStringLiteral("Id")).toString(), body.value(QStringLiteral("Record")).toObject());
    } else if (path == QLatin1String("/peer/put-records")) {
        QList<std::pair<QString, QJsonObject>> list;
        for (const QJsonValue &item : body.value(QStringLiteral("Records")).toArray())
            list.append({item.toObject().value(QStringLiteral("Id")).toString(), item.toObject()});
        putRecords(body.value(QStringLiteral("Username")).toString(), body.value(QStringLiteral("Table")).toString(), list);
    } else if (path == QLatin1String("/peer/delete-record")) {
        deleteRecord(body.value(QStringLiteral("Username")).toString(), body.value(QStringLiteral("Table")).toString(),
                     body.value(QStringLiteral("Id")).toString());
    } else if (path == QLatin1String("/peer/photo")) {
        setPhoto(body.value(QStringLiteral("Username")).toString(), body.value(QStringLiteral("Id")).toString(),
                 QByteArray::fromBase64(body.value(QStringLiteral("Photo")).toString().toLatin1()));
    } else if (path == QLatin1String("/peer/connectors")) {
        reply.insert(QStringLiteral("connectors"), connectorsControl(body).value(QStringLiteral("connectors")));
    } else if (path == QLatin1String("/peer/requests")) {
        QJsonArray list;
        for (const ReceivedRequest &received : requests())
            list.append(QJsonObject{{QStringLiteral("path"), received.path},
                                    {QStringLiteral("body"), QString::fromUtf8(received.body)},
                                    {QStringLiteral("secure"), received.isSecure}});
        reply.insert(QStringLiteral("requests"), list);
    } else {
        response.status = 404;
        reply.insert(QStringLiteral("ok"), false);
    }
    response.set_content(jsonText(reply), kJsonType);
    return true;
}

// The records of {"Username", "Table"} in their listed form, deleted ones included.
QJsonArray CloudPeer::recordsReply(const QJsonObject &body) const
{
    const QString table = body.value(QStringLiteral("Table")).toString();
    const QMap<QString, StoredRecord> stored = records(body.value(QStringLiteral("Username")).toString(), table);
    QJsonArray list;
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it)
        list.append(listedForm(it.key(), *it, table == QLatin1String("Contacts")));
    return list;
}

QMap<QString, StoredRecord> CloudPeer::records(const QString &username, const QString &table) const
{
    const std::lock_guard lock(m_mutex);
    return m_accounts.value(username).tables.value(table);
}

void CloudPeer::putRecord(const QString &username, const QString &table, const QString &id, const QJsonObject &fields,
                          const QString &writer)
{
    const std::lock_guard lock(m_mutex);
    store(m_accounts[username], table, id, fields, writer);
    saveState();
}

void CloudPeer::putRecords(const QString &username, const QString &table,
                           const QList<std::pair<QString, QJsonObject>> &records, const QString &writer)
{
    const std::lock_guard lock(m_mutex);
    for (const auto &[id, fields] : records)
        store(m_accounts[username], table, id, fields, writer);
    saveState();
}

void CloudPeer::deleteRecord(const QString &username, const QString &table, const QString &id, const QString &writer)
{
    const std::lock_guard lock(m_mutex);
    QJsonArray ignored;
    applyDeletes(m_accounts[username], table, QJsonArray{QJsonObject{{QStringLiteral("Id"), id}}}, writer, ignored);
    saveState();
}

void CloudPeer::setPhoto(const QString &username, const QString &id, const QByteArray &photo)
{
    const std::lock_guard lock(m_mutex);
    StoredRecord &record = m_accounts[username].tables[QStringLiteral("Contacts")][id];
    noteRecordChanged(m_accounts[username], QStringLiteral("Contacts"), id);
    if (record.sequence == 0)
        record.sequence = m_accounts[username].nextSequence++;
    record.photo = photo;
    record.writer = QStringLiteral("web");
    noteTableChanged(m_accounts[username], QStringLiteral("Contacts"));
    record.modified = pacificText(m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc());
    saveState();
}

void CloudPeer::addAccount(const QString &username, const QString &password)
{
    const std::lock_guard lock(m_mutex);
    m_accounts[username].passwordDigest = digestOf(password);
    saveState();
}

void CloudPeer::setChangeDate(const QString &username, QChar conduit, const QDateTime &date)
{
    const std::lock_guard lock(m_mutex);
    m_accounts[username].changeDates.insert(QString(conduit), gmtText(date));
    saveState();
}

QStringList CloudPeer::sessions(const QString &username) const
{
    const std::lock_guard lock(m_mutex);
    return m_accounts.value(username).sessions;
}

QStringList CloudPeer::purgedTables(const QString &username) const
{
    const std::lock_guard lock(m_mutex);
    return m_accounts.value(username).purged;
}

// The snapshot, then the journal's changes in order; the result is kept as a new snapshot at once,
// so that a line a kill cut short is gone before anything is appended after it.
bool CloudPeer::loadState(QString &error)
{
    if (!m_journal)
        return true;
    QJsonObject snapshot;
    QList<QJsonObject> changes;
    if (!m_journal->load(snapshot, changes, error))
        return false;
    const std::lock_guard lock(m_mutex);
    applyChange(snapshot);
    for (const QJsonObject &change : changes)
        applyChange(change);
    for (Account &account : m_accounts) {
        account.droppedTables.clear();
        account.changedRecords.clear();
    }
    m_journal->writeSnapshot(wholeState());
    return true;
}

// A snapshot or a journal line: per account its settings and sessions, the tables a purge emptied,
// then its records, whole ("tables") or one by one ("records", null for a record gone).
void CloudPeer::applyChange(const QJsonObject &change)
{
    const QJsonObject accounts = change.value(QStringLiteral("accounts")).toObject();
    for (auto it = accounts.constBegin(); it != accounts.constEnd(); ++it) {
        const QJsonObject stored = it.value().toObject();
        Account &account = m_accounts[it.key()];
        account.passwordDigest = stored.value(QStringLiteral("passwordDigest")).toString();
        account.changeDates = stored.value(QStringLiteral("changeDates")).toObject();
        account.sessions = stored.value(QStringLiteral("sessions")).toVariant().toStringList();
        account.purged = stored.value(QStringLiteral("purged")).toVariant().toStringList();
        account.sessionDevices.clear();
        const QJsonObject devices = stored.value(QStringLiteral("sessionDevices")).toObject();
        for (auto device = devices.constBegin(); device != devices.constEnd(); ++device)
            account.sessionDevices.insert(device.key(), device.value().toString());
        account.nextSequence = stored.value(QStringLiteral("nextSequence")).toInteger(1);
        for (const QJsonValue &table : stored.value(QStringLiteral("droppedTables")).toArray())
            account.tables.remove(table.toString());
        const QJsonObject tables = stored.value(QStringLiteral("tables")).toObject();
        for (auto table = tables.constBegin(); table != tables.constEnd(); ++table)
            account.tables.insert(table.key(), recordsFromJson(table.value().toObject()));
        const QJsonObject records = stored.value(QStringLiteral("records")).toObject();
        for (auto table = records.constBegin(); table != records.constEnd(); ++table) {
            const QJsonObject byId = table.value().toObject();
            for (auto record = byId.constBegin(); record != byId.constEnd(); ++record) {
                if (record.value().isObject())
                    account.tables[table.key()].insert(record.key(), recordFromJson(record.value().toObject()));
                else
                    account.tables[table.key()].remove(record.key());
            }
        }
    }
}

namespace {

// An account's settings, sessions and change dates: small, and written with every change.
QJsonObject accountSettings(const QString &passwordDigest, const QJsonObject &changeDates, const QStringList &sessions,
                            const QStringList &purged, const QMap<QString, QString> &sessionDevices, qint64 nextSequence)
{
    QJsonObject devices;
    for (auto device = sessionDevices.constBegin(); device != sessionDevices.constEnd(); ++device)
        devices.insert(device.key(), device.value());
    return QJsonObject{{QStringLiteral("passwordDigest"), passwordDigest},
                       {QStringLiteral("changeDates"), changeDates},
                       {QStringLiteral("sessions"), QJsonArray::fromStringList(sessions)},
                       {QStringLiteral("purged"), QJsonArray::fromStringList(purged)},
                       {QStringLiteral("sessionDevices"), devices},
                       {QStringLiteral("nextSequence"), nextSequence}};
}

} // namespace

QJsonObject CloudPeer::wholeState() const
{
    QJsonObject accounts;
    for (auto it = m_accounts.constBegin(); it != m_accounts.constEnd(); ++it) {
        QJsonObject stored = accountSettings(it->passwordDigest, it->changeDates, it->sessions, it->purged,
                                             it->sessionDevices, it->nextSequence);
        QJsonObject tables;
        for (auto table = it->tables.constBegin(); table != it->tables.constEnd(); ++table)
            tables.insert(table.key(), recordsToJson(table.value()));
        stored.insert(QStringLiteral("tables"), tables);
        accounts.insert(it.key(), stored);
    }
    return QJsonObject{{QStringLiteral("accounts"), accounts}};
}

// Every account's settings, and of each the tables emptied and the records changed since the last
// line (as they stand now; null for one gone), which it forgets.
QJsonObject CloudPeer::changesSinceSaved()
{
    QJsonObject accounts;
    for (auto it = m_accounts.begin(); it != m_accounts.end(); ++it) {
        QJsonObject stored = accountSettings(it->passwordDigest, it->changeDates, it->sessions, it->purged,
                                             it->sessionDevices, it->nextSequence);
        QJsonObject records;
        for (const auto &[table, id] : it->changedRecords) {
            QJsonObject byId = records.value(table).toObject();
            const auto found = it->tables.value(table).constFind(id);
            byId.insert(id, found == it->tables.value(table).constEnd() ? QJsonValue() : QJsonValue(recordToJson(*found)));
            records.insert(table, byId);
        }
        stored.insert(QStringLiteral("droppedTables"), QJsonArray::fromStringList(it->droppedTables));
        stored.insert(QStringLiteral("records"), records);
        accounts.insert(it.key(), stored);
        it->droppedTables.clear();
        it->changedRecords.clear();
    }
    return QJsonObject{{QStringLiteral("accounts"), accounts}};
}

// Called with m_mutex held: the change reaches the kernel before the answer leaves, so a peer killed
// after answering still holds what it answered.
void CloudPeer::saveState()
{
    if (!m_journal)
        return;
    m_journal->append(changesSinceSaved());
    if (m_journal->wantsSnapshot())
        m_journal->writeSnapshot(wholeState());
}

// Called with m_mutex held.
void CloudPeer::noteRecordChanged(Account &account, const QString &table, const QString &id)
{
    account.changedRecords.insert({table, id});
}

} // namespace cloudpeer
