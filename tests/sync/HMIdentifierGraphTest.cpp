#include "sync/HMIdentifierGraph.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyList.h"
#include "sync/HMProfile.h"
#include "sync/HMIdentifierGraphArchive.h"
#include "sync/HMProfileManager.h"

#include "ProfileTestSupport.h"
#include "foundation/LogCapture.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>

#include <gtest/gtest.h>

namespace {

QVariantMap entry(const QString &hmUid, const QString &nativeId, const QVariantMap &more = {})
{
    QVariantMap dictionary = more;
    dictionary.insert(QStringLiteral("hmUid"), hmUid);
    dictionary.insert(QStringLiteral("nativeId"), nativeId);
    return dictionary;
}

QString hmUidOf(const QVariantMap &dictionary)
{
    return dictionary.value(QStringLiteral("hmUid")).toString();
}

QString nativeIdOf(const QVariantMap &dictionary)
{
    return dictionary.value(QStringLiteral("nativeId")).toString();
}

HMProfile profileWithFile(const QString &filename)
{
    HMProfile profile;
    profile.setFilename(filename);
    return profile;
}

// An archived object that calls itself a graph but holds texts where the dictionaries belong.
class TextsAsGraph final : public platform::KeyedArchivable
{
public:
    QString archiveClassName() const override { return QStringLiteral("HMIdentifierGraph"); }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override
    {
        coder.encodeObject(QVariant(QVariantList{QStringLiteral("x")}), QStringLiteral("identifierDictionaries"));
    }
    void initWithCoder(platform::KeyedUnarchiver &) override {}
};

// Clears the Outlook-sync flag again when a test ends, whichever way it ends.
struct ScopedOutlookSync
{
    ScopedOutlookSync() { GlobalVariables::setIsOutlookSync(true); }
    ~ScopedOutlookSync() { GlobalVariables::setIsOutlookSync(false); }
};

} // namespace

TEST(HMIdentifierGraph, LooksUpExactlyAndPicksTheFirstOfDuplicates)
{
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({entry(QStringLiteral("uid-1"), QStringLiteral("native-1")),
                                      entry(QStringLiteral("UID-2"), QStringLiteral("native-2")),
                                      entry(QStringLiteral("uid-3"), QStringLiteral("native-2"))});
    LogCapture log(LOG_LEVEL_VERBOSE);

    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("uid-1")), QStringLiteral("native-1"));
    EXPECT_EQ(graph.harrowmereUidForNativeId(QStringLiteral("native-1")), QStringLiteral("uid-1"));
    // Lookups are case-sensitive.
    EXPECT_FALSE(graph.dictionaryForHarrowmereUid(QStringLiteral("uid-2")).has_value());
    EXPECT_TRUE(graph.nativeIdForHarrowmereUid(QStringLiteral("uid-2")).isNull());
    EXPECT_FALSE(graph.dictionaryForNativeId(QStringLiteral("missing")).has_value());
    EXPECT_EQ(log.lines().size(), 0);

    const std::optional<QVariantMap> shared = graph.dictionaryForNativeId(QStringLiteral("native-2"));
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(hmUidOf(*shared), QStringLiteral("UID-2"));
    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines.first(),
              QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications."));

    // The packed lookups find the same entries, the graph's own, and warn alike.
    const std::optional<HMIdentifierGraphEntry> first = graph.entryForNativeId(QStringLiteral("native-2"));
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->isSharedWith(graph.entries().at(1)));
    EXPECT_EQ(first->toMap(), *shared);
    EXPECT_EQ(log.lines().size(), 2);
    const std::optional<HMIdentifierGraphEntry> byUid = graph.entryForHarrowmereUid(QStringLiteral("uid-3"));
    ASSERT_TRUE(byUid.has_value());
    EXPECT_TRUE(byUid->isSharedWith(graph.entries().at(2)));
    EXPECT_FALSE(graph.entryForHarrowmereUid(QStringLiteral("UID-3")).has_value());
    EXPECT_FALSE(graph.entryForNativeId(QStringLiteral("missing")).has_value());
}

