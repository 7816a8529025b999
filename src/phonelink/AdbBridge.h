#pragma once

#include "platform/foundation/Result.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

// One line of "adb devices": the device serial and its state as adb prints them ("device" when it
// is ready, "unauthorized", "offline", ...).
struct AdbDevice
{
    QString serial;
    QString state;

    friend bool operator==(const AdbDevice &, const AdbDevice &) = default;
};

// The Android Debug Bridge tool as the USB transport uses it: find the attached phone, check that the
// phone app's USB sync service runs on it and forward the phone's sync port to this computer.
// Every adb call runs the program directly with an argument list; its output is searched here, so
// nothing a phone reports (its serial above all) ever reaches a shell.
// Each call blocks until adb has closed its output, so use it from a sync queue, never from the main
// thread. One object per sync run; not thread-safe.
class AdbBridge final
{
public:
    // The phone app's package identifier, the process name of its USB sync service and the service's
    // second process.
    static const QString kPhoneAppPackage;
    static const QString kUsbSyncProcessName;
    static const QString kUsbSyncRemoteProcessName;
    // The phone's sync port, forwarded to the same port of this computer.
    static constexpr quint16 kForwardedPort = 8090;

    using Wait = std::function<void(std::chrono::milliseconds)>;

    AdbBridge();

    // Runs the program of that name from the application's resources folder (or, when the folder
    // has none, from the search path, where the system's adb package puts it) with the arguments, and
    // answers its whole standard output as UTF-8 text; a program that cannot be run, leaves no output
    // or leaves output that is not UTF-8 gives " ". Standard error and the exit status are not
    // examined. Blocks until the program has ended.
    static QString executeCommand(const QString &programName, const QStringList &arguments);
    // The devices listed in the output of "adb devices", in output order: every line that splits at
    // blanks and tabs into exactly two parts, except the header.
    static QList<AdbDevice> devicesFromOutput(const QString &devicesOutput);
    // Whether any line of the output holds the text, as a search of each line for it would find it.
    static bool outputHasLineContaining(const QString &output, const QString &text);

    // Starts the adb server and lists the attached devices.
    QList<AdbDevice> discoverDevices();
    // Prepares the first attached device: lists devices (restarting the adb server once when none is
    // found), checks that the device is ready and that the USB sync service runs on it, then forwards
    // the sync port. Answers the device's serial, or an Error whose message is the localised text for
    // the user ("adb_device_not_found", "adb_device_not_ready", "qpd_not_running",
    // "qpd_not_installed").
    platform::Result<QString> forwardSyncPortOfFirstDevice();
    // Stops the adb server.
    void killServer();

    // How the bridge waits for a device to settle before asking it about its processes; tests
    // replace it to avoid waiting a real second.
    void setWait(Wait wait) { m_wait = std::move(wait); }

private:
    // Checks that the service runs on the device; an Error with the localised text when it does not.
    platform::Status checkUsbSyncService(const QString &serial);

    Wait m_wait;
};
