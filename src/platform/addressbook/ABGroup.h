#pragma once

#include "platform/addressbook/ABRecord.h"

#include <QList>
#include <QStringList>

#include <memory>

namespace platform {

class ABPerson;

// A group of an address book (a group card of the store, whose MEMBER lines name its persons).
// Same threading and ownership as ABRecord.
class ABGroup final : public ABRecord
{
public:
    // A new group for the book; it joins the book with ABAddressBook::addRecord.
    static std::shared_ptr<ABGroup> initWithAddressBook(const std::shared_ptr<ABAddressBook> &book);
    static std::shared_ptr<ABGroup> groupWithUniqueId(const QString &uniqueId);

    bool isGroup() const override { return true; }
    QList<std::shared_ptr<ABPerson>> members();
    // Both fail for a person of another book; adding a member twice changes nothing.
    bool addMember(const std::shared_ptr<ABPerson> &person);
    bool removeMember(const std::shared_ptr<ABPerson> &person);

    const QStringList &memberIds() const { return m_memberIds; }
    void setStoredMemberIds(const QStringList &ids) { m_memberIds = ids; }
    bool hasMember(const QString &uniqueId) const { return m_memberIds.contains(uniqueId); }
    // Drops a person that left the book, without marking the group changed.
    bool forgetMember(const QString &uniqueId) { return m_memberIds.removeAll(uniqueId) > 0; }

protected:
    Status checkValue(const QString &property, const QVariant &value) const override;

private:
    explicit ABGroup(QString uniqueId) : ABRecord(std::move(uniqueId)) {}

    QStringList m_memberIds;
};

} // namespace platform
