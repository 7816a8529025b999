#pragma once

#include <QByteArray>

struct icalcomponent_impl;
struct icalproperty_impl;

// Components and properties as the text libical writes for them, byte for byte (CRLF line ends,
// folding, escaping, parameter quoting), without libical's per-property buffers: the common value
// kinds are written here into one growing array, anything else by libical itself. Any thread may call
// these on objects it alone uses.
namespace platform::icaltext {

QByteArray componentText(icalcomponent_impl *component);
QByteArray propertyText(icalproperty_impl *property);

} // namespace platform::icaltext
