#pragma once

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListBinary.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/TextNumbering.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <vector>

namespace platform {

class KeyedArchiver;
class KeyedUnarchiver;

// A class whose objects write themselves into a keyed archive and read themselves back.
// encodeWithCoder writes each stored property under its key; initWithCoder runs on a freshly
// constructed object and reads them back. A missing key reads as nil, 0 or false, so initWithCoder
// should assign every stored property from its decode call rather than keep constructor defaults.
// A decoding problem is reported with KeyedUnarchiver::failWithError.
class KeyedArchivable
{
public:
    virtual ~KeyedArchivable() = default;

    // The class name written to the archive and checked when the object is read back.
    virtual QString archiveClassName() const = 0;
    virtual void encodeWithCoder(KeyedArchiver &coder) const = 0;
    virtual void initWithCoder(KeyedUnarchiver &coder) = 0;
};

// Writes a graph of values and archivable objects as a keyed archive: a property list that any
// property-list reader can open. Values are QVariants holding QString, bool, qint32, qint64 (and
// the other integer types), double, QDateTime, QByteArray, QVariantList, QStringList, QVariantMap
// and QVariantHash, nested freely. An invalid QVariant, a null QString and an invalid QDateTime are
// all written as nil, so an unset property reads back unset.
// Usage: encode under one or more root keys, then finishEncoding(). A failure (a value of another
// type, an object that contains itself, nesting deeper than 200 levels) is kept, later calls are
// ignored, and finishEncoding reports it. The same input always gives the same bytes.
// One thread at a time; not copyable.
class KeyedArchiver final
{
public:
    KeyedArchiver();
    KeyedArchiver(const KeyedArchiver &) = delete;
    KeyedArchiver &operator=(const KeyedArchiver &) = delete;

    // Binary by default.
    void setOutputFormat(PropertyListFormat format) { m_format = format; }

    void encodeObject(const QVariant &value, const QString &key);
    // Writes a list of dictionaries as encodeObject writes a QVariantList of them, the same bytes,
    // asking for one dictionary at a time: a long list never stands whole as values.
    void encodeDictionaryList(qsizetype count, const std::function<QVariantMap(qsizetype)> &dictionaryAt,
                              const QString &key);
    void encodeObject(const KeyedArchivable &object, const QString &key);
    // Nothing is written for a null object, so the key reads back as nil.
    void encodeObject(const KeyedArchivable *object, const QString &key);
    void encodeBool(bool value, const QString &key);
    void encodeInt32(qint32 value, const QString &key);
    void encodeInt64(qint64 value, const QString &key);
    void encodeDouble(double value, const QString &key);

    // The archive's bytes, or the first failure met while encoding. Ends the archive.
    Result<QByteArray> finishEncoding();

    // Archives one value under the root key "root".
    static Result<QByteArray> archivedDataWithRootObject(const QVariant &root,
                                                         PropertyListFormat format = PropertyListFormat::Binary);

private:
    bool canEncode() const { return !m_error && !m_finished; }
    void fail(const QString &message);
    void store(const QString &key, const QVariant &entry);
    // Stores a reference to an encoded entry under the key; a failed encoding (none) gets the key
    // named in its error instead.
    void storeEncoded(const QString &key, std::optional<quint64> index);
    quint64 appendObject(const QVariant &entry);
    quint64 stringUid(const QString &text);
    // A text's entry: 0 for a null text; nullopt, failing, for one that holds a NUL.
    std::optional<quint64> encodeText(const QString &text);
    quint64 classUid(const QString &className);
    std::optional<quint64> encodeValue(const QVariant &value, int depth);
    std::optional<quint64> encodeList(const QVariantList &list, int depth);
    std::optional<quint64> encodeItems(qsizetype count, const std::function<std::optional<quint64>(qsizetype)> &encodeItem);
    std::optional<quint64> encodeMap(const QVariantMap &map, int depth);

    // A list, dictionary or date entry, kept as what it holds rather than as the dictionary it is
    // written as: an archive of many records holds one or two per record.
    struct CompactEntry
    {
        enum class Kind { List, Dictionary, Date };
        quint64 entry = 0;
        quint64 classUid = 0;
        Kind kind = Kind::List;
        // A dictionary's keys, then its values; a list's items.
        std::vector<quint64> references;
        // A date's seconds since the archive's reference date.
        double time = 0;
    };
    QVariant dictionaryOf(const CompactEntry &compact) const;
    quint64 objectBound() const;
    struct CompactScratch;
    Result<quint64> writeCompactEntry(binaryplist::Encoder &encoder, const CompactEntry &compact,
                                      CompactScratch &scratch) const;
    std::vector<quint64> sharedTextEntries() const;
    // Both consume the archive's entries as they are written: what the archive held is let go while
    // its bytes grow, so a large archive is not held twice over.
    Result<quint64> writeObjectTable(binaryplist::Encoder &encoder, const std::vector<quint64> &sharedTexts);
    Result<QByteArray> writeBinary();
    QVariantMap archiveTree() const;

    PropertyListFormat m_format = PropertyListFormat::Binary;
    // Entries in archive order; a compact entry is invalid here and stands in m_compactEntries,
    // which are in the same order.
    QVariantList m_objects;
    std::vector<CompactEntry> m_compactEntries;
    TextNumbering m_stringUids;
    // Class names with their entries, in the order first named.
    std::vector<std::pair<QString, quint64>> m_classUids;
    // The key-value tables being filled: the first is "$top", then one per object being encoded.
    std::vector<QVariantMap> m_scopes;
    std::vector<const KeyedArchivable *> m_objectsInProgress;
    std::optional<Error> m_error;
    bool m_finished = false;
};

} // namespace platform
