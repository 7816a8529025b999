// Contact photos of an Outlook profile through the cloud, driver and both peers as programs: Outlook's
// pictures go up, a picture put in the cloud lands on its Outlook contact, and an upload the cloud
// does not take, or a download it does not hand over, ends the run in error and goes again at the
// next sync.

#include "CloudDriverSupport.h"
#include "OutlookPeerProcess.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QThread>

#include <gtest/gtest.h>

namespace {

QByteArray jpegOf(int side, Qt::GlobalColor color)
{
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

// Outlook's contacts Given0 Family0 ... of which the first `pictured` have the picture.
QJsonObject outlookSeed(const QByteArray &picture, int count = 4, int pictured = 2)
{
    QJsonArray contacts;
    for (int index = 0; index < count; ++index) {
        QJsonObject contact{{"id", 100 + index},
                            {"folder", 1},
                            {"created", "2026-01-01T00:00:00Z"},
                            {"modified", "2026-01-02T00:00:00Z"},
                            {"firstName", QStringLiteral("Given%1").arg(index)},
                            {"lastName", QStringLiteral("Family%1").arg(index)}};
        if (index < pictured)
            contact.insert("picture", QString::fromLatin1(picture.toBase64()));
        contacts.append(contact);
    }
    auto folder = [](int id, const char *kind, const char *name) {
        return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
    };
    return {{"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                   folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")}},
            {"contacts", contacts}};
}

// Cloud records by name ("First Last") with their "Photo" flag.
QMap<QString, int> photoFlags(const PeerProcess &peer)
{
    QMap<QString, int> flags;
    for (const QJsonObject &record : peer.records(QStringLiteral("Contacts"))) {
        if (record.value("Deleted").toInt() == 0)
            flags.insert(record.value("First").toString() + u' ' + record.value("Last").toString(),
                         record.value("Photo").toInt());
    }
    return flags;
}

struct OutlookCloudRun
{
    explicit OutlookCloudRun(int count = 4, int pictured = 2) : peer(folder.path())
    {
        outlook = std::make_unique<OutlookPeerProcess>();
        EXPECT_TRUE(outlook->isReady());
        outlook->seed(outlookSeed(picture, count, pictured));
    }
    QStringList arguments() const
    {
        return {QStringLiteral("--contacts-store"), QStringLiteral("outlook"), QStringLiteral("--cloud-conduits"),
                QStringLiteral("contacts")};
    }
    QStringList environment() const
    {
        return {QStringLiteral("HOME=") + outlook->home(), QStringLiteral("XDG_RUNTIME_DIR=") + outlook->runtimeDir()};
    }
    DriverRun sync() const { return runDriver(desktop, peer, arguments(), std::nullopt, environment()); }
    std::unique_ptr<QProcess> start() const { return startDriver(desktop, peer, arguments(), environment()); }
    // Outlook's contacts ("First Last") with whether each has a picture.
    QMap<QString, bool> outlookPictures(QStringList &names) const
    {
        QMap<QString, bool> pictures;
        for (const QJsonValue &value : outlook->dump().value("contacts").toArray()) {
            const QJsonObject contact = value.toObject();
            const QString name = contact.value("firstName").toString() + u' ' + contact.value("lastName").toString();
            names << name;
            pictures.insert(name, !contact.value("picture").toString().isEmpty());
        }
        names.sort();
        return pictures;
    }
    // Puts the picture in the cloud on the contact of that first name; false when there is none.
    bool putCloudPicture(const QString &firstName, const QByteArray &jpeg) const
    {
        for (const QJsonObject &record : peer.records(QStringLiteral("Contacts"))) {
            if (record.value("First").toString() != firstName)
                continue;
            peer.control("/peer/photo", QJsonObject{{"Username", "u@x.com"}, {"Id", record.value("Id")},
                                                     {"Photo", QString::fromLatin1(jpeg.toBase64())}});
            return true;
        }
        return false;
    }
    QByteArray pictureOf(const QString &firstName) const
    {
        for (const QJsonValue &contact : outlook->dump().value("contacts").toArray()) {
            if (contact.toObject().value("firstName").toString() == firstName)
                return QByteArray::fromBase64(contact.toObject().value("picture").toString().toLatin1());
        }
        return {};
    }

