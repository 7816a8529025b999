// Syncs of the application against the stores it registers at launch: the phone's records land in the
// address book's vCard folder and the calendars' iCalendar folders, where khard and khal find them;
// the calendar access question is answered by the calendar store itself, both ways.
#include "MainWindowTestSupport.h"

#include "app/HMCalendarAccess.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "support/CalendarFolderFixture.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

using namespace std::chrono_literals;

namespace {

class DesktopStoresSync : public PhoneSync
{
protected:
    // The phone, the stores the application registers at launch, and a profile paired with the
    // phone at its address, launched.
    void launchWithDesktopStores()
    {
        ASSERT_NO_FATAL_FAILURE(startPhone());
        useDesktopStores();
        saveWindowProfile(QStringLiteral("Phone"), [this](HMProfile &profile) {
            pairedProfile(profile);
            profile.setHhIpAddress(QStringLiteral("127.0.0.1"));
        });
        ASSERT_NO_FATAL_FAILURE(launchWindow());
    }

    // Waits for the sheet's end and answers its two lines.
    QString awaitEnd()
    {
        const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
        if (!sheet) {
            ADD_FAILURE() << "no progress sheet";
            return {};
        }
        EXPECT_TRUE(testsupport::waitUntil([&] { return !window().didStartSync(); }, 30s))
            << "the sheet reads " << sheet->overallText().toStdString();
        return sheet->overallText() + u'|' + sheet->stepText();
    }

    QString storeFolder(const QString &name) const { return m_home->dataFolder() + u'/' + name; }

    QString writeConfig(const QString &name, const QString &text) const
    {
        const QString path = m_home->path() + u'/' + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        return path;
    }

    QString khardList() const
    {
        const QString config = writeConfig(
            QStringLiteral("khard.conf"),
            QStringLiteral("[addressbooks]\n[[desktop]]\npath = %1\n").arg(storeFolder(QStringLiteral("Contacts"))));
        return eventkittest::runTool(QStringLiteral("khard"), {QStringLiteral("-c"), config, QStringLiteral("list"),
                                                               QStringLiteral("--parsable")});
    }

