#include "platform/eventkit/ICalendarFolderIndex.h"

#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"

#include <QFileInfo>
#include <QUrl>

#include <array>
#include <optional>

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

// Percent-decoded UTF-8; only a text that holds an escape is copied to be decoded.
QString decodeText(QByteArrayView field)
{
    if (!field.contains('%'))
        return QString::fromUtf8(field);
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field.toByteArray()));
}

QStringList decodeList(QByteArrayView field)
{
    QStringList texts;
    for (qsizetype start = 0; !field.isEmpty() && start <= field.size();) {
        const qsizetype comma = field.indexOf(',', start);
        const qsizetype end = comma < 0 ? field.size() : comma;
        texts.append(decodeText(field.sliced(start, end - start)));
        start = end + 1;
    }
    return texts;
}

// FNV-1a over the line: a byte changed by a damaged disk or by hand makes the line, and with it the
// whole index, read as damaged.
QByteArray checksumOf(QByteArrayView text)
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

bool readNumber(QByteArrayView field, qint64 &value)
{
    bool isNumber = false;
    value = field.toLongLong(&isNumber);
    return isNumber && value >= 0;
}

bool readReach(QByteArrayView startField, QByteArrayView endField, ICalendarFile &file)
{
    bool isStartRead = false;
    bool isEndRead = false;
    file.reachStart = startField.toLongLong(&isStartRead);
    file.reachEnd = endField.toLongLong(&isEndRead);
    return isStartRead && isEndRead;
}

// The tab-separated fields of a line, read where they stand; nothing when there are not as many as
// an entry has.
std::optional<std::array<QByteArrayView, kFieldCount>> fieldsOf(QByteArrayView line)
{
    if (line.count('\t') != kFieldCount - 1)
        return std::nullopt;
    std::array<QByteArrayView, kFieldCount> fields;
    qsizetype start = 0;
    for (QByteArrayView &field : fields) {
        const qsizetype tab = line.indexOf('\t', start);
        const qsizetype end = tab < 0 ? line.size() : tab;
        field = line.sliced(start, end - start);
        start = end + 1;
    }
    return fields;
}

// One entry, or null when the line is not one of ours.
std::shared_ptr<ICalendarFile> entryFromLine(QByteArrayView line)
{
    const auto fields = fieldsOf(line);
    if (!fields || checksumOf(line.first(line.lastIndexOf('\t'))) != fields->back())
        return nullptr;
    const auto &field = *fields;
    auto file = std::make_shared<ICalendarFile>();
    file->fileName = decodeText(field[0]);
    const bool numbersRead = readNumber(field[1], file->size) && readNumber(field[2], file->modifiedNs) &&
                             readNumber(field[3], file->inode) && readNumber(field[4], file->changedNs) &&
                             readReach(field[8], field[9], *file);
    const bool isSafeName = !file->fileName.isEmpty() && !file->fileName.contains(QLatin1Char('/'));
    // A listed text is checked whole when a listing reads it; one too long is no text of ours.
    if (!numbersRead || !isSafeName || !field[5].endsWith('-') || field[6].isEmpty() ||
        field[10].size() > icallisted::kMaxListedBytes)
        return nullptr;
    file->hasEvents = field[5].contains('E');
    file->hasTodos = field[5].contains('T');
    file->uids = decodeList(field[6]);
    file->titles = decodeList(field[7]);
    file->listedEvent = field[10].toByteArray();
    file->parses = true;
    file->needsParsing = true;
    return file;
}

// The number of entries of an index that is whole: the header, the entries, and a trailer counting
// them, every line ended. One cut short by a crash or a full disk never passes for whole.
std::optional<qsizetype> wholeEntryCount(QByteArrayView text)
{
    const qsizetype bodyStart = kHeader.size() + 1;
    if (!text.startsWith(kHeader + '\n') || !text.endsWith('\n'))
        return std::nullopt;
    const qsizetype trailerStart = text.lastIndexOf('\n', text.size() - 2) + 1;
    if (trailerStart < bodyStart)
        return std::nullopt;
    const qsizetype count = text.sliced(bodyStart, trailerStart - bodyStart).count('\n');
    const QByteArrayView trailer = text.sliced(trailerStart, text.size() - 1 - trailerStart);
    if (trailer != kTrailer + QByteArray::number(count) || count > kMaxEntries)
        return std::nullopt;
    return count;
}

} // namespace

QString indexPathFor(const QString &folderPath)
{
    const QFileInfo folder(folderPath);
    return folder.path() + QStringLiteral("/.") + folder.fileName() + QStringLiteral(".hmindex");
}

// Read in place: the entries are made from the file's text as it stands, with no copy of its lines.
std::optional<QHash<QString, std::shared_ptr<ICalendarFile>>> loadIndex(const QString &folderPath)
{
    const Result<QByteArray> bytes = readWholeFile(indexPathFor(folderPath), kMaxIndexBytes);
    if (!bytes)
        return std::nullopt;
    const QByteArrayView text(*bytes);
    const std::optional<qsizetype> entryCount = wholeEntryCount(text);
    if (!entryCount) {
        consoleLog(QStringLiteral("%1: not a whole index of ours; it is made again").arg(indexPathFor(folderPath)));
        return std::nullopt;
    }
    QHash<QString, std::shared_ptr<ICalendarFile>> files;
    files.reserve(*entryCount);
    qsizetype lineStart = kHeader.size() + 1;
    for (qsizetype index = 1; index <= *entryCount; ++index) {
        const qsizetype lineEnd = text.indexOf('\n', lineStart);
        std::shared_ptr<ICalendarFile> file = entryFromLine(text.sliced(lineStart, lineEnd - lineStart));
        if (!file) {
            consoleLog(QStringLiteral("%1: line %2 is damaged; the index is made again")
                           .arg(indexPathFor(folderPath))
                           .arg(index + 1));
            return std::nullopt;
        }
        files.insert(file->fileName, std::move(file));
        lineStart = lineEnd + 1;
    }
    return files;
}

// The text is made in one buffer, line by line: no list of every line beside it.
Status saveIndex(const QString &folderPath, const QHash<QString, std::shared_ptr<ICalendarFile>> &files)
{
    QStringList names = files.keys();
    names.sort();
    QByteArray text = kHeader + '\n';
    text.reserve(files.size() * 384);
    qsizetype entryCount = 0;
    for (const QString &name : std::as_const(names)) {
        const ICalendarFile &file = *files.value(name);
        if (!file.parses)
            continue;
        text += lineFor(file) + '\n';
        ++entryCount;
    }
    text += kTrailer + QByteArray::number(entryCount) + '\n';
    return writeFileAtomically(indexPathFor(folderPath), text, FilePermissions::OwnerOnly);
}

} // namespace platform::icalindex
