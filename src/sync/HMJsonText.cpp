#include "sync/HMJsonText.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/restkit/RKParserRegistry.h"
#include "platform/restkit/RKRequestSerialization.h"

QString HMJsonTextFromDictionary(const QVariantMap &dictionary)
{
    const platform::RKParser *parser =
        platform::RKParserRegistry::sharedRegistry().parserForMIMEType(QString::fromLatin1(platform::RKMIMETypeJSON));
    if (parser == nullptr)
        return QString();
    platform::PlatformError error;
    const QString text = parser->stringFromObject(dictionary, &error);
    if (!error.isNull()) {
        DDLogError(QStringLiteral("Error parsing json: %1").arg(error.localizedDescription()));
        return QString();
    }
    return text;
}
