// hm_sync_once: runs one manual sync of a stored profile through the sync controller and the Wi-Fi
// transport, and prints how it ended. Contacts live in the address book's vCard folder, events and
// tasks in the calendar store's iCalendar folders; memos (and, when chosen, the others) in a memory
// store kept in a file between runs. Exit status: 0 when the sync finished, 1 when
// it ended in error, 2 for bad arguments or files.
#include "CalendarStoreChoice.h"
#include "ContactStoreChoice.h"
#include "GoogleRunner.h"
#include "MemoryDataSource.h"
#include "OutlookStoreChoice.h"
#include "SyncRunner.h"

#include "foundation/HMFileManager.h"
#include "foundation/Lumberjack/DDAbstractLogger.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "foundation/Lumberjack/DDTTYLogger.h"
#include "app/stores/HMSyncRegistration.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMMemoData.h"
#include "datasources/tasks/HMTaskData.h"
#include "datasources/contacts/HMContactData.h"
#include "cloud/HMQuillnestSync.h"
#include "phonelink/HMWiFiSync.h"
#include "platform/dispatch/WorkerPool.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarFolderWatch.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/restkit/RKClient.h"
#include "sync/HMProfile.h"
#include "sync/HMIdentifierGraphJournal.h"
#include "sync/HMDeletionGuard.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncTypes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <atomic>
#include <limits>
#include <optional>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

int fail(const QString &problem)
{
    std::fprintf(stderr, "hm_sync_once: %s\n", qPrintable(problem));
    return 2;
}

std::shared_ptr<HMProfile> findProfile(const QList<std::shared_ptr<HMProfile>> &profiles, const QString &name)
{
    for (const std::shared_ptr<HMProfile> &profile : profiles) {
        if (name.isEmpty() || profile->filename() == name || profile->name() == name)
            return profile;
    }
    return nullptr;
}

// A Wi-Fi profile for the phone at the address, syncing contacts, calendar and tasks both ways.
std::shared_ptr<HMProfile> createProfile(HMProfileManager &manager, const QString &address, const QString &phoneId,
                                         const QString &conflictSetting)
{
    std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setDeviceTypeName(QStringLiteral("android"));
    profile->setSyncMethodName(QStringLiteral("wifi"));
    profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile->setContactManager(HMContactManager::Apple);
    profile->setHhIpAddress(address);
    profile->setHhPassword(phoneId);
    profile->setContactSyncEnabled(true);
    profile->setCalendarSyncEnabled(true);
    profile->setTaskSyncEnabled(true);
    profile->setConflictSettingName(conflictSetting);
    profile->setContactConflictSettingName(conflictSetting);
    profile->setCalendarConflictSettingName(conflictSetting);
    profile->setTaskConflictSettingName(conflictSetting);
    profile->setMemoConflictSettingName(conflictSetting);
    return profile;
}

// A cloud profile for the account, every conduit off until the stores are chosen; the password is read
// from a file of the user's own (0600), never from the command line.
std::shared_ptr<HMProfile> createCloudProfile(HMProfileManager &manager, const QString &user, const QString &password)
{
    std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setDeviceTypeName(QStringLiteral("quillnest_devicetype"));
    profile->setSyncMethodName(QStringLiteral("quill_nest_sync_method"));
    profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile->setContactManager(HMContactManager::Apple);
    profile->setHhUserId(user);
    profile->setQuillnestPassword(password);
    profile->setContactSyncEnabled(false);
    profile->setCalendarSyncEnabled(false);
    profile->setTaskSyncEnabled(false);
    return profile;
}

// Marks the conduit's table on the other side to be emptied at the next sync; false, with the problem,
// for a conduit name it does not know or a profile it cannot save.
bool markPurge(HMProfileManager &manager, HMProfile &profile, const QString &conduit, QString &problem)
{
    if (conduit == QLatin1String("contacts"))
        profile.setPurgeContactsOnNextSync(true);
    else if (conduit == QLatin1String("calendar"))
        profile.setPurgeCalendarOnNextSync(true);
    else if (conduit == QLatin1String("tasks"))
        profile.setPurgeTasksOnNextSync(true);
    else {
        problem = QStringLiteral("--purge takes contacts, calendar or tasks, not '%1'").arg(conduit);
        return false;
    }
    if (manager.saveProfile(profile))
        return true;
    problem = QStringLiteral("cannot save the profile's purge flag");
    return false;
}

// The lines of a regular file that only its owner may read (at most 16 KiB); nothing, with the
// problem, otherwise.
std::optional<QStringList> readPrivateLines(const QString &path, QString &problem)
{
    QFile file(path);
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink()) {
        problem = QStringLiteral("%1 is no regular file").arg(path);
        return std::nullopt;
    }
    if (info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                              QFileDevice::WriteOther)) {
        problem = QStringLiteral("%1 may be read by others: make it 0600").arg(path);
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read %1").arg(path);
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(file.read(16 * 1024));
    QStringList lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines << line.trimmed();
    return lines;
}

