#include "sync/HMDataConfigurationSource.h"

#include "foundation/GlobalVariables.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSString+stripHtml.h"
#include "platform/foundation/LockedField.h"
#include "sync/HMData.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncConduitData.h"

#include <QHash>

#include <array>
#include <optional>

namespace {

// The push channel's host, a fixed host of the cloud service.
const QString kPushHostName = QStringLiteral("push.quillnest.com");

struct Registry
{
    std::mutex mutex;
    QHash<QString, HMDataConfigurationSource::DataSourceFactory> factories;
    HMDataConfigurationSource::OutlookRecordCounter outlookCounter;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

std::shared_ptr<HMData> makeDataSource(const QString &className)
{
    HMDataConfigurationSource::DataSourceFactory factory;
    {
        const std::lock_guard lock(registry().mutex);
        factory = registry().factories.value(className);
    }
    return factory ? factory() : nullptr;
}

bool isOutlookContactManager(quint64 contactManager)
{
    return contactManager == quint64(HMContactManager::Outlook14) || contactManager == quint64(HMContactManager::Outlook15);
}

// The data source class of each conduit, in the order of the profile's conduit table.
constexpr std::array<const char *, kProfileConduitCount> kConduitDataClasses{"HMContactData", "HMCalendarData",
                                                                             "HMTaskData", "HMMemoData"};

// The profile's entry of a sync conduit, numbered from 1 in the table's order; none for another number.
std::optional<HMProfileConduit> profileConduitOf(quint64 conduit)
{
    if (conduit < 1 || conduit > kProfileConduitCount)
        return std::nullopt;
    return HMProfileConduit(conduit - 1);
}

} // namespace

HMDataConfigurationSource::HMDataConfigurationSource(std::shared_ptr<HMProfileManager> profileManager,
                                                     std::shared_ptr<HMProfile> profile)
    : m_profileManager(std::move(profileManager)), m_profile(std::move(profile))
{
}

std::shared_ptr<HMProfileManager> HMDataConfigurationSource::profileManager() const
{
    return platform::lockedCopy(m_referencesMutex, m_profileManager);
}

void HMDataConfigurationSource::setProfileManager(std::shared_ptr<HMProfileManager> profileManager)
{
    platform::lockedAssign(m_referencesMutex, m_profileManager, std::move(profileManager));
}

std::shared_ptr<HMProfile> HMDataConfigurationSource::profile() const
{
    return platform::lockedCopy(m_referencesMutex, m_profile);
}

void HMDataConfigurationSource::setProfile(std::shared_ptr<HMProfile> profile)
{
    platform::lockedAssign(m_referencesMutex, m_profile, std::move(profile));
}

void HMDataConfigurationSource::registerDataSourceClass(const QString &className, DataSourceFactory factory)
{
    const std::lock_guard lock(registry().mutex);
    if (factory)
        registry().factories.insert(className, std::move(factory));
    else
        registry().factories.remove(className);
}

std::shared_ptr<HMData> HMDataConfigurationSource::makeDataSourceOfClass(const QString &className)
{
    return makeDataSource(className);
}

void HMDataConfigurationSource::setOutlookRecordCounter(OutlookRecordCounter counter)
{
    const std::lock_guard lock(registry().mutex);
    registry().outlookCounter = std::move(counter);
}

QString HMDataConfigurationSource::configurationId() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current ? current->filename() : QString();
}

QVariant HMDataConfigurationSource::backgroundSyncInterval() const
{
    const std::shared_ptr<HMProfile> current = profile();
    if (!current || !current->backgroundSyncEnabled())
        return {};
    bool isNumber = false;
    const qint64 code = current->backgroundSyncInterval().toLongLong(&isNumber);
    return isNumber ? QVariant(code * 60) : QVariant();
}

bool HMDataConfigurationSource::usePushNotifications() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current && current->pushNotificationsEnabled();
}

quint64 HMDataConfigurationSource::deviceType() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current ? quint64(current->deviceType()) : 0;
}

quint64 HMDataConfigurationSource::syncMethod() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current ? quint64(current->syncMethod()) : 0;
}

