#include "app/HMMainWindowController.h"

#include "ui_HMMainWindowController.h"
#include "ui_HMManageProfilesPanel.h"

#include "app/HMAppDelegate.h"
#include "app/HMCalendarAccess.h"
#include "app/HMOutlookAccess.h"
#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMFileManager.h"
#include "foundation/HMTextValues.h"
#include "foundation/Lumberjack/DDLog.h"
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/PropertyList.h"
#include "sync/HMConfiguration.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>

#include <algorithm>
#include <mutex>

namespace {

const QString kTraceFileName = QStringLiteral("mainWindowLog.plist");
const QDateTime kOneSecondAfterEpoch = QDateTime::fromSecsSinceEpoch(1, Qt::UTC);

void scheduleOnMainQueue(std::chrono::milliseconds delay, std::function<void()> step)
{
    platform::DispatchQueue::main()->after(std::chrono::duration_cast<platform::DispatchDuration>(delay),
                                           std::move(step));
}

// The summary line's part for the Mac store and for the other side.
QString summaryStorePart(HMContactManager manager)
{
    if (manager == HMContactManager::Outlook14)
        return QStringLiteral("Outloook 2011");
    if (manager == HMContactManager::Outlook15)
        return QStringLiteral("Outloook 2016");
    return QStringLiteral("Mac Apps");
}

QString summaryDevicePart(HMDeviceType device)
{
    switch (device) {
    case HMDeviceType::Google:
        return QStringLiteral(" with Google");
    case HMDeviceType::Quillnest:
        return QStringLiteral(" with Quillnest");
    case HMDeviceType::Android:
        return QStringLiteral(" with Android");
    default:
        return {};
    }
}

// The latest of the four conduits' last-sync dates, or an invalid date when none has one.
QDateTime latestConduitSyncDate(const HMProfile &profile)
{
    QDateTime latest;
    for (const QDateTime &date : {profile.contactLastSyncDate(), profile.calendarLastSyncDate(),
                                  profile.taskLastSyncDate(), profile.memoLastSyncDate()}) {
        if (date.isValid() && (!latest.isValid() || date > latest))
            latest = date;
    }
    return latest;
}

QString formatWithFallback(platform::DateFormatter &formatter, const QDateTime &date)
{
    QString text = formatter.format(date);
    if (text.isEmpty()) {
        formatter.setLocale(platform::Locale(QStringLiteral("en_us")));
        text = formatter.format(date);
    }
    return text;
}

QString permissionText(QFileDevice::Permissions permissions, bool isFolder)
{
    const QFileDevice::Permission bits[] = {QFileDevice::ReadOwner, QFileDevice::WriteOwner, QFileDevice::ExeOwner,
                                            QFileDevice::ReadGroup, QFileDevice::WriteGroup, QFileDevice::ExeGroup,
                                            QFileDevice::ReadOther, QFileDevice::WriteOther, QFileDevice::ExeOther};
    const char letters[] = "rwx";
    QString text = isFolder ? QStringLiteral("d") : QStringLiteral("-");
    for (int index = 0; index < 9; ++index)
        text += permissions.testFlag(bits[index]) ? QChar::fromLatin1(letters[index % 3]) : QChar(u'-');
    return text;
}

} // namespace

// The list of profiles as sync code sees it, a snapshot the window updates on every change.
class HMMainWindowController::ProfilesController final : public HMProfilesController
{
public:
    std::vector<std::shared_ptr<HMProfile>> arrangedObjects() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_profiles;
    }
    qsizetype selectionIndex() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_selectionIndex;
    }
    void update(const QList<std::shared_ptr<HMProfile>> &profiles, qsizetype selectionIndex)
    {
        const std::lock_guard lock(m_mutex);
        m_profiles.assign(profiles.begin(), profiles.end());
        m_selectionIndex = selectionIndex;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<HMProfile>> m_profiles;
    qsizetype m_selectionIndex = -1;
};

