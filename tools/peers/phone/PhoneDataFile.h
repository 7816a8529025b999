#pragma once

#include <QString>

namespace phonepeer {

class PhoneStore;

// The phone peer's data file is a snapshot of its store (PhoneStore::toJson) with a journal beside it
// ("<file>.journal", peerjournal::StateJournal) holding a line of PhoneStore::takeChanges for each
// answer that changed something since the snapshot. These read and write the pair for the peer and
// for programs that look at or edit the phone's records while the peer is stopped (or killed).

// Reads the snapshot into the store (an empty store when there is none) and replays the journal's
// whole lines onto it; false, with the problem, when either is malformed (a malformed snapshot leaves
// the store as it was, a malformed line leaves it holding part of the journal). The store's settings
// stay as they are.
bool loadPhoneData(const QString &dataFile, PhoneStore &store, QString &problem);
// Writes the store as the snapshot and empties the journal; false, with the problem, when it cannot.
bool writePhoneData(const QString &dataFile, const PhoneStore &store, QString &problem);

} // namespace phonepeer
