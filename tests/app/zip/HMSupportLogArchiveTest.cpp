// The support archive: which crash reports and log files it takes, in which order, byte for byte,
// read back by Python's zipfile and unzip; and the revealing of the archive once written.
#include "ZipTestSupport.h"

#include "app/zip/HMFileRevealer.h"
#include "app/zip/HMSupportLogArchive.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ConsoleLog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace ziptest;

namespace {

const QDateTime kFirstDay(QDate(2026, 11, 1), QTime(8, 0), Qt::UTC);

void writeFileDated(const QString &path, const QByteArray &bytes, const QDateTime &date)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    writeFile(path, bytes);
    QFile file(path);
    file.open(QIODevice::ReadWrite);
    file.setFileTime(date, QFileDevice::FileModificationTime);
}

// Console lines of the archive go to /dev/null while a test runs.
class QuietConsole final
{
public:
    QuietConsole()
        : m_null(::open("/dev/null", O_WRONLY | O_CLOEXEC)), m_previous(platform::setConsoleLogDescriptor(m_null))
    {
    }
    ~QuietConsole()
    {
        platform::setConsoleLogDescriptor(m_previous);
        ::close(m_null);
    }

private:
    int m_null;
    int m_previous;
};

// A stand-in for coredumpctl: two crashes of the program, one of them newer than every apport report.
const char kFakeCoredumpctl[] = R"sh(#!/bin/sh
case "$3" in
list) [ "$4" = Harrowmere ] && echo '[{"time":1700000000000000,"pid":4242,"exe":"/usr/bin/Harrowmere"},{"time":1900000000000000,"pid":4343,"exe":"/usr/bin/Harrowmere"}]' ;;
*) [ "$2" = info ] && echo "PID: $3 (Harrowmere)"; echo "Signal: 11 (SEGV)" ;;
esac
)sh";

struct Fixture
{
    QTemporaryDir folder;
    HMSupportLogArchive::Sources sources;
    // Entry name and content of every file the archive should hold, in order.
    QList<std::pair<QString, QByteArray>> expected;
};

void fillCrashReports(Fixture &fixture)
{
    const QString crashes = fixture.folder.filePath(QStringLiteral("crash"));
    QList<std::pair<QString, QByteArray>> reports;
    for (int index = 0; index < 25; ++index) {
        const QString name = QStringLiteral("_usr_bin_Harrowmere.%1.crash").arg(1000 + index);
        // One report sits in a subfolder; all dates differ by a day.
        const QString path = crashes + (index == 7 ? QStringLiteral("/sub/") : QStringLiteral("/")) + name;
        const QByteArray text = "ProblemType: Crash\nreport " + QByteArray::number(index) + "\n";
        writeFileDated(path, text, kFirstDay.addDays(index));
        reports.append({name, text});
    }
    writeFileDated(crashes + QStringLiteral("/_usr_bin_Other.1000.crash"), "other", kFirstDay.addDays(40));
    writeFileDated(crashes + QStringLiteral("/_usr_bin_Harrowmere.1000.crash.gz"), "packed", kFirstDay.addDays(40));
    QFile::link(crashes + QStringLiteral("/_usr_bin_Other.1000.crash"),
                crashes + QStringLiteral("/Harrowmere-link.crash"));
    // Of 27 reports (the older coredump, 25 apport reports, the newer coredump) the newest 20 stay.
    fixture.expected.append(reports.mid(6));
    fixture.expected.append(
        {QStringLiteral("Harrowmere_2030-03-17-174640_4343.crash"), "PID: 4343 (Harrowmere)\nSignal: 11 (SEGV)\n"});
    fixture.sources.crashReportFolders = {crashes};
}

void fillLogs(Fixture &fixture)
{
    const QString logs = fixture.folder.filePath(QStringLiteral("state/Harrowmere/Logs"));
    QList<std::pair<QString, QByteArray>> files;
    for (int index = 0; index < 25; ++index) {
        const QString name = QStringLiteral("log-%1.txt").arg(index, 2, 10, QLatin1Char('0'));
        const QByteArray text = sampleBytes(2000 + index * 100, quint32(index));
        // The first two share their date: both are kept, by path.
        writeFileDated(logs + u'/' + name, text, kFirstDay.addSecs(index < 2 ? 0 : index * 3600));
        files.append({name, text});
    }
    writeFileDated(logs + QStringLiteral("/log.old"), "old", kFirstDay.addDays(-10));
    writeFileDated(fixture.folder.filePath(QStringLiteral("secret-log.txt")), "outside", kFirstDay.addDays(-10));
    QFile::link(fixture.folder.filePath(QStringLiteral("secret-log.txt")), logs + QStringLiteral("/linked-log.txt"));
    writeFile(logs + QStringLiteral("/SupportLogs.zip"), "an earlier archive, not a zip at all");
    // A run killed mid-write left its temporary folder behind.
    QDir().mkpath(logs + QStringLiteral("/.SupportLogs.zip.Xy12Ab"));
    writeFile(logs + QStringLiteral("/.SupportLogs.zip.Xy12Ab/SupportLogs.zip"), "partial");
    fixture.expected.append(files.mid(0, 20));
    fixture.sources.logFolder = logs;
}