    QTemporaryDir folder;
    PeerProcess peer;
    Desktop desktop;
    std::unique_ptr<OutlookPeerProcess> outlook;
    QByteArray picture = jpegOf(16, Qt::red);
};

} // namespace

TEST(CloudOutlookPhotos, PicturesGoBothWaysAndARefusedUploadOrDownloadGoesAgain)
{
    OutlookCloudRun run;
    ASSERT_GT(run.peer.httpsPort, 0);

    // The first upload of a picture meets a refusing cloud: the run ends in error, the contact goes
    // again at the next sync with its picture; every contact is in the cloud once.
    run.peer.addSwitch(QStringLiteral("html-500"), QStringLiteral("/v1/update_photo.php"), 1);
    const DriverRun refused = run.sync();
    EXPECT_NE(refused.exitCode, 0) << refused.output.toStdString();
    EXPECT_TRUE(refused.output.contains(QStringLiteral("did not take the photos of 1 contacts")))
        << refused.output.toStdString();
    const DriverRun again = run.sync();
    ASSERT_EQ(again.exitCode, 0) << again.output.toStdString();
    const QMap<QString, int> flags = photoFlags(run.peer);
    EXPECT_EQ(flags, (QMap<QString, int>{{QStringLiteral("Given0 Family0"), 1},
                                         {QStringLiteral("Given1 Family1"), 1},
                                         {QStringLiteral("Given2 Family2"), 0},
                                         {QStringLiteral("Given3 Family3"), 0}}));
    EXPECT_TRUE(duplicatesIn(run.peer.liveNames(QStringLiteral("Contacts"))).isEmpty());

    // A picture put in the cloud lands on its Outlook contact, as a JPEG.
    ASSERT_TRUE(run.putCloudPicture(QStringLiteral("Given3"), jpegOf(12, Qt::blue)));

    // The cloud answers the download in error: the run ends in error and the picture is asked for
    // again. The pause puts the next run's start two seconds past the picture's change, so a run that
    // moved the contacts' listing date anyway would never list the contact again.
    QThread::sleep(2);
    run.peer.addSwitch(QStringLiteral("html-500"), QStringLiteral("/v1/get_photo.php"), 1);
    const DriverRun notHandedOver = run.sync();
    EXPECT_NE(notHandedOver.exitCode, 0) << notHandedOver.output.toStdString();
    EXPECT_TRUE(notHandedOver.output.contains(QStringLiteral("did not hand over the photos of 1 contacts")))
        << notHandedOver.output.toStdString();
    EXPECT_EQ(run.pictureOf(QStringLiteral("Given3")), QByteArray());
    const DriverRun pulled = run.sync();
    ASSERT_EQ(pulled.exitCode, 0) << pulled.output.toStdString();
    const QImage received = QImage::fromData(run.pictureOf(QStringLiteral("Given3")), "JPEG");
    ASSERT_FALSE(received.isNull());
    EXPECT_EQ(received.size(), QSize(12, 12));
    EXPECT_EQ(run.pictureOf(QStringLiteral("Given2")), QByteArray());
    EXPECT_EQ(run.peer.liveNames(QStringLiteral("Contacts")).size(), 4);
}

