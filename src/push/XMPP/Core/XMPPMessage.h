#pragma once

#include "platform/foundation/PlatformError.h"
#include "push/XMPP/Core/XMPPElement.h"

#include <optional>

// The error domain of a message's error.
inline constexpr char XMPPStanzaErrorDomain[] = "urn:ietf:params:xml:ns:xmpp-stanzas";

// A "message" stanza. A view over an element (see XMPPElement).
class XMPPMessage final : public XMPPElement
{
public:
    // A "message" element with "type" and then "to" (the address's full text), each only when given.
    XMPPMessage() : XMPPMessage(QString(), nullptr) {}
    XMPPMessage(const QString &type, const XMPPJID::Ptr &to) : XMPPElement(elementWithNameTypeTo(QStringLiteral("message"), type, to)) {}

    static XMPPMessage message() { return XMPPMessage(); }
    static XMPPMessage messageWithType(const QString &type) { return XMPPMessage(type, nullptr); }
    static XMPPMessage messageWithType(const QString &type, const XMPPJID::Ptr &to) { return XMPPMessage(type, to); }
    // The element itself, answering as a message.
    static XMPPMessage messageFromElement(const std::shared_ptr<platform::NSXMLElement> &element);

    // The "type" comparisons are exact: "Chat" is no chat message.
    bool isChatMessage() const;
    bool isMessageWithBody() const;
    bool isChatMessageWithBody() const { return isChatMessage() && isMessageWithBody(); }
    bool isErrorMessage() const;
    // For an error message: the "error" child's integer "code" (0 when missing) with its compact XML text
    // as the description (none without an "error" child). Nothing for other messages.
    std::optional<platform::PlatformError> errorMessage() const;

    XMPPMessage copy() const { return messageFromElement(m_element->copyElement()); }
    QString archiveClassName() const override { return QStringLiteral("XMPPMessage"); }

private:
    explicit XMPPMessage(std::shared_ptr<platform::NSXMLElement> element) : XMPPElement(std::move(element)) {}
};

static_assert(sizeof(XMPPMessage) == sizeof(XMPPElement),
              "Adding instance variables to XMPPMessage is not currently supported!");
