#include "app/HMDatabaseMaintenance.h"

#include "foundation/Lumberjack/DDLog.h"

bool HMUnlocatedOutlookDatabase::setSqliteFile()
{
    DDLogWarn(QStringLiteral("No Outlook database is located on this computer"));
    return false;
}

bool HMUnlocatedOutlookDatabase::vacuumDatabase()
{
    DDLogError(QStringLiteral("Database maintenance failed: no Outlook database is located"));
    return false;
}
