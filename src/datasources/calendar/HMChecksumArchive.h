#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariantList>

#include <optional>
#include <span>

// The bytes the change checksums of events and reminders are taken over, in one fixed serialisation
// of our own, so that equal lists give equal bytes in every run: the four-byte magic, the entry count
// (4 bytes, big-endian), then per entry a type byte ('D' a date as 8 bytes of milliseconds since 1970,
// 'S' a text as its 4-byte UTF-8 length and the UTF-8 bytes). Entries of other types are left out.
QByteArray checksumArchiveOfList(const QByteArray &magic, const QVariantList &entries);

// Writes the same bytes entry by entry, for callers that hold the values themselves.
class HMChecksumArchiveWriter final
{
public:
    explicit HMChecksumArchiveWriter(const QByteArray &magic);
    void appendDate(const QDateTime &date);
    void appendMilliseconds(qint64 milliseconds);
    void appendText(const QString &text);
    void appendUtf8(QByteArrayView utf8);
    // The bytes, their entry count filled in.
    QByteArray finished();

private:
    QByteArray m_bytes;
    qsizetype m_countAt = 0;
    quint32 m_count = 0;
};

// The bytes an event's change checksum is taken over: the list [start, end, title, notes], dates in
// milliseconds since 1970 and texts as UTF-8, ended at its first missing value, under "HMEV".
QByteArray eventChecksumArchive(std::optional<qint64> start, std::optional<qint64> end,
                                const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes);

// crc32OfBytes(eventChecksumArchive(...)), taken over the archive's pieces as they are made, gathered
// a buffer full at a time on the stack: no archive is built.
quint32 eventChecksumCrc(std::optional<qint64> start, std::optional<qint64> end,
                         const std::optional<QByteArray> &title, const std::optional<QByteArray> &notes);
// The same of texts not yet UTF-8, taken without a UTF-8 copy of an ASCII one.
quint32 eventChecksumCrcOfTexts(std::optional<qint64> start, std::optional<qint64> end,
                                std::optional<QStringView> title, std::optional<QStringView> notes);

// crc32Continued(crc, checksumArchiveOfList("HMSE", [rule, revision, each detached date])): the
// entries of a series' checksum after its event's, taken piece by piece as eventChecksumCrc takes its.
quint32 seriesEntriesCrcContinued(quint32 crc, QStringView rule, QStringView revision, std::span<const qint64> detached);

// zlib's CRC-32 (initial value 0) of the bytes.
quint32 crc32OfBytes(const QByteArray &bytes);
