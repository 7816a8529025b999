#include "ConsoleCapture.h"

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "phonelink/DeviceAnnouncement.h"
#include "phonelink/HMWiFiSettingsWindowController.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Screenshot.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <random>

namespace {

using platform::NSAlertFirstButtonReturn;
using platform::NSAlertSecondButtonReturn;
using platform::ScriptedAlertResponder;

const QString kInstruction = QStringLiteral("Press 'Sync' on Quillpad to pair with Harrowmere");

QString question(const QString &deviceId, const QString &address)
{
    return QStringLiteral("Detected device '%1' from %2. Would you like to pair Harrowmere with this device?")
        .arg(deviceId, address);
}

QStringList messagesOf(const ScriptedAlertResponder &responder)
{
    QStringList messages;
    for (const auto &alert : responder.recordedAlerts())
        messages.append(alert.messageText);
    return messages;
}

qsizetype countContaining(const QStringList &lines, const QString &text)
{
    return std::count_if(lines.cbegin(), lines.cend(), [&](const QString &line) { return line.contains(text); });
}

std::shared_ptr<HMProfile> pairedProfile()
{
    auto profile = std::make_shared<HMProfile>();
    profile->setSyncMethodName(QStringLiteral("wifi"));
    profile->setHhPassword(QStringLiteral("OldPhone"));
    profile->setHhIpAddress(QStringLiteral("192.168.1.40"));
    return profile;
}

// Counts what a sending socket reports.
class SendCounter final : public GCDAsyncUdpSocketDelegate
{
public:
    void udpSocketDidSendDataWithTag(GCDAsyncUdpSocket *, long) override { ++m_finished; }
    void udpSocketDidNotSendDataWithTag(GCDAsyncUdpSocket *, long, const platform::PlatformError &) override
    {
        ++m_finished;
    }
    int finished() const { return m_finished; }

private:
    std::atomic<int> m_finished{0};
};

// The phone: sends announcements from a loopback socket of its own to the sheet's listener.
class Phone final
{
public:
    Phone() : m_queue(platform::DispatchQueue::createSerial(QStringLiteral("test.phone"))) {}
    ~Phone() { m_socket->synchronouslySetDelegate(nullptr); }

    void send(const QByteArray &payload, quint16 port)
    {
        m_socket->sendData(payload, QStringLiteral("127.0.0.1"), port, -1, m_nextTag++);
    }
    bool waitUntilSent(int count)
    {
        return testsupport::waitUntil([&] { return m_counter.finished() >= count; }, std::chrono::seconds(60));
    }

private:
    SendCounter m_counter;
    std::shared_ptr<platform::DispatchQueue> m_queue;
    std::shared_ptr<GCDAsyncUdpSocket> m_socket = GCDAsyncUdpSocket::create(&m_counter, m_queue);
    long m_nextTag = 1;
};

// A sheet for the profile, listening on a free port.
class PairingSheet final
{
public:
    explicit PairingSheet(std::shared_ptr<HMProfile> profile)
    {
        m_controller.setListenPort(0);
        m_controller.setProfile(std::move(profile));
    }

    HMWiFiSettingsWindowController &controller() { return m_controller; }
    // Presses Pair; answers the port the new listener took.
    quint16 pressPair()
    {
        m_controller.pairDeviceButton()->click();
        return m_controller.udpSocket() ? m_controller.udpSocket()->localPort_IPv4() : 0;
    }

private:
    HMWiFiSettingsWindowController m_controller;
};

// Windows need a widget application: the environment that makes one must run before any environment
// of this program that would make a plain one.
class HMWiFiSettingsWindowControllerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(qobject_cast<QApplication *>(QCoreApplication::instance()), nullptr) << "no widget application";
    }
};

