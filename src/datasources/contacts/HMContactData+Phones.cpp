// The phones of a phone record written into a person. The phone carries a number twice: in its typed
// field (WORKPHONE, CELLPHONE, ...) and in the numbered field (PHONE1 to PHONE10) the desktop gave it;
// either may be missing. Each number is one entry of the person: one the person has is left as it is
// (its label too, unless the phone gave it another), one the phone changed replaces its numbered slot's
// entry (or, in a record without numbered fields, the entry of its label), and only a number the
// person has nowhere is added.
#include "datasources/contacts/HMContactData.h"
#include "datasources/contacts/HMContactDataKeys.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"

#include <QSet>

using namespace hmcontacts;
using namespace platform;

namespace {

constexpr int kNumberedPhones = 10;

// The person's phones while the record's numbers are placed.
struct PhonePlacing
{
    ABMutableMultiValue working;
    QVariantMap slotMap; // identifier -> slot
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

    // The index of an entry not yet placed with the number; -1 when there is none.
    qsizetype unplacedIndexOf(const QString &value) const
    {
        for (qsizetype index = 0; index < working.count(); ++index) {
            if (!placed.contains(working.identifierAtIndex(index)) && working.valueAtIndex(index).toString() == value)
                return index;
        }
        return -1;
    }

    // The entry not yet placed that the slot names; -1 when there is none.
    qsizetype unplacedIndexOfSlot(int slot) const
    {
        const QString identifier = slot < 0 ? QString() : identifierOfSlot(slot);
        return identifier.isEmpty() || placed.contains(identifier) ? -1 : working.indexForIdentifier(identifier);
    }

    // The first entry not yet placed with the label: a record with typed fields alone names its
    // numbers by label only.
    qsizetype unplacedIndexOfLabel(const QString &label) const
    {
        for (qsizetype index = 0; index < working.count(); ++index) {
            if (!placed.contains(working.identifierAtIndex(index)) && working.labelAtIndex(index) == label)
                return index;
        }
        return -1;
    }

    // The entry stands for the number of the slot; it takes the label the phone gave the number when
    // that is another than its own.
    void place(qsizetype index, int slot, qint32 labelIndex, const QString &phoneLabel)
    {
        const QString identifier = working.identifierAtIndex(index);
        placed.insert(identifier);
        assignSlot(identifier, slot);
        const QString label = working.labelAtIndex(index);
        if (labelIndex > 0 && HMContactData::phoneLabelIndexForLabel(ABLocalizedPropertyOrLabel(label)) != labelIndex &&
            HMContactData::phoneLabelIndexForLabel(label) != labelIndex)
            working.replaceLabelAtIndex(phoneLabel, index);
    }
};

} // namespace

QList<HMContactData::PhoneNumber> HMContactData::phoneNumbersOf(const QVariantMap &record)
{
    QList<PhoneNumber> numbers;
    if (!isCloudVariant()) {
        const std::pair<const char *, QString> typed[] = {
            {"WORKPHONE", kABPhoneWorkLabel},  {"CELLPHONE", kABPhoneMobileLabel},    {"HOMEPHONE", kABPhoneHomeLabel},
            {"WORKFAX", kABPhoneWorkFAXLabel}, {"COMPANYPHONE", companyPhoneLabel()}, {"OTHERPHONE", kABOtherLabel}};
        for (const auto &[key, label] : typed) {
            const QString value = ::stringForKey(record, QLatin1String(key));
            if (!value.isEmpty())
                numbers.append(PhoneNumber{value, label});
        }
    }
    for (int slot = 0; slot < kNumberedPhones; ++slot) {
        const QString value = ::stringForKey(record, QStringLiteral("PHONE%1").arg(slot + 1));
        if (value.isEmpty())
            continue;
        const qint32 labelIndex = ::stringForKey(record, QStringLiteral("PHONELABEL%1").arg(slot + 1)).toInt();
        const auto typed = std::find_if(numbers.begin(), numbers.end(),
                                        [&value](const PhoneNumber &number) { return number.value == value; });
        if (typed != numbers.end() && typed->slot < 0) {
            typed->slot = slot;
            continue;
        }
        // An index naming no label still takes its slot, as a phone labelled "other"; a cloud record's
        // phone without a label index is labelled with its slot's number.
        const QString labelKey = QStringLiteral("PHONELABEL%1").arg(slot + 1);
        QString label = phoneLabelForQuillnestIndex(labelIndex);
        if (label.isNull())
            label = isCloudVariant() && !record.contains(labelKey) ? QString::number(slot) : kABOtherLabel;
        numbers.append(PhoneNumber{value, label, slot, labelIndex});
    }
    return numbers;
}

void HMContactData::writePhones(const std::shared_ptr<ABPerson> &person, const QVariantMap &record,
                                QVariantMap &identifierDictionary)
{
    PhonePlacing placing{person->valueForProperty(kABPhoneProperty).value<ABMultiValue>().mutableCopy(),
                         identifierDictionary.value(kPhoneFieldKeys).toMap(),
                         {}};
    QList<PhoneNumber> changed;
    const QList<PhoneNumber> numbers = phoneNumbersOf(record);
    for (const PhoneNumber &number : numbers) {
        const qsizetype index = placing.unplacedIndexOf(number.value);
        if (index >= 0)
            placing.place(index, number.slot, number.labelIndex, number.label);
        else
            changed.append(number);
    }
    const bool hasNumbered =
        std::any_of(numbers.cbegin(), numbers.cend(), [](const PhoneNumber &number) { return number.slot >= 0; });
    for (const PhoneNumber &number : std::as_const(changed)) {
        const qsizetype index =
            hasNumbered ? placing.unplacedIndexOfSlot(number.slot) : placing.unplacedIndexOfLabel(number.label);
        if (index >= 0) {
            placing.working.replaceValueAtIndex(number.value, index);
            placing.place(index, number.slot, number.labelIndex, number.label);
            continue;
        }
        const QString added = placing.working.addValue(number.value, number.label);
        placing.placed.insert(added);
        placing.assignSlot(added, number.slot);
    }
    const Status written = person->setValue(placing.working.toVariant(), kABPhoneProperty);
    if (!written)
        DDLogError(QStringLiteral("ERROR: Could not set multi-value property '%1': %2")
                       .arg(kABPhoneProperty, written.error().message()));
    storeSlotMap(identifierDictionary, kPhoneFieldKeys, placing.slotMap);
}
