// The identifier graph's journal through the profile manager's files: pages journaled, the end of a
// conduit leaving a short journal in place and folding a long one into the graph file, and the
// states a crash leaves behind (a torn last line, a journal beside a graph file written after it, a
// process killed at each step of a conduit's writes).
#include "sync/HMIdentifierGraphJournal.h"

#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyList.h"

#include "ProfileTestSupport.h"
#include "foundation/LogCapture.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <random>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

const QString kConduit = QStringLiteral("A");
const QDateTime kFirstSync(QDate(2026, 11, 30), QTime(17, 45, 12, 250), Qt::UTC);
// Both dates carry milliseconds: a listing compares item stamps with them, and a date rounded to
// its second would hide an item changed later in that same second.
const QDateTime kSecondSync(QDate(2026, 12, 1), QTime(8, 0, 0, 375), Qt::UTC);

QVariantMap entry(const QString &hmUid, const QString &nativeId)
{
    return {{QStringLiteral("hmUid"), hmUid},
            {QStringLiteral("nativeId"), nativeId},
            {QStringLiteral("crcValue"), QStringLiteral("crc-%1").arg(nativeId)},
            {QStringLiteral("lastModified"), kFirstSync.addMSecs(nativeId.size())}};
}

HMProfile journalProfile()
{
    HMProfile profile;
    profile.setFilename(QStringLiteral("journal"));
    return profile;
}

std::shared_ptr<HMIdentifierGraph> load()
{
    return HMProfileManager::identifierGraphForProfile(journalProfile(), kConduit);
}

// A folder holding the graph file and its journal.
class JournalFiles
{
public:
    QString graphPath() const { return m_home.path(QStringLiteral("journal_A.idgraph")); }
    QString journalPath() const { return graphPath() + QStringLiteral(".journal"); }
    QByteArray journal() const { return readFile(journalPath()); }
    QList<QByteArray> journalLines() const
    {
        QList<QByteArray> lines = journal().split('\n');
        lines.removeLast();
        return lines;
    }

private:
    ScopedDataHome m_home;
};

// Three pages of changes on the graph, each journaled; answers the list after each page.
QList<QList<QVariantMap>> journalThreePages(HMIdentifierGraph &graph)
{
    QList<QList<QVariantMap>> states;
    for (int index = 1; index <= 4; ++index)
        graph.appendDictionary(entry(QStringLiteral("tmp-%1").arg(index), QStringLiteral("n%1").arg(index)));
    EXPECT_TRUE(HMProfileManager::journalIdentifier(graph, journalProfile(), kConduit));
    states.append(graph.identifierDictionaries());

    // The device's ids replace the temporary ones in place; one add failed and goes.
    EXPECT_TRUE(graph.replaceDictionaryForHarrowmereUid(QStringLiteral("tmp-1"), entry(QStringLiteral("d1"), QStringLiteral("n1"))));
    EXPECT_TRUE(graph.replaceDictionaryForHarrowmereUid(QStringLiteral("tmp-3"), std::nullopt));
    graph.appendDictionary(entry(QStringLiteral("d5"), QStringLiteral("n5")));
    EXPECT_TRUE(HMProfileManager::journalIdentifier(graph, journalProfile(), kConduit));
    states.append(graph.identifierDictionaries());

    graph.removeDictionaryForHarrowmereUid(QStringLiteral("tmp-2"));
    QVariantMap first = graph.dictionaryAt(0);
    first.insert(QStringLiteral("crcValue"), QStringLiteral("changed"));
    graph.replaceDictionaryForHarrowmereUid(first.value(QStringLiteral("hmUid")).toString(), first);
    EXPECT_TRUE(HMProfileManager::journalIdentifier(graph, journalProfile(), kConduit));
    states.append(graph.identifierDictionaries());
    return states;
}

} // namespace

// The digest a journal names its graph file by is zlib's CRC-32 and the length, however the bytes
// are given: whole, or in pieces of any size at any alignment, as the graph file is written.
TEST(HMIdentifierGraphJournal, TheDigestIsZlibsCrcOfTheBytesWhicheverWayTheyCome)
{
    std::mt19937 random(20261208);
    std::vector<uchar> pool(size_t(1) << 21);
    for (uchar &byte : pool)
        byte = uchar(random());
    const auto expected = [&pool](size_t offset, size_t length) {
        const uLong crc = crc32(crc32(0, nullptr, 0), pool.data() + offset, uInt(length));
        return QByteArray::number(quint64(crc), 16).rightJustified(8, '0') + '-' + QByteArray::number(qint64(length));
    };
    const std::vector<size_t> lengths{
        0, 1, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 191, 255, 256, 1000, 4103, (size_t(1) << 21) - 3};
    for (const size_t length : lengths) {
        for (const size_t offset : {size_t(0), size_t(1), size_t(3)}) {
            const QByteArray bytes(reinterpret_cast<const char *>(pool.data() + offset),
                                   qsizetype(std::min(length, pool.size() - offset)));
            SCOPED_TRACE(testing::Message() << "length " << bytes.size() << " offset " << offset);
            EXPECT_EQ(HMIdentifierGraphJournal::digestOf(bytes), expected(offset, size_t(bytes.size())));
            HMIdentifierGraphJournal::RunningDigest pieces;
            for (qsizetype done = 0; done < bytes.size();) {
                const qsizetype piece = std::min<qsizetype>(bytes.size() - done, qsizetype(random() % 300));
                pieces.add(QByteArrayView(bytes).sliced(done, piece));
                done += piece;
            }
            EXPECT_EQ(pieces.text(), expected(offset, size_t(bytes.size())));
        }
    }
    // Pinned: the check value of the CRC-32, and a large run of one byte.
    EXPECT_EQ(HMIdentifierGraphJournal::digestOf(QByteArray("123456789")), QByteArray("cbf43926-9"));
    EXPECT_EQ(HMIdentifierGraphJournal::digestOf(QByteArray(4096, 'a')), QByteArray("9c99dc73-4096"));
}

