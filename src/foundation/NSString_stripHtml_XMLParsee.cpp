#include "foundation/NSString_stripHtml_XMLParsee.h"

void NSString_stripHtml_XMLParsee::foundCharacters(const QString &characters)
{
    m_strings.append(characters);
}

QString NSString_stripHtml_XMLParsee::getCharsFound() const
{
    return m_strings.join(QString());
}
