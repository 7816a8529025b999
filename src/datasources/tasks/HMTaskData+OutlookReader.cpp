// The task data source over Outlook, the read side: the tasks changed since the last sync read one at
// a time as task records, Outlook's deletions found through the task map, and the map kept in step by
// the shared Outlook conduit bookkeeping once the other side has taken the records.
//
// An id listing Outlook could not answer is no empty folder: it deletes nothing and clears nothing. A
// reply without the task's id or iCalendar text is dropped like a failed script: a record built from
// nothing would blank the device's task.

#include "datasources/tasks/HMTaskData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMOutlookRRuleHelper.h"
#include "foundation/HMTextValues.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/DateFormatter.h"
#include "sync/HMProfile.h"

#include <QTimeZone>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

namespace {

const platform::DateFormatter &dueDateFormatter()
{
    static thread_local const platform::DateFormatter formatter(QStringLiteral("yyyyMMdd'T'HHmmss"));
    return formatter;
}

// Searching rule: the first line beginning with the prefix and longer than it. Stopping rule
// (`stops`): the first line beginning with the prefix decides, a bare prefix meaning no value. The
// value is the text after the line's first colon, carriage returns removed.
std::optional<QString> lineValue(const QStringList &lines, QStringView prefix, bool stops)
{
    for (const QString &line : lines) {
        if (!line.startsWith(prefix))
            continue;
        if (line.size() > prefix.size())
            return QString(line.mid(line.indexOf(u':') + 1)).remove(u'\r');
        if (stops)
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<QDateTime> parsedDate(const std::optional<QString> &value)
{
    if (!value)
        return std::nullopt;
    const platform::Result<QDateTime> date = dueDateFormatter().parse(*value);
    return date ? std::optional<QDateTime>(*date) : std::nullopt;
}

// The plain text after the first "PLAINTEXTNOTE:", cut before "OUTLOOKID".
QString taskNoteBody(const QString &text)
{
    static const QString marker = QStringLiteral("PLAINTEXTNOTE:");
    const qsizetype at = text.indexOf(marker);
    if (at < 0 || text.size() < at + marker.size() + 2)
        return QString();
    QString body = text.mid(at + marker.size());
    if (const qsizetype cut = body.indexOf(QStringLiteral("OUTLOOKID")); cut >= 0)
        body.truncate(cut);
    return body.startsWith(QStringLiteral("(null)")) ? QString() : body;
}

} // namespace

void HMTaskData::setOutlookTaskStepHook(std::function<void(HMOutlookConduit::Step)> hook)
{
    outlookStepHook<HMTaskData>() = std::move(hook);
}

HMOutlookConduit &HMTaskData::outlookTasks()
{
    if (!m_outlookTasks) {
        m_outlookTasks = std::make_unique<HMOutlookConduit>(HMOutlookConduit::Conduit::Tasks, QStringLiteral("task"),
                                                            QStringLiteral("task"), callOutlookStepHook<HMTaskData>);
    }
    return *m_outlookTasks;
}

// Once per run, at the listing or the first record applied: the default task folder when the profile
// names none.
void HMTaskData::ensureOutlookTaskFolder()
{
    HMOutlookConduit &tasks = outlookTasks();
    if (m_outlookFolderChecked || !tasks.profile())
        return;
    m_outlookFolderChecked = true;
    if (tasks.profile()->outlookTaskFolderSelection().isEmpty())
        tasks.outlook().setDefaultOutlookTasksFolder();
}

void HMTaskData::setOutlookProfile(std::shared_ptr<HMProfile> profile)
{
    outlookTasks().setProfile(std::move(profile));
    m_outlookFolderChecked = false;
}

void HMTaskData::removeDeletedOutlookIdsFromDatFile()
{
    outlookTasks().ids().removeDeletedOutlookIdsFromDatFile();
}

// The selected task folder's id; empty for all folders or none chosen.
QString HMTaskData::outlookTaskFolder()
{
    const std::shared_ptr<HMProfile> &profile = outlookTasks().profile();
    const QString folder = profile ? profile->outlookTaskFolderSelection() : QString();
    return folder == u"allFolders" || !HMOutlookSQLiteHelper::isDecimalId(folder) ? QString() : folder;
}

QString HMTaskData::correctedString(const QVariant &value)
{
    if (value.typeId() != QMetaType::QString)
        return QString();
    QString text = unescapedTextValue(value);
    text.replace(QStringLiteral("\\n"), QStringLiteral("\r\n"));
    if (text.isEmpty())
        DDLogInfo(QStringLiteral("Corrected string is empty"));
    return text;
}

std::optional<QList<HMSyncRecord>> HMTaskData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    DDLogInfo(QStringLiteral("Loading Outlook tasks modified after %1").arg(date.toString(Qt::ISODate)));
    ensureOutlookTaskFolder();
    HMOutlookConduit &tasks = outlookTasks();
    tasks.beginRead();
    setIsGoogleDirect(GlobalVariables::getIsGoogleDirect());
    const std::optional<QStringList> changed = tasks.outlook().getListOfTaskIdsModifiedAfter(date);
    if (!changed) {
        tasks.failRead(QStringLiteral("Outlook's changed tasks could not be listed; nothing was sent."));
        return std::nullopt;
    }
    GlobalVariables::showSyncUserMessage(QStringLiteral("Scanning Outlook tasks for changes ..."));
    return tasks.changedRecords(
        *this, *changed, excludedHmUids, QStringLiteral("theTasks"), isGoogleDirect(),
        [this](const QString &text, const QString &, const QString &) { return pppDictionaryForOutlookTask(text); },
        includeDeletes);
}

// ---- The task text -------------------------------------------------------------------------------

QVariantMap HMTaskData::pppDictionaryForOutlookTask(const QString &text)
{
    QVariantMap record;
    const QString body = taskNoteBody(text);
    const QStringList lines = text.split(u'\n');
    QString subject;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("SUMMARY:"))) {
            subject = line.size() >= 9 ? line.mid(line.indexOf(u':') + 1) : QString();
            break;
        }
    }
    record.insert(QStringLiteral("SUBJECT"), correctedString(subject.remove(u'\r')));
    QString note;
    if (body != u"\\n") {
        note = QString(body).replace(QStringLiteral(" \n"), QStringLiteral(" ")).replace(QStringLiteral("\n "), QStringLiteral(" "));
        note.replace(u'\r', QStringLiteral("\r\n"));
        note = correctedString(correctedString(note));
    }
    record.insert(QStringLiteral("NOTE"), note);
    const QString priority = lineValue(lines, u"PRIORITY:", true).value_or(QString());
    const bool high = priority == u"3";
    const bool low = priority == u"7";
    record.insert(QStringLiteral("PRIORITYSTRING"), high ? QStringLiteral("High") : low ? QStringLiteral("Low") : QStringLiteral("Normal"));
    record.insert(QStringLiteral("PRIORITY"), qint64(high ? 1 : low ? 3 : 2));
    storeOutlookTaskDates(record, lines);
    const bool completed = lineValue(lines, u"COMPLETED:", false).has_value();
    record.insert(QStringLiteral("COMPLETED"), completed);
    record.insert(QStringLiteral("PERCENTCOMPLETE"), qint64(completed ? 100 : 0));
    storeOutlookTaskCategories(record, lines);
    return record;
}

