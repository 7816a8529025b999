#pragma once

#include <QString>

#include <chrono>
#include <memory>

class HMProfile;
class HMProfileManager;

namespace hmsync {

// Runs one Google-direct sync of the profile as the main window does, printing on standard output
// what the progress sheet and the notification centres would show: "stage <name>" as each stage
// starts, "notification <name>" (local) and "distributed <name>", "sheet step|overall: <text>",
// "sheet reauthorize", "sheet completed: Sync Complete" or "sheet completed: <error>", "alert: <text>".
// HM_SYNC_PROGRESS_LINES=0 leaves out the "sheet step|overall" lines.
// When cancelStage names a stage, the run is cancelled as it enters it (as the sheet's Cancel does).
// Answers the exit status: 0 when the run succeeded, 1 when it ended in error or did not end in time.
int runGoogleSync(const std::shared_ptr<HMProfileManager> &profileManager, const std::shared_ptr<HMProfile> &profile,
                  const QString &cancelStage, std::chrono::milliseconds timeLimit);

} // namespace hmsync
