// Files other programs wrote are untrusted: every truncation of the sample files and seeded byte
// flips must parse cleanly or be refused, and whatever parses must convert and expand without harm.
#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/EKReminder.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <random>

using namespace platform;

namespace {

// Reads every item of the text as the store would: fields, alarms, rules and occurrences.
void readEverything(const QByteArray &text)
{
    const auto calendar = ICalendarFolder::parseCalendarText(text);
    if (!calendar)
        return;
    const QDateTime from = QDateTime::fromSecsSinceEpoch(1767225600, QTimeZone::utc());
    for (icalcomponent *item = icalcomponent_get_first_component(calendar.get(), ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(calendar.get(), ICAL_ANY_COMPONENT)) {
        if (icalcomponent_isa(item) == ICAL_VEVENT_COMPONENT) {
            EKEvent event;
            icalcodec::readEvent(item, event);
            (void)icalcodec::occurrenceStarts(item, from, from.addDays(400));
            (void)icalcodec::recurrenceIdOf(item);
        } else if (icalcomponent_isa(item) == ICAL_VTODO_COMPONENT) {
            EKReminder reminder;
            icalcodec::readReminder(item, reminder);
        }
    }
}

} // namespace

TEST(ICalendarParsingFuzz, TruncationsAndByteFlipsEndCleanly)
{
    const QString samples = testsupport::sourceDir() + QStringLiteral("/tests/platform/eventkit/samples");
    std::mt19937 random(20261207);
    int parsedWhole = 0;
    for (const QString &name : QDir(samples).entryList({QStringLiteral("*-export.ics")}, QDir::Files)) {
        SCOPED_TRACE(name.toStdString());
        QFile file(samples + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        parsedWhole += ICalendarFolder::parseCalendarText(text) ? 1 : 0;
        for (qsizetype length = 0; length < text.size(); ++length)
            readEverything(text.left(length));
        for (int round = 0; round < 200; ++round) {
            QByteArray flipped = text;
            for (int flip = 0; flip < 4; ++flip) {
                const auto position = qsizetype(random() % std::uint32_t(flipped.size()));
                flipped[position] = char(random() % 256);
            }
            readEverything(flipped);
        }
    }
    EXPECT_EQ(parsedWhole, 3);
}
