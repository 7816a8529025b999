#pragma once

#include "push/XMPP/Core/XMPPElement.h"

#include <vector>

// An "iq" stanza: a query and its answer. A view over an element (see XMPPElement).
class XMPPIQ final : public XMPPElement
{
public:
    // An "iq" element with, in this order and each only when given, the attributes "type", "to" (the
    // address's full text) and "id", and the child as its only child.
    XMPPIQ() : XMPPIQ(QString(), nullptr, QString(), nullptr) {}
    XMPPIQ(const QString &type, const XMPPJID::Ptr &to, const QString &elementID,
           const std::shared_ptr<platform::NSXMLElement> &child);

    static XMPPIQ iq() { return XMPPIQ(); }
    static XMPPIQ iqWithType(const QString &type) { return XMPPIQ(type, nullptr, QString(), nullptr); }
    static XMPPIQ iqWithType(const QString &type, const XMPPJID::Ptr &to) { return XMPPIQ(type, to, QString(), nullptr); }
    static XMPPIQ iqWithType(const QString &type, const XMPPJID::Ptr &to, const QString &elementID)
    {
        return XMPPIQ(type, to, elementID, nullptr);
    }
    static XMPPIQ iqWithType(const QString &type, const XMPPJID::Ptr &to, const QString &elementID,
                             const std::shared_ptr<platform::NSXMLElement> &child)
    {
        return XMPPIQ(type, to, elementID, child);
    }
    static XMPPIQ iqWithType(const QString &type, const QString &elementID)
    {
        return XMPPIQ(type, nullptr, elementID, nullptr);
    }
    static XMPPIQ iqWithType(const QString &type, const QString &elementID,
                             const std::shared_ptr<platform::NSXMLElement> &child)
    {
        return XMPPIQ(type, nullptr, elementID, child);
    }
    static XMPPIQ iqWithType(const QString &type, const std::shared_ptr<platform::NSXMLElement> &child)
    {
        return XMPPIQ(type, nullptr, QString(), child);
    }
    // The element itself, answering as an "iq" stanza.
    static XMPPIQ iqFromElement(const std::shared_ptr<platform::NSXMLElement> &element);

    // The "type" attribute in lower case; a null text when missing.
    QString type() const;
    bool isGetIQ() const { return type() == QLatin1String("get"); }
    bool isSetIQ() const { return type() == QLatin1String("set"); }
    bool isResultIQ() const { return type() == QLatin1String("result"); }
    bool isErrorIQ() const { return type() == QLatin1String("error"); }
    bool requiresResponse() const { return isGetIQ() || isSetIQ(); }

    // The first child element not named "error" (in any case), or null.
    std::shared_ptr<platform::NSXMLElement> childElement() const;
    // The first child element named "error" in any case, or null.
    std::shared_ptr<platform::NSXMLElement> childErrorElement() const;

    XMPPIQ copy() const { return iqFromElement(m_element->copyElement()); }
    QString archiveClassName() const override { return QStringLiteral("XMPPIQ"); }

private:
    explicit XMPPIQ(std::shared_ptr<platform::NSXMLElement> element) : XMPPElement(std::move(element)) {}
};

// A stanza is its element and nothing more: converting a received element must not need a copy.
static_assert(sizeof(XMPPIQ) == sizeof(XMPPElement), "Adding instance variables to XMPPIQ is not currently supported!");

// An iq of the stream's negotiation and logins: the type, a fresh id and the child.
XMPPIQ negotiationIQ(const QString &type, const std::shared_ptr<platform::NSXMLElement> &child);
