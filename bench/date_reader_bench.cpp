// date_reader_bench: reads the date and time texts of phone rows with the date formatter's
// fixed-pattern reader and with ICU's general parser, in the local zone of a user with DST and in
// GMT, and prints the time per text of each and the ratio.
#include "platform/foundation/DateFormatter.h"

#include <QStringList>

#include <chrono>
#include <cstdio>

using platform::DateFormatter;
using platform::Locale;
using platform::TimeZone;

namespace {

constexpr int kTexts = 200000;

struct Case
{
    const char *pattern;
    const char *zone;
};

QStringList textsFor(const DateFormatter &formatter)
{
    QStringList texts;
    const QDateTime start(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
    for (int index = 0; index < kTexts; ++index)
        texts.append(formatter.format(start.addSecs(qint64(index) * 7919)));
    return texts;
}

template <typename Read> double nanosecondsPerText(const QStringList &texts, Read read)
{
    const auto begin = std::chrono::steady_clock::now();
    qint64 checksum = 0;
    for (const QString &text : texts)
        checksum += read(text);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    if (checksum == 42)
        std::printf(" ");
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / double(texts.size());
}

} // namespace

int main()
{
    const Case cases[] = {{"yyyyMMdd", "Europe/Berlin"},
                          {"HH:mm:ss", "Europe/Berlin"},
                          {"yyyyMMdd HH:mm:ss", "Europe/Berlin"},
                          {"yyyy-MM-dd HH:mm:ss", "Europe/Berlin"},
                          {"yyyyMMdd", "GMT"},
                          {"yyyyMMdd HH:mm:ss", "GMT"}};
    std::printf("%-22s %-14s %12s %12s %8s\n", "pattern", "zone", "reader ns", "ICU ns", "ratio");
    for (const Case &test : cases) {
        const DateFormatter formatter(QString::fromLatin1(test.pattern), Locale(QStringLiteral("en_US")),
                                      TimeZone::named(QString::fromLatin1(test.zone)).value());
        const QStringList texts = textsFor(formatter);
        const double fast = nanosecondsPerText(texts, [&formatter](const QString &text) {
            return formatter.parse(text).valueOr(QDateTime()).toMSecsSinceEpoch();
        });
        const double general = nanosecondsPerText(texts, [&formatter](const QString &text) {
            return formatter.parseWithGeneralParser(text).valueOr(QDateTime()).toMSecsSinceEpoch();
        });
        std::printf("%-22s %-14s %12.0f %12.0f %7.1fx\n", test.pattern, test.zone, fast, general, general / fast);
    }
    return 0;
}
