// The address-book helpers of the contacts data source: saving and finishing the persons added in a
// step, groups by name, writing record slots into a multi-value, the phone-label index and the
// duplicate search.
#include "datasources/contacts/HMContactData.h"
#include "datasources/contacts/HMContactDataKeys.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/addressbook/ABSearchElement.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ConsoleLog.h"
#include "sync/HMIdentifierGraph.h"

using namespace hmcontacts;
using namespace platform;

namespace {

// One row of the phone-label index: what is written for it and the texts recognised when reading.
struct PhoneLabelRow
{
    qint32 index;
    QString written;
    QStringList recognised;
};

QString text(const char *key)
{
    return Bundle::localizedString(QLatin1String(key));
}

// The rows in the order labels are tested when reading.
const QList<PhoneLabelRow> &phoneLabelRows()
{
    static const QList<PhoneLabelRow> rows = {
        {1, kABPhoneHomeLabel, {text("label_contact_home_phone"), kABPhoneHomeLabel}},
        {2, kABPhoneMobileLabel, {text("label_contact_mobile_phone"), kABPhoneMobileLabel}},
        {3, kABPhoneWorkLabel, {text("label_contact_work_phone"), kABPhoneWorkLabel}},
        {4, kABPhoneWorkFAXLabel, {text("label_contact_work_fax"), kABPhoneWorkFAXLabel}},
        {5, kABPhoneHomeFAXLabel, {text("label_contact_home_fax"), kABPhoneHomeFAXLabel}},
        {6, kABPhonePagerLabel, {text("label_contact_pager_phone"), kABPhonePagerLabel}},
        {8, text("label_contact_callback_phone"), {text("label_contact_callback_phone")}},
        {7, kABOtherLabel, {text("Other"), kABOtherLabel}},
        {9, text("label_contact_car_phone"), {text("label_contact_car_phone")}},
        {12, text("label_contact_company_phone"), {text("label_contact_company_phone")}},
        {11, text("label_contact_isdn_phone"), {text("label_contact_isdn_phone")}},
        {10, kABPhoneMainLabel, {text("label_contact_main_phone"), kABPhoneMainLabel}},
        {13, text("label_contact_other_fax"), {text("label_contact_other_fax")}},
        {14, text("label_contact_radio_phone"), {text("label_contact_radio_phone")}},
        {15, text("label_contact_telex_phone"), {text("label_contact_telex_phone")}},
        {16, text("label_contact_ttytdd_phone"), {text("label_contact_ttytdd_phone")}},
        {17, text("label_contact_work_mobile_phone"), {text("label_contact_work_mobile_phone")}},
        {18, text("label_contact_work_pager"), {text("label_contact_work_pager")}},
        {19, text("label_contact_assistant_phone"), {text("label_contact_assistant_phone")}},
        {20, text("label_contact_mms_phone"), {text("label_contact_mms_phone")}},
    };
    return rows;
}

// A dictionary value (an address) keeps the keys the record does not carry, such as an address's
// post-office box and extended address, which the phone has no fields for.
QVariant valueKeepingUnsentKeys(const QVariant &old, const QVariant &value)
{
    if (old.typeId() != QMetaType::QVariantMap || value.typeId() != QMetaType::QVariantMap)
        return value;
    QVariantMap merged = old.toMap();
    const QVariantMap sent = value.toMap();
    for (auto it = sent.constBegin(); it != sent.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    return merged;
}

} // namespace

void HMContactData::saveChanges()
{
    DDLogInfo(QStringLiteral("Saving changes to Apple Address Book."));
    DDLogInfo(QStringLiteral("[_recordsAddedDuringSync count] %1").arg(m_addObjectCount));
    std::shared_ptr<ABAddressBook> book;
    {
        const std::lock_guard lock(m_addressBookMutex);
        book = m_addressBook;
    }
    m_saveFailure.clear();
    if (!book || !identifierGraph()) {
        m_duplicateIndex = ContactDuplicateIndex();
        return;
    }
    // The persons added waiting for groups, in the order added; each is finished once.
    for (const QString &hmUid : std::as_const(m_pendingGroupOrder))
        finishAddedPerson(hmUid);
    m_pendingGroupOrder.clear();
    if (book->hasUnsavedChanges()) {
        DDLogInfo(QStringLiteral("Saving address book record"));
        const Status saved = book->save();
        if (!saved) {
            DDLogError(QStringLiteral("Error Saving Address Book. %1").arg(saved.error().message()));
            m_saveFailure = saved.error().message();
        }
    }
    // The duplicate tests of later pages go on from the index: the persons this run wrote join its
    // listing rather than have the whole book listed again after every page.
    m_duplicateIndex.foldNoted(*book);
    rememberWrittenDates();
    platform::consoleLog(QStringLiteral("[200]"));
}

platform::Status HMContactData::syncAppliedChangesToDisk()
{
    // Outlook keeps what it was told at once; the pairs of the page join the contact map here.
    if (GlobalVariables::getIsOutlookSync()) {
        removeLeftOutlookVCard();
        return outlookContacts().commitAppliedPairs();
    }
    if (!hasUnsavedChanges())
        return platform::success();
    saveChanges();
    if (m_saveFailure.isEmpty())
        return platform::success();
    return platform::Error(platform::ErrorCode::IoWriteFailed, m_saveFailure);
}

void HMContactData::finishAddedPerson(const QString &hmUid)
{
    const QList<std::shared_ptr<ABGroup>> groups = m_pendingGroups.take(hmUid);
    if (groups.isEmpty())
        return;
    const std::optional<HMIdentifierGraphEntry> entry = identifierGraph()->entryForHarrowmereUid(hmUid);
    if (!entry)
        return;
    const QString personId = entry->valueOf(HMIdentifierGraphEntry::WellKnownKey::NativeId).toString();
    const auto person = std::dynamic_pointer_cast<ABPerson>(addressBook()->recordForUniqueId(personId));
    if (!person)
        return;
    DDLogVerbose(QStringLiteral("Saving Native ID: '%1'").arg(personId));
    for (const std::shared_ptr<ABGroup> &group : groups) {
        group->addMember(person);
        DDLogVerbose(QStringLiteral("Adding person to group %1").arg(group->uniqueId()));
    }
}

// Notes, for each person the apply step wrote and the save stored, the modification date the save
// gave it, so that the next listing does not send the other side's own change back to it.
void HMContactData::rememberWrittenDates()
{
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (!book || book->hasUnsavedChanges() || m_writtenPersons.isEmpty())
        return;
    // Entry by entry through the graph's lookups: walking its whole list would cost the whole graph
    // for every page.
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    for (auto written = m_writtenPersons.constBegin(); written != m_writtenPersons.constEnd(); ++written) {
        const std::optional<HMIdentifierGraphEntry> entry = graph->entryForHarrowmereUid(written.key());
        // The saved persons are let go by the book: their dates come from the folder's index.
        const std::optional<QDateTime> modified = book->modificationDateOf(written.value());
        if (!entry || !modified ||
            entry->valueOf(HMIdentifierGraphEntry::WellKnownKey::NativeId).toString() != written.value())
            continue;
        graph->replaceEntryForHarrowmereUid(written.key(), entry->withValue(kWrittenModificationDateKey, *modified));
    }
    m_writtenPersons.clear();
}

// Whether saveChanges has work: the book's changes, groups waiting for persons added in this step, or
// modification dates to note for persons written.
bool HMContactData::hasUnsavedChanges()
{
    std::shared_ptr<ABAddressBook> book;
    {
        const std::lock_guard lock(m_addressBookMutex);
        book = m_addressBook;
    }
    return !m_pendingGroups.isEmpty() || !m_writtenPersons.isEmpty() || (book && book->hasUnsavedChanges());
}

std::shared_ptr<ABGroup> HMContactData::groupForName(const QString &name)
{
    platform::consoleLog(QStringLiteral("[201]"));
    if (const std::shared_ptr<ABGroup> cached = m_addressBookGroups.value(name))
        return cached;
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (!book)
        return nullptr;
    platform::consoleLog(QStringLiteral("[205]"));
    for (const std::shared_ptr<ABGroup> &group : book->groups()) {
        const QVariant groupName = group->valueForProperty(kABGroupNameProperty);
        if (groupName.typeId() == QMetaType::QString && groupName.toString() == name) {
            DDLogVerbose(QStringLiteral("Adding AddressBook Group '%1' to lookup dictionary.").arg(name));
            m_addressBookGroups.insert(name, group);
            return group;
        }
    }
    platform::consoleLog(QStringLiteral("[206]"));
    DDLogVerbose(QStringLiteral("Adding New AddressBook Group: %1").arg(name));
    const std::shared_ptr<ABGroup> group = ABGroup::initWithAddressBook(book);
    (void)group->setValue(name, kABGroupNameProperty);
    book->addRecord(group);
    m_addressBookGroups.insert(name, group);
    platform::consoleLog(QStringLiteral("[207]"));
    return group;
}

void HMContactData::updateNativePerson(const std::shared_ptr<ABPerson> &person, const QVariantList &values,
                                       const QVariantList &labels, const QString &property, qint32 maxResult,
                                       const QString &key, QVariantMap &identifierDictionary)
{
    Q_UNUSED(maxResult);
    if (m_addressBookIsInaccessible)
        return;
    QVariantMap slotMap = identifierDictionary.value(key).toMap();
    ABMutableMultiValue working = person->valueForProperty(property).value<ABMultiValue>().mutableCopy();
    QHash<QString, QString> identifierOfSlot;
    for (auto it = slotMap.constBegin(); it != slotMap.constEnd(); ++it)
        identifierOfSlot.insert(it.value().toString(), it.key());
    for (qsizetype slot = 0; slot < values.size(); ++slot) {
        const QVariant label = labels.value(slot);
        QString labelText = label.typeId() == QMetaType::QString ? label.toString() : QString::number(slot);
        const QString identifier = identifierOfSlot.value(QString::number(slot));
        const QVariant &value = values.at(slot);
        if (!value.isValid() || (value.typeId() == QMetaType::QString && value.toString().isEmpty()))
            continue;
        if (!identifier.isEmpty()) {
            const qsizetype index = working.indexForIdentifier(identifier);
            if (index < 0)
                continue; // the entry was deleted on the desktop: the slot stays empty
            // An entry whose value the other side did not change keeps its label: the slot's label
            // only names where the other side shows it.
            const QVariant merged = valueKeepingUnsentKeys(working.valueAtIndex(index), value);
            if (merged == working.valueAtIndex(index))
                continue;
            working.replaceValueAtIndex(merged, index);
            if (value.typeId() == QMetaType::QString)
                working.replaceLabelAtIndex(labelText, index);
            continue;
        }
        if (labelText.isEmpty())
            labelText = QString::number(slot);
        slotMap.insert(working.addValue(value, labelText), QString::number(slot));
    }
    const Status written = person->setValue(working.toVariant(), property);
    if (!written) {
        DDLogError(QStringLiteral("ERROR: Could not set multi-value property '%1'").arg(property));
        DDLogError(QStringLiteral("'%1' %2").arg(int(written.error().code())).arg(written.error().message()));
    }
    storeSlotMap(identifierDictionary, key, slotMap);
}

const QString &HMContactData::companyPhoneLabel()
{
    if (!m_companyPhoneLabel)
        m_companyPhoneLabel = Bundle::localizedString(QStringLiteral("COMPANYPHONE"));
    return *m_companyPhoneLabel;
}

QString HMContactData::phoneLabelForQuillnestIndex(qint32 index)
{
    for (const PhoneLabelRow &row : phoneLabelRows()) {
        if (row.index == index)
            return row.written;
    }
    return QString();
}

qint32 HMContactData::phoneLabelIndexForLabel(const QString &label)
{
    if (label.isNull())
        return 0;
    for (const PhoneLabelRow &row : phoneLabelRows()) {
        if (row.recognised.contains(label))
            return row.index;
    }
    return 0;
}

namespace {

// What tells a contact apart as both sides keep it: its names, company, e-mail address, phones and
// note, trimmed, with one kind of line end.
QString contentOfRecord(const QVariantMap &record)
{
    static const char *const keys[] = {"SALUTATION", "NEWFNAME",  "MIDNAME",   "NEWLNAME",  "SUFFIX",
                                       "NICKNAME",   "TITLE",     "COMPANY",   "DEPARTMENT", "EMAIL",
                                       "EMAIL2",     "EMAIL3",    "CELLPHONE",  "HOMEPHONE", "WORKPHONE", "NOTE"};
    QStringList parts;
    for (const char *key : keys) {
        QString value = record.value(QLatin1String(key)).toString();
        parts.append(value.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).trimmed());
    }
    return parts.join(QChar(0x1f));
}

} // namespace

