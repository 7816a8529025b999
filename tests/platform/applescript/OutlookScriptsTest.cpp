// Every script text the Outlook side sends, byte for byte, against the simulated Outlook as its own
// process: each answers the shape its reader expects, and each with one character changed is refused.
#include "OutlookPeerProcess.h"

#include "platform/applescript/NSAppleScript.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>

#include <cstdlib>
#include <ctime>

using namespace platform;


namespace {

const QString kApp = QStringLiteral("Microsoft Outlook");

// The reply as one line: lists in [], records in {} with their keywords, dates in ISO form.
QString render(const NSAppleEventDescriptor &descriptor)
{
    if (descriptor.kind() == NSAppleEventDescriptor::Kind::List || descriptor.kind() == NSAppleEventDescriptor::Kind::Keyed) {
        const bool isList = descriptor.kind() == NSAppleEventDescriptor::Kind::List;
        QStringList items;
        for (qint64 i = 1; i <= descriptor.numberOfItems(); ++i) {
            const QString item = render(descriptor.descriptorAtIndex(i));
            items.append(isList ? item : fourCharCodeText(descriptor.keywordForDescriptorAtIndex(i)) + u':' + item);
        }
        return (isList ? QStringLiteral("[%1]") : QStringLiteral("{%1}")).arg(items.join(QStringLiteral(", ")));
    }
    if (descriptor.descriptorType() == DescriptorType::Null)
        return QStringLiteral("null");
    return descriptor.stringValue();
}

QJsonObject seedState()
{
    auto record = [](int id, int folder, const char *modified, QJsonObject more = {}) {
        more[QStringLiteral("id")] = id;
        more[QStringLiteral("folder")] = folder;
        more[QStringLiteral("modified")] = QLatin1String(modified);
        return more;
    };
    QJsonArray folders;
    const char *const names[][2] = {{"address book", "Address Book"}, {"calendar", "Calendar"}, {"task folder", "Tasks"}, {"note folder", "Notes"}};
    for (int i = 0; i < 4; ++i)
        folders.append(QJsonObject{{QStringLiteral("id"), i + 1}, {QStringLiteral("kind"), QLatin1String(names[i][0])},
                                   {QStringLiteral("name"), QLatin1String(names[i][1])}});
    return QJsonObject{
        {QStringLiteral("folders"), folders},
        {QStringLiteral("categories"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), 50}, {QStringLiteral("name"), QStringLiteral("Work")},
                                {QStringLiteral("color"), QJsonArray{65535, 32896, 0}}}}},
        {QStringLiteral("accounts"), QJsonObject{{QStringLiteral("exchange"), QJsonArray{QStringLiteral("anna@work.example")}},
                                                 {QStringLiteral("imap"), QJsonArray{QStringLiteral("anna@home.example")}}}},
        {QStringLiteral("contacts"), QJsonArray{record(10, 1, "2026-03-01T10:00:00Z"), record(11, 1, "2026-03-02T10:00:00Z")}},
        {QStringLiteral("events"),
         QJsonArray{record(20, 2, "2026-03-03T10:00:00Z", {{QStringLiteral("start"), QStringLiteral("2026-04-01T09:00:00Z")}}),
                    record(21, 2, "2026-03-04T10:00:00Z",
                           {{QStringLiteral("master"), 20}, {QStringLiteral("start"), QStringLiteral("2026-04-08T11:00:00Z")}})}},
        {QStringLiteral("tasks"), QJsonArray{record(30, 3, "2026-03-05T10:00:00Z", {{QStringLiteral("completed"), true}}),
                                             record(31, 3, "2026-03-06T10:00:00Z")}},
        {QStringLiteral("notes"), QJsonArray{record(40, 4, "2026-03-07T10:00:00Z")}},
    };
}

struct Row
{
    const char *name;
    QString script;
    QString answer;
};

QString listing(const char *format, const QString &second = kApp)
{
    return QString::fromUtf8(format).arg(kApp, second);
}

const QString kContactDates = QStringLiteral("[2026-03-01T10:00:00Z, 2026-03-02T10:00:00Z]");
const QString kTaskDates = QStringLiteral("[2026-03-05T10:00:00Z, 2026-03-06T10:00:00Z]");

