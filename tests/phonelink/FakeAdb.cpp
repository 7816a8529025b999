#include "FakeAdb.h"

#include "phonelink/AdbBridge.h"
#include "platform/foundation/FileIO.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

namespace {

// Records the call, then answers from the scenario folder beside it.
constexpr char kScript[] = R"(#!/bin/sh
here=$(dirname "$0")
line=""
for argument in "$@"; do line="$line[$argument]"; done
printf '%s\n' "$line" >> "$here/adb-calls.log"
if [ "$1" = "-s" ]; then shift 2; fi
case "$1" in
devices)
    count=$(grep -c '^\[devices\]$' "$here/adb-calls.log")
    answer="$here/scenario/devices-$count"
    [ -f "$answer" ] || answer="$here/scenario/devices"
    ;;
shell) answer="$here/scenario/shell-$2" ;;
*) answer="$here/scenario/$1" ;;
esac
[ -f "$answer" ] && cat "$answer"
exit 0
)";

} // namespace

FakeAdb::FakeAdb()
{
    m_hadResourcesDir = qEnvironmentVariableIsSet("HM_RESOURCES_DIR");
    m_savedResourcesDir = qgetenv("HM_RESOURCES_DIR");
    const QDir folder(m_folder.path());
    folder.mkpath(QStringLiteral("scenario"));
    folder.mkpath(QStringLiteral("en.lproj"));
    QFile::copy(testsupport::sourceDir() + QStringLiteral("/resources/en.lproj/Localizable.strings"),
                folder.filePath(QStringLiteral("en.lproj/Localizable.strings")));
    const QString script = folder.filePath(QStringLiteral("adb"));
    if (!platform::writeFileAtomically(script, QByteArray(kScript)))
        return;
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HM_RESOURCES_DIR", m_folder.path().toUtf8());
}

FakeAdb::~FakeAdb()
{
    if (m_hadResourcesDir)
        qputenv("HM_RESOURCES_DIR", m_savedResourcesDir);
    else
        qunsetenv("HM_RESOURCES_DIR");
}

void FakeAdb::setDevicesOutput(const QString &output, int callNumber)
{
    writeAnswer(callNumber == 0 ? QStringLiteral("devices") : QStringLiteral("devices-%1").arg(callNumber), output);
}

void FakeAdb::setProcessesOutput(const QString &output)
{
    writeAnswer(QStringLiteral("shell-ps"), output);
}

void FakeAdb::setPackagesOutput(const QString &output)
{
    writeAnswer(QStringLiteral("shell-dumpsys"), output);
}

QStringList FakeAdb::calls() const
{
    QFile log(QDir(m_folder.path()).filePath(QStringLiteral("adb-calls.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString FakeAdb::devicesListing(const QList<std::pair<QString, QString>> &devices)
{
    QString listing = QStringLiteral("List of devices attached \n");
    for (const auto &[serial, state] : devices)
        listing += serial + QLatin1Char('\t') + state + QLatin1Char('\n');
    return listing + QLatin1Char('\n');
}

QString FakeAdb::processesWithUsbSync(bool withRemoteProcess)
{
    QString listing = QStringLiteral("USER PID PPID VSZ RSS WCHAN ADDR S NAME\n"
                                     "root 1 0 10932 2300 0 0 S init\n"
                                     "u0_a97 2281 610 1514020 61544 0 0 S %1\n")
                          .arg(AdbBridge::kUsbSyncProcessName);
    if (withRemoteProcess)
        listing += QStringLiteral("u0_a97 2302 610 1499540 50112 0 0 S %1\n").arg(AdbBridge::kUsbSyncRemoteProcessName);
    return listing;
}

void FakeAdb::writeAnswer(const QString &name, const QString &output)
{
    const QString path = QDir(m_folder.path()).filePath(QStringLiteral("scenario/") + name);
    static_cast<void>(platform::writeFileAtomically(path, output.toUtf8()));
}
