#include "platform/eventkit/ICalendarPatch.h"

#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarText.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>

#include <cstdlib>
#include <memory>

namespace platform::icalpatch {

namespace {

// Deeper nesting than any calendar has is not patched: the file is written whole instead.
constexpr int kMaxDepth = 16;

// A line as the file holds it, folded continuation lines included, and the name it starts with.
struct TextLine
{
    qsizetype begin = 0;
    qsizetype end = 0;
    QByteArray name;
};

// A component of the text: its BEGIN and END lines, and its lines and components in the order of
// the text, a line as its index and a component as -1 minus its index among the children.
struct TextComponent
{
    QByteArray kind;
    qsizetype beginLine = -1;
    qsizetype endLine = -1;
    QList<qsizetype> parts;
    QList<TextComponent> children;
};

QByteArray nameOf(const QByteArray &bytes, qsizetype begin, qsizetype end)
{
    qsizetype at = begin;
    while (at < end && bytes[at] != ';' && bytes[at] != ':' && bytes[at] != '\r' && bytes[at] != '\n')
        ++at;
    return bytes.mid(begin, at - begin).trimmed().toUpper();
}

QList<TextLine> logicalLines(const QByteArray &bytes)
{
    QList<TextLine> lines;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', at);
        const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
        if (!lines.isEmpty() && (bytes[at] == ' ' || bytes[at] == '\t'))
            lines.last().end = end;
        else
            lines.append(TextLine{at, end, nameOf(bytes, at, end)});
        at = end;
    }
    return lines;
}

// What follows the colon of a BEGIN or END line.
QByteArray componentKindOf(const QByteArray &bytes, const TextLine &line)
{
    const qsizetype colon = bytes.indexOf(':', line.begin);
    if (colon < 0 || colon >= line.end)
        return {};
    return bytes.mid(colon + 1, line.end - colon - 1).trimmed().toUpper();
}

// The component whose BEGIN line is at `at`; `at` ends after its END line.
std::optional<TextComponent> readComponent(const QByteArray &bytes, const QList<TextLine> &lines, qsizetype &at,
                                           int depth)
{
    TextComponent component;
    component.kind = componentKindOf(bytes, lines.at(at));
    component.beginLine = at++;
    while (at < lines.size()) {
        const QByteArray &name = lines.at(at).name;
        if (name == "END") {
            // An END line closes the open component whatever kind it names ("END:VTOOD"), as libical
            // reads it; the line itself is kept as the file has it.
            component.endLine = at++;
            return component;
        }
        if (name != "BEGIN") {
            component.parts.append(at++);
            continue;
        }
        if (depth >= kMaxDepth)
            return std::nullopt;
        std::optional<TextComponent> child = readComponent(bytes, lines, at, depth + 1);
        if (!child)
            return std::nullopt;
        component.parts.append(-1 - component.children.size());
        component.children.append(std::move(*child));
    }
    return std::nullopt;
}

QList<icalcomponent *> childrenOf(icalcomponent *component)
{
    QList<icalcomponent *> children;
    for (icalcomponent *child = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); child;
         child = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT))
        children.append(child);
    return children;
}

QByteArray takeText(char *text)
{
    QByteArray bytes(text ? text : "");
    std::free(text);
    return bytes;
}

QByteArray nameOf(const icalproperty *property)
{
    return takeText(icalproperty_get_property_name_r(property)).toUpper();
}

using PropertiesByName = QHash<QByteArray, QList<icalproperty *>>;

// libical's notes of lines it could not read are its own: they are never compared nor written.
PropertiesByName propertiesByName(icalcomponent *component)
{
    PropertiesByName properties;
    for (icalproperty *property = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY); property;
         property = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
        if (icalproperty_isa(property) != ICAL_XLICERROR_PROPERTY)
            properties[nameOf(property)].append(property);
    }
    return properties;
}

bool isTimeProperty(icalproperty_kind kind)
{
    return kind == ICAL_DTSTART_PROPERTY || kind == ICAL_DTEND_PROPERTY || kind == ICAL_DUE_PROPERTY ||
           kind == ICAL_RECURRENCEID_PROPERTY;
}

