// An Outlook contact's vCard text (with the reader's "MIDDLENAME:" and "CATEGORIES:" lines) turned
// into the contacts record dictionary. The parser is line based and keyed on the exact prefixes
// Outlook writes; it is no general vCard parser.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "outlook/HMOutlookCategoryHelper.h"

#include <QDate>
#include <QTimeZone>

namespace {

constexpr qsizetype kMaxLines = 100000;

// The text after the line's first ":"; a null text when the line has none.
QString valueOf(const QString &line)
{
    const qsizetype colon = line.indexOf(u':');
    return colon < 0 ? QString() : line.mid(colon + 1);
}

// The value of the first line beginning with the prefix; empty when there is none.
QString firstValue(const QStringList &lines, QStringView prefix)
{
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            return valueOf(line);
    }
    return QString();
}

QString corrected(const QString &text)
{
    return HMContactData::correctedString(text);
}

// The text after the marker when text follows it; nullopt otherwise.
std::optional<QString> afterMarker(const QString &line, QStringView marker)
{
    const qsizetype at = line.indexOf(marker);
    if (at < 0 || at + marker.size() >= line.size())
        return std::nullopt;
    return line.mid(at + marker.size());
}

QString noteOf(const QString &text)
{
    static const QString start = QStringLiteral("note;charset=utf-8:");
    const qsizetype at = text.indexOf(start);
    if (at < 0)
        return QString();
    QString note = text.mid(at + start.size());
    for (const char *cut : {"\nbday:", "adr;charset=utf-8;", "label;charset=utf-8;", "tel;charset=utf-8;", "charset=utf-8;",
                            "end:vcard"}) {
        const qsizetype end = note.indexOf(QLatin1String(cut));
        if (end >= 0)
            note.truncate(end);
    }
    note.replace(QStringLiteral(" \n"), QStringLiteral(" "));
    return corrected(note);
}

void readName(const QStringList &lines, QVariantMap &record)
{
    const QStringList fields = firstValue(lines, u"n;").split(u';');
    record.insert(QStringLiteral("NEWLNAME"), corrected(fields.value(0)));
    record.insert(QStringLiteral("NEWFNAME"), corrected(fields.value(1)));
    record.insert(QStringLiteral("SALUTATION"), corrected(fields.value(3)));
    setHMValueAsString(record, corrected(fields.value(4)), QStringLiteral("SUFFIX"));
    setHMValueAsString(record, corrected(firstValue(lines, u"title;")), QStringLiteral("PROFESSION"));
    QString company = firstValue(lines, u"org;").split(u';').value(0);
    record.insert(QStringLiteral("COMPANY"), company.replace(QStringLiteral("\\,"), QStringLiteral(",")));
}

void readPhoneSlots(const QStringList &phoneLines, QVariantMap &record)
{
    for (int slot = 1; slot <= 10; ++slot) {
        QString value;
        setHMValueAsString(record, QStringLiteral("0"), QStringLiteral("PHONELABEL%1").arg(slot));
        if (slot <= phoneLines.size()) {
            const QStringList answer = HMContactData::phoneLabelAndValueFromvCardString(phoneLines.at(slot - 1));
            if (answer.size() == 2 && !answer.at(1).isEmpty()) {
                setHMValueAsString(record, corrected(answer.at(0)), QStringLiteral("PHONELABEL%1").arg(slot));
                value = answer.at(1);
            }
        }
        setHMValueAsString(record, corrected(value), QStringLiteral("PHONE%1").arg(slot));
    }
}

