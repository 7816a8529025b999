#pragma once

#include "platform/appkit/WindowController.h"
#include "ui/accounts/GoogleBrowserSignIn.h"

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>

// The Google sign-in as both account sheets show it, under the names both share. openBrowserWindow
// starts a run in the user's browser and lays a panel over the sheet: "Contacting Google", a spinner,
// "Continue in your web browser." and "Close" (and the address to copy when no browser opened). When
// the browser comes back the panel reads the sheet's receiving text; the tokens of this run are
// handed to the sheet (handOverTokens); a refusal closes the panel, and a failure shows "Unable to
// sign in to Google." with its cause. closeWebView fades the panel out over 0.5 s, after which the
// sheet's own controls take clicks and keys again. Main thread.
class HMGoogleSignInSheet : public platform::WindowController
{
    Q_OBJECT

public:
    static constexpr double kCloseAnimationSeconds = 0.5;

    using platform::WindowController::WindowController;
    ~HMGoogleSignInSheet() override;

    void openBrowserWindow();
    void closeWebView();

    // Whether the panel is over the sheet (from openBrowserWindow until the fade-out ended).
    bool isBrowserPanelShown() const;
    GoogleBrowserSignIn &signIn() { return m_signIn; }
    QWidget *loadingConnectorView() const { return m_panel; }
    QLabel *statusField() const { return m_statusField; }
    QPushButton *closeWebViewButton() const { return m_closeButton; }
    QLineEdit *addressField() const { return m_addressField; }
    // What this run brought: empty until its exchange succeeded.
    const QString &accessToken() const { return m_accessToken; }
    const QString &refreshToken() const { return m_refreshToken; }

protected:
    // Whether openBrowserWindow may start (the connector sheet's shouldUseWebView).
    virtual bool mayOpenBrowser() const { return true; }
    // The panel's text while the code is exchanged.
    virtual QString receivingText() const = 0;
    // Both tokens of this run arrived (accessToken(), refreshToken()).
    virtual void handOverTokens() = 0;
    // Runs in closeWebView right after the run ended, before the fade.
    virtual void browserWindowWillClose() {}
    // Whether closeWebView shows "Success!" after a run that brought both tokens.
    virtual bool closesWithSuccessText() const { return true; }

    void setStatusText(const QString &text, const QColor &colour = QColor(64, 64, 64));
    // The panel's failure state: the cause under "Unable to sign in to Google." and "Close".
    void showSignInFailure(const QString &cause);
    // The panel's content area, for a sheet that adds controls (the connector's help button).
    QWidget *panelContent() const { return m_panel; }
    void setSpinnerShown(bool shown);

private:
    void buildPanel();
    void showWaiting();
    void setSheetControlsEnabled(bool enabled);
    void signInFinished(bool succeeded, const QString &cause, const GoogleBrowserSignIn::Tokens &tokens);
    void finishClosing();

    GoogleBrowserSignIn m_signIn;
    QPointer<QWidget> m_panel;
    QPointer<QLabel> m_titleField;
    QPointer<QLabel> m_hintField;
    QPointer<QLineEdit> m_addressField;
    QPointer<QLabel> m_statusField;
    QPointer<QProgressBar> m_spinner;
    QPointer<QPushButton> m_closeButton;
    QString m_accessToken;
    QString m_refreshToken;
    bool m_runSucceeded = false;
    bool m_isClosing = false;
};
