#include "app/HMSettingsSheets.h"

#include "sync/HMProfile.h"

#include <map>

namespace HMSettingsSheets {

namespace {
std::map<Sheet, Maker> &makers()
{
    static std::map<Sheet, Maker> registered;
    return registered;
}

std::map<Sheet, Reopener> &reopeners()
{
    static std::map<Sheet, Reopener> registered;
    return registered;
}
} // namespace

void registerMaker(Sheet sheet, Maker maker)
{
    makers()[sheet] = std::move(maker);
}

bool hasMaker(Sheet sheet)
{
    const auto found = makers().find(sheet);
    return found != makers().end() && found->second;
}

std::unique_ptr<QObject> open(Sheet sheet, const Request &request)
{
    if (!hasMaker(sheet))
        return nullptr;
    return makers().at(sheet)(request);
}

void registerReopener(Sheet sheet, Reopener reopener)
{
    reopeners()[sheet] = std::move(reopener);
}

bool open(Sheet sheet, const Request &request, std::unique_ptr<QObject> &kept)
{
    const auto found = reopeners().find(sheet);
    if (kept && hasMaker(sheet) && found != reopeners().end() && found->second && found->second(*kept, request))
        return true;
    kept = open(sheet, request);
    return kept != nullptr;
}

std::optional<Sheet> deviceSheet(HMSyncMethod syncMethod, HMDeviceType deviceType)
{
    switch (syncMethod) {
    case HMSyncMethod::WiFi:
        return Sheet::WiFiPairing;
    case HMSyncMethod::GoogleDirect:
        return Sheet::GoogleDirect;
    case HMSyncMethod::Quillnest:
        return deviceType == HMDeviceType::Google ? Sheet::CloudGoogle : Sheet::CloudSettings;
    default:
        return std::nullopt;
    }
}

QString outlookVersionForTitle(const QString &title)
{
    if (title.contains(QStringLiteral("Outlook 2011"), Qt::CaseInsensitive))
        return QStringLiteral("14");
    if (title.contains(QStringLiteral("Outlook 15"), Qt::CaseInsensitive)
        || title.contains(QStringLiteral("Outlook 2016"), Qt::CaseInsensitive))
        return QStringLiteral("15");
    return QStringLiteral("unknown");
}

} // namespace HMSettingsSheets
