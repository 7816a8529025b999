// The texts the Outlook write side builds from a contact record: the AppleScript record literal that
// sets an existing contact's properties, the escaping that keeps record text inside its string
// literals, the category fragments shared with the vCard writer, the phone names of the cloud
// method's numbered phones, and the duplicate search that finds an unmapped Outlook contact equal to
// a record.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScriptText.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/TimeZone.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;

namespace {

QString value(const QVariantMap &record, const char *key)
{
    return HMContactData::correctedString(record.value(QLatin1String(key)));
}

// Replaces the text's final ", " by the closing text; nothing when it does not end so.
void closeList(QString &text, QStringView closing)
{
    if (text.endsWith(QLatin1String(", "))) {
        text.chop(2);
        text += closing;
    }
}

QString appleScriptDate(const QVariant &date)
{
    if (!date.canConvert<QDateTime>() || !date.toDateTime().isValid())
        return QString();
    static const QString pattern = [] {
        const QString format = GlobalVariables::getSystemDateFormat();
        DDLogInfo(QStringLiteral("systemDateFormat %1").arg(format));
        return format;
    }();
    const platform::DateFormatter formatter(pattern, platform::Locale(QStringLiteral("en_US_POSIX")),
                                            platform::TimeZone::systemTimeZone());
    return formatter.format(date.toDateTime());
}

QString childrenList(const QString &children)
{
    QString text = QStringLiteral("children:{");
    for (const QString &piece : children.split(QStringLiteral(", ")))
        text += QStringLiteral("\"%1\", ").arg(HMContactData::escapedString(piece));
    closeList(text, u"}");
    return text + QStringLiteral(", ");
}

QString emailList(const QVariantMap &record)
{
    static const char *const keys[][2] = {{"EMAIL", "work"}, {"EMAIL2", "home"}, {"EMAIL3", "other"}};
    QString text;
    for (const auto &[key, type] : keys) {
        const QString address = value(record, key);
        if (!address.isEmpty())
            text += QStringLiteral("{address:\"%1\", type:%2}, ").arg(HMContactData::escapedString(address), QLatin1String(type));
    }
    if (text.isEmpty())
        return text;
    text.prepend(QStringLiteral("email addresses:{"));
    closeList(text, u"}, ");
    return text;
}

QString streetOf(const QVariantMap &record, const char *first, const char *second, const char *third)
{
    QString street = HMContactData::escapedString(value(record, first)) + u'\n'
        + HMContactData::escapedString(value(record, second)) + u'\n' + HMContactData::escapedString(value(record, third));
    while (street.endsWith(u'\n'))
        street.chop(1);
    return street;
}

} // namespace

QString HMContactData::escapedString(const QString &text)
{
    return ::escapedString(text);
}

bool HMContactData::isCloudMethod()
{
    return platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting")) == u"quillnest";
}

// The colour indexes of the record's categories as the category helper takes them; a null text for none.
QString HMContactData::categoryIndexText(const QVariantMap &record, qsizetype nameCount)
{
    const QVariant indexes = record.value(QStringLiteral("NSARRAYCATEGORYCOLORINDEXES"));
    if (indexes.typeId() == QMetaType::QVariantList || indexes.typeId() == QMetaType::QStringList) {
        const QVariantList list = indexes.toList();
        if (list.size() == nameCount) {
            QString text(QLatin1String(""));
            for (const QVariant &index : list)
                text += index.toString() + u'\t';
            return text;
        }
    }
    return HMOutlookCategoryHelper::colorValuesFromColorIndex(record);
}

QStringList HMContactData::categoryFragments(const QVariantMap &record)
{
    if (!record.contains(QStringLiteral("CATEGORY")))
        return {};
    const QString names = value(record, "CATEGORY");
    if (names.isEmpty()) {
        platform::consoleLog(QStringLiteral("Blank category!"));
        return {};
    }
    if (!categoryHelper())
        setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
    return categoryHelper()->arrayOfCommandsForCategoryString(names, categoryIndexText(record, names.split(u'\t').size()));
}

// The phone properties in the literal's order, each with its record key (other methods) and its
// phone-dictionary name (cloud method).
const HMContactData::OutlookPhoneField *HMContactData::outlookPhoneFields(qsizetype &count)
{
    static const OutlookPhoneField fields[] = {
        {"phone", "COMPANYPHONE", "phone"},
        {"mobile number", "CELLPHONE", "mobile number"},
        {"home phone number", "HOMEPHONE", "home phone number"},
        {"business fax number", "WORKFAX", "business fax number"},
        {"business phone number", "WORKPHONE", "business phone number"},
        {"pager number", "PAGER", "pager number"},
        {"home fax number", "HOMEFAX", "home fax number"},
        {"custom phone 1", "OTHERPHONE", "other phone number"},
    };
    count = qsizetype(std::size(fields));
    return fields;
}

