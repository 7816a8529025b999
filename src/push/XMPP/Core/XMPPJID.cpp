#include "push/XMPP/Core/XMPPJID.h"

#include "platform/foundation/KeyedUnarchiver.h"
#include "push/XMPP/Utilities/LibIDN.h"

#include <QHash>

#include <array>

namespace {

constexpr quint64 kMurmurMultiplier = 0xc6a4a7935bd1e995ULL;
constexpr int kMurmurShift = 47;
constexpr quint64 kHashSeed = 0xA2F1B6F;

// MurmurHash64A over whole 8-byte words (the address hash has no tail).
quint64 murmurHash64A(const std::array<quint64, 3> &words)
{
    quint64 hash = kHashSeed ^ (quint64(words.size() * sizeof(quint64)) * kMurmurMultiplier);
    for (quint64 word : words) {
        word *= kMurmurMultiplier;
        word ^= word >> kMurmurShift;
        word *= kMurmurMultiplier;
        hash ^= word;
        hash *= kMurmurMultiplier;
    }
    hash ^= hash >> kMurmurShift;
    hash *= kMurmurMultiplier;
    hash ^= hash >> kMurmurShift;
    return hash;
}

// The text hash with a fixed seed, so that an address hashes the same in every run.
quint64 textHash(const QString &text)
{
    return text.isNull() ? 0 : quint64(qHash(QStringView(text), 0));
}

bool partsEqual(const QString &left, const QString &right)
{
    if (left.isNull() || right.isNull())
        return left.isNull() && right.isNull();
    return left == right;
}

struct Parts
{
    QString user;
    QString domain;
    QString resource;
};

// Splits at the first "@" and the first "/" after it; parts not in the text stay null.
Parts splitParts(const QString &jidStr)
{
    Parts parts;
    QString rest = jidStr;
    const qsizetype at = jidStr.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        parts.user = jidStr.left(at);
        rest = jidStr.mid(at + 1);
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash < 0) {
        parts.domain = rest;
        return parts;
    }
    parts.domain = rest.left(slash);
    parts.resource = rest.mid(slash + 1);
    return parts;
}

// A part that is present keeps a non-null text even when empty ("@domain" has an empty user).
QString presentText(const QString &text)
{
    return text.isNull() ? QString() : (text.isEmpty() ? QString(QLatin1String("")) : text);
}

using Preparation = QString (*)(const QString &);

// Prepares a part with its profile. An absent part stays absent; a present part that the profile
// rejects fails the whole address, since dropping it would name another entity ("bad\"user@host"
// is not the server "host", and "u@host/<rejected>" is not the bare "u@host").
bool preparePart(const QString &part, Preparation prepare, QString *prepared)
{
    if (part.isNull()) {
        *prepared = QString();
        return true;
    }
    *prepared = presentText(prepare(part));
    return !prepared->isNull();
}

// Prepares all three parts and validates them.
bool prepareParts(const Parts &parts, Parts *prepared)
{
    return preparePart(parts.user, LibIDN::prepNode, &prepared->user) &&
           preparePart(parts.domain, LibIDN::prepDomain, &prepared->domain) &&
           preparePart(parts.resource, LibIDN::prepResource, &prepared->resource) &&
           XMPPJID::validateUser(prepared->user, prepared->domain, prepared->resource);
}

} // namespace

XMPPJID::XMPPJID(PrivateTag, QString user, QString domain, QString resource)
    : m_user(presentText(user)), m_domain(presentText(domain)), m_resource(presentText(resource))
{
}

bool XMPPJID::validateDomain(const QString &domain)
{
    return !domain.isEmpty() && !domain.contains(QLatin1Char('@'));
}

bool XMPPJID::validateResource(const QString &resource)
{
    return resource.isNull() || !resource.isEmpty();
}

bool XMPPJID::validateUser(const QString &, const QString &domain, const QString &resource)
{
    return validateDomain(domain) && validateResource(resource);
}

bool XMPPJID::parse(const QString &jidStr, QString *outUser, QString *outDomain, QString *outResource)
{
    for (QString *out : {outUser, outDomain, outResource}) {
        if (out != nullptr)
            *out = QString();
    }
    if (jidStr.isNull())
        return false;
    Parts prepared;
    if (!prepareParts(splitParts(jidStr), &prepared))
        return false;
    if (outUser != nullptr)
        *outUser = prepared.user;
    if (outDomain != nullptr)
        *outDomain = prepared.domain;
    if (outResource != nullptr)
        *outResource = prepared.resource;
    return true;
}

