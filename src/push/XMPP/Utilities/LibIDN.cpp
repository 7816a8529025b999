#include "push/XMPP/Utilities/LibIDN.h"

#include <stringprep.h>

#include <array>
#include <cstring>

namespace {

QString prepare(const QString &text, const Stringprep_profile *profile)
{
    if (text.isNull())
        return QString();
    const QByteArray utf8 = text.toUtf8();
    // A text that does not fit with its terminator gets no address: copying a cut-off prefix would
    // prepare some other text, and an unterminated buffer would be read past its end.
    if (utf8.size() >= LibIDN::kBufferBytes)
        return QString();
    std::array<char, LibIDN::kBufferBytes> buffer;
    std::memcpy(buffer.data(), utf8.constData(), size_t(utf8.size()) + 1);
    if (stringprep(buffer.data(), buffer.size(), Stringprep_profile_flags(0), profile) != STRINGPREP_OK)
        return QString();
    const QString prepared = QString::fromUtf8(buffer.data());
    // An empty part stays present: "@domain" has an empty user, not none.
    return prepared.isNull() ? QString(QLatin1String("")) : prepared;
}

} // namespace

QString LibIDN::prepNode(const QString &node)
{
    return prepare(node, stringprep_xmpp_nodeprep);
}

QString LibIDN::prepDomain(const QString &domain)
{
    return prepare(domain, stringprep_nameprep);
}

QString LibIDN::prepResource(const QString &resource)
{
    return prepare(resource, stringprep_xmpp_resourceprep);
}
