// The cloud's record format: the key maps between record keys and cloud member names, and the value
// conversions on the way out (before the keys are mapped) and on the way in (after).
#include "cloud/HMQuillnestSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMDateUtilities.h"
#include "foundation/Lumberjack/DDLog.h"

#include <QTimeZone>

namespace {

using KeyPairs = QList<std::pair<const char *, const char *>>;

QVariantMap mapOf(const KeyPairs &pairs)
{
    QVariantMap map;
    for (const auto &[recordKey, cloudName] : pairs)
        map.insert(QString::fromLatin1(recordKey), QString::fromLatin1(cloudName));
    return map;
}

const KeyPairs kSharedKeys{{"UID", "Id"},
                           {"DELETED", "Deleted"},
                           {"LASTMODIFIED", "Modified"},
                           {"NSARRAYCATEGORIES", "Category"},
                           {"NSARRAYCATEGORYCOLORS", "CategoryColors"},
                           {"NSNUMBERPRIVATE", "Private"},
                           {"NOTE", "Note"},
                           {"SUBJECT", "Subject"}};

// The keys every record but a contact has, with a record type's own (which win over the shared).
QVariantMap sharedKeysWith(const KeyPairs &own)
{
    return mapOf(kSharedKeys + own);
}

// The contact's numbered fields: ten phones with their labels, nine user fields with theirs.
void insertNumberedContactKeys(QVariantMap &map)
{
    for (int index = 1; index <= 10; ++index) {
        map.insert(QStringLiteral("PHONE%1").arg(index), QStringLiteral("Phone%1").arg(index));
        map.insert(QStringLiteral("PHONELABEL%1").arg(index), QStringLiteral("PhoneLabel%1").arg(index));
    }
    for (int index = 1; index <= 9; ++index) {
        map.insert(QStringLiteral("USER%1").arg(index), QStringLiteral("User%1").arg(index));
        map.insert(QStringLiteral("LABEL%1").arg(index), QStringLiteral("Label%1").arg(index));
    }
}

QVariantMap contactMap()
{
    QVariantMap map = mapOf({{"UID", "Id"},
                             {"LASTMODIFIED", "Modified"},
                             {"DELETED", "Deleted"},
                             {"CATEGORY", "Category"},
                             {"NSARRAYCATEGORYCOLORS", "CategoryColors"},
                             {"NSNUMBERPRIVATE", "Private"},
                             {"NOTE", "Note"},
                             {"SALUTATION", "Prefix"},
                             {"NEWFNAME", "First"},
                             {"MIDNAME", "Middle"},
                             {"NEWLNAME", "Last"},
                             {"SUFFIX", "Suffix"},
                             {"NICKNAME", "Nickname"},
                             {"FILEAS", "FileAs"},
                             {"EMAIL", "Email1"},
                             {"EMAIL2", "Email2"},
                             {"EMAIL3", "Email3"},
                             {"COMPANY", "Company"},
                             {"TITLE", "Title"},
                             {"DEPARTMENT", "Department"},
                             {"PROFESSION", "Profession"},
                             {"MANAGER", "Manager"},
                             {"ASSISTANT", "Assistant"},
                             {"NSDATEBIRTHDAY", "Birthday"},
                             {"NSDATEANNIVERSARY", "Anniversary"},
                             {"SPOUSE", "Spouse"},
                             {"CHILDREN", "Children"},
                             {"ADDRESS1", "Address1"},
                             {"CITY", "City1"},
                             {"STATE", "State1"},
                             {"ZIP", "Zip1"},
                             {"COUNTRY", "Country1"},
                             {"HOMEADDR1", "Address2"},
                             {"HOMECITY", "City2"},
                             {"HOMESTATE", "State2"},
                             {"HOMEZIP", "Zip2"},
                             {"HOMECNTRY", "Country2"},
                             {"OTHERADDR1", "Address3"},
                             {"OTHERCITY", "City3"},
                             {"OTHERSTATE", "State3"},
                             {"OTHERZIP", "Zip3"},
                             {"OTHERCNTRY", "Country3"},
                             {"WEBURL", "Url1"},
                             {"WEBURLH", "Url2"},
                             {"WEBURLW", "Url3"},
                             {"IMADDRESS1", "IM1"},
                             {"IMADDRESS2", "IM2"},
                             {"IMLABEL1", "IMLabel1"},
                             {"IMLABEL2", "IMLabel2"},
                             {"PHOTO", "Photo"}});
    insertNumberedContactKeys(map);
    return map;
}

QVariantMap calendarMap()
{
    return sharedKeysWith({{"LOCATION", "Location"},
                           {"NSDATESTARTDATE", "StartTimeUTC"},
                           {"NSDATEENDDATE", "EndTimeUTC"},
                           {"StartTime", "StartTime"},
                           {"EndTime", "EndTime"},
                           {"TYPENUMBER", "Allday"},
                           {"NSNUMBERALARMTIME", "AlarmMins"},
                           {"EVENTTZ", "TimeZone"},
                           {"TZ_DATA", "TimeZoneInfo"},
                           {"RRULE", "RRule"},
                           {"ATTENDEES", "Contacts"},
                           {"EMAILS", "Emails"},
                           {"NSARRAYCUSTOMDATES", "RDate"},
                           {"NSDATEREPEATEND", "RecurrenceEnd"},
                           {"NSARRAYEXCEPTIONS", "Exdate"},
                           {"PARENTID", "ParentId"},
                           {"NSARRAYLINKEDCONTACTS", "Contacts"},
                           {"BUSYSTATUS", "BusyStatus"},
                           {"COMPLETED", "Completed"}});
}

QVariantMap taskMap()
{
    return sharedKeysWith({{"LOCATION", "Location"},
                           {"NSDATESTARTDATE", "StartDate"},
                           {"DUEDATE", "DueDate"},
                           {"NSDATEALARMDATE", "AlarmTime"},
                           {"PRIORITY", "Priority"},
                           {"MAXPRIORITY", "MaxPriority"},
                           {"PRIORITYSTRING", "PriorityString"},
                           {"PERCENTCOMPLETE", "PercentComplete"},
                           {"STATUS", "Status"},
                           {"RRULE", "RRule"},
                           {"NSARRAYLINKEDCONTACTS", "Contacts"},
                           {"PROJECT", "Project"}});
}

// Swapped keys and values. Where two record keys share a cloud name (the calendar's "Contacts"), the
// later in key order wins, "NSARRAYLINKEDCONTACTS", as it does on the way out.
QVariantMap swapped(const QVariantMap &map)
{
    QVariantMap result;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        result.insert(it.value().toString(), it.key());
    return result;
}

QString joinedList(const QVariant &value, const QString &separator)
{
    return value.toStringList().join(separator);
}

QDateTime utcMidnight(const QDate &day, int hour)
{
    return QDateTime(day, QTime(hour, 0), QTimeZone::utc());
}

bool isList(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList;
}

// The category colours as "index:colour" pairs joined by TAB; the empty text unless the indexes and
// colours are lists of the same, non-zero length.
QString categoryColourText(const QVariantMap &record)
{
    const QVariant indexes = record.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"));
    const QVariant colours = record.value(QStringLiteral("NSARRAYCATEGORYCOLORS"));
    const QVariantList indexList = indexes.toList();
    const QVariantList colourList = colours.toList();
    if (!isList(indexes) || !isList(colours) || indexList.isEmpty() || indexList.size() != colourList.size())
        return QString();
    QStringList pairs;
    for (qsizetype at = 0; at < indexList.size(); ++at)
        pairs << indexList.at(at).toString() + u':' + colourList.at(at).toString();
    return pairs.join(u'\t');
}

} // namespace

