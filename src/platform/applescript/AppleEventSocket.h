#pragma once

#include "platform/applescript/AppleEventWire.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace platform {

// How long a script runner waits for the application's reply before reporting -1712.
constexpr std::chrono::seconds kAppleEventTimeout{120};

// The local socket over which an application takes scripts and Apple events. Each application listens
// on a Unix stream socket in "<runtime location>/apple-events" (a folder only its owner may enter),
// named after the reference scripts use for it (a name or a bundle path), percent-encoded, with
// ".sock" appended; a name too long for a socket address is "ref-" and the first 32 hex digits of
// the reference's SHA-256 instead. An exchange is a request frame, then a reply frame; a connection
// whose exchange ended with a whole reply is kept for the next exchange with the same application
// (a few per application), so the application answers frame after frame until the client closes.
// Callable from any thread, blocking only the caller.
class AppleEventSocket final
{
public:
    static QString socketFolder();
    static QString socketPathForReference(const QString &reference);

    // Sends the request payload to the application and returns its reply. Failures of the exchange
    // come back as the bridge's own errors: -10814 for a bundle path whose bundle folder does not
    // exist (under FileSystem::systemRootPath), -600 when nothing listens, -609 when the connection breaks, -1712 when no reply arrives before the
    // timeout (measured by platform::Clock, so tests can move time), -1702 for an unreadable reply.
    //
    // `requestAhead`, when given, is shown the reply's payload length and its first bytes (at most
    // AppleEventWire::kReplyHeadBytes) as soon as they are in. When it answers the request the caller
    // will make next, that request is sent at once on the same connection, so the application finds
    // it waiting while this reply is read and decoded; the next exchange with the very same request
    // bytes then only reads its reply. One request at most is ever ahead; a connection holding one is
    // used by no other request and is closed when the exchange fails.
    using RequestAhead = std::function<std::optional<QByteArray>(quint32 replyLength, QByteArrayView replyHead)>;
    static AppleEventWire::Reply exchange(const QString &reference, const QByteArray &requestPayload,
                                          std::chrono::seconds timeout = kAppleEventTimeout,
                                          const RequestAhead &requestAhead = {});

    // The application's name for error messages: the bundle's name without ".app" for a path.
    static QString applicationName(const QString &reference);
};

} // namespace platform
