#include "ui/accounts/HMGoogleSignInSheet.h"

#include "platform/appkit/Fade.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr char kSheetControlProperty[] = "hm.disabledBySignIn";

QLabel *makeLabel(QWidget *parent, int pointSize, bool wraps = false)
{
    auto *label = new QLabel(parent);
    QFont font = label->font();
    font.setPointSize(pointSize);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(wraps);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

} // namespace

HMGoogleSignInSheet::~HMGoogleSignInSheet()
{
    m_signIn.cancel();
}

bool HMGoogleSignInSheet::isBrowserPanelShown() const
{
    return m_panel && !m_panel->isHidden();
}

void HMGoogleSignInSheet::buildPanel()
{
    if (m_panel)
        return;
    m_panel = new QWidget(window());
    m_panel->setObjectName(QStringLiteral("loadingConnectorView"));
    m_panel->setAutoFillBackground(true);
    QPalette palette = m_panel->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, QColor(64, 64, 64));
    m_panel->setPalette(palette);
    auto *layout = new QVBoxLayout(m_panel);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addStretch(1);
    m_titleField = makeLabel(m_panel, 16);
    m_titleField->setText(QStringLiteral("Contacting Google"));
    m_spinner = new QProgressBar(m_panel);
    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setMaximumWidth(160);
    m_hintField = makeLabel(m_panel, 11);
    m_hintField->setText(QStringLiteral("Continue in your web browser."));
    m_addressField = new QLineEdit(m_panel);
    m_addressField->setObjectName(QStringLiteral("signInAddressField"));
    m_addressField->setReadOnly(true);
    m_statusField = makeLabel(m_panel, 16, true);
    m_statusField->setObjectName(QStringLiteral("statusField"));
    m_closeButton = new QPushButton(QStringLiteral("Close"), m_panel);
    m_closeButton->setObjectName(QStringLiteral("closeWebViewButton"));
    connect(m_closeButton, &QPushButton::clicked, this, &HMGoogleSignInSheet::closeWebView);
    layout->addWidget(m_titleField);
    layout->addWidget(m_spinner, 0, Qt::AlignHCenter);
    layout->addWidget(m_hintField);
    layout->addWidget(m_addressField);
    layout->addWidget(m_statusField);
    layout->addStretch(1);
    layout->addWidget(m_closeButton, 0, Qt::AlignRight);
    m_panel->hide();
    connect(&m_signIn, &GoogleBrowserSignIn::authorizationReceived, this, [this] {
        m_titleField->hide();
        m_hintField->hide();
        m_addressField->hide();
        m_closeButton->hide();
        setStatusText(receivingText());
    });
    connect(&m_signIn, &GoogleBrowserSignIn::accessDenied, this, &HMGoogleSignInSheet::closeWebView);
    connect(&m_signIn, &GoogleBrowserSignIn::finished, this, &HMGoogleSignInSheet::signInFinished);
}

// A second call while the panel shows changes nothing: one run at a time.
void HMGoogleSignInSheet::openBrowserWindow()
{
    if (!mayOpenBrowser() || (isBrowserPanelShown() && !m_isClosing))
        return;
    buildPanel();
    m_accessToken.clear();
    m_refreshToken.clear();
    m_runSucceeded = false;
    m_isClosing = false;
    platform::setAlphaValue(*m_panel, 1.0);
    m_panel->setGeometry(window()->rect());
    setSheetControlsEnabled(false);
    m_panel->show();
    m_panel->raise();
    if (!m_signIn.start()) {
        showSignInFailure(QStringLiteral("Harrowmere could not listen for the browser's answer."));
        return;
    }
    showWaiting();
}

void HMGoogleSignInSheet::showWaiting()
{
    m_titleField->show();
    m_spinner->show();
    m_hintField->show();
    m_statusField->hide();
    m_closeButton->show();
    m_addressField->setText(m_signIn.authorizationUrl().toString(QUrl::FullyEncoded));
    m_addressField->setCursorPosition(0);
    m_addressField->setVisible(!m_signIn.browserOpened());
    if (!m_signIn.browserOpened())
        m_hintField->setText(QStringLiteral("No web browser opened.\nOpen this address in your web browser:"));
    else
        m_hintField->setText(QStringLiteral("Continue in your web browser."));
    m_panel->layout()->activate();
    m_closeButton->setFocus();
}

void HMGoogleSignInSheet::setStatusText(const QString &text, const QColor &colour)
{
    QPalette palette = m_statusField->palette();
    palette.setColor(QPalette::WindowText, colour);
    m_statusField->setPalette(palette);
    m_statusField->setText(text);
    m_statusField->show();
    m_panel->layout()->activate();
}

void HMGoogleSignInSheet::setSpinnerShown(bool shown)
{
    m_spinner->setVisible(shown);
}

void HMGoogleSignInSheet::showSignInFailure(const QString &cause)
{
    m_titleField->hide();
    m_spinner->hide();
    m_hintField->hide();
    m_addressField->hide();
    setStatusText(QStringLiteral("Unable to sign in to Google.\n%1").arg(cause), QColor(204, 0, 0));
    m_closeButton->show();
    m_panel->layout()->activate();
    m_closeButton->setFocus();
}

void HMGoogleSignInSheet::signInFinished(bool succeeded, const QString &cause, const GoogleBrowserSignIn::Tokens &tokens)
{
    if (!succeeded) {
        showSignInFailure(cause);
        return;
    }
    m_accessToken = tokens.accessToken;
    m_refreshToken = tokens.refreshToken;
    m_runSucceeded = true;
    setStatusText(QStringLiteral("Success"));
    handOverTokens();
}

void HMGoogleSignInSheet::closeWebView()
{
    if (!isBrowserPanelShown() || m_isClosing)
        return;
    m_isClosing = true;
    m_signIn.cancel();
    browserWindowWillClose();
    if (m_runSucceeded && closesWithSuccessText())
        setStatusText(QStringLiteral("Success!"));
    platform::animateAlpha(*m_panel, 0.0, kCloseAnimationSeconds, [this] { finishClosing(); });
}

void HMGoogleSignInSheet::finishClosing()
{
    if (!m_isClosing)
        return;
    m_isClosing = false;
    m_panel->hide();
    platform::setAlphaValue(*m_panel, 1.0);
    setSheetControlsEnabled(true);
}

// While the panel shows, the sheet's controls beneath take neither clicks nor keys; those the
// sheet had disabled itself stay so afterwards.
void HMGoogleSignInSheet::setSheetControlsEnabled(bool enabled)
{
    for (QWidget *child : window()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child == m_panel)
            continue;
        if (!enabled && child->isEnabled()) {
            child->setProperty(kSheetControlProperty, true);
            child->setEnabled(false);
        } else if (enabled && child->property(kSheetControlProperty).toBool()) {
            child->setProperty(kSheetControlProperty, QVariant());
            child->setEnabled(true);
        }
    }
}