void HMQuillnestSync::prepareKeyMappingDictionaries()
{
    DDLogVerbose(QStringLiteral("In prepareKeyMappingDictionaries method"));
    m_toCloudMaps = {mapOf({{"UID", "Id"}, {"LASTMODIFIED", "Modified"}, {"NSARRAYCATEGORIES", "Category"},
                            {"DELETED", "Deleted"}}),
                     contactMap(), calendarMap(), taskMap(), mapOf(kSharedKeys)};
    m_toEngineMaps.clear();
    for (const QVariantMap &map : m_toCloudMaps)
        m_toEngineMaps.append(swapped(map));
}

QVariantMap HMQuillnestSync::dictionaryWithKeysRenamed(const QVariantMap &record, const QVariantMap &map)
{
    QVariantMap renamed;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const auto found = record.constFind(it.key());
        if (found != record.constEnd())
            renamed.insert(it.value().toString(), found.value());
    }
    return renamed;
}

// Outgoing ---------------------------------------------------------------------------------------------

void HMQuillnestSync::prepareForQuillnestDictionary(QVariantMap &record, quint64 conduit)
{
    const QString tab = QStringLiteral("\t");
    if (record.contains(QStringLiteral("NSARRAYCATEGORIES")))
        record.insert(QStringLiteral("NSARRAYCATEGORIES"), joinedList(record.value(QStringLiteral("NSARRAYCATEGORIES")), tab));
    record.insert(QStringLiteral("NSARRAYCATEGORYCOLORS"), categoryColourText(record));
    if (record.contains(QStringLiteral("NSARRAYLINKEDCONTACTS")))
        record.insert(QStringLiteral("NSARRAYLINKEDCONTACTS"),
                      joinedList(record.value(QStringLiteral("NSARRAYLINKEDCONTACTS")), tab));
    if (isList(record.value(QStringLiteral("NSARRAYEXCEPTIONS")))) {
        DDLogVerbose(QStringLiteral("Reading exception dates"));
        record.insert(QStringLiteral("NSARRAYEXCEPTIONS"), syncDateList(record.value(QStringLiteral("NSARRAYEXCEPTIONS")), true));
    }
    if (record.value(QStringLiteral("NSARRAYCUSTOMDATES")).typeId() == QMetaType::QVariantList) {
        DDLogVerbose(QStringLiteral("Reading custom dates"));
        record.insert(QStringLiteral("NSARRAYCUSTOMDATES"), syncDateList(record.value(QStringLiteral("NSARRAYCUSTOMDATES")), false));
    }
    DDLogVerbose(QStringLiteral("End normalization"));
    prepareDatesForQuillnest(record, conduit);
}

