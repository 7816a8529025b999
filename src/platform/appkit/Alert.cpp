#include "platform/appkit/Alert.h"

#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/appkit/Sheet.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QWindow>

namespace platform {

namespace {

QMessageBox::Icon iconOf(AlertStyle style)
{
    switch (style) {
    case AlertStyle::Warning:
        return QMessageBox::Warning;
    case AlertStyle::Informational:
        return QMessageBox::Information;
    case AlertStyle::Critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

} // namespace

Alert::Alert() : m_box(std::make_unique<QMessageBox>())
{
    m_box->setIcon(iconOf(m_alertStyle));
}

Alert::~Alert() = default;

void Alert::setMessageText(const QString &messageText)
{
    m_messageText = messageText;
    m_box->setText(messageText);
}

void Alert::setInformativeText(const QString &informativeText)
{
    m_informativeText = informativeText;
    m_box->setInformativeText(informativeText);
}

void Alert::setAlertStyle(AlertStyle style)
{
    m_alertStyle = style;
    m_box->setIcon(iconOf(style));
}

QAbstractButton *Alert::addButtonWithTitle(const QString &title)
{
    // One role for every button keeps them in the order they were added.
    QPushButton *const button = m_box->addButton(title, QMessageBox::ActionRole);
    if (m_buttons.isEmpty())
        m_box->setDefaultButton(button);
    if (title == QLatin1String("Cancel"))
        m_box->setEscapeButton(button);
    m_buttons.append(button);
    return button;
}

void Alert::setHarmlessButton(QAbstractButton *button)
{
    auto *const pushButton = qobject_cast<QPushButton *>(button);
    if (pushButton == nullptr || !m_buttons.contains(button))
        return;
    m_box->setDefaultButton(pushButton);
    m_box->setEscapeButton(pushButton);
    // Enter answers the button that has the focus; the harmless one takes it as the alert opens.
    pushButton->setFocus();
}

QList<QAbstractButton *> Alert::buttons() const
{
    return m_buttons;
}

QStringList Alert::buttonTitles() const
{
    QStringList titles;
    for (const QAbstractButton *button : m_buttons)
        titles.append(button->text());
    return titles;
}

void Alert::prepareToShow()
{
    if (m_buttons.isEmpty())
        addButtonWithTitle(QStringLiteral("OK"));
    if (m_box->escapeButton() == nullptr && m_buttons.size() == 1)
        m_box->setEscapeButton(m_buttons.front());
}

int Alert::returnCodeOf(const QAbstractButton *button) const
{
    for (qsizetype index = 0; index < m_buttons.size(); ++index) {
        if (m_buttons.at(index) == button)
            return NSAlertFirstButtonReturn + int(index);
    }
    // A box closed without a button (only possible when other code hid it) is a cancel.
    return 0;
}

int Alert::runModal()
{
    if (ScriptedAlertResponder *const responder = ScriptedAlertResponder::current())
        return responder->answer(*this);
    prepareToShow();
    m_box->setWindowModality(Qt::ApplicationModal);
    m_box->exec();
    return returnCodeOf(m_box->clickedButton());
}

void Alert::beginSheetModalForWindow(QWidget *window, CompletionHandler completionHandler)
{
    if (ScriptedAlertResponder *const responder = ScriptedAlertResponder::current()) {
        const int returnCode = responder->answer(*this);
        // As after a click: the handler runs from the event loop, not inside this call.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [completionHandler = std::move(completionHandler), returnCode] {
                if (completionHandler)
                    completionHandler(returnCode);
            },
            Qt::QueuedConnection);
        return;
    }
    prepareToShow();
    QWidget *const parentWindow = window != nullptr ? window->window() : nullptr;
    if (parentWindow != nullptr)
        attachSheet(*m_box, *parentWindow);
    else
        m_box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(
        m_box.get(), &QMessageBox::finished, m_box.get(),
        [this, completionHandler = std::move(completionHandler)] {
            detachSheet(*m_box);
            const int returnCode = returnCodeOf(m_box->clickedButton());
            if (completionHandler)
                completionHandler(returnCode);
        },
        Qt::SingleShotConnection);
    m_box->show();
}

} // namespace platform
