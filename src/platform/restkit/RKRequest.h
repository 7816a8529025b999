#pragma once

#include "platform/foundation/PlatformError.h"
#include "platform/restkit/HttpExchange.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "platform/restkit/RKResponse.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>



namespace platform {

class RKRequestDelegate;
class RKRequestQueue;

enum class RKRequestMethod { GET = 0, POST = 1, PUT = 2, DELETE = 3 };

// Replies are never served from a cache; None is the only policy.
enum class RKRequestCachePolicy { None = 0 };

// How a synchronous send ended: a response (any status code), a failure, or a cancel.
class RKRequestOutcome final
{
public:
    enum class Kind { Loaded, Failed, Cancelled };

    static RKRequestOutcome loaded(RKResponse response);
    static RKRequestOutcome failed(PlatformError error);
    static RKRequestOutcome cancelled();

    Kind kind() const { return m_kind; }
    bool isLoaded() const { return m_kind == Kind::Loaded; }
    const RKResponse &response() const { return m_response; }
    const PlatformError &error() const { return m_error; }

private:
    Kind m_kind = Kind::Cancelled;
    RKResponse m_response;
    PlatformError m_error;
};

// One HTTP request of an RKClient: made by RKClient::requestWithResourcePath, configured by its
// sender, then sent; the client's request queue runs it in its turn on the framework's own thread.
// Each send goes out exactly once (HttpExchange, over libcurl), on a new connection or one an earlier
// request left open: the framework never resends a request by itself and never follows a redirect,
// whose reply reaches the sender as is.
// The default method is GET, the default time-out 120 s.
//
// Owned through std::shared_ptr by its sender and, while waiting or loading, by the queue. The setters
// are meant for the sender before send(); they are guarded, so a delegate may also be cleared from any
// thread at any time. Every callback (delegate operations and the two blocks) arrives on the
// framework's thread and is made while the request's callback lock is held: once setDelegate(nullptr)
// (or a block setter) has returned on another thread, no call to the old delegate or block is under
// way or will come. A callback may call any operation of its own request, the setters included.
class RKRequest final : public std::enable_shared_from_this<RKRequest>
{
public:
    using LoadBlock = std::function<void(const RKResponse &)>;
    using FailBlock = std::function<void(const PlatformError &)>;

    ~RKRequest();
    RKRequest(const RKRequest &) = delete;
    RKRequest &operator=(const RKRequest &) = delete;

    const QString &resourcePath() const { return m_resourcePath; }
    // The base URL followed by the resource path.
    QString URLString() const { return m_urlString; }

    void setMethod(RKRequestMethod method);
    RKRequestMethod method() const;
    void setTimeoutInterval(double seconds);
    double timeoutInterval() const;
    void setCachePolicy(RKRequestCachePolicy policy);
    RKRequestCachePolicy cachePolicy() const;

    // A form body: the parameters URL-encoded as UTF-8, in key order, with the content type
    // "application/x-www-form-urlencoded". Numbers are written in decimal, booleans as 1 and 0.
    // A GET sends no body: its parameters go into the URL's query instead.
    void setParams(const QVariantMap &params);
    // A ready body with its MIME type as content type (JSON, for instance).
    void setParams(const RKRequestSerialization &body);
    // The form parameters last set, or an empty map when the body is raw.
    QVariantMap params() const;
    // A raw body; without a content type it goes as "application/x-www-form-urlencoded", which is
    // what name=value texts built by hand are.
    void setHTTPBody(const QByteArray &body, const QString &contentType = {});
    // A raw body of UTF-8 text.
    void setHTTPBodyString(const QString &body);
    QByteArray HTTPBody() const;
    QString HTTPBodyString() const;
    // The largest reply body taken; a longer one fails the request (NSURLErrorDataLengthExceedsMaximum)
    // as soon as it is known to be longer, without reading the rest. 32 MiB unless set.
    void setMaxResponseBytes(qint64 bytes);
    qint64 maxResponseBytes() const;
    // Headers of this request; they win over the client's headers of the same name.
    void setValueForHTTPHeaderField(const QByteArray &value, const QByteArray &field);
    QList<RKResponse::Header> additionalHTTPHeaders() const;

