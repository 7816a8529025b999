#pragma once

#include "platform/addressbook/ABRecord.h"
#include "platform/addressbook/ABSearchElement.h"

#include <QByteArray>
#include <QList>

#include <memory>

namespace platform {

class ABGroup;

// A person of an address book (one vCard file of the store). Same threading and ownership as
// ABRecord.
class ABPerson final : public ABRecord
{
public:
    // A new person with a new unique id, added to the book (nothing is written before the book is
    // saved).
    static std::shared_ptr<ABPerson> initWithAddressBook(const std::shared_ptr<ABAddressBook> &book);
    // A person with a known unique id, in no book yet (the store's reader).
    static std::shared_ptr<ABPerson> personWithUniqueId(const QString &uniqueId);

    bool isGroup() const override { return false; }
    // The groups of the person's book that have the person as a member.
    QList<std::shared_ptr<ABGroup>> parentGroups();
    // The person's picture (JPEG or PNG bytes); empty when none.
    QByteArray imageData();
    bool setImageData(const QByteArray &data);

    static ABSearchElement searchElementForProperty(const QString &property, const QString &label, const QString &key,
                                                    const QVariant &value, ABSearchComparison comparison);

    // The value key of the picture.
    static const QString kImageDataProperty;

protected:
    Status checkValue(const QString &property, const QVariant &value) const override;

private:
    explicit ABPerson(QString uniqueId) : ABRecord(std::move(uniqueId)) {}
};

} // namespace platform
