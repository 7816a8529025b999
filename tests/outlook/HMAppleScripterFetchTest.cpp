// Long texts in pages and long lists in batches, read from the simulated Outlook's handlers: the
// calls it takes, the joined results, and the ends of a paging (short page, empty page, no text).
#include "outlook/HMAppleScripter.h"

#include "AppleScripterFixture.h"
#include "platform/applescript/LongDateTime.h"

#include <QElapsedTimer>

using platform::NSAppleEventDescriptor;
using Conduit = HMAppleScripter::Conduit;

namespace {

QJsonObject contact(int id, int folder, const QDateTime &modified, QJsonObject more = {})
{
    more[QStringLiteral("id")] = id;
    more[QStringLiteral("folder")] = folder;
    more[QStringLiteral("modified")] = modified.toString(Qt::ISODate);
    return more;
}

// A text of the given length in UTF-16 units with characters beyond the basic plane (two units each)
// at uneven places, so that pages end inside them.
QString longText(qsizetype length)
{
    QString text;
    text.reserve(length);
    const QString pair = QString::fromUtf8("\xF0\x9F\x98\x80");
    for (qsizetype i = 0; text.size() < length; ++i) {
        if (i % 97 == 0 && text.size() + 2 <= length)
            text += pair;
        else
            text += QChar(u'a' + char16_t(i % 26));
    }
    return text;
}

// The ranges asked for, in order: "start-end" of each call's two integer arguments.
QStringList rangesOf(const QJsonArray &calls)
{
    QStringList ranges;
    for (const QJsonValue &call : calls) {
        const QJsonArray arguments = call[QStringLiteral("arguments")].toArray();
        const QJsonArray types = call[QStringLiteral("types")].toArray();
        QStringList integers;
        for (qsizetype i = 0; i < types.size(); ++i) {
            if (types[i].toString() == u"long")
                integers.append(QString::number(arguments[i].toInteger()));
        }
        ranges.append(integers.join(u'-'));
    }
    return ranges;
}

const QDateTime kBase(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC);

} // namespace

TEST_F(AppleScripterTest, AContactTextOfThreePagesComesWholeWithItsExtraFieldsAndCategories)
{
    const QString card = longText(70000);
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("categories"), QJsonArray{QJsonObject{{QStringLiteral("id"), 60}, {QStringLiteral("name"), QStringLiteral("Família")}}}},
          {QStringLiteral("contacts"), QJsonArray{
              contact(10, 1, kBase, {{QStringLiteral("vcard"), card}, {QStringLiteral("extraFields"), QStringLiteral("MIDDLENAME:")},
                                     {QStringLiteral("categories"), QJsonArray{QStringLiteral("Work"), 60}}}),
              contact(11, 1, kBase, {{QStringLiteral("vcard"), QStringLiteral("BEGIN:VCARD")},
                                     {QStringLiteral("extraFields"), QStringLiteral("MIDDLENAME:Q\r\nNICKNAME:Jo")}})}}});
    installScript();
    HMAppleScripter scripter;

    EXPECT_EQ(scripter.getPropertiesStringForContactId(QStringLiteral("10")), card + QStringLiteral("\r\nCATEGORIES:Work\tFamília"));
    const QJsonArray calls = takeCalls();
    EXPECT_EQ(handlersOf(calls), (QStringList{QStringLiteral("getVcardForContactWithTextRange"), QStringLiteral("getVcardForContactWithTextRange"),
                                              QStringLiteral("getVcardForContactWithTextRange"), QStringLiteral("getMiscellaneousFieldsForContactId")}));
    EXPECT_EQ(rangesOf(calls), (QStringList{QStringLiteral("1-32000"), QStringLiteral("32001-64000"), QStringLiteral("64001-96000"), QString()}));
    EXPECT_EQ(calls[0][QStringLiteral("arguments")][1].toString(), QStringLiteral("10"));
    EXPECT_EQ(m_console.count(QStringLiteral("FINAL LENGTH 70000")), 1);
    EXPECT_EQ(m_console.count(QStringLiteral("returnString.length 64000")), 1);
    EXPECT_EQ(m_console.count(QStringLiteral("No Value!")), 0);

    // A short first page is the whole text; extra fields beyond "MIDDLENAME:" are appended.
    EXPECT_EQ(scripter.getPropertiesStringForContactId(QStringLiteral("11")),
              QStringLiteral("BEGIN:VCARD\r\nMIDDLENAME:Q\r\nNICKNAME:Jo\r\nCATEGORIES:"));
    EXPECT_EQ(rangesOf(takeCalls()), (QStringList{QStringLiteral("1-32000"), QString()}));
}

