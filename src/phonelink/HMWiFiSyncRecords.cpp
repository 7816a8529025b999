// The record commands of HMWiFiSync: purge, id list, paged list and update, the key maps and the
// conversions of record values to and from the phone's texts.

#include "phonelink/HMWiFiSync.h"

#include "phonelink/PhoneListReply.h"

#include <array>
#include <initializer_list>
#include <utility>

#include "foundation/GlobalVariables.h"
#include "foundation/HMDateUtilities.h"
#include "foundation/HMLogRedaction.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "foundation/NSString+stripHtml.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Scanner.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/Values.h"
#include "sync/HMSyncFields.h"
#include "platform/restkit/RKErrors.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncTypes.h"

#include <QCryptographicHash>
#include <algorithm>

using platform::PlatformError;
using platform::RKRequest;
using platform::RKRequestOutcome;

namespace {

std::mutex &batchAnsweredHookMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::function<void()> &batchAnsweredHook()
{
    static std::function<void()> hook;
    return hook;
}

const QString kNetworkConnectionLost = QStringLiteral("The network connection was lost");

bool isRecordConduit(quint64 conduit)
{
    return conduit >= 1 && conduit <= 4;
}

// The letter of the "conduit" field; other conduits send none.
QString conduitLetter(quint64 conduit)
{
    return isRecordConduit(conduit) ? conduitShortIdentifierString(HMSyncConduit(conduit)) : QString();
}

QVariantMap commandParameters(const QVariantMap &credentials, quint64 conduit)
{
    QVariantMap parameters = credentials;
    const QString letter = conduitLetter(conduit);
    if (!letter.isEmpty())
        parameters.insert(QStringLiteral("conduit"), letter);
    return parameters;
}

enum class ReplyStatus { Empty, Fail, Ok };

// Any first line but "FAIL" counts as success; lines end with CR, LF or CR LF.
ReplyStatus replyStatus(const QString &body)
{
    if (body.isEmpty())
        return ReplyStatus::Empty;
    const auto lineEnd =
        std::find_if(body.cbegin(), body.cend(), [](QChar unit) { return unit == u'\r' || unit == u'\n'; });
    const QString status = body.left(lineEnd - body.cbegin());
    return status == QLatin1String("FAIL") ? ReplyStatus::Fail : ReplyStatus::Ok;
}

QStringList numberedKeys(const QString &prefix, int first, int last)
{
    QStringList keys;
    for (int number = first; number <= last; ++number)
        keys.append(prefix + QString::number(number));
    return keys;
}

// A phone row carries every column of its conduit, most of them empty. An empty text names no date;
// it is answered here, since the formatter's general parser spends some hundred thousand instructions
// refusing it, which was half of a first sync of contacts without birthdays.
QDateTime parsedDate(const platform::DateFormatter &formatter, const QString &text)
{
    if (text.isEmpty())
        return QDateTime();
    return formatter.parse(text).valueOr(QDateTime());
}

// A day the phone gives as "yyyyMMdd", read at its midnight by the full formatter; an empty text
// names none.
QDateTime midnightFromPhone(const platform::DateFormatter &formatter, const QString &day)
{
    return day.isEmpty() ? QDateTime() : parsedDate(formatter, day + QStringLiteral(" 00:00:00"));
}

QStringList datesFromPhoneText(const QVariant &value)
{
    return hmWiFiDecodedString(value.toString()).split(QLatin1Char('\t'));
}

// Whether the text ends with the word in any letter case. ASCII letters are compared by their case
// alone, as folding them does; a text that ends in other letters is folded.
bool endsWithIgnoringCase(QStringView text, QLatin1StringView word)
{
    if (text.size() < word.size())
        return false;
    const QStringView tail = text.last(word.size());
    for (qsizetype index = 0; index < word.size(); ++index) {
        const char16_t letter = tail[index].unicode();
        if (letter >= 0x80)
            return tail.compare(word, Qt::CaseInsensitive) == 0;
        const char16_t lowered = letter >= u'A' && letter <= u'Z' ? char16_t(letter - u'A' + u'a') : letter;
        if (lowered != char16_t(word[index].unicode()))
            return false;
    }
    return true;
}

// A date key of a phone row is replaced by its parsed date, or removed when the text gives none.
void setParsedDate(QVariantMap &record, const QString &key, const QDateTime &date)
{
    if (date.isValid())
        record.insert(key, date);
    else
        record.remove(key);
}

// A date key going to the phone is written as its text, or removed when it holds no date.
void setDateText(QVariantMap &record, const QString &key, const QString &text)
{
    if (text.isEmpty())
        record.remove(key);
    else
        record.insert(key, text);
}

// A task's start day or reminder as the phone gives it back: the forms written to it (a start day
// "yyyyMMdd", a reminder "yyyy-MM-dd HH:mm:ss") and a day "yyyy-MM-dd" at midnight. Read in the
// day form alone, every start and reminder the phone had from us was lost on its way back.
QDateTime taskDateFromPhone(const QVariant &value, HMDateUtilities &dates)
{
    const QString text = value.toString();
    if (text.isEmpty())
        return QDateTime();
    QDateTime date = dates.dateFromDateTimeString(text + QStringLiteral(" 00:00:00"));
    if (!date.isValid())
        date = dates.dateFromDateTimeString(text);
    if (!date.isValid())
        date = parsedDate(dates.dateOnlySyncFormatter(), text);
    return date;
}

void taskDatesFromPhone(QVariantMap &record, HMDateUtilities &dates)
{
    if (record.contains(QStringLiteral("DUEDATE")))
        setParsedDate(record, QStringLiteral("DUEDATE"),
                      parsedDate(dates.dateOnlySyncFormatter(), record.value(QStringLiteral("DUEDATE")).toString()));
    if (record.contains(QStringLiteral("NSDATESTARTDATE"))) {
        const QDateTime start = taskDateFromPhone(record.value(QStringLiteral("NSDATESTARTDATE")), dates);
        if (start.isValid())
            record.insert(QStringLiteral("NSDATESTARTDATE"), start);
    }
    if (record.contains(QStringLiteral("NSDATEALARMDATE")))
        setParsedDate(record, QStringLiteral("NSDATEALARMDATE"),
                      taskDateFromPhone(record.value(QStringLiteral("NSDATEALARMDATE")), dates));
    for (const QString &key : {QStringLiteral("PERCENTCOMPLETE"), QStringLiteral("PRIORITY")}) {
        if (record.contains(key))
            record.insert(key, qint64(platform::intValue(record.value(key))));
    }
}

void contactDatesFromPhone(QVariantMap &record, HMDateUtilities &dates)
{
    for (const QString &key : {QStringLiteral("NSDATEBIRTHDAY"), QStringLiteral("NSDATEANNIVERSARY")}) {
        if (record.contains(key))
            setParsedDate(record, key, midnightFromPhone(dates.fullDateSyncFormatter(), record.value(key).toString()));
    }
}

void eventTimesFromPhone(QVariantMap &record, HMDateUtilities &dates)
{
    const bool isAllDay = record.value(QStringLiteral("TYPENUMBER")).toString() == QLatin1String("1");
    const QString noon = QStringLiteral("12:00:00");
    // An all-day event runs from noon GMT of its first day to noon GMT of the day after its last,
    // whatever times the row carries.
    QDateTime start =
        dates.dateFromGmtDateString(record.value(QStringLiteral("GMTSTARTDATE")),
                                    isAllDay ? QVariant(noon) : record.value(QStringLiteral("GMTSTARTTIME")));
    QDateTime end = dates.dateFromGmtDateString(record.value(QStringLiteral("GMTENDDATE")),
                                                isAllDay ? QVariant(noon) : record.value(QStringLiteral("GMTENDTIME")));
    if (isAllDay && end.isValid())
        end = dates.dateByAdding(1, platform::CalendarUnit::Day, end);
    if (start.isValid())
        record.insert(QStringLiteral("NSDATESTARTDATE"), start);
    if (end.isValid())
        record.insert(QStringLiteral("NSDATEENDDATE"), end);
    const QString repeatEnd = record.value(QStringLiteral("NSDATEREPEATEND")).toString();
    if (repeatEnd.isEmpty())
        record.remove(QStringLiteral("NSDATEREPEATEND"));
    else
        setParsedDate(record, QStringLiteral("NSDATEREPEATEND"), parsedDate(dates.dateOnlySyncFormatter(), repeatEnd));
    record.insert(QStringLiteral("TYPENUMBER"), isAllDay);
    const qint64 alarm = platform::integerValue(record.value(QStringLiteral("NSNUMBERALARMTIME")));
    if (alarm == -1)
        record.remove(QStringLiteral("NSNUMBERALARMTIME"));
    else
        record.insert(QStringLiteral("NSNUMBERALARMTIME"), alarm);
}

// With Outlook, the categories and their colours go as comma-separated texts.
void outlookCategoriesToPhone(QVariantMap &record)
{
    const auto joined = [&record](const QString &key, bool onlySixCharacters) {
        QStringList parts;
        for (const QVariant &entry : record.value(key).toList()) {
            const QString text = entry.toString();
            if (!onlySixCharacters || text.size() == 6)
                parts.append(text);
        }
        return parts.join(QLatin1Char(','));
    };
    const QString category = joined(QStringLiteral("NSARRAYCATEGORIES"), false);
    const QString colorIndex = joined(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"), false);
    const QString color = joined(QStringLiteral("NSARRAYCATEGORYCOLORS"), true);
    if (!category.isEmpty())
        record.insert(QStringLiteral("CATEGORY"), category);
    if (!colorIndex.isEmpty())
        record.insert(QStringLiteral("COLORINDEX"), colorIndex);
    if (!color.isEmpty())
        record.insert(QStringLiteral("CATEGORYCOLOR"), color);
}

// The recurrence's exception and custom dates go as tab-separated date texts.
void recurrenceDatesToPhone(QVariantMap &record, HMDateUtilities &dates)
{
    if (record.contains(QStringLiteral("NSARRAYEXCEPTIONS"))) {
        const QVariant exceptions = record.value(QStringLiteral("NSARRAYEXCEPTIONS"));
        QStringList parts;
        if (platform::isList(exceptions)) {
            for (const QVariant &entry : exceptions.toList()) {
                if (platform::isDate(entry))
                    parts.append(dates.dateStringFromDateFormattedForSync(entry.toDateTime()));
                else if (platform::isText(entry))
                    parts.append(entry.toString());
            }
        }
        record.insert(QStringLiteral("NSARRAYEXCEPTIONS"), parts.join(QLatin1Char('\t')));
    }
    if (record.contains(QStringLiteral("NSARRAYCUSTOMDATES"))) {
        QStringList parts;
        for (const QVariant &entry : record.value(QStringLiteral("NSARRAYCUSTOMDATES")).toList()) {
            if (platform::isDate(entry))
                parts.append(dates.dateStringFromDateFormattedForSync(entry.toDateTime()));
        }
        record.insert(QStringLiteral("NSARRAYCUSTOMDATES"), parts.join(QLatin1Char('\t')));
    }
}

void taskDatesToPhone(QVariantMap &record, HMDateUtilities &dates)
{
    const QVariant start = record.value(QStringLiteral("NSDATESTARTDATE"));
    if (platform::isDate(start))
        record.insert(QStringLiteral("NSDATESTARTDATE"), dates.dateStringFromDateFormattedForSync(start.toDateTime()));
    if (record.contains(QStringLiteral("DUEDATE")))
        setDateText(record, QStringLiteral("DUEDATE"),
                    dates.dateStringFromDateFormattedForSync(record.value(QStringLiteral("DUEDATE")).toDateTime()));
    if (record.contains(QStringLiteral("NSDATEALARMDATE")))
        setDateText(record, QStringLiteral("NSDATEALARMDATE"),
                    dates.fullDateFormatter().format(record.value(QStringLiteral("NSDATEALARMDATE")).toDateTime()));
}

void contactDatesToPhone(QVariantMap &record, HMDateUtilities &dates)
{
    for (const QString &key : {QStringLiteral("NSDATEBIRTHDAY"), QStringLiteral("NSDATEANNIVERSARY")}) {
        if (record.contains(key))
            setDateText(record, key, dates.dateStringFromDateFormattedForSync(record.value(key).toDateTime()));
    }
}

// An event without a start date is marked to be left out of the batch.
void eventTimesToPhone(QVariantMap &record, HMDateUtilities &dates)
{
    record.insert(QStringLiteral("TYPENUMBER"), platform::boolValue(record.value(QStringLiteral("TYPENUMBER")))
                                                    ? QStringLiteral("1")
                                                    : QStringLiteral("0"));
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QString gmtStartDate = dates.dateGmtStringFromDateFormattedForSync(start);
    if (gmtStartDate.isEmpty()) {
        DDLogInfo(QStringLiteral("sStartDate does not exist."));
        DDLogInfo(QStringLiteral("recordDictionary with %1 keys").arg(record.size()));
        record.insert(QStringLiteral("kIgnoreThisRecord"), true);
        return;
    }
    // An all-day event's record ends at noon of its last day, the day the phone names as its end (the
    // listing of the phone's rows adds the day back).
    const QDateTime end = record.value(QStringLiteral("NSDATEENDDATE")).toDateTime();
    const auto setIfFormatted = [&record](const QString &key, const QString &text) {
        if (!text.isEmpty())
            record.insert(key, text);
    };
    setIfFormatted(QStringLiteral("GMTSTARTDATE"), gmtStartDate);
    setIfFormatted(QStringLiteral("GMTSTARTTIME"), dates.timeGmtStringFromDateFormattedForSync(start));
    setIfFormatted(QStringLiteral("GMTENDDATE"), dates.dateGmtStringFromDateFormattedForSync(end));
    setIfFormatted(QStringLiteral("GMTENDTIME"), dates.timeGmtStringFromDateFormattedForSync(end));
    setIfFormatted(QStringLiteral("STARTDATE"), dates.dateStringFromDateFormattedForSync(start));
    setIfFormatted(QStringLiteral("STARTTIME"), dates.timeStringFromDateFormattedForSync(start));
    setIfFormatted(QStringLiteral("ENDDATE"), dates.dateStringFromDateFormattedForSync(end));
    setIfFormatted(QStringLiteral("ENDTIME"), dates.timeStringFromDateFormattedForSync(end));
    const QString repeatEnd =
        dates.dateStringFromDateFormattedForSync(record.value(QStringLiteral("NSDATEREPEATEND")).toDateTime());
    setHMValueAsString(record, repeatEnd.isNull() ? QVariant() : QVariant(repeatEnd),
                       QStringLiteral("NSDATEREPEATEND"));
    if (!record.contains(QStringLiteral("NSNUMBERALARMTIME")))
        record.insert(QStringLiteral("NSNUMBERALARMTIME"), qint64(-1));
}

// The date conversions of one direction, one for each conduit (contacts, events, tasks).
using DateConversion = void (*)(QVariantMap &, HMDateUtilities &);
using ConduitDateConversions = std::array<DateConversion, 3>;

const ConduitDateConversions kDatesFromPhone = {contactDatesFromPhone, eventTimesFromPhone, taskDatesFromPhone};
const ConduitDateConversions kDatesToPhone = {contactDatesToPhone, eventTimesToPhone, taskDatesToPhone};

void convertConduitDates(QVariantMap &record, HMDateUtilities &dates, quint64 conduit,
                         const ConduitDateConversions &conversions)
{
    if (conduit >= 1 && conduit <= conversions.size())
        conversions[conduit - 1](record, dates);
}

} // namespace

// Key maps -------------------------------------------------------------------------------------------

namespace {

// Engine keys that keep their name on the device, and engine keys the device names otherwise.
using KeyNames = std::initializer_list<const char *>;
using RenamedKeys = std::initializer_list<std::pair<const char *, const char *>>;

const KeyNames kCommonKeys = {"ACTION", "UID", "LASTMODIFIED"};
const KeyNames kCategoryKeys = {"CATEGORY", "CATEGORYCOLOR", "COLORINDEX"};

void insertSameNames(QVariantMap &map, KeyNames keys)
{
    for (const char *key : keys)
        map.insert(QLatin1String(key), QLatin1String(key));
}

void insertRenames(QVariantMap &map, RenamedKeys keys)
{
    for (const auto &[engineKey, deviceKey] : keys)
        map.insert(QLatin1String(engineKey), QLatin1String(deviceKey));
}

void insertNumberedNames(QVariantMap &map, const QString &prefix, int last)
{
    for (const QString &key : numberedKeys(prefix, 1, last))
        map.insert(key, key);
}

// The keys every conduit but contacts shares: the common ones and the device's deletion flag.
QVariantMap baseMapWithDeletion()
{
    QVariantMap map;
    insertSameNames(map, kCommonKeys);
    map.insert(QStringLiteral("DELETED"), QStringLiteral("Deleted"));
    return map;
}

QVariantMap contactKeyMap()
{
    QVariantMap map;
    insertSameNames(map, kCommonKeys);
    insertSameNames(map, kCategoryKeys);
    insertSameNames(map, {"NOTE", "MIDNAME", "SUFFIX", "NICKNAME", "FULLNAME", "SALUTATION", "PRIVATE", "EMAIL",
                          "EMAIL2", "EMAIL3", "COMPANY", "TITLE", "DEPARTMENT", "PROFESSION", "MANAGER", "ASSISTANT",
                          "SPOUSE", "CHILDREN"});
    insertNumberedNames(map, QStringLiteral("PHONE"), 10);
    insertNumberedNames(map, QStringLiteral("PHONELABEL"), 10);
    insertSameNames(map,
                    {"WORKPHONE",  "HOMEPHONE",  "CELLPHONE",  "WORKFAX",    "OTHERPHONE", "COMPANYPHONE", "PAGER",
                     "ADDRESS1",   "ADDRESS2",   "ADDRESS3",   "CITY",       "STATE",      "ZIP",          "COUNTRY",
                     "HOMEADDR1",  "HOMEADDR2",  "HOMEADDR3",  "HOMECITY",   "HOMESTATE",  "HOMEZIP",      "HOMECNTRY",
                     "OTHERADDR1", "OTHERADDR2", "OTHERADDR3", "OTHERCITY",  "OTHERSTATE", "OTHERZIP",     "OTHERCNTRY",
                     "WEBURL",     "WEBURLH",    "WEBURLW",    "IMADDRESS1", "IMADDRESS2", "IMLABEL1",     "IMLABEL2"});
    insertNumberedNames(map, QStringLiteral("USER"), 9);
    insertNumberedNames(map, QStringLiteral("LABEL"), 9);
    insertRenames(map, {{"FIRSTNAME", "NEWFNAME"},
                        {"LASTNAME", "NEWLNAME"},
                        {"NSDATEBIRTHDAY", "BIRTHDAY"},
                        {"NSDATEANNIVERSARY", "ANNIVERS"},
                        {"WORKPHONE2", "WKPHONE2"},
                        {"HOMEPHONE2", "HMPHONE2"}});
    return map;
}

// A calendar-store conduit's map: the shared keys, the category keys, and the conduit's own.
QVariantMap storeConduitKeyMap(KeyNames sameNames, RenamedKeys renames)
{
    QVariantMap map = baseMapWithDeletion();
    insertSameNames(map, kCategoryKeys);
    insertSameNames(map, sameNames);
    insertRenames(map, renames);
    return map;
}

QVariantMap calendarKeyMap()
{
    return storeConduitKeyMap({"PRIVATE",    "NOTE",       "SUBJECT",    "LOCATION",  "GMTSTARTDATE", "GMTSTARTTIME",
                               "GMTENDDATE", "GMTENDTIME", "STARTDATE",  "STARTTIME", "ENDDATE",      "ENDTIME",
                               "REPEAT",     "REPTDAYOPT", "INTERVAL",   "DAYMASK",   "DAYOFMONTH",   "DAYOCCUR",
                               "DAYTYPE",    "MONTH",      "REPTENDOPT", "OCCURS",    "PARENTID",     "BUSYSTATUS",
                               "EMAILS",     "COMPLETED",  "HASALARM"},
                              {{"TYPENUMBER", "TYPE"},
                               {"NSNUMBERALARMTIME", "ALARMTIME"},
                               {"EVENTTZ", "TimeZone"},
                               {"NSDATEREPEATEND", "REPEATEND"},
                               {"NSARRAYEXCEPTIONS", "REPEATEXCEPTIONS"},
                               {"ATTENDEES", "CONTACTS"}});
}

QVariantMap taskKeyMap()
{
    return storeConduitKeyMap(
        {"PRIVATE", "NOTE", "SUBJECT", "LOCATION", "PRIORITY", "MAXPRIORITY", "PRIORITYSTRING", "PERCENTCOMPLETE",
         "DUEDATE", "DUETIME", "HASDUEDATE", "STARTTIME"},
        {{"NSDATEALARMDATE", "ALARMTIME"}, {"COMPLETED", "COMPLETE"}, {"NSDATESTARTDATE", "STARTDATE"}});
}

QVariantMap memoKeyMap()
{
    return storeConduitKeyMap({"PRIVATE", "NOTE", "SUBJECT"}, {});
}

} // namespace

void HMWiFiSync::prepareKeyMappingDictionaries()
{
    m_toDeviceMaps = {baseMapWithDeletion(), contactKeyMap(), calendarKeyMap(), taskKeyMap(), memoKeyMap()};
    m_toEngineMaps.clear();
    for (const QVariantMap &map : m_toDeviceMaps)
        m_toEngineMaps.append(dictionaryWithKeyValuesSwapped(map));
}

// Conversions ----------------------------------------------------------------------------------------

void HMWiFiSync::prepareForEngineDictionary(QVariantMap &record, quint64 conduit)
{
    HMDateUtilities &dates = *m_dateUtilities;
    const QString action = record.value(QStringLiteral("ACTION")).toString();
    if (action == QLatin1String("add"))
        record.insert(QStringLiteral("ACTION"), qint64(1));
    else if (action == QLatin1String("update"))
        record.insert(QStringLiteral("ACTION"), qint64(2));
    else if (action == QLatin1String("delete"))
        record.insert(QStringLiteral("ACTION"), qint64(3));

    for (const QString &key : {QStringLiteral("NSARRAYEXCEPTIONS"), QStringLiteral("NSARRAYCUSTOMDATES")}) {
        if (!record.contains(key) || !platform::isText(record.value(key)))
            continue;
        QVariantList parsed;
        for (const QString &part : datesFromPhoneText(record.value(key))) {
            const QDateTime date = dates.dateFromDateString(part, QStringLiteral("12:00:00"));
            if (date.isValid())
                parsed.append(date);
        }
        record.insert(key, parsed);
    }
    convertConduitDates(record, dates, conduit, kDatesFromPhone);
}

void HMWiFiSync::prepareForWiFiDeviceDictionary(QVariantMap &record, quint64 conduit)
{
    HMDateUtilities &dates = *m_dateUtilities;
    if (GlobalVariables::getIsOutlookSync())
        outlookCategoriesToPhone(record);
    recurrenceDatesToPhone(record, dates);
    convertConduitDates(record, dates, conduit, kDatesToPhone);
}

// Purge ----------------------------------------------------------------------------------------------

bool HMWiFiSync::purge(quint64 conduit)
{
    // A worker that has not started when the transport goes away never runs.
    platform::DispatchQueue::global()->async(m_callbacks.wrap([this, conduit] { runPurge(conduit); }));
    return true;
}

void HMWiFiSync::runPurge(quint64 conduit)
{
    const QString path = QStringLiteral("/hmx_purge");
    // Every pass sends the purge once; resends are bounded by the connection window.
    for (;;) {
        std::shared_ptr<RKRequest> request =
            makeTextRequest(path, commandParameters(postParameterDictionary(), conduit));
        if (!request)
            return;
        const std::optional<ReportedOutcome> reported = sendForReport(request);
        if (!reported)
            return;
        const auto &[outcome, target] = *reported;
        if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
            if (judgeRequestFailure(outcome.error(), path, RetryScope::AnyConnectionFailure) == FailureAction::Retry) {
                DDLogInfo(QStringLiteral("Purging due to retry"));
                if (!pauseBeforeRetry())
                    return;
                continue;
            }
            DDLogVerbose(QStringLiteral("Erroring out due to command tries being at least once."));
            handleRKError(outcome.error());
            target->purgeCommandReturned(false);
            return;
        }
        const QString body = outcome.response().bodyAsString();
        DDLogVerbose(QStringLiteral("Response From: '%1'").arg(request->URLString()));
        DDLogVerbose(QStringLiteral("Response Data:\n%1").arg(body));
        switch (replyStatus(body)) {
        case ReplyStatus::Fail:
            target->didErrorWithError(6, failureReason(body));
            target->commandErroredStopProcessing();
            return;
        case ReplyStatus::Empty:
            DDLogError(QStringLiteral("Received empty response from Quillpad."));
            if (shouldResendAfterEmptyReply()) {
                if (!pauseBeforeRetry())
                    return;
                continue;
            }
            target->didErrorWithError(6, QString());
            target->purgeCommandReturned(false);
            return;
        case ReplyStatus::Ok:
            clearConnectionTries();
            target->purgeCommandReturned(true);
            return;
        }
    }
}

