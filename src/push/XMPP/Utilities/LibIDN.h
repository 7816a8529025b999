#pragma once

#include <QString>

// Prepares the parts of an XMPP address with GNU libidn's stringprep profiles: Nodeprep for the user,
// Nameprep for the domain, Resourceprep for the resource. Each operation answers the prepared text,
// or a null text when the text is null, is rejected by the profile (prohibited characters, broken
// bidirectional rules), or does not fit the preparation buffer (1024 bytes of UTF-8 with the
// terminator, before or after preparation). Stateless; any thread may call them.
class LibIDN final
{
public:
    LibIDN() = delete;

    static QString prepNode(const QString &node);
    static QString prepDomain(const QString &domain);
    static QString prepResource(const QString &resource);

    // The size of the preparation buffer, terminator included.
    static constexpr int kBufferBytes = 1024;
};
