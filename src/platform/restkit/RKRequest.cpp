#include "platform/restkit/RKRequest.h"

#include "platform/foundation/LockedField.h"
#include "platform/restkit/HttpExchange.h"
#include "platform/restkit/RKErrors.h"
#include "platform/restkit/RKNetworkThread.h"
#include "platform/restkit/RKRequestDelegate.h"
#include "platform/restkit/RKRequestQueue.h"

#include <QTimer>

#include <condition_variable>
#include <limits>
#include <utility>

namespace platform {

namespace {

QByteArray formValueText(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? "1" : "0";
    return value.toString().toUtf8();
}

QByteArray formEncode(const QVariantMap &params)
{
    QByteArray body;
    for (auto it = params.begin(); it != params.end(); ++it) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(it.key()) + '=' +
                QUrl::toPercentEncoding(QString::fromUtf8(formValueText(it.value())));
    }
    return body;
}

QByteArray verbOf(RKRequestMethod method)
{
    switch (method) {
    case RKRequestMethod::GET:
        return "GET";
    case RKRequestMethod::POST:
        return "POST";
    case RKRequestMethod::PUT:
        return "PUT";
    case RKRequestMethod::DELETE:
        return "DELETE";
    }
    return "GET";
}

} // namespace

struct RKRequest::SyncWaiter
{
    std::mutex mutex;
    std::condition_variable ended;
    std::optional<RKRequestOutcome> outcome;
};

RKRequestOutcome RKRequestOutcome::loaded(RKResponse response)
{
    RKRequestOutcome outcome;
    outcome.m_kind = Kind::Loaded;
    outcome.m_response = std::move(response);
    return outcome;
}

RKRequestOutcome RKRequestOutcome::failed(PlatformError error)
{
    RKRequestOutcome outcome;
    outcome.m_kind = Kind::Failed;
    outcome.m_error = std::move(error);
    return outcome;
}

RKRequestOutcome RKRequestOutcome::cancelled()
{
    return RKRequestOutcome();
}

RKRequest::RKRequest(std::shared_ptr<RKRequestQueue> queue, QString resourcePath, QString urlString,
                     QList<RKResponse::Header> clientHeaders, QString caFile)
    : m_queue(std::move(queue)), m_resourcePath(std::move(resourcePath)), m_urlString(std::move(urlString)),
      m_clientHeaders(std::move(clientHeaders)), m_caFile(std::move(caFile))
{
}

RKRequest::~RKRequest() = default;

void RKRequest::setMethod(RKRequestMethod method)
{
    lockedAssign(m_configMutex, m_method, method);
}

RKRequestMethod RKRequest::method() const
{
    return lockedCopy(m_configMutex, m_method);
}

void RKRequest::setTimeoutInterval(double seconds)
{
    lockedAssign(m_configMutex, m_timeoutSeconds, seconds);
}

double RKRequest::timeoutInterval() const
{
    return lockedCopy(m_configMutex, m_timeoutSeconds);
}

void RKRequest::setCachePolicy(RKRequestCachePolicy policy)
{
    lockedAssign(m_configMutex, m_cachePolicy, policy);
}

RKRequestCachePolicy RKRequest::cachePolicy() const
{
    return lockedCopy(m_configMutex, m_cachePolicy);
}

void RKRequest::setParams(const QVariantMap &params)
{
    const std::lock_guard lock(m_configMutex);
    m_params = params;
    m_body = formEncode(params);
    m_contentType = QByteArray(RKMIMETypeFormURLEncoded) + "; charset=utf-8";
}

void RKRequest::setParams(const RKRequestSerialization &body)
{
    const std::lock_guard lock(m_configMutex);
    m_params.clear();
    m_body = body.data();
    m_contentType = body.MIMEType().toLatin1();
}

QVariantMap RKRequest::params() const
{
    return lockedCopy(m_configMutex, m_params);
}

void RKRequest::setHTTPBody(const QByteArray &body, const QString &contentType)
{
    const std::lock_guard lock(m_configMutex);
    m_params.clear();
    m_body = body;
    m_contentType = contentType.isEmpty() ? QByteArray(RKMIMETypeFormURLEncoded) : contentType.toLatin1();
}

void RKRequest::setHTTPBodyString(const QString &body)
{
    setHTTPBody(body.toUtf8());
}

QByteArray RKRequest::HTTPBody() const
{
    return lockedCopy(m_configMutex, m_body);
}

