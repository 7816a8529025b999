// The task data source over Outlook, the write side: the other side's tasks applied to Outlook (a
// mapped or matching task is updated, any other added, no conflict test), the duplicate test over every
// task read once per run, the properties record of a task, and recurring tasks written as a one-task
// iCalendar file that Outlook imports.
//
// Names and notes reach the script through the full escape of script strings, and the file's
// DESCRIPTION and SUMMARY are iCalendar TEXT: whatever a task holds, it stays one value.

#include "datasources/tasks/HMTaskData.h"

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScriptText.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/TimeZone.h"
#include "sync/HMProfile.h"

#include <QFile>
#include <QTimeZone>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

using calendaroutlook::application;
using calendaroutlook::isDate;
using calendaroutlook::textOf;

namespace {

const QDateTime kEpoch = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);

// The text before its first line feed, then before its first carriage return.
QString firstLine(const QString &text)
{
    return text.section(u'\n', 0, 0).section(u'\r', 0, 0);
}

bool isRecurring(const QVariantMap &record)
{
    return !textOf(record, "RRULE").isEmpty();
}

QString fileDateText(const QDateTime &date)
{
    return date.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
}

} // namespace

// ---- Applying one record ---------------------------------------------------------------------------

qint64 HMTaskData::outlookCommandAction(qint32, quint64, quint64, const QVariantMap &record, qint64)
{
    // Outlook went away earlier in this page: the rest waits for the other side to send it again.
    if (m_outlookGoneDuringApply)
        return 0;
    ensureOutlookTaskFolder();
    setIsGoogleDirect(GlobalVariables::getIsGoogleDirect());
    ++m_recordCounter;
    GlobalVariables::showSyncUserMessage((isGoogleDirect() ? QStringLiteral("Reading Google Tasks %1") : QStringLiteral("Reading Quillpad Tasks %1"))
                     .arg(m_recordCounter));
    const bool applied = outlookTasks().applyByDeviceId(
        textOf(record, "UID"), QLatin1StringView("task"), [&] { return isOutlookDuplicate(record); },
        [&] { addNewOutlookTaskWithDictionary(record); },
        [&](const QString &outlookId) { updateOutlookTaskWithUniqueId(outlookId, record); });
    if (!applied)
        return 1;
    return m_outlookGoneDuringApply ? 0 : 2;
}

// An error saying Outlook is gone ends the page; a refusal is the script's own.
NSAppleEventDescriptor HMTaskData::runOutlookTaskScript(const QString &script, bool writes, bool &failed)
{
    failed = true;
    if (m_outlookGoneDuringApply)
        return NSAppleEventDescriptor();
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    if (writes)
        outlookTasks().noteWrite(!error);
    if (error && error->isApplicationGone()) {
        m_outlookGoneDuringApply = true;
        outlookTasks().fail(
            QStringLiteral("Outlook did not answer while tasks were written (%1); the other side sends them again.").arg(error->number));
    }
    failed = error.has_value();
    return result;
}

// ---- The duplicate test ----------------------------------------------------------------------------

void HMTaskData::buildOutlookTaskDupeCache()
{
    m_outlookDuplicates.emplace();
    GlobalVariables::showSyncUserMessage(QStringLiteral("Building list of Outlook records (this may take a minute)"));
    const QString script =
        HMOutlookSQLiteHelper::propertiesListingScript(HMOutlookSQLiteHelper::Kind::Tasks, outlookTaskFolder());
    bool failed = false;
    const NSAppleEventDescriptor tasks = runOutlookTaskScript(script, false, failed);
    const auto midnight = [this](const NSAppleEventDescriptor &descriptor) {
        const std::optional<QDateTime> date = HMCalendarData::dateFromEventDescriptor(descriptor);
        return date ? dateUtilities().dateAtMidnightForDate(*date) : kEpoch;
    };
    outlookTasks().forEachUnpairedItem(tasks, [this, &midnight](const QString &id, const NSAppleEventDescriptor &task) {
        m_outlookDuplicates->insert(id, {duplicateKey(task.descriptorForKeyword(platform::fourCharCode("pnam")).stringValue(),
                                                      task.descriptorForKeyword(platform::fourCharCode("PlTC")).stringValue(),
                                                      midnight(task.descriptorForKeyword(platform::fourCharCode("tStr"))),
                                                      midnight(task.descriptorForKeyword(platform::fourCharCode("tDue"))))});
    });
}

