#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyListBinary.h"
#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace platform {

// Finds the keys every entry of a keyed archive holds some of ("$class", "NS.keys", "NS.objects",
// "NS.time", "NS.intval") in an entry's dictionary. The objects found to hold them are remembered,
// so the many entries naming the same objects are told apart without comparing texts. One document.
class ArchiveOwnKeys final
{
public:
    enum class Key { Class, Keys, Objects, Time, IntValue };
    static constexpr size_t kKeyCount = 5;
    // By Key, the object under each key; nullopt for a key the dictionary lacks. Plain numbers and
    // a mask of those present: read for every entry of an archive, they are filled and read a
    // number at a time.
    class Fields final
    {
    public:
        std::optional<quint64> operator[](size_t key) const
        {
            return ((m_present >> key) & 1) != 0 ? std::optional(m_objects[key]) : std::nullopt;
        }

    private:
        friend class ArchiveOwnKeys;
        std::array<quint64, kKeyCount> m_objects{};
        unsigned m_present = 0;
    };

    ArchiveOwnKeys() { m_keyObjects.fill(std::numeric_limits<quint64>::max()); }
    // Every key's object, with one pass over the dictionary's keys: the first slot holding a key
    // counts. False, leaving the fields empty, when the object is no dictionary.
    bool fieldsOf(const binaryplist::Document &document, quint64 dictionary, Fields &fields);
    // The same, nullopt when the object is no dictionary.
    std::optional<Fields> fieldsOf(const binaryplist::Document &document, quint64 dictionary)
    {
        Fields fields;
        return fieldsOf(document, dictionary, fields) ? std::optional(fields) : std::nullopt;
    }
    // One key's object, as fieldsOf finds it.
    std::optional<quint64> fieldOf(const binaryplist::Document &document, quint64 dictionary, Key key);

private:
    std::optional<size_t> keyByText(const binaryplist::Document &document, quint64 keyObject);

    // By Key, the object found to hold the key's text; none at first.
    std::array<quint64, kKeyCount> m_keyObjects;
};

// Reads a keyed archive written by KeyedArchiver (binary or XML). The archive is outside input:
// every reference is checked against the object table, cycles and nesting deeper than 200 levels
// are refused, shared entries cannot make the work grow without bound, and a value of the wrong
// type fails instead of being guessed at. A missing key reads as nil, 0 or false. The first failure
// is kept; every later decode call returns nil, 0 or false, and finishDecoding reports it.
// One thread at a time.
class KeyedUnarchiver final
{
public:
    // Whether a list or dictionary handed to a DictionaryListVisitor is let go once handed. An
    // archive refers to each such value once, and keeping them all holds a copy of every nested
    // value of a long list until the archive is done with. Should the archive name a released
    // value again, decoding stops (neededReleasedValue) and unarchiveObject reads it again keeping
    // every value: both ways accept and refuse the same archives and give the same values.
    enum class Keeping { ReleaseHandedValues, KeepAll };

    // Parses the archive and checks its frame ("$archiver", "$version", "$top", "$objects").
    // A reader given ReleaseHandedValues checks neededReleasedValue when decoding fails.
    static Result<KeyedUnarchiver> create(const QByteArray &data, Keeping keeping = Keeping::KeepAll);

    // An archive's checked frame, for a reader of one kind of archive that walks it itself: the
    // property list, its "$top" dictionary and its "$objects" list.
    struct Frame
    {
        binaryplist::Document document;
        quint64 objects = 0;
        quint64 top = 0;
    };
    static Result<Frame> openFrame(const QByteArray &data);
    // The entry visits an archive of so many entries may make: entries may be named from several
    // places, but a table of entries naming each other twice over is refused rather than walked.
    static quint64 stepBudgetFor(quint64 entryCount);
    // The values a list may expand to once every shared entry in it is counted each time.
    static constexpr quint64 kMaxExpandedValues = quint64(1) << 23;
    // The milliseconds since 1970 of a date whose "NS.time" field holds the value; nullopt when the
    // value is no time a date can hold.
    static std::optional<qint64> msecsOfArchivedTime(const QVariant &time);
    // The same for a time held as a real.
    static std::optional<qint64> msecsOfArchivedSeconds(double seconds);

    // The object of class T under a root key. Fails when the archive is damaged, the key holds
    // nothing, or it holds an object of another class.
    template <typename T>
    static Result<std::unique_ptr<T>> unarchiveObject(const QByteArray &data, const QString &rootKey,
                                                      Keeping keeping = Keeping::ReleaseHandedValues);
    // The value that archivedDataWithRootObject wrote.
    static Result<QVariant> unarchiveObjectWithData(const QByteArray &data);

