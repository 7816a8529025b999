#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the task scripts: "properties of task id" ("task properties"), "properties of every task" of the
// application or in a task folder ("task listing"), "make new task [in task folder id] with properties"
// ("create task"), "set the properties of task id" ("set task properties") and "move task id … to task
// folder id" ("move task", the id kept).
void addTaskForms(QList<ScriptForm> &forms);

// The kind of the task-writing script the text is, or an empty text: such a script that is refused is
// refused before it changes anything.
QString taskWriteKind(const QString &script);
bool isTaskWriteKind(const QString &kind);

// A task's iCalendar export: a VTODO with CR LF line ends (see the README).
QString taskICalendar(const PeerRecord &record);

} // namespace outlookpeer
