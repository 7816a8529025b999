// The cloud transport's records against the cloud peer in-process: listing bodies and pages, the
// shrinking page, recovery listings, update batches and their per-record answers, and contact photos
// both ways, with the bodies compared byte for byte against texts written by hand.

#include "CloudTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "push/Client/HMXMPPClient.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString kDigestPart = QStringLiteral("\"Password\":\"5EBE2294ECD0E0F08EAB7690D2A6EE69\"");

QStringList bodiesOf(const cloudpeer::CloudPeer &peer, const QString &path)
{
    QStringList bodies;
    for (const cloudpeer::ReceivedRequest &request : peer.requests()) {
        if (request.path == path)
            bodies << QString::fromUtf8(request.body);
    }
    return bodies;
}

void putContacts(cloudpeer::CloudPeer &peer, int count, const QString &prefix = QStringLiteral("c"))
{
    QList<std::pair<QString, QJsonObject>> records;
    for (int index = 0; index < count; ++index)
        records.append({QStringLiteral("%1%2").arg(prefix).arg(index),
                        QJsonObject{{QStringLiteral("First"), QStringLiteral("Ann")},
                                    {QStringLiteral("Last"), QStringLiteral("Row %1").arg(index)}}});
    peer.putRecords(kUser, QStringLiteral("Contacts"), records);
}

QByteArray jpegOf(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

struct LoggedOn
{
    PeerFixture fixture;
    RecordingClientDelegate delegate;
    std::unique_ptr<HMQuillnestSync> sync;

    LoggedOn()
    {
        sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);
        if (!sync->logon() || !delegate.waitFor(QStringLiteral("logon 1")))
            ADD_FAILURE() << "no logon";
        delegate.clearEvents();
        fixture.peer->clearRequests();
    }
    QString listBody(const QString &table, const QString &limit, const QString &offset,
                     const QString &modified = {}) const
    {
        return QStringLiteral("{\"Limit\":\"%1\",%2\"Offset\":\"%3\",%4,\"Session\":\"%5\",\"Table\":\"%6\","
                              "\"Username\":\"u@x.com\"}")
            .arg(limit, modified.isEmpty() ? QString() : QStringLiteral("\"Modified\":\"%1\",").arg(modified), offset,
                 kDigestPart, sync->sessionIdentifier(), table);
    }
};

HMSyncRecord memoRecord(const QString &id, const QString &subject, bool isNew, bool isDelete)
{
    HMSyncRecord record;
    record.setHmxUid(id);
    record.setIsNew(isNew);
    record.setIsDelete(isDelete);
    record.setDictionary({{QStringLiteral("SUBJECT"), subject}, {QStringLiteral("NOTE"), QStringLiteral("n ") + subject}});
    return record;
}

} // namespace

