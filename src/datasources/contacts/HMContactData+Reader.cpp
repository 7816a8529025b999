// The reading side of the contacts data source: the persons changed since the last sync as sync
// records, and one person as a contact record with stable slots for its multi-values.
#include "datasources/contacts/HMContactData.h"
#include "datasources/contacts/HMContactDataKeys.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "sync/HMChangeDates.h"
#include "sync/HMIdentifierGraph.h"

#include <QSet>

using namespace hmcontacts;
using namespace platform;

namespace {

void reportReadProgress(const std::shared_ptr<HMSyncProgressReporting> &sheet, qsizetype position, qsizetype total)
{
    if (!sheet)
        return;
    sheet->setOverallMessageDirectly(QString(), total > 0 ? double(position) / double(total) : 0.0);
    sheet->setUserMessageDirectly(QStringLiteral("Reading %1 of %2 Apple Contacts.").arg(position).arg(total));
}

// The phone gets the person as it is now: until the person changes again, the phone's next edit of
// it meets no desktop change (another program may have dated its edit later than the start of the
// sync that sent it, which alone would make it look changed since).
void noteVersionSent(QVariantMap &identifierDictionary, const QDateTime &modified)
{
    if (modified.isValid())
        identifierDictionary.insert(kSentModificationDateKey, modified);
    else
        identifierDictionary.remove(kSentModificationDateKey);
}

void setText(QVariantMap &record, const QString &key, const QVariant &value)
{
    setHMValueAsString(record, value, key);
}

} // namespace

std::optional<QList<HMSyncRecord>> HMContactData::syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                                const QSet<QString> &excludedHmUids)
{
    if (m_addressBookIsInaccessible)
        return std::nullopt;
    DDLogInfo(QStringLiteral("Loading apple contacts modified after %1").arg(date.toString(Qt::ISODate)));
    const std::shared_ptr<ABAddressBook> book = addressBook();
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!book || !graph)
        return std::nullopt;
    // Persons are made only for those that go to the other side, and visited one at a time: a
    // listing costs the folder's index.
    const qsizetype count = book->personStampCount();
    DDLogInfo(QStringLiteral("Found %1 persons").arg(count));
    // The dictionaries no person took are the deletions, found in the graph as it is afterwards.
    TakenDictionaries taken(graph, date);
    QList<HMSyncRecord> result;
    QStringList newHmUids;
    qsizetype position = 0;
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    book->visitListedPersons([&](const ABAddressBook::ListedPerson &person) {
        reportReadProgress(sheet, ++position, count);
        if (taken.takeIfUnchanged(person))
            return;
        if (std::optional<HMSyncRecord> record = recordForPerson(person, date, excludedHmUids, taken)) {
            if (record->isNew()) {
                newHmUids.append(record->hmxUid());
                taken.note(record->nativeId(), record->hmxUid());
            }
            result.append(*record);
        }
    });
    addRecordsAddedToDevice(newHmUids);
    if (includeDeletes)
        result += deletionRecords(dictionariesNotTaken(taken));
    return result;
}

std::optional<HMSyncRecord> HMContactData::recordForPerson(const ABAddressBook::ListedPerson &person, const QDateTime &after,
                                                           const QSet<QString> &excludedHmUids, TakenDictionaries &taken)
{
    const ABAddressBook::PersonStamp stamp = person.stamp();
    DDLogInfo(QString());
    DDLogInfo(loadingPersonLine(stamp.uniqueId));
    if (const QString unchanged = hmUidOfUnchangedPerson(stamp, after); !unchanged.isEmpty()) {
        logDateComparison(stamp.modificationDate, after);
        taken.note(stamp.uniqueId, unchanged);
        return std::nullopt;
    }
    // Read packed: only a changed person needs the whole dictionary.
    using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;
    std::optional<HMIdentifierGraphEntry> entry;
    if (!taken.findEntry(person, entry))
        entry = identifierGraph()->entryForNativeId(stamp.uniqueId);
    const QString hmUid = entry ? entry->valueOf(WellKnownKey::HmUid).toString() : QString();
    // Under the entry's own text of the id: the listing's text of it is let go with the person's stamp.
    if (entry)
        taken.note(entry->valueOf(WellKnownKey::NativeId).toString(), hmUid);
    // A person sent as new whose answer never came goes as new again, under the same temporary id.
    if (!hmUid.isEmpty() && entry->isUnconfirmedAdd())
        return recordForNewPerson(personForId(stamp.uniqueId), hmUid);
    if (!hmUid.isEmpty())
        return recordForChangedPerson(stamp, *entry, hmUid, after, excludedHmUids);
    DDLogWarn(QStringLiteral("Found identifierDictionary without a hmuid, removing dictionary so we will add a new one."));
    return recordForNewPerson(personForId(stamp.uniqueId), QString());
}

