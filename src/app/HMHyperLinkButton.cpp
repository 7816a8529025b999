#include "app/HMHyperLinkButton.h"

#include "foundation/NSAttributedString+Hyperlink.h"
#include "platform/appkit/Workspace.h"

HMHyperLinkButton::HMHyperLinkButton(QWidget *parent) : QPushButton(parent)
{
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
}

void HMHyperLinkButton::setHyperlinkTitle(const QString &title)
{
    if (title == m_hyperlinkTitle)
        return;
    m_hyperlinkTitle = title;
    const AttributedString link = attributedStringFormattedAsHyperLinkWithString(title);
    QPushButton::setText(link.string);
    QString style = QStringLiteral("QPushButton { border: none; padding: 0px;");
    if (link.foregroundColor)
        style += QStringLiteral(" color: #%1;").arg(*link.foregroundColor, 6, 16, QLatin1Char('0'));
    if (link.underline == AttributedString::Underline::Single)
        style += QStringLiteral(" text-decoration: underline;");
    setStyleSheet(style + QStringLiteral(" }"));
    adjustSize();
}

void HMHyperLinkButton::setHyperlinkUrl(const QUrl &url)
{
    if (url == m_hyperlinkUrl)
        return;
    m_hyperlinkUrl = url;
    disconnect(m_clickConnection);
    if (!url.isEmpty())
        m_clickConnection = connect(this, &QPushButton::clicked, this, &HMHyperLinkButton::openURL);
}

void HMHyperLinkButton::openURL()
{
    if (!m_hyperlinkUrl.isEmpty())
        platform::Workspace::sharedWorkspace().openURL(m_hyperlinkUrl);
}
