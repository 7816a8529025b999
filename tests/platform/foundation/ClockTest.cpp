#include "platform/foundation/Clock.h"

#include <QTimeZone>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace platform;

TEST(Clock, AnswersWithTheInjectedSourceInUtcAndFallsBackToTheSystemClock)
{
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const QDateTime systemNow = Clock::now();
    EXPECT_EQ(systemNow.timeSpec(), Qt::UTC);
    EXPECT_GE(systemNow, before);

    // A source answering in another zone still gives UTC.
    const QDateTime fixed(QDate(2024, 3, 5), QTime(10, 20, 30, 123), QTimeZone(3600));
    Clock::setSource([fixed] { return fixed; });
    EXPECT_EQ(Clock::now(), QDateTime(QDate(2024, 3, 5), QTime(9, 20, 30, 123), Qt::UTC));
    EXPECT_EQ(Clock::now().timeSpec(), Qt::UTC);

    Clock::setSource({});
    EXPECT_GE(Clock::now(), before);
}

TEST(Clock, CanBeReplacedWhileOtherThreadsReadIt)
{
    const QDateTime first(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    const QDateTime second(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC);
    Clock::setSource([first] { return first; });

    std::atomic<bool> isDone = false;
    std::atomic<int> strayAnswers = 0;
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 4; ++reader) {
        readers.emplace_back([&] {
            while (!isDone) {
                const QDateTime now = Clock::now();
                if (now != first && now != second)
                    ++strayAnswers;
            }
        });
    }
    for (int swap = 0; swap < 2000; ++swap)
        Clock::setSource([date = swap % 2 ? first : second] { return date; });
    isDone = true;
    for (std::thread &reader : readers)
        reader.join();
    Clock::setSource({});
    EXPECT_EQ(strayAnswers, 0);
}
