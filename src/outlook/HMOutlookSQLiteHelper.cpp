#include "outlook/HMOutlookSQLiteHelper.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/applescript/LongDateTime.h"
#include "platform/applescript/NSAppleScript.h"
#include "sync/HMProfile.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;
using Kind = HMOutlookSQLiteHelper::Kind;

namespace {

struct Words
{
    const char *variable;   // theContacts
    const char *className;  // contact
    const char *folderForm; // the folder form of the changed-id lists
};

const Words kWords[] = {
    {"theContacts", "contact", "folder id"},
    {"theEvents", "calendar event", "calendar id"},
    {"theTasks", "task", "task folder id"},
    {"theMemos", "note", "note folder id"},
};

// "tell application "A"\nset <var> to the <property> of every <class> <scope>\nreturn <var>\nend tell"
QString listingScript(Kind kind, const QString &property, const QString &scope)
{
    const Words &words = kWords[int(kind)];
    return QStringLiteral("tell application \"%1\"\nset %2 to the %3 of every %4 %5\nreturn %2\nend tell")
        .arg(HMOutlookSQLiteHelper::outlookApplicationReference(), QLatin1String(words.variable), property,
             QLatin1String(words.className), scope);
}

QString applicationScope(const QString &filter = QString())
{
    return QStringLiteral("of application \"%1\"").arg(HMOutlookSQLiteHelper::outlookApplicationReference()) + filter;
}

// "in <folder form> <id>": the scope of one folder's records.
QString folderScope(Kind kind, const QString &folderId)
{
    return QStringLiteral("in %1 %2").arg(QLatin1String(kWords[int(kind)].folderForm), folderId);
}

QString errorText(const NSAppleScriptError &error)
{
    return QStringLiteral("%1 (%2)").arg(error.message).arg(error.number);
}

} // namespace

// Runs a script; nullopt when it failed.
std::optional<NSAppleEventDescriptor> HMOutlookSQLiteHelper::runScript(const QString &source, std::chrono::seconds timeout)
{
    NSAppleScript script(source);
    script.setTimeout(timeout);
    std::optional<NSAppleScriptError> error;
    NSAppleEventDescriptor result = script.executeAndReturnError(&error);
    if (error) {
        DDLogInfo(QStringLiteral("Outlook script failed: %1").arg(errorText(*error)));
        return std::nullopt;
    }
    return result;
}

namespace {

std::optional<NSAppleEventDescriptor> run(const QString &source)
{
    return HMOutlookSQLiteHelper::runScript(source);
}

bool isCompletedTaskFilterOn(const std::shared_ptr<HMProfile> &profile)
{
    return profile && profile->shouldSyncCompletedTasks() == u"no";
}

// Pairs dates and ids by position: the ids of records modified after the date (every record with
// a date when none is given); events the calendar map does not know are listed in any case.
QStringList pairModified(Kind kind, const NSAppleEventDescriptor &dates, const NSAppleEventDescriptor &ids,
                         const QDateTime &date, const QSet<QString> &listedAlways)
{
    QSet<QString> known;
    if (kind == Kind::Events) {
        const QStringList mapped = HMOutlookDatFileHelper().getAllOutlookEventIdsInDatFile();
        known = QSet<QString>(mapped.begin(), mapped.end());
    }
    QStringList listed;
    const qint64 count = std::min(dates.numberOfItems(), ids.numberOfItems());
    for (qint64 i = 1; i <= count; ++i) {
        const QString id = ids.descriptorAtIndex(i).stringValue();
        const std::optional<QDateTime> modified = HMOutlookSQLiteHelper::dateFromEventDescriptor(dates.descriptorAtIndex(i));
        const bool isLater = modified && (!date.isValid() || *modified > date);
        if (id.isEmpty())
            continue;
        if (isLater || listedAlways.contains(id) || (kind == Kind::Events && !known.contains(id)))
            listed.append(id);
        else if (kind == Kind::Memos)
            DDLogInfo(QStringLiteral("Ignoring modified record: %1").arg(id));
    }
    return listed;
}

} // namespace

QString HMOutlookSQLiteHelper::outlookApplicationReference()
{
    const QString reference = GlobalVariables::getOutlookApplicationReference();
    return reference.isEmpty() ? QStringLiteral("Microsoft Outlook") : reference;
}

QString HMOutlookSQLiteHelper::propertiesListingScript(Kind kind, const QString &folderId)
{
    return listingScript(kind, QStringLiteral("properties"),
                         folderId.isEmpty() ? applicationScope() : folderScope(kind, folderId));
}

