#pragma once

#include "platform/addressbook/ABRecord.h"

#include <QList>
#include <QSet>
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
    void setStoredMemberIds(const QStringList &ids);
    bool hasMember(const QString &uniqueId) const { return m_memberSet.contains(uniqueId); }
    // Drops a person that left the book, without marking the group changed.
    bool forgetMember(const QString &uniqueId);

protected:
    Status checkValue(const QString &property, const QVariant &value) const override;

private:
    explicit ABGroup(QString uniqueId) : ABRecord(std::move(uniqueId)) {}

    // The members in the order of the group card, and the same ids for lookups: a group of thousands
    // is asked about each of its members on every save.
    QStringList m_memberIds;
    QSet<QString> m_memberSet;
};

} // namespace platform
