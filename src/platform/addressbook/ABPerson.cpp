#include "platform/addressbook/ABPerson.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMultiValue.h"
#include "platform/foundation/Identifiers.h"

#include <QDateTime>

namespace platform {

const QString ABPerson::kImageDataProperty = QStringLiteral("ImageData");

namespace {

bool isTextProperty(const QString &property)
{
    static const QStringList texts = {kABFirstNameProperty,         kABLastNameProperty,
                                      kABMiddleNameProperty,        kABTitleProperty,
                                      kABSuffixProperty,            kABFirstNamePhoneticProperty,
                                      kABLastNamePhoneticProperty,  kABNicknameProperty,
                                      kABOrganizationProperty,      kABDepartmentProperty,
                                      kABJobTitleProperty,          kABNoteProperty};
    return texts.contains(property);
}

bool isMultiValueProperty(const QString &property)
{
    static const QStringList multiValues = {kABPhoneProperty,          kABEmailProperty,   kABURLsProperty,
                                            kABInstantMessageProperty, kABAddressProperty, kABOtherDatesProperty};
    return multiValues.contains(property);
}

Status wrongType(const QString &property, const char *wanted)
{
    return Error(ErrorCode::DataOther, QStringLiteral("%1 takes %2").arg(property, QLatin1String(wanted)));
}

} // namespace

std::shared_ptr<ABPerson> ABPerson::initWithAddressBook(const std::shared_ptr<ABAddressBook> &book)
{
    std::shared_ptr<ABPerson> person = personWithUniqueId(newUuidText());
    if (book)
        book->addRecord(person);
    return person;
}

std::shared_ptr<ABPerson> ABPerson::personWithUniqueId(const QString &uniqueId)
{
    return std::shared_ptr<ABPerson>(new ABPerson(uniqueId));
}

QList<std::shared_ptr<ABGroup>> ABPerson::parentGroups()
{
    const std::shared_ptr<ABAddressBook> book = addressBook();
    QList<std::shared_ptr<ABGroup>> parents;
    if (!book)
        return parents;
    for (const std::shared_ptr<ABGroup> &group : book->groups()) {
        if (group->hasMember(uniqueId()))
            parents.append(group);
    }
    return parents;
}

QByteArray ABPerson::imageData()
{
    return valueForProperty(kImageDataProperty).toByteArray();
}

bool ABPerson::setImageData(const QByteArray &data)
{
    return data.isEmpty() ? bool(removeValueForProperty(kImageDataProperty)) : bool(setValue(data, kImageDataProperty));
}

ABSearchElement ABPerson::searchElementForProperty(const QString &property, const QString &label, const QString &key,
                                                   const QVariant &value, ABSearchComparison comparison)
{
    Q_UNUSED(label);
    return ABSearchElement::forProperty(property, key, value, comparison);
}

Status ABPerson::checkValue(const QString &property, const QVariant &value) const
{
    if (isTextProperty(property))
        return value.typeId() == QMetaType::QString ? success() : wrongType(property, "text");
    if (isMultiValueProperty(property))
        return isMultiValue(value) ? success() : wrongType(property, "a multi-value");
    if (property == kABBirthdayProperty)
        return value.typeId() == QMetaType::QDateTime && value.toDateTime().isValid() ? success()
                                                                                      : wrongType(property, "a date");
    if (property == kImageDataProperty)
        return value.typeId() == QMetaType::QByteArray ? success() : wrongType(property, "data");
    return Error(ErrorCode::DataOther, QStringLiteral("a person has no property %1").arg(property));
}

} // namespace platform
