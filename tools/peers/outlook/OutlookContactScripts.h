#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the contact scripts: "properties of contact id" (kind "contact properties"), the picture read
// ("picture") and set ("set image", which changes the store).
void addContactForms(QList<ScriptForm> &forms);

// A contact's vCard export: lower-case property names with "charset=utf-8", vCard 3.0 escapes, LF line
// ends, the note followed by the birthday line.
QString contactVCard(const PeerRecord &record);
QString vCardEscaped(QString text);

} // namespace outlookpeer
