#pragma once

#include <QPushButton>
#include <QString>
#include <QUrl>

// A borderless button that shows its title as a link (blue, underlined) and opens its address in the
// default browser when clicked. Every title set on it is shown as a link. Without an address a click
// does nothing. Main thread only, like every widget.
class HMHyperLinkButton final : public QPushButton
{
    Q_OBJECT

public:
    explicit HMHyperLinkButton(QWidget *parent = nullptr);

    const QString &hyperlinkTitle() const { return m_hyperlinkTitle; }
    void setHyperlinkTitle(const QString &title);
    // The same as setHyperlinkTitle.
    void setTitle(const QString &title) { setHyperlinkTitle(title); }
    const QUrl &hyperlinkUrl() const { return m_hyperlinkUrl; }
    void setHyperlinkUrl(const QUrl &url);

    void openURL();

private:
    QString m_hyperlinkTitle;
    QUrl m_hyperlinkUrl;
    QMetaObject::Connection m_clickConnection;
};