TEST(CloudRecords, ListsPageByPageFromOffsetZeroWithBodiesAsWritten)
{
    LoggedOn run;
    putContacts(*run.fixture.peer, 512);
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("page 512"), QStringLiteral("more 1"),
                                                   QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    EXPECT_TRUE(run.sync->isKeepAliveRunning());
    for (int wait = 0; wait < 100 && HMXMPPClient::currentStatus().isEmpty(); ++wait)
        QThread::msleep(10);
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Synchronizing"));
    // Exactly 512 records take a second call, which lists nothing and ends the conduit.
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    EXPECT_EQ(run.delegate.events().mid(4), QStringList({QStringLiteral("page 0"), QStringLiteral("more 0"),
                                                          QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    const QList<QVariantMap> first = run.delegate.pages().value(0);
    ASSERT_EQ(first.size(), 512);
    EXPECT_EQ(first.at(0).value(QStringLiteral("UID")).toString(), QStringLiteral("c0"));
    EXPECT_EQ(first.at(0).value(QStringLiteral("NEWLNAME")).toString(), QStringLiteral("Row 0"));
    EXPECT_EQ(first.at(511).value(QStringLiteral("UID")).toString(), QStringLiteral("c511"));

    // Another conduit starts at offset 0, with its since-date in GMT.
    ASSERT_TRUE(run.sync->listRecordsForConduit(2, QDateTime(QDate(2024, 3, 5), QTime(10, 0, 7), QTimeZone::utc())));
    const QStringList bodies = bodiesOf(*run.fixture.peer, QStringLiteral("/v1/getdata.php"));
    ASSERT_EQ(bodies.size(), 3);
    EXPECT_EQ(bodies.at(0).toStdString(), run.listBody(QStringLiteral("Contacts"), QStringLiteral("512"), QStringLiteral("0")).toStdString());
    EXPECT_EQ(bodies.at(1).toStdString(), run.listBody(QStringLiteral("Contacts"), QStringLiteral("512"), QStringLiteral("512")).toStdString());
    EXPECT_EQ(bodies.at(2).toStdString(),
              run.listBody(QStringLiteral("Calendar"), QStringLiteral("512"), QStringLiteral("0"),
                           QStringLiteral("2024-03-05 10:00:07"))
                  .toStdString());
}

TEST(CloudRecords, AnUnreadablePageShrinksFourfoldAndEndsTheRunBelowTwo)
{
    LoggedOn run;
    putContacts(*run.fixture.peer, 40);
    // Two unreadable replies: the third try at 32 reads, and the next page starts at 32.
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::Garbage, QStringLiteral("/v1/getdata.php"), 2});
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("page 32"), QStringLiteral("more 1"),
                                                   QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    QStringList bodies = bodiesOf(*run.fixture.peer, QStringLiteral("/v1/getdata.php"));
    ASSERT_EQ(bodies.size(), 4);
    EXPECT_EQ(bodies.at(1).toStdString(), run.listBody(QStringLiteral("Contacts"), QStringLiteral("128"), QStringLiteral("0")).toStdString());
    EXPECT_EQ(bodies.at(3).toStdString(), run.listBody(QStringLiteral("Contacts"), QStringLiteral("512"), QStringLiteral("32")).toStdString());

    // Unreadable at every size: 512, 128, 32, 8 and 2, then code 6 with the reply's text.
    run.delegate.clearEvents();
    run.fixture.peer->clearRequests();
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::Garbage, QStringLiteral("/v1/getdata.php"), 0});
    ASSERT_TRUE(run.sync->listRecordsForConduit(3, QDateTime()));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("error 6 <<<not json>>> {\"Result\":"),
                                                   QStringLiteral("listed 0"), QStringLiteral("stop")}));
    bodies = bodiesOf(*run.fixture.peer, QStringLiteral("/v1/getdata.php"));
    QStringList limits;
    for (const QString &body : bodies)
        limits << QJsonDocument::fromJson(body.toUtf8()).object().value(QStringLiteral("Limit")).toString();
    EXPECT_EQ(limits, QStringList({"512", "128", "32", "8", "2"}));
    EXPECT_FALSE(run.sync->isKeepAliveRunning());
}

