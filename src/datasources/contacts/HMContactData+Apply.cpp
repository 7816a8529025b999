// The applying side of the contacts data source: the other side's records written into the address
// book under the conduit's conflict rule, and the other side's deletions.
#include "datasources/contacts/HMContactData.h"
#include "datasources/contacts/HMContactDataKeys.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/Identifiers.h"
#include "sync/HMIdentifierGraph.h"

#include <QUuid>

using namespace hmcontacts;
using namespace platform;

namespace {

// An empty marker: the slot is left as it is.
const QVariant kEmptyMarker;

QVariant valueOrMarker(const QVariantMap &record, const QString &key)
{
    return record.contains(key) ? record.value(key) : kEmptyMarker;
}

// The unique id of the person first made for an hmUid. A run stopped after the address book was
// saved but before the identifier graph was finds the person again by it, instead of making a second.
QString recoveryUniqueId(const QString &hmUid)
{
    static const QUuid kNamespace(QStringLiteral("{6f1c2a54-5b7e-4c1d-9a43-8f0e3d2b7c61}"));
    return platform::uuidText(QUuid::createUuidV5(kNamespace, hmUid));
}

QDateTime deviceDateOf(HMDateUtilities &dates, const QVariantMap &record, qint64 timeDifference)
{
    const QString text = record.value(QStringLiteral("LASTMODIFIED")).toString();
    if (text.isEmpty())
        return QDateTime();
    const QDateTime date = dates.dateFromLocalDateTimeString(text);
    return date.isValid() ? dates.dateByAdding(-timeDifference, CalendarUnit::Second, date) : QDateTime();
}

void setOrRemove(const std::shared_ptr<ABPerson> &person, const QVariantMap &record, const QString &key,
                 const QString &property)
{
    if (record.contains(key)) {
        if (!person->setValue(record.value(key), property))
            DDLogError(QStringLiteral("Could not set value '%1' for native person property '%2'")
                           .arg(record.value(key).toString(), property));
    } else if (!person->removeValueForProperty(property)) {
        DDLogError(QStringLiteral("Could not remove value for property '%1'").arg(property));
    }
}

QVariant addressOf(const QVariantMap &record, const QStringList &keys)
{
    QStringList texts;
    texts.reserve(keys.size());
    for (const QString &key : keys)
        texts.append(::stringForKey(record, key));
    if (std::all_of(texts.cbegin(), texts.cend(), [](const QString &text) { return text.isEmpty(); }))
        return kEmptyMarker;
    // Line 3 keeps its third-line place when line 2 is empty.
    QString street = texts.at(0);
    if (!texts.at(1).isEmpty())
        street += QLatin1Char('\n') + texts.at(1);
    if (!texts.at(2).isEmpty()) {
        if (texts.at(1).isEmpty())
            street += QLatin1Char('\n');
        street += QLatin1Char('\n') + texts.at(2);
    }
    return QVariantMap{{kABAddressStreetKey, street},       {kABAddressCityKey, texts.at(3)},
                       {kABAddressStateKey, texts.at(4)},   {kABAddressZIPKey, texts.at(5)},
                       {kABAddressCountryKey, texts.at(6)}};
}

// The phone shows the prefix with the given name and the suffix with the family name; a name that
// still holds its own prefix or suffix (one the normalisation did not know) has it taken off, so each
// keeps its own component.
QVariantMap namesWithoutAffixes(const QVariantMap &record)
{
    QVariantMap names;
    QString first = ::stringForKey(record, QStringLiteral("NEWFNAME"));
    QString last = ::stringForKey(record, QStringLiteral("NEWLNAME"));
    const QString prefix = ::stringForKey(record, QStringLiteral("SALUTATION")).trimmed();
    const QString suffix = ::stringForKey(record, QStringLiteral("SUFFIX")).trimmed();
    if (!prefix.isEmpty() && first.startsWith(prefix + QLatin1Char(' ')))
        first = first.mid(prefix.size()).trimmed();
    for (const QString &separator : {QStringLiteral(", "), QStringLiteral(" ")}) {
        if (!suffix.isEmpty() && last.endsWith(separator + suffix)) {
            last.chop(separator.size() + suffix.size());
            break;
        }
    }
    if (record.contains(QStringLiteral("NEWFNAME")))
        names.insert(QStringLiteral("NEWFNAME"), first);
    if (record.contains(QStringLiteral("NEWLNAME")))
        names.insert(QStringLiteral("NEWLNAME"), last);
    return names;
}

} // namespace