TEST_F(AppleScripterTest, AnExactPageEndsWithAnEmptyPageQuietlyOrWithAPageWithoutTextLoudly)
{
    const QString exact = longText(HMAppleScripter::kTextPageCharacters);
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("contacts"), QJsonArray{contact(10, 1, kBase, {{QStringLiteral("properties"), exact}})}},
          {QStringLiteral("tasks"), QJsonArray{contact(30, 3, kBase, {{QStringLiteral("properties"), longText(40000)}}),
                                               contact(31, 3, kBase, {{QStringLiteral("properties"), QStringLiteral("second")}})}}});
    installScript();
    HMAppleScripter scripter;

    EXPECT_EQ(scripter.propertiesText(Conduit::Contacts, {QStringLiteral("10")}), exact);
    EXPECT_EQ(rangesOf(takeCalls()), (QStringList{QStringLiteral("1-32000"), QStringLiteral("32001-64000")}));
    EXPECT_EQ(m_console.count(QStringLiteral("No Value!")), 0);

    // The second call refused: no text, so the paging stops with what it has.
    setSwitches({{QStringLiteral("refuseNth"), 2}});
    EXPECT_EQ(scripter.propertiesText(Conduit::Contacts, {QStringLiteral("10")}), exact);
    EXPECT_EQ(m_console.count(QStringLiteral("No Value!")), 1);
    setSwitches({{QStringLiteral("refuseNth"), 0}});

    // Several records' texts page as one text.
    const QString both = scripter.propertiesText(
        Conduit::Tasks, {QStringLiteral("30"), QStringLiteral("31"), QString(""), QString(""), QString("")});
    EXPECT_EQ(both, longText(40000) + QStringLiteral("\nsecond"));
    const QJsonArray calls = takeCalls();
    ASSERT_EQ(calls.size(), 4); // the paging with the refused page, then two pages
    EXPECT_EQ(calls[2][QStringLiteral("handler")].toString(), QStringLiteral("getAllFiveTaskPropertiesWithRange"));
    EXPECT_EQ(calls[2][QStringLiteral("arguments")].toArray().size(), 8);
    // Each page's event is made, and told on the console, once, though the second was sent ahead.
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("event ")), 2) << m_console.lines().join(u'\n').toStdString();
    EXPECT_EQ(scripter.propertiesText(Conduit::CalendarEvents, {QStringLiteral("999")}), QString());
}