// Id list --------------------------------------------------------------------------------------------

std::optional<bool> HMWiFiSync::idListForConduit(quint64 conduit)
{
    DDLogInfo(QStringLiteral("idListForConduit: %1").arg(conduit));
    setWifiSyncInProgress(true);
    platform::DispatchQueue::global()->async(m_callbacks.wrap([this, conduit] { runIdList(conduit); }));
    return true;
}

void HMWiFiSync::runIdList(quint64 conduit)
{
    const QString path = QStringLiteral("/hmx_list");
    QVariantMap parameters = commandParameters(postParameterDictionary(), conduit);
    parameters.insert(QStringLiteral("mode"), QStringLiteral("idlist"));
    for (;;) {
        DDLogInfo(QStringLiteral("Generating idlist request for resource path: /hmx_list"));
        std::shared_ptr<RKRequest> request = makeTextRequest(path, parameters);
        if (!request)
            return;
        DDLogInfo(QStringLiteral("request.HTTPBodyString %1").arg(formBodyForLog(request->HTTPBodyString())));
        DDLogInfo(QStringLiteral("Sending idlist request"));
        const std::optional<ReportedOutcome> reported = sendForReport(request);
        if (!reported)
            return;
        const auto &[outcome, target] = *reported;
        bool resends = false;
        if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
            resends = resendsIdListAfterFailure(outcome.error(), path, *target);
        } else {
            const QString body = outcome.response().bodyAsString();
            DDLogInfo(
                QStringLiteral("Response From: '%1' \n%2").arg(request->URLString(), body.left(kLoggedReplyChars)));
            resends = resendsIdListAfterReply(body, conduit, *target);
        }
        if (!resends)
            return;
    }
}