void prepare(Fixture &fixture)
{
    fixture.sources.processName = QStringLiteral("Harrowmere");
    fixture.sources.coredumpctlPath = fixture.folder.filePath(QStringLiteral("coredumpctl"));
    writeFile(fixture.sources.coredumpctlPath, kFakeCoredumpctl);
    QFile::setPermissions(fixture.sources.coredumpctlPath, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    fixture.expected.append({QStringLiteral("textFile.txt"), " "});
    fillCrashReports(fixture);
    fillLogs(fixture);
}

// Python's listing: name, method and SHA-256 of each entry, in order.
const char kPythonListing[] = R"(
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    assert archive.testzip() is None
    for info in archive.infolist():
        print(info.filename, info.compress_type, hashlib.sha256(archive.read(info)).hexdigest(), sep='\t')
)";

class RecordingRevealer final : public HMFileRevealer
{
public:
    void revealFile(const QString &path) override { revealed.append(path); }
    QStringList revealed;
};

} // namespace

TEST(HMSupportLogArchive, PacksTheNewestReportsAndTheOldestLogs)
{
    const QuietConsole quiet;
    Fixture fixture;
    prepare(fixture);
    const HMSupportLogArchive archive(fixture.sources);
    const platform::Result<QString> written = archive.writeArchive();
    ASSERT_TRUE(written) << written.error().message().toStdString();
    EXPECT_EQ(*written, fixture.sources.logFolder + QStringLiteral("/SupportLogs.zip"));

    QStringList expectedLines;
    for (const auto &[name, bytes] : fixture.expected) {
        expectedLines.append(name + QStringLiteral("\t8\t") +
                             QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
    }
    const ProgramResult listing = runPython(QString::fromLatin1(kPythonListing), {*written});
    ASSERT_EQ(listing.exitCode, 0) << listing.output.toStdString();
    EXPECT_EQ(QString::fromUtf8(listing.output).trimmed().split(u'\n').join(u'\n').toStdString(),
              expectedLines.join(u'\n').toStdString());
    EXPECT_EQ(runProgram(QStringLiteral("unzip"), {QStringLiteral("-tq"), *written}).exitCode, 0);
    EXPECT_EQ(QFileInfo(*written).permissions() & 0x7777,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
    EXPECT_FALSE(QFileInfo::exists(fixture.sources.logFolder + QStringLiteral("/.SupportLogs.zip.Xy12Ab")));
    // A second run replaces the archive and writes the same entries.
    ASSERT_TRUE(archive.writeArchive());
    EXPECT_EQ(runPython(QString::fromLatin1(kPythonListing), {*written}).output, listing.output);
}

TEST(HMSupportLogArchive, HoldsTheBlankTextAloneWithoutReportsOrLogs)
{
    const QuietConsole quiet;
    QTemporaryDir folder;
    const HMSupportLogArchive::Sources sources{{folder.filePath(QStringLiteral("no-crashes"))},
                                               folder.filePath(QStringLiteral("Logs")),
                                               {},
                                               QStringLiteral("Harrowmere")};
    const platform::Result<QString> written = HMSupportLogArchive(sources).writeArchive();
    ASSERT_TRUE(written);
    const ProgramResult listing = runPython(QString::fromLatin1(kPythonListing), {*written});
    EXPECT_EQ(listing.output.split('\t').first(), "textFile.txt");
    EXPECT_EQ(QFileInfo(folder.filePath(QStringLiteral("Logs"))).permissions() & 0x7777,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser |
                  QFileDevice::WriteUser | QFileDevice::ExeUser);
    EXPECT_EQ(listing.output.count('\n'), 1);
    EXPECT_EQ(
        QDir(folder.filePath(QStringLiteral("Logs"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("SupportLogs.zip")});
}

TEST(HMSupportLogArchive, RevealsTheArchiveOnTheMainQueueOnceWritten)
{
    const QuietConsole quiet;
    Fixture fixture;
    prepare(fixture);
    const auto revealer = std::make_shared<RecordingRevealer>();
    HMSupportLogArchive::makeLogArchive(fixture.sources, revealer);
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return !revealer->revealed.isEmpty(); },
                                                           std::chrono::seconds(20)))
        << "awaited the archive's reveal";
    EXPECT_EQ(revealer->revealed, QStringList{fixture.sources.logFolder + QStringLiteral("/SupportLogs.zip")});
}
