#include "CpsTestSupport.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>
#include <vector>

namespace cpstest {

namespace {

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

} // namespace

TemporaryFolder::TemporaryFolder()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/cps-test-XXXXXX";
    if (::mkdtemp(pattern.data()))
        m_path = pattern;
    EXPECT_FALSE(m_path.empty()) << "no temporary folder under " << pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    if (!m_path.empty())
        ::nftw(m_path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string readBytes(const std::string &path)
{
    std::string bytes;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return "<missing>";
    char block[4096];
    for (ssize_t count = 0; (count = ::read(descriptor, block, sizeof block)) > 0;)
        bytes.append(block, static_cast<std::size_t>(count));
    ::close(descriptor);
    return bytes;
}

void writeBytes(const std::string &path, const std::string &bytes)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(descriptor, 0) << path;
    ASSERT_EQ(::write(descriptor, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())) << path;
    ::close(descriptor);
}

std::string listFolder(const std::string &path)
{
    std::vector<std::string> names;
    DIR *folder = ::opendir(path.c_str());
    if (!folder)
        return "<missing>";
    while (const dirent *entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string &name : names)
        joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

} // namespace cpstest
