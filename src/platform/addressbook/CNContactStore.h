#pragma once

#include <QString>

#include <functional>

namespace platform {

enum class CNEntityType {
    CNEntityTypeContacts,
};

// The contacts access request. Access is granted when the address book's folder exists (or can be
// made) and can be read; the answer comes on a global queue. Thread-safe.
class CNContactStore final
{
public:
    using AccessHandler = std::function<void(bool granted, const QString &errorDescription)>;

    CNContactStore() = default;

    // Asks for access and returns at once; the handler gets the answer (the error's description is
    // empty when access was granted).
    void requestAccessForEntityType(CNEntityType entityType, AccessHandler completionHandler) const;
};

} // namespace platform
