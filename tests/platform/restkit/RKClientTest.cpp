#include "RestKitTestSupport.h"

#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKErrors.h"
#include "platform/restkit/RKNetworkThread.h"
#include "platform/restkit/RKObjectManager.h"
#include "platform/restkit/RKReachabilityObserver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTcpServer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <future>

using namespace platform;

namespace {

// A gate a server handler waits at until the test opens it; opened at the latest when the test ends,
// so that the server can stop.
class Gate final
{
public:
    ~Gate() { open(); }
    void open()
    {
        const std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

class RKClientTest : public testing::Test
{
protected:
    void SetUp() override { ensureApplication(); }
};

// The server answers POST "/hold" with "OK" once the gate opens, counting the requests that arrived.
void holdPostsAtGate(LoopbackServer &server, Gate &gate, std::atomic<int> &arrived)
{
    server.server().Post("/hold", [&gate, &arrived](const httplib::Request &, httplib::Response &response) {
        ++arrived;
        gate.wait();
        response.set_content("OK", "text/plain");
    });
}

std::shared_ptr<RKRequest> post(RKClient &client, const QString &path, RKRequestDelegate *delegate)
{
    std::shared_ptr<RKRequest> request = client.requestWithResourcePath(path);
    request->setMethod(RKRequestMethod::POST);
    request->setTimeoutInterval(10);
    request->setDelegate(delegate);
    return request;
}

} // namespace

TEST_F(RKClientTest, PostsFormAndRawBodiesAndDeliversTheWholeResponse)
{
    LoopbackServer server;
    std::mutex seenMutex;
    std::vector<std::string> bodies, contentTypes, customHeaders;
    server.server().Post("/echo", [&](const httplib::Request &request, httplib::Response &response) {
        {
            const std::lock_guard lock(seenMutex);
            bodies.push_back(request.body);
            contentTypes.push_back(request.get_header_value("Content-Type"));
            customHeaders.push_back(request.get_header_value("X-Client") + "|" + request.get_header_value("X-Request"));
        }
        response.status = request.body.empty() ? 404 : 200;
        response.set_header("X-Peer", "loopback");
        response.set_content("OK\nr\xc3\xa9ponse\n", "text/plain; charset=utf-8");
    });
    server.start();

    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    client->setValueForHTTPHeaderField("on every request", "X-Client");

    RecordingDelegate formDelegate;
    std::shared_ptr<RKRequest> form = post(*client, QStringLiteral("/echo"), &formDelegate);
    form->setParams(QVariantMap{{QStringLiteral("logging"), QStringLiteral("1")},
                                {QStringLiteral("note"), QStringLiteral("a & b = c\nd\u00e9")},
                                {QStringLiteral("flag"), true},
                                {QStringLiteral("count"), qint64(42)}});
    form->setValueForHTTPHeaderField("this one", "X-Request");
    QString loadedText;
    form->setOnDidLoadResponse([&loadedText](const RKResponse &response) { loadedText = response.bodyAsString(); });
    form->send();

    RecordingDelegate rawDelegate;
    std::shared_ptr<RKRequest> raw = post(*client, QStringLiteral("/echo"), &rawDelegate);
    raw->setHTTPBodyString(QStringLiteral("password=x&Username=y&conduit=A&"));

    RecordingDelegate jsonDelegate;
    std::shared_ptr<RKRequest> json = post(*client, QStringLiteral("/echo"), &jsonDelegate);
    json->setParams(
        RKRequestSerialization::serializationWithData("{\"Username\":\"u\"}", QString::fromLatin1(RKMIMETypeJSON)));

    RecordingDelegate emptyDelegate;
    std::shared_ptr<RKRequest> empty = post(*client, QStringLiteral("/echo"), &emptyDelegate);
    raw->send();
    json->send();
    empty->send();

    ASSERT_TRUE(testsupport::waitUntil([&] { return emptyDelegate.hasEnded(); })) << "the fourth request to end";
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[0], "count=42&flag=1&logging=1&note=a%20%26%20b%20%3D%20c%0Ad%C3%A9");
    EXPECT_EQ(contentTypes[0], "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(customHeaders[0], "on every request|this one");
    EXPECT_EQ(bodies[1], "password=x&Username=y&conduit=A&");
    EXPECT_EQ(contentTypes[1], "application/x-www-form-urlencoded");
    EXPECT_EQ(customHeaders[1], "on every request|");
    EXPECT_EQ(bodies[2], "{\"Username\":\"u\"}");
    EXPECT_EQ(contentTypes[2], "application/json");

    EXPECT_EQ(formDelegate.events(), QStringList({"start", "head 200", "load 200"}));
    const RKResponse response = formDelegate.response();
    EXPECT_EQ(response.statusCode(), 200);
    EXPECT_EQ(response.bodyAsString(), QStringLiteral("OK\nr\u00e9ponse\n"));
    EXPECT_EQ(loadedText, response.bodyAsString());
    EXPECT_EQ(response.body(), QByteArray("OK\nr\xc3\xa9ponse\n"));
    EXPECT_EQ(response.headerValue("x-peer"), QStringLiteral("loopback"));
    EXPECT_EQ(response.MIMEType(), QStringLiteral("text/plain"));
    EXPECT_EQ(response.request(), form);
    EXPECT_TRUE(formDelegate.cameOnlyOnThreadsOtherThan(QThread::currentThread()));

    // An HTTP error status is a response, not a failure.
    EXPECT_EQ(emptyDelegate.events(), QStringList({"start", "head 404", "load 404"}));
    EXPECT_FALSE(emptyDelegate.response().isSuccessful());
}

TEST_F(RKClientTest, GetCarriesItsParametersInTheQuery)
{
    LoopbackServer server;
    std::string seenQuery;
    std::string seenBody;
    server.server().Get("/tasks", [&](const httplib::Request &request, httplib::Response &response) {
        seenQuery = request.get_param_value("maxResults") + "|" + request.get_param_value("q") + "|" +
                    request.get_param_value("pageToken");
        seenBody = request.body;
        response.set_content("[]", "application/json");
    });
    server.start();
    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    std::shared_ptr<RKRequest> request = client->requestWithResourcePath(QStringLiteral("/tasks?pageToken=p1"));
    request->setParams(
        QVariantMap{{QStringLiteral("maxResults"), 100}, {QStringLiteral("q"), QStringLiteral("a&b c")}});
    const RKRequestOutcome outcome = request->sendSynchronously();
    ASSERT_TRUE(outcome.isLoaded()) << outcome.error().description().toStdString();
    EXPECT_EQ(seenQuery, "100|a&b c|p1");
    EXPECT_EQ(seenBody, "");
    EXPECT_EQ(outcome.response().MIMEType(), QStringLiteral("application/json"));
}

TEST_F(RKClientTest, RunsOneRequestAtATimeInTheOrderSent)
{
    LoopbackServer server;
    std::atomic<int> inFlight = 0;
    std::atomic<int> mostInFlight = 0;
    std::mutex orderMutex;
    std::vector<std::string> order;
    server.server().Post("/step", [&](const httplib::Request &request, httplib::Response &response) {
        const int now = ++inFlight;
        mostInFlight = std::max(mostInFlight.load(), now);
        {
            const std::lock_guard lock(orderMutex);
            order.push_back(request.body);
        }
        response.set_content("OK", "text/plain");
        --inFlight;
    });
    server.start();

    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    std::vector<std::unique_ptr<RecordingDelegate>> delegates;
    std::vector<std::shared_ptr<RKRequest>> requests;
    std::mutex endMutex;
    std::vector<int> endOrder;
    for (int index = 0; index < 12; ++index) {
        delegates.push_back(std::make_unique<RecordingDelegate>());
        std::shared_ptr<RKRequest> request = post(*client, QStringLiteral("/step"), delegates.back().get());
        request->setHTTPBodyString(QString::number(index));
        request->setOnDidLoadResponse([&, index](const RKResponse &) {
            const std::lock_guard lock(endMutex);
            endOrder.push_back(index);
        });
        requests.push_back(request);
    }
    for (const std::shared_ptr<RKRequest> &request : requests)
        request->send();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        const std::lock_guard lock(endMutex);
        return endOrder.size() == 12u;
    })) << "all twelve requests to load";
    EXPECT_EQ(mostInFlight.load(), 1);
    for (int index = 0; index < 12; ++index) {
        EXPECT_EQ(order[std::size_t(index)], std::to_string(index));
        EXPECT_EQ(endOrder[std::size_t(index)], index);
    }
    EXPECT_EQ(client->requestQueue().count(), 0);
}

