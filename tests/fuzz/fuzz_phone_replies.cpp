// Sends one command of the Wi-Fi transport to a phone on loopback that answers every request with the
// fuzzer's bytes, so the logon, purge, id-list, list-page (rows and their dates) and update-reply
// readers all see hostile replies the way a real sync does. Input: the first byte picks the command,
// the second the conduit, the rest is the reply body. Every command must end with one outcome
// reported, in bounded time, whatever the reply.
#include "foundation/Lumberjack/DDLog.h"
#include "phonelink/HMWiFiSync.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncRecord.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// The phone: answers every POST with the body of the current input.
class ScriptedPhone final
{
public:
    ScriptedPhone()
    {
        m_server.set_keep_alive_max_count(1);
        m_server.Post(".*", [this](const httplib::Request &, httplib::Response &response) {
            const std::lock_guard lock(m_mutex);
            response.set_content(m_reply, "text/plain");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        // The socket listens from bind_to_any_port on, so requests wait until the loop takes them.
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // A stop works only once the accept loop runs.
        while (!m_server.is_running())
            std::this_thread::yield();
    }
    ~ScriptedPhone()
    {
        m_server.stop();
        m_thread.join();
    }
    ScriptedPhone(const ScriptedPhone &) = delete;
    ScriptedPhone &operator=(const ScriptedPhone &) = delete;

    void setReply(const QByteArray &reply)
    {
        const std::lock_guard lock(m_mutex);
        m_reply = reply.toStdString();
    }
    int port() const { return m_port; }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    std::string m_reply;
};

// Notes when a command has ended, from whichever thread reports it.
class EndingDelegate final : public HMSyncClientDelegate
{
public:
    void logonCommandReturned(bool, const QVariantMap &) override { end(); }
    void purgeCommandReturned(bool) override { end(); }
    void idListCommandFinishedSuccessful(bool) override { end(); }
    void listCommandFinishedSuccessful(bool) override { end(); }
    void updateCommandReturnedSuccessful(bool) override { end(); }
    void commandErroredStopProcessing() override { end(); }
    void commandWasForceCancelled() override { end(); }

    // Pumps the main event loop until a command has ended; false after the deadline.
    bool waitForEnd(std::chrono::milliseconds deadline)
    {
        const QDeadlineTimer timer(deadline);
        std::unique_lock lock(m_mutex);
        while (!m_hasEnded && !timer.hasExpired()) {
            lock.unlock();
            QCoreApplication::processEvents();
            lock.lock();
            m_ended.wait_for(lock, std::chrono::milliseconds(1));
        }
        return m_hasEnded;
    }

private:
    void end()
    {
        const std::lock_guard lock(m_mutex);
        m_hasEnded = true;
        m_ended.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_hasEnded = false;
};

struct Environment
{
    Environment()
    {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
        qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
        qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
        qputenv("TZ", "UTC");
    }
    QTemporaryDir home;
    int argc = 1;
    char name[20] = "fuzz_phone_replies";
    char *argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
    ScriptedPhone phone;
};

Environment &environment()
{
    static Environment *const s_environment = new Environment;
    return *s_environment;
}

// No pauses and no resends of empty replies: each input is one exchange.
HMWiFiSync::Timing fuzzTiming()
{
    using std::chrono::milliseconds;
    return HMWiFiSync::Timing{.logonPause = milliseconds(0),
                              .connectionTryWindow = milliseconds(0),
                              .passiveRetryDelay = milliseconds(0),
                              .waitRetryDelay = milliseconds(0),
                              .idListRetryPause = milliseconds(0),
                              .logonTimeoutSeconds = 5.0,
                              .commandTimeoutSeconds = 5.0};
}

QList<HMSyncRecord> recordsToSend()
{
    HMSyncRecord added;
    added.setIsNew(true);
    added.setHmxUid(QStringLiteral("tmp-1"));
    added.setDictionary({{QStringLiteral("FIRSTNAME"), QStringLiteral("Ada")}});
    HMSyncRecord changed;
    changed.setHmxUid(QStringLiteral("c-2"));
    changed.setDictionary({{QStringLiteral("TITLE"), QStringLiteral("Lunch")}});
    HMSyncRecord deleted;
    deleted.setIsDelete(true);
    deleted.setHmxUid(QStringLiteral("d-3"));
    return {added, changed, deleted};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    ddLogLevel.store(LOG_LEVEL_OFF);
    Environment &context = environment();
    context.phone.setReply(QByteArray(reinterpret_cast<const char *>(data) + 2, qsizetype(size - 2)));
    const quint64 conduit = 1 + data[1] % 4;

    HMWiFiSync::ConnectionSettings settings;
    settings.deviceType = 2;
    settings.ipAddress = QStringLiteral("127.0.0.1");
    settings.deviceName = QStringLiteral("QP-PEER-0001");
    settings.password = QStringLiteral("QP-PEER-0001");
    EndingDelegate delegate;
    {
        HMWiFiSync sync(settings, fuzzTiming());
        sync.setServerPort(context.phone.port());
        sync.setDelegate(&delegate);
        QString error;
        static_cast<void>(sync.setup(error));
        switch (data[0] % 5) {
        case 0:
            sync.logon();
            break;
        case 1:
            sync.purge(conduit);
            break;
        case 2:
            static_cast<void>(sync.idListForConduit(conduit));
            break;
        case 3:
            sync.listRecordsForConduit(conduit, QDateTime());
            break;
        default: {
            QList<HMSyncRecord> records = recordsToSend();
            sync.updateConduit(conduit, records);
            break;
        }
        }
        // A command that never reports its end would stall a real sync forever.
        if (!delegate.waitForEnd(std::chrono::seconds(20)))
            std::abort();
    }
    return 0;
}
