#include "app/HMMainWindowController.h"

#include "ui_HMMainWindowController.h"

#include "app/HMAppDelegate.h"
#include "app/HMCalendarAccess.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Sheet.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QApplication>
#include <QComboBox>
#include <QThread>

namespace {

const QString kNativeCategoryIdentifier = QStringLiteral("nativeCategoryIdentifier");

QStringList categoryIdentifiers(const QVariantList &dictionaries)
{
    QStringList identifiers;
    for (const QVariant &entry : dictionaries)
        identifiers.append(entry.toMap().value(kNativeCategoryIdentifier).toString());
    return identifiers;
}

// The popup's entries, in order, by the names the profile stores for their managers; the profile
// tells the manager of a name.
constexpr const char *kPopupManagerNames[] = {
    "",
    "ContactManagerApple",
    "ContactManagerOutlook14",
    "ContactManagerOutlook15",
};

} // namespace

// ---- Main settings ----

void HMMainWindowController::mainSettingButtonClicked()
{
    askCalendarPermissionsThen(&HMMainWindowController::openMainSettingsWindow);
}

void HMMainWindowController::openMainSettingsWindow()
{
    if (QThread::currentThread() != qApp->thread()) {
        const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
        platform::DispatchQueue::main()->async([lifetime] {
            if (const auto window = lifetime.lock())
                (*window)->openMainSettingsWindow();
        });
        return;
    }
    // The listener stays closed while the settings are open, so a phone cannot start a sync of a
    // profile that is being edited.
    closeUDPSocket();
    m_alreadyVisitedAdvancedSettings = true;
    if (m_mainSettingsOpener) {
        m_mainSettingsOpener();
        watchOpenSheets();
    } else {
        HMSettingsSheets::Request request;
        const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
        request.mainSettingsDidClose = [lifetime] {
            if (const auto window = lifetime.lock())
                (*window)->mainSettingsDidClose();
        };
        openSheet(HMSettingsSheets::Sheet::MainSettings, std::move(request));
    }
    // No sheet came up: no sheet will end to open the listener again, so it opens now and a phone may
    // start syncs again. A running sync opens it as it ends.
    if (!hasOpenSheet() && !GlobalVariables::getIsSynchronizing())
        reopenPhoneListener();
}

void HMMainWindowController::mainSettingsDidClose()
{
    writeProfileText();
    showHideNotes();
}

// ---- Advanced and device settings ----

void HMMainWindowController::advancedSettingsSelected()
{
    const QString title = m_ui->contactManagerButton->currentText();
    if (title.contains(QStringLiteral("contact manager"))) {
        runAlert(QStringLiteral("Select your contact manager before configuring."));
        return;
    }
    HMSettingsSheets::Request request;
    request.isConfiguredForOutlook = title.contains(QStringLiteral("Outlook"));
    request.configuredOutlookVersion = HMSettingsSheets::outlookVersionForTitle(title);
    openSheet(HMSettingsSheets::Sheet::AdvancedSettings, std::move(request));
}

void HMMainWindowController::syncMethodSettingsTapped()
{
    closeUDPSocket();
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    const std::optional<HMSettingsSheets::Sheet> sheet =
        profile ? HMSettingsSheets::deviceSheet(profile->syncMethod(), profile->deviceType()) : std::nullopt;
    // A method without a sheet of its own (USB, none) opens nothing: no sheet will end to open the
    // listener again, so it opens now.
    if ((!sheet || !openSheet(*sheet)) && !hasOpenSheet() && !GlobalVariables::getIsSynchronizing())
        reopenPhoneListener();
}

bool HMMainWindowController::openAccountSheet(AccountSheet sheet)
{
    return openSheet(sheet);
}

bool HMMainWindowController::openSheet(HMSettingsSheets::Sheet sheet, HMSettingsSheets::Request request)
{
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    if (!profile || !HMSettingsSheets::hasMaker(sheet))
        return false;
    request.parentWindow = window();
    request.profile = profile;
    // Focus leaves the window's controls before the sheet takes it.
    if (QWidget *const focused = window()->focusWidget())
        focused->clearFocus();
    // The main settings sheet, opened at every settings round trip, keeps its window built between
    // openings and is filled anew from the profile at each. Any other sheet opened earlier goes, as
    // it goes when the next sheet opens.
    const bool isMainSettings = sheet == HMSettingsSheets::Sheet::MainSettings;
    if (isMainSettings)
        m_accountSheet.reset();
    std::unique_ptr<QObject> &controller = isMainSettings ? m_mainSettingsSheet : m_accountSheet;
    const bool isShown = HMSettingsSheets::open(sheet, request, controller);
    m_modalController = controller.get();
    watchOpenSheets();
    return isShown;
}