// What a task and its duplicate share: the name and the note's first line (either case), the start and
// due days.
QString HMTaskData::duplicateKey(const QString &name, const QString &note, const QDateTime &start, const QDateTime &due)
{
    return OutlookDuplicateIndex::keyOf(
        {name, firstLine(note), OutlookDuplicateIndex::dateValue(start), OutlookDuplicateIndex::dateValue(due)});
}

QString HMTaskData::isOutlookDuplicate(const QVariantMap &record)
{
    if (!m_outlookDuplicates)
        buildOutlookTaskDupeCache();
    const QVariant start = record.value(QStringLiteral("NSDATESTARTDATE"));
    const QDateTime due = isDate(record.value(QStringLiteral("DUEDATE"))) ? record.value(QStringLiteral("DUEDATE")).toDateTime() : kEpoch;
    // Matched once, the task is no longer a duplicate of a second record alike.
    const QString id = m_outlookDuplicates->take(
        duplicateKey(textOf(record, "SUBJECT"), textOf(record, "NOTE"), isDate(start) ? start.toDateTime() : kEpoch, due));
    if (!id.isEmpty())
        DDLogInfo(QStringLiteral("MATCH %1").arg(id));
    return id;
}

// ---- Adding and updating -----------------------------------------------------------------------------

void HMTaskData::addNewOutlookTaskWithDictionary(const QVariantMap &record)
{
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QDateTime due = record.value(QStringLiteral("DUEDATE")).toDateTime();
    DDLogInfo(QStringLiteral("Updating Task: %1 (%2 - %3) %4")
                  .arg(escapedString(textOf(record, "SUBJECT")), dateUtilities().localDateTimeStringFromDate(start),
                       dateUtilities().localDateTimeStringFromDate(due),
                       isRecurring(record) ? QStringLiteral("(RECURRING)") : QStringLiteral("(NOT RECURRING)")));
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-dateRangeDaysBack() * 86400);
    if (isDate(record.value(QStringLiteral("DUEDATE"))) && due > kEpoch && due < oldest)
        return;
    if (isRecurring(record)) {
        makeIcsFileFromDictionary(record);
        return;
    }
    DDLogInfo(QStringLiteral("Getting task properties"));
    const QString script =
        HMOutlookSQLiteHelper::makeNewScript(HMOutlookSQLiteHelper::Kind::Tasks, QStringLiteral("newTask"),
                                             outlookTaskFolder(), propertiesStringFromTaskDictionary(record));
    bool failed = false;
    const NSAppleEventDescriptor result = runOutlookTaskScript(script, true, failed);
    if (failed)
        outlookTasks().reportWriteError(record);
    const QString outlookId = HMOutlookSQLiteHelper::getUniqueIdOfMostRecentlyAddedTask(result);
    if (!outlookId.isEmpty())
        outlookTasks().keepAppliedPair(outlookId, textOf(record, "UID"));
}

void HMTaskData::updateOutlookTaskWithUniqueId(const QString &outlookId, const QVariantMap &record)
{
    if (isRecurring(record)) {
        makeIcsFileFromDictionary(record);
        return;
    }
    bool failed = false;
    const QString folder = outlookTaskFolder();
    if (isDeviceReread() && !folder.isEmpty())
        runOutlookTaskScript(QStringLiteral("tell application \"%1\"\nmove task id %2 to task folder id %3\nend tell")
                                 .arg(application(), outlookId, folder),
                             true, failed);
    runOutlookTaskScript(QStringLiteral("tell application \"%1\"\nset the properties of task id \"%2\" to %3\nend tell")
                             .arg(application(), outlookId, propertiesStringFromTaskDictionary(record)),
                         true, failed);
    if (failed)
        outlookTasks().reportWriteError(record);
}

// ---- The recurring task file -------------------------------------------------------------------------

