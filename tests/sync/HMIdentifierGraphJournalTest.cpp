// The identifier graph's journal through the profile manager's files: pages journaled, the end of a
// conduit folding them into the graph file, and the states a crash leaves behind (a torn last line,
// a journal beside a graph file written after it).
#include "sync/HMIdentifierGraphJournal.h"

#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/KeyedArchiver.h"

#include "ProfileTestSupport.h"
#include "foundation/LogCapture.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

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

    // The next run that changes an entry folds everything, its date too.
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

    // A page journals against the XML file, which stays as it is until the conduit ends.
    graph->appendDictionary(entry(QStringLiteral("d4"), QStringLiteral("n4")));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journalProfile(), kConduit));
    EXPECT_EQ(readFile(files.graphPath()), xml);
    EXPECT_EQ(load()->identifierDictionaries(), graph->identifierDictionaries());

    graph->setLastSyncDate(kSecondSync);
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
    EXPECT_EQ(read.value_or(QByteArray()), QByteArrayLiteral("d1=n1 d2=n2 d3=n3 d4=n4 ") + QByteArray::number(sinceReference) + '\n');
    const std::shared_ptr<HMIdentifierGraph> folded = load();
    EXPECT_EQ(folded->identifierDictionaries(), graph->identifierDictionaries());
    EXPECT_EQ(folded->lastSyncDate(), kSecondSync);
}
