#include "platform/foundation/KeyedUnarchiver.h"

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/PropertyList.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

using namespace keyedarchive;

namespace {

// Archived objects may legitimately be decoded more than once (two keys referring to one entry),
// but a table of entries that refer to each other twice over would double the work per level.
// Decoding stops after this many entry visits per entry of the table.
constexpr quint64 kStepsPerEntry = 4;
constexpr quint64 kSpareSteps = 1024;
// A list may hold one shared entry many times over; decoding shares it, but whoever walks the
// result walks every copy: values that would expand past KeyedUnarchiver::kMaxExpandedValues
// elements are refused.

bool isUid(const QVariant &value)
{
    return value.typeId() == qMetaTypeId<PropertyListUid>();
}

QString escapedKey(const QString &key)
{
    return key.startsWith(QLatin1Char('$')) ? QLatin1Char('$') + key : key;
}

// Texts, booleans, numbers, data and dates stand in the object table, and in an object's keys, as
// they are.
bool isPlainEntry(const QVariant &entry)
{
    switch (entry.typeId()) {
    case QMetaType::QString:
    case QMetaType::Bool:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::QByteArray:
    case QMetaType::QDateTime:
        return true;
    default:
        return false;
    }
}

QString describe(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return QStringLiteral("a text");
    case QMetaType::Bool:
        return QStringLiteral("a boolean");
    case QMetaType::LongLong:
    case QMetaType::Int:
        return QStringLiteral("an integer");
    case QMetaType::Double:
        return QStringLiteral("a real");
    case QMetaType::QByteArray:
        return QStringLiteral("data");
    case QMetaType::QDateTime:
        return QStringLiteral("a date");
    case QMetaType::QVariantList:
        return QStringLiteral("a list");
    case QMetaType::QVariantMap:
        return QStringLiteral("a dictionary");
    default:
        return QStringLiteral("nothing usable");
    }
}

} // namespace

KeyedUnarchiver::KeyedUnarchiver(binaryplist::Document document, quint64 objects, quint64 top, Keeping keeping)
    : m_document(std::move(document)), m_entries(m_document.elementsOf(objects)), m_entryCount(m_entries.size()),
      m_keeping(keeping)
{
    m_scopes.push_back(top);
    m_scopeIndexes.push_back(0);
    m_remainingSteps = stepBudgetFor(m_entryCount);
    m_expandedSizes.resize(size_t(m_entryCount), 0);
    m_valueSlots.resize(size_t(m_entryCount), 0);
    m_plainEntriesSeen.resize(size_t(m_entryCount), false);
    m_entriesInProgress.resize(size_t(m_entryCount), false);
}

namespace {

// The archive as a checked binary property list, read in place. An XML archive is read whole and
// encoded as binary once, so both are decoded alike.
Result<binaryplist::Document> openArchive(const QByteArray &data)
{
    if (data.startsWith("bplist"))
        return binaryplist::Document::open(data);
    const Result<QVariant> parsed = parsePropertyList(data);
    if (!parsed)
        return parsed.error();
    const Result<QByteArray> binary = serializePropertyList(*parsed, PropertyListFormat::Binary);
    if (!binary)
        return binary.error();
    return binaryplist::Document::open(*binary);
}

// The leaf under a key of a dictionary; invalid when there is none.
QVariant leafField(const binaryplist::Document &document, quint64 dictionary, QLatin1StringView key)
{
    const std::optional<quint64> field = document.valueForKey(dictionary, QString(key));
    if (!field || document.shapeOf(*field) != binaryplist::Document::Shape::Leaf)
        return QVariant();
    const Result<QVariant> value = document.leafAt(*field);
    return value ? *value : QVariant();
}

bool isShape(const binaryplist::Document &document, std::optional<quint64> object, binaryplist::Document::Shape shape)
{
    return object && document.shapeOf(*object) == shape;
}

} // namespace

quint64 KeyedUnarchiver::stepBudgetFor(quint64 entryCount)
{
    return entryCount * kStepsPerEntry + kSpareSteps;
}

Result<KeyedUnarchiver> KeyedUnarchiver::create(const QByteArray &data, Keeping keeping)
{
    Result<Frame> frame = openFrame(data);
    if (!frame)
        return frame.error();
    return KeyedUnarchiver(std::move(frame->document), frame->objects, frame->top, keeping);
}

