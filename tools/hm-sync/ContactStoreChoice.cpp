#include "ContactStoreChoice.h"

#include "MemoryDataSource.h"
#include "app/stores/HMSyncRegistration.h"
#include "foundation/GlobalVariables.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABPerson.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncTypes.h"

#include <algorithm>

namespace hmsync {

std::optional<ContactStore> contactStoreFromName(const QString &name)
{
    if (name == QLatin1String("vcard"))
        return ContactStore::VCardFolder;
    if (name == QLatin1String("memory"))
        return ContactStore::Memory;
    if (name == QLatin1String("outlook"))
        return ContactStore::Outlook;
    return std::nullopt;
}

namespace {

bool usesVCardFolder(ContactStore store, const HMProfile &profile)
{
    return store == ContactStore::VCardFolder && profile.contactManager() == HMContactManager::Apple;
}

} // namespace

void useContactStore(ContactStore store, const HMProfile &profile, const QString &folder)
{
    if (store == ContactStore::Outlook)
        return; // useOutlookContacts
    GlobalVariables::setIsContactManagerApple(profile.contactManager() == HMContactManager::Apple);
    if (!usesVCardFolder(store, profile))
        return;
    HMSyncRegistration::registerContactStore(folder);
}

bool addSampleContacts(ContactStore store, const HMProfile &profile, int count, QString &problem)
{
    if (!usesVCardFolder(store, profile))
        return true;
    const std::shared_ptr<platform::ABAddressBook> book = platform::ABAddressBook::addressBook();
    if (!book) {
        problem = QStringLiteral("the address book at %1 cannot be opened").arg(platform::ABAddressBook::storeFolderPath());
        return false;
    }
    for (int index = 1; index <= count; ++index) {
        const std::shared_ptr<platform::ABPerson> person = platform::ABPerson::initWithAddressBook(book);
        (void)person->setValue(QStringLiteral("Desk"), platform::kABFirstNameProperty);
        (void)person->setValue(QStringLiteral("Contact %1").arg(index), platform::kABLastNameProperty);
        (void)person->setValue(QStringLiteral("Typed on the desktop:\tfish & chips\nsecond line"), platform::kABNoteProperty);
    }
    const platform::Status saved = book->save();
    if (!saved)
        problem = saved.error().message();
    return bool(saved);
}

qsizetype contactCount(ContactStore store, const HMProfile &profile, const MemoryStore &memoryStore)
{
    if (!usesVCardFolder(store, profile))
        return memoryStore.count(quint64(HMSyncConduit::Contacts));
    // From the folder's index as the sync left it: no second book, no file read.
    return std::max<qsizetype>(platform::ABAddressBook::storedPersonCount(), 0);
}

} // namespace hmsync
