#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;

// The Google sign-in both account sheets run: in the user's own browser, with a loopback redirect and
// PKCE. A run makes a new code verifier, its S256 challenge and a random state, listens on 127.0.0.1
// (a port the system picks), and has the workspace open Google's authorization page. The browser
// comes back with one GET of "/" carrying the state and a code (or error=access_denied); the run
// answers the browser, stops listening, and exchanges the code for the tokens on a worker thread.
//
// The redirect is outside input: a connection may send 8 KiB within 5 s; a wrong state gets 400 and
// changes nothing; a code over 2 KiB is refused. The token reply is read up to 64 KiB and as JSON;
// it counts only with both tokens. No code, verifier or token is written to the log. Main thread.
class GoogleBrowserSignIn final : public QObject
{
    Q_OBJECT

public:
    struct Tokens
    {
        QString accessToken;
        QString refreshToken;
    };

    static constexpr qint64 kMaxRequestBytes = 8 * 1024;
    static constexpr int kConnectionTimeoutMs = 5000;
    static constexpr qsizetype kMaxCodeLength = 2048;
    static constexpr qint64 kMaxTokenReplyBytes = 64 * 1024;

    explicit GoogleBrowserSignIn(QObject *parent = nullptr);
    ~GoogleBrowserSignIn() override;

    // Starts a run (ending any earlier one). False when no loopback port could be opened.
    bool start();
    // Ends the run: the port closes and a later answer of the exchange is dropped.
    void cancel();
    bool isWaitingForBrowser() const { return m_server != nullptr; }

    // The run's authorization address and whether the workspace handed it to a browser.
    const QUrl &authorizationUrl() const { return m_authorizationUrl; }
    bool browserOpened() const { return m_browserOpened; }
    quint16 port() const { return m_port; }
    QString redirectUri() const;

    // The authorization address of a run: the query in its fixed order.
    static QUrl authorizationUrlFor(const QString &redirectUri, const QString &state, const QString &challenge);
    // The token request's form, keys in order, the code form-encoded where it holds characters outside
    // [A-Za-z0-9/._-].
    static QByteArray tokenRequestBody(const QString &code, const QString &redirectUri, const QString &verifier);
    // Both tokens of a token reply, read as JSON; nothing unless both are texts a token may be.
    static std::optional<Tokens> tokensOfReply(const QByteArray &reply);
    // The S256 challenge of a verifier (base64url without padding).
    static QString challengeOf(const QString &verifier);

signals:
    // The browser came back with a code: the exchange runs.
    void authorizationReceived();
    // The user refused access (error=access_denied).
    void accessDenied();
    // The exchange ended: the tokens, or nothing with the cause for the user.
    void finished(bool succeeded, const QString &cause, const GoogleBrowserSignIn::Tokens &tokens);

private:
    void acceptConnections();
    void readRequest(QTcpSocket *socket);
    void answerRedirect(QTcpSocket *socket, const QByteArray &target);
    void closeListener();
    void exchange(const QString &code);
    void reply(QTcpSocket *socket, int status, const QByteArray &reason, const QString &message);

    std::unique_ptr<QTcpServer> m_server;
    QList<QPointer<QTcpSocket>> m_connections;
    QUrl m_authorizationUrl;
    QString m_verifier;
    QString m_state;
    quint16 m_port = 0;
    bool m_browserOpened = false;
    // Numbers the runs; an exchange answers only the run that started it.
    quint64 m_run = 0;
};