quint64 HMDataConfigurationSource::contactManager() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current ? quint64(current->contactManager()) : 0;
}

bool HMDataConfigurationSource::rereadDeviceOnNextSync() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current && current->rereadDeviceOnNextSync();
}

bool HMDataConfigurationSource::rereadAppleOnNextSync() const
{
    const std::shared_ptr<HMProfile> current = profile();
    return current && current->rereadAppleOnNextSync();
}

void HMDataConfigurationSource::setRereadDeviceOnNextSync(bool reread)
{
    if (const std::shared_ptr<HMProfile> current = profile())
        current->setRereadDeviceOnNextSync(reread);
}

void HMDataConfigurationSource::setRereadAppleOnNextSync(bool reread)
{
    if (const std::shared_ptr<HMProfile> current = profile())
        current->setRereadAppleOnNextSync(reread);
}

bool HMDataConfigurationSource::saveConfigurationChanges()
{
    const std::shared_ptr<HMProfile> current = profile();
    const std::shared_ptr<HMProfileManager> manager = profileManager();
    if (!current || !manager) {
        DDLogError(QStringLiteral("The profile cannot be saved: the configuration has no profile or no profile manager"));
        return false;
    }
    return manager->saveProfile(*current);
}

bool HMDataConfigurationSource::isConduitPurging(quint64 conduit) const
{
    const std::shared_ptr<HMProfile> current = profile();
    const std::optional<HMProfileConduit> entry = profileConduitOf(conduit);
    return current && entry && current->conduitSettings(*entry).purgeOnNextSync;
}

void HMDataConfigurationSource::setConduitPurging(quint64 conduit, bool isPurging)
{
    const std::shared_ptr<HMProfile> current = profile();
    if (const std::optional<HMProfileConduit> entry = profileConduitOf(conduit); current && entry)
        current->setPurgeOnNextSync(*entry, isPurging);
}

QVariant HMDataConfigurationSource::settingValueForSetting(qint64 setting) const
{
    const std::shared_ptr<HMProfile> current = profile();
    if (!current)
        return {};
    const HMProfile &p = *current;
    switch (setting) {
    case 1:
        return QStringLiteral("10.x");
    case 2:
        return QStringLiteral("5.x");
    case 4:
    case 15:
        return p.hhUserId();
    case 5:
    case 19:
    case 20:
        return p.hhPassword();
    case 6:
        return p.company();
    case 7:
        return p.pppDataPath();
    case 8:
        return p.pppLastFileUpdateTime();
    case 9:
        return qint64(p.lastUploadPacketNumber());
    case 10:
        return qint64(p.lastDownloadPacketNumber());
    case 11:
        return p.lastPacketNumberA();
    case 12:
        return p.lastPacketNumberD();
    case 13:
        return p.lastPacketNumberT();
    case 14:
        return p.lastPacketNumberM();
    case 16:
        return p.quillnestPassword();
    case 17:
    case 38:
        return p.filename();
    case 21:
        return p.hhIpAddress();
    case 35:
        return kPushHostName;
    case 36: {
        QString user = p.hhUserId();
        return QStringLiteral("%1@localhost").arg(user.replace(QLatin1Char('@'), QLatin1Char('#')));
    }
    case 37:
        return md5(p.hhPassword()).toLower();
    default:
        return {};
    }
}

QString HMDataConfigurationSource::stringValueForSetting(qint64 setting) const
{
    const QVariant value = settingValueForSetting(setting);
    switch (value.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toString();
    default:
        return QString(QLatin1String(""));
    }
}

void HMDataConfigurationSource::setSetting(qint64 setting, const QVariant &value)
{
    const std::shared_ptr<HMProfile> current = profile();
    if (!current)
        return;
    HMProfile &p = *current;
    switch (setting) {
    case 8:
        p.setPppLastFileUpdateTime(value.toString());
        return;
    case 9:
        p.setLastUploadPacketNumber(value.toInt());
        return;
    case 10:
        p.setLastDownloadPacketNumber(value.toInt());
        return;
    case 11:
        p.setLastPacketNumberA(value.toLongLong());
        return;
    case 12:
        p.setLastPacketNumberD(value.toLongLong());
        return;
    case 13:
        p.setLastPacketNumberT(value.toLongLong());
        return;
    case 14:
        p.setLastPacketNumberM(value.toLongLong());
        return;
    default:
        DDLogError(QStringLiteral("Unhandled HMSyncControllerSetting (%1) was set").arg(setting));
    }
}

