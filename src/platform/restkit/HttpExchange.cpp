#include "platform/restkit/HttpExchange.h"

#include "platform/restkit/RKErrors.h"

#include <QSslSocket>
#include <QTcpSocket>

namespace platform {

namespace {

// Bounds on what a peer may send before its body: longer heads end the exchange.
constexpr qsizetype kMaxHeadLineBytes = 16 * 1024;
constexpr qint64 kMaxHeadBytes = 64 * 1024;
constexpr qsizetype kMaxChunkLineBytes = 1024;

QByteArray lineEnding()
{
    return QByteArrayLiteral("\r\n");
}

// Takes one line (without its CR LF, or a bare LF) off the front of the buffer; false when no whole
// line is there yet.
bool takeLine(QByteArray &buffer, QByteArray &line)
{
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0)
        return false;
    line = buffer.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    buffer.remove(0, end + 1);
    return true;
}

qint64 codeForSocketError(QAbstractSocket::SocketError error, bool hadConnected)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return NSURLErrorCannotConnectToHost;
    case QAbstractSocket::HostNotFoundError:
        return NSURLErrorCannotFindHost;
    case QAbstractSocket::SocketTimeoutError:
        return NSURLErrorTimedOut;
    default:
        return hadConnected ? NSURLErrorNetworkConnectionLost : NSURLErrorCannotConnectToHost;
    }
}

} // namespace

HttpExchange::HttpExchange(Request request, QObject *parent) : QObject(parent), m_request(std::move(request)) {}

HttpExchange::~HttpExchange()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void HttpExchange::start()
{
    const bool isSecure = m_request.url.scheme() == QLatin1String("https");
    const quint16 port = quint16(m_request.url.port(isSecure ? 443 : 80));
    if (isSecure) {
        auto socket = std::make_unique<QSslSocket>();
        connect(socket.get(), &QSslSocket::encrypted, this, &HttpExchange::sendRequest);
        socket->connectToHostEncrypted(m_request.url.host(), port);
        m_socket = std::move(socket);
    } else {
        m_socket = std::make_unique<QTcpSocket>();
        connect(m_socket.get(), &QTcpSocket::connected, this, &HttpExchange::sendRequest);
        m_socket->connectToHost(m_request.url.host(), port);
    }
    connect(m_socket.get(), &QTcpSocket::readyRead, this, &HttpExchange::readAvailable);
    connect(m_socket.get(), &QTcpSocket::disconnected, this, &HttpExchange::connectionClosed);
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, &HttpExchange::socketFailed);
    connect(m_socket.get(), &QTcpSocket::bytesWritten, this, [this](qint64 bytes) {
        m_bytesWritten += bytes;
        const qint64 bodySent = qBound<qint64>(0, m_bytesWritten - m_headerBytes, m_request.body.size());
        if (!m_request.body.isEmpty())
            emit uploadProgress(bodySent, m_request.body.size());
    });
}

void HttpExchange::sendRequest()
{
    QByteArray head = m_request.verb + ' ' +
                      m_request.url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (m_request.url.path().isEmpty())
        head += '/';
    head += " HTTP/1.1" + lineEnding();
    // The authority without user info: the host (in brackets for IPv6) and any port.
    head += "Host: " + m_request.url.authority(QUrl::FullyEncoded | QUrl::RemoveUserInfo).toUtf8() + lineEnding();
    // One request per connection: no later request can meet a connection the peer is closing.
    head += "Connection: close" + lineEnding();
    for (const RKResponse::Header &header : m_request.headers)
        head += header.first + ": " + header.second + lineEnding();
    if (m_request.verb != "GET" || !m_request.body.isEmpty())
        head += "Content-Length: " + QByteArray::number(m_request.body.size()) + lineEnding();
    head += lineEnding();
    m_headerBytes = head.size();
    m_stage = Stage::StatusLine;
    m_socket->write(head + m_request.body);
}

void HttpExchange::readAvailable()
{
    if (m_isFinished)
        return;
    m_buffer += m_socket->readAll();
    if ((m_stage == Stage::StatusLine || m_stage == Stage::Headers) && !readHead())
        return;
    if (m_stage == Stage::Body)
        (void)readBody();
}

// Reads the status line and headers that have arrived; false when the exchange ended or more is
// needed.
bool HttpExchange::readHead()
{
    QByteArray line;
    while (m_stage != Stage::Body) {
        if (!takeLine(m_buffer, line)) {
            if (m_buffer.size() > kMaxHeadLineBytes)
                finish(NSURLErrorBadServerResponse);
            return false;
        }
        m_replyHeadBytes += line.size() + 2;
        if (line.size() > kMaxHeadLineBytes || m_replyHeadBytes > kMaxHeadBytes) {
            finish(NSURLErrorBadServerResponse);
            return false;
        }
        const bool isRead = m_stage == Stage::StatusLine ? parseStatusLine(line) : parseHeaderLine(line);
        if (!isRead) {
            finish(NSURLErrorBadServerResponse);
            return false;
        }
    }
    return true;
}

