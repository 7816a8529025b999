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
