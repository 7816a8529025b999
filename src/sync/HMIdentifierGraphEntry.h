#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// One identifier dictionary of an identifier graph, packed into one immutable, implicitly shared
// byte string: a graph of many thousand entries holds a few dozen bytes per entry where a
// QVariantMap costs close to a kilobyte. The dictionary comes back unchanged, value types included.
//
// Packed form: a format byte, then each key-value pair in key order: the key's number in one
// process-wide table of key texts (or 0 and the key's UTF-8 text, once the table is full), a tag,
// and the value. Texts are UTF-8, integers variable-length, dates in UTC milliseconds, lists and
// dictionaries as their length in bytes, their count and their items (dictionaries and hashes in
// key order), so that a look-up steps over a nested value at once; any other value is kept in Qt's
// own stream form with a CRC of its own. Packing is canonical: equal dictionaries with values
// of the same types pack to the same bytes. Copying an entry copies a pointer; an entry copied from
// another shares its bytes with it until one of them is replaced, which tells unchanged entries
// apart at no cost.
class HMIdentifierGraphEntry final
{
public:
    // The keys every entry has a fast accessor for.
    enum class WellKnownKey { HmUid, NativeId, UnconfirmedAdd };

    // The empty dictionary.
    HMIdentifierGraphEntry();
    explicit HMIdentifierGraphEntry(const QVariantMap &dictionary);
    // An entry from bytes made by packed(); nullopt when they are not a whole, well-formed entry.
    static std::optional<HMIdentifierGraphEntry> fromPacked(const QByteArray &bytes);

    QVariantMap toMap() const;
    // The entry with the value under the key, added or in place of the one there, as packing the
    // dictionary with it would give; the other pairs' bytes are copied as they stand.
    HMIdentifierGraphEntry withValue(const QString &key, const QVariant &value) const;
    // The value under the key; invalid when there is none.
    QVariant value(const QString &key) const;
    bool contains(const QString &key) const;
    // The UTF-8 bytes of the text under a well-known key without building the text; nullopt when
    // the key holds no text kept as UTF-8 (no value, another type, or a text that UTF-8 cannot
    // carry: then value() has it).
    std::optional<QByteArrayView> utf8TextOf(WellKnownKey key) const;
    // The same under any key, found as value() finds it.
    std::optional<QByteArrayView> utf8TextOf(const QString &key) const;
    // The text under the key; nullopt when the value there is no text.
    std::optional<QString> textOf(WellKnownKey key) const;
    // The value under a well-known key, found without comparing key texts.
    QVariant valueOf(WellKnownKey key) const;
    // Whether the entry holds true under "isUnconfirmedAdd".
    bool isUnconfirmedAdd() const;

    const QByteArray &packed() const { return m_bytes; }
    // Whether the two are copies of one entry: an entry never changes, so they are equal.
    bool isSharedWith(const HMIdentifierGraphEntry &other) const { return m_bytes.isSharedWith(other.m_bytes); }
    // The same keys with the same values of the same types: a comparison of bytes, with no
    // dictionary built. QVariantMap is laxer: it takes the int 1 and the qint64 1 as equal.
    friend bool operator==(const HMIdentifierGraphEntry &left, const HMIdentifierGraphEntry &right)
    {
        return left.m_bytes == right.m_bytes;
    }
    friend bool operator!=(const HMIdentifierGraphEntry &left, const HMIdentifierGraphEntry &right)
    {
        return !(left == right);
    }