void HMDataConfigurationSource::startProcessingSyncForConduitData(HMSyncConduitData &conduitData)
{
    const std::shared_ptr<HMProfile> current = profile();
    if (!current)
        return;
    const std::optional<HMProfileConduit> conduit = profileConduitOf(conduitData.conduit());
    if (!conduit)
        return;
    const HMProfileConduitSettings &settings = current->conduitSettings(*conduit);
    // Memos take part only with Outlook, the one contact manager that keeps them.
    const bool isMemos = *conduit == HMProfileConduit::Memos;
    const bool enabled =
        settings.syncEnabled && (!isMemos || current->contactManagerName().contains(QLatin1String("Outlook")));
    conduitData.setSyncEnabled(enabled);
    if (isMemos)
        DDLogVerbose(QStringLiteral("theSyncConduitData.syncEnabled %1").arg(int(enabled)));
    conduitData.setConduitDataClass(QLatin1String(kConduitDataClasses[size_t(*conduit)]));
    conduitData.setSyncDirection(quint64(settings.syncDirection));
    conduitData.setSyncDirectionName(settings.syncDirectionName);
    conduitData.setSyncDeletions(quint64(settings.syncDeletions));
    conduitData.setSyncDeletionsName(settings.syncDeletionsName);
    conduitData.setConflictSettingName(settings.conflictSettingName);
    conduitData.setConflictSetting(quint64(settings.conflictSetting));
    conduitData.setPurgeOnNextSync(settings.purgeOnNextSync);
    conduitData.setRereadAppleOnNextSync(current->rereadAppleOnNextSync());
    conduitData.setRereadDeviceOnNextSync(current->rereadDeviceOnNextSync());
    if (conduitData.conduit() == 2) {
        conduitData.setCategoryIdentifierToWriteTo(current->eventCalendarIdentifierToWriteTo());
        conduitData.setCategoryIdentifiersToSync(current->eventCalendarIdentifiersToSync());
    } else if (conduitData.conduit() == 3) {
        conduitData.setCategoryIdentifierToWriteTo(current->taskCalendarIdentifierToWriteTo());
        conduitData.setCategoryIdentifiersToSync(current->taskCalendarIdentifiersToSync());
    }
}

void HMDataConfigurationSource::prepareConduitDataForProcessing(HMSyncConduitData &conduitData)
{
    const quint64 conduit = conduitData.conduit();
    if (conduit < 1 || conduit > 4)
        return;
    const std::shared_ptr<HMData> dataSource = makeDataSource(conduitData.conduitDataClass());
    conduitData.setConduitData(dataSource);
    if (!dataSource) {
        DDLogError(QStringLiteral("No data source of class %1 is available").arg(conduitData.conduitDataClass()));
        return;
    }
    const std::shared_ptr<HMProfile> current = profile();
    const std::shared_ptr<HMIdentifierGraph> graph =
        current ? current->identifierGraphForConduit(conduitData.conduitShortIdentifierString()) : nullptr;
    if (current && !graph && !GlobalVariables::getIsOutlookSync()) {
        // Without its graph the conduit cannot tell its records from new ones and would double them.
        DDLogError(QStringLiteral("The identifier graph of conduit %1 could not be read or set aside")
                       .arg(conduitData.conduitShortIdentifierString()));
        conduitData.setConduitData(nullptr);
        return;
    }
    dataSource->setIdentifierGraph(graph);
    conduitData.setLastSyncDate(graph ? graph->lastSyncDate() : QDateTime());
    dataSource->setCategoryIdentifiersToSync(conduitData.categoryIdentifiersToSync());
    dataSource->setCategoryIdentifierToWriteTo(conduitData.categoryIdentifierToWriteTo());
}

