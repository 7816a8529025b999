// Times the profile and identifier-graph files: saving and loading one full profile (archive, encrypt,
// atomic write; read, decrypt, decode) and one identifier graph of 50,000 entries. Runs in a temporary
// data folder and prints the median and the fastest of several rounds.
#include "platform/foundation/UserDefaults.h"
#include "sync/HMConfiguration.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures
{
    double medianMs = 0;
    double fastestMs = 0;
};

Figures timeRounds(int rounds, const std::function<bool()> &work)
{
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const Clock::time_point start = Clock::now();
        if (!work()) {
            std::fprintf(stderr, "round %d failed\n", round);
            return {};
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.front()};
}

void print(const char *what, const Figures &figures)
{
    std::printf("%-44s median %9.3f ms   fastest %9.3f ms\n", what, figures.medianMs, figures.fastestMs);
}

void fillProfile(HMProfile &profile)
{
    profile.setHhUserId(QStringLiteral("someone@example.org"));
    profile.setHhPassword(QStringLiteral("device-id-0123456789"));
    profile.setHhIpAddress(QStringLiteral("192.168.1.20"));
    profile.setGoogleAccessToken(QString(180, QLatin1Char('a')));
    profile.setGoogleRefreshToken(QString(100, QLatin1Char('r')));
    QVariantList calendars;
    QStringList identifiers;
    for (int index = 0; index < 20; ++index) {
        const QString identifier = QStringLiteral("calendar-%1@group.example.org").arg(index);
        calendars.append(QVariantMap{{QStringLiteral("id"), identifier},
                                     {QStringLiteral("name"), QStringLiteral("Calendar %1").arg(index)}});
        identifiers.append(identifier);
    }
    profile.setAllGoogleCalendars(calendars);
    profile.setGoogleCalendarIdentifiersToSync(identifiers);
    profile.setEventCalendarIdentifiersToSync(identifiers);
    profile.setGoogleDirectUserImage(QByteArray(16 * 1024, 'i'));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    profile.setContactLastSyncDate(now);
    profile.setCalendarLastSyncDate(now);
    profile.setTaskLastSyncDate(now);
    profile.setMemoLastSyncDate(now);
    profile.setLastOutlookAutosyncDate(now);
    profile.setBackgroundSyncEnabled(true);
}

} // namespace

int main()
{
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());

    platform::UserDefaults defaults;
    HMProfileManager manager(defaults);
    manager.setConfiguration(std::make_shared<HMConfiguration>());
    const std::shared_ptr<HMProfile> profile = manager.newProfile();
    fillProfile(*profile);

    std::printf("profile with a 16 KiB picture and 20 calendars\n");
    print("save profile (archive, encrypt, write)", timeRounds(200, [&] { return manager.saveProfile(*profile); }));
    print("load profiles (read, decrypt, decode, 1 file)", timeRounds(200, [&] {
              const auto loaded = manager.loadProfiles();
              return loaded.ok() && loaded->size() == 1;
          }));

    HMIdentifierGraph graph;
    constexpr int kEntries = 50000;
        for (int index = 0; index < kEntries; ++index) {
        graph.appendDictionary(
            {{QStringLiteral("hmUid"),
              QStringLiteral("%1-5b1c-4c3e-9a7d-0e2f4a6b8c0d").arg(index, 8, 16, QLatin1Char('0'))},
             {QStringLiteral("nativeId"), QStringLiteral("%1:ABPerson").arg(index)},
             {QStringLiteral("crcValue"),
              QStringLiteral("%1").arg(quint32(index) * 2654435761U, 8, 16, QLatin1Char('0'))}});
    }
    graph.setLastSyncDate(QDateTime::currentDateTimeUtc());
    std::printf("identifier graph of %d entries (3 keys each)\n", kEntries);
    print("save graph (archive, write)",
          timeRounds(9, [&] { return HMProfileManager::saveIdentifier(graph, *profile, QStringLiteral("A")); }));
    const QFileInfo graphFile(home.path() + QStringLiteral("/com.harrowmere.Harrowmere/") + profile->filename() +
                              QStringLiteral("_A.idgraph"));
    std::printf("graph file: %lld bytes\n", static_cast<long long>(graphFile.size()));
    print("load graph (read, decode)", timeRounds(9, [&] {
              const auto loaded = HMProfileManager::identifierGraphForProfile(*profile, QStringLiteral("A"));
              return loaded && loaded->count() == kEntries;
          }));
    print("setDictionary on the last entry", timeRounds(50, [&] {
              const QString uid =
                  QStringLiteral("%1-5B1C-4C3E-9A7D-0E2F4A6B8C0D").arg(kEntries - 1, 8, 16, QLatin1Char('0'));
              graph.setDictionary(graph.dictionaryForNativeId(QStringLiteral("%1:ABPerson").arg(kEntries - 1)), uid);
              return graph.count() == kEntries;
          }));
    return 0;
}
