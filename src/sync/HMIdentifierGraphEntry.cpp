#include "sync/HMIdentifierGraphEntry.h"

#include "platform/foundation/Crc32.h"
#include "platform/foundation/SharedBytes.h"

#include <QDataStream>
#include <QDateTime>
#include <QHash>
#include <QIODevice>
#include <QStringList>
#include <QTimeZone>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>


namespace {

enum class Tag : quint8 {
    Invalid,
    TextUtf8,
    TextUtf16,
    NullText,
    False,
    True,
    Int32,
    Int64,
    UInt32,
    UInt64,
    Double,
    Data,
    NullData,
    DateUtc,
    Generic,
    List,
    Map,
    Hash,
    DateLocal,
    DateUtcZone,
    End
};

// Lists and dictionaries inside an entry nest this deep in packed form; deeper ones are streamed.
constexpr int kMaxNesting = 16;

// Key number 0 stands for a key written out in the entry itself.
constexpr quint32 kInlineKey = 0;
// In place of a key's number: its pair is not packed at once (see Arena::numberInOrder).
constexpr quint32 kOutOfOrder = std::numeric_limits<quint32>::max();
// The data sources use a handful of keys; a graph read from a strange file may hold any number,
// and past this many the table stops growing.
constexpr quint32 kMaxKeys = 1024;

// The process-wide table of key texts. Numbers are handed out under the lock; a text, once stored
// in its slot, never changes, so readers find it through the published count without the lock.
class KeyTable final
{
public:
    KeyTable()
    {
        for (const char *key : {"hmUid", "nativeId", "isUnconfirmedAdd"})
            numberOf(QString::fromLatin1(key));
    }

    quint32 numberOf(const QString &key)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_numbers.constFind(key);
        if (found != m_numbers.constEnd())
            return *found;
        const quint32 number = m_count.load(std::memory_order_relaxed);
        if (number >= kMaxKeys)
            return kInlineKey;
        m_texts[number] = key;
        m_numbers.insert(key, number);
        m_count.store(number + 1, std::memory_order_release);
        return number;
    }

    std::optional<QString> textOf(quint32 number) const
    {
        const QString *text = textAt(number);
        return text ? std::optional<QString>(*text) : std::nullopt;
    }

    // The stored text itself, which never changes once stored; null for a number not handed out.
    const QString *textAt(quint32 number) const
    {
        if (number == kInlineKey || number >= m_count.load(std::memory_order_acquire))
            return nullptr;
        return &m_texts[number];
    }

private:
    std::mutex m_mutex;
    QHash<QString, quint32> m_numbers;
    std::array<QString, kMaxKeys> m_texts;
    // Slot 0 is the inline key's.
    std::atomic<quint32> m_count{1};
};

KeyTable &keyTable()
{
    static KeyTable table;
    return table;
}

constexpr quint32 kHmUidNumber = 1;
constexpr quint32 kNativeIdNumber = 2;
constexpr quint32 kUnconfirmedAddNumber = 3;

quint32 numberOfWellKnown(HMIdentifierGraphEntry::WellKnownKey key)
{
    switch (key) {
    case HMIdentifierGraphEntry::WellKnownKey::HmUid:
        return kHmUidNumber;
    case HMIdentifierGraphEntry::WellKnownKey::NativeId:
        return kNativeIdNumber;
    case HMIdentifierGraphEntry::WellKnownKey::UnconfirmedAdd:
        break;
    }
    return kUnconfirmedAddNumber;
}

// The most bytes a varint of 64 bits takes.
constexpr size_t kMaxVarintBytes = 10;

// Writes the varint into the room given (kMaxVarintBytes at least); answers how many bytes it took.
size_t encodeVarint(char *room, quint64 value)
{
    size_t used = 0;
    while (value >= 0x80) {
        room[used++] = char(quint8(value) | 0x80);
        value >>= 7;
    }
    room[used++] = char(value);
    return used;
}

// Appends by copying into the byte string's room, which grows by doubling. Qt 6.4's append goes
// through its general insert, which costs several times the copy of the few bytes a pair adds, and
// a graph being read appends a few times for every pair of every entry.
void appendBytes(QByteArray &out, const char *bytes, qsizetype count)
{
    if (count == 0)
        return;
    const qsizetype at = out.size();
    if (at + count > out.capacity())
        out.reserve(std::max(at + count, 2 * out.capacity()));
    out.resize(at + count);
    std::memcpy(out.data() + at, bytes, size_t(count));
}

void appendVarint(QByteArray &out, quint64 value)
{
    char room[kMaxVarintBytes];
    appendBytes(out, room, qsizetype(encodeVarint(room, value)));
}

quint64 zigzag(qint64 value)
{
    return (quint64(value) << 1) ^ quint64(value >> 63);
}

qint64 unzigzag(quint64 value)
{
    return qint64(value >> 1) ^ -qint64(value & 1);
}

void appendNumber(QByteArray &out, Tag tag, quint64 number)
{
    char room[1 + kMaxVarintBytes];
    room[0] = char(tag);
    appendBytes(out, room, qsizetype(1 + encodeVarint(room + 1, number)));
}

// Appends the lead (a tag, or nothing), the count of the bytes and the bytes. A short run goes in
// with one append: each append costs more than copying the few bytes a key or an identifier holds.
void appendCountedAfter(QByteArray &out, QByteArrayView lead, QByteArrayView bytes)
{
    constexpr qsizetype kShortBytes = 64;
    if (lead.size() > 1 || bytes.size() > kShortBytes) {
        appendBytes(out, lead.data(), lead.size());
        appendVarint(out, quint64(bytes.size()));
        appendBytes(out, bytes.data(), bytes.size());
        return;
    }
    char room[1 + kMaxVarintBytes + kShortBytes];
    size_t used = 0;
    if (!lead.isEmpty())
        room[used++] = lead.front();
    used += encodeVarint(room + used, quint64(bytes.size()));
    if (!bytes.isEmpty())
        std::memcpy(room + used, bytes.data(), size_t(bytes.size()));
    appendBytes(out, room, qsizetype(used) + bytes.size());
}

void appendTagged(QByteArray &out, Tag tag, QByteArrayView bytes)
{
    const char tagByte = char(tag);
    appendCountedAfter(out, QByteArrayView(&tagByte, 1), bytes);
}

// Qt's stream reader trusts the lengths it reads and may set out to allocate gigabytes for damaged
// bytes: a streamed value carries a check of its own, which must hold before it is read.
quint32 checkOf(QByteArrayView bytes)
{
    return platform::crc32Continued(0, bytes);
}

void appendGeneric(QByteArray &out, const QVariant &value)
{
    QByteArray streamed;
    QDataStream stream(&streamed, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_6_0);
    stream << value;
    // A value Qt cannot stream is one no file of ours can hold either: it is kept as nothing.
    if (stream.status() != QDataStream::Ok) {
        out.append(char(Tag::Invalid));
        return;
    }
    appendTagged(out, Tag::Generic, streamed);
    const quint32 check = checkOf(streamed);
    out.append(reinterpret_cast<const char *>(&check), sizeof(check));
}

void appendText(QByteArray &out, const QString &text)
{
    if (text.isNull()) {
        out.append(char(Tag::NullText));
        return;
    }
    if (QStringView(text).isValidUtf16()) {
        appendTagged(out, Tag::TextUtf8, text.toUtf8());
        return;
    }
    // A lone surrogate does not survive UTF-8: such a text is kept as its UTF-16 units.
    out.append(char(Tag::TextUtf16));
    appendVarint(out, quint64(text.size()));
    out.append(reinterpret_cast<const char *>(text.utf16()), text.size() * qsizetype(sizeof(char16_t)));
}