qint64 HMContactData::commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                    const QVariantMap &record, qint64 timeDifference)
{
    Q_UNUSED(action);
    Q_UNUSED(syncMethod);
    if (m_addressBookIsInaccessible)
        return 0;
    ++m_recordCounter;
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(QStringLiteral("Reading Quillpad Contacts %1").arg(m_recordCounter));
    const QDateTime deviceDate = deviceDateOf(dateUtilities(), record, timeDifference);
    const QString uid = record.value(QStringLiteral("UID")).toString();
    if (uid.isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Unique ID field not found. Aborting AddUpdateContact"));
        return 0;
    }
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!addressBook() || !graph)
        return 0;
    DDLogVerbose(QStringLiteral("Looking up hmUid in identifier graph: '%1'").arg(uid));
    std::optional<QVariantMap> dictionary = graph->dictionaryForHarrowmereUid(uid);
    if (!dictionary)
        dictionary = adoptUnconfirmedPerson(uid, record);
    std::shared_ptr<ABPerson> person = linkedPerson(dictionary);
    if (person) {
        bool shouldForgetPerson = false;
        if (const std::optional<qint64> kept =
                conflictResult(person, dictionary, conflictSetting, deviceDate, shouldForgetPerson))
            return *kept;
        if (shouldForgetPerson)
            person.reset();
    }
    const QList<std::shared_ptr<ABPerson>> duplicates = isDuplicate(record);
    if (!duplicates.isEmpty())
        person = duplicates.first();
    ApplyTarget target = applyTarget(uid, person, dictionary);
    writeRecord(target.person, record, target.result, target.dictionary);
    m_duplicateIndex.note(*target.person);
    // Through the graph, which keeps its lookups in step: appending to its list directly would make
    // the next lookup copy and compare the whole list.
    graph->setDictionary(target.dictionary, uid);
    m_writtenPersons.insert(uid, target.person->uniqueId());
    return target.result;
}

HMContactData::ApplyTarget HMContactData::applyTarget(const QString &uid, std::shared_ptr<ABPerson> person,
                                                      const std::optional<QVariantMap> &dictionary)
{
    if (person && dictionary)
        return ApplyTarget{person, *dictionary, 2, true};
    qint64 result = 2;
    // Worked out once: it is both the id an interrupted run gave the person and the new person's id.
    const QString recoveryId = person || dictionary ? QString() : recoveryUniqueId(uid);
    if (!person && !dictionary)
        person = personLeftByInterruptedRun(uid, recoveryId);
    if (!person) {
        DDLogInfo(QStringLiteral("Creating new native record"));
        person = ABPerson::personWithUniqueId(dictionary ? platform::newUuidText() : recoveryId);
        addressBook()->addRecord(person);
        result = 3;
        if (dictionary)
            identifierGraph()->removeDictionaryForHarrowmereUid(uid);
    }
    return ApplyTarget{person, newIdentifierDictionary(uid, person), result, false};
}

void HMContactData::writeRecord(const std::shared_ptr<ABPerson> &person, const QVariantMap &record, qint64 result,
                                QVariantMap &identifierDictionary)
{
    writePlainFields(person, record);
    writeGroups(person, record, result, identifierDictionary);
    writePhones(person, record, identifierDictionary);
    writeSlots(person, record, identifierDictionary);
    writeAddresses(person, record, identifierDictionary);
    setOrRemove(person, record, QStringLiteral("NSDATEBIRTHDAY"), kABBirthdayProperty);
    updateNativePerson(person, {valueOrMarker(record, QStringLiteral("NSDATEANNIVERSARY"))}, {kABAnniversaryLabel},
                       kABOtherDatesProperty, 1, kOtherDatesKeys, identifierDictionary);
}

std::shared_ptr<ABPerson> HMContactData::personLeftByInterruptedRun(const QString &hmUid, const QString &uniqueId)
{
    const std::shared_ptr<ABAddressBook> book = addressBook();
    auto person = std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(uniqueId));
    if (person && !identifierGraph()->entryForNativeId(uniqueId))
        DDLogInfo(QStringLiteral("Found the person an earlier, unfinished sync made for '%1'").arg(hmUid));
    else
        person.reset();
    return person;
}

namespace {

// The fields that tell one contact from another, as one text; empty when they are all empty (such
// contacts are never taken for each other).
QString identityOfRecord(const QVariantMap &record)
{
    QStringList parts;
    bool hasValue = false;
    for (const char *key : {"NEWFNAME", "NEWLNAME", "COMPANY", "EMAIL"}) {
        const QString text = record.value(QLatin1String(key)).toString().trimmed();
        hasValue = hasValue || !text.isEmpty();
        parts.append(text);
    }
    return hasValue ? parts.join(QChar(0x1f)) : QString();
}

} // namespace

