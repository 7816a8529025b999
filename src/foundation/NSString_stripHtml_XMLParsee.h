#pragma once

#include <QString>
#include <QStringList>

// Gathers the character data an event-driven markup parse hands it, for stripHtml. One instance serves
// one parse on one thread.
class NSString_stripHtml_XMLParsee final
{
public:
    // Appends one run of character data.
    void foundCharacters(const QString &characters);

    // The runs in the order they arrived.
    const QStringList &strings() const { return m_strings; }

    // The runs joined with no separator.
    QString getCharsFound() const;

private:
    QStringList m_strings;
};
