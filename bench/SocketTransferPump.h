// The asynchronous half of the socket benches: one GCDAsyncSocket writes 64 KiB packets (each
// completion queues the next) and the accepted one reads everything available (likewise) until the
// whole amount arrived. The TLS bench turns TLS on at the two hooks.
#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"

#include <cstddef>
#include <memory>

class SocketTransferPump : public GCDAsyncSocketDelegate
{
public:
    static constexpr std::size_t kChunk = 64 * 1024;

    explicit SocketTransferPump(std::size_t total)
        : m_total(total), m_done(platform::DispatchSemaphore::create(0)), m_chunk(qsizetype(kChunk), 'p')
    {
    }

    // Moves the whole amount from a client socket to the socket it connects to on loopback.
    void run()
    {
        using platform::DispatchQueue;
        const auto serverQueue = DispatchQueue::createSerial(QStringLiteral("bench.server"));
        const auto clientQueue = DispatchQueue::createSerial(QStringLiteral("bench.client"));
        const auto server = GCDAsyncSocket::create(this, serverQueue);
        const auto client = GCDAsyncSocket::create(this, clientQueue);
        server->acceptOnInterface(QStringLiteral("127.0.0.1"), 0, nullptr);
        client->connectToHost(QStringLiteral("127.0.0.1"), server->localPort(), nullptr);
        m_done->wait();
        client->synchronouslySetDelegate(nullptr);
        server->synchronouslySetDelegate(nullptr);
        m_reader->synchronouslySetDelegate(nullptr);
        serverQueue->sync([] {});
        clientQueue->sync([] {});
    }

    void socketDidAcceptNewSocket(GCDAsyncSocket *,
                                  const std::shared_ptr<GCDAsyncSocket> &newSocket) override
    {
        m_reader = newSocket;
        willRead(*m_reader);
        m_reader->readDataWithTimeout(-1, 0);
    }
    void socketDidConnectToHost(GCDAsyncSocket *sock, const QString &, quint16) override
    {
        willWrite(*sock);
        sock->writeData(m_chunk, -1, 0);
    }
    void socketDidWriteDataWithTag(GCDAsyncSocket *sock, long) override
    {
        m_written += kChunk;
        if (m_written < m_total)
            sock->writeData(m_chunk, -1, 0);
    }
    void socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data, long) override
    {
        m_read += std::size_t(data.size());
        if (m_read >= m_total)
            m_done->signal();
        else
            sock->readDataWithTimeout(-1, 0);
    }

protected:
    // Called on the accepted socket before its first read, and on the client before its first write.
    virtual void willRead(GCDAsyncSocket &) {}
    virtual void willWrite(GCDAsyncSocket &) {}

private:
    const std::size_t m_total;
    const std::shared_ptr<platform::DispatchSemaphore> m_done;
    const QByteArray m_chunk;
    std::shared_ptr<GCDAsyncSocket> m_reader;
    std::size_t m_written = 0;
    std::size_t m_read = 0;
};
