// Modification-date scans: the dates and ids of a folder's records read in batches of 2,000 list
// items, paired by position, and the latest date of a folder.
#include "outlook/HMAppleScripter.h"

#include "foundation/GlobalVariables.h"
#include "outlook/HMAppleScripterConsole.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"

#include <algorithm>
#include <vector>

using platform::NSAppleEventDescriptor;
using Event = HMAppleScripter::Event;
namespace Console = HMAppleScripterConsole;

namespace {

struct ConduitWords
{
    const char *datesHandler;
    const char *idsHandler;
    const char *idsCountLine;
    const char *modifiedCountLine;
};

// Contacts, calendar events, tasks; the handler with a folder adds "InFolder".
const ConduitWords kConduitWords[] = {
    {"getAllContactDates", "getAllContactIdentifiers", "contactIdsArray.count %1", "modifiedContacts.count %1"},
    {"getAllCalendarEventDates", "getAllCalendarEventIdentifiers", "eventIdsArray.count %1", "modifiedEvents.count %1"},
    {"getAllTaskDates", "getAllTaskIdentifiers", "eventIdsArray.count %1", "modifiedEvents.count %1"},
};

QDateTime latestOf(const QList<QDateTime> &dates)
{
    QDateTime latest = HMAppleScripter::distantPast();
    for (const QDateTime &date : dates) {
        if (date.isValid() && date > latest)
            latest = date;
    }
    return latest;
}

} // namespace

Event HMAppleScripter::batchEvent(Conduit conduit, BatchItems items, qint64 start, qint64 end, const QString &folderId)
{
    const ConduitWords &words = kConduitWords[int(conduit)];
    const QString handler =
        QLatin1String(items == BatchItems::ModificationDates ? words.datesHandler : words.idsHandler);
    if (folderId.isEmpty())
        return rangeCall(handler, {}, start, end);
    return rangeCall(handler + QStringLiteral("InFolder"), {}, start, end, {folderId});
}

namespace {

// A reply that is a list of exactly a batch's items.
bool isWholeBatch(quint32 replyLength, QByteArrayView replyHead)
{
    const std::optional<platform::AppleEventWire::ReplyHead> head = platform::AppleEventWire::replyHead(replyLength, replyHead);
    return head && head->kind == NSAppleEventDescriptor::Kind::List && head->size == quint32(HMAppleScripter::kListBatchItems);
}

} // namespace

// Reads batches while the list holds exactly as many items as asked for so far; answers the count.
// When every item counts, a reply whose head shows a whole batch means the next batch will be asked
// for: it is sent ahead, so the application works on it while this batch is read.
qint64 HMAppleScripter::readBatches(const RangeEventMaker &makeEvent, const QString &countLine,
                                    const std::function<void(const Event &item)> &addItem,
                                    const std::function<qint64()> &count, bool everyItemCounts)
{
    auto addAll = [&](const NSAppleEventDescriptor &reply) {
        Console::log(QStringLiteral("num %1").arg(reply.numberOfItems()));
        for (qint64 i = 1; i <= reply.numberOfItems(); ++i)
            addItem(reply.descriptorAtIndex(i));
    };
    RangeEvents events(makeEvent);
    qint64 end = kListBatchItems; // the last item of the batch being read
    platform::NSUserAppleScriptTask::EventAhead nextBatch;
    if (everyItemCounts)
        nextBatch = [&](quint32 replyLength, QByteArrayView replyHead) -> std::optional<Event> {
            if (end >= kMaxBatchedItems || !isWholeBatch(replyLength, replyHead))
                return std::nullopt;
            return events.ahead(end + 1, end + kListBatchItems);
        };
    addAll(executeScriptSynchronously(events.take(1, kListBatchItems), nextBatch));
    while (count() == end) {
        if (end >= kMaxBatchedItems) {
            Console::log(QStringLiteral("%1 items reached the limit; the rest is not read").arg(end));
            break;
        }
        Console::log(countLine.arg(count()));
        end += kListBatchItems;
        const NSAppleEventDescriptor reply = executeScriptSynchronously(events.take(end - kListBatchItems + 1, end), nextBatch);
        if (reply.numberOfItems() < 1) {
            Console::log(QStringLiteral("No Value!"));
            break;
        }
        addAll(reply);
    }
    Console::log(QStringLiteral("FINAL LENGTH %1").arg(count()));
    return count();
}

