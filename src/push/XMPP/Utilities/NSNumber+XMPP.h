#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// Number reading and byte extraction for the XMPP code. Stateless; any thread may call them.

// A number holding the pointer's value as a signed long.
QVariant numberWithPtr(const void *pointer);

// Reads the text's UTF-8 form in base 10 as the C library does (leading white space, an optional sign,
// digits; reading stops at the first other character). A null text stores 0 and answers false. The
// 32-bit forms clamp a value beyond their range to its limit and answer false; every form answers false
// when the reading overflowed, and true otherwise (also when nothing was read: 0 is stored).
bool parseStringIntoInt32(const QString &str, qint32 *pNum);
bool parseStringIntoUInt32(const QString &str, quint32 *pNum);
bool parseStringIntoInt64(const QString &str, qint64 *pNum);
bool parseStringIntoUInt64(const QString &str, quint64 *pNum);
bool parseStringIntoNSInteger(const QString &str, qint64 *pNum);
bool parseStringIntoNSUInteger(const QString &str, quint64 *pNum);

// The value at the offset, read in the machine's (little-endian) order, or byte-swapped when the flag
// asks to convert from network (big-endian) order; 0 when the data is too short.
quint8 extractUInt8FromData(const QByteArray &data, quint32 offset);
quint16 extractUInt16FromData(const QByteArray &data, quint32 offset, bool convertFromNetworkOrder);
quint32 extractUInt32FromData(const QByteArray &data, quint32 offset, bool convertFromNetworkOrder);
