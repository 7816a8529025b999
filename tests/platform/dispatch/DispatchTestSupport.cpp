#include "DispatchTestSupport.h"

namespace dispatchtest {

testing::AssertionResult ranInDeadlineOrder(const std::vector<int> &delaysMs, platform::DispatchDuration drift)
{
    for (size_t index = 1; index < delaysMs.size(); ++index) {
        if (std::chrono::milliseconds(delaysMs[index - 1] - delaysMs[index]) > drift) {
            return testing::AssertionFailure()
                   << "the block delayed " << delaysMs[index - 1] << " ms ran before the one delayed "
                   << delaysMs[index] << " ms, though handing them over took only "
                   << std::chrono::duration_cast<std::chrono::microseconds>(drift).count() << " us";
        }
    }
    return testing::AssertionSuccess();
}

} // namespace dispatchtest