// A date that does not read counts as no date and keeps its place, so that later dates stay paired
// with their ids. The dates are only looked at as they come, never kept.
qint64 HMAppleScripter::scanDates(Conduit conduit, const QString &folderId,
                                  const std::function<void(const std::optional<QDateTime> &date)> &visit)
{
    qint64 count = 0;
    const RangeEventMaker dates = [&](qint64 start, qint64 end) {
        return batchEvent(conduit, BatchItems::ModificationDates, start, end, folderId);
    };
    return readBatches(
        dates, QStringLiteral("datesArray.count %1"),
        [&](const Event &item) {
            visit(dateFromEventDescriptor(item));
            ++count;
        },
        [&] { return count; }, true);
}

// Ids that are not texts are left out of the id list, as the list of a script's answer is read; the
// positions of the ids kept are those paired with the dates.
qint64 HMAppleScripter::scanIds(Conduit conduit, const QString &folderId, const QString &countLine,
                                const std::function<void(qint64 position, const QString &id)> &visit)
{
    qint64 count = 0;
    const RangeEventMaker ids = [&](qint64 start, qint64 end) {
        return batchEvent(conduit, BatchItems::Identifiers, start, end, folderId);
    };
    return readBatches(
        ids, countLine,
        [&](const Event &item) {
            const QString id = item.stringValue();
            if (!id.isNull())
                visit(count++, id);
        },
        [&] { return count; });
}

QDateTime HMAppleScripter::latestModificationDate(Conduit conduit, const QString &folderId)
{
    Console::log(QStringLiteral("START!"));
    QDateTime latest = distantPast();
    scanDates(conduit, folderId, [&](const std::optional<QDateTime> &date) {
        if (date && date->isValid() && *date > latest)
            latest = *date;
    });
    return latest;
}

// The dates are read first and leave one flag per position (later than the date or not); the ids
// are then taken where their position is flagged.
QStringList HMAppleScripter::idsModifiedAfter(Conduit conduit, const QDateTime &date, const QString &folderId)
{
    Console::log(QStringLiteral("START!"));
    const QDateTime after = date.isValid() ? date : distantPast();
    const ConduitWords &words = kConduitWords[int(conduit)];
    std::vector<bool> isLater;
    scanDates(conduit, folderId, [&](const std::optional<QDateTime> &modified) {
        isLater.push_back(modified && modified->isValid() && *modified > after);
    });
    QStringList modified;
    scanIds(conduit, folderId, QLatin1String(words.idsCountLine), [&](qint64 position, const QString &id) {
        if (position < qint64(isLater.size()) && isLater[size_t(position)])
            modified.append(id);
    });
    Console::log(QString::fromLatin1(words.modifiedCountLine).arg(modified.size()));
    return modified;
}

QDateTime HMAppleScripter::getLastModifiedDateForOutlookCalendar(const QString &folderId)
{
    return latestModificationDate(Conduit::CalendarEvents, folderId);
}

QDateTime HMAppleScripter::getLastModifiedDateForOutlookTasks(const QString &folderId)
{
    return latestModificationDate(Conduit::Tasks, folderId);
}

QDateTime HMAppleScripter::getLastModifiedDateForOutlookContacts(const QString &folderId)
{
    const bool hasFolder = !folderId.isEmpty();
    if (hasFolder && !HMOutlookSQLiteHelper::isDecimalId(folderId)) {
        Console::log(QStringLiteral("Not a folder id, not sent: %1").arg(Console::bounded(folderId)));
        return distantPast();
    }
    const QString every = hasFolder ? QStringLiteral("every contact in address book id ") + folderId
                                    : QStringLiteral("every contact");
    const QString source = QStringLiteral("tell application \"%1\"\nset theDates to the modification date of %2\n"
                                          "return theDates\nend tell")
                               .arg(HMOutlookSQLiteHelper::outlookApplicationReference(), every);
    const NSAppleEventDescriptor reply = platform::NSAppleScript(source).executeAndReturnError();
    Console::log(QStringLiteral("Done executing scripts"));
    QList<QDateTime> dates;
    for (qint64 i = 1; i <= reply.numberOfItems(); ++i)
        dates.append(dateFromEventDescriptor(reply.descriptorAtIndex(i)).value_or(QDateTime()));
    Console::log(QStringLiteral("datesArray %1").arg(Console::describe(dates)));
    return latestOf(dates);
}
