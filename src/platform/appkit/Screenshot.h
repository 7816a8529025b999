#pragma once

#include "platform/foundation/Result.h"

#include <QString>

class QWidget;

namespace platform {

// Renders the widget (shown or not) and writes it as "<name>.png" into the folder, which is made when
// missing; answers the file's path. Main thread only.
Result<QString> saveScreenshot(QWidget &widget, const QString &folder, const QString &name);

} // namespace platform
