#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NSXMLElement.h"
#include "push/XMPP/Core/XMPPJID.h"

#include <QString>

#include <memory>

// The base of the stanzas: a view over an XML element that adds typed reading and construction and no
// state of its own. A view shares its element: the element a stanza is made from answers as the stanza,
// without a copy, and changes made through either are the same changes. Same thread rules as the
// element.
class XMPPElement : public platform::KeyedArchivable
{
public:
    // An element without a name; decoding gives it its element.
    XMPPElement();
    explicit XMPPElement(std::shared_ptr<platform::NSXMLElement> element);

    const std::shared_ptr<platform::NSXMLElement> &element() const { return m_element; }
    platform::NSXMLElement *operator->() const { return m_element.get(); }
    platform::NSXMLElement &operator*() const { return *m_element; }

    // The "id", "to" and "from" attributes, or null texts.
    QString elementID() const;
    QString toStr() const;
    QString fromStr() const;
    // The "to" and "from" addresses; null when missing or invalid.
    XMPPJID::Ptr to() const;
    XMPPJID::Ptr from() const;

    // A view of a deep copy of the element.
    XMPPElement copy() const { return XMPPElement(m_element->copyElement()); }

    // Keyed coding: the element's compact XML text under "xmlString". Decoding parses the text; a text
    // that does not parse fails the decoding.
    QString archiveClassName() const override { return QStringLiteral("XMPPElement"); }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder) override;

protected:
    // A new element with the name and, in this order and each only when given, the attributes "type"
    // and "to" (the address's full text).
    static std::shared_ptr<platform::NSXMLElement> elementWithNameTypeTo(const QString &name, const QString &type,
                                                                         const XMPPJID::Ptr &to);

    std::shared_ptr<platform::NSXMLElement> m_element;
};