// Dates as "yyyyMMdd" joined by ","; texts kept as they are when keepsTexts, other items dropped.
QString HMQuillnestSync::syncDateList(const QVariant &list, bool keepsTexts)
{
    QStringList items;
    for (const QVariant &item : list.toList()) {
        if (item.typeId() == QMetaType::QDateTime)
            items << m_dateUtilities->dateStringFromDateFormattedForSync(item.toDateTime());
        else if (keepsTexts && item.typeId() == QMetaType::QString)
            items << item.toString();
    }
    return items.join(u',');
}

void HMQuillnestSync::prepareDatesForQuillnest(QVariantMap &record, quint64 conduit)
{
    HMDateUtilities &dates = *m_dateUtilities;
    const auto localTextOrEmpty = [&record, &dates](const QString &key) {
        const QDateTime date = record.value(key).toDateTime();
        record.insert(key, date.isValid() ? dates.localDateTimeStringFromDate(date) : QString());
    };
    if (conduit == 3) {
        for (const QString &key : {QStringLiteral("NSDATESTARTDATE"), QStringLiteral("DUEDATE")}) {
            if (record.value(key).typeId() == QMetaType::QDateTime)
                record.insert(key, dates.localDateTimeStringFromDate(record.value(key).toDateTime()));
        }
        localTextOrEmpty(QStringLiteral("NSDATEALARMDATE"));
    } else if (conduit == 2) {
        prepareCalendarForQuillnest(record);
    } else if (conduit == 1) {
        localTextOrEmpty(QStringLiteral("NSDATEBIRTHDAY"));
        localTextOrEmpty(QStringLiteral("NSDATEANNIVERSARY"));
    }
}

