#include "PeerDescriptor.h"

#include <QtEndian>

#include <cstring>

namespace outlookpeer {

namespace {

constexpr qint64 kSeconds1904To1970 = 2082844800;
constexpr int kMaxDepth = 64;

void putUInt32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

template <typename T>
QByteArray rawBytes(T value)
{
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof(T));
}

void encodeInto(QByteArray &out, const Descriptor &descriptor)
{
    out.append(descriptor.kind);
    putUInt32(out, descriptor.type);
    if (descriptor.kind == 'N')
        return;
    if (descriptor.kind == 'A') {
        putUInt32(out, quint32(descriptor.data.size()));
        out.append(descriptor.data);
        return;
    }
    if (descriptor.kind == 'E') {
        putUInt32(out, descriptor.eventClass);
        putUInt32(out, descriptor.eventID);
        putUInt32(out, quint32(descriptor.returnID));
        putUInt32(out, quint32(descriptor.transactionID));
        encodeInto(out, descriptor.target.empty() ? Descriptor() : descriptor.target.front());
    }
    putUInt32(out, quint32(descriptor.items.size()));
    for (size_t i = 0; i < descriptor.items.size(); ++i) {
        if (descriptor.kind != 'L')
            putUInt32(out, descriptor.keys[i]);
        encodeInto(out, descriptor.items[i]);
    }
}

class Reader final
{
public:
    explicit Reader(const QByteArray &bytes) : m_bytes(bytes) {}
    bool atEnd() const { return m_position == m_bytes.size(); }

    bool readUInt32(quint32 &value)
    {
        if (m_bytes.size() - m_position < 4)
            return false;
        value = qFromBigEndian<quint32>(m_bytes.constData() + m_position);
        m_position += 4;
        return true;
    }

    bool read(Descriptor &out, int depth)
    {
        if (depth > kMaxDepth || m_position >= m_bytes.size())
            return false;
        out.kind = m_bytes.at(m_position++);
        if (!readUInt32(out.type))
            return false;
        switch (out.kind) {
        case 'N':
            return true;
        case 'A':
            return readData(out);
        case 'E':
            return readEvent(out, depth) && readItems(out, depth);
        case 'L':
        case 'K':
            return readItems(out, depth);
        default:
            return false;
        }
    }

private:
    bool readData(Descriptor &out)
    {
        quint32 length = 0;
        if (!readUInt32(length) || qsizetype(length) > m_bytes.size() - m_position)
            return false;
        out.data = m_bytes.mid(m_position, qsizetype(length));
        m_position += qsizetype(length);
        return true;
    }

    bool readEvent(Descriptor &out, int depth)
    {
        quint32 returnID = 0;
        quint32 transactionID = 0;
        if (!readUInt32(out.eventClass) || !readUInt32(out.eventID) || !readUInt32(returnID) || !readUInt32(transactionID))
            return false;
        out.returnID = qint32(returnID);
        out.transactionID = qint32(transactionID);
        out.target.resize(1);
        return read(out.target.front(), depth + 1);
    }

    bool readItems(Descriptor &out, int depth)
    {
        quint32 count = 0;
        // Every item takes at least 5 bytes: a claimed count beyond that is a lie.
        if (!readUInt32(count) || qsizetype(count) > (m_bytes.size() - m_position) / 5)
            return false;
        for (quint32 i = 0; i < count; ++i) {
            quint32 keyword = 0;
            if (out.kind != 'L' && !readUInt32(keyword))
                return false;
            Descriptor item;
            if (!read(item, depth + 1))
                return false;
            out.items.push_back(std::move(item));
            if (out.kind != 'L')
                out.keys.push_back(keyword);
        }
        return true;
    }

    const QByteArray &m_bytes;
    qsizetype m_position = 0;
};

} // namespace

Descriptor Descriptor::text(const QString &value)
{
    Descriptor descriptor;
    descriptor.kind = 'A';
    descriptor.type = code("utxt");
    descriptor.data = QByteArray(reinterpret_cast<const char *>(value.utf16()), value.size() * 2);
    return descriptor;
}

Descriptor Descriptor::integer(qint32 value)
{
    Descriptor descriptor;
    descriptor.kind = 'A';
    descriptor.type = code("long");
    descriptor.data = rawBytes(value);
    return descriptor;
}

