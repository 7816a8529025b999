#pragma once

#include "push/XMPP/Core/XMPPElement.h"

// A "presence" stanza. A view over an element (see XMPPElement).
class XMPPPresence final : public XMPPElement
{
public:
    // A "presence" element with "type" and then "to" (the address's full text), each only when given.
    XMPPPresence() : XMPPPresence(QString(), nullptr) {}
    XMPPPresence(const QString &type, const XMPPJID::Ptr &to) : XMPPElement(elementWithNameTypeTo(QStringLiteral("presence"), type, to)) {}

    static XMPPPresence presence() { return XMPPPresence(); }
    static XMPPPresence presenceWithType(const QString &type) { return XMPPPresence(type, nullptr); }
    static XMPPPresence presenceWithType(const QString &type, const XMPPJID::Ptr &to) { return XMPPPresence(type, to); }
    // The element itself, answering as a presence.
    static XMPPPresence presenceFromElement(const std::shared_ptr<platform::NSXMLElement> &element);

    // The "type" attribute in lower case; "available" when missing.
    QString type() const;
    // The texts of the "show" and "status" children, or null texts.
    QString show() const;
    QString status() const;
    // The "priority" child's text read as an integer; 0 when missing.
    int priority() const;
    // "dnd" 0, "xa" 1, "away" 2, "chat" 4, anything else or nothing 3.
    int intShow() const;
    bool isErrorPresence() const { return type() == QLatin1String("error"); }

    XMPPPresence copy() const { return presenceFromElement(m_element->copyElement()); }
    QString archiveClassName() const override { return QStringLiteral("XMPPPresence"); }

private:
    explicit XMPPPresence(std::shared_ptr<platform::NSXMLElement> element) : XMPPElement(std::move(element)) {}
};

static_assert(sizeof(XMPPPresence) == sizeof(XMPPElement),
              "Adding instance variables to XMPPPresence is not currently supported!");