bool HMWiFiSync::resendsIdListAfterFailure(const PlatformError &error, const QString &path,
                                           HMSyncClientDelegate &target)
{
    DDLogInfo(QStringLiteral("request.onDidFailLoadWithError %1").arg(error.code()));
    if (judgeRequestFailure(error, path, RetryScope::AnyConnectionFailure) == FailureAction::GiveUp) {
        DDLogInfo(QStringLiteral("Erroring out due to command tries being at least once."));
        handleRKError(error);
        target.idListCommandFinishedSuccessful(false);
        return false;
    }
    DDLogInfo(QStringLiteral("Retrying connection."));
    if (!pauseBeforeRetry(m_timing.idListRetryPause))
        return false;
    bool hasTriedTooOften = false;
    {
        const std::lock_guard lock(m_mutex);
        hasTriedTooOften = m_connectionTries > 9;
        if (hasTriedTooOften) {
            m_connectionTries = 0;
            m_connectionTryTimeoutDate = QDateTime();
        }
    }
    if (!hasTriedTooOften)
        return true;
    DDLogInfo(QStringLiteral("didErrorWithError:HMSyncErrorTimeout"));
    target.didErrorWithError(3, QString());
    target.idListCommandFinishedSuccessful(false);
    return false;
}

bool HMWiFiSync::resendsIdListAfterReply(const QString &body, quint64 conduit, HMSyncClientDelegate &target)
{
    if (isRecordConduit(conduit)) {
        const std::lock_guard lock(m_mutex);
        m_numberOfRecordsInList[conduit] = countRecordsInList(body);
    }
    const ReplyStatus status = replyStatus(body);
    if (status == ReplyStatus::Empty) {
        DDLogError(QStringLiteral("Received empty response from Quillpad."));
        if (shouldResendAfterEmptyReply()) {
            DDLogInfo(QStringLiteral("Retrying connection"));
            return pauseBeforeRetry();
        }
        target.didErrorWithError(6, QString());
        target.idListCommandFinishedSuccessful(false);
        return false;
    }
    clearConnectionTries();
    if (status == ReplyStatus::Fail) {
        const QString reason = failureReason(body);
        DDLogInfo(QStringLiteral("failureMessage %1").arg(reason));
        target.didErrorWithError(6, reason);
        target.listCommandFinishedSuccessful(false);
        return false;
    }
    target.listCommandFinishedSuccessful(reportIdList(target, body, conduit));
    return false;
}