// The lookup by an identifier's UTF-8 finds what the lookup by its text finds, the same entry and
// the same warning, whatever form the entries keep their identifiers in: plain and beyond ASCII,
// duplicated, empty or null, a text UTF-8 cannot carry, a value that is no text, none at all.
TEST(HMIdentifierGraph, LooksUpByUtf8AsByText)
{
    const QString loneSurrogate = QStringLiteral("lone-") + QChar(0xd800);
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({
        entry(QStringLiteral("uid-1"), QStringLiteral("native-1")),
        entry(QStringLiteral("uid-2"), QStringLiteral("caf\u00e9-\U0001F382")),
        entry(QStringLiteral("uid-3"), QStringLiteral("twice")),
        entry(QStringLiteral("uid-4"), QStringLiteral("twice")),
        entry(QStringLiteral("uid-5"), QStringLiteral("")),
        entry(QStringLiteral("uid-6"), QString()),
        entry(QStringLiteral("uid-7"), loneSurrogate),
        {{QStringLiteral("hmUid"), QStringLiteral("uid-8")}, {QStringLiteral("nativeId"), 42}},
        {{QStringLiteral("hmUid"), QStringLiteral("uid-9")}},
        entry(QStringLiteral("uid-10"), QStringLiteral("NATIVE-1")),
    });
    const QStringList probes = {QStringLiteral("native-1"), QStringLiteral("NATIVE-1"), QStringLiteral("Native-1"),
                                QStringLiteral("caf\u00e9-\U0001F382"), QStringLiteral("cafe-"),
                                QStringLiteral("twice"), QString(), QStringLiteral("42"),
                                QStringLiteral("lone-"), QStringLiteral("missing"), QStringLiteral("uid-1")};
    for (const QString &probe : probes) {
        SCOPED_TRACE(probe.toStdString());
        LogCapture log(LOG_LEVEL_VERBOSE);
        const std::optional<HMIdentifierGraphEntry> byText = graph.entryForNativeId(probe);
        const qsizetype warnings = log.lines().size();
        const QByteArray utf8 = probe.toUtf8();
        const std::optional<HMIdentifierGraphEntry> byUtf8 = graph.entryForNativeIdUtf8(utf8);
        EXPECT_EQ(log.lines().size(), 2 * warnings);
        ASSERT_EQ(byUtf8.has_value(), byText.has_value());
        if (byText) {
            EXPECT_TRUE(byUtf8->isSharedWith(*byText));
        }
    }
    EXPECT_TRUE(graph.entryForNativeIdUtf8("twice")->isSharedWith(graph.entries().at(2)));
    EXPECT_TRUE(graph.entryForNativeIdUtf8("")->isSharedWith(graph.entries().at(4)));
    EXPECT_FALSE(graph.entryForNativeIdUtf8("42").has_value());
}

TEST(HMIdentifierGraph, ReplacesEntriesIgnoringCaseAndDiacritics)
{
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({entry(QStringLiteral("ABC-1"), QStringLiteral("n1")),
                                      entry(QStringLiteral("other"), QStringLiteral("n2")),
                                      entry(QStringLiteral("Caf\u00e9-9"), QStringLiteral("n3"))});
    LogCapture log(LOG_LEVEL_VERBOSE);

    // An identifier that differs only in case replaces the stored entry; the new one goes last.
    graph.setDictionary(entry(QStringLiteral("abc-1"), QStringLiteral("n1-new")), QStringLiteral("abc-1"));
    ASSERT_EQ(graph.identifierDictionaries().size(), 3);
    EXPECT_EQ(hmUidOf(graph.identifierDictionaries().last()), QStringLiteral("abc-1"));
    // Exact lookups find the new entry by its own spelling only.
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("abc-1")), QStringLiteral("n1-new"));
    EXPECT_TRUE(graph.nativeIdForHarrowmereUid(QStringLiteral("ABC-1")).isNull());

    // Diacritics do not count either, and the dictionary is appended whatever its own "hmUid" holds.
    graph.setDictionary(entry(QStringLiteral("elsewhere"), QStringLiteral("n3-new")), QStringLiteral("CAFE-9"));
    EXPECT_EQ(graph.identifierDictionaries().size(), 3);
    EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("elsewhere")), QStringLiteral("n3-new"));
    EXPECT_FALSE(graph.dictionaryForHarrowmereUid(QStringLiteral("Caf\u00e9-9")).has_value());

    // Nothing to replace: a warning, and the entry is added.
    graph.setDictionary(entry(QStringLiteral("fresh"), QStringLiteral("n4")), QStringLiteral("fresh"));
    EXPECT_EQ(graph.identifierDictionaries().size(), 4);
    EXPECT_TRUE(logContains(log, QStringLiteral("No identifier found for Uid 'fresh'")));

    // nullopt removes and adds nothing.
    graph.setDictionary(std::nullopt, QStringLiteral("OTHER"));
    EXPECT_EQ(graph.identifierDictionaries().size(), 3);
    EXPECT_FALSE(graph.dictionaryForNativeId(QStringLiteral("n2")).has_value());
}

