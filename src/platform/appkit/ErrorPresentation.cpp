#include "platform/appkit/ErrorPresentation.h"

#include "platform/appkit/Alert.h"
#include "platform/dispatch/DispatchQueue.h"

#include <QWidget>

#include <memory>

namespace platform {

void presentError(QWidget *window, const QString &domain, int code, const QString &description,
                  std::function<void()> completion)
{
    auto alert = std::make_shared<Alert>();
    alert->setMessageText(!description.isEmpty()
                              ? description
                              : QStringLiteral("The operation couldn’t be completed. (%1 error %2.)").arg(domain).arg(code));
    alert->setAlertStyle(domain.isEmpty() ? AlertStyle::Informational : AlertStyle::Warning);
    alert->addButtonWithTitle(QStringLiteral("OK"));
    // The alert lives until its handler has run; it goes afterwards, from the main queue.
    auto keep = std::make_shared<std::shared_ptr<Alert>>(alert);
    const auto finish = [keep, completion = std::move(completion)](int) {
        DispatchQueue::main()->async([held = std::move(*keep)] {});
        if (completion)
            completion();
    };
    if (window == nullptr) {
        finish(alert->runModal());
        return;
    }
    alert->beginSheetModalForWindow(window, finish);
}

} // namespace platform
