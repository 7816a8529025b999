#include "sync/HMIdentifierGraphJournal.h"

#include "platform/foundation/Crc32.h"
#include "platform/foundation/FileHandle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraphArchive.h"

#include <QCryptographicHash>
#include <QStringList>
#include <QVariantList>

#include <openssl/evp.h>

#include <algorithm>
#include <mutex>

using platform::Error;
using platform::ErrorCode;

const QString HMIdentifierGraphJournal::kRemovedKey = QStringLiteral("removed");
const QString HMIdentifierGraphJournal::kReplacedAtKey = QStringLiteral("replacedAt");
const QString HMIdentifierGraphJournal::kReplacementsKey = QStringLiteral("replacements");
const QString HMIdentifierGraphJournal::kAppendedKey = QStringLiteral("appended");
const QString HMIdentifierGraphJournal::kLastSyncDateKey = QStringLiteral("lastSyncDate");

namespace {

using Journal = HMIdentifierGraphJournal;
using Document = platform::binaryplist::Document;

const QByteArray kHeaderStart = QByteArrayLiteral("HMIdentifierGraphJournal 1 ");
// A line holds one page's changes; pages hold at most a few thousand records.
constexpr qsizetype kMaxLineBytes = 64 * 1024 * 1024;

std::mutex s_hookMutex;
std::function<void(HMIdentifierGraphJournal::Step)> s_stepHook;

// A line's check: the first 8 bytes of the payload's SHA-1 in lowercase hexadecimal.
constexpr qsizetype kCheckBytes = 16;

// Qt's digest rather than the crypto library's: the library's first digest in a process loads its
// providers, which costs a run that writes or reads one short line more than the line itself.
void writeCheck(QByteArrayView payload, char *out)
{
    const QByteArray digest = QCryptographicHash::hash(payload, QCryptographicHash::Sha1);
    constexpr char kHexDigits[] = "0123456789abcdef";
    for (qsizetype index = 0; index < kCheckBytes / 2; ++index) {
        *out++ = kHexDigits[uchar(digest[index]) >> 4];
        *out++ = kHexDigits[uchar(digest[index]) & 0x0F];
    }
}

QByteArray checkOf(QByteArrayView payload)
{
    QByteArray check(kCheckBytes, Qt::Uninitialized);
    writeCheck(payload, check.data());
    return check;
}

// "<check> <base64 of the payload>\n", made in one buffer of its final size.
QByteArray lineOf(QByteArrayView payload)
{
    // Pieces of a whole number of 3-byte groups, each short enough for the encoder's int.
    constexpr qsizetype kPieceBytes = qsizetype(3) << 28;
    const qsizetype encodedBytes = (payload.size() + 2) / 3 * 4;
    QByteArray line(kCheckBytes + 1 + encodedBytes + 1, Qt::Uninitialized);
    writeCheck(payload, line.data());
    line[kCheckBytes] = ' ';
    char *encoded = line.data() + kCheckBytes + 1;
    // Each piece's text ends with a NUL, which the next piece, or the newline, overwrites.
    for (qsizetype start = 0; start < payload.size(); start += kPieceBytes) {
        const qsizetype count = std::min(kPieceBytes, payload.size() - start);
        encoded += EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded),
                                   reinterpret_cast<const unsigned char *>(payload.data() + start), int(count));
    }
    *encoded = '\n';
    return line;
}

QVariantList positionsList(const std::vector<qsizetype> &positions)
{
    QVariantList list;
    list.reserve(qsizetype(positions.size()));
    for (const qsizetype position : positions)
        list.append(qint64(position));
    return list;
}

