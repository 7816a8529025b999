#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Values.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>


namespace platform {

namespace {

// The application's bundle identifier, which names the defaults file.
constexpr char kDefaultsBundleIdentifier[] = "com.harrowmere.Harrowmere";
// Preferences are a few kilobytes; a larger file is not ours and is set aside unread.
constexpr qint64 kMaxDefaultsFileBytes = 4LL * 1024 * 1024;

} // namespace

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(const QString &path) : m_path(path)
{
    load();
}

UserDefaults::~UserDefaults()
{
    // Changes nobody synchronised are kept rather than lost; a failure here has nobody to tell.
    if (!m_path.isEmpty() && m_hasUnsavedChanges)
        static_cast<void>(synchronize());
}

UserDefaults &UserDefaults::standardUserDefaults()
{
    static UserDefaults s_standard(standardDefaultsPath());
    return s_standard;
}

QString UserDefaults::standardDefaultsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') +
           QLatin1String(kDefaultsBundleIdentifier) + QStringLiteral(".plist");
}

QVariant UserDefaults::objectForKey(const QString &key) const
{
    const QMutexLocker locker(&m_mutex);
    return m_values.value(key);
}

QString UserDefaults::stringForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::QString || (isNumber(value) && !isBoolean(value)))
        return value.toString();
    return QString();
}

qint64 UserDefaults::integerForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? 1 : 0;
    if (value.typeId() == QMetaType::Double) {
        const double real = value.toDouble();
        if (!(real > -9.2e18 && real < 9.2e18))
            return 0;
        return qint64(real);
    }
    if (isNumber(value))
        return value.toLongLong();
    if (value.typeId() == QMetaType::QString)
        return integerValueOfText(value.toString());
    return 0;
}

bool UserDefaults::boolForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (isNumber(value))
        return value.toDouble() != 0.0;
    if (value.typeId() == QMetaType::QString)
        return boolValueOfText(value.toString());
    return false;
}

QDateTime UserDefaults::dateForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return value.typeId() == QMetaType::QDateTime ? value.toDateTime() : QDateTime();
}

QVariantMap UserDefaults::dictionaryRepresentation() const
{
    const QMutexLocker locker(&m_mutex);
    return m_values;
}

bool UserDefaults::setObject(const QVariant &value, const QString &key)
{
    if (!value.isValid()) {
        removeObjectForKey(key);
        return true;
    }
    // A value set again as it stands leaves nothing to write.
    if (holds(key, value))
        return true;
    // Only what the file can hold is taken, so one bad value can never make every later
    // synchronize fail.
    if (!serializePropertyList(value, PropertyListFormat::Binary))
        return false;
    const QMutexLocker locker(&m_mutex);
    m_values.insert(key, value);
    m_hasUnsavedChanges = true;
    return true;
}

// The same type and an equal value: a number that became another type of number is a change.
bool UserDefaults::holds(const QString &key, const QVariant &value) const
{
    const QMutexLocker locker(&m_mutex);
    const auto known = m_values.constFind(key);
    return known != m_values.constEnd() && known->typeId() == value.typeId() && *known == value;
}

void UserDefaults::setInteger(qint64 value, const QString &key)
{
    static_cast<void>(setObject(value, key));
}

void UserDefaults::setBool(bool value, const QString &key)
{
    static_cast<void>(setObject(value, key));
}

void UserDefaults::removeObjectForKey(const QString &key)
{
    const QMutexLocker locker(&m_mutex);
    if (m_values.remove(key) > 0)
        m_hasUnsavedChanges = true;
}

Status UserDefaults::synchronize()
{
    if (m_path.isEmpty())
        return success();
    const QMutexLocker writeLocker(&m_writeMutex);
    QVariantMap snapshot;
    {
        const QMutexLocker locker(&m_mutex);
        if (!m_hasUnsavedChanges)
            return success();
        snapshot = m_values;
        m_hasUnsavedChanges = false;
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    // Preferences may name accounts and folders: the owner's only, whatever the umask.
    const Status written = writePropertyList(m_path, snapshot, PropertyListFormat::Xml, FilePermissions::OwnerOnly);
    if (!written) {
        const QMutexLocker locker(&m_mutex);
        m_hasUnsavedChanges = true;
    }
    return written;
}

std::optional<Error> UserDefaults::loadError() const
{
    const QMutexLocker locker(&m_mutex);
    return m_loadError;
}

void UserDefaults::load()
{
    // A write cut short by a crash leaves its temporary file beside the preferences.
    static_cast<void>(removeStaleTemporaryFiles(QFileInfo(m_path).absolutePath()));
    if (!QFileInfo::exists(m_path))
        return;
    Result<QVariantMap> values = readPropertyListDictionary(m_path, kMaxDefaultsFileBytes);
    if (values) {
        m_values = std::move(values).value();
        return;
    }
    m_loadError = values.error();
    // The unreadable file is kept for a person to look at instead of being overwritten.
    const QString damagedPath = m_path + QStringLiteral(".damaged");
    QFile::remove(damagedPath);
    QFile::rename(m_path, damagedPath);
}

} // namespace platform