void appendDouble(QByteArray &out, double value)
{
    char bytes[sizeof(double)];
    std::memcpy(bytes, &value, sizeof(double));
    out.append(char(Tag::Double));
    out.append(bytes, sizeof(double));
}

void appendData(QByteArray &out, const QByteArray &data)
{
    if (data.isNull())
        out.append(char(Tag::NullData));
    else
        appendTagged(out, Tag::Data, data);
}

const QTimeZone &utcTimeZone()
{
    static const QTimeZone utc = QTimeZone::utc();
    return utc;
}

// The tag of a date kept as its moment alone: UTC dates, which the graph files hold, and the local
// and UTC-zone ones a run notes as it writes, whose time and zone the moment gives back as they were.
// Dates of other zones and offsets keep them in stream form (Tag::Generic).
Tag momentTagOf(const QDateTime &date)
{
    if (!date.isValid())
        return Tag::Generic;
    switch (date.timeSpec()) {
    case Qt::UTC:
        return Tag::DateUtc;
    case Qt::LocalTime:
        return Tag::DateLocal;
    case Qt::TimeZone:
        return date.timeZone() == utcTimeZone() ? Tag::DateUtcZone : Tag::Generic;
    default:
        return Tag::Generic;
    }
}

void appendDate(QByteArray &out, const QVariant &value)
{
    const QDateTime &date = *static_cast<const QDateTime *>(value.constData());
    const Tag tag = momentTagOf(date);
    if (tag != Tag::Generic)
        appendNumber(out, tag, zigzag(date.toMSecsSinceEpoch()));
    else
        appendGeneric(out, value);
}

void appendValue(QByteArray &out, const QVariant &value, int depth);

// A list or dictionary starts with its tag, the length in bytes of all that follows in it (so that a
// reader skips it whole), then its count of items. The length is known once the items are in: a
// byte is kept for it, and the items are moved along in the rare case it takes more. Answers where
// the length goes, for appendContainerEnd.
qsizetype appendContainerStart(QByteArray &out, Tag tag, quint64 count)
{
    char room[2 + kMaxVarintBytes];
    room[0] = char(tag);
    room[1] = 0;
    const qsizetype mark = out.size() + 1;
    appendBytes(out, room, qsizetype(2 + encodeVarint(room + 2, count)));
    return mark;
}

void appendContainerEnd(QByteArray &out, qsizetype mark)
{
    const qsizetype contentStart = mark + 1;
    char room[kMaxVarintBytes];
    const qsizetype used = qsizetype(encodeVarint(room, quint64(out.size() - contentStart)));
    if (used > 1) {
        const qsizetype contentBytes = out.size() - contentStart;
        appendBytes(out, room, used - 1);
        std::memmove(out.data() + mark + used, out.constData() + contentStart, size_t(contentBytes));
    }
    std::memcpy(out.data() + mark, room, size_t(used));
}

void appendList(QByteArray &out, const QVariantList &list, int depth)
{
    const qsizetype mark = appendContainerStart(out, Tag::List, quint64(list.size()));
    for (const QVariant &item : list)
        appendValue(out, item, depth + 1);
    appendContainerEnd(out, mark);
}

// Keys inside are written out as UTF-8, in key order also for a hash, so that equal dictionaries
// always pack alike; a key that UTF-8 cannot carry has the dictionary streamed.
void appendMap(QByteArray &out, const QVariantMap &map, const QVariant &value, Tag tag, int depth)
{
    for (auto pair = map.constBegin(); pair != map.constEnd(); ++pair) {
        if (!QStringView(pair.key()).isValidUtf16())
            return appendGeneric(out, value);
    }
    const qsizetype mark = appendContainerStart(out, tag, quint64(map.size()));
    for (auto pair = map.constBegin(); pair != map.constEnd(); ++pair) {
        appendCountedAfter(out, QByteArrayView(), pair.key().toUtf8());
        appendValue(out, pair.value(), depth + 1);
    }
    appendContainerEnd(out, mark);
}

void appendNested(QByteArray &out, const QVariant &value, int depth)
{
    if (depth >= kMaxNesting)
        appendGeneric(out, value);
    else if (value.typeId() == QMetaType::QVariantList)
        appendList(out, *static_cast<const QVariantList *>(value.constData()), depth);
    else if (value.typeId() == QMetaType::QVariantMap)
        appendMap(out, *static_cast<const QVariantMap *>(value.constData()), value, Tag::Map, depth);
    else
        appendMap(out, value.toMap(), value, Tag::Hash, depth);
}

void appendValue(QByteArray &out, const QVariant &value, int depth)
{
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        out.append(char(Tag::Invalid));
        return;
    case QMetaType::QString:
        appendText(out, *static_cast<const QString *>(value.constData()));
        return;
    case QMetaType::Bool:
        out.append(char(value.toBool() ? Tag::True : Tag::False));
        return;
    case QMetaType::Int:
        return appendNumber(out, Tag::Int32, zigzag(value.toInt()));
    case QMetaType::LongLong:
        return appendNumber(out, Tag::Int64, zigzag(value.toLongLong()));
    case QMetaType::UInt:
        return appendNumber(out, Tag::UInt32, value.toUInt());
    case QMetaType::ULongLong:
        return appendNumber(out, Tag::UInt64, value.toULongLong());
    case QMetaType::Double:
        return appendDouble(out, value.toDouble());
    case QMetaType::QByteArray:
        return appendData(out, *static_cast<const QByteArray *>(value.constData()));
    case QMetaType::QDateTime:
        return appendDate(out, value);
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return appendNested(out, value, depth);
    default:
        return appendGeneric(out, value);
    }
}

// The key's number, remembered per thread for the last few keys: a graph being read hands the same
// few keys over and over, each time the very same shared text, which is known by its address.
quint32 numberOfKey(const QString &key)
{
    struct Recent
    {
        QString key;
        quint32 number = kInlineKey;
    };
    thread_local std::array<Recent, 8> recent;
    thread_local size_t next = 0;
    for (const Recent &known : recent) {
        if (!key.isEmpty() && known.key.constData() == key.constData() && known.key.size() == key.size())
            return known.number;
    }
    const quint32 number = keyTable().numberOf(key);
    recent[next] = Recent{key, number};
    next = (next + 1) % recent.size();
    return number;
}

void appendKeyNumber(QByteArray &packed, quint32 number, const QString &key)
{
    appendVarint(packed, number);
    if (number == kInlineKey) {
        appendCountedAfter(packed, QByteArrayView(), key.toUtf8());
    }
}

// A key given by its number, then a value's tag and the number that follows it (a text's length, a
// date's moment): in one append where the key is a number alone, as it nearly always is.
constexpr size_t kMaxKeyAndNumberBytes = 2 * kMaxVarintBytes + 1;

// Writes a numbered key, a tag and the number after it into the room given (kMaxKeyAndNumberBytes
// at least); answers how many bytes it took.
size_t encodeKeyAndNumber(char *room, quint32 keyNumber, Tag tag, quint64 number)
{
    size_t used = encodeVarint(room, keyNumber);
    room[used++] = char(tag);
    return used + encodeVarint(room + used, number);
}

void appendKeyAndNumber(QByteArray &packed, quint32 keyNumber, const QString &key, Tag tag, quint64 number)
{
    if (keyNumber == kInlineKey) {
        appendKeyNumber(packed, keyNumber, key);
        appendNumber(packed, tag, number);
        return;
    }
    char room[kMaxKeyAndNumberBytes];
    appendBytes(packed, room, qsizetype(encodeKeyAndNumber(room, keyNumber, tag, number)));
}

