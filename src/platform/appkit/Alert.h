#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QAbstractButton;
class QMessageBox;
class QWidget;

namespace platform {

// What an alert's buttons answer, in the order they were added.
inline constexpr int NSAlertFirstButtonReturn = 1000;
inline constexpr int NSAlertSecondButtonReturn = 1001;
inline constexpr int NSAlertThirdButtonReturn = 1002;

enum class AlertStyle { Warning, Informational, Critical };

// A small modal message with buttons, over a message box. The first button added answers 1000, the
// next 1001, and so on; an alert without buttons gets one "OK". It runs application-modal
// (runModal, which returns the answer) or as a sheet on a window (the handler receives the answer).
// While a ScriptedAlertResponder is installed the alert is not shown: the script answers. Main thread
// only. Keep a sheet's alert alive until its handler has run.
class Alert final
{
public:
    using CompletionHandler = std::function<void(int returnCode)>;

    Alert();
    ~Alert();
    Alert(const Alert &) = delete;
    Alert &operator=(const Alert &) = delete;

    const QString &messageText() const { return m_messageText; }
    void setMessageText(const QString &messageText);
    const QString &informativeText() const { return m_informativeText; }
    void setInformativeText(const QString &informativeText);
    AlertStyle alertStyle() const { return m_alertStyle; }
    void setAlertStyle(AlertStyle style);

    // Adds a button and answers it, so that code may click it to end the alert.
    QAbstractButton *addButtonWithTitle(const QString &title);
    // The button that Enter and Escape answer, for an alert whose first button destroys data: the
    // buttons keep their order and their codes, only the keyboard's answer moves to the harmless one.
    void setHarmlessButton(QAbstractButton *button);
    QList<QAbstractButton *> buttons() const;
    QStringList buttonTitles() const;

    // Shows the alert and waits, in a modal event loop, for a button; answers its code.
    int runModal();
    // Shows the alert as a sheet on the window and returns at once; the handler gets the answer.
    void beginSheetModalForWindow(QWidget *window, CompletionHandler completionHandler);

    // The message box, for tests and screenshots.
    QMessageBox &messageBox() { return *m_box; }

private:
    void prepareToShow();
    int returnCodeOf(const QAbstractButton *button) const;

    QString m_messageText;
    QString m_informativeText;
    AlertStyle m_alertStyle = AlertStyle::Warning;
    std::unique_ptr<QMessageBox> m_box;
    QList<QAbstractButton *> m_buttons;
};

} // namespace platform