// The typed phone keys of the Wi-Fi transport: the first marker a line holds decides.
void readTypedPhones(const QStringList &phoneLines, QVariantMap &record)
{
    int work = 0;
    int home = 0;
    for (const QString &line : phoneLines) {
        if (line.contains(u"type=work:")) {
            const auto value = afterMarker(line, u"type=work:");
            if (value && work < 2)
                record.insert(work++ == 0 ? QStringLiteral("WORKPHONE") : QStringLiteral("WORKPHONE2"), *value);
        } else if (line.contains(u"type=home:")) {
            const auto value = afterMarker(line, u"type=home:");
            if (value && home < 2)
                record.insert(home++ == 0 ? QStringLiteral("HOMEPHONE") : QStringLiteral("HOMEPHONE2"), *value);
        } else {
            static const std::pair<const char16_t *, const char *> lastWins[] = {
                {u"type=cell:", "CELLPHONE"}, {u"type=work;type=fax:", "WORKFAX"}, {u"type=main:", "COMPANYPHONE"},
                {u"type=custom:", "OTHERPHONE"}, {u"type=other:", "OTHERPHONE"}};
            for (const auto &[marker, key] : lastWins) {
                if (!line.contains(QStringView(marker)))
                    continue;
                if (const auto value = afterMarker(line, QStringView(marker)))
                    record.insert(QLatin1String(key), *value);
                break;
            }
        }
    }
}

void readEmails(const QStringList &lines, QVariantMap &record)
{
    QString work;
    QString home;
    QString other;
    bool hasWork = false, hasHome = false, hasOther = false;
    for (const QString &line : lines) {
        if (!line.startsWith(u"email;"))
            continue;
        if (line.contains(u"type=work")) {
            if (!hasWork)
                work = valueOf(line), hasWork = true;
        } else if (line.contains(u"type=home")) {
            if (!hasHome)
                home = valueOf(line), hasHome = true;
        } else if (line.contains(u"type=other") && !hasOther) {
            other = valueOf(line), hasOther = true;
        }
    }
    record.insert(QStringLiteral("EMAIL"), corrected(work));
    record.insert(QStringLiteral("EMAIL2"), corrected(home));
    record.insert(QStringLiteral("EMAIL3"), corrected(other));
}

// One pass over the "adr;" lines of a type; later lines win field by field.
void readAddressLines(const QStringList &lines, QStringView type, const std::array<const char *, 5> &keys, QVariantMap &record)
{
    QStringList fields(5);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        QString value = valueOf(line);
        if (!line.startsWith(u"adr;") || !line.contains(type) || value.isEmpty())
            continue;
        if (value.split(u';').size() < 7) {
            for (qsizetype next = i + 1; next < lines.size() && lines.at(next).startsWith(u';'); ++next)
                value += lines.at(next);
        }
        value.remove(u'\n');
        const QStringList parts = value.split(u';');
        for (qsizetype field = 2; field < 7 && field < parts.size(); ++field)
            fields[field - 2] = parts.at(field);
    }
    for (int k = 0; k < 5; ++k)
        record.insert(QLatin1String(keys[size_t(k)]), corrected(fields.at(k)));
}

void readPeopleAndDates(const QStringList &lines, QVariantMap &record)
{
    record.insert(QStringLiteral("MIDNAME"), corrected(firstValue(lines, u"MIDDLENAME:")));
    record.insert(QStringLiteral("SPOUSE"), corrected(firstValue(lines, u"X-ms-spouse;")));
    QString children;
    bool hasChildren = false;
    for (const QString &line : lines) {
        if (line.startsWith(u"X-child;")) {
            children += corrected(valueOf(line)) + QStringLiteral(", ");
            hasChildren = true;
        }
    }
    if (hasChildren)
        record.insert(QStringLiteral("CHILDREN"), corrected(children.chopped(2)));
    const auto readDate = [&lines, &record](QStringView prefix, const char *key) {
        const QDate date = QDate::fromString(corrected(firstValue(lines, prefix)), QStringLiteral("yyyy-MM-dd"));
        if (date.isValid())
            record.insert(QLatin1String(key), QDateTime(date, QTime(0, 0), QTimeZone::systemTimeZone()));
    };
    readDate(u"X-ms-anniversary:", "NSDATEANNIVERSARY");
    readDate(u"bday:", "NSDATEBIRTHDAY");
}

