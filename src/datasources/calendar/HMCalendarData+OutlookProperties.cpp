// The texts the Outlook write side splices into its scripts: an event's properties record, the
// recurrence record of a rule, the category fragments of a record, and the note Outlook holds.

#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMCalendarDataOutlookWrites.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "sync/HMProfile.h"

#include <QTimeZone>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

using calendaroutlook::application;
using calendaroutlook::isDate;

namespace {

// The text behind the first part that begins with the prefix and is longer than it.
std::optional<QString> partValue(const QStringList &parts, QLatin1String prefix)
{
    for (const QString &part : parts) {
        if (part.startsWith(prefix) && part.size() > prefix.size())
            return part.mid(prefix.size());
    }
    return std::nullopt;
}

// The names of a record's categories: NSARRAYCATEGORIES, else CATEGORY split at ",".
QStringList categoryNames(const QVariantMap &record)
{
    if (record.contains(QStringLiteral("NSARRAYCATEGORIES")))
        return record.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList();
    const QVariant category = record.value(QStringLiteral("CATEGORY"));
    if (category.typeId() == QMetaType::QString && !QString(category.toString()).remove(u',').isEmpty())
        return category.toString().split(u',');
    return {};
}

} // namespace

platform::DateFormatter &HMCalendarData::appleScriptDateFormatter()
{
    if (!m_appleScriptDateFormatter) {
        const QString pattern = GlobalVariables::getSystemDateFormat();
        DDLogInfo(QStringLiteral("systemDateFormat %1").arg(pattern));
        m_appleScriptDateFormatter.emplace(pattern, platform::Locale(QStringLiteral("en_US_POSIX")),
                                           platform::TimeZone::systemTimeZone());
    }
    return *m_appleScriptDateFormatter;
}

