// outlook_folders_bench: opening the settings' Outlook folders tab against the simulated Outlook, with
// 4 x 50 folders (two Exchange accounts, records in most folders), against plain round trips of the
// very scripts the tab sends, to the same peer in the same run: what the tab adds to Outlook's answers
// (reading the replies, labels, counts, the maps). Each opening is timed on its own; the bench prints
// both medians and their ratio (tab over plain round trips; at most 1.3 is the target).
#include "ui/settings/HMOutlookFolderQueries.h"

#include "platform/applescript/NSAppleScript.h"

#include "OutlookPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

const int kRounds = qEnvironmentVariableIntValue("HM_BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("HM_BENCH_ROUNDS") : 15;
constexpr int kFoldersPerKind = 50;

using Clock = std::chrono::steady_clock;

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// 50 folders of each kind, every fifth of an Exchange account, with a few records each.
QJsonObject state(QJsonArray &accounts)
{
    static const char *const kinds[] = {"address book", "calendar", "task folder", "note folder"};
    static const char *const arrays[] = {"contacts", "events", "tasks", "notes"};
    QJsonObject state;
    QJsonArray folders;
    QJsonArray records[4];
    QJsonArray accountFolders[2];
    qint64 id = 1;
    for (int kind = 0; kind < 4; ++kind) {
        for (int i = 0; i < kFoldersPerKind; ++i) {
            const qint64 folderId = id++;
            folders.append(QJsonObject{{"id", folderId}, {"kind", kinds[kind]}, {"name", QStringLiteral("Folder %1").arg(i)}});
            if (i % 5 == 0)
                accountFolders[i % 2].append(folderId);
            for (int r = 0; r < i % 4; ++r)
                records[kind].append(QJsonObject{{"id", 100000 + id++}, {"folder", folderId}, {"created", "2026-01-01T10:00:00Z"},
                                                 {"modified", "2026-01-02T10:00:00Z"}, {"subject", "Item"}});
        }
    }
    state["folders"] = folders;
    for (int kind = 0; kind < 4; ++kind)
        state[arrays[kind]] = records[kind];
    accounts = {QJsonObject{{"id", 7}, {"name", "Contoso"}, {"folders", accountFolders[0]}},
                QJsonObject{{"id", 8}, {"name", "Fabrikam"}, {"folders", accountFolders[1]}}};
    return state;
}

// One opening of the tab as its worker runs it; the scripts it sent are appended to `sent`.
bool openTab(QStringList *sent = nullptr)
{
    HMOutlookFolderQueries::Configuration configuration;
    configuration.configuredOutlookVersion = QStringLiteral("15");
    if (sent != nullptr)
        configuration.willRunScript = [sent](const QString &source) { sent->append(source); };
    HMOutlookFolderQueries queries(configuration);
    if (!queries.validateOutlookConfiguration())
        return false;
    queries.buildAccountNameDictionary();
    queries.contactsComboBoxArray();
    queries.calendarComboBoxArray();
    queries.taskComboBoxArray();
    queries.memosComboBoxArray();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    QDir().mkpath(folder.path() + QStringLiteral("/run"));
    qputenv("XDG_RUNTIME_DIR", (folder.path() + QStringLiteral("/run")).toUtf8());
    outlookpeer::OutlookPeer::Options options;
    options.home = folder.path() + QStringLiteral("/home");
    options.runtimeDir = folder.path() + QStringLiteral("/run");
    options.versionText = QStringLiteral("16.78");
    QString problem;
    const std::unique_ptr<outlookpeer::OutlookPeer> outlook = outlookpeer::OutlookPeer::start(options, &problem);
    if (!outlook) {
        std::fprintf(stderr, "outlook_folders_bench: %s\n", qPrintable(problem));
        return 1;
    }
    QJsonArray accounts;
    outlook->control({{"op", "seed"}, {"state", state(accounts)}});
    outlook->control({{"op", "switches"}, {"exchangeAccounts", accounts}});
    QStringList sent;
    if (!openTab(&sent)) {
        std::fprintf(stderr, "outlook_folders_bench: the version check failed\n");
        return 1;
    }
    const int scripts = int(sent.size());
    std::vector<double> tab;
    std::vector<double> roundTrips;
    for (int round = 0; round < kRounds; ++round) {
        Clock::time_point start = Clock::now();
        openTab();
        tab.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        start = Clock::now();
        for (const QString &source : sent)
            platform::NSAppleScript(source).executeAndReturnError();
        roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    const double tabMedian = median(tab);
    const double plainMedian = median(roundTrips);
    std::printf("folders tab, 4 x %d folders, %d scripts: median %.2f ms\n", kFoldersPerKind, scripts, tabMedian);
    std::printf("the same %d scripts as plain round trips: median %.2f ms\n", scripts, plainMedian);
    std::printf("ratio (tab / round trips): %.3f (target at most 1.3)\n", tabMedian / plainMedian);
    return 0;
}
