#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reading the device announcement: the short text datagram a phone sends to port 8092 when the user
// presses Sync in the phone app. Pure functions; any thread.

// The device id the pairing sheet reads from an announcement's payload, or nothing when the payload
// carries none: a byte above 127 (not ASCII), fewer than 5 characters, or a line feed with nothing
// after it. With a line feed, the id is the second line, or the text after "DeviceId=" (any case)
// when that line holds it and is longer than 9 characters; without one, the text after the first
// four characters, lower-cased. The id must be 1 to kMaxDeviceIdLength letters, digits, '-', '_',
// '.' or ':': anything else (spaces, quotes, control characters, a NUL) could make the pairing
// question read as another device, or the profile impossible to save, so such a datagram has no id.
std::optional<QString> deviceIdFromAnnouncement(const QByteArray &payload);

// The longest device id taken from an announcement.
constexpr qsizetype kMaxDeviceIdLength = 64;

// What a log line shows of a datagram: at most its first kMaxLoggedDatagramBytes bytes, with every
// byte outside printable ASCII written as \xNN, and the datagram's size when it was cut. A flood of
// large datagrams thus cannot fill the console.
QString datagramForLog(const QByteArray &payload);

constexpr qsizetype kMaxLoggedDatagramBytes = 96;

// The address to store for the phone, from the sender's host text: an IPv4-mapped IPv6 host
// ("::ffff:a.b.c.d") gives its IPv4 address; any other host is kept whole. An empty host gives
// nothing.
std::optional<QString> deviceAddressFromSenderHost(const QString &host);
