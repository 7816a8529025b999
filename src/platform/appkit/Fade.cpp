#include "platform/appkit/Fade.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"

#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QWidget>

namespace platform {

double alphaValue(const QWidget &view)
{
    const auto *effect = qobject_cast<const QGraphicsOpacityEffect *>(view.graphicsEffect());
    return effect == nullptr ? 1.0 : effect->opacity();
}

void setAlphaValue(QWidget &view, double alpha)
{
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(view.graphicsEffect());
    if (alpha >= 1.0) {
        // An opaque view draws without the effect (which would render it through an offscreen pixmap).
        if (effect != nullptr)
            view.setGraphicsEffect(nullptr);
        return;
    }
    if (effect == nullptr) {
        effect = new QGraphicsOpacityEffect(&view);
        view.setGraphicsEffect(effect);
    }
    effect->setOpacity(alpha);
}

void performAfterDelay(const QObject &guard, double seconds, std::function<void()> block)
{
    const std::shared_ptr<DispatchTimer> timer = DispatchTimer::create(DispatchQueue::main());
    // The timer holds itself through its handler until it fires; the fire lets it go.
    auto self = std::make_shared<std::shared_ptr<DispatchTimer>>(timer);
    timer->setEventHandler([self, alive = QPointer<const QObject>(&guard), block = std::move(block)] {
        const std::shared_ptr<DispatchTimer> fired = std::move(*self);
        if (!fired)
            return;
        fired->cancel();
        if (alive && block)
            block();
    });
    timer->schedule(seconds, 0);
    timer->resume();
}

void animateAlpha(QWidget &view, double alpha, double seconds, std::function<void()> completion)
{
    setAlphaValue(view, alpha);
    performAfterDelay(view, seconds, std::move(completion));
}

} // namespace platform