// The items of a list value, each of the one type `itemType` and taken by `take`: none when the value is
// absent, nullopt when it is not such a list.
template <typename Items, typename Take>
std::optional<Items> itemsFrom(const QVariant &value, int itemType, Take take)
{
    Items items;
    if (!value.isValid())
        return items;
    if (value.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    for (const QVariant &item : value.toList()) {
        if (item.typeId() != itemType)
            return std::nullopt;
        items.push_back(take(item));
    }
    return items;
}

std::optional<std::vector<qsizetype>> positionsFrom(const QVariant &value)
{
    return itemsFrom<std::vector<qsizetype>>(value, QMetaType::LongLong,
                                             [](const QVariant &item) { return qsizetype(item.toLongLong()); });
}

std::optional<HMIdentifierGraph::Entries> entriesFrom(const QVariant &value)
{
    return itemsFrom<HMIdentifierGraph::Entries>(
        value, QMetaType::QVariantMap, [](const QVariant &item) { return HMIdentifierGraphEntry(item.toMap()); });
}

// A change line's dictionary by its parts: positions and the date as values (invalid where the
// dictionary has none), entries already read (nullopt where the value is no list of dictionaries).
struct LineParts
{
    QVariant removed;
    QVariant replacedAt;
    std::optional<HMIdentifierGraph::Entries> replacements = HMIdentifierGraph::Entries();
    std::optional<HMIdentifierGraph::Entries> appended = HMIdentifierGraph::Entries();
    QVariant lastSyncDate;
};

// The parts of a payload read whole; nullopt when it is no dictionary.
std::optional<LineParts> partsOfWholePayload(const QByteArray &payload)
{
    const platform::Result<QVariant> parsed = platform::parsePropertyList(payload);
    if (!parsed || parsed->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariantMap map = parsed->toMap();
    return LineParts{map.value(Journal::kRemovedKey), map.value(Journal::kReplacedAtKey),
                     entriesFrom(map.value(Journal::kReplacementsKey)), entriesFrom(map.value(Journal::kAppendedKey)),
                     map.value(Journal::kLastSyncDateKey)};
}

// One change line's changes; nullopt when its parts are not those of one.
std::optional<HMIdentifierGraph::Changes> changesOf(const LineParts &parts)
{
    const std::optional<std::vector<qsizetype>> removed = positionsFrom(parts.removed);
    const std::optional<std::vector<qsizetype>> replacedAt = positionsFrom(parts.replacedAt);
    const std::optional<HMIdentifierGraph::Entries> &replacements = parts.replacements;
    const std::optional<HMIdentifierGraph::Entries> &appended = parts.appended;
    if (!removed || !replacedAt || !replacements || !appended || qsizetype(replacedAt->size()) != replacements->size())
        return std::nullopt;
    HMIdentifierGraph::Changes changes;
    changes.removed = *removed;
    for (qsizetype index = 0; index < replacements->size(); ++index)
        changes.replaced.emplace_back((*replacedAt)[size_t(index)], replacements->at(index));
    changes.appended = *appended;
    return changes;
}

// The date of a payload that changes the date alone, as the writers write it: a binary property list
// whose dictionary holds a date under "lastSyncDate" and nothing else. Read in place, without the
// dictionary built: a run that changes nothing adds such a line, and a journal holds up to a few
// hundred of them. Nullopt for any other payload, which is then read whole; every payload read here
// is one the whole reading accepts, with the same date and no change to the entries.
std::optional<QDateTime> dateOfDateOnlyPayload(const QByteArray &payload)
{
    const platform::Result<Document> document = Document::open(payload);
    const std::optional<Document::Slots> pairs = document ? document->slotsOf(document->topObject()) : std::nullopt;
    if (!pairs || pairs->keys.size() != 1 || !document->isText(pairs->keys.at(0), Journal::kLastSyncDateKey) ||
        document->shapeOf(pairs->values.at(0)) != Document::Shape::Leaf) {
        return std::nullopt;
    }
    const platform::Result<QVariant> date = document->leafAt(pairs->values.at(0));
    if (!date || date->typeId() != QMetaType::QDateTime)
        return std::nullopt;
    return date->toDateTime();
}

// Reads a payload's parts in place, packing its entries straight from the property list as an entry
// packs the dictionary a whole reading builds, without that dictionary: a line of a page holds as
// many entries as the page changed. Only the form the writers write is read so (a dictionary of the
// known keys, each once, entries as lists of dictionaries, a nested dictionary's keys ASCII and in
// order): for anything else it gives up and the payload is read whole, which accepts or refuses it.
// The references below the top are checked first, as a whole reading checks them, and every object
// is then read as it reads it: what is read here, it reads to the same values.
class PayloadReader final
{
public:
    static std::optional<LineParts> partsOf(const QByteArray &payload)
    {
        const platform::Result<Document> document = Document::open(payload);
        if (!document || document->shapeOf(document->topObject()) != Document::Shape::Dictionary ||
            !document->checkReferencesBelow(document->topObject())) {
            return std::nullopt;
        }
        return PayloadReader(*document).read();
    }

private:
    using PackedValue = HMIdentifierGraphEntry::PackedValue;

    explicit PayloadReader(const Document &document) : m_document(document) {}

    std::optional<LineParts> read();
    bool readPart(const QString &key, quint64 value, LineParts &parts);
    std::optional<HMIdentifierGraph::Entries> entriesAt(quint64 list);
    bool packEntry(quint64 dictionary);
    bool packValue(quint64 object, int depth);
    bool packList(quint64 object, int depth);
    bool packDictionary(quint64 object, int depth);
    std::optional<QString> keyAt(quint64 object) const;

    const Document &m_document;
    HMIdentifierGraphEntry::Arena m_arena;
    QByteArray m_packing;
};

std::optional<LineParts> PayloadReader::read()
{
    const std::optional<Document::Slots> pairs = m_document.slotsOf(m_document.topObject());
    LineParts parts;
    QStringList seen;
    for (quint64 slot = 0; pairs && slot < pairs->keys.size(); ++slot) {
        const std::optional<QString> key = keyAt(pairs->keys.at(slot));
        if (!key || seen.contains(*key) || !readPart(*key, pairs->values.at(slot), parts))
            return std::nullopt;
        seen.append(*key);
    }
    return pairs ? std::optional(parts) : std::nullopt;
}

bool PayloadReader::readPart(const QString &key, quint64 value, LineParts &parts)
{
    if (key == Journal::kReplacementsKey || key == Journal::kAppendedKey) {
        std::optional<HMIdentifierGraph::Entries> entries = entriesAt(value);
        const bool isRead = entries.has_value();
        (key == Journal::kAppendedKey ? parts.appended : parts.replacements) = std::move(entries);
        return isRead;
    }
    QVariant *const part = key == Journal::kRemovedKey        ? &parts.removed
                           : key == Journal::kReplacedAtKey   ? &parts.replacedAt
                           : key == Journal::kLastSyncDateKey ? &parts.lastSyncDate
                                                              : nullptr;
    platform::Result<QVariant> read = part ? m_document.valueAt(value) : platform::Result<QVariant>(QVariant());
    if (!part || !read)
        return false;
    *part = std::move(read).value();
    return true;
}

// The entries of a list of dictionaries; nullopt where it is not one.
std::optional<HMIdentifierGraph::Entries> PayloadReader::entriesAt(quint64 list)
{
    const std::optional<Document::Elements> items = m_document.arrayElementsOf(list);
    if (!items)
        return std::nullopt;
    HMIdentifierGraph::Entries entries;
    entries.reserve(qsizetype(items->size()));
    for (quint64 position = 0; position < items->size(); ++position) {
        if (!packEntry(items->at(position)))
            return std::nullopt;
        entries.append(m_arena.end());
    }
    return entries;
}

bool PayloadReader::packEntry(quint64 dictionary)
{
    const std::optional<Document::Slots> pairs = m_document.slotsOf(dictionary);
    if (!pairs || m_document.shapeOf(dictionary) != Document::Shape::Dictionary)
        return false;
    m_arena.begin();
    for (quint64 slot = 0; slot < pairs->keys.size(); ++slot) {
        const std::optional<QString> key = keyAt(pairs->keys.at(slot));
        const quint64 value = pairs->values.at(slot);
        if (!key)
            return false;
        if (const std::optional<QByteArrayView> ascii = m_document.asciiTextAt(value)) {
            m_arena.addText(*key, *ascii);
            continue;
        }
        m_packing.resize(0);
        if (!packValue(value, 0) || !m_arena.addPacked(*key, m_packing))
            return false;
    }
    return true;
}

// A value packed as an entry packs the value a whole reading builds.
bool PayloadReader::packValue(quint64 object, int depth)
{
    switch (m_document.shapeOf(object)) {
    case Document::Shape::Array:
        return depth < PackedValue::kMaxNesting && packList(object, depth);
    case Document::Shape::Dictionary:
        return depth < PackedValue::kMaxNesting && packDictionary(object, depth);
    default:
        break;
    }
    return HMIdentifierGraphArchive::packLeaf(m_document, object, depth, m_packing);
}

bool PayloadReader::packList(quint64 object, int depth)
{
    const std::optional<Document::Elements> items = m_document.arrayElementsOf(object);
    if (!items)
        return false;
    const qsizetype mark = PackedValue::appendListStart(m_packing, items->size());
    for (quint64 position = 0; position < items->size(); ++position) {
        if (!packValue(items->at(position), depth + 1))
            return false;
    }
    PackedValue::appendContainerEnd(m_packing, mark);
    return true;
}

// A dictionary whose keys are ASCII texts in key order, each once, as the writers write them.
bool PayloadReader::packDictionary(quint64 object, int depth)
{
    const std::optional<Document::Slots> pairs = m_document.slotsOf(object);
    if (!pairs)
        return false;
    const qsizetype mark = PackedValue::appendDictionaryStart(m_packing, pairs->keys.size());
    QByteArrayView lastKey;
    for (quint64 slot = 0; slot < pairs->keys.size(); ++slot) {
        const std::optional<QByteArrayView> key = m_document.asciiTextAt(pairs->keys.at(slot));
        if (!key || (slot > 0 && !(lastKey < *key)))
            return false;
        lastKey = *key;
        PackedValue::appendItemKey(m_packing, *key);
        if (!packValue(pairs->values.at(slot), depth + 1))
            return false;
    }
    PackedValue::appendContainerEnd(m_packing, mark);
    return true;
}

// A dictionary's key as a whole reading reads it.
std::optional<QString> PayloadReader::keyAt(quint64 object) const
{
    const platform::Result<QVariant> key = m_document.leafAt(object);
    if (!key || key->typeId() != QMetaType::QString)
        return std::nullopt;
    return key->toString();
}

// Reads one whole line (without its newline) against a list of count entries, keeps what it changes
// and counts the entries after it; false when it is damaged or does not fit.
bool readLine(const QByteArray &line, qsizetype &count, Journal::Reading &reading)
{
    const qsizetype space = line.indexOf(' ');
    if (space != 16 || line.size() > kMaxLineBytes)
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(line.mid(space + 1), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || checkOf(*decoded) != line.left(space))
        return false;
    if (const std::optional<QDateTime> date = dateOfDateOnlyPayload(*decoded)) {
        reading.lastSyncDate = *date;
        return true;
    }
    std::optional<LineParts> parts = PayloadReader::partsOf(*decoded);
    if (!parts)
        parts = partsOfWholePayload(*decoded);
    if (!parts)
        return false;
    std::optional<HMIdentifierGraph::Changes> changes = changesOf(*parts);
    const QVariant &date = parts->lastSyncDate;
    if (!changes || (date.isValid() && date.typeId() != QMetaType::QDateTime) || !changes->fitsListOf(count))
        return false;
    if (date.isValid())
        reading.lastSyncDate = date.toDateTime();
    if (!changes->isEmpty()) {
        count += changes->appended.size() - qsizetype(changes->removed.size());
        reading.changes.push_back(std::move(*changes));
    }
    return true;
}

} // namespace

QString HMIdentifierGraphJournal::journalPath(const QString &graphPath)
{
    return graphPath + QStringLiteral(".journal");
}

QByteArray HMIdentifierGraphJournal::digestOf(const std::optional<QByteArray> &graphFileBytes)
{
    if (!graphFileBytes)
        return QByteArrayLiteral("none");
    RunningDigest digest;
    digest.add(*graphFileBytes);
    return digest.text();
}

// The digest tells our own graph files apart, not hostile ones: a CRC with the length does that and
// costs a millisecond where a cryptographic hash of a large graph costs a tenth of a second at
// every load.
void HMIdentifierGraphJournal::RunningDigest::add(QByteArrayView bytes)
{
    m_crc = platform::crc32Continued(m_crc, bytes);
    m_size += bytes.size();
}

QByteArray HMIdentifierGraphJournal::RunningDigest::text() const
{
    return QByteArray::number(quint64(m_crc), 16).rightJustified(8, '0') + '-' + QByteArray::number(m_size);
}

QByteArray HMIdentifierGraphJournal::headerLine(const QByteArray &baseDigest)
{
    return kHeaderStart + baseDigest + '\n';
}

QVariantMap HMIdentifierGraphJournal::payloadOf(const HMIdentifierGraph::Changes &changes,
                                                const std::optional<QDateTime> &lastSyncDate)
{
    QVariantMap payload;
    if (!changes.removed.empty())
        payload.insert(kRemovedKey, positionsList(changes.removed));
    if (!changes.replaced.empty()) {
        std::vector<qsizetype> positions;
        HMIdentifierGraph::Entries replacements;
        for (const auto &[position, entry] : changes.replaced) {
            positions.push_back(position);
            replacements.append(entry);
        }
        payload.insert(kReplacedAtKey, positionsList(positions));
        payload.insert(kReplacementsKey, HMIdentifierGraphJournal::listOf(replacements));
    }
    if (!changes.appended.isEmpty())
        payload.insert(kAppendedKey, HMIdentifierGraphJournal::listOf(changes.appended));
    if (lastSyncDate && lastSyncDate->isValid())
        payload.insert(kLastSyncDateKey, *lastSyncDate);
    return payload;
}

platform::Result<QByteArray> HMIdentifierGraphJournal::changeLine(const HMIdentifierGraph::Changes &changes,
                                                                  const std::optional<QDateTime> &lastSyncDate)
{
    const platform::Result<QByteArray> encoded = streamedPayload(changes, lastSyncDate);
    if (!encoded)
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("an identifier graph change could not be encoded: %1").arg(encoded.error().message()));
    return lineOf(*encoded);
}

