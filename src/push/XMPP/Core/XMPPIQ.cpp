#include "push/XMPP/Core/XMPPIQ.h"

#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

using platform::NSXMLElement;

namespace {

// The first child element whose name is, or is not, "error" in any case.
std::shared_ptr<NSXMLElement> firstChild(const NSXMLElement &element, bool wantsError)
{
    for (const auto &child : element.children()) {
        if (child->kind() != platform::NSXMLNodeKind::Element)
            continue;
        const bool isError = child->name().compare(QLatin1String("error"), Qt::CaseInsensitive) == 0;
        if (isError == wantsError)
            return std::static_pointer_cast<NSXMLElement>(child);
    }
    return nullptr;
}

} // namespace

XMPPIQ::XMPPIQ(const QString &type, const XMPPJID::Ptr &to, const QString &elementID,
               const std::shared_ptr<NSXMLElement> &child)
    : XMPPElement(elementWithNameTypeTo(QStringLiteral("iq"), type, to))
{
    if (!elementID.isNull())
        addAttributeWithName(*m_element, QStringLiteral("id"), elementID);
    if (child)
        m_element->addChild(child);
}

XMPPIQ XMPPIQ::iqFromElement(const std::shared_ptr<NSXMLElement> &element)
{
    return XMPPIQ(element);
}

QString XMPPIQ::type() const
{
    return attributeStringValueForName(*m_element, QStringLiteral("type")).toLower();
}

std::shared_ptr<NSXMLElement> XMPPIQ::childElement() const
{
    return firstChild(*m_element, false);
}

std::shared_ptr<NSXMLElement> XMPPIQ::childErrorElement() const
{
    return firstChild(*m_element, true);
}
