#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

class ZZArchiveEntry;

// Reads the end record and the central directory of an archive's bytes into entries, in directory
// order. Everything an entry will later touch is checked here against the bytes: the end record
// (code 1), and for each central header its fixed part, name, extra fields and comment, and its local
// header with name, extra fields, data and descriptor (code 2 with the entry's index). The walk visits
// at most the 65535 headers the end record can count.
std::optional<QList<std::shared_ptr<ZZArchiveEntry>>> readCentralDirectory(const QByteArray &bytes,
                                                                           platform::PlatformError *error);
