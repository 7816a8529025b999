// The Outlook identifier maps and the error log on real files: names by version and method, the
// move to per-account names, dates, failed writes, and the files as Python's plistlib reads them.
#include "outlook/HMOutlookAppliedPairs.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookUnansweredIds.h"

#include "support/TestSupport.h"
#include "foundation/GlobalVariables.h"
#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Conduit = HMOutlookDatFileHelper::Conduit;

class DatFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        testsupport::pointHomeAt(m_home.path() + QStringLiteral("/a+b c"));
        setMethod(QString());
        GlobalVariables::setOutlookVersionNumberInConfiguration(QString());
        GlobalVariables::setQuillnestUserName(QString());
    }
    void TearDown() override
    {
        setMethod(QString());
        GlobalVariables::setOutlookVersionNumberInConfiguration(QString());
        GlobalVariables::setQuillnestUserName(QString());
    }
    static void setMethod(const QString &method)
    {
        platform::UserDefaults::standardUserDefaults().setObject(method.isNull() ? QVariant() : QVariant(method),
                                                                 QStringLiteral("SyncMethodSetting"));
    }
    QString folder() const { return HMOutlookDatFileHelper::dataFolderPath(); }

    QTemporaryDir m_home;
};

// Python's reading of a property list, one "key=value" per line in key order.
QString plistlibDump(const QString &path)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
                                 "print('\\n'.join('%s=%r'%(k,d[k]) for k in sorted(d)))"),
                  path});
    python.waitForFinished(10000);
    return QString::fromUtf8(python.readAllStandardOutput()).trimmed();
}

TEST_F(DatFileTest, DataFolderKeepsPlusAndBlank)
{
    HMOutlookDatFileHelper helper;
    EXPECT_TRUE(helper.getAppDataFolder().startsWith(m_home.path() + QStringLiteral("/a+b c/")));
    EXPECT_FALSE(helper.getAppDataFolder().startsWith(QStringLiteral("file:")));
    EXPECT_EQ(helper.contactFilePath(), helper.getAppDataFolder() + QStringLiteral("/contacts-outlook.plist"));
}