QString HMMainWindowController::contactManagerTitle(HMContactManager manager)
{
    switch (manager) {
    case HMContactManager::Apple:
        return QStringLiteral("Mac Apps");
    case HMContactManager::Outlook14:
        return QStringLiteral("Outlook 2011");
    case HMContactManager::Outlook15:
        return QStringLiteral("Outlook 2016");
    case HMContactManager::None:
        break;
    }
    return {};
}

bool HMMainWindowController::isOutlookProfile(const HMProfile &profile)
{
    return profile.contactManager() == HMContactManager::Outlook14
           || profile.contactManager() == HMContactManager::Outlook15;
}

HMMainWindowController::HMMainWindowController(HMAppDelegate &appDelegate)
    : platform::WindowController(QStringLiteral("HMMainWindowController"), platform::WindowKind::Document),
      m_appDelegate(appDelegate),
      m_ui(std::make_unique<Ui::HMMainWindowController>()), m_panelUi(std::make_unique<Ui::HMManageProfilesPanel>()),
      m_profilesController(std::make_shared<ProfilesController>()),
      m_calendarAccess(std::make_shared<HMEventStoreCalendarAccess>()),
      m_scheduler(scheduleOnMainQueue),
      m_lifetime(std::make_shared<HMMainWindowController *>(this))
{
    m_outlookAccess = makeOutlookDetection();
    writeStringToFile(QStringLiteral("init"));
    writeStringToFile(QStringLiteral("super initWithWindow:"));
    m_profileManager = appDelegate.profileManager();
    m_profiles = appDelegate.profiles();
}

HMMainWindowController::~HMMainWindowController()
{
    // The sheets still open go first, while the window can still hear them end.
    for (const QPointer<QWidget> &sheet : std::as_const(m_watchedSheets)) {
        if (sheet)
            sheet->removeEventFilter(this);
    }
    m_watchedSheets.clear();
    m_accountSheet.reset();
    m_mainSettingsSheet.reset();
    closeUDPSocket();
    if (GlobalVariables::getCurrentProfileController() == m_profilesController)
        GlobalVariables::setCurrentProfileController(nullptr);
    // A sheet left registered would outlive the widgets' application at exit.
    if (m_syncProgressController && GlobalVariables::getCurrentSyncProgressController() == m_syncProgressController)
        GlobalVariables::setCurrentSyncProgressController(nullptr);
    // The application's menu bar outlives every main window: take it back before the window goes.
    platform::Application *const application = platform::Application::shared();
    QMenuBar *const menuBar = application != nullptr ? application->mainMenu() : nullptr;
    if (menuBar != nullptr && isWindowLoaded() && menuBar->parentWidget() == window())
        menuBar->setParent(nullptr);
}

void HMMainWindowController::loadInterface(QDialog &window)
{
    writeStringToFile(QStringLiteral("windowWillLoad"));
    m_ui->setupUi(&window);
}

void HMMainWindowController::windowDidLoad()
{
    platform::Application *const application = platform::Application::shared();
    if (application != nullptr && application->mainMenu() != nullptr)
        showMenuBar(*application->mainMenu());
    window()->installEventFilter(this);
    connectControls();
    loadSteps();
}

// The traced loading sequence. It runs again after every sheet of the window ends; the steps above it
// (menu bar, event filter, connections) are made once.
void HMMainWindowController::loadSteps()
{
    writeStringToFile(QStringLiteral("windowDidLoad"));
    writeStringToFile(QStringLiteral("super windowDidLoad"));
    m_configuration = m_appDelegate.configuration();
    writeStringToFile(QStringLiteral("setContent:_configuration"));
    localizeXib();
    writeStringToFile(QStringLiteral("localizeXib"));
    m_ui->buildLabel->setText(
        QStringLiteral("%1 (%2)").arg(platform::Bundle::shortVersion(), platform::Bundle::buildVersion()));
    writeStringToFile(m_ui->buildLabel->text());
    loadProfilesStep();
}