    QString khalList() const
    {
        const QString config = writeConfig(
            QStringLiteral("khal.conf"),
            QStringLiteral("[calendars]\n[[desktop]]\npath = %1/*\ntype = discover\n[locale]\ntimeformat = %H:%M\n"
                           "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                           "longdatetimeformat = %Y-%m-%d %H:%M\n[sqlite]\npath = %2\n")
                .arg(storeFolder(QStringLiteral("Calendars")), m_home->path() + QStringLiteral("/khal.db")));
        return eventkittest::runTool(QStringLiteral("khal"),
                                     {QStringLiteral("-c"), config, QStringLiteral("list"), QStringLiteral("--format"),
                                      QStringLiteral("{start} {end} {title}"), QStringLiteral("--once"), QStringLiteral("--day-format"),
                                      QString(), QStringLiteral("2026-12-01"), QStringLiteral("60d")});
    }

};

QStringList filesIn(const QString &folder, const QString &pattern)
{
    QStringList names = QDir(folder).entryList({pattern}, QDir::Files);
    names.sort();
    return names;
}

TEST_F(DesktopStoresSync, AnnouncementSyncsThePhoneIntoTheVCardAndICalendarFolders)
{
    ASSERT_NO_FATAL_FAILURE(startPhone());
    useDesktopStores();
    ASSERT_NO_FATAL_FAILURE(launchPairedAndAnnounce());
    EXPECT_EQ(awaitEnd(), QStringLiteral("Sync Complete|"));

    EXPECT_EQ(filesIn(storeFolder(QStringLiteral("Contacts")), QStringLiteral("*.vcf")).size(), 2);
    const QString contacts = khardList();
    EXPECT_TRUE(contacts.contains(QStringLiteral("Ada Lovelace"))) << contacts.toStdString();
    EXPECT_TRUE(contacts.contains(QStringLiteral("Charles Babbage"))) << contacts.toStdString();
    const QStringList events = khalList().split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(events.size(), 2) << events.join(u'|').toStdString();
    EXPECT_EQ(events[0], QStringLiteral("2026-12-14 09:00 2026-12-14 10:30 Engine review"));
    EXPECT_TRUE(events[1].startsWith(QStringLiteral("2026-12-24 "))) << events[1].toStdString();
    EXPECT_TRUE(events[1].endsWith(QStringLiteral(" Holiday"))) << events[1].toStdString();

    // The profile keeps the calendar and the reminder list chosen for it, each a folder of its own.
    const std::shared_ptr<HMProfile> profile = window().currentProfile();
    const QString calendars = storeFolder(QStringLiteral("Calendars"));
    ASSERT_FALSE(profile->eventCalendarIdentifierToWriteTo().isEmpty());
    ASSERT_NE(profile->eventCalendarIdentifierToWriteTo(), profile->taskCalendarIdentifierToWriteTo());
    EXPECT_EQ(profile->eventCalendarIdentifiersToSync(), QStringList{profile->eventCalendarIdentifierToWriteTo()});
    EXPECT_EQ(filesIn(calendars + u'/' + profile->eventCalendarIdentifierToWriteTo(), QStringLiteral("*.ics")).size(), 2);
    EXPECT_EQ(filesIn(calendars + u'/' + profile->taskCalendarIdentifierToWriteTo(), QStringLiteral("*.ics")).size(), 1);
    HMProfileManager manager(*m_defaults);
    const auto stored = manager.loadProfiles();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 1);
    EXPECT_EQ(stored->front()->taskCalendarIdentifiersToSync(), profile->taskCalendarIdentifiersToSync());
}

// The store's answers: undecided until its folder exists, which a request makes; refused when the
// folder cannot be made, or something other than a folder stands in its place.
TEST_F(DesktopStoresSync, CalendarStoreAnswersTheAccessQuestion)
{
    struct Row { const char *name; const char *setUp; HMAuthorizationStatus before; bool granted;
                 HMAuthorizationStatus after; };
    const Row rows[] = {
        {"no folder yet", "", HMAuthorizationStatus::NotDetermined, true, HMAuthorizationStatus::Authorized},
        {"a folder", "folder", HMAuthorizationStatus::Authorized, true, HMAuthorizationStatus::Authorized},
        {"a file in its place", "file", HMAuthorizationStatus::Denied, false, HMAuthorizationStatus::Denied},
        {"under a file", "under-file", HMAuthorizationStatus::NotDetermined, false,
         HMAuthorizationStatus::NotDetermined},
    };
    HMEventStoreCalendarAccess access;
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString base = m_home->path() + QStringLiteral("/case%1").arg(++index);
        ASSERT_TRUE(QDir().mkpath(base));
        QString root = base + QStringLiteral("/Calendars");
        const QString setUp = QString::fromLatin1(row.setUp);
        if (setUp == QLatin1String("folder")) {
            ASSERT_TRUE(QDir().mkpath(root));
        }
        if (setUp == QLatin1String("file") || setUp == QLatin1String("under-file")) {
            QFile file(root);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        if (setUp == QLatin1String("under-file"))
            root += QStringLiteral("/inner");
        platform::UserDefaults::standardUserDefaults().setObject(root, platform::EKEventStore::kCalendarsFolderKey);
        EXPECT_EQ(access.authorizationStatusForEntityType(HMCalendarEntityType::Event), row.before);
        std::optional<bool> answer;
        access.requestAccessToEntityType(HMCalendarEntityType::Reminder, [&answer](bool granted) { answer = granted; });
        ASSERT_TRUE(testsupport::waitUntil([&] { return answer.has_value(); })) << "awaited the answer";
        EXPECT_EQ(*answer, row.granted);
        EXPECT_EQ(access.authorizationStatusForEntityType(HMCalendarEntityType::Reminder), row.after);
    }
}

// Synchronize asks the store for access where it was not decided: granted, the store's folder is made
// private and the sync fills it.
TEST_F(DesktopStoresSync, SynchronizeAsksForCalendarAccessAndSyncsWhenGranted)
{
    ASSERT_NO_FATAL_FAILURE(launchWithDesktopStores());
    const QString calendars = storeFolder(QStringLiteral("Calendars"));
    ASSERT_TRUE(QDir(calendars).removeRecursively());
    window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().syncProgressController() != nullptr; }))
        << "awaited the progress sheet";
    EXPECT_EQ(awaitEnd(), QStringLiteral("Sync Complete|"));
    EXPECT_EQ(QFileInfo(calendars).permissions() & QFile::ReadOther, 0);
    EXPECT_TRUE(khalList().contains(QStringLiteral("Engine review")));
}

// Refused, the sync still goes on: the contacts arrive, the calendar conduits find no store to write
// to, and the sheet says so.
TEST_F(DesktopStoresSync, SynchronizeGoesOnWhenCalendarAccessIsRefused)
{
    const QString blocker = m_home->path() + QStringLiteral("/not-a-folder");
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    platform::UserDefaults::standardUserDefaults().setObject(blocker + QStringLiteral("/Calendars"),
                                                             platform::EKEventStore::kCalendarsFolderKey);
    ASSERT_NO_FATAL_FAILURE(launchWithDesktopStores());
    window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().syncProgressController() != nullptr; }))
        << "awaited the progress sheet";
    EXPECT_EQ(awaitEnd(), QStringLiteral("Sync did not finish|Could not write to Apple reminders calendar. Make sure you "
                                         "have a valid Apple reminders calendar selected in Harrowmere Advanced "
                                         "Settings."));
    EXPECT_TRUE(m_peer->requestLog().contains(QStringLiteral("/hmx_logon")));
    EXPECT_EQ(filesIn(storeFolder(QStringLiteral("Contacts")), QStringLiteral("*.vcf")).size(), 2);
}

} // namespace
