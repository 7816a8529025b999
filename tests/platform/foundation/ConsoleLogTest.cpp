#include "platform/foundation/ConsoleLog.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <unistd.h>

using namespace platform;

namespace {

// Points the console at a temporary file for the life of the object.
class ConsoleCapture final
{
public:
    ConsoleCapture()
    {
        EXPECT_TRUE(m_file.open());
        m_previous = setConsoleLogDescriptor(m_file.handle());
    }
    ~ConsoleCapture() { setConsoleLogDescriptor(m_previous); }

    QStringList lines()
    {
        QFile reader(m_file.fileName());
        EXPECT_TRUE(reader.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(reader.readAll());
        EXPECT_TRUE(text.isEmpty() || text.endsWith(u'\n'));
        text.chop(1);
        return text.isEmpty() ? QStringList() : text.split(u'\n');
    }

private:
    QTemporaryFile m_file;
    int m_previous = -1;
};

} // namespace

TEST(ConsoleLog, WritesStampedLinesWhole)
{
    ConsoleCapture capture;
    consoleLog(QStringLiteral("Autosync On!"));
    consoleLog(QStringLiteral("Deleted errorlog.plist file\n"));
    consoleLog(QStringLiteral("tempId caf\u00e9"));
    const QStringList lines = capture.lines();
    ASSERT_EQ(lines.size(), 3) << lines.join(u'|').toStdString();
    const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\S+\\[%1:\\d+\\] (.*)$").arg(::getpid()));
    const QStringList messages = {QStringLiteral("Autosync On!"), QStringLiteral("Deleted errorlog.plist file"),
                                  QStringLiteral("tempId caf\u00e9")};
    for (qsizetype index = 0; index < lines.size(); ++index) {
        const QRegularExpressionMatch match = stamp.match(lines.at(index));
        ASSERT_TRUE(match.hasMatch()) << lines.at(index).toStdString();
        EXPECT_EQ(match.captured(1), messages.at(index));
    }
}

TEST(ConsoleLog, KeepsLinesOfManyThreadsApart)
{
    ConsoleCapture capture;
    constexpr int kThreads = 6;
    constexpr int kLinesEach = 300;
    const QString filler(500, u'x');
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([thread, &filler] {
            for (int line = 0; line < kLinesEach; ++line)
                consoleLog(QStringLiteral("thread %1 line %2 %3 end").arg(thread).arg(line).arg(filler));
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const QStringList lines = capture.lines();
    ASSERT_EQ(lines.size(), kThreads * kLinesEach);
    const QRegularExpression whole(QStringLiteral("\\] thread (\\d) line (\\d+) x{500} end$"));
    std::vector<int> nextLine(kThreads, 0);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = whole.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.left(120).toStdString();
        const int thread = match.captured(1).toInt();
        EXPECT_EQ(match.captured(2).toInt(), nextLine[thread]++) << "each thread's lines keep their order";
    }
}

// With the console at the system log (whether or not a log daemon listens here), plain lines stay
// off standard error and every error line reaches it, stamped, however many lines come in a row.
TEST(ConsoleLog, SystemLogConsoleSendsOnlyErrorsToStandardError)
{
    QTemporaryFile errors;
    ASSERT_TRUE(errors.open());
    const int savedError = ::dup(STDERR_FILENO);
    ASSERT_GE(savedError, 0);
    ASSERT_EQ(::dup2(errors.handle(), STDERR_FILENO), STDERR_FILENO);
    const int previous = setConsoleLogDescriptor(-1);
    constexpr int kLines = 500;
    for (int line = 0; line < kLines; ++line) {
        consoleLog(QStringLiteral("Blank category! %1").arg(line));
        if (line % 100 == 0)
            consoleLogError(QStringLiteral("write failed %1").arg(line));
    }
    setConsoleLogDescriptor(previous);
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    QFile reader(errors.fileName());
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(reader.readAll()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kLines / 100) << lines.join(u'|').toStdString();
    for (qsizetype index = 0; index < lines.size(); ++index) {
        EXPECT_TRUE(lines.at(index).endsWith(QStringLiteral("] write failed %1").arg(index * 100)))
            << lines.at(index).toStdString();
    }
}
