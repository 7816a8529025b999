// The defaults of the operations that the concrete data sources offer the sync controller's record
// stages. A data source that lacks one is logged and answers nothing; the run goes on.

#include "sync/HMData.h"

#include "foundation/Lumberjack/DDLog.h"

namespace {

void logMissing(const char *operation, const QString &className)
{
    DDLogError(QStringLiteral("%1 not implemented by %2").arg(QLatin1String(operation), className));
}

} // namespace

bool HMData::addressBookIsInaccessible()
{
    return false;
}

QDateTime HMData::getOutlookLastModifiedDate()
{
    logMissing("getOutlookLastModifiedDate", className());
    return {};
}

void HMData::clearOutlookDatFile(const QString &)
{
    logMissing("clearOutlookDatFile:", className());
}

void HMData::saveOutlookChanges()
{
    logMissing("saveOutlookChanges", className());
}

void HMData::writeConduitListReturned()
{
    DDLogVerbose(QStringLiteral("writeConduitListReturned not implemented by %1").arg(className()));
}

QStringList HMData::findDeletes(const QStringList &)
{
    logMissing("findDeletes:", className());
    return {};
}

void HMData::deleteOutlookUidRecords(const QStringList &)
{
    logMissing("deleteOutlookUidRecords:", className());
}

std::optional<QList<HMSyncRecord>> HMData::syncOutlookRecordObjectsModifiedAfter(const QDateTime &, bool,
                                                                                const QSet<QString> &)
{
    logMissing("syncOutlookRecordObjectsModifiedAfter:includeDeletes:andExcludeHmUids:", className());
    return std::nullopt;
}

void HMData::replaceTempId(const QString &temporaryId, const QString &permanentId)
{
    QVariantMap &ids = uniqueIdsDictionary();
    if (permanentId.isEmpty() || !ids.contains(temporaryId))
        return;
    const QVariant value = ids.take(temporaryId);
    ids.insert(permanentId, value);
}

void HMData::commitUniqueIds(bool wasSuccessful)
{
    DDLogVerbose(QStringLiteral("commitUniqueIds: %1 not implemented by %2").arg(int(wasSuccessful)).arg(className()));
}

void HMData::savePicturesFromQuillnestSync(const QVariantMap &)
{
    logMissing("savePicturesFromQuillnestSync:", className());
}

QByteArray HMData::wifiFormattedPhotoForOutlookContact(const QString &)
{
    logMissing("wifiFormattedPhotoForOutlookContact:", className());
    return {};
}
