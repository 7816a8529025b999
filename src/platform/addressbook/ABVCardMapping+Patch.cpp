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

const QString kLabelName = QStringLiteral("X-ABLABEL");

using LinesByKey = QHash<QString, QList<VCardProperty>>;

// The key of a line the mapping made: "#" and its entry's identifier, else its name.
QString keyOfMadeLine(const VCardProperty &line)
{
    const QString identifier = line.parameterValue(ABVCardMapping::kEntryIdParameter);
    return identifier.isEmpty() ? line.name : ABVCardMapping::kEntryKeyMark + identifier;
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

// The parameters of a made line but its TYPE, which holds its label.
QString parametersBesideTypes(const VCardProperty &line)
{
    VCardProperty copy = line;
    copy.parameters.removeIf([](const VCardParameter &parameter) { return parameter.name == QLatin1String("TYPE"); });
    return parametersText(copy);
}

// Whether a single line stays a single line of its name whose value or label changed: the card's line
// then keeps its group and every parameter but its label's types.
bool isLineChange(const QList<VCardProperty> &before, const QList<VCardProperty> &after, const VCardProperty &line)
{
    return before.size() == 1 && after.size() == 1 && before.first().name != QLatin1String("PHOTO") &&
           line.name == after.first().name &&
           parametersBesideTypes(before.first()) == parametersBesideTypes(after.first());
}

// The line's TYPE values with the label's types replaced by the new ones (in the case the line wrote
// its own), the others (PREF, VOICE...) kept where they stand.
void replaceLabelTypes(VCardProperty &line, QStringList types)
{
    const QStringList old = line.parameterValues(QStringLiteral("TYPE"));
    const bool isLower = std::any_of(old.cbegin(), old.cend(), [](const QString &type) {
        return !ABVCardMapping::isNeutralType(type) && type == type.toLower();
    });
    if (isLower)
        std::transform(types.begin(), types.end(), types.begin(), [](const QString &type) { return type.toLower(); });
    bool isPlaced = false;
    for (VCardParameter &parameter : line.parameters) {
        if (parameter.name != QLatin1String("TYPE"))
            continue;
        for (QString &value : parameter.values) {
            QStringList kept = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
            kept.removeIf([](const QString &type) { return !ABVCardMapping::isNeutralType(type); });
            if (!std::exchange(isPlaced, true))
                kept += types;
            value = kept.join(QLatin1Char(','));
        }
        parameter.values.removeIf([](const QString &value) { return value.isEmpty(); });
    }
    line.parameters.removeIf([](const VCardParameter &parameter) {
        return parameter.name == QLatin1String("TYPE") && parameter.values.isEmpty();
    });
    if (!isPlaced && !types.isEmpty())
        line.parameters.prepend(VCardParameter{QStringLiteral("TYPE"), types});
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
        const QString identifier = made.parameterValue(ABVCardMapping::kEntryIdParameter);
        if (!identifier.isEmpty() && line.parameterValue(ABVCardMapping::kEntryIdParameter).isEmpty())
            line.parameters.append(VCardParameter{ABVCardMapping::kEntryIdParameter, {identifier}});
        line.raw.clear();
    }

    void patchLine(qsizetype index, const VCardProperty &before, const VCardProperty &after)
    {
        if (before.value != after.value)
            patchValue(card.properties()[index], after);
        const QStringList types = after.parameterValues(QStringLiteral("TYPE"));
        if (before.parameterValues(QStringLiteral("TYPE")) != types)
            patchLabel(index, types);
    }

    // A changed label: a custom one goes into the line's group label (X-ABLabel) where it has one, a
    // known one into its types, the group label then dropped (readers take it before the types).
    void patchLabel(qsizetype index, const QStringList &types)
    {
        QList<VCardProperty> &lines = card.properties();
        const QString group = lines.at(index).group;
        const auto isGroupLabel = [&group](const VCardProperty &line) {
            return !group.isEmpty() && line.group == group && line.name == kLabelName;
        };
        const qsizetype label = std::find_if(lines.cbegin(), lines.cend(), isGroupLabel) - lines.cbegin();
        const bool isCustom = types.size() == 1 && !ABVCardMapping::isKnownLabelType(types.first());
        if (label < lines.size() && isCustom) {
            lines[label].value = VCard::escapeText(types.first());
            lines[label].raw.clear();
            return;
        }
        replaceLabelTypes(lines[index], types);
        lines[index].raw.clear();
        if (label < lines.size()) {
            lines.removeAt(label);
            keys.removeAt(label);
        }
    }

    void replace(const QString &key, const QList<VCardProperty> &before, const QList<VCardProperty> &after)
    {
        QList<VCardProperty> &lines = card.properties();
        const QList<qsizetype> at = indicesOf(key);
        // A line of another name (X-JABBER for IMPP, say) holds its value in another form: rewritten whole.
        if (at.size() == 1 && isLineChange(before, after, lines.at(at.first()))) {
            patchLine(at.first(), before.first(), after.first());
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
            lines.insert(position + index, after.at(index));
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

} // namespace

VCard ABVCardMapping::patchedCard(const VCard &source, ABRecord &record, const QStringList &groupNames,
                                  const QStringList &allGroupNames)
{
    // The record as the card says it is, made by the same mapping as the record now: the lines that
    // differ between the two are the changes.
    const std::shared_ptr<ABRecord> asRead = blankRecord(record.isGroup(), record.uniqueId());
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
