// Revealing a file: the file-manager service is asked first; where it does not answer, the file's
// folder is opened. Fake dbus-send and xdg-open programs record how they were called.
#include "ZipTestSupport.h"

#include "app/zip/HMDesktopFileRevealer.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace ziptest;

namespace {

// Puts the fakes first on $PATH for the life of the object.
class FakePrograms final
{
public:
    explicit FakePrograms(int dbusExitCode) : m_previousPath(qgetenv("PATH"))
    {
        install(QStringLiteral("dbus-send"), dbusExitCode);
        install(QStringLiteral("xdg-open"), 0);
        qputenv("PATH", m_folder.path().toLocal8Bit() + ':' + m_previousPath);
    }
    ~FakePrograms() { qputenv("PATH", m_previousPath); }

    QString record(const QString &program) const { return m_folder.filePath(program + QStringLiteral(".args")); }

private:
    void install(const QString &program, int exitCode)
    {
        const QString script = QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '%1.tmp'\n"
                                              "mv '%1.tmp' '%1'\nexit %2\n")
                                   .arg(record(program))
                                   .arg(exitCode);
        const QString path = m_folder.filePath(program);
        writeFile(path, script.toUtf8());
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }

    QTemporaryDir m_folder;
    QByteArray m_previousPath;
};

} // namespace

TEST(HMDesktopFileRevealer, AsksTheFileManagerAndFallsBackToTheFolder)
{
    struct Row
    {
        const char *name;
        int dbusExitCode;
        bool opensFolder;
    };
    for (const Row &row : {Row{"file manager answers", 0, false}, Row{"no file manager", 1, true}}) {
        SCOPED_TRACE(row.name);
        const FakePrograms fakes(row.dbusExitCode);
        HMDesktopFileRevealer().revealFile(QStringLiteral("/tmp/Logs dir/SupportLogs.zip"));
        const QString awaited =
            row.opensFolder ? fakes.record(QStringLiteral("xdg-open")) : fakes.record(QStringLiteral("dbus-send"));
        ASSERT_TRUE(testsupport::waitUntil([&] { return QFile::exists(awaited); }))
            << "awaited " << awaited.toStdString();
        ASSERT_TRUE(testsupport::waitUntil([&] { return QFile::exists(fakes.record(QStringLiteral("dbus-send"))); }));
        EXPECT_EQ(readFile(fakes.record(QStringLiteral("dbus-send"))),
                  "--session\n--print-reply\n--dest=org.freedesktop.FileManager1\n--type=method_call\n"
                  "/org/freedesktop/FileManager1\norg.freedesktop.FileManager1.ShowItems\n"
                  "array:string:file:///tmp/Logs%20dir/SupportLogs.zip\nstring:\n");
        if (row.opensFolder) {
            EXPECT_EQ(readFile(fakes.record(QStringLiteral("xdg-open"))), "/tmp/Logs dir\n");
        }
    }
}