// The id list decides which desktop records are deleted: one that is not read whole deletes nothing
// and ends the conduit in error. Of its rows only the ids are kept: a phone's whole list is held at
// once, and as maps of texts it would be among the largest things a sync holds.
bool HMWiFiSync::reportIdList(HMSyncClientDelegate &target, const QString &body, quint64 conduit)
{
    const platform::Result<QStringList> identifiers =
        phonelist::readColumn(body, listRules(conduit, false), QString(kHMSyncFieldUid));
    if (!identifiers) {
        DDLogError(identifiers.error().message());
        target.didErrorWithError(6, identifiers.error().message());
        return false;
    }
    DDLogInfo(QStringLiteral("Parsing list for conduit '%1'").arg(conduitLetter(conduit)));
    target.setIdsForNonDeletedWiFiRecords(*identifiers, conduitLetter(conduit));
    target.idListCommandReturnedWithDictionaries(*identifiers);
    return true;
}

// Every row word ends at a tab, and no two of them end alike, so each tab ends one at most: one walk
// from tab to tab counts them all, where a search per word would fold the case of the whole list three
// times (an id list of 20,000 rows is a megabyte of text).
qint64 HMWiFiSync::countRecordsInList(const QString &list)
{
    static constexpr QLatin1StringView kRowWords[] = {QLatin1StringView("update"), QLatin1StringView("add"),
                                                      QLatin1StringView("delete")};
    const QStringView text(list);
    qint64 count = 0;
    for (qsizetype tab = text.indexOf(u'\t'); tab >= 0; tab = text.indexOf(u'\t', tab + 1)) {
        // Every row word ends in "e" or "d": a tab after any other ASCII letter ends none of them, and
        // many tabs of a list end a value, not a word. Other letters take the full comparison.
        const char16_t last = tab > 0 ? text.at(tab - 1).unicode() : u'\0';
        if (last < 0x80 && last != u'e' && last != u'E' && last != u'd' && last != u'D')
            continue;
        const QStringView before = text.first(tab);
        count += std::any_of(std::begin(kRowWords), std::end(kRowWords),
                             [before](QLatin1StringView word) { return endsWithIgnoringCase(before, word); });
    }
    return count;
}

