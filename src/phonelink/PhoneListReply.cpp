#include "phonelink/PhoneListReply.h"

#include <QVarLengthArray>

#include <algorithm>
#include <functional>

using platform::Error;
using platform::ErrorCode;

namespace phonelist {

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

// One row under the given keys; values past the limit are cut. A value equal to its column's value in
// the row before shares that row's text (lastValues), so a column that repeats one word (as a list's
// actions do) costs no text per row.
QVariantMap rowFrom(const QStringList &keys, const Fields &values, qsizetype maxValueChars,
                    QStringList &lastValues)
{
    QVariantMap row;
    for (qsizetype column = 0; column < keys.size(); ++column) {
        if (keys.at(column).isNull())
            continue;
        const QStringView value = values.at(column).left(maxValueChars);
        QString &last = lastValues[column];
        if (last.isNull() || value != last)
            last = value.toString();
        row.insert(keys.at(column), last);
    }
    return row;
}

// The Count= of the text before the list part that starts at listStart (-1: no list part).
qint64 countBeforeList(const QString &body, qsizetype listStart)
{
    const QString head = listStart < 0 ? body : body.left(listStart);
    for (const QString &rawLine : head.split(QLatin1Char('\n'))) {
        const QString line = withoutCarriageReturn(rawLine).trimmed();
        if (!line.startsWith(QLatin1String("Count=")))
            continue;
        bool isNumber = false;
        const qint64 count = line.mid(6).toLongLong(&isNumber);
        return isNumber && count >= 0 ? count : -2;
    }
    return -1;
}

} // namespace

qint64 announcedCount(const QString &body)
{
    return countBeforeList(body, listPartStart(body));
}

namespace {

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
        if (rules.requiresUid && values.at(uidColumn).left(rules.maxValueChars).trimmed().isEmpty())
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
    const qint64 count = countBeforeList(body, listStart);
    if (count == -2)
        return malformed(QStringLiteral("its Count= is not a number"));
    if (count == -1 && rules.requiresCount)
        return malformed(QStringLiteral("it announces no Count="));
    qint64 rowsRead = 0;
    if (listStart >= 0) {
        const platform::Status read = readListPart(QStringView(body).mid(listStart), rules, rowsRead, keep);
        if (!read)
            return read;
    }
    if (count >= 0 && rowsRead != count)
        return malformed(QStringLiteral("it announces %1 rows and holds %2").arg(count).arg(rowsRead));
    return platform::success();
}

} // namespace

platform::Result<QList<QVariantMap>> readRows(const QString &body, const ReadRules &rules)
{
    QList<QVariantMap> rows;
    QStringList lastValues;
    const platform::Status read = readReply(body, rules, [&](const QStringList &keys, const Fields &values) {
        lastValues.resize(keys.size());
        rows.append(rowFrom(keys, values, rules.maxValueChars, lastValues));
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
            column.append(values.at(*at).left(rules.maxValueChars).toString());
    });
    if (!read)
        return read.error();
    return column;
}

} // namespace phonelist
