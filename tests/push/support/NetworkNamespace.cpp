#include "NetworkNamespace.h"

#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <QFile>

#include <iostream>

namespace looptest {

bool isInPrivateNamespace(const char *marker)
{
    return !qEnvironmentVariableIsEmpty(marker);
}

void runInPrivateNamespace(const char *marker, const QString &gtestFilter, int timeLimitSeconds)
{
    ChildProcess child;
    ChildProcess::Options options;
    options.environment = {QString::fromLatin1(marker) + QStringLiteral("=1")};
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    ASSERT_TRUE(child.start(QStringLiteral("unshare"),
                            {QStringLiteral("-n"), self, QStringLiteral("--gtest_filter=") + gtestFilter}, options));
    ASSERT_TRUE(child.waitForFinished(timeLimitSeconds * 1000)) << child.output().toStdString();
    const QByteArray output = child.output();
    // What the re-run printed (its figures too) stands in this test's output.
    std::cout << output.toStdString();
    if (child.exitCode() != 0 && output.contains("unshare failed"))
        GTEST_SKIP() << "no network namespaces here: " << output.toStdString();
    if (child.exitCode() == 0 && output.contains("[  SKIPPED ] 1 test"))
        GTEST_SKIP() << "the test skipped itself in the namespace";
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

namespace {

// Runs the tool; its output stands in the test's output when it fails.
bool runTool(const QString &tool, const QString &arguments)
{
    QByteArray output;
    if (ChildProcess::run(tool, arguments.split(QLatin1Char(' ')), 30000, &output) == 0)
        return true;
    std::cout << tool.toStdString() << ' ' << arguments.toStdString() << ": " << output.toStdString() << '\n';
    return false;
}

} // namespace

bool ip(const QString &arguments)
{
    return runTool(QStringLiteral("ip"), arguments);
}

bool nft(const QString &arguments)
{
    return runTool(QStringLiteral("nft"), arguments);
}

} // namespace looptest