Descriptor Descriptor::date(const QDateTime &value)
{
    Descriptor descriptor;
    descriptor.kind = 'A';
    descriptor.type = code("ldt ");
    descriptor.data = rawBytes(qint64(value.toSecsSinceEpoch() + kSeconds1904To1970));
    return descriptor;
}

Descriptor Descriptor::list()
{
    Descriptor descriptor;
    descriptor.kind = 'L';
    descriptor.type = code("list");
    return descriptor;
}

Descriptor Descriptor::record()
{
    Descriptor descriptor;
    descriptor.kind = 'K';
    descriptor.type = code("reco");
    return descriptor;
}

Descriptor Descriptor::null()
{
    Descriptor descriptor;
    descriptor.kind = 'A';
    descriptor.type = code("null");
    return descriptor;
}

Descriptor Descriptor::typeCode(Code value)
{
    Descriptor descriptor;
    descriptor.kind = 'A';
    descriptor.type = code("type");
    descriptor.data = rawBytes(value);
    return descriptor;
}

Descriptor Descriptor::objectSpecifier(Code desiredClass, qint32 id)
{
    Descriptor specifier;
    specifier.kind = 'K';
    specifier.type = code("obj ");
    const Descriptor want = typeCode(desiredClass);
    Descriptor form;
    form.kind = 'A';
    form.type = code("enum");
    form.data = rawBytes(code("ID  "));
    specifier.set(code("want"), want);
    specifier.set(code("form"), form);
    specifier.set(code("seld"), integer(id));
    specifier.set(code("from"), null());
    return specifier;
}

void Descriptor::set(Code keyword, const Descriptor &item)
{
    keys.push_back(keyword);
    items.push_back(item);
}

const Descriptor *Descriptor::find(Code keyword) const
{
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == keyword)
            return &items[i];
    }
    return nullptr;
}

QString Descriptor::textValue() const
{
    if (kind == 'A' && type == code("utxt")) {
        QString value(data.size() / 2, Qt::Uninitialized);
        std::memcpy(value.data(), data.constData(), size_t(value.size()) * 2);
        return value;
    }
    if (kind == 'A' && type == code("utf8"))
        return QString::fromUtf8(data);
    return QString();
}

namespace {

template <typename T>
QByteArray encodeAtomicList(const QList<qint64> &values, Code type, qint64 offset)
{
    // Written through a pointer into a buffer sized once: thousands of items, no appends.
    constexpr qsizetype kItemBytes = 9 + qsizetype(sizeof(T));
    QByteArray out(9 + values.size() * kItemBytes, Qt::Uninitialized);
    char *at = out.data();
    *at++ = 'L';
    qToBigEndian(code("list"), at);
    qToBigEndian(quint32(values.size()), at + 4);
    at += 8;
    for (qint64 value : values) {
        *at = 'A';
        qToBigEndian(type, at + 1);
        qToBigEndian(quint32(sizeof(T)), at + 5);
        const T data = T(value + offset);
        std::memcpy(at + 9, &data, sizeof(T));
        at += kItemBytes;
    }
    return out;
}

} // namespace

QByteArray encodeIntegerList(const QList<qint64> &values)
{
    return encodeAtomicList<qint32>(values, code("long"), 0);
}

QByteArray encodeDateList(const QList<qint64> &secondsSince1970)
{
    return encodeAtomicList<qint64>(secondsSince1970, code("ldt "), kSeconds1904To1970);
}

QByteArray encode(const Descriptor &descriptor)
{
    QByteArray out;
    encodeInto(out, descriptor);
    return out;
}

bool decode(const QByteArray &bytes, Descriptor &descriptor)
{
    Reader reader(bytes);
    return reader.read(descriptor, 0) && reader.atEnd();
}

QByteArray frame(const QByteArray &payload)
{
    QByteArray out;
    putUInt32(out, quint32(payload.size()));
    return out + payload;
}

QByteArray descriptorReply(const Descriptor &descriptor)
{
    return QByteArray(1, 'D') + encode(descriptor);
}

QByteArray errorReply(int number, const QString &message)
{
    QByteArray out(1, 'R');
    putUInt32(out, quint32(qint32(number)));
    const QByteArray text = message.toUtf8();
    putUInt32(out, quint32(text.size()));
    out.append(text);
    putUInt32(out, quint32(text.size()));
    out.append(text);
    return out;
}

} // namespace outlookpeer
