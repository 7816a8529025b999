// The Atom entries a Google run sends for contacts and groups.
#include "google/GoogleContactEntry.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>

namespace googlecontactentry {

namespace {

QString text(const QVariantMap &record, const char *key)
{
    return record.value(QLatin1String(key)).toString();
}

QString escaped(const QVariantMap &record, const char *key)
{
    return xmlEscapedString(text(record, key));
}

QString rel(const char *fragment)
{
    return kGdNamespace + QLatin1Char('#') + QLatin1String(fragment);
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

void appendNames(QString &entry, const QVariantMap &record)
{
    entry += QStringLiteral("<gd:name>\n");
    entry += QStringLiteral("<gd:givenName>%1</gd:givenName>\n").arg(escaped(record, "NEWFNAME"));
    entry += QStringLiteral("<gd:familyName>%1</gd:familyName>\n").arg(escaped(record, "NEWLNAME"));
    entry += QStringLiteral("<gd:additionalName>%1</gd:additionalName>\n").arg(escaped(record, "MIDNAME"));
    entry += QStringLiteral("<gd:namePrefix>%1</gd:namePrefix>\n").arg(escaped(record, "SALUTATION"));
    entry += QStringLiteral("<gd:nameSuffix>%1</gd:nameSuffix>\n").arg(escaped(record, "SUFFIX"));
    entry += QStringLiteral("<gd:fullName>%1</gd:fullName>\n</gd:name>\n").arg(xmlEscapedString(fullName(record)));
}

void appendEmails(QString &entry, const QVariantMap &record)
{
    entry += QStringLiteral("<gd:email rel=\"%1\"\nprimary=\"true\"\naddress=\"%2\"/>\n")
                 .arg(rel("work"), escaped(record, "EMAIL"));
    entry += QStringLiteral("<gd:email rel=\"%1\"\naddress=\"%2\"/>\n").arg(rel("home"), escaped(record, "EMAIL2"));
    entry += QStringLiteral("<gd:email rel=\"%1\"\naddress=\"%2\"/>\n").arg(rel("other"), escaped(record, "EMAIL3"));
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
        const int slot = it.key().mid(prefix.size()).toInt(&isNumber);
        if (isNumber)
            labels.insert(slot, it.value().toString());
    }
    return labels;
}

// The number of the first slot whose label is the phone key's code; null when none is.
QString numberWithLabel(const QString &phoneKey, const QMap<int, QString> &labels, const QVariantMap &record)
{
    static const QMap<QString, QString> codes{{QStringLiteral("HOMEPHONE"), QStringLiteral("1")},
                                              {QStringLiteral("CELLPHONE"), QStringLiteral("2")},
                                              {QStringLiteral("WORKPHONE"), QStringLiteral("3")},
                                              {QStringLiteral("WORKFAX"), QStringLiteral("4")},
                                              {QStringLiteral("HOMEFAX"), QStringLiteral("5")},
                                              {QStringLiteral("PAGER"), QStringLiteral("6")},
                                              {QStringLiteral("OTHERPHONE"), QStringLiteral("7")},
                                              {QStringLiteral("MAINPHONE"), QStringLiteral("10")}};
    const QString code = codes.value(phoneKey);
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

void appendPhones(QString &entry, const QVariantMap &record)
{
    static const char *const phones[][2] = {{"WORKPHONE", "work"}, {"HOMEPHONE", "home"}, {"OTHERPHONE", "other"},
                                            {"CELLPHONE", "mobile"}, {"PAGER", "pager"},   {"MAINPHONE", "main"},
                                            {"WORKFAX", "work_fax"}, {"HOMEFAX", "home_fax"}};
    const QMap<int, QString> labels = phoneLabelsOfRecord(record);
    for (const auto &phone : phones) {
        const QString number = numberWithLabel(QLatin1String(phone[0]), labels, record);
        if (number.isNull())
            continue;
        entry += QStringLiteral("<gd:phoneNumber rel=\"%1\">\n%2\n</gd:phoneNumber>\n")
                     .arg(rel(phone[1]), xmlEscapedString(number));
    }
}

void appendOrganization(QString &entry, const QVariantMap &record)
{
    const bool hasCompany = record.contains(QStringLiteral("COMPANY"));
    const bool hasTitle = record.contains(QStringLiteral("PROFESSION"));
    if (!hasCompany && !hasTitle)
        return;
    entry += QStringLiteral("<gd:organization rel=\"%1\">").arg(rel("other"));
    if (hasCompany)
        entry += QStringLiteral("\n<gd:orgName>%1</gd:orgName>").arg(escaped(record, "COMPANY"));
    if (hasTitle)
        entry += QStringLiteral("\n<gd:orgTitle>%1</gd:orgTitle>").arg(escaped(record, "PROFESSION"));
    entry += QStringLiteral("\n</gd:organization>");
}

// keys: the three street lines, city, region, postcode, country.
void appendAddress(QString &entry, const QVariantMap &record, const char *const keys[7], const char *fragment)
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
    const QString city = text(record, keys[3]);
    const QString region = text(record, keys[4]);
    const QString postcode = text(record, keys[5]);
    const QString country = text(record, keys[6]);
    QString formatted = QStringLiteral("%1\r\n%2, %3 %4\r\n%5").arg(street, city, region, postcode, country);
    formatted.replace(u'\n', u' ');
    while (formatted.startsWith(u' '))
        formatted.remove(0, 1);
    while (formatted.endsWith(u' '))
        formatted.chop(1);
    static const QRegularExpression blank(QStringLiteral("^[\\r\\n ,]*$"));
    if (blank.match(formatted).hasMatch())
        return;
    entry += QStringLiteral("<gd:structuredPostalAddress\nrel=\"%1\">\n").arg(rel(fragment));
    entry += QStringLiteral("<gd:city>%1</gd:city>\n").arg(xmlEscapedString(city));
    entry += QStringLiteral("<gd:street>%1</gd:street>\n").arg(xmlEscapedString(street));
    entry += QStringLiteral("<gd:region>%1</gd:region>\n").arg(xmlEscapedString(region));
    entry += QStringLiteral("<gd:postcode>%1</gd:postcode>\n").arg(xmlEscapedString(postcode));
    entry += QStringLiteral("<gd:country>%1</gd:country>\n").arg(xmlEscapedString(country));
    entry += QStringLiteral("<gd:formattedAddress>%1</gd:formattedAddress>\n").arg(xmlEscapedString(formatted));
    entry += QStringLiteral("</gd:structuredPostalAddress>\n");
}

void appendMemberships(QString &entry, const QVariantMap &record, const QMap<QString, QString> &groups,
                       const QString &userEmail)
{
    entry += QStringLiteral("<gContact:groupMembershipInfo deleted='false' href=\"%1\"/>\n")
                 .arg(xmlEscapedString(QStringLiteral("http://www.google.com/m8/feeds/groups/%1/base/6").arg(userEmail)));
    for (const QVariant &category : record.value(QStringLiteral("NSARRAYCATEGORIES")).toList()) {
        for (auto group = groups.constBegin(); group != groups.constEnd(); ++group) {
            if (group.value() == category.toString())
                entry += QStringLiteral("<gContact:groupMembershipInfo deleted='false' href=\"%1\"/>\n")
                             .arg(xmlEscapedString(group.key()));
        }
    }
}

void appendBirthday(QString &entry, const QVariantMap &record)
{
    const QVariant value = record.value(QStringLiteral("NSDATEBIRTHDAY"));
    const QDate date = value.typeId() == QMetaType::QDate ? value.toDate() : value.toDateTime().date();
    if (date.isValid())
        entry += QStringLiteral("<gContact:birthday when='%1'/>\n").arg(date.toString(QStringLiteral("yyyy-MM-dd")));
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
    return numberWithLabel(phoneKey, phoneLabelsOfRecord(record), record);
}

QString contactEntry(const QVariantMap &record, const QMap<QString, QString> &groups, const QString &userEmail)
{
    static const char *const work[7] = {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"};
    static const char *const home[7] = {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY",
                                        "HOMESTATE", "HOMEZIP",   "HOMECNTRY"};
    QString entry;
    entry.reserve(4096); // an entry with a few of each field: no growing on the way
    entry += QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    entry += QStringLiteral("<atom:entry xmlns:atom=\"%1\"\nxmlns:gd=\"%2\" xmlns:gContact='%3'>\n")
                 .arg(kAtomNamespace, kGdNamespace, kContactNamespace);
    entry += QStringLiteral("<atom:category scheme=\"%1#kind\"\nterm=\"%2#contact\"/>\n").arg(kGdNamespace, kContactNamespace);
    appendNames(entry, record);
    entry += QStringLiteral("<atom:content type=\"text\">%1</atom:content>\n").arg(escaped(record, "NOTE"));
    appendEmails(entry, record);
    appendPhones(entry, record);
    appendOrganization(entry, record);
    appendAddress(entry, record, work, "work");
    appendAddress(entry, record, home, "home");
    appendMemberships(entry, record, groups, userEmail);
    appendBirthday(entry, record);
    entry += QStringLiteral("</atom:entry>");
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
