#include "push/XMPP/Core/XMPPPresence.h"

#include "platform/foundation/Values.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

namespace {

QString childText(const platform::NSXMLElement &element, const QString &name)
{
    const auto child = elementForName(element, name);
    return child ? child->stringValue() : QString();
}

} // namespace

XMPPPresence XMPPPresence::presenceFromElement(const std::shared_ptr<platform::NSXMLElement> &element)
{
    return XMPPPresence(element);
}

QString XMPPPresence::type() const
{
    const QString type = attributeStringValueForName(*m_element, QStringLiteral("type"));
    return type.isNull() ? QStringLiteral("available") : type.toLower();
}

QString XMPPPresence::show() const
{
    return childText(*m_element, QStringLiteral("show"));
}

QString XMPPPresence::status() const
{
    return childText(*m_element, QStringLiteral("status"));
}

int XMPPPresence::priority() const
{
    return platform::intValueOfText(childText(*m_element, QStringLiteral("priority")));
}

int XMPPPresence::intShow() const
{
    const QString value = show();
    if (value == QLatin1String("dnd"))
        return 0;
    if (value == QLatin1String("xa"))
        return 1;
    if (value == QLatin1String("away"))
        return 2;
    if (value == QLatin1String("chat"))
        return 4;
    return 3;
}
