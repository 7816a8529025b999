#include "NetworkNamespace.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

namespace looptest {

bool isInPrivateNamespace(const char *marker)
{
    return !qEnvironmentVariableIsEmpty(marker);
}

void runInPrivateNamespace(const char *marker, const QString &gtestFilter)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(marker), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), self, QStringLiteral("--gtest_filter=") + gtestFilter});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    if (child.exitCode() != 0 && output.contains("unshare failed"))
        GTEST_SKIP() << "no network namespaces here: " << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

bool ip(const QString &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments.split(QLatin1Char(' '))) == 0;
}

} // namespace looptest
