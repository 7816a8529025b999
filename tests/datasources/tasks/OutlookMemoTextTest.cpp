// The memo data source against the simulated Outlook run as a process: memo texts turned into the
// records of the phone's and the cloud's sync methods, the properties records of notes byte for byte,
// and notes made and changed through the scripts with names and contents that hold quotes,
// backslashes and script code, which arrive verbatim.
#include "LogCapture.h"
#include "OutlookStoreChoice.h"
#include "OutlookTextFixture.h"

#include "datasources/tasks/HMMemoData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/FakeProgressSheet.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

class OutlookMemoText : public OutlookTextFixture
{
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(startOutlook(folder(8, "note folder", "Archive"))); }
    // A memo data source of a profile of the sync method, Outlook 2016.
    std::unique_ptr<HMMemoData> memos(HMSyncMethod method)
    {
        auto profile = std::make_shared<HMProfile>();
        profile->setSyncMethod(method);
        hmsync::useOutlookContacts(profile, QStringLiteral("15"));
        auto data = std::make_unique<HMMemoData>();
        data->setProfile(profile);
        m_profile = profile;
        return data;
    }
    QJsonArray notes() const { return m_outlook->dump().value("notes").toArray(); }

    std::shared_ptr<HMProfile> m_profile;
};

// A note's memo text as the listing assembles it: Outlook's iCalendar text, the category line, the
// plain text (lines ending in CR, an escaped comma, a word "OUTLOOKID" cutting it) and the id line.
const QString kMemoText = QStringLiteral(
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VJOURNAL\r\nSUMMARY:Groceries\r\nEND:VJOURNAL\r\nEND:VCALENDAR\r\n"
    "\nCATEGORIES:Work\tFamily\n"
    "PLAINTEXTNOTE:milk\reggs\\, bread\n\nOUTLOOKID:41");

} // namespace

TEST_F(OutlookMemoText, MemoRecordsOfThePhoneAndTheCloud)
{
    const QVariantMap phone = memos(HMSyncMethod::WiFi)->pppDictionaryForOutlookMemo(kMemoText);
    const QVariantMap expectedPhone{{"NOTE", QStringLiteral("Groceries\nmilk\r\neggs, bread")},
                                    {"NSARRAYCATEGORIES", QStringList{"Work", "Family"}},
                                    {"NSARRAYCATEGORYCOLORS", QStringList{"FF0000", "0080FF"}},
                                    {"NSARRAYCATEGORYCOLORINDEXES", QStringList{"-1", "-1"}}};
    EXPECT_EQ(phone, expectedPhone);

    // The cloud: subject and note apart; colours in the cloud's byte order.
    const QVariantMap cloud = memos(HMSyncMethod::Quillnest)->pppDictionaryForOutlookMemo(kMemoText);
    const QVariantMap expectedCloud{{"SUBJECT", QStringLiteral("Groceries")},
                                    {"NOTE", QStringLiteral("milk\r\neggs, bread")},
                                    {"NSARRAYCATEGORIES", QStringList{"Work", "Family"}},
                                    {"NSARRAYCATEGORYCOLORS", QStringList{"0000FF", "FF8000"}},
                                    {"NSARRAYCATEGORYCOLORINDEXES", QStringList{"-1", "-1"}}};
    EXPECT_EQ(cloud, expectedCloud);

    // A missing plain text, no summary, a first CATEGORIES line that is empty, and a note cut by "OUTLOOKID".
    const QVariantMap bare = memos(HMSyncMethod::WiFi)->pppDictionaryForOutlookMemo(QStringLiteral(
        "BEGIN:VJOURNAL\r\nEND:VJOURNAL\r\n\nCATEGORIES:\nCATEGORIES:Work\nPLAINTEXTNOTE:(null)\nOUTLOOKID:7"));
    EXPECT_EQ(bare.value("NOTE").toString(), QStringLiteral("\n"));
    EXPECT_EQ(bare.value("NSARRAYCATEGORIES").toStringList(), QStringList{"Work"});
    const QVariantMap cut = memos(HMSyncMethod::Quillnest)->pppDictionaryForOutlookMemo(
        QStringLiteral("SUMMARY:Ids\nPLAINTEXTNOTE:see the OUTLOOKID column\nOUTLOOKID:9"));
    EXPECT_EQ(cut.value("NOTE").toString(), QStringLiteral("see the "));
    EXPECT_EQ(cut.value("NSARRAYCATEGORIES").toStringList(), QStringList());
    EXPECT_EQ(cut.value("NSARRAYCATEGORYCOLORS").toStringList(), QStringList());
}