TEST(HMIdentifierGraph, RemovesEveryLooseMatch)
{
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({
        entry(QStringLiteral("dup"), QStringLiteral("a")), entry(QStringLiteral("DUP"), QStringLiteral("b")),
        entry(QStringLiteral("d\u00fcp"), QStringLiteral("c")), entry(QStringLiteral("keep"), QStringLiteral("d"))});
    LogCapture log(LOG_LEVEL_VERBOSE);
    graph.setDictionary(entry(QStringLiteral("Dup"), QStringLiteral("e")), QStringLiteral("Dup"));
    ASSERT_EQ(graph.identifierDictionaries().size(), 2);
    EXPECT_EQ(nativeIdOf(graph.identifierDictionaries().at(0)), QStringLiteral("d"));
    EXPECT_EQ(nativeIdOf(graph.identifierDictionaries().at(1)), QStringLiteral("e"));
    EXPECT_TRUE(
        logContains(log, QStringLiteral("Multiple identifier dictionaries found, deleting all and adding new one.")));

    graph.removeDictionaryForHarrowmereUid(QStringLiteral("D\u00dcP"));
    ASSERT_EQ(graph.identifierDictionaries().size(), 1);
    EXPECT_EQ(nativeIdOf(graph.identifierDictionaries().first()), QStringLiteral("d"));
    graph.removeDictionaryForHarrowmereUid(QStringLiteral("gone"));
    EXPECT_TRUE(logContains(log, QStringLiteral("No identifier found for Uid 'gone'")));
    EXPECT_EQ(graph.identifierDictionaries().size(), 1);
}

