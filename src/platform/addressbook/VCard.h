#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace platform {

// One parameter of a vCard line: "TYPE=WORK,VOICE" has the name "TYPE" and two values. A bare
// parameter of the older form ("HOME") reads as a TYPE parameter, and is written bare again.
struct VCardParameter
{
    QString name; // upper case
    QStringList values;
    bool isBare = false;
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
    // The line's bytes as its file held them: folds, line ends and the blank lines after it. Empty for
    // a line made or changed here, which is written from the parts above.
    QByteArray raw;

    // Every value of every parameter of that name (case-insensitive), in order.
    QStringList parameterValues(const QString &parameterName) const;
    // The first value of the parameter; empty when the line has none.
    QString parameterValue(const QString &parameterName) const;
};

// A vCard: its lines in file order. Reads vCard 2.1 (quoted-printable values, 8-bit charsets), 3.0
// and 4.0 text. A card made here is written as vCard 3.0 text (CRLF line ends, lines folded at 75
// octets, UTF-8); a card read from a file is written back with every line it read as the file held it,
// its VERSION kept, and only the lines made or changed since written from their parts (in the card's
// own line ends; in a vCard 2.1 card a value beyond ASCII or with line breaks quoted-printable UTF-8,
// both named). A value type with no shared state.
class VCard final
{
public:
    // The largest card text this reader takes, and the most lines it holds.
    static constexpr qsizetype kMaxCardBytes = 8 * 1024 * 1024;
    static constexpr qsizetype kMaxLines = 50000;

    // Parses a file that holds exactly one card. Fails (with what is wrong and on which line) for an
    // empty file, a missing BEGIN or END, nested or several cards, a line without a colon, and input
    // over the limits above. A line that is not UTF-8 is read in its CHARSET, else as Latin-1; a
    // quoted-printable value is decoded, its line breaks escaped as in vCard 3.0 text. The VERSION line
    // stays among the properties.
    static Result<VCard> parse(const QByteArray &bytes);

    // The card as vCard text. For a card made here, BEGIN, VERSION and END are written around the
    // lines and lines of those names in properties() are left out; a card read keeps its own.
    QByteArray serialize() const;
    // Whether the card was read from text (and is written back as read, but for changed lines).
    bool isRead() const { return !m_head.isEmpty(); }

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
    // Of a card read: the text up to the BEGIN line's end, the END line and what follows it, and the
    // line end its first line used.
    QByteArray m_head;
    QByteArray m_tail;
    QByteArray m_lineEnd = QByteArrayLiteral("\r\n");
};

} // namespace platform