TEST_F(OutlookMemoText, PropertiesTextsByteForByte)
{
    std::unique_ptr<HMMemoData> cloud = memos(HMSyncMethod::Quillnest);
    const QVariantMap record{{"UID", "m1"},
                             {"SUBJECT", QStringLiteral("Say \"hi\" \\")},
                             {"NOTE", QStringLiteral("line one\nline \\\"two\\\"")},
                             {"NSARRAYCATEGORIES", QStringList{"Work", "Family"}},
                             {"NSARRAYCATEGORYCOLORINDEXES", QStringList{"-1", "-1"}}};
    EXPECT_EQ(cloud->propertiesStringFromMemoDictionary(record),
              QStringLiteral("{name:\"Say \\\"hi\\\" \\\\\", plain text content:\"line one\nline \\\"two\\\"\", "
                             "category:{category id 5 of application \"Microsoft Outlook\", "
                             "category id 6 of application \"Microsoft Outlook\"}}"));
    // No name, no note, no categories.
    EXPECT_EQ(cloud->propertiesStringFromMemoDictionary({{"UID", "m2"}}), QStringLiteral("{category:{}}"));

    // The phone: the note alone, from its first carriage return on, leading carriage returns dropped.
    std::unique_ptr<HMMemoData> phone = memos(HMSyncMethod::WiFi);
    EXPECT_EQ(phone->propertiesStringFromMemoDictionary({{"UID", "m3"}, {"NOTE", QStringLiteral("Title\r\r\nbody")},
                                                         {"CATEGORY", "Work"}, {"COLORINDEX", "-1"}}),
              QStringLiteral("{plain text content:\"\nbody\", category:{category id 5 of application \"Microsoft Outlook\"}}"));
}

TEST_F(OutlookMemoText, NotesAddedAndUpdatedArriveVerbatim)
{
    std::unique_ptr<HMMemoData> cloud = memos(HMSyncMethod::Quillnest);
    const QString hostile = QStringLiteral("\" & (do shell script \"touch %1\") & \"").arg(m_outlook->home() + QStringLiteral("/F"));
    const QString subject = QStringLiteral("Ends in a backslash \\");
    const QString note = QStringLiteral("Quotes \"a\" and \\\" and ") + hostile + QStringLiteral("\nsecond line");
    // Each memo read, even one refused, counts on the sync's progress sheet.
    const auto sheet = std::make_shared<FakeProgressSheet>();
    GlobalVariables::setCurrentSyncProgressController(sheet);
    EXPECT_EQ(cloud->outlookCommandAction(0, 4, 0, {{"UID", "u1"}, {"SUBJECT", subject}, {"NOTE", note}}, 0), 2);
    EXPECT_EQ(cloud->outlookCommandAction(0, 4, 0, {{"SUBJECT", "no uid"}}, 0), 1);
    GlobalVariables::setCurrentSyncProgressController(nullptr);
    EXPECT_EQ(sheet->userMessages().filter(QStringLiteral("Reading")),
              (QStringList{QStringLiteral("Reading Quillpad Memos 1"), QStringLiteral("Reading Quillpad Memos 2")}));
    ASSERT_EQ(notes().size(), 1);
    const QJsonObject made = notes().first().toObject();
    EXPECT_EQ(made.value("name").toString(), subject);
    // A backslash-quote pair reaches Outlook as a quote.
    EXPECT_EQ(made.value("content").toString(), QStringLiteral("Quotes \"a\" and \" and ") + hostile + QStringLiteral("\nsecond line"));
    EXPECT_FALSE(QFile::exists(m_outlook->home() + QStringLiteral("/F")));
    ASSERT_TRUE(cloud->syncAppliedChangesToDisk().ok());
    const qint64 id = made.value("id").toInteger();
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookMemoIdForDeviceMemoId(QStringLiteral("u1")), QString::number(id));

    // The same memo again updates that note. A new memo equal in name and first line to a note nobody
    // pairs merges with it; one alike to a paired note is a memo of its own.
    EXPECT_EQ(cloud->outlookCommandAction(0, 4, 0, {{"UID", "u1"}, {"SUBJECT", subject}, {"NOTE", QStringLiteral("changed")}}, 0), 2);
    const qint64 loose = m_outlook->control({{"op", "add"}, {"kind", "note"},
                                             {"record", QJsonObject{{"folder", 4}, {"name", "Loose"}, {"content", "changed\nby hand"}}}})
                             .value("id")
                             .toInteger();
    std::unique_ptr<HMMemoData> next = memos(HMSyncMethod::Quillnest);
    EXPECT_EQ(next->outlookCommandAction(0, 4, 0, {{"UID", "u2"}, {"SUBJECT", "LOOSE"}, {"NOTE", QStringLiteral("CHANGED\nmore")}}, 0), 2);
    EXPECT_EQ(next->outlookCommandAction(0, 4, 0, {{"UID", "u3"}, {"SUBJECT", subject.toUpper()}, {"NOTE", QStringLiteral("CHANGED\nmore")}}, 0), 2);
    ASSERT_TRUE(next->syncAppliedChangesToDisk().ok());
    ASSERT_EQ(notes().size(), 3) << QJsonDocument(notes()).toJson().toStdString();
    const auto noteWithId = [this](qint64 wanted) {
        for (const QJsonValue &value : notes()) {
            if (value.toObject().value("id").toInteger() == wanted)
                return value.toObject();
        }
        return QJsonObject();
    };
    EXPECT_EQ(noteWithId(loose).value("content").toString(), QStringLiteral("CHANGED\nmore"));
    EXPECT_EQ(noteWithId(id).value("content").toString(), QStringLiteral("changed"));
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookMemoIdForDeviceMemoId(QStringLiteral("u2")), QString::number(loose));
    const QString third = HMOutlookDatFileHelper().getOutlookMemoIdForDeviceMemoId(QStringLiteral("u3"));
    EXPECT_FALSE(third.isEmpty() || third == QString::number(id) || third == QString::number(loose)) << third.toStdString();

    // A reread device moves a mapped note into the chosen folder, keeping its id.
    m_profile->setOutlookMemoFolderSelection(QStringLiteral("8"));
    next->setIsDeviceReread(true);
    EXPECT_EQ(next->outlookCommandAction(0, 4, 0, {{"UID", "u2"}, {"SUBJECT", subject}, {"NOTE", QStringLiteral("moved")}}, 0), 2);
    ASSERT_EQ(notes().size(), 3);
    EXPECT_EQ(noteWithId(loose).value("folder").toInteger(), 8);
    EXPECT_EQ(noteWithId(loose).value("content").toString(), QStringLiteral("moved"));
}

