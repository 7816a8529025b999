#include "FakeAdb.h"

#include "phonelink/AdbBridge.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

const QString kSerial = QStringLiteral("R58M12ABCDE");

QString call(const QStringList &arguments)
{
    return QLatin1Char('[') + arguments.join(QStringLiteral("][")) + QLatin1Char(']');
}

QString forwardCall(const QString &serial)
{
    return call({QStringLiteral("-s"), serial, QStringLiteral("forward"), QStringLiteral("tcp:8090"),
                 QStringLiteral("tcp:8090")});
}

QString processesCall(const QString &serial)
{
    return call({QStringLiteral("-s"), serial, QStringLiteral("shell"), QStringLiteral("ps")});
}

TEST(AdbBridgeTest, ReadsTheDevicesListing)
{
    struct Row
    {
        const char *name;
        QString output;
        QList<AdbDevice> devices;
    };
    const Row rows[] = {
        {"one device after the header",
         QStringLiteral("List of devices attached\nR58M\tdevice\n\n"),
         {{QStringLiteral("R58M"), QStringLiteral("device")}}},
        {"header with its trailing blank",
         QStringLiteral("List of devices attached \nR58M\tunauthorized\n"),
         {{QStringLiteral("R58M"), QStringLiteral("unauthorized")}}},
        {"one blank between the parts",
         QStringLiteral("emulator-5554 offline\n"),
         {{QStringLiteral("emulator-5554"), QStringLiteral("offline")}}},
        {"two blanks make three parts", QStringLiteral("emulator-5554  offline\n"), {}},
        {"three parts is no device", QStringLiteral("R58M\tdevice\tusb:1-1\n"), {}},
        {"two devices in output order",
         QStringLiteral("B2\tdevice\nA1\tdevice\n"),
         {{QStringLiteral("B2"), QStringLiteral("device")}, {QStringLiteral("A1"), QStringLiteral("device")}}},
        {"daemon start messages", QStringLiteral("* daemon not running; starting now at tcp:5037\n"), {}},
        {"the runner's blank for no output", QStringLiteral(" "), {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(AdbBridge::devicesFromOutput(row.output), row.devices);
    }
}

TEST(AdbBridgeTest, RestartsTheServerOnceWhenTheFirstListingIsEmptyThenForwards)
{
    FakeAdb adb;
    ASSERT_TRUE(adb.isValid());
    adb.setDevicesOutput(FakeAdb::devicesListing({}), 1);
    adb.setDevicesOutput(FakeAdb::devicesListing({{kSerial, QStringLiteral("device")}}), 2);
    adb.setProcessesOutput(FakeAdb::processesWithUsbSync());
    QList<std::chrono::milliseconds> waits;
    AdbBridge bridge;
    bridge.setWait([&](std::chrono::milliseconds time) { waits.append(time); });

    const auto serial = bridge.forwardSyncPortOfFirstDevice();

    ASSERT_TRUE(serial) << serial.error().message().toStdString();
    EXPECT_EQ(*serial, kSerial);
    EXPECT_EQ(adb.calls(), (QStringList{QStringLiteral("[start-server]"), QStringLiteral("[devices]"),
                                        QStringLiteral("[kill-server]"), QStringLiteral("[start-server]"),
                                        QStringLiteral("[devices]"), processesCall(kSerial), forwardCall(kSerial)}));
    EXPECT_EQ(waits, (QList<std::chrono::milliseconds>{std::chrono::milliseconds(1000)}));
}

TEST(AdbBridgeTest, ReportsEachReasonTheDeviceCannotSync)
{
    struct Row
    {
        const char *name;
        QString devices;
        QString processes;
        QString packages;
        const char *localizationKey;
        int expectedCalls;
    };
    const QString ready = FakeAdb::devicesListing({{kSerial, QStringLiteral("device")}});
    const QString packageLine =
        QStringLiteral("Packages:\n  Package [%1] (3f2a1c):\n").arg(AdbBridge::kPhoneAppPackage);
    const Row rows[] = {
        {"no device twice", FakeAdb::devicesListing({}), {}, {}, "adb_device_not_found", 5},
        {"first device not authorised",
         FakeAdb::devicesListing(
             {{kSerial, QStringLiteral("unauthorized")}, {QStringLiteral("B2"), QStringLiteral("device")}}),
         {},
         {},
         "adb_device_not_ready",
         2},
        {"service stopped, app installed", ready, QStringLiteral("root 1 0 S init\n"), packageLine, "qpd_not_running",
         4},
        {"service stopped, app missing", ready, QStringLiteral("root 1 0 S init\n"),
         QStringLiteral("Packages:\n  Package [com.example.other] (1):\n"), "qpd_not_installed", 4},
        {"adb answers nothing about the phone", ready, {}, {}, "qpd_not_installed", 4},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakeAdb adb;
        adb.setDevicesOutput(row.devices);
        adb.setProcessesOutput(row.processes);
        adb.setPackagesOutput(row.packages);
        AdbBridge bridge;
        bridge.setWait([](std::chrono::milliseconds) {});

        const auto serial = bridge.forwardSyncPortOfFirstDevice();

        ASSERT_FALSE(serial);
        const QString expected = platform::Bundle::localizedString(QString::fromLatin1(row.localizationKey));
        EXPECT_NE(expected, QString::fromLatin1(row.localizationKey)) << "the strings table was not found";
        EXPECT_EQ(serial.error().message(), expected);
        const QStringList calls = adb.calls();
        EXPECT_EQ(calls.size(), row.expectedCalls) << calls.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(calls.contains(forwardCall(kSerial)));
    }
}

TEST(AdbBridgeTest, AMissingRemoteProcessIsLoggedAndTheSetUpGoesOn)
{
    FakeAdb adb;
    adb.setDevicesOutput(FakeAdb::devicesListing({{kSerial, QStringLiteral("device")}}));
    adb.setProcessesOutput(FakeAdb::processesWithUsbSync(false));
    AdbBridge bridge;
    bridge.setWait([](std::chrono::milliseconds) {});

    const auto serial = bridge.forwardSyncPortOfFirstDevice();

    ASSERT_TRUE(serial) << serial.error().message().toStdString();
    EXPECT_EQ(adb.calls().constLast(), forwardCall(kSerial));
}

TEST(AdbBridgeTest, ASerialFullOfShellWordsReachesAdbAsOneArgumentAndRunsNothing)
{
    FakeAdb adb;
    const QString marker = adb.folder() + QStringLiteral("/pwned");
    const QString hostileSerial = QStringLiteral("emu$(touch${IFS}%1);touch${IFS}%1`touch${IFS}%1`").arg(marker);
    adb.setDevicesOutput(FakeAdb::devicesListing({{hostileSerial, QStringLiteral("device")}}));
    adb.setProcessesOutput(FakeAdb::processesWithUsbSync());
    AdbBridge bridge;
    bridge.setWait([](std::chrono::milliseconds) {});

    const auto serial = bridge.forwardSyncPortOfFirstDevice();

    ASSERT_TRUE(serial) << serial.error().message().toStdString();
    EXPECT_EQ(*serial, hostileSerial);
    EXPECT_TRUE(adb.calls().contains(processesCall(hostileSerial)));
    EXPECT_EQ(adb.calls().constLast(), forwardCall(hostileSerial));
    EXPECT_FALSE(QFileInfo::exists(marker));
}

TEST(AdbBridgeTest, TheRunnerAnswersABlankWhenNothingReadableComesBack)
{
    FakeAdb adb;
    const QString garbled = adb.folder() + QStringLiteral("/garbled");
    ASSERT_TRUE(platform::writeFileAtomically(garbled, "#!/bin/sh\nprintf 'ok \\377\\376'\n"));
    QFile::setPermissions(garbled, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString quiet = adb.folder() + QStringLiteral("/quiet");
    ASSERT_TRUE(platform::writeFileAtomically(quiet, "#!/bin/sh\necho to-stderr >&2\nexit 3\n"));
    QFile::setPermissions(quiet, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    EXPECT_EQ(AdbBridge::executeCommand(QStringLiteral("garbled"), {}), QStringLiteral(" "));
    EXPECT_EQ(AdbBridge::executeCommand(QStringLiteral("quiet"), {}), QStringLiteral(" "));
    EXPECT_EQ(AdbBridge::executeCommand(QStringLiteral("harrowmere-no-such-program"), {}), QStringLiteral(" "));
    adb.setDevicesOutput(QStringLiteral("List of devices attached \nR1\tdevice\n"));
    EXPECT_EQ(AdbBridge::executeCommand(QStringLiteral("adb"), {QStringLiteral("devices")}),
              QStringLiteral("List of devices attached \nR1\tdevice\n"));
}

} // namespace
