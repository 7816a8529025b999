#pragma once

#include <QString>

#include <optional>

class HMProfile;

namespace hmsync {

class MemoryStore;

// Where the driver keeps the desktop's contacts: the address book's vCard folder (the default), the
// memory store that holds the other conduits, or Outlook (OutlookStoreChoice.h).
enum class ContactStore { VCardFolder, Memory, Outlook };

// "vcard", "memory" or "outlook"; nullopt for anything else.
std::optional<ContactStore> contactStoreFromName(const QString &name);

// Makes the contacts conduit of the profile use the chosen store: for the vCard folder (which the
// address book serves to profiles whose contact manager is Apple) it registers the contacts data
// source, after the memory store's registration, with the folder given (empty: the user default or
// its default). Main thread, before the sync starts.
void useContactStore(ContactStore store, const HMProfile &profile, const QString &folder);

// Where the profile's contacts are in the vCard folder (after useContactStore): adds that many sample
// persons to it, and counts its persons. Otherwise the memory store's conduit 1 serves for both.
bool addSampleContacts(ContactStore store, const HMProfile &profile, int count, QString &problem);
qsizetype contactCount(ContactStore store, const HMProfile &profile, const MemoryStore &memoryStore);

} // namespace hmsync