std::shared_ptr<ABPerson> HMContactData::personForId(const QString &uniqueId)
{
    const std::shared_ptr<ABAddressBook> book = addressBook();
    return book ? std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(uniqueId)) : nullptr;
}

// Made only when the line is logged: the names come from the folder's index.
QString HMContactData::loadingPersonLine(const QString &uniqueId)
{
    const std::shared_ptr<ABPerson> person = personForId(uniqueId);
    return QStringLiteral("Loading Person: %1 %2")
        .arg(person ? person->valueForProperty(kABFirstNameProperty).toString() : QString(),
             person ? person->valueForProperty(kABLastNameProperty).toString() : QString());
}

// Most persons of a sync are unchanged: a confirmed person dated no later than the last sync goes
// nowhere whatever its identifier dictionary holds, so only its hmUid is looked up, and the dictionary
// is never made. Empty when the person needs the full look: no date to compare, changed since, some
// dictionary unconfirmed (its person goes as new again), or no hmUid text joined to the person.
QString HMContactData::hmUidOfUnchangedPerson(const ABAddressBook::PersonStamp &stamp, const QDateTime &after) const
{
    const QDateTime &modified = stamp.modificationDate;
    if (!after.isValid() || !modified.isValid() || hmchangedates::isChangedAfter(modified, after))
        return QString();
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (graph->hasUnconfirmedEntries())
        return QString();
    return graph->harrowmereUidForNativeId(stamp.uniqueId);
}

void HMContactData::logDateComparison(const QDateTime &modified, const QDateTime &after)
{
    DDLogInfo(QStringLiteral("Comparing apple modified date %1 with device modified date %2")
                  .arg(dateUtilities().localDateTimeStringFromDate(modified),
                       dateUtilities().localDateTimeStringFromDate(after)));
}

bool HMContactData::isLastWrittenBySync(const QDateTime &modified, const QVariant &written)
{
    const QDateTime date = written.toDateTime();
    return date.isValid() && date == modified;
}

std::optional<HMSyncRecord> HMContactData::recordForChangedPerson(const ABAddressBook::PersonStamp &stamp,
                                                                  const HMIdentifierGraphEntry &entry,
                                                                  const QString &hmUid, const QDateTime &after,
                                                                  const QSet<QString> &excludedHmUids)
{
    const QDateTime &modified = stamp.modificationDate;
    logDateComparison(modified, after);
    // A person the sync itself last saved from the other side's record is not a desktop change: told
    // from the one date in the packed entry, as the persons the sync wrote after the last sync's date
    // are many after a sync that brought many (the whole dictionary is made only for a changed one).
    if (after.isValid() && ((modified.isValid() && !hmchangedates::isChangedAfter(modified, after)) ||
                            isLastWrittenBySync(modified, entry.value(kWrittenModificationDateKey))))
        return std::nullopt;
    DDLogInfo(QStringLiteral("Person is a modified record, processing for device update"));
    if (excludedHmUids.contains(hmUid)) {
        DDLogInfo(QStringLiteral("Ignoring Modified Record %1 due to being modified by device.").arg(hmUid));
        return std::nullopt;
    }
    const std::shared_ptr<ABPerson> person = personForId(stamp.uniqueId);
    if (!person || !person->isReadable()) {
        DDLogError(QStringLiteral("Skipping contact '%1': %2")
                       .arg(stamp.uniqueId, person ? person->readProblem() : QStringLiteral("not in the address book")));
        return std::nullopt;
    }
    QVariantMap copy = entry.toMap();
    noteVersionSent(copy, modified);
    HMSyncRecord record;
    record.setHmxUid(hmUid);
    record.setNativeId(person->uniqueId());
    record.setLastModifiedDate(modified);
    record.setDictionary(pppDictionaryForPerson(person, copy, 1));
    identifierGraph()->setDictionary(copy, hmUid);
    return record;
}

