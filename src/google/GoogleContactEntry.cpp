// The Atom entries a Google run sends for contacts and groups.
#include "google/GoogleContactEntry.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>

namespace googlecontactentry {

namespace {

// The entry is written straight into one UTF-8 buffer: the markup is ASCII, and the record's texts go
// in as they are encoded, escaped on the way.

QString text(const QVariantMap &record, const char *key)
{
    return record.value(QLatin1String(key)).toString();
}

// The text in UTF-8 with "&", the double quote, "<" and ">" as entity references. Runs of other than
// ASCII go through Qt's encoder whole, so a surrogate pair is never split.
void appendEscaped(QByteArray &entry, QStringView value)
{
    qsizetype at = 0;
    while (at < value.size()) {
        const char16_t unit = value[at].unicode();
        if (unit >= 0x80) {
            qsizetype end = at + 1;
            while (end < value.size() && value[end].unicode() >= 0x80)
                ++end;
            entry += value.sliced(at, end - at).toUtf8();
            at = end;
            continue;
        }
        switch (unit) {
        case u'&':
            entry += "&amp;";
            break;
        case u'"':
            entry += "&quot;";
            break;
        case u'<':
            entry += "&lt;";
            break;
        case u'>':
            entry += "&gt;";
            break;
        default:
            entry += char(unit);
        }
        ++at;
    }
}

// <name>value</name> and a line end.
void appendElement(QByteArray &entry, const char *name, QStringView value)
{
    entry += '<';
    entry += name;
    entry += '>';
    appendEscaped(entry, value);
    entry += "</";
    entry += name;
    entry += ">\n";
}

void appendRel(QByteArray &entry, const char *fragment)
{
    entry += kGdNamespaceText;
    entry += '#';
    entry += fragment;
}

// Prefix, given, additional, family and suffix joined by single blanks, the ends' blanks taken off
// (one blank stays when nothing else does), each pair of blanks made one in one pass.
QString fullName(const QVariantMap &record)
{
    QString name = QStringList{text(record, "SALUTATION"), text(record, "NEWFNAME"), text(record, "MIDNAME"),
                               text(record, "NEWLNAME"), text(record, "SUFFIX")}
                       .join(QLatin1Char(' '));
    qsizetype start = 0;
    while (start < name.size() - 1 && name.at(start) == u' ')
        ++start;
    qsizetype end = name.size();
    while (end > start + 1 && name.at(end - 1) == u' ')
        --end;
    name = name.mid(start, end - start);
    return name.replace(QStringLiteral("  "), QStringLiteral(" "));
}

void appendNames(QByteArray &entry, const QVariantMap &record)
{
    static const char *const parts[][2] = {{"gd:givenName", "NEWFNAME"},
                                           {"gd:familyName", "NEWLNAME"},
                                           {"gd:additionalName", "MIDNAME"},
                                           {"gd:namePrefix", "SALUTATION"},
                                           {"gd:nameSuffix", "SUFFIX"}};
    entry += "<gd:name>\n";
    for (const auto &part : parts)
        appendElement(entry, part[0], text(record, part[1]));
    appendElement(entry, "gd:fullName", fullName(record));
    entry += "</gd:name>\n";
}

void appendEmails(QByteArray &entry, const QVariantMap &record)
{
    static const char *const emails[][3] = {{"work", "\"\nprimary=\"true\"\naddress=\"", "EMAIL"},
                                            {"home", "\"\naddress=\"", "EMAIL2"},
                                            {"other", "\"\naddress=\"", "EMAIL3"}};
    for (const auto &email : emails) {
        entry += "<gd:email rel=\"";
        appendRel(entry, email[0]);
        entry += email[1];
        appendEscaped(entry, text(record, email[2]));
        entry += "\"/>\n";
    }
}

// Slot number to label code: 1 to 10 start as "-1", the record's labels (any slot) over them.
QMap<int, QString> phoneLabelsOfRecord(const QVariantMap &record)
{
    QMap<int, QString> labels;
    for (int slot = 1; slot <= 10; ++slot)
        labels.insert(slot, QStringLiteral("-1"));
    const QString prefix = QStringLiteral("PHONELABEL");
    for (auto it = record.lowerBound(prefix); it != record.constEnd() && it.key().startsWith(prefix); ++it) {
        bool isNumber = false;
        const int slot = QStringView(it.key()).mid(prefix.size()).toInt(&isNumber);
        if (isNumber)
            labels.insert(slot, it.value().toString());
    }
    return labels;
}

// The label code of a phone key ("HOMEPHONE" 1 ... "MAINPHONE" 10); empty for a key without one.
template <typename Key>
QLatin1String codeOfPhoneKey(const Key &phoneKey)
{
    static const char *const codes[][2] = {{"HOMEPHONE", "1"}, {"CELLPHONE", "2"}, {"WORKPHONE", "3"},
                                           {"WORKFAX", "4"},   {"HOMEFAX", "5"},   {"PAGER", "6"},
                                           {"OTHERPHONE", "7"}, {"MAINPHONE", "10"}};
    for (const auto &code : codes) {
        if (phoneKey == QLatin1String(code[0]))
            return QLatin1String(code[1]);
    }
    return {};
}

// The number of the first slot whose label is the code; null when none is.
QString numberWithCode(QLatin1String code, const QMap<int, QString> &labels, const QVariantMap &record)
{
    if (code.isEmpty())
        return {};
    for (auto it = labels.constBegin(); it != labels.constEnd(); ++it) {
        if (it.value() != code)
            continue;
        const QVariant number = record.value(QStringLiteral("PHONE%1").arg(it.key()));
        return number.isValid() ? number.toString() : QString();
    }
    return {};
}

void appendPhones(QByteArray &entry, const QVariantMap &record)
{
    static const char *const phones[][2] = {{"WORKPHONE", "work"}, {"HOMEPHONE", "home"}, {"OTHERPHONE", "other"},
                                            {"CELLPHONE", "mobile"}, {"PAGER", "pager"},   {"MAINPHONE", "main"},
                                            {"WORKFAX", "work_fax"}, {"HOMEFAX", "home_fax"}};
    const QMap<int, QString> labels = phoneLabelsOfRecord(record);
    for (const auto &phone : phones) {
        const QString number = numberWithCode(codeOfPhoneKey(QLatin1String(phone[0])), labels, record);
        if (number.isNull())
            continue;
        entry += "<gd:phoneNumber rel=\"";
        appendRel(entry, phone[1]);
        entry += "\">\n";
        appendEscaped(entry, number);
        entry += "\n</gd:phoneNumber>\n";
    }
}

void appendOrganization(QByteArray &entry, const QVariantMap &record)
{
    const bool hasCompany = record.contains(QStringLiteral("COMPANY"));
    const bool hasTitle = record.contains(QStringLiteral("PROFESSION"));
    if (!hasCompany && !hasTitle)
        return;
    entry += "<gd:organization rel=\"";
    appendRel(entry, "other");
    entry += "\">";
    if (hasCompany) {
        entry += "\n<gd:orgName>";
        appendEscaped(entry, text(record, "COMPANY"));
        entry += "</gd:orgName>";
    }
    if (hasTitle) {
        entry += "\n<gd:orgTitle>";
        appendEscaped(entry, text(record, "PROFESSION"));
        entry += "</gd:orgTitle>";
    }
    entry += "\n</gd:organization>";
}

// The street lines joined by line ends, without line ends at either end.
QString streetOf(const QVariantMap &record, const char *const keys[3])
{
    QString street = text(record, keys[0]);
    for (int line = 1; line < 3; ++line) {
        if (record.contains(QLatin1String(keys[line])))
            street += QLatin1Char('\n') + text(record, keys[line]);
    }
    while (street.startsWith(u'\n'))
        street.remove(0, 1);
    while (street.endsWith(u'\n'))
        street.chop(1);
    return street;
}

// keys: the three street lines, city, region, postcode, country.
void appendAddress(QByteArray &entry, const QVariantMap &record, const char *const keys[7], const char *fragment)
{
    const QString street = streetOf(record, keys);
    const QString city = text(record, keys[3]);
    const QString region = text(record, keys[4]);
    const QString postcode = text(record, keys[5]);
    const QString country = text(record, keys[6]);
    QString formatted = street + QLatin1String("\r\n") + city + QLatin1String(", ") + region + QLatin1Char(' ') + postcode +
                        QLatin1String("\r\n") + country;
    formatted.replace(u'\n', u' ');
    while (formatted.startsWith(u' '))
        formatted.remove(0, 1);
    while (formatted.endsWith(u' '))
        formatted.chop(1);
    static const QRegularExpression blank(QStringLiteral("^[\\r\\n ,]*$"));
    if (blank.match(formatted).hasMatch())
        return;
    entry += "<gd:structuredPostalAddress\nrel=\"";
    appendRel(entry, fragment);
    entry += "\">\n";
    appendElement(entry, "gd:city", city);
    appendElement(entry, "gd:street", street);
    appendElement(entry, "gd:region", region);
    appendElement(entry, "gd:postcode", postcode);
    appendElement(entry, "gd:country", country);
    appendElement(entry, "gd:formattedAddress", formatted);
    entry += "</gd:structuredPostalAddress>\n";
}

void appendMembership(QByteArray &entry, QStringView href)
{
    entry += "<gContact:groupMembershipInfo deleted='false' href=\"";
    appendEscaped(entry, href);
    entry += "\"/>\n";
}

void appendMemberships(QByteArray &entry, const QVariantMap &record, const QMap<QString, QString> &groups,
                       const QString &userEmail)
{
    appendMembership(entry, QLatin1String("http://www.google.com/m8/feeds/groups/") + userEmail + QLatin1String("/base/6"));
    for (const QVariant &category : record.value(QStringLiteral("NSARRAYCATEGORIES")).toList()) {
        const QString name = category.toString();
        for (auto group = groups.constBegin(); group != groups.constEnd(); ++group) {
            if (group.value() == name)
                appendMembership(entry, group.key());
        }
    }
}

void appendBirthday(QByteArray &entry, const QVariantMap &record)
{
    const QVariant value = record.value(QStringLiteral("NSDATEBIRTHDAY"));
    const QDate date = value.typeId() == QMetaType::QDate ? value.toDate() : value.toDateTime().date();
    if (!date.isValid())
        return;
    entry += "<gContact:birthday when='";
    appendEscaped(entry, date.toString(QStringLiteral("yyyy-MM-dd")));
    entry += "'/>\n";
}

void appendHead(QByteArray &entry)
{
    entry += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<atom:entry xmlns:atom=\"";
    entry += kAtomNamespaceText;
    entry += "\"\nxmlns:gd=\"";
    entry += kGdNamespaceText;
    entry += "\" xmlns:gContact='";
    entry += kContactNamespaceText;
    entry += "'>\n<atom:category scheme=\"";
    entry += kGdNamespaceText;
    entry += "#kind\"\nterm=\"";
    entry += kContactNamespaceText;
    entry += "#contact\"/>\n";
}

} // namespace

QString xmlEscapedString(const QString &value)
{
    QString escapedText = value;
    escapedText.replace(u'&', QStringLiteral("&amp;"));
    escapedText.replace(u'"', QStringLiteral("&quot;"));
    escapedText.replace(u'<', QStringLiteral("&lt;"));
    escapedText.replace(u'>', QStringLiteral("&gt;"));
    return escapedText;
}

QString phoneNumberForLabel(const QString &phoneKey, const QVariantMap &record)
{
    return numberWithCode(codeOfPhoneKey(phoneKey), phoneLabelsOfRecord(record), record);
}

QByteArray contactEntry(const QVariantMap &record, const QMap<QString, QString> &groups, const QString &userEmail)
{
    static const char *const work[7] = {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"};
    static const char *const home[7] = {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY",
                                        "HOMESTATE", "HOMEZIP",   "HOMECNTRY"};
    QByteArray entry;
    entry.reserve(4096); // an entry with a few of each field: no growing on the way
    appendHead(entry);
    appendNames(entry, record);
    entry += "<atom:content type=\"text\">";
    appendEscaped(entry, text(record, "NOTE"));
    entry += "</atom:content>\n";
    appendEmails(entry, record);
    appendPhones(entry, record);
    appendOrganization(entry, record);
    appendAddress(entry, record, work, "work");
    appendAddress(entry, record, home, "home");
    appendMemberships(entry, record, groups, userEmail);
    appendBirthday(entry, record);
    entry += "</atom:entry>";
    return entry;
}

QString groupEntry(const QString &name)
{
    return QStringLiteral("<atom:entry xmlns:atom='%1' xmlns:gd='%2'>\r\n"
                          "  <atom:category scheme='%2#kind'\r\n"
                          "    term='%3#group'/>\r\n"
                          "  <atom:title type='text'>%4</atom:title>\r\n"
                          "</atom:entry>")
        .arg(kAtomNamespace, kGdNamespace, kContactNamespace, xmlEscapedString(name));
}

QString convertDictionaryToXML(const QVariantMap &dictionary, const QString &elementName, bool isFirstElement)
{
    QString xml = isFirstElement ? QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") : QString();
    xml += QStringLiteral("<%1>\n").arg(elementName);
    for (auto it = dictionary.constBegin(); it != dictionary.constEnd(); ++it) {
        const QVariant &value = it.value();
        if (value.typeId() == QMetaType::QVariantList) {
            for (const QVariant &member : value.toList()) {
                if (member.typeId() == QMetaType::QVariantMap)
                    xml += convertDictionaryToXML(member.toMap(), it.key(), false);
            }
        } else if (value.typeId() == QMetaType::QVariantMap) {
            xml += convertDictionaryToXML(value.toMap(), it.key(), false);
        } else if (!value.toString().isEmpty()) {
            xml += QStringLiteral("<%1>%2</%1>\n").arg(it.key(), value.toString());
        }
    }
    xml += QStringLiteral("</%1>\n").arg(elementName);
    // Only the outermost call escapes, so no "&" is escaped twice.
    if (isFirstElement)
        xml.replace(u'&', QStringLiteral("&amp;"));
    return xml;
}

} // namespace googlecontactentry