std::vector<Row> readingRows()
{
    return {
        {"contact dates", listing("tell application \"%1\"\nset theContacts to the modification date of every contact of application \"%2\"\nreturn theContacts\nend tell"), kContactDates},
        {"contact ids", listing("tell application \"%1\"\nset theContacts to the id of every contact of application \"%2\"\nreturn theContacts\nend tell"), QStringLiteral("[10, 11]")},
        {"contact dates of a folder", listing("tell application \"%1\"\nset theContacts to the modification date of every contact in folder id %2\nreturn theContacts\nend tell", QStringLiteral("1")), kContactDates},
        {"contact ids of a folder", listing("tell application \"%1\"\nset theContacts to the id of every contact in folder id %2\nreturn theContacts\nend tell", QStringLiteral("1")), QStringLiteral("[10, 11]")},
        {"event dates", listing("tell application \"%1\"\nset theEvents to the modification date of every calendar event of application \"%2\"\nreturn theEvents\nend tell"), QStringLiteral("[2026-03-03T10:00:00Z]")},
        {"event ids", listing("tell application \"%1\"\nset theEvents to the id of every calendar event of application \"%2\"\nreturn theEvents\nend tell"), QStringLiteral("[20]")},
        {"event dates of a calendar", listing("tell application \"%1\"\nset theEvents to the modification date of every calendar event in calendar id %2\nreturn theEvents\nend tell", QStringLiteral("2")), QStringLiteral("[2026-03-03T10:00:00Z]")},
        {"event ids of a calendar", listing("tell application \"%1\"\nset theEvents to the id of every calendar event in calendar id %2\nreturn theEvents\nend tell", QStringLiteral("2")), QStringLiteral("[20]")},
        {"event ids of a folder", listing("tell application \"%1\"\nset theEvents to the id of every calendar event in folder id %2\nreturn theEvents\nend tell", QStringLiteral("2")), QStringLiteral("[20]")},
        {"task dates", listing("tell application \"%1\"\nset theTasks to the modification date of every task of application \"%2\"\nreturn theTasks\nend tell"), kTaskDates},
        {"task ids", listing("tell application \"%1\"\nset theTasks to the id of every task of application \"%2\"\nreturn theTasks\nend tell"), QStringLiteral("[30, 31]")},
        {"open task dates", listing("tell application \"%1\"\nset theTasks to the modification date of every task of application \"%2\" where todo flag is not completed\nreturn theTasks\nend tell"), QStringLiteral("[2026-03-06T10:00:00Z]")},
        {"open task ids", listing("tell application \"%1\"\nset theTasks to the id of every task of application \"%2\" where todo flag is not completed\nreturn theTasks\nend tell"), QStringLiteral("[31]")},
        {"task dates of a task folder", listing("tell application \"%1\"\nset theTasks to the modification date of every task in task folder id %2\nreturn theTasks\nend tell", QStringLiteral("3")), kTaskDates},
        {"task ids of a task folder", listing("tell application \"%1\"\nset theTasks to the id of every task in task folder id %2\nreturn theTasks\nend tell", QStringLiteral("3")), QStringLiteral("[30, 31]")},
        {"task ids of a folder", listing("tell application \"%1\"\nset theTasks to the id of every task in folder id %2\nreturn theTasks\nend tell", QStringLiteral("3")), QStringLiteral("[30, 31]")},
        {"note dates", listing("tell application \"%1\"\nset theMemos to the modification date of every note of application \"%2\"\nreturn theMemos\nend tell"), QStringLiteral("[2026-03-07T10:00:00Z]")},
        {"note ids", listing("tell application \"%1\"\nset theMemos to the id of every note of application \"%2\"\nreturn theMemos\nend tell"), QStringLiteral("[40]")},
        {"note dates of a note folder", listing("tell application \"%1\"\nset theMemos to the modification date of every note in note folder id %2\nreturn theMemos\nend tell", QStringLiteral("4")), QStringLiteral("[2026-03-07T10:00:00Z]")},
        {"note ids of a note folder", listing("tell application \"%1\"\nset theMemos to the id of every note in note folder id %2\nreturn theMemos\nend tell", QStringLiteral("4")), QStringLiteral("[40]")},
        {"note ids of a folder", listing("tell application \"%1\"\nset theMemos to the id of every note in folder id %2\nreturn theMemos\nend tell", QStringLiteral("4")), QStringLiteral("[40]")},
        {"exception occurrences", listing("tell application \"%1\"\nset theEvents to the properties of every calendar event where is occurrence is true\nreturn theEvents\nend tell"),
         QStringLiteral("[{pcls:cEvt, ID  :21, subj:, offs:2026-04-08T11:00:00Z, pMid:{want:cEvt, form:ID  , seld:20, from:null}}]")},
        {"exception occurrences of a calendar", listing("tell application \"%1\"\nset theEvents to the properties of every calendar event in calendar id %2 where is occurrence is true\nreturn theEvents\nend tell", QStringLiteral("2")),
         QStringLiteral("[{pcls:cEvt, ID  :21, subj:, offs:2026-04-08T11:00:00Z, pMid:{want:cEvt, form:ID  , seld:20, from:null}}]")},
        {"latest contact dates", listing("tell application \"%1\"\nset theDates to the modification date of every contact\nreturn theDates\nend tell"), kContactDates},
        {"latest contact dates of a book", listing("tell application \"%1\"\nset theDates to the modification date of every contact in address book id %2\nreturn theDates\nend tell", QStringLiteral("1")), kContactDates},
        {"latest event dates", listing("tell application \"%1\"\nset theDates to the modification date of every calendar event\nreturn theDates\nend tell"), QStringLiteral("[2026-03-03T10:00:00Z]")},
        {"latest event dates of a calendar", listing("tell application \"%1\"\nset theDates to the modification date of every calendar event in calendar id %2\nreturn theDates\nend tell", QStringLiteral("2")), QStringLiteral("[2026-03-03T10:00:00Z]")},
        {"latest task dates", listing("tell application \"%1\"\nset theDates to the modification date of every task\nreturn theDates\nend tell"), kTaskDates},
        {"latest task dates of a folder", listing("tell application \"%1\"\nset theDates to the modification date of every task in task folder id %2\nreturn theDates\nend tell", QStringLiteral("3")), kTaskDates},
        {"address books", listing("tell application \"%1\"\nset theFolders to the properties of every address book of application \"%2\"\nreturn theFolders\nend tell"), QStringLiteral("[{pnam:Address Book, ID  :1}]")},
        {"calendars", listing("tell application \"%1\"\nset theFolders to the properties of every calendar of application \"%2\"\nreturn theFolders\nend tell"), QStringLiteral("[{pnam:Calendar, ID  :2}]")},
        {"task folders", listing("tell application \"%1\"\nset theFolders to the properties of every task folder of application \"%2\"\nreturn theFolders\nend tell"), QStringLiteral("[{pnam:Tasks, ID  :3}]")},
        {"note folders", listing("tell application \"%1\"\nset theFolders to the properties of every note folder of application \"%2\"\nreturn theFolders\nend tell"), QStringLiteral("[{pnam:Notes, ID  :4}]")},
        {"categories", listing("tell application \"%1\"\nset theCategories to the properties of every category of application \"%2\"\nreturn theCategories\nend tell"), QStringLiteral("[{pnam:Work, ID  :50, colr:[65535, 32896, 0]}]")},
        {"exchange addresses", listing("tell application \"%1\"\nreturn the email address of every exchange account\nend tell"), QStringLiteral("[anna@work.example]")},
        {"imap addresses", listing("tell application \"%1\"\nreturn the email address of every imap account\nend tell"), QStringLiteral("[anna@home.example]")},
        {"address book ids", listing("tell application \"%1\"\nset theFolders to the id of every address book\nreturn theFolders\nend tell"), QStringLiteral("[1]")},
        {"calendar ids", listing("tell application \"%1\"\nset theFolders to the id of every calendar\nreturn theFolders\nend tell"), QStringLiteral("[2]")},
        {"task folder ids", listing("tell application \"%1\"\nset theFolders to the id of every task folder\nreturn theFolders\nend tell"), QStringLiteral("[3]")},
        {"version", listing("tell application \"%1\"\nset outlookVersion to version\nreturn outlookVersion\nend tell"), QStringLiteral("16.78")},
    };
}