TEST_F(DatFileTest, NamesByVersionAndMethod)
{
    const QString account = QStringLiteral("john-doe-example-com");
    struct Row { const char *version; const char *method; const char *name; };
    const Row rows[] = {
        {"14.3", "wifi", "contacts-outlook14.plist"},   {"15", "wifi", "contacts-outlook.plist"},
        {"14", "quillnest", "contacts-outlook14-john-doe-example-com.plist"},
        {"15", "quillnest", "contacts-outlook-john-doe-example-com.plist"},
        {"14", "direct", "contacts-outlook14-google.plist"}, {"", "direct", "contacts-outlook-google.plist"},
        {"", "adb", "contacts-outlook.plist"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(HMOutlookDatFileHelper::fileNameFor(Conduit::Contacts, QLatin1String(row.version),
                                                      QLatin1String(row.method), account),
                  QLatin1String(row.name)) << row.version << row.method;
    EXPECT_EQ(HMOutlookDatFileHelper::fileNameFor(Conduit::Memos, QStringLiteral("14"), QStringLiteral("direct"), {}),
              QStringLiteral("memos-outlook14-google.plist"));
}

TEST_F(DatFileTest, CloudMethodMovesPlainFileNeverOverAnother)
{
    GlobalVariables::setOutlookVersionNumberInConfiguration(QStringLiteral("14"));
    setMethod(QStringLiteral("wifi"));
    {
        HMOutlookDatFileHelper helper;
        ASSERT_TRUE(helper.writeOutlookIdForDeviceId(QStringLiteral("101"), QStringLiteral("phone-1")));
        ASSERT_TRUE(helper.writeOutlookTaskIdForDeviceTaskId(QStringLiteral("301"), QStringLiteral("task-1")));
    }
    const QString perAccountTasks = folder() + QStringLiteral("/tasks-outlook14-john-doe-example-com.plist");
    QFile existing(perAccountTasks);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("kept");
    existing.close();

    setMethod(QStringLiteral("quillnest"));
    GlobalVariables::setQuillnestUserName(QStringLiteral("john.doe@example.com"));
    HMOutlookDatFileHelper moved;
    EXPECT_EQ(moved.contactFilePath(), folder() + QStringLiteral("/contacts-outlook14-john-doe-example-com.plist"));
    EXPECT_FALSE(QFile::exists(folder() + QStringLiteral("/contacts-outlook14.plist")));
    EXPECT_EQ(moved.getOutlookContactIdForDeviceContactId(QStringLiteral("phone-1")), QStringLiteral("101"));
    // The per-account task file was there already: it keeps its bytes, the plain file stays.
    QFile kept(perAccountTasks);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("kept"));
    EXPECT_TRUE(QFile::exists(folder() + QStringLiteral("/tasks-outlook14.plist")));
}

TEST_F(DatFileTest, PairsListingsAndRemovals)
{
    HMOutlookDatFileHelper helper;
    ASSERT_TRUE(helper.writeOutlookEventIdForDeviceEventId(QStringLiteral("7"), QStringLiteral("x")));
    ASSERT_TRUE(helper.writeOutlookEventIdForDeviceEventId(QStringLiteral("8"), QStringLiteral("abc@cal")));
    ASSERT_TRUE(helper.writeOutlookEventIdForDeviceEventId(QStringLiteral("9"), QStringLiteral("abcd@cal")));
    ASSERT_TRUE(helper.writeLastModifiedDateEvents());
    ASSERT_TRUE(helper.writeLastListCommandEvents(QDateTime()));
    EXPECT_EQ(helper.countRecordsForConduit(QStringLiteral("Calendar")), 3);
    EXPECT_EQ(helper.countRecordsForConduit(QStringLiteral("Notes")), 0);
    EXPECT_EQ(helper.getAllOutlookEventIdsInDatFile(), (QStringList{"8", "9", "7"}));
    EXPECT_EQ(helper.getAllDeviceEventIdsInDatFile(), (QStringList{"abc@cal", "abcd@cal", "x"}));
    EXPECT_EQ(helper.getDeviceEventIdForOutlookEventId(QStringLiteral("9")), QStringLiteral("abcd@cal"));
    EXPECT_EQ(helper.getOutlookEventIdForGoogleEventIdBeginningWith(QStringLiteral("abc")), QStringLiteral("8"));
    EXPECT_EQ(helper.getFullGoogleEventIdForGoogleEventIdBeginningWith(QStringLiteral("abcd")), QStringLiteral("abcd@cal"));
    ASSERT_TRUE(helper.removeIdFromCalendarDatFile(QStringLiteral("x@y")));
    EXPECT_TRUE(helper.getOutlookEventIdForDeviceEventId(QStringLiteral("x")).isNull());
    EXPECT_TRUE(helper.updateTempId(QStringLiteral("abc@cal"), QStringLiteral("perm@cal"), QStringLiteral("Calendar")));
    EXPECT_FALSE(helper.updateTempId(QStringLiteral("nope"), QStringLiteral("p"), QStringLiteral("Calendar")));
    EXPECT_EQ(helper.getOutlookEventIdForDeviceEventId(QStringLiteral("perm@cal")), QStringLiteral("8"));

    ASSERT_TRUE(helper.writeOutlookIdForDeviceId(QStringLiteral("41"), QStringLiteral("c1")));
    ASSERT_TRUE(helper.incrementOutlookContactId(QStringLiteral("41")));
    EXPECT_EQ(helper.getOutlookContactIdForDeviceContactId(QStringLiteral("c1")), QStringLiteral("42"));
    EXPECT_FALSE(helper.incrementOutlookContactId(QStringLiteral("41 or 1")));
    ASSERT_TRUE(helper.clearDatFile(QStringLiteral("Calendar")));
    EXPECT_EQ(plistlibDump(helper.calendarFilePath()), QString());
    EXPECT_TRUE(helper.getLastListCommandEvents().isNull());
}

// The apply's pairs in memory find a Google event in any calendar and the device id of an Outlook id
// as the map file does, through pairs written, replaced and removed in any order: ids that begin alike
// ("ab@", "ab_…@", "abc@"), an id in two calendars, one Outlook id under two device ids.
TEST_F(DatFileTest, AppliedPairsAnswerAsTheMapFileDoes)
{
    HMOutlookDatFileHelper file;
    HMOutlookAppliedPairs memory;
    ASSERT_TRUE(file.writeLastModifiedDateEvents());
    const QStringList deviceIds{"ab@c", "ab_20270302T090000Z@c", "abc@c", "ab@b", "a@c", "b@c", "ab", "abd@c", "x@c"};
    const QStringList outlookIds{"11", "12", "13", "14", "11", "15", "16", "12", "17"};
    const QStringList asked{"a", "ab", "abc", "abd", "ab_20270302T090000Z", "b", "x", "y", "", "Last"};
    const auto compare = [&](const char *step) {
        for (const QString &id : asked)
            EXPECT_EQ(memory.firstDeviceIdStartingWith(id + u'@'), file.getFullGoogleEventIdForGoogleEventIdBeginningWith(id))
                << step << " " << id.toStdString();
        for (const QString &outlookId : QStringList{"11", "12", "13", "14", "15", "16", "17", "18"})
            EXPECT_EQ(memory.deviceIdForOutlookId(outlookId), file.getDeviceEventIdForOutlookEventId(outlookId))
                << step << " " << outlookId.toStdString();
    };
    for (qsizetype i = deviceIds.size() - 1; i >= 0; --i) {
        ASSERT_TRUE(file.writeOutlookEventIdForDeviceEventId(outlookIds.at(i), deviceIds.at(i)));
        memory.insert(deviceIds.at(i), outlookIds.at(i));
    }
    compare("written");
    for (const auto &[deviceId, outlookId] : {std::pair{"ab@b", "18"}, std::pair{"a@c", "13"}, std::pair{"b@c", "15"}}) {
        ASSERT_TRUE(file.writeOutlookEventIdForDeviceEventId(QString::fromLatin1(outlookId), QString::fromLatin1(deviceId)));
        memory.insert(QString::fromLatin1(deviceId), QString::fromLatin1(outlookId));
    }
    compare("replaced");
    for (const char *deviceId : {"ab@b", "abc@c", "a@c", "nothing@c"}) {
        ASSERT_TRUE(file.removeIdFromCalendarDatFile(QString::fromLatin1(deviceId)));
        memory.remove(QString::fromLatin1(deviceId));
    }
    compare("removed");
    EXPECT_EQ(memory.value(QStringLiteral("ab@c")), QStringLiteral("11"));
    EXPECT_TRUE(memory.value(QStringLiteral("abc@c")).isNull());
}

TEST_F(DatFileTest, DatesCarryTheirOffsetsAndReadBackInPython)
{
    HMOutlookDatFileHelper helper;
    const QDateTime ten = QDateTime::fromString(QStringLiteral("2026-05-04T10:00:00Z"), Qt::ISODate);
    ASSERT_TRUE(helper.writeLastListCommandContacts(ten));
    ASSERT_TRUE(helper.writeLastListCommandEvents(ten));
    ASSERT_TRUE(helper.writeOutlookIdForDeviceId(QStringLiteral("12"), QStringLiteral("dev\"ice&<1>")));
    EXPECT_EQ(helper.getLastListCommandContacts(), ten);
    EXPECT_EQ(helper.getLastListCommandEvents(), ten.addSecs(1));
    EXPECT_EQ(plistlibDump(helper.contactFilePath()),
              QStringLiteral("ListCommandDate=datetime.datetime(2026, 5, 4, 10, 0)\ndev\"ice&<1>='12'"));
    EXPECT_EQ(plistlibDump(helper.calendarFilePath()), QStringLiteral("ListCommandDate=datetime.datetime(2026, 5, 4, 10, 0, 1)"));
    // Only "LastModified": the list date falls back to it.
    HMOutlookDatFileHelper other;
    ASSERT_TRUE(other.writeLastModifiedDateTasks());
    EXPECT_EQ(other.getLastListCommandTasks(), other.getLastModifiedDateTasks());
    EXPECT_EQ(other.countRecordsForConduit(QStringLiteral("Tasks")), 0);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(helper.contactFilePath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A write the disk refuses (here a file-size limit standing for a full disk) is reported, the old
// file stays byte for byte, and the in-memory copy does not keep the lost pair.
TEST_F(DatFileTest, RefusedWriteIsReportedAndKeepsOldFile)
{
    HMOutlookDatFileHelper helper;
    ASSERT_TRUE(helper.writeOutlookMemoIdForDeviceMemoId(QStringLiteral("5"), QStringLiteral("m1")));
    QFile file(helper.memoFilePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = rlim_t(before.size() + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = helper.writeOutlookMemoIdForDeviceMemoId(QStringLiteral("6"), QString(200, u'x'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("memos")).size(), 1);
    ASSERT_TRUE(helper.removeIdFromMemoDatFile(QStringLiteral("nothing")));
    EXPECT_EQ(helper.getAllDeviceMemoIdsInDatFile(), QStringList{QStringLiteral("m1")});
}

TEST_F(DatFileTest, ErrorLogRecoveryText)
{
    EXPECT_FALSE(HMOutlookDatFileHelper::hasErrorLog());
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("T"), QStringLiteral("r1")));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("D"), QStringLiteral("r1")));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("T"), QStringLiteral("r2")));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("Q"), QStringLiteral("r3")));
    EXPECT_EQ(plistlibDump(HMOutlookDatFileHelper::errorLogPath()), QStringLiteral("r1='D'\nr2='T'\nr3='Q'"));
    EXPECT_TRUE(HMOutlookDatFileHelper::hasErrorLog());
    HMOutlookDatFileHelper::loadErrorLogIntoMemory();
    EXPECT_EQ(GlobalVariables::getErrorRecoverySyncConduits(), QStringLiteral("DT"));
    EXPECT_EQ(GlobalVariables::getErrorLogCalendarIds(), QStringList{QStringLiteral("r1")});
    EXPECT_EQ(GlobalVariables::getErrorLogTaskIds(), QStringList{QStringLiteral("r2")});
    EXPECT_TRUE(GlobalVariables::getErrorLogContactIds().isEmpty());
    EXPECT_FALSE(QFile::exists(HMOutlookDatFileHelper::errorLogPath()));
}

} // namespace