// The first line of such a file.
std::optional<QString> readPasswordFile(const QString &path, QString &problem)
{
    const std::optional<QStringList> lines = readPrivateLines(path, problem);
    return lines ? std::optional<QString>(lines->value(0)) : std::nullopt;
}

// A Google-direct profile with Outlook (the simulated one) as the desktop's store, every conduit off.
std::shared_ptr<HMProfile> createGoogleProfile(HMProfileManager &manager, const QString &user)
{
    std::shared_ptr<HMProfile> profile = manager.newProfile();
    profile->setDeviceTypeName(QStringLiteral("google_devicetype"));
    profile->setSyncMethodName(QStringLiteral("direct_sync_method"));
    profile->setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
    profile->setContactManager(HMContactManager::Outlook15);
    profile->setGoogleDirectUsername(user);
    profile->setContactSyncEnabled(false);
    profile->setCalendarSyncEnabled(false);
    profile->setTaskSyncEnabled(false);
    return profile;
}

// The Google tokens of the profile from a file of the user's own (0600): the refresh token on the
// first line, an access token on the second (optional). They never go on the command line.
bool applyGoogleTokensFile(HMProfile &profile, const QString &path, QString &problem)
{
    const std::optional<QStringList> lines = readPrivateLines(path, problem);
    if (!lines)
        return false;
    profile.setGoogleRefreshToken(lines->value(0));
    profile.setGoogleAccessToken(lines->value(1).isEmpty() ? QStringLiteral("-") : lines->value(1));
    return true;
}

void addSampleRecords(hmsync::MemoryStore &store, int count)
{
    for (int index = 1; index <= count; ++index) {
        store.addRecord(1,
                        {{QStringLiteral("FIRSTNAME"), QStringLiteral("Desk")},
                         {QStringLiteral("LASTNAME"), QStringLiteral("Contact %1").arg(index)},
                         {QStringLiteral("NOTE"), QStringLiteral("Typed on the desktop:\tfish & chips\nsecond line")}});
        const QDateTime start = QDateTime(QDate(2026, 12, 7).addDays(index), QTime(10, 0), Qt::UTC);
        store.addRecord(2, {{QStringLiteral("SUBJECT"), QStringLiteral("Desktop meeting %1").arg(index)},
                            {QStringLiteral("NSDATESTARTDATE"), start},
                            {QStringLiteral("NSDATEENDDATE"), start.addSecs(1800)},
                            {QStringLiteral("TYPENUMBER"), false}});
        store.addRecord(3, {{QStringLiteral("SUBJECT"), QStringLiteral("Desktop task %1").arg(index)},
                            {QStringLiteral("PRIORITY"), qint64(1)}});
    }
}

