// The phones of a phone record written into a person. The phone carries a number twice: in its typed
// field (WORKPHONE, CELLPHONE, ...) and in the numbered field (PHONE1 to PHONE10) the desktop gave it;
// either may be missing. Each field names the entry it was made from: a numbered one through the slot
// map, a typed one as the entry that holds its number, else as the first entry of its label (as the
// reader fills it). An entry takes the new number any of its fields gives, is removed when every field
// it has on the phone was emptied (its numbered one among them), and is left as it is otherwise (its
// label too, unless the phone gave its numbered field another). A field is changed when its text
// differs from what the phone had in it when the desktop last sent the person (kPhoneFieldTextsKey), so
// a copy the phone left holding the old number never turns the number back. A number no field names an
// entry for is one entry: the one that already holds it, else a new one.
#include "datasources/contacts/HMContactData.h"
#include "datasources/contacts/HMContactDataKeys.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"

#include <QSet>

#include <array>

using namespace hmcontacts;
using namespace platform;

namespace {

constexpr int kNumberedPhones = 10;
using PhoneNumber = HMContactData::PhoneNumber;

// The person's phones while the record's numbers are placed.
struct PhonePlacing
{
    ABMutableMultiValue working;
    QVariantMap slotMap; // identifier -> slot
    QVariantMap known;   // field key -> its text as the phone last had it
    bool isKnownAtStart = false;
    QSet<QString> placed;

    QString identifierOfSlot(int slot) const
    {
        for (auto it = slotMap.constBegin(); it != slotMap.constEnd(); ++it) {
            if (it.value().toString() == QString::number(slot))
                return it.key();
        }
        return QString();
    }

    void assignSlot(const QString &identifier, int slot)
    {
        if (slot < 0)
            return;
        slotMap.removeIf([slot](const auto &entry) { return entry.value().toString() == QString::number(slot); });
        slotMap.insert(identifier, QString::number(slot));
    }

    // The identifier of the first entry of the label, as the reader fills a typed field.
    QString identifierOfLabel(const QString &label) const
    {
        const QString wanted = ABLocalizedPropertyOrLabel(label);
        for (qsizetype index = 0; index < working.count(); ++index) {
            if (ABLocalizedPropertyOrLabel(working.labelAtIndex(index)).compare(wanted, Qt::CaseInsensitive) == 0)
                return working.identifierAtIndex(index);
        }
        return QString();
    }

    // The entry the field was made from; empty when it names none.
    QString identifierOfField(const PhoneNumber &field, bool typedFieldsName) const
    {
        if (field.slot >= 0) {
            const QString identifier = identifierOfSlot(field.slot);
            return working.indexForIdentifier(identifier) >= 0 ? identifier : QString();
        }
        if (!typedFieldsName)
            return QString();
        // A typed field that holds a number of the person stands for that number's entry (the first
        // of its label may be another now); else for the first entry of its label.
        const qsizetype holding = field.value.isEmpty() ? -1 : indexOfValue(field.value);
        return holding >= 0 ? working.identifierAtIndex(holding) : identifierOfLabel(field.label);
    }

    // The index of an entry with the number; -1 when there is none.
    qsizetype indexOfValue(const QString &value) const
    {
        for (qsizetype index = 0; index < working.count(); ++index) {
            if (working.valueAtIndex(index).toString() == value)
                return index;
        }
        return -1;
    }

    // The entry stands for the number of the slot; it takes the label the phone gave the number when
    // that is another than its own.
    void place(qsizetype index, const PhoneNumber &field)
    {
        const QString identifier = working.identifierAtIndex(index);
        placed.insert(identifier);
        assignSlot(identifier, field.slot);
        const QString label = working.labelAtIndex(index);
        if (field.labelIndex > 0 &&
            HMContactData::phoneLabelIndexForLabel(ABLocalizedPropertyOrLabel(label)) != field.labelIndex &&
            HMContactData::phoneLabelIndexForLabel(label) != field.labelIndex)
            working.replaceLabelAtIndex(field.label, index);
    }

    void remove(const QString &identifier)
    {
        working.removeValueAndLabelAtIndex(working.indexForIdentifier(identifier));
        slotMap.remove(identifier);
    }