QString RKRequest::HTTPBodyString() const
{
    return QString::fromUtf8(HTTPBody());
}

void RKRequest::setMaxResponseBytes(qint64 bytes)
{
    lockedAssign(m_configMutex, m_maxResponseBytes, bytes);
}

qint64 RKRequest::maxResponseBytes() const
{
    return lockedCopy(m_configMutex, m_maxResponseBytes);
}

void RKRequest::setValueForHTTPHeaderField(const QByteArray &value, const QByteArray &field)
{
    const std::lock_guard lock(m_configMutex);
    setHeaderValue(m_headers, field, value);
}

QList<RKResponse::Header> RKRequest::additionalHTTPHeaders() const
{
    return lockedCopy(m_configMutex, m_headers);
}

void RKRequest::setDelegate(RKRequestDelegate *delegate)
{
    lockedAssign(m_callbackMutex, m_delegate, delegate);
}

RKRequestDelegate *RKRequest::delegate() const
{
    return lockedCopy(m_callbackMutex, m_delegate);
}

void RKRequest::setUserData(const QVariant &userData)
{
    lockedAssign(m_configMutex, m_userData, userData);
}

QVariant RKRequest::userData() const
{
    return lockedCopy(m_configMutex, m_userData);
}

void RKRequest::setOnDidLoadResponse(LoadBlock block)
{
    lockedAssign(m_callbackMutex, m_onDidLoadResponse, std::move(block));
}

void RKRequest::setOnDidFailLoadWithError(FailBlock block)
{
    lockedAssign(m_callbackMutex, m_onDidFailLoadWithError, std::move(block));
}

void RKRequest::clearCallbacks()
{
    const std::lock_guard lock(m_callbackMutex);
    m_delegate = nullptr;
    m_onDidLoadResponse = {};
    m_onDidFailLoadWithError = {};
}

void RKRequest::send()
{
    bool isCancelledUnsent = false;
    {
        // Held until the request is in its queue, so that a cancel from another thread finds it
        // either unsent or waiting there.
        const std::lock_guard sending(m_sendMutex);
        State expected = m_state.load();
        do {
            if (expected == State::Waiting || expected == State::Loading)
                return;
        } while (!m_state.compare_exchange_weak(expected, State::Waiting));
        {
            const std::lock_guard lock(m_callbackMutex);
            m_abandoned = false;
        }
        isCancelledUnsent = std::exchange(m_isCancelledUnsent, false);
        if (!isCancelledUnsent && m_queue->addRequest(shared_from_this()))
            return;
    }
    // Cancelled before it was sent: it ends at once and nothing goes on the wire.
    if (isCancelledUnsent) {
        endWith(State::Cancelled, std::nullopt, std::nullopt, false);
        return;
    }
    // Without an application object there is no framework thread to report on; the failure is
    // recorded for a synchronous sender and logged for everyone else.
    qWarning("RKRequest: %s cannot be sent: no application object runs the network thread", qPrintable(m_urlString));
    endWith(State::Failed, std::nullopt,
            PlatformError::withDescription(QString::fromLatin1(RKErrorDomain), RKRequestUnusableError,
                                           QStringLiteral("No application object runs the network thread.")),
            false);
}

RKRequestOutcome RKRequest::sendSynchronously()
{
    if (RKNetworkThread::isCurrentThread()) {
        return RKRequestOutcome::failed(PlatformError::withDescription(
            QString::fromLatin1(RKErrorDomain), RKRequestUnusableError,
            QStringLiteral("A synchronous request cannot be sent on the network thread.")));
    }
    if (isWaiting() || isLoading()) {
        return RKRequestOutcome::failed(PlatformError::withDescription(QString::fromLatin1(RKErrorDomain),
                                                                       RKRequestUnusableError,
                                                                       QStringLiteral("The request is already sent.")));
    }
    auto waiter = std::make_shared<SyncWaiter>();
    {
        const std::lock_guard lock(m_configMutex);
        m_syncWaiter = waiter;
    }
    send();
    std::unique_lock lock(waiter->mutex);
    waiter->ended.wait(lock, [&waiter] { return waiter->outcome.has_value(); });
    return *waiter->outcome;
}