std::vector<Row> writingRows()
{
    return {
        {"new category with a colour", listing("tell application \"%1\" to make new category with properties {name:\"%2\", color:{65535, 0, 0}}", QStringLiteral("Home")),
         QStringLiteral("{want:ctgy, form:ID  , seld:51, from:null}")},
        {"new category", listing("tell application \"%1\" to make new category with properties {name:\"%2\"}", QStringLiteral("Gym")),
         QStringLiteral("{want:ctgy, form:ID  , seld:52, from:null}")},
        {"delete a contact", listing("tell application \"%1\"\ndelete contact id \"%2\"\nend tell", QStringLiteral("11")), QStringLiteral("null")},
        {"delete an event", listing("tell application \"%1\"\ndelete calendar event id \"%2\"\nend tell", QStringLiteral("20")), QStringLiteral("null")},
        {"delete a task", listing("tell application \"%1\"\ndelete task id \"%2\"\nend tell", QStringLiteral("30")), QStringLiteral("null")},
        {"delete a note", listing("tell application \"%1\"\ndelete note id \"%2\"\nend tell", QStringLiteral("40")), QStringLiteral("null")},
    };
}

// The script with one character changed: at the start of its second line (or of "make"), and at its end.
QStringList changedCopies(const QString &script)
{
    const qsizetype lineStart = script.indexOf(u'\n') >= 0 ? script.indexOf(u'\n') + 1 : script.indexOf(QStringLiteral("make"));
    QString atStart = script;
    atStart[lineStart] = u'X';
    QString atEnd = script;
    atEnd[atEnd.size() - 1] = atEnd.back() == u'}' ? u')' : u'X';
    return {atStart, atEnd};
}

