#pragma once

#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/applescript/NSAppleScriptError.h"
#include "platform/foundation/Result.h"

#include <QByteArray>

#include <optional>
#include <variant>

namespace platform {

// The wire between the script runners and the application they address, over a Unix stream socket.
// Every message is a frame: a 32-bit big-endian length, then that many bytes of payload. A request's
// payload is one byte of kind, then: 'S' the script's source in UTF-8; 'E' an Apple event (a
// descriptor). A reply's payload is 'D' and a descriptor, or 'R' and an error: a 32-bit big-endian
// number, then the message and the brief message, each a 32-bit length and UTF-8 bytes.
//
// A descriptor is one byte of kind and its 32-bit type, then: 'A' atomic, a 32-bit length and the
// data; 'L' list, a 32-bit count and the items; 'K' keyed, a 32-bit count and, per item, a 32-bit
// keyword and the item; 'E' event, its class, ID, return ID, transaction ID (32 bits each), target
// descriptor, then the parameters as 'K'; 'N' nil, nothing more. All integers of the layout are
// big-endian; an atomic descriptor's data travels as it is (numbers in the machine's byte order, as
// the platform keeps them; both ends run on the same machine).
namespace AppleEventWire {

constexpr quint32 kMaxFrameBytes = 64u * 1024 * 1024;
constexpr int kMaxDepth = 64;

constexpr char kRequestScript = 'S';
constexpr char kRequestEvent = 'E';
constexpr char kReplyDescriptor = 'D';
constexpr char kReplyError = 'R';

QByteArray frame(const QByteArray &payload);
// The payload length the 4-byte header announces; an error when it passes the cap.
Result<quint32> payloadLength(const QByteArray &header);

QByteArray encodeDescriptor(const NSAppleEventDescriptor &descriptor);
// Reads exactly one descriptor filling the bytes; depth, counts and lengths are checked.
Result<NSAppleEventDescriptor> decodeDescriptor(const QByteArray &bytes);

QByteArray scriptRequest(const QString &source);
QByteArray eventRequest(const NSAppleEventDescriptor &event);

using Reply = std::variant<NSAppleEventDescriptor, NSAppleScriptError>;
QByteArray descriptorReply(const NSAppleEventDescriptor &descriptor);
QByteArray errorReply(const NSAppleScriptError &error);
Result<Reply> decodeReply(const QByteArray &payload);

// What a descriptor reply's first bytes tell before the rest is read: the descriptor's kind and type,
// its data length (atomic) or item count (list), and for an atomic one its first data bytes. Nothing
// for an error reply, a shorter head, or an atomic descriptor whose length does not fill the payload.
constexpr qsizetype kReplyHeadBytes = 12;
struct ReplyHead
{
    NSAppleEventDescriptor::Kind kind = NSAppleEventDescriptor::Kind::Nil;
    DescType type = 0;
    quint32 size = 0;
    QByteArrayView data;
};
std::optional<ReplyHead> replyHead(quint32 payloadLength, QByteArrayView head);

} // namespace AppleEventWire

} // namespace platform
