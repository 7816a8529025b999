#include "ui/accounts/GoogleBrowserSignIn.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKResponse.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

namespace {

const char *const kScopes[] = {"https://www.google.com/m8/feeds/", "https://www.google.com/calendar/feeds/",
                               "https://www.googleapis.com/auth/tasks", "https://www.googleapis.com/auth/calendar",
                               "https://www.googleapis.com/auth/userinfo.email",
                               "https://www.googleapis.com/auth/userinfo.profile"};

// Random bytes as base64url without padding: 32 bytes make a 43-character verifier.
QString randomText(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(data.begin(), data.end());
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// ":" as %3A, "/" as %2F and blanks as %20, as the authorization query writes its values.
QByteArray queryValue(const QString &text)
{
    return QUrl::toPercentEncoding(text);
}

QString pageFor(const QString &message)
{
    return QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Harrowmere</title></head>"
                          "<body style=\"font-family:sans-serif;margin:3em\"><h2>%1</h2>"
                          "<p>You may close this page and return to Harrowmere.</p></body></html>")
        .arg(message.toHtmlEscaped());
}

} // namespace

GoogleBrowserSignIn::GoogleBrowserSignIn(QObject *parent) : QObject(parent) {}

GoogleBrowserSignIn::~GoogleBrowserSignIn()
{
    cancel();
}

QString GoogleBrowserSignIn::challengeOf(const QString &verifier)
{
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString GoogleBrowserSignIn::redirectUri() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
}

QUrl GoogleBrowserSignIn::authorizationUrlFor(const QString &redirectUri, const QString &state, const QString &challenge)
{
    QStringList scopes;
    for (const char *scope : kScopes)
        scopes << QLatin1String(scope);
    const QByteArray query = "response_type=code&client_id=" + queryValue(QLatin1String(googlehosts::kClientId)) +
                             "&redirect_uri=" + queryValue(redirectUri) + "&scope=" + queryValue(scopes.join(u' ')) +
                             "&state=" + queryValue(state) + "&access_type=offline&code_challenge=" +
                             queryValue(challenge) + "&code_challenge_method=S256&prompt=select_account%20consent";
    return QUrl::fromEncoded(googlehosts::accountsHost().toLatin1() + "o/oauth2/auth?" + query, QUrl::StrictMode);
}

QByteArray GoogleBrowserSignIn::tokenRequestBody(const QString &code, const QString &redirectUri, const QString &verifier)
{
    // A code of Google's alphabet goes as it is; anything else could break the form and is encoded.
    const QByteArray codeValue = QUrl::toPercentEncoding(code, "/._-");
    return "code=" + codeValue + "&client_id=" + googlehosts::kClientId + "&client_secret=" + googlehosts::kClientSecret +
           "&redirect_uri=" + redirectUri.toUtf8() + "&grant_type=authorization_code&code_verifier=" + verifier.toUtf8();
}

std::optional<GoogleBrowserSignIn::Tokens> GoogleBrowserSignIn::tokensOfReply(const QByteArray &reply)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    Tokens tokens{object.value(QStringLiteral("access_token")).toString(),
                  object.value(QStringLiteral("refresh_token")).toString()};
    if (!googlehosts::isTokenText(tokens.accessToken) || !googlehosts::isTokenText(tokens.refreshToken))
        return std::nullopt;
    return tokens;
}

bool GoogleBrowserSignIn::start()
{
    cancel();
    ++m_run;
    auto server = std::make_unique<QTcpServer>();
    // A flood of connections waits in the queue instead of having its handshakes dropped.
    server->setListenBacklogSize(1024);
    if (!server->listen(QHostAddress::LocalHost, 0)) {
        DDLogError(QStringLiteral("Google sign-in: no loopback port: %1").arg(server->errorString()));
        return false;
    }
    m_server = std::move(server);
    m_port = m_server->serverPort();
    connect(m_server.get(), &QTcpServer::newConnection, this, &GoogleBrowserSignIn::acceptConnections);
    m_verifier = randomText(32);
    m_state = randomText(16);
    m_authorizationUrl = authorizationUrlFor(redirectUri(), m_state, challengeOf(m_verifier));
    DDLogInfo(QStringLiteral("Google sign-in: waiting for the browser on port %1").arg(m_port));
    m_browserOpened = platform::Workspace::sharedWorkspace().openURL(m_authorizationUrl);
    if (!m_browserOpened)
        DDLogError(QStringLiteral("Google sign-in: no browser could be opened"));
    return true;
}

void GoogleBrowserSignIn::cancel()
{
    ++m_run;
    closeListener();
    m_verifier.clear();
    m_state.clear();
}

void GoogleBrowserSignIn::closeListener()
{
    if (m_server)
        m_server->close();
    m_server.reset();
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_connections)) {
        if (socket)
            socket->abort();
    }
    m_connections.clear();
}

void GoogleBrowserSignIn::acceptConnections()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(nullptr);
        socket->setReadBufferSize(kMaxRequestBytes);
        m_connections.removeAll(nullptr);
        m_connections.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A connection that says nothing useful in time is dropped.
        QTimer::singleShot(kConnectionTimeoutMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
    }
}

