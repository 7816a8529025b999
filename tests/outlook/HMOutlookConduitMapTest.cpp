// The id maps the shared Outlook conduit bookkeeping writes, on real files, byte for byte as each
// conduit's own rules stored them: the read's second less one as "LastModified" (the contact map keeps
// its dates as given, the others store a second later), the list command's moment, a Google run's own
// list date kept, the dates of a sync without a read; and pairs a killed run left aside joining the map
// when the next run starts.
#include "outlook/HMOutlookConduit.h"
#include "outlook/HMOutlookDatFileHelper.h"

#include "OutlookMapFixture.h"
#include "sync/HMData.h"

#include <QFile>

namespace {

using Conduit = HMOutlookDatFileHelper::Conduit;
using MapReads = HMOutlookConduit::MapReads;
using Step = HMOutlookConduit::Step;

class OutlookConduitMapTest : public OutlookMapFixture
{
protected:
    void SetUp() override
    {
        OutlookMapFixture::SetUp();
        GlobalVariables::setIsOutlookSync(true);
        GlobalVariables::setIsGoogleDirect(false);
    }
    void TearDown() override
    {
        GlobalVariables::setIsOutlookSync(false);
        GlobalVariables::setIsGoogleDirect(false);
    }
    static QString path(Conduit conduit) { return HMOutlookDatFileHelper().filePath(conduit); }
    static QByteArray bytes(Conduit conduit)
    {
        QFile file(path(conduit));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The map as it stood before the sync: one pair the sync deletes, one it keeps, and a list date.
    static void seedMap(Conduit conduit)
    {
        HMOutlookDatFileHelper map;
        ASSERT_TRUE(map.clearDatFile(conduitName(conduit)));
        HMOutlookDatFileHelper::Commit seed;
        seed.pairs = {{QStringLiteral("gone"), QStringLiteral("55")}, {QStringLiteral("kept"), QStringLiteral("56")}};
        seed.lastModified = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
        seed.listCommandDate = QDateTime::fromSecsSinceEpoch(1'700'000'050, Qt::UTC);
        ASSERT_TRUE(map.commitChanges(conduit, seed));
    }
    static QString conduitName(Conduit conduit)
    {
        static const char *const names[] = {"Contacts", "Calendar", "Tasks", "Memos"};
        return QLatin1String(names[int(conduit)]);
    }
    // The map after the seed and the commit as the data sources' own code made it, with one write.
    static QByteArray storedAsBefore(Conduit conduit, const QDateTime &lastModified, const QDateTime &listCommandDate)
    {
        seedMap(conduit);
        HMOutlookDatFileHelper::Commit commit;
        commit.pairs = {{QStringLiteral("dev-1"), QStringLiteral("101")}};
        commit.removals = {QStringLiteral("gone")};
        commit.lastModified = lastModified;
        commit.listCommandDate = listCommandDate;
        EXPECT_TRUE(HMOutlookDatFileHelper().commitChanges(conduit, commit));
        return bytes(conduit);
    }
};

qint64 nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

QDateTime at(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

// One sync's read and commit through the conduit; the seconds the read began and the list command
// returned in (nullopt when a call straddled a second: the caller tries again).
struct SyncSeconds
{
    qint64 readBegan = 0;
    qint64 listReturned = 0;
};

std::optional<SyncSeconds> readAndCommit(Conduit conduit, MapReads reads)
{
    HMOutlookConduit outlook(conduit, QStringLiteral("record"), QStringLiteral("record"), {}, reads);
    HMData data;
    SyncSeconds seconds;
    seconds.readBegan = nowSeconds();
    outlook.beginRead();
    if (nowSeconds() != seconds.readBegan)
        return std::nullopt;
    outlook.readDone();
    seconds.listReturned = nowSeconds();
    outlook.listCommandReturned();
    if (nowSeconds() != seconds.listReturned)
        return std::nullopt;
    data.uniqueIdsDictionary().insert(QStringLiteral("dev-1"), QStringLiteral("101"));
    data.idsToDeleteArray().append(QStringLiteral("gone"));
    outlook.commitUniqueIds(data, true);
    EXPECT_TRUE(outlook.failure().isEmpty()) << outlook.failure().toStdString();
    return seconds;
}

// Before the contacts moved onto the shared bookkeeping their commit stored the read's second less one
// as given, and the list command's moment; the other conduits took the read's second less two and the
// list command's moment, each stored a second later. Google runs stored no list date at the commit.
TEST_F(OutlookConduitMapTest, TheCommitStoresEachMapAsItsConduitDid)
{
    for (const bool google : {false, true}) {
        GlobalVariables::setIsGoogleDirect(google);
        for (const auto &[conduit, reads] : {std::pair{Conduit::Contacts, MapReads::OncePerRun},
                                             std::pair{Conduit::Tasks, MapReads::EveryTime},
                                             std::pair{Conduit::Calendar, MapReads::EveryTime}}) {
            SCOPED_TRACE(conduitName(conduit).toStdString() + (google ? " Google" : ""));
            std::optional<SyncSeconds> seconds;
            for (int attempt = 0; attempt < 5 && !seconds; ++attempt) {
                seedMap(conduit);
                seconds = readAndCommit(conduit, reads);
            }
            ASSERT_TRUE(seconds);
            const QByteArray written = bytes(conduit);
            const qint64 stampBack = conduit == Conduit::Contacts ? 1 : 2;
            const QByteArray before = storedAsBefore(conduit, at(seconds->readBegan - stampBack),
                                                     google ? QDateTime() : at(seconds->listReturned));
            EXPECT_EQ(written, before);
            EXPECT_TRUE(written.contains("<key>dev-1</key>"));
            EXPECT_FALSE(written.contains("<key>gone</key>"));
        }
    }
}

// A sync that read nothing from Outlook stored now as "LastModified" and the list command's moment:
// the contacts with two writes, the others with one. The map is the same.
TEST_F(OutlookConduitMapTest, TheDatesOfASyncWithoutAReadAreStoredAsBefore)
{
    for (const auto &[conduit, reads] : {std::pair{Conduit::Contacts, MapReads::OncePerRun},
                                         std::pair{Conduit::Memos, MapReads::EveryTime}}) {
        SCOPED_TRACE(conduitName(conduit).toStdString());
        QByteArray written;
        QByteArray before;
        for (int attempt = 0; attempt < 5 && (written.isEmpty() || written != before); ++attempt) {
            seedMap(conduit);
            const qint64 began = nowSeconds();
            {
                HMOutlookConduit outlook(conduit, QStringLiteral("record"), QStringLiteral("record"), {}, reads);
                outlook.listCommandReturned();
                outlook.saveChanges();
                EXPECT_TRUE(outlook.failure().isEmpty());
            }
            written = bytes(conduit);
            seedMap(conduit);
            HMOutlookDatFileHelper map;
            ASSERT_TRUE(map.writeLastModifiedDate(conduit));
            ASSERT_TRUE(map.writeLastListCommand(conduit, QDateTime::currentDateTimeUtc()));
            before = bytes(conduit);
            if (nowSeconds() != began)
                before.clear(); // a second passed between the two: try again
        }
        EXPECT_EQ(written, before);
    }
}

// Pairs the other side confirmed before a run was killed wait beside the map; the next run merges them
// before anything reads the map, reports it, and the file goes. Without such a file nothing is reported.
// A map read once per run answers its copy after the file changed under it; a Google run reads the file.
TEST_F(OutlookConduitMapTest, PairsLeftAsideJoinTheMapAtTheNextStart)
{
    seedMap(Conduit::Contacts);
    const QString confirmed = path(Conduit::Contacts) + QStringLiteral(".confirmed");
    QFile file(confirmed);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("dev-9\t909\nhalf a line");
    file.close();
    QList<Step> steps;
    HMOutlookConduit outlook(Conduit::Contacts, QStringLiteral("contact"), QStringLiteral("contact"),
                             [&steps](Step step) { steps.append(step); }, MapReads::OncePerRun);
    EXPECT_EQ(outlook.lastModifiedDate(), at(1'700'000'000));
    EXPECT_EQ(steps, QList<Step>{Step::PairsMerged});
    EXPECT_FALSE(QFile::exists(confirmed));
    EXPECT_EQ(outlook.pairs().value(QStringLiteral("909")), QStringLiteral("dev-9"));
    EXPECT_EQ(outlook.pairs().size(), 3);

    ASSERT_TRUE(QFile::remove(path(Conduit::Contacts)));
    EXPECT_EQ(outlook.pairs().size(), 3);
    HMOutlookConduit again(Conduit::Contacts, QStringLiteral("contact"), QStringLiteral("contact"),
                           [&steps](Step step) { steps.append(step); }, MapReads::OncePerRun);
    EXPECT_TRUE(again.pairs().isEmpty());
    EXPECT_EQ(steps.size(), 1);

    seedMap(Conduit::Contacts);
    GlobalVariables::setIsGoogleDirect(true);
    HMOutlookConduit google(Conduit::Contacts, QStringLiteral("contact"), QStringLiteral("contact"), {}, MapReads::OncePerRun);
    EXPECT_EQ(google.pairs().size(), 2);
    ASSERT_TRUE(QFile::remove(path(Conduit::Contacts)));
    EXPECT_TRUE(google.pairs().isEmpty());
}

} // namespace
