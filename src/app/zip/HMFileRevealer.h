#pragma once

#include <QString>

// Shows a file to the user in the file manager, selected in its folder. The application implements
// it (over the desktop's file-manager interface); the support archive calls it when the archive is
// ready. Main thread only.
class HMFileRevealer
{
public:
    virtual ~HMFileRevealer() = default;

    virtual void revealFile(const QString &path) = 0;
};
