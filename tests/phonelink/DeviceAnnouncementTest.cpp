#include "phonelink/DeviceAnnouncement.h"

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "platform/dispatch/DispatchQueue.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>

namespace {

TEST(DeviceAnnouncementTest, ReadsTheDeviceIdOfEachForm)
{
    struct Row
    {
        const char *name;
        QByteArray payload;
        std::optional<QString> deviceId;
    };
    const Row rows[] = {
        {"key line after any first line", "ABCD\nDeviceId=AbC123", QStringLiteral("AbC123")},
        {"key in lower case, later lines ignored", "ABCD\ndeviceid=xyz\nmore", QStringLiteral("xyz")},
        {"key inside the line", "ABCD\nmy DEVICEID=Z9", QStringLiteral("Z9")},
        {"second line without key", "ABCD\nhello", QStringLiteral("hello")},
        {"line of only the key", "ABCD\nDeviceId=", std::nullopt},
        {"empty second line", "ABCD\n\nDeviceId=x", std::nullopt},
        {"line feed first", "\nDeviceId=Q", QStringLiteral("Q")},
        {"no line feed, lower-cased", "ABCDPhone-ID42", QStringLiteral("phone-id42")},
        {"no line feed, five characters", "ABCDE", QStringLiteral("e")},
        {"four characters", "ABCD", std::nullopt},
        {"empty", "", std::nullopt},
        {"line feed last", "ABCDE\n", std::nullopt},
        {"byte above 127", "ABCD\nDeviceId=caf\xc3\xa9", std::nullopt},
        {"byte 128 alone", "ABCD\x80phone", std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<QString> deviceId = deviceIdFromAnnouncement(row.payload);
        ASSERT_EQ(deviceId.has_value(), row.deviceId.has_value());
        if (deviceId) {
            EXPECT_EQ(*deviceId, *row.deviceId);
        }
    }
}

TEST(DeviceAnnouncementTest, StoresAReachableSenderAddress)
{
    struct Row
    {
        const char *name;
        QString host;
        std::optional<QString> address;
    };
    const Row rows[] = {
        {"IPv4", QStringLiteral("192.168.1.20"), QStringLiteral("192.168.1.20")},
        {"IPv4-mapped", QStringLiteral("::ffff:192.168.1.20"), QStringLiteral("192.168.1.20")},
        {"IPv6 kept whole", QStringLiteral("fe80::1c2:3"), QStringLiteral("fe80::1c2:3")},
        {"mapped prefix on an IPv6 tail", QStringLiteral("::ffff:1:2"), QStringLiteral("::ffff:1:2")},
        {"no host", QString(), std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(deviceAddressFromSenderHost(row.host), row.address);
    }
}

TEST(DeviceAnnouncementTest, RandomPayloadsGiveAnIdOnlyWhenAscii)
{
    std::mt19937 random(2026);
    std::uniform_int_distribution<int> size(0, 64);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        QByteArray payload(size(random), '\0');
        bool isAscii = true;
        for (char &value : payload) {
            value = char(byte(random));
            isAscii = isAscii && static_cast<unsigned char>(value) <= 127;
        }
        const std::optional<QString> deviceId = deviceIdFromAnnouncement(payload);
        if (!isAscii || payload.size() < 5) {
            EXPECT_FALSE(deviceId.has_value()) << payload.toHex().toStdString();
        } else if (deviceId) {
            EXPECT_LE(deviceId->size(), payload.size()) << payload.toHex().toStdString();
        }
    }
}

} // namespace

namespace {

// A listener that reads announcements as the pairing sheet does.
class AnnouncementReader final : public GCDAsyncUdpSocketDelegate
{
public:
    void udpSocketDidReceiveData(GCDAsyncUdpSocket *, const QByteArray &data, const QByteArray &address,
                                 const QVariant &) override
    {
        const std::lock_guard lock(m_mutex);
        ++m_datagramCount;
        const std::optional<QString> deviceId = deviceIdFromAnnouncement(data);
        const std::optional<QString> sender = deviceAddressFromSenderHost(GCDAsyncUdpSocket::hostFromAddress(address));
        if (deviceId && sender)
            m_pairings.append({*deviceId, *sender});
    }

    int datagramCount() const
    {
        const std::lock_guard lock(m_mutex);
        return m_datagramCount;
    }
    QList<std::pair<QString, QString>> pairings() const
    {
        const std::lock_guard lock(m_mutex);
        return m_pairings;
    }

private:
    mutable std::mutex m_mutex;
    int m_datagramCount = 0;
    QList<std::pair<QString, QString>> m_pairings;
};

TEST(DeviceAnnouncementTest, ListenerOnLoopbackReadsIdAndSenderOfEachAnnouncement)
{
    AnnouncementReader reader;
    const auto delegateQueue = platform::DispatchQueue::createSerial(QStringLiteral("test.announcement"));
    {
        const auto listener = GCDAsyncUdpSocket::create(&reader, delegateQueue);
        ASSERT_TRUE(listener->bindToPort(0));
        ASSERT_TRUE(listener->beginReceiving());
        listener->enableBroadcast(true);
        const auto phone = GCDAsyncUdpSocket::create(&reader, delegateQueue);
        phone->sendData("ABCD\nDeviceId=AbC123", QStringLiteral("127.0.0.1"), listener->localPort_IPv4(), -1, 1);
        phone->sendData("ABCD\nDeviceId=caf\xc3\xa9", QStringLiteral("127.0.0.1"), listener->localPort_IPv4(), -1, 2);
        phone->sendData("ABCDv6-Phone", QStringLiteral("::1"), listener->localPort_IPv6(), -1, 3);
        ASSERT_TRUE(testsupport::waitUntil([&] { return reader.datagramCount() == 3; })) << "three announcements";
        // A send's report may still be on its way after the datagram arrived: closing waits for the
        // sockets' queues, so once the delegate queue drains nothing reaches the reader as it goes.
        phone->close();
        listener->close();
    }
    delegateQueue->sync([] {});
    auto pairings = reader.pairings();
    std::sort(pairings.begin(), pairings.end());
    EXPECT_EQ(pairings, (QList<std::pair<QString, QString>>{{QStringLiteral("AbC123"), QStringLiteral("127.0.0.1")},
                                                            {QStringLiteral("v6-phone"), QStringLiteral("::1")}}));
}

} // namespace
