#include "platform/applescript/AppleEventWire.h"

#include <QtEndian>

namespace platform {
namespace AppleEventWire {

namespace {

using Kind = NSAppleEventDescriptor::Kind;

// The smallest encoded descriptor (a nil) takes 5 bytes; counts are checked against it so that a
// claimed count never makes us reserve more than the bytes present could fill.
constexpr qsizetype kMinEncodedDescriptor = 5;

void appendUInt32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void appendText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    appendUInt32(out, quint32(utf8.size()));
    out.append(utf8);
}

void encodeInto(QByteArray &out, const NSAppleEventDescriptor &descriptor);

void encodeKeyedItems(QByteArray &out, const NSAppleEventDescriptor &descriptor)
{
    appendUInt32(out, quint32(descriptor.numberOfItems()));
    for (qint64 i = 1; i <= descriptor.numberOfItems(); ++i) {
        appendUInt32(out, descriptor.keywordForDescriptorAtIndex(i));
        encodeInto(out, descriptor.descriptorAtIndex(i));
    }
}

void encodeInto(QByteArray &out, const NSAppleEventDescriptor &descriptor)
{
    static const char kinds[] = {'N', 'A', 'L', 'K', 'E'};
    out.append(kinds[int(descriptor.kind())]);
    appendUInt32(out, descriptor.descriptorType());
    switch (descriptor.kind()) {
    case Kind::Nil:
        return;
    case Kind::Atomic:
        appendUInt32(out, quint32(descriptor.data().size()));
        out.append(descriptor.data());
        return;
    case Kind::List:
        appendUInt32(out, quint32(descriptor.numberOfItems()));
        for (qint64 i = 1; i <= descriptor.numberOfItems(); ++i)
            encodeInto(out, descriptor.descriptorAtIndex(i));
        return;
    case Kind::Keyed:
        encodeKeyedItems(out, descriptor);
        return;
    case Kind::Event:
        appendUInt32(out, descriptor.eventClass());
        appendUInt32(out, descriptor.eventID());
        appendUInt32(out, quint32(qint32(descriptor.returnID())));
        appendUInt32(out, quint32(descriptor.transactionID()));
        encodeInto(out, descriptor.target());
        encodeKeyedItems(out, descriptor);
        return;
    }
}

// Reads the layout above from a byte range, every length checked against what remains.
class Reader final
{
public:
    explicit Reader(QByteArrayView bytes) : m_bytes(bytes) {}

    qsizetype remaining() const { return m_bytes.size() - m_position; }

    Result<quint32> readUInt32()
    {
        if (remaining() < 4)
            return truncated(QStringLiteral("a 32-bit field"));
        const quint32 value = qFromBigEndian<quint32>(m_bytes.constData() + m_position);
        m_position += 4;
        return value;
    }

    Result<QByteArray> readBytes(quint32 length, const QString &what)
    {
        if (qsizetype(length) > remaining())
            return truncated(QStringLiteral("%1 of %2 bytes").arg(what).arg(length));
        const QByteArray bytes = m_bytes.sliced(m_position, qsizetype(length)).toByteArray();
        m_position += qsizetype(length);
        return bytes;
    }

    Result<QString> readText(const QString &what)
    {
        const Result<quint32> length = readUInt32();
        if (!length)
            return length.error();
        const Result<QByteArray> bytes = readBytes(*length, what);
        if (!bytes)
            return bytes.error();
        return QString::fromUtf8(*bytes);
    }

    Result<NSAppleEventDescriptor> readDescriptor(int depth)
    {
        NSAppleEventDescriptor descriptor;
        if (const Status read = readInto(descriptor, depth); !read)
            return read.error();
        return descriptor;
    }
    // Reads one descriptor into `out`, in place, so that long lists cost no copies.
    Status readInto(NSAppleEventDescriptor &out, int depth);

private:
    Error truncated(const QString &what) const
    {
        return Error(ErrorCode::DataTruncated,
                     QStringLiteral("Apple-event reply ends at byte %1 inside %2").arg(m_position).arg(what));
    }

    Result<quint32> readCount()
    {
        const Result<quint32> count = readUInt32();
        if (count && qsizetype(*count) > remaining() / kMinEncodedDescriptor)
            return Error(ErrorCode::DataMalformed,
                         QStringLiteral("Apple-event reply claims %1 items in %2 bytes").arg(*count).arg(remaining()));
        return count;
    }

