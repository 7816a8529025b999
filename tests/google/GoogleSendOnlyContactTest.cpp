// Send-only contact profiles (Outlook to Google): Google's contacts are never read into Outlook, so a
// contact insert whose answer never came cannot be paired by the usual listing. These runs cut or kill
// the first sync at its writes and check that, after the next syncs, every Outlook contact is on Google
// exactly once, Google's own contacts stay where they are, and categories make their group once.
#include "GoogleContactSyncFixture.h"

#include <QDirIterator>
#include <QRegularExpression>

#include <sys/stat.h>

namespace {

// Outlook's contacts go to Google; Google's stay there.
void makeSendOnlyProfile(ContactSync &sync)
{
    sync.makeProfile([](HMProfile &profile) { profile.setContactSyncDirectionName(QStringLiteral("mac_to_device")); });
}

// The family names of Google's live contacts, with their counts.
QHash<QString, int> googleFamilyNames(const ContactSync &sync)
{
    QHash<QString, int> names;
    const QJsonObject google = sync.googleContacts();
    for (auto it = google.begin(); it != google.end(); ++it) {
        const QString body = it.value().toObject()["body"].toString();
        const qsizetype start = body.indexOf("<gd:familyName>") + 15;
        ++names[body.mid(start, body.indexOf("</gd:familyName>") - start)];
    }
    return names;
}

// The contact writes Google was asked for since the requests were last cleared.
QStringList googleContactWrites(ContactSync &sync)
{
    QStringList writes;
    for (const QJsonValue &request : sync.google().requests()) {
        const QString method = request.toObject()["method"].toString();
        if (method != QLatin1String("GET") && request.toObject()["path"].toString().startsWith("/m8/"))
            writes << method + u' ' + request.toObject()["path"].toString();
    }
    return writes;
}

void expectOutlookOnGoogleOnce(const ContactSync &sync, const QStringList &outlookNames, const QStringList &googleNames)
{
    const QHash<QString, int> onGoogle = googleFamilyNames(sync);
    QHash<QString, int> inOutlook;
    for (const QJsonValue &contact : sync.outlookContacts())
        ++inOutlook[contact.toObject()["lastName"].toString()];
    for (const QString &name : outlookNames) {
        EXPECT_EQ(onGoogle.value(name), 1) << "Google " << name.toStdString();
        EXPECT_EQ(inOutlook.value(name), 1) << "Outlook " << name.toStdString();
    }
    // Google's own contacts stay on Google once and never reach Outlook.
    for (const QString &name : googleNames) {
        EXPECT_EQ(onGoogle.value(name), 1) << "Google " << name.toStdString();
        EXPECT_EQ(inOutlook.value(name), 0) << "Outlook " << name.toStdString();
    }
    EXPECT_EQ(onGoogle.size(), outlookNames.size() + googleNames.size());
    EXPECT_EQ(inOutlook.size(), outlookNames.size());
}

// The files under the run's home whose names end so (beside the contact map: the only conduit on).
QStringList besideContactMap(ContactSync &sync, const QString &ending)
{
    QStringList found;
    QDirIterator it(sync.home(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(ending))
            found << path;
    }
    return found;
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

constexpr int kTrialContacts = 12;
const QStringList kGoogleNames{"G0", "G1", "G2"};

// Outlook's contacts O0.. and Google's own G0..G2 in a send-only profile; answers Outlook's names.
QStringList seedTrial(ContactSync &sync)
{
    QJsonArray outlookContacts;
    QStringList outlookNames;
    for (int index = 0; index < kTrialContacts; ++index) {
        outlookNames << QStringLiteral("O%1").arg(index);
        outlookContacts.append(simpleOutlookContact(100 + index, "Out", outlookNames.last()));
    }
    sync.outlook().seed(outlookSeed(outlookContacts));
    for (const QString &name : kGoogleNames)
        sync.googleUser("add", {}, googleEntry("Goo", name));
    makeSendOnlyProfile(sync);
    return outlookNames;
}

// Two syncs after the broken one: every contact once where it belongs; a sync after that writes nothing.
void expectTwoSyncsMendIt(ContactSync &sync, const QStringList &outlookNames)
{
    ASSERT_TRUE(sync.sync());
    ASSERT_TRUE(sync.sync());
    expectOutlookOnGoogleOnce(sync, outlookNames, kGoogleNames);
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    EXPECT_TRUE(googleContactWrites(sync).isEmpty()) << googleContactWrites(sync).join(u'\n').toStdString();
}

} // namespace

// The first sync of a send-only profile has an insert cut after Google stored it (its answer never
// comes), cut before, or refused with a 500.
class GoogleSendOnlyContactCuts : public ::testing::TestWithParam<const char *>
{
};

TEST_P(GoogleSendOnlyContactCuts, AnInsertWhoseAnswerNeverCameIsPairedNotSentAgain)
{
    const QLatin1String cut(GetParam());
    ContactSync sync;
    const QStringList outlookNames = seedTrial(sync);
    sync.googleSwitch({{"kind", cut}, {"path", "/m8/feeds/contacts/default/full"}, {"skip", kTrialContacts / 2}, {"times", 1}});
    const DriverRun broken = sync.run({}, {{"HM_SYNC_LOG_LEVEL", "error"}});
    EXPECT_TRUE(broken.output.contains("Not every contact change was taken by Google")) << broken.output.toStdString();
    sync.google().control("/peer/clear-switches");
    if (cut == QLatin1String("cut-after")) {
        // Every insert of the batch was listed with its send time before the first went.
        const QStringList sent = besideContactMap(sync, ".google-sent");
        ASSERT_EQ(sent.size(), 1);
        const QStringList lines = readLines(sent.first());
        EXPECT_EQ(lines.size(), kTrialContacts) << lines.join(u'\n').toStdString();
        static const QRegularExpression line(QStringLiteral("^[^\t]+\t\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        for (const QString &text : lines)
            EXPECT_TRUE(line.match(text).hasMatch()) << text.toStdString();
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(sent.first()).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(besideContactMap(sync, ".sent").size(), 1);
    }
    ASSERT_TRUE(sync.sync());
    // The unanswered insert was found and paired, or sent again and answered: both lists are gone.
    EXPECT_TRUE(besideContactMap(sync, ".google-sent").isEmpty());
    EXPECT_TRUE(besideContactMap(sync, ".sent").isEmpty());
    expectTwoSyncsMendIt(sync, outlookNames);
}

INSTANTIATE_TEST_SUITE_P(Cuts, GoogleSendOnlyContactCuts, ::testing::Values("cut-after", "cut-before", "500"),
                         faultKindName);

// The first sync of a send-only profile killed (SIGKILL) after half its pairs were kept, and at a
// random moment.
TEST(GoogleSendOnlyContacts, AKilledFirstSyncLeavesEveryContactOnceOnGoogle)
{
    for (const char *kill : {"outlook-confirmed:6", "random"}) {
        SCOPED_TRACE(kill);
        ContactSync sync;
        const QStringList outlookNames = seedTrial(sync);
        if (QLatin1String(kill) == QLatin1String("random")) {
            QProcess driver;
            sync.start(driver);
            sleepUntilARandomMoment();
            driver.kill();
            ASSERT_TRUE(driver.waitForFinished(120000));
        } else {
            const DriverRun killed = sync.run({}, {{"HM_SYNC_KILL_AT", kill}});
            EXPECT_TRUE(killed.crashed()) << killed.output.toStdString();
        }
        expectTwoSyncsMendIt(sync, outlookNames);
    }
}

// A categorised Outlook contact in a send-only profile: its category becomes one Google group, which
// later syncs (an edit, a new contact of the same category) use instead of making it again.
TEST(GoogleSendOnlyContacts, ACategoryMakesItsGroupOnce)
{
    ContactSync sync;
    QJsonObject first = simpleOutlookContact(100, "Out", "Ada");
    first.insert("categories", QJsonArray{5});
    sync.outlook().seed(outlookSeed({first}));
    makeSendOnlyProfile(sync);
    ASSERT_TRUE(sync.sync());
    sync.outlook().control({{"op", "edit"}, {"kind", "contact"}, {"id", 100}, {"fields", QJsonObject{{"jobTitle", "Chief"}}}});
    ASSERT_TRUE(sync.sync());
    QJsonObject second = simpleOutlookContact(101, "Out", "Bea");
    second.insert("categories", QJsonArray{5});
    sync.outlook().control({{"op", "add"}, {"kind", "contact"}, {"record", second}});
    ASSERT_TRUE(sync.sync());
    int work = 0;
    for (const QJsonValue &group : sync.googleGroups())
        work += group.toObject()["title"].toString() == QLatin1String("Work") ? 1 : 0;
    EXPECT_EQ(work, 1) << QJsonDocument(sync.googleGroups()).toJson().toStdString();
    expectOutlookOnGoogleOnce(sync, {"Ada", "Bea"}, {});
    // Every insert was answered: nothing is left to pair, and a quiet sync reads the groups only.
    EXPECT_TRUE(besideContactMap(sync, ".google-sent").isEmpty());
    EXPECT_TRUE(besideContactMap(sync, ".sent").isEmpty());
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    QStringList contactRequests;
    for (const QJsonValue &request : sync.google().requests()) {
        const QString path = request.toObject()["path"].toString();
        if (path.startsWith("/m8/"))
            contactRequests << request.toObject()["method"].toString() + u' ' + path.section(u'?', 0, 0);
    }
    EXPECT_EQ(contactRequests, QStringList{"GET /m8/feeds/groups/me@example.com/full"});
}

// A send-only sync cut after Google stored an insert, then the profile made two-way: the two-way
// listing pairs Google's copy, the lists the send-only run left go, and every contact is once on each
// side (Google's own ones now in Outlook too).
TEST(GoogleSendOnlyContacts, AProfileMadeTwoWayAfterACutPairsTheCopyAndDropsTheLists)
{
    ContactSync sync;
    const QStringList outlookNames = seedTrial(sync);
    sync.googleSwitch({{"kind", "cut-after"}, {"path", "/m8/feeds/contacts/default/full"}, {"skip", kTrialContacts / 2}, {"times", 1}});
    const DriverRun broken = sync.run({}, {{"HM_SYNC_LOG_LEVEL", "error"}});
    EXPECT_TRUE(broken.output.contains("Not every contact change was taken by Google")) << broken.output.toStdString();
    sync.google().control("/peer/clear-switches");
    ASSERT_EQ(besideContactMap(sync, ".google-sent").size(), 1);
    sync.makeProfile([](HMProfile &profile) { profile.setContactSyncDirectionName(QStringLiteral("two_way")); });
    ASSERT_TRUE(sync.sync());
    EXPECT_TRUE(besideContactMap(sync, ".google-sent").isEmpty());
    EXPECT_TRUE(besideContactMap(sync, ".sent").isEmpty());
    ASSERT_TRUE(sync.sync());
    sync.expectEveryContactOnceOnEachSide(outlookNames + kGoogleNames);
}

// Contacts without names or company (an e-mail only, a phone number only, a note only, a home address
// only, a birthday only) whose inserts were all stored by Google and never answered (the connection cut
// after each), or whose first sync was killed at a random moment: the next send-only sync finds each by the rest of what it carries and
// pairs it. Google holds each once; a sync after that writes nothing.
TEST(GoogleSendOnlyContacts, ContactsWithoutNamesWhoseAnswersWereLostAreNotSentTwice)
{
    for (const char *fault : {"cut-after", "random"}) {
        SCOPED_TRACE(fault);
        ContactSync sync;
        auto nameless = [](int id, const char *key, const QJsonValue &value) {
            return QJsonObject{{"id", id}, {"folder", 1}, {"created", "2026-01-01T00:00:00Z"},
                               {"modified", "2026-01-02T00:00:00Z"}, {QLatin1String(key), value}};
        };
        sync.outlook().seed(outlookSeed(
            {nameless(100, "emails", QJsonArray{QJsonObject{{"kind", "work"}, {"address", "only-mail@o.example"}}}),
             nameless(101, "phones", QJsonArray{QJsonObject{{"kind", "work"}, {"number", "+49 30 555"}}}),
             nameless(102, "note", "Just a note, & more"), simpleOutlookContact(103, "Out", "Named"),
             nameless(104, "homeAddress",
                      QJsonObject{{"street", "7 Rue  Haute"}, {"city", "Lyon"}, {"state", ""}, {"zip", "69001"}, {"country", "France"}}),
             nameless(105, "birthday", "1990-07-14")}));
        makeSendOnlyProfile(sync);
        if (QLatin1String(fault) == QLatin1String("random")) {
            sync.googleSwitch({{"kind", "slow"}, {"path", "/m8/feeds/contacts/default/full"}, {"slowMs", 400}});
            QProcess driver;
            sync.start(driver);
            sleepUntilARandomMoment("random kill", 300, 2000);
            driver.kill();
            ASSERT_TRUE(driver.waitForFinished(120000));
            QThread::msleep(500);
        } else {
            sync.googleSwitch({{"kind", "cut-after"}, {"path", "/m8/feeds/contacts/default/full"}, {"method", "POST"}});
            const DriverRun broken = sync.run({}, {{"HM_SYNC_LOG_LEVEL", "error"}});
            EXPECT_TRUE(broken.output.contains("Not every contact change was taken by Google")) << broken.output.toStdString();
            EXPECT_EQ(sync.googleContactCount(), 6);
        }
        sync.google().control("/peer/clear-switches");
        ASSERT_TRUE(sync.sync());
        ASSERT_TRUE(sync.sync());
        EXPECT_EQ(sync.googleContactCount(), 6) << QJsonDocument(sync.googleContacts()).toJson().toStdString();
        QStringList bodies;
        const QJsonObject google = sync.googleContacts();
        for (auto it = google.begin(); it != google.end(); ++it)
            bodies << it.value().toObject()["body"].toString();
        for (const char *text : {"only-mail@o.example", "+49 30 555", "Just a note, &amp; more", "Named",
                                 "<gd:postcode>69001</gd:postcode>", "when='1990-07-14'"})
            EXPECT_EQ(bodies.filter(QLatin1String(text)).size(), 1) << text;
        EXPECT_EQ(sync.outlookContacts().size(), 6);
        sync.google().control("/peer/clear-requests");
        ASSERT_TRUE(sync.sync());
        EXPECT_TRUE(googleContactWrites(sync).isEmpty()) << googleContactWrites(sync).join(u'\n').toStdString();
    }
}
