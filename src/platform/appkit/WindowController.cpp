#include "platform/appkit/WindowController.h"

#include "platform/appkit/View.h"

#include <QWindow>

namespace platform {

WindowController::WindowController(QString windowNibName) : m_windowNibName(std::move(windowNibName)) {}

WindowController::~WindowController()
{
    // The handler may refer to the controller's owner, which is going away too: it is not called.
    m_sheetCompletionHandler = nullptr;
    if (m_window && m_window->windowHandle() != nullptr)
        m_window->windowHandle()->setTransientParent(nullptr);
}

QDialog *WindowController::window()
{
    if (!m_window)
        loadWindow();
    return m_window.get();
}

void WindowController::loadWindow()
{
    m_window = std::make_unique<QDialog>();
    m_window->setObjectName(m_windowNibName);
    loadInterface(*m_window);
    // Escape or the window's close button rejects the dialog; for a sheet that is its cancel.
    connect(m_window.get(), &QDialog::rejected, this, [this] {
        if (m_isSheetOpen)
            endSheet(NSModalResponseCancel);
    });
    windowDidLoad();
}

void WindowController::windowDidLoad() {}

void WindowController::showWindow()
{
    QDialog *const shown = window();
    shown->show();
    shown->raise();
    shown->activateWindow();
}

void WindowController::close()
{
    if (m_isSheetOpen) {
        endSheet(NSModalResponseCancel);
        return;
    }
    if (m_window)
        m_window->hide();
}

QWidget *WindowController::viewWithTag(qint64 tag)
{
    return platform::viewWithTag(window(), tag);
}

void WindowController::beginSheet(QWidget *parentWindow, SheetCompletionHandler completionHandler)
{
    if (m_isSheetOpen)
        endSheet(NSModalResponseCancel);
    QDialog *const sheet = window();
    m_isSheetOpen = true;
    m_sheetParent = parentWindow != nullptr ? parentWindow->window() : nullptr;
    m_sheetCompletionHandler = std::move(completionHandler);
    sheet->setWindowModality(m_sheetParent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    // The parent owns nothing here: the controller owns its window. The transient link alone makes the
    // parent the window the sheet blocks.
    if (m_sheetParent != nullptr) {
        m_sheetParent->winId();
        sheet->winId();
        sheet->windowHandle()->setTransientParent(m_sheetParent->windowHandle());
    }
    sheet->show();
    sheet->raise();
}

void WindowController::endSheet(int returnCode)
{
    if (!m_isSheetOpen)
        return;
    m_isSheetOpen = false;
    m_window->hide();
    m_window->setWindowModality(Qt::NonModal);
    if (m_window->windowHandle() != nullptr)
        m_window->windowHandle()->setTransientParent(nullptr);
    m_sheetParent = nullptr;
    const SheetCompletionHandler handler = std::move(m_sheetCompletionHandler);
    m_sheetCompletionHandler = nullptr;
    if (handler)
        handler(returnCode);
}

} // namespace platform
