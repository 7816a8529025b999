// Measures whole sync runs through the record stages, with the scripted fake transport as the device
// and an in-memory Mac store, and prints records per second of:
// - the apply path: device records listed in pages of 512 and written into an empty Mac store;
// - the update path: changed Mac records the device already knows, sent in batches of 100;
// - the new-record path: Mac records the device has never seen, sent in batches of 100, whose
//   temporary ids the device's replies replace.
// Each figure covers the whole run (profile, identifier graph changes journaled after every page, logon to end).
#include "FakeMacStore.h"
#include "SyncRunHarness.h"

#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncController.h"

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

constexpr int kPageSize = 512;
const QDateTime kPreviousSync(QDate(2026, 2, 20), QTime(8, 30, 0), Qt::UTC);
const QDateTime kChanged(QDate(2026, 2, 21), QTime(12, 0, 0), Qt::UTC);

enum class Path { Apply, Update, NewRecords };

void prepare(SyncRunHarness &harness, Path path, int records)
{
    HMProfile &profile = harness.profile();
    profile.setContactSyncEnabled(true);
    profile.setCalendarSyncEnabled(false);
    profile.setContactSyncDirectionName(path == Path::Apply ? QStringLiteral("device_to_mac")
                                                            : QStringLiteral("mac_to_device"));
    profile.setContactSyncDeletionsName(QStringLiteral("two_way"));
    HMIdentifierGraph graph;
    graph.setLastSyncDate(kPreviousSync);
    if (path == Path::Update) {
        for (int index = 0; index < records; ++index)
            graph.appendDictionary({{QStringLiteral("hmUid"), QStringLiteral("d%1").arg(index)},
                                                   {QStringLiteral("nativeId"), QStringLiteral("m%1").arg(index)}});
    }
    profile.saveIdentifierGraph(graph, QStringLiteral("A"));
    harness.saveProfile();
    harness.useMacStores();
    FakeMacStore &store = *harness.macStore(QStringLiteral("HMContactData"));
    if (path == Path::Apply) {
        QList<QList<QVariantMap>> pages;
        for (int index = 0; index < records; ++index) {
            if (index % kPageSize == 0)
                pages.append(QList<QVariantMap>());
            pages.last().append({{QStringLiteral("UID"), QStringLiteral("d%1").arg(index)},
                                 {QStringLiteral("ACTION"), 1},
                                 {QStringLiteral("FULLNAME"), QStringLiteral("Dr. Person %1 Smith Jr.").arg(index)},
                                 {QStringLiteral("EMAIL"), QStringLiteral("person%1@example.org").arg(index)}});
        }
        harness.script().listPages.insert(1, pages);
        harness.script().hasIdList = false;
        return;
    }
    for (int index = 0; index < records; ++index)
        store.putMacRecord(QStringLiteral("m%1").arg(index),
                           {{QStringLiteral("FIRSTNAME"), QStringLiteral("Person %1").arg(index)},
                            {QStringLiteral("LASTNAME"), QStringLiteral("Smith")}},
                           kChanged);
}

// Seconds for one whole run; negative when it did not finish.
double timeRun(Path path, int records)
{
    SyncRunHarness harness;
    harness.setRunTimeLimit(std::chrono::seconds(300));
    prepare(harness, path, records);
    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);
    const auto start = std::chrono::steady_clock::now();
    const bool ended = harness.runToEnd(controller, delegate);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ended || delegate->finalStage.load() != HMSyncStage::Finished)
        return -1.0;
    return seconds;
}

void report(const char *name, Path path, int records)
{
    const double seconds = timeRun(path, records);
    if (seconds < 0) {
        std::printf("%-40s %6d records: did not finish\n", name, records);
        return;
    }
    std::printf("%-40s %6d records: %7.2f s, %9.0f records/s\n", name, records, seconds, records / seconds);
}

} // namespace

int main()
{
    for (const int records : {5000, 20000}) {
        report("apply (device to Mac, pages of 512)", Path::Apply, records);
        report("update (known records, batches of 100)", Path::Update, records);
        report("new records (ids replaced, batches of 100)", Path::NewRecords, records);
    }
    return 0;
}
