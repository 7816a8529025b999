#pragma once

#include <QString>

#include <memory>

class HMProfile;

namespace hmsync {

// The desktop's contacts in Outlook (the simulated Outlook of tools/peers/outlook, found through
// $XDG_RUNTIME_DIR and $HOME as the real one would be). Makes the profile's contact manager Outlook
// of that version ("14" or "15") when it is not, registers the contacts and memo data sources (memos
// live in Outlook only), and sets what the main window sets before an Outlook sync: the current profile
// controller, the Outlook version, the application reference and the sync-method user default.
// Answers whether the profile changed (and must be saved).
bool useOutlookContacts(const std::shared_ptr<HMProfile> &profile, const QString &version);

// The desktop's events and tasks in Outlook as well: registers the calendar and task data sources.
void useOutlookEvents();

// The contacts Outlook holds in the profile's folder choice; -1 when Outlook cannot be asked.
qsizetype outlookContactCount(const std::shared_ptr<HMProfile> &profile);

} // namespace hmsync
