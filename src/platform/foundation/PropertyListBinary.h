#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QVariant>

// The binary encoding of property lists ("bplist00"), read and written without building any tree
// but the Qt values themselves: keyed archives of tens of thousands of records are read on every
// sync. Used by PropertyList.cpp; the mapping onto Qt values is the one PropertyList.h describes.
namespace platform::binaryplist {

// The limits shared with the XML side.
inline constexpr int kMaxNestingDepth = 512;
// One object may be referred to from many places; past this many nodes once every reference is
// followed, a list is refused rather than expanded.
inline constexpr quint64 kMaxExpandedObjects = quint64(1) << 23;

// Whether values of a Qt type are written as property-list integers.
bool isIntegerType(int typeId);

// Reads a binary property list. Offsets, references, lengths, nesting, cycles and expansion are all
// checked before anything is built, so damaged or hostile input fails cleanly.
Result<QVariant> parse(const QByteArray &bytes);

// Encodes a value. Equal texts are written once; dictionaries keep their keys' order.
Result<QByteArray> serialize(const QVariant &root);

} // namespace platform::binaryplist
