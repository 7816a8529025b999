#pragma once

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace outlookpeer {

// A value written in a script: what the data-only grammar reads. Nothing is ever evaluated.
struct ScriptValue
{
    enum class Kind { Text, Integer, Real, Boolean, Date, List, Record, Enumeration, CategoryReference };
    Kind kind = Kind::Text;
    QString text;       // Text; Enumeration: the word; CategoryReference: the application
    qint64 integer = 0; // Integer; CategoryReference: the id
    double real = 0;
    bool boolean = false;
    QDateTime date;
    QList<ScriptValue> items;
    QList<QPair<QString, ScriptValue>> fields;
};

// Reads values from script text at a position: strings with the escapes \" \\ \n \t \r, integers and
// reals, true and false, date "<text>" in the date pattern and the system zone, {lists}, {label:value}
// records, enumeration words and `category id <n> [of application "<name>"]`. Depth is bounded.
class ValueReader final
{
public:
    ValueReader(const QString &text, qsizetype position, const QString &datePattern);

    qsizetype position() const { return m_position; }
    std::optional<ScriptValue> readValue();
    std::optional<QString> readString();
    std::optional<qint64> readInteger();

private:
    std::optional<ScriptValue> readValue(int depth);
    std::optional<ScriptValue> readNumber();
    std::optional<ScriptValue> readBraced(int depth);
    std::optional<ScriptValue> readWord(int depth);
    std::optional<QString> readLabel();
    bool skipLiteral(QStringView literal);
    void skipBlanks();

    const QString &m_text;
    qsizetype m_position;
    QString m_datePattern;
};

// A date written in a script: in the pattern, or in the same date order with the other clock style.
QDateTime scriptDate(const QString &text, const QString &pattern);
// The Qt form of a date pattern in the platform's notation ("MM/dd/yyyy hh:mm a").
QString qtDatePattern(const QString &pattern);
// The date pattern scripts use on this system: from how the locale writes 24 February 1970 and
// whether its short time shows a day period.
QString systemDatePattern();

// One script form: a text with holes. «A» the application (a string), «F» a folder id (an integer),
// «I» a record id (a string of digits or an integer), «S» a string, «V» any value.
struct ScriptMatch
{
    QList<ScriptValue> captures;
    qsizetype failedAt = 0; // where the text left the form, when it did not match
};

bool matchScript(const QString &form, const QString &script, const QString &datePattern, ScriptMatch &match);

} // namespace outlookpeer