QString HMContactData::identityOfPerson(const std::shared_ptr<ABPerson> &person,
                                        const QVariantMap &identifierDictionary)
{
    if (!person || !person->isReadable())
        return {};
    QVariantMap scratch = identifierDictionary;
    return identityOfRecord(pppDictionaryForPerson(person, scratch, 1));
}

// The person with the record's identity that was sent to the phone as new and whose answer never
// came: the phone may hold it under an id the desktop never learnt, so its record is this person.
// The person's entry then takes the phone's id and is confirmed. Nothing when there is none.
std::optional<QVariantMap> HMContactData::adoptUnconfirmedPerson(const QString &hmUid, const QVariantMap &record)
{
    const QString wanted = identityOfRecord(record);
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (wanted.isEmpty())
        return std::nullopt;
    // Once per run: looking through every entry for each record of a whole listing grows with its
    // square. Entries are marked unconfirmed only when the update stage sends new persons, after
    // every listing, so the map stays true for the run.
    if (!m_unconfirmedByIdentity) {
        m_unconfirmedByIdentity.emplace();
        for (const HMIdentifierGraphEntry &packed : graph->entries()) {
            if (!packed.isUnconfirmedAdd())
                continue;
            const QVariantMap entry = packed.toMap();
            const QString identity = identityOfPerson(linkedPerson(entry), entry);
            if (!identity.isEmpty())
                m_unconfirmedByIdentity->insert(identity, entry.value(kHmUidKey).toString());
        }
    }
    const auto found = m_unconfirmedByIdentity->constFind(wanted);
    if (found == m_unconfirmedByIdentity->constEnd())
        return std::nullopt;
    const QString temporaryId = found.value();
    m_unconfirmedByIdentity->remove(wanted, temporaryId);
    std::optional<QVariantMap> entry = graph->dictionaryForHarrowmereUid(temporaryId);
    if (!entry)
        return std::nullopt;
    DDLogInfo(QStringLiteral("Matched the phone's '%1' with the unconfirmed '%2'").arg(hmUid, temporaryId));
    graph->removeDictionaryForHarrowmereUid(temporaryId);
    entry->insert(kHmUidKey, hmUid);
    markConfirmed(*entry);
    graph->setDictionary(*entry, hmUid);
    return entry;
}

bool HMContactData::isMappedItemGone(const QString &hmUid)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const std::shared_ptr<ABAddressBook> book = addressBook();
    const std::optional<QVariantMap> dictionary = graph ? graph->dictionaryForHarrowmereUid(hmUid) : std::nullopt;
    // An add never answered names a person the phone may not have; an unreadable card is still there.
    if (!book || !dictionary || isUnconfirmed(*dictionary) ||
        book->unreadableRecords().contains(dictionary->value(kNativeIdKey).toString()))
        return false;
    return linkedPerson(dictionary) == nullptr;
}

std::shared_ptr<ABPerson> HMContactData::linkedPerson(const std::optional<QVariantMap> &identifierDictionary)
{
    if (!identifierDictionary)
        return nullptr;
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (identifierDictionary->contains(kNativeIdKey)) {
        const QString nativeId = identifierDictionary->value(kNativeIdKey).toString();
        DDLogInfo(QStringLiteral("Loading native record '%1'").arg(nativeId));
        return std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(nativeId));
    }
    if (identifierDictionary->contains(kTempNewPersonKey)) {
        DDLogVerbose(QStringLiteral("Found temp person created from previous add comand during this sync step"));
        return std::dynamic_pointer_cast<ABPerson>(
            book->recordForUniqueId(identifierDictionary->value(kTempNewPersonKey).toString()));
    }
    return nullptr;
}