    // Queries about the current object (at first, the archive's root keys).
    bool containsValueForKey(const QString &key) const;
    // The class name of the archived object under a key; empty for values and missing keys.
    QString classNameForKey(const QString &key);

    // A value: QString, bool, qint32, qint64, double, QDateTime, QByteArray, QVariantList or
    // QVariantMap, nested. An archived object there is a failure: read it with decodeObjectOfClass.
    QVariant decodeObject(const QString &key);
    // Receives a list of dictionaries one dictionary at a time, each as its pairs.
    class DictionaryListVisitor
    {
    public:
        virtual ~DictionaryListVisitor() = default;
        virtual void beginList(qsizetype count) = 0;
        // The pairs of one dictionary in the archive's order, then its end.
        virtual void addPair(const QString &key, const QVariant &value) = 0;
        // A pair whose value is a text of ASCII characters, as its bytes read in place (valid while
        // the unarchiver lives), for a visitor that can keep them without building the text.
        virtual void addAsciiTextPair(const QString &key, QByteArrayView ascii)
        {
            addPair(key, QString::fromLatin1(ascii));
        }
        // A pair whose value is a date, as its milliseconds since 1970 in UTC.
        virtual void addUtcDatePair(const QString &key, qint64 msecsSinceEpoch)
        {
            addPair(key, QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC));
        }
        virtual void endDictionary() = 0;
    };
    // Reads the list of dictionaries under a key, as decodeObject would read it, but hands each
    // dictionary to the visitor as its pairs and keeps neither the dictionaries nor their values:
    // a long list of small dictionaries never stands whole as values. Nothing under the key reads
    // as an empty list. False, failing, when the key holds anything but a list of dictionaries.
    bool decodeDictionaryList(const QString &key, DictionaryListVisitor &visitor);
    // The archived object under a key, constructed and then filled by its initWithCoder; nullptr
    // when the key is missing, holds nil, or decoding failed.
    template <typename T>
    std::unique_ptr<T> decodeObjectOfClass(const QString &key);
    bool decodeBool(const QString &key);
    // An integer stored with either width reads with either call when its value fits.
    qint32 decodeInt32(const QString &key);
    qint64 decodeInt64(const QString &key);
    double decodeDouble(const QString &key);

    // For initWithCoder: marks the archive as unreadable. The first failure is the one kept.
    void failWithError(const Error &error);
    bool hasFailed() const { return m_error.has_value(); }
    // Whether decoding stopped on a value released after it was handed to a visitor.
    bool neededReleasedValue() const { return m_neededReleasedValue; }
    // The first failure, if any.
    Status finishDecoding() const;