TEST_F(HMWiFiSettingsWindowControllerTest, YesStoresTheAnnouncedIdAndTheSendersAddressUntilTheOwnerSaves)
{
    QTemporaryDir home;
    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    const auto profile = pairedProfile();
    PairingSheet sheet(profile);
    ScriptedAlertResponder responder({NSAlertFirstButtonReturn, NSAlertFirstButtonReturn});

    const quint16 port = sheet.pressPair();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(sheet.controller().isRunning());
    EXPECT_EQ(messagesOf(responder), QStringList{kInstruction});
    Phone phone;
    phone.send("ABCD\nDeviceId=AbC123", port);

    ASSERT_TRUE(testsupport::waitUntil([&] { return profile->hhPassword() == QStringLiteral("AbC123"); }))
        << "the pairing to be stored";
    EXPECT_EQ(profile->hhIpAddress(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(sheet.controller().didShowPairingDialog());
    const auto alerts = responder.recordedAlerts();
    ASSERT_EQ(alerts.size(), 2);
    EXPECT_EQ(alerts.at(1).messageText, question(QStringLiteral("AbC123"), QStringLiteral("127.0.0.1")));
    EXPECT_EQ(alerts.at(1).buttonTitles, (QStringList{QStringLiteral("Yes"), QStringLiteral("Cancel")}));
    EXPECT_EQ(alerts.at(1).alertStyle, platform::AlertStyle::Informational);
    auto *deviceNameField = sheet.controller().window()->findChild<QLineEdit *>(QStringLiteral("deviceNameField"));
    ASSERT_NE(deviceNameField, nullptr);
    EXPECT_EQ(deviceNameField->text(), QStringLiteral("AbC123"));

    // The sheet writes no file; the profile's owner saves it and the pairing survives a reload.
    platform::UserDefaults defaults(home.filePath(QStringLiteral("defaults.plist")));
    HMProfileManager manager(defaults);
    profile->setFilename(QStringLiteral("paired"));
    ASSERT_TRUE(manager.saveProfile(*profile));
    const auto loaded = manager.loadProfiles();
    ASSERT_TRUE(loaded) << loaded.error().message().toStdString();
    ASSERT_EQ(loaded->size(), 1);
    EXPECT_EQ(loaded->front()->hhPassword(), QStringLiteral("AbC123"));
    EXPECT_EQ(loaded->front()->hhIpAddress(), QStringLiteral("127.0.0.1"));
    qputenv("XDG_DATA_HOME", savedDataHome);
}

TEST_F(HMWiFiSettingsWindowControllerTest, CraftedIdsAskNothingAndDatagramsAreLoggedInShort)
{
    ConsoleCapture console;
    const auto profile = pairedProfile();
    PairingSheet sheet(profile);
    ScriptedAlertResponder responder({NSAlertFirstButtonReturn, NSAlertFirstButtonReturn});
    const quint16 port = sheet.pressPair();
    ASSERT_NE(port, 0);
    Phone phone;

    const QByteArray hostile[] = {
        QByteArray("ABCD\nDeviceId=Pho\0ne", 21),                    // a NUL: no profile could hold it
        "ABCD\nDeviceId=Pixel' from 192.168.1.1. Trust me",          // reads as another device in the question
        "ABCD\nDeviceId=" + QByteArray(kMaxDeviceIdLength + 1, 'a'), // longer than any id
        "ABCD\nDeviceId=tab\there",
        "ABCD\n" + QByteArray(60000, 'x'), // a large datagram, logged in short
    };
    for (const QByteArray &payload : hostile)
        phone.send(payload, port);
    phone.send("ABCD\nDeviceId=" + QByteArray(kMaxDeviceIdLength, 'b'), port);

    ASSERT_TRUE(testsupport::waitUntil([&] { return responder.recordedAlerts().size() == 2; }))
        << "the question about the one well-formed id";
    EXPECT_EQ(messagesOf(responder).at(1),
              question(QString(kMaxDeviceIdLength, QLatin1Char('b')), QStringLiteral("127.0.0.1")));
    EXPECT_EQ(profile->hhPassword(), QString(kMaxDeviceIdLength, QLatin1Char('b')));

    const QStringList lines = console.messages();
    EXPECT_EQ(countContaining(lines, QStringLiteral("msg ABCD\\x0aDeviceId=Pho\\x00ne")), 1)
        << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(countContaining(lines, QStringLiteral("... (60005 bytes)")), 1);
    for (const QString &line : lines)
        EXPECT_LE(line.size(), 4 * kMaxLoggedDatagramBytes + 40) << line.left(200).toStdString();
}

TEST_F(HMWiFiSettingsWindowControllerTest, PayloadsWithoutAnIdChangeNothing)
{
    ConsoleCapture console;
    const auto profile = pairedProfile();
    PairingSheet sheet(profile);
    ScriptedAlertResponder responder({NSAlertFirstButtonReturn});
    const quint16 port = sheet.pressPair();
    ASSERT_NE(port, 0);
    Phone phone;

    phone.send("ABCD\nDeviceId=caf\xc3\xa9", port);
    phone.send("ABCD", port);
    phone.send("ABCDE\n", port);
    phone.send("\x80", port);

    ASSERT_TRUE(testsupport::waitUntil([&] {
        const QStringList lines = console.messages();
        return countContaining(lines, QStringLiteral("Unknown Message: 127.0.0.1:")) == 2 &&
               countContaining(lines, QStringLiteral("msg ABCD")) == 2;
    })) << console.messages().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(profile->hhPassword(), QStringLiteral("OldPhone"));
    EXPECT_EQ(profile->hhIpAddress(), QStringLiteral("192.168.1.40"));
    EXPECT_EQ(sheet.controller().devicePairName(), QString());
    EXPECT_EQ(sheet.controller().devicePairIPAddress(), QString());
    EXPECT_EQ(messagesOf(responder), QStringList{kInstruction});
}

TEST_F(HMWiFiSettingsWindowControllerTest, CancelAsksOnlyOnceAndPairingAgainAsksAgain)
{
    ConsoleCapture console;
    const auto profile = pairedProfile();
    PairingSheet sheet(profile);
    ScriptedAlertResponder responder(
        {NSAlertFirstButtonReturn, NSAlertSecondButtonReturn, NSAlertFirstButtonReturn, NSAlertFirstButtonReturn});
    quint16 port = sheet.pressPair();
    Phone phone;

    phone.send("ABCD\nDeviceId=First1", port);
    ASSERT_TRUE(testsupport::waitUntil([&] { return responder.recordedAlerts().size() == 2; })) << "the question";
    EXPECT_TRUE(sheet.controller().didShowPairingDialog());
    // The later announcement is read (the non-ASCII one behind it shows it has been), but not asked about.
    phone.send("ABCDSecond2", port);
    phone.send("\xff", port);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return countContaining(console.messages(), QStringLiteral("Unknown Message")) == 1;
    })) << "the second announcement to be read";
    EXPECT_EQ(sheet.controller().devicePairName(), QStringLiteral("second2"));
    EXPECT_EQ(responder.recordedAlerts().size(), 2);
    EXPECT_EQ(profile->hhPassword(), QStringLiteral("OldPhone"));

    port = sheet.pressPair();
    EXPECT_FALSE(sheet.controller().didShowPairingDialog());
    phone.send("WXYZ\nDeviceId=Third3\nignored", port);
    ASSERT_TRUE(testsupport::waitUntil([&] { return profile->hhPassword() == QStringLiteral("Third3"); }))
        << "the pairing of the second attempt";
    EXPECT_EQ(messagesOf(responder),
              (QStringList{kInstruction, question(QStringLiteral("First1"), QStringLiteral("127.0.0.1")), kInstruction,
                           question(QStringLiteral("Third3"), QStringLiteral("127.0.0.1"))}));
}