void appendKey(QByteArray &packed, const QString &key)
{
    appendKeyNumber(packed, numberOfKey(key), key);
}

// Appends one key-value pair in packed form; pairs come in key order, each key once.
void appendPair(QByteArray &packed, const QString &key, const QVariant &value)
{
    appendKey(packed, key);
    appendValue(packed, value, 0);
}

// Reads packed bytes; every read is checked against the end, and a failed read stops the reading.
class Cursor final
{
public:
    explicit Cursor(QByteArrayView bytes) : m_at(bytes.data()), m_end(bytes.data() + bytes.size()) {}

    bool atEnd() const { return m_at == m_end; }
    const char *at() const { return m_at; }

    std::optional<quint8> byte()
    {
        if (m_at == m_end)
            return std::nullopt;
        return quint8(*m_at++);
    }

    std::optional<quint64> varint()
    {
        // Key numbers, tags' numbers and short lengths take one byte.
        if (m_at != m_end && quint8(*m_at) < 0x80)
            return quint8(*m_at++);
        quint64 value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::optional<quint8> next = byte();
            if (!next)
                return std::nullopt;
            value |= quint64(*next & 0x7f) << shift;
            if ((*next & 0x80) == 0)
                return value;
        }
        return std::nullopt;
    }

    // Bytes preceded by their count.
    std::optional<QByteArrayView> counted()
    {
        const std::optional<quint64> length = varint();
        return length ? bytes(*length) : std::nullopt;
    }

    std::optional<QByteArrayView> bytes(quint64 length)
    {
        if (length > quint64(m_end - m_at))
            return std::nullopt;
        const QByteArrayView view(m_at, qsizetype(length));
        m_at += length;
        return view;
    }

private:
    const char *m_at;
    const char *m_end;
};

// One key-value pair as it stands in the packed bytes.
struct Field
{
    quint32 keyNumber = kInlineKey;
    QByteArrayView inlineKey;
    Tag tag = Tag::Invalid;
    // Texts, data and streamed values: their bytes; numbers: the number; a double: its 8 bytes.
    QByteArrayView payload;
    quint64 number = 0;
    // The value's tag and everything after it that belongs to the value.
    QByteArrayView packed;
};

// How a list or dictionary is read: its items checked one by one, or skipped whole by its length,
// as in an entry's own bytes, which were checked when the entry was made.
enum class Reading { Checked, Skimmed };

bool readPayload(Cursor &cursor, Field &field, int depth, Reading reading = Reading::Checked);

bool hasCheckOf(Cursor &cursor, QByteArrayView payload)
{
    const std::optional<QByteArrayView> stored = cursor.bytes(sizeof(quint32));
    quint32 check = 0;
    if (stored)
        std::memcpy(&check, stored->data(), sizeof(check));
    return stored && check == checkOf(payload);
}

// Reads past the count and items of a list or dictionary, checking each.
bool skipNested(Cursor &cursor, Tag tag, int depth)
{
    const std::optional<quint64> count = depth < kMaxNesting ? cursor.varint() : std::nullopt;
    if (!count)
        return false;
    // Each item takes at least a byte: a count past the bytes fails at their end.
    for (quint64 item = 0; item < *count; ++item) {
        const std::optional<quint64> keyLength = tag != Tag::List ? cursor.varint() : std::optional<quint64>(0);
        const std::optional<quint8> itemTag = keyLength && cursor.bytes(*keyLength) ? cursor.byte() : std::nullopt;
        if (!itemTag || *itemTag >= quint8(Tag::End))
            return false;
        Field field;
        field.tag = Tag(*itemTag);
        if (!readPayload(cursor, field, depth + 1))
            return false;
    }
    return true;
}

// A list's or dictionary's payload is its count and items, which must fill its length exactly.
bool readNested(Cursor &cursor, Field &field, int depth, Reading reading)
{
    const std::optional<quint64> length = cursor.varint();
    const std::optional<QByteArrayView> payload = length ? cursor.bytes(*length) : std::nullopt;
    field.payload = payload.value_or(QByteArrayView());
    if (!payload || reading == Reading::Skimmed)
        return payload.has_value();
    Cursor items(*payload);
    return skipNested(items, field.tag, depth) && items.atEnd();
}

bool readPayload(Cursor &cursor, Field &field, int depth, Reading reading)
{
    switch (field.tag) {
    case Tag::List:
    case Tag::Map:
    case Tag::Hash:
        return readNested(cursor, field, depth, reading);
    case Tag::TextUtf8:
    case Tag::Data:
    case Tag::Generic: {
        const std::optional<quint64> length = cursor.varint();
        const std::optional<QByteArrayView> payload = length ? cursor.bytes(*length) : std::nullopt;
        field.payload = payload.value_or(QByteArrayView());
        return payload && (field.tag != Tag::Generic || hasCheckOf(cursor, *payload));
    }
    case Tag::TextUtf16: {
        const std::optional<quint64> units = cursor.varint();
        const std::optional<QByteArrayView> payload =
            units && *units < (quint64(1) << 40) ? cursor.bytes(*units * 2) : std::nullopt;
        field.payload = payload.value_or(QByteArrayView());
        return payload.has_value();
    }
    case Tag::Int32:
    case Tag::Int64:
    case Tag::UInt32:
    case Tag::UInt64:
    case Tag::DateUtc:
    case Tag::DateLocal:
    case Tag::DateUtcZone: {
        const std::optional<quint64> number = cursor.varint();
        field.number = number.value_or(0);
        return number.has_value();
    }
    case Tag::Double: {
        const std::optional<QByteArrayView> payload = cursor.bytes(sizeof(double));
        field.payload = payload.value_or(QByteArrayView());
        return payload.has_value();
    }
    default:
        return field.tag < Tag::End;
    }
}

// Reads the next pair; false at the end of the bytes or where they are damaged.
bool nextField(Cursor &cursor, Field &field, Reading reading = Reading::Checked)
{
    const std::optional<quint64> key = cursor.varint();
    if (!key || *key >= kMaxKeys)
        return false;
    field.keyNumber = quint32(*key);
    if (field.keyNumber == kInlineKey) {
        const std::optional<quint64> length = cursor.varint();
        const std::optional<QByteArrayView> text = length ? cursor.bytes(*length) : std::nullopt;
        if (!text)
            return false;
        field.inlineKey = *text;
    }
    const char *tagAt = cursor.at();
    const std::optional<quint8> tag = cursor.byte();
    if (!tag || *tag >= quint8(Tag::End))
        return false;
    field.tag = Tag(*tag);
    const bool isWhole = readPayload(cursor, field, 0, reading);
    field.packed = QByteArrayView(tagAt, cursor.at());
    return isWhole;
}

std::optional<QString> keyOf(const Field &field)
{
    if (field.keyNumber == kInlineKey)
        return QString::fromUtf8(field.inlineKey);
    return keyTable().textOf(field.keyNumber);
}

// Whether the field's key is the text: a numbered key is compared where the table keeps it, with no
// copy of its text.
bool hasKey(quint64 keyNumber, QByteArrayView inlineKey, const QString &key)
{
    if (keyNumber == kInlineKey)
        return QString::fromUtf8(inlineKey) == key;
    const QString *text = keyTable().textAt(quint32(std::min<quint64>(keyNumber, kMaxKeys)));
    return text && *text == key;
}