private:
    KeyedUnarchiver(binaryplist::Document document, quint64 objects, quint64 top, Keeping keeping);

    void fail(const QString &message);
    QVariant valueOf(quint64 object);
    QVariant fieldOf(quint64 dictionary, const QString &key);
    // The keys every entry of an archive holds some of.
    using OwnKey = ArchiveOwnKeys::Key;
    std::optional<quint64> ownFieldOf(quint64 dictionary, OwnKey key) { return m_ownKeys.fieldOf(m_document, dictionary, key); }
    using OwnFields = ArchiveOwnKeys::Fields;
    std::optional<OwnFields> ownFieldsOf(quint64 dictionary) { return m_ownKeys.fieldsOf(m_document, dictionary); }
    QString describeObject(quint64 object);
    QVariant rawValue(const QString &key);
    quint64 entryObject(quint64 index) const { return m_entries.at(index); }
    std::optional<quint64> checkedReference(quint64 index);
    std::optional<quint64> referenceIn(const binaryplist::Document::Elements &list, quint64 position,
                                       const QString &problem);
    std::optional<binaryplist::Document::Elements> referenceListOf(quint64 dictionary, OwnKey key);
    std::optional<binaryplist::Document::Elements> referenceListAt(std::optional<quint64> list);
    QString classNameOfEntry(quint64 dictionary);
    const QString &classNameIn(std::optional<quint64> reference);
    std::optional<QString> classNameAt(quint64 index);
    bool consumeStep();
    QVariant decodeValueAt(quint64 index, int depth);
    QVariant decodePlainEntry(quint64 index, quint64 object);
    QVariant decodeContainer(quint64 index, quint64 dictionary, int depth);
    QVariant decodeScalarObject(quint64 index, const OwnFields &fields, const QString &className);
    QVariant decodeList(const OwnFields &fields, int depth);
    QVariant decodeMap(const OwnFields &fields, int depth);
    std::optional<binaryplist::Document::Elements> listEntryUnder(const QString &key, quint64 &index);
    bool visitDictionary(quint64 index, int depth, DictionaryListVisitor &visitor, quint64 &total);
    void visitPair(const binaryplist::Document::Elements &keys, const binaryplist::Document::Elements &values,
                   quint64 position, int depth, DictionaryListVisitor &visitor, quint64 &total);
    QVariant decodeUnsharedValueAt(quint64 index, int depth);
    const QString *keyTextAt(quint64 index, int depth);
    quint64 expandedSizeOf(quint64 index) const;
    const QVariant &decodedValueOf(quint64 index);
    void keepDecodedValue(quint64 index, const QVariant &value, quint64 expandedSize);
    void releaseDecodedValue(quint64 index);
    std::optional<qint64> dateMsecsIn(quint64 index, std::optional<quint64> timeField);
    std::optional<qint64> plainDateAt(quint64 index);
    bool addExpandedSize(quint64 &total, quint64 index);
    std::optional<qint64> decodeInteger(const QString &key, qint64 lowest, qint64 highest);
    bool beginObject(const QString &key, const QString &className);
    void endObject();

    // The archive read in place: entries are built as they are decoded, never as a table of their
    // own. m_entries are those of the "$objects" list, whose positions are the archive's references.
    binaryplist::Document m_document;
    binaryplist::Document::Elements m_entries;
    quint64 m_entryCount = 0;
    // The dictionaries being read: the first is "$top", then one per object being decoded, each
    // with its entry.
    std::vector<quint64> m_scopes;
    std::vector<quint64> m_scopeIndexes;
    // Values are decoded once per entry and shared, so entries referred to from many places cost
    // no more than one, and equal texts (every dictionary's keys) are one text.
    // Indexed by entry: its expanded size (0 while it is not decoded) and where its value stands in
    // m_decodedValues, which holds only what was decoded (values handed to a visitor are not).
    std::vector<quint32> m_expandedSizes;
    std::vector<quint32> m_valueSlots;
    std::vector<QVariant> m_decodedValues;
    // Plain entries are kept from their second reference on: a text named once (the keys of the
    // small dictionaries inside a list's entries) is not held until the end.
    std::vector<bool> m_plainEntriesSeen;
    Keeping m_keeping = Keeping::KeepAll;
    bool m_neededReleasedValue = false;
    quint64 m_lastExpandedSize = 1;
    std::vector<bool> m_entriesInProgress;
    // Class names by class entry: every entry of a list names the same few.
    QHash<quint64, QString> m_classNames;
    struct RecentClass
    {
        quint64 index = std::numeric_limits<quint64>::max();
        QString name;
    };
    std::array<RecentClass, 4> m_recentClasses;
    size_t m_nextRecentClass = 0;
    // A key whose value was not kept, while it is read.
    QVariant m_unkeptKey;
    ArchiveOwnKeys m_ownKeys;
    quint64 m_remainingSteps = 0;
    std::optional<Error> m_error;
};

template <typename T>
std::unique_ptr<T> KeyedUnarchiver::decodeObjectOfClass(const QString &key)
{
    static_assert(std::is_base_of_v<KeyedArchivable, T>, "archived objects derive from KeyedArchivable");
    auto object = std::make_unique<T>();
    if (!beginObject(key, object->archiveClassName()))
        return nullptr;
    object->initWithCoder(*this);
    endObject();
    if (hasFailed())
        return nullptr;
    return object;
}

template <typename T>
Result<std::unique_ptr<T>> KeyedUnarchiver::unarchiveObject(const QByteArray &data, const QString &rootKey,
                                                            Keeping keeping)
{
    Result<KeyedUnarchiver> unarchiver = create(data, keeping);
    if (!unarchiver)
        return unarchiver.error();
    std::unique_ptr<T> object = unarchiver->template decodeObjectOfClass<T>(rootKey);
    if (unarchiver->neededReleasedValue())
        return unarchiveObject<T>(data, rootKey, Keeping::KeepAll);
    if (Status decoded = unarchiver->finishDecoding(); !decoded)
        return decoded.error();
    if (!object)
        return Error(ErrorCode::DataMissing, QStringLiteral("the archive holds nothing under the root key \"%1\"").arg(rootKey));
    return object;
}

} // namespace platform
