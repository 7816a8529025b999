#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class HMProfile;
class QWidget;
enum class HMDeviceType : quint64;
enum class HMSyncMethod : quint64;

// The settings sheets the main window and the main settings sheet open over themselves. The sheets
// live in folders above this one (the window's folder cannot reach them): main registers a maker
// for each at start-up, as the transports register. Main thread only.
namespace HMSettingsSheets {

enum class Sheet {
    MainSettings,
    AdvancedSettings,
    WiFiPairing,
    CloudSettings,
    CloudGoogle,
    GoogleDirect,
    // The Google direct sheet with its browser sign-in started at once.
    GoogleDirectSignIn,
    // Ordinary windows of the application menu (no parent window, no profile needed).
    Preferences,
    DeveloperOptions,
};

// What a maker is given: the window the sheet hangs on, the profile it edits, and for the advanced
// sheet its form and Outlook configuration. The maker shows the sheet and answers its controller.
struct Request
{
    QWidget *parentWindow = nullptr;
    std::shared_ptr<HMProfile> profile;
    bool isSimplified = false;
    bool isConfiguredForOutlook = false;
    QString configuredOutlookVersion = QStringLiteral("unknown");
    // The main settings sheet tells its opener when it closes (after OK's first save, or Cancel).
    std::function<void()> mainSettingsDidClose;
};

using Maker = std::function<std::unique_ptr<QObject>(const Request &request)>;
// Shows again a sheet its maker made earlier and that has ended since, filled from the request as a
// new one would be; false when the controller is not one it can show again.
using Reopener = std::function<bool(QObject &controller, const Request &request)>;

void registerMaker(Sheet sheet, Maker maker);
bool hasMaker(Sheet sheet);
// Makes and shows the sheet; null when no maker is registered for it.
std::unique_ptr<QObject> open(Sheet sheet, const Request &request);
// A sheet opened often may keep its window built between openings: its reopener shows it again.
void registerReopener(Sheet sheet, Reopener reopener);
// Shows the sheet through the controller `kept` holds when the sheet's reopener takes it again, else
// makes a new one into `kept`. True when `kept` holds the shown sheet's controller.
bool open(Sheet sheet, const Request &request, std::unique_ptr<QObject> &kept);

// The device's own sheet for a sync method and device type; none for USB and no method.
std::optional<Sheet> deviceSheet(HMSyncMethod syncMethod, HMDeviceType deviceType);

// The Outlook version the advanced sheet is configured for, from a contact manager's title:
// "14" for Outlook 2011, "15" for Outlook 15 or 2016, "unknown" for anything else.
QString outlookVersionForTitle(const QString &title);

} // namespace HMSettingsSheets
