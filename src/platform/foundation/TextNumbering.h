#pragma once

#include <QHash>
#include <QHashSeed>
#include <QString>

#include <array>
#include <optional>

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
        // The same few key texts, shared, stand in every entry of an archive: one of them is known
        // by its storage alone. Only counted storage is trusted that way (isSharedWith is false for a
        // text over raw data): a remembered text holds a reference to it, so no other text can take
        // its place while the table lives.
        Recent &recent = m_recent[(quintptr(text.constData()) >> 4) % kRecentSlots];
        if (recent.text.isSharedWith(text) && recent.text.constData() == text.constData()
            && recent.text.size() == text.size())
            return Number{recent.number, false};
        const Key key{text, qHash(text, QHashSeed::globalSeed())};
        const auto found = m_numbers.constFind(key);
        const Number number = found != m_numbers.constEnd() ? Number{*found, false} : Number{offered, true};
        // A new text is mostly one of the many that stand once; only a text met again is worth a
        // slot, so those do not push out the few keys every entry repeats.
        if (number.isNew)
            m_numbers.insert(key, offered);
        else
            recent = Recent{text, number.value};
        return number;
    }

    // The text's number, when it has one.
    std::optional<quint64> find(const QString &text) const
    {
        const auto found = m_numbers.constFind(Key{text, qHash(text, QHashSeed::globalSeed())});
        return found == m_numbers.constEnd() ? std::nullopt : std::optional<quint64>(*found);
    }

private:
    static constexpr size_t kRecentSlots = 8;

    struct Recent
    {
        QString text;
        quint64 number = 0;
    };

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
    std::array<Recent, kRecentSlots> m_recent;
};

} // namespace platform
