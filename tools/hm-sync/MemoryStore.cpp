#include "MemoryStore.h"

#include "LegacyStoreFile.h"
#include "StoreLines.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Clock.h"
#include "sync/HMData.h"
#include "sync/HMIdentifierGraphJournal.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <atomic>

#include <cstdlib>
#include <unistd.h>

namespace hmsync {

using storelines::LineHead;
using storelines::LineKind;

namespace {

// A log smaller than this is never folded early, however small the file.
constexpr qint64 kMinFoldBytes = 1024 * 1024;

// Swapped whole, so a step reported on one thread never meets a hook half replaced on another.
std::atomic<std::shared_ptr<const std::function<void(MemoryStore::Step)>>> s_stepHook;

// A temporary file beside the target, named as the platform's atomic writes name theirs, so that
// one a crash leaves behind is cleaned up with theirs. Empty when none could be made.
QString makeTemporaryFile(const QString &target)
{
    const QFileInfo info(target);
    QByteArray pattern = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                                           QStringLiteral(".XXXXXX.hmtmp"));
    const int descriptor = ::mkstemps(pattern.data(), 6);
    if (descriptor < 0)
        return {};
    ::close(descriptor);
    return QFile::decodeName(pattern);
}

} // namespace

StoredRecord StoredRecords::value(const QString &nativeId) const
{
    return m_store->record(m_conduit, nativeId).value_or(StoredRecord{});
}

StoredRecords::operator QMap<QString, StoredRecord>() const
{
    QMap<QString, StoredRecord> all;
    for (const QString &nativeId : m_ids)
        all.insert(all.cend(), nativeId, value(nativeId));
    return all;
}

void MemoryStore::setStepHook(std::function<void(Step)> hook)
{
    s_stepHook.store(hook ? std::make_shared<const std::function<void(Step)>>(std::move(hook)) : nullptr);
}

void MemoryStore::reportStep(Step step)
{
    if (const auto hook = s_stepHook.load())
        (*hook)(step);
}

void MemoryStore::resetLocked()
{
    m_conduits.clear();
    m_file.close();
    m_log.close();
    m_generation = 0;
    m_hasFile = false;
    m_logCommittedBytes = 0;
    m_uncommittedLines = 0;
    m_mustWriteWhole = false;
}

bool MemoryStore::load(const QString &path, QString &problem)
{
    const std::lock_guard lock(m_mutex);
    resetLocked();
    m_path = path;
    // A store without its file yet is written at its first save; a log beside no file is ignored.
    if (path.isEmpty() || !QFileInfo::exists(path))
        return true;
    if (!m_file.openForReading(path, problem))
        return false;
    const std::optional<QByteArray> start = m_file.read(0, std::min<qint64>(m_file.size(), 11));
    if (start != QByteArrayLiteral("{\"format\":2")) {
        m_file.close();
        if (!convertLegacyStoreFile(path, problem) || !m_file.openForReading(path, problem))
            return false;
    }
    if (!loadFileLocked(problem)) {
        resetLocked();
        return false;
    }
    loadLogLocked();
    return true;
}

// Reads the file's lines into the index. The file is written whole and renamed into place, so it must
// end in its commit: anything else is damage, and the store is not loaded rather than half loaded.
bool MemoryStore::loadFileLocked(QString &problem)
{
    qint64 lines = 0;
    qint64 committedBytes = -1;
    bool isSound = true;
    const bool isRead = m_file.scanLines(
        [&](qint64 offset, QByteArrayView line) {
            const LineHead head = storelines::readHead(line);
            if (offset == 0 && head.kind == LineKind::FileHeader) {
                m_generation = head.number;
                return true;
            }
            isSound = offset > 0 && committedBytes < 0 && head.kind != LineKind::Damaged &&
                      head.kind != LineKind::FileHeader && head.kind != LineKind::LogHeader &&
                      (head.kind != LineKind::Commit || head.number == lines);
            if (isSound && head.kind == LineKind::Commit)
                committedBytes = offset + line.size() + 1;
            else if (isSound)
                applyLineLocked(head, offset, line.size(), false);
            ++lines;
            return isSound;
        },
        problem);
    if (isRead && (!isSound || committedBytes != m_file.size()))
        problem = QStringLiteral("%1 is damaged after line %2").arg(m_path).arg(lines);
    m_hasFile = isRead && isSound && committedBytes == m_file.size();
    return m_hasFile;
}

