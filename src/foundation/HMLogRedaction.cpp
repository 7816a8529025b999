#include "foundation/HMLogRedaction.h"

#include <QStringList>

namespace {

const QLatin1StringView kCredentialWords[] = {QLatin1StringView("pass"),  QLatin1StringView("user"),
                                              QLatin1StringView("token"), QLatin1StringView("secret"),
                                              QLatin1StringView("auth"),  QLatin1StringView("session")};

} // namespace

bool isCredentialFieldName(const QString &name)
{
    for (const QLatin1StringView word : kCredentialWords) {
        if (name.contains(word, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString formBodyForLog(const QString &body)
{
    QStringList pairs = body.split(u'&');
    for (QString &pair : pairs) {
        const qsizetype equals = pair.indexOf(u'=');
        // A part without a name is shown as nothing: it could be a credential sent bare.
        if (equals < 0) {
            pair = pair.isEmpty() ? pair : QStringLiteral("<hidden>");
            continue;
        }
        if (isCredentialFieldName(pair.left(equals)))
            pair = pair.left(equals + 1) + QStringLiteral("<hidden>");
    }
    return pairs.join(u'&');
}
