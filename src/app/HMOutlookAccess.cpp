#include "app/HMOutlookAccess.h"

QString HMNoOutlookInstalled::detectOutlookVersionNumber()
{
    return {};
}

std::optional<QStringList> HMNoOutlookInstalled::runScript(const QString &)
{
    return std::nullopt;
}
