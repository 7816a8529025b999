// The graph file and the journal's lines, as this version writes them of a graph holding every kind
// of value an entry keeps, are byte for byte the files kept in tests/sync/samples/identifier-graph:
// files already on users' disks are read by their digest and their lines' checks, so a writer that
// changes one byte of either breaks what a journal builds on.

#include "platform/foundation/FileIO.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphArchive.h"
#include "sync/HMIdentifierGraphJournal.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

using Entry = HMIdentifierGraphEntry;

const QString kRootKey = QStringLiteral("HMIdentifierGraph");
const QDateTime kSyncDate = QDateTime::fromMSecsSinceEpoch(1'796'000'000'250, Qt::UTC);

QString samplePath(const QString &name)
{
    return testsupport::sourceDir() + QStringLiteral("/tests/sync/samples/identifier-graph/") + name;
}

// A text UTF-8 cannot carry: a lone surrogate.
QString wideText(const QString &start)
{
    return start + QChar(char16_t(0xDC01));
}

// Every kind of value an entry keeps, flat or nested, under keys of the table and keys of its own.
// Keys are texts UTF-8 carries: one that it cannot is kept whole only while the process-wide table
// of keys has room, so its bytes would depend on the tests run before.
QVariantMap everyKind(int number)
{
    const QString tag = QString::number(number);
    return {
        {QStringLiteral("hmUid"), QStringLiteral("HM-") + tag},
        {QStringLiteral("nativeId"), QStringLiteral("caf\u00e9 \U0001F600 ") + tag},
        {QStringLiteral("crcValue"), QStringLiteral("")},
        {QStringLiteral("null text"), QString()},
        {QStringLiteral("wide text"), wideText(tag)},
        {QStringLiteral("invalid"), QVariant()},
        {QStringLiteral("isUnconfirmedAdd"), number % 2 == 0},
        {QStringLiteral("int32"), qint32(-42 * number)},
        {QStringLiteral("int32 max"), std::numeric_limits<qint32>::max()},
        {QStringLiteral("int64"), (qint64(1) << 40) + number},
        {QStringLiteral("int64 min"), std::numeric_limits<qint64>::min()},
        {QStringLiteral("uint32"), std::numeric_limits<quint32>::max()},
        {QStringLiteral("uint64"), quint64(1) << 62},
        {QStringLiteral("real"), 3.25 * number},
        {QStringLiteral("negative zero"), -0.0},
        {QStringLiteral("infinity"), std::numeric_limits<double>::infinity()},
        {QStringLiteral("data"), QByteArray("\x00\x01\xff zero", 8)},
        {QStringLiteral("empty data"), QByteArray("")},
        {QStringLiteral("WrittenModificationDate"), kSyncDate.addSecs(number)},
        {QStringLiteral("date before 2001"), QDateTime::fromMSecsSinceEpoch(-62'000'000'000'123, Qt::UTC)},
        {QStringLiteral("date with an offset"), kSyncDate.toOffsetFromUtc(3600)},
        {QStringLiteral("Kl\u00e9 \u00e0 accent"), QStringLiteral("value under a key that is not ASCII")},
        {QStringLiteral("$dollar key"), QStringLiteral("$null")},
        {QStringLiteral("list"), QVariantList{1, QStringLiteral("two"), QVariantList{3.0, QVariant()},
                                              QVariantMap{{QStringLiteral("k"), true}}}},
        {QStringLiteral("EmailKeys"), QVariantMap{{QStringLiteral("home"), QStringLiteral("p%1@example.org").arg(number)},
                                                  {QStringLiteral("work"), kSyncDate}}},
        {QStringLiteral("hash"), QVariantHash{{QStringLiteral("h"), QStringLiteral("v")}, {QStringLiteral("a"), 2.5}}},
        {QStringLiteral("unordered"), QVariantMap{{QStringLiteral("\u00e9"), 1}, {QStringLiteral("z"), 2}}},
        {QStringLiteral("empty list"), QVariantList()},
        {QStringLiteral("empty map"), QVariantMap()},
        {QStringLiteral("AddressBookGroupIdsKey"),
         QStringList{QStringLiteral("group-1"), QString(), QStringLiteral("HM-") + tag, QStringLiteral("group-1")}},
        {QStringLiteral("empty text list"), QStringList()},
    };
}