QString HMContactData::outlookPhoneValue(const QVariantMap &record, const QVariantMap &phones, const OutlookPhoneField &field)
{
    return isCloudMethod() ? correctedString(phones.value(QLatin1String(field.cloudName)))
                           : correctedString(record.value(QLatin1String(field.recordKey)));
}

QString HMContactData::propertiesStringFromContactDictionary(const QVariantMap &record)
{
    QString text = QStringLiteral("{");
    const auto add = [&text](const char *label, const QString &raw, bool escape = true) {
        if (!raw.isEmpty())
            text += QStringLiteral("%1:\"%2\", ").arg(QLatin1String(label), escape ? escapedString(raw) : raw);
    };
    for (const auto &[label, key] : std::initializer_list<std::pair<const char *, const char *>>{
             {"title", "SALUTATION"}, {"first name", "NEWFNAME"}, {"middle name", "MIDNAME"}, {"last name", "NEWLNAME"},
             {"suffix", "SUFFIX"}, {"nickname", "NICKNAME"}, {"company", "COMPANY"}, {"job title", "TITLE"},
             {"spouse", "SPOUSE"}})
        add(label, value(record, key));
    if (const QString children = value(record, "CHILDREN"); !children.isEmpty())
        text += childrenList(children);
    for (const auto &[label, key] : {std::pair{"birthday", "NSDATEBIRTHDAY"}, std::pair{"anniversary", "NSDATEANNIVERSARY"}}) {
        if (const QString date = appleScriptDate(record.value(QLatin1String(key))); !date.isEmpty())
            text += QStringLiteral("%1:date \"%2\", ").arg(QLatin1String(label), date);
    }
    text += emailList(record);
    const QVariantMap phones = isCloudMethod() ? getPhoneDictionaryFromContactDictionary(record) : QVariantMap();
    qsizetype count = 0;
    const OutlookPhoneField *fields = outlookPhoneFields(count);
    for (qsizetype i = 0; i < count; ++i)
        add(fields[i].property, outlookPhoneValue(record, phones, fields[i]));
    add("business street address", streetOf(record, "ADDRESS1", "ADDRESS2", "ADDRESS3"), false);
    for (const auto &[label, key] : {std::pair{"business city", "CITY"}, std::pair{"business state", "STATE"},
                                     std::pair{"business zip", "ZIP"}, std::pair{"business country", "COUNTRY"}})
        add(label, value(record, key));
    add("home street address", streetOf(record, "HOMEADDR1", "HOMEADDR2", "HOMEADDR3"), false);
    for (const auto &[label, key] : {std::pair{"home city", "HOMECITY"}, std::pair{"home state", "HOMESTATE"},
                                     std::pair{"home zip", "HOMEZIP"}, std::pair{"home country", "HOMECNTRY"},
                                     std::pair{"plain text note", "NOTE"}})
        add(label, value(record, key));
    QString categories = QStringLiteral("category:{") + categoryFragments(record).join(QString());
    if (categories.endsWith(QLatin1String(", ")))
        closeList(categories, u"}");
    else
        categories += u'}';
    text += categories + QStringLiteral(", ");
    closeList(text, u"}");
    return text;
}

// Duplicates and phone names ---------------------------------------------------------------------

QVariantMap HMContactData::getPhoneDictionaryFromContactDictionary(const QVariantMap &record)
{
    QVariantMap phones;
    for (int n = 1; n <= 14; ++n) {
        const QString labelKey = QStringLiteral("PHONELABEL%1").arg(n);
        const QString phoneKey = QStringLiteral("PHONE%1").arg(n);
        if (record.contains(labelKey) && record.contains(phoneKey))
            phones.insert(outlookPhoneLabelFromQuillnestPhoneLabel(record.value(labelKey).toString()), record.value(phoneKey));
    }
    return phones;
}

QString HMContactData::outlookPhoneLabelFromQuillnestPhoneLabel(const QString &label)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("1"), QStringLiteral("home phone number")},   {QStringLiteral("2"), QStringLiteral("mobile number")},
        {QStringLiteral("3"), QStringLiteral("business phone number")}, {QStringLiteral("4"), QStringLiteral("business fax number")},
        {QStringLiteral("5"), QStringLiteral("home fax number")},      {QStringLiteral("6"), QStringLiteral("pager number")},
        {QStringLiteral("10"), QStringLiteral("phone")}};
    if (const auto found = names.constFind(label); found != names.constEnd())
        return *found;
    bool isNumber = false;
    const int index = label.toInt(&isNumber);
    const bool isOther = isNumber && QString::number(index) == label && ((index >= 7 && index <= 9) || (index >= 11 && index <= 20));
    return isOther ? QStringLiteral("other phone number") : QString(QLatin1String(""));
}