void readUserFieldsAndWeb(const QStringList &lines, QVariantMap &record)
{
    QStringList user(8);
    QString webHome, webWork, im;
    for (const QString &line : lines) {
        if (line.startsWith(u"X-custom;")) {
            for (int n = 1; n <= 8; ++n) {
                const QString marker = QStringLiteral("type=%1:").arg(n);
                if (!line.contains(marker))
                    continue;
                if (const auto value = afterMarker(line, marker))
                    user[n - 1] = *value;
                break;
            }
        } else if (line.startsWith(u"url;")) {
            if (const auto value = afterMarker(line, u"type=home:"))
                webHome = *value;
            else if (const auto work = afterMarker(line, u"type=work:"))
                webWork = *work;
        } else if (line.startsWith(u"X-ms-imaddress;")) {
            if (const auto value = afterMarker(line, u"type=pref:"))
                im = *value;
        }
    }
    for (int n = 1; n <= 8; ++n)
        record.insert(QStringLiteral("USER%1").arg(n), corrected(user.at(n - 1)));
    record.insert(QStringLiteral("WEBURLH"), corrected(webHome));
    record.insert(QStringLiteral("WEBURLW"), corrected(webWork));
    record.insert(QStringLiteral("IMADDRESS1"), corrected(im));
}

void readCategories(const QStringList &lines, const std::shared_ptr<HMOutlookCategoryHelper> &helper,
                    QVariantMap &record)
{
    QString names;
    for (const QString &line : lines) {
        if (line.startsWith(u"CATEGORIES:")) {
            names = line.mid(11);
            break;
        }
    }
    record.insert(QStringLiteral("CATEGORY"), corrected(names));
    const QStringList split = names.split(u'\t');
    record.insert(QStringLiteral("NSARRAYCATEGORIES"), split);
    if (helper)
        HMOutlookCategoryHelper::insertColorsOfCategories(record, split, helper.get());
}

} // namespace

QVariantMap HMContactData::pppDictionaryForOutlookContact(const QString &text)
{
    if (m_logCounter < 7)
        DDLogInfo(QStringLiteral("pppDictionaryForOutlookContact %1").arg(text));
    QVariantMap record;
    if (text.contains(u"photo;ENCODING=b;type=") && !m_currentContactsOutlookId.isEmpty()
        && !m_currentContactsDeviceId.isEmpty()) {
        GlobalVariables::addOutlookIdToContactIdsWithPhotos(m_currentContactsOutlookId, m_currentContactsDeviceId);
        GlobalVariables::addContactIdToOutlookContactIdsWithPhotosToSendToGoogle(m_currentContactsOutlookId);
    }
    record.insert(QStringLiteral("NOTE"), noteOf(text));
    const QStringList lines = text.split(u'\n');
    if (lines.size() > kMaxLines)
        return {};
    outlookMappingSteps(text, lines, record);
    return record;
}

void HMContactData::outlookMappingSteps(const QString &, const QStringList &lines, QVariantMap &record)
{
    readName(lines, record);
    QStringList phoneLines;
    for (const QString &line : lines) {
        if (line.startsWith(u"tel;"))
            phoneLines.append(line);
    }
    readPhoneSlots(phoneLines, record);
    if (GlobalVariables::getIsWiFiSync())
        readTypedPhones(phoneLines, record);
    readEmails(lines, record);
    readAddressLines(lines, u"type=work", {"ADDRESS1", "CITY", "STATE", "ZIP", "COUNTRY"}, record);
    readAddressLines(lines, u"type=home", {"HOMEADDR1", "HOMECITY", "HOMESTATE", "HOMEZIP", "HOMECNTRY"}, record);
    readPeopleAndDates(lines, record);
    readUserFieldsAndWeb(lines, record);
    QString office = firstValue(lines, u"org;");
    bool hasOrg = false;
    for (const QString &line : lines)
        hasOrg = hasOrg || line.startsWith(u"org;");
    record.insert(QStringLiteral("OFFICE"), corrected(hasOrg ? office : firstValue(lines, u"office;")));
    record.insert(QStringLiteral("DEPARTMENT"), QString());
    readCategories(lines, categoryHelper(), record);
}