// The same for a journal's line, which holds no empty values and dates between 1933 and 2069 only.
Entry journalEntry(int number)
{
    QVariantMap dictionary = everyKind(number);
    dictionary.insert(QStringLiteral("date before 2001"), QDateTime::fromMSecsSinceEpoch(-600'000'000'123, Qt::UTC));
    dictionary.remove(QStringLiteral("invalid"));
    dictionary.insert(QStringLiteral("list"), QVariantList{1, QStringLiteral("two"), QVariantList{3.0, false}});
    return Entry(dictionary);
}

HMIdentifierGraph everyKindGraph()
{
    HMIdentifierGraph graph;
    for (int number = 1; number <= 3; ++number)
        graph.appendDictionary(everyKind(number));
    graph.appendDictionary({{QStringLiteral("hmUid"), QStringLiteral("plain")}});
    graph.appendDictionary({});
    graph.setLastSyncDate(kSyncDate);
    return graph;
}

// Lines of every shape: all four parts with the date, entries alone, positions alone, the date alone.
QByteArray everyKindJournal()
{
    QByteArray journal = HMIdentifierGraphJournal::headerLine(QByteArrayLiteral("0123abcd-4567"));
    HMIdentifierGraph::Changes all;
    all.removed = {0, 4, qsizetype(1) << 40};
    all.replaced = {{2, journalEntry(7)}, {9, Entry(QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("r")}})}};
    all.appended = {journalEntry(8), Entry(QVariantMap())};
    HMIdentifierGraph::Changes appendedOnly;
    appendedOnly.appended = {journalEntry(9)};
    HMIdentifierGraph::Changes removedOnly;
    removedOnly.removed = {300, 70'000};
    const std::pair<HMIdentifierGraph::Changes, std::optional<QDateTime>> lines[] = {
        {all, kSyncDate}, {appendedOnly, std::nullopt}, {removedOnly, std::nullopt}, {{}, kSyncDate.addDays(1)}};
    for (const auto &[changes, date] : lines) {
        const platform::Result<QByteArray> line = HMIdentifierGraphJournal::changeLine(changes, date);
        EXPECT_TRUE(line.ok()) << (line ? std::string() : line.error().message().toStdString());
        journal += line.valueOr(QByteArray("failed\n"));
    }
    return journal;
}

// Compares the bytes with the sample; where they differ, keeps them beside the build for a look.
void expectSampleBytes(const QByteArray &written, const QString &sampleName)
{
    const platform::Result<QByteArray> sample = platform::readWholeFile(samplePath(sampleName));
    if (sample && written == *sample)
        return;
    const QString kept = testsupport::binaryDir() + QLatin1Char('/') + sampleName;
    QFile file(kept);
    if (file.open(QIODevice::WriteOnly))
        file.write(written);
    ADD_FAILURE() << sampleName.toStdString() << ": " << written.size() << " bytes written, "
                  << (sample ? sample->size() : -1) << " in the sample; the bytes written are kept at " << kept.toStdString();
}

} // namespace

TEST(HMIdentifierGraphWrittenBytes, GraphFileAndJournalAreTheSampleBytes)
{
    const HMIdentifierGraph graph = everyKindGraph();
    QTemporaryDir home;
    const QString path = home.filePath(QStringLiteral("every_kind.idgraph"));
    const platform::Status written = HMIdentifierGraphArchive::writeStreamedFile(graph, kRootKey, path, [](QByteArrayView) {});
    ASSERT_TRUE(written.ok());
    expectSampleBytes(platform::readWholeFile(path).valueOr(QByteArray()), QStringLiteral("written_every_kind.idgraph"));
    const platform::Result<QByteArray> whole = HMIdentifierGraphArchive::archivedData(graph, kRootKey);
    ASSERT_TRUE(whole.ok());
    expectSampleBytes(*whole, QStringLiteral("written_every_kind.idgraph"));
    expectSampleBytes(everyKindJournal(), QStringLiteral("written_every_kind.idgraph.journal"));
}