QString HMOutlookSQLiteHelper::propertiesOfRecordScript(Kind kind, const QString &outlookId)
{
    const Words &words = kWords[int(kind)];
    return QStringLiteral("tell application \"%1\"\nset %2 to the properties of %3 id \"%4\" of application \"%1\"\n"
                          "return %2\nend tell")
        .arg(outlookApplicationReference(), QLatin1String(words.variable), QLatin1String(words.className), outlookId);
}

QString HMOutlookSQLiteHelper::makeNewScript(Kind kind, const QString &variable, const QString &folderId,
                                             const QString &properties)
{
    const QString place = folderId.isEmpty() ? QString() : u' ' + folderScope(kind, folderId);
    return QStringLiteral("tell application \"%1\"\nset %2 to make new %3%4 with properties %5\nend tell")
        .arg(outlookApplicationReference(), variable, QLatin1String(kWords[int(kind)].className), place, properties);
}

bool HMOutlookSQLiteHelper::isDecimalId(const QString &id)
{
    static const QRegularExpression decimal(QStringLiteral("\\A[0-9]{1,18}\\z"));
    return decimal.match(id).hasMatch();
}

std::shared_ptr<HMProfile> HMOutlookSQLiteHelper::profile()
{
    if (m_profile)
        return m_profile;
    if (const auto controller = GlobalVariables::getCurrentProfileController()) {
        const auto profiles = controller->arrangedObjects();
        const qsizetype index = controller->selectionIndex();
        if (index >= 0 && index < qsizetype(profiles.size()))
            m_profile = profiles[size_t(index)];
    }
    return m_profile;
}

QString HMOutlookSQLiteHelper::folderSelection(Kind kind)
{
    const std::shared_ptr<HMProfile> chosen = profile();
    if (!chosen)
        return QString();
    switch (kind) {
    case Kind::Contacts: return chosen->outlookContactFolderSelection();
    case Kind::Events: return chosen->outlookCalendarFolderSelection();
    case Kind::Tasks: return chosen->outlookTaskFolderSelection();
    case Kind::Memos: return chosen->outlookMemoFolderSelection();
    }
    return QString();
}

std::optional<QString> HMOutlookSQLiteHelper::scopeFolder(Kind kind)
{
    const QString selection = folderSelection(kind);
    if (selection.isEmpty() || selection == u"allFolders")
        return QString();
    if (!isDecimalId(selection)) {
        DDLogInfo(QStringLiteral("Not an Outlook folder id, nothing sent: %1").arg(selection));
        return std::nullopt;
    }
    return selection;
}

std::optional<QStringList> HMOutlookSQLiteHelper::idsOf(const QString &script)
{
    const std::optional<NSAppleEventDescriptor> result = run(script);
    if (!result)
        return std::nullopt;
    QStringList ids;
    for (qint64 i = 1; i <= result->numberOfItems(); ++i) {
        const QString text = result->descriptorAtIndex(i).stringValue();
        if (!text.isEmpty())
            ids.append(text);
    }
    return ids;
}

std::optional<QDateTime> HMOutlookSQLiteHelper::dateFromEventDescriptor(const NSAppleEventDescriptor &descriptor)
{
    if (descriptor.descriptorType() != platform::DescriptorType::LongDateTime) {
        DDLogInfo(QStringLiteral("Error: descriptorType is not typeLongDateTime"));
        return std::nullopt;
    }
    const std::optional<QDateTime> date = descriptor.dateValue();
    if (!date)
        DDLogInfo(QStringLiteral("status error"));
    return date;
}

std::optional<QStringList> HMOutlookSQLiteHelper::getListOfIdsModifiedAfter(Kind kind, const QDateTime &date)
{
    const std::optional<QString> folder = scopeFolder(kind);
    if (!folder)
        return std::nullopt;
    QString scope;
    if (!folder->isEmpty())
        scope = folderScope(kind, *folder);
    else
        scope = applicationScope(kind == Kind::Tasks && isCompletedTaskFilterOn(profile())
                                           ? QStringLiteral(" where todo flag is not completed") : QString());
    if (kind == Kind::Contacts)
        GlobalVariables::showSyncUserMessage(QStringLiteral("Loading Outlook contacts ..."));
    const std::optional<NSAppleEventDescriptor> dates = run(listingScript(kind, QStringLiteral("modification date"), scope));
    if (!dates)
        return std::nullopt;
    if (kind == Kind::Contacts)
        GlobalVariables::showSyncUserMessage(QStringLiteral("Getting modified records ..."));
    const std::optional<NSAppleEventDescriptor> ids = run(listingScript(kind, QStringLiteral("id"), scope));
    if (!ids)
        return std::nullopt;
    const QStringList listed = pairModified(kind, *dates, *ids, date, m_idsListedAlways);
    if (kind == Kind::Events && !buildDictionaryOfExceptionRecords())
        return std::nullopt;
    return listed;
}

