#include "datasources/calendar/HMChecksumArchive.h"

#include "platform/foundation/Crc32.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <numeric>

namespace {

template <typename Number>
void appendBigEndian(QByteArray &bytes, Number number)
{
    const Number stored = qToBigEndian(number);
    bytes.append(reinterpret_cast<const char *>(&stored), qsizetype(sizeof(stored)));
}

} // namespace

HMChecksumArchiveWriter::HMChecksumArchiveWriter(const QByteArray &magic) : m_bytes(magic), m_countAt(magic.size())
{
    m_bytes.reserve(magic.size() + 128);
    appendBigEndian(m_bytes, quint32(0));
}

void HMChecksumArchiveWriter::appendDate(const QDateTime &date)
{
    appendMilliseconds(date.toMSecsSinceEpoch());
}

void HMChecksumArchiveWriter::appendMilliseconds(qint64 milliseconds)
{
    m_bytes.append('D');
    appendBigEndian(m_bytes, milliseconds);
    ++m_count;
}

void HMChecksumArchiveWriter::appendText(const QString &text)
{
    appendUtf8(text.toUtf8());
}

void HMChecksumArchiveWriter::appendUtf8(QByteArrayView utf8)
{
    m_bytes.append('S');
    appendBigEndian(m_bytes, quint32(utf8.size()));
    m_bytes.append(utf8);
    ++m_count;
}

QByteArray HMChecksumArchiveWriter::finished()
{
    const quint32 count = qToBigEndian(m_count);
    m_bytes.replace(m_countAt, qsizetype(sizeof(count)), reinterpret_cast<const char *>(&count), qsizetype(sizeof(count)));
    return m_bytes;
}

QByteArray checksumArchiveOfList(const QByteArray &magic, const QVariantList &entries)
{
    HMChecksumArchiveWriter archive(magic);
    for (const QVariant &entry : entries) {
        if (entry.typeId() == QMetaType::QDateTime)
            archive.appendDate(entry.toDateTime());
        else if (entry.typeId() == QMetaType::QString)
            archive.appendText(entry.toString());
    }
    return archive.finished();
}

namespace {

// A text entry of its UTF-8 bytes, handed to append(QByteArrayView): 'S', the length, the bytes.
template <typename Append> void appendUtf8Entry(const Append &append, QByteArrayView utf8)
{
    const quint32 size = qToBigEndian(quint32(utf8.size()));
    append(QByteArrayView("S", 1));
    append(QByteArrayView(reinterpret_cast<const char *>(&size), qsizetype(sizeof(size))));
    append(utf8);
}

// Hands the pieces of an event's checksum archive, in order, to append(QByteArrayView): the magic,
// the entry count, then each entry's type byte, length and bytes, as HMChecksumArchiveWriter lays
// them out; its texts go to appendText, which hands on their entries. The archive and its CRC taken
// piece by piece both come from here.
template <typename Text, typename Append, typename AppendText>
void visitEventChecksumPieces(std::optional<qint64> start, std::optional<qint64> end, const std::optional<Text> &title,
                              const std::optional<Text> &notes, const Append &append, const AppendText &appendText)
{
    const bool hasTimes = start && end;
    const quint32 count = hasTimes ? 2 + (title ? 1 : 0) + (title && notes ? 1 : 0) : (start ? 1 : 0);
    const auto appendNumber = [&append](auto number) {
        const auto stored = qToBigEndian(number);
        append(QByteArrayView(reinterpret_cast<const char *>(&stored), qsizetype(sizeof(stored))));
    };
    const auto appendMilliseconds = [&](qint64 milliseconds) {
        append(QByteArrayView("D", 1));
        appendNumber(milliseconds);
    };
    append(QByteArrayView("HMEV", 4));
    appendNumber(count);
    if (start)
        appendMilliseconds(*start);
    if (hasTimes)
        appendMilliseconds(*end);
    if (hasTimes && title)
        appendText(*title);
    if (hasTimes && title && notes)
        appendText(*notes);
}

} // namespace

QByteArray eventChecksumArchive(std::optional<qint64> start, std::optional<qint64> end,
                                const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    QByteArray archive;
    archive.reserve(40 + (title ? title->size() : 0) + (notes ? notes->size() : 0));
    const auto append = [&archive](QByteArrayView piece) { archive.append(piece); };
    visitEventChecksumPieces(start, end, title, notes, append,
                             [&append](QByteArrayView utf8) { appendUtf8Entry(append, utf8); });
    return archive;
}

