#pragma once

#include "app/zip/ZZArchiveEntry.h"
#include "app/zip/ZZHeaders.h"

// An entry of a loaded archive: its central and local headers in the archive's bytes as they were
// loaded, which the entry keeps alive. The load checked that both headers, the name, extra fields,
// data and descriptor lie inside those bytes; reading checks the rest (encryption headers, salt,
// verifier and authentication code against the data's length, declared sizes against what the data
// can hold, and the content against its size and crc-32). One thread at a time.
class ZZOldArchiveEntry final : public ZZArchiveEntry
{
public:
    enum EncryptionMode {
        None = 0,
        Standard = 1,
        Strong = 2,
        WinZipAES = 3,
    };

    ZZOldArchiveEntry(const QByteArray &contents, qsizetype centralOffset, qsizetype localOffset);

    // The method of the content: for WinZip AES the actual one from the AES extra field.
    quint16 compressionMethod() const;
    EncryptionMode encryptionMode() const { return m_encryptionMode; }

    bool compressed() const override { return compressionMethod() != 0; }
    bool encrypted() const override;
    QDateTime lastModified() const override;
    quint32 crc32() const override { return central().crc32(); }
    quint32 compressedSize() const override { return central().compressedSize(); }
    quint32 uncompressedSize() const override { return central().uncompressedSize(); }
    quint16 fileMode() const override;
    QByteArray rawFileName() const override { return central().fileName().toByteArray(); }
    ZZStringEncoding encoding() const override;
    QString fileNameWithEncoding(ZZStringEncoding encoding) const override;

    bool check(platform::PlatformError *error) const override;
    std::unique_ptr<ZZArchiveEntryWriter> newWriterCanSkipLocalFile(bool canSkipLocalFile) const override;

    std::unique_ptr<ZZInputStream> newStreamWithPassword(const QString &password,
                                                         platform::PlatformError *error) const override;
    std::optional<QByteArray> newDataWithPassword(const QString &password,
                                                  platform::PlatformError *error) const override;
    std::unique_ptr<ZZDataProvider> newDataProviderWithPassword(const QString &password,
                                                                platform::PlatformError *error) const override;

    // The encryption mode that a header's flag and extra fields declare.
    static EncryptionMode encryptionModeOf(quint16 flag, QByteArrayView extraFields);

private:
    // Where the content itself lies in the archive's bytes, without encryption header, salt, verifier
    // or authentication code.
    struct DataRange
    {
        qsizetype offset = 0;
        qsizetype length = 0;
    };

    ZZCentralFileHeader central() const;
    ZZLocalFileHeader local() const;
    bool checkEncryptionAndCompression(platform::PlatformError *error) const;
    bool hasDataDescriptorMatching(const ZZLocalFileHeader &local) const;
    std::optional<DataRange> fileData(platform::PlatformError *error) const;
    bool isPlausibleSize(const DataRange &range) const;
    std::unique_ptr<ZZInputStream> streamForData(const DataRange &range, const QString &password,
                                                 platform::PlatformError *error) const;
    std::unique_ptr<ZZInputStream> decryptingStream(const DataRange &range, const QString &password,
                                                    platform::PlatformError *error) const;
    std::optional<QByteArray> readWholeStream(ZZInputStream &stream, platform::PlatformError *error) const;
    bool isSoundContent(const QByteArray &content, platform::PlatformError *error) const;

    QByteArray m_contents;
    qsizetype m_centralOffset;
    qsizetype m_localOffset;
    EncryptionMode m_encryptionMode;
};