std::optional<qint64> HMContactData::conflictResult(const std::shared_ptr<ABPerson> &person,
                                                    const std::optional<QVariantMap> &identifierDictionary,
                                                    quint64 conflictSetting, const QDateTime &deviceDate,
                                                    bool &forgetPerson)
{
    const QDateTime modified = person->valueForProperty(kABModificationDateProperty).toDateTime();
    const QDateTime lastSync = identifierGraph()->lastSyncDate();
    // Both dates are needed; a person the sync itself last saved, or last sent as it is now, has no
    // desktop change the phone has not seen.
    if (!modified.isValid() || !lastSync.isValid() || modified <= lastSync ||
        (identifierDictionary && (isLastWrittenBySync(modified, identifierDictionary->value(kWrittenModificationDateKey)) ||
                                  identifierDictionary->value(kSentModificationDateKey).toDateTime() == modified)))
        return std::nullopt;
    DDLogWarn(QStringLiteral("Found conflict... checking who wins (desktop %1, device %2, last sync %3)")
                  .arg(modified.toString(Qt::ISODateWithMs), deviceDate.toString(Qt::ISODateWithMs),
                       lastSync.toString(Qt::ISODateWithMs)));
    if (conflictSetting == 0 && deviceDate.isValid() && modified > deviceDate) {
        DDLogWarn(QStringLiteral("Aborting Quillpad change due to Apple's modification date being more recent."));
        return 1;
    }
    if (conflictSetting == 1) {
        DDLogWarn(QStringLiteral("Aborting Quillpad change due to Apple always winnning."));
        return 1;
    }
    if (conflictSetting == 3) {
        DDLogWarn(QStringLiteral("Conflict setting set to duplicate... trying to duplicate record."));
        forgetPerson = true;
    }
    DDLogWarn(QStringLiteral("Keeping Quillpad change due to conflict setting."));
    return std::nullopt;
}

QVariantMap HMContactData::newIdentifierDictionary(const QString &uid, const std::shared_ptr<ABPerson> &person)
{
    DDLogInfo(QStringLiteral("hmUid did not have a identifier record (means no native id was found)."));
    ++m_addObjectCount;
    DDLogInfo(QStringLiteral("addObject count %1").arg(m_addObjectCount));
    // The person's unique id is known before the address book is saved, and the graph is saved
    // before the address book: the entry names the person from the start, so a run stopped between
    // the two saves leaves no person the next run takes for the desktop's own new contact.
    return QVariantMap{{kHmUidKey, uid}, {kNativeIdKey, person->uniqueId()}};
}

void HMContactData::writePlainFields(const std::shared_ptr<ABPerson> &person, const QVariantMap &record)
{
    // The keys are literals: no text is made for them per record.
    const std::pair<QString, QString> fields[] = {{QStringLiteral("SALUTATION"), kABTitleProperty},
                                                  {QStringLiteral("MIDNAME"), kABMiddleNameProperty},
                                                  {QStringLiteral("SUFFIX"), kABSuffixProperty},
                                                  {QStringLiteral("PHFNAME"), kABFirstNamePhoneticProperty},
                                                  {QStringLiteral("PHLNAME"), kABLastNamePhoneticProperty},
                                                  {QStringLiteral("NICKNAME"), kABNicknameProperty},
                                                  {QStringLiteral("TITLE"), kABJobTitleProperty},
                                                  {QStringLiteral("NOTE"), kABNoteProperty},
                                                  {QStringLiteral("DEPARTMENT"), kABDepartmentProperty},
                                                  {QStringLiteral("COMPANY"), kABOrganizationProperty}};
    for (const auto &[key, property] : fields)
        setOrRemove(person, record, key, property);
    const QVariantMap names = namesWithoutAffixes(record);
    setOrRemove(person, names, QStringLiteral("NEWFNAME"), kABFirstNameProperty);
    setOrRemove(person, names, QStringLiteral("NEWLNAME"), kABLastNameProperty);
}

void HMContactData::writeGroups(const std::shared_ptr<ABPerson> &person, const QVariantMap &record, qint64 result,
                                QVariantMap &identifierDictionary)
{
    const QString separator = isCloudVariant() ? QStringLiteral("\t") : QStringLiteral(",");
    const QStringList previous = identifierDictionary.value(kGroupIdsKey).toStringList();
    platform::consoleLog(QStringLiteral("tempPersonGroupIdSet %1").arg(previous.join(QLatin1String(", "))));
    QStringList ids;
    QList<std::shared_ptr<ABGroup>> pending;
    // Empty names (the separator after the last name) name no group.
    for (const QString &name : ::stringForKey(record, QStringLiteral("CATEGORY")).split(separator, Qt::SkipEmptyParts)) {
        const std::shared_ptr<ABGroup> group = groupForName(name);
        if (!group || ids.contains(group->uniqueId()))
            continue;
        if (result == 3)
            pending.append(group);
        else
            group->addMember(person);
        ids.append(group->uniqueId());
    }
    const std::shared_ptr<ABAddressBook> book = addressBook();
    for (const QString &id : previous) {
        if (ids.contains(id))
            continue;
        if (auto group = std::dynamic_pointer_cast<ABGroup>(book->recordForUniqueId(id)))
            group->removeMember(person);
    }
    identifierDictionary.insert(kGroupIdsKey, ids);
    if (result == 3 && !pending.isEmpty()) {
        const QString hmUid = identifierDictionary.value(kHmUidKey).toString();
        m_pendingGroups.insert(hmUid, pending);
        m_pendingGroupOrder.append(hmUid);
    }
}

