// The automation-script bridge against the simulated Outlook as its own process: the script found
// (or not) afresh for every run, the handler-call events as the peer receives them, the folder map
// of the settings window, and every way a run can end without an answer.
#include "outlook/HMAppleScripter.h"

#include "AppleScripterFixture.h"
#include "outlook/HMOutlookContactFolders.h"
#include "platform/foundation/Clock.h"

#include <QElapsedTimer>

#include <mutex>

using platform::NSAppleEventDescriptor;
using Event = HMAppleScripter::Event;
using BatchItems = HMAppleScripter::BatchItems;
using Conduit = HMAppleScripter::Conduit;
using Listing = HMAppleScripter::Listing;
using Recurrence = HMAppleScripter::Recurrence;

namespace {

QJsonArray texts(std::initializer_list<const char *> items)
{
    QJsonArray array;
    for (const char *item : items)
        array.append(QString::fromUtf8(item));
    return array;
}

} // namespace

TEST_F(AppleScripterTest, WithoutTheScriptEveryRunEndsAtOnceAndAScriptInstalledLaterIsFoundByTheNextRun)
{
    seed({{QStringLiteral("folders"), standardFolders()}});
    HMAppleScripter scripter;
    EXPECT_EQ(scripter.scriptTask(), nullptr);
    EXPECT_EQ(scripter.appReferenceString(), QStringLiteral("Microsoft Outlook"));
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("-[HMAppleScripter initializeNewScript] no AppleScript task error = ")), 1)
        << m_console.lines().join(u'\n').toStdString();

    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent()).isNil());
    // Each fetch and scan gives what a failed first call leaves.
    EXPECT_EQ(scripter.propertiesText(Conduit::Contacts, {QStringLiteral("10")}), QString());
    EXPECT_EQ(scripter.getAllContactIdsModifiedSince(QDateTime(), QString()), QStringList{QString()});
    EXPECT_EQ(scripter.getPropertiesStringForContactId(QStringLiteral("10")), QStringLiteral("\r\nCATEGORIES:"));
    EXPECT_EQ(scripter.idsModifiedAfter(Conduit::Tasks, QDateTime(), QString()), QStringList());
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookCalendar(QString()), HMAppleScripter::distantPast());
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(takeCalls().size(), 0);
    // One more attempt, and one more line, for every run.
    EXPECT_GE(m_console.countStartingWith(QStringLiteral("-[HMAppleScripter initializeNewScript] no AppleScript task error = ")), 6);

    installScript();
    const NSAppleEventDescriptor folders = scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent());
    EXPECT_NE(scripter.scriptTask(), nullptr);
    ASSERT_EQ(folders.numberOfItems(), 2);
    EXPECT_EQ(folders.descriptorAtIndex(2).descriptorForKeyword(platform::Keyword::Name).stringValue(), QStringLiteral("Work"));

    // The script is read again for every run: one that now names an application nobody runs
    // reaches nobody, and a link put in its place is not followed.
    const QString script = *platform::NSUserAppleScriptTask::applicationScriptsDirectory() + QStringLiteral("/automation.scpt");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("Nobody Runs This\n");
    file.close();
    EXPECT_TRUE(scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent()).isNil());
    ASSERT_NE(scripter.scriptTask(), nullptr);
    EXPECT_EQ(scripter.scriptTask()->applicationReference(), QStringLiteral("Nobody Runs This"));
    ASSERT_TRUE(QFile::rename(script, m_data.path() + QStringLiteral("/moved.scpt")));
    installScript();
    ASSERT_TRUE(QFile::rename(script, m_data.path() + QStringLiteral("/real.scpt")));
    ASSERT_TRUE(QFile::link(m_data.path() + QStringLiteral("/real.scpt"), script));
    const qsizetype failures = m_console.countStartingWith(QStringLiteral("-[HMAppleScripter initializeNewScript] no AppleScript task error = "));
    EXPECT_TRUE(scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent()).isNil());
    EXPECT_EQ(scripter.scriptTask(), nullptr);
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("-[HMAppleScripter initializeNewScript] no AppleScript task error = ")), failures + 1);
    EXPECT_EQ(takeCalls().size(), 1);
}