namespace {

// A process storing pairs one by one is killed at moments spread over its run: the map on disk is
// always whole, and holds exactly the pairs written before the kill (a prefix, nothing doubled).
TEST_F(DatFileTest, KilledWhileStoringPairsLeavesAWholeMap)
{
    for (const int delayMs : {2, 9, 25, 60}) {
        HMOutlookDatFileHelper reader;
        ASSERT_TRUE(reader.clearDatFile(QStringLiteral("Tasks")));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            HMOutlookDatFileHelper writer;
            for (int i = 0; i < 100000; ++i)
                writer.writeOutlookTaskIdForDeviceTaskId(QString::number(1000 + i), QStringLiteral("t%1").arg(i, 6, 10, QLatin1Char('0')));
            ::_exit(0);
        }
        ::usleep(useconds_t(delayMs * 1000));
        // The longest delay kills once the writer has stored something, however slowly a loaded
        // machine runs the child.
        for (int waited = 0; delayMs == 60 && waited < 10000 && reader.dictionaryForTaskDatFile().value_or(QVariantMap()).isEmpty();
             ++waited)
            ::usleep(1000);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const std::optional<QVariantMap> map = reader.dictionaryForTaskDatFile();
        ASSERT_TRUE(map) << "the map must always read whole, delay " << delayMs;
        const QStringList keys = map->keys();
        for (qsizetype i = 0; i < keys.size(); ++i) {
            ASSERT_EQ(keys[i], QStringLiteral("t%1").arg(i, 6, 10, QLatin1Char('0')));
            ASSERT_EQ(map->value(keys[i]).toString(), QString::number(1000 + i));
        }
        if (delayMs == 60) {
            EXPECT_GT(keys.size(), 0) << "the writer stored nothing before the kill";
        }
    }
}

