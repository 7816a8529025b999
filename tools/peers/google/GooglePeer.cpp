#include "GooglePeer.h"
#include "StateJournal.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>

#include <chrono>

namespace googlepeer {

namespace {

const char kJsonType[] = "application/json; charset=UTF-8";

std::string jsonText(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// A form body split into its fields, each percent-decoded ("+" is a blank).
QMap<QString, QString> formFields(const std::string &body)
{
    QMap<QString, QString> fields;
    for (const QByteArray &pair : QByteArray::fromStdString(body).split('&')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray key = equals < 0 ? pair : pair.left(equals);
        QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        value.replace('+', ' ');
        fields.insert(QString::fromUtf8(QByteArray::fromPercentEncoding(key)),
                      QString::fromUtf8(QByteArray::fromPercentEncoding(value)));
    }
    return fields;
}

QString randomText(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

void sendError(httplib::Response &response, int status, const QString &reason)
{
    response.status = status;
    response.set_content(jsonText(QJsonObject{{QStringLiteral("error"),
                                               QJsonObject{{QStringLiteral("code"), status},
                                                           {QStringLiteral("message"), reason}}}}),
                         kJsonType);
}

namespace {

// The refresh endpoint answers as Google spaces its JSON; the sign-in endpoint with a blank on each
// side of the colon; switches choose another.
TokenStyle tokenStyle(const QString &path, const std::optional<Switch> &change)
{
    if (change && change->kind == SwitchKind::CompactToken)
        return TokenStyle::Compact;
    if (change && change->kind == SwitchKind::GoogleSpacedToken)
        return TokenStyle::GoogleSpaced;
    return path == QLatin1String("/o/oauth2/token") ? TokenStyle::SpacedBothSides : TokenStyle::GoogleSpaced;
}

} // namespace

std::optional<SwitchKind> switchKindFromName(const QString &name)
{
    static const QMap<QString, SwitchKind> kinds{
        {QStringLiteral("401"), SwitchKind::Expired401},
        {QStringLiteral("403"), SwitchKind::Forbidden403},
        {QStringLiteral("429"), SwitchKind::RateLimited429},
        {QStringLiteral("500"), SwitchKind::Error500},
        {QStringLiteral("small-pages"), SwitchKind::SmallPages},
        {QStringLiteral("repeated-page-token"), SwitchKind::RepeatedPageToken},
        {QStringLiteral("slow"), SwitchKind::Slow},
        {QStringLiteral("cut-before"), SwitchKind::CutBefore},
        {QStringLiteral("cut-after"), SwitchKind::CutAfter},
        {QStringLiteral("garbage"), SwitchKind::Garbage},
        {QStringLiteral("oversize"), SwitchKind::Oversize},
        {QStringLiteral("compact-token"), SwitchKind::CompactToken},
        {QStringLiteral("invalid-grant"), SwitchKind::InvalidGrant},
        {QStringLiteral("deleted-element"), SwitchKind::DeletedElement},
        {QStringLiteral("prefixed-reply"), SwitchKind::PrefixedReply},
        {QStringLiteral("xml-bomb"), SwitchKind::XmlBomb},
        {QStringLiteral("google-spaced-token"), SwitchKind::GoogleSpacedToken},
        {QStringLiteral("no-refresh-token"), SwitchKind::NoRefreshToken},
        {QStringLiteral("bare-cancelled"), SwitchKind::BareCancelled}};
    const auto found = kinds.constFind(name);
    return found == kinds.constEnd() ? std::nullopt : std::optional<SwitchKind>(*found);
}

GooglePeer::GooglePeer(Options options) : m_options(std::move(options)) {}

GooglePeer::~GooglePeer()
{
    stop();
}

bool GooglePeer::start(QString &error)
{
    if (!loadState(error))
        return false;
    auto server = std::make_unique<httplib::SSLServer>(m_options.certFile.toLocal8Bit().constData(),
                                                       m_options.keyFile.toLocal8Bit().constData());
    if (!server->is_valid()) {
        error = QStringLiteral("cannot use the certificate %1").arg(m_options.certFile);
        return false;
    }
    route(*server);
    m_port = m_options.port > 0 ? (server->bind_to_port("127.0.0.1", m_options.port) ? m_options.port : -1)
                                : server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) {
        error = QStringLiteral("cannot bind the HTTPS port");
        return false;
    }
    m_server = std::move(server);
    m_thread = std::thread([server = m_server.get()] { server->listen_after_bind(); });
    // A stop works only once the accept loop runs: one before then would leave the thread listening
    // for good. Requests made meanwhile wait in the backlog.
    while (!m_server->is_running())
        std::this_thread::yield();
    return true;
}

void GooglePeer::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_isStopping = true;
    }
    m_wake.notify_all();
    if (m_server)
        m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

QString GooglePeer::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1/").arg(m_port);
}

void GooglePeer::addAccount(const QString &email, const QString &refreshToken)
{
    const std::lock_guard lock(m_mutex);
    QJsonObject account = accountOf(email);
    account.insert(QStringLiteral("refreshToken"), refreshToken);
    putAccount(email, account);
    saveState();
}

void GooglePeer::setNextAccessToken(const QString &token)
{
    const std::lock_guard lock(m_mutex);
    m_nextAccessToken = token;
}

void GooglePeer::addCalendar(const QString &email, const QJsonObject &calendar)
{
    const std::lock_guard lock(m_mutex);
    QJsonObject account = accountOf(email);
    QJsonArray calendars = account.value(QStringLiteral("calendars")).toArray();
    QJsonObject entry = calendar;
    entry.insert(QStringLiteral("updated"), m_clock.isValid() ? m_clock.toUTC().toString(Qt::ISODateWithMs)
                                                               : QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    calendars.append(entry);
    account.insert(QStringLiteral("calendars"), calendars);
    putAccount(email, account);
    saveState();
}

QString GooglePeer::updatedStamp() const
{
    return now().toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QJsonObject GooglePeer::dump() const
{
    const std::lock_guard lock(m_mutex);
    return m_state;
}

bool GooglePeer::seed(const QJsonObject &state, QString &error)
{
    if (!state.value(QStringLiteral("accounts")).isObject()) {
        error = QStringLiteral("a state needs an \"accounts\" object");
        return false;
    }
    const std::lock_guard lock(m_mutex);
    m_state = state;
    m_changedRecords.clear();
    if (m_journal)
        m_journal->writeSnapshot(m_state);
    return true;
}

void GooglePeer::route(httplib::Server &server)
{
    const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        handle(request, response);
    };
    server.Get(R"(/.*)", handler);
    server.Post(R"(/.*)", handler);
    server.Put(R"(/.*)", handler);
    server.Delete(R"(/.*)", handler);
    server.set_payload_max_length(8 * 1024 * 1024);
    server.set_keep_alive_max_count(m_options.keepsConnections ? 1000 : 1);
    server.set_keep_alive_timeout(5);
    // A reply's head and body go in separate writes: on a kept connection Nagle's algorithm would
    // hold the body until the client's delayed acknowledgement.
    server.set_tcp_nodelay(true);
}

void GooglePeer::handle(const httplib::Request &request, httplib::Response &response)
{
    if (handleControl(request, response))
        return;
    const QString path = QString::fromStdString(request.path);
    {
        const std::lock_guard lock(m_mutex);
        m_requests.append({QString::fromStdString(request.method), path, QByteArray::fromStdString(request.body),
                           QByteArray::fromStdString(request.get_header_value("Authorization")),
                           QString::fromStdString(request.target),
                           QByteArray::fromStdString(request.get_header_value("If-Match")),
                           QByteArray::fromStdString(request.get_header_value("Content-Type")),
                           QByteArray::fromStdString(request.get_header_value("GData-Version"))});
    }
    const std::optional<Switch> change = takeSwitch(path, QString::fromStdString(request.method));
    if (change && answerThroughSwitch(*change, request, response))
        return;
    const bool isTokenPath = path == QLatin1String("/oauth2/v4/token") || path == QLatin1String("/o/oauth2/token");
    if (change && change->kind == SwitchKind::InvalidGrant && isTokenPath) {
        response.status = 400;
        response.set_content("{\n  \"error\": \"invalid_grant\",\n  \"error_description\": \"Token has been expired "
                             "or revoked.\"\n}",
                             kJsonType);
        return;
    }
    if (isTokenPath)
        token(request, response, tokenStyle(path, change), !(change && change->kind == SwitchKind::NoRefreshToken));
    else
        work(request, response, change);
}

std::optional<Switch> GooglePeer::takeSwitch(const QString &path, const QString &method)
{
    const bool isTokenPath = path == QLatin1String("/oauth2/v4/token") || path == QLatin1String("/o/oauth2/token");
    const auto methodMatches = [&method, isTokenPath](const Switch &change) {
        return change.method.isEmpty() || change.method == method ||
               (change.method == QLatin1String("write") && method != QLatin1String("GET") && !isTokenPath);
    };
    const std::lock_guard lock(m_mutex);
    for (qsizetype at = 0; at < m_switches.size(); ++at) {
        Switch &change = m_switches[at];
        // A path ending in "*" names every path that begins with the rest.
        const bool matches = change.path.isEmpty() || change.path == path ||
                             (change.path.endsWith(u'*') && path.startsWith(change.path.chopped(1)));
        if (!matches || !methodMatches(change))
            continue;
        if (change.skip > 0) {
            --change.skip;
            return std::nullopt;
        }
        // A switch with a chance lets the request pass on to the next switch when its draw fails.
        if (change.chance > 0 && change.chance < 1 &&
            std::uniform_real_distribution<double>(0, 1)(m_chances) >= change.chance)
            continue;
        ++m_spoiled;
        const Switch taken = change;
        if (change.times > 0 && --change.times == 0)
            m_switches.removeAt(at);
        return taken;
    }
    return std::nullopt;
}

bool GooglePeer::answerThroughSwitch(const Switch &change, const httplib::Request &request,
                                     httplib::Response &response)
{
    const auto hangUp = [&response] {
        response.set_content_provider(64, kJsonType, [](size_t, size_t, httplib::DataSink &) { return false; });
    };
    static const std::string block(64 * 1024, ' ');
    switch (change.kind) {
    case SwitchKind::Expired401:
        sendError(response, 401, QStringLiteral("Request had invalid authentication credentials."));
        return true;
    case SwitchKind::Forbidden403:
        sendError(response, 403, QStringLiteral("The caller does not have permission"));
        return true;
    case SwitchKind::RateLimited429:
        response.set_header("Retry-After", "1");
        sendError(response, 429, QStringLiteral("Rate Limit Exceeded"));
        return true;
    case SwitchKind::Error500:
        sendError(response, 500, QStringLiteral("Backend Error"));
        return true;
    case SwitchKind::Slow: {
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(change.slowMs), [this] { return m_isStopping.load(); });
        return false;
    }
    case SwitchKind::CutBefore:
        hangUp();
        return true;
    case SwitchKind::CutAfter: {
        httplib::Response discarded;
        if (request.path == "/oauth2/v4/token" || request.path == "/o/oauth2/token")
            token(request, discarded, TokenStyle::GoogleSpaced);
        else
            work(request, discarded, std::nullopt);
        hangUp();
        return true;
    }
    case SwitchKind::Garbage:
        response.set_content("<html>not json {\"access_token\": ", "text/html");
        return true;
    case SwitchKind::XmlBomb: {
        std::string bomb = "<?xml version='1.0'?><!DOCTYPE feed [<!ENTITY a0 'lol'>";
        for (int level = 1; level < 12; ++level) {
            bomb += "<!ENTITY a" + std::to_string(level) + " '";
            for (int copy = 0; copy < 10; ++copy)
                bomb += "&a" + std::to_string(level - 1) + ";";
            bomb += "'>";
        }
        bomb += "]><feed><entry><id>&a11;</id></entry></feed>";
        response.set_content(bomb, "application/atom+xml");
        return true;
    }
    case SwitchKind::Oversize:
        response.set_content_provider(size_t(change.oversizeBytes), kJsonType,
                                      [this](size_t, size_t length, httplib::DataSink &sink) {
                                          return !m_isStopping && sink.write(block.data(), std::min(length, block.size()));
                                      });
        return true;
    default:
        return false; // the rest change what the work answers
    }
}

bool GooglePeer::handleControl(const httplib::Request &request, httplib::Response &response)
{
    const QString path = QString::fromStdString(request.path);
    if (!path.startsWith(QLatin1String("/peer/")))
        return false;
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    QString error;
    if (path == QLatin1String("/peer/account")) {
        addAccount(body.value(QStringLiteral("email")).toString(), body.value(QStringLiteral("refreshToken")).toString());
    } else if (path == QLatin1String("/peer/access-token")) {
        setNextAccessToken(body.value(QStringLiteral("token")).toString());
    } else if (path == QLatin1String("/peer/calendar")) {
        addCalendar(body.value(QStringLiteral("email")).toString(), body.value(QStringLiteral("calendar")).toObject());
    } else if (path == QLatin1String("/peer/switch")) {
        const std::optional<SwitchKind> kind = switchKindFromName(body.value(QStringLiteral("kind")).toString());
        if (!kind) {
            response.status = 400;
            return true;
        }
        addSwitch(Switch{*kind, body.value(QStringLiteral("path")).toString(), body.value(QStringLiteral("times")).toInt(),
                         body.value(QStringLiteral("slowMs")).toInt(2000),
                         qint64(body.value(QStringLiteral("oversizeBytes")).toDouble(100.0 * 1024 * 1024)),
                         body.value(QStringLiteral("skip")).toInt(), body.value(QStringLiteral("chance")).toDouble(),
                         body.value(QStringLiteral("method")).toString()});
        if (body.contains(QStringLiteral("seed"))) {
            const std::lock_guard lock(m_mutex);
            m_chances.seed(std::uint32_t(body.value(QStringLiteral("seed")).toInteger()));
        }
    } else if (path == QLatin1String("/peer/contact")) {
        const QString email = QString::fromStdString(request.get_param_value("email"));
        const QString id = QString::fromStdString(request.get_param_value("id"));
        const QString action = QString::fromStdString(request.get_param_value("action"));
        const QByteArray raw = QByteArray::fromStdString(request.body);
        QString answer;
        bool done = true;
        if (action == QLatin1String("add"))
            answer = userAddContact(email, raw);
        else if (action == QLatin1String("edit"))
            done = userEditContact(email, id, raw);
        else if (action == QLatin1String("delete"))
            done = userDeleteContact(email, id);
        else if (action == QLatin1String("photo"))
            done = userSetPhoto(email, id, raw);
        response.status = done && (action != QLatin1String("add") || !answer.isEmpty()) ? 200 : 400;
        response.set_content(answer.toStdString(), "text/plain");
        return true;
    } else if (path == QLatin1String("/peer/event")) {
        const bool done = userPutEvent(body.value(QStringLiteral("email")).toString(),
                                       body.value(QStringLiteral("calendarId")).toString(),
                                       body.value(QStringLiteral("event")).toObject());
        response.status = done ? 200 : 400;
        response.set_content("{}", kJsonType);
        return true;
    } else if (path == QLatin1String("/peer/tasklist")) {
        response.set_content(jsonText(addTaskList(body.value(QStringLiteral("email")).toString(),
                                                  body.value(QStringLiteral("title")).toString(),
                                                  body.value(QStringLiteral("id")).toString())),
                             kJsonType);
        return true;
    } else if (path == QLatin1String("/peer/task")) {
        const QString id = userPutTask(body.value(QStringLiteral("email")).toString(),
                                       body.value(QStringLiteral("listId")).toString(QStringLiteral("@default")),
                                       body.value(QStringLiteral("task")).toObject());
        response.status = id.isEmpty() ? 400 : 200;
        response.set_content(jsonText(QJsonObject{{QStringLiteral("id"), id}}), kJsonType);
        return true;
    } else if (path == QLatin1String("/peer/task-move")) {
        const bool done = userMoveTask(body.value(QStringLiteral("email")).toString(), body.value(QStringLiteral("id")).toString(),
                                       body.value(QStringLiteral("from")).toString(), body.value(QStringLiteral("to")).toString());
        response.status = done ? 200 : 400;
        response.set_content("{}", kJsonType);
        return true;
    } else if (path == QLatin1String("/peer/event-page-size")) {
        const std::lock_guard lock(m_mutex);
        m_state.insert(QStringLiteral("eventPageSize"), body.value(QStringLiteral("size")).toInt());
        saveState();
    } else if (path == QLatin1String("/peer/clear-requests")) {
        clearRequests();
    } else if (path == QLatin1String("/peer/clear-switches")) {
        clearSwitches();
    } else if (path == QLatin1String("/peer/clock")) {
        setClock(QDateTime::fromString(body.value(QStringLiteral("now")).toString(), Qt::ISODateWithMs));
    } else if (path == QLatin1String("/peer/seed")) {
        if (!seed(body, error)) {
            response.status = 400;
            response.set_content(error.toStdString(), "text/plain");
            return true;
        }
    } else if (path == QLatin1String("/peer/dump")) {
        response.set_content(jsonText(dump()), kJsonType);
        return true;
    } else if (path == QLatin1String("/peer/stats")) {
        const std::lock_guard lock(m_mutex);
        response.set_content(jsonText(QJsonObject{{QStringLiteral("requests"), int(m_requests.size())},
                                                  {QStringLiteral("spoiled"), m_spoiled}}),
                             kJsonType);
        return true;
    } else if (path == QLatin1String("/peer/requests")) {
        QJsonArray list;
        for (const ReceivedRequest &received : requests())
            list.append(QJsonObject{{QStringLiteral("method"), received.method},
                                    {QStringLiteral("path"), received.path},
                                    {QStringLiteral("body"), QString::fromUtf8(received.body)},
                                    {QStringLiteral("target"), received.target},
                                    {QStringLiteral("authorization"), QString::fromUtf8(received.authorization)},
                                    {QStringLiteral("ifMatch"), QString::fromUtf8(received.ifMatch)},
                                    {QStringLiteral("contentType"), QString::fromUtf8(received.contentType)}});
        response.set_content(QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString(), kJsonType);
        return true;
    } else {
        response.status = 404;
        return true;
    }
    response.set_content("{}", kJsonType);
    return true;
}

// The refresh grant and the code grant (with its PKCE verifier); state is committed before the answer.
void GooglePeer::token(const httplib::Request &request, httplib::Response &response, TokenStyle style,
                       bool withRefresh)
{
    const QMap<QString, QString> fields = formFields(request.body);
    const std::lock_guard lock(m_mutex);
    const QJsonObject accounts = m_state.value(QStringLiteral("accounts")).toObject();
    QString email;
    const QString grant = fields.value(QStringLiteral("grant_type"));
    if (grant == QLatin1String("refresh_token")) {
        for (auto it = accounts.begin(); it != accounts.end(); ++it) {
            if (it.value().toObject().value(QStringLiteral("refreshToken")).toString() ==
                fields.value(QStringLiteral("refresh_token")))
                email = it.key();
        }
    } else if (grant == QLatin1String("authorization_code")) {
        QJsonObject codes = m_state.value(QStringLiteral("codes")).toObject();
        const QJsonObject code = codes.value(fields.value(QStringLiteral("code"))).toObject();
        const QByteArray challenge = QCryptographicHash::hash(fields.value(QStringLiteral("code_verifier")).toUtf8(),
                                                              QCryptographicHash::Sha256)
                                         .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        if (!code.isEmpty() && code.value(QStringLiteral("challenge")).toString() == QString::fromLatin1(challenge) &&
            code.value(QStringLiteral("redirect")).toString() == fields.value(QStringLiteral("redirect_uri")))
            email = code.value(QStringLiteral("email")).toString();
        codes.remove(fields.value(QStringLiteral("code")));
        m_state.insert(QStringLiteral("codes"), codes);
    }
    if (email.isEmpty()) {
        saveState();
        response.status = 400;
        response.set_content("{\n  \"error\": \"invalid_grant\",\n  \"error_description\": \"Bad Request\"\n}", kJsonType);
        return;
    }
    const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
    m_state.insert(QStringLiteral("counter"), counter);
    const QString access = m_nextAccessToken.isEmpty() ? QStringLiteral("ya29.peer%1").arg(counter) : m_nextAccessToken;
    m_nextAccessToken.clear();
    QJsonObject account = accounts.value(email).toObject();
    QJsonArray tokens = account.value(QStringLiteral("accessTokens")).toArray();
    tokens.append(access);
    account.insert(QStringLiteral("accessTokens"), tokens);
    QString refresh = account.value(QStringLiteral("refreshToken")).toString();
    if (grant == QLatin1String("authorization_code") && refresh.isEmpty()) {
        refresh = QStringLiteral("1//") + randomText(24);
        account.insert(QStringLiteral("refreshToken"), refresh);
    }
    putAccount(email, account);
    saveState();
    const QString colon = style == TokenStyle::Compact ? QStringLiteral(":")
                          : style == TokenStyle::GoogleSpaced ? QStringLiteral(": ")
                                                              : QStringLiteral(" : ");
    const QString indent = style == TokenStyle::Compact ? QString() : QStringLiteral("\n  ");
    const auto member = [&](const char *key, const QString &value) {
        return indent + QLatin1Char('"') + QLatin1String(key) + QLatin1Char('"') + colon + value;
    };
    QStringList members{member("access_token", QLatin1Char('"') + access + QLatin1Char('"')),
                        member("expires_in", QStringLiteral("3599")),
                        member("token_type", QStringLiteral("\"Bearer\""))};
    if (style != TokenStyle::Compact)
        members.insert(2, member("scope", QStringLiteral("\"https://www.googleapis.com/auth/calendar\"")));
    // The refresh endpoint's compact reply never carried a refresh token; the sign-in endpoint's does.
    const bool sendsRefresh = withRefresh && grant == QLatin1String("authorization_code") &&
                              (style != TokenStyle::Compact || request.path == "/o/oauth2/token");
    if (sendsRefresh)
        members << member("refresh_token", QLatin1Char('"') + refresh + QLatin1Char('"'));
    const QString text = QLatin1Char('{') + members.join(QLatin1Char(',')) +
                         (style == TokenStyle::Compact ? QString() : QStringLiteral("\n")) + QLatin1Char('}');
    response.set_content(text.toStdString(), kJsonType);
}

// The browser's sign-in: the account named by login_hint (or the only one) grants a code, sent to
// the loopback redirect with the state given.
void GooglePeer::authorize(const httplib::Request &request, httplib::Response &response)
{
    const QString redirect = QString::fromStdString(request.get_param_value("redirect_uri"));
    const QUrl redirectUrl(redirect);
    if (redirectUrl.host() != QLatin1String("127.0.0.1") && redirectUrl.host() != QLatin1String("localhost")) {
        sendError(response, 400, QStringLiteral("redirect_uri_mismatch"));
        return;
    }
    const std::lock_guard lock(m_mutex);
    const QJsonObject accounts = m_state.value(QStringLiteral("accounts")).toObject();
    QString email = QString::fromStdString(request.get_param_value("login_hint"));
    if (email.isEmpty() && !accounts.isEmpty())
        email = accounts.begin().key();
    const QString code = QStringLiteral("4/") + randomText(18);
    QJsonObject codes = m_state.value(QStringLiteral("codes")).toObject();
    codes.insert(code, QJsonObject{{QStringLiteral("email"), email},
                                   {QStringLiteral("redirect"), redirect},
                                   {QStringLiteral("challenge"), QString::fromStdString(request.get_param_value("code_challenge"))}});
    m_state.insert(QStringLiteral("codes"), codes);
    saveState();
    QUrl target = redirectUrl;
    QUrlQuery query(target);
    query.addQueryItem(QStringLiteral("code"), code);
    query.addQueryItem(QStringLiteral("state"), QString::fromStdString(request.get_param_value("state")));
    target.setQuery(query);
    response.set_redirect(target.toString(QUrl::FullyEncoded).toStdString());
}

// The sign-in page: the query it was given goes on into its Allow and Deny links.
void GooglePeer::signInPage(const httplib::Request &request, httplib::Response &response)
{
    const QString query = QString::fromStdString(request.target).section(u'?', 1);
    const QString page = QStringLiteral("<!DOCTYPE html><html><head><title>Request for Permission</title></head><body>"
                                        "<p>Harrowmere would like to manage your calendars and contacts.</p>"
                                        "<a id=\"submit_approve_access\" href=\"/o/oauth2/approval?%1&amp;decision=allow\">Allow</a> "
                                        "<a id=\"submit_deny_access\" href=\"/o/oauth2/approval?%1&amp;decision=deny\">Deny</a>"
                                        "</body></html>")
                             .arg(query.toHtmlEscaped());
    response.set_content(page.toStdString(), "text/html; charset=UTF-8");
}

// Allow grants a code as the direct authorization does; Deny sends the browser back with
// error=access_denied and the state.
void GooglePeer::approval(const httplib::Request &request, httplib::Response &response)
{
    if (request.get_param_value("decision") == "allow") {
        authorize(request, response);
        return;
    }
    QUrl target(QString::fromStdString(request.get_param_value("redirect_uri")));
    if (target.host() != QLatin1String("127.0.0.1")) {
        sendError(response, 400, QStringLiteral("redirect_uri_mismatch"));
        return;
    }
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("error"), QStringLiteral("access_denied"));
    query.addQueryItem(QStringLiteral("state"), QString::fromStdString(request.get_param_value("state")));
    target.setQuery(query);
    response.set_redirect(target.toString(QUrl::FullyEncoded).toStdString());
}

