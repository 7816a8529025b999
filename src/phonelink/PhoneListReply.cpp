#include "phonelink/PhoneListReply.h"

#include <QVarLengthArray>

#include <algorithm>
#include <functional>

using platform::Error;
using platform::ErrorCode;

namespace phonelist {

// The numbers a list reply may announce, and which of their readings are accepted.
//
// Between the status line and "List=" the phone may write a "Count=" line, and after "List=" on its
// line it writes what names the list. Phones fill both in more than one way: "Count=" as the rows of
// the reply, as the total of a listing that spans pages (the conduit's records, or its changes), or
// not at all; after "List=" a name, or a number of rows. So no number decides whether a reply is
// whole. A reply is whole when its body arrived whole (the transport checks the body's length), its
// header has a UID column and every row has the header's field count; values are kept whole.
//
// A number is a cross-check only where every reading of it agrees:
// - An id list is a whole listing in one reply, so any number it announces (after "Count=", or a
//   number after "List=") is its rows. It must equal them: a short id list would delete every desktop
//   record it left out, so one that disagrees fails before anything is deleted.
// - A page is one part of a listing: its "Count=" is its own rows or the listing's total, never fewer
//   than the page holds, so a page holding more rows than its "Count=" fails. A page holding fewer
//   (the last page of a listing, an empty page ending it) is whole. A number after "List=" on a page
//   may be a total or a name and is not checked.
// A "Count=" that is not a whole number says nothing about the rows and is not read.

namespace {

// How much of an offending line an error message quotes.
constexpr qsizetype kQuotedChars = 60;

// Where the list part of a reply starts, or -1. The phone writes some text between the status line
// and "List="; a "List=" right after the status line is not read as a list.
qsizetype listPartStart(const QString &body)
{
    const auto endOfLine = std::find_if(body.cbegin(), body.cend(),
                                        [](QChar character) { return character == u'\r' || character == u'\n'; });
    if (endOfLine == body.cend())
        return -1;
    qsizetype at = endOfLine - body.cbegin();
    while (at < body.size() && body.at(at).isSpace())
        ++at;
    if (at >= body.size())
        return -1;
    return body.indexOf(QLatin1String("List="), at + 1);
}

QString withoutCarriageReturn(QString line)
{
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

Error malformed(const QString &what)
{
    return Error(ErrorCode::ProtocolMalformed, QStringLiteral("The phone's list reply is malformed: %1").arg(what));
}

// A row's fields, as views into the reply: rows of up to this many fields take no allocation.
using Fields = QVarLengthArray<QStringView, 64>;

// The key each column's values take in a row; a null text leaves the column out.
QStringList rowKeysOf(const QStringList &columns, const ReadRules &rules)
{
    if (!rules.keyForColumn)
        return columns;
    QStringList keys;
    keys.reserve(columns.size());
    for (const QString &column : columns) {
        const QVariant key = rules.keyForColumn->value(column);
        keys.append(key.typeId() == QMetaType::QString ? key.toString() : QString());
    }
    return keys;
}

// The columns that have a key, in the order of their keys; columns of one key in their own order.
QList<qsizetype> columnsByKey(const QStringList &keys)
{
    QList<qsizetype> columns;
    for (qsizetype column = 0; column < keys.size(); ++column) {
        if (!keys.at(column).isNull())
            columns.append(column);
    }
    std::stable_sort(columns.begin(), columns.end(),
                     [&keys](qsizetype left, qsizetype right) { return keys.at(left) < keys.at(right); });
    return columns;
}

// One row under the given keys, values whole; where two columns have one key, the later one's value
// stands. The columns come in the order of their keys (columnsByKey), so each goes in at the row's
// end. A value equal to its column's value in the row before shares that row's text (lastValues), so
// a column that repeats one word (as a list's actions do) costs no text per row.
QVariantMap rowFrom(const QStringList &keys, const QList<qsizetype> &columns, const Fields &values,
                    QStringList &lastValues)
{
    QVariantMap row;
    for (const qsizetype column : columns) {
        const QStringView value = values.at(column);
        QString &last = lastValues[column];
        if (last.isNull() || value != last)
            last = value.toString();
        row.insert(row.cend(), keys.at(column), last);
    }
    return row;
}

// A whole number of at least 0 written alone in the text (spaces around it aside), or -1.
qint64 wholeNumberIn(QStringView text)
{
    bool isNumber = false;
    const qint64 number = text.trimmed().toLongLong(&isNumber);
    return isNumber && number >= 0 ? number : -1;
}

// The numbers a reply announces; -1 where it announces none.
struct Announced
{
    qint64 count = -1;      // after "Count=" on a line before the list part
    qint64 listNumber = -1; // after "List=" on its own line
};

Announced announcedIn(const QString &body, qsizetype listStart)
{
    Announced announced;
    const QStringView head = listStart < 0 ? QStringView(body) : QStringView(body).left(listStart);
    for (const QStringView rawLine : head.tokenize(u'\n')) {
        const QStringView line = rawLine.trimmed();
        if (line.startsWith(u"Count=")) {
            announced.count = wholeNumberIn(line.mid(6));
            break;
        }
    }
    if (listStart >= 0) {
        const qsizetype nameStart = listStart + 5; // past "List="
        const qsizetype lineEnd = body.indexOf(QLatin1Char('\n'), nameStart);
        const qsizetype nameEnd = lineEnd < 0 ? body.size() : lineEnd;
        announced.listNumber = wholeNumberIn(QStringView(body).sliced(nameStart, nameEnd - nameStart));
    }
    return announced;
}

// Whether the rows agree with the numbers the reply announces, as the readings above allow.
platform::Status checkAnnounced(const Announced &announced, const ReadRules &rules, qint64 rows)
{
    const auto disagrees = [rows](qint64 number, const char *where) {
        return malformed(
            QStringLiteral("its %1 announces %2 rows and it holds %3").arg(QLatin1String(where)).arg(number).arg(rows));
    };
    if (rules.isIdList) {
        if (announced.count >= 0 && announced.count != rows)
            return disagrees(announced.count, "Count=");
        if (announced.listNumber >= 0 && announced.listNumber != rows)
            return disagrees(announced.listNumber, "List=");
    } else if (announced.count >= 0 && rows > announced.count) {
        return disagrees(announced.count, "Count=");
    }
    return platform::success();
}

// Called with each row kept: the keys of its columns (a null key: a column left out) and its values.
using RowSink = std::function<void(const QStringList &keys, const Fields &values)>;

// The next line of the text from at on, without its line feed, and moves at past it; a text that
// does not end in a line feed ends in a last line of its own, as splitting at line feeds gives.
QStringView takeLine(QStringView text, qsizetype &at)
{
    const qsizetype end = text.indexOf(u'\n', at);
    const QStringView line = end < 0 ? text.sliced(at) : text.sliced(at, end - at);
    at = end < 0 ? text.size() + 1 : end + 1;
    return line;
}

// The line's fields between tabs, as splitting it at tabs gives them, into fields reused from row
// to row: a list of many thousand rows allocates nothing per row for them.
void splitFields(QStringView line, Fields &fields)
{
    fields.clear();
    qsizetype start = 0;
    for (qsizetype tab = line.indexOf(u'\t'); tab >= 0; tab = line.indexOf(u'\t', start)) {
        fields.append(line.sliced(start, tab - start));
        start = tab + 1;
    }
    fields.append(line.sliced(start));
}

bool isBlankLine(QStringView line)
{
    return line.isEmpty() || line == u"\r";
}

// Reads the list part (from its "List=" line on) into the sink; rowsRead counts every row, kept or not.
platform::Status readListPart(QStringView listPart, const ReadRules &rules, qint64 &rowsRead, const RowSink &keep)
{
    qsizetype at = 0;
    takeLine(listPart, at); // the "List=" line names the list
    QString header;
    while (at <= listPart.size() && header.isEmpty()) {
        const QStringView line = takeLine(listPart, at);
        if (!isBlankLine(line))
            header = withoutCarriageReturn(line.toString());
    }
    const QStringList columns = header.isEmpty() ? QStringList() : header.split(QLatin1Char('\t'));
    const qsizetype uidColumn = columns.lastIndexOf(QStringLiteral("UID"));
    const QStringList keys = rowKeysOf(columns, rules);
    bool isHeaderChecked = false;
    Fields values;
    // Every line is looked at: a malformed one anywhere fails the whole reply.
    while (at <= listPart.size()) {
        const QStringView line = takeLine(listPart, at);
        if (isBlankLine(line))
            continue;
        if (!isHeaderChecked && (columns.size() < 2 || uidColumn < 0))
            return malformed(QStringLiteral("its header has no UID column"));
        isHeaderChecked = true;
        splitFields(line, values);
        if (values.size() != columns.size()) {
            return malformed(QStringLiteral("row %1 has %2 fields, its header %3: '%4'")
                                 .arg(rowsRead + 1)
                                 .arg(values.size())
                                 .arg(columns.size())
                                 .arg(line.left(kQuotedChars).toString()));
        }
        ++rowsRead;
        if (rules.requiresUid && values.at(uidColumn).trimmed().isEmpty())
            return malformed(QStringLiteral("row %1 has no UID").arg(rowsRead));
        if (rowsRead <= rules.rowLimit)
            keep(keys, values);
    }
    return platform::success();
}

// Reads the reply whole into the sink, or fails.
platform::Status readReply(const QString &body, const ReadRules &rules, const RowSink &keep)
{
    const qsizetype listStart = listPartStart(body);
    qint64 rowsRead = 0;
    if (listStart >= 0) {
        const platform::Status read = readListPart(QStringView(body).mid(listStart), rules, rowsRead, keep);
        if (!read)
            return read;
    }
    return checkAnnounced(announcedIn(body, listStart), rules, rowsRead);
}

} // namespace

platform::Result<QList<QVariantMap>> readRows(const QString &body, const ReadRules &rules)
{
    QList<QVariantMap> rows;
    QStringList lastValues;
    // Every row has the same keys: their order is found once.
    std::optional<QList<qsizetype>> columns;
    const platform::Status read = readReply(body, rules, [&](const QStringList &keys, const Fields &values) {
        if (!columns)
            columns = columnsByKey(keys);
        lastValues.resize(keys.size());
        rows.append(rowFrom(keys, *columns, values, lastValues));
    });
    if (!read)
        return read.error();
    return rows;
}

platform::Result<QStringList> readColumn(const QString &body, const ReadRules &rules, const QString &key)
{
    QStringList column;
    // Every row has the same keys: the column is looked for once.
    std::optional<qsizetype> at;
    const platform::Status read = readReply(body, rules, [&](const QStringList &keys, const Fields &values) {
        if (!at)
            at = keys.lastIndexOf(key);
        if (*at >= 0)
            column.append(values.at(*at).toString());
    });
    if (!read)
        return read.error();
    return column;
}

} // namespace phonelist
