// A record's changes written into the card it was read from, line by line: the lines of the values
// that did not change stay as the card held them, byte for byte.
#include "platform/addressbook/ABVCardMapping.h"

#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABGroup.h"
#include "platform/addressbook/ABPerson.h"

#include <QHash>
#include <QSet>

namespace platform {

namespace {

const QChar kEntryKeyMark = QLatin1Char('#');
const QString kIdParameter = QStringLiteral("X-HM-ID");
const QString kLabelName = QStringLiteral("X-ABLABEL");

using LinesByKey = QHash<QString, QList<VCardProperty>>;

// The key of a line the mapping made: "#" and its entry's identifier, else its name.
QString keyOfMadeLine(const VCardProperty &line)
{
    const QString identifier = line.parameterValue(kIdParameter);
    return identifier.isEmpty() ? line.name : kEntryKeyMark + identifier;
}

// The made lines by key; order gets the keys in the order of their first lines.
LinesByKey linesByKey(const VCard &card, QStringList &order)
{
    LinesByKey byKey;
    for (const VCardProperty &line : card.properties()) {
        const QString key = keyOfMadeLine(line);
        if (!byKey.contains(key))
            order.append(key);
        byKey[key].append(line);
    }
    return byKey;
}

QString parametersText(const VCardProperty &line)
{
    QString text;
    for (const VCardParameter &parameter : line.parameters)
        text += QLatin1Char(';') + parameter.name + QLatin1Char('=') + parameter.values.join(QLatin1Char(','));
    return text;
}

// What a made line says: CATEGORIES as the set of its names, which other programs order as they like.
QString comparable(const VCardProperty &line)
{
    if (line.name == QLatin1String("CATEGORIES")) {
        QStringList names = VCard::splitStructured(line.value, QLatin1Char(','));
        names.sort();
        return line.name + QLatin1Char(':') + names.join(QLatin1Char(','));
    }
    return line.name + parametersText(line) + QLatin1Char(':') + line.value;
}

bool isSame(const QList<VCardProperty> &before, const QList<VCardProperty> &after)
{
    if (before.size() != after.size())
        return false;
    for (qsizetype index = 0; index < before.size(); ++index) {
        if (comparable(before.at(index)) != comparable(after.at(index)))
            return false;
    }
    return true;
}

// Whether only the value of a single line changed: its line then keeps its group and parameters.
bool isValueChangeOnly(const QList<VCardProperty> &before, const QList<VCardProperty> &after)
{
    return before.size() == 1 && after.size() == 1 && before.first().name != QLatin1String("PHOTO") &&
           parametersText(before.first()) == parametersText(after.first());
}

// Parameters that described the old value's encoding, which a value written here does not have.
void dropEncoding(VCardProperty &line)
{
    for (VCardParameter &parameter : line.parameters) {
        if (parameter.name == QLatin1String("TYPE") || parameter.name == QLatin1String("ENCODING"))
            parameter.values.removeIf([](const QString &value) {
                return value.compare(QLatin1String("QUOTED-PRINTABLE"), Qt::CaseInsensitive) == 0;
            });
    }
    line.parameters.removeIf([](const VCardParameter &parameter) {
        return parameter.name == QLatin1String("CHARSET") ||
               ((parameter.name == QLatin1String("TYPE") || parameter.name == QLatin1String("ENCODING")) &&
                parameter.values.isEmpty());
    });
}

bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar character) { return character.unicode() < 0x80; });
}

// A line written into a vCard 2.1 card: commas are not escaped there, and text beyond ASCII names its
// charset.
void adaptToVersion(VCardProperty &line, const QString &version)
{
    if (version != QLatin1String("2.1"))
        return;
    line.value.replace(QLatin1String("\\,"), QLatin1String(","));
    if (!isAscii(line.value) && line.parameterValue(QStringLiteral("CHARSET")).isEmpty())
        line.parameters.append(VCardParameter{QStringLiteral("CHARSET"), {QStringLiteral("UTF-8")}});
}

// The card being changed, with the key of each of its lines.
struct CardPatch
{
    VCard card;
    QStringList keys;

    QList<qsizetype> indicesOf(const QString &key) const
    {
        QList<qsizetype> indices;
        for (qsizetype index = 0; index < keys.size(); ++index) {
            if (keys.at(index) == key)
                indices.append(index);
        }
        return indices;
    }

