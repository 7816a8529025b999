#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The framing that keeps settings files unreadable to anyone without the application's passphrase:
//
//     offset 0   4 bytes  magic 0xd6c7b8a9, little-endian (a9 b8 c7 d6), in clear
//     offset 4   16 * k   AES-256-CBC of: payload length L (32-bit little-endian), the L payload
//                         bytes, zero fill to a whole number of 16-byte blocks
//
// The key is a fixed 32-byte mask XORed with the passphrase's UTF-8 bytes repeated from the start (up
// to the first zero byte; an empty passphrase leaves the mask); the initialisation vector is a fixed
// constant. There is no random element, so the same payload and passphrase always give the same
// bytes. A wrong passphrase is not detected here: the payload comes out as garbage, and the caller's
// parsing of it fails. Stateless; any thread may call these, and calls share nothing.

// Frames and enciphers the payload. Fails only for a payload of 2^31 - 16 bytes or more (the length
// field is a signed 32-bit number) or when the crypto library refuses AES.
platform::Result<QByteArray> encryptAESKey(const QByteArray &data, const QString &key);

// The payload of framed data. Data that does not begin with the magic number is not framed and
// comes back unchanged. Framed data that cannot hold a payload (a cipher part that is not a whole,
// non-empty number of blocks, or a length field that is negative or exceeds the bytes that follow)
// fails without reading past the data.
platform::Result<QByteArray> decryptAESKey(const QByteArray &data, const QString &key);

// AES-256 in CBC mode over whole 16-byte blocks, without framing or padding: what the framing above is
// built on. Fails unless the key has 32 bytes, the vector 16 and the blocks a multiple of 16.
platform::Result<QByteArray> cipherAes256Cbc(QByteArrayView key, QByteArrayView vector, QByteArrayView blocks,
                                             bool encrypting);

// Digests and encodings of the push channel's logins. All of them are plain functions of their input.
// The 16-byte MD5 digest and the 20-byte SHA-1 digest of the data.
QByteArray md5Digest(QByteArrayView data);
QByteArray sha1Digest(QByteArrayView data);
// Two lower-case hexadecimal digits per byte; empty data gives the empty text.
QString hexStringValue(QByteArrayView data);
// Base64 with the standard alphabet, "=" filling the last group, no line breaks.
QString base64Encoded(QByteArrayView data);
// The bytes of Base64 text read as ASCII: characters outside the alphabet are skipped, decoding stops
// at the first "=", a final group of two characters gives one byte and of three characters two (a lone
// final character carries too few bits for a byte and gives one from its six bits and zeros).
QByteArray base64Decoded(QByteArrayView text);
