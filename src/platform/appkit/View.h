#pragma once

#include <QString>

class QWidget;

namespace platform {

// The name of the dynamic property that holds a view's tag; in an interface file a tag is a dynamic
// integer property of this name on the widget.
inline constexpr char kViewTagProperty[] = "tag";

// A view's tag: an integer a window controller uses to find a control without an outlet. A widget
// without one has tag 0. Main thread only, like every widget.
qint64 tag(const QWidget &view);
void setTag(QWidget &view, qint64 tag);

// The first widget with the tag among the view and its descendants, searched depth first in child
// order (the view itself first); null when none has it.
QWidget *viewWithTag(QWidget *view, qint64 tag);
// The same search over what is on screen: of a stack of pages (a tab view's pages) only the page shown
// is searched, so a tag may be used again on another tab.
QWidget *viewWithTagOnScreen(QWidget *view, qint64 tag);

} // namespace platform