QString HMTaskData::icsTextFromTaskDictionary(const QVariantMap &record, const QString &icalUid)
{
    QStringList lines{QStringLiteral("BEGIN:VCALENDAR"), QStringLiteral("VERSION:2.0"), QStringLiteral("METHOD:PUBLISH"),
                      QStringLiteral("BEGIN:VTODO")};
    lines.append(QStringLiteral("DESCRIPTION:") + (record.contains(QStringLiteral("NOTE"))
                                                        ? HMCalendarData::icalTextValue(textOf(record, "NOTE"))
                                                        : QStringLiteral("\\n")));
    const QVariant due = record.value(QStringLiteral("DUEDATE"));
    const QVariant start = record.value(QStringLiteral("NSDATESTARTDATE"));
    if (isDate(due))
        lines.append(QStringLiteral("DUE:") + fileDateText(due.toDateTime()));
    if (isDate(start))
        lines.append(QStringLiteral("DTSTART:") + fileDateText(start.toDateTime()));
    const QVariant priority = record.value(QStringLiteral("PRIORITY"));
    const qint64 level = priority.isValid() ? priority.toLongLong() : 0;
    lines.append(QStringLiteral("PRIORITY:") + (!priority.isValid() ? QStringLiteral("5") : level > 2 ? QStringLiteral("7")
                                                                           : level == 1             ? QStringLiteral("4")
                                                                                                    : QStringLiteral("5")));
    lines.append(QStringLiteral("SUMMARY:") + HMCalendarData::icalTextValue(textOf(record, "SUBJECT")));
    if (record.contains(QStringLiteral("RRULE")))
        lines.append(QString(QStringLiteral("RRULE:") + textOf(record, "RRULE")).replace(QStringLiteral("RRULE:RRULE:"), QStringLiteral("RRULE:")));
    if (!icalUid.isEmpty())
        lines.append(QStringLiteral("UID:") + icalUid);
    // The reminder at the start; its text is read back as universal time.
    if (isDate(start))
        lines << QStringLiteral("BEGIN:VALARM") << QStringLiteral("ACTION:DISPLAY") << QStringLiteral("DESCRIPTION:REMINDER")
              << QStringLiteral("TRIGGER;RELATED=DATE-TIME:") + start.toDateTime().toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss"))
              << QStringLiteral("END:VALARM");
    lines << QStringLiteral("END:VTODO") << QStringLiteral("END:VCALENDAR");
    return lines.join(u'\n');
}

void HMTaskData::makeIcsFileFromDictionary(const QVariantMap &record)
{
    const QString uid = textOf(record, "UID");
    const QString oldId = uid.isEmpty() ? QString() : outlookTasks().outlookIdForDeviceId(uid);
    const bool isNew = oldId.isEmpty();
    const QString icalUid = isNew ? QString() : getOutlookGuidForOutlookTaskId(oldId);
    const QString path = hmoutlook::tempFilePath(outlookTasks().map().getAppDataFolder(), QStringLiteral("event.ics"));
    if (!hmoutlook::writeTempFile(path, icsTextFromTaskDictionary(record, icalUid).toUtf8())) {
        DDLogError(QStringLiteral("The task file %1 could not be written").arg(path));
        return;
    }
    const QString newId = importIcsFileIntoOutlook(path, isNew);
    QFile::remove(path);
    if (newId.isEmpty() || uid.isEmpty())
        return;
    outlookTasks().keepAppliedPair(newId, uid);
    if (!isNew) {
        // An import that answers a new id made a second task: the old one goes, or the task doubles.
        if (newId != oldId && !outlookTasks().outlook().removeRecordFromConduit(QStringLiteral("Tasks"), oldId))
            DDLogError(QStringLiteral("The task %1 replaced by the import could not be deleted").arg(oldId));
        return;
    }
    QVariantMap rest = record;
    for (const char *key : {"NSARRAYEXCEPTIONS", "RRULE", "NSDATESTARTDATE", "DUEDATE"})
        rest.remove(QLatin1String(key));
    updateOutlookTaskWithUniqueId(newId, rest);
}

// The path goes through escapedString: a quote in the data folder's path would end the string.
QString HMTaskData::importIcsFileIntoOutlook(const QString &path, bool)
{
    bool failed = false;
    const NSAppleEventDescriptor result = runOutlookTaskScript(
        QStringLiteral("set theFile to a reference to POSIX file \"%1\"\ntell application \"%2\"\nimport ics theFile\nend tell")
            .arg(escapedString(path), application()),
        true, failed);
    DDLogInfo(QStringLiteral("Done executing import script"));
    if (result.numberOfItems() < 1)
        return QString();
    return result.descriptorAtIndex(1).descriptorForKeyword(platform::Keyword::KeyData).stringValue();
}

QString HMTaskData::getOutlookGuidForOutlookTaskId(const QString &outlookId)
{
    bool failed = false;
    return calendaroutlook::icalUidOfProperties(runOutlookTaskScript(
        HMOutlookSQLiteHelper::propertiesOfRecordScript(HMOutlookSQLiteHelper::Kind::Tasks, outlookId), false, failed));
}

// ---- The properties text -------------------------------------------------------------------------------