TEST_F(RKClientTest, ReportsProgressOfLargeBodiesBothWays)
{
    LoopbackServer server;
    server.server().Post("/photo", [](const httplib::Request &request, httplib::Response &response) {
        response.set_content(std::string(request.body.rbegin(), request.body.rend()) + request.body, "image/jpeg");
    });
    server.start();
    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    QByteArray photo(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype index = 0; index < photo.size(); ++index)
        photo[index] = char(index * 7 % 251);

    RecordingDelegate delegate;
    std::shared_ptr<RKRequest> request = post(*client, QStringLiteral("/photo"), &delegate);
    request->setParams(RKRequestSerialization::serializationWithData(photo, QStringLiteral("image/jpeg")));
    request->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return delegate.hasEnded(); }));
    ASSERT_EQ(delegate.events().constLast(), QStringLiteral("load 200"));
    EXPECT_EQ(delegate.response().body().size(), 2 * photo.size());
    EXPECT_EQ(delegate.response().body().mid(photo.size()), photo);
    const RecordingDelegate::Progress sent = delegate.sent();
    EXPECT_EQ(sent.chunks, photo.size());
    EXPECT_EQ(sent.total, sent.expected);
    const RecordingDelegate::Progress received = delegate.received();
    EXPECT_EQ(received.chunks, 2 * photo.size());
    EXPECT_EQ(received.total, received.expected);
}

