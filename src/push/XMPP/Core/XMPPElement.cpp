#include "push/XMPP/Core/XMPPElement.h"

#include "platform/foundation/KeyedUnarchiver.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

XMPPElement::XMPPElement() : m_element(platform::NSXMLElement::elementWithName(QString())) {}

XMPPElement::XMPPElement(std::shared_ptr<platform::NSXMLElement> element) : m_element(std::move(element))
{
    if (!m_element)
        m_element = platform::NSXMLElement::elementWithName(QString());
}

QString XMPPElement::elementID() const
{
    return attributeStringValueForName(*m_element, QStringLiteral("id"));
}

QString XMPPElement::toStr() const
{
    return attributeStringValueForName(*m_element, QStringLiteral("to"));
}

QString XMPPElement::fromStr() const
{
    return attributeStringValueForName(*m_element, QStringLiteral("from"));
}

XMPPJID::Ptr XMPPElement::to() const
{
    return XMPPJID::jidWithString(toStr());
}

XMPPJID::Ptr XMPPElement::from() const
{
    return XMPPJID::jidWithString(fromStr());
}

void XMPPElement::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    coder.encodeObject(compactXMLString(*m_element), QStringLiteral("xmlString"));
}

void XMPPElement::initWithCoder(platform::KeyedUnarchiver &coder)
{
    const QVariant text = coder.decodeObject(QStringLiteral("xmlString"));
    if (text.typeId() != QMetaType::QString) {
        coder.failWithError(platform::Error(platform::ErrorCode::DataMissing,
                                            QStringLiteral("%1: no XML text under \"xmlString\"").arg(archiveClassName())));
        return;
    }
    auto parsed = platform::NSXMLElement::elementWithXMLString(text.toString());
    if (!parsed) {
        coder.failWithError(parsed.error().withContext(archiveClassName()));
        return;
    }
    m_element = std::move(parsed.value());
}

std::shared_ptr<platform::NSXMLElement> XMPPElement::elementWithNameTypeTo(const QString &name, const QString &type,
                                                                           const XMPPJID::Ptr &to)
{
    auto element = platform::NSXMLElement::elementWithName(name);
    if (!type.isNull())
        addAttributeWithName(*element, QStringLiteral("type"), type);
    if (to)
        addAttributeWithName(*element, QStringLiteral("to"), to->full());
    return element;
}