TEST(HMIdentifierGraphJournal, PagesGoToTheJournalAndTheConduitsEndFoldsThem)
{
    JournalFiles files;
    LogCapture log(LOG_LEVEL_WARN);
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    ASSERT_NE(graph, nullptr);
    const QList<QList<QVariantMap>> states = journalThreePages(*graph);

    // The pages went to the journal only: a header naming no graph file, then one line per page.
    EXPECT_FALSE(QFileInfo::exists(files.graphPath()));
    const QList<QByteArray> lines = files.journalLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines.at(0), QByteArrayLiteral("HMIdentifierGraphJournal 1 none"));
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(files.journalPath()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // A page that changed nothing writes nothing.
    const QByteArray before = files.journal();
    EXPECT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_EQ(files.journal(), before);

    const std::shared_ptr<HMIdentifierGraph> resumed = load();
    ASSERT_NE(resumed, nullptr);
    EXPECT_EQ(resumed->identifierDictionaries(), states.last());

    // The conduit's end folds the journal into a graph file any property-list reader opens.
    graph->setLastSyncDate(kFirstSync);
    ASSERT_TRUE(HMProfileManager::finishIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_FALSE(QFileInfo::exists(files.journalPath()));
    const std::optional<QByteArray> top = runProgram(
        QStringLiteral("python3"),
        {QStringLiteral("-c"), QStringLiteral("import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                                              "print(sorted(d['$top']), len(d['$objects']) > 5)"),
         files.graphPath()},
        {});
    EXPECT_EQ(top.value_or(QByteArray()), QByteArrayLiteral("['HMIdentifierGraph'] True\n"));
    const std::shared_ptr<HMIdentifierGraph> folded = load();
    ASSERT_NE(folded, nullptr);
    EXPECT_EQ(folded->identifierDictionaries(), states.last());
    EXPECT_EQ(folded->lastSyncDate(), kFirstSync);
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join(QLatin1Char('\n')).toStdString();
}

TEST(HMIdentifierGraphJournal, ARunThatChangesOnlyTheDateLeavesTheGraphFileAlone)
{
    JournalFiles files;
    {
        const std::shared_ptr<HMIdentifierGraph> graph = load();
        journalThreePages(*graph);
        graph->setLastSyncDate(kFirstSync);
        ASSERT_TRUE(HMProfileManager::finishIdentifier(*graph, journalProfile(), kConduit));
    }
    const QByteArray graphFile = readFile(files.graphPath());

    const std::shared_ptr<HMIdentifierGraph> graph = load();
    const QList<QVariantMap> entries = graph->identifierDictionaries();
    // Lookups made by a run that changes nothing do not count as changes.
    EXPECT_EQ(graph->nativeIdForHarrowmereUid(QStringLiteral("d1")), QStringLiteral("n1"));
    EXPECT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_FALSE(QFileInfo::exists(files.journalPath()));
    graph->setLastSyncDate(kSecondSync);
    ASSERT_TRUE(HMProfileManager::finishIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_EQ(readFile(files.graphPath()), graphFile);
    EXPECT_EQ(files.journalLines().size(), 2);

    const std::shared_ptr<HMIdentifierGraph> next = load();
    EXPECT_EQ(next->lastSyncDate(), kSecondSync);
    EXPECT_EQ(next->identifierDictionaries(), entries);

    // A run whose journal would outgrow an eighth of this small graph file folds everything, its
    // date too.
    next->appendDictionary(entry(QStringLiteral("d9"), QStringLiteral("n9")));
    ASSERT_TRUE(HMProfileManager::finishIdentifier(*next, journalProfile(), kConduit));
    EXPECT_FALSE(QFileInfo::exists(files.journalPath()));
    EXPECT_EQ(load()->lastSyncDate(), kSecondSync);
    EXPECT_EQ(load()->identifierDictionaries().size(), entries.size() + 1);
}

TEST(HMIdentifierGraphJournal, ATornOrDamagedLineEndsTheReplayAndNothingWrittenLaterIsLost)
{
    JournalFiles files;
    LogCapture log(LOG_LEVEL_WARN);
    {
        const std::shared_ptr<HMIdentifierGraph> base = load();
        base->appendDictionary(entry(QStringLiteral("d0"), QStringLiteral("n0")));
        ASSERT_TRUE(HMProfileManager::saveIdentifier(*base, journalProfile(), kConduit));
    }
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    const QList<QList<QVariantMap>> states = journalThreePages(*graph);
    const QByteArray whole = files.journal();
    const qsizetype lastLine = files.journalLines().constLast().size() + 1;

    struct Row
    {
        const char *name;
        QByteArray journal;
        QList<QVariantMap> expected;
    };
    QByteArray flipped = whole;
    flipped[whole.size() - lastLine - 10] = flipped[whole.size() - lastLine - 10] == 'A' ? 'B' : 'A';
    QList<Row> rows = {{"the second page damaged", flipped, states.at(0)},
                       {"the newline of the last line missing", whole.chopped(1), states.at(1)}};
    for (qsizetype cut = 2; cut <= lastLine; cut += 13)
        rows.append({"the last line cut", whole.chopped(cut), states.at(1)});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(files.journalPath(), row.journal);
        const std::shared_ptr<HMIdentifierGraph> loaded = load();
        ASSERT_NE(loaded, nullptr);
        ASSERT_EQ(loaded->identifierDictionaries(), row.expected);

        // The next page is not appended after the damage: the journal is rewritten with every change
        // since the graph file, so the page and all kept before it survive.
        loaded->appendDictionary(entry(QStringLiteral("d7"), QStringLiteral("n7")));
        ASSERT_TRUE(HMProfileManager::journalIdentifier(*loaded, journalProfile(), kConduit));
        const std::shared_ptr<HMIdentifierGraph> again = load();
        EXPECT_EQ(again->identifierDictionaries(), loaded->identifierDictionaries());
        EXPECT_EQ(files.journalLines().size(), 2);
    }
    EXPECT_TRUE(logContains(log, QStringLiteral("ends in a torn or damaged line")));
}

// A full disk cuts a journal line short, and the graph file cannot be written whole either: the
// journal is left as it was, so the next line, written once there is room, is replayed with the rest.
TEST(HMIdentifierGraphJournal, ALineAFullDiskCutShortLeavesNoPartOfItBehind)
{
    JournalFiles files;
    LogCapture log(LOG_LEVEL_WARN);
    {
        const std::shared_ptr<HMIdentifierGraph> base = load();
        // A graph file far larger than the journal, so that folding fails on the full disk too.
        for (int index = 0; index < 300; ++index)
            base->appendDictionary(entry(QStringLiteral("d%1").arg(index), QStringLiteral("n%1").arg(index)));
        ASSERT_TRUE(HMProfileManager::saveIdentifier(*base, journalProfile(), kConduit));
    }
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    const QList<QList<QVariantMap>> states = journalThreePages(*graph);
    const QByteArray before = files.journal();
    ASSERT_LT(before.size() * 4, readFile(files.graphPath()).size());

    graph->appendDictionary(entry(QStringLiteral("full"), QStringLiteral("n-full")));
    testsupport::runWithFileSizeLimit(quint64(before.size()) + 5, [&graph] {
        EXPECT_FALSE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    });
    EXPECT_EQ(files.journal(), before);
    EXPECT_EQ(load()->identifierDictionaries(), states.constLast());

    graph->appendDictionary(entry(QStringLiteral("room"), QStringLiteral("n-room")));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_TRUE(files.journal().startsWith(before));
    EXPECT_EQ(load()->identifierDictionaries(), graph->identifierDictionaries());
    EXPECT_FALSE(logContains(log, QStringLiteral("ends in a torn or damaged line")));
}

namespace {

// A change line holding the payload, its check made as the journal makes it.
QByteArray changeLineOf(const QByteArray &payload)
{
    const QByteArray check = QCryptographicHash::hash(payload, QCryptographicHash::Sha1).toHex().left(16);
    return check + ' ' + payload.toBase64() + '\n';
}

QByteArray binaryPayload(const QVariantMap &payload)
{
    return platform::serializePropertyList(payload, platform::PropertyListFormat::Binary).valueOr(QByteArray());
}

} // namespace

// Lines that change the date alone, as the writers write them and in any other form a property
// list may take: each is applied as its dictionary says, and one whose date is none stops the
// replay, whichever way it is written.
TEST(HMIdentifierGraphJournal, DateLinesOfEveryFormReplayAsTheirDictionariesSay)
{
    JournalFiles files;
    {
        const std::shared_ptr<HMIdentifierGraph> base = load();
        base->appendDictionary(entry(QStringLiteral("d0"), QStringLiteral("n0")));
        base->setLastSyncDate(kFirstSync);
        ASSERT_TRUE(HMProfileManager::saveIdentifier(*base, journalProfile(), kConduit));
    }
    const QByteArray header = HMIdentifierGraphJournal::headerLine(
        HMIdentifierGraphJournal::digestOf(readFile(files.graphPath())));
    const QString dateKey = HMIdentifierGraphJournal::kLastSyncDateKey;
    const auto encoded = [](const QVariant &value, platform::PropertyListFormat format) {
        return platform::serializePropertyList(value, format).valueOr(QByteArray());
    };
    QByteArray notANumber = binaryPayload({{dateKey, kSecondSync}});
    const qsizetype dateBytes = notANumber.indexOf(char(0x33)) + 1;
    ASSERT_GT(dateBytes, 0);
    notANumber.replace(dateBytes, 8, QByteArray::fromHex("7ff8000000000000"));
    const platform::Result<QByteArray> written = HMIdentifierGraphJournal::streamedPayload({}, kSecondSync);
    ASSERT_TRUE(written.ok());
    struct Row
    {
        const char *name;
        QByteArray payload;
        QDateTime expected;
        bool isIntact;
    };
    const Row rows[] = {
        {"as the journal writes it", *written, kSecondSync, true},
        {"with another key beside the date", binaryPayload({{dateKey, kSecondSync}, {QStringLiteral("other"), 1}}),
         kSecondSync, true},
        // XML holds dates to the second.
        {"in XML", encoded(QVariantMap{{dateKey, kSecondSync}}, platform::PropertyListFormat::Xml),
         kSecondSync.addMSecs(-kSecondSync.time().msec()), true},
        {"with a text where the date belongs", binaryPayload({{dateKey, QStringLiteral("tomorrow")}}), kFirstSync,
         false},
        {"with a date that is no number", notANumber, kFirstSync, false},
        {"as a list", encoded(QVariantList{kSecondSync}, platform::PropertyListFormat::Binary), kFirstSync, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_FALSE(row.payload.isEmpty());
        writeFile(files.journalPath(), header + changeLineOf(row.payload));
        LogCapture log(LOG_LEVEL_WARN);
        const std::shared_ptr<HMIdentifierGraph> loaded = load();
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(loaded->lastSyncDate(), row.expected);
        EXPECT_EQ(loaded->identifierDictionaries().size(), 1);
        EXPECT_EQ(logContains(log, QStringLiteral("ends in a torn or damaged line")), !row.isIntact);
    }
}

TEST(HMIdentifierGraphJournal, AJournalLeftBesideANewerGraphFileIsIgnored)
{
    JournalFiles files;
    std::vector<HMIdentifierGraphJournal::Step> steps;
    HMIdentifierGraphJournal::setStepHook([&steps](HMIdentifierGraphJournal::Step step) { steps.push_back(step); });
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    const QList<QList<QVariantMap>> states = journalThreePages(*graph);
    const QByteArray journal = files.journal();
    ASSERT_TRUE(HMProfileManager::finishIdentifier(*graph, journalProfile(), kConduit));
    HMIdentifierGraphJournal::setStepHook(nullptr);
    using Step = HMIdentifierGraphJournal::Step;
    EXPECT_EQ(steps, (std::vector<Step>{Step::JournalAppended, Step::JournalAppended, Step::JournalAppended,
                                         Step::GraphFileWritten, Step::JournalRemoved}));

    // The run ended between writing the graph file and removing the journal: replaying the journal
    // onto the file that already holds its changes would apply them twice.
    writeFile(files.journalPath(), journal);
    const std::shared_ptr<HMIdentifierGraph> loaded = load();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->identifierDictionaries(), states.last());

    // The stale journal is replaced, not appended to, by the next page.
    loaded->appendDictionary(entry(QStringLiteral("d8"), QStringLiteral("n8")));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*loaded, journalProfile(), kConduit));
    EXPECT_EQ(files.journalLines().size(), 2);
    EXPECT_EQ(load()->identifierDictionaries(), loaded->identifierDictionaries());
}