phonelist::ReadRules HMWiFiSync::listRules(quint64 conduit, bool isPage) const
{
    phonelist::ReadRules rules;
    rules.isIdList = !isPage;
    rules.requiresUid = !isPage;
    rules.rowLimit = isPage ? qsizetype(kListPageSize) : kMaxIdListRows;
    // Columns without a map entry are dropped: only the conduit's known keys reach a record.
    rules.keyForColumn = m_toEngineMaps.value(qsizetype(isRecordConduit(conduit) ? conduit : 0));
    return rules;
}

platform::Result<QList<QVariantMap>> HMWiFiSync::pageRows(const QString &body, quint64 conduit)
{
    // Inside page rows the phone writes "&" as BEL.
    QString text = body;
    text.replace(QChar(7), QLatin1Char('&'));
    platform::Result<QList<QVariantMap>> rows = phonelist::readRows(text, listRules(conduit, true));
    if (!rows)
        return rows;
    const QHash<QString, QString> phoneNames =
        phoneNamesOf(m_toDeviceMaps.value(qsizetype(isRecordConduit(conduit) ? conduit : 0)));
    for (QVariantMap &record : *rows) {
        // The phone writes TAB and line breaks inside values in its own encoding; undo it so the
        // text reaches the record as it was typed.
        for (auto it = record.begin(); it != record.end(); ++it)
            it.value() = hmWiFiDecodedString(it.value().toString());
        const QString content = listedContentHash(record, phoneNames);
        prepareForEngineDictionary(record, conduit);
        record.insert(kHMListedContentKey, content);
    }
    return rows;
}

// Paged list -----------------------------------------------------------------------------------------