std::optional<QVariant> streamedValueOf(QByteArrayView payload)
{
    const QByteArray bytes = QByteArray::fromRawData(payload.data(), payload.size());
    QDataStream stream(bytes);
    stream.setVersion(QDataStream::Qt_6_0);
    QVariant value;
    stream >> value;
    if (stream.status() != QDataStream::Ok || !stream.atEnd() || !value.isValid())
        return std::nullopt;
    // Detached from the entry's bytes, which the stream read in place.
    return value;
}

// Streamed values read last on this thread, by their bytes. Many entries hold the very same
// streamed value (an empty list of texts, the date one run wrote): it is read once, and a date's
// moment worked out once, rather than for each entry. Only small values are kept.
class RecentStreamed final
{
public:
    static RecentStreamed &ofThread()
    {
        thread_local RecentStreamed recent;
        return recent;
    }

    std::optional<QVariant> valueOf(QByteArrayView payload)
    {
        if (const Known *known = find(payload))
            return known->value;
        std::optional<QVariant> value = streamedValueOf(payload);
        if (value && payload.size() <= kLargestKept) {
            m_known[m_next] = Known{payload.toByteArray(), *value, std::nullopt};
            m_next = (m_next + 1) % m_known.size();
        }
        return value;
    }

    // The moment of a valid date that valueOf read from the bytes.
    qint64 momentOf(QByteArrayView payload, const QDateTime &date)
    {
        Known *known = find(payload);
        if (!known)
            return date.toMSecsSinceEpoch();
        if (!known->moment)
            known->moment = date.toMSecsSinceEpoch();
        return *known->moment;
    }

private:
    static constexpr qsizetype kLargestKept = 256;
    struct Known
    {
        QByteArray bytes;
        QVariant value;
        std::optional<qint64> moment;
    };

    Known *find(QByteArrayView payload)
    {
        for (Known &known : m_known) {
            if (!known.bytes.isNull() && QByteArrayView(known.bytes) == payload)
                return &known;
        }
        return nullptr;
    }

    std::array<Known, 4> m_known;
    size_t m_next = 0;
};

std::optional<QVariant> genericValueOf(QByteArrayView payload)
{
    return RecentStreamed::ofThread().valueOf(payload);
}

std::optional<QVariant> numberValueOf(const Field &field)
{
    switch (field.tag) {
    case Tag::Int32: {
        const qint64 number = unzigzag(field.number);
        if (number < std::numeric_limits<qint32>::min() || number > std::numeric_limits<qint32>::max())
            return std::nullopt;
        return QVariant(qint32(number));
    }
    case Tag::Int64:
        return QVariant(qint64(unzigzag(field.number)));
    case Tag::UInt32:
        if (field.number > std::numeric_limits<quint32>::max())
            return std::nullopt;
        return QVariant(quint32(field.number));
    case Tag::UInt64:
        return QVariant(quint64(field.number));
    case Tag::DateLocal:
        return QVariant(QDateTime::fromMSecsSinceEpoch(unzigzag(field.number), Qt::LocalTime));
    case Tag::DateUtcZone:
        return QVariant(QDateTime::fromMSecsSinceEpoch(unzigzag(field.number), utcTimeZone()));
    default:
        return QVariant(QDateTime::fromMSecsSinceEpoch(unzigzag(field.number), Qt::UTC));
    }
}

std::optional<QVariant> valueInField(const Field &field);

// A list or dictionary whose bytes were checked when its field was read.
std::optional<QVariant> nestedValueOf(const Field &field)
{
    Cursor cursor(field.payload);
    const quint64 count = cursor.varint().value_or(0);
    QVariantList list;
    QVariantMap map;
    for (quint64 index = 0; index < count; ++index) {
        const std::optional<QByteArrayView> key =
            field.tag != Tag::List ? cursor.bytes(cursor.varint().value_or(0)) : std::optional(QByteArrayView());
        Field item;
        item.tag = Tag(cursor.byte().value_or(quint8(Tag::End)));
        const std::optional<QVariant> value =
            key && readPayload(cursor, item, 0, Reading::Skimmed) ? valueInField(item) : std::nullopt;
        if (!value)
            return std::nullopt;
        if (field.tag != Tag::List)
            map.insert(map.cend(), QString::fromUtf8(*key), *value);
        else
            list.append(*value);
    }
    if (field.tag == Tag::Hash)
        return QVariant(QVariantHash(map.cbegin(), map.cend()));
    return field.tag == Tag::Map ? QVariant(map) : QVariant(list);
}

std::optional<QVariant> valueInField(const Field &field)
{
    switch (field.tag) {
    case Tag::Invalid:
        return QVariant();
    case Tag::TextUtf8:
        return QVariant(QString::fromUtf8(field.payload));
    case Tag::TextUtf16: {
        // Copied rather than read in place: the units need not stand at an even address.
        QString text(field.payload.size() / 2, Qt::Uninitialized);
        std::memcpy(text.data(), field.payload.data(), size_t(field.payload.size()));
        return QVariant(text);
    }
    case Tag::NullText:
        return QVariant(QString());
    case Tag::False:
    case Tag::True:
        return QVariant(field.tag == Tag::True);
    case Tag::Double: {
        double value = 0;
        std::memcpy(&value, field.payload.data(), sizeof(double));
        return QVariant(value);
    }
    case Tag::Data:
        return QVariant(field.payload.toByteArray());
    case Tag::NullData:
        return QVariant(QByteArray());
    case Tag::Generic:
        return genericValueOf(field.payload);
    case Tag::List:
    case Tag::Map:
    case Tag::Hash:
        return nestedValueOf(field);
    default:
        return numberValueOf(field);
    }
}

// The dictionary the bytes hold; nullopt when they are damaged anywhere.
std::optional<QVariantMap> unpack(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.front() != HMIdentifierGraphEntry::kFormat)
        return std::nullopt;
    Cursor cursor(bytes.sliced(1));
    QVariantMap dictionary;
    Field field;
    while (!cursor.atEnd()) {
        if (!nextField(cursor, field))
            return std::nullopt;
        const std::optional<QString> key = keyOf(field);
        const std::optional<QVariant> value = key ? valueInField(field) : std::nullopt;
        if (!value || (!dictionary.isEmpty() && !(dictionary.lastKey() < *key)))
            return std::nullopt;
        dictionary.insert(dictionary.cend(), *key, *value);
    }
    return dictionary;
}

using FlatPair = HMIdentifierGraphEntry::FlatPair;

// A number's value as a flat pair holds it; false for one it cannot hold.
bool readFlatNumber(const Field &field, FlatPair &pair)
{
    switch (field.tag) {
    case Tag::Int32: {
        const qint64 number = unzigzag(field.number);
        pair.kind = FlatPair::Kind::Int32;
        pair.number = number;
        return number >= std::numeric_limits<qint32>::min() && number <= std::numeric_limits<qint32>::max();
    }
    case Tag::Int64:
    case Tag::DateUtc:
    case Tag::DateLocal:
    case Tag::DateUtcZone:
        // A flat pair holds a date as its moment, as an archive does.
        pair.kind = field.tag == Tag::Int64 ? FlatPair::Kind::Integer : FlatPair::Kind::UtcDate;
        pair.number = unzigzag(field.number);
        return true;
    case Tag::UInt32:
    case Tag::UInt64:
        pair.kind = field.number <= quint64(std::numeric_limits<qint64>::max()) ? FlatPair::Kind::Integer
                                                                                 : FlatPair::Kind::Other;
        pair.number = qint64(field.number);
        pair.bytes = field.packed;
        return field.tag == Tag::UInt64 || field.number <= std::numeric_limits<quint32>::max();
    default:
        return false;
    }
}