namespace {

// The first line of a note: cut at its first line feed, then at its first carriage return.
QString firstNoteLine(const QString &note)
{
    return note.section(u'\n', 0, 0).section(u'\r', 0, 0);
}

QString stored(const QVariantMap &record, const char *key)
{
    const QVariant entry = record.value(QLatin1String(key));
    return entry.typeId() == QMetaType::QString ? entry.toString() : QString();
}

} // namespace

void HMContactData::buildOutlookDupeCheckCache()
{
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(QStringLiteral("Building list of Outlook records (this may take a minute)"));
    m_outlookDupeCheck.emplace();
    const QString selection = outlookContactFolderSelection();
    const bool inFolder = !selection.isEmpty() && selection != u"allFolders";
    if (inFolder && !HMOutlookSQLiteHelper::isDecimalId(selection))
        return;
    const QString script = HMOutlookSQLiteHelper::propertiesListingScript(HMOutlookSQLiteHelper::Kind::Contacts,
                                                                          inFolder ? selection : QString());
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError();
    outlookContacts().forEachUnpairedItem(result, [this](const QString &id, const NSAppleEventDescriptor &item) {
        const auto text = [&item](platform::AEKeyword keyword) {
            const QString found = item.descriptorForKeyword(keyword).stringValue();
            return found.isNull() ? QString(QLatin1String("")) : found;
        };
        QString emails(QLatin1String(""));
        const NSAppleEventDescriptor addresses = item.descriptorForKeyword(platform::fourCharCode("EmAd"));
        for (qint64 n = 1; n <= addresses.numberOfItems(); ++n)
            emails += addresses.descriptorAtIndex(n).descriptorForKeyword(platform::fourCharCode("radd")).stringValue() + u';';
        m_outlookDupeCheck->add(id, {text(platform::fourCharCode("pFrN")), text(platform::fourCharCode("pLsN")),
                                        text(platform::fourCharCode("Cmpy")), emails,
                                        firstNoteLine(text(platform::fourCharCode("PlTN")))});
    });
}

QString HMContactData::isOutlookDuplicate(const QVariantMap &record)
{
    DDLogInfo(QStringLiteral("Checking for duplicate of existing record"));
    if (!m_outlookDupeCheck)
        buildOutlookDupeCheckCache();
    const QString first = stored(record, "NEWFNAME");
    const QString last = stored(record, "NEWLNAME");
    const QString company = stored(record, "COMPANY");
    const QString email = stored(record, "EMAIL");
    const QString note = firstNoteLine(stored(record, "NOTE"));
    // The candidates share the names, company and note line; the first (oldest listed) whose e-mail
    // text holds the record's address is the match. Matched once, a contact leaves the cache: two
    // records alike (the same names without an address) would otherwise both merge into it.
    for (const QStringList *entry : m_outlookDupeCheck->candidates({first, last, company, QString(), note})) {
        const bool emailMatches = entry->at(3).contains(email, Qt::CaseInsensitive) && (!email.isEmpty() || entry->at(3).isEmpty());
        if (emailMatches) {
            DDLogInfo(QStringLiteral("Found duplicate record"));
            const QString id = entry->at(5);
            m_outlookDupeCheck->remove(id);
            return id;
        }
    }
    return QString();
}

// The duplicate-search cache ---------------------------------------------------------------------

QString HMContactData::OutlookDupeCheck::keyOf(const QStringList &fields)
{
    return QStringList{fields.value(0), fields.value(1), fields.value(2), fields.value(4)}.join(u'\x1f').toCaseFolded();
}

void HMContactData::OutlookDupeCheck::add(const QString &id, QStringList fields)
{
    if (m_positionById.contains(id))
        return;
    fields.append(id);
    m_positionById.insert(id, m_entries.size());
    m_byNames[keyOf(fields)].push_back(m_entries.size());
    m_entries.push_back(std::move(fields));
}

void HMContactData::OutlookDupeCheck::remove(const QString &id)
{
    const auto found = m_positionById.constFind(id);
    if (found == m_positionById.constEnd())
        return;
    std::vector<size_t> &positions = m_byNames[keyOf(m_entries[*found])];
    positions.erase(std::remove(positions.begin(), positions.end(), *found), positions.end());
    m_positionById.erase(found);
}

std::vector<const QStringList *> HMContactData::OutlookDupeCheck::candidates(const QStringList &fields) const
{
    std::vector<const QStringList *> found;
    for (size_t position : m_byNames.value(keyOf(fields)))
        found.push_back(&m_entries[position]);
    return found;
}
