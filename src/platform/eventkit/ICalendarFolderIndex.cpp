#include "platform/eventkit/ICalendarFolderIndex.h"

#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"

#include <QFileInfo>
#include <QUrl>

namespace platform::icalindex {

namespace {

const QByteArray kHeader = "HMCALINDEX 3";
const QByteArray kTrailer = "END ";
constexpr int kFieldCount = 12;
// An entry per item file; a folder of the largest size the store reads stays well within this.
constexpr qint64 kMaxIndexBytes = 256 * 1024 * 1024;
constexpr qsizetype kMaxEntries = 200000;

QByteArray encodeList(const QStringList &texts)
{
    QByteArrayList parts;
    for (const QString &text : texts)
        parts.append(QUrl::toPercentEncoding(text));
    return parts.join(',');
}

QStringList decodeList(const QByteArray &field)
{
    QStringList texts;
    if (field.isEmpty())
        return texts;
    for (const QByteArray &part : field.split(','))
        texts.append(QString::fromUtf8(QByteArray::fromPercentEncoding(part)));
    return texts;
}

// FNV-1a over the line: a byte changed by a damaged disk or by hand makes the line, and with it the
// whole index, read as damaged.
QByteArray checksumOf(const QByteArray &text)
{
    quint64 hash = 14695981039346656037ull;
    for (const char byte : text) {
        hash ^= quint8(byte);
        hash *= 1099511628211ull;
    }
    return QByteArray::number(hash, 16);
}

QByteArray lineFor(const ICalendarFile &file)
{
    const QByteArray kinds = QByteArray(file.hasEvents ? "E" : "") + (file.hasTodos ? "T" : "") + "-";
    const QByteArray fields = QUrl::toPercentEncoding(file.fileName) + '\t' + QByteArray::number(file.size) + '\t' +
                              QByteArray::number(file.modifiedNs) + '\t' + QByteArray::number(file.inode) + '\t' +
                              QByteArray::number(file.changedNs) + '\t' + kinds + '\t' + encodeList(file.uids) + '\t' +
                              encodeList(file.titles) + '\t' + QByteArray::number(file.reachStart) + '\t' +
                              QByteArray::number(file.reachEnd) + '\t' + file.listedEvent;
    return fields + '\t' + checksumOf(fields);
}

bool readNumber(const QByteArray &field, qint64 &value)
{
    bool isNumber = false;
    value = field.toLongLong(&isNumber);
    return isNumber && value >= 0;
}

bool readReach(const QByteArray &startField, const QByteArray &endField, ICalendarFile &file)
{
    bool isStartRead = false;
    bool isEndRead = false;
    file.reachStart = startField.toLongLong(&isStartRead);
    file.reachEnd = endField.toLongLong(&isEndRead);
    return isStartRead && isEndRead;
}

// One entry, or null when the line is not one of ours.
std::shared_ptr<ICalendarFile> entryFromLine(const QByteArray &line)
{
    const QByteArrayList fields = line.split('\t');
    if (fields.size() != kFieldCount || checksumOf(line.left(line.lastIndexOf('\t'))) != fields.last())
        return nullptr;
    auto file = std::make_shared<ICalendarFile>();
    file->fileName = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[0]));
    const bool numbersRead = readNumber(fields[1], file->size) && readNumber(fields[2], file->modifiedNs) &&
                             readNumber(fields[3], file->inode) && readNumber(fields[4], file->changedNs) &&
                             readReach(fields[8], fields[9], *file);
    const bool isSafeName = !file->fileName.isEmpty() && !file->fileName.contains(QLatin1Char('/'));
    if (!numbersRead || !isSafeName || !fields[5].endsWith('-'))
        return nullptr;
    file->hasEvents = fields[5].contains('E');
    file->hasTodos = fields[5].contains('T');
    file->uids = decodeList(fields[6]);
    file->titles = decodeList(fields[7]);
    // Checked whole when a listing reads it; one too long is no text of ours.
    if (fields[10].size() > icallisted::kMaxListedBytes)
        return nullptr;
    file->listedEvent = fields[10];
    if (file->uids.isEmpty())
        return nullptr;
    file->parses = true;
    file->needsParsing = true;
    return file;
}

} // namespace

QString indexPathFor(const QString &folderPath)
{
    const QFileInfo folder(folderPath);
    return folder.path() + QStringLiteral("/.") + folder.fileName() + QStringLiteral(".hmindex");
}

// A whole index ends with a line counting its entries: one cut short by a crash or a full disk
// never passes for whole.
std::optional<QHash<QString, std::shared_ptr<ICalendarFile>>> loadIndex(const QString &folderPath)
{
    QHash<QString, std::shared_ptr<ICalendarFile>> files;
    const Result<QByteArray> bytes = readWholeFile(indexPathFor(folderPath), kMaxIndexBytes);
    if (!bytes)
        return std::nullopt;
    QByteArrayList lines = bytes->split('\n');
    const qsizetype entryCount = lines.size() - 3;
    const bool isWhole = lines.size() >= 3 && lines.first() == kHeader && lines.last().isEmpty() &&
                         lines[lines.size() - 2] == kTrailer + QByteArray::number(entryCount);
    if (!isWhole || entryCount > kMaxEntries) {
        consoleLog(QStringLiteral("%1: not a whole index of ours; it is made again").arg(indexPathFor(folderPath)));
        return std::nullopt;
    }
    for (qsizetype index = 1; index <= entryCount; ++index) {
        std::shared_ptr<ICalendarFile> file = entryFromLine(lines[index]);
        if (!file) {
            consoleLog(QStringLiteral("%1: line %2 is damaged; the index is made again")
                           .arg(indexPathFor(folderPath))
                           .arg(index + 1));
            return std::nullopt;
        }
        files.insert(file->fileName, std::move(file));
    }
    return files;
}

Status saveIndex(const QString &folderPath, const QHash<QString, std::shared_ptr<ICalendarFile>> &files)
{
    QStringList names = files.keys();
    names.sort();
    QByteArrayList lines{kHeader};
    for (const QString &name : std::as_const(names)) {
        const ICalendarFile &file = *files.value(name);
        if (file.parses)
            lines.append(lineFor(file));
    }
    lines.append(kTrailer + QByteArray::number(lines.size() - 1));
    return writeFileAtomically(indexPathFor(folderPath), lines.join('\n') + '\n', FilePermissions::OwnerOnly);
}

} // namespace platform::icalindex