// Applies the log's saves, each when its commit line ends it; a log of another generation, and lines
// after the last commit (a save cut short), are left out, and the first append cuts them off. A log
// that cannot be written is still read; the next save then writes the file whole.
void MemoryStore::loadLogLocked()
{
    QString problem;
    if (!QFileInfo::exists(logPath()))
        return;
    if (!m_log.openForWriting(logPath(), problem)) {
        m_mustWriteWhole = true;
        if (!m_log.openForReading(logPath(), problem))
            return;
    }
    QList<PendingLine> batch;
    m_log.scanLines(
        [&](qint64 offset, QByteArrayView line) {
            return applyLogLineLocked(storelines::readHead(line), offset, line.size(), batch);
        },
        problem);
}

struct MemoryStore::PendingLine
{
    LineHead head;
    qint64 offset = 0;
    qint64 length = 0;
};

bool MemoryStore::applyLogLineLocked(const LineHead &head, qint64 offset, qint64 length, QList<PendingLine> &batch)
{
    if (offset == 0)
        return head.kind == LineKind::LogHeader && head.number == m_generation;
    if (head.kind == LineKind::Damaged || head.kind == LineKind::FileHeader || head.kind == LineKind::LogHeader)
        return false;
    if (head.kind != LineKind::Commit) {
        // The head outlives its line, which lies in the scan's buffer.
        batch.append(PendingLine{head.owned(), offset, length});
        return true;
    }
    if (head.number != batch.size())
        return false;
    for (const PendingLine &line : std::as_const(batch))
        applyLineLocked(line.head, line.offset, line.length, true);
    batch.clear();
    m_logCommittedBytes = offset + length + 1;
    return true;
}

void MemoryStore::applyLineLocked(const LineHead &head, qint64 offset, qint64 length, bool isInLog)
{
    switch (head.kind) {
    case LineKind::Record:
        setHeadLocked(head.conduit, head.id, head.phoneId, head.changed, RecordIndex::Place{offset, length, isInLog});
        break;
    case LineKind::Removal:
        eraseHeadLocked(head.conduit, head.id);
        break;
    case LineKind::Conduit:
        applyConduitObjectLocked(head.conduit, head.object);
        break;
    default:
        break;
    }
}

// Outlook profiles keep their id maps and change dates here, as Outlook keeps them in its files.
void MemoryStore::applyConduitObjectLocked(quint64 conduit, const QJsonObject &object)
{
    Conduit &state = m_conduits[conduit];
    if (object.contains(QLatin1String("deletions"))) {
        const QJsonObject deletions = object.value(QLatin1String("deletions")).toObject();
        state.deletions.clear();
        for (auto it = deletions.constBegin(); it != deletions.constEnd(); ++it)
            state.deletions.append(DesktopDeletion{it.key(), storelines::valueFromJson(it.value()).toDateTime()});
    }
    if (object.contains(QLatin1String("ownIdMap"))) {
        auto map = std::make_shared<HMIdentifierGraph>();
        for (const QJsonValue &entry : object.value(QLatin1String("ownIdMap")).toArray())
            map->appendDictionary(storelines::valueFromJson(entry).toMap());
        state.ownIdMap = map;
        state.savedIdMap = map->entries();
    }
    if (object.contains(QLatin1String("lastSyncStart")))
        state.lastSyncStart = storelines::valueFromJson(object.value(QLatin1String("lastSyncStart"))).toDateTime();
}

void MemoryStore::setHeadLocked(quint64 conduit, QByteArrayView nativeId, QByteArrayView phoneId,
                                const QDateTime &changed, const RecordIndex::Place &place)
{
    m_conduits[conduit].heads.put(nativeId, phoneId, changed, place);
}

void MemoryStore::eraseHeadLocked(quint64 conduit, QByteArrayView nativeId)
{
    m_conduits[conduit].heads.erase(nativeId);
}

const MemoryStore::Conduit &MemoryStore::conduitLocked(quint64 conduit) const
{
    static const Conduit kNone;
    const auto found = m_conduits.constFind(conduit);
    return found == m_conduits.constEnd() ? kNone : *found;
}

