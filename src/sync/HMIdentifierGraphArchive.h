#pragma once

// Who writes and who reads the identifier graph's files (<profile>_<conduit>.idgraph and its
// .journal). Every stored form stays readable: samples of each, as earlier versions wrote them,
// stand in tests/sync/samples/identifier-graph.
//
// clang-format off
// | file and form                   | written by                          | read by                                 |
// |---------------------------------|-------------------------------------|-----------------------------------------|
// | graph file, binary keyed        | writeStreamedFile, below            | streamedGraph, below                    |
// |   archive (root key             |   (HMIdentifierGraphArchive.cpp)    |   (HMIdentifierGraphArchiveReader.cpp)  |
// |   "HMIdentifierGraph")          |                                     |                                         |
// | the same, for a graph holding   | KeyedArchiver, through archivedData | KeyedUnarchiver, via unarchivedGraph    |
// |   values the streamed writer    |   and HMIdentifierGraph::           |   and HMIdentifierGraph::initWithCoder  |
// |   leaves alone                  |   encodeWithCoder                   |                                         |
// | graph file, XML (earlier        | nothing now: the next save writes   | KeyedUnarchiver, as above               |
// |   versions)                     |   binary                            |                                         |
// | journal, first line             | HMIdentifierGraphJournal::          | HMIdentifierGraphJournal::read          |
// |                                 |   headerLine                        |                                         |
// | journal, change line            | HMIdentifierGraphJournal::          | PayloadReader, in place                 |
// |                                 |   streamedPayload (+Payload.cpp)    |   (HMIdentifierGraphJournal.cpp)        |
// | the same, for a change holding  | serializePropertyList of payloadOf  | parsePropertyList, read whole           |
// |   values the streamed payload   |                                     |                                         |
// |   leaves alone                  |                                     |                                         |
// clang-format on
//
// The generic keyed archiver and property-list reader are what every reader falls back to, for
// files the fast readers are not sure of; both kinds of file are the same bytes whichever writer
// made them, so either reader reads either. HMProfileManager decides when each file is written.

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
// its own file while it is written. A graph holding a value that no flat pair holds (a value kept
// in Qt's stream form other than a text list or a date) is written by KeyedArchiver instead.
// Reading walks the binary property list of a graph file and packs each entry straight from it, as
// KeyedUnarchiver and the graph's initWithCoder pack it, with no value built per pair: a file holding
// anything that reader is not sure of (damage of any kind, values other than texts, scalars and
// dates, odd shapes) is read by KeyedUnarchiver instead, so both accept and refuse the same files.
// Stateless; any thread, with the graph not changed while it is written.
class HMIdentifierGraphArchive final
{
public:
    // The archive's bytes, or why the graph cannot be archived.
    static platform::Result<QByteArray> archivedData(const HMIdentifierGraph &graph, const QString &rootKey);
    // The bytes written from the packed entries; nullopt for a graph only the archiver writes.
    static std::optional<QByteArray> streamedData(const HMIdentifierGraph &graph, const QString &rootKey);
    // Writes those bytes as the file at path, as writeFileAtomically does (readable by the owner
    // only), passing them to the file as they are made rather than holding them whole, and each
    // piece to `passed` as it goes; nullopt, with nothing written, for a graph only the archiver
    // writes.
    static std::optional<platform::Status> writeStreamedFile(const HMIdentifierGraph &graph, const QString &rootKey,
                                                             const QString &path,
                                                             const std::function<void(QByteArrayView)> &passed);

    // The graph an archive holds under a root key, or why it cannot be read: what
    // KeyedUnarchiver::unarchiveObject gives, read straight into packed entries where it can be. The
    // bytes are let go once read.
    static platform::Result<std::unique_ptr<HMIdentifierGraph>> unarchivedGraph(QByteArray bytes, const QString &rootKey);
    // The graph read straight into packed entries; nullopt for an archive only KeyedUnarchiver
    // reads, which then accepts or refuses it.
    static std::optional<std::unique_ptr<HMIdentifierGraph>> streamedGraph(const QByteArray &bytes, const QString &rootKey);
    // Appends a leaf of a property list to a value being packed, as an entry packs the value a
    // reading of the list builds of it: an ASCII text as it stands, any other leaf through its
    // value; false, appending nothing, for a damaged leaf.
    static bool packLeaf(const platform::binaryplist::Document &document, quint64 object, int depth,
                         QByteArray &packing);
};
