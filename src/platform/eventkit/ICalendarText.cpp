#include "platform/eventkit/ICalendarText.h"

#include <libical/ical.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace platform::icaltext {

namespace {

// Lines are folded once they reach this many bytes, counting the line end.
constexpr qsizetype kFoldWidth = 75;

struct PropertyKindInfo
{
    const char *name = nullptr; // null: the kind is written by libical
    icalvalue_kind defaultValueKind = ICAL_NO_VALUE;
};

using PropertyKindTable = std::array<PropertyKindInfo, ICAL_NO_PROPERTY + 1>;

// libical finds a kind's name and value kind by searching its tables: looked up once per process.
// Extension kinds (X- and libical's own X-LIC- notes) stay with libical.
PropertyKindTable makePropertyKindTable()
{
    PropertyKindTable table;
    for (int kind = ICAL_ANY_PROPERTY + 1; kind < ICAL_NO_PROPERTY; ++kind) {
        const auto propertyKind = static_cast<icalproperty_kind>(kind);
        const char *name = icalproperty_kind_to_string(propertyKind);
        if (propertyKind == ICAL_X_PROPERTY || !name || !*name || (name[0] == 'X' && name[1] == '-'))
            continue;
        table[kind] = PropertyKindInfo{name, icalproperty_kind_to_value_kind(propertyKind)};
    }
    return table;
}

const PropertyKindInfo *propertyKindInfo(icalproperty_kind kind)
{
    static const PropertyKindTable table = makePropertyKindTable();
    if (kind <= ICAL_ANY_PROPERTY || kind >= ICAL_NO_PROPERTY || !table[kind].name)
        return nullptr;
    return &table[kind];
}

// The components written here; any other kind (extensions included) is written whole by libical.
const char *componentName(icalcomponent_kind kind)
{
    switch (kind) {
    case ICAL_VCALENDAR_COMPONENT: return "VCALENDAR";
    case ICAL_VEVENT_COMPONENT: return "VEVENT";
    case ICAL_VTODO_COMPONENT: return "VTODO";
    case ICAL_VJOURNAL_COMPONENT: return "VJOURNAL";
    case ICAL_VALARM_COMPONENT: return "VALARM";
    case ICAL_VTIMEZONE_COMPONENT: return "VTIMEZONE";
    case ICAL_XSTANDARD_COMPONENT: return "STANDARD";
    case ICAL_XDAYLIGHT_COMPONENT: return "DAYLIGHT";
    default: return nullptr;
    }
}

// Appends a text libical made and frees it; false when libical made none.
bool appendOwned(QByteArray &out, char *text)
{
    if (!text)
        return false;
    out.append(text);
    icalmemory_free_buffer(text);
    return true;
}

// Writes the number in `width` digits, leading zeros included, ending at `end`.
void writeDigits(char *end, unsigned int number, int width)
{
    for (int at = 1; at <= width; ++at, number /= 10)
        end[-at] = char('0' + number % 10);
}

// The number in decimal, padded with zeros to at least `width` digits, in one append.
void appendNumber(QByteArray &out, unsigned int number, int width)
{
    std::array<char, 12> digits{};
    int count = 0;
    for (unsigned int rest = number; rest > 0; rest /= 10)
        ++count;
    count = std::max({count, width, 1});
    writeDigits(digits.data() + count, number, count);
    out.append(digits.data(), count);
}

// Semicolons, commas and backslashes are escaped, a line feed becomes "\n", and carriage returns,
// backspaces and form feeds are dropped; every other byte, the other control characters and broken
// UTF-8 included, is kept as it is.
bool appendText(QByteArray &out, const char *text)
{
    if (!text)
        return false;
    for (const char *at = text;;) {
        const size_t plain = std::strcspn(at, ";,\\\n\r\b\f");
        out.append(at, qsizetype(plain));
        at += plain;
        switch (*at) {
        case '\0':
            return true;
        case '\n':
            out.append("\\n", 2);
            break;
        case '\r':
        case '\b':
        case '\f':
            break;
        default:
            out.append('\\').append(*at);
        }
        ++at;
    }
}

// The single-valued text kinds. Lists such as CATEGORIES are written by libical, which leaves their
// commas unescaped.
bool isPlainText(icalproperty_kind kind)
{
    switch (kind) {
    case ICAL_SUMMARY_PROPERTY:
    case ICAL_DESCRIPTION_PROPERTY:
    case ICAL_LOCATION_PROPERTY:
    case ICAL_COMMENT_PROPERTY:
    case ICAL_UID_PROPERTY:
    case ICAL_CONTACT_PROPERTY:
    case ICAL_RELATEDTO_PROPERTY:
    case ICAL_TZID_PROPERTY:
    case ICAL_TZNAME_PROPERTY:
    case ICAL_PRODID_PROPERTY:
    case ICAL_VERSION_PROPERTY:
        return true;
    default:
        return false;
    }
}

bool isWritableTime(const icaltimetype &time)
{
    return time.year >= 0 && time.year <= 9999 && time.month >= 1 && time.month <= 12 && time.day >= 1 &&
           time.day <= 31 && time.hour >= 0 && time.hour <= 23 && time.minute >= 0 && time.minute <= 59 &&
           time.second >= 0 && time.second <= 60;
}

bool appendDate(QByteArray &out, const icaltimetype &time)
{
    if (!time.is_date || !isWritableTime(time))
        return false;
    std::array<char, 8> text{};
    writeDigits(text.data() + 4, unsigned(time.year), 4);
    writeDigits(text.data() + 6, unsigned(time.month), 2);
    writeDigits(text.data() + 8, unsigned(time.day), 2);
    out.append(text.data(), qsizetype(text.size()));
    return true;
}

// "YYYYMMDDTHHMMSS", with a "Z" for UTC.
bool appendDateTime(QByteArray &out, const icaltimetype &time)
{
    if (time.is_date || !isWritableTime(time))
        return false;
    std::array<char, 16> text{};
    writeDigits(text.data() + 4, unsigned(time.year), 4);
    writeDigits(text.data() + 6, unsigned(time.month), 2);
    writeDigits(text.data() + 8, unsigned(time.day), 2);
    text[8] = 'T';
    writeDigits(text.data() + 11, unsigned(time.hour), 2);
    writeDigits(text.data() + 13, unsigned(time.minute), 2);
    writeDigits(text.data() + 15, unsigned(time.second), 2);
    text[15] = 'Z';
    out.append(text.data(), icaltime_is_utc(time) ? 16 : 15);
    return true;
}

// Weeks, days and the time parts each appear only when not zero; a zero length is "PT0S" whatever
// its sign.
bool appendDuration(QByteArray &out, const icaldurationtype &duration)
{
    const bool hasTime = duration.hours || duration.minutes || duration.seconds;
    if (!duration.weeks && !duration.days && !hasTime) {
        out.append("PT0S", 4);
        return true;
    }
    out.append(duration.is_neg ? "-P" : "P");
    const std::array<std::pair<unsigned int, char>, 5> parts{{{duration.weeks, 'W'},
                                                              {duration.days, 'D'},
                                                              {duration.hours, 'H'},
                                                              {duration.minutes, 'M'},
                                                              {duration.seconds, 'S'}}};
    for (qsizetype at = 0; at < qsizetype(parts.size()); ++at) {
        if (at == 2 && hasTime)
            out.append('T');
        if (parts[at].first) {
            appendNumber(out, parts[at].first, 0);
            out.append(parts[at].second);
        }
    }
    return true;
}

// "+HHMM", with seconds only when there are some; offsets of a day or more stay with libical.
bool appendOffset(QByteArray &out, int offsetSeconds)
{
    constexpr int kDaySeconds = 24 * 60 * 60;
    if (offsetSeconds <= -kDaySeconds || offsetSeconds >= kDaySeconds)
        return false;
    out.append(offsetSeconds < 0 ? '-' : '+');
    const auto seconds = unsigned(offsetSeconds < 0 ? -offsetSeconds : offsetSeconds);
    appendNumber(out, seconds / 3600, 2);
    appendNumber(out, seconds % 3600 / 60, 2);
    if (seconds % 60)
        appendNumber(out, seconds % 60, 2);
    return true;
}

bool appendRule(QByteArray &out, struct icalrecurrencetype rule)
{
    return appendOwned(out, icalrecurrencetype_as_string_r(&rule));
}

// The standard members of the enumerated kinds; extension values stay with libical.
bool appendEnumerated(QByteArray &out, int value, int extension, int none)
{
    const char *text = value == extension || value == none ? nullptr : icalproperty_enum_to_string(value);
    if (!text || !*text)
        return false;
    out.append(text);
    return true;
}

bool appendInteger(QByteArray &out, int number)
{
    if (number < 0)
        out.append('-');
    appendNumber(out, number < 0 ? 0u - unsigned(number) : unsigned(number), 0);
    return true;
}

bool appendRaw(QByteArray &out, const char *text)
{
    if (!text)
        return false;
    out.append(text);
    return true;
}

bool appendTrigger(QByteArray &out, const icaltriggertype &trigger)
{
    return icaltime_is_null_time(trigger.time) && appendDuration(out, trigger.duration);
}

// The value as libical writes it, for the kinds written here; false for any other.
bool appendValue(QByteArray &out, icalproperty_kind kind, const icalvalue *value)
{
    switch (icalvalue_isa(value)) {
    case ICAL_TEXT_VALUE: return isPlainText(kind) && appendText(out, icalvalue_get_text(value));
    case ICAL_DATETIME_VALUE: return appendDateTime(out, icalvalue_get_datetime(value));
    case ICAL_DATE_VALUE: return appendDate(out, icalvalue_get_date(value));
    case ICAL_DURATION_VALUE: return appendDuration(out, icalvalue_get_duration(value));
    case ICAL_TRIGGER_VALUE: return appendTrigger(out, icalvalue_get_trigger(value));
    case ICAL_INTEGER_VALUE: return appendInteger(out, icalvalue_get_integer(value));
    case ICAL_CALADDRESS_VALUE: return appendRaw(out, icalvalue_get_caladdress(value));
    case ICAL_URI_VALUE: return appendRaw(out, icalvalue_get_uri(value));
    case ICAL_UTCOFFSET_VALUE: return appendOffset(out, icalvalue_get_utcoffset(value));
    case ICAL_RECUR_VALUE: return appendRule(out, icalvalue_get_recur(value));
    case ICAL_ACTION_VALUE: return appendEnumerated(out, icalvalue_get_action(value), ICAL_ACTION_X, ICAL_ACTION_NONE);
    case ICAL_STATUS_VALUE: return appendEnumerated(out, icalvalue_get_status(value), ICAL_STATUS_X, ICAL_STATUS_NONE);
    case ICAL_TRANSP_VALUE: return appendEnumerated(out, icalvalue_get_transp(value), ICAL_TRANSP_X, ICAL_TRANSP_NONE);
    case ICAL_CLASS_VALUE: return appendEnumerated(out, icalvalue_get_class(value), ICAL_CLASS_X, ICAL_CLASS_NONE);
    default: return false;
    }
}

// The parameters but VALUE, which is written ahead of them; false when a VALUE parameter names
// another kind than the value's.
bool appendParameters(QByteArray &out, icalproperty *property, icalvalue_kind valueKind)
{
    for (icalparameter *parameter = icalproperty_get_first_parameter(property, ICAL_ANY_PARAMETER); parameter;
         parameter = icalproperty_get_next_parameter(property, ICAL_ANY_PARAMETER)) {
        if (icalparameter_isa(parameter) == ICAL_VALUE_PARAMETER) {
            if (icalparameter_value_to_value_kind(icalparameter_get_value(parameter)) != valueKind)
                return false;
            continue;
        }
        out.append(';');
        if (!appendOwned(out, icalparameter_as_ical_string_r(parameter)))
            return false;
    }
    return true;
}

// Name and parameters. The value's kind is named ("VALUE=DATE") ahead of the parameters only where
// it is not the property's own, and a VALUE parameter that agrees with the value is written there
// or not at all. Kinds other than a date where a date-time belongs stay with libical.
bool appendHead(QByteArray &out, icalproperty *property, const PropertyKindInfo &kind, icalvalue_kind valueKind)
{
    const bool isMarkedDate = valueKind == ICAL_DATE_VALUE && kind.defaultValueKind == ICAL_DATETIME_VALUE;
    if (valueKind != kind.defaultValueKind && !isMarkedDate)
        return false;
    out.append(kind.name);
    if (isMarkedDate)
        out.append(";VALUE=DATE");
    if (!appendParameters(out, property, valueKind))
        return false;
    out.append(':');
    return true;
}

// The whole line, its end included and unfolded; false (with part of it written) for lines left to
// libical.
bool appendOwnLine(QByteArray &out, icalproperty *property)
{
    const PropertyKindInfo *kind = propertyKindInfo(icalproperty_isa(property));
    const icalvalue *value = icalproperty_get_value(property);
    if (!kind || !value || !appendHead(out, property, *kind, icalvalue_isa(value)) ||
        !appendValue(out, icalproperty_isa(property), value))
        return false;
    out.append("\r\n", 2);
    return true;
}

// Where the next folded line starts. A line breaks after the last ';', ':' or space that leaves it
// short enough (never at its first byte); failing that, before the last byte that starts a
// character; failing that, at the width. The line end counts towards the width, so a break may
// fall inside it, which is what libical writes too.
qsizetype nextLineStart(const char *line, qsizetype start, qsizetype remaining)
{
    if (remaining < kFoldWidth)
        return start + remaining;
    for (qsizetype at = start + kFoldWidth - 2; at > start; --at) {
        if (line[at] == ';' || line[at] == ':' || line[at] == ' ')
            return at + 1;
    }
    for (qsizetype at = start + kFoldWidth - 1; at > start; --at) {
        const auto byte = static_cast<unsigned char>(line[at]);
        if ((byte & 0x80) == 0 || (byte & 0xC0) == 0xC0)
            return at;
    }
    return start + kFoldWidth - 1;
}

// Folds the line written from `from` to the end of `out`.
void foldTail(QByteArray &out, qsizetype from)
{
    const QByteArray line = out.mid(from);
    out.truncate(from);
    for (qsizetype start = 0; start < line.size();) {
        const qsizetype next = nextLineStart(line.constData(), start, line.size() - start);
        if (start > 0)
            out.append("\r\n ", 3);
        out.append(line.constData() + start, next - start);
        start = next;
    }
}

void appendProperty(QByteArray &out, icalproperty *property)
{
    const qsizetype start = out.size();
    if (!appendOwnLine(out, property)) {
        out.truncate(start);
        appendOwned(out, icalproperty_as_ical_string_r(property));
        return;
    }
    if (out.size() - start >= kFoldWidth)
        foldTail(out, start);
}

void appendComponent(QByteArray &out, icalcomponent *component)
{
    const char *name = componentName(icalcomponent_isa(component));
    if (!name) {
        appendOwned(out, icalcomponent_as_ical_string_r(component));
        return;
    }
    out.append("BEGIN:").append(name).append("\r\n", 2);
    for (icalproperty *property = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY); property;
         property = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY))
        appendProperty(out, property);
    for (icalcompiter children = icalcomponent_begin_component(component, ICAL_ANY_COMPONENT);
         icalcomponent *child = icalcompiter_deref(&children); icalcompiter_next(&children))
        appendComponent(out, child);
    out.append("END:").append(name).append("\r\n", 2);
}

} // namespace

QByteArray componentText(icalcomponent *component)
{
    if (!component)
        return QByteArray();
    // Written in a buffer each thread keeps, then copied at its size: callers keep these texts, and
    // an array grown in place would hold its spare room (or leave it as gaps) for as long.
    constexpr qsizetype kKeptScratchBytes = 64 * 1024;
    thread_local QByteArray scratch;
    scratch.resize(0);
    appendComponent(scratch, component);
    QByteArray text(scratch.constData(), scratch.size());
    if (scratch.capacity() > kKeptScratchBytes)
        scratch = QByteArray();
    return text;
}

QByteArray propertyText(icalproperty *property)
{
    QByteArray out;
    if (property)
        appendProperty(out, property);
    return out;
}

} // namespace platform::icaltext
