#pragma once

#include <QString>

#include <chrono>
#include <functional>

namespace testsupport {

// Pumps the Qt event loop (when a QCoreApplication exists) until the condition holds or the deadline
// passes; answers whether the condition held. A failing test names what it awaited.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Points HOME and the XDG data, config and state folders at a folder, so that what a test saves
// never reaches the real home.
void pointHomeAt(const QString &folder);

// The project's source folder (for sample files and peers) and build folder.
QString sourceDir();
QString binaryDir();

// Runs the function with the size of the files this process writes capped, as a full disk would
// cap them: a write that crosses the cap is cut short there and the next one fails (EFBIG, its
// signal ignored meanwhile).
void runWithFileSizeLimit(quint64 maximumBytes, const std::function<void()> &run);

} // namespace testsupport