TEST_F(RKClientTest, ReportsTheFrameworksOwnTimeOutAsCodeFive)
{
    LoopbackServer server;
    Gate gate;
    server.server().Post("/slow", [&](const httplib::Request &, httplib::Response &response) {
        gate.wait();
        response.set_content("OK", "text/plain");
    });
    server.start();

    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    RecordingDelegate delegate;
    std::shared_ptr<RKRequest> request = post(*client, QStringLiteral("/slow"), &delegate);
    request->setTimeoutInterval(0.05);
    PlatformError blockError;
    request->setOnDidFailLoadWithError([&blockError](const PlatformError &error) { blockError = error; });
    request->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return delegate.hasEnded(); })) << "the time-out";
    gate.open();

    EXPECT_EQ(delegate.events(), QStringList({"start", "timeout", "fail 5"}));
    EXPECT_EQ(blockError.domain(), QString::fromLatin1(RKErrorDomain));
    EXPECT_EQ(blockError.code(), RKRequestConnectionTimeoutError);
    EXPECT_TRUE(blockError.localizedDescription().contains(server.baseUrl() + "/slow"));
}

TEST_F(RKClientTest, MapsTransportFailuresToUrlLoadingCodes)
{
    LoopbackServer server;
    server.server().Post("/drop", [](const httplib::Request &, httplib::Response &response) {
        // Announces 1000 bytes, sends a few and hangs up.
        response.set_content_provider(1000, "text/plain", [](size_t, size_t, httplib::DataSink &sink) {
            sink.write("OK\npart", 7);
            return false;
        });
    });
    server.start();

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = closed.serverPort();
    closed.close();

    struct Row
    {
        const char *name;
        QString url;
        qint64 code;
        const char *description;
    };
    const Row rows[] = {
        {"connection dropped mid-reply", server.baseUrl() + "/drop", NSURLErrorNetworkConnectionLost,
         "The network connection was lost."},
        {"nobody listening", QStringLiteral("http://127.0.0.1:%1/hmx_logon").arg(closedPort),
         NSURLErrorCannotConnectToHost, "Could not connect to the server."},
        {"not a URL", QStringLiteral("http://127.0.0.1:99999999/x"), NSURLErrorBadURL, "bad URL"},
        {"another scheme", QStringLiteral("gopher://127.0.0.1/x"), NSURLErrorUnsupportedURL, "unsupported URL"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(row.url);
        RecordingDelegate delegate;
        std::shared_ptr<RKRequest> request = post(*client, QString(), &delegate);
        request->send();
        ASSERT_TRUE(testsupport::waitUntil([&] { return delegate.hasEnded(); }));
        EXPECT_EQ(delegate.events().constLast(), QStringLiteral("fail %1").arg(row.code));
        EXPECT_EQ(delegate.error().domain(), QString::fromLatin1(NSURLErrorDomain));
        EXPECT_EQ(delegate.error().localizedDescription(), QString::fromLatin1(row.description));
        EXPECT_EQ(delegate.error().userInfo().value(NSURLErrorFailingURLStringErrorKey).toString(), row.url);
    }

    // The codes without a loopback way to provoke them carry the platform's texts too.
    EXPECT_EQ(urlLoadingError(NSURLErrorCannotFindHost, {}).localizedDescription(),
              QStringLiteral("A server with the specified hostname could not be found."));
    EXPECT_EQ(urlLoadingError(NSURLErrorTimedOut, {}).localizedDescription(), QStringLiteral("The request timed out."));
}

TEST_F(RKClientTest, ReportsCancelAsCancelForWaitingAndLoadingRequests)
{
    LoopbackServer server;
    Gate gate;
    std::atomic<int> arrived = 0;
    holdPostsAtGate(server, gate, arrived);
    server.start();

    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    RecordingDelegate loadingDelegate;
    RecordingDelegate waitingDelegate;
    RecordingDelegate afterDelegate;
    std::shared_ptr<RKRequest> loading = post(*client, QStringLiteral("/hold"), &loadingDelegate);
    std::shared_ptr<RKRequest> waiting = post(*client, QStringLiteral("/hold"), &waitingDelegate);
    bool failBlockCalled = false;
    loading->setOnDidFailLoadWithError([&failBlockCalled](const PlatformError &) { failBlockCalled = true; });
    waiting->setOnDidFailLoadWithError([&failBlockCalled](const PlatformError &) { failBlockCalled = true; });
    loading->send();
    waiting->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return arrived.load() == 1; })) << "the first request at the server";
    EXPECT_TRUE(waiting->isWaiting());

    waiting->cancel();
    loading->cancel();
    ASSERT_TRUE(testsupport::waitUntil([&] { return loadingDelegate.hasEnded() && waitingDelegate.hasEnded(); }));
    EXPECT_EQ(loadingDelegate.events(), QStringList({"start", "cancel"}));
    EXPECT_EQ(waitingDelegate.events(), QStringList({"cancel"}));
    EXPECT_FALSE(failBlockCalled);
    EXPECT_TRUE(loading->isCancelled());
    gate.open();

    // The queue goes on with the next request, and a cancelled request can be sent again.
    std::shared_ptr<RKRequest> after = post(*client, QStringLiteral("/hold"), &afterDelegate);
    after->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return afterDelegate.hasEnded(); }));
    EXPECT_EQ(afterDelegate.events().constLast(), QStringLiteral("load 200"));
}

