#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace platform {

// The application's error presentation: an alert, as a sheet on the window (application-modal
// without one), whose message is the error's description, or, without one, "The operation couldn’t
// be completed. (<domain> error <code>.)". Input errors (domain "Invalid Object") show the warning
// style, notices (empty domain) the informational one. Returns at once; the completion runs after
// the alert was answered. Main thread.
void presentError(QWidget *window, const QString &domain, int code, const QString &description,
                  std::function<void()> completion = {});

} // namespace platform
