#pragma once

#include "platform/restkit/RKResponse.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace platform {

// One HTTP/1.1 request and its reply (libcurl over OpenSSL), written for the REST client: the request
// is sent exactly once. It goes out on a connection an earlier request to the same server left open
// (with the same trusted certificates, idle for a few seconds at most), or on a new one that resumes
// an earlier TLS session where it can: a run's many small requests cost one handshake. Nothing here
// resends a body when a connection drops before the reply (a phone that stored a batch would store it
// twice; libcurl's own retry on a reused connection is refused unless none of the body went), or
// follows a redirect (which would send the body to another host). The reply is read whole: by its
// Content-Length, by its chunks, or up to the end of the connection; a reply that ends early is a lost
// connection, and one past the size limit ends the exchange, and its connection, as soon as that is
// known.
//
// HTTPS verifies the server's chain and host name against the system's certificates plus the extra
// certificates of caFile, when given; nothing turns verification off. The system's proxy variables
// (http_proxy, https_proxy, no_proxy) are honoured.
//
// Lives on the REST framework's thread and is used only there; its signals arrive there. The transfer
// runs there too, on a libcurl multi handle the thread keeps for every exchange with the same trusted
// certificates, beside the others under way (the thread's event loop watches their sockets); abort()
// takes it off at once, closing its connection.
class HttpExchange final : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QUrl url;
        QByteArray verb = "GET";
        QList<RKResponse::Header> headers;
        QByteArray body;
        qint64 maxResponseBytes = 0; // 0: no limit beyond the headers' own
        QString caFile;              // PEM certificates trusted besides the system's; empty: none
    };

    explicit HttpExchange(Request request, QObject *parent = nullptr);
    ~HttpExchange() override;

    // Connects and sends; the outcome comes through finished(), which may come before start returns
    // (a request refused at once), so connect to it first.
    void start();
    // Ends the exchange at once, closing the connection; finished() follows unless it already came.
    void abort();

    bool isFinished() const { return m_isFinished; }
    // After finished(): 0 for a whole reply, else the URL-loading error code of the failure.
    qint64 errorCode() const { return m_errorCode; }
    int statusCode() const { return m_statusCode; }
    const QList<RKResponse::Header> &headers() const { return m_headers; }
    const QByteArray &body() const { return m_body; }

    // The transfer's state shared with the thread's transfer driver (defined in the source).
    struct Transfer;

signals:
    void uploadProgress(qint64 sent, qint64 total);
    void headersReceived();
    void downloadProgress(qint64 received, qint64 total);
    void finished();

private:
    friend struct Transfer;
    void finish(qint64 errorCode);

    const Request m_request;
    std::shared_ptr<Transfer> m_transfer;
    int m_statusCode = 0;
    QList<RKResponse::Header> m_headers;
    QByteArray m_body;
    bool m_isFinished = false;
    qint64 m_errorCode = 0;
};

} // namespace platform
