#pragma once

#include <QString>

// Shows a file to the user in the file manager, selected in its folder: the support archive calls it
// when the archive is ready. HMWorkspaceFileRevealer is the desktop's; tests record the calls instead.
// Main thread only.
class HMFileRevealer
{
public:
    virtual ~HMFileRevealer() = default;

    virtual void revealFile(const QString &path) = 0;
};