// Exact lookups by "hmUid" find each spelling's own entry, the first where several share it, on a
// fresh graph as after appends and loose removals: texts that differ in case, diacritics or a lone
// surrogate only are told apart.
TEST(HMIdentifierGraph, ExactLookupsTellApartWhatFoldsAlike)
{
    const QString surrogate = QStringLiteral("s") + QChar(char16_t(0xd800));
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({entry(QStringLiteral("dup"), QStringLiteral("a")),
                                      entry(QStringLiteral("DUP"), QStringLiteral("b")),
                                      entry(QStringLiteral("d\u00fcp"), QStringLiteral("c")),
                                      entry(QStringLiteral("DUP"), QStringLiteral("d")),
                                      entry(surrogate, QStringLiteral("e")),
                                      entry(QStringLiteral("s\ufffd"), QStringLiteral("f"))});
    LogCapture log(LOG_LEVEL_WARN);
    const auto expectFound = [&graph](const QList<std::pair<QString, QString>> &rows) {
        for (const auto &[hmUid, nativeId] : rows) {
            EXPECT_EQ(graph.nativeIdForHarrowmereUid(hmUid), nativeId) << hmUid.toStdString();
            EXPECT_EQ(graph.entryForHarrowmereUid(hmUid).has_value(), !nativeId.isNull()) << hmUid.toStdString();
        }
    };
    expectFound({{QStringLiteral("dup"), QStringLiteral("a")}, {QStringLiteral("DUP"), QStringLiteral("b")},
                 {QStringLiteral("d\u00fcp"), QStringLiteral("c")}, {QStringLiteral("Dup"), QString()},
                 {surrogate, QStringLiteral("e")}, {QStringLiteral("s\ufffd"), QStringLiteral("f")}});
    EXPECT_TRUE(logContains(log, QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications.")));

    // An appended spelling is found at once; a loose removal takes every spelling of "dup" and no other.
    graph.setDictionary(entry(QStringLiteral("Dup"), QStringLiteral("g")), QStringLiteral("Dup"));
    expectFound({{QStringLiteral("Dup"), QStringLiteral("g")}, {QStringLiteral("dup"), QString()},
                 {QStringLiteral("DUP"), QString()}, {QStringLiteral("d\u00fcp"), QString()},
                 {surrogate, QStringLiteral("e")}, {QStringLiteral("s\ufffd"), QStringLiteral("f")}});
    graph.removeDictionaryForHarrowmereUid(surrogate);
    expectFound({{surrogate, QString()}, {QStringLiteral("s\ufffd"), QStringLiteral("f")},
                 {QStringLiteral("Dup"), QStringLiteral("g")}});
}

// Loose matching folds only letters: the ASCII signs beside the capitals and the small letters in
// the character table, digits and signs stay what they are.
TEST(HMIdentifierGraph, LooseMatchesFoldLettersAndNothingBesideThem)
{
    struct Row
    {
        const char *stored;
        const char *asked;
        bool matches;
    };
    const Row rows[] = {
        {"ID-AZ", "id-az", true},   {"id-az", "ID-AZ", true},   {"Mixed.Case_9", "mIXED.cASE_9", true},
        {"x@1", "x`1", false},      {"x[1", "x{1", false},      {"x]1", "x}1", false},
        {"x^1", "x~1", false},      {"x-1", "x_1", false},      {"", "", true},
        {"Caf\u00c9", "caf\u00e9", true}, {"CAFE", "caf\u00e9", true}, {"abc", "abcd", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.stored) + " / " + row.asked);
        HMIdentifierGraph graph;
        graph.setIdentifierDictionaries(
            {entry(QString::fromUtf8(row.stored), QStringLiteral("n1")), entry(QStringLiteral("keep"), QStringLiteral("n2"))});
        graph.removeDictionaryForHarrowmereUid(QString::fromUtf8(row.asked));
        EXPECT_EQ(graph.count(), row.matches ? 1 : 2);
        EXPECT_EQ(graph.nativeIdForHarrowmereUid(QStringLiteral("keep")), QStringLiteral("n2"));
    }
}

TEST(HMIdentifierGraph, FilesRoundTripPerProfileAndConduit)
{
    ScopedDataHome home;
    const HMProfile profile = profileWithFile(QStringLiteral("0b9c6a52-3f1e-4f7a-9d7e-2c1b5a4e8f00"));
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({
        entry(QStringLiteral("uid-1"), QStringLiteral("native-1"),
              {{QStringLiteral("crcValue"), QStringLiteral("5F3A")}, {QStringLiteral("isNewRecord"), true}}),
        entry(QStringLiteral("uid-2"), QStringLiteral("native-2"),
              {{QStringLiteral("keys"), QVariantList{QStringLiteral("NOTE"), QStringLiteral("SUBJECT")}}})});
    graph.setLastSyncDate(QDateTime(QDate(2026, 11, 30), QTime(17, 45, 12, 250), Qt::UTC));

    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("D")));
    const QString file = home.path(QStringLiteral("0b9c6a52-3f1e-4f7a-9d7e-2c1b5a4e8f00_D.idgraph"));
    ASSERT_TRUE(QFile::exists(file));

    // The file is a plain keyed archive that any property-list reader opens.
    const platform::Result<QVariant> plist = platform::readPropertyList(file);
    ASSERT_TRUE(plist.ok());
    EXPECT_TRUE(plist->toMap().value(QStringLiteral("$top")).toMap().contains(QStringLiteral("HMIdentifierGraph")));

    const std::shared_ptr<HMIdentifierGraph> loaded = profile.identifierGraphForConduit(QStringLiteral("D"));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->identifierDictionaries(), graph.identifierDictionaries());
    EXPECT_EQ(loaded->lastSyncDate(), graph.lastSyncDate());

    // Another conduit of the same profile has no file yet: an empty graph, and still no file.
    const std::shared_ptr<HMIdentifierGraph> contacts = profile.identifierGraphForConduit(QStringLiteral("A"));
    ASSERT_NE(contacts, nullptr);
    EXPECT_TRUE(contacts->identifierDictionaries().isEmpty());
    EXPECT_FALSE(contacts->lastSyncDate().isValid());
    EXPECT_FALSE(QFile::exists(home.path(QStringLiteral("0b9c6a52-3f1e-4f7a-9d7e-2c1b5a4e8f00_A.idgraph"))));

    EXPECT_TRUE(profile.saveIdentifierGraph(*contacts, QStringLiteral("A")));
    EXPECT_TRUE(QFile::exists(home.path(QStringLiteral("0b9c6a52-3f1e-4f7a-9d7e-2c1b5a4e8f00_A.idgraph"))));
}

