#pragma once

// What the files of GCDAsyncSocket share and nothing else includes: its state and configuration bits.

#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"

#include <cstdint>

namespace tcpsocket {

// The socket's state (m_flags); 0 when idle.
enum : std::uint32_t {
    kSocketStarted = 1 << 0,
    kConnected = 1 << 1,
    kForbidReadsWrites = 1 << 2,
    kReadsPaused = 1 << 3,
    kWritesPaused = 1 << 4,
    kDisconnectAfterReads = 1 << 5,
    kDisconnectAfterWrites = 1 << 6,
    kSocketCanAcceptBytes = 1 << 7,
    kReadSourceSuspended = 1 << 8,
    kWriteSourceSuspended = 1 << 9,
    kQueuedTLS = 1 << 10,
    kStartingReadTLS = 1 << 11,
    kStartingWriteTLS = 1 << 12,
    kSocketSecure = 1 << 13,
    kSocketHasReadEOF = 1 << 14,
    kReadStreamClosed = 1 << 15,
};

// The configuration (m_config), kept across connections, besides the family bits of AsyncSocketBase.
enum : std::uint16_t {
    kPreferIPv6 = 1 << 2,
    kAllowHalfDuplexConnection = 1 << 3,
};

} // namespace tcpsocket