XMPPJID::Ptr XMPPJID::jidWithString(const QString &jidStr)
{
    QString user;
    QString domain;
    QString resource;
    if (!parse(jidStr, &user, &domain, &resource))
        return nullptr;
    return std::make_shared<const XMPPJID>(PrivateTag(), user, domain, resource);
}

XMPPJID::Ptr XMPPJID::jidWithString(const QString &jidStr, const QString &resource)
{
    QString preparedResource;
    if (!preparePart(resource, LibIDN::prepResource, &preparedResource) || !validateResource(preparedResource))
        return nullptr;
    QString user;
    QString domain;
    if (!parse(jidStr, &user, &domain, nullptr))
        return nullptr;
    return std::make_shared<const XMPPJID>(PrivateTag(), user, domain, preparedResource);
}

XMPPJID::Ptr XMPPJID::jidWithUser(const QString &user, const QString &domain, const QString &resource)
{
    Parts prepared;
    if (!prepareParts({user, domain, resource}, &prepared))
        return nullptr;
    return std::make_shared<const XMPPJID>(PrivateTag(), prepared.user, prepared.domain, prepared.resource);
}

XMPPJID::Ptr XMPPJID::jidWithPrevalidatedUser(const QString &user, const QString &domain, const QString &resource)
{
    return std::make_shared<const XMPPJID>(PrivateTag(), user, domain, resource);
}

XMPPJID::Ptr XMPPJID::jidWithPrevalidatedUserPrevalidatedDomainResource(const QString &user, const QString &domain,
                                                                        const QString &resource)
{
    QString preparedResource;
    if (!preparePart(resource, LibIDN::prepResource, &preparedResource) || !validateResource(preparedResource))
        return nullptr;
    return std::make_shared<const XMPPJID>(PrivateTag(), user, domain, preparedResource);
}

XMPPJID::Ptr XMPPJID::bareJID() const
{
    if (m_resource.isNull())
        return shared_from_this();
    return jidWithPrevalidatedUser(m_user, m_domain, QString());
}

XMPPJID::Ptr XMPPJID::domainJID() const
{
    if (m_user.isNull() && m_resource.isNull())
        return shared_from_this();
    return jidWithPrevalidatedUser(QString(), m_domain, QString());
}

QString XMPPJID::bare() const
{
    if (m_user.isNull())
        return m_domain;
    return m_user + QLatin1Char('@') + m_domain;
}

QString XMPPJID::full() const
{
    if (m_resource.isNull())
        return bare();
    return bare() + QLatin1Char('/') + m_resource;
}

XMPPJID::Ptr XMPPJID::jidWithNewResource(const QString &resource) const
{
    return jidWithPrevalidatedUserPrevalidatedDomainResource(m_user, m_domain, resource);
}

bool XMPPJID::isEqualToJID(const XMPPJID *other, int options) const
{
    if (other == nullptr)
        return false;
    if ((options & XMPPJIDCompareUser) && !partsEqual(m_user, other->m_user))
        return false;
    if ((options & XMPPJIDCompareDomain) && !partsEqual(m_domain, other->m_domain))
        return false;
    return !(options & XMPPJIDCompareResource) || partsEqual(m_resource, other->m_resource);
}

quint64 XMPPJID::hash() const
{
    return murmurHash64A({textHash(m_user), textHash(m_domain), textHash(m_resource)});
}

void XMPPJID::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    const auto valueOf = [](const QString &part) { return part.isNull() ? QVariant() : QVariant(part); };
    coder.encodeObject(valueOf(m_user), QStringLiteral("user"));
    coder.encodeObject(valueOf(m_domain), QStringLiteral("domain"));
    coder.encodeObject(valueOf(m_resource), QStringLiteral("resource"));
}

void XMPPJID::initWithCoder(platform::KeyedUnarchiver &coder)
{
    const auto partOf = [&coder](const char *key) {
        const QVariant value = coder.decodeObject(QLatin1String(key));
        return value.typeId() == QMetaType::QString ? presentText(value.toString()) : QString();
    };
    m_user = partOf("user");
    m_domain = partOf("domain");
    m_resource = partOf("resource");
}
