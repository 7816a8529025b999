#include "platform/addressbook/ABGroup.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/foundation/Identifiers.h"

namespace platform {

std::shared_ptr<ABGroup> ABGroup::initWithAddressBook(const std::shared_ptr<ABAddressBook> &book)
{
    std::shared_ptr<ABGroup> group = groupWithUniqueId(newUuidText());
    group->attachToAddressBook(book);
    return group;
}

std::shared_ptr<ABGroup> ABGroup::groupWithUniqueId(const QString &uniqueId)
{
    return std::shared_ptr<ABGroup>(new ABGroup(uniqueId));
}

QList<std::shared_ptr<ABPerson>> ABGroup::members()
{
    QList<std::shared_ptr<ABPerson>> persons;
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (!book)
        return persons;
    for (const QString &id : m_memberIds) {
        if (auto person = std::dynamic_pointer_cast<ABPerson>(book->recordForUniqueId(id)))
            persons.append(person);
    }
    return persons;
}

bool ABGroup::addMember(const std::shared_ptr<ABPerson> &person)
{
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (!person || !book || person->addressBook() != book)
        return false;
    if (m_memberSet.contains(person->uniqueId()))
        return true;
    m_memberIds.append(person->uniqueId());
    m_memberSet.insert(person->uniqueId());
    book->membershipDidChange(*this, *person);
    return true;
}

bool ABGroup::removeMember(const std::shared_ptr<ABPerson> &person)
{
    const std::shared_ptr<ABAddressBook> book = addressBook();
    if (!person || !book || person->addressBook() != book)
        return false;
    if (forgetMember(person->uniqueId()))
        book->membershipDidChange(*this, *person);
    return true;
}

void ABGroup::setStoredMemberIds(const QStringList &ids)
{
    m_memberIds.clear();
    m_memberSet.clear();
    for (const QString &id : ids) {
        if (!m_memberSet.contains(id)) {
            m_memberIds.append(id);
            m_memberSet.insert(id);
        }
    }
}

bool ABGroup::forgetMember(const QString &uniqueId)
{
    if (!m_memberSet.remove(uniqueId))
        return false;
    m_memberIds.removeOne(uniqueId);
    return true;
}

Status ABGroup::checkValue(const QString &property, const QVariant &value) const
{
    if (property != kABGroupNameProperty)
        return Error(ErrorCode::DataOther, QStringLiteral("a group has no property %1").arg(property));
    if (value.typeId() != QMetaType::QString)
        return Error(ErrorCode::DataOther, QStringLiteral("%1 takes text").arg(property));
    return success();
}

} // namespace platform