std::optional<HMSyncRecord> HMContactData::recordForNewPerson(const std::shared_ptr<ABPerson> &person,
                                                              const QString &temporaryId)
{
    DDLogInfo(QStringLiteral("Person is beinged added to device as new record."));
    if (!person)
        return std::nullopt;
    if (!person->isReadable()) {
        DDLogError(QStringLiteral("Skipping contact '%1': %2").arg(person->uniqueId(), person->readProblem()));
        return std::nullopt;
    }
    const QString hmUid = temporaryId.isEmpty() ? newUid() : temporaryId;
    // Unconfirmed until the phone answers with its own id: the id list never deletes it meanwhile,
    // and a run that ends before the answer matches the phone's records with it first.
    QVariantMap dictionary{{kNativeIdKey, person->uniqueId()}, {kHmUidKey, hmUid}};
    if (const std::optional<QVariantMap> old = identifierGraph()->dictionaryForHarrowmereUid(hmUid))
        dictionary = *old;
    markUnconfirmed(dictionary);
    noteVersionSent(dictionary, person->valueForProperty(kABModificationDateProperty).toDateTime());
    HMSyncRecord record;
    record.setIsNew(true);
    record.setHmxUid(hmUid);
    record.setNativeId(person->uniqueId());
    record.setLastModifiedDate(person->valueForProperty(kABModificationDateProperty).toDateTime());
    record.setDictionary(pppDictionaryForPerson(person, dictionary, 1));
    identifierGraph()->setDictionary(dictionary, hmUid);
    return record;
}

// The graph's dictionaries that no person of the listing took, read from the graph as it is after the
// listing.
QList<QVariantMap> HMContactData::dictionariesNotTaken(const TakenDictionaries &taken)
{
    QList<QVariantMap> left;
    using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;
    const HMIdentifierGraph::Entries &entries = identifierGraph()->entries();
    if (taken.isEveryOneOf(entries.size()))
        return left;
    const QHash<QString, QString> byNativeId = taken.table();
    for (const HMIdentifierGraphEntry &entry : entries) {
        const auto found = byNativeId.constFind(entry.valueOf(WellKnownKey::NativeId).toString());
        if (found == byNativeId.constEnd() || *found != entry.valueOf(WellKnownKey::HmUid).toString())
            left.append(entry.toMap());
    }
    return left;
}

QList<HMSyncRecord> HMContactData::deletionRecords(QList<QVariantMap> remaining)
{
    QList<HMSyncRecord> deletions;
    const std::shared_ptr<ABAddressBook> book = addressBook();
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    for (const QVariantMap &dictionary : remaining) {
        const QString hmUid = dictionary.value(kHmUidKey).toString();
        if (hmUid.isEmpty())
            continue;
        // A file that is there but cannot be read is no deletion: the other side keeps the contact.
        const QString nativeId = dictionary.value(kNativeIdKey).toString();
        if (book && book->unreadableRecords().contains(nativeId)) {
            DDLogError(QStringLiteral("Not deleting '%1' on the device: its contact file cannot be read").arg(hmUid));
            continue;
        }
        // A person deleted before the phone confirmed it: the phone knows no id of it to delete.
        graph->removeDictionary(dictionary);
        if (isUnconfirmed(dictionary))
            continue;
        deletions.append(HMSyncRecord::deletionOf(hmUid));
        DDLogInfo(QStringLiteral("Deleting Record '%1' on Device.").arg(hmUid));
    }
    return deletions;
}

QVariantMap HMContactData::pppDictionaryForPerson(const std::shared_ptr<ABPerson> &person,
                                                  QVariantMap &identifierDictionary, quint64 syncMethod)
{
    Q_UNUSED(syncMethod);
    QVariantMap record;
    const std::pair<const char *, QString> plain[] = {
        {"SALUTATION", kABTitleProperty},          {"NEWFNAME", kABFirstNameProperty},
        {"MIDNAME", kABMiddleNameProperty},         {"NEWLNAME", kABLastNameProperty},
        {"PHFNAME", kABFirstNamePhoneticProperty},  {"PHLNAME", kABLastNamePhoneticProperty},
        {"SUFFIX", kABSuffixProperty},              {"TITLE", kABJobTitleProperty},
        {"COMPANY", kABOrganizationProperty},       {"NICKNAME", kABNicknameProperty},
        {"NOTE", kABNoteProperty},                  {"DEPARTMENT", kABDepartmentProperty}};
    for (const auto &[key, property] : plain)
        setText(record, QLatin1String(key), person->valueForProperty(property));
    readGroups(person, record, identifierDictionary);
    readPhones(person, record, identifierDictionary);
    readSlots(person, record, identifierDictionary);
    readAddresses(person, record, identifierDictionary);
    setHMValue(record, person->valueForProperty(kABBirthdayProperty), QStringLiteral("NSDATEBIRTHDAY"));
    const QMap<int, SlotEntry> otherDates = labelsAndValuesOfPerson(person, kABOtherDatesProperty, 1, kOtherDatesKeys,
                                                                    {kABAnniversaryLabel}, identifierDictionary);
    DDLogVerbose(QStringLiteral("Other Dates: %1").arg(otherDates.size()));
    return record;
}