// A value kept in stream form, which begins with its type: a date of a zone other than UTC, which a
// flat pair holds as its moment (an invalid one as nothing, as an archive holds it), a list of
// texts, or any other value.
bool readFlatStreamed(const Field &field, FlatPair &pair)
{
    pair.bytes = field.packed;
    if (field.payload.size() < qsizetype(sizeof(quint32)))
        return false;
    const quint32 type = qFromBigEndian<quint32>(field.payload.data());
    if (type != quint32(QMetaType::QDateTime)) {
        pair.kind = type == quint32(QMetaType::QStringList) ? FlatPair::Kind::TextList : FlatPair::Kind::Other;
        return true;
    }
    const std::optional<QVariant> date = genericValueOf(field.payload);
    if (!date || date->typeId() != QMetaType::QDateTime)
        return false;
    const QDateTime &moment = *static_cast<const QDateTime *>(date->constData());
    pair.kind = moment.isValid() ? FlatPair::Kind::UtcDate : FlatPair::Kind::Nil;
    pair.number = moment.isValid() ? RecentStreamed::ofThread().momentOf(field.payload, moment) : 0;
    return true;
}

// The field's value as a flat pair holds it; false for a value it cannot hold.
bool readFlatValue(const Field &field, FlatPair &pair)
{
    pair.bytes = QByteArrayView();
    switch (field.tag) {
    case Tag::Invalid:
        pair.kind = FlatPair::Kind::Nil;
        return true;
    case Tag::NullText:
    case Tag::TextUtf16:
        pair.kind = FlatPair::Kind::Other;
        pair.bytes = field.packed;
        return true;
    case Tag::TextUtf8:
    case Tag::Data:
    case Tag::NullData:
        pair.kind = field.tag == Tag::TextUtf8 ? FlatPair::Kind::Text : FlatPair::Kind::Data;
        // Null data reads no bytes: the field still holds those of an earlier one.
        if (field.tag != Tag::NullData)
            pair.bytes = field.payload;
        return true;
    case Tag::False:
    case Tag::True:
        pair.kind = FlatPair::Kind::Bool;
        pair.number = field.tag == Tag::True ? 1 : 0;
        return true;
    case Tag::Double:
        pair.kind = FlatPair::Kind::Real;
        std::memcpy(&pair.real, field.payload.data(), sizeof(double));
        return true;
    case Tag::List:
    case Tag::Map:
    case Tag::Hash:
        pair.kind = field.tag == Tag::List ? FlatPair::Kind::List : FlatPair::Kind::Dictionary;
        pair.bytes = field.payload;
        return true;
    case Tag::Generic:
        return readFlatStreamed(field, pair);
    default:
        return readFlatNumber(field, pair);
    }
}

// Stepping over the pairs of an entry's own bytes, whose values were checked when the entry was made:
// a look-up passes most pairs of an entry by. Each step answers where it ends, or null where the
// bytes end too soon. Plain pointers, so that the loop keeps its place in a register.
const char *skipBytes(const char *at, const char *end, quint64 count)
{
    return at && count <= quint64(end - at) ? at + count : nullptr;
}

// Reads as Cursor::varint reads, at most ten bytes, in a plain loop: every look-up steps over the
// date an entry holds before its identifiers, whose moment takes six bytes.
const char *readLongVarint(const char *at, const char *end, quint64 &value)
{
    value = 0;
    for (int shift = 0; shift < 64 && at != end; shift += 7) {
        const quint8 byte = quint8(*at++);
        value |= quint64(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0)
            return at;
    }
    value = 0;
    return nullptr;
}

const char *readVarint(const char *at, const char *end, quint64 &value)
{
    if (at != end && quint8(*at) < 0x80) {
        value = quint8(*at);
        return at + 1;
    }
    return readLongVarint(at, end, value);
}

const char *skipCounted(const char *at, const char *end, quint64 unitBytes)
{
    quint64 count = 0;
    at = readVarint(at, end, count);
    return at && count < (quint64(1) << 40) ? skipBytes(at, end, count * unitBytes) : nullptr;
}

// Steps over a value from its tag.
const char *skipValue(const char *at, const char *end)
{
    if (at == end)
        return nullptr;
    const Tag tag = Tag(quint8(*at++));
    quint64 number = 0;
    switch (tag) {
    case Tag::TextUtf8:
    case Tag::Data:
    case Tag::List:
    case Tag::Map:
    case Tag::Hash:
        return skipCounted(at, end, 1);
    case Tag::Generic:
        return skipBytes(skipCounted(at, end, 1), end, sizeof(quint32));
    case Tag::TextUtf16:
        return skipCounted(at, end, 2);
    case Tag::Int32:
    case Tag::Int64:
    case Tag::UInt32:
    case Tag::UInt64:
    case Tag::DateUtc:
    case Tag::DateLocal:
    case Tag::DateUtcZone:
        return readVarint(at, end, number);
    case Tag::Double:
        return skipBytes(at, end, sizeof(double));
    default:
        return tag < Tag::End ? at : nullptr;
    }
}

// Where the pair whose key isWanted(number, written-out key) takes starts, stepping over the
// others' values unread; null when there is none. valueAt is set to where the pair's value starts
// (its tag).
template <typename IsWanted>
const char *findPairWhere(const QByteArray &bytes, const char *&valueAt, const IsWanted &isWanted)
{
    const char *end = bytes.constData() + bytes.size();
    const char *at = bytes.isEmpty() ? end : bytes.constData() + 1;
    while (at && at != end) {
        const char *pairAt = at;
        quint64 key = 0;
        at = readVarint(at, end, key);
        QByteArrayView inlineKey;
        if (at && key == kInlineKey) {
            quint64 length = 0;
            const char *text = readVarint(at, end, length);
            at = skipBytes(text, end, length);
            inlineKey = at ? QByteArrayView(text, at) : QByteArrayView();
        }
        if (at && isWanted(key, inlineKey)) {
            valueAt = at;
            return pairAt;
        }
        at = skipValue(at, end);
    }
    return nullptr;
}

// The value under a numbered key, from its tag on; null when the entry has no such key.
const char *valueUnderNumber(const QByteArray &bytes, quint32 keyNumber)
{
    const char *valueAt = nullptr;
    return findPairWhere(bytes, valueAt, [keyNumber](quint64 number, QByteArrayView) { return number == keyNumber; })
               ? valueAt
               : nullptr;
}

// The UTF-8 bytes of a text value, read from its tag in an entry's own bytes; nullopt for a value of
// another type.
std::optional<QByteArrayView> utf8TextFrom(const char *valueAt, const char *end)
{
    if (!valueAt || valueAt == end || Tag(quint8(*valueAt)) != Tag::TextUtf8)
        return std::nullopt;
    quint64 length = 0;
    const char *text = readVarint(valueAt + 1, end, length);
    const char *textEnd = skipBytes(text, end, length);
    return textEnd ? std::optional(QByteArrayView(text, textEnd)) : std::nullopt;
}

// Finds the pair whose key isWanted(number, written-out key) takes into field; false when there is
// none. The pair is read in the caller's room: a pair answered wrapped is copied whole from where it
// was stored piece by piece, which stalls on every look at an entry.
template <typename IsWanted>
bool findFieldWhere(const QByteArray &bytes, Field &field, const IsWanted &isWanted)
{
    const char *valueAt = nullptr;
    const char *pairAt = findPairWhere(bytes, valueAt, isWanted);
    if (!pairAt)
        return false;
    Cursor pair(QByteArrayView(pairAt, bytes.constData() + bytes.size()));
    return nextField(pair, field, Reading::Skimmed);
}

