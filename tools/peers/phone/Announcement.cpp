#include "Announcement.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace phonepeer {

QByteArray announcementPayload(const QString &deviceId)
{
    return QByteArrayLiteral("Quillpad Sync\nDeviceId=") + deviceId.toLatin1() + '\n';
}

bool sendAnnouncement(const QString &deviceId, const QString &host, quint16 port, QString &problem)
{
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    const QByteArray hostBytes = host.toLatin1();
    auto *const v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *const v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, hostBytes.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        addressLength = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, hostBytes.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        addressLength = sizeof(sockaddr_in6);
    } else {
        problem = QStringLiteral("%1 is not a numeric address").arg(host);
        return false;
    }
    const int socketFd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        problem = QStringLiteral("no UDP socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QByteArray payload = announcementPayload(deviceId);
    const ssize_t sent = sendto(socketFd, payload.constData(), size_t(payload.size()), 0,
                                reinterpret_cast<const sockaddr *>(&address), addressLength);
    const int sendError = errno;
    close(socketFd);
    if (sent != payload.size()) {
        problem = QStringLiteral("sending to %1:%2 failed: %3").arg(host).arg(port).arg(QString::fromLocal8Bit(std::strerror(sendError)));
        return false;
    }
    return true;
}

} // namespace phonepeer