TEST_F(AppleScripterTest, IdsChangedSinceADateAndTheDuplicateCheckPickTheirHandlerByFolder)
{
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("contacts"), QJsonArray{contact(10, 1, kBase.addDays(-2), {{QStringLiteral("name"), QStringLiteral("Ann")}}),
                                                  contact(11, 42, kBase, {{QStringLiteral("name"), QStringLiteral("Bo")}}),
                                                  contact(12, 1, kBase.addDays(1), {{QStringLiteral("name"), QStringLiteral("Cy")}})}}});
    installScript();
    HMAppleScripter scripter;

    EXPECT_EQ(scripter.getAllContactIdsModifiedSince(kBase, QString()), (QStringList{QStringLiteral("11"), QStringLiteral("12")}));
    EXPECT_EQ(scripter.getAllContactIdsModifiedSince(kBase, QStringLiteral("-1")), (QStringList{QStringLiteral("11"), QStringLiteral("12")}));
    EXPECT_EQ(scripter.getAllContactIdsModifiedSince(kBase, QStringLiteral("")), (QStringList{QStringLiteral("11"), QStringLiteral("12")}));
    EXPECT_EQ(scripter.getAllContactIdsModifiedSince(QDateTime(), QStringLiteral("1")), (QStringList{QStringLiteral("10"), QStringLiteral("12")}));
    const QJsonArray calls = takeCalls();
    EXPECT_EQ(handlersOf(calls), (QStringList{QStringLiteral("getAllContactIdsWithRangeAndModifiedDate"),
                                              QStringLiteral("getAllContactIdsWithRangeAndModifiedDate"),
                                              QStringLiteral("getAllContactIdsWithRangeAndModifiedDate"),
                                              QStringLiteral("getAllContactIdsInFolderWithRangeAndModifiedDate")}));
    // The date goes as the system's date text; no date goes as the distant past, in the same form.
    EXPECT_EQ(calls[0][QStringLiteral("arguments")].toArray(),
              (QJsonArray{QStringLiteral("Microsoft Outlook"), 1, 32000, QStringLiteral("03/01/2026 10:00 AM")}));
    // (Year 1 in the formatter's calendar, which is Julian before 1582.)
    EXPECT_TRUE(calls[3][QStringLiteral("arguments")][3].toString().endsWith(QStringLiteral("/0001 12:00 AM")))
        << calls[3][QStringLiteral("arguments")][3].toString().toStdString();
    EXPECT_EQ(calls[3][QStringLiteral("arguments")][4].toString(), QStringLiteral("1"));
    // A failed call leaves one empty id.
    setSwitches({{QStringLiteral("refuseKind"), QStringLiteral("handler")}});
    EXPECT_EQ(scripter.getAllContactIdsModifiedSince(kBase, QString()), QStringList{QString()});
    setSwitches({{QStringLiteral("refuseKind"), QString()}});

    EXPECT_EQ(scripter.getContactPropertiesForDupeCheck(), QStringLiteral("10\tAnn\n11\tBo\n12\tCy"));
    EXPECT_EQ(scripter.getContactPropertiesInFolderForDupeCheck(QStringLiteral("42")), QStringLiteral("11\tBo"));
    // Only "-1" means every folder here: the empty text travels as a folder id, which names none.
    EXPECT_EQ(scripter.getContactPropertiesInFolderForDupeCheck(QStringLiteral("")), QString());
    const QJsonArray dupeCalls = takeCalls();
    ASSERT_EQ(dupeCalls.size(), 4);
    EXPECT_EQ(dupeCalls[1][QStringLiteral("handler")].toString(), QStringLiteral("getContactPropertiesForDupeCheck"));
    EXPECT_EQ(dupeCalls[3][QStringLiteral("handler")].toString(), QStringLiteral("getContactPropertiesInFolderForDupeCheck"));
    EXPECT_EQ(dupeCalls[3][QStringLiteral("arguments")].toArray(), (QJsonArray{QStringLiteral("Microsoft Outlook"), 1, 32000, QString()}));
}