TEST_F(AppleScripterTest, TheHandlerCallEventReachesThePeerWithItsLayoutByteForByte)
{
    installScript();
    HMAppleScripter scripter;
    scripter.setAppReferenceString(QString());
    EXPECT_FALSE(scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent()).isNil());
    EXPECT_EQ(scripter.appReferenceString(), QStringLiteral("Microsoft Outlook"));
    const QJsonArray calls = takeCalls();
    ASSERT_EQ(calls.size(), 1);
    const QJsonObject expected{
        {QStringLiteral("handler"), QStringLiteral("getAddressBookFolders")},
        {QStringLiteral("arguments"), texts({"Microsoft Outlook"})},
        {QStringLiteral("types"), texts({"utxt"})},
        {QStringLiteral("eventClass"), QStringLiteral("ascr")},
        {QStringLiteral("eventID"), QStringLiteral("psbr")},
        {QStringLiteral("returnID"), -1},
        {QStringLiteral("transactionID"), 0},
        {QStringLiteral("targetType"), QStringLiteral("psn ")},
        // The high word 0, then the low word 2, each in this machine's (little-endian) order.
        {QStringLiteral("targetData"), QStringLiteral("0000000002000000")},
    };
    EXPECT_EQ(calls[0].toObject(), expected);
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("event 'ascr'\\'psbr'{")), 1) << m_console.lines().join(u'\n').toStdString();

    // A stored reference is taken at creation, and only then.
    GlobalVariables::setOutlookApplicationReference(QStringLiteral("/Applications/Microsoft Outlook.app"));
    EXPECT_EQ(HMAppleScripter().appReferenceString(), QStringLiteral("/Applications/Microsoft Outlook.app"));
    EXPECT_EQ(scripter.appReferenceString(), QStringLiteral("Microsoft Outlook"));
}

TEST_F(AppleScripterTest, TheBuildersPackTheirTextsAsThePeerReceivesThem)
{
    installScript();
    HMAppleScripter scripter;
    const QVariantMap recurrence{{QStringLiteral("interval"), QStringLiteral("2")},
                                 {QStringLiteral("startDate"), QStringLiteral("2026-03-02")},
                                 {QStringLiteral("monday"), QStringLiteral("true")},
                                 {QStringLiteral("endDateType"), QStringLiteral("no end type")}};
    struct Row
    {
        const char *name;
        Event event;
        const char *handler;
        QJsonArray arguments;
    };
    const Row rows[] = {
        {"e-mails work and other", scripter.setContactEmailsEvent({{QStringLiteral("work"), QStringLiteral("w@x")}, {QStringLiteral("other"), QStringLiteral("o@x")}}, QStringLiteral("7")),
         "setContactEmailAddresses", texts({"7", "w@x\twork\to@x\tother"})},
        {"e-mail home only", scripter.setContactEmailsEvent({{QStringLiteral("home"), QStringLiteral("h@x")}, {QStringLiteral("work"), QString()}}, QStringLiteral("7")),
         "setContactEmailAddresses", texts({"7", "h@x\thome"})},
        {"no e-mails", scripter.setContactEmailsEvent({}, QStringLiteral("7")), "setContactEmailAddresses", texts({"7", ""})},
        {"weekly without end", scripter.setRecurrenceEvent(Recurrence::Weekly, recurrence, QStringLiteral("9")), "setWeeklyRecurrence",
         texts({"2\t2026-03-02\ttrue\tfalse\tfalse\tfalse\tfalse\tfalse\tfalse\t2026-03-02\tno end type", "9"})},
        {"daily without end keeps the missing end date", scripter.setRecurrenceEvent(Recurrence::Daily, recurrence, QStringLiteral("9")),
         "setDailyRecurrence", texts({"2\t2026-03-02\t(null)\tno end type", "9"})},
        {"monthly by day with its defaults", scripter.setRecurrenceEvent(Recurrence::MonthlyByDay, {}, QStringLiteral("9")), "setMonthlyByDayRecurrence",
         texts({"1\t(null)\tfalse\tfalse\tfalse\tfalse\tfalse\tfalse\tfalse\t1\t(null)\tend date type", "9"})},
        {"yearly by date keeps its end date", scripter.setRecurrenceEvent(Recurrence::YearlyByDate, recurrence, QStringLiteral("9")),
         "setYearlyByDateRecurrence", texts({"2\t2026-03-02\t(null)\t(null)\t(null)\tno end type", "9"})},
        {"a category text loses one trailing TAB", scripter.setContactCategoriesEvent(QStringLiteral("A\tB\t\t"), QStringLiteral("7")),
         "setContactCategories", texts({"7", "A\tB\t"})},
        {"event categories", scripter.setCalendarEventCategoriesEvent(QStringLiteral("Work"), QStringLiteral("20")), "setEventCategories",
         texts({"20", "Work"})},
        {"a new event in a folder", scripter.createEventWithPropertiesEvent(QStringLiteral("p"), QStringLiteral("n"), QStringLiteral("true"), QStringLiteral("false"), QStringLiteral("2")),
         "createNewEventInFolderFromStringList", texts({"p", "n", "true", "false", "2"})},
        {"a category with its colour", scripter.makeNewCategoryWithName(QStringLiteral("Café \"x\""), QStringLiteral("{1, 2, 3}")),
         "makeNewCategoryWithNameAndColor", texts({"Microsoft Outlook", "Café \"x\"", "{1, 2, 3}"})},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_FALSE(row.event.isNil());
        EXPECT_FALSE(scripter.executeScriptSynchronously(row.event).isNil());
        const QJsonArray calls = takeCalls();
        ASSERT_EQ(calls.size(), 1);
        EXPECT_EQ(calls[0][QStringLiteral("handler")].toString(), QLatin1String(row.handler));
        EXPECT_EQ(calls[0][QStringLiteral("arguments")].toArray(), row.arguments);
    }
    // The weekly recurrence has eleven fields, the others as many as their forms name.
    EXPECT_EQ(rows[3].event.paramDescriptorForKeyword(platform::Keyword::DirectObject).descriptorAtIndex(1).stringValue().count(u'\t'), 10);
    EXPECT_EQ(m_console.count(QStringLiteral("eventId!!! 9")), 1);
    EXPECT_EQ(m_console.count(QStringLiteral("categoryString Work")), 1);

    // Without the record's id there is no event, and the console still shows what was asked.
    EXPECT_TRUE(scripter.setContactEmailsEvent({{QStringLiteral("work"), QStringLiteral("w@x")}}, QString()).isNil());
    EXPECT_TRUE(scripter.setTaskCategoriesEvent(QStringLiteral("A"), QString()).isNil());
    EXPECT_TRUE(scripter.setRecurrenceEvent(Recurrence::YearlyByDay, recurrence, QString()).isNil());
    EXPECT_EQ(m_console.count(QStringLiteral("eventId (null)")), 2);
}

