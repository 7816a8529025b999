#include "foundation/AttributedString.h"

namespace {

QString alignmentAttribute(AttributedString::Alignment alignment)
{
    switch (alignment) {
    case AttributedString::Alignment::Left:
        return QStringLiteral(" align=\"left\"");
    case AttributedString::Alignment::Center:
        return QStringLiteral(" align=\"center\"");
    case AttributedString::Alignment::Right:
        return QStringLiteral(" align=\"right\"");
    case AttributedString::Alignment::Natural:
        break;
    }
    return QString();
}

} // namespace

QString AttributedString::toHtml() const
{
    QString style;
    if (foregroundColor)
        style += QStringLiteral("color:#%1;").arg(*foregroundColor & 0xFFFFFFu, 6, 16, QLatin1Char('0'));
    style += underline == Underline::Single ? QStringLiteral("text-decoration:underline;")
                                            : QStringLiteral("text-decoration:none;");
    const QString escapedText = string.toHtmlEscaped();
    const QString run = link.isEmpty()
                            ? QStringLiteral("<span style=\"%1\">%2</span>").arg(style, escapedText)
                            : QStringLiteral("<a href=\"%1\" style=\"%2\">%3</a>").arg(link.toHtmlEscaped(), style, escapedText);
    return QStringLiteral("<p%1>%2</p>").arg(alignmentAttribute(alignment), run);
}