void HMQuillnestSync::prepareCalendarForQuillnest(QVariantMap &record)
{
    HMDateUtilities &dates = *m_dateUtilities;
    const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QDateTime end = record.value(QStringLiteral("NSDATEENDDATE")).toDateTime();
    if (record.value(QStringLiteral("TYPENUMBER")).toBool()) {
        if (!start.isValid()) {
            DDLogVerbose(QStringLiteral("recordDictionary - allDay - missingStartDate %1")
                             .arg(record.value(QStringLiteral("UID")).toString()));
        } else {
            const QDate startDay = start.toUTC().date();
            const QDate endDay = end.isValid() ? end.toUTC().date() : startDay;
            record.insert(QStringLiteral("StartTime"), dates.gmtDateTimeStringFromDate(utcMidnight(startDay, 0)));
            record.insert(QStringLiteral("EndTime"), dates.gmtDateTimeStringFromDate(utcMidnight(endDay, 0)));
            record.insert(QStringLiteral("NSDATESTARTDATE"), dates.gmtDateTimeStringFromDate(utcMidnight(startDay, 12)));
            record.insert(QStringLiteral("NSDATEENDDATE"), dates.gmtDateTimeStringFromDate(utcMidnight(endDay, 12)));
        }
        record.insert(QStringLiteral("EVENTTZ"), QString());
        record.insert(QStringLiteral("TZ_DATA"), QString());
    } else if (start.isValid()) {
        DDLogVerbose(QStringLiteral("start %1").arg(dates.localDateTimeStringFromDate(start)));
        const QDateTime endOrStart = end.isValid() ? end : start;
        record.insert(QStringLiteral("StartTime"), dates.localDateTimeStringFromDate(start));
        record.insert(QStringLiteral("EndTime"), dates.localDateTimeStringFromDate(endOrStart));
        record.insert(QStringLiteral("NSDATESTARTDATE"), dates.gmtDateTimeStringFromDate(start));
        record.insert(QStringLiteral("NSDATEENDDATE"), dates.gmtDateTimeStringFromDate(endOrStart));
    } else {
        DDLogVerbose(QStringLiteral("recordDictionary - missingStartDate %1")
                         .arg(record.value(QStringLiteral("UID")).toString()));
    }
    const QDateTime repeatEnd = record.value(QStringLiteral("NSDATEREPEATEND")).toDateTime();
    record.insert(QStringLiteral("NSDATEREPEATEND"),
                  repeatEnd.isValid() ? dates.dateOnlyFormatter().format(repeatEnd) : QString());
    if (!record.contains(QStringLiteral("NSNUMBERALARMTIME")))
        record.insert(QStringLiteral("NSNUMBERALARMTIME"), -1);
}

// Incoming ---------------------------------------------------------------------------------------------

void HMQuillnestSync::prepareForEngineDictionary(QVariantMap &record, quint64 conduit)
{
    const bool isDeleted = record.value(QStringLiteral("DELETED")).toBool();
    DDLogVerbose(QStringLiteral("Received QNS response: %1: %2 %3\t%4")
                     .arg(isDeleted ? QStringLiteral("Delete") : QStringLiteral("Add/update"),
                          record.value(QStringLiteral("NEWFNAME")).toString(),
                          record.value(QStringLiteral("NEWLNAME")).toString(),
                          record.value(QStringLiteral("UID")).toString()));
    prepareListsForEngine(record);
    if (conduit == 3)
        prepareTaskForEngine(record);
    else if (conduit == 2)
        prepareCalendarForEngine(record);
    else if (conduit == 1)
        prepareContactForEngine(record);
}

// A day as the cloud writes it ("yyyy-MM-dd"), or with a time, in the Mac's zone.
QDateTime HMQuillnestSync::localDay(const QString &text)
{
    const QDateTime date = m_dateUtilities->dateFromLocalDateTimeString(text + QStringLiteral(" 00:00:00"));
    return date.isValid() ? date : m_dateUtilities->dateFromLocalDateTimeString(text);
}

void HMQuillnestSync::prepareTaskForEngine(QVariantMap &record)
{
    for (const QString &key : {QStringLiteral("NSDATESTARTDATE"), QStringLiteral("DUEDATE")}) {
        const QDateTime date = localDay(record.value(key).toString());
        if (record.contains(key) && date.isValid())
            record.insert(key, date);
    }
    const QString alarmKey = QStringLiteral("NSDATEALARMDATE");
    const QDateTime alarm = m_dateUtilities->dateFromLocalDateTimeString(record.value(alarmKey).toString());
    if (alarm.isValid())
        record.insert(alarmKey, alarm);
    else
        record.remove(alarmKey);
    for (const QString &key : {QStringLiteral("PERCENTCOMPLETE"), QStringLiteral("PRIORITY")}) {
        if (record.contains(key))
            record.insert(key, qint64(record.value(key).toString().toLongLong()));
    }
}