bool HMWiFiSync::listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince)
{
    const WorkScope work(*this);
    const QVariantMap parameters = listPageParameters(conduit, modifiedSince);
    const QString path = QStringLiteral("/hmx_list");
    // Every pass sends the page once. Resends are bounded: connection failures and empty replies by
    // the connection window, lost connections by their own counter.
    for (;;) {
        std::shared_ptr<RKRequest> request = makeTextRequest(path, parameters);
        if (!request)
            return false;
        DDLogInfo(QStringLiteral("Sending list command to device: %1 %2")
                      .arg(request->URLString(), formBodyForLog(request->HTTPBodyString())));
        const RKRequestOutcome outcome = sendAndWait(request);
        if (outcome.kind() == RKRequestOutcome::Kind::Cancelled)
            return true;
        HMSyncClientDelegate *target = reportTo();
        if (target == nullptr)
            return false;
        bool resends = false;
        if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
            resends = resendsListAfterFailure(outcome.error(), path, conduit, *target);
        } else {
            DDLogVerbose(QStringLiteral("Response From: '%1'").arg(request->URLString()));
            resends = resendsListAfterReply(outcome.response().bodyAsString(), conduit, *target);
        }
        if (!resends)
            return true;
    }
}

QVariantMap HMWiFiSync::listPageParameters(quint64 conduit, const QDateTime &modifiedSince)
{
    qint64 pageOffset = 0;
    {
        const std::lock_guard lock(m_mutex);
        if (conduit != m_lastConduitUsedInListMethod) {
            m_offset = 0;
            m_totalRecordRead = 0;
        }
        m_lastConduitUsedInListMethod = conduit;
        pageOffset = m_offset;
        m_offset += kListPageSize;
    }
    QVariantMap parameters = commandParameters(postParameterDictionary(), conduit);
    if (modifiedSince.isValid())
        parameters.insert(QStringLiteral("modified"), m_dateUtilities->fullDateFormatter().format(modifiedSince));
    parameters.insert(QStringLiteral("Limit"), QString::number(kListPageSize));
    parameters.insert(QStringLiteral("Offset"), QString::number(pageOffset));
    return parameters;
}

bool HMWiFiSync::resendsListAfterFailure(const PlatformError &error, const QString &path, quint64 conduit,
                                         HMSyncClientDelegate &target)
{
    DDLogInfo(
        QStringLiteral("request.onDidFailLoadWithError: %1 %2").arg(error.code()).arg(error.localizedDescription()));
    const FailureAction action = judgeRequestFailure(error, path, RetryScope::AnyConnectionFailure);
    if (error.localizedDescription().contains(kNetworkConnectionLost)) {
        if (mayResendAfterLostConnection()) {
            DDLogInfo(QStringLiteral("Network connection lost. Retrying in a few seconds."));
            return true;
        }
        clearConnectionTries();
        target.didErrorWithError(3, QStringLiteral("The network connection was lost."));
        finishListPage(conduit, false, {});
        return false;
    }
    if (action == FailureAction::Retry) {
        DDLogInfo(QStringLiteral("retrying lisrt command"));
        return pauseBeforeRetry();
    }
    handleRKError(error);
    finishListPage(conduit, false, {});
    return false;
}

bool HMWiFiSync::mayResendAfterLostConnection()
{
    const std::lock_guard lock(m_mutex);
    const bool mayResend = m_connectionWasLostRetryCounter <= 1;
    if (mayResend)
        ++m_connectionWasLostRetryCounter;
    else
        m_connectionWasLostRetryCounter = 0;
    return mayResend;
}

bool HMWiFiSync::resendsListAfterReply(const QString &body, quint64 conduit, HMSyncClientDelegate &target)
{
    const ReplyStatus status = replyStatus(body);
    if (status == ReplyStatus::Empty) {
        DDLogError(QStringLiteral("Received empty response from Quillpad."));
        if (shouldResendAfterEmptyReply())
            return pauseBeforeRetry();
        target.didErrorWithError(6, QString());
        finishListPage(conduit, false, {});
        return false;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_connectionWasLostRetryCounter = 0;
        m_connectionTryTimeoutDate = QDateTime();
        m_connectionTries = 0;
    }
    if (status == ReplyStatus::Fail) {
        DDLogInfo(QStringLiteral("Device response: %1").arg(body.left(kLoggedReplyChars)));
        target.didErrorWithError(6, failureReason(body));
        finishListPage(conduit, false, {});
        return false;
    }
    // A page that is not read whole applies nothing: its rows would be taken as all the phone's
    // changes, and the rest lost once the phone marks them as synced.
    const platform::Result<QList<QVariantMap>> rows = pageRows(body, conduit);
    if (!rows) {
        DDLogError(rows.error().message());
        target.didErrorWithError(6, rows.error().message());
        finishListPage(conduit, false, {});
        return false;
    }
    finishListPage(conduit, true, *rows);
    return false;
}

void HMWiFiSync::finishListPage(quint64 conduit, bool wasSuccessful, const QList<QVariantMap> &rows)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    bool remains = false;
    {
        const std::lock_guard lock(m_mutex);
        if (!wasSuccessful || rows.isEmpty()) {
            if (isRecordConduit(conduit))
                m_totalRecordRead = m_numberOfRecordsInList[conduit];
        } else {
            m_totalRecordRead += rows.size();
        }
        remains = wasSuccessful && isRecordConduit(conduit) && m_totalRecordRead < m_numberOfRecordsInList[conduit];
    }
    if (wasSuccessful) {
        if (rows.isEmpty() && isRecordConduit(conduit))
            target->writeRemainOnCurrentConduit(false);
        target->listCommandReturnedWithDictionaries(rows);
    }
    DDLogInfo(QStringLiteral("listCommandFinishedSuccessful: %1").arg(wasSuccessful ? 1 : 0));
    target->listCommandFinishedSuccessful(wasSuccessful);
    target->writeCurrentConduit(conduit);
    // A failed page ends the conduit's list: nothing more is asked for.
    if (isRecordConduit(conduit) || !wasSuccessful)
        target->writeRemainOnCurrentConduit(remains);
}

// Update ---------------------------------------------------------------------------------------------

QString HMWiFiSync::updateLineForRecord(HMSyncRecord &record, quint64 conduit)
{
    const QString action = record.isNew()      ? QStringLiteral("Add")
                           : record.isDelete() ? QStringLiteral("Delete")
                                               : QStringLiteral("Change");
    QString line = QStringLiteral("Command=%1%2&UID=%3")
                       .arg(conduitIdentifierString(HMSyncConduit(conduit)), action, record.hmxUid());
    if (!record.isNew() && record.isDelete())
        return line + QLatin1Char('\n');
    // The line takes the record's dictionary, which goes with the phone's texts made for it once the
    // line is made: a long list is let go as its batches go, not held whole until its last batch.
    // Each record is sent once; the batch's answer reads of it only whether it was left out.
    QVariantMap dictionary = std::exchange(record.dictionary(), QVariantMap());
    prepareForWiFiDeviceDictionary(dictionary, conduit);
    if (platform::boolValue(dictionary.value(QStringLiteral("kIgnoreThisRecord")))) {
        record.dictionary().insert(QStringLiteral("kIgnoreThisRecord"), true);
        return QString();
    }
    const QVariantMap &renaming = m_toDeviceMaps.value(qsizetype(isRecordConduit(conduit) ? conduit : 0));
    QVariantMap phoneRecord = mutableDictionaryWithKeysRenamedUsingDictionary(dictionary, renaming);
    for (auto it = phoneRecord.begin(); it != phoneRecord.end(); ++it) {
        if (!platform::isText(it.value()))
            it.value() = platform::description(it.value());
        line += QStringLiteral("&%1=%2").arg(it.key(), hmWiFiEncodedString(it.value().toString()));
    }
    m_batchContents.insert(record.hmxUid(), phoneContentHash(phoneRecord));
    return line + QLatin1Char('\n');
}