// A sheet may end by its buttons, Escape or the window manager: whichever way, its window hides, and
// once no sheet hangs on the window any more the window reloads (and the listener opens again).
void HMMainWindowController::watchOpenSheets()
{
    for (QWidget *const widget : QApplication::topLevelWidgets()) {
        if (widget == window() || !widget->isVisible() || !platform::isSheetOf(*widget, *window())
            || m_watchedSheets.contains(widget))
            continue;
        m_watchedSheets.append(widget);
        widget->installEventFilter(this);
    }
}

void HMMainWindowController::sheetWindowHidden()
{
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    // The sheet finishes its own end handler first (it may save the profile).
    platform::DispatchQueue::main()->async([lifetime] {
        const auto window = lifetime.lock();
        if (!window)
            return;
        HMMainWindowController &controller = **window;
        controller.m_watchedSheets.removeIf([](const QPointer<QWidget> &sheet) { return !sheet || !sheet->isVisible(); });
        if (!controller.hasOpenSheet() && !GlobalVariables::getIsSynchronizing())
            controller.windowDidEndSheet();
    });
}

// ---- Contact manager popup ----

void HMMainWindowController::contactManagerButtonClicked()
{
    const QString title = m_ui->contactManagerButton->currentText();
    if (title == QLatin1String("Outlook 2011"))
        GlobalVariables::setContactManagerSetting(1);
    else if (title == QLatin1String("Outlook 15") || title == QLatin1String("Outlook 2016"))
        GlobalVariables::setContactManagerSetting(2);
    else
        GlobalVariables::setContactManagerSetting(0);
    const std::shared_ptr<HMProfile> profile = m_currentProfile;
    const int index = m_ui->contactManagerButton->currentIndex();
    if (profile && index >= 0 && index < int(std::size(kPopupManagerNames))) {
        const QString name = QString::fromLatin1(kPopupManagerNames[index]);
        profile->setContactManagerName(name);
        profile->setContactManager(contactManagerForName(name));
    }
    if (title == QLatin1String("Apple"))
        writeNativeDefaultSettings();
    if (profile && m_profileManager && !m_profileManager->saveProfile(*profile))
        DDLogError(QStringLiteral("The profile %1 could not be saved").arg(profile->name()));
    const bool isOutlook = profile && (profile->contactManager() == HMContactManager::Outlook14
                                       || profile->contactManager() == HMContactManager::Outlook15);
    viewWithTag(1014)->setVisible(isOutlook);
    viewWithTag(1015)->setVisible(isOutlook);
    writeProfileText();
}

void HMMainWindowController::writeNativeDefaultSettings()
{
    const std::shared_ptr<HMProfile> profile = m_currentProfile;
    if (!profile)
        return;
    // The listing asks the store for calendars or for reminder lists as the process-wide tab flag says,
    // as the advanced sheet's tabs set it; it is put back afterwards.
    const bool wasTaskTab = GlobalVariables::getIsTaskTabView();
    GlobalVariables::setIsTaskTabView(false);
    HMCalendarData calendarData(1);
    const QStringList calendars = categoryIdentifiers(calendarData.nativeCategoryDictionariesForNewRecordSetting());
    profile->setEventCalendarIdentifiersToSync(calendars);
    profile->setEventCalendarIdentifierToWriteTo(calendars.isEmpty() ? QString() : calendars.last());
    DDLogInfo(QStringLiteral("Done getting calendar identifiers"));
    DDLogInfo(QStringLiteral("Getting task identifiers"));
    GlobalVariables::setIsTaskTabView(true);
    HMTaskData taskData;
    const QStringList lists = categoryIdentifiers(taskData.nativeCategoryDictionariesForNewRecordSetting());
    GlobalVariables::setIsTaskTabView(wasTaskTab);
    profile->setTaskCalendarIdentifiersToSync(lists);
    profile->setTaskCalendarIdentifierToWriteTo(lists.isEmpty() ? QString() : lists.last());
    DDLogInfo(QStringLiteral("Done getting task identifiers"));
}