    // A non-owning delegate; clear it before the delegate goes away (see the class comment).
    void setDelegate(RKRequestDelegate *delegate);
    RKRequestDelegate *delegate() const;
    void setUserData(const QVariant &userData);
    QVariant userData() const;
    // Called after the delegate's requestDidLoadResponse.
    void setOnDidLoadResponse(LoadBlock block);
    // Called after the delegate's requestDidFailLoadWithError; never for a cancel.
    void setOnDidFailLoadWithError(FailBlock block);
    // Clears the delegate and both blocks: once it returns, no callback of this request is under way
    // or will come, so their owner may go.
    void clearCallbacks();

    // Queues the request on its client's request queue and returns at once. A request may be sent
    // again once it has ended; sending one that is waiting or loading does nothing.
    void send();
    // Sends the request and blocks the calling thread until it ends; the delegate and blocks are
    // called as for send(). Only for worker threads: on the framework's thread it fails at once
    // (RKErrorDomain code 1) instead of waiting for itself.
    RKRequestOutcome sendSynchronously();
    // Ends a waiting or loading request with requestDidCancelLoad; any thread. A request not sent yet
    // ends so when it is first sent, without going on the wire; one that has ended is left as it is.
    void cancel();

    bool isUnsent() const { return m_state.load() == State::Unsent; }
    bool isLoading() const { return m_state.load() == State::Loading; }
    bool isWaiting() const { return m_state.load() == State::Waiting; }
    bool isLoaded() const { return m_state.load() == State::Loaded; }
    bool isCancelled() const { return m_state.load() == State::Cancelled; }

private:
    friend class RKClient;
    friend class RKRequestQueue;

    enum class State { Unsent, Waiting, Loading, Loaded, Failed, Cancelled };
    struct SyncWaiter;

    RKRequest(std::shared_ptr<RKRequestQueue> queue, QString resourcePath, QString urlString,
              QList<RKResponse::Header> clientHeaders, QString caFile);

    // Framework thread only: called by the queue.
    void start();
    void endCancelledWhileWaiting();
    // Any thread: called by the queue, which has already taken the request out of its waiting list
    // when it was waiting, when its client goes; the request ends without callbacks.
    enum class Abandon { Waiting, Loading };
    void abandon(Abandon where);

    void postAbort();
    void startReply();
    HttpExchange::Request wireRequest(QUrl url) const;
    void startTimeoutTimer(HttpExchange &exchange, double timeoutSeconds);
    void finishReply(HttpExchange *exchange);
    void endWith(State state, const std::optional<RKResponse> &response, const std::optional<PlatformError> &error,
                 bool timedOut);
    void deliver(const std::function<void(RKRequestDelegate *)> &call);
    std::optional<PlatformError> checkURL(const QUrl &url) const;

    const std::shared_ptr<RKRequestQueue> m_queue;
    const QString m_resourcePath;
    const QString m_urlString;

    mutable std::mutex m_configMutex;
    RKRequestMethod m_method = RKRequestMethod::GET;
    double m_timeoutSeconds = 120.0;
    RKRequestCachePolicy m_cachePolicy = RKRequestCachePolicy::None;
    QVariantMap m_params;
    QByteArray m_body;
    QByteArray m_contentType;
    QList<RKResponse::Header> m_clientHeaders;
    const QString m_caFile;
    QList<RKResponse::Header> m_headers;
    QVariant m_userData;
    qint64 m_maxResponseBytes = 32 * 1024 * 1024;
    std::shared_ptr<SyncWaiter> m_syncWaiter;

    mutable std::recursive_mutex m_callbackMutex;
    RKRequestDelegate *m_delegate = nullptr;
    LoadBlock m_onDidLoadResponse;
    FailBlock m_onDidFailLoadWithError;
    bool m_abandoned = false;

    std::atomic<State> m_state = State::Unsent;
    // Guards the step from unsent to queued against a cancel on another thread.
    std::mutex m_sendMutex;
    bool m_isCancelledUnsent = false;

    // Framework thread only.
    QPointer<HttpExchange> m_exchange;
    bool m_cancelRequested = false;
    bool m_timedOut = false;
    bool m_reportedResponse = false;
    qint64 m_bytesSent = 0;
    qint64 m_bytesReceived = 0;
};

} // namespace platform
