// The Atom entries a Google run sends for contacts and groups.
#include "google/GoogleContactEntry.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>

#include <array>

namespace googlecontactentry {

namespace {

// The entry is written straight into one UTF-8 buffer: the markup is ASCII, and the record's texts go
// in as they are encoded, escaped on the way.

// The record's keys are looked up as literals: a key made from a C string costs a block of storage and
// a conversion each time, and an entry looks up some thirty of them.
QString text(const QVariantMap &record, const QString &key)
{
    const auto found = record.constFind(key);
    return found == record.constEnd() ? QString() : found->toString();
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

// The name parts as the entry lists them: given, family, additional, prefix, suffix.
enum NamePart { Given, Family, Additional, Prefix, Suffix, NameParts };

// Prefix, given, additional, family and suffix joined by single blanks, the ends' blanks taken off
// (one blank stays when nothing else does), each pair of blanks made one in one pass.
QString fullName(const std::array<QString, NameParts> &parts)
{
    QString name = QStringList{parts[Prefix], parts[Given], parts[Additional], parts[Family], parts[Suffix]}.join(
        QLatin1Char(' '));
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
    static const char *const elements[NameParts] = {"gd:givenName", "gd:familyName", "gd:additionalName",
                                                    "gd:namePrefix", "gd:nameSuffix"};
    static const QString keys[NameParts] = {QStringLiteral("NEWFNAME"), QStringLiteral("NEWLNAME"),
                                            QStringLiteral("MIDNAME"), QStringLiteral("SALUTATION"),
                                            QStringLiteral("SUFFIX")};
    std::array<QString, NameParts> parts;
    entry += "<gd:name>\n";
    for (int part = 0; part < NameParts; ++part) {
        parts[part] = text(record, keys[part]);
        appendElement(entry, elements[part], parts[part]);
    }
    appendElement(entry, "gd:fullName", fullName(parts));
    entry += "</gd:name>\n";
}

void appendEmails(QByteArray &entry, const QVariantMap &record)
{
    static const char *const emails[][2] = {{"work", "\"\nprimary=\"true\"\naddress=\""},
                                            {"home", "\"\naddress=\""},
                                            {"other", "\"\naddress=\""}};
    static const QString keys[] = {QStringLiteral("EMAIL"), QStringLiteral("EMAIL2"), QStringLiteral("EMAIL3")};
    for (int email = 0; email < 3; ++email) {
        entry += "<gd:email rel=\"";
        appendRel(entry, emails[email][0]);
        entry += emails[email][1];
        appendEscaped(entry, text(record, keys[email]));
        entry += "\"/>\n";
    }
}

// Slot number to label code: the record's labels (any slot). A slot without one has no code, which
// no phone key's code matches.
QMap<int, QString> phoneLabelsOfRecord(const QVariantMap &record)
{
    QMap<int, QString> labels;
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
        const auto number = record.constFind(QLatin1String("PHONE") + QString::number(it.key()));
        return number == record.constEnd() ? QString() : number->toString();
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
    const auto company = record.constFind(QStringLiteral("COMPANY"));
    const auto title = record.constFind(QStringLiteral("PROFESSION"));
    if (company == record.constEnd() && title == record.constEnd())
        return;
    entry += "<gd:organization rel=\"";
    appendRel(entry, "other");
    entry += "\">";
    if (company != record.constEnd()) {
        entry += "\n<gd:orgName>";
        appendEscaped(entry, company->toString());
        entry += "</gd:orgName>";
    }
    if (title != record.constEnd()) {
        entry += "\n<gd:orgTitle>";
        appendEscaped(entry, title->toString());
        entry += "</gd:orgTitle>";
    }
    entry += "\n</gd:organization>";
}

// The street lines joined by line ends, without line ends at either end.
QString streetOf(const QVariantMap &record, const QString keys[3])
{
    QString street = text(record, keys[0]);
    for (int line = 1; line < 3; ++line) {
        const auto found = record.constFind(keys[line]);
        if (found != record.constEnd())
            street += QLatin1Char('\n') + found->toString();
    }
    while (street.startsWith(u'\n'))
        street.remove(0, 1);
    while (street.endsWith(u'\n'))
        street.chop(1);
    return street;
}

// Whether the text holds nothing but line ends, blanks and commas.
bool isBlankAddress(QStringView text)
{
    for (const QChar character : text) {
        if (character != u'\r' && character != u'\n' && character != u' ' && character != u',')
            return false;
    }
    return true;
}

// keys: the three street lines, city, region, postcode, country.
void appendAddress(QByteArray &entry, const QVariantMap &record, const QString keys[7], const char *fragment)
{
    const QString street = streetOf(record, keys);
    const QString city = text(record, keys[3]);
    const QString region = text(record, keys[4]);
    const QString postcode = text(record, keys[5]);
    const QString country = text(record, keys[6]);
    // Without any of its texts the address is blank: nothing to format or send.
    if (street.isEmpty() && city.isEmpty() && region.isEmpty() && postcode.isEmpty() && country.isEmpty())
        return;
    QString formatted = street + QLatin1String("\r\n") + city + QLatin1String(", ") + region + QLatin1Char(' ') + postcode +
                        QLatin1String("\r\n") + country;
    formatted.replace(u'\n', u' ');
    while (formatted.startsWith(u' '))
        formatted.remove(0, 1);
    while (formatted.endsWith(u' '))
        formatted.chop(1);
    if (isBlankAddress(formatted))
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
    static const QString work[7] = {QStringLiteral("ADDRESS1"), QStringLiteral("ADDRESS2"), QStringLiteral("ADDRESS3"),
                                    QStringLiteral("CITY"),     QStringLiteral("STATE"),    QStringLiteral("ZIP"),
                                    QStringLiteral("COUNTRY")};
    static const QString home[7] = {QStringLiteral("HOMEADDR1"), QStringLiteral("HOMEADDR2"), QStringLiteral("HOMEADDR3"),
                                    QStringLiteral("HOMECITY"),  QStringLiteral("HOMESTATE"), QStringLiteral("HOMEZIP"),
                                    QStringLiteral("HOMECNTRY")};
    QByteArray entry;
    entry.reserve(4096); // an entry with a few of each field: no growing on the way
    appendHead(entry);
    appendNames(entry, record);
    entry += "<atom:content type=\"text\">";
    appendEscaped(entry, text(record, QStringLiteral("NOTE")));
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