    // What the fields that name one entry say: a changed field gives its new number (the phone changed
    // that copy; its other copy may still hold the old one); when every
    // field was emptied, its numbered one among them, the number was deleted on the phone. A typed
    // field alone that is empty leaves its entry: a record of typed fields only never removes one.
    void applyClaims(const QString &identifier, const QList<PhoneNumber> &fields)
    {
        const qsizetype index = working.indexForIdentifier(identifier);
        const QString old = working.valueAtIndex(index).toString();
        rememberTextsBefore(fields, old);
        const auto numbered =
            std::find_if(fields.cbegin(), fields.cend(), [](const PhoneNumber &field) { return field.slot >= 0; });
        // Of the fields the phone changed, one whose number the entry does not hold yet.
        const auto changed = std::find_if(fields.cbegin(), fields.cend(), [this, &old](const PhoneNumber &field) {
            return isChange(field, old) && field.value != old;
        });
        if (changed != fields.cend()) {
            working.replaceValueAtIndex(changed->value, index);
        } else if (numbered != fields.cend() &&
                   std::all_of(fields.cbegin(), fields.cend(),
                               [](const PhoneNumber &field) { return field.value.isEmpty(); })) {
            remove(identifier);
            return;
        }
        place(index, numbered == fields.cend() ? PhoneNumber{} : *numbered);
    }

    // Where the phone's texts are not known yet, what its fields held before this record's changes: a
    // changed field its entry's old number, any other its own text. They are known from then on, so an
    // apply that runs again after a stop (the texts saved, the card not) finds the same changes.
    void rememberTextsBefore(const QList<PhoneNumber> &fields, const QString &old)
    {
        if (!isKnownAtStart) {
            for (const PhoneNumber &field : fields) {
                if (!field.value.isEmpty())
                    known.insert(field.key, isChange(field, old) ? old : field.value);
            }
        }
    }

    // Whether the field gives its entry a new number: its text differs from what the phone last had in
    // it (from the entry's number when that is not known).
    bool isChange(const PhoneNumber &field, const QString &old) const
    {
        if (field.value.isEmpty())
            return false;
        const auto last = known.constFind(field.key);
        return last == known.constEnd() ? field.value != old : last.value().toString() != field.value;
    }

    // A number no field names an entry for: the entry that holds it stands for it, else a new one.
    void placeUnclaimed(const PhoneNumber &number)
    {
        if (!isKnownAtStart)
            known.insert(number.key, number.value);
        const qsizetype index = indexOfValue(number.value);
        if (index >= 0) {
            if (!placed.contains(working.identifierAtIndex(index)))
                place(index, number);
            return;
        }
        const QString added = working.addValue(number.value, number.label);
        placed.insert(added);
        assignSlot(added, number.slot);
    }
};

// The numbers no field names an entry for, one per number: a typed field's number takes the slot
// and label index of the numbered field that holds it too.
QList<PhoneNumber> unclaimedNumbers(const QList<PhoneNumber> &fields)
{
    QList<PhoneNumber> numbers;
    for (const PhoneNumber &field : fields) {
        if (field.value.isEmpty())
            continue;
        const auto same = std::find_if(numbers.begin(), numbers.end(),
                                       [&field](const PhoneNumber &number) { return number.value == field.value; });
        if (same == numbers.end()) {
            numbers.append(field);
        } else if (same->slot < 0 && field.slot >= 0) {
            same->slot = field.slot;
            same->labelIndex = field.labelIndex;
        }
    }
    return numbers;
}

// The fields that name each entry, by the entry's identifier in the order of their first fields;
// the fields that name none go to unclaimed.
QList<std::pair<QString, QList<PhoneNumber>>> phoneClaims(const PhonePlacing &placing, const QList<PhoneNumber> &fields,
                                                          QList<PhoneNumber> &unclaimed)
{
    // Typed fields name entries of a person the phone was given, or of a record that has no numbered
    // fields; for a person matched by name they are only numbers.
    const bool typedFieldsName =
        !placing.slotMap.isEmpty() ||
        std::none_of(fields.cbegin(), fields.cend(), [](const PhoneNumber &field) { return field.slot >= 0; });
    QList<std::pair<QString, QList<PhoneNumber>>> claims;
    for (const PhoneNumber &field : fields) {
        const QString identifier = placing.identifierOfField(field, typedFieldsName);
        if (identifier.isEmpty()) {
            unclaimed.append(field);
            continue;
        }
        const auto entry = std::find_if(claims.begin(), claims.end(),
                                        [&identifier](const auto &claim) { return claim.first == identifier; });
        if (entry == claims.end())
            claims.append({identifier, {field}});
        else
            entry->second.append(field);
    }
    return claims;
}

// The keys of the typed fields, in the order of their labels in phoneFieldsOf.
const std::array<QString, 6> &typedPhoneKeys()
{
    static const std::array<QString, 6> keys = {QStringLiteral("WORKPHONE"), QStringLiteral("CELLPHONE"),
                                                QStringLiteral("HOMEPHONE"), QStringLiteral("WORKFAX"),
                                                QStringLiteral("COMPANYPHONE"), QStringLiteral("OTHERPHONE")};
    return keys;
}

// The keys of the numbered fields, PHONE1 and PHONELABEL1 to PHONE10 and PHONELABEL10, made once.
const std::array<std::pair<QString, QString>, kNumberedPhones> &numberedPhoneKeys()
{
    static const std::array<std::pair<QString, QString>, kNumberedPhones> keys = [] {
        std::array<std::pair<QString, QString>, kNumberedPhones> all;
        for (int slot = 0; slot < kNumberedPhones; ++slot)
            all[std::size_t(slot)] = {QStringLiteral("PHONE%1").arg(slot + 1), QStringLiteral("PHONELABEL%1").arg(slot + 1)};
        return all;
    }();
    return keys;
}

} // namespace

