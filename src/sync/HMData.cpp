#include "sync/HMData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Identifiers.h"
#include "platform/foundation/TextClasses.h"
#include "sync/HMIdentifierGraph.h"

#include <algorithm>

namespace {

constexpr qsizetype kIdBatchSize = 100;
const QString kHmUidKey = QStringLiteral("hmUid");
const QString kDeviceIdFailed = QStringLiteral("FAIL");
// The core's own mark of an add sent but not yet answered (the graph counts the entries holding it).
// Data sources keep keys of their own in the same dictionaries (the reminders' "isNewRecord" among
// them), so this one must differ from all.
const QString kUnconfirmedAddKey = QStringLiteral("isUnconfirmedAdd");

QString notImplementedLine(const char *operation, const QString &className)
{
    return QStringLiteral("%1 not implemented by %2").arg(QLatin1String(operation), className);
}

// The index of the delimiter in the text regardless of case, searching from the given index.
qsizetype indexOfDelimiter(const QString &text, const QString &delimiter, qsizetype from)
{
    return text.indexOf(delimiter, from, Qt::CaseInsensitive);
}

} // namespace

HMData::HMData()
{
    m_recordsAddedToDevice.reserve(10);
    m_cleanUpObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMCleanUpAfterSync"), nullptr,
        [this](const platform::Notification &) { cleanUpAfterSync(); });
}

HMData::~HMData()
{
    // Stop hearing the notification before the members it could touch go away.
    m_cleanUpObserver.reset();
}

QString HMData::className() const
{
    return QStringLiteral("HMData");
}

void HMData::prepareForUseOnThread()
{
    DDLogVerbose(notImplementedLine("prepareForUseOnThread", className()));
}

void HMData::stopUsingOnThread()
{
    DDLogVerbose(notImplementedLine("stopUsingOnThread", className()));
}

void HMData::clearIdTable()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (graph)
        graph->clear();
}

QSet<QString> HMData::setOfHmUids()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? hmUidsOf(*graph) : QSet<QString>();
}

QStringList HMData::deviceConfirmedHmUidsMissingFrom(const QStringList &deviceIds)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? graph->confirmedHmUidsMissingFrom(deviceIds) : QStringList();
}

QSet<QString> HMData::hmUidsOf(const HMIdentifierGraph &graph)
{
    QSet<QString> hmUids;
    for (const HMIdentifierGraphEntry &entry : graph.entries()) {
        const QVariant hmUid = entry.valueOf(HMIdentifierGraphEntry::WellKnownKey::HmUid);
        if (hmUid.isValid() && !hmUid.isNull())
            hmUids.insert(hmUid.toString());
    }
    return hmUids;
}

bool HMData::hasUnconfirmedEntries(const HMIdentifierGraph &graph)
{
    return graph.hasUnconfirmedEntries();
}

bool HMData::hasUnconfirmedRecords()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph && hasUnconfirmedEntries(*graph);
}

bool HMData::hasUnsavedChanges()
{
    return true;
}

QString HMData::saveFailure() const
{
    return {};
}

void HMData::markUnconfirmed(QVariantMap &identifierDictionary)
{
    identifierDictionary.insert(kUnconfirmedAddKey, true);
}

void HMData::markConfirmed(QVariantMap &identifierDictionary)
{
    identifierDictionary.remove(kUnconfirmedAddKey);
}

bool HMData::isUnconfirmed(const QVariantMap &identifierDictionary)
{
    return HMIdentifierGraph::isUnconfirmedAdd(identifierDictionary);
}

platform::Status HMData::syncAppliedChangesToDisk()
{
    return platform::success();
}

void HMData::saveChanges()
{
    DDLogVerbose(notImplementedLine("saveChanges", className()));
}

std::optional<QList<HMSyncRecord>> HMData::syncRecordObjectsModifiedAfter(const QDateTime &, bool, const QSet<QString> &)
{
    DDLogError(notImplementedLine("syncRecordObjectsModifiedAfter:includeDeletes:andExcludeHmUids:", className()));
    return std::nullopt;
}

qint64 HMData::commandAction(qint32, quint64, quint64, const QVariantMap &, qint64)
{
    DDLogError(notImplementedLine("commandAction:forSyncMethod:withDictionary", className()));
    return 0;
}

qint64 HMData::outlookCommandAction(qint32, quint64, quint64, const QVariantMap &, qint64)
{
    DDLogError(notImplementedLine("commandAction:forSyncMethod:withDictionary", className()));
    return 0;
}

