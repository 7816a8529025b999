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

#include <mutex>

namespace platform {

const QString ABAddressBook::kFolderDefaultsKey = QStringLiteral("AddressBookFolderPath");

namespace {

std::shared_ptr<VCardFolder> currentFolder()
{
    const QString folder = ABAddressBook::storeFolderPath();
    const QByteArray digest = QCryptographicHash::hash(QDir::cleanPath(folder).toUtf8(), QCryptographicHash::Md5);
    const QString index = FileSystem::dataFolderPath() + QStringLiteral("/AddressBookIndexes/")
                          + QString::fromLatin1(digest.toHex()) + QStringLiteral(".index");
    return VCardFolder::forLocation(folder, index);
}

// A file name the folder can hold for a unique id: characters other programs' ids may carry that
// a file name cannot ("/", control characters) become "_".
QString safeFileStem(const QString &uniqueId)
{
    QString stem;
    for (const QChar character : uniqueId) {
        const bool isSafe = character.isLetterOrNumber() || character == QLatin1Char('-') || character == QLatin1Char('_')
                            || character == QLatin1Char('.') || character == QLatin1Char('@');
        stem += isSafe ? character : QChar(QLatin1Char('_'));
    }
    if (stem.isEmpty() || stem.startsWith(QLatin1Char('.')))
        stem.prepend(QLatin1Char('_'));
    return stem.left(200);
}

VCardSummary summaryOf(ABRecord &record)
{
    VCardSummary summary;
    summary.uniqueId = record.uniqueId();
    summary.isGroup = record.isGroup();
    summary.modificationDate = record.valueForProperty(kABModificationDateProperty).toDateTime();
    summary.firstName = record.valueForProperty(kABFirstNameProperty).toString();
    summary.lastName = record.valueForProperty(kABLastNameProperty).toString();
    summary.organization = record.valueForProperty(kABOrganizationProperty).toString();
    summary.groupName = record.valueForProperty(kABGroupNameProperty).toString();
    summary.emails = record.searchTexts(kABEmailProperty, QString());
    return summary;
}

std::shared_ptr<ABRecord> recordFromSummary(const VCardSummary &summary, const std::shared_ptr<VCardFolder> &folder)
{
    std::shared_ptr<ABRecord> record;
    if (summary.isGroup)
        record = ABGroup::groupWithUniqueId(summary.uniqueId);
    else
        record = ABPerson::personWithUniqueId(summary.uniqueId);
    record->setStoredValue(kABModificationDateProperty, summary.modificationDate);
    record->markUnloaded(folder);
    if (summary.isGroup) {
        record->setStoredValue(kABGroupNameProperty, summary.groupName);
        return record;
    }
    for (const auto &[property, text] : {std::pair{kABFirstNameProperty, summary.firstName},
                                         std::pair{kABLastNameProperty, summary.lastName},
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

ABAddressBook::ABAddressBook(std::shared_ptr<VCardFolder> folder) : m_folder(std::move(folder)) {}

ABAddressBook::~ABAddressBook()
{
    // What this instance's saves wrote reaches the folder's index file once, not after every save.
    m_folder->flushIndex();
}

Status ABAddressBook::open()
{
    Result<VCardFolder::Snapshot> snapshot = m_folder->refresh();
    if (!snapshot)
        return snapshot.error();
    showSnapshot(*snapshot);
    return success();
}

Status ABAddressBook::refresh()
{
    if (hasUnsavedChanges())
        return Error(ErrorCode::DataOther, QStringLiteral("the address book has unsaved changes"));
    Result<VCardFolder::Snapshot> snapshot = m_folder->refresh();
    if (!snapshot)
        return snapshot.error();
    if (isSnapshotSeen(*snapshot))
        return success();
    forgetRecords();
    showSnapshot(*snapshot);
    return success();
}

bool ABAddressBook::isOnCurrentFolder() const
{
    return m_folder == currentFolder();
}

bool ABAddressBook::isSnapshotSeen(const VCardFolder::Snapshot &snapshot) const
{
    if (snapshot.entries.size() != m_seenFiles.size())
        return false;
    for (const VCardFileEntry &entry : snapshot.entries) {
        const auto seen = m_seenFiles.constFind(entry.fileName);
        if (seen == m_seenFiles.constEnd() || !(*seen == entry.stamp()))
            return false;
    }
    return true;
}

// Lets go of every record: a record handed out before no longer reports its changes to this book.
void ABAddressBook::forgetRecords()
{
    for (const std::shared_ptr<ABRecord> &record : std::as_const(m_records))
        record->attachToAddressBook(nullptr);
    m_people.clear();
    m_groups.clear();
    m_records.clear();
    m_fileNames.clear();
    m_unreadable.clear();
    m_seenFiles.clear();
    m_isNameIndexBuilt = false;
    m_byLastName.clear();
    m_indexedLastName.clear();
}

void ABAddressBook::showSnapshot(const VCardFolder::Snapshot &snapshot)
{
    m_seenFiles.reserve(snapshot.entries.size());
    m_records.reserve(snapshot.entries.size());
    for (const VCardFileEntry &entry : snapshot.entries) {
        m_seenFiles.insert(entry.fileName, entry.stamp());
        if (!entry.isReadable || m_records.contains(entry.summary.uniqueId)) {
            m_unreadable.insert(entry.summary.uniqueId,
                                entry.isReadable ? QStringLiteral("%1: another file has the same unique id").arg(entry.fileName)
                                                 : entry.problem);
            continue;
        }
        std::shared_ptr<ABRecord> record = recordFromSummary(entry.summary, m_folder);
        record->setFileName(entry.fileName);
        const auto parsed = snapshot.parsedCards.constFind(entry.fileName);
        if (parsed != snapshot.parsedCards.constEnd()) {
            ABVCardMapping::readCard(*parsed, *record);
            record->setLoaded(QString());
        } else if (entry.summary.isGroup) {
            // Groups are read whole at once: persons' group lists come from them.
            record->isReadable();
        }
        m_fileNames.insert(entry.fileName);
        addRecordFromStore(record);
    }
}

void ABAddressBook::addRecordFromStore(const std::shared_ptr<ABRecord> &record)
{
    record->attachToAddressBook(shared_from_this());
    m_records.insert(record->uniqueId(), record);
    if (auto group = std::dynamic_pointer_cast<ABGroup>(record))
        m_groups.append(group);
    else if (auto person = std::dynamic_pointer_cast<ABPerson>(record))
        m_people.append(person);
}

std::shared_ptr<ABRecord> ABAddressBook::recordForUniqueId(const QString &uniqueId) const
{
    return m_records.value(uniqueId);
}

bool ABAddressBook::addRecord(const std::shared_ptr<ABRecord> &record)
{
    if (!record || m_records.contains(record->uniqueId()))
        return false;
    const std::shared_ptr<ABAddressBook> owner = record->addressBook();
    if (owner && owner.get() != this)
        return false;
    addRecordFromStore(record);
    if (m_isNameIndexBuilt && !record->isGroup())
        indexName(static_cast<ABPerson *>(record.get()), record->valueForProperty(kABLastNameProperty).toString());
    markChanged(*record);
    return true;
}

bool ABAddressBook::removeRecord(const std::shared_ptr<ABRecord> &record)
{
    if (!record || m_records.value(record->uniqueId()) != record)
        return false;
    m_records.remove(record->uniqueId());
    if (!record->fileName().isEmpty())
        m_removedFiles.append(record->fileName());
    if (m_changedSet.remove(record.get()))
        m_changed.removeOne(record);
    if (auto group = std::dynamic_pointer_cast<ABGroup>(record)) {
        m_groups.removeOne(group);
        return true;
    }
    auto person = std::static_pointer_cast<ABPerson>(record);
    m_people.removeOne(person);
    indexName(person.get(), QString());
    for (const std::shared_ptr<ABGroup> &group : m_groups) {
        if (group->forgetMember(record->uniqueId()))
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
    m_changed.append(m_records.value(record.uniqueId()));
}

void ABAddressBook::recordDidChange(ABRecord &record, const QString &property)
{
    if (!m_records.contains(record.uniqueId()))
        return;
    if (property == kABLastNameProperty && !record.isGroup())
        indexName(static_cast<ABPerson *>(&record), record.valueForProperty(property).toString());
    markChanged(record);
}

void ABAddressBook::membershipDidChange(ABGroup &group, ABPerson &person)
{
    markChanged(group);
    // The person's categories name its groups, so its card changes too.
    if (m_records.contains(person.uniqueId())) {
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

QString ABAddressBook::fileNameFor(const ABRecord &record) const
{
    if (!record.fileName().isEmpty())
        return record.fileName();
    QString name = safeFileStem(record.uniqueId()) + QStringLiteral(".vcf");
    for (int attempt = 1; m_fileNames.contains(name) || m_removedFiles.contains(name); ++attempt)
        name = safeFileStem(record.uniqueId()) + QStringLiteral("-%1.vcf").arg(attempt);
    return name;
}

Status ABAddressBook::save()
{
    // REV holds whole seconds: the date the records carry is the one their files say.
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(Clock::now().toSecsSinceEpoch(), Qt::UTC);
    QStringList allGroupNames;
    for (const std::shared_ptr<ABGroup> &group : m_groups)
        allGroupNames.append(group->storedValues().value(kABGroupNameProperty).toString());
    QList<VCardFileWrite> writes;
    QHash<QString, std::shared_ptr<ABRecord>> byFile;
    for (const std::shared_ptr<ABRecord> &record : m_changed) {
        if (!record->isReadable())
            continue; // never overwrite a file we could not read
        record->setStoredValue(kABModificationDateProperty, stamp);
        const QString fileName = fileNameFor(*record);
        const VCard card = ABVCardMapping::cardForRecord(*record, groupNamesOf(record->uniqueId()), allGroupNames);
        writes.append(VCardFileWrite{fileName, card.serialize(), summaryOf(*record)});
        byFile.insert(fileName, record);
    }
    const QHash<QString, QString> failures = m_folder->writeFiles(writes, m_removedFiles);
    keepWhatFailed(failures, byFile);
    if (failures.isEmpty())
        return success();
    return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1 files were not written or removed; first: %2: %3")
                                               .arg(failures.size())
                                               .arg(failures.constBegin().key(), failures.constBegin().value()));
}

void ABAddressBook::keepWhatFailed(const QHash<QString, QString> &failures,
                                   const QHash<QString, std::shared_ptr<ABRecord>> &writtenByFile)
{
    QList<std::shared_ptr<ABRecord>> stillChanged;
    for (auto it = writtenByFile.constBegin(); it != writtenByFile.constEnd(); ++it) {
        if (failures.contains(it.key())) {
            stillChanged.append(it.value());
            continue;
        }
        it.value()->setFileName(it.key());
        m_fileNames.insert(it.key());
        // A file written is one this instance knows; one not indexed is seen as changed next time.
        if (const std::optional<VCardFileStamp> stamp = m_folder->indexedStamp(it.key()))
            m_seenFiles.insert(it.key(), *stamp);
        else
            m_seenFiles.remove(it.key());
    }
    for (const QString &name : failures.keys())
        m_seenFiles.remove(name);
    m_changed = stillChanged;
    m_changedSet.clear();
    for (const std::shared_ptr<ABRecord> &record : stillChanged)
        m_changedSet.insert(record.get());
    QStringList removalsLeft;
    for (const QString &name : std::as_const(m_removedFiles)) {
        if (failures.contains(name))
            removalsLeft.append(name);
        else
            m_seenFiles.remove(name);
    }
    m_removedFiles = removalsLeft;
}

void ABAddressBook::buildNameIndex()
{
    if (m_isNameIndexBuilt)
        return;
    m_isNameIndexBuilt = true;
    for (const std::shared_ptr<ABPerson> &person : m_people)
        indexName(person.get(), person->valueForProperty(kABLastNameProperty).toString());
}

void ABAddressBook::indexName(ABPerson *person, const QString &lastName)
{
    if (!m_isNameIndexBuilt)
        return;
    const auto previous = m_indexedLastName.constFind(person);
    if (previous != m_indexedLastName.constEnd()) {
        m_byLastName[previous.value()].removeOne(person);
        m_indexedLastName.erase(previous);
    }
    if (lastName.isNull() && !m_records.contains(person->uniqueId()))
        return;
    const QString key = lastName.toCaseFolded();
    m_byLastName[key].append(person);
    m_indexedLastName.insert(person, key);
}

QList<std::shared_ptr<ABRecord>> ABAddressBook::recordsMatchingSearchElement(const ABSearchElement &element)
{
    QList<std::shared_ptr<ABRecord>> matches;
    const QString lastName = element.caseInsensitiveEqualityValue(kABLastNameProperty);
    if (lastName.isNull()) {
        for (const std::shared_ptr<ABPerson> &person : m_people) {
            if (element.matchesRecord(*person))
                matches.append(person);
        }
        return matches;
    }
    buildNameIndex();
    for (ABPerson *person : m_byLastName.value(lastName.toCaseFolded())) {
        if (element.matchesRecord(*person))
            matches.append(m_records.value(person->uniqueId()));
    }
    return matches;
}

} // namespace platform