// A time written anew that names the same moment, or the same day, as the one it replaces.
bool isSameTime(icalproperty *before, icalcomponent *beforeItem, icalproperty *after, icalcomponent *afterItem)
{
    if (icalproperty_isa(before) != icalproperty_isa(after) || !isTimeProperty(icalproperty_isa(before)))
        return false;
    const icaltimetype old = icalproperty_get_datetime_with_component(before, beforeItem);
    const icaltimetype now = icalproperty_get_datetime_with_component(after, afterItem);
    if (icaltime_is_null_time(old) || icaltime_is_null_time(now) || old.is_date != now.is_date)
        return false;
    if (old.is_date)
        return old.year == now.year && old.month == now.month && old.day == now.day;
    return icalcodec::dateFromIcalTime(old) == icalcodec::dateFromIcalTime(now);
}

bool isSameProperty(icalproperty *before, icalcomponent *beforeItem, icalproperty *after, icalcomponent *afterItem)
{
    if (isSameTime(before, beforeItem, after, afterItem))
        return true;
    return icaltext::propertyText(before) == icaltext::propertyText(after);
}

// The names of the properties the change altered, added or removed.
QSet<QByteArray> changedNames(icalcomponent *before, icalcomponent *after, const PropertiesByName &afterProperties)
{
    const PropertiesByName beforeProperties = propertiesByName(before);
    QSet<QByteArray> changed;
    QSet<QByteArray> names(afterProperties.keyBegin(), afterProperties.keyEnd());
    names.unite(QSet<QByteArray>(beforeProperties.keyBegin(), beforeProperties.keyEnd()));
    for (const QByteArray &name : std::as_const(names)) {
        const QList<icalproperty *> old = beforeProperties.value(name);
        const QList<icalproperty *> now = afterProperties.value(name);
        bool isSame = old.size() == now.size();
        for (qsizetype at = 0; isSame && at < old.size(); ++at)
            isSame = isSameProperty(old.at(at), before, now.at(at), after);
        if (!isSame)
            changed.insert(name);
    }
    return changed;
}

// What tells a component from its siblings: its kind, UID and RECURRENCE-ID, or a zone's TZID, and
// its place among the siblings that share those.
QByteArray baseKeyOf(icalcomponent *component)
{
    QByteArray key = icalcomponent_kind_to_string(icalcomponent_isa(component));
    if (const char *uid = icalcomponent_get_uid(component))
        key += QByteArray("|") + uid;
    if (icalproperty *recurrenceId = icalcomponent_get_first_property(component, ICAL_RECURRENCEID_PROPERTY))
        key += "|" + takeText(icalproperty_get_value_as_string_r(recurrenceId));
    if (icalproperty *zone = icalcomponent_get_first_property(component, ICAL_TZID_PROPERTY))
        key += QByteArray("|") + icalproperty_get_tzid(zone);
    return key;
}

QList<QByteArray> keysOf(const QList<icalcomponent *> &components)
{
    QHash<QByteArray, int> seen;
    QList<QByteArray> keys;
    for (icalcomponent *component : components) {
        const QByteArray base = baseKeyOf(component);
        keys.append(base + "#" + QByteArray::number(seen[base]++));
    }
    return keys;
}

// Where each key lies in the list (keys are unique): a calendar of many components matches its
// components in time linear in them.
QHash<QByteArray, qsizetype> placesOf(const QList<QByteArray> &keys)
{
    QHash<QByteArray, qsizetype> places;
    places.reserve(keys.size());
    for (qsizetype at = 0; at < keys.size(); ++at)
        places.insert(keys.at(at), at);
    return places;
}

// The value of a line of the text, unfolded: what follows its first colon outside quotes.
QByteArray valueOf(const QByteArray &bytes, const TextLine &line)
{
    QByteArray text = bytes.mid(line.begin, line.end - line.begin);
    text.replace("\r\n ", "").replace("\r\n\t", "").replace("\n ", "").replace("\n\t", "");
    bool isQuoted = false;
    for (qsizetype at = 0; at < text.size(); ++at) {
        isQuoted = text[at] == '"' ? !isQuoted : isQuoted;
        if (text[at] == ':' && !isQuoted)
            return text.mid(at + 1).trimmed();
    }
    return {};
}

