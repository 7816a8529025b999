#pragma once

#include "platform/applescript/NSAppleEventDescriptor.h"

#include <QVariantMap>

class HMAppleScripterDelegate;

// The Outlook contact folders a user may choose from: folder name -> folder id, always holding
// "All Contact Folders" -> "allFolders" (a folder of that very name does not replace it).

// Reads the folder list the "getAddressBookFolders" handler answers: each item's 'ID  ' and 'pnam'
// as text; items lacking either are skipped. A missing or failed result gives the one entry.
QVariantMap contactFoldersDictionaryFromResult(const platform::NSAppleEventDescriptor &result);

// Runs "getAddressBookFolders" through a new scripter whose delegate is the given one, on the
// calling thread (it blocks until the script answers, at most the scripter's timeout).
QVariantMap outlookContactFoldersDictionary(HMAppleScripterDelegate *delegate);
