#include "push/XMPP/Utilities/NSNumber+XMPP.h"

#include <QtEndian>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Runs the C library's reading over the text and answers the value and whether it overflowed.
template <typename Value, typename Reader>
std::pair<Value, bool> readDecimal(const QString &str, Reader reader)
{
    const QByteArray utf8 = str.toUtf8();
    errno = 0;
    const Value value = reader(utf8.constData(), nullptr, 10);
    return {value, errno == 0};
}

template <typename Value>
bool readWithoutClamp(const QString &str, Value *pNum, Value (*reader)(const char *, char **, int))
{
    if (str.isNull()) {
        *pNum = 0;
        return false;
    }
    const auto [value, isExact] = readDecimal<Value>(str, reader);
    *pNum = value;
    return isExact;
}

// Reads the byte-sized value at the offset, when the data holds it.
template <typename Value>
Value extractValue(const QByteArray &data, quint32 offset, bool convertFromNetworkOrder)
{
    if (quint64(data.size()) < quint64(offset) + sizeof(Value))
        return 0;
    Value value = 0;
    std::memcpy(&value, data.constData() + offset, sizeof(Value));
    value = qFromLittleEndian(value);
    return convertFromNetworkOrder ? qbswap(value) : value;
}

} // namespace

QVariant numberWithPtr(const void *pointer)
{
    return QVariant::fromValue(qint64(reinterpret_cast<quintptr>(pointer)));
}

bool parseStringIntoInt32(const QString &str, qint32 *pNum)
{
    if (str.isNull()) {
        *pNum = 0;
        return false;
    }
    const auto [value, isExact] = readDecimal<long>(str, std::strtol);
    if (value > std::numeric_limits<qint32>::max()) {
        *pNum = std::numeric_limits<qint32>::max();
        return false;
    }
    if (value < std::numeric_limits<qint32>::min()) {
        *pNum = std::numeric_limits<qint32>::min();
        return false;
    }
    *pNum = qint32(value);
    return isExact;
}

bool parseStringIntoUInt32(const QString &str, quint32 *pNum)
{
    if (str.isNull()) {
        *pNum = 0;
        return false;
    }
    const auto [value, isExact] = readDecimal<unsigned long>(str, std::strtoul);
    if (value > std::numeric_limits<quint32>::max()) {
        *pNum = std::numeric_limits<quint32>::max();
        return false;
    }
    *pNum = quint32(value);
    return isExact;
}

bool parseStringIntoInt64(const QString &str, qint64 *pNum)
{
    long long value = 0;
    const bool isExact = readWithoutClamp<long long>(str, &value, std::strtoll);
    *pNum = value;
    return isExact;
}

bool parseStringIntoUInt64(const QString &str, quint64 *pNum)
{
    unsigned long long value = 0;
    const bool isExact = readWithoutClamp<unsigned long long>(str, &value, std::strtoull);
    *pNum = value;
    return isExact;
}

bool parseStringIntoNSInteger(const QString &str, qint64 *pNum)
{
    return parseStringIntoInt64(str, pNum);
}

bool parseStringIntoNSUInteger(const QString &str, quint64 *pNum)
{
    return parseStringIntoUInt64(str, pNum);
}

quint8 extractUInt8FromData(const QByteArray &data, quint32 offset)
{
    return extractValue<quint8>(data, offset, false);
}

quint16 extractUInt16FromData(const QByteArray &data, quint32 offset, bool convertFromNetworkOrder)
{
    return extractValue<quint16>(data, offset, convertFromNetworkOrder);
}

quint32 extractUInt32FromData(const QByteArray &data, quint32 offset, bool convertFromNetworkOrder)
{
    return extractValue<quint32>(data, offset, convertFromNetworkOrder);
}
