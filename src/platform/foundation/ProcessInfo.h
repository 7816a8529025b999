#pragma once

#include <QString>

namespace platform {

// A system version as three numbers; missing parts are 0.
struct OperatingSystemVersion
{
    int majorVersion = 0;
    int minorVersion = 0;
    int patchVersion = 0;

    friend bool operator==(const OperatingSystemVersion &, const OperatingSystemVersion &) = default;
};

// Facts about the running process and the system under it. Thread-safe; class operations only.
class ProcessInfo final
{
public:
    ProcessInfo() = delete;

    // The version of the platform our layers stand in for, the one value every version decision reads
    // (which calendar store, which recurrence road): kStandInVersion, which selects the newer roads,
    // or the version the environment variable HM_PLATFORM_VERSION names ("10.7"), for tests of the
    // older ones. Never the kernel's, which is only shown to people.
    static OperatingSystemVersion operatingSystemVersion();
    static constexpr OperatingSystemVersion kStandInVersion{10, 15, 0};
    // The kernel's release as three numbers ("6.1.0-18-amd64" gives 6.1.0), for people to read.
    static OperatingSystemVersion kernelVersion();
    // The system for a person to read: the distribution's name from os-release and the kernel release,
    // "Debian GNU/Linux 12 (bookworm) (Linux 6.1.0-18-amd64)"; "Linux 6.1.0-18-amd64" without os-release.
    static QString operatingSystemVersionString();

    // The application's process name, "Harrowmere", whatever the executable is called (tests included),
    // so the log folder is the same for every program of the application.
    static QString processName();
    static qint64 processIdentifier();
    // The kernel's id of the calling thread.
    static qint64 threadIdentifier();
    // Processors the system has, and those this process may run on; each at least 1.
    static int processorCount();
    static int activeProcessorCount();

    // Sets the allocator up for a process that holds one large working set at a time: one arena
    // rather than one per thread that ever allocated (the queues run on several threads in turn, and
    // each arena would keep its own peak of freed memory), and blocks of 4 MB and more in their own
    // mappings, returned to the system when freed. Smaller large blocks (a file read whole, an index
    // being built) stay in the heap, whose freed pages the next such block reuses without faulting
    // in new ones. Without the fixed threshold the allocator raises it after each mapped block is
    // freed, and later large blocks then stay in the heap as holes that later small ones do not
    // fill. Free room at the top of the heap is kept up to twice that threshold, as the allocator
    // itself keeps it beside a threshold of its own choosing: handed back whenever more than 128 KB
    // of it is free (the default), it would fault in again page by page as soon as the next block
    // grows the heap. Explicit trims (malloc_trim) still hand it back. Call first thing in main,
    // before any thread starts.
    static void keepHeapCompact();

    // Parsers of the two sources, for the operations above. A release without leading numbers gives
    // 0.0.0; an os-release text without PRETTY_NAME gives its NAME and VERSION, or nothing.
    static OperatingSystemVersion versionFromKernelRelease(const QString &release);
    static QString prettyNameFromOsRelease(const QByteArray &osRelease);
};

} // namespace platform
