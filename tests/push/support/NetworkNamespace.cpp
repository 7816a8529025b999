#include "NetworkNamespace.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <iostream>

namespace looptest {

bool isInPrivateNamespace(const char *marker)
{
    return !qEnvironmentVariableIsEmpty(marker);
}

void runInPrivateNamespace(const char *marker, const QString &gtestFilter, int timeLimitSeconds)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(marker), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), self, QStringLiteral("--gtest_filter=") + gtestFilter});
    ASSERT_TRUE(child.waitForFinished(timeLimitSeconds * 1000));
    const QByteArray output = child.readAll();
    // What the re-run printed (its figures too) stands in this test's output.
    std::cout << output.toStdString();
    if (child.exitCode() != 0 && output.contains("unshare failed"))
        GTEST_SKIP() << "no network namespaces here: " << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

bool ip(const QString &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments.split(QLatin1Char(' '))) == 0;
}

bool nft(const QString &arguments)
{
    return QProcess::execute(QStringLiteral("nft"), arguments.split(QLatin1Char(' '))) == 0;
}

} // namespace looptest