// The key of a component of the text, made as baseKeyOf makes that of its parse.
QByteArray textKeyOf(const QByteArray &bytes, const QList<TextLine> &lines, const TextComponent &component)
{
    QByteArray key = icalcomponent_kind_to_string(icalcomponent_string_to_kind(component.kind.constData()));
    for (const char *name : {"UID", "RECURRENCE-ID", "TZID"}) {
        for (const qsizetype part : component.parts) {
            if (part >= 0 && lines.at(part).name == name) {
                key += "|" + valueOf(bytes, lines.at(part));
                break;
            }
        }
    }
    return key;
}

// For each component of the text, in its order, the index of its match among the children of the
// parse: by key (libical holds a calendar's zones before its other components, whatever the file's
// order), else by place and kind (a key the text says otherwise than the parse, as the id a file
// without a UID is given). Nothing when neither matches.
std::optional<QList<qsizetype>> partnersInText(const QByteArray &bytes, const QList<TextLine> &lines,
                                               const TextComponent &text, const QList<icalcomponent *> &children)
{
    if (children.size() != text.children.size())
        return std::nullopt;
    const QHash<QByteArray, qsizetype> places = placesOf(keysOf(children));
    QList<qsizetype> byKey;
    QList<qsizetype> byPlace;
    QHash<QByteArray, int> seen;
    for (const TextComponent &child : text.children) {
        const QByteArray base = textKeyOf(bytes, lines, child);
        byKey.append(places.value(base + "#" + QByteArray::number(seen[base]++), -1));
        const QByteArray kind = icalcomponent_kind_to_string(icalcomponent_isa(children.at(byPlace.size())));
        byPlace.append(base.startsWith(kind + "|") || base == kind ? byPlace.size() : -1);
    }
    if (!byKey.contains(-1))
        return byKey;
    if (!byPlace.contains(-1))
        return byPlace;
    return std::nullopt;
}

// Whether the text holds the components of the parse, each matched by its key, at every depth.
bool matchesParse(const QByteArray &bytes, const QList<TextLine> &lines, const TextComponent &text,
                  icalcomponent *parse, int depth)
{
    const QList<icalcomponent *> children = childrenOf(parse);
    const std::optional<QList<qsizetype>> partners = partnersInText(bytes, lines, text, children);
    if (depth >= kMaxDepth || !partners)
        return false;
    for (qsizetype at = 0; at < partners->size(); ++at) {
        if (!matchesParse(bytes, lines, text.children.at(at), children.at(partners->at(at)), depth + 1))
            return false;
    }
    return true;
}

// What a component's patch reads of its parse before and after the change, and the names it wrote.
struct ComponentChange
{
    PropertiesByName afterProperties;
    QSet<QByteArray> changed;
    QSet<QByteArray> inText;
    QSet<QByteArray> written;
    QList<icalcomponent *> beforeChildren;
    QList<icalcomponent *> afterChildren;
    QList<QByteArray> beforeKeys;
    QList<QByteArray> afterKeys;
    QHash<QByteArray, qsizetype> afterPlaces; // of the after keys
};

class Patcher final
{
public:
    Patcher(const QByteArray &bytes, const QList<TextLine> &lines)
        : m_bytes(bytes), m_lines(lines),
          m_lineEnd(bytes.indexOf("\r\n") >= 0 || bytes.indexOf('\n') < 0 ? "\r\n" : "\n")
    {
    }

    void copyLines(qsizetype from, qsizetype to)
    {
        if (from < to)
            m_out += m_bytes.mid(m_lines.at(from).begin, m_lines.at(to - 1).end - m_lines.at(from).begin);
    }

    // libical's own text, its line ends made those of the file; the zones it names are noted.
    void writeGenerated(const QByteArray &text)
    {
        noteZonesNamed(text);
        m_out += m_lineEnd == "\r\n" ? text : QByteArray(text).replace("\r\n", "\n");
    }

    void patchComponent(const TextComponent &text, icalcomponent *before, icalcomponent *after);
    QByteArray result() const { return m_out; }

private:
    void writeProperties(const QList<icalproperty *> &properties)
    {
        for (icalproperty *property : properties)
            writeGenerated(icaltext::propertyText(property));
    }
    void writeAddedProperties(icalcomponent *after, const QSet<QByteArray> &changed, const QSet<QByteArray> &inText);
    ComponentChange changeOf(const TextComponent &text, icalcomponent *before, icalcomponent *after) const;
    void patchLine(qsizetype line, ComponentChange &change);