TEST_F(HMWiFiSettingsWindowControllerTest, AFloodOfRandomDatagramsStoresNothingAndPairingStillWorks)
{
    ConsoleCapture console;
    const auto profile = pairedProfile();
    PairingSheet sheet(profile);
    // Random bytes now and then happen to form an announcement: the user declines each question.
    QList<int> answers{NSAlertFirstButtonReturn};
    for (int index = 0; index < 50; ++index)
        answers.append(NSAlertSecondButtonReturn);
    ScriptedAlertResponder responder(answers);
    const quint16 port = sheet.pressPair();
    ASSERT_NE(port, 0);
    Phone phone;

    std::mt19937 random(8092);
    std::uniform_int_distribution<int> size(1, 300);
    std::uniform_int_distribution<int> byte(0, 255);
    constexpr int kDatagrams = 10'000;
    // Sent in batches, each read before the next goes, so that loopback drops none of them.
    constexpr int kBatch = 100;
    qsizetype nonAsciiSent = 0;
    for (int sent = 0; sent < kDatagrams; sent += kBatch) {
        for (int index = 0; index < kBatch; ++index) {
            QByteArray payload(size(random), '\0');
            for (char &value : payload)
                value = char(byte(random));
            nonAsciiSent += std::any_of(payload.cbegin(), payload.cend(),
                                        [](char value) { return static_cast<unsigned char>(value) > 127; });
            phone.send(payload, port);
        }
        ASSERT_TRUE(testsupport::waitUntil([&] {
            return countContaining(console.messages(), QStringLiteral("Unknown Message")) == nonAsciiSent;
        })) << "the batch after "
            << sent << " datagrams to be read";
    }
    EXPECT_GT(nonAsciiSent, kDatagrams * 99 / 100);
    EXPECT_EQ(profile->hhPassword(), QStringLiteral("OldPhone"));
    EXPECT_EQ(profile->hhIpAddress(), QStringLiteral("192.168.1.40"));

    ScriptedAlertResponder pairAgain({NSAlertFirstButtonReturn, NSAlertFirstButtonReturn});
    const quint16 newPort = sheet.pressPair();
    phone.send("ABCD\nDeviceId=AbC123", newPort);
    ASSERT_TRUE(testsupport::waitUntil([&] { return profile->hhPassword() == QStringLiteral("AbC123"); }))
        << "the listener to pair after the flood";
    EXPECT_EQ(profile->hhIpAddress(), QStringLiteral("127.0.0.1"));
}

