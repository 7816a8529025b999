#pragma once

class QWidget;

namespace platform {

// Shows a window as a sheet of a parent window: window-modal on it, without a frame of its own,
// hung from the top of the parent's contents (just below its title bar) and centred on it, and
// moving with it while it moves or changes size. The sheet keeps its own owner; the placement ends
// with detachSheet or when either window goes. Main thread only.
void attachSheet(QWidget &sheet, QWidget &parentWindow);
// Ends the placement and the modality; the window stays where it is, hidden or not.
void detachSheet(QWidget &sheet);
// Whether the window is attached as a sheet to the parent window.
bool isSheetOf(const QWidget &sheet, const QWidget &parentWindow);

} // namespace platform