// The client and the cloud killed while photos go up and come down: after two normal syncs every
// contact is once on each side and every picture is on both.
TEST(CloudOutlookPhotos, KillsDuringPhotoUploadsAndDownloadsLoseAndDoubleNothing)
{
    OutlookCloudRun run(8, 4);
    ASSERT_GT(run.peer.httpsPort, 0);
    // Stalls the path, starts a sync, and once the stalled request is in kills the client or the peer.
    const auto killWhileWaiting = [&run](const char *path, bool killsPeer) {
        SCOPED_TRACE(path);
        SCOPED_TRACE(killsPeer ? "peer killed" : "client killed");
        run.peer.control("/peer/clear-requests");
        run.peer.addSwitch(QStringLiteral("stall"), QString::fromLatin1(path));
        const std::unique_ptr<QProcess> driver = run.start();
        bool isWaiting = false;
        bool hasEnded = false;
        for (int wait = 0; wait < 1200 && !isWaiting && !hasEnded; ++wait) {
            isWaiting = run.peer.requestPaths().contains(QString::fromLatin1(path));
            if (!isWaiting)
                hasEnded = driver->waitForFinished(50);
        }
        if (!isWaiting && hasEnded) {
            // The cloud finished the request the previous kill left stalled, and with it every
            // picture this step would have sent: nothing is left to kill at. The checks at the end
            // still hold every contact and picture to once on each side.
            EXPECT_EQ(driver->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(driver->exitCode(), 0) << driver->readAll().toStdString();
            run.peer.control("/peer/clear-switches");
            return;
        }
        EXPECT_TRUE(isWaiting);
        if (killsPeer)
            run.peer.kill();
        const DriverRun killed =
            finishDriver(*driver, killsPeer ? std::chrono::milliseconds(120000) : std::chrono::milliseconds(0));
        EXPECT_NE(killed.exitCode, 0) << killed.output.toStdString();
        if (killsPeer) {
            ASSERT_TRUE(run.peer.restart());
        }
        run.peer.control("/peer/clear-switches");
    };

    // Outlook's four pictures go up after the contacts: the kills come once the contacts are in.
    // The cloud killed first: a stalled upload dies with it, so the client's kill that follows still
    // finds pictures to send (an upload stalled under a killed client is finished by the cloud).
    killWhileWaiting("/v1/update_photo.php", true);
    killWhileWaiting("/v1/update_photo.php", false);
    const DriverRun settled = run.sync();
    ASSERT_EQ(settled.exitCode, 0) << settled.output.toStdString();

    // Pictures put in the cloud for the other four come down with the listing.
    const QByteArray green = jpegOf(10, Qt::green);
    for (const QJsonObject &record : run.peer.records(QStringLiteral("Contacts"))) {
        if (record.value("Photo").toInt() == 0)
            run.peer.control("/peer/photo", QJsonObject{{"Username", "u@x.com"}, {"Id", record.value("Id")},
                                                         {"Photo", QString::fromLatin1(green.toBase64())}});
    }
    // The kills come two seconds past the pictures' change: a killed run that moved the contacts'
    // listing date anyway would leave them out of every later listing.
    QThread::sleep(2);
    killWhileWaiting("/v1/get_photo.php", false);
    killWhileWaiting("/v1/get_photo.php", true);

    for (int round = 0; round < 2; ++round) {
        const DriverRun run2 = run.sync();
        ASSERT_EQ(run2.exitCode, 0) << "round " << round << ": " << run2.output.toStdString();
    }
    QStringList expected;
    for (int index = 0; index < 8; ++index)
        expected << QStringLiteral("Given%1 Family%1").arg(index);
    EXPECT_EQ(run.peer.liveNames(QStringLiteral("Contacts")), expected);
    EXPECT_EQ(run.peer.records(QStringLiteral("Contacts")).size(), expected.size());
    QStringList outlookNames;
    const QMap<QString, bool> pictures = run.outlookPictures(outlookNames);
    EXPECT_EQ(outlookNames, expected);
    const QMap<QString, int> flags = photoFlags(run.peer);
    for (const QString &name : expected) {
        EXPECT_TRUE(pictures.value(name)) << name.toStdString() << " has no picture in Outlook";
        EXPECT_EQ(flags.value(name), 1) << name.toStdString() << " has no photo in the cloud";
    }
}

// Outlook refuses a picture that came from the cloud: the run still ends well, the picture's file
// stays, and the next sync asks the cloud for it again and sets it; once set, no sync asks again, and
// no contact is doubled on either side.
TEST(CloudOutlookPhotos, APictureOutlookRefusedIsFetchedAgainAtTheNextSync)
{
    OutlookCloudRun run;
    ASSERT_GT(run.peer.httpsPort, 0);
    const DriverRun first = run.sync();
    ASSERT_EQ(first.exitCode, 0) << first.output.toStdString();
    ASSERT_TRUE(run.putCloudPicture(QStringLiteral("Given3"), jpegOf(12, Qt::blue)));
    QThread::sleep(2);

    run.outlook->control({{"op", "switches"}, {"refuseKind", "set image"}});
    const DriverRun refused = run.sync();
    EXPECT_EQ(refused.exitCode, 0) << refused.output.toStdString();
    EXPECT_EQ(run.pictureOf(QStringLiteral("Given3")), QByteArray());
    run.outlook->control({{"op", "switches"}, {"refuseKind", ""}});

    run.peer.control("/peer/clear-requests");
    const DriverRun again = run.sync();
    ASSERT_EQ(again.exitCode, 0) << again.output.toStdString();
    EXPECT_EQ(run.peer.requestPaths().count(QStringLiteral("/v1/get_photo.php")), 1);
    const QImage received = QImage::fromData(run.pictureOf(QStringLiteral("Given3")), "JPEG");
    ASSERT_FALSE(received.isNull());
    EXPECT_EQ(received.size(), QSize(12, 12));

    run.peer.control("/peer/clear-requests");
    const DriverRun settled = run.sync();
    ASSERT_EQ(settled.exitCode, 0) << settled.output.toStdString();
    EXPECT_EQ(run.peer.requestPaths().count(QStringLiteral("/v1/get_photo.php")), 0);
    QStringList outlookNames;
    (void)run.outlookPictures(outlookNames);
    const QStringList expected{QStringLiteral("Given0 Family0"), QStringLiteral("Given1 Family1"),
                               QStringLiteral("Given2 Family2"), QStringLiteral("Given3 Family3")};
    EXPECT_EQ(outlookNames, expected);
    EXPECT_EQ(run.peer.liveNames(QStringLiteral("Contacts")), expected);
    EXPECT_EQ(run.peer.records(QStringLiteral("Contacts")).size(), 4);
}

// More changed contacts than a page holds (512), pictures on both pages: each page sets its own
// pictures once, and the second page does not set the first page's again from files already gone.
TEST(CloudOutlookPhotos, EachContactsPageSetsItsOwnPicturesOnce)
{
    constexpr int kContacts = 530;
    OutlookCloudRun run(kContacts, 0);
    ASSERT_GT(run.peer.httpsPort, 0);
    const DriverRun first = run.sync();
    ASSERT_EQ(first.exitCode, 0) << first.output.toStdString();
    // Every contact changed in the cloud (stored again as another device), a picture on every
    // twentieth and on the last few, which the second page lists.
    QList<QJsonObject> records = run.peer.records(QStringLiteral("Contacts"));
    ASSERT_EQ(records.size(), kContacts);
    for (QJsonObject &record : records)
        record.insert("Note", "changed on the web");
    run.peer.putRecords(QStringLiteral("Contacts"), records);
    const QByteArray green = jpegOf(10, Qt::green);
    QStringList pictured;
    for (qsizetype index = 0; index < records.size(); ++index) {
        if (index % 20 != 0 && index < records.size() - 3)
            continue;
        run.peer.control("/peer/photo", QJsonObject{{"Username", "u@x.com"}, {"Id", records.at(index).value("Id")},
                                                     {"Photo", QString::fromLatin1(green.toBase64())}});
        pictured << records.at(index).value("First").toString() + u' ' + records.at(index).value("Last").toString();
    }
    QThread::sleep(2);

    run.peer.control("/peer/clear-requests");
    const DriverRun listed = runDriver(run.desktop, run.peer, run.arguments(), std::nullopt,
                                       run.environment() << QStringLiteral("HM_SYNC_LOG_LEVEL=info"));
    ASSERT_EQ(listed.exitCode, 0) << listed.output.right(4000).toStdString();
    EXPECT_EQ(run.peer.requestPaths().count(QStringLiteral("/v1/get_photo.php")), pictured.size());
    EXPECT_FALSE(listed.output.contains(QStringLiteral("could not be set"))) << listed.output.right(4000).toStdString();
    QStringList names;
    const QMap<QString, bool> pictures = run.outlookPictures(names);
    EXPECT_EQ(names.size(), kContacts);
    for (const QString &name : std::as_const(pictured))
        EXPECT_TRUE(pictures.value(name)) << name.toStdString() << " has no picture in Outlook";
    EXPECT_EQ(std::count(pictures.cbegin(), pictures.cend(), true), pictured.size());
    EXPECT_EQ(run.peer.records(QStringLiteral("Contacts")).size(), kContacts);
}
