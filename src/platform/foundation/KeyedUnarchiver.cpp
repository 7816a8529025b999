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
// Dates are kept within what QDateTime and a double hold exactly to the millisecond.
constexpr double kMaxDateSeconds = 1.0e11;
// A list may hold one shared entry many times over; decoding shares it, but whoever walks the
// result walks every copy. Values that would expand past this many elements are refused.
constexpr quint64 kMaxExpandedValues = quint64(1) << 23;

// The archive's own keys as texts, made once: every entry of a large archive looks them up.
const QString kClassKeyText{kClassKey};
const QString kObjectsKeyText{kObjectsEntryKey};
const QString kKeysKeyText{kKeysEntryKey};
const QString kClassNameKeyText{kClassNameKey};
const QString kTimeKeyText{kTimeKey};
const QString kIntValueKeyText{kIntValueKey};

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

KeyedUnarchiver::KeyedUnarchiver(QVariantList objects, QVariantMap top)
    : m_objects(std::move(objects))
{
    m_scopes.push_back(std::move(top));
    m_scopeIndexes.push_back(0);
    m_remainingSteps = quint64(m_objects.size()) * kStepsPerEntry + kSpareSteps;
    m_decodedValues.resize(size_t(m_objects.size()));
    m_expandedSizes.resize(size_t(m_objects.size()), 0);
    m_entriesInProgress.resize(size_t(m_objects.size()), false);
}

Result<KeyedUnarchiver> KeyedUnarchiver::create(const QByteArray &data)
{
    const Result<QVariant> parsed = parsePropertyList(data);
    if (!parsed)
        return parsed.error().withContext(QStringLiteral("keyed archive"));
    const QVariantMap archive = parsed->toMap();
    if (parsed->typeId() != QMetaType::QVariantMap || archive.value(QString(kArchiverKey)).toString() != kArchiverName)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: the property list is not a keyed archive"));
    const QVariant version = archive.value(QString(kVersionKey));
    if (version.typeId() != QMetaType::LongLong || version.toLongLong() != kVersion)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: unknown version %1").arg(version.toString()));
    const QVariant top = archive.value(QString(kTopKey));
    const QVariant objects = archive.value(QString(kObjectsKey));
    if (top.typeId() != QMetaType::QVariantMap || objects.typeId() != QMetaType::QVariantList)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: \"$top\" or \"$objects\" is missing"));
    QVariantList table = objects.toList();
    if (table.isEmpty() || table.first().typeId() != QMetaType::QString || table.first().toString() != kNull)
        return Error(ErrorCode::DataMalformed, QStringLiteral("keyed archive: the object table does not start with \"$null\""));
    return KeyedUnarchiver(std::move(table), top.toMap());
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
    return !m_error && m_scopes.back().contains(escapedKey(key));
}

QString KeyedUnarchiver::classNameForKey(const QString &key)
{
    const QVariant raw = rawValue(key);
    if (!isUid(raw))
        return QString();
    const std::optional<quint64> index = checkedReference(raw);
    if (!index || *index == 0)
        return QString();
    const QVariant &entry = m_objects.at(qsizetype(*index));
    if (entry.typeId() != QMetaType::QVariantMap)
        return QString();
    return classNameOfEntry(entry.toMap());
}

