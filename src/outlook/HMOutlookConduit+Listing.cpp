// The listing the task and memo conduits share: the changed ids less those the other side changed in
// this sync, one properties script per record (last to first) turned into the record's text, the
// records with their device ids, and Outlook's deletions.
//
// A reply without the record's id or iCalendar text is dropped like a failed script: a record built
// from nothing would blank the device's copy. Outlook gone ends the read with nothing.

#include "outlook/HMOutlookConduit.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "sync/HMData.h"

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

namespace {

void showProgress(const QString &text)
{
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text);
}

// The categories' ids of a reply ('cCtg': items whose 'seld' is the id).
QStringList categoryIdsOf(const NSAppleEventDescriptor &result)
{
    const NSAppleEventDescriptor list = result.descriptorForKeyword(platform::fourCharCode("cCtg"));
    QStringList ids;
    for (qint64 i = 1; i <= list.numberOfItems(); ++i) {
        const QString id = list.descriptorAtIndex(i).descriptorForKeyword(platform::Keyword::KeyData).stringValue();
        if (!id.isEmpty())
            ids.append(id);
    }
    return ids;
}

} // namespace

QStringList HMOutlookConduit::candidates(const QStringList &changed, const QSet<QString> &excludedHmUids)
{
    const QVariantMap pairs =
        excludedHmUids.isEmpty() ? QVariantMap() : map().dictionaryForDatFile(m_conduit).value_or(QVariantMap());
    QSet<QString> excluded;
    for (const QString &hmUid : excludedHmUids) {
        showProgress(QStringLiteral("Looking for changed records"));
        if (const QString outlookId = pairs.value(hmUid).toString(); !outlookId.isEmpty())
            excluded.insert(outlookId);
    }
    QStringList kept;
    for (qsizetype i = 0; i < changed.size(); ++i) {
        showProgress(QStringLiteral("Scanning Outlook %1s for changes %2").arg(m_noun).arg(i + 1));
        if (!excluded.contains(changed.at(i)))
            kept.append(changed.at(i));
    }
    showProgress(QStringLiteral("Scanning Outlook %1s for changes ...").arg(m_noun));
    return kept;
}

// Its iCalendar text, the "CATEGORIES:" line of the names Outlook knows, and "PLAINTEXTNOTE:" with the
// plain text ("(null)" without one).
std::optional<QString> HMOutlookConduit::recordText(HMData &data, const NSAppleEventDescriptor &result)
{
    const QString id = result.descriptorForKeyword(platform::fourCharCode("ID  ")).stringValue();
    const QString iCal = result.descriptorForKeyword(platform::fourCharCode("iCal")).stringValue();
    if (id.isEmpty() || iCal.isNull()) {
        DDLogError(QStringLiteral("eventDescriptor (nil identifier) %1").arg(id));
        return std::nullopt;
    }
    QString text = iCal;
    if (const QStringList categoryIds = categoryIdsOf(result); !categoryIds.isEmpty()) {
        if (!data.categoryHelper())
            data.setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
        if (const QString names = data.categoryHelper()->categoryNameStringFromIdArray(categoryIds); !names.isEmpty())
            text = QStringLiteral("%1\nCATEGORIES:%2\n").arg(text, names);
    }
    const QString plain = result.descriptorForKeyword(platform::fourCharCode("PlTC")).stringValue();
    DDLogInfo(QStringLiteral("%1 idString %2").arg(m_noun, id));
    return text + QStringLiteral("PLAINTEXTNOTE:") + (plain.isNull() ? QStringLiteral("(null)") : plain);
}

std::optional<QHash<QString, QString>> HMOutlookConduit::readTexts(HMData &data, QStringList &candidates,
                                                                  const QString &variable)
{
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    QHash<QString, QString> texts;
    qint64 counter = 1;
    for (qsizetype i = candidates.size() - 1; i >= 0; --i) {
        std::optional<NSAppleScriptError> error;
        const QString script = QStringLiteral("tell application \"%1\"\nset %2 to the properties of %3 id \"%4\" of application "
                                              "\"%1\"\nreturn %2\nend tell")
                                   .arg(application, variable, m_noun, candidates.at(i));
        const NSAppleEventDescriptor result = HMOutlookSQLiteHelper::isDecimalId(candidates.at(i))
            ? NSAppleScript(script).executeAndReturnError(&error)
            : NSAppleEventDescriptor();
        if (error && error->isApplicationGone()) {
            failRead(QStringLiteral("Outlook did not answer while its %1s were read (%2); nothing was sent.").arg(m_noun).arg(error->number));
            return std::nullopt;
        }
        const std::optional<QString> text = result.numberOfItems() < 1 ? std::nullopt : recordText(data, result);
        if (!text) {
            candidates.removeAt(i);
            continue;
        }
        showProgress(QStringLiteral("Reading modified record %1").arg(counter++));
        // Listed under its own id: the candidate id is what the map and the records use.
        texts.insert(candidates.at(i), *text);
    }
    DDLogInfo(QStringLiteral("DONE WITH ARRAY! (%1 records)").arg(texts.size()));
    return texts;
}

QList<HMSyncRecord> HMOutlookConduit::records(HMData &data, const QStringList &candidates, const QHash<QString, QString> &texts,
                                              bool withOutlookUid, const std::function<QVariantMap(const QString &)> &dictionary)
{
    const QHash<QString, QString> deviceIds = pairs();
    QList<HMSyncRecord> records;
    records.reserve(candidates.size());
    for (qsizetype k = 0; k < candidates.size(); ++k) {
        showProgress(QStringLiteral("Sending %1 changes %2").arg(m_noun).arg(k + 1));
        const QString outlookId = candidates.at(k);
        const QString mapped = deviceIds.value(outlookId);
        const QString deviceId = mapped.isEmpty() ? HMData::newUid() : mapped;
        HMSyncRecord record;
        record.setIsNew(mapped.isEmpty());
        record.setIsDelete(false);
        record.setHmxUid(deviceId);
        if (withOutlookUid)
            record.setOutlookUid(outlookId);
        record.setDictionary(dictionary(QStringLiteral("%1\nOUTLOOKID:%2").arg(texts.value(outlookId), outlookId)));
        data.addRecordAddedToDevice(deviceId);
        if (record.isNew())
            data.uniqueIdsDictionary().insert(deviceId, outlookId);
        records.append(record);
    }
    return records;
}

QList<HMSyncRecord> HMOutlookConduit::deletionRecords(HMData &data)
{
    showProgress(QStringLiteral("Checking for Outlook deletions"));
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : deviceIdsGoneFromOutlook()) {
        HMSyncRecord record;
        record.setIsNew(false);
        record.setIsDelete(true);
        record.setHmxUid(deviceId);
        data.idsToDeleteArray().append(deviceId);
        DDLogInfo(QStringLiteral("Deleting Record '%1' on Device.").arg(deviceId));
        deletions.append(record);
    }
    return deletions;
}