// The application's menu bar at the top of the window, wide enough for every title at the current
// font, opened by F10 as on the desktop.
void HMMainWindowController::showMenuBar(QMenuBar &menuBar)
{
    m_ui->mainLayout->setMenuBar(&menuBar);
    window()->setMinimumWidth(std::max(window()->minimumWidth(), menuBar.sizeHint().width()));
    auto *const openMenus = new QShortcut(QKeySequence(Qt::Key_F10), window());
    QPointer<QMenuBar> shownMenuBar = &menuBar;
    connect(openMenus, &QShortcut::activated, this, [shownMenuBar] {
        if (shownMenuBar && !shownMenuBar->actions().isEmpty())
            shownMenuBar->setActiveAction(shownMenuBar->actions().constFirst());
    });
}

void HMMainWindowController::connectControls()
{
    connect(m_ui->synchronizeButton, &QPushButton::clicked, this, [this] { synchronizeProfile(this); });
    connect(m_ui->settingsButton, &QPushButton::clicked, this, [this] { mainSettingButtonClicked(); });
    connect(m_ui->manageProfilesButton, &QPushButton::clicked, this, [this] { manageProfilesSelected(); });
    connect(m_ui->advancedSettingsButton, &QPushButton::clicked, this, [this] { advancedSettingsSelected(); });
    connect(m_ui->deviceSettingsButton, &QPushButton::clicked, this, [this] { syncMethodSettingsTapped(); });
    connect(m_ui->contactManagerButton, &QComboBox::activated, this, [this] { contactManagerButtonClicked(); });
    connect(m_ui->profilePopup, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!m_isUpdatingProfileList)
            profileSelectionChanged(index);
    });
}

void HMMainWindowController::loadProfilesStep()
{
    if (m_profiles.isEmpty()) {
        appDataFolderPropeties();
        writeStringToFile(QStringLiteral("adding default profile"));
        addDefaultProfile();
    }
    writeStringToFile(QStringLiteral("done adding default profile"));
    GlobalVariables::setCurrentProfileController(m_profilesController);
    writeStringToFile(QStringLiteral("adding notification observers"));
    writeStringToFile(QStringLiteral("[14]"));
    writeStringToFile(QStringLiteral("done adding notification observers"));
    writeStringToFile(QStringLiteral("setting current profile"));
    m_selectionIndex = m_profiles.isEmpty() ? -1 : 0;
    m_currentProfile = selectedProfile();
    refreshProfileList();
    writeStringToFile(QStringLiteral("setupUDPSocket"));
    setupUDPSocket();
    writeStringToFile(QStringLiteral("adding connector button"));
    updateLastSyncDateLabel();
    setUpConnectorStatusButton();
    showHideNotes();
    if (m_isReloading && !(m_currentProfile && isOutlookProfile(*m_currentProfile))) {
        viewWithTag(1014)->setVisible(false);
        viewWithTag(1015)->setVisible(false);
    }
    if (m_currentProfile && m_currentProfile->contactManager() != HMContactManager::None) {
        writeProfileText();
    } else if (m_currentProfile && !m_alreadyVisitedAdvancedSettings) {
        const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
        m_scheduler(kMainSettingsDelay, [lifetime] {
            if (const auto window = lifetime.lock())
                (*window)->mainSettingButtonClicked();
        });
    }
    writeStringToFile(QStringLiteral("end windowDidLoad:"));
}

std::shared_ptr<HMProfile> HMMainWindowController::addDefaultProfile()
{
    if (!m_configuration) {
        writeStringToFile(QStringLiteral("configuration does not exist"));
        return nullptr;
    }
    if (!m_profileManager)
        return nullptr;
    std::shared_ptr<HMProfile> profile = m_configuration->defaultProfile(*m_profileManager);
    if (!profile) {
        writeStringToFile(QStringLiteral("defaultProfile does not exist"));
        return nullptr;
    }
    m_profiles.append(profile);
    // The delegate and the window share one list of profiles.
    m_appDelegate.setProfiles(m_profiles);
    return profile;
}

