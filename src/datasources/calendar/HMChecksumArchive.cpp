#include "datasources/calendar/HMChecksumArchive.h"

#include "platform/foundation/Crc32.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The layout of the archive's pieces, written to any sink with an append(QByteArrayView): the bytes
// of an archive and the CRC taken piece by piece (GatheredCrc) both come from these.
template <typename Sink, typename Number> void putNumber(Sink &sink, Number number)
{
    const Number stored = qToBigEndian(number);
    sink.append(QByteArrayView(reinterpret_cast<const char *>(&stored), qsizetype(sizeof(stored))));
}

// A date entry: 'D', then its milliseconds since 1970.
template <typename Sink> void putMillisecondsEntry(Sink &sink, qint64 milliseconds)
{
    sink.append(QByteArrayView("D", 1));
    putNumber(sink, milliseconds);
}

// A text entry of its UTF-8 bytes: 'S', the length, the bytes.
template <typename Sink> void putUtf8Entry(Sink &sink, QByteArrayView utf8)
{
    sink.append(QByteArrayView("S", 1));
    putNumber(sink, quint32(utf8.size()));
    sink.append(utf8);
}

// A text entry of a text not yet UTF-8. An ASCII text, as rules and revisions are, is narrowed a
// stack buffer at a time; any other is converted as toUtf8 does, whose handling of lone surrogates
// the stored checksums were taken with. The units are told ASCII by the or of them all, a loop
// without an exit that the compiler makes wide (a reduction through std::bit_or<> it did not).
template <typename Sink> void putTextEntry(Sink &sink, QStringView text)
{
    const char16_t *const utf16 = text.utf16();
    quint32 units = 0;
    for (qsizetype at = 0; at < text.size(); ++at)
        units |= utf16[at];
    if (units >= 0x80) {
        putUtf8Entry(sink, text.toUtf8());
        return;
    }
    sink.append(QByteArrayView("S", 1));
    putNumber(sink, quint32(text.size()));
    std::array<char, 256> narrowed;
    for (qsizetype at = 0; at < text.size(); at += qsizetype(narrowed.size())) {
        const qsizetype part = std::min(text.size() - at, qsizetype(narrowed.size()));
        for (qsizetype unit = 0; unit < part; ++unit)
            narrowed[std::size_t(unit)] = char(utf16[at + unit]);
        sink.append(QByteArrayView(narrowed.data(), part));
    }
}

} // namespace

HMChecksumArchiveWriter::HMChecksumArchiveWriter(const QByteArray &magic) : m_bytes(magic), m_countAt(magic.size())
{
    m_bytes.reserve(magic.size() + 128);
    putNumber(m_bytes, quint32(0));
}

void HMChecksumArchiveWriter::appendDate(const QDateTime &date)
{
    appendMilliseconds(date.toMSecsSinceEpoch());
}

void HMChecksumArchiveWriter::appendMilliseconds(qint64 milliseconds)
{
    putMillisecondsEntry(m_bytes, milliseconds);
    ++m_count;
}

void HMChecksumArchiveWriter::appendText(const QString &text)
{
    putTextEntry(m_bytes, text);
    ++m_count;
}

void HMChecksumArchiveWriter::appendUtf8(QByteArrayView utf8)
{
    putUtf8Entry(m_bytes, utf8);
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

// Hands the pieces of an event's checksum archive, in order, to the sink: the magic, the entry
// count, then each entry; its texts go to putText(sink, text). The archive and its CRC taken piece
// by piece both come from here.
template <typename Text, typename Sink, typename PutText>
void visitEventChecksumPieces(std::optional<qint64> start, std::optional<qint64> end, const std::optional<Text> &title,
                              const std::optional<Text> &notes, Sink &sink, const PutText &putText)
{
    const bool hasTimes = start && end;
    const quint32 count = hasTimes ? 2 + (title ? 1 : 0) + (title && notes ? 1 : 0) : (start ? 1 : 0);
    sink.append(QByteArrayView("HMEV", 4));
    putNumber(sink, count);
    if (start)
        putMillisecondsEntry(sink, *start);
    if (hasTimes)
        putMillisecondsEntry(sink, *end);
    if (hasTimes && title)
        putText(sink, *title);
    if (hasTimes && title && notes)
        putText(sink, *notes);
}

} // namespace

QByteArray eventChecksumArchive(std::optional<qint64> start, std::optional<qint64> end,
                                const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    QByteArray archive;
    archive.reserve(40 + (title ? title->size() : 0) + (notes ? notes->size() : 0));
    visitEventChecksumPieces(start, end, title, notes, archive, putUtf8Entry<QByteArray>);
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

} // namespace

quint32 eventChecksumCrc(std::optional<qint64> start, std::optional<qint64> end,
                         const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    GatheredCrc crc;
    visitEventChecksumPieces(start, end, title, notes, crc, putUtf8Entry<GatheredCrc>);
    return crc.finished();
}

quint32 eventChecksumCrcOfTexts(std::optional<qint64> start, std::optional<qint64> end,
                                std::optional<QStringView> title, std::optional<QStringView> notes)
{
    GatheredCrc crc;
    visitEventChecksumPieces(start, end, title, notes, crc, putTextEntry<GatheredCrc>);
    return crc.finished();
}

quint32 seriesEntriesCrcContinued(quint32 crc, QStringView rule, QStringView revision, std::span<const qint64> detached)
{
    GatheredCrc gathered(crc);
    gathered.append(QByteArrayView("HMSE", 4));
    putNumber(gathered, quint32(2 + detached.size()));
    putTextEntry(gathered, rule);
    putTextEntry(gathered, revision);
    for (const qint64 milliseconds : detached)
        putMillisecondsEntry(gathered, milliseconds);
    return gathered.finished();
}

quint32 crc32OfBytes(const QByteArray &bytes)
{
    return platform::crc32Continued(0, bytes);
}