void HMContactData::writeSlots(const std::shared_ptr<ABPerson> &person, const QVariantMap &record,
                               QVariantMap &identifierDictionary)
{
    updateNativePerson(person,
                       {valueOrMarker(record, QStringLiteral("EMAIL")), valueOrMarker(record, QStringLiteral("EMAIL2")),
                        valueOrMarker(record, QStringLiteral("EMAIL3"))},
                       {kABEmailWorkLabel, kABEmailHomeLabel, kABOtherLabel}, kABEmailProperty, 3, kEmailKeys,
                       identifierDictionary);
    updateNativePerson(person,
                       {valueOrMarker(record, QStringLiteral("WEBURL")), valueOrMarker(record, QStringLiteral("WEBURLH")),
                        valueOrMarker(record, QStringLiteral("WEBURLO")), valueOrMarker(record, QStringLiteral("WEBURLW"))},
                       {QStringLiteral("Home Page"), QStringLiteral("Home URL"), QStringLiteral("URL"),
                        QStringLiteral("Work URL")},
                       kABURLsProperty, 4, kUrlKeys, identifierDictionary);
    static const QString kUserKeys[] = {QStringLiteral("IMADDRESS1"), QStringLiteral("IMADDRESS2")};
    static const QString kServiceKeys[] = {QStringLiteral("IMLABEL1"), QStringLiteral("IMLABEL2")};
    QVariantList messages;
    for (int slot = 0; slot < 2; ++slot) {
        const QString user = ::stringForKey(record, kUserKeys[slot]);
        const QString service = ::stringForKey(record, kServiceKeys[slot]);
        messages.append(user.isEmpty() && service.isEmpty()
                            ? kEmptyMarker
                            : QVariant(QVariantMap{{kABInstantMessageUsernameKey, user},
                                                   {kABInstantMessageServiceKey, service}}));
    }
    updateNativePerson(person, messages, {kABOtherLabel, kABOtherLabel}, kABInstantMessageProperty, 2,
                       kInstantMessageKeys, identifierDictionary);
}

void HMContactData::writeAddresses(const std::shared_ptr<ABPerson> &person, const QVariantMap &record,
                                   QVariantMap &identifierDictionary)
{
    // Made once: every record of a run looks up the same keys.
    static const QStringList kSlotKeys[] = {
        {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"},
        {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY", "HOMESTATE", "HOMEZIP", "HOMECNTRY"},
        {"OTHERADDR1", "OTHERADDR2", "OTHERADDR3", "OTHERCITY", "OTHERSTATE", "OTHERZIP", "OTHERCNTRY"}};
    const QVariantList addresses = {addressOf(record, kSlotKeys[0]), addressOf(record, kSlotKeys[1]),
                                    addressOf(record, kSlotKeys[2])};
    updateNativePerson(person, addresses, {kABAddressWorkLabel, kABAddressHomeLabel, kABOtherLabel}, kABAddressProperty,
                       3, kAddressesKeys, identifierDictionary);
}

void HMContactData::deleteUidRecords(const QStringList &hmUids)
{
    const std::shared_ptr<ABAddressBook> book = m_addressBookIsInaccessible ? nullptr : addressBook();
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!book || !graph)
        return;
    DDLogInfo(QStringLiteral("-------- Deleting %1 Records from Apple ----------").arg(hmUids.size()));
    for (const QString &hmUid : hmUids) {
        DDLogInfo(QStringLiteral("Deleting hmUid '%1' from apple.").arg(hmUid));
        const std::optional<QVariantMap> dictionary = graph->dictionaryForHarrowmereUid(hmUid);
        if (!dictionary) {
            DDLogInfo(QStringLiteral("hmUid not found in identifier list."));
            continue;
        }
        std::shared_ptr<ABRecord> person;
        if (dictionary->contains(kNativeIdKey)) {
            DDLogInfo(QStringLiteral("Loading native record '%1'").arg(dictionary->value(kNativeIdKey).toString()));
            person = book->recordForUniqueId(dictionary->value(kNativeIdKey).toString());
        }
        if (person && !person->isGroup())
            book->removeRecord(person);
        else
            DDLogInfo(QStringLiteral("Native Person not found, so we can't delete it."));
        graph->removeDictionary(*dictionary);
    }
}