std::shared_ptr<HMProfile> HMMainWindowController::selectedProfile() const
{
    if (m_selectionIndex < 0 || m_selectionIndex >= m_profiles.size())
        return nullptr;
    return m_profiles.at(m_selectionIndex);
}

void HMMainWindowController::selectProfileAtIndex(qsizetype index)
{
    window();
    m_ui->profilePopup->setCurrentIndex(int(index));
}

void HMMainWindowController::refreshProfileList()
{
    m_isUpdatingProfileList = true;
    m_ui->profilePopup->clear();
    for (const std::shared_ptr<HMProfile> &profile : std::as_const(m_profiles))
        m_ui->profilePopup->addItem(profile->name());
    m_ui->profilePopup->setCurrentIndex(int(m_selectionIndex));
    m_isUpdatingProfileList = false;
    m_profilesController->update(m_profiles, m_selectionIndex);
    m_ui->profileNameLabel->setText(m_currentProfile ? m_currentProfile->name() : QStringLiteral("No profile"));
    m_ui->synchronizeButton->setEnabled(m_currentProfile != nullptr);
    if (m_profileManagerPanel) {
        QTableWidget *const table = m_panelUi->profileTable;
        table->setRowCount(int(m_profiles.size()));
        for (int row = 0; row < table->rowCount(); ++row) {
            const HMProfile &profile = *m_profiles.at(row);
            table->setItem(row, 0, new QTableWidgetItem(profile.name()));
            table->setItem(row, 1, new QTableWidgetItem(profile.deviceTypeName()));
            table->setItem(row, 2, new QTableWidgetItem(profile.syncMethodName()));
        }
        table->selectRow(int(m_selectionIndex));
    }
}

void HMMainWindowController::profileSelectionChanged(qsizetype index)
{
    DDLogVerbose(QStringLiteral("Profile Changed."));
    if (m_currentProfile && m_profileManager)
        m_profileManager->saveProfile(*m_currentProfile);
    m_selectionIndex = index;
    m_currentProfile = selectedProfile();
    refreshProfileList();
    updateProfileDisplay();
}

void HMMainWindowController::updateProfileDisplay()
{
    if (!isWindowLoaded())
        return;
    m_ui->profileNameLabel->setText(m_currentProfile ? m_currentProfile->name() : QStringLiteral("No profile"));
    writeProfileText();
    showHideNotes();
    updateLastSyncDateLabel();
}

void HMMainWindowController::writeProfileText()
{
    if (!m_currentProfile || !isWindowLoaded())
        return;
    const HMProfile &profile = *m_currentProfile;
    // The popup's entries follow the managers' numbers: the prompt, Apple, Outlook 2011, Outlook 2016.
    const QSignalBlocker quiet(m_ui->contactManagerButton);
    m_ui->contactManagerButton->setCurrentIndex(int(profile.contactManager()) < m_ui->contactManagerButton->count()
                                                    ? int(profile.contactManager())
                                                    : 0);
    if (profile.contactManager() == HMContactManager::None) {
        m_ui->contactManagerLabel->clear();
        m_ui->syncMethodLabel->clear();
        m_ui->syncDestinationLabel->clear();
        return;
    }
    m_ui->contactManagerLabel->setText(contactManagerTitle(profile.contactManager()));
    switch (profile.syncMethod()) {
    case HMSyncMethod::WiFi: m_ui->syncMethodLabel->setText(QStringLiteral("WiFi")); break;
    case HMSyncMethod::Adb: m_ui->syncMethodLabel->setText(QStringLiteral("USB")); break;
    case HMSyncMethod::Quillnest: m_ui->syncMethodLabel->setText(QStringLiteral("Quillnest")); break;
    case HMSyncMethod::GoogleDirect: m_ui->syncMethodLabel->setText(QStringLiteral("Direct")); break;
    case HMSyncMethod::None: m_ui->syncMethodLabel->clear(); break;
    default: break;
    }
    if (profile.deviceType() == HMDeviceType::Google)
        m_ui->syncDestinationLabel->setText(QStringLiteral("Google"));
    else if (profile.deviceType() == HMDeviceType::Quillnest)
        m_ui->syncDestinationLabel->setText(profile.syncMethod() == HMSyncMethod::Quillnest ? QString()
                                                                                             : QStringLiteral("Quillnest"));
    else if (profile.deviceType() == HMDeviceType::Android)
        m_ui->syncDestinationLabel->setText(QStringLiteral("Android"));
    m_ui->profileTextField->setText(summaryStorePart(profile.contactManager()) + summaryDevicePart(profile.deviceType()));
}