void GooglePeer::work(const httplib::Request &request, httplib::Response &response,
                      const std::optional<Switch> &change)
{
    const QString path = QString::fromStdString(request.path);
    if (path == QLatin1String("/o/oauth2/v2/auth")) {
        authorize(request, response);
        return;
    }
    if (path == QLatin1String("/o/oauth2/auth")) {
        signInPage(request, response);
        return;
    }
    if (path == QLatin1String("/o/oauth2/approval")) {
        approval(request, response);
        return;
    }
    if (path == QLatin1String("/picture.png")) {
        static const char png[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89";
        response.set_content(std::string(png, sizeof png - 1), "image/png");
        return;
    }
    const QString email = accountOfBearer(request.get_header_value("Authorization"));
    if (email.isEmpty()) {
        sendError(response, 401, QStringLiteral("Request had invalid authentication credentials."));
        return;
    }
    if (path == QLatin1String("/oauth2/v1/userinfo"))
        userInfo(email, response);
    else if (path == QLatin1String("/calendar/v3/users/me/calendarList"))
        calendarList(email, request, response, change);
    else if (path == QStringLiteral("/m8/feeds/groups/%1/full").arg(email) && request.method == "GET")
        contactGroups(email, response);
    else if (path == QLatin1String("/m8/feeds/groups/default/full") && request.method == "POST")
        createGroup(email, request, response);
    else if (contactsService(email, request, response, change))
        return;
    else if (eventsService(email, request, response, change))
        return;
    else if (tasksService(email, request, response, change))
        return;
    else
        sendError(response, 404, QStringLiteral("Not Found"));
}

QString GooglePeer::accountOfBearer(const std::string &header) const
{
    const QString text = QString::fromStdString(header);
    if (!text.startsWith(QLatin1String("Bearer ")))
        return {};
    // The client writes each "/" of its token as "%2F".
    const QString token = QString::fromUtf8(QByteArray::fromPercentEncoding(text.mid(7).toUtf8()));
    const std::lock_guard lock(m_mutex);
    const QJsonObject accounts = m_state.value(QStringLiteral("accounts")).toObject();
    for (auto it = accounts.begin(); it != accounts.end(); ++it) {
        if (it.value().toObject().value(QStringLiteral("accessTokens")).toArray().contains(token))
            return it.key();
    }
    return {};
}

void GooglePeer::userInfo(const QString &email, httplib::Response &response)
{
    const QJsonObject info{{QStringLiteral("id"), QStringLiteral("10%1").arg(qHash(email) % 100000000)},
                           {QStringLiteral("email"), email},
                           {QStringLiteral("verified_email"), true},
                           {QStringLiteral("picture"), baseUrl() + QStringLiteral("picture.png")}};
    response.set_content(jsonText(info), kJsonType);
}

// The account's calendars, then Google's weather and birthdays calendars; two per page under
// small-pages, with a page token.
void GooglePeer::calendarList(const QString &email, const httplib::Request &request, httplib::Response &response,
                              const std::optional<Switch> &change)
{
    QJsonArray items;
    {
        const std::lock_guard lock(m_mutex);
        items = accountOf(email).value(QStringLiteral("calendars")).toArray();
    }
    items.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("en.usa#holiday@group.v.calendar.google.com")},
                             {QStringLiteral("summary"), QStringLiteral("Holidays")},
                             {QStringLiteral("accessRole"), QStringLiteral("reader")}});
    items.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("p#weather@group.v.calendar.google.com")},
                             {QStringLiteral("summary"), QStringLiteral("Weather")},
                             {QStringLiteral("accessRole"), QStringLiteral("reader")}});
    items.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("#contacts@group.v.calendar.google.com")},
                             {QStringLiteral("summary"), QStringLiteral("Birthdays")},
                             {QStringLiteral("accessRole"), QStringLiteral("reader")}});
    QJsonObject reply{{QStringLiteral("kind"), QStringLiteral("calendar#calendarList")},
                      {QStringLiteral("etag"), QStringLiteral("\"p33c\"")}};
    const std::optional<Switch> &paging = change;
    if (paging && (paging->kind == SwitchKind::SmallPages || paging->kind == SwitchKind::RepeatedPageToken)) {
        const int start = QString::fromStdString(request.get_param_value("pageToken")).toInt();
        QJsonArray page;
        for (int index = start; index < start + 2 && index < items.size(); ++index)
            page.append(items.at(index));
        if (start + 2 < items.size())
            reply.insert(QStringLiteral("nextPageToken"),
                         paging->kind == SwitchKind::RepeatedPageToken ? QStringLiteral("0") : QString::number(start + 2));
        items = page;
    }
    reply.insert(QStringLiteral("items"), items);
    response.set_content(jsonText(reply), kJsonType);
}

