#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// The lines of the memory store's files. The file and the log beside it are both made of lines, each
// one JSON object, so that a store is read line by line and a record's line is read again alone,
// from where the index says it lies, when the sync needs the record's fields:
//   {"format":2,"generation":7}                      first line of the file
//   {"logOf":7}                                      first line of a log building on generation 7
//   {"conduit":2,"id":"…","phoneId":"…","changed":"2026-01-31T08:00:00.250Z","fields":{…}}
//   {"conduit":2,"removed":"…"}                      a record gone
//   {"conduit":2,"deletions":{"…":{"date":"…"}}}     the conduit's whole list of desktop deletions
//   {"conduit":2,"ownIdMap":[…]}                     the conduit's whole own id map
//   {"conduit":2,"lastSyncStart":{"date":"…"}}
//   {"commit":12}                                    the 12 lines before it form one save
// A record line puts its id, phone id and change date before its fields, always in this order, so
// that loading reads them from the line's first bytes and leaves the fields unparsed.
namespace hmsync::storelines {

// The most bytes one line may hold: lines longer than this are damage, not records.
constexpr qsizetype kMaxLineBytes = 64 * 1024 * 1024;

enum class LineKind { Record, Removal, Conduit, Commit, FileHeader, LogHeader, Damaged };

// What loading needs of a line, read without parsing a record's fields. The id and phone id are UTF-8
// and point into the line read, or into the head's own text when they had to be unescaped or mended:
// a head kept past its line is made to own them first (owned()).
struct LineHead
{
    LineKind kind = LineKind::Damaged;
    quint64 conduit = 0;
    QByteArrayView id;
    QByteArrayView phoneId;
    QDateTime changed;
    // The generation of a header line, the line count of a commit line.
    qint64 number = 0;
    // A conduit line's object, whole.
    QJsonObject object;
    // Holds the id and the phone id when they do not lie in the line as they stand.
    QByteArray text;

    // The head with its own copy of the id and the phone id.
    LineHead owned() const;
    // Points id and phoneId at copies of the texts in the head's own text.
    void keepTexts(QByteArrayView idText, QByteArrayView phoneIdText);
};

LineHead readHead(QByteArrayView line);

QByteArray recordLine(quint64 conduit, const QString &id, const QString &phoneId, const QDateTime &changed,
                      const QVariantMap &fields);
QByteArray removalLine(quint64 conduit, const QString &id);
QByteArray conduitLine(quint64 conduit, const QString &key, const QVariant &value);
QByteArray commitLine(qint64 lineCount);
QByteArray fileHeader(qint64 generation);
QByteArray logHeader(qint64 generation);

// The fields of a record line; nothing when the line is not one.
std::optional<QVariantMap> fieldsOfRecordLine(QByteArrayView line);

// A record value as the lines hold it in JSON: dates (of any year) as {"date": ISO 8601 text}, other
// values as themselves.
QVariant valueFromJson(const QJsonValue &json);
// A date as the lines write it; texts neither of that form nor of ISO 8601 give an invalid date.
QDateTime dateFromText(const QString &text);

} // namespace hmsync::storelines
