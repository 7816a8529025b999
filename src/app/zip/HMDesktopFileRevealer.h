#pragma once

#include "app/zip/HMFileRevealer.h"

// Reveals a file through the desktop's file manager: asks the file-manager service on the session
// bus to show the file selected (dbus-send, org.freedesktop.FileManager1.ShowItems), and opens the
// file's folder with xdg-open where no such service answers. The programs run detached, so the call
// returns at once. Main thread.
class HMDesktopFileRevealer final : public HMFileRevealer
{
public:
    void revealFile(const QString &path) override;
};
