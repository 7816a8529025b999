#include "platform/foundation/Bundle.h"

#include "platform/foundation/LocalizedStrings.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <mutex>

#ifndef HM_SHORT_VERSION
#error "the build must define HM_SHORT_VERSION"
#endif
#ifndef HM_BUILD_VERSION
#error "the build must define HM_BUILD_VERSION"
#endif
#ifndef HM_SOURCE_RESOURCES_DIR
#error "the build must define HM_SOURCE_RESOURCES_DIR"
#endif

namespace platform {

namespace {

constexpr QLatin1String kTableFileName("Localizable.strings");

// The folder of the running executable, resolved once: the executable does not move under a running
// process, and resolving its link takes several system calls that every localised text would repeat.
const QString &executableFolder()
{
    // The kernel's link names the running executable even before (or without) a QCoreApplication.
    static const QString s_folder =
        QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
    return s_folder;
}

// Language folders to try, best first: "de-DE", "de_DE", "de", then English.
QStringList languageFolders()
{
    QStringList folders;
    const QStringList languages = QLocale::system().uiLanguages();
    for (const QString &language : languages) {
        const QString underscored = QString(language).replace(QLatin1Char('-'), QLatin1Char('_'));
        const QString base = language.section(QLatin1Char('-'), 0, 0);
        for (const QString &name : {language, underscored, base}) {
            if (!name.isEmpty() && name != QLatin1String("C") && !folders.contains(name))
                folders.append(name);
        }
    }
    if (!folders.contains(QStringLiteral("en")))
        folders.append(QStringLiteral("en"));
    return folders;
}

struct TableCache
{
    std::mutex mutex;
    QHash<QString, LocalizedStrings> tables; // by path, guarded by mutex
};

TableCache &tableCache()
{
    // Never destroyed: texts may still be looked up on worker threads while the process exits.
    static auto *s_cache = new TableCache;
    return *s_cache;
}

} // namespace

QString Bundle::bundleIdentifier()
{
    return QStringLiteral("com.harrowmere.Harrowmere");
}

QString Bundle::displayName()
{
    return QStringLiteral("Harrowmere");
}

QString Bundle::shortVersion()
{
    return QStringLiteral(HM_SHORT_VERSION);
}

QString Bundle::buildVersion()
{
    return QStringLiteral(HM_BUILD_VERSION);
}

QVariantMap Bundle::infoDictionary()
{
    return {{QStringLiteral("CFBundleIdentifier"), bundleIdentifier()},
            {QStringLiteral("CFBundleName"), displayName()},
            {QStringLiteral("CFBundleShortVersionString"), shortVersion()},
            {QStringLiteral("CFBundleVersion"), buildVersion()}};
}

QVariant Bundle::objectForInfoDictionaryKey(const QString &key)
{
    return infoDictionary().value(key);
}

QString Bundle::resourcePath()
{
    const QString fromEnvironment = qEnvironmentVariable("HM_RESOURCES_DIR");
    if (!fromEnvironment.isEmpty())
        return QDir(fromEnvironment).absolutePath();
    const QString besideExecutable = executableFolder() + QStringLiteral("/resources");
    if (QFileInfo(besideExecutable).isDir())
        return besideExecutable;
    return QStringLiteral(HM_SOURCE_RESOURCES_DIR);
}

QString Bundle::localizedStringsPath()
{
    const QDir resources(resourcePath());
    const QStringList folders = languageFolders();
    for (const QString &language : folders) {
        const QString path = resources.filePath(language + QStringLiteral(".lproj/") + kTableFileName);
        if (QFileInfo::exists(path))
            return path;
    }
    return resources.filePath(QStringLiteral("en.lproj/") + kTableFileName);
}

QString Bundle::localizedString(const QString &key, const QString &defaultValue)
{
    const QString path = localizedStringsPath();
    TableCache &cache = tableCache();
    {
        const std::lock_guard lock(cache.mutex);
        const auto found = cache.tables.constFind(path);
        if (found != cache.tables.cend())
            return found->value(key, defaultValue);
    }
    // Read outside the lock; two threads may both read a table the first time, which is harmless.
    const LocalizedStrings table = LocalizedStrings::load(path);
    {
        const std::lock_guard lock(cache.mutex);
        cache.tables.insert(path, table);
    }
    return table.value(key, defaultValue);
}

} // namespace platform