bool findField(const QByteArray &bytes, quint32 keyNumber, Field &field)
{
    return findFieldWhere(bytes, field, [keyNumber](quint64 number, QByteArrayView) { return number == keyNumber; });
}

// The same for a key given as its text.
bool findNamedField(const QByteArray &bytes, const QString &key, Field &field)
{
    return findFieldWhere(bytes, field,
                          [&key](quint64 number, QByteArrayView inlineKey) { return hasKey(number, inlineKey, key); });
}

} // namespace

HMIdentifierGraphEntry::HMIdentifierGraphEntry() : m_bytes(1, kFormat)
{
}

namespace {

// Packs into a buffer kept per thread, then copies the bytes once into an allocation of their size:
// growing each entry's own bytes step by step would allocate several times per entry.
template <typename Fill>
QByteArray packedBy(const Fill &fill)
{
    constexpr qsizetype kLargestKept = 64 * 1024;
    thread_local QByteArray scratch;
    scratch.resize(0);
    scratch.append(HMIdentifierGraphEntry::kFormat);
    fill(scratch);
    QByteArray bytes(scratch.constData(), scratch.size());
    if (scratch.capacity() > kLargestKept)
        scratch = QByteArray();
    return bytes;
}

// Packs a dictionary read as its pairs, sorted by key, the last value of a key counting.
void packPairs(QByteArray &bytes, std::vector<HMIdentifierGraphEntry::Pair> &pairs)
{
    using Pair = HMIdentifierGraphEntry::Pair;
    const auto byKey = [](const Pair &left, const Pair &right) { return left.key < right.key; };
    // Archives list a dictionary's keys sorted already.
    if (!std::is_sorted(pairs.begin(), pairs.end(), byKey))
        std::stable_sort(pairs.begin(), pairs.end(), byKey);
    for (size_t index = 0; index < pairs.size(); ++index) {
        const Pair &pair = pairs[index];
        if (index + 1 < pairs.size() && pairs[index + 1].key == pair.key)
            continue;
        appendKey(bytes, pair.key);
        if (pair.utf8Text)
            appendTagged(bytes, Tag::TextUtf8, *pair.utf8Text);
        else if (pair.utcDateMsecs)
            appendNumber(bytes, Tag::DateUtc, zigzag(*pair.utcDateMsecs));
        else
            appendValue(bytes, pair.value, 0);
    }
}

// Grows the buffer an arena packs into to hold needed bytes at least, doubling it.
void growToAtLeast(QByteArray &buffer, qsizetype needed)
{
    buffer.resize(std::max(needed, 2 * buffer.size()));
}

// An arena's blocks, and the largest entry packed into one: a larger one takes an allocation of
// its own, so that a block is never left mostly empty.
constexpr qsizetype kArenaBlockBytes = 32 * 1024;
constexpr qsizetype kLargestArenaEntry = kArenaBlockBytes / 16;

} // namespace

HMIdentifierGraphEntry::HMIdentifierGraphEntry(const QVariantMap &dictionary)
    : m_bytes(packedBy([&dictionary](QByteArray &bytes) {
          for (auto pair = dictionary.constBegin(); pair != dictionary.constEnd(); ++pair)
              appendPair(bytes, pair.key(), pair.value());
      }))
{
}

HMIdentifierGraphEntry HMIdentifierGraphEntry::fromPairs(std::vector<Pair> &pairs)
{
    return HMIdentifierGraphEntry(packedBy([&pairs](QByteArray &bytes) { packPairs(bytes, pairs); }));
}

void HMIdentifierGraphEntry::Arena::begin()
{
    m_packedBytes = 0;
    *roomFor(1) = kFormat;
    m_packedBytes = 1;
    m_hasLastKey = false;
    m_unordered.reset();
}

// Room for count more bytes of the entry being packed, at its end; the buffer only grows, so that
// after the first few entries packing copies bytes and allocates nothing. Asked for every pair of a
// graph being read: the growth, rarely needed, stands apart so that the rest is inlined.
inline char *HMIdentifierGraphEntry::Arena::roomFor(qsizetype count)
{
    const qsizetype needed = m_packedBytes + count;
    if (needed > m_packing.size())
        growToAtLeast(m_packing, needed);
    return m_packing.data() + m_packedBytes;
}

void HMIdentifierGraphEntry::Arena::appendRaw(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    std::memcpy(roomFor(bytes.size()), bytes.data(), size_t(bytes.size()));
    m_packedBytes += bytes.size();
}

// A key in place, a tag, the number after it and the bytes that follow (a text's UTF-8). A key
// written out in the entry takes the general path; numbered keys, nearly all, are written in place.
void HMIdentifierGraphEntry::Arena::appendKeyAndNumber(quint32 keyNumber, const QString &key, quint8 tag,
                                                      quint64 number, QByteArrayView following)
{
    if (keyNumber == kInlineKey) {
        m_scratch.resize(0);
        ::appendKeyAndNumber(m_scratch, keyNumber, key, Tag(tag), number);
        appendRaw(m_scratch);
        appendRaw(following);
        return;
    }
    char *room = roomFor(qsizetype(kMaxKeyAndNumberBytes) + following.size());
    const size_t used = encodeKeyAndNumber(room, keyNumber, Tag(tag), number);
    // A date has nothing after its number, and no bytes to copy from.
    if (!following.isEmpty())
        std::memcpy(room + used, following.data(), size_t(following.size()));
    m_packedBytes += qsizetype(used) + following.size();
}

// The key's number, remembered for the few keys an arena is handed over and over, each time the
// very same shared text, known by its address. Entries name their keys in the same order, so the
// key after the last one found is tried first.
quint32 HMIdentifierGraphEntry::Arena::keyNumberOf(const QString &key)
{
    const size_t slotCount = m_knownKeys.size();
    for (size_t tried = 0; tried < slotCount && !key.isEmpty(); ++tried) {
        const size_t slot = (m_keyGuess + tried) % slotCount;
        const KnownKey &known = m_knownKeys[slot];
        if (known.key.constData() == key.constData() && known.key.size() == key.size()) {
            m_keyGuess = (slot + 1) % slotCount;
            return known.number;
        }
    }
    const quint32 number = numberOfKey(key);
    m_knownKeys[m_nextKnownKey] = KnownKey{key, number};
    m_nextKnownKey = (m_nextKnownKey + 1) % slotCount;
    m_keyGuess = m_nextKnownKey;
    return number;
}

// The key's number when the pair under it is packed at once: it comes after every key before it.
// kOutOfOrder once a key came out of order. A plain number: it is answered for every pair of a graph,
// and an optional one is stored piece by piece and read back whole, which stalls.
quint32 HMIdentifierGraphEntry::Arena::numberInOrder(const QString &key)
{
    if (m_unordered) {
        // The keys of an entry gathered out of order are not told apart.
        m_mayHoldUnconfirmedAdd = true;
        return kOutOfOrder;
    }
    // The slot of the entry's last key: slot 0 at the entry's start, none after a key written out
    // or one numbered past the slots.
    const size_t slot = !m_hasLastKey ? 0
                        : m_lastKeyNumber != kInlineKey && m_lastKeyNumber < kFollowedKeys ? size_t(m_lastKeyNumber)
                                                                                           : kFollowedKeys;
    if (slot < kFollowedKeys && !key.isEmpty()) {
        const FollowingKey &following = m_followingKeys[slot];
        if (following.key.constData() == key.constData() && following.key.size() == key.size()) {
            m_mayHoldUnconfirmedAdd |= following.number == kUnconfirmedAddNumber;
            if (!following.isAfter)
                return kOutOfOrder;
            // A kept key is numbered: nothing of its text is kept as the last key's.
            m_lastKeyNumber = following.number;
            m_hasLastKey = true;
            return following.number;
        }
    }
    return numberFound(key, slot);
}

