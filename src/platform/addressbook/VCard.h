#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace platform {

// One parameter of a vCard line: "TYPE=WORK,VOICE" has the name "TYPE" and two values. A bare
// parameter of the older form ("HOME") reads as a TYPE parameter.
struct VCardParameter
{
    QString name; // upper case
    QStringList values;
};

// One (unfolded) line of a vCard: "item1.TEL;TYPE=CELL:+1 555" has the group "item1", the name "TEL",
// one parameter and the value "+1 555". The value is kept as written (escaped); VCard's static
// helpers split and unescape it.
struct VCardProperty
{
    QString group;
    QString name; // upper case
    QList<VCardParameter> parameters;
    QString value;

    // Every value of every parameter of that name (case-insensitive), in order.
    QStringList parameterValues(const QString &parameterName) const;
    // The first value of the parameter; empty when the line has none.
    QString parameterValue(const QString &parameterName) const;
};

// A vCard: its lines in file order, read from vCard 3.0 or 4.0 text and written as vCard 3.0 text
// (CRLF line ends, lines folded at 75 octets, UTF-8). A value type with no shared state.
class VCard final
{
public:
    // The largest card text this reader takes, and the most lines it holds.
    static constexpr qsizetype kMaxCardBytes = 8 * 1024 * 1024;
    static constexpr qsizetype kMaxLines = 50000;

    // Parses a file that holds exactly one card. Fails (with what is wrong and on which line) for an
    // empty file, text that is not UTF-8, a missing BEGIN or END, nested or several cards, a line
    // without a colon, and input over the limits above.
    static Result<VCard> parse(const QByteArray &bytes);

    // The card as vCard text. BEGIN, VERSION and END are written around the lines; lines of those
    // names in properties() are left out.
    QByteArray serialize() const;

    // The VERSION line's value ("3.0", "4.0"); "3.0" for a new card.
    const QString &version() const { return m_version; }
    QList<VCardProperty> &properties() { return m_properties; }
    const QList<VCardProperty> &properties() const { return m_properties; }
    // The first line of the name, or nullptr.
    const VCardProperty *property(const QString &name) const;

    // Appends a line whose value is given as plain text (escaped here) or as ready vCard value text.
    void appendText(const QString &name, const QString &text, const QList<VCardParameter> &parameters = {});
    void appendRaw(const QString &name, const QString &value, const QList<VCardParameter> &parameters = {});

    // Value text helpers: escaping of backslash, comma, semicolon and line breaks, and the split of a
    // structured value ("a;b\;c;d") at unescaped separators, each part still escaped.
    static QString escapeText(const QString &text);
    static QString unescapeText(const QString &escaped);
    static QStringList splitStructured(const QString &value, QChar separator);

private:
    QString m_version = QStringLiteral("3.0");
    QList<VCardProperty> m_properties;
};

} // namespace platform