void RKRequest::cancel()
{
    State state = State::Unsent;
    {
        const std::lock_guard sending(m_sendMutex);
        state = m_state.load();
        // A request cancelled before its first send (the cancel came from another thread as it was
        // being made ready) ends cancelled when it is sent, instead of loading to its time limit.
        if (state == State::Unsent) {
            m_isCancelledUnsent = true;
            return;
        }
    }
    if (state == State::Waiting && m_queue->removeWaitingRequest(this)) {
        const bool posted = RKNetworkThread::post([self = shared_from_this()] { self->endCancelledWhileWaiting(); });
        if (!posted)
            endWith(State::Cancelled, std::nullopt, std::nullopt, false);
        return;
    }
    if (state != State::Waiting && state != State::Loading)
        return;
    // The request is loading, or is being started on the framework's thread right now; the abort
    // runs after that start.
    postAbort();
}

void RKRequest::postAbort()
{
    RKNetworkThread::post([self = shared_from_this()] {
        if (!self->m_exchange || self->m_exchange->isFinished())
            return;
        self->m_cancelRequested = true;
        self->m_exchange->abort();
    });
}

void RKRequest::endCancelledWhileWaiting()
{
    endWith(State::Cancelled, std::nullopt, std::nullopt, false);
}

void RKRequest::abandon(Abandon where)
{
    {
        const std::lock_guard lock(m_callbackMutex);
        m_abandoned = true;
    }
    if (where == Abandon::Waiting) {
        endWith(State::Cancelled, std::nullopt, std::nullopt, false);
        return;
    }
    postAbort();
}

void RKRequest::start()
{
    m_state.store(State::Loading);
    m_cancelRequested = false;
    m_timedOut = false;
    m_reportedResponse = false;
    m_bytesSent = 0;
    m_bytesReceived = 0;
    // A cancel from inside this callback is posted and aborts the reply made just below.
    deliver([this](RKRequestDelegate *delegate) { delegate->requestDidStartLoad(*this); });
    startReply();
}

std::optional<PlatformError> RKRequest::checkURL(const QUrl &url) const
{
    if (!url.isValid() || url.scheme().isEmpty())
        return urlLoadingError(NSURLErrorBadURL, m_urlString);
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return urlLoadingError(NSURLErrorUnsupportedURL, m_urlString);
    if (url.host().isEmpty())
        return urlLoadingError(NSURLErrorBadURL, m_urlString);
    return std::nullopt;
}

// The request as it goes on the wire: a GET carries its form parameters in the query instead of a
// body; the request's headers win over the client's.
HttpExchange::Request RKRequest::wireRequest(QUrl url) const
{
    const std::lock_guard lock(m_configMutex);
    if (m_method == RKRequestMethod::GET && !m_params.isEmpty() && url.isValid()) {
        const QByteArray query = formEncode(m_params);
        url.setQuery(url.hasQuery() ? url.query(QUrl::FullyEncoded) + u'&' + QString::fromLatin1(query)
                                    : QString::fromLatin1(query),
                     QUrl::StrictMode);
    }
    HttpExchange::Request wire;
    wire.url = url;
    wire.verb = verbOf(m_method);
    wire.maxResponseBytes = m_maxResponseBytes;
    wire.caFile = m_caFile;
    QList<RKResponse::Header> headers = m_clientHeaders;
    for (const RKResponse::Header &header : m_headers)
        setHeaderValue(headers, header.first, header.second);
    if (m_method != RKRequestMethod::GET) {
        wire.body = m_body;
        bool hasType = false;
        for (const RKResponse::Header &header : headers)
            hasType = hasType || header.first.compare("Content-Type", Qt::CaseInsensitive) == 0;
        if (!hasType && !m_contentType.isEmpty())
            headers.append({QByteArrayLiteral("Content-Type"), m_contentType});
    }
    wire.headers = headers;
    return wire;
}

