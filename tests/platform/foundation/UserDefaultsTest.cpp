#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"

#include "FileTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QTemporaryDir>

#include <ctime>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace platform;

TEST(UserDefaults, ValuesSurviveAReloadFromDisk)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("config/com.harrowmere.Harrowmere.plist"));
    const QDateTime expiry = QDateTime::fromString(QStringLiteral("2026-12-09T08:00:00Z"), Qt::ISODate);
    {
        UserDefaults defaults(path);
        EXPECT_FALSE(defaults.loadError().has_value());
        defaults.setInteger(41, QStringLiteral("LastProfileIdentifier"));
        defaults.setInteger(15, QStringLiteral("LogLevel"));
        defaults.setBool(true, QStringLiteral("wifi_sync_in_progress"));
        EXPECT_TRUE(defaults.setObject(QStringLiteral("quillnest"), QStringLiteral("SyncMethodSetting")));
        EXPECT_TRUE(defaults.setObject(expiry, QStringLiteral("LoggingExpiration")));
        EXPECT_TRUE(defaults.setObject(QVariantList{QStringLiteral("A"), qint64(2)}, QStringLiteral("list")));
        defaults.setBool(true, QStringLiteral("kHMMLaunchAtLogin"));
        defaults.removeObjectForKey(QStringLiteral("kHMMLaunchAtLogin"));
        ASSERT_TRUE(defaults.synchronize().ok());
        // Not synchronised: the destructor writes it.
        defaults.setInteger(42, QStringLiteral("LastProfileIdentifier"));
    }
    EXPECT_TRUE(readWholeFile(path)->startsWith("<?xml")) << "the defaults file is an XML property list";

    UserDefaults reloaded(path);
    EXPECT_EQ(reloaded.integerForKey(QStringLiteral("LastProfileIdentifier")), 42);
    EXPECT_EQ(reloaded.integerForKey(QStringLiteral("LogLevel")), 15);
    EXPECT_TRUE(reloaded.boolForKey(QStringLiteral("wifi_sync_in_progress")));
    EXPECT_EQ(reloaded.stringForKey(QStringLiteral("SyncMethodSetting")), QStringLiteral("quillnest"));
    EXPECT_EQ(reloaded.dateForKey(QStringLiteral("LoggingExpiration")), expiry);
    EXPECT_EQ(reloaded.objectForKey(QStringLiteral("list")), (QVariantList{QStringLiteral("A"), qint64(2)}));
    EXPECT_FALSE(reloaded.objectForKey(QStringLiteral("kHMMLaunchAtLogin")).isValid());
    EXPECT_EQ(reloaded.dictionaryRepresentation().size(), 6);

    reloaded.removeObjectForKey(QStringLiteral("LoggingExpiration"));
    ASSERT_TRUE(reloaded.synchronize().ok());
    EXPECT_FALSE(UserDefaults(path).objectForKey(QStringLiteral("LoggingExpiration")).isValid());
}

// Values set again as they stand, in a run that reloaded them from disk, leave the file as it is; a
// number stored as another type of number is a change and is written.
TEST(UserDefaults, ValuesSetAsTheyStandWriteNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("com.harrowmere.Harrowmere.plist"));
    const QDateTime when = QDateTime::fromString(QStringLiteral("2026-12-09T08:00:00Z"), Qt::ISODate);
    const auto setAll = [&](UserDefaults &defaults) {
        defaults.setInteger(15, QStringLiteral("LogLevel"));
        defaults.setBool(false, QStringLiteral("unwritableCalendar"));
        EXPECT_TRUE(defaults.setObject(QStringLiteral("quillnest"), QStringLiteral("SyncMethodSetting")));
        EXPECT_TRUE(defaults.setObject(when, QStringLiteral("LastSync")));
    };
    {
        UserDefaults defaults(path);
        setAll(defaults);
        ASSERT_TRUE(defaults.synchronize().ok());
    }
    struct stat before = {};
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &before), 0);
    UserDefaults reloaded(path);
    setAll(reloaded);
    ASSERT_TRUE(reloaded.synchronize().ok());
    struct stat after = {};
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);

    EXPECT_TRUE(reloaded.setObject(15.5, QStringLiteral("LogLevel")));
    EXPECT_TRUE(reloaded.setObject(true, QStringLiteral("unwritableCalendar")));
    ASSERT_TRUE(reloaded.synchronize().ok());
    UserDefaults third(path);
    EXPECT_EQ(third.objectForKey(QStringLiteral("LogLevel")), QVariant(15.5));
    EXPECT_TRUE(third.boolForKey(QStringLiteral("unwritableCalendar")));
    EXPECT_EQ(third.dateForKey(QStringLiteral("LastSync")), when);
}

