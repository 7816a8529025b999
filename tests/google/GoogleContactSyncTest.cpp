// Google-direct contact syncs end to end: the sync driver as a program between the simulated Outlook
// and the Google peer, both programs of their own. Contacts, their categories and edits travel both
// ways; runs killed or cut at their steps leave every contact exactly once on each side.
#include "GoogleContactSyncFixture.h"

#include <QBuffer>
#include <QDirIterator>
#include <QImage>
#include <QElapsedTimer>
#include <QThread>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// A small JPEG picture of one colour.
QByteArray jpeg(Qt::GlobalColor color)
{
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(color);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return buffer.data();
}

QJsonObject fullOutlookContact()
{
    auto phone = [](const char *kind, const char *number) { return QJsonObject{{"kind", kind}, {"number", number}}; };
    auto mail = [](const char *kind, const char *address) { return QJsonObject{{"kind", kind}, {"address", address}}; };
    return {{"id", 300},
            {"folder", 1},
            {"created", "2026-01-01T00:00:00Z"},
            {"modified", "2026-01-02T00:00:00Z"},
            {"firstName", "太郎"},
            {"lastName", "山田"},
            {"company", "Acme & Sons"},
            {"jobTitle", "Chief"},
            {"phones", QJsonArray{phone("work", "+81 3 100"), phone("home", "+81 3 200"), phone("cell", "+81 90 300"),
                                  phone("main", "+81 3 400"), phone("workFax", "+81 3 101"), phone("homeFax", "+81 3 201"),
                                  phone("pager", "+81 50 500"), phone("other", "+81 3 600")}},
            {"emails", QJsonArray{mail("work", "taro@work.example"), mail("home", "taro@home.example"),
                                  mail("other", "taro@other.example")}},
            {"workAddress", QJsonObject{{"street", "1-2-3 Marunouchi"}, {"city", "東京"}, {"state", "Tokyo"}, {"zip", "100-0005"},
                                        {"country", "Japan"}}},
            {"homeAddress", QJsonObject{{"street", "4 Elm"}, {"city", "Kyoto"}, {"state", ""}, {"zip", "600"}, {"country", "Japan"}}},
            {"birthday", "1985-03-17"},
            {"note", "a & b < c </atom:entry> end"},
            {"categories", QJsonArray{5}},
            {"picture", QString::fromLatin1(jpeg(Qt::red).toBase64())}};
}

} // namespace