QString HMWiFiSync::phoneContentHash(const QVariantMap &phoneRecord)
{
    PhoneFields fields;
    fields.reserve(phoneRecord.size());
    for (auto it = phoneRecord.constBegin(); it != phoneRecord.constEnd(); ++it)
        fields.append({it.key(), it.value().toString()});
    return contentHashOf(fields);
}

// The hash phoneContentHash gives the record renamed to the phone's names, without the renamed map:
// its fields that have a phone name, in the order of those names; of two fields that take one name,
// the later in the record's order stands, as it would in the renamed map.
QString HMWiFiSync::listedContentHash(const QVariantMap &record, const QHash<QString, QString> &phoneNames)
{
    PhoneFields fields;
    fields.reserve(record.size());
    for (auto it = record.constBegin(); it != record.constEnd(); ++it) {
        const auto name = phoneNames.constFind(it.key());
        if (name != phoneNames.constEnd())
            fields.append({*name, it.value().toString()});
    }
    std::stable_sort(fields.begin(), fields.end(),
                     [](const PhoneField &left, const PhoneField &right) { return left.first < right.first; });
    return contentHashOf(fields);
}

// The non-empty fields but the id, action and stamp, each as "name US value RS", in UTF-8 through
// SHA-1, as lowercase hex: the check kept in the identifier graphs, so its bytes never change. The
// fields come sorted by name; where names repeat, only the last of them counts.
QString HMWiFiSync::contentHashOf(const PhoneFields &fields)
{
    QString text;
    qsizetype length = 0;
    for (const PhoneField &field : fields)
        length += field.first.size() + field.second.size() + 2;
    text.reserve(length);
    for (qsizetype index = 0; index < fields.size(); ++index) {
        const auto &[name, value] = fields.at(index);
        const bool isRepeated = index + 1 < fields.size() && fields.at(index + 1).first == name;
        if (isRepeated || value.isEmpty() || name == QLatin1String("UID") || name == QLatin1String("ACTION") ||
            name == QLatin1String("LASTMODIFIED"))
            continue;
        text.append(name).append(QChar(0x1f)).append(value).append(QChar(0x1e));
    }
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QHash<QString, QString> HMWiFiSync::phoneNamesOf(const QVariantMap &toPhoneKeys)
{
    QHash<QString, QString> names;
    names.reserve(toPhoneKeys.size());
    for (auto it = toPhoneKeys.constBegin(); it != toPhoneKeys.constEnd(); ++it) {
        if (platform::isText(it.value()))
            names.insert(it.key(), it.value().toString());
    }
    return names;
}

QMap<QString, QString> HMWiFiSync::sentContents() const
{
    QMap<QString, QString> contents;
    for (auto it = m_batchContents.constBegin(); it != m_batchContents.constEnd(); ++it) {
        if (!it.key().isEmpty())
            contents.insert(it.key(), it.value());
    }
    return contents;
}

void HMWiFiSync::setBatchAnsweredHook(std::function<void()> hook)
{
    const std::lock_guard lock(batchAnsweredHookMutex());
    batchAnsweredHook() = std::move(hook);
}

void HMWiFiSync::reportBatchAnswered()
{
    std::function<void()> hook;
    {
        const std::lock_guard lock(batchAnsweredHookMutex());
        hook = batchAnsweredHook();
    }
    if (hook)
        hook();
}

bool HMWiFiSync::updateConduit(quint64 conduit, QList<HMSyncRecord> &records)
{
    const WorkScope work(*this);
    DDLogInfo(QStringLiteral("updateConduit:withSyncRecordList:[%1]").arg(conduit));
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return false;
    target->writeRemainOnUpdateConduit(false);
    if (records.isEmpty()) {
        DDLogError(QStringLiteral("Not sending device updates due to no changes since last sync"));
        finishUpdateBatches(true);
        return true;
    }

    qsizetype first = 0;
    {
        const std::lock_guard lock(m_mutex);
        first = qsizetype(std::clamp<qint64>(m_syncRecordListPartialCount, 0, records.size()));
    }
    const qsizetype last = std::min(first + kUpdateBatchSize, records.size());
    DDLogInfo(QStringLiteral("smallerMaxIndex %1").arg(last));
    const QString body = updateBatchBody(*target, conduit, records, first, last);
    // What the batch sends is kept before it goes: the phone may take it even if its answer is lost.
    if (!target->contentsAboutToBeSentForConduit(sentContents(), conduit)) {
        finishUpdateBatches(false);
        return true;
    }

    QString reply;
    const BatchEnd end = sendUpdateBatch(body, reply);
    if (end == BatchEnd::Gone)
        return false;
    if (end == BatchEnd::Cancelled) {
        const std::lock_guard lock(m_mutex);
        m_syncRecordListPartialCount = 0;
        m_updateDictionary.clear();
        return true;
    }
    QVariantMap batchIdentifiers;
    if (end != BatchEnd::Answered || !parseUpdateReply(reply, batchIdentifiers)) {
        // A failed batch ends the conduit's updates: the rest is not sent, and the failure is the one
        // result the conduit reports.
        finishUpdateBatches(false);
        return true;
    }
    reportBatchAnswered();
    return reportAnsweredBatch(conduit, records.size(), answersForNewRecords(records, first, last, batchIdentifiers));
}

QString HMWiFiSync::updateBatchBody(HMSyncClientDelegate &target, quint64 conduit, QList<HMSyncRecord> &records,
                                    qsizetype first, qsizetype last)
{
    const QString counterName = conduit == 2   ? QStringLiteral("Calendar")
                                : conduit == 3 ? QStringLiteral("Tasks")
                                               : QStringLiteral("Contacts");
    if (!m_lastConduitUsed.isEmpty() && m_lastConduitUsed != counterName)
        m_userMessageRecordCounter = 0;
    m_lastConduitUsed = counterName;
    target.postStepNotificationWithMessage(QStringLiteral("Preparing Apple Changes for Device ..."), std::nullopt);

    QString lines;
    m_batchContents.clear();
    for (qsizetype index = first; index < last; ++index) {
        if (isOutlookSync()) {
            ++m_userMessageRecordCounter;
            postUserNotification(
                QStringLiteral("Sending %1 to device %2").arg(counterName).arg(m_userMessageRecordCounter));
        }
        lines += updateLineForRecord(records[index], conduit);
    }

    const QString header = credentialHeader();
    DDLogInfo(QStringLiteral("postParameterDictionary %1").arg(postParameterDictionary().size()));
    if (lines.endsWith(QLatin1Char('\n')))
        lines.chop(1);
    // A calendar batch without any line (every event lacked a start date) goes as the header alone;
    // deletion lines are always kept.
    const bool isHeaderOnly = lines.isEmpty() && conduit == 2;
    if (isHeaderOnly) {
        DDLogError(QStringLiteral("ERROR: Preparing listString as update command results in empty request."));
        DDLogError(QStringLiteral("Recovering from error by clearing update command."));
    }
    DDLogVerbose(QStringLiteral("Sending Update Command."));
    return isHeaderOnly ? header : QStringLiteral("%1\n%2&HASALARM=1\n").arg(header, lines);
}

bool HMWiFiSync::reportAnsweredBatch(quint64 conduit, qsizetype recordCount, const QVariantMap &batchIdentifiers)
{
    {
        const std::lock_guard lock(m_mutex);
        GlobalVariables::setCurrentWifiBatchStartingPosition(m_updateDictionary.size());
        // Pair by pair: QMap::insert(const QMap &) rebuilds the whole map from a copy of the batch,
        // which made every batch cost as much as all the answers before it.
        for (auto it = batchIdentifiers.constBegin(); it != batchIdentifiers.constEnd(); ++it)
            m_updateDictionary.insert(it.key(), it.value());
    }
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return false;
    target->updateCommandReturnedWithDictionary(batchIdentifiers, conduit);
    bool isLastBatch = false;
    {
        const std::lock_guard lock(m_mutex);
        m_syncRecordListPartialCount += kUpdateBatchSize;
        isLastBatch = m_syncRecordListPartialCount >= recordCount;
    }
    if (isLastBatch) {
        finishUpdateBatches(true);
        return true;
    }
    target->writeRemainOnUpdateConduit(true);
    return true;
}

// The answers for the new records of the batch: the phone's id, or "FAIL" for one the phone refused or
// that was not sent (an event without a start). One the reply leaves out gets no answer: the phone
// may hold it, and the next sync matches it before sending it again. Ids the reply gives for records
// that were not new records of this batch are ignored: they would settle other records under wrong
// ids.
QVariantMap HMWiFiSync::answersForNewRecords(const QList<HMSyncRecord> &records, qsizetype first, qsizetype last,
                                             const QVariantMap &reply)
{
    QVariantMap answers;
    for (qsizetype index = first; index < last; ++index) {
        const HMSyncRecord &record = records.at(index);
        if (!record.isNew() || record.hmxUid().isEmpty())
            continue;
        const QString permanent = reply.value(record.hmxUid()).toString();
        if (!permanent.isEmpty())
            answers.insert(record.hmxUid(), permanent);
        else if (platform::boolValue(record.dictionary().value(QStringLiteral("kIgnoreThisRecord"))))
            answers.insert(record.hmxUid(), QStringLiteral("FAIL"));
    }
    if (answers.size() != reply.size())
        DDLogWarn(QStringLiteral("The update reply named %1 ids; %2 new records were answered")
                      .arg(reply.size())
                      .arg(answers.size()));
    return answers;
}

HMWiFiSync::BatchEnd HMWiFiSync::sendUpdateBatch(const QString &body, QString &reply)
{
    const QString path = QStringLiteral("/hmx_update");
    // Every pass sends the batch once. Only a batch that never reached the phone is sent again: after
    // a lost connection the phone may have applied it, and a second copy would add its records twice.
    for (;;) {
        std::shared_ptr<RKRequest> request = makeTextRequest(path, {});
        if (!request)
            return BatchEnd::Gone;
        setTextBody(*request, body);
        const RKRequestOutcome outcome = sendAndWait(request);
        if (outcome.kind() == RKRequestOutcome::Kind::Cancelled)
            return BatchEnd::Cancelled;
        if (reportTo() == nullptr)
            return BatchEnd::Gone;
        if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
            if (judgeRequestFailure(outcome.error(), path, RetryScope::CannotConnectOnly) == FailureAction::Retry) {
                if (!pauseBeforeRetry())
                    return BatchEnd::Cancelled;
                continue;
            }
            handleRKError(outcome.error());
            clearConnectionTries();
            return BatchEnd::Failed;
        }
        reply = outcome.response().bodyAsString();
        DDLogVerbose(QStringLiteral("Response From: '%1'").arg(request->URLString()));
        DDLogVerbose(QStringLiteral("Response Data:\n%1").arg(reply.left(kLoggedReplyChars)));
        clearConnectionTries();
        return BatchEnd::Answered;
    }
}

