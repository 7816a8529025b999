// The simulated Outlook's answers to the automation script's handlers, in process: slices at and past
// the ends, and the refusals of calls the script would not take.
#include "OutlookHandlers.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QTemporaryDir>

using namespace outlookpeer;

namespace {

Descriptor call(const QString &handler, const std::vector<Descriptor> &arguments)
{
    Descriptor event;
    event.kind = 'E';
    event.type = code("aevt");
    event.eventClass = code("ascr");
    event.eventID = code("psbr");
    event.returnID = -1;
    Descriptor list = Descriptor::list();
    list.items = arguments;
    event.set(code("snam"), Descriptor::text(handler));
    event.set(code("----"), list);
    return event;
}

class OutlookHandlers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString problem;
        m_store = OutlookStore::open(m_home.path(), OutlookStore::Version::Outlook15, &problem);
        ASSERT_TRUE(m_store) << problem.toStdString();
        QJsonArray contacts;
        contacts.append(QJsonObject{{QStringLiteral("id"), 10}, {QStringLiteral("folder"), 1}, {QStringLiteral("properties"), QStringLiteral("abcdef")}});
        for (int i = 0; i < 3; ++i)
            contacts.append(QJsonObject{{QStringLiteral("id"), 11 + i}, {QStringLiteral("folder"), 1}});
        ASSERT_TRUE(m_store->seed({{QStringLiteral("contacts"), contacts}})) << m_store->lastProblem().toStdString();
    }
    ScriptOutcome answer(const QString &handler, const std::vector<Descriptor> &arguments)
    {
        ScriptContext context{*m_store, QDateTime::currentDateTimeUtc(), QStringLiteral("16.78"), QStringLiteral("MM/dd/yyyy hh:mm a")};
        return m_calls.answer(call(handler, arguments), context);
    }
    QString textSlice(qint32 start, qint32 end)
    {
        const ScriptOutcome outcome = answer(QStringLiteral("getAllContactPropertiesWithRange"),
                                             {Descriptor::text(QStringLiteral("Microsoft Outlook")), Descriptor::text(QStringLiteral("10")),
                                              Descriptor::integer(start), Descriptor::integer(end)});
        EXPECT_EQ(outcome.errorNumber, 0) << outcome.errorMessage.toStdString();
        return outcome.result.textValue();
    }
    qsizetype itemCount(qint32 start, qint32 end)
    {
        const ScriptOutcome outcome = answer(QStringLiteral("getAllContactIdentifiers"), {Descriptor::text(QStringLiteral("Microsoft Outlook")),
                                                                                          Descriptor::integer(start), Descriptor::integer(end)});
        EXPECT_EQ(outcome.errorNumber, 0) << outcome.errorMessage.toStdString();
        return qsizetype(outcome.result.items.size());
    }

    QTemporaryDir m_home;
    std::unique_ptr<OutlookStore> m_store;
    HandlerCalls m_calls;
};

} // namespace

TEST_F(OutlookHandlers, RangesSliceTheWholeTextOrListAndGiveNothingBeyondIt)
{
    EXPECT_EQ(textSlice(1, 3), QStringLiteral("abc"));
    EXPECT_EQ(textSlice(4, 100), QStringLiteral("def"));
    EXPECT_EQ(textSlice(7, 10), QStringLiteral(""));
    EXPECT_FALSE(textSlice(7, 10).isNull());
    EXPECT_EQ(textSlice(3, 2), QStringLiteral(""));
    EXPECT_EQ(textSlice(0, 1), QStringLiteral("a"));
    EXPECT_EQ(itemCount(1, 2), 2);
    EXPECT_EQ(itemCount(3, 2000), 2);
    EXPECT_EQ(itemCount(5, 6), 0);
    // The whole text is kept between pages until the store changes.
    PeerRecord edited = *m_store->record(RecordKind::Contact, 10);
    edited.fields[QStringLiteral("properties")] = QStringLiteral("xyz");
    ASSERT_TRUE(m_store->updateRecord(RecordKind::Contact, edited));
    EXPECT_EQ(textSlice(1, 3), QStringLiteral("abc"));
    m_calls.forgetAnswers();
    EXPECT_EQ(textSlice(1, 3), QStringLiteral("xyz"));
}

TEST_F(OutlookHandlers, RefusesUnknownHandlersWrongCountsAndRangesThatAreNotNumbers)
{
    const Descriptor app = Descriptor::text(QStringLiteral("Microsoft Outlook"));
    struct Row
    {
        const char *name;
        const char *handler;
        std::vector<Descriptor> arguments;
        int errorNumber;
    };
    const Row rows[] = {
        {"unknown handler", "getEverything", {app}, -1708},
        {"one argument too few", "setWeeklyRecurrence", {Descriptor::text(QStringLiteral("x"))}, -1721},
        {"one argument too many", "getAddressBookFolders", {app, app}, -1721},
        {"a range given as text", "getAllContactDates", {app, Descriptor::text(QStringLiteral("1")), Descriptor::integer(2000)}, -1700},
        {"a contact that is not there", "getVcardForContactWithTextRange", {app, Descriptor::text(QStringLiteral("99")), Descriptor::integer(1), Descriptor::integer(9)}, -1728},
        {"a folder that is not there", "getAllContactDatesInFolder", {app, Descriptor::integer(1), Descriptor::integer(9), Descriptor::text(QStringLiteral("7"))}, -1728},
        {"an accepted handler", "setWeeklyRecurrence", {Descriptor::text(QStringLiteral("x")), Descriptor::text(QStringLiteral("9"))}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(answer(QLatin1String(row.handler), row.arguments).errorNumber, row.errorNumber);
    }
    const QJsonArray log = m_calls.takeLog();
    ASSERT_EQ(log.size(), qsizetype(std::size(rows)));
    EXPECT_EQ(log[1][QStringLiteral("arguments")].toArray(), QJsonArray{QStringLiteral("x")});
    EXPECT_EQ(log[3][QStringLiteral("types")].toArray(), (QJsonArray{QStringLiteral("utxt"), QStringLiteral("utxt"), QStringLiteral("long")}));
    EXPECT_TRUE(m_calls.takeLog().isEmpty());
}