// The account's contact groups as a Contacts data feed (Atom, version 3.0): the system group "My
// Contacts" (its id ending in "/base/6") and the groups of the account's state.
void GooglePeer::contactGroups(const QString &email, httplib::Response &response)
{
    QJsonArray groups;
    {
        const std::lock_guard lock(m_mutex);
        groups = accountOf(email).value(QStringLiteral("groups")).toArray();
    }
    const QString base = QStringLiteral("http://www.google.com/m8/feeds/groups/%1/base/").arg(email.toHtmlEscaped());
    QString text = QStringLiteral("<?xml version='1.0' encoding='UTF-8'?>"
                                  "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gContact='http://schemas.google.com/contact/2008' "
                                  "xmlns:gd='http://schemas.google.com/g/2005'>"
                                  "<id>%1</id><updated>%2</updated><title>%3's Contact Groups</title>")
                       .arg(email.toHtmlEscaped(), updatedStamp(), email.toHtmlEscaped());
    const auto entry = [&](const QString &id, const QString &title, bool system) {
        text += QStringLiteral("<entry><id>%1%2</id><updated>%3</updated><title>%4</title>%5</entry>")
                    .arg(base, id.toHtmlEscaped(), updatedStamp(), title.toHtmlEscaped(),
                         system ? QStringLiteral("<gContact:systemGroup id='Contacts'/>") : QString());
    };
    entry(QStringLiteral("6"), QStringLiteral("System Group: My Contacts"), true);
    for (const QJsonValue &group : groups)
        entry(group[QStringLiteral("id")].toString(), group[QStringLiteral("title")].toString(), false);
    text += QStringLiteral("</feed>");
    response.set_content(text.toStdString(), "application/atom+xml; charset=UTF-8");
}

} // namespace googlepeer
