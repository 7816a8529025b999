#include "Cps/CCpsFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kReadLineBytes = 511;
constexpr std::size_t kReadBlockBytes = 16384;
constexpr int kChecksumModulus = 32768;
constexpr std::size_t kMaxPathBytes = PATH_MAX;

// Closes the descriptor when the scope ends.
class DescriptorGuard
{
public:
    explicit DescriptorGuard(int descriptor) : m_descriptor(descriptor) {}
    DescriptorGuard(const DescriptorGuard &) = delete;
    DescriptorGuard &operator=(const DescriptorGuard &) = delete;
    ~DescriptorGuard()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    int release()
    {
        const int descriptor = m_descriptor;
        m_descriptor = -1;
        return descriptor;
    }

private:
    int m_descriptor;
};

std::int64_t readRetrying(int descriptor, void *buffer, std::size_t count)
{
    ssize_t result = 0;
    do {
        result = ::read(descriptor, buffer, count);
    } while (result < 0 && errno == EINTR);
    return result;
}

bool writeAll(int descriptor, const char *bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t written = ::write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Opens a regular file for reading without blocking on FIFOs or devices; -1 for anything else.
int openRegularForReading(const char *path)
{
    if (!path || !*path)
        return -1;
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0)
        return -1;
    DescriptorGuard closer(descriptor);
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return -1;
    return closer.release();
}

// Where the line read from position start ends, as ReadLine reads it: at most 511 bytes, plus the
// line feed that ends it when one follows within them.
std::size_t lineEnd(const std::string &bytes, std::size_t start)
{
    std::size_t end = start;
    while (end < bytes.size() && end - start < kReadLineBytes && bytes[end] != '\n')
        ++end;
    if (end < bytes.size() && end - start < kReadLineBytes)
        ++end;
    return end;
}

// The text up to the end of the first line that takes it past the maximum.
std::size_t cutAfterMaximum(const std::string &bytes, std::int64_t maximum)
{
    std::size_t position = 0;
    while (position < bytes.size()) {
        position = lineEnd(bytes, position);
        if (static_cast<std::int64_t>(position) > maximum)
            return position;
    }
    return bytes.size();
}

void useForwardSlashes(CCpsString &path)
{
    path.Replace("\\", "/");
}