TEST(HMIdentifierGraphJournal, AnXmlGraphOfAnEarlierVersionLoadsAndTheNextFoldWritesItAsBinary)
{
    JournalFiles files;
    HMIdentifierGraph earlier;
    for (int index = 1; index <= 3; ++index)
        earlier.appendDictionary(entry(QStringLiteral("d%1").arg(index), QStringLiteral("n%1").arg(index)));
    earlier.setLastSyncDate(kFirstSync);
    platform::KeyedArchiver coder;
    coder.setOutputFormat(platform::PropertyListFormat::Xml);
    coder.encodeObject(earlier, QStringLiteral("HMIdentifierGraph"));
    const QByteArray xml = *coder.finishEncoding();
    ASSERT_TRUE(xml.startsWith("<?xml"));
    ASSERT_TRUE(platform::writeFileAtomically(files.graphPath(), xml, platform::FilePermissions::OwnerOnly).ok());

    const std::shared_ptr<HMIdentifierGraph> graph = load();
    ASSERT_NE(graph, nullptr);
    EXPECT_EQ(graph->identifierDictionaries(), earlier.identifierDictionaries());
    EXPECT_EQ(graph->lastSyncDate(), kFirstSync);

    // A page journals against the XML file, which stays as it is until the journal is folded.
    QByteArray ids = "d1=n1 d2=n2 d3=n3 ";
    for (int index = 4; index <= 15; ++index) {
        graph->appendDictionary(entry(QStringLiteral("d%1").arg(index), QStringLiteral("n%1").arg(index)));
        ids += QStringLiteral("d%1=n%1 ").arg(index).toLatin1();
    }
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_EQ(readFile(files.graphPath()), xml);
    EXPECT_EQ(load()->identifierDictionaries(), graph->identifierDictionaries());

    // The conduit's end folds a journal longer than an eighth of the file, as binary.
    graph->setLastSyncDate(kSecondSync);
    ASSERT_GT(files.journal().size(), xml.size() / 8);
    ASSERT_TRUE(HMProfileManager::finishIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_FALSE(QFileInfo::exists(files.journalPath()));
    EXPECT_TRUE(readFile(files.graphPath()).startsWith("bplist00"));
    const std::optional<QByteArray> read = runProgram(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(R"(
import plistlib, sys
archive = plistlib.load(open(sys.argv[1], 'rb'))
objects = archive['$objects']
at = lambda uid: objects[uid.data]
root = at(archive['$top']['HMIdentifierGraph'])
ids = []
for item in at(root['identifierDictionaries'])['NS.objects']:
    record = at(item)
    fields = {at(key): at(value) for key, value in zip(record['NS.keys'], record['NS.objects'])}
    ids.append(fields['hmUid'] + '=' + fields['nativeId'])
print(' '.join(ids), round(at(root['lastSyncDate'])['NS.time'] * 1000))
)"), files.graphPath()}, {});
    const qint64 sinceReference = kSecondSync.toMSecsSinceEpoch() - 978307200000LL;
    EXPECT_EQ(read.value_or(QByteArray()), ids + QByteArray::number(sinceReference) + '\n');
    const std::shared_ptr<HMIdentifierGraph> folded = load();
    EXPECT_EQ(folded->identifierDictionaries(), graph->identifierDictionaries());
    EXPECT_EQ(folded->lastSyncDate(), kSecondSync);
}

namespace {

using Step = HMIdentifierGraphJournal::Step;

constexpr int kLargeGraphEntries = 400;
const char *const kKillAtVariable = "HM_TEST_GRAPH_KILL_AT";
const char *const kChangesVariable = "HM_TEST_GRAPH_CHANGES";

// Stores a graph file of entries "d<n>" = "n<n>", dated kFirstSync.
void saveLargeGraph()
{
    HMIdentifierGraph graph;
    for (int index = 0; index < kLargeGraphEntries; ++index)
        graph.appendDictionary(entry(QStringLiteral("d%1").arg(index), QStringLiteral("n%1").arg(index)));
    graph.setLastSyncDate(kFirstSync);
    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, journalProfile(), kConduit));
}

// The records a run changes on each of its two pages: those of the large graph and one new record.
QList<QStringList> pagesOf(int changedPerPage, const QString &revision)
{
    QList<QStringList> pages;
    for (int page = 0; page < 2; ++page) {
        QStringList records;
        for (int index = 0; index < changedPerPage; ++index)
            records.append(QStringLiteral("d%1").arg(page * changedPerPage + index));
        records.append(QStringLiteral("new-%1-%2").arg(revision).arg(page));
        pages.append(records);
    }
    return pages;
}

// A page of a run: each record gets a native id of the revision, which moves it to the end of the
// list. Done again, it leaves the same list.
void applyPage(HMIdentifierGraph &graph, const QStringList &page, const QString &revision)
{
    for (const QString &hmUid : page)
        graph.setDictionary(entry(hmUid, hmUid + QLatin1Char('-') + revision), hmUid);
}

// One run of a conduit on the graph: each page journaled, then the end dated and finished.
void runConduit(HMIdentifierGraph &graph, const QList<QStringList> &pages, const QString &revision,
                const QDateTime &date)
{
    for (const QStringList &page : pages) {
        applyPage(graph, page, revision);
        ASSERT_TRUE(HMProfileManager::journalIdentifier(graph, journalProfile(), kConduit));
    }
    graph.setLastSyncDate(date);
    ASSERT_TRUE(HMProfileManager::finishIdentifier(graph, journalProfile(), kConduit));
}

qint64 sizeOf(const QString &path)
{
    return QFileInfo::exists(path) ? QFileInfo(path).size() : 0;
}

} // namespace