// A file of several megabytes is read a piece at a time, its pages let go of as it is read: the
// graph and the digest its journal is checked against must still come from every byte of it.
TEST(HMIdentifierGraph, ALargeGraphFileAndItsJournalReadWholeWhileTheFileIsLetGoOfAsItIsRead)
{
    ScopedDataHome home;
    const HMProfile profile = profileWithFile(QStringLiteral("5d1e2f60-7a8b-4c9d-8e0f-1a2b3c4d5e6f"));
    HMIdentifierGraph graph;
    QList<QVariantMap> dictionaries;
    for (int index = 0; index < 6000; ++index) {
        dictionaries.append(entry(QStringLiteral("uid-%1").arg(index), QStringLiteral("native-%1").arg(index),
                                  {{QStringLiteral("crcValue"), QStringLiteral("%1").arg(index * 7919, 0, 16)},
                                   {QStringLiteral("keys"), QVariantList{QStringLiteral("PHONE %1 ").arg(index).repeated(40)}}}));
    }
    graph.setIdentifierDictionaries(dictionaries);
    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("A")));
    const QString file = home.path(QStringLiteral("5d1e2f60-7a8b-4c9d-8e0f-1a2b3c4d5e6f_A.idgraph"));
    ASSERT_GT(QFileInfo(file).size(), 2 << 20);
    // A change in the journal is replayed only on the file whose digest the journal names.
    ASSERT_TRUE(graph.replaceDictionaryForHarrowmereUid(QStringLiteral("uid-5999"),
                                                        entry(QStringLiteral("uid-5999"), QStringLiteral("native-new"))));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(graph, profile, QStringLiteral("A")));

    const std::shared_ptr<HMIdentifierGraph> loaded = profile.identifierGraphForConduit(QStringLiteral("A"));
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(loaded->count(), 6000);
    EXPECT_TRUE(loaded->identifierDictionaries() == graph.identifierDictionaries());
    EXPECT_EQ(loaded->nativeIdForHarrowmereUid(QStringLiteral("uid-5999")), QStringLiteral("native-new"));
}

TEST(HMIdentifierGraph, OutlookSyncsNeitherReadNorWriteGraphs)
{
    ScopedDataHome home;
    const HMProfile profile = profileWithFile(QStringLiteral("outlook-profile"));
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({entry(QStringLiteral("u"), QStringLiteral("n"))});
    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("T")));
    const QMap<QString, FileState> before = snapshotFolder(home.dataFolder());

    const ScopedOutlookSync outlook;
    EXPECT_EQ(HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("T")), nullptr);
    EXPECT_FALSE(HMProfileManager::saveIdentifier(HMIdentifierGraph(), profile, QStringLiteral("T")));
    EXPECT_FALSE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("M")));
    EXPECT_EQ(snapshotFolder(home.dataFolder()), before);
}