TEST(CloudRecords, ListingFailuresEndTheCallAndBoundedPagesKeepTheirLimit)
{
    LoggedOn run;
    // A page past its limit keeps the first 512 rows, and memory stays bounded.
    QList<std::pair<QString, QJsonObject>> many;
    for (int index = 0; index < 10000; ++index)
        many.append({QStringLiteral("t%1").arg(index), QJsonObject{{QStringLiteral("Subject"), QStringLiteral("Task %1").arg(index)}}});
    run.fixture.peer->putRecords(kUser, QStringLiteral("Tasks"), many);
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::ExtraRows, {}, 0});
    ASSERT_TRUE(run.sync->listRecordsForConduit(3, QDateTime()));
    EXPECT_EQ(run.delegate.events().mid(0, 2), QStringList({QStringLiteral("page 512"), QStringLiteral("more 1")}));
    EXPECT_EQ(run.delegate.pages().value(0).value(511).value(QStringLiteral("UID")).toString(), QStringLiteral("t511"));
    run.fixture.peer->clearSwitches();

    // A reply without its list hands over an empty page and ends the conduit.
    run.delegate.clearEvents();
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::NoList, {}, 0});
    ASSERT_TRUE(run.sync->listRecordsForConduit(3, QDateTime()));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("page 0"), QStringLiteral("more 0"),
                                                   QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    run.fixture.peer->clearSwitches();

    // An endless page and a cut connection each end the waiting call with an error.
    for (const cloudpeer::SwitchKind kind : {cloudpeer::SwitchKind::Endless, cloudpeer::SwitchKind::CutBefore}) {
        run.delegate.clearEvents();
        run.fixture.peer->addSwitch({kind, QStringLiteral("/v1/getdata.php"), 1});
        ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
        const QStringList events = run.delegate.events();
        ASSERT_GE(events.size(), 3) << events.join(u'|').toStdString();
        EXPECT_TRUE(events.at(0).startsWith(QStringLiteral("error "))) << events.join(u'|').toStdString();
        EXPECT_EQ(events.mid(1), QStringList({QStringLiteral("stop"), QStringLiteral("listed 0")}));
    }
}

TEST(CloudRecords, RecoveryListsTheConduitWholeAndHandsOverOnlyTheLoggedIds)
{
    LoggedOn run;
    putContacts(*run.fixture.peer, 3, QStringLiteral("Rec-"));
    GlobalVariables::setErrorRecoverySyncConduits(QStringLiteral("AD"));
    GlobalVariables::setErrorLogContactIds({QStringLiteral("rec-1")});
    const QDateTime since(QDate(2024, 3, 5), QTime(10, 0), QTimeZone::utc());
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, since));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("page 1"), QStringLiteral("more 1"),
                                                   QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    EXPECT_EQ(run.delegate.pages().value(0).value(0).value(QStringLiteral("UID")).toString(), QStringLiteral("Rec-1"));
    EXPECT_EQ(GlobalVariables::getErrorRecoverySyncConduits(), QStringLiteral("D"));
    // The conduit is listed once more, normally, from the start.
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, since));
    const QStringList bodies = bodiesOf(*run.fixture.peer, QStringLiteral("/v1/getdata.php"));
    ASSERT_EQ(bodies.size(), 2);
    EXPECT_EQ(bodies.at(0).toStdString(), run.listBody(QStringLiteral("Contacts"), QStringLiteral("512"), QStringLiteral("0")).toStdString());
    EXPECT_EQ(bodies.at(1).toStdString(),
              run.listBody(QStringLiteral("Contacts"), QStringLiteral("512"), QStringLiteral("0"),
                           QStringLiteral("2024-03-05 10:00:00"))
                  .toStdString());
    GlobalVariables::setErrorRecoverySyncConduits(QString());
    GlobalVariables::setErrorLogContactIds({});
}