void HMMainWindowController::showHideNotes()
{
    if (!m_currentProfile || !isWindowLoaded() || !isOutlookProfile(*m_currentProfile))
        return;
    const bool isGoogle = m_currentProfile->deviceType() == HMDeviceType::Google;
    viewWithTag(1014)->setVisible(!isGoogle);
    viewWithTag(1015)->setVisible(!isGoogle);
}

void HMMainWindowController::updateLastSyncDateLabel()
{
    if (!m_currentProfile) {
        const std::shared_ptr<HMProfilesController> controller = GlobalVariables::getCurrentProfileController();
        if (controller) {
            const auto arranged = controller->arrangedObjects();
            const qsizetype index = controller->selectionIndex();
            if (index >= 0 && index < qsizetype(arranged.size()))
                m_currentProfile = arranged.at(size_t(index));
        }
    }
    if (!isWindowLoaded())
        return;
    QDateTime date = m_currentProfile ? latestConduitSyncDate(*m_currentProfile) : QDateTime();
    if (m_currentProfile && (!date.isValid() || date <= kOneSecondAfterEpoch)) {
        const QDateTime lastEnd = GlobalVariables::getLastSyncEndDate();
        if (lastEnd.isValid()) {
            date = lastEnd;
            m_currentProfile->setLastSyncDateWorkaround(lastEnd);
        } else {
            date = m_currentProfile->lastSyncDateWorkaround();
        }
    }
    if (!date.isValid() || date <= kOneSecondAfterEpoch) {
        m_ui->lastSyncDateLabel->setText(QStringLiteral("Last Sync: Never"));
        return;
    }
    platform::DateFormatter dateFormatter(platform::DateStyle::Medium, platform::DateStyle::None);
    const bool is12Hour = GlobalVariables::getSystemDateFormat().endsWith(QLatin1String(" a"));
    platform::DateFormatter timeFormatter(is12Hour ? QStringLiteral("h:mm a") : QStringLiteral("H:mm"));
    const QString timeText = formatWithFallback(timeFormatter, date);
    QString dateText = formatWithFallback(dateFormatter, date);
    const QString todayText = formatWithFallback(dateFormatter, platform::Clock::now());
    const qsizetype comma = dateText.indexOf(u',');
    const qsizetype todayComma = todayText.indexOf(u',');
    if (comma >= 0 && todayComma >= 0 && dateText.mid(comma) == todayText.mid(todayComma))
        dateText = dateText.left(comma);
    m_ui->lastSyncDateLabel->setText(QStringLiteral("Last Sync: %1   (%2)").arg(timeText, dateText));
}

void HMMainWindowController::localizeXib()
{
    struct Text { qint64 tag; const char *key; const char *fallback; };
    const Text texts[] = {{1001, "profile", "Profile:"}, {1002, "profile_name", "Profile Name:"},
                          {1003, "device", "Device:"}, {1004, "sync_method", "Sync Method:"},
                          {1006, "contacts", "Contacts"}, {1007, "calendar", "Calendar"},
                          {1008, "tasks", "Tasks"}};
    for (const Text &text : texts) {
        if (auto *const label = qobject_cast<QLabel *>(viewWithTag(text.tag)))
            label->setText(platform::Bundle::localizedString(QString::fromLatin1(text.key), QString::fromLatin1(text.fallback)));
    }
    const QString buttonStyle = QStringLiteral("QPushButton { background-color: rgb(84, 110, 122); color: white; "
                                               "padding: 4px 14px; border-radius: 3px; }");
    m_ui->synchronizeButton->setText(QStringLiteral("Synchronize"));
    m_ui->settingsButton->setText(QStringLiteral("Settings"));
    // A style sheet set again restyles the button: the reload after each sheet sets it only once.
    for (QPushButton *const button : {m_ui->synchronizeButton, m_ui->settingsButton}) {
        if (button->styleSheet() != buttonStyle)
            button->setStyleSheet(buttonStyle);
    }
    // The notes start hidden. A reload leaves them to the end of loading (loadProfilesStep) rather
    // than hiding and showing them again, which lays the window out twice.
    if (!m_isReloading) {
        viewWithTag(1014)->setVisible(false);
        viewWithTag(1015)->setVisible(false);
    }
}

