#include "push/XMPP/Core/XMPPMessage.h"

#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

XMPPMessage XMPPMessage::messageFromElement(const std::shared_ptr<platform::NSXMLElement> &element)
{
    return XMPPMessage(element);
}

bool XMPPMessage::isChatMessage() const
{
    return attributeStringValueForName(*m_element, QStringLiteral("type")) == QLatin1String("chat");
}

bool XMPPMessage::isMessageWithBody() const
{
    return elementForName(*m_element, QStringLiteral("body")) != nullptr;
}

bool XMPPMessage::isErrorMessage() const
{
    return attributeStringValueForName(*m_element, QStringLiteral("type")) == QLatin1String("error");
}

std::optional<platform::PlatformError> XMPPMessage::errorMessage() const
{
    if (!isErrorMessage())
        return std::nullopt;
    const auto error = elementForName(*m_element, QStringLiteral("error"));
    if (!error)
        return platform::PlatformError(QLatin1String(XMPPStanzaErrorDomain), 0);
    return platform::PlatformError::withDescription(QLatin1String(XMPPStanzaErrorDomain),
                                                    attributeIntValueForName(*error, QStringLiteral("code")),
                                                    compactXMLString(*error));
}