TEST(CloudRecords, TwelveRecordsGoInBatchesOfFiveFiveAndTwoAnsweredPerRecord)
{
    LoggedOn run;
    QList<HMSyncRecord> records;
    for (int index = 0; index < 12; ++index) {
        const bool isNew = index < 5 || index == 11;
        const bool isDelete = index >= 9; // 11: new and deleted
        records << memoRecord(QStringLiteral("m%1").arg(index), QStringLiteral("Memo %1").arg(index), isNew, isDelete);
    }
    run.fixture.peer->putRecord(kUser, QStringLiteral("Notes"), QStringLiteral("m9"), QJsonObject{{"Subject", "old"}});
    for (int call = 0; call < 3; ++call)
        ASSERT_TRUE(run.sync->updateConduit(4, records));
    const QStringList bodies = bodiesOf(*run.fixture.peer, QStringLiteral("/v1/update.php"));
    ASSERT_EQ(bodies.size(), 3);
    const QString frame = QStringLiteral("{\"Deletes\":[%1],\"Inserts\":[%2],%3,\"Session\":\"%4\",\"Table\":\"Notes\","
                                         "\"Updates\":[%5],\"Username\":\"u@x.com\"}");
    const auto memo = [](int index) {
        return QStringLiteral("{\"CategoryColors\":\"\",\"Id\":\"m%1\",\"Note\":\"n Memo %1\",\"Subject\":\"Memo %1\"}").arg(index);
    };
    const QString session = run.sync->sessionIdentifier();
    EXPECT_EQ(bodies.at(0).toStdString(),
              frame.arg(QString(), QStringList({memo(0), memo(1), memo(2), memo(3), memo(4)}).join(u','), kDigestPart,
                        session, QString())
                  .toStdString());
    EXPECT_EQ(bodies.at(1).toStdString(),
              frame.arg(QStringLiteral("{\"Id\":\"m9\"}"), QString(), kDigestPart, session,
                        QStringList({memo(5), memo(6), memo(7), memo(8)}).join(u','))
                  .toStdString());
    EXPECT_EQ(bodies.at(2).toStdString(),
              frame.arg(QStringLiteral("{\"Id\":\"m10\"},{\"Id\":\"m11\"}"), QString(), kDigestPart, session, QString())
                  .toStdString());
    EXPECT_EQ(run.delegate.events(),
              QStringList({"confirmed 5", "detailed 5", "photos-stage 0", "remain-update 1", "detailed 5", "photos-stage 0",
                           "remain-update 1", "detailed 2", "remain-update 0", "photos-stage 0", "update 1"}));
    const QMap<QString, cloudpeer::StoredRecord> stored = run.fixture.peer->records(kUser, QStringLiteral("Notes"));
    EXPECT_EQ(stored.size(), 10); // m0 to m8 and m9, m9 deleted; m10 and m11 never existed there
    EXPECT_TRUE(stored.value(QStringLiteral("m9")).deleted);
    EXPECT_EQ(stored.value(QStringLiteral("m7")).fields.value(QStringLiteral("Subject")).toString(), QStringLiteral("Memo 7"));
}

TEST(CloudRecords, RefusedOrUnansweredRecordsFailTheConduitAfterItsLastBatch)
{
    LoggedOn run;
    QList<HMSyncRecord> records;
    for (int index = 0; index < 7; ++index)
        records << memoRecord(QStringLiteral("r%1").arg(index), QStringLiteral("R %1").arg(index), index < 4, false);
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::RefuseInsert, {}, 0, 0, 0, 2});
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::BadUpdate, {}, 0, 0, 0, 3});
    ASSERT_TRUE(run.sync->updateConduit(2, records));
    ASSERT_TRUE(run.sync->updateConduit(2, records));
    // Inserts r1 and r3 refused (not confirmed), update r6 answered "bad".
    EXPECT_EQ(run.delegate.confirmedIds(), QVariantMap({{"r0", "r0"}, {"r2", "r2"}}));
    const QStringList events = run.delegate.events();
    EXPECT_TRUE(events.contains(QStringLiteral("error 6 The cloud did not take 3 of the records sent; they go again at "
                                               "the next sync.")))
        << events.join(u'|').toStdString();
    EXPECT_EQ(events.last(), QStringLiteral("update 0"));
    run.fixture.peer->clearSwitches();

    // Records left out of the reply are as unsettled as refused ones.
    run.delegate.clearEvents();
    run.sync->resetSyncRecordListPartialCount();
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::OmitRecords, {}, 0, 0, 0, 4});
    QList<HMSyncRecord> four = records.mid(0, 4);
    ASSERT_TRUE(run.sync->updateConduit(2, four));
    EXPECT_TRUE(run.delegate.events().contains(QStringLiteral(
        "error 6 The cloud did not take 1 of the records sent; they go again at the next sync.")));
    run.fixture.peer->clearSwitches();

    // A reply that is no JSON object fails the batch: nothing is taken as done.
    run.delegate.clearEvents();
    run.sync->resetSyncRecordListPartialCount();
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::Garbage, QStringLiteral("/v1/update.php"), 1});
    ASSERT_TRUE(run.sync->updateConduit(3, four));
    EXPECT_EQ(run.delegate.events(),
              QStringList({"error 6 The cloud's answer to the update could not be read.", "remain-update 0", "update 0",
                           "stop"}));
}