void HMData::deleteUidRecords(const QStringList &)
{
    DDLogError(notImplementedLine("deleteUidRecords:", className()));
}

void HMData::cleanUpAfterSync() {}

void HMData::reportIdProgress(qint64 position, qint64 total)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    sheet->setOverallMessageDirectly(QString(), total > 0 ? double(position) / double(total) : 0.0);
    sheet->setUserMessageDirectly(QStringLiteral("%1 of %2 id records updated.").arg(position).arg(total));
}

void HMData::updateOneTemporaryId(const QString &temporaryId, const QVariantMap &temporaryToDeviceIds)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return;
    const auto found = temporaryToDeviceIds.constFind(temporaryId);
    if (found == temporaryToDeviceIds.constEnd()) {
        DDLogInfo(QStringLiteral("Couldn't find a device id for temp id '%1' removing from id table").arg(temporaryId));
        graph->replaceDictionaryForHarrowmereUid(temporaryId, std::nullopt);
        return;
    }
    const QString deviceId = found->toString();
    if (deviceId == kDeviceIdFailed) {
        DDLogInfo(QStringLiteral("Removing '%1' from dictionary because it failed to insert.").arg(temporaryId));
        graph->replaceDictionaryForHarrowmereUid(temporaryId, std::nullopt);
        return;
    }
    DDLogInfo(QStringLiteral("Updating temp id '%1' to device id '%2'").arg(temporaryId, deviceId));
    std::optional<QVariantMap> updated = graph->dictionaryForHarrowmereUid(temporaryId);
    if (!updated)
        return;
    updated->insert(kHmUidKey, deviceId);
    markConfirmed(*updated);
    // Replaced where it stands: removing it by value and appending would walk the whole list.
    graph->replaceDictionaryForHarrowmereUid(temporaryId, updated);
}

void HMData::updateUidToDeviceIds(const QVariantMap &temporaryToDeviceIds)
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    const QStringList temporaryIds = recordsAddedToDevice();
    const qint64 total = temporaryIds.size();
    for (qsizetype index = 0; index < temporaryIds.size(); ++index) {
        reportIdProgress(index + 1, total);
        updateOneTemporaryId(temporaryIds.at(index), temporaryToDeviceIds);
    }
}

void HMData::updateUidToDeviceIdsUsingNewMethod(const QVariantMap &temporaryToDeviceIds)
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    qint64 total = 0;
    {
        const std::lock_guard lock(m_propertyMutex);
        total = m_recordsAddedToDevice.size();
    }
    // Each answer is matched to its record by the temporary id: an answer that leaves a record out
    // must not shift the ids of the records after it onto the wrong ones. Only the batch's answers
    // are walked and nothing of the whole list is copied, so a run's batches together take time
    // linear in its records.
    qint64 done = 0;
    for (auto answer = temporaryToDeviceIds.constBegin(); answer != temporaryToDeviceIds.constEnd(); ++answer) {
        if (!wasAddedToDevice(answer.key()))
            continue;
        reportIdProgress(++done, total);
        updateOneTemporaryId(answer.key(), temporaryToDeviceIds);
    }
}

void HMData::processDetailedUpdateCommandDictionaries(const QList<QVariantMap> &results)
{
    QStringList idsToDelete;
    for (const QVariantMap &result : results) {
        if (result.value(QStringLiteral("ResultKey")).toInt() == 0
            && result.value(QStringLiteral("ActionKey")).toInt() == 2)
            idsToDelete.append(result.value(QStringLiteral("IdKey")).toString());
    }
    deleteUidRecords(idsToDelete);
}

QVariantList HMData::nativeCategoryDictionariesForCategorySetting()
{
    DDLogError(QStringLiteral("nativeCategoryDictionariesForCategorySetting not implemented by %1").arg(className()));
    return {};
}

QVariantList HMData::nativeCategoryDictionariesForNewRecordSetting()
{
    DDLogError(QStringLiteral("nativeCategoryDictionariesForNewRecordSetting not implemented by %1").arg(className()));
    return {};
}

bool HMData::checkNativeCategorySetting(const QString &)
{
    DDLogError(QStringLiteral("checkNativeCategorySetting: not implemented by %1").arg(className()));
    return false;
}

bool HMData::checkNativeCategoryNewRecordSetting(const QString &)
{
    DDLogError(QStringLiteral("checkNativeCategoryNewRecordSetting: not implemented by %1").arg(className()));
    return false;
}

