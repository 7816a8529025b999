#include "platform/restkit/RKNetworkThread.h"

#include <QCoreApplication>
#include <QThread>

#include <memory>
#include <mutex>

#include <openssl/crypto.h>

namespace platform {

namespace {

// The framework thread's context object, seen from that thread only. Work queued before a shutdown
// still runs on the thread after the engine has left s_engine (an exit with requests under way), and
// finds its context here; the thread ends before its engine goes.
thread_local QObject *t_context = nullptr;

class Engine final
{
public:
    Engine()
    {
        m_thread.setObjectName(QStringLiteral("RKNetworkThread"));
        m_thread.start();
        m_context.moveToThread(&m_thread);
        // Queued first, so it runs before any work posted to the thread.
        QMetaObject::invokeMethod(&m_context, [this] { t_context = &m_context; }, Qt::QueuedConnection);
    }

    ~Engine()
    {
        // The exchanges still running belong to the framework's thread and go there. Then the thread
        // lets go of what OpenSSL keeps for it: the thread's own exit would free that only after
        // wait() has returned, racing the process's exit, whose OpenSSL clean-up frees it too (a
        // double free at exit).
        QMetaObject::invokeMethod(
            &m_context,
            [this] {
                qDeleteAll(m_context.children());
                OPENSSL_thread_stop();
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    void post(std::function<void()> work)
    {
        QMetaObject::invokeMethod(&m_context, std::move(work), Qt::QueuedConnection);
    }
    bool isCurrentThread() const { return QThread::currentThread() == &m_thread; }

private:
    QThread m_thread;
    QObject m_context;
};

std::mutex s_engineMutex;
std::unique_ptr<Engine> s_engine;
bool s_shutdownRegistered = false;

void shutDownEngine()
{
    std::unique_ptr<Engine> engine;
    {
        const std::lock_guard lock(s_engineMutex);
        engine = std::move(s_engine);
        s_shutdownRegistered = false;
    }
}

// Called with the mutex held.
Engine *ensureEngine()
{
    if (s_engine)
        return s_engine.get();
    if (QCoreApplication::instance() == nullptr)
        return nullptr;
    s_engine = std::make_unique<Engine>();
    if (!s_shutdownRegistered) {
        // Post routines run while the application object is destroyed, before Qt's own state goes.
        qAddPostRoutine(shutDownEngine);
        s_shutdownRegistered = true;
    }
    return s_engine.get();
}

} // namespace

bool RKNetworkThread::post(std::function<void()> work)
{
    const std::lock_guard lock(s_engineMutex);
    Engine *engine = ensureEngine();
    if (engine == nullptr)
        return false;
    engine->post(std::move(work));
    return true;
}

bool RKNetworkThread::isCurrentThread()
{
    const std::lock_guard lock(s_engineMutex);
    return s_engine && s_engine->isCurrentThread();
}

QObject &RKNetworkThread::context()
{
    Q_ASSERT(t_context != nullptr);
    return *t_context;
}

} // namespace platform
