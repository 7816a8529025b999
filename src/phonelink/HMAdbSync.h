#pragma once

#include "phonelink/AdbBridge.h"
#include "phonelink/HMWiFiSync.h"

#include <memory>
#include <optional>

class HMSyncControllerConfigurationProtocol;

// The transport of USB profiles: the phone hangs on a USB cable, adb forwards the phone's sync port to
// this computer, and the Wi-Fi transport's whole protocol then runs to 127.0.0.1. It differs from
// HMWiFiSync only in the profile check (nothing to check), the set-up (find the phone and forward
// the port first) and the clean-up (stop the adb server). Its credentials are fixed by the USB
// service: the "password" field carries "usbsync" and "Username" the profile's phone password.
// Owned by the sync controller; set-up and clean-up run on the run queue and block it while adb
// runs.
class HMAdbSync final : public HMWiFiSync
{
public:
    // The address and device name every USB sync uses.
    static const QString kForwardedHost;
    static const QString kUsbDeviceName;

    // The transport for the configuration's profile (its device type and setting 20, the phone
    // password).
    static std::unique_ptr<HMAdbSync>
    initWithConfiguration(const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration,
                          Timing timing = Timing());

    // Makes the sync controller build this transport for USB profiles (sync method 2), reaching the
    // forwarded port on the given local port (8090 in the application) with the given intervals;
    // a given wait replaces the bridge's pause for the phone to settle (tests skip it).
    static void registerTransport(qint64 serverPort, Timing timing, AdbBridge::Wait settleWait = {});

    HMAdbSync(ConnectionSettings settings, Timing timing);

    // A USB profile needs neither an address nor a device name.
    bool verifyProfileIsValid(QString &message) override;
    // Finds the phone and forwards its sync port, then sets up the Wi-Fi transport; false, with the
    // localised reason in error, when the phone cannot be reached.
    std::optional<bool> setup(QString &error) override;
    // Stops the adb server; always true.
    std::optional<bool> cleanup() override;

    AdbBridge &adbBridge() { return m_adbBridge; }

protected:
    bool reportsEmptyLogonAsUnresponsiveDevice() const override { return true; }

private:
    AdbBridge m_adbBridge;
};
