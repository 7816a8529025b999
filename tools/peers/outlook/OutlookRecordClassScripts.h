#pragma once

#include "OutlookScripts.h"

#include <functional>

namespace outlookpeer {

// A class of records that the same scripts read and write (notes, tasks): "properties of <name> id"
// ("<name> properties"), "properties of every <name>" of the application or in a folder ("<name>
// listing"), "make new <name> [in <folder kind> id F] with properties" ("create <name>"), "set the
// properties of <name> id" with a quoted or bare id ("set <name> properties") and "move <name> id … to
// <folder kind> id …" ("move <name>", the id kept).
struct RecordClass
{
    RecordKind kind;
    QString name;        // "note", "task"
    QString folderKind;  // "note folder", "task folder"
    Code classCode;      // the specifier class of its records
    QString variable;    // the reading scripts' variable ("theMemos")
    QString newVariable; // the making script's variable ("newMemo")
    std::function<Descriptor(const PeerRecord &)> properties;
    // One label of a properties record; false for one Outlook refuses (nothing is changed then).
    std::function<bool(PeerRecord &, const QString &, const ScriptValue &)> setProperty;
    // What Outlook fills in on a record made without it; may be empty.
    std::function<void(PeerRecord &)> completeNew;
};

void addRecordClassForms(QList<ScriptForm> &forms, const RecordClass &recordClass);
// The kind of the writing script of the class the text is, or an empty text.
QString recordWriteKind(const RecordClass &recordClass, const QString &script);
bool isRecordWriteKind(const RecordClass &recordClass, const QString &kind);
// A "category:{category id N, …}" value as the record's `categories`; false for another value.
bool setCategoryIds(QJsonObject &fields, const ScriptValue &value);
// The 'cCtg' list of a record's categories.
Descriptor categoriesOf(const PeerRecord &record);

} // namespace outlookpeer