TEST(CloudRecords, DetailedResultsOfAMixedReplyGoInsertsUpdatesDeletes)
{
    const std::optional<QVariantMap> reply = HMQuillnestSync::dictionaryForJsonString(QStringLiteral(
        "{\"Deletes\":[{\"Id\":\"d1\",\"Result\":1},{\"Id\":\"d2\",\"Result\":4}],\"Updates\":{\"u1\":\"OK\","
        "\"u2\":\"Record locked\"},\"Inserts\":[{\"Id\":\"i1\",\"Result\":1},\"junk\",{\"Id\":\"i2\",\"Result\":0}]}"));
    ASSERT_TRUE(reply);
    QStringList lines;
    for (const QVariantMap &entry : HMQuillnestSync::detailedResultsForReply(*reply))
        lines << HMQuillnestSync::jsonStringFromDictionary(entry);
    EXPECT_EQ(lines.join(u'\n').toStdString(),
              "{\"ActionKey\":0,\"IdKey\":\"i1\",\"MessageKey\":\"1\",\"ResultKey\":0}\n"
              "{\"ActionKey\":0,\"IdKey\":\"i2\",\"MessageKey\":\"0\",\"ResultKey\":1}\n"
              "{\"ActionKey\":1,\"IdKey\":\"u1\",\"MessageKey\":\"OK\",\"ResultKey\":0}\n"
              "{\"ActionKey\":1,\"IdKey\":\"u2\",\"MessageKey\":\"Record locked\",\"ResultKey\":1}\n"
              "{\"ActionKey\":2,\"IdKey\":\"d1\",\"MessageKey\":\"1\",\"ResultKey\":0}\n"
              "{\"ActionKey\":2,\"IdKey\":\"d2\",\"MessageKey\":\"4\",\"ResultKey\":1}");
}

TEST(CloudRecords, PhotoUploadBodyAsWritten)
{
    static const char bytes[] = "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\r\n--x\xFF\xD9";
    const QByteArray jpeg(bytes, sizeof bytes - 1);
    const QByteArray expected =
        QByteArray("-----------------------------7d81b516112482\r\n"
                   "Content-Disposition: form-data; name=\"json\"\r\n"
                   "\r\n"
                   "{\"Session\":\"S1\", \"Id\":\"C42\"}\r\n"
                   "-----------------------------7d81b516112482\r\n"
                   "Content-Disposition: form-data; name=\"photo\"; filename=\"picture\"\r\n"
                   "Content-Type: image/jpeg\r\n"
                   "\r\n") +
        jpeg + QByteArray("\r\n-----------------------------7d81b516112482--");
    EXPECT_EQ(HMQuillnestSync::photoUploadBody(QStringLiteral("S1"), QStringLiteral("C42"), jpeg).toHex().toStdString(),
              expected.toHex().toStdString());
}