void HMMainWindowController::writeStringToFile(const QString &text)
{
    ++m_startupLogCounter;
    if (m_startupLogCounter == 101) {
        m_startupLogDictionary.insert(QString::number(m_startupLogCounter), platform::Clock::now());
        ++m_startupLogCounter;
    }
    m_startupLogDictionary.insert(QString::number(m_startupLogCounter), text);
    if (!m_isReloading)
        writeTraceFile();
}

void HMMainWindowController::writeTraceFile()
{
    if (m_startupLogDictionary == m_writtenStartupLog)
        return;
    const QString folder = HMFileManager::dataStorageURL().toLocalFile();
    if (folder.isEmpty())
        return;
    // The trace only helps support: a failed write must not disturb the window.
    if (platform::writePropertyList(QDir(folder).filePath(kTraceFileName), m_startupLogDictionary))
        m_writtenStartupLog = m_startupLogDictionary;
}

// The trace holds the start-up and the latest reload: each reload takes the entries after the
// start-up's again, so a session that ends many sheets keeps a trace of bounded size, and a reload
// that went as the one before leaves the file as it is.
void HMMainWindowController::startReloadTrace()
{
    if (m_reloadTraceStart < 0) {
        m_reloadTraceStart = m_startupLogCounter;
        return;
    }
    for (qint64 entry = m_reloadTraceStart + 1; entry <= m_startupLogCounter; ++entry)
        m_startupLogDictionary.remove(QString::number(entry));
    m_startupLogCounter = m_reloadTraceStart;
}

void HMMainWindowController::appDataFolderPropeties()
{
    const QFileInfo folder(HMFileManager::dataStorageURL().toLocalFile());
    DDLogInfo(QStringLiteral("properties %1").arg(folder.absoluteFilePath()));
    const QString result = permissionText(folder.permissions(), folder.isDir());
    DDLogInfo(QStringLiteral("result %1").arg(result));
    writeStringToFile(result);
    DDLogVerbose(QStringLiteral("fonts %1").arg(QFontDatabase::families().join(QStringLiteral(", "))));
}

QString HMMainWindowController::correctedString(const QVariant &value)
{
    if (value.typeId() != QMetaType::QString)
        return {};
    return unescapedTextValue(value).replace(QLatin1String("\\n"), QLatin1String("\r\n"));
}

bool HMMainWindowController::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Hide && isWindowLoaded() && watched != window()
        && m_watchedSheets.contains(qobject_cast<QWidget *>(watched)))
        sheetWindowHidden();
    if (isWindowLoaded() && watched == window()) {
        if (event->type() == QEvent::Close) {
            // Closing the window leaves the application running in its status item.
            m_appDelegate.hideInterface();
        } else if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
            m_appDelegate.mainWindowVisibilityChanged();
        } else if (event->type() == QEvent::WindowDeactivate && m_currentProfile && m_profileManager
                   && m_appDelegate.profiles().contains(m_currentProfile)) {
            // A window being replaced after a settings reset must not write its deleted profile back.
            m_profileManager->saveProfile(*m_currentProfile);
        }
    }
    return platform::WindowController::eventFilter(watched, event);
}

platform::UserDefaults &HMMainWindowController::userDefaults() const
{
    return m_appDelegate.userDefaults();
}