    // One pair of an entry read in place, for a writer that stores entries without building their
    // values. A date of any zone is held as its moment, as an archive holds it.
    struct FlatPair
    {
        // A TextList is a list of texts kept in Qt's stream form. Other is a value no other kind
        // holds: a null text, a text that UTF-8 cannot carry, an unsigned integer past 63 bits, a
        // value kept in stream form other than a text list or a date. valueOf gives both.
        enum class Kind { Nil, Text, Bool, Int32, Integer, Real, Data, UtcDate, List, TextList, Dictionary, Other };
        // The key's number in the process-wide table of keys (keyText gives its text), or 0 with
        // the key's UTF-8 text in inlineKey.
        quint32 keyNumber = 0;
        QByteArrayView inlineKey;
        Kind kind = Kind::Nil;
        // A text's UTF-8 bytes, data's bytes, a list's or dictionary's packed items (read them
        // with visitFlatItems), or a TextList's or Other's packed value, valid while the entry lives.
        QByteArrayView bytes;
        // An integer, a bool as 0 or 1, a date's milliseconds since 1970 UTC.
        qint64 number = 0;
        double real = 0;
    };
    // Reads an entry's pairs in key order, or the items of a List or Dictionary pair in order (a
    // dictionary's with their keys in inlineKey, a list's with none), one per call, in place. The
    // writers walk every pair of a graph through it: a call through a std::function for each pair,
    // and the function's own allocation for each entry, cost more than reading the pair.
    class FlatReader final
    {
    public:
        explicit FlatReader(const HMIdentifierGraphEntry &entry);
        // A container of another kind reads as damaged.
        explicit FlatReader(const FlatPair &container);
        // The next pair or item into pair; false at the end, or, having stopped, at damaged bytes.
        bool next(FlatPair &pair);
        // Whether every pair or item read was whole: at the end, whether all of them were.
        bool isWhole() const { return m_isWhole; }

    private:
        bool nextPair(FlatPair &pair);
        bool nextItem(FlatPair &pair);

        const char *m_at = nullptr;
        const char *m_end = nullptr;
        // The items left to read, for a container.
        quint64 m_itemsLeft = 0;
        enum class Source { Entry, List, Dictionary } m_source = Source::Entry;
        bool m_isWhole = false;
    };
    // Calls visit(const FlatPair &) for each pair in key order; false, having stopped, at damaged
    // bytes.
    template <typename Visit>
    bool visitFlatPairs(const Visit &visit) const
    {
        return visitAll(FlatReader(*this), visit);
    }
    // Calls visit for each item of a List or Dictionary pair, as FlatReader reads them. False,
    // having stopped, as visitFlatPairs.
    template <typename Visit>
    static bool visitFlatItems(const FlatPair &container, const Visit &visit)
    {
        return visitAll(FlatReader(container), visit);
    }
    // The value of a TextList, Other, List or Dictionary pair, as toMap holds it; nullopt for any
    // other kind and for damaged bytes.
    static std::optional<QVariant> valueOf(const FlatPair &pair);
    // The text of a numbered key; nullopt for a number the table does not hold.
    static std::optional<QString> keyText(quint32 keyNumber);

    // One pair of a dictionary being read: its value, or in its place a text's UTF-8 bytes kept
    // elsewhere (valid until the entry is made) or a UTC date's milliseconds since 1970, packed as
    // the text or the date itself would be.
    struct Pair
    {
        QString key;
        QVariant value;
        std::optional<QByteArrayView> utf8Text;
        std::optional<qint64> utcDateMsecs;
    };
    // The entry of a dictionary read as its pairs, in any order: where a key comes more than once,
    // the last value counts, as inserting them into a QVariantMap one by one would have it. The
    // pairs are left sorted.
    static HMIdentifierGraphEntry fromPairs(std::vector<Pair> &pairs);

    // Writes values in packed form into a caller's buffer, each as an entry packs the same value, for
    // a reader that packs a file's values without building them; the value of a pair then goes to
    // Arena::addPacked.
    struct PackedValue
    {
        // Lists and dictionaries nested this deep in a value are kept in Qt's stream form.
        static const int kMaxNesting;
        // A non-null text given as its UTF-8 bytes.
        static void appendText(QByteArray &out, QByteArrayView utf8);
        static void appendUtcDate(QByteArray &out, qint64 msecsSinceEpoch);
        // Any value, at a depth of nesting below kMaxNesting.
        static void appendValue(QByteArray &out, const QVariant &value, int depth);
        // A list of count items, each appended next; or a dictionary of count pairs, each key (in
        // key order, each once, as UTF-8) appended before its value. Each answers a mark to give
        // appendContainerEnd once the last item is in, which writes the length of the whole.
        static qsizetype appendListStart(QByteArray &out, quint64 count);
        static qsizetype appendDictionaryStart(QByteArray &out, quint64 count);
        static void appendItemKey(QByteArray &out, QByteArrayView utf8);
        static void appendContainerEnd(QByteArray &out, qsizetype mark);
    };