TEST(HMIdentifierGraph, DamagedFilesAreSetAsideAndFailedWritesSayNo)
{
    ScopedDataHome home;
    const HMProfile profile = profileWithFile(QStringLiteral("damaged"));
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({entry(QStringLiteral("u"), QStringLiteral("n"))});
    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("A")));
    const QByteArray good = readFile(home.path(QStringLiteral("damaged_A.idgraph")));
    LogCapture log(LOG_LEVEL_ERROR);

    // A damaged graph gives an empty one (the conduit syncs as a first sync) and is kept aside under
    // another name, never read again nor overwritten.
    const auto expectSetAside = [&](const QByteArray &bytes) {
        writeFile(home.path(QStringLiteral("damaged_A.idgraph")), bytes);
        const QStringList before = QDir(home.dataFolder()).entryList({QStringLiteral("damaged_A.idgraph.damaged-*")});
        const std::shared_ptr<HMIdentifierGraph> loaded =
            HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("A"));
        ASSERT_NE(loaded, nullptr);
        EXPECT_TRUE(loaded->identifierDictionaries().isEmpty());
        EXPECT_FALSE(loaded->lastSyncDate().isValid());
        EXPECT_FALSE(QFileInfo::exists(home.path(QStringLiteral("damaged_A.idgraph"))));
        const QStringList after = QDir(home.dataFolder()).entryList({QStringLiteral("damaged_A.idgraph.damaged-*")});
        ASSERT_EQ(after.size(), before.size() + 1);
    };
    expectSetAside(QByteArray("not a property list"));
    expectSetAside(good.left(good.size() / 2));
    // A keyed archive whose root key holds something else.
    platform::KeyedArchiver other;
    other.encodeObject(QVariant(QStringLiteral("text")), QStringLiteral("HMIdentifierGraph"));
    expectSetAside(other.finishEncoding().valueOr(QByteArray()));
    // Entries that are not dictionaries.
    platform::KeyedArchiver wrongEntries;
    wrongEntries.encodeObject(TextsAsGraph(), QStringLiteral("HMIdentifierGraph"));
    expectSetAside(wrongEntries.finishEncoding().valueOr(QByteArray()));
    for (qsizetype size = 0; size < good.size(); size += 7) {
        writeFile(home.path(QStringLiteral("damaged_A.idgraph")), good.left(size));
        EXPECT_NE(HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("A")), nullptr);
    }
    writeFile(home.path(QStringLiteral("damaged_A.idgraph")), good);
    const std::shared_ptr<HMIdentifierGraph> intact = HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("A"));
    ASSERT_NE(intact, nullptr);
    EXPECT_EQ(intact->identifierDictionaries().size(), 1);
    EXPECT_FALSE(log.lines().isEmpty());

    // A file name that would leave the data folder, or a conduit letter that is not one, is refused.
    EXPECT_FALSE(
        HMProfileManager::saveIdentifier(graph, profileWithFile(QStringLiteral("../escape")), QStringLiteral("A")));
    EXPECT_FALSE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("../x")));
    EXPECT_EQ(HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("-")), nullptr);

    // A write that cannot happen answers NO (here a folder stands where the file would go).
    ASSERT_TRUE(QDir(home.dataFolder()).mkdir(QStringLiteral("damaged_M.idgraph")));
    EXPECT_FALSE(HMProfileManager::saveIdentifier(graph, profile, QStringLiteral("M")));
}

