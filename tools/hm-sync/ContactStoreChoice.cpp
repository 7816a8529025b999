#include "ContactStoreChoice.h"

#include "datasources/contacts/HMContactData.h"
#include "foundation/GlobalVariables.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncTypes.h"

#include <QDir>

namespace hmsync {

std::optional<ContactStore> contactStoreFromName(const QString &name)
{
    if (name == QLatin1String("vcard"))
        return ContactStore::VCardFolder;
    if (name == QLatin1String("memory"))
        return ContactStore::Memory;
    return std::nullopt;
}

void useContactStore(ContactStore store, const HMProfile &profile, const QString &folder)
{
    const bool isApple = profile.contactManager() == HMContactManager::Apple;
    GlobalVariables::setIsContactManagerApple(isApple);
    if (store != ContactStore::VCardFolder || !isApple)
        return;
    if (!folder.isEmpty())
        platform::UserDefaults::standardUserDefaults().setObject(QDir(folder).absolutePath(),
                                                                 platform::ABAddressBook::kFolderDefaultsKey);
    HMContactData::registerDataSourceClass();
}

} // namespace hmsync
