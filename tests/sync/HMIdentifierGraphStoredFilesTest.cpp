// Graph files and journals kept from earlier versions (tests/sync/samples/identifier-graph) load to
// the same graph as the files this version writes of the same changes. The samples are what
// writeSampleFiles below wrote on the version that first kept them: a graph the streamed writer
// wrote, one only the keyed archiver wrote (a real number and a mixed list among its values), and a
// graph file with a journal of three pages (entries appended; one replaced and one removed; the date
// and an entry changed).
#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include "ProfileTestSupport.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

const QString kConduit = QStringLiteral("A");
const QDateTime kSyncDate(QDate(2026, 11, 30), QTime(17, 45, 12, 250), Qt::UTC);
const QVariantList kMixedList{QStringLiteral("a"), 1.5f, QVariantMap{{QStringLiteral("k"), 1}}};

QVariantMap entry(int number, QVariantMap extra = {})
{
    QVariantMap dictionary{
        {QStringLiteral("hmUid"), QStringLiteral("hm-%1").arg(number)},
        {QStringLiteral("nativeId"), QStringLiteral("native-%1").arg(number)},
        {QStringLiteral("crcValue"), QStringLiteral("%1").arg(number * 7919, 8, 16, QLatin1Char('0'))},
        {QStringLiteral("lastModified"), kSyncDate.addSecs(-number * 60)}};
    dictionary.insert(extra);
    return dictionary;
}

HMProfile profileNamed(const QString &name)
{
    HMProfile profile;
    profile.setFilename(name);
    return profile;
}

void save(const QString &name, const QList<QVariantMap> &dictionaries)
{
    HMIdentifierGraph graph;
    graph.setIdentifierDictionaries(dictionaries);
    graph.setLastSyncDate(kSyncDate);
    ASSERT_TRUE(HMProfileManager::saveIdentifier(graph, profileNamed(name), kConduit));
}

// Writes the sample files into the current data folder: "streamed", "archived" and "journaled".
void writeSampleFiles()
{
    save(QStringLiteral("streamed"),
         {entry(1), entry(2, {{QStringLiteral("isUnconfirmedAdd"), true}}), entry(3),
          entry(4, {{QStringLiteral("tags"), QStringList{QStringLiteral("a"), QStringLiteral("ü")}}})});
    save(QStringLiteral("archived"),
         {entry(1), entry(2, {{QStringLiteral("weight"), 1.5f}}), entry(3, {{QStringLiteral("mixed"), kMixedList}})});

    const HMProfile journaled = profileNamed(QStringLiteral("journaled"));
    save(journaled.filename(), {entry(1), entry(2), entry(3)});
    const std::shared_ptr<HMIdentifierGraph> graph = HMProfileManager::identifierGraphForProfile(journaled, kConduit);
    ASSERT_TRUE(graph);
    graph->appendDictionary(entry(4));
    graph->appendDictionary(entry(5));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journaled, kConduit));
    graph->replaceDictionaryForHarrowmereUid(QStringLiteral("hm-2"), entry(2, {{QStringLiteral("weight"), 2.5f}}));
    graph->removeDictionaryForHarrowmereUid(QStringLiteral("hm-3"));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journaled, kConduit));
    graph->setLastSyncDate(kSyncDate.addDays(1));
    graph->replaceDictionaryForHarrowmereUid(QStringLiteral("hm-4"), entry(6));
    ASSERT_TRUE(HMProfileManager::journalIdentifier(*graph, journaled, kConduit));
}

const QStringList kSampleFiles{QStringLiteral("streamed_A.idgraph"), QStringLiteral("archived_A.idgraph"),
                               QStringLiteral("journaled_A.idgraph"), QStringLiteral("journaled_A.idgraph.journal")};

QString samplesFolder()
{
    return testsupport::sourceDir() + QStringLiteral("/tests/sync/samples/identifier-graph");
}

struct Loaded
{
    QList<QVariantMap> dictionaries;
    QDateTime lastSyncDate;
};

Loaded load(const QString &name)
{
    const std::shared_ptr<HMIdentifierGraph> graph =
        HMProfileManager::identifierGraphForProfile(profileNamed(name), kConduit);
    if (!graph)
        return {};
    return {graph->identifierDictionaries(), graph->lastSyncDate()};
}

} // namespace

TEST(HMIdentifierGraphStoredFiles, FilesOfEarlierVersionsLoadAsTheFilesWrittenNow)
{
    std::map<QString, Loaded> written;
    {
        ScopedDataHome home;
        writeSampleFiles();
        for (const QString &name :
             {QStringLiteral("streamed"), QStringLiteral("archived"), QStringLiteral("journaled")})
            written[name] = load(name);
    }
    ScopedDataHome home;
    for (const QString &file : kSampleFiles) {
        ASSERT_TRUE(QFile::copy(samplesFolder() + QLatin1Char('/') + file, home.path(file))) << file.toStdString();
        QFile::setPermissions(home.path(file), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    for (const auto &[name, expected] : written) {
        SCOPED_TRACE(name.toStdString());
        const Loaded kept = load(name);
        ASSERT_FALSE(kept.dictionaries.isEmpty());
        EXPECT_EQ(kept.dictionaries, expected.dictionaries);
        EXPECT_EQ(kept.lastSyncDate, expected.lastSyncDate);
    }
    // What the journal's three pages leave, spelled out.
    const Loaded journaled = load(QStringLiteral("journaled"));
    QStringList uids;
    for (const QVariantMap &dictionary : journaled.dictionaries)
        uids.append(dictionary.value(QStringLiteral("hmUid")).toString());
    EXPECT_EQ(uids, (QStringList{QStringLiteral("hm-1"), QStringLiteral("hm-2"), QStringLiteral("hm-6"),
                                 QStringLiteral("hm-5")}));
    EXPECT_EQ(journaled.dictionaries[1].value(QStringLiteral("weight")).toDouble(), 2.5);
    EXPECT_EQ(journaled.lastSyncDate, kSyncDate.addDays(1));
    const QVariantList mixed = load(QStringLiteral("archived")).dictionaries[2].value(QStringLiteral("mixed")).toList();
    ASSERT_EQ(mixed.size(), 3);
    EXPECT_EQ(mixed[0].toString(), QStringLiteral("a"));
    EXPECT_EQ(mixed[1].toDouble(), 1.5);
    EXPECT_EQ(mixed[2].toMap().value(QStringLiteral("k")).toInt(), 1);
}
