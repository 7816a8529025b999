#include "push/XMPP/Authentication/XMPPSASLAuthentication.h"

#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPStream.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"
#include "sync/NSData+Encrypt.h"

using platform::NSXMLElement;
using platform::PlatformError;

namespace {

const QString kSASLNamespace = QStringLiteral("urn:ietf:params:xml:ns:xmpp-sasl");
const QString kLegacyAuthNamespace = QStringLiteral("jabber:iq:auth");

std::shared_ptr<NSXMLElement> saslElement(const QString &name)
{
    return elementWithName(name, kSASLNamespace);
}

QString quoted(const QString &key, const QString &value)
{
    return key + QStringLiteral("=\"") + value + QLatin1Char('"');
}

QString hexMD5(const QByteArray &data)
{
    return hexStringValue(md5Digest(data));
}

} // namespace

XMPPSASLAuthentication::XMPPSASLAuthentication(const std::shared_ptr<XMPPStream> &stream, QString password)
    : m_stream(stream), m_password(std::move(password))
{
}

XMPPSASLAuthentication::~XMPPSASLAuthentication() = default;

// ---- DIGEST-MD5 ----

bool XMPPDigestMD5Authentication::start(PlatformError *)
{
    const auto element = saslElement(QStringLiteral("auth"));
    addAttributeWithName(*element, QStringLiteral("mechanism"), QStringLiteral("DIGEST-MD5"));
    if (const auto owner = stream())
        owner->sendAuthElement(element);
    m_awaitingChallenge = true;
    return true;
}

int XMPPDigestMD5Authentication::handleAuth(const std::shared_ptr<NSXMLElement> &authResponse)
{
    return m_awaitingChallenge ? handleAuth1(*authResponse) : handleAuth2(*authResponse);
}

