#include "platform/addressbook/ABVCardMapping.h"

#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABMutableMultiValue.h"
#include "platform/addressbook/ABPerson.h"

#include <QCryptographicHash>
#include <QHash>
#include <QSet>
#include <QTimeZone>

#include <cstdio>

namespace platform {

namespace {

const QString kTypeParameter = QStringLiteral("TYPE");
const QString kUrnPrefix = QStringLiteral("urn:uuid:");
// Marks the key of a further ALTID form of a line: no line the mapping makes has it, so it is kept.
const QChar kAlternativeKeyMark = QLatin1Char('~');
// Keys of an address dictionary that the sync does not use but a card may carry.
const QString kPostOfficeBoxKey = QStringLiteral("POBox");
const QString kExtendedAddressKey = QStringLiteral("Extended");

// Kinds of multi-value lines, which name their labels differently.
enum class LabelKind { Phone, Url, Plain };

struct LabelType
{
    const char *label;
    QStringList types;
};

const QList<LabelType> &phoneTypes()
{
    static const QList<LabelType> table = {
        {"home fax", {QStringLiteral("HOME"), QStringLiteral("FAX")}},
        {"work fax", {QStringLiteral("WORK"), QStringLiteral("FAX")}},
        {"mobile", {QStringLiteral("CELL")}},
        {"home", {QStringLiteral("HOME")}},
        {"work", {QStringLiteral("WORK")}},
        {"main", {QStringLiteral("MAIN")}},
        {"pager", {QStringLiteral("PAGER")}},
        {"other", {QStringLiteral("OTHER")}},
    };
    return table;
}

const QList<LabelType> &plainTypes()
{
    static const QList<LabelType> table = {
        {"home", {QStringLiteral("HOME")}},
        {"work", {QStringLiteral("WORK")}},
        {"other", {QStringLiteral("OTHER")}},
    };
    return table;
}

const QList<LabelType> &urlTypes()
{
    static const QList<LabelType> table = {
        {"Home URL", {QStringLiteral("HOME")}},
        {"Work URL", {QStringLiteral("WORK")}},
        {"URL", {}},
    };
    return table;
}

const QList<LabelType> &tableOf(LabelKind kind)
{
    return kind == LabelKind::Phone ? phoneTypes() : kind == LabelKind::Url ? urlTypes() : plainTypes();
}

// Types that say nothing about a label.
bool isNeutralUpperType(const QString &upper)
{
    static const QSet<QString> neutral = {QStringLiteral("PREF"),   QStringLiteral("VOICE"), QStringLiteral("INTERNET"),
                                          QStringLiteral("X400"),   QStringLiteral("POSTAL"), QStringLiteral("PARCEL"),
                                          QStringLiteral("DOM"),    QStringLiteral("INTL"),   QStringLiteral("TEXT")};
    return neutral.contains(upper);
}

// Another program's label words ("_$!<HomeFAX>!$_") in our words.
QString labelFromForeignLabel(const QString &text)
{
    static const QHash<QString, QString> known = {
        {QStringLiteral("Mobile"), kABPhoneMobileLabel}, {QStringLiteral("Main"), kABPhoneMainLabel},
        {QStringLiteral("HomeFAX"), kABPhoneHomeFAXLabel}, {QStringLiteral("WorkFAX"), kABPhoneWorkFAXLabel},
        {QStringLiteral("Pager"), kABPhonePagerLabel},   {QStringLiteral("Other"), kABOtherLabel},
        {QStringLiteral("Home"), kABHomeLabel},          {QStringLiteral("Work"), kABWorkLabel},
        {QStringLiteral("Anniversary"), kABAnniversaryLabel}, {QStringLiteral("HomePage"), QStringLiteral("Home Page")}};
    if (text.startsWith(QLatin1String("_$!<")) && text.endsWith(QLatin1String(">!$_"))) {
        const QString inner = text.mid(4, text.size() - 8);
        return known.value(inner, inner);
    }
    return text;
}

QString labelFromTypes(const VCardProperty &line, LabelKind kind, const QString &foreignLabel)
{
    if (!foreignLabel.isEmpty())
        return labelFromForeignLabel(foreignLabel);
    QStringList kept;
    QSet<QString> upper;
    for (const QString &type : line.parameterValues(kTypeParameter)) {
        if (!isNeutralUpperType(type.toUpper())) {
            kept.append(type);
            upper.insert(type.toUpper());
        }
    }
    for (const LabelType &row : tableOf(kind)) {
        const QSet<QString> wanted(row.types.begin(), row.types.end());
        if (wanted == upper || (!wanted.isEmpty() && wanted.size() > 1 && upper.contains(wanted)))
            return QLatin1String(row.label);
    }
    for (const LabelType &row : tableOf(kind)) {
        if (row.types.size() == 1 && upper.contains(row.types.first()) && kind != LabelKind::Url)
            return QLatin1String(row.label);
    }
    if (kept.isEmpty())
        return kind == LabelKind::Url ? QStringLiteral("URL") : kABOtherLabel;
    return kept.first();
}

QStringList typesForLabel(const QString &label, LabelKind kind)
{
    for (const LabelType &row : tableOf(kind)) {
        if (label == QLatin1String(row.label))
            return row.types;
    }
    QString custom = label;
    custom.replace(QLatin1Char(','), QLatin1Char(' '));
    return custom.trimmed().isEmpty() ? QStringList() : QStringList{custom.trimmed()};
}

QString derivedIdentifier(const QString &uniqueId, const VCardProperty &line, int occurrence)
{
    const QByteArray seed = (uniqueId + QLatin1Char('\n') + line.name + QLatin1Char('\n') + line.value
                             + QLatin1Char('\n') + QString::number(occurrence))
                                .toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(seed, QCryptographicHash::Md5).toHex().left(12).toUpper());
}

// The year some programs give a birthday whose year is not known.
constexpr int kYearlessBirthdayYear = 1604;

QDate dateFromText(const QString &text)
{
    const QString trimmed = text.trimmed().left(10);
    QDate date = QDate::fromString(trimmed, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid())
        date = QDate::fromString(trimmed.left(8), QStringLiteral("yyyyMMdd"));
    return date;
}

QDateTime dateTimeOfDay(const QDate &date)
{
    return QDateTime(date, QTime(0, 0), Qt::LocalTime).toUTC();
}

// The person under construction: values gathered from the lines, and the multi-values being built.
struct CardReader
{
    ABRecord &record;
    QHash<QString, QString> foreignLabels; // group name -> X-ABLABEL text
    QHash<QString, ABMutableMultiValue> multiValues;
    QHash<QString, int> occurrences;
    QSet<QString> consumedGroups;
    QStringList members;
    QStringList categories;
    QString formattedName;
    bool hasName = false;
    // The identifier the line being read took as a multi-value entry; empty for other lines.
    QString entryIdentifier;