std::optional<QByteArray> MemoryStore::lineOfLocked(const RecordIndex::Place &place) const
{
    return (place.isInLog ? m_log : m_file).read(place.offset, place.length);
}

std::optional<QVariantMap> MemoryStore::fieldsLocked(quint64 conduit, const QString &nativeId) const
{
    const RecordIndex &heads = conduitLocked(conduit).heads;
    const qint32 slot = heads.find(nativeId.toUtf8());
    if (slot < 0)
        return std::nullopt;
    const std::optional<QByteArray> line = lineOfLocked(heads.placeAt(slot));
    std::optional<QVariantMap> fields = line ? storelines::fieldsOfRecordLine(*line) : std::nullopt;
    if (!fields)
        DDLogError(QStringLiteral("The desktop record %1 could not be read back from %2").arg(nativeId, m_path));
    return fields;
}

// Appends a line to the log. The first append after loading opens the log on disk when it is not
// yet, and cuts off what followed its last commit; a new log begins with its header. A log that cannot
// be opened stays in memory, and the next save writes the file whole.
void MemoryStore::appendLocked(const QByteArray &line)
{
    if (!m_isLogAppendable) {
        m_isLogAppendable = true;
        QString problem;
        // A log that cannot be written keeps the lines in memory (its lines on disk stay readable).
        const bool isWritable = m_path.isEmpty() || m_mustWriteWhole ||
                                ((m_log.isOpen() || m_log.openForWriting(logPath(), problem)) &&
                                 m_log.cutOff(m_logCommittedBytes, problem));
        if (!isWritable) {
            DDLogError(QStringLiteral("The desktop records' log cannot be written: %1").arg(problem));
            m_mustWriteWhole = true;
        }
        if (m_log.size() == 0)
            m_log.append(storelines::logHeader(m_generation));
    }
    const qint64 writtenBefore = m_log.writtenBytes();
    m_log.append(line);
    ++m_uncommittedLines;
    if (m_log.writtenBytes() != writtenBefore)
        reportStep(Step::LogFlushed);
}

void MemoryStore::writeRecordLocked(quint64 conduit, const QString &nativeId, const StoredRecord &record)
{
    const QByteArray line =
        storelines::recordLine(conduit, nativeId, record.phoneId, record.changedOnDesktop, record.fields);
    // Loading takes a longer line for damage, so such a record is never written: it would cost the store.
    if (line.size() > storelines::kMaxLineBytes) {
        DDLogError(QStringLiteral("The desktop record %1 is too large to keep (%2 bytes); it stays as it was")
                       .arg(nativeId)
                       .arg(line.size()));
        return;
    }
    appendLocked(line);
    // Where the line went: appendLocked may have begun the log with its header.
    const qint64 lineOffset = m_log.size() - line.size();
    setHeadLocked(conduit, nativeId.toUtf8(), record.phoneId.toUtf8(), record.changedOnDesktop,
                  RecordIndex::Place{lineOffset, line.size() - 1, true});
}

void MemoryStore::removeRecordLocked(quint64 conduit, const QString &nativeId)
{
    appendLocked(storelines::removalLine(conduit, nativeId));
    eraseHeadLocked(conduit, nativeId.toUtf8());
}

// The lines of a conduit's lists: all of them, or those changed since the last save.
QList<QByteArray> MemoryStore::conduitListLines(quint64 conduit, bool onlyChanged) const
{
    QList<QByteArray> lines;
    const Conduit &state = conduitLocked(conduit);
    if (state.hasChangedLists || (!onlyChanged && !state.deletions.isEmpty())) {
        QVariantMap deletions;
        for (const DesktopDeletion &deletion : state.deletions)
            deletions.insert(deletion.nativeId, deletion.deletedAt);
        lines.append(storelines::conduitLine(conduit, QStringLiteral("deletions"), deletions));
    }
    if (state.lastSyncStart.isValid() && (state.hasChangedLists || !onlyChanged))
        lines.append(storelines::conduitLine(conduit, QStringLiteral("lastSyncStart"), state.lastSyncStart));
    if (state.ownIdMap && (!onlyChanged || !state.ownIdMap->entries().isSharedWith(state.savedIdMap))) {
        const QVariantList entries = HMIdentifierGraphJournal::listOf(state.ownIdMap->entries());
        lines.append(storelines::conduitLine(conduit, QStringLiteral("ownIdMap"), entries));
    }
    return lines;
}