// numberInOrder for a key that did not follow the last one before: found by its text, and kept as
// the key that follows it.
quint32 HMIdentifierGraphEntry::Arena::numberFound(const QString &key, size_t slot)
{
    const quint32 number = keyNumberOf(key);
    m_mayHoldUnconfirmedAdd |= number == kUnconfirmedAddNumber;
    const bool isAfter = !m_hasLastKey || comesAfterLast(number, key);
    if (slot < kFollowedKeys && number != kInlineKey && !key.isEmpty())
        m_followingKeys[slot] = FollowingKey{key, number, isAfter};
    if (!isAfter)
        return kOutOfOrder;
    takeKey(number, key);
    return number;
}

// The key in order becomes the entry's last.
void HMIdentifierGraphEntry::Arena::takeKey(quint32 number, const QString &key)
{
    m_lastKeyNumber = number;
    if (number == kInlineKey)
        m_lastInlineKey = key;
    m_hasLastKey = true;
}

// Whether the key comes after the last one. The order of two keys of the table is found once per
// arena: every entry of a graph names the same few keys in the same order.
bool HMIdentifierGraphEntry::Arena::comesAfterLast(quint32 number, const QString &key)
{
    const bool areNumbered = number != kInlineKey && m_lastKeyNumber != kInlineKey;
    for (const KnownOrder &known : m_knownOrders) {
        if (areNumbered && known.before == m_lastKeyNumber && known.after == number)
            return known.isAfter;
    }
    const QString lastKey =
        m_lastKeyNumber == kInlineKey ? m_lastInlineKey : keyTable().textOf(m_lastKeyNumber).value_or(QString());
    const bool isAfter = lastKey < key;
    if (areNumbered) {
        m_knownOrders[m_nextKnownOrder] = KnownOrder{m_lastKeyNumber, number, isAfter};
        m_nextKnownOrder = (m_nextKnownOrder + 1) % m_knownOrders.size();
    }
    return isAfter;
}

// The pairs so far as a dictionary, from the bytes packed until a key came out of order.
QVariantMap &HMIdentifierGraphEntry::Arena::unordered()
{
    if (!m_unordered)
        m_unordered = unpack(QByteArrayView(m_packing.constData(), m_packedBytes)).value_or(QVariantMap());
    return *m_unordered;
}

void HMIdentifierGraphEntry::Arena::addText(const QString &key, QByteArrayView utf8)
{
    if (const quint32 number = numberInOrder(key); number != kOutOfOrder) {
        appendKeyAndNumber(number, key, quint8(Tag::TextUtf8), quint64(utf8.size()), utf8);
    } else {
        unordered().insert(key, QString::fromUtf8(utf8));
    }
}

void HMIdentifierGraphEntry::Arena::addUtcDate(const QString &key, qint64 msecsSinceEpoch)
{
    if (const quint32 number = numberInOrder(key); number != kOutOfOrder) {
        appendKeyAndNumber(number, key, quint8(Tag::DateUtc), zigzag(msecsSinceEpoch), {});
    } else {
        unordered().insert(key, QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC));
    }
}

void HMIdentifierGraphEntry::Arena::addValue(const QString &key, const QVariant &value)
{
    if (const quint32 number = numberInOrder(key); number != kOutOfOrder) {
        m_scratch.resize(0);
        appendKeyNumber(m_scratch, number, key);
        appendValue(m_scratch, value, 0);
        appendRaw(m_scratch);
    } else {
        unordered().insert(key, value);
    }
}

bool HMIdentifierGraphEntry::Arena::addPacked(const QString &key, QByteArrayView packedValue)
{
    const quint32 number = numberInOrder(key);
    if (number == kOutOfOrder)
        return false;
    if (number == kInlineKey) {
        m_scratch.resize(0);
        appendKeyNumber(m_scratch, number, key);
        appendRaw(m_scratch);
        appendRaw(packedValue);
        return true;
    }
    char *room = roomFor(qsizetype(kMaxVarintBytes) + packedValue.size());
    const size_t used = encodeVarint(room, number);
    if (!packedValue.isEmpty())
        std::memcpy(room + used, packedValue.data(), size_t(packedValue.size()));
    m_packedBytes += qsizetype(used) + packedValue.size();
    return true;
}

const int HMIdentifierGraphEntry::PackedValue::kMaxNesting = ::kMaxNesting;

void HMIdentifierGraphEntry::PackedValue::appendText(QByteArray &out, QByteArrayView utf8)
{
    appendTagged(out, Tag::TextUtf8, utf8);
}

void HMIdentifierGraphEntry::PackedValue::appendUtcDate(QByteArray &out, qint64 msecsSinceEpoch)
{
    appendNumber(out, Tag::DateUtc, zigzag(msecsSinceEpoch));
}

void HMIdentifierGraphEntry::PackedValue::appendValue(QByteArray &out, const QVariant &value, int depth)
{
    ::appendValue(out, value, depth);
}

qsizetype HMIdentifierGraphEntry::PackedValue::appendListStart(QByteArray &out, quint64 count)
{
    return appendContainerStart(out, Tag::List, count);
}

qsizetype HMIdentifierGraphEntry::PackedValue::appendDictionaryStart(QByteArray &out, quint64 count)
{
    return appendContainerStart(out, Tag::Map, count);
}

void HMIdentifierGraphEntry::PackedValue::appendContainerEnd(QByteArray &out, qsizetype mark)
{
    ::appendContainerEnd(out, mark);
}

void HMIdentifierGraphEntry::PackedValue::appendItemKey(QByteArray &out, QByteArrayView utf8)
{
    appendCountedAfter(out, QByteArrayView(), utf8);
}

// The bytes copied into the block, as a byte string that shares the block. Each slice is followed
// by a NUL, as the bytes of every byte string are. Made where the entry takes it: a byte string
// answered from a call is stored piece by piece and read back whole, which stalls on every entry.
inline QByteArray HMIdentifierGraphEntry::Arena::place(QByteArrayView bytes)
{
    const qsizetype needed = bytes.size() + 1;
    if (needed > kLargestArenaEntry)
        return bytes.toByteArray();
    if (needed > m_freeBytes) {
        // The block's bytes are written only here, in its part no slice covers yet.
        m_block = QByteArray(kArenaBlockBytes, Qt::Uninitialized);
        m_free = m_block.data();
        m_freeBytes = m_block.size();
    }
    std::memcpy(m_free, bytes.data(), size_t(bytes.size()));
    m_free[bytes.size()] = '\0';
    const qsizetype offset = m_block.size() - m_freeBytes;
    m_free += needed;
    m_freeBytes -= needed;
    return platform::SharedBytes(m_block, offset, bytes.size()).bytes();
}

HMIdentifierGraphEntry HMIdentifierGraphEntry::Arena::end()
{
    if (m_unordered)
        return HMIdentifierGraphEntry(*m_unordered);
    HMIdentifierGraphEntry entry(place(QByteArrayView(m_packing.constData(), m_packedBytes)));
    // A buffer grown by a huge entry is let go.
    if (m_packing.size() > kArenaBlockBytes)
        m_packing = QByteArray();
    return entry;
}

std::optional<HMIdentifierGraphEntry> HMIdentifierGraphEntry::fromPacked(const QByteArray &bytes)
{
    if (!unpack(bytes))
        return std::nullopt;
    return HMIdentifierGraphEntry(bytes);
}

QVariantMap HMIdentifierGraphEntry::toMap() const
{
    return unpack(m_bytes).value_or(QVariantMap());
}