namespace {

// Gathers the bytes it is handed into a buffer and takes the CRC of each buffer full: the pieces of
// an archive are mostly a few bytes each. A piece longer than the buffer is taken on its own.
class GatheredCrc final
{
public:
    explicit GatheredCrc(quint32 crc = 0) : m_crc(crc) {}

    void append(QByteArrayView piece)
    {
        if (m_used + piece.size() > qsizetype(m_buffer.size()))
            flush();
        if (piece.size() > qsizetype(m_buffer.size())) {
            m_crc = platform::crc32Continued(m_crc, piece);
            return;
        }
        std::memcpy(m_buffer.data() + m_used, piece.data(), size_t(piece.size()));
        m_used += piece.size();
    }

    quint32 finished()
    {
        flush();
        return m_crc;
    }

private:
    void flush()
    {
        m_crc = platform::crc32Continued(m_crc, QByteArrayView(m_buffer.data(), m_used));
        m_used = 0;
    }

    std::array<char, 512> m_buffer;
    qsizetype m_used = 0;
    quint32 m_crc = 0;
};

template <typename Number> void appendNumberTo(GatheredCrc &crc, Number number)
{
    const Number stored = qToBigEndian(number);
    crc.append(QByteArrayView(reinterpret_cast<const char *>(&stored), qsizetype(sizeof(stored))));
}

// A text entry as HMChecksumArchiveWriter::appendText lays it out. An ASCII text, as rules and
// revisions are, is narrowed a stack buffer at a time; any other is converted as toUtf8 does, whose
// handling of lone surrogates the stored checksums were taken with. The units are told ASCII by
// the or of them all, a loop without an exit that the compiler makes wide.
void appendTextTo(GatheredCrc &crc, QStringView text)
{
    const char16_t units = std::transform_reduce(text.utf16(), text.utf16() + text.size(), char16_t(0),
                                                 std::bit_or<>(), [](char16_t unit) { return unit; });
    const bool isAscii = units < 0x80;
    const QByteArray converted = isAscii ? QByteArray() : text.toUtf8();
    crc.append(QByteArrayView("S", 1));
    appendNumberTo(crc, quint32(isAscii ? text.size() : converted.size()));
    if (!isAscii) {
        crc.append(converted);
        return;
    }
    std::array<char, 256> narrowed;
    for (qsizetype at = 0; at < text.size(); at += qsizetype(narrowed.size())) {
        const QStringView part = text.sliced(at, std::min(text.size() - at, qsizetype(narrowed.size())));
        std::transform(part.begin(), part.end(), narrowed.begin(), [](QChar unit) { return char(unit.unicode()); });
        crc.append(QByteArrayView(narrowed.data(), part.size()));
    }
}

} // namespace

quint32 eventChecksumCrc(std::optional<qint64> start, std::optional<qint64> end,
                         const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    GatheredCrc crc;
    const auto append = [&crc](QByteArrayView piece) { crc.append(piece); };
    visitEventChecksumPieces(start, end, title, notes, append,
                             [&append](QByteArrayView utf8) { appendUtf8Entry(append, utf8); });
    return crc.finished();
}

quint32 eventChecksumCrcOfTexts(std::optional<qint64> start, std::optional<qint64> end,
                                std::optional<QStringView> title, std::optional<QStringView> notes)
{
    GatheredCrc crc;
    visitEventChecksumPieces(start, end, title, notes, [&crc](QByteArrayView piece) { crc.append(piece); },
                             [&crc](QStringView text) { appendTextTo(crc, text); });
    return crc.finished();
}

quint32 seriesEntriesCrcContinued(quint32 crc, QStringView rule, QStringView revision, std::span<const qint64> detached)
{
    GatheredCrc gathered(crc);
    gathered.append(QByteArrayView("HMSE", 4));
    appendNumberTo(gathered, quint32(2 + detached.size()));
    appendTextTo(gathered, rule);
    appendTextTo(gathered, revision);
    for (const qint64 milliseconds : detached) {
        gathered.append(QByteArrayView("D", 1));
        appendNumberTo(gathered, milliseconds);
    }
    return gathered.finished();
}

quint32 crc32OfBytes(const QByteArray &bytes)
{
    return platform::crc32Continued(0, bytes);
}