TEST(HMIdentifierGraphJournal, RecordsChangedNextToEachOtherAreJournaledAsThemselvesOnly)
{
    HMIdentifierGraph graph;
    for (int index = 0; index < kLargeGraphEntries; ++index)
        graph.appendDictionary(entry(QStringLiteral("d%1").arg(index), QStringLiteral("n%1").arg(index)));
    const HMIdentifierGraph::Entries earlier = graph.entries();
    // Each changed record leaves its place for the end of the list, five of them side by side.
    applyPage(graph, {QStringLiteral("d5"), QStringLiteral("d6"), QStringLiteral("d7"), QStringLiteral("d8"), QStringLiteral("d9")},
              QStringLiteral("r1"));
    const HMIdentifierGraph::Changes changes = HMIdentifierGraph::changesBetween(earlier, graph.entries());
    EXPECT_EQ(changes.removed, (std::vector<qsizetype>{5, 6, 7, 8, 9}));
    EXPECT_TRUE(changes.replaced.empty());
    EXPECT_EQ(HMIdentifierGraph::dictionariesOf(changes.appended), HMIdentifierGraph::dictionariesOf(graph.entries().mid(395)));
    HMIdentifierGraph::Entries applied = earlier;
    ASSERT_TRUE(changes.applyTo(applied));
    EXPECT_EQ(HMIdentifierGraph::dictionariesOf(applied), graph.identifierDictionaries());
}

