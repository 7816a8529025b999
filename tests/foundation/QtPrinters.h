#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <ostream>

// Lets failing assertions print texts as texts.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList &texts, std::ostream *out)
{
    *out << '[' << texts.join(QStringLiteral("|")).toStdString() << ']';
}

inline void PrintTo(const QDateTime &date, std::ostream *out)
{
    *out << (date.isValid() ? date.toUTC().toString(Qt::ISODateWithMs).toStdString() : std::string("(no date)"));
}
