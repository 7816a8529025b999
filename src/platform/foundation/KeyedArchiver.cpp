#include "platform/foundation/KeyedArchiver.h"

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/PropertyListBinary.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

using namespace keyedarchive;

namespace {

// The archive's own keys and class names as texts, made once: every list and dictionary entry of
// a large archive holds them, and one shared text per name costs no allocation per entry.
const QString kClassKeyText{kClassKey};
const QString kObjectsEntryKeyText{kObjectsEntryKey};
const QString kKeysEntryKeyText{kKeysEntryKey};
const QString kArrayClassText{kArrayClass};
const QString kDictionaryClassText{kDictionaryClass};

QVariant uid(quint64 index)
{
    return QVariant::fromValue(PropertyListUid{index});
}

// Keys of the archive's own start with "$"; a caller's key that does too gets one more in front.
QString escapedKey(const QString &key)
{
    return key.startsWith(QLatin1Char('$')) ? QLatin1Char('$') + key : key;
}

} // namespace

KeyedArchiver::KeyedArchiver()
{
    m_objects.append(QString(kNull));
    m_scopes.emplace_back();
}

void KeyedArchiver::encodeObject(const QVariant &value, const QString &key)
{
    if (!canEncode())
        return;
    const std::optional<quint64> index = encodeValue(value, int(m_scopes.size()));
    if (!index) {
        if (m_error)
            m_error = m_error->withContext(QStringLiteral("key \"%1\"").arg(key));
        return;
    }
    store(key, uid(*index));
}

void KeyedArchiver::encodeObject(const KeyedArchivable &object, const QString &key)
{
    if (!canEncode())
        return;
    if (std::find(m_objectsInProgress.begin(), m_objectsInProgress.end(), &object) != m_objectsInProgress.end())
        return fail(QStringLiteral("object of class %1 under key \"%2\" contains itself").arg(object.archiveClassName(), key));
    if (m_scopes.size() > size_t(kMaxDepth))
        return fail(QStringLiteral("objects nest deeper than %1 levels at key \"%2\"").arg(kMaxDepth).arg(key));
    // The object's entry comes before those of its contents, as readers of such archives expect.
    const quint64 index = appendObject(QVariant());
    m_scopes.emplace_back();
    m_objectsInProgress.push_back(&object);
    object.encodeWithCoder(*this);
    m_objectsInProgress.pop_back();
    QVariantMap entry = std::move(m_scopes.back());
    m_scopes.pop_back();
    entry.insert(kClassKeyText, uid(classUid(object.archiveClassName())));
    m_objects[index] = entry;
    store(key, uid(index));
}

void KeyedArchiver::encodeObject(const KeyedArchivable *object, const QString &key)
{
    if (object)
        encodeObject(*object, key);
}

void KeyedArchiver::encodeBool(bool value, const QString &key)
{
    store(key, value);
}

void KeyedArchiver::encodeInt32(qint32 value, const QString &key)
{
    store(key, qint64(value));
}

void KeyedArchiver::encodeInt64(qint64 value, const QString &key)
{
    store(key, value);
}

void KeyedArchiver::encodeDouble(double value, const QString &key)
{
    store(key, value);
}

Result<QByteArray> KeyedArchiver::finishEncoding()
{
    if (m_error)
        return *m_error;
    if (m_finished)
        return Error(ErrorCode::DataOther, QStringLiteral("the keyed archive was already finished"));
    m_finished = true;
    QVariantMap archive;
    archive.insert(QString(kArchiverKey), QString(kArchiverName));
    archive.insert(QString(kVersionKey), kVersion);
    archive.insert(QString(kTopKey), m_scopes.front());
    archive.insert(QString(kObjectsKey), m_objects);
    return serializePropertyList(archive, m_format);
}

Result<QByteArray> KeyedArchiver::archivedDataWithRootObject(const QVariant &root, PropertyListFormat format)
{
    KeyedArchiver archiver;
    archiver.setOutputFormat(format);
    archiver.encodeObject(root, QString(kDefaultRootKey));
    return archiver.finishEncoding();
}

void KeyedArchiver::fail(const QString &message)
{
    if (!m_error)
        m_error = Error(ErrorCode::DataMalformed, message);
}

void KeyedArchiver::store(const QString &key, const QVariant &entry)
{
    if (canEncode())
        m_scopes.back().insert(escapedKey(key), entry);
}

quint64 KeyedArchiver::appendObject(const QVariant &entry)
{
    m_objects.append(entry);
    return quint64(m_objects.size() - 1);
}