TEST(GoogleContactSync, ContactsTravelBothWaysOnceAndASecondSyncSendsNothing)
{
    ContactSync sync;
    sync.outlook().seed(outlookSeed({fullOutlookContact(), simpleOutlookContact(301, "Ann", "Outlooker")}));
    const QString gilId = sync.googleUser(
        "add", {}, googleEntry("Gil", "Googler", "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555</gd:phoneNumber>"));
    sync.googleUser("photo", gilId, jpeg(Qt::blue));
    sync.makeProfile();
    ASSERT_TRUE(sync.sync());
    sync.expectEveryContactOnceOnEachSide({"山田", "Outlooker", "Googler"});

    // The full contact on Google, piece by piece as the entry carried it; its category made a group once.
    QString full;
    const QJsonObject google = sync.googleContacts();
    for (auto it = google.begin(); it != google.end(); ++it) {
        if (it.value().toObject()["title"].toString().contains(QStringLiteral("山田")))
            full = it.value().toObject()["body"].toString();
    }
    for (const char *piece : {"<gd:givenName>太郎</gd:givenName>", "<gd:familyName>山田</gd:familyName>",
                              "<content type='text'>a &amp; b &lt; c &lt;/atom:entry&gt; end</content>",
                              "address='taro@work.example'", "address='taro@home.example'", "address='taro@other.example'",
                              "#mobile'>\n+81 90 300\n<", "#work_fax'>\n+81 3 101\n<", "#home_fax'>\n+81 3 201\n<",
                              "#pager'>\n+81 50 500\n<", "#main'>\n+81 3 400\n<", "<gd:orgName>Acme &amp; Sons</gd:orgName>",
                              "<gd:orgTitle>Chief</gd:orgTitle>", "<gd:city>東京</gd:city>", "<gContact:birthday when='1985-03-17'/>"})
        EXPECT_TRUE(full.contains(QString::fromUtf8(piece))) << piece << "\n" << full.toStdString();
    const QJsonArray groups = sync.googleGroups();
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups[0].toObject()["title"].toString(), "Work");
    EXPECT_TRUE(full.contains("/base/" + groups[0].toObject()["id"].toString() + "'")) << full.toStdString();
    // Google's contact in Outlook.
    QJsonObject googler;
    for (const QJsonValue &contact : sync.outlookContacts()) {
        if (contact.toObject()["lastName"] == "Googler")
            googler = contact.toObject();
    }
    EXPECT_EQ(googler["firstName"].toString(), "Gil");
    EXPECT_TRUE(QJsonDocument(googler).toJson().contains("googler@g.example")) << QJsonDocument(googler).toJson().toStdString();
    // The photos both ways: Google's in Outlook, Outlook's on Google, each a readable picture.
    EXPECT_FALSE(QImage::fromData(QByteArray::fromBase64(googler["picture"].toString().toLatin1())).isNull());
    bool photoOnGoogle = false;
    for (const QJsonValue &contact : sync.googleContacts()) {
        if (contact.toObject()["title"].toString().contains(QStringLiteral("山田")))
            photoOnGoogle = !QImage::fromData(QByteArray::fromBase64(contact.toObject()["photo"].toString().toLatin1())).isNull();
    }
    EXPECT_TRUE(photoOnGoogle);

    // A second sync reads and writes nothing.
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(sync.google().writeRequests(), QStringList());
    sync.expectEveryContactOnceOnEachSide({"山田", "Outlooker", "Googler"});

    // Edits both ways, then deletions both ways.
    QString googlerId;
    for (auto it = google.begin(); it != google.end(); ++it) {
        if (it.value().toObject()["title"].toString().contains("Googler"))
            googlerId = it.key();
    }
    sync.googleUser("edit", googlerId, googleEntry("Gilbert", "Googler"));
    sync.outlook().control({{"op", "edit"}, {"kind", "contact"}, {"id", 301}, {"fields", QJsonObject{{"firstName", "Anna"}}}});
    ASSERT_TRUE(sync.sync());
    bool outlookSawEdit = false;
    for (const QJsonValue &contact : sync.outlookContacts())
        outlookSawEdit = outlookSawEdit || contact.toObject()["firstName"] == "Gilbert";
    EXPECT_TRUE(outlookSawEdit);
    bool googleSawEdit = false;
    for (const QJsonValue &contact : sync.googleContacts())
        googleSawEdit = googleSawEdit || contact.toObject()["body"].toString().contains("<gd:givenName>Anna</gd:givenName>");
    EXPECT_TRUE(googleSawEdit);
    sync.expectEveryContactOnceOnEachSide({"山田", "Outlooker", "Googler"});

    sync.googleUser("delete", googlerId, {});
    sync.outlook().control({{"op", "delete"}, {"kind", "contact"}, {"id", 301}});
    ASSERT_TRUE(sync.sync());
    ASSERT_TRUE(sync.sync());
    sync.expectEveryContactOnceOnEachSide({"山田"});
}

// Google's picture reaches Outlook after its contact, in a later second (a slow photo server): setting
// it changes the contact in Outlook, and the run's own read of Outlook's changes must not take that
// for the user's edit and send the contact and its picture back.
TEST(GoogleContactSync, APictureArrivingASecondAfterItsContactIsNotSentBack)
{
    ContactSync sync;
    sync.outlook().seed(outlookSeed({simpleOutlookContact(301, "Ann", "Outlooker")}));
    const QString gilId = sync.googleUser("add", {}, googleEntry("Gil", "Googler"));
    sync.googleUser("photo", gilId, jpeg(Qt::blue));
    sync.makeProfile();
    sync.googleSwitch({{"kind", "slow"}, {"path", "/m8/feeds/photos/media/*"}, {"method", "GET"}, {"slowMs", 1500}});
    ASSERT_TRUE(sync.sync());
    sync.google().control("/peer/clear-switches");
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(sync.google().writeRequests(), QStringList());
    sync.expectEveryContactOnceOnEachSide({"Outlooker", "Googler"});
    bool pictureInOutlook = false;
    for (const QJsonValue &contact : sync.outlookContacts())
        pictureInOutlook = pictureInOutlook || !contact.toObject()["picture"].toString().isEmpty();
    EXPECT_TRUE(pictureInOutlook);
}