// A record that lacks a value of the duplicate search (a contact without company or e-mail address,
// as most are) is the copy of a person only when the person is mapped to no record of the phone and
// says the same in every field that tells contacts apart: two people of one name differ in
// something, a phone's copy of a desktop contact (a first sync after the mapping was lost) in
// nothing.
QList<std::shared_ptr<ABPerson>> HMContactData::unmappedCopiesOf(const std::shared_ptr<ABAddressBook> &book,
                                                                 const QVariantMap &record)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const QString content = contentOfRecord(record);
    QList<std::shared_ptr<ABPerson>> copies;
    const QStringList candidates =
        graph ? m_duplicateIndex.candidates(book, record.value(QStringLiteral("NEWFNAME")).toString(),
                                            record.value(QStringLiteral("NEWLNAME")).toString(),
                                            record.value(QStringLiteral("COMPANY")).toString())
              : QStringList();
    for (const QString &uniqueId : candidates) {
        // The mapping first: it is in memory, where telling whether a person is readable reads its
        // card, and in a first sync most candidates are people this sync has just written and mapped.
        if (!graph->harrowmereUidForNativeId(uniqueId).isEmpty())
            continue;
        const auto person = std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(uniqueId));
        if (!person || !person->isReadable())
            continue;
        QVariantMap scratch;
        if (contentOfRecord(pppDictionaryForPerson(person, scratch, 1)) == content)
            copies.append(person);
    }
    return copies;
}

