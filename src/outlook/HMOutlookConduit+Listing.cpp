// The listing the Outlook conduits share: the changed ids less those the other side changed in this
// sync, one properties script per record (last to first) turned into the record's text, the records
// with their device ids, and Outlook's deletions.
//
// A reply without the record's id or its text is dropped like a failed script: a record built from
// nothing would blank the other side's copy. Outlook gone ends the read with nothing.

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

// A progress text with its count, and its total where the text has a place for it.
QString counted(const QString &format, qsizetype count, qsizetype total = 0)
{
    return format.contains(QLatin1String("%2")) ? format.arg(count).arg(total) : format.arg(count);
}

} // namespace

QStringList HMOutlookConduit::candidates(const QStringList &changed, const QSet<QString> &excludedHmUids)
{
    const QVariantMap pairs =
        excludedHmUids.isEmpty() ? QVariantMap() : map().dictionaryForDatFile(m_conduit).value_or(QVariantMap());
    QSet<QString> excluded;
    qsizetype seen = 0;
    for (const QString &hmUid : excludedHmUids) {
        if (++seen >= m_listingTexts.excludingFrom)
            GlobalVariables::showSyncUserMessage(m_listingTexts.excluding);
        if (const QString outlookId = pairs.value(hmUid).toString(); !outlookId.isEmpty())
            excluded.insert(outlookId);
    }
    QStringList kept;
    kept.reserve(changed.size());
    for (qsizetype i = 0; i < changed.size(); ++i) {
        GlobalVariables::showSyncUserMessage(counted(m_listingTexts.scanning, i + 1));
        if (!excluded.contains(changed.at(i)))
            kept.append(changed.at(i));
    }
    for (const QString &text : std::as_const(m_listingTexts.scanned))
        GlobalVariables::showSyncUserMessage(text);
    return kept;
}

// The "CATEGORIES:" line of the names Outlook knows for the reply's categories; empty without one.
QString HMOutlookConduit::categoriesLine(HMData &data, const NSAppleEventDescriptor &result) const
{
    const QStringList categoryIds = HMOutlookCategoryHelper::categoryIdsOfReply(result);
    if (categoryIds.isEmpty())
        return QString();
    if (!data.categoryHelper())
        data.setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    const QString names = data.categoryHelper()->categoryNameStringFromIdArray(categoryIds);
    return names.isEmpty() ? QString() : QStringLiteral("\nCATEGORIES:") + names;
}

// An iCalendar text: the text, the categories' line and "PLAINTEXTNOTE:" with the plain text ("(null)"
// without one). A vCard: the vCard, "MIDDLENAME:" when Outlook gives one, the categories' line.
std::optional<QString> HMOutlookConduit::recordText(HMData &data, const NSAppleEventDescriptor &result)
{
    const bool vCard = m_textForm == TextForm::VCard;
    const QString id = result.descriptorForKeyword(platform::fourCharCode("ID  ")).stringValue();
    QString text = result.descriptorForKeyword(platform::fourCharCode(vCard ? "vCrd" : "iCal")).stringValue();
    if (id.isEmpty() || text.isNull()) {
        DDLogError(QStringLiteral("eventDescriptor (nil identifier) %1").arg(id));
        return std::nullopt;
    }
    DDLogInfo(QStringLiteral("%1 idString %2").arg(m_noun, id));
    if (vCard) {
        if (const QString middle = result.descriptorForKeyword(platform::fourCharCode("pMdN")).stringValue();
            !middle.isNull())
            text = QStringLiteral("%1\nMIDDLENAME:%2").arg(text, middle);
        return text + categoriesLine(data, result);
    }
    if (const QString categories = categoriesLine(data, result); !categories.isEmpty())
        text += categories + u'\n';
    const QString plain = result.descriptorForKeyword(platform::fourCharCode("PlTC")).stringValue();
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
        if (result.numberOfItems() < 1)
            DDLogInfo(QStringLiteral("No properties found. Removing %1 from modified list.").arg(m_noun));
        const std::optional<QString> text = result.numberOfItems() < 1 ? std::nullopt : recordText(data, result);
        if (!text) {
            candidates.removeAt(i);
            continue;
        }
        GlobalVariables::showSyncUserMessage(counted(m_listingTexts.reading, counter++));
        // Listed under its own id: the candidate id is what the map and the records use.
        texts.insert(candidates.at(i), *text);
    }
    DDLogInfo(QStringLiteral("DONE WITH ARRAY! (%1 records)").arg(texts.size()));
    return texts;
}

QList<HMSyncRecord> HMOutlookConduit::records(HMData &data, const QStringList &candidates,
                                              const QHash<QString, QString> &texts, bool withOutlookUid,
                                              const Dictionary &dictionary)
{
    // Nothing changed: the map is not read.
    if (candidates.isEmpty())
        return {};
    const QHash<QString, QString> deviceIds = pairs();
    QList<HMSyncRecord> records;
    records.reserve(candidates.size());
    for (qsizetype k = 0; k < candidates.size(); ++k) {
        GlobalVariables::showSyncUserMessage(counted(m_listingTexts.sending, k + 1, candidates.size()));
        const QString outlookId = candidates.at(k);
        const QString mapped = deviceIds.value(outlookId);
        const QString deviceId = mapped.isEmpty() ? HMData::newUid() : mapped;
        HMSyncRecord record;
        record.setIsNew(mapped.isEmpty());
        record.setIsDelete(false);
        record.setHmxUid(deviceId);
        if (withOutlookUid)
            record.setOutlookUid(outlookId);
        const QString text = texts.value(outlookId);
        record.setDictionary(
            dictionary(m_textForm == TextForm::VCard ? text : QStringLiteral("%1\nOUTLOOKID:%2").arg(text, outlookId),
                       outlookId, deviceId));
        data.addRecordAddedToDevice(deviceId);
        if (record.isNew())
            data.uniqueIdsDictionary().insert(deviceId, outlookId);
        records.append(record);
    }
    return records;
}

std::optional<QList<HMSyncRecord>> HMOutlookConduit::changedRecords(HMData &data, const QStringList &changed,
                                                                    const QSet<QString> &excludedHmUids,
                                                                    const QString &variable, bool withOutlookUid,
                                                                    const Dictionary &dictionary, bool includeDeletes,
                                                                    const std::function<bool()> &mayHaveDeletions)
{
    QStringList listed = candidates(changed, excludedHmUids);
    const std::optional<QHash<QString, QString>> texts = readTexts(data, listed, variable);
    if (!texts)
        return std::nullopt;
    QList<HMSyncRecord> found = records(data, listed, *texts, withOutlookUid, dictionary);
    if (includeDeletes)
        found += deletionRecords(data, mayHaveDeletions);
    readDone();
    return found;
}

QList<HMSyncRecord> HMOutlookConduit::deletionRecords(HMData &data, const std::function<bool()> &mayHaveDeletions)
{
    GlobalVariables::showSyncUserMessage(QStringLiteral("Checking for Outlook deletions"));
    if (mayHaveDeletions && !mayHaveDeletions())
        return {};
    if (!m_listingTexts.searching.isEmpty())
        GlobalVariables::showSyncUserMessage(m_listingTexts.searching);
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : deviceIdsGoneFromOutlook()) {
        if (!m_listingTexts.found.isEmpty())
            GlobalVariables::showSyncUserMessage(counted(m_listingTexts.found, deletions.size() + 1));
        data.idsToDeleteArray().append(deviceId);
        DDLogInfo(QStringLiteral("Deleting Record '%1' on Device.").arg(deviceId));
        deletions.append(HMSyncRecord::deletionOf(deviceId));
    }
    return deletions;
}