// Equal texts are stored once: dictionary keys repeat in every record of a list.
quint64 KeyedArchiver::stringUid(const QString &text)
{
    const TextNumbering::Number number = m_stringUids.numberOf(text, quint64(m_objects.size()));
    if (number.isNew)
        appendObject(text);
    return number.value;
}

quint64 KeyedArchiver::classUid(const QString &className)
{
    const auto found = m_classUids.constFind(className);
    if (found != m_classUids.constEnd())
        return *found;
    QVariantMap entry;
    entry.insert(QString(kClassNameKey), className);
    entry.insert(QString(kClassesKey), QStringList{className, QString(kRootObjectClass)});
    const quint64 index = appendObject(entry);
    m_classUids.insert(className, index);
    return index;
}

std::optional<quint64> KeyedArchiver::encodeValue(const QVariant &value, int depth)
{
    if (depth > kMaxDepth) {
        fail(QStringLiteral("values nest deeper than %1 levels").arg(kMaxDepth));
        return std::nullopt;
    }
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return 0;
    case QMetaType::QString:
        if (value.toString().isNull())
            return 0;
        if (value.toString().contains(QChar(u'\0'))) {
            fail(QStringLiteral("text \"%1\" holds a NUL character").arg(value.toString().left(40)));
            return std::nullopt;
        }
        return stringUid(value.toString());
    case QMetaType::Bool:
        return appendObject(value.toBool());
    case QMetaType::Int: {
        QVariantMap entry;
        entry.insert(kClassKeyText, uid(classUid(QString(kInt32Class))));
        entry.insert(QString(kIntValueKey), qint64(value.toInt()));
        return appendObject(entry);
    }
    case QMetaType::ULongLong:
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max())) {
            fail(QStringLiteral("integer %1 does not fit 64 signed bits").arg(value.toULongLong()));
            return std::nullopt;
        }
        return appendObject(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return appendObject(value.toDouble());
    case QMetaType::QByteArray:
        return appendObject(value.toByteArray());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (!date.isValid())
            return 0;
        QVariantMap entry;
        entry.insert(kClassKeyText, uid(classUid(QString(kDateClass))));
        entry.insert(QString(kTimeKey), double(date.toMSecsSinceEpoch() - kReferenceDateMs) / 1000.0);
        return appendObject(entry);
    }
    // QVariant converts a text list to a list of texts and a hash to a sorted map itself.
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return encodeList(value.toList(), depth);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return encodeMap(value.toMap(), depth);
    default:
        // The other integer types; a 32-bit int and an unsigned 64-bit one were taken above.
        if (binaryplist::isIntegerType(value.typeId()))
            return appendObject(value.toLongLong());
        fail(QStringLiteral("a keyed archive cannot hold a value of type %1").arg(QString::fromLatin1(value.typeName())));
        return std::nullopt;
    }
}

std::optional<quint64> KeyedArchiver::encodeList(const QVariantList &list, int depth)
{
    const quint64 index = appendObject(QVariant());
    QVariantList references;
    references.reserve(list.size());
    for (const QVariant &item : list) {
        const std::optional<quint64> child = encodeValue(item, depth + 1);
        if (!child)
            return std::nullopt;
        references.append(uid(*child));
    }
    QVariantMap entry;
    entry.insert(kClassKeyText, uid(classUid(kArrayClassText)));
    entry.insert(kObjectsEntryKeyText, references);
    m_objects[qsizetype(index)] = entry;
    return index;
}

std::optional<quint64> KeyedArchiver::encodeMap(const QVariantMap &map, int depth)
{
    const quint64 index = appendObject(QVariant());
    QVariantList keys;
    QVariantList values;
    keys.reserve(map.size());
    values.reserve(map.size());
    for (auto item = map.constBegin(); item != map.constEnd(); ++item) {
        const std::optional<quint64> key = encodeValue(item.key(), depth + 1);
        if (!key)
            return std::nullopt;
        const std::optional<quint64> child = encodeValue(item.value(), depth + 1);
        if (!child) {
            if (m_error)
                m_error = m_error->withContext(QStringLiteral("dictionary key \"%1\"").arg(item.key()));
            return std::nullopt;
        }
        keys.append(uid(*key));
        values.append(uid(*child));
    }
    QVariantMap entry;
    entry.insert(kClassKeyText, uid(classUid(kDictionaryClassText)));
    entry.insert(kKeysEntryKeyText, keys);
    entry.insert(kObjectsEntryKeyText, values);
    m_objects[qsizetype(index)] = entry;
    return index;
}

} // namespace platform