TEST(UserDefaults, TypedReadsConvertAsStoredValuesAreUsed)
{
    struct Row
    {
        const char *name;
        QVariant stored;
        qint64 integer;
        bool boolean;
        QString text;
    };
    const Row rows[] = {
        {"missing", QVariant(), 0, false, QString()},
        {"number", QVariant(qint64(30)), 30, true, QStringLiteral("30")},
        {"zero", QVariant(qint64(0)), 0, false, QStringLiteral("0")},
        {"real", QVariant(2.9), 2, true, QStringLiteral("2.9")},
        {"true", QVariant(true), 1, true, QString()},
        {"digits in a text", QVariant(QStringLiteral("30")), 30, true, QStringLiteral("30")},
        {"text with a number in front", QVariant(QStringLiteral(" -12 days")), -12, true, QStringLiteral(" -12 days")},
        {"text with no number", QVariant(QStringLiteral("ninety")), 0, false, QStringLiteral("ninety")},
        {"YES", QVariant(QStringLiteral("YES")), 0, true, QStringLiteral("YES")},
        {"true as text", QVariant(QStringLiteral("true")), 0, true, QStringLiteral("true")},
        // Read as any text value is: one sign at most, so a second one ends the number.
        {"two signs", QVariant(QStringLiteral("+-1")), 0, false, QStringLiteral("+-1")},
        {"date", QVariant(QDateTime::fromMSecsSinceEpoch(0, Qt::UTC)), 0, false, QString()},
    };
    UserDefaults defaults;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(defaults.setObject(row.stored, QStringLiteral("key")));
        EXPECT_EQ(defaults.integerForKey(QStringLiteral("key")), row.integer);
        EXPECT_EQ(defaults.boolForKey(QStringLiteral("key")), row.boolean);
        EXPECT_EQ(defaults.stringForKey(QStringLiteral("key")), row.text);
    }
    // What a property list cannot hold is refused and leaves the old value.
    EXPECT_FALSE(defaults.setObject(QPoint(1, 2), QStringLiteral("key")));
    EXPECT_FALSE(defaults.setObject(QVariantMap{{QStringLiteral("inner"), QVariant()}}, QStringLiteral("key")));
    EXPECT_TRUE(defaults.dateForKey(QStringLiteral("key")).isValid());
    // The in-memory instance writes nothing anywhere.
    EXPECT_TRUE(defaults.synchronize().ok());
}

TEST(UserDefaults, ADamagedFileIsSetAsideAndConcurrentWritersAllLand)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("defaults.plist"));
    ASSERT_TRUE(writeFileAtomically(path, "<?xml version=\"1.0\"?><plist><dict><key>LogLevel").ok());

    UserDefaults defaults(path);
    ASSERT_TRUE(defaults.loadError().has_value());
    EXPECT_TRUE(defaults.loadError()->message().contains(path));
    EXPECT_TRUE(defaults.dictionaryRepresentation().isEmpty());
    EXPECT_EQ(*readWholeFile(path + QStringLiteral(".damaged")), QByteArray("<?xml version=\"1.0\"?><plist><dict><key>LogLevel"));

    std::vector<std::thread> writers;
    for (int thread = 0; thread < 4; ++thread) {
        writers.emplace_back([&defaults, thread] {
            for (int entry = 0; entry < 50; ++entry) {
                defaults.setInteger(entry, QStringLiteral("thread%1-entry%2").arg(thread).arg(entry));
                if (entry % 10 == 0) {
                    EXPECT_TRUE(defaults.synchronize().ok());
                }
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    ASSERT_TRUE(defaults.synchronize().ok());
    const Result<QVariantMap> onDisk = readPropertyListDictionary(path);
    ASSERT_TRUE(onDisk.ok());
    EXPECT_EQ(onDisk->size(), 200);
    EXPECT_EQ(onDisk->value(QStringLiteral("thread3-entry49")).toLongLong(), 49);
}

TEST(UserDefaults, TheStandardFileLivesInTheUsersConfigurationFolder)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    const QString path = UserDefaults::standardDefaultsPath();
    if (saved.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", saved);
    EXPECT_EQ(path, dir.path() + QStringLiteral("/com.harrowmere.Harrowmere.plist"));
}

TEST(UserDefaults, SpecialFilesAreSetAsideAndTheFileIsWrittenPrivate)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A FIFO or a link to an endless device where the preferences should be: neither blocks nor
    // fills memory; the defaults start empty and the next save puts a real, private file there.
    const QString fifo = dir.filePath(QStringLiteral("fifo.plist"));
    const QString zero = dir.filePath(QStringLiteral("zero.plist"));
    ASSERT_TRUE(makeFifo(fifo) && QFile::link(QStringLiteral("/dev/zero"), zero));
    for (const QString &path : {fifo, zero}) {
        SCOPED_TRACE(path.toStdString());
        {
            const ScopedUmask everyone(0);
            UserDefaults defaults(path);
            ASSERT_TRUE(defaults.loadError().has_value());
            EXPECT_TRUE(defaults.dictionaryRepresentation().isEmpty());
            defaults.setInteger(7, QStringLiteral("LastProfileIdentifier"));
            EXPECT_TRUE(defaults.synchronize().ok());
        }
        EXPECT_TRUE(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
        EXPECT_EQ(modeOf(path), 0600u);
        EXPECT_EQ(UserDefaults(path).integerForKey(QStringLiteral("LastProfileIdentifier")), 7);
    }

    // A save cut short left its temporary file: the next start removes it.
    const QString path = dir.filePath(QStringLiteral("defaults.plist"));
    const QString stale = dir.filePath(QStringLiteral(".defaults.plist.Ab12Cd.hmtmp"));
    ASSERT_TRUE(writeFileAtomically(stale, "<?xml").ok());
    const struct timespec old[2] = {{std::time(nullptr) - 86400, 0}, {std::time(nullptr) - 86400, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(stale).constData(), old, 0), 0);
    const UserDefaults defaults(path);
    EXPECT_FALSE(QFileInfo::exists(stale));
}