void HMTaskData::storeOutlookTaskDates(QVariantMap &record, const QStringList &lines)
{
    const std::optional<QDateTime> due = parsedDate(lineValue(lines, u"DUE:", false));
    if (due) {
        record.insert(QStringLiteral("DUEDATE"), *due);
        record.insert(QStringLiteral("HASDUEDATE"), true);
        record.insert(QStringLiteral("DUETIME"), QStringLiteral("00:00:00"));
    }
    const std::optional<QDateTime> start = parsedDate(lineValue(lines, u"DTSTART:", false));
    if (start) {
        record.insert(QStringLiteral("NSDATESTARTDATE"), *start);
        record.insert(QStringLiteral("STARTTIME"), QStringLiteral("00:00:00"));
    }
    // The trigger's text counts as universal time.
    if (const std::optional<QDateTime> trigger = parsedDate(lineValue(lines, u"TRIGGER;RELATED=DATE-TIME:", false)))
        record.insert(QStringLiteral("NSDATEALARMDATE"),
                      trigger->addSecs(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime::currentDateTimeUtc())));
    if (!due && !start)
        return;
    std::optional<QString> rule = lineValue(lines, u"RRULE:", true);
    if (!rule)
        return;
    if (rule->contains(QLatin1String("COUNT=")))
        *rule = getRecurringEndDateForWithStartDate(due ? *due : *start, *rule);
    record.insert(QStringLiteral("RRULE"), correctedString(*rule));
}