TEST(CloudRecords, FetchesListedPhotosAsJpegFilesAndSkipsWhatIsNoSafePicture)
{
    LoggedOn run;
    GlobalVariables::setShouldSyncContactPhotos(true);
    cloudpeer::CloudPeer &peer = *run.fixture.peer;
    putContacts(peer, 1, QStringLiteral("good"));
    peer.setPhoto(kUser, QStringLiteral("good0"), jpegOf(40, 30));
    peer.setPhoto(kUser, QStringLiteral("text0"), QByteArray("this is no picture"));
    peer.setPhoto(kUser, QStringLiteral("../escape"), jpegOf(4, 4));
    peer.setPhoto(kUser, QStringLiteral("gone0"), jpegOf(4, 4));
    peer.deleteRecord(kUser, QStringLiteral("Contacts"), QStringLiteral("gone0"));
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("page 4"), QStringLiteral("more 0"),
                                                   QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    QStringList asked;
    for (const QString &body : bodiesOf(peer, QStringLiteral("/v1/get_photo.php")))
        asked << QJsonDocument::fromJson(body.toUtf8()).object().value(QStringLiteral("Id")).toString();
    EXPECT_EQ(asked, QStringList({QStringLiteral("good0"), QStringLiteral("text0")}));
    EXPECT_EQ(bodiesOf(peer, QStringLiteral("/v1/get_photo.php")).value(0).toStdString(),
              QStringLiteral("{\"Id\":\"good0\",\"Session\":\"%1\"}").arg(run.sync->sessionIdentifier()).toStdString());
    const QString folder = QDir(HMOutlookDatFileHelper::dataFolderPath()).filePath(QStringLiteral("temp"));
    const QString path = QDir(folder).filePath(QStringLiteral("good0.jpeg"));
    EXPECT_EQ(run.sync->getContactPhotos(), QVariantMap({{QStringLiteral("good0"), path}}));
    QImage stored(path, "JPEG");
    EXPECT_EQ(stored.size(), QSize(40, 30));
    EXPECT_FALSE(QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther |
                                                  QFileDevice::WriteOther));
    EXPECT_FALSE(QFileInfo::exists(QDir(folder).filePath(QStringLiteral("text0.jpeg"))));
    EXPECT_FALSE(QFileInfo::exists(QDir(folder).filePath(QStringLiteral("../escape.jpeg"))));

    // A 100 MB photo is refused past the reply cap and skipped; the page still ends.
    run.delegate.clearEvents();
    run.sync->clearContactPhotos();
    peer.addSwitch({cloudpeer::SwitchKind::Oversize, QStringLiteral("/v1/get_photo.php"), 0});
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    EXPECT_EQ(run.delegate.events().mid(2), QStringList({QStringLiteral("pictures"), QStringLiteral("listed 1")}));
    EXPECT_TRUE(run.sync->getContactPhotos().isEmpty());
    peer.clearSwitches();

    // Photos switched off: no download, the controller is told at once.
    GlobalVariables::setShouldSyncContactPhotos(false);
    peer.clearRequests();
    ASSERT_TRUE(run.sync->listRecordsForConduit(1, QDateTime()));
    EXPECT_TRUE(bodiesOf(peer, QStringLiteral("/v1/get_photo.php")).isEmpty());
}

TEST(CloudRecords, UploadsPhotosInPassesOfFiveAndEndsTheStageWithUnreadablePictures)
{
    LoggedOn run;
    GlobalVariables::setShouldSyncContactPhotos(true);
    QVariantMap withPhotos;
    for (int index = 0; index < 12; ++index) {
        run.fixture.peer->putRecord(kUser, QStringLiteral("Contacts"), QStringLiteral("dev%1").arg(index, 2, 10, QChar(u'0')),
                                    QJsonObject{{QStringLiteral("Last"), QStringLiteral("P%1").arg(index)}});
        withPhotos.insert(QStringLiteral("dev%1").arg(index, 2, 10, QChar(u'0')), QStringLiteral("olk%1").arg(index));
    }
    GlobalVariables::setContactIdsWithPhotos(withPhotos);
    const QByteArray jpeg = jpegOf(8, 8);
    run.sync->setPhotoReader([jpeg](const QString &outlookId) {
        return outlookId == QLatin1String("olk7") ? QByteArray() : jpeg;
    });
    run.sync->sendContactPhotos();
    ASSERT_TRUE(run.delegate.waitFor(QStringLiteral("photos-stage 0"), 20s));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("remain-update 0"), QStringLiteral("photos-stage 0")}))
        << run.delegate.events().join(u'|').toStdString();
    EXPECT_EQ(bodiesOf(*run.fixture.peer, QStringLiteral("/v1/update_photo.php")).size(), 11);
    const QMap<QString, cloudpeer::StoredRecord> stored = run.fixture.peer->records(kUser, QStringLiteral("Contacts"));
    EXPECT_EQ(stored.value(QStringLiteral("dev00")).photo, jpeg);
    EXPECT_TRUE(stored.value(QStringLiteral("dev07")).photo.isEmpty());
    EXPECT_EQ(stored.value(QStringLiteral("dev11")).photo, jpeg);
    EXPECT_TRUE(GlobalVariables::getContactIdsWithPhotos().isEmpty());

    // Switched off, the stage closes at once.
    run.delegate.clearEvents();
    GlobalVariables::setShouldSyncContactPhotos(false);
    run.sync->sendContactPhotos();
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("remain-update 0"), QStringLiteral("photos-stage 0")}))
        << run.delegate.events().join(u'|').toStdString();
}