// A graph file of ours is mapped while it is read; the graph loaded from it holds nothing of the
// mapping, which is gone once the load returns: every entry reads, after the file too is gone, as
// the graph read from a copy of the file's bytes. So for graphs the file reader reads itself, for
// one it leaves to the unarchiver, and for a graph in XML as earlier versions wrote it.
TEST(HMIdentifierGraph, LoadedGraphsHoldNothingOfTheirFilesBytes)
{
    ScopedDataHome home;
    const HMProfile profile = profileWithFile(QStringLiteral("mapped"));
    const QString path = home.path(QStringLiteral("mapped_A.idgraph"));
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC);
    QVariant deep = QStringLiteral("bottom");
    for (int level = 0; level < 20; ++level)
        deep = QVariantList{deep};
    QList<QVariantMap> dictionaries;
    for (int index = 0; index < 300; ++index) {
        const QString number = QString::number(index);
        dictionaries.append(entry(QStringLiteral("uid-") + number, QStringLiteral("native-") + number,
                                  {{QStringLiteral("WrittenModificationDate"), date.addSecs(index)},
                                   {QStringLiteral("data"), QByteArray(index % 40, char(index))},
                                   {QStringLiteral("list"),
                                    QVariantList{number, qint64(index), QVariantMap{{number, date}}}},
                                   {QStringLiteral("text \u00e9"), QStringLiteral("caf\u00e9 ") + number}}));
    }
    QList<QVariantMap> withDeepList = dictionaries;
    withDeepList.first().insert(QStringLiteral("deep"), deep);
    const auto archiveOf = [&date](const QList<QVariantMap> &entries) {
        HMIdentifierGraph graph;
        graph.setIdentifierDictionaries(entries);
        graph.setLastSyncDate(date);
        return HMIdentifierGraphArchive::archivedData(graph, QStringLiteral("HMIdentifierGraph")).valueOr(QByteArray());
    };
    const QByteArray binary = archiveOf(dictionaries);
    const QByteArray unarchiverOnly = archiveOf(withDeepList);
    ASSERT_FALSE(
        HMIdentifierGraphArchive::streamedGraph(unarchiverOnly, QStringLiteral("HMIdentifierGraph")).has_value());
    const platform::Result<QByteArray> xml = platform::serializePropertyList(
        platform::parsePropertyList(binary).valueOr(QVariant()), platform::PropertyListFormat::Xml);
    ASSERT_TRUE(xml.ok());
    const std::pair<const char *, QByteArray> files[] = {
        {"read by the file reader", binary}, {"left to the unarchiver", unarchiverOnly}, {"in XML", *xml}};
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(platform::writeFileAtomically(path, bytes, platform::FilePermissions::OwnerOnly).ok());
        const platform::Result<std::unique_ptr<HMIdentifierGraph>> expected =
            HMIdentifierGraphArchive::unarchivedGraph(QByteArray(bytes.constData(), bytes.size()),
                                                      QStringLiteral("HMIdentifierGraph"));
        ASSERT_TRUE(expected.ok());
        ASSERT_TRUE(platform::readOwnFileBytes(path, platform::kDefaultMaxFileBytes).value().isMapped());
        const std::shared_ptr<HMIdentifierGraph> loaded =
            HMProfileManager::identifierGraphForProfile(profile, QStringLiteral("A"));
        ASSERT_TRUE(QFile::remove(path));
        ASSERT_NE(loaded, nullptr);
        ASSERT_EQ(loaded->count(), 300);
        EXPECT_EQ(loaded->lastSyncDate(), date);
        EXPECT_TRUE(loaded->entries() == (*expected)->entries());
        for (qsizetype index = 0; index < loaded->count(); ++index)
            EXPECT_EQ(loaded->dictionaryAt(index), (*expected)->dictionaryAt(index)) << index;
        EXPECT_EQ(loaded->nativeIdForHarrowmereUid(QStringLiteral("uid-299")), QStringLiteral("native-299"));
    }
}

TEST(HMIdentifierGraph, LogsEveryEntry)
{
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries({
        entry(QStringLiteral("u1"), QStringLiteral("n1"), {{QStringLiteral("crcValue"), 42}})});
    {
        LogCapture log(LOG_LEVEL_INFO);
        graph.logGraph();
        EXPECT_EQ(log.lines(), QStringList({QStringLiteral("-------- Logging Identifier Graph --------"),
                                            QStringLiteral("Native ID: n1 \t UID: u1"),
                                            QStringLiteral("--------   End Identifier Graph   --------")}));
    }
    LogCapture log(LOG_LEVEL_VERBOSE);
    graph.logGraph();
    EXPECT_TRUE(logContains(log, QStringLiteral("'crcValue' => '42'")));
    EXPECT_TRUE(logContains(log, QStringLiteral("'hmUid' => 'u1'")));
}