HMIdentifierGraphEntry HMIdentifierGraphEntry::withValue(const QString &key, const QVariant &value) const
{
    return HMIdentifierGraphEntry(packedBy([this, &key, &value](QByteArray &bytes) {
        Cursor cursor(QByteArrayView(m_bytes).sliced(1));
        bool isPlaced = false;
        Field field;
        for (const char *pairAt = cursor.at(); nextField(cursor, field, Reading::Skimmed); pairAt = cursor.at()) {
            // Pairs stand in the order of their keys' texts, as in a QVariantMap.
            const std::optional<QString> fieldKey = isPlaced ? std::nullopt : keyOf(field);
            const bool isReplaced = fieldKey && *fieldKey == key;
            if (fieldKey && !(*fieldKey < key)) {
                appendPair(bytes, key, value);
                isPlaced = true;
            }
            if (!isReplaced)
                appendBytes(bytes, pairAt, cursor.at() - pairAt);
        }
        if (!isPlaced)
            appendPair(bytes, key, value);
    }));
}

QVariant HMIdentifierGraphEntry::value(const QString &key) const
{
    Field field;
    return findNamedField(m_bytes, key, field) ? valueInField(field).value_or(QVariant()) : QVariant();
}

bool HMIdentifierGraphEntry::contains(const QString &key) const
{
    Field field;
    return findNamedField(m_bytes, key, field);
}

// Read straight from the value's tag: every lookup of a graph's identifiers comes here.
std::optional<QByteArrayView> HMIdentifierGraphEntry::utf8TextOf(WellKnownKey key) const
{
    return utf8TextFrom(valueUnderNumber(m_bytes, numberOfWellKnown(key)), m_bytes.constData() + m_bytes.size());
}

std::optional<QByteArrayView> HMIdentifierGraphEntry::utf8TextOf(const QString &key) const
{
    Field field;
    if (!findNamedField(m_bytes, key, field) || field.tag != Tag::TextUtf8)
        return std::nullopt;
    return QByteArrayView(field.payload.data(), field.payload.size());
}

std::optional<QString> HMIdentifierGraphEntry::textOf(WellKnownKey key) const
{
    Field field;
    if (!findField(m_bytes, numberOfWellKnown(key), field) ||
        (field.tag != Tag::TextUtf8 && field.tag != Tag::TextUtf16 && field.tag != Tag::NullText))
        return std::nullopt;
    return valueInField(field).value_or(QVariant()).toString();
}

QVariant HMIdentifierGraphEntry::valueOf(WellKnownKey key) const
{
    Field field;
    return findField(m_bytes, numberOfWellKnown(key), field) ? valueInField(field).value_or(QVariant()) : QVariant();
}

// Asked of every entry of a graph: a bool, as the mark nearly always is, is read from its tag.
bool HMIdentifierGraphEntry::isUnconfirmedAdd() const
{
    const char *end = m_bytes.constData() + m_bytes.size();
    const char *valueAt = valueUnderNumber(m_bytes, kUnconfirmedAddNumber);
    if (!valueAt || valueAt == end)
        return false;
    Field field;
    field.tag = Tag(quint8(*valueAt));
    if (field.tag == Tag::True || field.tag == Tag::False)
        return field.tag == Tag::True;
    Cursor value(QByteArrayView(valueAt + 1, end));
    return field.tag < Tag::End && readPayload(value, field, 0, Reading::Skimmed) &&
           valueInField(field).value_or(QVariant()).toBool();
}

std::optional<QString> HMIdentifierGraphEntry::keyText(quint32 keyNumber)
{
    return keyTable().textOf(keyNumber);
}

HMIdentifierGraphEntry::FlatReader::FlatReader(const HMIdentifierGraphEntry &entry)
    : m_at(entry.m_bytes.constData()), m_end(entry.m_bytes.constData() + entry.m_bytes.size())
{
    m_isWhole = m_at != m_end && *m_at == kFormat;
    if (m_isWhole)
        ++m_at;
}

HMIdentifierGraphEntry::FlatReader::FlatReader(const FlatPair &container)
    : m_at(container.bytes.data()), m_end(container.bytes.data() + container.bytes.size())
{
    const bool isList = container.kind == FlatPair::Kind::List;
    m_source = isList ? Source::List : Source::Dictionary;
    if (!isList && container.kind != FlatPair::Kind::Dictionary)
        return;
    Cursor cursor(container.bytes);
    const std::optional<quint64> count = cursor.varint();
    m_isWhole = count.has_value();
    m_itemsLeft = count.value_or(0);
    m_at = cursor.at();
}

bool HMIdentifierGraphEntry::FlatReader::next(FlatPair &pair)
{
    if (!m_isWhole || (m_source == Source::Entry ? m_at == m_end : m_itemsLeft == 0))
        return false;
    m_isWhole = m_source == Source::Entry ? nextPair(pair) : nextItem(pair);
    return m_isWhole;
}

// An entry's own bytes, whose values were checked when it was made, are skimmed.
bool HMIdentifierGraphEntry::FlatReader::nextPair(FlatPair &pair)
{
    Cursor cursor(QByteArrayView(m_at, m_end));
    Field field;
    if (!nextField(cursor, field, Reading::Skimmed) || !readFlatValue(field, pair))
        return false;
    m_at = cursor.at();
    pair.keyNumber = field.keyNumber;
    pair.inlineKey = field.keyNumber == kInlineKey ? field.inlineKey : QByteArrayView();
    return pair.keyNumber == kInlineKey || keyTable().textAt(pair.keyNumber);
}

// The items' bytes were checked when the container's field was read; they are read as carefully
// again all the same.
bool HMIdentifierGraphEntry::FlatReader::nextItem(FlatPair &pair)
{
    --m_itemsLeft;
    Cursor cursor(QByteArrayView(m_at, m_end));
    const std::optional<QByteArrayView> key = m_source == Source::List
                                                  ? std::optional(QByteArrayView())
                                                  : cursor.bytes(cursor.varint().value_or(quint64(-1)));
    const char *tagAt = cursor.at();
    const std::optional<quint8> tag = key ? cursor.byte() : std::nullopt;
    if (!tag || *tag >= quint8(Tag::End))
        return false;
    Field field;
    field.tag = Tag(*tag);
    const bool isWhole = readPayload(cursor, field, 1);
    field.packed = QByteArrayView(tagAt, cursor.at());
    if (!isWhole || !readFlatValue(field, pair))
        return false;
    m_at = cursor.at();
    pair.keyNumber = kInlineKey;
    pair.inlineKey = *key;
    return true;
}

std::optional<QVariant> HMIdentifierGraphEntry::valueOf(const FlatPair &pair)
{
    if (pair.kind == FlatPair::Kind::List || pair.kind == FlatPair::Kind::Dictionary) {
        Field field;
        field.tag = pair.kind == FlatPair::Kind::List ? Tag::List : Tag::Map;
        field.payload = pair.bytes;
        Cursor cursor(pair.bytes);
        return skipNested(cursor, field.tag, 1) && cursor.atEnd() ? nestedValueOf(field) : std::nullopt;
    }
    if (pair.kind != FlatPair::Kind::TextList && pair.kind != FlatPair::Kind::Other)
        return std::nullopt;
    Cursor cursor(pair.bytes);
    const std::optional<quint8> tag = cursor.byte();
    if (!tag || *tag >= quint8(Tag::End))
        return std::nullopt;
    Field field;
    field.tag = Tag(*tag);
    if (!readPayload(cursor, field, 0) || !cursor.atEnd())
        return std::nullopt;
    return valueInField(field);
}
