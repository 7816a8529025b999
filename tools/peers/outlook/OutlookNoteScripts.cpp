// The simulated Outlook's notes: their properties (id, name, iCalendar export, plain text, categories),
// every note's properties, new notes made from a properties record, properties set and notes moved
// between note folders with their ids kept. Note fields: `name`, `content`, `categories` (ids).

#include "OutlookNoteScripts.h"

#include "OutlookRecordClassScripts.h"

#include <QJsonArray>

namespace outlookpeer {

namespace {

Descriptor noteProperties(const PeerRecord &record)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cNte")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("pnam"), Descriptor::text(record.fields.value(QStringLiteral("name")).toString()));
    properties.set(code("iCal"), Descriptor::text(noteICalendar(record)));
    if (record.fields.contains(QStringLiteral("content")))
        properties.set(code("PlTC"), Descriptor::text(record.fields.value(QStringLiteral("content")).toString()));
    properties.set(code("cCtg"), categoriesOf(record));
    return properties;
}

bool setNoteProperty(PeerRecord &record, const QString &label, const ScriptValue &value)
{
    if ((label == u"name" || label == u"plain text content") && value.kind == ScriptValue::Kind::Text) {
        record.fields[label == u"name" ? QStringLiteral("name") : QStringLiteral("content")] = value.text;
        return true;
    }
    return label == u"category" && setCategoryIds(record.fields, value);
}

// A note made without a name takes its content's first line, as Outlook titles notes.
void nameNewNote(PeerRecord &record)
{
    if (!record.fields.contains(QStringLiteral("name")))
        record.fields[QStringLiteral("name")] =
            record.fields.value(QStringLiteral("content")).toString().section(u'\n', 0, 0).section(u'\r', 0, 0);
}

const RecordClass &notes()
{
    static const RecordClass notes{RecordKind::Note, QStringLiteral("note"), QStringLiteral("note folder"), code("cNte"),
                                   QStringLiteral("theMemos"), QStringLiteral("newMemo"), noteProperties, setNoteProperty, nameNewNote};
    return notes;
}

} // namespace

QString noteICalendar(const PeerRecord &record)
{
    return QStringLiteral("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Outlook Peer//Notes//EN\r\nBEGIN:VJOURNAL\r\n"
                          "UID:peer-note-%1\r\nSUMMARY:%2\r\nDTSTAMP:%3\r\nEND:VJOURNAL\r\nEND:VCALENDAR\r\n")
        .arg(record.id)
        .arg(record.fields.value(QStringLiteral("name")).toString(),
             record.modified.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
}

QString noteWriteKind(const QString &script)
{
    return recordWriteKind(notes(), script);
}

bool isNoteWriteKind(const QString &kind)
{
    return isRecordWriteKind(notes(), kind);
}

void addNoteForms(QList<ScriptForm> &forms)
{
    addRecordClassForms(forms, notes());
}

} // namespace outlookpeer