// The category references of the record (the category helper makes the categories Outlook lacks),
// each ending in ", "; empty without categories.
QString HMTaskData::outlookTaskCategoryText(const QVariantMap &record)
{
    if (!categoryHelper())
        setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    QStringList names = record.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList();
    if (!record.contains(QStringLiteral("NSARRAYCATEGORIES")) && !QString(textOf(record, "CATEGORY")).remove(u',').isEmpty())
        names = textOf(record, "CATEGORY").split(u',');
    const QStringList indexes = record.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES")).toStringList();
    QString indexText;
    if (!names.isEmpty() && indexes.size() == names.size()) {
        indexText = indexes.join(u'\t') + u'\t';
    } else if (const QString colorIndex = textOf(record, "COLORINDEX"); !QString(colorIndex).remove(u',').remove(u'\t').isEmpty()) {
        indexText = QString(colorIndex).replace(u',', u'\t');
        const QStringList entries = indexText.split(u'\t');
        const QStringList colors = textOf(record, "CATEGORYCOLOR").split(u',');
        if (indexText.contains(QLatin1String("-1")) && record.value(QStringLiteral("CATEGORYCOLOR")).typeId() == QMetaType::QString
            && colors.size() == entries.size()) {
            indexText.clear();
            for (qsizetype i = 0; i < entries.size(); ++i)
                indexText += entries.at(i).startsWith(QLatin1String("-1")) ? QStringLiteral("-1:%1\t").arg(colors.at(i)) : entries.at(i) + u'\t';
            indexText.chop(1);
        }
    }
    QString categoryText;
    for (const QString &name : names)
        categoryText += name + u'\t';
    if (categoryText.isEmpty())
        return QString();
    return categoryHelper()->arrayOfCommandsForCategoryString(categoryText, indexText).join(QString());
}

QString HMTaskData::outlookDateText(const QDateTime &date)
{
    if (!m_outlookDateFormatter) {
        const QString pattern = GlobalVariables::getSystemDateFormat();
        m_outlookDateFormatter.emplace(pattern.isEmpty() ? QStringLiteral("MM/dd/yyyy hh:mm a") : pattern,
                                       platform::Locale(QStringLiteral("en_US_POSIX")), platform::TimeZone::systemTimeZone());
    }
    return m_outlookDateFormatter->format(date);
}

QString HMTaskData::propertiesStringFromTaskDictionary(const QVariantMap &record)
{
    const QString categories = outlookTaskCategoryText(record);
    QString text = QStringLiteral("{");
    if (const QString name = escapedString(textOf(record, "SUBJECT")); !name.isEmpty())
        text += QStringLiteral("name:\"%1\", ").arg(name);
    if (isDate(record.value(QStringLiteral("NSDATESTARTDATE"))))
        text += QStringLiteral("start date:(date \"%1\"), ").arg(outlookDateText(record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime()));
    if (isDate(record.value(QStringLiteral("DUEDATE"))) && record.value(QStringLiteral("DUEDATE")).toDateTime() > kEpoch)
        text += QStringLiteral("due date:(date \"%1\"), ").arg(outlookDateText(record.value(QStringLiteral("DUEDATE")).toDateTime()));
    if (isDate(record.value(QStringLiteral("NSDATEALARMDATE"))))
        text += QStringLiteral("reminder date time:(date \"%1\"), ").arg(outlookDateText(record.value(QStringLiteral("NSDATEALARMDATE")).toDateTime()));
    if (record.contains(QStringLiteral("PERCENTCOMPLETE")))
        text += record.value(QStringLiteral("PERCENTCOMPLETE")).toLongLong() > 99 ? QStringLiteral("todo flag:completed, ")
                                                                                   : QStringLiteral("todo flag:not completed, ");
    if (record.contains(QStringLiteral("PRIORITY"))) {
        static const char *const priorities[] = {"", "priority high, ", "priority normal, ", "priority low, "};
        const qint64 priority = record.value(QStringLiteral("PRIORITY")).toLongLong();
        if (priority >= 1 && priority <= 3)
            text += QStringLiteral("priority:") + QLatin1String(priorities[priority]);
    }
    if (const QString note = escapedString(textOf(record, "NOTE")); !note.isEmpty())
        text += QStringLiteral("plain text content:\"%1\", ").arg(note);
    if (!GlobalVariables::getOutlookVersionNumber().startsWith(QLatin1String("14")))
        text += categories.isEmpty() ? QStringLiteral("category:{}, ") : QStringLiteral("category:{%1}, ").arg(categories.chopped(2));
    if (text.endsWith(QLatin1String(", ")))
        text = text.chopped(2) + u'}';
    return text == u"{" ? QStringLiteral("{}") : text;
}
