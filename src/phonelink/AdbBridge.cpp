#include "phonelink/AdbBridge.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ChildProcess.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringDecoder>

#include <thread>

using platform::Error;
using platform::ErrorCode;

const QString AdbBridge::kPhoneAppPackage = QStringLiteral("com.quillpad.android");
const QString AdbBridge::kUsbSyncProcessName = AdbBridge::kPhoneAppPackage + QStringLiteral(".hmusbsync");
const QString AdbBridge::kUsbSyncRemoteProcessName = AdbBridge::kUsbSyncProcessName + QStringLiteral(":remote");

namespace {

const QString kAdb = QStringLiteral("adb");
const QString kDevicesHeader = QStringLiteral("List of devices attached ");
const QString kReadyState = QStringLiteral("device");
// A phone that has just been listed may not answer shell commands at once.
constexpr std::chrono::milliseconds kSettleTime{1000};
// adb answers in seconds; a program that has not ended after this long is taken as failed.
constexpr std::chrono::milliseconds kCommandTimeLimit{60'000};
// What the runner answers when a program leaves nothing readable.
const QString kNoOutput = QStringLiteral(" ");

QString programPath(const QString &programName)
{
    const QString bundled = platform::Bundle::resourcePath() + QLatin1Char('/') + programName;
    if (QFileInfo(bundled).isExecutable())
        return bundled;
    const QString installed = QStandardPaths::findExecutable(programName);
    return installed.isEmpty() ? bundled : installed;
}

Error userError(ErrorCode code, const char *localizationKey)
{
    return Error(code, platform::Bundle::localizedString(QString::fromLatin1(localizationKey)));
}

} // namespace

AdbBridge::AdbBridge() : m_wait([](std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }) {}

QString AdbBridge::executeCommand(const QString &programName, const QStringList &arguments)
{
    DDLogInfo(QStringLiteral("Executing Command: %1 %2").arg(programName, arguments.join(QLatin1Char(' '))));
    const auto finished = platform::ChildProcess::run(programPath(programName), arguments, kCommandTimeLimit);
    if (!finished) {
        DDLogError(QStringLiteral("Could not run %1: %2").arg(programName, finished.error().message()));
        return kNoOutput;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString output = decoder.decode(finished->standardOutput);
    if (decoder.hasError() || output.isEmpty()) {
        DDLogInfo(QStringLiteral("-- %1").arg(kNoOutput));
        return kNoOutput;
    }
    DDLogInfo(QStringLiteral("-- %1").arg(output));
    return output;
}

QList<AdbDevice> AdbBridge::devicesFromOutput(const QString &devicesOutput)
{
    static const QRegularExpression blankOrTab(QStringLiteral("[ \\t]"));
    QList<AdbDevice> devices;
    const QStringList lines = devicesOutput.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.isEmpty() || line == kDevicesHeader)
            continue;
        DDLogVerbose(QStringLiteral("Processing Device Item: '%1'").arg(line));
        const QStringList parts = line.split(blankOrTab);
        // A lone blank splits into two empty parts; it is what the runner answers when adb could not
        // run, and must not pass for a device.
        if (parts.size() == 2 && !parts.at(0).isEmpty() && !parts.at(1).isEmpty())
            devices.append(AdbDevice{parts.at(0), parts.at(1)});
    }
    return devices;
}

bool AdbBridge::outputHasLineContaining(const QString &output, const QString &text)
{
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.contains(text))
            return true;
    }
    return false;
}

QList<AdbDevice> AdbBridge::discoverDevices()
{
    const QString startOutput = executeCommand(kAdb, {QStringLiteral("start-server")});
    DDLogVerbose(QStringLiteral("adb start-server\n%1").arg(startOutput));
    const QString devicesOutput = executeCommand(kAdb, {QStringLiteral("devices")});
    DDLogVerbose(QStringLiteral("devicesResult: %1").arg(devicesOutput));
    return devicesFromOutput(devicesOutput);
}

platform::Result<QString> AdbBridge::forwardSyncPortOfFirstDevice()
{
    QList<AdbDevice> devices = discoverDevices();
    if (devices.isEmpty()) {
        DDLogInfo(QStringLiteral("No devices found, trying again"));
        killServer();
        devices = discoverDevices();
    }
    if (devices.isEmpty())
        return userError(ErrorCode::PeerOther, "adb_device_not_found");

    const AdbDevice device = devices.constFirst();
    if (device.state != kReadyState) {
        DDLogError(QStringLiteral("ERROR: ADB device not ready (%1)").arg(device.serial));
        return userError(ErrorCode::PeerRefused, "adb_device_not_ready");
    }

    m_wait(kSettleTime);
    if (const platform::Status service = checkUsbSyncService(device.serial); !service)
        return service.error();

    DDLogInfo(QStringLiteral("Forwarding HTTP commands to '%1'").arg(device.serial));
    const QString port = QStringLiteral("tcp:%1").arg(kForwardedPort);
    executeCommand(kAdb, {QStringLiteral("-s"), device.serial, QStringLiteral("forward"), port, port});
    return device.serial;
}

platform::Status AdbBridge::checkUsbSyncService(const QString &serial)
{
    const QString processes =
        executeCommand(kAdb, {QStringLiteral("-s"), serial, QStringLiteral("shell"), QStringLiteral("ps")});
    if (!outputHasLineContaining(processes, kUsbSyncProcessName)) {
        const QString packages = executeCommand(kAdb, {QStringLiteral("-s"), serial, QStringLiteral("shell"),
                                                       QStringLiteral("dumpsys"), QStringLiteral("package")});
        if (outputHasLineContaining(packages, kPhoneAppPackage))
            return userError(ErrorCode::PeerOther, "qpd_not_running");
        return userError(ErrorCode::PeerOther, "qpd_not_installed");
    }
    if (!outputHasLineContaining(processes, kUsbSyncRemoteProcessName)) {
        DDLogError(QStringLiteral("ERROR: Could not find process '%1' on adb device.").arg(kUsbSyncRemoteProcessName));
    }
    return platform::success();
}

void AdbBridge::killServer()
{
    const QString output = executeCommand(kAdb, {QStringLiteral("kill-server")});
    DDLogVerbose(QStringLiteral("adb kill-server\n%1").arg(output));
}
