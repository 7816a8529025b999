#include "foundation/HMTextValues.h"

QString unescapedTextValue(const QVariant &value)
{
    if (value.typeId() != QMetaType::QString)
        return QStringLiteral("");
    QString text = value.toString();
    if (text.endsWith(QStringLiteral("\\n")))
        text.chop(2);
    text.replace(QStringLiteral("\\;"), QStringLiteral(";"));
    text.replace(QStringLiteral("\\,"), QStringLiteral(","));
    text.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    return text;
}
