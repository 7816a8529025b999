#pragma once

#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/PlatformError.h"

#include <QHash>
#include <QString>

#include <memory>
#include <optional>

class XMPPStream;

// A mechanism's verdict on one reply of the server.
enum XMPPHandleAuthResponse : int {
    XMPPHandleAuthResponseFailed = 0,
    XMPPHandleAuthResponseSuccess = 1,
    XMPPHandleAuthResponseContinue = 2,
};

// One authentication attempt: the stream makes the mechanism, starts it (it sends its first element)
// and hands it every reply until a verdict. Called on the stream's queue only; the stream is held
// weakly, so a mechanism never keeps its stream alive.
class XMPPSASLAuthentication
{
public:
    XMPPSASLAuthentication(const std::shared_ptr<XMPPStream> &stream, QString password);
    virtual ~XMPPSASLAuthentication();
    XMPPSASLAuthentication(const XMPPSASLAuthentication &) = delete;
    XMPPSASLAuthentication &operator=(const XMPPSASLAuthentication &) = delete;

    // Sends the first element; none of the mechanisms here fails.
    virtual bool start(platform::PlatformError *errPtr) = 0;
    virtual int handleAuth(const std::shared_ptr<platform::NSXMLElement> &authResponse) = 0;
    // The SASL name; a null text for the older "jabber:iq:auth" forms.
    virtual QString mechanismName() const = 0;
    // The older forms answer false: the stream does not reopen after their success. Nothing means the
    // mechanism does not say (the SASL ones), and the stream reopens.
    virtual std::optional<bool> shouldResendOpeningNegotiationAfterSuccessfulAuthentication() const
    {
        return std::nullopt;
    }
    // Whether the password crosses the connection readable: such a mechanism runs on a secured stream
    // only.
    virtual bool sendsPasswordReadably() const { return false; }
    virtual QString className() const = 0;

protected:
    std::shared_ptr<XMPPStream> stream() const { return m_stream.lock(); }
    const QString &password() const { return m_password; }

private:
    const std::weak_ptr<XMPPStream> m_stream;
    const QString m_password;
};

// SASL DIGEST-MD5 (RFC 2831) without an authorisation identity, always with "xmpp/" digest URIs.
class XMPPDigestMD5Authentication final : public XMPPSASLAuthentication
{
public:
    using XMPPSASLAuthentication::XMPPSASLAuthentication;

    bool start(platform::PlatformError *errPtr) override;
    int handleAuth(const std::shared_ptr<platform::NSXMLElement> &authResponse) override;
    QString mechanismName() const override { return QStringLiteral("DIGEST-MD5"); }
    QString className() const override { return QStringLiteral("XMPPDigestMD5Authentication"); }

    // The keys and values of a challenge's text, decoded as the server sent them.
    static QHash<QString, QString> dictionaryFromChallenge(const platform::NSXMLElement &challenge);
    // The response text and its digest value from the fields below.
    QString response() const;
    QString responseDigest() const;

    bool awaitingChallenge() const { return m_awaitingChallenge; }
    QString realm, nonce, qop, cnonce, digestURI, username;

private:
    int handleAuth1(const platform::NSXMLElement &authResponse);
    int handleAuth2(const platform::NSXMLElement &authResponse);

    bool m_awaitingChallenge = false;
};

// SASL PLAIN (RFC 4616): NUL, the user part of the stream's address, NUL, the password.
class XMPPPlainAuthentication final : public XMPPSASLAuthentication
{
public:
    using XMPPSASLAuthentication::XMPPSASLAuthentication;

    bool start(platform::PlatformError *errPtr) override;
    int handleAuth(const std::shared_ptr<platform::NSXMLElement> &authResponse) override;
    QString mechanismName() const override { return QStringLiteral("PLAIN"); }
    bool sendsPasswordReadably() const override { return true; }
    QString className() const override { return QStringLiteral("XMPPPlainAuthentication"); }

    // The Base64 text of NUL, the user, NUL and the password.
    static QString payload(const QString &user, const QString &password);
};

// The older "jabber:iq:auth" login, with the password in clear ("password") or as the SHA-1 of the
// stream id and the password ("digest").
class XMPPDeprecatedAuthentication : public XMPPSASLAuthentication
{
public:
    using XMPPSASLAuthentication::XMPPSASLAuthentication;

    bool start(platform::PlatformError *errPtr) override;
    int handleAuth(const std::shared_ptr<platform::NSXMLElement> &authResponse) override;
    QString mechanismName() const override { return QString(); }
    std::optional<bool> shouldResendOpeningNegotiationAfterSuccessfulAuthentication() const override
    {
        return false;
    }

protected:
    // The query's last child: "password" or "digest" with its text.
    virtual std::shared_ptr<platform::NSXMLElement> credentialElement(XMPPStream &stream) const = 0;
};

class XMPPDeprecatedPlainAuthentication final : public XMPPDeprecatedAuthentication
{
public:
    using XMPPDeprecatedAuthentication::XMPPDeprecatedAuthentication;
    bool sendsPasswordReadably() const override { return true; }
    QString className() const override { return QStringLiteral("XMPPDeprecatedPlainAuthentication"); }

protected:
    std::shared_ptr<platform::NSXMLElement> credentialElement(XMPPStream &stream) const override;
};

class XMPPDeprecatedDigestAuthentication final : public XMPPDeprecatedAuthentication
{
public:
    using XMPPDeprecatedAuthentication::XMPPDeprecatedAuthentication;
    QString className() const override { return QStringLiteral("XMPPDeprecatedDigestAuthentication"); }

    // The lower-case hex SHA-1 of the stream id followed by the password.
    static QString digest(const QString &streamId, const QString &password);

protected:
    std::shared_ptr<platform::NSXMLElement> credentialElement(XMPPStream &stream) const override;
};
