#include "FakeAdb.h"
#include "WiFiSyncTestSupport.h"

#include "phonelink/HMAdbSync.h"
#include "platform/foundation/Bundle.h"

#include "MemoryDataSource.h"
#include "PhonePeer.h"
#include "SyncRunner.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"

#include <gtest/gtest.h>

namespace {

using phonepeer::Conduit;

const QString kSerial = QStringLiteral("R58M12ABCDE");

// A phone on USB: the fake adb lists it ready with the USB service running, and the phone peer plays
// the service behind the forwarded port.
class UsbPhone final
{
public:
    UsbPhone()
    {
        preparePhoneLinkTests();
        m_adb.setDevicesOutput(FakeAdb::devicesListing({{kSerial, QStringLiteral("device")}}));
        m_adb.setProcessesOutput(FakeAdb::processesWithUsbSync());
        phonepeer::PhonePeer::Options options;
        options.port = 0;
        m_peer = std::make_unique<phonepeer::PhonePeer>(options);
        QString problem;
        if (!m_peer->start(problem))
            ADD_FAILURE() << "the phone peer did not start: " << problem.toStdString();
    }

    FakeAdb &adb() { return m_adb; }
    phonepeer::PhonePeer &peer() { return *m_peer; }

    // A USB transport for a profile paired with the peer, its address and device name left stale.
    std::unique_ptr<HMAdbSync> makeTransport(RecordingSyncDelegate &delegate)
    {
        HMWiFiSync::ConnectionSettings settings;
        settings.deviceType = 2;
        settings.ipAddress = QStringLiteral("192.0.2.7");
        settings.deviceName = QStringLiteral("stale name");
        settings.password = m_peer->deviceId();
        auto sync = std::make_unique<HMAdbSync>(settings, fastTiming());
        sync->setServerPort(m_peer->port());
        sync->setDelegate(&delegate);
        sync->adbBridge().setWait([](std::chrono::milliseconds) {});
        return sync;
    }

private:
    FakeAdb m_adb;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
};

TEST(HMAdbSync, SyncsThroughTheForwardedPortAndStopsAdbAfterwards)
{
    UsbPhone phone;
    const QString uid =
        phone.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Ada")}});
    RecordingSyncDelegate delegate;
    const std::unique_ptr<HMAdbSync> sync = phone.makeTransport(delegate);

    QString message;
    EXPECT_TRUE(sync->verifyProfileIsValid(message));
    QString error;
    ASSERT_EQ(sync->setup(error), std::optional<bool>(true)) << error.toStdString();
    EXPECT_EQ(sync->serverIp(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(sync->serverUrl(), QStringLiteral("http://127.0.0.1:%1").arg(phone.peer().port()));
    EXPECT_EQ(sync->postParameterDictionary().value(QStringLiteral("password")).toString(), QStringLiteral("usbsync"));
    EXPECT_EQ(sync->postParameterDictionary().value(QStringLiteral("Username")).toString(), phone.peer().deviceId());
    EXPECT_EQ(phone.adb().calls().constLast(), QStringLiteral("[-s][%1][forward][tcp:8090][tcp:8090]").arg(kSerial));

    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon:1"))) << delegate.endings().join(u',').toStdString();
    ASSERT_TRUE(sync->listRecordsForConduit(1, QDateTime()));
    ASSERT_EQ(delegate.listedRecords().size(), 1);
    EXPECT_EQ(delegate.listedRecords().at(0).value(QStringLiteral("UID")).toString(), uid);
    EXPECT_EQ(delegate.listedRecords().at(0).value(QStringLiteral("FIRSTNAME")).toString(), QStringLiteral("Ada"));
    ASSERT_TRUE(sync->logoff());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logoff:1")));
    EXPECT_TRUE(delegate.errors().isEmpty());

    EXPECT_EQ(sync->cleanup(), std::optional<bool>(true));
    EXPECT_EQ(phone.adb().calls().constLast(), QStringLiteral("[kill-server]"));
    EXPECT_TRUE(phone.peer().requestLog().contains(QStringLiteral("/hmx_list")));
}

TEST(HMAdbSync, ASetUpThatFindsNoPhoneReportsWhyAndContactsNothing)
{
    UsbPhone phone;
    phone.adb().setDevicesOutput(FakeAdb::devicesListing({}));
    RecordingSyncDelegate delegate;
    const std::unique_ptr<HMAdbSync> sync = phone.makeTransport(delegate);

    QString error;
    EXPECT_EQ(sync->setup(error), std::optional<bool>(false));

    EXPECT_EQ(error, platform::Bundle::localizedString(QStringLiteral("adb_device_not_found")));
    EXPECT_TRUE(phone.adb().calls().contains(QStringLiteral("[kill-server]")));
    EXPECT_TRUE(phone.peer().requestLog().isEmpty());
}

TEST(HMAdbSync, AnEmptyLogonReplyIsAPhoneThatDoesNotRespond)
{
    UsbPhone phone;
    phonepeer::Fault empty;
    empty.kind = phonepeer::FaultKind::Empty;
    empty.path = QStringLiteral("/hmx_logon");
    phone.peer().addFault(empty);
    RecordingSyncDelegate delegate;
    const std::unique_ptr<HMAdbSync> sync = phone.makeTransport(delegate);
    QString error;
    ASSERT_EQ(sync->setup(error), std::optional<bool>(true)) << error.toStdString();

    ASSERT_TRUE(sync->logon());

    ASSERT_TRUE(delegate.waitFor(QStringLiteral("stop"))) << delegate.endings().join(u',').toStdString();
    ASSERT_EQ(delegate.errors().size(), 1);
    EXPECT_EQ(delegate.errors().at(0).code, 6u);
    EXPECT_EQ(delegate.errors().at(0).message,
              platform::Bundle::localizedString(QStringLiteral("adb_device_not_responding")));
    EXPECT_EQ(delegate.count(QStringLiteral("logon:0")) + delegate.count(QStringLiteral("logon:1")), 0);
}

} // namespace

namespace {

// A manual sync of a USB profile through the sync controller: adb's set-up, the contacts of both
// sides exchanged over the forwarded port, and adb's clean-up.
TEST(HMAdbSync, AManualSyncOfAUsbProfileExchangesRecordsThroughTheControllerAndThePeer)
{
    UsbPhone phone;
    phone.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Ada")},
                                                    {QStringLiteral("NEWLNAME"), QStringLiteral("Lovelace")}});
    const auto store = std::make_shared<hmsync::MemoryStore>();
    store->addRecord(1, {{QStringLiteral("FIRSTNAME"), QStringLiteral("Grace")},
                         {QStringLiteral("LASTNAME"), QStringLiteral("Hopper")}});
    hmsync::MemoryDataSource::registerForAllConduits(store);
    HMAdbSync::registerTransport(phone.peer().port(), fastTiming(), [](std::chrono::milliseconds) {});
    const auto manager = std::make_shared<HMProfileManager>();
    const std::shared_ptr<HMProfile> profile = manager->newProfile();
    profile->setDeviceTypeName(QStringLiteral("android"));
    profile->setSyncMethodName(QStringLiteral("adb"));
    profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile->setContactManager(HMContactManager::Apple);
    profile->setHhIpAddress(QString());
    profile->setHhPassword(phone.peer().deviceId());
    profile->setContactSyncEnabled(true);
    profile->setCalendarSyncEnabled(false);
    profile->setTaskSyncEnabled(false);
    profile->setMemoSyncEnabled(false);

    const hmsync::SyncOutcome outcome = hmsync::runManualSync(manager, profile, std::chrono::seconds(60));
    HMSyncController::registerTransport(2, nullptr);

    ASSERT_TRUE(outcome.hasEnded);
    EXPECT_TRUE(outcome.isSuccess) << outcome.errorText.toStdString();
    QStringList phoneNames;
    for (const phonepeer::PhoneRecord &record : phone.peer().records(Conduit::Contacts))
        phoneNames.append(record.fields.value(QStringLiteral("NEWFNAME")));
    phoneNames.sort();
    EXPECT_EQ(phoneNames, (QStringList{QStringLiteral("Ada"), QStringLiteral("Grace")}));
    QStringList desktopNames;
    for (const hmsync::StoredRecord &record : store->records(1))
        desktopNames.append(record.fields.value(QStringLiteral("FIRSTNAME")).toString());
    desktopNames.sort();
    EXPECT_EQ(desktopNames, (QStringList{QStringLiteral("Ada"), QStringLiteral("Grace")}));
    EXPECT_FALSE(phone.peer().isLoggedOn());
    const QStringList calls = phone.adb().calls();
    EXPECT_TRUE(calls.contains(QStringLiteral("[-s][%1][forward][tcp:8090][tcp:8090]").arg(kSerial)));
    EXPECT_EQ(calls.constLast(), QStringLiteral("[kill-server]"));
}

} // namespace