void HMContactData::readGroups(const std::shared_ptr<ABPerson> &person, QVariantMap &record,
                               QVariantMap &identifierDictionary)
{
    QStringList ids;
    QStringList names;
    for (const std::shared_ptr<ABGroup> &group : person->parentGroups()) {
        const QVariant name = group->valueForProperty(kABGroupNameProperty);
        if (name.typeId() != QMetaType::QString)
            continue;
        ids.append(group->uniqueId());
        if (!name.toString().isEmpty())
            names.append(name.toString());
    }
    identifierDictionary.insert(kGroupIdsKey, ids);
    record.insert(QStringLiteral("NSARRAYCATEGORIES"), names);
    const QString separator = isCloudVariant() ? QStringLiteral("\t") : QStringLiteral(",");
    QString category;
    for (const QString &name : names)
        category += name + separator;
    record.insert(QStringLiteral("CATEGORY"), category);
}

void HMContactData::readPhones(const std::shared_ptr<ABPerson> &person, QVariantMap &record,
                               QVariantMap &identifierDictionary)
{
    const QMap<int, SlotEntry> phones =
        labelsAndValuesOfPerson(person, kABPhoneProperty, 10, kPhoneFieldKeys, {}, identifierDictionary);

    const std::pair<const char *, const char *> fixed[] = {{"WORKPHONE", "work"},   {"CELLPHONE", "mobile"},
                                                           {"HOMEPHONE", "home"},   {"WORKFAX", "work fax"},
                                                           {"ASSISTANT", "assistant"}, {"COMPANYMAIN", "main"},
                                                           {"OTHERPHONE", "other"}};
    for (const auto &[key, label] : fixed) {
        const QVariant value = getValueForLabel(QLatin1String(label), person, 1);
        if (value.isValid())
            setText(record, QLatin1String(key), value);
    }
    for (int slot = 0; slot < 10; ++slot) {
        const auto entry = phones.constFind(slot);
        const qint32 index = entry == phones.constEnd() ? 0 : phoneLabelIndexForLabel(entry->label);
        record.insert(QStringLiteral("PHONELABEL%1").arg(slot + 1), QString::number(index));
    }
    for (int slot = 0; slot < 10; ++slot) {
        const auto entry = phones.constFind(slot);
        setText(record, QStringLiteral("PHONE%1").arg(slot + 1), entry == phones.constEnd() ? QVariant() : entry->value);
    }
    storePhoneFieldTexts(identifierDictionary, phoneFieldTexts(record));
}

void HMContactData::readSlots(const std::shared_ptr<ABPerson> &person, QVariantMap &record,
                              QVariantMap &identifierDictionary)
{
    const QMap<int, SlotEntry> emails = labelsAndValuesOfPerson(
        person, kABEmailProperty, 3, kEmailKeys, {kABEmailWorkLabel, kABEmailHomeLabel, kABOtherLabel}, identifierDictionary);
    const char *const emailKeys[] = {"EMAIL", "EMAIL2", "EMAIL3"};
    for (int slot = 0; slot < 3; ++slot)
        setText(record, QLatin1String(emailKeys[slot]), emails.value(slot).value);
    const QMap<int, SlotEntry> urls = labelsAndValuesOfPerson(person, kABURLsProperty, 4, kUrlKeys, {}, identifierDictionary);
    const char *const urlKeys[] = {"WEBURL", "WEBURLH", "WEBURLO", "WEBURLW"};
    for (int slot = 0; slot < 4; ++slot)
        setText(record, QLatin1String(urlKeys[slot]), urls.value(slot).value);
    const QMap<int, SlotEntry> messages =
        labelsAndValuesOfPerson(person, kABInstantMessageProperty, 2, kInstantMessageKeys, {}, identifierDictionary);
    for (int slot = 0; slot < 2; ++slot) {
        const QVariantMap entry = messages.value(slot).value.toMap();
        setText(record, QStringLiteral("IMLABEL%1").arg(slot + 1), entry.value(kABInstantMessageServiceKey));
        setText(record, QStringLiteral("IMADDRESS%1").arg(slot + 1), entry.value(kABInstantMessageUsernameKey));
    }
}

