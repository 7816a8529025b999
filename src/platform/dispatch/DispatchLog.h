#pragma once

#include <QString>

namespace platform {

// Writes one line "dispatch: <message>" to standard error. Safe from any thread; used where the
// dispatch layer meets a fault it cannot hand back to a caller (a block that threw, a misuse).
void logDispatchProblem(const QString &message);

} // namespace platform
