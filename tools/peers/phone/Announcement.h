#pragma once

#include <QByteArray>
#include <QString>

namespace phonepeer {

// The datagram a phone sends when the user presses Sync in the phone app: a first line, a line feed,
// "DeviceId=" and the phone's id, and a closing line feed.
QByteArray announcementPayload(const QString &deviceId);

// Sends the announcement as one UDP datagram to the IPv4 or IPv6 address and port, as the phone does
// to start a sync on the desktop; false, with the problem, when it cannot be sent.
bool sendAnnouncement(const QString &deviceId, const QString &host, quint16 port, QString &problem);

} // namespace phonepeer
