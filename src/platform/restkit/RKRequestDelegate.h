#pragma once

#include "platform/foundation/PlatformError.h"
#include "platform/restkit/RKResponse.h"

namespace platform {

class RKRequest;

// What a request tells its delegate while it loads. Every operation has an empty default body.
// Every call arrives on the framework's own thread (RKNetworkThread), never on the thread or queue
// that sent the request; a delegate that keeps state on a queue of its own hops back onto it.
// For one request the calls come in this order: requestDidStartLoad, any number of
// requestDidSendBodyData, requestDidReceiveResponse, any number of requestDidReceiveData, then exactly
// one ending: requestDidLoadResponse, or requestDidTimeout followed by requestDidFailLoadWithError,
// or requestDidFailLoadWithError alone, or requestDidCancelLoad (which may also end a request that
// never started).
class RKRequestDelegate
{
public:
    virtual ~RKRequestDelegate() = default;

    virtual void requestDidStartLoad(RKRequest &request) { (void)request; }
    virtual void requestDidSendBodyData(RKRequest &request, qint64 bytesWritten, qint64 totalBytesWritten,
                                        qint64 totalBytesExpectedToWrite)
    {
        (void)request, (void)bytesWritten, (void)totalBytesWritten, (void)totalBytesExpectedToWrite;
    }
    // The status line and headers have arrived; the response's body is still empty.
    virtual void requestDidReceiveResponse(RKRequest &request, const RKResponse &response)
    {
        (void)request, (void)response;
    }
    // totalBytesExpectedToReceive is -1 when the server did not announce a length.
    virtual void requestDidReceiveData(RKRequest &request, qint64 bytesReceived, qint64 totalBytesReceived,
                                       qint64 totalBytesExpectedToReceive)
    {
        (void)request, (void)bytesReceived, (void)totalBytesReceived, (void)totalBytesExpectedToReceive;
    }
    // The whole response, whatever its status code.
    virtual void requestDidLoadResponse(RKRequest &request, const RKResponse &response)
    {
        (void)request, (void)response;
    }
    // The framework's own time-out ran out; requestDidFailLoadWithError follows with RKErrorDomain code 5.
    virtual void requestDidTimeout(RKRequest &request) { (void)request; }
    virtual void requestDidFailLoadWithError(RKRequest &request, const PlatformError &error)
    {
        (void)request, (void)error;
    }
    // The request was cancelled, waiting or loading. A cancel is never reported as a failure.
    virtual void requestDidCancelLoad(RKRequest &request) { (void)request; }
};

} // namespace platform