    Status readItems(NSAppleEventDescriptor &container, int depth, bool keyed);

    // The common item of a long list (a number, a date, a code), read without the checked path:
    // false, having read nothing, for anything else or anything short, which readInto then reads.
    bool readSmallAtomic(NSAppleEventDescriptor &out)
    {
        constexpr qsizetype kHeader = 9;
        if (remaining() < kHeader || m_bytes[m_position] != 'A')
            return false;
        const char *at = m_bytes.data() + m_position;
        const quint32 length = qFromBigEndian<quint32>(at + 5);
        if (length > 8 || qsizetype(length) > remaining() - kHeader)
            return false;
        out.setAtomic(qFromBigEndian<quint32>(at + 1), QByteArrayView(at + kHeader, qsizetype(length)));
        m_position += kHeader + qsizetype(length);
        return true;
    }
    Status readEventHeader(NSAppleEventDescriptor &event, int depth);

    QByteArrayView m_bytes;
    qsizetype m_position = 0;
};

Status Reader::readItems(NSAppleEventDescriptor &container, int depth, bool keyed)
{
    const Result<quint32> count = readCount();
    if (!count)
        return count.error();
    if (!keyed) {
        // Filled in place: bounded by the bytes left, see readCount.
        const bool itemsMayNest = depth + 1 <= kMaxDepth; // else readInto reports the depth
        for (NSAppleEventDescriptor &item : container.appendItems(*count)) {
            if (itemsMayNest && readSmallAtomic(item))
                continue;
            if (const Status read = readInto(item, depth + 1); !read)
                return read.error();
        }
        return Done();
    }
    for (quint32 i = 0; i < *count; ++i) {
        const Result<quint32> keyword = readUInt32();
        if (!keyword)
            return keyword.error();
        const Result<NSAppleEventDescriptor> item = readDescriptor(depth + 1);
        if (!item)
            return item.error();
        container.setDescriptor(*item, *keyword);
    }
    return Done();
}

Status Reader::readEventHeader(NSAppleEventDescriptor &event, int depth)
{
    quint32 fields[4];
    for (quint32 &field : fields) {
        const Result<quint32> value = readUInt32();
        if (!value)
            return value.error();
        field = *value;
    }
    const Result<NSAppleEventDescriptor> target = readDescriptor(depth + 1);
    if (!target)
        return target.error();
    event.setEventAttributes(fields[0], fields[1], qint16(qint32(fields[2])), qint32(fields[3]), *target);
    return Done();
}

Status Reader::readInto(NSAppleEventDescriptor &out, int depth)
{
    if (depth > kMaxDepth)
        return Error(ErrorCode::DataMalformed, QStringLiteral("Apple-event reply nests deeper than %1").arg(kMaxDepth));
    if (remaining() < 1)
        return truncated(QStringLiteral("a descriptor's kind"));
    const char kindByte = m_bytes.at(m_position++);
    const Result<quint32> type = readUInt32();
    if (!type)
        return type.error();
    switch (kindByte) {
    case 'N':
        out = NSAppleEventDescriptor();
        return Done();
    case 'A': {
        const Result<quint32> length = readUInt32();
        if (!length)
            return length.error();
        if (qsizetype(*length) > remaining())
            return truncated(QStringLiteral("a descriptor's data of %1 bytes").arg(*length));
        out.setAtomic(*type, QByteArrayView(m_bytes.constData() + m_position, qsizetype(*length)));
        m_position += qsizetype(*length);
        return Done();
    }
    case 'L':
    case 'K':
    case 'E': {
        const Kind kind = kindByte == 'L' ? Kind::List : (kindByte == 'K' ? Kind::Keyed : Kind::Event);
        out = NSAppleEventDescriptor::make(kind, *type);
        if (kind == Kind::Event) {
            if (const Status header = readEventHeader(out, depth); !header)
                return header.error();
        }
        return readItems(out, depth, kind != Kind::List);
    }
    default:
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("Apple-event reply has a descriptor of unknown kind 0x%1")
                         .arg(quint8(kindByte), 2, 16, QChar(u'0')));
    }
}

} // namespace

