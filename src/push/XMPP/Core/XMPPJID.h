#pragma once

#include "platform/foundation/KeyedArchiver.h"

#include <QString>

#include <memory>

// Which parts isEqualToJID compares, combined with "|".
enum XMPPJIDCompareOptions : int {
    XMPPJIDCompareUser = 1,
    XMPPJIDCompareDomain = 2,
    XMPPJIDCompareResource = 4,
    XMPPJIDCompareBare = XMPPJIDCompareUser | XMPPJIDCompareDomain,
    XMPPJIDCompareFull = XMPPJIDCompareUser | XMPPJIDCompareDomain | XMPPJIDCompareResource,
};

// An XMPP address, user@domain/resource, as an immutable value: every part is prepared with its
// stringprep profile (see LibIDN) and validated when the address is made, and never changes after.
// A part is a null text when absent; the domain of a valid address is never empty. Addresses are
// shared (XMPPJID::Ptr) and, being immutable, may be used from any thread. Every constructor answers a
// null pointer for an invalid address.
class XMPPJID final : public std::enable_shared_from_this<XMPPJID>, public platform::KeyedArchivable
{
    struct PrivateTag
    {
    };

public:
    using Ptr = std::shared_ptr<const XMPPJID>;

    static bool validateDomain(const QString &domain);
    static bool validateResource(const QString &resource);
    static bool validateUser(const QString &user, const QString &domain, const QString &resource);
    // Splits at the first "@" and the first "/" after it, prepares and validates the parts. Every given
    // out-parameter is nulled first and filled on success.
    static bool parse(const QString &jidStr, QString *outUser, QString *outDomain, QString *outResource);

    static Ptr jidWithString(const QString &jidStr);
    // The user and domain of the text with the given resource in place of the text's own.
    static Ptr jidWithString(const QString &jidStr, const QString &resource);
    static Ptr jidWithUser(const QString &user, const QString &domain, const QString &resource);
    // The parts taken as they are, without preparation or validation.
    static Ptr jidWithPrevalidatedUser(const QString &user, const QString &domain, const QString &resource);
    // User and domain taken as they are; the resource prepared and validated.
    static Ptr jidWithPrevalidatedUserPrevalidatedDomainResource(const QString &user, const QString &domain,
                                                                 const QString &resource);

    // For decoding (initWithCoder fills it) and containers only: an address without parts.
    XMPPJID() = default;
    XMPPJID(PrivateTag, QString user, QString domain, QString resource);

    const QString &user() const { return m_user; }
    const QString &domain() const { return m_domain; }
    const QString &resource() const { return m_resource; }

    // This address when it has no resource, else user and domain alone.
    Ptr bareJID() const;
    // This address when it is a domain alone, else the domain alone.
    Ptr domainJID() const;
    QString bare() const;
    QString full() const;
    QString description() const { return full(); }

    bool isBare() const { return m_resource.isNull(); }
    bool isBareWithUser() const { return !m_user.isNull() && m_resource.isNull(); }
    bool isFull() const { return !m_resource.isNull(); }
    bool isFullWithUser() const { return !m_user.isNull() && !m_resource.isNull(); }
    bool isServer() const { return m_user.isNull(); }

    Ptr jidWithNewResource(const QString &resource) const;

    // Part by part, exactly: an absent part equals only an absent part. A null address equals nothing.
    bool isEqualToJID(const XMPPJID *other, int options = XMPPJIDCompareFull) const;
    bool isEqualToJID(const Ptr &other, int options = XMPPJIDCompareFull) const
    {
        return isEqualToJID(other.get(), options);
    }
    bool operator==(const XMPPJID &other) const { return isEqualToJID(&other); }

    // MurmurHash64A, seed 0xA2F1B6F, over the text hashes of user, domain and resource (0 when
    // absent); equal addresses hash equal, within a run and across runs.
    quint64 hash() const;

    // Keyed coding under "user", "domain" and "resource", without preparation on reading.
    QString archiveClassName() const override { return QStringLiteral("XMPPJID"); }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder) override;

private:
    QString m_user;
    QString m_domain;
    QString m_resource;
};

// For QHash and QSet.
inline size_t qHash(const XMPPJID &jid, size_t seed = 0)
{
    return size_t(jid.hash()) ^ seed;
}
