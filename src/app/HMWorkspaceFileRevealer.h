#pragma once

#include "app/zip/HMFileRevealer.h"

// Reveals a file through the workspace: the desktop's file manager shows it selected, or opens its
// folder where no file manager answers. Main thread only.
class HMWorkspaceFileRevealer final : public HMFileRevealer
{
public:
    void revealFile(const QString &path) override;
};