// A cancel that reaches a request before its first send (another thread ending a transport while a
// worker makes a request ready) ends that send at once as cancelled: it never goes on the wire and no
// synchronous sender waits for its time limit. The cancel is spent by that send; the next one loads.
TEST_F(RKClientTest, ARequestCancelledBeforeItIsSentEndsCancelledWithoutGoingOnTheWire)
{
    LoopbackServer server;
    Gate gate;
    gate.open();
    std::atomic<int> arrived = 0;
    holdPostsAtGate(server, gate, arrived);
    server.start();
    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    RecordingDelegate delegate;
    std::shared_ptr<RKRequest> request = post(*client, QStringLiteral("/hold"), &delegate);
    request->cancel();
    EXPECT_TRUE(request->isUnsent());

    std::future<RKRequestOutcome> worker = std::async(std::launch::async, [&request] { return request->sendSynchronously(); });
    ASSERT_EQ(worker.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(worker.get().kind(), RKRequestOutcome::Kind::Cancelled);
    EXPECT_EQ(delegate.events(), QStringList({"cancel"}));
    EXPECT_TRUE(request->isCancelled());

    request->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return delegate.events().constLast() == QLatin1String("load 200"); }));
    EXPECT_EQ(arrived.load(), 1);
}

TEST_F(RKClientTest, ARequestWhoseCallbacksAreClearedCallsNoOneWhenItEnds)
{
    LoopbackServer server;
    Gate gate;
    std::atomic<int> arrived = 0;
    holdPostsAtGate(server, gate, arrived);
    server.start();

    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    client->requestQueue().setConcurrentRequestsLimit(1);
    RecordingDelegate clearedDelegate;
    RecordingDelegate afterDelegate;
    std::shared_ptr<RKRequest> cleared = post(*client, QStringLiteral("/hold"), &clearedDelegate);
    std::atomic<int> blockCalls = 0;
    cleared->setOnDidLoadResponse([&blockCalls](const RKResponse &) { ++blockCalls; });
    cleared->setOnDidFailLoadWithError([&blockCalls](const PlatformError &) { ++blockCalls; });
    cleared->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return arrived.load() == 1; })) << "the request at the server";

    cleared->clearCallbacks();
    EXPECT_EQ(cleared->delegate(), nullptr);
    gate.open();
    // The queue runs one request at a time and calls back in order: once the next request has ended,
    // every callback of the cleared one has been made or skipped.
    std::shared_ptr<RKRequest> after = post(*client, QStringLiteral("/hold"), &afterDelegate);
    after->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return afterDelegate.hasEnded(); }));
    EXPECT_EQ(afterDelegate.events().constLast(), QStringLiteral("load 200"));
    EXPECT_TRUE(cleared->isLoaded());
    EXPECT_EQ(clearedDelegate.events(), QStringList({"start"}));
    EXPECT_EQ(blockCalls.load(), 0);
}