std::shared_ptr<HMIdentifierGraph> HMData::identifierGraph() const
{
    const std::lock_guard lock(m_propertyMutex);
    return m_identifierGraph;
}

void HMData::setIdentifierGraph(std::shared_ptr<HMIdentifierGraph> graph)
{
    const std::lock_guard lock(m_propertyMutex);
    m_identifierGraph = std::move(graph);
}

QStringList HMData::recordsAddedToDevice() const
{
    const std::lock_guard lock(m_propertyMutex);
    return m_recordsAddedToDevice;
}

void HMData::setRecordsAddedToDevice(const QStringList &temporaryIds)
{
    QSet<QString> sent(temporaryIds.cbegin(), temporaryIds.cend());
    const std::lock_guard lock(m_propertyMutex);
    m_recordsAddedToDevice = temporaryIds;
    m_recordsAddedToDeviceSet = std::move(sent);
}

void HMData::addRecordAddedToDevice(const QString &temporaryId)
{
    const std::lock_guard lock(m_propertyMutex);
    m_recordsAddedToDevice.append(temporaryId);
    m_recordsAddedToDeviceSet.insert(temporaryId);
}

void HMData::addRecordsAddedToDevice(const QStringList &temporaryIds)
{
    const std::lock_guard lock(m_propertyMutex);
    m_recordsAddedToDevice.append(temporaryIds);
    for (const QString &temporaryId : temporaryIds)
        m_recordsAddedToDeviceSet.insert(temporaryId);
}

bool HMData::wasAddedToDevice(const QString &temporaryId) const
{
    const std::lock_guard lock(m_propertyMutex);
    return m_recordsAddedToDeviceSet.contains(temporaryId);
}

QString HMData::formattedStringForSync(const QString &text)
{
    static const platform::CharacterSet kept = platform::CharacterSet::alphanumerics()
                                                   .united(platform::CharacterSet::punctuation())
                                                   .united(platform::CharacterSet::symbols())
                                                   .united(platform::CharacterSet::whitespaces());
    QString result;
    result.reserve(text.size());
    qsizetype index = 0;
    while (index < text.size()) {
        qsizetype length = 1;
        const char32_t codePoint = platform::codePointAt(text, index, &length);
        if (kept.contains(codePoint))
            result.append(QStringView(text).mid(index, length));
        index += length;
    }
    return result;
}

QString HMData::newUid()
{
    return platform::newUuidText().toLower();
}

void HMData::setValue(const QVariant &value, const QString &key, QVariantMap &dictionary)
{
    if (!value.isValid() || value.isNull()) {
        dictionary.insert(key, QString(QLatin1String("")));
        return;
    }
    switch (value.metaType().id()) {
    case QMetaType::QString:
        dictionary.insert(key, value.toString().trimmed());
        return;
    case QMetaType::Bool:
        dictionary.insert(key, QString::number(value.toBool() ? 1 : 0));
        return;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        dictionary.insert(key, value.toString());
        return;
    default:
        dictionary.insert(key, value);
    }
}

QString HMData::stringForKey(const QString &key, const QVariantMap &dictionary)
{
    const QVariant value = dictionary.value(key);
    if (!value.isValid() || value.isNull())
        return QString(QLatin1String(""));
    if (value.metaType().id() == QMetaType::QString)
        return value.toString();
    DDLogWarn(QStringLiteral("WARNING: value for dictionary key '%1' retrieval is not a string, returning ''").arg(key));
    return QString(QLatin1String(""));
}

QString HMData::firstItemFromMultiItemString(const QString &text, const QString &delimiter)
{
    DDLogVerbose(QStringLiteral("Finding first item in '%1' using '%2' as delimter.").arg(text, delimiter));
    const QStringList items = listFromMultiItemString(text, delimiter);
    return items.isEmpty() ? QString(QLatin1String("")) : items.first();
}

QStringList HMData::listFromMultiItemString(const QString &text, const QString &delimiter)
{
    DDLogVerbose(QStringLiteral("Creating a list for '%1' using '%2' as delimter.").arg(text, delimiter));
    if (text.size() < 2)
        return {};
    if (delimiter.isEmpty())
        return {text};
    QStringList items;
    qsizetype start = 0;
    if (text.startsWith(delimiter, Qt::CaseInsensitive))
        start = delimiter.size();
    while (start <= text.size()) {
        const qsizetype found = indexOfDelimiter(text, delimiter, start);
        if (found < 0) {
            items.append(text.mid(start));
            break;
        }
        items.append(text.mid(start, found - start));
        start = found + delimiter.size();
    }
    return items;
}
