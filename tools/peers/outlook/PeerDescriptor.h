#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace outlookpeer {

using Code = quint32;

constexpr Code code(const char (&text)[5])
{
    return (quint32(quint8(text[0])) << 24) | (quint32(quint8(text[1])) << 16) | (quint32(quint8(text[2])) << 8)
        | quint32(quint8(text[3]));
}

// An Apple-event descriptor as the peer writes and reads it on the wire (see README.md): atomic,
// list, keyed or event, or nil.
struct Descriptor
{
    char kind = 'N'; // 'N' nil, 'A' atomic, 'L' list, 'K' keyed, 'E' event
    Code type = 0;
    QByteArray data;
    std::vector<Descriptor> items;
    std::vector<Code> keys;
    Code eventClass = 0;
    Code eventID = 0;
    qint32 returnID = 0;
    qint32 transactionID = 0;
    std::vector<Descriptor> target; // events: one item

    static Descriptor text(const QString &value);
    static Descriptor integer(qint32 value);
    // A long date-time: whole seconds since 1904-01-01 00:00 UTC.
    static Descriptor date(const QDateTime &value);
    static Descriptor list();
    static Descriptor record();
    static Descriptor null();
    static Descriptor typeCode(Code value);
    static Descriptor objectSpecifier(Code desiredClass, qint32 id);

    void append(const Descriptor &item) { items.push_back(item); }
    void set(Code keyword, const Descriptor &item);
    const Descriptor *find(Code keyword) const;
    // Text of 'utxt' or 'utf8' descriptors; a null QString otherwise.
    QString textValue() const;
};

constexpr quint32 kMaxFrameBytes = 64u * 1024 * 1024;

QByteArray encode(const Descriptor &descriptor);
// The wire form of a list of integers ('long') or of long date-times from seconds since 1970, written
// straight from the values: the listings of thousands of records need no tree.
QByteArray encodeIntegerList(const QList<qint64> &values);
QByteArray encodeDateList(const QList<qint64> &secondsSince1970);
// Reads one descriptor filling the bytes; false for anything malformed (depth at most 64).
bool decode(const QByteArray &bytes, Descriptor &descriptor);

QByteArray frame(const QByteArray &payload);
QByteArray descriptorReply(const Descriptor &descriptor);
QByteArray errorReply(int number, const QString &message);

} // namespace outlookpeer
