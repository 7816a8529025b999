#include "sync/HMIdentifierGraphJournal.h"

#include "platform/foundation/Crc32.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListBinary.h"

#include <QCryptographicHash>
#include <QFile>
#include <QVariantList>

#include <algorithm>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

using platform::Error;
using platform::ErrorCode;

const QString HMIdentifierGraphJournal::kRemovedKey = QStringLiteral("removed");
const QString HMIdentifierGraphJournal::kReplacedAtKey = QStringLiteral("replacedAt");
const QString HMIdentifierGraphJournal::kReplacementsKey = QStringLiteral("replacements");
const QString HMIdentifierGraphJournal::kAppendedKey = QStringLiteral("appended");
const QString HMIdentifierGraphJournal::kLastSyncDateKey = QStringLiteral("lastSyncDate");

namespace {

using Journal = HMIdentifierGraphJournal;

const QByteArray kHeaderStart = QByteArrayLiteral("HMIdentifierGraphJournal 1 ");
// A line holds one page's changes; pages hold at most a few thousand records.
constexpr qsizetype kMaxLineBytes = 64 * 1024 * 1024;

std::mutex s_hookMutex;
std::function<void(HMIdentifierGraphJournal::Step)> s_stepHook;

QByteArray checkOf(const QByteArray &payload)
{
    return QCryptographicHash::hash(payload, QCryptographicHash::Sha1).toHex().left(16);
}

QVariantList positionsList(const std::vector<qsizetype> &positions)
{
    QVariantList list;
    list.reserve(qsizetype(positions.size()));
    for (const qsizetype position : positions)
        list.append(qint64(position));
    return list;
}

std::optional<std::vector<qsizetype>> positionsFrom(const QVariant &value)
{
    std::vector<qsizetype> positions;
    if (!value.isValid())
        return positions;
    if (value.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    for (const QVariant &item : value.toList()) {
        if (item.typeId() != QMetaType::LongLong)
            return std::nullopt;
        positions.push_back(qsizetype(item.toLongLong()));
    }
    return positions;
}

std::optional<HMIdentifierGraph::Entries> entriesFrom(const QVariant &value)
{
    HMIdentifierGraph::Entries dictionaries;
    if (!value.isValid())
        return dictionaries;
    if (value.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    for (const QVariant &item : value.toList()) {
        if (item.typeId() != QMetaType::QVariantMap)
            return std::nullopt;
        dictionaries.append(HMIdentifierGraphEntry(item.toMap()));
    }
    return dictionaries;
}

// One change line's payload read back; nullopt when it is not one.
std::optional<HMIdentifierGraph::Changes> changesFrom(const QVariantMap &payload)
{
    const std::optional<std::vector<qsizetype>> removed = positionsFrom(payload.value(Journal::kRemovedKey));
    const std::optional<std::vector<qsizetype>> replacedAt = positionsFrom(payload.value(Journal::kReplacedAtKey));
    const std::optional<HMIdentifierGraph::Entries> replacements =
        entriesFrom(payload.value(Journal::kReplacementsKey));
    const std::optional<HMIdentifierGraph::Entries> appended = entriesFrom(payload.value(Journal::kAppendedKey));
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
    using Document = platform::binaryplist::Document;
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

// Reads one whole line (without its newline) and applies it; false when it is damaged or does not fit.
bool applyLine(const QByteArray &line, HMIdentifierGraph::Entries &entries, QDateTime &lastSyncDate)
{
    const qsizetype space = line.indexOf(' ');
    if (space != 16 || line.size() > kMaxLineBytes)
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(line.mid(space + 1), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || checkOf(*decoded) != line.left(space))
        return false;
    if (const std::optional<QDateTime> date = dateOfDateOnlyPayload(*decoded)) {
        lastSyncDate = *date;
        return true;
    }
    const platform::Result<QVariant> payload = platform::parsePropertyList(*decoded);
    if (!payload || payload->typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap map = payload->toMap();
    const std::optional<HMIdentifierGraph::Changes> changes = changesFrom(map);
    const QVariant date = map.value(Journal::kLastSyncDateKey);
    if (!changes || (date.isValid() && date.typeId() != QMetaType::QDateTime))
        return false;
    if (!changes->applyTo(entries))
        return false;
    if (date.isValid())
        lastSyncDate = date.toDateTime();
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
    using platform::PropertyListFormat;
    std::optional<QByteArray> streamed = streamedPayload(changes, lastSyncDate);
    const platform::Result<QByteArray> encoded =
        streamed ? platform::Result<QByteArray>(std::move(*streamed))
                 : platform::serializePropertyList(payloadOf(changes, lastSyncDate), PropertyListFormat::Binary);
    if (!encoded)
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("an identifier graph change could not be encoded: %1").arg(encoded.error().message()));
    return checkOf(*encoded) + ' ' + encoded->toBase64() + '\n';
}

HMIdentifierGraphJournal::Replay HMIdentifierGraphJournal::replay(const QByteArray &journal, const QByteArray &baseDigest,
                                                                  HMIdentifierGraph::Entries &entries,
                                                                  QDateTime &lastSyncDate)
{
    Replay result;
    const QByteArray header = headerLine(baseDigest);
    if (!journal.startsWith(header))
        return result;
    result.belongsToGraph = true;
    qsizetype start = header.size();
    // Bounded by the journal's length: every pass consumes at least one byte.
    while (start < journal.size()) {
        const qsizetype end = journal.indexOf('\n', start);
        // A line without its newline was torn while it was written.
        if (end < 0 || !applyLine(journal.mid(start, end - start), entries, lastSyncDate))
            return result;
        ++result.appliedLines;
        start = end + 1;
    }
    result.isIntact = true;
    return result;
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
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return Error(ErrorCode::IoOther, QStringLiteral("%1 could not be opened: %2").arg(path, qt_error_string(errno)));
    const bool written = platform::writeToDescriptor(descriptor, bytes) == bytes.size() && ::fsync(descriptor) == 0;
    const int savedErrno = errno;
    ::close(descriptor);
    if (!written)
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1 could not be written: %2").arg(path, qt_error_string(savedErrno)));
    return platform::success();
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