    // After the last line of the name, else at the end.
    qsizetype insertionPoint(const QString &name) const
    {
        const QList<VCardProperty> &lines = card.properties();
        for (qsizetype index = lines.size() - 1; index >= 0; --index) {
            if (lines.at(index).name == name)
                return index + 1;
        }
        return lines.size();
    }

    void patchValue(VCardProperty &line, const VCardProperty &made) const
    {
        const bool isTelUri = line.value.startsWith(QLatin1String("tel:"), Qt::CaseInsensitive);
        line.value = made.value;
        if (isTelUri && !made.value.startsWith(QLatin1String("tel:")))
            line.value.prepend(QLatin1String("tel:"));
        dropEncoding(line);
        const QString identifier = made.parameterValue(kIdParameter);
        if (!identifier.isEmpty() && line.parameterValue(kIdParameter).isEmpty())
            line.parameters.append(VCardParameter{kIdParameter, {identifier}});
        adaptToVersion(line, card.version());
        line.raw.clear();
    }

    void replace(const QString &key, const QList<VCardProperty> &before, const QList<VCardProperty> &after)
    {
        QList<VCardProperty> &lines = card.properties();
        const QList<qsizetype> at = indicesOf(key);
        // A line of another name (X-JABBER for IMPP, say) holds its value in another form: rewritten whole.
        if (at.size() == 1 && isValueChangeOnly(before, after) && lines.at(at.first()).name == after.first().name) {
            patchValue(lines[at.first()], after.first());
            return;
        }
        const qsizetype position = at.isEmpty() ? insertionPoint(after.value(0).name) : at.first();
        QSet<QString> groups;
        for (qsizetype index = at.size() - 1; index >= 0; --index) {
            groups.insert(lines.at(at.at(index)).group);
            lines.removeAt(at.at(index));
            keys.removeAt(at.at(index));
        }
        for (qsizetype index = 0; index < after.size(); ++index) {
            VCardProperty made = after.at(index);
            adaptToVersion(made, card.version());
            lines.insert(position + index, made);
            keys.insert(position + index, key);
        }
        dropOrphanLabels(groups);
    }

    // The X-ABLabel lines of groups no other line belongs to any more.
    void dropOrphanLabels(const QSet<QString> &groups)
    {
        QList<VCardProperty> &lines = card.properties();
        for (const QString &group : groups) {
            const auto isInGroup = [&group](const VCardProperty &line) {
                return line.group == group && line.name != kLabelName;
            };
            if (group.isEmpty() || std::any_of(lines.cbegin(), lines.cend(), isInGroup))
                continue;
            for (qsizetype index = lines.size() - 1; index >= 0; --index) {
                if (lines.at(index).group == group && lines.at(index).name == kLabelName) {
                    lines.removeAt(index);
                    keys.removeAt(index);
                }
            }
        }
    }

    void setRevision(const QDateTime &modified)
    {
        if (!modified.isValid())
            return;
        const QString text = ABVCardMapping::revisionText(modified);
        for (VCardProperty &line : card.properties()) {
            if (line.name == QLatin1String("REV")) {
                line.value = text;
                line.raw.clear();
                return;
            }
        }
        card.appendRaw(QStringLiteral("REV"), text);
        keys.append(QStringLiteral("REV"));
    }
};

std::shared_ptr<ABRecord> blankRecordLike(const ABRecord &record)
{
    if (record.isGroup())
        return ABGroup::groupWithUniqueId(record.uniqueId());
    return ABPerson::personWithUniqueId(record.uniqueId());
}

} // namespace

VCard ABVCardMapping::patchedCard(const VCard &source, ABRecord &record, const QStringList &groupNames,
                                  const QStringList &allGroupNames)
{
    // The record as the card says it is, made by the same mapping as the record now: the lines that
    // differ between the two are the changes.
    const std::shared_ptr<ABRecord> asRead = blankRecordLike(record);
    CardPatch patch{source, readCardKeys(source, *asRead)};
    QStringList order;
    const LinesByKey before = linesByKey(mappedCard(*asRead, {}, {}), order);
    const LinesByKey after = linesByKey(mappedCard(record, groupNames, allGroupNames), order);
    order.removeDuplicates();
    for (const QString &key : std::as_const(order)) {
        if (!isSame(before.value(key), after.value(key)))
            patch.replace(key, before.value(key), after.value(key));
    }
    patch.setRevision(record.valueForProperty(kABModificationDateProperty).toDateTime());
    return patch.card;
}

} // namespace platform
