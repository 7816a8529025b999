#include "platform/eventkit/ICalendarFolderWatch.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <sys/inotify.h>
#include <unistd.h>

namespace platform {

namespace {

// Beyond this many changed names between two looks a whole look costs about the same: the watch
// stops noting them and answers that it cannot tell.
constexpr qsizetype kMaxNotedNames = 1024;
// Room for many notices per read; one notice takes at most its header and a name of NAME_MAX bytes.
constexpr qsizetype kReadBufferBytes = 64 * 1024;
constexpr std::size_t kLargestNoticeBytes = sizeof(inotify_event) + NAME_MAX + 1;
constexpr uint32_t kWatchedChanges = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The folder itself went, moved or left the file system: its watch no longer tells of the path.
constexpr uint32_t kWatchEnded = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

bool isUnnamedFile(const inotify_event &notice, const char *name)
{
    const std::size_t length = ::strnlen(name, notice.len);
    if ((notice.mask & IN_ISDIR) || length < 2 || name[0] != '#')
        return false;
    return std::all_of(name + 1, name + length, [](char character) { return character >= '0' && character <= '9'; });
}

std::atomic<bool> g_hasKernelWatches{true};

struct Noted
{
    QSet<QString> names;
    QSet<QString> ownCreations; // created by the folder's owner, their notice not read yet
    bool isLost = false;  // notices were lost since the last arm
    bool hasEnded = false; // the watch no longer follows the path
};

// The process's one notice queue and what it noted per watch. Never destroyed, as folders live as
// long as the process.
class NoticeQueue final
{
public:
    static NoticeQueue &shared()
    {
        static NoticeQueue &queue = *std::make_unique<NoticeQueue>().release();
        return queue;
    }

    int arm(int watch, const QString &path);
    std::optional<QSet<QString>> take(int watch, ReadNotices read);
    void expectOwnCreation(int watch, const QString &name);
    void remove(int watch);

private:
    int addWatch(const QString &path);
    void drain();
    void note(const inotify_event &notice, const char *name);