TEST(HMIdentifierGraphJournal, RunsThatChangeAFewEntriesLeaveTheGraphFileUntilTheJournalOutgrowsAnEighthOfIt)
{
    JournalFiles files;
    LogCapture log(LOG_LEVEL_ERROR);
    saveLargeGraph();
    const QByteArray graphFile = readFile(files.graphPath());
    bool folded = false;
    int run = 1;
    for (; run <= 40 && !folded; ++run) {
        SCOPED_TRACE(run);
        const QString revision = QStringLiteral("r%1").arg(run);
        const qint64 journalBefore = sizeOf(files.journalPath());
        const std::shared_ptr<HMIdentifierGraph> graph = load();
        ASSERT_NE(graph, nullptr);
        runConduit(*graph, pagesOf(2, revision), revision, kFirstSync.addDays(run));
        folded = !QFileInfo::exists(files.journalPath());
        if (folded) {
            // Folded only once the journal was long: not at the first runs, nor before it held half
            // of its share.
            EXPECT_GT(run, 3);
            EXPECT_GT(journalBefore, graphFile.size() / 16);
            EXPECT_NE(readFile(files.graphPath()), graphFile);
        } else {
            // The run wrote its two pages and its date to the journal, nothing else.
            EXPECT_EQ(readFile(files.graphPath()), graphFile);
            EXPECT_LE(files.journal().size(), graphFile.size() / 8);
            EXPECT_EQ(files.journalLines().size(), 1 + 3 * run);
        }
        const std::shared_ptr<HMIdentifierGraph> reloaded = load();
        ASSERT_NE(reloaded, nullptr);
        EXPECT_EQ(reloaded->identifierDictionaries(), graph->identifierDictionaries());
        EXPECT_EQ(reloaded->lastSyncDate(), kFirstSync.addDays(run));
    }
    EXPECT_TRUE(folded);
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join(QLatin1Char('\n')).toStdString();
}