TEST(GoogleContactSync, AServerErrorOnPageTwoOfThreeMovesNoDateAndTheNextSyncBringsEveryContactOnce)
{
    for (const char *kind : {"500", "401"}) {
        SCOPED_TRACE(kind);
        ContactSync sync;
        sync.outlook().seed(outlookSeed({}));
        QStringList names;
        for (int index = 0; index < 250; ++index) {
            names << QStringLiteral("G%1").arg(index, 3, 10, QLatin1Char('0'));
            sync.googleUser("add", {}, googleEntry("Page", names.last()));
        }
        sync.makeProfile([](HMProfile &profile) { profile.setContactSyncDirectionName(QStringLiteral("device_to_mac")); });
        sync.googleSwitch({{"kind", kind}, {"path", "/m8/feeds/contacts/me@example.com/full"}, {"skip", 1}, {"times", 1}});
        const DriverRun failed = sync.run();
        EXPECT_NE(failed.exitCode, 0);
        EXPECT_TRUE(failed.output.contains(QString::fromLatin1(kind) == "500" ? "HTTP 500: Server error." : "HTTP 401: Unauthorized."))
            << failed.output.toStdString();
        EXPECT_EQ(sync.outlookContacts().size(), 100);
        ASSERT_TRUE(sync.sync());
        QHash<QString, int> inOutlook;
        for (const QJsonValue &contact : sync.outlookContacts())
            ++inOutlook[contact.toObject()["lastName"].toString()];
        EXPECT_EQ(inOutlook.size(), 250);
        for (const QString &name : names)
            EXPECT_EQ(inOutlook.value(name), 1) << name.toStdString();
    }
}

// A first sync of N contacts each way, the driver killed at its steps or its connection cut; after
// two normal syncs each contact is exactly once on each side.
TEST(GoogleContactSync, KilledOrCutFirstSyncsLeaveEveryContactOnceOnEachSide)
{
    const int count = qEnvironmentVariableIsSet("HM_KILL_TRIAL_CONTACTS") ? qEnvironmentVariableIntValue("HM_KILL_TRIAL_CONTACTS") : 12;
    struct Trial
    {
        QString killAt;      // the driver's kill point
        QString cut;         // or a switch on the insert path
    };
    const QString half = QString::number(count / 2);
    const QList<Trial> trials{{"outlook-paired:" + half, {}},     {"outlook-read:1", {}},
                              {"outlook-confirmed:" + half, {}},  {"outlook-committed:1", {}},
                              {{}, "cut-before"},                {{}, "cut-after"},
                              {{}, "500"},                       {{}, "peer-killed"},
                              {{}, "random"},                    {{}, "random"}};
    for (const Trial &trial : trials) {
        SCOPED_TRACE((trial.killAt + trial.cut).toStdString());
        ContactSync sync;
        QJsonArray outlookContacts;
        QStringList names;
        for (int index = 0; index < count; ++index) {
            names << QStringLiteral("O%1").arg(index);
            outlookContacts.append(simpleOutlookContact(100 + index, "Out", names.last()));
        }
        sync.outlook().seed(outlookSeed(outlookContacts));
        for (int index = 0; index < count; ++index) {
            names << QStringLiteral("G%1").arg(index);
            sync.googleUser("add", {}, googleEntry("Goo", names.last()));
        }
        sync.makeProfile();
        if (trial.cut == "peer-killed" || trial.cut == "random") {
            QProcess driver;
            sync.start(driver);
            if (trial.cut == "peer-killed") {
                QElapsedTimer waited;
                waited.start();
                while (sync.googleContactCount() < count + count / 2 && waited.elapsed() < 60000)
                    QThread::msleep(5);
                sync.google().kill();
            } else {
                sleepUntilARandomMoment();
                driver.kill();
            }
            ASSERT_TRUE(driver.waitForFinished(120000));
            if (trial.cut == "peer-killed") {
                sync.google().start();
                ASSERT_GT(sync.google().port, 0);
            }
            ASSERT_TRUE(sync.sync());
            ASSERT_TRUE(sync.sync());
            sync.expectEveryContactOnceOnEachSide(names);
            continue;
        }
        if (!trial.cut.isEmpty())
            sync.googleSwitch({{"kind", trial.cut}, {"path", "/m8/feeds/contacts/default/full"}, {"skip", count / 2}, {"times", 1}});
        // The errors are logged to the console only when a log level is asked for.
        const DriverRun first = sync.run({}, trial.killAt.isEmpty() ? QMap<QString, QString>{{"HM_SYNC_LOG_LEVEL", "error"}}
                                                                    : QMap<QString, QString>{{"HM_SYNC_KILL_AT", trial.killAt}});
        if (!trial.killAt.isEmpty())
            EXPECT_TRUE(first.crashed()) << first.output.toStdString();
        else
            EXPECT_TRUE(first.output.contains("Not every contact change was taken by Google")) << first.output.toStdString();
        sync.google().control("/peer/clear-switches");
        ASSERT_TRUE(sync.sync());
        ASSERT_TRUE(sync.sync());
        sync.expectEveryContactOnceOnEachSide(names);
    }
}