void HMContactData::readAddresses(const std::shared_ptr<ABPerson> &person, QVariantMap &record,
                                  QVariantMap &identifierDictionary)
{
    const QMap<int, SlotEntry> addresses =
        labelsAndValuesOfPerson(person, kABAddressProperty, 3, kAddressesKeys,
                                {kABAddressWorkLabel, kABAddressHomeLabel, kABOtherLabel}, identifierDictionary);
    const QStringList keys[] = {
        {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"},
        {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY", "HOMESTATE", "HOMEZIP", "HOMECNTRY"},
        {"OTHERADDR1", "OTHERADDR2", "OTHERADDR3", "OTHERCITY", "OTHERSTATE", "OTHERZIP", "OTHERCNTRY"}};
    const bool isCloud = isCloudVariant();
    for (int slot = 0; slot < 3; ++slot) {
        const QVariantMap address = addresses.value(slot).value.toMap();
        const QString street = address.value(kABAddressStreetKey).toString();
        const QStringList lines = street.split(QLatin1Char('\n'));
        for (int line = 0; line < 3; ++line)
            setText(record, keys[slot].at(line), line < lines.size() ? QVariant(lines.at(line)) : QVariant());
        const QString parts[] = {kABAddressCityKey, kABAddressStateKey, kABAddressZIPKey, kABAddressCountryKey};
        for (int part = 0; part < 4; ++part)
            setText(record, keys[slot].at(3 + part), address.value(parts[part]));
        if (isCloud)
            setText(record, keys[slot].at(0), street);
    }
}

QMap<int, HMContactData::SlotEntry> HMContactData::labelsAndValuesOfPerson(const std::shared_ptr<ABPerson> &person,
                                                                           const QString &property, qint32 maxResult,
                                                                           const QString &key, const QStringList &labels,
                                                                           QVariantMap &identifierDictionary)
{
    QVariantMap slotMap = identifierDictionary.value(key).toMap();
    const ABMultiValue values = person->valueForProperty(property).value<ABMultiValue>();
    QMap<int, SlotEntry> taken;
    QList<std::pair<SlotEntry, QString>> unplaced; // with the raw label
    for (qsizetype index = 0; index < values.count(); ++index) {
        const SlotEntry entry{values.identifierAtIndex(index), values.valueAtIndex(index),
                              ABLocalizedPropertyOrLabel(values.labelAtIndex(index))};
        bool isNumber = false;
        const int slot = slotMap.value(entry.identifier).toString().toInt(&isNumber);
        if (slotMap.contains(entry.identifier) && isNumber && !taken.contains(slot))
            taken.insert(slot, entry);
        else
            unplaced.append({entry, values.labelAtIndex(index)});
    }
    for (int slot = 0; slot < maxResult && taken.size() < maxResult && !unplaced.isEmpty(); ++slot) {
        if (taken.contains(slot))
            continue;
        qsizetype chosen = labels.isEmpty() ? 0 : -1;
        for (qsizetype index = 0; chosen < 0 && index < unplaced.size(); ++index) {
            if (slot < labels.size() && unplaced.at(index).second == labels.at(slot))
                chosen = index;
        }
        if (chosen < 0)
            continue;
        taken.insert(slot, unplaced.at(chosen).first);
        slotMap.insert(unplaced.at(chosen).first.identifier, QString::number(slot));
        unplaced.removeAt(chosen);
    }
    if (unplaced.isEmpty() && taken.size() < maxResult)
        DDLogVerbose(QStringLiteral("-- ** No more new items to add, skip this value"));
    storeSlotMap(identifierDictionary, key, slotMap);
    return taken;
}

QVariant HMContactData::getValueForLabel(const QString &label, const std::shared_ptr<ABPerson> &person,
                                         qint64 cardinality)
{
    const ABMultiValue phones = person->valueForProperty(kABPhoneProperty).value<ABMultiValue>();
    qint64 counter = 1;
    for (qsizetype index = 0; index < phones.count(); ++index) {
        const QString displayed = ABLocalizedPropertyOrLabel(phones.labelAtIndex(index));
        if (counter == cardinality && displayed.compare(label, Qt::CaseInsensitive) == 0)
            return phones.valueAtIndex(index);
        if (displayed == label && counter != cardinality)
            ++counter;
    }
    return QVariant();
}