Result<KeyedUnarchiver::Frame> KeyedUnarchiver::openFrame(const QByteArray &data)
{
    using Shape = binaryplist::Document::Shape;
    Result<binaryplist::Document> opened = openArchive(data);
    if (!opened)
        return opened.error().withContext(QStringLiteral("keyed archive"));
    const binaryplist::Document &document = *opened;
    const quint64 root = document.topObject();
    if (document.shapeOf(root) != Shape::Dictionary || leafField(document, root, kArchiverKey).toString() != kArchiverName)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: the property list is not a keyed archive"));
    const QVariant version = leafField(document, root, kVersionKey);
    if (version.typeId() != QMetaType::LongLong || version.toLongLong() != kVersion)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: unknown version %1").arg(version.toString()));
    const std::optional<quint64> top = document.valueForKey(root, QString(kTopKey));
    const std::optional<quint64> objects = document.valueForKey(root, QString(kObjectsKey));
    if (!isShape(document, top, Shape::Dictionary) || !isShape(document, objects, Shape::Array))
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: \"$top\" or \"$objects\" is missing"));
    const binaryplist::Document::Elements entries = document.elementsOf(*objects);
    const Result<QVariant> null = entries.size() == 0 || !isShape(document, entries.at(0), Shape::Leaf)
                                      ? Result<QVariant>(QVariant())
                                      : document.leafAt(entries.at(0));
    if (!null || null->typeId() != QMetaType::QString || null->toString() != kNull)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: the object table does not start with \"$null\""));
    return Frame{std::move(opened).value(), *objects, *top};
}

Result<QVariant> KeyedUnarchiver::unarchiveObjectWithData(const QByteArray &data)
{
    Result<KeyedUnarchiver> unarchiver = create(data);
    if (!unarchiver)
        return unarchiver.error();
    QVariant value = unarchiver->decodeObject(QString(kDefaultRootKey));
    if (Status decoded = unarchiver->finishDecoding(); !decoded)
        return decoded.error();
    return value;
}

bool KeyedUnarchiver::containsValueForKey(const QString &key) const
{
    return !m_error && m_document.valueForKey(m_scopes.back(), escapedKey(key)).has_value();
}

QString KeyedUnarchiver::classNameForKey(const QString &key)
{
    const QVariant raw = rawValue(key);
    if (!isUid(raw))
        return QString();
    const std::optional<quint64> index = checkedReference(raw.value<PropertyListUid>().value);
    if (!index || *index == 0)
        return QString();
    const quint64 entry = entryObject(*index);
    if (m_document.shapeOf(entry) != binaryplist::Document::Shape::Dictionary)
        return QString();
    return classNameOfEntry(entry);
}

QVariant KeyedUnarchiver::decodeObject(const QString &key)
{
    const QVariant raw = rawValue(key);
    if (!raw.isValid())
        return QVariant();
    if (isUid(raw)) {
        const std::optional<quint64> index = checkedReference(raw.value<PropertyListUid>().value);
        return index ? decodeValueAt(*index, int(m_scopes.size())) : QVariant();
    }
    // Scalars written with encodeBool, encodeInt64 and their kin sit in place.
    if (isPlainEntry(raw))
        return raw;
    fail(QStringLiteral("key \"%1\" holds %2 in place of a reference").arg(key, describe(raw)));
    return QVariant();
}

bool KeyedUnarchiver::decodeBool(const QString &key)
{
    const QVariant value = decodeObject(key);
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return false;
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
        return value.toLongLong() != 0;
    default:
        fail(QStringLiteral("key \"%1\" holds %2, not a boolean").arg(key, describe(value)));
        return false;
    }
}

qint32 KeyedUnarchiver::decodeInt32(const QString &key)
{
    return qint32(decodeInteger(key, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()).value_or(0));
}

qint64 KeyedUnarchiver::decodeInt64(const QString &key)
{
    return decodeInteger(key, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max()).value_or(0);
}

double KeyedUnarchiver::decodeDouble(const QString &key)
{
    const QVariant value = decodeObject(key);
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return 0.0;
    case QMetaType::Double:
    case QMetaType::Int:
    case QMetaType::LongLong:
        return value.toDouble();
    default:
        fail(QStringLiteral("key \"%1\" holds %2, not a number").arg(key, describe(value)));
        return 0.0;
    }
}

void KeyedUnarchiver::failWithError(const Error &error)
{
    if (!m_error)
        m_error = error;
}

