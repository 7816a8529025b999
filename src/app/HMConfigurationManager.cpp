#include "app/HMConfigurationManager.h"

#include "foundation/HMFileManager.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/PropertyList.h"
#include "sync/HMConfiguration.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kConfigurationFileName = QStringLiteral("HMConfiguration.plist");
const QString kHmVersionKey = QStringLiteral("hmVersion");
const QString kRunInBackgroundKey = QStringLiteral("runInBackground");
const QString kLastRunDateKey = QStringLiteral("lastRunDate");
// A configuration file is three values; anything much larger is not ours.
constexpr qint64 kMaxConfigurationFileBytes = 64 * 1024;

} // namespace

std::shared_ptr<HMConfiguration> HMConfigurationManager::defaultConfiguration()
{
    return std::make_shared<HMConfiguration>();
}

QString HMConfigurationManager::configurationFilePath()
{
    return QDir(HMFileManager::dataStorageURL().toLocalFile()).filePath(kConfigurationFileName);
}

std::shared_ptr<HMConfiguration> HMConfigurationManager::configurationFileForCurrentApplication()
{
    const QString path = configurationFilePath();
    const QFileInfo info(path);
    if (!info.exists())
        return nullptr;
    if (!info.isFile() || info.isSymLink() || info.size() > kMaxConfigurationFileBytes) {
        DDLogError(QStringLiteral("%1: not a configuration file; the default configuration is used").arg(path));
        return nullptr;
    }
    const platform::Result<QVariantMap> stored = platform::readPropertyListDictionary(path);
    if (!stored) {
        DDLogError(QStringLiteral("%1; the default configuration is used").arg(stored.error().message()));
        return nullptr;
    }
    auto configuration = std::make_shared<HMConfiguration>();
    bool isNumber = false;
    const qulonglong version = stored->value(kHmVersionKey).toULongLong(&isNumber);
    if (isNumber)
        configuration->setHmVersion(version);
    configuration->setRunInBackground(stored->value(kRunInBackgroundKey).toBool());
    const QVariant lastRun = stored->value(kLastRunDateKey);
    if (lastRun.typeId() == QMetaType::QDateTime)
        configuration->setLastRunDate(lastRun.toDateTime());
    return configuration;
}

platform::Status HMConfigurationManager::saveConfigurationFileForCurrentApplication(const HMConfiguration &configuration)
{
    QVariantMap stored{{kHmVersionKey, qint64(configuration.hmVersion())},
                       {kRunInBackgroundKey, configuration.runInBackground()}};
    if (configuration.lastRunDate().isValid())
        stored.insert(kLastRunDateKey, configuration.lastRunDate().toUTC());
    return platform::writePropertyList(configurationFilePath(), stored);
}