QList<HMContactData::PhoneNumber> HMContactData::phoneFieldsOf(const QVariantMap &record)
{
    const auto &typedKeys = typedPhoneKeys();
    QList<PhoneNumber> fields;
    if (!isCloudVariant()) {
        const QString labels[] = {kABPhoneWorkLabel,    kABPhoneMobileLabel, kABPhoneHomeLabel,
                                  kABPhoneWorkFAXLabel, companyPhoneLabel(), kABOtherLabel};
        for (std::size_t index = 0; index < typedKeys.size(); ++index) {
            const QString &key = typedKeys[index];
            if (record.contains(key))
                fields.append(PhoneNumber{key, ::stringForKey(record, key), labels[index]});
        }
    }
    for (int slot = 0; slot < kNumberedPhones; ++slot) {
        const auto &[valueKey, labelKey] = numberedPhoneKeys()[std::size_t(slot)];
        if (!record.contains(valueKey))
            continue;
        const qint32 labelIndex = ::stringForKey(record, labelKey).toInt();
        // An index naming no label still takes its slot, as a phone labelled "other"; a cloud record's
        // phone without a label index is labelled with its slot's number.
        QString label = phoneLabelForQuillnestIndex(labelIndex);
        if (label.isNull())
            label = isCloudVariant() && !record.contains(labelKey) ? QString::number(slot) : kABOtherLabel;
        fields.append(PhoneNumber{valueKey, ::stringForKey(record, valueKey), label, slot, labelIndex});
    }
    return fields;
}

void HMContactData::writePhones(const std::shared_ptr<ABPerson> &person, const QVariantMap &record,
                                QVariantMap &identifierDictionary)
{
    PhonePlacing placing{person->valueForProperty(kABPhoneProperty).value<ABMultiValue>().mutableCopy(),
                         identifierDictionary.value(kPhoneFieldKeys).toMap(),
                         phoneFieldTextsOf(identifierDictionary)};
    placing.isKnownAtStart = identifierDictionary.contains(kPhoneFieldTextsKey);
    QList<PhoneNumber> unclaimed;
    for (const auto &[identifier, fields] : phoneClaims(placing, phoneFieldsOf(record), unclaimed))
        placing.applyClaims(identifier, fields);
    for (const PhoneNumber &number : unclaimedNumbers(unclaimed))
        placing.placeUnclaimed(number);
    const Status written = person->setValue(placing.working.toVariant(), kABPhoneProperty);
    if (!written)
        DDLogError(QStringLiteral("ERROR: Could not set multi-value property '%1': %2")
                       .arg(kABPhoneProperty, written.error().message()));
    storeSlotMap(identifierDictionary, kPhoneFieldKeys, placing.slotMap);
    // The texts the desktop sent stay what the phone's fields are compared with until it sends again.
    storePhoneFieldTexts(identifierDictionary, placing.known);
}

QVariantMap HMContactData::phoneFieldTexts(const QVariantMap &record)
{
    QVariantMap texts;
    const auto keepText = [&record, &texts](const QString &key) {
        const QString text = ::stringForKey(record, key);
        if (!text.isEmpty())
            texts.insert(key, text);
    };
    for (const QString &key : typedPhoneKeys())
        keepText(key);
    for (const auto &keys : numberedPhoneKeys())
        keepText(keys.first);
    return texts;
}