    // Packs the many entries of a graph being read into shared blocks: each entry's bytes are a
    // slice of a block, so a graph costs an allocation per block where it cost one per entry. An
    // entry keeps its block alive, and is copied, compared and shared as any other; a block goes
    // when the last entry in it does. Each entry is given pair by pair, between begin and end, and
    // packs as fromPairs packs the same pairs: pairs that come in key order are packed as they
    // come, with nothing kept of them.
    class Arena final
    {
    public:
        void begin();
        // A text as its UTF-8 bytes, which need to stay valid only for the call.
        void addText(const QString &key, QByteArrayView utf8);
        void addUtcDate(const QString &key, qint64 msecsSinceEpoch);
        void addValue(const QString &key, const QVariant &value);
        // A value packed by PackedValue; false, adding nothing, when the key does not come after
        // every key before it (the caller then packs the entry by its values).
        bool addPacked(const QString &key, QByteArrayView packedValue);
        HMIdentifierGraphEntry end();
        // Whether a pair added since the arena was made may be "isUnconfirmedAdd": false only when
        // none was, so that a graph loaded through the arena need not look at every entry for one.
        bool mayHoldUnconfirmedAdd() const { return m_mayHoldUnconfirmedAdd; }

    private:
        quint32 numberInOrder(const QString &key);
        quint32 numberFound(const QString &key, size_t slot);
        void takeKey(quint32 number, const QString &key);
        bool comesAfterLast(quint32 number, const QString &key);
        QVariantMap &unordered();
        QByteArray place(QByteArrayView bytes);
        char *roomFor(qsizetype count);
        void appendRaw(QByteArrayView bytes);
        void appendKeyAndNumber(quint32 keyNumber, const QString &key, quint8 tag, quint64 number,
                                QByteArrayView following);
        quint32 keyNumberOf(const QString &key);

        QByteArray m_block;
        // The block's bytes not handed out yet.
        char *m_free = nullptr;
        qsizetype m_freeBytes = 0;
        // The entry being packed: the first m_packedBytes bytes of a buffer kept from entry to
        // entry, whose size is its room. Once a key comes out of order, the pairs are gathered as a
        // dictionary instead.
        QByteArray m_packing;
        qsizetype m_packedBytes = 0;
        // A pair packed by the general functions before it is copied in: a key written out, a value.
        QByteArray m_scratch;
        struct KnownKey
        {
            QString key;
            quint32 number = 0;
        };
        std::array<KnownKey, 8> m_knownKeys;
        size_t m_nextKnownKey = 0;
        size_t m_keyGuess = 0;
        // The entry's last key.
        // The last key by its number in the table of keys, or as itself when it has none.
        quint32 m_lastKeyNumber = 0;
        QString m_lastInlineKey;
        bool m_hasLastKey = false;
        struct KnownOrder
        {
            quint32 before = 0;
            quint32 after = 0;
            bool isAfter = false;
        };
        std::array<KnownOrder, 16> m_knownOrders;
        size_t m_nextKnownOrder = 0;
        // By the number of the entry's last key (slot 0 at an entry's start), the key that came next
        // the last time, with its number and whether it comes after: entries name the same keys in
        // the same order, so one comparison of addresses nearly always finds the key. Holding the
        // text keeps its address from being reused.
        struct FollowingKey
        {
            QString key;
            quint32 number = 0;
            bool isAfter = false;
        };
        static constexpr size_t kFollowedKeys = 32;
        std::array<FollowingKey, kFollowedKeys> m_followingKeys;
        std::optional<QVariantMap> m_unordered;
        bool m_mayHoldUnconfirmedAdd = false;
    };

    // The format byte every packed entry starts with.
    static constexpr char kFormat = 2;

private:
    explicit HMIdentifierGraphEntry(QByteArray bytes) : m_bytes(std::move(bytes)) {}

    template <typename Visit>
    static bool visitAll(FlatReader reader, const Visit &visit)
    {
        FlatPair pair;
        while (reader.next(pair))
            visit(std::as_const(pair));
        return reader.isWhole();
    }

    QByteArray m_bytes;
};