QList<std::shared_ptr<ABPerson>> HMContactData::isDuplicate(const QVariantMap &record)
{
    const QString firstName = record.value(QStringLiteral("NEWFNAME")).toString();
    const QString lastName = record.value(QStringLiteral("NEWLNAME")).toString();
    const QString company = record.value(QStringLiteral("COMPANY")).toString();
    const QString email = record.value(QStringLiteral("EMAIL")).toString();
    QList<std::shared_ptr<ABPerson>> matches;
    // The search needs all four values; an empty e-mail address would be found in every one.
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (!book)
        return matches;
    if (firstName.isEmpty() || lastName.isEmpty() || company.isEmpty() || email.isEmpty())
        return unmappedCopiesOf(book, record);
    // Candidates come from the run's index by name and company; the search decides on each one's
    // values, its e-mail addresses included (the phone's address may be part of one).
    const auto equal = ABSearchComparison::kABEqualCaseInsensitive;
    const ABSearchElement search = ABSearchElement::searchElementForConjunction(
        ABSearchConjunction::kABSearchAnd,
        {ABPerson::searchElementForProperty(kABLastNameProperty, QString(), QString(), lastName, equal),
         ABPerson::searchElementForProperty(kABFirstNameProperty, QString(), QString(), firstName, equal),
         ABPerson::searchElementForProperty(kABOrganizationProperty, QString(), QString(), company, equal),
         ABPerson::searchElementForProperty(kABEmailProperty, QString(), QString(), email,
                                            ABSearchComparison::kABContainsSubStringCaseInsensitive)});
    for (const QString &uniqueId : m_duplicateIndex.candidates(book, firstName, lastName, company)) {
        const auto person = std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(uniqueId));
        if (person && search.matchesRecord(*person))
            matches.append(person);
    }
    return matches;
}