TEST_F(AppleScripterTest, DatesAndIdsComeInBatchesAndPairByPosition)
{
    // 4,500 contacts whose dates do not follow their ids: every third one is older than the date.
    QJsonArray contacts;
    QStringList expected;
    for (int i = 0; i < 4500; ++i) {
        const bool isLater = i % 3 != 0;
        contacts.append(contact(100 + i, i < 4000 ? 1 : 42, isLater ? kBase.addSecs(4500 - i) : kBase.addSecs(-i)));
        if (isLater)
            expected.append(QString::number(100 + i));
    }
    // Exactly 2,000 events; one of them shares the date asked for, which does not count.
    QJsonArray events;
    for (int i = 0; i < 2000; ++i)
        events.append(contact(10000 + i, 2, kBase.addSecs(i - 1)));
    seed({{QStringLiteral("folders"), standardFolders()}, {QStringLiteral("contacts"), contacts}, {QStringLiteral("events"), events}});
    installScript();
    HMAppleScripter scripter;

    EXPECT_EQ(scripter.idsModifiedAfter(Conduit::Contacts, kBase, QString()), expected);
    const QJsonArray calls = takeCalls();
    EXPECT_EQ(handlersOf(calls), (QStringList{QStringLiteral("getAllContactDates"), QStringLiteral("getAllContactDates"),
                                              QStringLiteral("getAllContactDates"), QStringLiteral("getAllContactIdentifiers"),
                                              QStringLiteral("getAllContactIdentifiers"), QStringLiteral("getAllContactIdentifiers")}));
    EXPECT_EQ(rangesOf(calls).mid(0, 3), (QStringList{QStringLiteral("1-2000"), QStringLiteral("2001-4000"), QStringLiteral("4001-6000")}));
    EXPECT_EQ(m_console.count(QStringLiteral("contactIdsArray.count 4000")), 1);
    EXPECT_EQ(m_console.count(QStringLiteral("modifiedContacts.count %1").arg(expected.size())), 1);
    EXPECT_EQ(m_console.count(QStringLiteral("FINAL LENGTH 4500")), 2);

    // A folder selects the "InFolder" handlers; the 500 of folder 42 take one call each.
    EXPECT_EQ(scripter.idsModifiedAfter(Conduit::Contacts, QDateTime(), QStringLiteral("42")).size(), 500);
    EXPECT_EQ(handlersOf(takeCalls()), (QStringList{QStringLiteral("getAllContactDatesInFolder"), QStringLiteral("getAllContactIdentifiersInFolder")}));

    // Exactly 2,000: a second call for 2001-4000, whose empty answer ends the reading.
    const QStringList later = scripter.idsModifiedAfter(Conduit::CalendarEvents, kBase, QString());
    EXPECT_EQ(later.size(), 1998);
    EXPECT_EQ(later.first(), QStringLiteral("10002"));
    EXPECT_EQ(rangesOf(takeCalls()), (QStringList{QStringLiteral("1-2000"), QStringLiteral("2001-4000"), QStringLiteral("1-2000"),
                                                  QStringLiteral("2001-4000")}));
    EXPECT_EQ(m_console.count(QStringLiteral("No Value!")), 2);
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookCalendar(QStringLiteral("2")), kBase.addSecs(1998));
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookTasks(QString()), HMAppleScripter::distantPast());
    EXPECT_EQ(scripter.idsModifiedAfter(Conduit::Tasks, QDateTime(), QString()), QStringList());
}

TEST_F(AppleScripterTest, TheContactsLatestDateRunsItsOwnScriptAndSendsOnlyDecimalFolderIds)
{
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("contacts"), QJsonArray{contact(10, 1, kBase), contact(11, 42, kBase.addDays(3)), contact(12, 1, kBase.addDays(1))}}});
    HMAppleScripter scripter; // no automation script: this scan does not need it
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookContacts(QString()), kBase.addDays(3));
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookContacts(QStringLiteral("")), kBase.addDays(3));
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookContacts(QStringLiteral("1")), kBase.addDays(1));
    EXPECT_EQ(m_console.count(QStringLiteral("Done executing scripts")), 3);
    EXPECT_EQ(m_console.countStartingWith(QStringLiteral("datesArray (2026-")), 3);

    const qint64 scripts = m_peer.control({{QStringLiteral("op"), QStringLiteral("dump")}}).value(QStringLiteral("scripts")).toInteger();
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookContacts(QStringLiteral("1\nend tell\ntell application \"Finder\" to quit")),
              HMAppleScripter::distantPast());
    EXPECT_EQ(m_peer.control({{QStringLiteral("op"), QStringLiteral("dump")}}).value(QStringLiteral("scripts")).toInteger(), scripts);
    // A folder the peer does not have is an error of the script: the distant past, nothing logged.
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookContacts(QStringLiteral("77")), HMAppleScripter::distantPast());
    EXPECT_EQ(m_console.count(QStringLiteral("datesArray ()")), 1);
}

