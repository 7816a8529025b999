#pragma once

#include <QString>

#include <optional>

class HMProfile;

namespace hmsync {

// Where the driver keeps the desktop's contacts: the address book's vCard folder (the default), or
// the memory store that holds the other conduits.
enum class ContactStore { VCardFolder, Memory };

// "vcard" or "memory"; nullopt for anything else.
std::optional<ContactStore> contactStoreFromName(const QString &name);

// Makes the contacts conduit of the profile use the chosen store: for the vCard folder (which the
// address book serves to profiles whose contact manager is Apple) it registers the contacts data
// source, after the memory store's registration, with the folder given (empty: the user default or
// its default). Main thread, before the sync starts.
void useContactStore(ContactStore store, const HMProfile &profile, const QString &folder);

} // namespace hmsync
