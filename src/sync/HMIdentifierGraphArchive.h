#pragma once

// Who writes and who reads the identifier graph's files (<profile>_<conduit>.idgraph and its
// .journal). Every stored form stays readable: samples of each, as earlier versions wrote them,
// stand in tests/sync/samples/identifier-graph.
//
// clang-format off
// | file and form                   | written by                          | read by                                 |
// |---------------------------------|-------------------------------------|-----------------------------------------|
// | graph file, binary keyed        | writeStreamedFile or archivedData,  | streamedGraph, below                    |
// |   archive (root key             |   below (HMIdentifierGraph-         |   (HMIdentifierGraphArchiveReader.cpp)  |
// |   "HMIdentifierGraph")          |   Archive.cpp)                      |                                         |
// | the same, holding values the    | the same                            | KeyedUnarchiver, via unarchivedGraph    |
// |   streamed reader is not sure   |                                     |   and HMIdentifierGraph::initWithCoder  |
// |   of                            |                                     |                                         |
// | graph file, XML (earlier        | nothing now: the next save writes   | KeyedUnarchiver, as above               |
// |   versions)                     |   binary                            |                                         |
// | journal, first line             | HMIdentifierGraphJournal::          | HMIdentifierGraphJournal::read          |
// |                                 |   headerLine                        |                                         |
// | journal, change line            | HMIdentifierGraphJournal::          | PayloadReader, in place                 |
// |                                 |   streamedPayload (+Payload.cpp)    |   (HMIdentifierGraphJournal.cpp)        |
// | the same, holding values the    | the same                            | parsePropertyList, read whole           |
// |   reader in place leaves alone  |                                     |                                         |
// clang-format on
//
// Each file has one writer, which writes byte for byte what the generic keyed archiver
// (KeyedArchiver, given the graph) or property-list writer (serializePropertyList, given
// HMIdentifierGraphJournal::payloadOf) writes of it; tests hold the two side by side. The generic
// readers are what the fast readers fall back to, for files they are not sure of, so files written
// by earlier versions read as they always did. HMProfileManager decides when each file is written.

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class HMIdentifierGraph;
namespace platform::binaryplist {
class Document;
}

// Writes an identifier graph as a keyed archive under a root key: byte for byte what KeyedArchiver
// writes of it, made straight from the graph's packed entries. A first pass over the entries numbers
// the archive's objects as the archiver would, keeping only each distinct text's place (a view of
// the entry's own bytes); a second writes them. No entry is materialised and no tree of the archive
// stands in memory: an archive of many thousand entries otherwise holds several times the size of
// its own file while it is written. A value no flat pair holds (a value kept in Qt's stream form,
// a text UTF-8 cannot carry) is numbered from its QVariant as the archiver numbers it.
// Reading walks the binary property list of a graph file and packs each entry straight from it, as
// KeyedUnarchiver and the graph's initWithCoder pack it, with no value built per pair: a file holding
// anything that reader is not sure of (damage of any kind, values other than texts, scalars and
// dates, odd shapes) is read by KeyedUnarchiver instead, so both accept and refuse the same files.
// Stateless; any thread, with the graph not changed while it is written.
class HMIdentifierGraphArchive final
{
public:
    // The archive's bytes, or why the graph cannot be archived (a text holding a NUL, a value no
    // archive holds, values nested too deep: where KeyedArchiver fails).
    static platform::Result<QByteArray> archivedData(const HMIdentifierGraph &graph, const QString &rootKey);
    // Writes those bytes as the file at path, as writeFileAtomically does (readable by the owner
    // only), passing them to the file as they are made rather than holding them whole, and each
    // piece to `passed` as it goes. For a graph that cannot be archived, nothing is written and
    // the error says why.
    static platform::Status writeStreamedFile(const HMIdentifierGraph &graph, const QString &rootKey,
                                              const QString &path, const std::function<void(QByteArrayView)> &passed);

    // The graph an archive holds under a root key, or why it cannot be read: what
    // KeyedUnarchiver::unarchiveObject gives, read straight into packed entries where it can be. The
    // bytes are let go once read.
    // releasePages, when given, is called every so many entries read straight into packed entries:
    // a caller reading a mapped file lets go of the pages read so far (the bytes stay readable).
    static platform::Result<std::unique_ptr<HMIdentifierGraph>>
    unarchivedGraph(QByteArray bytes, const QString &rootKey, const std::function<void()> &releasePages = {});
    // The graph read straight into packed entries; nullopt for an archive only KeyedUnarchiver
    // reads, which then accepts or refuses it.
    static std::optional<std::unique_ptr<HMIdentifierGraph>>
    streamedGraph(const QByteArray &bytes, const QString &rootKey, const std::function<void()> &releasePages = {});
    // Appends a leaf of a property list to a value being packed, as an entry packs the value a
    // reading of the list builds of it: an ASCII text as it stands, any other leaf through its
    // value; false, appending nothing, for a damaged leaf.
    static bool packLeaf(const platform::binaryplist::Document &document, quint64 object, int depth,
                         QByteArray &packing);
};