TEST_F(HMWiFiSettingsWindowControllerTest, TheSheetGoesAwayWhileAnnouncementsArrive)
{
    const auto profile = pairedProfile();
    ScriptedAlertResponder responder;
    Phone phone;
    {
        PairingSheet sheet(profile);
        const quint16 port = sheet.pressPair();
        ASSERT_NE(port, 0);
        for (int index = 0; index < 200; ++index)
            phone.send(QStringLiteral("ABCD\nDeviceId=Phone%1").arg(index).toLatin1(), port);
        ASSERT_TRUE(testsupport::waitUntil([&] { return responder.recordedAlerts().size() >= 2; }));
    }
    // Without a script every alert takes its first button: the first question was answered Yes.
    EXPECT_TRUE(profile->hhPassword().startsWith(QStringLiteral("Phone")));
    ASSERT_TRUE(phone.waitUntilSent(200));
}

TEST_F(HMWiFiSettingsWindowControllerTest, TheSheetShowsTheProfileAndCommitsEditsOnOk)
{
    const auto profile = pairedProfile();
    QWidget parent;
    parent.resize(640, 420);
    parent.show();
    HMWiFiSettingsWindowController controller;
    controller.setListenPort(0);
    controller.setParentWindow(&parent);
    controller.setProfile(profile);
    controller.showPanel();

    ASSERT_TRUE(controller.isSheetOpen());
    EXPECT_EQ(controller.sheetParent(), &parent);
    EXPECT_TRUE(controller.pairDeviceButton()->isVisible());
    EXPECT_TRUE(controller.pairDeviceButton()->isEnabled());
    const std::pair<qint64, const char *> labels[] = {
        {1001, "device_name"}, {1002, "ip_address"}, {1003, "wifi_instructions"}};
    for (const auto &[tag, key] : labels) {
        SCOPED_TRACE(key);
        auto *label = qobject_cast<QLabel *>(controller.viewWithTag(tag));
        ASSERT_NE(label, nullptr);
        EXPECT_FALSE(label->text().isEmpty());
        EXPECT_EQ(label->text(), platform::Bundle::localizedString(QString::fromLatin1(key)));
    }
    auto *deviceNameField = controller.window()->findChild<QLineEdit *>(QStringLiteral("deviceNameField"));
    auto *ipAddressField = controller.window()->findChild<QLineEdit *>(QStringLiteral("ipAddressField"));
    ASSERT_NE(deviceNameField, nullptr);
    ASSERT_NE(ipAddressField, nullptr);
    EXPECT_EQ(deviceNameField->text(), QStringLiteral("OldPhone"));
    EXPECT_EQ(ipAddressField->text(), QStringLiteral("192.168.1.40"));

    const auto screenshot = platform::saveScreenshot(*controller.window(), testsupport::binaryDir() + "/screenshots",
                                                     QStringLiteral("HMWiFiSettingsWindowController"));
    ASSERT_TRUE(screenshot) << screenshot.error().message().toStdString();
    EXPECT_GT(QFileInfo(*screenshot).size(), 0);

    ScriptedAlertResponder responder({NSAlertFirstButtonReturn});
    controller.pairDeviceButton()->click();
    const auto listener = controller.udpSocket();
    ASSERT_TRUE(listener && !listener->isClosed());
    deviceNameField->setText(QStringLiteral("TypedId7"));
    ipAddressField->setText(QStringLiteral("10.1.2.3"));
    EXPECT_EQ(profile->hhPassword(), QStringLiteral("OldPhone")) << "edits reach the profile only on OK";
    controller.window()->findChild<QPushButton *>(QStringLiteral("okButton"))->click();

    EXPECT_FALSE(controller.isSheetOpen());
    EXPECT_FALSE(controller.window()->isVisible());
    EXPECT_TRUE(listener->isClosed());
    EXPECT_FALSE(controller.isRunning());
    EXPECT_EQ(profile->hhPassword(), QStringLiteral("TypedId7"));
    EXPECT_EQ(profile->hhIpAddress(), QStringLiteral("10.1.2.3"));
}

} // namespace
