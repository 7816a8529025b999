#include "platform/eventkit/support/CalendarFolderFixture.h"

#include "platform/eventkit/ICalendarItemIndex.h"
#include "platform/foundation/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimeZone>

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

namespace eventkittest {

ScopedEnvironment::ScopedEnvironment(const char *name, const QByteArray &value)
    : m_name(name), m_saved(qgetenv(name)), m_wasSet(qEnvironmentVariableIsSet(name))
{
    qputenv(name, value);
    tzset();
}

ScopedEnvironment::~ScopedEnvironment()
{
    if (m_wasSet)
        qputenv(m_name, m_saved);
    else
        qunsetenv(m_name);
    tzset();
}

void CalendarFolderTest::SetUp()
{
    ASSERT_TRUE(m_root.isValid());
    platform::UserDefaults::standardUserDefaults().setObject(root(), platform::EKEventStore::kCalendarsFolderKey);
}

void CalendarFolderTest::TearDown()
{
    platform::UserDefaults::standardUserDefaults().removeObjectForKey(platform::EKEventStore::kCalendarsFolderKey);
    // A read-only folder must become writable again for the temporary folder to go.
    QDir folders(root());
    for (const QString &name : folders.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        ::chmod(QFile::encodeName(folders.filePath(name)).constData(), 0700);
}

QString CalendarFolderTest::makeCalendarFolder(const QString &name, const QString &title, bool readOnly) const
{
    const QString path = root() + QLatin1Char('/') + name;
    EXPECT_TRUE(QDir().mkpath(path));
    QFile displayName(path + QStringLiteral("/displayname"));
    EXPECT_TRUE(displayName.open(QIODevice::WriteOnly));
    displayName.write(title.toUtf8());
    displayName.close();
    if (readOnly)
        ::chmod(QFile::encodeName(path).constData(), 0555);
    return path;
}

void CalendarFolderTest::makeWorkHolidaysAndBirthdays() const
{
    makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    makeCalendarFolder(QStringLiteral("holidays"), QStringLiteral("Holidays"), true);
    const QString birthdays = makeCalendarFolder(QStringLiteral("contacts"), QStringLiteral("Birthdays"));
    QFile card(birthdays + QStringLiteral("/ana.vcf"));
    EXPECT_TRUE(card.open(QIODevice::WriteOnly));
    card.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ana\r\nBDAY:1990-04-01\r\nEND:VCARD\r\n");
}

void CalendarFolderTest::makeKhalAndTodomanFolders() const
{
    const QString work = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    makeCalendarFolder(QStringLiteral("errands"), QStringLiteral("Errands"));
    const QString khalConfig = m_root.path() + QStringLiteral("/khal.conf");
    QFile khal(khalConfig);
    EXPECT_TRUE(khal.open(QIODevice::WriteOnly));
    khal.write(QStringLiteral("[calendars]\n[[work]]\npath = %1\ntype = calendar\n[locale]\ntimeformat = %H:%M\n"
                              "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                              "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
                              "local_timezone = UTC\ndefault_timezone = UTC\n"
                              "[default]\ndefault_calendar = work\n[sqlite]\npath = %2/khal.db\n")
                   .arg(work, m_root.path())
                   .toUtf8());
    khal.close();
    runTool(QStringLiteral("khal"), {QStringLiteral("-c"), khalConfig, QStringLiteral("new"), QStringLiteral("2026-03-03"),
                                     QStringLiteral("10:00"), QStringLiteral("11:00"), QStringLiteral("Standup")});
    runTool(QStringLiteral("todoman"), {QStringLiteral("--config"), todomanConfig(), QStringLiteral("new"),
                                        QStringLiteral("--list"), QStringLiteral("errands"), QStringLiteral("Buy milk")});
    EXPECT_EQ(itemFiles(work).size(), 1);
    EXPECT_EQ(itemFiles(root() + QStringLiteral("/errands")).size(), 1);
}

std::shared_ptr<platform::EKEventStore> CalendarFolderTest::eventStore() const
{
    return platform::EKEventStore::create(platform::EKEntityMaskEvent | platform::EKEntityMaskReminder);
}

QString CalendarFolderTest::todomanConfig() const
{
    const QString config = m_root.path() + QStringLiteral("/todoman.py");
    QFile configFile(config);
    EXPECT_TRUE(configFile.open(QIODevice::WriteOnly));
    configFile.write(QStringLiteral("path = \"%1/*\"\ndate_format = \"%Y-%m-%d\"\ntime_format = \"%H:%M\"\n"
                                    "cache_path = \"%2/todoman.sqlite\"\n")
                         .arg(root(), m_root.path())
                         .toUtf8());
    return config;
}

QByteArray CalendarFolderTest::todomanList() const
{
    return runTool(QStringLiteral("todoman"),
                   {QStringLiteral("--config"), todomanConfig(), QStringLiteral("--porcelain"), QStringLiteral("list"),
                    QStringLiteral("--status"), QStringLiteral("ANY")})
        .toUtf8();
}

QStringList CalendarFolderTest::itemFiles(const QString &folder)
{
    QStringList names = QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files);
    names.sort();
    return names;
}

QString runTool(const QString &program, const QStringList &arguments, const QString &workingFolder)
{
    QProcess process;
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    if (!process.waitForStarted(20000)) {
        ADD_FAILURE() << "cannot start " << program.toStdString();
        return QString();
    }
    process.closeWriteChannel();
    // khal indexing a folder of a few hundred files takes a minute on a busy machine.
    if (!process.waitForFinished(240000))
        ADD_FAILURE() << program.toStdString() << " did not finish";
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << " " << arguments.join(QLatin1Char(' ')).toStdString()
                      << " failed: " << process.readAllStandardError().toStdString() << output.toStdString();
    }
    return output;
}

QDateTime at(const char *text, const char *zone)
{
    const QDateTime local = QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm"));
    return QDateTime(local.date(), local.time(), QTimeZone(QByteArray(zone))).toUTC();
}

QByteArray eventItem(const QByteArray &uid, const QByteArray &properties)
{
    return "BEGIN:VEVENT\r\nUID:" + uid + "\r\nDTSTAMP:20260101T000000Z\r\n" + properties + "END:VEVENT\r\n";
}

QByteArray calendarText(const QByteArray &items)
{
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other program//EN\r\n" + items + "END:VCALENDAR\r\n";
}

void writeAsOtherProgram(const QString &path, const QByteArray &bytes)
{
    const QString temporary = path + QStringLiteral(".tmp-other");
    QFile file(temporary);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    ASSERT_EQ(std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()), 0);
}

QStringList titlesOf(const QList<std::shared_ptr<platform::EKEvent>> &events)
{
    QStringList titles;
    for (const auto &event : events)
        titles.append(event->title());
    titles.sort();
    return titles;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// zlib's CRC-32 of the text.
QByteArray indexChecksum(const QByteArray &text)
{
    const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(text.constData()), uInt(text.size()));
    return QByteArray::number(quint64(crc), 16);
}

QByteArray indexSigned(const QByteArray &fields)
{
    return fields + '\t' + indexChecksum(fields);
}

std::pair<QString, QString> titlesSharingAnItemKey(const QString &prefix)
{
    // Among some 80,000 texts two share a 32-bit key about every other time: a few times that suffice.
    std::unordered_map<quint32, int> seen;
    for (int number = 0; number < 2000000; ++number) {
        const QString title = prefix + QString::number(number);
        const auto [known, isNew] = seen.emplace(platform::ICalendarItemIndex::keyOf(title), number);
        if (!isNew)
            return {prefix + QString::number(known->second), title};
    }
    return {};
}

} // namespace eventkittest