    void noteZonesNamed(const QByteArray &text);
    void writeAddedChildren(const ComponentChange &change);

    const QByteArray &m_bytes;
    const QList<TextLine> &m_lines;
    const QByteArray m_lineEnd;
    QByteArray m_out;
    // The TZIDs the lines written anew name: a zone the change added is written only for them.
    QSet<QByteArray> m_namedZones;
};

void Patcher::noteZonesNamed(const QByteArray &text)
{
    static const QByteArray parameter = ";TZID=";
    for (qsizetype at = text.indexOf(parameter); at >= 0; at = text.indexOf(parameter, at + 1)) {
        const qsizetype start = at + parameter.size();
        qsizetype end = start;
        const bool isQuoted = end < text.size() && text[end] == '"';
        end += isQuoted ? 1 : 0;
        while (end < text.size() && (isQuoted ? text[end] != '"' : text[end] != ':' && text[end] != ';'))
            ++end;
        m_namedZones.insert(text.mid(start + (isQuoted ? 1 : 0), end - start - (isQuoted ? 1 : 0)));
    }
}

// The components the change added: zones after the rest, and only those a line written anew names.
void Patcher::writeAddedChildren(const ComponentChange &change)
{
    const QSet<QByteArray> before(change.beforeKeys.cbegin(), change.beforeKeys.cend());
    for (const bool isZone : {false, true}) {
        for (qsizetype at = 0; at < change.afterChildren.size(); ++at) {
            icalcomponent *child = change.afterChildren.at(at);
            if (before.contains(change.afterKeys.at(at)) ||
                (icalcomponent_isa(child) == ICAL_VTIMEZONE_COMPONENT) != isZone)
                continue;
            icalproperty *zone = icalcomponent_get_first_property(child, ICAL_TZID_PROPERTY);
            if (isZone && (!zone || !m_namedZones.contains(icalproperty_get_tzid(zone))))
                continue;
            writeGenerated(icaltext::componentText(child));
        }
    }
}

// The properties the change added under names the text does not hold, in the component's order.
void Patcher::writeAddedProperties(icalcomponent *after, const QSet<QByteArray> &changed,
                                   const QSet<QByteArray> &inText)
{
    for (icalproperty *property = icalcomponent_get_first_property(after, ICAL_ANY_PROPERTY); property;
         property = icalcomponent_get_next_property(after, ICAL_ANY_PROPERTY)) {
        const QByteArray name = nameOf(property);
        if (icalproperty_isa(property) != ICAL_XLICERROR_PROPERTY && changed.contains(name) && !inText.contains(name))
            writeGenerated(icaltext::propertyText(property));
    }
}

ComponentChange Patcher::changeOf(const TextComponent &text, icalcomponent *before, icalcomponent *after) const
{
    ComponentChange change;
    change.afterProperties = propertiesByName(after);
    change.changed = changedNames(before, after, change.afterProperties);
    for (const qsizetype part : text.parts) {
        if (part >= 0)
            change.inText.insert(m_lines.at(part).name);
    }
    const QList<icalcomponent *> beforeChildren = childrenOf(before);
    const QList<QByteArray> beforeKeys = keysOf(beforeChildren);
    // Checked by matchesParse before the patch began.
    const QList<qsizetype> partners = partnersInText(m_bytes, m_lines, text, beforeChildren).value();
    for (const qsizetype partner : partners) {
        change.beforeChildren.append(beforeChildren.at(partner));
        change.beforeKeys.append(beforeKeys.at(partner));
    }
    change.afterChildren = childrenOf(after);
    change.afterKeys = keysOf(change.afterChildren);
    change.afterPlaces = placesOf(change.afterKeys);
    return change;
}

// A property line: kept when its property did not change; else the property as changed, once for
// all the lines of its name.
void Patcher::patchLine(qsizetype line, ComponentChange &change)
{
    const QByteArray &name = m_lines.at(line).name;
    if (!change.changed.contains(name))
        copyLines(line, line + 1);
    else if (!change.written.contains(name))
        writeProperties(change.afterProperties.value(name));
    change.written.insert(name);
}

