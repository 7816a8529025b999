#include "platform/appkit/View.h"

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

QWidget *viewWithTag(QWidget *view, qint64 tag)
{
    if (view == nullptr)
        return nullptr;
    if (platform::tag(*view) == tag)
        return view;
    for (QObject *child : view->children()) {
        auto *childView = qobject_cast<QWidget *>(child);
        // A child window is a window of its own, not part of this view's hierarchy.
        if (childView == nullptr || childView->isWindow())
            continue;
        if (QWidget *found = viewWithTag(childView, tag))
            return found;
    }
    return nullptr;
}

} // namespace platform
