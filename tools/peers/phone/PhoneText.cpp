#include "PhoneText.h"

#include <QUrl>

namespace phonepeer {

QChar letterOf(Conduit conduit)
{
    switch (conduit) {
    case Conduit::Contacts:
        return u'A';
    case Conduit::Calendar:
        return u'D';
    case Conduit::Tasks:
        return u'T';
    case Conduit::Memos:
        return u'M';
    }
    return u'?';
}

bool conduitFromLetter(const QString &letter, Conduit &conduit)
{
    for (const Conduit candidate : kAllConduits) {
        if (letter == QString(letterOf(candidate))) {
            conduit = candidate;
            return true;
        }
    }
    return false;
}

QString commandWordOf(Conduit conduit)
{
    switch (conduit) {
    case Conduit::Contacts:
        return QStringLiteral("Contact");
    case Conduit::Calendar:
        return QStringLiteral("Calendar");
    case Conduit::Tasks:
        return QStringLiteral("Todo");
    case Conduit::Memos:
        return QStringLiteral("Memo");
    }
    return {};
}

QString listNameOf(Conduit conduit)
{
    switch (conduit) {
    case Conduit::Contacts:
        return QStringLiteral("Contacts");
    case Conduit::Calendar:
        return QStringLiteral("Calendar");
    case Conduit::Tasks:
        return QStringLiteral("Tasks");
    case Conduit::Memos:
        return QStringLiteral("Memos");
    }
    return {};
}

QString encodeValue(const QString &text)
{
    QString encoded = text;
    encoded.replace(u'&', QChar(0x07));
    encoded.replace(u'\t', QChar(0x06));
    encoded.replace(QLatin1String("\r\n"), QLatin1String("\r"));
    encoded.replace(u'\n', u'\r');
    return encoded;
}

QString decodeValue(const QString &text)
{
    QString decoded = text;
    decoded.replace(QChar(0x07), u'&');
    decoded.replace(QChar(0x06), u'\t');
    decoded.replace(u'\r', u'\n');
    return decoded;
}

Pairs parsePlainPairs(const QString &text)
{
    Pairs pairs;
    for (const QString &piece : text.split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype equals = piece.indexOf(u'=');
        if (equals < 0)
            pairs.append({piece, QString()});
        else
            pairs.append({piece.left(equals), piece.mid(equals + 1)});
    }
    return pairs;
}

Pairs parseFormPairs(const QByteArray &body)
{
    Pairs pairs;
    for (const QByteArray &piece : body.split('&')) {
        if (piece.isEmpty())
            continue;
        const qsizetype equals = piece.indexOf('=');
        QByteArray name = equals < 0 ? piece : piece.left(equals);
        QByteArray value = equals < 0 ? QByteArray() : piece.mid(equals + 1);
        name.replace('+', ' ');
        value.replace('+', ' ');
        pairs.append({QString::fromUtf8(QByteArray::fromPercentEncoding(name)),
                      QString::fromUtf8(QByteArray::fromPercentEncoding(value))});
    }
    return pairs;
}

QString valueOf(const Pairs &pairs, const QString &name)
{
    for (const auto &[key, value] : pairs) {
        if (key == name)
            return value;
    }
    return {};
}

bool hasName(const Pairs &pairs, const QString &name)
{
    for (const auto &pair : pairs) {
        if (pair.first == name)
            return true;
    }
    return false;
}

} // namespace phonepeer
