// The duplicate test's look for events of a title with a record's start and end: the files it passes
// by, told by what the folder's descriptions hold of their events' starts, must never hold such an
// event. Over the bench's realistic stores and other programs' files, every answer is the one a look
// at every file of the title gives, for events that are there and for records that are not.
#include "platform/eventkit/support/CalendarFolderFixture.h"

#include "platform/eventkit/EKEventStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

using namespace platform;
using namespace eventkittest;

namespace {

struct Span
{
    QString title;
    QDateTime start;
    QDateTime end;
};

// The first event of the window's at the span's start that has its title, start and end, as the
// duplicate test takes it; empty when none does.
QString duplicateOf(EKEventStore &store, const Span &span, bool byKeys)
{
    EKPredicate predicate = store.predicateForEventsWithStartDate(span.start, span.start.addSecs(1), {});
    predicate.title = span.title;
    if (byKeys)
        predicate.titleSpan = std::pair(span.start, span.end);
    for (const std::shared_ptr<EKEvent> &event : store.eventsMatchingPredicate(predicate)) {
        if (event->title() == span.title && event->startDate() == span.start && event->endDate() == span.end)
            return event->calendarItemIdentifier() + (event->isDetached() ? QStringLiteral(" moved") : QString());
    }
    return {};
}

// The events of the window as records to test: a few occurrences of each series (its first ones and
// its last), each as it is and moved by an hour, a week and a longer end, which mostly are no event.
QList<Span> spansOf(EKEventStore &store, const QDateTime &from, const QDateTime &to)
{
    QHash<QString, QList<Span>> byIdentifier;
    for (const std::shared_ptr<EKEvent> &event :
         store.eventsMatchingPredicate(store.predicateForEventsWithStartDate(from, to, {}))) {
        QList<Span> &spans = byIdentifier[event->calendarItemIdentifier()];
        const Span span{event->title(), event->startDate(), event->endDate()};
        if (spans.size() < 4)
            spans.append(span);
        else
            spans.last() = span;
    }
    QList<Span> spans;
    for (const QList<Span> &ofEvent : std::as_const(byIdentifier)) {
        for (const Span &span : ofEvent) {
            spans.append(span);
            spans.append({span.title, span.start.addSecs(3600), span.end.addSecs(3600)});
            spans.append({span.title, span.start.addDays(7), span.end.addDays(7)});
            spans.append({span.title, span.start, span.end.addSecs(900)});
        }
    }
    return spans;
}

// Compares the answers over the spans; gives how many found an event.
int expectSameAnswers(EKEventStore &store, const QList<Span> &spans)
{
    int found = 0;
    QStringList differing;
    for (const Span &span : spans) {
        const QString byKeys = duplicateOf(store, span, true);
        const QString byTitle = duplicateOf(store, span, false);
        found += byTitle.isEmpty() ? 0 : 1;
        if (byKeys != byTitle)
            differing.append(QStringLiteral("%1 %2 %3: %4 / %5")
                                 .arg(span.title, span.start.toString(Qt::ISODate), span.end.toString(Qt::ISODate),
                                      byKeys, byTitle));
    }
    EXPECT_EQ(differing.join('\n').left(3000).toStdString(), "");
    return found;
}

// The realistic store of the bench's data: its events' files as the desktop holds them.
bool writeRealisticEvents(const QString &folder, int count)
{
    const QString script = QStringLiteral("import sys, os\n"
                                          "sys.path.insert(0, sys.argv[1])\n"
                                          "import realistic_data as r\n"
                                          "for e in r.make_events(int(sys.argv[3])):\n"
                                          "    open(os.path.join(sys.argv[2], 'event-%d.ics' % e.index), 'w',"
                                          " newline='').write(r.ics(e))\n");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, QStringLiteral(HM_BENCH_FOLDER), folder,
                                              QString::number(count)});
    return python.waitForFinished(60000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
}

class EKEventStoreDuplicateTest : public CalendarFolderTest
{
};

} // namespace

TEST_F(EKEventStoreDuplicateTest, TheKeysFindWhatEveryFileOfTheTitleGivesInRealisticStores)
{
    const QString folder = makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    ASSERT_TRUE(writeRealisticEvents(folder, 240));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const char *zone : {"UTC", "America/New_York"}) {
        SCOPED_TRACE(zone);
        const ScopedEnvironment timeZone("TZ", zone);
        const std::shared_ptr<EKEventStore> store = eventStore();
        const QList<Span> spans = spansOf(*store, now.addDays(-60), now.addDays(400));
        ASSERT_GT(spans.size(), 240);
        const int found = expectSameAnswers(*store, spans);
        EXPECT_GE(found, 240) << "every event in the window is found";
        EXPECT_LT(found, spans.size() / 2) << "records that are no event are tested too";
    }
}

// Other programs' files: zones of their own, floating and all-day times, rules of every kind, moved
// occurrences, several events to a file, damaged files. Their events lie across decades; records
// past the walks the folder keeps are answered by a look at every file of the title.
TEST_F(EKEventStoreDuplicateTest, TheKeysFindWhatEveryFileOfTheTitleGivesInOtherProgramsFiles)
{
    const QDir corpus(qEnvironmentVariable("HM_INTEROP_CORPUS", QStringLiteral(HM_INTEROP_CORPUS)) +
                      QStringLiteral("/calendar"));
    if (!corpus.exists())
        GTEST_SKIP() << "no interop corpus";
    const QString folder = makeCalendarFolder(QStringLiteral("other"), QStringLiteral("Other"));
    for (const QString &name : corpus.entryList({QStringLiteral("*.ics")}, QDir::Files))
        ASSERT_TRUE(QFile::copy(corpus.filePath(name), folder + QLatin1Char('/') + name));
    for (const char *zone : {"UTC", "Europe/Berlin"}) {
        SCOPED_TRACE(zone);
        const ScopedEnvironment timeZone("TZ", zone);
        const std::shared_ptr<EKEventStore> store = eventStore();
        const QDateTime from(QDate(1995, 1, 1), QTime(0, 0), QTimeZone::utc());
        const QList<Span> spans = spansOf(*store, from, from.addYears(40));
        EXPECT_GT(expectSameAnswers(*store, spans), 100);
    }
}