namespace {

// The contact map's pairs as stored, without its dates, and the lines of the pairs waiting beside it.
QPair<int, int> storedAndPendingPairs(const QString &home)
{
    QPair<int, int> counts{-1, -1};
    QDirIterator maps(home, {QStringLiteral("contacts-outlook*.plist")}, QDir::Files, QDirIterator::Subdirectories);
    while (maps.hasNext()) {
        QFile map(maps.next());
        if (!map.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = map.readAll();
        counts.first = int(text.count("<key>")) - int(text.count("<key>LastModified</key>")) -
                       int(text.count("<key>ListCommandDate</key>"));
        QFile pending(map.fileName() + QStringLiteral(".confirmed"));
        counts.second = pending.open(QIODevice::ReadOnly) ? int(pending.readAll().count('\n')) : 0;
    }
    return counts;
}

} // namespace

// Three pages of Google contacts: the first page's pairs join the empty map; a later page's wait beside
// it, answered to every reader, and join it with the commit. A run killed while they wait, or just after
// Outlook took a contact, leaves every contact once on each side after the next syncs.
TEST(GoogleContactSync, PairsWaitingBesideTheMapAcrossPagesSurviveAKill)
{
    struct Trial
    {
        QString killAt;
        QPair<int, int> pairs; // stored and waiting at the kill; (-1, -1): not looked at
    };
    const QList<Trial> trials{{"outlook-paired:150", {100, 50}}, {"outlook-paired:250", {100, 150}},
                              {"outlook-written:220", {-1, -1}}};
    for (const Trial &trial : trials) {
        SCOPED_TRACE(trial.killAt.toStdString());
        ContactSync sync;
        QStringList names;
        QJsonArray outlookContacts;
        for (int index = 0; index < 3; ++index) {
            names << QStringLiteral("O%1").arg(index);
            outlookContacts.append(simpleOutlookContact(100 + index, "Out", names.last()));
        }
        sync.outlook().seed(outlookSeed(outlookContacts));
        for (int index = 0; index < 250; ++index) {
            names << QStringLiteral("G%1").arg(index, 3, 10, QLatin1Char('0'));
            sync.googleUser("add", {}, googleEntry("Goo", names.last()));
        }
        sync.makeProfile();
        EXPECT_TRUE(sync.run({}, {{"HM_SYNC_KILL_AT", trial.killAt}}).crashed());
        if (trial.pairs.first >= 0) {
            EXPECT_EQ(storedAndPendingPairs(sync.home()), trial.pairs);
        }
        ASSERT_TRUE(sync.sync());
        ASSERT_TRUE(sync.sync());
        sync.expectEveryContactOnceOnEachSide(names);
        EXPECT_EQ(storedAndPendingPairs(sync.home()), qMakePair(253, 0));
    }
}

// Replies no feed could be: each ends the run with a clear text, reads nothing into Outlook and moves
// no date; an endless feed is stopped; a photo far too large is passed over.
TEST(GoogleContactSync, HostileRepliesEndTheRunWithAClearErrorAndLoseNothing)
{
    ContactSync sync;
    sync.outlook().seed(outlookSeed({}));
    QStringList names;
    QString firstId;
    for (int index = 0; index < 100; ++index) {
        names << QStringLiteral("H%1").arg(index, 3, 10, QLatin1Char('0'));
        const QString id = sync.googleUser("add", {}, googleEntry("Host", names.last()));
        if (firstId.isEmpty())
            firstId = id;
    }
    sync.googleUser("photo", firstId, QByteArray("not used"));
    sync.makeProfile([](HMProfile &profile) { profile.setContactSyncDirectionName(QStringLiteral("device_to_mac")); });
    const QString feed = QStringLiteral("/m8/feeds/contacts/me@example.com/full");
    const std::pair<const char *, const char *> cases[] = {
        {"xml-bomb", "Google's list of contacts could not be read"},
        {"garbage", "Google's list of contacts could not be read"},
        {"oversize", "ERROR: "},
        {"repeated-page-token", "Google listed the same contacts again"}};
    for (const auto &[kind, text] : cases) {
        SCOPED_TRACE(kind);
        sync.google().control("/peer/clear-switches");
        sync.googleSwitch({{"kind", kind}, {"path", feed}});
        const DriverRun failed = sync.run();
        EXPECT_NE(failed.exitCode, 0);
        EXPECT_TRUE(failed.output.contains(QLatin1String(text))) << failed.output.toStdString();
        if (QLatin1String(kind) != QLatin1String("repeated-page-token")) {
            EXPECT_EQ(sync.outlookContacts().size(), 0);
        }
    }
    sync.google().control("/peer/clear-switches");
    sync.googleSwitch({{"kind", "oversize"}, {"path", "/m8/feeds/photos/media/me@example.com/" + firstId}});
    ASSERT_TRUE(sync.sync());
    QHash<QString, int> inOutlook;
    for (const QJsonValue &contact : sync.outlookContacts())
        ++inOutlook[contact.toObject()["lastName"].toString()];
    EXPECT_EQ(inOutlook.size(), 100);
    for (const QString &name : names)
        EXPECT_EQ(inOutlook.value(name), 1) << name.toStdString();
}

// A Google edit made while Outlook's contacts are being sent arrives at the next sync: the list date
// comes from the listing, never from the write replies.
TEST(GoogleContactSync, AGoogleEditMadeDuringTheUploadArrivesAtTheNextSync)
{
    ContactSync sync;
    sync.outlook().seed(outlookSeed({simpleOutlookContact(100, "Out", "Sender")}));
    const QString id = sync.googleUser("add", {}, googleEntry("Before", "Edited"));
    sync.makeProfile();
    sync.googleSwitch({{"kind", "slow"}, {"path", "/m8/feeds/contacts/default/full"}, {"times", 1}, {"slowMs", 1500}});
    QProcess driver;
    sync.start(driver);
    QElapsedTimer waited;
    waited.start();
    const auto posted = [&sync] {
        for (const QJsonValue &request : sync.google().requests()) {
            if (request.toObject()["method"] == "POST" && request.toObject()["path"] == "/m8/feeds/contacts/default/full")
                return true;
        }
        return false;
    };
    while (!posted() && waited.elapsed() < 60000)
        QThread::msleep(20);
    sync.googleUser("edit", id, googleEntry("After", "Edited"));
    ASSERT_TRUE(driver.waitForFinished(120000));
    EXPECT_EQ(driver.exitCode(), 0) << driver.readAll().toStdString();
    ASSERT_TRUE(sync.sync());
    bool arrived = false;
    for (const QJsonValue &contact : sync.outlookContacts())
        arrived = arrived || contact.toObject()["firstName"] == "After";
    EXPECT_TRUE(arrived);
    sync.expectEveryContactOnceOnEachSide({"Sender", "Edited"});
}

// An Outlook contact's "other" phone reaches Google as an "#other" number: the entry sent, byte for byte.
// Google answers an insert with the entry it stored, its elements plain or under the "atom:" prefix: the
// id and "updated" of each answer are kept beside the map byte for byte, and the next sync passes over
// both entries as our own writes (nothing read into Outlook, nothing written to Google).
TEST(GoogleContactSync, AnInsertAnswerPlainOrPrefixedKeepsGooglesIdAndUpdatedByteForByte)
{
    ContactSync sync;
    sync.outlook().seed(outlookSeed({simpleOutlookContact(100, "Out", "Prefixed"), simpleOutlookContact(101, "Out", "Plain")}));
    sync.makeProfile();
    sync.googleSwitch({{"kind", "prefixed-reply"}, {"path", "/m8/feeds/contacts/default/full"}, {"times", 1}});
    ASSERT_TRUE(sync.sync());

    const QJsonObject google = sync.googleContacts();
    ASSERT_EQ(google.size(), 2);
    QStringList expected;
    for (auto it = google.begin(); it != google.end(); ++it)
        expected << QStringLiteral("http://www.google.com/m8/feeds/contacts/me%40example.com/base/") + it.key() + u'\t' +
                        it.value().toObject()["updated"].toString();
    QStringList kept;
    QDirIterator files(sync.home(), {QStringLiteral("*.google-written")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.fileName().contains(QLatin1String("contact")) || !file.open(QIODevice::ReadOnly))
            continue;
        kept << QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    expected.sort();
    kept.sort();
    EXPECT_EQ(kept, expected);

    const QJsonArray outlookBefore = sync.outlookContacts();
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(sync.google().writeRequests(), QStringList());
    EXPECT_EQ(sync.outlookContacts(), outlookBefore);
    sync.expectEveryContactOnceOnEachSide({"Prefixed", "Plain"});
}

// The writes go out at their pace while their answers come back slower or quicker than it, drawn at
// random: an answer landing before the next write is due and one landing after it are each taken once,
// so every contact is paired once and a second sync writes nothing.
TEST(GoogleContactSync, AnswersSlowerOrQuickerThanThePaceOfTheWritesAreEachTakenOnce)
{
    ContactSync sync;
    QJsonArray contacts;
    QStringList names;
    for (int index = 0; index < 12; ++index) {
        names << QStringLiteral("Paced%1").arg(index);
        contacts.append(simpleOutlookContact(100 + index, QStringLiteral("Out"), names.last()));
    }
    sync.outlook().seed(outlookSeed(contacts));
    sync.makeProfile();
    sync.googleSwitch({{"kind", "slow"}, {"path", "/m8/feeds/contacts/default/full"}, {"method", "POST"},
                       {"chance", 0.5}, {"seed", 11}, {"slowMs", 45}});
    ASSERT_TRUE(sync.sync());
    sync.expectEveryContactOnceOnEachSide(names);
    EXPECT_EQ(sync.googleContacts().size(), names.size());

    sync.google().control("/peer/clear-switches");
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(sync.google().writeRequests(), QStringList());
    sync.expectEveryContactOnceOnEachSide(names);
}

TEST(GoogleContactSync, AnOutlookOtherPhoneIsSentAsGooglesOther)
{
    ContactSync sync;
    QJsonObject contact = simpleOutlookContact(310, "Olga", "Other");
    contact.insert("phones", QJsonArray{QJsonObject{{"kind", "work"}, {"number", "+49 30 100"}},
                                        QJsonObject{{"kind", "other"}, {"number", "+49 30 600"}}});
    sync.outlook().seed(outlookSeed({contact}));
    sync.makeProfile();
    ASSERT_TRUE(sync.sync());
    QStringList inserts;
    for (const QJsonValue &request : sync.google().requests()) {
        if (request.toObject()["method"].toString() == "POST" &&
            request.toObject()["path"].toString() == "/m8/feeds/contacts/default/full")
            inserts << request.toObject()["body"].toString();
    }
    ASSERT_EQ(inserts.size(), 1);
    const QString expected = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<atom:entry xmlns:atom=\"http://www.w3.org/2005/Atom\"\n"
        "xmlns:gd=\"http://schemas.google.com/g/2005\" xmlns:gContact='http://schemas.google.com/contact/2008'>\n"
        "<atom:category scheme=\"http://schemas.google.com/g/2005#kind\"\n"
        "term=\"http://schemas.google.com/contact/2008#contact\"/>\n"
        "<gd:name>\n<gd:givenName>Olga</gd:givenName>\n<gd:familyName>Other</gd:familyName>\n"
        "<gd:additionalName></gd:additionalName>\n<gd:namePrefix></gd:namePrefix>\n<gd:nameSuffix></gd:nameSuffix>\n"
        "<gd:fullName>Olga Other</gd:fullName>\n</gd:name>\n"
        "<atom:content type=\"text\"></atom:content>\n"
        "<gd:email rel=\"http://schemas.google.com/g/2005#work\"\nprimary=\"true\"\naddress=\"other@o.example\"/>\n"
        "<gd:email rel=\"http://schemas.google.com/g/2005#home\"\naddress=\"\"/>\n"
        "<gd:email rel=\"http://schemas.google.com/g/2005#other\"\naddress=\"\"/>\n"
        "<gd:phoneNumber rel=\"http://schemas.google.com/g/2005#work\">\n+49 30 100\n</gd:phoneNumber>\n"
        "<gd:phoneNumber rel=\"http://schemas.google.com/g/2005#other\">\n+49 30 600\n</gd:phoneNumber>\n"
        "<gd:organization rel=\"http://schemas.google.com/g/2005#other\">\n<gd:orgName></gd:orgName>\n"
        "<gd:orgTitle></gd:orgTitle>\n</gd:organization>"
        "<gContact:groupMembershipInfo deleted='false' href=\"http://www.google.com/m8/feeds/groups/me@example.com/base/6\"/>\n"
        "</atom:entry>");
    EXPECT_EQ(inserts.first().toStdString(), expected.toStdString());
    sync.expectEveryContactOnceOnEachSide({"Other"});
}

// An Outlook contact whose Google copy was deleted there, with Google's deletions not applied, is
// edited: the update is answered 404, and the run ends as not finished. The stale pair goes and the next
// sync sends it as new, once.
TEST(GoogleContactSync, AnUpdateOfAContactGoneFromGoogleSendsItAsNewOnce)
{
    ContactSync sync;
    sync.outlook().seed(outlookSeed({simpleOutlookContact(320, "Vera", "Vanished")}));
    sync.makeProfile([](HMProfile &profile) {
        profile.setSyncDeletionsName(QStringLiteral("Records deleted from Outlook will be deleted from Google"));
    });
    ASSERT_TRUE(sync.sync());
    const QJsonObject first = sync.googleContacts();
    ASSERT_EQ(first.size(), 1);
    const QString goneId = first.begin().key();
    sync.googleUser("delete", goneId, {});
    ASSERT_TRUE(sync.sync());
    ASSERT_EQ(sync.outlookContacts().size(), 1);

    sync.outlook().control({{"op", "edit"}, {"kind", "contact"}, {"id", 320}, {"fields", QJsonObject{{"firstName", "Vera M."}}}});
    const auto contactWrites = [&sync] {
        QStringList writes;
        for (const QJsonValue &request : sync.google().requests()) {
            const QString method = request.toObject()["method"].toString();
            if (method != "GET" && request.toObject()["path"].toString().startsWith("/m8/feeds/contacts/"))
                writes << method + u' ' + request.toObject()["path"].toString();
        }
        sync.google().control("/peer/clear-requests");
        return writes;
    };
    contactWrites();
    // Google did not take the update: the run ends as not finished and says so.
    QThread::msleep(1100);
    const DriverRun refused = sync.run();
    EXPECT_EQ(refused.exitCode, 1) << refused.output.toStdString();
    EXPECT_TRUE(refused.output.contains("sheet completed: Google did not take 1 contact change; the rest was synced, "
                                        "and these are sent again at the next sync.\n"))
        << refused.output.toStdString();
    EXPECT_EQ(contactWrites(), QStringList{"PUT /m8/feeds/contacts/default/full/" + goneId});
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(contactWrites(), QStringList{"POST /m8/feeds/contacts/default/full"});
    sync.expectEveryContactOnceOnEachSide({"Vanished"});
    ASSERT_TRUE(sync.sync());
    EXPECT_TRUE(contactWrites().isEmpty());
    sync.expectEveryContactOnceOnEachSide({"Vanished"});
}
