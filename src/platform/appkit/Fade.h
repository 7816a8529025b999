#pragma once

#include <functional>

class QObject;
class QWidget;

namespace platform {

// A view's alpha (1 opaque, 0 invisible), as an opacity effect on the widget.
double alphaValue(const QWidget &view);
void setAlphaValue(QWidget &view, double alpha);

// Animates the view's alpha to the end value over the duration. The end value is set at once (the
// animation's frames are not drawn); the completion runs on the main queue when the duration is over,
// on a dispatch timer, so a test's virtual clock moves it. It does not run when the view went first.
void animateAlpha(QWidget &view, double alpha, double seconds, std::function<void()> completion = {});

// Runs the block on the main queue after the delay, on a dispatch timer (the virtual clock of tests
// moves it); nothing runs when the guarded object went first.
void performAfterDelay(const QObject &guard, double seconds, std::function<void()> block);

} // namespace platform