// Every builder's handler and argument count as the peer knows them: the peer answers an unknown
// name or a wrong count with an error, which would leave the run without a result.
TEST_F(AppleScripterTest, ThePeerAcceptsEveryBuilderAndRefusesUnknownHandlersAndWrongCounts)
{
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("contacts"), QJsonArray{QJsonObject{{QStringLiteral("id"), 10}, {QStringLiteral("folder"), 1}}}},
          {QStringLiteral("events"), QJsonArray{QJsonObject{{QStringLiteral("id"), 20}, {QStringLiteral("folder"), 2}}}},
          {QStringLiteral("tasks"), QJsonArray{QJsonObject{{QStringLiteral("id"), 30}, {QStringLiteral("folder"), 3}}}}});
    installScript();
    HMAppleScripter scripter;
    const QString c = QStringLiteral("10"), e = QStringLiteral("20"), t = QStringLiteral("30"), f = QStringLiteral("1"), s = QStringLiteral("x");
    const QDateTime date(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    QList<Event> events = {
        scripter.getOutlookVersionEvent(), scripter.getExchangeAddressBookFolderIds(s), scripter.getOutlookAddressBookFoldersEvent(),
        scripter.getExchangeCalendarFolderIds(s), scripter.getOutlookCalendarFoldersEvent(), scripter.getExchangeTaskFolderIds(s),
        scripter.getOutlookTaskFoldersEvent(), scripter.deleteContactEvent(c),
        scripter.deleteCalendarEvent(e), scripter.deleteTaskEvent(t), scripter.getAllCategoryPropertiesEvent(),
        scripter.makeNewCategoryWithNameEvent(s), scripter.makeNewCategoryWithName(s, s), scripter.getPropertiesForContactEvent(c),
        scripter.getVcardForContactEvent(c), scripter.getPropertiesForContactsModifiedAfterDateEvent(s),
        scripter.getPropertiesForContactsInFolder(f, s), scripter.createContactWithPropertiesEvent(s), scripter.createContactInFolder(f, s),
        scripter.modifyContact(c, s), scripter.createContactWithPropertiesEvent(s, s), scripter.createContactWithPropertiesEvent(s, s, f),
        scripter.modifyContactEvent(c, s, s), scripter.setContactEmailsEvent({}, c), scripter.setContactCategoriesEvent(s, c),
        scripter.setCalendarEventCategoriesEvent(s, e), scripter.setTaskCategoriesEvent(s, t),
        scripter.createEventWithPropertiesEvent(s, s, s, s), scripter.createEventWithPropertiesEvent(s, s, s, s, f),
        scripter.modifyCalendarEventEvent(e, s, s), scripter.createTaskWithPropertiesEvent(s, s),
        scripter.createTaskWithPropertiesEvent(s, s, f), scripter.modifyTaskEvent(t, s, s), scripter.test(),
        scripter.propertiesRangeEvent(Conduit::Contacts, {c, c}, 1, 10), scripter.getPropertiesForContactEvent(c, 1, 10),
        scripter.getMiscellaneousFieldsForContactEvent(c), scripter.getLengthOfContactPropertiesEvent(c),
        scripter.getContactIds(1, 10, date, QString()), scripter.getContactIds(1, 10, date, f),
        scripter.getContactPropertiesForDupeCheckWithStartRange(1, 10, QStringLiteral("-1")),
        scripter.getContactPropertiesForDupeCheckWithStartRange(1, 10, f), scripter.getAllContactModifiedDatesEventWithStartRange(1, 10),
        scripter.getAllContactModifiedIdsEventWithStartRange(1, 10), scripter.getAllContactEventWithStartRange(1, 10),
    };
    // Each kind with a record and the folder that holds it.
    const std::tuple<Conduit, QString, QString> records[] = {{Conduit::Contacts, c, f},
                                                             {Conduit::CalendarEvents, e, QStringLiteral("2")},
                                                             {Conduit::Tasks, t, QStringLiteral("3")}};
    for (const auto &[conduit, id, folder] : records) {
        for (const Listing listing : {Listing::ModifiedDates, Listing::Ids, Listing::Properties})
            events << scripter.listingEvent(conduit, listing) << scripter.listingInFolderEvent(conduit, listing, folder);
        for (const BatchItems items : {BatchItems::ModificationDates, BatchItems::Identifiers})
            events << scripter.batchEvent(conduit, items, 1, 10, QString()) << scripter.batchEvent(conduit, items, 1, 10, folder);
        events << scripter.propertiesRangeEvent(conduit, {id}, 1, 10)
               << scripter.propertiesRangeEvent(conduit, {id, id, id, id, id}, 1, 10);
    }
    for (int rule = 0; rule <= int(Recurrence::YearlyByDay); ++rule)
        events << scripter.setRecurrenceEvent(Recurrence(rule), {}, e);
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QString handler = events[i].paramDescriptorForKeyword(platform::Keyword::SubroutineName).stringValue();
        SCOPED_TRACE(handler.toStdString());
        EXPECT_FALSE(scripter.executeScriptSynchronously(events[i]).isNil());
    }
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("ERROR: ")), 0) << m_console.lines().join(u'\n').toStdString();
    EXPECT_EQ(takeCalls().size(), events.size());

    // The developer sample carries three texts where the handler takes two: the peer refuses it.
    EXPECT_TRUE(scripter.executeScriptSynchronously(scripter.createContactWithPropertiesListEvent({})).isNil());
    EXPECT_EQ(m_console.count(QStringLiteral("ERROR: \u201CmakeNewContactFromStringList\u201D takes 2 arguments, not 3. (-1721)")), 1)
        << m_console.lines().join(u'\n').toStdString();
    Event unknown = scripter.getOutlookVersionEvent();
    unknown.setParamDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("getEverything")), platform::Keyword::SubroutineName);
    EXPECT_TRUE(scripter.executeScriptSynchronously(unknown).isNil());
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("ERROR: The script doesn't understand the \u201CgetEverything\u201D message. (-1708)")), 1);
}

