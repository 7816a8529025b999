#include "platform/appkit/View.h"

#include <QStackedWidget>
#include <QVariant>
#include <QWidget>

namespace platform {

qint64 tag(const QWidget &view)
{
    bool isNumber = false;
    const qint64 value = view.property(kViewTagProperty).toLongLong(&isNumber);
    return isNumber ? value : 0;
}

void setTag(QWidget &view, qint64 tag)
{
    view.setProperty(kViewTagProperty, tag);
}

namespace {

QWidget *findTagged(QWidget *view, qint64 tag, bool onScreenOnly)
{
    if (view == nullptr)
        return nullptr;
    if (platform::tag(*view) == tag)
        return view;
    auto *const stack = onScreenOnly ? qobject_cast<QStackedWidget *>(view) : nullptr;
    for (QObject *child : view->children()) {
        auto *childView = qobject_cast<QWidget *>(child);
        // A child window is a window of its own, not part of this view's hierarchy.
        if (childView == nullptr || childView->isWindow())
            continue;
        if (stack != nullptr && childView != stack->currentWidget())
            continue;
        if (QWidget *found = findTagged(childView, tag, onScreenOnly))
            return found;
    }
    return nullptr;
}

} // namespace

QWidget *viewWithTag(QWidget *view, qint64 tag)
{
    return findTagged(view, tag, false);
}

QWidget *viewWithTagOnScreen(QWidget *view, qint64 tag)
{
    return findTagged(view, tag, true);
}

} // namespace platform