TEST(HMIdentifierGraphJournal, AGraphFileWithItsJournalLoadsToTheGraphAFoldWouldHaveWritten)
{
    JournalFiles files;
    saveLargeGraph();
    const QByteArray graphFile = readFile(files.graphPath());
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    // Every kind of change: entries replaced in place, removed, moved to the end, appended.
    QVariantMap replaced = graph->dictionaryAt(7);
    replaced.insert(QStringLiteral("isNewRecord"), true);
    ASSERT_TRUE(graph->replaceDictionaryForHarrowmereUid(QStringLiteral("d7"), replaced));
    graph->removeDictionaryForHarrowmereUid(QStringLiteral("d300"));
    runConduit(*graph, pagesOf(3, QStringLiteral("r1")), QStringLiteral("r1"), kSecondSync);
    ASSERT_TRUE(QFileInfo::exists(files.journalPath()));
    ASSERT_EQ(readFile(files.graphPath()), graphFile);

    // What folding the graph at the conduit's end would have written.
    HMProfile other;
    other.setFilename(QStringLiteral("folded"));
    ASSERT_TRUE(HMProfileManager::saveIdentifier(*graph, other, kConduit));
    const QByteArray foldedFile = readFile(files.graphPath().replace(QStringLiteral("journal_A"), QStringLiteral("folded_A")));

    const std::shared_ptr<HMIdentifierGraph> reloaded = load();
    ASSERT_NE(reloaded, nullptr);
    EXPECT_EQ(reloaded->identifierDictionaries(), graph->identifierDictionaries());
    EXPECT_EQ(reloaded->lastSyncDate(), kSecondSync);
    ASSERT_TRUE(HMProfileManager::saveIdentifier(*reloaded, journalProfile(), kConduit));
    EXPECT_FALSE(QFileInfo::exists(files.journalPath()));
    EXPECT_EQ(readFile(files.graphPath()), foldedFile);
}