TEST_F(AppleScripterTest, TheContactFolderMapListsThePeersAddressBooksAndAllFoldersWhenRefused)
{
    seed({{QStringLiteral("folders"), standardFolders()}});
    installScript();
    const QVariantMap folders = outlookContactFoldersDictionary(nullptr);
    const QVariantMap expected{{QStringLiteral("All Contact Folders"), QStringLiteral("allFolders")},
                               {QStringLiteral("Address Book"), QStringLiteral("1")},
                               {QStringLiteral("Work"), QStringLiteral("42")}};
    EXPECT_EQ(folders, expected);

    setSwitches({{QStringLiteral("refuseKind"), QStringLiteral("handler")}});
    EXPECT_EQ(outlookContactFoldersDictionary(nullptr), (QVariantMap{{QStringLiteral("All Contact Folders"), QStringLiteral("allFolders")}}));
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("ERROR: Microsoft Outlook got an error: the script was refused. (-10000)")), 1);
}

TEST(ContactFolders, ItemsLackingANameOrAnIdAreSkipped)
{
    auto item = [](const char *id, const char *name) {
        NSAppleEventDescriptor record = NSAppleEventDescriptor::recordDescriptor();
        if (id)
            record.setDescriptor(NSAppleEventDescriptor::descriptorWithString(QLatin1String(id)), platform::Keyword::ID);
        if (name)
            record.setDescriptor(NSAppleEventDescriptor::descriptorWithString(QString::fromUtf8(name)), platform::Keyword::Name);
        return record;
    };
    NSAppleEventDescriptor list = NSAppleEventDescriptor::listDescriptor();
    list.insertDescriptor(item("5", "Friends"));
    list.insertDescriptor(item(nullptr, "No id"));
    list.insertDescriptor(item("6", nullptr));
    list.insertDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("not a record")));
    list.insertDescriptor(item("7", "All Contact Folders"));
    NSAppleEventDescriptor numeric = NSAppleEventDescriptor::recordDescriptor();
    numeric.setDescriptor(NSAppleEventDescriptor::descriptorWithInt32(8), platform::Keyword::ID);
    numeric.setDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("Família")), platform::Keyword::Name);
    list.insertDescriptor(numeric);
    const QVariantMap expected{{QStringLiteral("All Contact Folders"), QStringLiteral("allFolders")},
                               {QStringLiteral("Friends"), QStringLiteral("5")},
                               {QStringLiteral("Família"), QStringLiteral("8")}};
    EXPECT_EQ(contactFoldersDictionaryFromResult(list), expected);
    EXPECT_EQ(contactFoldersDictionaryFromResult({}).size(), 1);
}

