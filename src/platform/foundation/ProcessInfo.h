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

    // The version of the platform our layers stand in for, which every version decision reads:
    // kPlatformVersion (it selects the newer roads), or the environment variable HM_PLATFORM_VERSION
    // ("10.7") when it is set and starts with a number, so tests can take the older roads. The kernel
    // and distribution versions are only shown (operatingSystemVersionString), never compared.
    static OperatingSystemVersion operatingSystemVersion();
    static constexpr OperatingSystemVersion kPlatformVersion{10, 15, 0};
    static constexpr const char *kPlatformVersionVariable = "HM_PLATFORM_VERSION";
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

    // Parsers of the sources, for the operations above. A release (or a version text) without leading
    // numbers gives 0.0.0; an os-release text without PRETTY_NAME gives its NAME and VERSION, or nothing.
    static OperatingSystemVersion versionFromKernelRelease(const QString &release);
    static QString prettyNameFromOsRelease(const QByteArray &osRelease);
};

} // namespace platform
