#include "app/HMWorkspaceFileRevealer.h"

#include "platform/appkit/Workspace.h"
#include "platform/foundation/ConsoleLog.h"

void HMWorkspaceFileRevealer::revealFile(const QString &path)
{
    if (!platform::Workspace::sharedWorkspace().selectFile(path, QString()))
        platform::consoleLog(QStringLiteral("%1: the file manager could not be asked to show it").arg(path));
}
