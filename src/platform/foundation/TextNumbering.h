#pragma once

#include <QHash>
#include <QHashSeed>
#include <QString>

namespace platform {

// Gives equal texts one number, as writers of archives and property lists do to store each text
// once. Every text is hashed once: the table keeps the hash beside the text, so growing it does not
// hash tens of thousands of record identifiers over again. The hash is seeded per process, as Qt's
// own tables are, so texts from outside cannot be chosen to collide. One thread at a time.
class TextNumbering final
{
public:
    struct Number
    {
        quint64 value = 0;
        // The text had no number before this call and was given the one offered.
        bool isNew = false;
    };

    // The text's number; a text seen for the first time is given `offered`.
    Number numberOf(const QString &text, quint64 offered)
    {
        const Key key{text, qHash(text, QHashSeed::globalSeed())};
        const auto found = m_numbers.constFind(key);
        if (found != m_numbers.constEnd())
            return Number{*found, false};
        m_numbers.insert(key, offered);
        return Number{offered, true};
    }

private:
    struct Key
    {
        QString text;
        size_t hash = 0;

        friend bool operator==(const Key &left, const Key &right)
        {
            return left.hash == right.hash && left.text == right.text;
        }
        friend size_t qHash(const Key &key, size_t) { return key.hash; }
    };

    QHash<Key, quint64> m_numbers;
};

} // namespace platform