bool HttpExchange::parseStatusLine(const QByteArray &line)
{
    // "HTTP/1.1 200 OK": the version, a space, three digits.
    if (!line.startsWith("HTTP/1.") || line.size() < 12 || line.at(8) != ' ')
        return false;
    bool isNumber = false;
    const int status = line.mid(9, 3).toInt(&isNumber);
    if (!isNumber || status < 100 || status > 999)
        return false;
    m_statusCode = status;
    m_headers.clear();
    m_stage = Stage::Headers;
    return true;
}

bool HttpExchange::parseHeaderLine(const QByteArray &line)
{
    if (!line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        m_headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        return true;
    }
    // An interim reply (100 Continue) is followed by the real one.
    if (m_statusCode < 200) {
        m_stage = Stage::StatusLine;
        return true;
    }
    beginBody();
    return true;
}

void HttpExchange::beginBody()
{
    const RKResponse head(m_statusCode, m_headers, {});
    m_isChunked = head.headerValue("Transfer-Encoding").contains(QLatin1String("chunked"), Qt::CaseInsensitive);
    bool hasLength = false;
    const qint64 length = head.headerValue("Content-Length").toLongLong(&hasLength);
    m_contentLength = !m_isChunked && hasLength && length >= 0 ? length : -1;
    if (m_statusCode == 204 || m_statusCode == 304)
        m_contentLength = 0;
    m_stage = Stage::Body;
    emit headersReceived();
}

// Takes what arrived of the body; finishes when it is whole. False when the exchange ended.
bool HttpExchange::readBody()
{
    if (m_isChunked)
        return readChunks();
    if (m_contentLength >= 0) {
        if (exceedsLimit(m_contentLength)) {
            finish(NSURLErrorDataLengthExceedsMaximum);
            return false;
        }
        m_body += m_buffer.left(m_contentLength - m_body.size());
        m_buffer.clear();
        emit downloadProgress(m_body.size(), m_contentLength);
        if (m_body.size() < m_contentLength)
            return true;
        finish(0);
        return false;
    }
    // No length: the body runs to the end of the connection.
    m_body += m_buffer;
    m_buffer.clear();
    if (exceedsLimit(m_body.size())) {
        finish(NSURLErrorDataLengthExceedsMaximum);
        return false;
    }
    emit downloadProgress(m_body.size(), -1);
    return true;
}

bool HttpExchange::readChunks()
{
    QByteArray line;
    // Every pass takes a size line, chunk data or the trailer off the buffer, or stops.
    while (!m_isFinished) {
        if (m_chunksEnded) {
            if (!takeLine(m_buffer, line))
                return true;
            if (line.isEmpty())
                finish(0);
            continue;
        }
        if (m_chunkRemaining < 0) {
            if (!takeLine(m_buffer, line)) {
                if (m_buffer.size() > kMaxChunkLineBytes)
                    finish(NSURLErrorBadServerResponse);
                return !m_isFinished;
            }
            bool isNumber = false;
            const qint64 size = line.split(';').first().trimmed().toLongLong(&isNumber, 16);
            if (!isNumber || size < 0 || exceedsLimit(m_body.size() + size)) {
                finish(isNumber && size >= 0 ? NSURLErrorDataLengthExceedsMaximum : NSURLErrorBadServerResponse);
                return false;
            }
            m_chunksEnded = size == 0;
            m_chunkRemaining = size == 0 ? -1 : size + 2; // the data and its CR LF
            continue;
        }
        const qsizetype taken = qsizetype(qMin<qint64>(m_chunkRemaining, m_buffer.size()));
        if (taken == 0)
            return true;
        m_body += m_buffer.left(qMin<qint64>(taken, qMax<qint64>(0, m_chunkRemaining - 2)));
        m_buffer.remove(0, taken);
        m_chunkRemaining -= taken;
        if (m_chunkRemaining == 0)
            m_chunkRemaining = -1;
        emit downloadProgress(m_body.size(), -1);
    }
    return false;
}

bool HttpExchange::exceedsLimit(qint64 bytes) const
{
    return m_request.maxResponseBytes > 0 && bytes > m_request.maxResponseBytes;
}

void HttpExchange::connectionClosed()
{
    if (m_isFinished)
        return;
    m_buffer += m_socket->readAll();
    if (m_stage == Stage::StatusLine || m_stage == Stage::Headers)
        (void)readHead();
    if (!m_isFinished && m_stage == Stage::Body)
        (void)readBody();
    if (m_isFinished)
        return;
    // Only a reply without length or chunks may end with its connection; any other end is early.
    const bool endsWithConnection = m_stage == Stage::Body && !m_isChunked && m_contentLength < 0;
    finish(endsWithConnection ? 0 : NSURLErrorNetworkConnectionLost);
}

void HttpExchange::socketFailed()
{
    if (m_isFinished)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        connectionClosed();
        return;
    }
    finish(codeForSocketError(error, m_stage != Stage::Connecting));
}

void HttpExchange::abort()
{
    if (m_isFinished)
        return;
    finish(NSURLErrorCancelled);
}

void HttpExchange::finish(qint64 errorCode)
{
    if (m_isFinished)
        return;
    m_isFinished = true;
    m_errorCode = errorCode;
    m_stage = Stage::Done;
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    if (errorCode != 0)
        m_body.clear();
    emit finished();
}

} // namespace platform
