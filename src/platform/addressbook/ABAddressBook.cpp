#include "platform/addressbook/ABAddressBook.h"

#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCardFolder.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/UserDefaults.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTimeZone>

#include <algorithm>
#include <mutex>

namespace platform {

const QString ABAddressBook::kFolderDefaultsKey = QStringLiteral("AddressBookFolderPath");

namespace {

std::shared_ptr<VCardFolder> currentFolder()
{
    const QString folder = ABAddressBook::storeFolderPath();
    const QByteArray digest = QCryptographicHash::hash(QDir::cleanPath(folder).toUtf8(), QCryptographicHash::Md5);
    const QString index = FileSystem::dataFolderPath() + QStringLiteral("/AddressBookIndexes/") +
                          QString::fromLatin1(digest.toHex()) + QStringLiteral(".index");
    return VCardFolder::forLocation(folder, index);
}

// A last-name key as the snapshot's table holds it.
quint32 foldedNameKey(quint64 key)
{
    return quint32(key ^ (key >> 32));
}

// A file name the folder can hold for a unique id: characters other programs' ids may carry that
// a file name cannot ("/", control characters) become "_".
QString safeFileStem(const QString &uniqueId)
{
    // Made in place, in one allocation.
    QString stem(uniqueId.size(), Qt::Uninitialized);
    std::transform(uniqueId.cbegin(), uniqueId.cend(), stem.begin(), [](QChar character) {
        const bool isSafe = character.isLetterOrNumber() || character == QLatin1Char('-') ||
                            character == QLatin1Char('_') || character == QLatin1Char('.') ||
                            character == QLatin1Char('@');
        return isSafe ? character : QChar(QLatin1Char('_'));
    });
    if (stem.isEmpty() || stem.startsWith(QLatin1Char('.')))
        stem.prepend(QLatin1Char('_'));
    return stem.left(200);
}

std::shared_ptr<ABRecord> recordFromSummary(const VCardSummary &summary, const std::shared_ptr<VCardFolder> &folder)
{
    const std::shared_ptr<ABRecord> record = ABVCardMapping::blankRecord(summary.isGroup, summary.uniqueId);
    record->setStoredValue(kABModificationDateProperty, summary.modificationDate);
    record->markUnloaded(folder);
    if (summary.isGroup) {
        record->setStoredValue(kABGroupNameProperty, summary.groupName);
        return record;
    }
    for (const auto &[property, text] :
         {std::pair{kABFirstNameProperty, summary.firstName}, std::pair{kABLastNameProperty, summary.lastName},
          std::pair{kABOrganizationProperty, summary.organization}}) {
        if (!text.isEmpty())
            record->setStoredValue(property, text);
    }
    record->setSummaryEmails(summary.emails);
    return record;
}

} // namespace

QString ABAddressBook::storeFolderPath()
{
    const QString configured = UserDefaults::standardUserDefaults().stringForKey(kFolderDefaultsKey);
    return configured.isEmpty() ? FileSystem::dataFolderPath() + QStringLiteral("/Contacts") : configured;
}

Status ABAddressBook::checkAccess()
{
    return currentFolder()->ensureFolder();
}

qsizetype ABAddressBook::storedPersonCount()
{
    const Result<qsizetype> count = currentFolder()->lastPersonCount();
    return count ? *count : -1;
}

std::shared_ptr<ABAddressBook> ABAddressBook::addressBook()
{
    auto book = std::make_shared<ABAddressBook>(currentFolder());
    if (!book->m_folder->ensureFolder() || !book->open())
        return nullptr;
    return book;
}

std::shared_ptr<ABAddressBook> ABAddressBook::sharedAddressBook()
{
    // Never destroyed: an access request or a sync on a worker may ask for the book while the process
    // exits.
    static auto &mutex = *new std::mutex;
    static auto &shared = *new std::shared_ptr<ABAddressBook>;
    const std::lock_guard lock(mutex);
    const std::shared_ptr<VCardFolder> folder = currentFolder();
    if (shared && shared->m_folder == folder && shared->hasUnsavedChanges())
        return shared;
    shared = addressBook();
    return shared;
}

ABAddressBook::ABAddressBook(std::shared_ptr<VCardFolder> folder) : m_folder(std::move(folder))
{
    m_folder->holdWatch();
}

ABAddressBook::~ABAddressBook()
{
    // What this instance's saves wrote reaches the folder's index file once, not after every save.
    m_folder->flushIndex();
    m_folder->releaseWatch();
}

Status ABAddressBook::open()
{
    Result<VCardFolder::Refreshed> refreshed = m_folder->refresh();
    if (!refreshed)
        return refreshed.error();
    showSnapshot(refreshed->snapshot);
    return success();
}

Status ABAddressBook::refresh()
{
    if (hasUnsavedChanges())
        return Error(ErrorCode::DataOther, QStringLiteral("the address book has unsaved changes"));
    Result<VCardFolder::Refreshed> refreshed = m_folder->refresh();
    if (!refreshed)
        return refreshed.error();
    // The folder answers the snapshot it answered before when it found nothing new.
    if (refreshed->snapshot == m_snapshot && !m_mustShowAnew)
        return success();
    forgetRecords();
    showSnapshot(refreshed->snapshot);
    return success();
}

void ABAddressBook::rest()
{
    if (hasUnsavedChanges())
        return;
    forgetRecords();
    m_snapshot = std::make_shared<const VCardFolder::Snapshot>();
    m_mustShowAnew = true;
    m_folder->restSnapshot();
}

bool ABAddressBook::isOnCurrentFolder() const
{
    return m_folder == currentFolder();
}

// Lets go of every record: a record handed out before no longer reports its changes to this book.
void ABAddressBook::forgetRecords()
{
    for (const std::shared_ptr<ABRecord> &record : std::as_const(m_held))
        record->attachToAddressBook(nullptr);
    for (const std::weak_ptr<ABRecord> &handedOut : std::as_const(m_handedOut)) {
        if (const std::shared_ptr<ABRecord> record = handedOut.lock())
            record->attachToAddressBook(nullptr);
    }
    m_groups.clear();
    m_held.clear();
    m_handedOut.clear();
    m_removedIds.clear();
    m_unreadable.clear();
    m_snapshotNames.clear();
    m_namedSnapshot.reset();
    m_byLastName.clear();
    m_indexedLastName.clear();
}

// Names both files: the one left out and the one that stands for the contact (the first in name
// order, a file named after the unique id before others), the only one written.
QString ABAddressBook::duplicateProblem(const VCardFileEntry &entry) const
{
    const qsizetype shown = m_snapshot->findUniqueId(entry.uniqueId());
    const QString standing = shown < 0 ? QString() : m_snapshot->entries[size_t(shown)].name();
    return QStringLiteral("%1 has the unique id of %2, which stands for the contact").arg(entry.name(), standing);
}

void ABAddressBook::showSnapshot(VCardFolder::SnapshotPointer snapshot)
{
    m_snapshot = std::move(snapshot);
    m_mustShowAnew = false;
    ++m_showingCount;
    for (const VCardFileEntry &entry : m_snapshot->entries) {
        if (!entry.isReadable || entry.isDuplicate) {
            // Every file left out for one unique id is named in its one message.
            QString &problem = m_unreadable[entry.uniqueId()];
            const QString text = entry.isReadable ? duplicateProblem(entry) : entry.problem();
            problem = problem.isEmpty() ? text : problem + QStringLiteral("; ") + text;
            continue;
        }
        if (!entry.isGroup)
            continue;
        // Groups are read whole at once: persons' group lists come from them.
        const auto group = std::static_pointer_cast<ABGroup>(recordForEntry(entry));
        group->isReadable();
        m_groups.append(group);
        m_held.insert(group->uniqueId(), group);
    }
}

std::shared_ptr<ABRecord> ABAddressBook::recordForEntry(const VCardFileEntry &entry)
{
    const VCardSummary summary = entry.summary();
    if (const std::shared_ptr<ABRecord> live = m_handedOut.value(summary.uniqueId).lock())
        return live;
    std::shared_ptr<ABRecord> record = recordFromSummary(summary, m_folder);
    record->setFileName(entry.name());
    attach(record);
    if (!entry.isGroup) {
        m_handedOut.insert(summary.uniqueId, record);
        pruneHandedOut();
    }
    return record;
}

// Drops the persons nobody holds any more, whenever the table has doubled since the last time.
void ABAddressBook::pruneHandedOut()
{
    if (m_handedOut.size() < m_pruneAt)
        return;
    m_handedOut.removeIf([](const auto &handedOut) { return handedOut.value().expired(); });
    m_pruneAt = std::max<qsizetype>(1024, 2 * m_handedOut.size());
}

void ABAddressBook::attach(const std::shared_ptr<ABRecord> &record)
{
    record->attachToAddressBook(shared_from_this());
}

QList<std::shared_ptr<ABPerson>> ABAddressBook::people()
{
    QList<std::shared_ptr<ABPerson>> people;
    for (const VCardFileEntry &entry : m_snapshot->entries) {
        if (!entry.isReadable || entry.isDuplicate || entry.isGroup)
            continue;
        if (const std::shared_ptr<ABRecord> record = recordForUniqueId(entry.uniqueId()); record && !record->isGroup())
            people.append(std::static_pointer_cast<ABPerson>(record));
    }
    for (const std::shared_ptr<ABRecord> &record : std::as_const(m_changed)) {
        if (!record->isGroup() && m_held.contains(record->uniqueId()) &&
            m_snapshot->findUniqueId(record->uniqueId()) < 0)
            people.append(std::static_pointer_cast<ABPerson>(record));
    }
    return people;
}

QList<ABAddressBook::PersonStamp> ABAddressBook::personStamps() const
{
    QList<PersonStamp> stamps;
    stamps.reserve(qsizetype(m_snapshot->entries.size()));
    visitPersonStamps([&stamps](const PersonStamp &stamp) { stamps.append(stamp); });
    return stamps;
}

qsizetype ABAddressBook::personStampCount() const
{
    // Held groups change nothing: only removed or held persons make the count visit the listing.
    if (!listingSkipsSomePersons()) {
        const std::vector<VCardFileEntry> &entries = m_snapshot->entries;
        return qsizetype(std::count_if(entries.cbegin(), entries.cend(), [](const VCardFileEntry &entry) {
            return entry.isReadable && !entry.isDuplicate && !entry.isGroup;
        }));
    }
    qsizetype count = 0;
    visitListedPersons([&count](const ListedPerson &) { ++count; });
    return count;
}

void ABAddressBook::visitPersonStamps(const std::function<void(const PersonStamp &)> &visit) const
{
    visitListedPersons([&visit](const ListedPerson &person) { visit(person.stamp()); });
}

// Its groups alone are what a book opened for a listing holds: no person of the snapshot has a
// group's id, so only removed or held persons make the listing look each id up.
bool ABAddressBook::listingSkipsSomePersons() const
{
    return !m_removedIds.isEmpty() ||
           std::any_of(m_held.cbegin(), m_held.cend(), [](const auto &record) { return !record->isGroup(); });
}

void ABAddressBook::visitListedPersons(const std::function<void(const ListedPerson &)> &visit) const
{
    // Held while visiting, whatever visit makes of the book's other members.
    const VCardFolder::SnapshotPointer snapshot = m_snapshot;
    const QList<std::shared_ptr<ABRecord>> changed = m_changed;
    const bool mustLookUp = listingSkipsSomePersons();
    for (const VCardFileEntry &entry : snapshot->entries) {
        if (!entry.isReadable || entry.isDuplicate || entry.isGroup)
            continue;
        if (mustLookUp) {
            const QString uniqueId = entry.uniqueId();
            if (m_removedIds.contains(uniqueId) || m_held.contains(uniqueId))
                continue;
        }
        visit(ListedPerson(entry));
    }
    for (const std::shared_ptr<ABRecord> &record : changed) {
        if (!record->isGroup() && m_held.contains(record->uniqueId()))
            visit(ListedPerson(
                PersonStamp{record->uniqueId(), record->valueForProperty(kABModificationDateProperty).toDateTime()}));
    }
}

std::optional<qsizetype> ABAddressBook::listingPosition(const QString &uniqueId) const
{
    // Unsaved persons come after the folder's, in the order changed.
    if (const std::shared_ptr<ABRecord> held = m_held.value(uniqueId)) {
        const qsizetype changed = held->isGroup() ? -1 : m_changed.indexOf(held);
        if (changed < 0)
            return std::nullopt;
        return qsizetype(m_snapshot->entries.size()) + changed;
    }
    if (m_removedIds.contains(uniqueId))
        return std::nullopt;
    const qsizetype found = m_snapshot->findUniqueId(uniqueId);
    if (found < 0 || m_snapshot->entries[size_t(found)].isGroup)
        return std::nullopt;
    return found;
}

qint64 ABAddressBook::ListedPerson::modificationMs() const
{
    if (m_entry)
        return m_entry->modificationMs >= 0 ? m_entry->modificationMs : -1;
    return m_stamp.modificationDate.isValid() ? m_stamp.modificationDate.toMSecsSinceEpoch() : -1;
}

ABAddressBook::PersonStamp ABAddressBook::ListedPerson::stamp() const
{
    return m_entry ? PersonStamp{m_entry->uniqueId(), m_entry->modificationDate()} : m_stamp;
}

std::optional<VCardSummary> ABAddressBook::ListedPerson::summary() const
{
    return m_entry ? std::optional<VCardSummary>(m_entry->summary()) : std::nullopt;
}

std::shared_ptr<ABRecord> ABAddressBook::recordForUniqueId(const QString &uniqueId)
{
    if (const std::shared_ptr<ABRecord> held = m_held.value(uniqueId))
        return held;
    if (m_removedIds.contains(uniqueId))
        return nullptr;
    const qsizetype found = m_snapshot->findUniqueId(uniqueId);
    if (found < 0)
        return nullptr;
    return recordForEntry(m_snapshot->entries[size_t(found)]);
}

std::optional<QDateTime> ABAddressBook::modificationDateOf(const QString &uniqueId) const
{
    std::shared_ptr<ABRecord> live = m_held.value(uniqueId);
    if (!live && m_removedIds.contains(uniqueId))
        return std::nullopt;
    if (!live)
        live = m_handedOut.value(uniqueId).lock();
    if (live)
        return live->storedValues().value(kABModificationDateProperty).toDateTime();
    const qsizetype found = m_snapshot->findUniqueId(uniqueId);
    if (found < 0)
        return std::nullopt;
    return m_snapshot->entries[size_t(found)].modificationDate();
}

bool ABAddressBook::addRecord(const std::shared_ptr<ABRecord> &record)
{
    if (!record || recordForUniqueId(record->uniqueId()))
        return false;
    const std::shared_ptr<ABAddressBook> owner = record->addressBook();
    if (owner && owner.get() != this)
        return false;
    attach(record);
    m_held.insert(record->uniqueId(), record);
    m_removedIds.remove(record->uniqueId());
    if (auto group = std::dynamic_pointer_cast<ABGroup>(record))
        m_groups.append(group);
    else
        indexName(record->uniqueId(), record->valueForProperty(kABLastNameProperty).toString());
    markChanged(*record);
    return true;
}

bool ABAddressBook::removeRecord(const std::shared_ptr<ABRecord> &record)
{
    if (!record || recordForUniqueId(record->uniqueId()) != record)
        return false;
    const QString uniqueId = record->uniqueId();
    m_held.remove(uniqueId);
    m_handedOut.remove(uniqueId);
    if (m_snapshot->findUniqueId(uniqueId) >= 0)
        m_removedIds.insert(uniqueId);
    if (!record->fileName().isEmpty())
        m_removedFiles.append(record->fileName());
    if (m_changedSet.remove(record.get()))
        m_changed.removeOne(record);
    if (auto group = std::dynamic_pointer_cast<ABGroup>(record)) {
        m_groups.removeOne(group);
        return true;
    }
    indexName(uniqueId, QString());
    for (const std::shared_ptr<ABGroup> &group : std::as_const(m_groups)) {
        if (group->forgetMember(uniqueId))
            markChanged(*group);
    }
    return true;
}

bool ABAddressBook::hasUnsavedChanges() const
{
    return !m_changed.isEmpty() || !m_removedFiles.isEmpty();
}

void ABAddressBook::markChanged(ABRecord &record)
{
    if (m_changedSet.contains(&record))
        return;
    m_changedSet.insert(&record);
    m_changed.append(record.shared_from_this());
}

void ABAddressBook::recordDidChange(ABRecord &record, const QString &property)
{
    // A record is written value by value: once it is marked, only a new last name has more to do.
    const bool isLastName = property == kABLastNameProperty && !record.isGroup();
    if (m_changedSet.contains(&record) && !isLastName)
        return;
    if (recordForUniqueId(record.uniqueId()).get() != &record)
        return;
    if (isLastName)
        indexName(record.uniqueId(), record.valueForProperty(property).toString());
    markChanged(record);
}

void ABAddressBook::membershipDidChange(ABGroup &group, ABPerson &person)
{
    markChanged(group);
    // The person's categories name its groups, so its card changes too.
    if (recordForUniqueId(person.uniqueId()).get() == &person) {
        person.isReadable();
        markChanged(person);
    }
}

QStringList ABAddressBook::groupNamesOf(const QString &personId) const
{
    QStringList names;
    for (const std::shared_ptr<ABGroup> &group : m_groups) {
        const QString name = group->storedValues().value(kABGroupNameProperty).toString();
        if (group->hasMember(personId) && !name.isEmpty())
            names.append(name);
    }
    return names;
}

// A name no file of the folder, no file about to be removed and no other file of this save has.
QString ABAddressBook::fileNameFor(const ABRecord &record, const QSet<QString> &takenNames) const
{
    if (!record.fileName().isEmpty())
        return record.fileName();
    const QString stem = safeFileStem(record.uniqueId());
    QString name = stem + QStringLiteral(".vcf");
    for (int attempt = 1;
         m_snapshot->find(QFile::encodeName(name)) >= 0 || m_removedFiles.contains(name) || takenNames.contains(name);
         ++attempt)
        name = stem + QStringLiteral("-%1.vcf").arg(attempt);
    return name;
}

// A record read from a file changes in its card only what it changed; a new one is written whole.
// The card becomes the record's own: a record whose write fails stays changed, and its next save
// writes that card with what changed since.
QByteArray ABAddressBook::cardTextFor(ABRecord &record, const QStringList &allGroupNames) const
{
    const QStringList groupNames = groupNamesOf(record.uniqueId());
    // The text parsed once already when it was read or written: it parses again.
    const Result<VCard> source = record.sourceCardText().isEmpty() ? Result<VCard>(Error(ErrorCode::IoOther, QString()))
                                                                   : VCard::parse(record.sourceCardText());
    const VCard card = source ? ABVCardMapping::patchedCard(*source, record, groupNames, allGroupNames)
                              : ABVCardMapping::cardForRecord(record, groupNames, allGroupNames);
    QByteArray text = card.serialize();
    record.setSourceCardText(text);
    return text;
}

Status ABAddressBook::save()
{
    // REV holds whole seconds: the date the records carry is the one their files say.
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(Clock::now().toSecsSinceEpoch(), Qt::UTC);
    QStringList allGroupNames;
    for (const std::shared_ptr<ABGroup> &group : std::as_const(m_groups))
        allGroupNames.append(group->storedValues().value(kABGroupNameProperty).toString());
    QList<VCardFileWrite> writes;
    QHash<QString, std::shared_ptr<ABRecord>> byFile;
    QSet<QString> takenNames;
    for (const std::shared_ptr<ABRecord> &record : std::as_const(m_changed)) {
        if (!record->isReadable())
            continue; // never overwrite a file we could not read
        record->setStoredValue(kABModificationDateProperty, stamp);
        const QString fileName = fileNameFor(*record, takenNames);
        takenNames.insert(fileName);
        writes.append(VCardFileWrite{fileName, cardTextFor(*record, allGroupNames), ABVCardMapping::summaryOfRecord(*record)});
        byFile.insert(fileName, record);
    }
    // A removed record's file that a record added again rewrites is replaced, not removed.
    m_removedFiles.removeIf([&byFile](const QString &name) { return byFile.contains(name); });
    const VCardFolder::Written written = m_folder->writeFiles(writes, m_removedFiles, m_snapshot);
    takeWritten(written, byFile);
    if (written.failures.isEmpty())
        return success();
    return Error(ErrorCode::IoWriteFailed,
                 QStringLiteral("%1 files were not written or removed; first: %2: %3")
                     .arg(written.failures.size())
                     .arg(written.failures.constBegin().key(), written.failures.constBegin().value()));
}

// Written persons are let go (the book hands them out again from the folder's index while someone
// holds them); records whose files failed stay changed and held, failed removals stay pending.
void ABAddressBook::takeWritten(const VCardFolder::Written &written,
                                const QHash<QString, std::shared_ptr<ABRecord>> &writtenByFile)
{
    QList<std::shared_ptr<ABRecord>> stillChanged;
    for (auto it = writtenByFile.constBegin(); it != writtenByFile.constEnd(); ++it) {
        const std::shared_ptr<ABRecord> &record = it.value();
        if (written.failures.contains(it.key())) {
            stillChanged.append(record);
            continue;
        }
        record->setFileName(it.key());
        if (record->isGroup())
            continue;
        if (m_held.remove(record->uniqueId()))
            m_handedOut.insert(record->uniqueId(), record);
        // Saved, the person is found by the name its file holds.
        unindexName(record->uniqueId());
    }
    m_changed = stillChanged;
    m_changedSet.clear();
    for (const std::shared_ptr<ABRecord> &record : std::as_const(stillChanged))
        m_changedSet.insert(record.get());
    m_removedFiles.removeIf([&written](const QString &name) { return !written.failures.contains(name); });
    m_snapshot = written.snapshot;
    if (!written.isOnWritersSnapshot) {
        m_mustShowAnew = true;
        ++m_showingCount;
    }
    m_removedIds.removeIf([this](const QString &uniqueId) { return m_snapshot->findUniqueId(uniqueId) < 0; });
    pruneHandedOut();
}

void ABAddressBook::ensureSnapshotNames()
{
    // A snapshot named before lives as long as its table is of use: once let go, the lock fails.
    if (m_namedSnapshot.lock() == m_snapshot)
        return;
    m_snapshotNames.clear();
    m_snapshotNames.reserve(m_snapshot->entries.size());
    for (size_t index = 0; index < m_snapshot->entries.size(); ++index) {
        const VCardFileEntry &entry = m_snapshot->entries[index];
        if (entry.isReadable && !entry.isDuplicate && !entry.isGroup)
            m_snapshotNames.emplace_back(foldedNameKey(entry.lastNameKey()), quint32(index));
    }
    std::sort(m_snapshotNames.begin(), m_snapshotNames.end());
    m_namedSnapshot = m_snapshot;
}

void ABAddressBook::unindexName(const QString &uniqueId)
{
    const auto filed = m_indexedLastName.constFind(uniqueId);
    if (filed == m_indexedLastName.constEnd())
        return;
    const auto named = m_byLastName.find(filed.value());
    named->removeOne(uniqueId);
    if (named->isEmpty())
        m_byLastName.erase(named);
    m_indexedLastName.erase(filed);
}

void ABAddressBook::indexName(const QString &uniqueId, const QString &lastName)
{
    unindexName(uniqueId);
    if (lastName.isNull() && !recordForUniqueId(uniqueId))
        return;
    const quint64 key = lastNameKey(lastName);
    m_byLastName[key].append(uniqueId);
    m_indexedLastName.insert(uniqueId, key);
}

// Candidates come from this instance's own changes first, then from the snapshot for persons it has
// not renamed; the search decides on the values each has now.
QStringList ABAddressBook::namedCandidates(quint64 key)
{
    QStringList candidates = m_byLastName.value(key);
    ensureSnapshotNames();
    const auto [first, last] =
        std::equal_range(m_snapshotNames.cbegin(), m_snapshotNames.cend(), std::pair{foldedNameKey(key), quint32(0)},
                         [](const auto &one, const auto &other) { return one.first < other.first; });
    for (auto named = first; named != last; ++named) {
        const QString uniqueId = m_snapshot->entries[size_t(named->second)].uniqueId();
        if (!m_indexedLastName.contains(uniqueId))
            candidates.append(uniqueId);
    }
    return candidates;
}

QList<std::shared_ptr<ABRecord>> ABAddressBook::recordsMatchingSearchElement(const ABSearchElement &element)
{
    QList<std::shared_ptr<ABRecord>> matches;
    const QString lastName = element.caseInsensitiveEqualityValue(kABLastNameProperty);
    if (lastName.isNull()) {
        for (const std::shared_ptr<ABPerson> &person : people()) {
            if (element.matchesRecord(*person))
                matches.append(person);
        }
        return matches;
    }
    for (const QString &uniqueId : namedCandidates(lastNameKey(lastName))) {
        const std::shared_ptr<ABRecord> person = recordForUniqueId(uniqueId);
        if (person && !person->isGroup() && element.matchesRecord(*person))
            matches.append(person);
    }
    return matches;
}

} // namespace platform