// What a loaded graph notes of its files: a whole journal is part of them, and the list it leaves is
// the graph's own, shared entry by entry; whether the journal changes entries or only the date
// decides when it is folded. Past a torn line the files hold the graph file's list alone.
TEST(HMIdentifierGraphJournal, ALoadedGraphNotesTheListItsFilesHoldAndWhetherItsJournalChangesEntries)
{
    JournalFiles files;
    saveLargeGraph();
    const auto sharesEveryEntry = [](const HMIdentifierGraph &graph, const HMIdentifierGraph::Entries &held) {
        return held.size() == graph.count() &&
               std::equal(held.cbegin(), held.cend(), graph.entries().cbegin(),
                          [](const auto &left, const auto &right) { return left.isSharedWith(right); });
    };
    {
        const std::shared_ptr<HMIdentifierGraph> graph = load();
        graph->setLastSyncDate(kSecondSync);
        ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    }
    const std::shared_ptr<HMIdentifierGraph> dated = load();
    ASSERT_TRUE(dated->durableState().has_value());
    EXPECT_FALSE(dated->durableState()->doesJournalHoldEntries);
    EXPECT_EQ(dated->durableState()->journalLines, 1);
    EXPECT_EQ(dated->durableState()->lastSyncDate, kSecondSync);
    EXPECT_TRUE(sharesEveryEntry(*dated, dated->durableEntries()));

    runConduit(*dated, pagesOf(3, QStringLiteral("r1")), QStringLiteral("r1"), kSecondSync.addDays(1));
    const QList<QVariantMap> journaled = dated->identifierDictionaries();
    const std::shared_ptr<HMIdentifierGraph> changed = load();
    ASSERT_EQ(changed->identifierDictionaries(), journaled);
    EXPECT_TRUE(changed->durableState()->doesJournalHoldEntries);
    EXPECT_EQ(changed->durableState()->journalLines, 4);
    EXPECT_EQ(changed->durableState()->journalBytes, files.journal().size());
    EXPECT_TRUE(sharesEveryEntry(*changed, changed->durableEntries()));

    // The last line torn: the graph has the lines before it, its files the graph file's list.
    writeFile(files.journalPath(), files.journal().chopped(5));
    const std::shared_ptr<HMIdentifierGraph> torn = load();
    const HMIdentifierGraph::DurableState &durable = *torn->durableState();
    EXPECT_EQ(torn->identifierDictionaries(), journaled);
    EXPECT_EQ(durable.journalBytes, 0);
    EXPECT_FALSE(durable.doesJournalHoldEntries);
    EXPECT_EQ(durable.lastSyncDate, kFirstSync);
    EXPECT_EQ(HMIdentifierGraph::dictionariesOf(torn->durableEntries()).size(), kLargeGraphEntries);
    EXPECT_FALSE(sharesEveryEntry(*torn, torn->durableEntries()));
}

// A batch that confirms records in place (each replaced where it stands) and appends new ones is
// journaled from the graph's own log: the list is neither copied nor walked, and the journal holds
// what a comparison of the whole lists gives, replayed to the same graph.
TEST(HMIdentifierGraphJournal, BatchesOfReplacementsAndAppendsAreJournaledWithoutCopyingTheList)
{
    JournalFiles files;
    saveLargeGraph();
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    for (int batch = 0; batch < 6; ++batch) {
        const QByteArray journal = QFileInfo::exists(files.journalPath()) ? files.journal() : QByteArray();
        const HMIdentifierGraphEntry *const list = graph->entries().constData();
        for (int index = batch * 5; index < batch * 5 + 5; ++index) {
            const QString hmUid = QStringLiteral("d%1").arg(index);
            ASSERT_TRUE(graph->replaceDictionaryForHarrowmereUid(hmUid, entry(hmUid, QStringLiteral("confirmed"))));
        }
        EXPECT_EQ(graph->entries().constData(), list) << "batch " << batch;
        graph->appendDictionary(entry(QStringLiteral("new-%1").arg(batch), QStringLiteral("m%1").arg(batch)));
        const HMIdentifierGraph::Changes changes = graph->changesSinceDurable();
        EXPECT_EQ(changes.replaced.size(), 5u);
        EXPECT_EQ(changes.appended.size(), 1);
        const platform::Result<QByteArray> line = HMIdentifierGraphJournal::changeLine(
            HMIdentifierGraph::changesBetween(graph->durableEntries(), graph->entries()), std::nullopt);
        ASSERT_TRUE(line);
        ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
        EXPECT_EQ(files.journal().mid(journal.isEmpty() ? files.journalLines().first().size() + 1 : journal.size()), *line)
            << "batch " << batch;
        EXPECT_TRUE(graph->changesSinceDurable().isEmpty());
    }
    EXPECT_EQ(load()->identifierDictionaries(), graph->identifierDictionaries());
}

TEST(HMIdentifierGraphJournal, RunsThatChangeNothingAddADateLineEachAndAreFoldedAfterAFewHundred)
{
    JournalFiles files;
    // Lines of dates only are not held against the graph file's length: their number bounds them.
    saveLargeGraph();
    const QByteArray graphFile = readFile(files.graphPath());
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    int run = 1;
    for (; run <= 300; ++run) {
        graph->setLastSyncDate(kFirstSync.addSecs(run));
        ASSERT_TRUE(HMProfileManager::finishIdentifier(*graph, journalProfile(), kConduit));
        if (!QFileInfo::exists(files.journalPath()))
            break;
        ASSERT_EQ(readFile(files.graphPath()), graphFile) << run;
        ASSERT_EQ(files.journalLines().size(), run + 1);
    }
    EXPECT_EQ(run, 257);
    EXPECT_NE(readFile(files.graphPath()), graphFile);
    EXPECT_EQ(load()->lastSyncDate(), kFirstSync.addSecs(257));
    EXPECT_EQ(load()->identifierDictionaries(), graph->identifierDictionaries());
}