HMIdentifierGraphJournal::Replay HMIdentifierGraphJournal::replay(const QByteArray &journal, const QByteArray &baseDigest,
                                                                  HMIdentifierGraph::Entries &entries,
                                                                  QDateTime &lastSyncDate)
{
    const Reading reading = read(journal, baseDigest, entries.size());
    apply(reading, entries, lastSyncDate);
    return reading.replay;
}

HMIdentifierGraphJournal::Reading HMIdentifierGraphJournal::read(const QByteArray &journal,
                                                                 const QByteArray &baseDigest, qsizetype entryCount)
{
    Reading reading;
    Replay &result = reading.replay;
    const QByteArray header = headerLine(baseDigest);
    if (!journal.startsWith(header))
        return reading;
    result.belongsToGraph = true;
    qsizetype start = header.size();
    // Bounded by the journal's length: every pass consumes at least one byte.
    while (start < journal.size()) {
        const qsizetype end = journal.indexOf('\n', start);
        // A line without its newline was torn while it was written.
        if (end < 0 || !readLine(journal.mid(start, end - start), entryCount, reading))
            break;
        ++result.appliedLines;
        start = end + 1;
    }
    result.isIntact = start >= journal.size();
    result.holdsEntries = !reading.changes.empty();
    return reading;
}