// A memo with a name (the cloud's) is a duplicate of a note nobody pairs equal in name and first line,
// either case; one without (the phone's) of a note equal in first line. A note taken by one record is
// no duplicate of the next, whichever way either was looked up; a note paired already is nobody's.
TEST_F(OutlookMemoText, EachNoteNobodyPairsIsTheDuplicateOfOneMemoAtMost)
{
    const auto add = [this](const char *name, const char *content) {
        return QString::number(m_outlook->control({{"op", "add"}, {"kind", "note"},
                                                   {"record", QJsonObject{{"folder", 4}, {"name", name}, {"content", content}}}})
                                   .value("id")
                                   .toInteger());
    };
    const QString groceries = add("Groceries", "Groceries\nmilk");
    const QString shopping = add("Shopping", "groceries\neggs");
    const QString paired = add("Paired", "Groceries\nbread");
    ASSERT_TRUE(HMOutlookDatFileHelper().writeOutlookMemoIdForDeviceMemoId(paired, QStringLiteral("known")));
    std::unique_ptr<HMMemoData> data = memos(HMSyncMethod::WiFi);
    EXPECT_TRUE(data->isOutlookDuplicate({{"UID", "a"}, {"SUBJECT", "Shopping"}, {"NOTE", "Eggs\ngroceries"}}).isEmpty());
    EXPECT_EQ(data->isOutlookDuplicate({{"UID", "b"}, {"SUBJECT", "GROCERIES"}, {"NOTE", "groceries\nflour"}}), groceries);
    // The phone's memos: by their first line only, the note taken above no longer counts.
    EXPECT_EQ(data->isOutlookDuplicate({{"UID", "c"}, {"NOTE", "GROCERIES\nrice"}}), shopping);
    EXPECT_TRUE(data->isOutlookDuplicate({{"UID", "d"}, {"NOTE", "Groceries\nrice"}}).isEmpty());
    EXPECT_TRUE(data->isOutlookDuplicate({{"UID", "e"}, {"SUBJECT", "Shopping"}, {"NOTE", "groceries\neggs"}}).isEmpty());
}

// A phone memo whose first line matches a note nobody pairs is applied to that note: the merge is
// logged in the memo's own words with its UID, the pair kept, and no second note made.
TEST_F(OutlookMemoText, AMemoMergedIntoItsDuplicateNoteIsLoggedAndPaired)
{
    const QString groceries = QString::number(
        m_outlook->control({{"op", "add"}, {"kind", "note"},
                            {"record", QJsonObject{{"folder", 4}, {"name", "Groceries"}, {"content", "Groceries\nmilk"}}}})
            .value("id")
            .toInteger());
    std::unique_ptr<HMMemoData> data = memos(HMSyncMethod::WiFi);
    LogCapture log(LOG_LEVEL_INFO);
    EXPECT_EQ(data->outlookCommandAction(0, 0, 0, {{"UID", "memo-7"}, {"NOTE", "Groceries\nmilk\neggs"}}, 0), 2);
    EXPECT_TRUE(log.lines().contains(QStringLiteral("Merging duplicate memo memo-7"))) << log.lines().join(u'\n').toStdString();
    EXPECT_EQ(notes().size(), 1);
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookMemoIdForDeviceMemoId(QStringLiteral("memo-7")), groceries);
}