bool HMWiFiSync::parseUpdateReply(const QString &reply, QVariantMap &identifiers)
{
    platform::Scanner scanner(reply);
    // Every pass consumes at least one character, so the loop ends with the text.
    while (!scanner.isAtEnd()) {
        const QString first = scanner.scanUpToString(QStringLiteral("\t")).value_or(QString()).trimmed();
        if (first == QLatin1String("OK"))
            return true;
        if (first == QLatin1String("FAIL"))
            return false;
        const std::optional<QString> second = scanner.scanUpToString(QStringLiteral("\n"));
        if (first.isEmpty() || !second)
            continue;
        const QString permanent = second->trimmed();
        DDLogVerbose(QStringLiteral("tempId %1").arg(first));
        if (isOutlookSync()) {
            if (HMSyncClientDelegate *target = reportTo())
                target->updateTempWiFiId(first, permanent);
        }
        identifiers.insert(first, permanent);
    }
    return false;
}

void HMWiFiSync::finishUpdateBatches(bool wasSuccessful)
{
    {
        const std::lock_guard lock(m_mutex);
        m_syncRecordListPartialCount = 0;
        m_updateDictionary.clear();
    }
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    target->writeRemainOnUpdateConduit(false);
    target->updateCommandReturnedSuccessful(wasSuccessful);
}

QString HMWiFiSync::credentialHeader() const
{
    QString header = QStringLiteral("Command=login&");
    const QVariantMap credentials = postParameterDictionary();
    for (auto it = credentials.constBegin(); it != credentials.constEnd(); ++it)
        header += QStringLiteral("%1=%2&").arg(it.key(), it.value().toString());
    return header + QStringLiteral("Percent=100");
}

// Photos ---------------------------------------------------------------------------------------------

bool HMWiFiSync::sendPhoto(const QByteArray &photo)
{
    std::shared_ptr<RKRequest> request = makeTextRequest(QStringLiteral("/hmx_updatepicture"), {});
    if (!request)
        return false;
    request->setHTTPBody(credentialHeader().toUtf8() + photo, QStringLiteral("application/octet-stream"));
    logOutcomeToConsole(*request);
    sendAsync(request, true);
    return true;
}