void HMTaskData::storeOutlookTaskCategories(QVariantMap &record, const QStringList &lines)
{
    QStringList names;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("CATEGORIES:")) && line.size() > 11) {
            DDLogInfo(QStringLiteral("Outlook task category string %1").arg(line));
            names = line.mid(11).split(u'\t');
            break;
        }
    }
    record.insert(QStringLiteral("NSARRAYCATEGORIES"), names);
    if (names.isEmpty())
        return;
    if (!categoryHelper())
        setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    HMOutlookCategoryHelper::insertColorsOfCategories(record, names, categoryHelper().get());
}

// A count that ends the rule (no ";" after it) stays as it is; a count the expansion does not reach
// ends at the start. The n-th date is that of an expansion not cut by the sync window.
QString HMTaskData::getRecurringEndDateForWithStartDate(const QDateTime &start, const QString &rule)
{
    if (!start.isValid())
        return QString();
    const qint64 type = rule.contains(QLatin1String("FREQ=DAILY"))     ? 1
                        : rule.contains(QLatin1String("FREQ=WEEKLY"))  ? 2
                        : rule.contains(QLatin1String("FREQ=MONTHLY")) ? 3
                        : rule.contains(QLatin1String("FREQ=YEARLY"))  ? 4
                                                                       : 1;
    const qsizetype at = rule.indexOf(QLatin1String("COUNT="));
    if (at < 0)
        return rule;
    const QString tail = rule.mid(at);
    const qsizetype semicolon = tail.indexOf(u';');
    if (semicolon < 0 || semicolon + 1 >= tail.size())
        return rule;
    const QString countPart = tail.left(semicolon);
    const qint64 count = countPart.section(u'=', 1).toLongLong();
    const QDateTime end = nthDateOfOutlookRule(rule, start, type, count).value_or(start);
    return QString(rule).replace(countPart, QStringLiteral("UNTIL=%1T235959").arg(end.toLocalTime().toString(QStringLiteral("yyyyMMdd"))));
}

// ---- The task map ----------------------------------------------------------------------------------

void HMTaskData::deleteOutlookUidRecords(const QStringList &hmUids)
{
    DDLogInfo(QStringLiteral("uidList %1").arg(hmUids.join(u',')));
    if (!ignoreDeletes()) {
        QVariantMap dupes = m_outlookDuplicates ? m_outlookDuplicates->idMap() : QVariantMap();
        outlookTasks().deleteOutlookRecords(hmUids, &dupes, QStringLiteral("Deleting task %1"));
        if (m_outlookDuplicates)
            m_outlookDuplicates->keepOnly(dupes);
    }
    GlobalVariables::setIsProcessingDeletes(false);
}

QString HMTaskData::saveFailure() const
{
    return m_outlookTasks && !m_outlookTasks->failure().isEmpty() ? m_outlookTasks->failure() : HMBaseCalendarData::saveFailure();
}

platform::Status HMTaskData::syncAppliedChangesToDisk()
{
    if (!GlobalVariables::getIsOutlookSync())
        return HMBaseCalendarData::syncAppliedChangesToDisk();
    return outlookTasks().commitAppliedPairs();
}