void expectRefused(const QString &script)
{
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    ASSERT_TRUE(error) << "accepted: " << script.toStdString() << " -> " << render(result).toStdString();
    EXPECT_EQ(error->number, -2741) << script.toStdString();
    EXPECT_TRUE(error->message.contains(QStringLiteral("line "))) << error->message.toStdString();
}

NSAppleEventDescriptor runExpectingSuccess(const QString &script)
{
    std::optional<NSAppleScriptError> error;
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError(&error);
    EXPECT_FALSE(error) << script.toStdString() << ": " << (error ? error->message.toStdString() : std::string());
    return result;
}

} // namespace

TEST(OutlookScripts, EveryScriptAnswersTheShapeItsReaderExpectsAndDriftIsRefused)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(peer.seed(seedState()).value(QStringLiteral("ok")).toBool());
    std::vector<Row> rows = readingRows();
    for (Row &row : writingRows())
        rows.push_back(row);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        for (const QString &changed : changedCopies(row.script))
            expectRefused(changed);
        EXPECT_EQ(render(runExpectingSuccess(row.script)).toStdString(), row.answer.toStdString());
    }
    const QJsonObject state = peer.dump();
    EXPECT_EQ(state.value(QStringLiteral("contacts")).toArray().size(), 1);
    EXPECT_EQ(state.value(QStringLiteral("tasks")).toArray().size(), 1);
    EXPECT_EQ(state.value(QStringLiteral("notes")).toArray().size(), 0);
    EXPECT_EQ(state.value(QStringLiteral("categories")).toArray().at(1).toObject().value(QStringLiteral("color")).toArray(),
              (QJsonArray{65535, 0, 0}));
}

TEST(OutlookScripts, IdsAreReadQuotedAndUnquotedAndAMissingRecordIsRefusedByOutlook)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(peer.seed(seedState()).value(QStringLiteral("ok")).toBool());
    runExpectingSuccess(QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id 10\nend tell"));
    std::optional<NSAppleScriptError> error;
    NSAppleScript(QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id \"10\"\nend tell")).executeAndReturnError(&error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number, -1728);
    NSAppleScript(QStringLiteral("tell application \"Microsoft Outlook\"\nset theContacts to the id of every contact in folder id 99\n"
                                 "return theContacts\nend tell")).executeAndReturnError(&error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number, -1728);
    // A new record never takes an id given before, even one whose record is gone.
    const QJsonObject added = peer.control({{QStringLiteral("op"), QStringLiteral("add")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                                            {QStringLiteral("record"), QJsonObject{{QStringLiteral("folder"), 1}}}});
    EXPECT_GT(added.value(QStringLiteral("id")).toInteger(), 50);
}

TEST(OutlookScripts, CategoryNamesTravelEscapedByteForByteAndUnescapedTextIsNeverRun)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    const QString marker = peer.home() + QStringLiteral("/F");
    const QString hostile = QStringLiteral("x\" & (do shell script \"touch %1\") & \"").arg(marker);
    const QString trailing = QStringLiteral("Work\\");
    const QString form = QStringLiteral("tell application \"Microsoft Outlook\" to make new category with properties {name:\"%1\"}");
    auto escaped = [](QString name) { return name.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\"")); };

    expectRefused(form.arg(hostile));
    expectRefused(form.arg(trailing));
    runExpectingSuccess(form.arg(escaped(hostile)));
    runExpectingSuccess(form.arg(escaped(trailing)));

    const QJsonArray categories = peer.dump().value(QStringLiteral("categories")).toArray();
    ASSERT_EQ(categories.size(), 2);
    EXPECT_EQ(categories.at(0).toObject().value(QStringLiteral("name")).toString(), hostile);
    EXPECT_EQ(categories.at(1).toObject().value(QStringLiteral("name")).toString(), trailing);
    EXPECT_FALSE(QFileInfo::exists(marker));
}

