#pragma once

#include "platform/foundation/Result.h"
#include "sync/HMIdentifierGraph.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <vector>

// The append-only journal beside an identifier graph file. Each page of a sync adds one line holding
// what that page changed in the graph, so a run that ends early resumes without the whole graph
// being rewritten after every page; the graph file is rewritten (and the journal removed) at the end
// of a conduit once the journal has grown long next to it. The first line names the digest of the graph file the journal builds on: a journal
// left beside a newer graph file (the run ended between writing the file and removing the journal)
// names another digest and is ignored. Every later line carries a check of its own, so a line torn
// by a crash, and anything after it, is ignored on replay.
// Line format: "HMIdentifierGraphJournal 1 <digest>\n", then "<check> <base64 of a binary property
// list>\n" per change. Functions only; thread-safe.
class HMIdentifierGraphJournal final
{
public:
    // The steps of writing a graph's files, reported to the step hook as they complete.
    enum class Step { JournalAppended, GraphFileWritten, JournalRemoved };

    // How far a replay got.
    struct Replay
    {
        // Whether the journal belongs to the graph file (its first line names the file's digest).
        bool belongsToGraph = false;
        // Change lines applied.
        qsizetype appliedLines = 0;
        // Whether every line was whole and applied: a journal with a torn or damaged line must not
        // be appended to.
        bool isIntact = false;
        // Whether a line applied changes entries, not the date alone.
        bool holdsEntries = false;
    };
    // A journal's lines read and checked against the list they build on, up to the first that is
    // torn, damaged or does not fit, and not applied yet: a loader that finds the journal intact
    // applies them to the graph's own list, which then needs no copy of the list before them.
    struct Reading
    {
        Replay replay;
        // Each line's changes to the entries, in order; lines of dates alone have none.
        std::vector<HMIdentifierGraph::Changes> changes;
        // The date of the last line that names one.
        std::optional<QDateTime> lastSyncDate;
    };

    HMIdentifierGraphJournal() = delete;

    // The keys of a change line's dictionary, for its two writers and its reader.
    static const QString kRemovedKey;
    static const QString kReplacedAtKey;
    static const QString kReplacementsKey;
    static const QString kAppendedKey;
    static const QString kLastSyncDateKey;

    // The journal of the graph file at the path.
    static QString journalPath(const QString &graphPath);
    // The digest of a graph file's bytes (its CRC-32 and length); "none" when there is no graph file.
    static QByteArray digestOf(const std::optional<QByteArray> &graphFileBytes);
    // The same digest of a graph file taken piece by piece as the file is written.
    class RunningDigest final
    {
    public:
        void add(QByteArrayView bytes);
        QByteArray text() const;
        qint64 size() const { return m_size; }

    private:
        quint32 m_crc = 0;
        qint64 m_size = 0;
    };
    static QByteArray headerLine(const QByteArray &baseDigest);
    // The line of one page's changes; the date when it changed.
    static platform::Result<QByteArray> changeLine(const HMIdentifierGraph::Changes &changes,
                                                   const std::optional<QDateTime> &lastSyncDate);
    // The dictionary a change line holds, its entries as toMap gives them.
    static QVariantMap payloadOf(const HMIdentifierGraph::Changes &changes,
                                 const std::optional<QDateTime> &lastSyncDate);
    // The binary property list of that dictionary written straight from the packed entries, byte
    // for byte what serializePropertyList writes of it; where that fails (a value a property list
    // cannot hold: nothing, a text holding a NUL, a date outside what it holds), the same failure.
    static platform::Result<QByteArray> streamedPayload(const HMIdentifierGraph::Changes &changes,
                                                        const std::optional<QDateTime> &lastSyncDate);
    // Applies the journal's lines to the entries and date loaded from the graph file whose digest is
    // given, stopping at the first line that is torn, damaged or does not fit the entries.
    static Replay replay(const QByteArray &journal, const QByteArray &baseDigest, HMIdentifierGraph::Entries &entries,
                         QDateTime &lastSyncDate);
    // The same in two steps: the lines read against a list of so many entries, then applied to it.
    static Reading read(const QByteArray &journal, const QByteArray &baseDigest, qsizetype entryCount);
    static void apply(const Reading &reading, HMIdentifierGraph::Entries &entries, QDateTime &lastSyncDate);

    // Appends the bytes to the file and syncs it to disk; a failed write leaves none of them in it.
    // Never follows a link, never creates the file.
    static platform::Status appendDurably(const QString &path, const QByteArray &bytes);
    // The entries as a property-list array of dictionaries.
    static QVariantList listOf(const HMIdentifierGraph::Entries &entries);

    // Called after each step, on the writing thread; tests use it to end the process at a step.
    static void setStepHook(std::function<void(Step)> hook);
    static void reportStep(Step step);
};
