#pragma once

#include <QByteArray>
#include <QList>

#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Plain HTTP on loopback read as raw bytes: each scripted reply answers one request on a connection of
// its own (the reply says "Connection: close"), and the request's head is kept as it went on the wire.
// Requests without a body only.
class RawHttpServer final
{
public:
    explicit RawHttpServer(std::vector<QByteArray> replies) : m_replies(std::move(replies))
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_socket, 4);
        ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~RawHttpServer()
    {
        // A script the client did not use up: one connection per reply left unread ends the thread.
        ::shutdown(m_socket, SHUT_RDWR);
        m_thread.join();
        ::close(m_socket);
    }

    // A whole reply: the status line, Content-Type and Content-Length, "Connection: close", the body.
    static QByteArray reply(int status, const QByteArray &body = {}, const QByteArray &type = "application/json")
    {
        return "HTTP/1.1 " + QByteArray::number(status) + (status < 300 ? " OK" : " Error") +
               "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }
    QList<QByteArray> heads() const
    {
        const std::lock_guard lock(m_mutex);
        return m_heads;
    }

    int port = 0;

private:
    void serve()
    {
        for (const QByteArray &answer : m_replies) {
            const int connection = ::accept(m_socket, nullptr, nullptr);
            if (connection < 0)
                return;
            QByteArray head;
            char buffer[4096];
            while (!head.contains("\r\n\r\n")) {
                const ssize_t got = ::read(connection, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                head.append(buffer, got);
            }
            {
                const std::lock_guard lock(m_mutex);
                m_heads << head;
            }
            (void)!::write(connection, answer.constData(), size_t(answer.size()));
            ::close(connection);
        }
    }

    std::vector<QByteArray> m_replies;
    int m_socket = -1;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    QList<QByteArray> m_heads;
};