Status KeyedUnarchiver::finishDecoding() const
{
    if (m_error)
        return *m_error;
    return success();
}

void KeyedUnarchiver::fail(const QString &message)
{
    failWithError(Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: ") + message));
}

// The value of a plain object of the property list; invalid, failing, when it cannot be read. An
// archive keeps every list and dictionary as an entry of its own, so none is ever taken as a value
// in place: one found there reads as an empty one of its kind, which tells the caller what stands
// there, without its references being followed.
QVariant KeyedUnarchiver::valueOf(quint64 object)
{
    switch (m_document.shapeOf(object)) {
    case binaryplist::Document::Shape::Array:
        return QVariantList();
    case binaryplist::Document::Shape::Dictionary:
        return QVariantMap();
    default:
        break;
    }
    Result<QVariant> value = m_document.leafAt(object);
    if (value)
        return std::move(value).value();
    failWithError(value.error().withContext(QStringLiteral("keyed archive")));
    return QVariant();
}

// The value under a key of a dictionary of the property list; invalid when there is none.
QVariant KeyedUnarchiver::fieldOf(quint64 dictionary, const QString &key)
{
    const std::optional<quint64> field = m_document.valueForKey(dictionary, key);
    return field ? valueOf(*field) : QVariant();
}

namespace {

const QString kNoClass;
const std::array<const QString *, ArchiveOwnKeys::kKeyCount> kOwnKeyTexts{&kClassKeyText, &kKeysEntryKeyText, &kObjectsEntryKeyText,
                                                  &kTimeKeyText, &kIntValueKeyText};

} // namespace

std::optional<quint64> ArchiveOwnKeys::fieldOf(const binaryplist::Document &document, quint64 dictionary, Key key)
{
    const size_t slot = size_t(key);
    return document.valueForKey(dictionary, *kOwnKeyTexts[slot], m_keyObjects[slot]);
}

// A key object met for the first time, by its text.
std::optional<size_t> ArchiveOwnKeys::keyByText(const binaryplist::Document &document, quint64 keyObject)
{
    for (size_t key = 0; key < kOwnKeyTexts.size(); ++key) {
        if (document.isText(keyObject, *kOwnKeyTexts[key])) {
            m_keyObjects[key] = keyObject;
            return key;
        }
    }
    return std::nullopt;
}

bool ArchiveOwnKeys::fieldsOf(const binaryplist::Document &document, quint64 dictionary, Fields &fields)
{
    fields.m_present = 0;
    const std::optional<binaryplist::Document::Slots> found = document.slotsOf(dictionary);
    if (!found)
        return false;
    for (quint64 slot = 0; slot < found->keys.size(); ++slot) {
        const quint64 keyObject = found->keys.at(slot);
        size_t key = 0;
        while (key < kKeyCount && m_keyObjects[key] != keyObject)
            ++key;
        if (key == kKeyCount) {
            const std::optional<size_t> byText = keyByText(document, keyObject);
            if (!byText)
                continue;
            key = *byText;
        }
        const unsigned bit = 1U << key;
        if ((fields.m_present & bit) == 0) {
            fields.m_objects[key] = found->values.at(slot);
            fields.m_present |= bit;
        }
    }
    return true;
}

QString KeyedUnarchiver::describeObject(quint64 object)
{
    switch (m_document.shapeOf(object)) {
    case binaryplist::Document::Shape::Array:
        return describe(QVariantList());
    case binaryplist::Document::Shape::Dictionary:
        return describe(QVariantMap());
    default:
        return describe(valueOf(object));
    }
}

QVariant KeyedUnarchiver::rawValue(const QString &key)
{
    if (m_error)
        return QVariant();
    return fieldOf(m_scopes.back(), escapedKey(key));
}

std::optional<quint64> KeyedUnarchiver::checkedReference(quint64 index)
{
    if (index >= m_entryCount) {
        fail(QStringLiteral("reference %1 lies outside the %2 entries of the object table").arg(index).arg(m_entryCount));
        return std::nullopt;
    }
    return index;
}

// The entry named at a position of a list of references; nullopt, failing with the problem, when
// the position holds something else.
std::optional<quint64> KeyedUnarchiver::referenceIn(const binaryplist::Document::Elements &list, quint64 position,
                                                    const QString &problem)
{
    const quint64 element = list.at(position);
    const std::optional<quint64> uid = m_document.uidAt(element);
    if (!uid) {
        fail(problem.arg(describeObject(element)));
        return std::nullopt;
    }
    return checkedReference(*uid);
}

// The list of references under a key of an entry; nullopt when there is none.
std::optional<binaryplist::Document::Elements> KeyedUnarchiver::referenceListOf(quint64 dictionary, OwnKey key)
{
    return referenceListAt(ownFieldOf(dictionary, key));
}

// The references of the list object a field holds; nullopt when it holds none.
std::optional<binaryplist::Document::Elements> KeyedUnarchiver::referenceListAt(std::optional<quint64> list)
{
    return list ? m_document.arrayElementsOf(*list) : std::nullopt;
}

QString KeyedUnarchiver::classNameOfEntry(quint64 dictionary)
{
    return classNameIn(ownFieldOf(dictionary, OwnKey::Class));
}

// The name of the class an entry's "$class" field refers to; empty when there is none. Valid until
// the next call.
const QString &KeyedUnarchiver::classNameIn(std::optional<quint64> reference)
{
    static const QString none;
    const std::optional<quint64> uid = reference ? m_document.uidAt(*reference) : std::nullopt;
    const std::optional<quint64> index = uid ? checkedReference(*uid) : std::nullopt;
    if (!index)
        return none;
    // The entries of a list, and their values, name the same few classes over and over.
    for (const RecentClass &recent : m_recentClasses) {
        if (recent.index == *index)
            return recent.name;
    }
    const std::optional<QString> name = classNameAt(*index);
    if (!name)
        return none;
    RecentClass &recent = m_recentClasses[m_nextRecentClass];
    m_nextRecentClass = (m_nextRecentClass + 1) % m_recentClasses.size();
    recent = RecentClass{*index, *name};
    return recent.name;
}

// The name a class entry holds, read once per entry; nullopt, failing, when it holds none.
std::optional<QString> KeyedUnarchiver::classNameAt(quint64 index)
{
    const auto known = m_classNames.constFind(index);
    if (known != m_classNames.constEnd())
        return *known;
    const quint64 classEntry = entryObject(index);
    const QVariant name = m_document.shapeOf(classEntry) == binaryplist::Document::Shape::Dictionary
                              ? fieldOf(classEntry, kClassNameKeyText)
                              : QVariant();
    if (name.typeId() != QMetaType::QString) {
        fail(QStringLiteral("entry %1 is not a class description").arg(index));
        return std::nullopt;
    }
    m_classNames.insert(index, name.toString());
    return name.toString();
}

bool KeyedUnarchiver::consumeStep()
{
    if (m_remainingSteps == 0) {
        fail(QStringLiteral("entries refer to each other more often than an archive of %1 entries can").arg(m_entryCount));
        return false;
    }
    --m_remainingSteps;
    return true;
}

// Plain entries are their own value and cost the same however often they are referred to: they
// are not counted, and each is built once, so equal texts share one copy.
QVariant KeyedUnarchiver::decodePlainEntry(quint64 index, quint64 object)
{
    m_lastExpandedSize = 1;
    if (m_expandedSizes[index] != 0)
        return decodedValueOf(index);
    const QVariant value = valueOf(object);
    if (m_error)
        return QVariant();
    if (m_plainEntriesSeen[index])
        keepDecodedValue(index, value, 1);
    m_plainEntriesSeen[index] = true;
    return value;
}

namespace {

// The slot of a value let go once handed on; its entry keeps its expanded size.
constexpr quint32 kReleasedSlot = std::numeric_limits<quint32>::max();

} // namespace

const QVariant &KeyedUnarchiver::decodedValueOf(quint64 index)
{
    static const QVariant none;
    if (m_valueSlots[index] != kReleasedSlot)
        return m_decodedValues[m_valueSlots[index]];
    m_neededReleasedValue = true;
    fail(QStringLiteral("entry %1 is named again after its value was handed on").arg(index));
    return none;
}

// Lets go of the value just kept for an entry, the last one kept: what it holds was kept before it.
void KeyedUnarchiver::releaseDecodedValue(quint64 index)
{
    if (m_expandedSizes[index] == 0 || m_valueSlots[index] + size_t(1) != m_decodedValues.size())
        return;
    m_decodedValues.pop_back();
    m_valueSlots[index] = kReleasedSlot;
}

// Keeps an entry's value for the next reference to it; past what the slots can number it is not
// kept, and is decoded again each time.
void KeyedUnarchiver::keepDecodedValue(quint64 index, const QVariant &value, quint64 expandedSize)
{
    if (m_decodedValues.size() >= std::numeric_limits<quint32>::max())
        return;
    m_valueSlots[index] = quint32(m_decodedValues.size());
    m_decodedValues.push_back(value);
    // Sizes past the bound fail before they are kept.
    m_expandedSizes[index] = quint32(std::min<quint64>(expandedSize, kMaxExpandedValues));
}

QVariant KeyedUnarchiver::decodeValueAt(quint64 index, int depth)
{
    if (m_error || index == 0)
        return QVariant();
    const quint64 entry = entryObject(index);
    const binaryplist::Document::Shape shape = m_document.shapeOf(entry);
    if (shape == binaryplist::Document::Shape::Leaf)
        return decodePlainEntry(index, entry);
    if (m_expandedSizes[index] != 0)
        return decodedValueOf(index);
    if (m_entriesInProgress[index]) {
        fail(QStringLiteral("entry %1 contains itself").arg(index));
        return QVariant();
    }
    if (depth > kMaxDepth) {
        fail(QStringLiteral("values nest deeper than %1 levels").arg(kMaxDepth));
        return QVariant();
    }
    if (!consumeStep())
        return QVariant();
    if (shape != binaryplist::Document::Shape::Dictionary) {
        fail(QStringLiteral("entry %1 holds %2").arg(index).arg(describeObject(entry)));
        return QVariant();
    }
    m_lastExpandedSize = 1;
    m_entriesInProgress[index] = true;
    QVariant value = decodeContainer(index, entry, depth);
    m_entriesInProgress[index] = false;
    if (m_error)
        return QVariant();
    keepDecodedValue(index, value, std::max<quint64>(m_lastExpandedSize, 1));
    return value;
}

// The elements a finished entry expands to, counting itself.
quint64 KeyedUnarchiver::expandedSizeOf(quint64 index) const
{
    return index == 0 ? 1 : std::max<quint64>(m_expandedSizes[index], 1);
}

bool KeyedUnarchiver::addExpandedSize(quint64 &total, quint64 index)
{
    total += expandedSizeOf(index);
    if (total <= kMaxExpandedValues)
        return true;
    fail(QStringLiteral("values expand past %1 elements").arg(kMaxExpandedValues));
    return false;
}

// The entry's dictionary is read once for its class and the fields its kind holds.
QVariant KeyedUnarchiver::decodeContainer(quint64 index, quint64 dictionary, int depth)
{
    const OwnFields fields = ownFieldsOf(dictionary).value_or(OwnFields());
    const QString className = classNameIn(fields[size_t(OwnKey::Class)]);
    if (className == kArrayClass || className == kMutableArrayClass)
        return decodeList(fields, depth);
    if (className == kDictionaryClass || className == kMutableDictionaryClass)
        return decodeMap(fields, depth);
    if (className == kDateClass || className == kInt32Class)
        return decodeScalarObject(index, fields, className);
    if (className.isEmpty())
        fail(QStringLiteral("entry %1 has no class").arg(index));
    else
        fail(QStringLiteral("entry %1 holds an object of class %2, not a value").arg(index).arg(className));
    return QVariant();
}

// A date or a 32-bit integer, which the archive keeps as a small object of its own.
QVariant KeyedUnarchiver::decodeScalarObject(quint64 index, const OwnFields &fields, const QString &className)
{
    if (className == kDateClass) {
        const std::optional<qint64> msecs = dateMsecsIn(index, fields[size_t(OwnKey::Time)]);
        return msecs ? QVariant(QDateTime::fromMSecsSinceEpoch(*msecs, Qt::UTC)) : QVariant();
    }
    const std::optional<quint64> numberField = fields[size_t(OwnKey::IntValue)];
    const QVariant number = numberField ? valueOf(*numberField) : QVariant();
    const qint64 value = number.toLongLong();
    if (number.typeId() != QMetaType::LongLong || value < std::numeric_limits<qint32>::min() ||
        value > std::numeric_limits<qint32>::max()) {
        fail(QStringLiteral("entry %1 is not a 32-bit integer").arg(index));
        return QVariant();
    }
    return QVariant(qint32(value));
}

// The milliseconds since 1970 of the date whose "NS.time" field is given; nullopt, failing, when it
// holds none that can be read.
std::optional<qint64> KeyedUnarchiver::dateMsecsIn(quint64 index, std::optional<quint64> timeField)
{
    const std::optional<qint64> msecs = msecsOfArchivedTime(timeField ? valueOf(*timeField) : QVariant());
    if (!msecs)
        fail(QStringLiteral("entry %1 is not a readable date").arg(index));
    return msecs;
}

std::optional<qint64> KeyedUnarchiver::msecsOfArchivedTime(const QVariant &time)
{
    if (time.typeId() != QMetaType::Double && time.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return msecsOfArchivedSeconds(time.toDouble());
}

std::optional<qint64> KeyedUnarchiver::msecsOfArchivedSeconds(double seconds)
{
    return msecsOfReferenceSeconds(seconds);
}

// The milliseconds of the date at an entry, when the entry is a date; nullopt for any other entry.
// A date refers to nothing but its class and its time: it is read without the bookkeeping of
// entries that may refer to others.
std::optional<qint64> KeyedUnarchiver::plainDateAt(quint64 index)
{
    const std::optional<OwnFields> fields = ownFieldsOf(entryObject(index));
    if (!fields || classNameIn((*fields)[size_t(OwnKey::Class)]) != kDateClass)
        return std::nullopt;
    return dateMsecsIn(index, (*fields)[size_t(OwnKey::Time)]);
}

QVariant KeyedUnarchiver::decodeList(const OwnFields &fields, int depth)
{
    const auto references = referenceListAt(fields[size_t(OwnKey::Objects)]);
    if (!references) {
        fail(QStringLiteral("a list has no \"NS.objects\""));
        return QVariant();
    }
    const quint64 count = references->size();
    QVariantList list;
    list.reserve(qsizetype(count));
    quint64 total = 1;
    for (quint64 position = 0; position < count; ++position) {
        const std::optional<quint64> index =
            referenceIn(*references, position, QStringLiteral("a list holds %1 in place of a reference"));
        if (!index)
            return QVariant();
        list.append(decodeValueAt(*index, depth + 1));
        if (m_error || !addExpandedSize(total, *index))
            return QVariant();
    }
    m_lastExpandedSize = total;
    return list;
}

QVariant KeyedUnarchiver::decodeMap(const OwnFields &fields, int depth)
{
    const auto keys = referenceListAt(fields[size_t(OwnKey::Keys)]);
    const auto values = referenceListAt(fields[size_t(OwnKey::Objects)]);
    if (!keys || !values || keys->size() != values->size()) {
        fail(QStringLiteral("a dictionary has unmatched \"NS.keys\" and \"NS.objects\""));
        return QVariant();
    }
    const QString problem = QStringLiteral("a dictionary holds %1 as a key or value in place of a reference");
    QVariantMap map;
    quint64 total = 1;
    for (quint64 position = 0; position < keys->size(); ++position) {
        const std::optional<quint64> keyIndex = referenceIn(*keys, position, problem);
        const std::optional<quint64> valueIndex = keyIndex ? referenceIn(*values, position, problem) : std::nullopt;
        if (!valueIndex)
            return QVariant();
        const QString *keyText = keyTextAt(*keyIndex, depth + 1);
        if (!keyText)
            return QVariant();
        // Taken before the value is decoded, which may move the kept texts.
        const QString key = *keyText;
        // Archives list a dictionary's keys sorted, so the end is nearly always the right place.
        map.insert(map.cend(), key, decodeValueAt(*valueIndex, depth + 1));
        if (m_error || !addExpandedSize(total, *valueIndex))
            return QVariant();
    }
    m_lastExpandedSize = total;
    return map;
}

// The text of a dictionary's key, decoded once per entry and shared; nullptr, failing, when it is no
// text. A key decoded before is read where it is kept, without a copy of its value.
// The text stays valid until the next value is decoded.
const QString *KeyedUnarchiver::keyTextAt(quint64 index, int depth)
{
    const bool isKept = index != 0 && m_expandedSizes[index] != 0;
    if (!isKept)
        m_unkeptKey = decodeValueAt(index, depth);
    const QVariant &key = isKept ? decodedValueOf(index) : m_unkeptKey;
    if (key.typeId() != QMetaType::QString) {
        if (!m_error)
            fail(QStringLiteral("a dictionary key is %1, not a text").arg(describe(key)));
        return nullptr;
    }
    return static_cast<const QString *>(key.constData());
}

// The items of the list under a key of the current object, its entry in index (0 for nil); nullopt,
// failing, when the key holds something else.
std::optional<binaryplist::Document::Elements> KeyedUnarchiver::listEntryUnder(const QString &key, quint64 &index)
{
    index = 0;
    const QVariant raw = rawValue(key);
    if (!raw.isValid() || m_error)
        return m_error ? std::nullopt : std::optional(binaryplist::Document::Elements());
    const std::optional<quint64> reference = isUid(raw) ? checkedReference(raw.value<PropertyListUid>().value) : std::nullopt;
    if (!reference || *reference == 0) {
        if (!m_error && !reference)
            fail(QStringLiteral("key \"%1\" holds %2, not a list").arg(key, describe(raw)));
        return m_error ? std::nullopt : std::optional(binaryplist::Document::Elements());
    }
    const quint64 entry = entryObject(*reference);
    const bool isList = m_document.shapeOf(entry) == binaryplist::Document::Shape::Dictionary
                        && (classNameOfEntry(entry) == kArrayClass || classNameOfEntry(entry) == kMutableArrayClass);
    const auto items = isList ? referenceListOf(entry, OwnKey::Objects) : std::nullopt;
    if (!items || m_entriesInProgress[*reference] || !consumeStep()) {
        if (!m_error)
            fail(QStringLiteral("key \"%1\" holds no list of references").arg(key));
        return std::nullopt;
    }
    index = *reference;
    return items;
}

bool KeyedUnarchiver::decodeDictionaryList(const QString &key, DictionaryListVisitor &visitor)
{
    quint64 listIndex = 0;
    const std::optional<binaryplist::Document::Elements> items = listEntryUnder(key, listIndex);
    if (!items)
        return false;
    visitor.beginList(qsizetype(items->size()));
    // The list stands where decodeObject would read it, each dictionary one level below.
    const int depth = int(m_scopes.size());
    m_entriesInProgress[listIndex] = listIndex != 0;
    quint64 total = 1;
    bool isWhole = true;
    for (quint64 position = 0; isWhole && position < items->size(); ++position) {
        const std::optional<quint64> item =
            referenceIn(*items, position, QStringLiteral("a list holds %1 in place of a reference"));
        isWhole = item && visitDictionary(*item, depth + 1, visitor, total);
    }
    m_entriesInProgress[listIndex] = false;
    return isWhole && !m_error;
}

// Hands one dictionary of a list to the visitor; total counts the values handed so far.
bool KeyedUnarchiver::visitDictionary(quint64 index, int depth, DictionaryListVisitor &visitor, quint64 &total)
{
    const std::optional<OwnFields> fields = index == 0 ? std::nullopt : ownFieldsOf(entryObject(index));
    const QString &className = fields ? classNameIn((*fields)[size_t(OwnKey::Class)]) : kNoClass;
    const bool isDictionary = className == kDictionaryClass || className == kMutableDictionaryClass;
    const auto keys = isDictionary ? referenceListAt((*fields)[size_t(OwnKey::Keys)]) : std::nullopt;
    const auto values = isDictionary ? referenceListAt((*fields)[size_t(OwnKey::Objects)]) : std::nullopt;
    if (!keys || !values || keys->size() != values->size() || m_entriesInProgress[index] || !consumeStep()) {
        if (!m_error)
            fail(QStringLiteral("entry %1 is not a dictionary").arg(index));
        return false;
    }
    m_entriesInProgress[index] = true;
    for (quint64 position = 0; position < keys->size() && !m_error; ++position)
        visitPair(*keys, *values, position, depth, visitor, total);
    m_entriesInProgress[index] = false;
    if (m_error)
        return false;
    visitor.endDictionary();
    return true;
}

void KeyedUnarchiver::visitPair(const binaryplist::Document::Elements &keys, const binaryplist::Document::Elements &values,
                                quint64 position, int depth, DictionaryListVisitor &visitor, quint64 &total)
{
    const QString problem = QStringLiteral("a dictionary holds %1 as a key or value in place of a reference");
    const std::optional<quint64> keyIndex = referenceIn(keys, position, problem);
    const std::optional<quint64> valueIndex = keyIndex ? referenceIn(values, position, problem) : std::nullopt;
    if (!keyIndex || !valueIndex)
        return;
    const QString *key = keyTextAt(*keyIndex, depth + 1);
    if (!key)
        return;
    const QString &keyText = *key;
    // Texts and dates, most of a list's values, are handed as they stand in the file.
    if (const auto ascii = *valueIndex == 0 ? std::nullopt : m_document.asciiTextAt(entryObject(*valueIndex))) {
        if (addExpandedSize(total, *valueIndex))
            visitor.addAsciiTextPair(keyText, *ascii);
        return;
    }
    if (const std::optional<qint64> date = *valueIndex == 0 ? std::nullopt : plainDateAt(*valueIndex)) {
        if (addExpandedSize(total, *valueIndex))
            visitor.addUtcDatePair(keyText, *date);
        return;
    }
    // Taken before the value is decoded, which may move the kept texts.
    const QString heldKey = keyText;
    const QVariant value = m_error ? QVariant() : decodeUnsharedValueAt(*valueIndex, depth + 1);
    if (!m_error && addExpandedSize(total, *valueIndex))
        visitor.addPair(heldKey, value);
}

// A value as decodeValueAt gives it, but a plain one is not kept for sharing: values that stand
// once in a long list would all be held until the archive is done with.
QVariant KeyedUnarchiver::decodeUnsharedValueAt(quint64 index, int depth)
{
    if (m_error || index == 0)
        return QVariant();
    const quint64 entry = entryObject(index);
    if (m_document.shapeOf(entry) == binaryplist::Document::Shape::Leaf && m_expandedSizes[index] == 0)
        return valueOf(entry);
    const bool wasDecoded = m_expandedSizes[index] != 0;
    QVariant value = decodeValueAt(index, depth);
    if (!wasDecoded && m_keeping == Keeping::ReleaseHandedValues)
        releaseDecodedValue(index);
    return value;
}

std::optional<qint64> KeyedUnarchiver::decodeInteger(const QString &key, qint64 lowest, qint64 highest)
{
    const QVariant value = decodeObject(key);
    qint64 number = 0;
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return std::nullopt;
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::LongLong:
        number = value.toLongLong();
        break;
    case QMetaType::Double: {
        // Whole reals are taken; a fraction would silently be lost.
        const double real = value.toDouble();
        if (!std::isfinite(real) || std::trunc(real) != real || real < -9.2e18 || real > 9.2e18) {
            fail(QStringLiteral("key \"%1\" holds %2, not an integer").arg(key, QString::number(real)));
            return std::nullopt;
        }
        number = qint64(real);
        break;
    }
    default:
        fail(QStringLiteral("key \"%1\" holds %2, not an integer").arg(key, describe(value)));
        return std::nullopt;
    }
    if (number < lowest || number > highest) {
        fail(QStringLiteral("key \"%1\" holds %2, which does not fit 32 bits").arg(key, QString::number(number)));
        return std::nullopt;
    }
    return number;
}

bool KeyedUnarchiver::beginObject(const QString &key, const QString &className)
{
    const QVariant raw = rawValue(key);
    if (!raw.isValid())
        return false;
    if (!isUid(raw)) {
        fail(QStringLiteral("key \"%1\" holds %2, not an object of class %3").arg(key, describe(raw), className));
        return false;
    }
    const std::optional<quint64> index = checkedReference(raw.value<PropertyListUid>().value);
    if (!index || *index == 0)
        return false;
    if (m_entriesInProgress[*index]) {
        fail(QStringLiteral("the object under key \"%1\" contains itself").arg(key));
        return false;
    }
    if (m_scopes.size() > size_t(kMaxDepth)) {
        fail(QStringLiteral("objects nest deeper than %1 levels").arg(kMaxDepth));
        return false;
    }
    if (!consumeStep())
        return false;
    const quint64 entry = entryObject(*index);
    if (m_document.shapeOf(entry) != binaryplist::Document::Shape::Dictionary) {
        fail(QStringLiteral("key \"%1\" holds %2, not an object of class %3").arg(key, describeObject(entry), className));
        return false;
    }
    const QString storedName = classNameOfEntry(entry);
    if (m_error)
        return false;
    if (storedName != className) {
        fail(QStringLiteral("key \"%1\" holds an object of class \"%2\", not %3").arg(key, storedName, className));
        return false;
    }
    m_entriesInProgress[*index] = true;
    m_scopes.push_back(entry);
    m_scopeIndexes.push_back(*index);
    return true;
}

void KeyedUnarchiver::endObject()
{
    m_entriesInProgress[m_scopeIndexes.back()] = false;
    m_scopes.pop_back();
    m_scopeIndexes.pop_back();
}

} // namespace platform