bool isFolder(const char *path)
{
    struct stat status
    {
    };
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// Forces the folder's entry for a renamed file to storage; failures only cost durability.
void syncFolder(const CCpsString &folder)
{
    const int descriptor = ::open(folder.GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    ::fsync(descriptor);
    ::close(descriptor);
}

} // namespace

CCpsFile::~CCpsFile()
{
    Close();
}

int CCpsFile::Open(const char *path, int flags, mode_t permissions)
{
    if (!path || !*path)
        return kBadPath;
    if (m_descriptor >= 0)
        return kAlreadyOpen;
    m_path = path;
    const int access = flags & O_ACCMODE;
    const int openFlags = flags | O_CLOEXEC | (access == O_RDONLY ? 0 : O_NOFOLLOW);
    const int descriptor = ::open(path, openFlags, permissions);
    if (descriptor < 0)
        return -1;
    DescriptorGuard guard(descriptor);
    if (access == O_WRONLY) {
        int locked = 0;
        do {
            locked = ::flock(descriptor, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0)
            return -1;
    }
    m_descriptor = guard.release();
    m_isLockedOnOpen = true;
    return 0;
}

int CCpsFile::Close()
{
    if (m_descriptor < 0)
        return 0;
    const int result = ::close(m_descriptor);
    m_descriptor = -1;
    m_isLockedOnOpen = false;
    return result;
}

int CCpsFile::Lock()
{
    if (m_isLockedOnOpen)
        return kLockRefused;
    if (m_descriptor < 0)
        return kNotOpen;
    return ::flock(m_descriptor, LOCK_EX);
}

int CCpsFile::Unlock()
{
    if (m_descriptor < 0)
        return kNotOpen;
    return ::flock(m_descriptor, LOCK_UN);
}

std::int64_t CCpsFile::Read(void *buffer, std::size_t count)
{
    if (m_descriptor < 0)
        return kNotOpen;
    return readRetrying(m_descriptor, buffer, count);
}

int CCpsFile::ReadLine(char *buffer, int maximum)
{
    if (m_descriptor < 0)
        return kNotOpen;
    if (!buffer)
        return 0;
    int stored = 0;
    while (stored < maximum) {
        char byte = 0;
        if (readRetrying(m_descriptor, &byte, 1) != 1)
            break;
        if (byte == '\n')
            break;
        buffer[stored++] = byte;
    }
    buffer[stored] = '\0';
    return stored;
}

std::int64_t CCpsFile::Write(const void *buffer, std::size_t count)
{
    if (m_descriptor < 0)
        return kNotOpen;
    ssize_t result = 0;
    do {
        result = ::write(m_descriptor, buffer, count);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::int64_t CCpsFile::GetPosition() const
{
    if (m_descriptor < 0)
        return kNotOpen;
    return ::lseek(m_descriptor, 0, SEEK_CUR);
}

std::int64_t CCpsFile::Seek(int offset, Origin origin)
{
    if (m_descriptor < 0)
        return kNotOpen;
    const int whence = origin == Origin::Start ? SEEK_SET : (origin == Origin::Current ? SEEK_CUR : SEEK_END);
    return ::lseek(m_descriptor, offset, whence);
}

int CCpsFile::Flush()
{
    if (m_descriptor < 0)
        return kNotOpen;
    return ::fsync(m_descriptor);
}

int CCpsFile::CheckUnicodeMark(const char *text)
{
    const std::size_t length = text ? std::strlen(text) : 0;
    m_isUnicodeText = CCpsString::StartsWithUnicodeMark(text, length);
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

CCpsString CCpsFile::ReadFile(const char *path, std::int64_t maximum)
{
    const int descriptor = openRegularForReading(path);
    if (descriptor < 0)
        return CCpsString("");
    DescriptorGuard guard(descriptor);
    // A line ends within 512 bytes, so reading that far past the maximum decides where to cut.
    const bool isLimited = maximum != -1;
    const std::int64_t enough = maximum < 0 ? 0 : maximum + kReadLineBytes + 1;
    std::string bytes;
    char block[kReadBlockBytes];
    while (!isLimited || static_cast<std::int64_t>(bytes.size()) <= enough) {
        const std::int64_t count = readRetrying(descriptor, block, sizeof block);
        if (count <= 0)
            break;
        bytes.append(block, static_cast<std::size_t>(count));
    }
    if (isLimited)
        bytes.resize(cutAfterMaximum(bytes, maximum));
    return CCpsString(bytes.c_str());
}

// The temporary file gets the final name only once it holds the whole text on storage; the old
// file stays untouched until then.
bool CCpsFile::WriteFile(const char *path, const CCpsString &text)
{
    if (!path || !*path || std::strlen(path) > kMaxPathBytes)
        return false;
    const CCpsString target(path);
    CCpsString folder = GetFolder(target);
    if (folder.IsEmpty())
        folder = target.GetAt(0) == '/' ? "/" : ".";
    CCpsString temporaryName = folder + "/.cpswrite-XXXXXX";
    std::string temporaryPath(temporaryName.GetString());
    const int descriptor = ::mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (descriptor < 0)
        return false;
    DescriptorGuard guard(descriptor);
    const bool isWritten = writeAll(descriptor, text.GetString(), text.GetLength()) && ::fsync(descriptor) == 0 &&
                           ::close(guard.release()) == 0;
    if (!isWritten || ::rename(temporaryPath.c_str(), path) != 0) {
        ::unlink(temporaryPath.c_str());
        return false;
    }
    syncFolder(folder);
    return true;
}

bool CCpsFile::DeleteFile(CCpsString &path)
{
    useForwardSlashes(path);
    return !path.IsEmpty() && std::remove(path.GetString()) == 0;
}

bool CCpsFile::Rename(CCpsString &oldPath, CCpsString &newPath)
{
    useForwardSlashes(oldPath);
    useForwardSlashes(newPath);
    return std::rename(oldPath.GetString(), newPath.GetString()) == 0;
}

bool CCpsFile::SetPermissions(CCpsString &path, mode_t mode)
{
    useForwardSlashes(path);
    return ::chmod(path.GetString(), mode) == 0;
}

bool CCpsFile::FileExists(const char *path)
{
    struct stat status
    {
    };
    return path && ::stat(path, &status) == 0;
}

// Parents first, by recursion on the folder part; the path length bounds the depth.
bool CCpsFile::CreateFolder(CCpsString &path)
{
    if (path.IsEmpty() || path == "//" || path.GetAt(static_cast<int>(path.GetLength()) - 1) == ':')
        return true;
    if (path.GetLength() > kMaxPathBytes)
        return false;
    const int last = path.GetAt(static_cast<int>(path.GetLength()) - 1);
    if (last == '/' || last == '\\')
        path.Delete(static_cast<int>(path.GetLength()) - 1, 1);
    if (path.IsEmpty())
        return true;
    CCpsString parent = GetFolder(path);
    CreateFolder(parent);
    if (!isFolder(path.GetString()))
        ::mkdir(path.GetString(), 0700);
    return isFolder(path.GetString());
}

CCpsString CCpsFile::ChangeExtension(const CCpsString &path, const char *extension)
{
    const std::uint32_t slash = path.ReverseFind('/');
    const std::uint32_t nameStart = slash == CCpsString::kNotFound ? 0 : slash + 1;
    const std::uint32_t dot = path.ReverseFind('.');
    if (dot != CCpsString::kNotFound && dot > nameStart)
        return path.Left(static_cast<int>(dot) + 1) + extension;
    return path + "." + extension;
}

CCpsString CCpsFile::GetFileTitle(const CCpsString &path)
{
    const CCpsString name = GetFileName(path);
    const std::uint32_t dot = name.ReverseFind('.');
    return dot == CCpsString::kNotFound ? name : name.Left(static_cast<int>(dot));
}

CCpsString CCpsFile::GetFileName(const CCpsString &path)
{
    const std::uint32_t slash = path.ReverseFind('/');
    return slash == CCpsString::kNotFound ? path : path.Mid(static_cast<int>(slash) + 1);
}

CCpsString CCpsFile::GetFolder(const CCpsString &path)
{
    const std::uint32_t slash = path.ReverseFind('/');
    return slash == CCpsString::kNotFound ? CCpsString("") : path.Left(static_cast<int>(slash));
}

CCpsString CCpsFile::GetCurrentFolder()
{
    return CCpsString("./");
}

int CCpsFile::Checksum(const char *path)
{
    const int descriptor = openRegularForReading(path);
    if (descriptor < 0)
        return 0;
    DescriptorGuard guard(descriptor);
    int sum = 0;
    unsigned char block[kReadLineBytes];
    for (std::int64_t count = 0; (count = readRetrying(descriptor, block, sizeof block)) > 0;) {
        for (std::int64_t index = 0; index < count; ++index)
            sum = (sum + block[index]) % kChecksumModulus;
    }
    return sum;
}