void HMQuillnestSync::prepareContactForEngine(QVariantMap &record)
{
    for (const QString &key : {QStringLiteral("NSDATEBIRTHDAY"), QStringLiteral("NSDATEANNIVERSARY")}) {
        if (!record.contains(key))
            continue;
        const QDateTime date = localDay(record.value(key).toString());
        if (date.isValid())
            record.insert(key, date);
        else
            record.remove(key);
    }
    // A phone whose label reads 0 (missing, empty or no number) is no phone.
    for (int index = 1; index <= 10; ++index) {
        if (record.value(QStringLiteral("PHONELABEL%1").arg(index)).toString().toInt() == 0) {
            record.remove(QStringLiteral("PHONE%1").arg(index));
            record.remove(QStringLiteral("PHONELABEL%1").arg(index));
        }
    }
}

void HMQuillnestSync::prepareListsForEngine(QVariantMap &record)
{
    const QString tab = QStringLiteral("\t");
    if (record.contains(QStringLiteral("NSARRAYCATEGORIES")))
        record.insert(QStringLiteral("NSARRAYCATEGORIES"), record.value(QStringLiteral("NSARRAYCATEGORIES")).toString().split(tab));
    if (record.contains(QStringLiteral("NSARRAYCATEGORYCOLORS"))) {
        const QStringList parts = record.take(QStringLiteral("NSARRAYCATEGORYCOLORS")).toString().split(tab);
        // A contact's categories are its group names in "CATEGORY", each followed by a TAB.
        const qsizetype categoryCount =
            record.contains(QStringLiteral("NSARRAYCATEGORIES"))
                ? record.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList().size()
                : record.value(QStringLiteral("CATEGORY")).toString().split(tab, Qt::SkipEmptyParts).size();
        if (parts.size() == categoryCount) {
            QStringList indexes;
            QStringList colours;
            for (const QString &part : parts) {
                const QStringList pieces = part.split(u':');
                indexes << (pieces.size() == 2 ? pieces.at(0) : QStringLiteral("-1"));
                colours << (pieces.size() == 2 ? pieces.at(1) : QString());
            }
            record.insert(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"), indexes);
            record.insert(QStringLiteral("NSARRAYCATEGORYCOLORS"), colours);
        }
    }
    if (record.contains(QStringLiteral("NSARRAYLINKEDCONTACTS")))
        record.insert(QStringLiteral("NSARRAYLINKEDCONTACTS"),
                      record.value(QStringLiteral("NSARRAYLINKEDCONTACTS")).toString().split(tab));
    const auto datesOf = [this](const QString &text) {
        QVariantList list;
        for (const QString &item : text.split(u',')) {
            const QDateTime date = m_dateUtilities->dateFromDateString(item, QVariant());
            if (date.isValid())
                list << date;
        }
        return list;
    };
    if (!GlobalVariables::getIsOutlookSync() && record.contains(QStringLiteral("NSARRAYEXCEPTIONS")))
        record.insert(QStringLiteral("NSARRAYEXCEPTIONS"), datesOf(record.value(QStringLiteral("NSARRAYEXCEPTIONS")).toString()));
    if (record.contains(QStringLiteral("NSARRAYCUSTOMDATES")))
        record.insert(QStringLiteral("NSARRAYCUSTOMDATES"), datesOf(record.value(QStringLiteral("NSARRAYCUSTOMDATES")).toString()));
}

void HMQuillnestSync::prepareCalendarForEngine(QVariantMap &record)
{
    HMDateUtilities &dates = *m_dateUtilities;
    if (record.contains(QStringLiteral("TYPENUMBER")))
        record.insert(QStringLiteral("TYPENUMBER"), record.value(QStringLiteral("TYPENUMBER")).toBool());
    for (const QString &key : {QStringLiteral("NSDATESTARTDATE"), QStringLiteral("NSDATEENDDATE")}) {
        const QDateTime date = dates.dateFromGmtDateTimeString(record.value(key).toString());
        if (record.contains(key) && date.isValid())
            record.insert(key, date);
    }
    const QString repeatKey = QStringLiteral("NSDATEREPEATEND");
    if (record.contains(repeatKey)) {
        const QDateTime date = localDay(record.value(repeatKey).toString());
        if (date.isValid())
            record.insert(repeatKey, date);
        else
            record.remove(repeatKey);
    }
    const QString alarmKey = QStringLiteral("NSNUMBERALARMTIME");
    if (record.contains(alarmKey)) {
        const qint64 minutes = record.value(alarmKey).toLongLong();
        if (minutes == -1)
            record.remove(alarmKey);
        else
            record.insert(alarmKey, minutes);
    }
}