    void addEntry(const QString &property, const VCardProperty &line, const QVariant &value, const QString &label)
    {
        const QString key = line.name + QLatin1Char('\n') + line.value;
        const int occurrence = occurrences[key]++;
        QString identifier = line.parameterValue(ABVCardMapping::kEntryIdParameter);
        if (identifier.isEmpty())
            identifier = derivedIdentifier(record.uniqueId(), line, occurrence);
        multiValues[property].addValue(value, label, identifier);
        entryIdentifier = identifier;
        if (!line.group.isEmpty())
            consumedGroups.insert(line.group);
    }

    QString labelOf(const VCardProperty &line, LabelKind kind) const
    {
        return labelFromTypes(line, kind, line.group.isEmpty() ? QString() : foreignLabels.value(line.group));
    }
};

void setText(ABRecord &record, const QString &property, const QString &escaped)
{
    const QString text = VCard::unescapeText(escaped);
    if (!text.isEmpty())
        record.setStoredValue(property, text);
}

void readName(CardReader &reader, const VCardProperty &line)
{
    const QStringList parts = VCard::splitStructured(line.value, QLatin1Char(';'));
    const QString properties[] = {kABLastNameProperty, kABFirstNameProperty, kABMiddleNameProperty, kABTitleProperty,
                                  kABSuffixProperty};
    for (qsizetype index = 0; index < 5 && index < parts.size(); ++index) {
        setText(reader.record, properties[index], parts.at(index));
        // An N of empty parts ("N:;;;;") names nobody: the card goes by its FN.
        reader.hasName = reader.hasName || !VCard::unescapeText(parts.at(index)).trimmed().isEmpty();
    }
}

void readOrganization(CardReader &reader, const VCardProperty &line)
{
    const QStringList parts = VCard::splitStructured(line.value, QLatin1Char(';'));
    setText(reader.record, kABOrganizationProperty, parts.value(0));
    setText(reader.record, kABDepartmentProperty, parts.value(1));
}

void readAddress(CardReader &reader, const VCardProperty &line)
{
    const QStringList parts = VCard::splitStructured(line.value, QLatin1Char(';'));
    const QString keys[] = {kPostOfficeBoxKey, kExtendedAddressKey, kABAddressStreetKey, kABAddressCityKey,
                            kABAddressStateKey, kABAddressZIPKey,  kABAddressCountryKey};
    QVariantMap address;
    for (qsizetype index = 0; index < 7 && index < parts.size(); ++index) {
        const QString text = VCard::unescapeText(parts.at(index));
        if (!text.isEmpty())
            address.insert(keys[index], text);
    }
    reader.addEntry(kABAddressProperty, line, address, reader.labelOf(line, LabelKind::Plain));
}

QString serviceOfScheme(const QString &scheme)
{
    static const QHash<QString, QString> services = {
        {QStringLiteral("xmpp"), QStringLiteral("Jabber")}, {QStringLiteral("skype"), QStringLiteral("Skype")},
        {QStringLiteral("aim"), QStringLiteral("AIM")},     {QStringLiteral("icq"), QStringLiteral("ICQ")},
        {QStringLiteral("msnim"), QStringLiteral("MSN")},   {QStringLiteral("ymsgr"), QStringLiteral("Yahoo")}};
    return services.value(scheme.toLower(), scheme);
}

QString schemeOfService(const QString &service)
{
    static const QHash<QString, QString> schemes = {
        {QStringLiteral("jabber"), QStringLiteral("xmpp")}, {QStringLiteral("xmpp"), QStringLiteral("xmpp")},
        {QStringLiteral("skype"), QStringLiteral("skype")}, {QStringLiteral("aim"), QStringLiteral("aim")},
        {QStringLiteral("icq"), QStringLiteral("icq")},     {QStringLiteral("msn"), QStringLiteral("msnim")},
        {QStringLiteral("yahoo"), QStringLiteral("ymsgr")}};
    return schemes.value(service.toLower(), QStringLiteral("im"));
}

void readInstantMessage(CardReader &reader, const VCardProperty &line)
{
    QString service = line.parameterValue(QStringLiteral("X-SERVICE-TYPE"));
    QString user = VCard::unescapeText(line.value);
    if (line.name == QLatin1String("IMPP")) {
        const qsizetype colon = user.indexOf(QLatin1Char(':'));
        if (colon > 0) {
            if (service.isEmpty())
                service = serviceOfScheme(user.left(colon));
            user = user.mid(colon + 1);
        }
    } else if (service.isEmpty()) {
        service = line.name.mid(2); // X-JABBER, X-SKYPE, ...
    }
    const QVariantMap entry{{kABInstantMessageUsernameKey, user}, {kABInstantMessageServiceKey, service}};
    reader.addEntry(kABInstantMessageProperty, line, entry, reader.labelOf(line, LabelKind::Plain));
}

bool readOtherDate(CardReader &reader, const VCardProperty &line)
{
    const QDate date = dateFromText(VCard::unescapeText(line.value));
    if (!date.isValid())
        return false;
    QString label = kABAnniversaryLabel;
    if (line.name == QLatin1String("X-HM-DATE"))
        label = line.parameterValue(kTypeParameter);
    else if (line.name == QLatin1String("X-ABDATE"))
        label = labelFromForeignLabel(reader.foreignLabels.value(line.group));
    reader.addEntry(kABOtherDatesProperty, line, dateTimeOfDay(date), label);
    return true;
}

bool readPhoto(CardReader &reader, const VCardProperty &line)
{
    QString value = line.value.trimmed();
    const bool isDataUri = value.startsWith(QLatin1String("data:"));
    if (isDataUri) {
        const qsizetype comma = value.indexOf(QLatin1Char(','));
        if (comma < 0 || !value.left(comma).endsWith(QLatin1String(";base64")))
            return false;
        value = value.mid(comma + 1);
    } else if (line.parameterValue(QStringLiteral("ENCODING")).compare(QLatin1String("b"), Qt::CaseInsensitive) != 0
               && line.parameterValue(QStringLiteral("ENCODING")).compare(QLatin1String("BASE64"), Qt::CaseInsensitive) != 0) {
        return false;
    }
    const auto decoded = QByteArray::fromBase64Encoding(value.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return false;
    reader.record.setStoredValue(ABPerson::kImageDataProperty, decoded.decoded);
    return true;
}

void readCategories(CardReader &reader, const VCardProperty &line)
{
    for (const QString &part : VCard::splitStructured(line.value, QLatin1Char(','))) {
        const QString name = VCard::unescapeText(part).trimmed();
        if (!name.isEmpty() && !reader.categories.contains(name))
            reader.categories.append(name);
    }
}

// Lines whose meaning is the record itself; false for lines kept as foreign lines.
bool readIdentityLine(CardReader &reader, const VCardProperty &line)
{
    const QString &name = line.name;
    if (name == QLatin1String("UID") || name == QLatin1String("REV") || name == QLatin1String("PRODID") ||
        name == QLatin1String("KIND") || name == QLatin1String("X-ADDRESSBOOKSERVER-KIND") ||
        name == QLatin1String("X-ABLABEL") || name == QLatin1String("VERSION"))
        return true;
    if (name == QLatin1String("MEMBER") || name == QLatin1String("X-ADDRESSBOOKSERVER-MEMBER")) {
        QString member = VCard::unescapeText(line.value).trimmed();
        if (member.startsWith(kUrnPrefix, Qt::CaseInsensitive))
            member = member.mid(kUrnPrefix.size());
        if (!member.isEmpty())
            reader.members.append(member);
        return true;
    }
    if (name == QLatin1String("FN")) {
        reader.formattedName = VCard::unescapeText(line.value);
        return true;
    }
    if (name == QLatin1String("CATEGORIES")) {
        readCategories(reader, line);
        return true;
    }
    return false;
}

bool readPlainLine(CardReader &reader, const VCardProperty &line)
{
    static const QHash<QString, QString> plain = {
        {QStringLiteral("NICKNAME"), kABNicknameProperty},
        {QStringLiteral("TITLE"), kABJobTitleProperty},
        {QStringLiteral("NOTE"), kABNoteProperty},
        {QStringLiteral("X-PHONETIC-FIRST-NAME"), kABFirstNamePhoneticProperty},
        {QStringLiteral("X-PHONETIC-LAST-NAME"), kABLastNamePhoneticProperty}};
    const auto found = plain.constFind(line.name);
    if (found != plain.constEnd()) {
        setText(reader.record, found.value(), line.value);
        return true;
    }
    if (line.name == QLatin1String("N")) {
        // Of several names (ALTID forms of one name), the first that names someone.
        if (!reader.hasName)
            readName(reader, line);
        return true;
    }
    if (line.name == QLatin1String("ORG")) {
        readOrganization(reader, line);
        return true;
    }
    if (line.name == QLatin1String("BDAY")) {
        // A birthday without its year ("--0101", or the year 1604 some programs write for none)
        // stays a line of the card's own: the phone has no date without a year.
        const QDate date = dateFromText(VCard::unescapeText(line.value));
        const bool isWhole = date.isValid() && date.year() != kYearlessBirthdayYear;
        if (isWhole)
            reader.record.setStoredValue(kABBirthdayProperty, dateTimeOfDay(date));
        return isWhole;
    }
    return false;
}

bool readMultiValueLine(CardReader &reader, const VCardProperty &line)
{
    const QString &name = line.name;
    if (name == QLatin1String("TEL")) {
        QString number = VCard::unescapeText(line.value);
        if (number.startsWith(QLatin1String("tel:")))
            number = number.mid(4);
        reader.addEntry(kABPhoneProperty, line, number, reader.labelOf(line, LabelKind::Phone));
    } else if (name == QLatin1String("EMAIL")) {
        reader.addEntry(kABEmailProperty, line, VCard::unescapeText(line.value), reader.labelOf(line, LabelKind::Plain));
    } else if (name == QLatin1String("URL")) {
        reader.addEntry(kABURLsProperty, line, VCard::unescapeText(line.value), reader.labelOf(line, LabelKind::Url));
    } else if (name == QLatin1String("ADR")) {
        readAddress(reader, line);
    } else if (name == QLatin1String("IMPP") || name == QLatin1String("X-JABBER") || name == QLatin1String("X-SKYPE")
               || name == QLatin1String("X-AIM") || name == QLatin1String("X-ICQ") || name == QLatin1String("X-MSN")
               || name == QLatin1String("X-YAHOO")) {
        readInstantMessage(reader, line);
    } else if (name == QLatin1String("X-ANNIVERSARY") || name == QLatin1String("ANNIVERSARY")
               || name == QLatin1String("X-HM-DATE") || name == QLatin1String("X-ABDATE")) {
        return readOtherDate(reader, line);
    } else if (name == QLatin1String("PHOTO")) {
        return readPhoto(reader, line);
    } else {
        return false;
    }
    return true;
}

bool isGroupCard(const VCard &card)
{
    for (const char *name : {"KIND", "X-ADDRESSBOOKSERVER-KIND"}) {
        const VCardProperty *kind = card.property(QLatin1String(name));
        if (kind && kind->value.trimmed().compare(QLatin1String("group"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString uniqueIdOfCard(const VCard &card, const QString &fallback)
{
    const VCardProperty *uid = card.property(QStringLiteral("UID"));
    QString text = uid ? VCard::unescapeText(uid->value).trimmed() : QString();
    if (text.startsWith(kUrnPrefix, Qt::CaseInsensitive))
        text = text.mid(kUrnPrefix.size());
    return text.isEmpty() ? fallback : text;
}

// The key of a line that is no multi-value entry: its name, the older form of a group's member line
// under the name this mapping writes, so that a change of members replaces both forms.
QString keyOfLineName(const QString &name)
{
    return name == QLatin1String("X-ADDRESSBOOKSERVER-MEMBER") ? QStringLiteral("MEMBER") : name;
}

// Whether the line is a further form of a value with an ALTID whose first form was read: the forms of
// one value (the name in several languages) share the ALTID, and the first of them stands for it.
bool isAnotherAlternative(const VCardProperty &line, QSet<QString> &seen)
{
    const QString alternative = line.parameterValue(QStringLiteral("ALTID"));
    if (alternative.isEmpty())
        return false;
    const QString key = line.name + QLatin1Char('\n') + alternative;
    if (seen.contains(key))
        return true;
    seen.insert(key);
    return false;
}

void finishRecord(CardReader &reader, const QList<VCardProperty> &foreign)
{
    ABRecord &record = reader.record;
    for (auto it = reader.multiValues.constBegin(); it != reader.multiValues.constEnd(); ++it)
        record.setStoredValue(it.key(), it.value().toVariant());
    for (const VCardProperty &line : foreign) {
        // Labels of lines read above are part of those lines.
        if (!(line.name == QLatin1String("X-ABLABEL") && reader.consumedGroups.contains(line.group)))
            record.foreignLines().append(line);
    }
    record.foreignCategories() = reader.categories;
    if (auto *group = dynamic_cast<ABGroup *>(&record)) {
        group->setStoredMemberIds(reader.members);
        record.setStoredValue(kABGroupNameProperty, reader.formattedName);
    } else if (!reader.hasName && !reader.formattedName.trimmed().isEmpty() &&
               reader.formattedName != record.storedValues().value(kABOrganizationProperty).toString()) {
        // A person known by its FN alone (an N of empty parts, or none, as vCard 4.0 allows) goes by
        // it; a card whose FN is its organization's name is the organization's.
        record.setStoredValue(kABFirstNameProperty, reader.formattedName.trimmed());
    }
}

QString formattedNameOf(ABRecord &record)
{
    QStringList parts;
    for (const QString &property : {kABFirstNameProperty, kABMiddleNameProperty, kABLastNameProperty}) {
        const QString text = record.valueForProperty(property).toString().trimmed();
        if (!text.isEmpty())
            parts.append(text);
    }
    if (!parts.isEmpty()) {
        // With the prefix and the suffix, as other programs write the whole name.
        const QString prefix = record.valueForProperty(kABTitleProperty).toString().trimmed();
        const QString suffix = record.valueForProperty(kABSuffixProperty).toString().trimmed();
        if (!prefix.isEmpty())
            parts.prepend(prefix);
        if (!suffix.isEmpty())
            parts.append(suffix);
        return parts.join(QLatin1Char(' '));
    }
    // Readers list contacts by FN: a person without a name goes by what else it has.
    for (const QString &property : {kABOrganizationProperty, kABNicknameProperty, kABEmailProperty, kABPhoneProperty}) {
        const QStringList texts = record.searchTexts(property, QString());
        if (!texts.isEmpty() && !texts.first().trimmed().isEmpty())
            return texts.first().trimmed();
    }
    return QString();
}

QList<VCardParameter> entryParameters(const QString &identifier, const QStringList &types)
{
    QList<VCardParameter> parameters;
    if (!types.isEmpty())
        parameters.append(VCardParameter{kTypeParameter, types});
    parameters.append(VCardParameter{ABVCardMapping::kEntryIdParameter, {identifier}});
    return parameters;
}

QString escapedJoin(const QStringList &parts, QChar separator)
{
    QString joined;
    for (qsizetype index = 0; index < parts.size(); ++index) {
        if (index > 0)
            joined.append(separator);
        joined.append(VCard::escapeText(parts.at(index)));
    }
    return joined;
}

void writeNameLines(VCard &card, ABRecord &record)
{
    const auto text = [&record](const QString &property) { return record.valueForProperty(property).toString(); };
    card.appendRaw(QStringLiteral("N"), escapedJoin({text(kABLastNameProperty), text(kABFirstNameProperty),
                                                     text(kABMiddleNameProperty), text(kABTitleProperty),
                                                     text(kABSuffixProperty)},
                                                    QLatin1Char(';')));
    card.appendText(QStringLiteral("FN"), formattedNameOf(record));
    const QList<std::pair<const char *, QString>> plain = {
        {"NICKNAME", kABNicknameProperty},
        {"X-PHONETIC-FIRST-NAME", kABFirstNamePhoneticProperty},
        {"X-PHONETIC-LAST-NAME", kABLastNamePhoneticProperty},
        {"TITLE", kABJobTitleProperty}};
    for (const auto &[name, property] : plain) {
        if (!text(property).isEmpty())
            card.appendText(QLatin1String(name), text(property));
    }
    if (!text(kABOrganizationProperty).isEmpty() || !text(kABDepartmentProperty).isEmpty())
        card.appendRaw(QStringLiteral("ORG"),
                       escapedJoin({text(kABOrganizationProperty), text(kABDepartmentProperty)}, QLatin1Char(';')));
    const QDateTime birthday = record.valueForProperty(kABBirthdayProperty).toDateTime();
    if (birthday.isValid())
        card.appendRaw(QStringLiteral("BDAY"), birthday.toLocalTime().date().toString(Qt::ISODate));
}

ABMultiValue multiValueOf(ABRecord &record, const QString &property)
{
    return record.valueForProperty(property).value<ABMultiValue>();
}

void writeTextEntries(VCard &card, ABRecord &record, const QString &property, const char *name, LabelKind kind)
{
    const ABMultiValue values = multiValueOf(record, property);
    for (qsizetype index = 0; index < values.count(); ++index)
        card.appendText(QLatin1String(name), values.valueAtIndex(index).toString(),
                        entryParameters(values.identifierAtIndex(index), typesForLabel(values.labelAtIndex(index), kind)));
}

void writeAddresses(VCard &card, ABRecord &record)
{
    const ABMultiValue values = multiValueOf(record, kABAddressProperty);
    for (qsizetype index = 0; index < values.count(); ++index) {
        const QVariantMap address = values.valueAtIndex(index).toMap();
        const QStringList parts = {address.value(kPostOfficeBoxKey).toString(), address.value(kExtendedAddressKey).toString(),
                                   address.value(kABAddressStreetKey).toString(), address.value(kABAddressCityKey).toString(),
                                   address.value(kABAddressStateKey).toString(), address.value(kABAddressZIPKey).toString(),
                                   address.value(kABAddressCountryKey).toString()};
        card.appendRaw(QStringLiteral("ADR"), escapedJoin(parts, QLatin1Char(';')),
                       entryParameters(values.identifierAtIndex(index),
                                       typesForLabel(values.labelAtIndex(index), LabelKind::Plain)));
    }
}

void writeInstantMessages(VCard &card, ABRecord &record)
{
    const ABMultiValue values = multiValueOf(record, kABInstantMessageProperty);
    for (qsizetype index = 0; index < values.count(); ++index) {
        const QVariantMap entry = values.valueAtIndex(index).toMap();
        const QString service = entry.value(kABInstantMessageServiceKey).toString();
        QList<VCardParameter> parameters = entryParameters(values.identifierAtIndex(index),
                                                           typesForLabel(values.labelAtIndex(index), LabelKind::Plain));
        if (!service.isEmpty())
            parameters.prepend(VCardParameter{QStringLiteral("X-SERVICE-TYPE"), {service}});
        card.appendText(QStringLiteral("IMPP"),
                        schemeOfService(service) + QLatin1Char(':') + entry.value(kABInstantMessageUsernameKey).toString(),
                        parameters);
    }
}

void writeOtherDates(VCard &card, ABRecord &record)
{
    const ABMultiValue values = multiValueOf(record, kABOtherDatesProperty);
    for (qsizetype index = 0; index < values.count(); ++index) {
        const QString date = values.valueAtIndex(index).toDateTime().toLocalTime().date().toString(Qt::ISODate);
        const QString label = values.labelAtIndex(index);
        if (label == kABAnniversaryLabel)
            card.appendRaw(QStringLiteral("X-ANNIVERSARY"), date, entryParameters(values.identifierAtIndex(index), {}));
        else
            card.appendRaw(QStringLiteral("X-HM-DATE"), date,
                           entryParameters(values.identifierAtIndex(index), typesForLabel(label, LabelKind::Plain)));
    }
}

void writeCategoriesAndPhoto(VCard &card, ABRecord &record, const QStringList &groupNames,
                             const QStringList &allGroupNames)
{
    QStringList categories = groupNames;
    for (const QString &name : record.foreignCategories()) {
        if (!allGroupNames.contains(name) && !categories.contains(name))
            categories.append(name);
    }
    if (!record.valueForProperty(kABNoteProperty).toString().isEmpty())
        card.appendText(QStringLiteral("NOTE"), record.valueForProperty(kABNoteProperty).toString());
    if (!categories.isEmpty())
        card.appendRaw(QStringLiteral("CATEGORIES"), escapedJoin(categories, QLatin1Char(',')));
    const QByteArray photo = record.valueForProperty(ABPerson::kImageDataProperty).toByteArray();
    if (!photo.isEmpty()) {
        const QString type = photo.startsWith("\x89PNG") ? QStringLiteral("PNG") : QStringLiteral("JPEG");
        card.appendRaw(QStringLiteral("PHOTO"), QString::fromLatin1(photo.toBase64()),
                       {VCardParameter{QStringLiteral("ENCODING"), {QStringLiteral("b")}},
                        VCardParameter{kTypeParameter, {type}}});
    }
}

void writeGroup(VCard &card, ABGroup &group)
{
    const QString name = group.valueForProperty(kABGroupNameProperty).toString();
    card.appendRaw(QStringLiteral("KIND"), QStringLiteral("group"));
    card.appendRaw(QStringLiteral("X-ADDRESSBOOKSERVER-KIND"), QStringLiteral("group"));
    card.appendRaw(QStringLiteral("N"), VCard::escapeText(name) + QStringLiteral(";;;;"));
    card.appendText(QStringLiteral("FN"), name);
    for (const QString &member : group.memberIds())
        card.appendText(QStringLiteral("MEMBER"), kUrnPrefix + member);
}

} // namespace

VCardSummary ABVCardMapping::summarize(const VCard &card, const QString &fallbackUniqueId, const QDateTime &fileTime)
{
    const std::shared_ptr<ABRecord> record = blankRecord(isGroupCard(card), uniqueIdOfCard(card, fallbackUniqueId));
    readCard(card, *record);
    VCardSummary summary = summaryOfRecord(*record);
    const VCardProperty *revision = card.property(QStringLiteral("REV"));
    summary.modificationDate = revision ? dateFromRevision(revision->value) : QDateTime();
    if (!summary.modificationDate.isValid())
        summary.modificationDate = fileTime;
    return summary;
}

VCardSummary ABVCardMapping::summaryOfRecord(ABRecord &record)
{
    VCardSummary summary;
    summary.uniqueId = record.uniqueId();
    summary.isGroup = record.isGroup();
    summary.modificationDate = record.valueForProperty(kABModificationDateProperty).toDateTime();
    summary.firstName = record.valueForProperty(kABFirstNameProperty).toString();
    summary.lastName = record.valueForProperty(kABLastNameProperty).toString();
    summary.organization = record.valueForProperty(kABOrganizationProperty).toString();
    summary.groupName = record.valueForProperty(kABGroupNameProperty).toString();
    summary.emails = record.searchTexts(kABEmailProperty, QString());
    return summary;
}

std::shared_ptr<ABRecord> ABVCardMapping::blankRecord(bool isGroup, const QString &uniqueId)
{
    if (isGroup)
        return ABGroup::groupWithUniqueId(uniqueId);
    return ABPerson::personWithUniqueId(uniqueId);
}

void ABVCardMapping::readCard(const VCard &card, ABRecord &record)
{
    readCardLines(card, record, nullptr);
}

QStringList ABVCardMapping::readCardKeys(const VCard &card, ABRecord &record)
{
    QStringList keys;
    keys.reserve(card.properties().size());
    readCardLines(card, record, &keys);
    return keys;
}

void ABVCardMapping::readCardLines(const VCard &card, ABRecord &record, QStringList *keys)
{
    CardReader reader{record};
    for (const VCardProperty &line : card.properties()) {
        if (line.name == QLatin1String("X-ABLABEL") && !line.group.isEmpty())
            reader.foreignLabels.insert(line.group, VCard::unescapeText(line.value));
    }
    QList<VCardProperty> foreign;
    QSet<QString> alternatives;
    for (const VCardProperty &line : card.properties()) {
        reader.entryIdentifier.clear();
        if (isAnotherAlternative(line, alternatives)) {
            // Another form of a value read already (a name in another language): the card's own.
            foreign.append(line);
            if (keys)
                keys->append(kAlternativeKeyMark + line.name);
            continue;
        }
        if (!readIdentityLine(reader, line) && !readPlainLine(reader, line) && !readMultiValueLine(reader, line))
            foreign.append(line);
        if (keys)
            keys->append(reader.entryIdentifier.isEmpty() ? keyOfLineName(line.name)
                                                          : kEntryKeyMark + reader.entryIdentifier);
    }
    finishRecord(reader, foreign);
}

VCard ABVCardMapping::cardForRecord(ABRecord &record, const QStringList &groupNames, const QStringList &allGroupNames)
{
    VCard card;
    card.appendRaw(QStringLiteral("PRODID"), QStringLiteral("-//Harrowmere//Address Book//EN"));
    card.appendText(QStringLiteral("UID"), record.uniqueId());
    card.properties() += mappedCard(record, groupNames, allGroupNames).properties();
    for (const VCardProperty &line : record.foreignLines())
        card.properties().append(line);
    const QDateTime modified = record.valueForProperty(kABModificationDateProperty).toDateTime();
    if (modified.isValid())
        card.appendRaw(QStringLiteral("REV"), revisionText(modified));
    return card;
}

VCard ABVCardMapping::mappedCard(ABRecord &record, const QStringList &groupNames, const QStringList &allGroupNames)
{
    VCard card;
    if (auto *group = dynamic_cast<ABGroup *>(&record)) {
        writeGroup(card, *group);
    } else {
        writeNameLines(card, record);
        writeTextEntries(card, record, kABPhoneProperty, "TEL", LabelKind::Phone);
        writeTextEntries(card, record, kABEmailProperty, "EMAIL", LabelKind::Plain);
        writeTextEntries(card, record, kABURLsProperty, "URL", LabelKind::Url);
        writeInstantMessages(card, record);
        writeAddresses(card, record);
        writeOtherDates(card, record);
        writeCategoriesAndPhoto(card, record, groupNames, allGroupNames);
    }
    return card;
}

bool ABVCardMapping::isNeutralType(const QString &type)
{
    return isNeutralUpperType(type.toUpper());
}

bool ABVCardMapping::isKnownLabelType(const QString &type)
{
    const QString upper = type.toUpper();
    for (const LabelKind kind : {LabelKind::Phone, LabelKind::Url, LabelKind::Plain}) {
        for (const LabelType &row : tableOf(kind)) {
            if (row.types.contains(upper))
                return true;
        }
    }
    return upper == QLatin1String("FAX");
}

// Written for every card saved: the usual four-digit years are put together directly, which reads
// the same as the formatted text at a fraction of its cost; other dates go through the formatter.
QString ABVCardMapping::revisionText(const QDateTime &date)
{
    const QDateTime utc = date.toUTC();
    const QDate day = utc.date();
    if (!utc.isValid() || day.year() < 1 || day.year() > 9999)
        return utc.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
    const QTime time = utc.time();
    char text[32];
    const int length = std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", day.year(), day.month(),
                                     day.day(), time.hour(), time.minute(), time.second());
    return QString::fromLatin1(text, length);
}

QDateTime ABVCardMapping::dateFromRevision(const QString &text)
{
    const QString trimmed = text.trimmed();
    QDateTime date = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!date.isValid()) {
        for (const char *pattern : {"yyyyMMdd'T'HHmmss'Z'", "yyyyMMdd'T'HHmmss", "yyyy-MM-dd", "yyyyMMdd"}) {
            date = QDateTime::fromString(trimmed, QLatin1String(pattern));
            if (date.isValid()) {
                if (trimmed.endsWith(QLatin1Char('Z')) || trimmed.size() <= 10)
                    date.setTimeSpec(Qt::UTC);
                break;
            }
        }
    }
    return date.isValid() ? date.toUTC() : QDateTime();
}

} // namespace platform
