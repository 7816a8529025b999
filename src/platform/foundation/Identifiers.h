#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>

class QUuid;

namespace platform {

// A new random (version 4) UUID as the platform prints one: 36 characters, upper-case hexadecimal
// digits in groups of 8-4-4-4-12 joined by hyphens. Thread-safe.
QString newUuidText();

// The UUID printed the same way. Thread-safe.
QString uuidText(const QUuid &uuid);

// The 16-byte MD5 digest (RFC 1321) of the bytes. Never fails; the result type stays for callers that
// may one day digest with something that can. Thread-safe.
Result<QByteArray> md5Digest(const QByteArray &bytes);

// The same digest as 32 upper-case hexadecimal digits.
Result<QString> md5Text(const QByteArray &bytes);

} // namespace platform
