#include "platform/appkit/WindowController.h"

#include "platform/appkit/Sheet.h"
#include "platform/appkit/View.h"
#include "platform/foundation/Bundle.h"

#include <QKeyEvent>
#include <QLabel>
#include <QWindow>

namespace platform {

namespace {

// The window of a controller. A document window is an ordinary top-level window: Escape, which a
// dialog takes as its cancel, passes it by.
class ControllerWindow final : public QDialog
{
public:
    explicit ControllerWindow(WindowKind kind) : m_kind(kind)
    {
        if (kind == WindowKind::Document)
            setWindowFlags(Qt::Window);
    }

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (m_kind == WindowKind::Document && event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            event->ignore();
            return;
        }
        QDialog::keyPressEvent(event);
    }

private:
    const WindowKind m_kind;
};

} // namespace

WindowController::WindowController(QString windowNibName, WindowKind kind)
    : m_windowNibName(std::move(windowNibName)), m_kind(kind)
{
}

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
    m_window = std::make_unique<ControllerWindow>(m_kind);
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

void WindowController::didEndSheet(int) {}

void WindowController::localizeLabels(std::initializer_list<LabelText> labels)
{
    for (const LabelText &label : labels) {
        if (auto *const view = qobject_cast<QLabel *>(viewWithTag(label.tag)))
            view->setText(Bundle::localizedString(QString::fromLatin1(label.key), QString()));
    }
}

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
    // The parent owns nothing here: the controller owns its window.
    if (m_sheetParent != nullptr)
        attachSheet(*sheet, *m_sheetParent);
    else
        sheet->setWindowModality(Qt::ApplicationModal);
    sheet->show();
    sheet->raise();
}

void WindowController::beginSheet(QWidget *parentWindow)
{
    const QPointer<WindowController> weakThis(this);
    beginSheet(parentWindow, [weakThis](int returnCode) {
        if (weakThis)
            weakThis->didEndSheet(returnCode);
    });
}

void WindowController::endSheet(int returnCode)
{
    if (!m_isSheetOpen)
        return;
    m_isSheetOpen = false;
    m_window->hide();
    detachSheet(*m_window);
    m_window->setWindowModality(Qt::NonModal);
    m_sheetParent = nullptr;
    const SheetCompletionHandler handler = std::move(m_sheetCompletionHandler);
    m_sheetCompletionHandler = nullptr;
    if (handler)
        handler(returnCode);
}

} // namespace platform