bool HMDataConfigurationSource::saveProgressForConduitData(HMSyncConduitData &conduitData)
{
    const std::shared_ptr<HMData> dataSource = conduitData.conduitData();
    const std::shared_ptr<HMIdentifierGraph> graph = dataSource ? dataSource->identifierGraph() : nullptr;
    const QString letter = conduitData.conduitShortIdentifierString();
    const std::shared_ptr<HMProfile> current = profile();
    if (!graph || letter == QLatin1String("-") || !current)
        return true;
    // Per page only the page's changes are written, to the journal beside the graph file.
    if (HMProfileManager::journalIdentifier(*graph, *current, letter))
        return true;
    DDLogError(QStringLiteral("The identifier graph of conduit %1 was not saved").arg(letter));
    return false;
}

void HMDataConfigurationSource::finishIdentifierGraph(const HMSyncConduitData &conduitData,
                                                      const HMIdentifierGraph &graph)
{
    const QString letter = conduitData.conduitShortIdentifierString();
    const std::shared_ptr<HMProfile> current = profile();
    if (letter == QLatin1String("-") || !current)
        return;
    // The run's date goes to the journal, which is folded into the graph file once it has grown long.
    if (!HMProfileManager::finishIdentifier(graph, *current, letter))
        DDLogError(QStringLiteral("The identifier graph of conduit %1 was not saved").arg(letter));
}

void HMDataConfigurationSource::cleanupConduitDataAfterProcessing(HMSyncConduitData &conduitData)
{
    const quint64 conduit = conduitData.conduit();
    if (conduit < 1 || conduit > 4)
        return;
    const QDateTime startDate = conduitData.syncStartDate();
    DDLogVerbose(QStringLiteral("theSyncConduitData.syncStartDate %1").arg(startDate.toString(Qt::ISODateWithMs)));
    const std::shared_ptr<HMData> dataSource = conduitData.conduitData();
    const std::shared_ptr<HMIdentifierGraph> graph = dataSource ? dataSource->identifierGraph() : nullptr;
    if (graph) {
        graph->setLastSyncDate(startDate);
        finishIdentifierGraph(conduitData, *graph);
        conduitData.setAppleRecordCount(graph->count());
    }
    if (dataSource)
        conduitData.setCategoryIdentifiersToSync(dataSource->categoryIdentifiersToSync());
    conduitData.setConduitData(nullptr);
    conduitData.setLastSyncDate(startDate);
}

void HMDataConfigurationSource::finishedProcessingSyncForConduitData(HMSyncConduitData &conduitData)
{
    const std::shared_ptr<HMProfile> current = profile();
    const quint64 conduit = conduitData.conduit();
    const std::optional<HMProfileConduit> entry = profileConduitOf(conduit);
    if (!current || !entry || !conduitData.syncEnabled())
        return;
    HMProfile &p = *current;
    if (conduitData.purgeOnNextSync())
        setConduitPurging(conduit, false);

    // A conduit that never reached its clean-up has no date of this run: its previous date stays, so
    // the next run still reads every change since then.
    const QDateTime lastSync = conduitData.lastSyncDate();
    qint64 count = conduitData.appleRecordCount();
    if (isOutlookContactManager(quint64(p.contactManager()))) {
        OutlookRecordCounter counter;
        {
            const std::lock_guard lock(registry().mutex);
            counter = registry().outlookCounter;
        }
        static const char *const names[] = {"Contacts", "Calendar", "Tasks", "Memos"};
        if (counter)
            count = counter(QLatin1String(names[conduit - 1]));
    }
    if (lastSync.isValid())
        p.setLastSyncDate(*entry, lastSync);
    p.setCount(*entry, count);
    if (*entry == HMProfileConduit::Calendar)
        p.setEventCalendarIdentifiersToSync(conduitData.categoryIdentifiersToSync());
    else if (*entry == HMProfileConduit::Tasks)
        p.setTaskCalendarIdentifiersToSync(conduitData.categoryIdentifiersToSync());
}