TEST_F(AppleScripterTest, AStalledScriptReturnsNothingAfterTheBoundAndAKilledOneAtOnce)
{
    seed({{QStringLiteral("folders"), standardFolders()}});
    installScript();
    auto scripter = std::make_unique<HMAppleScripter>();
    setSwitches({{QStringLiteral("stall"), true}});
    QElapsedTimer timer;
    {
        RacingClock clock;
        timer.start();
        EXPECT_TRUE(scripter->executeScriptSynchronously(scripter->getOutlookAddressBookFoldersEvent()).isNil());
        EXPECT_LT(timer.elapsed(), 5000);
        EXPECT_EQ(m_console.count(QStringLiteral("ERROR: AppleEvent timed out. (-1712)")), 1) << m_console.lines().join(u'\n').toStdString();
        // No thread of the run is left: letting the scripter go waits for nothing.
        timer.restart();
        scripter.reset();
        EXPECT_LT(timer.elapsed(), 5000);
    }
    setSwitches({{QStringLiteral("stall"), false}});
    scripter = std::make_unique<HMAppleScripter>();
    EXPECT_EQ(scripter->executeScriptSynchronously(scripter->getOutlookAddressBookFoldersEvent()).numberOfItems(), 2);

    setSwitches({{QStringLiteral("killMidReply"), true}});
    timer.restart();
    EXPECT_TRUE(scripter->executeScriptSynchronously(scripter->getOutlookAddressBookFoldersEvent()).isNil());
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(m_console.count(QStringLiteral("ERROR: Connection is invalid. (-609)")), 1) << m_console.lines().join(u'\n').toStdString();
    ASSERT_TRUE(m_peer.process().waitForFinished(5000));
    timer.restart();
    EXPECT_TRUE(scripter->executeScriptSynchronously(scripter->getOutlookAddressBookFoldersEvent()).isNil());
    EXPECT_EQ(m_console.count(QStringLiteral("ERROR: Application isn't running. (-600)")), 1);
    EXPECT_LT(timer.elapsed(), 2000);
}

TEST_F(AppleScripterTest, TheAsynchronousRunReturnsAtOnceAndTheHandlerStillRuns)
{
    seed({{QStringLiteral("folders"), standardFolders()}});
    installScript();
    HMAppleScripter scripter;
    scripter.executeScriptTaskFromEvent(scripter.getOutlookVersionEvent());
    EXPECT_EQ(m_console.count(QStringLiteral("event.eventID %1").arg(platform::fourCharCode("psbr"))), 1);
    QJsonArray calls;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        calls = takeCalls();
        return !calls.isEmpty();
    })) << "the handler call at the peer";
    EXPECT_EQ(calls[0][QStringLiteral("handler")].toString(), QStringLiteral("getOutlookVersion"));
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("ERROR: ")), 0);
}