// HM_SYNC_KILL_AT="<step>:<n>" ends the process with SIGKILL right after the n-th completion of a step
// of writing the identifier graphs ("journal-append", "graph-written" or "journal-removed") or the
// memory store ("store-flushed": lines written to its log before their save ends, "store-committed",
// "store-written": a new file in place, "store-log-removed"), or the phone's answer to an update batch
// read before anything of it is kept ("update-answered"), so the crash tests can stop a sync exactly
// around its writes; for an Outlook store "outlook-read" (the changed contacts read, before they go
// out), "outlook-confirmed" (a pair the phone confirmed kept), "outlook-committed" (the contact map
// written), "outlook-written" (Outlook answered a script writing a contact, its pair not kept yet),
// "outlook-paired" (the pair of a contact written to Outlook kept), and the same steps of the events
// with "outlook-events-read", "outlook-events-confirmed", "outlook-events-committed",
// "outlook-events-written" and "outlook-events-paired", and of the memos with "outlook-memos-read",
// "outlook-memos-confirmed", "outlook-memos-committed", "outlook-memos-written" and "outlook-memos-paired",
// and of the tasks with "outlook-tasks-read", "-confirmed", "-committed", "-written" and "-paired";
// for the calendar folders "calendar-staged" (a page applied, the files it changed not written yet)
// and "calendar-written" (a folder's changed files written, not yet synced nor named by the graph).
// HM_OUTLOOK_NO_PAUSE drops the pause after each contact added to Outlook, so long kill trials take
// seconds. Answers false when the value is not one.
bool installKillPoint(const QString &point)
{
    using GraphStep = HMIdentifierGraphJournal::Step;
    using StoreStep = hmsync::MemoryStore::Step;
    static const QMap<QString, GraphStep> graphSteps{{QStringLiteral("journal-append"), GraphStep::JournalAppended},
                                                     {QStringLiteral("graph-written"), GraphStep::GraphFileWritten},
                                                     {QStringLiteral("journal-removed"), GraphStep::JournalRemoved}};
    static const QMap<QString, StoreStep> storeSteps{{QStringLiteral("store-flushed"), StoreStep::LogFlushed},
                                                     {QStringLiteral("store-committed"), StoreStep::LogCommitted},
                                                     {QStringLiteral("store-written"), StoreStep::FileWritten},
                                                     {QStringLiteral("store-log-removed"), StoreStep::LogRemoved}};
    using OutlookStep = HMContactData::OutlookStep;
    static const QMap<QString, OutlookStep> outlookSteps{{QStringLiteral("outlook-read"), OutlookStep::ReadDone},
                                                         {QStringLiteral("outlook-confirmed"), OutlookStep::PairConfirmed},
                                                         {QStringLiteral("outlook-committed"), OutlookStep::MapCommitted},
                                                         {QStringLiteral("outlook-written"), OutlookStep::RecordWritten},
                                                         {QStringLiteral("outlook-paired"), OutlookStep::AppliedPairKept}};
    using EventStep = HMCalendarData::OutlookStep;
    static const QMap<QString, EventStep> eventSteps{{QStringLiteral("outlook-events-read"), EventStep::ReadDone},
                                                    {QStringLiteral("outlook-events-confirmed"), EventStep::PairConfirmed},
                                                    {QStringLiteral("outlook-events-committed"), EventStep::MapCommitted},
                                                    {QStringLiteral("outlook-events-written"), EventStep::RecordWritten},
                                                    {QStringLiteral("outlook-events-paired"), EventStep::AppliedPairKept}};
    using MemoStep = HMMemoData::MemoStep;
    static const QMap<QString, MemoStep> memoSteps{{QStringLiteral("outlook-memos-read"), MemoStep::ReadDone},
                                                  {QStringLiteral("outlook-memos-confirmed"), MemoStep::PairConfirmed},
                                                  {QStringLiteral("outlook-memos-committed"), MemoStep::MapCommitted},
                                                  {QStringLiteral("outlook-memos-written"), MemoStep::RecordWritten},
                                                  {QStringLiteral("outlook-memos-paired"), MemoStep::AppliedPairKept}};
    using TaskStep = HMOutlookConduit::Step;
    static const QMap<QString, TaskStep> taskSteps{{QStringLiteral("outlook-tasks-read"), TaskStep::ReadDone},
                                                  {QStringLiteral("outlook-tasks-confirmed"), TaskStep::PairConfirmed},
                                                  {QStringLiteral("outlook-tasks-committed"), TaskStep::MapCommitted},
                                                  {QStringLiteral("outlook-tasks-written"), TaskStep::RecordWritten},
                                                  {QStringLiteral("outlook-tasks-paired"), TaskStep::AppliedPairKept}};
    using CalendarStep = platform::EKEventStore::StagedWriteStep;
    static const QMap<QString, CalendarStep> calendarSteps{{QStringLiteral("calendar-staged"), CalendarStep::Writing},
                                                           {QStringLiteral("calendar-written"), CalendarStep::Written}};
    const QStringList parts = point.split(QLatin1Char(':'));
    bool isNumber = false;
    const int occurrence = parts.value(1).toInt(&isNumber);
    const QString name = parts.value(0);
    const bool isAnswerStep = name == QLatin1String("update-answered");
    const bool isKnownStep =
        graphSteps.contains(name) || storeSteps.contains(name) || outlookSteps.contains(name) || eventSteps.contains(name) ||
        memoSteps.contains(name) || taskSteps.contains(name) || calendarSteps.contains(name) || isAnswerStep;
    if (parts.size() != 2 || !isKnownStep || !isNumber || occurrence < 1)
        return false;
    auto seen = std::make_shared<std::atomic<int>>(0);
    const auto killAtOccurrence = [occurrence, seen] {
        if (++*seen == occurrence)
            ::kill(::getpid(), SIGKILL);
    };
    if (isAnswerStep) {
        HMWiFiSync::setBatchAnsweredHook(killAtOccurrence);
    } else if (outlookSteps.contains(name)) {
        HMContactData::setOutlookStepHook([wanted = outlookSteps.value(name), killAtOccurrence](OutlookStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    } else if (eventSteps.contains(name)) {
        HMCalendarData::setOutlookStepHook([wanted = eventSteps.value(name), killAtOccurrence](EventStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    } else if (memoSteps.contains(name)) {
        HMMemoData::setMemoStepHook([wanted = memoSteps.value(name), killAtOccurrence](MemoStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    } else if (taskSteps.contains(name)) {
        HMTaskData::setOutlookTaskStepHook([wanted = taskSteps.value(name), killAtOccurrence](TaskStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    } else if (calendarSteps.contains(name)) {
        platform::EKEventStore::setStagedWriteHook([wanted = calendarSteps.value(name), killAtOccurrence](CalendarStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    } else if (graphSteps.contains(name)) {
        HMIdentifierGraphJournal::setStepHook([wanted = graphSteps.value(name), killAtOccurrence](GraphStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    } else {
        hmsync::MemoryStore::setStepHook([wanted = storeSteps.value(name), killAtOccurrence](StoreStep step) {
            if (step == wanted)
                killAtOccurrence();
        });
    }
    return true;
}

// The options of the command line.
void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("Runs one manual sync of a profile with the phone over Wi-Fi."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("profile"), QStringLiteral("The profile's name or file name; default: the first one."),
         QStringLiteral("name")},
        {QStringLiteral("create-profile"), QStringLiteral("Create a Wi-Fi profile when there is none.")},
        {QStringLiteral("create-cloud-profile"),
         QStringLiteral("Create a cloud profile when there is none (with --cloud-user and --cloud-password-file); "
                        "the cloud's host comes from HM_QUILLNEST_HOST, extra trusted certificates from "
                        "HM_TLS_CA_FILE.")},
        {QStringLiteral("cloud-user"), QStringLiteral("The cloud account's user name."), QStringLiteral("name")},
        {QStringLiteral("cloud-password-file"),
         QStringLiteral("A file (0600) whose first line is the cloud account's password."), QStringLiteral("file")},
        {QStringLiteral("create-google-profile"),
         QStringLiteral("Create a Google-direct profile when there is none (with --google-user); Google's hosts come "
                        "from HM_GOOGLE_API_HOST, HM_GOOGLE_CONTACTS_HOST and HM_GOOGLE_ACCOUNTS_HOST.")},
        {QStringLiteral("google-user"), QStringLiteral("The Google account's e-mail address."), QStringLiteral("email")},
        {QStringLiteral("google-tokens-file"),
         QStringLiteral("A file (0600): the Google refresh token on its first line, an access token on the second."),
         QStringLiteral("file")},
        {QStringLiteral("cancel-at-stage"),
         QStringLiteral("Cancel a Google-direct run as it enters this stage (as the sheet's Cancel does)."),
         QStringLiteral("stage")},
        {QStringLiteral("cloud-conduits"),
         QStringLiteral("The conduits a new cloud profile syncs, comma-separated: contacts, calendar, tasks; "
                        "default: none."),
         QStringLiteral("list")},
        {QStringLiteral("google-conduits"),
         QStringLiteral("The conduits a new Google profile syncs, comma-separated: contacts, calendar, tasks; "
                        "default: none."),
         QStringLiteral("list")},
        {QStringLiteral("purge"),
         QStringLiteral("Empty the other side's table of the conduit first (contacts, calendar or tasks), once."),
         QStringLiteral("conduit")},
        {QStringLiteral("keep-alive-seconds"), QStringLiteral("The cloud session's keep-alive interval."),
         QStringLiteral("seconds"), QStringLiteral("600")},
        {QStringLiteral("no-sync"), QStringLiteral("Prepare the profile and the stores, then stop before syncing.")},
        {QStringLiteral("phone-address"), QStringLiteral("The phone's address for --create-profile."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("phone-id"), QStringLiteral("The paired phone's id for --create-profile."),
         QStringLiteral("id"), QStringLiteral("QP-PEER-0001")},
        {QStringLiteral("conflict"),
         QStringLiteral("The conflict rule of every conduit for --create-profile: last_modified_wins, apple_wins, "
                        "device_wins or duplicate."),
         QStringLiteral("rule"), QStringLiteral("last_modified_wins")},
        {QStringLiteral("port"), QStringLiteral("The phone's sync port."), QStringLiteral("port"),
         QString::number(HMWiFiSync::kDefaultServerPort)},
        {QStringLiteral("store"),
         QStringLiteral("The desktop's records; default: desktop-records.json in the data folder."),
         QStringLiteral("file")},
        {QStringLiteral("sample-records"), QStringLiteral("Add this many sample records per conduit to a new store."),
         QStringLiteral("count"), QStringLiteral("0")},
        {QStringLiteral("contacts-store"),
         QStringLiteral("The desktop's contacts: vcard (the address book's folder), memory, or outlook (the Outlook "
                        "answering on $XDG_RUNTIME_DIR's sockets, its files under $HOME)."),
         QStringLiteral("store"), QStringLiteral("vcard")},
        {QStringLiteral("outlook-version"),
         QStringLiteral("With --contacts-store outlook: 14 (Outlook 2011) or 15 (Outlook 2016)."),
         QStringLiteral("version"), QStringLiteral("15")},
        {QStringLiteral("contacts-folder"),
         QStringLiteral("The address book's vCard folder; default: the saved choice."), QStringLiteral("folder")},
        {QStringLiteral("calendar-store"),
         QStringLiteral("The desktop's events and tasks: ical (the calendar store's folders), memory, or outlook "
                        "(events and tasks in Outlook, with --contacts-store outlook)."),
         QStringLiteral("store"), QStringLiteral("ical")},
        {QStringLiteral("calendars-folder"),
         QStringLiteral("The folder holding the calendar and reminder list folders; default: the saved choice."),
         QStringLiteral("folder")},
        {QStringLiteral("timeout"), QStringLiteral("Seconds the sync may take."), QStringLiteral("seconds"),
         QStringLiteral("600")},
        {QStringLiteral("logon-pause-ms"), QStringLiteral("The pause between the cancel logoff and the logon."),
         QStringLiteral("ms"), QStringLiteral("2000")},
        {QStringLiteral("allow-mass-deletions"),
         QStringLiteral("Go on when the sync would delete more than half of a side's records of a conduit (and more "
                        "than ten); without it such a sync stops with nothing deleted.")},
    });
}

// What the command line asks for, checked.
struct Settings
{
    int port = 0;
    int sampleCount = 0;
    int timeoutSeconds = 0;
    int logonPauseMs = 0;
    hmsync::ContactStore contactStore{};
    hmsync::CalendarStore calendarStore{};
    double keepAliveSeconds = 600.0;
    QString outlookVersion;
};

// A whole-number option within its bounds; nothing, with the problem, otherwise.
std::optional<int> numberOption(const QCommandLineParser &parser, const QString &name, int lowest, int highest,
                                const QString &whenWrong, QString &problem)
{
    bool isNumber = false;
    const int value = parser.value(name).toInt(&isNumber);
    if (isNumber && value >= lowest && value <= highest)
        return value;
    problem = whenWrong;
    return std::nullopt;
}

std::optional<Settings> readSettings(const QCommandLineParser &parser, QString &problem)
{
    const std::optional<int> port = numberOption(
        parser, QStringLiteral("port"), 1, 65535,
        QStringLiteral("--port needs a port number, not '%1'").arg(parser.value(QStringLiteral("port"))), problem);
    const std::optional<int> sampleCount =
        port ? numberOption(parser, QStringLiteral("sample-records"), 0, 100000,
                            QStringLiteral("--sample-records needs a count from 0 to 100000"), problem)
             : std::nullopt;
    const std::optional<int> timeoutSeconds =
        sampleCount ? numberOption(parser, QStringLiteral("timeout"), 1, std::numeric_limits<int>::max(),
                                   QStringLiteral("--timeout needs a number of seconds"), problem)
                    : std::nullopt;
    const std::optional<int> logonPauseMs =
        timeoutSeconds
            ? numberOption(parser, QStringLiteral("logon-pause-ms"), 0, 60000,
                           QStringLiteral("--logon-pause-ms needs a number of milliseconds up to 60000"), problem)
            : std::nullopt;
    if (!logonPauseMs)
        return std::nullopt;
    const QString outlookVersion = parser.value(QStringLiteral("outlook-version"));
    if (outlookVersion != u"14" && outlookVersion != u"15") {
        problem = QStringLiteral("--outlook-version takes 14 or 15");
        return std::nullopt;
    }
    const std::optional<hmsync::ContactStore> contactStore =
        hmsync::contactStoreFromName(parser.value(QStringLiteral("contacts-store")));
    const std::optional<hmsync::CalendarStore> calendarStore =
        hmsync::calendarStoreFromName(parser.value(QStringLiteral("calendar-store")));
    if (!contactStore || !calendarStore) {
        problem = !contactStore ? QStringLiteral("--contacts-store takes vcard, memory or outlook")
                                : QStringLiteral("--calendar-store takes ical, memory or outlook");
        return std::nullopt;
    }
    if (*calendarStore == hmsync::CalendarStore::Outlook && *contactStore != hmsync::ContactStore::Outlook) {
        problem = QStringLiteral("--calendar-store outlook needs --contacts-store outlook");
        return std::nullopt;
    }
    if (!conflictSettingForName(parser.value(QStringLiteral("conflict")))) {
        problem = QStringLiteral("--conflict takes last_modified_wins, apple_wins, device_wins or duplicate");
        return std::nullopt;
    }
    bool isNumber = false;
    const double keepAliveSeconds = parser.value(QStringLiteral("keep-alive-seconds")).toDouble(&isNumber);
    if (!isNumber || keepAliveSeconds <= 0) {
        problem = QStringLiteral("--keep-alive-seconds needs a number of seconds");
        return std::nullopt;
    }
    return Settings{*port, *sampleCount, *timeoutSeconds, *logonPauseMs, *contactStore, *calendarStore,
                    keepAliveSeconds, outlookVersion};
}

// The profile the command line names, made when asked for and there is none; nullptr, with the
// problem, when there is none.
std::shared_ptr<HMProfile> openProfile(HMProfileManager &manager, const QCommandLineParser &parser,
                                       const QString &dataFolder, QString &problem)
{
    const platform::Result<QList<std::shared_ptr<HMProfile>>> profiles = manager.loadProfiles();
    if (!profiles) {
        problem = profiles.error().message();
        return nullptr;
    }
    std::shared_ptr<HMProfile> profile = findProfile(*profiles, parser.value(QStringLiteral("profile")));
    if (!profile && parser.isSet(QStringLiteral("create-cloud-profile"))) {
        const std::optional<QString> password =
            readPasswordFile(parser.value(QStringLiteral("cloud-password-file")), problem);
        if (!password)
            return nullptr;
        profile = createCloudProfile(manager, parser.value(QStringLiteral("cloud-user")), *password);
        const QStringList conduits = parser.value(QStringLiteral("cloud-conduits")).split(u',', Qt::SkipEmptyParts);
        profile->setContactSyncEnabled(conduits.contains(QStringLiteral("contacts")));
        profile->setCalendarSyncEnabled(conduits.contains(QStringLiteral("calendar")));
        profile->setTaskSyncEnabled(conduits.contains(QStringLiteral("tasks")));
        if (!manager.saveProfile(*profile)) {
            problem = QStringLiteral("cannot save the new profile in %1").arg(dataFolder);
            return nullptr;
        }
        std::printf("Created cloud profile '%s' (%s.settings)\n", qPrintable(profile->name()),
                    qPrintable(profile->filename()));
    }
    if (!profile && parser.isSet(QStringLiteral("create-google-profile"))) {
        profile = createGoogleProfile(manager, parser.value(QStringLiteral("google-user")));
        const QStringList conduits = parser.value(QStringLiteral("google-conduits")).split(u',', Qt::SkipEmptyParts);
        profile->setContactSyncEnabled(conduits.contains(QStringLiteral("contacts")));
        profile->setCalendarSyncEnabled(conduits.contains(QStringLiteral("calendar")));
        profile->setTaskSyncEnabled(conduits.contains(QStringLiteral("tasks")));
        if (!manager.saveProfile(*profile)) {
            problem = QStringLiteral("cannot save the new profile in %1").arg(dataFolder);
            return nullptr;
        }
        std::printf("Created Google profile '%s' (%s.settings)\n", qPrintable(profile->name()),
                    qPrintable(profile->filename()));
    }
    if (!profile && parser.isSet(QStringLiteral("create-profile"))) {
        profile = createProfile(manager, parser.value(QStringLiteral("phone-address")),
                                parser.value(QStringLiteral("phone-id")), parser.value(QStringLiteral("conflict")));
        if (!manager.saveProfile(*profile)) {
            problem = QStringLiteral("cannot save the new profile in %1").arg(dataFolder);
            return nullptr;
        }
        std::printf("Created profile '%s' (%s.settings)\n", qPrintable(profile->name()),
                    qPrintable(profile->filename()));
    }
    if (!profile) {
        problem = QStringLiteral("no profile found in %1").arg(dataFolder);
        return nullptr;
    }
    if (parser.isSet(QStringLiteral("purge")) && !markPurge(manager, *profile, parser.value(QStringLiteral("purge")), problem))
        return nullptr;
    return profile;
}

QString storePathOf(const QCommandLineParser &parser, const QString &dataFolder)
{
    return parser.isSet(QStringLiteral("store")) ? parser.value(QStringLiteral("store"))
                                                 : QDir(dataFolder).filePath(QStringLiteral("desktop-records.json"));
}

// Loads the memory store and chooses the desktop's stores for the profile; a new store gets the sample
// records asked for. False, with the problem, when something cannot be read or written.
bool prepareStores(const Settings &settings, const QCommandLineParser &parser, HMProfileManager &manager,
                   const std::shared_ptr<HMProfile> &chosen, hmsync::MemoryStore &store, QString &problem)
{
    HMProfile &profile = *chosen;
    const QString dataFolder = HMFileManager::dataStorageURL().toLocalFile();
    const QString storePath = storePathOf(parser, dataFolder);
    const bool addsSamples = !QFileInfo::exists(storePath) && settings.sampleCount > 0;
    if (!store.load(storePath, problem)) {
        problem = QStringLiteral("cannot read %1: %2").arg(storePath, problem);
        return false;
    }
    if (addsSamples) {
        addSampleRecords(store, settings.sampleCount);
        if (!store.save(problem)) {
            problem = QStringLiteral("cannot write %1: %2").arg(storePath, problem);
            return false;
        }
    }
    hmsync::useContactStore(settings.contactStore, profile, parser.value(QStringLiteral("contacts-folder")));
    if (settings.contactStore == hmsync::ContactStore::Outlook &&
        hmsync::useOutlookContacts(chosen, settings.outlookVersion) && !manager.saveProfile(profile)) {
        problem = QStringLiteral("cannot save the profile's Outlook choice in %1").arg(dataFolder);
        return false;
    }
    if (settings.calendarStore == hmsync::CalendarStore::Outlook)
        hmsync::useOutlookEvents();
    if (addsSamples && !hmsync::addSampleContacts(settings.contactStore, profile, settings.sampleCount, problem)) {
        problem = QStringLiteral("cannot add sample contacts: %1").arg(problem);
        return false;
    }
    if (hmsync::useCalendarStore(settings.calendarStore, profile, parser.value(QStringLiteral("calendars-folder"))) &&
        !manager.saveProfile(profile)) {
        problem = QStringLiteral("cannot save the profile's calendar choice in %1").arg(dataFolder);
        return false;
    }
    if (addsSamples &&
        !hmsync::addSampleEventsAndTasks(settings.calendarStore, profile, settings.sampleCount, problem)) {
        problem = QStringLiteral("cannot add sample events and tasks: %1").arg(problem);
        return false;
    }
    return true;
}

// Runs the sync and prints how it ended and how many records each desktop store holds; the exit status.
int syncAndReport(const Settings &settings, const std::shared_ptr<HMProfileManager> &manager,
                  const std::shared_ptr<HMProfile> &profile, hmsync::MemoryStore &store)
{
    hmsync::prepareCalendarSync(settings.calendarStore, *profile);
    HMWiFiSync::Timing timing;
    timing.logonPause = std::chrono::milliseconds(settings.logonPauseMs);
    HMWiFiSync::registerTransport(settings.port, timing);
    HMQuillnestTiming cloudTiming;
    cloudTiming.keepAliveIntervalSeconds = settings.keepAliveSeconds;
    HMSyncRegistration::registerCloudTransport(cloudTiming);
    if (profile->syncMethod() == HMSyncMethod::Quillnest)
        std::printf("Synchronizing profile '%s' with the cloud at %s\n", qPrintable(profile->name()),
                    qPrintable(HMQuillnestSync::baseURLString()));
    else
        std::printf("Synchronizing profile '%s' with the phone at %s:%d\n", qPrintable(profile->name()),
                    qPrintable(profile->hhIpAddress()), settings.port);
    const hmsync::SyncOutcome outcome =
        hmsync::runManualSync(manager, profile, std::chrono::seconds(settings.timeoutSeconds));
    // A cloud run that was cancelled still closes its session before the program ends.
    HMQuillnestSync::waitForLogoutsUnderWay(std::chrono::seconds(10));
    std::printf("%s", qPrintable(hmsync::describeOutcome(outcome)));
    for (quint64 conduit = 1; conduit <= 4; ++conduit) {
        const qsizetype count = conduit == 1 ? (settings.contactStore == hmsync::ContactStore::Outlook
                                                    ? hmsync::outlookContactCount(profile)
                                                    : hmsync::contactCount(settings.contactStore, *profile, store))
                                : conduit == 4
                                    ? store.count(conduit)
                                    : hmsync::calendarRecordCount(settings.calendarStore, *profile, conduit, store);
        if (count > 0)
            std::printf("  desktop store, %s: %lld records\n", qPrintable(conduitName(HMSyncConduit(conduit))),
                        static_cast<long long>(count));
    }
    // HM_SYNC_PRINT_DATES=1 adds each conduit's last-sync date, which the crash tests compare.
    if (qEnvironmentVariableIsSet("HM_SYNC_PRINT_DATES")) {
        const QDateTime dates[] = {profile->contactLastSyncDate(), profile->calendarLastSyncDate(),
                                   profile->taskLastSyncDate()};
        for (quint64 conduit = 1; conduit <= 3; ++conduit)
            std::printf("  last sync, %s: %s\n", qPrintable(conduitName(HMSyncConduit(conduit))),
                        qPrintable(dates[conduit - 1].toUTC().toString(Qt::ISODateWithMs)));
    }
    QString problem;
    if (!store.save(problem)) {
        std::fprintf(stderr, "hm_sync_once: the desktop records were not saved: %s\n", qPrintable(problem));
        return 1;
    }
    return outcome.isSuccess ? 0 : 1;
}

// A Google-direct profile syncs Outlook (the simulated one) with Google: no desktop store of ours.
int syncWithGoogle(const Settings &settings, const QCommandLineParser &parser,
                   const std::shared_ptr<HMProfileManager> &manager, const std::shared_ptr<HMProfile> &profile)
{
    QString problem;
    if (parser.isSet(QStringLiteral("google-tokens-file")) &&
        !applyGoogleTokensFile(*profile, parser.value(QStringLiteral("google-tokens-file")), problem))
        return fail(problem);
    // A profile that syncs contacts or events syncs Outlook's.
    if ((profile->contactSyncEnabled() || profile->calendarSyncEnabled()) &&
        hmsync::useOutlookContacts(profile, settings.outlookVersion) &&
        !manager->saveProfile(*profile))
        return fail(QStringLiteral("cannot save the profile %1").arg(profile->name()));
    if (parser.isSet(QStringLiteral("no-sync")))
        return 0;
    // Certificates to trust besides the system's (the peer's own authority) come from the environment.
    if (const QString caFile = qEnvironmentVariable("HM_TLS_CA_FILE"); !caFile.isEmpty())
        platform::RKClient::setDefaultExtraCACertificatesFile(caFile);
    std::printf("Synchronizing profile '%s' with Google\n", qPrintable(profile->name()));
    std::fflush(stdout);
    return hmsync::runGoogleSync(manager, profile, parser.value(QStringLiteral("cancel-at-stage")),
                                 std::chrono::seconds(settings.timeoutSeconds));
}

// Sends the sync's log lines to the console, which the log level option points at standard error: the
// terminal logger writes only to a terminal.
class ConsoleLogger final : public DDAbstractLogger
{
public:
    ConsoleLogger() : DDAbstractLogger(QStringLiteral("hm_sync_once.console")) {}
    void logMessage(const DDLogMessage &message) override { platform::consoleLog(message.logMsg()); }
};

// HM_SYNC_LOG_FILES=1 keeps the logs the application keeps, in this program's log folder: every line
// at the verbose level in the rolling log files, and the console lines in "console.log" (0600,
// appended), so that tests can check what a sync leaves in them.
void keepLogFiles()
{
    const QString folder = platform::FileSystem::logFolderPath();
    if (!QDir().mkpath(folder))
        return;
    const int descriptor = ::open(QFile::encodeName(folder + QStringLiteral("/console.log")).constData(),
                                  O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor >= 0)
        platform::setConsoleLogDescriptor(descriptor);
    ddLogLevel = LOG_LEVEL_VERBOSE;
    DDLog::addLogger(std::make_shared<DDFileLogger>());
}

} // namespace

int main(int argc, char **argv)
{
    // A second arena held some 5 MB of a 10,000-record sync's peak, and raised mmap thresholds 2 MB.
    platform::ProcessInfo::keepHeapCompact();
    // One sync, then the process ends: its calendar folders are told changed by their own times and
    // whole looks, with no kernel watch set up over every name in them.
    platform::ICalendarFolderWatch::setKernelWatches(false);
    // Nothing here runs GLib code: Qt's own event loop serves the timers and sockets of this thread and
    // of those started later (each reads the variable as it starts), so GLib's loop and its code are
    // never set up (some 300 KB of a sync's peak). A value the caller set is kept.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    // Errors of the sync go to the terminal; HM_SYNC_LOG_LEVEL=info or verbose tells more (for the kill
    // trials' logs).
    const QString level = qEnvironmentVariable("HM_SYNC_LOG_LEVEL");
    ddLogLevel = level == QLatin1String("verbose") ? LOG_LEVEL_VERBOSE
                 : level == QLatin1String("info")  ? LOG_LEVEL_INFO
                                                   : LOG_LEVEL_ERROR;
    // The lines a level above errors go to standard error too, rather than to the system log.
    if (!level.isEmpty()) {
        platform::setConsoleLogDescriptor(STDERR_FILENO);
        DDLog::addLogger(std::make_shared<ConsoleLogger>());
    }
    DDLog::addLogger(DDTTYLogger::sharedInstance());
    if (qEnvironmentVariable("HM_SYNC_LOG_FILES") == QLatin1String("1"))
        keepLogFiles();
    // Whichever way the run ends, work still queued (a request's or socket's teardown) gets two seconds
    // to finish, then the log is written out and the loggers let go, before the statics the loggers and
    // libraries use are destroyed while threads that outlive main may still run.
    struct ProcessEnd
    {
        ~ProcessEnd()
        {
            platform::WorkerPool::shared().waitUntilIdle(std::chrono::seconds(2));
            DDLog::applicationWillTerminate();
        }
    } processEnd;
    QCommandLineParser parser;
    addOptions(parser);
    parser.process(application);
    if (const QString killPoint = qEnvironmentVariable("HM_SYNC_KILL_AT");
        !killPoint.isEmpty() && !installKillPoint(killPoint))
        return fail(QStringLiteral("HM_SYNC_KILL_AT takes <step>:<n>, not '%1'").arg(killPoint));
    if (qEnvironmentVariableIsSet("HM_OUTLOOK_NO_PAUSE"))
        HMContactData::setOutlookPause([] {});
    QString problem;
    const std::optional<Settings> settings = readSettings(parser, problem);
    if (!settings)
        return fail(problem);
    const QString dataFolder = HMFileManager::dataStorageURL().toLocalFile();
    if (!QDir().mkpath(dataFolder))
        return fail(QStringLiteral("cannot make the data folder %1").arg(dataFolder));
    const auto manager = std::make_shared<HMProfileManager>();
    const std::shared_ptr<HMProfile> profile = openProfile(*manager, parser, dataFolder, problem);
    if (!profile)
        return fail(problem);
    if (profile->syncMethod() == HMSyncMethod::GoogleDirect)
        return syncWithGoogle(*settings, parser, manager, profile);
    const auto store = std::make_shared<hmsync::MemoryStore>();
    hmsync::MemoryDataSource::registerForAllConduits(store);
    if (!prepareStores(*settings, parser, *manager, profile, *store, problem))
        return fail(problem);
    deletionguard::setAnswerWithoutSheet(parser.isSet(QStringLiteral("allow-mass-deletions")));
    if (parser.isSet(QStringLiteral("no-sync")))
        return store->save(problem)
                   ? 0
                   : fail(QStringLiteral("cannot write %1: %2").arg(storePathOf(parser, dataFolder), problem));
    return syncAndReport(*settings, manager, profile, *store);
}