QString HMContactData::correctedString(const QVariant &value)
{
    if (value.typeId() != QMetaType::QString)
        return QString(QLatin1String(""));
    QString text = value.toString();
    if (text.endsWith(QStringLiteral("\\n")))
        text.chop(2);
    if (text.endsWith(u'\r'))
        text.chop(1);
    text.replace(QStringLiteral("\\;"), QStringLiteral(";"));
    text.replace(QStringLiteral("\\,"), QStringLiteral(","));
    text.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    text.replace(QStringLiteral("\\n"), QStringLiteral("\r\n"));
    return text.isNull() ? QString(QLatin1String("")) : text;
}

QStringList HMContactData::phoneLabelAndValueFromvCardString(const QString &line)
{
    const qsizetype type = line.indexOf(QStringLiteral("type="));
    const qsizetype colon = line.indexOf(u':');
    if (type < 0 || colon < 0) {
        const QString value = colon < 0 ? QString() : line.mid(colon + 1);
        return value.isEmpty() ? QStringList{QStringLiteral("0")} : QStringList{QStringLiteral("0"), value};
    }
    const QString value = line.mid(colon + 1);
    if (value.isEmpty())
        return {QStringLiteral("0")};
    const QString typeText = colon > type + 5 ? line.mid(type + 5, colon - type - 5) : QString();
    static const QHash<QString, int> codes{{QStringLiteral("home"), 1},          {QStringLiteral("work"), 3},
                                           {QStringLiteral("cell"), 2},          {QStringLiteral("main"), 10},
                                           {QStringLiteral("work;type=fax"), 4}, {QStringLiteral("home;type=fax"), 5},
                                           {QStringLiteral("pager"), 6},         {QStringLiteral("assisstant"), 19},
                                           {QStringLiteral("custom"), 7},        {QStringLiteral("other"), 7}};
    return {QString::number(codes.value(typeText, 0)), value};
}

QString HMContactData::escapeUnicodeString(const QString &text)
{
    QString escaped = text;
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    escaped.replace(QStringLiteral("\""), QStringLiteral("\\\""));
    QString result;
    result.reserve(escaped.size());
    for (const QChar unit : std::as_const(escaped)) {
        if (unit.unicode() < 127)
            result.append(unit);
        else
            result.append(QStringLiteral("\\u") + QString::number(unit.unicode(), 16).toUpper().rightJustified(4, u'0'));
    }
    return result;
}

QString HMContactData::getValueValueForOutlookLabel(const QString &label, const QStringList &lines)
{
    static const QHash<QString, QString> types{
        {QStringLiteral("Work"), QStringLiteral("work")},   {QStringLiteral("Work2"), QStringLiteral("work")},
        {QStringLiteral("Home"), QStringLiteral("home")},   {QStringLiteral("Home2"), QStringLiteral("home")},
        {QStringLiteral("Pager"), QStringLiteral("pager")}, {QStringLiteral("Mobile"), QStringLiteral("cell")},
        {QStringLiteral("Main"), QStringLiteral("primary")}, {QStringLiteral("WorkFax"), QStringLiteral("work;type=fax")},
        {QStringLiteral("HomeFax"), QStringLiteral("home;type=fax")}};
    if (!types.contains(label))
        return QString(QLatin1String(""));
    const int wanted = label.endsWith(u'2') ? 2 : 1;
    int found = 0;
    for (const QString &line : lines) {
        const qsizetype type = line.indexOf(QStringLiteral("type="));
        const qsizetype colon = line.indexOf(u':');
        if (type < 0 || colon < type + 5 || line.mid(type + 5, colon - type - 5) != types.value(label))
            continue;
        if (++found == wanted)
            return line.mid(colon + 1);
    }
    return QString(QLatin1String(""));
}