void RKRequest::startReply()
{
    const QUrl url(m_urlString, QUrl::StrictMode);
    const HttpExchange::Request wire = wireRequest(url);
    if (const std::optional<PlatformError> problem = checkURL(wire.url)) {
        endWith(State::Failed, std::nullopt, problem, false);
        return;
    }
    const double timeoutSeconds = timeoutInterval();
    auto *exchange = new HttpExchange(wire, &RKNetworkThread::context());
    m_exchange = exchange;
    const std::shared_ptr<RKRequest> self = shared_from_this();
    QObject::connect(exchange, &HttpExchange::uploadProgress, exchange, [self](qint64 sent, qint64 total) {
        if (sent <= self->m_bytesSent || total <= 0)
            return;
        const qint64 chunk = sent - self->m_bytesSent;
        self->m_bytesSent = sent;
        self->deliver(
            [&](RKRequestDelegate *delegate) { delegate->requestDidSendBodyData(*self, chunk, sent, total); });
    });
    QObject::connect(exchange, &HttpExchange::headersReceived, exchange, [self, exchange] {
        const RKResponse head(exchange->statusCode(), exchange->headers(), {}, self);
        self->deliver([&](RKRequestDelegate *delegate) { delegate->requestDidReceiveResponse(*self, head); });
    });
    QObject::connect(exchange, &HttpExchange::downloadProgress, exchange, [self](qint64 received, qint64 total) {
        if (received <= self->m_bytesReceived)
            return;
        const qint64 chunk = received - self->m_bytesReceived;
        self->m_bytesReceived = received;
        self->deliver(
            [&](RKRequestDelegate *delegate) { delegate->requestDidReceiveData(*self, chunk, received, total); });
    });
    QObject::connect(exchange, &HttpExchange::finished, exchange, [self, exchange] { self->finishReply(exchange); });
    if (timeoutSeconds > 0)
        startTimeoutTimer(*exchange, timeoutSeconds);
    exchange->start();
}

void RKRequest::startTimeoutTimer(HttpExchange &exchange, double timeoutSeconds)
{
    auto *timer = new QTimer(&exchange);
    timer->setSingleShot(true);
    const double milliseconds = qMin(timeoutSeconds * 1000.0, double(std::numeric_limits<int>::max()));
    timer->setInterval(qMax(1, int(milliseconds)));
    const std::shared_ptr<RKRequest> self = shared_from_this();
    HttpExchange *const target = &exchange;
    QObject::connect(timer, &QTimer::timeout, target, [self, target] {
        if (target->isFinished())
            return;
        self->m_timedOut = true;
        target->abort();
    });
    timer->start();
}

void RKRequest::finishReply(HttpExchange *exchange)
{
    exchange->deleteLater();
    m_exchange = nullptr;
    if (m_cancelRequested) {
        endWith(State::Cancelled, std::nullopt, std::nullopt, false);
        return;
    }
    if (m_timedOut) {
        endWith(State::Failed, std::nullopt, requestTimeoutError(m_urlString), true);
        return;
    }
    if (exchange->errorCode() != 0) {
        endWith(State::Failed, std::nullopt, urlLoadingError(exchange->errorCode(), m_urlString), false);
        return;
    }
    endWith(State::Loaded, RKResponse(exchange->statusCode(), exchange->headers(), exchange->body(), weak_from_this()),
            std::nullopt, false);
}

void RKRequest::endWith(State state, const std::optional<RKResponse> &response,
                        const std::optional<PlatformError> &error, bool timedOut)
{
    m_state.store(state);
    if (state == State::Loaded) {
        deliver([&](RKRequestDelegate *delegate) { delegate->requestDidLoadResponse(*this, *response); });
        const std::lock_guard lock(m_callbackMutex);
        if (!m_abandoned && m_onDidLoadResponse)
            m_onDidLoadResponse(*response);
    } else if (state == State::Failed) {
        if (timedOut)
            deliver([&](RKRequestDelegate *delegate) { delegate->requestDidTimeout(*this); });
        deliver([&](RKRequestDelegate *delegate) { delegate->requestDidFailLoadWithError(*this, *error); });
        const std::lock_guard lock(m_callbackMutex);
        if (!m_abandoned && m_onDidFailLoadWithError)
            m_onDidFailLoadWithError(*error);
    } else {
        deliver([&](RKRequestDelegate *delegate) { delegate->requestDidCancelLoad(*this); });
    }

    std::shared_ptr<SyncWaiter> waiter;
    {
        const std::lock_guard lock(m_configMutex);
        waiter.swap(m_syncWaiter);
    }
    if (waiter) {
        const std::lock_guard lock(waiter->mutex);
        if (state == State::Loaded)
            waiter->outcome = RKRequestOutcome::loaded(*response);
        else if (state == State::Failed)
            waiter->outcome = RKRequestOutcome::failed(*error);
        else
            waiter->outcome = RKRequestOutcome::cancelled();
        waiter->ended.notify_all();
    }
    // Only now may the next request of the queue start, after every callback of this one.
    m_queue->requestEnded(this);
}

void RKRequest::deliver(const std::function<void(RKRequestDelegate *)> &call)
{
    const std::lock_guard lock(m_callbackMutex);
    if (!m_abandoned && m_delegate != nullptr)
        call(m_delegate);
}

} // namespace platform
