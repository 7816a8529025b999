#include "platform/addressbook/CNContactStore.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/dispatch/DispatchQueue.h"

namespace platform {

void CNContactStore::requestAccessForEntityType(CNEntityType entityType, AccessHandler completionHandler) const
{
    Q_UNUSED(entityType);
    if (!completionHandler)
        return;
    DispatchQueue::global()->async([handler = std::move(completionHandler)] {
        const Status access = ABAddressBook::checkAccess();
        handler(bool(access), access ? QString() : access.error().message());
    });
}

} // namespace platform