void GoogleBrowserSignIn::readRequest(QTcpSocket *socket)
{
    QByteArray received = socket->property("hm.received").toByteArray();
    received += socket->read(kMaxRequestBytes - received.size());
    socket->setProperty("hm.received", received);
    const qsizetype headerEnd = received.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (received.size() >= kMaxRequestBytes)
            reply(socket, 431, "Request Header Fields Too Large", QStringLiteral("The request is too large."));
        return;
    }
    socket->disconnect(this);
    const QList<QByteArray> requestLine = received.left(received.indexOf("\r\n")).split(' ');
    if (requestLine.size() != 3 || requestLine.at(0) != "GET" || !requestLine.at(2).startsWith("HTTP/1.")) {
        reply(socket, 405, "Method Not Allowed", QStringLiteral("Harrowmere expected its sign-in."));
        return;
    }
    answerRedirect(socket, requestLine.at(1));
}

void GoogleBrowserSignIn::answerRedirect(QTcpSocket *socket, const QByteArray &target)
{
    const QUrl url = QUrl::fromEncoded("http://127.0.0.1" + target);
    if (!target.startsWith('/') || url.path() != QLatin1String("/")) {
        reply(socket, 404, "Not Found", QStringLiteral("Nothing here."));
        return;
    }
    const QUrlQuery query(url);
    const QString state = query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    if (m_state.isEmpty() || state != m_state) {
        DDLogError(QStringLiteral("Google sign-in: a redirect with another state was refused"));
        reply(socket, 400, "Bad Request", QStringLiteral("This sign-in is not the one Harrowmere is waiting for."));
        return;
    }
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    const QString error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
    if (code.isEmpty() && error.isEmpty()) {
        reply(socket, 400, "Bad Request", QStringLiteral("The sign-in answer holds no authorization."));
        return;
    }
    // The run's one GET: the port closes whatever it brought.
    m_server.reset();
    m_state.clear();
    if (!error.isEmpty()) {
        DDLogInfo(QStringLiteral("Google sign-in: the browser came back with \"%1\"").arg(error.left(64)));
        reply(socket, 200, "OK", QStringLiteral("Harrowmere was not given access to your Google account."));
        emit accessDenied();
        return;
    }
    if (code.size() > kMaxCodeLength) {
        reply(socket, 400, "Bad Request", QStringLiteral("The authorization code is too long."));
        emit finished(false, QStringLiteral("Google sent an authorization code Harrowmere cannot use."), {});
        return;
    }
    reply(socket, 200, "OK", QStringLiteral("Harrowmere received the authorization."));
    DDLogInfo(QStringLiteral("Google sign-in: authorization received"));
    emit authorizationReceived();
    exchange(code);
}

void GoogleBrowserSignIn::reply(QTcpSocket *socket, int status, const QByteArray &reason, const QString &message)
{
    const QByteArray page = pageFor(message).toUtf8();
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
                  "Content-Length: " +
                  QByteArray::number(page.size()) + "\r\n\r\n" + page);
    // An answered connection ends on its own once the answer is out, even when the run ends first.
    m_connections.removeAll(socket);
    socket->disconnectFromHost();
}

void GoogleBrowserSignIn::exchange(const QString &code)
{
    const QByteArray body = tokenRequestBody(code, redirectUri(), m_verifier);
    m_verifier.clear();
    const QPointer<GoogleBrowserSignIn> self(this);
    const quint64 run = m_run;
    // The exchange waits for Google on a worker; the window keeps answering.
    platform::DispatchQueue::global()->async([self, run, body] {
        const std::shared_ptr<platform::RKClient> client =
            platform::RKClient::clientWithBaseURL(googlehosts::accountsHost() + QStringLiteral("o/oauth2/token?"));
        client->setCachePolicy(platform::RKRequestCachePolicy::None);
        const std::shared_ptr<platform::RKRequest> request = client->requestWithResourcePath(QString());
        request->setMethod(platform::RKRequestMethod::POST);
        request->setTimeoutInterval(30.0);
        request->setMaxResponseBytes(kMaxTokenReplyBytes);
        request->setHTTPBody(body, QStringLiteral("application/x-www-form-urlencoded"));
        const platform::RKRequestOutcome outcome = request->sendSynchronously();
        std::optional<Tokens> tokens;
        QString cause;
        if (!outcome.isLoaded()) {
            cause = QStringLiteral("Google could not be reached: %1").arg(outcome.error().localizedDescription());
        } else if (!(tokens = tokensOfReply(outcome.response().body()))) {
            cause = outcome.response().statusCode() >= 400
                        ? QStringLiteral("Google refused the authorization (HTTP %1).").arg(outcome.response().statusCode())
                        : QStringLiteral("Google's answer held no access and refresh token.");
        }
        platform::DispatchQueue::main()->async([self, run, tokens, cause] {
            if (!self || self->m_run != run)
                return;
            if (!tokens)
                DDLogError(QStringLiteral("Google sign-in: %1").arg(cause));
            emit self->finished(tokens.has_value(), cause, tokens.value_or(Tokens{}));
        });
    });
}
