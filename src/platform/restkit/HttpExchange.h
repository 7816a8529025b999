#pragma once

#include "platform/restkit/RKResponse.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>

#include <memory>

class QTcpSocket;

namespace platform {

// One HTTP/1.1 request and its reply over a connection of its own, written for the REST client: the
// request is sent exactly once. Nothing here resends a body when a connection drops before the reply
// (a phone that stored a batch would store it twice), follows a redirect (which would send the body to
// another host), or keeps a connection for later requests. The reply is read whole: by its
// Content-Length, by its chunks, or up to the end of the connection; a reply that ends early is a
// lost connection, and one past the size limit ends the exchange.
//
// Lives on the REST framework's thread and is used only there; its signals arrive there.
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
    };

    explicit HttpExchange(Request request, QObject *parent = nullptr);
    ~HttpExchange() override;

    // Connects and sends; the outcome comes through finished().
    void start();
    // Ends the exchange at once, closing the connection; finished() follows unless it already came.
    void abort();

    bool isFinished() const { return m_isFinished; }
    // After finished(): 0 for a whole reply, else the URL-loading error code of the failure.
    qint64 errorCode() const { return m_errorCode; }
    int statusCode() const { return m_statusCode; }
    const QList<RKResponse::Header> &headers() const { return m_headers; }
    const QByteArray &body() const { return m_body; }

signals:
    void uploadProgress(qint64 sent, qint64 total);
    void headersReceived();
    void downloadProgress(qint64 received, qint64 total);
    void finished();

private:
    enum class Stage { Connecting, Sending, StatusLine, Headers, Body, Done };

    void sendRequest();
    void readAvailable();
    bool readHead();
    bool parseStatusLine(const QByteArray &line);
    bool parseHeaderLine(const QByteArray &line);
    void beginBody();
    bool readBody();
    bool readChunks();
    void connectionClosed();
    void socketFailed();
    void finish(qint64 errorCode);
    bool exceedsLimit(qint64 bytes) const;

    const Request m_request;
    std::unique_ptr<QTcpSocket> m_socket;
    Stage m_stage = Stage::Connecting;
    QByteArray m_buffer;
    qint64 m_bytesWritten = 0;
    qint64 m_headerBytes = 0; // of the request
    qint64 m_replyHeadBytes = 0;
    int m_statusCode = 0;
    QList<RKResponse::Header> m_headers;
    QByteArray m_body;
    qint64 m_contentLength = -1;
    bool m_isChunked = false;
    qint64 m_chunkRemaining = -1; // -1: a chunk-size line comes next
    bool m_chunksEnded = false;
    bool m_isFinished = false;
    qint64 m_errorCode = 0;
};

} // namespace platform