bool MemoryStore::hasChangesLocked() const
{
    if (m_mustWriteWhole || m_uncommittedLines > 0 || (!m_path.isEmpty() && !m_hasFile))
        return true;
    for (auto state = m_conduits.constBegin(); state != m_conduits.constEnd(); ++state) {
        if (state->hasChangedLists ||
            (state->ownIdMap && !state->ownIdMap->entries().isSharedWith(state->savedIdMap)))
            return true;
    }
    return false;
}

bool MemoryStore::hasUnsavedChanges() const
{
    const std::lock_guard lock(m_mutex);
    return hasChangesLocked();
}

bool MemoryStore::save(QString &problem)
{
    const std::lock_guard lock(m_mutex);
    if (!hasChangesLocked())
        return true;
    if (m_path.isEmpty()) {
        forgetChangesLocked();
        return true;
    }
    // Files another program removed or replaced are written anew rather than appended to unseen.
    m_mustWriteWhole = m_mustWriteWhole || !m_file.isAtItsPath() || !m_log.isAtItsPath();
    // A log grown past the file it builds on is folded into it, so reading both stays linear.
    if (m_mustWriteWhole || !m_hasFile || m_log.size() > std::max(m_file.size(), kMinFoldBytes))
        return writeWholeLocked(problem);
    for (quint64 conduit = 1; conduit <= 4; ++conduit) {
        for (const QByteArray &line : conduitListLines(conduit, true))
            appendLocked(line);
    }
    return commitLocked(problem);
}

// Ends the lines since the last save with a commit line and makes the log durable.
bool MemoryStore::commitLocked(QString &problem)
{
    appendLocked(storelines::commitLine(m_uncommittedLines));
    if (!m_log.sync(problem)) {
        // The log may end in a torn line now: the next save writes the file whole.
        m_mustWriteWhole = true;
        return false;
    }
    m_logCommittedBytes = m_log.size();
    forgetChangesLocked();
    reportStep(Step::LogCommitted);
    return true;
}

// Writes every live line, as it stands in the file or the log, into a new file renamed over the old
// one, then removes the log.
bool MemoryStore::writeWholeLocked(QString &problem)
{
    const QString temporary = makeTemporaryFile(m_path);
    if (temporary.isEmpty()) {
        problem = QStringLiteral("%1: cannot create a temporary file").arg(m_path);
        m_mustWriteWhole = true;
        return false;
    }
    StoreLineFile next;
    QList<Placed> placed;
    const bool isWritten =
        next.openForWriting(temporary, problem) && copyLiveLinesLocked(next, placed, problem) && next.sync(problem);
    if (!isWritten || ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_path).constData()) != 0) {
        if (isWritten)
            problem = QStringLiteral("%1: cannot replace the file").arg(m_path);
        QFile::remove(temporary);
        m_mustWriteWhole = true;
        return false;
    }
    reportStep(Step::FileWritten);
    // The log names the previous generation from now on, so a log the removal misses is ignored.
    QFile::remove(logPath());
    reportStep(Step::LogRemoved);
    adoptNewFileLocked(placed, next.size());
    return true;
}

bool MemoryStore::copyLiveLinesLocked(StoreLineFile &into, QList<Placed> &placed, QString &problem) const
{
    into.append(storelines::fileHeader(m_generation + 1));
    qint64 lines = 0;
    for (quint64 conduit = 1; conduit <= 4; ++conduit) {
        const RecordIndex &heads = conduitLocked(conduit).heads;
        for (const qint32 slot : heads.ordered()) {
            const std::optional<QByteArray> line = lineOfLocked(heads.placeAt(slot));
            if (!line) {
                problem = QStringLiteral("%1: the record %2 could not be read back")
                              .arg(m_path, QString::fromUtf8(heads.idAt(slot)));
                return false;
            }
            placed.append(Placed{conduit, slot, into.append(*line + '\n')});
            ++lines;
        }
        for (const QByteArray &line : conduitListLines(conduit, false)) {
            into.append(line);
            ++lines;
        }
    }
    into.append(storelines::commitLine(lines));
    return into.flush(problem);
}