QHash<QString, QString> XMPPDigestMD5Authentication::dictionaryFromChallenge(const NSXMLElement &challenge)
{
    const QString text = QString::fromUtf8(base64Decoded(challenge.stringValue().toLatin1()));
    QHash<QString, QString> result;
    for (const QString &piece : text.split(QLatin1Char(','))) {
        const qsizetype equals = piece.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = piece.left(equals).trimmed();
        QString value = piece.mid(equals + 1).trimmed();
        if (value.size() >= 3 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        result.insert(key, value);
    }
    return result;
}

int XMPPDigestMD5Authentication::handleAuth1(const NSXMLElement &authResponse)
{
    const auto owner = stream();
    if (authResponse.name() != QLatin1String("challenge") || !owner)
        return XMPPHandleAuthResponseFailed;
    const QHash<QString, QString> challenge = dictionaryFromChallenge(authResponse);
    realm = challenge.value(QStringLiteral("realm"));
    nonce = challenge.value(QStringLiteral("nonce"));
    qop = challenge.value(QStringLiteral("qop"));
    const XMPPJID::Ptr myJID = owner->myJID();
    const QString serverName = myJID && !myJID->domain().isEmpty() ? myJID->domain() : owner->hostName();
    if (realm.isEmpty())
        realm = serverName;
    digestURI = QStringLiteral("xmpp/") + serverName;
    if (cnonce.isEmpty())
        cnonce = XMPPStream::generateUUID();
    username = myJID ? myJID->user() : QString();
    const auto element = saslElement(QStringLiteral("response"));
    element->setStringValue(base64Encoded(response().toUtf8()));
    owner->sendAuthElement(element);
    m_awaitingChallenge = false;
    return XMPPHandleAuthResponseContinue;
}

int XMPPDigestMD5Authentication::handleAuth2(const NSXMLElement &authResponse)
{
    if (authResponse.name() == QLatin1String("challenge")) {
        if (!dictionaryFromChallenge(authResponse).contains(QStringLiteral("rspauth")))
            return XMPPHandleAuthResponseFailed;
        // The server proved it knows the password too; the proof is not checked, as the login then
        // succeeds or fails on the server's word alone.
        if (const auto owner = stream())
            owner->sendAuthElement(saslElement(QStringLiteral("response")));
        return XMPPHandleAuthResponseContinue;
    }
    return authResponse.name() == QLatin1String("success") ? XMPPHandleAuthResponseSuccess
                                                          : XMPPHandleAuthResponseFailed;
}

QString XMPPDigestMD5Authentication::response() const
{
    const QStringList fields = {quoted(QStringLiteral("username"), username),
                                quoted(QStringLiteral("realm"), realm),
                                quoted(QStringLiteral("nonce"), nonce),
                                quoted(QStringLiteral("cnonce"), cnonce),
                                QStringLiteral("nc=00000001"),
                                QStringLiteral("qop=auth"),
                                quoted(QStringLiteral("digest-uri"), digestURI),
                                QStringLiteral("response=") + responseDigest(),
                                QStringLiteral("charset=utf-8")};
    return fields.join(QLatin1Char(','));
}

QString XMPPDigestMD5Authentication::responseDigest() const
{
    const QByteArray x = md5Digest(QStringLiteral("%1:%2:%3").arg(username, realm, password()).toUtf8());
    const QString ha1 = hexMD5(x + QStringLiteral(":%1:%2").arg(nonce, cnonce).toUtf8());
    const QString ha2 = hexMD5(QStringLiteral("AUTHENTICATE:%1").arg(digestURI).toUtf8());
    return hexMD5(QStringLiteral("%1:%2:00000001:%3:auth:%4").arg(ha1, nonce, cnonce, ha2).toUtf8());
}

// ---- PLAIN ----

bool XMPPPlainAuthentication::start(PlatformError *)
{
    const auto owner = stream();
    if (!owner)
        return true;
    const XMPPJID::Ptr myJID = owner->myJID();
    const auto element = saslElement(QStringLiteral("auth"));
    addAttributeWithName(*element, QStringLiteral("mechanism"), QStringLiteral("PLAIN"));
    element->setStringValue(payload(myJID ? myJID->user() : QString(), password()));
    owner->sendAuthElement(element);
    return true;
}

QString XMPPPlainAuthentication::payload(const QString &user, const QString &password)
{
    return base64Encoded((QLatin1Char('\0') + user + QLatin1Char('\0') + password).toUtf8());
}

int XMPPPlainAuthentication::handleAuth(const std::shared_ptr<NSXMLElement> &authResponse)
{
    return authResponse->name() == QLatin1String("success") ? XMPPHandleAuthResponseSuccess
                                                            : XMPPHandleAuthResponseFailed;
}

// ---- The older "jabber:iq:auth" forms ----

bool XMPPDeprecatedAuthentication::start(PlatformError *)
{
    const auto owner = stream();
    if (!owner)
        return true;
    const XMPPJID::Ptr myJID = owner->myJID();
    QString resource = myJID ? myJID->resource() : QString();
    if (resource.isEmpty())
        resource = XMPPStream::generateUUID();
    const auto query = elementWithName(QStringLiteral("query"), kLegacyAuthNamespace);
    query->addChild(NSXMLElement::elementWithName(QStringLiteral("username"), myJID ? myJID->user() : QString()));
    query->addChild(NSXMLElement::elementWithName(QStringLiteral("resource"), resource));
    query->addChild(credentialElement(*owner));
    owner->sendAuthElement(negotiationIQ(QStringLiteral("set"), query).element());
    return true;
}

int XMPPDeprecatedAuthentication::handleAuth(const std::shared_ptr<NSXMLElement> &authResponse)
{
    return attributeStringValueForName(*authResponse, QStringLiteral("type")) == QLatin1String("error")
               ? XMPPHandleAuthResponseFailed
               : XMPPHandleAuthResponseSuccess;
}

std::shared_ptr<NSXMLElement> XMPPDeprecatedPlainAuthentication::credentialElement(XMPPStream &) const
{
    return NSXMLElement::elementWithName(QStringLiteral("password"), password());
}

QString XMPPDeprecatedDigestAuthentication::digest(const QString &streamId, const QString &password)
{
    return hexStringValue(sha1Digest((streamId + password).toUtf8()));
}

std::shared_ptr<NSXMLElement> XMPPDeprecatedDigestAuthentication::credentialElement(XMPPStream &stream) const
{
    const auto root = stream.rootElement();
    const QString streamId = root ? attributeStringValueForName(*root, QStringLiteral("id")) : QString();
    return NSXMLElement::elementWithName(QStringLiteral("digest"), digest(streamId, password()));
}