TEST_F(RKClientTest, CancelAllRequestsAndAGoneClientEndTheQueue)
{
    LoopbackServer server;
    Gate gate;
    std::atomic<int> arrived = 0;
    holdPostsAtGate(server, gate, arrived);
    Gate secondGate;
    server.server().Post("/hold2", [&](const httplib::Request &, httplib::Response &response) {
        ++arrived;
        secondGate.wait();
        response.set_content("OK", "text/plain");
    });
    server.start();

    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    RecordingDelegate first, second;
    post(*client, QStringLiteral("/hold"), &first)->send();
    post(*client, QStringLiteral("/hold"), &second)->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return arrived.load() == 1; }));
    client->requestQueue().cancelAllRequests();
    ASSERT_TRUE(testsupport::waitUntil([&] { return first.hasEnded() && second.hasEnded(); }));
    EXPECT_EQ(first.events().constLast(), QStringLiteral("cancel"));
    EXPECT_EQ(second.events(), QStringList({"cancel"}));
    gate.open();

    // A client that goes ends its requests without calling anyone back: the delegates may be gone too.
    auto orphanDelegate = std::make_unique<RecordingDelegate>();
    std::shared_ptr<RKRequest> orphan = post(*client, QStringLiteral("/hold2"), orphanDelegate.get());
    std::shared_ptr<RKRequest> orphanWaiting = post(*client, QStringLiteral("/hold2"), orphanDelegate.get());
    orphan->send();
    orphanWaiting->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return arrived.load() == 2; }));
    client.reset();
    orphanDelegate.reset();
    secondGate.open();
    ASSERT_TRUE(testsupport::waitUntil([&] { return orphan->isCancelled() && orphanWaiting->isCancelled(); }));
}

TEST_F(RKClientTest, SendsSynchronouslyFromAWorkerThreadButNotFromItsOwnThread)
{
    LoopbackServer server;
    server.server().Post("/hmx_getdeviceinfo", [](const httplib::Request &request, httplib::Response &response) {
        response.set_content("OK\n" + request.body, "text/plain");
    });
    server.start();
    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());

    std::future<RKRequestOutcome> worker = std::async(std::launch::async, [&client] {
        std::shared_ptr<RKRequest> request = post(*client, QStringLiteral("/hmx_getdeviceinfo"), nullptr);
        request->setHTTPBodyString(QStringLiteral("ping"));
        return request->sendSynchronously();
    });
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return worker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const RKRequestOutcome outcome = worker.get();
    ASSERT_TRUE(outcome.isLoaded());
    EXPECT_EQ(outcome.response().bodyAsString(), QStringLiteral("OK\nping"));

    std::atomic<bool> refused = false;
    RKNetworkThread::post([&client, &refused] {
        const RKRequestOutcome onOwnThread =
            post(*client, QStringLiteral("/hmx_getdeviceinfo"), nullptr)->sendSynchronously();
        refused = onOwnThread.kind() == RKRequestOutcome::Kind::Failed &&
                  onOwnThread.error().code() == RKRequestUnusableError;
    });
    EXPECT_TRUE(testsupport::waitUntil([&] { return refused.load(); }));
}