// Points every record at its line in the new file, which replaces the old one and the log.
void MemoryStore::adoptNewFileLocked(const QList<Placed> &placed, qint64 fileBytes)
{
    for (const Placed &line : placed) {
        RecordIndex &heads = m_conduits[line.conduit].heads;
        heads.moveTo(line.slot, RecordIndex::Place{line.offset, heads.placeAt(line.slot).length, false});
    }
    QString problem;
    if (!m_file.openForReading(m_path, problem) || m_file.size() != fileBytes)
        DDLogError(QStringLiteral("The desktop records' new file cannot be read back: %1").arg(problem));
    m_log.close();
    ++m_generation;
    m_hasFile = true;
    m_logCommittedBytes = 0;
    m_isLogAppendable = false;
    m_mustWriteWhole = false;
    forgetChangesLocked();
}

void MemoryStore::forgetChangesLocked()
{
    m_uncommittedLines = 0;
    for (Conduit &state : m_conduits) {
        state.hasChangedLists = false;
        if (state.ownIdMap)
            state.savedIdMap = state.ownIdMap->entries();
    }
}

QString MemoryStore::addRecord(quint64 conduit, const QVariantMap &fields)
{
    const QString nativeId = HMData::newUid();
    const std::lock_guard lock(m_mutex);
    writeRecordLocked(conduit, nativeId, StoredRecord{fields, platform::Clock::now(), {}});
    return nativeId;
}

bool MemoryStore::updateRecord(quint64 conduit, const QString &nativeId, const QVariantMap &fields)
{
    const std::lock_guard lock(m_mutex);
    std::optional<QVariantMap> merged = fieldsLocked(conduit, nativeId);
    if (!merged)
        return false;
    for (auto field = fields.constBegin(); field != fields.constEnd(); ++field)
        merged->insert(field.key(), field.value());
    const RecordIndex &heads = m_conduits[conduit].heads;
    const QString phoneId = QString::fromUtf8(heads.phoneIdAt(heads.find(nativeId.toUtf8())));
    writeRecordLocked(conduit, nativeId, StoredRecord{*merged, platform::Clock::now(), phoneId});
    return true;
}

bool MemoryStore::deleteRecord(quint64 conduit, const QString &nativeId)
{
    const std::lock_guard lock(m_mutex);
    Conduit &state = m_conduits[conduit];
    if (state.heads.find(nativeId.toUtf8()) < 0)
        return false;
    removeRecordLocked(conduit, nativeId);
    state.deletions.append(DesktopDeletion{nativeId, platform::Clock::now()});
    state.hasChangedLists = true;
    return true;
}

StoredRecords MemoryStore::records(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    const RecordIndex &heads = conduitLocked(conduit).heads;
    QStringList ids;
    ids.reserve(heads.size());
    for (const qint32 slot : heads.ordered())
        ids.append(QString::fromUtf8(heads.idAt(slot)));
    return StoredRecords(*this, conduit, std::move(ids));
}

qsizetype MemoryStore::count(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return conduitLocked(conduit).heads.size();
}

QList<std::pair<QString, RecordHead>> MemoryStore::heads(quint64 conduit, const HeadFilter &wanted) const
{
    const std::lock_guard lock(m_mutex);
    const RecordIndex &heads = conduitLocked(conduit).heads;
    const auto isWanted = [&heads, &wanted](qint32 slot) { return wanted(heads.idAt(slot), heads.changedAt(slot)); };
    QList<std::pair<QString, RecordHead>> answered;
    for (const qint32 slot : heads.ordered(wanted ? std::function<bool(qint32)>(isWanted) : nullptr))
        answered.append({QString::fromUtf8(heads.idAt(slot)), heads.headAt(slot)});
    return answered;
}

std::optional<StoredRecord> MemoryStore::record(quint64 conduit, const QString &nativeId) const
{
    const std::lock_guard lock(m_mutex);
    std::optional<QVariantMap> fields = fieldsLocked(conduit, nativeId);
    if (!fields)
        return std::nullopt;
    const RecordIndex &heads = conduitLocked(conduit).heads;
    const qint32 slot = heads.find(nativeId.toUtf8());
    return StoredRecord{std::move(*fields), heads.changedAt(slot), QString::fromUtf8(heads.phoneIdAt(slot))};
}