QByteArray frame(const QByteArray &payload)
{
    QByteArray out;
    out.reserve(payload.size() + 4);
    appendUInt32(out, quint32(payload.size()));
    out.append(payload);
    return out;
}

std::optional<ReplyHead> replyHead(quint32 payloadLength, QByteArrayView head)
{
    constexpr qsizetype kFixed = 10; // reply kind, descriptor kind, type, length or count
    if (head.size() < kFixed || head.at(0) != kReplyDescriptor || (head.at(1) != 'A' && head.at(1) != 'L'))
        return std::nullopt;
    ReplyHead read;
    read.kind = head.at(1) == 'A' ? NSAppleEventDescriptor::Kind::Atomic : NSAppleEventDescriptor::Kind::List;
    read.type = qFromBigEndian<quint32>(head.constData() + 2);
    read.size = qFromBigEndian<quint32>(head.constData() + 6);
    if (read.kind == NSAppleEventDescriptor::Kind::Atomic) {
        if (quint64(read.size) + kFixed != payloadLength)
            return std::nullopt;
        read.data = head.sliced(kFixed);
    }
    return read;
}

Result<quint32> payloadLength(const QByteArray &header)
{
    if (header.size() != 4)
        return Error(ErrorCode::DataTruncated, QStringLiteral("frame header of %1 bytes").arg(header.size()));
    const quint32 length = qFromBigEndian<quint32>(header.constData());
    if (length > kMaxFrameBytes)
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("frame of %1 bytes exceeds the limit of %2").arg(length).arg(kMaxFrameBytes));
    return length;
}

QByteArray encodeDescriptor(const NSAppleEventDescriptor &descriptor)
{
    QByteArray out;
    encodeInto(out, descriptor);
    return out;
}

namespace {

Result<NSAppleEventDescriptor> decodeDescriptorView(QByteArrayView bytes)
{
    Reader reader(bytes);
    Result<NSAppleEventDescriptor> descriptor = reader.readDescriptor(0);
    if (descriptor && reader.remaining() != 0)
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("Apple-event reply has %1 bytes after its descriptor").arg(reader.remaining()));
    return descriptor;
}

} // namespace

Result<NSAppleEventDescriptor> decodeDescriptor(const QByteArray &bytes)
{
    return decodeDescriptorView(bytes);
}

QByteArray scriptRequest(const QString &source)
{
    return QByteArray(1, kRequestScript) + source.toUtf8();
}

QByteArray eventRequest(const NSAppleEventDescriptor &event)
{
    return QByteArray(1, kRequestEvent) + encodeDescriptor(event);
}

QByteArray descriptorReply(const NSAppleEventDescriptor &descriptor)
{
    return QByteArray(1, kReplyDescriptor) + encodeDescriptor(descriptor);
}

QByteArray errorReply(const NSAppleScriptError &error)
{
    QByteArray out(1, kReplyError);
    appendUInt32(out, quint32(qint32(error.number)));
    appendText(out, error.message);
    appendText(out, error.briefMessage);
    return out;
}

Result<Reply> decodeReply(const QByteArray &payload)
{
    if (payload.isEmpty())
        return Error(ErrorCode::DataTruncated, QStringLiteral("Apple-event reply is empty"));
    // Read in place: a long reply is not copied.
    const QByteArrayView body = QByteArrayView(payload).sliced(1);
    if (payload.at(0) == kReplyDescriptor) {
        Result<NSAppleEventDescriptor> descriptor = decodeDescriptorView(body);
        if (!descriptor)
            return descriptor.error();
        return Reply(std::move(descriptor).value());
    }
    if (payload.at(0) != kReplyError)
        return Error(ErrorCode::DataMalformed, QStringLiteral("Apple-event reply of unknown kind"));
    Reader reader(body);
    const Result<quint32> number = reader.readUInt32();
    if (!number)
        return number.error();
    NSAppleScriptError error;
    error.number = qint32(*number);
    Result<QString> message = reader.readText(QStringLiteral("the error message"));
    if (!message)
        return message.error();
    Result<QString> brief = reader.readText(QStringLiteral("the brief error message"));
    if (!brief)
        return brief.error();
    error.message = *message;
    error.briefMessage = *brief;
    return Reply(error);
}

} // namespace AppleEventWire
} // namespace platform
