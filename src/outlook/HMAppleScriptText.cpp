#include "outlook/HMAppleScriptText.h"

QString escapedString(const QString &text)
{
    QString escaped = text;
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    escaped.replace(QStringLiteral("\""), QStringLiteral("\\\""));
    while (escaped.contains(QStringLiteral("\\\\\"")))
        escaped.replace(QStringLiteral("\\\\\""), QStringLiteral("\\\""));
    while (escaped.contains(QStringLiteral("\\\n")))
        escaped.replace(QStringLiteral("\\\n"), QStringLiteral("\n"));
    return escaped;
}
