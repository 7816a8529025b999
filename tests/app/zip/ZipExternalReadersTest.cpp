// What we write, read by other programs: unzip, Python's zipfile and 7z test every archive and get
// back every entry byte for byte.
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZDataConsumer.h"
#include "app/zip/ZZOutputStream.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using platform::PlatformError;
using namespace ziptest;

namespace {

using EntryList = QList<std::shared_ptr<ZZArchiveEntry>>;

struct Content
{
    QString name;
    QByteArray bytes;
};

QList<Content> contents()
{
    QList<Content> list;
    list.append({QStringLiteral("stored.txt"), sampleBytes(1000, 1)});
    for (const int level : {-1, 1, 2, 3, 4, 5, 6, 7, 8, 9})
        list.append({QStringLiteral("deflated%1.txt").arg(level), sampleBytes(20'000 + level, quint32(level + 10))});
    list.append({QStringLiteral("stream-deflated.txt"), sampleBytes(70'000, 3)});
    list.append({QStringLiteral("stream-stored.txt"), sampleBytes(5000, 4)});
    list.append({QStringLiteral("consumer.txt"), sampleBytes(40'000, 5)});
    list.append({QStringLiteral("empty.txt"), QByteArray()});
    list.append({QStringLiteral("folder/inner.txt"), "inside\n"});
    list.append({QStringLiteral("na\u00efve \u00fcn\u00efcode \u65e5\u672c.txt"), "utf-8 name\n"});
    list.append({QStringLiteral("big.bin"), sampleBytes(3'000'000, 6)});
    return list;
}

std::shared_ptr<ZZArchiveEntry> entryFor(const Content &content)
{
    const QByteArray bytes = content.bytes;
    const auto writeAll = [bytes](ZZOutputStream &stream, PlatformError *) {
        qint64 written = 0;
        while (written < bytes.size()) {
            const qint64 count = stream.write(reinterpret_cast<const uchar *>(bytes.constData()) + written,
                                              std::min<qint64>(4096, bytes.size() - written));
            if (count < 0)
                return false;
            written += count;
        }
        return true;
    };
    if (content.name.startsWith(QLatin1String("stream-"))) {
        return ZZArchiveEntry::archiveEntryWithFileName(content.name, content.name.contains(QLatin1String("deflated")),
                                                        ZZArchiveEntry::StreamBlock(writeAll));
    }
    if (content.name.startsWith(QLatin1String("consumer"))) {
        return ZZArchiveEntry::archiveEntryWithFileName(
            content.name, true, [bytes](ZZDataConsumer &consumer, PlatformError *) {
                return consumer.putBytes(bytes.constData(), std::size_t(bytes.size())) == std::size_t(bytes.size());
            });
    }
    const int level = content.name.startsWith(QLatin1String("deflated"))
                          ? content.name.mid(8).chopped(4).toInt()
                          : (content.name == QLatin1String("stored.txt") ? 0 : -1);
    return dataEntry(content.name, bytes, level);
}

bool writeArchive(const QString &path, bool isGrownOneByOne)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithURL(QUrl::fromLocalFile(path), createOptions(), &error);
    if (!archive)
        return false;
    EntryList all{ZZArchiveEntry::archiveEntryWithDirectoryName(QStringLiteral("folder/"))};
    for (const Content &content : contents())
        all.append(entryFor(content));
    if (!isGrownOneByOne)
        return archive->updateEntries(all, &error);
    for (const std::shared_ptr<ZZArchiveEntry> &entry : all) {
        if (!archive->updateEntries(archive->entries() + EntryList{entry}, &error))
            return false;
    }
    return true;
}

// Python's view of an archive: the test result, then one line per file: name, size, SHA-256.
const char kPythonReader[] = R"(
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    print(archive.testzip())
    for info in archive.infolist():
        if not info.is_dir():
            data = archive.read(info)
            print(info.filename, len(data), hashlib.sha256(data).hexdigest(), sep='\t')
)";

QString expectedPythonView()
{
    QStringList lines{QStringLiteral("None")};
    // The directory comes first; it is left out of the listing.
    for (const Content &content : contents()) {
        lines.append(content.name + u'\t' + QString::number(content.bytes.size()) + u'\t' +
                     QString::fromLatin1(QCryptographicHash::hash(content.bytes, QCryptographicHash::Sha256).toHex()));
    }
    return lines.join(u'\n') + u'\n';
}

} // namespace

TEST(ZipExternalReaders, ReadEveryArchiveWeWriteByteForByte)
{
    struct Row
    {
        const char *name;
        bool isGrownOneByOne;
    };
    for (const Row &row : {Row{"written at once", false}, Row{"grown one entry at a time", true}}) {
        SCOPED_TRACE(row.name);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("out.zip"));
        ASSERT_TRUE(writeArchive(path, row.isGrownOneByOne));

        const ProgramResult unzipTest = runProgram(QStringLiteral("unzip"), {QStringLiteral("-t"), path});
        EXPECT_EQ(unzipTest.exitCode, 0) << unzipTest.output.toStdString();
        const ProgramResult sevenZipTest = runProgram(QStringLiteral("7z"), {QStringLiteral("t"), path});
        EXPECT_EQ(sevenZipTest.exitCode, 0) << sevenZipTest.output.toStdString();
        const ProgramResult python = runPython(QString::fromLatin1(kPythonReader), {path});
        EXPECT_EQ(python.exitCode, 0);
        EXPECT_EQ(QString::fromUtf8(python.output).toStdString(), expectedPythonView().toStdString());

        const QString extracted = folder.filePath(QStringLiteral("extracted"));
        const ProgramResult unzip =
            runProgram(QStringLiteral("unzip"), {QStringLiteral("-q"), path, QStringLiteral("-d"), extracted});
        ASSERT_EQ(unzip.exitCode, 0) << unzip.output.toStdString();
        for (const Content &content : contents()) {
            SCOPED_TRACE(content.name.toStdString());
            EXPECT_EQ(readFile(extracted + u'/' + content.name), content.bytes);
        }
        // Mode 0100644 for files and 040755 for the folder, as unzip restores them.
        EXPECT_EQ(QFileInfo(extracted + QStringLiteral("/stored.txt")).permissions() & 0x7777,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser |
                      QFileDevice::ReadGroup | QFileDevice::ReadOther);
        EXPECT_TRUE(QFileInfo(extracted + QStringLiteral("/folder")).isDir());
    }
}