TEST(CloudRecords, APhotoTheCloudDidNotTakeEndsTheRunInErrorAndTheRestStillGo)
{
    LoggedOn run;
    GlobalVariables::setShouldSyncContactPhotos(true);
    QVariantMap withPhotos;
    for (int index = 0; index < 3; ++index) {
        const QString id = QStringLiteral("dev%1").arg(index);
        run.fixture.peer->putRecord(kUser, QStringLiteral("Contacts"), id, QJsonObject{{QStringLiteral("Last"), id}});
        withPhotos.insert(id, QStringLiteral("olk%1").arg(index));
    }
    // A contact the cloud does not know is answered 400 "Result" 1; a 500 page fails another.
    withPhotos.insert(QStringLiteral("unknown"), QStringLiteral("olk9"));
    GlobalVariables::setContactIdsWithPhotos(withPhotos);
    const QByteArray jpeg = jpegOf(8, 8);
    run.sync->setPhotoReader([jpeg](const QString &) { return jpeg; });
    run.fixture.peer->addSwitch({cloudpeer::SwitchKind::Html500, QStringLiteral("/v1/update_photo.php"), 1});
    run.sync->sendContactPhotos();
    ASSERT_TRUE(run.delegate.waitFor(QStringLiteral("photos-stage 0"), 20s));
    EXPECT_EQ(run.delegate.events(),
              QStringList({QStringLiteral("error 6 The cloud did not take the photos of 2 contacts; they go again at the "
                                          "next sync."),
                           QStringLiteral("stop"), QStringLiteral("remain-update 0"), QStringLiteral("photos-stage 0")}))
        << run.delegate.events().join(u'|').toStdString();
    // The three uploads go at once: whichever met the 500 page is the one without its photo.
    QVariantMap missing;
    const QMap<QString, cloudpeer::StoredRecord> stored = run.fixture.peer->records(kUser, QStringLiteral("Contacts"));
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
        if (it.value().photo.isEmpty())
            missing.insert(it.key(), withPhotos.value(it.key()));
        else
            EXPECT_EQ(it.value().photo, jpeg) << it.key().toStdString();
    }
    ASSERT_EQ(missing.size(), 1);

    // The next stage sends both again by itself: the refused one is taken, the unknown contact is
    // refused a second time and given up.
    run.delegate.clearEvents();
    run.sync->sendContactPhotos();
    ASSERT_TRUE(run.delegate.waitFor(QStringLiteral("photos-stage 0"), 20s));
    EXPECT_EQ(run.delegate.events(),
              QStringList({QStringLiteral("error 6 The cloud did not take the photos of 1 contacts; they go again at the "
                                          "next sync."),
                           QStringLiteral("stop"), QStringLiteral("remain-update 0"), QStringLiteral("photos-stage 0")}))
        << run.delegate.events().join(u'|').toStdString();
    EXPECT_EQ(run.fixture.peer->records(kUser, QStringLiteral("Contacts")).value(missing.firstKey()).photo, jpeg);

    // Nothing is left to send again: the stage after ends clean.
    run.delegate.clearEvents();
    run.sync->sendContactPhotos();
    ASSERT_TRUE(run.delegate.waitFor(QStringLiteral("photos-stage 0"), 20s));
    EXPECT_EQ(run.delegate.events(), QStringList({QStringLiteral("remain-update 0"), QStringLiteral("photos-stage 0")}))
        << run.delegate.events().join(u'|').toStdString();
}