QVariant KeyedUnarchiver::decodeObject(const QString &key)
{
    const QVariant raw = rawValue(key);
    if (!raw.isValid())
        return QVariant();
    if (isUid(raw)) {
        const std::optional<quint64> index = checkedReference(raw);
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

QVariant KeyedUnarchiver::rawValue(const QString &key) const
{
    if (m_error)
        return QVariant();
    return m_scopes.back().value(escapedKey(key));
}

std::optional<quint64> KeyedUnarchiver::checkedReference(const QVariant &reference)
{
    const quint64 index = reference.value<PropertyListUid>().value;
    if (index >= quint64(m_objects.size())) {
        fail(QStringLiteral("reference %1 lies outside the %2 entries of the object table").arg(index).arg(m_objects.size()));
        return std::nullopt;
    }
    return index;
}

QString KeyedUnarchiver::classNameOfEntry(const QVariantMap &entry)
{
    const QVariant reference = entry.value(kClassKeyText);
    if (!isUid(reference))
        return QString();
    const std::optional<quint64> index = checkedReference(reference);
    if (!index)
        return QString();
    const QVariant classEntry = m_objects.at(qsizetype(*index));
    const QVariant name = classEntry.toMap().value(kClassNameKeyText);
    if (classEntry.typeId() != QMetaType::QVariantMap || name.typeId() != QMetaType::QString) {
        fail(QStringLiteral("entry %1 is not a class description").arg(*index));
        return QString();
    }
    return name.toString();
}

bool KeyedUnarchiver::consumeStep()
{
    if (m_remainingSteps == 0) {
        fail(QStringLiteral("entries refer to each other more often than an archive of %1 entries can").arg(m_objects.size()));
        return false;
    }
    --m_remainingSteps;
    return true;
}

QVariant KeyedUnarchiver::decodeValueAt(quint64 index, int depth)
{
    if (m_error || index == 0)
        return QVariant();
    // Plain entries are their own value and cost the same however often they are referred to:
    // they are neither counted nor kept a second time.
    const QVariant &entry = m_objects.at(qsizetype(index));
    if (isPlainEntry(entry)) {
        m_lastExpandedSize = 1;
        return entry;
    }
    if (m_expandedSizes[index] != 0)
        return m_decodedValues[index];
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
    if (entry.typeId() != QMetaType::QVariantMap) {
        fail(QStringLiteral("entry %1 holds %2").arg(index).arg(describe(entry)));
        return QVariant();
    }
    m_lastExpandedSize = 1;
    m_entriesInProgress[index] = true;
    QVariant value = decodeContainer(index, *static_cast<const QVariantMap *>(entry.constData()), depth);
    m_entriesInProgress[index] = false;
    if (m_error)
        return QVariant();
    m_decodedValues[index] = value;
    m_expandedSizes[index] = std::max<quint64>(m_lastExpandedSize, 1);
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

QVariant KeyedUnarchiver::decodeContainer(quint64 index, const QVariantMap &entry, int depth)
{
    const QString className = classNameOfEntry(entry);
    if (className == kArrayClass || className == kMutableArrayClass)
        return decodeList(entry, depth);
    if (className == kDictionaryClass || className == kMutableDictionaryClass)
        return decodeMap(entry, depth);
    if (className == kDateClass) {
        const QVariant time = entry.value(kTimeKeyText);
        const double seconds = time.toDouble();
        if ((time.typeId() != QMetaType::Double && time.typeId() != QMetaType::LongLong) || !std::isfinite(seconds) ||
            std::fabs(seconds) > kMaxDateSeconds) {
            fail(QStringLiteral("entry %1 is not a readable date").arg(index));
            return QVariant();
        }
        return QDateTime::fromMSecsSinceEpoch(kReferenceDateMs + std::llround(seconds * 1000.0), Qt::UTC);
    }
    if (className == kInt32Class) {
        const QVariant number = entry.value(kIntValueKeyText);
        const qint64 value = number.toLongLong();
        if (number.typeId() != QMetaType::LongLong || value < std::numeric_limits<qint32>::min() ||
            value > std::numeric_limits<qint32>::max()) {
            fail(QStringLiteral("entry %1 is not a 32-bit integer").arg(index));
            return QVariant();
        }
        return QVariant(qint32(value));
    }
    if (className.isEmpty())
        fail(QStringLiteral("entry %1 has no class").arg(index));
    else
        fail(QStringLiteral("entry %1 holds an object of class %2, not a value").arg(index).arg(className));
    return QVariant();
}

QVariant KeyedUnarchiver::decodeList(const QVariantMap &entry, int depth)
{
    const QVariant references = entry.value(kObjectsKeyText);
    if (references.typeId() != QMetaType::QVariantList) {
        fail(QStringLiteral("a list has no \"NS.objects\""));
        return QVariant();
    }
    QVariantList list;
    const QVariantList items = references.toList();
    list.reserve(items.size());
    quint64 total = 1;
    for (const QVariant &item : items) {
        if (!isUid(item)) {
            fail(QStringLiteral("a list holds %1 in place of a reference").arg(describe(item)));
            return QVariant();
        }
        const std::optional<quint64> index = checkedReference(item);
        if (!index)
            return QVariant();
        list.append(decodeValueAt(*index, depth + 1));
        if (m_error || !addExpandedSize(total, *index))
            return QVariant();
    }
    m_lastExpandedSize = total;
    return list;
}

QVariant KeyedUnarchiver::decodeMap(const QVariantMap &entry, int depth)
{
    const QVariant keyReferences = entry.value(kKeysKeyText);
    const QVariant valueReferences = entry.value(kObjectsKeyText);
    const QVariantList keys = keyReferences.toList();
    const QVariantList values = valueReferences.toList();
    if (keyReferences.typeId() != QMetaType::QVariantList || valueReferences.typeId() != QMetaType::QVariantList ||
        keys.size() != values.size()) {
        fail(QStringLiteral("a dictionary has unmatched \"NS.keys\" and \"NS.objects\""));
        return QVariant();
    }
    QVariantMap map;
    quint64 total = 1;
    for (qsizetype position = 0; position < keys.size(); ++position) {
        if (!isUid(keys.at(position)) || !isUid(values.at(position))) {
            fail(QStringLiteral("a dictionary holds a key or value in place of a reference"));
            return QVariant();
        }
        const std::optional<quint64> keyIndex = checkedReference(keys.at(position));
        const std::optional<quint64> valueIndex = keyIndex ? checkedReference(values.at(position)) : std::nullopt;
        if (!valueIndex)
            return QVariant();
        const QVariant key = decodeValueAt(*keyIndex, depth + 1);
        if (key.typeId() != QMetaType::QString) {
            if (!m_error)
                fail(QStringLiteral("a dictionary key is %1, not a text").arg(describe(key)));
            return QVariant();
        }
        // Archives list a dictionary's keys sorted, so the end is nearly always the right place.
        map.insert(map.cend(), key.toString(), decodeValueAt(*valueIndex, depth + 1));
        if (m_error || !addExpandedSize(total, *valueIndex))
            return QVariant();
    }
    m_lastExpandedSize = total;
    return map;
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
    const std::optional<quint64> index = checkedReference(raw);
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
    const QVariant &entry = m_objects.at(qsizetype(*index));
    if (entry.typeId() != QMetaType::QVariantMap) {
        fail(QStringLiteral("key \"%1\" holds %2, not an object of class %3").arg(key, describe(entry), className));
        return false;
    }
    const QVariantMap fields = entry.toMap();
    const QString storedName = classNameOfEntry(fields);
    if (m_error)
        return false;
    if (storedName != className) {
        fail(QStringLiteral("key \"%1\" holds an object of class \"%2\", not %3").arg(key, storedName, className));
        return false;
    }
    m_entriesInProgress[*index] = true;
    m_scopes.push_back(fields);
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