// Run only as the child of the test below: one conduit run on the stored graph, killed right after
// the step named in the environment.
TEST(HMIdentifierGraphJournal, DISABLED_ConduitRunKilledAtAStep)
{
    const QStringList killAt = qEnvironmentVariable(kKillAtVariable).split(QLatin1Char(':'));
    if (killAt.size() != 2)
        GTEST_SKIP() << "only run by AConduitKilledAtEachStepKeepsEveryRecordExactlyOnce";
    static const QMap<QString, Step> steps{{QStringLiteral("journal-append"), Step::JournalAppended},
                                           {QStringLiteral("graph-written"), Step::GraphFileWritten},
                                           {QStringLiteral("journal-removed"), Step::JournalRemoved}};
    const int occurrence = killAt.at(1).toInt();
    // The hook is copied for each call: the count is kept outside it.
    auto seen = std::make_shared<int>(0);
    HMIdentifierGraphJournal::setStepHook([wanted = steps.value(killAt.at(0)), occurrence, seen](Step step) {
        if (step == wanted && ++*seen == occurrence)
            ::kill(::getpid(), SIGKILL);
    });
    const std::shared_ptr<HMIdentifierGraph> graph = load();
    ASSERT_NE(graph, nullptr);
    runConduit(*graph, pagesOf(qEnvironmentVariableIntValue(kChangesVariable), QStringLiteral("r1")),
               QStringLiteral("r1"), kSecondSync);
    HMIdentifierGraphJournal::setStepHook(nullptr);
}

namespace {

// Runs the child test above on the files of the current data home; whether it was killed.
bool runConduitChild(const QString &killAt, int changedPerPage)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kKillAtVariable), killAt);
    environment.insert(QString::fromLatin1(kChangesVariable), QString::number(changedPerPage));
    child.setProcessEnvironment(environment);
    child.start(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget(),
                {QStringLiteral("--gtest_filter=HMIdentifierGraphJournal.DISABLED_ConduitRunKilledAtAStep"),
                 QStringLiteral("--gtest_also_run_disabled_tests")});
    EXPECT_TRUE(child.waitForStarted());
    EXPECT_TRUE(child.waitForFinished(60000));
    EXPECT_TRUE(child.exitStatus() == QProcess::CrashExit || child.exitCode() == 0) << child.readAll().toStdString();
    return child.exitStatus() == QProcess::CrashExit;
}

// Every hmUid of the graph stands once.
void expectEachRecordOnce(const HMIdentifierGraph &graph)
{
    QSet<QString> seen;
    for (const QVariantMap &dictionary : graph.identifierDictionaries()) {
        const QString hmUid = dictionary.value(QStringLiteral("hmUid")).toString();
        EXPECT_FALSE(seen.contains(hmUid)) << hmUid.toStdString();
        seen.insert(hmUid);
    }
}

} // namespace

TEST(HMIdentifierGraphJournal, AConduitKilledAtEachStepKeepsEveryRecordExactlyOnce)
{
    enum State { AfterFirstPage, AfterSecondPage, Finished };
    struct Row
    {
        const char *name;
        int changedPerPage;
        const char *killAt;
        State state;
        bool folds;
    };
    const Row rows[] = {
        {"a short run, after its first page", 2, "journal-append:1", AfterFirstPage, false},
        {"a short run, after its second page", 2, "journal-append:2", AfterSecondPage, false},
        {"a short run, after its end's date line", 2, "journal-append:3", Finished, false},
        {"a long run, after its second page", 60, "journal-append:2", AfterSecondPage, true},
        {"a long run, after its fold wrote the graph file", 60, "graph-written:1", Finished, true},
        {"a long run, after its fold removed the journal", 60, "journal-removed:1", Finished, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        JournalFiles files;
        saveLargeGraph();
        HMIdentifierGraph expected;
        expected.setEntries(load()->entries());
        QList<QList<QVariantMap>> states;
        for (const QStringList &page : pagesOf(row.changedPerPage, QStringLiteral("r1"))) {
            applyPage(expected, page, QStringLiteral("r1"));
            states.append(expected.identifierDictionaries());
        }
        states.append(states.last());

        EXPECT_TRUE(runConduitChild(QString::fromLatin1(row.killAt), row.changedPerPage));
        const std::shared_ptr<HMIdentifierGraph> killed = load();
        ASSERT_NE(killed, nullptr);
        EXPECT_EQ(killed->identifierDictionaries(), states.at(row.state));
        EXPECT_EQ(killed->lastSyncDate(), row.state == Finished ? kSecondSync : kFirstSync);
        expectEachRecordOnce(*killed);

        // The run done again ends where a run never killed ends.
        EXPECT_FALSE(runConduitChild(QStringLiteral("none:0"), row.changedPerPage));
        const std::shared_ptr<HMIdentifierGraph> resumed = load();
        ASSERT_NE(resumed, nullptr);
        EXPECT_EQ(resumed->identifierDictionaries(), states.last());
        EXPECT_EQ(resumed->lastSyncDate(), kSecondSync);
        expectEachRecordOnce(*resumed);
        EXPECT_EQ(QFileInfo::exists(files.journalPath()), !row.folds);
    }
}