// A transport destroyed on another thread while a listing of its own waits at a cloud that never
// answers (the listing runs in the photo pass's timer tick, which the destructor waits for) cancels
// that listing and returns well before the listing's 30-second time limit. Later trials destroy it
// right as the listing begins, so that the going transport and the listing's request meet at every
// step: a request made as the transport goes is never sent and never waited for. (The photo pass is
// only the way to run a listing in a callback the destructor waits for.)
TEST(CloudRecords, ATransportDestroyedWhileAListingWaitsCancelsItAndDoesNotWaitForIt)
{
    PeerFixture fixture;
    for (int trial = 0; trial < 8; ++trial) {
        SCOPED_TRACE(trial);
        RecordingClientDelegate delegate;
        std::unique_ptr<HMQuillnestSync> transport =
            makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);
        ASSERT_TRUE(transport->logon() && delegate.waitFor(QStringLiteral("logon 1")));
        delegate.clearEvents();
        fixture.peer->clearRequests();
        GlobalVariables::setShouldSyncContactPhotos(true);
        QVariantMap withPhotos;
        for (int index = 0; index < 6; ++index) {
            const QString id = QStringLiteral("t%1dev%2").arg(trial).arg(index);
            fixture.peer->putRecord(kUser, QStringLiteral("Contacts"), id, QJsonObject{{QStringLiteral("Last"), id}});
            withPhotos.insert(id, QStringLiteral("olk%1").arg(index));
        }
        GlobalVariables::setContactIdsWithPhotos(withPhotos);
        fixture.peer->addSwitch({cloudpeer::SwitchKind::Stall, QStringLiteral("/v1/getdata.php")});

        // The first pass of five goes at once; the sixth photo is read in the next tick, where the
        // reader starts a listing the cloud never answers.
        std::mutex mutex;
        std::condition_variable changed;
        bool isListing = false;
        HMQuillnestSync *sync = transport.get();
        const QByteArray jpeg = jpegOf(8, 8);
        transport->setPhotoReader([&, sync](const QString &outlookId) {
            if (outlookId != QLatin1String("olk5"))
                return jpeg;
            {
                const std::lock_guard lock(mutex);
                isListing = true;
            }
            changed.notify_all();
            sync->listRecordsForConduit(1, QDateTime());
            return QByteArray();
        });
        transport->sendContactPhotos();

        std::atomic<bool> isDestroyed = false;
        std::chrono::steady_clock::duration destroying{};
        std::thread destroyer([&] {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return isListing; });
            }
            // The first trials wait until the listing's request is at the cloud; the later ones
            // destroy at once, a few microseconds later each time.
            if (trial < 2) {
                while (bodiesOf(*fixture.peer, QStringLiteral("/v1/getdata.php")).isEmpty())
                    std::this_thread::sleep_for(1ms);
            } else {
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100 * (trial - 2));
                while (std::chrono::steady_clock::now() < until) {
                }
            }
            const auto start = std::chrono::steady_clock::now();
            transport.reset();
            destroying = std::chrono::steady_clock::now() - start;
            isDestroyed = true;
        });
        for (int turn = 0; turn < 6000 && !isDestroyed; ++turn)
            spinMainLoop(10ms);
        destroyer.join();
        EXPECT_LT(destroying, 10s);
        // The cancelled listing handed over no page.
        EXPECT_FALSE(delegate.events().join(u'|').contains(QStringLiteral("page")))
            << delegate.events().join(u'|').toStdString();
        fixture.peer->clearSwitches();
    }
}