TEST(OutlookScripts, LongDatesReadBackAsTheSameInstantInEveryZoneAndInTheRepeatedHour)
{
    // Both 02:30 of Berlin's autumn change (00:30 and 01:30 UTC) and both 01:30 of Los Angeles' (08:30 and 09:30 UTC).
    const QStringList instants = {QStringLiteral("2026-10-25T00:30:00Z"), QStringLiteral("2026-10-25T01:30:00Z"),
                                  QStringLiteral("2026-11-01T08:30:00Z"), QStringLiteral("2026-11-01T09:30:00Z")};
    QJsonArray contacts;
    for (const QString &instant : instants)
        contacts.append(QJsonObject{{QStringLiteral("folder"), 1}, {QStringLiteral("modified"), instant}});
    for (const char *zone : {"UTC", "Europe/Berlin", "America/Los_Angeles"}) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        tzset();
        OutlookPeerProcess::Options options;
        options.timeZone = QLatin1String(zone);
        OutlookPeerProcess peer(options);
        ASSERT_TRUE(peer.isReady());
        ASSERT_TRUE(peer.seed({{QStringLiteral("contacts"), contacts}}).value(QStringLiteral("ok")).toBool());
        const NSAppleEventDescriptor dates = runExpectingSuccess(
            QStringLiteral("tell application \"Microsoft Outlook\"\nset theDates to the modification date of every contact\nreturn theDates\nend tell"));
        ASSERT_EQ(dates.numberOfItems(), instants.size());
        for (int i = 0; i < instants.size(); ++i)
            EXPECT_EQ(dates.descriptorAtIndex(i + 1).dateValue(), QDateTime::fromString(instants[i], Qt::ISODate));
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(OutlookScripts, TheSqliteShellReadsTheDatabaseAndEachRecordHasItsFile)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(peer.seed(seedState()).value(QStringLiteral("ok")).toBool());
    const QString database = peer.home() + QStringLiteral("/Library/Group Containers/Office/Outlook/Main Profile/Data/Outlook.sqlite");
    QProcess shell;
    shell.start(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), database,
                                            QStringLiteral("SELECT 'C', Record_RecordID, Record_FolderID, Record_ModDate, PathToDataFile FROM Contacts;"
                                                           "SELECT 'E', Record_RecordID, Record_FolderID, Record_ModDate, PathToDataFile FROM CalendarEvents;"
                                                           "SELECT 'T', Record_RecordID, Record_FolderID, Record_ModDate, PathToDataFile FROM Tasks;")});
    ASSERT_TRUE(shell.waitForFinished(10000));
    const QStringList rows = QString::fromUtf8(shell.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(rows, (QStringList{QStringLiteral("C|10|1|1772359200|Contacts/10.olk15Contact"),
                                 QStringLiteral("C|11|1|1772445600|Contacts/11.olk15Contact"),
                                 QStringLiteral("E|20|2|1772532000|Events/20.olk15Event"),
                                 QStringLiteral("E|21|2|1772618400|Events/21.olk15Event"),
                                 QStringLiteral("T|30|3|1772704800|Tasks/30.olk15Task"),
                                 QStringLiteral("T|31|3|1772791200|Tasks/31.olk15Task")}));
    const QFileInfo file(QFileInfo(database).path() + QStringLiteral("/Contacts/11.olk15Contact"));
    ASSERT_TRUE(file.exists());
    EXPECT_EQ(file.lastModified().toUTC(), QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC));
}

