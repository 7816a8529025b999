// The REST client's HTTP exchange against a raw loopback server that answers whatever bytes a case
// scripts: a request goes out once whatever the connection does, replies are read whole or fail,
// redirects reach the sender unfollowed, and endless or oversized replies end at the size limit.

#include "RestKitTestSupport.h"

#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKErrors.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

using namespace platform;

namespace {

// A loopback server on a thread of its own that reads each request whole and answers it through the
// case's script, which writes raw bytes to the connection; the connection then closes, or, for a
// server that keeps connections, waits for the next request until the client or the script closes it.
class RawServer final
{
public:
    using Script = std::function<void(int connection)>;

    explicit RawServer(Script script, bool keepsConnections = false)
        : m_script(std::move(script)), m_keepsConnections(keepsConnections)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_listener, 8);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~RawServer()
    {
        m_isStopping = true;
        // A connection the client keeps open would hold the server's thread in its read.
        if (const int open = m_open.load(); open >= 0)
            ::shutdown(open, SHUT_RDWR);
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    int port() const { return m_port; }
    int requests() const { return m_requests.load(); }
    int connections() const { return m_connections.load(); }
    // The bytes of the last request, head and body.
    QByteArray lastRequest() const
    {
        const std::lock_guard lock(m_mutex);
        return m_lastRequest;
    }
    // The reads the last request took.
    int lastRequestReads() const { return m_lastReads.load(); }

private:
    void serve()
    {
        while (!m_isStopping) {
            const int connection = ::accept(m_listener, nullptr, nullptr);
            if (connection < 0)
                return;
            ++m_connections;
            m_open = connection;
            if (m_isStopping)
                ::shutdown(connection, SHUT_RDWR);
            QByteArray request;
            int reads = 0;
            while (readRequest(connection, request, reads)) {
                {
                    const std::lock_guard lock(m_mutex);
                    m_lastRequest = request;
                }
                m_lastReads = std::exchange(reads, 0);
                ++m_requests;
                m_script(connection);
                request.clear();
                if (!m_keepsConnections)
                    break;
            }
            m_open = -1;
            ::close(connection);
        }
    }

    // Reads the head and the body its Content-Length announces.
    static bool readRequest(int connection, QByteArray &received, int &reads)
    {
        char buffer[4096];
        for (;;) {
            const qsizetype headEnd = received.indexOf("\r\n\r\n");
            if (headEnd >= 0) {
                const qsizetype at = received.toLower().indexOf("content-length:");
                const qsizetype length =
                    at < 0 ? 0 : received.mid(at + 15, received.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                if (received.size() >= headEnd + 4 + length)
                    return true;
            }
            const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0)
                return false;
            ++reads;
            received.append(buffer, got);
        }
    }

    Script m_script;
    bool m_keepsConnections = false;
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_isStopping = false;
    std::atomic<int> m_requests = 0;
    std::atomic<int> m_connections = 0;
    std::atomic<int> m_open = -1;
    std::atomic<int> m_lastReads = 0;
    mutable std::mutex m_mutex;
    QByteArray m_lastRequest;
};

void sendText(int connection, const QByteArray &bytes)
{
    (void)::send(connection, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
}

// Writes a body with no length until the client goes or 64 MiB have gone.
void sendEndlessBody(int connection)
{
    sendText(connection, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    const QByteArray block(64 * 1024, 'x');
    for (int sent = 0; sent < 1024; ++sent) {
        if (::send(connection, block.constData(), size_t(block.size()), MSG_NOSIGNAL) < 0)
            return;
    }
}

RKRequestOutcome sendTo(const QString &baseUrl, RKRequestMethod method, qint64 maxResponseBytes = 0)
{
    const std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(baseUrl);
    const std::shared_ptr<RKRequest> request = client->requestWithResourcePath(QStringLiteral("/hmx_update"));
    request->setMethod(method);
    request->setTimeoutInterval(10);
    if (method != RKRequestMethod::GET)
        request->setHTTPBodyString(QStringLiteral("Command=login&"));
    if (maxResponseBytes > 0)
        request->setMaxResponseBytes(maxResponseBytes);
    RKRequestOutcome outcome;
    std::thread worker([&] { outcome = request->sendSynchronously(); });
    worker.join();
    return outcome;
}

RKRequestOutcome postTo(const QString &baseUrl, qint64 maxResponseBytes = 0)
{
    return sendTo(baseUrl, RKRequestMethod::POST, maxResponseBytes);
}

} // namespace

TEST(HttpExchange, ReadsRepliesWholeOrFailsThemAndSendsEachRequestOnce)
{
    ensureApplication();
    struct Row
    {
        const char *name;
        QByteArray reply;
        qint64 errorCode; // 0: a response
        int status;
        QByteArray body;
    };
    const Row rows[] = {
        {"with a length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nOK\nab", 0, 200, "OK\nab"},
        {"without a length, to the end of the connection", "HTTP/1.0 200 OK\r\n\r\nOK\nList=", 0, 200, "OK\nList="},
        {"in chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nOK\n\r\n2;x=1\r\nab\r\n0\r\n\r\n", 0,
         200, "OK\nab"},
        {"shorter than its length",
         "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nOK\n",
         NSURLErrorNetworkConnectionLost,
         0,
         {}},
        {"chunks cut off",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nOK\n",
         NSURLErrorNetworkConnectionLost,
         0,
         {}},
        {"no reply at all", "", NSURLErrorNetworkConnectionLost, 0, {}},
        {"cut inside the head", "HTTP/1.1 200 OK\r\nContent-Len", NSURLErrorNetworkConnectionLost, 0, {}},
        {"not HTTP", "OK\nDeviceID=1\n", NSURLErrorBadServerResponse, 0, {}},
        {"an error status with an OK body", "HTTP/1.1 500 Oops\r\nContent-Length: 3\r\n\r\nOK\n", 0, 500, "OK\n"},
        {"a redirect, not followed",
         "HTTP/1.1 307 Moved\r\nLocation: http://127.0.0.1:9/elsewhere\r\nContent-Length: 0\r\n\r\n",
         0,
         307,
         {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray reply = row.reply;
        RawServer server([reply](int connection) { sendText(connection, reply); });
        const RKRequestOutcome outcome = postTo(server.baseUrl());
        // Whatever became of the reply, the request went out once.
        EXPECT_EQ(server.requests(), 1);
        if (row.errorCode != 0) {
            ASSERT_EQ(outcome.kind(), RKRequestOutcome::Kind::Failed);
            EXPECT_EQ(outcome.error().code(), row.errorCode);
            continue;
        }
        ASSERT_EQ(outcome.kind(), RKRequestOutcome::Kind::Loaded);
        EXPECT_EQ(outcome.response().statusCode(), row.status);
        EXPECT_EQ(outcome.response().body(), row.body);
    }
}

TEST(HttpExchange, EndsRepliesPastTheSizeLimit)
{
    ensureApplication();
    struct Row
    {
        const char *name;
        RawServer::Script script;
    };
    const Row rows[] = {
        {"an endless body", sendEndlessBody},
        {"a length past the limit",
         [](int connection) { sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 209715200\r\n\r\nOK\n"); }},
        {"a chunk past the limit",
         [](int connection) {
             sendText(connection, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nC800000\r\nOK");
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        RawServer server(row.script);
        const RKRequestOutcome outcome = postTo(server.baseUrl(), 1024 * 1024);
        ASSERT_EQ(outcome.kind(), RKRequestOutcome::Kind::Failed);
        EXPECT_EQ(outcome.error().code(), NSURLErrorDataLengthExceedsMaximum);
    }
}

// The request as it goes on the wire, byte for byte: its length, its type, nothing else. Requests to a
// server that keeps its connections go out one after another on one connection, each the same bytes.
TEST(HttpExchange, WritesTheRequestExactlyAndLaterRequestsReuseTheConnection)
{
    ensureApplication();
    for (const bool keepsConnections : {false, true}) {
        SCOPED_TRACE(keepsConnections ? "a server that keeps connections" : "one request per connection");
        // A server that closes each connection after its reply says so, as HTTP/1.1 asks; one that
        // closes without saying so races the client's next request on that connection.
        const char *const reply = keepsConnections ? "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n"
                                                   : "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nOK\n";
        RawServer server([reply](int connection) { sendText(connection, reply); }, keepsConnections);
        for (int request = 1; request <= 3; ++request) {
            ASSERT_EQ(postTo(server.baseUrl()).kind(), RKRequestOutcome::Kind::Loaded);
            EXPECT_EQ(server.lastRequest().toStdString(),
                      QStringLiteral("POST /hmx_update HTTP/1.1\r\nHost: 127.0.0.1:%1\r\n"
                                     "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 14\r\n\r\n"
                                     "Command=login&")
                          .arg(server.port())
                          .toStdString());
        }
        EXPECT_EQ(server.requests(), 3);
        EXPECT_EQ(server.connections(), keepsConnections ? 1 : 3);
    }
}

// Requests that follow one another on a kept connection go out each exactly as made: nothing of an
// earlier request (its method, body or headers) comes with a later one that takes over its handle.
TEST(HttpExchange, ARequestCarriesNothingOfTheOneBeforeIt)
{
    ensureApplication();
    RawServer server([](int connection) { sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n"); },
                     true);
    const std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    const auto send = [&client](RKRequestMethod method, bool withProbe) {
        const std::shared_ptr<RKRequest> request = client->requestWithResourcePath(QStringLiteral("/hmx_update"));
        request->setMethod(method);
        request->setTimeoutInterval(10);
        if (method != RKRequestMethod::GET)
            request->setHTTPBodyString(QStringLiteral("Command=login&"));
        if (withProbe)
            request->setValueForHTTPHeaderField("1", "X-Probe");
        RKRequestOutcome outcome;
        std::thread worker([&] { outcome = request->sendSynchronously(); });
        worker.join();
        return outcome.kind();
    };
    const QString host = QStringLiteral("Host: 127.0.0.1:%1\r\n").arg(server.port());
    const QString body = QStringLiteral("Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 14\r\n\r\n"
                                        "Command=login&");
    ASSERT_EQ(send(RKRequestMethod::PUT, true), RKRequestOutcome::Kind::Loaded);
    EXPECT_EQ(server.lastRequest().toStdString(),
              (QStringLiteral("PUT /hmx_update HTTP/1.1\r\n") + host + QStringLiteral("X-Probe: 1\r\n") + body).toStdString());
    ASSERT_EQ(send(RKRequestMethod::GET, false), RKRequestOutcome::Kind::Loaded);
    EXPECT_EQ(server.lastRequest().toStdString(),
              (QStringLiteral("GET /hmx_update HTTP/1.1\r\n") + host + QStringLiteral("\r\n")).toStdString());
    ASSERT_EQ(send(RKRequestMethod::POST, false), RKRequestOutcome::Kind::Loaded);
    EXPECT_EQ(server.lastRequest().toStdString(),
              (QStringLiteral("POST /hmx_update HTTP/1.1\r\n") + host + body).toStdString());
    EXPECT_EQ(server.requests(), 3);
    EXPECT_EQ(server.connections(), 1);
}

// A request's head and body leave in one write, so the server reads them at once: written apart,
// each request cost both ends another send and another wake-up. Kept connections and a fresh one alike.
TEST(HttpExchange, SendsARequestsHeadAndBodyInOneWrite)
{
    ensureApplication();
    RawServer server([](int connection) { sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n"); },
                     true);
    for (const RKRequestMethod method : {RKRequestMethod::POST, RKRequestMethod::PUT, RKRequestMethod::POST}) {
        ASSERT_EQ(sendTo(server.baseUrl(), method).kind(), RKRequestOutcome::Kind::Loaded);
        EXPECT_TRUE(server.lastRequest().endsWith("\r\n\r\nCommand=login&"));
        EXPECT_EQ(server.lastRequestReads(), 1);
    }
    EXPECT_EQ(server.requests(), 3);
}

// A kept connection that the server closes after reading a request whole, with no reply: the
// request may have been stored, so it fails as a lost connection and is not sent again on a new
// connection; the next request opens one. Likewise for a reply cut short on a kept connection.
TEST(HttpExchange, ARequestOnAKeptConnectionThatDropsIsNotSentAgain)
{
    ensureApplication();
    struct Row
    {
        const char *name;
        QByteArray secondReply;
    };
    const Row rows[] = {{"closed with no reply", ""}, {"a reply cut short", "HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\nOK"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<int> answered = 0;
        RawServer server(
            [&answered, &row](int connection) {
                if (++answered == 2) {
                    sendText(connection, row.secondReply);
                    ::shutdown(connection, SHUT_RDWR);
                    return;
                }
                sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n");
            },
            true);
        ASSERT_EQ(postTo(server.baseUrl()).kind(), RKRequestOutcome::Kind::Loaded);
        const RKRequestOutcome dropped = postTo(server.baseUrl());
        ASSERT_EQ(dropped.kind(), RKRequestOutcome::Kind::Failed);
        EXPECT_EQ(dropped.error().code(), NSURLErrorNetworkConnectionLost);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // libcurl may open a new connection to try again; nothing goes out on it.
        EXPECT_EQ(server.requests(), 2);
        ASSERT_EQ(postTo(server.baseUrl()).kind(), RKRequestOutcome::Kind::Loaded);
        EXPECT_EQ(server.requests(), 3);
    }
    // A plain GET only reads: on a kept connection that closed unanswered it goes again on a new one.
    std::atomic<int> answered = 0;
    RawServer server(
        [&answered](int connection) {
            if (++answered == 2) {
                ::shutdown(connection, SHUT_RDWR);
                return;
            }
            sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n");
        },
        true);
    ASSERT_EQ(sendTo(server.baseUrl(), RKRequestMethod::GET).kind(), RKRequestOutcome::Kind::Loaded);
    const RKRequestOutcome again = sendTo(server.baseUrl(), RKRequestMethod::GET);
    EXPECT_EQ(again.kind(), RKRequestOutcome::Kind::Loaded);
    EXPECT_EQ(server.requests(), 3);
}

// Every exchange of the process runs on one transfer thread: an exchange whose server never answers
// holds up no other, and cancelling it ends it at once and closes its connection.
TEST(HttpExchange, AnExchangeWaitingForItsReplyHoldsUpNoOtherAndCancellingItClosesItsConnection)
{
    ensureApplication();
    std::atomic<bool> sawClose = false;
    RawServer silent([&sawClose](int connection) {
        char byte = 0;
        sawClose = ::recv(connection, &byte, 1, 0) <= 0; // answers nothing; waits for the client to go
    });
    RawServer answering([](int connection) { sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n"); });
    const std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(silent.baseUrl());
    const std::shared_ptr<RKRequest> waiting = client->requestWithResourcePath(QStringLiteral("/hmx_update"));
    waiting->setMethod(RKRequestMethod::POST);
    waiting->setTimeoutInterval(60);
    waiting->setHTTPBodyString(QStringLiteral("Command=login&"));
    RKRequestOutcome waited;
    std::thread sender([&] { waited = waiting->sendSynchronously(); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return silent.requests() == 1; }));
    for (int request = 0; request < 3; ++request)
        EXPECT_EQ(postTo(answering.baseUrl()).kind(), RKRequestOutcome::Kind::Loaded);
    EXPECT_EQ(answering.requests(), 3);
    EXPECT_FALSE(sawClose.load());
    waiting->cancel();
    sender.join();
    EXPECT_EQ(waited.kind(), RKRequestOutcome::Kind::Cancelled);
    EXPECT_TRUE(testsupport::waitUntil([&] { return sawClose.load(); }));
}

// GnuTLS, which libcurl loads, sets itself up as it loads (about 1 MB) unless the program defines
// _gnutls_global_init_skip: a program linking the HTTP client keeps that function and exports it,
// so GnuTLS's look-up finds the program's, which says to skip.
TEST(HttpExchange, AProgramLinkingTheClientKeepsGnuTlsFromSettingItselfUp)
{
    static const int aProgramObject = 0;
    Dl_info program{};
    ASSERT_NE(::dladdr(&aProgramObject, &program), 0);
    void *const found = ::dlsym(RTLD_DEFAULT, "_gnutls_global_init_skip");
    ASSERT_NE(found, nullptr);
    Dl_info definer{};
    ASSERT_NE(::dladdr(found, &definer), 0);
    EXPECT_EQ(definer.dli_fbase, program.dli_fbase) << definer.dli_fname;
    EXPECT_EQ(reinterpret_cast<int (*)()>(found)(), 1);
}
