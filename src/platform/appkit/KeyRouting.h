#pragma once

#include <functional>

class QWidget;

namespace platform {

// Routes Escape and the window manager's close request of a window to one of its own actions (its
// Cancel button, or OK where it has none), so that the window always ends through its end handler.
// The routing lives as long as the window. Main thread only.
void routeEscapeAndClose(QWidget &window, std::function<void()> action);

} // namespace platform
