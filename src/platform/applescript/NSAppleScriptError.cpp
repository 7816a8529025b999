#include "platform/applescript/NSAppleScriptError.h"

namespace platform {

bool NSAppleScriptError::isApplicationGone() const
{
    using namespace AppleScriptErrorNumber;
    return number == ApplicationNotRunning || number == ConnectionInvalid || number == TimedOut
        || number == ApplicationNotFound;
}

} // namespace platform
