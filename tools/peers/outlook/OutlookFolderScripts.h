#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the scripts of the settings' folder pickers: the Exchange accounts' ids ("id of every exchange
// account") and names ("name of exchange account id"), kind "accounts"; and the record counts of one
// folder ("count of the contacts in address book id", of calendar events, tasks and notes), kind
// "folder count".
void addFolderPickerForms(QList<ScriptForm> &forms);

// A folder as the folder listings answer it: its name ('pnam'), its id ('ID  ') and, for a folder of
// an Exchange account, the account ('cAct', an object specifier whose 'seld' is the account's id; no
// 'cAct' for a folder on this computer).
// The switch "exchangeAccounts" says which accounts exist and which folders they hold:
// [{"id": 7, "name": "Contoso", "folders": [12, 13]}].
Descriptor folderPropertiesWithAccount(const PeerFolder &folder, const ScriptContext &context);

} // namespace outlookpeer