TEST(OutlookScripts, AsVersion14TheRecordFilesLieInTheIdentityFolder)
{
    OutlookPeerProcess::Options options;
    options.arguments = {QStringLiteral("--outlook-version"), QStringLiteral("14")};
    OutlookPeerProcess peer(options);
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(peer.seed(seedState()).value(QStringLiteral("ok")).toBool());
    const QString records = peer.home() + QStringLiteral("/Documents/Microsoft User Data/Office 2011 Identities/Main Identity/Data Records");
    EXPECT_EQ(QDir(records + QStringLiteral("/Contacts")).entryList(QDir::Files),
              (QStringList{QStringLiteral("10.olk14Contact"), QStringLiteral("11.olk14Contact")}));
    EXPECT_EQ(QFileInfo(records + QStringLiteral("/Tasks/31.olk14Task")).lastModified().toUTC(),
              QDateTime(QDate(2026, 3, 6), QTime(10, 0), Qt::UTC));
    EXPECT_EQ(render(runExpectingSuccess(QStringLiteral("tell application \"Microsoft Outlook\"\nset outlookVersion to version\n"
                                                        "return outlookVersion\nend tell"))),
              QStringLiteral("14.7.7"));
    // A user's edit rewrites the record file with the new date.
    peer.control({{QStringLiteral("op"), QStringLiteral("clock")}, {QStringLiteral("now"), QStringLiteral("2026-05-01T08:00:00Z")}});
    peer.control({{QStringLiteral("op"), QStringLiteral("edit")}, {QStringLiteral("kind"), QStringLiteral("task")},
                  {QStringLiteral("id"), 31}, {QStringLiteral("fields"), QJsonObject{{QStringLiteral("completed"), true}}}});
    EXPECT_EQ(QFileInfo(records + QStringLiteral("/Tasks/31.olk14Task")).lastModified().toUTC(),
              QDateTime(QDate(2026, 5, 1), QTime(8, 0), Qt::UTC));
}

TEST(OutlookScripts, SwitchesAndUserEditsShowInTheNextAnswers)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(peer.seed(seedState()).value(QStringLiteral("ok")).toBool());
    const QString ids = QStringLiteral("tell application \"Microsoft Outlook\"\nset theContacts to the id of every contact of application "
                                       "\"Microsoft Outlook\"\nreturn theContacts\nend tell");
    const QString dates = QStringLiteral("tell application \"Microsoft Outlook\"\nset theDates to the modification date of every contact\n"
                                         "return theDates\nend tell");
    auto switches = [&](const QJsonObject &fields) {
        QJsonObject command = fields;
        command[QStringLiteral("op")] = QStringLiteral("switches");
        EXPECT_TRUE(peer.control(command).value(QStringLiteral("ok")).toBool());
    };
    auto control = [&](const char *op, int id, const QJsonObject &fields = {}) {
        return peer.control({{QStringLiteral("op"), QLatin1String(op)}, {QStringLiteral("kind"), QStringLiteral("contact")},
                             {QStringLiteral("id"), id}, {QStringLiteral("fields"), fields}});
    };
    EXPECT_EQ(render(runExpectingSuccess(ids)), QStringLiteral("[10, 11]"));

    switches({{QStringLiteral("answerEmpty"), true}});
    EXPECT_EQ(render(runExpectingSuccess(ids)), QStringLiteral("[]"));
    switches({{QStringLiteral("answerEmpty"), false}, {QStringLiteral("versionText"), QStringLiteral("Windows 16.0 VM")}});
    EXPECT_EQ(render(runExpectingSuccess(QStringLiteral("tell application \"Microsoft Outlook\"\nset outlookVersion to version\n"
                                                        "return outlookVersion\nend tell"))),
              QStringLiteral("Windows 16.0 VM"));

    // Another program holding the database locked: Outlook answers with an error, not with stale data.
    switches({{QStringLiteral("lockDatabase"), true}});
    std::optional<NSAppleScriptError> error;
    NSAppleScript(ids).executeAndReturnError(&error);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isApplicationGone());
    EXPECT_TRUE(error->message.contains(QStringLiteral("locked"))) << error->message.toStdString();
    switches({{QStringLiteral("lockDatabase"), false}});

    peer.control({{QStringLiteral("op"), QStringLiteral("clock")}, {QStringLiteral("now"), QStringLiteral("2026-06-01T12:00:00Z")}});
    ASSERT_TRUE(control("edit", 10, {{QStringLiteral("name"), QStringLiteral("Anna")}}).value(QStringLiteral("ok")).toBool());
    EXPECT_EQ(render(runExpectingSuccess(dates)), QStringLiteral("[2026-06-01T12:00:00Z, 2026-03-02T10:00:00Z]"));

    const qint64 reimported = control("reimport", 11).value(QStringLiteral("id")).toInteger();
    EXPECT_GT(reimported, 50);
    EXPECT_EQ(render(runExpectingSuccess(ids)), QStringLiteral("[10, %1]").arg(reimported));
    switches({{QStringLiteral("reimportNewIds"), false}});
    EXPECT_EQ(control("reimport", 10).value(QStringLiteral("id")).toInteger(), 10);
    EXPECT_EQ(render(runExpectingSuccess(ids)), QStringLiteral("[10, %1]").arg(reimported));
}
