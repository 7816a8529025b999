#pragma once

#include "platform/foundation/PlatformError.h"

// The error domain of the zip library and its codes. Every failing operation of the library answers
// NO (false) or nil (an empty value) and, when the caller passed an error slot, an error of this domain
// whose user information carries the underlying platform error under NSUnderlyingErrorKey and, where
// an entry is at fault, the entry's index under "ZZEntryIndexKey".
inline constexpr char ZZErrorDomain[] = "com.harrowmere.ZipArchive";
inline constexpr char ZZEntryIndexKey[] = "ZZEntryIndexKey";

enum class ZZErrorCode {
    ReadArchive = 0,
    ReadEndOfCentralDirectory = 1,
    ReadCentralFileHeader = 2,
    ReadLocalFile = 3,
    OpenWrite = 4,
    WriteLocalFile = 5,
    WriteCentralFileHeader = 6,
    WriteEndOfCentralDirectory = 7,
    ReplaceWrite = 8,
    UnsupportedCompressionMethod = 9,
    UnsupportedEncryptionMethod = 10,
    InvalidCRChecksum = 11,
    InvalidPassword = 12,
    LocalFileWriteEnded = 13,
};

// An error of the library's domain; a null underlying error or a negative index is left out.
platform::PlatformError makeZipError(ZZErrorCode code, const platform::PlatformError &underlying = {},
                                     qint64 entryIndex = -1);

// Puts the error into the caller's slot when there is one; always answers false, so a failing
// operation can end with `return failWith(error, ...)`.
bool failWith(platform::PlatformError *slot, const platform::PlatformError &error);
bool failWith(platform::PlatformError *slot, ZZErrorCode code, const platform::PlatformError &underlying = {},
              qint64 entryIndex = -1);

// The zip library's error code of an error, or -1 when the error belongs to another domain.
qint64 zipErrorCode(const platform::PlatformError &error);
// The underlying error of an error, or a null error.
platform::PlatformError underlyingError(const platform::PlatformError &error);
