#include "datasources/calendar/HMChecksumArchive.h"

#include <QtEndian>

#include <zlib.h>

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

// Hands the pieces of an event's checksum archive, in order, to append(QByteArrayView): the magic,
// the entry count, then each entry's type byte, length and bytes, as HMChecksumArchiveWriter lays
// them out. The archive and its CRC taken piece by piece both come from here.
template <typename Append>
void visitEventChecksumPieces(std::optional<qint64> start, std::optional<qint64> end,
                              const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes,
                              const Append &append)
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
    const auto appendUtf8 = [&](QByteArrayView utf8) {
        append(QByteArrayView("S", 1));
        appendNumber(quint32(utf8.size()));
        append(utf8);
    };
    append(QByteArrayView("HMEV", 4));
    appendNumber(count);
    if (start)
        appendMilliseconds(*start);
    if (hasTimes)
        appendMilliseconds(*end);
    if (hasTimes && title)
        appendUtf8(*title);
    if (hasTimes && title && notes)
        appendUtf8(*notes);
}

} // namespace

QByteArray eventChecksumArchive(std::optional<qint64> start, std::optional<qint64> end,
                                const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    QByteArray archive;
    archive.reserve(40 + (title ? title->size() : 0) + (notes ? notes->size() : 0));
    visitEventChecksumPieces(start, end, title, notes, [&archive](QByteArrayView piece) { archive.append(piece); });
    return archive;
}

quint32 eventChecksumCrc(std::optional<qint64> start, std::optional<qint64> end,
                         const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    uLong crc = ::crc32(0L, Z_NULL, 0);
    visitEventChecksumPieces(start, end, title, notes, [&crc](QByteArrayView piece) {
        crc = ::crc32(crc, reinterpret_cast<const Bytef *>(piece.data()), uInt(piece.size()));
    });
    return quint32(crc);
}

quint32 crc32OfBytes(const QByteArray &bytes)
{
    return quint32(crc32(0L, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}
