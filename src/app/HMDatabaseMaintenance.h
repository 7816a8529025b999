#pragma once

#include "outlook/HMOutlookSQLiteHelper.h"

#include <QString>

// The Outlook database maintenance of the support key command: compacting Outlook's SQLite database
// ("VACUUM"). The command asks this interface, so the SQLite side can be put behind it without the
// application delegate knowing how the database is found and opened. Main thread only.
class HMDatabaseMaintenance
{
public:
    virtual ~HMDatabaseMaintenance() = default;

    // Chooses the database to work on; answers whether there is one.
    virtual bool setSqliteFile() = 0;
    // Compacts the database; true only when the compaction ran to its end.
    virtual bool vacuumDatabase() = 0;
};

// The maintenance while no Outlook database has been located on this computer: there is nothing to
// compact, so every request fails (and says why in the log) rather than claiming a success.
class HMUnlocatedOutlookDatabase final : public HMDatabaseMaintenance
{
public:
    bool setSqliteFile() override;
    bool vacuumDatabase() override;
};

// The maintenance on Outlook's own database, found under the home folder's Group Containers.
class HMOutlookDatabase final : public HMDatabaseMaintenance
{
public:
    bool setSqliteFile() override { return m_helper.setSqliteFile(); }
    bool vacuumDatabase() override { return m_helper.vacuumDatabase(); }

private:
    HMOutlookSQLiteHelper m_helper;
};