// The category fragments of the record, creating the categories Outlook lacks. The COLORINDEX road
// is the create and properties texts' (not the import's).
QStringList HMCalendarData::outlookCategoryFragments(const QVariantMap &record, bool withColorFallback)
{
    const QStringList names = categoryNames(record);
    if (names.isEmpty())
        return {};
    QString indexText;
    const QVariantList indexes = record.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES")).toList();
    if (record.contains(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES")) && indexes.size() == names.size()) {
        for (const QVariant &index : indexes)
            indexText += index.toString() + u'\t';
    } else if (withColorFallback) {
        indexText = HMOutlookCategoryHelper::colorValuesFromColorIndex(record);
    }
    if (!categoryHelper())
        setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    return categoryHelper()->arrayOfCommandsForCategoryString(names.join(u'\t') + u'\t', indexText);
}

QString HMCalendarData::propertiesStringFromEventDictionary(const QVariantMap &record, bool updateNote)
{
    QStringList fragments = outlookCategoryFragments(record, true);
    const QString subject = escapedString(stringForKey(QStringLiteral("SUBJECT"), record));
    const QString location = escapedString(stringForKey(QStringLiteral("LOCATION"), record));
    const bool allDay = boolForKey(record, QStringLiteral("TYPENUMBER"));
    QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const bool hasDates = record.contains(QStringLiteral("NSDATESTARTDATE")) || record.contains(QStringLiteral("NSDATEENDDATE"));
    if (allDay && hasDates)
        start = dateUtilities().dateAtMidnightForDate(start);
    const auto [hasReminder, reminderTime] = outlookReminderTexts(record, start);
    const QString note = escapedString(stringForKey(QStringLiteral("NOTE"), record));
    QString text = QStringLiteral("{");
    if (!subject.isEmpty())
        text += QStringLiteral("subject:\"%1\", ").arg(subject);
    text += QStringLiteral("all day flag:\"%1\", ").arg(allDay ? QStringLiteral("true") : QStringLiteral("false"));
    if (hasDates)
        text += QStringLiteral("has reminder:\"%1\", reminder time:\"%2\", ").arg(hasReminder, reminderTime);
    if (!location.isEmpty())
        text += QStringLiteral("location:\"%1\", ").arg(location);
    text += QStringLiteral("free busy status:%1, ").arg(escapedString(outlookBusyWord(record, allDay)));
    if (updateNote && !note.isEmpty())
        text += QStringLiteral("plain text content:\"%1\", ").arg(note);
    text += QStringLiteral("is private:%1, ").arg(outlookPrivateText(record));
    text += QStringLiteral("category:{") + fragments.join(QString());
    if (text.endsWith(QLatin1String(", ")))
        text.chop(2);
    text += QStringLiteral("}, ");
    text.chop(2);
    return text + u'}';
}

QString HMCalendarData::outlookBusyWord(const QVariantMap &record, bool allDay)
{
    static const char *const words[] = {"free", "tentative", "busy", "out of office"};
    const QVariant value = record.value(QStringLiteral("BUSYSTATUS"));
    const QString text = value.toString();
    if (value.isValid() && text.size() == 1 && text.at(0) >= u'0' && text.at(0) <= u'3')
        return QLatin1String(words[text.at(0).unicode() - u'0']);
    return allDay ? QStringLiteral("Free") : QStringLiteral("Busy");
}

// "true" only for a number whose integer value is 1.
QString HMCalendarData::outlookPrivateText(const QVariantMap &record)
{
    const QVariant value = record.value(QStringLiteral("PRIVATE"));
    const bool isNumber = value.isValid() && value.typeId() != QMetaType::QString && value.canConvert<qlonglong>();
    return isNumber && value.toLongLong() == 1 ? QStringLiteral("true") : QStringLiteral("false");
}

// has reminder and reminder time: an alarm date gives the minutes before the start ("%f"); an alarm
// date that is no date gives none, even with a number of minutes.
std::pair<QString, QString> HMCalendarData::outlookReminderTexts(const QVariantMap &record, const QDateTime &start)
{
    if (record.contains(QStringLiteral("NSDATEALARMDATE"))) {
        const QVariant alarm = record.value(QStringLiteral("NSDATEALARMDATE"));
        if (!isDate(alarm))
            return {QStringLiteral("false"), QString()};
        return {QStringLiteral("true"), QString::asprintf("%f", double(alarm.toDateTime().secsTo(start)) / 60.0)};
    }
    if (record.contains(QStringLiteral("NSNUMBERALARMTIME")))
        return {QStringLiteral("true"), record.value(QStringLiteral("NSNUMBERALARMTIME")).toString()};
    return {QStringLiteral("false"), QString()};
}

// ---- The recurrence record ----------------------------------------------------------------------

// A COUNT ends the series after that many occurrences for every method: written without its end, a
// counted series became endless in Outlook.
QString HMCalendarData::outlookRecurrenceEnd(const QStringList &parts)
{
    if (const auto until = partValue(parts, QLatin1String("UNTIL="))) {
        // The Z says UTC: read as a local time, the end moved by the zone's offset and east of UTC left
        // the last day's occurrence out.
        const platform::DateFormatter reader(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"), platform::Locale(QStringLiteral("en_US_POSIX")),
                                             platform::TimeZone::gmt());
        const auto date = reader.parse(*until);
        return QStringLiteral("end date:{data:date \"%1\", end type:end date type}}")
            .arg(date && date->isValid() ? appleScriptDateFormatter().format(*date) : QStringLiteral("(null)"));
    }
    if (const auto count = partValue(parts, QLatin1String("COUNT=")))
        return QStringLiteral("end date:{data:%1, end type:end numbered type}}").arg(*count);
    return QStringLiteral("end date:{end type:no end type}}");
}

QString HMCalendarData::outlookRecurrenceKind(QString type, const QStringList &parts, const QDateTime &start, qint64 &dayOfMonth)
{
    const auto ordinal = [&parts](bool zeroIsOne) {
        QString value = QStringLiteral("1");
        for (const QString &part : parts) {
            if (part.startsWith(QLatin1String("BYDAY=")) && part.size() > 7)
                value = part.mid(6, 1);
        }
        if (value == u"-" || (zeroIsOne && value == u"0"))
            value = value == u"-" ? QStringLiteral("5") : QStringLiteral("1");
        return value;
    };
    const bool hasByDay = partValue(parts, QLatin1String("BYDAY=")).has_value();
    const QDateTime local = start.toLocalTime();
    if (type == u"monthly") {
        if (dayOfMonth != 0)
            return QStringLiteral("recurrence type:absolute monthly, ");
        return QStringLiteral("ordinal:%1, recurrence type:relative monthly, ").arg(ordinal(false));
    }
    if (type == u"yearly") {
        QString text = QStringLiteral("month number:%1, ").arg(start.isValid() ? local.date().month() : 1);
        if (dayOfMonth == 0 && start.isValid())
            dayOfMonth = local.date().day();
        if (!hasByDay)
            return text + QStringLiteral("recurrence type:absolute yearly, ");
        return text + QStringLiteral("ordinal:%1, recurrence type:relative yearly, ").arg(ordinal(true));
    }
    return QStringLiteral("recurrence type:%1, ").arg(type);
}

QString HMCalendarData::outlookRecurrencePropertiesStringFromRRule(const QString &given, const QDateTime &start)
{
    QString rule = GlobalVariables::getIsGoogleDirect() ? given + u';' : given;
    if (rule.startsWith(QLatin1String("RRULE:")))
        rule.remove(0, 6);
    QStringList parts = rule.split(u';');
    QString interval = partValue(parts, QLatin1String("INTERVAL=")).value_or(QString());
    if (interval.isEmpty() || interval == u"0")
        interval = QStringLiteral("1");
    QString text = QStringLiteral("recurrence:{occurrence interval:%1, start date:date \"%2\", ")
                       .arg(interval, outlookDateText(start));
    const QString type = partValue(parts, QLatin1String("FREQ=")).value_or(QString()).toLower();
    if (type == u"weekly" && !partValue(parts, QLatin1String("BYDAY=")) && start.isValid()) {
        const QDate day = start.toUTC().date();
        static const char *const codes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
        parts.append(QStringLiteral("BYDAY=%1").arg(QLatin1String(codes[dayOfTheWeekFromYear(day.year(), day.month(), day.day())])));
    }
    if (const auto days = partValue(parts, QLatin1String("BYDAY="))) {
        QStringList flags;
        for (const auto &[name, code] : {std::pair{"monday", "MO"}, {"tuesday", "TU"}, {"wednesday", "WE"}, {"thursday", "TH"},
                                         {"friday", "FR"}, {"saturday", "SA"}, {"sunday", "SU"}})
            flags.append(QStringLiteral("%1:%2").arg(QLatin1String(name), days->contains(QLatin1String(code)) ? QStringLiteral("true")
                                                                                                              : QStringLiteral("false")));
        text += QStringLiteral("days of week:{%1}, ").arg(flags.join(QStringLiteral(", ")));
    }
    qint64 dayOfMonth = partValue(parts, QLatin1String("BYMONTHDAY=")).value_or(QString()).toLongLong();
    if (GlobalVariables::getIsGoogleDirect() && !partValue(parts, QLatin1String("BYDAY=")) && start.isValid())
        dayOfMonth = start.toLocalTime().date().day();
    text += outlookRecurrenceKind(type, parts, start, dayOfMonth);
    if (dayOfMonth != 0)
        text += QStringLiteral("day of month:%1, ").arg(dayOfMonth);
    return text + outlookRecurrenceEnd(parts);
}