bool MemoryStore::contains(quint64 conduit, const QString &nativeId) const
{
    const std::lock_guard lock(m_mutex);
    return conduitLocked(conduit).heads.find(nativeId.toUtf8()) >= 0;
}

QList<DesktopDeletion> MemoryStore::deletions(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return conduitLocked(conduit).deletions;
}

void MemoryStore::putFromSync(quint64 conduit, const QString &nativeId, const QVariantMap &fields,
                              const QString &phoneId)
{
    const std::lock_guard lock(m_mutex);
    const RecordIndex &heads = conduitLocked(conduit).heads;
    const qint32 slot = heads.find(nativeId.toUtf8());
    // The record as it stands: nothing to write.
    if (slot >= 0 && !heads.changedAt(slot).isValid() && heads.phoneIdAt(slot) == phoneId.toUtf8() &&
        fieldsLocked(conduit, nativeId) == fields)
        return;
    writeRecordLocked(conduit, nativeId, StoredRecord{fields, QDateTime(), phoneId});
}

void MemoryStore::setPhoneId(quint64 conduit, const QString &nativeId, const QString &phoneId)
{
    const std::lock_guard lock(m_mutex);
    writeIfPhoneIdDiffersLocked(conduit, nativeId.toUtf8(), phoneId.toUtf8());
}

void MemoryStore::setPhoneIdUtf8(quint64 conduit, QByteArrayView nativeId, QByteArrayView phoneId)
{
    const std::lock_guard lock(m_mutex);
    writeIfPhoneIdDiffersLocked(conduit, nativeId, phoneId);
}

// Rewrites the record's line with the phone id unless it holds that one already (looked at without
// making a text, as a sync asks this of every record it has).
void MemoryStore::writeIfPhoneIdDiffersLocked(quint64 conduit, QByteArrayView nativeId, QByteArrayView phoneId)
{
    const RecordIndex &heads = conduitLocked(conduit).heads;
    const qint32 slot = heads.find(nativeId);
    if (slot < 0 || heads.phoneIdAt(slot) == phoneId)
        return;
    const QString nativeIdText = QString::fromUtf8(nativeId);
    std::optional<QVariantMap> fields = fieldsLocked(conduit, nativeIdText);
    if (fields)
        writeRecordLocked(conduit, nativeIdText,
                          StoredRecord{std::move(*fields), heads.changedAt(slot), QString::fromUtf8(phoneId)});
}

QString MemoryStore::nativeIdForPhoneId(quint64 conduit, const QString &phoneId) const
{
    const std::lock_guard lock(m_mutex);
    if (!m_conduits.contains(conduit))
        return {};
    const RecordIndex &heads = conduitLocked(conduit).heads;
    const qint32 slot = heads.findByPhoneId(phoneId.toUtf8());
    return slot < 0 ? QString() : QString::fromUtf8(heads.idAt(slot));
}

void MemoryStore::removeFromSync(quint64 conduit, const QString &nativeId)
{
    const std::lock_guard lock(m_mutex);
    if (conduitLocked(conduit).heads.find(nativeId.toUtf8()) >= 0)
        removeRecordLocked(conduit, nativeId);
}

std::shared_ptr<HMIdentifierGraph> MemoryStore::ownIdMap(quint64 conduit)
{
    const std::lock_guard lock(m_mutex);
    std::shared_ptr<HMIdentifierGraph> &map = m_conduits[conduit].ownIdMap;
    if (!map)
        map = std::make_shared<HMIdentifierGraph>();
    return map;
}

QDateTime MemoryStore::lastSyncStart(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return conduitLocked(conduit).lastSyncStart;
}

void MemoryStore::setLastSyncStart(quint64 conduit, const QDateTime &start)
{
    const std::lock_guard lock(m_mutex);
    Conduit &state = m_conduits[conduit];
    if (state.lastSyncStart == start)
        return;
    state.lastSyncStart = start;
    state.hasChangedLists = true;
}

} // namespace hmsync