// A contact map kept for the run is read once: later reads answer the copy, and what its writes
// store is byte for byte what a helper reading the file afresh stores.
TEST_F(DatFileTest, AMapKeptForTheRunIsReadOnceAndWrittenAsAFreshReadWould)
{
    HMOutlookDatFileHelper::Commit start;
    for (int i = 0; i < 50; ++i)
        start.pairs.insert(QStringLiteral("p%1").arg(i), QString::number(100 + i));
    start.lastModified = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    HMOutlookDatFileHelper::Commit change;
    change.pairs.insert(QStringLiteral("new"), QStringLiteral("900"));
    change.removals = QStringList{QStringLiteral("p3"), QStringLiteral("p40")};
    change.lastModified = QDateTime::fromSecsSinceEpoch(1'700'000'100, Qt::UTC);
    change.listCommandDate = QDateTime::fromSecsSinceEpoch(1'700'000'200, Qt::UTC);
    const auto fileAfter = [&](bool kept) {
        HMOutlookDatFileHelper seeding;
        EXPECT_TRUE(seeding.clearDatFile(QStringLiteral("Contacts")));
        EXPECT_TRUE(seeding.commitChanges(Conduit::Contacts, start));
        HMOutlookDatFileHelper run;
        if (kept)
            run.keepForRun(Conduit::Contacts);
        EXPECT_EQ(run.getAllOutlookContactIdsInDatFile().size(), 50);
        EXPECT_TRUE(run.commitChanges(Conduit::Contacts, change));
        EXPECT_EQ(run.getOutlookContactIdForDeviceContactId(QStringLiteral("new")), QStringLiteral("900"));
        EXPECT_EQ(run.getLastModifiedDateContacts(), change.lastModified);
        QFile file(run.contactFilePath());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    };
    const QByteArray fresh = fileAfter(false);
    const QByteArray kept = fileAfter(true);
    ASSERT_FALSE(fresh.isEmpty());
    EXPECT_EQ(kept, fresh);
    EXPECT_EQ(plistlibDump(HMOutlookDatFileHelper().contactFilePath()).split(u'\n').size(), 49 + 2); // the pairs and two dates

    // Read once: the file gone from under the run does not change what the run reads.
    HMOutlookDatFileHelper run;
    run.keepForRun(Conduit::Contacts);
    EXPECT_EQ(run.getAllDeviceContactIdsInDatFile().size(), 49);
    ASSERT_TRUE(QFile::remove(run.contactFilePath()));
    EXPECT_EQ(run.getAllDeviceContactIdsInDatFile().size(), 49);
    EXPECT_EQ(run.dictionaryForContactDatFile().value_or(QVariantMap()).size(), 51);
    EXPECT_FALSE(HMOutlookDatFileHelper().dictionaryForContactDatFile());
}

// A commit that changes nothing leaves the map's file as it was, the very same file; one that moves a
// date writes it anew.
TEST_F(DatFileTest, ACommitThatChangesNothingLeavesTheFileAlone)
{
    HMOutlookDatFileHelper::Commit start;
    start.pairs.insert(QStringLiteral("p1"), QStringLiteral("101"));
    start.lastModified = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    HMOutlookDatFileHelper helper;
    ASSERT_TRUE(helper.commitChanges(Conduit::Contacts, start));
    const auto identity = [&helper] {
        struct stat status {};
        EXPECT_EQ(::stat(QFile::encodeName(helper.contactFilePath()).constData(), &status), 0);
        return std::pair(status.st_ino, status.st_mtim.tv_nsec + status.st_mtim.tv_sec * 1'000'000'000LL);
    };
    const auto before = identity();
    EXPECT_TRUE(helper.commitChanges(Conduit::Contacts, {}));
    EXPECT_TRUE(HMOutlookDatFileHelper().commitChanges(Conduit::Contacts, start));
    HMOutlookDatFileHelper::Commit absent;
    absent.removals = {QStringLiteral("p9")};
    EXPECT_TRUE(helper.commitChanges(Conduit::Contacts, absent));
    EXPECT_EQ(identity(), before);
    HMOutlookDatFileHelper::Commit removal;
    removal.removals = {QStringLiteral("p1")};
    EXPECT_TRUE(helper.commitChanges(Conduit::Contacts, removal));
    EXPECT_TRUE(HMOutlookDatFileHelper().getOutlookIdForDeviceId(Conduit::Contacts, QStringLiteral("p1")).isEmpty());
    EXPECT_TRUE(helper.commitChanges(Conduit::Contacts, start));
    HMOutlookDatFileHelper::Commit later = start;
    later.lastModified = start.lastModified.addSecs(1);
    EXPECT_TRUE(helper.commitChanges(Conduit::Contacts, later));
    EXPECT_NE(identity(), before);
    EXPECT_EQ(HMOutlookDatFileHelper().getLastModifiedDate(Conduit::Contacts), later.lastModified);
}

// Pairs waiting beside a map read afresh are part of every read, a later line winning and a cut last
// line left out; a commit that adds nothing still writes them into the file; a map kept for the run is
// read as stored.
TEST_F(DatFileTest, PairsWaitingBesideTheMapAreReadWithItUntilACommitWritesThem)
{
    HMOutlookDatFileHelper::Commit start;
    start.pairs.insert(QStringLiteral("p1"), QStringLiteral("101"));
    HMOutlookDatFileHelper helper;
    ASSERT_TRUE(helper.commitChanges(Conduit::Contacts, start));
    const QString stored = plistlibDump(helper.contactFilePath());
    QFile pending(helper.pendingPairsPath(Conduit::Contacts));
    ASSERT_TRUE(pending.open(QIODevice::WriteOnly));
    pending.write("p2\t102\np1\t111\nLastModified\t1\nbad line\np2\t112\np3\t10");
    pending.close();

    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookIdForDeviceId(Conduit::Contacts, QStringLiteral("p1")), QStringLiteral("111"));
    EXPECT_EQ(HMOutlookDatFileHelper().getDeviceIdForOutlookId(Conduit::Contacts, QStringLiteral("112")), QStringLiteral("p2"));
    const QVariantMap read = HMOutlookDatFileHelper().dictionaryForDatFile(Conduit::Contacts).value_or(QVariantMap());
    EXPECT_EQ(read, (QVariantMap{{QStringLiteral("p1"), QStringLiteral("111")}, {QStringLiteral("p2"), QStringLiteral("112")}}));
    EXPECT_EQ(HMOutlookDatFileHelper().countRecordsForConduit(QStringLiteral("Contacts")), 2);
    EXPECT_EQ(plistlibDump(helper.contactFilePath()), stored);
    EXPECT_FALSE(helper.pendingPairsOutgrowMap(Conduit::Contacts));

    HMOutlookDatFileHelper kept;
    kept.keepForRun(Conduit::Contacts);
    EXPECT_EQ(kept.getOutlookIdForDeviceId(Conduit::Contacts, QStringLiteral("p1")), QStringLiteral("101"));

    // Nothing new in the commit, yet the file lacked the waiting pairs.
    EXPECT_TRUE(HMOutlookDatFileHelper().commitChanges(Conduit::Contacts, {}));
    ASSERT_TRUE(QFile::remove(pending.fileName()));
    EXPECT_EQ(plistlibDump(helper.contactFilePath()), QStringLiteral("p1='111'\np2='112'"));
}

// The ids of writes Google did not take, beside the map: one a line byte for byte, 0600, read back;
// ids that cannot stand on a line left out; a link there removed with its target untouched; an empty
// list removes the file.
TEST_F(DatFileTest, UnansweredGoogleWritesAreKeptBesideTheMap)
{
    const auto readAll = [](const QString &file) {
        QFile read(file);
        return read.open(QIODevice::ReadOnly) ? read.readAll() : QByteArray("(unreadable)");
    };
    const auto mode = [](const QString &file) {
        struct stat status {};
        return ::lstat(QFile::encodeName(file).constData(), &status) == 0 ? int(status.st_mode & 0777) : -1;
    };
    const QString path = outlookunanswered::path(Conduit::Calendar);
    EXPECT_EQ(path, HMOutlookDatFileHelper().filePath(Conduit::Calendar) + QStringLiteral(".google-unanswered"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    EXPECT_TRUE(outlookunanswered::read(Conduit::Calendar).isEmpty());

    ASSERT_TRUE(outlookunanswered::keep(Conduit::Calendar, {"A1", " B2 ", "bad\nid", "", "C\r3", "D4"}));
    EXPECT_EQ(readAll(path), QByteArray("A1\nB2\nD4\n"));
    EXPECT_EQ(mode(path), 0600);
    EXPECT_EQ(outlookunanswered::read(Conduit::Calendar), (QSet<QString>{"A1", "B2", "D4"}));
    EXPECT_TRUE(outlookunanswered::read(Conduit::Contacts).isEmpty()) << "each conduit has its own list";

    const QString target = m_home.path() + QStringLiteral("/elsewhere");
    QFile other(target);
    ASSERT_TRUE(other.open(QIODevice::WriteOnly) && other.write("keep me") == 7);
    other.close();
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::link(target, path));
    EXPECT_TRUE(outlookunanswered::read(Conduit::Calendar).isEmpty()) << "a link is not read";
    ASSERT_TRUE(outlookunanswered::keep(Conduit::Calendar, {"E5"}));
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(readAll(path), QByteArray("E5\n"));
    EXPECT_EQ(readAll(target), QByteArray("keep me"));

    ASSERT_TRUE(outlookunanswered::keep(Conduit::Calendar, {}));
    EXPECT_FALSE(QFileInfo::exists(path));
}

// Every reader in the process shares one parsed copy of a map, so the copy must give way to any
// change made to the file by anything else: an in-place rewrite of the same size that puts the old
// modification time back (only the change time tells), a restored older copy renamed over it, a
// removal, and a rewrite within the same clock tick as a write the map was just read after.
TEST_F(DatFileTest, ReadersSeeEveryChangeMadeToTheFileOutsideTheirWrites)
{
    HMOutlookDatFileHelper::Commit start;
    for (int i = 0; i < 50; ++i)
        start.pairs.insert(QStringLiteral("p%1").arg(i), QString::number(100 + i));
    ASSERT_TRUE(HMOutlookDatFileHelper().commitChanges(Conduit::Calendar, start));
    const QString path = HMOutlookDatFileHelper().calendarFilePath();
    const QByteArray name = QFile::encodeName(path);
    const auto statusOf = [&name] {
        struct stat status {};
        EXPECT_EQ(::stat(name.constData(), &status), 0);
        return status;
    };
    const auto outlookIdOf = [](const char *deviceId) {
        return HMOutlookDatFileHelper().getOutlookEventIdForDeviceEventId(QLatin1String(deviceId));
    };
    // Rewrites the file in place (same inode, same size) and puts its modification time back.
    const auto rewriteInPlace = [&](const QByteArray &from, const QByteArray &to) {
        const struct stat before = statusOf();
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        EXPECT_TRUE(bytes.contains(from));
        bytes.replace(from, to);
        EXPECT_TRUE(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        EXPECT_EQ(::utimensat(AT_FDCWD, name.constData(), times, 0), 0);
        const struct stat after = statusOf();
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    };

    ::usleep(100'000); // settled: the copy is kept from now on
    EXPECT_EQ(outlookIdOf("p1"), QStringLiteral("101"));
    ASSERT_TRUE(QFile::copy(path, path + QStringLiteral(".backup")));
    const struct stat original = statusOf();
    const struct timespec originalTimes[2] = {original.st_atim, original.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path + QStringLiteral(".backup")).constData(), originalTimes, 0), 0);
    rewriteInPlace(">101<", ">999<");
    EXPECT_EQ(outlookIdOf("p1"), QStringLiteral("999")) << "an in-place rewrite of the same size";

    ::usleep(100'000);
    EXPECT_EQ(outlookIdOf("p1"), QStringLiteral("999"));
    ASSERT_EQ(::rename(QFile::encodeName(path + QStringLiteral(".backup")).constData(), name.constData()), 0);
    EXPECT_EQ(outlookIdOf("p1"), QStringLiteral("101")) << "a restored copy";
    EXPECT_EQ(HMOutlookDatFileHelper().countRecordsForConduit(QStringLiteral("Calendar")), 50);

    // Written and at once read, then rewritten within the same tick of the file clock.
    ASSERT_TRUE(HMOutlookDatFileHelper().writeOutlookEventIdForDeviceEventId(QStringLiteral("555"), QStringLiteral("p5")));
    ASSERT_TRUE(QFile::copy(path, path + QStringLiteral(".other")));
    ASSERT_EQ(::rename(QFile::encodeName(path + QStringLiteral(".other")).constData(), name.constData()), 0);
    EXPECT_EQ(outlookIdOf("p5"), QStringLiteral("555"));
    rewriteInPlace(">555<", ">777<");
    EXPECT_EQ(outlookIdOf("p5"), QStringLiteral("777")) << "a rewrite right after a read";

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_FALSE(HMOutlookDatFileHelper().dictionaryForCalendarDatFile());
    EXPECT_EQ(HMOutlookDatFileHelper().countRecordsForConduit(QStringLiteral("Calendar")), 0);
    EXPECT_TRUE(outlookIdOf("p1").isNull());
}

// A map written by one helper is what every other helper then reads, and a link put at the map's
// name is read as before (followed, never kept) and replaced by the next write, its target untouched.
TEST_F(DatFileTest, ReadersSeeOtherHelpersWritesAndALinkAtTheName)
{
    HMOutlookDatFileHelper writer;
    HMOutlookDatFileHelper reader;
    ASSERT_TRUE(writer.writeOutlookTaskIdForDeviceTaskId(QStringLiteral("1"), QStringLiteral("t1")));
    EXPECT_EQ(reader.getOutlookTaskIdForDeviceTaskId(QStringLiteral("t1")), QStringLiteral("1"));
    ASSERT_TRUE(writer.writeOutlookTaskIdForDeviceTaskId(QStringLiteral("2"), QStringLiteral("t2")));
    EXPECT_EQ(reader.getAllDeviceTaskIdsInDatFile(), (QStringList{"t1", "t2"}));
    ASSERT_TRUE(writer.removeIdFromTaskDatFile(QStringLiteral("t1")));
    EXPECT_EQ(reader.getAllDeviceTaskIdsInDatFile(), QStringList{QStringLiteral("t2")});

    const QString elsewhere = m_home.path() + QStringLiteral("/elsewhere.plist");
    ASSERT_TRUE(QFile::rename(writer.taskFilePath(), elsewhere));
    ASSERT_TRUE(QFile::link(elsewhere, writer.taskFilePath()));
    EXPECT_EQ(reader.getAllDeviceTaskIdsInDatFile(), QStringList{QStringLiteral("t2")});
    HMOutlookDatFileHelper::Commit third;
    third.pairs.insert(QStringLiteral("t3"), QStringLiteral("3"));
    ASSERT_TRUE(HMOutlookDatFileHelper().commitChanges(Conduit::Tasks, third));
    EXPECT_FALSE(QFileInfo(writer.taskFilePath()).isSymLink());
    EXPECT_EQ(reader.getAllDeviceTaskIdsInDatFile(), (QStringList{"t2", "t3"}));
    EXPECT_EQ(plistlibDump(elsewhere), QStringLiteral("t2='2'"));
}

} // namespace
