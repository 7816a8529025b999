#include "platform/foundation/ProcessInfo.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"

#include <QHash>
#include <QRegularExpression>

#include <malloc.h>
#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

namespace {

QString kernelRelease()
{
    utsname names{};
    if (uname(&names) != 0)
        return QString();
    return QString::fromLocal8Bit(names.release);
}

// An os-release value is a shell word: plain, or quoted with backslash escapes inside double quotes.
QString unquoteOsReleaseValue(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
        value.back() == value.front()) {
        const bool isDoubleQuoted = value.front() == QLatin1Char('"');
        value = value.mid(1, value.size() - 2);
        if (isDoubleQuoted) {
            static const QRegularExpression escape(QStringLiteral(R"(\\([\\$"`]))"));
            value.replace(escape, QStringLiteral("\\1"));
        }
    }
    return value;
}

} // namespace

OperatingSystemVersion ProcessInfo::versionFromKernelRelease(const QString &release)
{
    static const QRegularExpression leadingNumbers(QStringLiteral(R"(^(\d+)(?:\.(\d+))?(?:\.(\d+))?)"));
    const QRegularExpressionMatch match = leadingNumbers.match(release.trimmed());
    if (!match.hasMatch())
        return {};
    // Each part is at most a few digits in any real release; an absurd one reads as 0.
    auto part = [&match](int group) { return match.captured(group).toInt(); };
    return {part(1), part(2), part(3)};
}

QString ProcessInfo::prettyNameFromOsRelease(const QByteArray &osRelease)
{
    QHash<QString, QString> fields;
    const QStringList lines = QString::fromUtf8(osRelease).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char('#')) || equals <= 0)
            continue;
        fields.insert(line.left(equals).trimmed(), unquoteOsReleaseValue(line.mid(equals + 1)));
    }
    const QString prettyName = fields.value(QStringLiteral("PRETTY_NAME"));
    if (!prettyName.isEmpty())
        return prettyName;
    QStringList parts{fields.value(QStringLiteral("NAME")), fields.value(QStringLiteral("VERSION"))};
    parts.removeAll(QString());
    return parts.join(QLatin1Char(' '));
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion()
{
    const QByteArray named = qgetenv("HM_PLATFORM_VERSION");
    if (named.isEmpty())
        return kStandInVersion;
    // "10.7" reads like a release; a text without a leading number keeps the stand-in version.
    const OperatingSystemVersion version = versionFromKernelRelease(QString::fromLatin1(named));
    return version.majorVersion > 0 ? version : kStandInVersion;
}

OperatingSystemVersion ProcessInfo::kernelVersion()
{
    return versionFromKernelRelease(kernelRelease());
}

QString ProcessInfo::operatingSystemVersionString()
{
    const QString kernel = QStringLiteral("Linux ") + kernelRelease();
    for (const QString &path : {QStringLiteral("/etc/os-release"), QStringLiteral("/usr/lib/os-release")}) {
        const Result<QByteArray> bytes = readWholeFile(path);
        if (!bytes)
            continue;
        const QString prettyName = prettyNameFromOsRelease(*bytes);
        if (!prettyName.isEmpty())
            return QStringLiteral("%1 (%2)").arg(prettyName, kernel);
    }
    return kernel;
}

QString ProcessInfo::processName()
{
    return Bundle::displayName();
}

qint64 ProcessInfo::processIdentifier()
{
    return qint64(getpid());
}

qint64 ProcessInfo::threadIdentifier()
{
    return qint64(gettid());
}

int ProcessInfo::processorCount()
{
    const long count = sysconf(_SC_NPROCESSORS_CONF);
    return count > 0 ? int(qMin(count, 1L << 20)) : 1;
}

int ProcessInfo::activeProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return processorCount();
    return qMax(1, CPU_COUNT(&set));
}

void ProcessInfo::keepHeapCompact()
{
    constexpr int kMappedBlockBytes = 4096 * 1024;
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, kMappedBlockBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * kMappedBlockBytes);
}

} // namespace platform