TEST_F(RKClientTest, AnswersReachabilityLocallyAndByConnecting)
{
    LoopbackServer server;
    server.start();
    std::shared_ptr<RKClient> client = RKClient::clientWithBaseURL(server.baseUrl());
    EXPECT_TRUE(client->isReachabilityDetermined());
    EXPECT_TRUE(client->isNetworkReachable());
    EXPECT_EQ(client->reachabilityObserver().port(), server.port());
    EXPECT_TRUE(client->reachabilityObserver().checkHostReachable(std::chrono::seconds(5)));
    RKClient::setSharedClient(client);
    EXPECT_EQ(RKClient::sharedClient(), client);
    client.reset();
    EXPECT_EQ(RKClient::sharedClient(), nullptr);

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    RKReachabilityObserver nobody(QStringLiteral("127.0.0.1"), closedPort);
    EXPECT_FALSE(nobody.checkHostReachable(std::chrono::seconds(5)));
    EXPECT_FALSE(nobody.lastHostCheckSucceeded());
}

// Every spelling of a loopback address reads as loopback, and nothing else does: the loopback host
// is reachable whenever the loopback interface runs.
TEST_F(RKClientTest, ReadsEveryLoopbackSpellingAsLoopback)
{
    for (const char *host : {"127.0.0.1", "127.3.2.1", " 127.0.0.1 ", "::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1",
                             "LocalHost"})
        EXPECT_TRUE(RKReachabilityObserver::isLoopbackHost(QString::fromLatin1(host))) << host;
    for (const char *host : {"192.0.2.1", "128.0.0.1", "::2", "::ffff:192.0.2.1", "phone.example", "127.0.0.1.5",
                             "localhost.example", ""})
        EXPECT_FALSE(RKReachabilityObserver::isLoopbackHost(QString::fromLatin1(host))) << host;
    EXPECT_TRUE(RKReachabilityObserver(QStringLiteral("::1"), 80).isNetworkReachable());
}

// The object manager is reached process-wide, and cancelling all its requests ends the running and
// the queued ones alike.
TEST_F(RKClientTest, TheSharedObjectManagerCancelsAllItsRequests)
{
    LoopbackServer server;
    Gate gate;
    std::atomic<int> arrived = 0;
    holdPostsAtGate(server, gate, arrived);
    server.start();

    const std::shared_ptr<RKObjectManager> manager = RKObjectManager::objectManagerWithBaseURL(server.baseUrl());
    EXPECT_EQ(RKObjectManager::sharedManager(), manager);
    const std::shared_ptr<RKObjectManager> other = RKObjectManager::objectManagerWithBaseURL(server.baseUrl());
    EXPECT_EQ(RKObjectManager::sharedManager(), manager);
    RecordingDelegate running, queued;
    post(RKObjectManager::sharedManager()->client(), QStringLiteral("/hold"), &running)->send();
    post(manager->client(), QStringLiteral("/hold"), &queued)->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return arrived.load() == 1; }));
    RKObjectManager::sharedManager()->cancelAllRequests();
    ASSERT_TRUE(testsupport::waitUntil([&] { return running.hasEnded() && queued.hasEnded(); }));
    EXPECT_EQ(running.events().constLast(), QStringLiteral("cancel"));
    EXPECT_EQ(queued.events(), QStringList({"cancel"}));
    gate.open();
    RKObjectManager::setSharedManager(other);
    EXPECT_EQ(RKObjectManager::sharedManager(), other);
}

// A program that ends while work is still queued for the framework's thread (an exit with requests
// under way): the queued work runs during the shutdown and still finds the thread's context.
TEST(RKNetworkThreadEnd, WorkQueuedAtTheEndStillFindsItsContext)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ensureApplication();
            platform::RKNetworkThread::post([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
            platform::RKNetworkThread::post([] {
                QObject child(&platform::RKNetworkThread::context());
                std::fprintf(stderr, "context reached\n");
            });
            destroyApplication();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "context reached");
}
