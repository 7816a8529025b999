#include "google/GoogleHosts.h"

namespace googlehosts {

namespace {

QString hostFrom(const char *variable, const char *fallback)
{
    QString host = qEnvironmentVariable(variable);
    if (host.isEmpty())
        host = QString::fromLatin1(fallback);
    if (!host.endsWith(QLatin1Char('/')))
        host += QLatin1Char('/');
    return host;
}

bool isTokenCharacter(QChar character)
{
    const char16_t code = character.unicode();
    return (code >= u'a' && code <= u'z') || (code >= u'A' && code <= u'Z') || (code >= u'0' && code <= u'9') ||
           code == u'-' || code == u'.' || code == u'_' || code == u'~' || code == u'+' || code == u'/';
}

} // namespace

QString apiHost()
{
    return hostFrom("HM_GOOGLE_API_HOST", kDefaultApiHost);
}

QString contactsHost()
{
    return hostFrom("HM_GOOGLE_CONTACTS_HOST", kDefaultContactsHost);
}

QString accountsHost()
{
    return hostFrom("HM_GOOGLE_ACCOUNTS_HOST", kDefaultAccountsHost);
}

bool isTokenText(const QString &token)
{
    qsizetype index = 0;
    while (index < token.size() && isTokenCharacter(token.at(index)))
        ++index;
    if (index == 0 || token.size() > 8192)
        return false;
    while (index < token.size() && token.at(index) == QLatin1Char('='))
        ++index;
    return index == token.size();
}

QByteArray bearerHeaderValue(const QString &accessToken)
{
    QString token = accessToken;
    token.replace(QLatin1Char('/'), QLatin1String("%2F"));
    return "Bearer " + token.toUtf8();
}

} // namespace googlehosts
