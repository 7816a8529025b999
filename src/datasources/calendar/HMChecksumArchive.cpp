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

QByteArray eventChecksumArchive(std::optional<qint64> start, std::optional<qint64> end,
                                const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes)
{
    HMChecksumArchiveWriter archive("HMEV");
    if (start && end) {
        archive.appendMilliseconds(*start);
        archive.appendMilliseconds(*end);
        if (title)
            archive.appendUtf8(*title);
        if (title && notes)
            archive.appendUtf8(*notes);
    } else if (start) {
        archive.appendMilliseconds(*start);
    }
    return archive.finished();
}

quint32 crc32OfBytes(const QByteArray &bytes)
{
    return quint32(crc32(0L, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}