    std::mutex m_mutex;
    int m_queue = -1;
    QByteArray m_buffer;
    std::unordered_map<int, Noted> m_noted;
};

int NoticeQueue::arm(int watch, const QString &path)
{
    const std::lock_guard lock(m_mutex);
    drain();
    const auto known = m_noted.find(watch);
    if (known != m_noted.end() && !known->second.hasEnded) {
        known->second = Noted();
        return watch;
    }
    if (known != m_noted.end()) {
        ::inotify_rm_watch(m_queue, watch);
        m_noted.erase(known);
    }
    return addWatch(path);
}

// A folder already watched under another path shares the kernel's watch: it is left unwatched, so
// that the two never take each other's notices.
int NoticeQueue::addWatch(const QString &path)
{
    if (m_queue < 0)
        m_queue = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_queue < 0)
        return -1;
    const int watch = ::inotify_add_watch(m_queue, QFile::encodeName(path).constData(), kWatchedChanges);
    if (watch < 0 || m_noted.count(watch) != 0)
        return -1;
    m_noted.emplace(watch, Noted());
    return watch;
}

std::optional<QSet<QString>> NoticeQueue::take(int watch, ReadNotices read)
{
    const std::lock_guard lock(m_mutex);
    if (read == ReadNotices::First)
        drain();
    const auto known = m_noted.find(watch);
    if (known == m_noted.end() || known->second.isLost)
        return std::nullopt;
    return std::exchange(known->second.names, QSet<QString>());
}

// A creation already read is told like any other change.
void NoticeQueue::expectOwnCreation(int watch, const QString &name)
{
    const std::lock_guard lock(m_mutex);
    const auto known = m_noted.find(watch);
    if (known != m_noted.end() && !known->second.isLost && !known->second.names.contains(name))
        known->second.ownCreations.insert(name);
}

void NoticeQueue::remove(int watch)
{
    const std::lock_guard lock(m_mutex);
    const auto known = m_noted.find(watch);
    if (known == m_noted.end())
        return;
    if (!known->second.hasEnded)
        ::inotify_rm_watch(m_queue, watch);
    m_noted.erase(known);
}

// Reads every notice queued so far; each is checked to lie whole within what was read.
void NoticeQueue::drain()
{
    if (m_queue < 0)
        return;
    if (m_buffer.isEmpty())
        m_buffer.resize(kReadBufferBytes);
    for (;;) {
        const ssize_t read = ::read(m_queue, m_buffer.data(), size_t(m_buffer.size()));
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            return;
        for (std::size_t offset = 0; offset + sizeof(inotify_event) <= std::size_t(read);) {
            inotify_event notice;
            std::memcpy(&notice, m_buffer.constData() + offset, sizeof(notice));
            const std::size_t next = offset + sizeof(notice) + notice.len;
            if (next > std::size_t(read))
                break;
            note(notice, notice.len > 0 ? m_buffer.constData() + offset + sizeof(notice) : nullptr);
            offset = next;
        }
        // The kernel gives every queued notice that fits: with room left for the largest one, the
        // queue was empty when the read returned, and a second read would only say so.
        if (std::size_t(read) + kLargestNoticeBytes <= std::size_t(m_buffer.size()))
            return;
    }
}

void NoticeQueue::note(const inotify_event &notice, const char *name)
{
    if (notice.mask & IN_Q_OVERFLOW) {
        for (auto &[watch, noted] : m_noted) {
            noted.isLost = true;
            noted.names.clear();
            noted.ownCreations.clear();
        }
        return;
    }
    const auto known = m_noted.find(notice.wd);
    if (known == m_noted.end())
        return;
    Noted &noted = known->second;
    if (notice.mask & kWatchEnded) {
        noted.isLost = noted.hasEnded = true;
        noted.names.clear();
        return;
    }
    // Names beginning with a dot are temporary files and the like, which no listing reads; so is a
    // file being written unnamed, which shows as "#" and its number until it is named.
    if (noted.isLost || !name || name[0] == '.' || isUnnamedFile(notice, name))
        return;
    QString decoded = QFile::decodeName(QByteArray(name, qsizetype(::strnlen(name, notice.len))));
    // The owner's own creation is the first notice of its name; anything after it is another change.
    const bool isOwnCreation = !noted.ownCreations.isEmpty() && noted.ownCreations.remove(decoded);
    if (isOwnCreation && (notice.mask & IN_CREATE))
        return;
    if (noted.names.size() >= kMaxNotedNames) {
        noted.isLost = true;
        noted.names.clear();
        return;
    }
    noted.names.insert(std::move(decoded));
}

} // namespace

ICalendarFolderWatch::~ICalendarFolderWatch()
{
    if (m_descriptor >= 0)
        NoticeQueue::shared().remove(m_descriptor);
}

void ICalendarFolderWatch::arm(const QString &path)
{
    if (hasKernelWatches())
        m_descriptor = NoticeQueue::shared().arm(m_descriptor, path);
    else
        letGoIfTurnedOff();
}

void ICalendarFolderWatch::letGoIfTurnedOff()
{
    if (m_descriptor < 0 || hasKernelWatches())
        return;
    NoticeQueue::shared().remove(m_descriptor);
    m_descriptor = -1;
}

void ICalendarFolderWatch::setKernelWatches(bool isOn)
{
    g_hasKernelWatches.store(isOn, std::memory_order_relaxed);
}

bool ICalendarFolderWatch::hasKernelWatches()
{
    return g_hasKernelWatches.load(std::memory_order_relaxed);
}

void ICalendarFolderWatch::expectOwnCreation(const QString &name)
{
    if (m_descriptor >= 0)
        NoticeQueue::shared().expectOwnCreation(m_descriptor, name);
}

std::optional<QSet<QString>> ICalendarFolderWatch::takeChanges(ReadNotices read)
{
    letGoIfTurnedOff();
    if (m_descriptor < 0)
        return std::nullopt;
    return NoticeQueue::shared().take(m_descriptor, read);
}

} // namespace platform