TEST(AppleScripterDates, OnlyLongDateTimesAreDates)
{
    const QDateTime date(QDate(2026, 10, 25), QTime(1, 30), Qt::UTC);
    EXPECT_EQ(HMAppleScripter::dateFromEventDescriptor(NSAppleEventDescriptor::descriptorWithDate(date)), date);
    EXPECT_EQ(HMAppleScripter::dateFromEventDescriptor(NSAppleEventDescriptor::descriptorWithLongDateTime(0)),
              QDateTime(QDate(1904, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(HMAppleScripter::dateFromEventDescriptor(NSAppleEventDescriptor::descriptorWithString(date.toString(Qt::ISODate))), std::nullopt);
    EXPECT_EQ(HMAppleScripter::dateFromEventDescriptor(NSAppleEventDescriptor::descriptorWithInt32(5)), std::nullopt);
    EXPECT_EQ(HMAppleScripter::dateFromEventDescriptor({}), std::nullopt);
    EXPECT_EQ(HMAppleScripter::distantPast(), QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC));
}

// The next page or batch goes out while the current one is read. A peer that stalls on it or dies
// answering it ends the reading as a failed page always did: what came stands, the stall ends at the
// bound, the death at once, and the next reading starts clean and asks for the same ranges.
TEST_F(AppleScripterTest, APeerThatStallsOrDiesOnThePageSentAheadEndsTheReadingAsAFailedPage)
{
    QJsonArray events;
    for (int i = 0; i < 4500; ++i)
        events.append(contact(10000 + i, 2, kBase.addSecs(i)));
    const QString card = longText(70000);
    seed({{QStringLiteral("folders"), standardFolders()}, {QStringLiteral("events"), events},
          {QStringLiteral("contacts"), QJsonArray{contact(10, 1, kBase, {{QStringLiteral("vcard"), card}})}}});
    installScript();
    HMAppleScripter scripter;
    setSwitches({{QStringLiteral("stallNth"), 2}});
    QElapsedTimer timer;
    {
        RacingClock clock;
        timer.start();
        EXPECT_EQ(scripter.getLastModifiedDateForOutlookCalendar(QString()), kBase.addSecs(1999));
        EXPECT_LT(timer.elapsed(), 5000);
    }
    EXPECT_EQ(m_console.count(QStringLiteral("ERROR: AppleEvent timed out. (-1712)")), 1) << m_console.lines().join(u'\n').toStdString();
    EXPECT_EQ(m_console.count(QStringLiteral("No Value!")), 1);
    setSwitches({{QStringLiteral("stall"), false}});
    (void)takeCalls();
    EXPECT_EQ(scripter.getLastModifiedDateForOutlookCalendar(QString()), kBase.addSecs(4499));
    EXPECT_EQ(rangesOf(takeCalls()), (QStringList{QStringLiteral("1-2000"), QStringLiteral("2001-4000"), QStringLiteral("4001-6000")}));

    setSwitches({{QStringLiteral("killMidReplyNth"), 2}});
    timer.restart();
    EXPECT_EQ(scripter.getPropertiesStringForContactId(QStringLiteral("10")), card.left(32000) + QStringLiteral("\r\nCATEGORIES:"));
    EXPECT_LT(timer.elapsed(), 2000);
    // The page sent ahead dies with the peer (-609); the categories line is then asked of a peer that
    // is still going away, whose connection is cut too (-609), or already gone (-600), as the moment
    // of the kill falls on a loaded machine.
    const qsizetype cut = m_console.count(QStringLiteral("ERROR: Connection is invalid. (-609)"));
    const qsizetype gone = m_console.count(QStringLiteral("ERROR: Application isn't running. (-600)"));
    EXPECT_GE(cut, 1) << m_console.lines().join(u'\n').toStdString();
    EXPECT_EQ(cut + gone, 2) << m_console.lines().join(u'\n').toStdString();
    ASSERT_TRUE(m_peer.process().waitForFinished(5000));
}