void Patcher::patchComponent(const TextComponent &text, icalcomponent *before, icalcomponent *after)
{
    ComponentChange change = changeOf(text, before, after);
    bool hasWrittenAdded = false;
    copyLines(text.beginLine, text.beginLine + 1);
    for (const qsizetype part : text.parts) {
        if (part >= 0) {
            patchLine(part, change);
            continue;
        }
        if (!hasWrittenAdded)
            writeAddedProperties(after, change.changed, change.inText);
        hasWrittenAdded = true;
        const qsizetype child = -1 - part;
        const qsizetype kept = change.afterPlaces.value(change.beforeKeys.at(child), -1);
        if (kept >= 0)
            patchComponent(text.children.at(child), change.beforeChildren.at(child), change.afterChildren.at(kept));
    }
    if (!hasWrittenAdded)
        writeAddedProperties(after, change.changed, change.inText);
    writeAddedChildren(change);
    copyLines(text.endLine, text.endLine + 1);
}

void removeChild(icalcomponent *parent, icalcomponent *child)
{
    icalcomponent_remove_component(parent, child);
    icalcomponent_free(child);
}

} // namespace

icalcomponent *rebasedCalendar(icalcomponent *before, icalcomponent *after, icalcomponent *onto)
{
    icalcomponent *rebased = icalcomponent_new_clone(onto);
    const QList<icalcomponent *> beforeChildren = childrenOf(before);
    const QList<QByteArray> beforeKeys = keysOf(beforeChildren);
    const QList<icalcomponent *> afterChildren = childrenOf(after);
    const QList<QByteArray> afterKeys = keysOf(afterChildren);
    const QList<icalcomponent *> ontoChildren = childrenOf(rebased);
    const QHash<QByteArray, qsizetype> beforePlaces = placesOf(beforeKeys);
    const QHash<QByteArray, qsizetype> afterPlaces = placesOf(afterKeys);
    const QHash<QByteArray, qsizetype> ontoPlaces = placesOf(keysOf(ontoChildren));
    for (qsizetype at = 0; at < beforeKeys.size(); ++at) {
        const qsizetype namesake = ontoPlaces.value(beforeKeys.at(at), -1);
        if (!afterPlaces.contains(beforeKeys.at(at)) && namesake >= 0)
            removeChild(rebased, ontoChildren.at(namesake));
    }
    for (qsizetype at = 0; at < afterKeys.size(); ++at) {
        const qsizetype old = beforePlaces.value(afterKeys.at(at), -1);
        if (old >= 0 &&
            icaltext::componentText(beforeChildren.at(old)) == icaltext::componentText(afterChildren.at(at)))
            continue;
        if (const qsizetype namesake = ontoPlaces.value(afterKeys.at(at), -1); namesake >= 0)
            removeChild(rebased, ontoChildren.at(namesake));
        icalcomponent_add_component(rebased, icalcomponent_new_clone(afterChildren.at(at)));
    }
    return rebased;
}

std::optional<QByteArray> patchedText(const QByteArray &original, icalcomponent *before, icalcomponent *after)
{
    if (!before || !after || original.isEmpty())
        return std::nullopt;
    const QList<TextLine> lines = logicalLines(original);
    qsizetype at = 0;
    while (at < lines.size() && lines.at(at).name != "BEGIN")
        ++at;
    const qsizetype start = at;
    if (at == lines.size())
        return std::nullopt;
    const std::optional<TextComponent> calendar = readComponent(original, lines, at, 0);
    if (!calendar)
        return std::nullopt;
    // The change was made on a copy, and libical writes some values of a copy otherwise than those of
    // the parse it copied (the escapes of an X- property's text): a copy of the parse is compared.
    const std::unique_ptr<icalcomponent, decltype(&icalcomponent_free)> copy(icalcomponent_new_clone(before),
                                                                             icalcomponent_free);
    if (!matchesParse(original, lines, *calendar, copy.get(), 0))
        return std::nullopt;
    Patcher patcher(original, lines);
    patcher.copyLines(0, start);
    patcher.patchComponent(*calendar, copy.get(), after);
    patcher.copyLines(at, lines.size());
    return patcher.result();
}

} // namespace platform::icalpatch