std::optional<QStringList> HMOutlookSQLiteHelper::getListOfAllIds(Kind kind)
{
    const std::optional<QString> folder = scopeFolder(kind);
    if (!folder)
        return std::nullopt;
    const QString scope = folder->isEmpty() ? applicationScope() : QStringLiteral("in folder id %1").arg(*folder);
    if (kind == Kind::Contacts)
        GlobalVariables::showSyncUserMessage(QStringLiteral("Looking for deleted records ..."));
    std::optional<QStringList> ids = idsOf(listingScript(kind, QStringLiteral("id"), scope));
    if (ids && kind == Kind::Contacts) {
        for (qsizetype i = 1; i <= ids->size(); ++i)
            GlobalVariables::showSyncUserMessage(QStringLiteral("Scanning Outlook contact %1").arg(i));
    }
    return ids;
}

bool HMOutlookSQLiteHelper::buildDictionaryOfExceptionRecords()
{
    // Each build starts afresh: appending to the last build's arrays would repeat every date.
    m_exceptionRecords.clear();
    m_exceptionRecordIds.clear();
    const std::optional<QString> folder = scopeFolder(Kind::Events);
    if (!folder)
        return false;
    const QString scope = folder->isEmpty() ? QString() : QStringLiteral(" in calendar id %1").arg(*folder);
    const std::optional<NSAppleEventDescriptor> result =
        run(QStringLiteral("tell application \"%1\"\nset theEvents to the properties of every calendar event%2 where "
                           "is occurrence is true\nreturn theEvents\nend tell")
                .arg(outlookApplicationReference(), scope));
    if (!result)
        return false;
    for (qint64 i = 1; i <= result->numberOfItems(); ++i) {
        const NSAppleEventDescriptor properties = result->descriptorAtIndex(i);
        const NSAppleEventDescriptor start = properties.descriptorForKeyword(platform::fourCharCode("offs"));
        const std::optional<QDateTime> date = start.isNil() ? std::nullopt : dateFromEventDescriptor(start);
        const QString master = properties.descriptorForKeyword(platform::fourCharCode("pMid"))
                                   .descriptorForKeyword(platform::Keyword::KeyData).stringValue();
        if (date && !master.isEmpty()) {
            m_exceptionRecords[master].append(*date);
            m_exceptionRecordIds[master].append(properties.descriptorForKeyword(platform::fourCharCode("ID  ")).stringValue());
        }
    }
    return true;
}

QString HMOutlookSQLiteHelper::getUniqueIdOfMostRecentlyAdded(const NSAppleEventDescriptor &descriptor)
{
    return descriptor.descriptorForKeyword(platform::Keyword::KeyData).stringValue();
}

bool HMOutlookSQLiteHelper::removeRecordFromConduit(const QString &conduitName, const QString &outlookRecordId)
{
    if (outlookRecordId.isNull())
        return true;
    static const char *const names[][2] = {
        {"Contacts", "contact"}, {"Calendar", "calendar event"}, {"Tasks", "task"}, {"Memos", "note"}};
    const char *className = nullptr;
    for (const auto &name : names) {
        if (conduitName == QLatin1String(name[0]))
            className = name[1];
    }
    if (!className)
        return false;
    if (!isDecimalId(outlookRecordId)) {
        DDLogInfo(QStringLiteral("Not an Outlook record id, nothing sent: %1").arg(outlookRecordId));
        return false;
    }
    DDLogInfo(QStringLiteral("Removing record %1 from conduit").arg(outlookRecordId));
    std::optional<NSAppleScriptError> error;
    NSAppleScript(QStringLiteral("tell application \"%1\"\ndelete %2 id \"%3\"\nend tell")
                      .arg(outlookApplicationReference(), QLatin1String(className), outlookRecordId))
        .executeAndReturnError(&error);
    if (error) {
        DDLogInfo(QStringLiteral("Outlook error removing record: %1").arg(errorText(*error)));
        return false;
    }
    DDLogInfo(QStringLiteral("Deleted the record successfully"));
    return true;
}

QString HMOutlookSQLiteHelper::stringByURLDecode(const QString &text)
{
    QString spaced = text;
    spaced.replace(u'+', u' ');
    const QByteArray decoded = QByteArray::fromPercentEncoding(spaced.toUtf8());
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString result = utf8.decode(decoded);
    return utf8.hasError() ? QString() : result;
}
