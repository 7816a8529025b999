#include "platform/appkit/Sheet.h"

#include <QEvent>
#include <QFrame>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace platform {

namespace {

constexpr char kFollowerName[] = "platform_sheet_follower";

// Lives as a child of the sheet and watches both windows: it places the sheet whenever the parent
// moves or changes size, and whenever the sheet's own size changes (its texts wrap anew). Lying over
// the whole sheet, it draws the sheet's edge, which has no frame of its own, and lets every click
// through.
class SheetFollower final : public QFrame
{
public:
    SheetFollower(QWidget &sheet, QWidget &parentWindow) : QFrame(&sheet), m_sheet(&sheet), m_parent(&parentWindow)
    {
        setObjectName(QLatin1String(kFollowerName));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setForegroundRole(QPalette::Dark);
        setGeometry(sheet.rect());
        show();
        parentWindow.installEventFilter(this);
        sheet.installEventFilter(this);
    }
    ~SheetFollower() override
    {
        if (m_parent)
            m_parent->removeEventFilter(this);
        if (m_sheet)
            m_sheet->removeEventFilter(this);
    }

    const QWidget *parentWindow() const { return m_parent; }

    void place()
    {
        if (!m_sheet || !m_parent)
            return;
        const QRect contents = m_parent->geometry();
        const QPoint target(contents.x() + (contents.width() - m_sheet->width()) / 2, contents.y());
        if (m_sheet->geometry().topLeft() != target)
            m_sheet->move(target);
    }

    // Sizes the sheet to its contents: as wide as they ask (or as it was made) but not wider than its
    // window where they can be narrower, and as tall as its wrapped texts need at that width.
    void fitSheet()
    {
        if (!m_sheet || !m_parent)
            return;
        const QSize least = m_sheet->minimumSizeHint();
        const int asked = std::max(m_sheet->sizeHint().width(), m_sheet->width());
        const int width = std::max(least.width(), std::min(asked, m_parent->width()));
        const int height = m_sheet->hasHeightForWidth() ? m_sheet->heightForWidth(width)
                                                         : std::max(m_sheet->sizeHint().height(), m_sheet->height());
        m_sheet->resize(width, std::max(height, least.height()));
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        const bool isPlacing = type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show;
        // The sheet's own moves count too: a window manager may place a window anew as it maps it.
        if (isPlacing && (watched == m_parent || watched == m_sheet))
            place();
        // A text that wraps anew changes the height the sheet needs for its width; a window does not
        // follow that by itself.
        if (watched == m_sheet && type == QEvent::LayoutRequest && m_sheet->isVisible())
            QMetaObject::invokeMethod(this, [this] { fitSheet(); }, Qt::QueuedConnection);
        if (watched == m_sheet && (type == QEvent::Resize || type == QEvent::Show || type == QEvent::ChildAdded)) {
            setGeometry(m_sheet->rect());
            raise();
        }
        return false;
    }

private:
    QPointer<QWidget> m_sheet;
    QPointer<QWidget> m_parent;
};

SheetFollower *followerOf(const QWidget &sheet)
{
    return sheet.findChild<SheetFollower *>(QLatin1String(kFollowerName), Qt::FindDirectChildrenOnly);
}

} // namespace

void attachSheet(QWidget &sheet, QWidget &parentWindow)
{
    detachSheet(sheet);
    const bool wasVisible = sheet.isVisible();
    // Changing the flags of a shown window hides it; a sheet being attached is not on screen yet.
    sheet.setWindowFlags((sheet.windowFlags() & ~Qt::WindowType_Mask) | Qt::Dialog | Qt::FramelessWindowHint);
    sheet.setWindowModality(Qt::WindowModal);
    parentWindow.winId();
    sheet.winId();
    // The transient link alone makes the parent the window the sheet blocks; it owns nothing.
    sheet.windowHandle()->setTransientParent(parentWindow.windowHandle());
    auto *const follower = new SheetFollower(sheet, parentWindow);
    follower->fitSheet();
    follower->place();
    if (wasVisible)
        sheet.show();
}

void detachSheet(QWidget &sheet)
{
    delete followerOf(sheet);
    if (sheet.windowModality() == Qt::WindowModal)
        sheet.setWindowModality(Qt::NonModal);
    if (sheet.windowHandle() != nullptr)
        sheet.windowHandle()->setTransientParent(nullptr);
}

bool isSheetOf(const QWidget &sheet, const QWidget &parentWindow)
{
    const SheetFollower *const follower = followerOf(sheet);
    return follower != nullptr && follower->parentWindow() == &parentWindow;
}

} // namespace platform