void HMIdentifierGraphJournal::apply(const Reading &reading, HMIdentifierGraph::Entries &entries,
                                     QDateTime &lastSyncDate)
{
    // Each line was checked to fit the list the lines before it leave.
    for (const HMIdentifierGraph::Changes &changes : reading.changes)
        changes.applyTo(entries);
    if (reading.lastSyncDate)
        lastSyncDate = *reading.lastSyncDate;
}

QVariantList HMIdentifierGraphJournal::listOf(const HMIdentifierGraph::Entries &entries)
{
    QVariantList list;
    list.reserve(entries.size());
    for (const HMIdentifierGraphEntry &entry : entries)
        list.append(entry.toMap());
    return list;
}

platform::Status HMIdentifierGraphJournal::appendDurably(const QString &path, const QByteArray &bytes)
{
    const platform::Result<std::unique_ptr<platform::FileHandle>> opened = platform::FileHandle::openForAppending(path);
    if (!opened)
        return opened.error();
    if (const platform::Status written = (*opened)->write(bytes); !written)
        return written;
    return (*opened)->synchronize();
}

void HMIdentifierGraphJournal::setStepHook(std::function<void(Step)> hook)
{
    const std::lock_guard lock(s_hookMutex);
    s_stepHook = std::move(hook);
}

void HMIdentifierGraphJournal::reportStep(Step step)
{
    std::function<void(Step)> hook;
    {
        const std::lock_guard lock(s_hookMutex);
        hook = s_stepHook;
    }
    if (hook)
        hook(step);
}
